// The solver kernels against naive references on random data, for both code paths, and the two
// paths against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cards/cards.h"
#include "kernels/kernels.h"

using kernels::BoardHands;
using kernels::KernelSet;

namespace {

// A board's hand list with made-up strengths: every hand not touching the board, sorted by a
// random strength drawn from `levels` values (few levels give many ties).
struct TestBoard {
  std::vector<std::uint16_t> cards;
  std::vector<int> strength;
  std::vector<std::uint16_t> classes;
  std::vector<std::uint16_t> groups;
  kernels::CardLanes lanes;

  // With the per-card lists (the vector showdown sweeps them) or without (running card sums).
  BoardHands view(bool with_lanes = true) const {
    return BoardHands{cards, classes, groups, with_lanes ? &lanes : nullptr};
  }
  int size() const { return int(cards.size()); }
  bool disjoint(int a, int b) const {
    int a1 = cards[a] & 0xFF, a2 = cards[a] >> 8, b1 = cards[b] & 0xFF, b2 = cards[b] >> 8;
    return a1 != b1 && a1 != b2 && a2 != b1 && a2 != b2;
  }
};

TestBoard make_board(std::mt19937& rng, int board_cards, int levels) {
  std::vector<int> deck(kCards);
  std::iota(deck.begin(), deck.end(), 0);
  std::shuffle(deck.begin(), deck.end(), rng);
  CardMask board = 0;
  for (int i = 0; i < board_cards; ++i) board |= card_bit(deck[i]);
  std::vector<std::pair<int, std::uint16_t>> hands;
  for (int hi = 1; hi < kCards; ++hi)
    for (int lo = 0; lo < hi; ++lo)
      if (!(board & (card_bit(lo) | card_bit(hi))))
        hands.push_back({int(rng() % levels), std::uint16_t(lo | hi << 8)});
  std::stable_sort(hands.begin(), hands.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  TestBoard b;
  for (const auto& [s, c] : hands) {
    b.strength.push_back(s);
    b.cards.push_back(c);
  }
  for (int h = 0; h < b.size();) {
    int end = h;
    while (end < b.size() && b.strength[end] == b.strength[h]) ++end;
    b.classes.push_back(std::uint16_t(end - h));
    // Groups: random runs of 1..3 hands inside the class.
    for (int g = h; g < end;) {
      int size = std::min(end - g, 1 + int(rng() % 3));
      b.groups.push_back(std::uint16_t(size));
      g += size;
    }
    h = end;
  }
  b.lanes = kernels::make_card_lanes(b.cards, b.classes);
  return b;
}

std::vector<double> random_reach(std::mt19937& rng, int n, double zero_share = 0.2) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> r(n);
  for (double& x : r) x = u(rng) < zero_share ? 0.0 : u(rng);
  return r;
}

// Node values and action values of a regret update, uniform in [-range, range).
struct RegretInputs {
  std::vector<double> value;
  std::vector<std::vector<double>> rows;
  std::vector<const double*> action_values;
  RegretInputs(std::mt19937& rng, int actions, int n, double range) : value(n), rows(actions, std::vector<double>(n)) {
    std::uniform_real_distribution<double> u(-range, range);
    for (double& x : value) x = u(rng);
    for (auto& row : rows) {
      for (double& x : row) x = u(rng);
      action_values.push_back(row.data());
    }
  }
};

std::vector<double> fold_reference(const TestBoard& b, const std::vector<double>& reach, double payoff) {
  int n = b.size();
  double total = 0;
  for (double r : reach)
    if (r > 0) total += payoff * r;
  std::vector<double> values(n, 0.0);
  if (!(std::fabs(total) > kernels::kFoldThreshold)) return values;
  for (int h = 0; h < n; ++h)
    for (int o = 0; o < n; ++o)
      if (reach[o] > 0 && b.disjoint(h, o)) values[h] += payoff * reach[o];
  return values;
}

std::vector<double> showdown_reference(const TestBoard& b, const std::vector<double>& reach, double payoff) {
  int n = b.size();
  double total = 0;
  for (double r : reach)
    if (r > 0) total += payoff * r;
  std::vector<double> values(n, 0.0);
  if (!(std::fabs(total) > kernels::kShowdownThreshold)) return values;
  for (int h = 0; h < n; ++h)
    for (int o = 0; o < n; ++o) {
      if (!(reach[o] > 0) || !b.disjoint(h, o)) continue;
      if (b.strength[o] < b.strength[h]) values[h] += payoff * reach[o];
      if (b.strength[o] > b.strength[h]) values[h] -= payoff * reach[o];
    }
  return values;
}

template <class T>
void expect_all_near(const std::vector<T>& a, const std::vector<T>& b, double relative, double absolute,
                     const std::string& what) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    ASSERT_NEAR(double(a[i]), double(b[i]), absolute + relative * std::fabs(double(a[i]))) << what << " " << i;
}

