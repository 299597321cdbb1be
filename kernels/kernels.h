#pragma once
// Per-hand arithmetic of the solver: regret matching, regret and average updates, and the fold
// and showdown payoffs of a whole hand vector. Every kernel exists twice, a plain path and an
// AVX2/FMA path; the one to use is chosen once, on first use, from the processor's features.
// The two paths agree up to rounding: the vector path uses refined reciprocal-square-root
// estimates, divides regret shares in float, fuses multiply-adds, and sums showdowns in the
// order of its per-card lists.
//
// Row sets: a store or strategy with A actions and n hands keeps action a's row of n values at
// base + a * stride.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kernels {

constexpr double kRegretExponent = 0.75;
constexpr double kSignedRegretExponent = 0.625;  // the increments of regrets that keep their negative part
constexpr double kFirstActionShare = 0.9;
constexpr float kStrategyThreshold = 0x1p-126f;  // smallest normal float
constexpr double kFoldThreshold = 0x1p-1022;     // smallest normal double
constexpr double kShowdownThreshold = 0x1p-126;
constexpr int kMaxRegret16 = 65535;

// Per-card hand lists of a board, laid out for the vector showdown: for every card held by a
// listed hand, the hands holding it in ascending strength. The lists sit side by side, one per
// lane, so that a sweep takes four cards' lists at once; each hand appears in two lists.
struct CardLanes {
  int groups = 0;  // lane groups of four cards
  int length = 0;  // entries per list; shorter lists are padded with a hand of zero reach
  // [entry k * 4 * groups + lane]: the hand's position in the hand list; padding entries hold
  // the hand count (a position past the list, whose stake is 0).
  std::vector<std::uint16_t> entry_hand;
  // [entry k * groups + group]: bit j set when lane j's entry k starts a run of equal strength in
  // its list (padding always does). Row `length` is all set.
  std::vector<std::uint8_t> class_starts;
  // [hand * 2 + 0 / 1]: the hand's entry in its lower card's list and in its higher card's list.
  std::vector<std::uint16_t> hand_entries;
  // [lane]: the card of the lane's list (padding lanes: the first card).
  std::vector<std::uint8_t> lane_cards;
};

constexpr int kMaxLaneGroups = 13;    // 52 cards
constexpr int kMaxLaneLength = 51;    // a card meets at most 51 others
constexpr int kMaxLaneHands = 1326;   // every two-card hand once

// The lanes of a hand list (cards and strength runs as in BoardHands). A list that repeats a
// hand gets none (groups 0); the showdown then runs the per-card sums.
CardLanes make_card_lanes(std::span<const std::uint16_t> cards, std::span<const std::uint16_t> classes);

// The hands of one board as the kernels need them.
struct BoardHands {
  // Per listed hand, ascending strength: lower card code in the low byte, higher in the high byte.
  std::span<const std::uint16_t> cards;
  // Sizes of the consecutive runs of equal strength (the showdown classes), ascending.
  std::span<const std::uint16_t> classes;
  // Sizes of the consecutive suit-isomorphism groups on a grouped river board, else empty.
  std::span<const std::uint16_t> groups;
  // The per-card lists of the same hands, when the board has them; the vector showdown sweeps
  // them instead of the per-card running sums.
  const CardLanes* lanes = nullptr;

  int size() const { return int(cards.size()); }
  // Lanes made for this very list.
  bool has_lanes() const {
    return lanes != nullptr && lanes->groups > 0 && lanes->hand_entries.size() == 2 * cards.size();
  }
};

