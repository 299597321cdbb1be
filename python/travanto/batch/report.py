"""The batch's tables and page: DIR/summary.csv and DIR/summary.json (one row per board) and
DIR/report.html (weighted totals, root strategy charts by texture class and by high card, the
sortable table with a link to each tree file). The page is one well-formed file with inline
SVG and CSS and a small inline sorting script; it opens offline.

Totals are means weighted by the boards' weights, each over the boards that have the value
(an action nobody takes has no EV).
"""

from __future__ import annotations

import csv
import json
import math
import os
import time

from ..ranges import RANKS, parse_board
from ..report import (ALLIN_COLOUR, BET_COLOURS, CHECK_COLOUR, FOLD_COLOUR, board_html, esc,
                      fmt)
from . import flops as flops_mod
from .task import write_json

BASE = (('flop', 'Board'), ('weight', 'Weight'), ('class', 'Texture'), ('high', 'High card'),
        ('iterations', 'Iterations'), ('exploitability_pct', 'Exploitability % pot'),
        ('ev_oop', 'EV OOP'), ('ev_ip', 'EV IP'), ('equity_oop', 'Equity OOP'),
        ('equity_ip', 'Equity IP'), ('eqr_oop', 'EQR OOP'), ('eqr_ip', 'EQR IP'))
TAIL = (('solve_seconds', 'Solve s'), ('peak_mb', 'Peak MB'), ('tree', 'Tree file'),
        ('status', 'Status'), ('reason', 'Reason'))
NOT_AVERAGED = {'flop', 'weight', 'class', 'high', 'tree', 'status', 'reason'}


def action_columns(summaries: list[dict]) -> list[tuple[str, str, str]]:
    """(label, frequency column, EV column) of every root action, in the roots' order."""
    labels = []
    for s in summaries:
        for a in s['actions']:
            if a['label'] not in labels:
                labels.append(a['label'])
    return [(label, f'freq {label}', f'ev {label}') for label in labels]


def rows(summaries: list[dict], failed: list[dict], weights: dict[str, float]) -> list[dict]:
    out = []
    for s in summaries:
        tex = flops_mod.texture(tuple(parse_board(s['board'])))
        row = {'flop': s['board'], 'weight': weights.get(s['board'], s.get('weight')),
               'class': tex['class'], 'high': tex['high'], 'status': 'ok', 'reason': '',
               'root_player': s.get('root_player', 'OOP')}
        for key, _ in BASE[4:] + TAIL[:3]:
            row[key] = s.get(key)
        for a in s['actions']:
            row[f'freq {a["label"]}'] = a['frequency']
            row[f'ev {a["label"]}'] = a['ev']
        out.append(row)
    for f in failed:
        tex = flops_mod.texture(tuple(parse_board(f['board'])))
        out.append({'flop': f['board'], 'weight': weights.get(f['board']), 'class': tex['class'],
                    'high': tex['high'], 'status': 'failed', 'reason': f.get('reason', '')})
    return out


def columns(summaries: list[dict]) -> list[str]:
    acts = action_columns(summaries)
    return ([k for k, _ in BASE] + [c for _, c, _ in acts] + [e for _, _, e in acts]
            + [k for k, _ in TAIL])


def weighted_totals(table: list[dict], cols: list[str]) -> dict[str, float | None]:
    """Per numeric column the weighted mean over the ok rows that have a value; the weight
    column's total is the weight covered."""
    ok = [r for r in table if r['status'] == 'ok']
    totals: dict[str, float | None] = {'weight': sum(r['weight'] for r in ok)}
    for col in cols:
        if col in NOT_AVERAGED:
            continue
        num = den = 0.0
        for r in ok:
            v = r.get(col)
            if v is not None and not (isinstance(v, float) and math.isnan(v)):
                num += r['weight'] * v
                den += r['weight']
        totals[col] = num / den if den > 0 else None
    return totals


