"""The HTML strategy report: one self-contained, well-formed (XHTML-parsable) page with inline
SVG and CSS only, no scripts or fonts, so it opens offline and parses as XML in tests.

Per chosen node: a 13x13 grid whose cells are split into bars, one per action, as wide as the
action's combo-weighted frequency over the cell's hands in play; the acting player's range at the
node as a grid and as text; the per-action table (frequency, combos, EV) and the per-hand table
(weight, equity, EV, and each action's frequency and EV).
"""

from __future__ import annotations

import html
import math
import time
from typing import Sequence

from .ranges import RANKS, SUITS, HandOrder, format_range
from .solve import NodeData, Solved
from .spot import Spot

CELL = 40                      # grid cell size in px
INNER = CELL - 2               # bar area inside a cell (1 px margin each side)
FOLD_COLOUR = '#3d7dca'
CHECK_COLOUR = '#4daf4a'
BET_COLOURS = ('#f4a259', '#e76f51', '#d62828', '#9d0208', '#6a040f')
ALLIN_COLOUR = '#5b1a6e'
EMPTY_COLOUR = '#e6e6e6'
SUIT_COLOURS = {'c': '#1a7f37', 'd': '#1f5fbf', 'h': '#c62828', 's': '#222222'}


def esc(text) -> str:
    return html.escape(str(text), quote=True)


def grid_classes() -> list[tuple[int, int, str]]:
    """(row, column, class name) of the 13x13 grid: aces first, suited above the diagonal."""
    out = []
    for i in range(13):
        for j in range(13):
            hi, lo = 12 - min(i, j), 12 - max(i, j)
            name = RANKS[hi] * 2 if i == j else RANKS[hi] + RANKS[lo] + ('s' if i < j else 'o')
            out.append((i, j, name))
    return out


def action_colours(node: NodeData, stack: float) -> list[str]:
    bets = sorted({a.amount for a in node.actions if a.token.startswith('b')})
    out = []
    for a in node.actions:
        if a.token == 'f':
            out.append(FOLD_COLOUR)
        elif a.token == 'c':
            out.append(CHECK_COLOUR)
        elif a.amount >= stack:
            out.append(ALLIN_COLOUR)
        else:
            out.append(BET_COLOURS[min(bets.index(a.amount), len(BET_COLOURS) - 1)])
    return out


def fmt(x: float, digits: int = 2) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return '–'
    return f'{x:.{digits}f}'


def board_html(board) -> str:
    return ' '.join(f'<span class="card" style="color:{SUIT_COLOURS[SUITS[s]]}">'
                    f'{RANKS[r]}{"♣♦♥♠"[s]}</span>' for r, s in board)


def strategy_grid(node: NodeData, order: HandOrder, colours: Sequence[str]) -> str:
    board = set(node.board)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" class="grid strategy-grid" '
             f'width="{13 * CELL}" height="{13 * CELL}" viewBox="0 0 {13 * CELL} {13 * CELL}" '
             f'data-path="{esc(node.path)}">']
    for i, j, name in grid_classes():
        x, y = j * CELL, i * CELL
        positions = [p for p in order.by_class[name]
                     if node.reach[p] > 0 and not order.touches(p, board)]
        weight = sum(node.reach[p] for p in positions)
        parts.append(f'<g data-cell="{name}" data-weight="{weight:.6g}">')
        parts.append(f'<rect x="{x}" y="{y}" width="{CELL}" height="{CELL}" '
                     f'fill="{EMPTY_COLOUR}" stroke="#ffffff" stroke-width="1"/>')
        if positions:
            freqs = node.frequencies(positions)
            offset = x + 1.0
            for a, f in enumerate(freqs):
                width = f * INNER
                if width > 0:
                    parts.append(f'<rect data-action="{a}" x="{offset:.4f}" y="{y + 1}" '
                                 f'width="{width:.4f}" height="{INNER}" fill="{colours[a]}"/>')
                offset += width
        colour = '#ffffff' if positions else '#9a9a9a'
        parts.append(f'<text x="{x + CELL / 2}" y="{y + CELL / 2 + 4}" fill="{colour}" '
                     f'class="label">{name}</text></g>')
    parts.append('</svg>')
    return ''.join(parts)


