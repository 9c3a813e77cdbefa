// Fixed values of the page. The link targets are only handed to the native
// side, which opens them in the player's browser; the page never loads them.
(function (ns) {
  'use strict';

  ns.config = Object.freeze({
    links: Object.freeze({
      website: 'https://www.keldmoor-ashvow.com/',
      patchNotes: 'https://www.keldmoor-ashvow.com/patch-notes',
      support: 'https://support.keldmoor-ashvow.com/'
    }),
    // Time each news banner stays before the next one.
    bannerIntervalMs: 7000,
    // A launch request that never leads to an update check must not lock the
    // play button for good.
    launchLockMs: 8000,
    // The beta server may take its full read time-out before answering.
    betaLoginTimeoutMs: 45000,
    // Realm documents come from outside; bound what one of them can draw.
    realmRowLimit: 200,
    realmTextLimit: 300,
    // Download limits offered in Settings, in MB/s; 0 is none.
    downloadLimits: Object.freeze([0, 1, 2, 5, 10, 25, 50]),
    // Diagnostics run to a few hundred lines; a text far beyond that is cut
    // rather than allowed to stall the page.
    diagnosticsTextLimit: 1000000
  });
})(window.Keldmoor = window.Keldmoor || {});
