// The fleet's page in headless Chromium against orlix-fleet --web, in a
// process group of its own that must be empty once the tool has stopped.
// ORLIX_FLEET names the orlix-fleet to run.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { freePort, get, openPage, post, rawClient, startServing } from './helpers.mjs';

const FLEET = process.env.ORLIX_FLEET;

function groupAlive(pgid) {
  try {
    process.kill(-pgid, 0);
    return true;
  } catch {
    return false;
  }
}

test('the page shows every cabinet, and a fob pressed from it puts all of them in lockdown', async (t) => {
  assert.ok(FLEET, 'ORLIX_FLEET names the orlix-fleet to run');
  const dir = mkdtempSync(join(tmpdir(), 'orlix-fleet-web-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const script = join(dir, 'three.fleet');
  writeFileSync(script, 'cabinets A B C\nwait 1s\nfob red paired A B C\n');
  const port = await freePort();
  const { tool: fleet, serving } = startServing(FLEET, [script, '--web', '--port', String(port)], port,
    { detached: true });
  t.after(() => groupAlive(fleet.pid) && process.kill(-fleet.pid, 'SIGKILL'));
  await serving;
  const page = await openPage(t, port);
  const column = (n) => page.$$eval('#cabinets tbody tr', (rows, i) => rows.map((r) => r.cells[i].textContent), n);
  const columnIs = (n, texts) => page.waitForFunction((i, want) =>
    [...document.querySelectorAll('#cabinets tbody tr')].map((r) => r.cells[i].textContent).join() === want,
  {}, n, texts.join());

  await page.waitForFunction(() => /has run, every expectation held$/.test(document.getElementById('script').textContent));
  assert.deepEqual(await column(0), ['A', 'B', 'C']);
  await columnIs(3, Array(3).fill('DCLOOOF01V010B'));  // each has the fob paired
  assert.match(await page.$eval('#air', (el) => el.textContent), /fob red.*A: heard B: heard C: heard/);

  // A fob toggles a cabinet once in 7 s: the pairing press was at 1.1 s.
  await page.waitForFunction(() => parseFloat(document.getElementById('time').textContent) >= 9);
  await page.click('button[data-command="fob red"]');
  await columnIs(2, Array(3).fill('LOCKDOWN'));
  assert.match(await page.$eval('#log', (el) => el.textContent), /page +fob red/);

  await page.evaluate(() => send('fob blue'));
  await page.waitForFunction(() => /^no fob named blue/.test(document.getElementById('refused').textContent));
  await page.click('button[data-command="@all power off"]');
  await columnIs(1, ['off', 'off', 'off']);

  assert.equal((await get(port, '/', `rebound.example:${port}`)).statusCode, 403);

  // Stopped, it leaves no board behind.
  fleet.kill('SIGTERM');
  assert.deepEqual(await fleet.exited, { code: 0, signal: null });
  for (let i = 0; i < 50 && groupAlive(fleet.pid); i++) await sleep(100);
  assert.ok(!groupAlive(fleet.pid), 'no process of the fleet is left');
});

// More event streams than the server keeps open, and clients that connect and
// send nothing or a byte a second: the page and its commands still answer at
// once, the extra streams are refused, and the slow clients are let go.
test('the page answers beside many event streams and slow clients', async (t) => {
  assert.ok(FLEET, 'ORLIX_FLEET names the orlix-fleet to run');
  const STREAMS = 24; // the server keeps 16 open
  const SLOW = 50;
  const port = await freePort();
  const { tool: fleet, serving } = startServing(FLEET, ['--web', '--port', String(port), '--cabinets', '1'], port,
    { detached: true });
  t.after(() => groupAlive(fleet.pid) && process.kill(-fleet.pid, 'SIGKILL'));
  await serving;
  const host = `127.0.0.1:${port}`;
  const clients = [];
  t.after(() => clients.forEach((c) => c.destroy()));
  for (let i = 0; i < STREAMS; i++) clients.push(rawClient(port, `GET /events HTTP/1.1\r\nHost: ${host}\r\n\r\n`));
  const slow = [];
  for (let i = 0; i < SLOW; i++) slow.push(rawClient(port, i % 2 ? `GET / HTTP/1.1\r\nHost: ${host}\r\n\r\n` : '', { trickle: true }));
  clients.push(...slow);
  const within = (ms, promise, what) => Promise.race([promise,
    sleep(ms).then(() => { throw new Error(`${what}: no answer within ${ms} ms`); })]);
  assert.equal((await within(2000, get(port, '/', host), 'the page')).statusCode, 200);
  const refused = await within(2000, post(port, '/command', Buffer.from([0x66, 0x6f, 0x62, 0x20, 0xff, 0x1b])), 'a command');
  assert.deepEqual(refused, { status: 400, text: 'no fob named \\xFF\\x1B (declare it: fob NAME paired A B)' });
  const streams = clients.slice(0, STREAMS);
  for (let i = 0; i < 100 && !streams.every((c) => c.received.includes('\r\n')); i++) await sleep(100);
  const answered = streams.map((c) => c.received.split('\r\n')[0]);
  assert.equal(answered.filter((l) => l === 'HTTP/1.1 200 OK').length, 16, answered.join('\n'));
  assert.equal(answered.filter((l) => l === 'HTTP/1.1 503 Service Unavailable').length, STREAMS - 16);
  await within(10000, Promise.all(slow.map((c) => c.gone)), 'the slow clients let go');

  fleet.kill('SIGTERM');
  assert.deepEqual(await within(5000, fleet.exited, 'the tool stopped'), { code: 0, signal: null });
});
