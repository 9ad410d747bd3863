// What the web tests share: the programs of the build as child processes
// (kestrel-recorder as the recorder, kestrel gateway), their logs in a
// scratch folder, bounded waits, a small test runner, and helpers to read
// what the gateway serves (MP4 boxes, JPEG sizes, the metrics text).
//
// Arguments: --kestrel PATH --recorder PATH [--chromium PATH]. A test that
// lacks what it needs exits 77 (skipped in CTest).
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const SKIP = 77;

export function args() {
  const out = {};
  const argv = process.argv.slice(2);
  for (let i = 0; i + 1 < argv.length; i += 2) {
    out[argv[i].replace(/^--/, '')] = argv[i + 1];
  }
  return out;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Resolves with what check returns once it is truthy; rejects after ms.
export async function eventually(what, check, ms = 20000, every = 100) {
  const until = Date.now() + ms;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) {
        return last;
      }
    } catch (error) {
      last = error;
    }
    if (Date.now() > until) {
      throw new Error(what + ': not within ' + ms + ' ms (last: ' + (last && last.message ? last.message : last) + ')');
    }
    await sleep(every);
  }
}

export function scratch() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'kestrel-web-'));
}

const children = new Set();
process.on('exit', () => {
  for (const child of children) {
    child.kill('SIGKILL');
  }
});

// A program of the build with its stdout and stderr in files of dir.
export class Program {
  constructor(dir, name, file, argv, env = {}) {
    // A program started again under the same name gets logs of its own.
    let base = name;
    for (let n = 2; fs.existsSync(path.join(dir, base + '.log')); n++) {
      base = name + '-' + n;
    }
    this.log = path.join(dir, base + '.log');
    const err = fs.openSync(this.log, 'w');
    const out = fs.openSync(path.join(dir, base + '.out'), 'w');
    this.child = spawn(file, argv, { stdio: ['ignore', out, err], env: { ...process.env, ...env } });
    fs.closeSync(err);
    fs.closeSync(out);
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve(code ?? signal)));
    children.add(this.child);
    this.exited.then(() => children.delete(this.child));
  }

  text() {
    return fs.readFileSync(this.log, 'utf8');
  }

  async logged(re, ms = 20000) {
    return eventually('log line ' + re, () => this.text().match(re), ms);
  }

  // Stops the program (SIGINT, then SIGKILL after ms); its exit status.
  async stop(ms = 10000) {
    if (this.child.exitCode !== null || this.child.signalCode !== null) {
      return this.exited;
    }
    this.child.kill('SIGINT');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), ms);
    const status = await this.exited;
    clearTimeout(timer);
    return status;
  }

  kill() {
    this.child.kill('SIGKILL');
    return this.exited;
  }
}

export async function startRecorder(dir, paths, port = 0, extra = [], name = 'recorder') {
  const recorder = new Program(dir, name, paths.recorder, ['--port', String(port), '--channels', '8', ...extra]);
  const m = await recorder.logged(/listening on 127\.0\.0\.1:(\d+)/);
  recorder.port = Number(m[1]);
  return recorder;
}

// kestrel gateway for the recorder's 8 channels, on free ports.
export async function startGateway(dir, paths, recorderPort, extra = [], env = {}, name = 'gateway') {
  const gateway = new Program(
    dir, name, paths.kestrel,
    ['gateway', '-p', String(recorderPort), '--listen', '127.0.0.1:0', '--http', '127.0.0.1:0', '--channels', '8',
      '--timeout', '2000', '--backoff-max', '2', ...extra],
    { KESTREL_PASSWORD: '', ...env });
  const rtsp = await gateway.logged(/serving rtsp:\/\/127\.0\.0\.1:(\d+)\//);
  const http = await gateway.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//);
  gateway.rtspPort = Number(rtsp[1]);
  gateway.httpPort = Number(http[1]);
  gateway.base = 'http://127.0.0.1:' + gateway.httpPort;
  return gateway;
}

// A gateway from a site file with one recorder of channels channels (the
// first preloaded) whose WebRTC candidates are on loopback only.
export async function startWebrtcGateway(dir, paths, recorderPort, channels, name = 'gateway') {
  const file = path.join(dir, name + '.yaml');
  fs.writeFileSync(file, 'listen: 127.0.0.1:0\nhttp: 127.0.0.1:0\ntimeout: 2000\nwebrtc:\n  addresses: [127.0.0.1]\n' +
    'recorders:\n  - name: live\n    address: 127.0.0.1\n    port: ' + recorderPort + '\n    channels: ' + channels +
    '\n    preload: [0]\n');
  const gateway = new Program(dir, name, paths.kestrel, ['gateway', '--config', file], { KESTREL_PASSWORD: '' });
  const http = await gateway.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//);
  gateway.base = 'http://127.0.0.1:' + http[1];
  return gateway;
}

export async function json(url, init) {
  const response = await fetch(url, init);
  if (!response.ok) {
    throw new Error(url + ': HTTP ' + response.status);
  }
  return response.json();
}

// The top-level boxes of an MP4 byte buffer: [{type, start, size}], the
// last one only if complete.
export function boxes(bytes) {
  const out = [];
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = 0; at + 8 <= bytes.length;) {
    const size = view.getUint32(at);
    const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
    if (size < 8 || at + size > bytes.length) {
      break;
    }
    out.push({ type, start: at, size });
    at += size;
  }
  return out;
}

