"""The studio's JSON interface against a real engine: set-up, solving, every browse endpoint,
locks, saving and reopening, and the requests it must refuse."""

import http.client
import json
import os
import threading
import time
import unittest
import urllib.error
import urllib.request

import support
from travanto.studio.server import MAX_BODY, make_server, studio_url
from travanto.studio.session import parse_memory_need

RIVER = {'board': 'Td 9d 6h Qc 2s', 'pot': 200, 'stack': 900,
         'ranges': {'oop': 'QQ+,AK,T9s,65s', 'ip': 'JJ-88,AQ,KQ,QJs'},
         'tree': {'bet': [50], 'raise': ['3x'], 'allin': True}}
TURN = dict(RIVER, board='Td 9d 6h Qc', tree={'bet': [50], 'allin': False, 'raise_cap': 1})


class StudioCase(support.TempDirCase):
    @classmethod
    def setUpClass(cls):
        import tempfile
        cls.workspace = tempfile.mkdtemp(prefix='travanto-studio-')
        cls.server = make_server(cls.workspace, 0, support.ENGINE)
        cls.url = studio_url(cls.server)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        import shutil
        cls.server.shutdown()
        cls.server.studio.close()
        cls.server.server_close()
        shutil.rmtree(cls.workspace, ignore_errors=True)

    def call(self, path, body=None, raw=None, base=None):
        data = raw if raw is not None else None if body is None else json.dumps(body).encode()
        req = urllib.request.Request((base or self.url) + path, data=data,
                                     method='GET' if data is None else 'POST')
        try:
            with urllib.request.urlopen(req, timeout=120) as r:
                return r.status, json.load(r)
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b'{}')

    def ok(self, path, body=None):
        status, data = self.call(path, body)
        self.assertEqual(status, 200, data)
        return data

    def solved(self, setup, accuracy=1.0):
        sid = self.ok('api/sessions', {})['id']
        self.ok(f'api/sessions/{sid}/build', {'setup': setup})
        self.ok(f'api/sessions/{sid}/solve', {'threads': 1, 'accuracy': accuracy})
        deadline = time.monotonic() + 120
        while self.ok(f'api/sessions/{sid}')['state'] == 'solving':
            self.assertLess(time.monotonic(), deadline, 'solver did not stop')
            time.sleep(0.2)
        return sid

    def engine_of(self, sid):
        return self.server.studio.sessions[sid].engine


class Refusals(StudioCase):
    def test_requests_without_the_token_or_with_bad_fields(self):
        sid = self.ok('api/sessions', {})['id']
        root = self.url.split('/s/')[0] + '/'
        bad_setups = [
            ({**RIVER, 'board': 'Td 9d'}, 'board'),
            ({**RIVER, 'board': 'Td Td 6h'}, 'board'),
            ({**RIVER, 'pot': -5}, 'pot'),
            ({**RIVER, 'stack': 'lots'}, 'stack'),
            ({**RIVER, 'ranges': {'oop': 'ZZ', 'ip': 'AA'}}, 'ranges.oop'),
            ({**RIVER, 'ranges': {'oop': [2] * 1326, 'ip': 'AA'}}, 'ranges.oop'),
            ({**RIVER, 'tree': {'bet': ['huge']}}, 'tree.bet'),
            ({**RIVER, 'tree': {'river': {'oop': {'raise': ['0.5x']}}}}, 'tree.river.oop.raise'),
            ({**RIVER, 'solver': {'threads': -1}}, 'solver.threads'),
            ({**RIVER, 'colour': 'red'}, 'colour'),
        ]
        cases = [('GET', root, None, None, 403, 'token'),
                 ('DELETE', root + 'api/saved', None, None, 403, 'token'),
                 ('GET', root + 's/wrong-token/api/info', None, None, 403, 'token'),
                 ('GET', root + 's/wrong-token/', None, None, 403, 'token'),
                 ('POST', None, f'api/sessions/{sid}/build', b'{not json', 400, 'body'),
                 ('POST', None, f'api/sessions/{sid}/build', b'[1]', 400, 'body'),
                 ('GET', None, 'api/sessions/nope', None, 404, 'session'),
                 ('GET', None, 'api/nothing', None, 404, 'endpoint'),
                 ('GET', None, f'api/sessions/{sid}/node?path=r:0', None, 409, 'no tree'),
                 ('POST', None, 'api/range/parse', json.dumps({'text': 'AK,Q'}).encode(), 400, 'text'),
                 ('GET', None, 'static/../session.py', None, 404, 'no file')]
        for setup, field in bad_setups:
            cases.append(('POST', None, f'api/sessions/{sid}/build',
                          json.dumps({'setup': setup}).encode(), 400, field))
        for name in ('../escape', '/etc/passwd', 'a/b', '.hidden', '', 'x' * 65, 7):
            cases.append(('POST', None, 'api/saved/open', json.dumps({'name': name}).encode(),
                          400, 'name'))
            cases.append(('POST', None, f'api/sessions/{sid}/save',
                          json.dumps({'name': name}).encode(), 400, 'name'))
        # A file of the workspace that leads outside it is refused like a bad name.
        outside = self.path('outside.json')
        with open(outside, 'w') as f:
            json.dump({'setup': RIVER}, f)
        os.symlink(outside, os.path.join(self.workspace, 'link.json'))
        cases.append(('POST', None, 'api/saved/open', b'{"name": "link"}', 400, 'outside'))
        for method, absolute, path, raw, status, word in cases:
            with self.subTest(path=path or absolute, raw=raw and raw[:60]):
                if absolute:
                    req = urllib.request.Request(absolute, method=method)
                    with self.assertRaises(urllib.error.HTTPError) as cm:
                        urllib.request.urlopen(req, timeout=30)
                    code, data = cm.exception.code, json.loads(cm.exception.read())
                else:
                    code, data = self.call(path, raw=raw)
                self.assertEqual(code, status, data)
                self.assertTrue(data['error'].startswith(word) or word in data['error'], data)
        # A body over the limit is refused from its Content-Length, before it is read.
        host, port = self.server.server_address[:2]
        conn = http.client.HTTPConnection(host, port, timeout=30)
        conn.putrequest('POST', self.url.split(str(port), 1)[1] + f'api/sessions/{sid}/build')
        conn.putheader('Content-Length', str(MAX_BODY + 1))
        conn.endheaders()
        response = conn.getresponse()
        self.assertEqual(response.status, 413)
        self.assertIn('body', json.loads(response.read())['error'])
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


