// Figures of the gateway's WebRTC, measured in one run on this machine (not
// a test). The delay from the emulator's send of a frame to its paint in
// Chromium over WebRTC, MSE and HLS: the gateway's page plays channel 0
// over WebRTC (?play=webrtc) and over MSE (?play=mse), and hls.js its HLS
// with low-latency parts, side by side. Each painted frame is taken by
// requestVideoFrameCallback: when it is shown (performance.timeOrigin +
// the callback's expectedDisplayTime, the wall clock) and the band of
// colours the emulator's test pattern moves across the picture (64x2
// pixels of it, drawn on a canvas: every frame of the clip's 3 s loop has
// its own). The band names the frame's index in the clip: the nearest of
// the clip's own bands, decoded once with ffmpeg the same way (a match
// whose distance is not clearly the nearest is left out). The emulator's
// --frame-log says when it sent each index on the channel (the wall clock,
// the same machine): the send of a paint is the latest send of its index
// before it. Beside it, how much later than over WebRTC the same frame is
// painted over MSE and HLS, and each way's own reading: the page's over
// WebRTC (jitter buffer, decode, half the round trip) and MSE (behind the
// newest frame held), hls.js's from the program date of the segment.
// Then the gateway's CPU (% of one core) and threads with channel 0 open
// and 0, 1, 8 and 32 WebRTC viewers on it, one after the other in one run.
// Prints a summary in Markdown at the end.
// Usage: node tests/web/webrtc_figures.mjs --kestrel PATH --recorder PATH
//        [--chromium PATH] [--seconds S] [--clip FILE --fps N] [--hls no]
//        [--cost no] [--dump FILE]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  CLOCK_TICKS, args, cpuTicks, eventually, procStatus, scratch, sleep, startRecorder, startWebrtcGateway,
} from './harness.mjs';
import { findChromium, launch } from './browser.mjs';
import { hlsPage } from './hls_client.mjs';

const paths = args();
const seconds = Number(paths.seconds || 30);
const clip = paths.clip || path.join(path.dirname(fileURLToPath(import.meta.url)), '../../tools/testing/clip/sample.h264');
const fps = Number(paths.fps || 25);
const quantile = (list, q) => [...list].sort((a, b) => a - b)[Math.min(list.length - 1, Math.floor(list.length * q))];
const BAND = 64 * 2 * 3;

// The clip's band of every frame, in the clip's order, as the page takes
// them: the same crop (all the width, 78 % to 86 % of the height) scaled to
// 64x2, RGB, converted from YUV as Chromium converts a picture that does not
// say its matrix (BT.709, chroma interpolated; with ffmpeg's default BT.601
// the nearest band is no better than its neighbours).
function clipBands(file) {
  const r = spawnSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-i', file, '-fps_mode', 'passthrough', '-vf',
    'scale=in_color_matrix=bt709:flags=bicubic+full_chroma_int+accurate_rnd,format=rgb24,' +
    'crop=iw:ih*0.08:0:ih*0.78,scale=64:2:flags=area', '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'],
  { maxBuffer: 1 << 26, timeout: 60000 });
  if (r.status !== 0 || r.stdout.length === 0 || r.stdout.length % BAND !== 0) {
    throw new Error('ffmpeg could not decode ' + file + ': ' + (r.stderr || r.error));
  }
  const out = [];
  for (let at = 0; at < r.stdout.length; at += BAND) {
    out.push(r.stdout.subarray(at, at + BAND));
  }
  return out;
}

// The emulator's frame log: for each index in the clip, the times (ms,
// wall clock) it was sent on channel, in order; and the clip's length.
function readSends(file, channel) {
  const text = fs.readFileSync(file, 'utf8');
  const m = text.match(/index in the clip of (\d+) frames/);
  const sends = new Map();
  for (const line of text.split('\n')) {
    const [us, ch, index] = line.split(' ').map(Number);
    if (line.startsWith('#') || !(index >= 0) || ch !== channel) {
      continue;
    }
    if (!sends.has(index)) {
      sends.set(index, []);
    }
    sends.get(index).push(us / 1000);
  }
  return { sends, frames: m ? Number(m[1]) : 0 };
}

