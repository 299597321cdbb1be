#include "queries/tree_hands.h"

#include "solver/forgetting.h"

#include "core/failure.h"

std::vector<bool> starting_hands(const GameTree& tree, int player) {
  const CardNode& start = tree.start_card_node();
  const std::vector<double>& range = tree.ranges[std::size_t(player)];
  std::vector<bool> in(kHands, false);
  for (int h = 0; h < kHands; ++h) {
    int mapped = map_hand(h, tree.suits);
    in[std::size_t(h)] = start.hands(player).position_of_hand[std::size_t(mapped)] >= 0 && range[std::size_t(mapped)] != 0;
  }
  return in;
}

int action_node_index(const GameTree& tree, const NodeRef& ref) {
  if (!ref.node) return 0;
  int index = ref.node->record_index;
  if (index < 0 || std::size_t(index) >= tree.nodes.size() ||
      tree.nodes[std::size_t(index)].children.size() != ref.node->children.size())
    command_error("missing/incorrect tree");
  // Forgotten nodes have no data to report from until they are rebuilt.
  if (tree.forgotten(tree.nodes[std::size_t(index)]) && !runout_resolved(tree, index, ref.turn, ref.river))
    command_error("incomplete tree");
  return index;
}

NodeCards cards_for_node(const GameTree& tree, int index, int turn, int river) {
  std::uint32_t street = tree.nodes[std::size_t(index)].street;
  return {street >= 2 ? turn : -1, street == 3 ? river : -1};
}