class KernelPaths : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "avx2" && kernels::avx2_kernels() == nullptr) GTEST_SKIP() << "no AVX2/FMA";
  }
  const KernelSet& k() const { return GetParam() == "avx2" ? *kernels::avx2_kernels() : kernels::plain_kernels(); }
  bool plain() const { return GetParam() == "plain"; }
  // Relative accuracy of the refined square-root estimates on the vector path.
  double estimate_tolerance() const { return plain() ? 0.0 : 2e-6; }
  // The vector path divides in float: shares within 2^-24 relative of the double division.
  double share_tolerance() const { return plain() ? 1e-15 : 0x1p-23; }
};

// --- Payoff kernels ------------------------------------------------------------------------

TEST_P(KernelPaths, FoldAndShowdownMatchPairwiseReferenceOnRandomBoards) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 12; ++trial) {
    int board_cards = 3 + trial % 3;
    int levels = trial % 4 == 0 ? 3 : (trial % 4 == 1 ? 40 : 5000);  // many ties .. almost none
    TestBoard b = make_board(rng, board_cards, levels);
    std::vector<double> reach = random_reach(rng, b.size());
    double payoff = trial % 2 ? 37.5 : -12.25;
    double tol = 1e-9 * std::fabs(payoff) * b.size();
    std::vector<double> values(b.size());
    k().fold_values(reach.data(), b.view(), payoff, values.data());
    expect_all_near(fold_reference(b, reach, payoff), values, 0.0, tol, "fold trial " + std::to_string(trial));
    std::vector<double> expected = showdown_reference(b, reach, payoff);
    std::vector<double> expected_fold = fold_reference(b, reach, -2.5 * payoff), fold(b.size());
    for (bool lanes : {true, false}) {
      k().showdown_values(reach.data(), b.view(lanes), payoff, values.data());
      expect_all_near(expected, values, 0.0, tol, "showdown trial " + std::to_string(trial));
      // Both payoffs of one reach in one call.
      std::fill(values.begin(), values.end(), 99.0);
      k().showdown_and_fold_values(reach.data(), b.view(lanes), payoff, -2.5 * payoff, values.data(), fold.data());
      expect_all_near(expected, values, 0.0, tol, "showdown of the pair " + std::to_string(trial));
      expect_all_near(expected_fold, fold, 0.0, 2.5 * tol, "fold of the pair " + std::to_string(trial));
    }
  }
}

// Hand lists that are not every hand of a board (a restricted list): the per-card lists have
// different lengths and the padding must count nothing.
TEST_P(KernelPaths, ShowdownOnPartialHandLists) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 6; ++trial) {
    TestBoard full = make_board(rng, 5, trial % 2 ? 20 : 900);
    TestBoard b;
    for (int h = 0; h < full.size(); ++h)
      if (rng() % 5 < 2 || h < 3) {
        b.cards.push_back(full.cards[h]);
        b.strength.push_back(full.strength[h]);
      }
    for (int h = 0; h < b.size();) {
      int end = h;
      while (end < b.size() && b.strength[end] == b.strength[h]) ++end;
      b.classes.push_back(std::uint16_t(end - h));
      h = end;
    }
    b.lanes = kernels::make_card_lanes(b.cards, b.classes);
    std::vector<double> reach = random_reach(rng, b.size()), values(b.size());
    k().showdown_values(reach.data(), b.view(), 3.0, values.data());
    expect_all_near(showdown_reference(b, reach, 3.0), values, 0.0, 1e-9 * b.size(), "partial list");
  }
}

// Lists the card tree never makes but the kernels accept: all 1,326 hands (no board), a handful
// of hands, strength runs that stop short of the list (the rest count as stronger than all),
// and a list that repeats a hand (no lanes: the per-card sums serve).
TEST_P(KernelPaths, ShowdownOnUnusualHandLists) {
  std::mt19937 rng(13);
  auto check = [&](TestBoard& b, const std::string& what) {
    std::vector<double> reach = random_reach(rng, b.size()), with_lanes(b.size()), sweep(b.size());
    k().showdown_values(reach.data(), b.view(true), 2.0, with_lanes.data());
    k().showdown_values(reach.data(), b.view(false), 2.0, sweep.data());
    expect_all_near(sweep, with_lanes, 0.0, 1e-9 * b.size(), what);
  };
  TestBoard all = make_board(rng, 0, 700);
  ASSERT_EQ(all.size(), 1326);
  ASSERT_GT(all.lanes.groups, 0);
  check(all, "every hand");
  std::vector<double> reach = random_reach(rng, all.size()), values(all.size());
  k().showdown_values(reach.data(), all.view(), 2.0, values.data());
  expect_all_near(showdown_reference(all, reach, 2.0), values, 0.0, 1e-9 * all.size(), "every hand, reference");

  TestBoard few;
  TestBoard source = make_board(rng, 5, 4);
  for (int h : {0, 7, 300, 301, 1000}) {
    few.cards.push_back(source.cards[h]);
    few.strength.push_back(source.strength[h]);
  }
  few.classes = {2, 1, 2};
  few.lanes = kernels::make_card_lanes(few.cards, few.classes);
  check(few, "five hands");

  TestBoard short_runs = make_board(rng, 4, 2);  // one run, then hands outside every run
  short_runs.classes.pop_back();
  short_runs.lanes = kernels::make_card_lanes(short_runs.cards, short_runs.classes);
  check(short_runs, "runs short of the list");

  TestBoard repeated = make_board(rng, 5, 40);
  for (int copy = 0; copy < 60; ++copy) {
    repeated.cards.push_back(repeated.cards.back());
    ++repeated.classes.back();
  }
  repeated.lanes = kernels::make_card_lanes(repeated.cards, repeated.classes);
  EXPECT_EQ(repeated.lanes.groups, 0);
  check(repeated, "repeated hands");
}

