#pragma once
// Runs build/travanto as a child process with pipes, for protocol tests.
#include <string>
#include <vector>

class Subprocess {
 public:
  // Starts program with args in working directory cwd (empty: inherit).
  Subprocess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "");
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
  int pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
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
