#include "cards/cards.h"

#include <bit>
#include <cctype>
#include <cstring>

#include "core/failure.h"

const std::array<HandCards, kHands>& hand_cards() {
  static const std::array<HandCards, kHands> table = [] {
    std::array<HandCards, kHands> t{};
    for (int hi = 1; hi < kCards; ++hi)
      for (int lo = 0; lo < hi; ++lo) t[hand_index(lo, hi)] = {std::uint8_t(lo), std::uint8_t(hi)};
    return t;
  }();
  return table;
}

CardMask parse_cards(const std::string& token) {
  static const char* const kInvalid = "ERROR: invalid card\n";
  if (token.size() > 255) throw CommandFailure(kInvalid);
  std::string text = token;
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  CardMask mask = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char* r = text[i] ? std::strchr("23456789TJQKA", text[i]) : nullptr;
    if (!r) throw CommandFailure(kInvalid);
    const char* s = i + 1 < text.size() && text[i + 1] ? std::strchr("CDHS", text[i + 1]) : nullptr;
    if (!s) throw CommandFailure(kInvalid);
    CardMask bit = card_bit(make_card(int(r - "23456789TJQKA"), int(s - "CDHS")));
    if (mask & bit) throw CommandFailure(kInvalid);
    mask |= bit;
    i += 2;
    while (i < text.size() && text[i] == ' ') ++i;
  }
  return mask;
}

std::string card_text(int card) {
  return {kRankChars[card_rank(card)], kSuitChars[card_suit(card)]};
}

std::string card_mask_text(CardMask m) {
  std::string text;
  while (m) {
    if (!text.empty()) text += ' ';
    text += card_text(std::countr_zero(m));
    m &= m - 1;
  }
  return text;
}

int parse_player(const std::string& token) {
  if (token == "OOP" || token == "hero") return 0;
  if (token == "IP" || token == "villain") return 1;
  command_error("incorrect player name");
}
