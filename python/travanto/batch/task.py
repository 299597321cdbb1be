"""One flop of a batch, run on a Dask worker: solve it in one engine process, save the tree file,
its set-up and a small JSON summary into the output folder, each written atomically.

Files per board (compact text such as "Td9d6h"):
    flops/<board>.json         the summary (status "ok"), written last: it marks the board done
    flops/<board>.failed.json  why the solve failed (removed once the board succeeds)
    trees/<board>.tree         the engine's tree file (load_tree reads it)
    trees/<board>.spot.json    board, pot, stack, range texts and tree sizes of the solve
Only the summary travels back to the client.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import signal
import socket
import threading
import time
import uuid

FORMAT = 1
_live: dict[int, object] = {}              # engines of this process's running tasks
_live_lock = threading.Lock()
stopping = threading.Event()               # set by an in-process client that is stopping


class Cancelled(Exception):
    """The batch was stopped while this board was being solved; nothing was written."""


def fingerprint(data: dict) -> str:
    """What makes two solves of one board the same: everything but threads and report keys."""
    solver = {k: v for k, v in data.get('solver', {}).items() if k != 'threads'}
    key = {k: data.get(k) for k in ('pot', 'stack', 'ranges', 'tree')}
    key['solver'] = solver
    text = json.dumps(key, sort_keys=True, separators=(',', ':'))
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def paths(out: str, board: str) -> dict[str, str]:
    return {'summary': os.path.join(out, 'flops', board + '.json'),
            'failed': os.path.join(out, 'flops', board + '.failed.json'),
            'tree': os.path.join(out, 'trees', board + '.tree'),
            'setup': os.path.join(out, 'trees', board + '.spot.json')}


def write_json(path: str, value) -> None:
    """Writes to a unique temporary file beside `path`, flushes it to disk, renames it over."""
    tmp = f'{path}.{uuid.uuid4().hex[:12]}.tmp'
    try:
        with open(tmp, 'w', encoding='utf-8') as f:
            json.dump(value, f, indent=1, sort_keys=True, allow_nan=False)
            f.write('\n')
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def read_summary(out: str, board: str, spot_id: str) -> dict | None:
    """The board's summary when it is complete and belongs to this spot, else None."""
    p = paths(out, board)
    try:
        with open(p['summary'], encoding='utf-8') as f:
            summary = json.load(f)
    except (OSError, ValueError):
        return None
    ok = (isinstance(summary, dict) and summary.get('format') == FORMAT
          and summary.get('status') == 'ok' and summary.get('board') == board
          and summary.get('spot') == spot_id and isinstance(summary.get('actions'), list)
          and os.path.isfile(p['tree']) and os.path.getsize(p['tree']) > 0)
    return summary if ok else None


def _peak_mb(pid: int) -> float | None:
    try:
        with open(f'/proc/{pid}/status') as status:
            for line in status:
                if line.startswith('VmHWM:'):
                    return round(int(line.split()[1]) / 1024.0, 1)
    except OSError:
        pass
    return None


def _number(x: float, digits: int = 6) -> float | None:
    return None if x is None or not math.isfinite(x) else round(x, digits)


def _start_engine(engine_path: str):
    """An engine that ignores Ctrl-C (SIGINT blocked while it is started), so that only the
    client decides what a stop does to it."""
    from ..engine import Engine
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return Engine(engine_path, timeout=600)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def kill_running() -> int:
    """Kills the engines of this process's running tasks (a stopping in-process client)."""
    with _live_lock:
        engines = list(_live.values())
    for engine in engines:
        engine.kill()
    return len(engines)


