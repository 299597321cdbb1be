#pragma once
// Scalar pieces shared by the plain and the vector kernel sets: the per-hand steps that the
// vector loops use for their tails, and the per-card scatter passes of the payoff kernels,
// which both sets run in the same order. Inlined into the vector set, the compiler may fuse
// their multiply-adds, so the sets still differ in the last bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernels/kernels.h"

namespace kernels::detail {

constexpr int kCardSums = 52;

inline int low_card(std::uint16_t cards) { return cards & 0xFF; }
inline int high_card(std::uint16_t cards) { return cards >> 8; }

// |d|^0.75 as sqrt(|d|) * sqrt(sqrt(|d|)); inputs below the smallest normal float give 0.
inline float pow075(float magnitude) {
  if (!(magnitude >= kStrategyThreshold)) return 0.0f;
  float root = std::sqrt(magnitude);
  return root * std::sqrt(root);
}

// The positive part of a stored regret (floats and signed 16-bit values may be negative).
inline float positive_regret(float r) { return r > 0.0f ? r : 0.0f; }
inline float positive_regret(std::uint16_t r) { return float(r); }
inline float positive_regret(std::int16_t r) { return r > 0 ? float(r) : 0.0f; }

// |d|^0.625 as sqrt(|d|) * |d|^(1/8), the increment of the signed rule; inputs below the
// smallest normal float give 0.
inline float pow0625(float magnitude) {
  if (!(magnitude >= kStrategyThreshold)) return 0.0f;
  float root = std::sqrt(magnitude);
  return root * std::sqrt(std::sqrt(root));
}

template <class T>
inline void current_strategy_hand(const T* regrets, std::size_t stride, int actions, int h,
                                  const double* fallback, double* sigma, std::size_t sigma_stride) {
  float sum = 0.0f;
  for (int a = 0; a < actions; ++a) sum += positive_regret(regrets[a * stride + h]);
  if (sum >= kStrategyThreshold) {
    for (int a = 0; a < actions; ++a)
      sigma[a * sigma_stride + h] = double(positive_regret(regrets[a * stride + h])) / double(sum);
  } else {
    for (int a = 0; a < actions; ++a) sigma[a * sigma_stride + h] = fallback[a];
  }
}

inline void average_strategy_hand(const float* sums, std::size_t stride, int actions, int h, double* sigma,
                                  std::size_t sigma_stride) {
  float sum = 0.0f;
  for (int a = 0; a < actions; ++a) sum += sums[a * stride + h];
  if (sum >= kStrategyThreshold)
    for (int a = 0; a < actions; ++a) sigma[a * sigma_stride + h] = double(sums[a * stride + h]) / double(sum);
}

// The kept regret is multiplied by `discount` first (a schedule's; 1 leaves it as it is).
inline float update_regret_f32(float regret, double action_value, double node_value, float discount = 1.0f) {
  float d = float(action_value - node_value);
  float step = pow075(std::fabs(d));
  return std::max(0.0f, regret * discount + (d >= 0.0f ? step : -step));
}

// A discounted 16-bit regret, rounded to the nearest unit.
inline int discounted_u16(std::uint16_t regret, float discount) { return int(float(regret) * discount + 0.5f); }

// k = s^0.75, e = 1/s, both as floats; the kept regret is discounted first, as a whole unit.
template <bool kDiscounted = false>
inline std::uint16_t update_regret_u16(std::uint16_t regret, double action_value, double node_value, float k,
                                       float e, float discount = 1.0f) {
  float d = float(action_value - node_value);
  int r = kDiscounted ? discounted_u16(regret, discount) : regret;
  if (d >= e) {
    r += int(std::min(k * pow075(d), float(kMaxRegret16)));
  } else if (d <= -e) {
    r -= int(std::min(k * pow075(-d), float(kMaxRegret16)));
  }
  return std::uint16_t(std::clamp(r, 0, kMaxRegret16));
}

// A regret that keeps its negative part: multiplied by c when positive, else by c_neg. Negative
// increments are m |d|^0.625, taken as |m_in d|^0.625 with m_in = m^1.6: a product after the
// power could be fused into the add in one kernel set and not in the other.
inline float update_signed_regret_f32(float regret, double action_value, double node_value, float c, float c_neg,
                                      float m_in) {
  float d = float(action_value - node_value);
  float step = pow0625(std::fabs(d) * (d >= 0.0f ? 1.0f : m_in));
  return regret * (regret > 0.0f ? c : c_neg) + (d >= 0.0f ? step : -step);
}
// m^(1/0.625), the factor on a loss before the power.
inline float negative_input_scale(double negative_step) {
  return float(std::pow(negative_step, 1 / kSignedRegretExponent));
}

// A signed 16-bit regret: k = s^0.625 (k_neg = m s^0.625 for negative increments), e = 1/s.
inline std::int16_t update_signed_regret_16(std::int16_t regret, double action_value, double node_value, float k,
                                            float k_neg, float e, float c, float c_neg) {
  float d = float(action_value - node_value);
  float magnitude = std::fabs(d);
  float scale = d >= 0.0f ? k : k_neg;
  float step = magnitude >= e ? std::trunc(std::min(scale * pow0625(magnitude), float(kMaxRegret16))) : 0.0f;
  float x = float(regret) * (regret > 0 ? c : c_neg) + (d >= 0.0f ? step : -step);
  return std::int16_t(std::clamp(int(std::nearbyint(x)), kMinSignedRegret16, kMaxSignedRegret16));
}

// Every showdown class's regrets become the class's integer mean (truncated toward zero), per
// action; unsigned or signed 16-bit rows.
template <class T>
inline void apply_class_means(T* regrets, std::size_t stride, int actions, int n,
                              std::span<const std::uint16_t> class_table) {
  for (int a = 0; a < actions; ++a) {
    T* row = regrets + a * stride;
    int start = 0;
    for (std::uint16_t size : class_table) {
      if (size == 0) continue;
      if (start + size > n) break;
      std::int64_t sum = 0;
      for (int h = start; h < start + size; ++h) sum += row[h];
      T mean = T(sum / size);
      for (int h = start; h < start + size; ++h) row[h] = mean;
      start += size;
    }
  }
}

// Contribution of one opponent hand to the payoff sums: only positive reach counts.
inline double stake_of(double payoff, double reach) { return reach > 0.0 ? payoff * reach : 0.0; }

// sign * payoff * reach(o) summed over the hands with positive reach, in four interleaved
// partial sums (hand h into sum h mod 4, combined as (s0 + s1) + (s2 + s3)), which breaks the
// chain of dependent additions; the vector path keeps the same four sums in one register.
inline double reach_total(const double* reach, int n, double payoff, double sign, const double* partial = nullptr,
                          int from = 0) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  if (partial != nullptr) std::copy(partial, partial + 4, s);
  int h = from;
  for (; h + 4 <= n; h += 4)
    for (int j = 0; j < 4; ++j) s[j] += reach[h + j] > 0.0 ? sign * (payoff * reach[h + j]) : 0.0;
  for (int j = 0; h < n; ++h, ++j) s[j] += reach[h] > 0.0 ? sign * (payoff * reach[h]) : 0.0;
  return (s[0] + s[1]) + (s[2] + s[3]);
}

