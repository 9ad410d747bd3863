// Debian's Chromium (the headless shell, or the full browser headless)
// driven by puppeteer-core, for the page tests and the figures.
import fs from 'node:fs';
import puppeteer from 'puppeteer-core';
import { SKIP, args, runTests, scratch, startGateway, startRecorder } from './harness.mjs';

export function findChromium(given) {
  for (const file of [given, process.env.KESTREL_CHROMIUM, '/usr/bin/chromium-headless-shell', '/usr/bin/chromium']) {
    if (file && fs.existsSync(file)) {
      return file;
    }
  }
  return null;
}

export async function launch(executablePath) {
  return puppeteer.launch({
    executablePath,
    headless: executablePath.endsWith('headless-shell') ? 'shell' : true,
    // Video plays muted with no gesture; no sandbox as root in CI; a tab in
    // the background keeps its timers.
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--disable-background-timer-throttling',
      '--disable-renderer-backgrounding', '--mute-audio'],
    protocolTimeout: 60000,
  });
}

// What every tile of the page shows: key, state, first painted frame
// (ms after navigation), errors, and its video's time, size and buffer.
export function tiles(page) {
  return page.evaluate(() => window.kestrelTiles.map((t) => {
    const node = document.querySelector('.tile[data-key="' + t.key + '"]');
    const v = node ? node.querySelector('video') : null;
    return {
      key: t.key, createdMs: t.createdMs, firstBytesMs: t.firstBytesMs, firstFrameMs: t.firstFrameMs, errors: t.errors,
      reconnections: t.reconnections, jumps: t.jumps,
      state: node ? node.dataset.state : null, present: node !== null,
      time: v ? v.currentTime : 0, width: v ? v.videoWidth : 0, height: v ? v.videoHeight : 0,
      error: v && v.error ? v.error.message || String(v.error.code) : null,
      behind: v && v.buffered.length ? v.buffered.end(v.buffered.length - 1) - v.currentTime : null,
      bufferedEnd: v && v.buffered.length ? v.buffered.end(v.buffered.length - 1) : null,
    };
  }));
}

// The programs and the browser of a browser test, or exit 77 (skipped).
export function browserPaths() {
  const paths = args();
  paths.chromium = findChromium(paths.chromium);
  if (!paths.kestrel || !paths.recorder || !paths.chromium) {
    console.log('kestrel, kestrel-recorder and Chromium are needed');
    process.exit(SKIP);
  }
  return paths;
}

// Runs the file's tests with a recorder, a gateway (with gatewayArgs) and a
// browser; their logs are kept when a test failed.
export function runBrowserTests(paths, gatewayArgs = []) {
  return runTests(async () => {
    const dir = scratch();
    const recorder = await startRecorder(dir, paths);
    const gateway = await startGateway(dir, paths, recorder.port, gatewayArgs);
    const browser = await launch(paths.chromium);
    return { dir, recorder, gateway, browser };
  }, async (context, failed) => {
    await context.browser.close();
    const status = await context.gateway.stop();
    await context.recorder.stop();
    if (failed || status !== 0) {
      console.log('gateway exit ' + status + '; logs in ' + context.dir + ':\n' + context.gateway.text().slice(-6000));
      process.exitCode = 1;
    } else {
      fs.rmSync(context.dir, { recursive: true, force: true });
    }
  });
}
