// The browse view: path and actions, the 13x13 grid, summaries, the combo table, chance cards, locks.
import { state, el, api, guarded, gridClasses, actionColours, scaleColour, fmt, pct, handText,
  download, RANKS, SUIT_SYMBOL, cardNode } from './util.js';

export const nav = { path: 'r:0', back: [], forward: [], node: null, chance: null,
  mode: 'strategy', fullHeight: false, sort: { key: 'ev', dir: -1 }, filter: null,
  edit: false, selection: new Set(), edits: {}, mix: [], compare: null };

let root = null, controls = null;

export function resetBrowse() {
  Object.assign(nav, { path: 'r:0', back: [], forward: [], node: null, chance: null, filter: null,
    selection: new Set(), edits: {}, compare: null });
}

export async function go(path, record = true) {
  if (record && nav.node && path !== nav.path) { nav.back.push(nav.path); nav.forward = []; }
  nav.path = path;
  nav.filter = null; nav.selection = new Set(); nav.edits = {}; nav.compare = null;
  await loadNode();
}

export async function loadNode() {
  if (!state.sid) return;
  const t0 = nav.loadedAt = performance.now();
  const node = await guarded(() => api(`sessions/${state.sid}/node?path=${encodeURIComponent(nav.path)}`));
  if (!node) { render(); return; }
  nav.node = node; nav.chance = null;
  nav.mix = (node.actions || []).map(() => 0);
  nav.loadMs = performance.now() - t0;
  nav.loadedAt = performance.now();
  render();
  if (node.kind === 'SPLIT_NODE') {
    const chance = await guarded(() => api(`sessions/${state.sid}/chance?path=${encodeURIComponent(node.path)}`));
    if (chance && nav.node === node) { nav.chance = chance; render(); }
  }
}

export function back() { if (nav.back.length) { nav.forward.push(nav.path); nav.path = nav.back.pop(); loadNode(); } }
export function forward() { if (nav.forward.length) { nav.back.push(nav.path); nav.path = nav.forward.pop(); loadNode(); } }

export function mountBrowse(element, solverControls) { root = element; controls = solverControls; }

export function render() {
  if (!root) return;
  const n = nav.node;
  const top = el('div', { class: 'panel' },
    el('div', { class: 'row', style: { alignItems: 'center' } }, controls(),
      el('button', { id: 'back', onclick: back, disabled: !nav.back.length, title: 'Back (Alt+Left)' }, '◀ Back'),
      el('button', { id: 'forward', onclick: forward, disabled: !nav.forward.length, title: 'Forward (Alt+Right)' }, 'Forward ▶'),
      el('button', { id: 'refresh', onclick: () => loadNode(), title: 'Read the node again (R)' }, '↻ Refresh'),
      n ? crumbs(n) : null));
  if (!state.sid || !n) {
    root.replaceChildren(top, el('div', { class: 'panel' }, el('p', {}, state.sid
      ? 'Loading…' : 'No spot is open: set one up and solve it, or open a saved spot under Files.')));
    return;
  }
  const parts = [top];
  if (n.kind === 'SPLIT_NODE') parts.push(chancePanel(n));
  else if (n.kind === 'END_NODE') parts.push(el('div', { class: 'panel', id: 'endnode' },
    el('h3', {}, 'Hand over'), el('p', {}, `${n.description}. Pot ${fmt(n.pot_now, 0)}.`)));
  else parts.push(decisionView(n));
  root.replaceChildren(...parts);
}

function crumbs(n) {
  const items = [];
  n.crumbs.forEach((c, i) => {
    if (i) items.push(el('span', { class: 'sep' }, '·'));
    items.push(el('button', { 'aria-current': c.path === n.path ? 'page' : null, dataset: { path: c.path },
      onclick: () => go(c.path) }, c.label));
  });
  return el('nav', { class: 'crumbs', id: 'crumbs', 'aria-label': 'path' },
    el('span', { class: 'boardcards' }, ...n.board.map(c => cardNode(c, { tabindex: -1 }))), ...items);
}

// -- decisions

function strategyOf(h) {
  const e = nav.edits[h.hand];
  if (!e) return h.strategy;
  const t = e.reduce((s, x) => s + x, 0);
  return e.map(x => x / t);
}

