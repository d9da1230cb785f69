// Start-up, the main loop and the screen line, on the board image.
'use strict';
const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const { Board } = require('./harness/board');
const { frameToBoard } = require('./harness/screen_fw_peer');

const DIR = (1 << 10) | (1 << 11);
const GUARD_US = 200;
const PASS_US = 500;            // one pass of the main loop, generously
const REPORT_PASS_US = 3000;    // one pass that also sends a report
const UART1_BAUD = 48e6 / (16 * (26 + 3 / 64));   // 115200 asked of a 48 MHz clk_peri
const REPORT = '<<<DCLOOOF00V010B7011\r\n';
// The default build carries the public development radio keys, and says so after the banner.
const STARTUP = 'orlix-fw-io\r\nWARNING: DEVELOPMENT radio keys, not for the field\r\nsettings_init: set to defaults\r\nStart screen\r\nInitialise audio\r\n' +
  'Audio init complete (interrupt-driven DMA)\r\nLoRa done\r\nInitialising USB\r\n';

// The board's frames on the screen line: { start, end, text, chars } (start/end: first start bit,
// last stop bit).
function frames(board) {
  const out = [];
  const chars = board.tx[1];
  let i = 0;
  while (i < chars.length) {
    const text = board.text(1).slice(i, i + 3);
    if (text !== '<<<') { i++; continue; }
    let j = i;
    while (j < chars.length && chars[j].byte !== 0x0a) j++;
    const part = chars.slice(i, j + 1);
    out.push({ start: part[0].t0, end: part[part.length - 1].t1, text: Buffer.from(part.map((c) => c.byte)).toString('latin1'), chars: part });
    i = j + 1;
  }
  return out;
}

// What the board wrote on the screen line from `fromUs` on, outside its frames.
function consoleText(board, fromUs) {
  const inFrame = new Set(frames(board).flatMap((f) => f.chars));
  return Buffer.from(board.tx[1].filter((c) => c.t0 >= fromUs && !inFrame.has(c)).map((c) => c.byte)).toString('latin1');
}

const statusByte = (board, offset) => board.mcu.sram[board.symbol('status') - 0x20000000 + offset];
const DOOR = 0;   // status.in.door: 0 open, 1 closed

describe('start-up and the input report', () => {
  let board;
  let paint;
  before(() => {
    board = new Board();
    // The stack as it stands when the first module initialiser is entered, just after the paint.
    board.whenAt('status_init', (mcu) => {
      const bottom = board.symbol('__StackBottom');
      const words = [];
      for (let a = bottom; a < board.symbol('__StackTop'); a += 4) words.push(mcu.readUint32(a));
      paint = { sp: mcu.core.SP, bottom, words };
    });
    board.run(1_300_000);
  });

  it('writes the banner and the start-up lines, then a report every 250 ms', () => {
    assert.ok(board.text(1).startsWith(STARTUP + REPORT), JSON.stringify(board.text(1).slice(0, 300)));
    const reports = frames(board);
    assert.ok(reports.length >= 4);
    for (const f of reports) assert.equal(f.text, REPORT);
    // The first in the loop's first pass, start-up having taken longer than 250 ms.
    const startScreen = board.tx[1][STARTUP.indexOf('Start screen')].t0;
    const startupDone = board.tx[1][STARTUP.length - 1].t1;
    assert.ok(reports[0].start - startScreen >= 250_000);
    assert.ok(reports[0].start - startupDone < 2 * GUARD_US + 2000, `${reports[0].start - startupDone} us`);
    // Then 250 ms from the end of the previous one, the guards around both switches included.
    for (let k = 1; k < reports.length; k++) {
      const pass = reports[k].start - 2 * GUARD_US - (reports[k - 1].end + 2 * GUARD_US) - 250_000;
      assert.ok(pass >= -1 && pass <= PASS_US, `report ${k} late by ${pass} us`);
    }
  });

  it('raises the direction pins only around frames, 200 us before the first and after the last bit', () => {
    const reports = frames(board);
    const inFrame = new Set(reports.flatMap((f) => f.chars));
    for (const c of board.tx[1]) {
      const want = inFrame.has(c) ? DIR : 0;
      assert.equal(c.pins[0] & DIR, want, `pins at ${c.t0} us`);
      assert.equal(c.pins[1] & DIR, want, `pins at ${c.t1} us`);
    }
    const edges = board.edges.filter((e) => e.pin === 10 || e.pin === 11);
    for (const f of reports) {
      for (const pin of [10, 11]) {
        const up = edges.filter((e) => e.pin === pin && e.level && e.t <= f.start).pop();
        const down = edges.find((e) => e.pin === pin && !e.level && e.t >= f.end);
        assert.ok(f.start - up.t >= GUARD_US - 1 && f.start - up.t < GUARD_US + 20, `rise ${f.start - up.t}`);
        assert.ok(down.t - f.end >= GUARD_US - 1 && down.t - f.end < GUARD_US + 20, `fall ${down.t - f.end}`);
      }
    }
  });

  it('sends at the rate the 48 MHz peripheral clock gives, byte after byte without gaps', () => {
    for (const f of frames(board)) {
      f.chars.forEach((c, k) => {
        assert.ok(Math.abs(c.t1 - c.t0 - 10e6 / UART1_BAUD) < 0.005, `char time ${c.t1 - c.t0}`);
        if (k) assert.ok(Math.abs(c.t0 - f.chars[k - 1].t1) < 0.01);
      });
    }
  });

  it('drives the maglock high from the start (past a glitch of a few cycles), and reports the closed door', () => {
    const lock = board.edgesOf(24);
    const high = lock.findIndex((e) => e.level);
    assert.ok(high >= 0 && high === lock.length - 1 && high <= 1, JSON.stringify(lock));
    assert.ok(lock[high].t - lock[0].t < 0.1);
    assert.ok(lock[high].t < frames(board)[0].start);
    assert.equal(statusByte(board, DOOR), 1);
  });

  it('paints the free stack below the start-up stack pointer with 0xDEADBEEF', () => {
    assert.ok(paint, 'status_init was never entered');
    const limit = (paint.sp - 256 - paint.bottom) / 4;   // words below SP - 256 (minus main's frame)
    const painted = paint.words.findIndex((w) => w !== 0xdeadbeef);
    assert.ok(painted >= limit - 16 && painted <= limit, `painted ${painted} words, limit ${limit}`);
  });
});

