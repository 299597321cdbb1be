// Plain value arrays, their layout, saving and loading, and the compression levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/failure.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "storage_files.h"

namespace {

using namespace storage_test;

// Two chunks: boards of 5 and 8 hands, then one full river board.
std::shared_ptr<const ValueLayout> small_layout(int actions = 3) { return ValueLayout::make(actions, {{5, 8}, {1081}}); }

// Rows are padded to four and chunks contiguous; writing every row of a board leaves the next
// board untouched; 16-bit conversion clamps and truncates.
TEST(PlainValueArray, LayoutRowsAndConversion) {
  auto layout = small_layout();
  EXPECT_EQ(layout->chunks[1].base, 2 * 3 * 8);
  EXPECT_EQ(layout->total_values, 48 + 3 * 1084);
  EXPECT_EQ(layout->row_in_chunk(0, 1, 2), 24 + 2 * 8);
  EXPECT_EQ(layout->row_in_chunk(1, 0, 2), 2 * 1084);
  PlainValueArray16 regrets(layout);
  ASSERT_TRUE(regrets.allocate());
  std::vector<double> row(1081, 9.0);
  for (int a = 0; a < 3; ++a) regrets.set_row(0, 0, a, row.data());
  for (int a = 0; a < 3; ++a)
    for (int h = 0; h < 8; ++h) EXPECT_EQ(regrets.row(0, 1, a)[h], 0);
  double odd[5] = {70000.0, -5.0, 3.7, 65535.0, 0.0};
  regrets.set_row(0, 0, 1, odd);
  auto* r = regrets.row(0, 0, 1);
  EXPECT_TRUE(r[0] == 65535 && r[1] == 0 && r[2] == 3) << r[0] << " " << r[1] << " " << r[2];
}

TEST(PlainValueArray, StrategiesComeFromTheBoardsRows) {
  PlainValueArray32 regrets(small_layout(2)), averages(small_layout(2));
  ASSERT_TRUE(regrets.allocate() && averages.allocate());
  double r0[8] = {1, 0, 3}, r1[8] = {3, 0, 1}, s0[8] = {0, 0, 1}, s1[8] = {0, 0, 4}, fallback[2] = {0.9, 0.1};
  regrets.set_row(0, 1, 0, r0);
  regrets.set_row(0, 1, 1, r1);
  std::vector<double> sigma(2 * 8), reach(8, 2.0);
  regrets.current_strategy(0, 1, fallback, sigma.data(), 8);
  EXPECT_DOUBLE_EQ(sigma[0], 0.25);
  EXPECT_DOUBLE_EQ(sigma[8 + 0], 0.75);
  EXPECT_DOUBLE_EQ(sigma[1], 0.9);  // no regret: training fallback
  EXPECT_DOUBLE_EQ(sigma[8 + 1], 0.1);

  // Average: hand 2 has sums, the others fall back to the current strategy (uniform).
  averages.set_row(0, 1, 0, s0);
  averages.set_row(0, 1, 1, s1);
  averages.average_strategy(0, 1, regrets, sigma.data(), 8);
  EXPECT_DOUBLE_EQ(sigma[2], 0.2);
  EXPECT_DOUBLE_EQ(sigma[8 + 2], 0.8);
  EXPECT_DOUBLE_EQ(sigma[0], 0.25);
  EXPECT_DOUBLE_EQ(sigma[1], 0.5);

  // Averages accumulate weighted strategy times reach.
  averages.accumulate_average(0, 1, sigma.data(), 8, reach.data(), 0.5);
  EXPECT_FLOAT_EQ(averages.row(0, 1, 1)[2], 4.0f + 0.8f);
}

TEST(PlainValueArray, RegretUpdatesGoThroughTheElementType) {
  auto layout = small_layout(2);
  PlainValueArray16 sixteen(layout);
  PlainValueArray32 floats(layout);
  ASSERT_TRUE(sixteen.allocate() && floats.allocate());
  std::vector<double> node(1081, 0.0), up(1081, 16.0), down(1081, -16.0);
  const double* actions[2] = {up.data(), down.data()};
  floats.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[1080], 8.0f);
  EXPECT_EQ(floats.row(1, 0, 1)[0], 0.0f);
  sixteen.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_EQ(sixteen.row(1, 0, 0)[1080], 8);
  EXPECT_EQ(sixteen.row(1, 0, 1)[0], 0);
  EXPECT_EQ(sixteen.row(1, 0, 0)[1081], 0) << "the padding after a row is not touched";

  // A locked board keeps its values through updates.
  floats.flags(1, 0) |= kLockedFlag;
  floats.update_regrets(1, 0, node.data(), actions, {}, 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[1080], 8.0f);
  std::vector<double> sigma(2 * 1084, 0.5), reach(1081, 1.0);
  floats.accumulate_average(1, 0, sigma.data(), 1084, reach.data(), 1.0);
  EXPECT_FLOAT_EQ(floats.row(1, 0, 0)[0], 8.0f);
}

// Rows and the locked flag survive a reload of either width; an array never allocated saves as
// zeros.
TEST(PlainValueArray, ReloadKeepsRowsAndFlags) {
  TempDir dir;
  std::mt19937 rng(31);
  auto layout = small_layout();
  auto check = [&](auto original) {
    ASSERT_TRUE(original->allocate());
    std::vector<double> row(1081);
    for (int k = 0; k < 2; ++k)
      for (int b = 0; b < layout->chunks[std::size_t(k)].entry_count; ++b)
        for (int a = 0; a < 3; ++a) {
          for (double& x : row) x = double(rng() % 60000) + 0.25;
          original->set_row(k, b, a, row.data());
        }
    original->flags(0, 1) = kLockedFlag;
    auto loaded = reload(*original, [&] { return std::make_unique<std::remove_reference_t<decltype(*original)>>(layout); }, dir);
    EXPECT_TRUE(loaded->locked(0, 1));
    EXPECT_FALSE(loaded->locked(0, 0));
    for (int a = 0; a < 3; ++a) EXPECT_EQ(loaded->row(1, 0, a)[1080], original->row(1, 0, a)[1080]);
  };
  check(std::make_unique<PlainValueArray16>(layout));
  check(std::make_unique<PlainValueArray32>(layout));
  PlainValueArray32 empty(small_layout(2));
  save_to(empty, dir / "empty");
  Bytes bytes = file_bytes(dir / "empty");
  EXPECT_EQ(bytes.size(), 3 * 4 + std::size_t(2 * (5 + 8 + 1081) * 4));
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

static_assert(sizeof(FlagsEntry) == 16);

// --- Compression levels ---------------------------------------------------------------------

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
  // Budgets of exactly 39 and 31 % of the need take the next level.
  for (auto [total, level] : {std::pair{46, 3}, {37, 4}})
    EXPECT_EQ(auto_compression_level(100, platform::MemoryStatus{std::uint64_t(total), 0, 0}), level) << total;
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
