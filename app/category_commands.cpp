// Hand-category commands (not built yet).
#include "app/commands.h"
#include "app/output.h"

void cmd_show_category_names(const Tokens& t) { print_out("ERROR: Command %s not recognized\n", t[0].c_str()); }
void cmd_show_categories(const Tokens& t) { print_out("ERROR: Command %s not recognized\n", t[0].c_str()); }
