// The live edge over a long run (an hour by default; KESTREL_LIVE_EDGE_MINUTES
// sets it), outside CI: a page of 8 tiles in Chromium plays for the whole
// time; every 10 s each tile's distance behind its newest buffered frame is
// sampled, and the newest buffered frame's media time is set against the
// wall clock, so a wall that drifts behind (in the player or in the
// gateway's timing) shows. At the end every tile must be within a second of
// its live edge, and the media clock within a second of the wall clock.
import { assert, eventually, sleep, test } from './harness.mjs';
import { browserPaths, runBrowserTests, tiles } from './browser.mjs';

const paths = browserPaths();
const minutes = Number(process.env.KESTREL_LIVE_EDGE_MINUTES || 60);

test('every tile stays within a second of the live edge for ' + minutes + ' minutes', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  await page.goto(gateway.base + '/');
  await eventually('every tile plays', async () => {
    const t = await tiles(page);
    return t.length === 8 && t.every((x) => x.bufferedEnd !== null && x.time > 0);
  }, 30000);
  await sleep(3000);
  const start = await tiles(page);
  const startWall = performance.now();
  let worstBehind = 0;
  const until = Date.now() + minutes * 60000;
  while (Date.now() < until) {
    await sleep(10000);
    const now = await tiles(page);
    const wall = (performance.now() - startWall) / 1000;
    const behind = now.map((t) => t.behind ?? 99);
    const drift = now.map((t, i) => (t.bufferedEnd - start[i].bufferedEnd) - wall);
    worstBehind = Math.max(worstBehind, ...behind);
    console.log('     ' + wall.toFixed(0) + ' s: behind ' + behind.map((b) => b.toFixed(2)).join(' ') +
      ' | media - wall ' + drift.map((d) => d.toFixed(2)).join(' ') + ' | jumps ' + now.map((t) => t.jumps).join(' ') +
      ' | reconnections ' + now.map((t) => t.reconnections).join(' '));
  }
  const end = await tiles(page);
  const wall = (performance.now() - startWall) / 1000;
  for (const [i, t] of end.entries()) {
    assert(t.behind !== null && t.behind < 1, t.key + ' behind the live edge by ' + t.behind);
    const drift = (t.bufferedEnd - start[i].bufferedEnd) - wall;
    assert(Math.abs(drift) < 1, t.key + ' media clock against the wall clock: ' + drift.toFixed(2) + ' s');
    assert(t.error === null, t.key + ' error ' + t.error);
  }
  console.log('     worst distance behind the live edge in the run: ' + worstBehind.toFixed(2) + ' s');
});

await runBrowserTests(paths);
