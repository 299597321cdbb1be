// Reports, locks, saves, stop and go racing a solve on two workers. Commands go to the program
// in batches while the solver runs, so the reports follow each other without pause and meet the workers,
// and the solver thread's own evaluations, at every point of an iteration. Each answer must
// still be a complete, well-formed block whose numbers agree with each other. Under the thread
// sanitizer (make check-tsan, halt_on_error=1) a race ends the program with status 66, which
// fails the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>

#include "subprocess.h"

namespace {

constexpr std::size_t kHands = 1326;
constexpr int kAnswerTimeoutMs = 180'000;  // the thread sanitizer slows a pass down tenfold and more

class Program {
 public:
  Program() : process_(TRAVANTO_BINARY, {"/gui"}) { next(); }  // the banner
  void send(const std::vector<std::string>& commands) {
    std::string text;
    for (const std::string& c : commands) text += c + "\n";
    last_sent_ = commands.back();
    process_.write(text);
  }
  // The next line of a command's answer. The solver thread's lines ("SOLVER: ..." and the "#"
  // diagnostics, including its one-line reports) come between answers and are counted apart.
  std::string next() {
    for (std::string line;;) {
      if (!process_.read_line(line, kAnswerTimeoutMs))
        throw std::runtime_error("no answer after \"" + last_sent_.substr(0, 60) + "\": the program ended or hangs");
      started_ += line.starts_with("SOLVER: started"), stopped_ += line.starts_with("SOLVER: stopped");
      if (line.starts_with("#") && line.ends_with(" iterations")) iterations_ = std::atoi(line.c_str() + 1);  // "#<n> iterations"
      if (!line.starts_with("#") && !line.starts_with("SOLVER: st")) return line;
    }
  }
  void expect(const std::vector<std::string>& commands, const std::vector<std::string>& answers) {
    send(commands);
    for (const std::string& a : answers) EXPECT_EQ(next(), a) << "after " << last_sent_.substr(0, 60);
  }
  int finish() { return send({"exit"}), process_.close_input(), process_.read_all(kAnswerTimeoutMs), process_.wait(); }
  int started_ = 0, stopped_ = 0, iterations_ = 0;  // iterations as last reported

