#include "solver/solver_control.h"

#include <omp.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "cards/game.h"
#include "platform/platform.h"
#include "solver/solver.h"
#include "storage/value_array.h"

namespace {

constexpr int kCheckPeriod = 25;

struct Control {
  std::atomic<bool> running{false};
  bool steps_mode = false;
  int limit = 0;
  std::mutex results_lock;
  std::vector<ResultRecord> history;
  std::size_t reported_count = 0;
  std::uint32_t reported_iteration = 0;
  std::mutex wait_lock;
  std::condition_variable stopped;
  // The pot the reports add half of, read when the run starts: the solver thread never reads
  // the game description, which set_pot may change meanwhile.
  double report_pot = 0;
};

Control& control() {
  static Control c;
  return c;
}

std::int64_t clock_ns() {
  return std::int64_t(double(platform::performance_counter()) * 1e9 / double(platform::performance_frequency()));
}

SolverListener* g_listener = nullptr;

void print_record(const ResultRecord& r) {
  if (g_listener) g_listener->checked(r, control().report_pot);
}

void report_progress() {
  Control& c = control();
  std::vector<ResultRecord> copy;
  {
    std::lock_guard<std::mutex> lock(c.results_lock);
    copy = c.history;
  }
  if (copy.size() > c.reported_count) {
    c.reported_count = copy.size();
    print_record(copy.back());
    c.reported_iteration = copy.back().iterations;
  }
  std::this_thread::yield();
}

// The run's iterations and checks until a stop rule fires; the reason it stopped.
const char* run_until_stopped(GameTree* tree) {
  Control& c = control();
  const char* reason = "requested";
  if (g_listener) g_listener->started();
  int start_iteration = tree->iterations;
  std::int64_t t0 = clock_ns(), last_check = t0, check_interval_ms = 0;
  for (;;) {
    if (stop_request_flag() || tree->iterations >= tree->params.iteration_cap) break;
    apply_thread_count();
    std::unique_lock<std::mutex> iteration = lock_iteration();
    run_iteration(*tree);
    int it = tree->iterations;
    std::int64_t now = clock_ns();
    if (it >= kCheckPeriod && it % kCheckPeriod == 0 && (now - last_check) / 1'000'000 >= check_interval_ms) {
      last_check = now;
      check_interval_ms = it < 4 * kCheckPeriod ? 250 : 500;
      PassResult oop = evaluate_player(*tree, 0);
      PassResult ip = evaluate_player(*tree, 1);
      ResultRecord r;
      r.iterations = std::uint32_t(it);
      r.running_time = double((last_check - t0) / 1'000'000) / 1000;
      r.ev[0] = oop.value;
      r.ev[1] = ip.value;
      r.mes[0] = oop.best_response;
      r.mes[1] = ip.best_response;
      r.exploitability = (oop.best_response + ip.best_response) / 2;
      {
        // The tree keeps them too, so a report right after the run needs no new evaluation.
        std::lock_guard<std::mutex> tree_lock(solver_mutex());
        tree->results = {{r.mes[0], r.mes[1]}, {r.ev[0], r.ev[1]}, r.exploitability, it};
      }
      iteration.unlock();
      {
        std::lock_guard<std::mutex> lock(c.results_lock);
        c.history.push_back(r);
      }
      report_progress();
      if (settings().accuracy >= r.exploitability) {
        reason = "required accuracy reached";
        break;
      }
    }
    if (c.steps_mode) {
      if (std::int64_t(it) - start_iteration >= c.limit) {
        reason = "required number of steps done";
        break;
      }
    } else if (c.limit > 0 && (clock_ns() - t0) / 1'000'000'000 >= c.limit) {
      reason = "timeout reached";
      break;
    }
    if (stop_request_flag()) break;
  }
  return reason;
}

void solver_thread(GameTree* tree) {
  Control& c = control();
  platform::set_flush_denormals();
  mark_solver_thread();
  // A failed allocation (or a worker thread that cannot be made) ends the run; an iteration it
  // hit stays half done.
  const char* reason = "out of memory";
  try {
    reason = run_until_stopped(tree);
  } catch (const std::exception&) {
  }
  // Running is cleared and the waiter woken only after the stop line is out, so that
  // wait_for_solver returns with the line written.
  std::lock_guard<std::mutex> lock(c.wait_lock);
  stop_request_flag() = false;
  if (g_listener) g_listener->stopped(reason);
  tree_in_use() = false;
  c.running = false;
  c.stopped.notify_all();
}

}  // namespace

bool start_solver(int limit, bool steps_mode) {
  Control& c = control();
  GameTree* tree = current_tree();
  if (!tree || c.running || tree->has_flag(INCOMPLETE_TREE)) return false;
  c.steps_mode = steps_mode;
  c.limit = limit;
  {
    std::lock_guard<std::mutex> lock(c.results_lock);
    c.history.clear();
  }
  c.reported_count = 0;
  c.reported_iteration = 0;
  if (!allocate_tree_storage(*tree)) return false;
  // The schedule set last takes over here; the one the tree already follows goes on.
  if (!(tree->schedule == schedule_setting())) {
    tree->schedule = schedule_setting();
    tree->schedule_origin = tree->iterations;
  }
  std::lock_guard<std::mutex> lock(c.wait_lock);
  c.running = true;
  c.report_pot = game().root_pot();
  tree_in_use() = true;
  // The solver thread and its workers need address space for their stacks; a thread that
  // cannot be made leaves the solver idle.
  try {
    if (!platform::threads_fit(std::max(1, settings().thread_count.load()) + 1)) throw std::bad_alloc();
    std::thread(solver_thread, tree).detach();
  } catch (const std::exception&) {
    tree_in_use() = false;
    c.running = false;
    return false;
  }
  return true;
}

void request_stop() {
  if (control().running) stop_request_flag() = true;
}

bool solver_running() { return control().running; }

void wait_solver() {
  Control& c = control();
  std::unique_lock<std::mutex> lock(c.wait_lock);
  c.stopped.wait(lock, [&] { return !c.running; });
}

bool current_results(GameTree& tree, ResultRecord& record) {
  TreeResults r;
  if (!evaluate_both(tree, &r)) return false;
  record.iterations = std::uint32_t(r.iteration);
  record.running_time = 0;
  record.ev[0] = r.ev[0];
  record.ev[1] = r.ev[1];
  record.mes[0] = r.mes[0];
  record.mes[1] = r.mes[1];
  record.exploitability = r.exploitability;
  return true;
}

void set_solver_listener(SolverListener* listener) { g_listener = listener; }
SolverListener* solver_listener() { return g_listener; }
