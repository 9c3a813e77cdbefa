// Every control posts exactly the command and members the native side reads.
'use strict';

const { test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { launch, open } = require('./harness');

let browser;
let t;

before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });
beforeEach(async () => {
  if (t) await t.page.close();
  t = await open(browser);
  await t.clearSent();
});

async function click(selector) {
  await t.page.click(selector);
}

test('sends ready once per load as an object whose first member is cmd', async () => {
  const fresh = await open(browser);
  const raw = await fresh.raw();
  assert.deepEqual(raw, [{ type: 'object', json: '{"cmd":"ready"}' }]);
  await fresh.page.reload();
  await fresh.page.waitForFunction(() => window.__fakeWebview.posted.length > 0);
  assert.deepEqual(await fresh.sent(), [{ cmd: 'ready' }]);
  assert.deepEqual(fresh.errors, []);
  await fresh.page.close();
});

test('title strip drags the window and its buttons minimise and close', async () => {
  const { page } = t;
  await page.mouse.move(300, 18);
  await page.mouse.down();
  await page.mouse.up();
  await page.mouse.move(30, 30);
  await page.mouse.down({ button: 'right' });
  await page.mouse.up({ button: 'right' });

  for (const id of ['#btn-minimize', '#btn-close']) {
    const box = await page.locator(id).boundingBox();
    assert.ok(box.x >= 1100 - 92 && box.x + box.width <= 1100, `${id} within the rightmost 92 px`);
    assert.ok(box.y >= 0 && box.y + box.height <= 36, `${id} inside the strip`);
  }
  await click('#btn-minimize');
  await click('#btn-close');
  assert.deepEqual(await t.sent(), [{ cmd: 'dragWindow' }, { cmd: 'minimize' }, { cmd: 'close' }]);
});

