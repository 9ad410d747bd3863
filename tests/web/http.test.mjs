// kestrel gateway's web side over plain HTTP, with ffprobe as the judge of
// the video: the status JSON and how it follows the recorder, /metrics in
// the Prometheus text format, /healthz, the fragmented MP4 (sizes, frame
// counts, a keyframe first, ffmpeg as a client of the live response),
// snapshots, and the client credentials rule on every path.
import crypto from 'node:crypto';
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import {
  Program, SKIP, args, assert, boxes, eventually, fragmentSamples, json, jpegSize, liveReader, readFor, run,
  runWithGateway, samplesOf, sleep, startGateway, startRecorder, test,
} from './harness.mjs';

const paths = args();
const ffprobe = paths.ffprobe;
paths.ffmpeg ??= path.join(path.dirname(ffprobe), 'ffmpeg');
if (!paths.kestrel || !paths.recorder || !ffprobe) {
  console.log('kestrel, kestrel-recorder and ffprobe are needed');
  process.exit(SKIP);
}
const WIDTH = 352;
const HEIGHT = 288;  // the sample clip's size
const CHANNELS = 8;

test('the status JSON names the recorder, every channel and its URLs', async ({ gateway }) => {
  const status = await json(gateway.base + '/api/status');
  assert(typeof status.version === 'string' && status.uptime >= 0, 'version and uptime');
  assert(status.recorders.length === 1, 'one recorder');
  const [rec] = status.recorders;
  assert(rec.name === 'live' && /^127\.0\.0\.1:\d+$/.test(rec.address), 'name and address: ' + rec.address);
  assert(rec.channels.length === CHANNELS, 'every channel');
  rec.channels.forEach((ch, i) => {
    assert(ch.channel === i && ch.stream === '/live/' + i + '.mp4' && ch.snapshot === '/live/' + i + '.jpg' &&
           ch.rtsp === '/live/' + i, 'URLs of channel ' + i);
    for (const field of ['frames', 'bytes', 'fps', 'kbit_per_s', 'reconnections', 'web_skips']) {
      assert(typeof ch[field] === 'number', field + ' of channel ' + i);
    }
    assert(typeof ch.clients.rtsp === 'number' && typeof ch.clients.web === 'number', 'clients');
    assert(['idle', 'playing', 'reconnecting', 'lost'].includes(ch.state), 'state ' + ch.state);
    assert(typeof ch.link_state === 'string' && typeof ch.last_error === 'string' && ch.preload === false,
      'the link state of channel ' + i);
  });
});

test('the fragmented MP4 starts at a keyframe and decodes whole in ffprobe', async ({ gateway, dir }) => {
  const { status, bytes } = await readFor(gateway.base + '/live/0.mp4', 3000);
  assert(status === 200, 'HTTP ' + status);
  const top = boxes(bytes);
  assert(top[0].type === 'ftyp' && top[1].type === 'moov', 'init segment first: ' + top.map((b) => b.type));
  // Up to the last whole fragment (the read was cut anywhere).
  let end = top[1].start + top[1].size;
  let samples = 0;
  for (let i = 2; i + 1 < top.length; i += 2) {
    assert(top[i].type === 'moof' && top[i + 1].type === 'mdat', 'fragments: ' + top[i].type);
    samples += samplesOf(bytes, top[i]);
    end = top[i + 1].start + top[i + 1].size;
  }
  const file = path.join(dir, 'live.mp4');
  fs.writeFileSync(file, bytes.subarray(0, end));
  const r = run(ffprobe, ['-v', 'error', '-count_frames', '-select_streams', 'v', '-show_entries',
    'stream=codec_name,width,height,nb_read_frames', '-of', 'default=nw=1', file]);
  assert(r.status === 0 && r.err === '', 'ffprobe: ' + r.err);
  assert(r.out.includes('codec_name=h264') && r.out.includes('width=' + WIDTH) && r.out.includes('height=' + HEIGHT),
    'size: ' + r.out);
  const decoded = Number(r.out.match(/nb_read_frames=(\d+)/)[1]);
  assert(decoded === samples, 'every frame of the fragments decodes: ' + decoded + ' of ' + samples);
  // 3 s at 25 frames a second, less the start (login, stream opening,
  // waiting for a keyframe, the last fragment cut off).
  assert(samples >= 25 && samples <= 80, 'frames in 3 s: ' + samples);
  const keys = run(ffprobe, ['-v', 'error', '-select_streams', 'v', '-show_entries', 'frame=key_frame', '-of',
    'csv=p=0', file]);
  assert(/^1/.test(keys.out.trim()), 'the first frame is a keyframe: ' + keys.out.slice(0, 20));
});

