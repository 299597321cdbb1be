#!/usr/bin/env python3
"""Tests of the protocol fuzzer itself: its generator, its models of the engine's parsing, its
answer checks, and its runner against a small stand-in engine with planted faults."""

import ctypes
import ctypes.util
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

FILE_WORDS = {b'stdoutredi', b'stdoutredi_append', b'load_script', b'skip_if_done', b'dump_tree', b'load_tree'}


def file_names(case):
    """Every file name a case hands to the engine, from its stdin lines and its scripts."""
    lines = list(case.lines)
    for data in case.files.values():
        lines += [b' '.join(t) for t in pf.script_lines(data)]
    for line in lines:
        _, t = pf.line_tokens(line)
        if t and t[0].lstrip(pf.BOM) in FILE_WORDS and len(t) > 1:
            yield pf.c_string(b' '.join(t[1:]) if t[0] == b'load_script' else t[1])
    yield from (n.encode() for n in list(case.files) + case.dirs + case.fifos)


class Generation(unittest.TestCase):
    def test_same_seed_same_cases(self):
        for i in range(5):
            self.assertEqual(pf.format_case(pf.generate_case(7, i)), pf.format_case(pf.generate_case(7, i)))

    def test_other_seed_other_cases(self):
        self.assertNotEqual(pf.format_case(pf.generate_case(7, 0)), pf.format_case(pf.generate_case(8, 0)))
        self.assertNotEqual(pf.format_case(pf.generate_case(7, 0)), pf.format_case(pf.generate_case(7, 1)))

    def test_mutation_is_deterministic(self):
        corpus = pf.load_corpus(pf.DEFAULT_CORPUS)
        self.assertTrue(corpus)
        a = pf.mutate(random.Random(3), corpus[0], corpus)
        b = pf.mutate(random.Random(3), corpus[0], corpus)
        self.assertEqual(pf.format_case(a), pf.format_case(b))

    def test_file_names_stay_in_the_case_folder(self):
        corpus = pf.load_corpus(pf.DEFAULT_CORPUS)
        rnd = random.Random(5)
        cases = [pf.generate_case(11, i) for i in range(150)]
        cases += [pf.mutate(rnd, rnd.choice(corpus), corpus) for _ in range(150)] + corpus
        for case in cases:
            for name in file_names(case):
                self.assertFalse(name.startswith(b'/'), name[:80])
                self.assertNotIn(b'..', name.split(b'/'), name[:80])

    def test_no_wait_on_a_run_without_limit(self):
        for i in range(150):
            case = pf.generate_case(13, i)
            unbounded = False
            for line in case.lines:
                t = pf.line_tokens(line)[1]
                if t and t[0] == b'go' and not pf.is_bounded_go(t):
                    unbounded = True
                elif t and t[0] in (b'stop', b'take_a_break'):
                    unbounded = False
                elif t and t[0] == b'wait_for_solver':
                    self.assertFalse(unbounded, 'case %d waits on a run without limit' % i)

    def test_make_safe(self):
        case = pf.Case([b'go', b'show_node r', b'wait_for_solver', b'sleep 99999', b'set_board Ks 7d 2c',
                        b'build_tree'])
        self.assertEqual(pf.make_safe(case).lines, [b'go', b'show_node r', b'stop', b'wait_for_solver',
                                                    b'sleep 500', b'set_board Ks 7d 2c'])


class CaseFormat(unittest.TestCase):
    def test_round_trip(self):
        case = pf.Case([b'is_ready\r', b'\xa7show_settings', b'', b'   '],
                       files={'a b.txt': b'\xef\xbb\xbfis_ready\r\n\nx', 'c.txt': b'y\n'}, dirs=['d'], fifos=['f'],
                       gui=True, tail=b'is_ready')
        again = pf.parse_case(pf.format_case(case, ['a note']))
        self.assertEqual((again.lines, again.files, again.dirs, again.fifos, again.gui, again.tail),
                         (case.lines, case.files, case.dirs, case.fifos, case.gui, case.tail))

    def test_expand(self):
        case = pf.parse_case(b'#@expand\nset_range OOP {{1 *3}}{{0 *2}}\n#@file s\n#@| x{{y*4}}\n')
        self.assertEqual(case.lines, [b'set_range OOP 1 1 1 0 0 '])
        self.assertEqual(case.files['s'], b'xyyyy\n')

    def test_corpus_parses(self):
        for case in pf.load_corpus(pf.DEFAULT_CORPUS):
            self.assertTrue(case.lines, case.origin)


