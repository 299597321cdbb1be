// Reading lines, dispatching them and reporting failures per line.
#include <omp.h>

#include <cstdio>
#include <iostream>

#include "app/commands.h"
#include "app/failure.h"
#include "app/output.h"
#include "app/process_watch.h"

namespace {

const CommandRow* find_command(const std::string& word) {
  for (const CommandRow& row : command_table())
    if (row.handler && word == row.name) return &row;
  return nullptr;
}

}  // namespace

void end_process(int status) {
  std::fflush(stdout);
  // The watch thread and any solver threads end with the process.
  std::_Exit(status);
}

void dispatch_tokens(const Tokens& tokens) {
  if (banned_process_running()) {
    print_out("ERROR: banned process running: %s\n", banned_process_name().c_str());
    return;
  }
  const std::string& word = tokens[0];
  if (word[0] == '#') return;
  if (word == "exit") end_process(0);
  try {
    const CommandRow* row = find_command(word);
    if (!row) {
      print_out("ERROR: Command %s not recognized\n", word.c_str());
      return;
    }
    if (row->expected_tokens > 0 && std::size_t(row->expected_tokens) != tokens.size()) {
      set_current_command(word);
      argument_error();
    }
    set_current_command(word);
    row->handler(tokens);
  } catch (const InvalidValue& e) {
    print_out("%s", e.what());
  } catch (const CommandFailure& e) {
    print_out("%s", e.what());
  } catch (const std::bad_alloc&) {
    print_out("ERROR: %s out of memory\n", word.c_str());
  } catch (const std::exception& e) {
    print_out("ERROR: %s %s\n", word.c_str(), e.what());
  }
}

int run_command_loop() {
  std::string line;
  for (;;) {
    if (!std::getline(std::cin, line) || std::cin.eof()) break;  // a last line without LF is not run
    if (!line.empty() && line.back() == '\r') line.pop_back();   // text-mode line ends
    if (line.empty()) continue;
    bool marker = static_cast<unsigned char>(line[0]) == 0xA7;
    set_marker_mode(marker);
    if (marker) line.erase(0, 1);
    Tokens tokens = split_tokens(line);
    if (!tokens.empty()) dispatch_tokens(tokens);
    flush_pending_output();
    std::fflush(stdout);
  }
  return 0;
}
