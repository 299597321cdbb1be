// Compression-level commands. The level state and its application to a tree live in storage/.
#include "app/commands.h"
#include "app/failure.h"
#include "app/output.h"
#include "storage/compression_level.h"

void cmd_ai6_set_compression(const Tokens& t) {
  // Parse first: a bad argument leaves the setting unchanged.
  set_compression_setting(parse_compression_level(t[1]));
  apply_compression_to_tree();
  print_out("%s ok!\n", current_command().c_str());
}

void cmd_ai6_get_actual_compression(const Tokens&) { print_out("compression %d\n", compression_in_force()); }
