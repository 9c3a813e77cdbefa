// A download reports progress thousands of times a second; the page must keep
// up, draw only what a player can see, and never lose the final state.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { launch, open } = require('./harness');

let browser;
before(async () => { browser = await launch(); });
after(async () => { await browser.close(); });

test('5,000 progress events in a second stay responsive and end on the last state', async () => {
  const t = await open(browser);
  const { page } = t;
  await page.evaluate(() => {
    window.__draws = 0;
    new MutationObserver(records => { window.__draws += records.length; })
      .observe(document.getElementById('status-text'), { childList: true, characterData: true, subtree: true });
  });

  const run = await page.evaluate(async () => {
    const deliver = window.__fakeWebview.deliver;
    let frames = 0;
    let counting = true;
    (function tick() { if (counting) { frames++; requestAnimationFrame(tick); } })();
    let longestBatch = 0;
    deliver({ event: 'updating', isUpdating: true });
    for (let i = 0; i < 5000; i += 50) {
      const start = performance.now();
      for (let j = i; j < i + 50; j++) {
        deliver({ event: 'progress', status: 'Downloading data/file' + (j + 1) + '.pak (' + (j + 1) + '/5000)',
          state: 'working', percent: (j + 1) / 5000 });
      }
      longestBatch = Math.max(longestBatch, performance.now() - start);
      await new Promise(r => setTimeout(r, 10));
    }
    deliver({ event: 'progress', status: 'Updated to v1.4.3', state: 'success', percent: 1 });
    deliver({ event: 'updateComplete', downloaded: 5000, restartNeeded: false });
    deliver({ event: 'updating', isUpdating: false });
    await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
    counting = false;
    return { frames, longestBatch };
  });

  const draws = await page.evaluate(() => window.__draws);
  assert.ok(draws <= run.frames + 2, `status drawn ${draws} times in ${run.frames} frames`);
  assert.ok(draws < 1000, `status drawn ${draws} times for 5,000 events`);
  assert.ok(run.longestBatch < 40, `50 events took ${run.longestBatch.toFixed(1)} ms`);

  assert.equal(await t.text('#status-text'), 'Updated to v1.4.3');
  assert.equal(await t.text('#status-percent'), '100%');
  assert.equal(await page.getAttribute('#update', 'data-state'), 'success');
  assert.match(await t.text('#update-summary'), /5000 files downloaded/);
  assert.equal(await page.isDisabled('#btn-play'), false);
  assert.deepEqual(t.errors, []);
  await page.close();
});

test('a burst delivered at once still lets the player click right after', async () => {
  const t = await open(browser);
  await t.clearSent();
  await t.page.evaluate(() => {
    for (let i = 1; i <= 5000; i++) {
      window.__fakeWebview.deliver({ event: 'progress', status: 'Checking file ' + i, state: 'working', percent: i / 5000 });
    }
  });
  const start = Date.now();
  await t.page.click('#btn-check', { timeout: 2000 });
  assert.ok(Date.now() - start < 2000);
  assert.deepEqual(await t.sent(), [{ cmd: 'checkUpdates' }]);
  await t.frame();
  assert.equal(await t.text('#status-text'), 'Checking file 5000');
  await t.page.close();
});
