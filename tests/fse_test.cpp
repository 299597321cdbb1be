// The byte FSE coder: round trips of every size class and awkward shape, closeness to the
// entropy, the not-compressible and single-byte results, the table size, a golden block and damaged
// input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "golden.h"
#include "storage/fse.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes from a geometric distribution: value k with probability (1 - q) q^k (capped at 255);
// q 0 gives uniform bytes.
Bytes random_bytes(std::size_t n, double q, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::geometric_distribution<int> dist(1.0 - q);
  Bytes out(n);
  for (auto& b : out) b = std::uint8_t(q == 0 ? rng() : std::min(dist(rng), 255));
  return out;
}

// Compresses; a compressed result is smaller and decodes back from an exactly sized copy (the
// address sanitizer sees a read past it). Returns the result.
int compress_and_check(const Bytes& data) {
  Bytes packed(fse_compress_bound(data.size()));
  int r = fse_compress(packed.data(), packed.size(), data.data(), data.size());
  if (r > 1) {
    EXPECT_LT(std::size_t(r), data.size());
    Bytes exact(packed.begin(), packed.begin() + r), back(data.size());
    EXPECT_EQ(fse_decompress(back.data(), back.size(), exact.data(), exact.size()), int(data.size()));
    EXPECT_EQ(back, data);
  }
  return r;
}

// Skewed blocks of every size class; two values only; one value and a single different byte;
// every byte value with one dominant; a dominant byte among many that occur once (the counts must
// be squeezed hard): all compress. The largest skewed blocks come within 1 % of their entropy plus
// a header of about two bytes per present value.
TEST(Fse, BlocksOfEverySizeClassAndShapeRoundTrip) {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 2; n <= 300; ++n) sizes.push_back(n);
  for (std::size_t p = 512; p <= 65536; p *= 2) sizes.insert(sizes.end(), {p - 1, p, std::min<std::size_t>(p + 1, 65536)});
  int compressed = 0;
  for (std::size_t n : sizes)
    for (double q : {0.1, 0.5, 0.9}) compressed += compress_and_check(random_bytes(n, q, std::uint32_t(n))) > 1;
  EXPECT_GT(compressed, int(sizes.size()) * 2) << "everything but the tiniest blocks compresses";

  std::mt19937 rng(7);
  Bytes two(5000), lone(5000, 42), all(65536), squeezed;
  for (auto& b : two) b = std::uint8_t(rng() % 3 == 0 ? 200 : 3);
  lone[4321] = 43;
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = std::uint8_t(i % 7 == 0 ? i / 7 : 0);
  for (int s = 1; s < 256; ++s) squeezed.push_back(std::uint8_t(s));
  squeezed.resize(2000, 0);
  std::shuffle(squeezed.begin(), squeezed.end(), rng);
  for (const Bytes& data : {two, lone, all, squeezed}) EXPECT_GT(compress_and_check(data), 1);
  for (double q : {0.3, 0.6, 0.85}) {
    Bytes data = random_bytes(65536, q, 11);
    double count[256] = {}, bits = 0;
    for (auto b : data) ++count[b];
    for (double c : count) bits += c > 0 ? c * std::log2(65536 / c) + 16 : 0;
    int r = compress_and_check(data);
    ASSERT_GT(r, 1);
    EXPECT_LE(double(r), bits / 8 * 1.01 + 2) << "q " << q;
  }
}

