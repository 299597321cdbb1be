// Hand-category commands: show_category_names and show_categories.
#include <bit>
#include <string>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/categories.h"

void cmd_show_category_names(Session&, const Tokens&) {
  std::string text;
  for (const char* name : made_hand_names) text += std::string(name) + " ";
  text += "\n";
  for (const char* name : draw_names) text += std::string(name) + " ";
  text += "\nEND\n";
  print_out("%s", text.c_str());
}

// show_categories <board>: the board may be split over any number of tokens ("As Kd 7h",
// "AsKd7h"). Prints the made-hand categories, then the draw categories, one per hand in hand order.
void cmd_show_categories(Session&, const Tokens& t) {
  CardMask board = parse_cards(join_tokens(t, 1));
  int count = std::popcount(board);
  if (count < 3 || count > 5) command_error("invalid board");
  std::uint8_t cards[5];
  int n = 0;
  for (CardMask m = board; m; m &= m - 1) cards[n++] = classifier_card(std::countr_zero(m));
  CategoryResults made{}, draws{};
  try {
    classify_made_hands(cards, count, made);
    classify_draws(cards, count, draws);
  } catch (const ClassifierBug& bug) {
    print_now("ERROR: %s\n", bug.what());  // the tables cannot be trusted any more
    end_process(1);
  }
  std::string text;
  text.reserve(2 * 4 * kHands);
  for (std::int32_t v : made) text += std::to_string(v / 100) + " ";
  text += "\n";
  for (std::int32_t v : draws) text += std::to_string(v) + " ";
  text += "\nEND\n";
  print_out("%s", text.c_str());
}
