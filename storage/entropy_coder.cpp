// The row coder: row transform, symbol coding into the 24 buffers, and their block framing.
//
// The transform and the symbol loops exist twice: a plain path, and an AVX2 path (functions
// marked TARGET, entered only after the processor check) that takes eight values at a time and
// walks the set bits of the group masks. Both write identical streams: the vector path computes
// the same symbols and masks, and every byte still goes through the same buffer appends.
#include "storage/entropy_coder.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "storage/fse.h"

#define TARGET __attribute__((target("avx2")))

namespace entropy {

namespace {

constexpr int kMaxGroups = (kMaxRowValues + 7) / 8;
constexpr int kPaddedValues = kMaxGroups * 8;  // whole groups, so vector stores of a group fit

// Buffers by role.
constexpr int kFlagBuffer = 0;
constexpr int kMaskBuffer = 1;
constexpr int kContextBuffer = 2;  // 2 + context, context 0..15
constexpr int kEscapeLow = 18;
constexpr int kEscapeHigh = 19;
constexpr int kWideBuffer = 20;  // 20..23: bytes 0..3 of a 32-bit escaped value
constexpr int kMaxContext = 15;

constexpr std::uint32_t kShortEscape = 255;    // v >= 255 leaves the context buffer
constexpr std::uint32_t kWideEscape = 65535;   // v >= 65535 takes all four bytes
constexpr int kFrameBytes = 8;                 // k (u32) and r (i32), little-endian

static_assert(std::endian::native == std::endian::little);

std::atomic<bool> g_plain_path{false};

bool vector_path() {
  static const bool usable = platform::cpu_has_avx2();
  return usable && !g_plain_path.load(std::memory_order_relaxed);
}

inline std::uint32_t zigzag(std::uint32_t x) { return (x << 1) ^ std::uint32_t(std::int32_t(x) >> 31); }
inline std::uint32_t unzigzag(std::uint32_t s) { return (s >> 1) ^ (0u - (s & 1)); }

inline void store_u32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// One form of a row: its symbols (whole groups; the tail past n is unused), group masks and
// the number of non-zero symbols.
struct RowSymbols {
  std::uint32_t symbols[kPaddedValues];
  std::uint8_t masks[kMaxGroups];
  int nonzero;
};

// ---- Row transform -------------------------------------------------------------------------
// A form codes x[i] - x[i-1] with x[-1] = base, where x = c (B forms: base 0 alone, p[0] with a
// predictor) or x = c - p (the A form, base 0).

template <class T>
inline std::uint8_t group_symbols_plain(const T* c, const T* p, int start, int length, std::uint32_t& previous,
                                        std::uint32_t* symbols) {
  std::uint8_t mask = 0;
  for (int k = 0; k < length; ++k) {
    std::uint32_t x = std::uint32_t(c[start + k]) - (p ? std::uint32_t(p[start + k]) : 0u);
    std::uint32_t s = zigzag(x - previous);
    previous = x;
    symbols[start + k] = s;
    mask = std::uint8_t(mask | (s != 0) << k);
  }
  return mask;
}

template <class T>
void row_symbols_plain(const T* c, const T* p, std::uint32_t base, int n, RowSymbols& out) {
  std::uint32_t previous = base;
  out.nonzero = 0;
  for (int g = 0, start = 0; start < n; ++g, start += 8) {
    out.masks[g] = group_symbols_plain(c, p, start, std::min(8, n - start), previous, out.symbols);
    out.nonzero += std::popcount(out.masks[g]);
  }
}

TARGET inline __m256i load8(const std::uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
TARGET inline __m256i load8(const std::uint16_t* p) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
TARGET inline void store8(std::uint32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
TARGET inline void store8(std::uint16_t* p, __m256i v) {
  // Low halves of the eight lanes: pack within each 128-bit half, then join the halves.
  __m256i packed = _mm256_packus_epi32(_mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)), _mm256_setzero_si256());
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                   _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0))));
}
TARGET inline __m256i broadcast_last(__m256i v) { return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7)); }

