// Group formats of the medium store (round trips, golden rows, damage), and both chunk stores:
// round trips, replacement, statistics, save and load.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "golden.h"
#include "storage/block_store.h"
#include "storage/group_codec.h"
#include "storage/value_array.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------------
// Group formats

std::vector<std::uint8_t> encode(const std::vector<std::uint32_t>& v) {
  std::vector<std::uint8_t> out(group_worst_bytes32(v.size()));
  out.resize(group_encode32(v.data(), v.size(), out.data()));
  return out;
}

std::vector<std::uint8_t> encode(const std::vector<std::uint16_t>& v) {
  std::vector<std::uint8_t> out(group_worst_bytes16(v.size()));
  out.resize(group_encode16(v.data(), v.size(), out.data()));
  return out;
}

// Decodes from a buffer of exactly the given bytes, so that any read past them is caught.
template <class T>
std::vector<T> decode(const std::vector<std::uint8_t>& bytes, std::size_t n, std::size_t* consumed = nullptr) {
  std::vector<T> v(n, T(0xABCD));
  std::size_t used = 0;
  if constexpr (sizeof(T) == 4) used = group_decode32(bytes.data(), bytes.size(), v.data(), n);
  else used = group_decode16(bytes.data(), bytes.size(), v.data(), n);
  if (consumed != nullptr) *consumed = used;
  return v;
}

// Eight values whose largest is `top`.
template <class T>
std::vector<T> group_of(T top) {
  std::vector<T> g(8, T(top / 3));
  g[5] = top;
  return g;
}

template <class T>
std::vector<T> concat(std::initializer_list<std::vector<T>> parts) {
  std::vector<T> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Every group code of each width, in runs of 32 values and in the tail groups after them.
template <class T>
std::vector<T> golden_row() {
  if constexpr (sizeof(T) == 4)
    return concat<T>({group_of<T>(0), group_of<T>(255), group_of<T>(65535), group_of<T>(65536), group_of<T>(255),
                      group_of<T>(0xFFFFFFFF), {0, 0, 0, 7, 0, 0, 0}});
  else
    return concat<T>({group_of<T>(0), group_of<T>(255), group_of<T>(4095), group_of<T>(4096), group_of<T>(256),
                      group_of<T>(255), {65535, 0, 65535}});
}

TEST(GroupFormat, GoldenRowsStillDecode) {
  if (std::getenv("TRAVANTO_WRITE_GOLDEN"))
    write_golden("group_rows.hex", {encode(golden_row<std::uint32_t>()), encode(golden_row<std::uint16_t>())});
  auto golden = read_golden("group_rows.hex");
  ASSERT_EQ(golden.size(), 2u);
  std::size_t consumed = 0;
  EXPECT_EQ(decode<std::uint32_t>(golden[0], golden_row<std::uint32_t>().size(), &consumed), golden_row<std::uint32_t>());
  EXPECT_EQ(consumed, golden[0].size());
  EXPECT_EQ(decode<std::uint16_t>(golden[1], golden_row<std::uint16_t>().size(), &consumed), golden_row<std::uint16_t>());
  EXPECT_EQ(consumed, golden[1].size());
  // Zeros cost two bits per group of eight in runs.
  EXPECT_LE(encode(std::vector<std::uint32_t>(1024, 0)).size(), 32u);
  EXPECT_LE(encode(std::vector<std::uint16_t>(1024, 0)).size(), 32u);
}

TEST(GroupFormat, MalformedDataThrowsInsteadOfReadingOn) {
  std::vector<std::uint16_t> row16(45, 5000);
  auto bytes16 = encode(row16);
  for (std::uint8_t bad : {0, 2, 4, 255}) {
    auto broken = bytes16;
    broken[1 + 64] = bad;  // the first tail control byte
    EXPECT_THROW(decode<std::uint16_t>(broken, row16.size()), CorruptGroupData) << int(bad);
  }
  std::vector<std::uint32_t> row32(45, 70000);
  auto bytes32 = encode(row32);
  auto broken = bytes32;
  broken[1 + 128] = 4;
  EXPECT_THROW(decode<std::uint32_t>(broken, row32.size()), CorruptGroupData);

  // Every cut short of the end is caught (the buffers are exact, so a read past them is seen).
  for (std::size_t cut = 0; cut < bytes32.size(); ++cut) {
    std::vector<std::uint8_t> part(bytes32.begin(), bytes32.begin() + std::ptrdiff_t(cut));
    EXPECT_THROW(decode<std::uint32_t>(part, row32.size()), CorruptGroupData) << cut;
  }
  for (std::size_t cut = 0; cut < bytes16.size(); ++cut) {
    std::vector<std::uint8_t> part(bytes16.begin(), bytes16.begin() + std::ptrdiff_t(cut));
    EXPECT_THROW(decode<std::uint16_t>(part, row16.size()), CorruptGroupData) << cut;
  }
  // A run whose control byte promises more than is there.
  std::vector<std::uint8_t> promise = {0xFF, 1, 2, 3};
  EXPECT_THROW(decode<std::uint32_t>(promise, 32), CorruptGroupData);
}

// Values whose size changes group by group, so that every code of both widths appears.
template <class T>
std::vector<T> mixed_row(std::mt19937& rng, std::size_t n) {
  static const std::uint32_t tops32[] = {0, 1, 255, 256, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF};
  static const std::uint32_t tops16[] = {0, 1, 255, 256, 4095, 4096, 65535};
  std::vector<T> v(n);
  std::uint32_t top = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) {
      if constexpr (sizeof(T) == 4) top = tops32[rng() % std::size(tops32)];
      else top = tops16[rng() % std::size(tops16)];
    }
    v[i] = T(top == 0 ? 0 : std::uniform_int_distribution<std::uint32_t>(0, top)(rng));
  }
  return v;
}

