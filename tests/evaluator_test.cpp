// Hand strength evaluator: table rows, value layout of each hand shape, the batch, and invariants
// on random card sets. The exhaustive proof against a reference is in long/.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <vector>

#include "cards/evaluator.h"

namespace {

class Evaluator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(init_hand_tables()); }
};

// Value of the cards written as text ("AsKd7h"), through the per-count evaluators.
std::uint32_t value(const std::string& text) {
  CardMask cards = parse_cards(text);
  LaneMask lanes = lane_mask(cards);
  switch (std::popcount(cards)) {
    case 3: return evaluate_lanes_3(lanes);
    case 4: return evaluate_lanes_4(lanes);
    case 5: return evaluate_lanes_5(lanes);
    case 6: return evaluate_lanes_6(lanes);
    case 7: return evaluate_lanes_7(lanes);
  }
  ADD_FAILURE() << "bad card count in " << text;
  return 0;
}

std::vector<std::uint8_t> codes(CardMask cards) {
  std::vector<std::uint8_t> out;
  for (; cards; cards &= cards - 1) out.push_back(std::uint8_t(std::countr_zero(cards)));
  return out;
}

TEST_F(Evaluator, TablesHoldTheirReferenceRows) {
  EXPECT_EQ(bit_count_table[0x1F00], 5u);
  EXPECT_EQ(top_card_table[0x1F00], 12u);
  EXPECT_EQ(top_five_table[0x1F00], 0xCBA98u);
  EXPECT_EQ(top_five_table[0x0007], 0x210u);
  EXPECT_EQ(top_five_table[0x1FC0], 0xCBA98u);  // seven bits: the five highest
  EXPECT_EQ(straight_table[0x1F00], 0x040C0000u);
  EXPECT_EQ(straight_table[0x100F], 0x04030000u);
  EXPECT_EQ(straight_table[0x103F], 0x04050000u);
  EXPECT_EQ(straight_table[0x1E0F], 0u);  // no five in a row, no wheel
  EXPECT_EQ(straight_table[0x000F], 0u);  // four in a row
  for (const RankMaskTable* t : {&bit_count_table, &top_card_table, &top_five_table, &straight_table})
    EXPECT_EQ((*t)[0], 0u);
  EXPECT_TRUE(init_hand_tables());  // a second call keeps the tables
  EXPECT_EQ(straight_table[0x1F00], 0x040C0000u);
}

TEST_F(Evaluator, StraightsTakeTheHighestRun) {
  EXPECT_EQ(value("As2d3h4c5s"), 0x04030000u);  // the wheel is five-high
  EXPECT_EQ(value("2d3h4c5s6s"), 0x04040000u);
  EXPECT_EQ(value("As2d3h4c5s6s7d"), 0x04050000u);
  EXPECT_EQ(value("4c5d6h7s8c9dTh"), 0x04080000u);
  EXPECT_EQ(value("Tc Jd Qh Ks Ac"), 0x040C0000u);
  EXPECT_EQ(value("Kc Ad 2h 3s 4c"), 0x000CB210u);  // no wrap-around straight
}

TEST_F(Evaluator, FlushesAndStraightFlushes) {
  EXPECT_EQ(value("Tc Jc Qc Kc Ac"), 0x080C0000u);
  EXPECT_EQ(value("As2s3s4s5s"), 0x08030000u);
  EXPECT_EQ(value("2h 4h 6h 8h Th"), 0x05086420u);
  // A flush beats a straight made with other suits.
  EXPECT_EQ(value("2h 4h 6h 8h Th 7c 9d"), 0x05086420u);
  // Six suited cards: the five highest; a straight flush among them wins.
  EXPECT_EQ(value("2d 4d 6d 8d Td Qd Ac"), 0x050A8642u);
  EXPECT_EQ(value("5c 6c 7c 8c 9c Tc Ah"), 0x08080000u);
  EXPECT_EQ(value("5c 6c 7c 8c 9c Td"), 0x08070000u);
}

