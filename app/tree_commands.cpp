// Building, freeing and inspecting the game tree.
#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "core/settings.h"
#include "cards/game.h"
#include "tree/board_lookup.h"
#include "tree/game_tree.h"
#include "storage/value_array.h"
#include "tree/node_path.h"
#include "tree/schematic_tree.h"
#include "solver/solver.h"
#include "storage/binary_file.h"
#include "solver/tree_file.h"
#include "tree/tree_storage.h"

namespace {

void refuse_while_solving(const Session& s) {
  if (s.solver.tree_in_use()) command_error("Can't do that when solver is running");
}

std::string tree_flags_text(const GameTree* tree) {
  std::string text;
  if (!tree) return text;
  for (auto [flag, name] : {std::pair{INCOMPLETE_TREE, "INCOMPLETE_TREE"}, {ISOMORPHISM_ON, "ISOMORPHISM_ON"},
                            {NEW_TREE, "NEW_TREE"}})
    if (tree->flags & flag) text.append(text.empty() ? "" : " ").append(name);
  return text;
}

std::string node_flags_text(const Session& s, const NodeRef& ref) {
  const GameTree* tree = s.current_tree();
  std::int32_t index = ref.node->record_index;
  if (index < 0 || std::size_t(index) >= tree->nodes.size()) return "";
  const ActionNode& node = tree->nodes[std::size_t(index)];
  int chunk = 0, board = 0;
  if (!node.regrets || !value_address(node, look_up_board(*tree, ref.turn, ref.river).indices, chunk, board)) return "";
  return node.regrets->locked(chunk, board) ? "LOCKED" : "";
}

void print_node_block(const Session& s, const std::string& path, const NodeRef& ref) {
  const GameTree* tree = s.current_tree();
  double pot = s.game.root_pot();
  print_out("%s\n", path.c_str());
  print_out("%s\n", node_kind_name(ref));
  std::string board = card_mask_text(tree->flop_mask);
  for (int card : {ref.turn, ref.river})
    if (card >= 0) board.append(" ").append(card_text(card));
  print_out("%s\n", board.c_str());
  double oop = ref.node ? ref.node->invested[0] : 0, ip = ref.node ? ref.node->invested[1] : 0;
  print_out("%g %g %g\n", oop, ip, pot);
  int children = !ref.node ? 1 : ref.split ? (absolute_street(*tree, *ref.node) == 2 ? 49 : 48) : int(ref.node->children.size());
  print_out("%d children\n", children);
  if (!ref.node)
    print_out("flags: %s\n", tree_flags_text(tree).c_str());
  else if (ref.split)
    print_out("flags:\n");
  else
    print_out("flags: %s\n", node_flags_text(s, ref).c_str());
}

std::string child_path(const std::string& path, const std::string& token) {
  std::string p = path;
  p.append(":").append(token);
  return p;
}

struct StreetCounts {
  long long total = 0;
  long long street[4] = {};
  void add(int s, long long w) {
    total += w;
    street[s] += w;
  }
};

}  // namespace

void cmd_build_tree(Session& s, const Tokens& t) {
  refuse_while_solving(s);
  Notes notes;
  std::unique_ptr<GameTree> tree;
  try {
    tree = build_game_tree(s.game, *s.lines, tree_build_options(s.settings, s.compression_setting), &notes);
  } catch (...) {
    print_notes(notes);
    throw;
  }
  print_notes(notes);
  s.install_tree(std::move(tree));
  answer_ok(t);
}

void cmd_free_tree(Session& s, const Tokens& t) {
  refuse_while_solving(s);
  s.free_tree();
  answer_ok(t);
}

void cmd_dump_tree(Session& s, const Tokens& t) {
  if (t.size() < 2) argument_error();
  std::string path = join_tokens(t, 1);
  GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  try {
    // Between two iterations when the solver runs: a checkpoint to solve on from.
    CheckpointLock checkpoint;
    CommandLock lock;
    save_tree_file(*tree, s.solver_state, path);
  } catch (const IOException& e) {
    command_error(e.what());
  }
  answer_ok(t);
}

