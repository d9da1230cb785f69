// A stand-in for the RP2040 boot ROM (version 3, B2): the header, the function and data tables the
// SDK looks up, and for every entry a two-instruction Thumb stub `BKPT #n; BX LR`. The break hook
// of the emulated core calls service(n), which does the work on the emulator's registers and
// memory and returns to the stub's BX LR.
'use strict';

const ROM_VERSION = 3;
const FUNC_TABLE = 0x40;
const DATA_TABLE = 0x90;
const SF_TABLE = 0x100;     // 32 entries; the byte two below holds the entry count
const SD_TABLE = 0x184;
const STUBS = 0x300;

const code = (s) => s.charCodeAt(0) | (s.charCodeAt(1) << 8);

// Service numbers of the stubs.
const SVC_LOOKUP = 0;
const FUNCS = ['P3', 'R3', 'L3', 'T3', 'MS', 'S4', 'MC', 'C4', 'UB', 'IF', 'EX', 'RE', 'RP', 'FC', 'CX'];
const SVC_FUNC = 1;         // 1..15 in the order of FUNCS
const SVC_FLOAT = 0x20;     // 0x20..0x3f: entry i of the soft float table
const SVC_DOUBLE = 0x40;    // 0x40..0x5f: entry i of the soft double table
const TABLE_ENTRIES = 32;

const stubAddr = (svc) => STUBS + 4 * svc;

function buildRom() {
  const rom = new Uint8Array(16 * 1024);
  const dv = new DataView(rom.buffer);
  dv.setUint32(0, 0x20042000, true);
  dv.setUint32(4, stubAddr(SVC_LOOKUP) | 1, true);
  rom.set([0x4d, 0x75, 0x01, ROM_VERSION], 0x10);  // 'M', 'u', 1, version
  dv.setUint16(0x14, FUNC_TABLE, true);
  dv.setUint16(0x16, DATA_TABLE, true);
  dv.setUint16(0x18, stubAddr(SVC_LOOKUP) | 1, true);
  FUNCS.forEach((name, i) => {
    dv.setUint16(FUNC_TABLE + 4 * i, code(name), true);
    dv.setUint16(FUNC_TABLE + 4 * i + 2, stubAddr(SVC_FUNC + i) | 1, true);
  });
  dv.setUint16(DATA_TABLE, code('SF'), true);
  dv.setUint16(DATA_TABLE + 2, SF_TABLE, true);
  dv.setUint16(DATA_TABLE + 4, code('SD'), true);
  dv.setUint16(DATA_TABLE + 6, SD_TABLE, true);
  for (const [table, base] of [[SF_TABLE, SVC_FLOAT], [SD_TABLE, SVC_DOUBLE]]) {
    dv.setUint16(table - 2, TABLE_ENTRIES, true);
    for (let i = 0; i < TABLE_ENTRIES; i++) dv.setUint32(table + 4 * i, stubAddr(base + i) | 1, true);
  }
  for (let svc = 0; svc < 0x60; svc++) {
    dv.setUint16(stubAddr(svc), 0xbe00 | svc, true);      // BKPT #svc
    dv.setUint16(stubAddr(svc) + 2, 0x4770, true);        // BX LR
  }
  return new Uint32Array(rom.buffer);
}

// Float and double helpers on raw bits.
const f32 = new Float32Array(1);
const u32 = new Uint32Array(f32.buffer);
const f64 = new Float64Array(1);
const u64 = new Uint32Array(f64.buffer);
const toF = (bits) => { u32[0] = bits; return f32[0]; };
const fromF = (v) => { f32[0] = v; return u32[0]; };
const toD = (lo, hi) => { u64[0] = lo; u64[1] = hi; return f64[0]; };
const fromD = (v) => { f64[0] = v; return [u64[0], u64[1]]; };

const sat = (v, lo, hi) => (Number.isNaN(v) ? 0 : Math.min(hi, Math.max(lo, v)));
const toInt = (v) => sat(Math.floor(v), -2147483648, 2147483647) | 0;
const toUint = (v) => sat(Math.floor(v), 0, 4294967295) >>> 0;
const int64 = (lo, hi) => Number(BigInt.asIntN(64, (BigInt(hi >>> 0) << 32n) | BigInt(lo >>> 0)));
const uint64 = (lo, hi) => Number((BigInt(hi >>> 0) << 32n) | BigInt(lo >>> 0));
const split64 = (v, signed) => {
  const lim = signed ? [-(2 ** 63), 2 ** 63 - 1] : [0, 2 ** 64 - 1];
  const big = BigInt.asUintN(64, BigInt(Math.floor(sat(v, lim[0], lim[1]))));
  return [Number(big & 0xffffffffn), Number(big >> 32n)];
};
const cmp = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

