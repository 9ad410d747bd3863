// WS-Discovery of the gateway's ONVIF devices, in a network namespace of the
// test's own (loopback up, 224.0.0.0/4 routed to it; needs root and
// unshare, else skipped): a Hello per device as the gateway starts, the npm
// onvif client's Probe answered with a ProbeMatch per device (its service
// address, scopes of name and location), a Resolve by UUID, and a Bye per
// device as the gateway stops.
import dgram from 'node:dgram';
import fs from 'node:fs';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { Program, SKIP, args, assert, eventually, runTests, scratch, test } from './harness.mjs';

const paths = args();
if (!process.env.KN_IN_NAMESPACE) {
  // Again, inside a namespace of its own.
  if (spawnSync('unshare', ['-n', 'true']).status !== 0) {
    console.log('no network namespace of its own here (needs root and unshare): skipped');
    process.exit(SKIP);
  }
  const r = spawnSync('unshare', ['-n', process.execPath, ...process.argv.slice(1)],
    { stdio: 'inherit', env: { ...process.env, KN_IN_NAMESPACE: '1' }, timeout: 110000 });
  process.exit(r.status ?? 1);
}
const require = createRequire(import.meta.url);
let onvif;
try {
  onvif = require('onvif');
} catch {
  process.exit(SKIP);
}
for (const argv of [['link', 'set', 'lo', 'up'], ['route', 'add', '224.0.0.0/4', 'dev', 'lo']]) {
  if (spawnSync('ip', argv).status !== 0) {
    console.log('cannot set up the namespace\'s loopback: skipped');
    process.exit(SKIP);
  }
}

const GROUP = '239.255.255.250';
const HTTP = 18560;  // the namespace's own ports
const heard = [];  // what the group carries
const group = dgram.createSocket({ type: 'udp4', reuseAddr: true });
await new Promise((resolve) => group.bind(3702, resolve));
group.addMembership(GROUP, '127.0.0.1');
group.on('message', (m) => heard.push(m.toString()));

const said = (what) => heard.filter((m) => m.includes('/discovery/' + what + '</'));

test('a Hello per device as the gateway starts', async () => {
  await eventually('three Hellos', () => said('Hello').length === 3, 10000);
  assert(said('Hello').every((m) => m.includes('dn:NetworkVideoTransmitter tds:Device')), 'the types');
  assert(said('Hello').some((m) => m.includes('http://127.0.0.1:' + HTTP + '/onvif/hall/1/device_service')),
    'a channel device\'s address');
});

test('the npm client\'s Probe finds each device with its address and scopes', async () => {
  const cams = await new Promise((resolve, reject) => onvif.Discovery.probe({ timeout: 2000, resolve: false },
    (error, found) => (error ? reject(error) : resolve(found))));
  const matches = cams.map((c) => c.probeMatches.probeMatch);
  const addresses = matches.map((m) => m.XAddrs).sort();
  assert(JSON.stringify(addresses) === JSON.stringify(['hall', 'hall/0', 'hall/1'].map((k) =>
    'http://127.0.0.1:' + HTTP + '/onvif/' + k + '/device_service').sort()), 'addresses: ' + addresses);
  const hall = matches.find((m) => m.XAddrs.endsWith('/onvif/hall/device_service'));
  assert(/onvif:\/\/www\.onvif\.org\/name\/hall( |$)/.test(hall.scopes) &&
         /onvif:\/\/www\.onvif\.org\/location\/hall-a/.test(hall.scopes), 'scopes: ' + hall.scopes);
  // A Resolve by that device's address.
  const uuid = hall.endpointReference.address;
  const socket = dgram.createSocket('udp4');
  const answer = new Promise((resolve) => socket.on('message', (m) => resolve(m.toString())));
  const id = 'urn:uuid:0e1f2d3c-4b5a-4968-8776-a5b4c3d2e1f0';
  socket.send('<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" ' +
    'xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing" ' +
    'xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery"><s:Header><a:MessageID>' + id +
    '</a:MessageID></s:Header><s:Body><d:Resolve><a:EndpointReference><a:Address>' + uuid +
    '</a:Address></a:EndpointReference></d:Resolve></s:Body></s:Envelope>', 3702, GROUP);
  const resolved = await Promise.race([answer, new Promise((resolve) => setTimeout(() => resolve(''), 5000))]);
  socket.close();
  assert(resolved.includes('<a:RelatesTo>' + id + '</a:RelatesTo>') && resolved.includes('ResolveMatch>') &&
         resolved.includes('/onvif/hall/device_service'), 'the Resolve: ' + resolved.slice(0, 300));
});

runTests(async () => {
  const dir = scratch();
  const recorder = new Program(dir, 'recorder', paths.recorder, ['--port', '0', '--channels', '2']);
  const port = Number((await recorder.logged(/listening on 127\.0\.0\.1:(\d+)/))[1]);
  fs.writeFileSync(path.join(dir, 'site.yaml'),
    'listen: 127.0.0.1:18554\nhttp: 127.0.0.1:' + HTTP + '\n' +
    'onvif:\n  channel-devices: on\n  location: hall-a\n  discovery: lo\n' +
    'recorders:\n  - name: hall\n    address: 127.0.0.1\n    port: ' + port + '\n    channels: 2\n');
  const gateway = new Program(dir, 'gateway', paths.kestrel, ['gateway', '--config', path.join(dir, 'site.yaml')],
    { KESTREL_PASSWORD: '' });
  await gateway.logged(/WS-Discovery on lo/);
  return { dir, recorder, gateway };
}, async (context, failed) => {
  const status = await context.gateway.stop();
  let byes = true;
  await eventually('three Byes', () => said('Bye').length === 3, 5000).catch(() => { byes = false; });
  if (!byes) {
    console.log('FAIL a Bye per device as the gateway stops: ' + said('Bye').length);
  }
  group.close();
  await context.recorder.stop();
  if (failed || !byes || status !== 0) {
    console.log('the gateway exited with ' + status + '; logs in ' + context.dir + ':\n' + context.gateway.text());
    process.exitCode = 1;
  } else {
    fs.rmSync(context.dir, { recursive: true, force: true });
  }
});
