// Solver schedules: the discounted rule's weights against its published formula, and every
// schedule against river games with known answers (names and parameters: protocol/schedules.case).
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/schedule.h"
#include "spot_fixture.h"

namespace {

// dcfr keeps (k-1)^a / ((k-1)^a + 1) of the regrets before iteration k, and its average weighs
// the j-th iteration since the last restart (1, 4, 16: powers of 4) by j^g against the first.
TEST(Schedule, DcfrWeightsFollowThePublishedFormula) {
  const double alpha = 1.5, gamma = 2;
  double first = 0;
  for (int k = 1; k <= 20; ++k) {
    IterationWeights w = schedule_weights(dcfr_schedule(alpha, 0, gamma), k);
    int j = k - (k >= 16 ? 15 : k >= 4 ? 3 : 0);
    EXPECT_EQ(w.average_restart, j == 1) << k;
    first = j == 1 ? w.average_weight : first;
    EXPECT_NEAR(w.average_weight / first, std::pow(j, gamma), 1e-9) << k;
    EXPECT_NEAR(w.regret_discount, k == 1 ? 1 : std::pow(k - 1, alpha) / (std::pow(k - 1, alpha) + 1), 1e-12) << k;
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
      s.solver_state.schedule = schedule;
      for (int i = 0; i < 2000; ++i) run_iteration(tree, s.solver_state);
      ASSERT_TRUE(evaluate_both(tree, s.solver_state));
      double expl = s.solver_state.results.exploitability;
      EXPECT_LT(expl, 0.5);
      double call = 100 / (100 + bet);
      EXPECT_NEAR(s.solver_state.results.ev[0] + 50, 2 * (100 + bet * call) / 5, expl + 0.05);
    }
  }
}

}  // namespace
