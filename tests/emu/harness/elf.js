// Minimal ELF32 little-endian reader: the loadable segments (by load address) and the symbols.
'use strict';
const fs = require('fs');

function readElf(path) {
  const buf = fs.readFileSync(path);
  if (buf.readUInt32BE(0) !== 0x7f454c46 || buf[4] !== 1 || buf[5] !== 1) {
    throw new Error(`${path}: not a 32-bit little-endian ELF file`);
  }
  const phoff = buf.readUInt32LE(28);
  const shoff = buf.readUInt32LE(32);
  const phentsize = buf.readUInt16LE(42);
  const phnum = buf.readUInt16LE(44);
  const shentsize = buf.readUInt16LE(46);
  const shnum = buf.readUInt16LE(48);

  const segments = [];
  for (let i = 0; i < phnum; i++) {
    const p = phoff + i * phentsize;
    const type = buf.readUInt32LE(p);
    const offset = buf.readUInt32LE(p + 4);
    const paddr = buf.readUInt32LE(p + 12);
    const filesz = buf.readUInt32LE(p + 16);
    if (type === 1 && filesz > 0) {  // PT_LOAD
      segments.push({ paddr, data: buf.subarray(offset, offset + filesz) });
    }
  }

  const symbols = new Map();
  for (let i = 0; i < shnum; i++) {
    const s = shoff + i * shentsize;
    if (buf.readUInt32LE(s + 4) !== 2) continue;  // SHT_SYMTAB
    const offset = buf.readUInt32LE(s + 16);
    const size = buf.readUInt32LE(s + 20);
    const link = buf.readUInt32LE(s + 24);
    const strOffset = buf.readUInt32LE(shoff + link * shentsize + 16);
    for (let e = offset; e < offset + size; e += 16) {
      const nameOff = buf.readUInt32LE(e);
      if (!nameOff) continue;
      const end = buf.indexOf(0, strOffset + nameOff);
      const name = buf.toString('latin1', strOffset + nameOff, end);
      if (!symbols.has(name)) {
        symbols.set(name, { value: buf.readUInt32LE(e + 4), size: buf.readUInt32LE(e + 8) });
      }
    }
  }
  return { segments, symbols };
}

module.exports = { readElf };
