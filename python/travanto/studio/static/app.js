// The studio's page: tabs, the solver's progress, files, and the keyboard.
import { state, el, api, guarded, setOrder, showError, fmt } from './util.js';
import { form, initSetup, loadSetup, toSetup, renderSetup, setupKey } from './setup.js';
import { nav, go, back, forward, loadNode, mountBrowse, render as renderBrowse, resetBrowse } from './browse.js';

const views = ['setup', 'browse', 'files'];

function show(view) {
  state.view = view;
  for (const v of views) {
    document.getElementById(`view-${v}`).hidden = v !== view;
    document.getElementById(`tab-${v}`).setAttribute('aria-selected', v === view ? 'true' : 'false');
  }
  if (view === 'setup') renderSetup(document.getElementById('view-setup'), { build, solve });
  if (view === 'browse') renderBrowse();
  if (view === 'files') renderFiles();
}

// -- the open spot and its progress

function statusText() {
  const s = state.session;
  const box = document.getElementById('status');
  if (!s) { box.textContent = 'no spot open'; return; }
  const parts = [el('b', { id: 'solver-state' }, s.state), s.name ? ` ${s.name}` : '',
    s.board ? ` · ${s.board}` : '',
    ` · iterations `, el('b', { id: 'iterations' }, s.iterations ?? 0),
    ` · exploitability `, el('b', { id: 'exploitability' }, s.exploitability_pct === null ? '–' : `${fmt(s.exploitability_pct, 3)} %`),
    ` of the pot · ${fmt(s.elapsed, 1)} s · `, s.memory_mb === null ? 'memory –' : `${fmt(s.memory_mb, 0)} MB`,
    s.state === 'stopped' && s.reason ? ` · ${s.reason}` : ''];
  box.replaceChildren(...parts);
  if (s.state === 'dead') showError(`The engine of this spot ended: ${s.error}. Open the spot again (Files) or set it up anew.`);
}

function attach(progress) {
  state.sid = progress.id;
  state.session = progress;
  if (state.events) state.events.close();
  state.events = new EventSource(`api/sessions/${progress.id}/events`);
  state.events.onmessage = e => {
    const before = state.session ? state.session.state : null;
    state.session = JSON.parse(e.data);
    statusText();
    if (before === 'solving' && state.session.state !== 'solving') {
      if (state.view === 'browse') loadNode();
    }
    if (before !== state.session.state && state.view === 'browse') renderBrowse();
    // While solving, a decision node on screen follows the solver every few seconds.
    else if (state.session.state === 'solving' && state.view === 'browse' && nav.node
      && nav.node.actions && !nav.edit && performance.now() - (nav.loadedAt || 0) > 5000) loadNode();
  };
  statusText();
}

function solverControls() {
  const s = state.session;
  const solving = s && s.state === 'solving';
  return el('div', { class: 'row', style: { alignItems: 'center' } },
    el('button', { id: 'stop', disabled: !solving, onclick: () => guarded(async () => {
      state.session = await api(`sessions/${state.sid}/stop`, {}); statusText(); await loadNode(); }) }, '■ Stop'),
    el('button', { id: 'continue', disabled: !s || solving || s.state === 'dead' || s.state === 'empty',
      onclick: () => guarded(async () => {
        state.session = await api(`sessions/${state.sid}/solve`, { threads: Number(form.threads), accuracy: Number(form.accuracy) });
        statusText(); renderBrowse(); }) }, '▶ Continue'),
    el('span', { class: 'muted' }, s ? `${s.state}${s.state === 'stopped' && s.reason ? ` (${s.reason})` : ''}` : ''));
}

async function ensureSession() {
  if (!state.sid || (state.session && state.session.state === 'dead')) attach(await api('sessions', {}));
}

async function build() {
  await guarded(async () => {
    await ensureSession();
    document.getElementById('build').disabled = true;
    state.treeInfo = await api(`sessions/${state.sid}/build`, { setup: toSetup() });
    state.builtKey = setupKey();
    resetBrowse();
  });
  show('setup');
}

async function solve() {
  await guarded(async () => {
    if (state.session && state.session.state === 'solving') throw new Error('the solver is running: stop it first');
    if (state.builtKey !== setupKey() || !state.sid) await build();
    if (state.builtKey !== setupKey()) return;
    state.session = await api(`sessions/${state.sid}/solve`, { threads: Number(form.threads), accuracy: Number(form.accuracy) });
    statusText();
    resetBrowse();
    show('browse');
    await go('r:0', false);
  });
}

// -- files

