"""The report as a browser draws it: a headless Chromium screenshot must show the strategy
grid, each cell's bars in the colours and at the places the report's SVG gives them.
Run by make check-report (which installs Debian's chromium when run as root)."""


import support
from travanto.report import CELL, EMPTY_COLOUR, INNER, action_colours, grid_classes, render
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
        rows = self.screenshot(self.write('report.html', render(spot, solved, [node], order, ('a', 'b'))),
                               WIDTH, HEIGHT)
        # Where each cell must show which colour: 5 px below its top, in the middle of its
        # widest bar (the label sits lower), or the empty colour.
        samples, empty = [], support.rgb(EMPTY_COLOUR)
        for i, j, name in grid_classes():
            positions = [p for p in order.by_class[name] if node.reach[p] > 0 and not order.touches(p, set(node.board))]
            if not positions:
                samples.append((j * CELL + 5, i * CELL + 5, empty))
                continue
            freqs = node.frequencies(positions)
            a = max(range(len(freqs)), key=lambda k: freqs[k])
            left = j * CELL + 1 + sum(freqs[:a]) * INNER
            samples.append((int(left + freqs[a] * INNER / 2), i * CELL + 5, support.rgb(colours[a])))
        self.assertGreater(sum(s[2] != empty for s in samples), 20)

        def shows(ox, oy):
            return all(all(abs(p - q) <= 4 for p, q in zip(rows[oy + y][3 * (ox + x):3 * (ox + x) + 3], colour))
                       for x, y, colour in samples)
        # The grid's origin: try every place where the first coloured sample's colour shows.
        fx, fy, first = next(s for s in samples if s[2] != empty)
        def places():
            for y, row in enumerate(rows):
                k = row.find(first)
                while k >= 0:
                    if k % 3 == 0:
                        yield k // 3 - fx, y - fy
                    k = row.find(first, k + 1)
        self.assertTrue(any(0 <= ox <= WIDTH - 13 * CELL and 0 <= oy <= HEIGHT - 13 * CELL and
                            shows(ox, oy) for ox, oy in places()), 'no 13x13 grid with the report\'s colours shown')

