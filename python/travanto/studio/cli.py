"""travanto-studio: the studio's server; opens the page in the default browser."""

from __future__ import annotations

import argparse
import sys
import webbrowser

from ..engine import EngineError
from .server import make_server, studio_url
from .workspace import default_workspace


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog='travanto-studio', description=__doc__)
    parser.add_argument('--workspace', default=default_workspace(),
                        help='folder of saved spots (default: %(default)s)')
    parser.add_argument('--port', type=int, default=0, help='port on 127.0.0.1 (default: any)')
    parser.add_argument('--no-browser', action='store_true', help='do not open a browser')
    parser.add_argument('--engine', default=None, help='engine program')
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error('--port: 0 to 65535')
    try:
        server = make_server(args.workspace, args.port, args.engine)
    except (OSError, ValueError, EngineError) as e:
        print(f'travanto-studio: {e}', file=sys.stderr)
        return 1
    url = studio_url(server)
    print(f'Studio: {url}', flush=True)
    print(f'workspace: {server.studio.workspace.folder}; Ctrl-C ends the studio', flush=True)
    if not args.no_browser:
        webbrowser.open(url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.studio.close()
        server.server_close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