// Samples in a moof box: the sum of its trun sample counts.
export function samplesOf(bytes, moof) {
  let n = 0;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (let at = moof.start + 8; at + 8 <= moof.start + moof.size;) {
    const size = view.getUint32(at);
    const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
    if (type === 'traf') {
      at += 8;  // into the track fragment
      continue;
    }
    if (type === 'trun') {
      n += view.getUint32(at + 12);
    }
    if (size < 8) {
      break;
    }
    at += size;
  }
  return n;
}

// The samples of a fragmented MP4 (H.264, one track), in order: their bytes
// and whether each holds an IDR picture (NAL unit type 5, read from the
// samples' length-prefixed NAL units). Only whole fragments count.
export function fragmentSamples(bytes) {
  const out = [];
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const top = boxes(bytes);
  for (let i = 0; i + 1 < top.length; i++) {
    const moof = top[i];
    if (moof.type !== 'moof' || top[i + 1].type !== 'mdat') {
      continue;
    }
    let dataAt = top[i + 1].start + 8;
    let defaultSize = 0;
    const sizes = [];
    for (let at = moof.start + 8; at + 8 <= moof.start + moof.size;) {
      const size = view.getUint32(at);
      const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
      if (type === 'traf') {
        at += 8;
        continue;
      }
      const flags = view.getUint32(at + 8) & 0xffffff;
      if (type === 'tfhd') {
        let p = at + 16 + (flags & 0x1 ? 8 : 0) + (flags & 0x2 ? 4 : 0) + (flags & 0x8 ? 4 : 0);
        defaultSize = flags & 0x10 ? view.getUint32(p) : 0;
      } else if (type === 'trun') {
        const count = view.getUint32(at + 12);
        let p = at + 16;
        if (flags & 0x1) {
          dataAt = moof.start + view.getInt32(p);
          p += 4;
        }
        p += flags & 0x4 ? 4 : 0;
        for (let n = 0; n < count; n++) {
          p += flags & 0x100 ? 4 : 0;
          sizes.push(flags & 0x200 ? view.getUint32(p) : defaultSize);
          p += (flags & 0x200 ? 4 : 0) + (flags & 0x400 ? 4 : 0) + (flags & 0x800 ? 4 : 0);
        }
      }
      if (size < 8) {
        break;
      }
      at += size;
    }
    for (const size of sizes) {
      const data = bytes.subarray(dataAt, dataAt + size);
      let idr = false;
      for (let p = 0; p + 4 < data.length; p += 4 + view.getUint32(data.byteOffset - bytes.byteOffset + p)) {
        idr ||= (data[p + 4] & 0x1f) === 5;
      }
      out.push({ data, idr });
      dataAt += size;
    }
  }
  return out;
}

// A live response read in the background: its bytes so far, until stopped.
export function liveReader(url) {
  const controller = new AbortController();
  const chunks = [];
  const done = (async () => {
    try {
      const response = await fetch(url, { signal: controller.signal });
      for await (const chunk of response.body) {
        chunks.push(chunk);
      }
    } catch (error) {
      if (error.name !== 'AbortError') {
        throw error;
      }
    }
  })();
  return {
    bytes: () => new Uint8Array(Buffer.concat(chunks)),
    stop: async () => {
      controller.abort();
      await done;
    },
  };
}

