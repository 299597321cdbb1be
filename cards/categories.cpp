#include "cards/categories.h"

#include <bit>

#include "cards/evaluator.h"

const std::array<const char*, kMadeHandCategories> made_hand_names = {
    "nothing",  "king_high", "ace_high", "low_pair",  "third_pair",    "second_pair",   "underpair",
    "top_pair", "top_pair_tp", "overpair", "two_pair", "trips",         "set",           "straight",
    "flush",    "fullhouse", "top_fullhouse", "quads", "straight_flush"};
const std::array<const char*, kDrawCategories> draw_names = {
    "no_draw", "4out_straight_draw", "8out_straight_draw", "flush_draw", "combo_draw"};

namespace {

using Evaluator = std::uint32_t (*)(LaneMask);
constexpr Evaluator kEvaluateCount[8] = {nullptr,          nullptr,          nullptr,          evaluate_lanes_3,
                                         evaluate_lanes_4, evaluate_lanes_5, evaluate_lanes_6, evaluate_lanes_7};

constexpr int rank_of(int c) { return 12 - c / 4; }
constexpr LaneMask lane_of(int c) { return LaneMask(1) << (60 - 16 * (c % 4) - c / 4); }

// The two cards of each hand in hand order, higher card first.
struct HandPair {
  std::uint8_t first, second;
};
const std::array<HandPair, kHands>& hand_pairs() {
  static const std::array<HandPair, kHands> pairs = [] {
    std::array<HandPair, kHands> t{};
    int p = 0;
    for (int high = 1; high < kCards; ++high)
      for (int low = 0; low < high; ++low) t[p++] = {std::uint8_t(51 - high), std::uint8_t(51 - low)};
    return t;
  }();
  return pairs;
}

LaneMask board_lanes(const std::uint8_t* board, int count) {
  LaneMask lanes = 0;
  for (int i = 0; i < count; ++i) lanes |= lane_of(board[i]);
  return lanes;
}

bool valid_board(int count) { return count >= 3 && count <= 5; }

std::int32_t as_result(MadeHand m) { return std::int32_t(m) * 100; }


// The category of the first rank field in which the hand improves on the board alone.
MadeHand kicker_rule(std::uint32_t hand_value, std::uint32_t board_value) {
  for (int field = 1; field <= 5; ++field) {
    int hand_rank = rank_field(hand_value, field);
    if (hand_rank > rank_field(board_value, field)) {
      if (hand_rank == 12) return MadeHand::ace_high;
      if (hand_rank == 11) return MadeHand::king_high;
      return MadeHand::nothing;
    }
  }
  return MadeHand::nothing;
}

// x: twice the board ranks above the card, plus one when the card pairs a board rank.
MadeHand pair_rule(int x) {
  switch (x) {
    case 0: return MadeHand::overpair;
    case 1: return MadeHand::top_pair;
    case 2: return MadeHand::underpair;
    case 3: return MadeHand::second_pair;
    case 4:
    case 5: return MadeHand::third_pair;
    default: return MadeHand::low_pair;
  }
}

MadeHand made_hand(std::uint32_t hv, std::uint32_t bv, int x) {
  std::uint32_t hc = category_of(hv), bc = category_of(bv);
  int h1 = rank_field(hv, 1), h2 = rank_field(hv, 2);
  int b1 = rank_field(bv, 1), b2 = rank_field(bv, 2);
  switch (hc) {
    case kHighCard:
      if (bc == kHighCard) return kicker_rule(hv, bv);
      break;
    case kOnePair:
      if (bc == kHighCard) return pair_rule(x);
      if (bc == kOnePair) return kicker_rule(hv, bv);
      break;
    case kTwoPair:
      if (bc == kHighCard) return MadeHand::two_pair;
      if (bc == kOnePair) return pair_rule(x);
      if (bc == kTwoPair) return h1 > b1 || h2 > b2 ? pair_rule(x) : kicker_rule(hv, bv);
      break;
    case kThreeOfAKind:
      if (bc == kHighCard) return MadeHand::set;
      if (bc == kOnePair) return MadeHand::trips;
      if (bc >= kThreeOfAKind) return kicker_rule(hv, bv);
      break;
    case kStraight:
      if (bc < kStraight || hv > bv) return MadeHand::straight;
      return kicker_rule(hv, bv);
    case kFlush:
      return bc < kFlush ? MadeHand::flush : MadeHand::nothing;
    case kFullHouse:
      if (bc < kFullHouse) return MadeHand::fullhouse;
      if (h1 > b1) return MadeHand::top_fullhouse;
      return h2 > b2 ? MadeHand::fullhouse : MadeHand::nothing;
    case kFourOfAKind:
      return bc < kFourOfAKind ? MadeHand::quads : kicker_rule(hv, bv);
    case kStraightFlush:
      return bc < kStraightFlush || hv > bv ? MadeHand::straight_flush : MadeHand::nothing;
  }
  // A hand never ranks below the board it contains, and a paired board plus two hole cards
  // never makes exactly trips over two pair.
  throw ClassifierBug();
}

}  // namespace

