// Layouts and the plain value arrays.
#include "storage/value_array.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "storage/block_store.h"
#include "storage/scratch.h"

std::shared_ptr<const ValueLayout> ValueLayout::make(int actions, const std::vector<std::vector<int>>& hands_per_chunk) {
  auto layout = std::make_shared<ValueLayout>();
  layout->actions = actions;
  std::int64_t offset = 0;
  for (const std::vector<int>& counts : hands_per_chunk) {
    Chunk chunk;
    chunk.first_entry = int(layout->boards.size());
    chunk.entry_count = int(counts.size());
    chunk.base = offset;
    for (int count : counts) {
      layout->boards.push_back({offset, count});
      offset += std::int64_t(actions) * padded(count);
    }
    chunk.values = offset - chunk.base;
    layout->chunks.push_back(chunk);
  }
  layout->total_values = offset;
  return layout;
}

StorageStatistics& storage_statistics() {
  static StorageStatistics statistics;
  return statistics;
}

void reset_storage_statistics() {
  storage_statistics().bytes_written = 0;
  storage_statistics().bytes_read = 0;
}

NodeValueArray::NodeValueArray(std::shared_ptr<const ValueLayout> layout)
    : layout_(std::move(layout)), flags_(layout_->boards.size()) {}

std::uint32_t& NodeValueArray::flags(int chunk, int board) {
  return flags_[layout_->chunks[chunk].first_entry + board].flags;
}

namespace {

// The operations on one board's rows, shared by the plain and the compressed forms: `first`
// is the board's row of action 0, the others follow at the padded stride.
template <class T>
struct BoardRows {
  T* first;
  int n;
  int actions;
  bool is_signed = false;  // 16-bit rows hold signed regrets (two's complement)

  std::size_t stride() const { return std::size_t(ValueLayout::padded(n)); }
  std::int16_t* signed_first() const { return reinterpret_cast<std::int16_t*>(first); }

  void current_strategy(const double* fallback, double* sigma, std::size_t sigma_stride) const {
    if constexpr (sizeof(T) == 2)
      if (is_signed) return kernels::current_strategy(signed_first(), stride(), actions, n, fallback, sigma, sigma_stride);
    kernels::current_strategy(first, stride(), actions, n, fallback, sigma, sigma_stride);
  }

  void set_row(int action, const double* values) const {
    T* out = first + std::size_t(action) * stride();
    for (int h = 0; h < n; ++h) {
      if constexpr (sizeof(T) == 2) {
        double v = values[h];
        int top = is_signed ? kernels::kMaxSignedRegret16 : kernels::kMaxRegret16;
        int bottom = is_signed ? kernels::kMinSignedRegret16 : 0;
        out[h] = T(v >= top ? top : v <= bottom ? bottom : int(v));
      } else {
        out[h] = T(values[h]);
      }
    }
  }

  // 16-bit rows recoded for the other rule: unsigned to signed (clamped to 32767) or back
  // (negative regrets become 0).
  void recode(bool to_signed) {
    if constexpr (sizeof(T) == 2) {
      for (int a = 0; a < actions; ++a) {
        T* row = first + std::size_t(a) * stride();
        for (int h = 0; h < n; ++h)
          row[h] = to_signed ? T(std::min<int>(row[h], kernels::kMaxSignedRegret16))
                             : T(std::max<int>(std::int16_t(row[h]), 0));
      }
    }
    is_signed = to_signed;
  }

  void update_regrets(const double* node_value, const double* const* action_values,
                      std::span<const std::uint16_t> class_table, double stake_scale, const RegretRule& rule) const {
    if constexpr (sizeof(T) == 2) {
      if (rule.keep_negative)
        kernels::update_signed_regrets(signed_first(), stride(), actions, n, node_value, action_values, class_table,
                                       stake_scale, rule.discount, rule.negative_discount,
                                       rule.negative_step);
      else
        kernels::update_regrets(first, stride(), actions, n, node_value, action_values, class_table, stake_scale,
                                rule.discount);
    } else if (rule.keep_negative) {
      kernels::update_signed_regrets(first, stride(), actions, n, node_value, action_values, rule.discount,
                                     rule.negative_discount, rule.negative_step);
    } else {
      kernels::update_regrets(first, stride(), actions, n, node_value, action_values, rule.discount);
    }
  }

