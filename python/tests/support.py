"""Shared by the client's tests: the engine under test, a temporary folder per test, and the
colours of Chromium screenshots."""

import base64
import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

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

    def chromium(self, url, *args):
        """Headless Chromium on a page; stdout."""
        return subprocess.run([CHROMIUM, '--headless', '--disable-gpu', f'--user-data-dir={self.path("profile")}', *args,
                               url] + (['--no-sandbox'] if os.geteuid() == 0 else []), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=120, check=False).stdout.decode()

    def screenshot_colours(self, page, width, height):
        """The colours ("#rrggbb") of a headless Chromium screenshot of the file `page`, decoded by Chromium."""
        shot = self.path('shot.png')
        self.chromium('file://' + page, '--hide-scrollbars', '--force-device-scale-factor=1',
                      f'--window-size={width},{height}', f'--screenshot={shot}')
        self.assertTrue(os.path.exists(shot), 'chromium wrote no screenshot')
        with open(shot, 'rb') as f:
            data = base64.b64encode(f.read()).decode()
        text = self.chromium('file://' + self.write('decode.html', DECODE % data), '--dump-dom',
                             '--virtual-time-budget=10000')
        size, *colours = text.split('<body>')[-1].split('</body>')[0].split()
        self.assertEqual(size, f'{width}x{height}')
        return set(colours)


# Writes "WIDTHxHEIGHT" and every colour of a base64 PNG into the page body.
DECODE = '''<body><script>
const i = new Image(); i.onload = () => { const c = document.createElement('canvas'); c.width = i.width; c.height = i.height;
const g = c.getContext('2d'); g.drawImage(i, 0, 0); const d = g.getImageData(0, 0, i.width, i.height).data, s = new Set();
for (let k = 0; k < d.length; k += 4) s.add('#' + ((d[k] << 16) | (d[k + 1] << 8) | d[k + 2]).toString(16).padStart(6, '0'));
document.body.textContent = i.width + 'x' + i.height + ' ' + [...s].join(' '); }; i.src = 'data:image/png;base64,%s';
</script></body>'''


def class_folder(cls, spot_text=None):
    """A temporary folder for a test class, removed after its tests; spot_text goes to spot.toml."""
    folder = tempfile.mkdtemp(prefix='travanto-test-')
    cls.addClassCleanup(shutil.rmtree, folder, ignore_errors=True)
    for text in [spot_text] if spot_text is not None else []:
        with open(os.path.join(folder, 'spot.toml'), 'w') as f:
            f.write(text)
    return folder


def run_main(main, *args):
    """(exit status, stdout text, stderr text) of a command-line entry point run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main(list(args))
    return code, out.getvalue(), err.getvalue()


def engine(**kwargs):
    return Engine(ENGINE, timeout=60, **kwargs)

