#pragma once
// Per-hand expected values at a node. A hand's EV is its expected share of the pot plus later
// winnings given that the node is reached with it, against the opponent's range as it reaches
// the node; its weight is the joint mass with which it reaches the node, so that the weighted
// average over hands is the player's EV there (at the first decision, the EV of the results).
#include <vector>

#include "solver/solver_state.h"
#include "tree/game_tree.h"
#include "tree/node_path.h"

struct EvVectors {
  // Per real hand index, net of the player's half of the pot. NaN where the hand has no starting
  // weight in the tree for the player, and where nothing is averaged (0/0).
  std::vector<double> ev;
  std::vector<double> weight;
};

// The EV at the reference's node and cards. Cards the node's street needs but the reference
// leaves open (a split node, a path that skips a card) are averaged over, each real card once;
// the weight is then the mass of reaching the chance node. At the first decision the values of
// the last evaluation are used, after bringing the state's results up to date.
EvVectors node_ev(GameTree& tree, SolverState& state, int player, const NodeRef& ref);

// The EV of the node's line of actions averaged over every dealt card up to the path's street:
// the EVs of all those deals averaged with their weights; the weight is the sum over the deals.
EvVectors line_ev(GameTree& tree, SolverState& state, int player, const NodeRef& ref);
