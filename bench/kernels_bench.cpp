// Throughput of the solver kernels on both code paths at the hand counts of a river board
// (1,081) and a flop board (1,176), and the machine's streaming-copy bandwidth to compare the
// kernels' byte rates with. Items are hands; bytes are the bytes a call reads plus writes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cards/cards.h"
#include "kernels/kernels.h"
#include "storage/scratch.h"

namespace {

using kernels::KernelSet;

// A board with n hands of random cards and strengths in runs of equal strength (about three
// hands per class, as on a river).
struct BenchBoard {
  std::vector<std::uint16_t> cards, classes, groups;
  kernels::CardLanes lanes;
  // With the per-card lists (as card nodes have them) or without (the running-sum sweep).
  kernels::BoardHands view(bool with_lanes = true) const {
    return {cards, classes, groups, with_lanes ? &lanes : nullptr};
  }
};

BenchBoard make_board(int n) {
  std::mt19937 rng(n);
  BenchBoard b;
  // Cards 5..51 leave 1,081 hands (a river board), 3..51 leave 1,176 (a flop board).
  int first = n > 1081 ? 3 : 5;
  std::vector<std::uint16_t> all;
  for (int hi = first; hi < kCards; ++hi)
    for (int lo = first; lo < hi; ++lo) all.push_back(std::uint16_t(lo | hi << 8));
  std::shuffle(all.begin(), all.end(), rng);
  b.cards.assign(all.begin(), all.begin() + std::min<std::size_t>(n, all.size()));
  b.cards.resize(n, std::uint16_t(5 | 6 << 8));
  for (int h = 0; h < n;) {
    int size = std::min(n - h, 1 + int(rng() % 5));
    b.classes.push_back(std::uint16_t(size));
    for (int g = 0; g < size;) {
      int gs = std::min(size - g, 1 + int(rng() % 2));
      b.groups.push_back(std::uint16_t(gs));
      g += gs;
    }
    h += size;
  }
  b.lanes = kernels::make_card_lanes(b.cards, b.classes);
  return b;
}

HandVector random_vector(std::size_t n, double lo, double hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  HandVector v(n);
  for (double& x : v) x = u(rng);
  return v;
}

struct Inputs {
  int n, actions;
  BenchBoard board;
  HandVector reach, node_value, values, sigma;
  std::vector<HandVector> action_values;
  std::vector<const double*> action_ptrs;
  std::vector<float, ScratchAllocator<float>> regrets32;
  std::vector<std::uint16_t, ScratchAllocator<std::uint16_t>> regrets16;
  double fallback[8];