class MemoryNeed(unittest.TestCase):
    def test_memory_need_lines(self):
        lines = ['level 0: 812.3 MB', 'level 1: 500.1 MB (in force)',
                 'level 2: 300.0 MB (auto) (in force)',
                 'level 3: 180.2 MB (reserves 400.0 MB) (in force)',
                 'hand lists, card tree and scratch: 40.1 MB']
        need = parse_memory_need(lines)
        self.assertEqual([(l['level'], l['mb'], l['reserves_mb'], l['auto'], l['in_force'])
                          for l in need['levels']],
                         [(0, 812.3, None, False, False), (1, 500.1, None, False, True),
                          (2, 300.0, None, True, True), (3, 180.2, 400.0, False, True)])
        self.assertEqual(need['other'], [{'label': 'hand lists, card tree and scratch',
                                          'mb': 40.1}])


class Browse(StudioCase):
    def test_river_node_matches_the_engine_and_locks_change_the_ev(self):
        sid = self.solved(RIVER)
        engine = self.engine_of(sid)
        order = engine.hand_order()
        for path in ('r:0', 'r:0:c', 'r:0:b100'):
            node = self.ok(f'api/sessions/{sid}/node?path={path}')
            with self.subTest(path=path):
                strategy = engine.vectors(f'show_strategy {path}', len(node['actions']))
                player = node['player']
                reach = engine.vectors(f'show_range {player} {path}', 1)[0]
                self.assertEqual(len(node['hands']), sum(1 for w in reach if w > 0) - sum(
                    1 for p, w in enumerate(reach) if w > 0 and order.touches(
                        p, {(r, s) for r, s in __import__('travanto').ranges.parse_board(RIVER['board'])})))
                for h in node['hands']:
                    p = order.names.index(h['hand'])
                    self.assertAlmostEqual(h['weight'], reach[p], places=5)
                    for a, s in enumerate(h['strategy']):
                        self.assertAlmostEqual(s, strategy[a][p], places=5)
                    self.assertAlmostEqual(sum(h['strategy']), 1.0, places=4)
                self.assertAlmostEqual(sum(a['freq'] for a in node['actions']), 1.0, places=4)
                shares = sum(g['share'] for g in node['categories'])
                self.assertAlmostEqual(shares, 1.0, places=4)
                self.assertTrue(all(a['ev'] is not None for a in node['actions']))
        node = self.ok(f'api/sessions/{sid}/node?path=r:0:b100')
        self.assertEqual(node['description'], 'River Td9d6hQc2s · OOP bets 100 (50 %)')
        self.assertEqual([a['label'] for a in node['actions']],
                         ['Fold', 'Call 100', 'Raise to 300', 'All-in 900'])
        end = self.ok(f'api/sessions/{sid}/node?path=r:0:b100:f')
        self.assertEqual(end['kind'], 'END_NODE')
        # Lock IP facing the bet to always fold: OOP's bet gains, IP's EV drops.
        hands = {h['hand']: [1, 0, 0, 0] for h in node['hands']}
        lock = self.ok(f'api/sessions/{sid}/lock', {'path': 'r:0:b100', 'hands': hands})
        locked = self.ok(f'api/sessions/{sid}/node?path=r:0:b100')
        self.assertTrue(locked['locked'])
        self.assertTrue(all(h['strategy'][0] > 0.999 for h in locked['hands']))
        self.ok(f'api/sessions/{sid}/solve', {'threads': 1, 'accuracy': 1})
        while self.ok(f'api/sessions/{sid}')['state'] == 'solving':
            time.sleep(0.2)
        after = self.ok(f'api/sessions/{sid}/lock?path=r:0:b100')['after']
        self.assertLess(after['ev_ip'], lock['before']['ev_ip'] - 1)
        code, data = self.call(f'api/sessions/{sid}/lock', {'path': 'r:0:b100', 'hands': {'AhKh': [1]}})
        self.assertEqual(code, 400, data)
        self.assertIn('hands', data['error'])
        self.ok(f'api/sessions/{sid}/unlock', {'path': 'r:0:b100'})
        self.assertFalse(self.ok(f'api/sessions/{sid}/node?path=r:0:b100')['locked'])
        code, data = self.call(f'api/sessions/{sid}/node?path=r:0:b555')
        self.assertEqual(code, 400, data)
        self.assertIn('r:0:b555', data['error'])

    def test_turn_chance_cards_save_reopen_and_delete(self):
        sid = self.solved(TURN)
        chance = self.ok(f'api/sessions/{sid}/chance?path=r:0:c:c')
        self.assertEqual(len(chance['cards']), 48)
        self.assertNotIn('Td', [c['card'] for c in chance['cards']])
        for row in chance['cards']:
            self.assertAlmostEqual(sum(row['freq']), 1.0, places=4)
            self.assertTrue(row['equity_oop'] is None or 0 <= row['equity_oop'] <= 1)
        river = self.ok(f'api/sessions/{sid}/node?path=r:0:c:c:2s')
        self.assertEqual(river['board'], ['Td', '9d', '6h', 'Qc', '2s'])
        self.assertTrue(river['description'].endswith('OOP checks · IP checks · River 2s'))
        split = self.ok(f'api/sessions/{sid}/node?path=r:0:c:c')
        self.assertEqual(split['kind'], 'SPLIT_NODE')
        code, data = self.call(f'api/sessions/{sid}/chance?path=r:0')
        self.assertEqual(code, 400, data)
        before = self.ok(f'api/sessions/{sid}/node?path=r:0:c:c:2s')
        self.ok(f'api/sessions/{sid}/save', {'name': 'turn-1'})
        self.assertEqual(sorted(os.listdir(self.workspace)), ['turn-1.json', 'turn-1.tree'])
        code, data = self.call(f'api/sessions/{sid}/save', {'name': 'turn-1'})
        self.assertEqual(code, 409, data)
        self.ok(f'api/sessions/{sid}/save', {'name': 'turn-1', 'overwrite': True})
        listed = self.ok('api/saved')['spots']
        self.assertEqual([s['name'] for s in listed], ['turn-1'])
        self.assertEqual(listed[0]['board'], TURN['board'])
        reopened = self.ok('api/saved/open', {'name': 'turn-1'})
        self.assertEqual(reopened['state'], 'stopped')
        again = self.ok(f'api/sessions/{reopened["id"]}/node?path=r:0:c:c:2s')
        self.assertEqual([h['strategy'] for h in again['hands']],
                         [h['strategy'] for h in before['hands']])
        self.assertEqual(self.ok(f'api/sessions/{reopened["id"]}')['setup']['board'], TURN['board'])
        self.ok('api/saved/delete', {'name': 'turn-1'})
        self.assertEqual(os.listdir(self.workspace), [])
        code, data = self.call('api/saved/open', {'name': 'turn-1'})
        self.assertEqual(code, 400, data)
        # Ranges given as weights are stored as text.
        weights = self.ok('api/range/parse', {'text': 'AA,KQs:0.5'})['weights']
        self.assertEqual(self.ok('api/range/format', {'weights': weights})['text'], 'AA,KQs:0.5')
