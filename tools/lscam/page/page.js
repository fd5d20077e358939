// SPDX-License-Identifier: MIT
'use strict';
// lscam live view. lscam serve pushes the newest lines as server-sent events,
// each cut into as many bins as the profile plot is wide in device pixels;
// this script averages, subtracts the dark, draws the profile and the
// waterfall, and sends setting changes with the token from the page's URL.

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);
const settingNames = ['inttime', 'mode', 'state', 'pga1', 'pga2', 'pga3', 'offset1', 'offset2', 'offset3'];
const margin = { left: 64, right: 16, top: 12, bottom: 42 }; // CSS pixels around the plot area
const curveColour = '#1f4eb4';
const waterfallRows = 300;

let info = null;
let source = null;
let bins = 0;
const recent = []; // bins of the latest lines, newest last
let shown = null; // the profile drawn: averaged, dark subtracted
let dark = null;
let frozen = false;
let newest = null;
let frames = 0;
let drawPending = false;
let current = {};
let range = { lo: 0, hi: 1 };
let waterfall = null;

// ---- geometry and scales ----

// Sizes the canvas's backing store to its displayed size; returns the plot
// area in device pixels.
function fit(canvas) {
  const dpr = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * dpr));
  const h = Math.max(1, Math.round(canvas.clientHeight * dpr));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  return {
    dpr,
    l: Math.round(margin.left * dpr),
    t: Math.round(margin.top * dpr),
    r: w - Math.round(margin.right * dpr),
    b: h - Math.round(margin.bottom * dpr),
  };
}

function binsWanted() {
  const a = fit($('profile'));
  return Math.max(1, Math.min(info.pixels, a.r - a.l));
}

// A round step (1, 2 or 5 times a power of ten) that cuts span into about parts pieces.
function niceStep(span, parts) {
  const raw = Math.max(span, 1e-9) / parts;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5]) if (m * power >= raw) return m * power;
  return 10 * power;
}

function label(v, step) {
  return step >= 1 ? String(Math.round(v)) : v.toFixed(Math.ceil(-Math.log10(step)));
}

// The sensor pixel at the centre of bin i of n.
function binPixel(i, n) {
  return info.skip + ((i + 0.5) * info.pixels) / n - 0.5;
}

// Coefficients c0..c3 of the wavelength polynomial, or null for the pixel axis.
function polynomial() {
  const field = $('polynomial');
  const text = field.value.trim();
  field.classList.remove('invalid');
  if (!text) return null;
  const c = text.split(/[\s,;]+/).map(Number);
  if (c.length > 4 || c.some((v) => !Number.isFinite(v))) {
    field.classList.add('invalid');
    return null;
  }
  return c;
}

function wavelength(c, p) {
  return c.reduceRight((sum, k) => sum * p + k, 0);
}

// ---- drawing ----

