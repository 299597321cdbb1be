// The set-up view: board, pot and stacks, both ranges, bet sizes, solver settings; build and solve.
import { state, el, api, guarded, gridClasses, cardNode, RANKS, fmt } from './util.js';

const STREET_NAMES = ['flop', 'turn', 'river'];
const DEFAULT_RANGES = {
  oop: '66+,A8s+,A5s-A4s,AJo+,K9s+,KQo,QTs+,JTs,96s+,85s+,75s+,65s,54s',
  ip: 'QQ-22,AQs-A2s,ATo+,K5s+,KJo+,Q8s+,J8s+,T7s+,96s+,86s+,75s+,64s+,53s+',
};

let painting = false;            // a drag over the range grid, across re-renders
document.addEventListener('mouseup', () => { painting = false; });

export const form = {
  board: ['Td', '9d', '6h', 'Qc'], pot: 200, stack: 900,
  ranges: { oop: new Array(1326).fill(0), ip: new Array(1326).fill(0) },
  player: 'oop', paint: 1, text: { oop: '', ip: '' },
  sizes: Object.fromEntries(STREET_NAMES.map(s => [s, {
    oop: { bet: '33, 75', raise: '3x' }, ip: { bet: '33, 75', raise: '3x' }, cap: 2, lead: '' }])),
  allin: 'always', allinPots: 1.5, allinLeft: 0.25,
  threads: 2, accuracy: 0.5, compression: 'auto', maxSeconds: '',
};

export async function initSetup() {
  for (const p of ['oop', 'ip']) {
    const r = await api('range/parse', { text: DEFAULT_RANGES[p] });
    form.ranges[p] = r.weights;
    form.text[p] = r.text;
  }
}

export function loadSetup(setup) {
  // A stored set-up (ranges as text) back into the form.
  form.board = setup.board.trim().split(/[\s,]+/);
  form.pot = setup.pot; form.stack = setup.stack;
  const tree = setup.tree || {};
  for (const s of STREET_NAMES) {
    const t = tree[s] || {};
    for (const p of ['oop', 'ip']) {
      const pick = k => (t[p] || {})[k] ?? t[k] ?? tree[k];
      const list = v => v === undefined ? '' : [].concat(v).join(', ');
      form.sizes[s][p] = { bet: list(pick('bet')), raise: list(pick('raise')) };
    }
    form.sizes[s].cap = t.raise_cap ?? tree.raise_cap ?? 3;
    const lead = (t.oop || {}).lead ?? t.lead ?? tree.lead;
    form.sizes[s].lead = lead === true ? 'same' : lead ? [].concat(lead).join(', ') : '';
  }
  form.allin = tree.allin === false ? 'never' : typeof tree.allin === 'number' ? 'pots' : 'always';
  if (typeof tree.allin === 'number') form.allinPots = tree.allin;
  form.allinLeft = tree.allin_left ?? 0;
  const solver = setup.solver || {};
  form.threads = solver.threads ?? 2; form.accuracy = solver.accuracy ?? 0.5;
  form.compression = solver.compression ?? 'auto';
  return Promise.all(['oop', 'ip'].map(async p => {
    const r = await api('range/parse', { text: setup.ranges[p] });
    form.ranges[p] = r.weights; form.text[p] = r.text;
  }));
}

function sizeList(text) {
  return text.split(/[\s,]+/).filter(Boolean).map(t => /^\d+(\.\d+)?$/.test(t) ? Number(t) : t);
}

export function toSetup() {
  const start = form.board.length - 2;
  const tree = { allin_left: Number(form.allinLeft) };
  tree.allin = form.allin === 'always' ? true : form.allin === 'never' ? false : Number(form.allinPots);
  for (let s = start; s <= 3; s++) {
    const name = STREET_NAMES[s - 1], f = form.sizes[name];
    const table = { raise_cap: Number(f.cap) };
    for (const p of ['oop', 'ip']) {
      table[p] = { bet: sizeList(f[p].bet), raise: sizeList(f[p].raise) };
    }
    if (s > start && f.lead.trim()) table.oop.lead = f.lead.trim() === 'same' ? true : sizeList(f.lead);
    tree[name] = table;
  }
  return { board: form.board.join(' '), pot: Number(form.pot), stack: Number(form.stack),
    ranges: { oop: form.ranges.oop, ip: form.ranges.ip }, tree,
    solver: { threads: Number(form.threads), accuracy: Number(form.accuracy),
      compression: form.compression } };
}

// What the tree depends on: the set-up without the solver's threads and target.
export function setupKey() {
  const s = toSetup();
  delete s.solver.threads; delete s.solver.accuracy;
  return JSON.stringify(s);
}

