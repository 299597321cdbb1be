// Browser test of the studio: Debian's chromium driven by playwright-core. It starts the studio
// on a temporary workspace, sets a turn spot up through the page, solves it, and checks what the
// page shows against the engine's own answers for the same nodes (read from the saved tree by a
// separate engine process). One screenshot goes to build/studio-shots/.
//   node browser_test.js   (TRAVANTO_ENGINE: the engine; STUDIO_SHOTS: the screenshot folder)
'use strict';
const { chromium } = require('playwright-core');
const { spawn, spawnSync } = require('child_process');
const assert = require('assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');

const REPO = path.resolve(__dirname, '..', '..', '..');
const ENGINE = process.env.TRAVANTO_ENGINE || path.join(REPO, 'build', 'travanto');
const SHOTS = process.env.STUDIO_SHOTS || path.join(REPO, 'build', 'studio-shots');
const PYTHON = process.env.PYTHON || '/usr/bin/python3';
const TMP = fs.mkdtempSync(path.join(os.tmpdir(), 'travanto-studio-browser-'));
const WORKSPACE = path.join(TMP, 'spots');
const OOP = 'QQ+,AK,AQs,T9s,65s,98s';
const IP = 'JJ-88,AQ,KQ,QJs,JTs';
const near = (a, b, what, tol = 2e-4) => assert.ok(Math.abs(a - b) <= tol, `${what}: ${a} vs ${b}`);

// Per hand in play at a decision node of a saved tree: the acting player's weight and strategy,
// from a separate engine process.
function engineNode(tree, nodePath, player, actions, board) {
  const commands = ['show_hand_order', `show_strategy ${nodePath}`, `show_range ${player} ${nodePath}`];
  const input = ['load_tree ' + tree, 'is_ready', ...commands.flatMap(c => [c, 'is_ready']), 'exit'].join('\n') + '\n';
  const answers = [[]];
  for (const line of spawnSync(ENGINE, [], { input, encoding: 'latin1', maxBuffer: 1 << 28 }).stdout.split('\n').slice(1)) {
    if (line === 'is_ready ok!') answers.push([]); else if (line && line !== 'END') answers.at(-1).push(line);
  }
  assert.deepEqual(answers[0], ['load_tree ok!'], 'the saved tree loads');
  const [[order], strategy, [range]] = answers.slice(1, -1);
  const rows = strategy.map(l => l.split(' ').map(Number)), reach = range.split(' ').map(Number), out = {};
  assert.equal(rows.length, actions);
  order.split(' ').forEach((name, p) => {
    if (reach[p] > 0 && !board.some(c => name.includes(c))) out[name] = { weight: reach[p], strategy: rows.map(r => r[p]) };
  });
  return out;
}

function classOf(name) {
  const R = '23456789TJQKA', [hi, lo] = [name[0], name[2]].sort((x, y) => R.indexOf(y) - R.indexOf(x));
  return hi === lo ? hi + lo : hi + lo + (name[1] === name[3] ? 's' : 'o');
}

// The grid (combo-weighted frequencies per class), the table and the exported CSV (one row per
// combo) against the engine's answers.
async function checkNode(page, tree, nodePath, board) {
  await page.waitForSelector(`#crumbs button[aria-current="page"][data-path="${nodePath}"]`);
  const actions = await page.$$eval('#actions button', bs => bs.map(b => b.dataset.token));
  const player = (await page.textContent('#view-browse h3')).startsWith('OOP') ? 'OOP' : 'IP';
  const engine = engineNode(tree, nodePath, player, actions.length, board), byClass = {};
  for (const [hand, e] of Object.entries(engine)) (byClass[classOf(hand)] ||= []).push(e);
  const cells = await page.$$eval('#grid .hcell[data-freq]', cs => cs.map(c => [c.dataset.cls, c.dataset.combos, c.dataset.freq]));
  assert.equal(cells.length, Object.keys(byClass).length, `${nodePath}: grid cells`);
  for (const [cls, combos, freq] of cells) {
    const hs = byClass[cls], w = hs.reduce((s, h) => s + h.weight, 0);
    near(Number(combos), w, `${nodePath} ${cls} combos`, 1e-3);
    freq.split(',').map(Number).forEach((f, a) =>
      near(f, hs.reduce((s, h) => s + h.weight * h.strategy[a], 0) / w, `${nodePath} ${cls} action ${a}`, 1e-3));
  }
  const rows = await page.$$eval('#combo-table tbody tr', rs => rs.map(r => r.dataset.hand));
  assert.equal(new Set(rows).size, Math.min(400, Object.keys(engine).length), `${nodePath}: table rows`);
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export-csv')]);
  const csv = fs.readFileSync(await download.path(), 'utf8').trim().split('\n').slice(1).map(l => l.split(','));
  assert.equal(csv.length, Object.keys(engine).length, `${nodePath}: CSV rows`);
  for (const [hand, weight, ...rest] of csv) {
    assert.ok(engine[hand], `${nodePath}: CSV hand ${hand} is in play`);
    near(Number(weight), engine[hand].weight, `${nodePath} ${hand} weight`);
    engine[hand].strategy.forEach((s, a) => near(Number(rest[2 * a]), s, `${nodePath} ${hand} action ${a}`));
  }
}

