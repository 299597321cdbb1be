#pragma once
// The game description the user enters before building a tree: ranges, board and pot.
// The session holds it; tree building copies from it.
#include <array>
#include <cmath>
#include <vector>

#include "cards/cards.h"

struct GameDescription {
  // Per player, 1,326 weights in hand-index order; empty until set_range.
  std::array<std::vector<double>, 2> ranges;
  CardMask flop_mask = 0;   // three cards once set
  CardMask turn_mask = 0;   // one card or 0
  CardMask river_mask = 0;  // one card or 0
  // The third value is the pot at the root, in chips; the first two are carried along.
  std::array<double, 3> pot_values{0, 0, 100};

  double root_pot() const { return pot_values[2]; }
  CardMask board_mask() const { return flop_mask | turn_mask | river_mask; }
};

// Weights a range may hold: finite, with a finite sum (the solver scales each range by its
// sum; an infinite one would leave an empty game).
inline bool range_weights_usable(const std::vector<double>& weights) {
  double sum = 0;
  for (double w : weights) sum += w;
  return std::isfinite(sum);
}