// One player's list against the other's on one board, for payoffs that never leave the two
// lists: the opponent's positive reach is summed in ascending strength, once over its whole list
// (W, total T) and once per card over the hands holding that card (P_c, total C_c); each own
// hand then reads its compatible weaker and stronger reach at fixed positions of those sums:
//   weaker   = W[weaker] - P_lo[low_weaker] - P_hi[high_weaker]
//   stronger = (T - W[not_stronger]) - (C_lo - P_lo[low_not_stronger]) - (C_hi - P_hi[high_not_stronger])
// The same hand ties with itself and so drops out of both; the fold subtracts both of its cards'
// totals and adds it back once. The per-card lists lie side by side, one per lane, four lanes to
// a group, so that one sweep builds four cards' sums; every card of either list has a lane.
// Cards go into groups by list length, and each group is as long as its longest list, so that
// little padding is summed.
struct PairPositions {
  struct Group {
    int offset = 0;  // first entry of the group's rows; row k of lane j at offset + 4 * k + j
    int length = 0;  // hands per lane; rows 0..length (row k: the sum of the first k hands)
  };
  int own_size = 0, opp_size = 0;
  std::vector<Group> groups;
  int rows = 0;  // entries of all groups' rows
  // [offset + 4 * k + j]: opponent position of lane j's k-th hand; padding holds opp_size.
  std::vector<std::uint16_t> entry_hand;
  std::vector<std::uint8_t> lane_cards;  // [4 * group + j]: the lane's card (padding lanes: a used card)
  // Per own hand: positions in W (0..opp_size), and in the lane sums (as entry_hand).
  std::vector<std::int16_t> weaker, not_stronger;
  std::vector<std::int16_t> low_weaker, low_not_stronger, high_weaker, high_not_stronger;
  std::vector<std::uint8_t> low, high;  // the hand's cards
  std::vector<std::int16_t> same;       // opponent position of the same hand, else opp_size
};

// Positions of `own` against `opp`, each given by its hands' cards (lower card in the low byte)
// and strengths, both in ascending strength.
PairPositions make_pair_positions(std::span<const std::uint16_t> own_cards, std::span<const std::uint32_t> own_strengths,
                                  std::span<const std::uint16_t> opp_cards, std::span<const std::uint32_t> opp_strengths);

// Two players' hand lists on one board for the terminal payoffs: values for one player's list
// ("own") against the reach of the other's ("opp"). With `positions` the payoffs run on the two
// lists themselves; without, both lists are subsequences of one common list `all` (ascending
// strength), on which the sweeps run, and a list as long as `all` is `all` itself.
struct HandPair {
  BoardHands all;
  std::span<const std::int16_t> own;  // positions in `all` of the own list
  std::span<const std::int16_t> opp;  // positions in `all` of the opponent's list
  int own_size = 0, opp_size = 0;
  const PairPositions* positions = nullptr;
};

enum class Fallback { training, uniform };

// The weights a hand without positive regret plays: training puts max(0.9, 1/n) on the first
// action and shares the rest evenly; uniform plays 1/n each; one action always gets 1.
void fallback_vector(Fallback kind, int actions, double* out);

