// lep3 view: the live picture, the temperatures under the pointer, regions drawn on the
// picture with their readings, the object parameters, alarms and the camera's controls. Everything goes through the tool's HTTP interface, the same paths that
// scripts use; frames arrive as server-sent events and only the newest is drawn.
'use strict';

const WIDTH = 160;
const HEIGHT = 120;
const token = new URLSearchParams(location.search).get('token');
const $ = (id) => document.getElementById(id);

// State a test (or a curious user in the console) can read.
const stats = (window.lep3View = {
  framesDrawn: 0,
  frame: null, // number of the frame on screen
  palette: null, // and its palette
  spots: null, // its minimum, maximum and centre
  pointer: null, // the last reading under the pointer
  regions: [], // the regions of the frame on screen, with their readings
  alarms: [], // and the alarms' state after it
  latencies: [],
  status: null,
});

const view = {
  palette: localStorage.getItem('lep3.palette') || '',
  rangeMode: 'auto',
  range: 'auto',
  smooth: localStorage.getItem('lep3.smooth') === '1',
  isotherm: '', // "LOW:HIGH" in °C, or empty
};

let current = null; // the frame on screen
let source = null;

// ---- requests -------------------------------------------------------------------

function withToken(url) {
  if (!token) return url;
  const u = new URL(url, location.href);
  u.searchParams.set('token', token);
  return u.pathname + u.search;
}

async function request(method, url, body) {
  const headers = {};
  if (token) headers.Authorization = 'Bearer ' + token;
  if (body !== undefined && typeof body !== 'string') body = JSON.stringify(body);
  if (body !== undefined) headers['Content-Type'] = 'text/plain';
  const r = await fetch(url, { method, headers, body, cache: 'no-store' });
  let data = null;
  try {
    data = await r.json();
  } catch (e) {
    data = null;
  }
  if (!r.ok) throw new Error(data && data.error ? data.error : `${r.status} ${r.statusText}`);
  return data;
}

function celsius(value) {
  return value === null || value === undefined ? 'no temperature' : `${value.toFixed(2)} °C`;
}

// ---- the stream -----------------------------------------------------------------

function streamQuery() {
  const q = { palette: view.palette, range: view.range };
  if (view.isotherm) q.isotherm = view.isotherm;
  return new URLSearchParams(q).toString();
}

function openStream() {
  if (source) source.close();
  const url = withToken('/api/stream?' + streamQuery());
  source = new EventSource(url);
  source.addEventListener('frame', (e) => receiveFrame(JSON.parse(e.data)));
  source.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
  // The server could not make this picture (a range in °C without temperatures): say
  // why and go back to the automatic range.
  source.addEventListener('problem', (e) => {
    const why = JSON.parse(e.data).error;
    setRange('auto');
    $('range-note').value = why;
  });
  source.onopen = () => $('status').classList.remove('down');
  source.onerror = () => {
    if (source.readyState === EventSource.CLOSED) {
      // The server refused the stream (a range it can't use): ask it why, and go back
      // to the automatic range.
      fetch(url)
        .then((r) => r.json())
        .then((d) => ($('range-note').value = d.error || 'the stream was refused'))
        .catch(() => {});
      setRange('auto');
      return;
    }
    $('status').textContent = 'no connection to lep3 view; retrying…';
    $('status').className = 'down';
    showBanner('no connection to the viewer');
  };
  updateSnapshotLinks();
}

let pending = null;
let drawing = false;

// Frames that arrive while one is being decoded replace each other: the picture skips
// to the newest instead of falling behind.
function receiveFrame(frame) {
  frame.palette = view.palette;
  pending = frame;
  if (!drawing) drawPending();
}

async function drawPending() {
  drawing = true;
  while (pending) {
    const frame = pending;
    pending = null;
    try {
      const bytes = Uint8Array.from(atob(frame.png), (c) => c.charCodeAt(0));
      const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/png' }));
      paint(frame, bitmap);
      bitmap.close();
    } catch (err) {
      $('action-note').value = 'a frame could not be shown: ' + err.message;
    }
  }
  drawing = false;
}

