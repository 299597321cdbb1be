#include "storage/compression_level.h"

#include <algorithm>

#include "core/arguments.h"

int parse_compression_level(const std::string& token) {
  static const char* const kNames[] = {"none", "low", "medium", "high", "max"};
  if (token == "auto") return kAutoCompression;
  for (int level = 0; level < 5; ++level)
    if (token == kNames[level]) return level;
  return std::clamp(parse_int(token), 0, 4);
}

StoragePair storage_pair_for_level(int level, bool flop_tree) {
  if (!flop_tree) return {};
  switch (level) {
    case 1: return {StorageForm::plain, StorageForm::medium};
    case 2: return {StorageForm::medium, StorageForm::medium};
    case 3: return {StorageForm::medium, StorageForm::high};
    case 4: return {StorageForm::high, StorageForm::high};
    default: return {};
  }
}

int auto_compression_level(std::uint64_t need, const platform::MemoryStatus& status) {
  std::uint32_t unused_percent = 100 - std::min<std::uint32_t>(status.load_percent, 100);
  auto free_bytes = std::uint64_t((unsigned __int128)status.total_bytes * unused_percent / 100);
  auto budget = std::uint64_t(double(free_bytes) * 0.85);
  if (need < budget) return 0;
  double n = double(need);
  if (budget > 0.58 * n) return 1;
  if (budget > 0.39 * n) return 2;
  if (budget > 0.31 * n) return 3;
  return 4;
}

int choose_auto_compression(std::uint64_t need, Notes* notes) {
  int level = auto_compression_level(need, platform::memory_status());
  add_note(notes, "#auto compression level %d\n", level);
  return level;
}

int level_for_new_tree(int setting, std::uint64_t need, Notes* notes) {
  return setting == kAutoCompression ? choose_auto_compression(need, notes) : setting;
}
