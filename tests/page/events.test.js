// Every event from the native side changes what the player sees, and odd or
// hostile input never breaks the page or reaches the network.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { session, fixtureUrl } = require('./harness');

const t = session();
const active = () => t.page.$$eval('.news-slide', imgs => imgs.findIndex(i => i.classList.contains('is-active')));

test('progress shows status text, state styling and the fraction as a percentage', async () => {
  // [event, state styling, percentage the player sees]
  const cases = [
    [{ status: 'Downloading maps/keep.pak (2/3)', state: 'working', percent: 0.667 }, 'working', '66'],
    [{ status: 'Offline: Could not establish connection', state: 'error', percent: 1 }, 'error', '100'],
    [{ status: '2 file(s) were in use', state: 'warning', percent: 1 }, 'warning', '100'],
    [{ status: 'Fresh', state: 'idle', percent: 0.29 }, 'idle', '29'],
    [{ status: 'Odd values', state: 'exploding', percent: 7 }, 'idle', '100'],
    [{}, 'idle', '0']
  ];
  for (const [ev, state, percent] of cases) {
    await t.emit(Object.assign({ event: 'progress' }, ev));
    await t.frame();
    assert.deepEqual(await t.look('text #status-text', '@data-state #update', 'content #status-percent', '@aria-valuenow #progress',
      '@style #progress-fill'), [ev.status || '', state, percent + '%', percent, `width: ${percent}%;`]);
  }
});

test('updating disables play, maps, check and repair until it ends', async () => {
  const controls = ['#btn-play', '#btn-repair', '#btn-check', '#btn-enter-map', '#btn-spectate'];
  await t.page.fill('#map-name', 'arena_01');
  for (const busy of [true, false]) {
    await t.emit({ event: 'updating', isUpdating: busy });
    assert.deepEqual(await t.look(...controls.map(id => 'disabled ' + id), 'text #play-label'),
      [...controls.map(() => busy), busy ? 'UPDATING…' : 'PLAY']);
  }
  // Repair confirmed while a check runs must not be sent.
  await t.page.click('#btn-repair');
  await t.emit({ event: 'updating', isUpdating: true });
  assert.equal(await t.page.isDisabled('#repair-confirm'), true);
});

test('a download shows size, speed and time left, Pause while it runs and Resume after a paused check', async () => {
  const MB = 1024 * 1024;
  const busy = isUpdating => ({ event: 'updating', isUpdating });
  const move = (done, total, rate, paused = false) => ({ event: 'transfer', done, total, rate, paused });
  // [events, the line the player reads (empty: hidden), Pause shown, Resume shown]
  const steps = [
    [[busy(true)], '', false, false],
    [[move(0, 1288490189, 0)], 'Downloading 1.2 GB', true, false],
    [[move(312 * MB, 2048 * MB, 24 * MB)], '312 MB of 2.0 GB · 24 MB/s · about 1 min left', true, false],
    [[move(1000, 46000, 1000)], '1,000 B of 45 KB · 1,000 B/s · about 45 s left', true, false],
    [[move(5 * MB, 9216 * MB, MB)], '5.0 MB of 9.0 GB · 1.0 MB/s · about 2 h 34 min left', true, false],
    [[move(10180, 1048200, 0)], '9.9 KB of 1.0 MB · 0 B/s', true, false],
    [[move(10220, 5 * 2 ** 50, 0)], '10 KB of 5,120 TB · 0 B/s', true, false],
    [[{ event: 'transfer', done: -4, total: 'x', rate: NaN, paused: 'yes' }], 'Downloading 0 B', true, false],
    [[move(20 * MB, 20 * MB, 3 * MB), busy(false)], '', false, false],
    [[busy(true), move(312 * MB, 2048 * MB, 24 * MB, true)], '312 MB of 2.0 GB', false, false],
    [[busy(false)], '312 MB of 2.0 GB', false, true],
    [[busy(true)], '', false, false]
  ];
  for (const [events, line, pause, resume] of steps) {
    await t.emit(...events);
    assert.deepEqual(await t.look('visible #transfer', 'content #transfer', 'visible #btn-pause', 'visible #btn-resume'),
      [line !== '', line, pause, resume], JSON.stringify(events));
  }
});

