import os
import random
import unittest

import support
from travanto.ranges import (HandOrder, Range, RangeError, format_range, parse_board,
                             parse_range)

RANKS = '23456789TJQKA'


def names_of(weights, order, value=None):
    """The hand names with a weight (or with exactly `value`)."""
    return {order.names[p] for p, w in enumerate(weights)
            if (w > 0 if value is None else w == value)}


def expected_class(name):
    """Every combo of a class name, written independently of the parser: all pairs of cards
    of the two ranks, filtered by suitedness."""
    suits = 'cdhs'
    r1, r2 = name[0], name[1]
    kind = name[2] if len(name) == 3 else ''
    out = set()
    for s1 in suits:
        for s2 in suits:
            a, b = r1 + s1, r2 + s2
            if a == b:
                continue
            if r1 == r2 and s1 >= s2:
                continue
            if kind == 's' and s1 != s2 or kind == 'o' and s1 == s2:
                continue
            out.add(frozenset((a, b)))
    return out


def as_sets(names):
    return {frozenset((n[:2], n[2:])) for n in names}


class NotationTest(unittest.TestCase):
    """Each notation against combos enumerated here, and back to its shortest text."""

    @classmethod
    def setUpClass(cls):
        cls.order = support.hand_order()

    def hands(self, text):
        return as_sets(names_of(parse_range(text, self.order), self.order))

    def test_items_name_the_expected_combos(self):
        cases = {
            'AA': ['AA'], 'AKs': ['AKs'], 'AKo': ['AKo'], 'AK': ['AKs', 'AKo'],
            'QQ+': ['QQ', 'KK', 'AA'], '99-66': ['99', '88', '77', '66'],
            '66-99': ['99', '88', '77', '66'],
            'A2s+': ['A%ss' % r for r in RANKS[:12]],
            'K9o+': ['K9o', 'KTo', 'KJo', 'KQo'],
            'A5s-A2s': ['A5s', 'A4s', 'A3s', 'A2s'],
            'T9s-65s': ['T9s', '98s', '87s', '76s', '65s'],
            '65s-T9s': ['T9s', '98s', '87s', '76s', '65s'],
            'J9o-75o': ['J9o', 'T8o', '97o', '86o', '75o'],
            'KQ-K9': ['KQs', 'KJs', 'KTs', 'K9s', 'KQo', 'KJo', 'KTo', 'K9o'],
            'ka': ['AKs', 'AKo'], 't9s': ['T9s'],
            'T9s+': ['T9s', 'JTs', 'QJs', 'KQs', 'AKs'], 'KQo+': ['KQo', 'AKo'],
            '54+': ['54s', '65s', '76s', '87s', '98s', 'T9s', 'JTs', 'QJs', 'KQs', 'AKs',
                    '54o', '65o', '76o', '87o', '98o', 'T9o', 'JTo', 'QJo', 'KQo', 'AKo'],
        }
        for text, classes in cases.items():
            with self.subTest(text=text):
                want = set().union(*(expected_class(c.replace('%s', '')) for c in classes))
                self.assertEqual(self.hands(text), want)

    def test_single_combos_in_either_card_order_and_case(self):
        for text in ('AhKh', 'KhAh', 'ahkh', 'AHKH'):
            with self.subTest(text=text):
                self.assertEqual(self.hands(text), {frozenset(('Ah', 'Kh'))})
        self.assertEqual(self.hands('2c2d'), {frozenset(('2c', '2d'))})

    def test_known_totals(self):
        totals = {'22+': 78, 'AKs': 4, 'AKo': 12, 'AK': 16, 'A2s+': 48, 'T9s-65s': 20,
                  'QQ+,AKs,A5s:0.5': 24, 'AA,KK:0.5,AKs:0.25': 10,
                  '22+,A2+,K2+,Q2+,J2+,T2+,92+,82+,72+,62+,52+,42+,32': 1326,
                  '66+,A8s+,A5s-A4s,AJo+,K9s+,KQo,QTs+,JTs,96s+,85s+,75s+,65s,54s': 202,
                  '': 0, ' , ': 0}
        for text, combos in totals.items():
            with self.subTest(text=text):
                self.assertEqual(Range.parse(text, self.order).combos(), combos)

    def test_board_cards_leave_the_count(self):
        r = Range.parse('AA,AKs', self.order)
        self.assertEqual(r.combos(parse_board('Ah 7d 2c')), 3 + 3)
        self.assertEqual(r.combos(parse_board('Ah Ad Kc')), 1 + 1)

    def test_later_items_override_earlier(self):
        order = self.order
        w = parse_range('AA,AhAd:0.5', order)
        self.assertEqual(names_of(w, order, 0.5), {'AhAd'})
        self.assertEqual(len(names_of(w, order, 1.0)), 5)
        w = parse_range('AhAd:0.5,AA', order)
        self.assertEqual(len(names_of(w, order, 1.0)), 6)
        w = parse_range('22+:0.5,QQ+', order)
        self.assertEqual(sum(w), 3 * 6 + 10 * 6 * 0.5)
        w = parse_range('AK,AKo:0', order)
        self.assertEqual(names_of(w, order), {n for n in order.names if n[0] == 'A' and
                                              n[2] == 'K' and n[1] == n[3]})

    def test_compact_text_is_shortest_notation(self):
        cases = {'QQ+': 'QQ+', 'AA,KK,QQ': 'QQ+', '99,88,77': '99-77', 'AKs,AKo': 'AK',
                 'A2s,A3s,A4s,A5s': 'A5s-A2s', 'A2s+': 'A2s+', 'T9s,98s,87s': 'T9s-87s',
                 'AKs,KQo:0.5': 'AKs,KQo:0.5', 'AhKh': 'AhKh', 'AA,AhAd:0.25': 'AsAc,AsAd,'
                 'AsAh,AhAc,AdAc,AhAd:0.25'}
        for text, want in cases.items():
            with self.subTest(text=text):
                got = format_range(parse_range(text, self.order), self.order)
                self.assertEqual(set(got.split(',')), set(want.split(',')))
        self.assertEqual(format_range([0.0] * 1326, self.order), '')
        self.assertEqual(len(format_range([1.0] * 1326, self.order).split(',')), 13)

    def test_round_trips(self):
        order = self.order
        for text in ('QQ+,AKs,A5s:0.5', 'T9s-65s,A2s+:0.75', 'AhKh,AsKs:0.5,22',
                     '66+,A8s+,A5s-A4s,AJo+,K9s+,KQo,QTs+,JTs,96s+,85s+,75s+,65s,54s',
                     'QQ-22,AQs-A2s,ATo+,K5s+,KJo+,Q8s+,J8s+,T7s+,96s+,86s+,75s+,64s+,53s+'):
            with self.subTest(text=text):
                w = parse_range(text, order)
                self.assertEqual(parse_range(format_range(w, order), order), w)
        rng = random.Random(7)
        for trial in range(20):
            choices = [0.0, 0.0, 1.0, 0.5, rng.random(), 1 / 3]
            # whole classes, split classes and single combos mixed
            w = [0.0] * 1326
            for cls, positions in order.by_class.items():
                mode = rng.randrange(3)
                if mode == 0:
                    value = rng.choice(choices)
                    for p in positions:
                        w[p] = value
                elif mode == 1:
                    for p in positions:
                        w[p] = rng.choice(choices)
            with self.subTest(trial=trial):
                self.assertEqual(parse_range(format_range(w, order), order), w)

    def test_bad_items_are_named(self):
        bad = {'AKx': 'AKx', 'A': "'A'", 'AA:2': 'AA:2', 'AA:x': 'AA:x', 'AKs-QJo': 'AKs-QJo',
               'AA-KQs': 'AA-KQs', 'A5s-K2s': 'A5s-K2s', 'AsAs': 'AsAs', '1A': '1A',
               'QQ,ZZ+': 'ZZ+', 'AK s': 'AK s', 'AAs': 'AAs', 'AA:-0.5': 'AA:-0.5',
               'AKs++': 'AKs++', 'AKQ': 'AKQ', 'AhKx': 'AhKx'}
        for text, named in bad.items():
            with self.subTest(text=text):
                with self.assertRaises(RangeError) as caught:
                    parse_range(text, self.order)
                self.assertIn(named, str(caught.exception))


