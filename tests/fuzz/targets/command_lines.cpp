// Whole protocol input: arbitrary bytes cut into lines, each run through the command dispatch as
// the command loop runs it. Every input starts from the same state, a new session: a river board, both ranges
// uniform, a pot of 100, no lines and no tree. Left out are the commands that touch files, end
// the process, start the solver or wait; building and the reports run only while board and tree
// are river-sized, where they take milliseconds (a flop tree's storage and passes take seconds).
#include <set>

#include "cards/game.h"
#include "fuzz_support.h"

namespace {

const std::set<std::string> kExcluded = {"exit",       "go",         "sleep",      "take_a_break",     "wait_for_solver",
                                         "load_script", "skip_if_done", "stdoutredi", "stdoutback", "stdoutredi_append"};
const std::set<std::string> kRiverOnly = {
    "build_tree", "calc_results", "calc_ev",        "calc_ev_pp",       "calc_ev_line", "calc_eq",
    "calc_eq_pp", "calc_eq_node", "show_strategy", "show_strategy_pp", "show_range",   "ai6_set_compression"};
GameDescription g_initial;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::build_spot("Ks 7d 2c 5h 9s", {"0 0"});
  g_initial = fuzz::session().game;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::restart_session();
  Session& s = fuzz::session();
  s.game = g_initial;
  for (const char* line : {"set_threads 1", "set_accuracy 0", "set_recalc_accuracy 0 0 0", "set_isomorphism 1 0",
                           "ai6_set_compression auto"})
    fuzz::run_line(line);
  for (const std::string& line : fuzz::input_lines(data, size)) {
    Tokens tokens = split_tokens(!line.empty() && static_cast<unsigned char>(line[0]) == 0xA7 ? line.substr(1) : line);
    bool river_sized = s.game.river_mask && (!s.current_tree() || s.current_tree()->start_street == 3);
    if (!tokens.empty() && !kExcluded.count(tokens[0]) && (river_sized || !kRiverOnly.count(tokens[0])))
      fuzz::run_line(line);
  }
  return 0;
}
