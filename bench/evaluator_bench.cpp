// Evaluator and classifier throughput. Items are hand evaluations (classifiers: boards).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "cards/categories.h"
#include "cards/evaluator.h"

namespace {

std::vector<CardMask> hands_off_board(CardMask board) {
  std::vector<CardMask> hands(kHands);
  for (int i = 0; i < kHands; ++i) hands[i] = hand_mask(i) & board ? 0 : hand_mask(i);
  return hands;
}

std::vector<LaneMask> random_sets(int cards, std::size_t n) {
  std::mt19937 rng(42);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  std::vector<LaneMask> sets(n);
  for (LaneMask& s : sets) {
    std::shuffle(deck.begin(), deck.end(), rng);
    s = 0;
    for (int i = 0; i < cards; ++i) s |= lane_bit(deck[i]);
  }
  return sets;
}

void BM_EvaluateHandsRiver(benchmark::State& state) {
  init_hand_tables();
  CardMask board = parse_cards("Ks 7d 2c Th 7s");
  std::vector<CardMask> hands = hands_off_board(board);
  for (auto _ : state) {
    std::vector<std::uint32_t> values = evaluate_hands(board, hands);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * kHands);
}
BENCHMARK(BM_EvaluateHandsRiver);

void BM_EvaluateHandsFlop(benchmark::State& state) {
  init_hand_tables();
  CardMask board = parse_cards("Ks 7d 2c");
  std::vector<CardMask> hands = hands_off_board(board);
  for (auto _ : state) {
    std::vector<std::uint32_t> values = evaluate_hands(board, hands);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * kHands);
}
BENCHMARK(BM_EvaluateHandsFlop);

// Random seven-card sets: every shape in its natural frequency, branches hard to predict.
void BM_SevenCardLoop(benchmark::State& state) {
  init_hand_tables();
  std::vector<LaneMask> sets = random_sets(7, 1 << 16);
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (LaneMask s : sets) sum += evaluate_lanes_7(s);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(sets.size()));
}
BENCHMARK(BM_SevenCardLoop);

void BM_ClassifyFlop(benchmark::State& state) {
  init_hand_tables();
  std::uint8_t board[3] = {classifier_card(make_card(9, 0)), classifier_card(make_card(8, 1)),
                           classifier_card(make_card(2, 1))};
  CategoryResults made{}, draws{};
  for (auto _ : state) {
    classify_made_hands(board, 3, made);
    classify_draws(board, 3, draws);
    benchmark::DoNotOptimize(draws.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClassifyFlop);

}  // namespace
