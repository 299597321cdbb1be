#pragma once
// How per-hand vectors cross the protocol: one line of 1,326 values in hand order, and the
// helpers every report shares (hand names, the path "r" read as the first decision).
#include <string>
#include <vector>

// out[p] = by_hand[order_to_hand[p]].
std::vector<double> in_hand_order(const std::vector<double>& by_hand);

// One line (with its line feed) of the 1,326 values of a hand-index vector in hand order, each
// written with `format` ("%.12g", "%.9g") or as `nan_word` when NaN, separated by blanks. A line
// that would not fit the 65,536-byte buffer fails with "buffer too small".
std::string hand_line(const std::vector<double>& by_hand, const char* format, const char* nan_word);

// The hand at a hand-order position as four characters, "AsKs".
std::string hand_name(int position);

// The EV and equity reports read the ROOT ("r") as the first decision ("r:0").
std::string first_decision_path(const std::string& path);

// "%.2f", with "nan" for NaN whatever its sign bit.
std::string two_decimals(double v);
