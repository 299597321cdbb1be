// Per-player hand lists against every-hand lists: the same algorithm on the same iterations, so
// game values, exploitability and the strategies of in-range hands agree within float
// rounding; and the per-node value memory follows the acting player's list.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "core/output.h"
#include "queries/strategy_report.h"
#include "spot_fixture.h"
#include "storage/value_array.h"
#include "tree/board_lookup.h"
#include "tree/tree_storage.h"

namespace {

struct Solved { double ev[2], mes[2]; std::vector<StrategyRead> reads; };

struct HandListsTest : SpotFixture {
  // Runs `describe` (board, ranges, lines), builds with the given settings, solves `iterations`
  // and reads every decision node on the given runouts (real cards; -1 where not dealt).
  Solved solve(const std::function<void()>& describe, bool all_hands, bool isomorphism, int iterations,
                      const std::vector<std::pair<int, int>>& runouts) {
    s.clear_lines();
    describe();
    s.settings.all_hands = all_hands;
    s.settings.isomorphism = {isomorphism, isomorphism, false};
    GameTree& tree = build();
    SolverState& state = s.solver_state;
    s.settings.all_hands = false;
    // The first iteration averages 16-bit river regrets over each strength class of the actor's
    // list, which with every-hand lists takes in hands outside the range: the games compared
    // start after it.
    state.iterations = 1;
    for (int i = 0; i < iterations; ++i) run_iteration(tree, state);
    Solved s{};
    EXPECT_TRUE(evaluate_both(tree, state));
    for (int p = 0; p < 2; ++p) s.ev[p] = state.results.ev[p], s.mes[p] = state.results.mes[p];
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
      if (!tree.nodes[i].is_decision()) continue;
      for (auto [turn, river] : runouts)  // the board's own cards where the runout gives none
        s.reads.push_back({int(i), turn < 0 ? tree.board_turn : turn, river < 0 ? tree.board_river : river, {}});
    }
    read_strategies(tree, state, s.reads);
    discard_pending_output();
    return s;
  }

  // Per-player lists give what every-hand lists give, for the hands each range holds.
  void expect_same_game(const std::function<void()>& describe, int iterations,
                               const std::vector<std::pair<int, int>>& runouts, bool isomorphism) {
    kernels::select_kernels(&kernels::plain_kernels());
    Solved all = solve(describe, true, isomorphism, iterations, runouts);
    Solved own = solve(describe, false, isomorphism, iterations, runouts);
    kernels::select_kernels(nullptr);
    const GameTree& tree = *s.current_tree();
    double scale = 1e-9 * s.game.root_pot();
    for (int p = 0; p < 2; ++p) {
      EXPECT_NEAR(own.ev[p], all.ev[p], scale) << "player " << p;
      EXPECT_NEAR(own.mes[p], all.mes[p], scale) << "player " << p;
    }
    ASSERT_EQ(own.reads.size(), all.reads.size());
    int compared = 0;
    for (std::size_t r = 0; r < own.reads.size(); ++r) {
      const StrategyRead &a = all.reads[r], &b = own.reads[r];
      int actor = int(tree.nodes[std::size_t(a.index)].player);
      const std::vector<double>& range = s.game.ranges[std::size_t(actor)];
      for (std::size_t action = 0; action < a.rows.size(); ++action)
        for (int h = 0; h < kHands; ++h) {
          bool in = range[std::size_t(h)] != 0;  // a hand outside the range has no strategy: exactly 0
          compared += in;
          ASSERT_NEAR(b.rows[action][std::size_t(h)], in ? a.rows[action][std::size_t(h)] : 0.0, in ? 1e-7 : 0.0)
              << (in ? "" : "outside the range: ") << "node " << a.index << " action " << action << " hand " << h;
        }
    }
    EXPECT_GT(compared, 100);
  }

  // The lines of a benchmark spot file (bench/spots, else the shared folder), without its build.
  std::filesystem::path spot_path(const char* name) {
    std::filesystem::path own = std::filesystem::path(TRAVANTO_SPOTS_DIR) / (std::string(name) + ".txt");
    return std::filesystem::exists(own) ? own : std::filesystem::path(TRAVANTO_SHARED_SPOTS_DIR) / own.filename();
  }
  std::function<void()> spot_file(const char* name) {
    return [this, name] {
      std::ifstream in(spot_path(name));
      ASSERT_TRUE(in) << name;
      for (std::string line; std::getline(in, line);) {
        Tokens t = split_tokens(line);
        if (!t.empty() && t[0] != "build_tree") dispatch_tokens(s, t);
      }
      discard_pending_output();
    };
  }

