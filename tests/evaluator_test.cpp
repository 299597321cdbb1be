// Hand strength evaluator against a naive reference: hand shapes that are easy to get wrong, every
// per-count entry point, the batch, and random card sets. The exhaustive proof is in long/.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "cards/evaluator.h"
#include "evaluator_reference.h"

namespace {

class Evaluator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(init_hand_tables()); }
};

std::uint32_t reference_value(const std::vector<int>& cards) {
  return evaluator_reference::expected_value(evaluator_reference::reference_best(cards));
}

// Wheels, no wrap-around, flushes beside straights, six suited cards, every paired shape of
// three to seven cards, and no straights or flushes below five cards: each through the
// per-count evaluator and through evaluate_cards.
TEST_F(Evaluator, TrickyShapesMatchTheReference) {
  EXPECT_TRUE(init_hand_tables());  // a second call keeps the tables
  for (const char* text :
       {"As2d3h4c5s", "2d3h4c5s6s", "As2d3h4c5s6s7d", "4c5d6h7s8c9dTh", "TcJdQhKsAc", "KcAd2h3s4c", "TcJcQcKcAc",
        "As2s3s4s5s", "2h4h6h8hTh", "2h4h6h8hTh7c9d", "2d4d6d8dTdQdAc", "2h4h6h8hThQhAh", "5c6c7c8c9cTcAh", "5c6c7c8c9cTd",
        "7c7d7h7sKcKdKh", "9c9d9h5c5d5hAc", "3c3d3hAcAdKhKs", "8c8d8h8s2c5dJh", "8c8d8h8sQcQd3h", "8c8d8h8s3c3dQh",
        "JcJdJh4s4c9d2h", "KcKd9h9s4c4d2h", "KcKd9h9s4c4dAh", "KcKd9h9s4c5d2h", "QcQdQh9s4c5d2h", "QcQd3h9s4c5dAh",
        "QcJd3h9s4c5dAh", "9c9d9h5c5d5h", "9c9d9h9s5c5d", "9c9d5c5d3h3s", "9c9d9h9s5c7d", "9d9h9s5c5d7d",
        "9c9d5c5dAh3s", "9d9h9s5cAd7d", "9d9h5cAd7d2s", "9c9d9h9sAd", "9c9d9hAdAs", "9c9dKhKd2s", "9c9d9sKd2s",
        "9c9dKhQd2s", "9c8dKhQd2s", "AsAdAc", "2d2h2s", "KsKd2c", "Ks2d2c", "Ks7d2c", "5c5d5h5s", "5c5dAhAs",
        "5d5h5sAh", "5d5hKsAh", "5d7hKsAh", "2c3c4c5c", "QhKhAh"}) {
    CardMask mask = parse_cards(text);
    std::vector<int> cards;
    std::vector<std::uint8_t> codes;
    for (CardMask m = mask; m; m &= m - 1) cards.push_back(std::countr_zero(m)), codes.push_back(std::uint8_t(cards.back()));
    std::uint32_t expected = reference_value(cards);
    LaneMask lanes = lane_mask(mask);
    std::uint32_t (*by_count[])(LaneMask) = {evaluate_lanes_3, evaluate_lanes_4, evaluate_lanes_5, evaluate_lanes_6,
                                               evaluate_lanes_7};
    EXPECT_EQ(by_count[cards.size() - 3](lanes), expected) << text;
    EXPECT_EQ(evaluate_cards(codes.data(), int(codes.size())), expected) << text;
  }
}

// Codes in any order: the random sets below come shuffled.
TEST_F(Evaluator, EvaluateCardsRefusesOtherCounts) {
  std::uint8_t cards[9] = {51, 12, 25, 38, 0, 1, 2, 3, 4};
  for (int count : {-1, 0, 1, 2, 8, 9}) EXPECT_EQ(evaluate_cards(cards, count), 0u) << count;
}

TEST_F(Evaluator, BatchValuesEveryHandWithTheBoard) {
  for (const char* board_text : {"Ks 7d 2c", "Ks 7d 2c Th", "Ks 7d 2c Th 7s"}) {
    CardMask board = parse_cards(board_text);
    std::vector<CardMask> hands(kHands);
    for (int i = 0; i < kHands; ++i) hands[i] = hand_mask(i) & board ? 0 : hand_mask(i);
    std::vector<std::uint32_t> values = evaluate_hands(board, hands);
    ASSERT_EQ(values.size(), std::size_t(kHands));
    std::vector<std::uint8_t> cards;
    for (CardMask m = board; m; m &= m - 1) cards.push_back(std::uint8_t(std::countr_zero(m)));
    for (int i = 0; i < kHands; ++i) {
      if (!hands[i]) {
        EXPECT_EQ(values[i], kBlockedHand);
        continue;
      }
      std::vector<std::uint8_t> all = cards;
      all.push_back(hand_cards()[i].lo);
      all.push_back(hand_cards()[i].hi);
      ASSERT_EQ(values[i], evaluate_cards(all.data(), int(all.size()))) << board_text << " hand " << i;
    }
  }
  EXPECT_TRUE(evaluate_hands(parse_cards("Ks 7d 2c"), {}).empty());
}

TEST_F(Evaluator, RandomSetsMatchTheReference) {
  std::mt19937 rng(7);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int trial = 0; trial < 20000; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    int n = 3 + trial % 5;
    std::vector<int> cards(deck.begin(), deck.begin() + n);
    std::vector<std::uint8_t> codes(cards.begin(), cards.end());
    ASSERT_EQ(evaluate_cards(codes.data(), n), reference_value(cards)) << n << " cards, trial " << trial;
  }
}

}  // namespace
