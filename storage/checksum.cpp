#include "storage/checksum.h"

#include <cstring>

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;

std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian host: the files are little-endian too
}

std::uint64_t mix(std::uint64_t lane, std::uint64_t word) { return rotl(lane + word * kPrime2, 31) * kPrime1; }

std::uint64_t avalanche(std::uint64_t h) {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

}  // namespace

StreamChecksum::StreamChecksum()
    : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void StreamChecksum::stripe(const std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) lanes_[i] = mix(lanes_[i], load64(p + 8 * i));
}

void StreamChecksum::update(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  length_ += bytes;
  if (pending_bytes_ > 0) {
    std::size_t take = bytes < 32 - pending_bytes_ ? bytes : 32 - pending_bytes_;
    std::memcpy(pending_ + pending_bytes_, p, take);
    pending_bytes_ += take;
    p += take;
    bytes -= take;
    if (pending_bytes_ < 32) return;
    stripe(pending_);
    pending_bytes_ = 0;
  }
  // Whole stripes straight from the caller's memory; the lanes are independent chains.
  std::uint64_t a = lanes_[0], b = lanes_[1], c = lanes_[2], d = lanes_[3];
  for (; bytes >= 32; p += 32, bytes -= 32) {
    a = mix(a, load64(p));
    b = mix(b, load64(p + 8));
    c = mix(c, load64(p + 16));
    d = mix(d, load64(p + 24));
  }
  lanes_[0] = a, lanes_[1] = b, lanes_[2] = c, lanes_[3] = d;
  std::memcpy(pending_, p, bytes);
  pending_bytes_ = bytes;
}

std::uint64_t StreamChecksum::digest() const {
  std::uint64_t h = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
  for (std::uint64_t lane : lanes_) h = (h ^ mix(0, lane)) * kPrime1 + kPrime4;
  h += length_;
  std::size_t i = 0;
  for (; i + 8 <= pending_bytes_; i += 8) h = rotl(h ^ mix(0, load64(pending_ + i)), 27) * kPrime1 + kPrime4;
  for (; i < pending_bytes_; ++i) h = rotl(h ^ (pending_[i] * kPrime4), 11) * kPrime1;
  return avalanche(h);
}
