#include "tree/node_path.h"

#include <bit>
#include <vector>

#include "core/arguments.h"
#include "core/failure.h"
#include "tree/game_tree.h"

namespace {

[[noreturn]] void incorrect_path() { command_error("incorrect path"); }

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> tokens;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = path.find(':', start);
    tokens.push_back(path.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return tokens;
    start = colon + 1;
  }
}

}  // namespace

int absolute_street(const GameTree& tree, const SchematicNode& node) { return tree.start_street + int(node.street); }

bool deals_card(const GameTree& tree, const SchematicNode& node, const SchematicNode& child) {
  return child.street > node.street && absolute_street(tree, child) <= 3;
}

NodeRef resolve_path(const GameTree* tree, SchematicNode& lines, const std::string& path) {
  if (!tree) command_error("missing/incorrect tree");
  std::vector<std::string> tokens = split_path(path);
  NodeRef ref;
  ref.turn = tree->board_turn;
  ref.river = tree->board_river;
  if (tokens[0] != "r") incorrect_path();
  if (tokens.size() == 1) return ref;
  if (tokens[1] != "0") incorrect_path();
  ref.node = &lines;
  for (std::size_t i = 2; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    ref.split = false;
    SchematicNode* node = ref.node;
    SchematicNode* next = nullptr;
    if (t.empty()) incorrect_path();
    if (t[0] == 'b') {
      next = node->child(parse_double(t.substr(1)));
    } else if (t == "c") {
      next = node->child(node->amount);
      if (next && deals_card(*tree, *node, *next)) ref.split = true;
    } else if (t == "f") {
      next = node->child(kFoldKey);
    } else {
      // A card: only right after the action that ended the flop or the turn.
      if (t.size() != 2) incorrect_path();
      CardMask card = parse_cards(t);
      if (std::popcount(card) != 1) incorrect_path();
      int code = std::countr_zero(card);
      if (card & tree->flop_mask) incorrect_path();
      if (!node->parent) incorrect_path();
      int street = absolute_street(*tree, *node), parent_street = absolute_street(*tree, *node->parent);
      if (parent_street == 1 && street == 2 && ref.turn < 0 && code != ref.river) {
        ref.turn = code;
      } else if (parent_street == 2 && street == 3 && ref.river < 0 && code != ref.turn) {
        ref.river = code;
      } else {
        incorrect_path();
      }
      continue;
    }
    if (!next) incorrect_path();
    ref.node = next;
  }
  return ref;
}

const char* node_kind_name(const NodeRef& ref) {
  if (!ref.node) return "ROOT";
  if (ref.split) return "SPLIT_NODE";
  if (ref.node->is_leaf()) return "END_NODE";
  return ref.node->player == 1 ? "IP_DEC" : "OOP_DEC";
}
