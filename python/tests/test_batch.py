"""Batch solving: flop classes against an independent enumeration, flop sets, and a whole batch
on a local Dask cluster: resume after Ctrl-C, failed boards, bad input, and the report's totals
and links."""

import csv
import itertools
import json
import os
import signal
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path
from unittest import mock

import support
from travanto.batch import flops as F
from travanto.batch import run as batch_run

try:
    import distributed
except ImportError:
    distributed = None

# Turn boards, one bet size, no raise, one thread, fixed iterations: about a second per board.
SPOT = '''pot = 100\nstack = 300\n[ranges]\noop = "66+,A8s+,KTs+,QJs,AJo+"\nip = "22+,A5s+,K9s+,QTs+,J9s+,T9s,ATo+,KJo+"
[tree]\nbet = [50]\nallin = true\nraise_cap = 0\n[solver]\nthreads = 1\naccuracy = 0\nmax_iterations = 300
'''
BOARDS = ['Td9d6hQc', 'Ks7d2c5h', 'Ah8h3c8d', '7s6s5d2h']
BIN = os.path.join(support.REPO, 'python', 'bin', 'travanto-batch')
ENV = dict(os.environ, PYTHONPATH=os.path.join(support.REPO, 'python'), TRAVANTO_ENGINE=support.ENGINE)
LIMIT = 90                                       # seconds any started process may take


def batch(*args):
    """travanto-batch in this process: (exit status, stderr text)."""
    return support.run_main(batch_run.main, *args)[::2]


def read_csv(path):
    with open(path, newline='') as f:
        return {row['flop']: row for row in csv.DictReader(f)}


def summaries(out):
    return sorted(os.listdir(os.path.join(out, 'flops')))


def leftovers(out):
    return [n for _, _, names in os.walk(out) for n in names if '.tmp' in n]


