#pragma once
// Compression levels of the per-node data. The setting (-1 = auto, 0..4) is what the user
// asked for; the level in force (0..4) is what the present tree uses. A level maps to the pair
// of storage forms of a river action node's two arrays (regrets, averages). The session keeps the
// setting; the level in force is the tree's (GameTree::compression_level).
#include <cstdint>
#include <string>

#include "core/notes.h"
#include "platform/platform.h"
#include "storage/value_array.h"

constexpr int kAutoCompression = -1;

struct StoragePair {
  StorageForm first = StorageForm::plain;   // regret array
  StorageForm second = StorageForm::plain;  // average array
  bool operator==(const StoragePair&) const = default;
};

// "auto", "none", "low", "medium", "high", "max", or a decimal number clamped to 0..4. A token
// that is neither throws InvalidValue (through parse_int).
int parse_compression_level(const std::string& token);

// Level 1 (plain, medium), 2 (medium, medium), 3 (medium, high), 4 (high, high), else plain.
// Trees that start on the turn or the river always store plain.
StoragePair storage_pair_for_level(int level, bool flop_tree = true);

// The automatic rule: need (bytes of uncompressed per-node data) against 85% of the free
// physical memory. Pure; see choose_auto_compression for the one that reads the machine.
int auto_compression_level(std::uint64_t need, const platform::MemoryStatus& status);
// Applies the rule against the current memory status and notes "#auto compression level %d".
int choose_auto_compression(std::uint64_t need, Notes* notes);

// Level for a new tree (build_tree): the setting, or the automatic rule on `need` when the
// setting is auto.
int level_for_new_tree(int setting, std::uint64_t need, Notes* notes = nullptr);