function paint(frame, bitmap) {
  const canvas = $('frame');
  const ctx = canvas.getContext('2d');
  ctx.imageSmoothingEnabled = view.smooth;
  ctx.imageSmoothingQuality = 'high';
  ctx.drawImage(bitmap, 0, 0, canvas.width, canvas.height);
  drawMarkers(ctx, frame.spots, canvas.width / WIDTH);
  drawRegions(ctx, frame.regions || [], canvas.width / WIDTH);
  current = frame;
  stats.framesDrawn += 1;
  stats.frame = frame.frame;
  stats.palette = frame.palette;
  stats.spots = { frame: frame.frame, ...frame.spots };
  // From the moment the parser completed the frame to the picture in the canvas, which
  // the browser shows at its next refresh; needs this browser's clock to agree with the
  // camera system's.
  stats.latencies.push(Date.now() - frame.completed_ms);
  if (stats.latencies.length > 200) stats.latencies.shift();
  showReadings(frame);
  showRegions(frame.regions || []);
  showAlarms(frame.alarms || []);
  showScale(frame);
  if (view.rangeMode === 'held' && view.range === 'auto') holdRange(frame);
  if (pointer) readPointer();
}

function drawMarkers(ctx, spots, k) {
  const ring = (spot, colour) => {
    ctx.beginPath();
    ctx.arc((spot.x + 0.5) * k, (spot.y + 0.5) * k, 2.5 * k, 0, 2 * Math.PI);
    ctx.lineWidth = 3;
    ctx.strokeStyle = '#000';
    ctx.stroke();
    ctx.lineWidth = 1.5;
    ctx.strokeStyle = colour;
    ctx.stroke();
  };
  ring(spots.max, '#ff4040');
  ring(spots.min, '#40a0ff');
  // The centre pixel, whose temperature `lep3 capture` reports.
  const c = spots.centre;
  const half = 3 * k;
  ctx.lineWidth = 1.5;
  ctx.strokeStyle = '#fff';
  ctx.strokeRect((c.x + 0.5) * k - half, (c.y + 0.5) * k - half, 2 * half, 2 * half);
}

const REGION_COLOUR = '#40ff80';

// The regions as outlines over the pixels they cover, and the one being drawn.
function drawRegions(ctx, regions, k) {
  const shapes = drag && drag.moved ? [...regions, dragRegion(drag)] : regions;
  for (const r of shapes) {
    ctx.beginPath();
    if (r.kind === 'spot') {
      ctx.rect(r.x0 * k, r.y0 * k, k, k);
    } else if (r.kind === 'box') {
      const [x, y] = [Math.min(r.x0, r.x1), Math.min(r.y0, r.y1)];
      ctx.rect(x * k, y * k, (Math.abs(r.x1 - r.x0) + 1) * k, (Math.abs(r.y1 - r.y0) + 1) * k);
    } else {
      ctx.moveTo((r.x0 + 0.5) * k, (r.y0 + 0.5) * k);
      ctx.lineTo((r.x1 + 0.5) * k, (r.y1 + 0.5) * k);
    }
    ctx.lineWidth = 3;
    ctx.strokeStyle = '#000';
    ctx.stroke();
    ctx.lineWidth = 1.5;
    ctx.strokeStyle = REGION_COLOUR;
    ctx.stroke();
    if (r.name) {
      ctx.font = `${4 * k}px system-ui, sans-serif`;
      ctx.fillStyle = REGION_COLOUR;
      ctx.fillText(r.name, Math.min(r.x0, r.x1 ?? r.x0) * k + 2, Math.min(r.y0, r.y1 ?? r.y0) * k - 3);
    }
  }
}

function regionRow(name) {
  const row = document.createElement('tr');
  row.dataset.name = name;
  const head = document.createElement('th');
  head.textContent = name;
  const cells = ['min', 'max', 'mean'].map((k) => {
    const td = document.createElement('td');
    td.className = k;
    return td;
  });
  const del = document.createElement('button');
  del.type = 'button';
  del.textContent = 'delete';
  del.setAttribute('aria-label', `delete ${name}`);
  del.addEventListener('click', async () => {
    del.disabled = true;
    try {
      await request('DELETE', `/api/regions/${encodeURIComponent(name)}`);
      row.remove();
      $('region-note').value = '';
    } catch (err) {
      $('region-note').value = err.message;
      del.disabled = false;
    }
  });
  const last = document.createElement('td');
  last.append(del);
  row.append(head, ...cells, last);
  return row;
}

// One row a region, kept from frame to frame (a button under the pointer stays put);
// rows of regions gone are removed.
function showRegions(regions) {
  stats.regions = regions;
  const body = $('region-list').tBodies[0];
  const rows = new Map([...body.rows].map((r) => [r.dataset.name, r]));
  const wanted = regions.map((r) => rows.get(r.name) || regionRow(r.name));
  if (wanted.length !== body.rows.length || wanted.some((row, i) => body.rows[i] !== row)) body.replaceChildren(...wanted);
  regions.forEach((r, i) => {
    const row = wanted[i];
    row.title = `${r.kind} (${r.x0}, ${r.y0})` + (r.kind === 'spot' ? '' : ` to (${r.x1}, ${r.y1})`);
    for (const k of ['min', 'max', 'mean'])
      row.querySelector('.' + k).textContent = r.pixels === undefined ? '–' : celsius(r[k + '_c']);
  });
}

