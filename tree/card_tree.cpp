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

// One hand list: `candidates` (hand indexes) less those the board blocks, sorted by strength
// (river: then by isomorphism key, the order groups need). Keys come back in
// `keys` for the group runs.
HandList list_hands(CardMask board, const std::vector<int>& candidates, bool isomorphism,
                    std::vector<std::uint64_t>& keys) {
  std::vector<CardMask> masks(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    CardMask m = hand_mask(candidates[i]);
    masks[i] = (m & board) ? 0 : m;  // blocked hands are valued kBlockedHand
  }
  std::vector<std::uint32_t> values = evaluate_hands(board, masks);
  bool river = std::popcount(board) == 5;
  std::vector<std::uint64_t> sort_key(candidates.size());
  std::vector<std::uint32_t> order;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!masks[i]) continue;
    std::uint64_t key = std::uint64_t(values[i]) << 32;
    if (river) key |= isomorphism_key(candidates[i], board);
    sort_key[i] = key;
    order.push_back(std::uint32_t(i));
  }
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return sort_key[a] < sort_key[b]; });

  HandList list;
  std::size_t n = order.size();
  list.cards.resize(n);
  list.ids.resize(n);
  list.strengths.resize(n);
  list.position_of_hand.assign(kHands, -1);
  keys.resize(n);
  std::vector<std::uint64_t> strength_keys(n);
  for (std::size_t p = 0; p < n; ++p) {
    std::size_t i = order[p];
    int hand = candidates[i];
    const HandCards& c = hand_cards()[hand];
    list.cards[p] = std::uint16_t(c.lo | c.hi << 8);
    list.ids[p] = std::uint16_t(hand);
    list.strengths[p] = values[i];
    list.position_of_hand[hand] = std::int16_t(p);
    strength_keys[p] = values[i];
    keys[p] = sort_key[i];
  }
  runs(strength_keys, list.class_sizes);
  if (river && isomorphism) runs(keys, list.group_sizes);
  return list;
}

// The hands of `all` that `in_range` keeps, in the same order.
HandList sub_list(const HandList& all, const std::vector<std::uint64_t>& all_keys, const std::vector<bool>& in_range,
                  bool groups, std::vector<std::int16_t>& in_all) {
  HandList list;
  list.position_of_hand.assign(kHands, -1);
  in_all.clear();
  std::vector<std::uint64_t> strength_keys, keys;
  for (int i = 0; i < all.size(); ++i) {
    int hand = all.ids[std::size_t(i)];
    if (!in_range[std::size_t(hand)]) continue;
    list.position_of_hand[std::size_t(hand)] = std::int16_t(list.cards.size());
    in_all.push_back(std::int16_t(i));
    list.cards.push_back(all.cards[std::size_t(i)]);
    list.ids.push_back(std::uint16_t(hand));
    list.strengths.push_back(all.strengths[std::size_t(i)]);
    strength_keys.push_back(all.strengths[std::size_t(i)]);
    keys.push_back(all_keys[std::size_t(i)]);
  }
  runs(strength_keys, list.class_sizes);
  if (groups) runs(keys, list.group_sizes);
  return list;
}

// Index maps of a list into the parent's list of the same player (parent == nullptr: hand indexes).
void map_to_parent(HandList& list, const HandList* parent, int card, std::uint32_t weight) {
  int suit = card < 0 ? 0 : card_suit(card);
  list.index_maps.assign(weight, std::vector<std::int16_t>(list.cards.size()));
  for (std::size_t p = 0; p < list.cards.size(); ++p) {
    int hand = list.ids[p];
    for (std::uint32_t k = 0; k < weight; ++k) {
      int mapped = k == 0 ? hand : swap_suits_in_hand(hand, suit, suit + int(k));
      list.index_maps[k][p] = parent ? parent->position_of_hand[std::size_t(mapped)] : std::int16_t(mapped);
    }
  }
}

// Fills the lists of node from its parent's (parent == nullptr: the hands of either range).
void prepare_hands(CardNode& node, const CardNode* parent, bool isomorphism, const ListedHands& listed) {
  std::vector<int> candidates;  // hand indexes in the parent list's order
  if (parent) {
    candidates.assign(parent->all.ids.begin(), parent->all.ids.end());
  } else {
    for (int h = 0; h < kHands; ++h) {
      bool any = false;
      for (const auto& in : listed.in_range) any = any || in.empty() || in[std::size_t(h)];
      if (any) candidates.push_back(h);
    }
  }
  std::vector<std::uint64_t> keys;
  node.all = list_hands(node.board, candidates, isomorphism, keys);
  map_to_parent(node.all, parent ? &parent->all : nullptr, node.card, node.weight);
  bool groups = !node.all.group_sizes.empty();
  for (std::size_t p = 0; p < 2; ++p) {
    node.own[p] = HandList{};
    node.in_all[p].clear();
    const std::vector<bool>& in = listed.in_range[p];
    // A list that holds every hand of `all` at the root does so on every board below it.
    node.is_all[p] = parent ? parent->is_all[p] : in.empty();
    if (node.is_all[p]) continue;
    node.own[p] = sub_list(node.all, keys, in, groups, node.in_all[p]);
    if (!parent && node.own[p].size() == node.all.size()) {
      node.is_all[p] = true;
      node.own[p] = HandList{};
      node.in_all[p].clear();
      continue;
    }
    map_to_parent(node.own[p], parent ? &parent->own[p] : nullptr, node.card, node.weight);
  }
  node.has_pairs = !(node.is_all[0] && node.is_all[1]);
  node.lanes = node.has_pairs ? kernels::CardLanes{} : kernels::make_card_lanes(node.all.cards, node.all.class_sizes);
  for (int p = 0; p < 2 && node.has_pairs; ++p) {
    const HandList& own = node.hands(p);
    const HandList& opp = node.hands(1 - p);
    node.pairs[std::size_t(p)] = kernels::make_pair_positions(own.cards, own.strengths, opp.cards, opp.strengths);
  }
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
                                          const ListedHands* listed) {
  // Always three levels: the flop, its turn cards, their river cards. Fixed board cards give
  // single children of weight 1.
  auto root = std::make_unique<CardNode>();
  root->board = flop;
  if (listed) prepare_hands(*root, nullptr, isomorphism, *listed);
  add_children(*root, board_turn, isomorphism, false);
  for (CardNode& turn : root->children) {
    if (listed) prepare_hands(turn, root.get(), isomorphism, *listed);
    add_children(turn, board_river, isomorphism, true);
    if (listed)
      for (CardNode& river : turn.children) prepare_hands(river, &turn, isomorphism, *listed);
  }
  return root;
}

HandList full_hand_list(CardMask board) {
  std::vector<int> candidates(kHands);
  std::iota(candidates.begin(), candidates.end(), 0);
  std::vector<std::uint64_t> keys;
  return list_hands(board, candidates, false, keys);
}

kernels::HandPair CardNode::hand_pair(int player) const {
  std::size_t p = std::size_t(player), o = 1 - p;
  return {all_hands(), in_all[p], in_all[o], hand_count(player), hand_count(1 - player),
          has_pairs ? &pairs[p] : nullptr};
}
