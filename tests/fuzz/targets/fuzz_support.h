#pragma once
// What the fuzz targets share: the start-up tables, fuzz input as protocol lines, running a line
// the way the command loop does (answers dropped, or printed with TRAVANTO_FUZZ_ECHO=1 to see
// what a saved input does), and a small spot built through the protocol.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/arguments.h"
#include "app/commands.h"
#include "app/session.h"
#include "core/output.h"
#include "cards/evaluator.h"
#include "cards/hand_order.h"
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

// The fuzz process's session, as main() owns the program's; restart_session() begins a new one.
inline std::unique_ptr<Session>& session_slot() {
  static std::unique_ptr<Session> session = std::make_unique<Session>();
  return session;
}
inline Session& session() { return *session_slot(); }
inline void restart_session() { session_slot() = std::make_unique<Session>(); }

inline std::string as_text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Lines at LF, a CR before it dropped, as the command loop reads them; a last line without LF counts too.
inline std::vector<std::string> input_lines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  std::istringstream in(as_text(data, size));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline void run_tokens(const Tokens& tokens) {
  static const bool echo = std::getenv("TRAVANTO_FUZZ_ECHO") && std::getenv("TRAVANTO_FUZZ_ECHO")[0] == '1';
  if (!tokens.empty()) dispatch_tokens(session(), tokens);
  echo ? flush_pending_output() : discard_pending_output();
}

// One line with its optional 0xA7 marker byte, as the command loop runs it.
inline void run_line(std::string line) {
  bool marker = !line.empty() && static_cast<unsigned char>(line[0]) == 0xA7;
  set_marker_mode(marker);
  run_tokens(split_tokens(marker ? line.substr(1) : line));
  set_marker_mode(false);
}

// Both ranges with every hand at weight 1.
inline void set_uniform_ranges() {
  for (const char* player : {"OOP", "IP"}) {
    Tokens t{"set_range", player};
    t.resize(std::size_t(kHands) + 2, "1");
    run_tokens(t);
  }
}

// A spot set up through the protocol. A set-up that does not build is a broken fuzzer, not a finding.
inline void build_spot(const char* board, std::initializer_list<const char*> lines) {
  init_engine();
  for (const std::string& l : std::vector<std::string>{"clear_lines", "set_pot 0 0 100", std::string("set_board ") + board})
    run_line(l);
  set_uniform_ranges();
  for (const char* l : lines) run_line(std::string("add_line ") + l);
  run_line("build_tree");
  if (!session().current_tree()) std::fprintf(stderr, "fuzz set-up: the spot on %s did not build\n", board), std::abort();
}

}  // namespace fuzz
