// The one place that talks to the native side through window.chrome.webview.
// Commands go out as objects (the host reads their JSON form); events come in
// as objects whose member "event" names them.
(function (ns) {
  'use strict';

  const handlers = new Map();
  let connected = false;

  function host() {
    const chrome = window.chrome;
    return chrome && chrome.webview ? chrome.webview : null;
  }

  // "cmd" must be the first member: the host's field reader takes the first
  // "cmd" it meets in the message text.
  function send(cmd, args) {
    const message = { cmd: cmd };
    if (args) {
      for (const key of Object.keys(args)) {
        if (key !== 'cmd') message[key] = args[key];
      }
    }
    const webview = host();
    if (!webview || typeof webview.postMessage !== 'function') return false;
    try {
      webview.postMessage(message);
      return true;
    } catch (err) {
      console.error('command not delivered:', cmd, err);
      return false;
    }
  }

  function on(eventName, handler) {
    handlers.set(eventName, handler);
  }

  function dispatch(data) {
    if (typeof data === 'string') {
      // A host that hands over text instead of the parsed object.
      try { data = JSON.parse(data); } catch (err) { return; }
    }
    if (!data || typeof data !== 'object' || Array.isArray(data)) return;
    const handler = handlers.get(data.event);
    if (!handler) return;
    try {
      handler(data);
    } catch (err) {
      // One malformed event must not stop the ones after it.
      console.error('event not handled:', data.event, err);
    }
  }

  function connect() {
    const webview = host();
    if (connected || !webview || typeof webview.addEventListener !== 'function') return;
    webview.addEventListener('message', function (e) { dispatch(e ? e.data : null); });
    connected = true;
  }

  ns.bridge = { send: send, on: on, dispatch: dispatch, connect: connect };
})(window.Keldmoor = window.Keldmoor || {});