template <class T>
void check_round_trips() {
  std::mt19937 rng(sizeof(T));
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 100; ++n) lengths.push_back(n);
  lengths.push_back(1081);
  for (std::size_t n : lengths) {
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<T> row = mixed_row<T>(rng, n);
      auto bytes = encode(row);
      std::size_t worst = sizeof(T) == 4 ? group_worst_bytes32(n) : group_worst_bytes16(n);
      std::size_t exact = 0;
      if constexpr (sizeof(T) == 4) exact = group_encoded_bytes32(row.data(), n);
      else exact = group_encoded_bytes16(row.data(), n);
      ASSERT_EQ(bytes.size(), exact) << n;
      ASSERT_LE(bytes.size(), worst) << n;
      std::size_t consumed = 0;
      ASSERT_EQ(decode<T>(bytes, n, &consumed), row) << n;
      ASSERT_EQ(consumed, bytes.size()) << n;
    }
    // The worst case is reached by values of full width.
    std::vector<T> full(n, T(0xFFFFFFFF));
    ASSERT_EQ(encode(full).size(), sizeof(T) == 4 ? group_worst_bytes32(n) : group_worst_bytes16(n)) << n;
  }
}

TEST(GroupFormat, RandomRowsRoundTrip32) { check_round_trips<std::uint32_t>(); }
TEST(GroupFormat, RandomRowsRoundTrip16) { check_round_trips<std::uint16_t>(); }

// ---------------------------------------------------------------------------------------------
// Stores

// A chunk's rows in the order a value array writes them: action by action, each action's
// boards in order, a row predicted by the same action's previous board when it has no more
// hands.
template <class T>
struct Rows {
  std::vector<int> lengths;
  std::vector<int> predictor;  // index of the predicting row, or -1
  std::vector<std::vector<T>> values;
  std::int64_t value_count = 0;  // the chunk's values, each row padded to a multiple of 4

  std::size_t size() const { return lengths.size(); }
};

// Rows shaped like solver data: many zeros, sizes that vary by board and action, and boards
// that resemble the previous one.
template <class T>
Rows<T> make_rows(std::uint32_t seed, int actions, const std::vector<int>& counts) {
  std::mt19937 rng(seed);
  Rows<T> rows;
  for (int a = 0; a < actions; ++a) {
    for (std::size_t b = 0; b < counts.size(); ++b) {
      int n = counts[b];
      bool predicted = b > 0 && n <= counts[b - 1];
      rows.lengths.push_back(n);
      rows.predictor.push_back(predicted ? int(rows.size()) - 2 : -1);
      rows.value_count += (n + 3) / 4 * 4;
      std::vector<T> v(static_cast<std::size_t>(n));
      double level = std::uniform_real_distribution<double>(0, sizeof(T) == 4 ? 64.0 : 1500.0)(rng);
      for (int h = 0; h < n; ++h) {
        bool zero = std::uniform_real_distribution<double>(0, 1)(rng) < 0.35;
        double x = zero ? 0.0 : level * std::uniform_real_distribution<double>(0.5, 1.5)(rng);
        if (predicted && !zero) {
          double previous = double(rows.values[std::size_t(rows.predictor.back())][std::size_t(h)]);
          if constexpr (sizeof(T) == 4) previous = double(std::bit_cast<float>(std::uint32_t(previous)));
          x = previous + std::uniform_real_distribution<double>(0, 2)(rng);
        }
        if constexpr (sizeof(T) == 4) v[std::size_t(h)] = std::bit_cast<std::uint32_t>(float(std::round(x * 64) / 64));
        else v[std::size_t(h)] = T(std::min(65535.0, std::round(x)));
      }
      rows.values.push_back(std::move(v));
    }
  }
  return rows;
}

