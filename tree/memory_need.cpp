#include "tree/memory_need.h"

#include <algorithm>

#include "storage/arena.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "tree/tree_storage.h"

namespace {

constexpr std::uint64_t kPage = 4096;
// What each heap allocation costs beyond its bytes (the allocator's header and rounding).
constexpr std::uint64_t kAllocationOverhead = 16;
// Touched part of a worker's scratch stack: the block the pool prepares ahead (2 MB) and the
// decoded chunk scratch of its jobs.
constexpr std::uint64_t kWorkerScratch = std::uint64_t(2) << 20;

// Stored bytes over uncompressed bytes at the end of the benchmark flop solves, by store kind and
// value width (regrets are 16-bit, averages 32-bit): group-packed between F1 (0.40, 0.67) and
// F1W (0.36, 0.57), entropy-coded as F1 reached them.
struct Ratio {
  double medium16, medium32, high16, high32;
};
constexpr Ratio kTypicalRatio{0.38, 0.62, 0.24, 0.435};

std::uint64_t round_up(std::uint64_t bytes, std::uint64_t multiple) { return (bytes + multiple - 1) / multiple * multiple; }

template <class T>
std::uint64_t heap_bytes(const std::vector<T>& v) {
  return v.capacity() == 0 ? 0 : v.capacity() * sizeof(T) + kAllocationOverhead;
}

std::uint64_t hand_list_bytes(const HandList& h) {
  std::uint64_t bytes = heap_bytes(h.cards) + heap_bytes(h.ids) + heap_bytes(h.strengths) + heap_bytes(h.index_maps) +
                        heap_bytes(h.position_of_hand) + heap_bytes(h.class_sizes) + heap_bytes(h.group_sizes);
  for (const auto& map : h.index_maps) bytes += heap_bytes(map);
  return bytes;
}

std::uint64_t pair_bytes(const kernels::PairPositions& p) {
  return heap_bytes(p.groups) + heap_bytes(p.entry_hand) + heap_bytes(p.lane_cards) + heap_bytes(p.weaker) +
         heap_bytes(p.not_stronger) + heap_bytes(p.low_weaker) + heap_bytes(p.low_not_stronger) +
         heap_bytes(p.high_weaker) + heap_bytes(p.high_not_stronger) + heap_bytes(p.low) + heap_bytes(p.high) +
         heap_bytes(p.same);
}

// A card node's lists and lanes and those of every node below it (the node itself is counted
// by its parent's children vector).
std::uint64_t card_tree_bytes(const CardNode& node) {
  std::uint64_t bytes = heap_bytes(node.children) + hand_list_bytes(node.all) + heap_bytes(node.lanes.entry_hand) +
                        heap_bytes(node.lanes.class_starts) + heap_bytes(node.lanes.hand_entries) +
                        heap_bytes(node.lanes.lane_cards);
  for (std::size_t p = 0; p < 2; ++p)
    bytes += hand_list_bytes(node.own[p]) + heap_bytes(node.in_all[p]) + pair_bytes(node.pairs[p]);
  for (const CardNode& child : node.children) bytes += card_tree_bytes(child);
  return bytes;
}

// Deal records once the solver has filled them: per entry, each player's reach sums, values and
// best response over the lists of the entry's board (the start board for a turn deal, turn card
// k for a river deal's entry k; entries past the turn cards stay empty).
std::uint64_t deal_bytes(const GameTree& tree) {
  auto entry_bytes = [](const CardNode& board) {
    std::uint64_t bytes = 0;
    for (int p = 0; p < 2; ++p) bytes += 3 * (std::uint64_t(board.hand_count(p)) * sizeof(double) + kAllocationOverhead);
    return bytes;
  };
  const CardNode& root = *tree.root_card;
  std::uint64_t bytes = 0;
  for (const ActionNode& n : tree.nodes) {
    if (!n.deal) continue;
    bytes += n.deal->entries.size() * sizeof(DealEntry);
    if (n.street == 2)
      bytes += entry_bytes(root);
    else
      for (std::size_t k = 0; k < std::min(n.deal->entries.size(), root.children.size()); ++k) bytes += entry_bytes(root.children[k]);
  }
  return bytes;
}

// A river-start tree keeps each decision's current strategy rows between passes.
std::uint64_t kept_strategy_bytes(const GameTree& tree) {
  if (tree.start_street != 3) return 0;
  const CardNode& start = tree.start_card_node();
  std::uint64_t bytes = 0;
  for (const ActionNode& n : tree.nodes)
    if (n.is_decision())
      bytes += n.children.size() * std::uint64_t(start.hand_count(int(n.player))) * sizeof(double) + kAllocationOverhead;
  return bytes;
}

struct ArrayShape {
  std::uint64_t values = 0;  // all chunks, rows padded
  std::uint64_t boards = 0;
  std::vector<std::uint64_t> chunk_values;
};

ArrayShape shape_of(const GameTree& tree, const ActionNode& n) {
  ArrayShape s;
  std::uint64_t actions = n.children.size();
  for (const auto& chunk : boards_of_street(tree, int(n.street), int(n.player))) {
    std::uint64_t values = 0;
    for (int count : chunk) values += actions * std::uint64_t(ValueLayout::padded(count));
    s.boards += chunk.size();
    s.values += values;
    s.chunk_values.push_back(values);
  }
  return s;
}

// Bytes one array takes in a storage form, and what its stores reserve.
struct ArrayBytes {
  std::uint64_t committed = 0;
  std::uint64_t reserved = 0;
};

ArrayBytes array_bytes(const ArrayShape& s, StorageForm form, bool sixteen_bit) {
  std::uint64_t element = sixteen_bit ? 2 : 4;
  ArrayBytes b;
  b.committed = s.boards * sizeof(FlagsEntry) + kAllocationOverhead;
  if (form == StorageForm::plain) {
    b.committed += round_up(s.values * element, kPage);
    return b;
  }
  bool medium = form == StorageForm::medium;
  double ratio = medium ? (sixteen_bit ? kTypicalRatio.medium16 : kTypicalRatio.medium32)
                        : (sixteen_bit ? kTypicalRatio.high16 : kTypicalRatio.high32);
  for (std::uint64_t values : s.chunk_values) {
    // Memory counts the pages a store has written, not the granules it has committed ahead.
    b.committed += round_up(std::uint64_t(ratio * double(values * element)), kPage);
    b.reserved += std::uint64_t(medium ? medium_store_reserve_size(std::int64_t(values), sixteen_bit)
                                       : high_store_reserve_size(std::int64_t(values)));
  }
  return b;
}

// The largest chunk of a compressed array, decoded, in bytes (0 for a plain array).
std::uint64_t open_chunk_bytes(const ArrayShape& s, StorageForm form, bool sixteen_bit) {
  if (form == StorageForm::plain || s.chunk_values.empty()) return 0;
  return *std::max_element(s.chunk_values.begin(), s.chunk_values.end()) * (sixteen_bit ? 2 : 4);
}

}  // namespace

