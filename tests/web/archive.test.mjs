// The recorders' archive through the gateway, against kestrel-recorder (which
// records six 10-minute stretches a day on every channel: 00:00, 04:00 ...
// 20:00): the search over two days with its times in ISO 8601 (the gateway
// runs in Europe/Paris, so every offset is stated), clips judged by ffprobe
// (frames and duration of the stretch), clips at once, a client that goes
// away, and a recorder lost in the middle of a clip.
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import {
  SKIP, args, assert, boxes, eventually, run, runWithGateway, startGateway, startRecorder, test,
} from './harness.mjs';

const paths = args();
const ffprobe = paths.ffprobe;
paths.ffmpeg ??= path.join(path.dirname(ffprobe), 'ffmpeg');
if (!paths.kestrel || !paths.recorder || !ffprobe || !fs.existsSync(paths.ffmpeg)) {
  console.log('kestrel, kestrel-recorder, ffprobe and ffmpeg are needed');
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
  // Two days, one query each, for every search. The recorder logs a query
  // once it has answered it, so the last line may come just after the reply.
  const searches = () => (recorder.text().match(/search/g) || []).length - searchesBefore;
  await eventually('the recorder logged its day queries', () => searches() >= 6, 5000).catch(() => {});
  assert(searches() === 6, 'day queries the recorder saw: ' + searches());
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

test('two clips at once, from two channels, each whole over the recorder\'s downloads', async ({ gateway, dir, recorder }) => {
  const downloads = () => (recorder.text().match(/download of channel [02] /g) || []).length;
  const before = downloads();
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
  // 20 s in one download, 30 s in two (20 + 10: the cap is 20 s).
  assert(downloads() - before === 3, 'downloads asked for: ' + (downloads() - before));
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

// A small RTSP client over one TCP connection (RTP interleaved): requests
// in order, their answers, and the RTP packets counted as they come.
class RtspClient {
  constructor(port) {
    this.port = port;
    this.cseq = 0;
    this.buffer = Buffer.alloc(0);
    this.waiting = null;  // the answer awaited
    this.packets = 0;
    this.firstPacket = null;
  }

  async connect() {
    this.socket = net.connect(this.port, '127.0.0.1');
    await new Promise((resolve, reject) => {
      this.socket.once('connect', resolve);
      this.socket.once('error', reject);
    });
    this.socket.on('data', (chunk) => this.take(chunk));
  }

  take(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    for (;;) {
      if (this.buffer.length >= 4 && this.buffer[0] === 0x24) {
        const size = this.buffer.readUInt16BE(2);
        if (this.buffer.length < 4 + size) {
          return;
        }
        if (this.buffer[1] === 0) {
          this.packets++;
          this.firstPacket ??= this.buffer.subarray(4, 4 + size);
        }
        this.buffer = this.buffer.subarray(4 + size);
        continue;
      }
      const end = this.buffer.indexOf('\r\n\r\n');
      if (end < 0) {
        return;
      }
      const head = this.buffer.subarray(0, end).toString();
      const length = Number((head.match(/\r\nContent-Length: *(\d+)/i) || [0, 0])[1]);
      if (this.buffer.length < end + 4 + length) {
        return;
      }
      const body = this.buffer.subarray(end + 4, end + 4 + length).toString();
      this.buffer = this.buffer.subarray(end + 4 + length);
      const waiting = this.waiting;
      this.waiting = null;
      waiting?.({ status: Number(head.split(' ')[1]), head, body });
    }
  }

  request(method, url, headers = {}) {
    const lines = [method + ' ' + url + ' RTSP/1.0', 'CSeq: ' + ++this.cseq];
    if (this.session) {
      lines.push('Session: ' + this.session);
    }
    for (const [k, v] of Object.entries(headers)) {
      lines.push(k + ': ' + v);
    }
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(method + ': no answer in 10 s')), 10000);
      this.waiting = (answer) => {
        clearTimeout(timer);
        resolve(answer);
      };
      this.socket.write(lines.join('\r\n') + '\r\n\r\n');
    });
  }

  // OPTIONS, DESCRIBE, SETUP of the video over TCP: the URL PLAY takes.
  async setup(url) {
    await this.connect();
    const described = await this.request('DESCRIBE', url, { Accept: 'application/sdp' });
    assert(described.status === 200, 'DESCRIBE: ' + described.head);
    const base = described.head.match(/\r\nContent-Base: *(\S+)/i)[1];
    const control = described.body.match(/a=control:(\S+)/g).pop().slice('a=control:'.length);
    const set = await this.request('SETUP', /^rtsp:/.test(control) ? control : base + control,
      { Transport: 'RTP/AVP/TCP;unicast;interleaved=0-1' });
    assert(set.status === 200, 'SETUP: ' + set.head);
    this.session = set.head.match(/\r\nSession: *([^;\r]+)/i)[1];
    return { base, described };
  }

  // RTP packets that come within ms.
  async countFor(ms) {
    const before = this.packets;
    await new Promise((resolve) => setTimeout(resolve, ms));
    return this.packets - before;
  }

  close() {
    this.socket?.destroy();
  }
}

