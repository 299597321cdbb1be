// The solving iteration: queries on stored deal values, kept strategies. (Known answers:
// best_response_oracle_test.cpp and protocol/solver_*.case, locks_closed_forms.case.)
#include <gtest/gtest.h>

#include "storage/value_array.h"

#include "spot_fixture.h"
#include "storage_files.h"

namespace {

struct SolverTest : SpotFixture {};
void iterate(GameTree& tree, SolverState& state, int n) { for (int i = 0; i < n; ++i) run_iteration(tree, state); }

// Query passes do not descend below deals that start with a decision: they read the values the
// last evaluation stored in the deal records (deals that start with an all-in showdown have none
// and are walked). On a flop tree the root query then matches the evaluation through both
// deals, and so do the queries at the root's children combined; queries made before any
// evaluation find nothing stored. OOP's reach below its own action is its range times the
// action's probability.
TEST_F(SolverTest, QueriesReadTheDealValuesOfTheLastEvaluation) {
  board("Td 9d 6h");
  range(0, "AdKd QsQh 9s9h 8d7d");
  range(1, "KsKh QdJd 7h7c AhQh");
  line({0, 0, 0, 0, 0, 0});
  line({0, 0, 50, 50, 50, 50});
  line({0, 100, 100});  // all in: the deals below the call start with a showdown, not a decision
  line({100, 100});
  GameTree& tree = build();
  iterate(tree, s.solver_state, 3);
  NodeQuery before;
  ASSERT_TRUE(query_node(tree, s.solver_state, 0, 0, -1, -1, before));
  ASSERT_TRUE(evaluate_both(tree, s.solver_state));
  EXPECT_NE(before.values, s.solver_state.root_values[0]);  // nothing was stored below the checks yet
  const ActionNode& root = tree.nodes[0];
  int n = tree.start_card_node().hand_count(0);
  std::vector<double> sigma(std::size_t(n) * root.children.size());
  root.averages->average_strategy(0, 0, *root.regrets, sigma.data(), std::size_t(n));
  for (int player = 0; player < 2; ++player) {
    const std::vector<double>& expected = s.solver_state.root_values[std::size_t(player)];
    NodeQuery q;
    ASSERT_TRUE(query_node(tree, s.solver_state, player, 0, -1, -1, q));
    ASSERT_EQ(q.values.size(), expected.size());
    for (std::size_t i = 0; i < q.values.size(); ++i) EXPECT_NEAR(q.values[i], expected[i], 1e-12);
    // Below the root: OOP's values are its action probabilities times its actions' values,
    // IP's the sum of its values after each of OOP's actions.
    std::vector<double> combined(std::size_t(n), 0.0);
    for (std::size_t a = 0; a < root.children.size(); ++a) {
      NodeQuery child;
      ASSERT_TRUE(query_node(tree, s.solver_state, player, root.children[a], -1, -1, child));
      for (std::size_t i = 0; i < std::size_t(n); ++i) {
        double share = player == 0 ? sigma[a * std::size_t(n) + i] : 1.0;
        combined[i] += share * child.values[i];
        EXPECT_TRUE(player == 1 || std::fabs(child.own_reach[i] - tree.start_weights[0][i] * share) < 1e-12) << i;
      }
    }
    for (std::size_t i = 0; i < std::size_t(n); ++i) EXPECT_NEAR(combined[i], expected[i], 1e-12) << player << " " << i;
  }
}

// The strategies a river-start tree keeps between passes are always those its regrets give:
// after whole iterations, after one pass alone, after a command wrote regrets between the two
// passes of an iteration, and after the tree was saved and loaded again.
TEST_F(SolverTest, KeptStrategiesMatchThePresentRegrets) {
  board("As Ks Qd 7c 2h");
  range(0, "JcTc JdTd 5c4c 5d4d 6c4c QsQh");
  range(1, "8s8h 9s9h AhQh");
  line({0, 0});
  line({0, 50, 50});
  line({100, 300, 300});
  GameTree* tree = &build();
  // Kept rows found current (some after each step), each against regret matching done afresh.
  auto check_rows = [&](const char* step, bool some = true) {
    int current = 0;
    for (std::size_t i = 0; i < tree->nodes.size(); ++i)
      if (const std::vector<double>* kept = kept_strategy_rows(*tree, s.solver_state, int(i))) {
        const ActionNode& node = tree->nodes[i];
        std::size_t n = std::size_t(tree->start_card_node().hand_count(int(node.player))), actions = node.children.size();
        std::vector<double> fallback(actions), fresh(n * actions);
        kernels::fallback_vector(kernels::Fallback::training, int(actions), fallback.data());
        node.regrets->current_strategy(0, 0, fallback.data(), fresh.data(), n);
        EXPECT_EQ(*kept, fresh) << step << ", node " << i;
        ++current;
      }
    EXPECT_TRUE(current > 0 || !some) << step;
  };
  iterate(*tree, s.solver_state, 20);
  check_rows("iterations");
  solve_pass(*tree, s.solver_state, 1, PassMode::training);
  check_rows("one pass");
  // OOP's first decision, whose rows IP's pass kept, gets new regrets before OOP's pass.
  Tokens strategy{"set_strategy", "r:0", "0"};
  strategy.insert(strategy.end(), kHands, "0.25");
  run(strategy);
  check_rows("set_strategy", false);
  solve_pass(*tree, s.solver_state, 0, PassMode::training);
  check_rows("set_strategy between passes");
  storage_test::TempDir dir;
  save_tree_file(*tree, s.solver_state, dir / "kept.tree");
  load(dir / "kept.tree");
  tree = s.current_tree();
  check_rows("loaded", false);
  iterate(*tree, s.solver_state, 3);
  check_rows("loaded and solved on");
}

}  // namespace