test('links are opened through openURL with https addresses', async () => {
  for (const name of ['Website', 'Patch notes', 'Support']) {
    await t.page.getByRole('button', { name }).click();
  }
  const sent = await t.sent();
  assert.equal(sent.length, 3);
  for (const msg of sent) {
    assert.deepEqual(Object.keys(msg), ['cmd', 'url']);
    assert.equal(msg.cmd, 'openURL');
    assert.match(msg.url, /^https:\/\/[^/]+\//);
  }
  assert.equal(new Set(sent.map(m => m.url)).size, 3);
});

test('play launches the live client, and the beta client only after a sign-in', async () => {
  assert.equal(await t.page.isDisabled('#client-beta'), true);
  await click('#btn-play');
  assert.deepEqual(await t.sent(), [{ cmd: 'launch', betaMode: false }]);
  assert.equal(await t.page.isDisabled('#btn-play'), true, 'a second click cannot launch twice');

  // The launch's update check ends, then the beta becomes available.
  await t.emit({ event: 'updating', isUpdating: true }, { event: 'updating', isUpdating: false });
  await t.emit({ event: 'betaLoginResult', ok: true });
  await t.page.check('#client-beta');
  await t.clearSent();
  await click('#btn-play');
  assert.deepEqual(await t.sent(), [{ cmd: 'launch', betaMode: true }]);

  // A later failed sign-in takes the beta client away again.
  await t.emit({ event: 'updating', isUpdating: false });
  await t.emit({ event: 'betaLoginResult', ok: false, reason: 'Invalid credentials' });
  assert.equal(await t.page.isChecked('#client-live'), true);
  await t.clearSent();
  await click('#btn-play');
  assert.deepEqual(await t.sent(), [{ cmd: 'launch', betaMode: false }]);
});

test('map field enters or spectates the named map', async () => {
  assert.equal(await t.page.isDisabled('#btn-enter-map'), true, 'nothing to enter without a name');
  await t.page.fill('#map-name', '  arena_01 ');
  await click('#btn-enter-map');
  await t.emit({ event: 'updating', isUpdating: false });
  await t.page.fill('#map-name', 'ashen_duel');
  await click('#btn-spectate');
  await t.emit({ event: 'updating', isUpdating: false });
  await t.page.fill('#map-name', 'keep');
  await t.page.press('#map-name', 'Enter');
  assert.deepEqual(await t.sent(), [
    { cmd: 'launchWithMap', map: 'arena_01' },
    { cmd: 'watchSpectator', map: 'ashen_duel' },
    { cmd: 'launchWithMap', map: 'keep' }
  ]);
});

test('check for updates is immediate, repair only after confirmation', async () => {
  await click('#btn-check');
  await click('#btn-repair');
  assert.equal(await t.page.isVisible('#dlg-repair'), true);
  await click('#repair-cancel');
  await click('#btn-repair');
  await click('#repair-confirm');
  assert.equal(await t.page.isVisible('#dlg-repair'), false);
  assert.deepEqual(await t.sent(), [{ cmd: 'checkUpdates' }, { cmd: 'repair' }]);
});

test('settings are saved with exactly mode, vsync, unlockFps and captureMouse', async () => {
  await t.emit({ event: 'settings', data: { mode: 'windowed', vsync: false, unlockFps: true, captureMouse: false } });
  await click('#btn-settings');
  await t.page.getByRole('radio', { name: 'Fullscreen' }).check();
  await t.page.click('#set-vsync');
  await t.page.click('#set-unlock-fps');
  await t.page.click('#set-capture-mouse');
  await click('#settings-save');
  const raw = await t.raw();
  assert.equal(raw.length, 1);
  assert.equal(raw[0].json,
    '{"cmd":"saveSettings","data":{"mode":"fullscreen","vsync":true,"unlockFps":false,"captureMouse":true}}');
  assert.equal(await t.page.isVisible('#dlg-settings'), false);

  // Cancel discards edits: the next opening shows what was saved.
  await click('#btn-settings');
  await t.page.getByRole('radio', { name: 'Windowed' }).check();
  await click('#settings-cancel');
  await click('#btn-settings');
  assert.equal(await t.page.isChecked('#settings-modes input[value="fullscreen"]'), true);
});

test('beta sign-in sends the form, and forget me clears the saved sign-in', async () => {
  await click('#btn-beta');
  await t.page.fill('#beta-user', 'thane "grey"');
  await t.page.fill('#beta-pass', 'p\\ss word');
  await t.page.check('#beta-remember');
  await t.page.press('#beta-pass', 'Enter');
  assert.equal(await t.page.isDisabled('#beta-submit'), true, 'one sign-in at a time');
  await t.emit({ event: 'betaLoginResult', ok: false, reason: 'Beta server error' });
  await click('#beta-submit');
  await click('#beta-forget');
  assert.deepEqual(await t.sent(), [
    { cmd: 'loginBeta', username: 'thane "grey"', password: 'p\\ss word', remember: true },
    { cmd: 'loginBeta', username: 'thane "grey"', password: 'p\\ss word', remember: true },
    { cmd: 'clearBetaCreds' }
  ]);
  assert.equal(await t.page.inputValue('#beta-user'), '');
  assert.equal(await t.page.isChecked('#beta-remember'), false);
});

test('restart prompt restarts now or leaves a way back to it', async () => {
  await t.emit({ event: 'restartPrompt' });
  assert.equal(await t.page.evaluate(() => document.querySelector('#dlg-restart').matches(':modal')), true);
  await click('#restart-later');
  assert.equal(await t.page.isVisible('#dlg-restart'), false);
  await click('#btn-restart-pending');
  await t.page.getByRole('button', { name: 'Restart now' }).click();
  assert.deepEqual(await t.sent(), [{ cmd: 'restartNow' }]);
});

test('every control is reachable by keyboard', async () => {
  const reached = new Set();
  for (let i = 0; i < 40; i++) {
    await t.page.keyboard.press('Tab');
    reached.add(await t.page.evaluate(() => document.activeElement.id || document.activeElement.textContent.trim()));
  }
  for (const id of ['btn-minimize', 'btn-close', 'btn-beta', 'btn-settings', 'news-slides', 'map-name',
    'btn-check', 'btn-repair', 'client-live', 'btn-play']) {
    assert.ok(reached.has(id), `${id} reachable by Tab`);
  }
  for (const name of ['Website', 'Patch notes', 'Support']) assert.ok(reached.has(name), name);
});
