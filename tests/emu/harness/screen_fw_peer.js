// The screen unit's side of a firmware relay on the screen line: it hears the
// board's frames ("<<<" payload, CRC-16/MODBUS in four hex digits, "\r\n"),
// answers FB with FR and moves to the announced rate, collects the base64
// blocks in order, acknowledges each window with FA and the next block it
// wants, and checks the final CRC-32 against the image it put together.
// Its faults, for the board's failure paths: `silent` (answers nothing),
// `stuck` (takes no block, so every window is acknowledged without progress),
// `loseAcks` (that many window acknowledgements never reach the board),
// `completionCode` (the code of its completion answer, whatever the CRC).
// Like a real unit it hears only lines sent at the rate it listens at: inside a session that is
// the announced rate until its completion answer or FX, whatever else the board sends.
'use strict';

const NORMAL_BAUD = 115200;
const BOARD_GUARD_NS = 200_000; // the board listens this long after its last byte
const TURNAROUND_NS = 20_000;
const BAUD_TOLERANCE = 0.03; // a UART still reads bytes this far off its own rate

function crc16Modbus(text) {
  let crc = 0xffff;
  for (let i = 0; i < text.length; i++) {
    crc ^= text.charCodeAt(i);
    for (let b = 0; b < 8; b++) crc = crc & 1 ? (crc >>> 1) ^ 0xa001 : crc >>> 1;
  }
  return crc;
}

function crc32(bytes) {
  let crc = 0xffffffff;
  for (const byte of bytes) {
    crc ^= byte;
    for (let b = 0; b < 8; b++) crc = crc & 1 ? (crc >>> 1) ^ 0xedb88320 : crc >>> 1;
  }
  return (~crc) >>> 0;
}

const hex4 = (n) => n.toString(16).toUpperCase().padStart(4, '0');

// A frame as the screen unit sends it to the board.
function frameToBoard(payload) {
  return `>>>${payload}${hex4(crc16Modbus(payload))}\r\n`;
}

// Payload of a board frame, or null if the line is not a valid frame.
function boardPayload(line) {
  const m = /^<<<(.+)([0-9A-F]{4})\r\n$/.exec(line);
  if (!m || crc16Modbus(m[1]) !== parseInt(m[2], 16)) return null;
  return m[1];
}

class ScreenFwPeer {
  // send(text, baud, atNs): puts an answer on the line to the board at atNs.
  constructor({ send }) {
    this.send = send;
    this.rate = NORMAL_BAUD;
    this.line = '';
    this.lineGarbled = false;
    this.heard = []; // payloads, block frames cut to their number
    this.noise = 0;
    this.silent = false;
    this.stuck = false;
    this.loseAcks = 0;
    this.completionCode = null;
    this.reset();
  }

  reset() {
    this.session = false;
    this.size = 0;
    this.block = 0;
    this.fastRate = NORMAL_BAUD;
    this.image = [];
    this.next = 0;
    this.completion = null;
    this.windows = 0;
  }

  // One byte from the board's transmit pin, with the time its stop bit ended and the rate it left at.
  byte(b, tNs, baud = this.rate) {
    this.line += String.fromCharCode(b);
    if (Math.abs(baud / this.rate - 1) > BAUD_TOLERANCE) this.lineGarbled = true;
    if (b !== 0x0a) return;
    const line = this.line;
    const garbled = this.lineGarbled;
    this.line = '';
    this.lineGarbled = false;
    const payload = garbled ? null : boardPayload(line);
    if (payload === null) {
      if (line.startsWith('<<<')) this.noise++;
      return;
    }
    if (payload[0] === 'F') this.hear(payload, tNs);
  }

  answer(payload, endNs, thenRate = null) {
    if (this.silent) return;
    this.send(frameToBoard(payload), this.rate, endNs + BOARD_GUARD_NS + TURNAROUND_NS);
    if (thenRate !== null) this.rate = thenRate;
  }

  hear(p, endNs) {
    this.heard.push(p[1] === 'D' ? p.slice(0, 6) : p);
    switch (p[1]) {
      case 'B':
        if (p.length !== 20) return;
        this.reset();
        this.size = parseInt(p.slice(2, 10), 16);
        this.block = parseInt(p.slice(10, 14), 16);
        this.fastRate = parseInt(p.slice(14, 20), 16);
        this.session = true;
        this.answer('FR', endNs, this.fastRate);
        break;
      case 'D':
        this.onBlock(p);
        break;
      case 'P':
        this.windows++;
        if (this.session && this.loseAcks > 0) this.loseAcks--;
        else if (this.session) this.answer(`FA${hex4(this.next)}`, endNs);
        break;
      case 'Z': {
        if (!this.session) return;
        const ok = this.image.length === this.size && parseInt(p.slice(2), 16) === crc32(this.image);
        this.completion = this.completionCode ?? (ok ? 0 : 1);
        this.session = false;
        this.answer(`FC${this.completion.toString(16).toUpperCase().padStart(2, '0')}`, endNs, NORMAL_BAUD);
        break;
      }
      case 'X':
        this.session = false;
        this.rate = NORMAL_BAUD;
        break;
      default:
        break;
    }
  }

  onBlock(p) {
    if (!this.session || this.stuck) return;
    const n = parseInt(p.slice(2, 6), 16);
    if (n !== this.next) return;
    const data = Buffer.from(p.slice(6), 'base64');
    const expected = Math.min(this.block, this.size - n * this.block);
    if (data.length !== expected) return;
    for (const b of data) this.image.push(b);
    this.next++;
  }
}

module.exports = { ScreenFwPeer, crc16Modbus, crc32, frameToBoard, boardPayload, NORMAL_BAUD };
