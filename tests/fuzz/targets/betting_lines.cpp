// Betting lines as add_line, force_line and remove_line receive them. Each input line is one
// command: a line that starts with add_line, force_line, remove_line or clear_lines runs as it
// is, any other line is the amounts of an add_line. The merged schematic tree must hold together
// (amounts never fall along a line, folds end their line, a step moves at most one street on),
// build_tree must take it or refuse it cleanly, and in a built tree every node must be found
// again by the path of its amounts.
#include <algorithm>
#include <set>

#include "fuzz_support.h"
#include "tree/node_path.h"
#include "tree/schematic_tree.h"

namespace {

// Checks the node's subtree; returns the latest street on which it has a decision.
std::uint32_t check_node(const SchematicNode& node) {
  FUZZ_CHECK(node.player <= 1);
  std::uint32_t depth = node.is_leaf() ? 0 : node.street;
  for (const auto& [key, child] : node.children) {
    FUZZ_CHECK(child->parent == &node && child->street >= node.street && child->street <= node.street + 1);
    FUZZ_CHECK(key == kFoldKey ? child->is_leaf() : key >= node.amount && child->amount == key);
    depth = std::max(depth, check_node(*child));
  }
  return depth;
}

// Each child resolves by the path of its amounts; at most `budget` of them.
void check_paths(const SchematicNode& node, const std::string& path, std::size_t& budget) {
  for (const auto& [key, child] : node.children) {
    if (budget == 0) return;
    --budget;
    char step[40];
    std::snprintf(step, sizeof step, "b%.17g", key);
    std::string child_path = path + ":" + (key == kFoldKey ? "f" : key == node.amount ? "c" : step);
    FUZZ_CHECK(resolve_path(fuzz::session().current_tree(), *fuzz::session().lines, child_path).node == child.get());
    fuzz::run_tokens({"show_children", child_path});
    check_paths(*child, child_path, budget);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  fuzz::run_line("set_isomorphism 1 1");
  fuzz::run_line("set_pot 0 0 100");
  fuzz::set_uniform_ranges();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> kLineCommands = {"add_line", "force_line", "remove_line", "clear_lines"};
  Session& s = fuzz::session();
  s.free_tree();
  s.clear_lines();
  for (const std::string& line : fuzz::input_lines(data, size)) {
    Tokens tokens = split_tokens(line);
    if (tokens.empty() || !kLineCommands.count(tokens[0])) tokens.insert(tokens.begin(), "add_line");
    fuzz::run_tokens(tokens);
  }
  // Lines within the river are built on a river board, longer ones on a monotone turn board,
  // whose isomorphic rivers keep the card tree small (a flop board's would take most of a
  // second per input); lines past the river are refused.
  fuzz::run_line(check_node(*s.lines) == 0 ? "set_board Ks 7s 2s 5s 9d" : "set_board Ks 7s 2s 5s");
  fuzz::run_line("build_tree");
  if (!s.current_tree()) return 0;
  fuzz::run_line("node_count");
  fuzz::run_line("show_effective_stack");
  std::size_t budget = 256;
  check_paths(*s.lines, "r:0", budget);
  return 0;
}
