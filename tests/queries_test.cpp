// Strategy, range, EV and equity reports against brute force and against the solver's own
// results.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "app/commands.h"
#include "app/failure.h"
#include "app/settings.h"
#include "cards/evaluator.h"
#include "cards/game.h"
#include "cards/hand_order.h"
#include "queries/equity.h"
#include "queries/ev_report.h"
#include "queries/range.h"
#include "queries/strategy_report.h"
#include "solver/solver.h"
#include "subprocess.h"
#include "tree/game_tree.h"
#include "tree/node_path.h"

namespace {

struct QueriesTest : ::testing::Test {
  static void SetUpTestSuite() {
    init_hand_tables();
    build_hand_order_tables();
  }
  void SetUp() override {
    set_current_command("build_tree");
    clear_schematic_tree();
    settings().isomorphism = {true, true, false};
    game().pot_values = {0, 0, 100};
  }
  void TearDown() override { free_current_tree(); }

  static void board(const char* cards) {
    Tokens t{"set_board"};
    for (const std::string& c : split_tokens(cards)) t.push_back(c);
    set_current_command("set_board");
    cmd_set_board(t);
  }
  static int hand_of(const std::string& text) {
    CardMask m = parse_cards(text);
    return hand_index(std::countr_zero(m), 63 - std::countl_zero(m));
  }
  static void range(int player, const char* hands) {
    game().ranges[std::size_t(player)].assign(kHands, 0.0);
    for (const std::string& h : split_tokens(hands)) game().ranges[std::size_t(player)][std::size_t(hand_of(h))] = 1.0;
  }
  // Pseudo-random weights in (0, 1] that only depend on what an exchange of suits other than
  // `kept` leaves alone (ranks, suitedness, which cards are of suit kept), so that boards
  // differing by such exchanges may be merged.
  static void symmetric_range(int player, int kept, unsigned seed, double share = 1.0) {
    std::vector<double>& r = game().ranges[std::size_t(player)];
    r.assign(kHands, 0.0);
    for (int h = 0; h < kHands; ++h) {
      // The higher-ranked card first (a pair: the kept-suit card first).
      const HandCards& c = hand_cards()[std::size_t(h)];
      int a = c.lo, b = c.hi;
      if (card_rank(a) < card_rank(b) || (card_rank(a) == card_rank(b) && card_suit(b) == kept)) std::swap(a, b);
      unsigned key = unsigned(card_rank(a) * 13 + card_rank(b)) * 8 + (card_suit(a) == card_suit(b)) * 4 +
                     (card_suit(a) == kept) * 2 + (card_suit(b) == kept);
      std::mt19937 gen(seed * 7919 + key);
      double u = std::uniform_real_distribution<double>(0, 1)(gen);
      if (u < share) r[std::size_t(h)] = 0.05 + u / share;
    }
  }
  static void line(std::initializer_list<double> amounts) {
    LineMerger m(false);
    for (double a : amounts) m.add(a);
  }
  static GameTree& build() {
    set_current_command("build_tree");
    install_tree(build_game_tree());
    GameTree& tree = *current_tree();
    EXPECT_TRUE(allocate_tree_storage(tree));
    return tree;
  }
  static void iterate(GameTree& tree, int n) {
    for (int i = 0; i < n; ++i) run_iteration(tree);
  }
  static NodeRef at(const char* path) {
    set_current_command("calc_ev");
    return resolve_path(path);
  }
  static std::vector<std::vector<double>> strategy(const char* path) {
    NodeRef ref = at(path);
    return read_strategy(*current_tree(), ref.node->record_index, ref.turn, ref.river);
  }
  // A hand's weight times its EV; nothing where it does not reach.
  static double weighted(const EvVectors& e, std::size_t h) { return e.weight[h] > 0 ? e.weight[h] * e.ev[h] : 0.0; }
  static double weighted_average(const EvVectors& e) {
    double sum = 0, weight = 0;
    for (int h = 0; h < kHands; ++h)
      if (!std::isnan(e.ev[std::size_t(h)])) {
        sum += e.weight[std::size_t(h)] * e.ev[std::size_t(h)];
        weight += e.weight[std::size_t(h)];
      }
    return sum / weight;
  }