// Sets the card sums to sign * payoff * reach(o) of every hand with positive reach, per card.
inline void scatter_reach(const double* reach, const BoardHands& board, double payoff, double sign, double* card_sums) {
  std::fill(card_sums, card_sums + kCardSums, 0.0);
  const std::uint16_t* cards = board.cards.data();
  for (int h = 0, n = board.size(); h < n; ++h) {
    if (!(reach[h] > 0.0)) continue;
    double t = sign * (payoff * reach[h]);
    card_sums[low_card(cards[h])] += t;
    card_sums[high_card(cards[h])] += t;
  }
}

// Adds payoff * reach of hands [begin, end) once to the card sums and returns their mass. The
// mass has its own accumulator so that the running total sees one addition per class.
inline double add_class_mass(const double* reach, const std::uint16_t* cards, int begin, int end, double payoff,
                             double* card_sums) {
  double mass = 0.0;
  for (int h = begin; h < end; ++h) {
    double t = stake_of(payoff, reach[h]);
    mass += t;
    card_sums[low_card(cards[h])] += t;
    card_sums[high_card(cards[h])] += t;
  }
  return mass;
}

// The running sums of the opponent's positive reach that PairPositions address (see there),
// kept centred so that a hand's showdown reads six of them: W'[k] = W[k] - T/2 and, per lane,
// D[k] = P_c[k] - C_c/2. With those,
//   weaker - stronger = (W'[weaker] + W'[not_stronger]) - (D[low_weaker] + D[low_not_stronger])
//                       - (D[high_weaker] + D[high_not_stronger]).
// R is the reach with non-positive entries as 0 and zeros past the end (the `same` position of
// a hand the opponent lacks, and the tail of the last block); C the per-card totals, each the
// last row of its card's lane. A fold needs only C and T: its lanes are summed, not kept.
//
// The total T is summed in eight accumulators (entry k into k mod 8),
// T = ((a0 + a4) + (a2 + a6)) + ((a1 + a5) + (a3 + a7)); the list sum runs in blocks of four:
// within a block the inclusive sums are formed as z = (x0, x1 + x0, (x2 + x1) + x0,
// (x3 + x2) + (x1 + x0)), then the carry is added and T/2 taken off; the next carry is
// z3 + carry. The vector path forms exactly these, so both give the same bits.
struct PairSums {
  double W[kMaxLaneHands + 8];
  double R[kMaxLaneHands + 8];
  double D[(kMaxLaneLength + 1) * 4 * kMaxLaneGroups];
  double C[kCardSums];
  double total = 0.0;

