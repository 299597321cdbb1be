#pragma once
// The session's settings that are not part of the game description. Written by the command
// thread; the solver reads accuracy between iterations without a lock. The worker count is the
// OpenMP pool's (solver/solver.h), which is process-wide.
#include <array>
#include <atomic>
#include <cstdint>

struct Settings {
  std::atomic<double> accuracy{0.0};    // chips; solving stops at or below it
  std::array<double, 3> recalc_accuracy{0, 0, 0};  // chips, flop/turn/river subgame targets
  // Whether trees starting on the flop, turn, river merge isomorphic boards.
  std::array<bool, 3> isomorphism{true, false, false};
  // Trees list every hand the board leaves for both players (strategies for hands outside the
  // ranges), instead of each range's hands. Read by the next build.
  bool all_hands = false;
};

// The largest worker count set_threads accepts: 4 per processor.
int max_thread_count();

// The process's start time (solver_time), process-wide on purpose.
void set_start_time(std::int64_t wall_clock_100ns);
std::int64_t start_time();
