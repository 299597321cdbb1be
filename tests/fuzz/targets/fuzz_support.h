#pragma once
// What the fuzz targets share: the start-up tables, and running a command the way the command
// loop does (answers dropped, or printed with TRAVANTO_FUZZ_ECHO=1 to see what a saved input does).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/session.h"
#include "cards/evaluator.h"
#include "cards/hand_order.h"
#include "core/arguments.h"
#include "core/output.h"
#include "solver/solver.h"
#include "tree/game_tree.h"

// A broken invariant: the fuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  if (!(condition)) std::abort()

namespace fuzz {

// The tables main() makes before the first command; once per process.
inline void init_engine() {
  static const bool done = (init_hand_tables(), build_hand_order_tables(), set_worker_count(1), true);
  (void)done;
}

// The fuzz process's session, as main() owns the program's.
inline Session& session() {
  static Session session;
  return session;
}

inline void run_tokens(const Tokens& tokens) {
  static const bool echo = std::getenv("TRAVANTO_FUZZ_ECHO") && std::getenv("TRAVANTO_FUZZ_ECHO")[0] == '1';
  if (!tokens.empty()) dispatch_tokens(session(), tokens);
  echo ? flush_pending_output() : discard_pending_output();
}

}  // namespace fuzz
