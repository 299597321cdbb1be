// One pass over the game tree with per-hand vectors (training, evaluation or query).
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "kernels/kernels.h"
#include "solver/scratch_stack.h"
#include "solver/solver.h"
#include "solver/solver_control.h"
#include "solver/traversal_jobs.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

namespace {

using traversal::DealSums;
using traversal::Job;
using traversal::parallel_for;
using traversal::Workspace;
using traversal::workspace;

constexpr double kTurnNormaliser = 1.0 / 45;   // turn cards compatible with both hands
constexpr double kRiverNormaliser = 1.0 / 44;  // river cards compatible with both hands
constexpr int kTabledActions = 64;  // fallback vectors kept ready for nodes up to this many actions

// The training and uniform fallback vectors of every action count up to kTabledActions.
struct FallbackTable {
  double training[kTabledActions + 1][kTabledActions] = {};
  double uniform[kTabledActions + 1][kTabledActions] = {};
  FallbackTable() {
    for (int a = 1; a <= kTabledActions; ++a) {
      kernels::fallback_vector(kernels::Fallback::training, a, training[a]);
      kernels::fallback_vector(kernels::Fallback::uniform, a, uniform[a]);
    }
  }
};

const FallbackTable& fallbacks() {
  static const FallbackTable table;
  return table;
}

// The fallback of a node; nodes with more actions than the table get theirs made in the frame.
const double* fallback_for(kernels::Fallback kind, int actions, ScratchStack::Frame& frame) {
  if (actions <= kTabledActions)
    return kind == kernels::Fallback::training ? fallbacks().training[actions] : fallbacks().uniform[actions];
  double* v = frame.take(std::size_t(actions));
  kernels::fallback_vector(kind, actions, v);
  return v;
}
// 16-bit river regrets count units of (stake scale * this)^-0.75 chips. Hand values are chips
// weighted by the opponent's reach, so near an equilibrium the regret differences are a small
// fraction of the largest stake; the finer unit keeps them from truncating to nothing.
constexpr double kRiverRegretResolution = 64.0;

using kernels::all_zero;

void prepare_weights(GameTree& tree) {
  if (tree.start_weights_ready) return;
  const CardNode& start = tree.start_card_node();
  // The weights are taken as probabilities (each range scaled to sum 1), so that hand values are
  // in chips: the 16-bit river regrets count chips in units set by the stake scale.
  for (int p = 0; p < 2; ++p) {
    const HandList& list = start.hands(p);
    std::vector<double>& w = tree.start_weights[std::size_t(p)];
    w.resize(std::size_t(list.size()));
    double sum = 0;
    for (int i = 0; i < list.size(); ++i) sum += w[std::size_t(i)] = tree.ranges[std::size_t(p)][list.ids[std::size_t(i)]];
    if (sum > 0)
      for (double& x : w) x /= sum;
  }
  // Z: the weight products summed over every pair of hands that share no card.
  int n = start.hand_count(0);
  std::vector<double> compatible(static_cast<std::size_t>(n));
  kernels::fold_values(tree.start_weights[1].data(), start.hand_pair(0), 1.0, compatible.data());
  double z = 0;
  for (int i = 0; i < n; ++i) z += tree.start_weights[0][std::size_t(i)] * compatible[std::size_t(i)];
  for (int p = 0; p < 2; ++p) {
    tree.normalised_weights[p] = tree.start_weights[p];
    for (double& w : tree.normalised_weights[p]) w = z > 0 ? w / z : 0;
  }
  tree.start_weights_ready = true;
}

// Grown by every command that takes the solver mutex: any of them may write regrets.
std::atomic<std::uint64_t>& command_epoch() {
  static std::atomic<std::uint64_t> epoch{0};
  return epoch;
}

// Whether node i's kept rows were matched from the player's present regrets (epoch aside).
bool rows_current(const CurrentStrategies& kept, std::size_t i, int player) {
  return i < kept.versions.size() && kept.versions[i] == kept.regret_versions[std::size_t(player)];
}

// One traverser's walk over the whole tree (or the subgames below deals): for every node and
// board, the reach-weighted values of the traverser's hands, updating regrets and averages in
// training and gathering best responses in evaluation. Deals split into parallel jobs; the
// weights of this iteration (schedule, averaging) are fixed when the pass is made.
class Pass {
 public:
  Pass(GameTree& tree, SolverState& state, int traverser, PassMode mode)
      : tree_(tree), state_(state), traverser_(traverser), opponent_(1 - traverser), mode_(mode), t_(state.iterations) {
    const SolverParameters& p = state.params;
    averaging_ = state.average_mode == 2 || (state.average_mode == 1 && t_ > p.averaging_delay);
    if (state.average_mode == 2)
      average_weight_ = 1;
    else if (state.average_mode == 1 && t_ > p.averaging_delay)
      average_weight_ = std::min(p.averaging_cap, std::pow(double(t_ - p.averaging_delay), p.averaging_exponent));
    if (!state.schedule.standard() && state.average_mode == 1) {
      // A schedule weighs regrets and averages by its own iteration count.
      IterationWeights w = schedule_weights(state.schedule, state.schedule_iteration(t_));
      averaging_ = mode == PassMode::training || state.averages_in_force(t_);
      average_weight_ = w.average_weight;
      regret_rule_.discount = w.regret_discount;
      regret_rule_.keep_negative = state.schedule.keeps_negative();
      regret_rule_.negative_discount = w.negative_discount;
      regret_rule_.negative_step = w.negative_step;
      average_restart_ = w.average_restart;
      // A schedule that keeps negative regrets lets hands without positive regret play evenly.
      if (state.schedule.keeps_negative()) training_fallback_ = kernels::Fallback::uniform;
    }
    reach_weight_ = std::pow(double(t_ + 1), p.averaging_exponent);
    river_table_limit_ = tree.storage_forms[0] >= 2 ? 30 : 0;
    split_street_ = tree.start_street + 1;
  }
  Pass(const Pass&) = delete;
  Pass& operator=(const Pass&) = delete;
  // The traverser's regrets may have changed: rows matched from them before are stale.
  ~Pass() {
    if (mode_ == PassMode::training) ++state_.current_strategies.regret_versions[std::size_t(traverser_)];
  }

