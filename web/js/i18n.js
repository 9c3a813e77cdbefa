// The page's language: the texts of web/js/lang/<code>.js, chosen from the
// web view's navigator.language until the player picks one in Settings.
//
// Elements written through put() remember their key and values, so a new
// choice redraws them at once. The launcher's own texts arrive in English;
// known() recognises the launcher's formats and gives them in a language with
// their file names, counts and versions untouched; the status line and the
// sign-in message show any other text exactly as it came.
(function (ns) {
  'use strict';

  const STORAGE_KEY = 'km.language';

  // The launcher's progress texts as it formats them (updater/status_texts.def), by the name
  // each language table gives their forms: %s is a text, %d a number. A particular text comes
  // before the general format it would also match.
  const FORMATS = Object.freeze([
    ['checkingStart', 'Checking for updates...'],
    ['offlineUntrusted', "Offline: the server's certificate is not trusted."],
    ['offline', 'Offline: %s'],
    ['signatureMissing', 'Update blocked: missing or malformed manifest signature.'],
    ['signatureInvalid', 'Update blocked: manifest signature is INVALID (tampered or wrong key).'],
    ['downgradeBlocked', 'Update blocked: the server offered v%d.%d.%d, older than the installed v%d.%d.%d.'],
    ['manifestInvalid', 'Invalid manifest from server.'],
    ['checking', 'Checking %s (%d/%d)'],
    ['upToDate', 'All files up to date (v%d.%d.%d)'],
    ['diskFull', 'Not enough disk space: %s needed, %s free.'],
    ['downloading', 'Downloading %s (%d/%d)'],
    ['downloadPaused', 'Download paused.'],
    ['downloadFailed', 'Download failed. Check your connection.'],
    ['verifyFailed', 'File verification failed.'],
    ['applying', 'Applying update...'],
    ['inUse', '%d file(s) were in use and will finish updating on next launch (e.g. %s).'],
    ['updatedRestart', 'Updated to v%d.%d.%d \u2014 restart launcher to apply'],
    ['updated', 'Updated to v%d.%d.%d'],
    ['updateFailed', 'Update failed.']
  ].map(Object.freeze));

  function pattern(format) {
    const source = format.split(/(%[sd])/).map(function (piece) {
      if (piece === '%s') return '(.*)';
      if (piece === '%d') return '(-?\\d+)';
      return piece.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
    }).join('');
    return new RegExp('^' + source + '$', 's');
  }

  const STATUS = FORMATS.map(function (f) { return [f[0], pattern(f[1])]; });
  const UNITS = ['B', 'KB', 'MB', 'GB', 'TB'];

  let code = null;
  const listeners = [];

  function tables() { return ns.lang || {}; }

  function initial() {
    let saved = null;
    try { saved = window.localStorage.getItem(STORAGE_KEY); } catch (err) { saved = null; }
    if (saved && tables()[saved]) return saved;
    return /^es(-|$)/i.test(navigator.language || '') ? 'es' : 'en';
  }

  // Numbers and times follow the system's own locale when it speaks the
  // chosen language (es-AR groups as 1.204), the bare language otherwise.
  function locale() {
    const system = navigator.language || '';
    return system.toLowerCase().split('-')[0] === code ? system : code;
  }

  function fill(entry, args) {
    if (typeof entry === 'function') return entry.apply(null, args);
    return String(entry).replace(/\{(\d+)\}/g, function (all, n) {
      return args[n] == null ? '' : String(args[n]);
    });
  }

  // A key missing from one table falls back to English rather than to nothing.
  function t(key, args) {
    const table = tables()[code].ui;
    const entry = key in table ? table[key] : tables().en.ui[key];
    return entry == null ? key : fill(entry, args || []);
  }

  const own = function (table, key) { return Object.prototype.hasOwnProperty.call(table, key); };

  // Which of the launcher's formats a status text is, with its values as they came.
  function recognise(text) {
    for (const [name, re] of STATUS) {
      const m = re.exec(text);
      if (m) return { name: name, values: m.slice(1) };
    }
    return null;
  }

  // A status or sign-in reason of the launcher in a language (the chosen one unless named), or
  // null when that language's table does not know it.
  function known(group, text, language) {
    const table = tables()[language || code][group] || {};
    if (group === 'reasons') return own(table, text) ? String(table[text]) : null;
    const found = recognise(text);
    return found && own(table, found.name) ? fill(table[found.name], found.values) : null;
  }

  // Texts drawn from what the launcher sent; the raw text is what is kept, and a text no table
  // knows is shown exactly as it came.
  const DERIVED = {
    '@status': function (text) { const shown = known('status', text); return shown == null ? text : shown; },
    '@reason': function (text) { const shown = known('reasons', text); return shown == null ? text : shown; }
  };

  function render(key, args) {
    return key in DERIVED ? DERIVED[key](String(args[0])) : t(key, args);
  }

  function attrName(attr) { return attr ? 'data-i18n-' + attr : 'data-i18n'; }

  // Writes the text of key into the element (or one of its attributes) and
  // remembers it for the next change of language.
  function put(el, key, args, attr) {
    const list = args || [];
    const text = render(key, list);
    el.setAttribute(attrName(attr), list.length ? key + ' ' + JSON.stringify(list) : key);
    if (attr) el.setAttribute(attr, text);
    else el.textContent = text;
    return text;
  }

  function parse(value) {
    const gap = value.indexOf(' ');
    if (gap < 0) return { key: value, args: [] };
    let args = [];
    try { args = JSON.parse(value.slice(gap + 1)); } catch (err) { args = []; }
    return { key: value.slice(0, gap), args: Array.isArray(args) ? args : [] };
  }

  const ATTRS = ['aria-label', 'title', 'placeholder', 'alt', 'aria-roledescription'];

  function apply(root) {
    const scope = root || document;
    scope.querySelectorAll('[data-i18n]').forEach(function (el) {
      const p = parse(el.getAttribute('data-i18n'));
      el.textContent = render(p.key, p.args);
    });
    ATTRS.forEach(function (attr) {
      scope.querySelectorAll('[' + attrName(attr) + ']').forEach(function (el) {
        const p = parse(el.getAttribute(attrName(attr)));
        el.setAttribute(attr, render(p.key, p.args));
      });
    });
  }

  function setLanguage(next, keep) {
    if (!tables()[next]) return;
    code = next;
    if (keep) {
      try { window.localStorage.setItem(STORAGE_KEY, next); } catch (err) { /* page storage off */ }
    }
    document.documentElement.lang = next;
    apply();
    listeners.forEach(function (fn) { fn(next); });
  }

  function number(value, digits) {
    const options = digits == null ? {} : { minimumFractionDigits: digits, maximumFractionDigits: digits };
    return new Intl.NumberFormat(locale(), options).format(value);
  }

  // Bytes in binary units (1 KB = 1024 B): one decimal below 10 of a unit, none from 10 up.
  function size(bytes) {
    let value = typeof bytes === 'number' && bytes > 0 ? bytes : 0;
    let unit = 0;
    while (unit < UNITS.length - 1 && value >= 1024) { value /= 1024; unit++; }
    // 1023.7 KB would read "1,024 KB".
    if (unit < UNITS.length - 1 && Math.round(value) >= 1024) { value /= 1024; unit++; }
    return number(value, unit > 0 && Math.round(value * 10) < 100 ? 1 : 0) + ' ' + UNITS[unit];
  }

  // A size as the launcher writes it ("1.2 GB") with this language's decimal separator; any
  // other text as it came.
  function sizeText(text) {
    const m = /^(\d{1,15})(?:\.(\d{1,3}))? (B|KB|MB|GB|TB)$/.exec(text);
    return m ? number(Number(m[1] + '.' + (m[2] || '0')), m[2] ? m[2].length : 0) + ' ' + m[3] : text;
  }

  // A time to wait, as readable as it needs to be: seconds under a minute, then minutes, then
  // hours and minutes.
  function duration(seconds) {
    const s = Math.max(1, Math.ceil(seconds));
    if (s < 60) return t('seconds', [number(s)]);
    const minutes = Math.round(s / 60);
    if (minutes < 60) return t('minutes', [number(minutes)]);
    return t('hoursMinutes', [number(Math.floor(minutes / 60)), number(minutes % 60)]);
  }

  function time(date) {
    return new Intl.DateTimeFormat(locale(), { hour: '2-digit', minute: '2-digit', second: '2-digit' })
      .format(date);
  }

  ns.i18n = {
    init: function () { setLanguage(initial(), false); },
    language: function () { return code; },
    choose: function (next) { setLanguage(next, true); },
    onChange: function (fn) { listeners.push(fn); },
    t: t,
    put: put,
    formats: FORMATS,
    recognise: recognise,
    known: known,
    number: number,
    size: size,
    sizeText: sizeText,
    duration: duration,
    time: time
  };
})(window.Keldmoor = window.Keldmoor || {});
