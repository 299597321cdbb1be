#include "solver/forgetting.h"

#include <algorithm>
#include <numeric>

#include "kernels/kernels.h"
#include "storage/value_array.h"
#include "tree/board_lookup.h"
#include "tree/tree_storage.h"

namespace {

class DealCollector {
 public:
  DealCollector(const GameTree& tree, const SolverState& state, int street) : tree_(tree), street_(street) {
    averaging_ = state.averages_in_force(state.iterations);
  }

  std::vector<DealItem> run() {
    const CardNode& start = tree_.start_card_node();
    std::array<std::vector<double>, 2> reach;
    for (int p = 0; p < 2; ++p) {
      const HandList& list = start.hands(p);
      for (int i = 0; i < list.size(); ++i)
        reach[std::size_t(p)].push_back(tree_.ranges[std::size_t(p)][list.ids[std::size_t(i)]]);
    }
    int turn = tree_.start_street >= 2 ? 0 : -1, river = tree_.start_street == 3 ? 0 : -1;
    walk(0, turn, river, reach);
    return std::move(items_);
  }

 private:
  void walk(int index, int turn, int river, const std::array<std::vector<double>, 2>& reach) {
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    bool turn_deal = node.street >= 2 && turn < 0, river_deal = node.street == 3 && river < 0;
    if (turn_deal || river_deal) {
      int street = turn_deal ? 2 : 3;
      if (street == street_) {
        if (node.deal) items_.push_back({{index, turn_deal ? -1 : turn}, reach});
        return;
      }
      // A turn deal on the way to the rivers: on to every turn card node.
      const CardNode& root = *tree_.root_card;
      for (std::size_t k = 0; k < root.children.size(); ++k) walk(index, int(k), -1, deal_down(root.children[k], reach));
      return;
    }
    if (!node.is_decision()) return;
    const CardNode& board = tree_.card_node_at(turn, river);
    int player = int(node.player), n = board.hand_count(player), actions = int(node.children.size());
    int chunk = 0, entry = 0;
    value_address(node, {turn, river}, chunk, entry);
    std::vector<double> sigma(std::size_t(actions) * std::size_t(n));
    if (averaging_ && node.averages) {
      node.averages->average_strategy(chunk, entry, *node.regrets, sigma.data(), std::size_t(n));
    } else {
      std::vector<double> uniform(static_cast<std::size_t>(actions));
      kernels::fallback_vector(kernels::Fallback::uniform, actions, uniform.data());
      node.regrets->current_strategy(chunk, entry, uniform.data(), sigma.data(), std::size_t(n));
    }
    for (int a = 0; a < actions; ++a) {
      std::array<std::vector<double>, 2> child = reach;
      std::vector<double>& r = child[std::size_t(player)];
      for (int i = 0; i < n; ++i) r[std::size_t(i)] *= sigma[std::size_t(a) * std::size_t(n) + std::size_t(i)];
      walk(node.children[std::size_t(a)], turn, river, child);
    }
  }

  static std::array<std::vector<double>, 2> deal_down(const CardNode& child,
                                                      const std::array<std::vector<double>, 2>& reach) {
    std::array<std::vector<double>, 2> out;
    for (std::size_t p = 0; p < 2; ++p) {
      const std::vector<std::int16_t>& map = child.hands(int(p)).index_maps[0];
      for (std::int16_t from : map) out[p].push_back(reach[p][std::size_t(from)]);
    }
    return out;
  }