void cmd_load_tree(Session& s, const Tokens& t) {
  if (t.size() < 2) argument_error();
  refuse_while_solving(s);
  std::string path = join_tokens(t, 1);
  s.free_tree();  // the tree goes first, whatever the file holds
  Notes notes;
  try {
    load_tree_file(path, {s.game, s.lines, s.tree, s.solver_state, s.schedule}, &notes);
  } catch (const IOException& e) {
    print_notes(notes);
    command_error(e.what());
  } catch (...) {
    print_notes(notes);
    throw;
  }
  print_notes(notes);
  answer_ok(t);
}

void cmd_is_tree_present(Session& s, const Tokens&) { print_out("%s\n", s.current_tree() ? "true" : "false"); }

void cmd_show_node(Session& s, const Tokens& t) {
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, t[1]);
  print_node_block(s, t[1], ref);
  print_out("END\n");
}

void cmd_show_children(Session& s, const Tokens& t) {
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, t[1]);
  const std::string& path = t[1];
  int i = 0;
  auto child = [&](const std::string& child_path, const NodeRef& child_ref) {
    print_out("child %d:\n", i++);
    print_node_block(s, child_path, child_ref);
  };
  if (!ref.node) {
    NodeRef first = ref;
    first.node = &*s.lines;
    child("r:0", first);
  } else if (ref.split) {
    // Every card not on the flop and not already dealt: ace of spades first, down to the deuce of clubs.
    const GameTree* tree = s.current_tree();
    bool turn = absolute_street(*tree, *ref.node) == 2;
    for (int rank = 12; rank >= 0; --rank)
      for (int suit = 3; suit >= 0; --suit) {
        int card = make_card(rank, suit);
        if ((tree->flop_mask & card_bit(card)) || card == ref.turn || card == ref.river) continue;
        NodeRef c = ref;
        c.split = false;
        (turn ? c.turn : c.river) = card;
        child(child_path(path, card_text(card)), c);
      }
  } else {
    for (auto& [key, node] : ref.node->children) {
      std::string token = key > ref.node->amount ? std::string("b").append(std::to_string(int(key))) : key < 0 ? "f" : "c";
      NodeRef c{node.get(), ref.turn, ref.river, deals_card(*s.current_tree(), *ref.node, *node)};
      child(child_path(path, token), c);
    }
  }
  print_out("END\n");
}

void cmd_node_count(Session& s, const Tokens&) {
  const GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  // Counted as the full tree of a flop board: 1 per flop node, 49 per turn, 49 * 48 per river.
  const long long weight[4] = {0, 1, 49, 49 * 48};
  StreetCounts decisions[2], chance, ends;
  auto walk = [&](auto&& self, const SchematicNode& n) -> void {
    int s = tree->start_street + int(n.street);
    if (s > 3) s = 3;
    if (!n.is_leaf()) decisions[n.player].add(s, weight[s]);
    for (const auto& [key, c] : n.children) {
      if (c->street > n.street) chance.add(s, weight[s]);
      if (c->is_leaf()) ends.add(s, weight[s]);
      self(self, *c);
    }
  };
  walk(walk, *s.lines);
  auto group = [](const char* name, const StreetCounts& c) {
    print_out("%s: %lld\n", name, c.total);
    print_out("FLOP  %lld\nTURN  %lld\nRIVER  %lld\n", c.street[1], c.street[2], c.street[3]);
  };
  group("H_DEC", decisions[1]);
  group("V_DEC", decisions[0]);
  group("SPLIT", chance);
  group("END", ends);
  print_out("ROOT: 1\n");
  print_out("FLOP  %d\nTURN  %d\nRIVER %d\n", tree->start_street == 1, tree->start_street == 2, tree->start_street == 3);
  long long total = decisions[0].total + decisions[1].total + chance.total + ends.total + 1;
  print_out("TOTAL: %lld\n", total);
  print_out("END\n");
}