  // Training below deals only (nothing above them is updated). The split deals' jobs all go
  // into one parallel loop (phase 2 only gathers their sums at the deals). A river deal inside a
  // turn subgame (train_below_deal) is solved board after board. `reaches` are the opponent's,
  // over the list of the board before each deal.
  void train_below_deals(const std::vector<SubgameRoot>& roots, const std::vector<std::vector<double>>& reaches) {
    with_best_ = false;
    std::vector<std::vector<double>> values(roots.size());
    for (std::size_t i = 0; i < roots.size(); ++i)
      values[i].resize(std::size_t(tree_.card_node_at(roots[i].turn, -1).hand_count(traverser_)));
    workspace().clear();
    for (int phase : {0, 2}) {
      phase_ = phase;
      for (std::size_t i = 0; i < roots.size(); ++i)
        walk(roots[i].node, roots[i].turn, -1, reaches[i].data(), values[i].data(), nullptr);
      if (phase == 0) {
        phase_ = 1;
        run_jobs();
        cursor_ = 0;
      }
    }
  }

  void train_below_deal(int index, int turn, const double* reach) {
    std::vector<double> values(std::size_t(tree_.card_node_at(turn, -1).hand_count(traverser_)));
    with_best_ = false;
    phase_ = 1;
    walk(index, turn, -1, reach, values.data(), nullptr);
  }

  // A subgame alone: the subtree of `index` on card node (turn, river), the opponent's reach
  // over that node's list; own_reach weighs the traverser's values into the result. `index`
  // may be a deal (turn or river -1 where it deals).
  PassResult subgame(int index, int turn, int river, const double* reach, const double* own_reach) {
    const CardNode& board = tree_.card_node_at(turn, river);
    int n = board.hand_count(traverser_);
    bool eval = evaluating();
    std::vector<double> values(static_cast<std::size_t>(n)), best(eval ? static_cast<std::size_t>(n) : 0);
    // The deals' stored values belong to whole-tree evaluations: a subgame leaves them alone.
    store_deal_values_ = false;
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    bool river_board = river >= 0 && node.street == 3;
    int deal_street = node.street >= 2 && turn < 0 ? 2 : node.street == 3 && river < 0 ? 3 : 0;
    if (deal_street == split_street_) {
      // A split deal: its jobs, then its sums.
      run_from(index, turn, river, reach, values.data(), eval ? best.data() : nullptr);
    } else {
      with_best_ = eval;
      phase_ = 1;
      if (river_board) bracket_chunks(index, turn, true);
      walk(index, turn, river, reach, values.data(), eval ? best.data() : nullptr);
      if (river_board) bracket_chunks(index, turn, false);
    }
    return weighted(own_reach, values.data(), eval ? best.data() : nullptr, n);
  }

  PassResult run() {
    prepare_weights(tree_);
    if (mode_ == PassMode::training && tree_.start_street == 3) keep_current_strategies();
    const CardNode& start = tree_.start_card_node();
    int n = start.hand_count(traverser_);
    int turn = tree_.start_street >= 2 ? 0 : -1, river = tree_.start_street == 3 ? 0 : -1;
    bool eval = evaluating();
    std::vector<double> values(static_cast<std::size_t>(n));
    std::vector<double> best(eval ? static_cast<std::size_t>(n) : 0);
    run_from(0, turn, river, tree_.normalised_weights[opponent_].data(), values.data(), eval ? best.data() : nullptr);
    PassResult result = weighted(tree_.start_weights[traverser_].data(), values.data(), eval ? best.data() : nullptr, n);
    if (mode_ == PassMode::evaluation) state_.root_values[std::size_t(traverser_)] = values;
    return result;
  }

  // The traverser's values (and best responses) weighted by its own reach, summed in hand
  // order; training passes skip it (their values are never read).
  PassResult weighted(const double* weights, const double* values, const double* best, int n) const {
    if (mode_ == PassMode::training) return {};
    double value = 0, best_response = 0;
    for (int i = 0; i < n; ++i) value += weights[i] * values[i];
    if (best)
      for (int i = 0; i < n; ++i) best_response += weights[i] * best[i];
    PassResult result;
    result.value = value;
    result.best_response = best_response;
    return result;
  }

