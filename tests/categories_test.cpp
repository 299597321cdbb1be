// Hand categories: made hands and draws of hand-checked hands on chosen boards and the shape of
// the results on random boards (the show_categories answer: protocol/categories.case).
#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "cards/categories.h"
#include "cards/evaluator.h"
#include "cards/hand_order.h"

namespace {

struct Classified {
  CategoryResults made{}, draws{};
};

class Categories : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(init_hand_tables());
    build_hand_order_tables();
  }

  static Classified classify(CardMask board) {
    std::vector<std::uint8_t> cards;
    for (CardMask m = board; m; m &= m - 1) cards.push_back(classifier_card(std::countr_zero(m)));
    Classified c;
    classify_made_hands(cards.data(), int(cards.size()), c.made);
    classify_draws(cards.data(), int(cards.size()), c.draws);
    return c;
  }
  static Classified classify(const std::string& board) { return classify(parse_cards(board)); }

  // Position of a hand ("AcAd") in the hand order.
  static int position(const std::string& hand) {
    CardMask m = parse_cards(hand);
    return hand_to_order[hand_index(std::countr_zero(m), 63 - std::countl_zero(m))];
  }

  static MadeHand made(const std::string& board, const std::string& hand) {
    return MadeHand(classify(board).made[position(hand)] / 100);
  }
  static Draw draw(const std::string& board, const std::string& hand) {
    return Draw(classify(board).draws[position(hand)]);
  }
};

// Pairs ranked against the board's ranks (paired boards, counterfeits, pocket pairs), unpaired
// hands by the first card that beats the board, and stronger hands against what the board
// shows (its own straight, flush, full house or quads count for nothing).
TEST_F(Categories, MadeHandsOnChosenBoards) {
  EXPECT_EQ(classify("As Kd 7h").made[position("AcAd")], 1200);
  struct Case {
    const char* board;
    const char* hand;
    MadeHand made;
  };
  for (const Case& c : std::initializer_list<Case>{
      {"As Kd 7h", "AcAd", MadeHand::set}, {"As Kd 7h", "7c7d", MadeHand::set},
      {"As Kd 7h", "QhQs", MadeHand::third_pair}, {"As Kd 7h", "2c2d", MadeHand::low_pair},
      {"As Kd 7h", "Ac2c", MadeHand::top_pair}, {"As Kd 7h", "Kc2c", MadeHand::second_pair},
      {"As Kd 7h", "7c2c", MadeHand::third_pair}, {"As 7d 2h", "QhQs", MadeHand::underpair},
      {"9c 5d 2h", "QcQd", MadeHand::overpair}, {"Qc 9d 5h 3s", "2c2d", MadeHand::low_pair},
      {"As Kd 7h", "AcKc", MadeHand::two_pair}, {"Ks Kd 7h", "9c9d", MadeHand::underpair},
      {"Ks Kd 7h", "7c2c", MadeHand::second_pair}, {"Ks Kd 7h", "Ah2c", MadeHand::ace_high},
      {"Ks Kd 7h 7c 2s", "AhQc", MadeHand::ace_high}, {"Ks Kd 7h 7c 2s", "JhTc", MadeHand::nothing},
      {"Ks Kd 7h 7c 2s", "2h3c", MadeHand::nothing}, {"Ks Kd 7h 7c 2s", "QhQc", MadeHand::underpair},
      {"Kd 9s 4c", "Ah7c", MadeHand::ace_high}, {"Qd 9s 4c", "Kh7c", MadeHand::king_high},
      {"Kd 9s 4c", "Qh7c", MadeHand::nothing}, {"Kd 9s 4c 3h 2d", "Ah6c", MadeHand::ace_high},
      {"Kd 9s 4c 3h 2d", "Ah5c", MadeHand::straight}, {"Ad 9s 4c 3h 2d", "Kh6c", MadeHand::king_high},
      {"Ad Ks Qc Jh 9d", "3h2c", MadeHand::nothing}, {"Kc Kd 7h", "Ks2c", MadeHand::trips},
      {"9c 8d 7h", "JcTc", MadeHand::straight}, {"5c 6d 7h 8s 9c", "Tc2d", MadeHand::straight},
      {"5c 6d 7h 8s 9c", "KdKh", MadeHand::nothing}, {"2h 5h 9h Jh Kh", "3h4c", MadeHand::nothing},
      {"2h 5h 9h Jh Kh", "Ah4c", MadeHand::nothing}, {"2h 5h 9h Th Kh", "QhJh", MadeHand::straight_flush},
      {"2h 5h 9c", "QhJh", MadeHand::nothing}, {"2h 5h 9h", "QhJh", MadeHand::flush},
      {"2h 5h 9h 7c", "QhJh", MadeHand::flush}, {"9c 9d 5h 5s Kd", "9h2c", MadeHand::fullhouse},
      {"5c 5d 5h 9s 9d", "9c2s", MadeHand::top_fullhouse}, {"5c 5d 5h 9s 9d", "KcKs", MadeHand::fullhouse},
      {"5c 5d 5h 9s 9d", "2c3c", MadeHand::nothing}, {"7c 7d 2h", "7h7s", MadeHand::quads},
      {"7c 7d 7h 7s Kd", "Ac2c", MadeHand::ace_high}, {"7c 7d 7h 7s Kd", "Qc2c", MadeHand::nothing},
      {"7c 8c 9c", "TcJc", MadeHand::straight_flush}})
    EXPECT_EQ(made(c.board, c.hand), c.made) << c.board << " " << c.hand;
}