// The pair call when the showdown's stakes fall below its threshold but the fold's do not, and
// with a showdown payoff of 0: each value as its own kernel gives it.
TEST_P(KernelPaths, ShowdownFoldPairAtTheThresholds) {
  std::mt19937 rng(14);
  TestBoard b = make_board(rng, 5, 100);
  std::vector<double> tiny(b.size(), 1e-42), showdown(b.size()), fold(b.size()), expected(b.size());
  k().showdown_and_fold_values(tiny.data(), b.view(), 1.0, 1e10, showdown.data(), fold.data());
  EXPECT_TRUE(std::all_of(showdown.begin(), showdown.end(), [](double v) { return v == 0.0; }));
  k().fold_values(tiny.data(), b.view(), 1e10, expected.data());
  ASSERT_NE(expected[0], 0.0);
  expect_all_near(expected, fold, 1e-12, 0.0, "fold beside a vanishing showdown");
  std::vector<double> reach = random_reach(rng, b.size());
  k().showdown_and_fold_values(reach.data(), b.view(), 0.0, -3.0, showdown.data(), fold.data());
  EXPECT_TRUE(std::all_of(showdown.begin(), showdown.end(), [](double v) { return v == 0.0; }));
  k().fold_values(reach.data(), b.view(), -3.0, expected.data());
  expect_all_near(expected, fold, 1e-12, 0.0, "fold beside a zero showdown payoff");
}

TEST_P(KernelPaths, DegenerateReachAndBoardsGiveZero) {
  std::mt19937 rng(5);
  TestBoard b = make_board(rng, 5, 300);
  std::vector<double> zero(b.size(), 0.0), values(b.size(), 99.0);
  k().fold_values(zero.data(), b.view(), 10.0, values.data());
  EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double v) { return v == 0.0; }));
  std::fill(values.begin(), values.end(), 99.0);
  k().showdown_values(zero.data(), b.view(), 10.0, values.data());
  EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double v) { return v == 0.0; }));
  std::vector<double> fold(b.size(), 99.0);
  std::fill(values.begin(), values.end(), 99.0);
  k().showdown_and_fold_values(zero.data(), b.view(), 10.0, -10.0, values.data(), fold.data());
  EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double v) { return v == 0.0; }));
  EXPECT_TRUE(std::all_of(fold.begin(), fold.end(), [](double v) { return v == 0.0; }));

  // Every hand of equal strength: a showdown is a tie everywhere.
  TestBoard single = make_board(rng, 5, 1);
  ASSERT_EQ(single.classes.size(), 1u);
  std::vector<double> reach = random_reach(rng, single.size());
  values.assign(single.size(), 99.0);
  k().showdown_values(reach.data(), single.view(), 10.0, values.data());
  for (double v : values) EXPECT_NEAR(v, 0.0, 1e-9);

}

TEST_P(KernelPaths, GroupedKernelsMatchSpreadReach) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 4; ++trial) {
    TestBoard b = make_board(rng, 5, trial % 2 ? 30 : 2000);
    int groups = int(b.groups.size());
    std::vector<double> group_reach = random_reach(rng, groups, 0.3);
    std::vector<double> reach(b.size());
    kernels::spread_group_reach(group_reach.data(), b.view(), reach.data());
    std::vector<double> per_hand(b.size()), per_group(groups);
    double tol = 1e-9 * b.size();
    k().fold_values(reach.data(), b.view(), 7.0, per_hand.data());
    k().fold_values_grouped(group_reach.data(), b.view(), 7.0, per_group.data());
    for (int g = 0, h = 0; g < groups; h += b.groups[g++]) ASSERT_NEAR(per_group[g], per_hand[h], tol) << "fold group " << g;
    k().showdown_values(reach.data(), b.view(), 7.0, per_hand.data());
    k().showdown_values_grouped(group_reach.data(), b.view(), 7.0, per_group.data());
    for (int g = 0, h = 0; g < groups; h += b.groups[g++])
      ASSERT_NEAR(per_group[g], per_hand[h], tol) << "showdown group " << g;

    std::vector<double> none(groups, 0.0);
    per_group.assign(groups, 99.0);
    k().fold_values_grouped(none.data(), b.view(), 7.0, per_group.data());
    EXPECT_TRUE(std::all_of(per_group.begin(), per_group.end(), [](double v) { return v == 0.0; }));
    per_group.assign(groups, 99.0);
    k().showdown_values_grouped(none.data(), b.view(), 7.0, per_group.data());
    EXPECT_TRUE(std::all_of(per_group.begin(), per_group.end(), [](double v) { return v == 0.0; }));
  }
}

// --- Regret matching ------------------------------------------------------------------------

