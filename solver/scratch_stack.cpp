#include "solver/scratch_stack.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

constexpr std::size_t kBlockBytes = std::size_t(1) << 23;
// The part of a prepared block that is touched ahead: one huge page, more than a pass of the
// largest trees takes.
constexpr std::size_t kTouchedBytes = std::size_t(2) << 20;

struct BlockPool {
  std::mutex lock;
  std::vector<double*> free;
};

// Never destroyed: threads may end after static destruction has begun.
BlockPool& pool() {
  static BlockPool* p = new BlockPool;
  return *p;
}

double* pooled_block() {
  {
    std::lock_guard<std::mutex> guard(pool().lock);
    if (!pool().free.empty()) {
      double* b = pool().free.back();
      pool().free.pop_back();
      return b;
    }
  }
  return static_cast<double*>(scratch_allocate(kBlockBytes));
}

}  // namespace

ScratchStack& ScratchStack::local() { return platform::per_thread_object<ScratchStack>(); }

void ScratchStack::prepare(int workers) {
  static_assert(kBlockDoubles * sizeof(double) == kBlockBytes);
  std::lock_guard<std::mutex> guard(pool().lock);
  while (pool().free.size() < std::size_t(std::max(workers, 0))) {
    auto* b = static_cast<double*>(scratch_allocate(kBlockBytes));
    std::memset(b, 0, kTouchedBytes);
    pool().free.push_back(b);
  }
}

double* ScratchStack::take(std::size_t n) {
  n = (n + 7) & ~std::size_t(7);  // keep every vector 64-byte aligned
  if (blocks_.empty()) blocks_.push_back(pooled_block());
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
  if (blocks_.empty()) return;
  {
    std::lock_guard<std::mutex> guard(pool().lock);
    pool().free.push_back(blocks_[0]);
  }
  for (std::size_t i = 1; i < blocks_.size(); ++i) scratch_free(blocks_[i]);
}
