// AVX2/FMA kernel set. Only the functions marked TARGET use the vector instructions; the file
// is built with the project's generic flags and is entered only after the processor check in
// kernels.cpp. Loops take eight hands at a time; the tails reuse the scalar per-hand steps.
// Regret matching divides in float, eight hands per division, so its shares differ from the
// plain double division by at most 2^-24 relative (pure strategies stay exactly 0 and 1); the
// average strategy, which reports show, multiplies by a double reciprocal (within an ulp of the
// plain division); the regret powers use refined rsqrt estimates.
#include <immintrin.h>

#include <cstring>

#include "kernels/kernels.h"
#include "kernels/kernels_internal.h"

#define TARGET __attribute__((target("avx2,fma")))

namespace kernels {

using namespace detail;

namespace {

TARGET inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
TARGET inline __m256 load8(const std::uint16_t* p) {
  return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

// Lane masks of eight floats widened to two masks of four doubles.
TARGET inline __m256d mask_low(__m256 m) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(_mm256_castps256_ps128(m))));
}
TARGET inline __m256d mask_high(__m256 m) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(_mm256_extractf128_ps(m, 1))));
}
TARGET inline __m256d low_pd(__m256 v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
TARGET inline __m256d high_pd(__m256 v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }

// float(a - b) for eight hands.
TARGET inline __m256 difference8(const double* a, const double* b) {
  __m128 lo = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_loadu_pd(a), _mm256_loadu_pd(b)));
  __m128 hi = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_loadu_pd(a + 4), _mm256_loadu_pd(b + 4)));
  return _mm256_set_m128(hi, lo);
}

// 1/sqrt(x) from the estimate and one Newton step.
TARGET inline __m256 rsqrt(__m256 x) {
  __m256 r = _mm256_rsqrt_ps(x);
  __m256 half_x = _mm256_mul_ps(x, _mm256_set1_ps(0.5f));
  return _mm256_mul_ps(r, _mm256_fnmadd_ps(_mm256_mul_ps(half_x, r), r, _mm256_set1_ps(1.5f)));
}

// x^0.75 = sqrt(x) * sqrt(sqrt(x)); below the smallest normal float (and NaN) gives 0.
TARGET inline __m256 pow075(__m256 x) {
  __m256 usable = _mm256_cmp_ps(x, _mm256_set1_ps(kStrategyThreshold), _CMP_GE_OQ);
  __m256 root = _mm256_mul_ps(x, rsqrt(x));
  __m256 fourth = _mm256_mul_ps(root, rsqrt(root));
  return _mm256_and_ps(_mm256_mul_ps(root, fourth), usable);
}

// x^0.625 = sqrt(x) * x^(1/8), likewise.
TARGET inline __m256 pow0625(__m256 x) {
  __m256 usable = _mm256_cmp_ps(x, _mm256_set1_ps(kStrategyThreshold), _CMP_GE_OQ);
  __m256 root = _mm256_mul_ps(x, rsqrt(x));
  __m256 fourth = _mm256_mul_ps(root, rsqrt(root));
  __m256 eighth = _mm256_mul_ps(fourth, rsqrt(fourth));
  return _mm256_and_ps(_mm256_mul_ps(root, eighth), usable);
}

TARGET inline __m256 absolute(__m256 x) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x); }

// Positive parts of eight stored regrets (positive_regret).
TARGET inline __m256 positive8(const float* p) { return _mm256_max_ps(_mm256_loadu_ps(p), _mm256_setzero_ps()); }
TARGET inline __m256 positive8(const std::uint16_t* p) { return load8(p); }
TARGET inline __m256 positive8(const std::int16_t* p) {
  __m256i r = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  return _mm256_cvtepi32_ps(_mm256_max_epi32(r, _mm256_setzero_si256()));
}