test('diagnostics: a confirmation when copied, otherwise the text selected for copying by hand', async () => {
  const text = '<b>Launcher</b> 1.4.2\n' + 'C:\\Games\\Keldmoor Ashvow\\logs (1)\n'.repeat(600);
  await t.click('#btn-settings');
  await t.emit({ event: 'diagnostics', copied: false, text });
  assert.deepEqual(await t.look('value #diagnostics-text', '@readonly #diagnostics-text', 'text #support-message'),
    [text, '', 'The diagnostics could not be put on the clipboard. They are selected below: copy them with Ctrl+C.']);
  assert.deepEqual(await t.page.evaluate(() => [document.activeElement.id, document.activeElement.selectionStart,
    document.activeElement.selectionEnd]), ['diagnostics-text', 0, text.length]);
  await t.emit({ event: 'diagnostics', copied: true, text: 'x' });
  await t.page.evaluate(() => window.Keldmoor.i18n.choose('es'));
  assert.deepEqual(await t.look('visible #diagnostics-text', 'text #support-message'), [false, 'Se copió el diagnóstico al portapapeles.']);
  await t.page.evaluate(() => window.Keldmoor.i18n.choose('en'));
});

test('update complete, server status and version are shown', async () => {
  await t.emit({ event: 'updateComplete', downloaded: 0, restartNeeded: false }, { event: 'serverStatus', online: true },
    { event: 'version', value: '1.4.2 "Ember"' });
  const shown = ['text #update-summary', 'visible #btn-restart-pending', 'text #server-label', '@data-online #server-status'];
  assert.deepEqual(await t.look(...shown, 'text #version'), ['Nothing to download', false, 'Server online', 'true', '1.4.2 "Ember"']);
  await t.emit({ event: 'updateComplete', downloaded: 1200, restartNeeded: true }, { event: 'serverStatus', online: false });
  assert.deepEqual(await t.look(...shown), ['1,200 files downloaded', true, 'Server offline', 'false']);
});

test('banners show local files only, advance on their own, can be browsed by keyboard and stop while paused', async () => {
  await t.page.clock.install();
  await t.reload();
  const local = ['banner-embers.svg', 'banner-tournament.svg', 'banner-patch.svg'].map(fixtureUrl);
  await t.emit({ event: 'banners', list: [local[0], 'https://cdn.example.com/x.png', local[1], 42, local[2]] });
  assert.deepEqual(await t.page.$$eval('.news-slide', imgs => imgs.map(i => i.src)), local);
  await t.page.mouse.move(1000, 700);
  await t.page.clock.runFor(7500);
  assert.equal(await active(), 1);
  await t.page.focus('#news-slides');
  for (const [key, index] of [['ArrowLeft', 0], ['ArrowLeft', 2], ['ArrowRight', 0], ['End', 2], ['Home', 0]]) {
    await t.page.keyboard.press(key);
    assert.equal(await active(), index, key);
  }
  await t.page.click('.news-dot >> nth=2');
  assert.equal(await active(), 2);
  await t.page.click('#news-pause');
  assert.deepEqual(await t.look('@aria-pressed #news-pause', '@aria-label #news-pause'), ['true', 'Resume news rotation']);
  await t.page.mouse.move(1000, 700);
  await t.page.evaluate(() => document.activeElement.blur());
  await t.page.clock.runFor(7500);
  assert.equal(await active(), 2);
});

test('realm documents of the documented shape become a realm list', async () => {
  await t.emit({ event: 'realmStatus', data: { realms: [
    { name: 'Ashen Vale', status: 'online', population: 'High', players: 1204 }, { name: 'Hollowmere', status: 'Maintenance' },
    { name: 'Cinderfall', status: 'offline', players: 1 }, { name: 'Oddrealm', status: 'sleeping' }, 'just a string'] } });
  const rows = await t.page.$$eval('.realm', lis => lis.map(li => [li.dataset.status || '', li.innerText.replace(/\s+/g, ' ').trim()]));
  assert.deepEqual(rows, [
    ['online', 'Ashen Vale ONLINE High population · 1,204 players'], ['maintenance', 'Hollowmere MAINTENANCE'],
    ['offline', 'Cinderfall OFFLINE 1 player'], ['unknown', 'Oddrealm SLEEPING'], ['', 'just a string']]);
  assert.match(await t.text('#realms-updated'), /^Updated \d\d:\d\d:\d\d [AP]M$/);
});