// A joiner of an open channel starts with the group the gateway holds, not
// at the next keyframe. A first client reads the channel; right after it
// got a keyframe (the next is about a second away: the clip has one every
// 25 frames, and its three keyframes differ) a second client joins: its
// first picture must be that same keyframe, which the gateway had before
// the second client asked. A join held up past the next keyframe by a
// loaded machine is tried again (a client that waits for a keyframe would
// miss every time).
test('a web client of an open channel starts with the keyframe the gateway already had', async ({ gateway }) => {
  const url = gateway.base + '/live/4.mp4';
  const first = liveReader(url);
  const lastKeyframe = (samples) => samples.findLast((x) => x.idr);
  try {
    let matched = false;
    for (let attempt = 0; attempt < 3 && !matched; attempt++) {
      // Just after the first client got a keyframe: at most a fragment of
      // frames (100 ms) after it.
      let before = null;
      await eventually('the first client just got a keyframe', () => {
        const samples = fragmentSamples(first.bytes());
        const at = samples.findLastIndex((x) => x.idr);
        before = at >= 0 && at >= samples.length - 4 && samples.length > 25 ? samples[at] : null;
        return before;
      }, 20000, 10);
      const { bytes } = await readFor(url, 1500);
      const joined = fragmentSamples(bytes);
      assert(joined.length > 0 && joined[0].idr, 'the joiner starts on a keyframe');
      matched = Buffer.compare(joined[0].data, before.data) === 0;
      if (!matched) {
        console.log('     attempt ' + attempt + ': the joiner started on another keyframe (' + joined[0].data.length +
          ' bytes, not ' + before.data.length + ')');
      }
      // At once: the joiner's group came before a live frame could, so it
      // has the keyframe's followers without a second keyframe in between.
      assert(lastKeyframe(joined) !== undefined, 'keyframes in the joiner');
    }
    assert(matched, 'the joiner started on the keyframe the gateway held');
  } finally {
    await first.stop();
  }
});

test('ffmpeg plays the live response as it is', async ({ gateway }) => {
  const r = run(ffprobe, ['-v', 'error', '-show_entries', 'stream=codec_name,width,height', '-of', 'default=nw=1',
    gateway.base + '/live/2.mp4'], 30000);
  assert(r.status === 0 && r.out.includes('width=' + WIDTH) && r.out.includes('height=' + HEIGHT),
    'ffprobe on the URL: ' + r.out + r.err);
});

test('snapshots are JPEGs of the picture, at the size asked for', async ({ gateway }) => {
  for (const [query, width, height] of [['', WIDTH, HEIGHT], ['?width=176', 176, 144], ['?width=101', 100, 82]]) {
    const response = await fetch(gateway.base + '/live/3.jpg' + query);
    assert(response.status === 200 && response.headers.get('content-type') === 'image/jpeg', 'HTTP ' +
      response.status + ' for ' + query + ': ' + (response.status === 200 ? '' : await response.text()));
    const size = jpegSize(new Uint8Array(await response.arrayBuffer()));
    assert(size && size.width === width && Math.abs(size.height - height) <= 1, query + ': ' + JSON.stringify(size));
  }
  // An open channel answers within a second (a client keeps it open).
  const controller = new AbortController();
  const live = await fetch(gateway.base + '/live/3.mp4', { signal: controller.signal });
  const reader = live.body.getReader();
  await reader.read();
  const times = [];
  for (let i = 0; i < 3; i++) {
    const started = performance.now();
    const response = await fetch(gateway.base + '/live/3.jpg');
    await response.arrayBuffer();
    times.push(Math.round(performance.now() - started));
  }
  // The latest picture, at once: two snapshots asked for 200 ms apart
  // differ (the clip moves in every frame), where two that wait for the
  // next keyframe are the same picture.
  const picture = async () => Buffer.from(await (await fetch(gateway.base + '/live/3.jpg')).arrayBuffer());
  const earlier = picture();
  await sleep(200);
  const pictures = await Promise.all([earlier, picture()]);
  controller.abort();
  console.log('     snapshot of an open channel: ' + times.join(', ') + ' ms');
  assert(Math.min(...times) < 1500, 'a snapshot of an open channel: ' + times);
  assert(Buffer.compare(pictures[0], pictures[1]) !== 0, 'two snapshots 200 ms apart are the same picture');
});

