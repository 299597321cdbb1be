// Compression-level commands. The level state and its application to a tree live in storage/.
#include "app/commands.h"
#include "app/failure.h"
#include "app/output.h"
#include "storage/compression_level.h"
#include "tree/game_tree.h"

void cmd_ai6_set_compression(const Tokens& t) {
  // Parse first: a bad argument leaves the setting unchanged.
  int level = parse_compression_level(t[1]);
  // Applying a level re-creates the tree's storage, which a running solver is using.
  if (tree_in_use()) command_error("Can't do that when solver is running");
  set_compression_setting(level);
  apply_compression_to_tree();
  print_out("%s ok!\n", current_command().c_str());
}

void cmd_ai6_get_actual_compression(const Tokens&) { print_out("compression %d\n", compression_in_force()); }
