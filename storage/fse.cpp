// FSE over bytes: normalised counts, their header, the symbol spread and the two coding loops.
//
// A table of T = 2^L cells gives every present symbol s norm[s] cells (its probability is
// norm[s] / T). The spread deals the cells out over the table with an odd step, so that each
// symbol's cells are scattered. Decoding state x (0..T-1) emits the symbol of cell x; if cell x
// is that symbol's j-th cell, the state before it (in encoding order) was norm[s] + j shifted
// up by nb bits plus the nb bits read, where nb makes (norm[s] + j) << nb land in T..2T-1.
// The encoder runs this backward: from its state X (T..2T-1) it writes the low nb bits, with nb
// such that X >> nb falls in norm[s]..2 norm[s]-1, and moves to the cell that number names.
#include "storage/fse.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace {

static_assert(std::endian::native == std::endian::little, "the bit readers load little-endian words");

constexpr int kSymbols = 256;

// Index of the highest set bit; 0 for x <= 1.
int bits_of(std::uint32_t x) { return x <= 1 ? 0 : 31 - std::countl_zero(x); }

int spread_step(int table_size) { return (table_size >> 1) + (table_size >> 3) + 3; }

// Forward LSB-first bit writer that stops at a hard end and remembers that it overflowed.
class BitWriter {
 public:
  BitWriter(std::uint8_t* begin, std::uint8_t* end) : begin_(begin), p_(begin), end_(end) {}

  // value < 2^bits, bits <= 32.
  void put(std::uint32_t value, int bits) {
    add(value, bits);
    flush();
  }
  // Without the flush: at most 32 bits may be added between flushes.
  void add(std::uint32_t value, int bits) {
    acc_ |= std::uint64_t(value) << count_;
    count_ += bits;
  }
  void flush() {
    if (count_ < 32) return;
    if (end_ - p_ >= 4) {
      std::memcpy(p_, &acc_, 4);
      p_ += 4;
    } else {
      overflow_ = true;
    }
    acc_ >>= 32;
    count_ -= 32;
  }

  // Writes the last bits, zero-padded to a byte. Bytes written since the start, or -1 when the
  // end was reached.
  std::ptrdiff_t finish() {
    for (; count_ > 0; count_ -= 8, acc_ >>= 8) {
      if (p_ == end_) {
        overflow_ = true;
        break;
      }
      *p_++ = std::uint8_t(acc_);
    }
    count_ = 0;
    acc_ = 0;
    return overflow_ ? -1 : p_ - begin_;
  }

 private:
  std::uint8_t* begin_;
  std::uint8_t* p_;
  std::uint8_t* end_;
  std::uint64_t acc_ = 0;
  int count_ = 0;
  bool overflow_ = false;
};

// Forward reader of the header bits; false once the bytes run out.
class HeaderReader {
 public:
  HeaderReader(const std::uint8_t* src, std::size_t size) : src_(src), bit_limit_(size * 8) {}

  bool read(int bits, std::uint32_t& value) {
    if (bit_limit_ - bit_ < std::size_t(bits)) return false;
    value = 0;
    for (int i = 0; i < bits; ++i, ++bit_) value |= std::uint32_t(src_[bit_ >> 3] >> (bit_ & 7) & 1) << i;
    return true;
  }
  std::size_t bytes_used() const { return (bit_ + 7) / 8; }

 private:
  const std::uint8_t* src_;
  std::size_t bit_limit_;
  std::size_t bit_ = 0;
};

// Backward reader of the bitstream, from the marker bit in its last byte down to bit 0. Reading
// more bits than are left gives zeros and marks the stream bad. The bits come from a 64-bit
// window of the stream, moved down when a read leaves it; a stream shorter than the window is
// read from a zero-padded copy.
class BackwardReader {
 public:
  // False when the last byte carries no marker.
  bool start(const std::uint8_t* begin, std::size_t size) {
    if (size == 0 || begin[size - 1] == 0) return false;
    begin_ = begin;
    size_ = size;
    if (size < 8) {
      std::memcpy(short_copy_, begin, size);
      begin_ = short_copy_;
      size_ = 8;
    }
    left_ = (size - 1) * 8 + std::size_t(bits_of(begin[size - 1]));
    window_low_ = left_ + 1;  // the first read loads the window
    return true;
  }

  // bits <= 13.
  std::uint32_t read(int bits) {
    if (std::size_t(bits) > left_) {
      bad_ = true;
      left_ = 0;
      return 0;
    }
    left_ -= std::size_t(bits);
    if (left_ < window_low_) move_window(left_ + std::size_t(bits));
    return std::uint32_t(window_ >> (left_ - window_low_)) & ((1u << bits) - 1);
  }

  bool exhausted_exactly() const { return !bad_ && left_ == 0; }

