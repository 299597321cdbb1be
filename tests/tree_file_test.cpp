// Tree files: the checksum, round trips of every kind of tree, continuing a saved solve, and
// damaged files and failed saves.
#include <gtest/gtest.h>

#include <omp.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "solver/forgetting.h"
#include "solver/solver_control.h"
#include "storage/checksum.h"

#include "spot_fixture.h"
#include "storage_files.h"

namespace fs = std::filesystem;

namespace {

void write_bytes(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes; }

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
  std::string data(5000, '\0'), x(200, 'x');
  for (char& c : data) c = char(rng());
  for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 100u, 5000u}) {
    StreamChecksum pieces;
    for (std::size_t at = 0, n; at < length; at += n) pieces.update(data.data() + at, n = std::min<std::size_t>(length - at, rng() % 70));
    EXPECT_EQ(pieces.digest(), checksum_of(data.substr(0, length))) << length;
  }
  for (std::size_t i = 0; i < x.size() * 8; ++i)
    ASSERT_NE(checksum_of(std::string(x).replace(i / 8, 1, 1, char(x[i / 8] ^ (1 << (i % 8))))), checksum_of(x)) << i;
  for (std::size_t n = 1; n <= 80; ++n) ASSERT_NE(checksum_of(std::string(n, '\0')), checksum_of(std::string(n - 1, '\0'))) << n;
}

namespace {

constexpr std::size_t kRangesEnd = 4 + 4 + 24 + 24 + 2 * 10608;  // header, board, pot, two ranges

struct TreeFile : SpotFixture {
  storage_test::TempDir dir;

  void SetUp() override { SpotFixture::SetUp(), s.compression_setting = 0; }

  void spot(const char* cards, std::initializer_list<std::initializer_list<double>> amounts) {
    board(cards);
    range(0, "AdKd AhKh QsQh 9s9h 8d7d 5d4d");
    range(1, "KsKh QdJd TsTh 7h7c AhQh 8h7h");
    lines(amounts);
  }
  void turn_spot() { spot("Td 9d 6h Qc", {{0, 0, 0, 0}, {0, 0, 50, 50}, {50, 150, 150}}); }
  void river_spot() { spot("Td 9d 6h Qc 2s", {{0, 0}, {0, 50, 50}, {50, 150, 150}}); }
  // The build settings, and no lines.
  void settings(bool isomorphism, bool all_hands, int level, bool river_isomorphism) {
    s.clear_lines(), s.settings.all_hands = all_hands, s.compression_setting = level;
    s.settings.isomorphism = {isomorphism, isomorphism, river_isomorphism};
  }
  // Averages from the third iteration on (not the 61st), so that short solves fill the
  // compressed average stores too.
  void solve(GameTree& tree, int iterations) {
    s.solver_state.params.averaging_delay = 2;
    for (int i = 0; i < iterations; ++i) run_iteration(tree, s.solver_state);
  }
  std::string path(const std::string& name) const { return dir / name; }
  std::string bytes(const std::string& name) const { return storage_test::file_bytes<std::string>(path(name)); }
  // The failure text of loading a file, empty when it loads.
  std::string load_failure(const std::string& file) try {
    return load(file), "";
  } catch (const std::runtime_error& e) { return e.what(); }
};

}  // namespace