function drawProfile() {
  const canvas = $('profile');
  const a = fit(canvas);
  const ctx = canvas.getContext('2d');
  canvas.dataset.plot = [a.l, a.t, a.r, a.b].join(',');
  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.font = `${12 * a.dpr}px system-ui, sans-serif`;
  if (!shown) {
    ctx.fillStyle = '#5b6570';
    ctx.fillText('waiting for lines…', a.l + 8 * a.dpr, a.t + 20 * a.dpr);
    return;
  }
  const n = shown.length;
  let lo = Infinity;
  let hi = -Infinity;
  for (const v of shown) {
    lo = Math.min(lo, v);
    hi = Math.max(hi, v);
  }
  if ($('scale').value === 'full') {
    lo = Math.min(0, lo);
    hi = info.fullScale;
  } else {
    const pad = Math.max((hi - lo) * 0.05, 1);
    lo -= pad;
    hi += pad;
  }
  range = { lo, hi };
  const yOf = (v) => a.b - ((v - lo) / (hi - lo)) * (a.b - a.t);
  const xOfBin = (i) => a.l + ((i + 0.5) / n) * (a.r - a.l);

  ctx.lineWidth = a.dpr;
  ctx.strokeStyle = '#e3e7ec';
  ctx.fillStyle = '#1b1f24';
  ctx.textAlign = 'right';
  ctx.textBaseline = 'middle';
  const ystep = niceStep(hi - lo, 5);
  for (let v = Math.ceil(lo / ystep) * ystep; v <= hi; v += ystep) {
    const y = Math.round(yOf(v)) + 0.5;
    ctx.beginPath();
    ctx.moveTo(a.l, y);
    ctx.lineTo(a.r, y);
    ctx.stroke();
    ctx.fillText(label(v, ystep), a.l - 6 * a.dpr, y);
  }

  // x ticks in pixels, or in nanometres where the polynomial is monotonic.
  const c = polynomial();
  const axis = [];
  for (let i = 0; i < n; i++) axis.push(c ? wavelength(c, binPixel(i, n)) : binPixel(i, n));
  const rising = axis[n - 1] >= axis[0];
  const monotonic = axis.every((v, i) => i === 0 || (rising ? v >= axis[i - 1] : v <= axis[i - 1]));
  const useNm = c && monotonic && n > 1 && axis[n - 1] !== axis[0];
  const xlo = Math.min(axis[0], axis[n - 1]);
  const xhi = Math.max(axis[0], axis[n - 1]);
  const xstep = niceStep(useNm ? xhi - xlo : info.pixels, 6);
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  const tick = (x, text) => {
    x = Math.round(x) + 0.5;
    ctx.beginPath();
    ctx.moveTo(x, a.t);
    ctx.lineTo(x, a.b);
    ctx.stroke();
    ctx.fillText(text, x, a.b + 6 * a.dpr);
  };
  if (useNm) {
    for (let v = Math.ceil(xlo / xstep) * xstep; v <= xhi; v += xstep) {
      const i = axis.findIndex((w) => (rising ? w >= v : w <= v));
      if (i >= 0) tick(xOfBin(i), label(v, xstep));
    }
  } else {
    const first = info.skip;
    const last = info.skip + info.pixels - 1;
    for (let p = Math.ceil(first / xstep) * xstep; p <= last; p += xstep)
      tick(a.l + ((p - first + 0.5) / info.pixels) * (a.r - a.l), String(p));
  }

  ctx.strokeStyle = '#1b1f24';
  ctx.beginPath();
  ctx.moveTo(a.l + 0.5, a.t);
  ctx.lineTo(a.l + 0.5, a.b + 0.5);
  ctx.lineTo(a.r, a.b + 0.5);
  ctx.stroke();
  ctx.fillText(useNm ? 'wavelength (nm)' : 'pixel', (a.l + a.r) / 2, a.b + 22 * a.dpr);
  ctx.save();
  ctx.translate(14 * a.dpr, (a.t + a.b) / 2);
  ctx.rotate(-Math.PI / 2);
  ctx.textBaseline = 'middle';
  ctx.fillText(dark && $('subtract').checked ? 'counts − dark' : 'counts', 0, 0);
  ctx.restore();

  ctx.save();
  ctx.beginPath();
  ctx.rect(a.l, a.t, a.r - a.l, a.b - a.t);
  ctx.clip();
  ctx.strokeStyle = curveColour;
  ctx.lineWidth = 1.5 * a.dpr;
  ctx.lineJoin = 'round';
  ctx.beginPath();
  for (let i = 0; i < n; i++) {
    const x = xOfBin(i);
    const y = yOf(shown[i]);
    if (i === 0) ctx.moveTo(x, y);
    else ctx.lineTo(x, y);
  }
  ctx.stroke();
  ctx.restore();
}

// A dark-to-bright colour map for the waterfall.
const palette = (() => {
  const stops = [
    [0, 0, 4],
    [81, 18, 124],
    [183, 55, 121],
    [252, 137, 97],
    [252, 253, 191],
  ];
  const lut = new Uint8Array(256 * 3);
  for (let i = 0; i < 256; i++) {
    const f = (i / 255) * (stops.length - 1);
    const k = Math.min(Math.floor(f), stops.length - 2);
    const t = f - k;
    for (let j = 0; j < 3; j++) lut[i * 3 + j] = Math.round(stops[k][j] + (stops[k + 1][j] - stops[k][j]) * t);
  }
  return lut;
})();

function resetWaterfall() {
  const canvas = document.createElement('canvas');
  canvas.width = bins;
  canvas.height = waterfallRows;
  const ctx = canvas.getContext('2d');
  waterfall = { canvas, ctx, image: ctx.createImageData(bins, waterfallRows) };
}