def group_frequencies(table, acts, key: str, order) -> list[tuple[str, float, int, list]]:
    """(group, weight share, boards, weighted frequency per action) per group in `order`."""
    ok = [r for r in table if r['status'] == 'ok']
    total = sum(r['weight'] for r in ok) or 1.0
    out = []
    for g in order:
        members = [r for r in ok if r[key] == g]
        w = sum(r['weight'] for r in members)
        if not members or w <= 0:
            continue
        freqs = [sum(r['weight'] * (r.get(fc) or 0.0) for r in members) / w for _, fc, _ in acts]
        out.append((g, w / total, len(members), freqs))
    return out


def colours(acts) -> list[str]:
    bets = []
    for label, _, _ in acts:
        if label.startswith('Bet') or label.startswith('Raise'):
            bets.append(label)
    out = []
    for label, _, _ in acts:
        if label == 'Fold':
            out.append(FOLD_COLOUR)
        elif label in ('Check', 'Call'):
            out.append(CHECK_COLOUR)
        elif label.startswith('All-in'):
            out.append(ALLIN_COLOUR)
        else:
            out.append(BET_COLOURS[min(bets.index(label), len(BET_COLOURS) - 1)])
    return out


BAR_W, BAR_H, LABEL_W = 560, 22, 90


def bar_chart(title: str, groups, acts, cols: list[str], css: str) -> str:
    height = 30 + len(groups) * (BAR_H + 6)
    width = LABEL_W + BAR_W + 150
    out = [f'<figure class="{css}"><svg xmlns="http://www.w3.org/2000/svg" width="{width}" '
           f'height="{height}" viewBox="0 0 {width} {height}">',
           f'<text x="0" y="14" class="title">{esc(title)}</text>']
    y = 26
    for name, share, count, freqs in groups:
        out.append(f'<text x="{LABEL_W - 8}" y="{y + 15}" class="axis" '
                   f'text-anchor="end">{esc(name)}</text>')
        x = float(LABEL_W)
        for a, f in enumerate(freqs):
            w = BAR_W * f
            if w > 0:
                out.append(f'<rect x="{x:.2f}" y="{y}" width="{w:.2f}" height="{BAR_H}" '
                           f'fill="{cols[a]}"><title>{esc(name)}: {esc(acts[a][0])} '
                           f'{100 * f:.1f} %</title></rect>')
                if w >= 34:
                    out.append(f'<text x="{x + w / 2:.1f}" y="{y + 15}" class="pct" '
                               f'text-anchor="middle">{100 * f:.0f}%</text>')
            x += w
        out.append(f'<text x="{LABEL_W + BAR_W + 8}" y="{y + 15}" class="axis">'
                   f'{100 * share:.1f} % · {count} board{"s" if count != 1 else ""}</text>')
        y += BAR_H + 6
    out.append('</svg></figure>')
    return ''.join(out)


SCRIPT = """//<![CDATA[
document.querySelectorAll('table.flops th').forEach(function (th, col) {
  th.addEventListener('click', function () {
    var body = th.closest('table').tBodies[0];
    var dir = th.dataset.dir === 'asc' ? -1 : 1;
    th.dataset.dir = dir === 1 ? 'asc' : 'desc';
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = a.cells[col].dataset.v, y = b.cells[col].dataset.v;
      var nx = parseFloat(x), ny = parseFloat(y);
      if (!isNaN(nx) && !isNaN(ny)) return dir * (nx - ny);
      return dir * String(x).localeCompare(String(y));
    });
    rows.forEach(function (r) { body.appendChild(r); });
  });
});
//]]>"""

STYLE = """
body{font-family:sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 8px} h2{font-size:18px;margin:26px 0 6px}
.card{font-weight:bold;margin-right:2px} .meta{color:#444}
.summary th,.summary td{padding:2px 12px 2px 0;text-align:left;vertical-align:top}
table.totals,table.flops{border-collapse:collapse;font-size:13px;margin:8px 0}
.totals th,.totals td,.flops th,.flops td{border-bottom:1px solid #ddd;padding:3px 8px;
text-align:right;white-space:nowrap}
.flops th{cursor:pointer;background:#f4f4f4;position:sticky;top:0}
.flops td:first-child,.flops th:first-child{text-align:left}
.title{font-size:14px;font-weight:bold;font-family:sans-serif}
.axis{font-size:12px;fill:#333;font-family:sans-serif}
.pct{font-size:11px;fill:#fff;font-family:sans-serif}
.legend{margin:6px 0}.key{margin-right:16px;white-space:nowrap}
.swatch{display:inline-block;width:11px;height:11px;margin-right:5px;vertical-align:middle}
.charts{display:flex;flex-wrap:wrap;gap:12px 40px} figure{margin:6px 0}
.failed td{color:#a00}
code{font-size:12px}
"""

