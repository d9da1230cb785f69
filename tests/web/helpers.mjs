// What the page tests share: a free port, a tool that serves a page, a GET
// under a chosen Host header, and headless Chromium driven by puppeteer-core.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { request } from 'node:http';
import { connect, createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const CHROMIUM = process.env.ORLIX_CHROMIUM || '/usr/bin/chromium';
export const WAIT_MS = 120000; // every wait: the boards may run well below real time on a loaded machine

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Starts the tool; `serving` resolves once it says it serves the page on `port`.
export function startServing(exe, args, port, options = {}) {
  const tool = spawn(exe, args, { stdio: ['pipe', 'pipe', 'inherit'], ...options });
  tool.output = '';
  tool.exited = new Promise((resolve) => tool.once('exit', (code, signal) => resolve({ code, signal })));
  const serving = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no web page line:\n' + tool.output)), WAIT_MS);
    tool.stdout.on('data', (chunk) => {
      tool.output += chunk;
      if (tool.output.includes(`web page: http://127.0.0.1:${port}/`)) {
        clearTimeout(timer);
        resolve();
      }
    });
    tool.once('exit', (code) => reject(new Error(`${exe} ended (${code}):\n${tool.output}`)));
  });
  return { tool, serving };
}

// A GET under the given Host header: its status and headers.
export function get(port, path, host) {
  return new Promise((resolve, reject) => {
    const req = request({ host: '127.0.0.1', port, path, headers: { Host: host } }, (res) => {
      res.destroy();
      resolve(res);
    });
    req.on('error', reject);
    req.end();
  });
}

// The page at http://127.0.0.1:port/ in headless Chromium, closed after the test.
export async function openPage(t, port) {
  const profile = mkdtempSync(join(tmpdir(), 'orlix-web-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  t.after(async () => {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 640 });
  page.setDefaultTimeout(WAIT_MS);
  await page.goto(`http://127.0.0.1:${port}/`, { waitUntil: 'domcontentloaded' });
  return page;
}

// A bare connection to 127.0.0.1:port that sends `text` at once, or one byte a
// second (`trickle`); `gone` resolves when the server closes it, `received`
// holds what it answered.
export function rawClient(port, text, { trickle = false } = {}) {
  const socket = connect(port, '127.0.0.1');
  socket.received = '';
  socket.on('data', (chunk) => { socket.received += chunk; });
  socket.on('error', () => {});
  socket.gone = new Promise((resolve) => socket.once('close', resolve));
  if (!trickle) {
    socket.write(text);
  } else {
    let i = 0;
    const timer = setInterval(() => {
      if (socket.destroyed || i >= text.length) clearInterval(timer);
      else socket.write(text[i++]);
    }, 1000);
    socket.once('close', () => clearInterval(timer));
  }
  return socket;
}

// A POST of raw bytes: its status and the answer's text (which must be UTF-8).
export function post(port, path, body) {
  return new Promise((resolve, reject) => {
    const req = request({ host: '127.0.0.1', port, path, method: 'POST',
      headers: { Host: `127.0.0.1:${port}`, 'Content-Length': body.length } }, (res) => {
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => {
        try {
          resolve({ status: res.statusCode, text: new TextDecoder('utf-8', { fatal: true }).decode(Buffer.concat(chunks)) });
        } catch (e) {
          reject(e);
        }
      });
    });
    req.on('error', reject);
    req.end(body);
  });
}
