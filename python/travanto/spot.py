"""Spot files: a spot in a dozen readable TOML lines, checked before the engine sees it.

    board = "Td 9d 6h Qc"
    pot = 200
    stack = 900
    [ranges]
    oop = "66+,A8s+,AJo+"
    ip = "QQ-22,AQs-A2s,ATo+"
    [tree]
    bet = [50]
    allin = true
    [solver]
    accuracy = 0.5        # stop at this exploitability, % of the pot

Sections: [ranges] (oop, ip), [tree] (see lines.plan_from_config), [solver] (threads, accuracy,
max_seconds, max_iterations, compression, isomorphism, schedule), [report] (title, nodes, output).
"""

from __future__ import annotations

import dataclasses
import math
import os
import tomllib
from typing import Any

from . import lines as lines_mod
from .ranges import RANKS, SUITS, parse_board

COMPRESSION = ('none', 'low', 'medium', 'high', 'max', 'auto')


class SpotError(ValueError):
    """A spot file that cannot be used; the message names the file and the key."""


@dataclasses.dataclass
class Spot:
    board: list[tuple[int, int]]
    pot: int
    stack: int
    oop: str
    ip: str
    tree: lines_mod.TreePlan
    tree_config: dict
    threads: int = 0                       # 0: every processor
    accuracy: float = 0.5                  # % of the pot
    max_seconds: int | None = None
    max_iterations: int | None = None
    compression: str = 'auto'
    schedule: str = 'best'                 # set_solver_schedule's arguments
    isomorphism: bool = True
    title: str = ''
    nodes: list[str] = dataclasses.field(default_factory=list)
    output: str | None = None
    path: str = ''
    warnings: list[str] = dataclasses.field(default_factory=list)

    @property
    def start_street(self) -> int:
        return len(self.board) - 2

    @property
    def board_text(self) -> str:
        return ' '.join(RANKS[r] + SUITS[s] for r, s in self.board)


_TOP = {'board', 'pot', 'stack', 'ranges', 'tree', 'solver', 'report'}
_SOLVER = {'threads', 'accuracy', 'max_seconds', 'max_iterations', 'compression', 'isomorphism',
           'schedule'}
SCHEDULES = ('best', 'default', 'dcfr', 'discounted', 'late_average', 'negative_decay')
_REPORT = {'title', 'nodes', 'output'}


def _check_keys(table: Any, allowed: set, where: str) -> dict:
    if not isinstance(table, dict):
        raise SpotError(f'{where}: expected a table')
    for key in table:
        if key not in allowed:
            raise SpotError(f'{where}: unknown key {key!r} (known: {", ".join(sorted(allowed))})')
    return table


def _whole(value: Any, where: str, low: int, high: int = 2**31 - 1) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise SpotError(f'{where}: {value!r} must be a whole number from {low} to {high}')
    return value


def parse_spot(data: dict, path: str = '<spot>') -> Spot:
    """A parsed TOML document to a Spot; SpotError names the bad key."""
    def fail(message: str) -> SpotError:
        return SpotError(f'{path}: {message}')

    try:
        _check_keys(data, _TOP, 'top level')
        for key in ('board', 'pot', 'stack', 'ranges'):
            if key not in data:
                raise SpotError(f'missing {key!r}')
        if not isinstance(data['board'], str):
            raise SpotError('board: give the cards as text, like "Td 9d 6h"')
        try:
            board = parse_board(data['board'])
        except ValueError as e:
            raise SpotError(str(e)) from None
        pot = _whole(data['pot'], 'pot', 1)
        stack = _whole(data['stack'], 'stack', 1)
        ranges = _check_keys(data['ranges'], {'oop', 'ip'}, 'ranges')
        for player in ('oop', 'ip'):
            if not isinstance(ranges.get(player), str):
                raise SpotError(f'ranges.{player}: missing or not text')
        tree_config = data.get('tree', {})
        try:
            tree = lines_mod.plan_from_config(tree_config, pot, stack, len(board) - 2)
        except lines_mod.TreeError as e:
            raise SpotError(str(e)) from None
        spot = Spot(board=board, pot=pot, stack=stack, oop=ranges['oop'], ip=ranges['ip'],
                    tree=tree, tree_config=tree_config, path=path)
        spot.warnings = lines_mod.plan_warnings(tree_config, tree)
        solver = _check_keys(data.get('solver', {}), _SOLVER, 'solver')
        if 'threads' in solver:
            spot.threads = _whole(solver['threads'], 'solver.threads', 0, 1024)
        if 'accuracy' in solver:
            acc = solver['accuracy']
            if isinstance(acc, bool) or not isinstance(acc, (int, float)) \
                    or not math.isfinite(acc) or acc < 0:
                raise SpotError(f'solver.accuracy: {acc!r} must be a number of % of the pot, '
                                '0 or more')
            spot.accuracy = float(acc)
        if 'max_seconds' in solver:
            spot.max_seconds = _whole(solver['max_seconds'], 'solver.max_seconds', 1)
        if 'max_iterations' in solver:
            spot.max_iterations = _whole(solver['max_iterations'], 'solver.max_iterations', 1,
                                         9000)
        if 'compression' in solver:
            level = solver['compression']
            if isinstance(level, int) and not isinstance(level, bool) and 0 <= level <= 4:
                level = COMPRESSION[level]
            if level not in COMPRESSION:
                raise SpotError(f'solver.compression: {level!r} is not one of '
                                f'{", ".join(COMPRESSION)} or 0..4')
            spot.compression = level
        if 'schedule' in solver:
            schedule = solver['schedule']
            words = schedule.split() if isinstance(schedule, str) else []
            if not words or words[0] not in SCHEDULES:
                raise SpotError(f'solver.schedule: {schedule!r} is not one of {", ".join(SCHEDULES)} '
                                '(with its numbers)')
            spot.schedule = ' '.join(words)
        if 'isomorphism' in solver:
            if not isinstance(solver['isomorphism'], bool):
                raise SpotError('solver.isomorphism: true or false')
            spot.isomorphism = solver['isomorphism']
        report = _check_keys(data.get('report', {}), _REPORT, 'report')
        if 'title' in report:
            if not isinstance(report['title'], str):
                raise SpotError('report.title: text')
            spot.title = report['title']
        if 'nodes' in report:
            nodes = report['nodes']
            if not isinstance(nodes, list) or not all(isinstance(n, str) and n.startswith('r:0')
                                                      for n in nodes):
                raise SpotError('report.nodes: a list of node paths such as "r:0:c"')
            spot.nodes = nodes
        if 'output' in report:
            if not isinstance(report['output'], str) or not report['output']:
                raise SpotError('report.output: a file name')
            spot.output = report['output']
        return spot
    except SpotError as e:
        raise fail(str(e)) from None


def load_spot(path: str) -> Spot:
    try:
        with open(path, 'rb') as f:
            data = tomllib.load(f)
    except OSError as e:
        raise SpotError(f'{path}: cannot read ({e.strerror})') from None
    except tomllib.TOMLDecodeError as e:
        raise SpotError(f'{path}: not a valid TOML file ({e})') from None
    spot = parse_spot(data, path)
    if spot.output and not os.path.isabs(spot.output):
        spot.output = os.path.join(os.path.dirname(os.path.abspath(path)), spot.output)
    return spot
