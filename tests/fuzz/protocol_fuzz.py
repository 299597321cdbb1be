#!/usr/bin/env python3
"""Protocol fuzzer: random command sequences from the engine's own command table (app/command_table.cpp),
hostile tokens mixed in, against an engine binary (normally the sanitizer build). Answers are judged by
invariants, never predicted: every line answered (a sync probe follows each line), well-formed answers and
node blocks, errors alone and naming their command, no crash, hang, sanitizer report or terminal output,
a refused command leaves the state as it was, listed child paths resolve, saves leave links and FIFOs be.
A failing case is written, up to its failing line, as a replayable case file.

Usage: protocol_fuzz.py --binary build-asan/travanto --seed 1 --seconds 180 --out DIR [--replay CASE]
Case file: one stdin line per line; "#@" lines are not sent: #@gui, #@file NAME then "#@| text" lines
(#@end-lf no: no final line feed), #@tail TEXT (sent last, no line feed), #@expand ({{TEXT*N}}: N copies),
#@seed N. Every case's working folder holds a directory adir, a FIFO afifo, links alink and aloop.
"""

import argparse
import dataclasses
import os
from pathlib import Path
import pty
import random
import re
import resource
import selectors
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEFAULT_CORPUS = os.path.join(HERE, 'protocol_corpus')
DEFAULT_TABLE = os.path.join(REPO, 'app', 'command_table.cpp')
BOM, MARK, PROBE = b'\xef\xbb\xbf', b'\xa7', b'zz_sync_'
HANDS = 1326
CARDS = [r + s for r in '23456789TJQKA' for s in 'cdhs']


def read_command_table(path=DEFAULT_TABLE):
    """{word: token count (-1: any)} of the rows that have a handler."""
    with open(path) as f:
        rows = re.findall(r'\{"(\w+)",\s*(\w+),\s*(-?\d+)\}', f.read())
    return {w: int(n) for w, handler, n in rows if handler != 'nullptr'}


def line_tokens(line):
    """(marker, tokens) of a stdin line as the command loop splits it."""
    line = line[:-1] if line.endswith(b'\r') else line
    marker = line.startswith(MARK)
    return marker, [t for t in (line[1:] if marker else line).split(b' ') if t]


@dataclasses.dataclass
class Case:
    lines: list
    files: dict = dataclasses.field(default_factory=dict)
    gui: bool = False
    tail: bytes = None
    origin: str = ''
    seed: int = None


def parse_case(data, origin=''):
    case, current, expand = Case([], origin=origin), None, False
    for raw in data.split(b'\n')[:-1 if data.endswith(b'\n') else None]:
        expand = expand or raw == b'#@expand'
        if expand:
            raw = re.sub(rb'\{\{(.*?)\*(\d+)\}\}', lambda m: m.group(1) * int(m.group(2)), raw)
        if raw.startswith(b'#@|'):
            case.files[current] += raw[4:] + b'\n'
        elif raw == b'#@end-lf no':
            case.files[current] = case.files[current][:-1]
        elif raw.startswith(b'#@file '):
            current = raw[7:].decode('utf-8', 'surrogateescape')
            case.files[current] = b''
        elif raw.startswith((b'#@tail ', b'#@seed ', b'#@gui')):
            case.tail = raw[7:] if raw.startswith(b'#@tail') else case.tail
            case.seed = int(raw[7:]) if raw.startswith(b'#@seed') else case.seed
            case.gui = case.gui or raw == b'#@gui'
        elif not raw.startswith(b'#@'):
            case.lines.append(raw)
    return case


def format_case(case, notes=()):
    enc = lambda s: s.encode('utf-8', 'surrogateescape')
    out = [b'#@ ' + enc(n) for n in notes] + ([b'#@gui'] if case.gui else [])
    out += [b'#@seed %d' % case.seed] if case.seed is not None else []
    for name, content in case.files.items():
        body = content.split(b'\n')
        out += [b'#@file ' + enc(name)] + [b'#@| ' + l for l in body[:-1] + body[-1:] * (body[-1] != b'')]
        out += [b'#@end-lf no'] if body[-1] != b'' else []
    return b'\n'.join(out + case.lines + ([b'#@tail ' + case.tail] if case.tail is not None else [])) + b'\n'


def load_corpus(directory):
    names = sorted(n for n in os.listdir(directory) if n.endswith('.txt')) if os.path.isdir(directory) else []
    return [parse_case(Path(directory, n).read_bytes(), origin='corpus/' + n) for n in names]


