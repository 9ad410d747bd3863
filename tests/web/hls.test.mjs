// kestrel gateway's HLS: ffprobe reads the playlist; the playlist's parts,
// segments and init segment; blocking reload (a part not out yet is
// waited for, one too far past the live edge is refused); one muxer per
// channel however many clients; hls.js plays it in Chromium at the live
// edge; and the client credentials on every HLS path.
import {
  SKIP, assert, boxes, eventually, fragmentSamples, run, sleep, startGateway, test,
} from './harness.mjs';
import { browserPaths, runBrowserTests } from './browser.mjs';
import { followLowLatency, hlsPage, hlsScript, hlsState, parsePlaylist } from './hls_client.mjs';
import fs from 'node:fs';

const paths = browserPaths();
if (!paths.ffprobe || !fs.existsSync(hlsScript)) {
  console.log('ffprobe and hls.js (npm ci --prefix tests/web) are needed');
  process.exit(SKIP);
}
const WIDTH = 352;
const HEIGHT = 288;  // the sample clip's size

async function text(url, init) {
  const response = await fetch(url, init);
  return { status: response.status, type: response.headers.get('content-type'), text: await response.text() };
}

async function bytes(url, init) {
  const response = await fetch(url, init);
  return { status: response.status, bytes: new Uint8Array(await response.arrayBuffer()) };
}

test('ffprobe reads the playlist: H.264 at the channel\'s size', async ({ gateway }) => {
  const r = run(paths.ffprobe, ['-v', 'error', '-show_entries', 'stream=codec_name,width,height', '-of', 'json',
    gateway.base + '/live/1/index.m3u8'], 30000);
  assert(r.status === 0, 'ffprobe: ' + r.err);
  const [stream] = JSON.parse(r.out).streams;
  assert(stream.codec_name === 'h264' && stream.width === WIDTH && stream.height === HEIGHT,
    'stream ' + JSON.stringify(stream));
});

test('the playlist: an init segment, segments that begin with a keyframe, parts within the target', async ({ gateway }) => {
  const url = gateway.base + '/live/0/index.m3u8';
  // Segment 1 complete: a blocking reload for it.
  const first = await text(url + '?_HLS_msn=1');
  assert(first.status === 200 && first.type === 'application/vnd.apple.mpegurl', 'playlist: ' + first.status);
  const p = parsePlaylist(first.text);
  assert(p.target === 2 && p.partTarget === 0.5 && p.serverControl['CAN-BLOCK-RELOAD'] === 'YES' &&
    Number(p.serverControl['PART-HOLD-BACK']) >= 2 * p.partTarget, 'tags: ' + first.text.slice(0, 300));
  assert(p.map === 'init.mp4' && p.segments.length >= 2 && p.hint, 'map, segments, hint: ' + first.text);
  for (const s of p.segments) {
    assert(Math.round(s.duration) <= p.target, 'segment ' + s.msn + ' of ' + s.duration + ' s');
  }
  for (const part of [...p.segments.flatMap((s) => s.parts), ...p.parts]) {
    assert(part.duration <= p.partTarget, 'part ' + part.uri + ' of ' + part.duration + ' s');
  }
  const base = gateway.base + '/live/0/';
  const init = await bytes(base + 'init.mp4');
  assert(init.status === 200, 'init ' + init.status);
  assert(boxes(init.bytes).map((b) => b.type).join() === 'ftyp,moov', 'init boxes');
  const segment = p.segments[p.segments.length - 1];
  const media = await bytes(base + segment.uri);
  assert(media.status === 200 && boxes(media.bytes)[0].type === 'moof', 'segment ' + media.status);
  const samples = fragmentSamples(media.bytes);
  assert(samples.length > 0 && samples[0].idr && samples.slice(1).every((s) => !s.idr),
    'one group: a keyframe first and no other');
  // Its parts are its bytes.
  const parts = await Promise.all(segment.parts.map((part) => bytes(base + part.uri)));
  assert(parts.every((r) => r.status === 200), 'parts');
  assert(Buffer.concat(parts.map((r) => r.bytes)).equals(Buffer.from(media.bytes)), 'parts make the segment');
});

