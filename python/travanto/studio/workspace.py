"""The studio's folder of saved spots: NAME.tree (the engine's tree file) beside NAME.json (the
set-up it was built from). Names are checked, every path stays inside the folder, and the
set-up file is written to a temporary file that is renamed over the old one once complete
(the engine saves the tree the same way)."""

from __future__ import annotations

import json
import os
import re
import time

NAME = re.compile(r'^[A-Za-z0-9][A-Za-z0-9_.-]{0,63}$')


class WorkspaceError(ValueError):
    """A name or file the workspace refuses; the message says why."""


def default_workspace() -> str:
    return os.path.join(os.path.expanduser('~'), 'travanto-spots')


class Workspace:
    def __init__(self, folder: str):
        os.makedirs(folder, exist_ok=True)
        self.folder = os.path.realpath(folder)

    def check_name(self, name) -> str:
        if not isinstance(name, str) or not NAME.match(name) or '..' in name \
                or name.endswith(('.tree', '.json', '.tmp')):
            raise WorkspaceError(f'name: {name!r} is not a spot name (letters, digits, "_", '
                                 '"-" and ".", at most 64, no "..")')
        return name

    def path(self, name: str, ext: str) -> str:
        """The file NAME.ext inside the folder; refused when it would lie outside."""
        self.check_name(name)
        path = os.path.realpath(os.path.join(self.folder, name + ext))
        if os.path.dirname(path) != self.folder:
            raise WorkspaceError(f'name: {name!r} leads outside the workspace')
        return path

    def relative(self, name: str, ext: str) -> str:
        return os.path.basename(self.path(name, ext))

    def write_setup(self, name: str, record: dict) -> None:
        target = self.path(name, '.json')
        tmp = target + '.tmp'
        with open(tmp, 'w', encoding='utf-8') as f:
            json.dump(record, f, indent=1)
        os.replace(tmp, target)

    def read_setup(self, name: str) -> dict:
        try:
            with open(self.path(name, '.json'), encoding='utf-8') as f:
                record = json.load(f)
        except FileNotFoundError:
            raise WorkspaceError(f'name: no saved spot {name!r}') from None
        except (OSError, ValueError) as e:
            raise WorkspaceError(f'name: the set-up of {name!r} cannot be read ({e})') from None
        if not isinstance(record, dict) or not isinstance(record.get('setup'), dict):
            raise WorkspaceError(f'name: the set-up of {name!r} is not a studio set-up')
        if not os.path.isfile(self.path(name, '.tree')):
            raise WorkspaceError(f'name: {name!r} has no tree file')
        return record

    def list(self) -> list[dict]:
        out = []
        for entry in sorted(os.listdir(self.folder)):
            stem, ext = os.path.splitext(entry)
            if ext != '.json' or not NAME.match(stem):
                continue
            try:
                record = self.read_setup(stem)
            except WorkspaceError:
                continue
            tree = self.path(stem, '.tree')
            setup = record['setup']
            out.append({'name': stem, 'board': setup.get('board'), 'pot': setup.get('pot'),
                        'stack': setup.get('stack'), 'saved': record.get('saved'),
                        'iterations': record.get('iterations'),
                        'exploitability_pct': record.get('exploitability_pct'),
                        'size_mb': round(os.path.getsize(tree) / 1e6, 1)})
        return out

    def delete(self, name: str) -> None:
        found = False
        for ext in ('.tree', '.json'):
            path = self.path(name, ext)
            if os.path.isfile(path):
                os.remove(path)
                found = True
        if not found:
            raise WorkspaceError(f'name: no saved spot {name!r}')


def record(setup: dict, iterations, exploitability_pct) -> dict:
    return {'setup': setup, 'saved': time.strftime('%Y-%m-%d %H:%M:%S'),
            'iterations': iterations, 'exploitability_pct': exploitability_pct}