  // Positive reach into R, with zeros up to the next block of eight past m.
  void load_reach(const double* reach, int m) {
    for (int k = 0; k < m; ++k) R[k] = reach[k] > 0.0 ? reach[k] : 0.0;
    for (int k = m; k < m + 8; ++k) R[k] = 0.0;
  }
  // The same for the reach reach(k) * share(k) of one action.
  void load_reach(const double* reach, const double* share, int m) {
    for (int k = 0; k < m; ++k) {
      double x = reach[k] * share[k];
      R[k] = x > 0.0 ? x : 0.0;
    }
    for (int k = m; k < m + 8; ++k) R[k] = 0.0;
  }

  // W centred on T (list_total first).
  void list_sums(int m) {
    const double half = 0.5 * total;
    W[0] = -half;
    double carry = 0.0;
    for (int k = 0; k < m; k += 4) {
      const double* x = R + k;
      double y1 = x[1] + x[0], y2 = x[2] + x[1], y3 = x[3] + x[2];
      double z[4] = {x[0], y1, y2 + x[0], y3 + y1};
      for (int j = 0; j < 4; ++j) W[k + 1 + j] = (z[j] + carry) - half;
      carry = z[3] + carry;
    }
  }

  // T alone.
  void list_total(int m) {
    double a[8] = {};
    for (int k = 0; k < m; k += 8)
      for (int j = 0; j < 8; ++j) a[j] += R[k + j];
    total = ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
  }

  // C, and with `keep` the centred lane sums D.
  void lane_sums(const PairPositions& p, bool keep) {
    const std::uint16_t* entry = p.entry_hand.data();
    std::fill(C, C + kCardSums, 0.0);
    for (std::size_t i = 0; i < p.groups.size(); ++i) {
      const PairPositions::Group& g = p.groups[i];
      double run[4] = {};
      for (int k = 0; k < g.length; ++k)
        for (int j = 0; j < 4; ++j) {
          if (keep) D[g.offset + 4 * k + j] = run[j];
          run[j] += R[entry[g.offset + 4 * k + j]];
        }
      for (int j = 0; j < 4; ++j) C[p.lane_cards[4 * i + std::size_t(j)]] += run[j];
      if (!keep) continue;
      for (int j = 0; j < 4; ++j) D[g.offset + 4 * g.length + j] = run[j];
      double half[4] = {0.5 * run[0], 0.5 * run[1], 0.5 * run[2], 0.5 * run[3]};
      for (int k = 0; k <= g.length; ++k)
        for (int j = 0; j < 4; ++j) D[g.offset + 4 * k + j] -= half[j];
    }
  }