# Generation: words from the table, arguments by token kind. Every case folder holds these.
DIR_NAME, FIFO_NAME, LINK_NAME, LOOP_NAME = 'adir', 'afifo', 'alink', 'aloop'
PATH_MARK, DECISION_MARK = b'@P', b'@D'    # a path show_children listed (@D: a decision), picked at run time
# Argument kinds where the table's count says too little; else count 2 takes a path, more take numbers.
ARGS = {
    'set_threads': 'threads', 'ai6_set_threads': 'threads', 'set_isomorphism': 'bit bit', 'set_all_hands': 'bit',
    'skip_if_done': 'file label', 'go': 'go', 'load_script': 'script', 'set_range': 'player weights',
    'set_board': 'board', 'set_pot': 'pot', 'add_line': 'amounts', 'force_line': 'amounts',
    'remove_line': 'amounts', 'load_tree': 'treefile', 'dump_tree': 'savefile', 'show_range': 'player path?',
    'calc_ev': 'player path', 'calc_ev_pp': 'player path', 'calc_ev_line': 'player path',
    'calc_eq_node': 'player path', 'calc_eq': 'player', 'calc_eq_pp': 'player', 'stdoutredi': 'sink',
    'stdoutredi_append': 'sink', 'set_accuracy': 'num fraction?', 'forget': 'street', 'solve_all_splits': 'street',
    'set_strategy': 'dpath child weights', 'show_strategy': 'dpath', 'show_strategy_pp': 'dpath',
    'show_categories': 'board', 'ai6_set_compression': 'level', 'sleep': 'ms', 'take_a_break': 'pause'}
CHOICES = {k: v.split(b' ') for k, v in {
    'threads': b'1 2 0 -3 100000 2147483647', 'bit': b'0 1', 'label': b'L1 DONE', 'street': b'turns rivers river x',
    'child': b'0 1 2 -1 9', 'level': b'0 1 2 3 4 auto none max 9 x', 'pause': b'0 1 -1 x', 'fraction': b'fraction',
    'ms': b'0 5 50 -5 x 99999999999 -2147483648 1e3', 'num': b'0 0.01 0.5 1 100 2.5', 'player': b'OOP IP hero villain',
    'file': b'out1.txt missing.txt adir tree.bin', 'sink': b'out1.txt out2.txt log.txt ' * 6 + b'afifo adir nodir/x',
    'treefile': b'tree.bin tree.bin tree.bin alink adir missing.bin out1.txt',    # no FIFO: opening one waits
    'savefile': b'tree.bin tree.bin tree.bin alink aloop adir afifo ' + b' '.join(b'n' * n for n in (250, 255, 256))
}.items()}
GUARDED = {b'go', b'sleep', b'take_a_break', b'wait_for_solver', b'exit', b'load_script', b'set_board'}  # kept bounded
WEIGHTS = {'show_children': 8, 'show_node': 3, 'go': 3, 'add_line': 3, 'build_tree': 3, 'load_script': 2,
           'calc_results': 2, 'show_strategy': 2}
HOSTILE = (b'99999999999 2147483648 -2147483649 2147483647 -2147483648 1e300 1e400 nan inf -inf 0x10 1e-400 12abc '
           b'-0 +5 -5 0 x . - 1e 5\x00junk 4294967296 -1 Zz AsAs 10c K r:0 OOP #4 \xef\xbb\xbf \xa7 \r steps '
           b'seconds fraction auto \x7f \xff\xfe r::c R:0 r:0: \t7').split(b' ')


def hostile_token(r):
    n = 70000 + r.randrange(100)
    long = [b'5' + b'0' * n, b'0.' + b'0' * n + b'1', b'A' * n, b'r:0:b' + b'9' * n]
    return r.choice(long) if r.random() < 0.05 else r.choice(HOSTILE)


def bounded_go(t):
    """Whether a go line is refused or ends soon by itself."""
    if len(t) != 3 or t[2] not in (b'steps', b'seconds'):
        return len(t) != 1
    n = int(t[1]) if re.fullmatch(rb'-?\d+', t[1]) else 0
    return 0 < n <= 60 if t[2] == b'steps' else n in (1, 2)


