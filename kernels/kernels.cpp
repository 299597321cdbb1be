// Plain kernel set, fallback vectors and the choice of the kernel set.
#include "kernels/kernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "platform/platform.h"
#include "kernels/kernels_internal.h"

namespace kernels {

using namespace detail;

void fallback_vector(Fallback kind, int actions, double* out) {
  if (actions <= 0) return;
  if (actions == 1) {
    out[0] = 1.0;
    return;
  }
  if (kind == Fallback::uniform) {
    for (int a = 0; a < actions; ++a) out[a] = 1.0 / actions;
    return;
  }
  out[0] = std::max(kFirstActionShare, 1.0 / actions);
  for (int a = 1; a < actions; ++a) out[a] = (1.0 - kFirstActionShare) / (actions - 1);
}

namespace {

// The opponent's reach laid out on the common list (zeros for hands not in its list).
const double* reach_on_all(const KernelSet& set, const HandPair& h, const double* opp_reach, double* buffer) {
  if (h.opp_size == h.all.size()) return opp_reach;  // a subsequence as long as `all` is `all`
  std::fill(buffer, buffer + h.all.size(), 0.0);
  set.scatter_add(buffer, opp_reach, h.opp.data(), h.opp_size);
  return buffer;
}

// Values on the common list, or straight into the own list when it is the common list.
double* values_on_all(const HandPair& h, double* own_values, double* buffer) {
  return h.own_size == h.all.size() ? own_values : buffer;
}

void own_from_all(const KernelSet& set, const HandPair& h, const double* all_values, double* own_values) {
  if (h.own_size != h.all.size()) set.gather(own_values, all_values, h.own.data(), h.own_size);
}

}  // namespace

PairPositions make_pair_positions(std::span<const std::uint16_t> own_cards, std::span<const std::uint32_t> own_strengths,
                                  std::span<const std::uint16_t> opp_cards, std::span<const std::uint32_t> opp_strengths) {
  PairPositions p;
  int n = int(own_cards.size()), m = int(opp_cards.size());
  p.own_size = n;
  p.opp_size = m;
  // The opponent's hands per card, in list order (ascending strength), and which cards get a lane.
  std::vector<std::vector<std::uint16_t>> lists(kCardSums);
  std::vector<bool> used(kCardSums, false);
  for (int k = 0; k < m; ++k) {
    std::uint16_t c = opp_cards[std::size_t(k)];
    lists[std::size_t(low_card(c))].push_back(std::uint16_t(k));
    lists[std::size_t(high_card(c))].push_back(std::uint16_t(k));
    used[std::size_t(low_card(c))] = used[std::size_t(high_card(c))] = true;
  }
  for (std::uint16_t c : own_cards) used[std::size_t(low_card(c))] = used[std::size_t(high_card(c))] = true;
  std::vector<int> cards;
  for (int c = 0; c < kCardSums; ++c)
    if (used[std::size_t(c)]) cards.push_back(c);
  std::stable_sort(cards.begin(), cards.end(),
                   [&](int a, int b) { return lists[std::size_t(a)].size() > lists[std::size_t(b)].size(); });
  // lane_at[c]: where card c's row 0 is; its row k is 4 * k further.
  std::vector<int> lane_at(kCardSums, -1);
  for (std::size_t first = 0; first < cards.size(); first += 4) {
    PairPositions::Group g{p.rows, int(lists[std::size_t(cards[first])].size())};
    for (std::size_t j = 0; j < 4; ++j) {
      int c = first + j < cards.size() ? cards[first + j] : cards[0];
      p.lane_cards.push_back(std::uint8_t(c));
      if (first + j < cards.size()) lane_at[std::size_t(c)] = g.offset + int(j);
    }
    p.groups.push_back(g);
    p.rows += 4 * (g.length + 1);
  }
  p.entry_hand.assign(std::size_t(p.rows), std::uint16_t(m));
  for (int c : cards)
    for (std::size_t k = 0; k < lists[std::size_t(c)].size(); ++k)
      p.entry_hand[std::size_t(lane_at[std::size_t(c)]) + 4 * k] = lists[std::size_t(c)][k];

  // Opponent position of each two-card combination.
  std::vector<std::int16_t> position(kCardSums * kCardSums, std::int16_t(m));
  for (int k = 0; k < m; ++k)
    position[std::size_t(low_card(opp_cards[std::size_t(k)]) * kCardSums + high_card(opp_cards[std::size_t(k)]))] =
        std::int16_t(k);
  // Row of lane `card` after its hands below strength s (or s included).
  auto row = [&](int card, std::uint32_t s, bool or_equal) {
    const std::vector<std::uint16_t>& list = lists[std::size_t(card)];
    auto stronger = [&](std::uint16_t k) { return or_equal ? opp_strengths[k] > s : opp_strengths[k] >= s; };
    int k = int(std::find_if(list.begin(), list.end(), stronger) - list.begin());
    return std::int16_t(lane_at[std::size_t(card)] + 4 * k);
  };
  for (auto* v : {&p.weaker, &p.not_stronger, &p.low_weaker, &p.low_not_stronger, &p.high_weaker, &p.high_not_stronger,
                  &p.same})
    v->resize(std::size_t(n));
  p.low.resize(std::size_t(n));
  p.high.resize(std::size_t(n));
  int weaker = 0, not_stronger = 0;
  for (int h = 0; h < n; ++h) {
    std::uint32_t s = own_strengths[std::size_t(h)];
    while (weaker < m && opp_strengths[std::size_t(weaker)] < s) ++weaker;
    not_stronger = std::max(not_stronger, weaker);
    while (not_stronger < m && opp_strengths[std::size_t(not_stronger)] <= s) ++not_stronger;
    int lo = low_card(own_cards[std::size_t(h)]), hi = high_card(own_cards[std::size_t(h)]);
    std::size_t i = std::size_t(h);
    p.weaker[i] = std::int16_t(weaker);
    p.not_stronger[i] = std::int16_t(not_stronger);
    p.low_weaker[i] = row(lo, s, false);
    p.low_not_stronger[i] = row(lo, s, true);
    p.high_weaker[i] = row(hi, s, false);
    p.high_not_stronger[i] = row(hi, s, true);
    p.low[i] = std::uint8_t(lo);
    p.high[i] = std::uint8_t(hi);
    p.same[i] = position[std::size_t(lo * kCardSums + hi)];
  }
  return p;
}

void fold_values(const KernelSet& set, const double* opp_reach, const HandPair& h, double payoff, double* values) {
  if (h.positions) return set.pair_payoffs(opp_reach, *h.positions, 0.0, nullptr, payoff, values);
  alignas(64) double reach[kMaxLaneHands], all[kMaxLaneHands];
  double* v = values_on_all(h, values, all);
  set.fold_values(reach_on_all(set, h, opp_reach, reach), h.all, payoff, v);
  own_from_all(set, h, v, values);
}

void showdown_values(const KernelSet& set, const double* opp_reach, const HandPair& h, double payoff,
                     double* values) {
  if (h.positions) return set.pair_payoffs(opp_reach, *h.positions, payoff, values, 0.0, nullptr);
  alignas(64) double reach[kMaxLaneHands], all[kMaxLaneHands];
  double* v = values_on_all(h, values, all);
  set.showdown_values(reach_on_all(set, h, opp_reach, reach), h.all, payoff, v);
  own_from_all(set, h, v, values);
}

void showdown_and_fold_values(const KernelSet& set, const double* opp_reach, const HandPair& h,
                              double showdown_payoff, double fold_payoff, double* showdown, double* fold) {
  if (h.positions) return set.pair_payoffs(opp_reach, *h.positions, showdown_payoff, showdown, fold_payoff, fold);
  alignas(64) double reach[kMaxLaneHands], all_showdown[kMaxLaneHands], all_fold[kMaxLaneHands];
  double* s = values_on_all(h, showdown, all_showdown);
  double* f = values_on_all(h, fold, all_fold);
  set.showdown_and_fold_values(reach_on_all(set, h, opp_reach, reach), h.all, showdown_payoff, fold_payoff, s, f);
  own_from_all(set, h, s, showdown);
  own_from_all(set, h, f, fold);
}

void fold_plus_showdown_values(const KernelSet& set, const double* opp_reach, const double* fold_share,
                               const double* showdown_share, const HandPair& h, double showdown_payoff,
                               double fold_payoff, double* values) {
  if (h.positions)
    return set.pair_payoffs_summed(opp_reach, fold_share, showdown_share, *h.positions, showdown_payoff, fold_payoff,
                                   values);
  alignas(64) double reach[kMaxLaneHands], shown[kMaxLaneHands];
  set.multiply(reach, opp_reach, fold_share, h.opp_size);
  fold_values(set, reach, h, fold_payoff, values);
  set.multiply(reach, opp_reach, showdown_share, h.opp_size);
  showdown_values(set, reach, h, showdown_payoff, shown);
  set.add(values, shown, h.own_size);
}

void spread_group_reach(const double* group_reach, const BoardHands& board, double* reach) {
  int h = 0, n = board.size();
  for (std::size_t g = 0; g < board.groups.size() && h < n; ++g) {
    int size = board.groups[g];
    if (size == 0) continue;
    double share = group_reach[g] / size;
    for (int end = std::min(n, h + size); h < end; ++h) reach[h] = share;
  }
  for (; h < n; ++h) reach[h] = 0.0;
}

CardLanes make_card_lanes(std::span<const std::uint16_t> cards, std::span<const std::uint16_t> classes) {
  CardLanes lanes;
  int n = int(cards.size());
  if (n > kMaxLaneHands) return lanes;
  // Hands past the listed classes stand alone (the sweep counts them as stronger than all).
  std::vector<int> hand_class(static_cast<std::size_t>(n));
  for (int h = 0; h < n; ++h) hand_class[std::size_t(h)] = int(classes.size()) + h;
  for (int h = 0, c = 0; std::uint16_t size : classes) {
    for (int i = 0; i < size && h < n; ++i) hand_class[std::size_t(h++)] = c;
    ++c;
  }
  // Each card's list: (hand, which of its two cards), in hand-list order, i.e. ascending strength.
  std::vector<std::vector<std::pair<int, int>>> lists(kCardSums);
  for (int h = 0; h < n; ++h) {
    lists[std::size_t(low_card(cards[std::size_t(h)]))].push_back({h, 0});
    lists[std::size_t(high_card(cards[std::size_t(h)]))].push_back({h, 1});
  }
  std::vector<int> lane_card;
  for (int c = 0; c < kCardSums; ++c)
    if (!lists[std::size_t(c)].empty()) {
      lane_card.push_back(c);
      lanes.length = std::max(lanes.length, int(lists[std::size_t(c)].size()));
    }
  // A list longer than a card can have means repeated hands: no lanes, the sweep serves.
  if (lanes.length > kMaxLaneLength) return CardLanes{};
  lanes.groups = (int(lane_card.size()) + 3) / 4;
  int width = 4 * lanes.groups;
  lanes.lane_cards.assign(std::size_t(width), std::uint8_t(lane_card.empty() ? 0 : lane_card[0]));
  for (std::size_t lane = 0; lane < lane_card.size(); ++lane) lanes.lane_cards[lane] = std::uint8_t(lane_card[lane]);
  lanes.entry_hand.assign(std::size_t(lanes.length * width), std::uint16_t(n));
  lanes.class_starts.assign(std::size_t((lanes.length + 1) * lanes.groups), 0);
  lanes.hand_entries.assign(std::size_t(2 * n), 0);
  for (int lane = 0; lane < width; ++lane) {
    const std::vector<std::pair<int, int>>* list =
        lane < int(lane_card.size()) ? &lists[std::size_t(lane_card[std::size_t(lane)])] : nullptr;
    for (int k = 0; k <= lanes.length; ++k) {
      bool start = true;
      if (list && k < int(list->size())) {
        auto [h, slot] = (*list)[std::size_t(k)];
        lanes.entry_hand[std::size_t(k * width + lane)] = std::uint16_t(h);
        lanes.hand_entries[std::size_t(2 * h + slot)] = std::uint16_t(k * width + lane);
        start = k == 0 || hand_class[std::size_t((*list)[std::size_t(k - 1)].first)] != hand_class[std::size_t(h)];
      }
      if (start) lanes.class_starts[std::size_t(k * lanes.groups + lane / 4)] |= std::uint8_t(1 << (lane % 4));
    }
  }
  return lanes;
}

namespace {

// Blocks of hands: the float sums first, then one division per value, so that the loops
// run over contiguous rows.
constexpr int kBlock = 256;

template <class T>
void current_strategy_plain(const T* regrets, std::size_t stride, int actions, int n, const double* fallback,
                            double* sigma, std::size_t sigma_stride) {
  float sum[kBlock];
  for (int h0 = 0; h0 < n; h0 += kBlock) {
    int m = std::min(kBlock, n - h0);
    for (int i = 0; i < m; ++i) sum[i] = positive_regret(regrets[h0 + i]);
    for (int a = 1; a < actions; ++a)
      for (int i = 0; i < m; ++i) sum[i] += positive_regret(regrets[a * stride + h0 + i]);
    for (int a = 0; a < actions; ++a) {
      const T* row = regrets + a * stride + h0;
      double* out = sigma + a * sigma_stride + h0;
      for (int i = 0; i < m; ++i)
        out[i] = sum[i] >= kStrategyThreshold ? double(positive_regret(row[i])) / double(sum[i]) : fallback[a];
    }
  }
}

void average_strategy_plain(const float* sums, std::size_t stride, int actions, int n, double* sigma,
                            std::size_t sigma_stride) {
  float sum[kBlock];
  for (int h0 = 0; h0 < n; h0 += kBlock) {
    int m = std::min(kBlock, n - h0);
    for (int i = 0; i < m; ++i) sum[i] = sums[h0 + i];
    for (int a = 1; a < actions; ++a)
      for (int i = 0; i < m; ++i) sum[i] += sums[a * stride + h0 + i];
    for (int a = 0; a < actions; ++a) {
      const float* row = sums + a * stride + h0;
      double* out = sigma + a * sigma_stride + h0;
      for (int i = 0; i < m; ++i)
        if (sum[i] >= kStrategyThreshold) out[i] = double(row[i]) / double(sum[i]);
    }
  }
}

// kDiscounted: the kept regrets are multiplied by `discount` in the same pass.
template <bool kDiscounted>
void update_regrets_f32_with(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                             const double* const* action_values, double discount) {
  float c = kDiscounted ? float(discount) : 1.0f;
  for (int a = 0; a < actions; ++a) {
    float* row = regrets + a * stride;
    const double* va = action_values[a];
    for (int h = 0; h < n; ++h) row[h] = update_regret_f32(row[h], va[h], node_value[h], c);
  }
}

template <bool kDiscounted>
void update_regrets_u16_with(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                             const double* node_value, const double* const* action_values,
                             std::span<const std::uint16_t> class_table, double stake_scale, double discount) {
  float k = float(std::pow(stake_scale, kRegretExponent));
  float e = float(1.0 / stake_scale);
  float c = float(discount);
  for (int a = 0; a < actions; ++a) {
    std::uint16_t* row = regrets + a * stride;
    const double* va = action_values[a];
    for (int h = 0; h < n; ++h) row[h] = update_regret_u16<kDiscounted>(row[h], va[h], node_value[h], k, e, c);
  }
  if (!class_table.empty()) apply_class_means(regrets, stride, actions, n, class_table);
}

void update_regrets_f32_plain(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                              const double* const* action_values) {
  update_regrets_f32_with<false>(regrets, stride, actions, n, node_value, action_values, 1.0);
}

void update_regrets_u16_plain(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                              const double* node_value, const double* const* action_values,
                              std::span<const std::uint16_t> class_table, double stake_scale) {
  update_regrets_u16_with<false>(regrets, stride, actions, n, node_value, action_values, class_table, stake_scale, 1.0);
}

void update_regrets_f32_signed_plain(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                                     const double* const* action_values, double discount, double negative_discount,
                                     double negative_step) {
  float c = float(discount), c_neg = float(negative_discount), m = negative_input_scale(negative_step);
  for (int a = 0; a < actions; ++a) {
    float* row = regrets + a * stride;
    const double* va = action_values[a];
    for (int h = 0; h < n; ++h) row[h] = update_signed_regret_f32(row[h], va[h], node_value[h], c, c_neg, m);
  }
}

void update_regrets_s16_plain(std::int16_t* regrets, std::size_t stride, int actions, int n, const double* node_value,
                              const double* const* action_values, std::span<const std::uint16_t> class_table,
                              double stake_scale, double discount, double negative_discount, double negative_step) {
  double unit = std::pow(stake_scale, kSignedRegretExponent);
  float k = float(unit), k_neg = float(negative_step * unit);
  float e = float(1.0 / stake_scale);
  float c = float(discount), c_neg = float(negative_discount);
  for (int a = 0; a < actions; ++a) {
    std::int16_t* row = regrets + a * stride;
    const double* va = action_values[a];
    for (int h = 0; h < n; ++h) row[h] = update_signed_regret_16(row[h], va[h], node_value[h], k, k_neg, e, c, c_neg);
  }
  if (!class_table.empty()) apply_class_means(regrets, stride, actions, n, class_table);
}

void accumulate_average_plain(float* sums, std::size_t stride, int actions, int n, const double* sigma,
                              std::size_t sigma_stride, const double* reach, double weight) {
  if (!(weight > 0.0)) return;
  for (int a = 0; a < actions; ++a) {
    float* row = sums + a * stride;
    const double* s = sigma + a * sigma_stride;
    for (int h = 0; h < n; ++h) row[h] += float(weight * s[h] * reach[h]);
  }
}

void fold_values_plain(const double* reach, const BoardHands& board, double payoff, double* values) {
  double card_sums[kCardSums];
  int n = board.size();
  double total = reach_total(reach, n, payoff, 1.0);
  if (!(std::fabs(total) > kFoldThreshold)) {
    std::fill(values, values + n, 0.0);
    return;
  }
  scatter_reach(reach, board, payoff, 1.0, card_sums);
  const std::uint16_t* cards = board.cards.data();
  for (int h = 0; h < n; ++h)
    values[h] = total - card_sums[low_card(cards[h])] - card_sums[high_card(cards[h])] + payoff * reach[h];
}

// Class by class in ascending strength: the class's own mass enters once (so that ties count
// 0), its hands read their values, then the mass enters again (now it counts as weaker).
void showdown_values_plain(const double* reach, const BoardHands& board, double payoff, double* values) {
  double card_sums[kCardSums];
  int n = board.size();
  double total = reach_total(reach, n, payoff, -1.0);
  if (!(std::fabs(total) > kShowdownThreshold)) {
    std::fill(values, values + n, 0.0);
    return;
  }
  scatter_reach(reach, board, payoff, -1.0, card_sums);
  const std::uint16_t* cards = board.cards.data();
  int begin = 0;
  for (std::uint16_t size : board.classes) {
    int end = std::min(n, begin + int(size));
    double mass = add_class_mass(reach, cards, begin, end, payoff, card_sums);
    total += mass;
    for (int h = begin; h < end; ++h)
      values[h] = total - card_sums[low_card(cards[h])] - card_sums[high_card(cards[h])];
    add_class_mass(reach, cards, begin, end, payoff, card_sums);
    total += mass;
    begin = end;
  }
  std::fill(values + begin, values + n, 0.0);
}

void showdown_and_fold_values_plain(const double* reach, const BoardHands& board, double showdown_payoff,
                                    double fold_payoff, double* showdown, double* fold) {
  showdown_values_plain(reach, board, showdown_payoff, showdown);
  fold_values_plain(reach, board, fold_payoff, fold);
}

void fold_values_grouped_plain(const double* group_reach, const BoardHands& board, double payoff,
                               double* group_values) {
  grouped_from_per_hand(fold_values_plain, group_reach, board, payoff, group_values);
}

void showdown_values_grouped_plain(const double* group_reach, const BoardHands& board, double payoff,
                                   double* group_values) {
  grouped_from_per_hand(showdown_values_plain, group_reach, board, payoff, group_values);
}

void pair_payoffs_plain(const double* reach, const PairPositions& p, double showdown_payoff, double* showdown,
                        double fold_payoff, double* fold) {
  pair_payoffs_with<PlainSteps>(reach, p, showdown_payoff, showdown, fold_payoff, fold);
}

void pair_payoffs_summed_plain(const double* reach, const double* fold_share, const double* showdown_share,
                               const PairPositions& p, double showdown_payoff, double fold_payoff, double* values) {
  pair_payoffs_summed_with<PlainSteps>(reach, fold_share, showdown_share, p, showdown_payoff, fold_payoff, values);
}

const KernelSet kPlain = {
    "plain",
    current_strategy_plain<float>,
    current_strategy_plain<std::uint16_t>,
    average_strategy_plain,
    update_regrets_f32_plain,
    update_regrets_u16_plain,
    update_regrets_f32_with<true>,
    update_regrets_u16_with<true>,
    current_strategy_plain<std::int16_t>,
    update_regrets_f32_signed_plain,
    update_regrets_s16_plain,
    accumulate_average_plain,
    fold_values_plain,
    showdown_values_plain,
    showdown_and_fold_values_plain,
    fold_values_grouped_plain,
    showdown_values_grouped_plain,
    VectorLoops::multiply,
    VectorLoops::multiply_add,
    VectorLoops::add,
    VectorLoops::maximum,
    VectorLoops::scale,
    VectorLoops::all_zero,
    VectorLoops::gather,
    VectorLoops::scatter_add,
    pair_payoffs_plain,
    pair_payoffs_summed_plain,
};

}  // namespace

const KernelSet& plain_kernels() { return kPlain; }

// Defined in kernels_avx2.cpp.
const KernelSet& avx2_kernel_set();

const KernelSet* avx2_kernels() {
  static const bool usable = platform::cpu_has_avx2() && platform::cpu_has_fma();
  return usable ? &avx2_kernel_set() : nullptr;
}

namespace {
std::atomic<const KernelSet*> g_selected{nullptr};
}

const KernelSet& active_kernels() {
  const KernelSet* set = g_selected.load(std::memory_order_relaxed);
  if (set) return *set;
  // TRAVANTO_KERNELS=plain forces the plain path (a whole solve on both paths can be compared).
  static const KernelSet& chosen = [] () -> const KernelSet& {
    const char* forced = std::getenv("TRAVANTO_KERNELS");
    if (forced && std::string_view(forced) == "plain") return plain_kernels();
    return avx2_kernels() ? *avx2_kernels() : plain_kernels();
  }();
  return chosen;
}

void select_kernels(const KernelSet* set) { g_selected.store(set, std::memory_order_relaxed); }

}  // namespace kernels