function showAlarms(alarms) {
  stats.alarms = alarms;
  const raised = alarms.filter((a) => a.raised);
  const banner = $('alarm');
  banner.hidden = raised.length === 0;
  banner.textContent = raised.length
    ? 'alarm: ' + raised.map((a) => `${a.rule} (${celsius(a.value_c)})`).join(' · ')
    : '';
  for (const row of $('region-list').tBodies[0].rows)
    row.classList.toggle('raised', raised.some((a) => a.region === row.dataset.name));
}

function showReadings(frame) {
  const s = frame.spots;
  const text = (spot) => (frame.temperatures ? celsius(spot.celsius) : `raw ${spot.raw}`);
  $('max').value = text(s.max);
  $('min').value = text(s.min);
  $('centre').value = text(s.centre);
}

let barPalette = null;

function showScale(frame) {
  if (barPalette !== view.palette) {
    barPalette = view.palette;
    const img = new Image();
    img.onload = () => {
      const bar = $('bar');
      const ctx = bar.getContext('2d');
      // The palette runs from the coldest entry at the bottom to the hottest at the top.
      ctx.save();
      ctx.translate(0, bar.height);
      ctx.rotate(-Math.PI / 2);
      ctx.imageSmoothingEnabled = false;
      ctx.drawImage(img, 0, 0, bar.height, bar.width);
      ctx.restore();
    };
    img.src = withToken('/palette.png?' + new URLSearchParams({ palette: view.palette }));
  }
  const ticks = $('ticks');
  const items = frame.scale.map((t) => {
    const li = document.createElement('li');
    li.style.top = `${(1 - t.at) * 100}%`;
    li.textContent = t.celsius === undefined ? `raw ${t.raw}` : celsius(t.celsius);
    return li;
  });
  ticks.replaceChildren(...items);
}

// ---- status ---------------------------------------------------------------------

const LINK_TEXT = {
  up: 'link up',
  silent: 'bridge silent',
  gone: 'bridge gone',
  reconnecting: 'reconnecting',
  closed: 'not connected',
};

// The link as the last status gave it: the settings are read again when it comes back up.
let lastLink = null;

function showStatus(s) {
  stats.status = s;
  if (s.link === 'up' && lastLink !== null && lastLink !== 'up' && !$('reload-settings').disabled) loadSettings();
  lastLink = s.link;
  const parts = [
    `${s.fps.toFixed(1)} fps`,
    LINK_TEXT[s.link] || s.link,
    `frame ${s.frame}`,
    `dropped ${s.dropped}`,
    `check-byte mismatches ${s.check_errors + s.reply_check_errors}`,
    `reconnects ${s.reconnects}`,
    `${s.browsers} ${s.browsers === 1 ? 'browser' : 'browsers'}`,
  ];
  $('status').textContent = parts.join(' · ');
  $('status').className = s.link === 'up' ? 'up' : 'down';
  if (s.link === 'gone') showBanner('bridge gone: waiting for it to come back');
  else if (s.link === 'reconnecting') showBanner('bridge back: reconnecting…');
  else if (s.link === 'silent') showBanner('bridge silent: no data for a second or more');
  else showBanner(null);
}

function showBanner(text) {
  const banner = $('banner');
  banner.hidden = !text;
  banner.textContent = text || '';
}

// ---- the pointer ----------------------------------------------------------------

let pointer = null;
let reading = false;
let readAgain = false;

function pixelAt(e) {
  const r = $('frame').getBoundingClientRect();
  const x = Math.floor(((e.clientX - r.left) / r.width) * WIDTH);
  const y = Math.floor(((e.clientY - r.top) / r.height) * HEIGHT);
  return { x: Math.min(WIDTH - 1, Math.max(0, x)), y: Math.min(HEIGHT - 1, Math.max(0, y)) };
}

// One question at a time; a pointer that moves meanwhile is asked about next.
async function readPointer() {
  if (!pointer || !current) return;
  if (reading) {
    readAgain = true;
    return;
  }
  reading = true;
  do {
    readAgain = false;
    const { x, y } = pointer;
    const q = new URLSearchParams({ x, y, frame: current.frame });
    try {
      const t = await request('GET', '/api/temperature?' + q);
      stats.pointer = t;
      if (pointer) {
        const value = t.celsius === null && !current.temperatures ? `raw ${t.raw}` : celsius(t.celsius);
        $('pointer').value = `${value} at (${t.x}, ${t.y})`;
      }
    } catch (err) {
      $('pointer').value = err.message;
    }
  } while (readAgain && pointer);
  reading = false;
}