  // Walks the path down to `target` (card node indexes turn/river where its street needs them)
  // with the evaluation strategies, then evaluates the target's subtree.
  bool query(int target, int turn, int river, NodeQuery& out) {
    prepare_weights(tree_);
    std::vector<int> path;
    for (int i = target; i >= 0; i = tree_.nodes[std::size_t(i)].parent) path.insert(path.begin(), i);
    const ActionNode& goal = tree_.nodes[std::size_t(target)];
    if ((goal.street >= 2 && turn < 0) || (goal.street == 3 && river < 0)) return false;
    int level_turn = tree_.start_street >= 2 ? 0 : -1, level_river = tree_.start_street == 3 ? 0 : -1;
    std::vector<double> reach = tree_.normalised_weights[opponent_];
    std::vector<double> own = tree_.start_weights[traverser_];
    // The river chunks below the path's first river node stay open while the query reads the
    // path's strategies and walks the target's subtree (closed unchanged on every way out).
    struct RiverChunks {
      Pass& pass;
      int root = -1, turn = 0;
      void open(int index, int t) {
        root = index;
        turn = t;
        pass.bracket_chunks(root, turn, true);
      }
      ~RiverChunks() {
        if (root >= 0) pass.bracket_chunks(root, turn, false);
      }
    } river_chunks{*this};
    if (tree_.start_street == 3) river_chunks.open(path.front(), 0);
    for (std::size_t step = 0; step < path.size(); ++step) {
      const ActionNode& node = tree_.nodes[std::size_t(path[step])];
      // Deal the cards the node's street needs: map both vectors down into the card node.
      auto deal_down = [&](int t, int r) {
        const CardNode& child = tree_.card_node_at(t, r);
        auto down = [&](std::vector<double>& v, int player) {
          const std::vector<std::int16_t>& map = child.hands(player).index_maps[0];
          std::vector<double> mapped(map.size());
          for (std::size_t i = 0; i < map.size(); ++i) mapped[i] = v[std::size_t(map[i])];
          v.swap(mapped);
        };
        down(reach, opponent_);
        down(own, traverser_);
      };
      if (node.street >= 2 && level_turn < 0) deal_down(level_turn = turn, -1);
      if (node.street == 3 && level_river < 0) {
        deal_down(level_turn, level_river = river);
        river_chunks.open(path[step], level_turn);
      }
      if (step + 1 == path.size()) break;
      if (!node.is_decision()) return false;
      const CardNode& board = tree_.card_node_at(level_turn, level_river);
      int n = board.hand_count(int(node.player)), chunk = 0, entry = 0;
      value_address(node, {level_turn, level_river}, chunk, entry);
      std::vector<double> sigma(std::size_t(n) * node.children.size());
      strategy(node, chunk, entry, n, sigma.data());
      std::size_t a = std::size_t(std::find(node.children.begin(), node.children.end(), path[step + 1]) - node.children.begin());
      std::vector<double>& scaled = int(node.player) == traverser_ ? own : reach;
      for (int i = 0; i < n; ++i) scaled[std::size_t(i)] *= sigma[a * std::size_t(n) + std::size_t(i)];
    }
    const CardNode& board = tree_.card_node_at(level_turn, level_river);
    out.board = &board;
    out.values.assign(own.size(), 0.0);
    run_from(target, level_turn, level_river, reach.data(), out.values.data(), nullptr);
    out.own_reach = std::move(own);
    out.opponent_reach = std::move(reach);
    return true;
  }

 private:
  // Phase 0 queues the subgames below the first deal, phase 1 solves them in parallel, phase 2
  // walks the top again with their results.
  void run_from(int index, int turn, int river, const double* reach, double* values, double* best) {
    workspace().clear();
    with_best_ = best != nullptr;
    if (turn < 0 || (tree_.start_street == 2 && river < 0)) {
      phase_ = 0;
      walk(index, turn, river, reach, values, best);
      phase_ = 1;
      run_jobs();
      cursor_ = 0;
    }
    phase_ = 2;
    walk(index, turn, river, reach, values, best);
  }

  bool evaluating() const { return mode_ != PassMode::training; }

  void walk(int index, int turn, int river, const double* reach, double* values, double* best) {
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    if (node.street >= 2 && turn < 0) return deal(index, turn, river, reach, values, best);
    if (node.street == 3 && river < 0) return deal(index, turn, river, reach, values, best);
    const CardNode& board = tree_.card_node_at(turn, river);
    int n = board.hand_count(traverser_);
    if (!node.is_decision()) return terminal(node, board, reach, values, best);
    if (all_zero(reach, board.hand_count(opponent_))) {
      // Nothing of the opponent reaches this subtree: every value is 0, and no update changes anything.
      std::fill(values, values + n, 0.0);
      if (best) std::fill(best, best + n, 0.0);
      return;
    }
    int chunk = 0, entry = 0;
    value_address(node, {turn, river}, chunk, entry);
    if (node.street < 3) prefetch_children(node, turn, river);
    if (int(node.player) == traverser_)
      own_decision(node, board, chunk, entry, turn, river, reach, values, best);
    else
      opponent_decision(node, board, chunk, entry, turn, river, reach, values, best);
  }

