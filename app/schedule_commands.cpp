// Choosing the solver schedule: set_solver_schedule NAME [parameters], show_solver_schedule.
#include "core/arguments.h"
#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "kernels/schedule.h"
#include "solver/solver_control.h"
#include "tree/game_tree.h"

// The next `go` gives the tree this schedule; a tree that already follows it goes on with it.
void cmd_set_solver_schedule(Session& s, const Tokens& t) {
  if (s.solver.running()) command_error("Can't do that when solver is running");
  if (t.size() < 2) argument_error();
  for (std::size_t i = 2; i < t.size(); ++i) parse_double(t[i]);  // "Invalid value" for a word that is no number
  std::string error;
  std::optional<SolverSchedule> schedule = parse_schedule(std::vector<std::string>(t.begin() + 1, t.end()), error);
  if (!schedule) command_error(error);
  s.schedule = *schedule;
  answer_ok(t);
}

// "schedule NAME parameters": the setting; a solved tree's own follows when it differs.
void cmd_show_solver_schedule(Session& s, const Tokens&) {
  print_out("schedule %s\n", describe_schedule(s.schedule).c_str());
  GameTree* tree = s.current_tree();
  const SolverState& state = s.solver_state;
  if (tree && state.iterations > 0 && !(state.schedule == s.schedule))
    print_out("tree schedule %s from iteration %d\n", describe_schedule(state.schedule).c_str(),
              state.schedule_origin);
}
