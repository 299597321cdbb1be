// Every kernel, on the plain and the vector path, against one simple reference on seeded random
// inputs, and the two paths against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cards/cards.h"
#include "kernels/kernels.h"

using kernels::KernelSet;
using Values = std::vector<double>;

namespace {

// A board's hand list with made-up strengths, ascending, with its showdown classes, random
// suit groups of 1..3 hands inside each class, and the per-card lanes.
struct TestBoard {
  std::string name;
  std::vector<std::uint16_t> cards;
  std::vector<int> strength;
  std::vector<std::uint16_t> classes, groups;
  kernels::CardLanes lanes;

  kernels::BoardHands view(bool with_lanes = true) const { return {cards, classes, groups, with_lanes ? &lanes : nullptr}; }
  int size() const { return int(cards.size()); }
  CardMask mask(int h) const { return card_bit(cards[h] & 0xFF) | card_bit(cards[h] >> 8); }
  // Classes (and, with `rng`, groups) from the strengths; then the lanes.
  void finish(std::mt19937* rng) {
    classes.clear(), groups.clear();
    for (int h = 0, end; h < size(); h = end) {
      for (end = h; end < size() && strength[end] == strength[h];) ++end;
      classes.push_back(std::uint16_t(end - h));
      for (int g = h, n; rng != nullptr && g < end; g += n) groups.push_back(std::uint16_t(n = std::min(end - g, 1 + int((*rng)() % 3))));
    }
    lanes = kernels::make_card_lanes(cards, classes);
  }
};

// Every hand not touching a random board of `board_cards`, with strengths from `levels` values
// (few levels give many ties).
TestBoard make_board(std::mt19937& rng, int board_cards, int levels) {
  CardMask board = 0;
  while (std::popcount(board) < board_cards) board |= card_bit(int(rng() % kCards));
  std::vector<std::pair<int, std::uint16_t>> hands;
  for (int hi = 1; hi < kCards; ++hi)
    for (int lo = 0; lo < hi; ++lo)
      if (!(board & (card_bit(lo) | card_bit(hi)))) hands.push_back({int(rng() % levels), std::uint16_t(lo | hi << 8)});
  std::stable_sort(hands.begin(), hands.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  TestBoard b;
  b.name = std::to_string(board_cards) + " cards, " + std::to_string(levels) + " levels";
  for (const auto& [s, c] : hands) b.strength.push_back(s), b.cards.push_back(c);
  b.finish(&rng);
  return b;
}

// The hands of `full` that `keep` picks (no groups).
template <class Keep>
TestBoard subset(const TestBoard& full, const std::string& name, Keep keep) {
  TestBoard b;
  b.name = name;
  for (int h = 0; h < full.size(); ++h)
    if (keep(h)) b.cards.push_back(full.cards[h]), b.strength.push_back(full.strength[h]);
  b.finish(nullptr);
  return b;
}

Values random_reach(std::mt19937& rng, int n, double zero_share = 0.2) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Values r(n);
  for (double& x : r) x = u(rng) < zero_share ? 0.0 : u(rng);
  return r;
}

bool all_zero(const Values& v) { return std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; }); }

// O(n * m): every own hand (positions `own` in `b`) against every opponent hand (`opp`) that
// shares no card with it; stakes at or below the kernel's threshold give zero.
Values reference(const TestBoard& b, const std::vector<int>& own, const std::vector<int>& opp, const Values& reach,
                 double payoff, bool showdown) {
  double total = 0;
  for (double r : reach) total += r > 0 ? payoff * r : 0;
  Values values(own.size(), 0.0);
  if (!(std::fabs(total) > (showdown ? kernels::kShowdownThreshold : kernels::kFoldThreshold))) return values;
  for (std::size_t i = 0; i < own.size(); ++i)
    for (std::size_t j = 0; j < opp.size(); ++j) {
      int h = own[i], o = opp[j];
      if (!(reach[j] > 0) || (b.mask(h) & b.mask(o))) continue;
      if (!showdown || b.strength[o] < b.strength[h]) values[i] += payoff * reach[j];
      if (showdown && b.strength[o] > b.strength[h]) values[i] -= payoff * reach[j];
    }
  return values;
}
Values reference(const TestBoard& b, const Values& reach, double payoff, bool showdown) {
  std::vector<int> all(std::size_t(b.size()));
  std::iota(all.begin(), all.end(), 0);
  return reference(b, all, all, reach, payoff, showdown);
}

