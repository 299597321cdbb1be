import os
import unittest
import xml.etree.ElementTree as ET

import support
from travanto import cli
from travanto.report import EMPTY_COLOUR, INNER, action_colours, grid_classes, render
from travanto.solve import default_nodes, read_node, solve
from travanto.spot import SpotError, load_spot, parse_spot

SPOT = '''board = "Ks 7d 2c 5h"\npot = 100\nstack = 400
[ranges]\noop = "77+,A9s+,KTs+,AJo+,K7s,75s,55:0.5"\nip = "22+,A2s+,K9s+,QTs+,ATo+,KJo+:0.5"
[tree]\nbet = [50, 100]\nraise = ["3x"]\nallin = true\nraise_cap = 1
[solver]\nthreads = 2\naccuracy = 1.0\nmax_iterations = 300
[report]\nnodes = ["r:0", "r:0:c", "r:0:b50"]
'''

RANKS = '23456789TJQKA'
BOARD = {'Ks', '7d', '2c', '5h'}


def cell_of(name):
    """The grid class of a hand name such as "AhKd", worked out here from the text."""
    a, b = sorted((name[:2], name[2:]), key=lambda c: -RANKS.index(c[0]))
    return a[0] * 2 if a[0] == b[0] else a[0] + b[0] + 'so'[a[1] != b[1]]


def local(tag):
    return tag.rsplit('}', 1)[-1]


class ReportTest(support.TempDirCase):

    @classmethod
    def setUpClass(cls):
        cls.spot = load_spot(os.path.join(support.class_folder(cls, SPOT), 'spot.toml'))
        cls.engine = e = support.engine()
        cls.addClassCleanup(e.close)
        cls.order, cls.solved = e.hand_order(), solve(e, cls.spot)
        cls.nodes = [read_node(e, p, cls.spot.stack) for p in cls.spot.nodes]
        cls.page = render(cls.spot, cls.solved, cls.nodes, cls.order, ('x', 'y'))
        cls.root = ET.fromstring(cls.page)
        cls.printed = {}      # what the engine prints, asked again for the test
        for node in cls.nodes:
            strategy = [[float(v) for v in line.split()] for line in e.command(f'show_strategy {node.path}')[:-1]]
            reach = e.command(f'show_range {("OOP", "IP")[node.player]} {node.path}')[0].split()
            cls.printed[node.path] = (strategy, [float(v) for v in reach])

    def test_solved_and_self_contained(self):
        r = self.solved.results
        self.assertIn(self.solved.stop_reason, ('required accuracy reached', 'required number of steps done'))
        self.assertTrue(r.iterations <= 300 and abs(r.ev_oop + r.ev_ip - 100) < 0.01, r)
        self.assertEqual(local(self.root.tag), 'html')
        self.assertFalse({local(el.tag) for el in self.root.iter()} & {'script', 'link', 'img'})
        for el in self.root.iter():
            self.assertTrue(all(el.attrib.get(k, '#').startswith('#') for k in ('src', 'href')), el.attrib)
        self.assertFalse([t for t in ('url(', '@import', '@font-face') if t in self.page])
        self.assertEqual(default_nodes(self.engine), ['r:0', 'r:0:c', 'r:0:b50', 'r:0:b100', 'r:0:b400'])

    @unittest.skipIf(support.CHROMIUM is None, 'chromium not installed (make check-report installs it)')
    def test_grid_as_chromium_draws_it(self):
        # Every action some cell of the first grid shows most is drawn in its colour, and classes out of range empty.
        node, shown = self.nodes[0], {EMPTY_COLOUR}
        colours = action_colours(node, self.spot.stack)
        for _, _, name in grid_classes():
            positions = [p for p in self.order.by_class[name] if node.reach[p] > 0 and not self.order.touches(p, set(node.board))]
            freqs = node.frequencies(positions) if positions else None
            shown |= {colours[max(range(len(freqs)), key=freqs.__getitem__)].lower()} if positions else set()
        self.assertGreater(len(shown), 2)
        self.assertLessEqual(shown, self.screenshot_colours(self.write('report.html', self.page), 1200, 1300))

    def test_grids_and_tables_show_the_printed_strategy(self):
        sections = [s for s in self.root.iter() if local(s.tag) == 'section']
        self.assertEqual([s.attrib['data-path'] for s in sections], self.spot.nodes)
        for section, node in zip(sections, self.nodes):
            path = section.attrib['data-path']
            strategy, reach = self.printed[path]
            colours = {int(k.attrib['data-action']): k.attrib['data-colour']
                       for k in section.iter() if k.attrib.get('class') == 'key'}
            self.assertEqual(len(set(colours.values())), len(strategy))
            grid = next(el for el in section.iter() if 'strategy-grid' in el.attrib.get('class', ''))
            cells = [g for g in grid if 'data-cell' in g.attrib]
            self.assertEqual(len(cells), 169)
            in_range = 0
            for g in cells:
                name = g.attrib['data-cell']
                hands = [p for p, n in enumerate(self.order.names) if cell_of(n) == name and reach[p] > 0
                         and n[:2] not in BOARD and n[2:] not in BOARD]
                in_range += bool(hands)
                got, x = [0.0] * len(strategy), None
                for bar in (r for r in g if 'data-action' in r.attrib):   # in action order, in the key's colours
                    a = int(bar.attrib['data-action'])
                    self.assertEqual(bar.attrib['fill'], colours[a], name)
                    self.assertAlmostEqual(float(bar.attrib['x']), x or float(bar.attrib['x']), places=2)
                    x = float(bar.attrib['x']) + float(bar.attrib['width'])
                    got[a] += float(bar.attrib['width']) / INNER
                total = sum(reach[p] for p in hands) or 1
                for a, s in enumerate(strategy):
                    self.assertAlmostEqual(got[a], sum(reach[p] * s[p] for p in hands) / total, delta=1e-3,
                                           msg=f'{path} {name} action {a}')
            self.assertGreater(in_range, 10, path)
            tables = {t.attrib['class']: [r for r in t.iter() if local(r.tag) == 'tr'][1:]
                      for t in section.iter() if local(t.tag) == 'table'}
            self.assertEqual(len(tables['actions']), len(node.actions) + 1)
            self.assertEqual(len(tables['hands']), len(node.in_play(self.order)))
            self.assertAlmostEqual(sum(node.frequencies(node.in_play(self.order))), 1.0, delta=1e-6)


