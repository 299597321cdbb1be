// Forgetting streets: results that stand on the stored deal values, the ranges frozen at the
// deals, rebuilding and solving the subgames again, tree files of forgotten trees, refusals.
#include <gtest/gtest.h>

#include <numeric>

#include "solver/forgetting.h"
#include "kernels/kernels.h"

#include "spot_fixture.h"

namespace {

struct Forgetting : SpotFixture {
  void SetUp() override { SpotFixture::SetUp(), s.compression_setting = 0; }

  GameTree& flop_tree() { return small_flop_spot(), build(); }
  GameTree& turn_tree() {
    board("Td 9d 6h Qc");
    range(0, "AdKd AhKh QsQh 9s9h 8d7d 5d4d 8s7s AcJc");
    range(1, "KsKh QdJd TsTh 7h7c AhQh 8h7h 6s5s AsTs");
    lines({{0, 0, 0, 0}, {0, 0, 50, 50}, {50, 50, 50, 50}, {50, 150, 150}});
    return build();
  }
  // OOP's value per hand pair in the subgame below `node` (turn, river), under fixed reaches,
  // with the tree's strategies; below a deal, against the reaches collected there.
  double value_per_pair(GameTree& tree, int node, int turn, int river, const std::array<std::vector<double>, 2>& reach) {
    CommandLock lock;
    std::vector<double> compatible(reach[0].size());
    kernels::fold_values(reach[1].data(), tree.card_node_at(turn, river).hand_pair(0), 1.0, compatible.data());
    double pairs = 0;
    for (std::size_t i = 0; i < compatible.size(); ++i) pairs += reach[0][i] * compatible[i];
    PassResult r = subgame_pass(tree, s.solver_state, 0, PassMode::evaluation, node, turn, river, reach[1], reach[0]);
    return pairs > 0 ? r.value / pairs : 0;
  }
  double mass(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }
  // The largest reach of either player at any of the deals.
  double largest(const std::vector<DealItem>& items) {
    return std::accumulate(items.begin(), items.end(), 0.0, [&](double m, const DealItem& i) { return std::max({m, mass(i.reach[0]), mass(i.reach[1])}); });
  }
  int missing_arrays(const GameTree& tree) {
    return int(std::count_if(tree.nodes.begin(), tree.nodes.end(), [](const ActionNode& n) { return n.is_decision() && !n.regrets; }));
  }
};

}  // namespace

// Forget, rebuild, solve the subgames again: the game comes back close to where the full
// solve left it, on the turn spot (rivers; under the schedule that keeps negative regrets, signed
// in its 16-bit river rows) and the flop spot (turns; its rivers forgotten and solved again: the
// tree file round trips).
TEST_F(Forgetting, ResolvedSubgamesGiveBackTheGame) {
  for (int street : {3, 2}) {
    SCOPED_TRACE(street);
    if (kSanitizedBuild && street == 2) continue;  // flop solves: the plain build runs them
    s.clear_lines();
    GameTree& tree = street == 2 ? flop_tree() : turn_tree();
    s.solver_state.schedule = street == 3 ? negative_decay_schedule() : SolverSchedule{};
    TreeResults full = solve(tree, street == 2 ? 150 : 300);
    std::vector<DealItem> items = collect_deals(tree, s.solver_state, street);
    std::vector<double> before;
    for (const DealItem& item : items) before.push_back(value_per_pair(tree, item.root.node, item.root.turn, -1, item.reach));
    // Forgetting frees the street's arrays (the results that stand on the stored values: the
    // forgotten trees of tree_file_test.cpp's round trips).
    ASSERT_TRUE(forget_streets(tree, s.solver_state, street) && tree.has_flag(INCOMPLETE_TREE) && tree.forgotten_from == street);
    for (const ActionNode& node : tree.nodes) EXPECT_TRUE(!node.is_decision() || (node.regrets == nullptr) == (int(node.street) >= street));
    ASSERT_TRUE(rebuild_forgotten_streets(tree, s.solver_state));
    EXPECT_TRUE(!tree.has_flag(INCOMPLETE_TREE) && missing_arrays(tree) == 0);
    int iterations = s.solver_state.iterations;
    ASSERT_TRUE(solve_all_splits(tree, s.solver_state, street));
    EXPECT_TRUE(s.solver_state.iterations == iterations && tree.forgotten_from == -1);
    TreeResults resolved = results(tree);
    // The subgames meet the same frozen ranges the full solve gave them: their values, and the
    // whole tree's, agree within what the full solve's accuracy allows.
    double tolerance = 2 * full.exploitability + 0.5;
    EXPECT_NEAR(resolved.ev[0], full.ev[0], tolerance);
    EXPECT_LT(resolved.exploitability, full.exploitability + tolerance);
    // Each subgame reached with noticeable weight has the value the full solve had there.
    int compared = 0;
    for (std::size_t i = 0; i < items.size(); ++i)
      EXPECT_TRUE(std::min(mass(items[i].reach[0]), mass(items[i].reach[1])) < 0.05 * largest(items) ||
                  (++compared && std::fabs(value_per_pair(tree, items[i].root.node, items[i].root.turn, -1, items[i].reach) - before[i]) < 0.1)) << "deal " << i;  // chips per hand pair
    EXPECT_GT(compared, 0);
    // After the re-solve the tree trains as a whole again.
    run_iteration(tree, s.solver_state);
  }
}

