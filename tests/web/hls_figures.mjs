// Figures of the gateway's HLS, measured in one run on this machine (not a
// test): hls.js's delay in Chromium from the gateway's receipt of a frame
// (the program date of its segment, on the gateway's clock, with the
// recorder on loopback) to its paint (requestVideoFrameCallback), with the
// low-latency parts and without; and the gateway's CPU and memory with
// every channel closed, with 8 channels of one low-latency client each,
// and of 4 each, beside the emulator's CPU and the clients' own.
// Usage: node tests/web/hls_figures.mjs --kestrel PATH --recorder PATH
//        [--chromium PATH] [--seconds S]
import fs from 'node:fs';
import os from 'node:os';
import {
  CLOCK_TICKS, args, cpuTicks, eventually, procStatus, scratch, sleep, startGateway, startRecorder,
} from './harness.mjs';
import { findChromium, launch } from './browser.mjs';
import { followLowLatency, hlsPage, hlsState } from './hls_client.mjs';

const paths = args();
const seconds = Number(paths.seconds || 30);

const quantile = (list, q) => [...list].sort((a, b) => a - b)[Math.min(list.length - 1, Math.floor(list.length * q))];

async function measure(pids, ms) {
  const t0 = pids.map(cpuTicks);
  const c0 = process.cpuUsage();
  await sleep(ms);
  const c = process.cpuUsage(c0);
  return { cpu: pids.map((p, i) => (cpuTicks(p) - t0[i]) / CLOCK_TICKS / (ms / 1000) * 100),
    rss: procStatus(pids[0], 'VmRSS') / 1024, threads: procStatus(pids[0], 'Threads'),
    clients: (c.user + c.system) / 1000 / ms * 100 };
}

console.log('machine: ' + os.cpus().length + ' CPUs (' + os.cpus()[0].model + '), load ' +
  os.loadavg().map((l) => l.toFixed(2)).join(' '));
const dir = scratch();
const recorder = await startRecorder(dir, paths);
const gateway = await startGateway(dir, paths, recorder.port);
const browser = await launch(findChromium(paths.chromium));

// The delay, one channel a mode, after 10 s of playing.
for (const [lowLatency, ch] of [[true, 0], [false, 1]]) {
  const page = await hlsPage(browser, gateway.base, gateway.base + '/live/' + ch + '/index.m3u8', lowLatency);
  await eventually('hls.js plays', async () => (await hlsState(page)).time > 1, 30000);
  await sleep(10000);
  await hlsState(page);  // the delays so far are dropped
  await sleep(seconds * 1000);
  const s = await hlsState(page);
  console.log('hls.js ' + (lowLatency ? 'with parts   ' : 'without parts') + ': delay receipt to paint median ' +
    quantile(s.delays, 0.5).toFixed(0) + ' ms, 95th percentile ' + quantile(s.delays, 0.95).toFixed(0) + ' ms (' +
    s.delays.length + ' frames), hls.js latency ' +
    s.latency.toFixed(2) + ' s, errors ' + s.errors.length);
  await page.close();
}
await browser.close();

// CPU and memory: every muxer closed first (a gateway of its own), then 8
// channels x 1 and x 4 low-latency clients.
await gateway.stop();
const quiet = await startGateway(dir, paths, recorder.port, [], {}, 'quiet');
await sleep(3000);
const pids = [quiet.child.pid, recorder.child.pid];
const show = (what, m) => console.log(what + ': gateway ' + m.cpu[0].toFixed(1) + ' % of a core, ' +
  m.rss.toFixed(1) + ' MiB RSS, ' + m.threads + ' threads | emulator ' + m.cpu[1].toFixed(1) + ' % | the clients (node) ' +
  m.clients.toFixed(1) + ' %');
show('no client           ', await measure(pids, seconds * 1000));
for (const each of [1, 4]) {
  const controller = new AbortController();
  const counts = [];
  const clients = [];
  for (let ch = 0; ch < 8; ch++) {
    for (let i = 0; i < each; i++) {
      const c = { parts: 0, bytes: 0, statuses: {} };
      counts.push(c);
      clients.push(followLowLatency(quiet.base + '/live/' + ch + '/index.m3u8', controller.signal, c));
    }
  }
  await sleep(10000);
  const m = await measure(pids, seconds * 1000);
  controller.abort();
  await Promise.all(clients);
  show('8 channels x ' + each + ' client' + (each > 1 ? 's' : ' '), m);
  const statuses = {};
  for (const c of counts) {
    for (const [code, n] of Object.entries(c.statuses)) {
      statuses[code] = (statuses[code] || 0) + n;
    }
  }
  console.log('   parts taken ' + counts.reduce((n, c) => n + c.parts, 0) + ', answers other than 200: ' +
    JSON.stringify(statuses) + ', hinted parts the next keyframe made impossible (404) ' +
    counts.reduce((n, c) => n + c.gone, 0));
}
await quiet.stop();
await recorder.stop();
fs.rmSync(dir, { recursive: true, force: true });
