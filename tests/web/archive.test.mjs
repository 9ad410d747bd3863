// The recorders' archive through the gateway, against kestrel-recorder (which
// records six 10-minute stretches a day on every channel: 00:00, 04:00 ...
// 20:00): the search over two days with its times in ISO 8601 (the gateway
// runs in Europe/Paris, so every offset is stated), clips judged by ffprobe
// (frames and duration of the stretch), clips at once, a client that goes
// away, and a recorder lost in the middle of a clip.
import fs from 'node:fs';
import path from 'node:path';
import {
  SKIP, args, assert, boxes, eventually, run, runTests, scratch, startGateway, startRecorder, test,
} from './harness.mjs';

const paths = args();
const ffprobe = paths.ffprobe;
if (!paths.kestrel || !paths.recorder || !ffprobe) {
  console.log('kestrel, kestrel-recorder and ffprobe are needed');
  process.exit(SKIP);
}
const ZONE = 'Europe/Paris';
const FPS = 25;

// Today and yesterday in the gateway's zone, as YYYY-MM-DD.
function day(offsetDays) {
  const d = new Date(Date.now() + offsetDays * 86400000);
  return d.toLocaleDateString('sv-SE', { timeZone: ZONE });
}
const TODAY = day(0);
const YESTERDAY = day(-1);
// Winter in Paris: the offset is +01:00 (the test keeps away from the days
// the clocks change).
const offset = (date) => (new Date(date + 'T12:00:00Z').toLocaleString('en-GB', { timeZone: ZONE, timeZoneName: 'longOffset' }).match(/GMT([+-]\d\d:\d\d)?/)[1] ?? '+00:00');

function probe(file) {
  const r = run(ffprobe, ['-v', 'error', '-count_frames', '-select_streams', 'v', '-show_entries',
    'stream=codec_name,width,height,nb_read_frames,duration', '-of', 'default=nw=1', file]);
  assert(r.status === 0 && r.err === '', 'ffprobe: ' + r.err);
  const field = (name) => r.out.match(new RegExp(name + '=([^\\n]*)'))?.[1];
  return { frames: Number(field('nb_read_frames')), duration: Number(field('duration')), codec: field('codec_name') };
}

async function fetchAll(url) {
  const response = await fetch(url);
  return { response, bytes: new Uint8Array(await response.arrayBuffer()) };
}

test('a search over two days lists each day\'s recordings with their offset', async ({ gateway, recorder }) => {
  const o = offset(TODAY);
  const searchesBefore = (recorder.text().match(/search/g) || []).length;
  // The same span written in local time, with its offset and in UTC.
  const utc = (date, time) => new Date(date + 'T' + time + o).toISOString().replace('.000Z', 'Z');
  for (const [from, to] of [
    [YESTERDAY + 'T10:00:00', TODAY + 'T05:00:00'],
    [YESTERDAY + 'T10:00:00' + o, TODAY + 'T05:00:00' + o],
    [utc(YESTERDAY, '10:00:00'), utc(TODAY, '05:00:00')],
  ]) {
    const url = gateway.base + '/api/recordings?recorder=live&channel=3&from=' + encodeURIComponent(from) + '&to=' +
      encodeURIComponent(to);
    const response = await fetch(url);
    assert(response.status === 200 && response.headers.get('content-type') === 'application/json',
      from + ': HTTP ' + response.status);
    const found = await response.json();
    assert(found.recorder === 'live' && found.channel === 3 && found.time_zone === ZONE, 'header: ' +
      JSON.stringify(found).slice(0, 200));
    assert(found.from === YESTERDAY + 'T10:00:00' + o && found.to === TODAY + 'T05:00:00' + o,
      'the span in local time with its offset: ' + found.from + ' .. ' + found.to);
    const expected = [[YESTERDAY, 12, 4], [YESTERDAY, 16, 5], [YESTERDAY, 20, 6], [TODAY, 0, 1], [TODAY, 4, 2]];
    assert(found.recordings.length === expected.length, from + ': ' + JSON.stringify(found.recordings));
    found.recordings.forEach((r, i) => {
      const [date, hour, n] = expected[i];
      const hh = String(hour).padStart(2, '0');
      assert(r.start === date + 'T' + hh + ':00:00' + o && r.end === date + 'T' + hh + ':09:59' + o &&
             r.seconds === 600 && r.value === 3 * 256 + n, 'recording ' + i + ': ' + JSON.stringify(r));
    });
  }
  // Two days, one query each, for every search.
  const searches = (recorder.text().match(/search/g) || []).length - searchesBefore;
  assert(searches === 6, 'day queries the recorder saw: ' + searches);
});

