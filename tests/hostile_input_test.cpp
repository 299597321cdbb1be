// Input a careless or hostile caller sends: absurd numbers, refused builds, nested and odd
// scripts, redirection to targets that cannot take output, very long tokens. The process must
// answer every line, keep its state when it refuses, and never crash or block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// A river spot with a check-down, a bet of 50 and a bet of 100.
const std::string kRiverSpot = spot_input("As Ks Qd 7c 2h", {"0 0", "50 50", "100 100"}, 100);

struct HostileInput : ::testing::Test {
  fs::path dir = make_temp_dir();
  ~HostileInput() override { fs::remove_all(dir); }
  Answers run(const std::string& input, std::vector<std::string> args = {}) { return Answers(input, args, dir.string()); }
};

TEST_F(HostileInput, AbsurdThreadCountsAreCappedAndSolvingWorks) {
  Answers a = run(kRiverSpot + "set_threads 100000\ncalc_results\nset_threads 40000\ngo 3 steps\nwait_for_solver\n"
                  "is_ready\n", {"/gui"});
  EXPECT_EQ(a.count_prefix("#threads capped at "), 2);
  EXPECT_EQ(a.count("SOLVER: stopped (required number of steps done)"), 1);
  EXPECT_EQ(a.lines.back(), "is_ready ok!");
  EXPECT_EQ(a.count("END"), 1) << "calc_results block";
}

TEST_F(HostileInput, RefusedBuildKeepsEveryPathOfTheCurrentTree) {
  std::string reports = "show_node r:0:b50\nshow_strategy r:0:b50\nshow_strategy r:0:b100\nshow_children r:0\n";
  Answers a = run(kRiverSpot + "go 20 steps\nwait_for_solver\necho_before\n" + reports +
                  "add_line 0 0 30 30\nbuild_tree\necho_after\n" + reports);
  auto before = a.after("ERROR: Command echo_before not recognized");
  auto later = a.after("ERROR: Command echo_after not recognized");
  ASSERT_EQ(a.count("ERROR: build_tree invalid line"), 1) << "the build was not refused";
  before.resize(later.size());
  EXPECT_EQ(before, later);
  EXPECT_EQ(a.count("ERROR: show_strategy missing/incorrect tree"), 0);
}

TEST_F(HostileInput, StepLimitNearIntMaxDoesNotOverflow) {
  // Old sum start + limit wrapped negative and ended the run after one iteration.
  Answers a = run(kRiverSpot + "go 1 steps\nwait_for_solver\ngo 2147483647 steps\nsleep 300\nstop\nwait_for_solver\n");
  long done = a.index("SOLVER: stopped (required number of steps done)");
  EXPECT_EQ(a.count_prefix("SOLVER: stopped"), 2);
  EXPECT_GE(done, 0);
  EXPECT_GT(a.index("SOLVER: stopped (requested)"), done);
}

// Every path show_children prints resolves, down the whole tree, on each street the tree
// starts from (two cards of each deal are followed).
TEST_F(HostileInput, EveryListedChildPathResolves) {
  for (const std::string& setup : {spot_input("As Ks Qd 7c 2h", {"0 0", "50 50", "0 50 150 150"}, 100),
                                   spot_input("As Ks Qd 7c", {"0 0 0 0", "50 50 50 50", "0 50 150 150 0 0"}, 100)}) {
    std::vector<std::string> frontier{"r"};
    int listed = 0;
    while (!frontier.empty()) {
      std::string input = setup;
      for (const auto& p : frontier) input += "show_children " + p + "\n";
      auto lines = run(input).lines;
      ASSERT_FALSE(lines.empty());
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
    EXPECT_GT(listed, 10);
  }
}

TEST_F(HostileInput, LongTokensKeepTheLineStructure) {
  std::string number = "50." + std::string(70000, '0');
  auto built = run(kRiverSpot + "show_node r:0:b" + number + "\n").lines;
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
  auto run = [&](const std::string& input) { return Answers(input, {}, dir.string()).lines; };
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
  Subprocess p(TRAVANTO_BINARY, {}, dir.string(), [&] {
    int slave = open(slave_name.c_str(), O_RDWR);  // the session's controlling terminal
    if (slave < 0) _exit(3);
    ioctl(slave, TIOCSCTTY, 0);
  });
  p.write("stdoutredi f.txt\nstdoutback\nis_ready\n");
  p.close_input();
  std::string output = p.read_all();
  EXPECT_EQ(p.wait(), 0);
  close(master);
  EXPECT_TRUE(output.ends_with("stdoutback ok!\nis_ready ok!\n")) << output;
}

}  // namespace
