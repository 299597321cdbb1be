#!/usr/bin/env python3
"""Protocol fuzzer: random command sequences against an engine binary (normally the sanitizer build).

Commands come from the engine's own command table (app/command_table.cpp: word and token count);
their arguments from a short table of token kinds (card, player, path, amounts, file, ...). Answers
are not predicted but judged by invariants:
  - every line is answered: after each line a sync probe ("zz_sync_N", an unknown command with a
    fresh number) must get its "not recognized" answer in time, else the case hangs;
  - answers are well formed: known line shapes, no empty, cut or merged lines, hand lists of 1,326
    values, node blocks of six lines, multi-line answers closed by END, an error alone and naming
    its command, "ok!" naming its command, a wrong token count refused, an unknown word refused;
  - no crash, no sanitizer report on stderr, no output after exit, nothing on the terminal;
  - a refused command leaves the state as it was (queries before and after it);
  - every child path show_children lists resolves to the block it listed;
  - saves aimed at links, FIFOs, link loops and long names leave them be and leave no temporary file;
  - one case in eight runs again with standard output (and error) closed or an address-space limit.
Cases come first from the seed corpus (protocol_corpus/*.txt), then generated or mutated. A failing
case is shrunk and written to the output folder as a replayable case file plus the exact bytes sent.

Usage: protocol_fuzz.py --binary build-asan/travanto --seed 1 --seconds 180 --out DIR
       protocol_fuzz.py --binary BINARY --replay CASE

Case file: one stdin line per line, bytes as they are. Lines starting with "#@" are not sent:
    #@gui   start with /gui           #@dir NAME / #@fifo NAME   create a directory / FIFO
    #@file NAME, then "#@| text" lines (a helper file)   #@end-lf no   its last line has no LF
    #@tail TEXT   sent last without a line feed          #@expand   {{TEXT*N}}: N copies of TEXT
    #@seed N      the run's own random choices (placeholders @P/@D, a stressed run when N % 8 == 1)
Every file name is relative to the case's temporary folder, which is the engine's working directory.
"""

import argparse
import dataclasses
import os
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
BOM, MARK = b'\xef\xbb\xbf', b'\xa7'
PROBE_PREFIX = b'zz_sync_'
HANDS = 1326
FILE_SIZE_LIMIT = 256 << 20
CARDS = [r + s for r in b'23456789TJQKA'.decode() for s in 'cdhs']


def read_command_table(path=DEFAULT_TABLE):
    """{word: token count (-1: any)} of the rows that have a handler."""
    with open(path) as f:
        rows = re.findall(r'\{"(\w+)",\s*(\w+),\s*(-?\d+)\}', f.read())
    return {w: int(n) for w, handler, n in rows if handler != 'nullptr'}


def c_string(token):
    return token.split(b'\0', 1)[0]


def line_tokens(line):
    """(marker, tokens) of a stdin line as the command loop splits it."""
    if line.endswith(b'\r'):
        line = line[:-1]
    marker = line.startswith(MARK)
    return marker, [t for t in (line[1:] if marker else line).split(b' ') if t]


# ---------------------------------------------------------------------------------------------
# Cases.

@dataclasses.dataclass
class Case:
    lines: list
    files: dict = dataclasses.field(default_factory=dict)
    dirs: list = dataclasses.field(default_factory=list)
    fifos: list = dataclasses.field(default_factory=list)
    gui: bool = False
    tail: bytes = None
    origin: str = ''
    seed: int = None          # the run's own random choices (placeholders, stressed runs)

    def copy(self, **kw):
        fields = dict(lines=list(self.lines), files=dict(self.files), dirs=list(self.dirs), fifos=list(self.fifos))
        return dataclasses.replace(self, **{**fields, **kw})


def parse_case(data, origin=''):
    case, current, expand = Case([], origin=origin), None, False
    parts = data.split(b'\n')
    if parts[-1] == b'':
        parts.pop()
    dec = lambda b: b.decode('utf-8', 'surrogateescape')
    for raw in parts:
        if raw == b'#@expand':
            expand = True
            continue
        if expand:
            raw = re.sub(rb'\{\{(.*?)\*(\d+)\}\}', lambda m: m.group(1) * int(m.group(2)), raw)
        if raw.startswith(b'#@|'):
            case.files[current] += raw[4:] + b'\n'
        elif raw.startswith(b'#@file '):
            current = dec(raw[7:])
            case.files[current] = b''
        elif raw == b'#@end-lf no':
            case.files[current] = case.files[current][:-1]
        elif raw.startswith(b'#@dir '):
            case.dirs.append(dec(raw[6:]))
        elif raw.startswith(b'#@fifo '):
            case.fifos.append(dec(raw[7:]))
        elif raw == b'#@gui':
            case.gui = True
        elif raw.startswith(b'#@tail '):
            case.tail = raw[7:]
        elif raw.startswith(b'#@seed '):
            case.seed = int(raw[7:])
        elif not raw.startswith(b'#@'):
            case.lines.append(raw)
    return case


def format_case(case, notes=()):
    enc = lambda s: s.encode('utf-8', 'surrogateescape')
    out = [b'#@ ' + enc(n) for n in notes] + ([b'#@gui'] if case.gui else [])
    out += [b'#@seed %d' % case.seed] if case.seed is not None else []
    out += [b'#@dir ' + enc(d) for d in case.dirs] + [b'#@fifo ' + enc(f) for f in case.fifos]
    for name, content in case.files.items():
        out.append(b'#@file ' + enc(name))
        body = content.split(b'\n')
        no_lf = body[-1] != b''
        out += [b'#@| ' + l if l else b'#@|' for l in (body if no_lf else body[:-1])]
        out += [b'#@end-lf no'] if no_lf else []
    out += case.lines + ([b'#@tail ' + case.tail] if case.tail is not None else [])
    return b'\n'.join(out) + b'\n'


