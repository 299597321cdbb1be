#pragma once
// The range of a player at a node: the range as set, times the player's own probabilities of
// the actions that lead there. The opponent's actions play no part.
#include <array>
#include <string>
#include <vector>

#include "solver/solver_state.h"
#include "tree/game_tree.h"
#include "tree/node_path.h"

using Ranges = std::array<std::vector<double>, 2>;

// Hand-index order, real suits. An empty path gives the range as set in `ranges` (zeros before
// set_range); otherwise the path is resolved in the tree's lines with its failures.
std::vector<double> range_at_node(const Ranges& ranges, const GameTree* tree, const SolverState& state,
                                  SchematicNode& lines, int player, const std::string& path);
// `ref` resolved in the tree's lines (a null ref.node: the range as set, the tree unread).
std::vector<double> range_at_node(const Ranges& ranges, const GameTree* tree, const SolverState& state, int player,
                                  const NodeRef& ref);
