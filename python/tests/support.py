"""Shared by the client's tests: the engine under test and a temporary folder per test."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from travanto import Engine, default_engine_path  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
ENGINE = default_engine_path()


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


def engine(**kwargs):
    return Engine(ENGINE, timeout=60, **kwargs)


_order = None


def hand_order():
    """The engine's hand order, read once for the whole run."""
    global _order
    if _order is None:
        with engine() as e:
            _order = e.hand_order()
    return _order
