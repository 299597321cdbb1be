// Tree files: the checksum, round trips of every kind of tree, continuing a saved solve, and
// damaged files and failed saves.
#include <gtest/gtest.h>
#include <omp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "core/failure.h"
#include "solver/solver.h"
#include "solver/solver_control.h"
#include "storage/binary_file.h"
#include "storage/checksum.h"
#include "storage/compression_level.h"
#include "solver/tree_file.h"

#include "spot_fixture.h"
#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

std::string read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void write_bytes(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint64_t checksum_of(const std::string& bytes) {
  StreamChecksum c;
  c.update(bytes.data(), bytes.size());
  return c.digest();
}

}  // namespace

// Pieces of any size give the checksum of the whole; every flipped bit and every length of a
// run of zeros changes it.
TEST(StreamChecksum, PiecesAddUpAndEveryChangeShows) {
  std::mt19937 rng(5);
  std::string data(5000, '\0');
  for (char& c : data) c = char(rng());
  for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 100u, 5000u}) {
    StreamChecksum pieces;
    for (std::size_t at = 0; at < length;) {
      std::size_t n = std::min<std::size_t>(length - at, rng() % 70);
      pieces.update(data.data() + at, n);
      at += n;
    }
    EXPECT_EQ(pieces.digest(), checksum_of(data.substr(0, length))) << length;
  }
  std::string x(200, 'x');
  for (std::size_t i = 0; i < x.size() * 8; ++i) {
    std::string flipped = x;
    flipped[i / 8] = char(flipped[i / 8] ^ (1 << (i % 8)));
    ASSERT_NE(checksum_of(flipped), checksum_of(x)) << i;
  }
  for (std::size_t n = 1; n <= 80; ++n) ASSERT_NE(checksum_of(std::string(n, '\0')), checksum_of(std::string(n - 1, '\0'))) << n;
}

namespace {

struct TreeFile : SpotFixture {
  fs::path dir = make_temp_dir();
  ~TreeFile() override { fs::remove_all(dir); }

  void SetUp() override {
    SpotFixture::SetUp();
    s.compression_setting = 0;
  }

  void turn_spot() {
    board("Td 9d 6h Qc");
    range(0, "AdKd AhKh QsQh 9s9h 8d7d 5d4d");
    range(1, "KsKh QdJd TsTh 7h7c AhQh 8h7h");
    line({0, 0, 0, 0});
    line({0, 0, 50, 50});
    line({50, 150, 150});
  }
  void river_spot() {
    board("Td 9d 6h Qc 2s");
    range(0, "AdKd AhKh QsQh 9s9h 8d7d 5d4d");
    range(1, "KsKh QdJd TsTh 7h7c AhQh 8h7h");
    line({0, 0});
    line({0, 50, 50});
    line({50, 150, 150});
  }

  // Averages from the third iteration on (not the 61st), so that short solves fill the
  // compressed average stores too.
  void solve(GameTree& tree, int iterations) {
    tree.params.averaging_delay = 2;
    for (int i = 0; i < iterations; ++i) run_iteration(tree);
  }
  void expect_same_results(const TreeResults& a, const TreeResults& b, double tolerance) {
    for (int p = 0; p < 2; ++p) {
      EXPECT_NEAR(a.ev[p], b.ev[p], tolerance);
      EXPECT_NEAR(a.mes[p], b.mes[p], tolerance);
    }
    EXPECT_NEAR(a.exploitability, b.exploitability, tolerance);
  }

  std::string path(const std::string& name) const { return (dir / name).string(); }

  // The failure text of loading a file, empty when it loads.
  std::string load_failure(const std::string& file) {
    try {
      load(file);
    } catch (const IOException& e) {
      return e.what();
    } catch (const CommandFailure& e) {
      return e.what();
    }
    return "";
  }
};

struct Config {
  const char* name;
  void (TreeFile::*spot)();
  int level;
  bool isomorphism;
  bool all_hands;
};

}  // namespace

