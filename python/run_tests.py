#!/usr/bin/env python3
"""Runs the client's tests: python3 python/run_tests.py [PATTERN] (default test_*.py).
Fails when a test fails, and also when the run executed no test."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main() -> int:
    pattern = sys.argv[1] if len(sys.argv) > 1 else 'test_*.py'
    sys.path.insert(0, os.path.join(HERE, 'tests'))
    suite = unittest.defaultTestLoader.discover(os.path.join(HERE, 'tests'), pattern=pattern,
                                                top_level_dir=os.path.join(HERE, 'tests'))
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    if result.testsRun == 0:
        print(f'no test ran (pattern {pattern})', file=sys.stderr)
        return 1
    return 0 if result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
