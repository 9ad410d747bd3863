// The HLS window over a long run (an hour by default; KESTREL_HLS_MINUTES
// sets it), outside CI: 8 channels, each followed by a low-latency client
// for the whole time. Every minute each channel's window (the init segment
// and every segment its playlist lists) must be within its bound (32
// segments, 16 MiB) and hold at least three target durations, and the
// gateway's memory must not grow past what it had after the first minutes.
// At the end, with the clients gone, every channel's muxer is closed after
// a minute.
import fs from 'node:fs';
import { SKIP, args, assert, eventually, runWithGateway, sleep, test } from './harness.mjs';
import { followLowLatency, parsePlaylist } from './hls_client.mjs';

const paths = args();
if (!paths.kestrel || !paths.recorder) {
  console.log('kestrel and kestrel-recorder are needed');
  process.exit(SKIP);
}
const minutes = Number(process.env.KESTREL_HLS_MINUTES || 60);
const CHANNELS = 8;
const MAX_BYTES = 16 << 20;
const MAX_SEGMENTS = 32;

const rss = (pid) => Number(fs.readFileSync('/proc/' + pid + '/status', 'utf8').match(/VmRSS:\s+(\d+)/)[1]) / 1024;

async function windowOf(base) {
  const p = parsePlaylist(await (await fetch(base + 'index.m3u8')).text());
  let bytes = (await (await fetch(base + p.map)).arrayBuffer()).byteLength;
  for (const s of p.segments) {
    bytes += (await (await fetch(base + s.uri)).arrayBuffer()).byteLength;
  }
  return { segments: p.segments.length, seconds: p.segments.reduce((t, s) => t + s.duration, 0), bytes, target: p.target };
}

test('8 channels\' windows hold their bound for ' + minutes + ' minutes', async ({ gateway }) => {
  const controller = new AbortController();
  const counts = [];
  const clients = [];
  for (let ch = 0; ch < CHANNELS; ch++) {
    counts.push({ parts: 0, bytes: 0, statuses: {} });
    clients.push(followLowLatency(gateway.base + '/live/' + ch + '/index.m3u8', controller.signal, counts[ch]));
  }
  const pid = gateway.child.pid;
  let settled = null;
  const until = Date.now() + minutes * 60000;
  for (let minute = 1; Date.now() < until; minute++) {
    await sleep(Math.min(60000, Math.max(0, until - Date.now())));
    const windows = await Promise.all([...Array(CHANNELS).keys()].map((ch) => windowOf(gateway.base + '/live/' + ch + '/')));
    const memory = rss(pid);
    if (minute === Math.min(3, minutes)) {
      settled = memory;
    }
    console.log('     ' + minute + ' min: RSS ' + memory.toFixed(1) + ' MiB | windows ' +
      windows.map((w) => w.segments + '/' + (w.bytes / 1024).toFixed(0) + 'K/' + w.seconds.toFixed(1) + 's').join(' ') +
      ' | parts ' + counts.map((c) => c.parts).join(' '));
    for (const [ch, w] of windows.entries()) {
      assert(w.bytes <= MAX_BYTES && w.segments <= MAX_SEGMENTS, 'channel ' + ch + ' window ' + JSON.stringify(w));
      assert(w.seconds >= 3 * w.target, 'channel ' + ch + ' holds ' + w.seconds + ' s');
    }
    if (settled !== null) {
      assert(memory < settled + 32, 'RSS ' + memory.toFixed(1) + ' MiB, ' + settled.toFixed(1) + ' MiB at 3 min');
    }
  }
  controller.abort();
  await Promise.all(clients);
  for (const c of counts) {
    assert(c.parts > 0 && Object.keys(c.statuses).length === 0, 'a client\'s run: ' + JSON.stringify(c));
  }
  // Nobody asks: a minute later (and the 5 s of the check) no muxer is left.
  await eventually('every muxer stopped', () =>
    (gateway.text().match(/HLS: nobody asked for the channel in 60 s/g) || []).length === CHANNELS, 90000, 1000);
});

await runWithGateway(paths);
