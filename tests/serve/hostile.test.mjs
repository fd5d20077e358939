// SPDX-License-Identifier: MIT
// lscam serve against hostile clients on loopback: connections that trickle
// their headers, headers of many megabytes, watchers that never read, and
// requests for other host names or from other origins. The attackers connect
// from loopback addresses of their own (127.0.1.x, 127.0.2.1, 127.0.3.1), the
// user from 127.0.0.1, as they would from other machines.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import net from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import {
  getJson,
  handleEvents,
  memoryKiB,
  postSettings,
  registerWrites,
  request,
  resetPeak,
  startServe,
  stopServe,
  tempdir,
  waitFor,
} from './lscam.mjs';

// Opens a connection that sends a request line and then one header line a
// second, never the end of the header; opens it again when the server cuts it,
// until stop() is called.
function slowHeaders(port, localAddress) {
  const state = { stopped: false, cut: 0, socket: null, timer: null };
  const open = () => {
    const socket = net.connect({ host: '127.0.0.1', port, localAddress });
    state.socket = socket;
    socket.on('connect', () => {
      socket.write('GET /api/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n');
      state.timer = setInterval(() => socket.write('X-Slow: 1\r\n'), 1000);
    });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearInterval(state.timer);
      state.cut++;
      if (!state.stopped) setTimeout(open, 50);
    });
  };
  open();
  state.stop = () => {
    state.stopped = true;
    clearInterval(state.timer);
    state.socket.destroy();
  };
  return state;
}

// Sends a request whose header is `megabytes` MB of header lines, as fast as
// the server takes them; resolves with the bytes it took.
function hugeHeaders(port, localAddress, megabytes) {
  return new Promise((resolve) => {
    const line = `X-Pad: ${'a'.repeat(1016)}\r\n`;
    const chunk = line.repeat(64);
    const total = megabytes * 1024 * 1024;
    let sent = 0;
    const socket = net.connect({ host: '127.0.0.1', port, localAddress });
    const finish = () => {
      socket.destroy();
      resolve(sent);
    };
    const pump = () => {
      while (sent < total) {
        sent += chunk.length;
        if (!socket.write(chunk)) return socket.once('drain', pump);
      }
      socket.end('\r\n');
    };
    socket.on('connect', () => {
      socket.write('GET /api/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n');
      pump();
    });
    socket.on('error', finish);
    socket.on('close', finish);
    socket.setTimeout(15000, finish);
  });
}

