#pragma once
// Where a real hand sits in the built tree. Card nodes list hands in the tree's suits; with
// suit isomorphism the suits of a board depend on its real turn and river, so every lookup goes
// through the mapping of the real cards that select the node.
#include <vector>

#include "tree/game_tree.h"
#include "tree/node_path.h"

// The mapping from real suits to the suits in which the card node of real turn/river (-1: not
// dealt) lists its hands.
SuitMapping board_suits(const GameTree& tree, int turn, int river);

// For every real hand index, its position in a card node's hand list (-1: not listed, or the
// board blocks it).
std::vector<int> real_positions(const HandList& list, const SuitMapping& suits);

// For every real hand index: true when the hand has a starting weight in the built tree for the
// player (in the player's range at build time and clear of the starting board). With the
// every-hand lists these are the listed hands that have a weight.
std::vector<bool> starting_hands(const GameTree& tree, int player);

// The action node a resolved reference names (the ROOT names the first decision). Fails with
// "missing/incorrect tree" when the lines have changed since the build so that it names none.
int action_node_index(const GameTree& tree, const NodeRef& ref);

// The real cards of a reference that the street of action node `index` uses (-1 for the rest).
struct NodeCards {
  int turn = -1;
  int river = -1;
};
NodeCards cards_for_node(const GameTree& tree, int index, int turn, int river);