class NumberModels(unittest.TestCase):
    """The fuzzer predicts answers from its own reading of numbers: it must read like libc."""

    @classmethod
    def setUpClass(cls):
        cls.libc = ctypes.CDLL(ctypes.util.find_library('c'))
        cls.libc.strtod.restype = ctypes.c_double
        cls.libc.strtod.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]
        cls.libc.strtol.restype = ctypes.c_long
        cls.libc.strtol.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), ctypes.c_int]

    def tokens(self):
        rnd = random.Random(1)
        fixed = [b'12abc', b'0x1p4', b'0x', b'1e', b'1e+', b'.5', b'.', b'-', b'+.e1', b'inf', b'-Infinity', b'nan(12)',
                 b'NaN', b'\t7', b'\x0b8', b'1e400', b'-1e400', b'1e-400', b'0x1.8p1', b'00012', b'5\x00x', b'',
                 b'99999999999', b'2147483648', b'-2147483648', b'infinit', b'0X1P-3', b'1.e5', b'+-1']
        alphabet = b'0123456789.eE+-xXpPinfaIN \t'
        rand = [bytes(rnd.choice(alphabet) for _ in range(rnd.randint(1, 8))) for _ in range(3000)]
        return fixed + rand

    def test_strtod(self):
        for tok in self.tokens():
            end = ctypes.c_char_p()
            buf = ctypes.create_string_buffer(pf.c_string(tok))
            v = self.libc.strtod(buf, ctypes.byref(end))
            consumed = ctypes.cast(end, ctypes.c_void_p).value - ctypes.addressof(buf)
            mine = pf.strtod(tok)
            if consumed == 0:
                self.assertIsNone(mine, tok)
            else:
                self.assertIsNotNone(mine, tok)
                self.assertTrue(v == mine or (v != v and mine != mine), (tok, v, mine))

    def test_strtol(self):
        for tok in self.tokens():
            end = ctypes.c_char_p()
            buf = ctypes.create_string_buffer(pf.c_string(tok))
            v = self.libc.strtol(buf, ctypes.byref(end), 10)
            consumed = ctypes.cast(end, ctypes.c_void_p).value - ctypes.addressof(buf)
            mine = pf.parse_int(tok)
            if consumed == 0 or not -2**31 <= v < 2**31 or v in (2**63 - 1, -2**63):
                self.assertIsNone(mine, tok)
            else:
                self.assertEqual(mine, v, tok)

    def test_cards(self):
        self.assertEqual(pf.parse_cards(b'ks7D'), {13 * 3 + 11, 13 * 1 + 5})
        for bad in (b'10c', b'AsAs', b'K', b'Zz', b'A' * 300, b'As\x00'):
            self.assertIsNone(pf.parse_cards(bad), bad)

    def test_hand_order(self):
        self.assertEqual(len(pf.HAND_NAMES), 1326)
        self.assertTrue(pf.HAND_ORDER_LINE.startswith(b'2d2c 2h2c 2h2d 2s2c 2s2d 2s2h 3c2c 3c2d'))
        self.assertTrue(pf.HAND_ORDER_LINE.endswith(b'AsAc AsAd AsAh'))
        self.assertEqual(len(pf.HAND_ORDER_LINE), 6629)


class FakeRunner:
    known_board = known_pot = None
    skip_label = None
    range_text = [None, None]
    tree_plain = True
    range_state = [None, None]
    tree_known = tree_stack = tree_start = None
    schematic_known = iterations_zero = False

    def ranges_plain(self):
        return True

    def path_kind(self, name):
        return 'missing'


def check(line, answers):
    """Checks answer lines for one command line with nothing known about the engine's state."""
    ctx = pf.Ctx(FakeRunner())
    a = pf.Answers(answers)
    pf.check_answer(pf.line_tokens(line)[1], a, ctx, FakeRunner())
    if a.i != len(a.lines):
        raise pf.Mismatch('extra')
    return ctx


