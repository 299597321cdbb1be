#pragma once
// Locks and imposed strategies at decision nodes. A lock fixes a node's strategy on a board:
// training leaves its rows alone and both best responses play it. The data of a reference are
// those of one card node - with suit isomorphism the class of runouts it stands for - or, when
// the reference does not give the card of the node's street, of every card node of that street
// below the path ("the turn bet" means the bet on every turn card).
//
// The operations take the solver mutex between passes and mark the solver state's results stale, so
// they are safe while the solver runs; a change made during a run counts from the next pass.
#include <vector>

#include "solver/solver_state.h"
#include "tree/game_tree.h"

struct NodeBoards {
  struct Board {
    int chunk = 0, board = 0;  // value address in the node's arrays
    int turn = -1, river = -1;  // real cards of one runout that reaches it
  };
  int node = 0;
  std::vector<Board> boards;  // each card node once
};

// The boards of decision node `index` that a reference with real cards turn/river (-1: not
// given) addresses.
NodeBoards boards_of_reference(const GameTree& tree, int index, int turn, int river);

void set_node_locked(GameTree& tree, SolverState& state, const NodeBoards& target, bool locked);

// Writes the row of `action` on every target board from 1,326 weights in real hand-index
// order: each listed hand of the acting player takes 1000 times its weight (hands outside the
// list are ignored); while averaging is active the action's average row becomes zeros. False
// when the tree's storage cannot be had (nothing is written then).
bool set_node_strategy_row(GameTree& tree, SolverState& state, const NodeBoards& target, int action, const std::vector<double>& weights);
