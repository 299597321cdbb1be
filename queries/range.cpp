#include "queries/range.h"

#include <algorithm>

#include "queries/strategy_report.h"
#include "queries/tree_hands.h"

namespace {

std::vector<double> range_as_set(const Ranges& ranges, int player) {
  std::vector<double> range = ranges[std::size_t(player)];
  if (range.empty()) range.assign(kHands, 0.0);
  return range;
}

}  // namespace

std::vector<double> range_at_node(const Ranges& ranges, const GameTree* tree, const SolverState& state,
                                  SchematicNode& lines, int player, const std::string& path) {
  if (path.empty()) return range_as_set(ranges, player);
  return range_at_node(ranges, tree, state, player, resolve_path(tree, lines, path));
}

std::vector<double> range_at_node(const Ranges& ranges, const GameTree* present, const SolverState& state, int player,
                                  const NodeRef& ref) {
  std::vector<double> range = range_as_set(ranges, player);
  if (!ref.node) return range;
  const GameTree& tree = *present;
  // The player's own decisions on the way down, with the action taken at each.
  std::vector<StrategyRead> reads;
  std::vector<std::size_t> actions;
  int below = action_node_index(tree, ref);
  for (int above = tree.nodes[std::size_t(below)].parent; above >= 0;
       below = above, above = tree.nodes[std::size_t(above)].parent) {
    const ActionNode& node = tree.nodes[std::size_t(above)];
    if (!node.is_decision() || int(node.player) != player) continue;
    auto it = std::find(node.children.begin(), node.children.end(), below);
    actions.push_back(std::size_t(it - node.children.begin()));
    reads.push_back({above, ref.turn, ref.river, {}});
  }
  read_strategies(tree, state, reads);
  for (std::size_t k = 0; k < reads.size(); ++k) {
    const std::vector<double>& sigma = reads[k].rows[actions[k]];
    for (int h = 0; h < kHands; ++h) range[std::size_t(h)] *= sigma[std::size_t(h)];
  }
  return range;
}
