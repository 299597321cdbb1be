#include "queries/strategy_report.h"

#include <algorithm>
#include <mutex>

#include "core/failure.h"
#include "queries/tree_hands.h"
#include "kernels/kernels.h"
#include "solver/solver.h"
#include "storage/value_array.h"
#include "tree/board_lookup.h"
#include "tree/tree_storage.h"

namespace {

// Everything a read needs that does not change while the solver runs.
struct PreparedRead {
  const ActionNode* node;
  const CardNode* board;
  int chunk = 0, entry = 0;
  std::vector<double> uniform;
  std::vector<int> positions;  // real hand -> position in the board's list
};

PreparedRead prepare(const GameTree& tree, int index, int turn, int river) {
  const ActionNode& node = tree.nodes[std::size_t(index)];
  int actions = int(node.children.size());
  NodeCards cards = cards_for_node(tree, index, turn, river);
  if ((node.street >= 2 && cards.turn < 0) || (node.street == 3 && cards.river < 0)) command_error("incorrect path");
  BoardLookup board = look_up_board(tree, cards.turn, cards.river);
  int chunk = 0, entry = 0;
  if (!board.node || !value_address(node, board.indices, chunk, entry)) command_error("incorrect path");

  // Rows follow the acting player's list; hands outside it read as blocked ones.
  PreparedRead p{&node, board.node, chunk, entry, std::vector<double>(std::size_t(std::max(actions, 1))),
                 board.positions(int(node.player))};
  kernels::fallback_vector(kernels::Fallback::uniform, actions, p.uniform.data());
  return p;
}

// The read itself; the caller holds the solver mutex.
std::vector<std::vector<double>> read_locked(const GameTree& tree, const SolverState& state, const PreparedRead& p) {
  const ActionNode& node = *p.node;
  const std::vector<double>& uniform = p.uniform;
  const std::vector<int>& pos = p.positions;
  int actions = int(node.children.size()), chunk = p.chunk, entry = p.entry;
  std::vector<std::vector<double>> out(static_cast<std::size_t>(actions));
  int t = state.iterations;
  if (t < kReportCurrentFrom || !tree.storage_allocated || !node.regrets) {
    for (int a = 0; a < actions; ++a) out[std::size_t(a)].assign(kHands, uniform[std::size_t(a)]);
    return out;
  }
  int n = p.board->hand_count(int(node.player));
  std::vector<double> sigma(std::size_t(n) * std::size_t(actions));
  bool average = t >= kReportAverageFrom && node.averages;
  // River arrays may be compressed: their chunk is decoded for the read and dropped unchanged.
  bool bracket = node.street == 3;
  if (bracket) {
    node.regrets->open_chunk(chunk);
    if (average) node.averages->open_chunk(chunk);
  }
  if (average)
    node.averages->average_strategy(chunk, entry, *node.regrets, sigma.data(), std::size_t(n));
  else
    node.regrets->current_strategy(chunk, entry, uniform.data(), sigma.data(), std::size_t(n));
  if (bracket) {
    node.regrets->close_chunk(chunk, false);
    if (average) node.averages->close_chunk(chunk, false);
  }

  for (int a = 0; a < actions; ++a) {
    std::vector<double>& row = out[std::size_t(a)];
    row.assign(kHands, 0.0);
    const double* s = sigma.data() + std::size_t(a) * std::size_t(n);
    for (int h = 0; h < kHands; ++h)
      if (pos[std::size_t(h)] >= 0) row[std::size_t(h)] = s[pos[std::size_t(h)]];
  }
  return out;
}

}  // namespace

std::vector<std::vector<double>> read_strategy(const GameTree& tree, const SolverState& state, int index, int turn, int river) {
  PreparedRead p = prepare(tree, index, turn, river);
  CommandLock lock;
  return read_locked(tree, state, p);
}

void read_strategies(const GameTree& tree, const SolverState& state, std::vector<StrategyRead>& reads) {
  std::vector<PreparedRead> prepared;
  for (const StrategyRead& r : reads) prepared.push_back(prepare(tree, r.index, r.turn, r.river));
  CommandLock lock;
  for (std::size_t i = 0; i < reads.size(); ++i) reads[i].rows = read_locked(tree, state, prepared[i]);
}
