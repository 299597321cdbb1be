// Solves benchmark spots in-process and reports how fast they converge. Each spot script runs
// through the command dispatch as a script the program reads would; the iterations and the
// exploitability checks then run in a plain loop, so that the solve clock sees solving work only.
//
//   solve [options] SPOT...   SPOT: a script file, or a name looked up as DIR/NAME.txt
//     --threads N             worker threads (default: the OpenMP maximum)
//     --max-iterations N      iterations per spot at most (default 3000)
//     --target-fraction F     stop once the exploitability is at most F times the pot (default 0.003)
//     --check-every N         iterations between exploitability checks (default 10)
//     --spots-dir DIR         where spot names are looked up
//     --compression LEVEL     compression level for the spot's tree (auto, none, low, medium, high, max
//                             or 0..4; default: the engine's, auto)
//     --tree-file DIR         after solving, save the tree into DIR and load it back, timed
//     --schedule "NAME [P...]" the solver schedule (set_solver_schedule's arguments; default: default)
//     --forget STREET         after solving, forget "turns" or "rivers" (memory before and after),
//                             rebuild them and solve their subgames again (timed, with the
//                             exploitability reached)
//     --verbose               print every check
//   solve --signature [--threads N]
//                           solves R1 and T1 for a fixed number of iterations (2 threads unless
//                           given) and prints, last, "signature %016x": a hash of the root EVs,
//                           the exploitability and every root strategy row, each rounded (see
//                           kSignatureQuantum). The same build gives the same value on 1 or 2
//                           threads; the plain kernels (TRAVANTO_KERNELS=plain) give another.
//
// Exit status: 0 when every spot loaded, solved, and its EV lies inside its reference interval
// widened by the exploitability; 1 otherwise; 2 on bad options.
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/arguments.h"
#include "app/commands.h"
#include "core/output.h"
#include "core/settings.h"
#include "cards/evaluator.h"
#include "cards/game.h"
#include "cards/hand_order.h"
#include "platform/platform.h"
#include "queries/strategy_report.h"
#include "kernels/schedule.h"
#include "solver/solver.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "tree/game_tree.h"
#include "tree/memory_need.h"

#ifndef TRAVANTO_SPOTS_DIR
#define TRAVANTO_SPOTS_DIR "."
#endif
#ifndef TRAVANTO_SHARED_SPOTS_DIR
#define TRAVANTO_SHARED_SPOTS_DIR "."
#endif

namespace fs = std::filesystem;

