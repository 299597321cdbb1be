#include "cards/evaluator.h"

#include <bit>
#include <mutex>

// Static storage: the tables cannot fail to be had, so init_hand_tables always succeeds.
RankMaskTable bit_count_table;
RankMaskTable top_card_table;
RankMaskTable top_five_table;
RankMaskTable straight_table;

namespace {

std::once_flag g_tables_built;

constexpr std::uint32_t kFields1 = 16, kFields2 = 12, kFields3 = 8;
constexpr std::uint32_t category(HandCategory c) { return std::uint32_t(c) << 24; }

inline std::uint32_t count(std::uint32_t m) { return bit_count_table[m]; }
inline std::uint32_t top(std::uint32_t m) { return top_card_table[m]; }
inline std::uint32_t top5(std::uint32_t m) { return top_five_table[m]; }

struct Lanes {
  std::uint32_t c, d, h, s;
  explicit Lanes(LaneMask m)
      : c(std::uint32_t(m) & 0x1FFF),
        d(std::uint32_t(m >> 16) & 0x1FFF),
        h(std::uint32_t(m >> 32) & 0x1FFF),
        s(std::uint32_t(m >> 48)) {}
  std::uint32_t ranks() const { return c | d | h | s; }
  std::uint32_t odd() const { return c ^ d ^ h ^ s; }  // ranks held an odd number of times
  std::uint32_t quads() const { return c & d & h & s; }
  // The lane holding at least five cards, or 0.
  std::uint32_t flush_lane() const {
    if (count(c) >= 5) return c;
    if (count(d) >= 5) return d;
    if (count(h) >= 5) return h;
    if (count(s) >= 5) return s;
    return 0;
  }
  // A rank held three times among cards where no rank is held four times.
  std::uint32_t trips_of_three_suits() const {
    if (std::uint32_t t = c & d) return t;
    if (std::uint32_t t = c & h) return t;
    return d & h;
  }
};

// Flush, straight flush or straight among five to seven cards, or 0.
inline std::uint32_t flush_or_straight(const Lanes& l, std::uint32_t ranks) {
  if (std::uint32_t f = l.flush_lane()) {
    std::uint32_t run = straight_table[f];
    return run ? run + category(kStraight) : top5(f) | category(kFlush);
  }
  return straight_table[ranks];
}

inline std::uint32_t quads_value(std::uint32_t quads, std::uint32_t kickers) {
  return category(kFourOfAKind) | top(quads) << kFields1 | top(kickers) << kFields2;
}

inline std::uint32_t full_house_value(std::uint32_t trips, std::uint32_t pair) {
  return category(kFullHouse) | top(trips) << kFields1 | top(pair) << kFields2;
}

void build_tables() {
  for (std::uint32_t m = 1; m < kRankMaskEntries; ++m) {
    std::uint32_t bits = 0, high = 0, five = 0;
    for (int b = 12; b >= 0; --b) {
      if (!(m >> b & 1)) continue;
      if (bits == 0) high = std::uint32_t(b);
      if (++bits <= 5) five = five * 16 + std::uint32_t(b);
    }
    bit_count_table[m] = bits;
    top_card_table[m] = high;
    top_five_table[m] = five;
  }
  // Highest run first and only into empty entries, so a mask with several runs keeps the best.
  auto mark_run = [](std::uint32_t run, std::uint32_t value) {
    for (int x = 0; x < 13; ++x)
      for (int y = 0; y < 13; ++y) {
        std::uint32_t& entry = straight_table[run | 1u << x | 1u << y];
        if (entry == 0) entry = value;
      }
  };
  for (std::uint32_t run = 0x1F00; run >= 0x1F; run >>= 1)
    mark_run(run, category(kStraight) | top_card_table[run] << kFields1);
  mark_run(0x100F, category(kStraight) | 3u << kFields1);  // ace to five: five-high
}

}  // namespace

bool init_hand_tables() {
  std::call_once(g_tables_built, build_tables);
  return true;
}

std::uint32_t evaluate_lanes_3(LaneMask cards) {
  Lanes l(cards);
  std::uint32_t ranks = l.ranks(), odd = l.odd();
  switch (count(ranks)) {
    case 1:
      return category(kThreeOfAKind) | top(ranks) << kFields1;
    case 2:
      return category(kOnePair) | top(ranks ^ odd) << kFields1 | top(odd) << kFields2;
    default:
      return top5(ranks) << 8;
  }
}

