// Tree file layout, little-endian, no padding:
//   "AI6:", format word, flop/turn/river masks (64-bit), the three pot values, OOP and IP
//   ranges (1,326 doubles each), the lines (pre-order records), the tree state, the compression
//   level, the iteration count, the solver schedule (format 2 on), the node data, and a 64-bit
//   checksum of all bytes before it.
//
// Format word: bits 0-15 the format version, bit 16 the all-hands list setting, bit 17 boards
// merged by suit isomorphism; a file rebuilds with its own choices, not the current settings.
// Tree state (60 bytes): flags word, first forgotten street (2, 3; -1: none), iteration of the stored
// results (-1: none), EV and maximally exploitative values per player (4 doubles), the
// exploitability, 8 reserved bytes.
// Solver schedule (52 bytes, 44 in format 3, 36 in format 2; absent in format 1 files, which
// continue under `default`): kind (0 default, 1 dcfr, 2 discounted, 3 late_average,
// 4 negative_decay), restarts flag, the iteration count when it took over the tree, then alpha,
// beta (late_average and negative_decay: the delay), gamma, (format 3 on) the negative factor
// and (format 4 on) the negative step as doubles; older files continue with a step of 1. The array
// flags words mark boards whose 16-bit regrets are signed (negative_decay writes them so).
// Node data, per decision node in action-node order: its deal entries when it has a deal
// record (six vectors as a count and that many doubles, the frozen byte, the re-solved-runouts
// mask), then its regret array, then its average array (neither while the node's street is
// forgotten). Every array saves its flags words
// and then its values: plain arrays (all flop and turn arrays, and river arrays at level 0)
// row by row without the padding, compressed ones as their chunk stores.
#include "solver/tree_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "core/failure.h"
#include "cards/game.h"
#include "solver/solver.h"
#include "storage/binary_file.h"
#include "storage/compression_level.h"
#include "storage/value_array.h"
#include "tree/schematic_tree.h"
#include "tree/tree_storage.h"