  int card(const char* text) { return std::countr_zero(parse_cards(text)); }
};

TEST_F(HandListsTest, BenchmarkSpotsGiveTheSameGame) {
  for (bool iso : {true, false}) {
    expect_same_game(spot_file("R1"), 70, {{-1, -1}}, iso);
    expect_same_game(spot_file("T1"), 25, {{-1, card("2s")}, {-1, card("Ad")}, {-1, card("9c")}}, iso);
  }
}

// Ranges that differ between suits (isomorphism off) and overlap only in part.
TEST_F(HandListsTest, AsymmetricRangesGiveTheSameGame) {
  auto river = [&] {
    board("Ah Kd 8s 5c 2h");
    range(0, "AsAd KhKs 8h8d AdKs QhJh Tc9c 7h6h 4d3d JsTs 9h8h AcQc");
    range(1, "AcKc KcQc 8c8d 5h5d Ts9s QdJd 7c7d 6s6d Jc9c 3s3c AsJs");
    lines({{0, 0}, {0, 60, 60}, {0, 60, 180, 180}, {60, 60}, {60, 200, 200}});
  };
  expect_same_game(river, 70, {{-1, -1}}, false);
  auto turn = [&] {
    board("Qs 9h 4d 2c");
    range(0, "AsAh QhQd 9s9d AhQh KsJs JdTd 8s7s 6h5h Ac4c 3h3d KdQd Th9s");
    range(1, "KhKc QcJc 9c8c 4h4s AdKd Ts8s 7d6d 5s5c Jh9d AsQd 2d2h");
    lines({{0, 0, 0, 0}, {0, 0, 50, 50}, {50, 50, 50, 50}, {50, 50, 150, 150}, {0, 50, 150, 150}});
  };
  expect_same_game(turn, 70, {{-1, card("Ac")}, {-1, card("7h")}, {-1, card("Qd")}}, false);
}

// A range that some rivers empty solves with empty lists on those rivers (a range the board
// empties is refused: protocol/tree.case).
TEST_F(HandListsTest, RiversThatEmptyARangeSolve) {
  board("Qd 7c 2h 3s");
  range(0, "AsKs");
  range(1, "JcTc 5d4d");
  s.settings.isomorphism = {true, false, false};
  lines({{0, 0, 0, 0}, {0, 0, 50, 50}});
  GameTree& tree = build();
  EXPECT_EQ(look_up_board(tree, card("3s"), card("As")).node->hand_count(0), 0);
  EXPECT_EQ(look_up_board(tree, card("3s"), card("Ah")).node->hand_count(0), 1);
  for (int i = 0; i < 30; ++i) run_iteration(tree, s.solver_state);
  ASSERT_TRUE(evaluate_both(tree, s.solver_state));
  EXPECT_TRUE(std::isfinite(s.solver_state.results.exploitability));
  EXPECT_GE(s.solver_state.results.exploitability, -1e-9);
}

// The value arrays of river nodes take, per river board, the actor's listed hands (padded to
// four) times the actions: counted here from the ranges and boards, not from the lists.
TEST_F(HandListsTest, RiverValueMemoryFollowsTheActorsRange) {
  // F1 is in the shared spot folder beside the project only.
  if (!std::filesystem::exists(spot_path("F1"))) GTEST_SKIP() << "no shared spot F1";
  spot_file("F1")();
  GameTree& tree = build();
  std::int64_t expected = 0, stored = 0;
  for (const ActionNode& node : tree.nodes) {
    if (!node.is_decision() || node.street != 3) continue;
    const std::vector<double>& range = tree.ranges[node.player];
    std::int64_t hands = 0;
    for (const CardNode& turn : tree.root_card->children)
      for (const CardNode& river : turn.children) {
        int listed = 0;
        for (int h = 0; h < kHands; ++h)
          if (range[std::size_t(h)] != 0 && !(hand_mask(h) & river.board)) ++listed;
        hands += ValueLayout::padded(listed);
      }
    expected += hands * std::int64_t(node.children.size()) * (2 + 4);  // 16-bit regrets, float averages
    stored += node.regrets->size() * 2 + node.averages->size() * 4;
  }
  EXPECT_GT(expected, 0);
  EXPECT_EQ(stored, expected);
}

}  // namespace
