// Plain value arrays, their layout, saving and loading, and the compression levels.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "core/failure.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path temp_file(const std::string& name) {
  return fs::temp_directory_path() / ("travanto_value_array_" + std::to_string(::getpid()) + "_" + name);
}

// Two chunks: boards of 5 and 8 hands, then one full river board.
std::shared_ptr<const ValueLayout> small_layout(int actions = 3) { return ValueLayout::make(actions, {{5, 8}, {1081}}); }

TEST(ValueLayout, RowsArePaddedToFourAndChunksContiguous) {
  auto layout = small_layout();
  ASSERT_EQ(layout->boards.size(), 3u);
  ASSERT_EQ(layout->chunks.size(), 2u);
  EXPECT_EQ(layout->boards[1].offset, 3 * 8);
  EXPECT_EQ(layout->chunks[0].values, 2 * 3 * 8);
  EXPECT_EQ(layout->chunks[1].base, 48);
  EXPECT_EQ(layout->chunks[1].first_entry, 2);
  EXPECT_EQ(layout->total_values, 48 + 3 * 1084);
  EXPECT_EQ(layout->row_in_chunk(0, 1, 2), 24 + 2 * 8);
  EXPECT_EQ(layout->row_in_chunk(1, 0, 2), 2 * 1084);
}

TEST(PlainValueArray, StartsZeroedAndRowsStayApart) {
  PlainValueArray16 regrets(small_layout());
  EXPECT_EQ(regrets.element_size(), 2);
  EXPECT_EQ(regrets.size(), 48 + 3 * 1084);
  ASSERT_TRUE(regrets.allocate());
  std::vector<double> row(1081);
  for (int h = 0; h < 1081; ++h) row[h] = h * 10.0;
  // Writing every row of the first board leaves the second board untouched.
  for (int a = 0; a < 3; ++a) regrets.set_row(0, 0, a, row.data());
  for (int a = 0; a < 3; ++a)
    for (int h = 0; h < 8; ++h) EXPECT_EQ(regrets.row(0, 1, a)[h], 0);
  // Conversion clamps and truncates to the 16-bit range.
  double odd[5] = {70000.0, -5.0, 3.7, 65535.0, 0.0};
  regrets.set_row(0, 0, 1, odd);
  EXPECT_EQ(regrets.row(0, 0, 1)[0], 65535);
  EXPECT_EQ(regrets.row(0, 0, 1)[1], 0);
  EXPECT_EQ(regrets.row(0, 0, 1)[2], 3);
}

TEST(PlainValueArray, StrategiesComeFromTheBoardsRows) {
  PlainValueArray32 regrets(small_layout(2));
  PlainValueArray32 averages(small_layout(2));
  ASSERT_TRUE(regrets.allocate());
  ASSERT_TRUE(averages.allocate());
  double r0[8] = {1, 0, 3, 0, 0, 0, 0, 0}, r1[8] = {3, 0, 1, 0, 0, 0, 0, 0};
  regrets.set_row(0, 1, 0, r0);
  regrets.set_row(0, 1, 1, r1);
  double fallback[2];
  kernels::fallback_vector(kernels::Fallback::training, 2, fallback);
  std::vector<double> sigma(2 * 8);
  regrets.current_strategy(0, 1, fallback, sigma.data(), 8);
  EXPECT_DOUBLE_EQ(sigma[0], 0.25);
  EXPECT_DOUBLE_EQ(sigma[8 + 0], 0.75);
  EXPECT_DOUBLE_EQ(sigma[1], 0.9);  // no regret: training fallback
  EXPECT_DOUBLE_EQ(sigma[8 + 1], 0.1);

  // Average: hand 2 has sums, the others fall back to the current strategy (uniform).
  double s0[8] = {0, 0, 1, 0, 0, 0, 0, 0}, s1[8] = {0, 0, 4, 0, 0, 0, 0, 0};
  averages.set_row(0, 1, 0, s0);
  averages.set_row(0, 1, 1, s1);
  averages.average_strategy(0, 1, regrets, sigma.data(), 8);
  EXPECT_DOUBLE_EQ(sigma[2], 0.2);
  EXPECT_DOUBLE_EQ(sigma[8 + 2], 0.8);
  EXPECT_DOUBLE_EQ(sigma[0], 0.25);
  EXPECT_DOUBLE_EQ(sigma[1], 0.5);

  // Averages accumulate weighted strategy times reach.
  std::vector<double> reach(8, 2.0);
  averages.accumulate_average(0, 1, sigma.data(), 8, reach.data(), 0.5);
  EXPECT_FLOAT_EQ(averages.row(0, 1, 1)[2], 4.0f + 0.8f);
}

TEST(PlainValueArray, RegretUpdatesGoThroughTheElementType) {
  auto layout = small_layout(2);
  PlainValueArray16 sixteen(layout);
  PlainValueArray32 floats(layout);
  ASSERT_TRUE(sixteen.allocate());
  ASSERT_TRUE(floats.allocate());
  std::vector<double> node(1081, 0.0), up(1081, 16.0), down(1081, -16.0);
  const double* actions[2] = {up.data(), down.data()};
  floats.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[1080], 8.0f);
  EXPECT_EQ(floats.row(1, 0, 1)[0], 0.0f);
  sixteen.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_EQ(sixteen.row(1, 0, 0)[1080], 8);
  EXPECT_EQ(sixteen.row(1, 0, 1)[0], 0);
  // The padding after a row is not touched.
  EXPECT_EQ(sixteen.row(1, 0, 0)[1081], 0);

  // A locked board keeps its values through updates.
  floats.flags(1, 0) |= kLockedFlag;
  floats.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[1080], 8.0f);
  std::vector<double> sigma(2 * 1084, 0.5), reach(1081, 1.0);
  floats.accumulate_average(1, 0, sigma.data(), 1084, reach.data(), 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[0], 8.0f);
}

