#include "tree/card_tree.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "cards/evaluator.h"
#include "tree/suit_isomorphism.h"

namespace {

int suits_shown(CardMask board) {
  int k = 0;
  for (int s = 0; s < 4; ++s)
    if ((board >> (13 * s)) & 0x1FFF) ++k;
  return k;
}

// The suit holding the most cards of the board (lowest on a tie), or -1 when none holds two.
int crowded_suit(CardMask board) {
  int best = -1, most = 1;
  for (int s = 0; s < 4; ++s) {
    int n = std::popcount((board >> (13 * s)) & 0x1FFF);
    if (n > most) most = n, best = s;
  }
  return best;
}

void runs(const std::vector<std::uint64_t>& keys, std::vector<std::uint16_t>& sizes) {
  sizes.clear();
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i;
    while (j < keys.size() && keys[j] == keys[i]) ++j;
    sizes.push_back(std::uint16_t(j - i));
    i = j;
  }
}

// Fills the hand list of node from its parent's list (parent == nullptr: all hands by index).
void prepare_hands(CardNode& node, const CardNode* parent, bool isomorphism) {
  std::vector<int> candidates;  // hand indexes in the parent list's order
  if (parent)
    candidates.assign(parent->hand_ids.begin(), parent->hand_ids.end());
  else {
    candidates.resize(kHands);
    std::iota(candidates.begin(), candidates.end(), 0);
  }
  std::vector<CardMask> masks(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    CardMask m = hand_mask(candidates[i]);
    masks[i] = (m & node.board) ? 0 : m;  // blocked hands are valued kBlockedHand
  }
  std::vector<std::uint32_t> values = evaluate_hands(node.board, masks);

  bool river = std::popcount(node.board) == 5;
  std::vector<std::uint64_t> sort_key(candidates.size());
  std::vector<std::uint32_t> order;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!masks[i]) continue;
    std::uint64_t key = std::uint64_t(values[i]) << 32;
    if (river) key |= isomorphism_key(candidates[i], node.board);
    sort_key[i] = key;
    order.push_back(std::uint32_t(i));
  }
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return sort_key[a] < sort_key[b]; });

  std::size_t n = order.size();
  node.hand_masks.resize(n);
  node.strengths.resize(n);
  node.hand_cards.resize(n);
  node.hand_ids.resize(n);
  node.position_of_hand.assign(kHands, -1);
  node.index_maps.assign(node.weight, std::vector<std::int16_t>(n));
  std::vector<std::uint64_t> strength_keys(n), group_keys(n);
  int suit = node.card < 0 ? 0 : card_suit(node.card);
  for (std::size_t p = 0; p < n; ++p) {
    std::size_t i = order[p];
    int hand = candidates[i];
    const HandCards& c = hand_cards()[hand];
    node.hand_masks[p] = masks[i];
    node.strengths[p] = values[i];
    node.hand_cards[p] = std::uint16_t(c.lo | c.hi << 8);
    node.hand_ids[p] = std::uint16_t(hand);
    node.position_of_hand[hand] = std::int16_t(p);
    for (std::uint32_t k = 0; k < node.weight; ++k) {
      int mapped = k == 0 ? hand : swap_suits_in_hand(hand, suit, suit + int(k));
      node.index_maps[k][p] = parent ? parent->position_of_hand[mapped] : std::int16_t(mapped);
    }
    strength_keys[p] = values[i];
    group_keys[p] = sort_key[i];
  }
  runs(strength_keys, node.class_sizes);
  if (river && isomorphism) runs(group_keys, node.group_sizes);
  node.lanes = kernels::make_card_lanes(node.hand_cards, node.class_sizes);
}

void add_children(CardNode& node, int fixed_card, bool isomorphism, bool river_level) {
  std::vector<DealtCard> cards;
  if (fixed_card >= 0)
    cards.push_back({fixed_card, 1});
  else
    cards = enumerate_next_cards(node.board, isomorphism);
  int suit = river_level && fixed_card < 0 ? crowded_suit(node.board) : -1;
  if (suit >= 0) {
    // Cards off the crowded suit first, then its cards; each part by rank, then suit.
    std::stable_sort(cards.begin(), cards.end(), [suit](const DealtCard& a, const DealtCard& b) {
      auto key = [suit](int c) { return std::make_tuple(card_suit(c) == suit, card_rank(c), card_suit(c)); };
      return key(a.card) < key(b.card);
    });
  }
  node.children.resize(cards.size());
  for (std::size_t i = 0; i < cards.size(); ++i) {
    CardNode& child = node.children[i];
    child.card = cards[i].card;
    child.weight = cards[i].weight;
    child.board = node.board | card_bit(cards[i].card);
    node.child_of_card[cards[i].card] = std::int16_t(i);
  }
}

}  // namespace

std::vector<DealtCard> enumerate_next_cards(CardMask board, bool isomorphism) {
  std::vector<DealtCard> cards;
  int k = isomorphism ? suits_shown(board) : 4;
  for (int c = 0; c < 13 * k; ++c)
    if (!(board & card_bit(c))) cards.push_back({c, 1});
  if (k < 4)
    for (int r = 0; r < 13; ++r) cards.push_back({make_card(r, k), std::uint32_t(4 - k)});
  return cards;
}

std::unique_ptr<CardNode> build_card_tree(CardMask flop, int board_turn, int board_river, bool isomorphism,
                                          bool with_hands) {
  // Always three levels: the flop, its turn cards, their river cards. Fixed board cards give
  // single children of weight 1.
  auto root = std::make_unique<CardNode>();
  root->board = flop;
  if (with_hands) prepare_hands(*root, nullptr, isomorphism);
  add_children(*root, board_turn, isomorphism, false);
  for (CardNode& turn : root->children) {
    if (with_hands) prepare_hands(turn, root.get(), isomorphism);
    add_children(turn, board_river, isomorphism, true);
    if (with_hands)
      for (CardNode& river : turn.children) prepare_hands(river, &turn, isomorphism);
  }
  return root;
}
