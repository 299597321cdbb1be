"""One open spot: its engine process, its set-up, the solver's progress, and the answers the
page shows (a node's grid and table, the cards of a chance node, locks, saving and reopening)."""

from __future__ import annotations

import contextlib
import math
import os
import re
import secrets
import threading
import time

from .. import lines as lines_mod
from ..engine import Engine, EngineError, EngineDied, SolverReport, SolverStopped
from ..ranges import RANKS, SUITS, RangeError, format_range, parse_range
from ..solve import children, parse_node_block, setup as engine_setup
from ..spot import SpotError, parse_spot
from .workspace import Workspace, record

PATH = re.compile(r'^r(:[0-9A-Za-z]{1,12}){0,40}$')
STREETS = {3: 'Flop', 4: 'Turn', 5: 'River'}
MEMORY_LINE = re.compile(
    r'^level (\d): ([\d.]+) MB(?: \(reserves ([\d.]+) MB\))?( \(auto\))?( \(in force\))?$')
OTHER_LINE = re.compile(r'^(.*): ([\d.]+) MB$')
LONG = 900.0          # seconds for building, saving and loading a tree


class BadField(ValueError):
    """A request field that cannot be used; the message starts with the field's name."""


class Busy(RuntimeError):
    """The request needs a stopped solver."""


def card_text(card) -> str:
    return RANKS[card[0]] + SUITS[card[1]]


VERBS = {'Check': 'checks', 'Bet': 'bets', 'Call': 'calls', 'Raise': 'raises', 'All-in': 'all-in',
         'Fold': 'folds'}


def is_card(token: str) -> bool:
    return len(token) == 2 and token[0].upper() in RANKS and token[1].lower() in SUITS


def clean(x, digits: int = 6):
    """A float for JSON: rounded, NaN and infinities as None."""
    if x is None or isinstance(x, float) and not math.isfinite(x):
        return None
    return round(float(x), digits)


def parse_memory_need(lines: list[str]) -> dict:
    levels, other = [], []
    for line in lines:
        m = MEMORY_LINE.match(line)
        if m:
            levels.append({'level': int(m.group(1)), 'mb': float(m.group(2)),
                           'reserves_mb': float(m.group(3)) if m.group(3) else None,
                           'auto': bool(m.group(4)), 'in_force': bool(m.group(5))})
            continue
        m = OTHER_LINE.match(line)
        if m:
            other.append({'label': m.group(1), 'mb': float(m.group(2))})
    return {'levels': levels, 'other': other}


def normalise_setup(body, order) -> tuple[dict, object]:
    """A set-up as the page sends it (a spot file's tables as JSON; a range as text or as
    1,326 weights in hand order) to the stored form (ranges as text) and its Spot."""
    if not isinstance(body, dict):
        raise BadField('setup: expected an object')
    setup = {k: v for k, v in body.items()}
    ranges = setup.get('ranges')
    if isinstance(ranges, dict):
        ranges = dict(ranges)
        for player in ('oop', 'ip'):
            value = ranges.get(player)
            if isinstance(value, list):
                if len(value) != 1326 or not all(
                        isinstance(w, (int, float)) and not isinstance(w, bool) and 0 <= w <= 1
                        for w in value):
                    raise BadField(f'ranges.{player}: 1,326 weights from 0 to 1')
                ranges[player] = format_range([float(w) for w in value], order)
            if isinstance(ranges.get(player), str):
                try:
                    parse_range(ranges[player], order)
                except RangeError as e:
                    raise BadField(f'ranges.{player}: {e}') from None
        setup['ranges'] = ranges
    setup.pop('report', None)
    try:
        spot = parse_spot(setup, 'setup')
    except SpotError as e:
        raise BadField(str(e).removeprefix('setup: ')) from None
    return setup, spot