namespace {

constexpr char kMagic[4] = {'A', 'I', '6', ':'};
constexpr std::uint32_t kFormatVersion = 4;  // 1: no schedule block; 2: no negative factor; 3: no negative step
constexpr std::uint32_t kVersionMask = 0xFFFF;
constexpr std::uint32_t kAllHandsBit = 1u << 16;
constexpr std::uint32_t kIsomorphismBit = 1u << 17;
constexpr std::uint32_t kKnownFormatBits = kVersionMask | kAllHandsBit | kIsomorphismBit;
constexpr std::uint32_t kKnownTreeFlags = INCOMPLETE_TREE | ISOMORPHISM_ON | NEW_TREE;

// Bounds on the lines of a file: no line is longer than add_line takes (its automatic answer
// one deeper); more nodes or children than this are damage.
constexpr int kMaxLineDepth = int(kMaxLineActions) + 1;
constexpr std::int64_t kMaxLineNodes = 1 << 24;
constexpr std::int32_t kMaxChildren = 100000;

[[noreturn]] void invalid_file() { throw IOException("invalid file"); }

template <class T>
T read_value(BinaryFile& f) {
  T v;
  f.read(&v, sizeof v);
  return v;
}

template <class T>
void write_value(BinaryFile& f, const T& v) {
  f.write(&v, sizeof v);
}

bool finite_amount(double v) { return std::isfinite(v) && std::fabs(v) <= kMaxLineAmount; }
// set_pot takes any 32-bit integers.
bool pot_value(double v) { return std::isfinite(v) && v >= double(INT32_MIN) && v <= double(INT32_MAX); }

// --- lines ---

void write_lines(BinaryFile& f, const SchematicNode& node) {
  write_value(f, node.player);
  write_value(f, node.street);
  write_value(f, node.bets);
  write_value(f, node.record_index);
  write_value(f, node.amount);
  write_value(f, node.invested[0]);
  write_value(f, node.invested[1]);
  write_value(f, std::int32_t(node.children.size()));
  for (const auto& [key, child] : node.children) {
    write_value(f, key);
    write_lines(f, *child);
  }
}

void read_lines(BinaryFile& f, SchematicNode& node, int depth, std::int64_t& nodes) {
  if (depth > kMaxLineDepth || ++nodes > kMaxLineNodes) invalid_file();
  node.player = read_value<std::uint32_t>(f);
  node.street = read_value<std::uint32_t>(f);
  node.bets = read_value<std::uint32_t>(f);
  node.record_index = read_value<std::int32_t>(f);
  node.amount = read_value<double>(f);
  node.invested[0] = read_value<double>(f);
  node.invested[1] = read_value<double>(f);
  std::int32_t children = read_value<std::int32_t>(f);
  if (node.player > 1 || node.street > 3 || !finite_amount(node.amount) || !finite_amount(node.invested[0]) ||
      !finite_amount(node.invested[1]) || children < 0 || children > kMaxChildren)
    invalid_file();
  if (node.parent && node.street != node.parent->street && node.street != node.parent->street + 1) invalid_file();
  for (std::int32_t i = 0; i < children; ++i) {
    double key = read_value<double>(f);
    if (!finite_amount(key) || (key < 0 && key != kFoldKey)) invalid_file();
    auto child = std::make_unique<SchematicNode>();
    child->parent = &node;
    child->record_index = -1;
    read_lines(f, *child, depth + 1, nodes);
    node.children.insert_or_assign(key, std::move(child));  // a repeated key: the later child
  }
}

// --- game description ---

void write_description(BinaryFile& f, const GameDescription& g) {
  write_value(f, g.flop_mask);
  write_value(f, g.turn_mask);
  write_value(f, g.river_mask);
  f.write(g.pot_values.data(), sizeof(double) * 3);
  for (const std::vector<double>& range : g.ranges) {
    if (range.size() == std::size_t(kHands)) {
      f.write(range.data(), sizeof(double) * kHands);
    } else {
      std::vector<double> zeros(kHands, 0.0);
      f.write(zeros.data(), sizeof(double) * kHands);
    }
  }
}

// Each value takes effect as soon as it is read and checked.
void read_description(BinaryFile& f, GameDescription& g) {
  CardMask masks[3];
  f.read(masks, sizeof masks);
  constexpr CardMask kDeck = (CardMask(1) << 52) - 1;
  CardMask all = masks[0] | masks[1] | masks[2];
  bool disjoint = std::popcount(all) == std::popcount(masks[0]) + std::popcount(masks[1]) + std::popcount(masks[2]);
  if ((all & ~kDeck) || !disjoint || std::popcount(masks[0]) != 3 || std::popcount(masks[1]) > 1 ||
      std::popcount(masks[2]) > 1 || (masks[2] && !masks[1]))
    invalid_file();
  g.flop_mask = masks[0];
  g.turn_mask = masks[1];
  g.river_mask = masks[2];
  std::array<double, 3> pot;
  f.read(pot.data(), sizeof pot);
  for (double v : pot)
    if (!pot_value(v)) invalid_file();
  g.pot_values = pot;
  for (std::vector<double>& range : g.ranges) {
    std::vector<double> weights(kHands);
    f.read(weights.data(), sizeof(double) * kHands);
    if (!range_weights_usable(weights)) invalid_file();
    range = std::move(weights);
  }
}

// --- tree state ---

struct TreeState {
  std::uint32_t flags = 0;
  std::int32_t forgotten_from = -1;
  TreeResults results;
};

void write_state(BinaryFile& f, const GameTree& tree, const SolverState& state) {
  write_value(f, std::uint32_t(tree.flags));
  write_value(f, std::int32_t(tree.forgotten_from));
  write_value(f, std::int32_t(state.results.iteration));
  const TreeResults& r = state.results;
  double block[4] = {r.ev[0], r.ev[1], r.mes[0], r.mes[1]};
  f.write(block, sizeof block);
  write_value(f, r.exploitability);
  write_value(f, std::uint64_t(0));
}

TreeState read_state(BinaryFile& f) {
  TreeState s;
  s.flags = read_value<std::uint32_t>(f);
  s.forgotten_from = read_value<std::int32_t>(f);
  s.results.iteration = read_value<std::int32_t>(f);
  double block[4];
  f.read(block, sizeof block);
  s.results.ev[0] = block[0], s.results.ev[1] = block[1];
  s.results.mes[0] = block[2], s.results.mes[1] = block[3];
  s.results.exploitability = read_value<double>(f);
  read_value<std::uint64_t>(f);
  bool forgotten = s.forgotten_from == 2 || s.forgotten_from == 3;
  if ((s.flags & ~kKnownTreeFlags) || (s.forgotten_from != -1 && !forgotten) ||
      ((s.flags & INCOMPLETE_TREE) && !forgotten) || s.results.iteration < -1)
    invalid_file();
  for (double v : block)
    if (!std::isfinite(v)) invalid_file();
  return s;
}

// --- solver schedule ---

void write_schedule(BinaryFile& f, const SolverState& state) {
  const SolverSchedule& s = state.schedule;
  write_value(f, std::int32_t(s.kind));
  write_value(f, std::int32_t(s.restarts ? 1 : 0));
  write_value(f, std::int32_t(state.schedule_origin));
  // The late schedules have no beta: its slot keeps the delay.
  double p[5] = {s.alpha, s.late() ? double(s.delay) : s.beta, s.gamma, s.negative_factor, s.negative_step};
  f.write(p, sizeof p);
}

void read_schedule(BinaryFile& f, SolverSchedule& s, int& origin, int iterations, std::uint32_t version) {
  std::int32_t kind = read_value<std::int32_t>(f);
  std::int32_t restarts = read_value<std::int32_t>(f);
  origin = read_value<std::int32_t>(f);
  // Format 3 added the negative factor, 4 the negative step (negative_decay kept whole ones before).
  double p[5] = {0, 0, 0, 0, 1};
  f.read(p, (version >= 4 ? 5 : version >= 3 ? 4 : 3) * sizeof(double));
  if (kind < 0 || kind > std::int32_t(ScheduleKind::negative_decay) || restarts < 0 || restarts > 1 || origin < 0 ||
      origin > iterations)
    invalid_file();
  s = SolverSchedule{ScheduleKind(kind)};
  if (s.late()) {
    if (!(p[1] >= 0 && p[1] <= kMaxScheduleDelay) || p[1] != std::floor(p[1])) invalid_file();
    s.delay = int(p[1]);
    p[1] = 0;
  }
  for (double v : p)
    if (!std::isfinite(v) || std::fabs(v) > 20) invalid_file();
  if (!(p[3] >= 0 && p[3] <= 1) || !(p[4] >= 0 && p[4] <= 1)) invalid_file();
  s.alpha = p[0];
  s.beta = p[1];
  s.gamma = p[2];
  s.restarts = restarts == 1;
  s.negative_factor = s.keeps_negative() ? p[3] : 0;
  s.negative_step = s.keeps_negative() ? p[4] : 1;
  if (s.standard()) s = SolverSchedule{};
}

// --- node data ---

// The card node whose hand lists size entry k's vectors: the flop for a turn deal, the k-th turn
// card for a river deal (entries past the turn cards stay empty).
const CardNode* entry_board(const GameTree& tree, const ActionNode& node, std::size_t k) {
  if (node.street == 2) return tree.root_card.get();
  const CardNode& root = *tree.root_card;
  return k < root.children.size() ? &root.children[k] : nullptr;
}

void write_vector(BinaryFile& f, const std::vector<double>& v) {
  write_value(f, std::int32_t(v.size()));
  f.write(v.data(), v.size() * sizeof(double));
}

void read_vector(BinaryFile& f, std::vector<double>& v, int expected) {
  std::int32_t count = read_value<std::int32_t>(f);
  if (count != 0 && count != expected) invalid_file();
  v.resize(std::size_t(count));
  f.read(v.data(), v.size() * sizeof(double));
}

void write_node_data(BinaryFile& f, ActionNode& node) {
  if (node.deal) {
    for (const DealEntry& e : node.deal->entries) {
      for (const auto* vectors : {&e.reach_sums, &e.values, &e.best_response})
        for (const std::vector<double>& v : *vectors) write_vector(f, v);
      write_value(f, std::uint8_t(e.frozen ? 1 : 0));
      write_value(f, e.resolved_runouts);
    }
  }
  // Forgotten nodes keep their deal entries (the ranges kept there) but have no arrays.
  if (node.regrets) node.regrets->save(f);
  if (node.averages) node.averages->save(f);
}

void read_node_data(BinaryFile& f, const GameTree& tree, ActionNode& node) {
  if (node.deal) {
    for (std::size_t k = 0; k < node.deal->entries.size(); ++k) {
      DealEntry& e = node.deal->entries[k];
      const CardNode* board = entry_board(tree, node, k);
      for (auto* vectors : {&e.reach_sums, &e.values, &e.best_response})
        for (std::size_t p = 0; p < 2; ++p) read_vector(f, (*vectors)[p], board ? board->hand_count(int(p)) : 0);
      std::uint8_t frozen = read_value<std::uint8_t>(f);
      if (frozen > 1) invalid_file();
      e.frozen = frozen == 1;
      e.resolved_runouts = read_value<std::uint64_t>(f);
    }
  }
  if (node.regrets) node.regrets->load(f);
  if (node.averages) node.averages->load(f);
}

// Back to a tree with nothing solved: new empty arrays, clear deal entries, fresh flags.
void reset_solving_state(GameTree& tree, SolverState& state, StoragePair pair) {
  tree.flags = NEW_TREE | (tree.flags & ISOMORPHISM_ON);
  tree.forgotten_from = -1;
  create_storage(tree, pair);
  state.restart_values();
  for (ActionNode& n : tree.nodes)
    if (n.deal)
      for (DealEntry& e : n.deal->entries) e = DealEntry{};
}

}  // namespace

