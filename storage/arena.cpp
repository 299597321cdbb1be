// Arenas, plain blocks and the per-thread stream buffer pools.
#include "storage/arena.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"
#include "storage/scratch.h"

namespace {

[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::_Exit(1);
}

std::int64_t round_up(std::int64_t bytes, std::int64_t multiple) { return (bytes + multiple - 1) / multiple * multiple; }

}  // namespace

// Reservations cost address space, not memory: the entropy-coded store reserves what its coder
// can write in the worst case (a context byte, two escape bytes and four value bytes per value, a
// flag byte per row and block headers in the slack), so that data that do not compress never end
// the process.
std::int64_t high_store_reserve_size(std::int64_t values) { return round_up(8 * values + 65536, 4096); }

std::int64_t medium_store_reserve_size(std::int64_t values, bool sixteen_bit) {
  return round_up((values + 31) / 32 + (sixteen_bit ? 2 : 4) * values, 65536);
}

void ensure_committed(ReservedArena& arena, std::int32_t bytes) {
  // 32-bit arithmetic, as the stores' sizes are: one store stays below 2^31 bytes.
  std::int32_t needed = std::int32_t((std::uint32_t(bytes) + arena.granule_mask) & ~arena.granule_mask);
  arena.needed = needed;
  arena.raw_used = bytes;
  if (arena.needed <= arena.committed) return;
  if (arena.needed > arena.reserve_size) fatal("out of memory (not enough reserved)");
  arena.committed = arena.needed;
  if (arena.base == nullptr) {
    arena.base = static_cast<std::uint8_t*>(platform::reserve_memory(std::size_t(arena.reserve_size)));
    if (arena.base == nullptr) fatal("VirtuaAlloc reserve fail");
  }
  if (!platform::commit_memory(arena.base, std::size_t(arena.committed))) fatal("VirtualAlloc commit fail");
}

bool release_arena(ReservedArena& arena) {
  if (arena.base == nullptr) return false;
  bool ok = platform::release_memory(arena.base, std::size_t(arena.reserve_size));
  arena.base = nullptr;
  arena.committed = 0;
  arena.needed = 0;
  arena.raw_used = 0;
  if (!ok) throw std::runtime_error("VirtualFree fail");
  return true;
}

bool allocate_plain_block(PlainBlock& block, std::size_t count, std::size_t element_size) {
  std::size_t bytes = count * element_size;
  void* base = bytes == 0 ? nullptr : platform::reserve_and_commit(bytes);
  if (base == nullptr && bytes != 0) return false;
  // Freshly committed pages read as zero: no fill (large blocks take no memory where untouched).
  block.base = base;
  block.size = bytes;
  return true;
}

void release_plain_block(PlainBlock& block) {
  if (block.base != nullptr) platform::release_memory(block.base, block.size);
  block.base = nullptr;
  block.size = 0;
}

namespace {

struct StreamBufferPool {
  std::vector<StreamBufferSet*> sets;
  ~StreamBufferPool() {
    for (StreamBufferSet* set : sets) {
      for (std::uint8_t* buffer : set->buffers) aligned_heap_free(buffer);
      delete set;
    }
  }
};

StreamBufferPool& thread_pool() { return platform::per_thread_object<StreamBufferPool>(); }

}  // namespace

StreamBufferSet* acquire_stream_buffers() {
  StreamBufferPool& pool = thread_pool();
  if (pool.sets.empty()) return new StreamBufferSet();
  StreamBufferSet* set = pool.sets.back();
  pool.sets.pop_back();
  return set;
}

void return_stream_buffers(StreamBufferSet* set) {
  if (set != nullptr) thread_pool().sets.push_back(set);
}

void grow_stream_buffer(StreamBufferSet& set, int stream, std::uint32_t bytes) {
  if (bytes <= set.capacities[stream] && set.buffers[stream] != nullptr) return;
  std::uint64_t step = (stream == 1 || stream == 17) ? 65536 : 16384;
  std::uint64_t capacity = (std::uint64_t(bytes) + step - 1) / step * step;
  if (capacity == 0) capacity = step;
  void* grown = aligned_heap_reallocate(set.buffers[stream], std::size_t(capacity), 16);
  if (grown == nullptr) throw std::bad_alloc();
  set.buffers[stream] = static_cast<std::uint8_t*>(grown);
  set.capacities[stream] = std::uint32_t(capacity);
}
