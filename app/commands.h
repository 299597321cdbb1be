#pragma once
// The command table and the dispatch of one token list. The loop (stdin) and load_script
// (script files) both execute lines through dispatch_tokens.
#include <string>
#include <vector>

#include "core/arguments.h"

using CommandHandler = void (*)(const Tokens& tokens);

struct CommandRow {
  const char* name;
  CommandHandler handler;  // nullptr: the command is not available in this build
  int expected_tokens;     // including the command word; -1 = the handler checks
};

const std::vector<CommandRow>& command_table();

// Runs one non-empty token list: banned-process refusal, comments, exit, lookup, token count,
// handler, and per-line failure reporting.
void dispatch_tokens(const Tokens& tokens);

// Reads stdin until end of input or exit; returns the exit status.
int run_command_loop();

// Installs the listener that writes the solver's reports (app/solver_reports.cpp); the command
// loop does it before the first line.
void install_solver_reports();
// "#storage %d MB/s read, %d MB/s write": the storage counters over the given seconds, written
// at once or with the line's answer.
void print_storage_rates(double seconds, bool immediate);

// The answer "<command> ok!" of a command that has nothing else to say.
void answer_ok(const Tokens& tokens);


// Handlers, grouped by the file that implements them.
// app/output_commands.cpp
void cmd_is_ready(const Tokens&);
void cmd_stdoutredi(const Tokens&);
void cmd_stdoutredi_append(const Tokens&);
void cmd_stdoutback(const Tokens&);
void cmd_load_script(const Tokens&);
void cmd_skip_if_done(const Tokens&);
// app/settings_commands.cpp
void cmd_solver_time(const Tokens&);
void cmd_show_settings(const Tokens&);
void cmd_set_threads(const Tokens&);
void cmd_set_accuracy(const Tokens&);
void cmd_set_recalc_accuracy(const Tokens&);
void cmd_set_isomorphism(const Tokens&);
void cmd_set_all_hands(const Tokens&);
void cmd_show_memory(const Tokens&);
void cmd_ai6_get_instruction_set(const Tokens&);
void cmd_show_version(const Tokens&);
// app/schedule_commands.cpp
void cmd_set_solver_schedule(const Tokens&);
void cmd_show_solver_schedule(const Tokens&);
// app/game_commands.cpp
void cmd_show_hand_order(const Tokens&);
void cmd_set_range(const Tokens&);
void cmd_set_board(const Tokens&);
void cmd_set_pot(const Tokens&);
// app/line_commands.cpp
void cmd_add_line(const Tokens&);
void cmd_force_line(const Tokens&);
void cmd_remove_line(const Tokens&);
void cmd_clear_lines(const Tokens&);
void cmd_show_tree_params(const Tokens&);
void cmd_show_effective_stack(const Tokens&);
// app/tree_commands.cpp
void cmd_build_tree(const Tokens&);
void cmd_free_tree(const Tokens&);
void cmd_load_tree(const Tokens&);
void cmd_dump_tree(const Tokens&);
void cmd_is_tree_present(const Tokens&);
void cmd_show_node(const Tokens&);
void cmd_show_children(const Tokens&);
void cmd_node_count(const Tokens&);
// app/forget_commands.cpp
void cmd_forget(const Tokens&);
void cmd_rebuild_forgotten_streets(const Tokens&);
void cmd_solve_all_splits(const Tokens&);
void cmd_solve_partial(const Tokens&);
void cmd_explo_partial(const Tokens&);
// app/lock_commands.cpp
void cmd_lock_node(const Tokens&);
void cmd_unlock_node(const Tokens&);
void cmd_set_strategy(const Tokens&);
// app/solver_commands.cpp
void cmd_go(const Tokens&);
void cmd_stop(const Tokens&);
void cmd_wait_for_solver(const Tokens&);
void cmd_sleep(const Tokens&);
void cmd_take_a_break(const Tokens&);
void cmd_calc_results(const Tokens&);
// app/category_commands.cpp
void cmd_show_category_names(const Tokens&);
void cmd_show_categories(const Tokens&);
// app/compression_commands.cpp
void cmd_ai6_set_compression(const Tokens&);
void cmd_ai6_get_actual_compression(const Tokens&);
void cmd_show_memory_need(const Tokens&);
// app/query_commands.cpp
void cmd_show_strategy(const Tokens&);
void cmd_show_strategy_pp(const Tokens&);
void cmd_show_range(const Tokens&);
void cmd_calc_ev(const Tokens&);
void cmd_calc_ev_pp(const Tokens&);
void cmd_calc_ev_line(const Tokens&);
void cmd_calc_eq(const Tokens&);
void cmd_calc_eq_pp(const Tokens&);
void cmd_calc_eq_node(const Tokens&);
