// Loads the launcher page from file:// in Debian's Chromium with a fake
// chrome.webview standing in for the native host.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const { before, after, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { chromium } = require('playwright-core');

const ROOT = path.resolve(__dirname, '..', '..');
const PAGE_URL = pathToFileURL(path.join(ROOT, 'web', 'index.html')).href;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Runs in the page before its own scripts. Records every posted command in
// the JSON form the native host reads, and lets a test deliver events the
// way WebView2 does: as the parsed object in the message event's data.
function installFakeWebview() {
  const listeners = [];
  const posted = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(message) { posted.push(JSON.stringify(message)); },
    addEventListener(type, fn) { if (type === 'message') listeners.push(fn); }
  };
  window.__fakeWebview = { posted, deliver(data) { listeners.slice().forEach(fn => fn({ data })); } };
}

// One browser for the calling file, and a fresh page for every test with
// helpers bound to it and nothing sent yet; a script error or a request for
// anything but a local file during a test fails it.
function session({ locale = 'en-US' } = {}) {
  const s = {};
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'km-page-profile-'));
  let context;
  before(async () => {
    context = await chromium.launchPersistentContext(profile, { executablePath: CHROMIUM, headless: true,
      args: CHROMIUM_ARGS, viewport: { width: 1100, height: 720 }, locale, offline: true });
  });
  after(async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  });
  beforeEach(async () => {
    const page = await context.newPage();
    page.setDefaultTimeout(5000);
    const errors = [];
    const requests = [];
    page.on('pageerror', err => errors.push(err));
    // The browser is offline; what the page asks for is recorded all the same.
    page.on('request', req => requests.push(req.url()));
    await page.addInitScript(installFakeWebview);
    const ready = () => page.waitForFunction(() => window.__fakeWebview.posted.length > 0);
    await page.goto(PAGE_URL);
    await ready();
    await page.evaluate(() => { window.__fakeWebview.posted.length = 0; });
    Object.assign(s, {
      page, errors, requests,
      async reload() { await page.reload(); await ready(); },
      // Commands as the native host would parse them.
      async sent() { return (await this.raw()).map(json => JSON.parse(json)); },
      raw() { return page.evaluate(() => window.__fakeWebview.posted.slice()); },
      // Reads several things at once, each named 'kind selector': text (as
      // drawn), content (even when hidden), visible, disabled, checked or value,
      // or @name for that attribute.
      look(...specs) {
        const read = { text: s => page.locator(s).innerText(), content: s => page.textContent(s), visible: s => page.isVisible(s),
          disabled: s => page.isDisabled(s), checked: s => page.isChecked(s), value: s => page.inputValue(s) };
        return Promise.all(specs.map(spec => {
          const [kind, selector] = spec.split(/ (.*)/s);
          return kind.startsWith('@') ? page.getAttribute(selector, kind.slice(1)) : read[kind](selector);
        }));
      },
      async click(...selectors) { for (const selector of selectors) await page.click(selector); },
      emit(...events) { return page.evaluate(list => list.forEach(ev => window.__fakeWebview.deliver(ev)), events); },
      // Progress is drawn on the next animation frame.
      frame() { return page.evaluate(() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))); },
      text(selector) { return page.locator(selector).innerText(); }
    });
  });
  afterEach(async () => {
    assert.deepEqual(s.errors, [], 'no script error');
    assert.deepEqual(s.requests.filter(url => !url.startsWith('file:')), [], 'nothing reaches the network');
    await s.page.close();
  });
  return s;
}

const fixtureUrl = name => pathToFileURL(path.join(__dirname, 'fixtures', name)).href;

module.exports = { session, fixtureUrl, ROOT };
