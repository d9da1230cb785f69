// The virtual cabinet's page in a real browser: headless Chromium, driven by
// puppeteer-core, against orlix-sim --web on a free port of 127.0.0.1.
// ORLIX_SIM names the orlix-sim to run.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { freePort, get, openPage, startServing } from './helpers.mjs';

const SIM = process.env.ORLIX_SIM;
const ALARM_BLUE = 'rgb(0, 0, 255)';

test('the page shows the door, the alarm lights and a paired fob as the board reports them', async (t) => {
  assert.ok(SIM, 'ORLIX_SIM names the orlix-sim to run');
  const port = await freePort();
  const { tool: sim, serving } = startServing(SIM, ['--web', String(port)], port);
  t.after(() => sim.kill('SIGTERM'));
  await serving;
  const page = await openPage(t, port);
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