TEST(Fallback, TrainingFavoursTheFirstActionUniformSharesEvenly) {
  double f[4];
  kernels::fallback_vector(kernels::Fallback::training, 3, f);
  EXPECT_DOUBLE_EQ(f[0], 0.9);
  EXPECT_DOUBLE_EQ(f[1], 0.05);
  EXPECT_DOUBLE_EQ(f[2], 0.05);
  kernels::fallback_vector(kernels::Fallback::uniform, 4, f);
  for (int a = 0; a < 4; ++a) EXPECT_DOUBLE_EQ(f[a], 0.25);
  for (auto kind : {kernels::Fallback::training, kernels::Fallback::uniform}) {
    kernels::fallback_vector(kind, 1, f);
    EXPECT_EQ(f[0], 1.0);
  }
}

// Regret matching by its behaviour: shares sum to one and follow the regrets' order, a hand
// with regret on one action alone plays it purely, a hand without positive regret (or only
// regret below the smallest normal float) takes the fallback.
TEST_P(KernelPaths, CurrentStrategyIsRegretMatchingWithFallback) {
  std::mt19937 rng(3);
  for (int actions = 1; actions <= 4; ++actions) {
    int n = 1081 - actions;  // exercise the scalar tail
    std::size_t stride = n + 3;
    double fallback[4];
    kernels::fallback_vector(kernels::Fallback::training, actions, fallback);
    std::vector<float> rf(actions * stride);
    std::vector<std::uint16_t> r16(actions * stride);
    for (std::size_t i = 0; i < rf.size(); ++i) {
      int kind = int(rng() % 4);  // zero, below the threshold, small, large
      rf[i] = kind == 0 ? 0.0f : kind == 1 ? 0x1p-130f : float(rng() % 5000) / 100;
      r16[i] = std::uint16_t(kind <= 1 ? 0 : rng() % 65536);
    }
    std::vector<double> sigma(actions * n), sigma16(actions * n);
    k().current_strategy_f32(rf.data(), stride, actions, n, fallback, sigma.data(), n);
    k().current_strategy_u16(r16.data(), stride, actions, n, fallback, sigma16.data(), n);
    for (int h = 0; h < n; ++h) {
      double sum = 0, sum16 = 0, regret_sum = 0, regret16_sum = 0;
      for (int a = 0; a < actions; ++a) {
        sum += sigma[a * n + h], sum16 += sigma16[a * n + h];
        regret_sum += rf[a * stride + h], regret16_sum += r16[a * stride + h];
      }
      ASSERT_NEAR(sum, 1.0, 1e-6) << h;
      ASSERT_NEAR(sum16, 1.0, 1e-6) << h;
      for (int a = 0; a < actions; ++a) {
        double expected = regret_sum >= 0x1p-126 ? rf[a * stride + h] / regret_sum : fallback[a];
        double expected16 = regret16_sum > 0 ? r16[a * stride + h] / regret16_sum : fallback[a];
        ASSERT_NEAR(sigma[a * n + h], expected, share_tolerance() + 1e-7) << actions << " actions, hand " << h;
        ASSERT_NEAR(sigma16[a * n + h], expected16, share_tolerance()) << actions << " actions, hand " << h;
        if (expected16 == 1.0 || expected16 == 0.0) {
          ASSERT_EQ(sigma16[a * n + h], expected16) << "pure stays exact";
        }
      }
    }
  }
}

TEST_P(KernelPaths, AverageStrategyNormalisesAndFallsBackToCurrent) {
  float sums[2 * 3] = {1, 0, 0, 3, 0, 0};  // [action * 3 + hand]; hand 2 has no average
  double sigma[2 * 3] = {0.5, 0.5, 0.25, 0.5, 0.5, 0.75}, expected[2 * 3] = {0.25, 0.5, 0.25, 0.75, 0.5, 0.75};
  k().average_strategy(sums, 3, 2, 3, sigma, 3);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(sigma[i], expected[i]) << i;
}

// --- Regret and average updates ------------------------------------------------------------

// Float regrets: r + sign(d) |d|^0.75, floored at 0; d below the smallest normal float adds nothing.
TEST_P(KernelPaths, FloatRegretUpdateFollowsTheSignedPowerRule) {
  double node[4] = {0, 0, 1, 0}, act[4] = {16, 16, 1, -16};
  const double* ap[1] = {act};
  float r[4] = {0, 3, 5, 3};
  k().update_regrets_f32(r, 4, 1, 4, node, ap);
  const float expected[4] = {8, 11, 5, 0};
  for (int h = 0; h < 4; ++h) EXPECT_NEAR(r[h], expected[h], expected[h] * estimate_tolerance()) << h;
  if (plain()) {
    EXPECT_EQ(r[0], 8.0f);
  }
}

