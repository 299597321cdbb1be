// Strategy, range, EV and equity reports against brute force and against the solver's own
// results.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "queries/equity.h"
#include "queries/ev_report.h"
#include "queries/range.h"
#include "queries/strategy_report.h"
#include "spot_fixture.h"  // also the cards, game, command and solver headers
#include "tree/board_lookup.h"

namespace {

using Vec = std::vector<double>;

struct QueriesTest : SpotFixture {
  // Pseudo-random weights for a share of the hands that only depend on what exchanging suits
  // other than `kept` leaves alone, so that boards differing by such exchanges may be merged.
  void symmetric_range(int player, int kept, unsigned seed, double share) {
    Vec& r = s.game.ranges[std::size_t(player)];
    r.assign(kHands, 0.0);
    for (int h = 0; h < kHands; ++h) {
      int a = hand_cards()[std::size_t(h)].lo, b = hand_cards()[std::size_t(h)].hi;
      if (card_rank(a) < card_rank(b) || (card_rank(a) == card_rank(b) && card_suit(b) == kept)) std::swap(a, b);
      unsigned key = unsigned(card_rank(a) * 13 + card_rank(b)) * 8 + (card_suit(a) == card_suit(b)) * 4 +
                     (card_suit(a) == kept) * 2 + (card_suit(b) == kept);
      std::mt19937 gen(seed * 7919 + key);
      double u = std::uniform_real_distribution<double>(0, 1)(gen);
      if (u < share) r[std::size_t(h)] = 0.05 + u / share;
    }
  }
  void iterate(GameTree& tree, int n) { for (int i = 0; i < n; ++i) run_iteration(tree, s.solver_state); }
  std::vector<Vec> strategy(const std::string& path) {
    NodeRef ref = at(path);
    return read_strategy(*s.current_tree(), s.solver_state, ref.node->record_index, ref.turn, ref.river);
  }
  // A hand's weight times its EV; nothing where it does not reach.
  double weighted(const EvVectors& e, std::size_t h) { return e.weight[h] > 0 ? e.weight[h] * e.ev[h] : 0.0; }

