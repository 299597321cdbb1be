#pragma once
// Per-thread stack of hand vectors for the traversal: each recursion step takes its vectors on
// entry and gives them back on exit, so a pass allocates nothing after its first iterations.
#include <cstddef>
#include <vector>

#include "storage/scratch.h"

class ScratchStack {
 public:
  // The calling thread's stack.
  static ScratchStack& local();

  // n doubles, 64-byte aligned, valid until the Frame that was open when they were taken ends.
  double* take(std::size_t n);

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
  std::vector<double*> blocks_;
  std::size_t block_ = 0;  // current block
  std::size_t used_ = 0;   // doubles used in it
};