template <class T>
TARGET void current_strategy_avx2(const T* regrets, std::size_t stride, int actions, int n, const double* fallback,
                                  double* sigma, std::size_t sigma_stride) {
  int h = 0;
  for (; h + 8 <= n; h += 8) {
    __m256 sum = positive8(regrets + h);
    for (int a = 1; a < actions; ++a) sum = _mm256_add_ps(sum, positive8(regrets + a * stride + h));
    __m256 usable = _mm256_cmp_ps(sum, _mm256_set1_ps(kStrategyThreshold), _CMP_GE_OQ);
    __m256d use_lo = mask_low(usable), use_hi = mask_high(usable);
    for (int a = 0; a < actions; ++a) {
      __m256 share = _mm256_div_ps(positive8(regrets + a * stride + h), sum);
      __m256d fb = _mm256_set1_pd(fallback[a]);
      double* out = sigma + a * sigma_stride + h;
      _mm256_storeu_pd(out, _mm256_blendv_pd(fb, low_pd(share), use_lo));
      _mm256_storeu_pd(out + 4, _mm256_blendv_pd(fb, high_pd(share), use_hi));
    }
  }
  for (; h < n; ++h) current_strategy_hand(regrets, stride, actions, h, fallback, sigma, sigma_stride);
}

TARGET void average_strategy_avx2(const float* sums, std::size_t stride, int actions, int n, double* sigma,
                                  std::size_t sigma_stride) {
  int h = 0;
  for (; h + 8 <= n; h += 8) {
    __m256 sum = load8(sums + h);
    for (int a = 1; a < actions; ++a) sum = _mm256_add_ps(sum, load8(sums + a * stride + h));
    __m256 usable = _mm256_cmp_ps(sum, _mm256_set1_ps(kStrategyThreshold), _CMP_GE_OQ);
    if (_mm256_movemask_ps(usable) == 0) continue;
    __m256d use_lo = mask_low(usable), use_hi = mask_high(usable);
    __m256d inv_lo = _mm256_div_pd(_mm256_set1_pd(1.0), low_pd(sum));
    __m256d inv_hi = _mm256_div_pd(_mm256_set1_pd(1.0), high_pd(sum));
    for (int a = 0; a < actions; ++a) {
      __m256 s = load8(sums + a * stride + h);
      double* out = sigma + a * sigma_stride + h;
      _mm256_storeu_pd(out, _mm256_blendv_pd(_mm256_loadu_pd(out), _mm256_mul_pd(low_pd(s), inv_lo), use_lo));
      _mm256_storeu_pd(out + 4,
                       _mm256_blendv_pd(_mm256_loadu_pd(out + 4), _mm256_mul_pd(high_pd(s), inv_hi), use_hi));
    }
  }
  for (; h < n; ++h) average_strategy_hand(sums, stride, actions, h, sigma, sigma_stride);
}

// kDiscounted: the kept regrets are multiplied by `discount` in the same pass; the product is
// fused with the sum, so discounted regrets differ from the plain path's in the last bits.
template <bool kDiscounted>
TARGET void update_regrets_f32_with(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                                    const double* const* action_values, double discount) {
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  const float c = kDiscounted ? float(discount) : 1.0f;
  const __m256 vc = _mm256_set1_ps(c);
  for (int a = 0; a < actions; ++a) {
    float* row = regrets + a * stride;
    const double* va = action_values[a];
    int h = 0;
    for (; h + 8 <= n; h += 8) {
      __m256 d = difference8(va + h, node_value + h);
      __m256 step = _mm256_or_ps(pow075(absolute(d)), _mm256_and_ps(d, sign_bit));
      __m256 kept = _mm256_loadu_ps(row + h);
      __m256 r = kDiscounted ? _mm256_fmadd_ps(kept, vc, step) : _mm256_add_ps(kept, step);
      _mm256_storeu_ps(row + h, _mm256_max_ps(r, _mm256_setzero_ps()));
    }
    for (; h < n; ++h) row[h] = update_regret_f32(row[h], va[h], node_value[h], c);
  }
}

