"""The studio's JSON interface against a real engine: the requests it must refuse (no token,
names outside the workspace, bad fields, oversized bodies), 127.0.0.1 only, and an engine that
dies while solving. Set-up, browsing, saving and locks: browser_test.js."""

import http.client
import json
import os
import threading
import urllib.error
import urllib.request

import support
from travanto.studio.server import MAX_BODY, make_server, studio_url

RIVER = {'board': 'Td 9d 6h Qc 2s', 'pot': 200, 'stack': 900,
         'ranges': {'oop': 'QQ+,AK,T9s,65s', 'ip': 'JJ-88,AQ,KQ,QJs'},
         'tree': {'bet': [50], 'raise': ['3x'], 'allin': True}}
TURN = dict(RIVER, board='Td 9d 6h Qc', tree={'bet': [50], 'raise': ['3x'], 'allin': False, 'raise_cap': 1})


class StudioCase(support.TempDirCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = support.class_folder(cls)
        cls.server = s = make_server(cls.workspace, 0, support.ENGINE)
        cls.url = studio_url(s)
        threading.Thread(target=s.serve_forever, daemon=True).start()
        for cleanup in (s.server_close, s.studio.close, s.shutdown):   # run last to first
            cls.addClassCleanup(cleanup)

    def call(self, path, body=None, raw=None, method=None):
        data = raw if raw is not None else None if body is None else json.dumps(body).encode()
        url = path if path.startswith('http') else self.url + path
        req = urllib.request.Request(url, data=data, method=method or ('GET' if data is None else 'POST'))
        try:
            with urllib.request.urlopen(req, timeout=120) as r:
                return r.status, json.load(r)
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b'{}')

    def ok(self, path, body=None):
        status, data = self.call(path, body)
        self.assertEqual(status, 200, data)
        return data

    def engine_of(self, sid):
        return self.server.studio.sessions[sid].engine


class Refusals(StudioCase):
    def test_requests_without_the_token_outside_the_workspace_or_with_bad_fields(self):
        self.assertEqual(self.server.server_address[0], '127.0.0.1')
        self.assertTrue(self.url.startswith('http://127.0.0.1:'), self.url)
        sid = self.ok('api/sessions', {})['id']
        root = self.url.split('/s/')[0] + '/'
        cases = [('GET', root, None, 403, 'token'), ('DELETE', root + 'api/saved', None, 403, 'token'),
                 ('GET', root + 's/wrong-token/api/info', None, 403, 'token'),
                 ('GET', root + 's/wrong-token/', None, 403, 'token'),
                 ('POST', f'api/sessions/{sid}/build', b'{not json', 400, 'body'),
                 ('POST', f'api/sessions/{sid}/build', b'[1]', 400, 'body'),
                 ('GET', 'api/sessions/nope', None, 404, 'session'), ('GET', 'api/nothing', None, 404, 'endpoint'),
                 ('GET', f'api/sessions/{sid}/node?path=r:0', None, 409, 'no tree'),
                 ('POST', 'api/range/parse', b'{"text": "AK,Q"}', 400, 'text'),
                 ('GET', 'static/../session.py', None, 404, 'no file')]
        # the values themselves are checked by parse_spot (test_report's SpotTest); here how a refusal names them
        for setup, field in [({'board': 'Td Td 6h'}, 'board'), ({'ranges': {'oop': 'ZZ', 'ip': 'AA'}}, 'ranges.oop'),
                             ({'ranges': {'oop': [2] * 1326, 'ip': 'AA'}}, 'ranges.oop'),
                             ({'tree': {'river': {'oop': {'raise': ['0.5x']}}}}, 'tree.river.oop.raise')]:
            cases.append(('POST', f'api/sessions/{sid}/build', json.dumps({'setup': {**RIVER, **setup}}).encode(),
                          400, field))
        for name in ('../escape', '/etc/passwd', 'a/b', '.hidden', '', 'x' * 65, 7):
            for path in ('api/saved/open', f'api/sessions/{sid}/save'):
                cases.append(('POST', path, json.dumps({'name': name}).encode(), 400, 'name'))
        # A file of the workspace that leads outside it is refused like a bad name.
        with open(self.path('outside.json'), 'w') as f:
            json.dump({'setup': RIVER}, f)
        os.symlink(self.path('outside.json'), os.path.join(self.workspace, 'link.json'))
        cases.append(('POST', 'api/saved/open', b'{"name": "link"}', 400, 'outside'))
        for method, path, raw, status, word in cases:
            with self.subTest(path=path, raw=raw and raw[:60]):
                code, data = self.call(path, raw=raw, method=method)
                self.assertEqual(code, status, data)
                self.assertIn(word, data['error'])
        # A body over the limit is refused from its Content-Length, before it is read.
        host, port = self.server.server_address[:2]
        conn = http.client.HTTPConnection(host, port, timeout=30)
        conn.putrequest('POST', self.url.split(str(port), 1)[1] + f'api/sessions/{sid}/build')
        conn.putheader('Content-Length', str(MAX_BODY + 1))
        conn.endheaders()
        response = conn.getresponse()
        self.assertEqual((response.status, 'body' in json.loads(response.read())['error']), (413, True))
        conn.close()
        self.assertEqual(os.listdir(self.workspace), ['link.json'])
        os.remove(os.path.join(self.workspace, 'link.json'))

    def test_an_engine_killed_while_solving_is_reported_and_the_server_stays_up(self):
        sid = self.ok('api/sessions', {})['id']
        self.ok(f'api/sessions/{sid}/build', {'setup': TURN})
        self.ok(f'api/sessions/{sid}/solve', {'threads': 1, 'accuracy': 0, 'max_seconds': 60})
        self.engine_of(sid).process.kill()
        self.engine_of(sid).process.wait()
        code, data = self.call(f'api/sessions/{sid}/node?path=r:0')
        self.assertEqual(code, 502, data)
        progress = self.ok(f'api/sessions/{sid}')
        self.assertEqual(progress['state'], 'dead')
        self.assertIn('engine', progress['error'])
        self.assertEqual(len(self.ok('api/info')['hand_order']), 1326)
        self.ok(f'api/sessions/{sid}/close', {})