test('realm documents of any other shape are shown as text without breaking', async () => {
  const shapes = [
    [{ status: 'ok', players: 12, nested: { a: [1, 2] } }, ['STATUS ok', 'PLAYERS 12', 'NESTED {"a":[1,2]}']],
    [['north', 7, null], ['north', '7', 'null']],
    ['All realms are up', ['All realms are up']],
    [{ realms: 'not a list' }, ['REALMS not a list']],
    [{ realms: [] }, ['No realms']],
    [{ realms: Array.from({ length: 5000 }, (_, i) => ({ name: 'Realm ' + i, status: 'online' })) }, ['and 4,800 more']]
  ];
  for (const [data, expected] of shapes) {
    await t.emit({ event: 'realmStatus', data });
    const body = (await t.text('#realms-body')).replace(/\n/g, ' ');
    for (const piece of expected) assert.ok(body.includes(piece), `${JSON.stringify(data).slice(0, 40)} shows ${piece}`);
  }
  assert.equal(await t.page.locator('.realm').count(), 200);
});

test('markup in realm documents, reasons and versions is shown as text', async () => {
  const evil = '<img src="https://evil.example/x.png" onerror="window.__owned=1"><b>bold</b>';
  await t.emit(
    { event: 'realmStatus', data: { realms: [{ name: evil, status: evil, population: evil }] } },
    { event: 'version', value: evil },
    { event: 'betaLoginResult', ok: false, reason: evil },
    { event: 'progress', status: evil, state: 'error', percent: 1 }
  );
  await t.frame();
  assert.equal(await t.page.locator('#realms-body img, #realms-body b, #version *, #beta-message *, #status-text *').count(), 0);
  assert.ok((await t.page.textContent('.realm-name')).includes('<img src='));
  // Any image it made would be fetched, and fail the test.
  await t.emit({ event: 'realmStatus', data: { [evil]: evil } });
});

test('saved beta credentials fill the form and sign-in results are shown', async () => {
  await t.emit({ event: 'betaSavedCreds', username: 'thane', password: 's3cret' });
  await t.page.click('#btn-beta');
  assert.deepEqual(await t.look('value #beta-user', 'value #beta-pass', 'checked #beta-remember', 'visible #beta-badge'),
    ['thane', 's3cret', true, false]);
  await t.emit({ event: 'betaLoginResult', ok: true });
  assert.deepEqual(await t.look('visible #beta-badge', 'disabled #client-beta'), [true, false]);
  assert.match(await t.text('#beta-message'), /Signed in/);
});

test('unknown events, missing members and non-objects are ignored', async () => {
  await t.emit(
    { event: 'noSuchEvent', x: 1 }, { event: 'toString' }, { event: '__proto__' }, { nothing: true },
    null, 7, 'not json', [1, 2],
    { event: 'progress' }, { event: 'updating' }, { event: 'serverStatus' }, { event: 'version' },
    { event: 'settings' }, { event: 'settings', data: 'x' }, { event: 'banners' }, { event: 'banners', list: 'x' },
    { event: 'updateComplete' }, { event: 'realmStatus' }, { event: 'betaSavedCreds' }, { event: 'betaLoginResult' },
    { event: 'transfer' }, { event: 'downloadLimit' }, { event: 'diagnostics' }
  );
  await t.frame();
  assert.deepEqual(await t.look('text #version', 'text #server-label', 'disabled #btn-play'), ['—', 'Server offline', false]);
  assert.match(await t.text('#realms-body'), /Waiting for realm status/);
});

// A download reports progress thousands of times a second: the page draws only
// what a player can see, stays responsive and never loses the final state.
test('5,000 progress events in a second stay responsive and end on the last state', async () => {
  const run = await t.page.evaluate(async () => {
    let draws = 0;
    new MutationObserver(records => { draws += records.length; })
      .observe(document.getElementById('status-text'), { childList: true, characterData: true, subtree: true });
    const deliver = window.__fakeWebview.deliver;
    let longestBatch = 0;
    for (let i = 0; i < 5000; i += 50) {
      const start = performance.now();
      for (let j = i + 1; j <= i + 50; j++) {
        deliver({ event: 'progress', status: 'Downloading data/file' + j + '.pak (' + j + '/5000)', state: 'working', percent: j / 5000 });
      }
      longestBatch = Math.max(longestBatch, performance.now() - start);
      await new Promise(r => setTimeout(r, 10));
    }
    deliver({ event: 'progress', status: 'Updated to v1.4.3', state: 'success', percent: 1 });
    await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
    return { longestBatch, draws };
  });
  // At most one draw per burst: a frame draws only the newest of its events.
  assert.ok(run.draws <= 5000 / 50 + 2, `status drawn ${run.draws} times for 100 bursts`);
  assert.ok(run.longestBatch < 40, `50 events took ${run.longestBatch.toFixed(1)} ms`);
  assert.deepEqual(await t.look('text #status-text', '@data-state #update'), ['Updated to v1.4.3', 'success']);
});
