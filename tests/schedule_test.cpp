// Solver schedules: the discounted rule against its published formula on a toy node, and every
// schedule against river games with known answers (names and parameters: protocol/schedules.case).
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/schedule.h"
#include "storage/value_array.h"
#include "spot_fixture.h"

namespace {

// Two actions, four hands, one board: one decision node's regrets and averages, plain.
struct ToyNode {
  std::shared_ptr<const ValueLayout> layout = ValueLayout::make(2, {{4}});
  PlainValueArray32 regrets{layout}, averages{layout};
  ToyNode() {
    EXPECT_TRUE(regrets.allocate());
    EXPECT_TRUE(averages.allocate());
  }
};

// The engine's increment of an instantaneous regret d: sign(d) |d|^0.75.
double increment(double d) { return (d < 0 ? -1 : 1) * std::pow(std::fabs(d), 0.75); }

// Over six iterations (an average restart at 4 among them), dcfr's kept regrets follow
// R_k = max(0, R_(k-1) (k-1)^a / ((k-1)^a + 1) + r_k) and its average strategy is the sum of
// the strategies, the sum multiplied by ((j-1)/j)^g before the j-th iteration of the average
// adds its own; powers of 4 restart the average (k = 4 is its j = 1 again).
TEST(Schedule, DcfrWeightsFollowThePublishedFormula) {
  const double alpha = 1.5, gamma = 2;
  SolverSchedule s = dcfr_schedule(alpha, 0, gamma);
  ToyNode node;
  // Per iteration: the values of the node and its two actions for hands 0..3, and the strategy.
  const double node_value[4] = {0, 0, 0, 0};
  double expected_r[2][4] = {}, expected_s[2][4] = {};
  for (int k = 1; k <= 6; ++k) {
    double v0[4], v1[4], sigma[8];
    for (int h = 0; h < 4; ++h) {
      v0[h] = std::sin(k + h) * 3;  // signs change from iteration to iteration
      v1[h] = std::cos(2 * k - h) * 2;
      sigma[h] = 0.1 * (k + h) / (1 + 0.1 * (k + h));
      sigma[4 + h] = 1 - sigma[h];
    }
    // The published rule, computed here.
    double discount = k == 1 ? 1 : std::pow(k - 1, alpha) / (std::pow(k - 1, alpha) + 1);
    // The average restarts as a new one: its iterations count again from 1 (j).
    int j = k >= 4 ? k - 3 : k;
    double average_discount = j == 1 ? 0 : std::pow((j - 1.0) / j, gamma);
    for (int h = 0; h < 4; ++h) {
      expected_r[0][h] = std::max(0.0, expected_r[0][h] * discount + increment(v0[h]));
      expected_r[1][h] = std::max(0.0, expected_r[1][h] * discount + increment(v1[h]));
      for (int a = 0; a < 2; ++a) expected_s[a][h] = expected_s[a][h] * average_discount + sigma[a * 4 + h];
    }
    // The schedule's weights applied as the traversal applies them.
    IterationWeights w = schedule_weights(s, k);
    EXPECT_EQ(w.average_restart, k == 1 || k == 4) << k;
    node.regrets.discount(0, 0, w.regret_discount);
    const double* rows[2] = {v0, v1};
    node.regrets.update_regrets(0, 0, node_value, rows, {}, 1.0);
    if (w.average_restart) node.averages.discount(0, 0, 0.0);
    const double reach[4] = {1, 1, 1, 1};
    node.averages.accumulate_average(0, 0, sigma, 4, reach, w.average_weight);

    for (int a = 0; a < 2; ++a)
      for (int h = 0; h < 4; ++h)
        EXPECT_NEAR(*(node.regrets.row(0, 0, a) + h), expected_r[a][h], 1e-4 * (1 + expected_r[a][h])) << k;
    double average[8];
    node.averages.average_strategy(0, 0, node.regrets, average, 4);
    for (int h = 0; h < 4; ++h)
      EXPECT_NEAR(average[h], expected_s[0][h] / (expected_s[0][h] + expected_s[1][h]), 1e-6) << k;
  }
}

struct ScheduleGames : SpotFixture {};

// A polarized bettor (two nut straights, three air hands) against one bluff-catcher, pot 100,
// one bet of B: the catcher calls P/(P+B), air makes up B/(P+2B) of the bets, and the bettor's
// share is 2 (P + B P/(P+B)) / 5.
TEST_F(ScheduleGames, EveryScheduleSolvesThePolarizedRiverBets) {
  const SolverSchedule schedules[] = {SolverSchedule{}, dcfr_schedule(), discounted_schedule()};
  for (double bet : {100.0, 50.0}) {
    for (const SolverSchedule& schedule : schedules) {
      SCOPED_TRACE(describe_schedule(schedule) + " bet " + std::to_string(bet));
      restart();
      board("As Ks Qd 7c 2h");
      range(0, "JcTc JdTd 5c4c 5d4d 6c4c");
      range(1, "8s8h");
      line({0, 0});
      line({bet});
      GameTree& tree = build();
      tree.schedule = schedule;
      for (int i = 0; i < 2000; ++i) run_iteration(tree);
      ASSERT_TRUE(evaluate_both(tree));
      double expl = tree.results.exploitability;
      EXPECT_LT(expl, 0.5);
      double call = 100 / (100 + bet);
      EXPECT_NEAR(tree.results.ev[0] + 50, 2 * (100 + bet * call) / 5, expl + 0.05);
    }
  }
}

}  // namespace