// Moves every row down by one and puts the profile on top, coloured by the
// profile plot's current scale.
function addWaterfallRow(profile) {
  const data = waterfall.image.data;
  const row = profile.length * 4;
  data.copyWithin(row, 0, data.length - row);
  const span = range.hi - range.lo || 1;
  for (let i = 0; i < profile.length; i++) {
    const k = Math.max(0, Math.min(255, Math.round(((profile[i] - range.lo) / span) * 255))) * 3;
    data[i * 4] = palette[k];
    data[i * 4 + 1] = palette[k + 1];
    data[i * 4 + 2] = palette[k + 2];
    data[i * 4 + 3] = 255;
  }
  waterfall.ctx.putImageData(waterfall.image, 0, 0);
}

function drawWaterfall() {
  const canvas = $('waterfall');
  const a = fit(canvas);
  const ctx = canvas.getContext('2d');
  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.imageSmoothingEnabled = false;
  const top = Math.round(4 * a.dpr);
  ctx.fillStyle = '#eef1f4'; // rows not received yet
  ctx.fillRect(a.l, top, a.r - a.l, canvas.height - top);
  ctx.drawImage(waterfall.canvas, a.l, top, a.r - a.l, canvas.height - top);
  ctx.fillStyle = '#1b1f24';
  ctx.font = `${12 * a.dpr}px system-ui, sans-serif`;
  ctx.textAlign = 'right';
  ctx.textBaseline = 'top';
  ctx.fillText('newest', a.l - 6 * a.dpr, top);
  ctx.textBaseline = 'bottom';
  ctx.fillText(`${waterfallRows} lines`, a.l - 6 * a.dpr, canvas.height);
}

function draw() {
  drawPending = false;
  drawProfile();
  drawWaterfall();
  document.body.dataset.frames = String(frames);
}

function scheduleDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(draw);
}

// ---- the feed ----

function averageLines() {
  const n = Math.round(Number($('average').value));
  return Number.isFinite(n) ? Math.max(1, Math.min(100, n)) : 1;
}

function subtracting() {
  return dark !== null && $('subtract').checked;
}

function onFrame(f) {
  frames++;
  newest = f;
  $('stats').textContent =
    `line ${f.line}: min ${f.min}, max ${f.max}, mean ${f.mean.toFixed(1)}` +
    (f.dropped ? ` (${f.dropped} lines skipped for this browser)` : '');
  const warning = $('saturation');
  warning.hidden = f.saturated === 0;
  warning.textContent = `Saturated: ${f.saturated} pixels at full scale (${info.fullScale} counts)`;
  if (frozen || f.bins.length !== bins) return;
  recent.push(f.bins);
  while (recent.length > averageLines()) recent.shift();
  const sum = new Float64Array(bins);
  for (const line of recent) for (let i = 0; i < bins; i++) sum[i] += line[i];
  shown = Array.from(sum, (v, i) => v / recent.length - (subtracting() ? dark[i] : 0));
  addWaterfallRow(shown);
  scheduleDraw();
}

function setState(text, kind) {
  const badge = $('state');
  badge.textContent = text;
  badge.className = `badge ${kind}`;
}

function onStatus(s) {
  $('rate').textContent =
    `${(s.bytesPerSecond / 1e6).toFixed(2)} MB/s, ${Math.round(s.linesPerSecond)} lines/s, ` +
    `${s.watchers} watching ·`;
  if (s.camera === 'unplugged') setState('camera unplugged', 'bad');
  else if (s.camera === 'lost') setState(`camera lost: ${s.problem}`, 'bad');
  else if (s.streaming) setState('streaming', 'good');
  else setState('no data from the camera', 'bad');
}

function onSettings(s) {
  current = s;
  const form = $('settings');
  for (const name of settingNames) {
    const field = form.elements[name];
    if (!field.dataset.dirty && document.activeElement !== field) field.value = String(s[name]);
  }
}

function connect() {
  const wanted = binsWanted();
  if (source && wanted === bins) return;
  if (source) source.close();
  bins = wanted;
  recent.length = 0;
  shown = null;
  dark = null;
  $('subtract').checked = false;
  $('subtract').disabled = true;
  resetWaterfall();
  source = new EventSource(`api/stream?bins=${bins}`);
  source.addEventListener('frame', (e) => onFrame(JSON.parse(e.data)));
  source.addEventListener('status', (e) => onStatus(JSON.parse(e.data)));
  source.addEventListener('settings', (e) => onSettings(JSON.parse(e.data)));
  source.onerror = () => setState('reconnecting…', 'bad');
  scheduleDraw();
}

