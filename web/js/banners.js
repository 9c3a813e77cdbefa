// News carousel over the banner images the launcher has cached on disk.
(function (ns) {
  'use strict';

  const $ = function (id) { return document.getElementById(id); };

  let el = null;
  let urls = [];
  let slides = [];
  let dots = [];
  let index = 0;
  let timer = 0;
  let pausedByPlayer = false;
  let hovered = false;
  let focused = false;

  function init() {
    el = {
      news: $('news'),
      hero: $('news-hero'),
      slides: $('news-slides'),
      controls: $('news-controls'),
      dots: $('news-dots'),
      prev: $('news-prev'),
      next: $('news-next'),
      pause: $('news-pause')
    };
    el.prev.addEventListener('click', function () { step(-1); });
    el.next.addEventListener('click', function () { step(1); });
    el.pause.addEventListener('click', function () { setPaused(!pausedByPlayer); });
    el.slides.addEventListener('keydown', onKey);
    el.news.addEventListener('mouseenter', function () { hovered = true; restart(); });
    el.news.addEventListener('mouseleave', function () { hovered = false; restart(); });
    el.news.addEventListener('focusin', function () { focused = true; restart(); });
    el.news.addEventListener('focusout', function (e) {
      if (!el.news.contains(e.relatedTarget)) { focused = false; restart(); }
    });
  }

  // Only local files are shown: the page never loads anything from a server.
  // The launcher does not escape the cache path, so characters that would end
  // the path part of a URL are escaped here.
  function localUrl(value) {
    if (typeof value !== 'string' || !/^file:/i.test(value)) return null;
    return value.replace(/#/g, '%23').replace(/\?/g, '%3F');
  }

  function onBanners(ev) {
    const list = Array.isArray(ev.list) ? ev.list.map(localUrl).filter(Boolean) : [];
    if (list.length === urls.length && list.every(function (u, i) { return u === urls[i]; })) return;
    urls = list;
    build();
  }

  function build() {
    el.slides.replaceChildren();
    el.dots.replaceChildren();
    slides = [];
    dots = [];
    index = 0;
    urls.forEach(function (url, i) {
      const img = document.createElement('img');
      img.className = 'news-slide';
      ns.i18n.put(img, 'bannerAlt', [i + 1, urls.length], 'alt');
      img.draggable = false;
      img.decoding = 'async';
      img.addEventListener('error', function () { img.classList.add('is-broken'); });
      img.src = url;
      el.slides.appendChild(img);
      slides.push(img);

      const dot = document.createElement('button');
      dot.type = 'button';
      dot.className = 'news-dot';
      ns.i18n.put(dot, 'showBanner', [i + 1], 'aria-label');
      dot.addEventListener('click', function () { show(i); });
      el.dots.appendChild(dot);
      dots.push(dot);
    });
    el.news.classList.toggle('has-banners', urls.length > 0);
    el.controls.hidden = urls.length < 2;
    show(0);
  }

  function show(i) {
    if (!slides.length) { restart(); return; }
    index = (i + slides.length) % slides.length;
    slides.forEach(function (s, n) {
      s.classList.toggle('is-active', n === index);
      s.setAttribute('aria-hidden', n === index ? 'false' : 'true');
    });
    dots.forEach(function (d, n) {
      if (n === index) d.setAttribute('aria-current', 'true');
      else d.removeAttribute('aria-current');
    });
    restart();
  }

  function step(delta) { show(index + delta); }

  function onKey(e) {
    if (slides.length < 2) return;
    const moves = { ArrowLeft: -1, ArrowRight: 1 };
    if (e.key in moves) { step(moves[e.key]); e.preventDefault(); }
    else if (e.key === 'Home') { show(0); e.preventDefault(); }
    else if (e.key === 'End') { show(slides.length - 1); e.preventDefault(); }
  }

  function setPaused(paused) {
    pausedByPlayer = paused;
    el.pause.setAttribute('aria-pressed', paused ? 'true' : 'false');
    ns.i18n.put(el.pause, paused ? 'resumeNews' : 'pauseNews', null, 'aria-label');
    el.news.classList.toggle('is-paused', paused);
    restart();
  }

  // The rotation waits while the player looks at or works in the carousel.
  function restart() {
    if (timer) { window.clearInterval(timer); timer = 0; }
    if (slides.length < 2 || pausedByPlayer || hovered || focused) return;
    timer = window.setInterval(function () { step(1); }, ns.config.bannerIntervalMs);
  }

  ns.banners = { init: init, onBanners: onBanners };
})(window.Keldmoor = window.Keldmoor || {});