template <class T>
TARGET void row_symbols_avx2(const T* c, const T* p, std::uint32_t base, int n, RowSymbols& out) {
  const int full = n / 8;
  const __m256i rotate = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
  __m256i carry = _mm256_set1_epi32(int(base));  // x[i - 1] in every lane
  int nonzero = 0;
  for (int g = 0; g < full; ++g) {
    __m256i x = load8(c + 8 * g);
    if (p) x = _mm256_sub_epi32(x, load8(p + 8 * g));
    __m256i previous = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(x, rotate), carry, 1);
    __m256i d = _mm256_sub_epi32(x, previous);
    __m256i s = _mm256_xor_si256(_mm256_slli_epi32(d, 1), _mm256_srai_epi32(d, 31));
    store8(out.symbols + 8 * g, s);
    int zero = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(s, _mm256_setzero_si256())));
    out.masks[g] = std::uint8_t(~zero);
    nonzero += std::popcount(out.masks[g]);
    carry = broadcast_last(x);
  }
  if (full * 8 < n) {
    std::uint32_t previous = std::uint32_t(_mm256_cvtsi256_si32(carry));
    out.masks[full] = group_symbols_plain(c, p, full * 8, n - full * 8, previous, out.symbols);
    nonzero += std::popcount(out.masks[full]);
  }
  out.nonzero = nonzero;
}

// The inverse: x runs from base through the unzigzagged differences; values are x, or x + p
// for the A form.
template <class T>
void row_values_plain(const std::uint32_t* symbols, const T* p, std::uint32_t base, int start, int n, T* out) {
  std::uint32_t x = base;
  for (int i = start; i < n; ++i) {
    x += unzigzag(symbols[i]);
    out[i] = T(p ? x + std::uint32_t(p[i]) : x);
  }
}

template <class T>
TARGET void row_values_avx2(const std::uint32_t* symbols, const T* p, std::uint32_t base, int n, T* out) {
  const int full = n / 8;
  __m256i carry = _mm256_set1_epi32(int(base));
  for (int g = 0; g < full; ++g) {
    __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(symbols + 8 * g));
    __m256i d = _mm256_xor_si256(_mm256_srli_epi32(s, 1), _mm256_sub_epi32(_mm256_setzero_si256(),
                                                                           _mm256_and_si256(s, _mm256_set1_epi32(1))));
    // Running sums of the eight: within each 128-bit half, then the low half's total into the
    // high half.
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 4));
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 8));
    __m256i low_total = _mm256_shuffle_epi32(d, _MM_SHUFFLE(3, 3, 3, 3));
    d = _mm256_add_epi32(d, _mm256_permute2x128_si256(low_total, low_total, 0x08));
    __m256i x = _mm256_add_epi32(d, carry);
    store8(out + 8 * g, p ? _mm256_add_epi32(x, load8(p + 8 * g)) : x);
    carry = broadcast_last(x);
  }
  row_values_plain(symbols, p, std::uint32_t(_mm256_cvtsi256_si32(carry)), full * 8, n, out);
}

[[noreturn]] void fatal_corrupt() {
  std::fputs("fse error\n", stdout);
  std::fflush(stdout);
  std::_Exit(1);
}

void check_row_length(int n) {
  if (n < 0 || n > kMaxRowValues) throw std::length_error("");
}

}  // namespace

void use_plain_path(bool plain) { g_plain_path.store(plain, std::memory_order_relaxed); }

// ---- Encoder --------------------------------------------------------------------------------

// The form of a block below kMinCodedBlock (1: one repeated byte, 0: raw), or -1 to code it.
static int small_block_form(const std::uint8_t* block, std::uint32_t k) {
  if (k >= kMinCodedBlock) return -1;
  for (std::uint32_t i = 1; i < k; ++i)
    if (block[i] != block[0]) return 0;
  return k > 1 ? 1 : 0;
}

struct Encoder::State {
  WriteStream write;
  void* user;
  std::unique_ptr<std::uint8_t[]> memory;  // the 24 buffers side by side
  std::uint8_t* buffer[kStreams];
  std::uint32_t fill[kStreams] = {};
  std::unique_ptr<std::uint8_t[]> packed;  // one block's FSE output
  int context = 0;
  bool finished = false;