def load_corpus(directory):
    names = sorted(n for n in os.listdir(directory) if n.endswith('.txt')) if os.path.isdir(directory) else []
    cases = []
    for name in names:
        with open(os.path.join(directory, name), 'rb') as f:
            cases.append(parse_case(f.read(), origin='corpus/' + name))
    return cases


# ---------------------------------------------------------------------------------------------
# Generation: command words from the table, arguments by token kind.

DIR_NAME, FIFO_NAME, LINK_NAME, LOOP_NAME = 'adir', 'afifo', 'alink', 'aloop'   # in every case folder
PATH_PLACEHOLDER, DECISION_PLACEHOLDER = b'@P', b'@D'    # a path show_children listed, chosen at run time
# Token kinds of the commands whose arguments the table's count does not describe. Other commands:
# count 2 takes a path, larger counts take numbers.
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
CHOICES = {k: v.split(b' ') for k, v in {     # kinds that are a pick from a list
    'threads': b'1 2 0 -3 100000 2147483647', 'bit': b'0 1', 'label': b'L1 DONE', 'street': b'turns rivers river x',
    'child': b'0 1 2 -1 9', 'level': b'0 1 2 3 4 auto none max 9 x', 'pause': b'0 1 -1 x', 'fraction': b'fraction',
    'ms': b'0 5 50 -5 x 99999999999 -2147483648 1e3', 'num': b'0 0.01 0.5 1 100 2.5', 'player': b'OOP IP hero villain',
    'file': b'out1.txt missing.txt adir tree.bin', 'sink': b'out1.txt out2.txt log.txt ' * 6 + b'afifo adir nodir/x',
    'treefile': b'tree.bin tree.bin tree.bin alink adir missing.bin out1.txt',    # no FIFO: opening one waits
    'savefile': b'tree.bin tree.bin tree.bin alink aloop adir afifo ' + b' '.join(b'n' * n for n in (250, 255, 256))
}.items()}
# Lines never mutated at random: a wait, a pause or a run must stay bounded.
GUARDED = {b'go', b'sleep', b'take_a_break', b'wait_for_solver', b'exit', b'load_script', b'set_board'}
WEIGHTS = {'show_children': 8, 'show_node': 3, 'go': 3, 'add_line': 3, 'build_tree': 3, 'load_script': 2,
           'calc_results': 2, 'show_strategy': 2}
HOSTILE = (b'99999999999 2147483648 -2147483649 2147483647 -2147483648 1e300 1e400 nan inf -inf 0x10 1e-400 12abc '
           b'-0 +5 -5 0 x . - 1e 5\x00junk 4294967296 -1 Zz AsAs 10c K r:0 OOP #4 \xef\xbb\xbf \xa7 \r steps '
           b'seconds fraction auto \x7f \xff\xfe r::c R:0 r:0: \t7').split(b' ')


def hostile_token(r):
    n = 70000 + r.randrange(100)
    long = [b'5' + b'0' * n, b'0.' + b'0' * n + b'1', b'50.' + b'0' * n, b'A' * n, b'r:0:b' + b'9' * n]
    return r.choice(long) if r.random() < 0.05 else r.choice(HOSTILE)


class Generator:
    """One case from a random stream. Knows the spot it set up so that most arguments are valid,
    and never waits for a run that may not end by itself."""

    def __init__(self, rnd, table):
        self.r, self.table, self.words = rnd, table, sorted(table)
        self.lines, self.files, self.board, self.pot, self.amounts = [], {}, [], 100, [0, 50, 100]
        self.unbounded = self.in_script = False
        self.depth = 0

    def emit(self, line):
        t = line_tokens(line)[1]
        if t[:1] in ([b'wait_for_solver'], [b'load_script']) and self.unbounded:
            self.lines.append(b'stop')
        if t[:1] == [b'go']:
            self.unbounded = self.unbounded or not self.bounded(t)
        elif t[:1] in ([b'stop'], [b'take_a_break'], [b'wait_for_solver'], [b'load_script']):
            self.unbounded = False
        self.lines.append(line)

    @staticmethod
    def bounded(t):
        """Whether a go line is refused or ends soon by itself."""
        if len(t) != 3 or t[2] not in (b'steps', b'seconds'):
            return len(t) != 1
        n = int(t[1]) if re.fullmatch(rb'-?\d+', t[1]) else 0
        return 0 < n <= 60 if t[2] == b'steps' else n in (1, 2)

    def kind(self, k):
        r = self.r
        if k in CHOICES:
            return r.choice(CHOICES[k])
        if k in ('path', 'dpath'):
            if not self.in_script and r.random() < 0.7:
                return DECISION_PLACEHOLDER if k == 'dpath' and r.random() < 0.8 else PATH_PLACEHOLDER
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