// One implementation of every kernel. Arguments as documented at the dispatching wrappers below.
struct KernelSet {
  const char* name;
  void (*current_strategy_f32)(const float* regrets, std::size_t stride, int actions, int n,
                               const double* fallback, double* sigma, std::size_t sigma_stride);
  void (*current_strategy_u16)(const std::uint16_t* regrets, std::size_t stride, int actions, int n,
                               const double* fallback, double* sigma, std::size_t sigma_stride);
  void (*average_strategy)(const float* sums, std::size_t stride, int actions, int n, double* sigma,
                           std::size_t sigma_stride);
  void (*update_regrets_f32)(float* regrets, std::size_t stride, int actions, int n,
                             const double* node_value, const double* const* action_values);
  void (*update_regrets_u16)(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                             const double* node_value, const double* const* action_values,
                             std::span<const std::uint16_t> class_table, double stake_scale);
  // The same with the kept regrets multiplied by `discount` first, in the same pass.
  void (*update_regrets_f32_discounted)(float* regrets, std::size_t stride, int actions, int n,
                                        const double* node_value, const double* const* action_values,
                                        double discount);
  void (*update_regrets_u16_discounted)(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                                        const double* node_value, const double* const* action_values,
                                        std::span<const std::uint16_t> class_table, double stake_scale,
                                        double discount);
  // Schedules that keep negative regrets: floats as they are, 16-bit rows signed.
  void (*current_strategy_s16)(const std::int16_t* regrets, std::size_t stride, int actions, int n,
                               const double* fallback, double* sigma, std::size_t sigma_stride);
  void (*update_regrets_f32_signed)(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                                    const double* const* action_values, double discount, double negative_discount,
                                    double negative_step);
  void (*update_regrets_s16)(std::int16_t* regrets, std::size_t stride, int actions, int n, const double* node_value,
                             const double* const* action_values, std::span<const std::uint16_t> class_table,
                             double stake_scale, double discount, double negative_discount, double negative_step);
  void (*accumulate_average)(float* sums, std::size_t stride, int actions, int n, const double* sigma,
                             std::size_t sigma_stride, const double* reach, double weight);
  void (*fold_values)(const double* reach, const BoardHands& board, double payoff, double* values);
  void (*showdown_values)(const double* reach, const BoardHands& board, double payoff, double* values);
  void (*showdown_and_fold_values)(const double* reach, const BoardHands& board, double showdown_payoff,
                                   double fold_payoff, double* showdown, double* fold);
  void (*fold_values_grouped)(const double* group_reach, const BoardHands& board, double payoff,
                              double* group_values);
  void (*showdown_values_grouped)(const double* group_reach, const BoardHands& board, double payoff,
                                  double* group_values);
  // Hand-vector arithmetic of the traversal.
  void (*multiply)(double* out, const double* a, const double* b, int n);
  void (*multiply_add)(double* out, const double* a, const double* b, int n);
  void (*add)(double* out, const double* a, int n);
  void (*maximum)(double* out, const double* a, int n);
  void (*scale)(double* out, double factor, int n);
  bool (*all_zero)(const double* v, int n);
  void (*gather)(double* out, const double* in, const std::int16_t* index, int n);
  void (*scatter_add)(double* out, const double* in, const std::int16_t* index, int n);
  // Two-list payoffs on PairPositions; either output may be null.
  void (*pair_payoffs)(const double* opp_reach, const PairPositions& pair, double showdown_payoff, double* showdown,
                       double fold_payoff, double* fold);
  // values = fold payoff against opp_reach * fold_share + showdown payoff against
  // opp_reach * showdown_share.
  void (*pair_payoffs_summed)(const double* opp_reach, const double* fold_share, const double* showdown_share,
                              const PairPositions& pair, double showdown_payoff, double fold_payoff, double* values);
};

const KernelSet& plain_kernels();
// nullptr when the processor lacks AVX2 or FMA.
const KernelSet* avx2_kernels();
// The vector set when the processor has it, else the plain set; decided on the first call.
const KernelSet& active_kernels();
// Makes `set` the active set from now on (nullptr: back to the processor's choice). For tests
// and benchmarks that run the plain path on a processor with the vector one.
void select_kernels(const KernelSet* set);

constexpr int kMinSignedRegret16 = -32768, kMaxSignedRegret16 = 32767;

// Regret matching on the positive parts R+: sigma(a,h) = R+_a(h) / sum_b R+_b(h) when that float
// sum is at least 2^-126, else fallback[a].
inline void current_strategy(const float* regrets, std::size_t stride, int actions, int n,
                             const double* fallback, double* sigma, std::size_t sigma_stride) {
  active_kernels().current_strategy_f32(regrets, stride, actions, n, fallback, sigma, sigma_stride);
}
inline void current_strategy(const std::uint16_t* regrets, std::size_t stride, int actions, int n,
                             const double* fallback, double* sigma, std::size_t sigma_stride) {
  active_kernels().current_strategy_u16(regrets, stride, actions, n, fallback, sigma, sigma_stride);
}
inline void current_strategy(const std::int16_t* regrets, std::size_t stride, int actions, int n,
                             const double* fallback, double* sigma, std::size_t sigma_stride) {
  active_kernels().current_strategy_s16(regrets, stride, actions, n, fallback, sigma, sigma_stride);
}

// Average strategy: sigma holds the current strategy (uniform fallback) on entry; every hand
// whose average sums reach 2^-126 gets S_a(h) / sum_b S_b(h) instead.
inline void average_strategy(const float* sums, std::size_t stride, int actions, int n, double* sigma,
                             std::size_t sigma_stride) {
  active_kernels().average_strategy(sums, stride, actions, n, sigma, sigma_stride);
}

