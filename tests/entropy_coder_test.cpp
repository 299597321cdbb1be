// The row coder: round trips of ordinary and adversarial rows on both paths, identical streams
// from both paths, golden streams that must still decode, and decoders fed damaged data.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "golden.h"
#include "platform/platform.h"
#include "storage/entropy_coder.h"
#include "storage_files.h"

namespace {

using entropy::CorruptData;
using entropy::kStreams;
using entropy::OnCorrupt;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<std::uint32_t>;
using storage_test::solver_row;

// 24 growing streams, read back from the start; a read past a stream's end throws, as the
// store's callback does.
struct Streams {
  std::array<Bytes, kStreams> data;
  std::array<std::size_t, kStreams> read_at{};

  static void write(void* user, int b, const std::uint8_t* bytes, std::size_t count) {
    auto& d = static_cast<Streams*>(user)->data[std::size_t(b)];
    d.insert(d.end(), bytes, bytes + count);
  }
  static void read(void* user, int b, std::uint8_t* bytes, std::size_t count) {
    auto& s = *static_cast<Streams*>(user);
    std::size_t& at = s.read_at[std::size_t(b)];
    if (count > s.data[std::size_t(b)].size() - at) throw CorruptData("stream read past its end");
    std::memcpy(bytes, s.data[std::size_t(b)].data() + at, count);
    at += count;
  }
};

// A row as the store hands it over: 16- or 32-bit values, a predictor row (empty: none).
struct Row {
  bool sixteen_bit = false;
  Values values, predictor;
  const std::uint32_t* p() const { return predictor.empty() ? nullptr : predictor.data(); }
};

Row make_row(Values values, bool sixteen_bit = false) {
  for (auto& v : values) v &= sixteen_bit ? 0xFFFF : 0xFFFFFFFF;
  return Row{sixteen_bit, std::move(values), {}};
}

Row with_predictor(Row r, Values predictor) {
  predictor.resize(r.values.size());
  return Row{r.sixteen_bit, r.values, make_row(predictor, r.sixteen_bit).values};
}

Streams encode_rows(const std::vector<Row>& rows) {
  Streams s;
  entropy::Encoder e(&Streams::write, &s);
  for (const Row& r : rows) {
    std::vector<std::uint16_t> v(r.values.begin(), r.values.end()), p(r.predictor.begin(), r.predictor.end());
    if (r.sixteen_bit) e.encode_row16(v.data(), r.p() ? p.data() : nullptr, int(v.size()));
    else e.encode_row32(r.values.data(), r.p(), int(v.size()));
  }
  e.finish();
  return s;
}

// Decodes one row into a buffer one longer than the row, and checks nothing went past it.
Values decode(entropy::Decoder& d, const Row& r) {
  int n = int(r.values.size());
  std::vector<std::uint16_t> out16(std::size_t(n) + 1, 0xBEEF), p(r.predictor.begin(), r.predictor.end());
  Values out(std::size_t(n) + 1, 0xDEADBEEF);
  if (r.sixteen_bit) d.decode_row16(out16.data(), r.p() ? p.data() : nullptr, n);
  else d.decode_row32(out.data(), r.p(), n);
  EXPECT_TRUE(out16.back() == 0xBEEF && out.back() == 0xDEADBEEFu) << "written past the row";
  if (r.sixteen_bit) out.assign(out16.begin(), out16.end());
  out.pop_back();
  return out;
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

// Every pattern at every awkward length, 16- and 32-bit, with no, unrelated, close and equal
// predictors; symbols at and around every escape boundary.
std::vector<Row> adversarial_rows(std::mt19937& rng) {
  const Values jumps = {0, 1, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 65535, 65536, 255, 256, 0x10000FF};
  const Values boundaries = {1, 254, 255, 256, 257, 65534, 65535, 65536, 65537, 0xFFFFFFFE, 0xFFFFFFFF};
  std::vector<Row> rows;
  for (int n : {0, 1, 7, 8, 9, 33, 1081})
    for (bool sixteen : {false, true}) {
      std::vector<Values> patterns = {Values(std::size_t(n), 0), Values(std::size_t(n), 0x12345678), {}, {}, {}, {}, {}};
      std::uint32_t w = rng();
      for (int i = 0; i < n; ++i) {
        patterns[2].push_back(i % 2 ? 0x7FFFFFFF : 0x80000000);
        patterns[3].push_back(jumps[rng() % jumps.size()]);
        patterns[4].push_back(rng());
        patterns[5].push_back(w += std::uint32_t(int(rng() % 21) - 10));
        patterns[6].push_back(boundaries[std::size_t(i) % boundaries.size()]);
      }
      patterns[6] = row_of_symbols(patterns[6]);
      for (const Values& v : patterns) {
        Row alone = make_row(v, sixteen);
        Values unrelated(static_cast<std::size_t>(n)), close = alone.values;
        for (auto& u : unrelated) u = rng();
        for (auto& c : close) c += rng() % 3 == 0 ? rng() % 5 : 0;
        rows.insert(rows.end(), {alone, with_predictor(alone, unrelated), with_predictor(alone, close),
                                 with_predictor(alone, alone.values)});
      }
    }
  return rows;
}

// Solver-like rows, a predictor on two in three: enough rows that several buffers pass 64 KB and
// are flushed while rows are still being coded.
std::vector<Row> river_rows(int count, bool sixteen, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Row> rows;
  for (int r = 0; r < count; ++r) {
    Values previous = r ? rows.back().values : Values(1081);
    Row row = make_row(solver_row(rng, 1081, r % 3 ? previous.data() : nullptr, sixteen), sixteen);
    rows.push_back(r % 3 ? with_predictor(row, previous) : row);
  }
  return rows;
}

// Adversarial, solver-like and short rows round trip on both paths, which write the same streams
// (where the vector path exists).
TEST(EntropyCoder, RoundTripsOnBothPathsWithIdenticalStreams) {
  std::mt19937 rng(2024);
  std::vector<Row> rows = adversarial_rows(rng);
  for (bool sixteen : {false, true})
    for (const Row& r : river_rows(500, sixteen, 5)) rows.push_back(r);
  for (int i = 0; i < 300; ++i) {
    Row r = river_rows(1, i % 2 == 0, std::uint32_t(i))[0];
    r.values.resize(rng() % 1082);
    rows.push_back(i % 4 == 0 ? r : with_predictor(r, rows.back().values));
  }
  Streams paths[2];
  for (bool plain : {true, false}) {
    entropy::use_plain_path(plain);
    expect_round_trip(rows, paths[plain] = encode_rows(rows));
  }
  EXPECT_TRUE(!platform::cpu_has_avx2() || paths[0].data == paths[1].data) << "equal streams: each path reads the other's";
}

// Rows longer than a river list or of negative length are refused, and a refused decode writes
// nothing. (Encoding 1082 values, through the same check: the entropy-coded store's test.)
TEST(EntropyCoder, RowsLongerThan1081ValuesAreRefused) {
  Values v(1082, 1);
  Streams s = encode_rows({make_row(Values(1081, 1))}), junk;
  entropy::Decoder d(&Streams::read, &s, OnCorrupt::throw_exception);
  EXPECT_THROW(entropy::Encoder(&Streams::write, &junk).encode_row32(v.data(), nullptr, -1), std::length_error);
  EXPECT_THROW(d.decode_row32(v.data(), nullptr, 1082), std::length_error);
  d.decode_row32(v.data(), nullptr, 1081);
  EXPECT_EQ(v, Values(1082, 1));
}

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

TEST(EntropyCoder, GoldenStreamsStillDecode) {
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

// ---- Damaged data ------------------------------------------------------------------------------

// Stream 0 with the coder id, then blocks with the given sizes k and r and payloads.
Streams framed(std::initializer_list<std::tuple<int, std::uint32_t, std::int32_t, Bytes>> blocks) {
  Streams s;
  s.data[0] = {2};
  for (const auto& [b, k, r, payload] : blocks) {
    Bytes& d = s.data[std::size_t(b)];
    d.resize(d.size() + 8);
    std::memcpy(d.data() + d.size() - 8, &k, 4);
    std::memcpy(d.data() + d.size() - 4, &r, 4);
    d.insert(d.end(), payload.begin(), payload.end());
  }
  return s;
}

// A block stored raw.
std::tuple<int, std::uint32_t, std::int32_t, Bytes> raw(int b, Bytes content) {
  return {b, std::uint32_t(content.size()), 0, content};
}

// Short rows with a predictor now and then: a compressed flag block that loses its end marker.
Streams without_marker(std::size_t rows_count) {
  std::vector<Row> rows(rows_count, make_row({}));
  for (std::size_t i = 0; i < rows.size(); i += 7) rows[i] = with_predictor(make_row({1, 2}), {0, 1});
  Streams s = encode_rows(rows);
  s.data[0].back() = 0;
  return s;
}

// A handful of the nastiest impossible streams: each throws CorruptData when the decoder starts
// or at its first row. (Random damage, under the address sanitizer: the entropy decoder's fuzz
// target.)
TEST(EntropyDecoder, ImpossibleStreamsThrowCorruptData) {
  Values p(9, 4), out(3);
  Streams fse_error = without_marker(entropy::kMinCodedBlock + 300), no_id, id7 = framed({});
  id7.data[0] = {7};
  std::int32_t r = 0;
  std::memcpy(&r, fse_error.data[0].data() + 5, 4);  // after the coder id and k
  ASSERT_GT(r, 1) << "the flag block is compressed";
  struct Case { const char* why; Streams s; const Values* predictor; } cases[] = {
      {"no coder id", no_id, nullptr},
      {"coder id 7", id7, nullptr},
      {"flag 2", framed({raw(0, {2}), raw(1, {0})}), nullptr},
      {"flag 1 without predictor", framed({raw(0, {1}), raw(1, {0})}), nullptr},
      {"mask bit past the row", framed({raw(0, {0}), raw(1, {0x08})}), &p},
      {"wide escape of the symbol 0", framed({raw(0, {0}), raw(1, {1}), raw(2, {255}), raw(18, {255}), raw(19, {255}),
                                              raw(20, {255}), raw(21, {255}), raw(22, {255}), raw(23, {255})}), nullptr},
      {"r huge", framed({{0, 100, 1 << 30, {}}}), nullptr},
      {"compressed payload short", framed({{0, 100, 50, Bytes(49, 1)}}), nullptr},
      {"fse error", fse_error, nullptr},
  };
  for (Case& c : cases)
    EXPECT_THROW(entropy::Decoder(&Streams::read, &c.s, OnCorrupt::throw_exception)
                     .decode_row32(out.data(), c.predictor ? c.predictor->data() : nullptr, c.predictor ? 3 : 1),
                 CorruptData)
        << c.why;
}

// The fatal messages go to standard output; the death tests route it to the error stream,
// which is what EXPECT_EXIT inspects.
TEST(EntropyDecoderDeathTest, FatalModePrintsFseErrorAndExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Streams damaged = without_marker(300), missing = framed({raw(0, {0})});
  for (Streams* s : {&damaged, &missing}) {
    EXPECT_EXIT(
        {
          dup2(2, 1);
          entropy::Decoder d(&Streams::read, s, OnCorrupt::fatal);
          Values out(8);
          d.decode_row32(out.data(), nullptr, 8);
        },
        ::testing::ExitedWithCode(1), "fse error\r?\n$");  // simple expressions on Windows
  }
}

}  // namespace
