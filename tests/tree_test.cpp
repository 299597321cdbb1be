// Game tree building: card tree order, per-board hand data, soundness of suit isomorphism, line
// records and deal records (build failures, node paths and the order of dealt cards as the
// protocol shows them: protocol/tree_paths.case; a turn-start tree: protocol/tree_turn_start.case).
#include <gtest/gtest.h>

#include "spot_fixture.h"

namespace {

// Every hand in both ranges; isomorphism on the flop only.
struct TreeTest : SpotFixture {
  void SetUp() override {
    s.game.ranges = {std::vector<double>(kHands, 1.0), std::vector<double>(kHands, 1.0)};
    s.settings.isomorphism = {true, false, false};
  }
};

TEST_F(TreeTest, RiverCardsOfTheCrowdedSuitComeLast) {
  auto root = build_card_tree(parse_cards("2c3c9d"), -1, -1, false, nullptr);
  const CardNode& turn = root->children[0];  // the four of clubs: three clubs on the board
  ASSERT_TRUE(turn.card == make_card(2, 0) && turn.children.size() == 48u);
  for (std::size_t i = 0; i < 48; ++i)
    EXPECT_TRUE((card_suit(turn.children[i].card) == 0) == (i >= 38) && turn.child_for(turn.children[i].card) == &turn.children[i]) << i;
  // Deuce of diamonds, then of hearts: lowest rank, then suit.
  EXPECT_TRUE(turn.children[0].card == make_card(0, 1) && turn.children[1].card == make_card(0, 2));
}

// The hand list of every node: blocked hands left out, ascending strength, classes and groups
// matching the evaluator, maps pointing at the same hands in the parent's list.
void check_hands(const CardNode& card_node, const CardNode* parent_node, bool grouped) {
  const HandList& node = card_node.all;
  const HandList* parent = parent_node ? &parent_node->all : nullptr;
  int board_cards = std::popcount(card_node.board);
  ASSERT_EQ(node.size(), board_cards == 3 ? 1176 : board_cards == 4 ? 1128 : 1081);
  std::size_t classes = 0, groups = 0;
  for (int i = 0; i < node.size(); ++i) {
    int hand = node.ids[i];
    ASSERT_TRUE(node.position_of_hand[hand] == i && !(hand_mask(hand) & card_node.board));
    const HandCards& c = hand_cards()[hand];
    std::uint8_t cards[7] = {c.lo, c.hi};
    int k = 2;
    for (CardMask b = card_node.board; b; b &= b - 1) cards[k++] = std::uint8_t(std::countr_zero(b));
    ASSERT_EQ(node.strengths[i], evaluate_cards(cards, k));
    ASSERT_TRUE(i == 0 || node.strengths[i - 1] <= node.strengths[i]);
    if (i == 0 || node.strengths[i - 1] != node.strengths[i]) ++classes;
    if (grouped && (i == 0 || node.strengths[i - 1] != node.strengths[i] ||
                    isomorphism_key(node.ids[i - 1], card_node.board) != isomorphism_key(hand, card_node.board)))
      ++groups;
    for (std::size_t m = 0; m < node.index_maps.size(); ++m) {
      int s = card_suit(card_node.card < 0 ? 0 : card_node.card);
      int mapped = m == 0 ? hand : swap_suits_in_hand(hand, s, s + int(m));
      int pos = node.index_maps[m][i];
      ASSERT_EQ(parent ? int(parent->ids[pos]) : pos, mapped);
    }
  }
  ASSERT_TRUE(node.class_sizes.size() == classes && node.group_sizes.size() == groups && node.index_maps.size() == card_node.weight);
}

// Two sessions in one process share nothing: lines, tree and compression level stay each one's.
// The level in force is the tree's, and the last tree's once it is freed.
TEST_F(TreeTest, SessionsAreIndependent) {
  Session other;
  board("Ks 7d 2c Qh");
  line({0, 0});
  s.compression_setting = 2;
  build();
  EXPECT_TRUE(s.compression_in_force() == 2 && other.current_tree() == nullptr && other.lines->is_leaf() && other.compression_in_force() == 0);
  LineMerger(*other.lines, false).add(50);
  s.free_tree();
  EXPECT_TRUE(s.lines->child(50) == nullptr && s.compression_in_force() == 2);
}

TEST_F(TreeTest, HandDataFollowTheEvaluatorOnSampleBoards) {
  for (const char* flop : {"AsKsQs", "Td9d6h", "Kc7d2h"}) {
    ListedHands every;
    auto root = build_card_tree(map_mask(parse_cards(flop), canonical_suits(parse_cards(flop), 0, 0)), -1, -1, true, &every);
    check_hands(*root, nullptr, false);
    for (std::size_t t = 0; t < root->children.size(); t += 7) {
      const CardNode& turn = root->children[t];
      check_hands(turn, root.get(), false);
      for (std::size_t r = 0; r < turn.children.size(); r += 5) check_hands(turn.children[r], &turn, true);
    }
  }
}

TEST_F(TreeTest, AsymmetricRangesBuildWithoutIsomorphism) {
  board("As Ks 7d");
  line({0, 0});
  s.game.ranges[0][hand_index(make_card(0, 2), make_card(1, 2))] = 0.5;  // 3h2h: hearts differ from clubs
  GameTree& tree = build();
  EXPECT_TRUE(!tree.has_flag(ISOMORPHISM_ON) && tree.root_card->children.size() == 49u);
  s.game.ranges[0].assign(kHands, 1.0);
  EXPECT_TRUE(build().has_flag(ISOMORPHISM_ON));
  s.settings.isomorphism[0] = false;
  EXPECT_FALSE(build().has_flag(ISOMORPHISM_ON));
}

TEST_F(TreeTest, RecordsTerminalsAndDealRecords) {
  board("Ks 7d 2c");
  line({100});
  line({0, 0, 0, 0, 0, 0});
  GameTree& tree = build();
  EXPECT_TRUE(tree.effective_stack == 100 && tree.start_street == 1 && tree.largest_stake == 150);
  EXPECT_DOUBLE_EQ(s.solver_state.params.stake_scale, 125.0 / 150);
  // Root, then check subtree (key 0), then the bet's fold and call (key 100).
  const ActionNode& bet = tree.nodes[std::size_t(tree.nodes[0].children.at(1))];
  ASSERT_EQ(bet.children.size(), 2u);
  const ActionNode &fold = tree.nodes[std::size_t(bet.children[0])], &call = tree.nodes[std::size_t(bet.children[1])];
  EXPECT_TRUE(fold.kind == NodeKind::fold && fold.value == 50 && fold.player == 1u && fold.street == 1u);
  EXPECT_TRUE(call.kind == NodeKind::showdown && call.value == 150 && call.street == 3u);
  int turn_deals = 0, river_deals = 0;
  for (const ActionNode& n : tree.nodes) {
    EXPECT_TRUE(n.is_decision() == (n.regrets != nullptr) && (!n.deal || n.is_decision()));
    if (!n.deal) continue;
    EXPECT_EQ(n.deal->entries.size(), n.street == 2 ? 1u : 49u);
    (n.street == 2 ? turn_deals : river_deals)++;
  }
  EXPECT_TRUE(turn_deals == 1 && river_deals == 1);
}

}  // namespace
