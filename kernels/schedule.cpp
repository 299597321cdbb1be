#include "kernels/schedule.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

SolverSchedule dcfr_schedule(double alpha, double beta, double gamma) {
  return {ScheduleKind::dcfr, alpha, beta, gamma, true};
}

SolverSchedule discounted_schedule() { return {ScheduleKind::discounted, 1.5, 0, 5, true}; }

SolverSchedule late_average_schedule(double alpha, double gamma, int delay) {
  return {ScheduleKind::late_average, alpha, 0, gamma, false, delay};
}

SolverSchedule negative_decay_schedule(double alpha, double gamma, int delay, double factor, double step) {
  SolverSchedule s = late_average_schedule(alpha, gamma, delay);
  s.kind = ScheduleKind::negative_decay;
  s.negative_factor = factor;
  s.negative_step = step;
  return s;
}

// Reaches 0.3 % of the pot in as many or fewer iterations than every other schedule on every
// benchmark spot (README, "Solver schedules").
SolverSchedule best_schedule() { return negative_decay_schedule(); }

namespace {

bool parse_number(const std::string& word, double& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

}  // namespace

std::optional<SolverSchedule> parse_schedule(const std::vector<std::string>& words, std::string& error) {
  if (words.empty()) {
    error = "missing schedule name";
    return std::nullopt;
  }
  const std::string& name = words[0];
  std::vector<double> numbers;
  for (std::size_t i = 1; i < words.size(); ++i) {
    double v = 0;
    if (!parse_number(words[i], v)) {
      error = "invalid schedule parameter " + words[i];
      return std::nullopt;
    }
    numbers.push_back(v);
  }
  SolverSchedule s;
  std::size_t allowed = 0;
  if (name == "default") {
    allowed = 0;
  } else if (name == "dcfr") {
    s = dcfr_schedule();
    allowed = 3;
  } else if (name == "discounted") {
    s = discounted_schedule();
    allowed = 3;
  } else if (name == "late_average") {
    s = late_average_schedule();
    allowed = 3;
  } else if (name == "negative_decay") {
    s = negative_decay_schedule();
    allowed = 5;
  } else if (name == "best") {
    s = best_schedule();
    allowed = 0;
  } else {
    error = "unknown schedule " + name;
    return std::nullopt;
  }
  if (numbers.size() > allowed) {
    error = "too many schedule parameters";
    return std::nullopt;
  }
  if (s.kind == ScheduleKind::dcfr) {
    if (numbers.size() > 0) s.alpha = numbers[0];
    if (numbers.size() > 1) s.beta = numbers[1];
    if (numbers.size() > 2) s.gamma = numbers[2];
  } else if (s.kind == ScheduleKind::discounted) {
    if (numbers.size() > 0) s.alpha = numbers[0];
    if (numbers.size() > 1) s.gamma = numbers[1];
    if (numbers.size() > 2) {
      if (numbers[2] != 0 && numbers[2] != 1) {
        error = "restarts must be 0 or 1";
        return std::nullopt;
      }
      s.restarts = numbers[2] == 1;
    }
  } else if (s.late()) {
    if (numbers.size() > 0) s.alpha = numbers[0];
    if (numbers.size() > 1) s.gamma = numbers[1];
    if (numbers.size() > 2) {
      if (numbers[2] != std::floor(numbers[2]) || numbers[2] < 0 || numbers[2] > kMaxScheduleDelay) {
        error = "schedule parameter out of range";
        return std::nullopt;
      }
      s.delay = int(numbers[2]);
    }
    for (std::size_t i = 3; i < numbers.size(); ++i) {
      if (!(numbers[i] >= 0 && numbers[i] <= 1)) {
        error = "schedule parameter out of range";
        return std::nullopt;
      }
    }
    if (numbers.size() > 3) s.negative_factor = numbers[3];
    if (numbers.size() > 4) s.negative_step = numbers[4];
  }
  // Exponents beyond these only overflow the weights; below 0 they stop discounting.
  if (s.alpha < 0 || s.alpha > 20 || s.gamma < 0 || s.gamma > 20 || s.beta < -20 || s.beta > 20) {
    error = "schedule parameter out of range";
    return std::nullopt;
  }
  return s;
}

std::string describe_schedule(const SolverSchedule& s) {
  char text[160];
  switch (s.kind) {
    case ScheduleKind::standard:
      return "default";
    case ScheduleKind::dcfr:
      std::snprintf(text, sizeof text, "dcfr %g %g %g", s.alpha, s.beta, s.gamma);
      return text;
    case ScheduleKind::discounted:
      std::snprintf(text, sizeof text, "discounted %g %g %d", s.alpha, s.gamma, s.restarts ? 1 : 0);
      return text;
    case ScheduleKind::late_average:
      std::snprintf(text, sizeof text, "late_average %g %g %d", s.alpha, s.gamma, s.delay);
      return text;
    case ScheduleKind::negative_decay:
      std::snprintf(text, sizeof text, "negative_decay %g %g %d %g %g", s.alpha, s.gamma, s.delay, s.negative_factor,
                    s.negative_step);
      return text;
  }
  return "default";
}

bool average_restarts_at(const SolverSchedule& s, int k) {
  if (s.late()) return k == s.delay + 1;
  if (k == 1) return true;
  if (!s.restarts || k < 4) return false;
  // A power of 4: one bit set, at an even position.
  unsigned u = unsigned(k);
  return (u & (u - 1)) == 0 && (u & 0x55555555u) != 0;
}

IterationWeights schedule_weights(const SolverSchedule& s, int k) {
  IterationWeights w;
  if (s.standard() || k < 1) return w;
  // Regrets kept after iteration k - 1 are discounted by (k-1)^a / ((k-1)^a + 1) before k adds its own.
  // (Regrets a tree brings from before the schedule took over are kept whole.)
  if (k > 1) {
    double p = std::pow(double(k - 1), s.alpha);
    w.regret_discount = p / (p + 1);
    if (s.keeps_negative()) w.negative_discount = s.negative_factor;
  }
  if (s.keeps_negative()) w.negative_step = s.negative_step;
  // Iteration j after the last restart r weighs (j - r + 1)^gamma: the same average as
  // multiplying the sums by ((k-1)/k)^gamma before each iteration adds its strategy.
  if (s.late()) {
    w.average_restart = average_restarts_at(s, k);
    w.average_weight = k > s.delay ? std::pow(double(k - s.delay), s.gamma) : 0;
    return w;
  }
  int restart = 1;
  for (int r = 1; r <= k; r = r * 4) {
    if (average_restarts_at(s, r)) restart = r;
    if (!s.restarts) break;
  }
  w.average_restart = restart == k;
  w.average_weight = std::pow(double(k - restart + 1), s.gamma);
  return w;
}