  // Compatible weaker minus compatible stronger reach of own hand h.
  double showdown_margin(const PairPositions& p, int h) const {
    std::size_t i = std::size_t(h);
    return ((W[p.weaker[i]] + W[p.not_stronger[i]]) - (D[p.low_weaker[i]] + D[p.low_not_stronger[i]])) -
           (D[p.high_weaker[i]] + D[p.high_not_stronger[i]]);
  }
  // Reach of the opponent hands that share no card with own hand h.
  double compatible(const PairPositions& p, int h) const {
    std::size_t i = std::size_t(h);
    return ((total - C[p.low[i]]) - C[p.high[i]]) + R[p.same[i]];
  }
};

// The summing steps of the plain set; the vector set has its own with the same three members.
struct PlainSteps {
  static void list_total(PairSums& s, int m) { s.list_total(m); }
  static void lane_sums(PairSums& s, const PairPositions& p, bool keep) { s.lane_sums(p, keep); }
  static void list_sums(PairSums& s, int m) { s.list_sums(m); }
};

// The two-list payoffs with the given summing steps (plain or vector): the total first, so that
// reach below the thresholds costs nothing more; a fold alone keeps no lane sums. Always
// inlined, so that the vector set's copy is compiled for its instructions.
template <class Steps>
[[gnu::always_inline]] inline void pair_payoffs_with(const double* reach, const PairPositions& p, double showdown_payoff,
                                                     double* showdown, double fold_payoff, double* fold) {
  PairSums sums;
  const int n = p.own_size, m = p.opp_size;
  sums.load_reach(reach, m);
  Steps::list_total(sums, m);
  const bool do_showdown = showdown && std::fabs(showdown_payoff * sums.total) > kShowdownThreshold;
  const bool do_fold = fold && std::fabs(fold_payoff * sums.total) > kFoldThreshold;
  if (showdown && !do_showdown) std::fill(showdown, showdown + n, 0.0);
  if (fold && !do_fold) std::fill(fold, fold + n, 0.0);
  if (!do_showdown && !do_fold) return;
  Steps::lane_sums(sums, p, do_showdown);
  if (do_showdown) {
    Steps::list_sums(sums, m);
    for (int h = 0; h < n; ++h) showdown[h] = showdown_payoff * sums.showdown_margin(p, h);
  }
  if (do_fold)
    for (int h = 0; h < n; ++h) fold[h] = fold_payoff * sums.compatible(p, h);
}

// An opponent's fold and call that both end the hand, summed: the fold's payoff against
// reach * fold_share plus the showdown's against reach * showdown_share, each with its own
// threshold, as the two children's values would add up.
template <class Steps>
[[gnu::always_inline]] inline void pair_payoffs_summed_with(const double* reach, const double* fold_share,
                                                            const double* showdown_share, const PairPositions& p,
                                                            double showdown_payoff, double fold_payoff,
                                                            double* values) {
  PairSums shown, folded;
  const int n = p.own_size, m = p.opp_size;
  shown.load_reach(reach, showdown_share, m);
  folded.load_reach(reach, fold_share, m);
  Steps::list_total(shown, m);
  Steps::list_total(folded, m);
  const bool do_showdown = std::fabs(showdown_payoff * shown.total) > kShowdownThreshold;
  const bool do_fold = std::fabs(fold_payoff * folded.total) > kFoldThreshold;
  if (do_showdown) {
    Steps::lane_sums(shown, p, true);
    Steps::list_sums(shown, m);
  }
  if (do_fold) Steps::lane_sums(folded, p, false);
  if (do_showdown && do_fold) {
    for (int h = 0; h < n; ++h)
      values[h] = fold_payoff * folded.compatible(p, h) + showdown_payoff * shown.showdown_margin(p, h);
  } else if (do_showdown) {
    for (int h = 0; h < n; ++h) values[h] = showdown_payoff * shown.showdown_margin(p, h);
  } else if (do_fold) {
    for (int h = 0; h < n; ++h) values[h] = fold_payoff * folded.compatible(p, h);
  } else {
    std::fill(values, values + n, 0.0);
  }
}

