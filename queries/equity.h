#pragma once
// Showdown equity against a weighted opponent range, averaged over the cards still to come,
// and the strength order of hands that the readable reports list by.
#include <string>
#include <vector>

#include "tree/game_tree.h"

struct EquityVectors {
  // Per real hand index: the average of +1 (win), -1 (loss), 0 (tie) over the opponent's weights
  // and the runouts, and the weight of the hand in averages over hands. NaN where the hand has no
  // starting weight in the tree for the player.
  std::vector<double> difference;
  std::vector<double> weight;
};

// From the card node of real turn/river (-1: deal it; the board's fixed cards are always used)
// over every real runout below, each real card once. own and opp are per real hand index. The
// weight is F * (opponent weight the hand can meet on the starting board) * own, F = 1,980 from
// the flop, 44 from a turn and 1 on a river. Hands the starting board blocks get 0 and 0.
// Without a built tree (null) both vectors are 0.
EquityVectors showdown_equity(const GameTree* tree, int player, int turn, int river, const std::vector<double>& own,
                              const std::vector<double>& opp);

// Hand-order positions of the hands with a starting weight for the player to act at the path's
// node ("r" read as "r:0"), strongest first against a uniform opponent range on the node's
// board; equal strength keeps hand order. The path is resolved in the tree's lines.
std::vector<int> strength_order(const GameTree* tree, SchematicNode& lines, const std::string& path);
