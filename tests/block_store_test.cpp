// Group formats of the medium store (round trips, golden rows, damage), and both chunk stores:
// round trips, replacement, reload, damaged headers.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "golden.h"
#include "storage/block_store.h"
#include "storage/group_codec.h"
#include "storage/value_array.h"
#include "storage_files.h"

namespace {

using namespace storage_test;

// The functions of each value width.
template <class T> struct Width;
template <> struct Width<std::uint32_t> {
  static constexpr auto worst = &group_worst_bytes32, exact = &group_encoded_bytes32;
  static constexpr auto encode = &group_encode32, decode = &group_decode32;
  static constexpr auto write = &BlockStore::write_row32, read = &BlockStore::read_row32;
};
template <> struct Width<std::uint16_t> {
  static constexpr auto worst = &group_worst_bytes16, exact = &group_encoded_bytes16;
  static constexpr auto encode = &group_encode16, decode = &group_decode16;
  static constexpr auto write = &BlockStore::write_row16, read = &BlockStore::read_row16;
};

template <class T>
Bytes encode(const std::vector<T>& v) {
  Bytes out(Width<T>::worst(v.size()));
  out.resize(Width<T>::encode(v.data(), v.size(), out.data()));
  return out;
}

// Decodes from a buffer of exactly the given bytes, so that any read past them is caught; a
// whole decode consumes every byte.
template <class T>
std::vector<T> decode(const Bytes& bytes, std::size_t n, bool whole = true) {
  std::vector<T> v(n, T(0xABCD));
  std::size_t used = Width<T>::decode(bytes.data(), bytes.size(), v.data(), n);
  EXPECT_TRUE(!whole || used == bytes.size()) << used;
  return v;
}

template <class T>
Bytes with(Bytes b, std::size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
  return b;
}

// Every group code of each width, in runs of 32 values and in the tail groups after them.
template <class T>
std::vector<T> golden_row() {
  std::vector<T> all;
  for (std::uint32_t top : sizeof(T) == 4 ? std::vector<std::uint32_t>{0, 255, 65535, 65536, 255, 0xFFFFFFFF}
                                          : std::vector<std::uint32_t>{0, 255, 4095, 4096, 256, 255}) {
    all.insert(all.end(), 8, T(top / 3));
    all[all.size() - 3] = T(top);
  }
  if constexpr (sizeof(T) == 4) all.insert(all.end(), {0, 0, 0, 7, 0, 0, 0});
  else all.insert(all.end(), {65535, 0, 65535});
  return all;
}

TEST(GroupFormat, GoldenRowsStillDecode) {
  if (std::getenv("TRAVANTO_WRITE_GOLDEN"))
    write_golden("group_rows.hex", {encode(golden_row<std::uint32_t>()), encode(golden_row<std::uint16_t>())});
  auto golden = read_golden("group_rows.hex");
  ASSERT_EQ(golden.size(), 2u);
  EXPECT_EQ(decode<std::uint32_t>(golden[0], golden_row<std::uint32_t>().size()), golden_row<std::uint32_t>());
  EXPECT_EQ(decode<std::uint16_t>(golden[1], golden_row<std::uint16_t>().size()), golden_row<std::uint16_t>());
}

// Random rows whose value sizes change group by group (every code of the width appears) at
// every length up to 100 and a river row: exact size, worst case, round trip. Then damage to a
// row of 45 (a run of 32, then tail groups): bad tail control bytes, every cut short of the end
// (also of a lone run), every byte flipped, a run promising more than is there.
template <class T>
void check_group_format() {
  const std::vector<std::uint32_t> tops = sizeof(T) == 4
      ? std::vector<std::uint32_t>{0, 1, 255, 256, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF}
      : std::vector<std::uint32_t>{0, 1, 255, 256, 4095, 4096, 65535};
  std::mt19937 rng(sizeof(T));
  for (std::size_t len = 0; len <= 1081; len = len == 100 ? 1081 : len + 1) {
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<T> row(len);
      for (std::size_t i = 0, top = 0; i < len; ++i) {
        if (i % 8 == 0) top = tops[rng() % tops.size()];
        row[i] = T(std::uniform_int_distribution<std::uint32_t>(0, std::uint32_t(top))(rng));
      }
      ASSERT_EQ(encode(row).size(), Width<T>::exact(row.data(), len)) << len;
      ASSERT_EQ(decode<T>(encode(row), len), row) << len;
    }
    ASSERT_EQ(encode(std::vector<T>(len, T(0xFFFFFFFF))).size(), Width<T>::worst(len)) << len;
  }
  EXPECT_LE(encode(std::vector<T>(1024, 0)).size(), 32u) << "zeros cost two bits per group in runs";
  EXPECT_EQ(encode(std::vector<T>(32, T(4095))).size(), sizeof(T) == 2 ? 49u : 65u) << "12 bits a value in 16-bit runs";
  for (std::uint32_t edge : tops)  // every group of a run at each code's edge
    ASSERT_EQ(decode<T>(encode(std::vector<T>(40, T(edge))), 40), std::vector<T>(40, T(edge))) << edge;