// Saved, loaded with other settings in force, saved again: the same bytes, and the loaded tree
// evaluates to the same results and goes on solving as the original does.
TEST_F(TreeFile, RoundTripsAreByteIdenticalForEveryKindOfTree) {
  const Config configs[] = {
      {"flop level 0", &TreeFile::small_flop_spot, 0, true, false},
      {"flop level 1", &TreeFile::small_flop_spot, 1, true, false},
      {"flop level 3 all hands", &TreeFile::small_flop_spot, 3, true, true},
      {"flop level 4", &TreeFile::small_flop_spot, 4, false, false},
      {"turn", &TreeFile::turn_spot, 0, true, false},
      {"turn no isomorphism", &TreeFile::turn_spot, 2, false, true},
      {"river", &TreeFile::river_spot, 0, false, false},
      {"river all hands", &TreeFile::river_spot, 4, false, true},
  };
  for (const Config& c : configs) {
    SCOPED_TRACE(c.name);
    if (kSanitizedBuild && c.spot == &TreeFile::small_flop_spot && c.level != 4) continue;
    s.clear_lines();
    s.settings.isomorphism = {c.isomorphism, c.isomorphism, false};
    s.settings.all_hands = c.all_hands;
    s.compression_setting = c.level;
    (this->*c.spot)();
    GameTree& tree = build();
    bool iso = tree.has_flag(ISOMORPHISM_ON);
    solve(tree, 5);
    TreeResults before = results(tree);
    save_tree_file(tree, path("a.tree"));
    int hands[2] = {tree.start_card_node().hand_count(0), tree.start_card_node().hand_count(1)};

    // Other settings in force at load time: the file's own choices win.
    s.settings.isomorphism = {!c.isomorphism, !c.isomorphism, true};
    s.settings.all_hands = !c.all_hands;
    s.compression_setting = c.level == 0 ? 4 : 0;
    s.clear_lines();
    load(path("a.tree"));
    GameTree& loaded = *s.current_tree();
    loaded.params.averaging_delay = 2;  // as solve() set it on the saved tree
    EXPECT_EQ(loaded.iterations, 5);
    EXPECT_EQ(loaded.has_flag(ISOMORPHISM_ON), iso);
    EXPECT_FALSE(loaded.has_flag(NEW_TREE));
    EXPECT_EQ(loaded.all_hands, c.all_hands);
    EXPECT_EQ(s.compression_in_force(), c.level);
    EXPECT_EQ(loaded.start_card_node().hand_count(0), hands[0]);
    EXPECT_EQ(loaded.start_card_node().hand_count(1), hands[1]);
    save_tree_file(loaded, path("b.tree"));
    EXPECT_TRUE(read_bytes(path("a.tree")) == read_bytes(path("b.tree")));
    expect_same_results(results(loaded), before, 1e-9);
    s.settings.isomorphism = {true, true, false};
  }
}

// A fresh tree (never solved) saves its empty arrays and loads as new.
TEST_F(TreeFile, UnsolvedTreeRoundTrips) {
  s.compression_setting = 4;
  small_flop_spot();
  s.install_tree(built());
  save_tree_file(*s.current_tree(), path("new.tree"));
  load(path("new.tree"));
  EXPECT_TRUE(s.current_tree()->has_flag(NEW_TREE));
  EXPECT_EQ(s.current_tree()->iterations, 0);
  save_tree_file(*s.current_tree(), path("again.tree"));
  EXPECT_TRUE(read_bytes(path("new.tree")) == read_bytes(path("again.tree")));
}

// N iterations, save, load, M more: the same game as N + M without the save.
TEST_F(TreeFile, ContinuingALoadedSolveMatchesAnUninterruptedOne) {
  struct Case {
    void (TreeFile::*spot)();
    int level;
    SolverSchedule schedule;  // saved at iteration 8: discounted regrets, averages restarted at 4 and 16
  };
  std::vector<Case> cases = {{&TreeFile::small_flop_spot, 0, dcfr_schedule()}, {&TreeFile::small_flop_spot, 4, discounted_schedule()}};
  if (kSanitizedBuild) cases = {{&TreeFile::turn_spot, 0, {}}, {&TreeFile::turn_spot, 0, discounted_schedule()}};  // flop solves: the plain build runs them
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    SCOPED_TRACE(describe_schedule(c.schedule));
    s.compression_setting = c.level;
    s.clear_lines();
    (this->*c.spot)();
    GameTree& straight = build();
    straight.schedule = c.schedule;
    solve(straight, 20);
    TreeResults uninterrupted = results(straight);

    s.clear_lines();
    (this->*c.spot)();
    GameTree& first = build();
    first.schedule = c.schedule;
    solve(first, 8);
    save_tree_file(first, path("half.tree"));
    s.schedule = {};
    load(path("half.tree"));
    GameTree& second = *s.current_tree();
    EXPECT_EQ(second.schedule, c.schedule);
    EXPECT_EQ(s.schedule, c.schedule);  // the next go goes on with it
    solve(second, 12);
    EXPECT_EQ(second.iterations, 20);
    expect_same_results(results(second), uninterrupted, 1e-6);
  }
  s.schedule = {};
}

