// The live wall: a tile per channel of every recorder in /api/status, each
// playing over WebRTC (WHEP, see player.js) where the browser can, and
// otherwise the channel's fragmented MP4 (over a WebSocket) through Media
// Source Extensions, or native HLS where the browser has neither. A tile
// falls back by itself when the gateway refuses WebRTC or no frame comes
// over it, and says which way it plays; it keeps to the live edge,
// reconnects by itself, and shows the channel's state and frame rate from
// the status.
'use strict';

const STATUS_EVERY_MS = 2000;
const EDGE_EVERY_MS = 250;
const BEHIND_S = 1.0;  // further behind the buffered end than this: jump
const CATCH_UP_S = 0.5;  // further behind than this: play a little faster
const CAUGHT_UP_S = 0.25;  // back at normal speed this close
const CATCH_UP_RATE = 1.1;
const EDGE_GAP_S = 0.15;  // where to land behind the buffered end
const KEEP_S = 20;  // buffered video kept behind the playing position
const STALL_MS = 5000;  // no bytes this long: reconnect
const RETRY_MIN_MS = 500;
const RETRY_MAX_MS = 5000;
const DELAY_EVERY_MS = 1000;

// What the tests read: when each tile was made, got its first bytes and
// painted its first frame (ms since the page's navigation started), and its
// errors.
window.kestrelTiles = [];

const MediaSourceType = window.ManagedMediaSource || window.MediaSource;
const VIA_NAMES = { webrtc: 'WebRTC', mse: window.ManagedMediaSource ? 'MMS' : 'MSE', hls: 'HLS' };
// ?play=webrtc|mse|hls picks the way for every tile, and none falls back.
const FORCED_VIA = VIA_NAMES[new URLSearchParams(location.search).get('play')] ?
  new URLSearchParams(location.search).get('play') : null;

// The ways this browser can play, best first.
function waysToPlay() {
  if (FORCED_VIA) {
    return [FORCED_VIA];
  }
  const ways = [];
  if (window.RTCPeerConnection && window.KestrelWhep) {
    ways.push('webrtc');
  }
  if (MediaSourceType) {
    ways.push('mse');
  }
  if (document.createElement('video').canPlayType('application/vnd.apple.mpegurl')) {
    ways.push('hls');
  }
  return ways;
}

// The codec string of an init segment, from its avcC box.
function codecOf(bytes) {
  for (let i = 4; i + 8 < bytes.length; i++) {
    if (bytes[i] === 0x61 && bytes[i + 1] === 0x76 && bytes[i + 2] === 0x63 && bytes[i + 3] === 0x43) {
      const hex = (v) => v.toString(16).padStart(2, '0');
      return 'avc1.' + hex(bytes[i + 5]) + hex(bytes[i + 6]) + hex(bytes[i + 7]);
    }
  }
  return null;
}

function joined(chunks) {
  const size = chunks.reduce((n, c) => n + c.length, 0);
  const all = new Uint8Array(size);
  let at = 0;
  for (const c of chunks) {
    all.set(c, at);
    at += c.length;
  }
  return all;
}

class Tile {
  constructor(recorder, channel) {
    this.key = recorder.name + '/' + channel.channel;
    this.streamUrl = channel.stream;
    const node = document.getElementById('tile-template').content.firstElementChild.cloneNode(true);
    this.node = node;
    this.video = node.querySelector('video');
    this.nameNode = node.querySelector('.name');
    this.stateNode = node.querySelector('.state');
    this.rateNode = node.querySelector('.rate');
    this.viaNode = node.querySelector('.via');
    this.delayNode = node.querySelector('.delay');
    this.ways = waysToPlay();
    const snapshot = node.querySelector('.snapshot');
    snapshot.href = channel.snapshot;
    node.dataset.key = this.key;
    node.querySelector('.size').addEventListener('click', () => this.toggleFull());
    if (may('archive', recorder.name, channel.channel)) {
      window.kestrelArchive?.(node, recorder.name, channel.channel);
    }
    this.video.addEventListener('dblclick', () => this.toggleFull());
    this.video.addEventListener('error', () => this.fail('video error ' + (this.video.error && this.video.error.code)));
    this.serverState = channel.state;
    this.playerState = 'connecting';
    this.retryMs = RETRY_MIN_MS;
    this.record = { key: this.key, createdMs: performance.now(), firstBytesMs: null, firstFrameMs: null, errors: [],
      reconnections: 0, jumps: 0, via: null, fallbacks: [], framesDecoded: 0, delayMs: null };
    window.kestrelTiles.push(this.record);
    this.watchFirstFrame();
    this.update(recorder, channel);
    this.connect();
    this.edgeTimer = setInterval(() => this.keepLiveEdge(), EDGE_EVERY_MS);
    this.delayTimer = setInterval(() => this.showDelay(), DELAY_EVERY_MS);
  }

