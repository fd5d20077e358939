// SPDX-License-Identifier: MIT
// lscam serve as a child process against the simulated camera, and waiting
// on conditions with deadlines.
import { spawn } from 'node:child_process';
import http from 'node:http';
import { mkdtempSync, readFileSync, existsSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const build = process.env.VANTORPI_BUILD_DIR || path.join(root, 'build');
export const lscamPath = path.join(build, 'tools', 'lscam');

export function tempdir() {
  return mkdtempSync(path.join(tmpdir(), 'lscam-serve-'));
}

// Polls check() until it returns something truthy, which it returns; fails
// with `what` after timeout ms.
export async function waitFor(what, check, timeout = 30000, interval = 50) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

// Starts `lscam serve --listen 127.0.0.1:0 ARGS` with the simulator's
// settings in env and waits for the URLs it prints.
export async function startServe(args = [], env = {}) {
  if (!existsSync(lscamPath)) throw new Error(`${lscamPath} is not built`);
  const childEnv = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('SIMCAM_')));
  childEnv.LD_LIBRARY_PATH = [path.join(build, 'sim'), process.env.LD_LIBRARY_PATH].filter(Boolean).join(':');
  Object.assign(childEnv, env);
  const child = spawn(lscamPath, ['serve', '--listen', '127.0.0.1:0', ...args], {
    env: childEnv,
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const server = { child, stdout: '', stderr: '', exit: null };
  child.stdout.on('data', (d) => (server.stdout += d));
  child.stderr.on('data', (d) => (server.stderr += d));
  server.exited = new Promise((resolve) =>
    child.on('exit', (code, signal) => {
      server.exit = { code, signal };
      resolve(server.exit);
    }),
  );
  const match = await waitFor('the URL printed by lscam serve', () => {
    if (server.exit) throw new Error(`lscam serve ended early: ${server.stdout}${server.stderr}`);
    return server.stdout.match(/(http:\/\/127\.0\.0\.1:\d+\/)\?token=([0-9a-f]{32})/);
  }).catch((e) => {
    child.kill('SIGKILL');
    throw e;
  });
  server.base = match[1];
  server.token = match[2];
  server.url = match[0];
  return server;
}

// Sends the signal and waits for the process to end.
export async function stopServe(server, signal = 'SIGTERM', timeout = 30000) {
  if (!server.exit) server.child.kill(signal);
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`lscam serve did not end within ${timeout} ms of ${signal}`)), timeout);
  });
  try {
    await Promise.race([server.exited, late]);
  } finally {
    clearTimeout(timer);
  }
  return server.exit;
}

export async function getJson(server, route) {
  const response = await fetch(server.base + route);
  if (!response.ok) throw new Error(`GET ${route}: ${response.status} ${await response.text()}`);
  return response.json();
}

// POSTs a form body to /api/settings; token true sends the server's token.
export async function postSettings(server, body, { token = true, type = 'application/x-www-form-urlencoded' } = {}) {
  const headers = { 'Content-Type': type };
  if (token) headers['X-Token'] = token === true ? server.token : token;
  const response = await fetch(server.base + 'api/settings', { method: 'POST', headers, body });
  return { status: response.status, text: await response.text() };
}

// The control transfers the simulator wrote to SIMCAM_LOG_FILE.
export function controlLog(file) {
  return existsSync(file) ? readFileSync(file, 'utf8').split('\n').filter(Boolean) : [];
}

// Log lines of second-processor register writes ("s<reg>:<value>\r" on request 0x20).
export function registerWrites(file) {
  return controlLog(file)
    .filter((l) => l.includes('type=0x40 request=0x20 '))
    .map((l) => l.match(/data="(s\d+:\d+)\\x0d"/)?.[1])
    .filter(Boolean);
}

// Handles the simulator opened and closed, from the "event=" lines of SIMCAM_LOG_FILE.
export function handleEvents(file) {
  const lines = controlLog(file);
  return {
    opened: lines.filter((l) => l.endsWith(' event=open')).length,
    closed: lines.filter((l) => l.endsWith(' event=close')).length,
  };
}

// One request on a connection of its own, with any Host and Origin, from
// localAddress if given; resolves to { status, text } or rejects after timeout ms.
export function request(server, route, { method = 'GET', headers = {}, body, localAddress, timeout = 10000 } = {}) {
  const url = new URL(route, server.base);
  return new Promise((resolve, reject) => {
    const req = http.request(
      { host: url.hostname, port: url.port, path: url.pathname + url.search, method, headers, localAddress, agent: false },
      (res) => {
        // An event stream does not end: its status and first bytes are enough.
        if (res.headers['content-type']?.startsWith('text/event-stream')) {
          res.once('data', (d) => {
            resolve({ status: res.statusCode, text: String(d) });
            req.destroy();
          });
          return;
        }
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (d) => (text += d));
        res.on('end', () => resolve({ status: res.statusCode, text }));
      },
    );
    req.setTimeout(timeout, () => req.destroy(new Error(`${method} ${route}: no answer within ${timeout} ms`)));
    req.on('error', reject);
    req.end(body);
  });
}

// The resident memory now, or its peak since resetPeak(), in KiB.
export function memoryKiB(pid, field = 'VmRSS') {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(new RegExp(`^${field}:\\s+(\\d+) kB`, 'm'))[1]);
}

export function resetPeak(pid) {
  writeFileSync(`/proc/${pid}/clear_refs`, '5');
}
