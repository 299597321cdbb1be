import unittest

import support
from travanto.lines import (TreeError, build, line_commands, lines, node_count,
                            parse_node_count, plan_from_config, plan_warnings)
from travanto.ranges import Range

RIVER, TURN, FLOP = 3, 2, 1


def generated(config, pot, stack, street=RIVER):
    return sorted(lines(plan_from_config(config, pot, stack, street)))


class HandEnumeratedTreesTest(unittest.TestCase):
    """Small trees written out by hand, action by action."""

    def test_one_bet_size_on_the_river(self):
        # OOP checks or bets 50; after a check IP checks or bets 50; bets are called (folds
        # are the engine's automatic answers).
        self.assertEqual(generated({'bet': [50]}, 100, 100),
                         sorted([[0, 0], [0, 50, 50], [50, 50]]))

    def test_raise_that_reaches_the_stack_is_all_in(self):
        # 2x of a 50 bet is 100, the whole stack; the cap of one raise stops there anyway.
        self.assertEqual(generated({'bet': [50], 'raise': ['2x'], 'raise_cap': 1}, 100, 100),
                         sorted([[0, 0], [0, 50, 50], [0, 50, 100, 100], [50, 50],
                                 [50, 100, 100]]))

    def test_all_in_clamping_by_stack_left(self):
        # A pot-sized bet of 100 leaves 20 of 120 behind, under a quarter: it becomes all-in.
        self.assertEqual(generated({'bet': [100], 'allin_left': 0.25}, 100, 120),
                         sorted([[0, 0], [0, 120, 120], [120, 120]]))
        # Without the rule the bet stays, and a bet above the stack is all-in.
        self.assertEqual(generated({'bet': [100, 150]}, 100, 120),
                         sorted([[0, 0], [0, 100, 100], [0, 120, 120], [100, 100],
                                 [120, 120]]))

    def test_sizes_that_round_to_one_amount_merge(self):
        # pot 10: 30 % and 33 % are both 3 chips, 75 % rounds 7.5 up to 8.
        self.assertEqual(generated({'bet': [30, 33, 75]}, 10, 100),
                         sorted([[0, 0], [0, 3, 3], [0, 8, 8], [3, 3], [8, 8]]))
        # an explicit all-in size equal to a clamped bet is one action
        self.assertEqual(generated({'bet': [200], 'allin': True}, 100, 150),
                         sorted([[0, 0], [0, 150, 150], [150, 150]]))

    def test_raise_cap(self):
        # 3x raises: 50, 150, 450; with a cap of two raises the 450 can only be called.
        got = generated({'bet': [50], 'raise': ['3x'], 'raise_cap': 2}, 100, 1000)
        want = []
        for prefix in ([], [0]):
            want += [prefix + [50, 50], prefix + [50, 150, 150], prefix + [50, 150, 450, 450]]
        self.assertEqual(got, sorted(want + [[0, 0]]))
        got = generated({'bet': [50], 'raise': ['3x'], 'raise_cap': 0}, 100, 1000)
        self.assertEqual(got, sorted([[0, 0], [0, 50, 50], [50, 50]]))

    def test_pot_raise_and_minimum_raise(self):
        # Facing 100 into 100: a pot raise is to 100 + 300 = 400; a 10 % raise (to 130) is
        # lifted to the minimum raise, 200.
        got = generated({'bet': [100], 'raise': ['100%', 10], 'raise_cap': 1}, 100, 1000)
        self.assertIn([100, 400, 400], got)
        self.assertIn([100, 200, 200], got)
        self.assertNotIn([100, 130, 130], got)

    def test_all_in_threshold(self):
        # all-in offered while it adds at most one pot (after calling): OOP's all-in would
        # add 150 into 100, IP's all-in raise over a 50 bet adds 150 into 200.
        got = generated({'bet': [50], 'allin': 1.0}, 100, 150)
        self.assertNotIn([150, 150], got)
        self.assertIn([50, 150, 150], got)
        self.assertIn([0, 50, 150, 150], got)

    def test_leads(self):
        turn_bet_called = [0, 50, 50]          # turn: OOP checks, IP bets 50, OOP calls
        base = {'bet': [50], 'raise_cap': 0}
        no_lead = generated(base, 100, 1000, TURN)
        self.assertIn(turn_bet_called + [50, 50], no_lead)          # river checked through
        self.assertIn(turn_bet_called + [50, 150, 150], no_lead)    # IP bets 100 into 200
        self.assertNotIn(turn_bet_called + [150, 150], no_lead)     # no lead into IP
        self.assertIn([0, 0, 50, 50], no_lead)      # after the turn checks through OOP bets
        self.assertIn([50, 50, 150, 150], no_lead)  # OOP was the turn's bettor
        lead = generated(dict(base, river={'lead': True}), 100, 1000, TURN)
        self.assertEqual(sorted(set(map(tuple, lead)) - set(map(tuple, no_lead))),
                         [tuple(turn_bet_called + [150, 150])])
        sized = generated(dict(base, river={'lead': [25]}), 100, 1000, TURN)
        self.assertIn(turn_bet_called + [100, 100], sized)          # 25 % of 200
        self.assertNotIn(turn_bet_called + [150, 150], sized)

    def test_per_street_and_player_overrides(self):
        config = {'bet': [50], 'raise_cap': 0, 'river': {'bet': [100], 'ip': {'bet': [25]}}}
        got = generated(config, 100, 1000, TURN)
        self.assertIn([50, 50, 250, 250], got)           # OOP river bet: the pot, 200
        self.assertIn([50, 50, 50, 100, 100], got)       # IP river bet: 25 % of 200
        self.assertNotIn([50, 50, 50, 250, 250], got)

    def test_chip_and_geometric_sizes(self):
        # Pot 100, stack 300 on the turn: "e" bets f of the pot with 100 (1 + 2f)^2 = 700, 82;
        # on the river, after a call, the same share is the 218 left: all-in.
        got = generated({'bet': ['e', '40c'], 'raise': ['50c'], 'raise_cap': 1}, 100, 300, TURN)
        self.assertIn([82, 82, 300, 300], got)
        self.assertIn([40, 90, 90, 90, 90], got)        # a bet of 40 chips, raised by 50
        with self.assertRaises(TreeError):
            plan_from_config({'bet': ['xc']}, 100, 100)

    def test_warnings_name_what_the_tree_ignores(self):
        cases = [({'flop': {'bet': [33]}, 'bet': [50]}, 100, 500, TURN, ['tree.flop']),
                 ({'bet': [50, 75], 'raise': ['3x']}, 100, 20, RIVER, ['stack: 20']),
                 ({'bet': [50]}, 100, 500, TURN, []), ({}, 100, 20, RIVER, [])]
        for config, pot, stack, street, named in cases:
            with self.subTest(config=config, stack=stack):
                warnings = plan_warnings(config, plan_from_config(config, pot, stack, street))
                self.assertEqual(len(warnings), len(named), warnings)
                for w, name in zip(warnings, named):
                    self.assertTrue(w.startswith(name), w)

    def test_all_in_call_ends_the_hand(self):
        got = generated({'bet': [50], 'allin': True, 'raise_cap': 0}, 100, 200, TURN)
        self.assertIn([200, 200], got)                   # no river action after all-in
        self.assertFalse(any(line[:2] == [200, 200] and len(line) > 2 for line in got))


