#pragma once
// A fast 64-bit checksum of a byte stream fed in pieces of any size: four independent lanes of
// multiply-rotate rounds over 32-byte stripes, mixed with the length at the end. Tree files
// carry it after their data so that a damaged file is refused before anything decodes it. It
// detects accidents (cut files, flipped bits), not deliberate forgery.
#include <cstddef>
#include <cstdint>

class StreamChecksum {
 public:
  StreamChecksum();
  void update(const void* data, std::size_t bytes);
  // The checksum of everything fed so far; feeding may go on afterwards.
  std::uint64_t digest() const;

 private:
  void stripe(const std::uint8_t* p);

  std::uint64_t lanes_[4];
  std::uint64_t length_ = 0;
  std::uint8_t pending_[32];
  std::size_t pending_bytes_ = 0;
};
