// Exhaustive proof of the evaluator against a deliberately naive reference that shares no code or
// tables with it: every three-, four- and five-card set is compared with the reference, six cards
// must equal the best of their five-card subsets and seven cards the best of their six-card
// subsets, and the seven-card category counts must match the known totals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "cards/evaluator.h"

namespace {

// --- Reference: sort the ranks, count them, look for a flush and a straight. ---

struct Ranking {
  int category = 0;
  std::vector<int> ranks;  // deciding ranks, most important first
  auto operator<=>(const Ranking&) const = default;
};

Ranking reference_ranking(const std::vector<int>& cards) {
  std::array<int, 13> count{};
  std::set<int> suits;
  for (int c : cards) {
    ++count[c % 13];
    suits.insert(c / 13);
  }
  // Ranks grouped by how often they occur, bigger groups first, then higher ranks first.
  std::vector<std::pair<int, int>> groups;
  for (int r = 0; r < 13; ++r)
    if (count[r]) groups.push_back({count[r], r});
  std::sort(groups.rbegin(), groups.rend());
  Ranking result;
  for (auto [n, r] : groups) result.ranks.push_back(r);

  if (cards.size() == 5) {
    bool flush = suits.size() == 1;
    int straight_top = -1;
    if (groups.size() == 5) {
      if (result.ranks[0] - result.ranks[4] == 4) straight_top = result.ranks[0];
      if (result.ranks == std::vector<int>{12, 3, 2, 1, 0}) straight_top = 3;
    }
    if (straight_top >= 0) {
      result.category = flush ? 8 : 4;
      result.ranks = {straight_top};
      return result;
    }
    if (flush) {
      result.category = 5;
      return result;
    }
  }
  int first = groups[0].first, second = groups.size() > 1 ? groups[1].first : 0;
  if (first == 4) result.category = 7;
  else if (first == 3 && second == 2) result.category = 6;
  else if (first == 3) result.category = 3;
  else if (first == 2 && second == 2) result.category = 2;
  else if (first == 2) result.category = 1;
  else result.category = 0;
  return result;
}

Ranking reference_best(const std::vector<int>& cards) {
  if (cards.size() <= 5) return reference_ranking(cards);
  Ranking best{-1, {}};
  int n = int(cards.size());
  std::vector<bool> pick(n, false);
  std::fill(pick.begin(), pick.begin() + 5, true);
  do {
    std::vector<int> five;
    for (int i = 0; i < n; ++i)
      if (pick[i]) five.push_back(cards[i]);
    best = std::max(best, reference_ranking(five));
  } while (std::prev_permutation(pick.begin(), pick.end()));
  return best;
}

// The value a ranking should have: category, then the deciding ranks in 4-bit fields from the top.
std::uint32_t expected_value(const Ranking& r) {
  std::uint32_t v = std::uint32_t(r.category) << 24;
  for (std::size_t i = 0; i < r.ranks.size(); ++i) v |= std::uint32_t(r.ranks[i]) << (16 - 4 * i);
  return v;
}

class ExhaustiveEvaluator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(init_hand_tables()); }
};

std::uint8_t u8(int c) { return std::uint8_t(c); }

TEST_F(ExhaustiveEvaluator, ThreeAndFourCardsMatchTheReferenceExactly) {
  int checked = 0;
  for (int a = 0; a < 52; ++a)
    for (int b = a + 1; b < 52; ++b)
      for (int c = b + 1; c < 52; ++c) {
        std::uint8_t three[3] = {u8(a), u8(b), u8(c)};
        ASSERT_EQ(evaluate_cards(three, 3), expected_value(reference_ranking({a, b, c})));
        for (int d = c + 1; d < 52; ++d) {
          std::uint8_t four[4] = {u8(a), u8(b), u8(c), u8(d)};
          ASSERT_EQ(evaluate_cards(four, 4), expected_value(reference_ranking({a, b, c, d})));
          ++checked;
        }
      }
  EXPECT_EQ(checked, 270725);
}

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
  EXPECT_EQ(classes, 7462u);
  std::set<std::uint32_t> distinct;
  for (const Entry& e : all) distinct.insert(e.value);
  EXPECT_EQ(distinct.size(), 7462u);
  // Beyond the order, the layout: category and deciding ranks in their fields.
  for (std::size_t i = 0; i < all.size(); i += 97) ASSERT_EQ(all[i].value, expected_value(all[i].reference));
}

TEST_F(ExhaustiveEvaluator, SixAndSevenCardSamplesMatchTheReferenceExactly) {
  std::mt19937 rng(20261205);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int n : {6, 7}) {
    for (int trial = 0; trial < 30000; ++trial) {
      std::shuffle(deck.begin(), deck.end(), rng);
      std::vector<int> cards(deck.begin(), deck.begin() + n);
      std::vector<std::uint8_t> codes(cards.begin(), cards.end());
      ASSERT_EQ(evaluate_cards(codes.data(), n), expected_value(reference_best(cards)))
          << n << " cards, trial " << trial;
    }
  }
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
  std::array<std::int64_t, 9> counts{};
  std::int64_t mismatches = 0;
#pragma omp parallel
  {
    std::array<std::int64_t, 9> local{};
    std::int64_t local_mismatches = 0;
#pragma omp for schedule(dynamic, 1)
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
                  ++local[category_of(value)];
                  std::uint32_t best = 0;
                  for (LaneMask left_out : cards) best = std::max(best, evaluate_lanes_6(all ^ left_out));
                  local_mismatches += value != best;
                }
            }
    }
#pragma omp critical
    {
      for (int k = 0; k < 9; ++k) counts[k] += local[k];
      mismatches += local_mismatches;
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
