"""Range notation against combos enumerated here, totals, compact text and round trips,
hand orders, boards, and ranges as the engine stores them."""

import random
import unittest

import support
from travanto.ranges import HandOrder, Range, RangeError, format_range, parse_board, parse_range

RANKS = '23456789TJQKA'


def combos(cls):
    """Every combo of a class name ("AKs", "AKo", "AK", "QQ") or of one combo ("AhKh")."""
    if len(cls) == 4:
        return {frozenset((cls[:2], cls[2:]))}
    out = {frozenset((cls[0] + s1, cls[1] + s2)) for s1 in 'cdhs' for s2 in 'cdhs' if cls[0] + s1 != cls[1] + s2}
    return {c for c in out if cls[2:] == '' or (len({h[1] for h in c}) == 1) == (cls[2] == 's')}


class RangeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with support.engine() as e:
            cls.order = e.hand_order()

    def test_items_name_the_expected_combos_and_weights(self):
        # (text, the classes or combos it names, or only its total of weighted combos, board cards taken out)
        cases = [('AA', 'AA'), ('AKs', 'AKs'), ('AK', 'AKs AKo'), ('QQ+', 'QQ KK AA'), ('99-66', '99 88 77 66'),
                 ('66-99', '99 88 77 66'), ('A2s+', ' '.join(f'A{r}s' for r in RANKS[:12])), ('K9o+', 'K9o KTo KJo KQo'),
                 ('A5s-A2s', 'A5s A4s A3s A2s'), ('65s-T9s', 'T9s 98s 87s 76s 65s'), ('J9o-75o', 'J9o T8o 97o 86o 75o'),
                 ('KQ-K9', 'KQ KJ KT K9'), ('ka', 'AKs AKo'), ('T9s+', 'T9s JTs QJs KQs AKs'), ('AhKh', 'AhKh'),
                 ('54+', '54 65 76 87 98 T9 JT QJ KQ AK'), ('KhAh', 'AhKh'), ('ahkh', 'AhKh'), ('2c2d', '2c2d'),
                 ('22+', 78), ('QQ+,AKs,A5s:0.5', 24), ('AA,KK:0.5,AKs:0.25', 10), ('', 0), (' , ', 0),
                 ('22+,A2+,K2+,Q2+,J2+,T2+,92+,82+,72+,62+,52+,42+,32', 1326), ('AA,AhAd:0.5', 5.5),
                 ('66+,A8s+,A5s-A4s,AJo+,K9s+,KQo,QTs+,JTs,96s+,85s+,75s+,65s,54s', 202), ('AhAd:0.5,AA', 6),
                 ('22+:0.5,QQ+', 48), ('AK,AKo:0', 4), ('AA,AKs', 6, 'Ah 7d 2c'), ('AA,AKs', 2, 'Ah Ad Kc')]
        for text, want, *board in cases:
            with self.subTest(text=text, board=board):
                if isinstance(want, str):
                    w = parse_range(text, self.order)
                    got = {frozenset((n[:2], n[2:])) for p, n in enumerate(self.order.names) if w[p] > 0}
                    self.assertEqual(got, set().union(*map(combos, want.split())))
                    self.assertTrue(all(v in (0, 1) for v in w))
                else:
                    self.assertEqual(Range.parse(text, self.order).combos(parse_board(*board) if board else ()), want)

    def test_compact_text_and_round_trips(self):
        cases = {'AA,KK,QQ': 'QQ+', '99,88,77': '99-77', 'AKs,AKo': 'AK', 'A2s,A3s,A4s,A5s': 'A5s-A2s',
                 'A2s+': 'A2s+', 'T9s,98s,87s': 'T9s-87s', 'AKs,KQo:0.5': 'AKs,KQo:0.5', 'AhKh': 'AhKh',
                 'AA,AhAd:0.25': 'AsAc,AsAd,AsAh,AhAc,AdAc,AhAd:0.25', '': ''}
        for text, want in cases.items():
            with self.subTest(text=text):
                got = format_range(parse_range(text, self.order), self.order)
                self.assertEqual(set(got.split(',')), set(want.split(',')))
        self.assertEqual(len(format_range([1.0] * 1326, self.order).split(',')), 13)
        rng = random.Random(7)
        for trial in range(20):    # whole classes, split classes and single combos mixed
            w = [0.0] * 1326
            for positions in self.order.by_class.values():
                mode, value = rng.randrange(3), rng.choice([0.0, 1.0, 0.5, rng.random(), 1 / 3])
                for p in positions if mode < 2 else ():
                    w[p] = value if mode == 0 else rng.choice([0.0, 1.0, 0.5, rng.random()])
            with self.subTest(trial=trial):
                self.assertEqual(parse_range(format_range(w, self.order), self.order), w)

    def test_bad_items_are_named(self):
        for text in ('AKx', 'A', 'AA:2', 'AA:x', 'AKs-QJo', 'AA-KQs', 'A5s-K2s', 'AsAs', '1A', 'QQ,ZZ+', 'AK s',
                     'AAs', 'AA:-0.5', 'AKs++', 'AKQ', 'AhKx'):
            with self.subTest(text=text):
                with self.assertRaises(RangeError) as caught:
                    parse_range(text, self.order)
                self.assertIn(text.split(',')[-1], str(caught.exception))

    def test_hand_orders_and_boards(self):
        names = list(self.order.names)
        random.Random(3).shuffle(names)
        shuffled, text = HandOrder(names), 'QQ+,AKs,A5s:0.5,T9s-65s,AhKd:0.25'
        a, b = parse_range(text, self.order), parse_range(text, shuffled)
        self.assertEqual({n: a[p] for p, n in enumerate(self.order.names)}, {n: b[p] for p, n in enumerate(names)})
        self.assertEqual(parse_range(format_range(b, shuffled), shuffled), b)
        for bad in (names[:-1], names[:-1] + [names[0]], names[:-1] + ['AsA']):
            self.assertRaises(ValueError, HandOrder, bad)
        self.assertEqual(parse_board('Td9d6h'), parse_board('td 9D, 6h'))
        for bad in ('Td 9d', 'Td 9d 6h Qc 2c 3c', 'Td 9d Td', 'Td 9d 1h', 'Td 9d 6'):
            self.assertRaises(ValueError, parse_board, bad)

    def test_engine_stores_the_parsed_weights(self):
        with support.engine() as e:
            for text in ('QQ+,AKs,A5s:0.5', 'T9s-65s:0.75,AhKh', '22+,A2+,K2+:0.125'):
                r = Range.parse(text, self.order)
                e.expect_ok(r.command('OOP'))
                self.assertEqual([float(v) for v in e.command('show_range OOP')[0].split()], r.weights, text)