// 0: not worth compressing (empty, one byte, uniform, all distinct); 1: one repeated byte;
// kFseDstTooSmall without a write past the destination.
TEST(Fse, TinyRepeatedFlatInputsAndSmallDestinations) {
  Bytes out(16, 0xEE), distinct(200);
  for (auto [in, result] : {std::pair{Bytes{}, 0}, {Bytes{9}, 0}, {Bytes{7, 7}, 1}, {Bytes(35000, 0x5A), 1}})
    EXPECT_EQ(fse_compress(out.data(), out.size(), in.data(), in.size()), result) << in.size();
  EXPECT_EQ(out[0], 0x5A);
  for (std::size_t n : {256u, 4096u, 65536u}) EXPECT_EQ(compress_and_check(random_bytes(n, 0, 3)), 0) << n;
  for (std::size_t i = 0; i < distinct.size(); ++i) distinct[i] = std::uint8_t(i);
  EXPECT_EQ(compress_and_check(distinct), 0);

  Bytes data = random_bytes(20000, 0.5, 5);
  int r = compress_and_check(data);
  for (int capacity : {0, 1, 10, r / 2, r - 1}) {
    Bytes dst(std::size_t(r) + 64, 0xCC);
    EXPECT_EQ(fse_compress(dst.data(), std::size_t(capacity), data.data(), data.size()), kFseDstTooSmall);
    EXPECT_TRUE(std::all_of(dst.begin() + capacity, dst.end(), [](std::uint8_t b) { return b == 0xCC; }));
  }
  Bytes exact(static_cast<std::size_t>(r));
  EXPECT_EQ(fse_compress(exact.data(), exact.size(), data.data(), data.size()), r);
}

// (n, distinct, max_log, log): small blocks get small tables, no more cells than bytes, two
// cells per present value, large blocks of few values the largest table allowed.
TEST(Fse, TableLogFollowsTheSizeRule) {
  for (auto [n, distinct, max_log, log] : {std::array{17, 17, 11, 5}, {64, 64, 11, 6}, {100, 3, 11, 5}, {600, 20, 11, 7},
                                          {4096, 200, 11, 9}, {65536, 16, 11, 11}, {65536, 16, 12, 12}, {1000, 3, 5, 5}})
    EXPECT_EQ(fse_table_log(std::size_t(n), distinct, max_log), log) << n << " " << distinct;
}

// A block an earlier build stored must still decode: it pins what both sides share and a round
// trip cannot see (the symbol spread, the count header, the bit order).
TEST(Fse, GoldenBlockStillDecodes) {
  Bytes data(300), back(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(std::countr_zero(unsigned(i + 1)));
  if (std::getenv("TRAVANTO_WRITE_GOLDEN")) {
    Bytes packed(fse_compress_bound(data.size()));
    packed.resize(std::size_t(fse_compress(packed.data(), packed.size(), data.data(), data.size())));
    write_golden("fse_block.hex", {packed});
  }
  auto golden = read_golden("fse_block.hex");
  ASSERT_EQ(golden.size(), 1u);
  EXPECT_EQ(fse_decompress(back.data(), back.size(), golden[0].data(), golden[0].size()), int(data.size()));
  EXPECT_EQ(back, data);
}

// Damaged blocks: each is an exactly sized heap copy, so reads must stay inside it. Every cut,
// a table log past 12 and a stream without its marker give an error or a block of the right
// size, never a crash; almost every cut is an error. (Arbitrary bytes: the entropy decoder's fuzz
// target, which also feeds them to this decoder.)
TEST(Fse, DamagedInputIsAnErrorNotACrash) {
  auto decompress = [](const Bytes& packed, std::size_t n) {
    Bytes src(packed), dst(n);
    int result = fse_decompress(dst.data(), dst.size(), src.data(), src.size());
    EXPECT_TRUE(result < 0 || result == int(n)) << result;
    return result;
  };
  Bytes data = random_bytes(3000, 0.7, 9), packed(fse_compress_bound(3000));
  packed.resize(std::size_t(fse_compress(packed.data(), packed.size(), data.data(), data.size())));
  ASSERT_GT(packed.size(), 1u);
  EXPECT_LT(decompress({}, data.size()), 0);
  EXPECT_LT(decompress(packed, 0), 0);
  Bytes bad_log = packed, no_marker = packed;
  bad_log[0] = std::uint8_t(bad_log[0] | 0x0F);
  EXPECT_EQ(decompress(bad_log, data.size()), kFseCorruptHeader);
  no_marker.back() = 0;
  EXPECT_LT(decompress(no_marker, data.size()), 0);
  int failed = 0;
  for (std::size_t keep = 0; keep < packed.size(); ++keep)
    failed += decompress(Bytes(packed.begin(), packed.begin() + std::ptrdiff_t(keep)), data.size()) < 0;
  EXPECT_GE(failed, int(packed.size()) * 9 / 10);
}

}  // namespace
