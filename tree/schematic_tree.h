#pragma once
// The schematic tree: the user's betting lines merged into one prefix tree keyed by the acting
// player's cumulative investment (-1 for a fold). Tree building flattens it; node paths are
// resolved against it.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

// One point of the merged betting lines: who acts, on which street, after how many bets, and
// the children keyed by the acting player's cumulative investment. record_index links it to
// the built tree's action node.
struct SchematicNode {
  SchematicNode* parent = nullptr;
  std::map<double, std::unique_ptr<SchematicNode>> children;  // ascending key: fold first
  std::uint32_t player = 0;  // to act: 0 OOP, 1 IP
  std::uint32_t street = 0;  // counted from the tree's first street
  std::uint32_t bets = 0;    // bets and raises so far on this street
  std::int32_t record_index = -1;
  double amount = 0;                  // key under the parent
  std::array<double, 2> invested{0, 0};

  SchematicNode* child(double key) const;
  bool is_leaf() const { return children.empty(); }
};

constexpr double kFoldKey = -1.0;
// The largest amount a line may hold: stacks and child tokens are printed as 32-bit integers.
constexpr double kMaxLineAmount = 2147483647.0;
// Actions in one line. Far above any real line (a street holds a handful), and it bounds the
// depth of the trees that building, solving, saving and freeing walk recursively.
constexpr std::size_t kMaxLineActions = 500;

// A deep copy (record indexes included), its root without a parent.
std::unique_ptr<SchematicNode> copy_lines(const SchematicNode& root);

// Merges one line into the lines under `root`, amount by amount, so that the amounts before a failing one stay merged.
// A decreasing amount or one above kMaxLineAmount throws the argument failure. With force, every other action of each node
// passed is deleted first.
class LineMerger {
 public:
  LineMerger(SchematicNode& root, bool force);
  void add(double amount);

 private:
  bool force_;
  SchematicNode* current_;
  double last_ = 0;
  std::uint32_t bets_ = 0, player_ = 0, street_ = 0;
  bool checked_ = false;
};

// Deletes the node the line leads to; a 0 right after a positive amount names the fold.
// An unknown line throws "Specified line doesn't exists.".
void remove_line(SchematicNode& root, const std::vector<double>& amounts);

// Largest key anywhere in the tree, truncated toward zero (0 when all amounts are 0).
int effective_stack(const SchematicNode& root);
