"""A running engine process and its line protocol.

Every command is followed by a probe, the line "\\xa7is_ready": the engine puts the byte 0xA7 in
front of each answer line of a line that began with it, so "\\xa7is_ready ok!" can only be the
probe's answer (scripts and the solver thread never print it). Everything that arrives between a
command and its probe is that command's answer, which covers commands that print nothing, one
line, an END block, or the answers of a whole script alike.

The engine runs in /gui mode for the iteration counts of the solver's reports. The solver thread
prints its lines at any moment between answer blocks; a reader thread takes them out of the
stream ("SOLVER: started", "#SOLVER:\\t... END", "#N iterations", "#storage ...",
"SOLVER: stopped (reason)") and hands them to the listeners.
"""

from __future__ import annotations

import collections
import io
import dataclasses
import os
import queue
import re
import shutil
import subprocess
import threading
import time
from typing import Callable, Iterable

MARK = b'\xa7'
PROBE = MARK + b'is_ready\n'
PROBE_ANSWER = MARK + b'is_ready ok!'
DEFAULT_TIMEOUT = 120.0

_HERE = os.path.dirname(os.path.abspath(__file__))
try:                                        # written by the build backend into an installed copy
    from ._checkout import CHECKOUT
except ImportError:
    CHECKOUT = os.path.join(_HERE, '..', '..')
DEFAULT_ENGINE = os.path.normpath(os.path.join(CHECKOUT, 'build', 'travanto'))


def default_engine_path() -> str:
    """The engine named by TRAVANTO_ENGINE, else a `travanto` on PATH, else the checkout's
    build/travanto (also when missing: Engine then says where it looked)."""
    return os.environ.get('TRAVANTO_ENGINE') or shutil.which('travanto') or DEFAULT_ENGINE


class EngineError(Exception):
    """The engine refused a command; `text` is its answer (ERROR lines or "Invalid value")."""

    def __init__(self, command: str, text: str, lines: list[str] | None = None):
        self.command = command
        self.text = text
        self.lines = lines or []
        super().__init__(f'{command.split(" ", 1)[0]}: {text}' if command else text)


class EngineDied(EngineError):
    """The engine process ended (crash or exit) while an answer was awaited."""


class EngineTimeout(EngineError):
    """No answer within the timeout; the engine has been killed."""


@dataclasses.dataclass(frozen=True)
class SolverReport:
    """One progress report of a running solver. Values as the engine prints them: EVs and
    MES include half the pot, the exploitability is in chips."""
    running_time: float
    ev_oop: float
    ev_ip: float
    mes_oop: float
    mes_ip: float
    exploitability: float
    iterations: int | None = None
    storage_read: int | None = None   # MB/s
    storage_write: int | None = None  # MB/s


@dataclasses.dataclass(frozen=True)
class Results:
    """The answer of calc_results."""
    ev_oop: float
    ev_ip: float
    mes_oop: float
    mes_ip: float
    exploitability: float
    iterations: int | None = None


@dataclasses.dataclass(frozen=True)
class SolverStopped:
    reason: str


_REPORT_FIELDS = (('running time', 'running_time'), ('EV OOP', 'ev_oop'), ('EV IP', 'ev_ip'),
                  ("OOP's MES", 'mes_oop'), ("IP's MES", 'mes_ip'),
                  ('Exploitable for', 'exploitability'))
_ITERATIONS = re.compile(r'^#(\d+) iterations$')
_STORAGE = re.compile(r'^#storage (-?\d+) MB/s read, (-?\d+) MB/s write$')
_STOPPED = re.compile(r'^SOLVER: stopped \((.*)\)$')


def _fields(parts: Iterable[str], what: str) -> dict[str, float]:
    values = {}
    for part in parts:
        name, sep, number = part.partition(':')
        if sep:
            values[name.strip()] = float(number)
    missing = [label for label, _ in _REPORT_FIELDS if label not in values and
               (label != 'running time' or what == 'report')]
    if missing:
        raise ValueError(f'{what} without {", ".join(missing)}')
    return values


def parse_report_line(line: str) -> SolverReport:
    """A /gui report line "#SOLVER:\\trunning time: 1.2\\tEV OOP: ...\\tEND"."""
    body = line[len('#SOLVER:'):] if line.startswith('#SOLVER:') else line
    values = _fields(body.split('\t'), 'report')
    return SolverReport(**{key: values[label] for label, key in _REPORT_FIELDS})