def mutate(rnd, case, corpus, table):
    """A corpus case with lines deleted, repeated, inserted or spliced from another case."""
    c, gen = case.copy(origin='mutant of ' + case.origin), Generator(rnd, table)
    for _ in range(rnd.randint(1, 4)):
        k, pos = rnd.randrange(6), rnd.randint(0, len(c.lines))
        i = min(pos, len(c.lines) - 1)
        guarded = not c.lines or line_tokens(c.lines[i])[1][:1] in ([w] for w in GUARDED)
        if k < 2:
            gen.lines = []
            gen.command()
            c.lines[pos:pos] = gen.lines
        elif k == 2 and not guarded:
            del c.lines[i]
        elif k == 3 and not guarded:
            c.lines.insert(i, c.lines[i])
        elif k == 4 and not guarded:
            c.lines[i] = b' '.join(gen.hostile(c.lines[i].split(b' ')))
        elif k == 5:
            other = rnd.choice(corpus)
            c.lines = c.lines[:pos] + other.lines[rnd.randint(0, len(other.lines)):]
            c.files, c.dirs, c.fifos = {**other.files, **c.files}, c.dirs + other.dirs, c.fifos + other.fifos
    c.files = {**gen.files, **c.files}
    c.dirs, c.fifos = sorted(set(c.dirs)), sorted(set(c.fifos))
    gen.lines, gen.unbounded = [], False
    for line in c.lines:   # a splice may leave a wait after a run without limit
        gen.emit(line)
    c.lines = gen.lines
    return c


# ---------------------------------------------------------------------------------------------
# Answer invariants.

class Problem(Exception):
    pass


NUM = rb'[-+]?(?:\d+(?:\.\d*)?(?:e[-+]?\d+)?|inf|nan)'
CARD = rb'[2-9TJQKA][cdhs]'
LINE_FORMS = [re.compile(x + rb'\Z') for x in [
    rb'[a-z_0-9]+ ok!', rb'ERROR: .*', rb'Invalid value', rb'END', rb'child \d+:', rb'r(?::[^ ]*)*',
    rb'ROOT|SPLIT_NODE|END_NODE|IP_DEC|OOP_DEC', CARD + rb'(?: ' + CARD + rb')*', NUM + rb' ' + NUM + rb' ' + NUM,
    rb'\d+ children', rb'flags:(?: [A-Z_ ]*)?', rb'true|false', NUM, rb'compression -?\d+', rb'AVX2|AVX|SSE3',
    rb'(?:' + NUM + rb' ?)+', rb'(?:[A-Za-z0-9_+-]+ )+', CARD + CARD + rb': ' + NUM + rb'; ' + NUM,
    rb'(?:EV OOP|EV IP|OOP\'s MES|IP\'s MES|Exploitable for): ' + NUM, rb'(?:H_DEC|V_DEC|SPLIT|END|ROOT|TOTAL): \d+',
    rb'(?:FLOP|TURN|RIVER) +\d+', rb'board: (?:' + CARD + rb' ?)*', rb'pot: ' + NUM + rb' ' + NUM + rb' ' + NUM,
    rb'bet_sizes: ', rb'donk_bet: FALSE', rb'(?:Total Physical|Available Phys) Memory: -?\d+ MB',
    rb'(?:' + CARD + CARD + rb' ?)+', CARD + CARD + rb': (?:  ' + NUM + rb')+', rb'travanto \S+ \S+',
    rb'level \d: \d+\.\d MB(?: \(reserves \d+\.\d MB\))?(?: \(auto\))?(?: \(in force\))?',
    rb'hand lists, card tree and scratch: \d+\.\d MB',
    rb'(?:tree )?schedule [a-z]+(?: ' + NUM + rb')*(?: from iteration \d+)?']]
NODE_BLOCK = [re.compile(x + rb'\Z') for x in [
    rb'r(?::[^ :]+)*', rb'ROOT|SPLIT_NODE|END_NODE|IP_DEC|OOP_DEC', CARD + rb'(?: ' + CARD + rb'){2,4}',
    NUM + rb' ' + NUM + rb' ' + NUM, rb'\d+ children', rb'flags:(?: [A-Z_ ]*)?']]
RESULT_KEYS = [b'running time: ', b'EV OOP: ', b'EV IP: ', b"OOP's MES: ", b"IP's MES: ", b'Exploitable for: ']
STOP_REASONS = {b'requested', b'required accuracy reached', b'required number of steps done', b'timeout reached',
                b'out of memory'}


def is_error(line):
    return line.startswith(b'ERROR: ') or line == b'Invalid value'


def split_reports(data, gui, marker):
    """Separates the solver's reports from answer lines: (answers, events, problem or None).
    marker: every answer line must carry 0xA7 (True), must not (False), or either (None)."""
    lines = data.split(b'\n')
    if lines[-1] == b'':
        lines.pop()
    answers, events, i = [], [], 0
    while i < len(lines):
        line = lines[i][1:] if lines[i].startswith(MARK + b'SOLVER:') else lines[i]   # reports may carry it
        if line == b'SOLVER: started':
            events.append('started')
        elif line.startswith(b'SOLVER: stopped (') and line.endswith(b')'):
            events.append('stopped')
            if line[17:-1] not in STOP_REASONS:
                return answers, events, 'unknown stop reason %r' % line[:100]
        elif line == b'SOLVER:' and not gui:
            block = lines[i + 1:i + 8]
            if len(block) != 7 or block[6] != b'END' or not all(
                    b.startswith(k) and re.match(NUM + rb'\Z', b[len(k):]) for b, k in zip(block, RESULT_KEYS)):
                return answers, events, 'malformed solver report %r' % b'\n'.join(lines[i:i + 8])[:300]
            i += 8
            continue
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
        if numbered:
            if lines[i] != b'child %d:' % len(blocks):
                raise Problem('expected "child %d:", got %r' % (len(blocks), lines[i][:100]))
            i += 1
        block = lines[i:i + 6]
        bad = next((l for rx, l in zip(NODE_BLOCK, block) if not rx.match(l)), None)
        if len(block) < 6 or bad is not None:
            raise Problem('malformed node block line %r' % (bad or block[-1])[:100])
        blocks.append((block[0], block))
        i += 6
    if lines[i:] != [b'END']:
        raise Problem('node blocks not closed by END: %r' % lines[i:i + 2])
    return blocks


