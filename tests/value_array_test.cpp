// Plain value arrays, their layout, saving and loading, and the automatic compression level.
#include <gtest/gtest.h>

#include <algorithm>

#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "storage_files.h"

namespace {

using namespace storage_test;

// Two chunks: boards of 5 and 8 hands, then one full river board.
std::shared_ptr<const ValueLayout> small_layout(int actions = 3) { return ValueLayout::make(actions, {{5, 8}, {1081}}); }

// Rows are padded to four and chunks contiguous; writing every row of a board leaves the next
// board untouched; 16-bit conversion clamps and truncates. (Strategies and regret updates: the
// kernel tests, the node lock closed forms and locked rows.)
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
  EXPECT_EQ(regrets.row(0, 0, 2)[5], 0) << "the padding after a row is not touched";
  EXPECT_TRUE(std::all_of(regrets.row(0, 1, 0), regrets.row(0, 1, 0) + 24, [](std::uint16_t v) { return v == 0; }));
  double odd[5] = {70000.0, -5.0, 3.7, 65535.0, 0.0};
  regrets.set_row(0, 0, 1, odd);
  auto* r = regrets.row(0, 0, 1);
  EXPECT_TRUE(r[0] == 65535 && r[1] == 0 && r[2] == 3) << r[0] << " " << r[1] << " " << r[2];
}

// A board's 16-bit rows follow the rule of its update: one that keeps negative regrets recodes
// them signed (above 32767 clamps; the signed flag set), the clipped rule back (negatives to 0),
// and regret matching and set_row read and write the coding in force.
TEST(PlainValueArray, SixteenBitRowsFollowTheRegretRule) {
  PlainValueArray16 regrets(small_layout(2));
  ASSERT_TRUE(regrets.allocate());
  double first[5] = {40000, 5, 0, 0, 0}, second[5] = {0, 5, 7, 0, 0}, zero[5] = {}, down[5] = {-100, -100, -100, 0, 0};
  regrets.set_row(0, 0, 0, first), regrets.set_row(0, 0, 1, second);
  const double* same[2] = {zero, zero};
  const double* lower[2] = {down, zero};
  const RegretRule keep{1, true, 0.5};
  auto value = [&](int action, int hand) {
    std::uint16_t v = regrets.row(0, 0, action)[hand];
    return regrets.flags(0, 0) & kSignedFlag ? int(std::int16_t(v)) : int(v);
  };
  regrets.update_regrets(0, 0, zero, same, {}, 1.0, keep);
  EXPECT_TRUE((regrets.flags(0, 0) & kSignedFlag) && value(0, 0) == 32767 && value(0, 1) == 5 && value(1, 2) == 7);
  regrets.update_regrets(0, 0, zero, lower, {}, 1.0, keep);  // action 0 loses trunc(100^0.625) = 17 units
  EXPECT_TRUE(value(0, 0) == 32750 && value(0, 1) == -12 && value(0, 2) == -17 && value(1, 1) == 5);
  double sigma[2 * 5], fallback[2] = {0.5, 0.5};
  regrets.current_strategy(0, 0, fallback, sigma, 5);
  EXPECT_TRUE(sigma[1] == 0 && sigma[5 + 1] == 1 && sigma[2] == 0 && sigma[5 + 2] == 1 && sigma[3] == 0.5);
  regrets.set_row(0, 0, 1, first);
  EXPECT_EQ(value(1, 0), 32767);
  regrets.update_regrets(0, 0, zero, same, {}, 1.0, RegretRule{});
  EXPECT_TRUE(!(regrets.flags(0, 0) & kSignedFlag) && value(0, 0) == 32750 && value(0, 1) == 0 && value(1, 1) == 5);
}

// The locked flag survives a reload of either width, saved again to the same bytes. (Rows: the
// tree file round trips, which evaluate the loaded trees.)
TEST(PlainValueArray, ReloadKeepsFlags) {
  TempDir dir;
  auto layout = small_layout();
  auto check = [&](auto original) {
    ASSERT_TRUE(original->allocate());
    original->flags(0, 1) = kLockedFlag;
    auto loaded = reload(*original, [&] { return std::make_unique<std::remove_reference_t<decltype(*original)>>(layout); }, dir);
    EXPECT_TRUE(loaded->locked(0, 1) && !loaded->locked(0, 0));
  };
  check(std::make_unique<PlainValueArray16>(layout));
  check(std::make_unique<PlainValueArray32>(layout));
}

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

}  // namespace