// Width and height of a baseline or progressive JPEG, or null when the
// bytes are not one (no SOI, no frame header, no EOI).
export function jpegSize(bytes) {
  if (bytes.length < 4 || bytes[0] !== 0xff || bytes[1] !== 0xd8 ||
      bytes[bytes.length - 2] !== 0xff || bytes[bytes.length - 1] !== 0xd9) {
    return null;
  }
  for (let at = 2; at + 9 < bytes.length;) {
    if (bytes[at] !== 0xff) {
      return null;
    }
    const marker = bytes[at + 1];
    const length = (bytes[at + 2] << 8) | bytes[at + 3];
    if (marker >= 0xc0 && marker <= 0xc3) {
      return { height: (bytes[at + 5] << 8) | bytes[at + 6], width: (bytes[at + 7] << 8) | bytes[at + 8] };
    }
    at += 2 + length;
  }
  return null;
}

// Reads a live response for ms milliseconds; the bytes and when the first
// came.
export async function readFor(url, ms, init = {}) {
  const controller = new AbortController();
  const started = performance.now();
  const response = await fetch(url, { ...init, signal: controller.signal });
  const chunks = [];
  let first = null;
  const timer = setTimeout(() => controller.abort(), ms);
  try {
    for await (const chunk of response.body) {
      first ??= performance.now() - started;
      chunks.push(chunk);
    }
  } catch (error) {
    if (error.name !== 'AbortError') {
      throw error;
    }
  } finally {
    clearTimeout(timer);
  }
  return { status: response.status, bytes: new Uint8Array(Buffer.concat(chunks)), first };
}

// A process's CPU time in clock ticks (user and system; 100 a second on
// Linux), and a number of its /proc status (VmRSS in KiB, Threads).
export const CLOCK_TICKS = 100;
export function cpuTicks(pid) {
  const f = fs.readFileSync('/proc/' + pid + '/stat', 'utf8').split(') ')[1].split(' ');
  return Number(f[11]) + Number(f[12]);
}
export function procStatus(pid, key) {
  return Number(fs.readFileSync('/proc/' + pid + '/status', 'utf8').match(new RegExp(key + ':\\s+(\\d+)'))[1]);
}

export function run(program, argv, ms = 30000) {
  const r = spawnSync(program, argv, { timeout: ms, encoding: 'utf8' });
  return { status: r.status, out: r.stdout || '', err: r.stderr || '' };
}

// The tests of a file, one after another; the process exits 1 when one
// failed.
const tests = [];
export function test(name, fn) {
  tests.push({ name, fn });
}

export async function runTests(setup, teardown) {
  let failed = 0;
  const context = await setup();
  for (const t of tests) {
    const started = Date.now();
    try {
      await t.fn(context);
      console.log('ok   ' + t.name + ' (' + (Date.now() - started) + ' ms)');
    } catch (error) {
      failed++;
      console.log('FAIL ' + t.name + ': ' + (error && error.stack ? error.stack : error));
    }
  }
  await teardown(context, failed > 0);
  console.log(failed ? failed + ' of ' + tests.length + ' failed' : 'all ' + tests.length + ' passed');
  process.exit(failed ? 1 : 0);
}

export function assert(condition, message) {
  if (!condition) {
    throw new Error(message);
  }
}

// Runs a file's tests with one recorder (recorderArgs added) and one gateway
// (gatewayEnv in its environment; with loggedIn, logged in before the first
// test); their logs are kept when a test failed or the gateway did not exit
// cleanly.
export function runWithGateway(paths, gatewayEnv = {}, loggedIn = false, recorderArgs = []) {
  return runTests(async () => {
    const dir = scratch();
    const recorder = await startRecorder(dir, paths, 0, recorderArgs);
    const gateway = await startGateway(dir, paths, recorder.port, [], gatewayEnv);
    if (loggedIn) {
      await gateway.logged(/logged in to/);
    }
    return { dir, recorder, gateway };
  }, async (context, failed) => {
    const status = await context.gateway.stop();
    await context.recorder.stop();
    if (status !== 0) {
      console.log('the gateway exited with ' + status);
    }
    if (failed || status !== 0) {
      console.log('logs in ' + context.dir + ':\n' + context.gateway.text());
      process.exitCode = 1;
    } else {
      fs.rmSync(context.dir, { recursive: true, force: true });
    }
  });
}
