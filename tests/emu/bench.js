#!/usr/bin/env node
// Figures from the board image on the emulated M0+ at 132 MHz (no XIP wait
// states, so cycle counts are a floor):
//   - cycles of one radio message check (wireless_message_authentic, entry to
//     return, as the receive pump calls it for each byte of a message);
//   - cycles of one audio refill (the DMA_IRQ_0 handler, first to last
//     instruction, without the core's exception entry and return);
//   - relay throughput of a 64 KiB and a 200 KB image from the USB host to the
//     screen unit at 921600 baud, from the FWUP line to the DONE report.
// `--json` prints one JSON object instead of the table. Benchmarks only:
// nothing here passes or fails on a figure.
'use strict';
const { Board } = require('./harness/board');
const { UsbHost } = require('./harness/usb_host');
const { ScreenFwPeer, frameToBoard } = require('./harness/screen_fw_peer');

const RADIO_CHECK = '_Z26wireless_message_authenticPKh';  // wireless_message_authentic(const uint8_t *)
const DMA_IRQ_0_EXCEPTION = 16 + 11;
const RADIO_MESSAGE = 48;
const RADIO_BAUD = 9600;
const STARTED_BY_US = 1_000_000;

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

// A board at the chip's own main-loop pace, started up.
function startedBoard() {
  const board = new Board({ passUs: 0 });
  board.runUntil(() => board.text(1).includes('<<<'), STARTED_BY_US);
  return board;
}

// Calls onInstruction(core) before every instruction the core executes.
function traceCore(mcu, onInstruction) {
  const { core } = mcu;
  const execute = core.executeInstruction.bind(core);
  core.executeInstruction = () => {
    onInstruction(core);
    return execute();
  };
}

function radioCheckCycles() {
  const board = startedBoard();
  const entry = board.symbol(RADIO_CHECK) & ~1;
  const runs = [];
  let start = null;
  let returnTo = null;
  traceCore(board.mcu, (core) => {
    if (start === null && core.PC === entry) {
      start = core.cycles;
      returnTo = core.LR & ~1;
    } else if (start !== null && core.PC === returnTo) {
      runs.push(core.cycles - start);
      start = null;
    }
  });
  // A message's worth of bytes and a few more: every byte from the 48th on is checked.
  const bytes = Buffer.alloc(RADIO_MESSAGE + 8);
  for (let i = 0; i < bytes.length; i++) bytes[i] = (i * 73 + 11) & 0xff;
  const end = board.send(0, bytes, { baud: RADIO_BAUD });
  board.run(end - board.nowUs() + 20_000);
  if (runs.length === 0) throw new Error('the radio message check never ran');
  // Interrupts taken inside a check add to it; the least is the check alone.
  return { cycles: Math.min(...runs), runs: runs.length, median: median(runs) };
}

function audioRefillCycles() {
  const board = startedBoard();
  const runs = [];
  let start = null;
  const { core } = board.mcu;
  const enter = core.exceptionEntry.bind(core);
  core.exceptionEntry = (n) => {
    enter(n);
    if (n === DMA_IRQ_0_EXCEPTION) start = core.cycles;
  };
  traceCore(board.mcu, (c) => {
    if (start !== null && c.IPSR !== DMA_IRQ_0_EXCEPTION) {
      runs.push(c.cycles - start);
      start = null;
    }
  });
  board.send(1, frameToBoard('LOFNORPO1X100FCN'));
  board.run(300_000);
  if (runs.length === 0) throw new Error('no audio refill ran');
  return { cycles: median(runs), runs: runs.length, max: Math.max(...runs) };
}

// `onStart(board)` is called just before the FWUP line goes out.
function relayBytesPerSecond(size, { onStart } = {}) {
  const board = new Board({ passUs: 0 });
  const host = new UsbHost(board.mcu);
  board.on('mcu', (mcu) => host.attach(mcu));
  const peer = new ScreenFwPeer({ send: (text, baud, atNs) => board.send(1, text, { baud, at: atNs / 1000 }) });
  board.on('tx', (n, c) => n === 1 && peer.byte(c.byte, c.t1 * 1000));
  board.runUntil(() => host.configured, STARTED_BY_US);
  const open = host.openSerial();
  board.runUntil(() => open.done, 50_000);
  const image = Buffer.alloc(size);
  for (let i = 0; i < size; i++) image[i] = (i * 131 + (i >> 10)) & 0xff;
  if (onStart) onStart(board);
  const start = board.nowUs();
  host.write(`FWUP ${size}\n`);
  host.write(image);
  board.runUntil(() => /DONE|FAIL|NORESP|TIMEOUT/.test(host.rxText), 60_000_000, 2_000);
  if (!host.rxText.includes('DONE') || !Buffer.from(peer.image).equals(image)) {
    throw new Error(`relay of ${size} bytes failed: ${JSON.stringify(host.rxText)}`);
  }
  const seconds = (board.nowUs() - start) / 1e6;
  return { Bps: Math.round(size / seconds), seconds, windows: peer.windows, start, end: board.nowUs() };
}

function main() {
  const json = process.argv.includes('--json');
  const wall = Date.now();
  const radio = radioCheckCycles();
  const audio = audioRefillCycles();
  const relay64k = relayBytesPerSecond(64 * 1024);
  const relay200k = relayBytesPerSecond(200_000);
  const figures = {
    radio_check_cycles: radio.cycles,
    audio_refill_cycles: audio.cycles,
    relay_64k_Bps: relay64k.Bps,
    relay_200k_Bps: relay200k.Bps,
  };
  if (json) {
    console.log(JSON.stringify(figures));
    return;
  }
  const us = (cycles) => (cycles / 132).toFixed(1);
  const rows = [
    ['radio message check', `${radio.cycles} cycles`, `${us(radio.cycles)} us; least of ${radio.runs} checks, median ${radio.median}`],
    ['audio refill (DMA_IRQ_0)', `${audio.cycles} cycles`, `${us(audio.cycles)} us; median of ${audio.runs} refills, max ${audio.max}`],
    ['relay 64 KiB', `${relay64k.Bps} B/s`, `${relay64k.seconds.toFixed(3)} s, ${relay64k.windows} windows`],
    ['relay 200 KB', `${relay200k.Bps} B/s`, `${relay200k.seconds.toFixed(3)} s, ${relay200k.windows} windows`],
  ];
  console.log('Board image on the emulated RP2040 at 132 MHz (rp2040js, no XIP wait states)');
  for (const [what, figure, note] of rows) console.log(`  ${what.padEnd(26)} ${figure.padStart(14)}   ${note}`);
  console.log(`  (${((Date.now() - wall) / 1000).toFixed(0)} s to emulate)`);
}

if (require.main === module) main();

module.exports = { radioCheckCycles, audioRefillCycles, relayBytesPerSecond };
