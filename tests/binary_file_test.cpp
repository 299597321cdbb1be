// Tree-file streams: round trips around the block ring with an unaligned tail or an end on a
// block boundary, the end of the data, short files, and file systems without direct transfers.
#include "storage/binary_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <random>
#include <vector>

#include "storage_files.h"

namespace {

using namespace storage_test;

// Transfers of every size class: small fields between large rows, more than the ring's four
// 16 MB blocks in all, ending off any alignment.
std::vector<std::vector<std::uint8_t>> transfers() {
  std::mt19937 rng(3);
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t bytes : {std::size_t(1), std::size_t(7), std::size_t(40) << 20, std::size_t(4096), std::size_t(3),
                            std::size_t(33) << 20, std::size_t(12345), std::size_t(5)}) {
    std::vector<std::uint8_t> v(bytes);
    for (auto& b : v) b = std::uint8_t(rng());
    out.push_back(std::move(v));
  }
  return out;
}

void round_trip_in(const fs::path& dir) {
  auto data = transfers();
  std::string path = (dir / "stream.bin").string();
  std::uint64_t written_sum = 0, total = 0;
  {
    BinaryFile file(path, BinaryFile::Mode::write);
    for (auto& v : data) file.write(v.data(), v.size()), total += v.size();
    written_sum = file.checksum();
    file.commit();
  }
  ASSERT_EQ(fs::file_size(path), total);
  BinaryFile file(path, BinaryFile::Mode::read);
  for (auto& v : data) {
    EXPECT_FALSE(file.at_end());
    std::vector<std::uint8_t> back(v.size());
    file.read(back.data(), back.size());
    ASSERT_EQ(back, v);
  }
  EXPECT_TRUE(file.at_end());
  EXPECT_TRUE(file.at_end()) << "asking again";
  EXPECT_EQ(file.checksum(), written_sum);
  std::uint8_t byte = 0;
  EXPECT_THROW(file.read(&byte, 1), IOException);
}

TEST(BinaryFile, RoundTripsThroughSeveralBlocks) { round_trip_in(TempDir().path); }

// /dev/shm is a memory file system, which on many kernels refuses direct transfers.
TEST(BinaryFile, RoundTripsWhereDirectTransfersAreRefused) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  char pattern[] = "/dev/shm/travanto-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no folder in /dev/shm";
  round_trip_in(pattern);
  fs::remove_all(pattern);
}

// Files of whole blocks: the last block is full, and the end shows as a read of nothing. Short
// files end and throw; the checksum of a small file is the one stored tree files carry.
TEST(BinaryFile, WholeBlocksShortFilesAndChecksum) {
  TempDir dir;
  std::string path = dir / "blocks.bin";
  for (std::size_t blocks : {0, 1, 4, 5}) {
    std::vector<std::uint8_t> data(blocks == 0 ? 4 : blocks << 24), back(data.size());
    std::iota(data.begin(), data.end(), std::uint8_t(blocks));
    {
      BinaryFile file(path, BinaryFile::Mode::write);
      file.write(data.data(), data.size());
      if (blocks == 0) {
        EXPECT_EQ(file.checksum(), 5794678828558472845ull);
      }
      file.commit();
    }
    ASSERT_EQ(fs::file_size(path), data.size());
    BinaryFile file(path, BinaryFile::Mode::read);
    file.read(back.data(), back.size());
    EXPECT_TRUE(back == data) << blocks << " blocks";
    EXPECT_TRUE(file.at_end()) << blocks << " blocks";
    try {
      std::uint64_t wide = 0;
      file.read(&wide, sizeof wide);
      ADD_FAILURE() << "read past the end";
    } catch (const IOException& e) {
      EXPECT_STREQ(e.what(), "can't read from file");
    }
  }
  BinaryFile(path, BinaryFile::Mode::write).commit();
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_TRUE(BinaryFile(path, BinaryFile::Mode::read).at_end());
}

}  // namespace