test('MJPEG: pictures at the recorder\'s size or the one asked for, one encoder however many clients', async ({
  gateway }) => {
  const probe = run(ffprobe, ['-v', 'error', '-f', 'mpjpeg', '-show_entries', 'stream=codec_name,width,height', '-of',
    'csv=p=0', gateway.base + '/live/4.mjpeg'], 30000);
  assert(probe.status === 0 && probe.out.trim() === 'mjpeg,' + WIDTH + ',' + HEIGHT, 'ffprobe: ' + probe.out +
    probe.err);
  const small = run(paths.ffmpeg, ['-v', 'error', '-f', 'mpjpeg', '-i', gateway.base + '/live/4.mjpeg?width=320&fps=10',
    '-frames:v', '5', '-f', 'framemd5', '-'], 30000);
  assert(small.status === 0 && /320x26[12]/.test(small.out), 'ffmpeg at width 320: ' + small.out + small.err);
  // Two clients of one channel and setting: one encoder, stopped when the
  // last one leaves.
  const started = () => (gateway.text().match(/live channel 5 \(2 fps, width 320\): MJPEG encoder started/g) || [])
    .length;
  const readers = [];
  for (let i = 0; i < 2; i++) {
    const controller = new AbortController();
    const response = await fetch(gateway.base + '/live/5.mjpeg?fps=2&width=320', { signal: controller.signal });
    assert(response.headers.get('content-type') === 'multipart/x-mixed-replace;boundary=kestrelframe',
      'content type: ' + response.headers.get('content-type'));
    const reader = response.body.getReader();
    const first = Buffer.from((await reader.read()).value).toString('latin1');
    assert(first.startsWith('--kestrelframe\r\nContent-Type: image/jpeg\r\nContent-Length: '), 'a part: ' +
      JSON.stringify(first.slice(0, 80)));
    readers.push(controller);
  }
  assert(started() === 1, 'encoders started for two clients: ' + started());
  readers.forEach((controller) => controller.abort());
  await gateway.logged(/live channel 5 \(2 fps, width 320\): MJPEG encoder stopped/, 10000);
});

test('requests the gateway cannot serve get their status', async ({ gateway }) => {
  for (const [url, status] of [['/live/8.jpg', 404], ['/other/0.mp4', 404], ['/live/0.jpg?width=x', 400],
    ['/live/0.jpg?width=99999', 400], ['/live/00.mp4', 404], ['/nothing', 404], ['/live/0.txt', 404],
    ['/live/8.mjpeg', 404], ['/live/0.mjpeg?fps=7', 400], ['/live/0.mjpeg?width=100', 400]]) {
    const response = await fetch(gateway.base + url);
    assert(response.status === status, url + ': ' + response.status);
  }
  const post = await fetch(gateway.base + '/api/status', { method: 'POST', body: 'x' });
  assert(post.status === 405, 'POST: ' + post.status);
  // A body past the bound, declared or chunked, is refused, not kept.
  const big = new Uint8Array(4 << 20);
  const declared = await fetch(gateway.base + '/live/0/whep', { method: 'POST', body: big });
  assert(declared.status === 413, 'a declared 4 MiB body: ' + declared.status);
  const chunked = await fetch(gateway.base + '/live/0/whep', { method: 'POST', duplex: 'half',
    body: new ReadableStream({ start(c) { for (let i = 0; i < 64; ++i) c.enqueue(big.subarray(0, 65536)); c.close(); } }) });
  assert(chunked.status === 413, 'a chunked 4 MiB body: ' + chunked.status);
  const health = await fetch(gateway.base + '/healthz');
  assert(health.status === 200 && (await health.text()) === 'ok\n', '/healthz');
});

