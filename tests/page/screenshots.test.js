// Pictures of the main states at the window's size. They go to
// docs/screenshots when PAGE_SCREENSHOTS=1 (run.sh --screenshots), otherwise
// to a temporary folder so an ordinary run leaves the work tree alone.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { launch, open, fixtureUrl, ROOT } = require('./harness');

const KEEP = process.env.PAGE_SCREENSHOTS === '1';
const OUT = KEEP
  ? path.join(ROOT, 'docs', 'screenshots')
  : fs.mkdtempSync(path.join(os.tmpdir(), 'km-page-shots-'));

const REALMS = { realms: [
  { name: 'Ashen Vale', status: 'online', population: 'High', players: 1204 },
  { name: 'Greywater', status: 'online', population: 'Medium', players: 612 },
  { name: 'Hollowmere', status: 'maintenance' },
  { name: 'Cinderfall', status: 'offline', population: 'Low', players: 0 }
] };

const STARTUP = [
  { event: 'version', value: '1.4.2' },
  { event: 'settings', data: { mode: 'windowed', vsync: false, unlockFps: true, captureMouse: false } },
  { event: 'betaSavedCreds', username: 'thane.grey', password: 'ember-oath-77' },
  { event: 'serverStatus', online: true },
  { event: 'banners', list: ['banner-embers.svg', 'banner-tournament.svg', 'banner-patch.svg'].map(fixtureUrl) },
  { event: 'realmStatus', data: REALMS }
];

const STATES = {
  idle: [],
  updating: [
    { event: 'updating', isUpdating: true },
    { event: 'progress', status: 'Downloading data/maps/drowned_keep.pak (3/12)', state: 'working', percent: 0.4231 }
  ],
  error: [
    { event: 'updating', isUpdating: true },
    { event: 'progress', status: 'Offline: Could not establish connection', state: 'error', percent: 1 },
    { event: 'serverStatus', online: false },
    { event: 'updating', isUpdating: false }
  ],
  'up-to-date': [
    { event: 'progress', status: 'All files up to date (v1.4.2)', state: 'success', percent: 1 },
    { event: 'updateComplete', downloaded: 0, restartNeeded: false },
    { event: 'updating', isUpdating: false }
  ]
};

let browser;
before(async () => { browser = await launch(); });
after(async () => {
  await browser.close();
  if (!KEEP) fs.rmSync(OUT, { recursive: true, force: true });
});

async function shoot(t, name) {
  await t.frame();
  // Let images decode and cross-fades settle; hide the caret and focus ring.
  await t.page.evaluate(() => document.activeElement && document.activeElement.blur && document.activeElement.blur());
  await t.page.waitForTimeout(900);
  const file = path.join(OUT, name + '.png');
  const png = await t.page.screenshot({ path: file, caret: 'hide' });
  assert.equal(png.readUInt32BE(16), 1100, `${name} width`);
  assert.equal(png.readUInt32BE(20), 720, `${name} height`);
  assert.deepEqual(t.errors, []);
}

async function prepared(...events) {
  const t = await open(browser);
  await t.page.mouse.move(1099, 719);
  await t.emit(...events);
  return t;
}

for (const [name, events] of Object.entries(STATES)) {
  test(`screenshot: ${name}`, async () => {
    const startup = name === 'error'
      ? STARTUP.filter(ev => ev.event !== 'banners')
      : STARTUP;
    const t = await prepared(...startup, ...events);
    await shoot(t, name);
    await t.page.close();
  });
}

test('screenshot: settings', async () => {
  const t = await prepared(...STARTUP, ...STATES['up-to-date']);
  await t.page.click('#btn-settings');
  await t.page.mouse.move(1099, 719);
  await shoot(t, 'settings');
  await t.page.close();
});

test('screenshot: beta sign-in', async () => {
  const t = await prepared(...STARTUP, ...STATES['up-to-date']);
  await t.page.click('#btn-beta');
  await t.emit({ event: 'betaLoginResult', ok: true });
  await t.page.mouse.move(1099, 719);
  await shoot(t, 'beta-sign-in');
  await t.page.close();
});

test('screenshot: restart prompt', async () => {
  const t = await prepared(...STARTUP,
    { event: 'progress', status: 'Updated to v1.4.3 — restart launcher to apply', state: 'success', percent: 1 },
    { event: 'updateComplete', downloaded: 3, restartNeeded: true },
    { event: 'updating', isUpdating: false },
    { event: 'restartPrompt' });
  await shoot(t, 'restart-prompt');
  await t.page.close();
});
