// Pictures of the main states at the window's size, in both languages, each
// checked by axe-core. They are taken only to refresh docs/screenshots, when
// PAGE_SCREENSHOTS=1 (run.sh --screenshots).
'use strict';

const path = require('node:path');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const axe = require('axe-core');
const { session, fixtureUrl, ROOT } = require('./harness');

const KEEP = process.env.PAGE_SCREENSHOTS === '1';
const OUT = path.join(ROOT, 'docs', 'screenshots');

const STARTUP = [
  { event: 'version', value: '1.4.2' },
  { event: 'settings', data: { mode: 'windowed', vsync: false, unlockFps: true, captureMouse: false } },
  { event: 'betaSavedCreds', username: 'thane.grey', password: 'ember-oath-77' },
  { event: 'serverStatus', online: true },
  { event: 'banners', list: ['banner-embers.svg', 'banner-tournament.svg', 'banner-patch.svg'].map(fixtureUrl) },
  { event: 'realmStatus', data: { realms: [
    { name: 'Ashen Vale', status: 'online', population: 'High', players: 1204 }, { name: 'Hollowmere', status: 'maintenance' },
    { name: 'Greywater', status: 'online', population: 'Medium', players: 612 }, { name: 'Cinderfall', status: 'offline', players: 0 }
  ] } }
];
const UP_TO_DATE = [
  { event: 'progress', status: 'All files up to date (v1.4.2)', state: 'success', percent: 1 },
  { event: 'updateComplete', downloaded: 0, restartNeeded: false },
  { event: 'updating', isUpdating: false }
];

// Each state: events to deliver and, as text, controls to click.
const STATES = {
  idle: [],
  updating: [{ event: 'updating', isUpdating: true },
    { event: 'progress', status: 'Downloading data/maps/drowned_keep.pak (3/12)', state: 'working', percent: 0.4231 }],
  downloading: [{ event: 'updating', isUpdating: true },
    { event: 'progress', status: 'Downloading data/maps/drowned_keep.pak (3/12)', state: 'working', percent: 0.2421 },
    { event: 'transfer', done: 312 * 2 ** 20, total: 1288490189, rate: 15 * 2 ** 20, paused: false }],
  error: [{ event: 'banners', list: [] }, { event: 'updating', isUpdating: true },
    { event: 'progress', status: 'Offline: Could not establish connection', state: 'error', percent: 1 },
    { event: 'serverStatus', online: false }, { event: 'updating', isUpdating: false }],
  'up-to-date': UP_TO_DATE,
  settings: [...UP_TO_DATE, '#btn-settings'],
  'beta-sign-in': [...UP_TO_DATE, '#btn-beta', { event: 'betaLoginResult', ok: true }],
  'restart-prompt': [
    { event: 'progress', status: 'Updated to v1.4.3 — restart launcher to apply', state: 'success', percent: 1 },
    { event: 'updateComplete', downloaded: 3, restartNeeded: true }, { event: 'updating', isUpdating: false },
    { event: 'restartPrompt' }]
};

const t = session();

// The picture waits for what it shows: every image decoded and every
// transition that ends (cross-fades, dialogs opening) ended.
async function settled(page) {
  await page.mouse.move(1099, 719);
  await page.evaluate(async () => {
    if (document.activeElement && document.activeElement.blur) document.activeElement.blur();
    await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
    await Promise.all([...document.images].map(img => img.decode().catch(() => {})));
    await Promise.all(document.getAnimations()
      .filter(a => a.effect.getComputedTiming().endTime !== Infinity).map(a => a.finished));
  });
}

for (const language of ['en', 'es']) {
  for (const [name, steps] of Object.entries(STATES)) {
    test(`screenshot: ${name} (${language})${language === 'en' ? ', no axe violation' : ''}`, async () => {
      await t.page.evaluate(code => window.Keldmoor.i18n.choose(code), language);
      for (const step of [...STARTUP, ...steps]) await (typeof step === 'string' ? t.page.click(step) : t.emit(step));
      await settled(t.page);
      if (KEEP) await t.page.screenshot({ path: path.join(OUT, name + (language === 'en' ? '' : '-' + language) + '.png'), caret: 'hide' });

      // Markup and colours are the same in both languages; one axe run per state is enough.
      if (language === 'en') {
        await t.page.evaluate(axe.source);
        const result = await t.page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'],
          runOnly: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'best-practice'] }));
        assert.deepEqual(result.violations.map(v => `${v.id}: ${v.nodes.map(n => n.target).join(' ')}`), []);
      }
    });
  }
}