// One table's operations, on plain numbers, indexed by entry (offset / 4). `args` are JS numbers
// already decoded; each returns a number, [value, value] for two results, or a flags result.
const OPS = [
  (a, b) => a + b, (a, b) => a - b, (a, b) => a * b, (a, b) => a / b,
  (a, b) => cmp(a, b), { flags: true }, (a) => Math.sqrt(a),
  { toInt: 'int' }, { toInt: 'fix' }, { toInt: 'uint' }, { toInt: 'ufix' },
  { fromInt: 'int' }, { fromInt: 'fix' }, { fromInt: 'uint' }, { fromInt: 'ufix' },
  Math.cos, Math.sin, Math.tan, { sincos: true }, Math.exp, Math.log,
  (a, b) => cmp(a, b), Math.atan2,
  { from64: 'int' }, { from64: 'fix' }, { from64: 'uint' }, { from64: 'ufix' },
  { to64: 'int' }, { to64: 'fix' }, { to64: 'uint' }, { to64: 'ufix' },
  { convert: true },
];

// Runs soft float (double = false) or soft double entry `index` on the core's registers.
function softFloat(core, index, double) {
  const r = core.registers;
  const op = OPS[index];
  const arg = (i) => (double ? toD(r[2 * i], r[2 * i + 1]) : toF(r[i]));
  const intArg = double ? 2 : 1;  // register index of the fraction-bit count after one value
  const put = (v) => {
    if (double) [r[0], r[1]] = fromD(v); else r[0] = fromF(v);
  };
  if (typeof op === 'function') {
    const v = op.length === 2 ? op(arg(0), arg(1)) : op(arg(0));
    if (index === 4 || index === 21) r[0] = v >>> 0; else put(v);
  } else if (op.flags) {
    const a = arg(0), b = arg(1);
    const unordered = Number.isNaN(a) || Number.isNaN(b);
    core.N = !unordered && a < b;
    core.Z = !unordered && a === b;
    core.C = unordered || a >= b;
    core.V = unordered;
  } else if (op.toInt) {
    const scale = op.toInt.endsWith('fix') ? 2 ** (r[intArg] | 0) : 1;
    const v = arg(0) * scale;
    r[0] = op.toInt.startsWith('u') ? toUint(v) : toInt(v) >>> 0;
  } else if (op.fromInt) {
    const raw = op.fromInt.startsWith('u') ? r[0] >>> 0 : r[0] | 0;
    const scale = op.fromInt.endsWith('fix') ? 2 ** -(r[1] | 0) : 1;
    put(raw * scale);
  } else if (op.sincos) {
    const a = arg(0);
    if (double) { [r[0], r[1]] = fromD(Math.sin(a)); [r[2], r[3]] = fromD(Math.cos(a)); } else { r[0] = fromF(Math.sin(a)); r[1] = fromF(Math.cos(a)); }
  } else if (op.from64) {
    const raw = op.from64.startsWith('u') ? uint64(r[0], r[1]) : int64(r[0], r[1]);
    const scale = op.from64.endsWith('fix') ? 2 ** -(r[2] | 0) : 1;
    put(raw * scale);
  } else if (op.to64) {
    const scale = op.to64.endsWith('fix') ? 2 ** (r[intArg] | 0) : 1;
    [r[0], r[1]] = split64(arg(0) * scale, !op.to64.startsWith('u'));
  } else if (op.convert) {
    if (double) r[0] = fromF(toD(r[0], r[1])); else [r[0], r[1]] = fromD(toF(r[0]));
  }
}

// The boot ROM runs boot2 (the first 256 bytes of flash) only when the CRC-32 of its first 252
// bytes (polynomial 0x04C11DB7, initial value all ones, no reflection, no final inversion) equals
// its last word; otherwise the chip stays in the USB boot loader. Throws what a board would not do.
function checkBoot2(flash) {
  let crc = 0xffffffff;
  for (let i = 0; i < 252; i++) {
    crc ^= flash[i] << 24;
    for (let b = 0; b < 8; b++) crc = crc & 0x80000000 ? (crc << 1) ^ 0x04c11db7 : crc << 1;
  }
  crc >>>= 0;
  const stored = (flash[252] | (flash[253] << 8) | (flash[254] << 16) | (flash[255] << 24)) >>> 0;
  if (crc !== stored) {
    throw new Error(`boot2 CRC 0x${stored.toString(16)} is not 0x${crc.toString(16)}: the ROM would not boot this image`);
  }
}

// Erase works on whole 4 KiB sectors and program on whole 256-byte pages: the ROM does not check,
// the chip erases or programs something else.
function checkFlashRange(kind, offset, count) {
  const unit = kind === 'erase' ? 4096 : 256;
  if (offset % unit || count % unit) {
    throw new Error(`flash ${kind} of ${count} bytes at 0x${offset.toString(16)}: not in whole ${unit}-byte units`);
  }
}

module.exports = {
  buildRom, checkBoot2, checkFlashRange, softFloat, FUNCS, SVC_LOOKUP, SVC_FUNC, SVC_FLOAT, SVC_DOUBLE, TABLE_ENTRIES,
};
