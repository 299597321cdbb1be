// Node paths against a flop tree whose lines reach every street (so that paths can name turn and
// river cards, split nodes, folds, bets and end nodes): resolve_path directly, then the commands
// that take a path. A resolved reference names distinct real cards off the flop, decisions and
// deals on the flop, turn or river, and a split node only below the first decision; past the
// river there are only end nodes, and no deal.
#include "core/failure.h"
#include "fuzz_support.h"
#include "queries/tree_hands.h"
#include "tree/node_path.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::build_spot("Ks 7d 2c", {"0 0 0 0 0 0", "50 50 100 100 200 200", "0 50 150 150 400 400", "50 150 150 0 0",
                                "0 0 0 75 75 0 0"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::as_text(data, size);
  Session& s = fuzz::session();
  const GameTree& tree = *s.current_tree();
  try {
    NodeRef ref = resolve_path(&tree, *s.lines, path);
    for (int card : {ref.turn, ref.river})
      FUZZ_CHECK(card >= -1 && card < kCards && (card < 0 || !(tree.flop_mask & card_bit(card))));
    FUZZ_CHECK(ref.river < 0 || ref.turn != ref.river);
    FUZZ_CHECK(!ref.split || (ref.node && ref.node->parent));
    node_kind_name(ref);
    if (ref.node) {
      int street = absolute_street(tree, *ref.node);
      FUZZ_CHECK(street >= 1 && street <= (ref.node->is_leaf() && !ref.split ? 4 : 3));
      int index = action_node_index(tree, ref);
      FUZZ_CHECK(index >= 0 && std::size_t(index) < tree.nodes.size());
      cards_for_node(tree, index, ref.turn, ref.river);
    }
  } catch (const CommandFailure&) {
  } catch (const InvalidValue&) {
  }
  // A path is one token on a protocol line.
  if (path.empty() || path.find(' ') != std::string::npos) return 0;
  for (const char* command : {"show_node", "show_children", "show_strategy"}) fuzz::run_tokens({command, path});
  fuzz::run_tokens({"show_range", "IP", path});
  return 0;
}