  get via() {
    return this.ways[0];
  }

  // The way of playing the tile shows, with why it left the better ones.
  showVia() {
    this.record.via = this.via;
    this.viaNode.textContent = VIA_NAMES[this.via];
    this.viaNode.title = this.record.fallbacks.length ? 'instead of WebRTC: ' + this.record.fallbacks.join('; ') :
      'plays over ' + VIA_NAMES[this.via];
  }

  // The delay the tile measures: over WebRTC the jitter buffer's wait,
  // the decode and half the round trip (the browser's statistics); over
  // MSE or HLS how far the picture shown is behind the newest frame in.
  showDelay() {
    let ms = null;
    if (this.whep) {
      ms = this.whep.delayMs;
    } else if (this.video.buffered.length > 0 && this.video.readyState >= 2) {
      ms = (this.video.buffered.end(this.video.buffered.length - 1) - this.video.currentTime) * 1000;
    }
    this.record.delayMs = ms;
    this.delayNode.textContent = ms === null ? '' : 'delay ' + Math.max(0, Math.round(ms)) + ' ms';
    this.delayNode.title = this.whep ? 'jitter buffer, decode and half the round trip (WebRTC statistics)' :
      'behind the newest frame received';
  }

  toggleFull() {
    this.node.classList.toggle('full');
  }

  watchFirstFrame() {
    const painted = (now) => {
      if (this.record.firstFrameMs === null) {
        this.record.firstFrameMs = now;
      }
    };
    if (this.video.requestVideoFrameCallback) {
      this.video.requestVideoFrameCallback((now) => painted(now));
    } else {
      this.video.addEventListener('playing', () => painted(performance.now()), { once: true });
    }
  }

  update(recorder, channel) {
    this.serverState = channel.state;
    this.nameNode.textContent = recorder.name + ' · ' + channel.name;
    this.rateNode.textContent = channel.fps.toFixed(1) + ' fps';
    this.showState();
  }

  showState() {
    // The gateway's word on the recorder wins over the player's own.
    let state = this.playerState;
    if (this.serverState === 'lost' || this.serverState === 'reconnecting') {
      state = this.serverState;
    }
    this.stateNode.textContent = state;
    this.stateNode.className = 'state ' + state;
    this.node.dataset.state = state;
  }

  connect() {
    this.showVia();
    if (this.via === 'webrtc') {
      this.connectWebrtc();
    } else if (this.via === 'hls') {
      this.connectHls();
    } else {
      this.connectMse();
    }
  }

  connectWebrtc() {
    this.generation = (this.generation || 0) + 1;
    const generation = this.generation;
    const url = this.streamUrl.replace(/\.mp4$/, '/whep');
    const mine = (f) => (...a) => generation === this.generation && f(...a);
    this.whep = new window.KestrelWhep(url, this.video, {
      onFrames: mine((n) => {
        this.record.framesDecoded = n;
        this.playerState = 'playing';
        this.retryMs = RETRY_MIN_MS;
        this.showState();
      }),
      onRefused: mine((reason) => this.fallBack(reason)),
      onLost: mine((reason) => this.fail(reason)),
    });
    this.whep.start();
  }

  // The gateway's HLS, played by the browser itself (Safari on an iPhone
  // before Managed Media Source).
  connectHls() {
    this.generation = (this.generation || 0) + 1;
    this.video.src = this.streamUrl.replace(/\.mp4$/, '/index.m3u8');
    this.video.play().catch(() => {});
  }

  // WebRTC cannot play here: the next way, at once.
  fallBack(reason) {
    if (this.ways.length < 2) {
      this.fail(reason);  // no other way (or the one asked for): try again later
      return;
    }
    this.record.fallbacks.push(reason);
    this.teardown();
    this.ways.shift();
    this.connect();
  }

  connectMse() {
    this.generation = (this.generation || 0) + 1;
    const generation = this.generation;
    this.queue = [];
    this.sourceBuffer = null;
    this.lastBytes = performance.now();
    const mediaSource = new MediaSourceType();
    this.mediaSource = mediaSource;
    if (window.ManagedMediaSource && mediaSource instanceof window.ManagedMediaSource) {
      this.video.disableRemotePlayback = true;
      this.video.srcObject = mediaSource;
    } else {
      this.video.src = URL.createObjectURL(mediaSource);
    }
    // The socket opens at once, beside the media source: what comes before
    // the source is open waits in the head.
    this.head = [];
    this.read(generation);
    mediaSource.addEventListener('sourceopen', () => this.takeHead(generation), { once: true });
    this.stallTimer = setInterval(() => {
      if (performance.now() - this.lastBytes > STALL_MS) {
        this.fail('no video for ' + STALL_MS / 1000 + ' s');
      }
    }, 1000);
  }