  // Starts loading the values that the decisions right below this one will read on the same
  // board, so that they arrive while this node works.
  void prefetch_children(const ActionNode& node, int turn, int river) const {
    for (int index : node.children) {
      const ActionNode& child = tree_.nodes[std::size_t(index)];
      if (!child.is_decision() || child.street != node.street) continue;
      int chunk = 0, entry = 0;
      value_address(child, {turn, river}, chunk, entry);
      child.regrets->prefetch(chunk, entry);
      bool own = int(child.player) == traverser_;
      if (averaging_ && child.averages && (evaluating() || !own)) child.averages->prefetch(chunk, entry);
    }
  }

  // The same for every river decision of the subtree below a river deal, on river board
  // `river` of turn `turn`: asked one board ahead, its values load while the board before it
  // is solved.
  void prefetch_river_subtree(int index, int turn, int river) const {
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    if (node.is_decision() && node.street == 3) {
      node.regrets->prefetch(turn, river);
      bool own = int(node.player) == traverser_;
      if (averaging_ && node.averages && (evaluating() || !own)) node.averages->prefetch(turn, river);
    }
    for (int child : node.children) prefetch_river_subtree(child, turn, river);
  }

  void strategy(const ActionNode& node, int chunk, int entry, int n, double* sigma) const {
    int actions = int(node.children.size());
    ScratchStack::Frame frame;
    if (!evaluating()) {
      const double* fallback = fallback_for(training_fallback_, actions, frame);
      node.regrets->current_strategy(chunk, entry, fallback, sigma, std::size_t(n));
    } else if (averaging_ && node.averages) {
      node.averages->average_strategy(chunk, entry, *node.regrets, sigma, std::size_t(n));
    } else {
      const double* fallback = fallback_for(kernels::Fallback::uniform, actions, frame);
      node.regrets->current_strategy(chunk, entry, fallback, sigma, std::size_t(n));
    }
  }

  // A training pass over a river-start tree (one board, one thread) reads and keeps its
  // decisions' current strategies there; a command since the last pass may have written regrets.
  void keep_current_strategies() {
    CurrentStrategies& kept = state_.current_strategies;
    std::uint64_t epoch = command_epoch().load(std::memory_order_acquire);
    if (kept.command_epoch != epoch || kept.rows.size() != tree_.nodes.size()) {
      kept = {};
      kept.command_epoch = epoch;
      kept.rows.resize(tree_.nodes.size());
      kept.versions.assign(tree_.nodes.size(), 0);
    }
    kept_ = &kept;
  }

  // The decision's strategy rows over the acting player's list (n hands): the kept rows while
  // the player's regrets are those they were matched from, else matched now.
  const double* current_rows(const ActionNode& node, int chunk, int entry, int n, ScratchStack::Frame& frame) {
    std::size_t size = node.children.size() * std::size_t(n);
    if (!kept_) {
      double* sigma = frame.take(size);
      strategy(node, chunk, entry, n, sigma);
      return sigma;
    }
    std::size_t i = std::size_t(&node - tree_.nodes.data());
    std::vector<double>& rows = kept_->rows[i];
    if (!rows_current(*kept_, i, int(node.player)) || rows.size() != size) {
      rows.resize(size);
      strategy(node, chunk, entry, n, rows.data());
      kept_->versions[i] = kept_->regret_versions[node.player];
    }
    return rows.data();
  }

  void own_decision(const ActionNode& node, const CardNode& board, int chunk, int entry, int turn, int river,
                    const double* reach, double* values, double* best) {
    ScratchStack::Frame frame;
    int n = board.hand_count(traverser_), actions = int(node.children.size());
    const double* sigma = current_rows(node, chunk, entry, n, frame);
    double* child_values = frame.take(std::size_t(actions) * std::size_t(n));
    double* child_best = best ? frame.take(std::size_t(actions) * std::size_t(n)) : nullptr;
    const double* row_array[kTabledActions];
    std::vector<const double*> row_vector;  // only for nodes with more actions than the array holds
    if (actions > kTabledActions) row_vector.resize(std::size_t(actions));
    const double** rows = actions > kTabledActions ? row_vector.data() : row_array;
    int paired_fold = -1, paired_showdown = -1;
    terminal_pair(node, board, reach, child_values, paired_fold, paired_showdown);
    for (int a = 0; a < actions; ++a) {
      double* v = child_values + std::size_t(a) * std::size_t(n);
      double* b = best ? child_best + std::size_t(a) * std::size_t(n) : nullptr;
      if (a == paired_fold || a == paired_showdown) {
        if (b) std::copy(v, v + n, b);
      } else {
        walk(node.children[std::size_t(a)], turn, river, reach, v, b);
      }
      rows[a] = v;
      const double* s = sigma + std::size_t(a) * std::size_t(n);
      if (a == 0)
        kernels::multiply(values, s, v, n);
      else
        kernels::multiply_add(values, s, v, n);
    }
    bool locked = node.regrets->locked(chunk, entry);
    if (best) {
      for (int a = 0; a < actions; ++a) {
        const double* b = child_best + std::size_t(a) * std::size_t(n);
        const double* s = sigma + std::size_t(a) * std::size_t(n);
        if (locked) {  // the locked strategy binds the best response too
          if (a == 0)
            kernels::multiply(best, s, b, n);
          else
            kernels::multiply_add(best, s, b, n);
        } else {
          if (a == 0)
            std::copy(b, b + n, best);
          else
            kernels::maximum(best, b, n);
        }
      }
    }
    if (!evaluating() && phase_ >= 1 && !locked) {
      std::span<const std::uint16_t> table;
      if (node.street == 3 && t_ <= river_table_limit_) table = board.hands(traverser_).class_sizes;
      node.regrets->update_regrets(chunk, entry, values, rows, table, state_.params.stake_scale * kRiverRegretResolution,
                                   regret_rule_);
    }
  }