function boardPanel(rerender) {
  const grid = el('div', { class: 'cardgrid', role: 'group', 'aria-label': 'board cards' });
  for (const suit of 'shdc') for (let r = 12; r >= 0; r--) {
    const card = RANKS[r] + suit;
    const on = form.board.includes(card);
    grid.append(cardNode(card, {
      'aria-pressed': on ? 'true' : 'false', dataset: { card },
      disabled: !on && form.board.length >= 5,
      onclick: () => {
        form.board = on ? form.board.filter(c => c !== card) : [...form.board, card];
        rerender();
      } }));
  }
  const street = { 3: 'flop', 4: 'turn', 5: 'river' }[form.board.length];
  return el('div', { class: 'panel' }, el('h3', {}, 'Board'), grid,
    el('p', {}, street ? `${form.board.join(' ')} — a ${street} spot`
      : el('span', { class: 'warn' }, `pick 3 to 5 cards (${form.board.length} picked)`)),
    el('label', { class: 'inline' }, 'Pot', num('pot', 1)),
    el('label', { class: 'inline' }, 'Stack behind (each)', num('stack', 1)));
}

function num(key, min, step = 'any', obj = form) {
  return el('input', { type: 'number', min, step, value: obj[key], name: key,
    oninput: e => { obj[key] = e.target.value; } });
}
function text(obj, key, name, cls = 'sizes') {
  return el('input', { type: 'text', class: cls, value: obj[key], name,
    oninput: e => { obj[key] = e.target.value; } });
}

function sizesPanel() {
  const start = Math.max(1, form.board.length - 2);
  const body = [];
  for (let s = start; s <= 3; s++) {
    const name = STREET_NAMES[s - 1], f = form.sizes[name];
    body.push(el('tr', {}, el('th', {}, name[0].toUpperCase() + name.slice(1)),
      el('td', {}, text(f.oop, 'bet', `${name}.oop.bet`)), el('td', {}, text(f.oop, 'raise', `${name}.oop.raise`)),
      el('td', {}, text(f.ip, 'bet', `${name}.ip.bet`)), el('td', {}, text(f.ip, 'raise', `${name}.ip.raise`)),
      el('td', {}, num('cap', 0, 1, f)),
      el('td', {}, s > start ? text(f, 'lead', `${name}.lead`) : el('span', { class: 'muted' }, '—'))));
  }
  const allin = el('select', { name: 'allin', onchange: e => { form.allin = e.target.value; } },
    ...[['always', 'always'], ['never', 'never'], ['pots', 'when it adds at most … pots']]
      .map(([v, t]) => el('option', { value: v, selected: form.allin === v }, t)));
  return el('div', { class: 'panel' }, el('h3', {}, 'Bet sizes'),
    el('table', { class: 'sizes-table' },
      el('thead', {}, el('tr', {}, el('th', {}, ''), el('th', {}, 'OOP bets'), el('th', {}, 'OOP raises'),
        el('th', {}, 'IP bets'), el('th', {}, 'IP raises'), el('th', {}, 'Raise cap'), el('th', {}, 'OOP leads'))),
      el('tbody', {}, body)),
    el('p', { class: 'muted' }, 'Bets: % of the pot (33), chips (150c), geometric over the remaining streets (e), allin. ' +
      'Raises: times the bet (3x), % of the pot after calling (100%), chips (200c). Leads: sizes, "same", or empty for none.'),
    el('label', { class: 'inline' }, 'All-in', allin, num('allinPots', 0)),
    el('label', { class: 'inline' }, 'A bet leaving less than', num('allinLeft', 0), 'of the stack is all-in'));
}

function solverPanel(onBuild, onSolve) {
  const comp = el('select', { name: 'compression', onchange: e => { form.compression = e.target.value; } },
    ...['auto', 'none', 'low', 'medium', 'high', 'max'].map(v => el('option', { value: v, selected: form.compression === v }, v)));
  const info = state.treeInfo;
  return el('div', { class: 'panel' }, el('h3', {}, 'Solver'),
    el('label', { class: 'inline' }, 'Threads', num('threads', 0, 1)),
    el('label', { class: 'inline' }, 'Target accuracy (% of the pot)', num('accuracy', 0)),
    el('label', { class: 'inline' }, 'Compression', comp),
    el('div', { class: 'row', style: { marginTop: '8px' } },
      el('button', { id: 'build', onclick: onBuild }, 'Build tree'),
      el('button', { id: 'solve', class: 'primary', onclick: onSolve }, 'Solve')),
    !info ? el('p', { class: 'muted' }, 'Build the tree to see its size and memory need.')
      : state.builtKey !== setupKey() ? el('p', { class: 'warn', id: 'stale' },
        'The set-up differs from the tree built last: Build tree again to see its size (Solve builds it).')
      : treeInfo(info));
}

