// The gateway's ONVIF devices as the npm `onvif` client (a Profile S client
// written elsewhere) sees them: the clock read without credentials, a
// connection with them, the profiles, the stream and snapshot addresses,
// which ffprobe (RTP over UDP, over the RTSP connection and tunnelled in
// HTTP) and curl then play and fetch, a motion state of the recorder pulled
// as an event, channel devices, the subscriptions' bounds, and bad requests.
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { createRequire } from 'node:module';
import { Program, SKIP, args, assert, eventually, run, runTests, scratch, test } from './harness.mjs';

const paths = args();
const require = createRequire(import.meta.url);
let onvif;
try {
  onvif = require('onvif');
} catch {
  console.log('the onvif package is needed (npm ci --prefix tests/web)');
  process.exit(SKIP);
}
if (!paths.kestrel || !paths.recorder || !paths.ffprobe || !paths.curl) {
  console.log('kestrel, kestrel-recorder, ffprobe and curl are needed');
  process.exit(SKIP);
}
const USER = 'viewer';
const PASSWORD = 'pa55-word';

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A Cam of the npm client, connected (or the error it met).
function connect(port, devicePath, username, password) {
  return new Promise((resolve, reject) => {
    const cam = new onvif.Cam({ hostname: '127.0.0.1', port, path: devicePath, username, password, timeout: 10000,
      autoconnect: false });
    cam.connect((error) => (error ? reject(error) : resolve(cam)));
  });
}

const call = (cam, method, ...argv) => new Promise((resolve, reject) => {
  cam[method](...argv, (error, result) => (error ? reject(error) : resolve(result)));
});

function ffprobe(url, transport) {
  const r = run(paths.ffprobe, ['-v', 'error', '-rtsp_transport', transport, '-select_streams', 'v:0',
    '-show_entries', 'stream=codec_name,width,height', '-of', 'csv=p=0', '-timeout', '10000000', url], 30000);
  return r.out.trim();
}

test('the clock answers without credentials, the rest refuses them', async ({ gateway }) => {
  const anonymous = new onvif.Cam({ hostname: '127.0.0.1', port: gateway.httpPort, path: '/onvif/hall/device_service',
    autoconnect: false, timeout: 10000 });
  const time = await call(anonymous, 'getSystemDateAndTime');
  assert(Math.abs(time.getTime() - Date.now()) < 60000, 'the device clock: ' + time);
  let refused = null;
  await call(anonymous, 'getDeviceInformation').catch((e) => { refused = e; });
  assert(refused && /NotAuthorized|not authorized|401/i.test(String(refused)), 'no token refused: ' + refused);
  // The client connects whatever the password (it reads what it may); its
  // first request that needs one is refused.
  const wrong = await connect(gateway.httpPort, '/onvif/hall/device_service', USER, 'wrong').catch(() => null);
  let refusedToo = null;
  if (wrong) {
    await call(wrong, 'getDeviceInformation').catch((e) => { refusedToo = e; });
    assert(refusedToo && /NotAuthorized|not authorized/i.test(String(refusedToo)), 'a wrong password refused');
  }
});