class CommandLineTest(support.TempDirCase):

    def test_solve_writes_the_report_or_names_the_fault(self):
        base = 'board = "Ks 7d 2c"\npot = 100\nstack = 100\n[ranges]\noop = "AA"\nip = "KK"\n'
        river = base.replace('Ks 7d 2c', 'Ks 7d 2c 5h 9s').replace('"KK"', '"TT+,AQ+,KTs+"')
        turn = base.replace('Ks 7d 2c', 'Ks 7d 2c 3h').replace('stack = 100', 'stack = 20')
        report = self.path('out/report.html')
        # (spot text, exit status, texts on stderr); warnings name what the spot will not get
        cases = [(river + '[tree]\nbet = [50]\nallin = true\n[solver]\nmax_iterations = 100\n', 0, ['iterations']),
                 (turn + '[tree]\nbet = [50]\n[tree.flop]\nbet = [33]\n[solver]\nmax_iterations = 1\n', 0,
                  ['warning', 'tree.flop', 'stack: 20 behind a pot of 100']),
                 (base.replace('"AA"', '"AA,AKx"'), 2, ['AKx']), (base + 'pot = = 3\n', 2, ['TOML']),
                 (base.replace('"AA"', '"KsKd"'), 2, ['ranges.oop']),
                 (base + '[tree]\nbet = [50]\n[report]\nnodes = ["r:0:b77"]\n', 1, ['report node r:0:b77 is not a node']),
                 (base + '[tree]\nbet = [50]\n[report]\nnodes = ["r:0:c:c"]\n', 1, ['not a decision']),
                 (None, 2, ['absent.toml'])]
        for i, (text, status, named) in enumerate(cases):
            with self.subTest(case=i, named=named):
                spot = self.write(f'{i}.toml', text) if text else self.path('absent.toml')
                code, out, err = support.run_main(cli.main, spot, '-o', report, '--engine', support.ENGINE)
                self.assertEqual((code, os.path.exists(report)), (status, status == 0), err)
                self.assertTrue(all(n in err for n in named), err)
                if status < 2:                                       # a refused spot is not solved
                    self.assertEqual('iterations' in err, status == 0)
                if status == 0:
                    self.assertIn(report, out)
                    ET.parse(report)
                    self.assertFalse(os.path.exists(report + '.tmp'))
                    os.remove(report)


class SpotTest(unittest.TestCase):

    def test_values_checked(self):
        base = {'board': 'Ks 7d 2c', 'pot': 100, 'stack': 100, 'ranges': {'oop': 'AA', 'ip': 'KK'}}
        spot = parse_spot(base)
        self.assertEqual((spot.start_street, spot.accuracy, spot.compression), (1, 0.5, 'auto'))
        self.assertEqual(parse_spot(dict(base, solver={'compression': 2})).compression, 'medium')
        bad = [({'pot': 0}, 'pot'), ({'stack': 'deep'}, 'stack'), ({'board': 7}, 'board'),
               ({'ranges': {'oop': 'AA'}}, 'ranges.ip'), ({'extra': 1}, 'extra'),
               ({'solver': {'accuracy': -1}}, 'accuracy'), ({'solver': {'compression': 'huge'}}, 'compression'),
               ({'solver': {'max_iterations': 0}}, 'max_iterations'), ({'solver': {'threads': 1.5}}, 'threads'),
               ({'report': {'nodes': ['x:0']}}, 'report.nodes'), ({'stack': None}, 'stack'), ({'board': 'Ks 7d'}, 'board'),
               ({'tree': {'raise': ['half']}}, 'half')]
        for change, named in bad:
            with self.subTest(change=change):
                data = {k: v for k, v in dict(base, **change).items() if v is not None}
                with self.assertRaisesRegex(SpotError, f'spot.toml.*{named}|{named}.*spot.toml'):
                    parse_spot(data, 'spot.toml')