 private:
  // The lowest 8-byte window that still holds bit `top` - 1.
  void move_window(std::size_t top) {
    std::size_t byte = top > 64 ? (top - 64 + 7) / 8 : 0;
    std::memcpy(&window_, begin_ + byte, 8);
    window_low_ = byte * 8;
  }

  const std::uint8_t* begin_ = nullptr;
  std::size_t size_ = 0;
  std::size_t left_ = 0;
  std::size_t window_low_ = 0;  // stream bit of the window's bit 0
  std::uint64_t window_ = 0;
  std::uint8_t short_copy_[8] = {};
  bool bad_ = false;
};

// Cost in bits of coding `count` symbols with `cells` cells instead of cells + 1.
double cell_gain(std::uint32_t count, int cells) { return count * std::log2(double(cells + 1) / cells); }

// Normalised counts summing to 2^log: each present symbol gets its share rounded (up when the
// share exceeds the geometric mean of the two neighbours, the break-even point of the cost), at
// least 1. The rounding error goes to the most frequent symbol when it is small against that
// symbol's share; otherwise cells are moved one at a time where they cost least.
void normalize(const std::uint32_t* count, std::size_t n, int log, int* norm) {
  const int table_size = 1 << log;
  int sum = 0, largest = 0;
  for (int s = 0; s < kSymbols; ++s) {
    norm[s] = 0;
    if (count[s] == 0) continue;
    if (count[s] > count[largest]) largest = s;
    std::uint64_t scaled = std::uint64_t(count[s]) << log;
    int q = int(scaled / n);
    if (q == 0) {
      q = 1;
    } else {
      double share = double(scaled) / double(n);
      if (share * share > double(q) * (q + 1)) ++q;
    }
    norm[s] = q;
    sum += q;
  }
  int error = table_size - sum;
  if (std::abs(error) * 8 <= norm[largest]) {
    norm[largest] += error;
    return;
  }
  // Cells move one at a time: the convex cost makes the greedy choice optimal.
  using Candidate = std::pair<double, int>;  // (gain, symbol): a max-heap on the gain
  std::vector<Candidate> heap;
  if (error > 0) {
    for (int s = 0; s < kSymbols; ++s)
      if (norm[s] > 0) heap.push_back({cell_gain(count[s], norm[s]), s});
    std::make_heap(heap.begin(), heap.end());
    for (; error > 0; --error) {
      std::pop_heap(heap.begin(), heap.end());
      int s = heap.back().second;
      ++norm[s];
      heap.back() = {cell_gain(count[s], norm[s]), s};
      std::push_heap(heap.begin(), heap.end());
    }
  } else {
    // Take a cell where it loses least: the negated loss of going from norm - 1 to norm.
    for (int s = 0; s < kSymbols; ++s)
      if (norm[s] > 1) heap.push_back({-cell_gain(count[s], norm[s] - 1), s});
    std::make_heap(heap.begin(), heap.end());
    for (; error < 0; ++error) {
      std::pop_heap(heap.begin(), heap.end());
      int s = heap.back().second;
      --norm[s];
      if (norm[s] > 1) {
        heap.back() = {-cell_gain(count[s], norm[s] - 1), s};
        std::push_heap(heap.begin(), heap.end());
      } else {
        heap.pop_back();
      }
    }
  }
}

// A count in 0..remaining in truncated binary: with m = remaining + 1 values and k = bits(m),
// the first 2^(k+1) - m values take k bits, the others k + 1 (k bits, then the lowest bit).
void put_count(BitWriter& w, int value, int remaining) {
  std::uint32_t m = std::uint32_t(remaining) + 1;
  int k = bits_of(m);
  std::uint32_t short_codes = (2u << k) - m;
  std::uint32_t v = std::uint32_t(value);
  if (v < short_codes) {
    w.put(v, k);
  } else {
    std::uint32_t t = v - short_codes;
    w.put(short_codes + (t >> 1), k);
    w.put(t & 1, 1);
  }
}

bool read_count(HeaderReader& r, int remaining, int& value) {
  std::uint32_t m = std::uint32_t(remaining) + 1;
  int k = bits_of(m);
  std::uint32_t short_codes = (2u << k) - m;
  std::uint32_t x = 0, low = 0;
  if (!r.read(k, x)) return false;
  if (x >= short_codes) {
    if (!r.read(1, low)) return false;
    x = short_codes + 2 * (x - short_codes) + low;
  }
  value = int(x);
  return true;
}

void put_zero_run(BitWriter& w, int run) {
  if (run < 3) {
    w.put(std::uint32_t(run), 2);
  } else {
    w.put(3, 2);
    w.put(std::uint32_t(run - 3), 8);
  }
}

