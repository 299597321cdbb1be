import contextlib
import io
import math
import os
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ET

import support
from travanto import cli
from travanto.report import INNER, render
from travanto.solve import Progress, default_nodes, read_node, solve
from travanto.spot import SpotError, load_spot, parse_spot

SPOT = '''
board = "Ks 7d 2c 5h"
pot = 100
stack = 400
[ranges]
oop = "77+,A9s+,KTs+,AJo+,K7s,75s,55:0.5"
ip = "22+,A2s+,K9s+,QTs+,ATo+,KJo+:0.5"
[tree]
bet = [50, 100]
raise = ["3x"]
allin = true
raise_cap = 1
[solver]
threads = 2
accuracy = 1.0
max_iterations = 300
[report]
nodes = ["r:0", "r:0:c", "r:0:b50"]
'''

SUITS = 'cdhs'
RANKS = '23456789TJQKA'


def cell_of(name):
    """The grid class of a hand name such as "AhKd", worked out here from the text."""
    a, b = name[:2], name[2:]
    if RANKS.index(a[0]) < RANKS.index(b[0]):
        a, b = b, a
    if a[0] == b[0]:
        return a[0] * 2
    return a[0] + b[0] + ('s' if a[1] == b[1] else 'o')


def local(tag):
    return tag.rsplit('}', 1)[-1]


class ReportTest(support.TempDirCase):

    @classmethod
    def setUpClass(cls):
        cls.tmpdir = tempfile.mkdtemp(prefix='travanto-report-')
        path = os.path.join(cls.tmpdir, 'spot.toml')
        with open(path, 'w') as f:
            f.write(SPOT)
        cls.spot = load_spot(path)
        cls.engine = support.engine()
        e = cls.engine
        cls.order = e.hand_order()
        cls.solved = solve(e, cls.spot)
        cls.nodes = [read_node(e, p, cls.spot.stack) for p in cls.spot.nodes]
        cls.page = render(cls.spot, cls.solved, cls.nodes, cls.order, ('x', 'y'))
        cls.report = os.path.join(cls.tmpdir, 'report.html')
        with open(cls.report, 'w') as f:
            f.write(cls.page)
        # what the engine prints, asked again for the test
        cls.printed = {}
        for node in cls.nodes:
            player = ('OOP', 'IP')[node.player]
            strategy = [[float(v) for v in line.split()]
                        for line in e.command(f'show_strategy {node.path}')[:-1]]
            reach = [float(v) for v in e.command(f'show_range {player} {node.path}')[0].split()]
            cls.printed[node.path] = (strategy, reach)

    @classmethod
    def tearDownClass(cls):
        cls.engine.close()
        shutil.rmtree(cls.tmpdir, ignore_errors=True)

    def test_solved_to_the_spot_rule(self):
        self.assertIn(self.solved.stop_reason, ('required accuracy reached',
                                                'required number of steps done'))
        self.assertLessEqual(self.solved.results.iterations, 300)
        self.assertAlmostEqual(self.solved.results.ev_oop + self.solved.results.ev_ip, 100,
                               delta=0.01)

    def test_page_parses_and_is_self_contained(self):
        root = ET.parse(self.report).getroot()
        self.assertEqual(local(root.tag), 'html')
        tags = {local(el.tag) for el in root.iter()}
        self.assertNotIn('script', tags)
        self.assertNotIn('link', tags)
        self.assertNotIn('img', tags)
        for el in root.iter():
            for key, value in el.attrib.items():
                if key in ('src', 'href'):
                    self.assertTrue(value.startswith('#'), value)
        self.assertNotIn('url(', self.page)
        self.assertNotIn('@import', self.page)
        self.assertNotIn('@font-face', self.page)
        grids = [el for el in root.iter() if 'strategy-grid' in el.attrib.get('class', '')]
        self.assertEqual([g.attrib['data-path'] for g in grids], self.spot.nodes)

    def test_grid_cells_show_the_printed_strategy(self):
        root = ET.parse(self.report).getroot()
        board = {'Ks', '7d', '2c', '5h'}
        for section in root.iter():
            if local(section.tag) != 'section':
                continue
            path = section.attrib['data-path']
            strategy, reach = self.printed[path]
            colours = {int(k.attrib['data-action']): k.attrib['data-colour']
                       for k in section.iter() if k.attrib.get('class') == 'key'}
            self.assertEqual(len(colours), len(strategy))
            self.assertEqual(len(set(colours.values())), len(colours))
            grid = next(el for el in section.iter()
                        if 'strategy-grid' in el.attrib.get('class', ''))
            cells = [g for g in grid if 'data-cell' in g.attrib]
            self.assertEqual(len(cells), 169)
            in_range = 0
            for g in cells:
                name = g.attrib['data-cell']
                hands = [p for p, n in enumerate(self.order.names)
                         if cell_of(n) == name and reach[p] > 0
                         and n[:2] not in board and n[2:] not in board]
                bars = [r for r in g if 'data-action' in r.attrib]
                if not hands:
                    self.assertEqual(bars, [], name)
                    continue
                in_range += 1
                total = sum(reach[p] for p in hands)
                want = [sum(reach[p] * s[p] for p in hands) / total for s in strategy]
                got = [0.0] * len(strategy)
                x = None
                for bar in bars:
                    a = int(bar.attrib['data-action'])
                    self.assertEqual(bar.attrib['fill'], colours[a], name)
                    if x is not None:     # bars follow each other in action order
                        self.assertAlmostEqual(float(bar.attrib['x']), x, places=2)
                    x = float(bar.attrib['x']) + float(bar.attrib['width'])
                    got[a] += float(bar.attrib['width']) / INNER
                for a in range(len(strategy)):
                    self.assertAlmostEqual(got[a], want[a], delta=1e-3,
                                           msg=f'{path} {name} action {a}')
            self.assertGreater(in_range, 10, path)

    def test_tables(self):
        root = ET.parse(self.report).getroot()
        for section, node in zip([s for s in root.iter() if local(s.tag) == 'section'],
                                 self.nodes):
            tables = {t.attrib['class']: t for t in section.iter() if local(t.tag) == 'table'}
            body = lambda t: [r for r in t.iter() if local(r.tag) == 'tr'][1:]
            self.assertEqual(len(body(tables['actions'])), len(node.actions) + 1)
            self.assertEqual(len(body(tables['hands'])), len(node.in_play(self.order)))
            freqs = node.frequencies(node.in_play(self.order))
            self.assertAlmostEqual(sum(freqs), 1.0, delta=1e-6)
            for a in range(len(node.actions)):
                ev = node.mean_action_ev(a)
                self.assertTrue(math.isnan(ev) or -1 <= ev <= 100 + 2 * 400, ev)

    def test_default_nodes_are_the_root_and_its_decisions(self):
        self.assertEqual(default_nodes(self.engine), ['r:0', 'r:0:c', 'r:0:b50', 'r:0:b100',
                                                      'r:0:b400'])


