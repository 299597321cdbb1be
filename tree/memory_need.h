#pragma once
// What a built tree's memory comes to once it is solved, at every compression level, before
// any of it is taken: show_memory_need prints it, bench/solve sets it beside the peak RSS.
//
// Plain arrays are exact (they are committed whole). Compressed stores grow with their data, so
// their figure is typical: each chunk's uncompressed bytes times the ratio its store kind
// reached at the end of the benchmark flop solves, in whole pages, plus the chunks the workers
// hold decoded at once.
#include <array>
#include <cstdint>

#include "tree/game_tree.h"

struct MemoryNeed {
  // Per-node data (regret and average arrays of every decision node) at levels 0 to 4.
  std::array<std::uint64_t, 5> levels{};
  // Address space the compressed stores reserve at each level (they commit only what they use).
  std::array<std::uint64_t, 5> reserved{};
  // Hand lists and the rest of the card tree, deal records, kept strategies and the workers'
  // scratch stacks: the same at every level.
  std::uint64_t other = 0;
};

// The whole tree's need (forgotten streets included) with `workers` solver threads.
MemoryNeed memory_need(const GameTree& tree, int workers);