class HandOrderTest(unittest.TestCase):

    def test_parsing_follows_the_order_given(self):
        """Nothing assumes a fixed order: a shuffled order gives the same hands their
        weights at their new positions."""
        order = support.hand_order()
        shuffled_names = list(order.names)
        random.Random(3).shuffle(shuffled_names)
        shuffled = HandOrder(shuffled_names)
        text = 'QQ+,AKs,A5s:0.5,T9s-65s,AhKd:0.25'
        a, b = parse_range(text, order), parse_range(text, shuffled)
        self.assertEqual({n: a[p] for p, n in enumerate(order.names)},
                         {n: b[p] for p, n in enumerate(shuffled.names)})
        self.assertEqual(parse_range(format_range(b, shuffled), shuffled), b)

    def test_bad_orders_are_refused(self):
        names = support.hand_order().names
        for bad in (names[:-1], names[:-1] + [names[0]], names[:-1] + ['AsA']):
            with self.assertRaises(ValueError):
                HandOrder(bad)

    def test_boards(self):
        self.assertEqual(parse_board('Td9d6h'), parse_board('td 9D, 6h'))
        for bad in ('Td 9d', 'Td 9d 6h Qc 2c 3c', 'Td 9d Td', 'Td 9d 1h', 'Td 9d 6'):
            with self.assertRaises(ValueError):
                parse_board(bad)


class EngineRangeTest(support.TempDirCase):
    """Ranges as the engine stores them."""

    def test_show_range_returns_the_parsed_weights(self):
        with support.engine() as e:
            order = e.hand_order()
            for text in ('QQ+,AKs,A5s:0.5', 'T9s-65s:0.75,AhKh', '22+,A2+,K2+:0.125'):
                r = Range.parse(text, order)
                e.expect_ok(r.command('OOP'))
                shown = [float(v) for v in e.command('show_range OOP')[0].split()]
                self.assertEqual(shown, r.weights, text)

    def test_example_script_matches_its_range_text(self):
        """examples/turn_spot.txt gives its ranges as weights and as text in a comment."""
        path = os.path.join(support.REPO, 'examples', 'turn_spot.txt')
        with open(path) as f:
            lines = f.read().splitlines()
        comment = ' '.join(l.lstrip('# ') for l in lines[:3])
        oop = comment.split('OOP ')[1].split(';')[0].strip()
        ip = comment.split('IP ')[1].strip().rstrip('.')
        order = support.hand_order()
        for line in lines:
            if line.startswith('set_range'):
                tokens = line.split()
                text = oop if tokens[1] == 'OOP' else ip
                self.assertEqual(parse_range(text, order), [float(t) for t in tokens[2:]])


if __name__ == '__main__':
    unittest.main()