std::uint32_t evaluate_lanes_4(LaneMask cards) {
  Lanes l(cards);
  std::uint32_t ranks = l.ranks(), odd = l.odd();
  switch (count(ranks)) {
    case 1:
      return category(kFourOfAKind) | top(ranks) << kFields1;
    case 2:
      if (odd == 0) return category(kTwoPair) | top5(ranks) << kFields2;  // 2+2
      {
        std::uint32_t trips = l.trips_of_three_suits();  // 3+1
        return category(kThreeOfAKind) | top(trips) << kFields1 | top(ranks ^ trips) << kFields2;
      }
    case 3:
      return category(kOnePair) | top(ranks ^ odd) << kFields1 | top5(odd) << kFields3;
    default:
      return top5(ranks) << 4;
  }
}

std::uint32_t evaluate_lanes_5(LaneMask cards) {
  Lanes l(cards);
  std::uint32_t ranks = l.ranks(), odd = l.odd();
  switch (count(ranks)) {
    case 2:
      if (std::uint32_t quads = l.quads()) return quads_value(quads, ranks ^ quads);  // 4+1
      return full_house_value(odd, ranks ^ odd);                                     // 3+2
    case 3:
      if (std::uint32_t pairs = ranks ^ odd)  // 2+2+1
        return category(kTwoPair) | top5(pairs) << kFields2 | top(odd) << kFields3;
      {
        std::uint32_t trips = l.trips_of_three_suits();  // 3+1+1
        return category(kThreeOfAKind) | top(trips) << kFields1 | top5(ranks ^ trips) << kFields3;
      }
    case 4:
      return category(kOnePair) | top(ranks ^ odd) << kFields1 | top5(odd) << 4;
    default: {
      std::uint32_t run = straight_table[ranks];
      if (l.c == ranks || l.d == ranks || l.h == ranks || l.s == ranks)
        return run ? run + category(kStraight) : top5(ranks) | category(kFlush);
      return run ? run : top5(ranks);
    }
  }
}

std::uint32_t evaluate_lanes_6(LaneMask cards) {
  Lanes l(cards);
  std::uint32_t ranks = l.ranks(), odd = l.odd();
  switch (count(ranks)) {
    case 2:
      if (odd) return category(kFullHouse) | top5(ranks) << kFields2;  // 3+3: higher trips over lower
      {
        std::uint32_t quads = l.quads();  // 4+2
        return quads_value(quads, ranks ^ quads);
      }
    case 3: {
      if (odd == 0) return category(kTwoPair) | top5(ranks) << kFields3;  // 2+2+2, third pair kicks
      if (std::uint32_t quads = l.quads()) return quads_value(quads, odd);  // 4+1+1
      std::uint32_t trips = l.c & l.d & l.h;                               // 3+2+1
      if (!trips) trips = l.c & l.d & l.s;
      if (!trips) trips = l.c & l.h & l.s;
      if (!trips) trips = l.d & l.h & l.s;
      return full_house_value(trips, ranks ^ odd);
    }
    case 4: {
      if (odd != ranks)  // 2+2+1+1
        return category(kTwoPair) | top5(ranks ^ odd) << kFields2 | top(odd) << kFields3;
      std::uint32_t trips = l.c & l.d;  // 3+1+1+1
      if (!trips) trips = l.h & l.s;
      return category(kThreeOfAKind) | top(trips) << kFields1 | (top5(odd ^ trips) >> 4) << kFields3;
    }
    case 5:
      if (std::uint32_t v = flush_or_straight(l, ranks)) return v;
      return category(kOnePair) | top(ranks ^ odd) << kFields1 | (top5(odd) & ~0xFu);
    default:
      if (std::uint32_t v = flush_or_straight(l, ranks)) return v;
      return top5(ranks);
  }
}