def answer_problem(tokens, lines, table):
    """What breaks the protocol in the answer lines of one stdin line (None: nothing)."""
    for l in lines:
        if not l:
            return 'empty answer line'
        if not any(rx.match(l) for rx in LINE_FORMS):
            return 'malformed answer line %r' % l[:120]
        values = l.rstrip(b' ').split(b' ')
        if len(values) > 100 and len(values) != HANDS and not l.startswith(b'ERROR'):
            return 'hand list of %d values' % len(values)
    if not tokens or tokens[0] == b'load_script':
        return None    # the answers of a script's lines: checked line by line only
    word = c_string(tokens[0])
    if word.startswith(b'#'):
        return 'answer to a comment: %r' % lines[:1] if lines else None
    if word.startswith(BOM) and word[3:].decode('latin-1') in table:
        return None    # a byte order mark on a command line: not part of the protocol
    unknown = b'ERROR: Command ' + word + b' not recognized'
    count = table.get(tokens[0].decode('latin-1'))   # a NUL ends the printed word, not the looked-up one
    if count is None:
        return None if lines == [unknown] else 'unknown word answered %r' % lines[:2]
    if unknown in lines:
        return 'a command of the table is not recognized'
    if count > 0 and count != len(tokens):
        want = [b'ERROR: ' + word + b' incorrect or missing argument']
        return None if lines == want else 'a line of %d tokens answered %r' % (len(tokens), lines[:2])
    errors = [l for l in lines if is_error(l)]
    if errors and len(lines) > 1:
        return 'an error among other answer lines: %r' % lines[:3]
    if errors and not (errors[0].startswith(b'ERROR: ' + word + b' ') or errors[0] in (
            b'Invalid value', b'ERROR: invalid card') or errors[0].startswith(b'ERROR: banned process running: ')):
        return 'error that does not name its command: %r' % errors[0][:100]
    oks = [l for l in lines if l.endswith(b' ok!')]
    if oks and lines != [word + b' ok!']:
        return 'ok line %r in the answer %r' % (oks[0][:60], lines[:3])
    if len(lines) > 1 and lines[-1] != b'END' or b'END' in lines[:-1]:
        return 'a multi-line answer not closed by one END: %r' % lines[-2:]
    if word in (b'show_node', b'show_children') and not errors:
        node_blocks(lines, word == b'show_children')
    return None


# ---------------------------------------------------------------------------------------------
# The engine process.

class Failure(Exception):
    """A fault of the engine; failures with the same signature count as one."""

    def __init__(self, kind, message, sig='', detail=''):
        super().__init__(message)
        self.kind, self.message, self.detail = kind, message, detail
        self.sig = '%s:%s' % (kind, sig or re.sub(r"b?'(?:[^'\\]|\\.)*'|-?\d+(?:\.\d+)?", '_', message)[:80])


class Hang(Exception):
    pass


class Banned(Exception):
    """A program of the banned list runs on this machine: the engine refuses every line, the case says nothing."""


BANNED = b'ERROR: banned process running: '


class Exited(Exception):
    pass


SANITIZER_RE = re.compile(rb'(ERROR: AddressSanitizer: [\w-]+|ERROR: LeakSanitizer|runtime error: [^\n]{0,100}|'
                          rb'WARNING: ThreadSanitizer: [\w ]+|ERROR: ThreadSanitizer: [\w-]+|'
                          rb'ERROR: UndefinedBehaviorSanitizer: [\w-]+|AddressSanitizer:DEADLYSIGNAL)')


def sanitizer_env():
    env = dict(os.environ)
    env['ASAN_OPTIONS'] = 'allocator_may_return_null=1:detect_leaks=0:handle_abort=1:' + env.get('ASAN_OPTIONS', '')
    env['UBSAN_OPTIONS'] = 'print_stacktrace=1:halt_on_error=1:' + env.get('UBSAN_OPTIONS', '')
    env['TSAN_OPTIONS'] = 'halt_on_error=0:' + env.get('TSAN_OPTIONS', '')
    return env


def child_setup(tty_name):
    os.setsid()
    os.close(os.open(tty_name, os.O_RDWR))   # the controlling terminal: output there is caught
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


