#include "tree/tree_storage.h"

#include <map>
#include <tuple>

#include "storage/value_array.h"

std::vector<std::vector<int>> boards_of_street(const GameTree& tree, int street, int player) {
  std::vector<std::vector<int>> chunks;
  const CardNode& root = *tree.root_card;
  if (street == 1) return {{root.hand_count(player)}};
  for (const CardNode& turn : root.children) {
    if (street == 2) {
      chunks.push_back({turn.hand_count(player)});
      continue;
    }
    std::vector<int> rivers;
    for (const CardNode& river : turn.children) rivers.push_back(river.hand_count(player));
    chunks.push_back(std::move(rivers));
  }
  return chunks;
}

bool value_address(const ActionNode& node, GameTree::CardIndices cards, int& chunk, int& board) {
  chunk = board = 0;
  if (node.street >= 2) {
    if (cards.turn < 0) return false;
    chunk = cards.turn;
  }
  if (node.street == 3) {
    if (cards.river < 0) return false;
    board = cards.river;
  }
  return true;
}

std::uint64_t uncompressed_need(const GameTree& tree) {
  std::uint64_t values = 0;
  for (const ActionNode& n : tree.nodes) {
    if (!n.is_decision()) continue;
    std::int64_t hands = 0;
    for (const auto& chunk : boards_of_street(tree, int(n.street), int(n.player)))
      for (int count : chunk) hands += ValueLayout::padded(count);
    values += std::uint64_t(hands) * n.children.size();
  }
  return values * (2 + 4);
}

namespace {

// Arrays for the decision nodes that `wanted` selects. Rows follow the acting player's lists:
// one layout per (street, actions, player).
template <class Wanted>
void make_arrays(GameTree& tree, StoragePair pair, Wanted wanted) {
  std::map<std::tuple<int, int, int>, std::shared_ptr<const ValueLayout>> layouts;
  bool river_start = tree.start_street == 3;
  for (ActionNode& n : tree.nodes) {
    if (!n.is_decision() || !wanted(n)) continue;
    int street = int(n.street), actions = int(n.children.size()), player = int(n.player);
    auto& layout = layouts[{street, actions, player}];
    if (!layout) layout = ValueLayout::make(actions, boards_of_street(tree, street, player));
    if (street < 3) {
      // Flop and turn values are plain floats, never compressed.
      n.regrets = make_value_array(StorageForm::plain, false, layout);
      n.averages = make_value_array(StorageForm::plain, false, layout);
    } else {
      n.regrets = river_start ? make_value_array(StorageForm::plain, false, layout) : make_value_array(pair.first, true, layout);
      n.averages = make_value_array(pair.second, false, layout);
    }
  }
}

}  // namespace

void create_storage(GameTree& tree, StoragePair pair) {
  make_arrays(tree, pair, [&](const ActionNode& n) { return !tree.forgotten(n); });
  // Forgotten nodes lose what partial solves gave them: those arrays had the old forms.
  for (ActionNode& n : tree.nodes)
    if (n.is_decision() && tree.forgotten(n)) {
      n.regrets.reset();
      n.averages.reset();
      if (n.deal)
        for (DealEntry& e : n.deal->entries) e.resolved_runouts = 0;
    }
  tree.storage_forms = {int(pair.first), int(pair.second)};
  tree.storage_allocated = false;
  reset_storage_statistics();
}

void create_missing_arrays(GameTree& tree, int subtree) {
  StoragePair pair{StorageForm(tree.storage_forms[0]), StorageForm(tree.storage_forms[1])};
  const ActionNode* top = subtree >= 0 ? &tree.nodes[std::size_t(subtree)] : nullptr;
  auto below = [&](const ActionNode& n) {
    for (const ActionNode* a = &n; a; a = a->parent_node)
      if (a == top) return true;
    return top == nullptr;
  };
  make_arrays(tree, pair, [&](const ActionNode& n) { return !n.regrets && below(n); });
  tree.storage_allocated = false;
}

void set_up_new_tree_storage(GameTree& tree, int compression_setting, Notes* notes) {
  int level = level_for_new_tree(compression_setting, uncompressed_need(tree), notes);
  tree.compression_level = level;
  create_storage(tree, storage_pair_for_level(level, tree.start_street == 1));
}

bool apply_compression(GameTree* tree, int compression_setting, Notes* notes) {
  if (!tree) return false;
  int level = compression_setting;
  if (level == kAutoCompression) {
    // The need is measured on plain storage.
    create_storage(*tree, {});
    level = choose_auto_compression(uncompressed_need(*tree), notes);
  }
  tree->compression_level = level;
  create_storage(*tree, storage_pair_for_level(level, tree->start_street == 1));
  reset_storage_statistics();
  return true;
}
