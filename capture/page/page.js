// The operator's page: polls the daemon's JSON view for the capture table and the guide, and plays
// a capture's HLS playlists. Text from the daemon only ever reaches the page as textContent.
'use strict';

const POLL_MS = 3000;
const GUIDE_MS = 60000;
const GUIDE_HOURS = 6;
const RECENT_MINUTES = 10;
// A row stays marked this long after its drops or continuity errors last rose.
const RISING_MS = 60000;

const byId = (id) => document.getElementById(id);
const rows = new Map(); // capture id -> {row, capture, bytes, drops, errors, started, at, rose}
let hls = null;
let retry = null;

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

async function getJson(url) {
  const response = await fetch(url, {cache: 'no-store'});
  if (!response.ok) {
    const reason = (await response.text()) || response.statusText;
    throw new Error(url + ': ' + response.status + ' ' + reason);
  }
  return response.json();
}

function problem(text) {
  byId('problem').textContent = text || '';
  byId('problem').hidden = !text;
}

function time(value, seconds = true) {
  if (value === null || value === undefined) return '–';
  const date = new Date(value);
  const options = {hour: '2-digit', minute: '2-digit', hourCycle: 'h23'};
  if (seconds) options.second = '2-digit';
  if (date.toDateString() !== new Date().toDateString()) {
    options.month = 'short';
    options.day = 'numeric';
  }
  return date.toLocaleString(undefined, options);
}

function size(bytes) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let unit = 0;
  for (; bytes >= 1024 && unit < units.length - 1; unit++) bytes /= 1024;
  return (unit ? bytes.toFixed(1) : bytes) + ' ' + units[unit];
}

function bitRate(bits) {
  if (bits >= 1e6) return (bits / 1e6).toFixed(2) + ' Mbit/s';
  return (bits / 1e3).toFixed(bits >= 1e4 ? 0 : 1) + ' kbit/s';
}

function span(seconds) {
  if (seconds === null) return 'all kept';
  if (seconds % 86400 === 0) return seconds / 86400 + ' d';
  if (seconds % 3600 === 0) return seconds / 3600 + ' h';
  return Math.round(seconds / 60) + ' min';
}

function makeRow(id) {
  const row = el('tr');
  row.dataset.id = id;
  for (const name of ['id', 'source', 'state', 'rate num', 'drops num', 'cc num', 'disk num',
    'retention num', 'recorded']) {
    row.appendChild(el('td', name));
  }
  const play = el('button', 'play', 'Play last ' + RECENT_MINUTES + ' min');
  play.addEventListener('click', () => playRecent(id));
  row.appendChild(el('td')).appendChild(play);
  return {row, rose: -Infinity};
}

function fillRow(entry, capture, now) {
  const cell = (name) => entry.row.querySelector('.' + name);
  const counters = capture.counters;
  const drops = counters.ring_drops + counters.kernel_drops + counters.rtp_lost;
  const errors = counters.cc_errors;
  let bits = null;
  if (entry.started === capture.started && counters.bytes >= entry.bytes) {
    bits = ((counters.bytes - entry.bytes) * 8000) / (now - entry.at);
    if (drops > entry.drops || errors > entry.errors) entry.rose = now;
  }
  Object.assign(entry, {capture, bytes: counters.bytes, drops, errors, started: capture.started,
    at: now});

  const source = capture.source;
  cell('id').textContent = capture.id;
  cell('id').title = capture.permanent ? 'from the configuration' : 'added at run time';
  cell('source').textContent = source.address + ':' + source.port;
  cell('source').title = ['rtp ' + source.rtp, source.interface && 'interface ' + source.interface,
    source.source && 'from ' + source.source].filter(Boolean).join(', ');
  cell('state').textContent = capture.state +
    (capture.quiet_since ? ' since ' + time(capture.quiet_since) : '');
  cell('state').title = capture.session ? 'session: ' + capture.session.path : '';
  cell('rate').textContent = bits === null ? '…' : bitRate(bits);
  cell('drops').textContent = drops;
  cell('cc').textContent = errors;
  cell('disk').textContent = size(capture.recorded.bytes);
  cell('retention').textContent = span(capture.retention_seconds);
  cell('recorded').textContent = capture.recorded.first === null ? 'nothing yet' :
    time(capture.recorded.first) + ' – ' + time(capture.recorded.last) + ' (' +
    capture.recorded.files + (capture.recorded.files === 1 ? ' file)' : ' files)');
  entry.row.querySelector('.play').disabled = capture.recorded.last === null;
  entry.row.className = 'state-' + capture.state +
    (capture.state === 'quiet' || capture.state === 'failed' || now - entry.rose < RISING_MS ?
      ' unhealthy' : '');
}

function showCaptures(view) {
  byId('daemon').textContent = 'version ' + view.version + ' · daemon time ' + time(view.now);
  const now = performance.now();
  const body = byId('captures').tBodies[0];
  const ids = new Set(view.captures.map((capture) => capture.id));
  for (const [id, entry] of rows) {
    if (!ids.has(id)) {
      entry.row.remove();
      rows.delete(id);
    }
  }
  view.captures.forEach((capture, index) => {
    if (!rows.has(capture.id)) rows.set(capture.id, makeRow(capture.id));
    const entry = rows.get(capture.id);
    // In the daemon's order; a row is moved only when it must, or a click on it could be lost.
    if (body.rows[index] !== entry.row) body.insertBefore(entry.row, body.rows[index] || null);
    fillRow(entry, capture, now);
  });
  byId('no-captures').hidden = view.captures.length > 0;
  byId('captures').hidden = view.captures.length === 0;
  const epg = view.epg_captures || [];
  byId('epg-captures').hidden = epg.length === 0;
  byId('epg-captures').textContent = 'EPG captures: ' + epg.map((e) => e.id + ' (' +
    e.source.address + ':' + e.source.port + ', ' + size(e.counters.bytes) + ')').join(', ');
  return view.now;
}