test('a profile per channel; stream addresses play over UDP and TCP, the snapshot is a JPEG', async ({ gateway, dir }) => {
  const cam = await connect(gateway.httpPort, '/onvif/hall/device_service', USER, PASSWORD);
  const info = await call(cam, 'getDeviceInformation');
  assert(/^KN[0-9A-F]{12}$/.test(info.serialNumber), 'serial ' + info.serialNumber);
  assert(cam.profiles.length === 4, 'profiles: ' + cam.profiles.length);
  cam.profiles.forEach((p, i) => assert(p.$.token === 'profile_' + i, 'profile order: ' + p.$.token));
  const enc = cam.profiles[1].videoEncoderConfiguration;
  assert(enc.resolution.width === 352 && enc.resolution.height === 288, 'size: ' + JSON.stringify(enc.resolution));
  assert(cam.videoSources.length === 4 || cam.videoSources.$, 'video sources');
  const caps = await call(cam, 'getCapabilities');
  assert(caps.media.streamingCapabilities.RTP_TCP === true && caps.media.streamingCapabilities.RTP_RTSP_TCP === true,
    'RTP over TCP declared');
  assert(caps.events.WSPullPointSupport === true, 'PullPoint declared');
  const stream = await call(cam, 'getStreamUri', { protocol: 'RTSP', profileToken: 'profile_1' });
  const expected = 'rtsp://127.0.0.1:' + gateway.rtspPort + '/hall/1';
  assert(stream.uri === expected, 'stream ' + stream.uri);
  const udp = await call(cam, 'getStreamUri', { protocol: 'UDP', profileToken: 'profile_1' });
  assert(udp.uri === expected, 'UDP stream ' + udp.uri);
  const withUser = stream.uri.replace('rtsp://', 'rtsp://' + USER + ':' + PASSWORD + '@');
  assert(ffprobe(withUser, 'udp') === 'h264,352,288', 'ffprobe over UDP');
  assert(ffprobe(withUser, 'tcp') === 'h264,352,288', 'ffprobe over TCP');
  const tunnel = await call(cam, 'getStreamUri', { protocol: 'HTTP', profileToken: 'profile_1' });
  assert(tunnel.uri === expected, 'RTSP over HTTP ' + tunnel.uri);
  assert(ffprobe(withUser, 'http') === 'h264,352,288', 'ffprobe tunnelled in HTTP');
  const snapshot = await call(cam, 'getSnapshotUri', { profileToken: 'profile_2' });
  assert(snapshot.uri === gateway.base + '/hall/2.jpg', 'snapshot ' + snapshot.uri);
  const file = path.join(dir, 'snapshot.jpg');
  const r = run(paths.curl, ['-sf', '--digest', '-u', USER + ':' + PASSWORD, '-o', file, snapshot.uri], 30000);
  assert(r.status === 0, 'curl ' + r.status + ' ' + r.err);
  const jpeg = fs.readFileSync(file);
  assert(jpeg[0] === 0xff && jpeg[1] === 0xd8, 'a JPEG');
  let fault = null;
  await call(cam, 'getNTP').catch((e) => { fault = e; });
  assert(fault && /GetNTP is not supported/.test(String(fault)), 'an operation not served: ' + fault);
});

test('a motion state raised by the recorder is pulled as tns1:VideoSource/MotionAlarm', async ({ gateway, recorder }) => {
  const cam = await connect(gateway.httpPort, '/onvif/hall/device_service', USER, PASSWORD);
  await call(cam, 'createPullPointSubscription');
  const pulled = call(cam, 'pullMessages', {});
  await new Promise((resolve) => setTimeout(resolve, 300));  // the pull is held by the gateway by now, or soon
  recorder.child.kill('SIGUSR1');  // sets word 1 bit 2: channel 2's motion
  const deadline = Date.now() + 20000;
  let found = null;
  let answer = await pulled;
  for (;;) {
    const messages = [].concat(answer.notificationMessage || []);
    found = messages.find((m) => String(m.topic._).endsWith('VideoSource/MotionAlarm'));
    if (found || Date.now() > deadline) {
      break;
    }
    answer = await call(cam, 'pullMessages', {});
  }
  assert(found, 'a motion notification');
  const items = [].concat(found.message.message.data.simpleItem);
  assert(items[0].$.Name === 'State' && items[0].$.Value === true, 'state: ' + JSON.stringify(items));
  assert(found.message.message.source.simpleItem.$.Value === 'vs_2', 'the source is channel 2');
  recorder.child.kill('SIGUSR1');  // clears it
  await call(cam, 'unsubscribe');
});

