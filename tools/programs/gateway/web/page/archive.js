// The archive of a tile's channel: a day's recordings on a timeline (from
// /api/recordings), playing from a chosen time (the clip from there to the
// end of its recording, at most ten minutes: a fragmented MP4 that plays
// while it loads) and a clip to download. Times are the gateway's local
// time, as the recorder keeps them.
'use strict';

window.kestrelArchive = (() => {
  const DAY_S = 86400;
  const PLAY_S = 600;
  const pad = (n) => String(n).padStart(2, '0');
  const today = () => {
    const d = new Date();
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate());
  };
  // Seconds into the day of an ISO 8601 time as the gateway writes it
  // (local time with its offset).
  const secondOf = (iso) => {
    const m = iso.match(/T(\d\d):(\d\d):(\d\d)/);
    return m ? Number(m[1]) * 3600 + Number(m[2]) * 60 + Number(m[3]) : 0;
  };
  const clock = (s) => pad(Math.floor(s / 3600)) + ':' + pad(Math.floor(s / 60) % 60) + ':' + pad(s % 60);
  const at = (date, s) => date + 'T' + clock(Math.min(s, DAY_S - 1));

  const template = document.createElement('template');
  template.innerHTML = `<div class="archive" hidden>
    <div class="archive-bar">
      <input type="date" class="day" aria-label="day">
      <span class="picked">--:--:--</span>
      <button type="button" class="play">play from here</button>
      <select class="length" aria-label="clip length">
        <option value="30">30 s</option><option value="60" selected>1 min</option>
        <option value="300">5 min</option><option value="600">10 min</option>
      </select>
      <a class="download" download>download clip</a>
      <span class="note"></span>
    </div>
    <div class="timeline" title="click a time"><div class="cursor"></div></div>
    <video class="recording" controls playsinline></video>
  </div>`;

  class Archive {
    constructor(tile, recorder, channel) {
      this.recorder = recorder;
      this.channel = channel;
      this.node = template.content.firstElementChild.cloneNode(true);
      tile.appendChild(this.node);
      this.day = this.node.querySelector('.day');
      this.timeline = this.node.querySelector('.timeline');
      this.cursor = this.node.querySelector('.cursor');
      this.video = this.node.querySelector('.recording');
      this.note = this.node.querySelector('.note');
      this.download = this.node.querySelector('.download');
      this.length = this.node.querySelector('.length');
      this.recordings = [];
      this.picked = null;
      this.day.value = today();
      this.day.addEventListener('change', () => this.load());
      this.length.addEventListener('change', () => this.pick(this.picked));
      this.timeline.addEventListener('click', (e) => {
        const box = this.timeline.getBoundingClientRect();
        this.pick(Math.floor(((e.clientX - box.left) / box.width) * DAY_S));
      });
      this.node.querySelector('.play').addEventListener('click', () => this.play());
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'open-archive';
      button.textContent = 'archive';
      button.addEventListener('click', () => this.toggle());
      tile.querySelector('figcaption').appendChild(button);
    }

    toggle() {
      this.node.hidden = !this.node.hidden;
      if (!this.node.hidden) {
        this.load();
      } else {
        this.video.removeAttribute('src');
        this.video.load();
      }
    }

    async load() {
      const date = this.day.value;
      this.timeline.querySelectorAll('.rec').forEach((n) => n.remove());
      this.recordings = [];
      this.note.textContent = 'searching…';
      const url = '/api/recordings?recorder=' + encodeURIComponent(this.recorder) + '&channel=' + this.channel +
        '&from=' + date + 'T00:00:00&to=' + date + 'T23:59:59';
      try {
        const response = await fetch(url);
        if (!response.ok) {
          throw new Error((await response.text()).trim() || 'HTTP ' + response.status);
        }
        const found = await response.json();
        for (const r of found.recordings) {
          // A recording from another day is cut at midnight.
          const start = r.start.startsWith(date) ? secondOf(r.start) : 0;
          const end = r.end.startsWith(date) ? secondOf(r.end) + 1 : DAY_S;
          this.recordings.push({ start, end });
          const bar = document.createElement('div');
          bar.className = 'rec';
          bar.style.left = (100 * start / DAY_S) + '%';
          bar.style.width = Math.max(0.2, 100 * (end - start) / DAY_S) + '%';
          bar.title = clock(start) + ' – ' + clock(end);
          this.timeline.appendChild(bar);
        }
        this.note.textContent = found.recordings.length + ' recording' + (found.recordings.length === 1 ? '' : 's') +
          ' (' + found.time_zone + ')';
        this.pick(this.recordings.length ? this.recordings[0].start : null);
      } catch (error) {
        this.note.textContent = 'search failed: ' + error.message;
      }
    }

    // The recording that holds a second of the day, or null.
    holding(s) {
      return this.recordings.find((r) => r.start <= s && s < r.end) || null;
    }

    pick(s) {
      this.picked = s;
      const picked = this.node.querySelector('.picked');
      const r = s === null ? null : this.holding(s);
      this.cursor.hidden = s === null;
      if (s !== null) {
        this.cursor.style.left = (100 * s / DAY_S) + '%';
      }
      picked.textContent = s === null ? '--:--:--' : clock(s) + (r ? '' : ' (nothing recorded)');
      if (!r) {
        this.download.removeAttribute('href');
        return;
      }
      const end = Math.min(r.end, s + Number(this.length.value));
      this.download.href = this.clipUrl(s, end);
    }

    clipUrl(start, end) {
      const date = this.day.value;
      return '/' + encodeURIComponent(this.recorder) + '/' + this.channel + '.mp4?start=' + at(date, start) +
        '&end=' + (end >= DAY_S ? at(date, DAY_S - 1) : at(date, end));
    }

    play() {
      const r = this.picked === null ? null : this.holding(this.picked);
      if (!r) {
        this.note.textContent = 'pick a recorded time first';
        return;
      }
      this.video.src = this.clipUrl(this.picked, Math.min(r.end, this.picked + PLAY_S));
      this.video.play().catch(() => {});
    }
  }

  return (tile, recorder, channel) => new Archive(tile, recorder, channel);
})();
