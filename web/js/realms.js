// Realm status panel. The document comes from the game server unchanged, so
// any JSON value may arrive; everything from it is written as text.
//
// Shape drawn as a realm list:
//   {"realms":[{"name":"Ashen Vale","status":"online","population":"High","players":1204}]}
// Any other value is shown as key/value rows, a list or plain text.
(function (ns) {
  'use strict';

  const KNOWN_STATUS = ['online', 'offline', 'maintenance'];
  const STATUS_LABEL = { online: 'realmOnline', offline: 'realmOffline', maintenance: 'realmMaintenance' };
  const t = function (key, args) { return ns.i18n.t(key, args); };

  let body = null;
  let updated = null;
  let lastText = null;
  let lastData;
  let lastTime = null;

  function init() {
    body = document.getElementById('realms-body');
    updated = document.getElementById('realms-updated');
    ns.i18n.onChange(function () {
      if (lastTime) draw();
    });
  }

  function node(tag, className, text) {
    const n = document.createElement(tag);
    if (className) n.className = className;
    if (text != null) n.textContent = text;
    return n;
  }

  function clip(text) {
    const limit = ns.config.realmTextLimit;
    return text.length > limit ? text.slice(0, limit - 1) + '…' : text;
  }

  // Text of any JSON value for one line of the panel.
  function describe(value) {
    if (value === null) return 'null';
    if (typeof value === 'string') return clip(value);
    if (typeof value === 'object') {
      let text;
      try { text = JSON.stringify(value); } catch (err) { text = String(value); }
      return clip(text);
    }
    return String(value);
  }

  function isRealmDocument(data) {
    return data !== null && typeof data === 'object' && !Array.isArray(data) &&
      Array.isArray(data.realms);
  }

  function formatCount(value) {
    if (typeof value === 'number' && isFinite(value)) return ns.i18n.number(value);
    if (typeof value === 'string' && value.trim() !== '') return clip(value.trim());
    return null;
  }

  function realmRow(realm) {
    const li = node('li', 'realm');
    if (realm === null || typeof realm !== 'object' || Array.isArray(realm)) {
      li.appendChild(node('span', 'realm-name', describe(realm)));
      return li;
    }
    const statusWord = typeof realm.status === 'string' ? realm.status.trim().toLowerCase() : '';
    const status = KNOWN_STATUS.indexOf(statusWord) >= 0 ? statusWord : 'unknown';
    li.dataset.status = status;

    const name = realm.name == null || realm.name === '' ? t('unnamedRealm') : describe(realm.name);
    const head = node('div', 'realm-head');
    head.appendChild(node('span', 'realm-dot'));
    head.appendChild(node('span', 'realm-name', name));
    const label = STATUS_LABEL[status] ? t(STATUS_LABEL[status])
      : realm.status == null || realm.status === '' ? t('realmUnknown') : describe(realm.status);
    head.appendChild(node('span', 'realm-status', label));
    li.appendChild(head);

    const details = [];
    const population = formatCount(realm.population);
    if (population !== null) details.push(t('population', [population]));
    const players = formatCount(realm.players);
    if (players !== null) {
      details.push(t('players', [realm.players, players]));
    }
    if (details.length) li.appendChild(node('div', 'realm-details', details.join(' · ')));
    return li;
  }

  function moreNote(count) {
    return node('li', 'realm-more', t('more', [ns.i18n.number(count)]));
  }

  function realmList(realms) {
    if (realms.length === 0) return node('p', 'realms-empty', t('noRealms'));
    const limit = ns.config.realmRowLimit;
    const list = node('ul', 'realm-list');
    realms.slice(0, limit).forEach(function (realm) { list.appendChild(realmRow(realm)); });
    if (realms.length > limit) list.appendChild(moreNote(realms.length - limit));
    return list;
  }

  function genericView(data) {
    const limit = ns.config.realmRowLimit;
    if (data === null || typeof data !== 'object') {
      return node('p', 'realms-raw', describe(data));
    }
    if (Array.isArray(data)) {
      if (data.length === 0) return node('p', 'realms-empty', t('emptyRealmList'));
      const list = node('ul', 'realm-pairs');
      data.slice(0, limit).forEach(function (item) {
        list.appendChild(node('li', 'pair-value', describe(item)));
      });
      if (data.length > limit) list.appendChild(moreNote(data.length - limit));
      return list;
    }
    const keys = Object.keys(data);
    if (keys.length === 0) return node('p', 'realms-empty', t('noRealmInfo'));
    const list = node('ul', 'realm-pairs');
    keys.slice(0, limit).forEach(function (key) {
      const li = node('li', 'pair');
      li.appendChild(node('span', 'pair-key', clip(key)));
      li.appendChild(node('span', 'pair-value', describe(data[key])));
      list.appendChild(li);
    });
    if (keys.length > limit) list.appendChild(moreNote(keys.length - limit));
    return list;
  }

  // The server is asked every two seconds; an unchanged document keeps the
  // drawn list (and the player's scroll position) as it is.
  function onRealmStatus(ev) {
    if (!Object.prototype.hasOwnProperty.call(ev, 'data')) return;
    const data = ev.data;
    let text;
    try { text = JSON.stringify(data); } catch (err) { text = String(data); }
    lastTime = new Date();
    updated.textContent = t('realmUpdated', [ns.i18n.time(lastTime)]);
    if (text === lastText) return;
    lastText = text;
    lastData = data;
    draw();
  }

  function draw() {
    updated.textContent = t('realmUpdated', [ns.i18n.time(lastTime)]);
    body.replaceChildren(isRealmDocument(lastData) ? realmList(lastData.realms) : genericView(lastData));
  }

  ns.realms = { init: init, onRealmStatus: onRealmStatus };
})(window.Keldmoor = window.Keldmoor || {});