void save_tree_file(GameTree& tree, const SolverState& state, const std::string& path) {
  BinaryFile f(path, BinaryFile::Mode::write);
  f.write(kMagic, sizeof kMagic);
  std::uint32_t format = kFormatVersion | (tree.all_hands ? kAllHandsBit : 0) |
                         (tree.has_flag(ISOMORPHISM_ON) ? kIsomorphismBit : 0);
  write_value(f, format);
  write_description(f, tree.inputs);
  write_lines(f, *tree.lines);
  write_state(f, tree, state);
  write_value(f, std::int32_t(tree.compression_level));
  write_value(f, std::int32_t(state.iterations));
  write_schedule(f, state);
  for (ActionNode& node : tree.nodes)
    if (node.is_decision()) write_node_data(f, node);
  write_value(f, f.checksum());
  f.commit();
}

namespace {

// Whether the file ends with the checksum of all bytes before it. Read in full before any of
// it is used.
bool checksum_matches(const std::string& path) {
  BinaryFile f(path, BinaryFile::Mode::read);
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size < sizeof(std::uint64_t)) return false;
  std::vector<char> buffer(std::size_t(1) << 20);
  try {
    for (std::uintmax_t left = size - sizeof(std::uint64_t); left > 0;) {
      std::size_t n = std::size_t(std::min<std::uintmax_t>(left, buffer.size()));
      f.read(buffer.data(), n);
      left -= n;
    }
    std::uint64_t computed = f.checksum();
    return read_value<std::uint64_t>(f) == computed && f.at_end();
  } catch (const IOException&) {
    return false;  // the file changed meanwhile
  }
}

