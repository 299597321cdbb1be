// Hand categories: the shape of the results on random boards (the categories of hand-checked
// hands on chosen boards: protocol/queries_categories.case; the answer's form: categories.case).
#include <gtest/gtest.h>

#include <bit>
#include <numeric>
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
};

// On random boards every hand gets one valid result and exactly the hands sharing a board card
// are marked (-1); on a river nothing is written for draws.
TEST_F(Categories, RandomBoardsGiveValidResults) {
  std::mt19937 rng(11);
  std::vector<int> deck(52);
  std::iota(deck.begin(), deck.end(), 0);
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
