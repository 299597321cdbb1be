"""The report as a browser draws it: a headless Chromium screenshot must show the strategy
grid, each cell's bars in the colours and at the places the report's SVG gives them.
Run by make check-report (which installs Debian's chromium when run as root)."""

import os
import shutil
import struct
import subprocess
import unittest
import zlib

import support
from travanto.report import CELL, EMPTY_COLOUR, INNER, action_colours, grid_classes, render
from travanto.solve import read_node, solve
from travanto.spot import load_spot

SPOT = '''
board = "Qh 8c 3d 3s"
pot = 100
stack = 300
[ranges]
oop = "22+,A2s+,K8s+,Q9s+,J9s+,T9s,ATo+,KJo+"
ip = "22+,A2s+,K5s+,Q8s+,J8s+,T8s+,98s,A8o+,KTo+,QJo"
[tree]
bet = [50]
raise = ["3x"]
allin = true
raise_cap = 1
[solver]
threads = 2
max_iterations = 200
[report]
title = "Screenshot"
nodes = ["r:0"]
'''
WIDTH, HEIGHT = 1200, 1300


def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit, non-interlaced RGB or RGBA PNG."""
    with open(path, 'rb') as f:
        data = f.read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
    pos, idat = 8, b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour)
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, prev))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 255
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b, c = prev[i], prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        prev = line
        rgb = line if bpp == 3 else bytearray(v for i, v in enumerate(line) if i % 4 != 3)
        rows.append(bytes(rgb))
    return width, height, rows


def rgb(colour):
    return bytes(int(colour[i:i + 2], 16) for i in (1, 3, 5))


class ScreenshotTest(support.TempDirCase):

    def test_grid_is_drawn(self):
        browser = os.environ.get('CHROMIUM') or shutil.which('chromium') \
            or shutil.which('chromium-browser')
        self.assertIsNotNone(browser, 'chromium not installed (make check-report installs it)')
        spot_path = self.write('spot.toml', SPOT)
        spot = load_spot(spot_path)
        with support.engine() as e:
            order = e.hand_order()
            solved = solve(e, spot)
            node = read_node(e, 'r:0', spot.stack)
        colours = action_colours(node, spot.stack)
        report = self.write('report.html', render(spot, solved, [node], order, ('a', 'b')))
        shot = self.path('shot.png')
        command = [browser, '--headless', '--disable-gpu', '--hide-scrollbars',
                   '--force-device-scale-factor=1', f'--window-size={WIDTH},{HEIGHT}',
                   f'--user-data-dir={self.path("profile")}', f'--screenshot={shot}',
                   'file://' + report]
        if os.geteuid() == 0:
            command.insert(1, '--no-sandbox')
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=False)
        self.assertTrue(os.path.exists(shot), 'chromium wrote no screenshot')
        width, height, rows = read_png(shot)
        self.assertEqual((width, height), (WIDTH, HEIGHT))

        # Where each cell must show which colour: 5 px below its top, in the middle of its
        # widest bar (the label sits lower), or the empty colour.
        board = set(node.board)
        samples = []
        for i, j, name in grid_classes():
            positions = [p for p in order.by_class[name]
                         if node.reach[p] > 0 and not order.touches(p, board)]
            x0, y0 = j * CELL, i * CELL
            if not positions:
                samples.append((x0 + 5, y0 + 5, rgb(EMPTY_COLOUR), name))
                continue
            freqs = node.frequencies(positions)
            a = max(range(len(freqs)), key=lambda k: freqs[k])
            left = x0 + 1 + sum(freqs[:a]) * INNER
            samples.append((int(left + freqs[a] * INNER / 2), y0 + 5, rgb(colours[a]), name))
        self.assertGreater(sum(s[2] != rgb(EMPTY_COLOUR) for s in samples), 20)

        def pixel(x, y):
            return rows[y][3 * x:3 * x + 3]

        def close(a, b):
            return all(abs(p - q) <= 4 for p, q in zip(a, b))

        # The grid's origin: try every place where the first coloured sample's colour shows.
        first = next(s for s in samples if s[2] != rgb(EMPTY_COLOUR))
        found = None
        for y in range(height):
            row = rows[y]
            start = 0
            while found is None:
                k = row.find(first[2], start)
                if k < 0:
                    break
                start = k + 1
                if k % 3:
                    continue
                ox, oy = k // 3 - first[0], y - first[1]
                if ox < 0 or oy < 0 or ox + 13 * CELL > width or oy + 13 * CELL > height:
                    continue
                if all(close(pixel(ox + sx, oy + sy), colour) for sx, sy, colour, _ in samples):
                    found = (ox, oy)
            if found:
                break
        self.assertIsNotNone(found, 'no 13x13 strategy grid with the report\'s colours in '
                             'the screenshot')


if __name__ == '__main__':
    unittest.main()
