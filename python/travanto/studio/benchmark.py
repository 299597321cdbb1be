"""Responsiveness of the studio on a flop spot, through its HTTP interface: opening decision
nodes (grid, table and summaries in one answer) and the card picker at a turn, while the solver
runs and after it has stopped. A measurement, not a test:

    python3 -m travanto.studio.benchmark [--spot F1.txt] [--threads 2] [--accuracy 0.3]

The spot is an engine script that builds the tree (board, pot, ranges, lines, build_tree).
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import tempfile
import threading
import time
import urllib.request

from ..solve import parse_node_block
from .server import make_server, studio_url

NODES = ('r:0', 'r:0:c', 'r:0:b100', 'r:0:c:b100')
CHANCE = 'r:0:c:c'


def timed(url: str) -> float:
    start = time.perf_counter()
    with urllib.request.urlopen(url, timeout=600) as r:
        json.load(r)
    return time.perf_counter() - start


def measure(base: str, sid: str, label: str) -> None:
    opens = [timed(f'{base}api/sessions/{sid}/node?path={p}') for p in NODES]
    chance = timed(f'{base}api/sessions/{sid}/chance?path={CHANCE}')
    print(f'{label}: node open {min(opens):.3f} / {statistics.median(opens):.3f} / '
          f'{max(opens):.3f} s (min / median / max of {len(opens)}), '
          f'turn card picker {chance:.3f} s', flush=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--spot', default='/work/shared/bench/spots/F1.txt')
    parser.add_argument('--stack', type=int, default=900)
    parser.add_argument('--threads', type=int, default=2)
    parser.add_argument('--accuracy', type=float, default=0.3, help='% of the pot')
    parser.add_argument('--engine', default=None)
    args = parser.parse_args(argv)
    workspace = tempfile.mkdtemp(prefix='travanto-studio-bench-')
    server = make_server(workspace, 0, args.engine)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = studio_url(server)
    try:
        s = server.studio.new_session()
        s.engine.command(f'load_script {args.spot}', timeout=900)
        root = parse_node_block(s.engine.block('show_node r'))
        board = ' '.join('23456789TJQKA'[r] + 'cdhs'[c] for r, c in root['board'])
        s.build_from_engine({'board': board, 'pot': int(root['pot']), 'stack': args.stack})
        req = urllib.request.Request(f'{base}api/sessions/{s.id}/solve', method='POST',
                                     data=json.dumps({'threads': args.threads,
                                                      'accuracy': args.accuracy}).encode())
        urllib.request.urlopen(req, timeout=60).read()
        time.sleep(8)
        print(f'{args.spot}: {board}, {args.threads} threads', flush=True)
        for _ in range(2):
            measure(base, s.id, f'while solving ({s.progress()["elapsed"]:.0f} s in)')
        while s.state == 'solving':
            time.sleep(0.5)
        print(f'solved: {s.iterations} iterations, {s.progress()["elapsed"]} s, '
              f'exploitability {s.exploitability_pct:.3f} % of the pot ({s.reason})')
        measure(base, s.id, 'solved, first read')
        measure(base, s.id, 'solved')
    finally:
        server.shutdown()
        server.studio.close()
        shutil.rmtree(workspace, ignore_errors=True)
    return 0


if __name__ == '__main__':
    raise SystemExit(main())