TEST_P(KernelPaths, SixteenBitRegretsCountScaledUnitsAndClamp) {
  double s = 125.0 / 250.0;  // stake scale of a tree whose largest stake is 250
  double k075 = std::pow(s, 0.75);
  int n = 12;
  std::vector<double> node(n, 0.0), act(n);
  std::vector<std::uint16_t> r(n);
  // d, start regret
  const double d[12] = {1.9, -1.9, 1.0 / s + 1e-3, 100.0, -100.0, 300.0, -300.0, 500.0, -500.0, 40.0, -40.0, 0.0};
  const std::uint16_t start[12] = {7, 7, 0, 65530, 10, 65535, 65535, 0, 3, 100, 100, 42};
  for (int h = 0; h < n; ++h) {
    act[h] = d[h];
    r[h] = start[h];
  }
  const double* ap[1] = {act.data()};
  k().update_regrets_u16(r.data(), n, 1, n, node.data(), ap, {}, s);
  EXPECT_EQ(r[0], 7);  // |d| < 1/s
  EXPECT_EQ(r[1], 7);
  EXPECT_EQ(r[2], 1);
  EXPECT_EQ(r[3], 65535);  // clamped above
  EXPECT_EQ(r[4], 0);      // clamped below
  EXPECT_EQ(r[5], 65535);
  EXPECT_NEAR(r[6], 65535 - int(k075 * std::pow(300.0, 0.75)), 1);
  EXPECT_NEAR(r[7], int(k075 * std::pow(500.0, 0.75)), 1);
  EXPECT_EQ(r[8], 0);
  EXPECT_NEAR(r[9], 100 + int(k075 * std::pow(40.0, 0.75)), 1);
  EXPECT_NEAR(r[10], 100 - int(k075 * std::pow(40.0, 0.75)), 1);
  EXPECT_EQ(r[11], 42);
}

// With the class table every showdown class ends up holding the truncated mean of its updates.
TEST_P(KernelPaths, SixteenBitRegretsAverageOverShowdownClasses) {
  std::mt19937 rng(13);
  TestBoard b = make_board(rng, 5, 200);
  int n = b.size(), actions = 2;
  double scale = 125.0 / 180.0;
  RegretInputs in(rng, actions, n, 200.0);
  std::vector<std::uint16_t> regrets(actions * n);
  for (auto& x : regrets) x = std::uint16_t(rng() % 65536);
  std::vector<std::uint16_t> plain_update = regrets, with_table = regrets;
  k().update_regrets_u16(plain_update.data(), n, actions, n, in.value.data(), in.action_values.data(), {}, scale);
  k().update_regrets_u16(with_table.data(), n, actions, n, in.value.data(), in.action_values.data(), b.classes, scale);
  for (int a = 0; a < actions; ++a) {
    int h = 0;
    for (std::uint16_t size : b.classes) {
      std::uint32_t sum = 0;
      for (int i = h; i < h + size; ++i) sum += plain_update[a * n + i];
      for (int i = h; i < h + size; ++i) ASSERT_EQ(with_table[a * n + i], sum / size) << "action " << a << " hand " << i;
      h += size;
    }
  }
}

TEST_P(KernelPaths, AccumulateAverageAddsWeightedStrategyTimesReach) {
  float sums[2 * 3] = {1, 2, 3, 4, 5, 6};
  double sigma[2 * 3] = {0.5, 1, 0, 0.5, 0, 1}, reach[3] = {2, 0, 0.25};
  k().accumulate_average(sums, 3, 2, 3, sigma, 3, reach, 0.0);
  const float unchanged[6] = {1, 2, 3, 4, 5, 6}, expected[6] = {4, 2, 3, 7, 5, 6.75};
  EXPECT_TRUE(std::equal(sums, sums + 6, unchanged)) << "weight 0 adds nothing";
  k().accumulate_average(sums, 3, 2, 3, sigma, 3, reach, 3.0);
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(sums[i], expected[i]) << i;
}

// --- Two players' lists ------------------------------------------------------------------

// Two lists of one board as the card tree makes them: each a subsequence of their union, which
// carries the classes and the lanes. `own_is_all` / `opp_is_all` give a list as the union itself.
// `positions` runs the payoffs on the two lists themselves instead of on the union.
struct TestPair {
  TestBoard all;
  std::vector<std::int16_t> own, opp;  // positions in `all`
  bool own_is_all = false, opp_is_all = false;
  kernels::PairPositions positions;

  kernels::HandPair view(bool on_lists = false) const {
    return {all.view(), own_is_all ? std::span<const std::int16_t>() : std::span<const std::int16_t>(own),
            opp_is_all ? std::span<const std::int16_t>() : std::span<const std::int16_t>(opp), int(own.size()),
            int(opp.size()), on_lists ? &positions : nullptr};
  }
};

// in_own / in_opp say, per hand of `full`, which list holds it.
TestPair make_pair(const TestBoard& full, const std::vector<bool>& in_own, const std::vector<bool>& in_opp) {
  TestPair t;
  for (int h = 0; h < full.size(); ++h) {
    if (!in_own[h] && !in_opp[h]) continue;
    int at = t.all.size();
    t.all.cards.push_back(full.cards[h]);
    t.all.strength.push_back(full.strength[h]);
    if (in_own[h]) t.own.push_back(std::int16_t(at));
    if (in_opp[h]) t.opp.push_back(std::int16_t(at));
  }
  for (int h = 0; h < t.all.size();) {
    int end = h;
    while (end < t.all.size() && t.all.strength[end] == t.all.strength[h]) ++end;
    t.all.classes.push_back(std::uint16_t(end - h));
    h = end;
  }
  t.all.lanes = kernels::make_card_lanes(t.all.cards, t.all.classes);
  t.own_is_all = t.own.size() == std::size_t(t.all.size());
  t.opp_is_all = t.opp.size() == std::size_t(t.all.size());
  auto list = [&](const std::vector<std::int16_t>& at, std::vector<std::uint16_t>& cards, std::vector<std::uint32_t>& strengths) {
    for (std::int16_t i : at) {
      cards.push_back(t.all.cards[std::size_t(i)]);
      strengths.push_back(std::uint32_t(t.all.strength[std::size_t(i)]));
    }
  };
  std::vector<std::uint16_t> own_cards, opp_cards;
  std::vector<std::uint32_t> own_strengths, opp_strengths;
  list(t.own, own_cards, own_strengths);
  list(t.opp, opp_cards, opp_strengths);
  t.positions = kernels::make_pair_positions(own_cards, own_strengths, opp_cards, opp_strengths);
  return t;
}

