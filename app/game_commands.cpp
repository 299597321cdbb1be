// Ranges, board and pot.
#include <bit>
#include <cstdio>

#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/game.h"
#include "cards/hand_order.h"

void cmd_show_hand_order(Session&, const Tokens&) { print_out("%s\n", hand_order_text().c_str()); }

void cmd_set_range(Session& s, const Tokens& t) {
  int player = parse_player(t[1]);
  std::vector<double> weights(kHands);
  for (int p = 0; p < kHands; ++p) weights[p] = parse_double(t[std::size_t(p) + 2]);
  if (!range_weights_usable(weights)) command_error("weights too large");
  std::vector<double> range(kHands);
  for (int i = 0; i < kHands; ++i) range[i] = weights[hand_to_order[i]];
  s.game.ranges[player] = std::move(range);
  answer_ok(t);
}

void cmd_set_board(Session& s, const Tokens& t) {
  if (t.size() < 4 || t.size() > 6) argument_error();
  CardMask flop = parse_cards(t[1]) | parse_cards(t[2]) | parse_cards(t[3]);
  if (std::popcount(flop) != 3) argument_error();
  CardMask street[2] = {0, 0};
  for (std::size_t i = 4; i < t.size(); ++i) {
    street[i - 4] = parse_cards(t[i]);
    if (std::popcount(street[i - 4]) != 1) argument_error();
  }
  // Tree building needs distinct board cards: a repeated turn or river card is named.
  for (std::size_t i = 0; i < 2; ++i)
    if (street[i] & (flop | (i == 1 ? street[0] : 0))) {
      char reason[64];
      std::snprintf(reason, sizeof reason, i == 0 ? "turn card %s is already on the board" : "river card %s is already on the board",
                    card_text(std::countr_zero(street[i])).c_str());
      command_error(reason);
    }
  GameDescription& g = s.game;
  g.flop_mask = flop;
  g.turn_mask = street[0];
  g.river_mask = street[1];
  answer_ok(t);
}

void cmd_set_pot(Session& s, const Tokens& t) {
  int a = parse_int(t[1]), b = parse_int(t[2]), c = parse_int(t[3]);
  s.game.pot_values = {double(a), double(b), double(c)};
  answer_ok(t);
}
