"""Batch solving: flop classes against an independent enumeration, flop sets, and whole batches
on a local Dask cluster and on a separately started scheduler with two workers (one killed
mid-batch), resume after Ctrl-C, failed boards, bad input, and the report (totals, screenshot)."""

import contextlib
import csv
import io
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from unittest import mock

import support
from travanto.batch import flops as F
from travanto.batch import run as batch_run
from travanto.batch.report import CHECK_COLOUR, BET_COLOURS

try:
    import distributed
except ImportError:
    distributed = None

# Turn boards, one bet size, no raise, one thread, fixed iterations: about a second per board.
SPOT = '''
pot = 100
stack = 300
[ranges]
oop = "66+,A8s+,KTs+,QJs,AJo+"
ip = "22+,A5s+,K9s+,QTs+,J9s+,T9s,ATo+,KJo+"
[tree]
bet = [50]
allin = true
raise_cap = 0
[solver]
threads = 1
accuracy = 0
max_iterations = 300
'''
BOARDS = ['Td9d6hQc', 'Ks7d2c5h', 'Ah8h3c8d', '7s6s5d2h']
BIN = os.path.join(support.REPO, 'python', 'bin', 'travanto-batch')
ENV = dict(os.environ, PYTHONPATH=os.path.join(support.REPO, 'python'),
           TRAVANTO_ENGINE=support.ENGINE)
LIMIT = 90                                       # seconds any started process may take
VOLATILE = {'solve_seconds', 'peak_mb'}


def batch(*args):
    """travanto-batch in this process: (exit status, stderr text)."""
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        code = batch_run.main(list(args))
    return code, err.getvalue()


def start(command, tmp, name):
    """A process in its own group, logging to a file in `tmp`; killed with its group at the end."""
    log = open(os.path.join(tmp, name + '.log'), 'w')
    proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=ENV, cwd=tmp,
                            start_new_session=True)
    log.close()
    return proc


def kill_group(proc):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait(timeout=LIMIT)


def wait_for(condition, what):
    deadline = time.monotonic() + LIMIT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f'timed out waiting for {what}')
        time.sleep(0.05)


