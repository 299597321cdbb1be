#pragma once
// The strategy of a decision node as the reports read it. Early in a solve the regrets say
// little and the averages are empty, so the reports show uniform play before iteration 25 and
// the current strategy before iteration 63; from then on the average strategy.
#include <vector>

#include "solver/solver_state.h"
#include "tree/game_tree.h"

constexpr int kReportCurrentFrom = 25;
constexpr int kReportAverageFrom = 63;

// Per action of decision node `index`, the acting player's probability for every real hand
// (hand-index order) on the board of the real cards turn/river; cards below the node's street
// are ignored. Once solver data are read, hands the board blocks get 0. Holds the solver mutex
// while reading. Fails with "incorrect path" when the node's street needs a card not given.
std::vector<std::vector<double>> read_strategy(const GameTree& tree, const SolverState& state, int index, int turn, int river);

// Several reads under one hold of the solver mutex, so that they see one moment of the solve.
struct StrategyRead {
  int index;  // action node
  int turn, river;
  std::vector<std::vector<double>> rows;  // filled
};
void read_strategies(const GameTree& tree, const SolverState& state, std::vector<StrategyRead>& reads);
