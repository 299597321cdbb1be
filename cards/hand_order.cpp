#include "cards/hand_order.h"

#include <bit>

std::array<std::uint16_t, kHands> order_to_hand{};
std::array<std::uint16_t, kHands> hand_to_order{};

const std::string& hand_order_text() {
  static const std::string text = [] {
    std::string t;
    // Position of a card in the protocol order: rank-major, suit-minor.
    for (int high = 1; high < kCards; ++high) {
      for (int low = 0; low < high; ++low) {
        if (!t.empty()) t += ' ';
        t += kRankChars[high / 4];
        t += kSuitChars[high % 4];
        t += kRankChars[low / 4];
        t += kSuitChars[low % 4];
      }
    }
    return t;
  }();
  return text;
}

void build_hand_order_tables() {
  const std::string& text = hand_order_text();
  for (int p = 0; p < kHands; ++p) {
    CardMask m = parse_cards(text.substr(std::size_t(p) * 5, 4));
    int lo = std::countr_zero(m), hi = 63 - std::countl_zero(m);
    int i = hand_index(lo, hi);
    order_to_hand[p] = std::uint16_t(i);
    hand_to_order[i] = std::uint16_t(p);
  }
}
