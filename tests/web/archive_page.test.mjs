// The archive in the page, in Debian's Chromium: a tile opens its channel's
// recordings of the day on a timeline (kestrel-recorder records six a day),
// plays from a chosen time (the video's size and advancing time), and offers
// the clip of that time for download (fetched and checked as an MP4).
import { assert, boxes, eventually, sleep, test } from './harness.mjs';
import { browserPaths, runBrowserTests } from './browser.mjs';

const paths = browserPaths();

test('a tile opens the day\'s recordings, plays from a chosen time and offers the clip', async ({ gateway, browser }) => {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.goto(gateway.base + '/');
  const tile = '.tile[data-key="live/2"]';
  await page.waitForSelector(tile + ' .open-archive', { timeout: 20000 });
  await page.click(tile + ' .open-archive');
  await eventually('the timeline', async () => (await page.$$(tile + ' .timeline .rec')).length === 6 ||
    Promise.reject(new Error(await page.$eval(tile + ' .note', (n) => n.textContent))), 10000);
  // A click at 08:05, inside the third recording (08:00-08:09:59); a pixel
  // of the timeline is minutes of the day.
  const box = await (await page.$(tile + ' .timeline')).boundingBox();
  await page.mouse.click(box.x + box.width * (8 * 3600 + 300) / 86400, box.y + box.height / 2);
  const picked = await page.$eval(tile + ' .picked', (n) => n.textContent);
  assert(/^08:0\d:\d\d$/.test(picked), 'picked time: ' + picked);
  const href = await page.$eval(tile + ' .download', (a) => a.getAttribute('href'));
  assert(new RegExp('^/live/2\\.mp4\\?start=\\d{4}-\\d\\d-\\d\\dT' + picked + '&end=').test(href), 'clip link: ' + href);
  const clip = new Uint8Array(await (await fetch(gateway.base + href)).arrayBuffer());
  assert(boxes(clip)[0]?.type === 'ftyp', 'the clip is an MP4');
  await page.click(tile + ' .play');
  const video = tile + ' .archive video';
  const first = await eventually('the recording plays', async () => {
    const v = await page.$eval(video, (n) => ({ time: n.currentTime, width: n.videoWidth, error: n.error?.code }));
    return v.time > 0 && v.width === 352 && v;
  }, 15000);
  await sleep(1500);
  const later = await page.$eval(video, (n) => ({ time: n.currentTime, error: n.error?.code ?? null }));
  assert(later.error === null && later.time > first.time + 0.5, 'time advances: ' + first.time + ' → ' + later.time);
  assert(errors.length === 0, 'page errors: ' + errors);
  await page.close();
});

await runBrowserTests(paths);
