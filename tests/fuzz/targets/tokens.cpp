// One protocol line as a hostile client sends it, through every parser of tokens.
// split_tokens/join_tokens: tokens are never empty and hold no blank, keep every other byte in
// order, and split back from what join_tokens made. parse_int/parse_double: InvalidValue is
// their only failure; what they accept is finite and reads back as itself once printed.
// parse_cards (on the line and on each token): an accepted text has two non-blank bytes per
// card and its printed mask reads back as that mask. parse_player gives 0 or 1. As set_board
// arguments: a board taken has three flop cards, at most one turn and river card, all distinct.
#include <algorithm>
#include <bit>
#include <cmath>

#include "cards/cards.h"
#include "cards/game.h"
#include "core/failure.h"
#include "fuzz_support.h"

namespace {

void check_cards(const std::string& text) {
  try {
    CardMask mask = parse_cards(text);
    FUZZ_CHECK(std::size_t(std::count_if(text.begin(), text.end(), [](char c) { return c != ' '; })) ==
               2 * std::size_t(std::popcount(mask)));
    FUZZ_CHECK(parse_cards(card_mask_text(mask)) == mask);
  } catch (const CommandFailure&) {
  }
}

void check_numbers(const std::string& token) {
  try {
    int value = parse_int(token);
    FUZZ_CHECK(parse_int(std::to_string(value)) == value && parse_double(std::to_string(value)) == double(value));
  } catch (const InvalidValue&) {
  }
  try {
    double value = parse_double(token);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    FUZZ_CHECK(std::isfinite(value) && parse_double(text) == value);
  } catch (const InvalidValue&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string line = fuzz::as_text(data, size), kept = line, concatenated;
  Tokens tokens = split_tokens(line);
  kept.erase(std::remove(kept.begin(), kept.end(), ' '), kept.end());
  for (const std::string& t : tokens) {
    FUZZ_CHECK(!t.empty() && t.find(' ') == std::string::npos);
    concatenated += t;
    check_numbers(t);
    check_cards(t);
    try {
      int player = parse_player(t);
      FUZZ_CHECK(player == 0 || player == 1);
    } catch (const CommandFailure&) {
    }
  }
  FUZZ_CHECK(concatenated == kept);
  const std::string joined = join_tokens(tokens, 0);
  FUZZ_CHECK(split_tokens(joined) == tokens && (tokens.empty() || joined.size() == kept.size() + tokens.size() - 1));
  FUZZ_CHECK(tokens.size() < 2 || split_tokens(join_tokens(tokens, 1)) == Tokens(tokens.begin() + 1, tokens.end()));
  FUZZ_CHECK(join_tokens(tokens, tokens.size()).empty() && join_tokens(tokens, tokens.size() + 1).empty());
  check_cards(line);

  tokens.insert(tokens.begin(), "set_board");
  GameDescription& g = fuzz::session().game;
  g.flop_mask = g.turn_mask = g.river_mask = 0;
  fuzz::run_tokens(tokens);
  if (g.flop_mask) {
    FUZZ_CHECK(std::popcount(g.flop_mask) == 3 && std::popcount(g.turn_mask) <= 1 && std::popcount(g.river_mask) <= 1);
    FUZZ_CHECK(!(g.flop_mask & g.turn_mask) && !(g.flop_mask & g.river_mask) && !(g.turn_mask & g.river_mask));
    FUZZ_CHECK(g.turn_mask || !g.river_mask);
  }
  tokens[0] = "show_categories";
  fuzz::run_tokens(tokens);
  return 0;
}