  void accumulate_average(const double* sigma, std::size_t sigma_stride, const double* reach, double weight) const {
    if constexpr (sizeof(T) == 2)
      throw std::logic_error("averages are 32-bit");
    else
      kernels::accumulate_average(first, stride(), actions, n, sigma, sigma_stride, reach, weight);
  }

  void discount(double factor) const {
    for (int a = 0; a < actions; ++a) {
      T* row = first + std::size_t(a) * stride();
      if constexpr (sizeof(T) == 2) {
        float f = float(factor);
        for (int h = 0; h < n; ++h) row[h] = T(float(row[h]) * f + 0.5f);
      } else {
        float f = float(factor);
        for (int h = 0; h < n; ++h) row[h] *= f;
      }
    }
  }

  // Normalised averages; hands without any take the current strategy of `regrets` under the
  // uniform fallback.
  void average_strategy(const NodeValueArray& regrets, int chunk, int board, double* sigma,
                        std::size_t sigma_stride) const {
    if constexpr (sizeof(T) == 2) {
      throw std::logic_error("averages are 32-bit");
    } else {
      double uniform[64];
      std::vector<double> wide;
      double* fallback = uniform;
      if (actions > 64) {
        wide.resize(std::size_t(actions));
        fallback = wide.data();
      }
      kernels::fallback_vector(kernels::Fallback::uniform, actions, fallback);
      regrets.current_strategy(chunk, board, fallback, sigma, sigma_stride);
      kernels::average_strategy(first, stride(), actions, n, sigma, sigma_stride);
    }
  }
};

template <class T>
BoardRows<T> board_rows(T* first, const ValueLayout& layout, int chunk, int board, std::uint32_t flags = 0) {
  return {first, layout.entry(chunk, board).count, layout.actions, sizeof(T) == 2 && (flags & kSignedFlag) != 0};
}

// An update under `rule`: a 16-bit entry coded for the other rule is recoded first.
template <class T>
void update_board(BoardRows<T> rows, std::uint32_t& flags, const double* node_value, const double* const* action_values,
                  std::span<const std::uint16_t> class_table, double stake_scale, const RegretRule& rule) {
  if (sizeof(T) == 2 && rows.is_signed != rule.keep_negative) {
    rows.recode(rule.keep_negative);
    flags ^= kSignedFlag;
  }
  rows.update_regrets(node_value, action_values, class_table, stake_scale, rule);
}

}  // namespace

template <class T>
PlainValueArray<T>::PlainValueArray(std::shared_ptr<const ValueLayout> layout) : NodeValueArray(std::move(layout)) {}

template <class T>
PlainValueArray<T>::~PlainValueArray() {
  release_plain_block(block_);
}

template <class T>
bool PlainValueArray<T>::allocate() {
  if (allocated()) return true;
  return allocate_plain_block(block_, std::size_t(layout_->total_values), sizeof(T));
}

template <class T>
void PlainValueArray<T>::current_strategy(int chunk, int board, const double* fallback, double* sigma,
                                          std::size_t sigma_stride) const {
  board_rows(row(chunk, board, 0), *layout_, chunk, board, flags(chunk, board)).current_strategy(fallback, sigma, sigma_stride);
}

template <class T>
void PlainValueArray<T>::prefetch(int chunk, int board) const {
  constexpr std::size_t kLine = 64;
  const char* first = reinterpret_cast<const char*>(row(chunk, board, 0));
  std::size_t bytes = std::size_t(layout_->actions) * std::size_t(ValueLayout::padded(layout_->entry(chunk, board).count)) * sizeof(T);
  for (std::size_t at = 0; at < bytes; at += kLine) _mm_prefetch(first + at, _MM_HINT_T0);
}

template <class T>
void PlainValueArray<T>::set_row(int chunk, int board, int action, const double* values) {
  board_rows(row(chunk, board, 0), *layout_, chunk, board, flags(chunk, board)).set_row(action, values);
}