// Header bytes written, or -1 on overflow.
std::ptrdiff_t write_header(std::uint8_t* dst, std::uint8_t* end, int log, const int* norm) {
  BitWriter w(dst, end);
  w.put(std::uint32_t(log - kFseMinTableLog), 4);
  int remaining = 1 << log;
  for (int s = 0; remaining > 0; ++s) {
    put_count(w, norm[s], remaining);
    remaining -= norm[s];
    if (norm[s] == 0) {
      // The last present symbol ends the counts, so a run of zeros always stops before it.
      int run = 0;
      while (norm[s + 1 + run] == 0) ++run;
      put_zero_run(w, run);
      s += run;
    }
  }
  return w.finish();
}

// Counts from the header; bytes read, or -1 when the header cannot be one fse_compress wrote.
std::ptrdiff_t read_header(const std::uint8_t* src, std::size_t size, int& log, int* norm) {
  HeaderReader r(src, size);
  std::uint32_t field = 0;
  if (!r.read(4, field) || field > std::uint32_t(kFseMaxTableLog - kFseMinTableLog)) return -1;
  log = kFseMinTableLog + int(field);
  std::fill_n(norm, kSymbols, 0);
  int remaining = 1 << log;
  int s = 0;
  while (remaining > 0) {
    if (s >= kSymbols) return -1;
    int value = 0;
    if (!read_count(r, remaining, value)) return -1;
    norm[s++] = value;
    remaining -= value;
    if (value == 0) {
      std::uint32_t run = 0;
      if (!r.read(2, run)) return -1;
      if (run == 3) {
        std::uint32_t more = 0;
        if (!r.read(8, more)) return -1;
        run += more;
      }
      s += int(run);
    }
  }
  return std::ptrdiff_t(r.bytes_used());
}

// The symbol of each cell, dealt out with the odd step (which visits every cell once).
void spread_symbols(const int* norm, int log, std::uint8_t* spread) {
  const int table_size = 1 << log, mask = table_size - 1, step = spread_step(table_size);
  int position = 0;
  for (int s = 0; s < kSymbols; ++s)
    for (int j = 0; j < norm[s]; ++j) {
      spread[position] = std::uint8_t(s);
      position = (position + step) & mask;
    }
}

struct DecodeCell {
  std::uint16_t base;  // the next state, before the bits read are added
  std::uint8_t symbol;
  std::uint8_t bits;
};

struct EncodeSymbol {
  std::uint32_t delta_bits;  // (state + delta_bits) >> 16 is the number of bits to write
  std::int32_t delta_state;  // (state >> bits) + delta_state indexes next_state
};

}  // namespace

std::size_t fse_compress_bound(std::size_t n) { return n + n / 128 + 512; }

int fse_table_log(std::size_t n, int distinct, int max_log) {
  int size_bits = bits_of(std::uint32_t(std::min<std::size_t>(n - 1, kFseMaxInput)));
  int log = std::clamp(max_log, kFseMinTableLog, kFseMaxTableLog);
  log = std::min(log, size_bits - 2);
  log = std::max(log, std::min(size_bits + 1, bits_of(std::uint32_t(std::max(distinct, 1) - 1)) + 2));
  return std::clamp(log, kFseMinTableLog, kFseMaxTableLog);
}

