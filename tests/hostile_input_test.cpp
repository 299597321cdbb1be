// Input a careless or hostile caller sends: absurd numbers, refused builds, nested and odd
// scripts, redirection to targets that cannot take output, very long tokens. The process must
// answer every line, keep its state when it refuses, and never crash or block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string uniform_range(const char* player) {
  std::string line = std::string("set_range ") + player;
  for (int i = 0; i < 1326; ++i) line += i % 3 ? " 1" : " 0.5";
  return line + "\n";
}

// A river spot with a check-down, a bet of 50 and a bet of 100, solved a few iterations.
const std::string kRiverSpot = "set_pot 0 0 100\nset_board As Ks Qd 7c 2h\n" + uniform_range("OOP") +
                               uniform_range("IP") + "add_line 0 0\nadd_line 50 50\nadd_line 100 100\nbuild_tree\n";

struct HostileInput : ::testing::Test {
  fs::path dir = make_temp_dir();
  ~HostileInput() override { fs::remove_all(dir); }
  std::vector<std::string> run(const std::string& input, std::vector<std::string> args = {}) {
    int status = -1;
    std::vector<std::string> lines = output_lines(run_travanto(input, args, dir.string(), &status));
    EXPECT_EQ(status, 0) << "the process did not end normally";
    return lines;
  }
  static std::vector<std::string> after(const std::vector<std::string>& lines, const std::string& marker) {
    auto it = std::find(lines.begin(), lines.end(), marker);
    return {it == lines.end() ? lines.end() : it + 1, lines.end()};
  }
};

TEST_F(HostileInput, AbsurdThreadCountsAreCappedAndSolvingWorks) {
  auto lines = run(kRiverSpot + "set_threads 100000\ncalc_results\nset_threads 40000\ngo 3 steps\nwait_for_solver\n"
                   "is_ready\n", {"/gui"});
  long capped = std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("#threads capped at "); });
  EXPECT_EQ(capped, 2);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "SOLVER: stopped (required number of steps done)"), lines.end());
  EXPECT_EQ(lines.back(), "is_ready ok!");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "END"), 1) << "calc_results block";
}

TEST_F(HostileInput, RefusedBuildKeepsEveryPathOfTheCurrentTree) {
  std::string reports = "show_node r:0:b50\nshow_strategy r:0:b50\nshow_strategy r:0:b100\nshow_children r:0\n";
  auto lines = run(kRiverSpot + "go 20 steps\nwait_for_solver\necho_before\n" + reports +
                   "add_line 0 0 30 30\nbuild_tree\necho_after\n" + reports);
  auto before = after(lines, "ERROR: Command echo_before not recognized");
  auto refused = after(lines, "ERROR: build_tree invalid line");
  auto later = after(lines, "ERROR: Command echo_after not recognized");
  ASSERT_FALSE(refused.empty()) << "the build was not refused";
  before.resize(later.size());
  EXPECT_EQ(before, later);
  EXPECT_EQ(std::count(later.begin(), later.end(), "ERROR: show_strategy missing/incorrect tree"), 0);
}

TEST_F(HostileInput, StepLimitNearIntMaxDoesNotOverflow) {
  // Old sum start + limit wrapped negative and ended the run after one iteration.
  auto lines = run(kRiverSpot + "go 1 steps\nwait_for_solver\ngo 2147483647 steps\nsleep 300\nstop\nwait_for_solver\n");
  std::vector<std::string> stops;
  for (const auto& l : lines)
    if (l.starts_with("SOLVER: stopped")) stops.push_back(l);
  ASSERT_EQ(stops.size(), 2u);
  EXPECT_EQ(stops[1], "SOLVER: stopped (requested)");
}

TEST_F(HostileInput, AmountsPast32BitsAreRefused) {
  auto lines = run("add_line 3000000000 3000000000\nadd_line 2147483648\nadd_line 2147483647\nshow_children r:0\n"
                   "set_board As Ks Qd 7c 2h\n" + uniform_range("OOP") + uniform_range("IP") +
                   "build_tree\nshow_effective_stack\nshow_node r:0:b2147483647\n");
  EXPECT_EQ(lines[0], "ERROR: add_line incorrect or missing argument");
  EXPECT_EQ(lines[1], "ERROR: add_line incorrect or missing argument");
  EXPECT_EQ(lines[2], "add_line ok!");
  auto built = after(lines, "build_tree ok!");
  ASSERT_GE(built.size(), 2u);
  EXPECT_EQ(built[0], "2147483647");
  EXPECT_EQ(built[1], "r:0:b2147483647");
}

TEST_F(HostileInput, NothingIsDealtAfterTheRiver) {
  auto lines = run(kRiverSpot + "show_node r:0:c:c\nshow_node r:0:b50:c\nshow_node r:0:c:c:Ah\n");
  auto built = after(lines, "build_tree ok!");
  ASSERT_EQ(built.size(), 15u);
  EXPECT_EQ(built[1], "END_NODE");
  EXPECT_EQ(built[4], "0 children");
  EXPECT_EQ(built[8], "END_NODE");
  EXPECT_EQ(built[14], "ERROR: show_node incorrect path");
}