class Session:
    """One engine process: feeds lines, collects its streams and the redirection files."""

    def __init__(self, opts, workdir, gui, sinks):
        self.opts, (self.master, self.slave) = opts, pty.openpty()
        tty.setraw(self.slave)
        name = os.ttyname(self.slave)
        self.proc = subprocess.Popen([opts.binary] + (['/gui'] if gui else []), cwd=workdir, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=sanitizer_env(),
                                     close_fds=True, preexec_fn=lambda: child_setup(name))
        self.sel = selectors.DefaultSelector()
        self.fds = {self.proc.stdout.fileno(): 'out', self.proc.stderr.fileno(): 'err', self.master: 'tty'}
        for fd in list(self.fds) + [self.proc.stdin.fileno()]:
            os.set_blocking(fd, False)
        for fd in self.fds:
            self.sel.register(fd, selectors.EVENT_READ)
        self.pending, self.sent, self.stdin_closed, self.last_poll = b'', bytearray(), False, 0
        self.bufs = {'out': bytearray(), 'err': bytearray(), 'tty': bytearray()}
        self.eof = {'out': False, 'err': False}
        # Redirection files: path, (size, time, inode), content, the last probe answer found there
        self.sinks = {n: [os.path.join(workdir.encode(), n), None, b'', None] for n in sinks}

    def write(self, data):
        self.pending += data
        self.sent += data

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
        if time.monotonic() - self.last_poll > 0.03:
            self.last_poll = time.monotonic()
            self.poll_files()
            try:
                with open('/proc/%d/status' % self.proc.pid, 'rb') as f:
                    mb = int(next(l for l in f if l.startswith(b'VmRSS:')).split()[1]) >> 10
            except (OSError, ValueError, StopIteration):
                mb = 0
            if mb > self.opts.max_rss_mb:
                raise Failure('memory', 'resident memory reached %d MB' % mb, sig='rss')

    def poll_files(self):
        for sink in self.sinks.values():
            try:
                st = os.stat(sink[0])
                if stat.S_ISREG(st.st_mode) and (st.st_size, st.st_mtime_ns, st.st_ino) != sink[1]:
                    with open(sink[0], 'rb') as f:
                        sink[1:3] = (st.st_size, st.st_mtime_ns, st.st_ino), f.read(64 << 20)
            except OSError:
                pass

    def alive(self):
        return self.proc.poll() is None

    def take_probe(self, probe):
        """(where, the output before the probe's answer) once the answer is there."""
        needle = b'\n' + probe + b'\n'
        out = b'\n' + bytes(self.bufs['out'])
        i = out.find(needle)
        if i >= 0:
            del self.bufs['out'][:i + len(needle) - 1]
            return 'pipe', out[1:i + 1]
        for name, sink in self.sinks.items():
            data = b'\n' + sink[2]
            i = data.find(needle)
            if i >= 0:
                j = data.find(b'\n' + sink[3] + b'\n') if sink[3] else -1
                start, sink[3] = (j + len(sink[3]) + 1 if 0 <= j < i else 0), probe
                return name, data[start + 1:i + 1]
        return None

    def wait_probe(self, probe, timeout):
        deadline = time.monotonic() + timeout
        while True:
            found = self.take_probe(probe)
            if found:
                return found
            if BANNED in self.bufs['out'] or any(BANNED in sink[2] for sink in self.sinks.values()):
                raise Banned()
            ended = not self.alive() and all(self.eof.values())
            if ended or time.monotonic() > deadline:
                self.pump(0.05)   # one more look: the fuzzer itself may have been held up
                self.poll_files()
                found = self.take_probe(probe)
                if found:
                    return found
                if ended:
                    raise Exited()
                raise Hang('input not yet written: %d bytes; output not yet scanned (end): %r' % (
                    len(self.pending), bytes(self.bufs['out'][-300:])))
            self.pump(0.02)

    def finish(self, timeout):
        self.stdin_closed, deadline = True, time.monotonic() + timeout
        while self.alive() or not all(self.eof.values()):
            if time.monotonic() > deadline:
                raise Hang()
            self.pump(0.02)
        self.poll_files()
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


# ---------------------------------------------------------------------------------------------
# Running a case.

SLOW_WORDS = {b'wait_for_solver', b'build_tree', b'load_script', b'take_a_break', b'calc_results', b'calc_ev',
              b'calc_ev_pp', b'calc_ev_line', b'calc_eq', b'calc_eq_pp', b'calc_eq_node', b'show_strategy_pp',
              b'load_tree', b'dump_tree', b'solve_all_splits', b'solve_partial', b'explo_partial', b'forget'}
# Commands whose refusal changes nothing, and the queries that show it.
PURE_REFUSALS = {b'set_board': [b'show_tree_params'], b'set_pot': [b'show_tree_params'],
                 b'set_range': [b'show_range OOP', b'show_range IP'],
                 b'remove_line': [b'show_children r:0', b'node_count']}
TREE_QUERIES = [b'is_tree_present', b'show_effective_stack', b'node_count', b'show_children r:0']
TEMPORARY_SUFFIX = '.tvtmp'


@dataclasses.dataclass
class Result:
    failure: Failure = None
    commands: int = 0
    transcript: bytes = b''
    stderr: bytes = b''
    lines: list = None        # the case's lines as sent (placeholders resolved)
    failing_line: int = -1
    banned: bool = False


