"""The studio's HTTP server: the page's files and a JSON interface, on 127.0.0.1 only.

Every URL starts with /s/<token>/; anything else is refused with 403. Request bodies are JSON
objects of at most MAX_BODY bytes. A field that cannot be used answers 400 with a message that
starts with the field's name; an engine that ended or stopped answering answers 502 and its
spot is marked dead, the server goes on.
"""

from __future__ import annotations

import hmac
import http.server
import json
import mimetypes
import os
import secrets
import threading
import time
import traceback
import urllib.parse

from ..engine import Engine, EngineDied, EngineError, EngineTimeout, default_engine_path
from ..ranges import RangeError, format_range, parse_range
from .session import BadField, Busy, Session
from .workspace import Workspace, WorkspaceError

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'static')
MAX_BODY = 1 << 20
EVENT_TICK = 0.5


class HttpError(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


class Studio:
    """What the handlers share: the workspace, the open spots and the engine's facts."""

    def __init__(self, workspace: str, engine_path: str | None = None):
        self.workspace = Workspace(workspace)
        self.engine_path = engine_path or default_engine_path()
        self.token = secrets.token_urlsafe(18)
        self.sessions: dict[str, Session] = {}
        self.lock = threading.Lock()
        self.closing = threading.Event()
        with Engine(self.engine_path, timeout=30) as engine:
            self.order = engine.hand_order()
            try:
                self.version = engine.command('show_version')[0]
            except EngineError:
                self.version = engine.banner

    def session(self, sid: str) -> Session:
        s = self.sessions.get(sid)
        if s is None:
            raise HttpError(404, f'session: no open spot {sid!r}')
        return s

    def new_session(self) -> Session:
        s = Session(self.engine_path, self.workspace)
        with self.lock:
            self.sessions[s.id] = s
        return s

    def close(self) -> None:
        self.closing.set()
        for s in list(self.sessions.values()):
            s.close()


def body_field(body: dict, name: str, kind=str):
    value = body.get(name)
    if not isinstance(value, kind) or isinstance(value, bool) and kind is not bool:
        raise BadField(f'{name}: missing or not {kind.__name__}')
    return value


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = 'TravantoStudio'
    protocol_version = 'HTTP/1.1'
    studio: Studio = None

    def log_message(self, fmt, *args) -> None:      # quiet: the terminal shows the URL only
        pass

    # -- plumbing

    def send_json(self, status: int, data) -> None:
        raw = json.dumps(data, allow_nan=False).encode()
        self.send_response(status)
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(raw)))
        self.send_header('Cache-Control', 'no-store')
        self.end_headers()
        self.wfile.write(raw)

    def read_body(self) -> dict:
        length = self.headers.get('Content-Length')
        if length is None:
            if self.headers.get('Transfer-Encoding'):
                raise HttpError(411, 'body: send a Content-Length')
            return {}
        try:
            n = int(length)
        except ValueError:
            raise HttpError(400, 'Content-Length: not a number') from None
        if n < 0 or n > MAX_BODY:
            self.close_connection = True          # the unread body must not pass for a request
            raise HttpError(413, f'body: larger than {MAX_BODY} bytes')
        raw = self.rfile.read(n)
        if not raw:
            return {}
        try:
            body = json.loads(raw)
        except (ValueError, UnicodeDecodeError) as e:
            raise HttpError(400, f'body: not valid JSON ({e})') from None
        if not isinstance(body, dict):
            raise HttpError(400, 'body: expected a JSON object')
        return body

    def route(self) -> tuple[list[str], dict]:
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.split('/')
        # ['', 's', token, ...]
        if len(parts) < 3 or parts[1] != 's' or \
                not hmac.compare_digest(parts[2].encode(), self.studio.token.encode()):
            raise HttpError(403, 'forbidden: the URL lacks the session token')
        query = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        return [urllib.parse.unquote(p) for p in parts[3:]], query

    def do_GET(self) -> None:
        self.handle_request('GET')

    def do_POST(self) -> None:
        self.handle_request('POST')

    def do_PUT(self) -> None:
        self.handle_request('PUT')

    do_DELETE = do_PATCH = do_PUT

    def handle_request(self, method: str) -> None:
        try:
            parts, query = self.route()
            body = self.read_body() if method == 'POST' else {}
            if parts[:1] == ['api']:
                result = self.api(method, parts[1:], query, body)
                if result is not None:
                    self.send_json(200, result)
            elif method == 'GET':
                self.static(parts)
            else:
                raise HttpError(405, 'method: POST goes to /api/')
        except HttpError as e:
            self.send_error_json(e.status, e.message)
        except (BadField, WorkspaceError, RangeError) as e:
            self.send_error_json(400, str(e))
        except Busy as e:
            self.send_error_json(409, str(e))
        except (EngineDied, EngineTimeout) as e:
            self.mark_dead(e)
            self.send_error_json(502, f'engine: {e.text}')
        except EngineError as e:
            self.send_error_json(400, f'engine: {e}')
        except FileNotFoundError as e:                # the engine program went away
            self.send_error_json(502, f'engine: {e}')
        except (BrokenPipeError, ConnectionResetError):
            pass
        except Exception as e:                    # never let one request end the server
            traceback.print_exc()
            self.send_error_json(500, f'internal error: {type(e).__name__}: {e}')

    def send_error_json(self, status: int, message: str) -> None:
        try:
            self.send_json(status, {'error': message})
        except (BrokenPipeError, ConnectionResetError):
            pass

    def mark_dead(self, error: EngineError) -> None:
        for s in self.studio.sessions.values():
            if s.engine.process.poll() is not None or s.engine._dead:
                if s.state != 'dead':
                    s.died(f'the engine ended or stopped answering: {error.text}')

    def static(self, parts: list[str]) -> None:
        name = 'index.html' if parts in ([], ['']) else '/'.join(parts)
        if name.startswith('static/'):
            name = name[len('static/'):]
        if '/' in name or name.startswith('.') or not name:
            raise HttpError(404, f'no file {name!r}')
        path = os.path.join(STATIC, name)
        if not os.path.isfile(path):
            raise HttpError(404, f'no file {name!r}')
        with open(path, 'rb') as f:
            raw = f.read()
        kind = {'.js': 'text/javascript', '.css': 'text/css',
                '.html': 'text/html'}.get(os.path.splitext(name)[1]) or \
            mimetypes.guess_type(name)[0] or 'application/octet-stream'
        self.send_response(200)
        self.send_header('Content-Type', kind + '; charset=utf-8')
        self.send_header('Content-Length', str(len(raw)))
        self.send_header('Cache-Control', 'no-store')
        self.send_header('Content-Security-Policy', "default-src 'self'; style-src 'self' "
                         "'unsafe-inline'; img-src 'self' data:")
        self.end_headers()
        self.wfile.write(raw)

    # -- the interface

    def api(self, method: str, parts: list[str], query: dict, body: dict):
        st = self.studio
        key = (method, parts[0] if parts else '')
        if key == ('GET', 'info'):
            return {'version': st.version, 'workspace': st.workspace.folder,
                    'hand_order': st.order.names, 'engine': st.engine_path}
        if parts[:1] == ['range'] and method == 'POST':
            if parts[1:] == ['parse']:
                text = body_field(body, 'text')
                try:
                    weights = parse_range(text, st.order)
                except RangeError as e:
                    raise BadField(f'text: {e}') from None
                return {'weights': weights, 'text': format_range(weights, st.order)}
            if parts[1:] == ['format']:
                weights = body.get('weights')
                if not isinstance(weights, list) or len(weights) != 1326 or not all(
                        isinstance(w, (int, float)) and not isinstance(w, bool) and 0 <= w <= 1
                        for w in weights):
                    raise BadField('weights: 1,326 numbers from 0 to 1 in hand order')
                return {'text': format_range([float(w) for w in weights], st.order)}
        if parts == ['saved'] and method == 'GET':
            return {'spots': st.workspace.list(), 'workspace': st.workspace.folder}
        if parts[:1] == ['saved'] and method == 'POST':
            name = st.workspace.check_name(body.get('name'))
            if parts[1:] == ['open']:
                st.workspace.read_setup(name)          # refuses early, before an engine starts
                s = st.new_session()
                try:
                    return s.open(name)
                except Exception:
                    s.close()
                    st.sessions.pop(s.id, None)
                    raise
            if parts[1:] == ['delete']:
                for s in st.sessions.values():
                    if s.name == name and s.state == 'solving':
                        raise Busy(f'name: {name} is being solved; stop it first')
                st.workspace.delete(name)
                return {'deleted': name}
        if parts == ['sessions']:
            if method == 'GET':
                return {'sessions': [s.progress() for s in st.sessions.values()]}
            s = st.new_session()
            return s.progress()
        if parts[:1] == ['sessions'] and len(parts) >= 2:
            s = st.session(parts[1])
            action = parts[2] if len(parts) > 2 else ''
            if method == 'GET':
                if action == '':
                    return s.summary()
                if action == 'events':
                    self.events(s)
                    return None
                if action == 'node':
                    return s.node(query.get('path', 'r:0'))
                if action == 'chance':
                    return s.chance(query.get('path'))
                if action == 'lock':
                    return s.lock_compare(query.get('path'))
                if action == 'memory':
                    s.require_tree()
                    return {'memory_need': s.memory_need()}
            else:
                if action == 'build':
                    return s.build(body.get('setup', body))
                if action == 'solve':
                    return s.solve(body)
                if action == 'stop':
                    return s.stop()
                if action == 'lock':
                    return s.lock(body)
                if action == 'unlock':
                    return s.unlock(body)
                if action == 'save':
                    return s.save(body.get('name'), body.get('overwrite') is True)
                if action == 'close':
                    s.close()
                    st.sessions.pop(s.id, None)
                    return {'closed': s.id}
        raise HttpError(404, f'no endpoint {method} /api/{"/".join(parts)}')

    def events(self, s: Session) -> None:
        """Server-sent events: the solver's progress every EVENT_TICK seconds while it changes,
        a comment line otherwise, until the client goes away or the server closes."""
        self.send_response(200)
        self.send_header('Content-Type', 'text/event-stream')
        self.send_header('Cache-Control', 'no-store')
        self.send_header('Connection', 'close')
        self.end_headers()
        self.close_connection = True
        last, quiet = None, 0
        while not self.studio.closing.is_set():
            data = json.dumps(s.progress(), allow_nan=False)
            if data != last:
                self.wfile.write(f'data: {data}\n\n'.encode())
                last, quiet = data, 0
            else:
                quiet += 1
                if quiet % 20 == 0:
                    self.wfile.write(b': idle\n\n')
            self.wfile.flush()
            if s.id not in self.studio.sessions:
                return
            time.sleep(EVENT_TICK)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_server(workspace: str, port: int = 0, engine_path: str | None = None):
    """The server (not yet serving) and its Studio; the page's URL is studio_url(server)."""
    studio = Studio(workspace, engine_path)
    handler = type('BoundHandler', (Handler,), {'studio': studio})
    server = Server(('127.0.0.1', port), handler)
    server.studio = studio
    return server


def studio_url(server) -> str:
    host, port = server.server_address[:2]
    return f'http://{host}:{port}/s/{server.studio.token}/'
