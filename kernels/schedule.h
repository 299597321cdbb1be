#pragma once
// Solver schedules: how each iteration weighs the regrets a node keeps and the strategies the
// average collects. `standard` is the engine's own rule (the protocol's default); the others
// discount the kept regrets and weigh the average by a power of the iteration, restarting it at
// powers of 4 or starting it late. All but negative_decay keep regrets clipped at zero, so a
// negative cumulative regret never survives an update; negative_decay keeps negative regrets,
// multiplies them by a constant factor every iteration and counts an iteration's losses at a
// fraction (its step) of its gains (16-bit river regrets are then stored signed), and hands
// without positive regret play every action alike.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class ScheduleKind : std::int32_t { standard = 0, dcfr = 1, discounted = 2, late_average = 3, negative_decay = 4 };

struct SolverSchedule {
  ScheduleKind kind = ScheduleKind::standard;
  double alpha = 0;  // kept regrets are multiplied by k^alpha / (k^alpha + 1) after iteration k
  double beta = 0;   // the same for negative regrets (none survive the clip; recorded only)
  double gamma = 0;  // the average weighs iteration k (counted from its last restart) by k^gamma
  bool restarts = false;  // the average starts again at schedule iterations 4, 16, 64, ...
  int delay = 0;          // late_average, negative_decay: iterations 1..delay add nothing to the average
  double negative_factor = 0;  // negative_decay: kept negative regrets are multiplied by this every iteration
  double negative_step = 1;    // negative_decay: an iteration's negative increments are multiplied by this

  bool operator==(const SolverSchedule&) const = default;
  bool standard() const { return kind == ScheduleKind::standard; }
  bool keeps_negative() const { return kind == ScheduleKind::negative_decay; }
  bool late() const { return kind == ScheduleKind::late_average || kind == ScheduleKind::negative_decay; }
};

// The published discounted rule: 1.5, 0, 2 with restarts at powers of 4.
SolverSchedule dcfr_schedule(double alpha = 1.5, double beta = 0, double gamma = 2);
// Regrets discounted as dcfr's, averages weighted k^5 and restarted at powers of 4.
SolverSchedule discounted_schedule();
// Regrets discounted as dcfr's with alpha; the average starts at iteration delay + 1 and weighs
// iteration k by (k - delay)^gamma. 2, 3, 30 by default.
SolverSchedule late_average_schedule(double alpha = 2, double gamma = 3, int delay = 30);
constexpr int kMaxScheduleDelay = 100000;
// late_average's weights with negative regrets kept and multiplied by `factor` (0..1) every
// iteration, negative increments multiplied by `step` (0..1), and the uniform fallback.
// 2, 3, 30, 0.5, 0.8 by default.
SolverSchedule negative_decay_schedule(double alpha = 2, double gamma = 3, int delay = 30, double factor = 0.5,
                                       double step = 0.8);
// The recommended schedule (what `best` names).
SolverSchedule best_schedule();

// Parses "NAME [numbers]" (the command's arguments); nullopt for an unknown name or arguments
// that do not fit it. `error` gets the reason.
std::optional<SolverSchedule> parse_schedule(const std::vector<std::string>& words, std::string& error);
// "NAME p1 p2 ...": the form parse_schedule reads back.
std::string describe_schedule(const SolverSchedule& s);

// What one iteration does under a schedule: `k` is the schedule's iteration, 1 for the first
// iteration after it took over the tree.
struct IterationWeights {
  double regret_discount = 1;  // kept regrets are multiplied by this before the iteration's update
  double negative_discount = 1;  // kept negative regrets (schedules that keep them), likewise
  double negative_step = 1;      // this iteration's negative increments are multiplied by this
  double average_weight = 0;   // weight of this iteration's strategy in the average
  bool average_restart = false;  // the sums collected so far are dropped before this iteration's
};
IterationWeights schedule_weights(const SolverSchedule& s, int k);

// Whether k starts a new average: delay + 1 under late_average and negative_decay, else 1 always, and 4, 16, 64, ... when the schedule restarts.
bool average_restarts_at(const SolverSchedule& s, int k);