def range_grid(node: NodeData, order: HandOrder) -> str:
    board = set(node.board)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" class="grid range-grid" '
             f'width="{13 * CELL}" height="{13 * CELL}" viewBox="0 0 {13 * CELL} {13 * CELL}">']
    for i, j, name in grid_classes():
        x, y = j * CELL, i * CELL
        live = [p for p in order.by_class[name] if not order.touches(p, board)]
        share = (sum(node.reach[p] for p in live) / len(live)) if live else 0.0
        parts.append(f'<g data-cell="{name}" data-share="{share:.4f}">'
                     f'<rect x="{x}" y="{y}" width="{CELL}" height="{CELL}" '
                     f'fill="{EMPTY_COLOUR}" stroke="#ffffff" stroke-width="1"/>')
        if share > 0:
            parts.append(f'<rect x="{x + 1}" y="{y + 1 + INNER * (1 - share):.3f}" '
                         f'width="{INNER}" height="{INNER * share:.3f}" fill="#e0a100"/>')
        parts.append(f'<text x="{x + CELL / 2}" y="{y + CELL / 2 + 4}" class="label" '
                     f'fill="{"#222222" if share > 0 else "#9a9a9a"}">{name}</text></g>')
    parts.append('</svg>')
    return ''.join(parts)


def convergence_chart(solved: Solved, pot: float) -> str:
    points = [(r.iterations, 100.0 * r.exploitability / pot) for r in solved.reports
              if r.iterations is not None]
    if len(points) < 2:
        return ''
    w, h, m = 420, 180, 36
    xmax = max(p[0] for p in points)
    ymax = max(p[1] for p in points) or 1.0
    coords = ' '.join(f'{m + (w - 2 * m) * x / xmax:.1f},{h - m - (h - 2 * m) * y / ymax:.1f}'
                      for x, y in points)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" width="{w}" height="{h}" '
            f'viewBox="0 0 {w} {h}">'
            f'<line x1="{m}" y1="{h - m}" x2="{w - m}" y2="{h - m}" stroke="#888888"/>'
            f'<line x1="{m}" y1="{m}" x2="{m}" y2="{h - m}" stroke="#888888"/>'
            f'<polyline points="{coords}" fill="none" stroke="#d62828" stroke-width="2"/>'
            f'<text x="{m}" y="{m - 8}" class="axis">{ymax:.2f} % of the pot</text>'
            f'<text x="{w - m}" y="{h - m + 16}" class="axis" text-anchor="end">{xmax} '
            f'iterations</text><text x="{m}" y="{h - m + 16}" class="axis">0</text></svg>')


def node_section(index: int, node: NodeData, order: HandOrder, spot: Spot) -> str:
    colours = action_colours(node, spot.stack)
    live = node.in_play(order)
    freqs = node.frequencies(live)
    combos = sum(node.reach[p] for p in live)
    player = ('OOP', 'IP')[node.player]
    pot_now = node.pot + node.invested[0] + node.invested[1]
    out = [f'<section class="node" id="node-{index}" data-path="{esc(node.path)}">',
           f'<h2>{esc(node.path)} · {player} to act</h2>',
           f'<p class="meta">Board {board_html(node.board)} · pot {pot_now:g} · invested OOP '
           f'{node.invested[0]:g}, IP {node.invested[1]:g} · {combos:.1f} combos · range '
           f'equity {100 * node.overall_equity:.1f} %</p>',
           '<div class="legend">']
    for a, action in enumerate(node.actions):
        out.append(f'<span class="key" data-action="{a}" data-colour="{colours[a]}">'
                   f'<svg xmlns="http://www.w3.org/2000/svg" width="14" height="14">'
                   f'<rect width="14" height="14" fill="{colours[a]}"/></svg> '
                   f'{esc(action.label)} {100 * freqs[a]:.1f} %</span>')
    out.append('</div><div class="grids">')
    out.append(f'<figure>{strategy_grid(node, order, colours)}'
               f'<figcaption>Strategy of {player}, combo-weighted per cell</figcaption></figure>')
    out.append(f'<figure>{range_grid(node, order)}'
               f'<figcaption>{player} range at the node (share of each cell)</figcaption>'
               '</figure></div>')
    live_set = set(live)
    rounded = [round(node.reach[p], 2) if p in live_set else 0.0 for p in range(1326)]
    out.append(f'<details><summary>Range text (weights to 0.01)</summary>'
               f'<p class="rangetext">{esc(format_range(rounded, order) or "(empty)")}</p>'
               '</details>')
    out.append('<table class="actions"><thead><tr><th>Action</th><th>Frequency</th>'
               '<th>Combos</th><th>EV</th></tr></thead><tbody>')
    for a, action in enumerate(node.actions):
        out.append(f'<tr><td><span class="swatch" style="background:{colours[a]}"></span>'
                   f'{esc(action.label)}</td><td>{100 * freqs[a]:.1f} %</td>'
                   f'<td>{freqs[a] * combos:.1f}</td><td>{fmt(node.mean_action_ev(a))}</td></tr>')
    total_w = sum(node.ev_weight[p] for p in live if not math.isnan(node.ev[p]))
    node_ev = (sum(node.ev[p] * node.ev_weight[p] for p in live if not math.isnan(node.ev[p]))
               / total_w) if total_w > 0 else math.nan
    out.append(f'<tr class="total"><td>All</td><td>100 %</td><td>{combos:.1f}</td>'
               f'<td>{fmt(node_ev)}</td></tr></tbody></table>')
    out.append('<details open="open"><summary>Per hand</summary><table class="hands"><thead><tr>'
               '<th>Hand</th><th>Weight</th><th>Equity</th><th>EV</th>')
    for action in node.actions:
        out.append(f'<th>{esc(action.label)}</th><th>EV</th>')
    out.append('</tr></thead><tbody>')

    def key(p):
        e = node.equity[p]
        return (-(e if not math.isnan(e) else -1.0), order.names[p])

    for p in sorted(live, key=key):
        out.append(f'<tr><td class="hand">{esc(order.names[p])}</td><td>{node.reach[p]:.3f}</td>'
                   f'<td>{fmt(100 * node.equity[p], 1)}</td><td>{fmt(node.ev[p])}</td>')
        for a in range(len(node.actions)):
            ev = node.action_ev[a][p] if node.strategy[a][p] > 0 else math.nan
            out.append(f'<td>{100 * node.strategy[a][p]:.1f} %</td><td>{fmt(ev)}</td>')
        out.append('</tr>')
    out.append('</tbody></table></details></section>')
    return ''.join(out)


