// Input a careless or hostile caller sends and faults staged around the process: absurd numbers,
// refused builds, nested and odd scripts, redirection to targets that cannot take output, odd
// save targets, killed saves, closed standard descriptors and memory limits (long tokens and
// lines: protocol/input_long_lines.case; listed child paths: input_child_paths.case). The
// process must answer every line, keep its state when it refuses, stay usable, never crash or block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// A river spot with a check-down, a bet of 50 and a bet of 100.
const std::string kRiverSpot = spot_input("As Ks Qd 7c 2h", {"0 0", "50 50", "100 100"}, 100);

struct HostileInput : ::testing::Test {
  fs::path dir = make_temp_dir();
  ~HostileInput() override { fs::remove_all(dir); }
  Answers run(const std::string& input, std::vector<std::string> args = {}) { return Answers(input, args, dir.string()); }
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir)) found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }
};

// Absurd thread counts are capped and solving works; a step limit near INT_MAX after earlier
// steps does not overflow (the old sum start + limit wrapped negative and ended the run at once).
TEST_F(HostileInput, AbsurdThreadCountsAndStepLimits) {
  Answers a = run(kRiverSpot + "set_threads 100000\ncalc_results\nset_threads 40000\ngo 3 steps\nwait_for_solver\n"
                  "go 2147483647 steps\nsleep 300\nstop\nwait_for_solver\nis_ready\n", {"/gui"});
  EXPECT_EQ(a.count_prefix("#threads capped at "), 2);
  long done = a.index("SOLVER: stopped (required number of steps done)");
  EXPECT_EQ(a.count_prefix("SOLVER: stopped"), 2);
  EXPECT_GE(done, 0);
  EXPECT_GT(a.index("SOLVER: stopped (requested)"), done);
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

// Scripts that load themselves (directly, through a path, or through another script), and
// scripts and redirections that are no regular files (a folder, a fifo without reader; the
// folder and a byte order mark: protocol/input_scripts.case).
TEST_F(HostileInput, OddScriptsAndRedirectionTargetsAreRefused) {
  write_file(dir / "twice.txt", "is_ready\nload_script twice.txt\nload_script ./twice.txt\n");
  write_file(dir / "a.txt", "load_script b.txt\n");
  write_file(dir / "b.txt", "load_script a.txt\nis_ready\n");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string running = "ERROR: load_script script is already running", cant = "ERROR: load_script can't open file";
  auto run = [&](const std::string& input) { return Answers(input, {}, dir.string()).lines; };
  EXPECT_EQ(run("load_script twice.txt\nload_script a.txt\nis_ready\n"),
            (std::vector<std::string>{"is_ready ok!", running, running, running, "is_ready ok!", "is_ready ok!"}));
  EXPECT_EQ(run("load_script fifo\nload_script .\nis_ready\n"), (std::vector<std::string>{cant, cant, "is_ready ok!"}));
  EXPECT_EQ(run("stdoutredi fifo\nstdoutredi_append fifo\nis_ready\n"),
            (std::vector<std::string>{"ERROR: stdoutredi can't open file", "ERROR: stdoutredi_append can't open file",
                                      "is_ready ok!"}));
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

// Saves replace the file a link leads to and refuse what is no regular file; names up to the
// system's limit work.
TEST_F(HostileInput, SaveTargetsOfEveryKind) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  bool device = mknod((dir / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;  // needs root
  fs::create_symlink("fifo", dir / "to_fifo");
  fs::create_symlink("real.tree", dir / "link");
  fs::create_symlink("link", dir / "link2");
  fs::create_symlink("loop", dir / "loop");
  std::string long_name(250, 'n'), refused = "ERROR: dump_tree can't write to file";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"fifo", refused}, {"to_fifo", refused}, {"loop", refused}, {"link2", "dump_tree ok!"},
      {long_name, "dump_tree ok!"}, {std::string(256, 'n'), refused}};
  if (device) cases.push_back({"device", refused});
  std::string input = kRiverSpot;
  for (const auto& [target, answer] : cases) input += "dump_tree " + target + "\n";
  auto lines = run(input + "load_tree link\n").lines;
  ASSERT_EQ(lines.size(), cases.size() + 1);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(lines[i], cases[i].second) << cases[i].first;
  EXPECT_EQ(lines.back(), "load_tree ok!");
  EXPECT_TRUE(fs::is_fifo(dir / "fifo") && (!device || fs::is_character_file(dir / "device")));
  EXPECT_TRUE(fs::is_symlink(dir / "link") && fs::is_symlink(dir / "link2"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "real.tree")) && fs::is_regular_file(dir / long_name));
  EXPECT_EQ(names().size(), device ? 8u : 7u) << "no temporary file is left";
}

