// A tile's WebRTC player: a WHEP session of its channel (an offer with a
// receive-only video transceiver, posted once ICE gathering is complete,
// and the gateway's answer), ended with a DELETE of its Location. It says
// what happened through its callbacks: onFrames (frames decoded so far),
// onRefused (the gateway or the browser cannot play it this way: the tile
// falls back) and onLost (it played and stopped: the tile reconnects).
'use strict';

window.KestrelWhep = (() => {
  const GATHER_MS = 2000;  // ICE gathering on a LAN takes a few ms; past this the offer goes as it is
  const ANSWER_MS = 8000;  // the gateway gathers its own candidates too
  const FIRST_FRAME_MS = 5000;  // after the answer: a keyframe comes within a group of pictures
  const STALL_MS = 5000;
  const STATS_EVERY_MS = 1000;
  const BUSY_TRIES = 4;  // a channel with no picture yet answers 503 with Retry-After

  // The ICE servers of the gateway's Link headers (rel="ice-server").
  function iceServers(response) {
    const servers = [];
    const links = response.headers.get('link') || '';
    for (const link of links.split(/,(?=\s*<)/)) {
      const m = link.match(/<([^>]+)>(.*)/);
      if (!m || !/rel="?ice-server"?/.test(m[2])) {
        continue;
      }
      const server = { urls: m[1] };
      const user = m[2].match(/username="([^"]*)"/);
      const credential = m[2].match(/credential="([^"]*)"/);
      if (user && credential) {
        server.username = user[1];
        server.credential = credential[1];
      }
      servers.push(server);
    }
    return servers;
  }

  function gathered(pc) {
    return new Promise((resolve) => {
      if (pc.iceGatheringState === 'complete') {
        resolve();
        return;
      }
      const timer = setTimeout(resolve, GATHER_MS);
      pc.addEventListener('icegatheringstatechange', () => {
        if (pc.iceGatheringState === 'complete') {
          clearTimeout(timer);
          resolve();
        }
      });
    });
  }

  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  class WhepPlayer {
    constructor(url, video, callbacks) {
      this.url = url;
      this.video = video;
      this.callbacks = callbacks;
      this.pc = null;
      this.location = null;
      this.stopped = false;
      this.decoded = 0;
      this.lastDecodedMs = 0;
      this.delayMs = null;
      this.previous = null;  // the last statistics, for the next one's differences
    }

    async start() {
      try {
        await this.negotiate();
      } catch (error) {
        if (!this.stopped) {
          // A gateway out of reach is no reason to give WebRTC up.
          this.callbacks.onLost(error.message);
        }
        return;
      }
      if (this.stopped || !this.pc) {
        return;
      }
      const answered = performance.now();
      this.statsTimer = setInterval(() => this.poll(answered), STATS_EVERY_MS);
    }

    async negotiate() {
      let servers = [];
      const preflight = await fetch(this.url, { method: 'OPTIONS', signal: AbortSignal.timeout(ANSWER_MS) });
      if (preflight.ok) {
        servers = iceServers(preflight);
      }
      for (let attempt = 1; !this.stopped; attempt++) {
        const pc = new RTCPeerConnection({ iceServers: servers });
        this.pc = pc;
        pc.addTransceiver('video', { direction: 'recvonly' });
        pc.ontrack = (event) => {
          this.video.srcObject = event.streams[0] || new MediaStream([event.track]);
          this.video.play().catch(() => {});
        };
        pc.onconnectionstatechange = () => {
          if (pc === this.pc && pc.connectionState === 'failed') {
            // Never connected (no route between us): another way plays.
            (this.decoded === 0 ? this.refuse : this.lose).call(this, 'the WebRTC connection failed');
          }
        };
        await pc.setLocalDescription(await pc.createOffer());
        await gathered(pc);
        if (this.stopped) {
          return;
        }
        const response = await fetch(this.url, { method: 'POST', headers: { 'Content-Type': 'application/sdp' },
          body: pc.localDescription.sdp, signal: AbortSignal.timeout(ANSWER_MS) });
        const body = await response.text();
        if (this.stopped) {
          return;
        }
        if (response.status === 201) {
          this.location = new URL(response.headers.get('location'), new URL(this.url, location.href)).href;
          await pc.setRemoteDescription({ type: 'answer', sdp: body });
          return;
        }
        pc.close();
        this.pc = null;
        if (response.status === 503) {
          // No picture yet: the channel is being opened for us. No other
          // way would play it sooner, so this is no reason to fall back.
          if (attempt >= BUSY_TRIES) {
            throw new Error('WHEP 503: ' + body.trim());
          }
          await sleep(Math.min(5, Number(response.headers.get('retry-after')) || 1) * 1000);
          continue;
        }
        this.refuse('WHEP ' + response.status + (body.trim() ? ': ' + body.trim() : ''));
        return;
      }
    }

    // Frames decoded, and the delay: the jitter buffer's wait, the decode
    // and half the round trip, over the last second.
    async poll(answered) {
      const pc = this.pc;
      if (this.stopped || !pc) {
        return;
      }
      let stats;
      try {
        stats = await pc.getStats();
      } catch (error) {
        return;
      }
      let inbound = null;
      let rtt = null;
      stats.forEach((s) => {
        if (s.type === 'inbound-rtp' && s.kind === 'video') {
          inbound = s;
        } else if (s.type === 'candidate-pair' && s.nominated && s.state === 'succeeded' &&
          s.currentRoundTripTime !== undefined) {
          rtt = s.currentRoundTripTime;
        }
      });
      const now = performance.now();
      const decoded = inbound ? inbound.framesDecoded || 0 : 0;
      if (decoded > this.decoded) {
        this.decoded = decoded;
        this.lastDecodedMs = now;
        this.callbacks.onFrames(decoded);
      }
      if (inbound && this.previous) {
        const emitted = inbound.jitterBufferEmittedCount - this.previous.jitterBufferEmittedCount;
        const frames = inbound.framesDecoded - this.previous.framesDecoded;
        if (emitted > 0 && frames > 0) {
          const buffer = (inbound.jitterBufferDelay - this.previous.jitterBufferDelay) / emitted;
          const decode = (inbound.totalDecodeTime - this.previous.totalDecodeTime) / frames;
          this.delayMs = (buffer + decode + (rtt || 0) / 2) * 1000;
        }
      }
      if (inbound) {
        this.previous = inbound;
      }
      if (this.decoded === 0 && now - answered > FIRST_FRAME_MS) {
        this.refuse('no frame decoded over WebRTC in ' + FIRST_FRAME_MS / 1000 + ' s');
      } else if (this.decoded > 0 && now - this.lastDecodedMs > STALL_MS) {
        this.lose('no frame over WebRTC for ' + STALL_MS / 1000 + ' s');
      }
    }

    refuse(reason) {
      this.stop();
      this.callbacks.onRefused(reason);
    }

    lose(reason) {
      this.stop();
      this.callbacks.onLost(reason);
    }

    // Ends the session; the gateway frees it at once.
    stop() {
      if (this.stopped) {
        return;
      }
      this.stopped = true;
      clearInterval(this.statsTimer);
      if (this.pc) {
        this.pc.close();
        this.pc = null;
      }
      if (this.location) {
        fetch(this.location, { method: 'DELETE', keepalive: true }).catch(() => {});
        this.location = null;
      }
    }
  }

  return WhepPlayer;
})();
