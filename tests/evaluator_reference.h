#pragma once
// A deliberately naive hand ranking that shares no code or tables with the evaluator: sort the
// ranks, count them, look for a flush and a straight; six and seven cards take their best five.
#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <vector>

namespace evaluator_reference {

struct Ranking {
  int category = 0;
  std::vector<int> ranks;  // deciding ranks, most important first
  auto operator<=>(const Ranking&) const = default;
};

inline Ranking reference_ranking(const std::vector<int>& cards) {
  std::array<int, 13> count{};
  std::set<int> suits;
  for (int c : cards) {
    ++count[c % 13];
    suits.insert(c / 13);
  }
  // Ranks grouped by how often they occur, bigger groups first, then higher ranks first.
  std::vector<std::pair<int, int>> groups;
  for (int r = 0; r < 13; ++r)
    if (count[r]) groups.push_back({count[r], r});
  std::sort(groups.rbegin(), groups.rend());
  Ranking result;
  for (auto [n, r] : groups) result.ranks.push_back(r);

  if (cards.size() == 5) {
    bool flush = suits.size() == 1;
    int straight_top = -1;
    if (groups.size() == 5) {
      if (result.ranks[0] - result.ranks[4] == 4) straight_top = result.ranks[0];
      if (result.ranks == std::vector<int>{12, 3, 2, 1, 0}) straight_top = 3;
    }
    if (straight_top >= 0) {
      result.category = flush ? 8 : 4;
      result.ranks = {straight_top};
      return result;
    }
    if (flush) {
      result.category = 5;
      return result;
    }
  }
  int first = groups[0].first, second = groups.size() > 1 ? groups[1].first : 0;
  // Quads, full house, trips, two pair, pair, high card.
  result.category = first == 4 ? 7 : first == 3 ? (second == 2 ? 6 : 3) : first == 2 ? (second == 2 ? 2 : 1) : 0;
  return result;
}

inline Ranking reference_best(const std::vector<int>& cards) {
  if (cards.size() <= 5) return reference_ranking(cards);
  Ranking best{-1, {}};
  int n = int(cards.size());
  std::vector<bool> pick(n, false);
  std::fill(pick.begin(), pick.begin() + 5, true);
  do {
    std::vector<int> five;
    for (int i = 0; i < n; ++i)
      if (pick[i]) five.push_back(cards[i]);
    best = std::max(best, reference_ranking(five));
  } while (std::prev_permutation(pick.begin(), pick.end()));
  return best;
}

// The value a ranking should have: category, then the deciding ranks in 4-bit fields from the top.
inline std::uint32_t expected_value(const Ranking& r) {
  std::uint32_t v = std::uint32_t(r.category) << 24;
  for (std::size_t i = 0; i < r.ranks.size(); ++i) v |= std::uint32_t(r.ranks[i]) << (16 - 4 * i);
  return v;
}

}  // namespace evaluator_reference
