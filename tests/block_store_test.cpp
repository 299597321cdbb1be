// Group formats of the medium store (round trips, golden rows, damage), and both chunk stores:
// round trips, replacement, statistics, save and load, damaged headers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "golden.h"
#include "storage/block_store.h"
#include "storage/group_codec.h"
#include "storage/value_array.h"
#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
std::size_t worst(std::size_t n) { return sizeof(T) == 4 ? group_worst_bytes32(n) : group_worst_bytes16(n); }

template <class T>
Bytes encode(const std::vector<T>& v) {
  Bytes out(worst<T>(v.size()));
  if constexpr (sizeof(T) == 4) out.resize(group_encode32(v.data(), v.size(), out.data()));
  else out.resize(group_encode16(v.data(), v.size(), out.data()));
  return out;
}

// Decodes from a buffer of exactly the given bytes, so that any read past them is caught; checks
// that every byte was consumed.
template <class T>
std::vector<T> decode(const Bytes& bytes, std::size_t n) {
  std::vector<T> v(n, T(0xABCD));
  std::size_t used = 0;
  if constexpr (sizeof(T) == 4) used = group_decode32(bytes.data(), bytes.size(), v.data(), n);
  else used = group_decode16(bytes.data(), bytes.size(), v.data(), n);
  EXPECT_EQ(used, bytes.size());
  return v;
}

// Every group code of each width, in runs of 32 values and in the tail groups after them.
template <class T>
std::vector<T> golden_row() {
  std::vector<T> all;
  auto group = [&](T top) {
    all.insert(all.end(), 8, T(top / 3));
    all[all.size() - 3] = top;
  };
  if constexpr (sizeof(T) == 4) {
    for (T top : {0u, 255u, 65535u, 65536u, 255u, 0xFFFFFFFFu}) group(top);
    all.insert(all.end(), {0, 0, 0, 7, 0, 0, 0});
  } else {
    for (int top : {0, 255, 4095, 4096, 256, 255}) group(T(top));
    all.insert(all.end(), {65535, 0, 65535});
  }
  return all;
}

TEST(GroupFormat, GoldenRowsStillDecode) {
  if (std::getenv("TRAVANTO_WRITE_GOLDEN"))
    write_golden("group_rows.hex", {encode(golden_row<std::uint32_t>()), encode(golden_row<std::uint16_t>())});
  auto golden = read_golden("group_rows.hex");
  ASSERT_EQ(golden.size(), 2u);
  EXPECT_EQ(decode<std::uint32_t>(golden[0], golden_row<std::uint32_t>().size()), golden_row<std::uint32_t>());
  EXPECT_EQ(decode<std::uint16_t>(golden[1], golden_row<std::uint16_t>().size()), golden_row<std::uint16_t>());
  // Zeros cost two bits per group of eight in runs.
  EXPECT_LE(encode(std::vector<std::uint32_t>(1024, 0)).size(), 32u);
  EXPECT_LE(encode(std::vector<std::uint16_t>(1024, 0)).size(), 32u);
}

