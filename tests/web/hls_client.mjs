// What the HLS tests and figures share: the media playlist read into its
// segments, parts and hint, a low-latency client as hls.js behaves (a
// blocking reload for the next part, then the part), and hls.js in a page.
import path from 'node:path';

const ATTR = /([A-Z0-9-]+)=("[^"]*"|[^,]*)/g;

function attributes(text) {
  const out = {};
  for (const [, key, value] of text.matchAll(ATTR)) {
    out[key] = value.startsWith('"') ? value.slice(1, -1) : value;
  }
  return out;
}

// The playlist's tags: {version, target, partTarget, serverControl,
// sequence, map, segments: [{msn, duration, uri, parts}], parts (of the
// segment being made), hint: {msn, part, uri}}.
export function parsePlaylist(text) {
  const lines = text.split('\n');
  if (lines[0] !== '#EXTM3U') {
    throw new Error('not a playlist: ' + text.slice(0, 40));
  }
  const out = { segments: [], parts: [], hint: null, lines };
  let parts = [];
  let duration = null;
  for (const line of lines.slice(1)) {
    const [tag, rest = ''] = line.split(/:(.*)/s);
    if (tag === '#EXT-X-VERSION') out.version = Number(rest);
    else if (tag === '#EXT-X-TARGETDURATION') out.target = Number(rest);
    else if (tag === '#EXT-X-PART-INF') out.partTarget = Number(attributes(rest)['PART-TARGET']);
    else if (tag === '#EXT-X-SERVER-CONTROL') out.serverControl = attributes(rest);
    else if (tag === '#EXT-X-MEDIA-SEQUENCE') out.sequence = Number(rest);
    else if (tag === '#EXT-X-MAP') out.map = attributes(rest).URI;
    else if (tag === '#EXT-X-PART') {
      const a = attributes(rest);
      parts.push({ duration: Number(a.DURATION), uri: a.URI, independent: a.INDEPENDENT === 'YES' });
    } else if (tag === '#EXTINF') duration = Number(rest.split(',')[0]);
    else if (tag === '#EXT-X-PRELOAD-HINT') {
      const uri = attributes(rest).URI;
      const [msn, part] = uri.split('.').map(Number);
      out.hint = { msn, part, uri };
    } else if (line && !line.startsWith('#')) {
      out.segments.push({ msn: out.sequence + out.segments.length, duration, uri: line, parts });
      parts = [];
    }
  }
  out.parts = parts;
  return out;
}

// A low-latency client of one playlist URL until signal aborts: each round
// a blocking reload for the hinted part, then that part. Counts what it
// got; statuses other than 200 are counted by status, but for a hinted
// part that the next keyframe made impossible (404: gone). Each request
// has a bound of its own (the gateway holds one at most 6 s); the run
// ends with the request under way, as a signal shared by every request
// would collect a listener a request in Node's fetch.
export async function followLowLatency(url, signal, counts = { parts: 0, bytes: 0, statuses: {} }, headers = {}) {
  const base = url.slice(0, url.lastIndexOf('/') + 1);
  counts.gone ??= 0;
  const get = async (u, hinted = false) => {
    const response = await fetch(u, { signal: AbortSignal.timeout(15000), headers });
    const body = new Uint8Array(await response.arrayBuffer());
    if (hinted && response.status === 404) {
      counts.gone++;
    } else if (response.status !== 200) {
      counts.statuses[response.status] = (counts.statuses[response.status] || 0) + 1;
    }
    return { status: response.status, body };
  };
  let playlist = parsePlaylist(Buffer.from((await get(url)).body).toString());
  while (!signal.aborted) {
    const { msn, part, uri } = playlist.hint;
    const reload = await get(url + '?_HLS_msn=' + msn + '&_HLS_part=' + part);
    if (reload.status === 200) {
      playlist = parsePlaylist(Buffer.from(reload.body).toString());
    }
    const got = await get(base + uri, true);
    if (got.status === 200) {
      counts.parts++;
      counts.bytes += got.body.length;
    }
  }
  return counts;
}

export const hlsScript = path.join(path.dirname(new URL(import.meta.url).pathname), 'node_modules', 'hls.js', 'dist',
  'hls.min.js');

// A page of the gateway's origin playing url with hls.js (lowLatency on
// or off); window.kestrelHls holds what the test reads: the player's
// latency, its errors, and for each painted frame the delay from the
// gateway's receipt of it (the program date of its segment) to its paint.
export async function hlsPage(browser, origin, url, lowLatency) {
  const page = await browser.newPage();
  await page.goto(origin + '/healthz');
  await page.addScriptTag({ path: hlsScript });
  await page.evaluate((src, lowLatencyMode) => {
    const video = document.createElement('video');
    video.muted = true;
    video.autoplay = true;
    document.body.appendChild(video);
    const state = { errors: [], delays: [], video };
    window.kestrelHls = state;
    const hls = new window.Hls({ lowLatencyMode, liveDurationInfinity: true });
    state.hls = hls;
    hls.on(window.Hls.Events.ERROR, (_, data) => {
      if (data.fatal) {
        state.errors.push(data.type + ': ' + data.details);
      }
    });
    hls.loadSource(src);
    hls.attachMedia(video);
    video.play().catch(() => {});
    const paint = (now, metadata) => {
      const date = hls.playingDate;
      const frag = hls.streamController && hls.streamController.currentFrag;
      if (frag && frag.programDateTime) {
        // The painted frame's media time against its fragment's date.
        const shown = frag.programDateTime + (metadata.mediaTime - frag.start) * 1000;
        state.delays.push(Date.now() - shown);
      } else if (date) {
        state.delays.push(Date.now() - date.getTime());
      }
      video.requestVideoFrameCallback(paint);
    };
    video.requestVideoFrameCallback(paint);
  }, url, lowLatency);
  return page;
}

export function hlsState(page) {
  return page.evaluate(() => {
    const s = window.kestrelHls;
    return { time: s.video.currentTime, width: s.video.videoWidth, height: s.video.videoHeight,
      latency: s.hls.latency, errors: s.errors, delays: s.delays.splice(0) };
  });
}
