#!/usr/bin/env python3
"""Grammar-aware fuzzer of travanto's command protocol.

Feeds random command sequences to an engine binary (normally the address/undefined sanitizer
build) and checks every answer. A case is a list of stdin lines plus helper files (scripts,
directories, FIFOs) that live in a fresh temporary folder, which is also the engine's working
directory; every file name a case uses is relative to it.

Cases come first from the seed corpus (tests/fuzz/protocol_corpus/*.txt, replayed as they are),
then from the grammar and from mutations and splices of the corpus. After every command line the
fuzzer sends a sync probe, an unknown command with a fresh number ("zz_sync_N"), and waits for
its "not recognized" answer: some commands answer nothing, and a numbered probe cannot be
confused with an answer from a script. What arrives before the probe's answer is the command's
answer, minus the solver's own reports, and is checked against the command's grammar.

Failures: sanitizer reports on stderr, crashes, hangs (no probe answer in time), answers that
break the protocol (missing or extra lines, blocks without END, cut or merged lines, output after
exit, output on the controlling terminal instead of the original standard output), state changed
by a refused command (snapshots of queries around it), paths listed by show_children that do not
resolve, and solver runs whose stop line contradicts their limit. A failing case is shrunk and
written to the output folder as a replayable case file plus the exact bytes sent.

Usage: protocol_fuzz.py --binary build-asan/travanto --seed 1 --seconds 180 --out DIR
(make fuzz does this). --replay CASE runs one case file, e.g. a reproducer. For a thread
sanitizer build, give the engine's runtime settings through the environment as usual
(OMP_TOOL_LIBRARIES, TSAN_OPTIONS); the fuzzer adds its own options in front of them.

Corpus / case file format: one stdin line per line, bytes as they are (CR, 0xA7, BOM included).
Lines starting with "#@" are directives for the fuzzer and are not sent:
    #@gui                 start the engine with /gui
    #@dir NAME            create a directory
    #@fifo NAME           create a FIFO
    #@file NAME           create a helper file; its lines follow as "#@| text" ("#@|" = empty line)
    #@end-lf no           the last line of the preceding file has no line feed
    #@tail TEXT           send TEXT after the last line without a line feed (must not run)
    #@expand              in the lines that follow, {{TEXT*N}} stands for N copies of TEXT
Other lines beginning with "#" are comments and are sent (the engine ignores them).
"""

import argparse
import dataclasses
import errno
import math
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
DEFAULT_BINARY = os.path.join(REPO, 'build-asan', 'travanto')

BOM = b'\xef\xbb\xbf'
MARK = b'\xa7'
PROBE_PREFIX = b'zz_sync_'
INT_MIN, INT_MAX = -2**31, 2**31 - 1
ITERATION_CAP = 9000
FILE_SIZE_LIMIT = 256 << 20

# ---------------------------------------------------------------------------------------------
# Cards, hands and the C library's number conversions as the engine uses them.

RANKS = b'23456789TJQKA'
SUITS_IN = b'CDHS'
SUITS_OUT = b'cdhs'
ALL_CARDS = [bytes([RANKS[r], SUITS_OUT[s]]) for r in range(13) for s in range(4)]
HANDS = 1326


def hand_order_names():
    """Hand names in the protocol's order: by higher card, then lower card, cards rank-major."""
    order = [bytes([RANKS[r], s]) for r in range(13) for s in SUITS_OUT]
    return [order[hi] + order[lo] for hi in range(52) for lo in range(hi)]


HAND_NAMES = hand_order_names()
HAND_ORDER_LINE = b' '.join(HAND_NAMES)


def c_string(token):
    """What a C API sees of a token: the bytes up to the first NUL."""
    return token.split(b'\0', 1)[0]


_SPACE = rb'[ \t\n\v\f\r]*'
_DOUBLE_RE = re.compile(
    _SPACE + rb'([+-]?)(?:(0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?)'
    rb'|((?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)|([iI][nN][fF](?:[iI][nN][iI][tT][yY])?)'
    rb'|([nN][aA][nN](?:\([0-9A-Za-z_]*\))?))')
_LONG_RE = re.compile(_SPACE + rb'([+-]?[0-9]+)')


def strtod(token):
    """The leading number of a token as strtod reads it, or None when there is none."""
    m = _DOUBLE_RE.match(c_string(token))
    if not m:
        return None
    sign = -1.0 if m.group(1) == b'-' else 1.0
    if m.group(2):
        text = m.group(2).decode()
        if 'p' not in text.lower():
            text += 'p0'
        try:
            return sign * float.fromhex(text)
        except OverflowError:
            return sign * math.inf
    if m.group(3):
        return sign * float(m.group(3))
    if m.group(4):
        return sign * math.inf
    return math.nan


def parse_double(token):
    """The engine's decimal argument: None means "Invalid value"."""
    v = strtod(token)
    if v is None or not math.isfinite(v):
        return None
    return v


def parse_int(token):
    """The engine's integer argument: None means "Invalid value"."""
    m = _LONG_RE.match(c_string(token))
    if not m:
        return None
    digits = m.group(1).lstrip(b'+-').lstrip(b'0')
    if len(digits) > 19:
        return None
    v = int(m.group(1))
    if v < INT_MIN or v > INT_MAX:
        return None
    return v


def parse_cards(token):
    """Card set of a token as the engine reads it, or None for "invalid card"."""
    if len(token) > 255:
        return None
    text = token.upper()
    cards = set()
    i = 0
    while i < len(text):
        r = RANKS.find(text[i:i + 1]) if text[i] else -1
        if r < 0 or i + 1 >= len(text) or not text[i + 1]:
            return None
        s = SUITS_IN.find(text[i + 1:i + 2])
        if s < 0:
            return None
        code = 13 * s + r
        if code in cards:
            return None
        cards.add(code)
        i += 2
        while i < len(text) and text[i:i + 1] == b' ':
            i += 1
    return cards


