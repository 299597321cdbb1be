#pragma once
// Per-thread stack of hand vectors for the traversal: each recursion step takes its vectors on
// entry and gives them back on exit, so a pass allocates nothing after its first iterations.
// Blocks outlive their threads: a thread that ends hands them to a process-wide pool, which the
// next workers (every solve starts a new thread and its own OpenMP team) take them from.
#include <cstddef>
#include <vector>

#include "storage/scratch.h"

class ScratchStack {
 public:
  // The calling thread's stack.
  static ScratchStack& local();

  // n doubles, 64-byte aligned, valid until the Frame that was open when they were taken ends.
  double* take(std::size_t n);

  // Puts blocks into the pool, touched, until it holds `workers` of them: the first pass of a
  // solve then pays neither the allocation nor the first touch of its workers' stacks.
  static void prepare(int workers);

  // Restores the stack to its height at construction.
  class Frame {
   public:
    Frame() : stack_(local()), block_(stack_.block_), used_(stack_.used_) {}
    ~Frame() {
      stack_.block_ = block_;
      stack_.used_ = used_;
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    double* take(std::size_t n) { return stack_.take(n); }
    double* zeros(std::size_t n);

   private:
    ScratchStack& stack_;
    std::size_t block_, used_;
  };

  ~ScratchStack();

 private:
  static constexpr std::size_t kBlockDoubles = std::size_t(1) << 20;  // 8 MB per block
  std::vector<double*> blocks_;  // blocks_[0] from the pool; later ones may be larger
  std::size_t block_ = 0;  // current block
  std::size_t used_ = 0;   // doubles used in it
};
