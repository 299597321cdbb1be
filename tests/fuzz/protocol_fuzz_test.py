#!/usr/bin/env python3
"""Tests of the protocol fuzzer's judging: a stand-in engine passes a run, and each fault planted in it
is caught and named; generated cases are reproducible and round-trip through the case file format."""

import argparse, os, shutil, sys, tempfile, unittest  # noqa: E401

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import protocol_fuzz as pf  # noqa: E402

STAND_IN = r'''import os, sys, time
fault, out, pot = os.environ['FAKE_FAULT'], sys.stdout.buffer, b'1'
out.write(b'Travanto (stand-in)\n')
for raw in sys.stdin.buffer:
    t = raw.split() or [b'']
    if t[0] == b'exit':
        sys.exit(0)
    if t[0] == b'show_tree_params':
        time.sleep(60) if fault == 'hang' else os.abort() if fault == 'crash' else None
        out.write(b'pot: ' + pot + b'\nboard: -\n' + (b'' if fault == 'no_end' else b'END\n'))
    elif t[0] == b'set_pot':
        pot = t[1] if fault == 'state' else pot
        out.write(b'ERROR: set_pot bad value\n' if fault != 'unnamed' else b'ERROR: bad value\n')
    elif t[0] == b'dump_tree':
        open('t.tvtmp', 'w').close() if fault == 'leftover' else os.remove('alink') if fault == 'link' else None
        sys.stderr.write('==1==ERROR: AddressSanitizer: heap-buffer-overflow\n' if fault == 'sanitizer' else '')
        out.write(b'dump_tree ok!\n')
    elif t[0] in (b'is_ready', b'stop'):
        out.write(t[0] + b' ok!\n')
    elif t[0] not in (b'', b'wait_for_solver'):
        out.write(b'ERROR: Command ' + t[0] + b' not recognized\n')
    out.flush()
'''


class Fuzzer(unittest.TestCase):
    def test_planted_faults_are_caught(self):
        folder = tempfile.mkdtemp(prefix='protocol-fuzz-test.')
        engine = os.path.join(folder, 'engine')
        with open(engine, 'w') as f:
            f.write('#!%s\n%s' % (sys.executable, STAND_IN))
        os.chmod(engine, 0o755)
        opts = argparse.Namespace(binary=engine, timeout=3, tmp=folder, table=pf.read_command_table())
        case = pf.Case([b'is_ready', b'show_tree_params', b'set_pot x 0 0', b'dump_tree alink', b'frobnicate'])
        try:
            for fault, kind in [('', None), ('hang', 'hang'), ('crash', 'crash'), ('no_end', 'protocol'),
                                ('unnamed', 'protocol'), ('state', 'state'), ('sanitizer', 'sanitizer'),
                                ('leftover', 'files'), ('link', 'files')]:
                with self.subTest(fault=fault):
                    os.environ['FAKE_FAULT'] = fault
                    failure = pf.Runner(opts, case).run()
                    self.assertEqual(failure and failure.kind, kind, failure and failure.message)
        finally:
            os.environ.pop('FAKE_FAULT', None)
            shutil.rmtree(folder, ignore_errors=True)

    def test_cases_reproducible_and_round_trip(self):
        table = pf.read_command_table()
        self.assertEqual(pf.generate_case(table, 7, 3), pf.generate_case(table, 7, 3))
        case = pf.Case([b'is_ready\r', b'\xa7show_settings', b''], {'a b.txt': b'x\r\n\ny\n'}, True, b'is_ready')
        self.assertEqual(pf.parse_case(pf.format_case(case, ['a note'])), case)


if __name__ == '__main__':
    unittest.main()
