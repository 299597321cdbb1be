#!/usr/bin/env python3
"""Protocol fuzzer: command lines from the engine's own command table (app/command_table.cpp) with values
from small pools, hostile ones among them; answers judged by invariants only (see judge and Runner).
The corpus (protocol_corpus/*.txt) runs first; a failing case is written as a case file for --replay.
Usage: protocol_fuzz.py --binary build-asan/travanto --seed 1 --seconds 60 --out DIR [--replay CASE]
Case file: stdin lines; "#@" lines are not sent: #@gui (started with /gui), #@file NAME then "#@| text" lines,
#@tail TEXT (sent last, no line feed), #@expand ({{TEXT*N}}: N copies from there on). Every case folder also
holds a directory adir, a FIFO afifo, links alink (to tree.bin) and aloop (to itself), a script self.txt."""

import argparse, dataclasses, os, queue, random, re, resource, shutil, stat  # noqa: E401
import subprocess, sys, tempfile, threading, time  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
MARK, BOM, PROBE = b'\xa7', b'\xef\xbb\xbf', b'zz_sync_%d'
CARDS = [(r + s).encode() for r in '23456789TJQKA' for s in 'cdhs']
HANDS = 1326


def read_command_table(path=os.path.join(REPO, 'app', 'command_table.cpp')):
    """{word: token count (-1: any)} of the rows that have a handler."""
    with open(path) as f:
        rows = re.findall(r'\{"(\w+)",\s*(\w+),\s*(-?\d+)\}', f.read())
    return {w: int(n) for w, handler, n in rows if handler != 'nullptr'}


def tokens_of(line):
    """The tokens of a stdin line as the command loop splits it (0xA7 marker and final CR dropped)."""
    line = line[:-1] if line.endswith(b'\r') else line
    return [t for t in (line[1:] if line.startswith(MARK) else line).split(b' ') if t]


@dataclasses.dataclass
class Case:
    lines: list
    files: dict = dataclasses.field(default_factory=dict)
    gui: bool = False
    tail: bytes = None
    origin: str = ''


def parse_case(data, origin=''):
    case, name, expand = Case([], origin=origin), None, False
    for raw in data.split(b'\n')[:-1 if data.endswith(b'\n') else None]:
        expand = expand or raw == b'#@expand'
        raw = re.sub(rb'\{\{(.*?)\*(\d+)\}\}', lambda m: m.group(1) * int(m.group(2)), raw) if expand else raw
        if raw.startswith(b'#@file '):
            name = raw[7:].decode('utf-8', 'surrogateescape')
            case.files[name] = b''
        elif raw.startswith(b'#@|'):
            case.files[name] += raw[4:] + b'\n'
        elif raw.startswith(b'#@tail '):
            case.tail = raw[7:]
        elif not raw.startswith(b'#@'):
            case.lines.append(raw)
        case.gui = case.gui or raw == b'#@gui'
    return case


def format_case(case, notes=()):
    out = [b'#@ ' + n.encode() for n in notes] + [b'#@gui'] * case.gui
    for name, content in case.files.items():
        out += [b'#@file ' + name.encode('utf-8', 'surrogateescape')]
        out += [b'#@| ' + line for line in content.split(b'\n')[:-1]]
    return b'\n'.join(out + case.lines + ([b'#@tail ' + case.tail] if case.tail is not None else [])) + b'\n'


# Value pools by argument kind. File names stay inside the case folder; load pools hold no FIFO (opening
# one for reading waits for a writer).
POOLS = {k: v.split(b' ') for k, v in {
    'num': b'0 1 2 5 50 100 0.5 0.01 -1 -5 x 1e3 nan inf -0 +5 0x10 12abc 1e400 2147483647 2147483648 '
           b'-2147483648 4294967296 99999999999',
    'threads': b'1 2 0 -3 100000 2147483647', 'bit': b'0 1 2', 'player': b'OOP IP OOP IP hero',
    'street': b'turns rivers river x', 'level': b'0 1 2 4 auto none 9 x', 'label': b'L1 DONE',
    'ms': b'0 5 50 -5 x 99999999999 -2147483648 1e3', 'pause': b'0 1 -1 x',
    'script': b'self.txt self.txt missing.txt adir afifo',
    'load': b'tree.bin tree.bin tree.bin alink adir missing.bin out1.txt',
    'save': b'tree.bin tree.bin tree.bin alink aloop adir afifo nodir/x ' + b'n' * 256,
    'sink': b'out1.txt out2.txt out1.txt out2.txt afifo adir nodir/x',
}.items()}
# Argument kinds where the table's token count says too little; else count 2 takes a path, more take numbers.
ARGS = {'set_board': 'board', 'set_pot': 'pot', 'set_range': 'player weights', 'set_strategy': 'path num weights',
        'add_line': 'amounts', 'force_line': 'amounts', 'remove_line': 'amounts', 'go': 'go', 'sleep': 'ms',
        'take_a_break': 'pause', 'load_script': 'script', 'load_tree': 'load', 'dump_tree': 'save',
        'stdoutredi': 'sink', 'stdoutredi_append': 'sink', 'skip_if_done': 'load label', 'show_range': 'player path',
        **dict.fromkeys(['calc_ev', 'calc_ev_pp', 'calc_ev_line', 'calc_eq_node'], 'player path'),
        'calc_eq': 'player', 'calc_eq_pp': 'player', 'show_categories': 'board',
        'forget': 'street', 'solve_all_splits': 'street', 'set_isomorphism': 'bit bit', 'set_all_hands': 'bit',
        'ai6_set_compression': 'level', 'set_threads': 'threads', 'ai6_set_threads': 'threads'}
