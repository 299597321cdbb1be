// The medium (group-packed) and high (entropy-coded) chunk stores.
#include "storage/block_store.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "storage/group_codec.h"
#include "storage/value_array.h"

namespace {

// Commits and reads a store's data; a file that ends early leaves the store empty.
void read_data(ReservedArena& arena, BinaryFile& file, std::int64_t bytes) {
  ensure_committed(arena, std::int32_t(bytes));
  try {
    file.transfer(arena.base, std::size_t(bytes));
  } catch (...) {
    arena.needed = 0;
    arena.raw_used = 0;
    throw;
  }
}

// Values packed by size (storage/group_codec.h) one row after another in the arena. Room is
// claimed ahead of the rows, a row's worst case at a time, so that the arena is committed in few
// steps; the file keeps the whole claimed range.
class GroupPackedStore final : public BlockStore {
 public:
  GroupPackedStore(std::int64_t values, bool sixteen_bit) {
    arena_.granule_mask = kMediumStoreGranuleMask;
    arena_.reserve_size = medium_store_reserve_size(values, sixteen_bit);
  }
  ~GroupPackedStore() override { release_arena(arena_); }

  void begin_write() override {
    used_ = 0;
    claimed_ = 0;
    arena_.needed = 0;
    arena_.raw_used = 0;
    raw_ = 0;
  }

  void end_write() override { storage_statistics().bytes_written += used_; }
  bool has_data() const override { return claimed_ > 0; }
  void begin_read() override { used_ = 0; }
  void end_read() override { storage_statistics().bytes_read += used_; }

  void write_row32(const std::uint32_t* values, const std::uint32_t*, int n) override {
    std::size_t count = std::size_t(n);
    claim(5 * std::int64_t(n), group_worst_bytes32(count), [&] { return group_encoded_bytes32(values, count); });
    used_ += std::uint32_t(group_encode32(values, count, arena_.base + used_));
    raw_ += 4 * std::int64_t(n);
  }

  void write_row16(const std::uint16_t* values, const std::uint16_t*, int n) override {
    std::size_t count = std::size_t(n);
    claim((std::int64_t(n) + 31) / 32 + 2 * std::int64_t(n), group_worst_bytes16(count),
          [&] { return group_encoded_bytes16(values, count); });
    used_ += std::uint32_t(group_encode16(values, count, arena_.base + used_));
    raw_ += 2 * std::int64_t(n);
  }

  void read_row32(std::uint32_t* values, const std::uint32_t*, int n) override {
    used_ += std::uint32_t(group_decode32(arena_.base + used_, readable(), values, std::size_t(n)));
  }

  void read_row16(std::uint16_t* values, const std::uint16_t*, int n) override {
    used_ += std::uint32_t(group_decode16(arena_.base + used_, readable(), values, std::size_t(n)));
  }

  void save(BinaryFile& file) override {
    std::uint32_t claimed = claimed_;
    std::int64_t reserve_size = arena_.reserve_size, raw_used = arena_.raw_used;
    transfer_header(file, claimed, reserve_size, raw_used);
    file.transfer(arena_.base, std::size_t(raw_used));
  }

  void load(BinaryFile& file) override {
    std::uint32_t claimed = 0;
    std::int64_t reserve_size = 0, raw_used = 0;
    transfer_header(file, claimed, reserve_size, raw_used);
    // Every write leaves the arena's last commitment at the claimed size.
    if (reserve_size != arena_.reserve_size || raw_used < 0 || raw_used > reserve_size ||
        std::int64_t(claimed) != raw_used)
      throw IOException("invalid file");
    claimed_ = used_ = 0;
    raw_ = 0;
    read_data(arena_, file, raw_used);
    claimed_ = claimed;
  }

  std::int64_t stored_bytes() const override { return arena_.raw_used; }