function cellData(n) {
  const cells = {};
  for (const h of n.hands) (cells[h.cls] ||= []).push(h);
  const out = {};
  for (const [cls, hs] of Object.entries(cells)) {
    const w = hs.reduce((s, h) => s + h.weight, 0);
    const freq = n.actions.map((_, a) => w > 0 ? hs.reduce((s, h) => s + h.weight * strategyOf(h)[a], 0) / w : 0);
    const avg = key => { let num = 0, den = 0; for (const h of hs) if (h[key] !== null) { num += h.weight * h[key]; den += h.weight; } return den ? num / den : null; };
    const possible = state.byClass[cls].filter(p => !touchesBoard(state.order[p], n.board)).length;
    out[cls] = { hands: hs, weight: w, freq, ev: avg('ev'), equity: avg('equity'), eqr: avg('eqr'),
      height: possible ? w / possible : 0 };
  }
  return out;
}

function touchesBoard(hand, board) {
  const a = hand.slice(0, 2).toLowerCase(), b = hand.slice(2).toLowerCase();
  return board.some(c => c.toLowerCase() === a || c.toLowerCase() === b);
}

function decisionView(n) {
  const colours = actionColours(n.actions);
  const actionButtons = el('div', { class: 'actions', id: 'actions', style: { margin: '0 0 0 12px' } }, ...n.actions.map((a, i) =>
    el('button', { style: { borderColor: colours[i] }, dataset: { path: a.path, token: a.token },
      title: `key ${i + 1}`, onclick: () => go(a.path) },
      el('b', {}, a.label), el('small', {}, `${pct(a.freq)} · EV ${fmt(a.ev)}`))));
  const head = el('div', { class: 'panel' },
    el('div', { class: 'row', style: { alignItems: 'center' } },
      el('h3', { style: { margin: 0 } }, `${n.player} to act`),
      el('span', { class: 'muted' }, `pot ${fmt(n.pot_now, 0)} · invested OOP ${fmt(n.invested[0], 0)}, IP ${fmt(n.invested[1], 0)}`),
      n.locked ? el('span', { class: 'tag', id: 'locked-tag' }, 'LOCKED') : null,
      n.partial ? el('span', { class: 'muted', id: 'partial' }, '(solver running: strategy of the current iteration; EVs and equities once it stops)') : null,
      el('span', { class: 'muted', id: 'loadms' }, `read in ${Math.round(nav.loadMs || 0)} ms`),
      actionButtons));
  const cells = cellData(n);
  return el('div', {}, head, el('div', { class: 'cols' },
    el('div', {}, gridPanel(n, cells, colours)),
    el('div', {}, summaryPanel(n, colours), lockPanel(n, colours), categoryPanel(n))),
    tablePanel(n));
}

