// Figures of the gateway's access side, measured in one run on this
// machine (not a test): the gateway's CPU per viewer over RTSPS and HTTPS
// beside the plain RTSP and HTTP listeners of the same gateway, and the
// time from a wrong password's first try to the address's refusal with the
// default hold-back.
// Usage: node tests/web/access_figures.mjs --kestrel PATH --recorder PATH
//        [--viewers N] [--seconds S]
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import http from 'node:http';
import path from 'node:path';
import { CLOCK_TICKS, Program, args, cpuTicks, scratch, sleep, startRecorder } from './harness.mjs';

const paths = args();
const viewers = Number(paths.viewers || 8);
const seconds = Number(paths.seconds || 15);
const dir = scratch();
const sh = (c) => spawnSync('sh', ['-c', c], { cwd: dir, encoding: 'utf8' });
sh('openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.crt -days 2 ' +
  '-subj /CN=ca 2>/dev/null && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout gw.key ' +
  '-out gw.csr -subj /CN=127.0.0.1 2>/dev/null && echo subjectAltName=IP:127.0.0.1 > ext && openssl x509 -req ' +
  '-in gw.csr -CA ca.crt -CAkey ca.key -set_serial 7 -out gw.crt -days 1 -extfile ext 2>/dev/null');
fs.writeFileSync(path.join(dir, 'pw'), 'pw\n');
const recorder = await startRecorder(dir, paths);
fs.writeFileSync(path.join(dir, 'site.yaml'), `listen: 127.0.0.1:0
http: 127.0.0.1:0
tls: {certificate: ${dir}/gw.crt, key: ${dir}/gw.key, plain-listen: 127.0.0.1:0, plain-http: 127.0.0.1:0}
users:
  - {name: v, password-file: ${dir}/pw, rights: [{recorder: "*", actions: [view, status]}]}
recorders:
  - {name: gate, address: 127.0.0.1, port: ${recorder.port}, channels: 8, preload: all}
`);
const gateway = new Program(dir, 'gateway', paths.kestrel, ['gateway', '--config', path.join(dir, 'site.yaml')]);
const port = async (re) => Number((await gateway.logged(re))[1]);
const ports = {
  rtsps: await port(/listening on rtsps:\/\/127\.0\.0\.1:(\d+)\//),
  rtsp: await port(/listening on rtsp:\/\/127\.0\.0\.1:(\d+)\//),
  https: await port(/serving https:\/\/127\.0\.0\.1:(\d+)\//),
  http: await port(/serving http:\/\/127\.0\.0\.1:(\d+)\//),
};
await gateway.logged(/logged in to/);
await sleep(3000);  // every channel preloaded
const ca = fs.readFileSync(path.join(dir, 'ca.crt'));

async function cpuWith(kind) {
  const stops = [];
  for (let i = 0; i < viewers; i++) {
    const ch = i % 8;
    if (kind === 'rtsp' || kind === 'rtsps') {
      // Interleaved TCP both ways, as RTSPS always is.
      const child = spawn('ffmpeg', ['-v', 'quiet', '-rtsp_transport', 'tcp', '-i',
        kind + '://v:pw@127.0.0.1:' + ports[kind] + '/gate/' + ch,
      '-c', 'copy', '-f', 'null', '-'], { stdio: 'ignore' });
      stops.push(() => child.kill('SIGKILL'));
    } else {
      const lib = kind === 'https' ? https : http;
      const req = lib.get({ host: '127.0.0.1', port: ports[kind], path: '/gate/' + ch + '.mp4', auth: 'v:pw', ca },
        (res) => res.resume());
      req.on('error', () => {});
      stops.push(() => req.destroy());
    }
  }
  await sleep(3000);
  const t0 = cpuTicks(gateway.child.pid), w0 = Date.now();
  await sleep(seconds * 1000);
  const used = (cpuTicks(gateway.child.pid) - t0) / CLOCK_TICKS, wall = (Date.now() - w0) / 1000;
  stops.forEach((s) => s());
  await sleep(2000);
  return 100 * used / wall;
}

const idle = (() => { const t = cpuTicks(gateway.child.pid); return t; })();
await sleep(5000);
const idlePct = 100 * (cpuTicks(gateway.child.pid) - idle) / CLOCK_TICKS / 5;
const results = {};
for (const kind of ['rtsp', 'rtsps', 'http', 'https']) {
  results[kind] = await cpuWith(kind);
}
console.log('gateway idle (8 channels preloaded): ' + idlePct.toFixed(1) + ' % of one core');
for (const kind of Object.keys(results)) {
  console.log(kind.padEnd(6) + ' ' + viewers + ' viewers: ' + results[kind].toFixed(1) + ' % of one core, ' +
    ((results[kind] - idlePct) / viewers).toFixed(2) + ' % per viewer over idle');
}
await gateway.stop();

// The default hold-back: wrong passwords one after another until refused.
fs.writeFileSync(path.join(dir, 'site2.yaml'), `listen: 127.0.0.1:0
http: 127.0.0.1:0
users:
  - {name: v, password-file: ${dir}/pw, rights: [{recorder: "*", actions: [view, status]}]}
recorders:
  - {name: gate, address: 127.0.0.1, port: ${recorder.port}, channels: 1}
`);
const g2 = new Program(dir, 'gateway2', paths.kestrel, ['gateway', '--config', path.join(dir, 'site2.yaml')]);
const hp = Number((await g2.logged(/serving http:\/\/127\.0\.0\.1:(\d+)\//))[1]);
const started = Date.now();
let tries = 0, code = 0;
while (code !== 429 && Date.now() - started < 60000) {
  tries++;
  code = (await fetch('http://127.0.0.1:' + hp + '/api/status',
    { headers: { authorization: 'Basic ' + Buffer.from('v:wrong' + tries).toString('base64') } })).status;
}
console.log('wrong passwords: refused (429) at try ' + tries + ', ' + ((Date.now() - started) / 1000).toFixed(2) +
  ' s after the first');
await g2.stop();
await recorder.stop();
fs.rmSync(dir, { recursive: true, force: true });