template <class T>
void expect_near(const std::vector<T>& a, const std::vector<T>& b, double relative, double absolute, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
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
};

// --- One board's payoffs ---------------------------------------------------------------------

// Boards of 3, 4 and 5 cards with many ties or almost none, partial lists (the per-card lists
// differ in length and padding must count nothing), every hand with no board, a handful of
// hands, one class, strength runs that stop short of the list, and a list that repeats a hand
// (no lanes: the per-card sums serve); the last two only against the kernel's own sweep. Grouped
// boards: a group's value is its first hand's value under the spread reach. No reach: nothing.
TEST_P(KernelPaths, BoardPayoffsMatchThePairwiseReference) {
  std::mt19937 rng(11);
  std::vector<TestBoard> boards;
  for (int trial = 0; trial < 9; ++trial) boards.push_back(make_board(rng, 3 + trial % 3, trial < 3 ? 3 : trial < 6 ? 40 : 5000));
  for (int trial = 0; trial < 4; ++trial)
    boards.push_back(subset(make_board(rng, 5, trial % 2 ? 20 : 900), "partial list", [&](int h) { return rng() % 5 < 2 || h < 3; }));
  boards.push_back(make_board(rng, 0, 700));
  ASSERT_GT(boards.back().lanes.groups, 0);
  boards.push_back(subset(make_board(rng, 5, 4), "five hands", [](int h) { return h == 0 || h == 7 || h == 300 || h == 301 || h == 1000; }));
  boards.push_back(make_board(rng, 5, 1));
  std::size_t own_sweep = boards.size();
  boards.push_back(make_board(rng, 4, 2));  // one run, then hands outside every run
  boards.back().classes.pop_back();
  TestBoard repeated = make_board(rng, 5, 40);
  for (int copy = 0; copy < 60; ++copy, ++repeated.classes.back())
    repeated.cards.push_back(repeated.cards.back()), repeated.strength.push_back(repeated.strength.back());
  repeated.groups.clear();
  boards.push_back(repeated);
  for (std::size_t i = own_sweep; i < boards.size(); ++i) boards[i].lanes = kernels::make_card_lanes(boards[i].cards, boards[i].classes);
  EXPECT_EQ(boards.back().lanes.groups, 0);

  for (std::size_t i = 0; i < boards.size(); ++i) {
    const TestBoard& b = boards[i];
    SCOPED_TRACE(b.name);
    int n = b.size(), groups = int(b.groups.size());
    double payoff = i % 2 ? 37.5 : -12.25, tol = 2.5e-9 * std::fabs(payoff) * n;
    for (const Values& reach : {random_reach(rng, n), Values(n, 0.0)}) {
      Values showdown_ref = reference(b, reach, payoff, true), fold_ref = reference(b, reach, -2.5 * payoff, false);
      if (i >= own_sweep)
        k().showdown_values(reach.data(), b.view(false), payoff, showdown_ref.data()),
            k().fold_values(reach.data(), b.view(false), -2.5 * payoff, fold_ref.data());
      for (bool lanes : {true, false}) {
        SCOPED_TRACE(lanes ? "lanes" : "card sums");
        Values values(n, 99.0), fold(n, 99.0), both(n, 99.0), both_fold(n, 99.0);
        k().showdown_values(reach.data(), b.view(lanes), payoff, values.data());
        k().fold_values(reach.data(), b.view(lanes), -2.5 * payoff, fold.data());
        k().showdown_and_fold_values(reach.data(), b.view(lanes), payoff, -2.5 * payoff, both.data(), both_fold.data());
        for (const Values* v : {&values, &both}) expect_near(showdown_ref, *v, 0.0, tol, "showdown");
        for (const Values* v : {&fold, &both_fold}) expect_near(fold_ref, *v, 0.0, tol, "fold");
      }
    }
    if (b.groups.empty() || b.name.rfind("5 cards", 0) != 0) continue;
    for (const Values& group_reach : {random_reach(rng, groups, 0.3), Values(groups, 0.0)}) {
      Values spread(n), per_group(groups, 99.0);
      kernels::spread_group_reach(group_reach.data(), b.view(), spread.data());
      for (bool showdown : {false, true}) {
        Values per_hand = reference(b, spread, 7.0, showdown);
        (showdown ? k().showdown_values_grouped : k().fold_values_grouped)(group_reach.data(), b.view(), 7.0, per_group.data());
        for (int g = 0, h = 0; g < groups; h += b.groups[g++]) ASSERT_NEAR(per_group[g], per_hand[h], 1e-9 * n) << showdown << " group " << g;
      }
    }
  }
}

