// Reserved arenas, plain blocks and stream buffer pools.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "storage/arena.h"

namespace {

// Commits whole granules of either store, keeps the data in place when it grows and never
// shrinks; a released or never written arena releases nothing. (Plain blocks reading zero: the
// plain value array tests; here only a refused size.)
TEST(ReservedArena, CommitsWholeGranulesAndNeverShrinks) {
  ReservedArena arena, medium;
  arena.reserve_size = 3 * 4096;
  ensure_committed(arena, 5000);
  ASSERT_NE(arena.base, nullptr);
  EXPECT_EQ(arena.committed, 8192);
  std::memset(arena.base, 0x5A, 8192);
  std::uint8_t* base = arena.base;
  ensure_committed(arena, 100);
  EXPECT_TRUE(arena.raw_used == 100 && arena.committed == 8192);
  ensure_committed(arena, 3 * 4096);
  EXPECT_TRUE(arena.committed == 3 * 4096 && arena.base == base && arena.base[8191] == 0x5A);
  arena.base[3 * 4096 - 1] = 1;
  EXPECT_TRUE(release_arena(arena));
  EXPECT_EQ(arena.base, nullptr);
  EXPECT_FALSE(release_arena(arena));
  medium.reserve_size = medium_store_reserve_size(100000, true);
  medium.granule_mask = kMediumStoreGranuleMask;
  ensure_committed(medium, 65537);
  EXPECT_EQ(medium.committed, 131072);
  release_arena(medium);
  PlainBlock huge;
  EXPECT_FALSE(allocate_plain_block(huge, std::size_t(1) << 61, 4));
  EXPECT_EQ(huge.base, nullptr);
}

// The fatal messages go to standard output; the death tests route it to the error stream,
// which is what EXPECT_EXIT inspects. The exact reserve fits; one byte more, or a range the
// machine cannot reserve, ends the process.
TEST(ReservedArenaDeathTest, PastTheReserveOrUnreservableEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ReservedArena arena, huge;
  arena.reserve_size = 2 * 4096;
  huge.reserve_size = std::int64_t(1) << 62;
  ensure_committed(arena, std::int32_t(arena.reserve_size));
  std::memset(arena.base, 1, std::size_t(arena.reserve_size));
  EXPECT_EXIT((dup2(2, 1), ensure_committed(arena, std::int32_t(arena.reserve_size) + 1)), ::testing::ExitedWithCode(1),
              "out of memory \\(not enough reserved\\)");
  EXPECT_EXIT((dup2(2, 1), ensure_committed(huge, 10)), ::testing::ExitedWithCode(1), "VirtuaAlloc reserve fail");
  release_arena(arena);
}

// Buffers grow in whole steps (64 KB for streams 1 and 17, 16 KB for others) and keep their
// data; a set goes back to this thread's pool with its buffers, and another thread gets its own.
TEST(StreamBuffers, GrowKeepingTheirDataAndRecyclePerThread) {
  StreamBufferSet* set = acquire_stream_buffers();
  EXPECT_EQ(set->buffers[1], nullptr);
  grow_stream_buffer(*set, 17, 70000);
  grow_stream_buffer(*set, 0, 16384);
  EXPECT_EQ(set->capacities[17], 131072u) << "steps of 64 KB";
  EXPECT_EQ(set->capacities[0], 16384u) << "an exact fit takes no more";
  std::memset(set->buffers[0], 0x33, 16384);
  grow_stream_buffer(*set, 0, 16385);
  EXPECT_TRUE(set->capacities[0] == 32768u && set->buffers[0][16383] == 0x33);
  return_stream_buffers(set);
  EXPECT_EQ(acquire_stream_buffers(), set);
  return_stream_buffers(set);
  StreamBufferSet* other = nullptr;
  std::thread([&] {
    other = acquire_stream_buffers();
    EXPECT_EQ(other->buffers[0], nullptr);
    return_stream_buffers(other);
  }).join();
  EXPECT_NE(other, set);
}

}  // namespace