// Asks for whole lines and never reads a byte.
function neverReads(port, localAddress) {
  const socket = net.connect({ host: '127.0.0.1', port, localAddress }, () => {
    socket.write(`GET /api/stream?bins=1048576 HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
    socket.pause();
  });
  socket.on('error', () => {});
  return socket;
}

// Counts the frames a reading watcher receives.
function readingWatcher(server) {
  const url = new URL(server.base);
  const w = { frames: 0, text: '' };
  w.socket = net.connect({ host: '127.0.0.1', port: Number(url.port) }, () =>
    w.socket.write(`GET /api/stream?bins=64 HTTP/1.1\r\nHost: ${url.host}\r\n\r\n`),
  );
  w.socket.setEncoding('utf8');
  w.socket.on('data', (d) => {
    w.text += d;
    const parts = w.text.split('event: frame\n');
    w.frames += parts.length - 1;
    w.text = parts[parts.length - 1];
  });
  w.socket.on('error', () => {});
  return w;
}

test('slow, huge and never-reading clients leave the control route fast, the memory bounded and SIGTERM prompt', async (t) => {
  const log = path.join(tempdir(), 'control.log');
  const server = await startServe([], { SIMCAM_RATE: '10000000', SIMCAM_LOG_FILE: log });
  const port = Number(new URL(server.base).port);
  const pid = server.child.pid;
  const slow = [];
  const stalled = [];
  let watcher = null;
  let atEnd = null;
  try {
    // The stream's 16 MiB FIFO has had every page written once: it adds no resident memory any more.
    await waitFor('20 MB of stream', async () => (await getJson(server, 'api/status')).bytes >= 20e6);
    await getJson(server, 'api/settings');
    resetPeak(pid);
    const rssBefore = memoryKiB(pid);

    for (let i = 0; i < 200; i++) slow.push(slowHeaders(port, `127.0.1.${1 + (i % 8)}`));
    for (let i = 0; i < 20; i++) stalled.push(neverReads(port, '127.0.3.1'));
    const huge = Array.from({ length: 8 }, () => hugeHeaders(port, '127.0.2.1', 30));
    watcher = readingWatcher(server);

    // 50 requests of the control route, one every 100 ms, each on a new connection.
    const latencies = await Promise.all(
      Array.from({ length: 50 }, async (_, i) => {
        await new Promise((resolve) => setTimeout(resolve, 500 + i * 100));
        const started = performance.now();
        try {
          const r = await request(server, 'api/settings', { timeout: 2000 });
          return r.status === 200 ? performance.now() - started : Infinity;
        } catch {
          return Infinity;
        }
      }),
    );
    const hugeSent = await Promise.all(huge);
    const rssPeak = memoryKiB(pid, 'VmHWM');
    const grownMiB = (rssPeak - rssBefore) / 1024;
    const slowest = Math.max(...latencies);
    t.diagnostic(
      `control route: slowest ${slowest.toFixed(1)} ms, median ` +
        `${[...latencies].sort((a, b) => a - b)[25].toFixed(1)} ms; memory peak ${grownMiB.toFixed(1)} MiB above the ` +
        `start; slow connections cut ${slow.reduce((n, s) => n + s.cut, 0)} times; huge headers taken ` +
        `${hugeSent.map((b) => (b / 1048576).toFixed(1)).join(' ')} MB; reading watcher ${watcher.frames} frames`,
    );
    assert.ok(slowest <= 100, `the control route took ${latencies.map((l) => l.toFixed(0)).join(' ')} ms`);
    assert.ok(grownMiB <= 32, `resident memory grew ${grownMiB.toFixed(1)} MiB`);
    assert.ok(watcher.frames >= 10, `a reading watcher got ${watcher.frames} frames beside the stalled ones`);
  } finally {
    slow.forEach((s) => (s.stopped = true));
    // What the simulator had logged when the server ended the reading watcher's stream.
    atEnd = new Promise((resolve) => watcher?.socket.on('end', () => resolve(handleEvents(log))));
    const started = Date.now();
    await stopServe(server, 'SIGTERM', 10000).catch((e) => {
      server.child.kill('SIGKILL');
      throw e;
    });
    const took = Date.now() - started;
    t.diagnostic(`SIGTERM to exit with the attackers connected: ${took} ms`);
    slow.forEach((s) => s.stop());
    stalled.forEach((s) => s.destroy());
    watcher?.socket.destroy();
    assert.ok(took <= 2000, `lscam serve took ${took} ms to end after SIGTERM`);
  }
  assert.equal(server.exit.code, 0, server.stderr);
  assert.match(server.stdout, /stopped, camera closed/);
  const handles = handleEvents(log);
  assert.ok(handles.opened > 0, 'the simulator logged the camera opened');
  assert.equal(handles.closed, handles.opened, 'every handle the server opened is closed');
  const whenClientsEnded = await atEnd;
  assert.equal(whenClientsEnded.closed, whenClientsEnded.opened, 'the camera was closed before the clients were ended');
});

test('a foreign Host is refused on every route, a foreign Origin on POST; the own origin works', async () => {
  const log = path.join(tempdir(), 'control.log');
  const server = await startServe([], { SIMCAM_LOG_FILE: log, SIMCAM_RATE: '1000000' });
  const port = new URL(server.base).port;
  const routes = ['', 'page.js', 'page.css', 'api/info', 'api/settings', 'api/status', 'api/stream', 'api/waterfall.png'];
  try {
    await waitFor('a line for the waterfall', async () => (await request(server, 'api/waterfall.png')).status === 200);
    for (const host of [`attacker.example:${port}`, 'attacker.example', `localhost:${Number(port) + 1}`, '127.0.0.1']) {
      for (const route of routes) {
        const r = await request(server, route, { headers: { Host: host } });
        assert.equal(r.status, 421, `GET /${route} with Host ${host}: ${r.text}`);
      }
      const post = await postRaw(server, 'mode=1', { Host: host });
      assert.equal(post.status, 421, `POST with Host ${host}`);
    }
    for (const host of [`localhost:${port}`, `LOCALHOST:${port}`, `127.0.0.1:${port}`, `[::1]:${port}`]) {
      for (const route of routes) {
        const r = await request(server, route, { headers: { Host: host } });
        assert.equal(r.status, 200, `GET /${route} with Host ${host}: ${r.text}`);
      }
    }

    const before = await getJson(server, 'api/settings');
    for (const origin of [`http://attacker.example:${port}`, 'null', `http://localhost:${Number(port) + 1}`]) {
      const r = await postRaw(server, 'mode=1', { Origin: origin, 'X-Token': server.token });
      assert.equal(r.status, 403, `Origin ${origin}: ${r.text}`);
      assert.match(r.text, /another origin/);
    }
    assert.deepEqual(await getJson(server, 'api/settings'), before);
    const own = await postRaw(server, 'mode=2', { Origin: server.base.replace(/\/$/, ''), 'X-Token': server.token });
    assert.equal(own.status, 200, own.text);
    const none = await postSettings(server, 'mode=3');
    assert.equal(none.status, 200, none.text);
  } finally {
    await stopServe(server);
  }
  assert.deepEqual(registerWrites(log), ['s1:2', 's1:3'], 'only the requests of the own origin reached the camera');
});

// A POST of a form body with the given headers added.
function postRaw(server, body, headers) {
  return request(server, 'api/settings', {
    method: 'POST',
    body,
    headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': Buffer.byteLength(body), ...headers },
  });
}

// Binding all interfaces is tried in a network namespace of its own (needs
// root and iproute2), so that nothing listens beyond loopback on this machine.
test('all interfaces, however written: a warning, the machine addresses as URLs, and its names as Host', async (t) => {
  const setup =
    'ip link set lo up && ip addr add 192.0.2.7/32 dev lo && ip addr add 2001:db8::7/128 dev lo nodad';
  const probe = spawnSync('unshare', ['-n', 'sh', '-c', setup], { encoding: 'utf8' });
  if (probe.status !== 0) {
    t.skip(`no network namespace of its own here (root and iproute2 needed): ${probe.stderr.trim()}`);
    return;
  }
  const inside = path.join(path.dirname(fileURLToPath(import.meta.url)), 'anywhere.mjs');
  const r = spawnSync('unshare', ['-n', 'sh', '-c', `${setup} && exec "${process.execPath}" "${inside}"`], {
    encoding: 'utf8',
    timeout: 60000,
  });
  assert.equal(r.status, 0, `${r.stdout}${r.stderr}`);
});