  const GameTree& tree_;
  int street_;
  bool averaging_ = false;
  std::vector<DealItem> items_;
};

double total(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

DealEntry& entry_of(GameTree& tree, const SubgameRoot& root) {
  return tree.nodes[std::size_t(root.node)].deal->entries[std::size_t(std::max(root.turn, 0))];
}

}  // namespace

std::vector<DealItem> collect_deals(const GameTree& tree, const SolverState& state, int street) {
  return DealCollector(tree, state, street).run();
}

bool forget_streets(GameTree& tree, SolverState& state, int street) {
  if (tree.has_flag(INCOMPLETE_TREE) && tree.forgotten_from > 0 && tree.forgotten_from <= street) return true;
  if (tree.start_street >= street) return true;  // no deal into it: nothing to forget
  // Current results and current values in every deal record: evaluations stand on them later.
  if (state.results.iteration != state.iterations && !evaluate_both(tree, state)) return false;
  std::vector<DealItem> items = collect_deals(tree, state, street);

  CommandLock lock;
  for (ActionNode& n : tree.nodes)
    if (n.is_decision() && int(n.street) >= street) {
      n.regrets.reset();
      n.averages.reset();
    }
  double largest = 0;
  for (const DealItem& item : items)
    for (const auto& r : item.reach) largest = std::max(largest, total(r));
  double threshold = 0.01 * largest;
  for (const DealItem& item : items) {
    DealEntry& e = entry_of(tree, item.root);
    for (std::size_t p = 0; p < 2; ++p) {
      // A deal reached this rarely keeps the range its training accumulated.
      if (total(item.reach[p]) > threshold) e.reach_sums[p] = item.reach[p];
      double sum = total(e.reach_sums[p]);
      if (sum > 0x1p-52)
        for (double& w : e.reach_sums[p]) w *= 100.0 / sum;
    }
    e.frozen = true;
  }
  tree.forgotten_from = street;
  tree.flags = (tree.flags | INCOMPLETE_TREE) & ~NEW_TREE;
  return true;
}

bool rebuild_forgotten_streets(GameTree& tree, SolverState& state) {
  if (tree.forgotten_from < 0) return true;
  CommandLock lock;
  create_missing_arrays(tree);
  state.current_strategies = {};
  if (!allocate_tree_storage(tree)) return false;
  tree.flags &= ~INCOMPLETE_TREE;
  return true;
}

bool solve_all_splits(GameTree& tree, SolverState& state, int street) {
  {
    CommandLock lock;
    if (!allocate_tree_storage(tree)) return false;
  }
  std::vector<DealItem> items = collect_deals(tree, state, street);
  std::vector<SubgameRoot> roots;
  for (const DealItem& item : items) roots.push_back(item.root);
  int kept = state.iterations;
  for (int t = 0; t < std::max(1, kept); ++t) {
    state.iterations = t;
    train_subgames(tree, state, roots);
  }
  CommandLock lock;
  for (const SubgameRoot& root : roots) entry_of(tree, root).frozen = false;
  tree.forgotten_from = -1;
  state.iterations = kept;
  state.results.iteration = -1;  // the subgames changed: the next report evaluates again
  return true;
}

bool partial_subgame(const GameTree& tree, int index, int turn_card, int river_card, PartialSubgame& out) {
  if (tree.forgotten_from < 0) return false;
  const ActionNode* node = &tree.nodes[std::size_t(index)];
  int street = int(node->street);
  if (street < tree.forgotten_from || (street >= 2 && turn_card < 0) || (street == 3 && river_card < 0)) return false;
  while (node->parent_node && int(node->parent_node->street) >= tree.forgotten_from) node = node->parent_node;
  if (!node->deal) return false;
  GameTree::CardIndices cards = look_up_board(tree, turn_card, street == 3 ? river_card : -1).indices;
  bool river_deal = node->street == 3;
  if (cards.turn < 0 || (river_deal && cards.river < 0)) return false;
  out.root = int(node - tree.nodes.data());
  out.turn = cards.turn;
  out.river = river_deal ? cards.river : -1;
  out.entry = river_deal ? cards.turn : 0;
  out.bit = river_deal ? cards.river : cards.turn;
  return true;
}

bool runout_resolved(const GameTree& tree, int index, int turn_card, int river_card) {
  PartialSubgame g;
  if (!partial_subgame(tree, index, turn_card, river_card, g)) return false;
  const DealEntry& e = tree.nodes[std::size_t(g.root)].deal->entries[std::size_t(g.entry)];
  return (e.resolved_runouts >> g.bit) & 1;
}

bool solve_partial(GameTree& tree, SolverState& state, int index, int turn_card, int river_card,
                   const std::array<double, 3>& recalc_accuracy, double& exploitability, int* iterations_done) {
  exploitability = 0;
  if (iterations_done) *iterations_done = 0;
  CommandLock lock;
  if (!allocate_tree_storage(tree)) return false;
  PartialSubgame g;
  if (!partial_subgame(tree, index, turn_card, river_card, g)) return true;
  create_missing_arrays(tree, g.root);
  state.current_strategies = {};
  if (!allocate_tree_storage(tree)) return false;

  // The ranges kept at the deal, dealt down to the subgame's card node.
  DealEntry& entry = tree.nodes[std::size_t(g.root)].deal->entries[std::size_t(g.entry)];
  const CardNode& board = tree.card_node_at(g.turn, g.river);
  std::array<std::vector<double>, 2> reach;
  for (std::size_t p = 0; p < 2; ++p) {
    const std::vector<double>& kept = entry.reach_sums[p];
    for (std::int16_t from : board.hands(int(p)).index_maps[0])
      reach[p].push_back(std::size_t(from) < kept.size() ? kept[std::size_t(from)] : 0.0);
  }
  // Trained at the size of a deal met with certainty (as train_subgames does).
  for (std::vector<double>& r : reach) {
    double sum = total(r);
    if (sum > 0)
      for (double& w : r) w /= sum;
  }
  // Hand values are weighed by both reaches: per hand pair, divide by the pairs' total weight.
  std::vector<double> compatible(reach[0].size());
  kernels::fold_values(reach[1].data(), board.hand_pair(0), 1.0, compatible.data());
  double pairs = 0;
  for (std::size_t i = 0; i < compatible.size(); ++i) pairs += reach[0][i] * compatible[i];
  double accuracy = recalc_accuracy[std::size_t(tree.nodes[std::size_t(g.root)].street) - 1];

  int kept = state.iterations;
  tree.flags &= ~INCOMPLETE_TREE;
  for (int t = 1; t <= 1000; ++t) {
    state.iterations = t - 1;
    for (int player : {1, 0})
      subgame_pass(tree, state, player, PassMode::training, g.root, g.turn, g.river, reach[std::size_t(1 - player)],
                   reach[std::size_t(player)]);
    state.iterations = t;
    if (t < 50 || t % 25 != 0) continue;
    double best = 0;
    for (int player : {0, 1})
      best += subgame_pass(tree, state, player, PassMode::evaluation, g.root, g.turn, g.river,
                           reach[std::size_t(1 - player)], reach[std::size_t(player)])
                  .best_response;
    exploitability = pairs > 0 ? best / 2 / pairs : 0;
    if (accuracy >= exploitability) break;
  }
  entry.resolved_runouts |= std::uint64_t(1) << g.bit;
  if (iterations_done) *iterations_done = state.iterations;
  state.iterations = kept;
  tree.flags |= INCOMPLETE_TREE;
  return true;
}
