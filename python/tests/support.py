"""Shared by the client's tests: the engine under test, a temporary folder per test, and
Chromium screenshots read back as pixels."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from travanto import Engine, default_engine_path  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
ENGINE = default_engine_path()
CHROMIUM = os.environ.get('CHROMIUM') or shutil.which('chromium') or shutil.which('chromium-browser')


class TempDirCase(unittest.TestCase):
    """A test whose files live in a temporary folder removed afterwards."""

    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix='travanto-test-')
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def write(self, name, text, mode=0o644):
        path = self.path(name)
        with open(path, 'w') as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def screenshot(self, page, width, height):
        """Rows of RGB bytes of a headless Chromium screenshot of the file `page`."""
        shot = self.path('shot.png')
        subprocess.run([CHROMIUM, '--headless', '--disable-gpu', '--hide-scrollbars', '--force-device-scale-factor=1',
                        f'--window-size={width},{height}', f'--user-data-dir={self.path("profile")}',
                        f'--screenshot={shot}', 'file://' + page] + (['--no-sandbox'] if os.geteuid() == 0 else []),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=False)
        self.assertTrue(os.path.exists(shot), 'chromium wrote no screenshot')
        size, rows = read_png(shot)
        self.assertEqual(size, (width, height))
        return rows


def read_png(path):
    """((width, height), rows of RGB bytes) of an 8-bit, non-interlaced RGB or RGBA PNG."""
    with open(path, 'rb') as f:
        data = f.read()
    pos, idat = 8, b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', data[pos + 8:pos + 21])
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour)
        idat += data[pos + 8:pos + 8 + length] if kind == b'IDAT' else b''
        pos += 12 + length
    bpp, raw = 3 if colour == 2 else 4, zlib.decompress(idat)
    stride, rows, prev = width * bpp, [], bytearray(width * bpp)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 2:
            line = bytearray((x + y) & 255 for x, y in zip(line, prev))
        for i in range(stride) if kind in (1, 3, 4) else ():   # the filters sub, average, Paeth
            a, b, c = line[i - bpp] if i >= bpp else 0, prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pred = [0, a, b, (a + b) >> 1, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else
                    b if abs(p - b) <= abs(p - c) else c][kind]
            line[i] = (line[i] + pred) & 255
        prev = line
        rows.append(bytes(line if bpp == 3 else (v for i, v in enumerate(line) if i % 4 != 3)))
    return (width, height), rows


def rgb(colour):
    return bytes(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def engine(**kwargs):
    return Engine(ENGINE, timeout=60, **kwargs)

