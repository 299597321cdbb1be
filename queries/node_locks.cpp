#include "queries/node_locks.h"

#include <algorithm>

#include "solver/solver.h"
#include "storage/value_array.h"
#include "tree/board_lookup.h"
#include "tree/tree_storage.h"

namespace {

// Real cards a street's card can be under the reference: the given one, the board's fixed one,
// or every card the board and the other given card leave.
std::vector<int> candidate_cards(const GameTree& tree, int given, int fixed, int other) {
  if (given >= 0) return {given};
  if (fixed >= 0) return {fixed};
  std::vector<int> cards;
  for (int c = 0; c < 52; ++c)
    if (!(tree.flop_mask & card_bit(c)) && c != other && c != tree.board_turn) cards.push_back(c);
  return cards;
}

void mark_results_stale(SolverState& state) { state.results.iteration = -1; }

}  // namespace

NodeBoards boards_of_reference(const GameTree& tree, int index, int turn, int river) {
  NodeBoards out;
  out.node = index;
  const ActionNode& node = tree.nodes[std::size_t(index)];
  std::vector<int> turns = node.street >= 2 ? candidate_cards(tree, turn, tree.board_turn, -1) : std::vector<int>{-1};
  for (int t : turns) {
    std::vector<int> rivers =
        node.street == 3 ? candidate_cards(tree, river, tree.board_river, t) : std::vector<int>{-1};
    for (int r : rivers) {
      if (r == t && r >= 0) continue;
      NodeBoards::Board b;
      BoardLookup found = look_up_board(tree, t, r);
      if (!found.node || !value_address(node, found.indices, b.chunk, b.board)) continue;
      bool seen = std::any_of(out.boards.begin(), out.boards.end(), [&](const NodeBoards::Board& o) {
        return o.chunk == b.chunk && o.board == b.board;
      });
      if (seen) continue;
      b.turn = t;
      b.river = r;
      out.boards.push_back(b);
    }
  }
  return out;
}

void set_node_locked(GameTree& tree, SolverState& state, const NodeBoards& target, bool locked) {
  CommandLock lock;
  ActionNode& node = tree.nodes[std::size_t(target.node)];
  for (const NodeBoards::Board& b : target.boards)
    for (NodeValueArray* array : {node.regrets.get(), node.averages.get()}) {
      if (!array) continue;
      std::uint32_t& flags = array->flags(b.chunk, b.board);
      flags = locked ? (flags | kLockedFlag) : (flags & ~kLockedFlag);
    }
  mark_results_stale(state);
}

bool set_node_strategy_row(GameTree& tree, SolverState& state, const NodeBoards& target, int action, const std::vector<double>& weights) {
  CommandLock lock;
  if (!allocate_tree_storage(tree)) return false;
  ActionNode& node = tree.nodes[std::size_t(target.node)];
  int player = int(node.player);
  bool averaging = state.averages_in_force(state.iterations);
  NodeValueArray* averages = averaging ? node.averages.get() : nullptr;
  for (const NodeBoards::Board& b : target.boards) {
    BoardLookup board = look_up_board(tree, b.turn, b.river);
    std::vector<int> positions = board.positions(player);
    std::vector<double> row(std::size_t(board.node->hand_count(player)), 0.0);
    for (int h = 0; h < kHands; ++h)
      if (positions[std::size_t(h)] >= 0) row[std::size_t(positions[std::size_t(h)])] = weights[std::size_t(h)] * 1000.0;
    // River arrays may be compressed: the chunk is decoded, changed and coded again.
    node.regrets->open_chunk(b.chunk);
    node.regrets->set_row(b.chunk, b.board, action, row.data());
    node.regrets->close_chunk(b.chunk, true);
    if (averages) {
      std::vector<double> zeros(row.size(), 0.0);
      averages->open_chunk(b.chunk);
      averages->set_row(b.chunk, b.board, action, zeros.data());
      averages->close_chunk(b.chunk, true);
    }
  }
  mark_results_stale(state);
  return true;
}
