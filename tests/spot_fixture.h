#pragma once
// A fixture that describes small spots in-process: board, ranges of listed hands, lines, and
// the tree built from them, in a session of its own. Tables are made once; each test starts
// from a new session.
#include <gtest/gtest.h>

#include <bit>
#include <initializer_list>
#include <string>

#include "core/arguments.h"
#include "app/commands.h"
#include "app/session.h"
#include "core/failure.h"
#include "core/settings.h"
#include "cards/evaluator.h"
#include "cards/game.h"
#include "cards/hand_order.h"
#include "solver/solver.h"
#include "solver/tree_file.h"
#include "tree/game_tree.h"
#include "tree/node_path.h"

// Sanitizer builds (debug, instrumented) run solves tens of times slower: tests that solve
// whole flop trees cover fewer configurations there and leave the rest to the plain build.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRAVANTO_TEST_SANITIZED
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(TRAVANTO_TEST_SANITIZED)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

struct SpotFixture : ::testing::Test {
  static void SetUpTestSuite() { init_hand_tables(), build_hand_order_tables(); }
  void SetUp() override { s.settings.isomorphism = {true, true, false}; }

  Session s;

  // The session as a new test finds it, for tests that set up several spots in turn.
  void restart() {
    s.free_tree(), s.clear_lines(), s.game = {}, s.compression_setting = kAutoCompression;
    SetUp();
  }

  // "As Ks Qd 7c 2h" through the set_board command.
  void board(const char* cards) {
    Tokens t{"set_board"};
    for (const std::string& c : split_tokens(cards)) t.push_back(c);
    cmd_set_board(s, t);
  }
  static std::size_t hand_of(const std::string& text) {
    CardMask m = parse_cards(text);
    return std::size_t(hand_index(std::countr_zero(m), 63 - std::countl_zero(m)));
  }
  // Weight 1 for the listed hands ("JcTc 5d4d"), 0 elsewhere.
  void range(int player, const char* hands) {
    s.game.ranges[std::size_t(player)].assign(kHands, 0.0);
    for (const std::string& h : split_tokens(hands)) s.game.ranges[std::size_t(player)][hand_of(h)] = 1.0;
  }
  void line(std::initializer_list<double> amounts) {
    LineMerger m(*s.lines, false);
    for (double a : amounts) m.add(a);
  }
  void lines(std::initializer_list<std::initializer_list<double>> all) {
    for (auto amounts : all) line(amounts);
  }
  // A small flop spot (12 hands a side, checks and two bet sizes through the river) that solves
  // in a few seconds: the flop-start case of the storage, tree-file and forgetting tests.
  void small_flop_spot() {
    board("Td 9d 6h");
    range(0, "AdKd AhKh QsQh 9s9h 8d7d 5d4d 8s7s AcJc KcQc 6c6s");
    range(1, "KsKh QdJd TsTh 7h7c AhQh 8h7h 6s5s AsTs Jh9h 3c3s");
    lines({{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 50, 50}, {0, 0, 50, 50, 50, 50}, {0, 0, 50, 50, 150, 150},
           {50, 50, 50, 50, 50, 50}, {50, 150, 150}});
  }
  // A command by its table row, as the command loop runs it; failure() gives its error, empty
  // when it succeeds.
  void run(const Tokens& t) {
    for (const CommandRow& row : command_table())
      if (t[0] == row.name) return row.handler(s, t);
    ADD_FAILURE() << "no command " << t[0];
  }
  std::string failure(const Tokens& t) try {
    return run(t), "";
  } catch (const EngineError& e) {
    return "ERROR: " + t[0] + " " + e.reason() + "\n";
  } catch (const CommandFailure& e) {
    return e.what();
  }
  // The session's tree, with the session's solver state.
  TreeResults results(GameTree& tree) {
    TreeResults r;
    EXPECT_TRUE(evaluate_both(tree, s.solver_state, &r));
    return r;
  }
  TreeResults solve(GameTree& tree, int iterations) {
    for (int i = 0; i < iterations; ++i) run_iteration(tree, s.solver_state);
    return results(tree);
  }
  // Builds the tree and gives it its memory.
  GameTree& build() {
    s.install_tree(built());
    EXPECT_TRUE(allocate_tree_storage(*s.tree));
    return *s.tree;
  }
  // A tree of the session's description, lines and settings, as build_tree makes it.
  std::unique_ptr<GameTree> built(Notes* notes = nullptr) {
    return build_game_tree(s.game, *s.lines, tree_build_options(s.settings, s.compression_setting), notes);
  }
  // load_tree's effect on the session.
  void load(const std::string& path, Notes* notes = nullptr) {
    s.free_tree();
    load_tree_file(path, {s.game, s.lines, s.tree, s.solver_state, s.schedule}, notes);
  }
  // A path resolved in the session's lines.
  NodeRef at(const std::string& path) { return resolve_path(s.tree.get(), *s.lines, path); }
};