  Inputs(int n_, int actions_) : n(n_), actions(actions_), board(make_board(n_)) {
    reach = random_vector(n, 0.0, 1.0, 1);
    node_value = random_vector(n, -50.0, 50.0, 2);
    values.resize(n);
    sigma = random_vector(std::size_t(actions) * n, 0.0, 1.0, 3);
    for (int a = 0; a < actions; ++a) action_values.push_back(random_vector(n, -50.0, 50.0, 10 + a));
    for (auto& v : action_values) action_ptrs.push_back(v.data());
    regrets32.resize(std::size_t(actions) * n);
    regrets16.resize(std::size_t(actions) * n);
    std::mt19937 rng(7);
    for (auto& r : regrets32) r = float(rng() % 1000);
    for (auto& r : regrets16) r = std::uint16_t(rng() % 60000);
    kernels::fallback_vector(kernels::Fallback::training, actions, fallback);
  }
};

void finish(benchmark::State& state, int n, double bytes_per_call) {
  state.SetItemsProcessed(state.iterations() * n);
  state.SetBytesProcessed(std::int64_t(double(state.iterations()) * bytes_per_call));
}

// "kernel/path/hands[/actions a]" (snprintf: g++ 12 misreports string concatenation here).
std::string bench_name(const char* kernel, const char* path, int n, int actions = 0) {
  char text[96];
  if (actions > 0) {
    std::snprintf(text, sizeof text, "%s/%s/%d/%da", kernel, path, n, actions);
  } else {
    std::snprintf(text, sizeof text, "%s/%s/%d", kernel, path, n);
  }
  return text;
}

void register_set(const KernelSet& k) {
  const char* path = k.name;
  for (int n : {1081, 1176}) {
    benchmark::RegisterBenchmark(bench_name("fold_values", path, n).c_str(), [&k, n](benchmark::State& state) {
      Inputs in(n, 1);
      for (auto _ : state) {
        k.fold_values(in.reach.data(), in.board.view(), 3.5, in.values.data());
        benchmark::DoNotOptimize(in.values.data());
      }
      finish(state, n, 18.0 * n);  // reach, cards, values
    });
    benchmark::RegisterBenchmark(bench_name("showdown_values", path, n).c_str(), [&k, n](benchmark::State& state) {
      Inputs in(n, 1);
      for (auto _ : state) {
        k.showdown_values(in.reach.data(), in.board.view(), 3.5, in.values.data());
        benchmark::DoNotOptimize(in.values.data());
      }
      finish(state, n, 18.0 * n);
    });
    benchmark::RegisterBenchmark(bench_name("showdown_values_sweep", path, n).c_str(), [&k, n](benchmark::State& state) {
      Inputs in(n, 1);
      for (auto _ : state) {
        k.showdown_values(in.reach.data(), in.board.view(false), 3.5, in.values.data());
        benchmark::DoNotOptimize(in.values.data());
      }
      finish(state, n, 18.0 * n);
    });
    benchmark::RegisterBenchmark(bench_name("showdown_and_fold_values", path, n).c_str(), [&k, n](benchmark::State& state) {
      Inputs in(n, 2);
      for (auto _ : state) {
        k.showdown_and_fold_values(in.reach.data(), in.board.view(), 3.5, -2.0, in.action_values[0].data(),
                                   in.action_values[1].data());
        benchmark::DoNotOptimize(in.action_values[1].data());
      }
      finish(state, n, 26.0 * n);
    });
    benchmark::RegisterBenchmark(bench_name("fold_values_grouped", path, n).c_str(), [&k, n](benchmark::State& state) {
      Inputs in(n, 1);
      for (auto _ : state) {
        k.fold_values_grouped(in.reach.data(), in.board.view(), 3.5, in.values.data());
        benchmark::DoNotOptimize(in.values.data());
      }
      finish(state, n, 8.0 * double(in.board.groups.size()) * 2 + 4.0 * n);
    });
    benchmark::RegisterBenchmark(bench_name("showdown_values_grouped", path, n).c_str(),
                                 [&k, n](benchmark::State& state) {
                                   Inputs in(n, 1);
                                   for (auto _ : state) {
                                     k.showdown_values_grouped(in.reach.data(), in.board.view(), 3.5, in.values.data());
                                     benchmark::DoNotOptimize(in.values.data());
                                   }
                                   finish(state, n, 8.0 * double(in.board.groups.size()) * 2 + 4.0 * n);
                                 });
    for (int actions = 2; actions <= 4; ++actions) {
      benchmark::RegisterBenchmark(bench_name("current_strategy_f32", path, n, actions).c_str(),
                                   [&k, n, actions](benchmark::State& state) {
                                     Inputs in(n, actions);
                                     for (auto _ : state) {
                                       k.current_strategy_f32(in.regrets32.data(), n, actions, n, in.fallback,
                                                              in.sigma.data(), n);
                                       benchmark::DoNotOptimize(in.sigma.data());
                                     }
                                     finish(state, n, 12.0 * actions * n);
                                   });
      benchmark::RegisterBenchmark(bench_name("current_strategy_u16", path, n, actions).c_str(),
                                   [&k, n, actions](benchmark::State& state) {
                                     Inputs in(n, actions);
                                     for (auto _ : state) {
                                       k.current_strategy_u16(in.regrets16.data(), n, actions, n, in.fallback,
                                                              in.sigma.data(), n);
                                       benchmark::DoNotOptimize(in.sigma.data());
                                     }
                                     finish(state, n, 10.0 * actions * n);
                                   });
      benchmark::RegisterBenchmark(bench_name("update_regrets_f32", path, n, actions).c_str(),
                                   [&k, n, actions](benchmark::State& state) {
                                     Inputs in(n, actions);
                                     for (auto _ : state) {
                                       k.update_regrets_f32(in.regrets32.data(), n, actions, n, in.node_value.data(),
                                                            in.action_ptrs.data());
                                       benchmark::DoNotOptimize(in.regrets32.data());
                                     }
                                     finish(state, n, 8.0 * n + 16.0 * actions * n);
                                   });
      // Steady state (no class table), and the early iterations that also level the classes.
      for (bool classes : {false, true}) {
        benchmark::RegisterBenchmark(
            bench_name(classes ? "update_regrets_u16_classes" : "update_regrets_u16", path, n, actions).c_str(),
            [&k, n, actions, classes](benchmark::State& state) {
              Inputs in(n, actions);
              std::span<const std::uint16_t> table;
              if (classes) table = in.board.classes;
              for (auto _ : state) {
                k.update_regrets_u16(in.regrets16.data(), n, actions, n, in.node_value.data(), in.action_ptrs.data(),
                                     table, 0.8);
                benchmark::DoNotOptimize(in.regrets16.data());
              }
              finish(state, n, 8.0 * n + 12.0 * actions * n);
            });
      }
      benchmark::RegisterBenchmark(bench_name("accumulate_average", path, n, actions).c_str(),
                                   [&k, n, actions](benchmark::State& state) {
                                     Inputs in(n, actions);
                                     for (auto _ : state) {
                                       k.accumulate_average(in.regrets32.data(), n, actions, n, in.sigma.data(), n,
                                                            in.reach.data(), 1e-9);
                                       benchmark::DoNotOptimize(in.regrets32.data());
                                     }
                                     finish(state, n, 8.0 * n + 16.0 * actions * n);
                                   });
    }
  }
}

// Two-list payoffs at the list sizes of a narrow river spot: `own` and `opp` hands drawn from a
// 1,081-hand board; mode 0 fold only, 1 showdown only, 2 both (an own decision's pair), 3 an
// opponent's fold and call summed.
void register_pair(const KernelSet& k) {
  for (int mode = 0; mode < 4; ++mode) {
    static const char* const kModes[] = {"fold", "showdown", "both", "summed"};
    char name[96];
    std::snprintf(name, sizeof name, "pair_payoffs_%s/%s/160x240", kModes[mode], k.name);
    benchmark::RegisterBenchmark(name, [&k, mode](benchmark::State& state) {
      BenchBoard board = make_board(1081);
      std::vector<std::uint32_t> strength;
      for (std::size_t c = 0; c < board.classes.size(); ++c) strength.insert(strength.end(), board.classes[c], std::uint32_t(c));
      std::mt19937 rng(5);
      std::vector<std::uint16_t> own_cards, opp_cards;
      std::vector<std::uint32_t> own_strengths, opp_strengths;
      for (int h = 0; h < 1081; ++h) {
        if (rng() % 1081 < 160) own_cards.push_back(board.cards[h]), own_strengths.push_back(strength[h]);
        if (rng() % 1081 < 240) opp_cards.push_back(board.cards[h]), opp_strengths.push_back(strength[h]);
      }
      kernels::PairPositions pair = kernels::make_pair_positions(own_cards, own_strengths, opp_cards, opp_strengths);
      HandVector reach = random_vector(opp_cards.size(), -0.2, 1.0, 1);
      HandVector showdown(own_cards.size()), fold(own_cards.size());
      HandVector fold_share = random_vector(opp_cards.size(), 0.0, 1.0, 2), call_share(opp_cards.size());
      for (std::size_t j = 0; j < opp_cards.size(); ++j) call_share[j] = 1.0 - fold_share[j];
      double* s = mode >= 1 ? showdown.data() : nullptr;
      double* f = mode != 1 ? fold.data() : nullptr;
      for (auto _ : state) {
        if (mode == 3)
          k.pair_payoffs_summed(reach.data(), fold_share.data(), call_share.data(), pair, 3.5, -2.0, fold.data());
        else
          k.pair_payoffs(reach.data(), pair, 3.5, s, -2.0, f);
        benchmark::DoNotOptimize(showdown.data());
        benchmark::DoNotOptimize(fold.data());
      }
      state.SetItemsProcessed(state.iterations() * std::int64_t(own_cards.size()));
    });
  }
}

// Streaming copy of a buffer far larger than the caches: bytes read plus bytes written.
void BM_stream_copy(benchmark::State& state) {
  std::size_t bytes = std::size_t(state.range(0)) << 20;
  auto* source = static_cast<char*>(scratch_allocate(bytes));
  auto* target = static_cast<char*>(scratch_allocate(bytes));
  std::memset(source, 1, bytes);
  std::memset(target, 0, bytes);
  for (auto _ : state) {
    std::memcpy(target, source, bytes);
    benchmark::DoNotOptimize(target);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(2 * bytes));
  scratch_free(source);
  scratch_free(target);
}
BENCHMARK(BM_stream_copy)->Arg(128)->Unit(benchmark::kMillisecond);

const bool registered = [] {
  register_set(kernels::plain_kernels());
  register_pair(kernels::plain_kernels());
  if (kernels::avx2_kernels() != nullptr) register_set(*kernels::avx2_kernels()), register_pair(*kernels::avx2_kernels());
  return true;
}();

}  // namespace
