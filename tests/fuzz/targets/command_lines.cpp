// Whole protocol input: arbitrary bytes cut into lines, each run through the command dispatch as
// the command loop runs it. Every input starts from the same state: a river board, both ranges
// uniform, a pot of 100, no lines and no tree. Left out are the commands that touch files, end
// the process, start the solver or wait; building and the reports run only while board and tree
// are river-sized, where they take milliseconds.
#include <set>
#include <string>

#include "cards/game.h"
#include "fuzz_support.h"
#include "tree/schematic_tree.h"

namespace {

const std::set<std::string> kExcluded = {
    "exit",         "go",         "sleep",     "take_a_break",      "wait_for_solver", "load_script",
    "skip_if_done", "stdoutredi", "stdoutback", "stdoutredi_append",
};

// Their cost grows with the board's runouts: a flop tree's storage and passes take seconds.
const std::set<std::string> kRiverOnly = {
    "build_tree", "calc_results", "calc_ev",        "calc_ev_pp",    "calc_ev_line",         "calc_eq",
    "calc_eq_pp", "calc_eq_node", "show_strategy", "show_strategy_pp", "show_range", "ai6_set_compression",
};

GameDescription g_initial;

bool river_sized() {
  if (!game().river_mask) return false;
  const GameTree* tree = current_tree();
  return !tree || tree->start_street == 3;
}

void reset() {
  free_current_tree();
  clear_schematic_tree();
  game() = g_initial;
  for (const char* line : {"set_threads 1", "set_accuracy 0", "set_recalc_accuracy 0 0 0", "set_isomorphism 1 0",
                           "ai6_set_compression auto"})
    fuzz::run_line(line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  fuzz::run_line("set_pot 0 0 100");
  fuzz::run_line("set_board Ks 7d 2c 5h 9s");
  fuzz::set_uniform_ranges();
  g_initial = game();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reset();
  for (std::string line : fuzz::input_lines(data, size)) {
    std::string text = !line.empty() && static_cast<unsigned char>(line[0]) == 0xA7 ? line.substr(1) : line;
    Tokens tokens = split_tokens(text);
    if (tokens.empty()) continue;
    if (kExcluded.count(tokens[0]) || (kRiverOnly.count(tokens[0]) && !river_sized())) continue;
    fuzz::run_line(line);
  }
  return 0;
}