namespace {

// OOP's game value at the root, pot share included, from bench/spots/README.md and the shared folder's
// (an independent solve to 0.005-0.02 % of the pot).
struct GameValue {
  const char* spot;
  double low, high;
};
constexpr GameValue kGameValues[] = {
    {"R1", 91.626, 91.646},  {"T1", 93.870, 93.890},  {"F1", 106.334, 106.411},
    {"R1W", 94.054, 94.133}, {"T1W", 92.243, 92.320}, {"F1W", 90.252, 90.445},
    {"P1", 105.034, 105.210},
};

const GameValue* game_value_of(const std::string& spot) {
  for (const GameValue& v : kGameValues)
    if (spot == v.spot) return &v;
  return nullptr;
}

constexpr double kMilestones[] = {0.005, 0.003, 0.001};  // exploitability as a fraction of the pot

struct Options {
  int threads = 0;
  int max_iterations = 3000;
  double target_fraction = 0.003;
  int check_every = 10;
  std::string spots_dir = TRAVANTO_SPOTS_DIR;
  bool verbose = false;
  bool signature = false;
  std::string compression;  // empty: the engine's setting
  std::string tree_file_dir;  // empty: no save and load
  std::string forget;         // empty: nothing forgotten
  std::string schedule;       // empty: the engine's default
  std::vector<std::string> spots;
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Milestone {
  int iterations = -1;  // -1: not reached
  double seconds = 0;
};

struct SpotResult {
  std::string name;
  bool loaded = false;
  double build_seconds = 0, storage_seconds = 0;
  int iterations = 0;
  double solve_seconds = 0, eval_seconds = 0;
  int checks = 0;
  Milestone milestones[std::size(kMilestones)];
  double pot = 0, ev_oop = 0, exploitability = 0;
  std::optional<bool> inside;  // empty: no reference interval
  double peak_rss_mb = 0;
  double start_rss_mb = 0;  // before the spot's tree was built
  MemoryNeed need;
  double need_mb = 0;  // per-node data at the level in force and the rest, as show_memory_need says
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "solve: %s\nusage: solve [--threads N] [--max-iterations N] [--target-fraction F] "
                       "[--check-every N] [--spots-dir DIR] [--compression LEVEL] [--tree-file DIR] [--forget STREET] [--schedule \"NAME [PARAMETERS]\"] [--verbose] SPOT...\n",
               message.c_str());
  std::exit(2);
}

template <typename T>
T number_option(const std::string& name, const char* text, T low) {
  T value{};
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || !(value >= low)) usage_error("bad value for " + name + ": " + text);
  return value;
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--threads")
      o.threads = number_option<int>(a, value(), 1);
    else if (a == "--max-iterations")
      o.max_iterations = number_option<int>(a, value(), 1);
    else if (a == "--target-fraction")
      o.target_fraction = number_option<double>(a, value(), 0.0);
    else if (a == "--check-every")
      o.check_every = number_option<int>(a, value(), 1);
    else if (a == "--spots-dir")
      o.spots_dir = value();
    else if (a == "--compression")
      o.compression = value();
    else if (a == "--tree-file")
      o.tree_file_dir = value();
    else if (a == "--schedule")
      o.schedule = value();
    else if (a == "--forget")
      o.forget = value();
    else if (a == "--verbose")
      o.verbose = true;
    else if (a == "--signature")
      o.signature = true;
    else if (a == "--help" || a == "-h")
      usage_error("solves benchmark spots and reports their convergence");
    else if (a.starts_with("--"))
      usage_error("unknown option " + a);
    else
      o.spots.push_back(a);
  }
  if (o.signature) {
    if (!o.spots.empty()) usage_error("--signature takes no spots");
    if (o.threads == 0) o.threads = 2;
  }
  if (o.spots.empty() && !o.signature) usage_error("no spot given");
  if (o.threads == 0) o.threads = omp_get_max_threads();
  return o;
}

fs::path spot_path(const Options& o, const std::string& spot) {
  if (fs::exists(spot) || spot.find('/') != std::string::npos || spot.ends_with(".txt")) return spot;
  fs::path path = fs::path(o.spots_dir) / (spot + ".txt");
  fs::path shared = fs::path(TRAVANTO_SHARED_SPOTS_DIR) / (spot + ".txt");
  return fs::exists(path) || !fs::exists(shared) ? path : shared;
}

// While alive, the engine's answers (file descriptor 1) go to a temporary file; answers()
// gives them back and restores the descriptor.
class CapturedAnswers {
 public:
  CapturedAnswers() : file_(std::tmpfile()) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (file_ && saved_ >= 0) dup2(fileno(file_), STDOUT_FILENO);
  }
  ~CapturedAnswers() {
    restore();
    if (file_) std::fclose(file_);
  }
  std::string answers() {
    restore();
    std::string text;
    if (!file_) return text;
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    return text;
  }

 private:
  void restore() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  std::FILE* file_;
  int saved_ = -1;
};

// Runs one command line; the caller collects the answers.
void dispatch_line(Session& s, const std::string& line) {
  Tokens tokens = split_tokens(line);
  if (tokens.empty()) return;
  dispatch_tokens(s, tokens);
  flush_pending_output();
}

