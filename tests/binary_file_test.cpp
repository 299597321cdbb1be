// Tree-file streams: round trips around the block ring with an unaligned tail or an end on a
// block boundary, the end of the data, short and empty files, the checksum tree files carry, and
// file systems without direct transfers.
#include "storage/binary_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "storage_files.h"

namespace {

using namespace storage_test;

// Each file is written as transfers of the given sizes and read back the same way: small fields
// between large rows past the ring's four 16 MB blocks, ending off any alignment; files of whole
// blocks, whose end shows as a read of nothing; a small file with its pinned checksum; an empty
// file. A read past the end throws.
void round_trips_in(const fs::path& dir, bool all) {
  const std::size_t mb = std::size_t(1) << 20;
  const std::vector<std::vector<std::size_t>> files = {
      {1, 7, 40 * mb, 4096, 3, 33 * mb, 12345, 5}, {16 * mb}, {32 * mb, 32 * mb}, {80 * mb}, {4}, {}};
  std::mt19937 rng(3);
  std::string path = (dir / "stream.bin").string();
  for (std::size_t f = 0; f < (all ? files.size() : 1); ++f) {
    std::vector<Bytes> data;
    std::uint64_t written_sum = 0, total = 0;
    BinaryFile out(path, BinaryFile::Mode::write);
    for (std::size_t bytes : files[f]) {
      data.emplace_back(bytes);
      for (auto& b : data.back()) b = std::uint8_t(bytes == 4 ? &b - data.back().data() : rng());
      out.write(data.back().data(), bytes);
      total += bytes;
    }
    written_sum = out.checksum();
    out.commit();
    EXPECT_TRUE(files[f] != std::vector<std::size_t>{4} || written_sum == 5794678828558472845ull) << "the checksum tree files carry";
    ASSERT_EQ(fs::file_size(path), total);
    BinaryFile file(path, BinaryFile::Mode::read);
    for (auto& v : data) {
      EXPECT_FALSE(file.at_end());
      Bytes back(v.size());
      file.read(back.data(), back.size());
      ASSERT_TRUE(back == v) << "file " << f;
    }
    EXPECT_TRUE(file.at_end() && file.at_end()) << "file " << f << ", asked twice";
    EXPECT_EQ(file.checksum(), written_sum);
    std::uint64_t wide = 0;
    EXPECT_THROW(file.read(&wide, sizeof wide), IOException) << "read past the end";
  }
}

TEST(BinaryFile, RoundTripsOfEverySizeClass) { round_trips_in(TempDir().path, true); }

// /dev/shm is a memory file system, which on many kernels refuses direct transfers.
TEST(BinaryFile, RoundTripsWhereDirectTransfersAreRefused) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  round_trips_in(TempDir("/dev/shm").path, false);
}

}  // namespace
