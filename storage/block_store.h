#pragma once
// The compressed store of one chunk of a compressed value array. A chunk closed with write back
// writes all its rows into the store (every write replaces the whole content); opening it reads
// them back in the same order with the same predictors. Two kinds:
// - GroupPackedStore ("medium"): values packed by size in groups of eight, no entropy coding.
// - EntropyCodedStore ("high"): rows through the entropy coder, its 24 streams side by side.
// Both keep their bytes in a ReservedArena (committed as they grow, released with the store) and
// add what they write and read to the process-wide storage statistics.
//
// A store is used by one thread at a time and has no locks.
#include <cstdint>
#include <memory>

#include "storage/arena.h"
#include "storage/binary_file.h"
#include "storage/entropy_coder.h"

// The compressed bytes of one chunk of a compressed value array: rows written and read in
// order, each coded against an optional predictor row. Kinds: medium (group formats) and high
// (entropy coded).
class BlockStore {
 public:
  virtual ~BlockStore() = default;
  BlockStore() = default;
  BlockStore(const BlockStore&) = delete;
  BlockStore& operator=(const BlockStore&) = delete;

  virtual void begin_write() = 0;
  virtual void end_write() = 0;
  virtual bool has_data() const = 0;
  virtual void begin_read() = 0;
  virtual void end_read() = 0;
  // predictor may be null; the medium store ignores it.
  virtual void write_row32(const std::uint32_t* values, const std::uint32_t* predictor, int n) = 0;
  virtual void write_row16(const std::uint16_t* values, const std::uint16_t* predictor, int n) = 0;
  virtual void read_row32(std::uint32_t* values, const std::uint32_t* predictor, int n) = 0;
  virtual void read_row16(std::uint16_t* values, const std::uint16_t* predictor, int n) = 0;
  virtual void save(BinaryFile& file) = 0;
  // Loading checks every size against the reservation and throws IOException("invalid file")
  // when one cannot be right; decoding what was loaded is checked by the caller's file checksum.
  virtual void load(BinaryFile& file) = 0;
  // Bytes of data held (what save writes after its header).
  virtual std::int64_t stored_bytes() const = 0;
};

// A new empty store of a kind (1 medium, 2 high) for a chunk of `values` values.
std::unique_ptr<BlockStore> make_block_store(int kind, std::int64_t values, bool sixteen_bit);
