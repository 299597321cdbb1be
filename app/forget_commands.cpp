// Forgetting streets, rebuilding them and solving their subgames again.
#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "solver/forgetting.h"
#include "tree/node_path.h"

namespace {

// The tree, when one is present and no run borrows it.
GameTree& idle_tree(Session& s) {
  GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  if (s.solver.tree_in_use()) command_error("Can't do that when solver is running");
  return *tree;
}

int street_argument(const std::string& word) {
  if (word == "turns") return 2;
  if (word == "rivers") return 3;
  argument_error();
}


}  // namespace

void cmd_forget(Session& s, const Tokens& t) {
  int street = street_argument(t[1]);
  GameTree& tree = idle_tree(s);
  if (!forget_streets(tree, s.solver_state, street)) command_error("out of memory");
  answer_ok(t);
}

void cmd_rebuild_forgotten_streets(Session& s, const Tokens& t) {
  GameTree& tree = idle_tree(s);
  if (!rebuild_forgotten_streets(tree, s.solver_state)) command_error("out of memory");
  answer_ok(t);
}

void cmd_solve_all_splits(Session& s, const Tokens& t) {
  int street = street_argument(t[1]);
  GameTree& tree = idle_tree(s);
  if (tree.has_flag(INCOMPLETE_TREE)) command_error("incomplete tree");
  if (tree.start_street >= street) argument_error();  // no deal into that street
  if (!solve_all_splits(tree, s.solver_state, street)) command_error("out of memory");
  answer_ok(t);
}

namespace {

// A partial solve at the decision node a path names: the exploitability it reached.
double partial_solve(Session& s, const Tokens& t) {
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, t[1]);
  if (!ref.node || ref.split || ref.node->is_leaf()) command_error("incorrect path");
  GameTree& tree = idle_tree(s);
  int index = ref.node->record_index;
  if (index < 0 || std::size_t(index) >= tree.nodes.size() || !tree.nodes[std::size_t(index)].is_decision())
    command_error("missing/incorrect tree");
  double exploitability = 0;
  if (!solve_partial(tree, s.solver_state, index, ref.turn, ref.river, s.settings.recalc_accuracy, exploitability)) command_error("out of memory");
  return exploitability;
}

}  // namespace

void cmd_solve_partial(Session& s, const Tokens& t) {
  partial_solve(s, t);
  answer_ok(t);
}

void cmd_explo_partial(Session& s, const Tokens& t) { print_out("%.6g\n", partial_solve(s, t)); }
