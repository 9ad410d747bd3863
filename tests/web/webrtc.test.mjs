// WebRTC over WHEP in Chromium: a channel plays (frames decoded, as the
// browser's own statistics count them), a session ends by DELETE and by
// the browser going away, and the requests a WHEP client may send are
// answered as WHEP says. The page plays every tile over WebRTC, and falls
// back to MSE by itself when the gateway refuses its offers (an offer
// without H.264, a stream with B-frames). The gateway offers its
// candidates on loopback only.
import path from 'node:path';
import {
  assert, eventually, run, runTests, scratch, sleep, startRecorder, startWebrtcGateway, test,
} from './harness.mjs';
import { browserPaths, launch, tiles } from './browser.mjs';

const paths = browserPaths();

// In the page: a WHEP session of url (offer with every candidate, then
// the answer); codecs: the mime types to offer ([] all). Resolves with the
// response's status, headers and, once frames come, the decoded count.
async function play(page, url, codecs = []) {
  return page.evaluate(async (url, codecs) => {
    const pc = new RTCPeerConnection();
    const transceiver = pc.addTransceiver('video', { direction: 'recvonly' });
    if (codecs.length > 0) {
      transceiver.setCodecPreferences(RTCRtpReceiver.getCapabilities('video').codecs.filter((c) =>
        codecs.includes(c.mimeType)));
    }
    const video = document.createElement('video');
    video.muted = true;
    video.autoplay = true;
    document.body.appendChild(video);
    pc.ontrack = (e) => { video.srcObject = new MediaStream([e.track]); };
    await pc.setLocalDescription(await pc.createOffer());
    await new Promise((resolve) => {
      pc.onicegatheringstatechange = () => pc.iceGatheringState === 'complete' && resolve();
      setTimeout(resolve, 3000);
      if (pc.iceGatheringState === 'complete') resolve();
    });
    const response = await fetch(url, { method: 'POST', headers: { 'Content-Type': 'application/sdp' },
      body: pc.localDescription.sdp });
    const body = await response.text();
    const result = { status: response.status, location: response.headers.get('location'),
      type: response.headers.get('content-type'), body: response.status === 201 ? '' : body };
    if (response.status !== 201) {
      return result;
    }
    await pc.setRemoteDescription({ type: 'answer', sdp: body });
    window.kestrelPc = pc;
    const until = performance.now() + 20000;
    while (performance.now() < until) {
      const stats = await pc.getStats();
      stats.forEach((s) => { if (s.type === 'inbound-rtp' && s.kind === 'video') result.decoded = s.framesDecoded; });
      if (result.decoded > 25) break;
      await new Promise((r) => setTimeout(r, 100));
    }
    result.width = video.videoWidth;
    return result;
  }, url, codecs);
}

test('a channel plays over WHEP and its session ends with DELETE', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.goto(gateway.base + '/healthz');
  const r = await play(page, gateway.base + '/live/0/whep');
  assert(r.status === 201 && r.type === 'application/sdp' && /^\/live\/0\/whep\/\d+$/.test(r.location),
    'answer: ' + JSON.stringify(r));
  assert(r.decoded > 25 && r.width === 352, 'frames decoded over WebRTC: ' + JSON.stringify(r));
  const session = r.location.split('/').pop();
  const patch = await fetch(gateway.base + r.location, { method: 'PATCH', headers: {
    'Content-Type': 'application/trickle-ice-sdpfrag' }, body: 'a=end-of-candidates\r\n' });
  assert(patch.status === 405, 'PATCH: ' + patch.status);
  const gone = await fetch(gateway.base + r.location, { method: 'DELETE' });
  assert(gone.status === 200, 'DELETE: ' + gone.status);
  await gateway.logged(new RegExp('session ' + session + ' ended: ended by its client'), 5000);
  const again = await fetch(gateway.base + r.location, { method: 'DELETE' });
  assert(again.status === 404, 'a second DELETE: ' + again.status);
  await page.close();
});

test('a session whose browser went away is freed', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.goto(gateway.base + '/healthz');
  // Channel 1 is closed: the first offer opens it and is asked to come back.
  let r = await play(page, gateway.base + '/live/1/whep');
  for (let i = 0; i < 20 && r.status === 503; i++) {
    await new Promise((resolve) => setTimeout(resolve, 250));
    r = await play(page, gateway.base + '/live/1/whep');
  }
  assert(r.status === 201 && r.decoded > 0, 'a closed channel plays once it is open: ' + JSON.stringify(r));
  const session = r.location.split('/').pop();
  await page.close();  // no DELETE
  await gateway.logged(new RegExp('session ' + session + ' ended: the browser'), 45000);
});

