#include "solver/scratch_stack.h"

#include <algorithm>

ScratchStack& ScratchStack::local() {
  thread_local ScratchStack stack;
  return stack;
}

double* ScratchStack::take(std::size_t n) {
  n = (n + 7) & ~std::size_t(7);  // keep every vector 64-byte aligned
  if (blocks_.empty()) blocks_.push_back(static_cast<double*>(scratch_allocate(kBlockDoubles * sizeof(double))));
  if (used_ + n > kBlockDoubles) {
    ++block_;
    used_ = 0;
    if (block_ == blocks_.size())
      blocks_.push_back(static_cast<double*>(scratch_allocate(std::max(n, kBlockDoubles) * sizeof(double))));
  }
  double* p = blocks_[block_] + used_;
  used_ += n;
  return p;
}

double* ScratchStack::Frame::zeros(std::size_t n) {
  double* p = take(n);
  std::fill(p, p + n, 0.0);
  return p;
}

ScratchStack::~ScratchStack() {
  for (double* b : blocks_) scratch_free(b);
}
