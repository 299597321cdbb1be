"""travanto-batch SPOT.toml --flops SET --out DIR: solve one spot on many flops with Dask.

Each board is one Dask task that runs one engine process and writes its tree file and summary
into DIR; a rerun skips the boards whose summary is valid. At the end (also after Ctrl-C or
failures) DIR gets summary.csv, summary.json and report.html over the boards done so far.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
import tomllib
import urllib.parse

from ..engine import default_engine_path
from . import flops as flops_mod
from . import task as task_mod

INSTALL_HINT = ('Dask is not installed for this Python; on Debian: apt-get install '
                'python3-distributed (and run travanto-batch with /usr/bin/python3)')
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class BatchError(Exception):
    """Bad input or set-up: printed as one line, exit status 2."""


def load_batch_spot(path: str) -> dict:
    """The spot file's table, checked with a stand-in board (each board is checked again)."""
    from ..lines import TreeError
    from ..spot import SpotError, parse_spot
    try:
        with open(path, 'rb') as f:
            data = tomllib.load(f)
    except OSError as e:
        raise BatchError(f'{path}: cannot read ({e.strerror})') from None
    except tomllib.TOMLDecodeError as e:
        raise BatchError(f'{path}: not a valid TOML file ({e})') from None
    if 'board' in data:
        raise BatchError(f'{path}: a batch spot has no board; the boards come from --flops')
    try:
        parse_spot(dict(data, board='2c 3d 4h'), path)
    except (SpotError, TreeError) as e:
        raise BatchError(str(e)) from None
    return data


def plural(n: int, word: str) -> str:
    return f'{n} {word}{"" if n == 1 else "s"}'


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return '-'
    seconds = int(seconds)
    return f'{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}'


class Progress:
    """done/total, failed, running, elapsed, estimated remaining: in place on a terminal,
    else a line every `every` seconds."""

    def __init__(self, stream, total: int, skipped: int, every: float = 10.0):
        self.stream, self.total, self.skipped = stream, total, skipped
        self.tty = stream.isatty()
        self.every, self.last, self.width = every, 0.0, 0
        self.start = time.monotonic()

    def show(self, done: int, failed: int, running: int, force: bool = False) -> None:
        elapsed = time.monotonic() - self.start
        new = done + failed - self.skipped
        left = self.total - done - failed
        eta = elapsed / new * left if new > 0 else None
        line = (f'done {done}/{self.total}  failed {failed}  running {running}  '
                f'elapsed {fmt_time(elapsed)}  remaining {fmt_time(eta) if left else "0:00:00"}')
        if self.tty:
            self.stream.write('\r' + line.ljust(self.width))
            self.width = len(line)
        elif force or elapsed - self.last >= self.every:
            self.last = elapsed
            self.stream.write(line + '\n')
        self.stream.flush()

    def end(self) -> None:
        if self.tty and self.width:
            self.stream.write('\n')
            self.stream.flush()


def _dask():
    try:
        import distributed
    except ImportError:
        raise BatchError(INSTALL_HINT) from None
    return distributed


def _cluster(distributed, scheduler: str | None, workers: int):
    """A client of the named scheduler, or of a LocalCluster inside this process (its
    workers are threads: the solving happens in the engine processes). Returns (client,
    cluster or None, number of task slots)."""
    if scheduler:
        try:
            client = distributed.Client(scheduler, timeout=30)
        except (OSError, TimeoutError, ValueError) as e:
            raise BatchError(f'cannot reach the scheduler {scheduler}: {e}') from None
        slots = sum(client.nthreads().values()) or 1
        return client, None, slots
    # every server of the local cluster (its status pages) listens on loopback only
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=False,
                                       dashboard_address='127.0.0.1:0',
                                       worker_dashboard_address='127.0.0.1:0',
                                       silence_logs=logging.ERROR)
    return distributed.Client(cluster), cluster, workers


def dashboard(client, local: bool) -> str | None:
    """The dashboard's address when Dask's dashboard package (bokeh) is installed."""
    try:
        import bokeh  # noqa: F401
    except ImportError:
        return None
    link = client.dashboard_link
    if link and local:
        parts = urllib.parse.urlsplit(link)
        link = parts._replace(netloc=f'127.0.0.1:{parts.port}').geturl()
    return link