// Random rows whose value sizes change group by group (every code of the width appears) at
// every length up to 100 and a river row: exact size, worst case, round trip; then damage.
template <class T>
void check_group_format() {
  const std::vector<std::uint32_t> tops = sizeof(T) == 4
      ? std::vector<std::uint32_t>{0, 1, 255, 256, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF}
      : std::vector<std::uint32_t>{0, 1, 255, 256, 4095, 4096, 65535};
  std::mt19937 rng(sizeof(T));
  for (std::size_t n = 0; n <= 101; ++n) {
    std::size_t len = n == 101 ? 1081 : n;
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<T> row(len);
      std::uint32_t top = 0;
      for (std::size_t i = 0; i < len; ++i) {
        if (i % 8 == 0) top = tops[rng() % tops.size()];
        row[i] = T(std::uniform_int_distribution<std::uint32_t>(0, top)(rng));
      }
      Bytes bytes = encode(row);
      std::size_t exact = 0;
      if constexpr (sizeof(T) == 4) exact = group_encoded_bytes32(row.data(), len);
      else exact = group_encoded_bytes16(row.data(), len);
      ASSERT_EQ(bytes.size(), exact) << len;
      ASSERT_LE(bytes.size(), worst<T>(len)) << len;
      ASSERT_EQ(decode<T>(bytes, len), row) << len;
    }
    // The worst case is reached by values of full width.
    ASSERT_EQ(encode(std::vector<T>(len, T(0xFFFFFFFF))).size(), worst<T>(len)) << len;
  }
  // 45 values: a run of 32, then tail groups. Bad tail control bytes, and every cut short of
  // the end (the buffers are exact, so a read past them is seen).
  std::vector<T> row(45, T(sizeof(T) == 4 ? 70000 : 5000));
  const Bytes good = encode(row);
  for (std::uint8_t bad : {0, 2, 4, 255}) {
    Bytes broken = good;
    broken[1 + 32 * sizeof(T)] = bad;  // the first tail control byte
    if (sizeof(T) == 2 || bad == 4) {
      EXPECT_THROW(decode<T>(broken, 45), CorruptGroupData) << int(bad);
    }
  }
  for (std::size_t cut = 0; cut < good.size(); ++cut)
    EXPECT_THROW(decode<T>(Bytes(good.begin(), good.begin() + std::ptrdiff_t(cut)), 45), CorruptGroupData) << cut;
  // A run whose control byte promises more than is there.
  EXPECT_THROW(decode<T>(Bytes{0xFF, 1, 2, 3}, 32), CorruptGroupData);
}

TEST(GroupFormat, RoundTripsAndDamage32) { check_group_format<std::uint32_t>(); }
TEST(GroupFormat, RoundTripsAndDamage16) { check_group_format<std::uint16_t>(); }

// ---- Stores ------------------------------------------------------------------------------------

// A chunk's rows in the order a value array writes them: a row is predicted by the row before
// the previous one when it has no more hands (the same action's previous board).
template <class T>
struct Rows {
  std::vector<int> predictor;  // index of the predicting row, or -1
  std::vector<std::vector<T>> values;
  std::int64_t value_count = 0;  // each row padded to a multiple of 4
};

// Solver-like rows: many zeros, sizes that vary by board, boards close to the previous one.
template <class T>
Rows<T> make_rows(std::uint32_t seed, int actions, const std::vector<int>& counts) {
  std::mt19937 rng(seed);
  Rows<T> rows;
  for (int a = 0; a < actions; ++a)
    for (std::size_t b = 0; b < counts.size(); ++b) {
      int n = counts[b], p = b > 0 && n <= counts[b - 1] ? int(rows.values.size()) - 1 : -1;
      std::uint32_t level = sizeof(T) == 4 ? 0x42000000 + rng() % 0x1000000 : rng() % 1500;
      std::vector<T> v(std::size_t(n), 0);
      for (int h = 0; h < n; ++h)
        if (rng() % 100 >= 35)
          v[std::size_t(h)] = p < 0 ? T(level + rng() % (level / 2 + 1)) : T(rows.values[std::size_t(p)][std::size_t(h)] + rng() % 3);
      rows.predictor.push_back(p);
      rows.values.push_back(std::move(v));
      rows.value_count += (n + 3) / 4 * 4;
    }
  return rows;
}

template <class T>
void write_rows(BlockStore& store, const Rows<T>& rows) {
  store.begin_write();
  for (std::size_t i = 0; i < rows.values.size(); ++i) {
    const T* p = rows.predictor[i] < 0 ? nullptr : rows.values[std::size_t(rows.predictor[i])].data();
    int n = int(rows.values[i].size());
    if constexpr (sizeof(T) == 4) store.write_row32(rows.values[i].data(), p, n);
    else store.write_row16(rows.values[i].data(), p, n);
  }
  store.end_write();
}

// Reads the rows back, predicting from the rows already read, as a value array does.
template <class T>
std::vector<std::vector<T>> read_rows(BlockStore& store, const Rows<T>& shape) {
  std::vector<std::vector<T>> out;
  store.begin_read();
  for (std::size_t i = 0; i < shape.values.size(); ++i) {
    std::vector<T> v(shape.values[i].size(), T(0x5A5A));
    const T* p = shape.predictor[i] < 0 ? nullptr : out[std::size_t(shape.predictor[i])].data();
    if constexpr (sizeof(T) == 4) store.read_row32(v.data(), p, int(v.size()));
    else store.read_row16(v.data(), p, int(v.size()));
    out.push_back(std::move(v));
  }
  store.end_read();
  return out;
}