function gridPanel(n, cells, colours) {
  const grid = el('div', { class: 'hgrid', id: 'grid', role: 'grid', 'aria-label': 'strategy grid' });
  for (const [, , cls] of gridClasses()) {
    const c = cells[cls];
    if (!c) { grid.append(el('div', { class: 'hcell empty', dataset: { cls } }, el('span', { class: 'lbl', style: { color: '#aab' } }, cls))); continue; }
    const h = nav.fullHeight ? 100 : Math.max(4, 100 * c.height);
    let body;
    if (nav.mode === 'strategy') {
      body = el('div', { class: 'bars', style: { height: `${h}%` } },
        ...c.freq.map((f, a) => el('span', { style: { width: `${100 * f}%`, background: colours[a] } })));
    } else {
      const [value, lo, hi] = nav.mode === 'ev' ? [(c.ev ?? NaN) + n.invested[n.player === 'OOP' ? 0 : 1], 0, n.pot_now]
        : nav.mode === 'equity' ? [c.equity, 0, 1] : [c.eqr, 0.5, 1.5];
      body = el('div', { class: 'bars', style: { height: `${h}%`, background: scaleColour(value, lo, hi) } });
    }
    const sub = nav.mode === 'strategy' ? '' : nav.mode === 'ev' ? fmt(c.ev, 0) : nav.mode === 'equity' ? fmt(100 * c.equity, 0) : fmt(c.eqr, 2);
    const cell = el('div', { class: 'hcell' + (isSelected(c) ? ' sel' : ''), tabindex: 0, role: 'gridcell',
      dataset: { cls, combos: c.weight.toFixed(4), freq: c.freq.map(f => f.toFixed(4)).join(','),
        ev: c.ev === null ? '' : c.ev.toFixed(3), equity: c.equity === null ? '' : c.equity.toFixed(4) },
      'aria-label': `${cls}: ` + n.actions.map((a, i) => `${a.label} ${Math.round(100 * c.freq[i])} %`).join(', '),
      onmouseenter: e => tooltip(e, n, c, colours), onmouseleave: hideTooltip,
      onfocus: e => tooltip(e, n, c, colours), onblur: hideTooltip,
      onclick: () => cellClick(cls, c),
      onkeydown: e => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); cellClick(cls, c); } } },
      body, el('span', { class: 'lbl' }, cls), sub ? el('span', { class: 'sub' }, sub) : null);
    grid.append(cell);
  }
  const modes = el('select', { id: 'colour-mode', 'aria-label': 'colour mode',
    onchange: e => { nav.mode = e.target.value; render(); } },
    ...[['strategy', 'Strategy'], ['ev', 'EV'], ['equity', 'Equity'], ['eqr', 'EQR']]
      .map(([v, t]) => el('option', { value: v, selected: nav.mode === v }, t)));
  const legend = nav.mode === 'strategy'
    ? el('div', { class: 'legend' }, ...n.actions.map((a, i) => el('span', {}, el('i', { style: { background: colours[i] } }), a.label)))
    : el('div', { class: 'legend' }, el('span', {}, el('i', { style: { background: scaleColour(0, 0, 1) } }), 'low'),
      el('span', {}, el('i', { style: { background: scaleColour(0.5, 0, 1) } }), 'middle'),
      el('span', {}, el('i', { style: { background: scaleColour(1, 0, 1) } }), 'high'),
      el('span', { class: 'muted' }, nav.mode === 'ev' ? 'EV as a share of the pot now' : nav.mode === 'eqr' ? 'EQR 0.5 … 1.5' : 'equity 0 … 100 %'));
  return el('div', { class: 'panel' },
    el('div', { class: 'row', style: { alignItems: 'center' } }, el('h3', {}, `${n.player}'s strategy`),
      el('label', { class: 'inline' }, 'Colour', modes),
      el('label', { class: 'inline' }, el('input', { type: 'checkbox', id: 'full-height', checked: nav.fullHeight,
        onchange: e => { nav.fullHeight = e.target.checked; render(); } }), 'Full height'),
      nav.filter ? el('button', { onclick: () => { nav.filter = null; render(); } }, `Show all (now ${nav.filter})`) : null),
    legend, grid,
    el('p', { class: 'muted' }, nav.edit ? 'Editing: click cells to select them for the lock editor.'
      : 'Bar height: the hand\'s weight at the node. Click a cell to list its combos in the table.'));
}

function isSelected(c) { return nav.edit && c.hands.every(h => nav.selection.has(h.hand)); }

function cellClick(cls, c) {
  if (nav.edit) {
    const all = isSelected(c);
    for (const h of c.hands) all ? nav.selection.delete(h.hand) : nav.selection.add(h.hand);
  } else nav.filter = nav.filter === cls ? null : cls;
  render();
}

function tooltip(e, n, c, colours) {
  const tip = document.getElementById('tooltip');
  tip.replaceChildren(el('table', {},
    el('thead', {}, el('tr', {}, el('th', {}, 'Combo'), el('th', {}, 'Weight'), ...n.actions.map((a, i) =>
      el('th', { style: { color: colours[i] } }, a.label)), el('th', {}, 'EV'), el('th', {}, 'Equity'))),
    el('tbody', {}, ...c.hands.map(h => el('tr', {}, el('td', {}, handText(h.hand)), el('td', {}, fmt(h.weight, 3)),
      ...strategyOf(h).map((s, a) => el('td', {}, `${Math.round(100 * s)} % (${fmt(h.action_ev[a], 1)})`)),
      el('td', {}, fmt(h.ev)), el('td', {}, pct(h.equity)))))));
  tip.hidden = false;
  const r = e.target.getBoundingClientRect();
  const x = Math.min(r.right + 8, window.innerWidth - tip.offsetWidth - 8);
  const y = Math.min(r.top, window.innerHeight - tip.offsetHeight - 8);
  tip.style.left = `${Math.max(0, x)}px`; tip.style.top = `${Math.max(0, y)}px`;
}
function hideTooltip() { document.getElementById('tooltip').hidden = true; }