// The tree state, compression level, iteration count and node data, into a tree built from
// the file's lines and its new solver state (results, count and schedule only once the
// checksum confirms them). The tree has storage afterwards, whatever fails.
void read_tree_data(BinaryFile& f, GameTree& tree, SolverState& solver_state, std::uint32_t version) {
  tree.compression_level = 0;
  StoragePair pair = storage_pair_for_level(0, tree.start_street == 1);
  try {
    TreeState state = read_state(f);
    if (bool(state.flags & ISOMORPHISM_ON) != tree.has_flag(ISOMORPHISM_ON)) invalid_file();
    if (state.forgotten_from >= 0 && state.forgotten_from <= tree.start_street) invalid_file();
    // Forgotten nodes get no arrays (and the file holds none for them).
    tree.forgotten_from = state.forgotten_from;
    tree.flags = (tree.flags & ~INCOMPLETE_TREE) | (state.flags & INCOMPLETE_TREE);
    std::int32_t level = read_value<std::int32_t>(f);
    if (level < 0 || level > 4) level = 0;
    tree.compression_level = level;
    pair = storage_pair_for_level(level, tree.start_street == 1);
    create_storage(tree, pair);
    solver_state.restart_values();
    if (!allocate_tree_storage(tree)) throw IOException("out of memory");
    std::int32_t iterations = read_value<std::int32_t>(f);
    if (iterations < 0) invalid_file();
    SolverSchedule schedule;
    int origin = 0;
    if (version >= 2) read_schedule(f, schedule, origin, iterations, version);
    for (ActionNode& node : tree.nodes)
      if (node.is_decision()) read_node_data(f, tree, node);
    std::uint64_t computed = f.checksum();
    if (read_value<std::uint64_t>(f) != computed || !f.at_end()) invalid_file();
    solver_state.iterations = iterations;
    solver_state.results = state.results;
    tree.flags = state.flags;
    solver_state.schedule = schedule;
    solver_state.schedule_origin = origin;
  } catch (...) {
    // Unconfirmed data are never kept (nor decoded): the tree stays, unsolved.
    reset_solving_state(tree, solver_state, pair);
    throw;
  }
}