// --- Regret matching, averages and updates -------------------------------------------------

// Each hand's strategy is a distribution: the shares of the positive regrets (within the vector
// path's float division), the fallback where none is positive (or only below the smallest normal
// float); pure shares stay exact. Averages normalise the sums, the current strategy where there
// are none; a weight of 0 accumulates nothing.
TEST_P(KernelPaths, StrategiesAreRegretSharesWithFallback) {
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
    Values sigma(actions * n), sigma16(actions * n);
    k().current_strategy_f32(rf.data(), stride, actions, n, fallback, sigma.data(), n);
    k().current_strategy_u16(r16.data(), stride, actions, n, fallback, sigma16.data(), n);
    for (int h = 0; h < n; ++h) {
      double sum = 0, sum16 = 0;
      for (int a = 0; a < actions; ++a) sum += rf[a * stride + h], sum16 += r16[a * stride + h];
      for (int a = 0; a < actions; ++a) {
        double expected = sum >= 0x1p-126 ? rf[a * stride + h] / sum : fallback[a];
        double expected16 = sum16 > 0 ? r16[a * stride + h] / sum16 : fallback[a];
        ASSERT_NEAR(sigma[a * n + h], expected, (plain() ? 1e-15 : 0x1p-23) + 1e-7) << actions << " actions, hand " << h;
        ASSERT_NEAR(sigma16[a * n + h], expected16, plain() ? 1e-15 : 0x1p-23) << actions << " actions, hand " << h;
        ASSERT_TRUE((expected16 != 1.0 && expected16 != 0.0) || sigma16[a * n + h] == expected16) << "pure stays exact";
      }
    }
  }
  float sums[6] = {1, 0, 0, 3, 0, 0}, acc[6] = {1, 2, 3, 4, 5, 6};  // [action * 3 + hand]; hand 2 has no average
  double sigma[6] = {0.5, 0.5, 0.25, 0.5, 0.5, 0.75}, averaged[6] = {0.25, 0.5, 0.25, 0.75, 0.5, 0.75};
  double play[6] = {0.5, 1, 0, 0.5, 0, 1}, reach[3] = {2, 0, 0.25};
  k().average_strategy(sums, 3, 2, 3, sigma, 3), k().accumulate_average(acc, 3, 2, 3, play, 3, reach, 0.0);
  EXPECT_TRUE(std::equal(sigma, sigma + 6, averaged) && std::equal(acc, acc + 6, std::array<float, 6>{1, 2, 3, 4, 5, 6}.begin()));
  k().accumulate_average(acc, 3, 2, 3, play, 3, reach, 3.0);
  const float added[6] = {4, 2, 3, 7, 5, 6.75};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(acc[i], added[i]) << i;
}