  State(WriteStream w, void* u)
      : write(w),
        user(u),
        memory(std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t(kStreams) * kBufferBytes)),
        packed(std::make_unique_for_overwrite<std::uint8_t[]>(fse_compress_bound(kBufferBytes))) {
    for (int b = 0; b < kStreams; ++b) buffer[b] = memory.get() + std::size_t(b) * kBufferBytes;
  }

  void flush(int b) {
    std::uint32_t k = fill[b];
    int r = small_block_form(buffer[b], k);
    if (r < 0) r = fse_compress(packed.get(), fse_compress_bound(kBufferBytes), buffer[b], k);
    std::uint8_t frame[kFrameBytes];
    store_u32(frame, k);
    store_u32(frame + 4, std::uint32_t(r));
    write(user, b, frame, kFrameBytes);
    if (r > 1)
      write(user, b, packed.get(), std::size_t(r));
    else if (r == 1)
      write(user, b, buffer[b], 1);
    else
      write(user, b, buffer[b], k);
    fill[b] = 0;
  }

  void append(int b, std::uint8_t byte) {
    buffer[b][fill[b]] = byte;
    if (++fill[b] == std::uint32_t(kBufferBytes)) flush(b);
  }

  void code_symbol(std::uint32_t s) {
    std::uint32_t v = s - 1;
    if (v < kShortEscape) {
      append(kContextBuffer + context, std::uint8_t(v));
      context = int(std::min<std::uint32_t>(v, kMaxContext));
      return;
    }
    append(kContextBuffer + context, 255);
    if (v < kWideEscape) {
      append(kEscapeLow, std::uint8_t(v));
      append(kEscapeHigh, std::uint8_t(v >> 8));
    } else {
      append(kEscapeLow, 255);
      append(kEscapeHigh, 255);
      for (int i = 0; i < 4; ++i) append(kWideBuffer + i, std::uint8_t(v >> (8 * i)));
    }
    context = kMaxContext;
  }

  // The plain loop tests every symbol; the vector path's walks the mask's set bits.
  void code_symbols(const RowSymbols& row, int n, bool bit_scan) {
    for (int g = 0, start = 0; start < n; ++g, start += 8) {
      unsigned mask = row.masks[g];
      append(kMaskBuffer, std::uint8_t(mask));
      if (bit_scan) {
        for (; mask != 0; mask &= mask - 1) code_symbol(row.symbols[start + std::countr_zero(mask)]);
      } else {
        for (int i = start, end = std::min(n, start + 8); i < end; ++i)
          if (row.symbols[i] != 0) code_symbol(row.symbols[i]);
      }
    }
  }

  template <class T>
  void encode(const T* values, const T* predictor, int n) {
    check_row_length(n);
    if (finished) throw std::logic_error("row coded after finish");
    const bool vector = vector_path();
    auto transform = [&](const T* subtract, std::uint32_t base, RowSymbols& out) {
      if (vector)
        row_symbols_avx2(values, subtract, base, n, out);
      else
        row_symbols_plain(values, subtract, base, n, out);
    };
    RowSymbols alone, against;
    transform(nullptr, predictor && n > 0 ? std::uint32_t(predictor[0]) : 0u, alone);
    const RowSymbols* chosen = &alone;
    std::uint8_t flag = 0;
    if (predictor && alone.nonzero > 0) {
      transform(predictor, 0, against);
      if (against.nonzero < alone.nonzero) {
        chosen = &against;
        flag = 1;
      }
    }
    append(kFlagBuffer, flag);
    context = 0;
    code_symbols(*chosen, n, vector);
  }
};

Encoder::Encoder(WriteStream write, void* user) : state_(std::make_unique<State>(write, user)) {
  write(user, 0, &kCoderId, 1);
}

Encoder::~Encoder() = default;

void Encoder::encode_row32(const std::uint32_t* values, const std::uint32_t* predictor, int n) {
  state_->encode(values, predictor, n);
}

void Encoder::encode_row16(const std::uint16_t* values, const std::uint16_t* predictor, int n) {
  state_->encode(values, predictor, n);
}

void Encoder::finish() {
  if (state_->finished) return;
  for (int b = 0; b < kStreams; ++b)
    if (state_->fill[b] != 0) state_->flush(b);
  state_->finished = true;
}

// ---- Decoder --------------------------------------------------------------------------------

struct Decoder::State {
  ReadStream read;
  void* user;
  OnCorrupt on_corrupt;
  std::unique_ptr<std::uint8_t[]> memory;
  std::uint8_t* buffer[kStreams];
  std::uint32_t size[kStreams] = {};      // decoded bytes of the current block
  std::uint32_t position[kStreams] = {};  // bytes of it taken
  std::unique_ptr<std::uint8_t[]> packed;
  int context = 0;