class Runner:
    def __init__(self, opts, case, seed=0):
        self.opts, self.case, self.rnd = opts, case, random.Random(seed)
        self.session = self.workdir = None
        self.probe_n = self.commands = self.go_ok = self.started = self.stopped = 0
        self.redirected = False
        self.paths = [(b'r', b'ROOT'), (b'r:0', b'OOP_DEC')]   # (path, kind) listed by show_children
        self.sent_lines = []

    def setup_dir(self):
        self.workdir = tempfile.mkdtemp(prefix='case.', dir=self.opts.tmp)
        for d in set(self.case.dirs + [DIR_NAME]):
            os.makedirs(os.path.join(self.workdir, d), exist_ok=True)
        for f in set(self.case.fifos + [FIFO_NAME]):
            os.mkfifo(os.path.join(self.workdir, f))
        os.symlink('tree.bin', os.path.join(self.workdir, LINK_NAME))
        os.symlink(LOOP_NAME, os.path.join(self.workdir, LOOP_NAME))
        for name, data in self.case.files.items():
            p = os.path.join(self.workdir, name)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, 'wb') as fh:
                fh.write(data)

    def sink_names(self):
        text = b'\n'.join(self.case.lines + list(self.case.files.values()))
        return {c_string(m) for m in re.findall(rb'stdoutredi(?:_append)? +([^ \r\n]+)', text)}

    def resolve(self, line):
        """Placeholders become paths show_children listed (@D: of decision nodes)."""
        for mark, kind in ((PATH_PLACEHOLDER, b''), (DECISION_PLACEHOLDER, b'_DEC')):
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
        probe = b'ERROR: Command ' + PROBE_PREFIX + b'%d not recognized' % self.probe_n
        self.session.write(line + b'\n' + PROBE_PREFIX + b'%d\n' % self.probe_n)
        timeout = self.opts.timeout * (3 if word in SLOW_WORDS else 1)
        try:
            where, seg = self.session.wait_probe(probe, timeout)
        except Hang as h:
            raise Failure('hang', 'no answer within %d s to %r' % (timeout, line[:120]), sig=word[:40].decode(
                'latin-1'), detail=str(h))
        except Exited:
            status = self.session.proc.poll()
            if status == 0 and word == b'load_script' and any(b'exit' in d for d in self.case.files.values()):
                raise
            raise Failure('crash', 'the engine ended (status %s) while answering %r' % (status, line[:100]),
                          sig='status %s' % status)
        self.redirected |= where != 'pipe'
        if BANNED in seg:
            raise Banned()
        scripted = word == b'load_script'
        answers, events, problem = split_reports(seg, self.case.gui, None if scripted else marker)
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
        """Every child show_children lists resolves to the block it listed."""
        block = self.send(b'show_node ' + parent)
        if len(block) == 7 and block[1] != b'SPLIT_NODE' and block[4] != b'%d children' % len(listing):
            raise Failure('resolve', 'show_node %r says %r, show_children lists %d' % (
                parent[:80], block[4], len(listing)), sig='child count')
        dealt = [c for c in listing if re.search(rb':' + CARD + rb'\Z', c[0])]
        picks = [c for c in listing if c not in dealt] + dealt[:1] + dealt[-1:] + self.rnd.sample(dealt, min(2,
                                                                                                     len(dealt)))
        for path, child in (listing if self.opts.thorough else picks[:12]):
            if re.search(rb':b[^:]*\Z', path) and re.search(rb'[.e]', child[3]):
                continue   # a key that is no whole number is printed cut and cannot resolve
            answer = self.send(b'show_node ' + path)
            if answer[:6] != child:
                raise Failure('resolve', 'show_children %r lists %r as %r, show_node answers %r' % (
                    parent[:60], path[:80], child[:2], answer[:2]), sig='unresolved')

    def run(self):
        result = Result()
        self.setup_dir()
        try:
            self.session = Session(self.opts, self.workdir, self.case.gui, self.sink_names())
            self._run(result)
        except Failure as f:
            result.failure = f
        except Banned:
            result.banned = True
        finally:
            if self.session:
                self.session.close()
                result.stderr, result.transcript = bytes(self.session.bufs['err']), bytes(self.session.sent)
            result.commands, result.lines = self.commands, self.sent_lines
            result.failure = result.failure or self.file_targets_problem()
            if not self.opts.keep_dirs:
                shutil.rmtree(self.workdir, ignore_errors=True)
        m = SANITIZER_RE.search(result.stderr)
        if m and (result.failure is None or result.failure.kind != 'sanitizer'):
            loc = re.search(rb'#\d+ 0x[0-9a-f]+ in (\S+)', result.stderr[m.start():])
            where = loc.group(1).decode('latin-1') if loc else ''
            kind = re.sub(r'0x[0-9a-f]+|\d+', '_', m.group(1).decode('latin-1'))
            result.failure = Failure('sanitizer', 'sanitizer report: %s in %s' % (kind, where), sig=kind + '@' + where)
        return result

    def file_targets_problem(self):
        for _, _, names in os.walk(self.workdir):
            if any(n.endswith(TEMPORARY_SUFFIX) for n in names):
                return Failure('files', 'a temporary save file was left', sig='temporary file')
        kept = [os.path.islink(os.path.join(self.workdir, n)) for n in (LINK_NAME, LOOP_NAME)]
        kept += [stat.S_ISFIFO(os.lstat(os.path.join(self.workdir, f)).st_mode) for f in self.case.fifos + [FIFO_NAME]]
        return None if all(kept) else Failure('files', 'a link or FIFO was replaced', sig='file target')

    def _run(self, result):
        s = self.session
        deadline = time.monotonic() + self.opts.timeout * 3
        while b'\n' not in s.bufs['out']:
            if time.monotonic() > deadline:
                raise Failure('hang', 'no banner', sig='start')
            if not s.alive() and all(s.eof.values()):
                raise Failure('crash', 'ended before its banner (status %s)' % s.proc.returncode, sig='start')
            s.pump(0.02)
        banner = bytes(s.bufs['out'][:s.bufs['out'].index(b'\n')])
        if not banner.startswith(b'Travanto '):
            raise Failure('protocol', 'unexpected banner %r' % banner[:100])
        del s.bufs['out'][:len(banner) + 1]
        exited = False
        for i, line in enumerate(self.case.lines):
            result.failing_line = i
            line = self.resolve(line)
            self.sent_lines.append(line)
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
                listing = [(p, b) for p, b in node_blocks(answers, True)]
                self.paths += [(p, b[1]) for p, b in listing if (p, b[1]) not in self.paths][:50]
                self.check_children(tokens[1], listing)
        result.failing_line = len(self.case.lines)
        if not exited:
            try:
                self.send(b'stop')
                self.send(b'wait_for_solver')
                if self.case.tail is not None:
                    s.write(self.case.tail)
                else:
                    s.write(b'exit\n')
            except Exited:
                exited = True
        try:
            status = s.finish(self.opts.timeout * 2)
        except Hang:
            raise Failure('hang', 'the engine did not end after exit or end of input', sig='exit')
        if status != 0:
            raise Failure('crash', 'the engine ended with status %d' % status, sig='status %d' % status)
        if BANNED in s.bufs['out']:
            raise Banned()
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