template <bool kDiscounted>
TARGET void update_regrets_u16_with(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                                    const double* node_value, const double* const* action_values,
                                    std::span<const std::uint16_t> class_table, double stake_scale, double discount) {
  float k = float(std::pow(stake_scale, kRegretExponent));
  float e = float(1.0 / stake_scale);
  float c = float(discount);
  const __m256 vk = _mm256_set1_ps(k), ve = _mm256_set1_ps(e), vneg_e = _mm256_set1_ps(-e);
  const __m256 vmax = _mm256_set1_ps(float(kMaxRegret16));
  const __m256 vc = _mm256_set1_ps(c), half = _mm256_set1_ps(0.5f);
  for (int a = 0; a < actions; ++a) {
    std::uint16_t* row = regrets + a * stride;
    const double* va = action_values[a];
    int h = 0;
    for (; h + 8 <= n; h += 8) {
      __m256 d = difference8(va + h, node_value + h);
      __m256i up = _mm256_castps_si256(_mm256_cmp_ps(d, ve, _CMP_GE_OQ));
      __m256i down = _mm256_castps_si256(_mm256_cmp_ps(d, vneg_e, _CMP_LE_OQ));
      __m256i step = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_mul_ps(vk, pow075(absolute(d))), vmax));
      __m256i r = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + h)));
      // round(c R) as discounted_u16 gives it: c R + 0.5, truncated.
      if constexpr (kDiscounted) r = _mm256_cvttps_epi32(_mm256_fmadd_ps(_mm256_cvtepi32_ps(r), vc, half));
      r = _mm256_sub_epi32(_mm256_add_epi32(r, _mm256_and_si256(step, up)), _mm256_and_si256(step, down));
      r = _mm256_min_epi32(_mm256_max_epi32(r, _mm256_setzero_si256()), _mm256_set1_epi32(kMaxRegret16));
      __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + h), packed);
    }
    for (; h < n; ++h) row[h] = update_regret_u16<kDiscounted>(row[h], va[h], node_value[h], k, e, c);
  }
  if (!class_table.empty()) apply_class_means(regrets, stride, actions, n, class_table);
}

TARGET void update_regrets_f32_signed_avx2(float* regrets, std::size_t stride, int actions, int n,
                                           const double* node_value, const double* const* action_values,
                                           double discount, double negative_discount, double negative_step) {
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  const float c = float(discount), c_neg = float(negative_discount), m = negative_input_scale(negative_step);
  const __m256 vc = _mm256_set1_ps(c), vc_neg = _mm256_set1_ps(c_neg), vone = _mm256_set1_ps(1.0f),
               vm = _mm256_set1_ps(m);
  for (int a = 0; a < actions; ++a) {
    float* row = regrets + a * stride;
    const double* va = action_values[a];
    int h = 0;
    for (; h + 8 <= n; h += 8) {
      __m256 d = difference8(va + h, node_value + h);
      // The sign bit of d picks m^1.6 as the loss's factor.
      __m256 step = pow0625(_mm256_mul_ps(absolute(d), _mm256_blendv_ps(vone, vm, d)));
      step = _mm256_or_ps(step, _mm256_and_ps(d, sign_bit));
      __m256 kept = _mm256_loadu_ps(row + h);
      __m256 factor = _mm256_blendv_ps(vc_neg, vc, _mm256_cmp_ps(kept, _mm256_setzero_ps(), _CMP_GT_OQ));
      _mm256_storeu_ps(row + h, _mm256_fmadd_ps(kept, factor, step));
    }
    for (; h < n; ++h) row[h] = update_signed_regret_f32(row[h], va[h], node_value[h], c, c_neg, m);
  }
}

