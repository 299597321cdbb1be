// Reading lines, dispatching them and reporting failures per line.
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <limits>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "app/process_watch.h"

namespace {

const CommandRow* find_command(const std::string& word) {
  for (const CommandRow& row : command_table())
    if (row.handler && word == row.name) return &row;
  return nullptr;
}

// The answers a script collected may be what filled memory: when even the report does not
// fit, they are dropped for it.
void report_out_of_memory(const std::string& word) {
  try {
    print_out("ERROR: %s out of memory\n", word.c_str());
  } catch (const std::bad_alloc&) {
    discard_pending_output();
    print_out("ERROR: %s out of memory\n", word.c_str());
  }
}

// A line whose tokens do not fit in memory: its answers so far are dropped, and it is answered
// without allocating.
void report_unsplit_line(const std::string& line) {
  discard_pending_output();
  std::size_t start = std::min(line.find_first_not_of(' '), line.size());
  std::size_t end = std::min(line.find(' ', start), line.size());
  std::lock_guard<std::recursive_mutex> lock(output_lock());
  std::fputs("ERROR: ", stdout);
  std::fwrite(line.data() + start, 1, end - start, stdout);
  std::fputs(" out of memory\n", stdout);
}

}  // namespace

void answer_ok(const Tokens& tokens) { print_out("%s ok!\n", tokens[0].c_str()); }

void dispatch_tokens(Session& session, const Tokens& tokens) {
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
    if (row->expected_tokens > 0 && std::size_t(row->expected_tokens) != tokens.size()) argument_error();
    row->handler(session, tokens);
  } catch (const EngineError& e) {
    print_out("ERROR: %s %s\n", word.c_str(), e.reason());
  } catch (const InvalidValue& e) {
    print_out("%s", e.what());
  } catch (const CommandFailure& e) {
    print_out("%s", e.what());
  } catch (const std::bad_alloc&) {
    report_out_of_memory(word);
  } catch (const std::exception& e) {
    print_out("ERROR: %s %s\n", word.c_str(), e.what());
  }
}

int run_command_loop(Session& session) {
  install_solver_reports(session);
  std::string line;
  for (;;) {
    if (!std::getline(std::cin, line) && std::cin.bad() && !std::cin.eof()) {
      // A line longer than memory holds: its rest is skipped and the line is answered.
      std::cin.clear();
      std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      report_unsplit_line(line);
      std::string().swap(line);
      std::fflush(stdout);
      continue;
    }
    if (!std::cin || std::cin.eof()) break;  // a last line without LF is not run
    if (!line.empty() && line.back() == '\r') line.pop_back();   // text-mode line ends
    if (line.empty()) continue;
    bool marker = static_cast<unsigned char>(line[0]) == 0xA7;
    set_marker_mode(marker);
    if (marker) line.erase(0, 1);
    try {
      Tokens tokens = split_tokens(line);
      if (!tokens.empty()) dispatch_tokens(session, tokens);
      flush_pending_output();
    } catch (const std::bad_alloc&) {
      report_unsplit_line(line);
    }
    std::fflush(stdout);
  }
  return 0;
}