class DescriptionErrorsTest(unittest.TestCase):

    def test_bad_descriptions_name_the_key(self):
        cases = [({'bets': [50]}, 'bets'), ({'bet': ['fifty']}, 'fifty'),
                 ({'bet': [-5]}, 'tree.bet'), ({'turn': {'bet': [0]}}, 'tree.turn.bet'), ({'raise': ['0.5x']}, '0.5x'),
                 ({'raise': [True]}, 'raise'), ({'turn': {'ip': {'lead': True}}}, 'lead'),
                 ({'raise_cap': -1}, 'raise_cap'), ({'river': {'oop': {'size': 1}}}, 'size'),
                 ({'allin_left': 1.5}, 'allin_left'), ({'flop': 3}, 'tree.flop'),
                 ({'allin': 'sometimes'}, 'allin')]
        for config, named in cases:
            with self.subTest(config=config):
                with self.assertRaises(TreeError) as caught:
                    plan_from_config(config, 100, 100)
                self.assertIn(named, str(caught.exception))
        for pot, stack in ((0, 100), (100, 0), (1.5, 100), (100, True)):
            with self.assertRaises(TreeError):
                plan_from_config({}, pot, stack)


class EngineLinesTest(unittest.TestCase):
    """Generated lines as the engine takes them: every line accepted, the tree it builds
    counted by node_count as the generated tree counts."""

    SPOTS = [
        ('Ks 7d 2c', FLOP, 100, 300, {'bet': [50], 'raise': ['3x'], 'raise_cap': 1}),
        ('Td 9d 6h Qc', TURN, 200, 900, {'bet': [33, 75], 'raise': ['3x'], 'allin': True,
                                         'raise_cap': 2, 'allin_left': 0.25,
                                         'river': {'lead': True}}),
        ('Td 9d 6h Qc 2s', RIVER, 100, 250, {'bet': [25, 60, 150], 'raise': ['2.5x', '100%'],
                                             'allin': 1.5, 'raise_cap': 3}),
    ]

    def test_lines_accepted_and_counts_agree(self):
        with support.engine() as e:
            order = e.hand_order()
            r = Range.parse('22+,A2s+,K9s+,QTs+,JTs,ATo+,KJo+', order)
            e.expect_ok(r.command('OOP'))
            e.expect_ok(r.command('IP'))
            for board, street, pot, stack, config in self.SPOTS:
                with self.subTest(board=board):
                    plan = plan_from_config(config, pot, stack, street)
                    tree = build(plan)
                    e.expect_ok('clear_lines')
                    e.expect_ok(f'set_pot 0 0 {pot}')
                    e.expect_ok(f'set_board {board}')
                    commands = line_commands(tree)
                    self.assertEqual(len(commands), len(set(commands)))
                    for command in commands:
                        e.expect_ok(command)
                    e.expect_ok('build_tree')
                    self.assertEqual(parse_node_count(e.block('node_count')),
                                     node_count(tree, street))
                    params = e.block('show_tree_params')
                    self.assertEqual(params[1], f'pot: 0 0 {pot}')
                    self.assertEqual(sorted(params[0].split()[1:]), sorted(board.split()))
                    self.assertEqual(e.command('show_effective_stack'), [str(stack)])
                    # the root's actions are the generated ones
                    kids = [l for l in e.block('show_children r:0') if l.startswith('r:0:')]
                    want = ['r:0:c'] + [f'r:0:b{c.amount}' for c in tree.children[1:]]
                    self.assertEqual(kids, want)

    def test_example_tree_is_the_example_script(self):
        """The 25 hand-written lines of examples/turn_spot.txt come out of three settings."""
        plan = plan_from_config({'bet': [50], 'allin': True, 'lead': True}, 200, 900, TURN)
        with open(f'{support.REPO}/examples/turn_spot.txt') as f:
            want = sorted(l.strip() for l in f if l.startswith('add_line'))
        self.assertEqual(sorted(line_commands(plan)), want)


if __name__ == '__main__':
    unittest.main()