// One forgotten river runout solved again on its own: the subgame's value under the kept ranges
// is the one the full solve had there; the runout can be reported on again, the others not.
TEST_F(Forgetting, PartialSolveOfOneRunoutGivesBackItsValue) {
  GameTree& tree = turn_tree();
  solve(tree, 400);
  const char* path = "r:0:c:c:2s";
  NodeRef ref = at(path);
  int index = ref.node->record_index;
  // The reaches the deal will keep (it is reached with weight: the fresh ones).
  tree.forgotten_from = 3;  // only so that the subgame can be named before forgetting
  PartialSubgame g;
  ASSERT_TRUE(partial_subgame(tree, index, ref.turn, ref.river, g));
  tree.forgotten_from = -1;
  std::vector<DealItem> items = collect_deals(tree, s.solver_state, 3);
  auto item = std::find_if(items.begin(), items.end(), [&](const DealItem& i) { return i.root.node == g.root; });
  ASSERT_NE(item, items.end());
  const CardNode& board = tree.card_node_at(g.turn, g.river);
  std::array<std::vector<double>, 2> reach;
  for (std::size_t p = 0; p < 2; ++p)
    for (std::int16_t from : board.hands(int(p)).index_maps[0]) reach[p].push_back(item->reach[p][std::size_t(from)]);
  double full = value_per_pair(tree, g.root, g.turn, g.river, reach);

  double exploitability = -1;
  // Nothing forgotten: nothing to solve.
  EXPECT_TRUE(solve_partial(tree, s.solver_state, index, ref.turn, ref.river, s.settings.recalc_accuracy, exploitability) && exploitability == 0.0 && failure({"explo_partial", path}).empty());

  ASSERT_TRUE(forget_streets(tree, s.solver_state, 3));
  EXPECT_EQ(failure({"show_strategy", path}), "ERROR: show_strategy incomplete tree\n");
  s.settings.recalc_accuracy = {0, 0, 0.001 * 100};
  int iterations = 0, before = s.solver_state.iterations;
  ASSERT_TRUE(solve_partial(tree, s.solver_state, index, ref.turn, ref.river, s.settings.recalc_accuracy, exploitability, &iterations));
  EXPECT_TRUE(exploitability <= 0.1 && iterations <= 1000 && s.solver_state.iterations == before && tree.has_flag(INCOMPLETE_TREE));
  EXPECT_NEAR(value_per_pair(tree, g.root, g.turn, g.river, reach), full, 0.25);
  EXPECT_TRUE(failure({"show_strategy", path}).empty() && failure({"show_strategy", "r:0:c:c:3s"}) == "ERROR: show_strategy incomplete tree\n");

  // A loose target is met at the first check, after 50 iterations.
  s.settings.recalc_accuracy = {0, 0, 1000};
  EXPECT_TRUE(solve_partial(tree, s.solver_state, index, ref.turn, ref.river, s.settings.recalc_accuracy, exploitability, &iterations) && iterations == 50);
  s.settings.recalc_accuracy = {0, 0, 0};
}

// Forgetting freezes every deal's ranges, scaled to 100. A deal reached below 1 % of the largest
// reach keeps the range its training accumulated (the bettor is locked to bet one time in a
// thousand); the others take the fresh ranges.
TEST_F(Forgetting, RarelyReachedDealsKeepTheirAccumulatedRanges) {
  GameTree& tree = turn_tree();
  Tokens bet{"set_strategy", "r:0", "1"}, check{"set_strategy", "r:0", "0"};
  bet.insert(bet.end(), kHands, "0.001");
  check.insert(check.end(), kHands, "1");
  for (const Tokens& t : {bet, check, Tokens{"lock_node", "r:0"}}) run(t);
  int rare = at("r:0:b50:c:2s").node->record_index;
  int common = at("r:0:c:c:2s").node->record_index;
  solve(tree, 10);
  std::array<std::vector<double>, 2> accumulated = tree.nodes[std::size_t(rare)].deal->entries[0].reach_sums;
  solve(tree, 10);
  // The locked bettor's reach stays the same, yet later iterations weigh more: the sums more than double.
  for (std::size_t i = 0; i < accumulated[0].size(); ++i)
    EXPECT_GE(tree.nodes[std::size_t(rare)].deal->entries[0].reach_sums[0][i], 2.5 * accumulated[0][i]) << i;
  accumulated = tree.nodes[std::size_t(rare)].deal->entries[0].reach_sums;
  std::vector<DealItem> items = collect_deals(tree, s.solver_state, 3);
  ASSERT_TRUE(forget_streets(tree, s.solver_state, 3));
  int kept = 0;
  for (const DealItem& item : items) {
    const DealEntry& e = tree.nodes[std::size_t(item.root.node)].deal->entries[0];
    EXPECT_TRUE(e.frozen);
    for (std::size_t p = 0; p < 2; ++p) {
      bool rarely = mass(item.reach[p]) <= 0.01 * largest(items);
      kept += rarely;
      EXPECT_TRUE(!rarely || (item.root.node == rare && p == 0));  // only the bettor's side of the rare deal
      const std::vector<double>& expected = rarely ? accumulated[p] : item.reach[p];
      ASSERT_EQ(e.reach_sums[p].size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(e.reach_sums[p][i], expected[i] * 100 / mass(expected), 1e-9);
    }
  }
  EXPECT_EQ(kept, 1);
  EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const DealItem& i) { return i.root.node == common; }));
}
