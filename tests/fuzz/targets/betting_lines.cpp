// Betting lines as add_line, force_line and remove_line receive them. Each input line is one
// command: a line that starts with add_line, force_line, remove_line or clear_lines runs as it
// is, any other line is the amounts of an add_line. The merged schematic tree must hold together
// (amounts never fall along a line, folds end their line, a step moves at most one street on),
// build_tree must take it or refuse it cleanly, and in a built tree every node must be found
// again by the path of its amounts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "tree/node_path.h"
#include "tree/schematic_tree.h"

namespace {

constexpr std::size_t kMaxPathChecks = 256;

// Checks the node's subtree; returns the latest street on which it has a decision.
std::uint32_t check_node(const SchematicNode& node) {
  if (node.player > 1) std::abort();
  std::uint32_t depth = node.is_leaf() ? 0 : node.street;
  for (const auto& [key, child] : node.children) {
    if (child->parent != &node) std::abort();
    if (key == kFoldKey) {
      if (!child->is_leaf()) std::abort();
    } else if (key < node.amount || child->amount != key) {
      std::abort();
    }
    if (child->street < node.street || child->street > node.street + 1) std::abort();
    depth = std::max(depth, check_node(*child));
  }
  return depth;
}

std::string step_token(double key, const SchematicNode& parent) {
  if (key == kFoldKey) return "f";
  if (key == parent.amount) return "c";
  char text[40];
  std::snprintf(text, sizeof text, "b%.17g", key);
  return text;
}

void check_paths(const SchematicNode& node, const std::string& path, std::size_t& budget) {
  for (const auto& [key, child] : node.children) {
    if (budget == 0) return;
    --budget;
    std::string child_path = path + ":" + step_token(key, node);
    NodeRef ref = resolve_path(child_path);
    if (ref.node != child.get()) {
      std::fprintf(stderr, "path %s does not lead to its node\n", child_path.c_str());
      std::abort();
    }
    fuzz::run_tokens({"show_children", child_path});
    check_paths(*child, child_path, budget);
  }
}

bool is_line_command(const std::string& word) {
  return word == "add_line" || word == "force_line" || word == "remove_line" || word == "clear_lines";
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
  free_current_tree();
  clear_schematic_tree();
  for (const std::string& line : fuzz::input_lines(data, size)) {
    Tokens tokens = split_tokens(line);
    if (tokens.empty() || !is_line_command(tokens[0])) tokens.insert(tokens.begin(), "add_line");
    fuzz::run_tokens(tokens);
  }
  // Lines within the river are built on a river board, longer ones on a monotone turn board,
  // whose isomorphic rivers keep the card tree small (a flop board's would take most of a
  // second per input); lines past the river are refused.
  std::uint32_t last_street = check_node(schematic_root());
  fuzz::run_line(last_street == 0 ? "set_board Ks 7s 2s 5s 9d" : "set_board Ks 7s 2s 5s");
  fuzz::run_line("build_tree");
  if (!current_tree()) return 0;
  fuzz::run_line("node_count");
  fuzz::run_line("show_effective_stack");
  std::size_t budget = kMaxPathChecks;
  check_paths(schematic_root(), "r:0", budget);
  return 0;
}