test('a channel device has that channel alone; subscriptions are bounded, synchronised, renewed and ended',
  async ({ gateway, recorder }) => {
    const channel = await connect(gateway.httpPort, '/onvif/hall/2/device_service', USER, PASSWORD);
    assert(channel.profiles.length === 1 && channel.profiles[0].$.token === 'profile_2', 'one profile');
    const hall = await connect(gateway.httpPort, '/onvif/hall/device_service', USER, PASSWORD);
    assert((await call(channel, 'getDeviceInformation')).serialNumber !==
           (await call(hall, 'getDeviceInformation')).serialNumber, 'a serial number of its own');
    // Eight subscriptions per device; the ninth is refused.
    const cams = [];
    for (let i = 0; i < 9; i++) {
      const cam = await connect(gateway.httpPort, '/onvif/hall/device_service', USER, PASSWORD);
      const made = await call(cam, 'createPullPointSubscription').then(() => true, () => false);
      assert(made === (i < 8), 'subscription ' + i + (made ? ' made' : ' refused'));
      if (made) {
        cams.push(cam);
      }
    }
    // A state set now is given again, Initialized, by a synchronisation point.
    recorder.child.kill('SIGUSR1');
    const [first] = cams;
    await eventually('the motion pulled', async () => {
      const answer = await call(first, 'pullMessages', {});
      return [].concat(answer.notificationMessage || []).some((m) => String(m.topic._).endsWith('MotionAlarm'));
    }, 10000, 0);
    const address = first.events.subscription.subscriptionReference.address;
    const raw = (body) => new Promise((resolve, reject) => first._request({ url: address,
      body: first._envelopeHeader() + body + first._envelopeFooter() }, (error) => (error ? reject(error) : resolve())));
    await raw('<SetSynchronizationPoint xmlns="http://www.onvif.org/ver10/events/wsdl"/>');
    const synced = await call(first, 'pullMessages', {});
    assert([].concat(synced.notificationMessage || []).some((m) => m.message.message.$.PropertyOperation ===
      'Initialized'), 'the state again, Initialized');
    recorder.child.kill('SIGUSR1');  // cleared
    await call(first, 'renew', {});
    for (const cam of cams) {
      await call(cam, 'unsubscribe');
    }
    let gone = null;
    await raw('<PullMessages xmlns="http://www.onvif.org/ver10/events/wsdl"><Timeout>PT1S</Timeout>' +
      '<MessageLimit>1</MessageLimit></PullMessages>').catch((e) => { gone = e; });
    assert(gone && /no such subscription/.test(String(gone)), 'a subscription ended: ' + gone);
  });

test('bad requests get their status or fault at once; a token used twice is refused', async ({ gateway }) => {
  const url = gateway.base + '/onvif/hall/device_service';
  const post = (body, headers = {}) => fetch(url, { method: 'POST', body, headers });
  const envelope = (body, header = '') => '<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Header>' +
    header + '</s:Header><s:Body>' + body + '</s:Body></s:Envelope>';
  const big = envelope('<GetHostname xmlns="http://www.onvif.org/ver10/device/wsdl">' + 'a'.repeat(70000) +
    '</GetHostname>');
  assert((await post(big)).status === 413, 'a body past the bound');
  const doctype = await post('<!DOCTYPE x [<!ENTITY a "b">]>' + envelope('<GetHostname/>'));
  assert(doctype.status === 400 && /ter:WellFormed/.test(await doctype.text()), 'a DOCTYPE');
  const newToken = () => {
    const created = new Date().toISOString();
    const nonce = crypto.randomBytes(16);
    const digest = crypto.createHash('sha1').update(Buffer.concat([nonce, Buffer.from(created + PASSWORD)]))
      .digest('base64');
    return '<Security xmlns="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd">' +
      '<UsernameToken><Username>' + USER + '</Username><Password Type="http://docs.oasis-open.org/wss/2004/01/' +
      'oasis-200401-wss-username-token-profile-1.0#PasswordDigest">' + digest + '</Password><Nonce>' +
      nonce.toString('base64') + '</Nonce><Created xmlns="http://docs.oasis-open.org/wss/2004/01/' +
      'oasis-200401-wss-wssecurity-utility-1.0.xsd">' + created + '</Created></UsernameToken></Security>';
  };
  const unknown = await post(envelope('<GetHostname xmlns="urn:elsewhere"/>', newToken()));
  assert(unknown.status === 400 && /ter:ActionNotSupported/.test(await unknown.text()), 'an unknown operation');
  const info = envelope('<GetDeviceInformation xmlns="http://www.onvif.org/ver10/device/wsdl"/>', newToken());
  const first = await post(info);
  assert(first.status === 200 && /<tds:SerialNumber>KN/.test(await first.text()), 'the token accepted');
  const again = await post(info);
  assert(again.status === 400 && /ter:NotAuthorized/.test(await again.text()), 'the token replayed');
  // HTTP digest instead of a token (curl answers the challenge).
  const digestInfo = run(paths.curl, ['-s', '--digest', '-u', USER + ':' + PASSWORD, '-d',
    envelope('<GetDeviceInformation xmlns="http://www.onvif.org/ver10/device/wsdl"/>'), url], 30000);
  assert(/<tds:SerialNumber>KN/.test(digestInfo.out), 'HTTP digest: ' + digestInfo.out.slice(0, 200));
  const wrongDigest = run(paths.curl, ['-s', '-o', '/dev/null', '-w', '%{http_code}', '--digest', '-u', USER + ':x',
    '-d', envelope('<GetDeviceInformation xmlns="http://www.onvif.org/ver10/device/wsdl"/>'), url], 30000);
  assert(wrongDigest.out === '401', 'a wrong HTTP digest: ' + wrongDigest.out);
  // Chunked: the same bound.
  const chunked = await fetch(url, { method: 'POST', duplex: 'half', body: new ReadableStream({
    start(c) { c.enqueue(new TextEncoder().encode(big)); c.close(); } }) });
  assert(chunked.status === 413, 'a chunked body past the bound: ' + chunked.status);
});

