// Locking nodes and imposing strategies.
#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/hand_order.h"
#include "queries/tree_hands.h"
#include "queries/node_locks.h"
#include "tree/node_path.h"

namespace {

// The boards a path to a decision node addresses.
NodeBoards decision_boards(Session& s, const std::string& path) {
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, path);
  if (!ref.node || ref.split || ref.node->is_leaf()) command_error("incorrect path");
  GameTree& tree = *s.current_tree();
  int index = action_node_index(tree, ref);
  if (!tree.nodes[std::size_t(index)].is_decision()) command_error("incorrect path");
  NodeBoards target = boards_of_reference(tree, index, ref.turn, ref.river);
  if (target.boards.empty()) command_error("incorrect path");
  return target;
}


}  // namespace

void cmd_lock_node(Session& s, const Tokens& t) {
  NodeBoards target = decision_boards(s, t[1]);
  set_node_locked(*s.current_tree(), s.solver_state, target, true);
  answer_ok(t);
}

void cmd_unlock_node(Session& s, const Tokens& t) {
  NodeBoards target = decision_boards(s, t[1]);
  set_node_locked(*s.current_tree(), s.solver_state, target, false);
  answer_ok(t);
}

void cmd_set_strategy(Session& s, const Tokens& t) {
  NodeBoards target = decision_boards(s, t[1]);
  GameTree& tree = *s.current_tree();
  int action = parse_int(t[2]);
  if (action < 0 || std::size_t(action) >= tree.nodes[std::size_t(target.node)].children.size())
    command_error("invalid child index");
  // Every weight parses before anything is written.
  std::vector<double> weights(kHands);
  for (int p = 0; p < kHands; ++p) weights[order_to_hand[std::size_t(p)]] = parse_double(t[std::size_t(p) + 3]);
  if (!set_node_strategy_row(tree, s.solver_state, target, action, weights)) command_error("out of memory");
  answer_ok(t);
}