  // The video comes over a WebSocket: a browser opens at most six HTTP
  // connections to one server, fewer than a wall has tiles. Each message
  // is answered with the bytes taken so far, which keeps the gateway's
  // buffer for this tile bounded.
  read(generation) {
    const url = new URL(this.streamUrl, location.href);
    url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(url);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    let received = 0;
    socket.onmessage = (event) => {
      if (generation !== this.generation) {
        return;
      }
      const bytes = new Uint8Array(event.data);
      received += bytes.length;
      socket.send(String(received));
      this.lastBytes = performance.now();
      this.record.firstBytesMs ??= this.lastBytes;
      if (this.sourceBuffer) {
        this.queue.push(bytes);
        this.appendNext();
      } else {
        this.head.push(bytes);
        this.takeHead(generation);
      }
    };
    socket.onclose = (event) => {
      if (generation === this.generation) {
        this.fail('the stream closed (' + event.code + (event.reason ? ' ' + event.reason : '') + ')');
      }
    };
  }

  // Once the source is open and the init segment is in, the source buffer
  // is made for its codec and takes what came so far.
  takeHead(generation) {
    const mediaSource = this.mediaSource;
    if (generation !== this.generation || this.sourceBuffer || mediaSource.readyState !== 'open') {
      return;
    }
    const all = joined(this.head);
    const codec = codecOf(all);
    if (!codec) {
      return;
    }
    const type = 'video/mp4; codecs="' + codec + '"';
    if (!MediaSourceType.isTypeSupported(type)) {
      this.fail('this browser cannot play ' + type);
      return;
    }
    try {
      this.sourceBuffer = mediaSource.addSourceBuffer(type);
    } catch (error) {
      this.fail('addSourceBuffer: ' + error.message);
      return;
    }
    this.head = [];
    this.sourceBuffer.addEventListener('updateend', () => {
      // The first picture is shown as soon as it is in, not at the next
      // round of the live-edge timer.
      if (this.video.paused || this.video.readyState < 2) {
        this.keepLiveEdge();
      }
      this.appendNext();
    });
    this.sourceBuffer.addEventListener('error', () => this.fail('source buffer error'));
    this.queue.push(all);
    this.appendNext();
  }

  appendNext() {
    const sb = this.sourceBuffer;
    if (!sb || sb.updating || this.queue.length === 0 || this.mediaSource.readyState !== 'open') {
      return;
    }
    try {
      sb.appendBuffer(this.queue.length === 1 ? this.queue[0] : joined(this.queue));
      this.queue = [];
    } catch (error) {
      if (error.name === 'QuotaExceededError') {
        this.trim(0);
      } else {
        this.fail('append: ' + error.message);
      }
    }
  }

  // Drops what lies further behind the playing position than keep seconds.
  trim(keep) {
    const sb = this.sourceBuffer;
    if (!sb || sb.updating || sb.buffered.length === 0) {
      return;
    }
    const until = this.video.currentTime - keep;
    if (until > sb.buffered.start(0) + 1) {
      sb.remove(sb.buffered.start(0), until);
    }
  }

  // Plays close behind the newest buffered frame: a tile a little behind
  // plays faster until it is back; one far behind (a background tab, a slow
  // machine, a gap after a skip) jumps ahead.
  keepLiveEdge() {
    const v = this.video;
    if (v.buffered.length === 0) {
      return;
    }
    const end = v.buffered.end(v.buffered.length - 1);
    const start = v.buffered.start(v.buffered.length - 1);
    const behind = end - v.currentTime;
    if (behind > BEHIND_S || v.currentTime < start) {
      v.currentTime = Math.max(start, end - EDGE_GAP_S);
      v.playbackRate = 1;
      this.record.jumps++;
    } else if (behind > CATCH_UP_S) {
      v.playbackRate = CATCH_UP_RATE;
    } else if (behind < CAUGHT_UP_S) {
      v.playbackRate = 1;
    }
    if (v.paused) {
      v.play().catch(() => {});
    }
    if (v.readyState >= 2 && !v.paused) {
      this.playerState = 'playing';
      this.retryMs = RETRY_MIN_MS;
      this.showState();
    }
    if (v.currentTime > KEEP_S * 2) {
      this.trim(KEEP_S);
    }
  }