test('blocking reload: the next part is waited for, one too far ahead is refused', async ({ gateway }) => {
  const url = gateway.base + '/live/0/index.m3u8';
  const base = gateway.base + '/live/0/';
  const { hint } = parsePlaylist((await text(url)).text);
  // The hinted part, asked before it is out, comes when it is.
  const [part, reload] = await Promise.all([bytes(base + hint.uri),
    text(url + '?_HLS_msn=' + hint.msn + '&_HLS_part=' + hint.part)]);
  assert(part.status === 200 && boxes(part.bytes)[0].type === 'moof', 'hinted part: ' + part.status);
  assert(reload.status === 200, 'blocking reload: ' + reload.status);
  const after = parsePlaylist(reload.text);
  assert(after.lines.some((l) => l.includes('"' + hint.uri + '"')) ||
    after.segments.some((s) => s.msn > hint.msn), 'the reload holds the part asked for: ' + reload.text);
  // Too far past the live edge: 400 at once.
  const edge = after.hint;
  for (const query of ['?_HLS_msn=' + (edge.msn + 4), '?_HLS_msn=' + edge.msn + '&_HLS_part=' + (edge.part + 6),
    '?_HLS_msn=' + (edge.msn + 40) + '&_HLS_part=0', '?_HLS_part=1', '?_HLS_msn=x']) {
    const r = await text(url + query);
    assert(r.status === 400, query + ': ' + r.status);
  }
  for (const name of [(edge.msn + 4) + '.m4s', (edge.msn + 2) + '.0.m4s', edge.msn + '.' + (edge.part + 9) + '.m4s']) {
    const r = await bytes(base + name);
    assert(r.status === 400, name + ': ' + r.status);
  }
  const gone = await bytes(base + '0.0.m4s');
  assert(gone.status === 200 || gone.status === 404, 'an old part is there or gone: ' + gone.status);
  assert((await bytes(base + 'nothing.m4s')).status === 404, 'an unknown name');
  assert((await bytes(gateway.base + '/live/9/index.m3u8')).status === 404, 'an unknown channel');
});

test('one muxer per channel, however many clients follow it', async ({ gateway }) => {
  const controller = new AbortController();
  const counts = [0, 1, 2, 3].map(() => ({ parts: 0, bytes: 0, statuses: {} }));
  const clients = counts.map((c) => followLowLatency(gateway.base + '/live/2/index.m3u8', controller.signal, c));
  await eventually('every client has parts', () => counts.every((c) => c.parts >= 5), 20000);
  controller.abort();
  await Promise.all(clients);
  const started = gateway.text().match(/channel 2: HLS: the channel's muxer started/g) || [];
  assert(started.length === 1, 'muxers made for channel 2: ' + started.length);
  for (const c of counts) {
    assert(Object.keys(c.statuses).length === 0, 'statuses other than 200: ' + JSON.stringify(c.statuses));
  }
});

test('hls.js plays the parts in Chromium and stays near the live edge', async ({ gateway, browser }) => {
  const page = await hlsPage(browser, gateway.base, gateway.base + '/live/3/index.m3u8', true);
  try {
    await eventually('hls.js plays', async () => (await hlsState(page)).time > 2, 20000);
    await sleep(6000);
    const s = await hlsState(page);
    assert(s.errors.length === 0, 'errors: ' + s.errors.join('; '));
    assert(s.width === WIDTH && s.height === HEIGHT, 'size ' + s.width + 'x' + s.height);
    // The part hold-back is 1.5 s; the player's distance from the edge
    // stays about it.
    assert(s.latency !== null && s.latency < 3, 'latency ' + s.latency);
  } finally {
    await page.close();
  }
});

test('with client credentials every HLS path asks for them', async ({ dir, recorder }) => {
  const secure = await startGateway(dir, paths, recorder.port, ['--rtsp-user', 'viewer', '--rtsp-password-env',
    'HLS_PASS'], { HLS_PASS: 's3cret' }, 'secure');
  try {
    const good = { Authorization: 'Basic ' + Buffer.from('viewer:s3cret').toString('base64') };
    const bad = { Authorization: 'Basic ' + Buffer.from('viewer:wrong').toString('base64') };
    const base = secure.base + '/live/0/';
    const listed = parsePlaylist((await text(base + 'index.m3u8?_HLS_msn=1', { headers: good })).text);
    const segment = listed.segments[0];
    for (const name of ['index.m3u8', 'index.m3u8?_HLS_msn=1', 'init.mp4', segment.uri, segment.parts[0].uri]) {
      for (const headers of [{}, bad]) {
        const r = await bytes(base + name, { headers });
        assert(r.status === 401, name + ' without the password: ' + r.status);
      }
      const r = await bytes(base + name, { headers: good });
      assert(r.status === 200, name + ' with it: ' + r.status);
    }
  } finally {
    await secure.stop();
  }
});

await runBrowserTests(paths);
