// Card codes, hand indexes, the protocol hand order and set_range (the other game-description
// commands: protocol/game_description.case).
#include <gtest/gtest.h>

#include "app/commands.h"
#include "core/failure.h"
#include "cards/cards.h"
#include "cards/game.h"
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

TEST(Cards, ParseCardsAcceptsCaseAndBlanksRejectsBadOrRepeated) {
  EXPECT_EQ(parse_cards("ks7D"), parse_cards("Ks") | parse_cards("7d"));
  EXPECT_EQ(parse_cards("Ks 7d  2c"), parse_cards("Ks7d2c"));
  EXPECT_EQ(parse_cards(""), 0u);
  for (const char* bad : {"10c", "K", "Kx", "1s", "KsKs", "Ks7", "Ks\t7d", " Ks"})
    EXPECT_THROW(parse_cards(bad), CommandFailure) << bad;
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

Tokens range_tokens(const std::string& player, const std::string& bad_weight = "") {
  Tokens t{"set_range", player};
  for (int p = 0; p < kHands; ++p) t.push_back(std::to_string(p) + "abc");  // trailing text ignored
  if (!bad_weight.empty()) t[700] = bad_weight;
  return t;
}

TEST_F(HandOrderFixture, SetRangeMapsHandOrderToHandIndexAndKeepsOldOnFailure) {
  Session s;
  cmd_set_range(s, range_tokens("villain"));
  const std::vector<double>& r = s.game.ranges[1];
  ASSERT_EQ(r.size(), std::size_t(kHands));
  for (int i = 0; i < kHands; ++i) EXPECT_EQ(r[i], hand_to_order[i]);
  EXPECT_THROW(cmd_set_range(s, range_tokens("villain", "abc")), InvalidValue);
  EXPECT_THROW(cmd_set_range(s, range_tokens("Villain")), CommandFailure);
  EXPECT_EQ(s.game.ranges[1][0], 6);  // 3c2c sits at position 6
  EXPECT_TRUE(s.game.ranges[0].empty());
}

}  // namespace