  State(ReadStream r, void* u, OnCorrupt on)
      : read(r),
        user(u),
        on_corrupt(on),
        memory(std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t(kStreams) * kBufferBytes)),
        packed(std::make_unique_for_overwrite<std::uint8_t[]>(fse_compress_bound(kBufferBytes))) {
    for (int b = 0; b < kStreams; ++b) buffer[b] = memory.get() + std::size_t(b) * kBufferBytes;
  }

  // The next block of stream b.
  void refill(int b) {
    size[b] = position[b] = 0;
    std::uint8_t frame[kFrameBytes];
    read(user, b, frame, kFrameBytes);
    std::uint32_t k = load_u32(frame);
    std::int32_t r = std::int32_t(load_u32(frame + 4));
    if (k == 0 || k > std::uint32_t(kBufferBytes))
      throw CorruptData("stream " + std::to_string(b) + ": block of " + std::to_string(k) + " bytes");
    if (r > 1) {
      if (std::size_t(r) > fse_compress_bound(k))
        throw CorruptData("stream " + std::to_string(b) + ": compressed block of " + std::to_string(r) + " bytes");
      read(user, b, packed.get(), std::size_t(r));
      if (fse_decompress(buffer[b], k, packed.get(), std::size_t(r)) != int(k))
        throw CorruptData("stream " + std::to_string(b) + ": fse error");
    } else if (r == 1) {
      read(user, b, buffer[b], 1);
      std::memset(buffer[b] + 1, buffer[b][0], k - 1);
    } else {
      read(user, b, buffer[b], k);
    }
    size[b] = k;
  }

  std::uint8_t take(int b) {
    if (position[b] == size[b]) refill(b);
    return buffer[b][position[b]++];
  }

  std::uint32_t decode_symbol() {
    std::uint32_t v = take(kContextBuffer + context);
    if (v < kShortEscape) {
      context = int(std::min<std::uint32_t>(v, kMaxContext));
      return v + 1;
    }
    std::uint32_t low = take(kEscapeLow), high = take(kEscapeHigh);
    if (low == 255 && high == 255) {
      v = 0;
      for (int i = 0; i < 4; ++i) v |= std::uint32_t(take(kWideBuffer + i)) << (8 * i);
      if (v < kWideEscape || v == 0xFFFFFFFFu) throw CorruptData("32-bit escape of " + std::to_string(v));
    } else {
      v = low | high << 8;
      if (v < kShortEscape) throw CorruptData("16-bit escape of " + std::to_string(v));
    }
    context = kMaxContext;
    return v + 1;
  }

  template <class T>
  void decode_checked(T* values, const T* predictor, int n) {
    const bool vector = vector_path();
    std::uint8_t flag = take(kFlagBuffer);
    if (flag > 1 || (flag == 1 && !predictor)) throw CorruptData("row flag " + std::to_string(flag));
    context = 0;
    std::uint32_t symbols[kPaddedValues];
    for (int start = 0; start < n; start += 8) {
      const int length = std::min(8, n - start);
      unsigned mask = take(kMaskBuffer);
      if (mask >> length) throw CorruptData("group mask past the row's end");
      if (vector) {
        std::memset(symbols + start, 0, 8 * sizeof symbols[0]);
        for (; mask != 0; mask &= mask - 1) symbols[start + std::countr_zero(mask)] = decode_symbol();
      } else {
        for (int k = 0; k < length; ++k) symbols[start + k] = (mask >> k & 1) ? decode_symbol() : 0;
      }
    }
    const T* against = flag == 1 ? predictor : nullptr;
    std::uint32_t base = flag == 0 && predictor && n > 0 ? std::uint32_t(predictor[0]) : 0u;
    if (vector)
      row_values_avx2(symbols, against, base, n, values);
    else
      row_values_plain(symbols, against, base, 0, n, values);
  }

  template <class T>
  void decode(T* values, const T* predictor, int n) {
    check_row_length(n);
    try {
      decode_checked(values, predictor, n);
    } catch (const CorruptData&) {
      if (on_corrupt == OnCorrupt::fatal) fatal_corrupt();
      throw;
    }
  }
};

Decoder::Decoder(ReadStream read, void* user, OnCorrupt on_corrupt)
    : state_(std::make_unique<State>(read, user, on_corrupt)) {
  std::uint8_t id = 0;
  read(user, 0, &id, 1);
  if (id == 0 || id == 1) throw CorruptData("coder id " + std::to_string(id) + " is not supported");
  if (id != kCoderId) throw CorruptData("unknown coder id " + std::to_string(id));
}

Decoder::~Decoder() = default;

void Decoder::decode_row32(std::uint32_t* values, const std::uint32_t* predictor, int n) {
  state_->decode(values, predictor, n);
}

void Decoder::decode_row16(std::uint16_t* values, const std::uint16_t* predictor, int n) {
  state_->decode(values, predictor, n);
}

}  // namespace entropy
