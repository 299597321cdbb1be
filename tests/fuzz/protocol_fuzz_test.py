#!/usr/bin/env python3
"""Tests of the protocol fuzzer: generated cases stay bounded and in their folder, its invariants
reject broken answers, and its runner names each fault planted in a stand-in engine."""

import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import protocol_fuzz as pf  # noqa: E402

TABLE = pf.read_command_table()
BLOCK = [b'r:0:b50', b'IP_DEC', b'2c 7d Ks 5h 9s', b'50 0 100', b'2 children', b'flags: ']


class Fuzzer(unittest.TestCase):
    def test_cases_stay_bounded_and_in_their_folder(self):
        self.assertEqual(pf.format_case(pf.generate_case(TABLE, 7, 0)), pf.format_case(pf.generate_case(TABLE, 7, 0)))
        for case in [pf.generate_case(TABLE, 11, i) for i in range(200)] + pf.load_corpus(pf.DEFAULT_CORPUS):
            unbounded = False
            for line in case.lines + [l for d in case.files.values() for l in d.split(b'\n')]:
                t = pf.line_tokens(line)[1]
                if t[:1] in ([b'stdoutredi'], [b'load_script'], [b'dump_tree'], [b'load_tree']):
                    self.assertFalse(t[1:2] and (t[1].startswith(b'/') or b'..' in t[1].split(b'/')), line[:80])
                if line in case.lines and t[:1] == [b'go']:
                    unbounded = unbounded or not pf.bounded_go(t)
                elif line in case.lines and t[:1] in ([b'stop'], [b'take_a_break']):
                    unbounded = False
                elif line in case.lines and t[:1] in ([b'wait_for_solver'], [b'load_script']):
                    self.assertFalse(unbounded, 'a wait on a run without limit in %s' % case.origin)
        case = pf.Case([b'is_ready\r', b'\xa7show_settings', b''], files={'a b.txt': b'\xef\xbb\xbfx\r\n\ny'},
                       gui=True, tail=b'is_ready', seed=9)
        self.assertEqual(pf.format_case(pf.parse_case(pf.format_case(case, ['a note']))), pf.format_case(case))

    def test_invariants(self):
        sound = [(b'show_node r:0:b50', BLOCK + [b'END']), (b'show_children r:0', [b'child 0:'] + BLOCK + [b'END']),
                 (b'is_ready', [b'is_ready ok!']), (b'sleep 5', []), (b'set_pot x 0 0', [b'Invalid value']),
                 (b'is_ready\x00x', [b'ERROR: Command is_ready not recognized']),
                 (b'show_range OOP', [b' '.join([b'0.5'] * 1326)]), (b'show_node r:9', [b'ERROR: show_node bad path'])]
        broken = [(b'show_node r:0:b50', BLOCK), (b'show_node r:0', [b'r:0:b50IP_DEC'] + BLOCK[2:] + [b'END']),
                  (b'show_children r:0', [b'child 1:'] + BLOCK + [b'END']), (b'is_ready', [b'stop ok!']),
                  (b'show_range OOP', [b' '.join([b'0.5'] * 1325)]), (b'is_ready', [b'is_ready ok!', b'']),
                  (b'show_node', [b'show_node ok!']), (b'show_memory', [b'ERROR: calc_ev incorrect path']),
                  (b'frobnicate', []), (b'is_ready', [b'ERROR: Command is_ready not recognized']),
                  (b'node_count', [b'TOTAL: 5', b'ERROR: node_count out of memory']),
                  (b'set_pot 0 0 1', [b'set_pot ok!', b'END'])]
        for (line, answers), ok in [(c, True) for c in sound] + [(c, False) for c in broken]:
            try:
                problem = pf.answer_problem(pf.line_tokens(line)[1], answers, TABLE)
            except pf.Problem as p:
                problem = str(p)
            self.assertEqual(problem is None, ok, (line, answers, problem))
        data = (b'\xa7is_ready ok!\nSOLVER: started\nSOLVER:\nrunning time: 0.100\nEV OOP: 47.000\nEV IP: 53.000\n'
                b"OOP's MES: 48.000\nIP's MES: 54.000\nExploitable for: 51.000\nEND\nSOLVER: stopped (requested)\n")
        self.assertEqual(pf.split_reports(data, False, True), ([b'is_ready ok!'], ['started', 'stopped'], None))
        for data, marker in [(b'is_ready ok!\n', True), (b'#actions max 2\n', False), (b'SOLVER:\nEND\n', False)]:
            self.assertTrue(pf.split_reports(data, False, marker)[2], data)

    def test_runner_names_planted_faults(self):
        """A stand-in engine answers is_ready, show_settings and dump_tree, with one fault planted."""
        engine = os.path.join(tempfile.mkdtemp(prefix='protocol-fuzz-test.'), 'engine')
        with open(engine, 'w') as f:
            f.write('#!%s\n' % sys.executable + '''import os, signal, sys, time
fault, out = os.environ['FAKE_FAULT'], sys.stdout.buffer
out.write(b'Travanto (stand-in)\\n'); out.flush()
for raw in sys.stdin.buffer:
    t = raw.split()
    if t[0] == b'exit':
        out.write(b'bye\\n' if fault == 'after_exit' else b''); out.flush(); sys.exit(0)
    elif t[0] == b'show_settings' and fault in ('hang', 'crash', 'sanitizer', 'tty'):
        time.sleep(60) if fault == 'hang' else os.kill(os.getpid(), signal.SIGSEGV) if fault == 'crash' else None
        sys.stderr.write('==1==ERROR: AddressSanitizer: heap-buffer-overflow\\n') if fault == 'sanitizer' else None
        open('/dev/tty', 'wb').write(b'x\\n') if fault == 'tty' else None
        out.write(b'END\\n')
    elif t[0] in (b'is_ready', b'stop', b'dump_tree', b'show_settings'):
        open('t.bin.x.tvtmp' if fault == 'leftover' else 't.bin', 'w').close() if t[0] == b'dump_tree' else None
        out.write(b'board: \\npot: 1\\n' if t[0] == b'show_settings' and fault == 'no_end' else
                  b'END\\n' if t[0] == b'show_settings' else t[0] + b' ok!\\n')
    elif t[0] != b'wait_for_solver':
        out.write(b'ERROR: Command ' + t[0] + b' not recognized\\n')
    out.flush()
''')
        os.chmod(engine, 0o755)
        opts = pf.build_parser().parse_args(['--binary', engine, '--timeout', '2'])
        opts.table, opts.tmp = TABLE, os.path.dirname(engine)
        try:
            for fault, kind in [('', None), ('hang', 'hang'), ('crash', 'crash'), ('no_end', 'protocol'),
                                ('tty', 'tty'), ('sanitizer', 'sanitizer'), ('after_exit', 'protocol'),
                                ('leftover', 'files')]:
                with self.subTest(fault=fault):
                    os.environ['FAKE_FAULT'] = fault
                    case = pf.Case([b'is_ready', b'show_settings', b'dump_tree t.bin'])
                    failure = pf.Runner(opts, case).run().failure
                    self.assertEqual(failure and failure.kind, kind, failure and failure.message)
        finally:
            os.environ.pop('FAKE_FAULT', None)
            shutil.rmtree(os.path.dirname(engine), ignore_errors=True)


if __name__ == '__main__':
    unittest.main()