// One sample line of the text format: name, labels, value.
const SAMPLE = /^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\])*",?)*\})? (-?[0-9.e+-]+|NaN|[+-]Inf)$/;

test('/metrics is Prometheus text with a HELP and TYPE for every metric', async ({ gateway }) => {
  const response = await fetch(gateway.base + '/metrics');
  assert(response.headers.get('content-type').startsWith('text/plain; version=0.0.4'), 'content type');
  const text = await response.text();
  const typed = new Set();
  const helped = new Set();
  const seen = new Set();
  for (const line of text.trimEnd().split('\n')) {
    let m;
    if ((m = line.match(/^# HELP (\S+) .+$/))) {
      helped.add(m[1]);
    } else if ((m = line.match(/^# TYPE (\S+) (counter|gauge)$/))) {
      typed.add(m[1]);
    } else {
      m = line.match(SAMPLE);
      assert(m, 'not a sample line: ' + line);
      assert(typed.has(m[1]) && helped.has(m[1]), 'no HELP or TYPE before ' + m[1]);
      assert(!seen.has(line.replace(/ [^ ]+$/, '')), 'repeated series: ' + line);
      seen.add(line.replace(/ [^ ]+$/, ''));
    }
  }
  for (const name of ['kestrel_gateway_uptime_seconds', 'kestrel_recorder_logged_in', 'kestrel_channel_frames_total',
    'kestrel_channel_bytes_total', 'kestrel_channel_frame_rate', 'kestrel_channel_bit_rate',
    'kestrel_channel_reconnections_total', 'kestrel_channel_web_skips_total', 'kestrel_channel_keyframe_age_seconds', 'kestrel_channel_clients',
    'kestrel_channel_state']) {
    assert(typed.has(name), 'missing ' + name);
  }
  assert(text.includes('kestrel_recorder_logged_in{recorder="live"} 1'), 'logged in');
});

test('the status follows the recorder as it goes and comes back', async (context) => {
  const { gateway, dir } = context;
  const controller = new AbortController();
  const live = await fetch(gateway.base + '/live/5.mp4', { signal: controller.signal });
  const reader = live.body.getReader();
  const channel5 = async () => (await json(gateway.base + '/api/status')).recorders[0].channels[5];
  await eventually('channel 5 playing', async () => {
    const ch = await channel5();
    return ch.state === 'playing' && ch.fps > 10;
  });
  const ch = await channel5();
  assert(ch.clients.web === 1 && ch.clients.rtsp === 0, 'one web client: ' + JSON.stringify(ch.clients));
  assert(ch.fps > 10 && ch.kbit_per_s > 0 && ch.keyframe_age_ms >= 0 && ch.keyframe_age_ms < 3000,
    'rates: ' + JSON.stringify(ch));
  const port = context.recorder.port;
  await context.recorder.kill();
  await eventually('the recorder lost', async () => {
    const status = await json(gateway.base + '/api/status');
    return ['reconnecting', 'lost'].includes(status.recorders[0].channels[5].state);
  }, 20000);
  context.recorder = await startRecorder(dir, paths, port);
  await eventually('the recorder back', async () => {
    const status = await json(gateway.base + '/api/status');
    return status.recorders[0].state === 'logged in' && status.recorders[0].channels[5].state === 'playing';
  }, 30000);
  assert((await channel5()).reconnections >= 1, 'a reconnection counted');
  controller.abort();
  reader.cancel().catch(() => {});
  await eventually('the web client gone', async () => (await channel5()).clients.web === 0, 5000);
});

test('a web client that takes nothing skips ahead and holds no one back', async ({ dir, recorder }) => {
  const slow = await startGateway(dir, paths, recorder.port, ['--web-buffer', '64'], {}, 'slow');
  let socket = null;
  try {
    // A WebSocket client that reads and acknowledges nothing.
    socket = await new Promise((resolve, reject) => {
      const request = http.request({ port: slow.httpPort, host: '127.0.0.1', path: '/live/6.mp4', headers: {
        Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
        'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64') } });
      request.on('upgrade', (response, s) => { s.pause(); resolve(s); });
      request.on('response', (response) => reject(new Error('no upgrade: ' + response.statusCode)));
      request.on('error', reject);
      request.end();
    });
    const channel6 = async () => (await json(slow.base + '/api/status')).recorders[0].channels[6];
    await eventually('the silent client skips', async () => (await channel6()).web_skips >= 1, 30000);
    // A client beside it gets every frame at the channel's pace.
    const { bytes } = await readFor(slow.base + '/live/6.mp4', 4000);
    let samples = 0;
    for (const box of boxes(bytes)) {
      samples += box.type === 'moof' ? samplesOf(bytes, box) : 0;
    }
    assert(samples >= 60, 'frames in 4 s beside the silent client: ' + samples);
    const ch = await channel6();
    assert(ch.clients.web === 1 || ch.clients.web === 2, 'web clients ' + ch.clients.web);
  } finally {
    socket?.destroy();
    const status = await slow.stop();
    assert(status === 0, 'the slow gateway exited with ' + status + ': ' + slow.text().slice(-3000));
  }
});

test('the status follows the site file as recorders come and go', async ({ dir, recorder }) => {
  const file = path.join(dir, 'site.yaml');
  const site = (names) => 'listen: 127.0.0.1:0\nhttp: 127.0.0.1:0\nrecorders:\n' + names.map(([name, port]) =>
    '  - name: ' + name + '\n    address: 127.0.0.1\n    port: ' + port + '\n    channels: 2\n').join('');
  fs.writeFileSync(file, site([['hall', recorder.port]]));
  const check = run(paths.kestrel, ['gateway', '--config', file, '--check']);
  if (check.status !== 0 && /yaml-cpp/.test(check.err)) {
    console.log('     (skipped: kestrel was built without yaml-cpp)');
    return;
  }
  assert(check.status === 0, 'the site file: ' + check.err);
  const second = await startRecorder(dir, paths, 0, [], 'yard-recorder');
  const gateway = new Program(dir, 'site', paths.kestrel, ['gateway', '--config', file]);
  try {
    const http = await gateway.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//);
    const base = 'http://127.0.0.1:' + http[1];
    const names = async () => (await json(base + '/api/status')).recorders.map((r) => r.name).sort().join(' ');
    await eventually('one recorder', async () => await names() === 'hall');
    fs.writeFileSync(file, site([['hall', recorder.port], ['yard', second.port]]));
    await eventually('two recorders', async () => await names() === 'hall yard');
    const yard = (await json(base + '/api/status')).recorders.find((r) => r.name === 'yard');
    assert(yard.channels.length === 2 && yard.channels[1].stream === '/yard/1.mp4' &&
      yard.channels[1].rtsp === '/yard/1', 'the new recorder: ' + JSON.stringify(yard.channels[1]));
    const { status, bytes } = await readFor(base + '/yard/1.mp4', 2500);
    assert(status === 200 && boxes(bytes).some((b) => b.type === 'moof'), 'video of the new recorder');
    fs.writeFileSync(file, site([['yard', second.port]]));
    await eventually('the first one gone', async () => await names() === 'yard');
    const gone = await fetch(base + '/hall/0.mp4');
    assert(gone.status === 404, 'a removed recorder is 404: ' + gone.status);
  } finally {
    const status = await gateway.stop();
    await second.stop();
    assert(status === 0, 'the site gateway exited with ' + status + ': ' + gateway.text().slice(-3000));
  }
});

// A digest answer (RFC 7616, MD5, qop auth) to a challenge.
function digest(challenge, method, uri, user, password) {
  const p = {};
  challenge.replace(/(\w+)="([^"]*)"/g, (_, k, v) => { p[k] = v; });
  const md5 = (s) => crypto.createHash('md5').update(s).digest('hex');
  const cnonce = crypto.randomBytes(8).toString('hex');
  const response = md5([md5(user + ':' + p.realm + ':' + password), p.nonce, '00000001', cnonce, 'auth',
    md5(method + ':' + uri)].join(':'));
  return 'Digest username="' + user + '", realm="' + p.realm + '", nonce="' + p.nonce + '", uri="' + uri +
    '", qop=auth, nc=00000001, cnonce="' + cnonce + '", response="' + response + '", algorithm=MD5';
}

function upgradeStatus(port, url, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({ port, host: '127.0.0.1', path: url, headers: {
      Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
      'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64'), ...headers } });
    request.on('response', (response) => { response.resume(); resolve(response.statusCode); });
    request.on('upgrade', (response, socket) => { socket.destroy(); resolve(response.statusCode); });
    request.on('error', reject);
    request.end();
  });
}