// Error answers of the engine, one per line.
std::vector<std::string> error_lines(const std::string& answers) {
  std::vector<std::string> errors;
  std::size_t pos = 0;
  while (pos < answers.size()) {
    std::size_t end = answers.find('\n', pos);
    if (end == std::string::npos) end = answers.size();
    std::string line = answers.substr(pos, end - pos);
    if (line.starts_with("ERROR") || line.starts_with("Invalid value")) errors.push_back(line);
    pos = end + 1;
  }
  return errors;
}

// Commands that would run the solver on its own thread or end the process; the loop here
// does their work instead.
bool driven_here(const std::string& line) {
  Tokens t = split_tokens(line);
  if (t.empty()) return false;
  for (const char* word : {"go", "wait_for_solver", "take_a_break", "stop", "calc_results", "exit"})
    if (t[0] == word) return true;
  return false;
}

// Loads the spot script: a fresh game description and tree. False (errors printed) on failure.
bool load_spot(Session& s, const fs::path& path, SpotResult& r) {
  std::ifstream file(path);
  if (!file) {
    std::printf("  cannot read %s\n", path.c_str());
    return false;
  }
  CapturedAnswers capture;
  dispatch_line(s, "free_tree");
  dispatch_line(s, "clear_lines");
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || driven_here(line)) continue;
    auto t0 = Clock::now();
    dispatch_line(s, line);
    if (line.starts_with("build_tree")) r.build_seconds += seconds_since(t0);
  }
  std::vector<std::string> errors = error_lines(capture.answers());
  for (const std::string& e : errors) std::printf("  engine: %s\n", e.c_str());
  if (!errors.empty()) return false;
  if (!s.current_tree()) {
    std::printf("  the script builds no tree\n");
    return false;
  }
  return true;
}

double peak_rss_mb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) return std::strtod(line.c_str() + 6, nullptr) / 1024;
  return 0;
}

double current_rss_mb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("VmRSS:")) return std::strtod(line.c_str() + 6, nullptr) / 1024;
  return 0;
}

// Forgets a street of the solved tree, rebuilds it and solves its subgames again.
void forget_and_resolve(Session& s, const std::string& street, double pot) {
  GameTree& tree = *s.current_tree();
  double rss = current_rss_mb();
  dispatch_line(s, "forget " + street);
  std::printf("  forget %s    RSS %.1f MB -> %.1f MB\n", street.c_str(), rss, current_rss_mb());
  if (tree.start_street == 1) {
    // One runout of the check-down line solved again on its own (the spots' first line).
    auto t = Clock::now();
    dispatch_line(s, "explo_partial r:0:c:c:2s:c:c:3c");
    std::printf("  partial        one %s runout in %.3f s\n", street == "turns" ? "turn" : "river", seconds_since(t));
  }
  dispatch_line(s, "rebuild_all");
  auto t0 = Clock::now();
  dispatch_line(s, "solve_all_splits " + street);
  double seconds = seconds_since(t0);
  SolverState& state = s.solver_state;
  evaluate_both(tree, state);
  std::printf("  re-solve       %d repetitions in %.3f s (%.5f s each), exploitability %.3f (%.3f %% of pot)\n",
              state.iterations.load(), seconds, seconds / std::max(1, state.iterations.load()),
              state.results.exploitability, 100 * state.results.exploitability / pot);
}

// Starts the peak-RSS count afresh from the current RSS (Linux 4.0 and later).
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Saves the present tree and loads it back, three times: the page cache holds the file, so this
// measures the program, not the disk. Later rounds reuse memory the system has handed out
// before; on a virtual machine the first touch of fresh memory can dominate the first round.
void time_tree_file(Session& s, const std::string& file) {
  for (int round = 1; round <= 3; ++round) {
    auto t0 = Clock::now();
    dispatch_line(s, "dump_tree " + file);
    double dump_seconds = seconds_since(t0);
    std::error_code error;
    double mb = double(fs::file_size(file, error)) / (1024.0 * 1024.0);
    if (error) return;
    auto t1 = Clock::now();
    dispatch_line(s, "load_tree " + file);
    double load_seconds = seconds_since(t1);
    std::printf("  tree file %d    %.1f MB, dump %.3f s (%.0f MB/s), load %.3f s (%.0f MB/s)\n", round, mb,
                dump_seconds, mb / dump_seconds, load_seconds, mb / load_seconds);
  }
  std::error_code error;
  fs::remove(file, error);
}