// Saved, loaded with other settings in force, saved again: the same bytes, the game as set (the
// extremes of each field the commands accept), and the loaded tree evaluates to the same results
// as the original. A never solved tree loads as new; a forgotten one is rebuilt and solved again.
TEST_F(TreeFile, RoundTripsAreByteIdenticalForEveryKindOfTree) {
  struct Config {
    const char* name;
    void (TreeFile::*spot)();
    int level, iterations;
    bool isomorphism, all_hands;
    int forget = -1;
    std::function<void()> tweak = [] {};
  } const configs[] = {
      {"flop level 0", &TreeFile::small_flop_spot, 0, 5, true, false},   {"flop level 1", &TreeFile::small_flop_spot, 1, 5, true, false},
      {"flop level 3 all hands", &TreeFile::small_flop_spot, 3, 5, true, true}, {"flop level 4", &TreeFile::small_flop_spot, 4, 5, false, false},
      {"flop unsolved", &TreeFile::small_flop_spot, 4, 0, true, false},  {"turn", &TreeFile::turn_spot, 0, 5, true, false},
      {"turn no isomorphism", &TreeFile::turn_spot, 2, 5, false, true},  {"river", &TreeFile::river_spot, 0, 5, false, false},
      {"river all hands", &TreeFile::river_spot, 4, 5, false, true},     {"flop rivers forgotten", &TreeFile::small_flop_spot, 0, 20, true, false, 3},
      {"flop turns forgotten", &TreeFile::small_flop_spot, 4, 20, true, false, 2},
      {"turn rivers forgotten", &TreeFile::turn_spot, 4, 20, true, false, 3},
      {"lowest pot values", &TreeFile::river_spot, 0, 0, true, false, -1, [&] { s.game.pot_values = {INT32_MIN, INT32_MIN, 1}; }},
      {"highest pot values", &TreeFile::river_spot, 0, 0, true, false, -1, [&] { s.game.pot_values = {INT32_MAX, 7, INT32_MAX}; }},
      {"huge weights", &TreeFile::river_spot, 0, 0, true, false, -1, [&] { for (double& w : s.game.ranges[0]) w *= 1e300; }},
      {"tiny weights", &TreeFile::river_spot, 0, 0, true, false, -1, [&] { for (double& w : s.game.ranges[0]) w *= 1e-300; }},
      {"largest amount", &TreeFile::river_spot, 0, 0, true, false, -1, [&] { line({kMaxLineAmount}); }},
      {"longest line", &TreeFile::river_spot, 0, 0, true, false, -1,
       [&] { LineMerger raises(*s.lines, false); for (double i = 1; i <= kMaxLineActions; ++i) raises.add(i); }},
  };
  for (const Config& c : configs) {
    SCOPED_TRACE(c.name);
    if ((kSanitizedBuild || storage_test::kUnderWine) && c.spot == &TreeFile::small_flop_spot && c.level != 4) continue;
    settings(c.isomorphism, c.all_hands, c.level, false);
    (this->*c.spot)();
    c.tweak();
    GameDescription set = s.game;
    GameTree& tree = build();
    bool iso = tree.has_flag(ISOMORPHISM_ON);
    solve(tree, c.iterations);
    TreeResults before = results(tree);
    ASSERT_TRUE(c.forget < 0 || forget_streets(tree, s.solver_state, c.forget));
    save_tree_file(tree, s.solver_state, path("a.tree"));
    int hands[2] = {tree.start_card_node().hand_count(0), tree.start_card_node().hand_count(1)};
    // Other settings in force at load time: the file's own choices win.
    settings(!c.isomorphism, !c.all_hands, c.level == 0 ? 4 : 0, true);
    s.game = GameDescription{};
    ASSERT_EQ(load_failure(path("a.tree")), "");
    GameTree& loaded = *s.current_tree();
    s.solver_state.params.averaging_delay = 2;  // as solve() set it on the saved tree
    EXPECT_TRUE(s.solver_state.iterations == c.iterations && loaded.has_flag(NEW_TREE) == (c.iterations == 0));
    EXPECT_TRUE(loaded.has_flag(ISOMORPHISM_ON) == iso && loaded.all_hands == c.all_hands && loaded.forgotten_from == c.forget);
    EXPECT_TRUE(s.compression_in_force() == c.level && s.game.pot_values == set.pot_values && s.game.ranges == set.ranges);
    EXPECT_TRUE(loaded.start_card_node().hand_count(0) == hands[0] && loaded.start_card_node().hand_count(1) == hands[1]);
    save_tree_file(loaded, s.solver_state, path("b.tree"));
    EXPECT_TRUE(bytes("b.tree") == bytes("a.tree"));
    TreeResults after = c.iterations > 0 ? results(loaded) : before;
    for (auto [x, y] : {std::pair{after.ev[0], before.ev[0]}, {after.ev[1], before.ev[1]}, {after.mes[0], before.mes[0]}, {after.mes[1], before.mes[1]}})
      EXPECT_NEAR(x, y, 1e-9);
    EXPECT_TRUE(c.forget < 0 || (rebuild_forgotten_streets(loaded, s.solver_state) && solve_all_splits(loaded, s.solver_state, c.forget)));
    s.settings.isomorphism = {true, true, false};
  }
}

