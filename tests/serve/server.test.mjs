// SPDX-License-Identifier: MIT
// lscam serve's HTTP side against the simulated camera: watchers that read
// and one that never does, requests that must be refused, and the signals
// that stop it.
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { spawnSync } from 'node:child_process';
import {
  build,
  getJson,
  lscamPath,
  memoryKiB,
  postSettings,
  registerWrites,
  resetPeak,
  startServe,
  stopServe,
  tempdir,
  waitFor,
} from './lscam.mjs';

// A browser-like watcher of /api/stream that counts the events it receives.
function watch(server, bins) {
  const w = { frames: 0, statuses: 0, settings: 0, lastFrame: null, buffer: '' };
  w.request = http.get(`${server.base}api/stream?bins=${bins}`, (res) => {
    w.status = res.statusCode;
    res.setEncoding('utf8');
    res.on('data', (chunk) => {
      w.buffer += chunk;
      let end;
      while ((end = w.buffer.indexOf('\n\n')) >= 0) {
        const block = w.buffer.slice(0, end);
        w.buffer = w.buffer.slice(end + 2);
        const type = block.match(/^event: (\w+)$/m)?.[1];
        const data = block.match(/^data: (.*)$/m)?.[1];
        if (type === 'frame') {
          w.frames++;
          w.lastFrame = JSON.parse(data);
        } else if (type === 'status') w.statuses++;
        else if (type === 'settings') w.settings++;
      }
    });
  });
  w.request.on('error', () => {});
  w.close = () => w.request.destroy();
  return w;
}

// A client that asks for whole lines and then never reads a byte: its socket
// fills within a second, and the server's writes to it block.
function stalledWatcher(server) {
  const url = new URL(server.base);
  const socket = net.connect(Number(url.port), url.hostname, () => {
    socket.write(`GET /api/stream?bins=1048576 HTTP/1.1\r\nHost: ${url.host}\r\n\r\n`);
    socket.pause();
  });
  socket.on('error', () => {});
  return socket;
}

// Lines per second from the server's own counters over at least `ms`.
async function lineRate(server, ms) {
  const first = await getJson(server, 'api/status');
  const last = await waitFor(
    `${ms} ms of stream`,
    async () => {
      const s = await getJson(server, 'api/status');
      return s.elapsedMs - first.elapsedMs >= ms ? s : null;
    },
    ms + 30000,
    100,
  );
  return ((last.lines - first.lines) * 1000) / (last.elapsedMs - first.elapsedMs);
}

test('four watchers and one that never reads leave the stream rate and the memory alone', async (t) => {
  // Long lines make every queued frame large: a queue without a bound would show in the memory.
  // The waterfall's history is kept short, so that it is full before the memory is measured.
  const width = 65536;
  const server = await startServe(['--width', String(width), '--history', '16'], {
    SIMCAM_LINE_WIDTH: String(width),
    SIMCAM_RATE: '40000000',
  });
  const watchers = [];
  let stalled = null;
  try {
    await waitFor('the stream to run', async () => (await getJson(server, 'api/status')).streaming);
    const alone = await lineRate(server, 2000);
    const expected = 40e6 / (width * 2);
    assert.ok(alone > 0.5 * expected, `stream alone: ${alone.toFixed(1)} lines/s, configured ${expected}`);

    for (let i = 0; i < 4; i++) watchers.push(watch(server, 1024));
    stalled = stalledWatcher(server);
    await waitFor('every watcher to receive frames', () => watchers.every((w) => w.frames >= 5));
    await waitFor('five watchers attached', async () => (await getJson(server, 'api/status')).watchers === 5);
    resetPeak(server.child.pid);
    const rssBefore = memoryKiB(server.child.pid);
    const framesBefore = watchers.map((w) => w.frames);
    const started = Date.now();
    const loaded = await lineRate(server, 6000);
    const seconds = (Date.now() - started) / 1000;
    const rssPeak = memoryKiB(server.child.pid, 'VmHWM');

    const grownMiB = (rssPeak - rssBefore) / 1024;
    t.diagnostic(
      `lines/s alone ${alone.toFixed(1)}, with watchers ${loaded.toFixed(1)}; ` +
        `frames/s per watcher ${watchers.map((w, i) => ((w.frames - framesBefore[i]) / seconds).toFixed(1)).join(' ')}; ` +
        `memory peak ${grownMiB.toFixed(2)} MiB above the start`,
    );
    assert.ok(
      loaded > 0.75 * alone,
      `with watchers ${loaded.toFixed(1)} lines/s, alone ${alone.toFixed(1)} lines/s: the reader was held up`,
    );
    watchers.forEach((w, i) => {
      const perSecond = (w.frames - framesBefore[i]) / seconds;
      assert.ok(perSecond >= 10, `watcher ${i} got ${perSecond.toFixed(1)} frames/s`);
      assert.equal(w.lastFrame.bins.length, 1024);
      assert.equal(w.lastFrame.pixels, width);
    });
    assert.ok(grownMiB < 8, `memory peaked ${grownMiB.toFixed(1)} MiB higher within ${seconds.toFixed(1)} s`);
  } finally {
    watchers.forEach((w) => w.close());
    stalled?.destroy();
    await stopServe(server);
  }
  assert.equal(server.exit.code, 0, server.stderr);
});