// O(n * m): every own hand against every opponent hand that shares no card with it.
std::vector<double> pair_reference(const TestPair& t, const std::vector<double>& reach, double payoff, bool showdown) {
  double total = 0;
  for (double r : reach)
    if (r > 0) total += payoff * r;
  std::vector<double> values(t.own.size(), 0.0);
  double threshold = showdown ? kernels::kShowdownThreshold : kernels::kFoldThreshold;
  if (!(std::fabs(total) > threshold)) return values;
  for (std::size_t i = 0; i < t.own.size(); ++i)
    for (std::size_t j = 0; j < t.opp.size(); ++j) {
      int h = t.own[i], o = t.opp[j];
      if (!(reach[j] > 0) || !t.all.disjoint(h, o)) continue;
      if (!showdown || t.all.strength[o] < t.all.strength[h]) values[i] += payoff * reach[j];
      if (showdown && t.all.strength[o] > t.all.strength[h]) values[i] -= payoff * reach[j];
    }
  return values;
}

TEST_P(KernelPaths, TwoListPayoffsMatchPairwiseReference) {
  std::mt19937 rng(31);
  enum Shape { random_lists, empty_own, empty_opp, one_each, disjoint, identical, own_inside };
  for (int trial = 0; trial < 28; ++trial) {
    Shape shape = Shape(trial % 7);
    TestBoard full = make_board(rng, 3 + trial % 3, trial % 2 ? 4 : 3000);  // heavy ties or almost none
    int n = full.size();
    std::vector<bool> own(n), opp(n);
    for (int h = 0; h < n; ++h) {
      bool a = rng() % 4 == 0, b = rng() % 3 == 0;
      switch (shape) {
        case random_lists: own[h] = a, opp[h] = b; break;
        case empty_own: opp[h] = b; break;
        case empty_opp: own[h] = a; break;
        case one_each: own[h] = h == n / 2, opp[h] = h == n / 3; break;
        case disjoint: own[h] = a && h % 2 == 0, opp[h] = b && h % 2 == 1; break;
        case identical: own[h] = opp[h] = a; break;
        case own_inside: opp[h] = b || a, own[h] = a; break;
      }
    }
    TestPair t = make_pair(full, own, opp);
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + std::to_string(t.own.size()) + " own, " +
                 std::to_string(t.opp.size()) + " opponent hands of " + std::to_string(t.all.size()));
    std::vector<double> reach = random_reach(rng, int(t.opp.size()));
    double payoff = trial % 3 ? 17.25 : -4.5, tol = 1e-9 * std::fabs(payoff) * (t.all.size() + 1);
    std::vector<double> values(t.own.size() + 1, 99.0), fold(t.own.size() + 1, 99.0);
    std::vector<double> expected = pair_reference(t, reach, payoff, true);
    std::vector<double> expected_fold = pair_reference(t, reach, -2 * payoff, false);
    for (bool on_lists : {false, true}) {
      SCOPED_TRACE(on_lists ? "on the two lists" : "on the union");
      kernels::HandPair view = t.view(on_lists);
      values.assign(t.own.size() + 1, 99.0);
      kernels::showdown_values(k(), reach.data(), view, payoff, values.data());
      EXPECT_EQ(values.back(), 99.0) << "wrote past the own list";
      values.pop_back();
      expect_all_near(expected, values, 0.0, tol, "showdown");
      values.assign(t.own.size(), 0.0);
      kernels::fold_values(k(), reach.data(), view, -2 * payoff, values.data());
      expect_all_near(expected_fold, values, 0.0, 2 * tol, "fold");
      values.assign(t.own.size(), 0.0);
      fold.assign(t.own.size(), 0.0);
      kernels::showdown_and_fold_values(k(), reach.data(), view, payoff, -2 * payoff, values.data(), fold.data());
      expect_all_near(expected, values, 0.0, tol, "showdown of the pair");
      expect_all_near(expected_fold, fold, 0.0, 2 * tol, "fold of the pair");
    }
    // An opponent's fold and call summed: each against its own share of the reach (some
    // shares 0, so that one action's reach misses hands the other's has).
    std::vector<double> fold_share(t.opp.size()), call_share(t.opp.size());
    for (std::size_t j = 0; j < t.opp.size(); ++j) {
      fold_share[j] = rng() % 4 == 0 ? 0.0 : std::uniform_real_distribution<double>(0, 1)(rng);
      call_share[j] = rng() % 4 == 0 ? 0.0 : 1.0 - fold_share[j];
    }
    std::vector<double> fold_reach(reach), call_reach(reach);
    for (std::size_t j = 0; j < t.opp.size(); ++j) fold_reach[j] *= fold_share[j], call_reach[j] *= call_share[j];
    std::vector<double> summed = pair_reference(t, call_reach, payoff, true);
    std::vector<double> folded = pair_reference(t, fold_reach, -2 * payoff, false);
    for (std::size_t i = 0; i < summed.size(); ++i) summed[i] += folded[i];
    for (bool on_lists : {false, true}) {
      SCOPED_TRACE(on_lists ? "summed, on the two lists" : "summed, on the union");
      values.assign(t.own.size() + 1, 99.0);
      kernels::fold_plus_showdown_values(k(), reach.data(), fold_share.data(), call_share.data(), t.view(on_lists),
                                         payoff, -2 * payoff, values.data());
      EXPECT_EQ(values.back(), 99.0) << "wrote past the own list";
      values.pop_back();
      expect_all_near(summed, values, 0.0, 3 * tol, "fold plus showdown");
    }
  }
}

