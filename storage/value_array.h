#pragma once
// Per-node value arrays of river action nodes: one value per action per hand for every river
// board on which the node is played. The boards are grouped into chunks, the units of
// compression; a compressed array keeps each chunk in its own store and decodes it into a
// buffer between open_chunk and close_chunk. Plain arrays keep everything in one PlainBlock and
// treat open_chunk/close_chunk as no-ops, so the solver brackets every chunk the same way.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kernels/kernels.h"
#include "storage/arena.h"
#include "storage/binary_file.h"

// Where the values of one action node live, shared by all river action nodes with the same
// number of actions. Row (a, b) of chunk k starts at value offset_b + a * padded(count_b); a
// board entry takes actions * padded(count_b) values and a chunk's entries are contiguous.
struct ValueLayout {
  struct BoardEntry {
    std::int64_t offset = 0;  // first value of the entry in the whole array
    int count = 0;            // hands the board leaves available (at most 1,081)
  };
  struct Chunk {
    int first_entry = 0;
    int entry_count = 0;
    std::int64_t base = 0;  // offset of the chunk's first value
    std::int64_t values = 0;
  };

  int actions = 0;
  std::vector<BoardEntry> boards;
  std::vector<Chunk> chunks;
  std::int64_t total_values = 0;

  static int padded(int count) { return (count + 3) & ~3; }
  // Lays out chunk after chunk; hands_per_chunk[k] lists the hand counts of chunk k's boards.
  static std::shared_ptr<const ValueLayout> make(int actions, const std::vector<std::vector<int>>& hands_per_chunk);

  const BoardEntry& entry(int chunk, int board) const { return boards[chunks[chunk].first_entry + board]; }
  // Offset of row (action, board) inside the chunk's buffer.
  std::int64_t row_in_chunk(int chunk, int board, int action) const {
    const BoardEntry& e = entry(chunk, board);
    return e.offset - chunks[chunk].base + std::int64_t(action) * padded(e.count);
  }
};

// Storage form of an array: 0 plain, 1 group-packed ("medium"), 2 entropy-coded ("high").
enum class StorageForm { plain = 0, medium = 1, high = 2 };

constexpr std::uint32_t kLockedFlag = 1;  // bit 0 of a board entry's flags word
// Bit 1: the entry's 16-bit rows hold signed regrets (two's complement; a schedule that keeps
// negative regrets wrote them); set and cleared by updates as the rule in force asks.
constexpr std::uint32_t kSignedFlag = 2;

// How an update treats the regrets a node keeps.
struct RegretRule {
  double discount = 1;         // kept positive regrets are multiplied by this first
  bool keep_negative = false;  // negative regrets are kept, multiplied by negative_discount; else clipped at zero
  double negative_discount = 1;
  double negative_step = 1;  // kept negatives: the update's negative increments are multiplied by this
};

// One flags word per board entry, at the start of a 16-byte entry.
struct alignas(16) FlagsEntry {
  std::uint32_t flags = 0;
  std::uint32_t reserved[3] = {};
};

// Bytes written into and read from compressed stores, process-wide.
struct StorageStatistics {
  std::atomic<std::uint64_t> bytes_written{0};
  std::atomic<std::uint64_t> bytes_read{0};
};
StorageStatistics& storage_statistics();
void reset_storage_statistics();

// The per-node values of one decision: a row per action for every board entry of its street
// (chunk = turn card, board = river card). Subclasses store them plain (float or 16-bit) or
// compressed; the solver reaches them only through these row operations, one board at a time.
class NodeValueArray {
 public:
  explicit NodeValueArray(std::shared_ptr<const ValueLayout> layout);
  virtual ~NodeValueArray() = default;
  NodeValueArray(const NodeValueArray&) = delete;
  NodeValueArray& operator=(const NodeValueArray&) = delete;

  // Takes the array's memory (zeroed); false when it cannot be had.
  virtual bool allocate() = 0;
  // Regret matching of one board's rows into sigma (row a at sigma + a * sigma_stride).
  virtual void current_strategy(int chunk, int board, const double* fallback, double* sigma,
                                std::size_t sigma_stride) const = 0;
  // Overwrites one action's row, converting each value to the element type.
  virtual void set_row(int chunk, int board, int action, const double* values) = 0;
  // The class table and the stake scale only matter to 16-bit arrays; the rule's discounts
  // apply to the kept regrets in the same pass (kernels::update_regrets, update_signed_regrets).
  // A 16-bit entry whose rows are coded for the other rule is converted first (signed values
  // above 32767 clamp; negative ones become 0). Updates and accumulation leave a LOCKED board
  // entry unchanged; set_row still writes it.
  virtual void update_regrets(int chunk, int board, const double* node_value, const double* const* action_values,
                              std::span<const std::uint16_t> class_table, double stake_scale,
                              const RegretRule& rule = {}) = 0;
  virtual void accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride,
                                  const double* reach, double weight) = 0;
  // Multiplies one board's values by factor (0..1), rounding 16-bit values to the nearest; a
  // LOCKED board entry stays unchanged. Schedules restart averages with it (a regret discount
  // goes with the update).
  virtual void discount(int chunk, int board, double factor) = 0;
  // Number of stored values.
  virtual std::int64_t size() const = 0;
  virtual void save(BinaryFile& file) = 0;
  virtual void load(BinaryFile& file) = 0;
  virtual void open_chunk(int chunk) = 0;
  virtual void close_chunk(int chunk, bool write_back) = 0;
  virtual std::uint32_t& flags(int chunk, int board);
  // A hint that one board's values are needed soon: the plain form asks the processor to
  // start loading them. Nothing else changes.
  virtual void prefetch(int /*chunk*/, int /*board*/) const {}
  // Normalised average of this (average) array; hands without an average take the current
  // strategy of `regrets` with the uniform fallback.
  virtual void average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                                std::size_t sigma_stride) const = 0;

  const ValueLayout& layout() const { return *layout_; }
  const std::shared_ptr<const ValueLayout>& shared_layout() const { return layout_; }
  std::uint32_t flags(int chunk, int board) const { return flags_[layout_->chunks[chunk].first_entry + board].flags; }
  bool locked(int chunk, int board) const { return (flags(chunk, board) & kLockedFlag) != 0; }

 protected:
  std::shared_ptr<const ValueLayout> layout_;
  std::vector<FlagsEntry> flags_;
};