class CommandLineTest(support.TempDirCase):

    def run_cli(self, *args):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = cli.main(list(args))
        return code, out.getvalue(), err.getvalue()

    def test_solve_writes_the_report(self):
        spot = self.write('river.toml', '''
board = "Ks 7d 2c 5h 9s"
pot = 60
stack = 100
[ranges]
oop = "99+,AK,K9s"
ip = "TT+,AQ+,KTs+"
[tree]
bet = [50]
allin = true
[solver]
threads = 1
max_iterations = 100
''')
        out_file = self.path('out/report.html')
        code, out, err = self.run_cli(spot, '-o', out_file, '--engine', support.ENGINE)
        self.assertEqual(code, 0, err)
        self.assertIn(out_file, out)
        self.assertIn('iterations', err)
        ET.parse(out_file)
        self.assertFalse(os.path.exists(out_file + '.tmp'))

    def test_bad_spots_fail_with_the_reason(self):
        base = 'board = "Ks 7d 2c"\npot = 100\nstack = 100\n[ranges]\noop = "AA"\nip = "KK"\n'
        cases = {'typo': (base + '[solver]\nthread = 2\n', "'thread'"),
                 'range': (base.replace('"AA"', '"AA,AKx"'), 'AKx'),
                 'board': (base.replace('Ks 7d 2c', 'Ks 7d'), 'board'),
                 'toml': (base + 'pot = = 3\n', 'TOML'),
                 'blocked': (base.replace('"AA"', '"KsKd"'), 'ranges.oop'),
                 'tree': (base + '[tree]\nraise = ["half"]\n', 'half')}
        for name, (text, reason) in cases.items():
            with self.subTest(case=name):
                spot = self.write(name + '.toml', text)
                code, _, err = self.run_cli(spot, '-o', self.path('r.html'), '--engine',
                                            support.ENGINE)
                self.assertEqual(code, 2, err)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(self.path('r.html')))
        for nodes, reason in (('["r:0:b77"]', 'report node r:0:b77 is not a node'),
                              ('["r:0:c:c"]', 'not a decision')):
            spot = self.write('node.toml',
                              base + f'[tree]\nbet = [50]\n[report]\nnodes = {nodes}\n')
            code, _, err = self.run_cli(spot, '-o', self.path('r.html'), '--engine',
                                        support.ENGINE)
            self.assertEqual(code, 1, err)
            self.assertIn(reason, err)
            self.assertNotIn('iterations', err)       # refused before solving
        # Warnings name what the spot asks for and will not get; the spot still solves.
        turn = base.replace('Ks 7d 2c', 'Ks 7d 2c 3h').replace('stack = 100', 'stack = 20')
        spot = self.write('warn.toml', turn + '[tree]\nbet = [50]\n[tree.flop]\nbet = [33]\n'
                          '[solver]\nmax_iterations = 1\n')
        code, _, err = self.run_cli(spot, '-o', self.path('w.html'), '--engine', support.ENGINE)
        self.assertEqual(code, 0, err)
        self.assertIn('warning', err)
        self.assertIn('tree.flop', err)
        self.assertIn('stack: 20 behind a pot of 100', err)
        code, _, err = self.run_cli(self.path('absent.toml'))
        self.assertEqual(code, 2)
        self.assertIn('absent.toml', err)

    def test_progress_line(self):
        class Terminal(io.StringIO):
            def isatty(self):
                return True
        stream = Terminal()
        line = cli.ProgressLine(stream)
        line(Progress(25, 3.5, 1.0, 120.0))
        line(Progress(50, 1.25, 2.0, None))
        line.done()
        text = stream.getvalue()
        self.assertEqual(text.count('\r'), 2)
        self.assertIn('50', text.split('\r')[-1])
        self.assertIn('1.250 % of the pot', text)
        self.assertTrue(text.endswith('\n'))
        plain = io.StringIO()
        line = cli.ProgressLine(plain, every=5)
        for t in range(12):
            line(Progress(t, 1.0, float(t), None))
        self.assertEqual(plain.getvalue().count('\n'), 2)     # at 5 s and 10 s
        self.assertNotIn('\r', plain.getvalue())


