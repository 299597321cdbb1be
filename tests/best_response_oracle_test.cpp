// An independent best response. Small river and turn spots are solved by the program; their tree
// (show_children) and strategies (show_strategy) are read back through the protocol, and each
// player's best-response value (MES) and expected value are computed here by plain recursion
// over explicit hand pairs and river cards. They must equal what calc_results prints to 1e-6 of
// the pot (the pot is large so that its three decimals are fine enough).
#include <gtest/gtest.h>

#include <sstream>

#include "cards/evaluator.h"
#include "subprocess.h"

namespace {

constexpr double kPot = 10000;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

struct Node {
  std::string kind;
  CardMask board = 0;
  double put[2] = {0, 0};
  std::vector<int> children;
  std::vector<std::vector<double>> strategy;  // decisions: [action][hand-order position]
};

struct Oracle {
  Subprocess engine{TRAVANTO_BINARY, {}};
  std::vector<CardMask> hand;  // by hand-order position
  std::vector<double> weight[2];
  std::vector<Node> nodes;

  // The answer lines of a command up to its END, comments left out.
  std::vector<std::string> ask(const std::string& command) {
    engine.write(command + "\n");
    std::vector<std::string> lines;
    for (std::string line; engine.read_line(line, 300000);) {
      if (line == "END") return lines;
      EXPECT_FALSE(line.starts_with("ERROR")) << command << ": " << line;
      if (!line.starts_with("#")) lines.push_back(line);
    }
    ADD_FAILURE() << "no complete answer to " << command;
    return lines;
  }

  // Reads a node block (path, kind, board, chips put in and pot, children, flags) and the
  // subtree below it; a node comes after its children.
  int add_node(const std::vector<std::string>& block) {
    Node n{block[1], parse_cards(block[2]), {0, 0}, {}, {}};
    std::istringstream(block[3]) >> n.put[0] >> n.put[1];
    if (n.kind.ends_with("_DEC"))
      for (const std::string& row : ask("show_strategy " + block[0])) {
        n.strategy.emplace_back();
        for (const std::string& w : words(row)) n.strategy.back().push_back(std::strtod(w.c_str(), nullptr));
        EXPECT_EQ(n.strategy.back().size(), hand.size());
      }
    std::vector<std::string> listing = ask("show_children " + block[0]);
    for (std::size_t i = 0; i + 7 <= listing.size(); i += 7)
      n.children.push_back(add_node({listing.begin() + long(i) + 1, listing.begin() + long(i) + 7}));
    nodes.push_back(n);
    return int(nodes.size()) - 1;
  }

  // +1, 0 or -1 for `own` against `opp`, averaged over the cards still to come.
  double showdown(CardMask board, int own, int opp) const {
    if (std::popcount(board) == 5) {
      auto value = [&](int h) { return evaluate_lanes_7(lane_mask(board | hand[std::size_t(h)])); };
      return value(own) > value(opp) ? 1 : value(own) < value(opp) ? -1 : 0;
    }
    CardMask used = board | hand[std::size_t(own)] | hand[std::size_t(opp)];
    double sum = 0, count = 0;
    for (int c = 0; c < 52; ++c)
      if (!(used & card_bit(c))) sum += showdown(board | card_bit(c), own, opp), ++count;
    return sum / count;
  }

  // {best response, expected value} of player p's hand h at node n against the opponent's reach.
  std::pair<double, double> walk(int n, int p, int h, const std::vector<double>& reach) const {
    const Node& node = nodes[std::size_t(n)];
    std::pair<double, double> sum{0, 0};
    if (node.kind == "END_NODE") {
      double win = kPot / 2 + node.put[1 - p], lose = -(kPot / 2 + node.put[p]);
      for (std::size_t o = 0; o < reach.size(); ++o)
        if (reach[o] != 0 && !(hand[o] & hand[std::size_t(h)]))
          sum.first += reach[o] * (node.put[0] != node.put[1] ? (node.put[p] < node.put[1 - p] ? lose : win)
                                                              : showdown(node.board, h, int(o)) * (win - lose) / 2 + (win + lose) / 2);
      return {sum.first, sum.first};
    }
    if (node.kind == "ROOT") return walk(node.children[0], p, h, reach);
    if (node.kind == "SPLIT_NODE") {
      for (int c : node.children) {
        CardMask card = nodes[std::size_t(c)].board & ~node.board;
        if (card & hand[std::size_t(h)]) continue;
        std::vector<double> dealt = reach;
        for (std::size_t o = 0; o < dealt.size(); ++o) dealt[o] *= !(hand[o] & card);
        auto [br, ev] = walk(c, p, h, dealt);
        sum.first += br / 44, sum.second += ev / 44;  // 44 river cards per pair of hands on a turn
      }
      return sum;
    }
    int actor = node.kind == "OOP_DEC" ? 0 : 1;
    sum.first = actor == p ? -1e300 : 0;
    for (std::size_t a = 0; a < node.children.size(); ++a) {
      std::vector<double> next = reach;
      if (actor != p)
        for (std::size_t o = 0; o < next.size(); ++o) next[o] *= next[o] ? node.strategy[a][o] : 0;
      auto [br, ev] = walk(node.children[a], p, h, next);
      sum.first = actor == p ? std::max(sum.first, br) : sum.first + br;
      sum.second += actor == p ? node.strategy[a][std::size_t(h)] * ev : ev;
    }
    return sum;
  }