  const Bytes good = encode(std::vector<T>(45, T(sizeof(T) == 4 ? 70000 : 5000)));
  for (std::uint8_t bad : sizeof(T) == 2 ? Bytes{0, 2, 4, 255} : Bytes{4})  // the first tail control byte
    EXPECT_THROW(decode<T>(with(good, 1 + 32 * sizeof(T), bad), 45), CorruptGroupData) << int(bad);
  const Bytes run = encode(std::vector<T>(32, T(70000)));  // a run alone: no tail byte to trip over
  for (const Bytes* whole : {&run, &good})
    for (std::size_t cut = 0; cut < whole->size(); ++cut)
      EXPECT_THROW(decode<T>(Bytes(whole->begin(), whole->begin() + std::ptrdiff_t(cut)), whole == &run ? 32 : 45),
                   CorruptGroupData) << cut;
  for (std::size_t at = 0; at < good.size(); ++at) try {
      decode<T>(with(good, at, std::uint8_t(good[at] ^ 0x5A)), 45, false);
    } catch (const CorruptGroupData&) {
    }
  EXPECT_THROW(decode<T>(Bytes{0xFF, 1, 2, 3}, 32), CorruptGroupData);
}

TEST(GroupFormat, RoundTripsAndDamage32) { check_group_format<std::uint32_t>(); }
TEST(GroupFormat, RoundTripsAndDamage16) { check_group_format<std::uint16_t>(); }

// ---- Stores ------------------------------------------------------------------------------------

// A chunk's rows in the order a value array writes them, action by action: a board with no more
// hands than the one before is predicted by the same action's previous board.
template <class T>
struct Rows {
  std::vector<int> predictor;  // index of the predicting row, or -1
  std::vector<std::vector<T>> values;
  std::int64_t value_count = 0;  // each row padded to a multiple of 4
};

template <class T>
Rows<T> make_rows(std::uint32_t seed, int actions, const std::vector<int>& counts) {
  std::mt19937 rng(seed);
  Rows<T> rows;
  for (int a = 0; a < actions; ++a)
    for (std::size_t b = 0; b < counts.size(); ++b) {
      int n = counts[b], p = b > 0 && n <= counts[b - 1] ? int(rows.values.size()) - 1 : -1;
      std::vector<std::uint32_t> previous;
      if (p >= 0) previous.assign(rows.values[std::size_t(p)].begin(), rows.values[std::size_t(p)].end());
      auto v = solver_row(rng, n, p < 0 ? nullptr : previous.data(), sizeof(T) == 2);
      rows.predictor.push_back(p);
      rows.values.emplace_back(v.begin(), v.end());
      rows.value_count += (n + 3) / 4 * 4;
    }
  return rows;
}

template <class T>
void write_rows(BlockStore& store, const Rows<T>& rows) {
  store.begin_write();
  for (std::size_t i = 0; i < rows.values.size(); ++i)
    (store.*Width<T>::write)(rows.values[i].data(), rows.predictor[i] < 0 ? nullptr : rows.values[std::size_t(rows.predictor[i])].data(),
                             int(rows.values[i].size()));
  store.end_write();
}

// Reads the rows back, predicting from the rows already read, as a value array does.
template <class T>
std::vector<std::vector<T>> read_rows(BlockStore& store, const Rows<T>& shape) {
  std::vector<std::vector<T>> out;
  store.begin_read();
  for (std::size_t i = 0; i < shape.values.size(); ++i) {
    out.emplace_back(shape.values[i].size(), T(0x5A5A));
    (store.*Width<T>::read)(out.back().data(), shape.predictor[i] < 0 ? nullptr : out[std::size_t(shape.predictor[i])].data(),
                            int(out.back().size()));
  }
  store.end_read();
  return out;
}