function pointerMoved(e) {
  pointer = pixelAt(e);
  if (drag) {
    drag.to = pointer;
    drag.moved = drag.moved || drag.to.x !== drag.from.x || drag.to.y !== drag.from.y;
  }
  readPointer();
}

// ---- drawing regions ------------------------------------------------------------

let drag = null; // {from, to, line, moved} while the pointer is held on the picture

function dragRegion(d) {
  const kind = d.line ? 'line' : 'box';
  return { kind, x0: d.from.x, y0: d.from.y, x1: d.to.x, y1: d.to.y };
}

function dragStarted(e) {
  if (e.button !== 0) return;
  const at = pixelAt(e);
  const line = e.shiftKey || document.querySelector('input[name=draw]:checked').value === 'line';
  drag = { from: at, to: at, line, moved: false };
  $('frame').setPointerCapture(e.pointerId);
}

async function dragEnded(e) {
  if (!drag) return;
  const d = drag;
  drag = null;
  d.to = pixelAt(e);
  d.moved = d.moved || d.to.x !== d.from.x || d.to.y !== d.from.y;
  // A click is a spot; a line needs two pixels.
  if (!d.moved && d.line) return;
  const region = d.moved ? dragRegion(d) : { kind: 'spot', x0: d.from.x, y0: d.from.y };
  try {
    const added = await request('POST', '/api/regions', region);
    $('region-note').value = `${added.name} added`;
  } catch (err) {
    $('region-note').value = err.message;
  }
}

// ---- object parameters ----------------------------------------------------------

const OBJECT_KEYS = ['emissivity', 'reflected_c', 'air_c', 'humidity', 'distance_m', 'window_transmission', 'window_c'];

function showObject(p) {
  const form = $('object-form');
  for (const k of OBJECT_KEYS) form.elements[k].value = Number(p[k].toPrecision(4));
}

async function applyObject(e) {
  e.preventDefault();
  const form = $('object-form');
  const body = {};
  for (const k of OBJECT_KEYS) body[k] = Number(form.elements[k].value);
  try {
    showObject(await request('POST', '/api/object', body));
    $('object-note').value = 'applied';
  } catch (err) {
    $('object-note').value = err.message;
  }
}

// ---- isotherm -------------------------------------------------------------------

function applyIsotherm() {
  $('isotherm-note').value = '';
  if (!$('isotherm-on').checked) {
    view.isotherm = '';
  } else {
    const lo = Number($('isotherm-low').value);
    const hi = Number($('isotherm-high').value);
    if (!Number.isFinite(lo) || !Number.isFinite(hi) || lo > hi) {
      $('isotherm-note').value = 'the band runs from low to high';
      return;
    }
    view.isotherm = `${lo}:${hi}`;
  }
  openStream();
}

function pointerLeft(e) {
  // A finger lifted from the picture leaves its reading, which goes on following the
  // frames at that spot; a mouse that leaves takes it away.
  if (e.pointerType === 'touch') return;
  pointer = null;
  $('pointer').value = 'move over the picture';
}

// ---- picture settings -----------------------------------------------------------

function setRange(mode) {
  view.rangeMode = mode;
  document.querySelector(`input[name=range][value=${mode}]`).checked = true;
  $('range-note').value = '';
  if (mode === 'auto') {
    view.range = 'auto';
    openStream();
  } else if (mode === 'held') {
    view.range = 'auto';
    if (current) holdRange(current);
  } else {
    applyFixedRange();
  }
}

// Held: the raw range of the picture on screen, kept for the frames that follow.
function holdRange(frame) {
  view.range = `${frame.range.raw_lo}:${frame.range.raw_hi}`;
  const ends = frame.scale.length ? frame.scale : null;
  $('range-note').value = ends && ends[0].celsius !== undefined
    ? `held at ${celsius(ends[0].celsius)} to ${celsius(ends[ends.length - 1].celsius)}`
    : `held at raw ${view.range}`;
  openStream();
}

function applyFixedRange() {
  const lo = Number($('range-min').value);
  const hi = Number($('range-max').value);
  if (!Number.isFinite(lo) || !Number.isFinite(hi) || lo >= hi) {
    $('range-note').value = 'the lowest temperature must be below the highest';
    return;
  }
  view.rangeMode = 'fixed';
  view.range = `${lo}C:${hi}C`;
  $('range-note').value = '';
  openStream();
}