template <class T>
void PlainValueArray<T>::update_regrets(int chunk, int board, const double* node_value,
                                        const double* const* action_values, std::span<const std::uint16_t> class_table,
                                        double stake_scale, const RegretRule& rule) {
  if (locked(chunk, board)) return;
  std::uint32_t& f = flags(chunk, board);
  update_board(board_rows(row(chunk, board, 0), *layout_, chunk, board, f), f, node_value, action_values, class_table,
               stake_scale, rule);
}

template <class T>
void PlainValueArray<T>::accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride,
                                            const double* reach, double weight) {
  if (locked(chunk, board)) return;
  board_rows(row(chunk, board, 0), *layout_, chunk, board).accumulate_average(sigma, sigma_stride, reach, weight);
}

template <class T>
void PlainValueArray<T>::discount(int chunk, int board, double factor) {
  if (locked(chunk, board)) return;
  board_rows(row(chunk, board, 0), *layout_, chunk, board).discount(factor);
}

template <class T>
void PlainValueArray<T>::average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                                          std::size_t sigma_stride) const {
  board_rows(row(chunk, board, 0), *layout_, chunk, board).average_strategy(regrets, chunk, board, sigma, sigma_stride);
}

template <class T>
void PlainValueArray<T>::transfer(BinaryFile& file) {
  for (FlagsEntry& entry : flags_) file.transfer_value(entry.flags);
  if (file.reading() && !allocate()) throw IOException("out of memory");
  std::vector<T> zeros;
  for (std::size_t k = 0; k < layout_->chunks.size(); ++k) {
    const ValueLayout::Chunk& chunk = layout_->chunks[k];
    for (int b = 0; b < chunk.entry_count; ++b) {
      std::size_t bytes = std::size_t(layout_->entry(int(k), b).count) * sizeof(T);
      for (int a = 0; a < layout_->actions; ++a) {
        if (block_.base != nullptr) {
          file.transfer(row(int(k), b, a), bytes);
        } else {
          // An array that never took its memory saves as zeros.
          zeros.resize(std::max(zeros.size(), bytes / sizeof(T)));
          file.write(zeros.data(), bytes);
        }
      }
    }
  }
}

template class PlainValueArray<std::uint16_t>;
template class PlainValueArray<float>;

CompressedValueArray::CompressedValueArray(std::shared_ptr<const ValueLayout> layout, StorageForm kind,
                                           bool sixteen_bit)
    : NodeValueArray(std::move(layout)),
      kind_(kind),
      sixteen_bit_(sixteen_bit),
      stores_(layout_->chunks.size()),
      buffers_(layout_->chunks.size(), nullptr) {
  if (kind == StorageForm::plain) throw std::logic_error("a compressed array needs a store kind");
}

CompressedValueArray::~CompressedValueArray() {
  for (void* buffer : buffers_) scratch_free(buffer);
}

void* CompressedValueArray::row(int chunk, int board, int action) const {
  void* buffer = buffers_[std::size_t(chunk)];
  if (buffer == nullptr) throw std::logic_error("not open");
  std::size_t at = std::size_t(layout_->row_in_chunk(chunk, board, action));
  return static_cast<std::uint8_t*>(buffer) + at * (sixteen_bit_ ? 2 : 4);
}

void CompressedValueArray::current_strategy(int chunk, int board, const double* fallback, double* sigma,
                                            std::size_t sigma_stride) const {
  void* first = row(chunk, board, 0);
  if (sixteen_bit_)
    board_rows(static_cast<std::uint16_t*>(first), *layout_, chunk, board, flags(chunk, board))
        .current_strategy(fallback, sigma, sigma_stride);
  else
    board_rows(static_cast<float*>(first), *layout_, chunk, board).current_strategy(fallback, sigma, sigma_stride);
}

