// The page in a real browser: Debian's Chromium or Firefox ESR (--browser;
// puppeteer-core) against kestrel gateway and kestrel-recorder. The page loads; every tile plays
// (its video's time advances, its size is the clip's, no error); page load
// to each tile's first painted frame, cold and warm, is reported; the
// full-size view (with its delay) and snapshot links work; a tile recovers
// after the recorder is killed and started again, and meanwhile the header
// names the lost recorder and why; the wall fits a phone and no caption
// covers its video. Firefox ESR cannot play the stream over WebRTC (its
// H.264 codec is a download): there the page falls back to Media Source
// Extensions by itself. Chromium is asked for MSE (?play=mse); its WebRTC
// is tested in webrtc.test.mjs.
import { assert, eventually, sleep, startGateway, startRecorder, test } from './harness.mjs';
import { browserPaths, runBrowserTests, tiles } from './browser.mjs';

const paths = browserPaths();
const WIDTH = 352;
const HEIGHT = 288;
const CHANNELS = 8;
const FALLS_BACK = paths.browser === 'firefox';
const PAGE = FALLS_BACK ? '/' : '/?play=mse';

async function allPlaying(page, what, ms = 20000) {
  const first = await eventually(what + ': every tile has a picture', async () => {
    const t = await tiles(page);
    return t.length === CHANNELS && t.every((x) => x.firstFrameMs !== null && x.width > 0) && t;
  }, ms);
  await sleep(1500);
  const later = await tiles(page);
  for (const [i, t] of later.entries()) {
    assert(t.width === WIDTH && t.height === HEIGHT, t.key + ' size ' + t.width + 'x' + t.height);
    assert(t.error === null, t.key + ' error ' + t.error);
    assert(t.time > first[i].time + 0.5, t.key + ' time does not advance: ' + first[i].time + ' → ' + t.time);
  }
  return later;
}

function report(label, list) {
  const ms = list.map((t) => Math.round(t.firstFrameMs));
  const sorted = [...ms].sort((a, b) => a - b);
  console.log('     ' + label + ': first painted frame per tile ' + ms.join(' ') + ' ms (median ' +
    sorted[sorted.length >> 1] + '); tile made, first bytes: ' +
    list.map((t) => Math.round(t.createdMs) + '/' + Math.round(t.firstBytesMs)).join(' '));
}

test('cold: the page loads and every tile plays', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  const response = await page.goto(gateway.base + PAGE);
  assert(response.status() === 200, 'page status ' + response.status());
  assert(await page.title() === 'kestrel gateway', 'title');
  const list = await allPlaying(page, 'cold');
  report('cold (no channel open)', list);
  assert(list.every((t) => t.errors.length === 0), 'errors: ' + JSON.stringify(list.map((t) => t.errors)));
  // Each tile says it plays over MSE; in Firefox, after the gateway
  // refused its offer for want of an H.264 it could decode.
  for (const t of list) {
    assert(t.via === 'mse' && t.label === 'MSE', t.key + ' plays via ' + t.via + ' (' + t.label + ')');
    assert(FALLS_BACK ? t.fallbacks.length === 1 && /^WHEP 406: .*H\.264/.test(t.fallbacks[0]) :
      t.fallbacks.length === 0, t.key + ' fallbacks ' + JSON.stringify(t.fallbacks));
  }
  assert(errors.length === 0, 'page errors: ' + errors);
  // The status shows the web clients.
  const status = await (await fetch(gateway.base + '/api/status')).json();
  assert(status.recorders[0].channels.every((c) => c.clients.web === 1 && c.state === 'playing'),
    'one web client per channel: ' + JSON.stringify(status.recorders[0].channels.map((c) => c.clients)));
  await page.close();
});

test('warm: a page opened while the channels are open plays at once', async ({ gateway, browser }) => {
  // The previous page's channels linger open.
  const logged = gateway.text().length;
  const page = await browser.newPage();
  await page.goto(gateway.base + PAGE);
  const list = await allPlaying(page, 'warm');
  report('warm (channels open)', list);
  // Each tile started with its channel's cached group, none waited for a keyframe.
  const log = gateway.text().slice(logged);
  for (let ch = 0; ch < CHANNELS; ch++) {
    assert(new RegExp('channel ' + ch + ': client \\S+ started with \\d+ cached frames?, a keyframe first').test(log),
      'tile ' + ch + ' did not start from the cache:\n' + log);
  }
  await page.close();
});

test('a tile opens full size and links its snapshot', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.goto(gateway.base + PAGE);
  await eventually('tiles', async () => (await tiles(page)).length === CHANNELS);
  const tile = await page.$('.tile[data-key="live/2"]');
  await (await tile.$('.size')).click();
  const full = await page.evaluate(() => {
    const t = document.querySelector('.tile[data-key="live/2"]');
    const r = t.getBoundingClientRect();
    return { full: t.classList.contains('full'), width: r.width, height: r.height, vw: innerWidth, vh: innerHeight,
      href: t.querySelector('.snapshot').getAttribute('href') };
  });
  assert(full.full && full.width === full.vw && full.height === full.vh, 'full size: ' + JSON.stringify(full));
  // Full size, the tile shows the delay it measures.
  await eventually('the delay is shown', () => page.evaluate(() => {
    const d = document.querySelector('.tile[data-key="live/2"] .delay');
    return d.offsetWidth > 0 && /^delay \d+ ms$/.test(d.textContent);
  }), 10000);
  assert(full.href === '/live/2.jpg', 'snapshot link ' + full.href);
  await page.keyboard.press('Escape');
  assert(!(await page.evaluate(() => document.querySelector('.tile.full'))), 'Esc closes');
  const snapshot = await page.goto(gateway.base + full.href);
  assert(snapshot.status() === 200 && snapshot.headers()['content-type'] === 'image/jpeg', 'snapshot');
  await page.close();
});

