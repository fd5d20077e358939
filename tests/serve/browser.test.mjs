// SPDX-License-Identifier: MIT
// The live view in headless Chromium (Debian's /usr/bin/chromium, driven by
// playwright-core; no browser is downloaded) against lscam serve on the
// simulated camera.
import assert from 'node:assert/strict';
import { accessSync, constants, mkdirSync, unlinkSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { build, getJson, handleEvents, registerWrites, startServe, stopServe, tempdir, waitFor } from './lscam.mjs';

const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
// The network is closed: without these Chromium waits on refused connections.
const chromiumArgs = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];
const screenshots = process.env.LSCAM_SCREENSHOT_DIR || path.join(build, 'serve-test');

// Centres of the simulator's four spectral lines as fractions of the line (sim/sim_stream.cpp);
// each drifts by less than 0.01 of the line.
const spectralLines = [0.18, 0.42, 0.61, 0.83];

async function loadPlaywright() {
  try {
    accessSync(chromiumPath, constants.X_OK);
  } catch {
    return { skip: `${chromiumPath} is not installed (Debian package chromium)` };
  }
  try {
    return { chromium: (await import('playwright-core')).chromium };
  } catch {
    return { skip: 'playwright-core is not installed (npm ci in tests/serve)' };
  }
}

// For each column of the profile's plot area, the height of the curve's
// topmost pixel above the bottom, or -1 where the curve has none.
function curveHeights(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById('profile');
    const [l, t, r, b] = canvas.dataset.plot.split(',').map(Number);
    const data = canvas.getContext('2d').getImageData(l, t, r - l, b - t + 1).data;
    const width = r - l;
    const heights = [];
    for (let x = 0; x < width; x++) {
      let found = -1;
      for (let y = 0; y <= b - t && found < 0; y++) {
        const i = (y * width + x) * 4;
        const [red, green, blue] = [data[i], data[i + 1], data[i + 2]];
        if (blue > 120 && blue - red > 60 && blue - green > 40) found = b - t - y;
      }
      heights.push(found);
    }
    return { heights, plotHeight: b - t };
  });
}

// Positions (fractions of the width) of the peaks that stand out of the
// curve's running median by more than an eighth of the plot's height.
function findPeaks({ heights, plotHeight }) {
  const n = heights.length;
  const half = Math.round(n * 0.05);
  const excess = heights.map((h, x) => {
    const around = heights.slice(Math.max(0, x - half), x + half + 1).filter((v) => v >= 0);
    around.sort((a, b) => a - b);
    return h < 0 ? 0 : h - around[Math.floor(around.length / 2)];
  });
  const peaks = [];
  for (let x = 0; x < n; x++) {
    if (excess[x] < plotHeight / 8) continue;
    const last = peaks[peaks.length - 1];
    if (last && x - last.x < n * 0.03) {
      if (excess[x] > last.excess) Object.assign(last, { x, excess: excess[x] });
    } else {
      peaks.push({ x, excess: excess[x] });
    }
  }
  return peaks.map((p) => (p.x + 0.5) / n);
}

function assertSpectralLines(found, where) {
  assert.equal(found.length, spectralLines.length, `${where}: peaks at ${found.map((f) => f.toFixed(3))}`);
  found.forEach((f, i) =>
    assert.ok(Math.abs(f - spectralLines[i]) < 0.02, `${where}: peak ${i} at ${f.toFixed(3)}, expected near ${spectralLines[i]}`),
  );
}

// Colours in the newest rows of the waterfall canvas.
function waterfallColours(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById('waterfall');
    const left = Math.round(64 * (window.devicePixelRatio || 1));
    const data = canvas.getContext('2d').getImageData(left, 8, canvas.width - left - 20, 4).data;
    const colours = new Set();
    for (let i = 0; i < data.length; i += 4) colours.add((data[i] << 16) | (data[i + 1] << 8) | data[i + 2]);
    return colours.size;
  });
}

async function openPage(browser, url, viewport, scale) {
  const context = await browser.newContext({ viewport, deviceScaleFactor: scale });
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForFunction(() => Number(document.body.dataset.frames) >= 30, null, { timeout: 60000 });
  return page;
}