async function renderFiles() {
  const root = document.getElementById('view-files');
  const data = await guarded(() => api('saved'));
  const sessions = await guarded(() => api('sessions'));
  const nameInput = el('input', { type: 'text', id: 'save-name', value: state.session?.name || '', placeholder: 'my-spot',
    'aria-label': 'name to save under', pattern: '[A-Za-z0-9][A-Za-z0-9_.-]*' });
  root.replaceChildren(
    el('div', { class: 'panel' }, el('h3', {}, 'Save the open spot'),
      el('p', { class: 'muted' }, `Into ${data ? data.workspace : 'the workspace'}: the solved tree and its set-up. Letters, digits, "_", "-", ".".`),
      el('div', { class: 'row' }, nameInput, el('button', { id: 'save', class: 'primary', disabled: !state.sid,
        onclick: () => guarded(async () => {
          const name = nameInput.value;
          const exists = data && data.spots.some(s => s.name === name);
          if (exists && !confirm(`Replace the saved spot ${name}?`)) return;
          await api(`sessions/${state.sid}/save`, { name, overwrite: exists });
          state.session.name = name; statusText(); renderFiles(); }) }, 'Save'))),
    el('div', { class: 'panel' }, el('h3', {}, 'Saved spots'),
      data && data.spots.length ? el('table', { id: 'saved' },
        el('thead', {}, el('tr', {}, ...['Name', 'Board', 'Pot', 'Stack', 'Iterations', 'Exploitability', 'Size', 'Saved', ''].map(t => el('th', {}, t)))),
        el('tbody', {}, ...data.spots.map(s => el('tr', { dataset: { name: s.name } },
          el('td', {}, s.name), el('td', {}, s.board), el('td', {}, s.pot), el('td', {}, s.stack), el('td', {}, s.iterations ?? '–'),
          el('td', {}, s.exploitability_pct === null ? '–' : `${fmt(s.exploitability_pct, 3)} %`), el('td', {}, `${s.size_mb} MB`),
          el('td', {}, s.saved),
          el('td', {}, el('button', { class: 'open', onclick: () => openSaved(s.name) }, 'Open'), ' ',
            el('button', { class: 'delete', onclick: () => {
              if (confirm(`Delete ${s.name} (tree and set-up)?`)) guarded(async () => { await api('saved/delete', { name: s.name }); renderFiles(); });
            } }, 'Delete')))))) : el('p', { class: 'muted' }, 'Nothing saved yet.')),
    el('div', { class: 'panel' }, el('h3', {}, 'Open spots (engines running)'),
      sessions && sessions.sessions.length ? el('table', { id: 'sessions' }, el('tbody', {}, ...sessions.sessions.map(s => el('tr', {},
        el('td', {}, s.name || s.id), el('td', {}, s.board || ''), el('td', {}, s.state), el('td', {}, `${s.iterations} iterations`),
        el('td', {}, el('button', { onclick: () => { attach(s); resetBrowse(); show('browse'); go('r:0', false); }, disabled: s.id === state.sid }, s.id === state.sid ? 'Shown' : 'Show'), ' ',
          el('button', { onclick: () => guarded(async () => {
            await api(`sessions/${s.id}/close`, {});
            if (s.id === state.sid) { state.sid = null; state.session = null; if (state.events) state.events.close(); statusText(); resetBrowse(); }
            renderFiles(); }) }, 'Close')))))) : el('p', { class: 'muted' }, 'None.')));
}

async function openSaved(name) {
  await guarded(async () => {
    const progress = await api('saved/open', { name });
    attach(progress);
    const summary = await api(`sessions/${progress.id}`);
    if (summary.setup) await loadSetup(summary.setup);
    state.treeInfo = summary.tree; state.builtKey = setupKey();
    resetBrowse();
    show('browse');
    await go('r:0', false);
  });
}

// -- start

document.addEventListener('keydown', e => {
  const typing = /^(INPUT|TEXTAREA|SELECT)$/.test(e.target.tagName);
  if (e.altKey && e.key === 'ArrowLeft') { e.preventDefault(); back(); return; }
  if (e.altKey && e.key === 'ArrowRight') { e.preventDefault(); forward(); return; }
  if (typing || e.ctrlKey || e.metaKey || e.altKey || state.view !== 'browse') return;
  if (e.key === 'Backspace') { e.preventDefault(); back(); }
  else if (e.key === 'r') loadNode();
  else if (/^[1-9]$/.test(e.key) && nav.node && nav.node.actions) {
    const a = nav.node.actions[Number(e.key) - 1];
    if (a) go(a.path);
  }
});

async function start() {
  for (const v of views) document.getElementById(`tab-${v}`).addEventListener('click', () => show(v));
  mountBrowse(document.getElementById('view-browse'), solverControls);
  await guarded(async () => {
    state.info = await api('info');
    document.getElementById('version').textContent = state.info.version;
    setOrder(state.info.hand_order);
    await initSetup();
    const { sessions } = await api('sessions');
    const live = sessions.filter(s => s.state !== 'empty' && s.state !== 'dead');
    if (live.length) {
      const s = live[live.length - 1];
      attach(s);
      const summary = await api(`sessions/${s.id}`);
      if (summary.setup) await loadSetup(summary.setup);
      state.treeInfo = summary.tree; state.builtKey = setupKey();
      show('browse');
      await go('r:0', false);
      return;
    }
    statusText();
    show('setup');
  });
  document.body.dataset.ready = 'true';
}

start();
