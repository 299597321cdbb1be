#pragma once
// The group formats of the medium store: values packed by their size, eight at a time, with no
// entropy coding. Runs of 32 values share one control byte of four 2-bit codes (the first group
// in the lowest bits); the values after the last full run go in groups of up to eight, each
// behind a control byte of its own.
//
//   32-bit runs:  0 all zero (no bytes), 1 one byte each, 2 two bytes each, 3 four bytes each.
//   32-bit tails: 0 one byte each, 1 two bytes each, 2 (or 3) four bytes each.
//   16-bit runs:  0 all zero, 1 one byte each, 2 twelve-bit fields (12 bytes), 3 two bytes each.
//   16-bit tails: 1 one byte each, 3 two bytes each.
// Multi-byte values are little-endian; twelve-bit fields are packed from the lowest bit up.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Group data that no encoder wrote (a decode would pass the end of its bytes or meet a control
// byte no encoder writes).
class CorruptGroupData : public std::runtime_error {
 public:
  explicit CorruptGroupData(const std::string& what) : std::runtime_error(what) {}
};

// The most bytes n values can take.
std::size_t group_worst_bytes32(std::size_t n);
std::size_t group_worst_bytes16(std::size_t n);

// The bytes n values take.
std::size_t group_encoded_bytes32(const std::uint32_t* values, std::size_t n);
std::size_t group_encoded_bytes16(const std::uint16_t* values, std::size_t n);

// Writes n values at out, which has room for the worst case; returns the bytes written.
std::size_t group_encode32(const std::uint32_t* values, std::size_t n, std::uint8_t* out);
std::size_t group_encode16(const std::uint16_t* values, std::size_t n, std::uint8_t* out);

// Reads n values from at most `limit` bytes at in; returns the bytes consumed. Throws
// CorruptGroupData rather than read past the limit.
std::size_t group_decode32(const std::uint8_t* in, std::size_t limit, std::uint32_t* values, std::size_t n);
std::size_t group_decode16(const std::uint8_t* in, std::size_t limit, std::uint16_t* values, std::size_t n);
