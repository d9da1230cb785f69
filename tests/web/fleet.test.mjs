// The fleet's page in headless Chromium against orlix-fleet --web, in a
// process group of its own that must be empty once the tool has stopped.
// ORLIX_FLEET names the orlix-fleet to run.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { freePort, get, openPage, startServing } from './helpers.mjs';

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