TARGET void update_regrets_s16_avx2(std::int16_t* regrets, std::size_t stride, int actions, int n,
                                    const double* node_value, const double* const* action_values,
                                    std::span<const std::uint16_t> class_table, double stake_scale, double discount,
                                    double negative_discount, double negative_step) {
  double unit = std::pow(stake_scale, kSignedRegretExponent);
  float k = float(unit), k_neg = float(negative_step * unit);
  float e = float(1.0 / stake_scale);
  float c = float(discount), c_neg = float(negative_discount);
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  const __m256 vk = _mm256_set1_ps(k), vk_neg = _mm256_set1_ps(k_neg), ve = _mm256_set1_ps(e),
               vmax = _mm256_set1_ps(float(kMaxRegret16));
  const __m256 vc = _mm256_set1_ps(c), vc_neg = _mm256_set1_ps(c_neg);
  for (int a = 0; a < actions; ++a) {
    std::int16_t* row = regrets + a * stride;
    const double* va = action_values[a];
    int h = 0;
    for (; h + 8 <= n; h += 8) {
      __m256 d = difference8(va + h, node_value + h);
      __m256 magnitude = absolute(d);
      __m256 scale = _mm256_blendv_ps(vk, vk_neg, d);  // by the sign bit of d
      __m256 step = _mm256_round_ps(_mm256_min_ps(_mm256_mul_ps(scale, pow0625(magnitude)), vmax),
                                    _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
      step = _mm256_and_ps(step, _mm256_cmp_ps(magnitude, ve, _CMP_GE_OQ));
      step = _mm256_or_ps(step, _mm256_and_ps(d, sign_bit));
      __m256 kept = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + h))));
      __m256 factor = _mm256_blendv_ps(vc_neg, vc, _mm256_cmp_ps(kept, _mm256_setzero_ps(), _CMP_GT_OQ));
      // Rounded to the nearest (ties to even, as nearbyint); the pack saturates to -32768..32767.
      __m256i r = _mm256_cvtps_epi32(_mm256_fmadd_ps(kept, factor, step));
      __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + h), packed);
    }
    for (; h < n; ++h) row[h] = update_signed_regret_16(row[h], va[h], node_value[h], k, k_neg, e, c, c_neg);
  }
  if (!class_table.empty()) apply_class_means(regrets, stride, actions, n, class_table);
}

TARGET void update_regrets_f32_avx2(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                                    const double* const* action_values) {
  update_regrets_f32_with<false>(regrets, stride, actions, n, node_value, action_values, 1.0);
}

TARGET void update_regrets_u16_avx2(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                                    const double* node_value, const double* const* action_values,
                                    std::span<const std::uint16_t> class_table, double stake_scale) {
  update_regrets_u16_with<false>(regrets, stride, actions, n, node_value, action_values, class_table, stake_scale, 1.0);
}

TARGET void accumulate_average_avx2(float* sums, std::size_t stride, int actions, int n, const double* sigma,
                                    std::size_t sigma_stride, const double* reach, double weight) {
  if (!(weight > 0.0)) return;
  const __m256d w = _mm256_set1_pd(weight);
  for (int a = 0; a < actions; ++a) {
    float* row = sums + a * stride;
    const double* s = sigma + a * sigma_stride;
    int h = 0;
    for (; h + 8 <= n; h += 8) {
      __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(w, _mm256_loadu_pd(s + h)), _mm256_loadu_pd(reach + h)));
      __m128 hi = _mm256_cvtpd_ps(
          _mm256_mul_pd(_mm256_mul_pd(w, _mm256_loadu_pd(s + h + 4)), _mm256_loadu_pd(reach + h + 4)));
      _mm256_storeu_ps(row + h, _mm256_add_ps(_mm256_loadu_ps(row + h), _mm256_set_m128(hi, lo)));
    }
    for (; h < n; ++h) row[h] += float(weight * s[h] * reach[h]);
  }
}

// total - C[low card] - C[high card] for four hands. Scalar loads beat the gather
// instruction on the processors measured; the arithmetic stays in vector registers.
TARGET inline __m256d open_sum4(const std::uint16_t* cards, const double* card_sums, __m256d total) {
  __m256d c1 = _mm256_set_pd(card_sums[low_card(cards[3])], card_sums[low_card(cards[2])],
                             card_sums[low_card(cards[1])], card_sums[low_card(cards[0])]);
  __m256d c2 = _mm256_set_pd(card_sums[high_card(cards[3])], card_sums[high_card(cards[2])],
                             card_sums[high_card(cards[1])], card_sums[high_card(cards[0])]);
  return _mm256_sub_pd(_mm256_sub_pd(total, c1), c2);
}