  void opponent_decision(const ActionNode& node, const CardNode& board, int chunk, int entry, int turn, int river,
                         const double* reach, double* values, double* best) {
    ScratchStack::Frame frame;
    // Strategy rows over the opponent's list, values over the traverser's.
    int m = board.hand_count(opponent_), n = board.hand_count(traverser_), actions = int(node.children.size());
    const double* sigma = current_rows(node, chunk, entry, m, frame);
    bool locked = node.regrets->locked(chunk, entry);
    if (!evaluating() && phase_ >= 1 && average_weight_ > 0 && node.averages && !locked) {
      if (average_restart_) node.averages->discount(chunk, entry, 0.0);
      node.averages->accumulate_average(chunk, entry, sigma, std::size_t(m), reach, average_weight_);
    }
    double* child_reach = frame.take(std::size_t(m));
    double* v = frame.take(std::size_t(n));
    double* b = best ? frame.take(std::size_t(n)) : nullptr;
    int walked_from = 0;
    if (fold_then_showdown(node)) {
      // Children 0 and 1 end the hand: one sweep gives their summed values.
      const ActionNode& folded = tree_.nodes[std::size_t(node.children[0])];
      const ActionNode& shown = tree_.nodes[std::size_t(node.children[1])];
      kernels::fold_plus_showdown_values(reach, sigma, sigma + m, board.hand_pair(traverser_), shown.value,
                                         fold_payoff(folded), values);
      if (best) std::copy(values, values + n, best);
      walked_from = 2;
    }
    for (int a = walked_from; a < actions; ++a) {
      const double* s = sigma + std::size_t(a) * std::size_t(m);
      kernels::multiply(child_reach, reach, s, m);
      bool first = a == 0;
      walk(node.children[std::size_t(a)], turn, river, child_reach, first ? values : v, best ? (first ? best : b) : nullptr);
      if (first) continue;
      kernels::add(values, v, n);
      if (best) kernels::add(best, b, n);
    }
  }

  // Whether the first two children are a fold and a showdown on this street: the answers to a
  // river bet. (Earlier streets' calls deal the next card first.)
  bool fold_then_showdown(const ActionNode& node) const {
    if (node.children.size() < 2) return false;
    const ActionNode& first = tree_.nodes[std::size_t(node.children[0])];
    const ActionNode& second = tree_.nodes[std::size_t(node.children[1])];
    return first.kind == NodeKind::fold && second.kind == NodeKind::showdown && first.street == node.street &&
           second.street == node.street;
  }

  // An own decision's children all meet the same opponent reach; when a fold and a showdown
  // are among them, one kernel call gives both children's values (rows a of child_values).
  void terminal_pair(const ActionNode& node, const CardNode& board, const double* reach, double* child_values,
                     int& fold, int& showdown) const {
    for (std::size_t a = 0; a < node.children.size(); ++a) {
      const ActionNode& child = tree_.nodes[std::size_t(node.children[a])];
      if (child.street != node.street) continue;
      if (child.kind == NodeKind::fold) fold = int(a);
      if (child.kind == NodeKind::showdown) showdown = int(a);
    }
    if (fold < 0 || showdown < 0) {
      fold = showdown = -1;
      return;
    }
    std::size_t n = std::size_t(board.hand_count(traverser_));
    const ActionNode& folded = tree_.nodes[std::size_t(node.children[std::size_t(fold)])];
    const ActionNode& shown = tree_.nodes[std::size_t(node.children[std::size_t(showdown)])];
    kernels::showdown_and_fold_values(reach, board.hand_pair(traverser_), shown.value, fold_payoff(folded),
                                      child_values + std::size_t(showdown) * n, child_values + std::size_t(fold) * n);
  }

  double fold_payoff(const ActionNode& node) const {
    return int(node.player) == traverser_ ? -node.value : node.value;
  }

  void terminal(const ActionNode& node, const CardNode& board, const double* reach, double* values, double* best) {
    kernels::HandPair hands = board.hand_pair(traverser_);
    if (node.kind == NodeKind::fold) {
      kernels::fold_values(reach, hands, fold_payoff(node), values);
    } else {
      kernels::showdown_values(reach, hands, node.value, values);
    }
    if (best) std::copy(values, values + board.hand_count(traverser_), best);
  }

