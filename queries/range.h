#pragma once
// The range of a player at a node: the range as set, times the player's own probabilities of
// the actions that lead there. The opponent's actions play no part.
#include <string>
#include <vector>

#include "tree/node_path.h"

// Hand-index order, real suits. An empty path gives the range as set (zeros before set_range);
// otherwise the path is resolved with its failures.
std::vector<double> range_at_node(int player, const std::string& path);
std::vector<double> range_at_node(int player, const NodeRef& ref);
