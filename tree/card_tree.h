#pragma once
// The card tree: the start board, every turn card below it and every river card below each
// turn, merged by suit isomorphism when the tree uses it. Each card node lists, per player, the
// hands of the player's range that its board leaves, in ascending strength; a player's per-node
// solver data and hand vectors follow the player's list.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cards/cards.h"
#include "kernels/kernels.h"

// One list of hands on a board, ascending strength (river: then isomorphism key).
struct HandList {
  std::vector<std::uint16_t> cards;       // lower card code in the low byte, higher in the high byte
  std::vector<std::uint16_t> ids;         // hand index of each listed hand
  std::vector<std::uint32_t> strengths;
  // index_maps[k][i]: position in the parent node's list (the same player's) of listed hand i
  // with suits s and s + k exchanged (s = the node's card suit); map 0 is the hand itself. The
  // root maps to hand indexes.
  std::vector<std::vector<std::int16_t>> index_maps;
  std::vector<std::int16_t> position_of_hand;  // 1,326 entries; -1 for a hand not listed
  std::vector<std::uint16_t> class_sizes;      // runs of equal strength
  std::vector<std::uint16_t> group_sizes;      // river boards of isomorphic trees: runs of equal (strength, key)

  int size() const { return int(cards.size()); }
};

// Which hands the card tree lists for each player: those of the player's starting range (in
// the tree's suits) with a non-zero weight, or every hand.
struct ListedHands {
  std::array<std::vector<bool>, 2> in_range;  // 1,326 entries per player; empty: every hand
};

// A board the tree can reach: the start board at the root, one child per dealt turn card and
// below it per river card (one per isomorphic class when boards are merged). Holds the hand
// lists every action node indexes its rows by on that board, and the sweeps' layouts of them.
struct CardNode {
  CardMask board = 0;       // canonical when the tree uses isomorphism
  int card = -1;            // the dealt card; -1 at the root
  std::uint32_t weight = 1;  // real cards this node stands for
  std::vector<CardNode> children;
  std::array<std::int16_t, kCards> child_of_card;  // card -> child index, -1 when none

  // The hands of either player that the board leaves: the order both players' lists follow,
  // and the list the showdown and fold sweeps run on.
  HandList all;
  kernels::CardLanes lanes;  // `all` per card, for the showdown sweeps
  // Per player: its own list, unless it is `all` itself (is_all; the same on every node of a tree).
  std::array<HandList, 2> own;
  std::array<std::vector<std::int16_t>, 2> in_all;  // position in `all` of each hand of the list
  std::array<bool, 2> is_all{true, true};
  // pairs[p]: player p's list against the other's, for payoffs on the two lists themselves
  // (made when a list is not `all`; `lanes` are then not needed and left empty).
  std::array<kernels::PairPositions, 2> pairs;
  bool has_pairs = false;

  CardNode() { child_of_card.fill(-1); }
  const HandList& hands(int player) const { return is_all[std::size_t(player)] ? all : own[std::size_t(player)]; }
  int hand_count(int player) const { return hands(player).size(); }
  const CardNode* child_for(int card_code) const {
    int i = card_code < 0 ? -1 : child_of_card[card_code];
    return i < 0 ? nullptr : &children[i];
  }
  kernels::BoardHands all_hands() const { return {all.cards, all.class_sizes, all.group_sizes, &lanes}; }
  // The lists of `player` (values) and the other player (reach) for the terminal payoffs.
  kernels::HandPair hand_pair(int player) const;
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
// Without `listed` only the boards, cards and weights are made.
std::unique_ptr<CardNode> build_card_tree(CardMask flop, int board_turn, int board_river, bool isomorphism,
                                          const ListedHands* listed);

// Every hand a board leaves, ascending strength, with strength classes (no index maps): for
// reports defined against all hands, whatever the tree lists.
HandList full_hand_list(CardMask board);
