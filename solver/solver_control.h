#pragma once
// Runs the solver on its own thread while the command loop goes on, decides when it stops and
// reports its progress to its listener. The session owns one; a run borrows the session's tree,
// solver state and settings until its stop line is out.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/settings.h"
#include "kernels/schedule.h"
#include "solver/solver_listener.h"
#include "solver/solver_state.h"
#include "tree/game_tree.h"

class SolverControl {
 public:
  SolverControl() = default;
  SolverControl(const SolverControl&) = delete;
  SolverControl& operator=(const SolverControl&) = delete;
  // Stops a run still going and waits for it: it borrows what the owner is about to free.
  ~SolverControl();

  // The listener runs report to; nullptr (the default) reports nothing. Set before any run.
  void set_listener(SolverListener* listener) { listener_ = listener; }

  // Starts a run on `tree` and its `state`: in steps mode `limit` iterations, in time mode `limit`
  // seconds (0 or less: no limit). The state takes `schedule` unless it already follows it; the run reads
  // settings.accuracy live; `pot` is what the reports add half of. False when running, the
  // tree is incomplete or storage cannot be had.
  bool start(GameTree& tree, SolverState& state, const Settings& settings, const SolverSchedule& schedule, double pot, int limit,
             bool steps_mode);
  void request_stop();
  bool running() const { return running_; }
  // From the start of a run until its stop line is out: the tree must not be replaced or have
  // its storage re-created meanwhile.
  bool tree_in_use() const { return tree_in_use_; }
  // Returns once the solver thread has printed its stop line.
  void wait();

  // From a run's passes (worker threads): the share of a pass's deals done, reported once a
  // stop is requested.
  void pass_progress(int percent);

 private:
  void thread_main(GameTree* tree, SolverState* state);
  const char* run_until_stopped(GameTree* tree, SolverState* state);
  void report_progress();
  void print_record(const ResultRecord& r);

  SolverListener* listener_ = nullptr;
  const Settings* settings_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<bool> tree_in_use_{false};
  std::atomic<bool> stop_requested_{false};
  bool steps_mode_ = false;
  int limit_ = 0;
  std::mutex results_lock_;
  std::vector<ResultRecord> history_;
  std::size_t reported_count_ = 0;
  std::uint32_t reported_iteration_ = 0;
  std::mutex wait_lock_;
  std::condition_variable stopped_;
  // The pot the reports add half of, read when the run starts: the solver thread never reads
  // the game description, which set_pot may change meanwhile.
  double report_pot_ = 0;
};

// Evaluates both players now (between the solver's passes) and keeps the results in the state.
// False when storage cannot be had.
bool current_results(GameTree& tree, SolverState& state, ResultRecord& record);
