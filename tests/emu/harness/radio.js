// Radio messages as the fobs and peer boards send them: a 32-byte body and its keyed BLAKE2b code
// (RFC 7693, 16-byte digest), with the key of the default build (cmake/radio-development.key).
'use strict';
const fs = require('fs');
const path = require('path');

const KEY_FILE = path.join(__dirname, '..', '..', '..', 'cmake', 'radio-development.key');

function readKeys(file = KEY_FILE) {
  const field = (name) => {
    const m = fs.readFileSync(file, 'utf8').match(new RegExp(`^${name}\\s*=\\s*([0-9A-Fa-f ]+)$`, 'm'));
    return Buffer.from(m[1].trim().split(/\s+/).map((h) => parseInt(h, 16)));
  };
  return { secret: field('shared_secret'), moduleCrypt: field('module_crypt') };
}

const MASK = (1n << 64n) - 1n;
const IV = [
  0x6a09e667f3bcc908n, 0xbb67ae8584caa73bn, 0x3c6ef372fe94f82bn, 0xa54ff53a5f1d36f1n,
  0x510e527fade682d1n, 0x9b05688c2b3e6c1fn, 0x1f83d9abfb41bd6bn, 0x5be0cd19137e2179n,
];
const SIGMA = [
  [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15], [14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3],
  [11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4], [7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8],
  [9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13], [2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9],
  [12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11], [13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10],
  [6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5], [10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0],
];
const rotr = (x, n) => ((x >> BigInt(n)) | (x << BigInt(64 - n))) & MASK;

function compress(h, block, t, last) {
  const m = [];
  for (let i = 0; i < 16; i++) m.push(block.readBigUInt64LE(8 * i));
  const v = [...h, ...IV];
  v[12] ^= BigInt(t);
  if (last) v[14] ^= MASK;
  const g = (a, b, c, d, x, y) => {
    v[a] = (v[a] + v[b] + x) & MASK; v[d] = rotr(v[d] ^ v[a], 32);
    v[c] = (v[c] + v[d]) & MASK; v[b] = rotr(v[b] ^ v[c], 24);
    v[a] = (v[a] + v[b] + y) & MASK; v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = (v[c] + v[d]) & MASK; v[b] = rotr(v[b] ^ v[c], 63);
  };
  for (let r = 0; r < 12; r++) {
    const s = SIGMA[r % 10];
    g(0, 4, 8, 12, m[s[0]], m[s[1]]); g(1, 5, 9, 13, m[s[2]], m[s[3]]);
    g(2, 6, 10, 14, m[s[4]], m[s[5]]); g(3, 7, 11, 15, m[s[6]], m[s[7]]);
    g(0, 5, 10, 15, m[s[8]], m[s[9]]); g(1, 6, 11, 12, m[s[10]], m[s[11]]);
    g(2, 7, 8, 13, m[s[12]], m[s[13]]); g(3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (let i = 0; i < 8; i++) h[i] ^= v[i] ^ v[i + 8];
}

// Keyed BLAKE2b with a `outLen`-byte digest (a message of at most 128 bytes is all we need).
function blake2bKeyed(key, data, outLen = 16) {
  const h = IV.slice();
  h[0] ^= BigInt(0x01010000 ^ (key.length << 8) ^ outLen);
  const keyBlock = Buffer.alloc(128);
  key.copy(keyBlock);
  const dataBlock = Buffer.alloc(128);
  Buffer.from(data).copy(dataBlock);
  if (data.length) {
    compress(h, keyBlock, 128, false);
    compress(h, dataBlock, 128 + data.length, true);
  } else {
    compress(h, keyBlock, 128, true);
  }
  const out = Buffer.alloc(64);
  h.forEach((w, i) => out.writeBigUInt64LE(w, 8 * i));
  return out.subarray(0, outLen);
}

const KEYS = readKeys();
const mac = (body) => blake2bKeyed(KEYS.secret, body);
const withMac = (body) => Buffer.concat([body, mac(body)]);

function fobMessage([uid1, uid2, uid3], counter, tail = 0) {
  const body = Buffer.alloc(32);
  body.writeUInt32LE(uid1, 0);
  body.writeUInt32LE(uid2, 4);
  body.writeUInt32LE(uid3, 8);
  body.writeUInt32BE(counter, 12);
  body.fill(tail, 16);
  return withMac(body);
}

// A board's status message; a board that names its event puts its counter and origin tag in bytes
// 20 to 25, and one that tells its freshness its boot epoch and sequence in 26 to 31 (big-endian).
function statusMessage(senderId, fobState, ageMs, { counter = 0, origin = 0, epoch = 0, sequence = 0 } = {}) {
  const body = Buffer.alloc(32);
  body.writeUInt32LE(0xfefffeff, 0);
  Buffer.from(senderId).copy(body, 4);
  body[12] = 0x0a;
  body[13] = fobState;
  body.writeUInt32BE(ageMs >>> 0, 16);
  body.writeUInt32BE(counter, 20);
  body.writeUInt16BE(origin, 24);
  body.writeUInt32BE(epoch, 26);
  body.writeUInt16BE(sequence, 30);
  return withMac(body);
}

const authentic = (msg) => msg.length === 48 && mac(msg.subarray(0, 32)).equals(msg.subarray(32));

module.exports = { KEYS, blake2bKeyed, mac, fobMessage, statusMessage, authentic };
