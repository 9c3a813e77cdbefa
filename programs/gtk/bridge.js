// window.chrome.webview for the page, over WebKit's script message handler: the page posts
// objects with postMessage and listens for 'message' events whose data is the event object,
// as it does under WebView2.
(function () {
  'use strict';
  var channel = window.webkit && window.webkit.messageHandlers &&
      window.webkit.messageHandlers.kmLauncher;
  if (!channel) return;
  var post = channel.postMessage.bind(channel);
  var target = new EventTarget();

  var webview = Object.freeze({
    // The host receives the message in its JSON form, so a posted string arrives quoted.
    postMessage: function (message) {
      var text = JSON.stringify(message);
      if (typeof text !== 'string') throw new TypeError('message cannot be sent as JSON');
      post(text);
    },
    addEventListener: function (type, listener, options) {
      target.addEventListener(type, listener, options);
    },
    removeEventListener: function (type, listener, options) {
      target.removeEventListener(type, listener, options);
    }
  });

  var chrome = window.chrome || {};
  try {
    Object.defineProperty(chrome, 'webview', {value: webview, enumerable: true});
  } catch (err) {
    chrome.webview = webview;
  }
  window.chrome = chrome;

  // The native side calls this with each event's text as a string argument; the text is
  // parsed here and never run. Text that is not JSON is dropped.
  Object.defineProperty(window, '__kmDeliver', {
    value: function (text) {
      if (typeof text !== 'string') return;
      var data;
      try {
        data = JSON.parse(text);
      } catch (err) {
        return;
      }
      target.dispatchEvent(new MessageEvent('message', {data: data}));
    }
  });
})();