// ---- controls ----

function message(text, error) {
  const m = $('message');
  m.textContent = text;
  m.className = error ? 'error' : '';
}

async function applySettings(event) {
  event.preventDefault();
  const form = $('settings');
  const body = new URLSearchParams();
  for (const name of settingNames) {
    const value = String(form.elements[name].value).trim();
    if (value !== String(current[name])) body.append(name, value);
  }
  if (![...body.keys()].length) {
    message('Nothing changed.');
    return;
  }
  const response = await fetch('api/settings', { method: 'POST', headers: { 'X-Token': token }, body });
  if (!response.ok) {
    message((await response.text()).trim(), true);
    return;
  }
  for (const name of settingNames) delete form.elements[name].dataset.dirty;
  onSettings(await response.json());
  message(`Applied: ${[...body.keys()].map((k) => `${k} ${current[k]}`).join(', ')}.`);
}

function downloadCsv() {
  if (!shown || !newest) return;
  const c = polynomial();
  const lines = [
    `# lscam live profile: camera ${info.serial}, line ${newest.line}, ${shown.length} bins of ` +
      `${info.pixels} pixels, mean of ${recent.length} lines${subtracting() ? ', dark subtracted' : ''}`,
    c ? 'pixel,wavelength_nm,counts' : 'pixel,counts',
  ];
  shown.forEach((v, i) => {
    const p = binPixel(i, shown.length);
    lines.push([p.toFixed(1), ...(c ? [wavelength(c, p).toFixed(3)] : []), v.toFixed(2)].join(','));
  });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([lines.join('\n') + '\n'], { type: 'text/csv' }));
  link.download = 'profile.csv';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

function setupControls() {
  const form = $('settings');
  for (const name of settingNames)
    form.elements[name].addEventListener('input', (e) => (e.target.dataset.dirty = '1'));
  if (info.inttimeMin !== undefined) {
    form.elements.inttime.min = info.inttimeMin;
    form.elements.inttime.max = info.inttimeMax;
    $('inttimerange').textContent = `${info.inttimeMin} to ${info.inttimeMax} for this sensor`;
  }
  const access = $('access');
  if (info.control) {
    access.textContent = 'control';
    access.className = 'badge good';
    form.addEventListener('submit', applySettings);
  } else {
    access.textContent = 'read-only';
    access.className = 'badge';
    for (const el of form.elements) el.disabled = true;
    message(
      token
        ? 'The token in this URL is not valid: the page is read-only.'
        : 'Read-only. To change settings, open the URL with ?token= that lscam serve printed.',
    );
  }
  $('freeze').addEventListener('click', () => {
    frozen = !frozen;
    $('freeze').textContent = frozen ? 'Resume' : 'Freeze';
  });
  $('takedark').addEventListener('click', () => {
    if (!shown) return;
    const sum = new Float64Array(bins);
    for (const line of recent) for (let i = 0; i < bins; i++) sum[i] += line[i];
    dark = Array.from(sum, (v) => v / recent.length);
    $('subtract').disabled = false;
    $('subtract').checked = true;
  });
  $('csv').addEventListener('click', downloadCsv);
  for (const id of ['scale', 'polynomial', 'subtract']) $(id).addEventListener('input', scheduleDraw);
  let resizing = 0;
  window.addEventListener('resize', () => {
    clearTimeout(resizing);
    resizing = setTimeout(() => {
      connect();
      scheduleDraw();
    }, 250);
  });
}

async function start() {
  try {
    const response = await fetch('api/info', { headers: token ? { 'X-Token': token } : {} });
    info = await response.json();
  } catch (e) {
    setState('lscam serve is not reachable', 'bad');
    return;
  }
  $('identity').textContent =
    `${info.product} · serial ${info.serial} · ${info.manufacturer} · sensor ${info.sensorName} ` +
    `(${info.sensorType}) · processors ${info.mcu1Version} / ${info.mcu2Version} · ` +
    `${info.pixels} of ${info.width} pixels per line`;
  document.title = `lscam live: ${info.serial}`;
  setupControls();
  connect();
}

start();