test('with client credentials nothing is served without them, on any path', async ({ dir, recorder }) => {
  const secure = await startGateway(dir, paths, recorder.port, ['--rtsp-user', 'viewer', '--rtsp-password-env',
    'WEB_PASS'], { WEB_PASS: 's3cret' }, 'secure');
  try {
    const good = 'Basic ' + Buffer.from('viewer:s3cret').toString('base64');
    const bad = 'Basic ' + Buffer.from('viewer:wrong').toString('base64');
    for (const url of ['/', '/index.html', '/app.js', '/style.css', '/api/status', '/metrics', '/healthz',
      '/live/0.jpg', '/live/0.mp4', '/live/0.mjpeg', '/live/9.mp4', '/nothing']) {
      for (const [auth, expect] of [[null, 401], [bad, 401]]) {
        const response = await fetch(secure.base + url, { headers: auth ? { Authorization: auth } : {} });
        await response.body?.cancel();
        assert(response.status === expect, url + (auth ? ' with a wrong password: ' : ': ') + response.status);
        const challenge = response.headers.get('www-authenticate') || '';
        assert(challenge.includes('Basic') && challenge.includes('Digest'), 'both challenges: ' + challenge);
      }
      const controller = new AbortController();
      const response = await fetch(secure.base + url, { headers: { Authorization: good }, signal: controller.signal });
      controller.abort();
      const expect = url === '/nothing' || url === '/live/9.mp4' ? 404 : 200;
      assert(response.status === expect, url + ' with the password: ' + response.status);
    }
    assert(await upgradeStatus(secure.httpPort, '/live/0.mp4') === 401, 'a WebSocket without credentials');
    assert(await upgradeStatus(secure.httpPort, '/live/0.mp4', { Authorization: good }) === 101,
      'a WebSocket with them');
    // Digest, as players and browsers answer it.
    const first = await fetch(secure.base + '/api/status');
    const challenge = first.headers.get('www-authenticate');
    const digestPart = challenge.slice(challenge.indexOf('Digest'));
    const response = await fetch(secure.base + '/api/status', {
      headers: { Authorization: digest(digestPart, 'GET', '/api/status', 'viewer', 's3cret') } });
    assert(response.status === 200, 'digest: ' + response.status);
    const wrong = await fetch(secure.base + '/api/status', {
      headers: { Authorization: digest(digestPart, 'GET', '/api/status', 'viewer', 'nope') } });
    assert(wrong.status === 401, 'digest with a wrong password: ' + wrong.status);
  } finally {
    const status = await secure.stop();
    assert(status === 0, 'the secure gateway exited with ' + status + ': ' + secure.text().slice(-3000));
  }
  // Off loopback, no credentials: refused before anything is served.
  const r = run(paths.kestrel, ['gateway', '--http', '0.0.0.0:0', '--listen', '127.0.0.1:0'], 10000);
  assert(r.status === 2 && r.err.includes('needs RTSP credentials'), 'off loopback: ' + r.status + ' ' + r.err);
});

await runWithGateway(paths);
