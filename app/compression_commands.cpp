// Compression-level commands. The setting is the session's, the level in force its tree's; the
// levels' rules live in storage/, their application to a tree in tree/.
#include <cstdio>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "core/settings.h"
#include "solver/solver.h"
#include "storage/compression_level.h"
#include "tree/game_tree.h"
#include "tree/memory_need.h"
#include "tree/tree_storage.h"

void cmd_ai6_set_compression(Session& s, const Tokens& t) {
  // Parse first: a bad argument leaves the setting unchanged.
  int level = parse_compression_level(t[1]);
  // Applying a level re-creates the tree's storage, which a running solver is using.
  if (s.solver.tree_in_use()) command_error("Can't do that when solver is running");
  s.compression_setting = level;
  Notes notes;
  if (apply_compression(s.current_tree(), s.compression_setting, &notes)) s.solver_state.restart_values();
  print_notes(notes);
  answer_ok(t);
}

void cmd_ai6_get_actual_compression(Session& s, const Tokens&) { print_out("compression %d\n", s.compression_in_force()); }

// The present tree's memory at every level, in MB of 2^20 bytes as show_memory prints them. The
// level the automatic rule would choose now is marked while the setting is auto, the level in
// force always. Reads only the tree's shape, which a solve does not change, so it answers at
// once also while the solver runs.
void cmd_show_memory_need(Session& s, const Tokens&) {
  GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  MemoryNeed need = memory_need(*tree, worker_count());
  int automatic = s.compression_setting == kAutoCompression
                      ? auto_compression_level(uncompressed_need(*tree), platform::memory_status())
                      : -1;
  constexpr double kMB = 1024.0 * 1024.0;
  for (int level = 0; level < 5; ++level) {
    // One print per line: solver workers may print between two prints.
    char line[160];
    int n = std::snprintf(line, sizeof line, "level %d: %.1f MB", level, double(need.levels[level]) / kMB);
    if (level >= 3) n += std::snprintf(line + n, sizeof line - n, " (reserves %.1f MB)", double(need.reserved[level]) / kMB);
    if (level == automatic) n += std::snprintf(line + n, sizeof line - n, " (auto)");
    if (level == s.compression_in_force()) std::snprintf(line + n, sizeof line - n, " (in force)");
    print_out("%s\n", line);
  }
  print_out("hand lists, card tree and scratch: %.1f MB\n", double(need.other) / kMB);
  print_out("END\n");
}