void CompressedValueArray::set_row(int chunk, int board, int action, const double* values) {
  void* first = row(chunk, board, 0);
  if (sixteen_bit_)
    board_rows(static_cast<std::uint16_t*>(first), *layout_, chunk, board, flags(chunk, board)).set_row(action, values);
  else
    board_rows(static_cast<float*>(first), *layout_, chunk, board).set_row(action, values);
}

void CompressedValueArray::update_regrets(int chunk, int board, const double* node_value,
                                          const double* const* action_values,
                                          std::span<const std::uint16_t> class_table, double stake_scale,
                                          const RegretRule& rule) {
  if (locked(chunk, board)) return;
  void* first = row(chunk, board, 0);
  std::uint32_t& f = flags(chunk, board);
  if (sixteen_bit_)
    update_board(board_rows(static_cast<std::uint16_t*>(first), *layout_, chunk, board, f), f, node_value,
                 action_values, class_table, stake_scale, rule);
  else
    update_board(board_rows(static_cast<float*>(first), *layout_, chunk, board, f), f, node_value, action_values,
                 class_table, stake_scale, rule);
}

void CompressedValueArray::accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride,
                                              const double* reach, double weight) {
  if (locked(chunk, board)) return;
  if (sixteen_bit_) throw std::logic_error("averages are 32-bit");
  board_rows(static_cast<float*>(row(chunk, board, 0)), *layout_, chunk, board)
      .accumulate_average(sigma, sigma_stride, reach, weight);
}

void CompressedValueArray::discount(int chunk, int board, double factor) {
  if (locked(chunk, board)) return;
  void* first = row(chunk, board, 0);
  if (sixteen_bit_)
    board_rows(static_cast<std::uint16_t*>(first), *layout_, chunk, board).discount(factor);
  else
    board_rows(static_cast<float*>(first), *layout_, chunk, board).discount(factor);
}

void CompressedValueArray::average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                                            std::size_t sigma_stride) const {
  if (sixteen_bit_) throw std::logic_error("averages are 32-bit");
  board_rows(static_cast<float*>(row(chunk, board, 0)), *layout_, chunk, board)
      .average_strategy(regrets, chunk, board, sigma, sigma_stride);
}

// Rows go action by action, each action's boards in order; a board is coded against the same
// action's previous board when it has no more hands (its rows are then a prefix-sized match).
// Signed 16-bit rows go into the stores as zigzag codes (0, -1, 1, -2, ... as 0, 1, 2, 3, ...),
// so that small magnitudes of either sign stay small numbers for the coders.
void CompressedValueArray::zigzag_signed_rows(int chunk, bool encode) {
  const ValueLayout::Chunk& c = layout_->chunks[std::size_t(chunk)];
  for (int b = 0; b < c.entry_count; ++b) {
    if (!(flags(chunk, b) & kSignedFlag)) continue;
    for (int a = 0; a < layout_->actions; ++a) {
      auto* values = static_cast<std::uint16_t*>(row(chunk, b, a));
      for (int h = 0, n = layout_->entry(chunk, b).count; h < n; ++h) {
        std::uint16_t v = values[h];
        int r = std::int16_t(v);
        values[h] = encode ? std::uint16_t(unsigned(r * 2) ^ unsigned(r >> 31)) : std::uint16_t((v >> 1) ^ (0u - (v & 1u)));
      }
    }
  }
}

void CompressedValueArray::transfer_rows(int chunk, bool write) {
  const ValueLayout::Chunk& c = layout_->chunks[std::size_t(chunk)];
  BlockStore& store = *stores_[std::size_t(chunk)];
  auto* bytes = static_cast<std::uint8_t*>(buffers_[std::size_t(chunk)]);
  std::size_t element = sixteen_bit_ ? 2 : 4;
  if (sixteen_bit_ && write) zigzag_signed_rows(chunk, true);
  for (int a = 0; a < layout_->actions; ++a) {
    for (int b = 0; b < c.entry_count; ++b) {
      int n = layout_->entry(chunk, b).count;
      std::uint8_t* values = bytes + std::size_t(layout_->row_in_chunk(chunk, b, a)) * element;
      const std::uint8_t* predictor = nullptr;
      if (b > 0 && n <= layout_->entry(chunk, b - 1).count)
        predictor = bytes + std::size_t(layout_->row_in_chunk(chunk, b - 1, a)) * element;
      if (sixteen_bit_) {
        auto* v = reinterpret_cast<std::uint16_t*>(values);
        auto* p = reinterpret_cast<const std::uint16_t*>(predictor);
        write ? store.write_row16(v, p, n) : store.read_row16(v, p, n);
      } else {
        auto* v = reinterpret_cast<std::uint32_t*>(values);
        auto* p = reinterpret_cast<const std::uint32_t*>(predictor);
        write ? store.write_row32(v, p, n) : store.read_row32(v, p, n);
      }
    }
  }
  if (sixteen_bit_ && !write) zigzag_signed_rows(chunk, false);
}

