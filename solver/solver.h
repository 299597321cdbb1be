#pragma once
// The solving iteration: two passes over the game tree (IP, then OOP) that update regrets at
// the traverser's nodes and averages at the opponent's, and the evaluation passes that measure
// EVs and best responses. A pass splits the tree at the first card dealt below the start street
// into subgame jobs run in parallel.
#include <atomic>
#include <mutex>
#include <vector>

#include "solver/solver_state.h"
#include "tree/game_tree.h"

enum class PassMode { training, evaluation, query };

// What an evaluation pass finds; training passes leave it at zero (nobody reads their values).
struct PassResult {
  double best_response = 0;  // the traverser's maximally exploitative value (net)
  double value = 0;          // the traverser's expected value (net)
};

// Held for one whole pass: iterations, evaluations and queries never overlap. Process-wide, as
// the OpenMP workers the passes share.
std::mutex& solver_mutex();

// The solver mutex for a command (a report, a query, an evaluation asked for by a command).
// The solver thread lets waiting commands in between its passes instead of taking the mutex
// straight back, so a report waits for one pass at most.
class CommandLock {
 public:
  CommandLock();
  CommandLock(const CommandLock&) = delete;
  CommandLock& operator=(const CommandLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// Held by the solver thread for each iteration and each exploitability check, and by a save:
// a tree file taken while solving holds whole iterations only, so that solving on from it ends
// where an uninterrupted solve ends.
class CheckpointLock {
 public:
  CheckpointLock();
  CheckpointLock(const CheckpointLock&) = delete;
  CheckpointLock& operator=(const CheckpointLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};
// The solver thread's side of it; gives way to a waiting save first.
std::unique_lock<std::mutex> lock_iteration();

// The worker count passes run with (set_threads; start-up sets omp_get_max_threads()). It belongs
// to the OpenMP worker pool, which is process-wide; the solver thread reads it between
// iterations.
void set_worker_count(int count);
int worker_count();  // at least 1

// Sets the OpenMP worker count for the calling thread's next parallel regions to the worker
// count, or to fewer when the address space has no room for more workers.
void apply_thread_count();

// Called once by the solver thread: its passes give way to waiting commands.
void mark_solver_thread();

// Makes every value array of the tree take its memory; false when one cannot. Arrays that
// succeeded stay allocated.
bool allocate_tree_storage(GameTree& tree);

PassResult solve_pass(GameTree& tree, SolverState& state, int player, PassMode mode);
// One iteration: IP then OOP in training mode, then the iteration count grows by one and
// NEW_TREE is cleared.
void run_iteration(GameTree& tree, SolverState& state);

// A deal into a street: its node and, for a river deal, the turn card node's index among the
// root card node's children (-1 for a turn deal).
struct SubgameRoot {
  int node = 0;
  int turn = -1;
};
// One training iteration (IP, then OOP) of the subgames below the given deals only, each
// against the opponent's weighted reach kept in its deal entry; nothing above the deals is
// visited or changed. The state's iteration count sets the averaging weights. Takes the
// solver mutex.
void train_subgames(GameTree& tree, SolverState& state, const std::vector<SubgameRoot>& roots);

// One pass over a subgame alone: the subtree of action node `index` on the card node of
// indexes turn/river, the opponent's reach over that node's list; own_reach (the traverser's,
// same node) weighs the values into the result. The caller holds the solver mutex.
PassResult subgame_pass(GameTree& tree, SolverState& state, int player, PassMode mode, int index, int turn, int river,
                        const std::vector<double>& opponent_reach, const std::vector<double>& own_reach);

// The strategy rows that the next training pass of a river-start tree takes for decision
// `node` as they are, or null when it would match them from the regrets again.
const std::vector<double>* kept_strategy_rows(const GameTree& tree, const SolverState& state, int node);

PassResult evaluate_player(GameTree& tree, SolverState& state, int player);
// Evaluates OOP then IP and keeps the results in the state; `out` gets a copy taken under the
// same hold of the solver mutex. False when storage cannot be had.
bool evaluate_both(GameTree& tree, SolverState& state, TreeResults* out = nullptr);

// What reaches one node for one player, in the hand list of the node's card node: the player's
// counterfactual values (net chips, against the opponent's normalised reach, as the evaluation
// computes them), the player's own reach (range probability times its own action
// probabilities on the path) and the opponent's reach.
struct NodeQuery {
  const CardNode* board = nullptr;
  std::vector<double> values;
  std::vector<double> own_reach;
  std::vector<double> opponent_reach;
};

// Evaluates the subtree of action node `node` on the card node of child indexes turn/river
// (-1 where the node's street deals no card), with the strategies that evaluation uses. Below
// the deals of that subtree it does not descend: it reads the values the last evaluation
// stored there (zeros where none was made), so a query is current only when the state's results
// are (QuerySession::refresh). False when the node's street needs a card that is not given.
// Takes the solver mutex.
bool query_node(GameTree& tree, SolverState& state, int player, int node, int turn, int river, NodeQuery& out);

// One hold of the solver mutex for a report: its evaluation and its queries see the same
// strategies, with no iteration in between.
class QuerySession {
 public:
  QuerySession(GameTree& tree, SolverState& state) : tree_(tree), state_(state) {}
  // Evaluates both players when the state's results are older than its iterations; the
  // evaluation also refreshes the values stored at the deals. False when storage cannot be had.
  bool refresh();
  // As query_node, under the session's hold.
  bool query(int player, int node, int turn, int river, NodeQuery& out);

 private:
  CommandLock lock_;
  GameTree& tree_;
  SolverState& state_;
};

