// Group formats of the medium store.
#include "storage/group_codec.h"

#include <algorithm>
#include <bit>

static_assert(std::endian::native == std::endian::little, "the group formats are read and written little-endian");

namespace {

constexpr std::size_t kRun = 32;
constexpr std::size_t kGroup = 8;

// Bytes per value of each 32-bit code, in runs and in tails.
constexpr std::size_t kRunWidth32[4] = {0, 1, 2, 4};
constexpr std::size_t kTailWidth32[4] = {1, 2, 4, 4};
// Bytes of a whole group of eight of each 16-bit run code.
constexpr std::size_t kRunGroupBytes16[4] = {0, 8, 12, 16};
constexpr std::uint8_t kTailBytes16 = 1;
constexpr std::uint8_t kTailShorts16 = 3;

template <class T>
T bits_of(const T* values, std::size_t k) {
  T all = 0;
  for (std::size_t i = 0; i < k; ++i) all |= values[i];
  return all;
}

unsigned run_code32(std::uint32_t all) { return all == 0 ? 0 : all < 256 ? 1 : all < 65536 ? 2 : 3; }
unsigned tail_code32(std::uint32_t all) { return all < 256 ? 0 : all < 65536 ? 1 : 2; }
unsigned run_code16(std::uint16_t all) { return all == 0 ? 0 : all < 256 ? 1 : all < 4096 ? 2 : 3; }
std::uint8_t tail_code16(std::uint16_t all) { return all < 256 ? kTailBytes16 : kTailShorts16; }

template <class T>
std::uint8_t* put(const T* values, std::size_t k, std::size_t width, std::uint8_t* out) {
  for (std::size_t i = 0; i < k; ++i) {
    std::uint32_t v = values[i];
    for (std::size_t b = 0; b < width; ++b) out[i * width + b] = std::uint8_t(v >> (8 * b));
  }
  return out + k * width;
}

template <class T>
const std::uint8_t* get(const std::uint8_t* in, std::size_t k, std::size_t width, T* values) {
  for (std::size_t i = 0; i < k; ++i) {
    std::uint32_t v = 0;
    for (std::size_t b = 0; b < width; ++b) v |= std::uint32_t(in[i * width + b]) << (8 * b);
    values[i] = T(v);
  }
  return in + k * width;
}

// Eight values below 4,096 as twelve-bit fields: two values in each three bytes.
std::uint8_t* put12(const std::uint16_t* values, std::uint8_t* out) {
  for (std::size_t i = 0; i < kGroup; i += 2) {
    std::uint32_t pair = std::uint32_t(values[i]) | std::uint32_t(values[i + 1]) << 12;
    *out++ = std::uint8_t(pair);
    *out++ = std::uint8_t(pair >> 8);
    *out++ = std::uint8_t(pair >> 16);
  }
  return out;
}

const std::uint8_t* get12(const std::uint8_t* in, std::uint16_t* values) {
  for (std::size_t i = 0; i < kGroup; i += 2, in += 3) {
    std::uint32_t pair = std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 | std::uint32_t(in[2]) << 16;
    values[i] = std::uint16_t(pair & 0xFFF);
    values[i + 1] = std::uint16_t(pair >> 12);
  }
  return in;
}

[[noreturn]] void corrupt(const char* what) { throw CorruptGroupData(what); }

}  // namespace

std::size_t group_worst_bytes32(std::size_t n) {
  std::size_t tail = n % kRun;
  return n / kRun * (1 + kRun * 4) + (tail + kGroup - 1) / kGroup + tail * 4;
}

std::size_t group_worst_bytes16(std::size_t n) {
  std::size_t tail = n % kRun;
  return n / kRun * (1 + kRun * 2) + (tail + kGroup - 1) / kGroup + tail * 2;
}

std::size_t group_encoded_bytes32(const std::uint32_t* values, std::size_t n) {
  std::size_t bytes = 0, i = 0;
  for (; i + kRun <= n; i += kRun) {
    bytes += 1;
    for (std::size_t g = 0; g < kRun; g += kGroup) bytes += kGroup * kRunWidth32[run_code32(bits_of(values + i + g, kGroup))];
  }
  for (; i < n; i += kGroup) {
    std::size_t k = std::min(kGroup, n - i);
    bytes += 1 + k * kTailWidth32[tail_code32(bits_of(values + i, k))];
  }
  return bytes;
}

std::size_t group_encoded_bytes16(const std::uint16_t* values, std::size_t n) {
  std::size_t bytes = 0, i = 0;
  for (; i + kRun <= n; i += kRun) {
    bytes += 1;
    for (std::size_t g = 0; g < kRun; g += kGroup) bytes += kRunGroupBytes16[run_code16(bits_of(values + i + g, kGroup))];
  }
  for (; i < n; i += kGroup) {
    std::size_t k = std::min(kGroup, n - i);
    bytes += 1 + k * (tail_code16(bits_of(values + i, k)) == kTailBytes16 ? 1 : 2);
  }
  return bytes;
}

