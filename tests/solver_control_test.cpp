// The solver control commands as a process sees them: go and its refusals, the stop rules and
// their reasons, progress reports in both output modes, stop/wait/take_a_break, and commands
// that must wait for an idle solver (results taken while it runs: solver_race_test.cpp).
//
// The solver thread prints "SOLVER: started" while the command loop is still answering "go",
// so those two lines may come in either order; the checks below rely only on orders the
// commands guarantee.
#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "subprocess.h"

namespace {

// Iterations take microseconds: for the stop rules that count iterations.
const std::string kRiver = spot_input("As Ks Qd 7c 2h", {"0 0", "0 100 100", "100 100", "100 300 300"});
// Iterations take milliseconds: the solver is still running when the next command arrives.
const std::string kTurn = spot_input("As Ks Qd 7c", {"0 0 0 0", "0 0 100 100", "100 100 0 0", "100 100 100 100"});
const std::string kStopped = "SOLVER: stopped (required number of steps done)";

// The program runs with one OpenMP thread: these tests are about the solver thread and the
// command loop, and the thread sanitizer does not see the OpenMP runtime's barriers.
class SolverControl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("OMP_NUM_THREADS")) saved_ = v;
    setenv("OMP_NUM_THREADS", "1", 1);
  }
  void TearDown() override { saved_ ? void(setenv("OMP_NUM_THREADS", saved_->c_str(), 1)) : void(unsetenv("OMP_NUM_THREADS")); }
  std::optional<std::string> saved_;
};

// The refusals that need no run are in protocol/solver.case.
TEST_F(SolverControl, GoAndTreeCommandsAreRefusedWhileRunning) {
  Answers a(kTurn + "go\ngo 5 steps\ngo 5 minutes\nbuild_tree\nfree_tree\nis_tree_present\nstop\nwait_for_solver\n"
                    "free_tree\nis_tree_present\n");
  for (auto [line, count] : {std::pair{"ERROR: go Can't do that when solver is running", 2}, {"go ok!", 1}, {"SOLVER: started", 1},
                             {"ERROR: build_tree Can't do that when solver is running", 1}, {"ERROR: free_tree Can't do that when solver is running", 1}})
    EXPECT_EQ(a.count(line), count) << line << "\n" << a.dump();
  long stopped = a.index("SOLVER: stopped (requested)");
  ASSERT_GE(stopped, 0) << a.dump();
  EXPECT_LT(a.index("true"), stopped);  // once stopped, the tree goes
  EXPECT_GT(a.index("free_tree ok!"), stopped);
  EXPECT_EQ(a.lines.back(), "false");
}

// Zero steps still runs one iteration, without a report (25 iterations were not reached); a
// second run continues from the tree's count: 30 then 60, reports at 25 and at 50. A /gui
// report is one line of the results, then the iteration count and the storage speeds.
TEST_F(SolverControl, StepLimitCountsIterationsAndGuiReportsAreOneLine) {
  Answers zero(kRiver + "go 0 steps\nwait_for_solver\ncalc_results\n", {"/gui"});
  EXPECT_TRUE(zero.count(kStopped) == 1 && zero.count_prefix("#SOLVER:") == 0 && zero.count("#1 iterations") == 1) << zero.dump();
  Answers a(kRiver + "go 30 steps\nwait_for_solver\ngo 30 steps\nwait_for_solver\ncalc_results\n", {"/gui"});
  EXPECT_TRUE(a.count(kStopped) == 2 && a.count_prefix("#SOLVER:") == 2) << a.dump();
  for (const char* count : {"#25 iterations", "#50 iterations", "#60 iterations"}) EXPECT_EQ(a.count(count), 1) << count;
  std::size_t r = std::size_t(std::find_if(a.lines.begin(), a.lines.end(), [](auto& l) { return l.starts_with("#SOLVER:"); }) - a.lines.begin());
  ASSERT_LT(r + 2, a.lines.size()) << a.dump();
  EXPECT_TRUE(std::regex_match(a.lines[r], std::regex(R"(#SOLVER:\trunning time: \d+\.\d{3}\tEV OOP: -?\d+\.\d{3}\tEV IP: -?\d+\.\d{3})"
                                                      R"(\tOOP's MES: -?\d+\.\d{3}\tIP's MES: -?\d+\.\d{3}\tExploitable for: -?\d+\.\d{3}\tEND)")))
      << a.lines[r];
  std::vector<std::string> fields;
  for (std::size_t at = 0, end; at <= a.lines[r].size(); at = end + 1)
    fields.push_back(a.lines[r].substr(at, (end = std::min(a.lines[r].find('\t', at), a.lines[r].size())) - at));
  expect_consistent_results(fields, 2, true);
  EXPECT_EQ(a.lines[r + 1], "#25 iterations");
  EXPECT_TRUE(std::regex_match(a.lines[r + 2], std::regex(R"(#storage \d+ MB/s read, \d+ MB/s write)"))) << a.lines[r + 2];
  EXPECT_LT(long(r), a.index(kStopped));
}

// A loose accuracy (5 times the pot) stops at the first check, 25 iterations. The reports add
// half of the pot the run started with: a set_pot while it runs changes the next tree only.
// A plain report is a block without diagnostic lines.
TEST_F(SolverControl, LooseAccuracyStopsAtTheFirstCheckAndReportsKeepTheRunsPot) {
  Answers a(kTurn + "set_accuracy 5 fraction\ngo\nset_pot 0 0 400\nwait_for_solver\ncalc_results\n", {"/gui"});
  // One report; 25 iterations in it and in calc_results.
  EXPECT_TRUE(a.count("SOLVER: stopped (required accuracy reached)") == 1 && a.count_prefix("#SOLVER:") == 1 && a.count("#25 iterations") == 2) << a.dump();
  // Without /gui the report is a block (running time, then the results) and no "#" line comes.
  Answers plain(kTurn + "set_accuracy 5 fraction\ngo\nset_pot 0 0 400\nwait_for_solver\n");
  long block = plain.index("SOLVER:");
  ASSERT_GT(block, plain.index("set_pot ok!")) << "no report after the pot changed\n" << plain.dump();
  EXPECT_TRUE(plain.count_prefix("#") == 0 && plain.count("SOLVER:") == 1 && value_at(plain, block + 1, "running time") >= 0) << plain.dump();
  expect_consistent_results(plain, block + 2, true);
  EXPECT_EQ(plain.index("SOLVER: stopped (required accuracy reached)"), block + 8) << plain.dump();
}

TEST_F(SolverControl, TimeLimitStopAndTakeABreakEndARunBeforeTheWaitReturns) {
  for (auto [command, reason, answer] : {std::tuple{"go 1 seconds", "timeout reached", "is_ready ok!"},
                                         {"go\nsleep 50\nstop", "requested", "stop ok!"},
                                         {"go\nsleep 50\ntake_a_break 0", "requested", "take_a_break ok!"}}) {
    SCOPED_TRACE(command);
    Answers a(kTurn + command + "\nwait_for_solver\nis_ready\n");
    long stopped = a.index("SOLVER: stopped (" + std::string(reason) + ")");
    EXPECT_TRUE(stopped >= 0 && a.count_prefix("SOLVER: stopped") == 1 && a.count(answer) == 1) << a.dump();
    EXPECT_TRUE(stopped < a.index("is_ready ok!") && a.lines.back() == "is_ready ok!");
  }
}

}  // namespace