// Fixed-width values in one PlainBlock: 16-bit unsigned (river regrets) or 32-bit floats.
template <class T>
class PlainValueArray final : public NodeValueArray {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);

 public:
  explicit PlainValueArray(std::shared_ptr<const ValueLayout> layout);
  ~PlainValueArray() override;

  bool allocate() override;
  void current_strategy(int chunk, int board, const double* fallback, double* sigma,
                        std::size_t sigma_stride) const override;
  void set_row(int chunk, int board, int action, const double* values) override;
  void update_regrets(int chunk, int board, const double* node_value, const double* const* action_values,
                      std::span<const std::uint16_t> class_table, double stake_scale,
                      const RegretRule& rule = {}) override;
  void accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride, const double* reach,
                          double weight) override;
  void discount(int chunk, int board, double factor) override;
  std::int64_t size() const override { return layout_->total_values; }
  void save(BinaryFile& file) override { transfer(file); }
  void load(BinaryFile& file) override { transfer(file); }
  void open_chunk(int) override {}
  void close_chunk(int, bool) override {}
  void prefetch(int chunk, int board) const override;
  void average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                        std::size_t sigma_stride) const override;

  int element_size() const { return int(sizeof(T)); }
  bool allocated() const { return block_.base != nullptr || layout_->total_values == 0; }
  // Row (action, board) of a chunk; the array must be allocated.
  T* row(int chunk, int board, int action) const {
    return static_cast<T*>(block_.base) + layout_->chunks[chunk].base + layout_->row_in_chunk(chunk, board, action);
  }

 private:
  // Saving and loading share one routine; the file's mode decides the direction.
  void transfer(BinaryFile& file);

  PlainBlock block_;
};

using PlainValueArray16 = PlainValueArray<std::uint16_t>;
using PlainValueArray32 = PlainValueArray<float>;

extern template class PlainValueArray<std::uint16_t>;
extern template class PlainValueArray<float>;

class BlockStore;

// Each chunk in its own block store (group-packed or entropy-coded), created on the chunk's first
// open. open_chunk decodes the chunk into a plain buffer laid out like a plain array's chunk;
// the solver's operations work on that buffer (they throw std::logic_error("not open") on a
// closed chunk); close_chunk with write back encodes it again. Row (a, b) is coded against row
// (a, b - 1) of the same chunk when b is not the first board and has no more hands than b - 1.
class CompressedValueArray final : public NodeValueArray {
 public:
  CompressedValueArray(std::shared_ptr<const ValueLayout> layout, StorageForm kind, bool sixteen_bit);
  ~CompressedValueArray() override;

  // Stores are made lazily: nothing to take up front.
  bool allocate() override { return true; }
  void current_strategy(int chunk, int board, const double* fallback, double* sigma,
                        std::size_t sigma_stride) const override;
  void set_row(int chunk, int board, int action, const double* values) override;
  void update_regrets(int chunk, int board, const double* node_value, const double* const* action_values,
                      std::span<const std::uint16_t> class_table, double stake_scale,
                      const RegretRule& rule = {}) override;
  void accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride, const double* reach,
                          double weight) override;
  void discount(int chunk, int board, double factor) override;
  std::int64_t size() const override { return layout_->total_values; }
  void save(BinaryFile& file) override;
  void load(BinaryFile& file) override;
  void open_chunk(int chunk) override;
  void close_chunk(int chunk, bool write_back) override;
  void average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                        std::size_t sigma_stride) const override;

  StorageForm kind() const { return kind_; }
  bool sixteen_bit() const { return sixteen_bit_; }
  bool is_open(int chunk) const { return buffers_[std::size_t(chunk)] != nullptr; }
  // Bytes the chunk stores hold now (0 for chunks never written).
  std::int64_t stored_bytes() const;

 private:
  // The open buffer's row (action, board); throws "not open" when the chunk is closed.
  void* row(int chunk, int board, int action) const;
  void transfer_rows(int chunk, bool write);
  // The open chunk's signed rows to zigzag codes (encode) or back.
  void zigzag_signed_rows(int chunk, bool encode);

  StorageForm kind_;
  bool sixteen_bit_;
  std::vector<std::unique_ptr<BlockStore>> stores_;  // per chunk, null until first opened
  std::vector<void*> buffers_;                       // per chunk, null while closed
};

// Creates an empty array of the given form (16-bit values only for regret arrays).
std::unique_ptr<NodeValueArray> make_value_array(StorageForm form, bool sixteen_bit,
                                                 std::shared_ptr<const ValueLayout> layout);