def parse_report_block(lines: list[str]) -> SolverReport:
    """The multi-line report of a console-mode engine: "SOLVER:", six "name: value", "END"."""
    body = [line for line in lines if line not in ('SOLVER:', 'END')]
    values = _fields(body, 'report')
    return SolverReport(**{key: values[label] for label, key in _REPORT_FIELDS})


def parse_results(lines: list[str], diagnostics: Iterable[str] = ()) -> Results:
    """The answer of calc_results; the iteration count comes from its "#N iterations" line."""
    values = _fields(lines, 'calc_results answer')
    iterations = None
    for line in diagnostics:
        m = _ITERATIONS.match(line)
        if m:
            iterations = int(m.group(1))
    return Results(**{key: values[label] for label, key in _REPORT_FIELDS[1:]},
                   iterations=iterations)


@dataclasses.dataclass
class Answer:
    """An answer: its lines, and the diagnostic "#" lines that came with it."""
    lines: list[str]
    diagnostics: list[str]


def is_error_line(line: str) -> bool:
    return line.startswith('ERROR:') or line == 'Invalid value'


class Engine:
    """One engine process.

        with Engine() as engine:
            engine.command('set_pot 0 0 200')
            lines = engine.command('show_tree_params')

    `command` returns the answer's lines (diagnostic "#" lines apart, see `request`) and raises
    EngineError when any line of the answer is an error. A crash raises EngineDied; an answer
    that does not come within the timeout raises EngineTimeout after killing the process.
    """

    def __init__(self, path: str | None = None, *, timeout: float = DEFAULT_TIMEOUT,
                 close_timeout: float = 5.0, cwd: str | None = None,
                 args: Iterable[str] = ('/gui',)):
        self.path = path or default_engine_path()
        self.timeout = timeout
        self.close_timeout = close_timeout
        self.reports: list[SolverReport] = []
        self.stop_reasons: list[str] = []
        self.solver_running = False
        self._listeners: list[Callable[[object], None]] = []
        self._answers: queue.Queue = queue.Queue()
        self._events: queue.Queue = queue.Queue()
        self._stderr = collections.deque(maxlen=40)
        self._lock = threading.Lock()
        self._current = ''
        self._block: list[str] | None = None
        self._report_part: str | None = None
        self._results_tail = 0
        self._hand_order = None
        self._dead = False
        if not os.path.isfile(self.path) or not os.access(self.path, os.X_OK):
            raise FileNotFoundError(f'engine not found or not executable: {self.path} '
                                    '(looked at TRAVANTO_ENGINE, then for travanto on PATH, then '
                                    'at the checkout\'s build/travanto; build it with make build, '
                                    'or set TRAVANTO_ENGINE)')
        self.process = subprocess.Popen([self.path, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        cwd=cwd, bufsize=0)
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        self._stderr_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._stderr_reader.start()
        try:
            banner = self._next_line(min(timeout, 30.0), 'the banner')
        except EngineError:
            self._kill()
            self._close_streams()
            raise
        if not banner.startswith(b'Travanto'):
            self._kill()
            self._close_streams()
            raise EngineError('', f'{self.path} is not the engine: its first line was '
                              f'{banner[:80].decode("latin-1")!r}')
        self.banner = banner.decode('latin-1').strip()

    # -- process and streams

    @property
    def pid(self) -> int:
        return self.process.pid

    def _read_stderr(self) -> None:
        for raw in iter(self.process.stderr.readline, b''):
            self._stderr.append(raw.decode('latin-1').rstrip('\n'))

    def _read_stdout(self) -> None:
        # Buffered: a raw pipe's readline reads one byte per system call.
        stream = io.BufferedReader(self.process.stdout, 1 << 16)
        try:
            for raw in iter(stream.readline, b''):
                line = raw.rstrip(b'\n').rstrip(b'\r')
                if not self._solver_line(line):
                    self._answers.put(line)
        finally:
            self._answers.put(None)
            self._events.put(None)

    def _solver_line(self, raw: bytes) -> bool:
        """Takes the solver thread's lines out of the stream; True when `raw` was one."""
        if raw.startswith(MARK):
            return False
        line = raw.decode('latin-1')
        if self._block is not None:                 # console-mode report block
            self._block.append(line)
            if line != 'END':
                return True
            lines, self._block = self._block, None
            try:
                report = parse_report_block(lines)
            except ValueError:
                return True
            self.reports.append(report)
            self._publish(report)
            return True
        if self._results_tail:
            # The two "#" lines after a calc_results END belong to that answer.
            self._results_tail -= 1
            if line.startswith('#'):
                return False
            self._results_tail = 0
        if line.startswith('#SOLVER:'):
            try:
                report = parse_report_line(line)
            except ValueError:
                return False
            self.reports.append(report)
            self._report_part = 'iterations'       # published once its count arrives
            return True
        m = _ITERATIONS.match(line)
        if m and self._report_part == 'iterations':
            report = dataclasses.replace(self.reports[-1], iterations=int(m.group(1)))
            self.reports[-1] = report
            self._report_part = 'storage'
            self._publish(report)
            return True
        m = _STORAGE.match(line)
        if m and self._report_part == 'storage':
            self.reports[-1] = dataclasses.replace(self.reports[-1], storage_read=int(m.group(1)),
                                                   storage_write=int(m.group(2)))
            self._report_part = None
            return True
        if line == 'SOLVER: started':
            self.solver_running = True
            self._publish('started')
            return True
        m = _STOPPED.match(line)
        if m:
            if self._report_part == 'iterations':   # a report whose count never came
                self._publish(self.reports[-1])
            self._report_part = None
            self.solver_running = False
            self.stop_reasons.append(m.group(1))
            self._publish(SolverStopped(m.group(1)))
            return True
        if line == 'SOLVER:':
            self._block = [line]
            return True
        if line == 'END' and self._current == 'calc_results':
            self._results_tail = 2
        return False

    def _publish(self, event) -> None:
        self._events.put(event)
        for listener in list(self._listeners):
            listener(event)

    def _next_line(self, timeout: float | None, waiting_for: str) -> bytes:
        try:
            line = self._answers.get(timeout=timeout)
        except queue.Empty:
            self._kill()
            raise EngineTimeout(waiting_for, f'no answer within {timeout:g} s; engine killed')
        if line is None:
            self._answers.put(None)
            raise EngineDied(waiting_for, self._death(f'while waiting for {waiting_for}'))
        return line

    def _death(self, when: str) -> str:
        """Why the engine ended, with the last lines it wrote to stderr. Its stdout has closed,
        so stderr ends too: the reader is given a moment to take the last lines in."""
        self._dead = True
        code = self.process.wait()
        self._stderr_reader.join(timeout=2.0)
        tail = '; '.join(self._stderr)
        return f'engine ended (exit status {code}) {when}' + (f'; stderr: {tail}' if tail else '')

    def kill(self) -> None:
        """Ends the engine at once."""
        self._kill()

    def _kill(self) -> None:
        self._dead = True
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    # -- commands

    def add_listener(self, listener: Callable[[object], None]) -> None:
        """Called on the reader thread with each SolverReport (once its iteration count is
        known), 'started' and SolverStopped."""
        self._listeners.append(listener)

    def events(self, timeout: float | None = None):
        """The next solver event ('started', a SolverReport or SolverStopped), or None after
        `timeout` seconds without one. Raises EngineDied once the engine's output has ended."""
        try:
            event = self._events.get(timeout=timeout)
        except queue.Empty:
            return None
        if event is None:
            self._events.put(None)
            raise EngineDied('', self._death('while solving'))
        return event

    def request(self, command: str, timeout: float | None = ...) -> Answer:
        """Sends one command line and returns its whole answer."""
        if '\n' in command or '\r' in command:
            raise ValueError('one command per call: the text holds a line break')
        word = command.split(' ', 1)[0] if command.strip() else ''
        if word in ('stdoutredi', 'stdoutredi_append'):
            raise ValueError(f'{word} would send the answers away from this client')
        if word == 'exit':
            raise ValueError('use close() to end the engine')
        if timeout is ...:
            timeout = self.timeout
        with self._lock:
            if self._dead:
                raise EngineDied(command, 'engine is not running')
            self._current = command.split()[0] if command.split() else ''
            try:
                self.process.stdin.write(command.encode('latin-1') + b'\n' + PROBE)
                self.process.stdin.flush()
            except (BrokenPipeError, OSError):
                self._next_line(1.0, command)   # raises EngineDied with the exit status
                raise EngineDied(command, 'engine closed its input')
            deadline = None if timeout is None else time.monotonic() + timeout
            lines, diagnostics = [], []
            while True:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                raw = self._next_line(left, command)
                if raw == PROBE_ANSWER:
                    break
                line = raw.decode('latin-1')
                (diagnostics if line.startswith('#') else lines).append(line)
        errors = [line for line in lines if is_error_line(line)]
        if errors:
            raise EngineError(command, '\n'.join(errors), lines)
        return Answer(lines, diagnostics)

    def command(self, command: str, timeout: float | None = ...) -> list[str]:
        return self.request(command, timeout).lines

    def expect_ok(self, command: str, timeout: float | None = ...) -> None:
        """A command whose only answer is "<word> ok!"."""
        lines = self.command(command, timeout)
        word = command.split()[0]
        if lines != [f'{word} ok!']:
            raise EngineError(command, 'unexpected answer: ' + ' | '.join(lines)[:200], lines)

    def block(self, command: str, timeout: float | None = ...) -> list[str]:
        """A command that answers a block ended by END; returns the lines before END."""
        lines = self.command(command, timeout)
        if not lines or lines[-1] != 'END':
            raise EngineError(command, 'answer without END: ' + ' | '.join(lines)[:200], lines)
        return lines[:-1]

    # -- typed helpers

    def hand_order(self):
        """The engine's hand order, read once with show_hand_order."""
        if self._hand_order is None:
            from .ranges import HandOrder
            lines = self.command('show_hand_order')
            if len(lines) != 1:
                raise EngineError('show_hand_order', 'expected one line, got %d' % len(lines))
            self._hand_order = HandOrder(lines[0].split())
        return self._hand_order

    def vectors(self, command: str, count: int | None = None) -> list[list[float]]:
        """An answer made of per-hand lines (1,326 numbers each), END optional."""
        lines = self.command(command)
        if lines and lines[-1] == 'END':
            lines = lines[:-1]
        out = []
        for line in lines:
            values = line.split()
            if len(values) != 1326:
                if count is not None and len(out) >= count:
                    break
                raise EngineError(command, f'expected 1326 values per line, got {len(values)}')
            out.append([float(v) for v in values])
        if count is not None and len(out) != count:
            raise EngineError(command, f'expected {count} per-hand lines, got {len(out)}')
        return out

    def calc_results(self, timeout: float | None = ...) -> Results:
        answer = self.request('calc_results', timeout)
        if not answer.lines or answer.lines[-1] != 'END':
            raise EngineError('calc_results', 'answer without END')
        return parse_results(answer.lines[:-1], answer.diagnostics)

    def go(self, seconds: int | None = None, steps: int | None = None) -> None:
        """Starts the solver in the background; at most one limit."""
        if seconds is not None and steps is not None:
            raise ValueError('go takes one limit: seconds or steps')
        if seconds is not None:
            self.expect_ok(f'go {int(seconds)} seconds')
        elif steps is not None:
            self.expect_ok(f'go {int(steps)} steps')
        else:
            self.expect_ok('go')

    def stop(self) -> None:
        self.expect_ok('stop')

    def wait_for_solver(self, timeout: float | None = None) -> str | None:
        """Blocks until the solver has stopped; returns the last stop reason."""
        self.command('wait_for_solver', timeout=timeout)
        return self.stop_reasons[-1] if self.stop_reasons else None

    # -- life

    def close(self) -> int | None:
        """Sends exit, waits `close_timeout` seconds, then kills. Returns the exit status."""
        if self.process.poll() is None and not self._dead:
            try:
                with self._lock:
                    self.process.stdin.write(b'exit\n')
                    self.process.stdin.flush()
            except (BrokenPipeError, OSError):
                pass
        self._dead = True
        try:
            return self.process.wait(timeout=self.close_timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
        finally:
            self._close_streams()

    def _close_streams(self) -> None:
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass

    def __enter__(self) -> 'Engine':
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def memory_mb(self) -> float | None:
        """Resident memory of the engine process in MB (Linux /proc), None when unknown."""
        try:
            with open(f'/proc/{self.process.pid}/status') as status:
                for line in status:
                    if line.startswith('VmRSS:'):
                        return int(line.split()[1]) / 1024.0
        except OSError:
            return None
        return None