PERCENT = {'exploitability_pct'}


def cell(col: str, v) -> str:
    """A table cell's text."""
    if v is None or v == '':
        return '–'
    if col.startswith('freq ') or col.startswith('equity'):
        return f'{100 * v:.1f} %'
    if col in ('weight',):
        return f'{v:g}' if float(v).is_integer() else f'{v:.2f}'
    if col in ('iterations',):
        return f'{v:.0f}'
    if col in PERCENT:
        return f'{v:.3f}'
    if col.startswith('eqr'):
        return f'{v:.3f}'
    if isinstance(v, float):
        return fmt(v)
    return str(v)


def render_html(data: dict, set_name: str, closeness, textures, table, cols, totals,
                spot_name: str) -> str:
    acts = action_columns_from(cols)
    palette = colours(acts)
    ok = [r for r in table if r['status'] == 'ok']
    failed = [r for r in table if r['status'] != 'ok']
    title = f'Batch · {spot_name} · {set_name}'
    ranges = data.get('ranges', {})
    info = [('Pot / stack', f'{data.get("pot")} / {data.get("stack")}'),
            ('OOP range', f'<code>{esc(ranges.get("oop", ""))}</code>'),
            ('IP range', f'<code>{esc(ranges.get("ip", ""))}</code>'),
            ('Tree', f'<code>{esc(json.dumps(data.get("tree", {})))}</code>'),
            ('Solver', f'<code>{esc(json.dumps(data.get("solver", {})))}</code>'),
            ('Boards', f'{len(ok)} solved, {len(failed)} failed, of set {esc(set_name)}; '
                       f'weight covered {totals["weight"]:g}')]
    if closeness is not None:
        shares = ''.join(f'<tr><td>{esc(f)}</td><td>{esc(v)}</td><td>{a:.2f} %</td>'
                         f'<td>{b:.2f} %</td></tr>' for f, v, a, b in textures)
        info.append(('Sample', f'<details><summary>weighted textures within {closeness:.2f} '
                               'percentage points of all 1,755 flops</summary><table class='
                               '"totals"><thead><tr><th>Feature</th><th>Value</th><th>Sample'
                               f'</th><th>All flops</th></tr></thead><tbody>{shares}</tbody>'
                               '</table></details>'))
    out = ['<!DOCTYPE html>\n<html xmlns="http://www.w3.org/1999/xhtml" lang="en"><head>'
           '<meta charset="utf-8"/>', f'<title>{esc(title)}</title><style>{STYLE}</style>'
           '</head><body>', f'<h1>{esc(title)}</h1><table class="summary"><tbody>']
    out += [f'<tr><th>{k}</th><td>{v}</td></tr>' for k, v in info]
    out.append('</tbody></table><h2>Weighted totals</h2><table class="totals"><thead><tr>')
    shown = ['weight'] + [c for c in cols if c not in NOT_AVERAGED]
    out += [f'<th>{esc(header(c))}</th>' for c in shown]
    out.append('</tr></thead><tbody><tr class="total">')
    out += [f'<td data-col="{esc(c)}" data-v="{_v(totals.get(c))}">{cell(c, totals.get(c))}</td>'
            for c in shown]
    out.append('</tr></tbody></table>')
    player = ok[0]['root_player'] if ok else 'OOP'
    out.append(f'<h2>Root strategy of {esc(player)}, weighted over boards</h2>'
               '<div class="legend">')
    out += [f'<span class="key"><span class="swatch" style="background:{palette[a]}"></span>'
            f'{esc(label)} {100 * (totals.get(fc) or 0):.1f} %</span>'
            for a, (label, fc, _) in enumerate(acts)]
    out.append('</div><div class="charts">')
    out.append(bar_chart('By texture class', group_frequencies(
        table, acts, 'class', flops_mod.TEXTURE_CLASSES), acts, palette, 'by-class'))
    out.append(bar_chart('By high card', group_frequencies(
        table, acts, 'high', RANKS[::-1]), acts, palette, 'by-high'))
    out.append('</div><h2>Boards</h2><p class="meta">Click a heading to sort. Each board links '
               'to its tree file (load_tree) and set-up.</p><table class="flops"><thead><tr>')
    listed = [c for c in cols if c not in ('tree', 'status', 'reason')]
    out += [f'<th>{esc(header(c))}</th>' for c in listed]
    out.append('</tr></thead><tbody>')
    for r in ok:
        out.append('<tr>')
        for c in listed:
            v = r.get(c)
            if c == 'flop':
                tree = r.get('tree') or ''
                setup = tree[:-len('.tree')] + '.spot.json' if tree.endswith('.tree') else ''
                out.append(f'<td data-v="{esc(v)}"><a href="{esc(tree)}">'
                           f'{board_html(parse_board(v))}</a> <a class="meta" '
                           f'href="{esc(setup)}">set-up</a></td>')
            else:
                out.append(f'<td data-v="{_v(v)}">{esc(cell(c, v))}</td>')
        out.append('</tr>')
    out.append('</tbody></table>')
    if failed:
        out.append('<h2>Failed boards</h2><table class="flops failed"><thead><tr><th>Board</th>'
                   '<th>Reason</th></tr></thead><tbody>')
        out += [f'<tr><td data-v="{esc(r["flop"])}">{esc(r["flop"])}</td>'
                f'<td data-v="{esc(r["reason"])}">{esc(r["reason"])}</td></tr>' for r in failed]
        out.append('</tbody></table>')
    out.append(f'<p class="meta">Written {time.strftime("%Y-%m-%d %H:%M")}.</p>'
               f'<script>{SCRIPT}</script></body></html>\n')
    return '\n'.join(out)


