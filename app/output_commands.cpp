// Commands of the output channel: readiness, redirection and scripts.
#include <fstream>

#include "app/commands.h"
#include "app/failure.h"
#include "app/output.h"
#include "platform/platform.h"

namespace {

// Set by skip_if_done; scripts pass over lines until the label line "LABEL: <name>".
std::string g_skip_label;
int g_script_depth = 0;
constexpr int kMaxScriptDepth = 64;  // a script that loads itself must not exhaust the stack

void answer_ok() { print_out("%s ok!\n", current_command().c_str()); }

void redirect(const Tokens& t, bool append) {
  if (!redirect_stdout_to_file(t[1], append)) command_error("can't open file");
  answer_ok();
}

}  // namespace

void cmd_is_ready(const Tokens&) { answer_ok(); }
void cmd_stdoutredi(const Tokens& t) { redirect(t, false); }
void cmd_stdoutredi_append(const Tokens& t) { redirect(t, true); }

void cmd_stdoutback(const Tokens&) {
  if (!redirect_stdout_to_console()) command_error("can't open console");
  answer_ok();
}

void cmd_skip_if_done(const Tokens& t) {
  if (platform::path_exists(t[1])) g_skip_label = t[2];
  answer_ok();
}

void cmd_load_script(const Tokens& t) {
  std::ifstream file(join_tokens(t, 1));
  if (!file) command_error("can't open file");
  if (g_script_depth >= kMaxScriptDepth) command_error("scripts nested too deeply");
  ++g_script_depth;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Tokens tokens = split_tokens(line);
    if (tokens.empty()) continue;
    if (!g_skip_label.empty()) {
      if (tokens.size() >= 2 && tokens[0] == "LABEL:" && tokens[1] == g_skip_label) g_skip_label.clear();
      continue;
    }
    dispatch_tokens(tokens);
  }
  --g_script_depth;
}