test('the live view shows the spectral lines, and only the token changes settings', async (t) => {
  const { chromium, skip } = await loadPlaywright();
  if (skip) {
    t.skip(skip);
    return;
  }
  mkdirSync(screenshots, { recursive: true });
  const log = path.join(tempdir(), 'control.log');
  const server = await startServe(['--skip', '4'], { SIMCAM_LOG_FILE: log });
  const browser = await chromium.launch({ executablePath: chromiumPath, headless: true, args: chromiumArgs });
  try {
    const page = await openPage(browser, server.url, { width: 1280, height: 820 }, 1);
    assert.equal(await page.textContent('#access'), 'control');
    assert.equal(await page.textContent('#state'), 'streaming');
    assertSpectralLines(findPeaks(await curveHeights(page)), 'desktop');
    assert.ok((await waterfallColours(page)) > 20, 'the waterfall shows the lines in colour');

    await page.fill('input[name=inttime]', '20000');
    await page.click('#apply');
    await page.waitForFunction(() => document.getElementById('message').textContent.includes('inttime 20000'));
    await waitFor('the camera to receive inttime 20000', () => registerWrites(log).includes('s3:20000'), 10000);
    assert.equal((await getJson(server, 'api/settings')).inttime, 20000);
    await page.waitForFunction(() => Number(document.body.dataset.frames) >= 320, null, { timeout: 60000 });
    await page.screenshot({ path: path.join(screenshots, 'live-view.png'), fullPage: true });

    // A phone without the token: read-only, and the same request is refused.
    const phone = await openPage(browser, server.base, { width: 390, height: 844 }, 2);
    assert.equal(await phone.textContent('#access'), 'read-only');
    assert.ok(await phone.isDisabled('input[name=inttime]'));
    assertSpectralLines(findPeaks(await curveHeights(phone)), 'phone');
    const refused = await phone.evaluate(async () => {
      const r = await fetch('api/settings', { method: 'POST', body: new URLSearchParams({ inttime: '30000' }) });
      return r.status;
    });
    assert.equal(refused, 403);
    assert.equal((await getJson(server, 'api/settings')).inttime, 20000);
    await phone.screenshot({ path: path.join(screenshots, 'live-view-phone.png'), fullPage: true });
  } finally {
    await browser.close();
    await stopServe(server);
  }
  assert.equal(server.exit.code, 0, server.stderr);
  assert.deepEqual(registerWrites(log), ['s3:20000'], 'the camera received the tokened change and nothing else');
});

test('the page shows an unplugged camera within a second and streams again once it is back', async (t) => {
  const { chromium, skip } = await loadPlaywright();
  if (skip) {
    t.skip(skip);
    return;
  }
  const dir = tempdir();
  const unplug = path.join(dir, 'unplugged');
  const log = path.join(dir, 'control.log');
  const server = await startServe([], { SIMCAM_UNPLUG_FILE: unplug, SIMCAM_LOG_FILE: log, SIMCAM_RATE: '4000000' });
  const browser = await chromium.launch({ executablePath: chromiumPath, headless: true, args: chromiumArgs });
  const state = (page) => page.textContent('#state');
  try {
    const page = await openPage(browser, server.url, { width: 1000, height: 700 }, 1);
    assert.equal(await state(page), 'streaming');
    const openedBefore = handleEvents(log).opened;

    writeFileSync(unplug, '');
    const pulled = Date.now();
    await page.waitForFunction(() => document.getElementById('state').textContent === 'camera unplugged', null, {
      timeout: 10000,
    });
    const shown = Date.now() - pulled;
    await waitFor('the terminal to say so', () => server.stderr.includes('SIM0001 unplugged'), 10000, 10);
    const said = Date.now() - pulled;
    assert.match(await page.textContent('#rate'), /^0\.00 MB\/s, 0 lines\/s/);
    const status = await getJson(server, 'api/status');
    assert.deepEqual([status.camera, status.streaming, status.bytesPerSecond, status.linesPerSecond], ['unplugged', false, 0, 0]);
    await page.screenshot({ path: path.join(screenshots, 'live-view-unplugged.png') });

    const framesBefore = Number(await page.evaluate(() => document.body.dataset.frames));
    unlinkSync(unplug);
    const plugged = Date.now();
    await page.waitForFunction(
      (n) => Number(document.body.dataset.frames) > n + 5 && document.getElementById('state').textContent === 'streaming',
      framesBefore,
      { timeout: 10000 },
    );
    const resumed = Date.now() - plugged;
    t.diagnostic(`unplugged: page ${shown} ms, terminal ${said} ms; plugged in: page streaming again after ${resumed} ms`);
    assert.ok(shown <= 1000 && said <= 1000, `unplugging shown after ${shown} ms, said after ${said} ms`);
    assert.ok(resumed <= 2000, `the page streamed again ${resumed} ms after the camera came back`);
    assert.match(server.stderr, /camera SIM0001 is back, streaming again/);
    assert.ok(handleEvents(log).opened > openedBefore, 'the camera was opened again');
  } finally {
    await browser.close();
    await stopServe(server);
  }
  assert.equal(server.exit.code, 0, server.stderr);
  const handles = handleEvents(log);
  assert.equal(handles.closed, handles.opened, 'every handle is closed at the end');
});