  // Brute-force equity: every pair of compatible hands on every runout of the board, with the
  // seven-card evaluator; returns per hand (win - loss) / opponent weight and the opponent weight.
  static void brute_force(CardMask board_cards, const std::vector<double>& own, const std::vector<double>& opp,
                          std::vector<double>& difference, std::vector<double>& opp_weight) {
    std::vector<int> live_own, live_opp;
    for (int h = 0; h < kHands; ++h) {
      if (hand_mask(h) & board_cards) continue;
      if (own[std::size_t(h)] > 0) live_own.push_back(h);
      if (opp[std::size_t(h)] > 0) live_opp.push_back(h);
    }
    std::vector<double> sum(kHands, 0.0);
    difference.assign(kHands, 0.0);
    opp_weight.assign(kHands, 0.0);
    std::vector<std::vector<int>> runouts;
    int missing = 5 - std::popcount(board_cards);
    for (int a = 0; a < kCards; ++a) {
      if (board_cards & card_bit(a)) continue;
      if (missing == 0) break;
      if (missing == 1) {
        runouts.push_back({a});
        continue;
      }
      for (int b = 0; b < kCards; ++b)
        if (b != a && !(board_cards & card_bit(b))) runouts.push_back({a, b});  // ordered: turn, river
    }
    if (missing == 0) runouts.push_back({});
    std::vector<std::uint32_t> strength(kHands);
    std::vector<double> count(kHands, 0.0);
    for (const std::vector<int>& extra : runouts) {
      CardMask full = board_cards;
      for (int c : extra) full |= card_bit(c);
      std::uint8_t cards[7];
      int k = 0;
      for (int c = 0; c < kCards; ++c)
        if (full & card_bit(c)) cards[k++] = std::uint8_t(c);
      for (int h : live_own) {
        if (hand_mask(h) & full) continue;
        cards[5] = hand_cards()[std::size_t(h)].lo, cards[6] = hand_cards()[std::size_t(h)].hi;
        strength[std::size_t(h)] = evaluate_cards(cards, 7);
      }
      for (int o : live_opp) {
        if (hand_mask(o) & full) continue;
        cards[5] = hand_cards()[std::size_t(o)].lo, cards[6] = hand_cards()[std::size_t(o)].hi;
        strength[std::size_t(o)] = evaluate_cards(cards, 7);
      }
      for (int h : live_own) {
        if (hand_mask(h) & full) continue;
        for (int o : live_opp) {
          if ((hand_mask(o) & full) || (hand_mask(o) & hand_mask(h))) continue;
          std::uint32_t s = strength[std::size_t(h)], t = strength[std::size_t(o)];
          double sign = s > t ? 1 : s < t ? -1 : 0;
          sum[std::size_t(h)] += opp[std::size_t(o)] * sign;
          count[std::size_t(h)] += opp[std::size_t(o)];
        }
      }
    }
    double per_runout = double(runouts.size());
    for (int h : live_own) {
      // Every compatible pair meets the same number of runouts: the weight is the per-runout one.
      double meets = 0;
      for (int o : live_opp)
        if (!(hand_mask(o) & hand_mask(h))) meets += opp[std::size_t(o)];
      opp_weight[std::size_t(h)] = meets;
      difference[std::size_t(h)] = count[std::size_t(h)] > 0 ? sum[std::size_t(h)] / count[std::size_t(h)] : 0;
    }
    (void)per_runout;
  }

