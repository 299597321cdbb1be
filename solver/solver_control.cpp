#include "solver/solver_control.h"

#include <omp.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "solver/solver.h"
#include "storage/value_array.h"

namespace {

constexpr int kCheckPeriod = 25;

std::int64_t clock_ns() {
  return std::int64_t(double(platform::performance_counter()) * 1e9 / double(platform::performance_frequency()));
}

}  // namespace

SolverControl::~SolverControl() {
  request_stop();
  wait();
}

void SolverControl::print_record(const ResultRecord& r) {
  if (listener_) listener_->checked(r, report_pot_);
}

void SolverControl::pass_progress(int percent) {
  if (stop_requested_ && listener_) listener_->progress(percent);
}

void SolverControl::report_progress() {
  std::vector<ResultRecord> copy;
  {
    std::lock_guard<std::mutex> lock(results_lock_);
    copy = history_;
  }
  if (copy.size() > reported_count_) {
    reported_count_ = copy.size();
    print_record(copy.back());
    reported_iteration_ = copy.back().iterations;
  }
  std::this_thread::yield();
}

// The run's iterations and checks until a stop rule fires; the reason it stopped.
const char* SolverControl::run_until_stopped(GameTree* tree, SolverState* state) {
  const char* reason = "requested";
  if (listener_) listener_->started();
  int start_iteration = state->iterations;
  std::int64_t t0 = clock_ns(), last_check = t0, check_interval_ms = 0;
  for (;;) {
    if (stop_requested_ || state->iterations >= state->params.iteration_cap) break;
    apply_thread_count();
    std::unique_lock<std::mutex> iteration = lock_iteration();
    run_iteration(*tree, *state);
    int it = state->iterations;
    std::int64_t now = clock_ns();
    if (it >= kCheckPeriod && it % kCheckPeriod == 0 && (now - last_check) / 1'000'000 >= check_interval_ms) {
      last_check = now;
      check_interval_ms = it < 4 * kCheckPeriod ? 250 : 500;
      PassResult oop = evaluate_player(*tree, *state, 0);
      PassResult ip = evaluate_player(*tree, *state, 1);
      ResultRecord r;
      r.iterations = std::uint32_t(it);
      r.running_time = double((last_check - t0) / 1'000'000) / 1000;
      r.ev[0] = oop.value;
      r.ev[1] = ip.value;
      r.mes[0] = oop.best_response;
      r.mes[1] = ip.best_response;
      r.exploitability = (oop.best_response + ip.best_response) / 2;
      {
        // The state keeps them too, so a report right after the run needs no new evaluation.
        std::lock_guard<std::mutex> tree_lock(solver_mutex());
        state->results = {{r.mes[0], r.mes[1]}, {r.ev[0], r.ev[1]}, r.exploitability, it};
      }
      iteration.unlock();
      {
        std::lock_guard<std::mutex> lock(results_lock_);
        history_.push_back(r);
      }
      report_progress();
      if (settings_->accuracy >= r.exploitability) {
        reason = "required accuracy reached";
        break;
      }
    }
    if (steps_mode_) {
      if (std::int64_t(it) - start_iteration >= limit_) {
        reason = "required number of steps done";
        break;
      }
    } else if (limit_ > 0 && (clock_ns() - t0) / 1'000'000'000 >= limit_) {
      reason = "timeout reached";
      break;
    }
    if (stop_requested_) break;
  }
  return reason;
}

void SolverControl::thread_main(GameTree* tree, SolverState* state) {
  platform::set_flush_denormals();
  mark_solver_thread();
  // A failed allocation (or a worker thread that cannot be made) ends the run; an iteration it
  // hit stays half done.
  const char* reason = "out of memory";
  try {
    reason = run_until_stopped(tree, state);
  } catch (const std::exception&) {
  }
  // Running is cleared and the waiter woken only after the stop line is out, so that
  // wait_for_solver returns with the line written.
  std::lock_guard<std::mutex> lock(wait_lock_);
  stop_requested_ = false;
  if (listener_) listener_->stopped(reason);
  state->run = nullptr;
  tree_in_use_ = false;
  running_ = false;
  stopped_.notify_all();
}

bool SolverControl::start(GameTree& tree, SolverState& state, const Settings& settings, const SolverSchedule& schedule, double pot,
                          int limit, bool steps_mode) {
  if (running_ || tree.has_flag(INCOMPLETE_TREE)) return false;
  steps_mode_ = steps_mode;
  limit_ = limit;
  settings_ = &settings;
  {
    std::lock_guard<std::mutex> lock(results_lock_);
    history_.clear();
  }
  reported_count_ = 0;
  reported_iteration_ = 0;
  if (!allocate_tree_storage(tree)) return false;
  // The schedule set last takes over here; the one the state already follows goes on.
  if (!(state.schedule == schedule)) {
    state.schedule = schedule;
    state.schedule_origin = state.iterations;
  }
  std::lock_guard<std::mutex> lock(wait_lock_);
  running_ = true;
  report_pot_ = pot;
  tree_in_use_ = true;
  state.run = this;
  // The solver thread and its workers need address space for their stacks; a thread that
  // cannot be made leaves the solver idle.
  try {
    if (!platform::threads_fit(worker_count() + 1)) throw std::bad_alloc();
    std::thread([this, t = &tree, st = &state] { thread_main(t, st); }).detach();
  } catch (const std::exception&) {
    state.run = nullptr;
    tree_in_use_ = false;
    running_ = false;
    return false;
  }
  return true;
}

void SolverControl::request_stop() {
  if (running_) stop_requested_ = true;
}

void SolverControl::wait() {
  std::unique_lock<std::mutex> lock(wait_lock_);
  stopped_.wait(lock, [&] { return !running_; });
}

bool current_results(GameTree& tree, SolverState& state, ResultRecord& record) {
  TreeResults r;
  if (!evaluate_both(tree, state, &r)) return false;
  record.iterations = std::uint32_t(r.iteration);
  record.running_time = 0;
  record.ev[0] = r.ev[0];
  record.ev[1] = r.ev[1];
  record.mes[0] = r.mes[0];
  record.mes[1] = r.mes[1];
  record.exploitability = r.exploitability;
  return true;
}
