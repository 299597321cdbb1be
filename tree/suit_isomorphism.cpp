#include "tree/suit_isomorphism.h"

#include <bit>

namespace {

constexpr CardMask kSuitBits = 0x1FFF;

int suits_in(CardMask m) {
  int present = 0;
  for (int s = 0; s < 4; ++s)
    if ((m >> (13 * s)) & kSuitBits) present |= 1 << s;
  return present;
}

}  // namespace

SuitMapping canonical_suits(CardMask flop, CardMask turn, CardMask river) {
  SuitMapping m{};
  int next = 0;
  int assigned = 0;
  auto give = [&](int suit) {
    if (!(assigned & (1 << suit))) {
      m[suit] = std::uint8_t(next++);
      assigned |= 1 << suit;
    }
  };
  int counts[4] = {};
  for (CardMask f = flop; f; f &= f - 1) ++counts[card_suit(std::countr_zero(f))];
  int flop_suits = std::popcount(unsigned(suits_in(flop)));
  if (flop_suits == 2) {
    for (int s = 0; s < 4; ++s)
      if (counts[s] == 2) give(s);
  }
  // One suit, or the remaining suit of a two-suited flop, or three suits by ascending card code.
  for (CardMask f = flop; f; f &= f - 1) give(card_suit(std::countr_zero(f)));
  if (turn) give(card_suit(std::countr_zero(turn)));
  if (river) give(card_suit(std::countr_zero(river)));
  for (int s = 0; s < 4; ++s) give(s);
  return m;
}

int map_card(int card, const SuitMapping& m) { return make_card(card_rank(card), m[card_suit(card)]); }

CardMask map_mask(CardMask mask, const SuitMapping& m) {
  CardMask out = 0;
  for (int s = 0; s < 4; ++s) out |= ((mask >> (13 * s)) & kSuitBits) << (13 * m[s]);
  return out;
}

int map_hand(int hand, const SuitMapping& m) {
  const HandCards& h = hand_cards()[hand];
  return hand_index(map_card(h.lo, m), map_card(h.hi, m));
}

std::vector<double> map_range(const std::vector<double>& range, const SuitMapping& m) {
  std::vector<double> out(range.size());
  for (int h = 0; h < kHands; ++h) out[map_hand(h, m)] = range[h];
  return out;
}

int swap_suits_in_hand(int hand, int a, int b) {
  SuitMapping m = kIdentitySuits;
  m[a] = std::uint8_t(b);
  m[b] = std::uint8_t(a);
  return map_hand(hand, m);
}

bool ranges_symmetric(CardMask board, const std::vector<const std::vector<double>*>& ranges) {
  int present = suits_in(board);
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) {
      if ((present >> a & 1) || (present >> b & 1)) continue;
      for (const std::vector<double>* r : ranges)
        for (int h = 0; h < kHands; ++h)
          if ((*r)[h] != (*r)[swap_suits_in_hand(h, a, b)]) return false;
    }
  return true;
}

std::uint32_t isomorphism_key(int hand, CardMask board) {
  const HandCards& h = hand_cards()[hand];
  int first = h.lo, second = h.hi;
  // The first card is the higher rank; for a pair the lower card code.
  if (card_rank(second) > card_rank(first)) std::swap(first, second);
  int present = suits_in(board);
  int s1 = card_suit(first), s2 = card_suit(second);
  std::uint32_t key = std::uint32_t(card_rank(first) * 13 + card_rank(second)) * 256;
  if (s1 == s2) {
    key += 0x40;
    if (present >> s1 & 1) key += std::uint32_t(4 - s1);
  } else {
    if (present >> s1 & 1) key += std::uint32_t(32 - 8 * s1);
    if (present >> s2 & 1) key += std::uint32_t(4 - s2);
  }
  return key;
}
