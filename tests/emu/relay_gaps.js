#!/usr/bin/env node
// Where the time of a relay goes on the real image (emulated M0+ at 132 MHz):
// for each window, the line time of its frames, the idle line inside it (the
// transmit FIFO run dry between frames) and the gap from the end of the
// window before (last byte of its FP frame) to its first byte; then the CPU
// cycles spent in those gaps, by function ("[irq]" when in an interrupt).
//   node tests/emu/relay_gaps.js [image size, default 65536] [--top N]
// A measuring tool like bench.js: nothing here passes or fails.
'use strict';
const { relayBytesPerSecond } = require('./bench');

const FAST_BAUD = 921600;
const CHAR_US = 10 * 1e6 / FAST_BAUD;

// The function holding each address, from the image's sized symbols.
function symbolizer(board) {
  const syms = [...board.image.symbols.entries()]
    .filter(([, s]) => s.size > 0)
    .map(([name, s]) => ({ name, at: s.value & ~1, end: (s.value & ~1) + s.size }))
    .sort((a, b) => a.at - b.at);
  return (pc) => {
    let lo = 0, hi = syms.length - 1, best = null;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (syms[mid].at <= pc) { best = syms[mid]; lo = mid + 1; } else hi = mid - 1;
    }
    return best && pc < best.end ? best.name : `0x${pc.toString(16)}`;
  };
}

// Cycles by function while `on()` holds; hooks every instruction of the core.
function profile(board, on) {
  const cycles = new Map();
  const nameOf = symbolizer(board);
  const { core } = board.mcu;
  const execute = core.executeInstruction.bind(core);
  core.executeInstruction = () => {
    if (!on()) return execute();
    const pc = core.PC;
    const before = core.cycles;
    const result = execute();
    const name = nameOf(pc) + (core.IPSR ? ' [irq]' : '');
    cycles.set(name, (cycles.get(name) || 0) + core.cycles - before);
    return result;
  };
  return cycles;
}

function main() {
  const size = Number(process.argv.find((a, i) => i > 1 && /^\d+$/.test(a)) || 65536);
  const topAt = process.argv.indexOf('--top');
  const top = topAt > 0 ? Number(process.argv[topAt + 1]) : 25;
  let board = null;
  let cycles = null;
  let inGap = false;
  let line = '';
  const result = relayBytesPerSecond(size, {
    onStart: (b) => {
      board = b;
      cycles = profile(b, () => inGap);
      // From the end of an FP frame to the end of the next byte sent.
      b.on('tx', (n, c) => {
        if (n !== 1) return;
        inGap = false;
        line += String.fromCharCode(c.byte);
        if (c.byte !== 0x0a) return;
        inGap = line.startsWith('<<<FP');
        line = '';
      });
    },
  });

  const tx = board.tx[1].filter((c) => c.t0 >= result.start);
  const frames = [];
  for (let i = 0, first = 0; i < tx.length; i++) {
    if (tx[i].byte !== 0x0a) continue;
    frames.push({ first, last: i, kind: String.fromCharCode(tx[first + 3].byte, tx[first + 4].byte) });
    first = i + 1;
  }
  const windows = [];
  let win = null;
  frames.forEach((f, k) => {
    const prev = frames[k - 1];
    if (f.kind === 'FD' && (!win || prev.kind === 'FP')) {
      win = { chars: 0, idle: 0, gap: prev && prev.kind === 'FP' ? tx[f.first].t0 - tx[prev.last].t1 : null };
      windows.push(win);
    }
    if (!win || win.done) return;
    for (let i = f.first; i <= f.last; i++) {
      win.chars++;
      if (i > f.first || (prev && prev.kind === 'FD')) win.idle += tx[i].t0 - tx[i - 1].t1;
    }
    if (f.kind === 'FP') win.done = true;
  });

  console.log(`relay of ${size} bytes: ${result.Bps} B/s, ${result.seconds.toFixed(4)} s, ${result.windows} windows`);
  console.log('window  line time  idle inside  gap before');
  windows.forEach((w, i) => console.log(`${String(i).padStart(6)} ${(w.chars * CHAR_US / 1000).toFixed(2).padStart(7)} ms` +
    ` ${w.idle.toFixed(0).padStart(9)} us ${w.gap === null ? '         -' : `${w.gap.toFixed(0).padStart(7)} us`}`));
  const gaps = windows.filter((w) => w.gap !== null).length;
  const total = [...cycles.values()].reduce((a, b) => a + b, 0);
  console.log(`CPU in the ${gaps} gaps: ${(total / 132 / gaps).toFixed(0)} us a gap, by function (us a gap):`);
  [...cycles.entries()].sort((a, b) => b[1] - a[1]).slice(0, top)
    .forEach(([name, c]) => console.log(`  ${(c / 132 / gaps).toFixed(1).padStart(8)}  ${name}`));
}

main();