test('archive requests the gateway cannot serve get their status', async ({ gateway }) => {
  const q = (s) => gateway.base + s;
  const T = TODAY + 'T04:00:00';
  for (const [url, status] of [
    ['/api/recordings?recorder=live&from=' + T + '&to=' + T, 400],
    ['/api/recordings?recorder=live&channel=x&from=' + T + '&to=' + T, 400],
    ['/api/recordings?recorder=live&channel=0&from=yesterday&to=' + T, 400],
    ['/api/recordings?recorder=live&channel=0&from=' + T + '&to=' + YESTERDAY + 'T00:00:00', 400],
    ['/api/recordings?recorder=live&channel=0&from=2020-01-01T00:00:00&to=' + T, 400],
    ['/api/recordings?recorder=live&channel=0&kind=300&from=' + T + '&to=' + T, 400],
    ['/api/recordings?recorder=other&channel=0&from=' + T + '&to=' + T, 404],
    ['/api/recordings?recorder=live&channel=8&from=' + T + '&to=' + T, 404],
    ['/live/0.mp4?start=' + T, 400],
    ['/live/0.mp4?start=' + T + '&end=' + T, 400],
    ['/live/0.mp4?start=' + T + '&end=' + TODAY + 'T03:00:00', 400],
    ['/live/8.mp4?start=' + T + '&end=' + TODAY + 'T04:00:10', 404],
    ['/live/0.mp4?start=' + TODAY + 'T02:00:00&end=' + TODAY + 'T02:00:10', 404],  // nothing recorded
  ]) {
    const response = await fetch(q(url));
    assert(response.status === status, url + ': ' + response.status + ' ' + (await response.text()));
  }
});

test('a clip holds every frame of its stretch and no more, and says its name', async ({ gateway, dir }) => {
  for (const [start, end, seconds] of [
    ['T04:00:05', 'T04:00:15', 10],
    ['T08:09:50', 'T08:10:30', 10],  // the recording ends at 08:09:59
    ['T20:00:00', 'T20:00:01', 1],
  ]) {
    const url = gateway.base + '/live/1.mp4?start=' + TODAY + start + '&end=' + TODAY + end;
    const { response, bytes } = await fetchAll(url);
    assert(response.status === 200 && response.headers.get('content-type') === 'video/mp4', start + ': HTTP ' +
      response.status);
    const name = 'live-1-' + TODAY.replaceAll('-', '') + '-' + start.slice(1).replaceAll(':', '') + '-' +
      end.slice(1).replaceAll(':', '') + '.mp4';
    assert(response.headers.get('content-disposition') === 'inline; filename="' + name + '"',
      'file name: ' + response.headers.get('content-disposition'));
    const top = boxes(bytes).map((b) => b.type);
    assert(top[0] === 'ftyp' && top[1] === 'moov' && top[2] === 'moof', 'fragmented, to play while it loads: ' + top);
    const file = path.join(dir, name);
    fs.writeFileSync(file, bytes);
    const p = probe(file);
    assert(p.codec === 'h264' && p.frames === seconds * FPS && Math.abs(p.duration - seconds) < 0.001,
      start + '-' + end + ': ' + JSON.stringify(p));
  }
});

test('two clips at once, from two channels, each whole', async ({ gateway, dir }) => {
  const clips = await Promise.all([[0, 20], [2, 30]].map(async ([channel, seconds]) => {
    const url = gateway.base + '/live/' + channel + '.mp4?start=' + TODAY + 'T16:00:00&end=' + TODAY + 'T16:00:' +
      String(seconds).padStart(2, '0');
    return { channel, seconds, ...(await fetchAll(url)) };
  }));
  for (const c of clips) {
    assert(c.response.status === 200, 'channel ' + c.channel + ': HTTP ' + c.response.status);
    const file = path.join(dir, 'at-once-' + c.channel + '.mp4');
    fs.writeFileSync(file, c.bytes);
    const p = probe(file);
    assert(p.frames === c.seconds * FPS && Math.abs(p.duration - c.seconds) < 0.001,
      'channel ' + c.channel + ': ' + JSON.stringify(p));
  }
});

// Reads until the first bytes, then hands the reader back.
async function firstBytes(url) {
  const controller = new AbortController();
  const response = await fetch(url, { signal: controller.signal });
  const reader = response.body.getReader();
  const first = await reader.read();
  return { response, reader, controller, first };
}

test('a client that goes away stops its download from the recorder', async ({ gateway, recorder }) => {
  const url = gateway.base + '/live/3.mp4?start=' + TODAY + 'T12:00:00&end=' + TODAY + 'T12:00:59';
  const { response, controller, first } = await firstBytes(url);
  assert(response.status === 200 && !first.done, 'the clip began');
  controller.abort();
  // 59 s of frames at the recorder's 200 a second would take 7 s.
  const line = await recorder.logged(/download channel 3: (\d+) frames sent, \d+ payload bytes, connection gone/, 5000);
  assert(Number(line[1]) < 59 * FPS, 'frames sent: ' + line[1]);
});

test('a recorder lost in the middle of a clip gives an error, not a short file', async ({ dir }) => {
  const recorder = await startRecorder(dir, paths, 0, [], 'lost-recorder');
  const gateway = await startGateway(dir, paths, recorder.port, [], { TZ: ZONE }, 'lost-gateway');
  try {
    await gateway.logged(/logged in to/);
    const url = gateway.base + '/live/0.mp4?start=' + TODAY + 'T12:00:00&end=' + TODAY + 'T12:00:59';
    const { response, reader, first } = await firstBytes(url);
    assert(response.status === 200 && !first.done, 'the clip began');
    await recorder.kill();
    let error = null;
    try {
      for (let r = first; !r.done; r = await reader.read()) { /* read to the end */ }
    } catch (e) {
      error = e;
    }
    assert(error !== null, 'the response ended as if complete');
    await gateway.logged(/clip .* after \d+ bytes: connection closed/, 5000);
  } finally {
    await gateway.stop();
    await recorder.kill();
  }
});

await runTests(async () => {
  const dir = scratch();
  const recorder = await startRecorder(dir, paths);
  const gateway = await startGateway(dir, paths, recorder.port, [], { TZ: ZONE });
  await gateway.logged(/logged in to/);
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
