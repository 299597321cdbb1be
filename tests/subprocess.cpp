#include "subprocess.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>

Subprocess::Subprocess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                       const std::function<void()>& in_child) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ == 0) {
    setsid();  // no controlling terminal: the console device falls back to stdout
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[0]); close(in_pipe[1]); close(out_pipe[0]); close(out_pipe[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (in_child) in_child();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]), close(out_pipe[1]);
  in_fd_ = in_pipe[1], out_fd_ = out_pipe[0];
  signal(SIGPIPE, SIG_IGN);
}

Subprocess::~Subprocess() {
  close_input();
  if (out_fd_ >= 0) close(out_fd_);
  if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
}

void Subprocess::write(const std::string& text) {
  for (ssize_t done = 0, n; done < ssize_t(text.size()); done += n)
    if ((n = ::write(in_fd_, text.data() + done, text.size() - std::size_t(done))) <= 0) return;
}

void Subprocess::close_input() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

bool Subprocess::fill(int timeout_ms) {
  if (eof_) return false;
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[65536];
  ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n <= 0) return eof_ = true, false;
  buffer_.append(buf, std::size_t(n));
  return true;
}

bool Subprocess::read_line(std::string& line, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::size_t nl;
  while ((nl = buffer_.find('\n')) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !fill(int(left.count()))) return false;
  }
  line = buffer_.substr(0, nl);
  buffer_.erase(0, nl + 1);
  return true;
}

std::string Subprocess::read_all(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!eof_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    fill(int(left.count()));
  }
  return std::exchange(buffer_, {});
}

int Subprocess::wait() {
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string run_travanto(const std::string& input, const std::vector<std::string>& args, const std::string& cwd,
                         int* exit_status) {
  Subprocess p(TRAVANTO_BINARY, args, cwd);
  p.write(input);
  p.close_input();
  // Only a guard against a hung engine: sanitizer builds on a slow machine take tens of seconds
  // over a script of flop-tree builds.
  std::string out = p.read_all(180000);
  int status = p.wait();
  if (exit_status) *exit_status = status;
  std::size_t nl = out.find('\n');
  return nl == std::string::npos ? std::string() : out.substr(nl + 1);
}

std::vector<std::string> output_lines(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0, nl; pos < output.size(); pos = nl + 1)
    lines.push_back(output.substr(pos, (nl = std::min(output.find('\n', pos), output.size())) - pos));
  return lines;
}

std::string make_temp_dir() {
  char pattern[] = "/tmp/travanto_test_XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) throw std::runtime_error("mkdtemp failed");
  return dir;
}

std::string range_line(const char* player, bool varied) {
  std::string line = std::string("set_range ") + player;
  for (int i = 0; i < 1326; ++i) line += !varied || i % 4 == 0 ? " 1" : " 0.25";
  return line;
}

std::string spot_input(const char* board, std::initializer_list<const char*> lines, int pot) {
  std::string s = "set_pot 0 0 " + std::to_string(pot) + "\nset_board " + board + "\n" + range_line("OOP", false) +
                  "\n" + range_line("IP", true) + "\n";
  for (const char* l : lines) s += "add_line " + std::string(l) + "\n";
  return s + "build_tree\n";
}

Answers::Answers(const std::string& input, const std::vector<std::string>& args, const std::string& cwd) {
  int status = -1;
  lines = output_lines(run_travanto(input, args, cwd, &status));
  EXPECT_EQ(status, 0) << "the process did not end normally";
  auto built = std::find(lines.begin(), lines.end(), "build_tree ok!");
  if (built != lines.end()) lines.erase(lines.begin(), built + 1);
}

std::string Answers::dump() const {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

double value_at(const std::vector<std::string>& lines, long i, const std::string& label) {
  bool present = i >= 0 && std::size_t(i) < lines.size() && lines[std::size_t(i)].starts_with(label + ": ");
  EXPECT_TRUE(present) << label << " at " << i;
  return present ? std::stod(lines[std::size_t(i)].substr(label.size() + 2)) : std::nan("");
}

void expect_consistent_results(const std::vector<std::string>& lines, long i, bool same_strategies) {
  double ev_oop = value_at(lines, i, "EV OOP"), ev_ip = value_at(lines, i + 1, "EV IP");
  double mes_oop = value_at(lines, i + 2, "OOP's MES"), mes_ip = value_at(lines, i + 3, "IP's MES");
  double expl = value_at(lines, i + 4, "Exploitable for");
  ASSERT_LT(std::size_t(i + 5), lines.size());
  EXPECT_EQ(lines[std::size_t(i + 5)], "END");
  EXPECT_TRUE(!same_strategies || std::fabs(ev_oop + ev_ip - 200.0) <= 0.01) << ev_oop << " + " << ev_ip;
  EXPECT_GE(mes_oop, ev_oop - 0.002);
  EXPECT_GE(mes_ip, ev_ip - 0.002);
  EXPECT_NEAR(expl, (mes_oop + mes_ip - 200.0) / 2, 0.002);
}

std::string read_text_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