class SpotTest(unittest.TestCase):

    def test_values_checked(self):
        base = {'board': 'Ks 7d 2c', 'pot': 100, 'stack': 100,
                'ranges': {'oop': 'AA', 'ip': 'KK'}}
        spot = parse_spot(base)
        self.assertEqual((spot.start_street, spot.accuracy, spot.compression), (1, 0.5, 'auto'))
        self.assertEqual(parse_spot(dict(base, solver={'compression': 2})).compression, 'medium')
        bad = [({'pot': 0}, 'pot'), ({'stack': 'deep'}, 'stack'), ({'board': 7}, 'board'),
               ({'ranges': {'oop': 'AA'}}, 'ranges.ip'), ({'extra': 1}, 'extra'),
               ({'solver': {'accuracy': -1}}, 'accuracy'),
               ({'solver': {'compression': 'huge'}}, 'compression'),
               ({'solver': {'max_iterations': 0}}, 'max_iterations'),
               ({'solver': {'threads': 1.5}}, 'threads'),
               ({'report': {'nodes': ['x:0']}}, 'report.nodes')]
        for change, named in bad:
            with self.subTest(change=change):
                with self.assertRaises(SpotError) as caught:
                    parse_spot(dict(base, **change), 'spot.toml')
                self.assertIn(named, str(caught.exception))
                self.assertIn('spot.toml', str(caught.exception))
        data = dict(base)
        del data['stack']
        with self.assertRaises(SpotError):
            parse_spot(data)

    def test_bundled_spot_loads(self):
        spot = load_spot(os.path.join(support.REPO, 'examples', 'turn_spot.toml'))
        self.assertEqual(spot.start_street, 2)
        self.assertIsNone(spot.output)          # the demo chooses where the report goes


if __name__ == '__main__':
    unittest.main()