// Float regrets: d = float(v_a - v); R <- max(0, c R + sign(d) |d|^0.75), |d| < 2^-126 adds 0,
// with c = float(discount) (a schedule's discount of the kept regrets; 1: R as it is).
inline void update_regrets(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                           const double* const* action_values, double discount = 1) {
  if (discount == 1)
    active_kernels().update_regrets_f32(regrets, stride, actions, n, node_value, action_values);
  else
    active_kernels().update_regrets_f32_discounted(regrets, stride, actions, n, node_value, action_values, discount);
}
// 16-bit river regrets in units of s^-0.75: the kept regret is first discounted to the nearest
// unit, round(c R); then d >= 1/s adds trunc(s^0.75 d^0.75), d <= -1/s subtracts
// trunc(s^0.75 |d|^0.75), the result clamped to 0..65535. With a class table (the showdown class
// sizes) every class's regrets then become the class's truncated mean.
inline void update_regrets(std::uint16_t* regrets, std::size_t stride, int actions, int n,
                           const double* node_value, const double* const* action_values,
                           std::span<const std::uint16_t> class_table, double stake_scale, double discount = 1) {
  if (discount == 1)
    active_kernels().update_regrets_u16(regrets, stride, actions, n, node_value, action_values, class_table,
                                        stake_scale);
  else
    active_kernels().update_regrets_u16_discounted(regrets, stride, actions, n, node_value, action_values,
                                                   class_table, stake_scale, discount);
}

// Regrets that keep their negative part: R <- c R + u(d) when R > 0, else c_neg R + u(d), with
// u(d) = |d|^0.625 for d >= 0 and -m |d|^0.625 below (c, c_neg, m as floats), no clip at zero.
inline void update_signed_regrets(float* regrets, std::size_t stride, int actions, int n, const double* node_value,
                                  const double* const* action_values, double discount, double negative_discount,
                                  double negative_step) {
  active_kernels().update_regrets_f32_signed(regrets, stride, actions, n, node_value, action_values, discount,
                                             negative_discount, negative_step);
}
// The same on signed 16-bit regrets in units of s^-0.625: c R (or c_neg R) plus
// sign(d) trunc(min(s^0.625 |d|^0.625, 65535)) (m times that product when d < 0) when |d| >= 1/s,
// rounded to the nearest unit (ties to even; the vector path fuses the multiply-add) and clamped
// to -32768..32767; class means truncate toward zero.
inline void update_signed_regrets(std::int16_t* regrets, std::size_t stride, int actions, int n,
                                  const double* node_value, const double* const* action_values,
                                  std::span<const std::uint16_t> class_table, double stake_scale, double discount,
                                  double negative_discount, double negative_step) {
  active_kernels().update_regrets_s16(regrets, stride, actions, n, node_value, action_values, class_table, stake_scale,
                                      discount, negative_discount, negative_step);
}

// S_a(h) += float(w * sigma(a,h) * reach(h)); nothing when w <= 0.
inline void accumulate_average(float* sums, std::size_t stride, int actions, int n, const double* sigma,
                               std::size_t sigma_stride, const double* reach, double weight) {
  active_kernels().accumulate_average(sums, stride, actions, n, sigma, sigma_stride, reach, weight);
}

// values(h) = payoff * (reach of the opponent hands that share no card with h).
inline void fold_values(const double* reach, const BoardHands& board, double payoff, double* values) {
  active_kernels().fold_values(reach, board, payoff, values);
}
// values(h) = payoff * (compatible weaker reach - compatible stronger reach); ties count 0.
inline void showdown_values(const double* reach, const BoardHands& board, double payoff, double* values) {
  active_kernels().showdown_values(reach, board, payoff, values);
}

// Both payoffs against one reach, as showdown_values and fold_values give them (up to
// rounding); the vector showdown has the fold's card sums at hand.
inline void showdown_and_fold_values(const double* reach, const BoardHands& board, double showdown_payoff,
                                     double fold_payoff, double* showdown, double* fold) {
  active_kernels().showdown_and_fold_values(reach, board, showdown_payoff, fold_payoff, showdown, fold);
}

