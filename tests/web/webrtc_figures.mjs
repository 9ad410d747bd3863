// Figures of the gateway's WebRTC, measured in one run on this machine (not
// a test). The delay over WebRTC, MSE and HLS in Chromium: the gateway's
// page plays channel 0 over WebRTC (?play=webrtc) and over MSE
// (?play=mse), and hls.js its HLS with low-latency parts, side by side,
// each painted frame taken by requestVideoFrameCallback and known by the
// moving band of colours of the emulator's test pattern (64x2 pixels of
// it, drawn on a canvas: every frame of the clip's 3 s loop has its own).
// The same frame's paint over MSE and HLS is matched to its paint over
// WebRTC: how much later each paints it. Beside it, each way's own
// reading: the page's over WebRTC (jitter buffer, decode, half the round
// trip) and MSE (behind the newest frame held), hls.js's from the program
// date of the segment.
// Then the gateway's CPU (% of one core) and threads with channel 0 open
// and 0, 1, 8 and 32 WebRTC viewers on it, one after the other in one run.
// Usage: node tests/web/webrtc_figures.mjs --kestrel PATH --recorder PATH
//        [--chromium PATH] [--seconds S]
import os from 'node:os';
import {
  CLOCK_TICKS, args, cpuTicks, eventually, procStatus, scratch, sleep, startRecorder, startWebrtcGateway,
} from './harness.mjs';
import { findChromium, launch } from './browser.mjs';
import { hlsPage } from './hls_client.mjs';

const paths = args();
const seconds = Number(paths.seconds || 30);
const quantile = (list, q) => [...list].sort((a, b) => a - b)[Math.min(list.length - 1, Math.floor(list.length * q))];

// Records each painted frame of the page's first video: its paint time
// (wall clock, ms), its band of colours and, from hls.js's delays, its delay.
function watch(page, selector) {
  return page.evaluate((selector) => {
    const video = document.querySelector(selector);
    const canvas = document.createElement('canvas');
    canvas.width = 64;
    canvas.height = 2;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    window.kestrelFrames = [];
    const paint = () => {
      const t = Date.now();
      // The test pattern's band of colours, which moves from frame to frame.
      const w = video.videoWidth;
      const h = video.videoHeight;
      context.drawImage(video, 0, h * 0.78, w, h * 0.08, 0, 0, 64, 2);
      const rgba = context.getImageData(0, 0, 64, 2).data;
      const band = [];
      for (let i = 0; i < rgba.length; i += 4) {
        band.push(rgba[i], rgba[i + 1], rgba[i + 2]);
      }
      const delays = window.kestrelHls ? window.kestrelHls.delays : null;
      window.kestrelFrames.push({ t, band, delay: delays && delays.length ? delays[delays.length - 1] : null });
      video.requestVideoFrameCallback(paint);
    };
    video.requestVideoFrameCallback(paint);
  }, selector);
}

const take = (page) => page.evaluate(() => window.kestrelFrames.splice(0));

// The page's own delay reading of its tile, every 500 ms.
function readDelays(page) {
  return page.evaluate(() => {
    window.kestrelReadings = [];
    setInterval(() => window.kestrelTiles[0].delayMs !== null && window.kestrelReadings.push(window.kestrelTiles[0].delayMs),
      500);
  });
}
const distance = (a, b) => a.reduce((n, v, i) => n + Math.abs(v - b[i]), 0);

// How much later than over WebRTC each frame is painted: its match is the
// same band painted within 1.5 s of it (the clip loops every 3 s).
function lags(frames, webrtc) {
  const out = [];
  for (const f of frames) {
    let best = null;
    for (const w of webrtc) {
      if (Math.abs(f.t - w.t) < 1500) {
        const d = distance(f.band, w.band);
        if (!best || d < best.d) {
          best = { d, w };
        }
      }
    }
    if (best && best.d < 64 * 2 * 3 * 4) {
      out.push(f.t - best.w.t);
    }
  }
  return out;
}

async function cpu(pid, ms) {
  const t0 = cpuTicks(pid);
  await sleep(ms);
  return { cpu: (cpuTicks(pid) - t0) / CLOCK_TICKS / (ms / 1000) * 100, threads: procStatus(pid, 'Threads') };
}

console.log('machine: ' + os.cpus().length + ' CPUs (' + os.cpus()[0].model + '), load ' +
  os.loadavg().map((l) => l.toFixed(2)).join(' '));