 private:
  // Makes room for a row whose worst case is `worst` bytes. Room grows by `step` (the row's
  // nominal worst case) when that is short. The nominal case of a 16-bit row with a tail can
  // fall up to three bytes short of the real one, and the claim can run past the reservation
  // while the data still fit: only then is the claim set from the row's exact size, or capped at
  // the reservation.
  template <class ExactBytes>
  void claim(std::int64_t step, std::size_t worst, ExactBytes exact_bytes) {
    if (used_ + step > claimed_) {
      claimed_ = std::uint32_t(std::min(std::int64_t(claimed_) + step, arena_.reserve_size));
      ensure_committed(arena_, std::int32_t(claimed_));
    }
    if (used_ + std::int64_t(worst) <= claimed_) return;
    std::int64_t needed = used_ + std::int64_t(exact_bytes());
    if (needed <= claimed_) return;
    claimed_ = std::uint32_t(needed);
    ensure_committed(arena_, std::int32_t(needed));  // ends the process past the reservation
  }

  static void transfer_header(BinaryFile& file, std::uint32_t& claimed, std::int64_t& reserve_size,
                              std::int64_t& raw_used) {
    file.transfer_value(claimed);
    file.transfer_value(reserve_size);
    file.transfer_value(raw_used);
  }

  std::size_t readable() const { return std::size_t(std::max<std::int64_t>(arena_.raw_used - used_, 0)); }

  ReservedArena arena_;
  std::uint32_t claimed_ = 0;
  std::uint32_t used_ = 0;  // the write position, and the read position while reading
  std::int64_t raw_ = 0;    // bytes the rows written take uncompressed
};

// Rows through the entropy coder. While writing, its 24 streams grow in the calling thread's
// stream buffers; the write ends by copying them back to back into the arena, where the reads
// take them from.
class EntropyCodedStore final : public BlockStore {
 public:
  explicit EntropyCodedStore(std::int64_t values) {
    arena_.granule_mask = kHighStoreGranuleMask;
    arena_.reserve_size = high_store_reserve_size(values);
  }

  ~EntropyCodedStore() override {
    encoder_.reset();
    decoder_.reset();
    return_stream_buffers(buffers_);
    release_arena(arena_);
  }

  void begin_write() override {
    if (coder_open()) throw std::logic_error("");
    buffers_ = acquire_stream_buffers();
    std::fill_n(sizes_, kCoderStreams, 0u);
    std::fill_n(positions_, kCoderStreams, 0u);
    encoder_ = std::make_unique<entropy::Encoder>(&EntropyCodedStore::append, this);
  }

  void end_write() override {
    encoder_->finish();
    encoder_.reset();
    std::int64_t total = 0;
    for (int s = 0; s < kCoderStreams; ++s) total += positions_[s];
    ensure_committed(arena_, std::int32_t(total));
    std::uint8_t* out = arena_.base;
    for (int s = 0; s < kCoderStreams; ++s) {
      sizes_[s] = positions_[s];
      if (sizes_[s] != 0) std::memcpy(out, buffers_->buffers[s], sizes_[s]);
      out += sizes_[s];
    }
    return_stream_buffers(buffers_);
    buffers_ = nullptr;
    storage_statistics().bytes_written += std::uint64_t(total);
  }

  bool has_data() const override { return sizes_[0] != 0; }

  void begin_read() override {
    if (coder_open()) throw std::logic_error("");
    std::uint8_t* start = arena_.base;
    for (int s = 0; s < kCoderStreams; ++s) {
      starts_[s] = start;
      positions_[s] = 0;
      start += sizes_[s];
    }
    decoder_ = std::make_unique<entropy::Decoder>(&EntropyCodedStore::take, this, entropy::OnCorrupt::fatal);
  }

  void end_read() override {
    decoder_.reset();
    std::uint64_t total = 0;
    for (int s = 0; s < kCoderStreams; ++s) total += positions_[s];
    storage_statistics().bytes_read += total;
  }

