// Settings and status commands.
#include <omp.h>

#include <algorithm>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "core/settings.h"
#include "solver/solver.h"
#include "cards/game.h"
#include "platform/platform.h"
#include "kernels/kernels.h"
#include "travanto_version.h"

void cmd_set_threads(Session&, const Tokens& t) {
  int n = parse_int(t[1]);
  if (n < 1) n = omp_get_max_threads();
  if (n > max_thread_count()) {
    print_out("#threads capped at %d (4 per processor), %d asked\n", max_thread_count(), n);
    n = max_thread_count();
  }
  set_worker_count(n);
  answer_ok(t);
}

void cmd_set_accuracy(Session& s, const Tokens& t) {
  if (t.size() < 2) argument_error();
  double value = parse_double(t[1]);
  if (value < 0) argument_error();
  // "fraction" scales by the root pot of this moment; a later set_pot does not rescale.
  if (t.size() > 2 && t[2] == "fraction") value *= s.game.root_pot();
  s.settings.accuracy = value;
  answer_ok(t);
}

void cmd_set_recalc_accuracy(Session& s, const Tokens& t) {
  std::array<double, 3> values{};
  for (int i = 0; i < 3; ++i) values[i] = parse_double(t[i + 1]) * s.game.root_pot();
  s.settings.recalc_accuracy = values;
  answer_ok(t);
}

void cmd_set_isomorphism(Session& s, const Tokens& t) {
  s.settings.isomorphism[0] = t[1] != "0";
  s.settings.isomorphism[1] = t[2] != "0";
  answer_ok(t);
}

// "set_all_hands 1": the next tree lists every hand for both players, so that hands outside a
// range get strategies too; "0" (the default) lists each range's hands only.
void cmd_set_all_hands(Session& s, const Tokens& t) {
  s.settings.all_hands = t[1] != "0";
  answer_ok(t);
}

void cmd_show_settings(Session&, const Tokens&) { print_out("END\n"); }

void cmd_solver_time(Session&, const Tokens&) {
  print_out("%f\n", double(platform::wall_clock_100ns() - start_time()) / 10'000'000.0);
}

void cmd_show_memory(Session&, const Tokens&) {
  platform::MemoryStatus s = platform::memory_status();
  print_out("Total Physical Memory: %d MB\n", int(s.total_bytes >> 20));
  // Derived from the load percentage, as the reference status reports it.
  double available = double(s.total_bytes) * (100 - s.load_percent) / 100 / 1024 / 1024;
  print_out("Available Phys Memory: %d MB\n", int(available));
  print_out("END\n");
}

void cmd_ai6_get_instruction_set(Session&, const Tokens&) {
  print_out("%s\n", platform::cpu_has_avx2() ? "AVX2" : platform::cpu_has_avx() ? "AVX" : "SSE3");
}

// The build's version (git describe when it was built from a checkout) and the kernel set the
// solver runs on this processor ("avx2" or "plain").
void cmd_show_version(Session&, const Tokens&) {
  print_out("travanto %s %s\n", TRAVANTO_VERSION, kernels::active_kernels().name);
  print_out("END\n");
}