void write_row(BlockStore& s, const std::uint32_t* v, const std::uint32_t* p, int n) { s.write_row32(v, p, n); }
void write_row(BlockStore& s, const std::uint16_t* v, const std::uint16_t* p, int n) { s.write_row16(v, p, n); }
void read_row(BlockStore& s, std::uint32_t* v, const std::uint32_t* p, int n) { s.read_row32(v, p, n); }
void read_row(BlockStore& s, std::uint16_t* v, const std::uint16_t* p, int n) { s.read_row16(v, p, n); }

template <class T>
void write_rows(BlockStore& store, const Rows<T>& rows) {
  store.begin_write();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const T* predictor = rows.predictor[i] < 0 ? nullptr : rows.values[std::size_t(rows.predictor[i])].data();
    write_row(store, rows.values[i].data(), predictor, rows.lengths[i]);
  }
  store.end_write();
}

// Reads the rows back, predicting from the rows already read, as a value array does.
template <class T>
std::vector<std::vector<T>> read_rows(BlockStore& store, const Rows<T>& shape) {
  std::vector<std::vector<T>> out;
  store.begin_read();
  for (std::size_t i = 0; i < shape.size(); ++i) {
    std::vector<T> v(std::size_t(shape.lengths[i]), T(0x5A5A));
    const T* predictor = shape.predictor[i] < 0 ? nullptr : out[std::size_t(shape.predictor[i])].data();
    read_row(store, v.data(), predictor, shape.lengths[i]);
    out.push_back(std::move(v));
  }
  store.end_read();
  return out;
}

template <class T>
std::uint64_t group_bytes(const Rows<T>& rows) {
  std::uint64_t total = 0;
  for (const auto& v : rows.values) total += encode(v).size();
  return total;
}

// A folder under the test temporary directory, removed with its files.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::path(testing::TempDir()) / "block_store_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::vector<std::uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void put_file_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
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
void put_field(std::vector<std::uint8_t>& bytes, std::size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof(T));
}