// Updates move regrets by sign(d) |d|^0.75 (16-bit: in stake-scale units, truncated), clamped to
// the element's range (floats at 0); with the class table every showdown class holds the
// truncated mean of its updates.
TEST_P(KernelPaths, RegretUpdatesClampAndAverageOverClasses) {
  double zero[4] = {0, 0, 1, 0}, act[4] = {16, 16, 1, -16};
  const double* ap[1] = {act};
  float r[4] = {0, 3, 5, 3};
  k().update_regrets_f32(r, 4, 1, 4, zero, ap);
  const float expected[4] = {8, 11, 5, 0};
  for (int h = 0; h < 4; ++h) EXPECT_NEAR(r[h], expected[h], 11 * (plain() ? 0.0 : 2e-6)) << h;
  // d, start, expected at a stake scale of 0.5 (d = 40 gives 9 units).
  const double cases[][3] = {{1.9, 7, 7}, {-1.9, 7, 7}, {2.001, 0, 1}, {100, 65530, 65535}, {-100, 10, 0},
                             {300, 65535, 65535}, {-500, 3, 0}, {40, 100, 109}, {-40, 100, 91}, {0, 42, 42}};
  int n = int(std::size(cases));
  Values node(n, 0.0), d(n);
  std::vector<std::uint16_t> r16(n);
  for (int h = 0; h < n; ++h) d[h] = cases[h][0], r16[h] = std::uint16_t(cases[h][1]);
  const double* dp[1] = {d.data()};
  k().update_regrets_u16(r16.data(), n, 1, n, node.data(), dp, {}, 0.5);
  for (int h = 0; h < n; ++h) EXPECT_NEAR(r16[h], cases[h][2], 1) << "d " << cases[h][0];

  std::mt19937 rng(13);
  TestBoard b = make_board(rng, 5, 200);
  n = b.size();
  std::uniform_real_distribution<double> u(-200, 200);
  Values value(n), rows(2 * n);
  for (double& x : value) x = u(rng);
  for (double& x : rows) x = u(rng);
  const double* action_values[2] = {rows.data(), rows.data() + n};
  std::vector<std::uint16_t> plain_update(2 * n);
  for (auto& x : plain_update) x = std::uint16_t(rng() % 65536);
  std::vector<std::uint16_t> with_table = plain_update;
  k().update_regrets_u16(plain_update.data(), n, 2, n, value.data(), action_values, {}, 125.0 / 180);
  k().update_regrets_u16(with_table.data(), n, 2, n, value.data(), action_values, b.classes, 125.0 / 180);
  for (int a = 0; a < 2; ++a)
    for (int h = 0; std::uint16_t size : b.classes) {
      std::uint32_t sum = 0;
      for (int i = h; i < h + size; ++i) sum += plain_update[a * n + i];
      for (int i = h; i < h + size; ++i) ASSERT_EQ(with_table[a * n + i], sum / size) << "action " << a << " hand " << i;
      h += size;
    }
}

