// Layouts and the plain value arrays.
#include "storage/value_array.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

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
  int n = layout_->entry(chunk, board).count;
  kernels::current_strategy(row(chunk, board, 0), ValueLayout::padded(n), layout_->actions, n, fallback, sigma,
                            sigma_stride);
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
  int n = layout_->entry(chunk, board).count;
  T* out = row(chunk, board, action);
  for (int h = 0; h < n; ++h) {
    if constexpr (sizeof(T) == 2) {
      double v = values[h];
      out[h] = v >= kernels::kMaxRegret16 ? T(kernels::kMaxRegret16) : v > 0 ? T(v) : T(0);
    } else {
      out[h] = T(values[h]);
    }
  }
}

template <class T>
void PlainValueArray<T>::update_regrets(int chunk, int board, const double* node_value,
                                        const double* const* action_values, std::span<const std::uint16_t> class_table,
                                        double stake_scale) {
  if (locked(chunk, board)) return;
  int n = layout_->entry(chunk, board).count;
  if constexpr (sizeof(T) == 2) {
    kernels::update_regrets(row(chunk, board, 0), ValueLayout::padded(n), layout_->actions, n, node_value,
                            action_values, class_table, stake_scale);
  } else {
    kernels::update_regrets(row(chunk, board, 0), ValueLayout::padded(n), layout_->actions, n, node_value,
                            action_values);
  }
}

template <class T>
void PlainValueArray<T>::accumulate_average(int chunk, int board, const double* sigma, std::size_t sigma_stride,
                                            const double* reach, double weight) {
  if constexpr (sizeof(T) == 2) {
    throw std::logic_error("averages are 32-bit");
  } else {
    if (locked(chunk, board)) return;
    int n = layout_->entry(chunk, board).count;
    kernels::accumulate_average(row(chunk, board, 0), ValueLayout::padded(n), layout_->actions, n, sigma,
                                sigma_stride, reach, weight);
  }
}

template <class T>
void PlainValueArray<T>::average_strategy(int chunk, int board, const NodeValueArray& regrets, double* sigma,
                                          std::size_t sigma_stride) const {
  if constexpr (sizeof(T) == 2) {
    throw std::logic_error("averages are 32-bit");
  } else {
    int actions = layout_->actions;
    int n = layout_->entry(chunk, board).count;
    double uniform[64];
    std::vector<double> wide;
    double* fallback = uniform;
    if (actions > 64) {
      wide.resize(actions);
      fallback = wide.data();
    }
    kernels::fallback_vector(kernels::Fallback::uniform, actions, fallback);
    regrets.current_strategy(chunk, board, fallback, sigma, sigma_stride);
    kernels::average_strategy(row(chunk, board, 0), ValueLayout::padded(n), actions, n, sigma, sigma_stride);
  }
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

std::unique_ptr<NodeValueArray> make_value_array(StorageForm form, bool sixteen_bit,
                                                 std::shared_ptr<const ValueLayout> layout) {
  if (form != StorageForm::plain) throw std::logic_error("compressed value arrays are not available");
  if (sixteen_bit) return std::make_unique<PlainValueArray16>(std::move(layout));
  return std::make_unique<PlainValueArray32>(std::move(layout));
}
