#pragma once
// FSE (Finite State Entropy, a tabled asymmetric numeral system coder) over bytes, for the
// entropy coder's 64 KB blocks. A compressed block is a header (table log and the normalised
// symbol counts) followed by one backward bitstream; the decoder is told the decoded size.
//
// Header, read LSB first: 4 bits table log - 5, then the counts of symbols 0, 1, ... until they
// sum to the table size. A count is a value in 0..remaining, coded in truncated binary (so the
// counts need fewer bits as the table fills); a zero count is followed by the number of further
// zero counts (2 bits; 3 means 8 more bits hold the number - 3). The header ends at a byte
// boundary.
//
// Bitstream: two interleaved coder states, one for the even and one for the odd positions. The
// encoder codes the block from its last byte to its first, writing bits forward; its final odd
// and even states (table log bits each) and a 1 marker bit close the stream. The decoder starts
// at the marker in the last byte and reads backward, producing the block in order.
#include <cstddef>
#include <cstdint>

constexpr int kFseMinTableLog = 5;
constexpr int kFseMaxTableLog = 12;
constexpr int kFseDefaultTableLog = 11;

// Negative results.
constexpr int kFseDstTooSmall = -1;   // compression: the destination cannot hold the result
constexpr int kFseTooLarge = -2;      // compression: more than kFseMaxInput bytes
constexpr int kFseCorruptHeader = -3; // decompression: table log or counts impossible
constexpr int kFseCorruptStream = -4; // decompression: the bits do not decode to n_expected bytes

constexpr std::size_t kFseMaxInput = std::size_t(1) << 30;

// A destination this large never makes fse_compress fail.
std::size_t fse_compress_bound(std::size_t n);

// The table log fse_compress uses for a block of n bytes with `distinct` different values:
//   at most max_log, and at most bits(n - 1) - 2 (a table of more than about n/4 cells buys no
//   precision the counts have, and costs header bits);
//   at least min(bits(n - 1) + 1, bits(distinct - 1) + 2): two cells per present value, so that
//   rare values keep a cell without crowding the frequent ones, but no more cells than bytes;
//   then clamped to kFseMinTableLog..kFseMaxTableLog.
// bits(x) is the index of the highest set bit of x (0 for x <= 1).
int fse_table_log(std::size_t n, int distinct, int max_log = kFseDefaultTableLog);

// Compresses n bytes. Returns 0 when they are not worth compressing (n <= 1, the most frequent
// byte occurs only once or fewer than n/128 times, or the result would not be smaller than n);
// 1 when every byte is src[0] (dst[0] then holds it, if dst_capacity > 0); otherwise the size
// of the compressed block; a negative kFse* code on failure.
int fse_compress(std::uint8_t* dst, std::size_t dst_capacity, const std::uint8_t* src, std::size_t n,
                 int max_table_log = kFseDefaultTableLog);

// Decodes a compressed block (a result > 1 of fse_compress) into exactly n_expected bytes.
// Returns n_expected, or a negative kFse* code; never reads or writes outside the two ranges,
// whatever src holds.
int fse_decompress(std::uint8_t* dst, std::size_t n_expected, const std::uint8_t* src, std::size_t src_size);