BLOCK = [b'r:0:b50', b'IP_DEC', b'2c 7d Ks 5h 9s', b'50 0 100', b'2 children', b'flags: ']


class AnswerChecks(unittest.TestCase):
    def test_node_blocks(self):
        check(b'show_node r:0:b50', BLOCK + [b'END'])
        check(b'show_node r:0:b50', [b'ERROR: show_node incorrect path'])
        with self.assertRaises(pf.Mismatch):       # no END
            check(b'show_node r:0:b50', BLOCK)
        with self.assertRaises(pf.Mismatch):       # the path line cut and merged with the kind
            check(b'show_node r:0:b50.000', [b'r:0:b50.0IP_DEC'] + BLOCK[2:] + [b'END'])
        with self.assertRaises(pf.Mismatch):       # nothing is left to deal on a river board
            check(b'show_node r:0:c:c', [b'r:0:c:c', b'SPLIT_NODE', b'2c 7d Ks 5h 9s', b'0 0 100', b'48 children',
                                         b'flags:', b'END'])
        check(b'show_node r:0:c:c', [b'r:0:c:c', b'SPLIT_NODE', b'2c 7d Ks 5h', b'0 0 100', b'48 children',
                                     b'flags:', b'END'])

    def test_children(self):
        ctx = check(b'show_children r:0', [b'child 0:'] + [b'r:0:f'] + BLOCK[1:] + [b'END'])
        self.assertEqual(ctx.children[0][0], b'r:0:f')
        with self.assertRaises(pf.Mismatch):       # numbering
            check(b'show_children r:0', [b'child 1:'] + [b'r:0:f'] + BLOCK[1:] + [b'END'])
        with self.assertRaises(pf.Mismatch):       # a child path that is not below the parent
            check(b'show_children r:0', [b'child 0:'] + [b'r:1:f'] + BLOCK[1:] + [b'END'])

    def test_strategy(self):
        row = b' '.join([b'0.25'] * 1326)
        check(b'show_strategy r:0', [row, row, row, row, b'END'])
        with self.assertRaises(pf.Mismatch):       # 0.75 per hand
            check(b'show_strategy r:0', [row, row, row, b'END'])
        with self.assertRaises(pf.Mismatch):       # a value missing
            check(b'show_strategy r:0', [row.rsplit(b' ', 1)[0], b'END'])
        check(b'show_strategy_pp r:0', [b'AsKs:   0.500000  0.500000', b'END'])
        with self.assertRaises(pf.Mismatch):
            check(b'show_strategy_pp r:0', [b'AsKs:   0.500000  0.500000', b'AsKd:   1.000000', b'END'])

    def test_results(self):
        # Printed values have half the pot in them; the exploitability has not.
        self.assertIsNone(pf.result_problem([47.0, 53.0, 48.0, 54.0, 1.0], 100.0))
        self.assertIsNone(pf.result_problem([47.0005, 52.9995, 48.0, 54.0, 1.0], 100.0))
        self.assertIsNotNone(pf.result_problem([47.0, 53.0, 48.0, 54.0, 1.0], 200.0))      # EVs do not add up
        self.assertIsNotNone(pf.result_problem([47.0, 53.0, 46.0, 56.0, 1.0], None))       # MES below EV
        self.assertIsNotNone(pf.result_problem([47.0, 53.0, 48.0, 54.0, 3.0], None))       # exploitability
        check(b'calc_results', [b'EV OOP: 47.000', b'EV IP: 53.000', b"OOP's MES: 48.000", b"IP's MES: 54.000",
                                b'Exploitable for: 1.000', b'END'])
        with self.assertRaises(pf.Mismatch):
            check(b'calc_results', [b'EV OOP: 47.000', b'EV IP: 53.000', b"OOP's MES: 48.000", b"IP's MES: 54.000",
                                    b'Exploitable for: 4.000', b'END'])

    def test_order_and_counts(self):
        self.assertIsNone(pf.children_order_problem([b'r:0:f', b'r:0:c', b'r:0:b50', b'r:0:b100']))
        self.assertIsNotNone(pf.children_order_problem([b'r:0:c', b'r:0:f']))
        self.assertIsNotNone(pf.children_order_problem([b'r:0:b100', b'r:0:b50']))
        self.assertIsNone(pf.children_order_problem([b'r:0:c:c:As', b'r:0:c:c:Ah', b'r:0:c:c:Ac', b'r:0:c:c:Ks']))
        self.assertIsNotNone(pf.children_order_problem([b'r:0:c:c:Ah', b'r:0:c:c:As']))
        groups = []
        for name, n in ((b'H_DEC', 1), (b'V_DEC', 1), (b'SPLIT', 1), (b'END', 1)):
            groups += [name + b': %d' % n, b'FLOP  %d' % n, b'TURN  0', b'RIVER  0']
        tail = [b'ROOT: 1', b'FLOP  1', b'TURN  0', b'RIVER 0']
        check(b'node_count', groups + tail + [b'TOTAL: 5', b'END'])
        with self.assertRaises(pf.Mismatch):
            check(b'node_count', groups + tail + [b'TOTAL: 6', b'END'])

    def test_line_model(self):
        # "add_line 0 0" on a flop board: one node of each group, five in all with the root.
        root = pf.SNode()
        pf.merge_line(root, [0, 0])
        want = pf.model_node_count(root, 1)
        self.assertEqual(want[0], b'H_DEC: 1')
        self.assertEqual(want[-2:], [b'TOTAL: 5', b'END'])
        # A bet gets its fold and call; a raise line keeps what it merged before a decrease.
        root = pf.SNode()
        self.assertFalse(pf.merge_line(root, [50, 150, 100]))
        self.assertEqual(sorted(root.children[50].children), [pf.FOLD, 50, 150])
        self.assertEqual(sorted(root.children[50].children[150].children), [pf.FOLD, 150])
        self.assertEqual(root.children[50].children[150].children[pf.FOLD].invested, [50, 150])
        self.assertEqual(pf.largest_key(root), 150)
        self.assertTrue(pf.remove_model_line(root, [50, 0]))
        self.assertNotIn(pf.FOLD, root.children[50].children)
        self.assertFalse(pf.remove_model_line(root, [75]))
        # force_line keeps one continuation per node it passes.
        root = pf.SNode()
        pf.merge_line(root, [0, 0])
        pf.merge_line(root, [50])
        pf.merge_line(root, [0, 100], force=True)
        self.assertEqual(list(root.children), [0])
        self.assertEqual(list(root.children[0].children), [100])
        self.assertEqual(pf.parsed_line_prefix([b'add_line', b'5', b'3000000000', b'7']), [5.0])

    def test_tree_knowledge(self):
        runner = FakeRunner()
        runner.tree_known, runner.tree_stack = True, 100
        ctx = pf.Ctx(runner)
        pf.check_answer([b'show_effective_stack'], pf.Answers([b'100']), ctx, runner)
        with self.assertRaises(pf.Mismatch):
            pf.check_answer([b'show_effective_stack'], pf.Answers([b'2147483647']), ctx, runner)
        with self.assertRaises(pf.Mismatch):
            pf.check_answer([b'is_tree_present'], pf.Answers([b'false']), ctx, runner)
        runner.iterations_zero = True
        third = b' '.join([b'0.333333333333'] * 1326)
        pf.check_answer([b'show_strategy', b'r:0'], pf.Answers([third] * 3 + [b'END']), ctx, runner)
        with self.assertRaises(pf.Mismatch):
            rows = [b' '.join([b'0.25'] * 1326), b' '.join([b'0.75'] * 1326)]
            pf.check_answer([b'show_strategy', b'r:0'], pf.Answers(rows + [b'END']), pf.Ctx(runner), runner)

    def test_predicted_failures(self):
        check(b'add_line 3000000000 3000000000', [b'ERROR: add_line incorrect or missing argument'])
        with self.assertRaises(pf.Mismatch):
            check(b'add_line 3000000000 3000000000', [b'add_line ok!'])
        with self.assertRaises(pf.Mismatch):
            check(b'add_line 50 x', [b'ERROR: add_line incorrect or missing argument'])
        check(b'add_line 50 x', [b'Invalid value'])
        check(b'set_threads 12abc', [b'set_threads ok!'])
        with self.assertRaises(pf.Mismatch):
            check(b'set_threads 12abc', [b'Invalid value'])
        check(b'sleep 5', [])
        with self.assertRaises(pf.Mismatch):       # sleep never answers ok
            check(b'sleep 5', [b'sleep ok!'])
        check(b'frobnicate\x00x 1', [b'ERROR: Command frobnicate not recognized'])
        check(b'is_ready\r', [b'is_ready ok!'])
        check(b'\xa7# comment', [])

    def test_reports(self):
        data = (b'\xa7is_ready ok!\nSOLVER: started\nSOLVER:\nrunning time: 0.100\nEV OOP: 47.000\nEV IP: 53.000\n'
                b"OOP's MES: 48.000\nIP's MES: 54.000\nExploitable for: 51.000\nEND\nSOLVER: stopped (requested)\n")
        answers, events, problems = pf.split_reports(data, False, True)
        self.assertEqual((answers, events, problems), ([b'is_ready ok!'], [
            ('started',), ('report', [47.0, 53.0, 48.0, 54.0, 51.0]), ('stopped', b'requested')], []))
        self.assertTrue(pf.split_reports(b'is_ready ok!\n', False, True)[2])      # marker missing
        self.assertTrue(pf.split_reports(b'#actions max 2\n', False, False)[2])   # diagnostic without /gui
        self.assertFalse(pf.split_reports(b'#actions max 2\n', True, False)[2])
        self.assertTrue(pf.split_reports(b'SOLVER:\nrunning time: 0.1\nEND\n', False, False)[2])


