#pragma once
// What solving a tree has reached and runs with, apart from the tree's own node data (regrets,
// averages, deal records): the parameters, the iteration count, the schedule, the last results
// and root values, and the strategies kept between passes. The session owns one beside its
// tree and renews it whenever the tree is built, loaded, freed or has its storage re-created, so
// the two never disagree; the solver, tree files and queries are given it with the tree.
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "kernels/schedule.h"

struct GameTree;
class SolverControl;

struct SolverParameters {
  double stake_scale_numerator = 125.0;
  double stake_scale = 1.0;
  double averaging_exponent = 1.5;
  double averaging_cap = 262143.0;
  int averaging_delay = 60;
  int iteration_cap = 9000;
};

// Results of the last evaluate_both, net of each player's half of the pot.
struct TreeResults {
  double mes[2] = {0, 0};
  double ev[2] = {0, 0};
  double exploitability = 0;
  int iteration = -1;
};

// The current strategies of a river-start tree's decisions, kept by the solver between passes:
// a player's regrets change only in its own passes, so the rows matched in the opponent's pass
// serve the player's next pass unchanged. Per node, rows over its player's list and the
// player's regret version they were matched from (0: none).
struct CurrentStrategies {
  std::vector<std::vector<double>> rows;
  std::vector<std::uint64_t> versions;
  std::array<std::uint64_t, 2> regret_versions{1, 1};  // grown by each training pass of the player
  std::uint64_t command_epoch = 0;  // commands seen (any of them may have written regrets)
};

struct SolverState {
  SolverState() = default;
  SolverState(const SolverState&) = delete;
  SolverState& operator=(const SolverState&) = delete;

  int average_mode = 1;
  SolverParameters params;
  std::atomic<int> iterations{0};  // grown by the solver thread, read by commands
  // The solver schedule the tree is solved with, and the iteration count when it took over:
  // the schedule's iteration k is iterations - schedule_origin + 1 (re-solves of subgames that
  // count from 0 below the origin use iterations + 1).
  SolverSchedule schedule;
  int schedule_origin = 0;
  int schedule_iteration(int t) const { return t >= schedule_origin ? t - schedule_origin + 1 : t + 1; }
  // Whether evaluation plays the average strategies (and updates reach them) at iteration count t.
  bool averages_in_force(int t) const {
    if (average_mode != 1) return average_mode == 2;
    if (t > params.averaging_delay) return true;
    return !schedule.standard() && schedule_iteration(t) > 1;
  }
  TreeResults results;
  // Per player, the hand values at the start board from the last evaluation (start list order).
  std::array<std::vector<double>, 2> root_values;
  CurrentStrategies current_strategies;
  // The control whose run solves with this state (null when none): its passes report their
  // progress to it once a stop is requested.
  std::atomic<SolverControl*> run{nullptr};

  // A new state for `tree` (null: no tree): everything back to its start, the parameters those
  // of the tree's stakes and start street.
  void renew(const GameTree* tree);
  // The tree's values were created anew: the count, results and kept strategies start again
  // (the schedule stays, counted from 0).
  void restart_values();
};