  // showdown_equity from the tree's top board against the brute force, and the weight rule.
  static void expect_equity_matches(int player) {
    const GameTree& tree = *current_tree();
    const std::vector<double>& own = game().ranges[std::size_t(player)];
    const std::vector<double>& opp = game().ranges[std::size_t(1 - player)];
    EquityVectors e = showdown_equity(player, tree.board_turn, tree.board_river, own, opp);
    CardMask full = game().board_mask();
    std::vector<double> difference, meets;
    brute_force(full, own, opp, difference, meets);
    double factor = tree.board_river >= 0 ? 1 : tree.board_turn >= 0 ? 44 : 1980;
    int checked = 0;
    for (int h = 0; h < kHands; ++h) {
      std::size_t i = std::size_t(h);
      bool in = own[i] > 0 && !(hand_mask(h) & full);
      ASSERT_EQ(std::isnan(e.difference[i]), !in) << h;
      if (!in) continue;
      EXPECT_NEAR(e.difference[i], difference[i], 1e-12) << hand_order_text().substr(hand_to_order[i] * 5u, 4);
      EXPECT_NEAR(e.weight[i], factor * meets[i] * own[i], 1e-9 * factor);
      ++checked;
    }
    EXPECT_GT(checked, 0);
  }
};

// Equity on river, turn and flop boards, with merged isomorphic cards and without.
TEST_F(QueriesTest, EquityMatchesBruteForceOnEveryStreet) {
  struct Spot {
    const char* board;
    int kept;  // the only suit the range weights tell apart
    double share;
  };
  for (Spot s : {Spot{"As Ks Qd 7c 2h", 0, 1.0}, Spot{"Td 9d 6d Qd", 1, 1.0}, Spot{"Td 9h 6d Qc", 1, 0.6},
                 Spot{"Kd 8d 5h", 1, 0.012}}) {
    for (bool iso : {true, false}) {
      SCOPED_TRACE(std::string(s.board) + (iso ? " isomorphism" : ""));
      SetUp();
      settings().isomorphism = {iso, iso, false};
      board(s.board);
      symmetric_range(0, s.kept, 1, s.share);
      symmetric_range(1, s.kept, 2, s.share);
      line({0, 0});
      GameTree& tree = build();
      EXPECT_EQ(tree.has_flag(ISOMORPHISM_ON), iso && tree.start_street < 3);
      expect_equity_matches(0);
      expect_equity_matches(1);
      TearDown();
    }
  }
}

// The strength order lists exactly the hands in the player's range clear of the board, best first.
TEST_F(QueriesTest, StrengthOrderListsRangeBestFirst) {
  board("As Ks Qd 7c 2h");
  range(0, "JcTc 8s8h 7h7d AhAd AcKc 3c3d AsQh");
  range(1, "2c2d");
  line({0, 0});
  build();
  set_current_command("show_strategy_pp");
  std::vector<int> order = strength_order("r");
  std::vector<std::string> names;
  for (int p : order) names.push_back(hand_order_text().substr(std::size_t(p) * 5, 4));
  // AsQh touches the board; the rest: straight, trips, trips, two pair, pair, pair.
  EXPECT_EQ(names, (std::vector<std::string>{"JcTc", "AhAd", "7h7d", "AcKc", "8s8h", "3d3c"}));
}

// The strategy read before iteration 25 is uniform; later rows sum to 1 for every hand the
// board leaves, and the range at a node is the range times the player's own probabilities
// along the path, as the traversal's own reach says.
TEST_F(QueriesTest, StrategiesAndRangesFollowThePath) {
  board("Kd 8d 5h");
  symmetric_range(0, 1, 3, 0.06);
  symmetric_range(1, 1, 4, 0.06);
  line({0, 0, 0, 0, 0, 0});
  line({0, 0, 40, 40, 40, 40});
  line({0, 0, 0, 40, 40, 40, 40});
  line({40, 40, 40, 40, 80, 140, 140});
  GameTree& tree = build();
  ASSERT_TRUE(tree.has_flag(ISOMORPHISM_ON));
  for (const std::vector<double>& row : strategy("r:0"))
    for (double v : row) ASSERT_EQ(v, 0.5);

  const char* paths[] = {"r:0:c", "r:0:c:c:Ah", "r:0:c:c:2s:c:b40:c:7c", "r:0:b40:c:Qc:c:c:4c:b80",
                         "r:0:b40:c:Qs:c:c:4c:b80"};
  // A few iterations in each band of the counter: current strategies (which the evaluation
  // plays too up to 60), then averages that start from iteration 61.
  for (int from : {30, 61}) {
    tree.iterations = from;
    iterate(tree, 4);
    SCOPED_TRACE(from);
    for (const char* path : {"r:0", "r:0:c", "r:0:c:c:Ah", "r:0:b40:c:Qc:c", "r:0:b40:c:Qc:c:c:4c"}) {
      for (const std::vector<double>& row : strategy(path)) ASSERT_EQ(row.size(), std::size_t(kHands));
      std::vector<std::vector<double>> rows = strategy(path);
      NodeRef ref = at(path);
      for (int h = 0; h < kHands; ++h) {
        double sum = 0;
        for (const auto& row : rows) sum += row[std::size_t(h)];
        CardMask board_cards =
            tree.flop_mask | (ref.turn >= 0 ? card_bit(ref.turn) : 0) | (ref.river >= 0 ? card_bit(ref.river) : 0);
        EXPECT_NEAR(sum, (hand_mask(h) & board_cards) ? 0.0 : 1.0, 1e-6) << path << " " << h;
      }
    }
    for (const char* path : paths) {
      SCOPED_TRACE(path);
      NodeRef ref = at(path);
      int player = int(tree.nodes[std::size_t(ref.node->record_index)].player);
      for (int p : {player, 1 - player}) {
        std::vector<double> r = range_at_node(p, ref);
        GameTree::CardIndices idx = tree.card_indices_for(ref.turn, ref.river);
        NodeQuery q;
        ASSERT_TRUE(query_node(tree, p, ref.node->record_index, idx.turn, idx.river, q));
        // The traversal's own reach starts from the range scaled to sum 1 over the hands the flop leaves.
        double total = 0;
        for (int h = 0; h < kHands; ++h)
          if (!(hand_mask(h) & tree.flop_mask)) total += game().ranges[std::size_t(p)][std::size_t(h)];
        SuitMapping m = canonical_suits(tree.flop_mask, ref.turn >= 0 ? card_bit(ref.turn) : 0,
                                        ref.river >= 0 ? card_bit(ref.river) : 0);
        for (int h = 0; h < kHands; ++h) {
          int pos = q.board->position_of_hand[std::size_t(map_hand(h, m))];
          if (pos < 0) continue;
          EXPECT_NEAR(r[std::size_t(h)], q.own_reach[std::size_t(pos)] * total, 1e-9) << h;
        }
      }
    }
  }
  // One step: the range after OOP's check is the range times the check row.
  std::vector<double> after = range_at_node(0, at("r:0:c")), check = strategy("r:0")[0];
  for (int h = 0; h < kHands; ++h)
    EXPECT_DOUBLE_EQ(after[std::size_t(h)], game().ranges[0][std::size_t(h)] * check[std::size_t(h)]);
  std::vector<double> unchanged = range_at_node(1, at("r:0:c"));
  EXPECT_EQ(unchanged, game().ranges[1]);
}

// EVs: the weighted average at the first decision is the result's EV; weights and weighted EVs
// of a decision's children add up to the node's, hand by hand, and a chance node's are the
// average over its cards; the line EV of a turn node is the same for every turn card.
TEST_F(QueriesTest, EvsAddUpAcrossNodesAndCards) {
  board("Kd 8d 5h");
  symmetric_range(0, 1, 5, 0.06);
  symmetric_range(1, 1, 6, 0.06);
  line({0, 0, 0, 0, 0, 0});
  line({0, 0, 40, 40, 40, 40});
  line({0, 40, 40, 40, 40, 40, 40});
  line({40, 40, 40, 40, 40, 40});
  GameTree& tree = build();
  iterate(tree, 5);
  tree.iterations = 61;  // averages from here on
  iterate(tree, 5);
  for (int player = 0; player < 2; ++player) {
    SCOPED_TRACE(player);
    tree.results.iteration = -1;
    EvVectors root = node_ev(tree, player, at("r:0"));
    EXPECT_EQ(tree.results.iteration, tree.iterations);
    EXPECT_NEAR(weighted_average(root), tree.results.ev[player], 1e-9);
    double total_weight = 0;
    for (double w : root.weight)
      if (!std::isnan(w)) total_weight += w;
    EXPECT_NEAR(total_weight, 1.0, 1e-9);

    // Decision: children partition the node's weight and weighted EV.
    EvVectors check = node_ev(tree, player, at("r:0:c")), bet = node_ev(tree, player, at("r:0:b40"));
    // Chance: the split node is the average over the turn cards.
    EvVectors split = node_ev(tree, player, at("r:0:c:c"));
    std::vector<double> card_weight(kHands, 0.0), card_ev(kHands, 0.0);
    for (int c = 0; c < kCards; ++c) {
      if (tree.flop_mask & card_bit(c)) continue;
      std::string path = "r:0:c:c:" + card_text(c);
      EvVectors e = node_ev(tree, player, at(path.c_str()));
      for (int h = 0; h < kHands; ++h)
        if (e.weight[std::size_t(h)] > 0) {
          card_weight[std::size_t(h)] += e.weight[std::size_t(h)] / 45;
          card_ev[std::size_t(h)] += e.weight[std::size_t(h)] * e.ev[std::size_t(h)] / 45;
        }
    }
    EvVectors line_a = line_ev(tree, player, at("r:0:c:c:Ah")), line_b = line_ev(tree, player, at("r:0:c:c:2s"));
    for (int h = 0; h < kHands; ++h) {
      std::size_t i = std::size_t(h);
      if (std::isnan(root.ev[i])) {
        EXPECT_TRUE(std::isnan(check.ev[i]) && std::isnan(check.weight[i]));
        continue;
      }
      // Action probabilities add up to 1 within float rounding.
      EXPECT_NEAR(check.weight[i] + bet.weight[i], root.weight[i], 1e-6 * root.weight[i]);
      EXPECT_NEAR(weighted(check, i) + weighted(bet, i), weighted(root, i), 1e-6 * root.weight[i] * 100);
      EXPECT_NEAR(split.weight[i], card_weight[i], 1e-12);
      EXPECT_NEAR(weighted(split, i), card_ev[i], 1e-10);
      EXPECT_EQ(line_a.weight[i], line_b.weight[i]);
      if (!std::isnan(line_a.ev[i])) {
        EXPECT_EQ(line_a.ev[i], line_b.ev[i]);
        EXPECT_NEAR(line_a.ev[i], split.ev[i], 1e-9);
        EXPECT_NEAR(line_a.weight[i], 45 * split.weight[i], 1e-12);
      }
    }
  }
}

// A hand that always wins shows the whole pot, one that always loses 0; on a river tree the
// line EV is the node's EV.
TEST_F(QueriesTest, EvIsTheShareOfThePot) {
  board("As Ks Qd 7c 2h");
  range(0, "JcTc JdTd");
  range(1, "5c4c 8h8s");
  line({0, 0});
  GameTree& tree = build();
  for (int player = 0; player < 2; ++player) {
    EvVectors e = node_ev(tree, player, at("r:0"));
    EvVectors l = line_ev(tree, player, at("r:0:c"));
    for (const char* h : {"JcTc", "JdTd", "5c4c", "8h8s"}) {
      std::size_t i = std::size_t(hand_of(h));
      if (std::isnan(e.ev[i])) continue;
      EXPECT_DOUBLE_EQ(e.ev[i] + 50, player == 0 ? 100.0 : 0.0) << h;
      EXPECT_NEAR(l.ev[i], e.ev[i], 1e-12);
    }
    EXPECT_TRUE(std::isnan(e.ev[std::size_t(hand_of("AcAd"))]));
    EXPECT_NEAR(weighted_average(e), tree.results.ev[player], 1e-12);
  }
}

// Isomorphism on and off: the same equities, and after solving to a tight accuracy the same
// EVs and strategies within it, also at river nodes whose card is merged with others.
TEST_F(QueriesTest, IsomorphismChangesNoReport) {
  const char* nodes[] = {"r:0", "r:0:c", "r:0:b30", "r:0:c:c:3h", "r:0:c:c:3c", "r:0:b30:c:Jh"};
  std::vector<double> eq[2];
  std::vector<std::vector<double>> ev[2], strategies[2];
  double expl[2];
  for (int iso = 0; iso < 2; ++iso) {
    SetUp();
    settings().isomorphism = {iso == 1, iso == 1, false};
    board("As Ks 7d 2d");
    game().ranges = {std::vector<double>(kHands, 0.0), std::vector<double>(kHands, 0.0)};
    for (const char* h : {"AcAh", "7c7h", "QcJc", "QhJh", "9c8c", "9h8h", "AdKd", "KhQh", "KcQc"})
      game().ranges[0][std::size_t(hand_of(h))] = 1;
    for (const char* h : {"KcKh", "AcQc", "AhQh", "TcTh", "JcTh", "JhTc", "6c5c", "6h5h", "8d8s"})
      game().ranges[1][std::size_t(hand_of(h))] = 1;
    line({0, 0, 0, 0});
    line({0, 0, 30, 30});
    line({30, 30, 30, 30});
    line({30, 90, 90});
    GameTree& tree = build();
    ASSERT_EQ(tree.has_flag(ISOMORPHISM_ON), iso == 1);
    iterate(tree, 200);
    ASSERT_TRUE(evaluate_both(tree));
    expl[iso] = tree.results.exploitability;
    eq[iso] = showdown_equity(0, tree.board_turn, -1, game().ranges[0], game().ranges[1]).difference;
    for (const char* path : nodes) {
      NodeRef ref = at(path);
      int player = int(ref.node->player);
      ev[iso].push_back(node_ev(tree, player, ref).ev);
      std::vector<std::vector<double>> rows = strategy(path);
      std::vector<double> in_range = range_at_node(player, ref);
      for (std::vector<double>& row : rows) {
        for (int h = 0; h < kHands; ++h)
          if (in_range[std::size_t(h)] == 0) row[std::size_t(h)] = 0;
        strategies[iso].push_back(row);
      }
    }
    TearDown();
  }
  double worst_ev = 0, worst_strategy = 0;
  for (int h = 0; h < kHands; ++h) {
    ASSERT_EQ(std::isnan(eq[0][std::size_t(h)]), std::isnan(eq[1][std::size_t(h)]));
    if (!std::isnan(eq[0][std::size_t(h)])) {
      EXPECT_NEAR(eq[0][std::size_t(h)], eq[1][std::size_t(h)], 1e-13);
    }
    for (std::size_t k = 0; k < ev[0].size(); ++k) {
      double a = ev[0][k][std::size_t(h)], b = ev[1][k][std::size_t(h)];
      ASSERT_EQ(std::isnan(a), std::isnan(b));
      if (!std::isnan(a)) worst_ev = std::max(worst_ev, std::fabs(a - b));
    }
    for (std::size_t k = 0; k < strategies[0].size(); ++k)
      worst_strategy = std::max(worst_strategy, std::fabs(strategies[0][k][std::size_t(h)] - strategies[1][k][std::size_t(h)]));
  }
  EXPECT_LT(expl[0], 0.05);
  EXPECT_NEAR(expl[0], expl[1], 1e-6);
  // Both trees solve the same game the same way; the bounds leave room for rounding only.
  EXPECT_LT(worst_ev, 0.1);
  EXPECT_LT(worst_strategy, 0.01);
}

// Reports asked while the solver runs answer whole lines of 1,326 values and END.
TEST_F(QueriesTest, ReportsWhileSolving) {
  std::string input = "set_board Kd 8d 5h\nset_pot 0 0 100\nset_accuracy 0\n";
  for (const char* player : {"OOP", "IP"}) {
    input.append("set_range ").append(player);
    for (int h = 0; h < kHands; ++h) input.append(h % 7 == (player[0] == 'O' ? 1 : 3) ? " 1" : " 0");
    input.append("\n");
  }
  input.append("add_line 0 0 0 0 0 0\nadd_line 0 0 40 40 40 40\nadd_line 40 40 40 40 80 80\nbuild_tree\ngo\n");
  const char* reports[] = {"show_strategy r:0", "calc_ev OOP r", "calc_ev_line IP r:0:c:c:Ah", "calc_eq_node IP r:0:c",
                           "show_strategy r:0:b40:c:Qc:c"};
  for (int round = 0; round < 3; ++round) {
    for (const char* r : reports) input.append(r).append("\n");
    input.append("show_range OOP r:0:c\nsleep 300\n");
  }
  input.append("stop\nwait_for_solver\n");
  std::vector<std::string> lines = output_lines(run_travanto(input));
  int value_lines = 0, ends = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l == "SOLVER:") {  // a progress report: its own block up to END
      while (i < lines.size() && lines[i] != "END") ++i;
      continue;
    }
    if (l == "END") ++ends;
    if (l.size() < 1000) continue;
    ++value_lines;
    std::istringstream in(l);
    std::string token;
    int count = 0;
    while (in >> token) {
      ++count;
      ASSERT_TRUE(token == "nan" || std::isfinite(std::strtod(token.c_str(), nullptr))) << token;
    }
    EXPECT_EQ(count, kHands);
  }
  // Per round: 2 + 2 + 2 + 2 + 1 value lines and the range, five ENDs.
  EXPECT_EQ(value_lines, 3 * 10);
  EXPECT_EQ(ends, 3 * 5);
}

}  // namespace
