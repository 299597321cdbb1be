#pragma once
// The card tree: the start board, every turn card below it and every river card below each
// turn, merged by suit isomorphism when the tree uses it. Each card node lists the hands its
// board leaves in ascending strength; per-node solver data and hand vectors follow that list.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cards/cards.h"
#include "solver/kernels.h"

struct CardNode {
  CardMask board = 0;       // canonical when the tree uses isomorphism
  int card = -1;            // the dealt card; -1 at the root
  std::uint32_t weight = 1;  // real cards this node stands for
  std::vector<CardNode> children;
  std::array<std::int16_t, kCards> child_of_card;  // card -> child index, -1 when none

  // The hand list, ascending strength (river: then isomorphism key).
  std::vector<CardMask> hand_masks;
  std::vector<std::uint32_t> strengths;
  std::vector<std::uint16_t> hand_cards;  // lower card code in the low byte, higher in the high byte
  std::vector<std::uint16_t> hand_ids;    // hand index of each listed hand
  // index_maps[k][i]: position in the parent's list of listed hand i with suits s and s + k
  // exchanged (s = this node's card suit); map 0 is the hand itself. The root maps to hand indexes.
  std::vector<std::vector<std::int16_t>> index_maps;
  std::vector<std::int16_t> position_of_hand;  // 1,326 entries; -1 for a hand that touches the board
  std::vector<std::uint16_t> class_sizes;  // runs of equal strength
  std::vector<std::uint16_t> group_sizes;  // river boards of isomorphic trees: runs of equal (strength, key)
  kernels::CardLanes lanes;                // the hand list per card, for the showdown sweeps

  CardNode() { child_of_card.fill(-1); }
  int hand_count() const { return int(hand_cards.size()); }
  const CardNode* child_for(int card_code) const {
    int i = card_code < 0 ? -1 : child_of_card[card_code];
    return i < 0 ? nullptr : &children[i];
  }
  kernels::BoardHands board_hands() const { return {hand_cards, class_sizes, group_sizes, &lanes}; }
};

// The next cards on a canonical board with their weights: without isomorphism every card not
// on the board with weight 1; with it, the cards of the suits the board shows, then the 13 cards
// of the first absent suit with weight 4 - (suits shown).
struct DealtCard {
  int card;
  std::uint32_t weight;
};
std::vector<DealtCard> enumerate_next_cards(CardMask board, bool isomorphism);

// Builds the whole card tree below the flop. board_turn / board_river are the board's fixed
// cards (-1 when the tree deals them). With isomorphism the cards given are already canonical.
// Without hands only the boards, cards and weights are made.
std::unique_ptr<CardNode> build_card_tree(CardMask flop, int board_turn, int board_river, bool isomorphism,
                                          bool with_hands = true);
