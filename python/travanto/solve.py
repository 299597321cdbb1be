"""Setting a spot up in the engine, solving it, and reading back what a report shows."""

from __future__ import annotations

import dataclasses
import math
import time
from typing import Callable

from . import lines as lines_mod
from .engine import Engine, EngineError, EngineTimeout, Results, SolverReport, SolverStopped
from .ranges import RangeError, Range, card_code
from .spot import Spot

PLAYERS = ('OOP', 'IP')


@dataclasses.dataclass
class Progress:
    """What the progress line shows."""
    iterations: int | None
    exploitability_pct: float | None   # % of the pot
    elapsed: float                     # seconds since go
    memory_mb: float | None


@dataclasses.dataclass
class Solved:
    results: Results
    reports: list[SolverReport]
    stop_reason: str
    seconds: float
    lines: int
    node_count: dict
    interrupted: bool = False


def setup(engine: Engine, spot: Spot) -> tuple[Range, Range, list[str]]:
    """Sends the game description and the lines, and builds the tree."""
    order = engine.hand_order()
    ranges = []
    for player, text in (('oop', spot.oop), ('ip', spot.ip)):
        try:
            r = Range.parse(text, order)
        except RangeError as e:
            raise RangeError(f'ranges.{player}: {e}') from None
        if r.combos(spot.board) == 0:
            raise RangeError(f'ranges.{player}: no hand of this range is possible on the board')
        ranges.append(r)
    flag = '1' if spot.isomorphism else '0'
    engine.expect_ok(f'set_isomorphism {flag} {flag}')
    engine.expect_ok(f'set_pot 0 0 {spot.pot}')
    engine.expect_ok(f'set_board {spot.board_text}')
    engine.expect_ok(ranges[0].command('OOP'))
    engine.expect_ok(ranges[1].command('IP'))
    engine.expect_ok('clear_lines')
    commands = lines_mod.line_commands(spot.tree)
    for command in commands:
        engine.expect_ok(command)
    engine.expect_ok(f'ai6_set_compression {spot.compression}')
    engine.expect_ok('build_tree', timeout=None)
    engine.expect_ok(f'set_threads {spot.threads}')
    engine.expect_ok(f'set_accuracy {spot.accuracy / 100.0!r} fraction')
    engine.expect_ok(f'set_solver_schedule {spot.schedule}')
    return ranges[0], ranges[1], commands


def solve(engine: Engine, spot: Spot, on_progress: Callable[[Progress], None] | None = None,
          tick: float = 0.25, grace: float = 60.0) -> Solved:
    """Runs the solver to the spot's stop rule, calling `on_progress` every `tick` seconds.
    The spot's report nodes are checked before solving. Ctrl-C stops the solver and keeps
    what it found; an engine still solving `grace` seconds past the time limit is killed
    (EngineTimeout)."""
    _, _, commands = setup(engine, spot)
    counts = lines_mod.parse_node_count(engine.block('node_count'))
    for path in spot.nodes:
        try:
            kind = parse_node_block(engine.block(f'show_node {path}'))['kind']
        except EngineError as e:
            raise EngineError(f'show_node {path}', f'report node {path} is not a node of this '
                              f'tree ({e.text})') from None
        if kind not in ('OOP_DEC', 'IP_DEC'):
            raise EngineError(f'show_node {path}', f'report node {path} is a {kind}, '
                              'not a decision')
    first = len(engine.reports)
    start = time.monotonic()
    if spot.max_iterations is not None:
        engine.go(steps=spot.max_iterations)
    elif spot.max_seconds is not None:
        engine.go(seconds=spot.max_seconds)
    else:
        engine.go()
    interrupted = False
    reason = None
    last = None
    try:
        while reason is None:
            event = engine.events(timeout=tick)
            if isinstance(event, SolverReport):
                last = event
            elif isinstance(event, SolverStopped):
                reason = event.reason
            elapsed = time.monotonic() - start
            if spot.max_seconds is not None and elapsed > spot.max_seconds + grace:
                engine.kill()
                raise EngineTimeout('go', f'solver still running {elapsed:.0f} s after a '
                                    f'{spot.max_seconds} s limit; engine killed')
            if spot.max_seconds is not None and spot.max_iterations is not None \
                    and elapsed >= spot.max_seconds and reason is None and not interrupted:
                engine.stop()
                interrupted = True        # the time rule, applied by this client
            if on_progress:
                on_progress(Progress(
                    iterations=last.iterations if last else None,
                    exploitability_pct=(100.0 * last.exploitability / spot.pot) if last else None,
                    elapsed=elapsed, memory_mb=engine.memory_mb()))
    except KeyboardInterrupt:
        engine.stop()
        engine.wait_for_solver(timeout=engine.timeout)
        reason = 'interrupted'
    else:
        engine.wait_for_solver(timeout=engine.timeout)
        if interrupted:
            reason = 'timeout reached'
    seconds = time.monotonic() - start
    results = engine.calc_results(timeout=None)
    return Solved(results=results, reports=engine.reports[first:], stop_reason=reason,
                  seconds=seconds, lines=len(commands), node_count=counts,
                  interrupted=(reason == 'interrupted'))


# ---------------------------------------------------------------------------------------------
# What the report reads at a node

