// Betting lines and tree parameters.
#include "app/commands.h"
#include "core/failure.h"
#include "core/output.h"
#include "cards/game.h"
#include "tree/game_tree.h"
#include "tree/schematic_tree.h"

namespace {

void merge(Session& s, const Tokens& t, bool force) {
  static_assert(kMaxLineActions == 500, "the refusal below names the bound");
  if (t.size() - 1 > kMaxLineActions) command_error("line longer than 500 actions");
  LineMerger merger(*s.lines, force);
  for (std::size_t i = 1; i < t.size(); ++i) merger.add(parse_double(t[i]));
  answer_ok(t);
}

}  // namespace

void cmd_add_line(Session& s, const Tokens& t) { merge(s, t, false); }
void cmd_force_line(Session& s, const Tokens& t) { merge(s, t, true); }

void cmd_remove_line(Session& s, const Tokens& t) {
  std::vector<double> amounts;
  for (std::size_t i = 1; i < t.size(); ++i) amounts.push_back(parse_double(t[i]));
  remove_line(*s.lines, amounts);
  answer_ok(t);
}

void cmd_clear_lines(Session& s, const Tokens& t) {
  s.clear_lines();
  answer_ok(t);
}

void cmd_show_tree_params(Session& s, const Tokens&) {
  const GameDescription& g = s.game;
  std::string board = card_mask_text(g.flop_mask);
  for (CardMask street : {g.turn_mask, g.river_mask})
    if (street) board.append(" ").append(card_mask_text(street));
  print_out("board: %s\n", board.c_str());
  print_out("pot: %g %g %g\n", 0.0, 0.0, g.root_pot());
  print_out("bet_sizes: \n");
  print_out("donk_bet: FALSE\n");
  print_out("END\n");
}

void cmd_show_effective_stack(Session& s, const Tokens&) {
  const GameTree* tree = s.current_tree();
  if (!tree) command_error("missing/incorrect tree");
  print_out("%d\n", tree->effective_stack);
}