// The need show_memory_need states for the level in force beside what the solve took: the
// peak RSS less the program's own memory before the spot.
void print_memory_need(const Session& s, SpotResult& r) {
  const double mb = 1024.0 * 1024.0;
  int level = s.compression_in_force();
  double per_node = double(r.need.levels[std::size_t(level)]) / mb, other = double(r.need.other) / mb;
  r.need_mb = per_node + other;
  double used = r.peak_rss_mb - r.start_rss_mb;
  std::printf("  memory need    level %d: %.1f MB per-node data + %.1f MB other = %.1f MB; peak RSS %.1f MB "
              "less %.1f MB before the spot = %.1f MB (need %+.1f %%)\n",
              level, per_node, other, per_node + other, r.peak_rss_mb, r.start_rss_mb, used,
              used > 0 ? 100 * (per_node + other - used) / used : 0.0);
}

// What the compressed stores hold against their plain size, by kind and value width.
void print_store_ratios(const GameTree& tree) {
  double stored[2][2] = {}, plain[2][2] = {};  // [high][32-bit]
  for (const ActionNode& n : tree.nodes)
    for (const NodeValueArray* a : {n.regrets.get(), n.averages.get()})
      if (const auto* c = dynamic_cast<const CompressedValueArray*>(a)) {
        int high = c->kind() == StorageForm::high, wide = !c->sixteen_bit();
        stored[high][wide] += double(c->stored_bytes());
        plain[high][wide] += double(c->size()) * (wide ? 4 : 2);
      }
  const char* names[2][2] = {{"medium16", "medium32"}, {"high16", "high32"}};
  for (int high = 0; high < 2; ++high)
    for (int wide = 0; wide < 2; ++wide)
      if (plain[high][wide] > 0)
        std::printf("  stored ratio   %s %.3f of %.1f MB\n", names[high][wide], stored[high][wide] / plain[high][wide],
                    plain[high][wide] / (1024.0 * 1024.0));
}

void print_milestone(double fraction, const Milestone& m) {
  if (m.iterations < 0)
    std::printf("  %.1f %% of pot    not reached\n", fraction * 100);
  else
    std::printf("  %.1f %% of pot    %d iterations, %.3f s\n", fraction * 100, m.iterations, m.seconds);
}