  // Brute force: (wins - losses) / matchups per hand over every compatible opponent hand and
  // every runout, with the seven-card evaluator; `meets` is the opponent weight a hand can face.
  void brute_force(CardMask dealt, const Vec& own, const Vec& opp, Vec& difference, Vec& meets) {
    std::vector<CardMask> runouts{0};  // each set of cards once: a pair stands for both orders
    for (int left = 5 - std::popcount(dealt); left > 0; --left) {
      std::vector<CardMask> longer;
      for (CardMask r : runouts)
        for (int c = 64 - std::countl_zero(r); c < kCards; ++c)  // cards above r's highest
          if (!(dealt & card_bit(c))) longer.push_back(r | card_bit(c));
      runouts.swap(longer);
    }
    Vec sum(kHands, 0.0), count(kHands, 0.0);
    std::vector<std::uint32_t> strength(kHands);
    for (CardMask runout : runouts) {
      CardMask full = dealt | runout;
      std::uint8_t cards[7];
      for (int c = 0, k = 0; c < kCards; ++c)
        if (full & card_bit(c)) cards[k++] = std::uint8_t(c);
      for (int h = 0; h < kHands; ++h) {
        if (hand_mask(h) & full || (own[std::size_t(h)] == 0 && opp[std::size_t(h)] == 0)) continue;
        cards[5] = hand_cards()[std::size_t(h)].lo, cards[6] = hand_cards()[std::size_t(h)].hi;
        strength[std::size_t(h)] = evaluate_cards(cards, 7);
      }
      for (int h = 0; h < kHands; ++h) {
        if (hand_mask(h) & full || own[std::size_t(h)] == 0) continue;
        for (int o = 0; o < kHands; ++o) {
          if (opp[std::size_t(o)] == 0 || hand_mask(o) & (full | hand_mask(h))) continue;
          std::uint32_t s = strength[std::size_t(h)], t = strength[std::size_t(o)];
          sum[std::size_t(h)] += opp[std::size_t(o)] * (s > t ? 1 : s < t ? -1 : 0);
          count[std::size_t(h)] += opp[std::size_t(o)];
        }
      }
    }
    difference = meets = Vec(kHands, 0.0);
    for (int h = 0; h < kHands; ++h) {
      if (count[std::size_t(h)] > 0) difference[std::size_t(h)] = sum[std::size_t(h)] / count[std::size_t(h)];
      for (int o = 0; o < kHands; ++o)
        if (!(hand_mask(o) & (dealt | hand_mask(h)))) meets[std::size_t(h)] += opp[std::size_t(o)];
    }
  }
};

// Equity from the tree's top board on river, turn and flop boards, with merged isomorphic cards
// and without, against brute force; the weight is F x (opponent weight met) x own weight.
TEST_F(QueriesTest, EquityMatchesBruteForce) {
  for (auto [spot, share] : {std::pair{"As Ks Qd 7c 2h", 1.0}, {"Td 9d 6d Qd", 1.0}, {"Td 9h 6d Qc", 0.6}, {"Kd 8d 5h", 0.012}}) {
    for (bool iso : {true, false}) {
      SCOPED_TRACE(std::string(spot) + (iso ? " isomorphism" : ""));
      restart();
      s.settings.isomorphism = {iso, iso, false};
      board(spot);
      for (int p : {0, 1}) symmetric_range(p, 1, 1 + p, share);
      line({0, 0});
      GameTree& tree = build();
      EXPECT_EQ(tree.has_flag(ISOMORPHISM_ON), iso && tree.start_street < 3);
      double factor = tree.start_street == 3 ? 1 : tree.start_street == 2 ? 44 : 1980;
      for (int player = 0; player < 2; ++player) {
        const Vec &own = s.game.ranges[std::size_t(player)], &opp = s.game.ranges[std::size_t(1 - player)];
        EquityVectors e = showdown_equity(s.tree.get(), player, tree.board_turn, tree.board_river, own, opp);
        Vec difference, meets;
        brute_force(s.game.board_mask(), own, opp, difference, meets);
        for (std::size_t h = 0; h < std::size_t(kHands); ++h) {
          bool in = own[h] > 0 && !(hand_mask(int(h)) & s.game.board_mask());
          ASSERT_EQ(std::isnan(e.difference[h]), !in) << h;
          if (!in) continue;
          EXPECT_NEAR(e.difference[h], difference[h], 1e-12) << h;
          EXPECT_NEAR(e.weight[h], factor * meets[h] * own[h], 1e-9 * factor);
        }
      }
    }
  }
}

// Hands that meet almost none of the opponent's weight: the kernels' running sums lose most of
// their few matchups to rounding, but their equities stay probabilities and their weights stay
// non-negative.
TEST_F(QueriesTest, EquityOfAHandMeetingAlmostNoWeightStaysInRange) {
  board("7s Kh 6c Tc 2c");
  range(1, "7h7d");
  const std::size_t own = hand_of("7h7d"), weaker = hand_of("AhAd"), stronger = hand_of("KsKd");
  std::mt19937 gen(5);
  int outside = 0;
  for (int round = 0; round < 40; ++round) {
    // Weight 1-100 on every hand that shares a card with 7h7d, a trace on one it loses to and
    // one it beats.
    Vec& opp = s.game.ranges[0];
    opp.assign(kHands, 0.0);
    for (int h = 0; h < kHands; ++h)
      if (!(hand_mask(h) & s.game.board_mask()) && (hand_mask(h) & hand_mask(int(own))))
        opp[std::size_t(h)] = std::uniform_real_distribution<double>(1, 100)(gen);
    opp[weaker] = std::pow(10.0, -std::uniform_real_distribution<double>(9, 16)(gen));
    opp[stronger] = std::pow(10.0, -std::uniform_real_distribution<double>(9, 16)(gen));
    s.clear_lines(), line({0, 0});
    GameTree& tree = build();
    EquityVectors e = showdown_equity(s.tree.get(), 1, tree.board_turn, tree.board_river, s.game.ranges[1], opp);
    outside += std::fabs(e.difference[own]) > 1.0 || e.weight[own] < 0.0;
    s.free_tree();
  }
  EXPECT_EQ(outside, 0);
}

// Every row set sums to 1 for each hand the board leaves in the acting player's range, and the
// range at a node is the range times the player's own probabilities along the path, as the
// traversal's own reach says (current strategies, then averages; 1/n before iteration 25:
// protocol/queries.case). EVs: the weighted average at the first decision is the result's EV; a
// decision's children split the node's weight and weighted EV hand by hand, a chance node's are
// the average over its cards, and the line EV of a turn node is the same for every turn card.
TEST_F(QueriesTest, StrategiesRangesAndEvsFollowThePath) {
  board("Kd 8d 5h");
  for (int p : {0, 1}) symmetric_range(p, 1, 3 + p, 0.06);
  lines({{0, 0, 0, 0, 0, 0}, {0, 0, 40, 40, 40, 40}, {0, 0, 0, 40, 40, 40, 40}, {40, 40, 40, 40, 80, 140, 140}});
  GameTree& tree = build();
  ASSERT_TRUE(tree.has_flag(ISOMORPHISM_ON));
  for (int from : {30, 61}) {  // averaging starts after iteration 60
    s.solver_state.iterations = from;
    iterate(tree, 4);
    SCOPED_TRACE(from);
    for (const char* path : {"r:0", "r:0:c", "r:0:c:c:Ah", "r:0:b40:c:Qc:c", "r:0:b40:c:Qc:c:c:4c"}) {
      std::vector<Vec> rows = strategy(path);
      NodeRef ref = at(path);
      CardMask dealt = tree.flop_mask | (ref.turn >= 0 ? card_bit(ref.turn) : 0) | (ref.river >= 0 ? card_bit(ref.river) : 0);
      // Hands outside the acting player's range have no strategy, like blocked ones.
      const Vec& actor_range = s.game.ranges[ref.node->player];
      for (int h = 0; h < kHands; ++h) {
        double sum = 0;
        for (const Vec& row : rows) sum += row[std::size_t(h)];
        bool listed = !(hand_mask(h) & dealt) && actor_range[std::size_t(h)] != 0;
        EXPECT_NEAR(sum, listed ? 1.0 : 0.0, 1e-6) << path << " " << h;  // float regrets
      }
    }
    for (const char* path : {"r:0:c", "r:0:c:c:Ah", "r:0:c:c:2s:c:b40:c:7c", "r:0:b40:c:Qc:c:c:4c:b80", "r:0:b40:c:Qs:c:c:4c:b80"}) {
      SCOPED_TRACE(path);
      NodeRef ref = at(path);
      for (int p = 0; p < 2; ++p) {
        Vec r = range_at_node(s.game.ranges, s.tree.get(), s.solver_state, p, ref);
        GameTree::CardIndices idx = look_up_board(tree, ref.turn, ref.river).indices;
        NodeQuery q;
        ASSERT_TRUE(query_node(tree, s.solver_state, p, ref.node->record_index, idx.turn, idx.river, q));
        // The traversal starts from the range scaled to sum 1 over the hands the flop leaves.
        double total = 0;
        for (int h = 0; h < kHands; ++h)
          if (!(hand_mask(h) & tree.flop_mask)) total += s.game.ranges[std::size_t(p)][std::size_t(h)];
        SuitMapping m = canonical_suits(tree.flop_mask, ref.turn >= 0 ? card_bit(ref.turn) : 0,
                                        ref.river >= 0 ? card_bit(ref.river) : 0);
        for (int h = 0; h < kHands; ++h) {
          int pos = q.board->hands(p).position_of_hand[std::size_t(map_hand(h, m))];
          if (pos < 0) continue;
          EXPECT_NEAR(r[std::size_t(h)], q.own_reach[std::size_t(pos)] * total, 1e-9) << h;
        }
      }
    }
  }
  for (int player = 0; player < 2; ++player) {
    SCOPED_TRACE(player);
    auto ev_at = [&](const std::string& path) { return node_ev(tree, s.solver_state, player, at(path)); };
    s.solver_state.results.iteration = -1;
    EvVectors root = ev_at("r:0");
    EXPECT_EQ(s.solver_state.results.iteration, s.solver_state.iterations);
    double ev = 0, total = 0;
    for (std::size_t h = 0; h < std::size_t(kHands); ++h)
      ev += weighted(root, h), total += std::isnan(root.weight[h]) ? 0 : root.weight[h];
    EXPECT_NEAR(ev, s.solver_state.results.ev[player], 1e-9);
    EXPECT_NEAR(total, 1.0, 1e-9);

    EvVectors check = ev_at("r:0:c"), bet = ev_at("r:0:b40"), split = ev_at("r:0:c:c");
    Vec card_weight(kHands, 0.0), card_ev(kHands, 0.0);
    for (int c = 0; c < kCards; ++c) {
      if (tree.flop_mask & card_bit(c)) continue;
      EvVectors e = ev_at(std::string("r:0:c:c:").append(card_text(c)));
      for (std::size_t h = 0; h < std::size_t(kHands); ++h)
        if (e.weight[h] > 0) card_weight[h] += e.weight[h] / 45, card_ev[h] += weighted(e, h) / 45;
    }
    EvVectors line_a = line_ev(tree, s.solver_state, player, at("r:0:c:c:Ah")), line_b = line_ev(tree, s.solver_state, player, at("r:0:c:c:2s"));
    for (std::size_t h = 0; h < std::size_t(kHands); ++h) {
      if (std::isnan(root.ev[h])) {
        EXPECT_TRUE(std::isnan(check.ev[h]) && std::isnan(check.weight[h]));
        continue;
      }
      // Action probabilities add up to 1 within float rounding.
      EXPECT_NEAR(check.weight[h] + bet.weight[h], root.weight[h], 1e-6 * root.weight[h]);
      EXPECT_NEAR(weighted(check, h) + weighted(bet, h), weighted(root, h), 1e-4 * root.weight[h]);
      EXPECT_NEAR(split.weight[h], card_weight[h], 1e-12);
      EXPECT_NEAR(weighted(split, h), card_ev[h], 1e-10);
      EXPECT_EQ(line_a.weight[h], line_b.weight[h]);
      EXPECT_NEAR(line_a.weight[h], 45 * split.weight[h], 1e-12);
      if (std::isnan(line_a.ev[h])) continue;
      EXPECT_EQ(line_a.ev[h], line_b.ev[h]);
      EXPECT_NEAR(line_a.ev[h], split.ev[h], 1e-9);
    }
  }
}

// Isomorphism on and off: after solving to a tight accuracy the same EVs and strategies, also at
// river nodes whose card is merged with others (equities: EquityMatchesBruteForce).
TEST_F(QueriesTest, IsomorphismChangesNoReport) {
  std::vector<Vec> rows[2];  // EVs divided by 10, then strategies
  double expl[2];
  for (int iso = 0; iso < 2; ++iso) {
    restart();
    s.settings.isomorphism = {iso == 1, iso == 1, false};
    board("As Ks 7d 2d");
    range(0, "AcAh 7c7h QcJc QhJh 9c8c 9h8h AdKd KhQh KcQc");
    range(1, "KcKh AcQc AhQh TcTh JcTh JhTc 6c5c 6h5h 8d8s");
    lines({{0, 0, 0, 0}, {0, 0, 30, 30}, {30, 30, 30, 30}, {30, 90, 90}});
    GameTree& tree = build();
    ASSERT_EQ(tree.has_flag(ISOMORPHISM_ON), iso == 1);
    iterate(tree, 200);
    ASSERT_TRUE(evaluate_both(tree, s.solver_state));
    expl[iso] = s.solver_state.results.exploitability;
    for (const char* path : {"r:0", "r:0:c", "r:0:b30", "r:0:c:c:3h", "r:0:c:c:3c", "r:0:b30:c:Jh"}) {
      NodeRef ref = at(path);
      int player = int(ref.node->player);
      rows[iso].push_back(node_ev(tree, s.solver_state, player, ref).ev);
      for (double& v : rows[iso].back()) v /= 10;
      Vec in_range = range_at_node(s.game.ranges, s.tree.get(), s.solver_state, player, ref);
      for (Vec& row : strategy(path)) {
        for (int h = 0; h < kHands; ++h) row[std::size_t(h)] *= in_range[std::size_t(h)] > 0;
        rows[iso].push_back(row);
      }
    }
  }
  EXPECT_LT(expl[0], 0.05);
  EXPECT_NEAR(expl[0], expl[1], 1e-6);
  // Both trees solve the same game the same way: the bound (0.1 for EVs) leaves room for rounding.
  for (std::size_t k = 0; k < rows[0].size(); ++k)
    for (std::size_t h = 0; h < std::size_t(kHands); ++h) {
      ASSERT_EQ(std::isnan(rows[0][k][h]), std::isnan(rows[1][k][h]));
      if (std::isnan(rows[0][k][h])) continue;
      EXPECT_NEAR(rows[0][k][h], rows[1][k][h], 0.01) << k << " " << h;
    }
}

}  // namespace