WEIGHTS = {'show_children': 6, 'show_node': 3, 'go': 4, 'add_line': 3, 'build_tree': 3, 'calc_results': 2}
GUARDED = {b'go', b'sleep', b'take_a_break', b'exit', b'set_board'}   # never mangled: runs and waits stay bounded
HOSTILE = (b'99999999999 2147483648 -2147483649 1e300 1e400 nan inf -inf 0x10 1e-400 12abc -0 +5 -5 0 x . - 1e '
           b'5\x00junk 4294967296 -1 Zz AsAs 10c K r:0 OOP #4 \xef\xbb\xbf \xa7 steps seconds auto \x7f \xff\xfe '
           b'r::c R:0 r:0: \t7').split(b' ')


class Generator:
    """One case: a spot set up mostly validly, then random commands; every run it starts is bounded."""

    def __init__(self, r, table):
        self.r, self.table, self.words = r, table, sorted(table)
        self.board, self.pot, self.amounts = r.sample(CARDS, r.choice([4, 5, 5])), r.choice([100, 50, 10]), [50, 100]

    def kind(self, k):
        r = self.r
        if k in POOLS:
            return r.choice(POOLS[k])
        if k == 'path':
            acts = [r.choice([b'c', b'c', b'f', b'b%d' % r.choice(self.amounts), r.choice(CARDS)])
                    for _ in range(r.randint(0, 4))]
            return b':'.join([b'r', b'0'] + acts) if r.random() < 0.95 else b'r'
        if k == 'weights':
            w = [b'0'] * HANDS
            for p in r.sample(range(HANDS), r.randint(3, 90)):
                w[p] = r.choice([b'1', b'0.5', b'%.3f' % r.random()])
            return b' '.join(w)
        if k == 'board':
            return b' '.join(r.sample(CARDS, len(self.board)))
        if k == 'pot':
            return b'0 0 %d' % r.choice([self.pot, 100, 0, 1000])
        if k == 'amounts':   # street by street: check-check, bet-call, check-bet-call, bet-raise-call; or a bet
            out, level = [], 0
            for _ in range(6 - max(len(self.board), 3)):
                size = r.choice([self.pot // 2, self.pot, 25, 100]) or 1
                seq = [level + a for a in r.choice([[0, 0], [0, 0], [size] * 2, [0, size, size],
                                                    [size, 3 * size, 3 * size], [size]])]
                out, level = out + seq, seq[-1]
                self.amounts.append(level)
                if len(seq) == 1:
                    break
            return b' '.join(b'%d' % a for a in out)
        assert k == 'go'
        return r.choice([b'%d steps' % r.randint(1, 20)] * 6 + [b'1 seconds', b'5', b'x steps', b'5 minutes',
                                                                 b'2147483648 seconds', b'-5 seconds'])

    def command(self, word=None):
        r = self.r
        word = word or r.choices(self.words, [WEIGHTS.get(w, 1) for w in self.words])[0]
        count = self.table[word]
        kinds = ARGS.get(word, 'path' if count == 2 else 'num ' * (count - 1 if count > 0 else r.randint(0, 3)))
        toks = [word.encode()] + [self.kind(k) for k in kinds.split()]
        if toks[0] not in GUARDED and r.random() < 0.15:   # one hostile change: a value, a count, the word
            n = 70000 + r.randrange(100)
            h = r.choice([b'5' + b'0' * n, b'A' * n, b'r:0:b' + b'9' * n] if r.random() < 0.05 else HOSTILE)
            word = r.choice([b'Exit', b'IS_READY', b'frobnicate', b'\x00', b'#', b'LABEL:'])
            toks = r.choice([toks[:1] + [h] + toks[2:], toks[:-1] or toks + [h], toks + [h], [word] + toks[1:],
                             [r.choice([MARK, BOM, b'  ']) + toks[0]] + toks[1:] + [b'\r']])
        return b' '.join(toks)

    def case(self):
        r, lines = self.r, []
        if r.random() < 0.95:
            lines = [b'set_pot 0 0 %d' % self.pot, b'set_board ' + b' '.join(self.board),
                     b'set_range OOP ' + self.kind('weights'), b'set_range IP ' + self.kind('weights')]
            lines += [self.command(w) for w in r.sample(['set_isomorphism', 'ai6_set_compression', 'set_threads'], 2)]
            r.shuffle(lines)
            lines += [b'add_line ' + self.kind('amounts') for _ in range(r.randint(1, 4))] + [b'build_tree']
        lines += [self.command() for _ in range(r.randint(8, 40))]
        ending = r.randrange(10)
        lines += [r.choice([b'exit', b'exit now', MARK + b'exit'])] if ending < 4 else []
        return Case(lines, gui=r.random() < 0.2, tail=b'is_ready' if ending == 4 else None)


def generate_case(table, seed, index):
    return Generator(random.Random('protocol-fuzz:%d:%d' % (seed, index)), table).case()


# Judging.
class Failure(Exception):
    kind, message = property(lambda self: self.args[0]), property(lambda self: self.args[1])


Hang, Exited = type('Hang', (Exception,), {}), type('Exited', (Exception,), {})


SANITIZER_RE = re.compile(rb'ERROR: (?:Address|Leak|UndefinedBehavior)Sanitizer[:\w -]*|runtime error: [^\n]{0,100}|'
                          rb'AddressSanitizer:DEADLYSIGNAL')
BANNED = b'ERROR: banned process running: '


def is_error(line):
    return line.startswith(b'ERROR: ') or line == b'Invalid value'


def strip_reports(text, gui):
    """(answer lines, problem or None): solver reports and /gui diagnostics taken out, 0xA7 markers dropped."""
    lines, answers, i = text.split(b'\n')[:-1], [], 0
    while i < len(lines):
        line = lines[i][1:] if lines[i].startswith(MARK) else lines[i]
        if line == b'SOLVER:':
            if lines[i + 7:i + 8] != [b'END']:
                return answers, 'solver report not closed by END: %r' % lines[i:i + 8]
            i += 7
        elif not (line == b'SOLVER: started' or line.startswith(b'SOLVER: stopped (') or gui and line[:1] == b'#'):
            answers.append(line)
        i += 1
    return answers, None


def judge(tokens, lines, table):
    """What breaks the protocol in the answer lines to one stdin line (None: nothing)."""
    for line in lines:
        if not re.fullmatch(rb'[ -~]+', line) and not is_error(line):
            return 'empty or unprintable answer line %r' % line[:120]
    if not tokens or tokens[0] == b'load_script' or tokens[0].startswith(BOM):
        return None    # a script's answers are checked line by line only; a BOM counts only in a script
    word = tokens[0].split(b'\0', 1)[0]   # a NUL ends the printed word
    if word.startswith(b'#'):
        return 'answer to a comment: %r' % lines[:1] if lines else None
    count = table.get(tokens[0].decode('latin-1'))
    expected = b'ERROR: Command ' + word + b' not recognized' if count is None else \
        b'ERROR: ' + word + b' incorrect or missing argument' if 0 < count != len(tokens) else None
    if expected:
        return None if lines == [expected] else 'answered %r, not %r' % (lines[:2], expected)
    errors = [line for line in lines if is_error(line)]
    if errors and (len(lines) > 1 or not errors[0].startswith((b'ERROR: ' + word + b' ', BANNED)) and errors[0] not in (
            b'Invalid value', b'ERROR: invalid card')):
        return 'an error not alone or not naming its command: %r' % lines[:3]
    if any(line.endswith(b' ok!') for line in lines) and lines != [word + b' ok!']:
        return 'an ok line in the answer %r' % lines[:3]
    if len(lines) > 1 and lines[-1] != b'END' or b'END' in lines[:-1]:
        return 'a multi-line answer not closed by one END: %r' % lines[-2:]
    return None


class Engine:
    """One engine process in its case folder, stderr to a file beside it; threads write its stdin and read stdout."""

    def __init__(self, binary, folder, gui, sinks):
        env = dict(os.environ, ASAN_OPTIONS='allocator_may_return_null=1:detect_leaks=0',
                   UBSAN_OPTIONS='print_stacktrace=1:halt_on_error=1')
        limits = [(resource.RLIMIT_CORE, 0), (resource.RLIMIT_FSIZE, 256 << 20)]
        self.err = open(folder + '.stderr', 'w+b')
        self.proc = subprocess.Popen([binary] + ['/gui'] * gui, cwd=folder, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.err,
                                     preexec_fn=lambda: [resource.setrlimit(r, (n, n)) for r, n in limits])
        self.sinks, self.ended, self.out = [os.path.join(folder, s) for s in sinks], False, bytearray()
        self.cv, self.inbox = threading.Condition(), queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._write, daemon=True).start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read1(1 << 16), b''):
            with self.cv:
                self.out += chunk
                self.cv.notify_all()
        with self.cv:
            self.ended = True
            self.cv.notify_all()

    def _write(self):
        try:
            for data in iter(self.inbox.get, None):
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
            self.proc.stdin.close()
        except OSError:
            pass

    def answer(self, n, timeout):
        """The output before probe n's answer, from stdout or a file output is redirected to."""
        needle, deadline = b'\nERROR: Command ' + PROBE % n + b' not recognized\n', time.monotonic() + timeout
        with self.cv:
            while True:
                pos = (b'\n' + self.out).find(needle)
                if pos >= 0:
                    text = bytes(self.out[:pos])
                    del self.out[:pos + len(needle) - 1]
                    return text
                for name in filter(os.path.isfile, self.sinks):   # never a FIFO: opening one waits
                    try:
                        with open(name, 'rb') as f:
                            data = f.read()
                    except OSError:
                        continue
                    pos = (b'\n' + data).find(needle)
                    if pos >= 0:   # the part after the previous probe's answer
                        last = data.rfind(b'ERROR: Command zz_sync_', 0, pos)
                        return data[data.index(b'\n', last) + 1 if last >= 0 else 0:pos]
                if self.ended and self.proc.poll() is not None:
                    raise Exited()
                if time.monotonic() > deadline:
                    raise Hang()
                self.cv.wait(0.05)

    def finish(self, timeout):
        self.inbox.put(None)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Hang() from None

    def kill(self):
        self.proc.kill()
        self.proc.wait()
        with self.err:
            os.remove(self.err.name)
            self.err.seek(0)
            return self.err.read()