// Files cut at every field boundary and at random offsets, and single flipped bytes anywhere:
// each is refused with one of the two texts, nothing crashes, and what the spec keeps in effect
// is in effect: the file's board once read, no tree before the lines are complete, and an
// unsolved tree with working storage after.
TEST_F(TreeFile, DamagedFilesAreRefusedAndLeaveAUsableState) {
  s.compression_setting = 4;
  small_flop_spot();
  GameTree& tree = build();
  solve(tree, 6);
  save_tree_file(tree, path("good.tree"));
  std::string good = read_bytes(path("good.tree"));
  const std::size_t ranges_end = 4 + 4 + 24 + 24 + 2 * 10608;

  std::vector<std::size_t> cuts = {0, 3, 4, 8, 16, 32, 56, ranges_end - 10608, ranges_end, ranges_end + 1,
                                   good.size() - 9, good.size() - 8, good.size() - 1};
  std::mt19937 rng(17);
  bool solved_after_failure = false;  // one solve on a tree left by a failed load is enough
  const int random_cases = kSanitizedBuild ? 4 : 8;
  for (int i = 0; i < random_cases; ++i) cuts.push_back(rng() % good.size());
  for (std::size_t cut : cuts) {
    SCOPED_TRACE(cut);
    write_bytes(path("cut.tree"), good.substr(0, cut));
    EXPECT_EQ(load_failure(path("cut.tree")), "can't read from file");
    if (cut >= 32) {
      EXPECT_EQ(s.game.flop_mask, parse_cards("Td 9d 6h"));
    }
    if (cut <= ranges_end) {
      EXPECT_EQ(s.current_tree(), nullptr);
      EXPECT_TRUE(s.lines->is_leaf());
    }
    if (GameTree* t = s.current_tree()) {
      EXPECT_EQ(t->iterations, 0);
      EXPECT_TRUE(t->has_flag(NEW_TREE));
      ASSERT_TRUE(allocate_tree_storage(*t));
      if (!solved_after_failure) run_iteration(*t);
      solved_after_failure = true;
    }
  }

  std::vector<std::size_t> flips;
  for (std::size_t i = 0; i < (kSanitizedBuild ? 40u : 64u); ++i) flips.push_back(i);
  for (int i = 0; i < 2 * random_cases; ++i) flips.push_back(rng() % good.size());
  for (std::size_t at : flips) {
    SCOPED_TRACE(at);
    std::string bad = good;
    bad[at] = char(bad[at] ^ (1 << (rng() % 8)));
    write_bytes(path("flip.tree"), bad);
    std::string failure = load_failure(path("flip.tree"));
    EXPECT_FALSE(failure.empty());
    if (GameTree* t = s.current_tree()) {
      EXPECT_EQ(t->iterations, 0);
      ASSERT_TRUE(allocate_tree_storage(*t));
    }
  }

  std::string foreign = good;
  foreign[3] = ';';
  write_bytes(path("foreign.tree"), foreign);
  EXPECT_EQ(load_failure(path("foreign.tree")), "invalid file");
  EXPECT_EQ(s.current_tree(), nullptr);
  EXPECT_TRUE(s.lines->is_leaf());
  write_bytes(path("text.tree"), "set_board Td 9d 6h\n");
  EXPECT_EQ(load_failure(path("text.tree")), "invalid file");
  std::string newer = good;
  newer[4] = 3;  // a format version this program does not know
  write_bytes(path("newer.tree"), newer);
  EXPECT_EQ(load_failure(path("newer.tree")), "invalid file");
  EXPECT_EQ(load_failure(dir.string()), "can't read from file");
  EXPECT_EQ(load_failure(path("missing.tree")), "can't read from file");

  // After all that the good file still loads whole.
  EXPECT_TRUE(solved_after_failure);
  EXPECT_EQ(load_failure(path("good.tree")), "");
  EXPECT_EQ(s.current_tree()->iterations, 6);
}

