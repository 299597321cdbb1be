// Locked nodes: rows that training leaves alone, locks through isomorphic runouts, and the
// refusals of the three commands (closed forms of locked games: protocol/locks_closed_forms.case).
#include <gtest/gtest.h>

#include "queries/node_locks.h"
#include "storage/value_array.h"

#include "spot_fixture.h"

namespace {

struct NodeLocks : SpotFixture {
  // set_strategy with one weight for every hand.
  void impose(const std::string& path, int child, const std::string& weight) {
    Tokens t{"set_strategy", path, std::to_string(child)};
    t.insert(t.end(), kHands, weight);
    run(t);
  }
  void lock(const std::string& path, bool on = true) { run({on ? "lock_node" : "unlock_node", path}); }

  // A polarized bettor (two nut straights, three air hands) against one bluff-catcher, pot
  // 100, one pot-sized bet (its locked closed forms: protocol/locks_closed_forms.case).
  GameTree& polarized_river() {
    board("As Ks Qd 7c 2h");
    range(0, "JcTc JdTd 5c4c 5d4d 6c4c");
    range(1, "8s8h");
    line({0, 0});
    line({100, 100});
    return build();
  }
  // Hearts and spades alike on a flop of diamonds and clubs; checks to the river or a turn bet.
  GameTree& flop_spot() {
    board("Td 9d 6c");
    range(0, "AhKh AsKs QhQs 8h7h 8s7s");
    range(1, "JhJs ThTs 9h8h 9s8s");
    line({0, 0, 0, 0, 0, 0});
    line({0, 0, 0, 50, 50, 50, 50});
    return build();
  }

  // Raw bytes of both arrays of a river-start node (plain arrays, one board).
  std::string raw_rows(const std::string& path) {
    const ActionNode& node = s.current_tree()->nodes[std::size_t(at(path).node->record_index)];
    std::string bytes;
    for (const NodeValueArray* a : {node.regrets.get(), node.averages.get()})
      for (int action = 0; action < a->layout().actions; ++action)
        bytes.append(reinterpret_cast<const char*>(dynamic_cast<const PlainValueArray32&>(*a).row(0, 0, action)),
                     sizeof(float) * std::size_t(a->layout().entry(0, 0).count));
    return bytes;
  }
};

}  // namespace

// A lock through a heart turn is seen through the spade of the same rank, not through the
// diamond; a lock through the lowest card reaches no other.
TEST_F(NodeLocks, LockThroughOneRunoutCoversItsIsomorphicClass) {
  GameTree& tree = flop_spot();
  ASSERT_TRUE(tree.has_flag(ISOMORPHISM_ON));
  lock("r:0:c:c:2h:c");
  lock("r:0:c:c:2c:c");  // card 0 named: that card alone
  for (auto [path, locked] : {std::pair{"r:0:c:c:2s:c", true}, {"r:0:c:c:2d:c", false}, {"r:0:c:c:3h:c", false}}) {
    NodeRef ref = at(path);
    NodeBoards b = boards_of_reference(tree, ref.node->record_index, ref.turn, ref.river);
    EXPECT_EQ(tree.nodes[std::size_t(b.node)].regrets->locked(b.boards[0].chunk, b.boards[0].board), locked) << path;
  }
  // A river node without its river card: every river board of its turn, each once.
  NodeRef river = at("r:0:c:c:2h:c:c:c");
  NodeBoards every = boards_of_reference(tree, river.node->record_index, river.turn, -1);
  ASSERT_FALSE(every.boards.empty());
  EXPECT_EQ(every.boards.size(), tree.root_card->children[std::size_t(every.boards[0].chunk)].children.size());
  for (const NodeBoards::Board& b : every.boards) EXPECT_TRUE(b.river >= 0 && b.river < 52) << b.river;
}

// The IP turn decision addressed without its card means every turn card. The locked game is
// the same whether isomorphic boards are merged or not.
TEST_F(NodeLocks, NodeWithoutItsCardLocksEveryRunoutAndIsomorphismKeepsTheValue) {
  if (kSanitizedBuild) GTEST_SKIP() << "two flop solves to a small exploitability: the plain build runs them";
  double value[2], explo[2];
  for (bool iso : {true, false}) {
    s.clear_lines();
    s.settings.isomorphism = {iso, iso, false};
    GameTree& tree = flop_spot();
    EXPECT_EQ(tree.has_flag(ISOMORPHISM_ON), iso);
    impose("r:0:c:c:c", 0, "0.25");
    impose("r:0:c:c:c", 1, "0.75");
    lock("r:0:c:c:c");
    NodeRef ref = at("r:0:c:c:c");
    NodeBoards every = boards_of_reference(tree, ref.node->record_index, -1, -1);
    EXPECT_EQ(every.boards.size(), tree.root_card->children.size());
    for (const NodeBoards::Board& b : every.boards)
      EXPECT_TRUE(tree.nodes[std::size_t(every.node)].regrets->locked(b.chunk, b.board));
    TreeResults r = solve(tree, 300);
    value[iso] = r.ev[0];
    explo[iso] = r.exploitability;
  }
  EXPECT_TRUE(explo[0] < 1.0 && explo[1] < 1.0);
  EXPECT_NEAR(value[0], value[1], explo[0] + explo[1] + 0.05);
}

// Training leaves locked rows bit for bit; refusals leave the node as it was (the texts:
// protocol/locks.case). An imposed row covers only the acting player's listed hands (the weights
// of others are ignored), and the results turn stale so that the next report evaluates again.
TEST_F(NodeLocks, LockedRowsStayRefusalsChangeNothingImposedRowsCoverTheListedHands) {
  GameTree& tree = polarized_river();
  solve(tree, 80);  // past the averaging delay: both arrays hold data
  const ActionNode& root = tree.nodes[std::size_t(at("r:0").node->record_index)];
  lock("r:0:b100");
  std::string before = raw_rows("r:0:b100");
  solve(tree, 100);
  EXPECT_TRUE(raw_rows("r:0:b100") == before && s.solver_state.iterations == 180 && s.solver_state.results.iteration == 180);
  lock("r:0:b100", false);
  solve(tree, 10);
  EXPECT_FALSE(raw_rows("r:0:b100") == before);
  before = raw_rows("r:0");
  for (const char* path : {"r", "r:0:c:c", "r:0:b100:f", "r:0:x"}) EXPECT_ANY_THROW(impose(path, 0, "1")) << path;
  for (int child : {-1, 2}) EXPECT_THROW(impose("r:0", child, "1"), CommandFailure);
  EXPECT_THROW(impose("r:0", 0, "x"), InvalidValue);
  EXPECT_FALSE(root.regrets->locked(0, 0));
  EXPECT_TRUE(raw_rows("r:0") == before);
  impose("r:0", 1, "2");
  EXPECT_EQ(s.solver_state.results.iteration, -1);
  ASSERT_EQ(root.regrets->layout().entry(0, 0).count, 5);
  const float* row = dynamic_cast<const PlainValueArray32&>(*root.regrets).row(0, 0, 1);
  EXPECT_TRUE(std::all_of(row, row + 5, [](float w) { return w == 2000.0f; }));
}