let daemonNow = null;

async function pollCaptures() {
  try {
    daemonNow = showCaptures(await getJson('/api/captures'));
    problem('');
  } catch (error) {
    problem('Cannot read the captures: ' + error.message);
  }
  setTimeout(pollCaptures, POLL_MS);
}

function showGuide(guide) {
  const start = Date.parse(guide.start);
  const length = Date.parse(guide.end) - start;
  const at = (t) => Math.min(100, Math.max(0, ((Date.parse(t) - start) * 100) / length));
  const root = byId('guide');
  byId('guide-window').textContent = time(guide.start, false) + ' – ' + time(guide.end, false);
  root.replaceChildren();
  if (guide.services.length === 0) {
    root.appendChild(el('p', 'notice', 'No guide data for these hours.'));
    return;
  }
  const axis = root.appendChild(el('div', 'line axis'));
  axis.appendChild(el('div', 'name'));
  const ticks = axis.appendChild(el('div', 'track'));
  for (let hour = Math.ceil(start / 3600000) * 3600000; hour < start + length * 0.97;
    hour += 3600000) {
    const date = new Date(hour);
    const label = date.getHours() ? time(hour, false) :
      date.toLocaleDateString(undefined, {month: 'short', day: 'numeric'});
    ticks.appendChild(el('span', 'tick', label)).style.left = at(date.toISOString()) + '%';
  }
  for (const service of guide.services) {
    const line = root.appendChild(el('div', 'line service'));
    line.dataset.capture = service.capture;
    const name = line.appendChild(el('div', 'name', service.name));
    name.title = [service.provider, 'service ' + service.service_id, 'capture ' + service.capture]
      .filter(Boolean).join(', ');
    const track = line.appendChild(el('div', 'track'));
    track.appendChild(el('span', 'now')).style.left = at(guide.now) + '%';
    for (const event of service.events) {
      const node = track.appendChild(el(event.capture ? 'button' : 'div',
        event.capture ? 'event playable' : 'event'));
      node.style.left = at(event.start) + '%';
      node.style.width = at(event.end) - at(event.start) + '%';
      const times = time(event.start, false) + '–' + time(event.end, false);
      node.append(el('span', 'title', event.name), el('span', 'times', times));
      node.title = event.name + '\n' + times + (event.description ? '\n' + event.description : '') +
        (event.capture ? '\nClick to play the recording.' : '');
      if (event.capture) {
        node.addEventListener('click', () => play(service.capture, event.start, event.end,
          service.name + ': ' + event.name));
      }
    }
  }
}

async function pollGuide() {
  try {
    showGuide(await getJson('/api/guide?hours=' + GUIDE_HOURS));
  } catch (error) {
    byId('guide').replaceChildren(el('p', 'problem', 'Cannot read the guide: ' + error.message));
  }
  setTimeout(pollGuide, GUIDE_MS);
}

function playerError(text) {
  byId('player-error').textContent = text || '';
  byId('player-error').hidden = !text;
}

function playRecent(id) {
  const entry = rows.get(id);
  const from = Date.parse(daemonNow) - RECENT_MINUTES * 60000;
  const first = Date.parse(entry.capture.recorded.first);
  const start = new Date(Math.max(from, first)).toISOString().replace(/\.\d+Z$/, 'Z');
  play(id, start, null, id + ': the last ' + RECENT_MINUTES + ' minutes, live');
}

// Without an end the playlist is live and follows the newest segment. A live playlist is empty
// until the capture has written a few seconds, so an empty one is asked for again a few times.
function play(id, start, end, title, tries = 0) {
  const url = '/hls/' + encodeURIComponent(id) + '.m3u8?start=' + encodeURIComponent(start) +
    (end ? '&end=' + encodeURIComponent(end) : '');
  const video = byId('video');
  byId('player-title').textContent = title;
  playerError('');
  clearTimeout(retry);
  if (hls) {
    hls.destroy();
    hls = null;
  }
  // AbortError: a newer load (another click, a retry) replaced this one.
  const startPlaying = () => video.play().catch((error) => {
    if (error.name !== 'AbortError') playerError('Cannot play: ' + error.message);
  });
  if (window.Hls && Hls.isSupported()) {
    hls = new Hls();
    hls.on(Hls.Events.ERROR, (event, data) => {
      if (!data.fatal) return;
      if (data.details === Hls.ErrorDetails.LEVEL_EMPTY_ERROR && tries < 10) {
        playerError('Nothing to play yet, trying again…');
        retry = setTimeout(() => play(id, start, end, title, tries + 1), 3000);
        return;
      }
      const response = data.response || {};
      const status = response.code >= 400 ?
        ' (HTTP ' + response.code + ' ' + (response.text || '') + ')' : '';
      playerError('Playback failed: ' + data.details + status);
    });
    hls.on(Hls.Events.MANIFEST_PARSED, startPlaying);
    hls.loadSource(url);
    hls.attachMedia(video);
  } else if (video.canPlayType('application/vnd.apple.mpegurl')) {
    video.src = url;
    startPlaying();
  } else {
    playerError('This browser cannot play HLS.');
  }
}

byId('video').addEventListener('error', () => {
  if (!hls) playerError('Playback failed: ' + (byId('video').error || {}).message);
});
pollCaptures();
pollGuide();