 private:
  Subprocess process_;
  std::string last_sent_;
};

// One value per hand.
std::vector<double> hand_row(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> row;
  for (std::string token; in >> token;) row.push_back(std::stod(token));
  EXPECT_EQ(row.size(), kHands) << line.substr(0, 80);
  row.resize(kHands, std::nan(""));
  return row;
}

// Sends the commands at once, then checks their answers in order. Strategies: two rows (every
// decision asked about has two actions) adding up to 1 per hand, or all 0 where the board blocks
// the hand, all nan where the report has no value. EVs: nan where the hand does not reach the
// node, and weights; a range: as set (up to 1) times the player's own action probabilities.
void run_reports(Program& p, const std::vector<std::string>& commands, bool stopped) {
  p.send(commands);
  for (const std::string& c : commands) {
    std::string word = c.substr(0, c.find(' ')), path = c.substr(c.rfind(' ') + 1);
    if (word == "calc_results") {
      std::vector<std::string> block;
      while (block.size() < 6) block.push_back(p.next());
      expect_consistent_results(block, 0, stopped);
    } else if (word == "show_strategy") {
      std::vector<double> a = hand_row(p.next()), b = hand_row(p.next());
      EXPECT_EQ(p.next(), "END") << path;
      for (std::size_t h = 0; h < kHands; ++h)
        EXPECT_TRUE(std::isnan(a[h]) ? std::isnan(b[h]) : a[h] >= 0 && b[h] >= 0 && (a[h] + b[h] == 0 || std::fabs(a[h] + b[h] - 1) < 1e-6)) << path << " " << h;
    } else if (word == "calc_ev") {
      std::vector<double> ev = hand_row(p.next()), weight = hand_row(p.next());
      EXPECT_EQ(p.next(), "END");
      for (std::size_t h = 0; h < kHands; ++h) EXPECT_TRUE(!std::isinf(ev[h]) && std::isfinite(weight[h]) && weight[h] >= 0) << path << " hand " << h;
    } else if (word == "show_range") {
      for (double w : hand_row(p.next())) EXPECT_TRUE(w >= 0 && w <= 1 + 1e-9) << path;
    } else {
      EXPECT_EQ(p.next(), word + " ok!");
    }
  }
}

// Decisions with two actions each: the turn's first, facing a bet, a river decision after
// checks and one after a call. Results come between the other reports, which hold the solver
// mutex longer, so that some of them meet the solver thread's own evaluations.
const std::vector<std::string> kReports = [] {
  std::vector<std::string> r;
  for (const char* c : {"show_strategy r:0", "show_strategy r:0:b100", "show_strategy r:0:c:c:2h", "show_strategy r:0:b100:c:2h",
                        "calc_ev OOP r:0", "calc_ev IP r:0:b100", "calc_ev OOP r:0:c:c:2h", "show_range OOP r:0:b100:c:2h",
                        "show_range IP r:0:c:c:2h", "calc_results", "calc_results"})
    r.insert(r.end(), {"calc_results", c});
  return r;
}();

// Two workers on a turn spot, no accuracy target: the run goes on until stopped.
void set_up_turn(Program& p) {
  std::istringstream setup("set_threads 2\n" +
                           spot_input("As Ks Qd 7c", {"0 0 0 0", "0 0 100 100", "100 100 100 100", "100 100 300 300"}) +
                           "set_accuracy 0\n");
  for (std::string line; std::getline(setup, line);) p.expect({line}, {line.substr(0, line.find(' ')) + " ok!"});
}

// Reports, locks, imposed strategies and saves while the run goes on, from untouched storage
// through the regret-matched strategies to the averages that reports read from iteration 63,
// and past the solver's reports every 25 iterations (bounded in time for slow machines).
TEST(SolverRace, ReportsLocksStopAndGoWhileTwoWorkersSolve) {
  std::string dir = make_temp_dir(), weights;
  for (std::size_t h = 0; h < kHands; ++h) weights += h % 2 ? " 1" : " 0.5";
  Program p;
  set_up_turn(p);
  int runs = 1;
  p.expect({"go", "dump_tree " + dir + "/t1", "load_tree " + dir + "/t1"},
           {"go ok!", "dump_tree ok!", "ERROR: load_tree Can't do that when solver is running"});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int round = 0;
  do {
    run_reports(p, kReports, false);
    // With imposed strategies the exploitability may reach 0 and end the run.
    run_reports(p, {"lock_node r:0:b100", "set_strategy r:0:b100 0" + weights, "dump_tree " + dir + "/t" + std::to_string(round % 2),
                    "unlock_node r:0:c:c:Ah", "lock_node r:0:c:c:2d:b100", "unlock_node r:0:b100", "calc_results", "show_strategy r:0:b100"}, false);
  } while ((++round < 2 || p.iterations_ < 80) && std::chrono::steady_clock::now() < deadline);
  // Stop and go at once: the go may find the run still ending.
  p.expect({"stop", "go"}, {"stop ok!"});
  std::string go = p.next();
  EXPECT_TRUE(go == "go ok!" || go == "ERROR: go Can't do that when solver is running") << go;
  runs += go == "go ok!";
  run_reports(p, kReports, false);
  // Stopped and waited for, the results come from one strategy.
  p.expect({"stop", "wait_for_solver", "is_ready"}, {"stop ok!", "is_ready ok!"});
  run_reports(p, kReports, true);
  // A run with a step limit ends by itself; reports and a wait race it.
  p.expect({"go 30 steps"}, {"go ok!"});
  ++runs;
  run_reports(p, {"calc_results", "show_strategy r:0", "calc_results", "calc_ev IP r:0:b100"}, false);
  p.expect({"wait_for_solver", "is_ready"}, {"is_ready ok!"});
  run_reports(p, kReports, true);
  EXPECT_EQ(p.started_, runs);
  EXPECT_EQ(p.stopped_, runs);
  // Every save taken during the runs loads.
  p.expect({"load_tree " + dir + "/t0", "is_tree_present", "load_tree " + dir + "/t1"}, {"load_tree ok!", "true", "load_tree ok!"});
  EXPECT_EQ(p.finish(), 0) << "a thread sanitizer report ends the program with 66";
  std::filesystem::remove_all(dir);
}

}  // namespace
