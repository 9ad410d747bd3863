// kestrel gateway's access: users with rights, over HTTPS (curl with this
// test's own CA), plain HTTP on loopback (Digest), RTSPS and RTSP (ffprobe,
// and GStreamer's rtspsrc); a table of users × paths × actions; a
// certificate renewed on disk and reloaded while a client plays; a burst of
// wrong passwords from one address, refused, while a viewer plays on; and
// the site files refused before anything is served.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import {
  Program, SKIP, args, assert, eventually, run, runTests, scratch, sleep, startRecorder, test,
} from './harness.mjs';

const paths = args();
const ffprobe = paths.ffprobe;
const openssl = spawnSync('openssl', ['version']).status === 0;
const curl = spawnSync('curl', ['--version']).status === 0;
if (!paths.kestrel || !paths.recorder || !ffprobe || !openssl || !curl) {
  console.log('kestrel, kestrel-recorder, ffprobe, openssl and curl are needed');
  process.exit(SKIP);
}
const gstLaunch = spawnSync('gst-launch-1.0', ['--version']).status === 0;

function openssl_(dir, argv) {
  const r = spawnSync('openssl', argv, { cwd: dir, encoding: 'utf8' });
  assert(r.status === 0, 'openssl ' + argv.join(' ') + ': ' + r.stderr);
  return r.stdout;
}

// A CA, and certificates for 127.0.0.1 signed by it (days < 0: expired).
function makeCa(dir, name) {
  openssl_(dir, ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout',
    name + '.key', '-out', name + '.crt', '-days', '2', '-subj', '/CN=kestrel test ' + name]);
}
function makeCert(dir, ca, name, days = 1) {
  fs.writeFileSync(path.join(dir, 'ext'), 'subjectAltName=IP:127.0.0.1\n');
  openssl_(dir, ['req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout', name + '.key',
    '-out', name + '.csr', '-subj', '/CN=127.0.0.1']);
  openssl_(dir, ['x509', '-req', '-in', name + '.csr', '-CA', ca + '.crt', '-CAkey', ca + '.key', '-set_serial',
    String(1000 + Math.floor(Math.random() * 1e6)), '-out', name + '.crt', '-days', String(days), '-extfile', 'ext']);
  return openssl_(dir, ['x509', '-in', name + '.crt', '-noout', '-serial']).trim();
}

// The serial of the certificate a TLS listener presents now.
function servedSerial(dir, port) {
  const r = spawnSync('sh', ['-c', 'openssl s_client -connect 127.0.0.1:' + port +
    ' </dev/null 2>/dev/null | openssl x509 -noout -serial'], { cwd: dir, encoding: 'utf8', timeout: 10000 });
  return r.stdout.trim();
}

function siteFile(dir, recorderPort, extra = '') {
  return `listen: 127.0.0.1:0
http: 127.0.0.1:0
audit: ${path.join(dir, 'audit.log')}
tls:
  certificate: ${path.join(dir, 'gw.crt')}
  key: ${path.join(dir, 'gw.key')}
  plain-listen: 127.0.0.1:0
  plain-http: 127.0.0.1:0
login-hold-back: {slow-after: 3, delay: 0.2, max-delay: 0.5, refuse-after: 8, window: 60, refuse-for: 2}
users:
  - name: admin
    password-file: ${path.join(dir, 'admin.pw')}
    rights: [{recorder: "*", actions: [view, archive, control, status]}]
  - name: guard
    password-hash: "${fs.readFileSync(path.join(dir, 'guard.hash'), 'utf8').trim()}"
    rights: [{recorder: gate, channels: [0], actions: [view]}]
  - name: office
    password-env: KESTREL_TEST_OFFICE_PW
    rights: [{recorder: office, actions: [view, archive]}, {recorder: "*", actions: [status]}]
  - name: anonymous
    rights: [{recorder: gate, channels: [1], actions: [view]}]
recorders:
  - name: gate
    address: 127.0.0.1
    port: ${recorderPort}
    channels: 2
  - name: office
    address: 127.0.0.1
    port: 9
    channels: 2
${extra}`;
}

const env = { KESTREL_TEST_OFFICE_PW: 'office-pw' };