// Grouped river boards: reach and values per isomorphism group. The group's reach is spread
// evenly over its hands; the group's value is the value of its first hand.
inline void fold_values_grouped(const double* group_reach, const BoardHands& board, double payoff,
                                double* group_values) {
  active_kernels().fold_values_grouped(group_reach, board, payoff, group_values);
}
inline void showdown_values_grouped(const double* group_reach, const BoardHands& board, double payoff,
                                    double* group_values) {
  active_kernels().showdown_values_grouped(group_reach, board, payoff, group_values);
}

// Hand vectors: out = a * b; out += a * b; out += a; out = max(out, a); out *= factor; whether
// every entry is 0; out[i] = in[index[i]]; out[index[i]] += in[i]. The vectors must not overlap.
inline void multiply(double* out, const double* a, const double* b, int n) { active_kernels().multiply(out, a, b, n); }
inline void multiply_add(double* out, const double* a, const double* b, int n) {
  active_kernels().multiply_add(out, a, b, n);
}
inline void add(double* out, const double* a, int n) { active_kernels().add(out, a, n); }
inline void maximum(double* out, const double* a, int n) { active_kernels().maximum(out, a, n); }
inline void scale(double* out, double factor, int n) { active_kernels().scale(out, factor, n); }
inline bool all_zero(const double* v, int n) { return active_kernels().all_zero(v, n); }
inline void gather(double* out, const double* in, const std::int16_t* index, int n) {
  active_kernels().gather(out, in, index, n);
}
inline void scatter_add(double* out, const double* in, const std::int16_t* index, int n) {
  active_kernels().scatter_add(out, in, index, n);
}

// Two-list payoffs: as fold_values / showdown_values / showdown_and_fold_values for the own
// hands against the opponent's reach, each opponent hand that shares a card with the own hand
// (the same hand included) left out. Run with the given kernel set's sweeps.
void fold_values(const KernelSet& set, const double* opp_reach, const HandPair& hands, double payoff, double* values);
void showdown_values(const KernelSet& set, const double* opp_reach, const HandPair& hands, double payoff,
                     double* values);
void showdown_and_fold_values(const KernelSet& set, const double* opp_reach, const HandPair& hands,
                              double showdown_payoff, double fold_payoff, double* showdown, double* fold);
inline void fold_values(const double* opp_reach, const HandPair& hands, double payoff, double* values) {
  fold_values(active_kernels(), opp_reach, hands, payoff, values);
}
inline void showdown_values(const double* opp_reach, const HandPair& hands, double payoff, double* values) {
  showdown_values(active_kernels(), opp_reach, hands, payoff, values);
}
inline void showdown_and_fold_values(const double* opp_reach, const HandPair& hands, double showdown_payoff,
                                     double fold_payoff, double* showdown, double* fold) {
  showdown_and_fold_values(active_kernels(), opp_reach, hands, showdown_payoff, fold_payoff, showdown, fold);
}

// An opponent's fold and call that both end the hand: the sum of the two children's values,
// fold_values against opp_reach * fold_share plus showdown_values against
// opp_reach * showdown_share (up to rounding), in one sweep on the two lists.
void fold_plus_showdown_values(const KernelSet& set, const double* opp_reach, const double* fold_share,
                               const double* showdown_share, const HandPair& hands, double showdown_payoff,
                               double fold_payoff, double* values);
inline void fold_plus_showdown_values(const double* opp_reach, const double* fold_share, const double* showdown_share,
                                      const HandPair& hands, double showdown_payoff, double fold_payoff,
                                      double* values) {
  fold_plus_showdown_values(active_kernels(), opp_reach, fold_share, showdown_share, hands, showdown_payoff,
                            fold_payoff, values);
}

// Per-hand reach from per-group reach: each hand gets its group's reach / group size.
void spread_group_reach(const double* group_reach, const BoardHands& board, double* reach);

}  // namespace kernels