int fse_compress(std::uint8_t* dst, std::size_t dst_capacity, const std::uint8_t* src, std::size_t n,
                 int max_table_log) {
  if (n > kFseMaxInput) return kFseTooLarge;
  if (n <= 1) return 0;

  // Four partial histograms: runs of one byte would otherwise wait on their own counter.
  std::uint32_t partial[4][kSymbols] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++partial[0][src[i]];
    ++partial[1][src[i + 1]];
    ++partial[2][src[i + 2]];
    ++partial[3][src[i + 3]];
  }
  for (; i < n; ++i) ++partial[0][src[i]];
  std::uint32_t count[kSymbols];
  for (int s = 0; s < kSymbols; ++s) count[s] = partial[0][s] + partial[1][s] + partial[2][s] + partial[3][s];
  std::uint32_t max_count = 0;
  int distinct = 0;
  for (int s = 0; s < kSymbols; ++s) {
    max_count = std::max(max_count, count[s]);
    distinct += count[s] != 0;
  }
  if (max_count == n) {
    if (dst_capacity > 0) dst[0] = src[0];
    return 1;
  }
  if (max_count == 1 || max_count < (n >> 7)) return 0;

  const int log = fse_table_log(n, distinct, max_table_log);
  const int table_size = 1 << log;
  int norm[kSymbols];
  normalize(count, n, log, norm);

  // Output that would not be smaller than the input is not worth having.
  const bool capacity_limits = dst_capacity < n - 1;
  std::uint8_t* const end = dst + (capacity_limits ? dst_capacity : n - 1);
  const int overflow = capacity_limits ? kFseDstTooSmall : 0;

  std::ptrdiff_t header = write_header(dst, end, log, norm);
  if (header < 0) return overflow;

  // Encoding tables: each symbol's cells in spread order, and its bit-count rule.
  std::uint8_t spread[1 << kFseMaxTableLog];
  spread_symbols(norm, log, spread);
  int first_cell[kSymbols + 1];
  first_cell[0] = 0;
  for (int s = 0; s < kSymbols; ++s) first_cell[s + 1] = first_cell[s] + norm[s];
  std::uint16_t next_state[1 << kFseMaxTableLog];
  {
    int fill[kSymbols];
    std::copy_n(first_cell, kSymbols, fill);
    for (int cell = 0; cell < table_size; ++cell) next_state[fill[spread[cell]]++] = std::uint16_t(table_size + cell);
  }
  EncodeSymbol symbols[kSymbols] = {};
  for (int s = 0; s < kSymbols; ++s) {
    if (norm[s] == 0) continue;
    int max_bits = log - bits_of(std::uint32_t(norm[s] - 1));
    std::uint32_t min_state = std::uint32_t(norm[s]) << max_bits;  // states below it write max_bits - 1
    symbols[s].delta_bits = (std::uint32_t(max_bits) << 16) - min_state;
    symbols[s].delta_state = first_cell[s] - norm[s];
  }

  // Two interleaved states, one for the even and one for the odd positions, so that the two
  // chains of table look-ups overlap. The last two bytes start in states of their own, which
  // costs no bits; the others are coded from the end back to position 0.
  std::uint32_t even = next_state[first_cell[src[n - 2 + (n & 1)]]];
  std::uint32_t odd = next_state[first_cell[src[n - 1 - (n & 1)]]];
  BitWriter w(dst + header, end);
  auto code = [&](std::uint8_t symbol, std::uint32_t& state) {
    const EncodeSymbol& e = symbols[symbol];
    int bits = int((state + e.delta_bits) >> 16);
    w.add(state & ((1u << bits) - 1), bits);
    state = next_state[int(state >> bits) + e.delta_state];
  };
  std::size_t k = n - 2;  // positions 0..k-1 are left
  if (k & 1) {
    --k;
    code(src[k], even);
    w.flush();
  }
  for (; k > 0; k -= 2) {
    code(src[k - 1], odd);
    code(src[k - 2], even);
    w.flush();
  }
  w.put(odd - std::uint32_t(table_size), log);
  w.put(even - std::uint32_t(table_size), log);
  w.put(1, 1);
  std::ptrdiff_t stream = w.finish();
  if (stream < 0) return overflow;
  return int(header + stream);
}

int fse_decompress(std::uint8_t* dst, std::size_t n_expected, const std::uint8_t* src, std::size_t src_size) {
  if (n_expected < 2 || n_expected > kFseMaxInput) return kFseCorruptStream;
  int log = 0;
  int norm[kSymbols];
  std::ptrdiff_t header = read_header(src, src_size, log, norm);
  if (header < 0) return kFseCorruptHeader;

  const int table_size = 1 << log;
  std::uint8_t spread[1 << kFseMaxTableLog];
  spread_symbols(norm, log, spread);
  DecodeCell table[1 << kFseMaxTableLog];
  int next[kSymbols];
  std::copy_n(norm, kSymbols, next);
  for (int cell = 0; cell < table_size; ++cell) {
    int s = spread[cell];
    int x = next[s]++;  // norm[s] .. 2 norm[s] - 1
    int bits = log - bits_of(std::uint32_t(x));
    table[cell] = {std::uint16_t((x << bits) - table_size), std::uint8_t(s), std::uint8_t(bits)};
  }

  BackwardReader reader;
  if (!reader.start(src + header, src_size - std::size_t(header))) return kFseCorruptStream;
  std::uint32_t even = reader.read(log), odd = reader.read(log);
  auto step = [&](std::uint32_t& state) {
    const DecodeCell& c = table[state];
    state = c.base + reader.read(c.bits);
    return c.symbol;
  };
  // Every position but the last two moves its state on to the position two further.
  std::size_t i = 0;
  for (; i + 4 <= n_expected; i += 2) {
    dst[i] = step(even);
    dst[i + 1] = step(odd);
  }
  if (n_expected - i == 3) {
    dst[i] = step(even);
    dst[i + 1] = table[odd].symbol;
    dst[i + 2] = table[even].symbol;
  } else {
    dst[i] = table[even].symbol;
    dst[i + 1] = table[odd].symbol;
  }
  if (!reader.exhausted_exactly()) return kFseCorruptStream;
  return int(n_expected);
}
