import sys

import support
from travanto import Engine, EngineDied, EngineError, EngineTimeout, Range
from travanto.engine import SolverReport, SolverStopped
from travanto.lines import line_commands, plan_from_config

# Stand-in engines: crash (answers probes, then dies on the first other command), hang (never
# answers), deaf (answers probes, ignores exit), interleaved (a solver report whose iteration
# count comes after a calc_results answer that the command loop wrote in between).
FAKE = """
for line in sys.stdin.buffer:
    if line.startswith(b'\\xa7is_ready') and NAME != 'hang':
        out(b'\\xa7is_ready ok!')
    elif NAME == 'crash':
        sys.stderr.write('boom\\n'); sys.stderr.flush(); sys.exit(3)
    elif NAME == 'interleaved' and line.strip() == b'calc_results':
        out(b"#SOLVER:\\trunning time: 0.500\\tEV OOP: 60.000\\tEV IP: 40.000\\t"
            b"OOP's MES: 61.000\\tIP's MES: 41.000\\tExploitable for: 1.000\\tEND")
        out(b"EV OOP: 58.000\\nEV IP: 42.000\\nOOP's MES: 59.000\\nIP's MES: 43.000\\n"
            b"Exploitable for: 1.000\\nEND\\n#50 iterations\\n#storage 0 MB/s read, 0 MB/s write")
        out(b'#25 iterations\\n#storage 7 MB/s read, 8 MB/s write\\nSOLVER: stopped (requested)')
    elif NAME == 'interleaved' and line.strip() == b'exit':
        sys.exit(0)
"""


class FakeEngines(support.TempDirCase):
    def fake(self, name, banner='Travanto (fake) build 0'):
        head = f'#!{sys.executable}\nimport sys\ndef out(b):\n'
        head += '    sys.stdout.buffer.write(b + b"\\n"); sys.stdout.buffer.flush()\n'
        head += '' if banner is None else f'out({banner.encode()!r})\n'
        return self.write(name, head + f'NAME = {name!r}\n' + FAKE, 0o755)

    def test_failures_raise_and_the_process_ends(self):
        e = Engine(self.fake('crash'), timeout=10)
        self.assertRaisesRegex(EngineDied, '(?s)exit status 3.*boom', e.command, 'is_tree_present')
        self.assertRaises(EngineDied, e.command, 'is_ready')     # and stays dead
        e.close()
        e = Engine(self.fake('hang'), timeout=30)         # the banner comes; no answer does
        self.assertRaises(EngineTimeout, e.command, 'is_ready', timeout=0.5)
        self.assertIsNotNone(e.process.poll())
        e.close()
        e = Engine(self.fake('deaf'), timeout=5, close_timeout=0.3)
        e.command('anything')
        e.close()                                  # killed: it ignores exit
        self.assertIsNotNone(e.process.poll())
        self.assertRaisesRegex(EngineError, 'hello', Engine, self.fake('deaf', banner='hello'), timeout=5)
        self.assertRaises(FileNotFoundError, Engine, self.path('missing'))
        self.assertRaises(EngineTimeout, Engine, self.fake('silent', banner=None), timeout=0.5)

    def test_report_and_results_lines_interleaved(self):
        with Engine(self.fake('interleaved'), timeout=5) as e:
            results = e.calc_results()
            self.assertEqual((results.ev_oop, results.iterations), (58.0, 50))
            self.assertIsInstance(e.events(timeout=10), SolverReport)
            self.assertEqual(e.events(timeout=10), SolverStopped('requested'))
            r, = e.reports                # whole once the stop, written after it, has been read
            self.assertEqual((r.ev_oop, r.iterations, r.storage_read, r.storage_write), (60.0, 25, 7, 8))


class RealEngine(support.TempDirCase):
    def test_answers_and_error_texts(self):
        with support.engine() as e:
            script = self.write('s.txt', 'is_ready\nset_threads 2\nis_ready\n')
            bad = self.write('b.txt', 'is_ready\nnope\nis_ready\n')
            for command, answer in [('wait_for_solver', []), ('# a comment', []), ('is_tree_present', ['false']),
                                    ('load_script ' + script, ['is_ready ok!', 'set_threads ok!', 'is_ready ok!'])]:
                self.assertEqual(e.command(command), answer, command)
            self.assertEqual((e.block('show_settings'), len(e.command('show_hand_order')[0].split())), ([], 1326))
            for command, text in [('set_board Td 9d', 'ERROR: set_board incorrect or missing argument'),
                                  ('set_threads x', 'Invalid value'), ('load_script ' + bad, 'ERROR: Command nope not recognized')]:
                with self.subTest(command=command), self.assertRaises(EngineError) as caught:
                    e.command(command)
                self.assertEqual((caught.exception.text, caught.exception.command), (text, command))
            self.assertEqual(caught.exception.lines, ['is_ready ok!', text, 'is_ready ok!'])
            for command in ('stdoutredi x.txt', 'exit', 'is_ready\nis_ready'):
                self.assertRaises(ValueError, e.command, command)
            self.assertEqual(e.command('is_ready'), ['is_ready ok!'])
        self.assertEqual(e.process.returncode, 0)      # closed with exit

    def test_reports_while_solving(self):
        with support.engine() as e:
            r = Range.parse('QQ-22,A2s+,ATo+,K5s+,Q8s+,J8s+,T7s+', e.hand_order())
            plan = plan_from_config({'bet': [33, 75], 'allin': True, 'raise': ['3x']}, 200, 900, 2)
            for command in ['set_pot 0 0 200', 'set_board Td 9d 6h Qc', 'set_threads 2', r.command('OOP'),
                            r.command('IP')] + line_commands(plan) + ['build_tree']:
                e.expect_ok(command)
            e.go(steps=150)
            seen, results, event = [], None, None
            while not isinstance(event, SolverStopped):
                event = e.events(timeout=30)
                self.assertIsNotNone(event, 'no solver event within 30 s')
                if isinstance(event, SolverReport):
                    seen.append(event)
                    if len(seen) == 2 and e.solver_running:
                        results = e.calc_results()          # while the solver runs
            self.assertEqual(event.reason, 'required number of steps done')
            counts = [r.iterations for r in seen]
            self.assertTrue(len(counts) >= 2 and counts == sorted(counts) and all(c % 25 == 0 for c in counts))
            self.assertTrue(all(abs(r.ev_oop + r.ev_ip - 200) < 0.01 and r.mes_oop + 0.002 >= r.ev_oop for r in seen))
            self.assertTrue(results is None or results.iterations >= counts[1])
            self.assertEqual(e.wait_for_solver(), 'required number of steps done')
            final = e.calc_results()
            self.assertEqual(final.iterations, 150)
