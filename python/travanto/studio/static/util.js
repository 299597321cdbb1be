// Shared by the studio's modules: DOM helpers, the JSON interface, hands and colours.
export const RANKS = '23456789TJQKA';
export const SUIT_SYMBOL = { c: '♣', d: '♦', h: '♥', s: '♠' };

export const state = {
  info: null, order: [], classOf: [], byClass: {}, sid: null, session: null,
  view: 'setup', events: null, builtKey: null, treeInfo: null,
};

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') node.className = v;
    else if (k === 'style' && typeof v === 'object') Object.assign(node.style, v);
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (k === 'dataset') Object.assign(node.dataset, v);
    else node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children.flat()) {
    if (c === null || c === undefined || c === false) continue;
    node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return node;
}

export async function api(path, body) {
  const init = body === undefined ? {} : {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  let res;
  try { res = await fetch('api/' + path, init); } catch (e) {
    throw new Error('the studio server does not answer (' + e.message + ')');
  }
  const data = await res.json().catch(() => ({ error: `HTTP ${res.status}` }));
  if (!res.ok) throw new Error(data.error || `HTTP ${res.status}`);
  return data;
}

export function showError(message) {
  const box = document.getElementById('error');
  if (!message) { box.hidden = true; box.textContent = ''; return; }
  box.hidden = false;
  box.textContent = message;
}

export async function guarded(fn) {
  try { showError(''); return await fn(); } catch (e) { showError(e.message); return undefined; }
}

export function classOfHand(name) {
  const r1 = RANKS.indexOf(name[0].toUpperCase()), r2 = RANKS.indexOf(name[2].toUpperCase());
  const hi = Math.max(r1, r2), lo = Math.min(r1, r2);
  if (hi === lo) return RANKS[hi] + RANKS[hi];
  return RANKS[hi] + RANKS[lo] + (name[1].toLowerCase() === name[3].toLowerCase() ? 's' : 'o');
}

export function setOrder(names) {
  state.order = names;
  state.classOf = names.map(classOfHand);
  state.byClass = {};
  names.forEach((n, p) => (state.byClass[state.classOf[p]] ||= []).push(p));
}

// (row, column, class) of the 13x13 grid: aces first, suited above the diagonal.
export function gridClasses() {
  const out = [];
  for (let i = 0; i < 13; i++) for (let j = 0; j < 13; j++) {
    const hi = 12 - Math.min(i, j), lo = 12 - Math.max(i, j);
    const name = i === j ? RANKS[hi] + RANKS[hi] : RANKS[hi] + RANKS[lo] + (i < j ? 's' : 'o');
    out.push([i, j, name]);
  }
  return out;
}

export function cardNode(card, attrs = {}) {
  const suit = card[1].toLowerCase();
  return el('button', { class: `card s-${suit}`, 'aria-label': card, ...attrs },
    el('span', {}, card[0].toUpperCase()), el('span', { class: 'suit' }, SUIT_SYMBOL[suit]));
}

export function handText(name) {
  return name[0] + SUIT_SYMBOL[name[1]] + name[2] + SUIT_SYMBOL[name[3]];
}

const BETS = ['#f4a259', '#e76f51', '#d62828', '#9d0208', '#6a040f'];
export function actionColours(actions) {
  const bets = actions.filter(a => a.token.startsWith('b') && !a.allin)
    .map(a => Number(a.token.slice(1))).sort((a, b) => a - b);
  return actions.map(a => a.token === 'f' ? '#3d7dca' : a.token === 'c' ? '#4daf4a'
    : a.allin ? '#5b1a6e' : BETS[Math.min(bets.indexOf(Number(a.token.slice(1))), BETS.length - 1)]);
}

function mix(a, b, t) {
  const pa = [1, 3, 5].map(i => parseInt(a.slice(i, i + 2), 16));
  const pb = [1, 3, 5].map(i => parseInt(b.slice(i, i + 2), 16));
  return 'rgb(' + pa.map((x, i) => Math.round(x + (pb[i] - x) * t)).join(',') + ')';
}
// A value on a scale low..high as red, yellow, green.
export function scaleColour(value, low, high) {
  if (value === null || value === undefined || Number.isNaN(value)) return '#e9ebef';
  const t = Math.max(0, Math.min(1, (value - low) / (high - low)));
  return t < 0.5 ? mix('#d73027', '#fee08b', t * 2) : mix('#fee08b', '#1a9850', (t - 0.5) * 2);
}

export const fmt = (x, d = 2) => (x === null || x === undefined || Number.isNaN(x)) ? '–' : Number(x).toFixed(d);
export const pct = (x, d = 1) => (x === null || x === undefined) ? '–' : (100 * x).toFixed(d) + ' %';

export function download(name, text, type) {
  const a = el('a', { href: URL.createObjectURL(new Blob([text], { type })), download: name });
  document.body.append(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}