Bytes file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void save_store(BlockStore& store, const std::string& path) {
  BinaryFile file(path, BinaryFile::Mode::write);
  store.save(file);
  file.commit();
}

void load_store(BlockStore& store, const std::string& path) {
  BinaryFile file(path, BinaryFile::Mode::read);
  store.load(file);
}

template <class T>
T get(const Bytes& b, std::size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

template <class T>
Bytes with(Bytes b, std::size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
  return b;
}

// Counts that shrink, grow and repeat, a full river board, boards of one hand and of none; and
// a river chunk.
const std::vector<int> kSmallChunk = {40, 33, 33, 50, 7, 1081, 1, 9, 0, 32};
std::vector<int> river_chunk(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int> counts(46);
  for (int& c : counts) c = 880 + int(rng() % 202);
  return counts;
}

template <class T>
void check_store(int kind) {
  SCOPED_TRACE(kind == 1 ? "medium" : "high");
  fs::path dir = make_temp_dir();
  std::string path = (dir / "store.bin").string(), again = (dir / "again.bin").string();
  const bool sixteen = sizeof(T) == 2;
  Rows<T> big = make_rows<T>(3, 2, river_chunk(3)), small = make_rows<T>(4, 3, kSmallChunk);
  auto store = make_block_store(kind, big.value_count, sixteen);
  auto bytes_of = [&](const Rows<T>& rows) {
    std::uint64_t total = 0;
    for (const auto& v : rows.values) total += encode(v).size();
    return kind == 1 ? total : std::uint64_t(store->stored_bytes());
  };

  // Round trips; reading leaves the content alone; a smaller second write replaces everything;
  // the traffic counters add up.
  EXPECT_FALSE(store->has_data());
  reset_storage_statistics();
  write_rows(*store, big);
  EXPECT_TRUE(store->has_data());
  std::uint64_t first = storage_statistics().bytes_written;
  EXPECT_EQ(first, bytes_of(big));
  EXPECT_EQ(storage_statistics().bytes_read, 0u);
  EXPECT_EQ(read_rows(*store, big), big.values);
  EXPECT_EQ(read_rows(*store, big), big.values);
  EXPECT_EQ(storage_statistics().bytes_read, 2 * first);
  write_rows(*store, small);
  std::uint64_t second = storage_statistics().bytes_written - first;
  EXPECT_EQ(second, bytes_of(small));
  EXPECT_LT(second, first);
  EXPECT_EQ(read_rows(*store, small), small.values);
  EXPECT_EQ(storage_statistics().bytes_read, 2 * first + second);

  // Save, load, save again: the same file and rows.
  save_store(*store, path);
  const Bytes good = file_bytes(path);
  auto loaded = make_block_store(kind, big.value_count, sixteen);
  load_store(*loaded, path);
  EXPECT_EQ(loaded->stored_bytes(), store->stored_bytes());
  EXPECT_EQ(read_rows(*loaded, small), small.values);
  save_store(*loaded, again);
  EXPECT_EQ(file_bytes(again), good);
  // A store never written saves as an empty one.
  save_store(*make_block_store(kind, big.value_count, sixteen), again);
  auto empty = make_block_store(kind, big.value_count, sixteen);
  load_store(*empty, again);
  EXPECT_FALSE(empty->has_data());
  EXPECT_EQ(empty->stored_bytes(), 0);

  // Damaged headers: the reservation, the data size, the claim or stream sizes, a cut file.
  std::size_t header = kind == 1 ? 20 : 208;
  auto reserve = get<std::int64_t>(good, header - 16);
  auto raw = get<std::int64_t>(good, header - 8);
  std::vector<Bytes> bad = {with(good, header - 16, reserve + 65536), with(good, header - 16, reserve - 4096),
                            with(good, header - 8, reserve + 1), with(good, header - 8, std::int64_t(-1)),
                            Bytes(good.begin(), good.end() - 1), Bytes(good.begin(), good.begin() + std::ptrdiff_t(header) - 3)};
  if (kind == 1) {
    bad.push_back(with(good, 0, std::uint32_t(raw + 1)));
    bad.push_back(with(good, 0, std::uint32_t(0)));
  } else {
    auto size0 = get<std::uint32_t>(good, 0), size1 = get<std::uint32_t>(good, 8);
    bad.push_back(with(good, 8, size1 + 1));   // sizes exceed the data
    bad.push_back(with(good, 12, size1 + 1));  // a stream read past its end
    bad.push_back(with(with(good, 0, std::uint32_t(0)), 8, size1 + size0));
  }
  for (std::size_t i = 0; i < bad.size(); ++i) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bad[i].data()), std::streamsize(bad[i].size()));
    auto damaged = make_block_store(kind, big.value_count, sixteen);
    EXPECT_THROW(load_store(*damaged, path), IOException) << "change " << i;
    EXPECT_FALSE(damaged->has_data()) << "change " << i;
    EXPECT_EQ(damaged->stored_bytes(), 0) << "change " << i;
  }
  fs::remove_all(dir);
}