test('bad and unauthorised requests are refused and change nothing', async () => {
  const log = path.join(tempdir(), 'control.log');
  const server = await startServe([], { SIMCAM_LOG_FILE: log, SIMCAM_RATE: '1000000' });
  const cases = [
    { body: '', status: 400, says: 'no settings given' },
    { body: 'inttime=abc', status: 400, says: 'inttime takes a whole number from 1053 to 2100000000' },
    { body: 'inttime=1052', status: 400, says: "not '1052'" },
    { body: 'inttime=2100000001', status: 400, says: "not '2100000001'" },
    { body: 'inttime=-5', status: 400, says: "not '-5'" },
    { body: 'mode=4', status: 400, says: 'mode takes a whole number from 0 to 3' },
    { body: 'state=2', status: 400, says: 'state takes a whole number from 0 to 1' },
    { body: 'pga1=512', status: 400, says: 'pga1 takes a whole number from 0 to 511' },
    { body: 'offset3=0x200', status: 400, says: 'offset3 takes' },
    { body: 'inttime=20000&inttime=30000', status: 400, says: 'inttime is given twice' },
    { body: 'mode=1&psy=1', status: 400, says: "'psy' is not a setting that can be changed here" },
    { body: 'cwp=0', status: 400, says: "'cwp' is not a setting" },
    { body: 'dwp=0', status: 400, says: "'dwp' is not a setting" },
    { body: 'adcconfig=0', status: 400, says: "'adcconfig' is not a setting" },
    { body: 'mode=1', type: 'application/json', status: 400, says: 'application/x-www-form-urlencoded' },
    { body: `mode=1&x=${'1'.repeat(20000)}`, status: 413, says: 'at most 16384 bytes' },
    { body: 'mode=1', token: false, status: 403, says: 'needs the token' },
    { body: 'mode=1', token: '0'.repeat(32), status: 403, says: 'needs the token' },
  ];
  let before;
  try {
    before = await getJson(server, 'api/settings');
    for (const c of cases) {
      const r = await postSettings(server, c.body, { token: c.token ?? true, type: c.type });
      assert.equal(r.status, c.status, `${c.body}: ${r.text}`);
      assert.ok(r.text.includes(c.says), `${c.body}: '${r.text.trim()}' should say '${c.says}'`);
    }
    for (const route of ['api/stream?bins=0', 'api/stream?bins=many']) {
      const r = await fetch(server.base + route);
      assert.equal(r.status, 400, route);
    }
    assert.deepEqual(await getJson(server, 'api/settings'), before);
    assert.equal((await getJson(server, 'api/info')).control, false, 'no token, no control');

    // The same route with the token does change the camera.
    const ok = await postSettings(server, 'mode=2&pga2=0x1ff');
    assert.equal(ok.status, 200, ok.text);
    assert.deepEqual(JSON.parse(ok.text), { ...before, mode: 2, pga2: 511 });
  } finally {
    await stopServe(server);
  }
  assert.deepEqual(registerWrites(log), ['s1:2'], 'only the authorised request reached the second processor');
});

test('SIGINT and SIGTERM stop the server with watchers attached and close the camera', async () => {
  for (const signal of ['SIGINT', 'SIGTERM']) {
    const server = await startServe([], { SIMCAM_RATE: '4000000' });
    const w = watch(server, 64);
    try {
      await waitFor('a frame', () => w.frames > 0);
    } finally {
      await stopServe(server, signal);
      w.close();
    }
    assert.equal(server.exit.code, 0, `${signal}: ${server.stderr}`);
    assert.match(server.stdout, /stopped, camera closed/, signal);
  }
});

test('bad options exit with 2, a port in use with 1', async () => {
  const server = await startServe([], { SIMCAM_RATE: '1000000' });
  const cases = [
    { args: ['--listen', 'nowhere'], status: 2, says: '--listen needs ADDR:PORT' },
    { args: ['--listen', '127.0.0.1:65536'], status: 2, says: '--listen needs ADDR:PORT' },
    { args: ['--depth', '12'], status: 2, says: '--depth is 16 or 8' },
    { args: ['--skip', '2048'], status: 2, says: '--skip needs a number of pixels below --width' },
    { args: ['--full-scale', '65536'], status: 2, says: '--full-scale needs a count from 1 to 65535' },
    { args: ['--frame-rate', '0'], status: 2, says: '--frame-rate' },
    { args: ['--listen', new URL(server.base).host], status: 1, says: 'cannot listen there' },
  ];
  try {
    for (const c of cases) {
      const r = spawnSync(lscamPath, ['serve', ...c.args], {
        env: { ...process.env, LD_LIBRARY_PATH: path.join(build, 'sim') },
        encoding: 'utf8',
        timeout: 30000,
      });
      assert.equal(r.status, c.status, `${c.args.join(' ')}: ${r.stderr}`);
      assert.ok(r.stderr.includes(c.says), `${c.args.join(' ')}: ${r.stderr}`);
      assert.equal(r.stdout, '', c.args.join(' '));
    }
  } finally {
    await stopServe(server);
  }
});
