#pragma once
// What a report asks of the built tree about real hands and resolved paths (a board's card
// node and hand positions come from tree/board_lookup.h).
#include <vector>

#include "tree/game_tree.h"
#include "tree/node_path.h"

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