FAKE_ENGINE = textwrap.dedent('''
    import os, signal, sys, time
    fault = os.environ.get('FAKE_FAULT', '')
    out = sys.stdout.buffer
    out.write(b'Travanto (stand-in) \\n'); out.flush()
    for raw in sys.stdin.buffer:
        if not raw.endswith(b'\\n'):
            break
        line = raw[:-1]
        if line.endswith(b'\\r'):
            line = line[:-1]
        t = [x for x in line.split(b' ') if x]
        if not t or t[0].startswith(b'#'):
            continue
        w = t[0]
        if w == b'exit':
            if fault == 'after_exit':
                out.write(b'bye\\n'); out.flush()
            sys.exit(0)
        if w in (b'is_ready', b'stop'):
            out.write(w + b' ok!\\n')
        elif w == b'wait_for_solver':
            pass
        elif w == b'show_settings':
            if fault == 'hang':
                time.sleep(60)
            if fault == 'crash':
                os.kill(os.getpid(), signal.SIGSEGV)
            if fault == 'sanitizer':
                sys.stderr.write('==1==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x1\\n')
                sys.stderr.flush()
            if fault != 'no_end':
                out.write(b'END\\n')
        elif w == b'stdoutback':
            if fault == 'tty':
                with open('/dev/tty', 'wb') as f:
                    f.write(b'stdoutback ok!\\n')
            else:
                out.write(b'stdoutback ok!\\n')
        else:
            out.write(b'ERROR: Command ' + w + b' not recognized\\n')
        out.flush()
''')


class Runner(unittest.TestCase):
    """The runner against a stand-in engine: it must pass a sound one and name each planted fault."""

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

    def run_fake(self, fault, lines=(b'is_ready', b'show_settings', b'stdoutback', b'is_ready')):
        opts = pf.build_parser().parse_args(['--binary', self.engine, '--timeout', '2'])
        pf.prepare(opts, self.dir)
        os.environ['FAKE_FAULT'] = fault
        try:
            return pf.run_case(opts, pf.Case(list(lines)))
        finally:
            del os.environ['FAKE_FAULT']

    def test_sound_engine_passes(self):
        result = self.run_fake('')
        self.assertIsNone(result.failure, result.failure and result.failure.message)
        self.assertIn(b'zz_sync_', result.transcript)

    def test_faults_are_named(self):
        for fault, kind in [('hang', 'hang'), ('crash', 'crash'), ('no_end', 'protocol'), ('tty', 'tty'),
                            ('sanitizer', 'sanitizer'), ('after_exit', 'protocol')]:
            with self.subTest(fault=fault):
                result = self.run_fake(fault)
                self.assertIsNotNone(result.failure)
                self.assertEqual(result.failure.kind, kind, result.failure.message)


if __name__ == '__main__':
    unittest.main()
