// The virtual cabinet's page in a real browser: headless Chromium, driven by
// puppeteer-core, against orlix-sim --web on a free port of 127.0.0.1.
// ORLIX_SIM names the orlix-sim to run.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { request } from 'node:http';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const SIM = process.env.ORLIX_SIM;
const CHROMIUM = process.env.ORLIX_CHROMIUM || '/usr/bin/chromium';
const WAIT_MS = 120000; // every wait: the board may run well below real time on a loaded machine
const ALARM_BLUE = 'rgb(0, 0, 255)';

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Starts orlix-sim and resolves once it serves the page.
function startSim(port) {
  const sim = spawn(SIM, ['--web', String(port)], { stdio: ['pipe', 'pipe', 'inherit'] });
  sim.output = '';
  const serving = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no web page line:\n' + sim.output)), WAIT_MS);
    sim.stdout.on('data', (chunk) => {
      sim.output += chunk;
      if (sim.output.includes(`web page: http://127.0.0.1:${port}/`)) {
        clearTimeout(timer);
        resolve();
      }
    });
    sim.once('exit', (code) => reject(new Error(`orlix-sim ended (${code}):\n${sim.output}`)));
  });
  return { sim, serving };
}

// A GET under the given Host header: its status and headers.
function get(port, path, host) {
  return new Promise((resolve, reject) => {
    const req = request({ host: '127.0.0.1', port, path, headers: { Host: host } }, (res) => {
      res.destroy();
      resolve(res);
    });
    req.on('error', reject);
    req.end();
  });
}

test('the page shows the door, the alarm lights and a paired fob as the board reports them', async (t) => {
  assert.ok(SIM, 'ORLIX_SIM names the orlix-sim to run');
  const port = await freePort();
  const { sim, serving } = startSim(port);
  const profile = mkdtempSync(join(tmpdir(), 'orlix-web-'));
  let browser;
  t.after(async () => {
    if (browser) await browser.close();
    sim.kill('SIGTERM');
    rmSync(profile, { recursive: true, force: true });
  });
  await serving;
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 640 });
  page.setDefaultTimeout(WAIT_MS);
  await page.goto(`http://127.0.0.1:${port}/`, { waitUntil: 'domcontentloaded' });
  const text = (id) => page.$eval(`#${id}`, (el) => el.textContent);
  const waitText = (id, pattern) =>
    page.waitForFunction((i, p) => new RegExp(p).test(document.getElementById(i).textContent), {}, id, pattern);
  const sendPayload = async (payload) => {
    await page.$eval('#payload-text', (el, p) => { el.value = p; }, payload);
    await page.click('#payload-form button');
  };
  const pressFob = () => page.click('button[data-command="fob 1"]');

  // The board's first reports: door closed, no fob, nothing paired; both strips warm white.
  await waitText('report', '^DCLOOOF00V010B$');

  await page.click('button[data-command="open"]');
  await waitText('report', '^DOP');
  assert.equal(await text('door'), 'open');

  await sendPayload('LOFALMPO1X050FCN');
  await page.waitForFunction(
    (blue) => [...document.querySelectorAll('.strip .px')].every((px) => px.style.backgroundColor === blue),
    {}, ALARM_BLUE);
  assert.equal(await page.$$eval('.strip .px', (px) => px.length), 400, 'both strips pixel by pixel');
  await waitText('maglock', '^released$');
  await waitText('amplifier', '^on, clip 1 \\(cabinet is unlocked\\) once, volume 50$');
  await waitText('heard', '^[1-9][0-9]*\\.[0-9] s received$'); // a second of the clip's samples

  // Pair fob 1, then its next press is a lockdown.
  await sendPayload('LOFALMOFFX050FCP');
  await waitText('payload', 'FCP$');
  await pressFob();
  await waitText('paired', '^1$');
  await sendPayload('LOFALMOFFX050FCN');
  await waitText('payload', 'FCN$');
  assert.equal(await text('fob'), 'none');
  await pressFob();
  await waitText('fob', '^LOCKDOWN$');
  assert.match(await text('report'), /^DOPFLOF01V010B$/);
  assert.match(await page.$eval('#log', (el) => el.textContent), /fob 1->air +press/);

  // A command the board refuses is answered with an error, and the page says why.
  await page.evaluate(() => send('fob 9'));
  await waitText('refused', '^not a command: fob 9');
  assert.equal(await text('board'), 'firmware running');

  // Only under its own name (a page rebound to 127.0.0.1 reads nothing), never in a frame.
  for (const path of ['/', '/events']) {
    assert.equal((await get(port, path, `rebound.example:${port}`)).statusCode, 403, path);
  }
  const own = await get(port, '/', `127.0.0.1:${port}`);
  assert.equal(own.statusCode, 200);
  assert.equal(own.headers['x-frame-options'], 'DENY');
  assert.match(own.headers['content-security-policy'], /frame-ancestors 'none'/);

  if (process.env.ORLIX_SCREENSHOT) await page.screenshot({ path: process.env.ORLIX_SCREENSHOT });
});
