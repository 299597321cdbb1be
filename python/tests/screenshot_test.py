"""The report as a browser draws it: a headless Chromium screenshot must show the strategy
grid in the report's colours (where the bars go is checked on the SVG by test_report).
Run by make check-report (which installs Debian's chromium when run as root)."""


import support
from travanto.report import EMPTY_COLOUR, action_colours, grid_classes, render
from travanto.solve import read_node, solve
from travanto.spot import load_spot

SPOT = '''board = "Qh 8c 3d 3s"\npot = 100\nstack = 300\n[ranges]\noop = "22+,A2s+,K8s+,Q9s+,J9s+,T9s,ATo+,KJo+"
ip = "22+,A2s+,K5s+,Q8s+,J8s+,T8s+,98s,A8o+,KTo+,QJo"\n[tree]\nbet = [50]\nraise = ["3x"]\nallin = true\nraise_cap = 1
[solver]\nthreads = 2\nmax_iterations = 200\n[report]\ntitle = "Screenshot"\nnodes = ["r:0"]
'''
WIDTH, HEIGHT = 1200, 1300


class ScreenshotTest(support.TempDirCase):

    def test_grid_is_drawn(self):
        self.assertIsNotNone(support.CHROMIUM, 'chromium not installed (make check-report installs it)')
        spot = load_spot(self.write('spot.toml', SPOT))
        with support.engine() as e:
            order, solved, node = e.hand_order(), solve(e, spot), read_node(e, 'r:0', spot.stack)
        colours = action_colours(node, spot.stack)
        seen = self.screenshot_colours(self.write('report.html', render(spot, solved, [node], order, ('a', 'b'))),
                                       WIDTH, HEIGHT)
        # Every action some cell shows most is drawn in its colour, and classes out of range are empty.
        shown = {EMPTY_COLOUR}
        for _, _, name in grid_classes():
            positions = [p for p in order.by_class[name] if node.reach[p] > 0 and not order.touches(p, set(node.board))]
            if positions:
                freqs = node.frequencies(positions)
                shown.add(colours[max(range(len(freqs)), key=freqs.__getitem__)].lower())
        self.assertGreater(len(shown), 2)
        self.assertLessEqual(shown, seen)