TEST_F(Categories, DrawsCountNextStreetOuts) {
  EXPECT_EQ(draw("9c 8d 2h", "7s6s"), Draw::straight_8_outs);
  EXPECT_EQ(draw("9c 7d 2h", "JsTs"), Draw::straight_4_outs);
  EXPECT_EQ(draw("7h 2h 9c", "AhKh"), Draw::flush);
  EXPECT_EQ(draw("9h 8h 2c", "JhTh"), Draw::combo);
  EXPECT_EQ(draw("9h 8h 2c", "AcKd"), Draw::none);
  EXPECT_EQ(draw("2c 3d 8h Ks", "4s5s"), Draw::straight_8_outs);
  // An out that only completes a straight on the board itself is no out.
  EXPECT_EQ(draw("6c 7d 8h 9s", "AcAd"), Draw::none);
  // A made straight or flush draws to nothing better of its kind.
  EXPECT_EQ(draw("9c 8d 7h", "JcTc"), Draw::none);
}

// On random boards every hand gets one valid result and exactly the hands sharing a board card
// are marked (-1); on a river nothing is written for draws.
TEST_F(Categories, RandomBoardsGiveValidResults) {
  std::mt19937 rng(11);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int trial = 0; trial < 30; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    int count = 3 + trial % 3;
    CardMask board = 0;
    for (int i = 0; i < count; ++i) board |= card_bit(deck[i]);
    Classified c = classify(board);
    for (int p = 0; p < kHands; ++p) {
      bool touches = hand_mask(order_to_hand[p]) & board;
      if (touches) {
        ASSERT_EQ(c.made[p], -1);
        ASSERT_EQ(c.draws[p], count == 5 ? 0 : -1);
        continue;
      }
      ASSERT_EQ(c.made[p] % 100, 0);
      ASSERT_GE(c.made[p], 0);
      ASSERT_LT(c.made[p] / 100, kMadeHandCategories);
      ASSERT_NE(c.made[p] / 100, int(MadeHand::top_pair_tp));
      ASSERT_GE(c.draws[p], 0);
      ASSERT_LT(c.draws[p], count == 5 ? 1 : kDrawCategories);
    }
  }
}

}  // namespace
