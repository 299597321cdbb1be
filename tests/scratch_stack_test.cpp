// The traversal's per-thread stacks: frames give back what they took, vectors stay aligned, and
// a thread that ends leaves its block to the next thread instead of to the allocator.
#include "solver/scratch_stack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace {

double* first_vector_of_a_new_thread() {
  double* p = nullptr;
  std::thread([&] {
    ScratchStack::Frame frame;
    p = frame.take(3);
  }).join();
  return p;
}

TEST(ScratchStack, FramesRestoreTheHeightAndKeepVectorsAligned) {
  ScratchStack::Frame outer;
  double* a = outer.take(3);
  double* b = nullptr;
  {
    ScratchStack::Frame inner;
    b = inner.take(5);
    EXPECT_EQ(b, a + 8) << "vectors start on 64-byte boundaries";
    double* z = inner.zeros(9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(z[i], 0.0);
  }
  EXPECT_EQ(outer.take(5), b) << "the inner frame gave its vectors back";
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 64, 0u);
  // A request larger than a block gets a block of its own.
  double* big = outer.take(std::size_t(3) << 20);
  big[(std::size_t(3) << 20) - 1] = 1.0;
}

TEST(ScratchStack, EndedThreadsLeaveTheirBlocksToTheNextThreads) {
  ScratchStack::prepare(2);
  double* first = first_vector_of_a_new_thread();
  EXPECT_EQ(first_vector_of_a_new_thread(), first);
  EXPECT_EQ(first_vector_of_a_new_thread(), first);
}

}  // namespace