@dataclasses.dataclass
class Action:
    label: str
    token: str           # f, c or bN
    path: str
    amount: float        # the acting player's investment after it (fold: before)
    kind: str            # the child's node kind


@dataclasses.dataclass
class NodeData:
    path: str
    kind: str
    player: int
    board: list[tuple[int, int]]
    invested: tuple[float, float]
    pot: float
    actions: list[Action]
    strategy: list[list[float]]        # per action, 1,326 in hand order
    reach: list[float]                 # the acting player's range at the node
    ev: list[float]                    # per hand, the acting player's EV (nan: not in play)
    ev_weight: list[float]
    equity: list[float]
    equity_weight: list[float]
    overall_equity: float
    action_ev: list[list[float]]       # per action, per hand EV after taking it
    action_ev_weight: list[list[float]]

    def in_play(self, order) -> list[int]:
        """Positions of the hands that reach the node and do not touch its board."""
        board = set(self.board)
        return [p for p in range(1326) if self.reach[p] > 0 and not order.touches(p, board)]

    def frequencies(self, positions) -> list[float]:
        """Combo-weighted frequency of each action over `positions`."""
        total = sum(self.reach[p] for p in positions)
        if total <= 0:
            return [0.0] * len(self.actions)
        return [sum(self.reach[p] * s[p] for p in positions) / total for s in self.strategy]

    def mean_action_ev(self, a: int) -> float:
        num = den = 0.0
        for ev, w in zip(self.action_ev[a], self.action_ev_weight[a]):
            if not math.isnan(ev) and w > 0:
                num += ev * w
                den += w
        return num / den if den > 0 else math.nan


def parse_node_block(lines: list[str]) -> dict:
    """One node block of show_node / show_children: path, kind, board, amounts, children."""
    if len(lines) < 6:
        raise EngineError('show_node', 'short node block: ' + ' | '.join(lines))
    invested = lines[3].split()
    return {'path': lines[0], 'kind': lines[1],
            'board': [card_code(c) for c in lines[2].split()],
            'invested': (float(invested[0]), float(invested[1])), 'pot': float(invested[2]),
            'children': int(lines[4].split()[0])}


def children(engine: Engine, path: str) -> list[dict]:
    body = engine.block(f'show_children {path}')
    out, i = [], 0
    while i < len(body):
        if not body[i].startswith('child '):
            raise EngineError('show_children', f'unexpected line {body[i]!r}')
        out.append(parse_node_block(body[i + 1:i + 7]))
        i += 7
    return out


def action_label(token: str, node: dict, child: dict, player: int, stack: float) -> str:
    if token == 'f':
        return 'Fold'
    mine, theirs = node['invested'][player], node['invested'][1 - player]
    if token == 'c':
        return 'Check' if mine == theirs else 'Call'
    amount = child['invested'][player]
    pot_now = node['pot'] + mine + theirs
    if amount >= stack:
        return f'All-in {amount:g}'
    if theirs > mine:
        return f'Raise to {amount:g}'
    return f'Bet {amount - mine:g} ({100.0 * (amount - mine) / pot_now:.0f}%)'


def read_node(engine: Engine, path: str, stack: float) -> NodeData:
    node = parse_node_block(engine.block(f'show_node {path}'))
    if node['kind'] not in ('OOP_DEC', 'IP_DEC'):
        raise EngineError(f'show_node {path}', f'{path} is a {node["kind"]}, not a decision')
    player = 0 if node['kind'] == 'OOP_DEC' else 1
    name = PLAYERS[player]
    actions = []
    for child in children(engine, path):
        token = child['path'].rsplit(':', 1)[1]
        actions.append(Action(label=action_label(token, node, child, player, stack),
                              token=token, path=child['path'],
                              amount=child['invested'][player], kind=child['kind']))
    strategy = engine.vectors(f'show_strategy {path}', len(actions))
    reach = engine.vectors(f'show_range {name} {path}', 1)[0]
    ev, ev_weight = engine.vectors(f'calc_ev {name} {path}', 2)
    eq_lines = engine.command(f'calc_eq_node {name} {path}')
    if len(eq_lines) != 4 or eq_lines[-1] != 'END':
        raise EngineError('calc_eq_node', 'expected two per-hand lines, the total and END')
    equity = [float(v) for v in eq_lines[0].split()]
    equity_weight = [float(v) for v in eq_lines[1].split()]
    action_ev, action_ev_weight = [], []
    for action in actions:
        values, weights = engine.vectors(f'calc_ev {name} {action.path}', 2)
        action_ev.append(values)
        action_ev_weight.append(weights)
    return NodeData(path=path, kind=node['kind'], player=player, board=node['board'],
                    invested=node['invested'], pot=node['pot'], actions=actions,
                    strategy=strategy, reach=reach, ev=ev, ev_weight=ev_weight, equity=equity,
                    equity_weight=equity_weight, overall_equity=float(eq_lines[2]),
                    action_ev=action_ev, action_ev_weight=action_ev_weight)


def default_nodes(engine: Engine) -> list[str]:
    """The root decision and the decisions right below it."""
    out = ['r:0']
    for child in children(engine, 'r:0'):
        if child['kind'] in ('OOP_DEC', 'IP_DEC'):
            out.append(child['path'])
    return out
