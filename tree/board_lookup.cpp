#include "tree/board_lookup.h"

BoardLookup look_up_board(const GameTree& tree, int turn, int river) {
  BoardLookup b;
  if (tree.has_flag(ISOMORPHISM_ON))
    b.suits = canonical_suits(tree.flop_mask, turn >= 0 ? card_bit(turn) : 0, river >= 0 ? card_bit(river) : 0);
  const CardNode* root = tree.root_card.get();
  b.node = root;
  if (turn < 0) return b;
  const CardNode* t = root->child_for(map_card(turn, b.suits));
  b.node = t;
  if (!t) return b;
  b.indices.turn = int(t - root->children.data());
  if (river < 0) return b;
  b.node = t->child_for(map_card(river, b.suits));
  if (b.node) b.indices.river = int(b.node - t->children.data());
  return b;
}

std::vector<int> BoardLookup::positions(int player) const {
  const HandList& list = node->hands(player);
  std::vector<int> pos(kHands);
  for (int h = 0; h < kHands; ++h) pos[std::size_t(h)] = list.position_of_hand[std::size_t(map_hand(h, suits))];
  return pos;
}
