// Reports, stop and go racing a solve on two workers. Commands go to the program in batches
// while the solver runs, so the reports follow each other without pause and meet the workers,
// and the solver thread's own evaluations, at every point of an iteration. Each answer must
// still be a complete, well-formed block whose numbers agree with each other. Under the thread
// sanitizer (make check-tsan, halt_on_error=1) a race ends the program with status 66, which
// fails the test.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "subprocess.h"

namespace {

constexpr std::size_t kHands = 1326;
// The thread sanitizer slows a pass down tenfold and more.
constexpr int kAnswerTimeoutMs = 180'000;

class Program {
 public:
  Program() : process_(TRAVANTO_BINARY, {"/gui"}) {
    std::string banner;
    if (!process_.read_line(banner, kAnswerTimeoutMs)) throw std::runtime_error("the program did not start");
  }

  void send(const std::vector<std::string>& commands) {
    std::string text;
    for (const std::string& c : commands) text += c + "\n";
    last_sent_ = commands.back();
    process_.write(text);
  }

  // The next line of a command's answer. The solver thread's lines ("SOLVER: ..." and the "#"
  // diagnostics, including its one-line reports) come between answers and are counted apart.
  std::string next() {
    std::string line;
    for (;;) {
      if (!process_.read_line(line, kAnswerTimeoutMs))
        throw std::runtime_error("no answer after \"" + last_sent_.substr(0, 60) + "\": the program ended or hangs");
      if (line.starts_with("SOLVER: started")) {
        ++started_;
      } else if (line.starts_with("SOLVER: stopped")) {
        ++stopped_;
      } else if (line.starts_with("#")) {
        // calc_results and the solver's reports end with "#<n> iterations".
        if (line.ends_with(" iterations")) iterations_ = std::atoi(line.c_str() + 1);
      } else {
        return line;
      }
    }
  }

  void expect(const std::string& command, const std::string& answer) {
    send({command});
    EXPECT_EQ(next(), answer) << "after " << command.substr(0, 60);
  }

  int finish() {
    send({"exit"});
    process_.close_input();
    process_.read_all(kAnswerTimeoutMs);
    return process_.wait();
  }

  int started_ = 0, stopped_ = 0;
  int iterations_ = 0;  // as last reported