test('WHEP requests that cannot be served get their status', async ({ gateway, browser }) => {
  const preflight = await fetch(gateway.base + '/live/0/whep', { method: 'OPTIONS' });
  assert(preflight.status === 204 && preflight.headers.get('access-control-allow-origin') === '*' &&
    /POST/.test(preflight.headers.get('access-control-allow-methods')) &&
    preflight.headers.get('accept-post') === 'application/sdp', 'preflight: ' + preflight.status);
  for (const [url, init, status] of [
    ['/live/0/whep', { method: 'GET' }, 405],
    ['/live/0/whep', { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: 'v=0' }, 415],
    ['/live/9/whep', { method: 'POST', headers: { 'Content-Type': 'application/sdp' }, body: 'v=0' }, 404],
    ['/live/0/whep', { method: 'POST', headers: { 'Content-Type': 'application/sdp' }, body: 'not sdp' }, 406],
    ['/live/0/whep/12345', { method: 'DELETE' }, 404]]) {
    const response = await fetch(gateway.base + url, init);
    assert(response.status === status, init.method + ' ' + url + ': ' + response.status);
  }
  // An offer without H.264 is refused with words the page can show.
  const page = await browser.newPage();
  await page.goto(gateway.base + '/healthz');
  const r = await play(page, gateway.base + '/live/0/whep', ['video/VP8']);
  assert(r.status === 406 && /H\.264/.test(r.body), 'a VP8 offer: ' + JSON.stringify(r));
  await page.close();
});

const CHANNELS = 4;

async function wall(page, what, check, channels = CHANNELS) {
  return eventually(what, async () => {
    const t = await tiles(page);
    return t.length === channels && t.every(check) && t;
  }, 30000);
}

// The page at url plays every tile over MSE, each having left WebRTC once
// for a refusal that says why.
async function fallsBackToMse(page, url, reason, channels = CHANNELS) {
  await page.goto(url);
  const first = await wall(page, 'every tile plays over MSE', (t) => t.via === 'mse' && t.width === 352, channels);
  await sleep(1500);
  const later = await tiles(page);
  for (const [i, t] of later.entries()) {
    assert(t.label === 'MSE' && t.fallbacks.length === 1 && reason.test(t.fallbacks[0]) &&
      t.errors.length === 0 && t.time > first[i].time + 0.5, t.key + ': ' + JSON.stringify(t));
  }
}

test('the page plays every tile over WebRTC', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.goto(gateway.base + '/');
  const first = await wall(page, 'every tile decodes over WebRTC', (t) => t.framesDecoded > 10 && t.width === 352);
  for (const t of first) {
    assert(t.via === 'webrtc' && t.label === 'WebRTC' && t.fallbacks.length === 0 && t.state === 'playing',
      t.key + ': ' + JSON.stringify(t));
  }
  // No freeze: the frames keep coming.
  await sleep(1000);
  const later = await tiles(page);
  assert(later.every((t, i) => t.framesDecoded > first[i].framesDecoded + 10), 'frames decoded ' +
    first.map((t) => t.framesDecoded) + ' → ' + later.map((t) => t.framesDecoded));
  // The status counts each channel's WebRTC client, its bytes and its
  // receiver's reports (every 2 s).
  const channels = await eventually('receiver reports in the status', async () => {
    const c = (await (await fetch(gateway.base + '/api/status')).json()).recorders[0].channels;
    return c.every((x) => x.reports.webrtc && x.reports.webrtc.round_trip_ms !== null) && c;
  }, 8000);
  for (const c of channels) {
    const r = c.reports.webrtc;
    assert(c.clients.webrtc === 1 && c.clients.web === 0 && c.sent_bytes.webrtc > 10000 && r.clients === 1 &&
      r.round_trip_ms > 0 && r.jitter_ms >= 0 && r.fraction_lost === 0, 'status: ' + JSON.stringify(c));
  }
  const metrics = await (await fetch(gateway.base + '/metrics')).text();
  assert(/^kestrel_channel_round_trip_seconds\{recorder="live",channel="3",front="webrtc"\} 0\.\d+$/m.test(metrics) &&
    /^kestrel_channel_sent_bytes_total\{recorder="live",channel="3",front="webrtc"\} [1-9]\d+$/m.test(metrics),
  'metrics:\n' + metrics);
  // Full size shows the delay from the browser's statistics.
  await (await page.$('.tile[data-key="live/1"] .size')).click();
  await eventually('the delay is shown', () => page.evaluate(() => {
    const d = document.querySelector('.tile[data-key="live/1"] .delay');
    return d.offsetWidth > 0 && /^delay \d+ ms$/.test(d.textContent);
  }), 5000);
  // A page closed ends its sessions at once.
  const logged = gateway.text().length;
  await page.close();
  await eventually('every session ended by its client', () =>
    (gateway.text().slice(logged).match(/session \d+ ended: ended by its client/g) || []).length === CHANNELS, 5000);
});

