#pragma once
// Creates the per-node value arrays of a game tree in the storage forms of a compression level,
// and lets the compression commands re-create them on the present tree.
//
// Addressing: a decision node's arrays hold one chunk per turn card node (a single chunk on the
// flop). Flop nodes have one board; turn nodes one board per chunk (their turn card); river nodes
// one board per river card node below the chunk's turn card.
#include <cstdint>
#include <vector>

#include "storage/compression_level.h"
#include "tree/game_tree.h"

// Chunk and board of a decision node's values for the given card node indexes; false when the
// indexes do not name one board of the node's street.
bool value_address(const ActionNode& node, GameTree::CardIndices cards, int& chunk, int& board);

// The acting player's hand counts per chunk of the boards a decision node of this street is
// played on: the layout of its arrays.
std::vector<std::vector<int>> boards_of_street(const GameTree& tree, int street, int player);

// Bytes the per-node data take without compression: 2 per regret value, 4 per average value.
std::uint64_t uncompressed_need(const GameTree& tree);

// Gives every decision node new, empty arrays (not yet allocated) of the pair's forms, and
// resets the storage statistics. Forgotten nodes stay without. What was solved on the old
// arrays is void: the caller restarts the solving state with them.
void create_storage(GameTree& tree, StoragePair pair);

// New, empty arrays in the tree's forms for the decision nodes that have none (after forget),
// all of them or those of one node's subtree; nothing else changes.
void create_missing_arrays(GameTree& tree, int subtree = -1);

// Chooses the level for a new tree (the compression setting or, for auto, the automatic rule),
// records it in the tree and creates storage.
void set_up_new_tree_storage(GameTree& tree, int compression_setting, Notes* notes = nullptr);

// Applies a compression setting to a present tree (ai6_set_compression; nullptr: no tree,
// false): auto first recreates plain storage, measures the need and chooses; then the level
// becomes the tree's level, its values are dropped, its storage recreated in the level's forms
// and the storage statistics restart (the caller restarts the solving state, as for create_storage).
bool apply_compression(GameTree* tree, int compression_setting, Notes* notes = nullptr);
