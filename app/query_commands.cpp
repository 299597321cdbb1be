// Strategy, range, EV and equity reports.
#include <cmath>
#include <cstdio>
#include <string>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/game.h"
#include "cards/hand_order.h"
#include "queries/equity.h"
#include "queries/ev_report.h"
#include "queries/hand_line.h"
#include "queries/range.h"
#include "queries/strategy_report.h"
#include "queries/tree_hands.h"

namespace {

// The strategy of the decision node a path names, one hand-index vector per action.
std::vector<std::vector<double>> strategy_at(Session& s, const std::string& path) {
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, path);
  if (!ref.node || ref.split || ref.node->is_leaf()) command_error("incorrect path");
  const GameTree& tree = *s.current_tree();
  return read_strategy(tree, s.solver_state, action_node_index(tree, ref), ref.turn, ref.river);
}

void print_value_and_weight(const std::vector<double>& values, const std::vector<double>& weights) {
  print_out("%s", hand_line(values, "%.9g", "nan").c_str());
  print_out("%s", hand_line(weights, "%.9g", "0").c_str());
}

// "%s: %.2f; %.2f" per listed hand.
void print_readable(const std::vector<int>& order, const std::vector<double>& values, const std::vector<double>& weights) {
  for (int p : order) {
    std::size_t h = order_to_hand[std::size_t(p)];
    std::string line = hand_name(p);
    line.append(": ").append(two_decimals(values[h])).append("; ").append(two_decimals(std::isnan(weights[h]) ? 0 : weights[h]));
    print_out("%s\n", line.c_str());
  }
}

std::vector<double> plus_half_pot(const Session& s, std::vector<double> ev) {
  double half = s.game.root_pot() / 2;
  for (double& v : ev) v += half;
  return ev;
}

EvVectors ev_report(Session& s, const Tokens& t, bool line) {
  int player = parse_player(t[1]);
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, first_decision_path(t[2]));
  GameTree& tree = *s.current_tree();
  EvVectors e = line ? line_ev(tree, s.solver_state, player, ref) : node_ev(tree, s.solver_state, player, ref);
  e.ev = plus_half_pot(s, std::move(e.ev));
  return e;
}

// Equity in [0, 1] (ties half) of the player's range as set against the opponent's, on the
// tree's board.
EquityVectors top_equity(Session& s, int player) {
  const GameTree* tree = s.current_tree();
  std::vector<double> own = range_at_node(s.game.ranges, tree, s.solver_state, *s.lines, player, std::string()),
                      opp = range_at_node(s.game.ranges, tree, s.solver_state, *s.lines, 1 - player, std::string());
  EquityVectors e = showdown_equity(tree, player, tree ? tree->board_turn : -1, tree ? tree->board_river : -1, own, opp);
  for (double& d : e.difference) d = 0.5 * d + 0.5;
  return e;
}

}  // namespace

void cmd_show_strategy(Session& s, const Tokens& t) {
  for (const std::vector<double>& row : strategy_at(s, t[1])) print_out("%s", hand_line(row, "%.12g", "nan").c_str());
  print_out("END\n");
}

void cmd_show_strategy_pp(Session& s, const Tokens& t) {
  std::vector<std::vector<double>> rows = strategy_at(s, t[1]);
  std::vector<int> order = strength_order(s.current_tree(), *s.lines, t[1]);
  for (int p : order) {
    std::size_t h = order_to_hand[std::size_t(p)];
    std::string line = hand_name(p);
    line.append(": ");
    char number[64];
    for (const std::vector<double>& row : rows) {
      std::snprintf(number, sizeof number, "  %.6f", row[h]);
      line.append(number);
    }
    print_out("%s\n", line.c_str());
  }
  print_out("END\n");
}

void cmd_show_range(Session& s, const Tokens& t) {
  if (t.size() < 2) argument_error();
  int player = parse_player(t[1]);
  print_out("%s", hand_line(range_at_node(s.game.ranges, s.current_tree(), s.solver_state, *s.lines, player, t.size() >= 3 ? t[2] : std::string()), "%.12g", "0").c_str());
}

void cmd_calc_ev(Session& s, const Tokens& t) {
  EvVectors e = ev_report(s, t, false);
  print_value_and_weight(e.ev, e.weight);
  print_out("END\n");
}

void cmd_calc_ev_pp(Session& s, const Tokens& t) {
  EvVectors e = ev_report(s, t, false);
  std::vector<int> order = strength_order(s.current_tree(), *s.lines, t[2]);
  print_readable(order, e.ev, e.weight);
  print_out("END\n");
}

void cmd_calc_ev_line(Session& s, const Tokens& t) {
  EvVectors e = ev_report(s, t, true);
  print_value_and_weight(e.ev, e.weight);
  print_out("END\n");
}

void cmd_calc_eq(Session& s, const Tokens& t) {
  EquityVectors e = top_equity(s, parse_player(t[1]));
  print_value_and_weight(e.difference, e.weight);
  print_out("END\n");
}

void cmd_calc_eq_pp(Session& s, const Tokens& t) {
  EquityVectors e = top_equity(s, parse_player(t[1]));
  std::vector<int> order = strength_order(s.current_tree(), *s.lines, "r:0");
  for (double& v : e.difference) v *= 100;
  print_readable(order, e.difference, e.weight);
  print_out("END\n");
}

void cmd_calc_eq_node(Session& s, const Tokens& t) {
  int player = parse_player(t[1]);
  NodeRef ref = resolve_path(s.current_tree(), *s.lines, first_decision_path(t[2]));
  std::vector<double> own = range_at_node(s.game.ranges, s.current_tree(), s.solver_state, player, ref),
                      opp = range_at_node(s.game.ranges, s.current_tree(), s.solver_state, 1 - player, ref);
  EquityVectors e = showdown_equity(s.current_tree(), player, ref.turn, ref.river, own, opp);
  double total = 0, weight = 0;
  for (int h = 0; h < kHands; ++h) {
    double& eq = e.difference[std::size_t(h)];
    eq = 0.5 * eq + 0.5;
    if (!std::isnan(eq)) total += e.weight[std::size_t(h)] * eq;
    if (!std::isnan(e.weight[std::size_t(h)])) weight += e.weight[std::size_t(h)];
  }
  print_value_and_weight(e.difference, e.weight);
  double overall = total / weight;
  if (std::isnan(overall))
    print_out("nan\n");
  else
    print_out("%.9g\n", overall);
  print_out("END\n");
}