# Commands whose refusal changes nothing, and the queries that show it.
TREE = [b'is_tree_present', b'node_count', b'show_children r:0']
REFUSAL_QUERIES = {b'set_board': [b'show_tree_params'], b'set_pot': [b'show_tree_params'], b'build_tree': TREE,
                   b'set_range': [b'show_range OOP', b'show_range IP'], b'remove_line': TREE, b'free_tree': TREE}


class Runner:
    """Runs one case; run() returns the failure (None: passed) and leaves in .at the line it happened at."""

    def __init__(self, opts, case):
        self.opts, self.case, self.n, self.at, self.stderr = opts, case, 0, 0, b''

    def ask(self, line):
        tokens = tokens_of(line)
        self.n += 1
        self.engine.inbox.put(line + b'\n' + PROBE % self.n + b'\n')
        try:
            text = self.engine.answer(self.n, self.opts.timeout)
        except Hang:
            raise Failure('hang', 'no answer within %g s to %r' % (self.opts.timeout, line[:100])) from None
        except Exited:
            if self.engine.proc.returncode == 0 and tokens[:1] == [b'load_script']:
                raise   # a script's exit
            raise Failure('crash', 'the engine ended (status %s) answering %r' % (
                self.engine.proc.returncode, line[:100])) from None
        answers, problem = strip_reports(text, self.case.gui)
        problem = problem or judge(tokens, answers, self.opts.table)
        if problem:
            raise Failure('protocol', 'answer to %r: %s' % (line[:100], problem))
        return answers

    def drive(self):
        banner = self.ask(b'')
        if not banner[:1] or not banner[0].startswith(b'Travanto '):
            raise Failure('protocol', 'no banner: %r' % banner[:2])
        for self.at, line in enumerate(self.case.lines):
            word = (tokens_of(line) or [b''])[0]
            if word == b'exit':
                self.engine.inbox.put(line + b'\n')
                break
            queries = REFUSAL_QUERIES.get(word) if len(line) < 100000 else None
            before = [self.ask(q) for q in queries or ()]
            try:
                answers = self.ask(line)
            except Exited:
                break
            if before and len(answers) == 1 and is_error(answers[0]) and before != [self.ask(q) for q in queries]:
                raise Failure('state', 'refused %r changed the answer to %s' % (line[:80], queries))
        else:   # neither exit nor a script's exit ended it
            self.at = len(self.case.lines)
            self.ask(b'stop')
            self.ask(b'wait_for_solver')
            self.engine.inbox.put(self.case.tail if self.case.tail is not None else b'exit\n')
        try:
            status = self.engine.finish(self.opts.timeout)
        except Hang:
            raise Failure('hang', 'the engine did not end after exit or end of input') from None
        if status != 0:
            raise Failure('crash', 'the engine ended with status %d' % status)

    def run(self):
        folder = tempfile.mkdtemp(prefix='case.', dir=self.opts.tmp)
        os.mkdir(os.path.join(folder, 'adir'))
        os.mkfifo(os.path.join(folder, 'afifo'))
        os.symlink('tree.bin', os.path.join(folder, 'alink'))
        os.symlink('aloop', os.path.join(folder, 'aloop'))
        for name, data in {'self.txt': b'is_ready\nload_script self.txt\n', **self.case.files}.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
        text = b'\n'.join(self.case.lines + list(self.case.files.values()))
        sinks = {m.decode('latin-1') for m in re.findall(rb'stdoutredi(?:_append)? +([^ \r\n\0]+)', text)}
        self.engine, failure = Engine(self.opts.binary, folder, self.case.gui, sinks), None
        try:
            self.drive()
        except Failure as f:
            failure = f
        finally:
            self.stderr = self.engine.kill()
        kept = all(os.path.islink(os.path.join(folder, n)) for n in ('alink', 'aloop')) and stat.S_ISFIFO(
            os.lstat(os.path.join(folder, 'afifo')).st_mode) and not any(
            n.endswith('.tvtmp') for _, _, names in os.walk(folder) for n in names)
        m = SANITIZER_RE.search(self.stderr)
        failure = Failure('sanitizer', m[0].decode('latin-1')) if m else failure or (
            None if kept else Failure('files', 'a link or FIFO replaced, or a temporary save file left'))
        shutil.rmtree(folder, ignore_errors=True)
        return failure


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    for flag, kind, default in [('--binary', str, os.path.join(REPO, 'build-asan', 'travanto')), ('--seed', int, 1),
                                ('--seconds', float, 60), ('--out', str, None), ('--timeout', float, 30)]:
        ap.add_argument(flag, type=kind, default=default)   # --seconds: no case starts after it
    ap.add_argument('--replay', action='append', default=[], help='run these case files only')
    opts = ap.parse_args(argv)
    opts.table, opts.binary = read_command_table(), os.path.abspath(opts.binary)
    out = opts.out or tempfile.mkdtemp(prefix='protocol-fuzz-failures.')
    os.makedirs(out, exist_ok=True)
    corpus = sorted(os.path.join(HERE, 'protocol_corpus', n) for n in os.listdir(os.path.join(HERE, 'protocol_corpus')))
    cases = [parse_case(open(p, 'rb').read(), origin=p) for p in opts.replay or corpus]
    deadline, opts.tmp, failures, seen, index = time.monotonic() + opts.seconds, tempfile.mkdtemp(), 0, set(), 0
    try:
        while cases or not opts.replay and time.monotonic() < deadline:
            if cases:
                case = cases.pop(0)
            else:
                case = generate_case(opts.table, opts.seed, index)
                case.origin, index = 'seed %d, case %d' % (opts.seed, index), index + 1
            runner = Runner(opts, case)
            failure = runner.run()
            sig = (failure.kind, re.sub(r"'.*'|\d+", '_', failure.message)[:80]) if failure else None
            if not failure or sig in seen:
                continue
            seen, failures = seen | {sig}, failures + 1
            path = os.path.join(out, '%02d-%s.txt' % (failures, failure.kind))
            notes = ['%s: %s' % (failure.kind, failure.message[:300]), 'from %s' % case.origin,
                     'stderr: ' + runner.stderr.decode('latin-1')[-2000:].replace('\n', '\n#@ ')]
            with open(path, 'wb') as f:
                f.write(format_case(dataclasses.replace(case, lines=case.lines[:runner.at + 1]), notes))
            print('FAIL [%s] %s\n    %s\n    replay: %s --binary %s --replay %s' % (
                failure.kind, case.origin, failure.message[:300], sys.argv[0], opts.binary, path), flush=True)
    finally:
        shutil.rmtree(opts.tmp, ignore_errors=True)
    print('protocol fuzz: %d generated cases and %d corpus cases, %d failures' % (
        index, len(opts.replay or corpus), failures))
    if not failures and not opts.out:
        shutil.rmtree(out, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
