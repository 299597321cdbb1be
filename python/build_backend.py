"""A build backend of the standard library alone, so that `pip install ./python` works offline:
a wheel of the travanto package (its modules and the studio's page) with the two commands
travanto-solve and travanto-studio. `pip install -e ./python` adds a path file instead."""

from __future__ import annotations

import base64
import hashlib
import os
import zipfile

NAME, VERSION = 'travanto', '0.1.0'
HERE = os.path.dirname(os.path.abspath(__file__))
DIST = f'{NAME}-{VERSION}.dist-info'
SCRIPTS = {'travanto-solve': 'travanto.cli:main', 'travanto-studio': 'travanto.studio.cli:main'}
METADATA = (f'Metadata-Version: 2.1\nName: {NAME}\nVersion: {VERSION}\n'
            'Summary: Client, report and studio for the Travanto hold\'em engine\n'
            'Requires-Python: >=3.11\n')
WHEEL = 'Wheel-Version: 1.0\nGenerator: travanto build_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n'
ENTRY_POINTS = '[console_scripts]\n' + ''.join(f'{k} = {v}\n' for k, v in SCRIPTS.items())


def _package_files():
    root = os.path.join(HERE, 'travanto')
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d != '__pycache__')
        for name in sorted(files):
            if name.endswith(('.py', '.js', '.css', '.html')):
                path = os.path.join(folder, name)
                yield path, os.path.relpath(path, HERE).replace(os.sep, '/')


def _write_wheel(directory: str, entries) -> str:
    wheel = f'{NAME}-{VERSION}-py3-none-any.whl'
    records = []
    with zipfile.ZipFile(os.path.join(directory, wheel), 'w', zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            z.writestr(arcname, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=')
            records.append(f'{arcname},sha256={digest.decode()},{len(data)}')
        records.append(f'{DIST}/RECORD,,')
        z.writestr(f'{DIST}/RECORD', '\n'.join(records) + '\n')
    return wheel


def _dist_info():
    return [(f'{DIST}/METADATA', METADATA.encode()), (f'{DIST}/WHEEL', WHEEL.encode()),
            (f'{DIST}/entry_points.txt', ENTRY_POINTS.encode())]


def get_requires_for_build_wheel(config_settings=None):
    return []


get_requires_for_build_editable = get_requires_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    entries = []
    for path, arcname in _package_files():
        with open(path, 'rb') as f:
            entries.append((arcname, f.read()))
    # The installed client looks for the engine in this checkout's build/travanto last.
    checkout = f'CHECKOUT = {os.path.dirname(HERE)!r}\n'.encode()
    entries.append(('travanto/_checkout.py', checkout))
    return _write_wheel(wheel_directory, entries + _dist_info())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(f'{NAME}.pth', (HERE + '\n').encode())] + _dist_info())