// Files cut at every field boundary and at random offsets, and single flipped bytes anywhere:
// each is refused with one of the two texts, nothing crashes, and what is kept in effect is:
// the file's board once read, no tree before the lines are complete, and an unsolved tree with
// working storage after. A file with its ranges and no more leaves its pot and ranges.
TEST_F(TreeFile, DamagedFilesAreRefusedAndLeaveAUsableState) {
  s.compression_setting = 4;
  small_flop_spot();
  s.game.pot_values = {3, 4, 100};
  GameTree& tree = build();
  solve(tree, 6);
  save_tree_file(tree, s.solver_state, path("good.tree"));
  std::string good = bytes("good.tree");
  std::vector<std::size_t> cuts = {0, 3, 4, 8, 16, 32, 56, kRangesEnd - 10608, kRangesEnd, kRangesEnd + 1,
                                   good.size() - 9, good.size() - 8, good.size() - 1};
  std::mt19937 rng(17);
  bool solved_after_failure = false;  // one solve on a tree left by a failed load is enough
  const int random_cases = kSanitizedBuild ? 4 : 8;
  for (int i = 0; i < random_cases; ++i) cuts.push_back(rng() % good.size());
  for (std::size_t cut : cuts) {
    SCOPED_TRACE(cut);
    write_bytes(path("cut.tree"), good.substr(0, cut));
    s.game = GameDescription{};
    EXPECT_EQ(load_failure(path("cut.tree")), "can't read from file");
    EXPECT_TRUE(cut < 32 || s.game.flop_mask == parse_cards("Td 9d 6h"));
    EXPECT_TRUE(cut < kRangesEnd || (s.game.pot_values == std::array<double, 3>{3, 4, 100} && !s.game.ranges[1].empty()));
    EXPECT_TRUE(cut > kRangesEnd || (s.current_tree() == nullptr && s.lines->is_leaf()));
    if (GameTree* t = s.current_tree()) {
      ASSERT_TRUE(s.solver_state.iterations == 0 && t->has_flag(NEW_TREE) && allocate_tree_storage(*t));
      if (!solved_after_failure) run_iteration(*t, s.solver_state);
      solved_after_failure = true;
    }
  }
  // Single flipped bits: the first bytes, and random ones.
  for (std::size_t i = 0; i < (kSanitizedBuild ? 40u : 64u) + 2 * random_cases; ++i) {
    std::size_t at = i < (kSanitizedBuild ? 40u : 64u) ? i : rng() % good.size();
    SCOPED_TRACE(at);
    write_bytes(path("flip.tree"), std::string(good).replace(at, 1, 1, char(good[at] ^ (1 << (rng() % 8)))));
    EXPECT_NE(load_failure(path("flip.tree")), "");
    GameTree* t = s.current_tree();
    EXPECT_TRUE(!t || (s.solver_state.iterations == 0 && allocate_tree_storage(*t)));
  }
  // Not a tree file, a version this program does not know, two turn cards (2c 2d) and a river
  // without a turn (2c) with their checksums made good again, a root without children (its lines
  // still parse), a script: refused before any of it is used.
  for (auto [at, patch, fix] : {std::tuple<std::size_t, std::string, bool>{3, ";", false}, {4, "\x7f", false}, {16, "\3", true},
                                {24, "\1", true}, {kRangesEnd + 40, std::string(4, '\0'), false}, {0, "", false}}) {
    std::string bad = at == 0 ? "set_board Td 9d 6h\n" : std::string(good).replace(at, patch.size(), patch);
    std::uint64_t sum = checksum_of(bad.substr(0, bad.size() - 8));
    if (fix) std::memcpy(bad.data() + bad.size() - 8, &sum, 8);
    write_bytes(path("bad.tree"), bad);
    EXPECT_EQ(load_failure(path("bad.tree")), "invalid file") << at;
    EXPECT_TRUE(s.current_tree() == nullptr && s.lines->is_leaf() && s.game.turn_mask == 0 && s.game.river_mask == 0);
  }
  // After all that the good file still loads whole.
  EXPECT_TRUE(solved_after_failure && load_failure(path("good.tree")).empty() && s.solver_state.iterations == 6);
}

// Saves taken while one thread solves, each loaded and solved on to the same iteration, end
// bit for bit where the uninterrupted solve ends: the file keeps the schedule (discounted
// regrets, averages restarted at 4 and 16; negative regrets kept, signed in the 16-bit river
// rows) and every value of the compressed stores.
void PrintTo(const SolverSchedule& schedule, std::ostream* out) { *out << describe_schedule(schedule); }
struct TreeFileSchedules : TreeFile, ::testing::WithParamInterface<SolverSchedule> {};
INSTANTIATE_TEST_SUITE_P(Schedules, TreeFileSchedules,
                         ::testing::Values(discounted_schedule(), negative_decay_schedule(2, 3, 10, 0.6)),
                         [](const auto& info) { return info.index == 0 ? std::string("discounted") : "negative_decay"; });