SpotResult solve_spot(Session& s, const Options& o, const std::string& spot) {
  SpotResult r;
  fs::path path = spot_path(o, spot);
  r.name = path.stem().string();
  std::printf("%s (%s), %d threads\n", r.name.c_str(), path.c_str(), o.threads);
  reset_peak_rss();
  r.start_rss_mb = current_rss_mb();
  if (!o.compression.empty()) dispatch_line(s, "ai6_set_compression " + o.compression);
  if (!o.schedule.empty()) dispatch_line(s, "set_solver_schedule " + o.schedule);
  if (!load_spot(s, path, r)) return r;
  GameTree& tree = *s.current_tree();
  SolverState& state = s.solver_state;
  // The bench runs iterations itself: the state takes the schedule as `go` would give it.
  state.schedule = s.schedule;
  state.schedule_origin = state.iterations;
  std::printf("  schedule       %s\n", describe_schedule(state.schedule).c_str());
  r.need = memory_need(tree, o.threads);
  auto t0 = Clock::now();
  if (!allocate_tree_storage(tree)) {
    std::printf("  out of memory for the tree's storage\n");
    return r;
  }
  r.storage_seconds = seconds_since(t0);
  r.loaded = true;
  set_worker_count(o.threads);
  omp_set_num_threads(o.threads);

  r.pot = s.game.root_pot();
  int evaluated_at = -1;
  auto check = [&] {
    auto t = Clock::now();
    evaluate_both(tree, state);
    r.eval_seconds += seconds_since(t);
    ++r.checks;
    evaluated_at = r.iterations;
    r.exploitability = state.results.exploitability;
    r.ev_oop = state.results.ev[0] + r.pot / 2;
    for (std::size_t i = 0; i < std::size(kMilestones); ++i)
      if (r.milestones[i].iterations < 0 && r.exploitability <= kMilestones[i] * r.pot)
        r.milestones[i] = {r.iterations, r.solve_seconds};
    if (o.verbose)
      std::printf("  %6d iterations %10.6f s  EV OOP %9.3f  exploitability %8.3f\n", r.iterations, r.solve_seconds,
                  r.ev_oop, r.exploitability);
  };
  int limit = std::min(o.max_iterations, state.params.iteration_cap - state.iterations);
  while (r.iterations < limit) {
    auto t = Clock::now();
    run_iteration(tree, state);
    r.solve_seconds += seconds_since(t);
    ++r.iterations;
    if (r.iterations % o.check_every == 0 || r.iterations == limit) {
      check();
      if (r.exploitability <= o.target_fraction * r.pot) break;
    }
  }
  if (evaluated_at != r.iterations) check();
  r.peak_rss_mb = peak_rss_mb();

  std::printf("  build          %.3f s tree, %.3f s storage\n", r.build_seconds, r.storage_seconds);
  std::printf("  iterations     %d in %.3f s, %.7f s per iteration\n", r.iterations, r.solve_seconds,
              r.iterations ? r.solve_seconds / r.iterations : 0.0);
  std::printf("  evaluation     %d checks, %.3f s, %.7f s each (not in the solve time)\n", r.checks, r.eval_seconds,
              r.checks ? r.eval_seconds / r.checks : 0.0);
  const double mb = 1024.0 * 1024.0;
  std::printf("  storage        level %d, %.1f MB read and %.1f MB written by the compressed stores\n",
              s.compression_in_force(), double(storage_statistics().bytes_read) / mb,
              double(storage_statistics().bytes_written) / mb);
  for (std::size_t i = 0; i < std::size(kMilestones); ++i) print_milestone(kMilestones[i], r.milestones[i]);
  std::printf("  final          EV OOP %.3f, exploitability %.3f (%.3f %% of pot)\n", r.ev_oop, r.exploitability,
              100 * r.exploitability / r.pot);
  if (const GameValue* v = game_value_of(r.name)) {
    double margin = std::max(r.exploitability, 0.0);
    r.inside = r.ev_oop >= v->low - margin && r.ev_oop <= v->high + margin;
    std::printf("  game value     [%.3f, %.3f] widened to [%.3f, %.3f]: %s\n", v->low, v->high, v->low - margin,
                v->high + margin, *r.inside ? "inside" : "OUTSIDE");
  } else {
    std::printf("  game value     no reference for %s\n", r.name.c_str());
  }
  std::printf("  peak RSS       %.1f MB\n", r.peak_rss_mb);
  print_memory_need(s, r);
  print_store_ratios(tree);
  if (!o.tree_file_dir.empty()) time_tree_file(s, o.tree_file_dir + "/" + r.name + ".tree");
  if (!o.forget.empty()) forget_and_resolve(s, o.forget, r.pot);
  std::fflush(stdout);
  return r;
}

std::string milestone_cell(const Milestone& m) {
  if (m.iterations < 0) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%d/%.2fs", m.iterations, m.seconds);
  return text;
}