TEST_F(Evaluator, PairedShapesOfSevenCards) {
  EXPECT_EQ(value("7c7d7h7s Kc Kd Kh"), 0x0705B000u);  // 4+3
  EXPECT_EQ(value("9c9d9h 5c5d5h Ac"), 0x06073000u);   // 3+3+1: higher trips over lower
  EXPECT_EQ(value("3c3d3h Ac Ad Kh Ks"), 0x0601C000u);  // 3+2+2: the higher pair
  EXPECT_EQ(value("8c8d8h8s 2c 5d Jh"), 0x07069000u);  // 4+1+1+1: highest single kicks
  EXPECT_EQ(value("8c8d8h8s Qc Qd 3h"), 0x0706A000u);  // 4+2+1: the pair's rank kicks
  EXPECT_EQ(value("8c8d8h8s 3c 3d Qh"), 0x0706A000u);
  EXPECT_EQ(value("Jc Jd Jh 4s 4c 9d 2h"), 0x06092000u);  // 3+2+1+1
  EXPECT_EQ(value("Kc Kd 9h 9s 4c 4d 2h"), 0x020B7200u);  // 2+2+2+1: third pair kicks
  EXPECT_EQ(value("Kc Kd 9h 9s 4c 4d Ah"), 0x020B7C00u);  // ... unless the single is higher
  EXPECT_EQ(value("Kc Kd 9h 9s 4c 5d 2h"), 0x020B7300u);  // 2+2+1+1+1
  EXPECT_EQ(value("Qc Qd Qh 9s 4c 5d 2h"), 0x030A7300u);  // 3+1+1+1+1
  EXPECT_EQ(value("Qc Qd 3h 9s 4c 5d Ah"), 0x010AC730u);  // 2+1+1+1+1+1
  EXPECT_EQ(value("Qc Jd 3h 9s 4c 5d Ah"), 0x000CA973u);  // high card
}

TEST_F(Evaluator, PairedShapesOfSixAndFiveCards) {
  EXPECT_EQ(value("9c9d9h 5c5d5h"), 0x06073000u);
  EXPECT_EQ(value("9c9d9h9s 5c5d"), 0x07073000u);
  EXPECT_EQ(value("9c9d 5c5d 3h3s"), 0x02073100u);
  EXPECT_EQ(value("9c9d9h9s 5c 7d"), 0x07075000u);
  EXPECT_EQ(value("9d9h9s 5c5d 7d"), 0x06073000u);
  EXPECT_EQ(value("9c9d 5c5d Ah 3s"), 0x02073C00u);
  EXPECT_EQ(value("9d9h9s 5c Ad 7d"), 0x0307C500u);
  EXPECT_EQ(value("9d9h 5c Ad 7d 2s"), 0x0107C530u);
  EXPECT_EQ(value("9c9d9h9s Ad"), 0x0707C000u);
  EXPECT_EQ(value("9c9d9h Ad As"), 0x0607C000u);
  EXPECT_EQ(value("9c 9d Kh Kd 2s"), 0x020B7000u);
  EXPECT_EQ(value("9c 9d 9s Kd 2s"), 0x0307B000u);
  EXPECT_EQ(value("9d 9h 9s Kd 2s"), 0x0307B000u);
  EXPECT_EQ(value("9c 9d Kh Qd 2s"), 0x0107BA00u);
  EXPECT_EQ(value("9c 8d Kh Qd 2s"), 0x000BA760u);
}

TEST_F(Evaluator, ThreeAndFourCardsFillOnlyTheirFields) {
  EXPECT_EQ(value("As Ad Ac"), 0x030C0000u);
  EXPECT_EQ(value("2d 2h 2s"), 0x03000000u);
  EXPECT_EQ(value("Ks Kd 2c"), 0x010B0000u);
  EXPECT_EQ(value("Ks 2d 2c"), 0x0100B000u);
  EXPECT_EQ(value("Ks 7d 2c"), 0x000B5000u);
  EXPECT_EQ(value("5c 5d 5h 5s"), 0x07030000u);
  EXPECT_EQ(value("5c 5d Ah As"), 0x020C3000u);
  EXPECT_EQ(value("5d 5h 5s Ah"), 0x0303C000u);
  EXPECT_EQ(value("5d 5h Ks Ah"), 0x0103CB00u);
  EXPECT_EQ(value("5d 7h Ks Ah"), 0x000CB530u);
  // No straights or flushes below five cards.
  EXPECT_EQ(value("2c 3c 4c 5c"), 0x00032100u);
  EXPECT_EQ(value("Qh Kh Ah"), 0x000CBA00u);
}

