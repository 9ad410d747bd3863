// Debian's browsers driven by puppeteer-core, for the page tests and the
// figures: Chromium (the headless shell, or the full browser headless) over
// its DevTools protocol, Firefox ESR over WebDriver BiDi.
import fs from 'node:fs';
import puppeteer from 'puppeteer-core';
import { SKIP, args, runTests, scratch, startGateway, startRecorder } from './harness.mjs';

// Where each browser is looked for after the path given on the command line
// and the one in the environment.
const BROWSERS = {
  chromium: { env: 'KESTREL_CHROMIUM', files: ['/usr/bin/chromium-headless-shell', '/usr/bin/chromium'] },
  firefox: { env: 'KESTREL_FIREFOX', files: ['/usr/bin/firefox-esr', '/usr/bin/firefox'] },
};

export function findBrowser(kind, given) {
  for (const file of [given, process.env[BROWSERS[kind].env], ...BROWSERS[kind].files]) {
    if (file && fs.existsSync(file)) {
      return file;
    }
  }
  return null;
}

export const findChromium = (given) => findBrowser('chromium', given);

export async function launch(executablePath, kind = 'chromium', extraArgs = []) {
  if (kind === 'firefox') {
    return puppeteer.launch({
      browser: 'firefox',
      executablePath,
      headless: true,
      // Video plays with no gesture (muted video already may); a tab in the
      // background keeps its timers.
      extraPrefsFirefox: { 'media.autoplay.default': 0, 'dom.min_background_timeout_value': 4,
        'dom.timeout.enable_budget_timer_throttling': false },
      protocolTimeout: 60000,
    });
  }
  return puppeteer.launch({
    executablePath,
    headless: executablePath.endsWith('headless-shell') ? 'shell' : true,
    // Video plays muted with no gesture; no sandbox as root in CI; a tab in
    // the background keeps its timers.
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--disable-background-timer-throttling',
      '--disable-renderer-backgrounding', '--mute-audio', ...extraArgs],
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
      reconnections: t.reconnections, jumps: t.jumps, via: t.via, fallbacks: t.fallbacks,
      framesDecoded: t.framesDecoded, delayMs: t.delayMs,
      label: node ? node.querySelector('.via').textContent : null,
      state: node ? node.dataset.state : null, present: node !== null,
      time: v ? v.currentTime : 0, width: v ? v.videoWidth : 0, height: v ? v.videoHeight : 0,
      error: v && v.error ? v.error.message || String(v.error.code) : null,
      behind: v && v.buffered.length ? v.buffered.end(v.buffered.length - 1) - v.currentTime : null,
      bufferedEnd: v && v.buffered.length ? v.buffered.end(v.buffered.length - 1) : null,
    };
  }));
}

// The programs and the browser of a browser test (--browser chromium, the
// default, or firefox; --chromium or --firefox PATH), or exit 77 (skipped).
export function browserPaths() {
  const paths = args();
  paths.browser ??= 'chromium';
  if (!BROWSERS[paths.browser]) {
    console.log('unknown browser ' + paths.browser + ' (chromium or firefox)');
    process.exit(2);
  }
  paths.executable = findBrowser(paths.browser, paths[paths.browser]);
  if (!paths.kestrel || !paths.recorder || !paths.executable) {
    console.log('kestrel, kestrel-recorder and ' + paths.browser + ' are needed');
    process.exit(SKIP);
  }
  console.log('browser: ' + paths.browser + ' (' + paths.executable + ')');
  return paths;
}

// Runs the file's tests with a recorder, a gateway (with gatewayArgs) and a
// browser; their logs are kept when a test failed.
export function runBrowserTests(paths, gatewayArgs = []) {
  return runTests(async () => {
    const dir = scratch();
    const recorder = await startRecorder(dir, paths);
    const gateway = await startGateway(dir, paths, recorder.port, gatewayArgs);
    const browser = await launch(paths.executable, paths.browser);
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
