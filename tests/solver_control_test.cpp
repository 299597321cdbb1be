// The solver control commands as a process sees them: go and its refusals, the stop rules and
// their reasons, progress reports in both output modes, stop/wait/take_a_break, commands that
// must wait for an idle solver, and results taken while the solver runs.
//
// The solver thread prints "SOLVER: started" while the command loop is still answering "go",
// so those two lines may come in either order; the checks below rely only on orders the
// commands guarantee.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "subprocess.h"

namespace {

// Iterations take microseconds: for the stop rules that count iterations.
const std::string kRiver = spot_input("As Ks Qd 7c 2h", {"0 0", "0 100 100", "100 100", "100 300 300"});
// Iterations take milliseconds: the solver is still running when the next command arrives,
// and a run of a second stays far below the 9,000-iteration cap.
const std::string kTurn = spot_input("As Ks Qd 7c", {"0 0 0 0", "0 0 100 100", "100 100 0 0", "100 100 100 100"});

// The program runs with one OpenMP thread (the solver thread's passes and calc_results' on the
// command thread alike): these tests are about the solver thread and the command loop. The
// thread sanitizer does not see the OpenMP runtime's barriers, so parallel passes would make it
// report races between workers that the barriers rule out.
class SolverControl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv(kVariable)) saved_ = v;
    setenv(kVariable, "1", 1);
  }
  void TearDown() override {
    if (saved_)
      setenv(kVariable, saved_->c_str(), 1);
    else
      unsetenv(kVariable);
  }

 private:
  static constexpr const char* kVariable = "OMP_NUM_THREADS";
  std::optional<std::string> saved_;
};

const std::regex kGuiReport(
    R"(#SOLVER:\trunning time: \d+\.\d{3}\tEV OOP: -?\d+\.\d{3}\tEV IP: -?\d+\.\d{3}\tOOP's MES: -?\d+\.\d{3})"
    R"(\tIP's MES: -?\d+\.\d{3}\tExploitable for: -?\d+\.\d{3}\tEND)");
const std::regex kStorageLine(R"(#storage \d+ MB/s read, \d+ MB/s write)");

// The refusals that need no run are in protocol/solver.case.
TEST_F(SolverControl, GoIsRefusedWhileRunningBeforeItsArgumentsAreRead) {
  Answers running(kTurn + "go\ngo 5 steps\ngo 5 minutes\nstop\nwait_for_solver\nis_ready\n");
  EXPECT_EQ(running.count("ERROR: go Can't do that when solver is running"), 2) << running.dump();
  EXPECT_EQ(running.count("go ok!"), 1);
  EXPECT_EQ(running.count("SOLVER: started"), 1);
  EXPECT_EQ(running.count("SOLVER: stopped (requested)"), 1);
}

TEST_F(SolverControl, StepLimitCountsIterationsOfTheRun) {
  // Zero steps still runs one iteration; no report, as 25 iterations were not reached.
  Answers zero(kRiver + "go 0 steps\nwait_for_solver\ncalc_results\n", {"/gui"});
  EXPECT_EQ(zero.count("SOLVER: stopped (required number of steps done)"), 1) << zero.dump();
  EXPECT_EQ(zero.count_prefix("#SOLVER:"), 0);
  EXPECT_EQ(zero.count("#1 iterations"), 1);

  // A second run continues from the tree's count: 30 then 60, reports at 25 and at 50.
  Answers twice(kRiver + "go 30 steps\nwait_for_solver\ngo 30 steps\nwait_for_solver\ncalc_results\n", {"/gui"});
  EXPECT_EQ(twice.count("SOLVER: stopped (required number of steps done)"), 2) << twice.dump();
  EXPECT_EQ(twice.count_prefix("#SOLVER:"), 2);
  EXPECT_EQ(twice.count("#25 iterations"), 1);
  EXPECT_EQ(twice.count("#50 iterations"), 1);
  EXPECT_EQ(twice.count("#60 iterations"), 1);  // from calc_results
}

TEST_F(SolverControl, GuiReportIsOneLineThenIterationsAndStorage) {
  Answers a(kRiver + "go 30 steps\nwait_for_solver\nis_ready\n", {"/gui"});
  long report = -1;
  for (std::size_t i = 0; i < a.lines.size(); ++i)
    if (a.lines[i].starts_with("#SOLVER:")) {
      EXPECT_EQ(report, -1) << "more than one report:\n" << a.dump();
      report = long(i);
    }
  ASSERT_GE(report, 0) << a.dump();
  std::size_t r = std::size_t(report);
  EXPECT_TRUE(std::regex_match(a.lines[r], kGuiReport)) << a.lines[r];
  ASSERT_LT(r + 2, a.lines.size());
  EXPECT_EQ(a.lines[r + 1], "#25 iterations");
  EXPECT_TRUE(std::regex_match(a.lines[r + 2], kStorageLine)) << a.lines[r + 2];
  EXPECT_LT(long(r), a.index("SOLVER: stopped (required number of steps done)"));
  EXPECT_EQ(a.lines.back(), "is_ready ok!");
}

TEST_F(SolverControl, PlainReportIsABlockWithoutDiagnosticLines) {
  Answers a(kRiver + "go 30 steps\nwait_for_solver\nis_ready\n");
  // "go ok!" is an answer and the solver's lines come at any time: the two may come in either order.
  std::erase(a.lines, std::string("go ok!"));
  EXPECT_EQ(a.count_prefix("#"), 0) << a.dump();
  EXPECT_EQ(a.count("SOLVER:"), 1) << a.dump();
  long block = a.index("SOLVER:");
  ASSERT_GE(block, 0);
  EXPECT_GE(value_at(a, block + 1, "running time"), 0.0);
  expect_consistent_results(a, block + 2, true);
  EXPECT_EQ(a.index("SOLVER: stopped (required number of steps done)"), block + 8) << a.dump();
  EXPECT_EQ(a.lines.back(), "is_ready ok!");
}