// A save killed with SIGKILL leaves its temporary file: the next save in that folder removes it
// (but not one of a process that still runs). SIGTERM during a save removes its own.
TEST_F(HostileInput, TemporaryFilesOfKilledSavesDoNotStay) {
  pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  std::string dead = ".t.tree." + std::to_string(ended) + "-7.tvtmp";
  std::string alive = ".t.tree." + std::to_string(getpid()) + "-7.tvtmp";
  std::ofstream(dir / dead) << "left";
  std::ofstream(dir / alive) << "in use";
  run(kRiverSpot + "dump_tree t.tree\n");
  EXPECT_EQ(names(), (std::vector<std::string>{alive, "t.tree"}));
  fs::remove(dir / alive);

  // A save long enough to be caught: SIGTERM once its temporary file exists.
  Subprocess p(TRAVANTO_BINARY, {}, dir.string());
  p.write("set_board Ks 7d 2c 5h\n" + range_line("OOP") + "\n" + range_line("IP") + "\nadd_line 0 0 0 0\nadd_line 0 0 60 60\nadd_line 60 180 180\n"
          "build_tree\nis_ready\n");
  std::string line;
  while (line != "is_ready ok!") ASSERT_TRUE(p.read_line(line, 600000));
  p.write("dump_tree big.tree\n");
  // Until the temporary file shows, or the save's answer (then there is nothing to catch).
  for (bool seen = false; !seen && !p.read_line(line, 0);)
    for (const std::string& n : names()) seen = seen || n.ends_with(".tvtmp");
  kill(p.pid(), SIGTERM);
  p.wait();
  for (const std::string& n : names()) EXPECT_FALSE(n.ends_with(".tvtmp")) << n;
}

// Started without standard output (and error): a redirection receives every answer, and files
// opened later never take the place of the missing descriptors.
TEST_F(HostileInput, ClosedStandardDescriptors) {
  for (std::vector<int> closed : {std::vector<int>{1}, std::vector<int>{1, 2}}) {
    Subprocess p(TRAVANTO_BINARY, {}, dir.string(), [&] {
      for (int fd : closed) close(fd);
    });
    p.write(kRiverSpot + "dump_tree t.tree\nstdoutredi out.txt\nload_tree t.tree\nis_ready\n");
    p.close_input();
    EXPECT_EQ(p.read_all(), "");
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(read_text_file(dir / "out.txt"), "stdoutredi ok!\nload_tree ok!\nis_ready ok!\n");
  }
}

long vm_size_kb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = 0;
  while (status >> key)
    if (key == "VmSize:" && status >> kb) return kb;
  return 0;
}

// Address-space limits set on a running process, from none to tight: every command answers,
// the solver never stays marked as running, and once the limit is lifted it solves again.
TEST_F(HostileInput, MemoryLimitsLeaveTheSolverUsable) {
  // A sanitizer runtime reports a failed allocation as one (bad_alloc), not by ending the process.
  const char* options = std::getenv("ASAN_OPTIONS");
  std::string saved = options ? options : "";
  setenv("ASAN_OPTIONS", ("allocator_may_return_null=1:detect_leaks=0:" + saved).c_str(), 1);
  for (long headroom_mb : {0, 4, 12, 24, 48, 96}) {
    SCOPED_TRACE(headroom_mb);
    Subprocess p(TRAVANTO_BINARY, {}, dir.string());
    auto answer_until = [&](const std::string& last) {
      std::string line;
      while (line != last)
        if (!p.read_line(line, 60000)) return false;
      return true;
    };
    p.write(kRiverSpot + "set_threads 2\nis_ready\n");
    ASSERT_TRUE(answer_until("is_ready ok!"));
    rlimit limit{rlim_t(vm_size_kb(p.pid()) * 1024 + (headroom_mb << 20)), RLIM_INFINITY};
    ASSERT_EQ(prlimit(p.pid(), RLIMIT_AS, &limit, nullptr), 0);
    p.write("go 30 steps\nwait_for_solver\ngo 3 steps\nwait_for_solver\ncalc_results\ndump_tree t.tree\n"
            "load_tree t.tree\nis_ready\n");
    ASSERT_TRUE(answer_until("is_ready ok!"));
    limit.rlim_cur = RLIM_INFINITY;
    ASSERT_EQ(prlimit(p.pid(), RLIMIT_AS, &limit, nullptr), 0);
    p.write(kRiverSpot + "go 1 steps\nwait_for_solver\nis_ready\n");
    ASSERT_TRUE(answer_until("SOLVER: stopped (required number of steps done)"));
    ASSERT_TRUE(answer_until("is_ready ok!"));
    p.close_input();
    EXPECT_EQ(p.wait(), 0);
  }
  setenv("ASAN_OPTIONS", saved.c_str(), 1);
}

}  // namespace
