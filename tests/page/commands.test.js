// Every control posts exactly the command and members the native side reads.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { session } = require('./harness');

const t = session();
const ended = () => t.emit({ event: 'updating', isUpdating: false });

// [what the player does, the commands the native side receives]
const ACTIONS = [
  ['sends ready once per load', () => t.reload(), [{ cmd: 'ready' }]],
  ['title strip drags the window, its buttons minimise and close', async () => {
    await t.page.mouse.click(300, 18);
    await t.page.mouse.click(30, 30, { button: 'right' });
    for (const id of ['#btn-minimize', '#btn-close']) {
      const box = await t.page.locator(id).boundingBox();
      assert.ok(box.x >= 1100 - 92 && box.x + box.width <= 1100 && box.y >= 0 && box.y + box.height <= 36, `${id} in the strip's corner`);
      await t.click(id);
    }
  }, [{ cmd: 'dragWindow' }, { cmd: 'minimize' }, { cmd: 'close' }]],
  ['links are opened through openURL with their https addresses', async () => {
    for (const name of ['Website', 'Patch notes', 'Support']) await t.page.getByRole('button', { name }).click();
  }, ['https://www.keldmoor-ashvow.com/', 'https://www.keldmoor-ashvow.com/patch-notes',
    'https://support.keldmoor-ashvow.com/'].map(url => ({ cmd: 'openURL', url }))],
  ['map field enters or spectates the named map', async () => {
    assert.equal(await t.page.isDisabled('#btn-enter-map'), true, 'nothing to enter without a name');
    for (const [map, how] of [['  arena_01 ', '#btn-enter-map'], ['ashen_duel', '#btn-spectate'], ['keep', 'Enter']]) {
      await t.page.fill('#map-name', map);
      await (how === 'Enter' ? t.page.press('#map-name', how) : t.click(how));
      await ended();
    }
  }, [{ cmd: 'launchWithMap', map: 'arena_01' }, { cmd: 'watchSpectator', map: 'ashen_duel' }, { cmd: 'launchWithMap', map: 'keep' }]],
  ['check for updates is immediate, repair only after confirmation', async () => {
    await t.click('#btn-check', '#btn-repair', '#repair-cancel', '#btn-repair', '#repair-confirm');
    assert.equal(await t.page.isVisible('#dlg-repair'), false);
  }, [{ cmd: 'checkUpdates' }, { cmd: 'repair' }]],
  ['pause is asked once while downloading, and resume starts a check after a paused one', async () => {
    await t.emit({ event: 'updating', isUpdating: true }, { event: 'transfer', done: 0, total: 900, rate: 0, paused: false });
    await t.click('#btn-pause');
    assert.equal(await t.page.isDisabled('#btn-pause'), true, 'one pause request per check');
    await t.emit({ event: 'transfer', done: 300, total: 900, rate: 0, paused: true }, { event: 'updating', isUpdating: false });
    await t.click('#btn-resume');
  }, [{ cmd: 'pauseDownload' }, { cmd: 'checkUpdates' }]],
  ['support in Settings opens the log folder and copies diagnostics', () => t.click('#btn-settings', '#btn-open-logs', '#btn-copy-diagnostics'),
    [{ cmd: 'openLogFolder' }, { cmd: 'copyDiagnostics' }]],
  ['the download limit is sent on save when changed; a limit the page does not offer is its own choice', async () => {
    for (const [limit, label, choice] of [[7, '7 MB/s', null], [7, '7 MB/s', '25 MB/s'], [0, 'Unlimited', '1 MB/s']]) {
      await t.emit({ event: 'downloadLimit', limit }, { event: 'downloadLimit', limit: -1 }, { event: 'downloadLimit', limit: 2.5 });
      await t.click('#btn-settings');
      assert.equal(await t.page.$eval('#set-download-limit', s => s.selectedOptions[0].textContent), label);
      if (choice) await t.page.selectOption('#set-download-limit', { label: choice });
      await t.click('#settings-save');
    }
  }, [null, null, 25, null, 1].map(limit => limit === null
    ? { cmd: 'saveSettings', data: { mode: 'windowed', vsync: false, unlockFps: true, captureMouse: false } }
    : { cmd: 'setDownloadLimit', limit })],
  ['restart prompt is modal, and later leaves a way back to it', async () => {
    await t.emit({ event: 'restartPrompt' });
    assert.equal(await t.page.evaluate(() => document.querySelector('#dlg-restart').matches(':modal')), true);
    await t.click('#restart-later', '#btn-restart-pending');
    await t.page.getByRole('button', { name: 'Restart now' }).click();
  }, [{ cmd: 'restartNow' }]],
  ['beta sign-in sends the form, and forget me clears the saved sign-in', async () => {
    await t.click('#btn-beta');
    await t.page.fill('#beta-user', 'thane "grey"');
    await t.page.fill('#beta-pass', 'p\\ss word');
    await t.page.check('#beta-remember');
    await t.page.press('#beta-pass', 'Enter');
    assert.equal(await t.page.isDisabled('#beta-submit'), true, 'one sign-in at a time');
    await t.emit({ event: 'betaLoginResult', ok: false, reason: 'Beta server error' });
    await t.click('#beta-submit', '#beta-forget');
    assert.deepEqual(await t.look('value #beta-user', 'checked #beta-remember'), ['', false]);
  }, [{ cmd: 'loginBeta', username: 'thane "grey"', password: 'p\\ss word', remember: true },
    { cmd: 'loginBeta', username: 'thane "grey"', password: 'p\\ss word', remember: true }, { cmd: 'clearBetaCreds' }]]
];
for (const [name, act, expected] of ACTIONS) {
  test(name, async () => {
    await act();
    assert.deepEqual(await t.sent(), expected);
  });
}

