"""Betting lines from tree descriptions: small trees written out by hand, bad descriptions, and
the lines as the engine builds them."""

import unittest

import support
from travanto.lines import (TreeError, build, line_commands, lines, node_count, parse_node_count,
                            plan_from_config, plan_warnings)
from travanto.ranges import Range

RIVER, TURN, FLOP = 3, 2, 1


def generated(config, pot, stack, street=RIVER):
    return sorted(lines(plan_from_config(config, pot, stack, street)))


class LinesTest(unittest.TestCase):
    def test_hand_written_trees(self):
        # (config, pot, stack, street, every line of the tree)
        exact = [
            ({'bet': [50]}, 100, 100, RIVER, [[0, 0], [0, 50, 50], [50, 50]]),
            # 2x of a 50 bet is the whole stack
            ({'bet': [50], 'raise': ['2x'], 'raise_cap': 1}, 100, 100, RIVER,
             [[0, 0], [0, 50, 50], [0, 50, 100, 100], [50, 50], [50, 100, 100]]),
            # a pot bet of 100 leaves 20 of 120 behind, under a quarter: all-in
            ({'bet': [100], 'allin_left': 0.25}, 100, 120, RIVER, [[0, 0], [0, 120, 120], [120, 120]]),
            ({'bet': [100, 150]}, 100, 120, RIVER, [[0, 0], [0, 100, 100], [0, 120, 120], [100, 100], [120, 120]]),
            # pot 10: 30 % and 33 % are both 3 chips, 75 % rounds up to 8
            ({'bet': [30, 33, 75]}, 10, 100, RIVER, [[0, 0], [0, 3, 3], [0, 8, 8], [3, 3], [8, 8]]),
            ({'bet': [200], 'allin': True}, 100, 150, RIVER, [[0, 0], [0, 150, 150], [150, 150]]),
            ({'bet': [50], 'raise': ['3x'], 'raise_cap': 2}, 100, 1000, RIVER,
             [[0, 0]] + [p + l for p in ([], [0]) for l in ([50, 50], [50, 150, 150], [50, 150, 450, 450])]),
            ({'bet': [50], 'raise': ['3x'], 'raise_cap': 0}, 100, 1000, RIVER, [[0, 0], [0, 50, 50], [50, 50]])]
        for config, pot, stack, street, want in exact:
            with self.subTest(config=config, stack=stack):
                self.assertEqual(generated(config, pot, stack, street), sorted(want))
        # (config, pot, stack, street, lines in the tree, lines not in it)
        partial = [
            # facing 100 into 100: a pot raise is to 400, a 10 % raise is lifted to the minimum, 200
            ({'bet': [100], 'raise': ['100%', 10], 'raise_cap': 1}, 100, 1000, RIVER,
             [[100, 400, 400], [100, 200, 200]], [[100, 130, 130]]),
            # all-in while it adds at most one pot after calling
            ({'bet': [50], 'allin': 1.0}, 100, 150, RIVER, [[50, 150, 150], [0, 50, 150, 150]], [[150, 150]]),
            # no lead into the turn's bettor unless asked for
            ({'bet': [50], 'raise_cap': 0}, 100, 1000, TURN,
             [[0, 50, 50, 50, 50], [0, 50, 50, 50, 150, 150], [0, 0, 50, 50], [50, 50, 150, 150]],
             [[0, 50, 50, 150, 150]]),
            ({'bet': [50], 'raise_cap': 0, 'river': {'lead': True}}, 100, 1000, TURN, [[0, 50, 50, 150, 150]], []),
            ({'bet': [50], 'raise_cap': 0, 'river': {'lead': [25]}}, 100, 1000, TURN, [[0, 50, 50, 100, 100]],
             [[0, 50, 50, 150, 150]]),
            ({'bet': [50], 'raise_cap': 0, 'river': {'bet': [100], 'ip': {'bet': [25]}}}, 100, 1000, TURN,
             [[50, 50, 250, 250], [50, 50, 50, 100, 100]], [[50, 50, 50, 250, 250]]),
            # "e": geometric over two streets (100 (1 + 2f)^2 = 700: 82), then the 218 left; chip sizes
            ({'bet': ['e', '40c'], 'raise': ['50c'], 'raise_cap': 1}, 100, 300, TURN,
             [[82, 82, 300, 300], [40, 90, 90, 90, 90]], []),
            # an all-in call ends the hand
            ({'bet': [50], 'allin': True, 'raise_cap': 0}, 100, 200, TURN, [[200, 200]], [[200, 200, 0, 0]])]
        for config, pot, stack, street, has, lacks in partial:
            with self.subTest(config=config, stack=stack):
                got = generated(config, pot, stack, street)
                self.assertEqual([l for l in has if l not in got] + [l for l in lacks if l in got], [])

    def test_warnings_and_bad_descriptions(self):
        for config, pot, stack, street, named in [
                ({'flop': {'bet': [33]}, 'bet': [50]}, 100, 500, TURN, ['tree.flop']),
                ({'bet': [50, 75], 'raise': ['3x']}, 100, 20, RIVER, ['stack: 20']),
                ({'bet': [50]}, 100, 500, TURN, []), ({}, 100, 20, RIVER, [])]:
            with self.subTest(config=config, stack=stack):
                warnings = plan_warnings(config, plan_from_config(config, pot, stack, street))
                self.assertEqual(len(warnings), len(named), warnings)
                self.assertTrue(all(w.startswith(n) for w, n in zip(warnings, named)), warnings)
        bad = [({'bets': [50]}, 'bets'), ({'bet': ['fifty']}, 'fifty'), ({'bet': [-5]}, 'tree.bet'),
               ({'turn': {'bet': [0]}}, 'tree.turn.bet'), ({'raise': ['0.5x']}, '0.5x'), ({'raise': [True]}, 'raise'),
               ({'turn': {'ip': {'lead': True}}}, 'lead'), ({'raise_cap': -1}, 'raise_cap'),
               ({'river': {'oop': {'size': 1}}}, 'size'), ({'allin_left': 1.5}, 'allin_left'),
               ({'flop': 3}, 'tree.flop'), ({'allin': 'sometimes'}, 'allin'), ({'bet': ['xc']}, 'xc')]
        bad = [(c, 100, 100, n) for c, n in bad] + [({}, p, s, '') for p, s in ((0, 100), (100, 0), (1.5, 100),
                                                                                (100, True))]
        for config, pot, stack, named in bad:
            with self.subTest(config=config, pot=pot, stack=stack):
                with self.assertRaises(TreeError) as caught:
                    plan_from_config(config, pot, stack)
                self.assertIn(named, str(caught.exception))

    def test_engine_takes_the_lines_and_counts_the_same_tree(self):
        spots = [('Ks 7d 2c', FLOP, 100, 300, {'bet': [50], 'raise': ['3x'], 'raise_cap': 1}),
                 ('Td 9d 6h Qc', TURN, 200, 900, {'bet': [33, 75], 'raise': ['3x'], 'allin': True, 'raise_cap': 2,
                                                  'allin_left': 0.25, 'river': {'lead': True}}),
                 ('Td 9d 6h Qc 2s', RIVER, 100, 250, {'bet': [25, 60, 150], 'raise': ['2.5x', '100%'],
                                                      'allin': 1.5, 'raise_cap': 3})]
        with support.engine() as e:
            r = Range.parse('22+,A2s+,K9s+,QTs+,JTs,ATo+,KJo+', e.hand_order())
            e.expect_ok(r.command('OOP'))
            e.expect_ok(r.command('IP'))
            for board, street, pot, stack, config in spots:
                with self.subTest(board=board):
                    tree = build(plan_from_config(config, pot, stack, street))
                    commands = line_commands(tree)
                    self.assertEqual(len(commands), len(set(commands)))
                    for command in ['clear_lines', f'set_pot 0 0 {pot}', f'set_board {board}'] + commands:
                        e.expect_ok(command)
                    e.expect_ok('build_tree')
                    self.assertEqual(parse_node_count(e.block('node_count')), node_count(tree, street))
                    self.assertEqual(e.command('show_effective_stack'), [str(stack)])
                    kids = [l for l in e.block('show_children r:0') if l.startswith('r:0:')]
                    self.assertEqual(kids, ['r:0:c'] + [f'r:0:b{c.amount}' for c in tree.children[1:]])
