"""travanto-solve SPOT.toml: build and solve a spot file, then write its HTML report."""

from __future__ import annotations

import argparse
import os
import sys

from .engine import Engine, EngineError, default_engine_path
from .lines import TreeError
from .ranges import RangeError, format_range, parse_range
from .report import render
from .solve import Progress, default_nodes, read_node, solve
from .spot import SpotError, load_spot


class ProgressLine:
    """One line rewritten in place on a terminal; on anything else a line every few seconds."""

    def __init__(self, stream, every: float = 5.0):
        self.stream = stream
        self.tty = stream.isatty()
        self.every = every
        self.last = 0.0
        self.width = 0

    @staticmethod
    def text(p: Progress) -> str:
        parts = [f'iterations {p.iterations if p.iterations is not None else "-":>5}',
                 'exploitability ' + (f'{p.exploitability_pct:7.3f} % of the pot'
                                      if p.exploitability_pct is not None else '      - '),
                 f'{p.elapsed:6.1f} s']
        if p.memory_mb is not None:
            parts.append(f'{p.memory_mb:7.1f} MB')
        return '  '.join(parts)

    def __call__(self, p: Progress) -> None:
        line = self.text(p)
        if self.tty:
            self.stream.write('\r' + line.ljust(self.width))
            self.width = len(line)
            self.stream.flush()
        elif p.elapsed - self.last >= self.every:
            self.last = p.elapsed
            self.stream.write(line + '\n')
            self.stream.flush()

    def done(self) -> None:
        if self.tty and self.width:
            self.stream.write('\n')
            self.stream.flush()


def save_spot(engine, workspace, name: str, path: str, spot, solved) -> str:
    """The solved tree and the spot file's set-up into the studio's workspace."""
    import tomllib
    from .studio.workspace import record
    with open(path, 'rb') as f:
        setup = tomllib.load(f)
    setup.pop('report', None)
    engine.expect_ok(f'dump_tree {workspace.path(name, ".tree")}', timeout=None)
    r = solved.results
    workspace.write_setup(name, record(setup, r.iterations,
                                       round(100 * r.exploitability / spot.pot, 4)))
    return workspace.path(name, '.tree')


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog='travanto-solve', description=__doc__)
    parser.add_argument('spot', help='spot file (TOML)')
    parser.add_argument('-o', '--output', help='report file (default: the spot\'s report.output '
                        'or report.html in the current folder)')
    parser.add_argument('--engine', default=None,
                        help=f'engine program (default: $TRAVANTO_ENGINE or {default_engine_path()})')
    parser.add_argument('--threads', type=int, help='solver threads (overrides the spot file)')
    parser.add_argument('--max-seconds', type=int, help='time limit (overrides the spot file)')
    parser.add_argument('-q', '--quiet', action='store_true', help='no progress line')
    parser.add_argument('--save', metavar='NAME', help='also save the solved tree and its set-up '
                        'into the studio\'s workspace as NAME')
    parser.add_argument('--workspace', default=None,
                        help='the studio\'s workspace for --save (default: ~/travanto-spots)')
    args = parser.parse_args(argv)
    err = sys.stderr
    try:
        spot = load_spot(args.spot)
    except SpotError as e:
        print(f'travanto-solve: {e}', file=err)
        return 2
    for warning in spot.warnings:
        print(f'travanto-solve: warning: {args.spot}: {warning}', file=err)
    workspace = None
    if args.save is not None:
        from .studio.workspace import Workspace, WorkspaceError, default_workspace
        try:
            workspace = Workspace(args.workspace or default_workspace())
            workspace.check_name(args.save)
        except (OSError, WorkspaceError) as e:
            print(f'travanto-solve: --save: {e}', file=err)
            return 2
    if args.threads is not None:
        spot.threads = max(0, args.threads)
    if args.max_seconds is not None:
        spot.max_seconds = max(1, args.max_seconds)
    output = os.path.abspath(args.output or spot.output or 'report.html')
    progress = None if args.quiet else ProgressLine(err)
    try:
        with Engine(args.engine) as engine:
            order = engine.hand_order()
            solved = solve(engine, spot, progress)
            if progress:
                progress.done()
            r = solved.results
            print(f'{r.iterations} iterations, {solved.seconds:.1f} s, exploitability '
                  f'{100 * r.exploitability / spot.pot:.3f} % of the pot '
                  f'({solved.stop_reason}); EV OOP {r.ev_oop:.2f}, IP {r.ev_ip:.2f}', file=err)
            nodes = [read_node(engine, path, spot.stack)
                     for path in (spot.nodes or default_nodes(engine))]
            texts = tuple(format_range(parse_range(t, order), order) for t in (spot.oop, spot.ip))
            page = render(spot, solved, nodes, order, texts)
            if workspace is not None:
                saved = save_spot(engine, workspace, args.save, args.spot, spot, solved)
                print(f'saved: {saved} (open it in travanto-studio)', file=err)
    except (RangeError, TreeError) as e:
        print(f'travanto-solve: {args.spot}: {e}', file=err)
        return 2
    except EngineError as e:
        print(f'travanto-solve: engine: {e}', file=err)
        return 1
    except FileNotFoundError as e:
        print(f'travanto-solve: {e}', file=err)
        return 1
    os.makedirs(os.path.dirname(output), exist_ok=True)
    tmp = output + '.tmp'
    with open(tmp, 'w', encoding='utf-8') as f:
        f.write(page)
    os.replace(tmp, output)
    print(f'report: {output}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
