#pragma once
// One protocol conversation's state: what the user described (game, lines, settings,
// compression setting, the schedule for the next run), the tree built from it with its solver
// state, and the solver control that runs on them. main() owns the process's one; the command
// table, scripts and the command loop pass it to the handlers, and tests own their own. The
// floors below app/ read none of it on their own: each function is given the pieces it needs.
//
// Process-wide on purpose, outside any session: the output channel (core/output.h), the
// process watch (app/process_watch.h), the OpenMP worker pool with its worker count and the
// solver's pass locks and scratch memory (solver/solver.h, solver/scratch_stack.h), the start
// time (core/settings.h) and the hand tables (cards/).
#include <memory>
#include <string>
#include <vector>

#include "cards/game.h"
#include "core/settings.h"
#include "kernels/schedule.h"
#include "platform/platform.h"
#include "solver/solver_control.h"
#include "solver/solver_state.h"
#include "storage/compression_level.h"
#include "tree/game_tree.h"
#include "tree/schematic_tree.h"

struct Session {
  GameDescription game;
  std::unique_ptr<SchematicNode> lines = std::make_unique<SchematicNode>();  // never null
  Settings settings;
  int compression_setting = kAutoCompression;
  SolverSchedule schedule;  // what the next `go` gives the tree (a loaded tree's own)
  // The tree and what solving it has reached: replaced together (install_tree, free_tree, a
  // load), so the state always belongs to the tree present (a fresh one without a tree).
  std::unique_ptr<GameTree> tree;
  SolverState solver_state;
  // Set by skip_if_done: scripts pass over lines until the label line "LABEL: <name>".
  std::string skip_label;
  // The scripts being run, outermost first.
  std::vector<platform::FileIdentity> running_scripts;
  // Last, so destroyed first: it stops and waits for a run that borrows the tree, its state and
  // the settings.
  SolverControl solver;

  GameTree* current_tree() const { return tree.get(); }
  // Puts `built` (null: none) in place of the tree, with a new solver state for it.
  void install_tree(std::unique_ptr<GameTree> built);
  void free_tree() { install_tree(nullptr); }
  void clear_lines() { lines = std::make_unique<SchematicNode>(); }
  // The level the tree's data are stored at; without a tree, the last tree's (0 before any).
  int compression_in_force() const { return tree ? tree->compression_level : last_level_; }

 private:
  int last_level_ = 0;
};
