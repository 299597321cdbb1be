#include "queries/hand_line.h"

#include <cmath>
#include <cstdio>

#include "core/failure.h"
#include "cards/hand_order.h"

namespace {
constexpr std::size_t kLineBuffer = 65536;
}

std::vector<double> in_hand_order(const std::vector<double>& by_hand) {
  std::vector<double> out(kHands);
  for (int p = 0; p < kHands; ++p) out[std::size_t(p)] = by_hand[order_to_hand[std::size_t(p)]];
  return out;
}

std::string hand_line(const std::vector<double>& by_hand, const char* format, const char* nan_word) {
  std::string line;
  line.reserve(kLineBuffer);
  char number[64];
  for (int p = 0; p < kHands; ++p) {
    if (p) line.push_back(' ');
    double v = by_hand[order_to_hand[std::size_t(p)]];
    if (std::isnan(v)) {
      line.append(nan_word);
    } else {
      std::snprintf(number, sizeof number, format, v);
      line.append(number);
    }
  }
  line.push_back('\n');
  if (line.size() + 1 > kLineBuffer) command_error("buffer too small");
  return line;
}

std::string hand_name(int position) { return hand_order_text().substr(std::size_t(position) * 5, 4); }

std::string first_decision_path(const std::string& path) { return path == "r" ? "r:0" : path; }

std::string two_decimals(double v) {
  if (std::isnan(v)) return "nan";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}