class Session:
    """An engine process for one spot. Commands from several request threads are serialised
    by the Engine; the solver's reports arrive on its reader thread."""

    def __init__(self, engine_path: str | None, workspace: Workspace):
        self.id = secrets.token_hex(6)
        self.workspace = workspace
        self.engine = Engine(engine_path, timeout=120, cwd=workspace.folder)
        self.order = self.engine.hand_order()
        self.engine.add_listener(self._on_event)
        self.setup: dict | None = None
        self.spot = None
        self.built_key = None
        self.name: str | None = None
        self.state = 'empty'          # empty, built, solving, stopped, dead
        self.reason = ''
        self.error = ''
        self.last: SolverReport | None = None
        self.iterations = 0
        self.exploitability_pct = None
        self.started = None
        self.elapsed_before = 0.0
        self.locks: dict[str, dict] = {}
        self.tree_info: dict = {}
        self._nodes: dict[str, dict] = {}
        self._categories: dict[str, tuple] = {}
        self._equity: dict[tuple, tuple] = {}
        self._pausing = False
        self._mutex = threading.Lock()

    # -- engine life

    def _on_event(self, event) -> None:
        if isinstance(event, SolverReport):
            self.last = event
            if event.iterations is not None:
                self.iterations = event.iterations
            if self.spot:
                self.exploitability_pct = 100.0 * event.exploitability / self.spot.pot
        elif isinstance(event, SolverStopped):
            if self._pausing and event.reason == 'requested':
                return
            self.reason = event.reason
            if self.started is not None:
                self.elapsed_before += time.monotonic() - self.started
                self.started = None
            if self.state == 'solving':
                self.state = 'stopped'
                # The first report after a solve evaluates the tree once; do it now.
                threading.Thread(target=self._warm, daemon=True).start()

    def _warm(self) -> None:
        """Evaluates a solved tree and reads the root's equities, so that the page's first
        read after a solve waits for neither."""
        try:
            self.engine.calc_results()
            self.node('r:0')
        except (EngineError, BadField, Busy):
            pass

    def alive(self) -> bool:
        if self.state == 'dead':
            return False
        code = self.engine.process.poll()
        if code is not None:
            self.died(f'the engine ended (exit status {code})')
            return False
        return True

    def died(self, message: str) -> None:
        self.state = 'dead'
        self.error = message
        if self.started is not None:
            self.elapsed_before += time.monotonic() - self.started
            self.started = None

    def close(self) -> None:
        try:
            self.engine.close()
        except OSError:
            pass

    def progress(self) -> dict:
        self.alive()
        elapsed = self.elapsed_before + (time.monotonic() - self.started
                                         if self.started is not None else 0.0)
        return {'id': self.id, 'state': self.state, 'reason': self.reason, 'error': self.error,
                'iterations': self.iterations, 'exploitability_pct': clean(self.exploitability_pct),
                'elapsed': round(elapsed, 1), 'name': self.name,
                'memory_mb': clean(self.engine.memory_mb() if self.state != 'dead' else None, 1),
                'ev_oop': clean(self.last.ev_oop if self.last else None, 3),
                'ev_ip': clean(self.last.ev_ip if self.last else None, 3),
                'board': self.setup.get('board') if self.setup else None}

    def summary(self) -> dict:
        out = self.progress()
        out.update({'setup': self.setup, 'tree': self.tree_info, 'locks': self.locks})
        return out

    # -- set-up and solving

    def require_tree(self) -> None:
        if not self.alive():
            raise EngineDied('', self.error)
        if self.state == 'empty':
            raise Busy('no tree yet: build or open a spot first')

    def build(self, body) -> dict:
        if not self.alive():
            raise EngineDied('', self.error)
        if self.state == 'solving':
            raise Busy('the solver is running: stop it before changing the set-up')
        setup, spot = normalise_setup(body, self.order)
        with self._mutex:
            try:
                engine_setup(self.engine, spot)
            except RangeError as e:
                raise BadField(str(e)) from None
            self.setup, self.spot = setup, spot
            self.state, self.reason, self.iterations = 'built', '', 0
            self.exploitability_pct, self.last, self.elapsed_before = None, None, 0.0
            self.locks, self._nodes, self.name = {}, {}, None
            self._equity.clear()
            self.built_key = repr(sorted(setup.items(), key=lambda kv: kv[0]))
            self.tree_info = self._tree_info()
        return self.tree_info

    def build_from_engine(self, facts: dict) -> None:
        """Adopts a tree the engine built from a script: `facts` gives its board, pot and
        stack (for the labels); the ranges are read back from the engine."""
        ranges = {p: format_range([min(1.0, max(0.0, w)) for w in self.engine.vectors(
            f'show_range {p.upper()}', 1)[0]], self.order) for p in ('oop', 'ip')}
        self.setup = dict(facts, ranges=ranges)
        self.spot = parse_spot(self.setup, 'script')
        self.state, self.tree_info = 'built', self._tree_info()

    def _tree_info(self) -> dict:
        counts = lines_mod.parse_node_count(self.engine.block('node_count'))
        try:
            memory = parse_memory_need(self.engine.block('show_memory_need'))
        except EngineError:
            memory = None
        warnings = list(getattr(self.spot, 'warnings', []) or [])
        return {'node_count': counts, 'memory_need': memory, 'warnings': warnings,
                'start_street': self.spot.start_street}

    def memory_need(self) -> dict | None:
        try:
            return parse_memory_need(self.engine.block('show_memory_need'))
        except EngineError:
            return None

    def solve(self, body) -> dict:
        self.require_tree()
        if self.state == 'solving':
            raise Busy('the solver is already running')
        if not isinstance(body, dict):
            raise BadField('body: expected an object')
        threads = body.get('threads', self.spot.threads)
        if isinstance(threads, bool) or not isinstance(threads, int) or not 0 <= threads <= 1024:
            raise BadField('threads: a whole number from 0 (every processor) to 1024')
        accuracy = body.get('accuracy', self.spot.accuracy)
        if isinstance(accuracy, bool) or not isinstance(accuracy, (int, float)) \
                or not math.isfinite(accuracy) or accuracy < 0:
            raise BadField('accuracy: a number of % of the pot, 0 or more')
        seconds = body.get('max_seconds')
        if seconds is not None and (isinstance(seconds, bool) or not isinstance(seconds, int)
                                    or not 1 <= seconds <= 10**6):
            raise BadField('max_seconds: a whole number of seconds from 1')
        self.engine.expect_ok(f'set_threads {threads}')
        self.engine.expect_ok(f'set_accuracy {accuracy / 100.0!r} fraction')
        self.spot.threads, self.spot.accuracy = threads, float(accuracy)
        self.setup.setdefault('solver', {})
        self.setup['solver'] = dict(self.setup['solver'], threads=threads, accuracy=accuracy)
        self.reason = ''
        self.state = 'solving'
        self.started = time.monotonic()
        try:
            self.engine.go(seconds=seconds)
        except EngineError:
            self.state, self.started = 'stopped', None
            raise
        return self.progress()

    def stop(self) -> dict:
        self.require_tree()
        with self._mutex:
            if self.state == 'solving':
                self.engine.stop()
                self.engine.wait_for_solver(timeout=120)
                self.state = 'stopped'
        return self.progress()

    # -- browsing

    def check_path(self, path) -> str:
        if not isinstance(path, str) or not PATH.match(path):
            raise BadField(f'path: {path!r} is not a node path like r:0:c:b100')
        return 'r:0' if path == 'r' else path

    def node_block(self, path: str, cache: bool = True) -> dict:
        if cache and path in self._nodes:
            return self._nodes[path]
        try:
            lines = self.engine.block(f'show_node {path}')
        except EngineError as e:
            if isinstance(e, EngineDied):
                raise
            raise BadField(f'path: {path} is not a node of this tree ({e.text})') from None
        node = parse_node_block(lines)
        node['locked'] = 'LOCKED' in lines[5]
        self._nodes[path] = node
        return node

    def crumbs(self, path: str) -> list[dict]:
        """Each step of the path in poker terms."""
        tokens = path.split(':')
        board = ''.join(card_text(c) for c in self.spot.board)
        out = [{'path': 'r:0', 'label': f'{STREETS.get(len(self.spot.board), "")} {board}'}]
        for k in range(2, len(tokens)):
            parent_path, token = ':'.join(tokens[:k]), tokens[k]
            here = ':'.join(tokens[:k + 1])
            parent = self.node_block(parent_path)
            if is_card(token):
                street = 'Turn' if len(parent['board']) == 3 else 'River'
                out.append({'path': here, 'label': f'{street} {token[0].upper()}{token[1].lower()}'})
                continue
            who = 'OOP' if parent['kind'] == 'OOP_DEC' else 'IP'
            word, _, rest = self.action_label(token, parent, parent_path).partition(' ')
            text = VERBS[word] + (' ' + rest if rest else '')
            out.append({'path': here, 'label': f'{who} {text}'})
        return out

    def board_cards(self, board) -> list[str]:
        """A node's board in the set-up's order, then the cards dealt since."""
        first = list(self.spot.board)
        return [card_text(c) for c in first + [c for c in board if c not in first]]

    def categories(self, board) -> tuple[list[str], list[str]]:
        key = ' '.join(card_text(c) for c in board)
        if key not in self._categories:
            names = self.engine.block('show_category_names')
            made_names, draw_names = names[0].split(), names[1].split()
            lines = self.engine.block(f'show_categories {key}')
            made = [made_names[int(v)] if int(v) >= 0 else '' for v in lines[0].split()]
            draws = [draw_names[int(v)] if int(v) >= 0 else '' for v in lines[1].split()]
            self._categories[key] = (made, draws)
        return self._categories[key]

    def node(self, path) -> dict:
        self.require_tree()
        path = self.check_path(path)
        block = self.node_block(path, cache=False)
        out = {'path': path, 'kind': block['kind'], 'board': self.board_cards(block['board']),
               'pot': block['pot'], 'invested': block['invested'], 'locked': block['locked'],
               'crumbs': self.crumbs(path), 'solving': self.state == 'solving'}
        out['pot_now'] = block['pot'] + sum(block['invested'])
        out['description'] = ' · '.join(c['label'] for c in out['crumbs'])
        if block['kind'] == 'SPLIT_NODE':
            out['cards'] = [c['path'].rsplit(':', 1)[1] for c in children(self.engine, path)]
            return out
        if block['kind'] not in ('OOP_DEC', 'IP_DEC'):
            return out
        full = self.state != 'solving'
        data = self.read_decision(path, block, full)
        made, draws = self.categories(data['board'])
        player = data['player']
        mine = block['invested'][player]
        pot_now = out['pot_now']
        hands = []
        for p in range(1326):
            if data['reach'][p] <= 0 or self.order.touches(p, data['board']):
                continue
            eq, ev = data['equity'][p], data['ev'][p]
            eqr = (ev + mine) / (eq * pot_now) if eq and eq > 0 and not math.isnan(ev) else None
            hands.append({'hand': self.order.names[p], 'cls': self.order.cls[p], 'index': p,
                          'weight': clean(data['reach'][p]),
                          'strategy': [clean(s[p]) for s in data['strategy']],
                          'ev': clean(ev, 3), 'action_ev': [clean(a[p], 3) for a in data['action_ev']],
                          'equity': clean(eq), 'eqr': clean(eqr, 4),
                          'category': made[p], 'draw': draws[p]})
        out['player'] = ('OOP', 'IP')[player]
        out['partial'] = not full
        out['actions'] = []
        for a, child in enumerate(data['children']):
            token = child['path'].rsplit(':', 1)[1]
            amount = child['invested'][player]
            out['actions'].append({'token': token, 'path': child['path'], 'kind': child['kind'],
                                   'label': self.action_label(token, block, path),
                                   'allin': token[0] == 'b' and amount >= self.spot.stack})
        out['hands'] = hands
        summary = summarise(hands, len(out['actions']))
        out['summary'] = summary['all']
        out['summary']['equity'] = clean(data['overall_equity'])
        for a, action in enumerate(out['actions']):
            action.update(summary['actions'][a])
        out['categories'] = summarise_groups(hands, len(out['actions']), 'category')
        out['draws'] = summarise_groups(hands, len(out['actions']), 'draw')
        out['lock'] = self.locks.get(path)
        return out

    def action_label(self, token: str, block: dict, path: str) -> str:
        """The action of the child `token` of the decision `block` at `path`: "Check",
        "Bet 66 (33 %)", "Call 66", "Raise to 198" (on this street), "All-in 900", "Fold"."""
        p = 0 if block['kind'] == 'OOP_DEC' else 1
        mine, theirs = block['invested'][p], block['invested'][1 - p]
        if token == 'f':
            return 'Fold'
        if token == 'c':
            return f'Call {theirs - mine:g}' if theirs > mine else 'Check'
        amount = float(token[1:])
        start = self._street_start(path)
        if amount >= self.spot.stack:
            return f'All-in {amount - start:g}'
        if theirs > mine:
            return f'Raise to {amount - start:g}'
        pot_now = block['pot'] + mine + theirs
        return f'Bet {amount - mine:g} ({100.0 * (amount - mine) / pot_now:.0f} %)'

    def read_decision(self, path: str, block: dict, full: bool) -> dict:
        """A decision node's children, strategy and range; with `full` also the acting
        player's EVs (per hand, and after each action) and equities. Those need an evaluation
        of the tree, which a running solver would make again for every answer: a partial read
        is what a node shows while solving. Equities are kept per path and iteration."""
        player = 0 if block['kind'] == 'OOP_DEC' else 1
        name = ('OOP', 'IP')[player]
        kids = children(self.engine, path)
        strategy = self.engine.vectors(f'show_strategy {path}', len(kids))
        reach = self.engine.vectors(f'show_range {name} {path}', 1)[0]
        nan = [math.nan] * 1326
        out = {'player': player, 'board': set(block['board']), 'children': kids,
               'strategy': strategy, 'reach': reach, 'ev': nan, 'equity': nan,
               'action_ev': [nan] * len(kids), 'overall_equity': None}
        if not full:
            return out
        out['ev'] = self.engine.vectors(f'calc_ev {name} {path}', 2)[0]
        out['action_ev'] = [self.engine.vectors(f'calc_ev {name} {k["path"]}', 2)[0]
                            for k in kids]
        key = (path, self.iterations)
        if key not in self._equity:
            lines = self.engine.command(f'calc_eq_node {name} {path}')
            if len(lines) != 4 or lines[-1] != 'END':
                raise EngineError('calc_eq_node', 'expected two per-hand lines, the total, END')
            self._equity[key] = ([float(v) for v in lines[0].split()], float(lines[2]))
        out['equity'], out['overall_equity'] = self._equity[key]
        return out

    def _street_start(self, path: str) -> float:
        tokens = path.split(':')
        for k in range(len(tokens) - 1, 1, -1):
            if is_card(tokens[k]):
                return self.node_block(':'.join(tokens[:k]))['invested'][0]
        return 0.0

    def chance(self, path) -> dict:
        """Per card below a chance node: the next decision's action frequencies, and OOP's
        average EV and equity there."""
        self.require_tree()
        path = self.check_path(path)
        block = self.node_block(path)
        if block['kind'] != 'SPLIT_NODE':
            raise BadField(f'path: {path} is a {block["kind"]}, not a chance node')
        solving = self.state == 'solving'
        with self.paused():
            return self._chance(path, ev=not solving)

    @contextlib.contextmanager
    def paused(self):
        """Stops a running solver for the commands of the block and starts it again: while it
        runs, each report waits for the pass in progress, and a read of many nodes would wait
        for many passes."""
        if self.state != 'solving':
            yield
            return
        with self._mutex:
            self._pausing = True
            try:
                self.engine.stop()
                self.engine.wait_for_solver(timeout=120)
                resume = self.engine.stop_reasons[-1:] == ['requested'] and self.state == 'solving'
                try:
                    yield
                finally:
                    if resume:
                        self.engine.go()
                    elif self.state == 'solving':
                        self._on_event(SolverStopped(self.engine.stop_reasons[-1]))
            finally:
                self._pausing = False

    def _chance(self, path: str, ev: bool) -> dict:
        cards = [c['path'].rsplit(':', 1)[1] for c in children(self.engine, path)]
        out = {'path': path, 'cards': [], 'actions': [], 'partial': not ev}
        for card in cards:
            child = f'{path}:{card}'
            node = self.node_block(child)
            row = {'card': card, 'path': child, 'kind': node['kind']}
            if node['kind'] in ('OOP_DEC', 'IP_DEC'):
                player = 'OOP' if node['kind'] == 'OOP_DEC' else 'IP'
                if not out['actions']:
                    out['player'] = player
                    tokens = [c['path'].rsplit(':', 1)[1] for c in children(self.engine, child)]
                    out['actions'] = [{'token': t, 'label': self.action_label(t, node, child),
                                       'allin': t[0] == 'b' and float(t[1:]) >= self.spot.stack}
                                      for t in tokens]
                strategy = self.engine.vectors(f'show_strategy {child}', len(out['actions']))
                reach = self.engine.vectors(f'show_range {player} {child}', 1)[0]
                board = set(node['board'])
                live = [p for p in range(1326) if reach[p] > 0
                        and not self.order.touches(p, board)]
                total = sum(reach[p] for p in live)
                row['freq'] = [clean(sum(reach[p] * s[p] for p in live) / total) if total else None
                               for s in strategy]
                row['combos'] = clean(total, 2)
            row['ev_oop'] = None
            if ev:          # EVs need an evaluation of the tree: not while the solver runs
                values, weight = self.engine.vectors(f'calc_ev OOP {child}', 2)
                pairs = [(v, w) for v, w in zip(values, weight) if w > 0 and not math.isnan(v)]
                den = sum(w for _, w in pairs)
                row['ev_oop'] = clean(sum(v * w for v, w in pairs) / den if den else None, 3)
            eq = self.engine.command(f'calc_eq_node OOP {child}')
            row['equity_oop'] = clean(float(eq[2])) if len(eq) == 4 else None
            out['cards'].append(row)
        return out

    # -- locks

    def lock(self, body) -> dict:
        self.require_tree()
        if not isinstance(body, dict):
            raise BadField('body: expected an object')
        path = self.check_path(body.get('path'))
        block = self.node_block(path, cache=False)
        if block['kind'] not in ('OOP_DEC', 'IP_DEC'):
            raise BadField(f'path: {path} is not a decision node')
        count = block['children']
        edits = body.get('hands', {})
        if not isinstance(edits, dict):
            raise BadField('hands: an object of hand name to per-action weights')
        names = {name: p for p, name in enumerate(self.order.names)}
        rows = self.engine.vectors(f'show_strategy {path}', count)
        for name, weights in edits.items():
            if name not in names:
                raise BadField(f'hands: {name!r} is not a hand of the engine\'s order')
            if not isinstance(weights, list) or len(weights) != count or not all(
                    isinstance(w, (int, float)) and not isinstance(w, bool) and 0 <= w <= 1e6
                    for w in weights) or sum(weights) <= 0:
                raise BadField(f'hands.{name}: {count} weights, 0 or more, not all 0')
            total = float(sum(weights))
            for a in range(count):
                rows[a][names[name]] = weights[a] / total
        player = 'OOP' if block['kind'] == 'OOP_DEC' else 'IP'
        before = self._lock_snapshot(path, player)
        for a in range(count):
            self.engine.expect_ok(f'set_strategy {path} {a} {self.order.text(rows[a])}')
        self.engine.expect_ok(f'lock_node {path}')
        self._equity.clear()
        self.locks[path] = {'path': path, 'player': player, 'before': before, 'after': None}
        return self.locks[path]

    def _lock_snapshot(self, path: str, player: str) -> dict:
        results = self.engine.calc_results()
        ev, weight = self.engine.vectors(f'calc_ev {player} {path}', 2)
        num = sum(v * w for v, w in zip(ev, weight) if w > 0 and not math.isnan(v))
        den = sum(w for v, w in zip(ev, weight) if w > 0 and not math.isnan(v))
        return {'ev_oop': clean(results.ev_oop, 3), 'ev_ip': clean(results.ev_ip, 3),
                'node_ev': clean(num / den if den else None, 3),
                'iterations': results.iterations}

    def lock_compare(self, path) -> dict:
        self.require_tree()
        path = self.check_path(path)
        if path not in self.locks:
            raise BadField(f'path: {path} is not locked in this session')
        lock = self.locks[path]
        lock['after'] = self._lock_snapshot(path, lock['player'])
        return lock

    def unlock(self, body) -> dict:
        self.require_tree()
        path = self.check_path(body.get('path') if isinstance(body, dict) else None)
        block = self.node_block(path, cache=False)
        if block['kind'] not in ('OOP_DEC', 'IP_DEC'):
            raise BadField(f'path: {path} is not a decision node')
        self.engine.expect_ok(f'unlock_node {path}')
        self._equity.clear()
        self.locks.pop(path, None)
        return {'path': path, 'locked': False}

    # -- files

    def save(self, name, overwrite=False) -> dict:
        name = self.workspace.check_name(name)
        self.require_tree()
        if not overwrite and os.path.exists(self.workspace.path(name, '.json')):
            raise Busy(f'name: {name} is saved already; save again with overwrite to replace it')
        tree = self.workspace.relative(name, '.tree')
        self.engine.expect_ok(f'dump_tree {tree}', timeout=LONG)
        rec = record(self.setup, self.iterations, clean(self.exploitability_pct, 4))
        rec['locks'] = self.locks
        self.workspace.write_setup(name, rec)
        self.name = name
        return {'name': name, 'saved': rec['saved']}

    def open(self, name) -> dict:
        rec = self.workspace.read_setup(name)
        setup, spot = normalise_setup(rec['setup'], self.order)
        self.engine.expect_ok(f'load_tree {self.workspace.relative(name, ".tree")}', timeout=LONG)
        self.setup, self.spot, self.name = setup, spot, name
        self.iterations = rec.get('iterations') or 0
        self.exploitability_pct = rec.get('exploitability_pct')
        self.locks = rec.get('locks') or {}
        self.state, self.reason = 'stopped', 'opened from file'
        self._nodes = {}
        self._equity.clear()
        self.tree_info = self._tree_info()
        return self.progress()


