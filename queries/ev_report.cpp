#include "queries/ev_report.h"

#include <cmath>
#include <limits>
#include <map>
#include <mutex>

#include "core/failure.h"
#include "queries/tree_hands.h"
#include "kernels/kernels.h"
#include "solver/solver.h"
#include "tree/board_lookup.h"

namespace {

// Per real hand, summed over deals: own reach x values (weight x EV), own reach x opponent mass
// (weight), values, and opponent mass (for hands the player never brings to the node).
struct EvSums {
  std::vector<double> weighted_values = std::vector<double>(kHands, 0.0);
  std::vector<double> weight = std::vector<double>(kHands, 0.0);
  std::vector<double> values = std::vector<double>(kHands, 0.0);
  std::vector<double> mass = std::vector<double>(kHands, 0.0);
};

struct Deal {
  int turn, river;  // real cards, -1 where the node's street deals none
};

// The values at the start board from the last evaluation (the caller holds the solver mutex).
bool root_query(const GameTree& tree, const SolverState& state, int player, NodeQuery& q) {
  const CardNode& start = tree.start_card_node();
  const std::vector<double>& values = state.root_values[std::size_t(player)];
  if (values.size() != std::size_t(start.hand_count(player))) return false;
  q.board = &start;
  q.values = values;
  q.own_reach = tree.start_weights[std::size_t(player)];
  q.opponent_reach = tree.normalised_weights[std::size_t(1 - player)];
  return true;
}

// Whether a decision below the node starts a dealt street (and so keeps evaluation values).
bool has_deal_below(const GameTree& tree, int index) {
  for (int child : tree.nodes[std::size_t(index)].children) {
    const ActionNode& node = tree.nodes[std::size_t(child)];
    if ((node.is_decision() && node.deal) || has_deal_below(tree, child)) return true;
  }
  return false;
}

void add_deals(GameTree& tree, SolverState& state, int player, int index, const std::vector<Deal>& deals, EvSums& sums) {
  if (!allocate_tree_storage(tree)) command_error("out of memory");
  // One hold for the evaluation and the queries. A stale evaluation is refreshed first when the
  // answer reads it: the root's values, or the values stored at deals below the node, which
  // query passes take instead of descending.
  QuerySession session(tree, state);
  if ((index == 0 || has_deal_below(tree, index)) && !session.refresh()) command_error("out of memory");
  // Isomorphic cards share a card node: one query per node, read once per real card.
  std::map<std::pair<int, int>, std::vector<BoardLookup>> by_node;
  for (const Deal& d : deals) {
    BoardLookup b = look_up_board(tree, d.turn, d.river);
    by_node[{b.indices.turn, b.indices.river}].push_back(b);
  }
  std::vector<bool> starting = starting_hands(tree, player);
  for (const auto& [idx, group] : by_node) {
    NodeQuery q;
    bool at_start = index == 0 && root_query(tree, state, player, q);
    if (!at_start && !session.query(player, index, idx.first, idx.second, q)) command_error("incorrect path");
    std::size_t n = q.values.size();
    std::vector<double> mass(n);
    kernels::fold_values(q.opponent_reach.data(), q.board->hand_pair(player), 1.0, mass.data());
    for (const BoardLookup& b : group) {
      std::vector<int> pos = b.positions(player);
      for (int h = 0; h < kHands; ++h) {
        int i = pos[std::size_t(h)];
        if (i < 0 || !starting[std::size_t(h)]) continue;
        sums.weighted_values[std::size_t(h)] += q.own_reach[std::size_t(i)] * q.values[std::size_t(i)];
        sums.weight[std::size_t(h)] += q.own_reach[std::size_t(i)] * mass[std::size_t(i)];
        sums.values[std::size_t(h)] += q.values[std::size_t(i)];
        sums.mass[std::size_t(h)] += mass[std::size_t(i)];
      }
    }
  }
}

// Every deal of the node's street with the given real cards, the open ones enumerated in
// ascending card code. `cards` is how many real cards each deal stands for per pair of hands.
std::vector<Deal> deals_for(const GameTree& tree, int index, int turn, int river, double& cards) {
  std::uint32_t street = tree.nodes[std::size_t(index)].street;
  if (street < 2) turn = -1;
  if (street < 3) river = -1;
  cards = 1;
  std::vector<int> turns{turn}, rivers{river};
  if (street >= 2 && turn < 0) {
    turns.clear();
    for (int c = 0; c < kCards; ++c)
      if (!(tree.flop_mask & card_bit(c)) && c != river) turns.push_back(c);
    cards *= river >= 0 ? 44 : 45;
  }
  bool open_river = street == 3 && river < 0;
  if (open_river) cards *= 44;
  std::vector<Deal> deals;
  for (int t : turns) {
    if (!open_river) {
      deals.push_back({t, river});
      continue;
    }
    for (int r = 0; r < kCards; ++r)
      if (!(tree.flop_mask & card_bit(r)) && r != t) deals.push_back({t, r});
  }
  return deals;
}

EvVectors finish(const GameTree& tree, int player, const EvSums& sums, bool counterfactual, double weight_scale) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  EvVectors out{std::vector<double>(kHands, kNaN), std::vector<double>(kHands, kNaN)};
  std::vector<bool> starting = starting_hands(tree, player);
  for (std::size_t h = 0; h < std::size_t(kHands); ++h) {
    if (!starting[h]) continue;
    double w = sums.weight[h];
    if (w > 0)
      out.ev[h] = sums.weighted_values[h] / w;
    else if (counterfactual && sums.mass[h] > 0)
      out.ev[h] = sums.values[h] / sums.mass[h];
    out.weight[h] = w / weight_scale;
  }
  return out;
}

}  // namespace

EvVectors node_ev(GameTree& tree, SolverState& state, int player, const NodeRef& ref) {
  int index = action_node_index(tree, ref);
  double cards = 1;
  std::vector<Deal> deals = deals_for(tree, index, ref.turn, ref.river, cards);
  EvSums sums;
  add_deals(tree, state, player, index, deals, sums);
  return finish(tree, player, sums, true, cards);
}

EvVectors line_ev(GameTree& tree, SolverState& state, int player, const NodeRef& ref) {
  int index = action_node_index(tree, ref);
  int level = ref.river >= 0 ? 3 : ref.turn >= 0 ? 2 : 1;
  int turn = ref.turn, river = ref.river;
  if (tree.start_street == 1 && level >= 2) turn = -1;
  if (tree.start_street <= 2 && level == 3) river = -1;
  double cards = 1;
  std::vector<Deal> deals = deals_for(tree, index, turn, river, cards);
  EvSums sums;
  add_deals(tree, state, player, index, deals, sums);
  return finish(tree, player, sums, false, 1.0);
}