def run(args, out_stream=None, err=None) -> int:
    out_stream, err = out_stream or sys.stdout, err or sys.stderr
    spot_path = os.path.abspath(args.spot)
    data = load_batch_spot(spot_path)
    try:
        flop_set = flops_mod.parse_flop_set(args.flops)
    except flops_mod.FlopSetError as e:
        raise BatchError(str(e)) from None
    engine = os.path.abspath(args.engine or default_engine_path())
    if not (os.path.isfile(engine) and os.access(engine, os.X_OK)):
        raise BatchError(f'engine not found or not executable: {engine} (build it with make '
                         'build, or give --engine / TRAVANTO_ENGINE)')
    out = os.path.abspath(args.out)
    if any(ch in out for ch in '\n\r'):
        raise BatchError('--out: a folder name without line breaks')
    if args.workers is not None and args.workers < 1:
        raise BatchError('--workers: at least 1')
    try:
        for sub in ('flops', 'trees'):
            os.makedirs(os.path.join(out, sub), exist_ok=True)
    except OSError as e:
        raise BatchError(f'--out {out}: cannot create ({e.strerror})') from None
    spot_id = task_mod.fingerprint(data)
    check_folder(out, spot_id)
    boards = [flops_mod.board_text(b) for b in flop_set.boards]
    done = {b: s for b in boards if (s := task_mod.read_summary(out, b, spot_id)) is not None}
    todo = [b for b in boards if b not in done]
    if flop_set.closeness is not None:
        print(f'{flop_set.name}: {len(boards)} flops; weighted textures within '
              f'{flop_set.closeness:.2f} percentage points of all flops', file=err)
    print(f'{plural(len(boards), "board")}, {len(done)} already done, {len(todo)} to solve; '
          f'output {out}', file=err)
    failed: dict[str, dict] = {}
    interrupted = False
    stats = {}
    if todo:
        distributed = _dask()
        workers = args.workers or (1 if not args.scheduler else None)
        threads = None
        if not args.scheduler and workers > 1 and not data.get('solver', {}).get('threads'):
            threads = max(1, (os.cpu_count() or 1) // workers)
        client = cluster = None
        try:
            client, cluster, slots = _cluster(distributed, args.scheduler, workers or 1)
            link = dashboard(client, cluster is not None)
            if link:
                print(f'dashboard: {link}', file=err)
            interrupted = _solve_all(client, cluster is None, slots, data, spot_path, spot_id,
                                     engine, threads, out, todo, flop_set, done, failed, stats,
                                     err)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            if interrupted and cluster is not None:
                task_mod.stopping.set()
                task_mod.kill_running()
            _close(client, cluster)
            task_mod.stopping.clear()
    from .report import write_reports
    for b in boards:                        # what the folder holds now is the truth
        summary = task_mod.read_summary(out, b, spot_id)
        if summary is not None:
            done[b] = summary
            failed.pop(b, None)
    ok = [done[b] for b in boards if b in done]
    written = write_reports(out, data, flop_set, ok, [failed[b] for b in boards if b in failed],
                            os.path.basename(spot_path))
    if stats.get('solved'):
        slots = stats['slots']
        overhead = (stats['wall'] * slots - stats['task_seconds']) / stats['solved']
        share = 100.0 * overhead / (stats['task_seconds'] / stats['solved'])
        # overhead: the slots' time outside the tasks (scheduling, transfers, the last wait)
        print(f'{plural(stats["solved"], "board")} solved in {fmt_time(stats["wall"])} on '
              f'{plural(slots, "slot")}: {3600.0 * stats["solved"] / stats["wall"]:.0f} boards '
              f'per hour; overhead {1000.0 * max(0.0, overhead):.1f} ms per task '
              f'({max(0.0, share):.2f} % of a task)', file=err)
    if interrupted:
        print(f'interrupted: {len(done)} of {len(boards)} boards done; rerun the same command '
              'to solve the rest', file=err)
    elif failed:
        print(f'{len(failed)} of {len(boards)} boards failed (reasons in '
              f'{os.path.join(out, "summary.json")}):', file=err)
        for b, record in list(failed.items())[:10]:
            print(f'  {b}: {record["reason"].splitlines()[0][:200]}', file=err)
    print(f'report: {written}', file=out_stream)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if failed else EXIT_OK


def check_folder(out: str, spot_id: str) -> None:
    """Refuses a folder that holds summaries of another spot."""
    folder = os.path.join(out, 'flops')
    for name in sorted(os.listdir(folder)):
        if not name.endswith('.json'):
            continue
        try:
            with open(os.path.join(folder, name), encoding='utf-8') as f:
                other = json.load(f).get('spot')
        except (OSError, ValueError, AttributeError):
            continue
        if other and other != spot_id:
            raise BatchError(f'--out {out} holds results of another spot ({name}); give '
                             'another folder, or remove that one')


def _solve_all(client, remote, slots, data, spot_path, spot_id, engine, threads, out, todo,
               flop_set, done, failed, stats, err) -> bool:
    """Submits one task per board and collects the summaries; True when interrupted."""
    jobs = [{'board': b, 'out': out, 'spot': data, 'spot_path': spot_path, 'spot_id': spot_id,
             'engine': engine, 'threads': threads, 'weight': flop_set.weights[b]} for b in todo]
    start, wall_start = time.monotonic(), time.time()
    futures = {client.submit(task_mod.solve_board, job, key=f'travanto-{job["board"]}-{spot_id}',
                             retries=2, pure=False): job['board'] for job in jobs}
    progress = Progress(err, len(flop_set.boards), len(done))
    pending = set(futures)
    task_seconds, solved = 0.0, 0
    checked = start
    try:
        while pending:
            if remote and time.monotonic() - checked > 5:     # workers come and go
                checked = time.monotonic()
                slots = sum(client.nthreads().values())
            progress.show(len(done), len(failed), min(slots, len(pending)))
            finished = [f for f in pending if f.done()]
            if not finished:
                time.sleep(0.1)
                continue
            for future in finished:
                pending.discard(future)
                board = futures[future]
                try:
                    result = future.result()
                except Exception as e:      # noqa: BLE001 - a task that Dask gave up on
                    result = {'status': 'failed', 'board': board,
                              'reason': f'{type(e).__name__}: {e}'}
                if result.get('status') == 'ok':
                    done[board] = result
                    if result.get('started', 0) >= wall_start:   # solved by this run
                        task_seconds += result['seconds']
                        solved += 1
                else:
                    failed[board] = result
                future.release()
    except KeyboardInterrupt:
        progress.end()
        client.cancel(list(pending))
        return True
    progress.show(len(done), len(failed), 0, force=True)
    progress.end()
    stats.update(solved=solved, task_seconds=task_seconds, wall=time.monotonic() - start,
                 slots=min(slots, len(jobs)))
    return False


def _close(client, cluster) -> None:
    for thing in (client, cluster):
        if thing is None:
            continue
        try:
            thing.close(timeout=20)
        except Exception:                   # noqa: BLE001 - closing is best effort
            pass


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog='travanto-batch', description=__doc__.split('\n')[0])
    parser.add_argument('spot', help='spot file (TOML) without a board')
    parser.add_argument('--flops', required=True,
                        help='"all", "sample:N", a file of boards, or a list "Td9d6h,Ks7d2c"')
    parser.add_argument('--out', required=True, help='output folder (shared storage on a cluster)')
    parser.add_argument('--scheduler', help='a running Dask scheduler, tcp://HOST:8786 '
                        '(default: a local cluster in this process)')
    parser.add_argument('--workers', type=int, help='local cluster: boards solved at once '
                        '(default 1, each solve on every core; a cluster has its own workers)')
    parser.add_argument('--engine', help=f'engine program (default: $TRAVANTO_ENGINE or '
                        f'{default_engine_path()}); the same path on every worker')
    args = parser.parse_args(argv)
    logging.getLogger('distributed').setLevel(logging.ERROR)
    try:
        return run(args)
    except BatchError as e:
        print(f'travanto-batch: {e}', file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print('travanto-batch: interrupted', file=sys.stderr)
        return EXIT_INTERRUPTED
