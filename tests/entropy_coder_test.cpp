// The row coder: round trips of ordinary and adversarial rows, golden streams that must still
// decode, the plain and vector paths writing identical streams, and decoders fed damaged data.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "golden.h"
#include "platform/platform.h"
#include "storage/entropy_coder.h"
#include "storage/fse.h"

namespace {

using entropy::CorruptData;
using entropy::kStreams;
using entropy::OnCorrupt;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<std::uint32_t>;

// 24 growing streams, read back from the start; a read past a stream's end throws, as the
// store's callback does.
struct Streams {
  std::array<Bytes, kStreams> data;
  std::array<std::size_t, kStreams> read_at{};

  static void write(void* user, int stream, const std::uint8_t* bytes, std::size_t count) {
    auto& s = *static_cast<Streams*>(user);
    s.data[std::size_t(stream)].insert(s.data[std::size_t(stream)].end(), bytes, bytes + count);
  }
  static void read(void* user, int stream, std::uint8_t* bytes, std::size_t count) {
    auto& s = *static_cast<Streams*>(user);
    const Bytes& d = s.data[std::size_t(stream)];
    std::size_t& at = s.read_at[std::size_t(stream)];
    if (count > d.size() - at) throw CorruptData("stream read past its end");
    std::memcpy(bytes, d.data() + at, count);
    at += count;
  }
};

// A row as the store hands it over: 16- or 32-bit values, a predictor row or none.
struct Row {
  bool sixteen_bit = false;
  Values values;
  Values predictor;  // empty: none
  bool has_predictor = false;
};

Row make_row(Values values, bool sixteen_bit = false) {
  Row r;
  r.sixteen_bit = sixteen_bit;
  r.values = std::move(values);
  if (sixteen_bit)
    for (auto& v : r.values) v &= 0xFFFF;
  return r;
}

Row with_predictor(Row r, Values predictor) {
  r.has_predictor = true;
  r.predictor = std::move(predictor);
  r.predictor.resize(r.values.size());
  if (r.sixteen_bit)
    for (auto& v : r.predictor) v &= 0xFFFF;
  return r;
}

std::vector<std::uint16_t> narrow(const Values& v) { return std::vector<std::uint16_t>(v.begin(), v.end()); }

void encode(entropy::Encoder& e, const Row& r) {
  int n = int(r.values.size());
  if (r.sixteen_bit) {
    auto values = narrow(r.values), predictor = narrow(r.predictor);
    e.encode_row16(values.data(), r.has_predictor ? predictor.data() : nullptr, n);
  } else {
    e.encode_row32(r.values.data(), r.has_predictor ? r.predictor.data() : nullptr, n);
  }
}

Values decode(entropy::Decoder& d, const Row& r) {
  int n = int(r.values.size());
  if (r.sixteen_bit) {
    std::vector<std::uint16_t> out(std::size_t(n) + 1, 0xBEEF), predictor = narrow(r.predictor);
    d.decode_row16(out.data(), r.has_predictor ? predictor.data() : nullptr, n);
    EXPECT_EQ(out.back(), 0xBEEF) << "written past the row";
    return Values(out.begin(), out.end() - 1);
  }
  Values out(std::size_t(n) + 1, 0xDEADBEEF);
  d.decode_row32(out.data(), r.has_predictor ? r.predictor.data() : nullptr, n);
  EXPECT_EQ(out.back(), 0xDEADBEEFu) << "written past the row";
  out.pop_back();
  return out;
}

Streams encode_rows(const std::vector<Row>& rows) {
  Streams s;
  entropy::Encoder e(&Streams::write, &s);
  for (const Row& r : rows) encode(e, r);
  e.finish();
  return s;
}

void expect_round_trip(const std::vector<Row>& rows, Streams s) {
  entropy::Decoder d(&Streams::read, &s, OnCorrupt::throw_exception);
  for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(decode(d, rows[i]), rows[i].values) << "row " << i;
  for (int b = 0; b < kStreams; ++b) EXPECT_EQ(s.read_at[std::size_t(b)], s.data[std::size_t(b)].size()) << b;
}

// A row whose symbols (alone, without predictor) are exactly `symbols`.
Values row_of_symbols(const Values& symbols) {
  Values row;
  std::uint32_t x = 0;
  for (std::uint32_t s : symbols) row.push_back(x += (s >> 1) ^ (0u - (s & 1)));
  return row;
}

// ---- Round trips ------------------------------------------------------------------------------

// Every pattern at every awkward length, 16- and 32-bit, with no, unrelated and close predictors.
std::vector<Row> adversarial_rows(std::mt19937& rng) {
  const Values jumps = {0, 1, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 65535, 65536, 255, 256, 0x10000FF};
  // Symbols at and around every escape boundary.
  const Values boundaries = {1, 254, 255, 256, 257, 65534, 65535, 65536, 65537, 0xFFFFFFFE, 0xFFFFFFFF};
  std::vector<Row> rows;
  for (int n : {0, 1, 7, 8, 9, 33, 1081})
    for (bool sixteen : {false, true}) {
      std::vector<Values> patterns;
      patterns.push_back(Values(std::size_t(n), 0));
      patterns.push_back(Values(std::size_t(n), 0x12345678));
      Values alternating, jumping, random, walk, boundary;
      std::uint32_t w = rng();
      for (int i = 0; i < n; ++i) {
        alternating.push_back(i % 2 ? 0x7FFFFFFF : 0x80000000);
        jumping.push_back(jumps[rng() % jumps.size()]);
        random.push_back(rng());
        walk.push_back(w += std::uint32_t(int(rng() % 21) - 10));
        boundary.push_back(boundaries[std::size_t(i) % boundaries.size()]);
      }
      for (Values* p : {&alternating, &jumping, &random, &walk}) patterns.push_back(*p);
      patterns.push_back(row_of_symbols(boundary));
      for (const Values& v : patterns) {
        Row alone = make_row(v, sixteen);
        rows.push_back(alone);
        Values unrelated(static_cast<std::size_t>(n)), close = alone.values;
        for (auto& u : unrelated) u = rng();
        for (auto& c : close) c += rng() % 3 == 0 ? rng() % 5 : 0;
        rows.push_back(with_predictor(alone, unrelated));
        rows.push_back(with_predictor(alone, close));
        rows.push_back(with_predictor(alone, alone.values));
      }
    }
  return rows;
}

TEST(EntropyCoderRoundTrip, AdversarialRowsOnBothPaths) {
  std::mt19937 rng(2024);
  std::vector<Row> rows = adversarial_rows(rng);
  for (bool plain : {true, false}) {
    entropy::use_plain_path(plain);
    expect_round_trip(rows, encode_rows(rows));
  }
  entropy::use_plain_path(false);
}

// Slowly varying regrets with an earlier iteration as predictor: enough rows that several
// buffers pass 64 KB and are flushed while rows are still being coded.
std::vector<Row> river_rows(int count, bool sixteen, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Row> rows;
  Values previous(1081);
  for (int r = 0; r < count; ++r) {
    Values v(1081);
    std::uint32_t x = rng() % 4000;
    for (auto& e : v) e = x = std::uint32_t(std::max<int>(0, int(x) + int(rng() % 301) - 150));
    Row row = make_row(v, sixteen);
    rows.push_back(r % 3 == 0 ? row : with_predictor(row, previous));
    previous = row.values;
  }
  return rows;
}

TEST(EntropyCoderRoundTrip, BuffersFlushMidStream) {
  for (bool sixteen : {false, true}) {
    std::vector<Row> rows = river_rows(500, sixteen, 5);
    expect_round_trip(rows, encode_rows(rows));
  }
}

TEST(EntropyCoderPaths, PlainAndVectorStreamsAreIdentical) {
  if (!platform::cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(99);
  std::vector<Row> rows = adversarial_rows(rng);
  for (int i = 0; i < 300; ++i) {
    std::vector<Row> river = river_rows(1, i % 2 == 0, std::uint32_t(i));
    Row r = river[0];
    r.values.resize(rng() % 1082);
    rows.push_back(i % 4 == 0 ? r : with_predictor(r, rows[rows.size() - 1].values));
  }
  entropy::use_plain_path(true);
  Streams plain = encode_rows(rows);
  entropy::use_plain_path(false);
  Streams vector = encode_rows(rows);
  for (int b = 0; b < kStreams; ++b) EXPECT_EQ(plain.data[std::size_t(b)], vector.data[std::size_t(b)]) << b;
  // Each path reads what the other wrote.
  expect_round_trip(rows, plain);
  entropy::use_plain_path(true);
  expect_round_trip(rows, vector);
  entropy::use_plain_path(false);
}

// Rows longer than a river list are refused (a logic error, so no text) and code nothing.
TEST(EntropyCoderRows, LongerThan1081ValuesThrowWithoutText) {
  Values v(1082, 1);
  std::vector<std::uint16_t> v16(1082, 1);
  Streams s;
  entropy::Encoder e(&Streams::write, &s);
  auto refused = [](auto call) {
    try {
      call();
    } catch (const std::length_error& x) {
      return std::string(x.what()).empty();
    }
    return false;
  };
  EXPECT_TRUE(refused([&] { e.encode_row32(v.data(), nullptr, 1082); }));
  EXPECT_TRUE(refused([&] { e.encode_row32(v.data(), nullptr, -1); }));
  EXPECT_TRUE(refused([&] { e.encode_row16(v16.data(), v16.data(), 1082); }));
  e.encode_row32(v.data(), nullptr, 1081);
  e.finish();
  entropy::Decoder d(&Streams::read, &s, OnCorrupt::throw_exception);
  EXPECT_TRUE(refused([&] { d.decode_row32(v.data(), nullptr, 1082); }));
  EXPECT_TRUE(refused([&] { d.decode_row16(v16.data(), nullptr, 1082); }));
  Values out(1081);
  d.decode_row32(out.data(), nullptr, 1081);
  EXPECT_EQ(out, Values(1081, 1));
}

// ---- Golden streams ---------------------------------------------------------------------------

// Rows that reach each transform choice, the context model, every escape range and empty rows.
std::vector<Row> golden_rows() {
  Values p = {3, 1000, 40, 40, 9, 123456, 0, 77, 5}, c;
  for (auto x : p) c.push_back(x + 3);
  Row varied = make_row({5, 9, 2, 2, 100, 7, 0, 3, 8, 1});
  return {make_row(Values(20, 1000)), make_row(Values(20, 1000), true), with_predictor(varied, varied.values),
          with_predictor(make_row(c), p), with_predictor(make_row({5, 6}), {5, 7}),
          make_row(row_of_symbols({1, 0, 5, 30, 300, 2, 3})), make_row(row_of_symbols({8})),
          make_row(row_of_symbols({255, 256, 65535, 65536, 0xFFFFFFFF})), make_row({})};
}

TEST(EntropyGolden, StoredStreamsStillDecode) {
  if (std::getenv("TRAVANTO_WRITE_GOLDEN")) {
    Streams made = encode_rows(golden_rows());
    write_golden("entropy_rows.hex", {made.data.begin(), made.data.end()});
  }
  auto golden = read_golden("entropy_rows.hex");
  ASSERT_EQ(golden.size(), std::size_t(kStreams));
  Streams s;
  std::copy(golden.begin(), golden.end(), s.data.begin());
  expect_round_trip(golden_rows(), s);
}

// ---- Damaged data ---------------------------------------------------------------------------

Bytes raw_frame(const Bytes& content) {
  Bytes f(8, 0);
  std::uint32_t k = std::uint32_t(content.size());
  std::memcpy(f.data(), &k, 4);
  f.insert(f.end(), content.begin(), content.end());
  return f;
}

// Streams with the coder id and the given buffer contents as raw blocks.
Streams hand_made(std::initializer_list<std::pair<int, Bytes>> buffers) {
  Streams s;
  s.data[0] = {2};
  for (const auto& [b, content] : buffers) {
    Bytes f = raw_frame(content);
    s.data[std::size_t(b)].insert(s.data[std::size_t(b)].end(), f.begin(), f.end());
  }
  return s;
}

void expect_corrupt(Streams s, const Values* predictor, int n, const char* why) {
  entropy::Decoder d(&Streams::read, &s, OnCorrupt::throw_exception);
  Values out(std::size_t(std::max(n, 1)));
  EXPECT_THROW(d.decode_row32(out.data(), predictor ? predictor->data() : nullptr, n), CorruptData) << why;
}

TEST(EntropyDecoder, CoderIdsOtherThanTwoAreRefused) {
  for (OnCorrupt on : {OnCorrupt::throw_exception, OnCorrupt::fatal})
    for (auto [id, text] : {std::pair<int, const char*>{0, "coder id 0 is not supported"},
                            {1, "coder id 1 is not supported"}, {7, "unknown coder id 7"}, {-1, ""}}) {
      Streams s;
      if (id >= 0) s.data[0] = {std::uint8_t(id)};
      try {
        entropy::Decoder d(&Streams::read, &s, on);
        ADD_FAILURE() << "id " << id << " accepted";
      } catch (const CorruptData& e) {
        if (id >= 0) {
          EXPECT_STREQ(e.what(), text);
        }
      }
    }
}

TEST(EntropyDecoder, ImpossibleStreamsThrowCorruptData) {
  Values p(9, 4);
  expect_corrupt(hand_made({}), nullptr, 3, "no flag block");
  expect_corrupt(hand_made({{0, {0}}}), nullptr, 3, "no mask block");
  expect_corrupt(hand_made({{0, {0}}, {1, {0x01}}}), nullptr, 3, "no context byte");
  expect_corrupt(hand_made({{0, {2}}, {1, {0}}}), nullptr, 3, "flag 2");
  expect_corrupt(hand_made({{0, {1}}, {1, {0}}}), nullptr, 3, "flag 1 without predictor");
  expect_corrupt(hand_made({{0, {0}}, {1, {0x08}}}), &p, 3, "mask bit past the row");
  expect_corrupt(hand_made({{0, {0}}, {1, {1}}, {2, {255}}, {18, {254}}, {19, {0}}}), nullptr, 1, "short escape < 255");
  expect_corrupt(hand_made({{0, {0}}, {1, {1}}, {2, {255}}, {18, {255}}, {19, {255}}, {20, {1}}, {21, {0}},
                            {22, {0}}, {23, {0}}}),
                 nullptr, 1, "wide escape < 65535");
  expect_corrupt(hand_made({{0, {0}}, {1, {1}}, {2, {255}}, {18, {255}}, {19, {255}}, {20, {255}}, {21, {255}},
                            {22, {255}}, {23, {255}}}),
                 nullptr, 1, "wide escape of the symbol 0");

  // Block sizes: k = 0, k past 64 KB, r past the compressed bound, a cut-off payload.
  auto with_frame = [](std::uint32_t k, std::int32_t r, Bytes payload) {
    Streams s;
    s.data[0] = {2};
    Bytes f(8);
    std::memcpy(f.data(), &k, 4);
    std::memcpy(f.data() + 4, &r, 4);
    f.insert(f.end(), payload.begin(), payload.end());
    s.data[0].insert(s.data[0].end(), f.begin(), f.end());
    return s;
  };
  expect_corrupt(with_frame(0, 0, {}), nullptr, 0, "k 0");
  expect_corrupt(with_frame(65537, 1, {0}), nullptr, 0, "k 65537");
  expect_corrupt(with_frame(100, 1 << 30, {}), nullptr, 0, "r huge");
  expect_corrupt(with_frame(100, 0, Bytes(99, 0)), nullptr, 0, "raw payload short");
  expect_corrupt(with_frame(100, 50, Bytes(49, 1)), nullptr, 0, "compressed payload short");

  // A compressed block without its end marker is an FSE error.
  std::vector<Row> rows(entropy::kMinCodedBlock + 300, make_row({}));
  for (std::size_t i = 0; i < rows.size(); i += 7) rows[i] = with_predictor(make_row({1, 2}), {0, 1});
  Streams good = encode_rows(rows);
  std::int32_t r = 0;
  std::memcpy(&r, good.data[0].data() + 5, 4);  // after the coder id and k
  ASSERT_GT(r, 1) << "the flag block is compressed";
  good.data[0].back() = 0;
  expect_corrupt(good, nullptr, 0, "fse error");
}

TEST(EntropyDecoder, RandomDamageNeverReadsOutOfBounds) {
  std::mt19937 rng(17);
  std::vector<Row> rows = river_rows(12, false, 8);
  std::vector<Row> more = adversarial_rows(rng);
  rows.insert(rows.end(), more.begin(), more.begin() + 200);
  const Streams good = encode_rows(rows);
  int detected = 0;
  for (int round = 0; round < 300; ++round) {
    Streams s = good;
    for (int f = 0; f < 3; ++f) {
      Bytes& d = s.data[rng() % kStreams];
      if (d.empty()) continue;
      if (rng() % 4 == 0)
        d.resize(rng() % d.size());
      else
        d[rng() % d.size()] ^= std::uint8_t(1 << (rng() % 8));
    }
    try {
      entropy::Decoder d(&Streams::read, &s, OnCorrupt::throw_exception);
      for (const Row& r : rows) decode(d, r);
    } catch (const CorruptData&) {
      ++detected;
    }
  }
  EXPECT_GT(detected, 150);
}

// The fatal messages go to standard output; the death tests route it to the error stream,
// which is what EXPECT_EXIT inspects.
TEST(EntropyDecoderDeathTest, FatalModePrintsFseErrorAndExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<Row> rows(300, make_row({}));
  for (std::size_t i = 0; i < rows.size(); i += 7) rows[i] = with_predictor(make_row({1, 2}), {0, 1});
  Streams damaged = encode_rows(rows);
  damaged.data[0].back() = 0;
  Streams missing = hand_made({{0, {0}}});
  for (Streams* s : {&damaged, &missing}) {
    EXPECT_EXIT(
        {
          dup2(2, 1);
          entropy::Decoder d(&Streams::read, s, OnCorrupt::fatal);
          Values out(8);
          d.decode_row32(out.data(), nullptr, 8);
        },
        ::testing::ExitedWithCode(1), "(^|\n)fse error\n$");
  }
}

}  // namespace