class FlopClassTest(support.TempDirCase):

    def test_classes_match_an_independent_enumeration(self):
        # Cards as codes 13 * suit + rank; a class is the orbit of a card set under the 24
        # permutations of the suits.
        orbit_of, sizes = {}, []
        for flop in itertools.combinations(range(52), 3):
            if frozenset(flop) not in orbit_of:
                orbit = {frozenset(13 * p[c // 13] + c % 13 for c in flop) for p in itertools.permutations(range(4))}
                orbit_of.update((member, len(sizes)) for member in orbit)
                sizes.append(len(orbit))
        classes = F.all_flops()
        code = lambda board: frozenset(13 * s + r for r, s in board)  # noqa: E731
        ids = [orbit_of[code(board)] for board, _ in classes]
        self.assertEqual((len(set(ids)), len(ids)), (1755, 1755), 'two classes are one orbit')
        self.assertEqual([sizes[i] for i in ids], [w for _, w in classes])
        for flop in itertools.combinations(range(52), 3):
            self.assertEqual(orbit_of[code(F.canonical([(c % 13, c // 13) for c in flop]))], orbit_of[frozenset(flop)])

    def test_flop_sets(self):
        good = self.write('good.txt', '# boards\nTd9d6h 2.5\n\nKs 7d 2c  # its class size\n')
        cases = [('Td9d6h,Ks7d2c', {'Td9d6h': 12, 'Ks7d2c': 24}),
                 ('AsAhAd, 7s7h2c, 7s7h2s,', {'AsAhAd': 4, '7s7h2c': 12, '7s7h2s': 12}),
                 ('Qh8c3d3s', {'Qh8c3d3s': 24}), (good, {'Td9d6h': 2.5, 'Ks7d2c': 24}),
                 ('Td9d6h,Tc9c6s', 'same as Td9d6h'), ('Td9d', 'needs 3 to 5'),
                 ('sample:0', '1..1755'), ('sample:1756', '1..1755'), ('sample:x', 'whole'),
                 ('everything', 'not a card'), ('a/b.txt', 'no such file'),
                 (self.write('bad.txt', 'Td9d6h -1\n'), 'positive')]
        for text, want in cases:
            with self.subTest(text=text):
                if isinstance(want, dict):
                    self.assertEqual(F.parse_flop_set(text).weights, want)
                else:
                    self.assertRaisesRegex(F.FlopSetError, want, F.parse_flop_set, text)
        every = F.parse_flop_set('all')
        self.assertEqual((len(every.boards), sum(every.weights.values())), (1755, 22100))
        for n, within in ((1, 100), (60, 0.3), (400, 0.3)):
            with self.subTest(n=n):
                s = F.parse_flop_set(f'sample:{n}')
                self.assertEqual(len(set(s.weights)), n)
                self.assertLessEqual(set(s.weights), set(every.weights))
                self.assertAlmostEqual(sum(s.weights.values()), 22100, places=3)
                self.assertLessEqual(s.closeness, within)


@unittest.skipIf(distributed is None, 'python3-distributed is not installed')
class BatchTest(support.TempDirCase):

    @classmethod
    def setUpClass(cls):
        home = support.class_folder(cls, SPOT)
        cls.spot, cls.ref = os.path.join(home, 'spot.toml'), os.path.join(home, 'local')
        cls.code, cls.err = batch(cls.spot, '--flops', ','.join(BOARDS), '--out', cls.ref, '--workers', '2')
        cls.csv = read_csv(os.path.join(cls.ref, 'summary.csv'))

    def test_local_batch_writes_one_summary_tree_and_setup_per_board(self):
        self.assertEqual(self.code, 0, self.err)
        self.assertIn('4 boards, 0 already done, 4 to solve', self.err)
        self.assertEqual((summaries(self.ref), leftovers(self.ref)), (sorted(b + '.json' for b in BOARDS), []))
        for board in BOARDS:
            s, setup = (json.loads(Path(self.ref, d, board + e).read_text()) for d, e in
                        (('flops', '.json'), ('trees', '.spot.json')))
            self.assertEqual((s['status'], s['board'], s['iterations']), ('ok', board, 300))
            self.assertAlmostEqual(s['ev_oop'] + s['ev_ip'], 100, delta=0.01)
            self.assertAlmostEqual(sum(a['frequency'] for a in s['actions']), 1, delta=1e-4)
            self.assertAlmostEqual(s['eqr_oop'], s['ev_oop'] / (100 * s['equity_oop']), 4)
            self.assertEqual((setup['board'], setup['pot'], setup['ranges']['ip']),
                             (' '.join(board[i:i + 2] for i in (0, 2, 4, 6)), 100, '22+,A5s+,K9s+,QTs+,J9s+,T9s,ATo+,KJo+'))
        with support.engine() as e:                # a tree file opens in the engine
            e.expect_ok(f'load_tree {os.path.join(self.ref, "trees", BOARDS[0] + ".tree")}', timeout=60)
            self.assertEqual(e.calc_results().iterations, 300)

    def test_report_totals_and_links(self):
        page = os.path.join(self.ref, 'report.html')
        root = ET.parse(page).getroot()
        ns = '{http://www.w3.org/1999/xhtml}'
        totals = {td.get('data-col'): td.get('data-v') for td in root.iter(ns + 'td') if td.get('data-col')}
        rows = list(self.csv.values())
        for col in [c for c in rows[0] if c.startswith(('ev', 'equity', 'eqr', 'freq'))] + ['weight']:
            with self.subTest(col=col):
                have = [(float(r['weight']), float(r[col])) for r in rows if r[col] != '']
                mean = sum(w * v for w, v in have) / sum(w for w, _ in have) if have else None
                total = sum(w for w, _ in have) if col == 'weight' else mean
                self.assertEqual(totals[col] == '', total is None)        # an action no board takes has no EV
                self.assertAlmostEqual(float(totals[col] or 0), total or 0, places=9)
        links = [a.get('href') for a in root.iter(ns + 'a')]
        self.assertEqual(sorted(h for h in links if h.endswith('.tree')), sorted(f'trees/{b}.tree' for b in BOARDS))
        self.assertTrue(all(os.path.isfile(os.path.join(self.ref, h)) for h in links), links)
        self.assertEqual([f.get('class') for f in root.iter(ns + 'figure')], ['by-class', 'by-high'])

    def test_interrupted_batch_resumes_with_the_rest(self):
        out = self.path('resume')
        with open(self.path('batch.log'), 'w') as log:
            run = subprocess.Popen([sys.executable, BIN, self.spot, '--flops', ','.join(BOARDS), '--out', out],
                                   stdout=log, stderr=subprocess.STDOUT, env=ENV, cwd=self.tmp, start_new_session=True)
        self.addCleanup(lambda: run.poll() is not None or os.killpg(run.pid, signal.SIGKILL))
        deadline = time.monotonic() + LIMIT
        while not (os.path.isdir(os.path.join(out, 'flops')) and summaries(out)):
            self.assertLess(time.monotonic(), deadline, 'no first summary')
            time.sleep(0.05)
        os.killpg(run.pid, signal.SIGINT)         # Ctrl-C reaches the whole process group
        self.assertEqual(run.wait(timeout=LIMIT), 130)
        first = summaries(out)
        self.assertIn(f'interrupted: {len(first)} of 4 boards done', Path(self.tmp, 'batch.log').read_text())
        self.assertEqual((len(first) < 4, leftovers(out)), (True, []))
        before = {n: Path(out, 'flops', n).read_bytes() for n in first}
        code, err = batch(self.spot, '--flops', ','.join(BOARDS), '--out', out)
        self.assertEqual(code, 0, err)
        self.assertIn(f'{len(first)} already done, {4 - len(first)} to solve', err)
        self.assertEqual(summaries(out), sorted(b + '.json' for b in BOARDS))
        self.assertEqual({n: Path(out, 'flops', n).read_bytes() for n in first}, before)
        self.assertEqual(sorted(read_csv(os.path.join(out, 'summary.csv'))), sorted(self.csv))

    def test_failed_boards_and_bad_input(self):
        narrow = self.write('narrow.toml', SPOT.replace('66+,A8s+,KTs+,QJs,AJo+', 'AsAh'))
        out = self.path('failed')
        for rerun in ('0 already done, 2 to solve', '1 already done, 1 to solve'):
            code, err = batch(narrow, '--flops', 'AsKd7c2h,Qs8d5c3h', '--out', out)
            self.assertEqual((code, '1 of 2 boards failed' in err, rerun in err), (1, True, True), err)
        report = json.loads(Path(out, 'summary.json').read_text())
        self.assertEqual(([r['flop'] for r in report['flops']], [r['flop'] for r in report['failed']]),
                         (['Qs8d5c3h'], ['AsKd7c2h']))
        self.assertIn('no hand of this range is possible', report['failed'][0]['reason'])
        self.assertEqual(read_csv(os.path.join(out, 'summary.csv'))['AsKd7c2h']['status'], 'failed')
        with_board = self.write('board.toml', 'board = "Td 9d 6h"\n' + SPOT)
        bad_flop = self.write('bad.toml', SPOT.replace('bet = [50]', 'bet = [-5]'))
        cases = [((with_board, '--flops', 'Td9d6h'), 'has no board'),
                 ((self.path('none.toml'), '--flops', 'Td9d6h'), 'cannot read'),
                 ((bad_flop, '--flops', 'Td9d6h'), 'bet'), ((self.spot, '--flops', 'Td9d6h,Zz'), 'not a card'),
                 ((self.spot, '--flops', 'Td9d6h', '--workers', '0'), 'at least 1'),
                 ((self.spot, '--flops', 'Td9d6h', '--engine', self.path('x')), 'engine not found'),
                 ((narrow, '--flops', 'Qs8d5c3h', '--out', self.ref), 'another spot'),
                 ((self.spot, '--flops', ','.join(BOARDS), '--out', self.ref), None)]   # all done already
        for args, message in cases:
            with self.subTest(args=args):
                code, err = batch(*args, *(() if '--out' in args else ('--out', self.tmp)))
                self.assertEqual(code, 0 if message is None else 2, err)
                self.assertIn(message or '4 already done, 0 to solve', err)
        with mock.patch.dict(sys.modules, {'distributed': None}):
            code, err = batch(self.spot, '--flops', 'Td9d6hQc', '--out', self.path('x'))
        self.assertEqual((code, 'apt-get install python3-distributed' in err), (2, True), err)