// The total of reach_total with its four partial sums in one register.
TARGET double reach_total_avx2(const double* reach, int n, double payoff, double sign) {
  const __m256d p = _mm256_set1_pd(sign * payoff), zero = _mm256_setzero_pd();
  __m256d sum = zero;
  int h = 0;
  for (; h + 4 <= n; h += 4) {
    __m256d r = _mm256_loadu_pd(reach + h);
    __m256d t = _mm256_and_pd(_mm256_mul_pd(p, r), _mm256_cmp_pd(r, zero, _CMP_GT_OQ));
    sum = _mm256_add_pd(sum, t);
  }
  double partial[4];
  _mm256_storeu_pd(partial, sum);
  return reach_total(reach, n, payoff, sign, partial, h);
}

TARGET void fold_values_avx2(const double* reach, const BoardHands& board, double payoff, double* values) {
  double card_sums[kCardSums];
  int n = board.size();
  double total = reach_total_avx2(reach, n, payoff, 1.0);
  if (!(std::fabs(total) > kFoldThreshold)) {
    std::fill(values, values + n, 0.0);
    return;
  }
  scatter_reach(reach, board, payoff, 1.0, card_sums);
  const std::uint16_t* cards = board.cards.data();
  const __m256d t = _mm256_set1_pd(total), p = _mm256_set1_pd(payoff);
  int h = 0;
  for (; h + 8 <= n; h += 8) {
    _mm256_storeu_pd(values + h, _mm256_fmadd_pd(p, _mm256_loadu_pd(reach + h), open_sum4(cards + h, card_sums, t)));
    _mm256_storeu_pd(values + h + 4,
                     _mm256_fmadd_pd(p, _mm256_loadu_pd(reach + h + 4), open_sum4(cards + h + 4, card_sums, t)));
  }
  for (; h < n; ++h)
    values[h] = total - card_sums[low_card(cards[h])] - card_sums[high_card(cards[h])] + payoff * reach[h];
}

// Payoff * reach of the hands with positive reach into s (s[n] = 0 for list padding); returns the total.
TARGET double stakes_avx2(const double* reach, int n, double payoff, double* s) {
  const __m256d p = _mm256_set1_pd(payoff), zero = _mm256_setzero_pd();
  __m256d sum = zero;
  int h = 0;
  for (; h + 4 <= n; h += 4) {
    __m256d r = _mm256_loadu_pd(reach + h);
    __m256d t = _mm256_and_pd(_mm256_mul_pd(p, r), _mm256_cmp_pd(r, zero, _CMP_GT_OQ));
    _mm256_storeu_pd(s + h, t);
    sum = _mm256_add_pd(sum, t);
  }
  double partial[4];
  _mm256_storeu_pd(partial, sum);
  for (int j = 0; h < n; ++h, ++j) partial[j] += s[h] = stake_of(payoff, reach[h]);
  s[n] = 0.0;
  return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// Lane masks of the class-start bits.
struct LaneMasks {
  alignas(32) std::uint64_t bits[16][4] = {};
  constexpr LaneMasks() {
    for (int m = 0; m < 16; ++m)
      for (int j = 0; j < 4; ++j) bits[m][j] = (m >> j) & 1 ? ~std::uint64_t(0) : 0;
  }
};
constexpr LaneMasks kLaneMasks;

TARGET inline __m256d lane_mask(std::uint8_t starts) {
  return _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneMasks.bits[starts])));
}

