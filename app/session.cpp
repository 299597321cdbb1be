#include "app/session.h"

void Session::install_tree(std::unique_ptr<GameTree> built) {
  if (tree) last_level_ = tree->compression_level;
  tree = std::move(built);
  solver_state.renew(tree.get());
}
