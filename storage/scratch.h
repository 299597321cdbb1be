#pragma once
// Solver scratch memory from the scalable allocator, aligned so that vector loads of a row
// never split a cache line at its start.
#include <cstddef>
#include <new>
#include <vector>

#ifdef _WIN32
#include <malloc.h>
#else
#include <tbb/scalable_allocator.h>
#endif

// The aligned heap behind scratch memory and the coders' stream buffers: tbbmalloc's per-thread
// pools; on Windows, where the toolchain has no build of it, the C runtime's aligned heap.
#ifdef _WIN32
inline void* aligned_heap_allocate(std::size_t bytes, std::size_t alignment) { return _aligned_malloc(bytes, alignment); }
inline void* aligned_heap_reallocate(void* p, std::size_t bytes, std::size_t alignment) {
  return _aligned_realloc(p, bytes, alignment);
}
inline void aligned_heap_free(void* p) { _aligned_free(p); }
#else
inline void* aligned_heap_allocate(std::size_t bytes, std::size_t alignment) {
  return scalable_aligned_malloc(bytes, alignment);
}
inline void* aligned_heap_reallocate(void* p, std::size_t bytes, std::size_t alignment) {
  return scalable_aligned_realloc(p, bytes, alignment);
}
inline void aligned_heap_free(void* p) { scalable_aligned_free(p); }
#endif

constexpr std::size_t kScratchAlignment = 128;

inline void* scratch_allocate(std::size_t bytes, std::size_t alignment = kScratchAlignment) {
  void* p = aligned_heap_allocate(bytes == 0 ? alignment : bytes, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
inline void scratch_free(void* p) { aligned_heap_free(p); }

// Standard allocator over scratch_allocate, for std::vector.
template <class T, std::size_t Alignment = kScratchAlignment>
struct ScratchAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = ScratchAllocator<U, Alignment>;
  };
  ScratchAllocator() = default;
  template <class U>
  ScratchAllocator(const ScratchAllocator<U, Alignment>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(scratch_allocate(n * sizeof(T), Alignment)); }
  void deallocate(T* p, std::size_t) { scratch_free(p); }
  template <class U>
  bool operator==(const ScratchAllocator<U, Alignment>&) const {
    return true;
  }
};

// A hand vector: one double per hand of a board's list.
using HandVector = std::vector<double, ScratchAllocator<double>>;