const controls = (recorder) => recorder.text().match(/playback control operation \d+/g) || [];

test('an RTSP playback starts on the recording\'s frame at its start time', async ({ gateway }) => {
  const start = TODAY + 'T04:05:00';
  // The frames from that time, as the clip of the same stretch has them.
  const frames = (url) => {
    const r = run(paths.ffmpeg, ['-v', 'error', ...(url.startsWith('rtsp:') ? ['-rtsp_transport', 'tcp'] : []),
      '-i', url, '-frames:v', '10', '-f', 'framemd5', '-'], 30000);
    assert(r.status === 0, url + ': ' + r.err);
    return r.out.trim().split('\n').filter((l) => !l.startsWith('#')).map((l) => l.split(',').pop().trim());
  };
  const clip = frames(gateway.base + '/live/5.mp4?start=' + start + '&end=' + TODAY + 'T04:05:02');
  const played = frames('rtsp://127.0.0.1:' + gateway.rtspPort + '/live/5?start=' + start);
  assert(clip.length === 10 && clip.join() === played.join(), 'first frames: clip ' + clip + ', RTSP playback ' +
    played);
  const r = run(ffprobe, ['-v', 'error', '-rtsp_transport', 'tcp', '-show_entries', 'format=duration', '-of',
    'csv=p=0', 'rtsp://127.0.0.1:' + gateway.rtspPort + '/live/5?start=' + start], 30000);
  // (The server reports the pipeline's duration, which may be a frame or
  // a second short of the recording's end.)
  assert(Math.abs(Number(r.out.trim()) - 300) <= 1, 'duration: what the recording holds from 04:05:00: ' + r.out);
  const none = run(ffprobe, ['-v', 'error', '-rtsp_transport', 'tcp', 'rtsp://127.0.0.1:' + gateway.rtspPort +
    '/live/5?start=' + TODAY + 'T02:00:00'], 30000);
  assert(none.status !== 0, 'a start with nothing recorded is refused');
});

test('RTSP PAUSE, PLAY and PLAY with a Range act on the recorder\'s playback', async ({ gateway, recorder }) => {
  const client = new RtspClient(gateway.rtspPort);
  try {
    const { base } = await client.setup('rtsp://127.0.0.1:' + gateway.rtspPort + '/live/6?start=' + TODAY +
      'T08:02:00');
    const play = await client.request('PLAY', base, { Range: 'npt=0-' });
    assert(play.status === 200, 'PLAY: ' + play.head);
    assert(await eventually('RTP packets', () => client.packets > 10, 10000), 'plays');
    const before = controls(recorder).length;
    const paused = await client.request('PAUSE', base);
    assert(paused.status === 200, 'PAUSE: ' + paused.head);
    await recorder.logged(new RegExp('(playback control operation \\d+[^]*){' + (before + 1) + '}'), 5000);
    assert(controls(recorder)[before] === 'playback control operation 0', 'pause sent: ' + controls(recorder));
    await client.countFor(500);  // what was on its way
    const whilePaused = await client.countFor(1000);
    assert(whilePaused === 0, 'packets while paused: ' + whilePaused);
    const resumed = await client.request('PLAY', base);
    assert(resumed.status === 200, 'resume: ' + resumed.head);
    await eventually('resume sent', () => controls(recorder)[before + 1] === 'playback control operation 1', 5000);
    assert(await client.countFor(1500) > 10, 'plays again');
    // A seek: the recorder plays again from 08:02:00 + 60 s.
    const seek = await client.request('PLAY', base, { Range: 'npt=60-' });
    assert(seek.status === 200 && /Range: *npt=60/i.test(seek.head), 'PLAY with a Range: ' + seek.head);
    await recorder.logged(/playback of channel 6 from \d{4}-\d\d-\d\d 0[78]:03:00 requested/, 5000);
    assert(await client.countFor(1500) > 10, 'plays after the seek');
  } finally {
    client.close();
  }
});

// The recorder caps a download at 20 s: longer clips take several.
await runWithGateway(paths, { TZ: ZONE }, true, ['--download-cap', '20']);