const shot = (page, name) => page.screenshot({ path: path.join(SHOTS, `${name}.png`) });
const waitStopped = page => page.waitForFunction(() => document.querySelector('#solver-state')?.textContent === 'stopped',
  null, { timeout: 120000 });

async function main() {
  fs.mkdirSync(SHOTS, { recursive: true });
  const server = spawn(PYTHON, ['-m', 'travanto.studio', '--no-browser', '--workspace', WORKSPACE],
    { cwd: path.join(REPO, 'python'), env: { ...process.env, TRAVANTO_ENGINE: ENGINE } });
  const url = await new Promise((resolve, reject) => {
    let text = '';
    server.stdout.on('data', d => { text += d; const m = text.match(/^Studio: (\S+)/m); if (m) resolve(m[1]); });
    server.on('exit', code => reject(new Error(`studio ended (${code})`)));
  });
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
  const errors = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
    page.on('pageerror', e => errors.push(e.message));
    page.setDefaultTimeout(30000);
    await page.goto(url);
    await page.waitForSelector('body[data-ready=true]');

    // Set-up through the page: a turn board, pot and stack, both ranges as text, sizes.
    const pressed = await page.$$eval('.cardgrid .card[aria-pressed=true]', bs => bs.map(b => b.dataset.card));
    for (const c of [...pressed, 'Td', '9d', '6h', 'Qc']) await page.click(`.cardgrid .card[data-card="${c}"]`);
    for (const [player, text] of [['oop', OOP], ['ip', IP]]) {
      await page.click(`#range-${player}`);
      await page.fill('#range-text', text);
      await Promise.all([page.waitForResponse(r => r.url().endsWith('/api/range/parse')), page.click('#range-import')]);
    }
    for (const [name, value] of [['pot', '200'], ['stack', '600'], ['turn.oop.bet', '50'], ['turn.ip.bet', '50, e'],
      ['turn.oop.raise', ''], ['turn.ip.raise', ''], ['river.oop.bet', '75'], ['river.ip.bet', '75'],
      ['river.oop.raise', '3x'], ['river.ip.raise', '3x'], ['accuracy', '1'], ['threads', '1']]) {
      await page.fill(`input[name="${name}"]`, value);
    }
    await page.click('#build');
    await page.waitForSelector('#nodecount');
    assert.ok(Number((await page.textContent('#nodecount')).replace(/,/g, '')) > 1000);
    assert.match(await page.textContent('#memory'), /MB|n\/a/);

    await page.click('#solve');
    await waitStopped(page);
    await page.waitForSelector('#grid');

    // Save, then compare the page with the engine's answers from the saved tree.
    await page.click('#tab-files');
    await page.fill('#save-name', 'turn-a');
    await page.click('#save');
    await page.waitForSelector('#saved tr[data-name="turn-a"]');
    const tree = path.join(WORKSPACE, 'turn-a.tree');
    await page.click('#tab-browse');
    await checkNode(page, tree, 'r:0', ['Td', '9d', '6h', 'Qc']);
    await page.keyboard.press('1');                                 // OOP checks (key 1)
    await page.waitForSelector('#crumbs button[aria-current="page"][data-path="r:0:c"]');
    await page.click('#actions button[data-token="c"]');            // IP checks: the river card
    await page.waitForSelector('#chance-table', { state: 'attached' });
    assert.equal(await page.locator('#chance-grid button[data-card]').count(), 48);
    await page.click('#chance-grid button[data-card="2s"]');
    await checkNode(page, tree, 'r:0:c:c:2s', ['Td', '9d', '6h', 'Qc', '2s']);
    assert.match(await page.textContent('#crumbs'), /OOP checks.*IP checks.*River 2s/);
    await page.click('#back');
    await page.waitForSelector('#chance-grid');
    await page.click('#crumbs button[data-path="r:0"]');

    // Lock OOP's first decision to always check, re-solve, compare.
    await page.waitForSelector('#crumbs button[aria-current="page"][data-path="r:0"]');
    await page.check('#edit-mode');
    await page.click('#lock-panel button:text("Select all")');
    await page.click('#lock-panel button.always[data-action="0"]');
    await page.click('#lock');
    await page.waitForSelector('#locked-tag');
    const freqs = await page.$$eval('#grid .hcell[data-freq]', cs => cs.map(c => Number(c.dataset.freq.split(',')[0])));
    assert.ok(freqs.every(f => f > 0.999), 'every cell checks after the lock');
    await page.click('#continue');
    await waitStopped(page);
    await page.click('#compare');
    await page.waitForSelector('#lock-compare');
    const change = await page.$$eval('#lock-compare tbody tr', rs => rs.slice(0, 2).map(r => Number(r.children[3].textContent)));
    assert.ok(Math.abs(change[0]) > 0.01, `OOP's EV changes after the lock (${change})`);
    await shot(page, 'studio');
    assert.deepEqual(errors, []);
    console.log(`browser test passed; screenshots in ${SHOTS}`);
  } finally {
    await browser.close();
    server.kill();
    fs.rmSync(TMP, { recursive: true, force: true });
  }
}

main().catch(e => { console.error(e); process.exit(1); });
