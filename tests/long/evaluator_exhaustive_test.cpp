// Exhaustive proof of the evaluator against a deliberately naive reference that shares no code or
// tables with it: every five-card set is ordered as the reference orders it, six cards must equal
// the best of their five-card subsets and seven cards the best of their six-card subsets, and the
// seven-card category counts must match the known totals (three and four cards: the unit tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cards/evaluator.h"
#include "evaluator_reference.h"

namespace {

using namespace evaluator_reference;

class ExhaustiveEvaluator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(init_hand_tables()); }
};

std::uint8_t u8(int c) { return std::uint8_t(c); }

TEST_F(ExhaustiveEvaluator, FiveCardOrderMatchesTheReference) {
  struct Entry {
    Ranking reference;
    std::uint32_t value;
  };
  std::vector<Entry> all;
  all.reserve(2598960);
  for (int a = 0; a < 52; ++a)
    for (int b = a + 1; b < 52; ++b)
      for (int c = b + 1; c < 52; ++c)
        for (int d = c + 1; d < 52; ++d)
          for (int e = d + 1; e < 52; ++e) {
            std::uint8_t five[5] = {u8(a), u8(b), u8(c), u8(d), u8(e)};
            all.push_back({reference_ranking({a, b, c, d, e}), evaluate_cards(five, 5)});
          }
  ASSERT_EQ(all.size(), 2598960u);
  std::sort(all.begin(), all.end(), [](const Entry& x, const Entry& y) { return x.reference < y.reference; });
  std::size_t classes = 1;
  for (std::size_t i = 1; i < all.size(); ++i) {
    const Entry &lower = all[i - 1], &upper = all[i];
    if (lower.reference == upper.reference) {
      ASSERT_EQ(lower.value, upper.value) << "tied hands must have equal values";
    } else {
      ASSERT_LT(lower.value, upper.value) << "the better hand must have the larger value";
      ++classes;
    }
  }
  EXPECT_EQ(classes, 7462u);  // equal within a class, rising between: 7,462 distinct values
  // Beyond the order, the layout: category and deciding ranks in their fields.
  for (std::size_t i = 0; i < all.size(); i += 97) ASSERT_EQ(all[i].value, expected_value(all[i].reference));
}

// Every six-card value equals the best of its six five-card subsets.
TEST_F(ExhaustiveEvaluator, SixCardsAreTheBestOfTheirFiveCardSubsets) {
  std::int64_t mismatches = 0, total = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : mismatches, total)
  for (int a = 0; a < 52; ++a) {
    for (int b = a + 1; b < 52; ++b)
      for (int c = b + 1; c < 52; ++c)
        for (int d = c + 1; d < 52; ++d)
          for (int e = d + 1; e < 52; ++e)
            for (int f = e + 1; f < 52; ++f) {
              LaneMask cards[6] = {lane_bit(a), lane_bit(b), lane_bit(c), lane_bit(d), lane_bit(e), lane_bit(f)};
              LaneMask all = cards[0] | cards[1] | cards[2] | cards[3] | cards[4] | cards[5];
              std::uint32_t best = 0;
              for (LaneMask left_out : cards) best = std::max(best, evaluate_lanes_5(all ^ left_out));
              mismatches += evaluate_lanes_6(all) != best;
              ++total;
            }
  }
  EXPECT_EQ(total, 20358520);
  EXPECT_EQ(mismatches, 0);
}

// Every seven-card value equals the best of its seven six-card subsets, and the category counts
// over all 133,784,560 seven-card sets are the known totals.
TEST_F(ExhaustiveEvaluator, AllSevenCardSets) {
  std::int64_t counts[9] = {}, mismatches = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : counts[:9], mismatches)
  for (int a = 0; a < 52; ++a) {
    for (int b = a + 1; b < 52; ++b)
      for (int c = b + 1; c < 52; ++c)
        for (int d = c + 1; d < 52; ++d)
          for (int e = d + 1; e < 52; ++e) {
            LaneMask five = lane_bit(a) | lane_bit(b) | lane_bit(c) | lane_bit(d) | lane_bit(e);
            for (int f = e + 1; f < 52; ++f)
              for (int g = f + 1; g < 52; ++g) {
                LaneMask cards[7] = {lane_bit(a), lane_bit(b), lane_bit(c), lane_bit(d),
                                     lane_bit(e), lane_bit(f), lane_bit(g)};
                LaneMask all = five | cards[5] | cards[6];
                std::uint32_t value = evaluate_lanes_7(all);
                ++counts[category_of(value)];
                std::uint32_t best = 0;
                for (LaneMask left_out : cards) best = std::max(best, evaluate_lanes_6(all ^ left_out));
                mismatches += value != best;
              }
          }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(counts[kStraightFlush], 41584);
  EXPECT_EQ(counts[kFourOfAKind], 224848);
  EXPECT_EQ(counts[kFullHouse], 3473184);
  EXPECT_EQ(counts[kFlush], 4047644);
  EXPECT_EQ(counts[kStraight], 6180020);
  EXPECT_EQ(counts[kThreeOfAKind], 6461620);
  EXPECT_EQ(counts[kTwoPair], 31433400);
  EXPECT_EQ(counts[kOnePair], 58627800);
  EXPECT_EQ(counts[kHighCard], 23294460);
}

}  // namespace