def _v(v) -> str:
    if v is None:
        return ''
    return esc(repr(v) if isinstance(v, float) else v)


def header(col: str) -> str:
    names = dict(BASE + TAIL)
    if col in names:
        return names[col]
    kind, label = col.split(' ', 1)
    return f'{label} {"freq" if kind == "freq" else "EV"}'


def action_columns_from(cols: list[str]) -> list[tuple[str, str, str]]:
    return [(c[5:], c, 'ev ' + c[5:]) for c in cols if c.startswith('freq ')]


def _csv(v):
    if v is None:
        return ''
    if isinstance(v, float) and v.is_integer():
        return int(v)
    return v


def write_reports(out: str, data: dict, flop_set, summaries: list[dict], failed: list[dict],
                  spot_name: str = 'spot') -> str:
    """Writes summary.csv, summary.json and report.html (each atomically); returns the page's
    path."""
    table = rows(summaries, failed, flop_set.weights)
    cols = columns(summaries)
    totals = weighted_totals(table, cols)
    tmp = os.path.join(out, 'summary.csv.tmp')
    with open(tmp, 'w', newline='', encoding='utf-8') as f:
        writer = csv.DictWriter(f, fieldnames=cols, extrasaction='ignore')
        writer.writeheader()
        for r in table:
            writer.writerow({c: _csv(r.get(c)) for c in cols})
    os.replace(tmp, os.path.join(out, 'summary.csv'))
    write_json(os.path.join(out, 'summary.json'), {
        'flop_set': flop_set.name, 'closeness_pp': flop_set.closeness, 'spot': data,
        'textures': [{'feature': f, 'value': v, 'sample_pct': a, 'all_pct': b}
                     for f, v, a, b in flop_set.textures],
        'columns': cols, 'totals': totals, 'flops': [r for r in table if r['status'] == 'ok'],
        'failed': [r for r in table if r['status'] != 'ok']})
    page = render_html(data, flop_set.name, flop_set.closeness, flop_set.textures, table, cols,
                       totals, spot_name)
    path = os.path.join(out, 'report.html')
    tmp = path + '.tmp'
    with open(tmp, 'w', encoding='utf-8') as f:
        f.write(page)
    os.replace(tmp, path)
    return path
