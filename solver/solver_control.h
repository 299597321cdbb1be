#pragma once
// Runs the solver on its own thread while the command loop goes on, decides when it stops and
// reports its progress to the installed listener. One control block per process.
#include <cstdint>

#include "solver/solver_listener.h"
#include "tree/game_tree.h"

// Starts a run on the current tree: in steps mode `limit` iterations, in time mode `limit`
// seconds (0 or less: no limit). False when running, the tree is incomplete or storage
// cannot be had.
bool start_solver(int limit, bool steps_mode);
void request_stop();
bool solver_running();
// Returns once the solver thread has printed its stop line.
void wait_solver();

// Evaluates both players now (between the solver's passes) and keeps the results in the tree.
// False when storage cannot be had.
bool current_results(GameTree& tree, ResultRecord& record);