template <class T>
void check_store(int kind) {
  SCOPED_TRACE(kind == 1 ? "medium" : "high");
  TempDir dir;
  // A river chunk, then a smaller chunk whose counts shrink, grow and repeat, with boards of one
  // hand and of none.
  std::vector<int> river(46);
  std::mt19937 rng(3);
  for (int& c : river) c = 880 + int(rng() % 202);
  Rows<T> big = make_rows<T>(3, 2, river), small = make_rows<T>(4, 3, {40, 33, 33, 50, 7, 1081, 1, 9, 0, 32});
  auto make = [&] { return make_block_store(kind, big.value_count, sizeof(T) == 2); };
  auto store = make();
  EXPECT_FALSE(store->has_data());
  write_rows(*store, big);
  EXPECT_TRUE(store->has_data());
  for (int read = 0; read < 2; ++read) EXPECT_EQ(read_rows(*store, big), big.values) << "read " << read;  // reads change nothing
  write_rows(*store, small);
  EXPECT_EQ(read_rows(*store, small), small.values) << "a smaller write replaces everything";

  EXPECT_EQ(read_rows(*reload(*store, make, dir), small), small.values);

  // Damaged headers: the reservation, the data size, the claim or stream sizes.
  save_to(*store, dir / "good");
  const Bytes good = file_bytes(dir / "good");
  std::size_t header = kind == 1 ? 20 : 208;
  auto get = [&](std::size_t at, auto v) { return std::memcpy(&v, good.data() + at, sizeof v), v; };
  std::int64_t reserve = get(header - 16, std::int64_t()), raw = get(header - 8, std::int64_t());
  std::uint32_t size0 = get(0, 0u), size1 = get(8, 0u);
  std::vector<Bytes> bad = {with(good, header - 16, reserve + 65536), with(good, header - 16, reserve - 4096),
                            with(good, header - 8, reserve + 1), with(good, header - 8, std::int64_t(-1))};
  if (kind == 1) bad.insert(bad.end(), {with(good, 0, std::uint32_t(raw + 1)), with(good, 0, std::uint32_t(0))});
  else  // sizes past the data, a stream read past its end, sizes moved between streams
    bad.insert(bad.end(), {with(good, 8, size1 + 1), with(good, 12, size1 + 1), with(with(good, 0, 0u), 8, size1 + size0)});
  for (std::size_t i = 0; i < bad.size(); ++i) {
    put_bytes(dir / "bad", bad[i]);
    auto damaged = make();
    EXPECT_THROW(load_from(*damaged, dir / "bad"), IOException) << "change " << i;
    EXPECT_TRUE(!damaged->has_data() && damaged->stored_bytes() == 0) << "change " << i;
  }
}

TEST(BlockStore, RoundTripsReplacementReloadAndDamage) {
  for (int kind : {1, 2}) {
    check_store<std::uint16_t>(kind);
    check_store<std::uint32_t>(kind);
  }
}

// Rows whose tail groups cost more than the nominal 16-bit worst case, and dense rows whose
// claims would run past the reservation although the data fit: the medium store keeps them whole.
TEST(GroupPackedStore, KeepsDataBeyondTheNominalClaim) {
  TempDir dir;
  auto check = [&](auto zero, int count, int n) {
    using T = decltype(zero);
    std::mt19937 rng{std::uint32_t(count)};
    Rows<T> rows{std::vector<int>(std::size_t(count), -1), std::vector<std::vector<T>>(std::size_t(count), std::vector<T>(std::size_t(n))),
                 std::int64_t(count) * ((n + 3) / 4 * 4)};
    for (auto& row : rows.values)
      for (auto& x : row) x = sizeof(T) == 2 ? T(4096 + rng() % 60000) : T(0x3F000000 + rng() % 0x1000000);
    auto make = [&] { return make_block_store(1, rows.value_count, sizeof(T) == 2); };
    auto written = make();
    write_rows(*written, rows);
    EXPECT_EQ(read_rows(*reload(*written, make, dir), rows), rows.values) << n;
  };
  check(std::uint16_t(0), 1, 31);
  check(std::uint16_t(0), 3, 1081);
  check(std::uint32_t(0), 16, 1000);
}

// Starting a write or read while the coder is open, or a row too long, is a logic error.
TEST(EntropyCodedStore, RefusesToStartWithACoderOpen) {
  std::vector<std::uint16_t> row(1082, 5);
  auto store = make_block_store(2, 4096, true);
  store->begin_write(), store->write_row16(row.data(), nullptr, 1081);
  EXPECT_THROW(store->begin_write(), std::logic_error);
  EXPECT_THROW(store->begin_read(), std::logic_error);
  EXPECT_THROW(store->write_row16(row.data(), nullptr, 1082), std::logic_error);
  store->end_write(), store->begin_read();
  EXPECT_THROW(store->begin_read(), std::logic_error);
  EXPECT_THROW(store->begin_write(), std::logic_error);
  store->read_row16(row.data(), nullptr, 1081), store->end_read();
  EXPECT_EQ(row, std::vector<std::uint16_t>(1082, 5));
}

}  // namespace