def _solve(job: dict, board: str, p: dict, engine) -> dict:
    from ..lines import TreeError
    from ..ranges import RangeError
    from ..solve import read_node, solve
    from ..spot import SpotError, parse_spot
    data = dict(job['spot'], board=board)
    try:
        spot = parse_spot(data, job['spot_path'])
    except (SpotError, TreeError) as e:
        raise ValueError(str(e)) from None
    if job.get('threads') is not None:
        spot.threads = job['threads']
    try:
        solved = solve(engine, spot)
    except RangeError as e:
        raise ValueError(str(e)) from None
    engine.expect_ok(f'dump_tree {p["tree"]}', timeout=None)
    node = read_node(engine, 'r:0', spot.stack)
    positions = node.in_play(engine.hand_order())
    freqs = node.frequencies(positions)
    equity = []
    for player in ('OOP', 'IP'):
        lines = engine.command(f'calc_eq_node {player} r:0')
        equity.append(float(lines[2]))
    r = solved.results
    ev = (r.ev_oop, r.ev_ip)
    eqr = [ev[i] / (equity[i] * spot.pot) if equity[i] > 0 else math.nan for i in (0, 1)]
    return {
        'iterations': r.iterations,
        'exploitability': _number(r.exploitability),
        'exploitability_pct': _number(100.0 * r.exploitability / spot.pot),
        'stop_reason': solved.stop_reason,
        'ev_oop': _number(ev[0]), 'ev_ip': _number(ev[1]),
        'equity_oop': _number(equity[0]), 'equity_ip': _number(equity[1]),
        'eqr_oop': _number(eqr[0]), 'eqr_ip': _number(eqr[1]),
        'root_player': ('OOP', 'IP')[node.player],
        'actions': [{'label': a.label, 'token': a.token, 'frequency': _number(f),
                     'ev': _number(node.mean_action_ev(i))}
                    for i, (a, f) in enumerate(zip(node.actions, freqs))],
        'solve_seconds': round(solved.seconds, 3),
        'lines': solved.lines,
        'nodes': solved.node_count.get('TOTAL'),
        'setup': {'board': spot.board_text, 'pot': spot.pot, 'stack': spot.stack,
                  'ranges': {'oop': spot.oop, 'ip': spot.ip}, 'tree': spot.tree_config,
                  'solver': dict(job['spot'].get('solver', {})),
                  'lines': solved.lines},
    }


def solve_board(job: dict) -> dict:
    """Solves job['board'] unless it already has a valid summary; returns the summary or a
    failure record {'status': 'failed', 'reason': ...}. Raises Cancelled when the batch stops
    meanwhile (nothing is written then)."""
    board, out = job['board'], job['out']
    p = paths(out, board)
    done = read_summary(out, board, job['spot_id'])
    if done is not None:                    # a retry of a task whose worker died after writing
        return done
    if stopping.is_set():
        raise Cancelled(board)
    started = time.time()
    engine = None
    try:
        engine = _start_engine(job['engine'])
        with _live_lock:
            _live[id(engine)] = engine
        if stopping.is_set():               # stopped while it was starting
            engine.kill()
        result = _solve(job, board, p, engine)
        peak = _peak_mb(engine.pid)
    except Exception as e:                  # noqa: BLE001 - every failure is recorded
        if stopping.is_set():
            raise Cancelled(board) from None
        reason = f'{type(e).__name__}: {e}' if not isinstance(e, ValueError) else str(e)
        record = {'format': FORMAT, 'status': 'failed', 'board': board, 'spot': job['spot_id'],
                  'reason': reason.strip()[:2000], 'worker': socket.gethostname(),
                  'seconds': round(time.time() - started, 3)}
        write_json(p['failed'], record)
        return record
    finally:
        if engine is not None:
            with _live_lock:
                _live.pop(id(engine), None)
            engine.close()
    setup = result.pop('setup')
    write_json(p['setup'], dict(setup, tree_file=os.path.basename(p['tree'])))
    summary = dict(result, format=FORMAT, status='ok', board=board, spot=job['spot_id'],
                   weight=job['weight'], tree=os.path.relpath(p['tree'], out),
                   setup=os.path.relpath(p['setup'], out), peak_mb=peak,
                   worker=socket.gethostname(), started=started,
                   seconds=round(time.time() - started, 3))
    write_json(p['summary'], summary)
    if os.path.exists(p['failed']):
        os.unlink(p['failed'])
    return summary