// Every value the commands accept is saved and loaded back as set: the extremes of each field.
TEST_F(TreeFile, EveryAcceptedValueLoadsBack) {
  struct Case {
    const char* name;
    std::array<double, 3> pot;
    double weight;
    std::size_t line_length;  // a line of raises 1, 2, ... this long; 0: none
    double amount;            // a bet of this size; 0: none
  } cases[] = {{"lowest pot values", {INT32_MIN, INT32_MIN, 1}, 1, 0, 0},
               {"highest pot values", {INT32_MAX, 7, INT32_MAX}, 1, 0, 0},
               {"huge and tiny weights", {0, 0, 100}, 1e300, 0, 0},
               {"tiny weights", {0, 0, 100}, 1e-300, 0, 0},
               {"longest line", {0, 0, 100}, 1, kMaxLineActions, 0},
               {"largest amount", {0, 0, 100}, 1, 0, kMaxLineAmount}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.clear_lines();
    river_spot();
    s.game.pot_values = c.pot;
    for (double& w : s.game.ranges[0]) w *= c.weight;
    LineMerger raises(*s.lines, false);
    for (std::size_t i = 1; i <= c.line_length; ++i) raises.add(double(i));
    if (c.amount > 0) line({c.amount});
    GameDescription before = s.game;
    build();
    save_tree_file(*s.current_tree(), path("a.tree"));
    s.game = GameDescription{};
    ASSERT_EQ(load_failure(path("a.tree")), "");
    EXPECT_EQ(s.game.pot_values, before.pot_values);
    EXPECT_EQ(s.game.ranges, before.ranges);
    save_tree_file(*s.current_tree(), path("b.tree"));
    EXPECT_TRUE(read_bytes(path("a.tree")) == read_bytes(path("b.tree")));
  }
}

// A damaged file is refused before any of it is used, also where its lines still parse; a file
// that ends after its ranges leaves its board, pot and ranges, and no lines or tree.
TEST_F(TreeFile, DamageIsFoundBeforeTheFileIsUsed) {
  river_spot();
  s.game.pot_values = {3, 4, 100};
  build();
  save_tree_file(*s.current_tree(), path("good.tree"));
  std::string good = read_bytes(path("good.tree"));
  const std::size_t ranges_end = 4 + 4 + 24 + 24 + 2 * 10608;
  std::string childless = good;
  std::memset(&childless[ranges_end + 40], 0, 4);  // the root's child count
  write_bytes(path("childless.tree"), childless);
  EXPECT_EQ(load_failure(path("childless.tree")), "invalid file");
  write_bytes(path("cut.tree"), good.substr(0, ranges_end));
  s.game = GameDescription{};
  EXPECT_EQ(load_failure(path("cut.tree")), "can't read from file");
  EXPECT_EQ(s.game.pot_values, (std::array<double, 3>{3, 4, 100}));
  EXPECT_EQ(s.game.flop_mask, parse_cards("Td 9d 6h"));
  EXPECT_FALSE(s.game.ranges[1].empty());
  EXPECT_TRUE(s.lines->is_leaf());
  EXPECT_EQ(s.current_tree(), nullptr);
}

// Saves taken while one thread solves, each loaded and solved on to the same iteration, end
// bit for bit where the uninterrupted solve ends.
TEST_F(TreeFile, CheckpointsTakenWhileSolvingContinueExactly) {
  set_worker_count(1);
  const int total = 60;
  auto solve_to_end_and_save = [&](const std::string& name) {
    if (s.current_tree()->iterations < total) {
      ASSERT_TRUE(s.solver.start(*s.current_tree(), s.settings, s.schedule, s.game.root_pot(), total - s.current_tree()->iterations, true));
      s.solver.wait();
    }
    evaluate_both(*s.current_tree());
    save_tree_file(*s.current_tree(), path(name));
  };
  turn_spot();
  build();
  solve_to_end_and_save("straight.tree");
  build();
  ASSERT_TRUE(s.solver.start(*s.current_tree(), s.settings, s.schedule, s.game.root_pot(), total, true));
  int saves = 0;
  for (; s.solver.running() && saves < 400; ++saves) cmd_dump_tree(s, {"dump_tree", path("c" + std::to_string(saves % 6))});
  s.solver.wait();
  for (int i = 0; i < std::min(saves, 6); ++i) {
    SCOPED_TRACE(i);
    load(path("c" + std::to_string(i)));
    solve_to_end_and_save("resumed.tree");
    EXPECT_TRUE(read_bytes(path("straight.tree")) == read_bytes(path("resumed.tree")));
  }
  set_worker_count(omp_get_max_threads());
}

