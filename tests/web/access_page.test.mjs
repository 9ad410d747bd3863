// The page over HTTPS in Chromium, with this test's CA in the browser's own
// certificate store (an NSS database made with certutil, never by ignoring
// certificate errors): a user sees only the tiles it may view and no archive
// button without the archive right; without the CA the chain is refused.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { Program, SKIP, args, assert, eventually, runTests, scratch, startRecorder, test } from './harness.mjs';
import { findChromium } from './browser.mjs';

const paths = args();
const chromium = findChromium(paths.chromium);
if (!chromium || spawnSync('certutil', ['-H']).error || spawnSync('openssl', ['version']).status !== 0) {
  console.log('Chromium, certutil (libnss3-tools) and openssl are needed');
  process.exit(SKIP);
}

function sh(dir, command) {
  const r = spawnSync('sh', ['-c', command], { cwd: dir, encoding: 'utf8' });
  assert(r.status === 0, command + ': ' + r.stderr);
}

// A Chromium whose NSS database (in its own HOME) trusts the given CA, or none.
async function browser(ctx, home, ca) {
  fs.mkdirSync(path.join(home, '.pki', 'nssdb'), { recursive: true });
  sh(home, 'certutil -d sql:.pki/nssdb -N --empty-password');
  if (ca) {
    sh(home, 'certutil -d sql:.pki/nssdb -A -t C,, -n kestrel-test -i ' + ca);
  }
  return puppeteer.launch({
    executablePath: chromium, headless: chromium.endsWith('headless-shell') ? 'shell' : true,
    args: ['--no-sandbox', '--mute-audio', '--user-data-dir=' + path.join(home, 'profile')],
    env: { ...process.env, HOME: home }, protocolTimeout: 60000,
  });
}

test('the page over HTTPS: the guard sees its one tile and no archive button', async (ctx) => {
  const b = await browser(ctx, path.join(ctx.dir, 'home-ca'), path.join(ctx.dir, 'ca.crt'));
  try {
    const page = await b.newPage();
    await page.authenticate({ username: 'guard', password: 'guard-pw' });
    const response = await page.goto('https://127.0.0.1:' + ctx.https + '/', { timeout: 20000 });
    assert(response.ok(), 'the page: ' + response.status());
    const keys = await eventually('the tiles', async () => {
      const k = await page.evaluate(() => (window.kestrelTiles || []).map((t) => t.key));
      return k.length > 0 && k;
    }, 15000);
    assert(keys.join() === 'gate/0', 'tiles ' + keys.join());
    await eventually('the tile plays', () => page.evaluate(() => {
      const v = document.querySelector('.tile video');
      return v && v.currentTime > 0;
    }), 20000);
    const archive = await page.evaluate(() => document.querySelectorAll('.open-archive').length);
    assert(archive === 0, archive + ' archive buttons');
  } finally {
    await b.close();
  }
});

test('without the CA in its store Chromium refuses the chain', async (ctx) => {
  const b = await browser(ctx, path.join(ctx.dir, 'home-none'), null);
  try {
    const page = await b.newPage();
    let error = '';
    await page.goto('https://127.0.0.1:' + ctx.https + '/', { timeout: 20000 }).catch((e) => { error = e.message; });
    assert(/ERR_CERT_AUTHORITY_INVALID/.test(error), 'loaded, or another error: ' + error);
  } finally {
    await b.close();
  }
});

runTests(async () => {
  const dir = scratch();
  sh(dir, 'openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.crt ' +
    '-days 2 -subj "/CN=kestrel page test CA" 2>/dev/null');
  sh(dir, 'openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout gw.key -out gw.csr ' +
    '-subj /CN=127.0.0.1 2>/dev/null && echo subjectAltName=IP:127.0.0.1 > ext && openssl x509 -req -in gw.csr ' +
    '-CA ca.crt -CAkey ca.key -set_serial 11 -out gw.crt -days 1 -extfile ext 2>/dev/null');
  sh(dir, 'openssl passwd -6 guard-pw > guard.hash');
  const recorder = await startRecorder(dir, paths);
  fs.writeFileSync(path.join(dir, 'site.yaml'), `listen: 127.0.0.1:0
http: 127.0.0.1:0
tls: {certificate: ${dir}/gw.crt, key: ${dir}/gw.key}
users:
  - name: guard
    password-hash: "${fs.readFileSync(path.join(dir, 'guard.hash'), 'utf8').trim()}"
    rights: [{recorder: gate, channels: [0], actions: [view]}]
recorders:
  - {name: gate, address: 127.0.0.1, port: ${recorder.port}, channels: 4}
`);
  const gateway = new Program(dir, 'gateway', paths.kestrel, ['gateway', '--config', path.join(dir, 'site.yaml')]);
  const https = Number((await gateway.logged(/serving https:\/\/127\.0\.0\.1:(\d+)\//))[1]);
  return { dir, recorder, gateway, https };
}, async (ctx, failed) => {
  const status = await ctx.gateway.stop();
  await ctx.recorder.stop();
  if (failed || status !== 0) {
    console.log('gateway exited ' + status + '; logs in ' + ctx.dir + ':\n' + ctx.gateway.text().slice(-4000));
    process.exitCode = 1;
  } else {
    fs.rmSync(ctx.dir, { recursive: true, force: true });
  }
});
