#pragma once
// What the fuzz targets share: the start-up tables, fuzz input as protocol lines, running a line
// the way the command loop does (answers dropped), and building a small spot through the
// protocol so that targets exercise the same code as a client.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/commands.h"
#include "app/output.h"
#include "app/settings.h"
#include "cards/evaluator.h"
#include "cards/hand_order.h"
#include "tree/game_tree.h"

namespace fuzz {

// The tables main() makes before the first command; once per process.
inline void init_engine() {
  static const bool done = [] {
    init_hand_tables();
    build_hand_order_tables();
    settings().thread_count = 1;
    return true;
  }();
  (void)done;
}

inline std::string as_text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Lines at LF with a CR before it dropped, as the command loop reads them. Unlike the loop,
// a last line without LF counts too.
inline std::vector<std::string> input_lines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  std::string text = as_text(data, size);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// One line through the dispatch as the command loop runs it (marker byte, tokens). The answer
// is dropped, or printed with TRAVANTO_FUZZ_ECHO=1 in the environment (to see what a saved
// input does).
inline void run_tokens(const Tokens& tokens) {
  static const bool echo = [] {
    const char* v = std::getenv("TRAVANTO_FUZZ_ECHO");
    return v && v[0] == '1';
  }();
  if (!tokens.empty()) dispatch_tokens(tokens);
  if (echo)
    flush_pending_output();
  else
    discard_pending_output();
}

inline void run_line(std::string line) {
  bool marker = !line.empty() && static_cast<unsigned char>(line[0]) == 0xA7;
  set_marker_mode(marker);
  if (marker) line.erase(0, 1);
  run_tokens(split_tokens(line));
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

// A spot set up through the protocol: pot, board, uniform ranges, the lines, build_tree.
// A set-up that does not build is a broken fuzzer, not a finding: it ends the process.
inline void build_spot(const char* board, std::initializer_list<const char*> lines) {
  init_engine();
  run_line("clear_lines");
  run_line("set_pot 0 0 100");
  run_line(std::string("set_board ") + board);
  set_uniform_ranges();
  for (const char* l : lines) run_line(std::string("add_line ") + l);
  run_line("build_tree");
  if (!current_tree()) {
    std::fprintf(stderr, "fuzz set-up: the spot on %s did not build\n", board);
    std::abort();
  }
}

}  // namespace fuzz
