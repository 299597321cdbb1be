#pragma once
// Runs build/travanto as a child process with pipes, for protocol tests.
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

class Subprocess {
 public:
  // Starts program with args in working directory cwd (empty: inherit), in a session of its own
  // without terminal; in_child runs in the child just before the program (to stage odd
  // descriptors or a controlling terminal).
  Subprocess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
             const std::function<void()>& in_child = {});
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  void write(const std::string& text);
  void close_input();
  // Next output line without its line feed; false on end of output or after timeout_ms.
  bool read_line(std::string& line, int timeout_ms = 10000);
  // Everything until the child closes its output, then its exit status (-1 if killed).
  std::string read_all(int timeout_ms = 30000);
  int wait();
  int pid() const { return pid_; }

 private:
  int pid_ = -1, in_fd_ = -1, out_fd_ = -1;
  std::string buffer_;
  bool eof_ = false;
  bool fill(int timeout_ms);
};

// Feeds input to a fresh process and returns its output, with the banner line removed.
std::string run_travanto(const std::string& input, const std::vector<std::string>& args = {},
                         const std::string& cwd = "", int* exit_status = nullptr);
std::vector<std::string> output_lines(const std::string& output);
// A fresh empty directory under the system temp folder.
std::string make_temp_dir();
std::string read_text_file(const std::string& path);

// A set_range line (no line feed): every weight 1, or (varied) 1 for every fourth hand and 0.25
// for the rest, which leaves the game no symmetry that could drive the exploitability to zero.
std::string range_line(const char* player, bool varied = false);
// set_pot 0 0 <pot>, the board, OOP's even and IP's varied range, the lines, build_tree.
std::string spot_input(const char* board, std::initializer_list<const char*> lines, int pot = 200);

// A fresh process's answers after "build_tree ok!" (all of them if the tree was not built); the
// process must end with status 0.
struct Answers {
  std::vector<std::string> lines;

  explicit Answers(const std::string& input, const std::vector<std::string>& args = {}, const std::string& cwd = "");
  long count(const std::string& line) const { return std::count(lines.begin(), lines.end(), line); }
  long count_prefix(const std::string& prefix) const {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
  }
  // Index of the first line equal to `line`, or -1.
  long index(const std::string& line) const {
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
  }
  // The lines after the first one equal to `marker` (none if it never came).
  std::vector<std::string> after(const std::string& marker) const {
    auto it = std::find(lines.begin(), lines.end(), marker);
    return {it == lines.end() ? lines.end() : it + 1, lines.end()};
  }
  std::string dump() const;
  operator const std::vector<std::string>&() const { return lines; }
};

// The value of a "label: value" line at index i (nan, and a failure, if there is none).
double value_at(const std::vector<std::string>& lines, long i, const std::string& label);
// A results block "EV OOP:" .. "END" (calc_results, or a report without /gui after "SOLVER:"
// and "running time:") at index i, of a spot with a pot of 200. Each MES comes from the same
// pass as that player's EV, and the exploitability from the two MES. The EVs add up to the pot
// only when both passes saw the same strategies, which a running solver does not promise: it
// may run a training pass between the two evaluations.
void expect_consistent_results(const std::vector<std::string>& lines, long i, bool same_strategies);