test('/api/status lists each device service', async ({ gateway }) => {
  const status = await (await fetch(gateway.base + '/api/status', {
    headers: { Authorization: 'Basic ' + Buffer.from(USER + ':' + PASSWORD).toString('base64') } })).json();
  assert(status.recorders[0].onvif === '/onvif/hall/device_service', 'onvif: ' + status.recorders[0].onvif);
  assert(status.recorders[0].channels[3].onvif === '/onvif/hall/3/device_service', 'a channel device');
});

runTests(async () => {
  const dir = scratch();
  const recorder = new Program(dir, 'recorder', paths.recorder,
    ['--port', '0', '--channels', '4', '--raise-on-signal', '1:2']);
  const port = Number((await recorder.logged(/listening on 127\.0\.0\.1:(\d+)/))[1]);
  const rtspPort = await freePort();
  fs.writeFileSync(path.join(dir, 'site.yaml'),
    'listen: 127.0.0.1:' + rtspPort + '\nhttp: 127.0.0.1:0\n' +
    'clients: {user: ' + USER + ', password-env: ONVIF_TEST_PASSWORD}\n' +
    'events:\n  word1: motion\n' + 'onvif: {channel-devices: on}\n' +
    'recorders:\n  - name: hall\n    address: 127.0.0.1\n    port: ' + port + '\n    channels: 4\n');
  const gateway = new Program(dir, 'gateway', paths.kestrel, ['gateway', '--config', path.join(dir, 'site.yaml')],
    { ONVIF_TEST_PASSWORD: PASSWORD, KESTREL_PASSWORD: '' });
  gateway.httpPort = Number((await gateway.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  gateway.rtspPort = rtspPort;
  gateway.base = 'http://127.0.0.1:' + gateway.httpPort;
  await gateway.logged(/hall: logged in to/);
  // The channels' picture sizes are learnt one after another.
  await eventually('channel 3 learnt', () => !/channel 3: stream opened/.test('') &&
    gateway.text().match(/hall: channel 3: stream (closed|opened)/), 20000);
  return { dir, recorder, gateway };
}, async (context, failed) => {
  const status = await context.gateway.stop();
  await context.recorder.stop();
  if (failed || status !== 0) {
    console.log('the gateway exited with ' + status + '; logs in ' + context.dir + ':\n' + context.gateway.text());
    process.exitCode = 1;
  } else {
    fs.rmSync(context.dir, { recursive: true, force: true });
  }
});