// The showdown over the per-card lists. With s(o) = payoff * reach(o), a hand h of class k gets
//   below(k) - above(k) + sum over its two cards c of (above_c(h) - below_c(h)),
// below/above being the stakes of all hands of lower/higher classes and below_c/above_c those
// of the hands of lower/higher classes in card c's list: the incompatible hands come out once
// per shared card, and h itself (its own class) never counts. Four lists are swept per vector:
// forward for below_c, backward for above_c, each run of equal strength reading the sum at its
// edge. The per-card loops carry no dependence through memory, unlike the running card sums.
// With `fold` given, also the fold values for fold_payoff: the forward sweeps end on the
// per-card sums. False (nothing written) when the showdown is below its threshold. The board
// must have its lanes (has_lanes), which bound every stack array below.
TARGET bool showdown_lanes_avx2(const double* reach, const BoardHands& board, double payoff, double* values,
                                double fold_payoff = 0.0, double* fold = nullptr) {
  const CardLanes& lanes = *board.lanes;
  const int n = board.size(), groups = lanes.groups, width = 4 * groups, length = lanes.length;
  alignas(32) double s[1326 + 4];
  double total = stakes_avx2(reach, n, payoff, s);
  if (!(std::fabs(total) > kShowdownThreshold)) return false;
  alignas(32) double lane_totals[4 * kMaxLaneGroups];
  alignas(32) double stake[kMaxLaneLength * 4 * kMaxLaneGroups];
  alignas(32) double diff[kMaxLaneLength * 4 * kMaxLaneGroups];
  const std::uint16_t* entry_hand = lanes.entry_hand.data();
  const std::uint8_t* starts = lanes.class_starts.data();
  const __m256d zero = _mm256_setzero_pd();
  for (int g = 0; g < groups; ++g) {
    __m256d run = zero, below = zero;
    for (int k = 0; k < length; ++k) {
      const std::uint16_t* e = entry_hand + k * width + 4 * g;
      __m256d v = _mm256_set_pd(s[e[3]], s[e[2]], s[e[1]], s[e[0]]);
      below = _mm256_blendv_pd(below, run, lane_mask(starts[k * groups + g]));
      _mm256_store_pd(stake + k * width + 4 * g, v);
      _mm256_store_pd(diff + k * width + 4 * g, below);
      run = _mm256_add_pd(run, v);
    }
    _mm256_store_pd(lane_totals + 4 * g, run);
    run = zero;
    __m256d above = zero;
    for (int k = length - 1; k >= 0; --k) {
      above = _mm256_blendv_pd(above, run, lane_mask(starts[(k + 1) * groups + g]));
      double* d = diff + k * width + 4 * g;
      _mm256_store_pd(d, _mm256_sub_pd(above, _mm256_load_pd(d)));
      run = _mm256_add_pd(run, _mm256_load_pd(stake + k * width + 4 * g));
    }
  }
  const std::uint16_t* entries = lanes.hand_entries.data();
  double lower = 0.0;
  int begin = 0;
  for (std::uint16_t size : board.classes) {
    int end = std::min(n, begin + int(size));
    double mass = 0.0;
    for (int h = begin; h < end; ++h) mass += s[h];
    double term = lower - (total - lower - mass);
    for (int h = begin; h < end; ++h) values[h] = term + diff[entries[2 * h]] + diff[entries[2 * h + 1]];
    lower += mass;
    begin = end;
  }
  std::fill(values + begin, values + n, 0.0);
  if (fold) {
    // fold(h) = fold_payoff * (compatible reach) = ratio * (total - C[c1] - C[c2] + s(h)).
    double card_sums[kCardSums] = {};
    for (int lane = 0; lane < width; ++lane) card_sums[lanes.lane_cards[std::size_t(lane)]] += lane_totals[lane];
    const double ratio = fold_payoff / payoff;
    const __m256d t = _mm256_set1_pd(total), r = _mm256_set1_pd(ratio);
    const std::uint16_t* cards = board.cards.data();
    int h = 0;
    for (; h + 4 <= n; h += 4)
      _mm256_storeu_pd(fold + h, _mm256_mul_pd(r, _mm256_add_pd(_mm256_loadu_pd(s + h), open_sum4(cards + h, card_sums, t))));
    for (; h < n; ++h) fold[h] = ratio * (total - card_sums[low_card(cards[h])] - card_sums[high_card(cards[h])] + s[h]);
  }
  return true;
}

