#include "queries/equity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "cards/hand_order.h"
#include "queries/hand_line.h"
#include "queries/tree_hands.h"
#include "kernels/kernels.h"
#include "tree/board_lookup.h"
#include "tree/node_path.h"

namespace {

// 45 turn cards and 44 river cards remain for any two hands on a flop.
constexpr double kTurnShare = 1.0 / 45;
constexpr double kRiverShare = 1.0 / 44;

// Equities are defined against every hand a board leaves, whatever hands the tree lists: each
// board gets a full list of its own, on its real cards.
std::vector<int> listed_hands(const HandList& list) { return {list.ids.begin(), list.ids.end()}; }

// Adds the showdown value (stake 1) of every hand on the real river board.
void add_river(CardMask board, const std::vector<double>& opp, std::vector<double>& sums) {
  HandList list = full_hand_list(board);
  std::size_t n = std::size_t(list.size());
  std::vector<double> reach(n), values(n);
  for (std::size_t i = 0; i < n; ++i) reach[i] = opp[list.ids[i]];
  kernels::showdown_values(reach.data(), kernels::BoardHands{list.cards, list.class_sizes, {}, nullptr}, 1.0,
                           values.data());
  for (std::size_t i = 0; i < n; ++i) sums[list.ids[i]] += values[i];
}

// The river boards below real turn `turn`, river cards ascending, summed and averaged.
void add_turn(const GameTree& tree, int turn, int fixed_river, const std::vector<double>& opp, std::vector<double>& sums) {
  CardMask used = tree.flop_mask | card_bit(turn);
  if (fixed_river >= 0) {
    add_river(used | card_bit(fixed_river), opp, sums);
    return;
  }
  std::vector<double> turn_sums(kHands, 0.0);
  for (int r = 0; r < kCards; ++r)
    if (!(used & card_bit(r))) add_river(used | card_bit(r), opp, turn_sums);
  for (int h = 0; h < kHands; ++h) sums[std::size_t(h)] += turn_sums[std::size_t(h)] * kRiverShare;
}

}  // namespace

EquityVectors showdown_equity(const GameTree* tree, int player, int turn, int river, const std::vector<double>& own,
                              const std::vector<double>& opp) {
  EquityVectors out{std::vector<double>(kHands, 0.0), std::vector<double>(kHands, 0.0)};
  if (!tree) return out;
  if (tree->board_turn >= 0) turn = tree->board_turn;
  if (tree->board_river >= 0) river = tree->board_river;
  if (turn < 0) river = -1;
  if (!look_up_board(*tree, turn, river).node) return out;

  // Opponent weight each hand can meet on the starting board.
  CardMask board = tree->flop_mask | (turn >= 0 ? card_bit(turn) : 0) | (river >= 0 ? card_bit(river) : 0);
  HandList start = full_hand_list(board);
  std::vector<int> listed = listed_hands(start);
  std::size_t n = listed.size();
  std::vector<double> reach(n), meets(n);
  for (std::size_t i = 0; i < n; ++i) reach[i] = opp[std::size_t(listed[i])];
  kernels::fold_values(reach.data(), kernels::BoardHands{start.cards, start.class_sizes, {}, nullptr}, 1.0, meets.data());
  std::vector<double> opp_sum(kHands, 0.0);
  for (std::size_t i = 0; i < n; ++i) opp_sum[std::size_t(listed[i])] = meets[i];

  std::vector<double> value(kHands, 0.0);
  double factor = 1;
  if (turn < 0) {
    factor = 45 * 44;
    std::vector<double> turn_sums(kHands, 0.0);
    for (int t = 0; t < kCards; ++t)
      if (!(tree->flop_mask & card_bit(t))) add_turn(*tree, t, -1, opp, turn_sums);
    for (int h = 0; h < kHands; ++h) value[std::size_t(h)] = turn_sums[std::size_t(h)] * kTurnShare;
  } else {
    if (river < 0) factor = 44;
    add_turn(*tree, turn, river, opp, value);
  }

  std::vector<bool> starting = starting_hands(*tree, player);
  for (int h = 0; h < kHands; ++h) {
    std::size_t i = std::size_t(h);
    if (!starting[i]) {
      out.difference[i] = out.weight[i] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    // The kernels' running sums round relative to the whole range: a hand that meets almost none
    // of it can come out a little below 0 or outside [-1, 1].
    double meets = std::max(opp_sum[i], 0.0);
    out.difference[i] = meets > 0 ? std::clamp(value[i] / meets, -1.0, 1.0) : 0.0;
    out.weight[i] = factor * meets * own[i];
  }
  return out;
}

std::vector<int> strength_order(const GameTree* tree, SchematicNode& lines, const std::string& path) {
  NodeRef ref = resolve_path(tree, lines, first_decision_path(path));
  int player = int(ref.node->player & 1);
  std::vector<double> ones(kHands, 1.0);
  std::vector<double> key = in_hand_order(showdown_equity(tree, player, ref.turn, ref.river, ones, ones).difference);
  constexpr double kOut = std::numeric_limits<double>::lowest();
  for (double& k : key)
    if (std::isnan(k)) k = kOut;
  std::vector<int> order(kHands);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key[std::size_t(a)] > key[std::size_t(b)]; });
  std::erase_if(order, [&](int p) { return key[std::size_t(p)] == kOut; });
  return order;
}
