#pragma once
// What a solver run tells the outside. The solver never prints: the front end installs a
// listener on its solver control (app/solver_reports.cpp writes the "SOLVER:" and "#" lines) and
// the solver calls it.
#include <cstdint>

struct ResultRecord {
  std::uint32_t iterations = 0;
  double running_time = 0;  // seconds since the run started
  double ev[2] = {0, 0};    // net: reports add half the pot
  double mes[2] = {0, 0};
  double exploitability = 0;
};

class SolverListener {
 public:
  virtual ~SolverListener() = default;
  // On the solver thread, before the first iteration.
  virtual void started() = 0;
  // On the solver thread, after a check: the results, and the pot the reports add half of (read
  // when the run started).
  virtual void checked(const ResultRecord& record, double pot) = 0;
  // On the solver thread, once the run has ended; the waiter wakes only after it returns.
  virtual void stopped(const char* reason) = 0;
  // From worker threads while a stop is requested: the share of a pass's deals done, 0..100.
  virtual void progress(int percent) = 0;
};