std::uint32_t evaluate_lanes_7(LaneMask cards) {
  Lanes l(cards);
  std::uint32_t ranks = l.ranks(), odd = l.odd();
  switch (count(ranks)) {
    case 2: {
      std::uint32_t quads = l.quads();  // 4+3
      return quads_value(quads, ranks ^ quads);
    }
    case 3: {
      if (count(odd) == 3) {  // 3+3+1: two suits share both trips ranks
        std::uint32_t both = l.c & l.d;
        if (count(both) != 2) both = l.c & l.h;
        if (count(both) != 2) both = l.c & l.s;
        if (count(both) != 2) both = l.d & l.h;
        if (count(both) != 2) both = l.d & l.s;
        if (count(both) != 2) both = l.h & l.s;
        return category(kFullHouse) | top5(both) << kFields2;
      }
      if (std::uint32_t quads = l.quads()) return quads_value(quads, ranks ^ quads);  // 4+2+1
      return full_house_value(odd, odd ^ ranks);  // 3+2+2: the higher pair
    }
    case 4: {
      if (count(odd) == 1) {  // 2+2+2+1
        std::uint32_t pairs = top5(ranks ^ odd);
        std::uint32_t kicker = top(odd | 1u << (pairs & 0xF));
        return category(kTwoPair) | (pairs & ~0xFu) << 8 | kicker << kFields3;
      }
      if (std::uint32_t quads = l.quads()) return quads_value(quads, odd);  // 4+1+1+1
      std::uint32_t pair = ranks ^ odd;                                      // 3+2+1+1
      std::uint32_t trips = l.c & l.d & ~pair;
      if (!trips) trips = l.h & l.s & ~pair;
      return full_house_value(trips, pair);
    }
    case 5: {
      if (std::uint32_t v = flush_or_straight(l, ranks)) return v;
      if (count(odd) == 5) {  // 3+1+1+1+1
        std::uint32_t trips = l.c & l.d;
        if (!trips) trips = l.h & l.s;
        return category(kThreeOfAKind) | top(trips) << kFields1 | (top5(odd ^ trips) & ~0xFFu);
      }
      // 2+2+1+1+1
      return category(kTwoPair) | top5(ranks ^ odd) << kFields2 | top(odd) << kFields3;
    }
    case 6:
      if (std::uint32_t v = flush_or_straight(l, ranks)) return v;
      return category(kOnePair) | top(ranks ^ odd) << kFields1 | (top5(odd) >> 8) << 4;
    default:
      if (std::uint32_t v = flush_or_straight(l, ranks)) return v;
      return top5(ranks);
  }
}

std::uint32_t evaluate_cards(const std::uint8_t* cards, int count) {
  if (count < 3 || count > 7) return 0;
  LaneMask lanes = 0;
  for (int i = 0; i < count; ++i) lanes |= lane_bit(cards[i]);
  switch (count) {
    case 3: return evaluate_lanes_3(lanes);
    case 4: return evaluate_lanes_4(lanes);
    case 5: return evaluate_lanes_5(lanes);
    case 6: return evaluate_lanes_6(lanes);
    default: return evaluate_lanes_7(lanes);
  }
}

namespace {

template <std::uint32_t (*Evaluate)(LaneMask)>
void evaluate_batch(LaneMask board, const std::vector<CardMask>& hands, std::vector<std::uint32_t>& out) {
  for (std::size_t i = 0; i < hands.size(); ++i) {
    CardMask hand = hands[i];
    if (hand == 0) {
      out[i] = kBlockedHand;
      continue;
    }
    int lo = std::countr_zero(hand), hi = 63 - std::countl_zero(hand);
    out[i] = Evaluate(board | lane_bit(lo) | lane_bit(hi));
  }
}

}  // namespace

std::vector<std::uint32_t> evaluate_hands(CardMask board, const std::vector<CardMask>& hands) {
  init_hand_tables();  // start-up builds them; this keeps early callers safe
  std::vector<std::uint32_t> values(hands.size());
  LaneMask lanes = lane_mask(board);
  switch (std::popcount(board)) {
    case 1: evaluate_batch<evaluate_lanes_3>(lanes, hands, values); break;
    case 2: evaluate_batch<evaluate_lanes_4>(lanes, hands, values); break;
    case 3: evaluate_batch<evaluate_lanes_5>(lanes, hands, values); break;
    case 4: evaluate_batch<evaluate_lanes_6>(lanes, hands, values); break;
    case 5: evaluate_batch<evaluate_lanes_7>(lanes, hands, values); break;
    default:
      for (std::size_t i = 0; i < hands.size(); ++i) values[i] = hands[i] ? 0 : kBlockedHand;
  }
  return values;
}
