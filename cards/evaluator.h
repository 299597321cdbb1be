#pragma once
// Hand strength evaluator: three to seven distinct cards to one 32-bit strength value.
//
// value = category << 24 | five 4-bit rank fields (field 1 in bits 16..19 ... field 5 in bits 0..3),
// ranks 0..12 = deuce..ace. Values compare as plain unsigned integers: larger is better, equal
// is a tie. Three and four cards use the same layout with as many fields as they fill and never
// make straights or flushes, so a flop or turn is ranked on the same scale.
//
// The evaluator works on a suit-lane mask: card (suit, rank) is bit 16 * suit + rank, one 16-bit
// lane per suit (clubs in bits 0..15 ... spades in 48..63), bits 13..15 of each lane zero.
#include <array>
#include <cstdint>
#include <vector>

#include "cards/cards.h"

using LaneMask = std::uint64_t;

enum HandCategory : std::uint32_t {
  kHighCard = 0,
  kOnePair = 1,
  kTwoPair = 2,
  kThreeOfAKind = 3,
  kStraight = 4,
  kFlush = 5,
  kFullHouse = 6,
  kFourOfAKind = 7,
  kStraightFlush = 8,
};

// The batch value of a hand that is not available on the board.
constexpr std::uint32_t kBlockedHand = 0xFFFFFFFFu;

constexpr std::uint32_t category_of(std::uint32_t value) { return (value >> 24) & 0xF; }
// Rank field 1..5 of a value (field 1 is the most significant).
constexpr int rank_field(std::uint32_t value, int field) { return int(value >> (4 * (5 - field))) & 0xF; }

constexpr LaneMask lane_bit(int card) { return LaneMask(1) << (16 * card_suit(card) + card_rank(card)); }
// Card mask (bit 13 * suit + rank) to suit-lane mask.
constexpr LaneMask lane_mask(CardMask cards) {
  return (cards & 0x1FFF) | ((cards >> 13) & 0x1FFF) << 16 | ((cards >> 26) & 0x1FFF) << 32 |
         ((cards >> 39) & 0x1FFF) << 48;
}

// The four rank-mask tables, indexed by a 13-bit rank mask with at most seven bits set
// (0..0x1FC0). Built by init_hand_tables, read-only afterwards: process-wide on purpose.
constexpr int kRankMaskEntries = 8129;
using RankMaskTable = std::array<std::uint32_t, kRankMaskEntries>;
extern RankMaskTable bit_count_table;  // bits set
extern RankMaskTable top_card_table;   // highest rank present
extern RankMaskTable top_five_table;   // up to five highest ranks as 4-bit digits, right-aligned
extern RankMaskTable straight_table;   // 0, or straight category + top rank of the best run in field 1

// Builds the tables once; later calls return at once. True when the tables are ready.
bool init_hand_tables();

// Value of `count` distinct card codes; a count outside 3..7 gives 0.
std::uint32_t evaluate_cards(const std::uint8_t* cards, int count);

// One evaluator per card count; the mask must hold exactly that many cards.
std::uint32_t evaluate_lanes_3(LaneMask cards);
std::uint32_t evaluate_lanes_4(LaneMask cards);
std::uint32_t evaluate_lanes_5(LaneMask cards);
std::uint32_t evaluate_lanes_6(LaneMask cards);
std::uint32_t evaluate_lanes_7(LaneMask cards);

// Value of each hand together with the 3..5 board cards; a zero hand mask (a hand the caller
// ruled out) gives kBlockedHand. A hand is its lowest and highest card.
std::vector<std::uint32_t> evaluate_hands(CardMask board, const std::vector<CardMask>& hands);