TARGET void showdown_values_avx2(const double* reach, const BoardHands& board, double payoff, double* values) {
  // Boards without lanes (hand lists the card tree never makes) take the plain sweep.
  if (!board.has_lanes()) return plain_kernels().showdown_values(reach, board, payoff, values);
  // False only below the showdown threshold.
  if (!showdown_lanes_avx2(reach, board, payoff, values)) std::fill(values, values + board.size(), 0.0);
}

TARGET void showdown_and_fold_values_avx2(const double* reach, const BoardHands& board, double showdown_payoff,
                                          double fold_payoff, double* showdown, double* fold) {
  if (board.has_lanes() && showdown_payoff != 0.0 &&
      showdown_lanes_avx2(reach, board, showdown_payoff, showdown, fold_payoff, fold))
    return;
  showdown_values_avx2(reach, board, showdown_payoff, showdown);
  fold_values_avx2(reach, board, fold_payoff, fold);
}

void fold_values_grouped_avx2(const double* group_reach, const BoardHands& board, double payoff,
                              double* group_values) {
  grouped_from_per_hand(fold_values_avx2, group_reach, board, payoff, group_values);
}

void showdown_values_grouped_avx2(const double* group_reach, const BoardHands& board, double payoff,
                                  double* group_values) {
  grouped_from_per_hand(showdown_values_avx2, group_reach, board, payoff, group_values);
}

TARGET void multiply_avx2(double* out, const double* a, const double* b, int n) { VectorLoops::multiply(out, a, b, n); }
TARGET void multiply_add_avx2(double* out, const double* a, const double* b, int n) {
  VectorLoops::multiply_add(out, a, b, n);
}
TARGET void add_avx2(double* out, const double* a, int n) { VectorLoops::add(out, a, n); }
TARGET void maximum_avx2(double* out, const double* a, int n) { VectorLoops::maximum(out, a, n); }
TARGET void scale_avx2(double* out, double factor, int n) { VectorLoops::scale(out, factor, n); }
TARGET bool all_zero_avx2(const double* v, int n) { return VectorLoops::all_zero(v, n); }
TARGET void gather_avx2(double* out, const double* in, const std::int16_t* index, int n) {
  VectorLoops::gather(out, in, index, n);
}
TARGET void scatter_add_avx2(double* out, const double* in, const std::int16_t* index, int n) {
  VectorLoops::scatter_add(out, in, index, n);
}

// PairSums' list and lane sums with vectors, in the plain path's order of additions: the list
// sum four hands per step (its carry a scalar chain beside the vectors), the lane sums four
// lanes per step.
TARGET void list_sums_avx2(int m, PairSums& sums) {
  const __m256d zero = _mm256_setzero_pd();
  const double half = 0.5 * sums.total;
  const __m256d halves = _mm256_set1_pd(half);
  sums.W[0] = -half;
  double carry = 0.0;
  for (int k = 0; k < m; k += 4) {
    __m256d x = _mm256_loadu_pd(sums.R + k);
    __m256d y = _mm256_add_pd(x, _mm256_blend_pd(_mm256_permute4x64_pd(x, 0x90), zero, 1));
    __m256d z = _mm256_add_pd(y, _mm256_permute2f128_pd(y, y, 0x08));
    _mm256_storeu_pd(sums.W + k + 1, _mm256_sub_pd(_mm256_add_pd(z, _mm256_set1_pd(carry)), halves));
    carry = _mm256_cvtsd_f64(_mm256_permute4x64_pd(z, 0xFF)) + carry;
  }
}

TARGET void list_total_avx2(int m, PairSums& sums) {
  __m256d a = _mm256_setzero_pd(), b = a;
  for (int k = 0; k < m; k += 8) {
    a = _mm256_add_pd(a, _mm256_loadu_pd(sums.R + k));
    b = _mm256_add_pd(b, _mm256_loadu_pd(sums.R + k + 4));
  }
  __m256d s = _mm256_add_pd(a, b);
  __m128d t = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  sums.total = _mm_cvtsd_f64(t) + _mm_cvtsd_f64(_mm_unpackhi_pd(t, t));
}