// Every path show_children prints resolves, down the whole tree, on each street the tree
// starts from (two cards of each deal are followed).
TEST_F(HostileInput, EveryListedChildPathResolves) {
  struct Spot {
    const char* board;
    const char* lines;
  };
  for (Spot spot : {Spot{"As Ks Qd 7c 2h", "add_line 0 0\nadd_line 50 50\nadd_line 0 50 150 150\n"},
                    Spot{"As Ks Qd 7c", "add_line 0 0 0 0\nadd_line 50 50 50 50\nadd_line 0 50 150 150 0 0\n"}}) {
    std::string setup = "set_pot 0 0 100\nset_board " + std::string(spot.board) + "\n" + uniform_range("OOP") +
                        uniform_range("IP") + spot.lines + "build_tree\n";
    std::vector<std::string> frontier{"r"};
    int listed = 0;
    while (!frontier.empty()) {
      std::string input = setup;
      for (const auto& p : frontier) input += "show_children " + p + "\n";
      auto lines = after(run(input), "build_tree ok!");
      ASSERT_FALSE(lines.empty()) << spot.board;
      std::vector<std::string> next;
      int cards = 0;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_FALSE(lines[i].starts_with("ERROR")) << lines[i];
        if (lines[i] == "END") cards = 0;
        if (!lines[i].starts_with("child ") || i + 1 == lines.size()) continue;
        const std::string& path = lines[i + 1];
        std::string last = path.substr(path.rfind(':') + 1);
        bool card = last.size() == 2 && last[0] != 'b';
        if (!card || cards++ < 2) next.push_back(path);
      }
      listed += int(next.size());
      frontier = next;
    }
    EXPECT_GT(listed, 10) << spot.board;
  }
}

TEST_F(HostileInput, LongTokensKeepTheLineStructure) {
  std::string number = "50." + std::string(70000, '0');
  auto lines = run(kRiverSpot + "show_node r:0:b" + number + "\n");
  auto built = after(lines, "build_tree ok!");
  ASSERT_EQ(built.size(), 7u);
  EXPECT_EQ(built[0], "r:0:b" + number);
  EXPECT_EQ(built[1], "IP_DEC");
  EXPECT_EQ(built[6], "END");
}

// Scripts that load themselves (directly, through a path, or through another script), scripts
// and redirections that are no regular files (a folder, a fifo without reader), and a byte
// order mark, which only the file's start may carry (elsewhere it is part of the command word).
TEST_F(HostileInput, OddScriptsAndRedirectionTargetsAreRefused) {
  write_file(dir / "twice.txt", "is_ready\nload_script twice.txt\nload_script ./twice.txt\n");
  write_file(dir / "a.txt", "load_script b.txt\n");
  write_file(dir / "b.txt", "load_script a.txt\nis_ready\n");
  write_file(dir / "bom.txt", "\xEF\xBB\xBFis_ready\r\n\xEF\xBB\xBFis_ready\n");
  fs::create_directory(dir / "folder");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string running = "ERROR: load_script script is already running", cant = "ERROR: load_script can't open file";
  EXPECT_EQ(run("load_script twice.txt\nload_script a.txt\nis_ready\n"),
            (std::vector<std::string>{"is_ready ok!", running, running, running, "is_ready ok!", "is_ready ok!"}));
  EXPECT_EQ(run("load_script folder\nload_script fifo\nload_script .\nis_ready\n"),
            (std::vector<std::string>{cant, cant, cant, "is_ready ok!"}));
  EXPECT_EQ(run("load_script bom.txt\n"),
            (std::vector<std::string>{"is_ready ok!", "ERROR: Command \xEF\xBB\xBFis_ready not recognized"}));
  EXPECT_EQ(run("stdoutredi fifo\nstdoutredi_append fifo\nstdoutredi folder\nis_ready\n"),
            (std::vector<std::string>{"ERROR: stdoutredi can't open file", "ERROR: stdoutredi_append can't open file",
                                      "ERROR: stdoutredi can't open file", "is_ready ok!"}));
}

// A front-end started from a shell: output is a pipe, yet the process has a controlling
// terminal. stdoutback must return to the pipe, not to the terminal.
TEST_F(HostileInput, StdoutbackReturnsToTheStartingStreamNotTheTerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave_name = ptsname(master);
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    int slave = open(slave_name.c_str(), O_RDWR);  // the session's controlling terminal
    if (slave < 0) _exit(3);
    ioctl(slave, TIOCSCTTY, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    if (chdir(dir.c_str()) != 0) _exit(4);
    execl(TRAVANTO_BINARY, TRAVANTO_BINARY, static_cast<char*>(nullptr));
    _exit(5);
  }
  close(in[0]);
  close(out[1]);
  std::string input = "stdoutredi f.txt\nstdoutback\nis_ready\n";
  ASSERT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
  close(in[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, std::size_t(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(output.ends_with("stdoutback ok!\nis_ready ok!\n")) << output;
}

}  // namespace