  // Player p's {MES, EV}, pot share included, over the joint deal of the two hands.
  std::pair<double, double> results(int p, CardMask board) const {
    auto live = [&](int player, std::size_t h) { return (hand[h] & board) ? 0.0 : weight[player][h]; };
    double z = 0;
    for (std::size_t a = 0; a < hand.size(); ++a)
      for (std::size_t b = 0; b < hand.size(); ++b) z += (hand[a] & hand[b]) ? 0 : live(p, a) * live(1 - p, b);
    std::vector<double> reach(hand.size());
    for (std::size_t o = 0; o < hand.size(); ++o) reach[o] = live(1 - p, o) / z;
    std::pair<double, double> total{kPot / 2, kPot / 2};
    for (std::size_t h = 0; h < hand.size(); ++h)
      if (live(p, h) > 0) {
        auto [br, ev] = walk(int(nodes.size()) - 1, p, int(h), reach);
        total.first += live(p, h) * br, total.second += live(p, h) * ev;
      }
    return total;
  }
};

struct Spot { const char *name, *board; std::vector<const char*> lines; };

class BestResponseOracle : public ::testing::TestWithParam<Spot> {};

TEST_P(BestResponseOracle, MatchesTheProgramsMesAndEv) {
  init_hand_tables();
  Oracle oracle;
  std::vector<std::string> order;
  oracle.engine.write("show_hand_order\n");
  for (std::string line; order.size() != std::size_t(kHands) && oracle.engine.read_line(line);) order = words(line);
  ASSERT_EQ(order.size(), std::size_t(kHands));
  // Weights 1, 1/2, 1/4 in turn along each list.
  const char* hands[2] = {"AdKd AhQh QsJs JdTd 9s9h 8d7d 7s5s 6s6c KsKc 5d4d TcTs 3d3c AcJc KhJh 8h8c QdQh",
                          "AsAc KdQd JhTh Th9c 8s8d 7h6d 5s5c Qs9s AhKc JcJs 4h4s 9d7d KhQc Ts8s 2h2d AdQc"};
  std::ostringstream script;
  script << "set_isomorphism 0 0\nset_accuracy 0\nset_threads 2\nset_pot 0 0 " << kPot << "\nset_board " << GetParam().board;
  for (const std::string& h : order) oracle.hand.push_back(parse_cards(h));
  for (int p = 0; p < 2; ++p) {
    std::vector<std::string> listed = words(hands[p]);
    script << (p ? "\nset_range IP" : "\nset_range OOP");
    for (const std::string& h : order) {
      auto at = std::find(listed.begin(), listed.end(), h);
      oracle.weight[p].push_back(at == listed.end() ? 0.0 : 1.0 / double(1 << (at - listed.begin()) % 3));
      script << " " << oracle.weight[p].back();
    }
  }
  for (const char* line : GetParam().lines) script << "\nadd_line " << line;
  // The solver's reports end in END too: show_version's line marks the end of the run.
  oracle.engine.write(script.str() + "\nbuild_tree\ngo 100 steps\nwait_for_solver\nshow_version\n");
  for (std::string line; oracle.engine.read_line(line, 300000) && !line.starts_with("travanto ");)
    ASSERT_FALSE(line.starts_with("ERROR")) << line;
  oracle.ask("");
  std::vector<std::string> root = oracle.ask("show_node r");
  ASSERT_EQ(root.size(), 6u);
  oracle.add_node(root);  // the root comes last
  std::vector<std::string> printed = oracle.ask("calc_results");
  ASSERT_EQ(printed.size(), 5u);
  for (int p = 0; p < 2; ++p) {
    auto [mes, ev] = oracle.results(p, parse_cards(GetParam().board));
    for (auto [value, line] : {std::pair{mes, 2 + p}, {ev, p}})
      EXPECT_NEAR(value, std::strtod(printed[std::size_t(line)].substr(printed[std::size_t(line)].find(':') + 1).c_str(), nullptr), 1e-6 * kPot)
          << printed[std::size_t(line)];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spots, BestResponseOracle,
    ::testing::Values(Spot{"River", "Td 9d 6h Qc 2s", {"0 0", "0 5000 5000", "0 5000 20000 20000", "5000 5000",
                                                       "5000 20000 20000", "20000 20000"}},
                      Spot{"Turn", "Td 9d 6h Qc", {"0 0 0 0", "0 0 0 5000 5000", "0 0 5000 5000", "0 0 5000 20000 20000",
                                                   "5000 5000 5000 5000", "5000 5000 5000 20000 20000",
                                                   "5000 20000 20000"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
