#include "queries/strategy_report.h"

#include <algorithm>
#include <mutex>

#include "app/failure.h"
#include "queries/tree_hands.h"
#include "solver/kernels.h"
#include "solver/solver.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

std::vector<std::vector<double>> read_strategy(const GameTree& tree, int index, int turn, int river) {
  const ActionNode& node = tree.nodes[std::size_t(index)];
  int actions = int(node.children.size());
  NodeCards cards = cards_for_node(tree, index, turn, river);
  if ((node.street >= 2 && cards.turn < 0) || (node.street == 3 && cards.river < 0)) command_error("incorrect path");
  const CardNode* board = tree.card_node_for(cards.turn, cards.river);
  int chunk = 0, entry = 0;
  if (!board || !value_address(node, tree.card_indices_for(cards.turn, cards.river), chunk, entry))
    command_error("incorrect path");

  std::vector<double> uniform(std::size_t(std::max(actions, 1)));
  kernels::fallback_vector(kernels::Fallback::uniform, actions, uniform.data());
  std::vector<std::vector<double>> out(static_cast<std::size_t>(actions));
  std::vector<int> pos = real_positions(*board, board_suits(tree, cards.turn, cards.river));

  std::lock_guard<std::mutex> lock(solver_mutex());
  int t = tree.iterations;
  if (t < kReportCurrentFrom || !tree.storage_allocated || !node.regrets) {
    for (int a = 0; a < actions; ++a) out[std::size_t(a)].assign(kHands, uniform[std::size_t(a)]);
    return out;
  }
  int n = board->hand_count();
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
