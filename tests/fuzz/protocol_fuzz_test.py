#!/usr/bin/env python3
"""Tests of the protocol fuzzer: its cases stay in their folder, its invariants reject broken
answers, and its runner names each fault planted in a small stand-in engine."""

import os
import random
import shutil
import sys
import tempfile
import textwrap
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import protocol_fuzz as pf  # noqa: E402

TABLE = pf.read_command_table()


class Generation(unittest.TestCase):
    def test_table_is_read(self):
        self.assertEqual((TABLE['set_range'], TABLE['go'], TABLE['show_node']), (1328, -1, 2))

    def test_cases_are_deterministic_and_stay_in_their_folder(self):
        self.assertEqual(*(pf.format_case(pf.generate_case(TABLE, 7, 0)) for _ in range(2)))
        corpus = pf.load_corpus(pf.DEFAULT_CORPUS)
        rnd = random.Random(5)
        cases = [pf.generate_case(TABLE, 11, i) for i in range(200)] + corpus
        cases += [pf.mutate(rnd, rnd.choice(corpus), corpus, TABLE) for _ in range(200)]
        for case in cases:
            for line in case.lines + [l for d in case.files.values() for l in d.split(b'\n')]:
                t = pf.line_tokens(line)[1]
                if t and t[0] in (b'stdoutredi', b'stdoutredi_append', b'load_script', b'dump_tree', b'load_tree'):
                    name = b' '.join(t[1:])
                    self.assertFalse(name.startswith(b'/') or b'..' in name.split(b'/'), line[:80])

    def test_no_wait_on_a_run_without_limit(self):
        corpus, rnd = pf.load_corpus(pf.DEFAULT_CORPUS), random.Random(3)
        cases = [pf.generate_case(TABLE, 13, i) for i in range(200)]
        for i, case in enumerate(cases + [pf.mutate(rnd, rnd.choice(corpus), corpus, TABLE) for _ in range(200)]):
            unbounded = False
            for line in case.lines:
                t = pf.line_tokens(line)[1]
                if t[:1] == [b'go']:
                    unbounded = unbounded or not pf.Generator.bounded(t)
                elif t[:1] in ([b'stop'], [b'take_a_break']):
                    unbounded = False
                elif t[:1] in ([b'wait_for_solver'], [b'load_script']):
                    self.assertFalse(unbounded, 'case %d waits on a run without limit' % i)

    def test_case_file_round_trip(self):
        case = pf.Case([b'is_ready\r', b'\xa7show_settings', b''], files={'a b.txt': b'\xef\xbb\xbfx\r\n\ny'},
                       dirs=['d'], fifos=['f'], gui=True, tail=b'is_ready', seed=9)
        again = pf.parse_case(pf.format_case(case, ['a note']))
        self.assertEqual(pf.format_case(again), pf.format_case(case))


BLOCK = [b'r:0:b50', b'IP_DEC', b'2c 7d Ks 5h 9s', b'50 0 100', b'2 children', b'flags: ']


class Invariants(unittest.TestCase):
    def problem(self, line, answers):
        try:
            return pf.answer_problem(pf.line_tokens(line)[1], answers, TABLE)
        except pf.Problem as p:
            return str(p)

    def test_sound_answers_pass(self):
        for line, answers in [
                (b'show_node r:0:b50', BLOCK + [b'END']), (b'show_children r:0', [b'child 0:'] + BLOCK + [b'END']),
                (b'is_ready', [b'is_ready ok!']), (b'sleep 5', []), (b'set_pot x 0 0', [b'Invalid value']),
                (b'is_ready\x00x', [b'ERROR: Command is_ready not recognized']),
                (b'show_range OOP', [b' '.join([b'0.5'] * 1326)]),
                (b'show_node r:9', [b'ERROR: show_node incorrect path'])]:
            self.assertIsNone(self.problem(line, answers), line)

    def test_broken_answers_fail(self):
        for line, answers in [
                (b'show_node r:0:b50', BLOCK), (b'show_node r:0', [b'r:0:b50IP_DEC'] + BLOCK[2:] + [b'END']),
                (b'show_children r:0', [b'child 1:'] + BLOCK + [b'END']), (b'is_ready', [b'stop ok!']),
                (b'show_range OOP', [b' '.join([b'0.5'] * 1325)]), (b'is_ready', [b'is_ready ok!', b'']),
                (b'show_node', [b'show_node ok!']), (b'show_memory', [b'ERROR: calc_ev incorrect path']),
                (b'frobnicate', []), (b'is_ready', [b'ERROR: Command is_ready not recognized']),
                (b'node_count', [b'TOTAL: 5', b'ERROR: node_count out of memory']),
                (b'set_pot 0 0 1', [b'set_pot ok!', b'END'])]:
            self.assertIsNotNone(self.problem(line, answers), (line, answers))

    def test_reports(self):
        data = (b'\xa7is_ready ok!\nSOLVER: started\nSOLVER:\nrunning time: 0.100\nEV OOP: 47.000\nEV IP: 53.000\n'
                b"OOP's MES: 48.000\nIP's MES: 54.000\nExploitable for: 51.000\nEND\nSOLVER: stopped (requested)\n")
        self.assertEqual(pf.split_reports(data, False, True), ([b'is_ready ok!'], ['started', 'stopped'], None))
        self.assertTrue(pf.split_reports(b'is_ready ok!\n', False, True)[2])
        self.assertTrue(pf.split_reports(b'#actions max 2\n', False, False)[2])
        self.assertTrue(pf.split_reports(b'SOLVER:\nrunning time: 0.1\nEND\n', False, False)[2])


