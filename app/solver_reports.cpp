// The solver's reports as protocol lines: the listener the solver calls, written at once
// ("SOLVER:" blocks, or single "#SOLVER:" lines with /gui), and the storage rates.
#include "app/commands.h"
#include "core/output.h"
#include "solver/solver_listener.h"
#include "storage/value_array.h"

namespace {

class ProtocolReports final : public SolverListener {
 public:
  void started() override { print_now("SOLVER: started\n"); }

  void checked(const ResultRecord& r, double pot) override {
    double half = pot / 2;
    if (gui_mode())
      print_now("#SOLVER:\trunning time: %.3f\tEV OOP: %.3f\tEV IP: %.3f\tOOP's MES: %.3f\tIP's MES: %.3f\tExploitable for: %.3f\tEND\n",
                r.running_time, r.ev[0] + half, r.ev[1] + half, r.mes[0] + half, r.mes[1] + half, r.exploitability);
    else
      print_now("SOLVER:\nrunning time: %.3f\nEV OOP: %.3f\nEV IP: %.3f\nOOP's MES: %.3f\nIP's MES: %.3f\nExploitable for: %.3f\nEND\n",
                r.running_time, r.ev[0] + half, r.ev[1] + half, r.mes[0] + half, r.mes[1] + half, r.exploitability);
    print_now("#%d iterations\n", int(r.iterations));
    print_storage_rates(r.running_time, true);
  }

  void stopped(const char* reason) override { print_now("SOLVER: stopped (%s)\n", reason); }

  void progress(int percent) override { print_out("#progress %d\n", percent); }
};

}  // namespace

void install_solver_reports(Session& session) {
  static ProtocolReports reports;  // writes to the output channel only: one serves every session
  session.solver.set_listener(&reports);
}

void print_storage_rates(double seconds, bool immediate) {
  const StorageStatistics& s = storage_statistics();
  auto rate = [seconds](std::uint64_t bytes) { return seconds > 0 ? int(double(bytes) / seconds / 1024 / 1024) : 0; };
  int read = rate(s.bytes_read), write = rate(s.bytes_written);
  if (immediate)
    print_now("#storage %d MB/s read, %d MB/s write\n", read, write);
  else
    print_out("#storage %d MB/s read, %d MB/s write\n", read, write);
}