function treeInfo(info) {
  const c = info.node_count;
  const levels = info.memory_need ? info.memory_need.levels.map(l =>
    el('tr', {}, el('td', {}, `level ${l.level}${l.auto ? ' (auto picks it)' : ''}${l.in_force ? ' (in force)' : ''}`), el('td', {}, `${fmt(l.mb, 1)} MB`),
      el('td', {}, l.reserves_mb ? `reserves ${fmt(l.reserves_mb, 1)} MB` : ''))) : [];
  return el('div', { id: 'treeinfo' },
    ...(info.warnings || []).map(w => el('p', { class: 'warn' }, w)),
    el('p', {}, el('span', { class: 'stat' }, 'Nodes: ', el('b', { id: 'nodecount' }, c.TOTAL.toLocaleString('en'))),
      el('span', { class: 'stat muted' }, `decisions OOP ${c.V_DEC.total.toLocaleString('en')}, IP ${c.H_DEC.total.toLocaleString('en')}`)),
    info.memory_need ? el('table', { id: 'memory' }, el('tbody', {}, levels,
      ...info.memory_need.other.map(o => el('tr', {}, el('td', {}, o.label), el('td', {}, `${fmt(o.mb, 1)} MB`), el('td', {})))))
      : el('p', { id: 'memory' }, 'Memory need: n/a (this engine does not report it)'));
}

function rangePanel(rerender) {
  const p = form.player, weights = form.ranges[p];
  const grid = el('div', { class: 'hgrid', id: 'range-grid', role: 'grid', 'aria-label': `${p} range` });
  const paint = (cls) => {
    for (const pos of state.byClass[cls]) weights[pos] = form.paint;
    form.text[p] = '';
    rerender();
  };
  for (const [, , cls] of gridClasses()) {
    const ps = state.byClass[cls];
    const w = ps.reduce((s, x) => s + weights[x], 0) / ps.length;
    const cell = el('div', { class: 'hcell', tabindex: 0, role: 'gridcell', dataset: { cls, weight: w.toFixed(3) },
      'aria-label': `${cls} ${Math.round(w * 100)} %`,
      onmousedown: e => { e.preventDefault(); painting = true; paint(cls); },
      onmouseenter: () => { if (painting) paint(cls); },
      onkeydown: e => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); paint(cls); } } },
      el('div', { class: 'fill', style: { height: `${w * 100}%` } }),
      el('span', { class: 'lbl' }, cls),
      w > 0 && w < 1 ? el('span', { class: 'sub' }, Math.round(w * 100)) : null);
    grid.append(cell);
  }
  const combos = weights.reduce((s, w) => s + w, 0);
  const ta = el('textarea', { id: 'range-text', 'aria-label': 'range text', value: form.text[p] });
  ta.value = form.text[p];
  return el('div', { class: 'panel' }, el('h3', {}, 'Ranges'),
    el('div', { class: 'row' }, ...['oop', 'ip'].map(q => el('button', {
      'aria-pressed': q === p ? 'true' : 'false', class: q === p ? 'primary' : '', id: `range-${q}`,
      onclick: () => { form.player = q; rerender(); } }, q.toUpperCase())),
      el('label', { class: 'slider' }, 'Paint weight',
        el('input', { type: 'range', min: 0, max: 100, value: Math.round(form.paint * 100), id: 'paint',
          oninput: e => { form.paint = e.target.value / 100; e.target.nextSibling.textContent = `${e.target.value} %`; } }),
        el('span', {}, `${Math.round(form.paint * 100)} %`)),
      el('span', { class: 'muted' }, `${combos.toFixed(1)} combos`)),
    el('p', { class: 'muted' }, 'Click or drag over cells to paint them with the weight; Enter paints the focused cell.'),
    grid,
    el('div', { style: { marginTop: '8px' } }, ta,
      el('div', { class: 'row' },
        el('button', { id: 'range-import', onclick: () => guarded(async () => {
          const r = await api('range/parse', { text: ta.value });
          form.ranges[p] = r.weights; form.text[p] = r.text; rerender();
        }) }, 'Import text'),
        el('button', { id: 'range-export', onclick: () => guarded(async () => {
          const r = await api('range/format', { weights: form.ranges[p] });
          form.text[p] = r.text; rerender();
        }) }, 'Export to text'),
        el('button', { onclick: () => { form.ranges[p] = new Array(1326).fill(0); form.text[p] = ''; rerender(); } }, 'Clear'))));
}

export function renderSetup(root, actions) {
  const rerender = () => renderSetup(root, actions);
  root.replaceChildren(el('div', { class: 'cols' },
    el('div', {}, boardPanel(rerender), sizesPanel(), solverPanel(actions.build, actions.solve)),
    el('div', {}, rangePanel(rerender))));
}