test('play launches the live client, and the beta client only after a sign-in', async () => {
  assert.equal(await t.page.isDisabled('#client-beta'), true);
  await t.click('#btn-play');
  assert.equal(await t.page.isDisabled('#btn-play'), true, 'a second click cannot launch twice');
  await t.emit({ event: 'updating', isUpdating: true }, { event: 'updating', isUpdating: false },
    { event: 'betaLoginResult', ok: true });
  await t.click('#client-beta', '#btn-play');
  // A later failed sign-in takes the beta client away again.
  await ended();
  await t.emit({ event: 'betaLoginResult', ok: false, reason: 'Invalid credentials' });
  assert.equal(await t.page.isChecked('#client-live'), true);
  await t.click('#btn-play');
  assert.deepEqual(await t.sent(), [false, true, false].map(betaMode => ({ cmd: 'launch', betaMode })));
});

test('settings fill the dialog and are saved with exactly mode, vsync, unlockFps and captureMouse', async () => {
  await t.emit({ event: 'settings', data: { mode: 'borderless', vsync: true, unlockFps: false, captureMouse: true } });
  await t.click('#btn-settings');
  assert.deepEqual(await t.look('checked #settings-modes input[value="borderless"]', 'checked #set-vsync', 'checked #set-unlock-fps',
    'checked #set-capture-mouse'), [true, true, false, true]);
  await t.page.getByRole('radio', { name: 'Fullscreen' }).check();
  await t.click('#set-vsync', '#set-unlock-fps', '#set-capture-mouse', '#settings-save');
  assert.equal(await t.page.isVisible('#dlg-settings'), false);
  // Cancel discards edits: the next opening shows what was saved.
  await t.click('#btn-settings');
  await t.page.getByRole('radio', { name: 'Windowed' }).check();
  await t.click('#settings-cancel');
  // A mode this page does not know is offered as it is and survives a save.
  await t.emit({ event: 'settings', data: { mode: 'exclusive<b>' } });
  await t.click('#btn-settings');
  assert.equal(await t.page.getByRole('radio', { name: 'exclusive<b>' }).isChecked(), true);
  await t.click('#settings-save');
  // As the host reads them: objects whose first member is cmd.
  assert.deepEqual(await t.raw(), [
    '{"cmd":"saveSettings","data":{"mode":"fullscreen","vsync":false,"unlockFps":true,"captureMouse":false}}',
    '{"cmd":"saveSettings","data":{"mode":"exclusive<b>","vsync":false,"unlockFps":true,"captureMouse":false}}']);
});

test('every control is reachable by keyboard', async () => {
  const reached = new Set();
  for (let i = 0; i < 40; i++) {
    await t.page.keyboard.press('Tab');
    reached.add(await t.page.evaluate(() => document.activeElement.id || document.activeElement.textContent.trim()));
  }
  assert.deepEqual(['btn-minimize', 'btn-close', 'btn-beta', 'btn-settings', 'news-slides', 'map-name', 'btn-check',
    'btn-repair', 'client-live', 'btn-play', 'Website', 'Patch notes', 'Support'].filter(id => !reached.has(id)), []);
});