// Schedules that keep negative regrets: positive kept regrets are multiplied by c, negative ones
// by c_neg, the increment (negative ones times m = 0.7) added with no clip; signed 16-bit rows
// round to the nearest unit and clamp to their range, and regret matching reads the positive
// parts only.
TEST_P(KernelPaths, SignedRegretsKeepAndDecayTheirNegativePart) {
  auto step = [](double d) { return (d < 0 ? -0.7 : 1) * std::pow(std::fabs(d), 0.625); };
  double node[4] = {0, 0, 1, 0}, act[4] = {16, -16, 1, 81};
  const double* ap[1] = {act};
  float r[4] = {-10, 4, -3, 2};
  k().update_regrets_f32_signed(r, 4, 1, 4, node, ap, 0.5, 0.6, 0.7);
  const double expected[4] = {-6 + step(16), 2 + step(-16), -1.8, 1 + step(81)};
  for (int h = 0; h < 4; ++h) EXPECT_NEAR(r[h], expected[h], 1e-5) << h;
  // d, start at a stake scale of 0.5 (|d| < 2 adds nothing), c 0.5, c_neg 0.6; the last two clamp.
  const double cases[][2] = {{0, -10}, {0, 7}, {0, -5}, {40, -100}, {-40, -100}, {-40, 3}, {1.9, -1}, {-1e8, -32000}, {1e7, 32767}};
  int n = int(std::size(cases));
  Values zero(n, 0.0), d(n);
  std::vector<std::int16_t> rows(n);
  for (int h = 0; h < n; ++h) d[h] = cases[h][0], rows[h] = std::int16_t(cases[h][1]);
  const double* dp[1] = {d.data()};
  k().update_regrets_s16(rows.data(), n, 1, n, zero.data(), dp, {}, 0.5, 0.5, 0.6, 0.7);
  for (int h = 0; h < n; ++h) {
    double start = cases[h][1], added = std::fabs(d[h]) < 2 ? 0 : std::trunc(std::clamp(step(0.5 * d[h]), -65535.0, 65535.0));
    EXPECT_EQ(rows[h], std::clamp(std::nearbyint(start * (start > 0 ? 0.5 : 0.6) + added), -32768.0, 32767.0)) << "d " << d[h];
  }
  std::vector<std::int16_t> two(2 * n);
  std::vector<std::uint16_t> positive(2 * n);
  for (int h = 0; h < n; ++h) two[h] = rows[h], two[n + h] = rows[n - 1 - h];
  for (int i = 0; i < 2 * n; ++i) positive[i] = std::uint16_t(std::max<int>(two[i], 0));
  Values sigma(2 * n), expected_sigma(2 * n);
  double fallback[2] = {0.5, 0.5};
  k().current_strategy_s16(two.data(), n, 2, n, fallback, sigma.data(), n);
  k().current_strategy_u16(positive.data(), n, 2, n, fallback, expected_sigma.data(), n);
  EXPECT_EQ(sigma, expected_sigma);
}

// --- Two players' lists ------------------------------------------------------------------

// Two lists of one board as the card tree makes them: each a subsequence of their union, which
// carries the classes and the lanes. A list as long as the union is the union itself;
// `positions` runs the payoffs on the two lists themselves instead of on the union.
struct TestPair {
  TestBoard all;
  std::vector<std::int16_t> own, opp;  // positions in `all`
  kernels::PairPositions positions;

  kernels::HandPair view(bool on_lists = false) const {
    auto list = [&](const std::vector<std::int16_t>& l) {
      return l.size() == std::size_t(all.size()) ? std::span<const std::int16_t>() : std::span<const std::int16_t>(l);
    };
    return {all.view(), list(own), list(opp), int(own.size()), int(opp.size()), on_lists ? &positions : nullptr};
  }
  Values reference(const Values& reach, double payoff, bool showdown) const {
    return ::reference(all, {own.begin(), own.end()}, {opp.begin(), opp.end()}, reach, payoff, showdown);
  }
};

// Two lists of one board's hands in a shape: random, no own hand, no opponent hand, one hand each,
// disjoint, identical, own inside the opponent's.
TestPair random_pair(std::mt19937& rng, const TestBoard& full, int shape) {
  int n = full.size();
  std::vector<bool> own(n), opp(n);
  for (int h = 0; h < n; ++h) {
    bool a = rng() % 4 == 0, b = rng() % 3 == 0;
    std::pair<bool, bool> shapes[] = {{a, b}, {false, b}, {a, false}, {h == n / 2, h == n / 3}, {a && h % 2 == 0, b && h % 2 == 1}, {a, a}, {a, a || b}};
    own[h] = shapes[shape].first, opp[h] = shapes[shape].second;
  }
  TestPair t;
  t.all = subset(full, "union", [&](int h) { return own[h] || opp[h]; });
  for (int h = 0, at = 0; h < n; at += own[h] || opp[h], ++h) {
    if (own[h]) t.own.push_back(std::int16_t(at));
    if (opp[h]) t.opp.push_back(std::int16_t(at));
  }
  std::vector<std::uint16_t> cards[2];
  std::vector<std::uint32_t> strengths[2];
  for (int side = 0; side < 2; ++side)
    for (std::int16_t i : side ? t.opp : t.own)
      cards[side].push_back(t.all.cards[std::size_t(i)]), strengths[side].push_back(std::uint32_t(t.all.strength[std::size_t(i)]));
  t.positions = kernels::make_pair_positions(cards[0], strengths[0], cards[1], strengths[1]);
  return t;
}