  fail(reason) {
    if (this.playerState === 'reconnecting' && this.retryTimer) {
      return;
    }
    this.record.errors.push(reason);
    this.record.reconnections++;
    this.teardown();
    this.playerState = 'reconnecting';
    this.showState();
    this.retryTimer = setTimeout(() => {
      this.retryTimer = null;
      this.connect();
    }, this.retryMs);
    this.retryMs = Math.min(this.retryMs * 2, RETRY_MAX_MS);
  }

  teardown() {
    this.generation = (this.generation || 0) + 1;
    clearInterval(this.stallTimer);
    if (this.whep) {
      this.whep.stop();
      this.whep = null;
    }
    if (this.socket) {
      this.socket.onmessage = this.socket.onclose = null;
      this.socket.close();
      this.socket = null;
    }
    this.sourceBuffer = null;
    this.queue = [];
    if (this.video.src) {
      URL.revokeObjectURL(this.video.src);
    }
    this.video.removeAttribute('src');
    this.video.srcObject = null;
    this.video.load();
  }

  close() {
    clearInterval(this.edgeTimer);
    clearInterval(this.delayTimer);
    clearTimeout(this.retryTimer);
    this.teardown();
    this.node.remove();
  }
}

// What the user logged in may do (/api/me): the wall shows only the tiles
// and buttons the user can use.
let me = null;
function may(action, recorder, channel) {
  return !me || me.rights.some((r) => r.actions.includes(action) && (r.recorder === '*' || r.recorder === recorder) &&
    (r.channels.length === 0 || r.channels.includes(channel)));
}

const tiles = new Map();
const wall = document.getElementById('wall');
const gatewayState = document.getElementById('gateway-state');

const gatewayNotes = document.getElementById('gateway-notes');

function showGateway(state, text) {
  gatewayState.textContent = text || state;
  gatewayState.className = 'state ' + state;
}

// The header: playing only while every recorder is logged in; otherwise
// which recorders are not, and why; and a reload the gateway refused.
function showSite(status) {
  const troubled = status.recorders.filter((r) => r.state !== 'logged in');
  if (troubled.length === 0) {
    showGateway('playing');
  } else {
    const state = troubled.length === status.recorders.length ? 'lost' : 'reconnecting';
    showGateway(state, troubled.length + ' of ' + status.recorders.length + ' recorder(s) not logged in');
  }
  const notes = troubled.map((r) => r.name + ': ' + r.state + (r.last_error ? ' (' + r.last_error + ')' : ''));
  const reload = status.last_reload;
  if (reload) {
    notes.push('last reload ' + reload.time + ' (' + reload.trigger + '): ' + reload.result +
      (reload.message ? ': ' + reload.message : ''));
  }
  gatewayNotes.replaceChildren(...notes.map((text) => {
    const item = document.createElement('li');
    item.textContent = text;
    return item;
  }));
  gatewayNotes.dataset.reload = reload ? reload.result : '';
}

async function refresh() {
  try {
    if (!me) {
      const who = await fetch('api/me', { cache: 'no-store' });
      me = who.ok ? await who.json() : null;
    }
    const response = await fetch('api/status', { cache: 'no-store' });
    if (!response.ok) {
      throw new Error('HTTP ' + response.status);
    }
    const status = await response.json();
    showSite(status);
    const seen = new Set();
    for (const recorder of status.recorders) {
      for (const channel of recorder.channels) {
        if (!may('view', recorder.name, channel.channel)) {
          continue;
        }
        const key = recorder.name + '/' + channel.channel;
        seen.add(key);
        let tile = tiles.get(key);
        if (!tile) {
          tile = new Tile(recorder, channel);
          tiles.set(key, tile);
          wall.appendChild(tile.node);
        } else {
          tile.update(recorder, channel);
        }
      }
    }
    for (const [key, tile] of tiles) {
      if (!seen.has(key)) {
        tile.close();
        tiles.delete(key);
      }
    }
  } catch (error) {
    showGateway('unreachable');
  }
}

document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') {
    for (const tile of tiles.values()) {
      tile.node.classList.remove('full');
    }
  }
});

// A page closed ends its WebRTC sessions at once.
window.addEventListener('pagehide', () => {
  for (const tile of tiles.values()) {
    tile.teardown();
  }
});

if (waysToPlay().length === 0) {
  showGateway('lost');
  gatewayState.textContent = 'this browser can play no live video (no WebRTC, Media Source Extensions or HLS)';
} else {
  refresh();
  setInterval(refresh, STATUS_EVERY_MS);
}