class Generator:
    """One case: a spot set up mostly validly, then random commands; never waits on an endless run."""

    def __init__(self, rnd, table):
        self.r, self.table, self.words = rnd, table, sorted(table)
        self.lines, self.files, self.board, self.pot, self.amounts = [], {}, [], 100, [0, 50, 100]
        self.unbounded = self.in_script = False
        self.depth = 0

    def emit(self, line):
        word = line_tokens(line)[1][:1]
        if word in ([b'wait_for_solver'], [b'load_script']) and self.unbounded:
            self.lines.append(b'stop')
        if word == [b'go']:
            self.unbounded = self.unbounded or not bounded_go(line_tokens(line)[1])
        elif word in ([b'stop'], [b'take_a_break'], [b'wait_for_solver'], [b'load_script']):
            self.unbounded = False
        self.lines.append(line)

    def kind(self, k):
        r = self.r
        if k in CHOICES:
            return r.choice(CHOICES[k])
        if k in ('path', 'dpath'):
            if not self.in_script and r.random() < 0.7:
                return DECISION_MARK if k == 'dpath' and r.random() < 0.8 else PATH_MARK
            acts = [r.choice([b'c', b'c', b'f', b'b%d' % r.choice(self.amounts), CARDS[r.randrange(52)].encode()])
                    for _ in range(r.randint(0, 5))]
            return b':'.join([b'r', b'0'] + acts) if r.random() < 0.95 else b'r'
        if k == 'weights':
            w = [r.choice([b'1', b'0.5'])] * HANDS if len(self.board) == 5 and r.random() < 0.4 else [b'0'] * HANDS
            for p in r.sample(range(HANDS), r.randint(3, 90)):
                w[p] = r.choice([b'1', b'0.5', b'0.25', b'%.3f' % r.random()])
            return b' '.join(w)
        if k == 'board':
            cards = [CARDS[c].encode() for c in r.sample(range(52), len(self.board) or 5)]
            return b' '.join([b''.join(cards[:3])] + cards[3:] if r.random() < 0.15 else cards)
        if k == 'pot':
            return b'0 0 %d' % r.choice([self.pot, 100, 10, 0, 1000])
        if k == 'amounts':
            out, level = [], 0
            for _ in range(6 - max(len(self.board), 3) + (r.random() < 0.1)):
                size = r.choice([self.pot // 2, self.pot, 25, 50, 100]) or 1
                seq = r.choice([[level, level], [level, level], [level + size] * 2, [level, level + size, level + size],
                                [level + size, level + 3 * size, level + 3 * size], [level + size]])
                out += seq
                self.amounts.append(seq[-1])
                if len(seq) == 1 or r.random() < 0.3:
                    break
                level = seq[-1]
            return b' '.join(b'%d' % a for a in out)
        if k == 'go' and (self.in_script or r.random() < 0.8):
            return r.choice([b'%d steps' % r.randint(1, 6 if len(self.board) == 4 else 60)] * 6 +
                            [b'1 seconds', b'5', b'x steps', b'5 minutes', b'2147483648 seconds'])
        if k == 'go':
            return r.choice([b'', b'2147483647 steps', b'100000 steps', b'0 seconds', b'-5 seconds'])
        return self.script()

    def command(self, word=None):
        r = self.r
        while not word or self.in_script and word.startswith('stdout'):   # scripts keep the output where it is
            word = r.choices(self.words, [WEIGHTS.get(w, 1) for w in self.words])[0]
        count = self.table[word]
        kinds = ARGS.get(word, 'path' if count == 2 else ' '.join(['num'] * max(count - 1, 0))).split()
        toks = [word.encode()] + [self.kind(k.rstrip('?')) for k in kinds if not k.endswith('?') or r.random() < 0.6]
        toks = [t for t in toks if t]
        self.emit(b' '.join(self.hostile(toks) if toks[0] not in GUARDED and r.random() < 0.15 else toks))

    def hostile(self, toks):
        r, k = self.r, self.r.randrange(6)
        if k == 0 and len(toks) > 1:
            toks[r.randrange(1, len(toks))] = hostile_token(r)
        elif k < 2:
            toks = toks[:-1] if len(toks) > 1 else toks + [hostile_token(r)]
        elif k == 2:
            toks = toks + [hostile_token(r)]
        elif k == 3:
            toks = [r.choice([MARK, BOM, b'  ']) + toks[0]] + toks[1:] + ([b'\r'] if r.random() < 0.3 else [])
        elif k == 4:
            toks = [r.choice([b'Exit', b'IS_READY', b'is_ready\t', b'LABEL:', b'frobnicate', b'\x00', b'#',
                              b'is_ready\x00x', b'zz' + hostile_token(r)[:8]])] + toks[1:]
        else:
            toks = [toks[0]] + [b'%d' % (i // 3) for i in range(r.choice([500, 501, 5000]))]
        return toks

    def script(self):
        r = self.r
        if self.depth >= 2 or r.random() < 0.15:
            self.files.setdefault('self.txt', b'is_ready\nload_script self.txt\nis_ready\n')
            self.files.setdefault('twice.txt', b'load_script twice.txt\nload_script twice.txt\n')
            return r.choice([b'self.txt', b'twice.txt', b'adir', b'afifo', b'missing.txt'])
        name = r.choice(['s%d.txt', 'script %d.txt']) % len(self.files)
        self.files[name] = b''
        saved = self.lines, self.in_script, self.unbounded
        self.lines, self.in_script, self.depth = [], True, self.depth + 1
        for _ in range(r.randint(1, 6)):
            k = r.randrange(10)
            if k == 0:
                self.lines += [b'skip_if_done ' + self.kind('file') + b' L1', b'is_ready', b'LABEL: L1']
            elif k == 1:
                self.lines += [b'', b'   ', b'# a comment']
            else:
                self.command()
        body = [l + b'\r' for l in self.lines] if r.random() < 0.2 else self.lines
        self.lines, self.in_script, self.unbounded = saved
        self.depth -= 1
        self.files[name] = (BOM if r.random() < 0.2 else b'') + b'\n'.join(body) + (b'\n' if r.random() < 0.9 else b'')
        return name.replace(' ', '  ' if r.random() < 0.3 else ' ').encode()

    def case(self):
        r = self.r
        if r.random() < 0.95:
            self.board, self.pot = r.sample(range(52), r.choice([4, 5, 5, 5])), r.choice([100, 100, 200, 50, 10])
            setup = [b'set_pot 0 0 %d' % self.pot, b'set_board ' + b' '.join(CARDS[c].encode() for c in self.board),
                     b'set_range OOP ' + self.kind('weights'), b'set_range IP ' + self.kind('weights')]
            for word in r.sample(['set_isomorphism', 'ai6_set_compression', 'set_all_hands', 'set_threads'], 2):
                self.command(word)
            setup += self.lines
            r.shuffle(setup)
            self.lines = setup + [b'add_line ' + self.kind('amounts') for _ in range(r.randint(1, 4))]
            self.lines += [b'build_tree'] if r.random() < 0.95 else []
        for _ in range(r.randint(8, 40)):
            self.command()
        ending = r.randrange(10)
        if ending < 4:
            self.emit(r.choice([b'exit', b'exit now', MARK + b'exit']))
        return Case(self.lines, self.files, gui=r.random() < 0.2, tail=b'is_ready' if ending == 4 else None)


def generate_case(table, seed, index):
    return Generator(random.Random('protocol-fuzz:%d:%d' % (seed, index)), table).case()


# Answer invariants.
NUM = rb'[-+]?(?:\d+(?:\.\d*)?(?:e[-+]?\d+)?|inf|nan)'
CARD = rb'[2-9TJQKA][cdhs]'
NODE_BLOCK = [re.compile(x + rb'\Z') for x in [
    rb'r(?::[^ :]+)*', rb'ROOT|SPLIT_NODE|END_NODE|IP_DEC|OOP_DEC', CARD + rb'(?: ' + CARD + rb'){2,4}',
    NUM + rb' ' + NUM + rb' ' + NUM, rb'\d+ children', rb'flags:(?: [A-Z_ ]*)?']]
RESULT_KEYS = [b'running time: ', b'EV OOP: ', b'EV IP: ', b"OOP's MES: ", b"IP's MES: ", b'Exploitable for: ']
STOP_REASONS = {b'requested', b'required accuracy reached', b'required number of steps done', b'timeout reached',
                b'out of memory'}
BANNED = b'ERROR: banned process running: '


class Problem(Exception):
    pass


def is_error(line):
    return line.startswith(b'ERROR: ') or line == b'Invalid value'


def split_reports(data, gui, marker):
    """(answer lines, solver events, problem or None): solver reports taken out of the output.
    marker: every answer line must carry 0xA7 (True), must not (False), or either (None)."""
    lines = data.split(b'\n')
    lines = lines[:-1] if lines[-1] == b'' else lines
    answers, events, i = [], [], 0
    while i < len(lines):
        line = lines[i][1:] if lines[i].startswith(MARK + b'SOLVER:') else lines[i]
        if line == b'SOLVER: started' or line.startswith(b'SOLVER: stopped ('):
            events.append(line[8:15].decode())
            if events[-1] == 'stopped' and line[17:-1] not in STOP_REASONS:
                return answers, events, 'unknown stop reason %r' % line[:100]
        elif line == b'SOLVER:' and not gui:
            block = lines[i + 1:i + 8]
            if len(block) != 7 or block[6] != b'END' or not all(
                    b.startswith(k) and re.match(NUM + rb'\Z', b[len(k):]) for b, k in zip(block, RESULT_KEYS)):
                return answers, events, 'malformed solver report %r' % b'\n'.join(lines[i:i + 8])[:300]
            i += 7
        elif line.startswith(b'#'):
            if not gui:
                return answers, events, 'diagnostic line without /gui: %r' % line[:100]
        elif marker is not None and line.startswith(MARK) != marker:
            return answers, events, '0xA7 marker %s: %r' % ('missing' if marker else 'unasked', line[:100])
        else:
            answers.append(line[1:] if line.startswith(MARK) else line)
        i += 1
    return answers, events, None


def node_blocks(lines, numbered):
    """[(path, six lines)] of a show_node (one block) or show_children (numbered blocks) answer."""
    blocks, i = [], 0
    while i < len(lines) - 1 and (numbered or not blocks):
        if numbered and lines[i] != b'child %d:' % len(blocks):
            raise Problem('expected "child %d:", got %r' % (len(blocks), lines[i][:100]))
        i += numbered
        block = lines[i:i + 6]
        if len(block) < 6 or not all(rx.match(l) for rx, l in zip(NODE_BLOCK, block)):
            raise Problem('malformed node block %r' % block[:6])
        blocks.append((block[0], block))
        i += 6
    if lines[i:] != [b'END']:
        raise Problem('node blocks not closed by END: %r' % lines[i:i + 2])
    return blocks


def answer_problem(tokens, lines, table):
    """What breaks the protocol in the answer lines of one stdin line (None: nothing)."""
    for l in lines:
        if not re.fullmatch(rb'[ -~]+', l) and not is_error(l):
            return 'empty or unprintable answer line %r' % l[:120]
        n = len(l.rstrip(b' ').split(b' '))
        if n > 100 and n != HANDS and not is_error(l):
            return 'hand list of %d values' % n
    if not tokens or tokens[0] == b'load_script':
        return None    # a script's answers: checked line by line only
    word = tokens[0].split(b'\0', 1)[0]   # a NUL ends the printed word, not the looked-up one
    if word.startswith(b'#'):
        return 'answer to a comment: %r' % lines[:1] if lines else None
    if word.startswith(BOM) and word[3:].decode('latin-1') in table:
        return None
    unknown = b'ERROR: Command ' + word + b' not recognized'
    count = table.get(tokens[0].decode('latin-1'))
    if count is None:
        return None if lines == [unknown] else 'unknown word answered %r' % lines[:2]
    if count > 0 and count != len(tokens):
        return None if lines == [b'ERROR: ' + word + b' incorrect or missing argument'] else \
            'a line of %d tokens answered %r' % (len(tokens), lines[:2])
    errors = [l for l in lines if is_error(l)]
    if errors and (len(lines) > 1 or not (errors[0].startswith((b'ERROR: ' + word + b' ', BANNED)) or errors[0] in (
            b'Invalid value', b'ERROR: invalid card'))):
        return 'an error not alone or not naming its command: %r' % lines[:3]
    if any(l.endswith(b' ok!') for l in lines) and lines != [word + b' ok!']:
        return 'an ok line in the answer %r' % lines[:3]
    if len(lines) > 1 and lines[-1] != b'END' or b'END' in lines[:-1]:
        return 'a multi-line answer not closed by one END: %r' % lines[-2:]
    if word in (b'show_node', b'show_children') and not errors:
        node_blocks(lines, word == b'show_children')
    return None


# The engine process.
class Failure(Exception):
    """A fault of the engine; failures with the same signature count as one."""

    def __init__(self, kind, message, sig='', detail=''):
        super().__init__(message)
        self.kind, self.message, self.detail = kind, message, detail
        self.sig = '%s:%s' % (kind, sig or re.sub(r"b?'(?:[^'\\]|\\.)*'|-?\d+(?:\.\d+)?", '_', message)[:80])


class Hang(Exception):
    pass


class Banned(Exception):   # a banned program runs on this machine: every line refused, the case says nothing
    pass


class Exited(Exception):
    pass


SANITIZER_RE = re.compile(rb'(ERROR: AddressSanitizer: [\w-]+|ERROR: LeakSanitizer|runtime error: [^\n]{0,100}|'
                          rb'ERROR: UndefinedBehaviorSanitizer: [\w-]+|AddressSanitizer:DEADLYSIGNAL)')


def child_setup(tty_name):
    os.setsid()
    os.close(os.open(tty_name, os.O_RDWR))   # a controlling terminal: output there is caught
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 20, 256 << 20))
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


class Session:
    """One engine process: feeds lines, collects its streams and the files output is redirected to."""

    def __init__(self, opts, workdir, gui, sinks):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        name = os.ttyname(self.slave)
        env = dict(os.environ, ASAN_OPTIONS='allocator_may_return_null=1:detect_leaks=0:' + os.environ.get(
            'ASAN_OPTIONS', ''), UBSAN_OPTIONS='print_stacktrace=1:halt_on_error=1')
        self.proc = subprocess.Popen([opts.binary] + (['/gui'] if gui else []), cwd=workdir, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, close_fds=True,
                                     preexec_fn=lambda: child_setup(name))
        self.sel = selectors.DefaultSelector()
        self.fds = {self.proc.stdout.fileno(): 'out', self.proc.stderr.fileno(): 'err', self.master: 'tty'}
        for fd in list(self.fds) + [self.proc.stdin.fileno()]:
            os.set_blocking(fd, False)
        for fd in self.fds:
            self.sel.register(fd, selectors.EVENT_READ)
        self.pending, self.stdin_closed = b'', False
        self.bufs = {'out': bytearray(), 'err': bytearray(), 'tty': bytearray()}
        self.eof = {'out': False, 'err': False}
        self.sinks = {n: [os.path.join(workdir.encode(), n), b'', None, None] for n in sinks}   # path, content, last probe, stat

    def write(self, data):
        self.pending += data

    def pump(self, wait):
        if self.pending:
            try:
                self.pending = self.pending[os.write(self.proc.stdin.fileno(), self.pending[:1 << 16]):]
            except BlockingIOError:
                pass
            except BrokenPipeError:
                self.pending = b''
            wait = min(wait, 0.005)
        if self.stdin_closed and not self.pending and not self.proc.stdin.closed:
            self.proc.stdin.close()
        for key, _ in self.sel.select(wait):
            try:
                data = os.read(key.fd, 1 << 20)
            except BlockingIOError:
                continue
            except OSError:
                data = b''
            self.bufs[self.fds[key.fd]] += data
            if not data:
                self.sel.unregister(key.fd)
                self.eof[self.fds[key.fd]] = True

    def alive(self):
        return self.proc.poll() is None

    def take_probe(self, probe):
        """(where, the output before the probe's answer) once the answer is there."""
        needle, out = b'\n' + probe + b'\n', b'\n' + bytes(self.bufs['out'])
        i = out.find(needle)
        if i >= 0:
            del self.bufs['out'][:i + len(needle) - 1]
            return 'pipe', out[1:i + 1]
        for name, sink in self.sinks.items():
            try:
                st = os.stat(sink[0])
                if stat.S_ISREG(st.st_mode) and (st.st_size, st.st_mtime_ns, st.st_ino) != sink[3]:
                    with open(sink[0], 'rb') as fh:
                        sink[1], sink[3] = fh.read(64 << 20), (st.st_size, st.st_mtime_ns, st.st_ino)
            except OSError:
                pass
            data = b'\n' + sink[1]
            i = data.find(needle)
            if i >= 0:
                j = data.find(b'\n' + sink[2] + b'\n') if sink[2] else -1
                start, sink[2] = (j + len(sink[2]) + 1 if 0 <= j < i else 0), probe
                return name, data[start + 1:i + 1]
        return None

    def wait_probe(self, probe, timeout):
        deadline = time.monotonic() + timeout
        while True:
            self.pump(0.02)
            found = self.take_probe(probe)
            if found:
                return found
            if BANNED in self.bufs['out'] or any(BANNED in sink[1] for sink in self.sinks.values()):
                raise Banned()
            if not self.alive() and all(self.eof.values()):
                raise Exited()
            if time.monotonic() > deadline:
                raise Hang('input not yet written: %d bytes; output: %r' % (len(self.pending),
                                                                          bytes(self.bufs['out'][-300:])))

    def finish(self, timeout):
        self.stdin_closed, deadline = True, time.monotonic() + timeout
        while self.alive() or not all(self.eof.values()):
            if time.monotonic() > deadline:
                raise Hang()
            self.pump(0.02)
        return self.proc.wait()

    def close(self):
        if self.alive():
            self.proc.kill()
        self.proc.wait()
        for _ in range(20):   # late sanitizer reports still count
            if all(self.eof.values()):
                break
            self.pump(0.01)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        self.sel.close()
        os.close(self.master)
        os.close(self.slave)


SLOW_WORDS = {b'wait_for_solver', b'build_tree', b'load_script', b'take_a_break', b'calc_results', b'calc_ev',
              b'calc_ev_pp', b'calc_ev_line', b'calc_eq', b'calc_eq_pp', b'calc_eq_node', b'show_strategy_pp',
              b'load_tree', b'dump_tree', b'solve_all_splits', b'solve_partial', b'explo_partial', b'forget'}
# Commands whose refusal changes nothing, and the queries that show it.
PURE_REFUSALS = {b'set_board': [b'show_tree_params'], b'set_pot': [b'show_tree_params'],
                 b'set_range': [b'show_range OOP', b'show_range IP'],
                 b'remove_line': [b'show_children r:0', b'node_count']}
TREE_QUERIES = [b'is_tree_present', b'show_effective_stack', b'node_count', b'show_children r:0']


class Runner:
    """One case; run() leaves failure, banned, stderr, commands, lines (as sent) and failing_line."""

    def __init__(self, opts, case, seed=0):
        self.opts, self.case, self.rnd = opts, case, random.Random(seed)
        self.session = self.workdir = self.failure = None
        self.probe_n = self.commands = self.go_ok = self.started = self.stopped = 0
        self.redirected = self.banned = False
        self.paths = [(b'r', b'ROOT'), (b'r:0', b'OOP_DEC')]   # (path, kind) listed by show_children
        self.lines, self.stderr, self.failing_line = [], b'', -1

    def setup_dir(self):
        self.workdir = tempfile.mkdtemp(prefix='case.', dir=self.opts.tmp)
        os.mkdir(os.path.join(self.workdir, DIR_NAME))
        os.mkfifo(os.path.join(self.workdir, FIFO_NAME))
        os.symlink('tree.bin', os.path.join(self.workdir, LINK_NAME))
        os.symlink(LOOP_NAME, os.path.join(self.workdir, LOOP_NAME))
        for name, data in self.case.files.items():
            os.makedirs(os.path.dirname(os.path.join(self.workdir, name)), exist_ok=True)
            with open(os.path.join(self.workdir, name), 'wb') as fh:
                fh.write(data)

    def sink_names(self):
        text = b'\n'.join(self.case.lines + list(self.case.files.values()))
        return {m.split(b'\0')[0] for m in re.findall(rb'stdoutredi(?:_append)? +([^ \r\n]+)', text)}

    def resolve(self, line):
        for mark, kind in ((PATH_MARK, b''), (DECISION_MARK, b'_DEC')):
            pool = [p for p, k in self.paths if k.endswith(kind)]
            while mark in line:
                line = line.replace(mark, self.rnd.choice(pool), 1)
        return line

    def send(self, line):
        """Sends a line and its probe; returns the answer lines (solver reports taken out)."""
        marker, tokens = line_tokens(line)
        word = tokens[0] if tokens else b''
        self.probe_n += 1
        self.commands += 1
        probe = b'ERROR: Command ' + PROBE + b'%d not recognized' % self.probe_n
        self.session.write(line + b'\n' + PROBE + b'%d\n' % self.probe_n)
        timeout = self.opts.timeout * (3 if word in SLOW_WORDS else 1)
        try:
            where, seg = self.session.wait_probe(probe, timeout)
        except Hang as h:
            raise Failure('hang', 'no answer within %d s to %r' % (timeout, line[:120]),
                          sig=word[:40].decode('latin-1'), detail=str(h))
        except Exited:
            status = self.session.proc.poll()
            if status == 0 and word == b'load_script' and any(b'exit' in d for d in self.case.files.values()):
                raise
            raise Failure('crash', 'the engine ended (status %s) while answering %r' % (status, line[:100]),
                          sig='status %s' % status)
        self.redirected |= where != 'pipe'
        answers, events, problem = split_reports(seg, self.case.gui, None if word == b'load_script' else marker)
        self.started += events.count('started')
        self.stopped += events.count('stopped')
        try:
            problem = problem or answer_problem(tokens, answers, self.opts.table)
        except Problem as p:
            problem = str(p)
        if problem:
            raise Failure('protocol', 'answer to %r: %s' % (line[:100], problem),
                          detail='\n'.join(repr(l[:200]) for l in answers[:30]))
        self.go_ok += answers.count(b'go ok!')
        return answers

    def snapshot(self, queries):
        return [(q, self.send(q)) for q in queries]

    def check_children(self, parent, listing):
        """Children show_children lists resolve to the blocks it listed."""
        block = self.send(b'show_node ' + parent)
        if len(block) == 7 and block[1] != b'SPLIT_NODE' and block[4] != b'%d children' % len(listing):
            raise Failure('resolve', 'show_node %r says %r, show_children lists %d' % (
                parent[:80], block[4], len(listing)), sig='child count')
        for path, child in self.rnd.sample(listing, min(6, len(listing))):
            if re.search(rb':b[^:]*\Z', path) and re.search(rb'[.e]', child[3]):
                continue   # a key that is no whole number is printed cut and cannot resolve
            if self.send(b'show_node ' + path)[:6] != child:
                raise Failure('resolve', 'show_children %r lists %r, show_node answers otherwise' % (
                    parent[:60], path[:80]), sig='unresolved')

    def run(self):
        self.setup_dir()
        try:
            self.session = Session(self.opts, self.workdir, self.case.gui, self.sink_names())
            self._run()
        except Failure as f:
            self.failure = f
        except Banned:
            self.banned = True
        except Exited:
            pass
        finally:
            if self.session:
                self.session.close()
                self.stderr = bytes(self.session.bufs['err'])
            self.failure = self.failure or self.file_targets_problem()
            shutil.rmtree(self.workdir, ignore_errors=True)
        m = SANITIZER_RE.search(self.stderr)
        if m and (self.failure is None or self.failure.kind != 'sanitizer'):
            loc = re.search(rb'#\d+ 0x[0-9a-f]+ in (\S+)', self.stderr[m.start():])
            kind = re.sub(r'0x[0-9a-f]+|\d+', '_', m.group(1).decode('latin-1'))
            where = loc.group(1).decode('latin-1') if loc else ''
            self.failure = Failure('sanitizer', 'sanitizer report: %s in %s' % (kind, where), sig=kind + '@' + where)
        return self

    def file_targets_problem(self):
        for _, _, names in os.walk(self.workdir):
            if any(n.endswith('.tvtmp') for n in names):
                return Failure('files', 'a temporary save file was left', sig='temporary file')
        kept = [os.path.islink(os.path.join(self.workdir, n)) for n in (LINK_NAME, LOOP_NAME)]
        kept.append(stat.S_ISFIFO(os.lstat(os.path.join(self.workdir, FIFO_NAME)).st_mode))
        return None if all(kept) else Failure('files', 'a link or FIFO was replaced', sig='file target')

    def _run(self):
        s = self.session
        deadline = time.monotonic() + self.opts.timeout * 3
        while b'\n' not in s.bufs['out']:
            if time.monotonic() > deadline or not s.alive() and all(s.eof.values()):
                raise Failure('hang' if s.alive() else 'crash', 'no banner (status %s)' % s.proc.poll(), sig='start')
            s.pump(0.02)
        banner = bytes(s.bufs['out'][:s.bufs['out'].index(b'\n')])
        if not banner.startswith(b'Travanto '):
            raise Failure('protocol', 'unexpected banner %r' % banner[:100])
        del s.bufs['out'][:len(banner) + 1]
        exited = False
        for i, line in enumerate(self.case.lines):
            self.failing_line = i
            line = self.resolve(line)
            self.lines.append(line)
            tokens = line_tokens(line)[1]
            word = tokens[0] if tokens else b''
            if word == b'exit':
                s.write(line + b'\n')
                self.commands += 1
                exited = True
                break
            queries = PURE_REFUSALS.get(word)
            if word in (b'build_tree', b'free_tree'):
                idle = not self.redirected and self.go_ok == self.stopped
                queries = TREE_QUERIES + ([b'show_strategy r:0', b'show_node r'] if idle else [])
            before = self.snapshot(queries) if queries and len(line) < 100000 else None
            try:
                answers = self.send(line)
            except Exited:
                exited = True
                break
            if before and len(answers) == 1 and is_error(answers[0]):
                for (q, a1), (_, a2) in zip(before, self.snapshot(queries)):
                    if a1 != a2:
                        raise Failure('state', 'refused %r changed the answer to %r' % (line[:80], q),
                                      sig=word.decode('latin-1') + q.decode(), detail='%r\n%r' % (a1[:6], a2[:6]))
            if word == b'show_children' and len(tokens) == 2 and answers[-1:] == [b'END']:
                listing = node_blocks(answers, True)
                self.paths += [(p, b[1]) for p, b in listing if (p, b[1]) not in self.paths][:50]
                self.check_children(tokens[1], listing)
        self.failing_line = len(self.case.lines)
        if not exited:
            try:
                self.send(b'stop')
                self.send(b'wait_for_solver')
                s.write(self.case.tail if self.case.tail is not None else b'exit\n')
            except Exited:
                exited = True
        try:
            status = s.finish(self.opts.timeout * 2)
        except Hang:
            raise Failure('hang', 'the engine did not end after exit or end of input', sig='exit')
        if status != 0:
            raise Failure('crash', 'the engine ended with status %d' % status, sig='status %d' % status)
        answers, events, problem = split_reports(bytes(s.bufs['out']), self.case.gui, None)
        if problem or answers:
            raise Failure('protocol', 'after the last answer: %s' % (problem or 'output %r' % answers[0][:100]),
                          sig='output after the last command')
        self.started += events.count('started')
        self.stopped += events.count('stopped')
        if not exited and not self.sink_names() and not (self.go_ok == self.started == self.stopped):
            raise Failure('protocol', '%d runs answered "go ok!", %d started, %d stopped' % (
                self.go_ok, self.started, self.stopped), sig='run counts')
        if s.bufs['tty']:
            raise Failure('tty', 'output on the controlling terminal: %r' % bytes(s.bufs['tty'][:200]))


def write_report(out_dir, index, case, result, seed):
    """The case up to its failing line as a replayable case file, and the engine's stderr."""
    f, d = result.failure, os.path.join(out_dir, '%02d-%s' % (index, result.failure.kind))
    os.makedirs(d, exist_ok=True)
    lines = (result.lines or case.lines)[:result.failing_line + 1 if result.failing_line >= 0 else None]
    notes = ['%s failure: %s' % (f.kind, f.message[:300]), 'from %s' % case.origin,
             'replay: tests/fuzz/protocol_fuzz.py --binary BINARY --replay %s/case.txt' % d]
    with open(os.path.join(d, 'case.txt'), 'wb') as fh:
        fh.write(format_case(dataclasses.replace(case, lines=lines, seed=seed), notes))
    with open(os.path.join(d, 'report.txt'), 'w') as fh:
        fh.write('%s\n\n%s\n\nstderr:\n%s\n' % (f.message, f.detail, result.stderr.decode('latin-1')[-20000:]))
    return d


def build_parser():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--binary', default=os.path.join(REPO, 'build-asan', 'travanto'))
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--seconds', type=float, default=60, help='time budget; no case starts after it')
    ap.add_argument('--corpus', default=DEFAULT_CORPUS)
    ap.add_argument('--table', default=DEFAULT_TABLE, help='the engine\'s command table source')
    ap.add_argument('--out', default=None, help='folder for reproducers (default: a new temporary folder)')
    ap.add_argument('--timeout', type=float, default=20, help='seconds an answer may take (x3 for slow commands)')
    ap.add_argument('--replay', action='append', default=[], help='run these case files only')
    return ap


def main(argv=None):
    opts = build_parser().parse_args(argv)
    opts.table, opts.binary = read_command_table(opts.table), os.path.abspath(opts.binary)
    if not os.access(opts.binary, os.X_OK):
        print('protocol_fuzz: no engine at %s' % opts.binary, file=sys.stderr)
        return 2
    deadline, opts.tmp = time.monotonic() + opts.seconds, tempfile.mkdtemp(prefix='protocol-fuzz.')
    print('protocol fuzz: %s, seed %d, %g s, %d commands in the table' % (
        opts.binary, opts.seed, opts.seconds, len(opts.table)), flush=True)
    out_dir = opts.out or tempfile.mkdtemp(prefix='protocol-fuzz-failures.')
    os.makedirs(out_dir, exist_ok=True)
    queue = [parse_case(Path(p).read_bytes(), origin=p) for p in opts.replay] or load_corpus(opts.corpus)
    cases = commands = generated = banned = 0
    failures, seen = [], set()
    try:
        while time.monotonic() < deadline or cases == 0:
            if queue:
                case = queue.pop(0)
            elif opts.replay:
                break
            else:
                case = generate_case(opts.table, opts.seed, generated)
                case.origin = 'seed %d, generated case %d' % (opts.seed, generated)
                generated += 1
            seed = random.Random('case:%d:%d' % (opts.seed, cases)).getrandbits(64) if case.seed is None else case.seed
            result = Runner(opts, case, seed).run()
            cases, commands, banned = cases + 1, commands + result.commands, banned + result.banned
            if result.failure is None or (result.failure.sig in seen and not case.origin.startswith('corpus/')):
                continue
            seen.add(result.failure.sig)
            failures.append(write_report(out_dir, len(failures) + 1, case, result, seed))
            print('FAIL [%s] %s\n    %s\n    reproducer: %s' % (result.failure.kind, case.origin,
                                                                 result.failure.message[:300], failures[-1]), flush=True)
    finally:
        shutil.rmtree(opts.tmp, ignore_errors=True)
    print('%d cases, %d commands, %d failures%s' % (cases, commands, len(failures),
                                                    ', %d cases void: a banned program ran' % banned if banned else ''))
    if failures:
        print('reproducers in %s' % out_dir)
    elif not opts.out:
        shutil.rmtree(out_dir, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