const dir = scratch();
const recorder = await startRecorder(dir, paths);
const gateway = await startWebrtcGateway(dir, paths, recorder.port, 1);
await gateway.logged(/channel 0: stream opened/);
const browser = await launch(findChromium(paths.chromium), 'chromium', ['--allow-loopback-in-peer-connection',
  '--disable-features=WebRtcHideLocalIpsWithMdns']);

const pages = {};
for (const via of ['webrtc', 'mse']) {
  pages[via] = await browser.newPage();
  await pages[via].goto(gateway.base + '/?play=' + via);
  await eventually(via + ' plays', () => pages[via].evaluate(() => window.kestrelTiles.length > 0 &&
    window.kestrelTiles[0].firstFrameMs !== null), 30000);
  await watch(pages[via], '.tile video');
  await readDelays(pages[via]);
}
pages.hls = await hlsPage(browser, gateway.base, gateway.base + '/live/0/index.m3u8', true);
await eventually('hls.js plays', () => pages.hls.evaluate(() => window.kestrelHls.video.currentTime > 1), 30000);
await watch(pages.hls, 'video');
await sleep(5000);
for (const page of Object.values(pages)) {
  await take(page);
}
await sleep(seconds * 1000);
const frames = {};
for (const [via, page] of Object.entries(pages)) {
  frames[via] = await take(page);
}
if (paths.dump) {
  (await import('node:fs')).writeFileSync(paths.dump, JSON.stringify(frames));
}
const vias = (await pages.webrtc.evaluate(() => window.kestrelTiles[0].via)) + '/' +
  (await pages.mse.evaluate(() => window.kestrelTiles[0].via));
const show = (list) => 'median ' + quantile(list, 0.5).toFixed(0) + ' ms, 95th percentile ' +
  quantile(list, 0.95).toFixed(0) + ' ms';
for (const via of ['mse', 'hls']) {
  const list = lags(frames[via], frames.webrtc);
  console.log('the same frame painted over ' + via + ' after WebRTC: ' + show(list) + ' (' + list.length +
    ' frames matched of ' + frames[via].length + ')');
}
const hlsOwn = frames.hls.filter((f) => f.delay !== null).map((f) => f.delay);
console.log('hls.js\'s own reading (program date to paint): ' + show(hlsOwn));
for (const via of ['webrtc', 'mse']) {
  const list = await pages[via].evaluate(() => window.kestrelReadings.slice(10));
  console.log('the page\'s own reading over ' + via + ': ' + show(list) + ' (' + list.length + ' readings)');
}
console.log('painted: ' + Object.entries(frames).map(([k, v]) => k + ' ' + v.length).join(', ') + ' (' + vias + ')');
for (const page of Object.values(pages)) {
  await page.close();
}

// The cost of a WebRTC viewer: the channel open with none, then 1, then 8.
const pid = gateway.child.pid;
await sleep(3000);
const base = await cpu(pid, seconds * 1000);
console.log('no viewer (channel 0 open): gateway ' + base.cpu.toFixed(1) + ' % of a core, ' + base.threads + ' threads');
for (const n of [1, 8, 32]) {
  const page = await browser.newPage();
  await page.goto(gateway.base + '/healthz');
  await page.addScriptTag({ url: gateway.base + '/player.js' });
  await page.evaluate((n) => {
    window.decoded = new Array(n).fill(0);
    window.players = [];
    for (let i = 0; i < n; i++) {
      const video = document.createElement('video');
      video.muted = true;
      document.body.appendChild(video);
      const p = new window.KestrelWhep('/live/0/whep', video, { onFrames: (f) => { window.decoded[i] = f; },
        onRefused: (r) => console.log('refused ' + r), onLost: (r) => console.log('lost ' + r) });
      window.players.push(p);
      p.start();
    }
  }, n);
  await eventually(n + ' viewers decode', () => page.evaluate(() => window.decoded.every((d) => d > 25)), 30000);
  await sleep(3000);
  const m = await cpu(pid, seconds * 1000);
  console.log(n + ' WebRTC viewer' + (n > 1 ? 's' : ' ') + ': gateway ' + m.cpu.toFixed(1) + ' % of a core, ' +
    m.threads + ' threads; per viewer ' + ((m.cpu - base.cpu) / n).toFixed(2) + ' % and ' +
    ((m.threads - base.threads) / n).toFixed(1) + ' threads');
  await page.evaluate(() => window.players.forEach((p) => p.stop()));
  await page.close();
  await sleep(2000);
}
await browser.close();
await gateway.stop();
await recorder.stop();