void classify_made_hands(const std::uint8_t* board, int count, CategoryResults& results) {
  if (!valid_board(count)) return;
  LaneMask lanes = board_lanes(board, count);
  std::uint32_t board_ranks = 0;
  for (int i = 0; i < count; ++i) board_ranks |= 1u << rank_of(board[i]);
  auto relative_rank = [board_ranks](int card) {
    int r = rank_of(card);
    return 2 * std::popcount(board_ranks >> (r + 1)) + int(board_ranks >> r & 1);
  };
  std::uint32_t bv = kEvaluateCount[count](lanes);
  Evaluator evaluate = kEvaluateCount[count + 2];
  const auto& pairs = hand_pairs();
  for (int p = 0; p < kHands; ++p) {
    LaneMask hand = lane_of(pairs[p].first) | lane_of(pairs[p].second);
    if (hand & lanes) {
      results[p] = -1;
      continue;
    }
    int r1 = relative_rank(pairs[p].first), r2 = relative_rank(pairs[p].second);
    results[p] = as_result(made_hand(evaluate(lanes | hand), bv, r1 % 2 ? r1 : r2));
  }
}

void classify_draws(const std::uint8_t* board, int count, CategoryResults& results) {
  if (count != 3 && count != 4) return;  // no street follows a five-card board
  LaneMask lanes = board_lanes(board, count);
  const auto& pairs = hand_pairs();
  Evaluator evaluate_now = kEvaluateCount[count + 2], evaluate_next = kEvaluateCount[count + 3];
  std::array<LaneMask, kHands> hands;
  std::array<std::uint32_t, kHands> current;
  std::array<std::uint8_t, kHands> straight_outs{}, flush_outs{};
  for (int p = 0; p < kHands; ++p) {
    hands[p] = lane_of(pairs[p].first) | lane_of(pairs[p].second);
    current[p] = hands[p] & lanes ? 0 : category_of(evaluate_now(lanes | hands[p]));
  }
  for (int y = 0; y < kCards; ++y) {
    LaneMask next = lane_of(y);
    if (next & lanes) continue;
    // On a turn, an out must beat the river board alone; on a flop any straight or flush counts.
    std::uint32_t threshold = count == 4 ? evaluate_lanes_5(lanes | next) : 0;
    for (int p = 0; p < kHands; ++p) {
      if (hands[p] & (lanes | next)) continue;
      std::uint32_t nv = evaluate_next(lanes | next | hands[p]);
      if (nv <= threshold) continue;
      std::uint32_t nc = category_of(nv);
      if (nc == kStraight && current[p] < kStraight) ++straight_outs[p];
      if ((nc == kFlush || nc == kStraightFlush) && current[p] < kFlush) ++flush_outs[p];
    }
  }
  for (int p = 0; p < kHands; ++p) {
    Draw d;
    if (hands[p] & lanes)
      d = Draw(-1);
    else if (straight_outs[p] && flush_outs[p])
      d = Draw::combo;
    else if (flush_outs[p])
      d = Draw::flush;
    else
      d = Draw(straight_outs[p] / 4);
    results[p] = std::int32_t(d);
  }
}
