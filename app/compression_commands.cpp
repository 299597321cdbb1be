// Compression-level commands (not built yet).
#include "app/commands.h"
#include "app/output.h"

void cmd_ai6_set_compression(const Tokens& t) { print_out("ERROR: Command %s not recognized\n", t[0].c_str()); }
void cmd_ai6_get_actual_compression(const Tokens& t) { print_out("ERROR: Command %s not recognized\n", t[0].c_str()); }
