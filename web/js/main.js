// Wires the controls to their commands and the events to their views, then
// tells the launcher the page is ready. Runs once per page load; the launcher
// answers every ready, a reload included, with the page's starting state.
(function (ns) {
  'use strict';

  const $ = function (id) { return document.getElementById(id); };
  const send = ns.bridge.send;

  ns.i18n.init();
  ns.update.init();
  ns.realms.init();
  ns.banners.init();
  ns.dialogs.init();

  // Only the strip itself starts a window drag; its buttons keep their clicks.
  $('titlebar').addEventListener('mousedown', function (e) {
    if (e.button !== 0 || e.target.closest('.window-controls')) return;
    e.preventDefault();
    send('dragWindow');
  });
  $('btn-minimize').addEventListener('click', function () { send('minimize'); });
  $('btn-close').addEventListener('click', function () { send('close'); });

  document.querySelectorAll('[data-link]').forEach(function (button) {
    button.addEventListener('click', function () {
      const url = ns.config.links[button.dataset.link];
      if (url) send('openURL', { url: url });
    });
  });

  $('btn-play').addEventListener('click', function () {
    send('launch', { betaMode: ns.dialogs.betaChosen() });
    ns.update.holdForLaunch();
  });

  function launchMap(cmd) {
    const map = $('map-name').value.trim();
    if (!map) return;
    send(cmd, { map: map });
    ns.update.holdForLaunch();
  }
  $('btn-enter-map').addEventListener('click', function () { launchMap('launchWithMap'); });
  $('btn-spectate').addEventListener('click', function () { launchMap('watchSpectator'); });
  $('map-name').addEventListener('keydown', function (e) {
    if (e.key === 'Enter' && !$('btn-enter-map').disabled) launchMap('launchWithMap');
  });

  $('btn-check').addEventListener('click', function () { send('checkUpdates'); });
  // One pause request per check; the launcher ends the check when it has paused.
  $('btn-pause').addEventListener('click', function (e) {
    e.currentTarget.disabled = true;
    send('pauseDownload');
  });
  $('btn-resume').addEventListener('click', function () { send('checkUpdates'); });

  // A file dropped on the window would otherwise replace the page.
  ['dragover', 'drop'].forEach(function (type) {
    window.addEventListener(type, function (e) { e.preventDefault(); });
  });

  const bridge = ns.bridge;
  bridge.on('progress', ns.update.onProgress);
  bridge.on('updating', ns.update.onUpdating);
  bridge.on('updateComplete', ns.update.onUpdateComplete);
  bridge.on('transfer', ns.update.onTransfer);
  bridge.on('version', ns.update.onVersion);
  bridge.on('serverStatus', function (ev) {
    const online = ev.online === true;
    $('server-status').dataset.online = online ? 'true' : 'false';
    ns.i18n.put($('server-label'), online ? 'serverOnline' : 'serverOffline');
    ns.update.onServerStatus(online);
  });
  bridge.on('settings', ns.dialogs.onSettings);
  bridge.on('downloadLimit', ns.dialogs.onDownloadLimit);
  bridge.on('diagnostics', ns.dialogs.onDiagnostics);
  bridge.on('banners', ns.banners.onBanners);
  bridge.on('realmStatus', ns.realms.onRealmStatus);
  bridge.on('betaSavedCreds', ns.dialogs.onSavedCreds);
  bridge.on('betaLoginResult', ns.dialogs.onLoginResult);
  bridge.on('restartPrompt', ns.dialogs.onRestartPrompt);

  // Listen first: the launcher answers ready at once.
  bridge.connect();
  send('ready');
})(window.Keldmoor = window.Keldmoor || {});