void CompressedValueArray::open_chunk(int chunk) {
  if (buffers_[std::size_t(chunk)] != nullptr) return;
  const ValueLayout::Chunk& c = layout_->chunks[std::size_t(chunk)];
  std::unique_ptr<BlockStore>& store = stores_[std::size_t(chunk)];
  if (!store) store = make_block_store(int(kind_), c.values, sixteen_bit_);
  std::size_t bytes = std::size_t(c.values) * (sixteen_bit_ ? 2 : 4);
  void* buffer = scratch_allocate(bytes);
  // Zeros for a store never written, and for the padding after each row in every case (the
  // vector kernels read whole lanes).
  std::memset(buffer, 0, bytes);
  buffers_[std::size_t(chunk)] = buffer;
  if (store->has_data()) {
    store->begin_read();
    transfer_rows(chunk, false);
    store->end_read();
  }
}

void CompressedValueArray::close_chunk(int chunk, bool write_back) {
  void*& buffer = buffers_[std::size_t(chunk)];
  if (buffer == nullptr) return;
  if (write_back) {
    BlockStore& store = *stores_[std::size_t(chunk)];
    store.begin_write();
    transfer_rows(chunk, true);
    store.end_write();
  }
  scratch_free(buffer);
  buffer = nullptr;
}

std::int64_t CompressedValueArray::stored_bytes() const {
  std::int64_t total = 0;
  for (const auto& store : stores_)
    if (store) total += store->stored_bytes();
  return total;
}

// Flags words, then a byte that says whether the stores follow, then every chunk's store. A
// chunk that was never opened saves as an empty store, so that the stores are all or none.
void CompressedValueArray::save(BinaryFile& file) {
  for (FlagsEntry& entry : flags_) file.write(&entry.flags, sizeof(entry.flags));
  bool any = false;
  for (const auto& store : stores_) any = any || store != nullptr;
  std::uint8_t present = any ? 1 : 0;
  file.write(&present, 1);
  if (!any) return;
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    if (!stores_[k]) stores_[k] = make_block_store(int(kind_), layout_->chunks[k].values, sixteen_bit_);
    stores_[k]->save(file);
  }
}

void CompressedValueArray::load(BinaryFile& file) {
  for (FlagsEntry& entry : flags_) file.read(&entry.flags, sizeof(entry.flags));
  std::uint8_t present = 0;
  file.read(&present, 1);
  if (present > 1) throw IOException("invalid file");
  for (std::size_t k = 0; k < stores_.size(); ++k) {
    if (buffers_[k] != nullptr) {
      scratch_free(buffers_[k]);
      buffers_[k] = nullptr;
    }
    stores_[k].reset();
    if (present == 0) continue;
    stores_[k] = make_block_store(int(kind_), layout_->chunks[k].values, sixteen_bit_);
    stores_[k]->load(file);
  }
}

std::unique_ptr<NodeValueArray> make_value_array(StorageForm form, bool sixteen_bit,
                                                 std::shared_ptr<const ValueLayout> layout) {
  if (form != StorageForm::plain) return std::make_unique<CompressedValueArray>(std::move(layout), form, sixteen_bit);
  if (sixteen_bit) return std::make_unique<PlainValueArray16>(std::move(layout));
  return std::make_unique<PlainValueArray32>(std::move(layout));
}