// The boxes of every tile's video and caption, and the page's width.
function layout(page) {
  return page.evaluate(() => {
    const box = (n) => { const r = n.getBoundingClientRect(); return { x: r.x, y: r.y, w: r.width, h: r.height }; };
    return { scrollWidth: document.documentElement.scrollWidth, tiles: [...document.querySelectorAll('.tile')].map((t) => {
      const caption = t.querySelector('figcaption');
      const name = t.querySelector('.name');
      return { video: box(t.querySelector('video')), caption: box(caption), lineHeight: name.getBoundingClientRect().height,
        overflows: caption.scrollWidth > caption.clientWidth };
    }) };
  });
}

// Whether two boxes overlap by more than rounding.
const meets = (a, b) => a.x + 0.5 < b.x + b.w && b.x + 0.5 < a.x + a.w && a.y + 0.5 < b.y + b.h && b.y + 0.5 < a.y + a.h;

test('the wall fits a phone, and no caption covers its video', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.setViewport({ width: 390, height: 844 });
  await page.goto(gateway.base + PAGE);
  await eventually('tiles', async () => (await tiles(page)).length === CHANNELS);
  const phone = await layout(page);
  assert(phone.scrollWidth <= 390, 'the page scrolls sideways on a phone: ' + phone.scrollWidth + ' px');
  assert(phone.tiles.every((t) => t.video.x === phone.tiles[0].video.x && t.video.w > 300 && t.video.x + t.video.w <= 390 &&
    t.video.h > 150), 'one column of tiles on a phone: ' + JSON.stringify(phone.tiles.map((t) => t.video)));
  await page.setViewport({ width: 1280, height: 800 });
  const wide = await eventually('three columns', async () => {
    const l = await layout(page);
    return new Set(l.tiles.map((t) => t.video.x)).size === 3 && l;
  }, 5000);
  for (const l of [phone, wide]) {
    for (const t of l.tiles) {
      assert(!meets(t.caption, t.video) && t.caption.h < 2 * t.lineHeight && !t.overflows,
        'a caption on the video, on two lines or cut: ' + JSON.stringify(t));
    }
  }
  await page.close();
});

test('tiles recover after the recorder is killed and started again', async (context) => {
  const { gateway, browser, dir } = context;
  const page = await browser.newPage();
  await page.goto(gateway.base + PAGE);
  await allPlaying(page, 'before');
  const port = context.recorder.port;
  await context.recorder.kill();
  await eventually('tiles show the loss', async () => (await tiles(page)).every(
    (t) => t.state === 'reconnecting' || t.state === 'lost'), 20000);
  const header = () => page.evaluate(() => ({
    state: document.getElementById('gateway-state').textContent,
    notes: document.getElementById('gateway-notes').textContent,
  }));
  const lost = await eventually('the header shows the lost recorder', async () => {
    const h = await header();
    return h.state !== 'playing' && /live: reconnecting \(.+\)/.test(h.notes) && h;
  }, 10000);
  assert(/1 of 1 recorder/.test(lost.state), 'header: ' + lost.state);
  await sleep(1000);
  context.recorder = await startRecorder(dir, paths, port);
  const started = Date.now();
  await eventually('tiles play again', async () => (await tiles(page)).every((t) => t.state === 'playing'), 40000);
  await eventually('the header says playing again', async () => (await header()).state === 'playing', 10000);
  await allPlaying(page, 'after');
  console.log('     recorder back to every tile playing: ' + (Date.now() - started) + ' ms');
  await page.close();
});

test('tiles recover after the gateway is stopped and started again', async (context) => {
  const { browser, dir } = context;
  const page = await browser.newPage();
  await page.goto(context.gateway.base + PAGE);
  await allPlaying(page, 'before');
  const port = context.gateway.httpPort;
  assert(await context.gateway.stop() === 0, 'the gateway stops cleanly');
  await eventually('tiles show the loss', async () => (await tiles(page)).every(
    (t) => t.state === 'reconnecting'), 20000);
  context.gateway = await startGateway(dir, paths, context.recorder.port, ['--linger', '30', '--http',
    '127.0.0.1:' + port]);
  const started = Date.now();
  await eventually('tiles play again', async () => (await tiles(page)).every((t) => t.state === 'playing'), 40000);
  await allPlaying(page, 'after');
  console.log('     gateway back to every tile playing: ' + (Date.now() - started) + ' ms');
  await page.close();
});

await runBrowserTests(paths, ['--linger', '30']);