TEST_F(Evaluator, EvaluateCardsTakesCodesInAnyOrder) {
  std::uint8_t cards[7] = {51, 12, 25, 38, 0, 1, 2};  // four aces, 2c 3c 4c
  EXPECT_EQ(evaluate_cards(cards, 7), 0x070C2000u);
  EXPECT_EQ(evaluate_cards(cards, 5), 0x070C0000u);
  EXPECT_EQ(evaluate_cards(cards, 3), 0x030C0000u);
  std::uint8_t reversed[7] = {2, 1, 0, 38, 25, 12, 51};
  EXPECT_EQ(evaluate_cards(reversed, 7), 0x070C2000u);
  for (int count : {-1, 0, 1, 2, 8, 9}) EXPECT_EQ(evaluate_cards(cards, count), 0u) << count;
}

TEST_F(Evaluator, BatchValuesEveryHandWithTheBoard) {
  for (const char* board_text : {"Ks 7d 2c", "Ks 7d 2c Th", "Ks 7d 2c Th 7s"}) {
    CardMask board = parse_cards(board_text);
    std::vector<CardMask> hands(kHands);
    for (int i = 0; i < kHands; ++i) hands[i] = hand_mask(i) & board ? 0 : hand_mask(i);
    std::vector<std::uint32_t> values = evaluate_hands(board, hands);
    ASSERT_EQ(values.size(), std::size_t(kHands));
    std::vector<std::uint8_t> cards = codes(board);
    int blocked = 0;
    for (int i = 0; i < kHands; ++i) {
      if (!hands[i]) {
        EXPECT_EQ(values[i], kBlockedHand);
        ++blocked;
        continue;
      }
      std::vector<std::uint8_t> all = cards;
      all.push_back(hand_cards()[i].lo);
      all.push_back(hand_cards()[i].hi);
      ASSERT_EQ(values[i], evaluate_cards(all.data(), int(all.size()))) << board_text << " hand " << i;
    }
    int n = std::popcount(board);
    EXPECT_EQ(blocked, kHands - (52 - n) * (51 - n) / 2) << board_text;
  }
  EXPECT_TRUE(evaluate_hands(parse_cards("Ks 7d 2c"), {}).empty());
  EXPECT_EQ(evaluate_hands(parse_cards("Ks7d2c"), {0, parse_cards("KdKh")}),
            (std::vector<std::uint32_t>{kBlockedHand, 0x030B5000u}));
}

// The value depends only on the cards, not on the suit names, and grows with more cards as the
// best five-card subset does.
TEST_F(Evaluator, RandomSetsKeepTheInvariants) {
  std::mt19937 rng(7);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  std::array<int, 4> suits = {0, 1, 2, 3};
  for (int trial = 0; trial < 20000; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    std::shuffle(suits.begin(), suits.end(), rng);
    int n = 3 + trial % 5;
    std::vector<std::uint8_t> cards(deck.begin(), deck.begin() + n), renamed;
    for (std::uint8_t c : cards) renamed.push_back(std::uint8_t(make_card(card_rank(c), suits[card_suit(c)])));
    std::uint32_t v = evaluate_cards(cards.data(), n);
    ASSERT_EQ(evaluate_cards(renamed.data(), n), v);
    ASSERT_LT(v, 1u << 28);
    ASSERT_LE(category_of(v), std::uint32_t(kStraightFlush));
    if (n >= 6) {
      std::uint32_t best = 0;
      for (int skip = 0; skip < n; ++skip) {
        std::vector<std::uint8_t> fewer = cards;
        fewer.erase(fewer.begin() + skip);
        best = std::max(best, evaluate_cards(fewer.data(), n - 1));
      }
      ASSERT_EQ(v, best);
    }
  }
}

}  // namespace