async function startGateway(dir, recorderPort) {
  fs.writeFileSync(path.join(dir, 'site.yaml'), siteFile(dir, recorderPort));
  const gateway = new Program(dir, 'gateway', paths.kestrel, ['gateway', '--config', path.join(dir, 'site.yaml')], env);
  gateway.rtsps = Number((await gateway.logged(/listening on rtsps:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  gateway.rtsp = Number((await gateway.logged(/listening on rtsp:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  gateway.https = Number((await gateway.logged(/serving https:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  gateway.http = Number((await gateway.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  await gateway.logged(/gate: logged in to/);
  return gateway;
}

// curl's status code (and the challenge's schemes) for a path.
function fetchCode(ctx, scheme, pathname, login, extra = []) {
  const port = scheme === 'https' ? ctx.gateway.https : ctx.gateway.http;
  const argv = ['-s', '-o', path.join(ctx.dir, 'body'), '-D', path.join(ctx.dir, 'headers'), '-w', '%{http_code}',
    '--max-time', '10', '--cacert', path.join(ctx.dir, 'ca.crt'), ...extra];
  if (login) {
    argv.push('-u', login);
  }
  const r = run('curl', [...argv, scheme + '://127.0.0.1:' + port + pathname], 15000);
  const headers = fs.readFileSync(path.join(ctx.dir, 'headers'), 'utf8');
  return {
    code: Number(r.out), body: fs.readFileSync(path.join(ctx.dir, 'body'), 'utf8'),
    challenges: [...headers.matchAll(/^www-authenticate: (\w+)/gim)].map((m) => m[1]).join(','),
  };
}

// ffprobe's answer for a URL (its RTSP client does not check a certificate:
// the chains are checked by curl and openssl).
function probe(ctx, url, extra = []) {
  const r = run(ffprobe, ['-v', 'error', ...extra, '-show_entries', 'stream=codec_name', '-of', 'csv=p=0', url], 20000);
  if (r.status === 0 && r.out.trim() === 'h264') {
    return 'ok';
  }
  const m = /(\d{3}) [A-Z]/.exec(r.err);
  return m ? m[1] : r.err.trim().split('\n').pop();
}

// A viewer of /gate/0.mp4 over HTTPS that counts its bytes, once they flow.
async function watch(ctx, login) {
  const viewer = { bytes: 0 };
  viewer.request = https.get({
    host: '127.0.0.1', port: ctx.gateway.https, path: '/gate/0.mp4', auth: login,
    ca: fs.readFileSync(path.join(ctx.dir, 'ca.crt')),
  }, (response) => response.on('data', (d) => { viewer.bytes += d.length; }));
  viewer.request.on('error', () => {});
  await eventually('the viewer plays', () => viewer.bytes > 0, 10000);
  return viewer;
}

const GUARD = 'guard:guard-pw', ADMIN = 'admin:admin-pw', OFFICE = 'office:office-pw';

test('users × paths × actions over HTTPS and loopback HTTP: 200, 401 with a challenge, 403', async (ctx) => {
  const cases = [
    // [scheme, path, login, code, extra curl arguments]
    ['https', '/gate/0.jpg', null, 401],
    ['https', '/gate/1.jpg', null, 200],  // the anonymous user's
    ['https', '/gate/0.jpg', GUARD, 200],
    ['https', '/gate/1.jpg', GUARD, 403],
    ['https', '/gate/0.mp4', GUARD, 200, ['--max-time', '1', '-r', '0-0']],
    ['https', '/api/recordings?recorder=gate&channel=0', GUARD, 403],
    ['https', '/metrics', GUARD, 403],
    ['https', '/metrics', OFFICE, 200],
    ['https', '/gate/0.jpg', OFFICE, 403],
    ['https', '/gate/0.jpg', ADMIN, 200],
    ['https', '/metrics', ADMIN, 200],
    ['https', '/api/recordings?recorder=gate&channel=0&day=2026-12-10', OFFICE, 403],
    ['https', '/', GUARD, 200],
    ['https', '/', null, 200],  // the page, for the anonymous user's tile
    ['https', '/gate/0.jpg', 'guard:wrong', 401],
    ['http', '/gate/0.jpg', GUARD, 200],  // Basic with a hash: on loopback
    ['http', '/metrics', OFFICE, 200, ['--digest']],
    ['http', '/gate/0.jpg', ADMIN, 200, ['--digest']],
    ['http', '/healthz', null, 200],  // open with an anonymous user
    ['http', '/healthz', 'nobody:x', 401],
  ];
  const wrong = [];
  for (const [scheme, p, login, code, extra] of cases) {
    const r = fetchCode(ctx, scheme, p, login, extra);
    if (r.code !== code && !(code === 200 && r.code === 206)) {
      wrong.push(scheme + ' ' + p + ' as ' + (login || 'nobody') + ': ' + r.code + ', not ' + code);
    }
    if (r.code === 401) {
      // Over TLS Basic only (a hash user can answer it); Digest too in clear text.
      const want = scheme === 'https' ? 'Basic' : 'Digest,Basic';
      if (r.challenges !== want) {
        wrong.push(scheme + ' ' + p + ': challenges ' + r.challenges);
      }
    }
  }
  assert(wrong.length === 0, wrong.join('\n'));
  // The status: only what the user may see.
  const names = (login) => JSON.parse(fetchCode(ctx, 'https', '/api/status', login).body).recorders
    .map((r) => r.name + ':' + r.channels.map((c) => c.channel).join('+')).join(' ');
  assert(names(GUARD) === 'gate:0', 'guard sees ' + names(GUARD));
  assert(names(null) === 'gate:1', 'anonymous sees ' + names(null));
  assert(names(OFFICE) === 'gate:0+1 office:0+1', 'office sees ' + names(OFFICE));
  const me = JSON.parse(fetchCode(ctx, 'https', '/api/me', GUARD).body);
  assert(me.user === 'guard' && me.rights.length === 1 && me.rights[0].recorder === 'gate' &&
    me.rights[0].actions.join() === 'view', '/api/me: ' + JSON.stringify(me));
  // A chain from another CA fails.
  const other = run('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', '--cacert', path.join(ctx.dir, 'other.crt'),
    '-u', GUARD, 'https://127.0.0.1:' + ctx.gateway.https + '/healthz']);
  assert(other.status !== 0 && other.out === '000', 'a chain of another CA: ' + other.status + ' ' + other.out);
});

test('users × mounts over RTSPS and RTSP: ffprobe and rtspsrc; RTSPS never offers UDP', async (ctx) => {
  const s = 'rtsps://%s127.0.0.1:' + ctx.gateway.rtsps, p = 'rtsp://%s127.0.0.1:' + ctx.gateway.rtsp;
  const url = (base, login, mount) => base.replace('%s', login ? login + '@' : '') + mount;
  const cases = [
    [s, ADMIN, '/gate/0', 'ok'],
    [s, GUARD, '/gate/0', 'ok'],
    [s, GUARD, '/gate/1', 'ok'],  // no challenge: the anonymous user's mount
    [s, OFFICE, '/gate/0', '403'],
    [s, null, '/gate/0', '401'],
    [s, null, '/gate/1', 'ok'],
    [s, 'admin:wrong', '/gate/0', '401'],
    [p, OFFICE, '/gate/0', '403'],  // Digest, then a mount not the user's
    [p, ADMIN, '/gate/1', 'ok'],  // Digest in clear text
    [p, GUARD, '/gate/0', '401'],  // a hash user cannot answer Digest
  ];
  const wrong = [];
  for (const [base, login, mount, want] of cases) {
    const got = probe(ctx, url(base, login, mount));
    if (got !== want) {
      wrong.push(url(base, login, mount) + ': ' + got + ', not ' + want);
    }
  }
  assert(wrong.length === 0, wrong.join('\n'));
  // The RTSPS listener's chain: good with this test's CA, refused with another.
  const verify = (ca) => spawnSync('sh', ['-c', 'openssl s_client -verify_return_error -verify_ip 127.0.0.1 -CAfile ' +
    ca + ' -connect 127.0.0.1:' + ctx.gateway.rtsps + ' </dev/null'], { cwd: ctx.dir, encoding: 'utf8', timeout: 10000 });
  const good = verify('ca.crt'), bad = verify('other.crt');
  assert(good.status === 0 && /Verify return code: 0 \(ok\)/.test(good.stdout), 'RTSPS chain: ' + good.stdout.slice(-300));
  assert(bad.status !== 0, 'RTSPS chain of another CA accepted');
  if (gstLaunch) {
    // GStreamer's client: the chain is checked by openssl below
    // (gst-launch cannot take a CA file), the login and the stream over the
    // TLS connection here.
    // 100 RTP packets reached the sink; what rtspsrc says of the teardown
    // after its EOS (at times that the TLS connection closed under its
    // PAUSE) is not the question.
    const r = run('gst-launch-1.0', ['rtspsrc', 'location=' + url(s, '', '/gate/0'), 'user-id=guard',
      'user-pw=guard-pw', 'protocols=tcp', 'tls-validation-flags=0', '!', 'application/x-rtp,media=video', '!',
      'fakesink', 'num-buffers=100'], 20000);
    assert(/Got EOS from element "pipeline0"/.test(r.out), 'rtspsrc: ' + r.out.slice(-500) + r.err);
    // Clear RTP over UDP is refused over RTSPS (ffmpeg asks TCP only there).
    const udp = run('gst-launch-1.0', ['-q', 'rtspsrc', 'location=' + url(s, '', '/gate/0'), 'user-id=guard',
      'user-pw=guard-pw', 'protocols=udp', 'tls-validation-flags=0', '!', 'fakesink', 'num-buffers=5'], 20000);
    assert(udp.status !== 0, 'RTSPS played over UDP');
  }
});

test('a renewed certificate is taken at a reload; a client playing plays on', async (ctx) => {
  const before = servedSerial(ctx.dir, ctx.gateway.https);
  const viewer = await watch(ctx, GUARD);
  const renewed = makeCert(ctx.dir, 'ca', 'renewed');
  fs.copyFileSync(path.join(ctx.dir, 'renewed.crt'), path.join(ctx.dir, 'gw.crt'));
  fs.copyFileSync(path.join(ctx.dir, 'renewed.key'), path.join(ctx.dir, 'gw.key'));
  ctx.gateway.child.kill('SIGHUP');
  await ctx.gateway.logged(/http: the TLS certificate .* taken again/);
  await ctx.gateway.logged(/rtsp: the TLS certificate .* taken again/);
  const atReload = viewer.bytes;
  await eventually('the stream flows on after the reload', () => viewer.bytes > atReload + 10000, 10000);
  viewer.request.destroy();
  assert(before !== renewed, 'a new serial');
  const https_ = servedSerial(ctx.dir, ctx.gateway.https), rtsps = servedSerial(ctx.dir, ctx.gateway.rtsps);
  assert(https_ === renewed && rtsps === renewed, 'served ' + https_ + ' / ' + rtsps + ', renewed ' + renewed);
  assert(probe(ctx, 'rtsps://' + GUARD + '@127.0.0.1:' + ctx.gateway.rtsps + '/gate/0') === 'ok', 'RTSPS after');
});

test('a burst of wrong passwords from one address is slowed then refused; a viewer plays on', async (ctx) => {
  const viewer = await watch(ctx, ADMIN);
  const codes = [];
  for (let i = 0; i < 10; i++) {
    codes.push(fetchCode(ctx, 'https', '/gate/0.jpg', 'admin:wrong-' + i).code);
  }
  assert(codes.slice(0, 8).every((c) => c === 401) && codes.slice(8).every((c) => c === 429), 'codes ' + codes);
  // Refused with the right password too, on this listener only.
  assert(fetchCode(ctx, 'https', '/gate/0.jpg', ADMIN).code === 429, 'refused while held back');
  assert(probe(ctx, 'rtsps://' + ADMIN + '@127.0.0.1:' + ctx.gateway.rtsps + '/gate/1') === 'ok', 'RTSPS serves on');
  const during = viewer.bytes;
  await eventually('the viewer plays on', () => viewer.bytes > during + 10000, 10000);
  viewer.request.destroy();
  const metrics = fetchCode(ctx, 'https', '/metrics', null);
  await eventually('the refusal ends', () => fetchCode(ctx, 'https', '/metrics', ADMIN).code === 200, 10000, 250);
  const m = /kestrel_login_refusals_total\{listener="http"\} (\d+)/.exec(fetchCode(ctx, 'https', '/metrics', ADMIN).body);
  assert(m && Number(m[1]) >= 3, 'refusals counted: ' + (m && m[1]) + ' ' + metrics.code);
  // The audit trail: the decisions, never a password.
  const audit = fs.readFileSync(path.join(ctx.dir, 'audit.log'), 'utf8').trim().split('\n').map((l) => JSON.parse(l));
  assert(audit.some((a) => a.front === 'rtsp' && a.user === 'office' && a.action === 'view' && a.recorder === 'gate' &&
    a.channel === 0 && a.allowed === false), 'an RTSP refusal in the audit');
  assert(audit.some((a) => a.front === 'http' && a.action === 'login' && a.user === 'admin' && !a.allowed),
    'a failed login in the audit');
  assert(audit.some((a) => a.front === 'http' && a.user === 'admin' && a.ended && a.bytes > 0 && a.seconds > 0),
    'a web viewer\'s end, with its bytes, in the audit');
  assert(audit.some((a) => a.front === 'rtsp' && a.action === 'view' && a.allowed && a.ended && a.bytes > 0 &&
    a.seconds > 0), 'an RTSP viewer\'s end, with its bytes, in the audit');
  const text = fs.readFileSync(path.join(ctx.dir, 'audit.log'), 'utf8');
  assert(!/admin-pw|guard-pw|office-pw|wrong-\d|\$6\$/.test(text), 'no password or hash in the audit');
});

test('refused before serving: an expired certificate, a key that does not match, a hash, a right', async (ctx) => {
  makeCert(ctx.dir, 'ca', 'expired', -1);
  const good = fs.readFileSync(path.join(ctx.dir, 'site.yaml'), 'utf8');
  const cases = [
    [good.replace(/gw\.crt/, 'expired.crt').replace(/gw\.key/, 'expired.key'), /expired\.crt expired on/],
    [good.replace(/gw\.key/, 'other.key'), /key|match/],
    [good.replace(/password-hash: ".*"/, 'password-hash: "$1$abcdefgh$xyz"'), /yescrypt \(\$y\$\.\.\.\) or SHA-512/],
    [good.replace('recorder: office,', 'recorder: hall,'), /a right names recorder 'hall'/],
    [good.replace('actions: [view, archive]}', 'actions: [view, delete]}'), /unknown action 'delete'/],
  ];
  for (const [text, says] of cases) {
    const file = path.join(ctx.dir, 'bad.yaml');
    fs.writeFileSync(file, text);
    const r = spawnSync(paths.kestrel, ['gateway', '--config', file], { encoding: 'utf8', timeout: 15000, env: { ...process.env, ...env } });
    assert(r.status === 2 && says.test(r.stderr), 'exit ' + r.status + ': ' + r.stderr + ' (wanted ' + says + ')');
    assert(!/listening|serving/.test(r.stderr), 'served before refusing: ' + r.stderr);
  }
});

runTests(async () => {
  const dir = scratch();
  makeCa(dir, 'ca');
  makeCa(dir, 'other');
  makeCert(dir, 'ca', 'gw');
  fs.writeFileSync(path.join(dir, 'admin.pw'), 'admin-pw\n');
  fs.writeFileSync(path.join(dir, 'guard.hash'), openssl_(dir, ['passwd', '-6', 'guard-pw']));
  const recorder = await startRecorder(dir, paths);
  const gateway = await startGateway(dir, recorder.port);
  return { dir, recorder, gateway };
}, async (ctx, failed) => {
  const status = await ctx.gateway.stop();
  await ctx.recorder.stop();
  if (failed || status !== 0) {
    console.log('gateway exited ' + status + '; logs in ' + ctx.dir + ':\n' + ctx.gateway.text().slice(-6000));
    process.exitCode = 1;
  } else {
    fs.rmSync(ctx.dir, { recursive: true, force: true });
  }
});
