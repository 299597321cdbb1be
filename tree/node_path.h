#pragma once
// Node paths ("r:0:c:b50:c:Ad:b120") and the references they resolve to. Paths are resolved
// against the schematic tree; the reference then selects the action node (record_index) and the
// card node (turn and river) of the built tree.
#include <string>

#include "tree/schematic_tree.h"

struct GameTree;

struct NodeRef {
  SchematicNode* node = nullptr;  // null: the ROOT above the first decision
  int turn = -1;                  // real card codes, -1 when not given
  int river = -1;
  bool split = false;             // at the chance node that deals the next card
};

// Resolves `path` in `lines` (the schematic tree of `tree`); references point into `lines`.
// Throws "missing/incorrect tree" (tree null), "incorrect path", "ERROR: invalid card" or
// InvalidValue.
NodeRef resolve_path(const GameTree* tree, SchematicNode& lines, const std::string& path);

// "ROOT", "SPLIT_NODE", "END_NODE", "IP_DEC" or "OOP_DEC".
const char* node_kind_name(const NodeRef& ref);

// The absolute street of a schematic node in the tree.
int absolute_street(const GameTree& tree, const SchematicNode& node);
// True when a card is dealt between node and its child `child`: the action ended a street
// before the river. After the river nothing is dealt, the child is a showdown.
bool deals_card(const GameTree& tree, const SchematicNode& node, const SchematicNode& child);
