#pragma once
// Tree files: everything needed to go on with a tree in a new process - the game description
// and lines it was built from, its flags and solving state, the compression level and every
// decision node's deal entries and value arrays - followed by a checksum of all of it.
#include <string>

#include "kernels/schedule.h"
#include "solver/solver_state.h"
#include "tree/game_tree.h"

// Writes the tree and its solver state to `path` through a temporary file beside it, renamed
// over `path` only once complete. Throws IOException ("can't write to file"); the caller keeps
// the solver out.
void save_tree_file(GameTree& tree, const SolverState& state, const std::string& path);

// What a load reads into and replaces: the session's game description, lines (never null),
// tree and its solver state (renewed with every tree it puts there, or the lack of one), and
// the schedule the next `go` gives a tree (the loaded tree's own).
struct TreeFileTarget {
  GameDescription& game;
  std::unique_ptr<SchematicNode>& lines;
  std::unique_ptr<GameTree>& tree;
  SolverState& state;
  SolverSchedule& schedule;
};

// Replaces the game description, the lines and the tree by the file's. Throws IOException
// ("can't read from file", "invalid file", "out of memory") or the build's CommandFailure.
// What was read before a failure stays in effect: board, pot and ranges as they are read, the
// lines once complete, the rebuilt tree - but its per-node data and solving state only once the
// checksum confirms them; otherwise the tree stays present with empty storage. The build's "#"
// lines go to *notes, also when the load then fails.
void load_tree_file(const std::string& path, const TreeFileTarget& target, Notes* notes = nullptr);