function updateSnapshotLinks() {
  $('snap-colour').href = withToken('/frame.png?' + streamQuery());
  $('snap-raw').href = withToken('/raw.png');
}

// ---- camera ---------------------------------------------------------------------

async function runFfc() {
  const button = $('ffc');
  button.disabled = true;
  $('action-note').value = 'flat-field correction running…';
  try {
    await request('POST', '/api/ffc');
    $('action-note').value = 'flat-field correction done';
  } catch (err) {
    $('action-note').value = 'flat-field correction: ' + err.message;
  } finally {
    button.disabled = false;
  }
}

function settingRow(s) {
  const row = document.createElement('tr');
  row.dataset.name = s.name;
  const name = document.createElement('th');
  name.textContent = s.name;
  name.title = s.summary;
  const value = document.createElement('td');
  value.className = 'value';
  showSettingValue(value, s);
  row.append(name, value);
  if (s.writable) {
    const change = document.createElement('td');
    const input = document.createElement('input');
    input.placeholder = s.accepts;
    input.setAttribute('aria-label', `new value of ${s.name}`);
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'set';
    const note = document.createElement('span');
    note.className = 'error';
    const set = async () => {
      button.disabled = true;
      note.textContent = '';
      try {
        showSettingValue(value, await request('POST', `/api/settings/${encodeURIComponent(s.name)}`, input.value));
        input.value = '';
      } catch (err) {
        note.textContent = err.message;
      } finally {
        button.disabled = false;
      }
    };
    button.addEventListener('click', set);
    input.addEventListener('keydown', (e) => e.key === 'Enter' && set());
    change.append(input, ' ', button, note);
    row.append(change);
  }
  return row;
}

function showSettingValue(cell, s) {
  cell.replaceChildren();
  if (s.error) {
    const e = document.createElement('span');
    e.className = 'error';
    e.textContent = s.error;
    cell.append(e);
  } else {
    cell.textContent = s.text;
  }
}

async function loadSettings() {
  const button = $('reload-settings');
  button.disabled = true;
  try {
    const data = await request('GET', '/api/settings');
    $('settings').tBodies[0].replaceChildren(...data.settings.filter((s) => s.writable).map(settingRow));
    $('values').tBodies[0].replaceChildren(...data.settings.filter((s) => !s.writable).map(settingRow));
    if ($('action-note').value.startsWith('settings: ')) $('action-note').value = '';
  } catch (err) {
    $('action-note').value = 'settings: ' + err.message;
  } finally {
    button.disabled = false;
  }
}

// ---- start ----------------------------------------------------------------------

async function start() {
  const canvas = $('frame');
  canvas.addEventListener('pointermove', pointerMoved);
  canvas.addEventListener('pointerdown', pointerMoved);
  canvas.addEventListener('pointerdown', dragStarted);
  canvas.addEventListener('pointerup', dragEnded);
  canvas.addEventListener('pointerleave', pointerLeft);
  canvas.addEventListener('pointercancel', (e) => {
    drag = null;
    pointerLeft(e);
  });

  const smooth = $('smooth');
  smooth.checked = view.smooth;
  canvas.classList.toggle('smooth', view.smooth);
  smooth.addEventListener('change', () => {
    view.smooth = smooth.checked;
    localStorage.setItem('lep3.smooth', view.smooth ? '1' : '0');
    canvas.classList.toggle('smooth', view.smooth);
  });

  for (const radio of document.querySelectorAll('input[name=range]'))
    radio.addEventListener('change', () => setRange(radio.value));
  $('range-apply').addEventListener('click', applyFixedRange);
  $('ffc').addEventListener('click', runFfc);
  $('reload-settings').addEventListener('click', loadSettings);
  $('object-form').addEventListener('submit', applyObject);
  for (const id of ['isotherm-on', 'isotherm-low', 'isotherm-high']) $(id).addEventListener('change', applyIsotherm);

  const palettes = await request('GET', '/api/palettes');
  const select = $('palette');
  for (const name of palettes.palettes) select.append(new Option(name, name));
  if (!palettes.palettes.includes(view.palette)) view.palette = palettes.default;
  select.value = view.palette;
  select.addEventListener('change', () => {
    view.palette = select.value;
    localStorage.setItem('lep3.palette', view.palette);
    openStream();
  });

  openStream();
  loadSettings();
  request('GET', '/api/object')
    .then(showObject)
    .catch((err) => ($('object-note').value = err.message));
}

start().catch((err) => {
  $('status').textContent = 'lep3 view could not start: ' + err.message;
  $('status').className = 'down';
});
