#pragma once
// How a pass schedules its deals' subgames: the job lists a walk collects (one job per dealt
// card of a split deal), the order the parallel loop takes them in, and that loop.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <vector>

namespace traversal {

// Runs body(i) for i in [0, count) on the OpenMP workers (guided schedule, chunk 1). An
// exception must not leave a parallel region (the runtime would end the process): the first
// one is kept, the iterations not yet begun are skipped, and it is raised after the loop.
template <class Body>
void parallel_for(int count, Body&& body) {
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  std::mutex failure_lock;
#pragma omp parallel for schedule(guided, 1)
  for (int i = 0; i < count; ++i) {
    if (failed.load(std::memory_order_relaxed)) continue;
    try {
      body(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(failure_lock);
      if (!failure) failure = std::current_exception();
      failed = true;
    }
  }
  if (failure) std::rethrow_exception(failure);
}

// The shared sums of one deal's jobs: offsets into the workspace's value pool.
struct DealSums {
  std::size_t values = 0, best = 0;
  int n = 0;
  int jobs = 0;
};

struct Job {
  int node;
  int turn, river;    // card node of the subgame
  std::size_t reach;  // offset of the opponent's reach (parent board's list) in the pool
  int deal;           // index of the deal's sums
};

// Job lists and their vectors, kept from pass to pass so that a pass allocates nothing once
// the pools have grown. Passes are serialised by the solver mutex, so one workspace serves all.
struct Workspace {
  std::vector<Job> jobs;  // each deal's jobs consecutive, deals in the order the walk met them
  std::vector<DealSums> deals;
  std::vector<std::size_t> order;        // the order in which the parallel loop takes the jobs
  std::vector<std::size_t> deal_starts;  // index of each deal's first job
  std::vector<double> pool;
  std::size_t used = 0;

  void clear() {
    jobs.clear();
    deals.clear();
    used = 0;
  }
  // Room for n doubles; offsets stay valid when the pool grows.
  std::size_t take(std::size_t n) {
    std::size_t at = used;
    used += (n + 7) & ~std::size_t(7);
    if (pool.size() < used) pool.resize(std::max(used, pool.size() * 2));
    return at;
  }
  double* at(std::size_t offset) { return pool.data() + offset; }
  // Fills `order` (see traversal_jobs.cpp).
  void order_jobs();
};

// The one workspace.
Workspace& workspace();

}  // namespace traversal
