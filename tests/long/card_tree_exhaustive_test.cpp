// The card tree's structure on every canonical flop: weights, child counts, and every real
// turn and river card reaching the node of its class.
#include <gtest/gtest.h>

#include <set>

#include "tree/board_lookup.h"
#include "tree/game_tree.h"

namespace {

TEST(CardTreeLong, EveryFlopClassHasConsistentTurnAndRiverCards) {
  std::set<CardMask> classes;
  for (int a = 0; a < kCards; ++a)
    for (int b = a + 1; b < kCards; ++b)
      for (int c = b + 1; c < kCards; ++c) {
        CardMask flop = card_bit(a) | card_bit(b) | card_bit(c);
        CardMask canonical = map_mask(flop, canonical_suits(flop, 0, 0));
        ASSERT_EQ(map_mask(canonical, canonical_suits(canonical, 0, 0)), canonical);
        classes.insert(canonical);
      }
  // Suits are renamed by the order of the flop cards, so a few isomorphic flops stay apart
  // (2c 3d 4h and 3c 2d 4h): more classes than the 1,755 strategic ones, far fewer than 22,100.
  ASSERT_GE(classes.size(), 1755u);
  ASSERT_LT(classes.size(), 4000u);
  for (CardMask flop : classes) {
    auto root = build_card_tree(flop, -1, -1, true, nullptr);
    std::uint32_t turn_weight = 0;
    for (const CardNode& turn : root->children) {
      turn_weight += turn.weight;
      std::uint32_t river_weight = 0;
      for (const CardNode& river : turn.children) river_weight += river.weight;
      ASSERT_EQ(river_weight, 48u);
    }
    ASSERT_EQ(turn_weight, 49u);
    int suits = 0;
    for (int s = 0; s < 4; ++s) suits += ((flop >> (13 * s)) & 0x1FFF) != 0;
    const std::size_t expected_children[] = {0, 23, 36, 49};
    ASSERT_EQ(root->children.size(), expected_children[suits]);

    // Every real turn and river reaches a node; merged cards reach the node of their class.
    GameTree tree;
    tree.flop_mask = flop;
    tree.flags |= ISOMORPHISM_ON;
    tree.root_card = std::move(root);
    for (int t = 0; t < kCards; ++t) {
      if (flop & card_bit(t)) continue;
      const CardNode* turn = look_up_board(tree, t, -1).node;
      ASSERT_NE(turn, nullptr);
      SuitMapping m = canonical_suits(flop, card_bit(t), 0);
      ASSERT_EQ(turn->board, map_mask(flop | card_bit(t), m));
      for (int r = 0; r < kCards; ++r) {
        if ((flop | card_bit(t)) & card_bit(r)) continue;
        const CardNode* river = look_up_board(tree, t, r).node;
        ASSERT_NE(river, nullptr);
        SuitMapping mr = canonical_suits(flop, card_bit(t), card_bit(r));
        ASSERT_EQ(river->board, map_mask(flop | card_bit(t) | card_bit(r), mr));
      }
    }
  }
}

}  // namespace
