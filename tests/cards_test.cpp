// Card codes, hand indexes and the protocol hand order (set_range: protocol/input_set_range.case;
// the other game-description commands: protocol/game_description.case).
#include <gtest/gtest.h>

#include "core/failure.h"
#include "cards/cards.h"
#include "cards/hand_order.h"

namespace {

struct HandOrderFixture : ::testing::Test {
  static void SetUpTestSuite() { build_hand_order_tables(); }
};

TEST(Cards, CodesAndHandIndexes) {
  EXPECT_EQ(parse_cards("2c"), card_bit(0));
  EXPECT_EQ(parse_cards("Ac"), card_bit(12));
  EXPECT_EQ(parse_cards("2d"), card_bit(13));
  EXPECT_EQ(parse_cards("As"), card_bit(51));
  EXPECT_EQ(hand_index(0, 1), 0);   // 3c2c
  EXPECT_EQ(hand_index(2, 0), 1);   // 4c2c, either order
  EXPECT_EQ(hand_index(1, 2), 2);   // 4c3c
  EXPECT_EQ(hand_index(50, 51), 1325);  // AsKs
  // hand_cards inverts hand_index over all hands (so no two hands share their cards).
  for (int h = 0; h < kHands; ++h) {
    const HandCards& c = hand_cards()[h];
    ASSERT_LT(c.lo, c.hi);
    EXPECT_EQ(hand_index(c.lo, c.hi), h);
  }
}

// What the protocol's tokens never hold (blanks around cards, tabs, no card); the rest:
// protocol/input_cards.case.
TEST(Cards, ParseCardsEdges) {
  EXPECT_EQ(parse_cards(""), 0u);
  for (const char* bad : {"Ks\t7d", " Ks"}) EXPECT_THROW(parse_cards(bad), CommandFailure) << bad;
  EXPECT_THROW(parse_cards(std::string(256, 'A')), CommandFailure);  // the answer: protocol cases
}

TEST(Cards, MaskTextIsAscendingCardCode) {
  EXPECT_EQ(card_mask_text(parse_cards("Ks7d2c")), "2c 7d Ks");
  EXPECT_EQ(card_mask_text(0), "");
  EXPECT_EQ(card_text(51), "As");
  EXPECT_EQ(card_text(13 + 8), "Td");
}

// The text itself: show_hand_order in protocol/command_loop.case.
TEST_F(HandOrderFixture, Tables) {
  EXPECT_EQ(order_to_hand[0], 78);
  EXPECT_EQ(order_to_hand[6], 0);
  EXPECT_EQ(order_to_hand[1325], 1313);
  EXPECT_EQ(hand_to_order[1325], 1322);
  for (int p = 0; p < kHands; ++p) EXPECT_EQ(hand_to_order[order_to_hand[p]], p);
}

}  // namespace