// A save that cannot finish leaves an older file at the target as it was, and no other file.
TEST_F(TreeFile, FailedSavesKeepTheOlderFile) {
  river_spot();
  GameTree& tree = build();
  solve(tree, 3);
  const std::string target = path("keep.tree");
  write_bytes(target, "older");
  auto expect_only_older = [&] {
    EXPECT_EQ(read_bytes(target), "older");
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1);
  };

  // Writes beyond a file-size limit fail (with the signal ignored) in a child process.
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      save_tree_file(tree, target);
    } catch (const IOException& e) {
      _exit(std::string(e.what()) == "can't write to file" ? 0 : 2);
    }
    _exit(1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  expect_only_older();

  EXPECT_THROW(save_tree_file(tree, dir.string()), IOException);
  EXPECT_THROW(save_tree_file(tree, path("no folder/x.tree")), IOException);
  expect_only_older();

  save_tree_file(tree, target);
  EXPECT_NE(read_bytes(target), "older");
  EXPECT_EQ(load_failure(target), "");
}

// Through the protocol, in new processes: file names with blanks, the answers, and every
// report the same after loading as before saving.
TEST(TreeFileProtocol, ReportsAnswerTheSameInANewProcess) {
  std::string dir = make_temp_dir();
  std::string file = dir + "/my solve.tree";
  std::string spot = std::string("set_threads 1\nload_script ") + TRAVANTO_TEST_DIR +
                     "/protocol/data/uniform_ranges.txt\n"
                     "set_board Ks 7d 2c 5h\nadd_line 0 0 0 0\nadd_line 0 0 60 60\nadd_line 60 180 180\n";
  std::string reports = "is_ready\ncalc_results\nshow_strategy r:0\nshow_strategy r:0:c:c:Ah\n"
                        "calc_ev OOP r:0:b60\nshow_range IP r:0:b60\nshow_strategy_pp r:0:c\n";
  std::string first = run_travanto(spot + "build_tree\ngo 30 steps\nwait_for_solver\n" + reports +
                                   "dump_tree " + file + "\n");
  std::string second = run_travanto("set_threads 1\nload_tree " + file + "\n" + reports + "dump_tree " + file + ".2\n");
  auto after = [&](const std::string& out, const std::string& from) { return out.substr(out.find(from)); };
  ASSERT_NE(first.find("dump_tree ok!"), std::string::npos) << first;
  ASSERT_NE(second.find("load_tree ok!"), std::string::npos) << second;
  std::string before_reports = after(first, "is_ready ok!");
  std::string after_reports = after(second, "is_ready ok!");
  EXPECT_EQ(before_reports.substr(0, before_reports.find("dump_tree")),
            after_reports.substr(0, after_reports.find("dump_tree")));
  EXPECT_TRUE(read_bytes(file) == read_bytes(file + ".2"));
  fs::remove_all(dir);
}

// A front-end checkpoints a running solve: each save is a whole tree that loads.
TEST(TreeFileProtocol, SavesDuringASolveAreWholeTrees) {
  std::string dir = make_temp_dir();
  std::string spot = std::string("load_script ") + TRAVANTO_TEST_DIR +
                     "/protocol/data/uniform_ranges.txt\n"
                     "set_board Ks 7d 2c 5h\nadd_line 0 0 0 0\nadd_line 0 0 60 60\nadd_line 60 180 180\n"
                     "build_tree\ngo 100000 steps\n";
  for (int i = 0; i < 4; ++i) spot += "dump_tree " + dir + "/c" + std::to_string(i) + "\n";
  spot += "load_tree " + dir + "/c0\nstop\nwait_for_solver\n";
  std::string out = run_travanto(spot);
  EXPECT_NE(out.find("ERROR: load_tree Can't do that when solver is running"), std::string::npos) << out;
  for (int i = 0; i < 4; ++i) {
    std::string loaded = run_travanto("load_tree " + dir + "/c" + std::to_string(i) + "\ncalc_results\n");
    EXPECT_NE(loaded.find("load_tree ok!"), std::string::npos) << loaded;
  }
  fs::remove_all(dir);
}
