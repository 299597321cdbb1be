// Card texts as a hostile client sends them: parse_cards on the whole line and on each token,
// parse_player on each token, and the line's tokens as the arguments of set_board and
// show_categories. A card is two non-blank bytes, so an accepted text has two of them per card;
// the text printed for a mask reads back as that mask; a board that set_board took has three
// flop cards, at most one turn and one river card, all distinct.
#include <bit>
#include <cstdlib>
#include <string>

#include "app/failure.h"
#include "cards/cards.h"
#include "cards/game.h"
#include "fuzz_support.h"

namespace {

void check_cards(const std::string& text) {
  CardMask mask;
  try {
    mask = parse_cards(text);
  } catch (const CommandFailure&) {
    return;
  }
  std::size_t non_blank = 0;
  for (char c : text) non_blank += c != ' ';
  if (non_blank != 2 * std::size_t(std::popcount(mask))) std::abort();
  if (parse_cards(card_mask_text(mask)) != mask) std::abort();
}

void check_player(const std::string& token) {
  try {
    int player = parse_player(token);
    if (player != 0 && player != 1) std::abort();
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
  const Tokens tokens = split_tokens(line);
  for (const std::string& t : tokens) {
    check_cards(t);
    check_player(t);
  }

  Tokens command{"set_board"};
  command.insert(command.end(), tokens.begin(), tokens.end());
  GameDescription& g = game();
  g.flop_mask = g.turn_mask = g.river_mask = 0;
  fuzz::run_tokens(command);
  if (g.flop_mask) {
    if (std::popcount(g.flop_mask) != 3 || std::popcount(g.turn_mask) > 1 || std::popcount(g.river_mask) > 1)
      std::abort();
    if ((g.flop_mask & g.turn_mask) || (g.flop_mask & g.river_mask) || (g.turn_mask & g.river_mask)) std::abort();
    if (g.river_mask && !g.turn_mask) std::abort();
  }

  command[0] = "show_categories";
  fuzz::run_tokens(command);
  return 0;
}
