// Solver schedules: the discounted rule's weights against its published formula (names and
// parameters: protocol/schedules.case; every schedule on a river game with a known answer:
// protocol/solver_schedules_polarized.case).
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/schedule.h"

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

}  // namespace