MemoryNeed memory_need(const GameTree& tree, int workers) {
  MemoryNeed need;
  bool flop_tree = tree.start_street == 1;
  bool river_start = tree.start_street == 3;
  // A worker's job opens the chunks of its turn card in every river node below one deal; the
  // largest such set, per level, is what each worker holds decoded at once.
  std::array<std::uint64_t, 5> open_per_deal{}, open_worst{};
  int current_deal_street = 0;
  for (const ActionNode& n : tree.nodes) {
    if (n.deal && n.street == 2) {
      for (int level = 0; level < 5; ++level) open_worst[level] = std::max(open_worst[level], open_per_deal[level]);
      open_per_deal = {};
      current_deal_street = 2;
    }
    if (!n.is_decision()) continue;
    ArrayShape shape = shape_of(tree, n);
    for (int level = 0; level < 5; ++level) {
      StoragePair pair = n.street < 3 ? StoragePair{} : storage_pair_for_level(level, flop_tree);
      bool regrets16 = n.street == 3 && !river_start;
      ArrayBytes regrets = array_bytes(shape, pair.first, regrets16);
      ArrayBytes averages = array_bytes(shape, pair.second, false);
      need.levels[level] += regrets.committed + averages.committed;
      need.reserved[level] += regrets.reserved + averages.reserved;
      if (current_deal_street == 2)
        open_per_deal[level] += open_chunk_bytes(shape, pair.first, regrets16) + open_chunk_bytes(shape, pair.second, false);
    }
  }
  std::uint64_t threads = std::uint64_t(std::max(1, workers));
  for (int level = 0; level < 5; ++level)
    need.levels[level] += threads * std::max(open_worst[level], open_per_deal[level]);
  need.other = card_tree_bytes(*tree.root_card) + deal_bytes(tree) + kept_strategy_bytes(tree) +
               tree.nodes.capacity() * sizeof(ActionNode) + threads * kWorkerScratch;
  return need;
}
