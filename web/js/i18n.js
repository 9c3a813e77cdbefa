// The page's language: the texts of web/js/lang/<code>.js, chosen from the
// web view's navigator.language until the player picks one in Settings.
//
// Elements written through put() remember their key and values, so a new
// choice redraws them at once. The launcher's own texts arrive in English;
// status() and reason() recognise the launcher's formats and give them in the
// chosen language with their file names, counts and versions untouched, and
// hand back any other text exactly as it came.
(function (ns) {
  'use strict';

  const STORAGE_KEY = 'km.language';
  const VERSION = '(-?\\d+\\.-?\\d+\\.-?\\d+)';

  // The launcher's progress texts, by the name each language table uses.
  const STATUS = [
    ['checkingStart', /^Checking for updates\.\.\.$/],
    ['checking', /^Checking (.+) \((-?\d+)\/(-?\d+)\)$/s],
    ['downloading', /^Downloading (.+) \((-?\d+)\/(-?\d+)\)$/s],
    ['offline', /^Offline: (.*)$/s],
    ['signatureMissing', /^Update blocked: missing or malformed manifest signature\.$/],
    ['signatureInvalid', /^Update blocked: manifest signature is INVALID \(tampered or wrong key\)\.$/],
    ['manifestInvalid', /^Invalid manifest from server\.$/],
    ['upToDate', new RegExp('^All files up to date \\(v' + VERSION + '\\)$')],
    ['downloadFailed', /^Download failed\. Check your connection\.$/],
    ['verifyFailed', /^File verification failed\.$/],
    ['applying', /^Applying update\.\.\.$/],
    ['inUse', /^(-?\d+) file\(s\) were in use and will finish updating on next launch \(e\.g\. (.*)\)\.$/s],
    ['updatedRestart', new RegExp('^Updated to v' + VERSION + ' \u2014 restart launcher to apply$')],
    ['updated', new RegExp('^Updated to v' + VERSION + '$')],
    ['updateFailed', /^Update failed\.$/]
  ];

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

  function status(text) {
    if (code === 'en') return text;
    const table = tables()[code].status;
    for (const [name, pattern] of STATUS) {
      const m = pattern.exec(text);
      if (m && table[name] != null) return fill(table[name], m.slice(1));
    }
    return text;
  }

  function known(group, text) {
    const table = tables()[code][group] || {};
    return Object.prototype.hasOwnProperty.call(table, text) ? table[text] : text;
  }

  // Texts drawn from what the launcher sent; the raw text is what is kept.
  const DERIVED = {
    '@status': status,
    '@reason': function (text) { return known('reasons', text); }
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

  function number(value) { return new Intl.NumberFormat(locale()).format(value); }

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
    status: status,
    number: number,
    time: time
  };
})(window.Keldmoor = window.Keldmoor || {});
