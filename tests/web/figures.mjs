// Figures of the gateway's web side, measured in one run on this machine
// (not a test): page load to each tile's first painted frame, cold (no
// channel open) and warm (channels open), beside ffmpeg's first decoded
// frame over RTSP, cold and warm, and of a local file; CPU and memory of
// the gateway idle and with 8 tiles open in Chromium, beside the emulator's.
// Usage: node tests/web/figures.mjs --kestrel PATH --recorder PATH
//        [--chromium PATH] [--rounds N] [--seconds S]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import {
  CLOCK_TICKS, args, cpuTicks, eventually, procStatus, scratch, sleep, startGateway, startRecorder,
} from './harness.mjs';
import { findChromium, launch, tiles } from './browser.mjs';

const paths = args();
const rounds = Number(paths.rounds || 5);
const seconds = Number(paths.seconds || 20);
const chromium = findChromium(paths.chromium);
const ffmpeg = paths.ffmpeg || '/usr/bin/ffmpeg';

const median = (list) => [...list].sort((a, b) => a - b)[list.length >> 1];

async function firstFrames(browser, url) {
  const page = await browser.newPage();
  await page.goto(url);
  const list = await eventually('every tile painted', async () => {
    const t = await tiles(page);
    return t.length === 8 && t.every((x) => x.firstFrameMs !== null) && t;
  }, 30000);
  return { page, ms: list.map((t) => Math.round(t.firstFrameMs)) };
}

// Milliseconds from ffmpeg's start to its first decoded picture (the first
// byte of it as raw video on its output), as bench/first_frame.sh times it:
// the same measure for a file and a stream, ffmpeg's ending left out.
function ffmpegFirstFrame(url) {
  return new Promise((resolve) => {
    const started = performance.now();
    const child = spawn(ffmpeg, ['-v', 'error', ...(url.startsWith('rtsp') ? ['-rtsp_transport', 'tcp'] : []), '-i',
      url, '-frames:v', '1', '-f', 'rawvideo', '-'], { stdio: ['ignore', 'pipe', 'ignore'] });
    let ms = NaN;
    const timer = setTimeout(() => child.kill('SIGKILL'), 30000);
    child.stdout.once('data', () => { ms = Math.round(performance.now() - started); });
    child.stdout.resume();
    child.on('close', () => { clearTimeout(timer); resolve(ms); });
  });
}

async function measure(pid, ms) {
  const t0 = cpuTicks(pid);
  await sleep(ms);
  return { cpu: (cpuTicks(pid) - t0) / CLOCK_TICKS / (ms / 1000) * 100, rss: procStatus(pid, 'VmRSS') / 1024,
    threads: procStatus(pid, 'Threads') };
}

console.log('machine: ' + os.cpus().length + ' CPUs, load ' + os.loadavg().map((l) => l.toFixed(2)).join(' '));
const dir = scratch();
const browser = await launch(chromium);
const cold = [], warm = [], rtspCold = [], rtspWarm = [], local = [];
const clip = paths.clip || new URL('../../tools/testing/clip/sample.h264', import.meta.url).pathname;
for (let round = 0; round < rounds; round++) {
  const recorder = await startRecorder(dir, paths);
  const gateway = await startGateway(dir, paths, recorder.port, ['--linger', '60']);
  await sleep(1000);
  // ffmpeg over RTSP on channel 0 cold, then the page cold on all 8
  // channels (0 now warm), then ffmpeg warm and the page warm.
  local.push(await ffmpegFirstFrame(clip));
  rtspCold.push(await ffmpegFirstFrame('rtsp://127.0.0.1:' + gateway.rtspPort + '/live/0'));
  const c = await firstFrames(browser, gateway.base + '/');
  cold.push(...c.ms.slice(1));  // channels 1-7 were closed
  await c.page.close();
  rtspWarm.push(await ffmpegFirstFrame('rtsp://127.0.0.1:' + gateway.rtspPort + '/live/3'));
  const w = await firstFrames(browser, gateway.base + '/');
  warm.push(...w.ms);
  if (round === rounds - 1) {
    const withTiles = await measure(gateway.child.pid, seconds * 1000);
    const recorderCpu = await measure(recorder.child.pid, 5000);
    await w.page.close();
    await sleep(65000);  // past the linger: every channel closed
    const idle = await measure(gateway.child.pid, 10000);
    console.log('gateway with 8 tiles open: ' + withTiles.cpu.toFixed(1) + ' % of one core, ' +
      withTiles.rss.toFixed(0) + ' MiB RSS, ' + withTiles.threads + ' threads');
    console.log('gateway idle (logged in, no client): ' + idle.cpu.toFixed(1) + ' % , ' + idle.rss.toFixed(0) +
      ' MiB RSS, ' + idle.threads + ' threads');
    console.log('emulator feeding the 8 channels: ' + recorderCpu.cpu.toFixed(1) + ' %');
  } else {
    await w.page.close();
  }
  await gateway.stop();
  await recorder.stop();
}
await browser.close();
const line = (label, list) => console.log(label + ': median ' + median(list) + ' ms, min ' + Math.min(...list) +
  ', max ' + Math.max(...list) + ' (' + list.length + ')');
line('page load to first painted frame, cold tile', cold);
line('page load to first painted frame, warm tile', warm);
line('ffmpeg RTSP to first decoded frame, cold', rtspCold);
line('ffmpeg RTSP to first decoded frame, warm', rtspWarm);
line('ffmpeg to first decoded frame of a local file', local);
console.log('load after: ' + os.loadavg().map((l) => l.toFixed(2)).join(' '));
fs.rmSync(dir, { recursive: true, force: true });