// Showdown, fold, both at once, and an opponent's fold and call summed (each against its own
// share of the reach, some shares 0), on the union and on the two lists; no write past the list.
TEST_P(KernelPaths, TwoListPayoffsMatchPairwiseReference) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 28; ++trial) {
    TestPair t = random_pair(rng, make_board(rng, 3 + trial % 3, trial % 2 ? 4 : 3000), trial % 7);
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + std::to_string(t.own.size()) + " own, " +
                 std::to_string(t.opp.size()) + " opponent hands of " + std::to_string(t.all.size()));
    std::size_t m = t.own.size(), o = t.opp.size();
    Values reach = random_reach(rng, int(o)), fold_share(o), call_share(o), fold_reach(reach), call_reach(reach);
    double payoff = trial % 3 ? 17.25 : -4.5, tol = 3e-9 * std::fabs(payoff) * (t.all.size() + 1);
    for (std::size_t j = 0; j < o; ++j) {
      fold_share[j] = rng() % 4 == 0 ? 0.0 : std::uniform_real_distribution<double>(0, 1)(rng);
      call_share[j] = rng() % 4 == 0 ? 0.0 : 1.0 - fold_share[j];
      fold_reach[j] *= fold_share[j], call_reach[j] *= call_share[j];
    }
    Values expected = t.reference(reach, payoff, true), expected_fold = t.reference(reach, -2 * payoff, false);
    Values summed = t.reference(call_reach, payoff, true), folded = t.reference(fold_reach, -2 * payoff, false);
    for (std::size_t i = 0; i < m; ++i) summed[i] += folded[i];
    for (bool on_lists : {false, true}) {
      SCOPED_TRACE(on_lists ? "on the two lists" : "on the union");
      kernels::HandPair view = t.view(on_lists);
      Values values(m + 1, 99.0), fold(m, 0.0), both(m + 1, 99.0), pair(m, 0.0), pair_fold(m, 0.0);
      kernels::showdown_values(k(), reach.data(), view, payoff, values.data());
      kernels::fold_plus_showdown_values(k(), reach.data(), fold_share.data(), call_share.data(), view, payoff, -2 * payoff, both.data());
      EXPECT_TRUE(values.back() == 99.0 && both.back() == 99.0) << "wrote past the own list";
      values.pop_back(), both.pop_back();
      expect_near(expected, values, 0.0, tol, "showdown");
      expect_near(summed, both, 0.0, tol, "fold plus showdown");
      kernels::fold_values(k(), reach.data(), view, -2 * payoff, fold.data());
      kernels::showdown_and_fold_values(k(), reach.data(), view, payoff, -2 * payoff, pair.data(), pair_fold.data());
      expect_near(expected, pair, 0.0, tol, "showdown of the pair");
      for (const Values* v : {&fold, &pair_fold}) expect_near(expected_fold, *v, 0.0, tol, "fold");
    }
  }
}

