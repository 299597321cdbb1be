#pragma once
// Helpers of the storage tests: a temporary folder, whole files as bytes, and the reload check
// every stored form passes (save, load, save again: the same bytes; any cut of the file is refused).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "storage/binary_file.h"

namespace storage_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The Windows build's tests run under Wine, where file transfers are slow: there the cut files
// are a few per file and the flop round trips of every level but the highest are left to the
// Linux build (the format is the same on both).
#ifdef _WIN32
constexpr bool kUnderWine = true;
#else
constexpr bool kUnderWine = false;
#endif

// A fresh folder under the system's temporary folder (or `parent`), removed with its files.
struct TempDir {
  fs::path path;
  explicit TempDir(const fs::path& parent = fs::temp_directory_path()) : path(parent / ("travanto_test_" + std::to_string(std::random_device{}()))) { fs::create_directories(path); }
  ~TempDir() { std::error_code ignored; fs::remove_all(path, ignored); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

template <class Container = Bytes>
Container file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Container(std::istreambuf_iterator<char>(in), {});
}

inline void put_bytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

template <class T>
void save_to(T& thing, const std::string& path) {
  BinaryFile file(path, BinaryFile::Mode::write);
  thing.save(file), file.commit();
}

template <class T>
void load_from(T& thing, const std::string& path) {
  BinaryFile file(path, BinaryFile::Mode::read);
  thing.load(file);
}

// Saves `saved`, loads the file into make()'s object and saves that again: the same bytes. A cut
// at every offset within 64 bytes of either end and at about 64 offsets in between raises
// IOException (under Wine, a cut at each end and one between). Returns the loaded object.
template <class T, class Make>
auto reload(T& saved, Make make, const TempDir& dir) {
  save_to(saved, dir / "first");
  auto loaded = make();
  load_from(*loaded, dir / "first");
  save_to(*loaded, dir / "second");
  const Bytes good = file_bytes(dir / "first");
  EXPECT_EQ(file_bytes(dir / "second"), good) << "saved again";
  const std::size_t edge = kUnderWine ? 1 : 64, between = kUnderWine ? 2 : 64;
  const std::size_t stride = good.size() > 2 * edge ? std::max<std::size_t>(1, (good.size() - 2 * edge) / between) | 1 : 1;
  for (std::size_t cut = 0; cut < good.size(); cut += cut < edge || cut + edge > good.size() ? 1 : stride) {
    put_bytes(dir / "cut", Bytes(good.begin(), good.begin() + std::ptrdiff_t(cut)));
    auto damaged = make();
    EXPECT_THROW(load_from(*damaged, dir / "cut"), IOException) << "cut at " << cut << " of " << good.size();
  }
  return loaded;
}

// A solver-like row of n values: about a third zeros, the rest a random level and up to half
// again, or up to 2 above the predictor's values when there is one (16-bit levels below 1500,
// 32-bit ones the bit patterns of floats from 32 to 64).
inline std::vector<std::uint32_t> solver_row(std::mt19937& rng, int n, const std::uint32_t* predictor, bool sixteen) {
  std::uint32_t level = sixteen ? rng() % 1500 : 0x42000000 + rng() % 0x1000000;
  std::vector<std::uint32_t> v(std::size_t(n), 0);
  for (int h = 0; h < n; ++h)
    if (rng() % 100 >= 35) v[std::size_t(h)] = predictor ? predictor[h] + rng() % 3 : level + rng() % (level / 2 + 1);
  return v;
}

}  // namespace storage_test