  // A card is dealt before this node: the turn (turn < 0) or the river.
  void deal(int index, int turn, int river, const double* reach, double* values, double* best) {
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    bool turn_deal = turn < 0;
    const CardNode& parent = tree_.card_node_at(turn, river);
    // Values over the traverser's list, reach over the opponent's.
    int n = parent.hand_count(traverser_), m = parent.hand_count(opponent_);
    DealEntry* entry = node.deal ? &node.deal->entries[std::size_t(turn_deal ? 0 : turn)] : nullptr;
    double normaliser = turn_deal ? kTurnNormaliser : kRiverNormaliser;
    bool split = (turn_deal ? 2 : 3) == split_street_;
    if (entry && uses_stored_values(turn_deal ? 2 : 3)) {
      // A split deal queues no jobs then, so phase 2 finds none of its own either.
      if (split && phase_ == 0) {
        std::fill(values, values + n, 0.0);
        if (best) std::fill(best, best + n, 0.0);
      } else {
        stored_values(entry->values[std::size_t(traverser_)], values, n);
        if (best) stored_values(entry->best_response[std::size_t(traverser_)], best, n);
      }
      return;
    }

    if (!split || phase_ == 0) {
      if (mode_ == PassMode::training && entry && !entry->frozen) {
        std::vector<double>& sums = entry->reach_sums[std::size_t(opponent_)];
        sums.resize(std::size_t(m), 0.0);
        for (int i = 0; i < m; ++i) sums[std::size_t(i)] += reach_weight_ * reach[i];
      }
    }
    if (split) {
      Workspace& w = workspace();
      if (phase_ == 0) {
        std::fill(values, values + n, 0.0);
        if (best) std::fill(best, best + n, 0.0);
        DealSums sums;
        sums.n = n;
        sums.jobs = int(parent.children.size());
        sums.values = w.take(std::size_t(n));
        std::fill(w.at(sums.values), w.at(sums.values) + n, 0.0);
        if (best) {
          sums.best = w.take(std::size_t(n));
          std::fill(w.at(sums.best), w.at(sums.best) + n, 0.0);
        }
        int deal_index = int(w.deals.size());
        w.deals.push_back(sums);
        // All jobs of the deal read the same reach: one copy.
        std::size_t shared_reach = w.take(std::size_t(m));
        std::copy(reach, reach + m, w.at(shared_reach));
        for (int k = 0; k < sums.jobs; ++k)
          w.jobs.push_back({index, turn_deal ? k : turn, turn_deal ? -1 : k, shared_reach, deal_index});
        return;
      }
      const DealSums& sums = w.deals[std::size_t(w.jobs[cursor_].deal)];
      cursor_ += std::size_t(sums.jobs);
      const double* sum_values = w.at(sums.values);
      for (int i = 0; i < n; ++i) values[i] = sum_values[i] * normaliser;
      if (best) {
        const double* sum_best = w.at(sums.best);
        for (int i = 0; i < n; ++i) best[i] = sum_best[i] * normaliser;
      }
    } else {
      // The river inside a turn subgame: its boards one after the other, chunks opened around them.
      std::fill(values, values + n, 0.0);
      if (best) std::fill(best, best + n, 0.0);
      bool reached = !all_zero(reach, m);
      if (reached) bracket_chunks(index, turn, true);
      ScratchStack::Frame frame;
      double* child_reach = frame.take(1081);
      double* child_values = frame.take(1081);
      double* child_best = best ? frame.take(1081) : nullptr;
      for (std::size_t r = 0; r < parent.children.size(); ++r) {
        const CardNode& child = parent.children[r];
        if (reached && r + 1 < parent.children.size()) prefetch_river_subtree(index, turn, int(r) + 1);
        const HandList& own = child.hands(traverser_);
        const HandList& opp = child.hands(opponent_);
        kernels::gather(child_reach, reach, opp.index_maps[0].data(), opp.size());
        walk(index, turn, int(r), child_reach, child_values, child_best);
        for (const auto& map : own.index_maps) {
          kernels::scatter_add(values, child_values, map.data(), own.size());
          if (best) kernels::scatter_add(best, child_best, map.data(), own.size());
        }
      }
      if (reached) bracket_chunks(index, turn, false);
      kernels::scale(values, normaliser, n);
      if (best) kernels::scale(best, normaliser, n);
    }
    if (mode_ == PassMode::evaluation && entry && store_deal_values_) {
      entry->values[std::size_t(traverser_)].assign(values, values + n);
      if (best) entry->best_response[std::size_t(traverser_)].assign(best, best + n);
    }
  }

  // Deals below a query's target, and the deals of an evaluation into forgotten streets, take the traverser's values from the last evaluation pass instead of descending.
  // (A query's own path is dealt by the query itself, so its deals are never below the target.)
  bool uses_stored_values(int street) const {
    return mode_ == PassMode::query ||
           (mode_ == PassMode::evaluation && tree_.has_flag(INCOMPLETE_TREE) && street >= tree_.forgotten_from);
  }

  // A stored vector, or zeros when the entry holds none.
  static void stored_values(const std::vector<double>& stored, double* out, int n) {
    if (stored.size() == std::size_t(n))
      std::copy(stored.begin(), stored.end(), out);
    else
      std::fill(out, out + n, 0.0);
  }

  // Opens (or closes) the chunk of turn card `turn` in every river decision node below a deal.
  void bracket_chunks(int index, int turn, bool open) {
    const ActionNode& node = tree_.nodes[std::size_t(index)];
    if (node.is_decision() && node.street == 3) {
      bool own = int(node.player) == traverser_;
      bool training = mode_ == PassMode::training;
      bool averages = averaging_ && node.averages && (!training || !own);
      if (open) {
        node.regrets->open_chunk(turn);
        if (averages) node.averages->open_chunk(turn);
      } else {
        node.regrets->close_chunk(turn, training && own);
        if (averages) node.averages->close_chunk(turn, training && !own);
      }
    }
    for (int child : node.children) bracket_chunks(child, turn, open);
  }