// On the union (the board kernels) and on the two lists: a showdown whose stakes vanish beside a
// fold that does not (on the lists the fold's card sums then come from lanes that are summed but
// not kept), a showdown payoff of 0, and an opponent without reach.
TEST_P(KernelPaths, TwoListPayoffsAtTheThresholds) {
  std::mt19937 rng(41);
  TestPair t = random_pair(rng, make_board(rng, 5, 3000), 0);
  std::size_t n = t.own.size(), o = t.opp.size();
  for (bool on_lists : {false, true}) {
    SCOPED_TRACE(on_lists ? "on the two lists" : "on the union");
    kernels::HandPair view = t.view(on_lists);
    Values tiny(o, 1e-42), showdown(n, 99.0), fold(n, 99.0), expected(n), summed(n, 99.0);
    Values ones(o, 1.0), zeros(o, 0.0), none(o, -1.0), reach = random_reach(rng, int(o));  // non-positive reach counts as none
    kernels::showdown_and_fold_values(k(), tiny.data(), view, 1.0, 1e10, showdown.data(), fold.data());
    EXPECT_TRUE(all_zero(showdown));
    kernels::fold_values(k(), tiny.data(), view, 1e10, expected.data());
    EXPECT_EQ(fold, expected);
    Values reference = t.reference(tiny, 1e10, false);
    ASSERT_NE(reference[0], 0.0);
    expect_near(reference, fold, 1e-12, 0.0, "fold of a vanishing reach");
    kernels::fold_plus_showdown_values(k(), tiny.data(), ones.data(), zeros.data(), view, 1.0, 1e10, summed.data());
    EXPECT_EQ(summed, expected);  // a call share of 0: the fold alone, bit for bit
    kernels::showdown_and_fold_values(k(), reach.data(), view, 0.0, -3.0, showdown.data(), fold.data());
    EXPECT_TRUE(all_zero(showdown));
    kernels::fold_values(k(), reach.data(), view, -3.0, expected.data());
    expect_near(expected, fold, 1e-12, 0.0, "fold beside a zero showdown payoff");
    kernels::fold_plus_showdown_values(k(), none.data(), ones.data(), ones.data(), view, 5.0, -5.0, summed.data());
    kernels::showdown_and_fold_values(k(), none.data(), view, 5.0, -5.0, showdown.data(), fold.data());
    EXPECT_TRUE(all_zero(summed) && all_zero(showdown) && all_zero(fold));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelPaths, ::testing::Values("plain", "avx2"), [](const auto& info) { return info.param; });

// --- The two paths on the same inputs ------------------------------------------------------

// Hand counts that are and are not multiples of the vector width. Each path's own result for
// a hand does not depend on how many hands follow it: the vector path's blocks of 8 match its
// blocks in a longer list bit for bit, and its tail matches the plain path.
TEST(KernelPathAgreement, VectorPathMatchesPlainPathForEveryHandCount) {
  if (kernels::avx2_kernels() == nullptr) GTEST_SKIP() << "no AVX2/FMA";
  const KernelSet &p = kernels::plain_kernels(), &v = *kernels::avx2_kernels();
  EXPECT_EQ(&kernels::active_kernels(), &v);
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> u(-30.0, 30.0);
  const int full = 1080, actions = 3;
  Values values(full * (actions + 1));
  for (double& x : values) x = u(rng);
  std::vector<float> f32(actions * full);
  for (float& x : f32) x = float(std::fabs(u(rng)));
  std::vector<std::uint16_t> u16(actions * full);
  for (auto& x : u16) x = std::uint16_t(rng() % 65536);
  // Updates over the first n hands of every row (regret matching of each path against the
  // regrets' shares, its tail included: StrategiesAreRegretSharesWithFallback).
  // Signed rows: the same regrets with every other one negative.
  std::vector<float> signed32 = f32;
  for (std::size_t i = 0; i < signed32.size(); i += 2) signed32[i] = -signed32[i];
  std::vector<std::int16_t> s16(u16.size());
  for (std::size_t i = 0; i < s16.size(); ++i) s16[i] = std::int16_t(u16[i]);
  struct Out { std::vector<float> r, rs; std::vector<std::uint16_t> q; std::vector<std::int16_t> qs; };
  auto run = [&](const KernelSet& set, int n) {
    Out o{f32, signed32, u16, s16};
    const double* av[actions] = {&values[full], &values[2 * full], &values[3 * full]};
    set.update_regrets_f32(o.r.data(), full, actions, n, values.data(), av);
    set.update_regrets_u16(o.q.data(), full, actions, n, values.data(), av, {}, 0.9);
    set.update_regrets_f32_signed(o.rs.data(), full, actions, n, values.data(), av, 0.75, 0.6, 0.7);
    set.update_regrets_s16(o.qs.data(), full, actions, n, values.data(), av, {}, 0.9, 0.75, 0.6, 0.7);
    return o;
  };
  Out all = run(v, full);
  for (int n : {1, 7, 8, 9, 15, 16, 17, 64, 1079, 1080}) {
    SCOPED_TRACE(n);
    Out o1 = run(p, n), o2 = run(v, n);
    for (int a = 0; a < actions; ++a)
      for (int h = 0; h < n; ++h) {
        std::size_t i = std::size_t(a * full + h);
        bool block = h < n / 8 * 8;
        ASSERT_TRUE(o2.r[i] == (block ? all.r : o1.r)[i] && o2.q[i] == (block ? all.q : o1.q)[i]) << a << " " << h;
        ASSERT_TRUE(o2.rs[i] == (block ? all.rs : o1.rs)[i] && o2.qs[i] == (block ? all.qs : o1.qs)[i]) << a << " " << h;
        ASSERT_TRUE(std::fabs(o2.r[i] - o1.r[i]) <= 1e-5 * (1 + o1.r[i]) && std::abs(o2.q[i] - o1.q[i]) <= 1) << a << " " << h;
        ASSERT_TRUE(std::fabs(o2.rs[i] - o1.rs[i]) <= 1e-5 * (1 + std::fabs(o1.rs[i])) &&
                    std::abs(o2.qs[i] - o1.qs[i]) <= 1)
            << a << " " << h;
      }
  }

  for (int trial = 0; trial < 6; ++trial) {
    TestBoard b = make_board(rng, 3 + trial % 3, trial % 2 ? 25 : 3000);
    int n = b.size();
    // Two-list payoffs: the same operations in the same order, so identical bits; both payoffs,
    // the showdown alone and the fold alone (which keeps no lane sums).
    TestPair t = random_pair(rng, b, 0);
    Values r = random_reach(rng, int(t.opp.size()));
    std::size_t m = t.own.size();
    std::vector<Values> out(4, Values(m));
    for (int mode = 0; mode < 3; ++mode) {
      auto o = [&](int i) { return (mode == 1 && i % 2) || (mode == 2 && i % 2 == 0) ? nullptr : out[i].data(); };
      p.pair_payoffs(r.data(), t.positions, 3.25, o(0), -7.5, o(1));
      v.pair_payoffs(r.data(), t.positions, 3.25, o(2), -7.5, o(3));
      EXPECT_TRUE(out[0] == out[2] && out[1] == out[3]) << "mode " << mode;
    }
    // Hand-vector arithmetic: the same on both paths, bit for bit but for fused multiply-adds.
    Values a = random_reach(rng, n), c = random_reach(rng, n), op = random_reach(rng, n);
    std::vector<std::int16_t> index(n);
    for (int i = 0; i < n; ++i) index[i] = std::int16_t((i * 7 + trial) % n);
    const std::function<void(const KernelSet&, double*)> ops[] = {
        [&](auto& set, double* o) { set.multiply_add(o, a.data(), c.data(), n); },  // may fuse: first
        [&](auto& set, double* o) { set.multiply(o, a.data(), c.data(), n); },
        [&](auto& set, double* o) { set.add(o, a.data(), n); }, [&](auto& set, double* o) { set.maximum(o, a.data(), n); },
        [&](auto& set, double* o) { set.scale(o, 1.0 / 44, n); }, [&](auto& set, double* o) { set.gather(o, a.data(), index.data(), n); },
        [&](auto& set, double* o) { set.scatter_add(o, a.data(), index.data(), n); }};
    for (std::size_t i = 0; i < std::size(ops); ++i) {
      Values outp = op, outv = op;
      ops[i](p, outp.data()), ops[i](v, outv.data());
      expect_near(outp, outv, i == 0 ? 1e-15 : 0.0, 0.0, "vector op " + std::to_string(i));
    }
    Values zeros(n, 0.0);
    EXPECT_TRUE(p.all_zero(zeros.data(), n) && v.all_zero(zeros.data(), n));
    for (int at : {0, 15, 16, n - 1}) {
      zeros[at] = -0.5;
      EXPECT_FALSE(p.all_zero(zeros.data(), n) || v.all_zero(zeros.data(), n)) << at;
      zeros[at] = 0.0;
    }
  }
}

}  // namespace