// On the two lists: a showdown whose stakes vanish beside a fold that does not (the fold's card
// sums then come from lanes that are summed but not kept), and an opponent without reach.
TEST_P(KernelPaths, TwoListPayoffsAtTheThresholds) {
  std::mt19937 rng(41);
  TestBoard full = make_board(rng, 5, 3000);
  std::vector<bool> own(full.size()), opp(full.size());
  for (int h = 0; h < full.size(); ++h) own[h] = rng() % 3 == 0, opp[h] = rng() % 2 == 0;
  TestPair t = make_pair(full, own, opp);
  kernels::HandPair view = t.view(true);
  ASSERT_NE(view.positions, nullptr);
  std::size_t n = t.own.size();
  std::vector<double> tiny(t.opp.size(), 1e-42), showdown(n, 99.0), fold(n, 99.0), expected(n);
  kernels::showdown_and_fold_values(k(), tiny.data(), view, 1.0, 1e10, showdown.data(), fold.data());
  EXPECT_TRUE(std::all_of(showdown.begin(), showdown.end(), [](double v) { return v == 0.0; }));
  kernels::fold_values(k(), tiny.data(), view, 1e10, expected.data());
  EXPECT_EQ(fold, expected);
  std::vector<double> reference = pair_reference(t, tiny, 1e10, false);
  ASSERT_NE(reference[0], 0.0);
  expect_all_near(reference, fold, 1e-12, 0.0, "fold of a vanishing reach");
  // Summed with a call share of 0: the fold alone, bit for bit.
  std::vector<double> ones(t.opp.size(), 1.0), zeros(t.opp.size(), 0.0), summed(n, 99.0);
  kernels::fold_plus_showdown_values(k(), tiny.data(), ones.data(), zeros.data(), view, 1.0, 1e10, summed.data());
  EXPECT_EQ(summed, expected);
  std::vector<double> none(t.opp.size(), -1.0);  // non-positive reach counts as none
  kernels::fold_plus_showdown_values(k(), none.data(), ones.data(), ones.data(), view, 5.0, -5.0, summed.data());
  EXPECT_TRUE(std::all_of(summed.begin(), summed.end(), [](double v) { return v == 0.0; }));
  kernels::showdown_and_fold_values(k(), none.data(), view, 5.0, -5.0, showdown.data(), fold.data());
  EXPECT_TRUE(std::all_of(showdown.begin(), showdown.end(), [](double v) { return v == 0.0; }));
  EXPECT_TRUE(std::all_of(fold.begin(), fold.end(), [](double v) { return v == 0.0; }));
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelPaths, ::testing::Values("plain", "avx2"),
                         [](const auto& info) { return info.param; });

// --- The two paths on the same inputs ------------------------------------------------------

