// SPDX-License-Identifier: MIT
// Run by hostile.test.mjs inside a network namespace of its own, whose only
// interface is loopback with 192.0.2.7 and 2001:db8::7 added as global addresses:
// lscam serve on all interfaces, in each way of writing them, warns, prints
// the machine's addresses as URLs and answers to the machine's names only.
// Prints one line per check that failed and exits 1 if any did.
import { hostname } from 'node:os';
import { request, startServe, stopServe } from './lscam.mjs';

const failures = [];
const check = (ok, what) => ok || failures.push(what);

for (const listen of ['0:0', '0.0.0.0:0', '[::]:0']) {
  const server = await startServe(['--listen', listen], { SIMCAM_RATE: '1000000' });
  const port = new URL(server.base).port;
  try {
    check(/warning: listening on all interfaces/.test(server.stderr), `${listen}: no warning on stderr: ${server.stderr}`);
    check(/ssh -L/.test(server.stderr), `${listen}: the warning suggests no SSH tunnel`);
    for (const url of [`http://192.0.2.7:${port}/?token=${server.token}`, `http://[2001:db8::7]:${port}/?token=`])
      check(server.stdout.includes(url), `${listen}: ${url} is not printed: ${server.stdout}`);
    check(!/http:\/\/(0|0\.0\.0\.0|\[::\]):/.test(server.stdout), `${listen}: an unusable URL is printed`);
    for (const host of [`192.0.2.7:${port}`, `[2001:db8::7]:${port}`, `${hostname()}:${port}`, `localhost:${port}`]) {
      const r = await request(server, 'api/status', { headers: { Host: host } });
      check(r.status === 200, `${listen}: Host ${host} got ${r.status}`);
    }
    const foreign = await request(server, 'api/status', { headers: { Host: `attacker.example:${port}` } });
    check(foreign.status === 421, `${listen}: a foreign Host got ${foreign.status}`);
    const direct = await request({ base: `http://192.0.2.7:${port}/` }, 'api/status');
    check(direct.status === 200, `${listen}: through 192.0.2.7 got ${direct.status}`);
  } finally {
    await stopServe(server);
  }
}
for (const f of failures) console.log(f);
process.exit(failures.length ? 1 : 0);