def stressed_run(opts, case, seed):
    """The case again in a process started without standard output (and error), or held to an
    address-space limit set after its start. Only the end is checked: no signal, no hang, no
    sanitizer report, and under a limit only the documented fatal lines as other ends."""
    rnd = random.Random(seed)
    limit = rnd.random() < 0.5
    closed = [] if limit else rnd.choice([[1], [1, 2]])
    runner = Runner(opts, case, seed)
    runner.setup_dir()

    def setup():
        os.setsid()
        for fd in closed:
            os.close(fd)
    proc = subprocess.Popen([opts.binary], cwd=runner.workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=sanitizer_env(), preexec_fn=setup)
    what = 'an address-space limit' if limit else 'descriptors %s closed' % closed
    try:
        if limit:
            proc.stdout.readline()   # the banner: the tables are made
            with open('/proc/%d/status' % proc.pid) as f:
                vm_kb = int(next(l for l in f if l.startswith('VmSize:')).split()[1])
            resource.prlimit(proc.pid, resource.RLIMIT_AS, ((vm_kb << 10) + (rnd.randrange(64) << 20),) * 2)
        lines = [runner.resolve(l) for l in case.lines if not l.startswith(b'wait_for_solver')] + [b'stop', b'exit']
        out, err = proc.communicate(b'\n'.join(lines) + b'\n', timeout=opts.timeout * 6)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return Failure('hang', 'no end within %d s with %s' % (opts.timeout * 6, what), sig='stress hang')
    finally:
        shutil.rmtree(runner.workdir, ignore_errors=True)
    if limit and re.search(rb'Sanitizer failed to allocate|Sanitizer: out of memory|ERROR: Failed to mmap', err):
        return None
    if SANITIZER_RE.search(err):
        return Failure('sanitizer', 'sanitizer report with %s' % what, sig='stress',
                       detail=err[-4000:].decode('latin-1'))
    fatal = (b'VirtuaAlloc reserve fail', b'VirtualAlloc commit fail', b'out of memory (not enough reserved)')
    if proc.returncode < 0 or (proc.returncode != 0 and not any(f in out for f in fatal)):
        return Failure('crash', 'ended with status %d with %s' % (proc.returncode, what), sig='stress',
                       detail=err[-2000:].decode('latin-1'))
    return None


# ---------------------------------------------------------------------------------------------
# Shrinking, reports, main.

def run_case(opts, case, seed=0):
    try:
        result = Runner(opts, case, seed).run()
    except Exited:
        result = Result()
    if result.failure is None and seed % 8 == 1:   # one case in eight, by its seed
        result.failure = stressed_run(opts, case, seed)
    return result