def children(pid):
    found = []
    with contextlib.suppress(OSError):
        for tid in os.listdir(f'/proc/{pid}/task'):
            with open(f'/proc/{pid}/task/{tid}/children') as f:
                found += f.read().split()
    return found


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
            if frozenset(flop) in orbit_of:
                continue
            orbit = {frozenset(13 * p[c // 13] + c % 13 for c in flop)
                     for p in itertools.permutations(range(4))}
            for member in orbit:
                orbit_of[member] = len(sizes)
            sizes.append(len(orbit))
        self.assertEqual((len(sizes), sum(sizes)), (1755, 22100))
        classes = F.all_flops()
        self.assertEqual(sum(w for _, w in classes), 22100)
        code = lambda board: frozenset(13 * s + r for r, s in board)  # noqa: E731
        ids = [orbit_of[code(board)] for board, _ in classes]
        self.assertEqual(len(set(ids)), 1755, 'two classes are one orbit')
        self.assertEqual([sizes[i] for i in ids], [w for _, w in classes])
        for flop in itertools.combinations(range(52), 3):
            board = [(c % 13, c // 13) for c in flop]
            self.assertEqual(orbit_of[code(F.canonical(board))], orbit_of[frozenset(flop)])

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
                    with self.assertRaisesRegex(F.FlopSetError, want):
                        F.parse_flop_set(text)

    def test_all_and_samples(self):
        every = F.parse_flop_set('all')
        self.assertEqual((len(every.boards), sum(every.weights.values())), (1755, 22100))
        classes = set(every.weights)
        for n, within in ((1, 100), (60, 0.3), (400, 0.3)):
            with self.subTest(n=n):
                s = F.parse_flop_set(f'sample:{n}')
                self.assertEqual(len(set(s.weights)), n)
                self.assertLessEqual(set(s.weights), classes)
                self.assertAlmostEqual(sum(s.weights.values()), 22100, places=3)
                self.assertLessEqual(s.closeness, within)


@unittest.skipIf(distributed is None, 'python3-distributed is not installed')
class BatchTest(support.TempDirCase):

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix='travanto-batch-')
        cls.spot = os.path.join(cls.home, 'spot.toml')
        with open(cls.spot, 'w') as f:
            f.write(SPOT)
        cls.ref = os.path.join(cls.home, 'local')
        cls.code, cls.err = batch(cls.spot, '--flops', ','.join(BOARDS), '--out', cls.ref,
                                  '--workers', '2')
        cls.csv = read_csv(os.path.join(cls.ref, 'summary.csv'))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.home, ignore_errors=True)

    def assert_same_table(self, out):
        table = read_csv(os.path.join(out, 'summary.csv'))
        self.assertEqual(sorted(table), sorted(self.csv))
        for board, row in table.items():
            for col, value in row.items():
                ref = self.csv[board][col]
                if col in VOLATILE or col == 'tree':
                    continue
                try:
                    self.assertAlmostEqual(float(value), float(ref), delta=1e-3, msg=(board, col))
                except ValueError:
                    self.assertEqual(value, ref, (board, col))

    def test_local_batch_writes_one_summary_tree_and_setup_per_board(self):
        self.assertEqual(self.code, 0, self.err)
        self.assertIn('4 boards, 0 already done, 4 to solve', self.err)
        self.assertEqual(summaries(self.ref), sorted(b + '.json' for b in BOARDS))
        self.assertEqual(leftovers(self.ref), [])
        for board in BOARDS:
            with open(os.path.join(self.ref, 'flops', board + '.json')) as f:
                s = json.load(f)
            with open(os.path.join(self.ref, 'trees', board + '.spot.json')) as f:
                setup = json.load(f)
            self.assertEqual((s['status'], s['board'], s['iterations']), ('ok', board, 300))
            self.assertAlmostEqual(s['ev_oop'] + s['ev_ip'], 100, delta=0.01)
            self.assertAlmostEqual(sum(a['frequency'] for a in s['actions']), 1, delta=1e-4)
            self.assertAlmostEqual(s['eqr_oop'], s['ev_oop'] / (100 * s['equity_oop']), 4)
            self.assertEqual((setup['board'], setup['pot'], setup['ranges']['ip']),
                             (' '.join(board[i:i + 2] for i in (0, 2, 4, 6)), 100,
                              '22+,A5s+,K9s+,QTs+,J9s+,T9s,ATo+,KJo+'))
        with support.engine() as e:                # a tree file opens in the engine
            e.expect_ok(f'load_tree {os.path.join(self.ref, "trees", BOARDS[0] + ".tree")}',
                        timeout=60)
            self.assertEqual(e.calc_results().iterations, 300)
        code, err = batch(self.spot, '--flops', ','.join(BOARDS), '--out', self.ref)
        self.assertEqual((code, '4 already done, 0 to solve' in err), (0, True), err)

    def test_report_totals_links_and_screenshot(self):
        page = os.path.join(self.ref, 'report.html')
        root = ET.parse(page).getroot()
        ns = '{http://www.w3.org/1999/xhtml}'
        totals = {td.get('data-col'): td.get('data-v') for td in root.iter(ns + 'td')
                  if td.get('data-col')}
        rows = list(self.csv.values())
        weight = sum(float(r['weight']) for r in rows)
        for col in [c for c in rows[0] if c.startswith(('ev', 'equity', 'eqr', 'freq'))]:
            with self.subTest(col=col):
                have = [r for r in rows if r[col] != '']
                if not have:                     # an action no board takes has no EV
                    self.assertEqual(totals[col], '')
                    continue
                mean = (sum(float(r['weight']) * float(r[col]) for r in have)
                        / sum(float(r['weight']) for r in have))
                self.assertAlmostEqual(float(totals[col]), mean, places=9)
        self.assertEqual(float(totals['weight']), weight)
        links = [a.get('href') for a in root.iter(ns + 'a')]
        self.assertEqual(sorted(h for h in links if h.endswith('.tree')),
                         sorted(f'trees/{b}.tree' for b in BOARDS))
        for href in links:
            self.assertTrue(os.path.isfile(os.path.join(self.ref, href)), href)
        self.assertFalse([s for s in root.iter(ns + 'script') if s.get('src')])
        charts = [f for f in root.iter(ns + 'figure')]
        self.assertEqual([f.get('class') for f in charts], ['by-class', 'by-high'])
        browser = shutil.which('chromium')
        if browser is None:
            self.skipTest('chromium not installed (make check-report installs it)')
        import screenshot_test
        shot = self.path('batch.png')
        command = [browser, '--headless', '--disable-gpu', '--hide-scrollbars',
                   '--force-device-scale-factor=1', '--window-size=1300,1100',
                   f'--user-data-dir={self.path("profile")}', f'--screenshot={shot}',
                   'file://' + page] + (['--no-sandbox'] if os.geteuid() == 0 else [])
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=False)
        _, _, pixels = screenshot_test.read_png(shot)
        seen = set()
        for line in pixels:
            seen.update(line[i:i + 3] for i in range(0, len(line), 3))
        for colour in (CHECK_COLOUR, BET_COLOURS[0]):          # the charts' bars are drawn
            self.assertIn(screenshot_test.rgb(colour), seen, colour)

    def test_cluster_with_a_worker_killed_mid_batch(self):
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1]
        address = f'tcp://127.0.0.1:{port}'
        scheduler = start(['dask-scheduler', '--host', '127.0.0.1', '--port', str(port),
                           '--no-dashboard', '--dashboard-address', '127.0.0.1:0', '--no-show'],
                          self.tmp, 'scheduler')
        self.addCleanup(kill_group, scheduler)
        workers = []
        for name in ('w1', 'w2'):
            w = start(['dask-worker', address, '--nthreads', '1', '--nworkers', '1',
                       '--no-nanny', '--host', '127.0.0.1', '--no-dashboard',
                       '--dashboard-address', '127.0.0.1:0',
                       '--local-directory', self.path(name), '--death-timeout', str(LIMIT)],
                      self.tmp, name)
            self.addCleanup(kill_group, w)
            workers.append(w)
        with distributed.Client(address, timeout=LIMIT) as client:
            client.wait_for_workers(2, timeout=LIMIT)
        out = self.path('cluster')
        run = start([sys.executable, BIN, self.spot, '--flops', ','.join(BOARDS), '--out', out,
                     '--scheduler', address], self.tmp, 'batch')
        self.addCleanup(kill_group, run)
        wait_for(lambda: children(workers[0].pid), 'an engine on the first worker')
        kill_group(workers[0])                    # the worker and its engine die mid-solve
        self.assertEqual(run.wait(timeout=LIMIT), 0, open(self.path('batch.log')).read())
        self.assertEqual(summaries(out), sorted(b + '.json' for b in BOARDS))
        self.assertEqual(leftovers(out), [])
        self.assert_same_table(out)

    def test_interrupted_batch_resumes_with_the_rest(self):
        out = self.path('resume')
        run = start([sys.executable, BIN, self.spot, '--flops', ','.join(BOARDS), '--out', out],
                    self.tmp, 'batch')
        self.addCleanup(kill_group, run)
        wait_for(lambda: os.path.isdir(os.path.join(out, 'flops')) and summaries(out),
                 'a first summary')
        os.killpg(run.pid, signal.SIGINT)         # Ctrl-C reaches the whole process group
        self.assertEqual(run.wait(timeout=LIMIT), 130)
        log = open(self.path('batch.log')).read()
        first = summaries(out)
        self.assertIn(f'interrupted: {len(first)} of 4 boards done', log)
        self.assertLess(len(first), 4)
        self.assertEqual(leftovers(out), [])
        before = {n: open(os.path.join(out, 'flops', n), 'rb').read() for n in first}
        code, err = batch(self.spot, '--flops', ','.join(BOARDS), '--out', out)
        self.assertEqual(code, 0, err)
        self.assertIn(f'{len(first)} already done, {4 - len(first)} to solve', err)
        self.assertEqual(summaries(out), sorted(b + '.json' for b in BOARDS))
        for name, data in before.items():
            self.assertEqual(open(os.path.join(out, 'flops', name), 'rb').read(), data)
        self.assert_same_table(out)

    def test_failed_boards_and_bad_input(self):
        narrow = self.write('narrow.toml', SPOT.replace('66+,A8s+,KTs+,QJs,AJo+', 'AsAh'))
        out = self.path('failed')
        code, err = batch(narrow, '--flops', 'AsKd7c2h,Qs8d5c3h', '--out', out)
        self.assertEqual(code, 1, err)
        self.assertIn('1 of 2 boards failed', err)
        with open(os.path.join(out, 'summary.json')) as f:
            report = json.load(f)
        self.assertEqual([r['flop'] for r in report['flops']], ['Qs8d5c3h'])
        self.assertEqual([r['flop'] for r in report['failed']], ['AsKd7c2h'])
        self.assertIn('no hand of this range is possible', report['failed'][0]['reason'])
        self.assertEqual(read_csv(os.path.join(out, 'summary.csv'))['AsKd7c2h']['status'],
                         'failed')
        code, err = batch(narrow, '--flops', 'AsKd7c2h,Qs8d5c3h', '--out', out)
        self.assertEqual((code, '1 already done, 1 to solve' in err), (1, True), err)

        with_board = self.write('board.toml', 'board = "Td 9d 6h"\n' + SPOT)
        bad_flop = self.write('bad.toml', SPOT.replace('bet = [50]', 'bet = [-5]'))
        cases = [((with_board, '--flops', 'Td9d6h'), 'has no board'),
                 ((self.path('none.toml'), '--flops', 'Td9d6h'), 'cannot read'),
                 ((bad_flop, '--flops', 'Td9d6h'), 'bet'),
                 ((self.spot, '--flops', 'Td9d6h,Zz'), 'not a card'),
                 ((self.spot, '--flops', 'Td9d6h', '--workers', '0'), 'at least 1'),
                 ((self.spot, '--flops', 'Td9d6h', '--engine', self.path('x')), 'engine not found'),
                 ((narrow, '--flops', 'Qs8d5c3h', '--out', self.ref), 'another spot')]
        for args, message in cases:
            with self.subTest(args=args):
                code, err = batch(*args, *(() if '--out' in args else ('--out', self.tmp)))
                self.assertEqual(code, 2, err)
                self.assertIn(message, err)
        with mock.patch.dict(sys.modules, {'distributed': None}):
            code, err = batch(self.spot, '--flops', 'Td9d6hQc', '--out', self.path('x'))
        self.assertEqual((code, 'apt-get install python3-distributed' in err), (2, True), err)
        probe = ('import sys, travanto.batch.run, travanto.batch.report; '
                 'sys.exit("distributed" in sys.modules)')
        self.assertEqual(subprocess.run([sys.executable, '-c', probe], env=ENV,
                                        timeout=LIMIT).returncode, 0)


if __name__ == '__main__':
    unittest.main()