describe('status payloads from the screen unit', () => {
  let board;
  before(() => {
    board = new Board();
    board.runUntil(() => frames(board).length >= 1, 1_500_000);
  });

  it('switches the maglock within one pass and writes one dump line', () => {
    const from = board.nowUs();
    const arrived = board.send(1, frameToBoard('LOFNOROFFX050FCN'));
    board.run(30_000);
    const fall = board.edgesOf(24, from);
    assert.equal(fall.length, 1);
    assert.equal(fall[0].level, false);
    assert.ok(fall[0].t >= arrived && fall[0].t - arrived < PASS_US, `${fall[0].t - arrived} us`);
    const dump = 'Door: CLOSED   Fob: NONE   Lock: UNLOCKED   Lights: NORMAL   Audio: OFF   Volume:  50%   Fob config: none   \r\n';
    assert.equal(consoleText(board, from), dump);
    const back = board.send(1, '>>>LONNOROFFX050FCNde9f\n');
    board.run(30_000);
    const rise = board.edgesOf(24, back);
    assert.equal(rise.length, 1);
    assert.ok(rise[0].level && rise[0].t - back < PASS_US);
  });

  it('drops bad frames without a trace', () => {
    const from = board.nowUs();
    const lof = frameToBoard('LOFNOROFFX050FCN');
    for (const bad of [lof.replace(/[0-9A-F]{4}\r\n$/, (c) => `${c[0]}${c[1]}${c[2]}${c[3] === '0' ? '1' : '0'}\r\n`),
      `x${lof}`, '>>>FFFF\r\n', frameToBoard('LOFNOROFFX050FC'), frameToBoard('LOFNOROFFX050FCNN')]) {
      board.send(1, bad);
    }
    board.run(100_000);
    assert.equal(board.edgesOf(24, from).length, 0);
    assert.equal(consoleText(board, from), '');
    for (const f of frames(board).filter((r) => r.start >= from)) assert.equal(f.text, REPORT);
  });
});

describe('door sensor', () => {
  it('follows a new level after 50 ms unchanged, never a shorter pulse or a bouncing sensor', () => {
    const board = new Board();
    board.runUntil(() => frames(board).length >= 1, 1_500_000);
    // Past the first question to the radio's peers (12 configuration bytes, then 48), whose
    // write holds the loop; the next comes a second later.
    board.runUntil(() => board.tx[0].length >= 60, 1_500_000);
    board.run(10_000);
    board.setPin(25, true);
    const opened = board.nowUs();
    const seen = board.runUntil(() => statusByte(board, DOOR) === 0, 200_000, 20);
    assert.ok(seen - opened >= 50_000 && seen - opened < 50_000 + REPORT_PASS_US, `${seen - opened} us`);

    const from = board.nowUs();
    board.setPin(25, false);
    board.run(20_000);
    board.setPin(25, true);           // a 20 ms closing pulse
    for (let k = 0; k < 8; k++) {     // then a sensor bouncing every 30 ms
      board.run(30_000);
      board.setPin(25, k % 2 === 0 ? false : true);
    }
    board.run(300_000);               // ends high: open all along
    assert.equal(statusByte(board, DOOR), 0);
    const reports = frames(board).filter((f) => f.start >= from);
    assert.ok(reports.length >= 2);
    for (const f of reports) assert.ok(f.text.startsWith('<<<DOP'), f.text);
  });
});

describe('watchdog', () => {
  it('resets a board whose loop hangs, 1000 ms after the last feed, and it starts again', () => {
    const board = new Board();
    board.runUntil(() => frames(board).length >= 1, 1_500_000);
    // Hang lights_poll: a branch to itself at its entry, gone again once the chip resets.
    const entry = (board.symbol('lights_poll') & ~1) - 0x10000000;
    const saved = board.flash.slice(entry, entry + 2);
    let hung;
    board.whenAt('lights_poll', () => { board.flash.set([0xfe, 0xe7], entry); hung = board.nowUs(); });
    board.once('mcu', () => board.flash.set(saved, entry));
    board.run(1_600_000);
    const resets = board.events.filter((e) => e.kind === 'reset' && e.t > hung);
    assert.equal(resets.length, 1);
    assert.equal(resets[0].reason, 'watchdog');
    assert.ok(Math.abs(resets[0].t - hung - 1_000_000) < 5, `${resets[0].t - hung} us`);
    assert.ok(board.text(1, resets[0].t).startsWith('orlix-fw-io\r\n'));
    assert.ok(frames(board).some((f) => f.start > resets[0].t && f.text === REPORT));
  });
});