template <bool keep>
TARGET void lane_sums_avx2(const PairPositions& p, PairSums& sums) {
  std::fill(sums.C, sums.C + kCardSums, 0.0);
  const double* R = sums.R;
  for (std::size_t i = 0; i < p.groups.size(); ++i) {
    // Locals: the stores into the sums would otherwise make the compiler reload them.
    const int length = p.groups[i].length;
    const std::uint16_t* e = p.entry_hand.data() + p.groups[i].offset;
    double* d = sums.D + p.groups[i].offset;
    __m256d run = _mm256_setzero_pd();
    for (int r = 0; r < length; ++r, e += 4) {
      if (keep) _mm256_storeu_pd(d + 4 * r, run);
      run = _mm256_add_pd(run, _mm256_set_pd(R[e[3]], R[e[2]], R[e[1]], R[e[0]]));
    }
    alignas(32) double last[4];
    _mm256_store_pd(last, run);
    for (int j = 0; j < 4; ++j) sums.C[p.lane_cards[4 * i + std::size_t(j)]] += last[j];
    if (!keep) continue;
    _mm256_storeu_pd(d + 4 * length, run);
    const __m256d half = _mm256_mul_pd(_mm256_set1_pd(0.5), run);
    for (int r = 0; r <= length; ++r) _mm256_storeu_pd(d + 4 * r, _mm256_sub_pd(_mm256_loadu_pd(d + 4 * r), half));
  }
}

struct VectorSteps {
  TARGET static void list_total(PairSums& s, int m) { list_total_avx2(m, s); }
  TARGET static void lane_sums(PairSums& s, const PairPositions& p, bool keep) {
    if (keep)
      lane_sums_avx2<true>(p, s);
    else
      lane_sums_avx2<false>(p, s);
  }
  TARGET static void list_sums(PairSums& s, int m) { list_sums_avx2(m, s); }
};

// The plain kernels with the sums above; the per-hand formulas read scattered positions, which
// scalar loads serve faster than gathers on the processors measured.
TARGET void pair_payoffs_avx2(const double* reach, const PairPositions& p, double showdown_payoff, double* showdown,
                              double fold_payoff, double* fold) {
  pair_payoffs_with<VectorSteps>(reach, p, showdown_payoff, showdown, fold_payoff, fold);
}

TARGET void pair_payoffs_summed_avx2(const double* reach, const double* fold_share, const double* showdown_share,
                                     const PairPositions& p, double showdown_payoff, double fold_payoff,
                                     double* values) {
  pair_payoffs_summed_with<VectorSteps>(reach, fold_share, showdown_share, p, showdown_payoff, fold_payoff, values);
}

}  // namespace

const KernelSet& avx2_kernel_set() {
  static const KernelSet set = {
      "avx2",
      current_strategy_avx2<float>,
      current_strategy_avx2<std::uint16_t>,
      average_strategy_avx2,
      update_regrets_f32_avx2,
      update_regrets_u16_avx2,
      update_regrets_f32_with<true>,
      update_regrets_u16_with<true>,
      current_strategy_avx2<std::int16_t>,
      update_regrets_f32_signed_avx2,
      update_regrets_s16_avx2,
      accumulate_average_avx2,
      fold_values_avx2,
      showdown_values_avx2,
      showdown_and_fold_values_avx2,
      fold_values_grouped_avx2,
      showdown_values_grouped_avx2,
      multiply_avx2,
      multiply_add_avx2,
      add_avx2,
      maximum_avx2,
      scale_avx2,
      all_zero_avx2,
      gather_avx2,
      scatter_add_avx2,
      pair_payoffs_avx2,
      pair_payoffs_summed_avx2,
  };
  return set;
}

}  // namespace kernels
