#include "solver/solver_state.h"

#include <limits>

#include "tree/game_tree.h"

void SolverState::renew(const GameTree* tree) {
  average_mode = 1;
  params = {};
  if (tree) {
    params.stake_scale = tree->largest_stake > 0 ? params.stake_scale_numerator / tree->largest_stake : 1.0;
    if (tree->start_street > 1) {
      params.averaging_exponent = 4.0;
      params.averaging_cap = std::numeric_limits<double>::max();
    }
  }
  schedule = {};
  restart_values();
  run = nullptr;
}

void SolverState::restart_values() {
  iterations = 0;
  schedule_origin = 0;
  results = {};
  for (auto& v : root_values) v.clear();
  current_strategies = {};
}
