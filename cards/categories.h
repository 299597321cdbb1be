#pragma once
// Hand categories on a board of three to five cards: for every two-card hand, how strong it is
// now relative to what the board itself shows (made-hand category) and how many next-street
// cards give it a straight or a flush (draw category).
//
// The classifiers take board cards in their own code, c = 51 - (4 * rank + suit), so that the
// codes fall in hand-order sequence (ace of spades first), and fill one result per hand in
// hand order.
#include <array>
#include <cstdint>
#include <stdexcept>

#include "cards/cards.h"

constexpr int kMadeHandCategories = 19;
constexpr int kDrawCategories = 5;
extern const std::array<const char*, kMadeHandCategories> made_hand_names;
extern const std::array<const char*, kDrawCategories> draw_names;

// Values are the indexes of made_hand_names and draw_names.
enum class MadeHand : std::int32_t {
  nothing, king_high, ace_high, low_pair, third_pair, second_pair, underpair, top_pair,
  top_pair_tp,  // named only; never assigned
  overpair, two_pair, trips, set, straight, flush, fullhouse, top_fullhouse, quads, straight_flush,
};

enum class Draw : std::int32_t {
  none,
  straight_4_outs,  // 4 to 7 straight outs
  straight_8_outs,  // 8 or more straight outs
  flush,
  combo,            // straight and flush outs
};

using CategoryResults = std::array<std::int32_t, kHands>;

// Classifier card code of a card code (13 * suit + rank).
constexpr std::uint8_t classifier_card(int card) {
  return std::uint8_t(51 - (4 * card_rank(card) + card_suit(card)));
}

// A hand the made-hand rules cannot place: a fault of the classifier, never of the input.
struct ClassifierBug : std::logic_error {
  ClassifierBug() : std::logic_error("bug in hand classifier, please report!") {}
};

// Made-hand category x 100 per hand in hand order; -1 for a hand sharing a card with the board.
void classify_made_hands(const std::uint8_t* board, int count, CategoryResults& results);
// Draw category per hand in hand order; -1 for a hand sharing a card with the board. On a
// five-card board nothing is written (no street follows).
void classify_draws(const std::uint8_t* board, int count, CategoryResults& results);