def summarise(hands: list[dict], count: int) -> dict:
    """Range-level figures of a node's hands: combos, EV, and per action its frequency,
    combos and EV (the EV of the hands that take it; of all hands when none does)."""
    total = sum(h['weight'] for h in hands)
    ev_num = sum(h['weight'] * h['ev'] for h in hands if h['ev'] is not None)
    ev_den = sum(h['weight'] for h in hands if h['ev'] is not None)
    eq_num = sum(h['weight'] * h['equity'] for h in hands if h['equity'] is not None)
    eq_den = sum(h['weight'] for h in hands if h['equity'] is not None)
    actions = []
    for a in range(count):
        combos = sum(h['weight'] * h['strategy'][a] for h in hands)
        num = den = 0.0
        for h in hands:
            w = h['weight'] * (h['strategy'][a] if combos > 1e-9 else 1.0)
            if h['action_ev'][a] is not None and w > 0:
                num += w * h['action_ev'][a]
                den += w
        actions.append({'freq': clean(combos / total if total else None),
                        'combos': clean(combos, 3), 'ev': clean(num / den if den else None, 3)})
    return {'all': {'combos': clean(total, 3), 'ev': clean(ev_num / ev_den if ev_den else None, 3),
                    'equity': clean(eq_num / eq_den if eq_den else None)},
            'actions': actions}


def summarise_groups(hands: list[dict], count: int, key: str) -> list[dict]:
    """`summarise` per hand category (the engine's made-hand or draw classes), with each
    group's share of the range's combos."""
    total = sum(h['weight'] for h in hands)
    groups: dict[str, list] = {}
    for h in hands:
        groups.setdefault(h[key], []).append(h)
    out = []
    for name, members in groups.items():
        s = summarise(members, count)
        out.append({'name': name, 'combos': s['all']['combos'],
                    'share': clean(s['all']['combos'] / total if total else None),
                    'ev': s['all']['ev'], 'equity': s['all']['equity'],
                    'freq': [a['freq'] for a in s['actions']]})
    out.sort(key=lambda g: -(g['combos'] or 0))
    return out