def card_text(code):
    return bytes([RANKS[code % 13], SUITS_OUT[code // 13]])


def split_tokens(line):
    return [t for t in line.split(b' ') if t]


def line_tokens(line):
    """(marker, tokens) of a command line read from standard input: one trailing CR goes, then a
    leading 0xA7 turns the marker on."""
    if line.endswith(b'\r'):
        line = line[:-1]
    marker = line.startswith(MARK)
    return marker, split_tokens(line[1:] if marker else line)


def fmt_g(v):
    return ('%g' % v).encode()


# ---------------------------------------------------------------------------------------------
# Cases and the case file format.

@dataclasses.dataclass
class Case:
    lines: list
    files: dict = dataclasses.field(default_factory=dict)   # name -> content bytes
    dirs: list = dataclasses.field(default_factory=list)
    fifos: list = dataclasses.field(default_factory=list)
    gui: bool = False
    tail: bytes = None
    origin: str = ''

    def copy(self):
        return Case(list(self.lines), dict(self.files), list(self.dirs), list(self.fifos), self.gui, self.tail,
                    self.origin)


REPEAT_RE = re.compile(rb'\{\{(.*?)\*(\d+)\}\}')


def parse_case(data, origin=''):
    case = Case([], origin=origin)
    current = None
    expand = False
    parts = data.split(b'\n')
    if parts and parts[-1] == b'':
        parts.pop()
    for raw in parts:
        if raw == b'#@expand':
            expand = True
            continue
        if expand:
            raw = REPEAT_RE.sub(lambda m: m.group(1) * int(m.group(2)), raw)
        if raw.startswith(b'#@|'):
            if current is None:
                raise ValueError('%s: "#@|" outside a file' % origin)
            case.files[current] += raw[4:] + b'\n'
        elif raw.startswith(b'#@file '):
            current = raw[7:].decode('utf-8', 'surrogateescape')
            case.files[current] = b''
        elif raw == b'#@end-lf no':
            if current is None or not case.files[current].endswith(b'\n'):
                raise ValueError('%s: "#@end-lf" without a file line' % origin)
            case.files[current] = case.files[current][:-1]
        elif raw.startswith(b'#@dir '):
            case.dirs.append(raw[6:].decode('utf-8', 'surrogateescape'))
        elif raw.startswith(b'#@fifo '):
            case.fifos.append(raw[7:].decode('utf-8', 'surrogateescape'))
        elif raw == b'#@gui':
            case.gui = True
        elif raw.startswith(b'#@tail '):
            case.tail = raw[7:]
        elif raw.startswith(b'#@'):
            pass  # a note for readers
        else:
            case.lines.append(raw)
    return case


def format_case(case, notes=()):
    out = [b'#@ ' + n.encode('utf-8', 'replace') for n in notes]
    if case.gui:
        out.append(b'#@gui')
    for d in case.dirs:
        out.append(b'#@dir ' + d.encode('utf-8', 'surrogateescape'))
    for f in case.fifos:
        out.append(b'#@fifo ' + f.encode('utf-8', 'surrogateescape'))
    for name, content in case.files.items():
        out.append(b'#@file ' + name.encode('utf-8', 'surrogateescape'))
        body = content.split(b'\n')
        no_lf = body[-1] != b''
        if not no_lf:
            body.pop()
        for line in body:
            out.append(b'#@| ' + line if line else b'#@|')
        if no_lf:
            out.append(b'#@end-lf no')
    out.extend(case.lines)
    if case.tail is not None:
        out.append(b'#@tail ' + case.tail)
    return b'\n'.join(out) + b'\n'


def load_corpus(directory):
    cases = []
    if not os.path.isdir(directory):
        return cases
    for name in sorted(os.listdir(directory)):
        if name.endswith('.txt'):
            with open(os.path.join(directory, name), 'rb') as f:
                cases.append(parse_case(f.read(), origin='corpus/' + name))
    return cases


# ---------------------------------------------------------------------------------------------
# A model of the schematic tree (the merged betting lines), used to name valid paths.

FOLD = -1.0


class SNode:
    __slots__ = ('children', 'parent', 'player', 'street', 'bets', 'amount', 'invested')

    def __init__(self, parent=None):
        self.children = {}
        self.parent = parent
        self.player = self.street = self.bets = 0
        self.amount = 0.0
        self.invested = [0.0, 0.0]


def merge_line(root, amounts, force=False):
    """Merges a parsed line as the engine does; stops (keeping what it merged) at a decrease."""
    root.player = root.street = root.bets = 0
    root.amount = 0.0
    root.invested = [0.0, 0.0]
    last, bets, checked, player, street, cur = 0.0, 0, False, 0, 0, root
    for v in amounts:
        if v < last:
            return False
        if force:
            cur.children = {k: c for k, c in cur.children.items() if k == v}
        child = cur.children.get(v)
        is_new = child is None
        if is_new:
            child = cur.children[v] = SNode(cur)
        if v > last:
            bets += 1
            player = 1 - player
            last = v
            checked = False
        elif bets == 0 and not checked:
            player = 1 - player
            checked = True
        else:
            street += 1
            bets = 0
            checked = False
            player = 0
        child.street, child.player, child.bets, child.amount = street, player, bets, v
        child.invested = list(cur.invested)
        child.invested[cur.player] = v
        if is_new and (bets > 0 or checked):
            if v not in child.children:
                a = child.children[v] = SNode(child)
                a.amount, a.invested, a.street = v, [v, v], street
            if bets > 0 and FOLD not in child.children:
                f = child.children[FOLD] = SNode(child)
                f.amount = cur.amount
                f.invested[player] = cur.amount
                f.invested[1 - player] = v
                f.street = street
        cur = child
    return True


def remove_model_line(root, amounts):
    """remove_line on the model: a 0 after a positive amount is the fold."""
    cur, prev = root, 0.0
    for i, v in enumerate(amounts):
        key = FOLD if (v == 0 and prev > 0) else v
        if key not in cur.children:
            return False
        if i == len(amounts) - 1:
            del cur.children[key]
        else:
            cur = cur.children[key]
        prev = v
    return True


def parsed_line_prefix(tokens):
    """The amounts add_line merges before it stops (at a token that is no number, or too big)."""
    amounts = []
    for tok in tokens[1:]:
        v = parse_double(tok)
        if v is None or v > INT_MAX:
            break
        amounts.append(v)
    return amounts if len(tokens) - 1 <= MAX_LINE_ACTIONS else []


def largest_key(node):
    return max([0.0] + [max(k, largest_key(c)) for k, c in node.children.items()])


def model_node_count(root, start):
    """node_count's answer for the model tree on a tree that starts on street `start`."""
    weight = {1: 1, 2: 49, 3: 49 * 48}
    groups = {'dec0': [0] * 4, 'dec1': [0] * 4, 'split': [0] * 4, 'end': [0] * 4}

    def walk(n):
        st = min(start + n.street, 3)
        if n.children:
            groups['dec%d' % n.player][st] += weight[st]
        for c in n.children.values():
            if c.street > n.street:
                groups['split'][st] += weight[st]
            if not c.children:
                groups['end'][st] += weight[st]
            walk(c)

    walk(root)
    lines, total = [], 1
    for name, key in ((b'H_DEC', 'dec1'), (b'V_DEC', 'dec0'), (b'SPLIT', 'split'), (b'END', 'end')):
        g = groups[key]
        total += sum(g)
        lines += [name + b': %d' % sum(g), b'FLOP  %d' % g[1], b'TURN  %d' % g[2], b'RIVER  %d' % g[3]]
    lines += [b'ROOT: 1', b'FLOP  %d' % (start == 1), b'TURN  %d' % (start == 2), b'RIVER %d' % (start == 3),
              b'TOTAL: %d' % total, b'END']
    return lines


def action_token(node, key):
    if key > node.amount:
        return b'b%d' % key if key == int(key) else b'b' + repr(key).encode()
    return b'f' if key < 0 else b'c'


def model_paths(root, start_street, board, rnd, limit=80, decisions=None):
    """Valid paths of the model tree, with random cards after street-ending actions. The paths of
    decision nodes are also added to `decisions` when it is given."""
    paths = [b'r', b'r:0']
    used = set(board)
    if decisions is not None and root.children:
        decisions.append(b'r:0')

    def walk(node, path, cards):
        for key in sorted(node.children):
            if len(paths) >= limit:
                return
            child = node.children[key]
            p = path + b':' + action_token(node, key)
            extra = set()
            if child.street > node.street and start_street + child.street <= 3:
                paths.append(p)  # the split node itself
                free = [c for c in range(52) if c not in used | cards]
                if free and rnd.random() < 0.85:
                    card = rnd.choice(free)
                    p += b':' + card_text(card)
                    extra = {card}
            paths.append(p)
            if decisions is not None and child.children:
                decisions.append(p)
            walk(child, p, cards | extra)

    walk(root, b'r:0', set())
    return paths


# ---------------------------------------------------------------------------------------------
# Case generation from the grammar.

SINK_NAMES = ['out1.txt', 'out2.txt', 'log.txt']
DIR_NAME = 'adir'
FIFO_NAME = 'afifo'
LINK_NAME, LOOP_NAME = 'alink', 'aloop'   # symbolic links made in every case folder: to tree.bin, to itself
MAX_LINE_ACTIONS = 500
TEMPORARY_SUFFIX = b'.tvtmp'              # the engine's temporary save files
MISSING = 'missing.txt'
COMMANDS = [
    'is_ready', 'solver_time', 'show_hand_order', 'show_settings', 'show_tree_params', 'set_threads',
    'ai6_set_threads', 'set_recalc_accuracy', 'set_isomorphism', 'skip_if_done', 'is_tree_present', 'go', 'stop',
    'load_script', 'set_range', 'set_board', 'set_pot', 'clear_lines', 'free_schematic_tree', 'add_line',
    'remove_line', 'force_line', 'build_tree', 'load_tree', 'dump_tree', 'free_tree', 'show_node', 'show_children',
    'show_strategy', 'show_strategy_pp', 'show_range', 'calc_results', 'calc_ev', 'calc_ev_pp', 'calc_ev_line',
    'calc_eq', 'calc_eq_pp', 'calc_eq_node', 'stdoutredi', 'stdoutredi_append', 'stdoutback', 'wait_for_solver',
    'show_memory', 'node_count', 'show_effective_stack', 'set_accuracy', 'forget', 'rebuild_forgotten_streets',
    'rebuild_all', 'solve_all_splits', 'lock_node', 'unlock_node', 'set_strategy', 'solve_partial', 'explo_partial',
    'show_category_names', 'show_categories', 'ai6_set_compression', 'ai6_get_actual_compression',
    'ai6_get_instruction_set', 'sleep', 'take_a_break', 'set_all_hands']
TOKEN_COUNTS = {
    'is_ready': 1, 'solver_time': 1, 'show_hand_order': 1, 'show_settings': 1, 'show_tree_params': 1,
    'set_threads': 2, 'ai6_set_threads': 2, 'set_recalc_accuracy': 4, 'set_isomorphism': 3, 'skip_if_done': 3,
    'is_tree_present': 1, 'stop': 1, 'set_range': 1328, 'set_pot': 4, 'clear_lines': 1, 'free_schematic_tree': 1,
    'build_tree': 1, 'free_tree': 1, 'show_node': 2, 'show_children': 2, 'show_strategy': 2, 'show_strategy_pp': 2,
    'calc_results': 1, 'calc_ev': 3, 'calc_ev_pp': 3, 'calc_ev_line': 3, 'calc_eq': 2, 'calc_eq_pp': 2,
    'calc_eq_node': 3, 'stdoutredi': 2, 'stdoutredi_append': 2, 'stdoutback': 1, 'wait_for_solver': 1,
    'show_memory': 1, 'node_count': 1, 'show_effective_stack': 1, 'forget': 2, 'rebuild_forgotten_streets': 1,
    'rebuild_all': 1, 'solve_all_splits': 2, 'lock_node': 2, 'unlock_node': 2, 'set_strategy': 1329,
    'solve_partial': 2, 'explo_partial': 2, 'show_category_names': 1, 'ai6_set_compression': 2,
    'ai6_get_actual_compression': 1, 'ai6_get_instruction_set': 1, 'sleep': 2, 'take_a_break': 2,
    'set_all_hands': 2}
# Commands whose answer this fuzzer does not model (subsystems that may not exist yet).
OPAQUE = {'load_tree', 'dump_tree', 'forget', 'rebuild_forgotten_streets', 'rebuild_all', 'solve_all_splits',
          'lock_node', 'unlock_node', 'set_strategy', 'solve_partial', 'explo_partial'}
PLAYERS = [b'OOP', b'IP', b'hero', b'villain']

HOSTILE_NUMBERS = [
    b'99999999999', b'2147483648', b'-2147483649', b'2147483647', b'-2147483648', b'3000000000', b'1e300', b'1e400',
    b'-1e400', b'nan', b'inf', b'-inf', b'0x10', b'0x1p4', b'1e-400', b'12abc', b'-0', b'+5', b'-5', b'0', b'x',
    b'.', b'-', b'1e', b'\t7', b'5\x00junk', b'0.000001', b'4294967296', b'-1']


def long_token(rnd):
    kind = rnd.randrange(5)
    n = 70000 + rnd.randrange(100)
    if kind == 0:
        return b'5' + b'0' * n            # overflows every number type
    if kind == 1:
        return b'0.' + b'0' * n + b'1'    # underflows to 0
    if kind == 2:
        return b'50.' + b'0' * n          # exactly 50
    if kind == 3:
        return b'A' * n
    return bytes(rnd.choice(b'abcdef0123456789:') for _ in range(n))


def hostile_token(rnd):
    r = rnd.random()
    if r < 0.06:
        return long_token(rnd)
    if r < 0.7:
        return rnd.choice(HOSTILE_NUMBERS)
    return rnd.choice([b'Zz', b'AsAs', b'10c', b'K', b'r:0', b'OOP', b'#4', b'\xef\xbb\xbf', b'\xa7', b'\r',
                       b'steps', b'seconds', b'fraction', b'auto', b'\x7f', b'\xff\xfe'])


class Generator:
    """Builds one case from a random stream. Keeps a rough model of the spot so that most
    paths are valid and so that the case never waits for a solver that may run forever."""

    def __init__(self, rnd):
        self.r = rnd
        self.lines = []
        self.files = {}
        self.dirs = [DIR_NAME]
        self.fifos = []
        self.board = []           # card codes of the intended board
        self.start_street = 3
        self.pot = 100
        self.root = SNode()
        self.unbounded = False    # a run was started that may not stop by itself
        self.script_count = 0
        self.built = False
        self.in_script = False

    # -- helpers
    def emit(self, *lines):
        for line in lines:
            t = line_tokens(line)[1]
            if t and t[0] == b'go' and not is_bounded_go(t):
                self.unbounded = True          # wherever it is: a script may run later
            elif t and t[0] in (b'stop', b'take_a_break') and not self.in_script:
                self.unbounded = False
        self.lines.extend(lines)

    def size(self):
        return self.r.choice([self.pot // 4, self.pot // 2, self.pot, self.pot * 2, 25, 50, 100])

    def range_line(self, player, kind='narrow'):
        """narrow: a few random hands; classes: whole rank classes (the same for every suit, so
        that boards may be merged by isomorphism); uniform: every hand."""
        r = self.r
        weights = [b'0'] * HANDS
        if kind == 'uniform':
            weights = [b'1'] * HANDS
        elif kind == 'classes':
            for _ in range(r.randint(1, 8)):
                hi, lo = sorted((r.randrange(13), r.randrange(13)), reverse=True)
                suited = r.choice([None, True, False])
                w = r.choice([b'1', b'0.5', b'%.3f' % r.random()])
                for p, name in enumerate(HAND_NAMES):
                    if RANKS.index(name[0:1]) == hi and RANKS.index(name[2:3]) == lo and (
                            suited is None or (name[1] == name[3]) == suited):
                        weights[p] = w
        else:
            for p in r.sample(range(HANDS), r.randint(3, 90)):
                weights[p] = r.choice([b'1', b'0.5', b'0.25', b'1', b'%.3f' % r.random()])
        return b'set_range ' + player + b' ' + b' '.join(weights)

    def gen_line_amounts(self, streets):
        r = self.r
        amounts = []
        level = 0
        for s in range(streets):
            pattern = r.choice(['xx', 'xx', 'bc', 'xbc', 'brc', 'xbrc', 'b', 'xb'])
            b = level + max(1, self.size())
            rr = b + max(1, self.size())
            seq = {'xx': [level, level], 'bc': [b, b], 'xbc': [level, b, b], 'brc': [b, rr, rr],
                   'xbrc': [level, b, rr, rr], 'b': [b], 'xb': [level, b]}[pattern]
            amounts += seq
            if pattern in ('b', 'xb'):
                break
            level = seq[-1]
            if r.random() < 0.3:
                break
        return amounts

    def add_line(self, amounts, force=False):
        word = b'force_line' if force else b'add_line'
        merge_line(self.root, amounts, force)
        self.emit(word + b''.join(b' %d' % a if a == int(a) else b' ' + repr(a).encode() for a in amounts))

    def paths(self):
        return model_paths(self.root, self.start_street, self.board, self.r)

    def path(self):
        return self.r.choice(self.paths())

    def decision_path(self):
        decisions = []
        paths = model_paths(self.root, self.start_street, self.board, self.r, decisions=decisions)
        return self.r.choice(decisions or paths)

    def bad_path(self):
        r = self.r
        base = self.path()
        choice = r.randrange(12)
        if choice == 0:
            return base + b':c:c:c:c:c'
        if choice == 1:
            return b'r:1'
        if choice == 2:
            return b'R:0'
        if choice == 3:
            return b'r::c'
        if choice == 4:
            return base + b':b' + hostile_token(r)
        if choice == 5:
            return b'r:0:b' + long_token(r)
        if choice == 6:
            return base + b':' + card_text(r.choice(self.board)) if self.board else b'r:0:As'
        if choice == 7:
            return base + b':Zz'
        if choice == 8:
            return base + b':'
        if choice == 9:
            return b'r:0:b50.' + b'0' * (70000 + r.randrange(50))
        if choice == 10:
            return base + b':Ad:Kd'
        return base + b':f:c'

    # -- sections
    def spot(self):
        r = self.r
        ncards = r.choice([4, 5, 5, 5])
        self.board = r.sample(range(52), ncards)
        self.start_street = ncards - 2
        self.pot = r.choice([100, 100, 200, 50, 1000, 10])
        setup = [b'set_pot 0 0 %d' % self.pot,
                 b'set_board ' + b' '.join(card_text(c) for c in self.board)]
        kinds = ['narrow', 'classes'] + (['uniform'] if ncards == 5 else [])
        setup.append(self.range_line(r.choice([b'OOP', b'hero']), r.choice(kinds)))
        setup.append(self.range_line(r.choice([b'IP', b'villain']), r.choice(kinds)))
        if r.random() < 0.5:
            setup.append(b'set_isomorphism %d %d' % (r.randrange(2), r.randrange(2)))
        if r.random() < 0.4:
            setup.append(b'ai6_set_compression ' + r.choice([b'0', b'1', b'2', b'3', b'4', b'auto']))
        if r.random() < 0.3:
            setup.append(b'set_all_hands ' + r.choice([b'0', b'1', b'1']))
        if r.random() < 0.5:
            setup.append(b'set_threads %d' % r.choice([1, 2, 2, 0, -3]))
        r.shuffle(setup)
        self.emit(*setup)
        for _ in range(r.randint(1, 4 if ncards == 4 else 5)):
            self.add_line(self.gen_line_amounts(3 - self.start_street + 1))
        if r.random() < 0.95:
            self.emit(b'build_tree')
            self.built = True

    def go(self):
        r = self.r
        small = 6 if self.start_street == 2 else 60
        kind = r.randrange(10)
        if kind < 5:
            n = r.choice([0, 1, 2, 3, r.randint(1, small), -1])
            self.emit(b'go %d steps' % n)
            if r.random() < 0.7:
                self.emit(b'wait_for_solver')
        elif kind == 5:
            self.emit(b'go 1 seconds')
            if r.random() < 0.5:
                self.emit(b'wait_for_solver')
        else:
            self.emit(r.choice([b'go', b'go 2147483647 steps', b'go 2147483647 seconds', b'go 0 seconds',
                                b'go -5 seconds', b'go 100000 steps']))
            self.unbounded = True
            for _ in range(r.randint(0, 3)):
                self.query()
            if r.random() < 0.8:
                self.emit(r.choice([b'stop', b'stop', b'take_a_break 0']))
                self.unbounded = False
                if r.random() < 0.7:
                    self.emit(b'wait_for_solver')

    def wait(self):
        if self.unbounded:
            self.emit(b'stop')
        self.emit(b'wait_for_solver')

    def query(self):
        r = self.r
        p = self.path() if r.random() < 0.8 else self.bad_path()
        d = self.decision_path() if r.random() < 0.85 else p
        player = r.choice(PLAYERS) if r.random() < 0.95 else hostile_token(r)
        choice = r.randrange(17)
        line = [b'show_node ' + p, b'show_children ' + p, b'show_strategy ' + d, b'show_strategy_pp ' + d,
                b'show_range ' + player + (b' ' + p if r.random() < 0.7 else b''), b'calc_ev ' + player + b' ' + p,
                b'calc_ev_pp ' + player + b' ' + p, b'calc_ev_line ' + player + b' ' + p, b'calc_eq ' + player,
                b'calc_eq_pp ' + player, b'calc_eq_node ' + player + b' ' + p, b'node_count',
                b'show_effective_stack', b'is_tree_present', b'show_tree_params', b'calc_results',
                b'show_children ' + p][choice]
        self.emit(line)

    def modify(self):
        r = self.r
        choice = r.randrange(14)
        if choice < 3:
            self.add_line(self.gen_line_amounts(3 - self.start_street + 1 + (r.random() < 0.15)))
        elif choice == 3:
            toks = [r.choice([b'0', b'50', b'100', b'30']) for _ in range(r.randint(0, 4))]
            if toks and r.random() < 0.5:
                toks[r.randrange(len(toks))] = hostile_token(r)
            self.emit(r.choice([b'add_line', b'force_line']) + b''.join(b' ' + t for t in toks))
        elif choice == 4:
            self.emit(r.choice([b'add_line 3000000000 3000000000', b'add_line 1e10', b'add_line -5',
                                b'add_line 100 50', b'add_line 50 150 x', b'force_line 2147483648',
                                b'add_line 0 0 0 0 0 0 0 0', b'add_line 37.5 37.5', b'add_line 1e300 1e300']))
        elif choice == 5:
            self.emit(b'remove_line' + b''.join(b' ' + t for t in r.choice(
                [[b'50'], [b'50', b'0'], [b'0', b'0'], [b'123'], [hostile_token(r)], []])))
        elif choice == 6:
            self.emit(b'build_tree')
        elif choice == 7:
            self.emit(r.choice([b'free_tree', b'clear_lines', b'free_schematic_tree']))
            if b'clear' in self.lines[-1] or b'schematic' in self.lines[-1]:
                self.root = SNode()
                if r.random() < 0.7:
                    for _ in range(r.randint(1, 3)):
                        self.add_line(self.gen_line_amounts(3 - self.start_street + 1))
            for _ in range(r.randint(0, 2)):
                self.query()
            if r.random() < 0.7:
                self.emit(b'build_tree')
        elif choice == 8:
            cards = [card_text(c) for c in r.sample(range(52), 6)]
            bad = r.choice([
                [cards[0], cards[0], cards[1]], [cards[0] + cards[1], cards[2], cards[2]], [cards[0], cards[1]],
                cards[:3] + [b'10c'], cards[:3] + [cards[0]], cards[:6] + [cards[5]], [b'Zz', b'Ks', b'7d'],
                cards[:3] + [cards[3] + cards[4]], [long_token(r)] + cards[:2], cards[:4] + [cards[3]]])
            self.emit(b'set_board ' + b' '.join(bad))
        elif choice == 9:
            self.emit(b'set_pot ' + b' '.join(r.choice([b'0', b'100', hostile_token(r)]) for _ in range(3)))
        elif choice == 10:
            line = self.range_line(r.choice(PLAYERS))
            toks = line.split(b' ')
            k = r.randrange(4)
            if k == 0:
                toks.pop()
            elif k == 1:
                toks[r.randrange(2, len(toks))] = hostile_token(r)
            elif k == 2:
                toks[1] = r.choice([b'Hero', b'oop', b'', b'2'])
            else:
                toks.append(b'1')
            self.emit(b' '.join(t for t in toks if t))
        elif choice == 11:
            self.emit(r.choice([b'set_accuracy 0.01 fraction', b'set_accuracy -1', b'set_accuracy',
                                b'set_accuracy x', b'set_accuracy 0.5 Fraction', b'set_accuracy 1e400',
                                b'set_recalc_accuracy 0.1 0.1 0.1', b'set_recalc_accuracy 1 x 1',
                                b'set_isomorphism 0 1', b'set_isomorphism 00 0']))
        elif choice == 12:
            if r.random() < 0.3:
                # Tree files: a tree saved and loaded again, and files that are no tree files.
                odd = [b'dump_tree ' + LINK_NAME.encode(), b'load_tree ' + LINK_NAME.encode(),
                       b'dump_tree ' + LOOP_NAME.encode(), b'dump_tree ' + b'n' * r.choice([250, 255, 256])]
                if r.random() < 0.2:
                    self.fifos.append(FIFO_NAME)
                    odd.append(b'dump_tree ' + FIFO_NAME.encode())
                self.emit(r.choice([b'dump_tree tree.bin', b'load_tree tree.bin', b'load_tree out1.txt',
                                    b'load_tree ' + MISSING.encode(), b'load_tree ' + DIR_NAME.encode(),
                                    b'dump_tree ' + DIR_NAME.encode(), b'dump_tree', b'load_tree'] + odd))
            elif r.random() < 0.35:
                # Locks and imposed strategies, also while a solve runs.
                d = self.decision_path() if r.random() < 0.8 else self.bad_path()
                child = r.choice([b'0', b'1', b'2', b'-1', b'x', b'5'])
                weight = r.choice([b'1', b'0', b'0.5', b'1e300', b'-1', b'nan'])
                weights = b' '.join([weight] * 1326) if r.random() < 0.9 else b' '.join([weight] * 1325)
                street = r.choice([b'rivers', b'turns', b'river', b'x'])
                self.emit(r.choice([b'lock_node ' + d, b'unlock_node ' + d, b'set_strategy ' + d + b' ' + child + b' ' +
                                    weights, b'lock_node', b'set_strategy ' + d,
                                    # Forgetting, rebuilding and solving the forgotten parts again.
                                    b'forget ' + street, b'rebuild_all', b'rebuild_forgotten_streets',
                                    b'solve_all_splits ' + street, b'solve_partial ' + d, b'explo_partial ' + d]))
            else:
                self.emit(r.choice([b'ai6_set_compression ' + r.choice([b'0', b'1', b'2', b'3', b'4', b'auto', b'9',
                                                                        b'-1', b'x', b'AUTO']),
                                    b'ai6_get_actual_compression']))
        else:
            self.emit(b'set_threads ' + r.choice([b'100000', b'40000', b'2147483647', b'1', b'2', b'0', b'-1',
                                                  b'99999999999', b'x']))

    def output(self):
        r = self.r
        k = r.randrange(8)
        if k < 4:
            word = r.choice([b'stdoutredi', b'stdoutredi_append'])
            self.emit(word + b' ' + r.choice(SINK_NAMES).encode())
            for _ in range(r.randint(0, 3)):
                self.misc() if r.random() < 0.5 else self.query()
            if r.random() < 0.85:
                self.emit(b'stdoutback')
        elif k == 4:
            self.emit(b'stdoutredi ' + r.choice([DIR_NAME.encode(), b'nodir/x.txt', b'.', b'A' * 300]))
        elif k == 5 and r.random() < 0.25:
            self.fifos.append(FIFO_NAME)
            self.emit(b'stdoutredi ' + FIFO_NAME.encode())
        else:
            self.emit(b'stdoutback')

    def script_body(self, depth):
        """A few lines for a helper script; never a wait on a run that may not end."""
        r = self.r
        body = []
        saved, self.lines = self.lines, body
        saved_in_script, self.in_script = self.in_script, True
        for _ in range(r.randint(1, 6)):
            k = r.randrange(12)
            if k < 3:
                self.query()
            elif k < 5:
                self.misc()
            elif k == 5:
                self.add_line(self.gen_line_amounts(3 - self.start_street + 1))
            elif k == 6:
                self.emit(b'go %d steps' % r.randint(0, 3))
            elif k == 7:
                self.emit(b'stop', b'wait_for_solver')
            elif k == 8 and depth < 2:
                self.emit(b'load_script ' + self.script(depth + 1).encode())
            elif k == 9:
                self.emit(b'', b'   ', b'# a comment')
            elif k == 10:
                self.emit(b'skip_if_done ' + r.choice([b'out1.txt', MISSING.encode(), DIR_NAME.encode()]) +
                          b' DONE')
                self.emit(b'is_ready', b'LABEL: DONE')
            else:
                self.hostile_line()
        self.lines = saved
        self.in_script = saved_in_script
        return body

    def script(self, depth=0, name=None):
        r = self.r
        self.script_count += 1
        name = name or r.choice(['s%d.txt' % self.script_count, 'script %d.txt' % self.script_count])
        body = self.script_body(depth)
        if r.random() < 0.2:
            body = [l + b'\r' for l in body]   # CR LF line ends
        data = b'\n'.join(body) + (b'\n' if r.random() < 0.85 else b'')
        if r.random() < 0.25:
            data = BOM + data
        self.files[name] = data
        return name

    def scripts(self):
        r = self.r
        k = r.randrange(10)
        if k < 5:
            name = self.script()
            joined = name.replace(' ', '  ') if ' ' in name else name
            self.emit(b'load_script ' + joined.encode())
        elif k == 5:
            self.files['self.txt'] = b'is_ready\nload_script self.txt\nis_ready\n'
            self.emit(b'load_script self.txt')
        elif k == 6 and r.random() < 0.1:
            self.files['twice.txt'] = b'load_script twice.txt\nload_script twice.txt\n'
            self.emit(b'load_script twice.txt')
        elif k == 7:
            self.emit(b'load_script ' + r.choice([DIR_NAME.encode(), MISSING.encode(), b'', b'A' * 70000,
                                                  b'nodir/s.txt']))
        elif k == 8:
            name = self.script()
            self.emit(b'skip_if_done ' + name.encode() + b' L1')
            self.files['labels.txt'] = b'is_ready\nLABEL: L0\nshow_settings\nLABEL: L1\nis_ready\n'
            self.emit(b'load_script labels.txt')
        else:
            self.emit(b'skip_if_done ' + r.choice([b'out1.txt', DIR_NAME.encode(), MISSING.encode()]) + b' X')

    def misc(self):
        r = self.r
        self.emit(r.choice([b'is_ready', b'solver_time', b'show_memory', b'show_settings', b'ai6_get_instruction_set',
                            b'show_hand_order', b'show_category_names', b'sleep %d' % r.randint(-5, 50),
                            b'take_a_break 0', b'stop', b'show_tree_params', b'is_tree_present',
                            b'show_categories ' + b' '.join(card_text(c) for c in r.sample(range(52), r.randint(2, 6))),
                            b'show_categories ' + b''.join(card_text(c) for c in r.sample(range(52), 3)),
                            b'show_categories Ks Ks 7d', b'ai6_get_actual_compression']))

    def hostile_line(self):
        r = self.r
        k = r.randrange(15)
        if k == 14:
            n = r.choice([MAX_LINE_ACTIONS, MAX_LINE_ACTIONS + 1, 5000])
            self.emit(r.choice([b'add_line', b'force_line']) + b''.join(b' %d' % (i // 3) for i in range(n)))
        elif k == 0:
            self.emit(r.choice([b'exitx', b'Exit', b'IS_READY', b'is_ready\t', b'LABEL: X', b'frobnicate 1 2',
                                b'\x00', b'is_ready\x00x', b'zz' + long_token(r)[:10]]))
        elif k == 1:
            word = r.choice(COMMANDS).encode()
            n = TOKEN_COUNTS.get(word.decode(), 3)
            extra = r.choice([0, 2]) if n > 2 else r.choice([0, n + 1])
            self.emit(word + b''.join(b' ' + hostile_token(r) for _ in range(min(extra, 4))))
        elif k == 2:
            self.emit(MARK + r.choice([b'is_ready', b'show_tree_params', b'show_node r:0', b'set_pot x 0 0',
                                       b'show_settings', b'# comment', b'', b'calc_results']))
        elif k == 3:
            self.emit(BOM + r.choice([b'is_ready', b'set_pot 0 0 100']))
        elif k == 4:
            self.emit(r.choice([b'is_ready\r', b'show_settings\r', b'is_ready\r\r', b'\r']))
        elif k == 5:
            self.emit(r.choice([b'', b'   ', b' \t ', b'    is_ready    ']))
        elif k == 6:
            self.emit(b'#' + r.choice([b'', b' set_threads 4', b'A' * 70000, b'\x00x']))
        elif k == 7:
            self.emit(b'set_threads ' + hostile_token(r))
        elif k == 8:
            self.emit(b'show_node ' + self.bad_path())
        elif k == 9:
            self.emit(long_token(r))
        elif k == 10:
            self.emit(b'sleep ' + r.choice([b'99999999999', b'x', b'-2147483648', b'1e3']))
        elif k == 11:
            self.emit(b'go ' + r.choice([b'5', b'x', b'5 minutes', b'x steps', b'2147483648 seconds', b'1e3 steps',
                                         b'5 steps extra']))
        elif k == 12:
            self.emit(b'show_range' + r.choice([b'', b' OOP r', b' IP r:0 extra', b' Hero']))
        else:
            self.emit(r.choice(COMMANDS).encode())   # missing arguments

    def body(self, n):
        r = self.r
        actions = [(self.query, 30), (self.modify, 14), (self.go, 9), (self.output, 5), (self.scripts, 6),
                   (self.misc, 8), (self.hostile_line, 14), (self.wait, 2)]
        total = sum(w for _, w in actions)
        for _ in range(n):
            x = r.uniform(0, total)
            for fn, w in actions:
                x -= w
                if x <= 0:
                    fn()
                    break
            if self.lines and self.lines[-1] == b'wait_for_solver' and self.unbounded:
                self.lines.insert(len(self.lines) - 1, b'stop')
                self.unbounded = False
            if self.lines and line_tokens(self.lines[-1])[1][:1] == [b'load_script'] and self.unbounded:
                # The script may wait for the solver.
                self.lines.insert(len(self.lines) - 1, b'stop')

    def case(self):
        r = self.r
        if r.random() < 0.95:
            self.spot()
        self.body(r.randint(8, 40))
        ending = r.randrange(10)
        tail = None
        if ending < 4:
            self.emit(r.choice([b'exit', b'exit now', MARK + b'exit']))
        elif ending == 4:
            tail = b'is_ready'
        return Case(self.lines, self.files, self.dirs, self.fifos, gui=r.random() < 0.2, tail=tail)


def generate_case(seed, index):
    rnd = random.Random('protocol-fuzz:%d:%d' % (seed, index))
    return Generator(rnd).case()


# ---------------------------------------------------------------------------------------------
# Mutation and splicing of corpus cases.

def is_bounded_go(tokens):
    """Whether a go line cannot start a run that goes on by itself for long."""
    if len(tokens) < 3:
        return len(tokens) == 2   # "go N" without a unit is refused
    n = parse_int(tokens[1])
    if n is None:
        return True   # refused
    if tokens[2] == b'steps':
        return n <= 60
    if tokens[2] == b'seconds':
        return 1 <= n <= 3
    return True       # refused


def make_safe(case):
    """Keeps a mutated case from waiting on purpose for something that never ends: a run without
    a limit before wait_for_solver, long sleeps, and trees on a bare flop (far too slow to solve
    under the sanitizers)."""
    out = []
    unbounded = False
    flop_board = False
    for line in case.lines:
        t = line_tokens(line)[1]
        w = t[0] if t else b''
        if w == b'go' and not is_bounded_go(t):
            unbounded = True
        elif w in (b'stop', b'take_a_break'):
            unbounded = False
        elif w == b'wait_for_solver' and unbounded:
            out.append(b'stop')
            unbounded = False
        elif w == b'sleep' and len(t) == 2 and (parse_int(t[1]) or 0) > 500:
            line = b'sleep 500'
        elif w == b'take_a_break' and len(t) == 2 and (parse_int(t[1]) or 0) > 1:
            line = b'take_a_break 1'
        elif w == b'set_board' and 4 <= len(t) <= 6:
            sets = [parse_cards(x) for x in t[1:]]
            if all(s is not None for s in sets):
                flop = set().union(*sets[:3])
                ok = len(flop) == 3 and all(len(s) == 1 for s in sets[3:])
                if ok:
                    flop_board = len(t) == 4
        elif w == b'build_tree' and flop_board:
            continue
        elif w == b'load_script':
            # Scripts may wait for the solver as well, or start a run without limit.
            if unbounded:
                out.append(b'stop')
            unbounded = any(t[0] == b'go' and not is_bounded_go(t)
                            for data in case.files.values() for t in script_lines(data))
        out.append(line)
    case.lines = out
    return case


def mutate(rnd, case, corpus):
    c = case.copy()
    c.origin = 'mutant of ' + case.origin
    gen = Generator(rnd)
    # Let the generator know the spot of the case, so that inserted paths mostly resolve.
    for line in c.lines:
        t = split_tokens(line)
        if t and t[0] in (b'add_line', b'force_line'):
            amounts = [parse_double(x) for x in t[1:]]
            if all(a is not None for a in amounts):
                merge_line(gen.root, amounts, t[0] == b'force_line')
        elif t and t[0] == b'set_board' and 5 <= len(t) <= 6:
            cards = [parse_cards(x) for x in t[1:]]
            if all(s and len(s) == 1 for s in cards):
                gen.board = [next(iter(s)) for s in cards]
                gen.start_street = len(gen.board) - 2
    for _ in range(rnd.randint(1, 4)):
        k = rnd.randrange(9)
        pos = rnd.randint(0, len(c.lines))
        if k < 3:
            gen.lines = []
            rnd.choice([gen.query, gen.query, gen.modify, gen.misc, gen.hostile_line, gen.go, gen.output])()
            c.lines[pos:pos] = gen.lines
        elif k == 3 and c.lines:
            del c.lines[min(pos, len(c.lines) - 1)]
        elif k == 4 and c.lines:
            i = min(pos, len(c.lines) - 1)
            c.lines.insert(i, c.lines[i])
        elif k == 5 and c.lines:
            i = min(pos, len(c.lines) - 1)
            t = c.lines[i].split(b' ')
            if t[0] not in (b'set_board',):
                j = rnd.randrange(len(t))
                t[j] = hostile_token(rnd) if j else t[j]
                if rnd.random() < 0.3 and len(t) > 1:
                    t.pop()
                c.lines[i] = b' '.join(t)
        elif k == 6 and c.lines:
            i = min(pos, len(c.lines) - 1)
            c.lines[i] = rnd.choice([MARK + c.lines[i], c.lines[i] + b'\r', BOM + c.lines[i], b'  ' + c.lines[i]])
        elif k == 7 and len(corpus) > 1:
            other = rnd.choice(corpus)
            j = rnd.randint(0, len(other.lines))
            c.lines = c.lines[:pos] + other.lines[j:]
            for name, data in other.files.items():
                c.files.setdefault(name, data)
            c.dirs = sorted(set(c.dirs) | set(other.dirs))
            c.fifos = sorted(set(c.fifos) | set(other.fifos))
            c.origin += ' + ' + other.origin
        else:
            gen.lines = []
            gen.scripts()
            c.lines[pos:pos] = gen.lines
            for name, data in gen.files.items():
                c.files.setdefault(name, data)
            c.dirs = sorted(set(c.dirs) | set(gen.dirs))
            c.fifos = sorted(set(c.fifos) | set(gen.fifos))
    return make_safe(c)


# ---------------------------------------------------------------------------------------------
# Answer grammar.

class Mismatch(Exception):
    """An answer that breaks the grammar. `cls` names the fault apart from the values in it."""

    def __init__(self, message, cls=None):
        super().__init__(message)
        self.cls = cls


class GoLenient(Exception):
    """From here on the answer is not predicted: only each line's form is checked."""


NUM = rb'[-+]?(?:\d+(?:\.\d*)?(?:e[-+]?\d+)?|inf|nan)'
NUM_RE = re.compile(NUM + rb'\Z')
CARD = rb'[2-9TJQKA][cdhs]'
BOARD_RE = re.compile(CARD + rb'(?: ' + CARD + rb'){2,4}\Z')
AMOUNTS_RE = re.compile(NUM + rb' ' + NUM + rb' ' + NUM + rb'\Z')
CHILDREN_RE = re.compile(rb'(\d+) children\Z')
FLAGS_RE = re.compile(rb'flags:(?: [A-Z_ ]*)?\Z')
KINDS = {b'ROOT', b'SPLIT_NODE', b'END_NODE', b'IP_DEC', b'OOP_DEC'}
PP_RE = re.compile(rb'(' + CARD + CARD + rb'): ((?:  ' + NUM + rb')+)\Z')
READABLE_RE = re.compile(rb'(' + CARD + CARD + rb'): (' + NUM + rb'); (' + NUM + rb')\Z')
RESULT_KEYS = [b'EV OOP: ', b'EV IP: ', b"OOP's MES: ", b"IP's MES: ", b'Exploitable for: ']
REPORT_KEYS = [b'running time: '] + RESULT_KEYS
STOP_REASONS = {b'requested', b'required accuracy reached', b'required number of steps done', b'timeout reached'}
THREE_DEC_RE = re.compile(rb'-?(?:\d+\.\d{3}|nan|inf)\Z')


def is_error(line, word):
    return (line == b'Invalid value' or line == b'ERROR: invalid card' or
            (line.startswith(b'ERROR: ' + word + b' ') and len(line) > len(word) + 8))


def hand_line_values(line, what):
    toks = line.split(b' ')
    if toks and toks[-1] == b'':
        toks.pop()
    if len(toks) != HANDS:
        raise Mismatch('%s: %d values, expected %d' % (what, len(toks), HANDS))
    values = []
    for t in toks:
        if not NUM_RE.match(t):
            raise Mismatch('%s: bad value %r' % (what, t[:40]))
        values.append(float(t))
    return values


class Answers:
    """Cursor over the answer lines of one command line (after solver reports are removed)."""

    def __init__(self, lines):
        self.lines = lines
        self.i = 0

    def peek(self):
        return self.lines[self.i] if self.i < len(self.lines) else None

    def take(self, what):
        if self.i >= len(self.lines):
            raise Mismatch('missing %s' % what)
        self.i += 1
        return self.lines[self.i - 1]

    def expect(self, text):
        line = self.take(repr(text))
        if line != text:
            cls = None
            if line.startswith(b'ERROR: Command ') and not text.startswith(b'ERROR: Command '):
                cls = 'a command word that should run was not recognized'
            elif text.startswith(b'ERROR: Command ') and line.startswith(b'ERROR: Command '):
                cls = 'unknown command echoed wrong'
            raise Mismatch('expected %r, got %r' % (text[:80], line[:80]), cls)

    def match(self, regex, what):
        line = self.take(what)
        m = regex.match(line)
        if not m:
            raise Mismatch('bad %s line %r' % (what, line[:80]))
        return m


class Ctx:
    """What the checker knows while it checks one command's answer."""

    def __init__(self, runner):
        self.runner = runner
        self.blocks = []          # node blocks seen: (path, lines)
        self.children = None      # show_children listing: [(path, block lines)]
        self.strategy = None
        self.refused = False
        self.go_ok = []           # tokens of go commands that answered ok
        self.exits = False
        self.lenient = False
        self.error_words = []


def node_block(a, path, ctx, what):
    """Six lines: path, kind, board, amounts, child count, flags."""
    start = a.i
    p = a.take(what + ' path')
    if path is not None and p != path:
        raise Mismatch('%s: path line %r, expected %r' % (what, p[:80], path[:80]), 'path line is not the path given')
    kind = a.take(what + ' kind')
    if kind not in KINDS:
        raise Mismatch('%s: bad kind %r' % (what, kind[:80]))
    board = a.match(BOARD_RE, what + ' board').group(0)
    a.match(AMOUNTS_RE, what + ' amounts')
    n = int(a.match(CHILDREN_RE, what + ' children').group(1))
    a.match(FLAGS_RE, what + ' flags')
    cards = board.count(b' ') + 1
    if kind == b'SPLIT_NODE' and cards >= 5:
        raise Mismatch('%s: %s is a SPLIT_NODE on a five-card board (no card left to deal)' % (what, p[:80]),
                       'SPLIT_NODE on a five-card board')
    if kind == b'SPLIT_NODE' and n not in (48, 49):
        raise Mismatch('%s: SPLIT_NODE with %d children' % (what, n))
    if kind == b'END_NODE' and n != 0:
        raise Mismatch('%s: END_NODE with %d children' % (what, n))
    if kind == b'ROOT' and n != 1:
        raise Mismatch('%s: ROOT with %d children' % (what, n))
    if kind in (b'OOP_DEC', b'IP_DEC') and n == 0:
        raise Mismatch('%s: decision without children' % what)
    block = a.lines[start:a.i]
    ctx.blocks.append((p, block))
    return p, kind, n, block


def children_order_problem(paths):
    """Children come fold first, then the check or call, then bets by amount; cards from the ace of
    spades down (rank, then suit from spades to clubs)."""
    toks = [p.rsplit(b':', 1)[-1] for p in paths]
    if len(toks) < 2:
        return None
    if all(re.match(CARD + rb'\Z', x) for x in toks):
        keys = [(-RANKS.index(x[:1]), -SUITS_OUT.index(x[1:])) for x in toks]
    else:
        def key(x):
            if x == b'f':
                return (0, 0)
            if x == b'c':
                return (1, 0)
            v = strtod(x[1:]) if x.startswith(b'b') else None
            return (2, v if v is not None else 0)
        keys = [key(x) for x in toks]
    if keys != sorted(keys) or len(set(keys)) != len(keys):
        return 'children out of order: %r' % b' '.join(toks)[:200]
    return None


def strategy_rows(a, what):
    rows = []
    while a.peek() is not None and a.peek() != b'END':
        rows.append(hand_line_values(a.take(what), what))
    a.expect(b'END')
    if not rows:
        raise Mismatch('%s: no action lines' % what)
    for h in range(HANDS):
        col = [row[h] for row in rows]
        if any(math.isnan(v) for v in col):
            continue
        if any(v < -1e-9 or v > 1 + 1e-9 for v in col):
            raise Mismatch('%s: probability %r outside [0, 1] for %s' % (what, col, HAND_NAMES[h]))
        s = sum(col)
        if abs(s) > 1e-6 and abs(s - 1) > 1e-6:
            raise Mismatch('%s: probabilities of %s add up to %r' % (what, HAND_NAMES[h], s))
    return rows


def check_success(word, t, a, ctx):
    """The answer of a command that did not fail, by its word."""
    w = word.decode('latin-1')
    if w in ('is_ready', 'set_threads', 'ai6_set_threads', 'set_recalc_accuracy', 'set_isomorphism',
             'skip_if_done', 'go', 'stop', 'set_range', 'set_board', 'set_pot', 'clear_lines', 'free_schematic_tree',
             'add_line', 'remove_line', 'force_line', 'build_tree', 'free_tree', 'stdoutredi', 'stdoutredi_append',
             'stdoutback', 'set_accuracy', 'ai6_set_compression', 'take_a_break', 'set_all_hands'):
        a.expect(word + b' ok!')
        if w == 'go':
            ctx.go_ok.append(t)
    elif w == 'solver_time':
        a.match(re.compile(rb'\d+\.\d{6}\Z'), 'solver_time')
    elif w == 'show_hand_order':
        a.expect(HAND_ORDER_LINE)
    elif w == 'show_settings':
        a.expect(b'END')
    elif w == 'show_tree_params':
        board = a.match(re.compile(rb'board: (.*)\Z'), 'board').group(1)
        if board and not BOARD_RE.match(board) and not re.match(CARD + rb'(?: ' + CARD + rb')?\Z', board):
            raise Mismatch('bad board %r' % board[:80])
        pot = a.match(re.compile(rb'pot: 0 0 (' + NUM + rb')\Z'), 'pot').group(1)
        known = ctx.runner.known_board
        if known is not None and board != known:
            raise Mismatch('board %r, set_board gave %r' % (board, known))
        if ctx.runner.known_pot is not None and pot != fmt_g(ctx.runner.known_pot):
            raise Mismatch('pot %r, set_pot gave %r' % (pot, ctx.runner.known_pot))
        a.expect(b'bet_sizes: ')
        a.expect(b'donk_bet: FALSE')
        a.expect(b'END')
    elif w == 'is_tree_present':
        line = a.take('true/false')
        if line not in (b'true', b'false'):
            raise Mismatch('is_tree_present answered %r' % line[:80])
        known = ctx.runner.tree_known
        if known is not None and line != (b'true' if known else b'false'):
            raise Mismatch('is_tree_present answered %r after the tree was %s' % (
                line, 'built' if known else 'freed or never built'), 'is_tree_present')
    elif w == 'show_node':
        node_block(a, c_string(t[1]), ctx, 'show_node')
        a.expect(b'END')
    elif w == 'show_children':
        listing = []
        while a.peek() is not None and a.peek() != b'END':
            a.expect(b'child %d:' % len(listing))
            p, kind, n, block = node_block(a, None, ctx, 'child %d' % len(listing))
            parent = c_string(t[1])
            if not (p.startswith(parent + b':') and b':' not in p[len(parent) + 1:]) and not (
                    p == b'r:0' and parent == b'r'):
                raise Mismatch('child path %r is not below %r' % (p[:80], parent[:80]))
            listing.append((p, block))
        a.expect(b'END')
        order_problem = children_order_problem([p for p, _ in listing])
        if order_problem:
            raise Mismatch('show_children %s: %s' % (t[1][:60].decode('latin-1'), order_problem),
                           'show_children order')
        ctx.children = listing
    elif w == 'show_strategy':
        ctx.strategy = strategy_rows(a, 'show_strategy')
        if ctx.runner.iterations_zero:
            n = len(ctx.strategy)
            for row in ctx.strategy:
                if any(abs(v - 1.0 / n) > 1e-9 for v in row):
                    raise Mismatch('show_strategy on a tree that has not run: %r where 1/%d is due' % (
                        next(v for v in row if abs(v - 1.0 / n) > 1e-9), n), 'strategy of a tree that has not run')
    elif w == 'show_strategy_pp':
        width = None
        while a.peek() is not None and a.peek() != b'END':
            m = a.match(PP_RE, 'show_strategy_pp')
            n = m.group(2).count(b'  ')
            if width is not None and n != width:
                raise Mismatch('show_strategy_pp: rows of %d and %d actions' % (width, n))
            width = n
        a.expect(b'END')
    elif w == 'show_range':
        line = a.take('range line')
        hand_line_values(line, 'show_range')
        player = 0 if t[1] in (b'OOP', b'hero') else 1
        known = ctx.runner.range_text[player]
        if len(t) == 2 and known is not None and line != known:
            diff = next(i for i, (x, y) in enumerate(zip(line.split(b' '), known.split(b' '))) if x != y)
            raise Mismatch('show_range %s: %s prints %r, set_range gave %r' % (
                t[1].decode(), HAND_NAMES[diff].decode(), line.split(b' ')[diff], known.split(b' ')[diff]),
                'show_range differs from the range set')
    elif w == 'calc_results':
        values = [float(a.match(re.compile(re.escape(key) + rb'(-?(?:\d+\.\d{3}|nan|inf))\Z'), key.decode()).group(1))
                  for key in RESULT_KEYS]
        a.expect(b'END')
        pot = ctx.runner.known_pot
        problem = ctx.runner.tree_plain and result_problem(values, pot)
        if problem:
            raise Mismatch('calc_results: ' + problem, 'calc_results: ' + mismatch_class(problem))
    elif w in ('calc_ev', 'calc_ev_line', 'calc_eq', 'calc_eq_node'):
        values = hand_line_values(a.take('value line'), w)
        hand_line_values(a.take('weight line'), w + ' weights')
        if w == 'calc_eq_node':
            a.match(NUM_RE, 'overall equity')
        if w.startswith('calc_eq') and ctx.runner.ranges_plain():
            for h, v in enumerate(values):
                if not math.isnan(v) and (v < -1e-9 or v > 1 + 1e-9):
                    raise Mismatch('%s: equity %r of %s outside [0, 1]' % (w, v, HAND_NAMES[h]))
        a.expect(b'END')
    elif w in ('calc_ev_pp', 'calc_eq_pp'):
        while a.peek() is not None and a.peek() != b'END':
            a.match(READABLE_RE, w)
        a.expect(b'END')
    elif w == 'show_memory':
        a.match(re.compile(rb'Total Physical Memory: -?\d+ MB\Z'), 'total memory')
        a.match(re.compile(rb'Available Phys Memory: -?\d+ MB\Z'), 'available memory')
        a.expect(b'END')
    elif w == 'node_count':
        total = 1
        for group in (b'H_DEC', b'V_DEC', b'SPLIT', b'END'):
            n = int(a.match(re.compile(group + rb': (\d+)\Z'), group.decode()).group(1))
            parts = [int(a.match(re.compile(street + rb'  (\d+)\Z'), street.decode()).group(1))
                     for street in (b'FLOP', b'TURN', b'RIVER')]
            if sum(parts) != n:
                raise Mismatch('node_count: %s %d is not the sum of its streets %r' % (group.decode(), n, parts),
                               'node_count: a group is not the sum of its streets')
            total += n
        a.expect(b'ROOT: 1')
        starts = [a.match(re.compile(s + rb'(0|1)\Z'), s.decode()).group(1) for s in (b'FLOP  ', b'TURN  ', b'RIVER ')]
        if starts.count(b'1') != 1:
            raise Mismatch('node_count: start street flags %r' % starts)
        n = int(a.match(re.compile(rb'TOTAL: (\d+)\Z'), 'TOTAL').group(1))
        if n != total:
            raise Mismatch('node_count: TOTAL %d, the groups add up to %d' % (n, total), 'node_count: TOTAL')
        a.expect(b'END')
        r = ctx.runner
        if r.tree_known and r.schematic_known and r.tree_start:
            want = model_node_count(r.schematic, r.tree_start)
            got = a.lines[a.i - len(want):a.i]
            if got != want:
                k = next(i for i in range(len(want)) if got[i] != want[i])
                raise Mismatch('node_count line %d is %r, the lines added give %r' % (k, got[k], want[k]),
                               'node_count differs from the lines added')
    elif w == 'show_effective_stack':
        n = int(a.match(re.compile(rb'-?\d+\Z'), 'effective stack').group(0))
        if ctx.runner.tree_known is False:
            raise Mismatch('show_effective_stack answered %d without a tree' % n, 'effective stack without a tree')
        if ctx.runner.tree_known and ctx.runner.tree_stack is not None and n != ctx.runner.tree_stack:
            raise Mismatch('effective stack %d, the lines at build time give %d' % (n, ctx.runner.tree_stack),
                           'effective stack')
    elif w == 'show_category_names':
        a.take('made hand names')
        a.take('draw names')
        a.expect(b'END')
    elif w == 'show_categories':
        hand_line_values(a.take('made hand categories'), 'show_categories')
        hand_line_values(a.take('draw categories'), 'show_categories')
        a.expect(b'END')
    elif w == 'ai6_get_actual_compression':
        a.match(re.compile(rb'compression -?\d+\Z'), 'compression')
    elif w == 'ai6_get_instruction_set':
        line = a.take('instruction set')
        if line not in (b'AVX2', b'AVX', b'SSE3'):
            raise Mismatch('instruction set %r' % line[:80])
    elif w in ('sleep', 'wait_for_solver'):
        pass
    else:
        raise AssertionError('no grammar for %s' % w)


def predicted_error(word, t, runner):
    """The exact failure a command line must answer, when it is certain; else None.
    Returns b'' when the command must succeed or print nothing."""
    w = word.decode('latin-1')
    count = TOKEN_COUNTS.get(w)
    if count is not None and count != len(t):
        return b'ERROR: ' + word + b' incorrect or missing argument'
    if w in ('add_line', 'force_line'):
        if len(t) - 1 > MAX_LINE_ACTIONS:
            return b'ERROR: %s line longer than %d actions' % (word, MAX_LINE_ACTIONS)
        last = 0.0
        for tok in t[1:]:
            v = parse_double(tok)
            if v is None:
                return b'Invalid value'
            if v < last or v > INT_MAX:
                return b'ERROR: ' + word + b' incorrect or missing argument'
            last = v
        return b''
    if w in ('sleep', 'take_a_break', 'set_threads', 'ai6_set_threads'):
        return b'Invalid value' if parse_int(t[1]) is None else b''
    if w == 'set_pot':
        return b'Invalid value' if any(parse_int(x) is None for x in t[1:]) else b''
    if w in ('wait_for_solver', 'is_ready', 'stop', 'show_settings', 'clear_lines', 'free_schematic_tree',
             'show_hand_order', 'show_category_names', 'stdoutback', 'skip_if_done', 'solver_time',
             'ai6_get_instruction_set', 'ai6_get_actual_compression', 'set_isomorphism', 'is_tree_present',
             'show_memory', 'show_tree_params', 'set_all_hands'):
        return b''
    if w == 'set_accuracy':
        if len(t) < 2:
            return b'ERROR: set_accuracy incorrect or missing argument'
        v = parse_double(t[1])
        if v is None:
            return b'Invalid value'
        return b'ERROR: set_accuracy incorrect or missing argument' if v < 0 else b''
    if w == 'set_recalc_accuracy':
        return b'Invalid value' if any(parse_double(x) is None for x in t[1:]) else b''
    if w == 'set_board':
        if len(t) < 4 or len(t) > 6:
            return b'ERROR: set_board incorrect or missing argument'
        sets = []
        for x in t[1:4]:
            s = parse_cards(x)
            if s is None:
                return b'ERROR: invalid card'
            sets.append(s)
        if len(set().union(*sets)) != 3:
            return b'ERROR: set_board incorrect or missing argument'
        for x in t[4:]:
            s = parse_cards(x)
            if s is None:
                return b'ERROR: invalid card'
            if len(s) != 1:
                return b'ERROR: set_board incorrect or missing argument'
        return None   # duplicates between streets: the engine decides
    if w in ('stdoutredi', 'stdoutredi_append'):
        kind = runner.path_kind(c_string(t[1]))
        if kind in ('dir', 'fifo', 'noparent', 'bad'):
            return b'ERROR: ' + word + b' can\'t open file'
        return b''
    if w == 'load_script':
        if runner.path_kind(c_string(b' '.join(t[1:]))) != 'file':
            return b"ERROR: load_script can't open file"
        return None
    if w == 'show_range' and len(t) < 2:
        return b'ERROR: show_range incorrect or missing argument'
    return None


def check_answer(tokens, answers, ctx, runner, depth=0):
    """Checks the answer of one dispatched line (token list), consuming its lines."""
    if not tokens:
        return
    word = tokens[0]
    if word.startswith(b'#'):
        return
    if word == b'exit':
        ctx.exits = True
        return
    if word == b'load_script':
        return check_script(tokens, answers, ctx, runner, depth)
    w = word.decode('latin-1')
    if w not in TOKEN_COUNTS and w not in ('go', 'set_range', 'set_board', 'add_line', 'remove_line',
                                             'force_line', 'show_range', 'set_accuracy', 'show_categories',
                                             'load_tree', 'dump_tree'):
        answers.expect(b'ERROR: Command ' + c_string(word) + b' not recognized')
        ctx.error_words.append(word)
        return
    if w in OPAQUE:
        raise GoLenient()
    expected = predicted_error(word, tokens, runner)
    line = answers.peek()
    if expected != b'' and line is not None and is_error(line, word):
        answers.take('error')
        ctx.refused = True
        ctx.error_words.append(word)
        if expected == b'':
            raise Mismatch('%s failed with %r where it must succeed' % (w, line[:100]))
        if expected and line != expected:
            raise Mismatch('%s answered %r, expected %r' % (w, line[:100], expected[:100]))
        return
    if expected:
        raise Mismatch('%s must fail with %r, answered %r' % (w, expected[:100], (line or b'<nothing>')[:100]),
                       '%s accepted what it must refuse' % w)
    check_success(word, tokens, answers, ctx)


def script_lines(data):
    """Token lists a script file yields, as the engine reads it."""
    if data.startswith(BOM):
        data = data[3:]
    out = []
    for line in data.split(b'\n'):
        if line.endswith(b'\r'):
            line = line[:-1]
        t = split_tokens(line)
        if t:
            out.append(t)
    return out


def check_script(tokens, answers, ctx, runner, depth):
    name = c_string(b' '.join(tokens[1:]))
    expected = predicted_error(b'load_script', tokens, runner)
    line = answers.peek()
    if expected:
        if line != expected:
            raise Mismatch('load_script %r answered %r, expected %r' % (name[:60], (line or b'<nothing>')[:100],
                                                                         expected))
        answers.take('error')
        ctx.refused = True
        return
    # What the script sets is not followed line by line: forget the known board, pot and ranges.
    runner.known_board = runner.known_pot = None
    runner.range_state = [None, None]
    runner.range_text = [None, None]
    runner.tree_plain = False
    runner.schematic_known = runner.schematic_clean = runner.iterations_zero = False
    runner.tree_known = runner.tree_stack = runner.tree_start = None
    data = runner.read_helper(name)
    if data is None or runner.recursive(name) or depth > 8 or runner.skip_label is Ellipsis:
        # Scripts that load themselves, or whose content is not known: every line must still be
        # an answer line, and a self-loading script must end with an error of load_script.
        if runner.recursive(name) and runner.skip_label is None:
            rest = answers.lines[answers.i:]
            if not any(l.startswith(b'ERROR: load_script ') for l in rest):
                raise Mismatch('script %r loads itself and no load_script error was answered' % name[:60])
        runner.skip_label = Ellipsis
        raise GoLenient()
    for t in script_lines(data):
        if runner.skip_label:
            if len(t) >= 2 and t[0] == b'LABEL:' and t[1] == runner.skip_label:
                runner.skip_label = None
            continue
        word = t[0]
        if word in (b'stdoutredi', b'stdoutredi_append', b'stdoutback'):
            # Where the rest goes depends on the redirection: stop predicting.
            runner.skip_label = Ellipsis
            raise GoLenient()
        if word == b'skip_if_done' and len(t) == 3 and runner.path_kind(c_string(t[1])) != 'missing':
            runner.skip_label = t[2]
        if word == b'exit':
            ctx.exits = True
            return
        check_answer(t, answers, ctx, runner, depth + 1)


PLAUSIBLE = [re.compile(x + rb'\Z') for x in [
    rb'[a-z_0-9]+ ok!', rb'ERROR: .*', rb'Invalid value', rb'END', rb'child \d+:', rb'r(?::[^ ]*)*',
    rb'ROOT|SPLIT_NODE|END_NODE|IP_DEC|OOP_DEC', CARD + rb'(?: ' + CARD + rb')*', NUM + rb' ' + NUM + rb' ' + NUM,
    rb'\d+ children', rb'flags:(?: [A-Z_ ]*)?', rb'true|false', NUM, rb'compression -?\d+', rb'AVX2|AVX|SSE3',
    rb'(?:' + NUM + rb' ?)+', rb'(?:[A-Za-z0-9_+-]+ )+', CARD + CARD + rb': ' + NUM + rb'; ' + NUM,
    rb'(?:EV OOP|EV IP|OOP\'s MES|IP\'s MES|Exploitable for): .*', rb'(?:H_DEC|V_DEC|SPLIT|END|ROOT|TOTAL): \d+',
    rb'(?:FLOP|TURN|RIVER) +\d+', rb'board: .*', rb'pot: .*', rb'bet_sizes: ', rb'donk_bet: FALSE',
    rb'(?:Total Physical|Available Phys) Memory: -?\d+ MB', rb'(?:' + CARD + CARD + rb' ?)+',
    CARD + CARD + rb': (?:  ' + NUM + rb')+']]


def plausible(line):
    return any(p.match(line) for p in PLAUSIBLE)


# ---------------------------------------------------------------------------------------------
# Output streams: the pipe, redirection files, the controlling terminal.

def result_problem(values, pot):
    """What is wrong with a block of results (EV OOP, EV IP, OOP's MES, IP's MES, exploitability),
    each printed with three decimals; None when nothing is. pot: the pot the report adds half of,
    when known."""
    ev0, ev1, mes0, mes1, expl = values
    if not all(math.isfinite(v) for v in values):
        return None
    tol = 0.003 + 1e-9 * max(abs(v) for v in values)
    if mes0 < ev0 - tol or mes1 < ev1 - tol:
        return 'a best response worth less than the strategy it exploits (%r)' % (values,)
    if abs((mes0 - ev0) + (mes1 - ev1) - 2 * expl) > 2 * tol:
        return 'the two MES - EV differences do not add up to twice the exploitability (%r)' % (values,)
    if pot is not None and abs(ev0 + ev1 - pot) > tol:
        return 'EV OOP + EV IP is not the pot %g (%r)' % (pot, values)
    return None


def split_reports(data, gui, marker):
    """Separates the solver's reports from answer lines. Returns (answers, events, problems);
    events are ('started',), ('report', values) and ('stopped', reason)."""
    lines = data.split(b'\n')
    if lines and lines[-1] == b'':
        lines.pop()
    answers, events, problems = [], [], []
    i = 0
    while i < len(lines):
        line = lines[i]
        if line == b'SOLVER: started':
            events.append(('started',))
        elif line.startswith(b'SOLVER: stopped (') and line.endswith(b')'):
            reason = line[17:-1]
            events.append(('stopped', reason))
            if reason not in STOP_REASONS:
                problems.append('unknown stop reason %r' % reason)
        elif line == b'SOLVER:' and not gui:
            block = lines[i + 1:i + 8]
            ok = len(block) == 7 and block[6] == b'END' and all(
                b.startswith(k) and THREE_DEC_RE.match(b[len(k):]) for b, k in zip(block, REPORT_KEYS))
            if not ok:
                problems.append('malformed solver report %r' % b'\n'.join(lines[i:i + 8])[:300])
            else:
                events.append(('report', [float(b[len(k):]) for b, k in zip(block[1:6], RESULT_KEYS)]))
            i += 8
            continue
        elif line.startswith(b'#'):
            if not gui:
                problems.append('diagnostic line without /gui: %r' % line[:100])
        elif marker:
            if not line.startswith(MARK):
                problems.append('answer line without the 0xA7 marker: %r' % line[:100])
            else:
                answers.append(line[1:])
        else:
            if line.startswith(MARK):
                problems.append('0xA7 marker on a line that had none: %r' % line[:100])
            answers.append(line)
        i += 1
    return answers, events, problems


class Failure(Exception):
    """A fault of the engine. Failures with the same signature count as one."""

    def __init__(self, kind, word, message, detail='', sig=''):
        super().__init__(message)
        self.kind = kind
        self.word = word
        self.message = message
        self.detail = detail
        self.sig = sig

    def signature(self):
        if self.kind in ('protocol', 'sanitizer', 'resolve', 'solver'):
            return '%s:%s' % (self.kind, self.sig)
        return '%s:%s:%s' % (self.kind, self.word, self.sig)


def mismatch_class(message):
    """A problem's text without the values in it, so that one fault gives one signature."""
    return re.sub(r"b?'(?:[^'\\]|\\.)*'|b?\"(?:[^\"\\]|\\.)*\"|-?\d+(?:\.\d+)?", '_', message)[:80]


class Hang(Exception):
    pass


class Exited(Exception):
    pass


SANITIZER_RE = re.compile(rb'(ERROR: AddressSanitizer: [\w-]+|ERROR: LeakSanitizer|runtime error: [^\n]{0,100}|'
                          rb'WARNING: ThreadSanitizer: [\w ]+|ERROR: ThreadSanitizer: [\w-]+|'
                          rb'ERROR: UndefinedBehaviorSanitizer: [\w-]+|AddressSanitizer:DEADLYSIGNAL)')


def binary_is_sanitized(path):
    try:
        with open(path, 'rb') as f:
            data = f.read()
    except OSError:
        return False
    return b'__asan_init' in data or b'__tsan_init' in data or b'__msan_init' in data


def child_setup(tty_name, limit_as):
    os.setsid()
    # Opening the terminal as the leader of a new session makes it the controlling terminal, so
    # that output written to /dev/tty is caught instead of reaching the user's terminal.
    fd = os.open(tty_name, os.O_RDWR)
    os.close(fd)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))
    if limit_as:
        resource.setrlimit(resource.RLIMIT_AS, (limit_as, limit_as))
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


class FileSink:
    def __init__(self, path):
        self.path = path
        self.last_probe = None   # the last probe answer line consumed from this file
        self.size = None
        self.data = b''


class Session:
    """One engine process: feeds lines, collects its streams, watches time and memory."""

    def __init__(self, opts, workdir, gui):
        self.opts = opts
        self.workdir = workdir
        # The terminal's far side stays open here: without it the near side reports a hang-up.
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.tty_name = os.ttyname(self.slave)
        env = dict(os.environ)
        env['ASAN_OPTIONS'] = 'allocator_may_return_null=1:detect_leaks=0:handle_abort=1:' + env.get('ASAN_OPTIONS', '')
        env['UBSAN_OPTIONS'] = 'print_stacktrace=1:halt_on_error=1:' + env.get('UBSAN_OPTIONS', '')
        env['TSAN_OPTIONS'] = 'halt_on_error=0:' + env.get('TSAN_OPTIONS', '')
        limit_as = 0 if opts.sanitized else opts.max_rss_mb * 4 << 20
        args = [opts.binary] + (['/gui'] if gui else [])
        self.proc = subprocess.Popen(args, cwd=workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, close_fds=True,
                                     preexec_fn=lambda: child_setup(self.tty_name, limit_as))
        self.sel = selectors.DefaultSelector()
        for f in (self.proc.stdout, self.proc.stderr):
            os.set_blocking(f.fileno(), False)
            self.sel.register(f.fileno(), selectors.EVENT_READ)
        os.set_blocking(self.master, False)
        self.sel.register(self.master, selectors.EVENT_READ)
        self.stdin_fd = self.proc.stdin.fileno()
        os.set_blocking(self.stdin_fd, False)
        self.pending = b''
        self.stdin_closed = False
        self.out = bytearray()      # pipe data not yet consumed
        self.err = bytearray()
        self.tty = bytearray()
        self.eof = {self.proc.stdout.fileno(): False, self.proc.stderr.fileno(): False}
        self.files = {}             # name -> FileSink
        self.last_file_poll = 0
        self.last_rss_poll = 0
        self.peak_rss_mb = 0
        self.stop_arrivals = []     # arrival times of stop lines on the pipe
        self.scan_pos = 0
        self.sent = bytearray()     # every byte written to stdin

    def watch_file(self, name):
        if name not in self.files:
            self.files[name] = FileSink(os.path.join(self.workdir.encode(), name))

    def write(self, data):
        self.pending += data
        self.sent += data

    def close_stdin(self):
        self.stdin_closed = True

    def _pump_stdin(self):
        if self.pending:
            try:
                n = os.write(self.stdin_fd, self.pending[:1 << 16])
                self.pending = self.pending[n:]
            except BlockingIOError:
                pass
            except BrokenPipeError:
                self.pending = b''
        if self.stdin_closed and not self.pending and not self.proc.stdin.closed:
            self.proc.stdin.close()

    def pump(self, wait):
        """Moves data for at most `wait` seconds."""
        self._pump_stdin()
        timeout = wait
        if self.pending:
            timeout = min(wait, 0.005)
        for key, _ in self.sel.select(timeout):
            fd = key.fd
            try:
                data = os.read(fd, 1 << 20)
            except BlockingIOError:
                continue
            except OSError:
                data = b''
            if not data:
                self.sel.unregister(fd)
                if fd in self.eof:
                    self.eof[fd] = True
                continue
            if fd == self.master:
                self.tty += data
            elif fd == self.proc.stdout.fileno():
                self.out += data
                self._scan_stops()
            else:
                self.err += data
        now = time.monotonic()
        if now - self.last_file_poll > 0.03:
            self.last_file_poll = now
            self.poll_files()
        if now - self.last_rss_poll > 0.1:
            self.last_rss_poll = now
            self.check_rss()

    def _scan_stops(self):
        while True:
            i = self.out.find(b'\n', self.scan_pos)
            if i < 0:
                return
            if self.out.startswith(b'SOLVER: stopped (', self.scan_pos):
                self.stop_arrivals.append(time.monotonic())
            self.scan_pos = i + 1

    def consume_out(self, n):
        del self.out[:n]
        self.scan_pos = max(0, self.scan_pos - n)

    def poll_files(self):
        for sink in self.files.values():
            try:
                st = os.stat(sink.path)
            except OSError:
                continue
            # A file truncated and written again may come back at the same size: its time and
            # size together tell a new content.
            stamp = (st.st_size, st.st_mtime_ns, st.st_ino)
            if not stat.S_ISREG(st.st_mode) or stamp == sink.size:
                continue
            try:
                with open(sink.path, 'rb') as f:
                    sink.data = f.read(64 << 20)
                sink.size = stamp
            except OSError:
                pass

    def check_rss(self):
        try:
            with open('/proc/%d/status' % self.proc.pid, 'rb') as f:
                for line in f:
                    if line.startswith(b'VmRSS:'):
                        mb = int(line.split()[1]) // 1024
                        self.peak_rss_mb = max(self.peak_rss_mb, mb)
                        if mb > self.opts.max_rss_mb:
                            self.kill()
                            raise Failure('memory', '', 'resident memory reached %d MB (limit %d MB)' %
                                          (mb, self.opts.max_rss_mb))
        except (OSError, ValueError):
            pass

    def alive(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None:
            try:
                self.proc.kill()
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass

    def find_probe(self, probe_line):
        """Where the probe's answer is: ('pipe', start, end) or (file name, start, end)."""
        needle = b'\n' + probe_line + b'\n'
        hay = b'\n' + bytes(self.out)
        i = hay.find(needle)
        if i >= 0:
            return 'pipe', i, i + len(needle) - 1
        for name, sink in self.files.items():
            hay = b'\n' + sink.data
            i = hay.find(needle)
            if i >= 0:
                start = 0
                if sink.last_probe is not None:
                    j = hay.find(b'\n' + sink.last_probe + b'\n')
                    if 0 <= j < i:
                        start = j + len(sink.last_probe) + 1
                return name, (start, i), i + len(needle) - 1
        return None

    def wait_probe(self, probe_line, timeout, settle=0.0):
        """Waits for the probe's answer and returns (sink name, the output before it). `settle`:
        time for the terminal's data to come through (a pseudo-terminal passes it on late)."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.find_probe(probe_line)
            if found:
                self.pump(settle)   # what the terminal got before the probe's answer
                if self.tty:
                    raise Failure('tty', '', 'output went to the controlling terminal instead of the original '
                                  'standard output: %r' % bytes(self.tty[:200]), sig='tty')
                where, span, end = found
                if where == 'pipe':
                    seg = bytes(self.out[:span])
                    self.consume_out(end)
                else:
                    sink = self.files[where]
                    seg = sink.data[span[0]:span[1]]
                    sink.last_probe = probe_line
                return where, seg
            if self.tty:
                raise Failure('tty', '', 'output went to the controlling terminal instead of the original standard '
                              'output: %r' % bytes(self.tty[:200]))
            if not self.alive() and all(self.eof.values()):
                self.poll_files()
                if self.find_probe(probe_line):
                    continue
                raise Exited()
            if time.monotonic() > deadline:
                # One more look first: the fuzzer itself may have been held up.
                self.pump(0.05)
                self.poll_files()
                if self.find_probe(probe_line):
                    continue
                raise Hang(self.thread_states())
            self.pump(0.02)

    def thread_states(self):
        """Where the engine's threads wait (for hang reports)."""
        lines = []
        try:
            for tid in sorted(os.listdir('/proc/%d/task' % self.proc.pid), key=int):
                base = '/proc/%d/task/%s/' % (self.proc.pid, tid)
                with open(base + 'stat') as f:
                    state = f.read().rsplit(')', 1)[1].split()[0]
                with open(base + 'wchan') as f:
                    wchan = f.read().strip()
                with open(base + 'comm') as f:
                    comm = f.read().strip()
                lines.append('thread %s (%s): state %s, waiting in %s' % (tid, comm, state, wchan or '-'))
        except OSError:
            pass
        # What the engine had been given: a hang with input still queued is the fuzzer's own.
        lines.append('input queued but not yet written: %d bytes; output not yet scanned: %d bytes'
                     % (len(self.pending), len(self.out)))
        # The bytes themselves: a partial line tells a write cut short from an answer never begun.
        if self.out:
            lines.append('unscanned output (last 400 bytes): %r' % bytes(self.out[-400:]))
        return '\n'.join(lines)

    def finish(self, timeout):
        """Closes stdin (if not yet) and waits for the process to end; returns its status."""
        self.close_stdin()
        deadline = time.monotonic() + timeout
        while self.alive() or not all(self.eof.values()):
            if time.monotonic() > deadline:
                raise Hang()
            self.pump(0.02)
        self.poll_files()
        self.proc.wait()
        return self.proc.returncode

    def close(self):
        self.kill()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        self.sel.close()
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


# ---------------------------------------------------------------------------------------------
# Running a case.

SLOW_WORDS = {b'wait_for_solver', b'build_tree', b'load_script', b'take_a_break', b'calc_results', b'calc_ev',
              b'calc_ev_pp', b'calc_ev_line', b'calc_eq', b'calc_eq_pp', b'calc_eq_node', b'show_strategy_pp'}


@dataclasses.dataclass
class Result:
    failure: Failure = None
    commands: int = 0
    slowest: tuple = (0.0, b'')
    transcript: bytes = b''
    stderr: bytes = b''
    failing_line: int = -1


class Runner:
    def __init__(self, opts, case, rnd_seed=0):
        self.opts = opts
        self.case = case
        self.rnd = random.Random(rnd_seed)
        self.workdir = None
        self.session = None
        self.probe_n = 0
        self.commands = 0
        self.known_board = None
        self.known_pot = 100.0            # the pot at start
        self.tree_plain = False           # the tree was built from ranges known to be plain
        # A model of the lines (the schematic tree) and of the built tree, while no script or
        # unmodelled command has changed them.
        self.schematic = SNode()
        self.schematic_known = True
        self.schematic_clean = False      # unchanged since the last build
        self.tree_known = False           # None: not known
        self.tree_stack = None
        self.tree_start = None
        self.iterations_zero = False      # built and never run
        self.range_state = [None, None]   # True when set directly with plain weights (finite, >= 0)
        self.range_text = [None, None]    # what show_range must print for a range set directly
        self.skip_label = None            # Ellipsis when unknown
        self.go_runs = []                 # [tokens, ok time, stop reason]
        self.stops_seen = 0
        self.starts_seen = 0
        self.redirected = False
        self.truncated_sink = False
        self.sink = 'pipe'
        self.line_index = -1
        self.current_line = b''
        self.slowest = (0.0, b'')         # the slowest answer of the case: (seconds, line)

    # -- helpers used by the checks
    def path_kind(self, name):
        if not name:
            return 'bad'
        if name.startswith(b'/') or b'..' in name.split(b'/'):
            return 'bad'
        if len(name) > 4000 or any(len(part) > 255 for part in name.split(b'/')):
            return 'bad'
        full = os.path.join(self.workdir.encode(), name)
        try:
            st = os.stat(full)
        except FileNotFoundError:
            parent = os.path.dirname(full)
            return 'missing' if os.path.isdir(parent) else 'noparent'
        except OSError:
            return 'bad'
        if stat.S_ISDIR(st.st_mode):
            return 'dir'
        if stat.S_ISFIFO(st.st_mode):
            return 'fifo'
        return 'file' if stat.S_ISREG(st.st_mode) else 'other'

    def read_helper(self, name):
        try:
            key = name.decode('utf-8', 'surrogateescape')
        except UnicodeDecodeError:
            return None
        if key in self.case.files and self.path_kind(name) == 'file':
            with open(os.path.join(self.workdir.encode(), name), 'rb') as f:
                return f.read()
        return None

    def recursive(self, name, seen=None):
        """Whether a helper script loads itself, directly or through others."""
        seen = seen or []
        if name in seen:
            return True
        data = self.read_helper(name)
        if data is None:
            return False
        for t in script_lines(data):
            if t[0] == b'load_script' and self.recursive(c_string(b' '.join(t[1:])), seen + [name]):
                return True
        return False

    def may_lose_output(self, tokens):
        """A redirection that truncates a file holding output not yet read loses solver lines."""
        if not tokens:
            return False
        if tokens[0] == b'load_script':
            return any(b'stdoutredi' in data for data in self.case.files.values())
        if tokens[0] == b'stdoutredi' and len(tokens) == 2 and self.path_kind(c_string(tokens[1])) == 'file':
            return True
        return False

    def ranges_plain(self):
        return self.range_state == [True, True]

    # -- the engine
    def setup_dir(self):
        self.workdir = tempfile.mkdtemp(prefix='case.', dir=self.opts.tmp)
        for d in self.case.dirs:
            os.makedirs(os.path.join(self.workdir, d), exist_ok=True)
        for f in self.case.fifos:
            p = os.path.join(self.workdir, f)
            if not os.path.exists(p):
                os.mkfifo(p)
        os.symlink('tree.bin', os.path.join(self.workdir, LINK_NAME))
        os.symlink(LOOP_NAME, os.path.join(self.workdir, LOOP_NAME))
        for name, data in self.case.files.items():
            p = os.path.join(self.workdir, name)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, 'wb') as fh:
                fh.write(data)

    def sink_names(self):
        names = set()
        chunks = list(self.case.lines) + [l for d in self.case.files.values() for l in d.split(b'\n')]
        for line in chunks:
            t = split_tokens(line.lstrip(MARK).lstrip(BOM).rstrip(b'\r'))
            if len(t) == 2 and t[0] in (b'stdoutredi', b'stdoutredi_append'):
                names.add(c_string(t[1]))
        return names

    def send(self, line, word):
        """Sends a line and its probe; returns the checked answer lines and the raw events."""
        self.probe_n += 1
        self.commands += 1
        probe = PROBE_PREFIX + b'%d' % self.probe_n
        probe_answer = b'ERROR: Command ' + probe + b' not recognized'
        self.session.write(line + b'\n' + probe + b'\n')
        timeout = self.opts.timeout * (3 if word in SLOW_WORDS else 1)
        started = time.monotonic()
        try:
            settle = 0.02 if word in (b'stdoutback', b'load_script') else 0.0
            where, seg = self.session.wait_probe(probe_answer, timeout, settle)
        except Hang as h:
            raise Failure('hang', word.decode('latin-1', 'replace')[:40],
                          'no answer within %d s to %r' % (timeout, line[:120]), detail=str(h))
        except Exited:
            raise
        took = time.monotonic() - started
        if took > self.slowest[0]:
            self.slowest = (took, line[:60])
        if where != self.sink:
            self.sink = where
            if where != 'pipe':
                self.redirected = True
        marker, _ = line_tokens(line)
        answers, events, problems = split_reports(seg, self.case.gui, marker)
        if problems:
            raise Failure('protocol', word.decode('latin-1', 'replace')[:40], problems[0],
                          sig=mismatch_class(problems[0]))
        return answers, events

    def track_events(self, events):
        # With redirections the lines come from several streams, in an order that is not known.
        ordered = not self.redirected
        for e in events:
            if e[0] == 'report':
                run = self.go_runs[self.starts_seen - 1] if ordered and 0 < self.starts_seen <= len(self.go_runs) else None
                problem = run and run[4] and result_problem(e[1], run[3])
                if problem:
                    raise Failure('solver', 'go', 'solver report: ' + problem, sig=mismatch_class(problem))
            elif e[0] == 'started':
                self.starts_seen += 1
                if ordered and self.starts_seen > len(self.go_runs):
                    raise Failure('solver', 'go', '"SOLVER: started" without a go that answered ok', sig='start')
            else:
                self.stops_seen += 1
                if ordered and self.stops_seen > self.starts_seen:
                    raise Failure('solver', 'go', '"SOLVER: stopped" without "SOLVER: started"', sig='stop')
                if self.stops_seen <= len(self.go_runs):
                    run = self.go_runs[self.stops_seen - 1]
                    run[2] = e[1]
                    self.check_run(run, self.stops_seen - 1)

    def check_run(self, run, index):
        """A stop line must fit the limit its go gave."""
        tokens, ok_time, reason = run[:3]
        if self.redirected or tokens is None:
            return   # stop lines from several streams, or a go line that is not known
        steps = len(tokens) >= 3 and tokens[2] == b'steps'
        seconds = len(tokens) >= 3 and tokens[2] == b'seconds'
        limit = parse_int(tokens[1]) if len(tokens) >= 3 else 0
        if limit is None:
            return
        line = b' '.join(tokens)
        if reason == b'required number of steps done':
            if not steps:
                raise Failure('solver', 'go', '%r stopped with "required number of steps done"' % line)
            if limit > ITERATION_CAP:
                raise Failure('solver', 'go', '%r stopped with "required number of steps done", but the %d-iteration'
                              ' cap comes first' % (line, ITERATION_CAP))
        if reason == b'timeout reached':
            if not seconds or limit <= 0:
                raise Failure('solver', 'go', '%r stopped with "timeout reached"' % line)
            if index < len(self.session.stop_arrivals) and ok_time is not None:
                elapsed = self.session.stop_arrivals[index] - ok_time
                if elapsed < limit - 1.5:
                    raise Failure('solver', 'go', '%r stopped with "timeout reached" after %.1f s' % (line, elapsed))

    def may_exit(self, tokens):
        """Whether a line may end the engine: a script (or one it loads) with an exit line."""
        if not tokens or tokens[0] != b'load_script':
            return False
        return any(t[0] == b'exit' for data in self.case.files.values() for t in script_lines(data))

    def execute(self, line):
        """Sends one line and checks its answer; returns (answer lines, ctx)."""
        marker, tokens = line_tokens(line)
        word = tokens[0] if tokens else b''
        wname = word.decode('latin-1', 'replace')[:40]
        if tokens and tokens[0] == b'exit':
            self.commands += 1
            self.session.write(line + b'\n')
            raise Exited()
        try:
            answers, events = self.send(line, word)
        except Exited:
            status = self.session.proc.poll()
            if status and status < 0:
                raise Failure('crash', wname, 'the engine died of signal %d while answering %r' % (-status, line[:100]),
                              sig='signal %d' % -status)
            if status:
                raise Failure('crash', wname, 'the engine ended with status %d while answering %r' % (
                    status, line[:100]), sig='status %d' % status)
            if not self.may_exit(tokens):
                raise Failure('exit', wname, 'the engine ended (status 0) while answering %r' % line[:100])
            raise
        ctx = Ctx(self)
        a = Answers(answers)
        try:
            try:
                if tokens and tokens[0].startswith(BOM):
                    # A byte order mark on a command line: either ignored or part of the word.
                    try:
                        check_answer(tokens, a, ctx, self)
                        if a.i != len(a.lines):
                            raise Mismatch('extra')
                    except Mismatch:
                        a, ctx = Answers(answers), Ctx(self)
                        rest = [tokens[0][3:]] + tokens[1:] if tokens[0][3:] else tokens[1:]
                        check_answer(rest, a, ctx, self)
                else:
                    check_answer(tokens, a, ctx, self)
            except GoLenient:
                ctx.lenient = True
                for l in a.lines[a.i:]:
                    if not plausible(l):
                        raise Mismatch('answer line that no command gives: %r' % l[:120])
                    if l == b'go ok!':
                        ctx.go_ok.append(None)
                a.i = len(a.lines)
            if ctx.exits:
                raise Mismatch('the engine did not end at a scripted exit')
            if a.i != len(a.lines):
                raise Mismatch('extra answer line %r' % a.lines[a.i][:120])
        except Mismatch as e:
            known = wname in TOKEN_COUNTS or word in (b'go', b'load_script', b'set_board', b'add_line')
            raise Failure('protocol', wname if known else '(unknown word)', 'answer to %r: %s' % (line[:100], e),
                          detail='\n'.join(repr(l[:200]) for l in answers[:30]),
                          sig=e.cls or '%s %s' % (wname if known else '', mismatch_class(str(e))))
        now = time.monotonic()
        for t in ctx.go_ok:
            # t is None for a run whose go line is not known; the pot its reports add half of
            self.go_runs.append([t, now, None, self.known_pot if t else None,
                                 self.tree_plain])
        self.track_events(events)
        return answers, ctx

    # -- state tracking for expectations
    def note(self, tokens, ctx, answers):
        if not tokens:
            return
        w = tokens[0]
        ok = not ctx.refused and answers == [w + b' ok!']
        if w == b'set_board' and ok:
            cards = sorted(set().union(*[parse_cards(x) for x in tokens[1:4]]))
            text = b' '.join(card_text(c) for c in cards)
            for x in tokens[4:]:
                text += b' ' + card_text(next(iter(parse_cards(x))))
            self.known_board = text
        elif w == b'set_pot' and ok:
            self.known_pot = float(parse_int(tokens[3]))
        elif w == b'set_range' and ok:
            player = 0 if tokens[1] in (b'OOP', b'hero') else 1
            values = [parse_double(x) for x in tokens[2:]]
            self.range_state[player] = all(v is not None and v >= 0 for v in values)
            self.range_text[player] = b' '.join(b'0' if v != v else ('%.12g' % v).encode() for v in values)
        elif w == b'build_tree' and ok:
            self.tree_plain = self.ranges_plain()
            self.tree_known = True
            self.tree_stack = int(largest_key(self.schematic)) if self.schematic_known else None
            self.tree_start = self.known_board.count(b' ') - 1 if self.known_board else None
            self.iterations_zero = True
            self.schematic_clean = True
        elif w == b'free_tree' and ok:
            self.tree_known = False
            self.tree_stack = self.tree_start = None
            self.iterations_zero = False
        elif w == b'skip_if_done' and ok and self.skip_label is not Ellipsis:
            if self.path_kind(c_string(tokens[1])) != 'missing':
                self.skip_label = tokens[2]
        if w in (b'add_line', b'force_line'):
            self.schematic_clean = False
            merge_line(self.schematic, parsed_line_prefix(tokens), w == b'force_line')
        elif w == b'remove_line':
            self.schematic_clean = False
            if ok:
                remove_model_line(self.schematic, [parse_double(x) for x in tokens[1:]])
        elif w in (b'clear_lines', b'free_schematic_tree') and ok:
            self.schematic_clean = False
            self.schematic = SNode()
        if ctx.go_ok:
            self.iterations_zero = False
        if w.decode('latin-1') in OPAQUE or (w == b'load_script' and not ctx.refused) or ctx.lenient:
            self.schematic_known = self.schematic_clean = self.iterations_zero = False
            self.tree_known = self.tree_stack = self.tree_start = None
        if w == b'load_script' and not ctx.refused:
            # Scripts may set anything: the known values are only guesses now.
            self.known_board = self.known_pot = None
            self.range_state = [None, None]
            self.range_text = [None, None]
            self.tree_plain = False

    def idle(self):
        return not self.redirected and len(self.go_runs) == len(self.session.stop_arrivals)

    def query(self, line):
        answers, ctx = self.execute(line)
        return answers

    def snapshot(self, word, strategies):
        """Answers of queries that a refused command must leave as they were."""
        if word in (b'set_board', b'set_pot'):
            queries = [b'show_tree_params']
        elif word == b'set_range':
            queries = [b'show_range OOP', b'show_range IP']
        elif word in (b'add_line', b'force_line', b'remove_line'):
            queries = [b'show_children r:0', b'node_count']
        else:
            queries = [b'is_tree_present', b'show_effective_stack', b'node_count', b'show_children r:0']
        snap = []
        for q in queries:
            snap.append((q, self.query(q)))
        if word in (b'build_tree', b'free_tree') and strategies:
            snap.append((b'show_node r', self.query(b'show_node r')))
            children = snap[-2][1]
            paths = [b'r:0'] + [children[i - 1] for i in range(1, len(children)) if children[i] in (b'OOP_DEC', b'IP_DEC')]
            for p in paths[:5]:
                q = b'show_strategy ' + p
                snap.append((q, self.query(q)))
        return snap

    def pure_refusal(self, tokens):
        """Commands whose failure must change nothing (and the snapshot to compare)."""
        if not tokens:
            return None
        w = tokens[0]
        if w in (b'set_board', b'set_pot', b'set_range', b'build_tree', b'free_tree', b'remove_line'):
            return w
        if w in (b'add_line', b'force_line') and len(tokens) > 1:
            v = parse_double(tokens[1])
            if v is None or v < 0 or v > INT_MAX:
                return w
        return None

    def check_path_variant(self, path, block):
        """Another spelling of a path (b50.0 for b50, cards in other case) names the same node."""
        toks = path.split(b':')
        variant = []
        for t in toks:
            if re.match(rb'b\d+\Z', t):
                t += b'.0'
            elif re.match(CARD + rb'\Z', t, re.I):
                t = t.swapcase()
            variant.append(t)
        variant = b':'.join(variant)
        if variant == path:
            return
        answers = self.query(b'show_node ' + variant)
        if answers[1:] != block[1:] + [b'END']:
            raise Failure('consistency', 'show_node', 'show_node %s answers %r, show_node %s answered %r' % (
                variant.decode('latin-1')[:80], answers[:3], path.decode('latin-1')[:80], block[:3]),
                sig='path variant')

    def check_children(self, parent, listing):
        """Every path show_children prints must resolve to the block it printed, and a node that is
        no chance node lists as many children as its block says."""
        block = self.query(b'show_node ' + parent)
        if len(block) == 7 and block[1] != b'SPLIT_NODE':
            m = CHILDREN_RE.match(block[4])
            if m and int(m.group(1)) != len(listing):
                raise Failure('resolve', 'show_children', 'show_node %s says %s, show_children lists %d' % (
                    parent.decode('latin-1')[:80], block[4].decode(), len(listing)), sig='child count')
        picks = [(p, b) for p, b in listing if not re.search(rb':[2-9TJQKA][cdhs]\Z', p)]
        cards = [(p, b) for p, b in listing if re.search(rb':[2-9TJQKA][cdhs]\Z', p)]
        if cards:
            picks += [cards[0], cards[-1]] + self.rnd.sample(cards, min(2, len(cards)))
        if self.opts.thorough:
            picks = listing
        seen = set()
        for p, block in picks[:12]:
            if p in seen:
                continue
            seen.add(p)
            amounts = block[3]
            if re.search(rb':b[^:]*\Z', p) and (b'.' in amounts or b'e' in amounts):
                continue   # a key that is no whole number is printed truncated and cannot resolve
            q = b'show_node ' + p
            answers = self.query(q)
            if len(answers) == 1 and answers[0].startswith(b'ERROR'):
                raise Failure('resolve', 'show_children', 'show_children %s lists %s, which does not resolve: %s' % (
                    parent.decode('latin-1')[:60], p.decode('latin-1')[:80], answers[0].decode('latin-1')[:80]),
                    sig='unresolved')
            if answers[:6] != block:
                raise Failure('resolve', 'show_children', 'show_children %s lists %s as %r, show_node answers %r' % (
                    parent.decode('latin-1')[:60], p.decode('latin-1')[:80], block, answers[:6]), sig='differs')

    def run(self):
        result = Result()
        self.setup_dir()
        try:
            self.session = Session(self.opts, self.workdir, self.case.gui)
            for name in self.sink_names():
                self.session.watch_file(name)
            self._run(result)
        except Failure as f:
            result.failure = f
        finally:
            if self.session:
                self.session.kill()
                # Late sanitizer reports (a crash while the case was ending) still count.
                for _ in range(20):
                    if all(self.session.eof.values()):
                        break
                    self.session.pump(0.01)
                result.stderr = bytes(self.session.err)
                result.transcript = bytes(self.session.sent)
                self.session.close()
            result.commands = self.commands
            result.slowest = self.slowest
            if result.failure is None:
                result.failure = self.file_targets_problem()
            if not self.opts.keep_dirs:
                shutil.rmtree(self.workdir, ignore_errors=True)
        m = SANITIZER_RE.search(result.stderr)
        if m and (result.failure is None or result.failure.kind != 'sanitizer'):
            kind = m.group(1).decode('latin-1', 'replace')
            loc = re.search(rb'#\d+ 0x[0-9a-f]+ in (\S+) (\S+?:\d+)', result.stderr[m.start():])
            where = loc.group(1).decode('latin-1', 'replace') if loc else ''
            result.failure = Failure('sanitizer', (result.failure.word if result.failure else ''),
                                     'sanitizer report: %s%s' % (kind, ' in ' + where if where else ''),
                                     sig=mismatch_class(kind) + '@' + where)
        return result

    def file_targets_problem(self):
        """Saves leave no temporary file, and a link or FIFO they were aimed at stays what it was."""
        for root, _, names in os.walk(self.workdir):
            for n in names:
                if n.encode().endswith(TEMPORARY_SUFFIX):
                    return Failure('files', 'dump_tree', 'temporary file %s left' % n, sig='temporary file')
        kept = [os.path.islink(os.path.join(self.workdir, n)) for n in (LINK_NAME, LOOP_NAME)]
        kept += [stat.S_ISFIFO(os.lstat(os.path.join(self.workdir, f)).st_mode) for f in self.case.fifos]
        if not all(kept):
            return Failure('files', 'dump_tree', 'a link or FIFO was replaced', sig='file target')
        return None

    def _run(self, result):
        s = self.session
        # The banner comes first, directly on the original output.
        deadline = time.monotonic() + self.opts.timeout * 3
        while b'\n' not in s.out:
            if time.monotonic() > deadline:
                raise Failure('hang', 'start', 'no banner within %d s' % (self.opts.timeout * 3))
            if not s.alive() and all(s.eof.values()):
                raise Failure('crash', 'start', 'the engine ended before its banner (status %s)' % s.proc.returncode)
            s.pump(0.02)
        banner = bytes(s.out[:s.out.index(b'\n')])
        if not banner.startswith(b'Travanto '):
            raise Failure('protocol', 'start', 'unexpected banner %r' % banner[:100])
        s.consume_out(len(banner) + 1)

        exited = False
        for i, line in enumerate(self.case.lines):
            self.line_index = i
            self.current_line = line
            result.failing_line = i
            _, tokens = line_tokens(line)
            word = tokens[0] if tokens else b''
            if self.may_lose_output(tokens):
                self.truncated_sink = True
            pure = self.pure_refusal(tokens)
            before = None
            if pure and len(line) < 100000:
                strategies = self.idle()
                before = self.snapshot(pure, strategies)
            try:
                answers, ctx = self.execute(line)
            except Exited:
                exited = True
                break
            self.note(tokens, ctx, answers)
            if before is not None and ctx.refused:
                after = self.snapshot(pure, strategies)
                for (q, a1), (_, a2) in zip(before, after):
                    if a1 != a2:
                        diff = next((k for k in range(max(len(a1), len(a2)))
                                     if k >= len(a1) or k >= len(a2) or a1[k] != a2[k]), 0)
                        raise Failure('state', word.decode('latin-1', 'replace')[:40],
                                      'refused %r changed the answer to %r (line %d: %r became %r)' % (
                                          line[:80], q, diff, (a1[diff] if diff < len(a1) else b'')[:80],
                                          (a2[diff] if diff < len(a2) else b'')[:80]),
                                      sig=q.split(b' ')[0].decode())
            if word == b'show_children' and ctx.children is not None and not ctx.lenient and len(tokens) == 2:
                self.check_children(c_string(tokens[1]), ctx.children)
            if word == b'show_strategy' and ctx.strategy and len(tokens) == 2 and self.schematic_clean \
                    and self.tree_known:
                block = self.query(b'show_node ' + tokens[1])
                m = CHILDREN_RE.match(block[4]) if len(block) == 7 else None
                if m and int(m.group(1)) != len(ctx.strategy):
                    raise Failure('consistency', 'show_strategy', 'show_strategy %s prints %d actions, show_node says '
                                  '%s' % (tokens[1][:80].decode('latin-1'), len(ctx.strategy), block[4].decode()),
                                  sig='strategy rows')
            if word == b'show_node' and len(ctx.blocks) == 1 and len(tokens) == 2 and len(line) < 1000 \
                    and self.rnd.random() < 0.4:
                self.check_path_variant(tokens[1], ctx.blocks[0][1])

        result.failing_line = len(self.case.lines)
        if not exited:
            try:
                self.execute(b'stop')
                self.execute(b'wait_for_solver')
            except Exited:
                exited = True
        if not exited:
            if self.case.tail is not None:
                s.write(self.case.tail)
            else:
                s.write(b'exit\n')
                self.commands += 1
        try:
            status = s.finish(self.opts.timeout * 2)
        except Hang:
            raise Failure('hang', 'exit', 'the engine did not end within %d s after exit or end of input' %
                          (self.opts.timeout * 2))
        if status < 0:
                raise Failure('crash', word_of(self.current_line), 'the engine died of signal %d' % -status,
                          sig='signal %d' % -status)
        if status != 0:
            raise Failure('crash', word_of(self.current_line), 'the engine ended with status %d' % status,
                          sig='status %d' % status)
        # Whatever came after the last answer may only be solver reports.
        leftovers = [bytes(s.out)] + [sink.data[self._after_probe(sink):] for sink in s.files.values()]
        for data in leftovers:
            answers, events, problems = split_reports(data, self.case.gui, False)
            if problems:
                raise Failure('protocol', 'exit', problems[0], sig=mismatch_class(problems[0]))
            if answers:
                raise Failure('protocol', 'exit', 'output after the last command: %r' % answers[0][:100],
                              sig='output after the last command')
            self.track_events(events)
        if not exited and self.opts.strict_end and not self.truncated_sink:
            if not (len(self.go_runs) == self.starts_seen == self.stops_seen):
                raise Failure('solver', 'go', '%d runs answered "go ok!", %d started, %d stopped' % (
                    len(self.go_runs), self.starts_seen, self.stops_seen), sig='counts')
        if s.tty:
            raise Failure('tty', '', 'output went to the controlling terminal: %r' % bytes(s.tty[:200]))

    @staticmethod
    def _after_probe(sink):
        if sink.last_probe is None:
            return 0
        j = sink.data.rfind(sink.last_probe + b'\n')
        return 0 if j < 0 else j + len(sink.last_probe) + 1


def word_of(line):
    t = line_tokens(line)[1]
    return t[0].decode('latin-1', 'replace')[:40] if t else ''


# ---------------------------------------------------------------------------------------------
# Shrinking and reports.

def run_case(opts, case, seed=0):
    runner = Runner(opts, case, seed)
    try:
        result = runner.run()
    except Exited:
        result = Result()
    if result.failure is None and seed % 8 == 1:   # one case in eight, by its seed
        result.failure = stressed_run(opts, case, seed)
    return result


FATAL_LINES = (b'VirtuaAlloc reserve fail', b'VirtualAlloc commit fail', b'out of memory (not enough reserved)')


def stressed_run(opts, case, seed):
    """The case again, in a process started without standard output (and error), or held to an
    address-space limit set after its start (after the sanitizer runtime has reserved its own).
    Nothing is checked but the end: no signal, no hang, no sanitizer report, and under a limit
    only the documented fatal lines as other ends (or the sanitizer runtime's own lack of memory)."""
    rnd = random.Random(seed)
    limit = rnd.random() < 0.5
    closed = [] if limit else rnd.choice([[1], [1, 2]])
    runner = Runner(opts, case, seed)
    runner.setup_dir()
    workdir = runner.workdir

    def setup():
        os.setsid()
        for fd in closed:
            os.close(fd)
    env = dict(os.environ, ASAN_OPTIONS='allocator_may_return_null=1:detect_leaks=0:' + os.environ.get('ASAN_OPTIONS', ''))
    proc = subprocess.Popen([opts.binary], cwd=workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, preexec_fn=setup)
    try:
        if limit:
            proc.stdout.readline()   # the banner: the tables are made
            with open('/proc/%d/status' % proc.pid) as f:
                vm_kb = int(next(l for l in f if l.startswith('VmSize:')).split()[1])
            resource.prlimit(proc.pid, resource.RLIMIT_AS, ((vm_kb << 10) + (rnd.randrange(64) << 20),) * 2)
        lines = [l for l in case.lines if not l.startswith(b'wait_for_solver')] + [b'stop', b'exit']
        out, err = proc.communicate(b'\n'.join(lines) + b'\n', timeout=opts.timeout * 6)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return Failure('hang', 'stress', 'no end within %d s (%s)' % (opts.timeout * 6, 'limit' if limit else 'closed %s' % closed),
                       sig='stress hang')
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    what = 'address-space limit' if limit else 'descriptors %s closed' % closed
    if limit and re.search(rb'Sanitizer failed to allocate|Sanitizer: out of memory|ERROR: Failed to mmap', err):
        return None
    if SANITIZER_RE.search(err):
        return Failure('sanitizer', 'stress', 'sanitizer report with %s' % what, detail=err[-4000:].decode('latin-1'),
                       sig='stress sanitizer')
    if proc.returncode < 0 or (proc.returncode != 0 and not any(f in out for f in FATAL_LINES)):
        return Failure('crash', 'stress', 'ended with status %d with %s' % (proc.returncode, what),
                       detail=err[-2000:].decode('latin-1'), sig='stress crash')
    return None


def reproduces(opts, case, signature, seed):
    r = run_case(opts, case, seed)
    return r.failure is not None and r.failure.signature() == signature, r


def shrink(opts, case, result, seed, budget):
    """Drops lines while the failure keeps its signature (delta debugging), within a time budget."""
    deadline = time.monotonic() + budget
    signature = result.failure.signature()
    best, best_result = case, result
    # Lines after the failing one are not needed (the run stops there).
    if 0 <= result.failing_line < len(case.lines) - 1:
        c = case.copy()
        c.lines = c.lines[:result.failing_line + 1]
        c.tail = None
        ok, r = reproduces(opts, c, signature, seed)
        if ok:
            best, best_result = c, r
    chunk = max(1, len(best.lines) // 2)
    while chunk >= 1 and time.monotonic() < deadline:
        i = 0
        changed = False
        while i < len(best.lines) and time.monotonic() < deadline:
            c = best.copy()
            del c.lines[i:i + chunk]
            if not c.lines:
                i += chunk
                continue
            ok, r = reproduces(opts, c, signature, seed)
            if ok:
                best, best_result = c, r
                changed = True
            else:
                i += chunk
        if not changed:
            chunk //= 2
    # Helper files that no line names any more go too.
    used = b'\n'.join(best.lines + list(best.files.values()))
    for name in list(best.files):
        if name.encode('utf-8', 'surrogateescape') not in used:
            c = best.copy()
            del c.files[name]
            if time.monotonic() < deadline:
                ok, r = reproduces(opts, c, signature, seed)
                if ok:
                    best, best_result = c, r
    return best, best_result


def write_report(out_dir, index, case, result, seed_note):
    f = result.failure
    name = '%02d-%s-%s' % (index, f.kind, re.sub(r'[^A-Za-z0-9_]+', '_', f.word)[:30] or 'engine')
    d = os.path.join(out_dir, name)
    os.makedirs(d, exist_ok=True)
    notes = ['%s failure: %s' % (f.kind, f.message[:300]), 'from %s' % seed_note,
             'replay: tests/fuzz/protocol_fuzz.py --binary BINARY --replay %s' % os.path.join(d, 'case.txt')]
    with open(os.path.join(d, 'case.txt'), 'wb') as fh:
        fh.write(format_case(case, notes))
    with open(os.path.join(d, 'stdin.txt'), 'wb') as fh:
        fh.write(result.transcript)
    for fname, data in case.files.items():
        p = os.path.join(d, 'files', fname)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, 'wb') as fh:
            fh.write(data)
    with open(os.path.join(d, 'run.sh'), 'w') as fh:
        fh.write('#!/bin/sh\n# Runs the exact input of the failing run in a fresh temporary folder.\n'
                 'set -e\nhere=$(cd "$(dirname "$0")" && pwd)\nbin=$(realpath "${1:?usage: run.sh BINARY}")\n'
                 'work=$(mktemp -d)\ncp -r "$here/files/." "$work/" 2>/dev/null || true\ncd "$work"\n')
        for dname in case.dirs:
            fh.write('mkdir -p %s\n' % sh_quote(dname))
        for fname in case.fifos:
            fh.write('mkfifo %s\n' % sh_quote(fname))
        fh.write('"$bin" %s< "$here/stdin.txt"\necho "(ran in $work)" >&2\n' % ('/gui ' if case.gui else ''))
    os.chmod(os.path.join(d, 'run.sh'), 0o755)
    with open(os.path.join(d, 'report.txt'), 'w') as fh:
        fh.write('%s\n\nkind: %s\ncommand: %s\n\n%s\n\nstderr:\n%s\n' % (
            f.message, f.kind, f.word, f.detail, result.stderr.decode('latin-1')[-20000:]))
    return d


def sh_quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def describe_case(case):
    lines = [l if len(l) < 300 else l[:120] + b'...(%d bytes)' % len(l) for l in case.lines]
    return format_case(Case(lines, {k: v[:2000] for k, v in case.files.items()}, case.dirs, case.fifos, case.gui,
                            case.tail)).decode('latin-1')


# ---------------------------------------------------------------------------------------------
# Main.

def build_parser():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--binary', default=DEFAULT_BINARY, help='engine to test (default: build-asan/travanto)')
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--seconds', type=float, default=60, help='time budget; no case starts after it')
    ap.add_argument('--cases', type=int, default=0, help='stop after this many cases (0: no limit)')
    ap.add_argument('--corpus', default=DEFAULT_CORPUS, help='seed scripts, replayed first and mutated')
    ap.add_argument('--no-corpus', action='store_true')
    ap.add_argument('--out', default=None, help='folder for reproducers (default: a new temporary folder)')
    ap.add_argument('--timeout', type=float, default=20, help='seconds a command may take to answer '
                    '(three times that for solving and script commands)')
    ap.add_argument('--max-rss-mb', type=int, default=4096)
    ap.add_argument('--shrink-seconds', type=float, default=60, help='time spent shrinking each failure')
    ap.add_argument('--replay', action='append', default=[], help='run these case files only (repeatable)')
    ap.add_argument('--print-case', type=int, metavar='N', help='print generated case N for the seed and exit')
    ap.add_argument('--thorough', action='store_true', help='resolve every child path show_children lists')
    ap.add_argument('--keep-dirs', action='store_true', help='keep the temporary folders of the cases')
    ap.add_argument('--strict-end', action=argparse.BooleanOptionalAction, default=True,
                    help='at the end of a case every "go ok!" must have its start and stop lines')
    ap.add_argument('-v', '--verbose', action='store_true')
    return ap


def prepare(opts, tmp):
    """Fills in what the options imply: absolute binary, sanitizer build or not, work folder."""
    opts.binary = os.path.abspath(opts.binary)
    opts.sanitized = binary_is_sanitized(opts.binary)
    opts.tmp = tmp
    return opts


def main(argv=None):
    opts = build_parser().parse_args(argv)

    if opts.print_case is not None:
        sys.stdout.buffer.write(format_case(generate_case(opts.seed, opts.print_case)))
        return 0
    if not os.access(opts.binary, os.X_OK):
        print('protocol_fuzz: no engine at %s' % opts.binary, file=sys.stderr)
        return 2
    start = time.monotonic()
    deadline = start + opts.seconds
    tmp_root = tempfile.mkdtemp(prefix='protocol-fuzz.')
    prepare(opts, tmp_root)
    print('protocol fuzz: %s, seed %d, %g s' % (opts.binary, opts.seed, opts.seconds), flush=True)
    out_dir = opts.out or tempfile.mkdtemp(prefix='protocol-fuzz-failures.')
    os.makedirs(out_dir, exist_ok=True)

    corpus = [] if opts.no_corpus else load_corpus(opts.corpus)
    queue = []
    if opts.replay:
        for path in opts.replay:
            with open(path, 'rb') as fh:
                queue.append(parse_case(fh.read(), origin=path))
    else:
        queue = list(corpus)
    rnd = random.Random('protocol-fuzz:%d' % opts.seed)
    cases = commands = 0
    failures = []
    seen = set()
    generated = 0
    try:
        while True:
            if opts.cases and cases >= opts.cases:
                break
            if time.monotonic() >= deadline and cases > 0:
                break
            if queue:
                case = queue.pop(0)
            elif opts.replay:
                break
            else:
                if corpus and rnd.random() < 0.35:
                    case = mutate(rnd, rnd.choice(corpus), corpus)
                    case.origin = 'seed %d, case %d: %s' % (opts.seed, cases, case.origin)
                else:
                    case = generate_case(opts.seed, generated)
                    case.origin = 'seed %d, generated case %d' % (opts.seed, generated)
                    generated += 1
            case_seed = hash_seed(opts.seed, cases)
            t0 = time.monotonic()
            result = run_case(opts, case, case_seed)
            cases += 1
            commands += result.commands
            if opts.verbose:
                print('case %d (%s): %d commands, %.1f s (slowest %.1f s: %r)%s' % (
                    cases, case.origin, result.commands, time.monotonic() - t0, result.slowest[0], result.slowest[1],
                    ', FAILED: ' + result.failure.message[:200] if result.failure else ''), flush=True)
            if result.failure is None:
                continue
            sig = result.failure.signature()
            from_corpus = case.origin.startswith('corpus/')
            if sig in seen and not from_corpus:
                continue   # the same fault again; every seed's failure is reported on its own
            seen.add(sig)
            small, small_result = case, result
            budget = min(opts.shrink_seconds, max(5.0, deadline - time.monotonic()))
            if not case.origin.startswith('corpus/') and not opts.replay:
                small, small_result = shrink(opts, case, result, case_seed, budget)
            d = write_report(out_dir, len(failures) + 1, small, small_result, case.origin)
            failures.append((small_result.failure, d))
            print('FAIL [%s] %s\n    %s\n    reproducer: %s' % (
                small_result.failure.kind, case.origin, small_result.failure.message[:300], d), flush=True)
    finally:
        shutil.rmtree(tmp_root, ignore_errors=True)
    print('%d cases, %d commands, %d failures' % (cases, commands, len(failures)))
    if failures:
        print('reproducers in %s' % out_dir)
    elif not opts.out:
        shutil.rmtree(out_dir, ignore_errors=True)
    return 1 if failures else 0


def hash_seed(seed, index):
    return random.Random('case:%d:%d' % (seed, index)).getrandbits(64)


if __name__ == '__main__':
    sys.exit(main())