bool ends_early(const IOException& e) { return std::string(e.what()) == "can't read from file"; }

// A file whose checksum fails but whose lines are whole either ends early ("can't read from
// file") or is damaged ("invalid file"). Telling which takes the tree its lines make, built and
// read into. A file that ends early is in effect as far as it goes, its tree unsolved, as the
// rule for files that end early has it; nothing of a damaged one is used.
// The build of a file's tree: the file's own choices, no storage yet.
std::unique_ptr<GameTree> build_stored_tree(const GameDescription& description, SchematicNode& lines,
                                            const StoredTreeChoices& choices, Notes* notes) {
  TreeBuildOptions options;
  options.stored = &choices;
  return build_game_tree(description, lines, options, notes);
}

[[noreturn]] void refuse_unverified(BinaryFile& f, const GameDescription& description,
                                    std::unique_ptr<SchematicNode> root, const StoredTreeChoices& choices,
                                    std::uint32_t version, const TreeFileTarget& target, Notes* notes) {
  GameDescription before = target.game;
  target.game = description;
  target.lines = std::move(root);
  std::unique_ptr<GameTree> tree;
  SolverState state;
  bool early = false;
  try {
    tree = build_stored_tree(target.game, *target.lines, choices, notes);
    state.renew(tree.get());
    read_tree_data(f, *tree, state, version);
  } catch (const IOException& e) {
    early = ends_early(e);
  } catch (const CommandFailure&) {
    // lines the building refuses: damage
  } catch (...) {
    target.lines = std::make_unique<SchematicNode>();
    target.game = before;
    throw;
  }
  if (early && tree) {
    target.tree = std::move(tree);
    target.state.renew(target.tree.get());
    throw IOException("can't read from file");
  }
  target.lines = std::make_unique<SchematicNode>();
  target.game = before;
  throw IOException("invalid file");
}

}  // namespace

void load_tree_file(const std::string& path, const TreeFileTarget& target, Notes* notes) {
  target.tree.reset();
  target.state.renew(nullptr);
  target.lines = std::make_unique<SchematicNode>();
  // The whole file is checked before any of it is used.
  bool verified = checksum_matches(path);
  BinaryFile f(path, BinaryFile::Mode::read);
  GameDescription description = target.game;
  auto root = std::make_unique<SchematicNode>();
  std::uint32_t format = 0;
  try {
    char magic[4];
    f.read(magic, sizeof magic);
    if (std::memcmp(magic, kMagic, sizeof magic) != 0) invalid_file();
    format = read_value<std::uint32_t>(f);
    std::uint32_t version = format & kVersionMask;
    if (version < 1 || version > kFormatVersion || (format & ~kKnownFormatBits)) invalid_file();
    read_description(f, description);
    std::int64_t line_nodes = 0;
    read_lines(f, *root, 0, line_nodes);
  } catch (const IOException& e) {
    // The board, pot and ranges read before the end (or before a refusal of a verified file).
    if (verified || ends_early(e)) target.game = description;
    throw;
  }
  StoredTreeChoices choices{(format & kIsomorphismBit) != 0, (format & kAllHandsBit) != 0};
  if (!verified) refuse_unverified(f, description, std::move(root), choices, format & kVersionMask, target, notes);
  target.game = description;
  target.lines = std::move(root);
  target.tree = build_stored_tree(target.game, *target.lines, choices, notes);
  target.state.renew(target.tree.get());
  read_tree_data(f, *target.tree, target.state, format & kVersionMask);
  // The loaded tree goes on with its own schedule at the next `go`.
  target.schedule = target.state.schedule;
}