void print_summary(const std::vector<SpotResult>& results) {
  std::printf("\n%-6s %8s %10s %7s %14s %14s %14s %9s %8s %7s %8s %8s\n", "spot", "build s", "s/iter", "iters",
              "0.5% it/s", "0.3% it/s", "0.1% it/s", "EV OOP", "expl", "value", "RSS MB", "need MB");
  for (const SpotResult& r : results) {
    if (!r.loaded) {
      std::printf("%-6s failed to load\n", r.name.c_str());
      continue;
    }
    std::printf("%-6s %8.3f %10.7f %7d %14s %14s %14s %9.3f %8.3f %7s %8.1f %8.1f\n", r.name.c_str(), r.build_seconds,
                r.iterations ? r.solve_seconds / r.iterations : 0.0, r.iterations,
                milestone_cell(r.milestones[0]).c_str(), milestone_cell(r.milestones[1]).c_str(),
                milestone_cell(r.milestones[2]).c_str(), r.ev_oop, r.exploitability,
                !r.inside ? "-" : *r.inside ? "inside" : "OUTSIDE", r.peak_rss_mb, r.need_mb);
  }
}

// The signature's values are rounded to this step before hashing; the worker count changes no
// value. The plain and vector kernels differ in rounding (the vector path divides regret shares
// in float), which the 16-bit regrets turn into different updates: after 100 iterations their
// solves differ by about 0.003 chips of EV, more than any rounding could hide, so the plain path
// has a signature of its own (tests/signature_test.sh compares its values within 0.1 chips).
constexpr double kSignatureQuantum = 1e-9;
constexpr int kSignatureIterations = 100;

struct SignatureHash {
  std::uint64_t value = 14695981039346656037ull;  // FNV-1a, 64 bits
  void add(double v) {
    auto q = std::uint64_t(std::llround(v / kSignatureQuantum));
    for (int byte = 0; byte < 8; ++byte) value = (value ^ ((q >> (8 * byte)) & 0xff)) * 1099511628211ull;
  }
};

int print_signature(Session& s, const Options& o) {
  SignatureHash hash;
  set_worker_count(o.threads);
  omp_set_num_threads(o.threads);
  for (const char* spot : {"R1", "T1"}) {
    SpotResult r;
    if (!load_spot(s, spot_path(o, spot), r) || !allocate_tree_storage(*s.current_tree())) {
      std::printf("%s: cannot load\n", spot);
      return 1;
    }
    GameTree& tree = *s.current_tree();
    SolverState& state = s.solver_state;
    state.schedule = s.schedule;  // as `go` would give it
    state.schedule_origin = state.iterations;
    for (int i = 0; i < kSignatureIterations; ++i) run_iteration(tree, state);
    evaluate_both(tree, state);
    for (double v : {state.results.ev[0], state.results.ev[1], state.results.exploitability}) hash.add(v);
    std::vector<StrategyRead> reads{{0, tree.board_turn, tree.board_river, {}}};
    read_strategies(tree, state, reads);
    for (const std::vector<double>& row : reads[0].rows)
      for (double v : row) hash.add(v);
    std::printf("%s: %d iterations on %d threads, EV OOP %.9f, exploitability %.9f, %zu root rows\n", spot,
                state.iterations.load(), o.threads, state.results.ev[0] + s.game.root_pot() / 2,
                state.results.exploitability, reads[0].rows.size());
    s.free_tree();
  }
  std::printf("signature %016llx\n", static_cast<unsigned long long>(hash.value));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  platform::set_flush_denormals();
  init_hand_tables();
  build_hand_order_tables();
  // The conversation the spots run in, as the program's main() owns its one.
  Session s;
  if (o.signature) return print_signature(s, o);
  std::vector<SpotResult> results;
  for (const std::string& spot : o.spots) results.push_back(solve_spot(s, o, spot));
  if (results.size() > 1) print_summary(results);
  s.free_tree();
  bool ok = std::all_of(results.begin(), results.end(), [](const SpotResult& r) { return r.loaded && r.inside.value_or(true); });
  return ok ? 0 : 1;
}
