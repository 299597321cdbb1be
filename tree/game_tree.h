#pragma once
// The built game tree: the action nodes (the schematic tree flattened in pre-order) with their
// value arrays and deal records, and the card tree. The session holds its tree; build_tree and
// load_tree replace it, free_tree deletes it. The solver only borrows it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "cards/cards.h"
#include "cards/game.h"
#include "core/notes.h"
#include "storage/compression_level.h"
#include "tree/card_tree.h"
#include "tree/schematic_tree.h"
#include "tree/suit_isomorphism.h"

class NodeValueArray;

enum class NodeKind : std::uint32_t { decision = 0, showdown = 1, fold = 2 };

constexpr std::uint32_t INCOMPLETE_TREE = 1;
constexpr std::uint32_t ISOMORPHISM_ON = 2;
constexpr std::uint32_t NEW_TREE = 4;

// One schematic node in the flat pre-order form the tree is built from.
struct LineRecord {
  NodeKind kind;
  std::int32_t parent;   // -1 at the root
  std::uint32_t player;  // decisions: to act; terminals: 0xFFFFFFFF
  std::uint32_t street;  // decisions: absolute street; terminals: 0xFFFFFFFF
  double value;          // terminals: half the pot plus the node's amount
};

// Flattens the schematic tree in pre-order; order[i] is the schematic node of record i (its
// record_index once the tree is installed). start_street is 1, 2 or 3.
std::vector<LineRecord> flatten_lines(SchematicNode& root, int start_street, double pot,
                                      std::vector<SchematicNode*>& order);

// What the solver keeps at a deal, per dealt turn card node (river deals) or once (turn deals).
struct DealEntry {
  std::array<std::vector<double>, 2> reach_sums;  // weighted reach per player
  std::array<std::vector<double>, 2> values;      // last evaluation pass, per player
  std::array<std::vector<double>, 2> best_response;
  bool frozen = false;
  std::uint64_t resolved_runouts = 0;
};

struct DealRecord {
  std::vector<DealEntry> entries;
};

// One node of the betting tree, the same for every board: a decision of `player`, or a fold or
// showdown terminal holding its stake. A decision's two value arrays (regrets, averages) hold a
// row per action for every board and hand its street can have; the first decision of a street
// the solver deals keeps the deal's record.
struct ActionNode {
  NodeKind kind = NodeKind::decision;
  std::int32_t parent = -1;
  std::uint32_t player = 0;
  std::uint32_t street = 1;  // absolute: 1 flop, 2 turn, 3 river
  double value = 0;          // terminals: the stake
  std::vector<std::int32_t> children;
  ActionNode* parent_node = nullptr;
  std::unique_ptr<NodeValueArray> regrets;   // decisions only, once storage is set up
  std::unique_ptr<NodeValueArray> averages;
  std::unique_ptr<DealRecord> deal;  // first decision node of a street below the start street

  ActionNode();
  ActionNode(ActionNode&&) noexcept;
  ~ActionNode();
  bool is_decision() const { return kind == NodeKind::decision; }
};

// A built tree: the action nodes in pre-order (node 0 the root), the card tree of the boards the
// start street can lead to, and the build's inputs. Owned by the current-tree holder; the solver
// and queries borrow it.
struct GameTree {
  std::vector<ActionNode> nodes;
  CardMask flop_mask = 0;  // as on the board, not canonical
  int board_turn = -1;     // fixed board cards (real codes), -1 when dealt by the tree
  int board_river = -1;
  int start_street = 1;
  int effective_stack = 0;
  std::unique_ptr<CardNode> root_card;
  SuitMapping suits = kIdentitySuits;
  double largest_stake = 0;
  int max_actions = 0;
  double average_actions = 0;
  std::array<std::vector<double>, 2> ranges;  // at build time, in the tree's suits
  bool all_hands = false;  // card nodes list every hand for both players, not just the ranges'
  std::atomic<std::uint32_t> flags{NEW_TREE};  // read by commands while the solver clears NEW_TREE
  // First street whose per-node data were dropped by forget (2 or 3), -1 when none. Stays set
  // after a rebuild until the subgames are solved again with the ranges kept at the deals.
  int forgotten_from = -1;
  // True when node's arrays were dropped and not yet rebuilt.
  bool forgotten(const ActionNode& node) const {
    return has_flag(INCOMPLETE_TREE) && forgotten_from > 0 && int(node.street) >= forgotten_from;
  }
  bool storage_allocated = false;
  // Per player, over the start board's hand list: plain range weights and weights divided by
  // the sum over compatible hand pairs of the weight products (made on first use).
  std::array<std::vector<double>, 2> start_weights;
  std::array<std::vector<double>, 2> normalised_weights;
  bool start_weights_ready = false;
  // What the tree was built from, as the user gave it: tree files save these, not the game
  // description or lines of the moment, which later commands may have changed.
  GameDescription inputs;
  std::unique_ptr<SchematicNode> lines;

  // The card node the traversal starts on: the flop, or the fixed turn or river.
  const CardNode& start_card_node() const;
  // The card node of child indexes (-1: the level above).
  const CardNode& card_node_at(int turn, int river) const;
  std::array<int, 2> storage_forms{0, 0};  // first / second array: 0 plain, 1 medium, 2 high
  int compression_level = 0;               // the level in force for this tree's data, 0..4

  // A card node as child indexes: turn among the root's children, river among the turn's (-1
  // where the card is not given or not in the tree). Real cards find theirs in board_lookup.h.
  struct CardIndices {
    int turn = -1;
    int river = -1;
  };
  bool has_flag(std::uint32_t f) const { return flags & f; }
};

// A tree file's own choices, which replace the settings when it is rebuilt.
struct StoredTreeChoices {
  bool isomorphism = false;
  bool all_hands = false;
};

// What a build takes besides the description and the lines: the settings it reads, the
// compression setting for a new tree's storage, and when a file is loaded, the file's own
// choices (which replace them).
struct TreeBuildOptions {
  std::array<bool, 3> isomorphism{true, false, false};  // per start street, as Settings
  bool all_hands = false;
  int compression = kAutoCompression;  // or 0..4
  const StoredTreeChoices* stored = nullptr;
};
struct Settings;
TreeBuildOptions tree_build_options(const Settings& settings, int compression, const StoredTreeChoices* stored = nullptr);

// Builds a tree from a game description, its lines and the options; reads no other state.
// Writes the lines' record indexes once nothing can refuse the build, so that a failure (the
// build_tree errors) leaves the paths into the present tree as they were. The "#" diagnostic lines go to
// *notes (when given), also those of a build that then fails.
// With stored choices (loading a file) the tree gets no storage: the loader creates it with
// the file's compression level.
std::unique_ptr<GameTree> build_game_tree(const GameDescription& description, SchematicNode& lines,
                                          const TreeBuildOptions& options, Notes* notes = nullptr);