TEST(BlockStore, RoundTripsReplacementStatisticsSaveLoadAndDamage) {
  for (int kind : {1, 2}) {
    check_store<std::uint16_t>(kind);
    check_store<std::uint32_t>(kind);
  }
  reset_storage_statistics();
}

// The medium store claims a row's nominal worst case (5 bytes a value). Rows whose tail groups
// cost more than the nominal 16-bit worst case, and dense rows whose claims would run past the
// reservation although the data fit, still save and load whole.
TEST(GroupPackedStore, ClaimsTheNominalRoomAndKeepsDataBeyondIt) {
  std::vector<std::uint32_t> threes(100, 3);
  auto store = make_block_store(1, 400, false);
  store->begin_write();
  store->write_row32(threes.data(), nullptr, 100);
  store->end_write();
  EXPECT_EQ(store->stored_bytes(), 500);

  fs::path dir = make_temp_dir();
  std::string path = (dir / "store.bin").string();
  auto check = [&](auto zero, int count, int n, std::int64_t values) {
    using T = decltype(zero);
    std::mt19937 rng{std::uint32_t(count)};
    Rows<T> rows;
    for (int r = 0; r < count; ++r) {
      rows.values.emplace_back(std::size_t(n));
      rows.predictor.push_back(-1);
      for (auto& x : rows.values.back()) x = sizeof(T) == 2 ? T(4096 + rng() % 60000) : T(0x3F000000 + rng() % 0x1000000);
    }
    auto written = make_block_store(1, values, sizeof(T) == 2);
    write_rows(*written, rows);
    save_store(*written, path);
    auto loaded = make_block_store(1, values, sizeof(T) == 2);
    load_store(*loaded, path);
    EXPECT_EQ(read_rows(*loaded, rows), rows.values) << n;
  };
  check(std::uint16_t(0), 1, 31, 32);
  check(std::uint16_t(0), 3, 1081, 3 * 1084);
  check(std::uint32_t(0), 16, 1000, 16000);
  fs::remove_all(dir);
}

// Starting a write or read while the coder is open, or a row too long, is a logic error (no text).
TEST(EntropyCodedStore, RefusesToStartWithACoderOpen) {
  auto empty_text = [](auto call) {
    try {
      call();
    } catch (const std::exception& e) {
      return std::string(e.what()).empty();
    }
    return false;
  };
  std::vector<std::uint16_t> row(1082, 5);
  auto store = make_block_store(2, 4096, true);
  store->begin_write();
  store->write_row16(row.data(), nullptr, 1081);
  EXPECT_TRUE(empty_text([&] { store->begin_write(); }));
  EXPECT_TRUE(empty_text([&] { store->begin_read(); }));
  EXPECT_TRUE(empty_text([&] { store->write_row16(row.data(), nullptr, 1082); }));
  store->end_write();
  store->begin_read();
  EXPECT_TRUE(empty_text([&] { store->begin_read(); }));
  EXPECT_TRUE(empty_text([&] { store->begin_write(); }));
  std::vector<std::uint16_t> back(1081);
  store->read_row16(back.data(), nullptr, 1081);
  store->end_read();
  EXPECT_EQ(back, std::vector<std::uint16_t>(1081, 5));
}

}  // namespace
