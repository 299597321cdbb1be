#include "tree/game_tree.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/failure.h"
#include "core/notes.h"
#include "core/settings.h"
#include "cards/game.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

ActionNode::ActionNode() = default;
ActionNode::ActionNode(ActionNode&&) noexcept = default;
ActionNode::~ActionNode() = default;

namespace {

// True when the range gives a positive weight to a hand the board leaves.
bool range_has_hand_on(const std::vector<double>& range, CardMask board) {
  for (int h = 0; h < kHands; ++h)
    if (range[std::size_t(h)] > 0 && (hand_mask(h) & board) == 0) return true;
  return false;
}

void flatten(SchematicNode& node, double key, std::int32_t parent, int start_street, double pot,
             std::vector<LineRecord>& out, std::vector<SchematicNode*>& order) {
  std::int32_t self = std::int32_t(out.size());
  order.push_back(&node);
  LineRecord r{};
  r.parent = parent;
  if (!node.is_leaf()) {
    r.kind = NodeKind::decision;
    r.player = node.player;
    r.street = std::uint32_t(start_street) + node.street;
    r.value = 0;
  } else {
    r.kind = key >= 0 ? NodeKind::showdown : NodeKind::fold;
    r.player = r.street = 0xFFFFFFFF;
    r.value = pot / 2 + node.amount;
  }
  out.push_back(r);
  for (auto& [child_key, child] : node.children) flatten(*child, child_key, self, start_street, pot, out, order);
}

int single_card(CardMask m) { return m ? std::countr_zero(m) : -1; }

}  // namespace

std::vector<LineRecord> flatten_lines(SchematicNode& root, int start_street, double pot,
                                      std::vector<SchematicNode*>& order) {
  std::vector<LineRecord> records;
  order.clear();
  flatten(root, 0, -1, start_street, pot, records, order);
  return records;
}

const CardNode& GameTree::card_node_at(int turn, int river) const {
  if (turn < 0) return *root_card;
  const CardNode& t = root_card->children[std::size_t(turn)];
  return river < 0 ? t : t.children[std::size_t(river)];
}

const CardNode& GameTree::start_card_node() const {
  return card_node_at(start_street >= 2 ? 0 : -1, start_street == 3 ? 0 : -1);
}

TreeBuildOptions tree_build_options(const Settings& s, int compression, const StoredTreeChoices* stored) {
  TreeBuildOptions options;
  options.isomorphism = s.isomorphism;
  options.all_hands = s.all_hands;
  options.compression = compression;
  options.stored = stored;
  return options;
}

std::unique_ptr<GameTree> build_game_tree(const GameDescription& g, SchematicNode& root, const TreeBuildOptions& options,
                                          Notes* notes) {
  const StoredTreeChoices* stored = options.stored;
  if (g.ranges[0].empty() || g.ranges[1].empty()) command_error("ranges not set");
  if (std::popcount(g.flop_mask) != 3) command_error("board not set");
  if (root.is_leaf()) command_error("lines not set");
  // A file being loaded keeps what it was saved with; a new build needs a pot and hands to deal.
  if (!stored) {
    if (!(g.root_pot() > 0)) command_error("pot must be positive");
    if (!range_has_hand_on(g.ranges[0], g.board_mask())) command_error("OOP range empty on this board");
    if (!range_has_hand_on(g.ranges[1], g.board_mask())) command_error("IP range empty on this board");
  }

  auto tree = std::make_unique<GameTree>();
  tree->start_street = g.river_mask ? 3 : g.turn_mask ? 2 : 1;
  tree->effective_stack = effective_stack(root);
  std::vector<SchematicNode*> order;
  std::vector<LineRecord> records = flatten_lines(root, tree->start_street, g.root_pot(), order);
  for (const LineRecord& r : records)
    if (r.kind == NodeKind::decision && r.street >= 4) command_error("invalid line");

  // Action nodes.
  tree->nodes.resize(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const LineRecord& r = records[i];
    ActionNode& n = tree->nodes[i];
    n.kind = r.kind;
    n.parent = r.parent;
    n.player = r.player;
    n.street = r.street;
    n.value = r.value;
    if (r.parent >= 0) {
      ActionNode& p = tree->nodes[std::size_t(r.parent)];
      n.parent_node = &p;
      p.children.push_back(std::int32_t(i));
      if (!n.is_decision()) {
        n.player = p.player;
        n.street = r.kind == NodeKind::showdown ? 3 : p.street;
        tree->largest_stake = std::max(tree->largest_stake, std::fabs(n.value));
      }
    }
  }
  int with_children = 0, total_children = 0;
  for (ActionNode& n : tree->nodes) {
    if (n.children.empty()) continue;
    ++with_children;
    total_children += int(n.children.size());
    tree->max_actions = std::max(tree->max_actions, int(n.children.size()));
    // Deal records where the solver deals a card: the first decision of a later street.
    bool first_of_street = n.parent_node ? n.parent_node->street < n.street : false;
    if (first_of_street && int(n.street) > tree->start_street) {
      n.deal = std::make_unique<DealRecord>();
      n.deal->entries.resize(n.street == 2 ? 1 : 49);
    }
  }
  tree->average_actions = with_children ? double(total_children) / with_children : 0;
  add_note(notes, "#actions max %d avg %.2g\n", tree->max_actions, tree->average_actions);

  // Card tree, in canonical suits when boards are merged.
  tree->flop_mask = g.flop_mask;
  tree->board_turn = single_card(g.turn_mask);
  tree->board_river = single_card(g.river_mask);
  bool isomorphism = tree->start_street < 3 && (stored ? stored->isomorphism
                                                      : options.isomorphism[std::size_t(tree->start_street - 1)]);
  if (isomorphism && !ranges_symmetric(g.board_mask(), {&g.ranges[0], &g.ranges[1]})) {
    isomorphism = false;
    add_note(notes, "#isomorphism off: the ranges differ between suits the board does not show\n");
  }
  tree->ranges = g.ranges;
  CardMask flop = g.flop_mask;
  int turn = tree->board_turn, river = tree->board_river;
  if (isomorphism) {
    tree->flags |= ISOMORPHISM_ON;
    tree->suits = canonical_suits(g.flop_mask, g.turn_mask, g.river_mask);
    flop = map_mask(flop, tree->suits);
    if (turn >= 0) turn = map_card(turn, tree->suits);
    if (river >= 0) river = map_card(river, tree->suits);
    for (auto& r : tree->ranges) r = map_range(r, tree->suits);
  }
  // Each player's card-node lists hold the hands of its range, or every hand with the setting.
  tree->all_hands = stored ? stored->all_hands : options.all_hands;
  ListedHands listed;
  if (!tree->all_hands)
    for (std::size_t p = 0; p < 2; ++p) {
      listed.in_range[p].resize(kHands);
      for (int h = 0; h < kHands; ++h) listed.in_range[p][std::size_t(h)] = tree->ranges[p][std::size_t(h)] != 0;
    }
  tree->root_card = build_card_tree(flop, turn, river, isomorphism, &listed);
  const CardNode& start = tree->start_card_node();
  add_note(notes, "#hands listed: OOP %d, IP %d\n", start.hand_count(0), start.hand_count(1));

  if (!stored) set_up_new_tree_storage(*tree, options.compression, notes);
  // Paths reach action nodes through these indexes: written only now that nothing can refuse the
  // build, so a refused build leaves every path of the current tree as it was.
  for (std::size_t i = 0; i < order.size(); ++i) order[i]->record_index = std::int32_t(i);
  tree->inputs = g;
  tree->lines = copy_lines(root);
  return tree;
}