TEST_P(TreeFileSchedules, CheckpointsTakenWhileSolvingContinueExactly) {
  const SolverSchedule schedule = GetParam();
  set_worker_count(1);
  const int total = 60;
  s.compression_setting = 4;
  auto solve_to_end_and_save = [&](const std::string& name) {
    if (s.solver_state.iterations < total) {
      ASSERT_TRUE(s.solver.start(*s.current_tree(), s.solver_state, s.settings, s.schedule, s.game.root_pot(), total - s.solver_state.iterations, true));
      s.solver.wait();
    }
    evaluate_both(*s.current_tree(), s.solver_state);
    save_tree_file(*s.current_tree(), s.solver_state, path(name));
  };
  turn_spot();
  for (const char* name : {"straight.tree", ""}) {
    s.schedule = schedule;
    build();
    if (*name) solve_to_end_and_save(name);
  }
  ASSERT_TRUE(s.solver.start(*s.current_tree(), s.solver_state, s.settings, s.schedule, s.game.root_pot(), total, true));
  int saves = 0;
  for (; s.solver.running() && saves < 400; ++saves) cmd_dump_tree(s, {"dump_tree", path("c" + std::to_string(saves % 6))});
  s.solver.wait();
  for (int i = 0; i < std::min(saves, 6); ++i) {
    SCOPED_TRACE(i);
    s.schedule = {};
    ASSERT_EQ(load_failure(path("c" + std::to_string(i))), "");
    EXPECT_EQ(s.schedule, schedule);  // the next go goes on with it
    solve_to_end_and_save("resumed.tree");
    EXPECT_TRUE(bytes("straight.tree") == bytes("resumed.tree"));
  }
  s.schedule = {};
  set_worker_count(omp_get_max_threads());
}

// A file of the format before the negative step (its schedule block one double shorter) loads
// with whole negative increments and goes on exactly as the same solve saved now.
TEST_F(TreeFile, FilesWithoutTheNegativeStepGoOnWithWholeIncrements) {
  const SolverSchedule whole = negative_decay_schedule(2, 3, 10, 0.6, 1);
  auto solve_to = [&](int iterations, const std::string& name) {
    ASSERT_TRUE(s.solver.start(*s.current_tree(), s.solver_state, s.settings, s.schedule, s.game.root_pot(),
                               iterations - s.solver_state.iterations, true));
    s.solver.wait();
    save_tree_file(*s.current_tree(), s.solver_state, path(name));
  };
  turn_spot();
  s.schedule = whole;
  build();
  solve_to(12, "now.tree");
  std::string old = bytes("now.tree");
  const double block[5] = {2, 10, 3, 0.6, 1};
  std::size_t at = old.find(std::string(reinterpret_cast<const char*>(block), sizeof block));
  ASSERT_NE(at, std::string::npos);
  old.erase(at + 32, 8);
  old[4] = 3;
  std::uint64_t sum = checksum_of(old.substr(0, old.size() - 8));
  std::memcpy(old.data() + old.size() - 8, &sum, 8);
  write_bytes(path("old.tree"), old);
  for (const char* name : {"now.tree", "old.tree"}) {
    s.schedule = {};
    ASSERT_EQ(load_failure(path(name)), "") << name;
    EXPECT_EQ(s.schedule, whole);
    solve_to(20, std::string(name) + ".20");
  }
  EXPECT_TRUE(bytes("now.tree.20") == bytes("old.tree.20"));
  s.schedule = {};
}

// A save that cannot finish leaves an older file at the target as it was, and no other file.
TEST_F(TreeFile, FailedSavesKeepTheOlderFile) {
  river_spot();
  GameTree& tree = build();
  solve(tree, 3);
  const std::string target = path("keep.tree");
  write_bytes(target, "older");
  auto expect_only_older = [&] { EXPECT_TRUE(bytes("keep.tree") == "older" && std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()) == 1); };
#ifndef _WIN32  // Writes beyond a file-size limit fail (with the signal ignored) in a child process.
  pid_t child = fork();
  if (child == 0) {
    rlimit limit{4096, 4096};
    signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
    try {
      save_tree_file(tree, s.solver_state, target);
    } catch (const IOException& e) { _exit(std::string(e.what()) == "can't write to file" ? 0 : 2); }
    _exit(1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  expect_only_older();
#endif
  for (const std::string& bad : {dir.path.string(), path("no folder/x.tree")}) EXPECT_THROW(save_tree_file(tree, s.solver_state, bad), IOException);
  expect_only_older();
  save_tree_file(tree, s.solver_state, target);
  EXPECT_EQ(load_failure(target), "");
}