  void write_row32(const std::uint32_t* values, const std::uint32_t* predictor, int n) override {
    encoder_->encode_row32(values, predictor, n);
  }
  void write_row16(const std::uint16_t* values, const std::uint16_t* predictor, int n) override {
    encoder_->encode_row16(values, predictor, n);
  }
  void read_row32(std::uint32_t* values, const std::uint32_t* predictor, int n) override {
    decoder_->decode_row32(values, predictor, n);
  }
  void read_row16(std::uint16_t* values, const std::uint16_t* predictor, int n) override {
    decoder_->decode_row16(values, predictor, n);
  }

  void save(BinaryFile& file) override {
    std::int64_t reserve_size = arena_.reserve_size, raw_used = arena_.raw_used;
    transfer_header(file, sizes_, positions_, reserve_size, raw_used);
    file.transfer(arena_.base, std::size_t(raw_used));
  }

  void load(BinaryFile& file) override {
    std::uint32_t sizes[kCoderStreams], lengths[kCoderStreams];
    std::int64_t reserve_size = 0, raw_used = 0;
    transfer_header(file, sizes, lengths, reserve_size, raw_used);
    std::int64_t total = 0;
    bool lengths_fit = true;
    for (int s = 0; s < kCoderStreams; ++s) {
      total += sizes[s];
      lengths_fit = lengths_fit && lengths[s] <= sizes[s];
    }
    // Stream 0 starts with the coder id: data without it were never written.
    if (reserve_size != arena_.reserve_size || raw_used < 0 || raw_used > reserve_size || total != raw_used ||
        !lengths_fit || (sizes[0] == 0 && raw_used != 0))
      throw IOException("invalid file");
    std::fill_n(sizes_, kCoderStreams, 0u);
    read_data(arena_, file, raw_used);
    std::copy_n(sizes, kCoderStreams, sizes_);
    std::copy_n(lengths, kCoderStreams, positions_);
  }

  std::int64_t stored_bytes() const override { return arena_.raw_used; }

 private:
  bool coder_open() const { return encoder_ != nullptr || decoder_ != nullptr; }

  static void transfer_header(BinaryFile& file, std::uint32_t* sizes, std::uint32_t* lengths,
                              std::int64_t& reserve_size, std::int64_t& raw_used) {
    for (int s = 0; s < kCoderStreams; ++s) {
      file.transfer_value(sizes[s]);
      file.transfer_value(lengths[s]);
    }
    file.transfer_value(reserve_size);
    file.transfer_value(raw_used);
  }

  static void append(void* user, int stream, const std::uint8_t* bytes, std::size_t count) {
    auto& store = *static_cast<EntropyCodedStore*>(user);
    std::uint32_t& length = store.positions_[stream];
    grow_stream_buffer(*store.buffers_, stream, std::uint32_t(length + count));
    std::memcpy(store.buffers_->buffers[stream] + length, bytes, count);
    length += std::uint32_t(count);
  }

  static void take(void* user, int stream, std::uint8_t* bytes, std::size_t count) {
    auto& store = *static_cast<EntropyCodedStore*>(user);
    std::uint32_t& position = store.positions_[stream];
    if (count > store.sizes_[stream] - position) throw entropy::CorruptData("stream read past its end");
    std::memcpy(bytes, store.starts_[stream] + position, count);
    position += std::uint32_t(count);
  }

  ReservedArena arena_;
  // Per stream: its bytes in the arena, and the bytes written (while writing) or read so far.
  std::uint32_t sizes_[kCoderStreams] = {};
  std::uint32_t positions_[kCoderStreams] = {};
  std::uint8_t* starts_[kCoderStreams] = {};
  StreamBufferSet* buffers_ = nullptr;  // held from begin_write to end_write
  std::unique_ptr<entropy::Encoder> encoder_;
  std::unique_ptr<entropy::Decoder> decoder_;
};

}  // namespace

std::unique_ptr<BlockStore> make_block_store(int kind, std::int64_t values, bool sixteen_bit) {
  if (kind == 1) return std::make_unique<GroupPackedStore>(values, sixteen_bit);
  if (kind == 2) return std::make_unique<EntropyCodedStore>(values);
  throw std::invalid_argument("unknown store kind");
}
