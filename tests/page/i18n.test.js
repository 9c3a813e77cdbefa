// The page speaks Spanish and English: its own texts from the tables, the
// launcher's English texts recognised by their format, the player's choice kept.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { session, fixtureUrl, ROOT } = require('./harness');

const t = session({ locale: 'es-AR' });

// [what the launcher sends, what a Spanish player reads]; in English it stays as it came.
const STATUS = [
  ['Checking for updates...', 'Buscando actualizaciones...'],
  ['Checking data/keep (old).pak (3/12)', 'Revisando data/keep (old).pak (3/12)'],
  ['Downloading Launcher.exe (1/1)', 'Descargando Launcher.exe (1/1)'],
  ['Offline: Could not establish connection', 'Sin conexión: no se pudo conectar'],
  ['Offline: Connection timed out', 'Sin conexión: se agotó el tiempo de espera'],
  ['Offline: HTTP 503', 'Sin conexión: HTTP 503'],
  ["Offline: the server's certificate is not trusted.", 'Sin conexión: el certificado del servidor no es de confianza.'],
  ['Update blocked: the server offered v1.3.9, older than the installed v1.4.2.',
    'Actualización bloqueada: el servidor ofreció la v1.3.9, más vieja que la v1.4.2 instalada.'],
  ['Not enough disk space: 1.2 GB needed, 0.4 GB free.', 'No hay lugar en el disco: hacen falta 1,2 GB y quedan 0,4 GB libres.'],
  ['Not enough disk space: 312 MB needed, a lot free.', 'No hay lugar en el disco: hacen falta 312 MB y quedan a lot libres.'],
  ['Download paused.', 'Descarga en pausa.'],
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
  ["Beta server's certificate is not trusted", 'El certificado del servidor beta no es de confianza'],
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
const ALIKE = /^(Keldmoor Ashvow|Launcher|Beta|Español|English|Ashen Vale|Hollowmere|High|1\.4\.2|\d+ MB\/s|[\d\s%.,:—]*)$/;

test('a Spanish system gets the page in Spanish; a language picked in Settings changes every text at once and survives a reload', async () => {
  await t.emit({ event: 'serverStatus', online: true }, { event: 'version', value: '1.4.2' },
    { event: 'banners', list: ['banner-embers.svg', 'banner-patch.svg'].map(fixtureUrl) },
    { event: 'realmStatus', data: { realms: [{ name: 'Ashen Vale', status: 'online', population: 'High', players: 1204 },
      { name: 'Hollowmere', status: 'maintenance' }] } },
    { event: 'progress', status: 'Downloading data/a.pak (1/2)', state: 'working', percent: 0.5 },
    { event: 'updateComplete', downloaded: 2, restartNeeded: true }, { event: 'betaLoginResult', ok: true },
    { event: 'updating', isUpdating: true }, { event: 'transfer', done: 312 * 2 ** 20, total: 2 ** 31, rate: 24 * 2 ** 20, paused: false });
  await t.frame();
  // Numbers and times in the system's locale.
  assert.deepEqual(await t.look('@lang html', 'text #btn-check'), ['es', 'Buscar actualizaciones']);
  assert.match(await t.text('#realms-body'), /EN LÍNEA\s.*1\.204 jugadores/s);
  assert.match(await t.text('#realms-updated'), /^Actualizado \d\d:\d\d:\d\d/);
  assert.equal(await t.text('#transfer'), '312 MB de 2,0 GB · 24 MB/s · termina en aprox. 1 min');
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

// The launcher's texts as updater/status_texts.def gives them, each format filled with awkward
// values: a file name with blanks, parentheses and dots, negative and multi-digit numbers.
const FILL = { s: ['maps/Drowned Keep (old).pak', 'save 2 (b).dat'], d: ['-17', '2048', '-305', '64', '-9', '7310'] };
const DEF = fs.readFileSync(path.join(ROOT, 'updater', 'status_texts.def'), 'utf8');
const TEXTS = [...DEF.matchAll(/^KM_(STATUS|REASON)\((\w+), (".*")\)$/gm)].map(([, kind, name, literal]) => {
  const values = [];
  const used = { s: 0, d: 0 };
  const text = JSON.parse(literal).replace(/%([sd])/g, (_, f) => values[values.push(FILL[f][used[f]++ % FILL[f].length]) - 1]);
  return { group: kind === 'STATUS' ? 'status' : 'reasons', name: name.replace(/_(.)/g, (_, c) => c.toUpperCase()), text, values };
});

test('every status and reason of the launcher is known to both tables, and the page knows no other', async () => {
  assert.equal(TEXTS.length, DEF.match(/^KM_/gm).length, 'every KM_ line of the table is read');
  const problems = await t.page.evaluate(texts => {
    const { i18n, lang } = window.Keldmoor;
    const out = [];
    for (const { group, name, text, values } of texts) {
      const found = group === 'status' && i18n.recognise(text);
      if (found && found.name !== name) out.push(`"${text}" is recognised as ${found.name}, not ${name}`);
      for (const code of ['en', 'es']) {
        const shown = i18n.known(group, text, code);
        const wrong = code === 'en' ? shown !== text : shown == null || shown === text || !values.every(v => shown.includes(v));
        if (wrong) out.push(`${code} reads "${text}" as ${JSON.stringify(shown)}`);
      }
    }
    for (const [name, format] of i18n.formats) {
      if (!texts.some(x => x.group === 'status' && (i18n.recognise(x.text) || {}).name === name)) out.push(`pattern ${name} "${format}" matches no text of the launcher`);
    }
    for (const code of ['en', 'es']) {
      for (const name of Object.keys(lang[code].status)) if (!i18n.formats.some(f => f[0] === name)) out.push(`${code} status ${name} has no pattern`);
      for (const reason of Object.keys(lang[code].reasons)) if (!texts.some(x => x.text === reason)) out.push(`${code} reason "${reason}" is not the launcher's`);
    }
    return out;
  }, TEXTS);
  assert.deepEqual(problems, []);
});