TEST(KernelPathAgreement, VectorPathMatchesPlainPath) {
  if (kernels::avx2_kernels() == nullptr) GTEST_SKIP() << "no AVX2/FMA";
  const KernelSet& p = kernels::plain_kernels();
  const KernelSet& v = *kernels::avx2_kernels();
  EXPECT_EQ(&kernels::active_kernels(), &v);
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> u(-30.0, 30.0);
  for (int trial = 0; trial < 6; ++trial) {
    TestBoard b = make_board(rng, 3 + trial % 3, trial % 2 ? 25 : 3000);
    int n = b.size(), actions = 2 + trial % 3, groups = int(b.groups.size());
    std::vector<double> reach = random_reach(rng, n), group_reach = random_reach(rng, groups);
    std::vector<double> vp(n), vv(n), gp(groups), gv(groups);
    for (auto kernel : {&KernelSet::fold_values, &KernelSet::showdown_values}) {
      (p.*kernel)(reach.data(), b.view(), 5.5, vp.data());
      for (bool lanes : {true, false}) {
        (v.*kernel)(reach.data(), b.view(lanes), 5.5, vv.data());
        expect_all_near(vp, vv, 0.0, 1e-10 * n, "payoff");
      }
    }
    {
      // Two-list payoffs: the same operations in the same order, so identical bits.
      std::vector<bool> in_own(n), in_opp(n);
      for (int h = 0; h < n; ++h) in_own[h] = rng() % 3 == 0, in_opp[h] = rng() % 2 == 0;
      TestPair t = make_pair(b, in_own, in_opp);
      std::vector<double> r = random_reach(rng, int(t.opp.size()));
      std::size_t m = t.own.size();
      std::vector<double> sp_(m), fp_(m), sv_(m), fv_(m);
      // Both payoffs, the showdown alone and the fold alone (which keeps no lane sums).
      for (int mode = 0; mode < 3; ++mode) {
        double* outs[4] = {sp_.data(), fp_.data(), sv_.data(), fv_.data()};
        if (mode == 1) outs[1] = outs[3] = nullptr;
        if (mode == 2) outs[0] = outs[2] = nullptr;
        p.pair_payoffs(r.data(), t.positions, 3.25, outs[0], -7.5, outs[1]);
        v.pair_payoffs(r.data(), t.positions, 3.25, outs[2], -7.5, outs[3]);
        EXPECT_EQ(sp_, sv_) << "mode " << mode;
        EXPECT_EQ(fp_, fv_) << "mode " << mode;
      }
    }
    for (auto kernel : {&KernelSet::fold_values_grouped, &KernelSet::showdown_values_grouped}) {
      (p.*kernel)(group_reach.data(), b.view(), 5.5, gp.data());
      (v.*kernel)(group_reach.data(), b.view(), 5.5, gv.data());
      expect_all_near(gp, gv, 0.0, 1e-10 * n, "grouped payoff");
    }

    RegretInputs in(rng, actions, n, 30.0);
    const double* const* avp = in.action_values.data();
    const double* value = in.value.data();
    std::vector<float> rp(actions * n);
    for (float& x : rp) x = float(std::fabs(u(rng)));
    std::vector<float> rv = rp;
    p.update_regrets_f32(rp.data(), n, actions, n, value, avp);
    v.update_regrets_f32(rv.data(), n, actions, n, value, avp);
    expect_all_near(rp, rv, 1e-5, 1e-5, "float regret");
    std::vector<std::uint16_t> qp(actions * n);
    for (auto& x : qp) x = std::uint16_t(rng() % 65536);
    std::vector<std::uint16_t> qv = qp;
    p.update_regrets_u16(qp.data(), n, actions, n, value, avp, {}, 0.9);
    v.update_regrets_u16(qv.data(), n, actions, n, value, avp, {}, 0.9);
    expect_all_near(qp, qv, 0.0, 1.0, "16-bit regret");

    double fallback[4];
    kernels::fallback_vector(kernels::Fallback::training, actions, fallback);
    std::vector<double> sp(actions * n), sv(actions * n);
    p.current_strategy_f32(rp.data(), n, actions, n, fallback, sp.data(), n);
    v.current_strategy_f32(rp.data(), n, actions, n, fallback, sv.data(), n);
    expect_all_near(sp, sv, 0x1p-23, 0.0, "strategy");
    p.current_strategy_u16(qp.data(), n, actions, n, fallback, sp.data(), n);
    v.current_strategy_u16(qp.data(), n, actions, n, fallback, sv.data(), n);
    expect_all_near(sp, sv, 0x1p-23, 0.0, "16-bit strategy");

    // Hand-vector arithmetic: the same on both paths, bit for bit but for fused multiply-adds.
    std::vector<double> a = random_reach(rng, n), c = random_reach(rng, n), op = random_reach(rng, n);
    std::vector<std::int16_t> index(n);
    for (int i = 0; i < n; ++i) index[i] = std::int16_t((i * 7 + trial) % n);
    for (int op_kind = 0; op_kind < 7; ++op_kind) {
      std::vector<double> outp = op, outv = op;
      for (auto [set, out] : {std::pair{&p, &outp}, std::pair{&v, &outv}}) {
        double* o = out->data();
        switch (op_kind) {
          case 0: set->multiply(o, a.data(), c.data(), n); break;
          case 1: set->multiply_add(o, a.data(), c.data(), n); break;
          case 2: set->add(o, a.data(), n); break;
          case 3: set->maximum(o, a.data(), n); break;
          case 4: set->scale(o, 1.0 / 44, n); break;
          case 5: set->gather(o, a.data(), index.data(), n); break;
          case 6: set->scatter_add(o, a.data(), index.data(), n); break;
        }
      }
      if (op_kind == 1)  // the vector path may fuse the multiply-add
        expect_all_near(outp, outv, 1e-15, 0.0, "multiply-add");
      else
        ASSERT_EQ(outp, outv) << "vector op " << op_kind;
    }
    std::vector<double> zeros(n, 0.0);
    EXPECT_TRUE(p.all_zero(zeros.data(), n) && v.all_zero(zeros.data(), n));
    for (int at : {0, 15, 16, n - 1}) {
      zeros[at] = -0.5;
      EXPECT_FALSE(p.all_zero(zeros.data(), n) || v.all_zero(zeros.data(), n)) << at;
      zeros[at] = 0.0;
    }
  }
}

}  // namespace