template <class Array>
void fill_randomly(Array& array, std::mt19937& rng) {
  const ValueLayout& layout = array.layout();
  std::vector<double> row(1081);
  for (std::size_t k = 0; k < layout.chunks.size(); ++k)
    for (int b = 0; b < layout.chunks[k].entry_count; ++b)
      for (int a = 0; a < layout.actions; ++a) {
        for (double& x : row) x = double(rng() % 60000) + 0.25;
        array.set_row(int(k), b, a, row.data());
      }
}

template <class Array>
void expect_round_trip(std::mt19937& rng, const std::string& name) {
  auto layout = small_layout();
  Array original(layout);
  ASSERT_TRUE(original.allocate());
  fill_randomly(original, rng);
  original.flags(0, 1) = kLockedFlag;
  fs::path first = temp_file(name + "_1"), second = temp_file(name + "_2");
  {
    BinaryFile file(first.string(), BinaryFile::Mode::write);
    original.save(file);
    file.commit();
  }
  Array loaded(layout);
  {
    BinaryFile file(first.string(), BinaryFile::Mode::read);
    loaded.load(file);
  }
  EXPECT_TRUE(loaded.locked(0, 1));
  EXPECT_FALSE(loaded.locked(0, 0));
  {
    BinaryFile file(second.string(), BinaryFile::Mode::write);
    loaded.save(file);
    file.commit();
  }
  EXPECT_EQ(read_bytes(first), read_bytes(second));
  for (int a = 0; a < 3; ++a) EXPECT_EQ(loaded.row(1, 0, a)[1080], original.row(1, 0, a)[1080]);

  // A file that ends early raises IOException.
  fs::resize_file(first, fs::file_size(first) - 1);
  Array truncated(layout);
  BinaryFile file(first.string(), BinaryFile::Mode::read);
  EXPECT_THROW(truncated.load(file), IOException);
  fs::remove(first);
  fs::remove(second);
}

// Round trips of both widths; an array never allocated saves as zeros.
TEST(PlainValueArray, SaveLoadRoundTripIsByteIdentical) {
  std::mt19937 rng(31);
  expect_round_trip<PlainValueArray16>(rng, "16");
  expect_round_trip<PlainValueArray32>(rng, "32");
  PlainValueArray32 empty(small_layout(2));
  fs::path path = temp_file("empty");
  {
    BinaryFile file(path.string(), BinaryFile::Mode::write);
    empty.save(file);
    file.commit();
  }
  std::string bytes = read_bytes(path);
  EXPECT_EQ(bytes.size(), 3 * 4 + std::size_t(2 * (5 + 8 + 1081) * 4));
  EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos);
  fs::remove(path);
}

static_assert(sizeof(FlagsEntry) == 16);

TEST(ValueArrayFactory, FormsByKindAndElementWidth) {
  auto layout = small_layout();
  EXPECT_EQ(dynamic_cast<PlainValueArray16*>(make_value_array(StorageForm::plain, true, layout).get())->element_size(), 2);
  EXPECT_EQ(dynamic_cast<PlainValueArray32*>(make_value_array(StorageForm::plain, false, layout).get())->element_size(), 4);
  for (StorageForm kind : {StorageForm::medium, StorageForm::high})
    for (bool sixteen_bit : {true, false}) {
      auto array = make_value_array(kind, sixteen_bit, layout);
      auto* compressed = dynamic_cast<CompressedValueArray*>(array.get());
      ASSERT_NE(compressed, nullptr);
      EXPECT_EQ(compressed->kind(), kind);
      EXPECT_EQ(compressed->sixteen_bit(), sixteen_bit);
    }
  EXPECT_THROW(BinaryFile("/nonexistent/dir/file", BinaryFile::Mode::read), IOException);
}

// --- Compression levels ---------------------------------------------------------------------

// Names and clamped numbers are covered by tests/protocol/compression.case.
TEST(CompressionLevel, ArgumentsThatAreNoNumberLeaveTheSettingAlone) {
  EXPECT_EQ(parse_compression_level("auto"), kAutoCompression);
  EXPECT_THROW(parse_compression_level("Max"), InvalidValue);
}

TEST(CompressionLevel, AutoRuleComparesNeedWith85PercentOfFreeMemory) {
  const std::uint64_t gb = 1000000000ull;
  platform::MemoryStatus status;
  status.total_bytes = 200 * gb;
  status.load_percent = 50;  // 100 GB free, budget 85 GB
  // 85 GB is not below the budget.
  for (auto [need, level] : {std::pair{50, 0}, {85, 1}, {100, 1}, {200, 2}, {250, 3}, {300, 4}})
    EXPECT_EQ(auto_compression_level(std::uint64_t(need) * gb, status), level) << need;
  status.load_percent = 100;
  EXPECT_EQ(auto_compression_level(1, status), 4);
}

TEST(CompressionLevel, LevelsMapToStorageFormsAndNewTreesTakeTheSetting) {
  using F = StorageForm;
  const StoragePair pairs[] = {{}, {F::plain, F::medium}, {F::medium, F::medium}, {F::medium, F::high}, {F::high, F::high}};
  for (int level = 0; level < 5; ++level) {
    EXPECT_EQ(storage_pair_for_level(level), pairs[level]) << level;
    EXPECT_EQ(storage_pair_for_level(level, false), StoragePair{}) << "a turn tree stores plain at " << level;
  }
  EXPECT_EQ(level_for_new_tree(kAutoCompression, 1000), 0);  // a small need
  EXPECT_EQ(level_for_new_tree(2, 1000), 2);
}

}  // namespace
