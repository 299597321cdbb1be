#pragma once
// Forgetting streets: dropping the per-node data of the turn or the river (and what lies below)
// while keeping the flop data, the results and, at every deal into the forgotten street, both
// players' ranges; re-creating empty storage for them; and solving each subgame below those
// deals again on its own, against the ranges kept there.
//
// None of these may overlap a solver run (the callers refuse while one runs).
#include <array>
#include <vector>

#include "solver/solver.h"
#include "tree/game_tree.h"

struct DealItem {
  SubgameRoot root;
  std::array<std::vector<double>, 2> reach;  // per player, over the board before the deal
};

// Every deal into `street` (2 or 3) with both players' reach as the evaluation strategies
// bring it there from the starting ranges; a river deal once per turn card node.
std::vector<DealItem> collect_deals(const GameTree& tree, const SolverState& state, int street);

// Drops the data of `street` and later. False when the evaluation that must precede it cannot
// have its storage. A street at or after one already forgotten changes nothing.
bool forget_streets(GameTree& tree, SolverState& state, int street);

// Empty, allocated arrays for every forgotten node; clears INCOMPLETE_TREE. False when the
// memory cannot be had.
bool rebuild_forgotten_streets(GameTree& tree, SolverState& state);

// Solves every subgame below the deals into `street` again, as many repetitions as the tree
// state has iterations (at least one), with the weighted reach kept at each deal; then the deals'
// ranges are free again and nothing counts as forgotten. False when storage cannot be had.
bool solve_all_splits(GameTree& tree, SolverState& state, int street);

// Where a node's forgotten data would be solved again: the first node of the forgotten street
// on its path (the deal into it) and the card node indexes of the subgame (a river deal: one
// river board; a turn deal: one turn card with its rivers). False when the node is not on a
// forgotten street or the reference lacks a card its street needs.
struct PartialSubgame {
  int root = 0;
  int turn = -1, river = -1;
  int entry = 0;  // the root's deal entry
  int bit = 0;    // the runout's bit in the entry's re-solved mask
};
bool partial_subgame(const GameTree& tree, int index, int turn_card, int river_card, PartialSubgame& out);

// True when the runout a reference selects below a forgotten deal has been solved again.
bool runout_resolved(const GameTree& tree, int index, int turn_card, int river_card);

// Solves the subgame of one runout below a forgotten deal again, against the ranges kept at the
// deal, until the exploitability (chips per hand pair) is at most the street's recalculation
// accuracy (recalc_accuracy, per flop/turn/river; checked every 25 iterations from the 50th) or 1,000 iterations are done. The
// state's iteration count is unchanged. The result is the exploitability reached, 0 when there
// is nothing forgotten to solve. False when storage cannot be had.
bool solve_partial(GameTree& tree, SolverState& state, int index, int turn_card, int river_card,
                   const std::array<double, 3>& recalc_accuracy, double& exploitability,
                   int* iterations_done = nullptr);