  void run_jobs() {
    Workspace& w = workspace();
    w.order_jobs();
    std::atomic<int> finished{0};
    int count = int(w.jobs.size());
    std::mutex job_lock;
    parallel_for(count, [&](int j) {
      const Job& job = w.jobs[w.order[std::size_t(j)]];
      const CardNode& child = tree_.card_node_at(job.turn, job.river);
      const HandList& own = child.hands(traverser_);
      const HandList& opp = child.hands(opponent_);
      int m = opp.size(), n = own.size();
      ScratchStack::Frame frame;
      double* reach = frame.take(std::size_t(m));
      kernels::gather(reach, w.at(job.reach), opp.index_maps[0].data(), m);
      if (!all_zero(reach, m)) {
        if (job.river >= 0) prefetch_river_subtree(job.node, job.turn, job.river);
        double* values = frame.take(std::size_t(n));
        double* best = with_best_ ? frame.take(std::size_t(n)) : nullptr;
        walk(job.node, job.turn, job.river, reach, values, best);
        // Mapped back to the parent board's order first, so that the lock covers only
        // plain vector additions into the deal's sums.
        const DealSums& sums = w.deals[std::size_t(job.deal)];
        double* mapped = frame.zeros(std::size_t(sums.n));
        double* mapped_best = best ? frame.zeros(std::size_t(sums.n)) : nullptr;
        for (const auto& map : own.index_maps) {
          kernels::scatter_add(mapped, values, map.data(), n);
          if (best) kernels::scatter_add(mapped_best, best, map.data(), n);
        }
        std::lock_guard<std::mutex> lock(job_lock);
        kernels::add(w.at(sums.values), mapped, sums.n);
        if (best) kernels::add(w.at(sums.best), mapped_best, sums.n);
      }
      int done = ++finished;
      if (SolverControl* run = state_.run.load(std::memory_order_relaxed)) run->pass_progress(done * 100 / count);
    });
  }

  GameTree& tree_;
  SolverState& state_;
  int traverser_, opponent_;
  PassMode mode_;
  int t_;
  int phase_ = 0;
  bool with_best_ = false;  // best responses are computed (evaluation passes)
  bool store_deal_values_ = true;
  bool averaging_ = false;
  double average_weight_ = 0;
  RegretRule regret_rule_;         // how the update's pass treats the kept regrets
  kernels::Fallback training_fallback_ = kernels::Fallback::training;
  bool average_restart_ = false;  // the averages drop their sums before this iteration's
  double reach_weight_ = 1;
  int river_table_limit_ = 0;
  int split_street_ = 2;
  std::size_t cursor_ = 0;
  CurrentStrategies* kept_ = nullptr;  // set for training passes of river-start trees
};

}  // namespace

std::mutex& solver_mutex() {
  static std::mutex m;
  return m;
}

namespace {
std::atomic<int> g_waiting_commands{0};
thread_local bool t_solver_thread = false;

std::unique_lock<std::mutex> lock_for_pass() {
  if (t_solver_thread) {
    while (g_waiting_commands.load(std::memory_order_acquire) > 0) std::this_thread::yield();
  } else {
    // Commands' passes use the thread count the user set, like the solver's.
    apply_thread_count();
    ++g_waiting_commands;
  }
  std::unique_lock<std::mutex> lock(solver_mutex());
  if (!t_solver_thread) --g_waiting_commands;
  return lock;
}
}  // namespace

namespace {
std::atomic<int> g_worker_count{1};
}

void set_worker_count(int count) { g_worker_count = count; }
int worker_count() { return std::max(1, g_worker_count.load()); }

void apply_thread_count() {
  // The runtime keeps a pool of workers per thread that opens parallel regions and ends the
  // process when it cannot add one: a pool grows only while the address space has room.
  thread_local int pool = 1;
  int wanted = worker_count();
  if (wanted > pool && platform::threads_fit(wanted - pool)) pool = wanted;
  omp_set_num_threads(std::min(wanted, pool));
}

std::mutex& iteration_mutex() {
  static std::mutex m;
  return m;
}

namespace {
std::atomic<int> g_waiting_checkpoints{0};
}

CheckpointLock::CheckpointLock() {
  ++g_waiting_checkpoints;
  lock_ = std::unique_lock<std::mutex>(iteration_mutex());
  --g_waiting_checkpoints;
}

std::unique_lock<std::mutex> lock_iteration() {
  // Like the passes: a waiting save gets in before the next iteration takes the lock back.
  while (g_waiting_checkpoints.load(std::memory_order_acquire) > 0) std::this_thread::yield();
  return std::unique_lock<std::mutex>(iteration_mutex());
}

CommandLock::CommandLock() : lock_(lock_for_pass()) { command_epoch().fetch_add(1, std::memory_order_release); }

void mark_solver_thread() { t_solver_thread = true; }

bool allocate_tree_storage(GameTree& tree) {
  if (tree.storage_allocated) return true;
  for (ActionNode& n : tree.nodes) {
    for (NodeValueArray* a : {n.regrets.get(), n.averages.get()})
      if (a && !a->allocate()) return false;
  }
  tree.storage_allocated = true;
  // The first pass then pays neither for the workers' stacks nor for the fallback table's pages.
  ScratchStack::prepare(worker_count());
  fallbacks();
  return true;
}

