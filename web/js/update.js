// Update status: the status line, the progress bar, the download's size, speed
// and time left, the version and the controls that must wait while an update
// check runs.
(function (ns) {
  'use strict';

  const STATES = ['working', 'error', 'success', 'warning', 'idle'];
  const $ = function (id) { return document.getElementById(id); };

  let el = null;
  let pending = null;       // newest progress not yet drawn
  let frame = 0;
  let shown = { text: null, state: null, percent: null };
  let updating = false;
  let heardProgress = false;
  let launchLock = 0;       // timer while a launch request waits for its check
  let transfer = null;      // the newest transfer report of this check
  const listeners = [];

  function init() {
    el = {
      root: $('update'),
      text: $('status-text'),
      percent: $('status-percent'),
      bar: $('progress'),
      fill: $('progress-fill'),
      version: $('version'),
      summary: $('update-summary'),
      play: $('btn-play'),
      playLabel: $('play-label'),
      check: $('btn-check'),
      repair: $('btn-repair'),
      enterMap: $('btn-enter-map'),
      spectate: $('btn-spectate'),
      mapName: $('map-name'),
      restartPending: $('btn-restart-pending'),
      transfer: $('transfer'),
      pause: $('btn-pause'),
      resume: $('btn-resume')
    };
    el.mapName.addEventListener('input', refreshControls);
    ns.i18n.onChange(drawTransfer);
    refreshControls();
  }

  function fraction(value) {
    const n = typeof value === 'number' ? value : Number(value);
    if (!isFinite(n)) return 0;
    return Math.min(1, Math.max(0, n));
  }

  // Progress can arrive thousands of times a second; only the newest one per
  // frame is drawn, so the final state always lands and nothing queues up.
  function onProgress(ev) {
    heardProgress = true;
    pending = {
      text: ev.status == null ? '' : String(ev.status),
      state: STATES.indexOf(ev.state) >= 0 ? ev.state : 'idle',
      percent: Math.floor(fraction(ev.percent) * 100 + 1e-9)
    };
    if (!frame) frame = requestFrame(draw);
  }

  function requestFrame(fn) {
    return typeof window.requestAnimationFrame === 'function'
      ? window.requestAnimationFrame(fn)
      : window.setTimeout(fn, 16);
  }

  function draw() {
    frame = 0;
    const p = pending;
    pending = null;
    if (!p) return;
    if (p.text !== shown.text) ns.i18n.put(el.text, '@status', [p.text]);
    if (p.state !== shown.state) el.root.dataset.state = p.state;
    if (p.percent !== shown.percent) {
      el.percent.textContent = p.percent + '%';
      el.fill.style.width = p.percent + '%';
      el.bar.setAttribute('aria-valuenow', String(p.percent));
    }
    shown = p;
  }

  function bytes(value) {
    return typeof value === 'number' && isFinite(value) && value > 0 ? Math.floor(value) : 0;
  }

  function onTransfer(ev) {
    transfer = { done: bytes(ev.done), total: bytes(ev.total), rate: bytes(ev.rate), paused: ev.paused === true };
    drawTransfer();
  }

  // While downloading: how much, how fast and how long. After a check the
  // player paused: what is kept, and the way to go on.
  function drawTransfer() {
    const x = transfer;
    const lines = [];
    if (x && (x.paused || (updating && x.done > 0))) lines.push(['transferOf', [x.done, x.total]]);
    else if (x && updating) lines.push(['transferStart', [x.total]]);
    if (x && updating && !x.paused && x.done > 0) {
      lines.push(['transferRate', [x.rate]]);
      if (x.rate > 0 && x.total > x.done) lines.push(['timeLeft', [(x.total - x.done) / x.rate]]);
    }
    el.transfer.textContent = lines.map(function (l) { return ns.i18n.t(l[0], l[1]); }).join(' · ');
    el.transfer.hidden = lines.length === 0;
    el.pause.hidden = !(x && updating && !x.paused);
    el.resume.hidden = !(x && !updating && x.paused);
  }

  function onUpdating(ev) {
    updating = ev.isUpdating === true;
    document.body.classList.toggle('is-updating', updating);
    if (!updating) releaseLaunch();
    // Each check reports its own downloads.
    if (updating) {
      transfer = null;
      el.pause.disabled = false;
    }
    drawTransfer();
    refreshControls();
    listeners.forEach(function (fn) { fn(updating); });
  }

  function onUpdateComplete(ev) {
    const n = typeof ev.downloaded === 'number' && isFinite(ev.downloaded) ? ev.downloaded : 0;
    if (n <= 0) ns.i18n.put(el.summary, 'nothingDownloaded');
    else ns.i18n.put(el.summary, 'downloaded', [n]);
    if (ev.restartNeeded === true) el.restartPending.hidden = false;
  }

  // Until a check reports, the status line is all the player sees about the
  // server; a probe that failed would otherwise leave it waiting for ever.
  function onServerStatus(online) {
    if (online || heardProgress || updating) return;
    ns.i18n.put(el.text, 'serverUnreachable');
    el.root.dataset.state = 'warning';
    shown.text = null;
    shown.state = 'warning';
  }

  function onVersion(ev) {
    const v = ev.value == null ? '' : String(ev.value);
    el.version.textContent = v || '—';
  }

  // Holds the play controls from a launch request until its update check
  // reports back, so a double click cannot ask twice.
  function holdForLaunch() {
    releaseLaunch();
    launchLock = window.setTimeout(releaseLaunch, ns.config.launchLockMs);
    refreshControls();
  }

  function releaseLaunch() {
    if (!launchLock) return;
    window.clearTimeout(launchLock);
    launchLock = 0;
    refreshControls();
  }

  function refreshControls() {
    const busy = updating || launchLock !== 0;
    const hasMap = el.mapName.value.trim() !== '';
    el.play.disabled = busy;
    el.repair.disabled = updating;
    el.check.disabled = updating;
    el.enterMap.disabled = busy || !hasMap;
    el.spectate.disabled = busy || !hasMap;
    ns.i18n.put(el.playLabel, updating ? 'updating' : launchLock ? 'starting' : 'play');
  }

  ns.update = {
    init: init,
    onProgress: onProgress,
    onUpdating: onUpdating,
    onUpdateComplete: onUpdateComplete,
    onTransfer: onTransfer,
    onVersion: onVersion,
    onServerStatus: onServerStatus,
    holdForLaunch: holdForLaunch,
    isUpdating: function () { return updating; },
    onUpdatingChange: function (fn) { listeners.push(fn); },
    showRestartPending: function () { el.restartPending.hidden = false; }
  };
})(window.Keldmoor = window.Keldmoor || {});