TEST_F(SolverControl, LooseAccuracyStopsAtTheFirstCheck) {
  // 5 times the pot: any exploitability is below it, and the first check comes at 25.
  Answers a(kRiver + "set_accuracy 5 fraction\ngo\nwait_for_solver\ncalc_results\n", {"/gui"});
  EXPECT_EQ(a.count("SOLVER: stopped (required accuracy reached)"), 1) << a.dump();
  EXPECT_EQ(a.count_prefix("#SOLVER:"), 1);
  EXPECT_EQ(a.count("#25 iterations"), 2);  // the report and calc_results
}

TEST_F(SolverControl, TimeLimitEndsTheRun) {
  Answers a(kTurn + "go 1 seconds\nwait_for_solver\nis_ready\n");
  EXPECT_EQ(a.count("SOLVER: stopped (timeout reached)"), 1) << a.dump();
  EXPECT_EQ(a.count_prefix("SOLVER: stopped"), 1);
  EXPECT_LT(a.index("SOLVER: stopped (timeout reached)"), a.index("is_ready ok!"));
}

TEST_F(SolverControl, StopAndTakeABreakEndARunBeforeTheWaitReturns) {
  for (const char* command : {"stop", "take_a_break 0"}) {
    Answers a(kTurn + std::string("go\nsleep 50\n") + command + "\nwait_for_solver\nis_ready\n");
    std::string answer = std::string(command).substr(0, std::string(command).find(' ')) + " ok!";
    EXPECT_EQ(a.count(answer), 1) << a.dump();
    long stopped = a.index("SOLVER: stopped (requested)");
    EXPECT_GE(stopped, 0) << a.dump();
    EXPECT_EQ(a.count_prefix("SOLVER: stopped"), 1);
    EXPECT_LT(stopped, a.index("is_ready ok!"));
    EXPECT_EQ(a.lines.back(), "is_ready ok!");
  }
}

TEST_F(SolverControl, TreeCannotBeReplacedWhileTheSolverRuns) {
  Answers a(kTurn + "go\nbuild_tree\nfree_tree\nis_tree_present\nstop\nwait_for_solver\nfree_tree\nis_tree_present\n");
  EXPECT_EQ(a.count("ERROR: build_tree Can't do that when solver is running"), 1) << a.dump();
  EXPECT_EQ(a.count("ERROR: free_tree Can't do that when solver is running"), 1);
  // Once stopped, the tree goes.
  long stopped = a.index("SOLVER: stopped (requested)");
  ASSERT_GE(stopped, 0) << a.dump();
  EXPECT_LT(a.index("true"), stopped);
  EXPECT_GT(a.index("free_tree ok!"), stopped);
  EXPECT_EQ(a.lines.back(), "false");
}

TEST_F(SolverControl, ResultsWhileRunningAreWellFormed) {
  // With /gui the solver's own reports are single "#SOLVER:" lines, so every "EV OOP:" line
  // begins a calc_results block. The last one comes after the run ended.
  Answers a(kTurn + "go\ncalc_results\nsleep 20\ncalc_results\nstop\nwait_for_solver\ncalc_results\n", {"/gui"});
  std::vector<std::size_t> blocks;
  for (std::size_t i = 0; i < a.lines.size(); ++i)
    if (a.lines[i].starts_with("EV OOP: ")) blocks.push_back(i);
  ASSERT_EQ(blocks.size(), 3u) << a.dump();
  for (std::size_t i : blocks) {
    expect_consistent_results(a, long(i), i == blocks.back());
    ASSERT_LT(i + 7, a.lines.size());
    EXPECT_TRUE(std::regex_match(a.lines[i + 6], std::regex(R"(#\d+ iterations)"))) << a.lines[i + 6];
    EXPECT_TRUE(std::regex_match(a.lines[i + 7], kStorageLine)) << a.lines[i + 7];
  }
  long stopped = a.index("SOLVER: stopped (requested)");
  EXPECT_GE(stopped, 0);
  EXPECT_LT(stopped, long(blocks.back()));
}


// The solver's reports add half of the pot the run started with: a set_pot while it runs
// changes the next tree, not the running one's reports.
TEST_F(SolverControl, PotChangedWhileRunningLeavesTheRunsReports) {
  // A loose accuracy ends the run at its first check (25 iterations, a quarter second at
  // least), with a report; set_pot is answered long before.
  Answers a(kTurn + "set_accuracy 5 fraction\ngo\nset_pot 0 0 400\nwait_for_solver\n");
  EXPECT_EQ(a.count("set_pot ok!"), 1) << a.dump();
  long stopped = a.index("SOLVER: stopped (required accuracy reached)");
  ASSERT_GE(stopped, 0) << a.dump();
  // The report: "SOLVER:", "running time:", then the block.
  long report = -1;
  for (long i = 0; i + 2 < long(a.lines.size()); ++i)
    if (a.lines[std::size_t(i)] == "SOLVER:") report = i + 2;
  ASSERT_GE(report, 0) << a.dump();
  ASSERT_GT(report, a.index("set_pot ok!")) << "no report after the pot changed\n" << a.dump();
  expect_consistent_results(a, report, true);
}

}  // namespace