std::size_t group_encode32(const std::uint32_t* values, std::size_t n, std::uint8_t* out) {
  std::uint8_t* start = out;
  std::size_t i = 0;
  for (; i + kRun <= n; i += kRun) {
    std::uint8_t& control = *out++;
    control = 0;
    for (std::size_t g = 0; g < kRun; g += kGroup) {
      const std::uint32_t* group = values + i + g;
      unsigned code = run_code32(bits_of(group, kGroup));
      control = std::uint8_t(control | code << (g / 4));
      out = put(group, kGroup, kRunWidth32[code], out);
    }
  }
  for (; i < n; i += kGroup) {
    std::size_t k = std::min(kGroup, n - i);
    unsigned code = tail_code32(bits_of(values + i, k));
    *out++ = std::uint8_t(code);
    out = put(values + i, k, kTailWidth32[code], out);
  }
  return std::size_t(out - start);
}

std::size_t group_encode16(const std::uint16_t* values, std::size_t n, std::uint8_t* out) {
  std::uint8_t* start = out;
  std::size_t i = 0;
  for (; i + kRun <= n; i += kRun) {
    std::uint8_t& control = *out++;
    control = 0;
    for (std::size_t g = 0; g < kRun; g += kGroup) {
      const std::uint16_t* group = values + i + g;
      unsigned code = run_code16(bits_of(group, kGroup));
      control = std::uint8_t(control | code << (g / 4));
      if (code == 1) out = put(group, kGroup, 1, out);
      else if (code == 2) out = put12(group, out);
      else if (code == 3) out = put(group, kGroup, 2, out);
    }
  }
  for (; i < n; i += kGroup) {
    std::size_t k = std::min(kGroup, n - i);
    std::uint8_t code = tail_code16(bits_of(values + i, k));
    *out++ = code;
    out = put(values + i, k, code == kTailBytes16 ? 1 : 2, out);
  }
  return std::size_t(out - start);
}

namespace {

// What tells the two widths' formats apart, for the one decoder below.
struct Format32 {
  using Value = std::uint32_t;
  static std::size_t run_group_bytes(unsigned code) { return kGroup * kRunWidth32[code]; }
  static const std::uint8_t* get_run_group(const std::uint8_t* in, unsigned code, Value* group) {
    std::size_t width = kRunWidth32[code];
    if (width == 0) {
      std::fill_n(group, kGroup, 0u);
      return in;
    }
    return get(in, kGroup, width, group);
  }
  // Bytes per value of a tail's control byte; 0 for a byte no encoder writes.
  static std::size_t tail_width(std::uint8_t code) { return code > 3 ? 0 : kTailWidth32[code]; }
};

struct Format16 {
  using Value = std::uint16_t;
  static std::size_t run_group_bytes(unsigned code) { return kRunGroupBytes16[code]; }
  static const std::uint8_t* get_run_group(const std::uint8_t* in, unsigned code, Value* group) {
    switch (code) {
      case 0: std::fill_n(group, kGroup, std::uint16_t(0)); return in;
      case 1: return get(in, kGroup, 1, group);
      case 2: return get12(in, group);
      default: return get(in, kGroup, 2, group);
    }
  }
  static std::size_t tail_width(std::uint8_t code) {
    return code == kTailBytes16 ? 1 : code == kTailShorts16 ? 2 : 0;
  }
};

template <class Format>
std::size_t group_decode(const std::uint8_t* in, std::size_t limit, typename Format::Value* values, std::size_t n) {
  const std::uint8_t* start = in;
  const std::uint8_t* end = in + limit;
  std::size_t i = 0;
  for (; i + kRun <= n; i += kRun) {
    if (in == end) corrupt("group data end early");
    unsigned control = *in++;
    std::size_t bytes = 0;
    for (unsigned g = 0; g < 4; ++g) bytes += Format::run_group_bytes(control >> (2 * g) & 3);
    if (std::size_t(end - in) < bytes) corrupt("group data end early");
    for (std::size_t g = 0; g < 4; ++g)
      in = Format::get_run_group(in, control >> (2 * g) & 3, values + i + g * kGroup);
  }
  for (; i < n; i += kGroup) {
    std::size_t k = std::min(kGroup, n - i);
    if (in == end) corrupt("group data end early");
    std::size_t width = Format::tail_width(*in++);
    if (width == 0) corrupt("bad group control byte");
    if (std::size_t(end - in) < k * width) corrupt("group data end early");
    in = get(in, k, width, values + i);
  }
  return std::size_t(in - start);
}

}  // namespace

std::size_t group_decode32(const std::uint8_t* in, std::size_t limit, std::uint32_t* values, std::size_t n) {
  return group_decode<Format32>(in, limit, values, n);
}

std::size_t group_decode16(const std::uint8_t* in, std::size_t limit, std::uint16_t* values, std::size_t n) {
  return group_decode<Format16>(in, limit, values, n);
}