// Per-hand reach of a grouped board: each group's reach spread evenly over its hands. The
// grouped kernels run the per-hand sweeps on it and read values at each group's first hand.
class SpreadReach {
 public:
  SpreadReach(const double* group_reach, const BoardHands& board) {
    int n = board.size();
    if (n + kSlack > int(kInline)) heap_.resize(n + kSlack);
    data_ = n + kSlack > int(kInline) ? heap_.data() : inline_;
    // Group sizes vary unpredictably: write four slots per group without a branch (the slack
    // takes the overflow) and loop only for the rare larger groups.
    int h = 0;
    for (std::size_t g = 0; g < board.groups.size() && h < n; ++g) {
      int size = board.groups[g];
      double share = size > 0 ? group_reach[g] / size : 0.0;
      for (int j = 0; j < kSlack; ++j) data_[h + j] = share;
      for (int j = kSlack; j < size && h + j < n; ++j) data_[h + j] = share;
      h += size;
    }
    for (int j = std::min(h, n); j < n; ++j) data_[j] = 0.0;
  }
  SpreadReach(const SpreadReach&) = delete;
  SpreadReach& operator=(const SpreadReach&) = delete;
  const double* data() const { return data_; }

 private:
  static constexpr int kSlack = 4;
  static constexpr std::size_t kInline = 1326 + kSlack;
  double inline_[kInline];
  std::vector<double> heap_;
  double* data_;
};

// A grouped board's values from a per-hand kernel: spread the group reach, run the kernel,
// and take each group's value at its first hand.
template <class PerHand>
inline void grouped_from_per_hand(PerHand per_hand, const double* group_reach, const BoardHands& board, double payoff,
                                  double* group_values) {
  SpreadReach spread(group_reach, board);
  int n = board.size();
  double inline_values[1326];
  std::vector<double> heap;
  double* values = inline_values;
  if (n > 1326) {
    heap.resize(n);
    values = heap.data();
  }
  per_hand(spread.data(), board, payoff, values);
  int h = 0;
  for (std::size_t g = 0; g < board.groups.size(); ++g) {
    int size = board.groups[g];
    group_values[g] = size > 0 && h < n ? values[h] : 0.0;
    h += size;
  }
}

// The hand-vector loops, written once: the plain set instantiates them as they are, the vector
// set inside functions compiled for AVX2, where the optimised build (-O3) vectorises the
// arithmetic ones; the gather is the processor's, the scatter and the zero test stay scalar.
struct VectorLoops {
  static void multiply(double* __restrict out, const double* __restrict a, const double* __restrict b, int n) {
    for (int i = 0; i < n; ++i) out[i] = a[i] * b[i];
  }
  static void multiply_add(double* __restrict out, const double* __restrict a, const double* __restrict b, int n) {
    for (int i = 0; i < n; ++i) out[i] += a[i] * b[i];
  }
  static void add(double* __restrict out, const double* __restrict a, int n) {
    for (int i = 0; i < n; ++i) out[i] += a[i];
  }
  static void maximum(double* __restrict out, const double* __restrict a, int n) {
    for (int i = 0; i < n; ++i) out[i] = out[i] < a[i] ? a[i] : out[i];
  }
  static void scale(double* __restrict out, double factor, int n) {
    for (int i = 0; i < n; ++i) out[i] *= factor;
  }
  // Blocks of 16 with one exit test each.
  static bool all_zero(const double* v, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
      bool nonzero = false;
      for (int j = 0; j < 16; ++j) nonzero |= v[i + j] != 0.0;
      if (nonzero) return false;
    }
    for (; i < n; ++i)
      if (v[i] != 0.0) return false;
    return true;
  }
  static void gather(double* __restrict out, const double* __restrict in, const std::int16_t* __restrict index, int n) {
    for (int i = 0; i < n; ++i) out[i] = in[index[i]];
  }
  static void scatter_add(double* __restrict out, const double* __restrict in, const std::int16_t* __restrict index,
                          int n) {
    for (int i = 0; i < n; ++i) out[index[i]] += in[i];
  }
};

}  // namespace kernels::detail