function summaryPanel(n, colours) {
  return el('div', { class: 'panel' }, el('h3', {}, 'Range summary'),
    el('table', { id: 'action-summary' },
      el('thead', {}, el('tr', {}, el('th', {}, 'Action'), el('th', {}, 'Frequency'), el('th', {}, 'Combos'), el('th', {}, 'EV'))),
      el('tbody', {}, ...n.actions.map((a, i) => el('tr', { dataset: { token: a.token } },
        el('td', {}, el('i', { style: { display: 'inline-block', width: '10px', height: '10px', background: colours[i], marginRight: '6px' } }), a.label),
        el('td', {}, pct(a.freq)), el('td', {}, fmt(a.combos, 1)), el('td', {}, fmt(a.ev)))),
        el('tr', {}, el('td', {}, el('b', {}, 'All')), el('td', {}, ''), el('td', {}, fmt(n.summary.combos, 1)),
          el('td', { id: 'node-ev' }, fmt(n.summary.ev))))),
    el('p', {}, `${n.player}'s equity ${pct(n.summary.equity)}`));
}

function categoryPanel(n) {
  const table = (rows, title) => el('table', { class: 'categories' },
    el('thead', {}, el('tr', {}, el('th', {}, title), el('th', {}, 'Share'), ...n.actions.map(a => el('th', {}, a.label)),
      el('th', {}, 'EV'), el('th', {}, 'Equity'))),
    el('tbody', {}, ...rows.map(g => el('tr', {}, el('td', {}, (g.name || '').replaceAll('_', ' ')), el('td', {}, pct(g.share)),
      ...g.freq.map(f => el('td', {}, pct(f, 0))), el('td', {}, fmt(g.ev)), el('td', {}, pct(g.equity))))));
  return el('div', { class: 'panel', id: 'category-summary' }, el('h3', {}, 'By hand category'),
    el('div', { class: 'tablewrap', style: { maxHeight: '300px' } }, table(n.categories, 'Made hand'), table(n.draws, 'Draw')));
}

// -- the combo table

function columns(n) {
  const cols = [['hand', 'Hand', h => h.hand], ['weight', 'Weight', h => h.weight]];
  n.actions.forEach((a, i) => {
    const name = a.label.replace(/ \(.*\)$/, '');
    cols.push([`f${i}`, `${name} %`, h => strategyOf(h)[i]]);
    cols.push([`e${i}`, `${name} EV`, h => h.action_ev[i]]);
  });
  cols.push(['ev', 'EV', h => h.ev], ['equity', 'Equity', h => h.equity], ['eqr', 'EQR', h => h.eqr],
    ['category', 'Category', h => h.category], ['draw', 'Draw', h => h.draw]);
  return cols;
}

function sortedHands(n) {
  const cols = columns(n);
  const col = cols.find(c => c[0] === nav.sort.key) || cols[1];
  const hands = n.hands.filter(h => !nav.filter || h.cls === nav.filter);
  return hands.sort((a, b) => {
    const x = col[2](a), y = col[2](b);
    if (x === y) return 0;
    if (x === null) return 1; if (y === null) return -1;
    return (x < y ? -1 : 1) * nav.sort.dir;
  });
}