template <class T>
T get_field(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

struct StoreCase {
  int kind;  // 1 medium, 2 high
  bool sixteen_bit;
};

std::string case_name(const testing::TestParamInfo<StoreCase>& info) {
  return std::string(info.param.kind == 1 ? "Medium" : "High") + (info.param.sixteen_bit ? "16" : "32");
}

// The rows of one chunk as the tests use it: counts that shrink, grow and repeat, a full river
// board, and boards of one hand.
const std::vector<int> kSmallChunk = {40, 33, 33, 50, 7, 1081, 1, 9, 0, 32};

std::vector<int> river_chunk(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int> counts(46);
  for (int& c : counts) c = std::uniform_int_distribution<int>(880, 1081)(rng);
  return counts;
}

class StoreTest : public testing::TestWithParam<StoreCase> {
 protected:
  template <class T>
  void run();
  template <class T>
  void round_trips();
  template <class T>
  void replaces_and_counts();
  template <class T>
  void saves_and_loads();
  template <class T>
  void rejects_bad_headers();

  std::unique_ptr<BlockStore> make(std::int64_t values) const {
    return make_block_store(GetParam().kind, values, GetParam().sixteen_bit);
  }
  bool medium() const { return GetParam().kind == 1; }
};

template <class T>
void StoreTest::round_trips() {
  for (std::uint32_t seed : {1u, 2u}) {
    Rows<T> rows = seed == 1 ? make_rows<T>(seed, 3, kSmallChunk) : make_rows<T>(seed, 2, river_chunk(seed));
    auto store = make(rows.value_count);
    EXPECT_FALSE(store->has_data());
    write_rows(*store, rows);
    EXPECT_TRUE(store->has_data());
    EXPECT_EQ(read_rows(*store, rows), rows.values) << seed;
    // Reading leaves the content as it was.
    EXPECT_EQ(read_rows(*store, rows), rows.values) << seed;
  }
}

template <class T>
void StoreTest::replaces_and_counts() {
  Rows<T> first = make_rows<T>(3, 2, river_chunk(3));
  Rows<T> second = make_rows<T>(4, 3, kSmallChunk);
  auto store = make(first.value_count);
  reset_storage_statistics();
  write_rows(*store, first);
  std::uint64_t first_bytes = storage_statistics().bytes_written;
  if (medium()) EXPECT_EQ(first_bytes, group_bytes(first));
  else EXPECT_EQ(first_bytes, std::uint64_t(store->stored_bytes()));
  EXPECT_EQ(storage_statistics().bytes_read, 0u);
  EXPECT_EQ(read_rows(*store, first), first.values);
  EXPECT_EQ(storage_statistics().bytes_read, first_bytes);

  // A smaller second write replaces everything; the counters add up across writes.
  write_rows(*store, second);
  std::uint64_t second_bytes = storage_statistics().bytes_written - first_bytes;
  if (medium()) EXPECT_EQ(second_bytes, group_bytes(second));
  else EXPECT_EQ(second_bytes, std::uint64_t(store->stored_bytes()));
  EXPECT_LT(second_bytes, first_bytes);
  EXPECT_EQ(read_rows(*store, second), second.values);
  EXPECT_EQ(storage_statistics().bytes_read, first_bytes + second_bytes);
  reset_storage_statistics();
}

template <class T>
void StoreTest::saves_and_loads() {
  TempFolder folder;
  Rows<T> rows = make_rows<T>(5, 3, kSmallChunk);
  auto store = make(rows.value_count);
  write_rows(*store, rows);
  std::string path = folder.file("store.bin");
  save_store(*store, path);
  auto bytes = file_bytes(path);

  auto loaded = make(rows.value_count);
  load_store(*loaded, path);
  EXPECT_TRUE(loaded->has_data());
  EXPECT_EQ(loaded->stored_bytes(), store->stored_bytes());
  EXPECT_EQ(read_rows(*loaded, rows), rows.values);
  // Saving what was loaded (and read) gives the same file.
  std::string again = folder.file("again.bin");
  save_store(*loaded, again);
  EXPECT_EQ(file_bytes(again), bytes);

  // A store never written saves as an empty one.
  auto empty = make(rows.value_count);
  save_store(*empty, path);
  auto empty_loaded = make(rows.value_count);
  load_store(*empty_loaded, path);
  EXPECT_FALSE(empty_loaded->has_data());
  EXPECT_EQ(empty_loaded->stored_bytes(), 0);
}

template <class T>
void StoreTest::rejects_bad_headers() {
  TempFolder folder;
  Rows<T> rows = make_rows<T>(6, 2, kSmallChunk);
  auto store = make(rows.value_count);
  write_rows(*store, rows);
  std::string path = folder.file("store.bin");
  save_store(*store, path);
  const auto good = file_bytes(path);
  std::size_t header = medium() ? 20 : 208;
  std::int64_t reserve = get_field<std::int64_t>(good, header - 16);
  std::int64_t raw = get_field<std::int64_t>(good, header - 8);

  std::vector<std::vector<std::uint8_t>> bad;
  auto with = [&](auto change) {
    auto b = good;
    change(b);
    bad.push_back(std::move(b));
  };
  with([&](auto& b) { put_field<std::int64_t>(b, header - 16, reserve + 65536); });
  with([&](auto& b) { put_field<std::int64_t>(b, header - 16, reserve - 4096); });
  with([&](auto& b) { put_field<std::int64_t>(b, header - 8, reserve + 1); });
  with([&](auto& b) { put_field<std::int64_t>(b, header - 8, -1); });
  with([&](auto& b) { b.resize(b.size() - 1); });  // data cut short
  with([&](auto& b) { b.resize(header - 3); });    // header cut short
  if (medium()) {
    with([&](auto& b) { put_field<std::uint32_t>(b, 0, std::uint32_t(raw + 1)); });  // claimed
    with([&](auto& b) { put_field<std::uint32_t>(b, 0, 0); });
  } else {
    std::uint32_t size1 = get_field<std::uint32_t>(good, 8);
    with([&](auto& b) { put_field<std::uint32_t>(b, 8, size1 + 1); });              // sizes exceed raw_used
    with([&](auto& b) { put_field<std::uint32_t>(b, 12, size1 + 1); });             // read past a stream
    with([&](auto& b) { put_field<std::uint32_t>(b, 0, 0); put_field<std::uint32_t>(b, 8, size1 + get_field<std::uint32_t>(good, 0)); });
  }
  for (std::size_t i = 0; i < bad.size(); ++i) {
    put_file_bytes(path, bad[i]);
    auto loaded = make(rows.value_count);
    EXPECT_THROW(load_store(*loaded, path), IOException) << "change " << i;
    EXPECT_FALSE(loaded->has_data()) << "change " << i;
    EXPECT_EQ(loaded->stored_bytes(), 0) << "change " << i;
  }
  // The file as written still loads.
  put_file_bytes(path, good);
  auto loaded = make(rows.value_count);
  load_store(*loaded, path);
  EXPECT_EQ(read_rows(*loaded, rows), rows.values);
}

template <class T>
void StoreTest::run() {
  {
    SCOPED_TRACE("round trips");
    round_trips<T>();
  }
  {
    SCOPED_TRACE("replacement and statistics");
    replaces_and_counts<T>();
  }
  {
    SCOPED_TRACE("save and load");
    saves_and_loads<T>();
  }
  {
    SCOPED_TRACE("bad headers");
    rejects_bad_headers<T>();
  }
}

TEST_P(StoreTest, RowsRoundTripSaveAndLoad) {
  if (GetParam().sixteen_bit) run<std::uint16_t>();
  else run<std::uint32_t>();
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoreTest,
                         testing::Values(StoreCase{1, true}, StoreCase{1, false}, StoreCase{2, true}, StoreCase{2, false}),
                         case_name);

// The medium store's room for a row is its nominal worst case: 5 bytes a value.
TEST(GroupPackedStore, ClaimsTheNominalRoom) {
  std::vector<std::uint32_t> row(100, 3);
  auto store = make_block_store(1, 400, false);
  store->begin_write();
  store->write_row32(row.data(), nullptr, 100);
  store->end_write();
  EXPECT_EQ(store->stored_bytes(), 500);
}

// Rows whose tail groups cost more than the nominal 16-bit worst case, and dense rows whose
// claims would run past the reservation although the data fit: both still save and load whole.
TEST(GroupPackedStore, DataBeyondTheNominalClaimStayInTheStore) {
  TempFolder folder;
  struct Shape {
    bool sixteen_bit;
    int rows;
    int n;
    std::int64_t values;
  };
  for (Shape shape : {Shape{true, 1, 31, 32}, Shape{true, 3, 1081, 3 * 1084},
                      Shape{false, 16, 1000, 16000}}) {
    auto check = [&](auto zero) {
      using T = decltype(zero);
      std::mt19937 rng(std::uint32_t(shape.rows));
      std::vector<std::vector<T>> rows;
      auto store = make_block_store(1, shape.values, shape.sixteen_bit);
      store->begin_write();
      for (int r = 0; r < shape.rows; ++r) {
        std::vector<T> v(std::size_t(shape.n));
        for (auto& x : v) x = sizeof(T) == 2 ? T(4096 + rng() % 60000) : T(0x3F000000 + rng() % 0x1000000);
        write_row(*store, v.data(), nullptr, shape.n);
        rows.push_back(std::move(v));
      }
      store->end_write();
      std::string path = folder.file("store.bin");
      save_store(*store, path);
      auto loaded = make_block_store(1, shape.values, shape.sixteen_bit);
      load_store(*loaded, path);
      loaded->begin_read();
      for (int r = 0; r < shape.rows; ++r) {
        std::vector<T> v(std::size_t(shape.n));
        read_row(*loaded, v.data(), nullptr, shape.n);
        ASSERT_EQ(v, rows[std::size_t(r)]) << shape.n << " row " << r;
      }
      loaded->end_read();
    };
    if (shape.sixteen_bit) check(std::uint16_t(0));
    else check(std::uint32_t(0));
  }
}

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