def shrink(opts, case, result, seed, budget):
    """Drops lines while the failure keeps its signature (delta debugging), within a time budget."""
    deadline, sig = time.monotonic() + budget, result.failure.sig
    best, best_result = case.copy(lines=list(result.lines or case.lines)), result   # placeholders resolved

    def attempt(c):
        nonlocal best, best_result
        r = run_case(opts, c, seed)
        if r.failure is not None and r.failure.sig == sig:
            best, best_result = c, r
            return True
        return False
    if 0 <= result.failing_line < len(best.lines) - 1:
        attempt(best.copy(lines=best.lines[:result.failing_line + 1], tail=None))
    chunk = max(1, len(best.lines) // 2)
    while chunk >= 1 and time.monotonic() < deadline:
        i, changed = 0, False
        while i < len(best.lines) and time.monotonic() < deadline:
            c = best.copy()
            del c.lines[i:i + chunk]
            if c.lines and attempt(c):
                changed = True
            else:
                i += chunk
        chunk = chunk if changed else chunk // 2
    for name in list(best.files):
        if time.monotonic() < deadline and name.encode('utf-8', 'surrogateescape') not in b'\n'.join(
                best.lines + list(best.files.values())):
            c = best.copy()
            del c.files[name]
            attempt(c)
    return best, best_result


def write_report(out_dir, index, case, result, origin, seed):
    f = result.failure
    d = os.path.join(out_dir, '%02d-%s' % (index, f.kind))
    os.makedirs(os.path.join(d, 'files'), exist_ok=True)
    case = case.copy(lines=list(result.lines or case.lines), seed=seed)
    with open(os.path.join(d, 'case.txt'), 'wb') as fh:
        fh.write(format_case(case, ['%s failure: %s' % (f.kind, f.message[:300]), 'from %s' % origin,
                                    'replay: tests/fuzz/protocol_fuzz.py --binary BINARY --replay %s/case.txt' % d]))
    with open(os.path.join(d, 'stdin.txt'), 'wb') as fh:
        fh.write(result.transcript)
    for name, data in case.files.items():
        os.makedirs(os.path.dirname(os.path.join(d, 'files', name)), exist_ok=True)
        with open(os.path.join(d, 'files', name), 'wb') as fh:
            fh.write(data)
    with open(os.path.join(d, 'report.txt'), 'w') as fh:
        fh.write('%s\n\n%s\n\nstderr:\n%s\n' % (f.message, f.detail, result.stderr.decode('latin-1')[-20000:]))
    return d


def build_parser():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--binary', default=os.path.join(REPO, 'build-asan', 'travanto'))
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--seconds', type=float, default=60, help='time budget; no case starts after it')
    ap.add_argument('--cases', type=int, default=0, help='stop after this many cases (0: no limit)')
    ap.add_argument('--corpus', default=DEFAULT_CORPUS)
    ap.add_argument('--no-corpus', action='store_true')
    ap.add_argument('--table', default=DEFAULT_TABLE, help='the engine\'s command table source')
    ap.add_argument('--out', default=None, help='folder for reproducers (default: a new temporary folder)')
    ap.add_argument('--timeout', type=float, default=20, help='seconds an answer may take (x3 for slow commands)')
    ap.add_argument('--max-rss-mb', type=int, default=4096)
    ap.add_argument('--shrink-seconds', type=float, default=60)
    ap.add_argument('--replay', action='append', default=[], help='run these case files only')
    ap.add_argument('--print-case', type=int, metavar='N', help='print generated case N of the seed and exit')
    ap.add_argument('--thorough', action='store_true', help='resolve every child show_children lists')
    ap.add_argument('--keep-dirs', action='store_true')
    ap.add_argument('-v', '--verbose', action='store_true')
    return ap


def main(argv=None):
    opts = build_parser().parse_args(argv)
    opts.table = read_command_table(opts.table)
    if opts.print_case is not None:
        sys.stdout.buffer.write(format_case(generate_case(opts.table, opts.seed, opts.print_case)))
        return 0
    opts.binary = os.path.abspath(opts.binary)
    if not os.access(opts.binary, os.X_OK):
        print('protocol_fuzz: no engine at %s' % opts.binary, file=sys.stderr)
        return 2
    deadline = time.monotonic() + opts.seconds
    opts.tmp = tempfile.mkdtemp(prefix='protocol-fuzz.')
    print('protocol fuzz: %s, seed %d, %g s, %d commands in the table' % (
        opts.binary, opts.seed, opts.seconds, len(opts.table)), flush=True)
    out_dir = opts.out or tempfile.mkdtemp(prefix='protocol-fuzz-failures.')
    os.makedirs(out_dir, exist_ok=True)
    corpus = [] if opts.no_corpus else load_corpus(opts.corpus)
    queue = []
    for path in opts.replay:
        with open(path, 'rb') as fh:
            queue.append(parse_case(fh.read(), origin=path))
    queue = queue or list(corpus)
    rnd = random.Random('protocol-fuzz:%d' % opts.seed)
    cases = commands = generated = banned = 0
    failures, seen = [], set()
    try:
        while not (opts.cases and cases >= opts.cases) and (time.monotonic() < deadline or cases == 0):
            if queue:
                case = queue.pop(0)
            elif opts.replay:
                break
            elif corpus and rnd.random() < 0.3:
                case = mutate(rnd, rnd.choice(corpus), corpus, opts.table)
                case.origin = 'seed %d, case %d: %s' % (opts.seed, cases, case.origin)
            else:
                case = generate_case(opts.table, opts.seed, generated)
                case.origin = 'seed %d, generated case %d' % (opts.seed, generated)
                generated += 1
            case_seed = random.Random('case:%d:%d' % (opts.seed, cases)).getrandbits(64)
            case_seed = case_seed if case.seed is None else case.seed
            t0 = time.monotonic()
            result = run_case(opts, case, case_seed)
            cases += 1
            commands += result.commands
            banned += result.banned
            if opts.verbose:
                print('case %d (%s): %d commands, %.1f s%s' % (
                    cases, case.origin, result.commands, time.monotonic() - t0,
                    ', FAILED: ' + result.failure.message[:200] if result.failure else ''), flush=True)
            if result.failure is None or (result.failure.sig in seen and not case.origin.startswith('corpus/')):
                continue
            seen.add(result.failure.sig)
            small, small_result = case, result
            if not case.origin.startswith('corpus/') and not opts.replay:
                budget = min(opts.shrink_seconds, max(5.0, deadline - time.monotonic()))
                small, small_result = shrink(opts, case, result, case_seed, budget)
            d = write_report(out_dir, len(failures) + 1, small, small_result, case.origin, case_seed)
            failures.append(d)
            print('FAIL [%s] %s\n    %s\n    reproducer: %s' % (small_result.failure.kind, case.origin,
                                                                 small_result.failure.message[:300], d), flush=True)
    finally:
        shutil.rmtree(opts.tmp, ignore_errors=True)
    print('%d cases, %d commands, %d failures%s' % (cases, commands, len(failures), ', %d cases void: a banned program '
                                                    'ran' % banned if banned else ''))
    if failures:
        print('reproducers in %s' % out_dir)
    elif not opts.out:
        shutil.rmtree(out_dir, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
