// Starting, stopping and waiting for the solver; results.
#include <chrono>
#include <thread>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/game.h"
#include "solver/solver_control.h"

void cmd_go(Session& s, const Tokens& t) {
  GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  if (s.solver.running()) command_error("Can't do that when solver is running");
  if (tree->has_flag(INCOMPLETE_TREE)) command_error("incomplete tree");
  int limit = 0;
  bool steps = false;
  if (t.size() >= 2) {
    if (t.size() < 3) argument_error();
    limit = parse_int(t[1]);
    if (t[2] == "steps")
      steps = true;
    else if (t[2] != "seconds")
      argument_error();
  }
  if (!s.solver.start(*tree, s.solver_state, s.settings, s.schedule, s.game.root_pot(), limit, steps)) command_error("out of memory");
  answer_ok(t);
}

void cmd_stop(Session& s, const Tokens& t) {
  s.solver.request_stop();
  answer_ok(t);
}

void cmd_wait_for_solver(Session& s, const Tokens&) { s.solver.wait(); }

void cmd_sleep(Session&, const Tokens& t) {
  int ms = parse_int(t[1]);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void cmd_take_a_break(Session& s, const Tokens& t) {
  int seconds = parse_int(t[1]);
  s.solver.request_stop();
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::int64_t(seconds) * 1000));
  answer_ok(t);
}

void cmd_calc_results(Session& s, const Tokens&) {
  GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  ResultRecord r;
  if (!current_results(*tree, s.solver_state, r)) command_error("out of memory");
  double half = s.game.root_pot() / 2;
  print_out("EV OOP: %.3f\nEV IP: %.3f\nOOP's MES: %.3f\nIP's MES: %.3f\nExploitable for: %.3f\nEND\n", r.ev[0] + half,
            r.ev[1] + half, r.mes[0] + half, r.mes[1] + half, r.exploitability);
  print_out("#%d iterations\n", int(r.iterations));
  print_storage_rates(0, false);
}
