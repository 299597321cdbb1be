#pragma once
// The command table and the dispatch of one token list. The loop (stdin) and load_script
// (script files) both execute lines through dispatch_tokens, on the session they are given.
#include <string>
#include <vector>

#include "app/session.h"
#include "core/arguments.h"

using CommandHandler = void (*)(Session& session, const Tokens& tokens);

struct CommandRow {
  const char* name;
  CommandHandler handler;  // nullptr: the command is not available in this build
  int expected_tokens;     // including the command word; -1 = the handler checks
};

const std::vector<CommandRow>& command_table();

// Runs one non-empty token list: banned-process refusal, comments, exit, lookup, token count,
// handler, and per-line failure reporting.
void dispatch_tokens(Session& session, const Tokens& tokens);

// Reads stdin until end of input or exit; returns the exit status.
int run_command_loop(Session& session);

// Installs the listener that writes the solver's reports (app/solver_reports.cpp) on the
// session's solver control; the command loop does it before the first line.
void install_solver_reports(Session& session);
// "#storage %d MB/s read, %d MB/s write": the storage counters over the given seconds, written
// at once or with the line's answer.
void print_storage_rates(double seconds, bool immediate);

// The answer "<command> ok!" of a command that has nothing else to say.
void answer_ok(const Tokens& tokens);


// Handlers, grouped by the file that implements them.
// app/output_commands.cpp
void cmd_is_ready(Session&, const Tokens&);
void cmd_stdoutredi(Session&, const Tokens&);
void cmd_stdoutredi_append(Session&, const Tokens&);
void cmd_stdoutback(Session&, const Tokens&);
void cmd_load_script(Session&, const Tokens&);
void cmd_skip_if_done(Session&, const Tokens&);
// app/settings_commands.cpp
void cmd_solver_time(Session&, const Tokens&);
void cmd_show_settings(Session&, const Tokens&);
void cmd_set_threads(Session&, const Tokens&);
void cmd_set_accuracy(Session&, const Tokens&);
void cmd_set_recalc_accuracy(Session&, const Tokens&);
void cmd_set_isomorphism(Session&, const Tokens&);
void cmd_set_all_hands(Session&, const Tokens&);
void cmd_show_memory(Session&, const Tokens&);
void cmd_ai6_get_instruction_set(Session&, const Tokens&);
void cmd_show_version(Session&, const Tokens&);
// app/schedule_commands.cpp
void cmd_set_solver_schedule(Session&, const Tokens&);
void cmd_show_solver_schedule(Session&, const Tokens&);
// app/game_commands.cpp
void cmd_show_hand_order(Session&, const Tokens&);
void cmd_set_range(Session&, const Tokens&);
void cmd_set_board(Session&, const Tokens&);
void cmd_set_pot(Session&, const Tokens&);
// app/line_commands.cpp
void cmd_add_line(Session&, const Tokens&);
void cmd_force_line(Session&, const Tokens&);
void cmd_remove_line(Session&, const Tokens&);
void cmd_clear_lines(Session&, const Tokens&);
void cmd_show_tree_params(Session&, const Tokens&);
void cmd_show_effective_stack(Session&, const Tokens&);
// app/tree_commands.cpp
void cmd_build_tree(Session&, const Tokens&);
void cmd_free_tree(Session&, const Tokens&);
void cmd_load_tree(Session&, const Tokens&);
void cmd_dump_tree(Session&, const Tokens&);
void cmd_is_tree_present(Session&, const Tokens&);
void cmd_show_node(Session&, const Tokens&);
void cmd_show_children(Session&, const Tokens&);
void cmd_node_count(Session&, const Tokens&);
// app/forget_commands.cpp
void cmd_forget(Session&, const Tokens&);
void cmd_rebuild_forgotten_streets(Session&, const Tokens&);
void cmd_solve_all_splits(Session&, const Tokens&);
void cmd_solve_partial(Session&, const Tokens&);
void cmd_explo_partial(Session&, const Tokens&);
// app/lock_commands.cpp
void cmd_lock_node(Session&, const Tokens&);
void cmd_unlock_node(Session&, const Tokens&);
void cmd_set_strategy(Session&, const Tokens&);
// app/solver_commands.cpp
void cmd_go(Session&, const Tokens&);
void cmd_stop(Session&, const Tokens&);
void cmd_wait_for_solver(Session&, const Tokens&);
void cmd_sleep(Session&, const Tokens&);
void cmd_take_a_break(Session&, const Tokens&);
void cmd_calc_results(Session&, const Tokens&);
// app/category_commands.cpp
void cmd_show_category_names(Session&, const Tokens&);
void cmd_show_categories(Session&, const Tokens&);
// app/compression_commands.cpp
void cmd_ai6_set_compression(Session&, const Tokens&);
void cmd_ai6_get_actual_compression(Session&, const Tokens&);
void cmd_show_memory_need(Session&, const Tokens&);
// app/query_commands.cpp
void cmd_show_strategy(Session&, const Tokens&);
void cmd_show_strategy_pp(Session&, const Tokens&);
void cmd_show_range(Session&, const Tokens&);
void cmd_calc_ev(Session&, const Tokens&);
void cmd_calc_ev_pp(Session&, const Tokens&);
void cmd_calc_ev_line(Session&, const Tokens&);
void cmd_calc_eq(Session&, const Tokens&);
void cmd_calc_eq_pp(Session&, const Tokens&);
void cmd_calc_eq_node(Session&, const Tokens&);
