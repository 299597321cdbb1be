// Start-up: floating-point mode, runtimes, tables, banner, then the command loop.
#include <omp.h>

#include <cstdio>
#include <cstring>

#include "app/commands.h"
#include "core/output.h"
#include "app/process_watch.h"
#include "app/session.h"
#include "solver/solver.h"
#include "cards/evaluator.h"
#include "cards/hand_order.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  remember_original_stdout();
  occupy_closed_standard_descriptors();
  platform::remove_temporaries_on_signals();
  platform::set_flush_denormals();
  set_worker_count(omp_get_max_threads());
  start_process_watch();
  init_hand_tables();
  set_gui_mode(argc > 1 && std::strcmp(argv[1], "/gui") == 0);
  set_start_time(platform::wall_clock_100ns());
  std::fputs("Travanto (kelmarine) build 1017 (Dec 11 2015, 15:41:04) \n", stdout);
  std::fflush(stdout);
  build_hand_order_tables();
  // The conversation's state; end_process leaves without destroying it (a run may be going).
  Session session;
  end_process(run_command_loop(session));
}