export function tableCsv(n) {
  const cols = columns(n);
  const q = v => typeof v === 'string' && /[",\n]/.test(v) ? `"${v.replaceAll('"', '""')}"` : v ?? '';
  return [cols.map(c => q(c[1])).join(','), ...sortedHands(n).map(h => cols.map(c => q(c[2](h))).join(','))].join('\n') + '\n';
}

function tablePanel(n) {
  const cols = columns(n);
  const hands = sortedHands(n);
  const shown = hands.slice(0, 400);
  const fmtCell = (key, v) => v === null || v === undefined ? '–' : typeof v === 'string'
    ? (key === 'hand' ? handText(v) : v.replaceAll('_', ' ')) : key.startsWith('f') || key === 'equity' ? pct(v) : fmt(v, key === 'weight' || key === 'eqr' ? 3 : 2);
  const head = el('tr', {}, nav.edit ? el('th', {}, 'Sel') : null, ...cols.map(([key, label]) => el('th', {
    class: 'sortable' + (nav.sort.key === key ? (nav.sort.dir > 0 ? ' sorted-asc' : ' sorted-desc') : ''),
    tabindex: 0, dataset: { key }, 'aria-sort': nav.sort.key === key ? (nav.sort.dir > 0 ? 'ascending' : 'descending') : 'none',
    onclick: () => sortBy(key), onkeydown: e => { if (e.key === 'Enter') sortBy(key); } }, label)));
  const body = shown.map(h => el('tr', { dataset: { hand: h.hand } },
    nav.edit ? el('td', {}, el('input', { type: 'checkbox', checked: nav.selection.has(h.hand), 'aria-label': `select ${h.hand}`,
      onchange: e => { e.target.checked ? nav.selection.add(h.hand) : nav.selection.delete(h.hand); render(); } })) : null,
    ...cols.map(([key, , get]) => el('td', {}, fmtCell(key, get(h))))));
  const name = `node-${n.path.replaceAll(':', '_')}`;
  return el('div', { class: 'panel' },
    el('div', { class: 'row', style: { alignItems: 'center' } }, el('h3', {}, 'Combos'),
      el('span', { class: 'muted' }, `${hands.length} combos in play${nav.filter ? ` (${nav.filter})` : ''}${hands.length > shown.length ? `, first ${shown.length} shown` : ''}`),
      el('button', { id: 'export-csv', onclick: () => download(`${name}.csv`, tableCsv(n), 'text/csv') }, 'Export CSV'),
      el('button', { id: 'export-json', onclick: () => download(`${name}.json`, JSON.stringify({
        path: n.path, description: n.description, actions: n.actions.map(a => a.label), hands: sortedHands(n) }, null, 1), 'application/json') }, 'Export JSON')),
    el('div', { class: 'tablewrap' }, el('table', { id: 'combo-table' }, el('thead', {}, head), el('tbody', {}, body))));
}

function sortBy(key) {
  nav.sort = nav.sort.key === key ? { key, dir: -nav.sort.dir } : { key, dir: key === 'hand' ? 1 : -1 };
  render();
}

// -- locks

function lockPanel(n, colours) {
  const pending = Object.keys(nav.edits).length;
  const rows = [];
  if (nav.edit) {
    rows.push(el('p', {}, `${nav.selection.size} combos selected. `,
      el('button', { onclick: () => { for (const h of n.hands) nav.selection.add(h.hand); render(); } }, 'Select all'), ' ',
      el('button', { onclick: () => { nav.selection.clear(); render(); } }, 'Clear selection')));
    rows.push(el('div', { class: 'row' }, ...n.actions.map((a, i) => el('button', {
      class: 'always', dataset: { action: i }, style: { borderLeft: `6px solid ${colours[i]}` }, disabled: !nav.selection.size,
      onclick: () => { for (const h of nav.selection) nav.edits[h] = n.actions.map((_, j) => j === i ? 1 : 0); render(); } },
    `Always ${a.label}`))));
    rows.push(el('div', { class: 'row', style: { alignItems: 'center', marginTop: '6px' } }, 'Mix:',
      ...n.actions.map((a, i) => el('label', { class: 'inline' }, a.label, el('input', { type: 'number', min: 0, max: 100,
        value: nav.mix[i], 'aria-label': `${a.label} %`, oninput: e => { nav.mix[i] = Number(e.target.value) || 0; } }))),
      el('button', { disabled: !nav.selection.size, onclick: () => {
        if (nav.mix.reduce((s, x) => s + x, 0) <= 0) return;
        for (const h of nav.selection) nav.edits[h] = [...nav.mix]; render(); } }, 'Apply mix')));
  }
  const lock = n.lock;
  const compare = nav.compare || (lock && lock.after ? lock : null);
  return el('div', { class: 'panel', id: 'lock-panel' }, el('h3', {}, 'Node lock'),
    el('label', { class: 'inline' }, el('input', { type: 'checkbox', id: 'edit-mode', checked: nav.edit,
      onchange: e => { nav.edit = e.target.checked; render(); } }), `Edit ${n.player}'s strategy`),
    ...rows,
    el('div', { class: 'row', style: { marginTop: '6px' } },
      el('button', { id: 'lock', class: 'primary', onclick: () => lockNode(n) }, pending ? `Lock node (${pending} combos edited)` : 'Lock node as it plays'),
      el('button', { id: 'unlock', disabled: !n.locked, onclick: () => unlockNode(n) }, 'Unlock'),
      pending ? el('button', { onclick: () => { nav.edits = {}; render(); } }, 'Discard edits') : null,
      lock ? el('button', { id: 'compare', onclick: () => compareLock(n) }, 'Compare EVs') : null),
    lock ? el('p', { class: 'muted' }, 'Locked. Continue solving so that the rest of the tree adapts to it, then compare.') : null,
    compare ? compareTable(compare) : null);
}

function compareTable(lock) {
  const b = lock.before, a = lock.after || {};
  const row = (label, key) => el('tr', {}, el('td', {}, label), el('td', {}, fmt(b[key])), el('td', {}, fmt(a[key])),
    el('td', {}, a[key] === undefined || a[key] === null || b[key] === null ? '–' : fmt(a[key] - b[key])));
  return el('table', { id: 'lock-compare' }, el('thead', {}, el('tr', {}, el('th', {}, ''), el('th', {}, 'Before'), el('th', {}, 'After'), el('th', {}, 'Change'))),
    el('tbody', {}, row('EV OOP (game)', 'ev_oop'), row('EV IP (game)', 'ev_ip'), row(`${lock.player}'s EV at the node`, 'node_ev'),
      el('tr', {}, el('td', {}, 'Iterations'), el('td', {}, b.iterations ?? '–'), el('td', {}, a.iterations ?? '–'), el('td', {}))));
}

async function lockNode(n) {
  await guarded(async () => {
    await api(`sessions/${state.sid}/lock`, { path: n.path, hands: nav.edits });
    nav.edits = {}; nav.selection.clear(); nav.edit = false;
    await loadNode();
  });
}
async function unlockNode(n) {
  await guarded(async () => { await api(`sessions/${state.sid}/unlock`, { path: n.path }); await loadNode(); });
}
async function compareLock(n) {
  await guarded(async () => { nav.compare = await api(`sessions/${state.sid}/lock?path=${encodeURIComponent(n.path)}`); render(); });
}

// -- chance nodes

function chancePanel(n) {
  const c = nav.chance;
  const byCard = {};
  if (c) for (const row of c.cards) byCard[row.card.toLowerCase()] = row;
  const colours = c && c.actions.length ? actionColours(c.actions) : [];
  const grid = el('div', { class: 'chancegrid', id: 'chance-grid', role: 'group', 'aria-label': 'next card' });
  for (const suit of 'shdc') for (let r = 12; r >= 0; r--) {
    const card = RANKS[r] + suit;
    const row = byCard[card.toLowerCase()];
    const listed = n.cards.map(x => x.toLowerCase()).includes(card.toLowerCase());
    if (!listed) { grid.append(el('div', { class: 'ccard', style: { opacity: .25 } }, el('span', { class: `name s-${suit}` }, ''))); continue; }
    grid.append(el('button', { class: `ccard`, dataset: { card }, onclick: () => go(`${n.path}:${card}`),
      'aria-label': row ? `${card}: OOP EV ${fmt(row.ev_oop)}, equity ${pct(row.equity_oop)}` : card },
      el('span', { class: `name card s-${suit}`, style: { border: 0, width: 'auto', height: 'auto', flexDirection: 'row', background: 'transparent' } },
        card[0], SUIT_SYMBOL[suit]),
      el('span', { class: 'bar' }, ...(row && row.freq ? row.freq.map((f, i) => el('span', { style: { width: `${100 * f}%`, background: colours[i] } })) : [])),
      el('span', { class: 'fig' }, el('span', { title: 'OOP EV' }, !row ? '…' : row.ev_oop === null ? '' : `EV ${fmt(row.ev_oop, 1)}`),
        el('span', { title: 'OOP equity' }, row ? `eq ${fmt(100 * row.equity_oop, 0)} %` : ''))));
  }
  return el('div', { class: 'panel', id: 'chance' }, el('h3', {}, `Next card — ${n.crumbs.at(-1).label}`),
    c ? el('div', { class: 'legend' }, el('span', { class: 'muted' }, `Bars: ${c.player}'s next decision:`),
      ...c.actions.map((a, i) => el('span', {}, el('i', { style: { background: colours[i] } }), a.label)),
      el('span', { class: 'muted' }, c.partial ? 'Figures: OOP\'s equity after the card (EVs once the solver stops).'
        : 'Figures: OOP\'s EV and equity after the card.'))
      : el('p', { class: 'muted' }, 'Reading every card…'),
    grid,
    c ? chanceTable(c) : null);
}

function chanceTable(c) {
  return el('details', {}, el('summary', {}, 'As a table'), el('table', { id: 'chance-table' },
    el('thead', {}, el('tr', {}, el('th', {}, 'Card'), ...c.actions.map(a => el('th', {}, a.label)), el('th', {}, 'OOP EV'), el('th', {}, 'OOP equity'))),
    el('tbody', {}, ...c.cards.map(r => el('tr', { dataset: { card: r.card } }, el('td', {}, r.card),
      ...(r.freq || c.actions.map(() => null)).map(f => el('td', {}, pct(f))), el('td', {}, fmt(r.ev_oop)), el('td', {}, pct(r.equity_oop)))))));
}
