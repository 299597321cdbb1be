// Card texts as a hostile client sends them: parse_cards on the whole line and on each token,
// parse_player on each token, and the line's tokens as the arguments of set_board and
// show_categories. A card is two non-blank bytes, so an accepted text has two of them per card;
// the text printed for a mask reads back as that mask; a board that set_board took has three
// flop cards, at most one turn and one river card, all distinct.
#include <algorithm>
#include <bit>

#include "core/failure.h"
#include "cards/cards.h"
#include "cards/game.h"
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::init_engine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line = fuzz::as_text(data, size);
  check_cards(line);
  Tokens command = split_tokens(line);
  for (const std::string& t : command) {
    check_cards(t);
    try {
      int player = parse_player(t);
      FUZZ_CHECK(player == 0 || player == 1);
    } catch (const CommandFailure&) {
    }
  }
  command.insert(command.begin(), "set_board");
  GameDescription& g = fuzz::session().game;
  g.flop_mask = g.turn_mask = g.river_mask = 0;
  fuzz::run_tokens(command);
  if (g.flop_mask) {
    FUZZ_CHECK(std::popcount(g.flop_mask) == 3 && std::popcount(g.turn_mask) <= 1 && std::popcount(g.river_mask) <= 1);
    FUZZ_CHECK(!(g.flop_mask & g.turn_mask) && !(g.flop_mask & g.river_mask) && !(g.turn_mask & g.river_mask));
    FUZZ_CHECK(g.turn_mask || !g.river_mask);
  }
  command[0] = "show_categories";
  fuzz::run_tokens(command);
  return 0;
}