FAKE_ENGINE = textwrap.dedent('''
    import os, signal, sys, time
    fault, out = os.environ.get('FAKE_FAULT', ''), sys.stdout.buffer
    out.write(b'Travanto (stand-in)\\n'); out.flush()
    for raw in sys.stdin.buffer:
        if not raw.endswith(b'\\n'):
            break
        t = raw.rstrip(b'\\r\\n').split()
        if not t or t[0].startswith(b'#'):
            continue
        if t[0] == b'exit':
            out.write(b'bye\\n' if fault == 'after_exit' else b''); out.flush(); sys.exit(0)
        if fault == 'banned':
            out.write(b'ERROR: banned process running: PokerStars\\n')
        elif t[0] in (b'is_ready', b'stop'):
            out.write(t[0] + b' ok!\\n')
        elif t[0] == b'show_settings':
            if fault == 'hang':
                time.sleep(60)
            if fault == 'crash':
                os.kill(os.getpid(), signal.SIGSEGV)
            if fault == 'sanitizer':
                sys.stderr.write('==1==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x1\\n')
                sys.stderr.flush()
            out.write(b'board: \\npot: 0 0 1\\n' if fault == 'no_end' else b'END\\n')
        elif t[0] == b'stdoutback' and fault == 'tty':
            with open('/dev/tty', 'wb') as f:
                f.write(b'stdoutback ok!\\n')
        elif t[0] in (b'stdoutback', b'dump_tree'):
            open('t.bin.x.tvtmp' if fault == 'leftover' else 't.bin', 'w').close(); out.write(t[0] + b' ok!\\n')
        elif t[0] != b'wait_for_solver':
            out.write(b'ERROR: Command ' + t[0] + b' not recognized\\n')
        out.flush()
''')


class StandIn(unittest.TestCase):
    """The runner against a stand-in engine: it passes a sound one and names each planted fault."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='protocol-fuzz-test.')
        cls.engine = os.path.join(cls.dir, 'engine')
        with open(cls.engine, 'w') as f:
            f.write('#!%s\n%s' % (sys.executable, FAKE_ENGINE))
        os.chmod(cls.engine, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_fake(self, fault):
        opts = pf.build_parser().parse_args(['--binary', self.engine, '--timeout', '2'])
        opts.table, opts.tmp = TABLE, self.dir
        os.environ['FAKE_FAULT'] = fault
        try:
            return pf.run_case(opts, pf.Case([b'is_ready', b'show_settings', b'stdoutback', b'dump_tree t.bin']))
        finally:
            del os.environ['FAKE_FAULT']

    def test_sound_engine_passes(self):
        result = self.run_fake('')
        self.assertIsNone(result.failure, result.failure and result.failure.message)
        result = self.run_fake('banned')   # the engine refusing every line for a program it bans
        self.assertEqual((result.failure, result.banned), (None, True))

    def test_faults_are_named(self):
        for fault, kind in [('hang', 'hang'), ('crash', 'crash'), ('no_end', 'protocol'), ('tty', 'tty'),
                            ('sanitizer', 'sanitizer'), ('after_exit', 'protocol'), ('leftover', 'files')]:
            with self.subTest(fault=fault):
                result = self.run_fake(fault)
                self.assertEqual(result.failure and result.failure.kind, kind, result.failure and result.failure.sig)


if __name__ == '__main__':
    unittest.main()
