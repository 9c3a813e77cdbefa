// The page speaks Spanish and English: its own texts from the tables, the
// launcher's English texts recognised by their format, the player's choice kept.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { session, fixtureUrl } = require('./harness');

const t = session({ locale: 'es-AR' });

// [what the launcher sends, what a Spanish player reads]; in English it stays as it came.
const STATUS = [
  ['Checking for updates...', 'Buscando actualizaciones...'],
  ['Checking data/keep (old).pak (3/12)', 'Revisando data/keep (old).pak (3/12)'],
  ['Downloading Launcher.exe (1/1)', 'Descargando Launcher.exe (1/1)'],
  ['Offline: Could not establish connection', 'Sin conexión: no se pudo conectar'],
  ['Offline: Connection timed out', 'Sin conexión: se agotó el tiempo de espera'],
  ['Offline: HTTP 503', 'Sin conexión: HTTP 503'],
  ['Update blocked: missing or malformed manifest signature.', 'Actualización bloqueada: la firma del manifiesto falta o está dañada.'],
  ['Update blocked: manifest signature is INVALID (tampered or wrong key).',
    'Actualización bloqueada: la firma del manifiesto NO es válida (alterada o de otra clave).'],
  ['Invalid manifest from server.', 'El servidor mandó un manifiesto no válido.'],
  ['All files up to date (v1.4.2)', 'Todos los archivos están al día (v1.4.2)'],
  ['Download failed. Check your connection.', 'Falló la descarga. Revisá tu conexión.'],
  ['File verification failed.', 'Falló la verificación de un archivo.'],
  ['Applying update...', 'Aplicando la actualización...'],
  ['1 file(s) were in use and will finish updating on next launch (e.g. Game_x64_win.exe).',
    '1 archivo estaba en uso y se termina de actualizar la próxima vez que abras el Launcher (p. ej. Game_x64_win.exe).'],
  ['12 file(s) were in use and will finish updating on next launch (e.g. data/a b.pak).',
    '12 archivos estaban en uso y se terminan de actualizar la próxima vez que abras el Launcher (p. ej. data/a b.pak).'],
  ['Updated to v2.0.10 — restart launcher to apply', 'Actualizado a v2.0.10 — reiniciá el Launcher para aplicarlo'],
  ['Updated to v1.4.3', 'Actualizado a v1.4.3'],
  ['Update failed.', 'Falló la actualización.'],
  ['Updated to v1.4', 'Updated to v1.4'],
  ['Checking for updates', 'Checking for updates'],
  ['Servidor <b>caído</b>', 'Servidor <b>caído</b>']
];
const REASONS = [
  ['Invalid credentials', 'Usuario o contraseña incorrectos'],
  ['Beta server error', 'Error del servidor beta'],
  ['Cannot reach beta server (offline?)', 'No hay conexión con el servidor beta (¿estás sin internet?)'],
  ['Account locked', 'Account locked']
];

// Every text and label of the page, in document order.
const texts = page => page.evaluate(() => {
  const out = [];
  for (const walk = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT); walk.nextNode();) out.push(walk.currentNode.data.trim());
  for (const el of document.querySelectorAll('*')) for (const a of ['aria-label', 'title', 'placeholder', 'alt', 'aria-roledescription']) out.push(el.getAttribute(a));
  return out.filter(Boolean);
});
// Names, words from the servers and figures read the same in both languages.
const ALIKE = /^(Keldmoor Ashvow|Launcher|Beta|Español|English|Ashen Vale|Hollowmere|High|1\.4\.2|[\d\s%.,:—]*)$/;

test('a Spanish system gets the page in Spanish; a language picked in Settings changes every text at once and survives a reload', async () => {
  await t.emit({ event: 'serverStatus', online: true }, { event: 'version', value: '1.4.2' },
    { event: 'banners', list: ['banner-embers.svg', 'banner-patch.svg'].map(fixtureUrl) },
    { event: 'realmStatus', data: { realms: [{ name: 'Ashen Vale', status: 'online', population: 'High', players: 1204 },
      { name: 'Hollowmere', status: 'maintenance' }] } },
    { event: 'progress', status: 'Downloading data/a.pak (1/2)', state: 'working', percent: 0.5 },
    { event: 'updateComplete', downloaded: 2, restartNeeded: true }, { event: 'betaLoginResult', ok: true });
  await t.frame();
  // Numbers and times in the system's locale.
  assert.deepEqual(await t.look('@lang html', 'text #btn-check'), ['es', 'Buscar actualizaciones']);
  assert.match(await t.text('#realms-body'), /EN LÍNEA\s.*1\.204 jugadores/s);
  assert.match(await t.text('#realms-updated'), /^Actualizado \d\d:\d\d:\d\d/);
  const spanish = await texts(t.page);
  await t.page.click('#btn-settings');
  await t.page.getByRole('radio', { name: 'English' }).check();
  const english = await texts(t.page);
  assert.equal(english.length, spanish.length);
  assert.deepEqual(spanish.filter((text, i) => text === english[i] && !ALIKE.test(text)), []);

  await t.reload();
  assert.deepEqual(await t.look('@lang html', 'text #btn-check'), ['en', 'Check for updates']);
});

test('progress texts and sign-in reasons read in the chosen language, values intact', async () => {
  for (const language of ['en', 'es']) {
    await t.page.evaluate(code => window.Keldmoor.i18n.choose(code), language);
    for (const [sent, spanish] of STATUS) {
      await t.emit({ event: 'progress', status: sent, state: 'working', percent: 0.5 });
      await t.frame();
      assert.equal(await t.text('#status-text'), language === 'es' ? spanish : sent);
    }
    for (const [reason, spanish] of REASONS) {
      await t.emit({ event: 'betaLoginResult', ok: false, reason });
      assert.equal(await t.page.textContent('#beta-message'), language === 'es' ? spanish : reason);
    }
  }
});