// Records each painted frame of the page's first video: when it is shown
// (ms, wall clock: the time origin plus the expected display time), its
// band of colours, over WebRTC when its last packet came in and, from
// hls.js's delays, its delay.
function watch(page, selector) {
  return page.evaluate((selector) => {
    const video = document.querySelector(selector);
    const canvas = document.createElement('canvas');
    canvas.width = 64;
    canvas.height = 2;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    window.kestrelFrames = [];
    const paint = (now, metadata) => {
      const wall = Date.now();
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
      window.kestrelFrames.push({
        shown: performance.timeOrigin + metadata.expectedDisplayTime,
        // Date.now() against the high-resolution clock, for a check of the two.
        skew: wall - (performance.timeOrigin + now),
        received: metadata.receiveTime !== undefined ? performance.timeOrigin + metadata.receiveTime : null,
        band, delay: delays && delays.length ? delays[delays.length - 1] : null,
      });
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

// The index in the clip of a painted band: the nearest of the clip's,
// when the next nearest is at least twice as far; else null.
function identify(band, bands) {
  let best = -1;
  let d1 = Infinity;
  let d2 = Infinity;
  bands.forEach((b, i) => {
    const d = distance(band, b);
    if (d < d1) {
      [d2, d1, best] = [d1, d, i];
    } else if (d < d2) {
      d2 = d;
    }
  });
  return 2 * d1 < d2 ? { index: best, d: d1 } : null;
}

// From the emulator's send to each painted frame's paint (and, where the
// browser says, to its last packet's arrival): the send is the latest of
// its index before the paint, within one loop of the clip.
function sendToPaint(frames, bands, sends, loopMs) {
  const out = { delays: [], received: [], identified: 0, painted: frames.length, distances: [] };
  for (const f of frames) {
    const id = identify(f.band, bands);
    if (!id) {
      continue;
    }
    out.identified++;
    out.distances.push(id.d);
    const times = sends.get(id.index) || [];
    let sent = null;
    for (const t of times) {
      if (t < f.shown) {
        sent = t;
      }
    }
    if (sent === null || f.shown - sent >= loopMs) {
      continue;
    }
    out.delays.push(f.shown - sent);
    if (f.received !== null) {
      out.received.push(f.received - sent);
    }
  }
  return out;
}

// How much later than over WebRTC each frame is painted: its match is the
// same band painted within 1.5 s of it (the clip loops every 3 s).
function lags(frames, webrtc) {
  const out = [];
  for (const f of frames) {
    let best = null;
    for (const w of webrtc) {
      if (Math.abs(f.shown - w.shown) < 1500) {
        const d = distance(f.band, w.band);
        if (!best || d < best.d) {
          best = { d, w };
        }
      }
    }
    if (best && best.d < 64 * 2 * 3 * 4) {
      out.push(f.shown - best.w.shown);
    }
  }
  return out;
}

async function cpu(pid, ms) {
  const t0 = cpuTicks(pid);
  await sleep(ms);
  return { cpu: (cpuTicks(pid) - t0) / CLOCK_TICKS / (ms / 1000) * 100, threads: procStatus(pid, 'Threads') };
}

const load = () => fs.readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
const loadBefore = load();
console.log('machine: ' + os.cpus().length + ' CPUs (' + os.cpus()[0].model + '), load ' + loadBefore + ', ' +
  new Date().toISOString());
const bands = clipBands(clip);
const dir = scratch();
const frameLog = path.join(dir, 'frames.log');
const recorder = await startRecorder(dir, paths, 0, ['--clip', clip, '--fps', String(fps), '--frame-log', frameLog]);
const gateway = await startWebrtcGateway(dir, paths, recorder.port, 1);
await gateway.logged(/channel 0: stream opened/);
const browser = await launch(findChromium(paths.chromium), 'chromium', ['--allow-loopback-in-peer-connection',
  '--disable-features=WebRtcHideLocalIpsWithMdns']);
const chromium = await browser.version();

const withHls = paths.hls !== 'no';
const pages = {};
for (const via of ['webrtc', 'mse']) {
  pages[via] = await browser.newPage();
  await pages[via].goto(gateway.base + '/?play=' + via);
  await eventually(via + ' plays', () => pages[via].evaluate(() => window.kestrelTiles.length > 0 &&
    window.kestrelTiles[0].firstFrameMs !== null), 30000);
  await watch(pages[via], '.tile video');
  await readDelays(pages[via]);
}
if (withHls) {
  pages.hls = await hlsPage(browser, gateway.base, gateway.base + '/live/0/index.m3u8', true);
  await eventually('hls.js plays', () => pages.hls.evaluate(() => window.kestrelHls.video.currentTime > 1), 30000);
  await watch(pages.hls, 'video');
}
await sleep(5000);
for (const page of Object.values(pages)) {
  await take(page);
}
await sleep(seconds * 1000);
const frames = {};
for (const [via, page] of Object.entries(pages)) {
  frames[via] = await take(page);
}
// Every send before the last paint is in the log a second later.
await sleep(1500);
const log = readSends(frameLog, 0);
if (log.frames !== bands.length) {
  throw new Error('the emulator sends ' + log.frames + ' frames a loop, ffmpeg decoded ' + bands.length);
}
if (paths.dump) {
  fs.writeFileSync(paths.dump, JSON.stringify({ frames, sends: [...log.sends], bands: bands.map((b) => [...b]) }));
}
const vias = (await pages.webrtc.evaluate(() => window.kestrelTiles[0].via)) + '/' +
  (await pages.mse.evaluate(() => window.kestrelTiles[0].via));
const show = (list) => list.length === 0 ? 'none' : 'median ' + quantile(list, 0.5).toFixed(0) +
  ' ms, 95th percentile ' + quantile(list, 0.95).toFixed(0) + ' ms';
const rows = [];
const row = (figure, value) => {
  rows.push([figure, value]);
  console.log(figure + ': ' + value);
};
const loopMs = bands.length * 1000 / fps;
const NAMES = { webrtc: 'WebRTC', mse: 'MSE', hls: 'HLS (hls.js, parts)' };
for (const via of Object.keys(frames)) {
  const r = sendToPaint(frames[via], bands, log.sends, loopMs);
  row(NAMES[via] + ': send to paint', show(r.delays) + ' (' + r.delays.length + ' of ' + r.painted +
    ' painted frames matched; band distance median ' + (r.distances.length ? quantile(r.distances, 0.5) : '-') + ')');
  if (r.received.length > 0) {
    row(NAMES[via] + ': send to the frame\'s last packet in (receiveTime)', show(r.received) + ' (' +
      r.received.length + ' frames)');
  }
}
for (const via of Object.keys(frames).filter((v) => v !== 'webrtc')) {
  const list = lags(frames[via], frames.webrtc);
  row('the same frame over ' + NAMES[via] + ', after WebRTC', show(list) + ' (' + list.length + ' of ' +
    frames[via].length + ' frames matched)');
}
for (const via of ['webrtc', 'mse']) {
  const list = await pages[via].evaluate(() => window.kestrelReadings.slice(10));
  row('the page\'s own reading over ' + NAMES[via], show(list) + ' (' + list.length + ' readings)');
}
if (withHls) {
  row('hls.js\'s own reading (program date to paint)', show(frames.hls.filter((f) => f.delay !== null)
    .map((f) => f.delay)));
}
const skews = Object.values(frames).flat().map((f) => f.skew);
console.log('Date.now() at the callback minus timeOrigin + its time: ' + quantile(skews, 0.5).toFixed(1) +
  ' ms median (the page\'s two clocks agree when it is under 1 ms)');
console.log('painted: ' + Object.entries(frames).map(([k, v]) => k + ' ' + v.length).join(', ') + ' (' + vias + ')');
for (const page of Object.values(pages)) {
  await page.close();
}

// The cost of a WebRTC viewer: the channel open with none, then 1, then 8.
const pid = gateway.child.pid;
if (paths.cost !== 'no') {
  await sleep(3000);
  const base = await cpu(pid, seconds * 1000);
  row('gateway, channel open, no viewer (baseline)', base.cpu.toFixed(1) + ' % of one core, ' + base.threads +
    ' threads');
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
    row(n + ' WebRTC viewer' + (n > 1 ? 's' : ''), m.cpu.toFixed(1) + ' % of one core, ' + m.threads +
      ' threads: ' + ((m.cpu - base.cpu) / n).toFixed(2) + ' % and ' + ((m.threads - base.threads) / n).toFixed(1) +
      ' threads a viewer');
    await page.evaluate(() => window.players.forEach((p) => p.stop()));
    await page.close();
    await sleep(2000);
  }
}
await browser.close();
await gateway.stop();
await recorder.stop();
const loadAfter = load();
console.log('\n' + os.cpus().length + ' CPUs (' + os.cpus()[0].model + '), ' + chromium + ', load average ' +
  loadBefore + ' at the start and ' + loadAfter + ' at the end, ' + seconds + ' s phases, ' +
  new Date().toISOString().slice(0, 10) + ':\n');
console.log('| figure | value |\n|---|---|\n' + rows.map(([f, v]) => '| ' + f + ' | ' + v + ' |').join('\n'));
fs.rmSync(dir, { recursive: true, force: true });
