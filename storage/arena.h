#pragma once
// Memory for per-node data outside the general heap.
// - ReservedArena: one address range reserved once at a fixed size and committed granule by
//   granule as a compressed store grows; its data never move.
// - PlainBlock: one uncompressed array, reserved and committed at full size in one step.
// - StreamBufferSet: per-thread growable buffers for the entropy coder's output streams.
// Exhausted address space, failed commitment, or data larger than the reservation end the
// process with status 1 after one line on standard output.
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kHighStoreGranuleMask = 4095;     // 4 KB
constexpr std::uint32_t kMediumStoreGranuleMask = 65535;  // 64 KB

struct ReservedArena {
  std::int64_t needed = 0;     // bytes the last write requires, rounded up to the granule
  std::int64_t raw_used = 0;   // bytes the last write really used
  std::int64_t committed = 0;  // bytes committed from base; only grows
  std::int64_t reserve_size = 0;
  std::uint8_t* base = nullptr;  // null until the first write
  std::uint32_t granule_mask = kHighStoreGranuleMask;
};

// Reservation sizes of the two compressed stores for n values.
std::int64_t high_store_reserve_size(std::int64_t values);
std::int64_t medium_store_reserve_size(std::int64_t values, bool sixteen_bit);

// Records a write of `bytes` and commits up to it (rounded to the granule), reserving the range
// on first use. Fatal when the rounded size exceeds reserve_size or the system refuses.
void ensure_committed(ReservedArena& arena, std::int32_t bytes);
// Gives the whole reservation back; returns false when nothing was ever reserved. A refused
// release throws std::runtime_error("VirtualFree fail").
bool release_arena(ReservedArena& arena);

struct PlainBlock {
  void* base = nullptr;
  std::size_t size = 0;  // bytes
};

// Reserves and commits count * element_size zero bytes; false (base stays null) on failure.
bool allocate_plain_block(PlainBlock& block, std::size_t count, std::size_t element_size);
// Releases the block, if any, without a check.
void release_plain_block(PlainBlock& block);

constexpr int kCoderStreams = 24;

struct StreamBufferSet {
  std::uint8_t* buffers[kCoderStreams] = {};
  std::uint32_t capacities[kCoderStreams] = {};
};

// Takes the calling thread's most recently returned set, or a new empty one.
StreamBufferSet* acquire_stream_buffers();
// Puts a set back on the calling thread's pool; the set keeps its buffers.
void return_stream_buffers(StreamBufferSet* set);
// Makes stream `stream` able to hold `bytes` bytes, keeping its contents. Capacity grows to a
// multiple of 64 KB for streams 1 and 17 and of 16 KB for the others.
void grow_stream_buffer(StreamBufferSet& set, int stream, std::uint32_t bytes);
