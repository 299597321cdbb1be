// Commands of the output channel: readiness, redirection and scripts.
#include <algorithm>
#include <fstream>
#include <vector>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "platform/platform.h"

namespace {

// The session keeps the scripts being run. A script that loads one of them again would repeat
// without end (twice per line: 2^depth runs), so that is refused.
constexpr std::size_t kMaxScriptDepth = 64;  // distinct files nested this deep are refused too


void redirect(const Tokens& t, bool append) {
  if (!redirect_stdout_to_file(t[1], append)) command_error("can't open file");
  answer_ok(t);
}

}  // namespace

void cmd_is_ready(Session&, const Tokens& t) { answer_ok(t); }
void cmd_stdoutredi(Session&, const Tokens& t) { redirect(t, false); }
void cmd_stdoutredi_append(Session&, const Tokens& t) { redirect(t, true); }

void cmd_stdoutback(Session&, const Tokens& t) {
  if (!redirect_stdout_to_console()) command_error("can't open console");
  answer_ok(t);
}

void cmd_skip_if_done(Session& s, const Tokens& t) {
  if (platform::path_exists(t[1])) s.skip_label = t[2];
  answer_ok(t);
}

void cmd_load_script(Session& s, const Tokens& t) {
  std::string path = join_tokens(t, 1);
  // Only regular files: a folder opens but reads nothing, a FIFO without writer blocks.
  platform::FileIdentity id;
  if (!platform::regular_file_identity(path, id)) command_error("can't open file");
  std::ifstream file(path);
  if (!file) command_error("can't open file");
  if (std::find(s.running_scripts.begin(), s.running_scripts.end(), id) != s.running_scripts.end())
    command_error("script is already running");
  if (s.running_scripts.size() >= kMaxScriptDepth) command_error("scripts nested too deeply");
  s.running_scripts.push_back(id);
  struct Pop {
    Session& s;
    ~Pop() { s.running_scripts.pop_back(); }
  } pop{s};  // also when exit or a failure ends the script early
  std::string line;
  for (bool first = true; std::getline(file, line); first = false) {
    if (first && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // UTF-8 byte-order mark
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Tokens tokens = split_tokens(line);
    if (tokens.empty()) continue;
    if (!s.skip_label.empty()) {
      if (tokens.size() >= 2 && tokens[0] == "LABEL:" && tokens[1] == s.skip_label) s.skip_label.clear();
      continue;
    }
    dispatch_tokens(s, tokens);
  }
}