test('a page whose offers are refused falls back to MSE and plays', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  // The browser offers VP8 alone: the gateway answers 406.
  await page.evaluateOnNewDocument(() => {
    const add = RTCPeerConnection.prototype.addTransceiver;
    RTCPeerConnection.prototype.addTransceiver = function (...a) {
      const transceiver = add.apply(this, a);
      transceiver.setCodecPreferences(RTCRtpReceiver.getCapabilities('video').codecs.filter((c) =>
        c.mimeType === 'video/VP8'));
      return transceiver;
    };
  });
  await fallsBackToMse(page, gateway.base + '/', /^WHEP 406: .*H\.264/);
  await page.close();
});

// A browser shows each WebRTC frame as it decodes it: a stream whose
// pictures are reordered is refused, and the page plays it over MSE.
test('a channel whose stream has B-frames is refused over WHEP and its tile falls back to MSE', async (context) => {
  const clip = path.join(context.dir, 'bframes.h264');
  const made = run(paths.ffmpeg ?? 'ffmpeg', ['-hide_banner', '-loglevel', 'error', '-y', '-f', 'lavfi', '-i',
    'testsrc=size=352x288:rate=25:duration=2', '-c:v', 'libx264', '-preset', 'ultrafast', '-profile:v', 'main',
    '-pix_fmt', 'yuv420p', '-g', '25', '-bf', '2', '-x264-params', 'aud=1', '-f', 'h264', clip]);
  if (made.status !== 0) {
    console.log('skipped: no ffmpeg with libx264 to make a clip with B-frames (' + made.err.trim() + ')');
    return;
  }
  const recorder = await startRecorder(context.dir, paths, 0, ['--clip', clip], 'recorder-bframes');
  const gateway = await startWebrtcGateway(context.dir, paths, recorder.port, 1, 'gateway-bframes');
  try {
    await gateway.logged(/channel 0: stream opened/);
    const page = await context.browser.newPage();
    await page.goto(gateway.base + '/healthz');
    let r = await play(page, gateway.base + '/live/0/whep');
    for (let i = 0; i < 20 && r.status === 503; i++) {
      await sleep(250);
      r = await play(page, gateway.base + '/live/0/whep');
    }
    assert(r.status === 406 && /^the stream cannot go over WebRTC: .*B-frames/.test(r.body),
      'an offer for the B-frames: ' + JSON.stringify(r));
    await fallsBackToMse(page, gateway.base + '/', /^WHEP 406: the stream cannot go over WebRTC: .*B-frames/, 1);
    await page.close();
  } finally {
    const status = await gateway.stop();
    await recorder.stop();
    assert(status === 0, 'the second gateway exited with ' + status);
  }
});

test('WebRTC tiles play again over WebRTC after the recorder is killed and started again', async (context) => {
  const page = await context.browser.newPage();
  await page.goto(context.gateway.base + '/');
  await wall(page, 'every tile decodes over WebRTC', (t) => t.via === 'webrtc' && t.framesDecoded > 10);
  const port = context.recorder.port;
  await context.recorder.kill();
  await wall(page, 'the tiles show the loss', (t) => t.state === 'reconnecting' || t.state === 'lost');
  // Longer than a tile's tries at a channel with no picture (four, 2 s apart).
  await sleep(9000);
  context.recorder = await startRecorder(context.dir, paths, port);
  const back = await wall(page, 'every tile plays again', (t) => t.state === 'playing' && t.errors.length > 0);
  await sleep(1000);
  const later = await tiles(page);
  for (const [i, t] of later.entries()) {
    assert(t.via === 'webrtc' && t.fallbacks.length === 0 && t.framesDecoded > back[i].framesDecoded,
      t.key + ': ' + JSON.stringify(t));
  }
  await page.close();
});

await runTests(async () => {
  const dir = scratch();
  const recorder = await startRecorder(dir, paths);
  const gateway = await startWebrtcGateway(dir, paths, recorder.port, 4);
  await gateway.logged(/channel 0: stream opened/);
  const browser = await launch(paths.executable, paths.browser, ['--allow-loopback-in-peer-connection',
    '--disable-features=WebRtcHideLocalIpsWithMdns']);
  return { dir, recorder, gateway, browser };
}, async (context, failed) => {
  await context.browser.close();
  const status = await context.gateway.stop();
  await context.recorder.stop();
  if (failed || status !== 0) {
    console.log('gateway exit ' + status + '; logs in ' + context.dir + ':\n' + context.gateway.text().slice(-6000));
  }
});
