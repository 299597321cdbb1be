#pragma once
// Cards, card masks and two-card hands as the whole engine names them.
// card code = 13 * suit + rank; rank 0..12 = "23456789TJQKA", suit 0..3 = c, d, h, s.
// hand index = lo + hi * (hi - 1) / 2 over the hand's two card codes lo < hi.
#include <array>
#include <cstdint>
#include <string>

using CardMask = std::uint64_t;

constexpr int kCards = 52;
constexpr int kHands = 1326;
constexpr const char* kRankChars = "23456789TJQKA";
constexpr const char* kSuitChars = "cdhs";

constexpr int card_rank(int card) { return card % 13; }
constexpr int card_suit(int card) { return card / 13; }
constexpr int make_card(int rank, int suit) { return 13 * suit + rank; }
constexpr CardMask card_bit(int card) { return CardMask(1) << card; }
constexpr int hand_index(int a, int b) {
  int lo = a < b ? a : b, hi = a < b ? b : a;
  return lo + hi * (hi - 1) / 2;
}

struct HandCards {
  std::uint8_t lo, hi;
};
// The two cards of each hand index.
const std::array<HandCards, kHands>& hand_cards();
inline CardMask hand_mask(int hand) {
  const HandCards& h = hand_cards()[hand];
  return card_bit(h.lo) | card_bit(h.hi);
}

// Reads one or more card texts ("Ks7d", either case, blanks allowed between cards). A bad or
// repeated card, or a token over 255 bytes, throws CommandFailure "ERROR: invalid card".
CardMask parse_cards(const std::string& token);

std::string card_text(int card);        // "Qs"
std::string card_mask_text(CardMask m);  // ascending card code, single blanks: "2c 7d Ks"

// "OOP"/"hero" -> 0, "IP"/"villain" -> 1; anything else is command_error("incorrect player name").
int parse_player(const std::string& token);