STYLE = """
body{font-family:sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 8px} h2{font-size:18px;margin:28px 0 6px}
.summary td,.summary th{padding:2px 10px 2px 0;text-align:left;vertical-align:top}
.card{font-weight:bold;margin-right:2px}
.grids{display:flex;flex-wrap:wrap;gap:24px} figure{margin:8px 0}
figcaption{font-size:13px;color:#555;margin-top:4px}
.label{font-size:11px;text-anchor:middle;font-family:sans-serif}
.axis{font-size:11px;fill:#555;font-family:sans-serif}
.legend{margin:6px 0} .key{margin-right:16px;white-space:nowrap}
.key svg{vertical-align:middle}
table{border-collapse:collapse;margin:8px 0;font-size:13px}
.actions td,.actions th,.hands td,.hands th{border-bottom:1px solid #ddd;padding:2px 8px;
text-align:right} .actions td:first-child,.hands td:first-child{text-align:left}
.swatch{display:inline-block;width:10px;height:10px;margin-right:6px}
.rangetext{font-family:monospace;font-size:12px;max-width:1080px;word-break:break-all}
nav a{margin-right:12px} .meta{color:#444}
"""


def render(spot: Spot, solved: Solved, nodes: list[NodeData], order: HandOrder,
           ranges_text: tuple[str, str]) -> str:
    title = spot.title or f'{spot.board_text} · pot {spot.pot} · stack {spot.stack}'
    r = solved.results
    rows = [
        ('Board', board_html(spot.board)),
        ('Pot / stack', f'{spot.pot} / {spot.stack}'),
        ('OOP range', f'<code>{esc(ranges_text[0])}</code>'),
        ('IP range', f'<code>{esc(ranges_text[1])}</code>'),
        ('Tree', f'{solved.lines} lines, {solved.node_count.get("TOTAL", 0)} nodes'),
        ('Solve', f'{r.iterations if r.iterations is not None else "?"} iterations in '
                  f'{solved.seconds:.1f} s, stopped: {esc(solved.stop_reason)}'),
        ('Exploitability', f'{r.exploitability:.3f} chips ({100 * r.exploitability / spot.pot:.3f}'
                           f' % of the pot)'),
        ('EV', f'OOP {r.ev_oop:.2f}, IP {r.ev_ip:.2f}'),
    ]
    out = ['<!DOCTYPE html>\n<html xmlns="http://www.w3.org/1999/xhtml" lang="en"><head>'
           '<meta charset="utf-8"/>',
           f'<title>{esc(title)}</title><style>{STYLE}</style></head><body>',
           f'<h1>{esc(title)}</h1><table class="summary"><tbody>']
    out += [f'<tr><th>{k}</th><td>{v}</td></tr>' for k, v in rows]
    out.append('</tbody></table>')
    out.append(convergence_chart(solved, spot.pot))
    out.append('<nav>' + ''.join(f'<a href="#node-{i}">{esc(n.path)}</a>'
                                 for i, n in enumerate(nodes)) + '</nav>')
    for i, node in enumerate(nodes):
        out.append(node_section(i, node, order, spot))
    out.append(f'<p class="meta">Written {time.strftime("%Y-%m-%d %H:%M")}.</p></body></html>\n')
    return '\n'.join(out)
