// The modal dialogs: game settings (with the download limit and support tools),
// beta sign-in, repair confirmation and the restart prompt.
(function (ns) {
  'use strict';

  const $ = function (id) { return document.getElementById(id); };
  const send = function (cmd, args) { return ns.bridge.send(cmd, args); };

  function openDialog(dialog) {
    if (dialog.open) return;
    if (typeof dialog.showModal === 'function') dialog.showModal();
    else dialog.setAttribute('open', '');
  }

  function closeDialog(dialog) {
    if (!dialog.open) return;
    if (typeof dialog.close === 'function') dialog.close();
    else dialog.removeAttribute('open');
  }

  /* ---- game settings ---- */

  const BUILT_IN_MODES = ['windowed', 'borderless', 'fullscreen'];
  // What the game uses until the launcher reports the saved file.
  let settings = { mode: 'windowed', vsync: false, unlockFps: true, captureMouse: false };

  function onSettings(ev) {
    const data = ev.data;
    if (!data || typeof data !== 'object') return;
    const next = Object.assign({}, settings);
    if (typeof data.mode === 'string' && data.mode !== '') next.mode = data.mode;
    ['vsync', 'unlockFps', 'captureMouse'].forEach(function (key) {
      if (typeof data[key] === 'boolean') next[key] = data[key];
    });
    settings = next;
    if ($('dlg-settings').open) fillSettings();
  }

  // A mode this page does not know (a newer game may write one) is offered
  // as it is, so saving other options does not silently replace it.
  function fillSettings() {
    const modes = $('settings-modes');
    modes.querySelectorAll('[data-custom]').forEach(function (n) { n.remove(); });
    if (BUILT_IN_MODES.indexOf(settings.mode) < 0) {
      const label = document.createElement('label');
      label.dataset.custom = 'true';
      const input = document.createElement('input');
      input.type = 'radio';
      input.name = 'mode';
      input.value = settings.mode;
      const text = document.createElement('span');
      text.textContent = settings.mode;
      label.append(input, text);
      modes.appendChild(label);
    }
    modes.querySelectorAll('input[name="mode"]').forEach(function (input) {
      input.checked = input.value === settings.mode;
    });
    fillLimit();
    $('set-vsync').checked = settings.vsync;
    $('set-unlock-fps').checked = settings.unlockFps;
    $('set-capture-mouse').checked = settings.captureMouse;
    document.querySelectorAll('input[name="language"]').forEach(function (input) {
      input.checked = input.value === ns.i18n.language();
    });
  }

  function saveSettings() {
    const chosen = $('settings-modes').querySelector('input[name="mode"]:checked');
    const data = {
      mode: chosen ? chosen.value : settings.mode,
      vsync: $('set-vsync').checked,
      unlockFps: $('set-unlock-fps').checked,
      captureMouse: $('set-capture-mouse').checked
    };
    send('saveSettings', { data: data });
    settings = data;
    const limit = Number($('set-download-limit').value);
    if (limit !== downloadLimit) {
      send('setDownloadLimit', { limit: limit });
      downloadLimit = limit;
    }
    closeDialog($('dlg-settings'));
  }

  /* ---- download limit ---- */

  let downloadLimit = 0;    // MB/s, 0 for none: what the launcher last reported

  function limitOption(limit, custom) {
    const option = document.createElement('option');
    option.value = String(limit);
    if (custom) option.dataset.custom = 'true';
    if (limit === 0) ns.i18n.put(option, 'unlimited');
    else ns.i18n.put(option, 'megabytesPerSecond', [limit]);
    return option;
  }

  function onDownloadLimit(ev) {
    if (!Number.isSafeInteger(ev.limit) || ev.limit < 0) return;
    downloadLimit = ev.limit;
    if ($('dlg-settings').open) fillLimit();
  }

  // A limit this page does not offer (set by a newer page or by hand) is
  // offered as it is, so saving leaves it alone.
  function fillLimit() {
    const select = $('set-download-limit');
    select.querySelectorAll('[data-custom]').forEach(function (n) { n.remove(); });
    if (ns.config.downloadLimits.indexOf(downloadLimit) < 0) select.appendChild(limitOption(downloadLimit, true));
    select.value = String(downloadLimit);
  }

  /* ---- support ---- */

  function supportMessage(key, tone) {
    const m = $('support-message');
    if (key) ns.i18n.put(m, key);
    else m.textContent = '';
    m.dataset.tone = tone || '';
  }

  function showDiagnostics(text) {
    const area = $('diagnostics-text');
    area.value = text;
    area.hidden = text === '';
  }

  // The diagnostics are plain text, shown only as a form value.
  function onDiagnostics(ev) {
    if (ev.copied === true) {
      showDiagnostics('');
      supportMessage('diagnosticsCopied', 'success');
      return;
    }
    showDiagnostics(typeof ev.text === 'string' ? ev.text.slice(0, ns.config.diagnosticsTextLimit) : '');
    supportMessage('diagnosticsByHand', 'warning');
    const area = $('diagnostics-text');
    if (!area.hidden && $('dlg-settings').open) {
      area.focus();
      area.select();
      // Selecting scrolls to the end; the player starts reading at the top.
      area.scrollTop = 0;
      area.scrollLeft = 0;
    }
  }

  /* ---- beta sign-in ---- */

  let signedIn = false;
  let loginWait = 0;

  function betaMessage(key, args, tone) {
    const m = $('beta-message');
    ns.i18n.put(m, key, args);
    m.dataset.tone = tone || '';
  }

  function setLoginPending(pending) {
    if (loginWait) { window.clearTimeout(loginWait); loginWait = 0; }
    $('beta-submit').disabled = pending;
    if (pending) {
      loginWait = window.setTimeout(function () {
        setLoginPending(false);
        betaMessage('betaTimeout', null, 'error');
      }, ns.config.betaLoginTimeoutMs);
    }
  }

  function submitLogin(e) {
    e.preventDefault();
    if (loginWait) return;
    send('loginBeta', {
      username: $('beta-user').value,
      password: $('beta-pass').value,
      remember: $('beta-remember').checked
    });
    setLoginPending(true);
    betaMessage('signingIn', null, 'working');
  }

  function setBetaAccess(granted) {
    signedIn = granted;
    $('client-beta').disabled = !granted;
    ns.i18n.put($('client-beta-option'), granted ? 'betaUnlocked' : 'betaLocked', null, 'title');
    $('beta-badge').hidden = !granted;
    if (!granted) $('client-live').checked = true;
  }

  function onLoginResult(ev) {
    setLoginPending(false);
    if (ev.ok === true) {
      setBetaAccess(true);
      betaMessage('signedIn', null, 'success');
    } else {
      setBetaAccess(false);
      if (typeof ev.reason === 'string' && ev.reason !== '') betaMessage('@reason', [ev.reason], 'error');
      else betaMessage('signInFailed', null, 'error');
    }
  }

  function onSavedCreds(ev) {
    $('beta-user').value = typeof ev.username === 'string' ? ev.username : '';
    $('beta-pass').value = typeof ev.password === 'string' ? ev.password : '';
    $('beta-remember').checked = true;
  }

  function forgetLogin() {
    send('clearBetaCreds');
    $('beta-user').value = '';
    $('beta-pass').value = '';
    $('beta-remember').checked = false;
    betaMessage('forgotten', null, '');
  }

  function openBeta() {
    openDialog($('dlg-beta'));
    const user = $('beta-user');
    (user.value ? $('beta-pass') : user).focus();
  }

  /* ---- repair and restart ---- */

  function confirmRepair() {
    closeDialog($('dlg-repair'));
    if (!ns.update.isUpdating()) send('repair');
  }

  function onRestartPrompt() {
    openDialog($('dlg-restart'));
  }

  function init() {
    ns.config.downloadLimits.forEach(function (limit) {
      $('set-download-limit').appendChild(limitOption(limit, false));
    });
    $('btn-settings').addEventListener('click', function () {
      fillSettings();
      supportMessage(null);
      showDiagnostics('');
      openDialog($('dlg-settings'));
    });
    $('btn-open-logs').addEventListener('click', function () { send('openLogFolder'); });
    $('btn-copy-diagnostics').addEventListener('click', function () { send('copyDiagnostics'); });
    $('settings-save').addEventListener('click', saveSettings);
    // The language is the page's own choice, not the game's: it takes effect
    // as soon as it is picked, whatever becomes of the other settings.
    $('settings-language').addEventListener('change', function (e) { ns.i18n.choose(e.target.value); });
    $('settings-cancel').addEventListener('click', function () { closeDialog($('dlg-settings')); });

    $('btn-beta').addEventListener('click', openBeta);
    $('beta-form').addEventListener('submit', submitLogin);
    $('beta-forget').addEventListener('click', forgetLogin);
    $('beta-close').addEventListener('click', function () { closeDialog($('dlg-beta')); });

    $('btn-repair').addEventListener('click', function () { openDialog($('dlg-repair')); });
    $('repair-confirm').addEventListener('click', confirmRepair);
    $('repair-cancel').addEventListener('click', function () { closeDialog($('dlg-repair')); });
    ns.update.onUpdatingChange(function (busy) { $('repair-confirm').disabled = busy; });

    $('restart-now').addEventListener('click', function () { send('restartNow'); });
    $('restart-later').addEventListener('click', function () {
      closeDialog($('dlg-restart'));
      ns.update.showRestartPending();
    });
    $('btn-restart-pending').addEventListener('click', onRestartPrompt);
  }

  ns.dialogs = {
    init: init,
    onSettings: onSettings,
    onDownloadLimit: onDownloadLimit,
    onDiagnostics: onDiagnostics,
    onLoginResult: onLoginResult,
    onSavedCreds: onSavedCreds,
    onRestartPrompt: onRestartPrompt,
    betaChosen: function () { return signedIn && $('client-beta').checked; }
  };
})(window.Keldmoor = window.Keldmoor || {});