PassResult solve_pass(GameTree& tree, SolverState& state, int player, PassMode mode) {
  std::unique_lock<std::mutex> lock = lock_for_pass();
  return Pass(tree, state, player, mode).run();
}

void run_iteration(GameTree& tree, SolverState& state) {
  solve_pass(tree, state, 1, PassMode::training);
  solve_pass(tree, state, 0, PassMode::training);
  ++state.iterations;
  tree.flags &= ~NEW_TREE;
}

void train_subgames(GameTree& tree, SolverState& state, const std::vector<SubgameRoot>& roots) {
  std::unique_lock<std::mutex> lock = lock_for_pass();
  for (int traverser : {1, 0}) {
    int opponent = 1 - traverser;
    // The kept ranges sum to 100; the subgame trains on them scaled to sum 1, the size the
    // reach of a deal met with certainty has in a full pass, so that 16-bit regrets keep their
    // resolution and do not saturate.
    auto reach_of = [&](const SubgameRoot& root) {
      const DealEntry& e = tree.nodes[std::size_t(root.node)].deal->entries[std::size_t(std::max(root.turn, 0))];
      std::vector<double> reach = e.reach_sums[std::size_t(opponent)];
      double sum = 0;
      for (double w : reach) sum += w;
      if (sum > 0)
        for (double& w : reach) w /= sum;
      return reach;
    };
    int split_street = tree.start_street + 1;
    std::vector<std::size_t> parallel;
    std::vector<SubgameRoot> split;
    std::vector<std::vector<double>> split_reach;
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if ((roots[i].turn < 0 ? 2 : 3) != split_street) {
        parallel.push_back(i);
        continue;
      }
      split.push_back(roots[i]);
      split_reach.push_back(reach_of(roots[i]));
      split_reach.back().resize(std::size_t(tree.card_node_at(roots[i].turn, -1).hand_count(opponent)), 0.0);
    }
    // The split deals' jobs together, in one parallel loop.
    if (!split.empty()) Pass(tree, state, traverser, PassMode::training).train_below_deals(split, split_reach);
    // Deals inside the turn subgames: one unit of parallel work each.
    parallel_for(int(parallel.size()), [&](int k) {
      const SubgameRoot& root = roots[parallel[std::size_t(k)]];
      std::vector<double> reach = reach_of(root);
      reach.resize(std::size_t(tree.card_node_at(root.turn, -1).hand_count(opponent)), 0.0);
      Pass(tree, state, traverser, PassMode::training).train_below_deal(root.node, root.turn, reach.data());
    });
  }
}

PassResult subgame_pass(GameTree& tree, SolverState& state, int player, PassMode mode, int index, int turn, int river,
                        const std::vector<double>& opponent_reach, const std::vector<double>& own_reach) {
  return Pass(tree, state, player, mode).subgame(index, turn, river, opponent_reach.data(), own_reach.data());
}

const std::vector<double>* kept_strategy_rows(const GameTree& tree, const SolverState& state, int node) {
  const CurrentStrategies& kept = state.current_strategies;
  if (kept.command_epoch != command_epoch().load(std::memory_order_acquire)) return nullptr;
  const ActionNode& n = tree.nodes[std::size_t(node)];
  if (!n.is_decision()) return nullptr;
  return rows_current(kept, std::size_t(node), int(n.player)) ? &kept.rows[std::size_t(node)] : nullptr;
}

PassResult evaluate_player(GameTree& tree, SolverState& state, int player) {
  return solve_pass(tree, state, player, PassMode::evaluation);
}

namespace {

// Both evaluation passes; the caller holds the solver mutex for both, so that the two players'
// results describe the same strategies.
bool evaluate_both_held(GameTree& tree, SolverState& state) {
  if (!allocate_tree_storage(tree)) return false;
  PassResult oop = Pass(tree, state, 0, PassMode::evaluation).run();
  PassResult ip = Pass(tree, state, 1, PassMode::evaluation).run();
  TreeResults& r = state.results;
  r.mes[0] = oop.best_response;
  r.ev[0] = oop.value;
  r.mes[1] = ip.best_response;
  r.ev[1] = ip.value;
  r.exploitability = (oop.best_response + ip.best_response) / 2;
  r.iteration = state.iterations;
  return true;
}

}  // namespace

bool evaluate_both(GameTree& tree, SolverState& state, TreeResults* out) {
  std::unique_lock<std::mutex> lock = lock_for_pass();
  if (!evaluate_both_held(tree, state)) return false;
  if (out) *out = state.results;  // the solver thread may overwrite them once the lock is gone
  return true;
}

bool QuerySession::refresh() {
  // A loaded tree has its results but not the root values they came with.
  const CardNode& start = tree_.start_card_node();
  bool current = state_.results.iteration == state_.iterations &&
                 state_.root_values[0].size() == std::size_t(start.hand_count(0)) &&
                 state_.root_values[1].size() == std::size_t(start.hand_count(1));
  return current || evaluate_both_held(tree_, state_);
}

bool QuerySession::query(int player, int node, int turn, int river, NodeQuery& out) {
  return Pass(tree_, state_, player, PassMode::query).query(node, turn, river, out);
}

bool query_node(GameTree& tree, SolverState& state, int player, int node, int turn, int river, NodeQuery& out) {
  QuerySession session(tree, state);
  return session.query(player, node, turn, river, out);
}