 private:
  Subprocess process_;
  std::string last_sent_;
};

std::vector<double> numbers(const std::string& line) {
  std::vector<double> values;
  std::size_t pos = 0;
  while (pos < line.size()) {
    std::size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    std::string token = line.substr(pos, end - pos);
    char* rest = nullptr;
    double v = std::strtod(token.c_str(), &rest);
    if (token.empty() || *rest) throw std::runtime_error("not a number: \"" + token + "\" in " + line.substr(0, 80));
    values.push_back(v);
    pos = end + 1;
  }
  return values;
}

// One value per hand.
std::vector<double> hand_row(const std::string& line) {
  std::vector<double> row = numbers(line);
  EXPECT_EQ(row.size(), kHands) << line.substr(0, 80);
  row.resize(kHands, std::nan(""));
  return row;
}

// A results block: its six lines.
void check_results(Program& p, bool stopped) {
  std::vector<std::string> block;
  for (int i = 0; i < 6; ++i) block.push_back(p.next());
  expect_consistent_results(block, 0, stopped);
}

// One row per action (every decision asked about has two); per hand the probabilities add up to
// 1, except where the board blocks the hand (all 0) or the report has no value (all nan).
void check_strategy(Program& p, const std::string& path) {
  std::vector<std::vector<double>> rows;
  for (std::string line = p.next(); line != "END"; line = p.next()) rows.push_back(hand_row(line));
  ASSERT_EQ(rows.size(), 2u) << path;
  for (std::size_t h = 0; h < kHands; ++h) {
    double sum = 0;
    int nan = 0;
    for (const auto& row : rows) {
      if (std::isnan(row[h])) {
        ++nan;
        continue;
      }
      EXPECT_GE(row[h], 0.0) << path << " hand " << h;
      EXPECT_LE(row[h], 1.0) << path << " hand " << h;
      sum += row[h];
    }
    if (nan == 0 && sum != 0) {
      EXPECT_NEAR(sum, 1.0, 1e-6) << path << " hand " << h;
    }
    if (nan != 0) {
      EXPECT_EQ(nan, 2) << path << " hand " << h;
    }
  }
}

// Per-hand EVs (nan where the hand does not reach the node), then weights.
void check_ev(Program& p, const std::string& path) {
  std::vector<double> ev = hand_row(p.next()), weight = hand_row(p.next());
  EXPECT_EQ(p.next(), "END");
  for (std::size_t h = 0; h < kHands; ++h) {
    EXPECT_TRUE(std::isnan(ev[h]) || std::isfinite(ev[h])) << path << " hand " << h;
    EXPECT_TRUE(std::isfinite(weight[h]) && weight[h] >= 0) << path << " hand " << h << ": " << weight[h];
  }
}

// The range as set (weights up to 1) times the player's own action probabilities.
void check_range(Program& p, const std::string& path) {
  for (double w : hand_row(p.next())) {
    EXPECT_GE(w, 0.0) << path;
    EXPECT_LE(w, 1.0 + 1e-9) << path;
  }
}

// Sends the commands at once, then checks their answers in order.
void run_reports(Program& p, const std::vector<std::string>& commands, bool stopped) {
  p.send(commands);
  for (const std::string& c : commands) {
    std::string word = c.substr(0, c.find(' ')), path = c.substr(c.rfind(' ') + 1);
    if (word == "calc_results")
      check_results(p, stopped);
    else if (word == "show_strategy")
      check_strategy(p, path);
    else if (word == "calc_ev")
      check_ev(p, path);
    else if (word == "show_range")
      check_range(p, path);
    else
      FAIL() << "no check for " << c;
  }
}

// Decisions with two actions each: the turn's first, facing a bet, a river decision after
// checks and one after a call. Results come between the other reports, which hold the solver
// mutex longer, so that some of them meet the solver thread's own evaluations.
const std::vector<std::string> kReports = {
    "calc_results", "show_strategy r:0",         "calc_results", "show_strategy r:0:b100",
    "calc_results", "show_strategy r:0:c:c:2h",  "calc_results", "show_strategy r:0:b100:c:2h",
    "calc_results", "calc_ev OOP r:0",           "calc_results", "calc_ev IP r:0:b100",
    "calc_results", "calc_ev OOP r:0:c:c:2h",    "calc_results", "show_range OOP r:0:b100:c:2h",
    "calc_results", "show_range IP r:0:c:c:2h",  "calc_results", "calc_results",
    "calc_results", "calc_results",
};

// Two workers on a turn spot, no accuracy target: the run goes on until stopped.
void set_up_turn(Program& p) {
  std::string setup = "set_threads 2\n" +
                      spot_input("As Ks Qd 7c", {"0 0 0 0", "0 0 100 100", "100 100 100 100", "100 100 300 300"}) +
                      "set_accuracy 0\n";
  for (std::size_t pos = 0, end; pos < setup.size(); pos = end + 1) {
    end = setup.find('\n', pos);
    std::string line = setup.substr(pos, end - pos);
    p.expect(line, line.substr(0, line.find(' ')) + " ok!");
  }
}

bool go_answer(const std::string& answer) {
  EXPECT_TRUE(answer == "go ok!" || answer == "ERROR: go Can't do that when solver is running") << answer;
  return answer == "go ok!";
}

TEST(SolverRace, ReportsStopAndGoWhileTwoWorkersSolve) {
  Program p;
  set_up_turn(p);

  // Reports while the run goes on, from untouched storage through the regret-matched
  // strategies to the averages that reports read from iteration 63, and past the solver's
  // reports every 25 iterations (bounded in time for slow machines).
  int runs = 0;
  p.expect("go", "go ok!");
  ++runs;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  do {
    run_reports(p, kReports, false);
  } while (p.iterations_ < 80 && std::chrono::steady_clock::now() < deadline);

  // Stop and go at once: the go may find the run still ending.
  p.send({"stop", "go"});
  EXPECT_EQ(p.next(), "stop ok!");
  runs += go_answer(p.next());
  run_reports(p, kReports, false);

  // Stopped and waited for, the results come from one strategy.
  p.send({"stop", "wait_for_solver"});
  EXPECT_EQ(p.next(), "stop ok!");
  p.expect("is_ready", "is_ready ok!");
  run_reports(p, kReports, true);

  // A run with a step limit ends by itself; reports and a wait race it.
  p.expect("go 30 steps", "go ok!");
  ++runs;
  run_reports(p, {"calc_results", "show_strategy r:0", "calc_results", "calc_ev IP r:0:b100"}, false);
  p.send({"wait_for_solver"});
  p.expect("is_ready", "is_ready ok!");
  run_reports(p, kReports, true);

  EXPECT_EQ(p.started_, runs);
  EXPECT_EQ(p.stopped_, runs);
  EXPECT_EQ(p.finish(), 0) << "a thread sanitizer report ends the program with 66";
}

// Locks, imposed strategies and tree saves between the solver's passes: each answers, the
// reports in between stay well-formed, and every save loads.
TEST(SolverRace, LocksAndSavesWhileTwoWorkersSolve) {
  std::string dir = make_temp_dir();
  Program p;
  set_up_turn(p);
  std::string weights;
  for (std::size_t h = 0; h < kHands; ++h) weights += h % 2 ? " 1" : " 0.5";
  p.expect("go", "go ok!");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int round = 0;
  do {
    p.send({"lock_node r:0:b100", "set_strategy r:0:b100 0" + weights, "calc_results",
            "dump_tree " + dir + "/t" + std::to_string(round % 2), "unlock_node r:0:c:c:Ah", "lock_node r:0:c:c:2d:b100",
            "unlock_node r:0:b100", "show_strategy r:0:b100"});
    EXPECT_EQ(p.next(), "lock_node ok!");
    EXPECT_EQ(p.next(), "set_strategy ok!");
    check_results(p, false);
    EXPECT_EQ(p.next(), "dump_tree ok!");
    EXPECT_EQ(p.next(), "unlock_node ok!");
    EXPECT_EQ(p.next(), "lock_node ok!");
    EXPECT_EQ(p.next(), "unlock_node ok!");
    check_strategy(p, "r:0:b100");
    ++round;
  } while ((round < 4 || p.iterations_ < 40) && std::chrono::steady_clock::now() < deadline);
  p.send({"stop", "wait_for_solver"});
  EXPECT_EQ(p.next(), "stop ok!");
  p.expect("load_tree " + dir + "/t0", "load_tree ok!");
  p.expect("is_tree_present", "true");
  EXPECT_EQ(p.finish(), 0) << "a thread sanitizer report ends the program with 66";
  std::filesystem::remove_all(dir);
}

}  // namespace
