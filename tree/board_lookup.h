#pragma once
// From real cards to tree terms. Card nodes list hands in the tree's suits; with suit
// isomorphism the suits of a board depend on its real turn and river, so reports, locks, EVs
// and tree files find a board's card node, child indexes and suit mapping here, once per board.
#include <vector>

#include "tree/game_tree.h"

struct BoardLookup {
  const CardNode* node = nullptr;      // nullptr: the tree holds no such board
  GameTree::CardIndices indices;       // the card node as child indexes (-1 above its level)
  SuitMapping suits = kIdentitySuits;  // real suits -> the suits the card node lists hands in

  // For every real hand index, its position in the player's list here (-1: not listed, or the
  // board blocks it). Needs a node.
  std::vector<int> positions(int player) const;
};

// The board of real turn and river cards (-1: not dealt; the lookup stops at the level above).
BoardLookup look_up_board(const GameTree& tree, int turn, int river);
