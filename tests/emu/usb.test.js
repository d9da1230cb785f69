// The board image's USB device on the emulated USB controller, driven by a
// host: enumeration and the descriptor bytes, the reset interface, the
// console, and a firmware image relayed to a screen unit on the screen line.
'use strict';
const { test, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { Board } = require('./harness/board');
const { UsbHost, DESC, LANGID_EN_US, requestType, stringText } = require('./harness/usb_host');
const { ScreenFwPeer, crc32 } = require('./harness/screen_fw_peer');

const ENUMERATED_BY_US = 1_000_000;

function vendorId() {
  const cache = path.join(__dirname, '..', '..', 'build', 'board', 'CMakeCache.txt');
  const m = /^ORLIX_USB_VID:STRING=(0x[0-9a-fA-F]+)$/m.exec(fs.readFileSync(cache, 'latin1'));
  return m ? parseInt(m[1], 16) : 0x2e8a;
}

// A board with a host on its USB port and a screen unit on its screen line.
function rig(options = {}) {
  const board = new Board(options);
  const host = new UsbHost(board.mcu);
  board.on('mcu', (mcu) => host.attach(mcu));
  const peer = new ScreenFwPeer({ send: (text, baud, atNs) => board.send(1, text, { baud, at: atNs / 1000 }) });
  board.on('tx', (n, c) => n === 1 && peer.byte(c.byte, c.t1 * 1000, c.baud));
  board.runUntil(() => host.configured, ENUMERATED_BY_US);
  return { board, host, peer };
}

function done(board, x, withinUs = 50_000) {
  board.runUntil(() => x.done, withinUs);
  return x;
}

const hex = (bytes) => Buffer.from(bytes).toString('hex');

const resetRequest = (type, bRequest, wValue = 0, wIndex = 0) => ({
  bmRequestType: requestType(false, type, 'interface'),
  bRequest,
  wValue,
  wIndex,
});

test('enumeration: device, configuration and string descriptors; bad requests stalled', () => {
  const { board, host } = rig();
  const vid = vendorId();
  assert.equal(
    hex(host.device),
    '12010002ef020140' + hex([vid & 0xff, vid >> 8]) + '0110000101020301',
  );
  assert.equal(
    hex(host.config),
    '09025400030100807d' + // configuration: 84 bytes, 3 interfaces, bus powered, 250 mA
      '0904000000ff000104' + // interface 0: reset, vendor class, protocol 1, string 4
      '080b01020202' + '0000' + // association: interfaces 1-2, CDC ACM
      '090401000102020005' + // interface 1: CDC communications, string 5
      '0524002001' + '05240100' + '02' + '04240206' + '0524060102' + // header 1.20, call mgmt, ACM 0x06, union 1-2
      '07058103080010' + // notification endpoint 1 IN, interrupt, 8 bytes, every 16 ms
      '09040200020a000000' + // interface 2: CDC data
      '07050202400000' + '07058202400000', // bulk 2 OUT and 2 IN, 64 bytes
  );
  assert.equal(hex(host.strings.get(0)), '04030904');
  const texts = ['Velqar Embedded', 'vt58', '11111111', 'Reset', 'IO Firmware Bridge'];
  const four = host.getDescriptor(DESC.STRING, 4, 255, LANGID_EN_US);
  const five = host.getDescriptor(DESC.STRING, 5, 255, LANGID_EN_US);
  // Index 0 answers with the language list whatever language is asked for.
  const langs = host.getDescriptor(DESC.STRING, 0, 255, 0x0407);
  const six = host.getDescriptor(DESC.STRING, 6, 255, LANGID_EN_US);
  done(board, six);
  for (const i of [1, 2, 3]) assert.equal(stringText(host.strings.get(i)), texts[i - 1]);
  assert.equal(stringText(four.data), 'Reset');
  assert.equal(stringText(five.data), 'IO Firmware Bridge');
  assert.equal(five.data[0], 2 + 2 * 18);
  assert.equal(hex(langs.data), '04030904');
  assert.equal(six.status, 'stall');

  // Unknown reset requests, and a wIndex whose low byte alone names the
  // interface, are stalled; the next SETUP is answered again.
  const refused = [
    host.control(resetRequest('class', 0)),
    host.control(resetRequest('vendor', 3)),
    host.control(resetRequest('class', 2, 0, 0x0100)),
  ];
  const after = host.getDescriptor(DESC.DEVICE, 0, 18);
  done(board, after);
  assert.deepEqual(refused.map((x) => x.status), ['stall', 'stall', 'stall']);
  assert.equal(after.status, 'ack');
  assert.equal(hex(after.data), hex(host.device));
  assert.equal(board.events.filter((e) => e.kind === 'reset').length, 1, 'no reboot from a refused request');
});

// TinyUSB 0.18 as released would take the host's bytes into the buffer the answer comes from.
test('standard reads sent with a host data stage are stalled', () => {
  const { board, host } = rig();
  const read = (bRequest, recipient, wValue = 0) =>
    host.control({ bmRequestType: requestType(false, 'standard', recipient), bRequest, wValue },
      Uint8Array.from({ length: 18 }, (_, i) => 0xa0 + i));
  const sent = [read(0, 'device'), read(6, 'device', DESC.DEVICE << 8), read(8, 'device'), read(10, 'interface')];
  const after = host.getDescriptor(DESC.DEVICE, 0, 18);
  done(board, after);
  assert.deepEqual(sent.map((x) => x.status), ['stall', 'stall', 'stall', 'stall']);
  assert.equal(hex(after.data), hex(host.device));
});

test('reset interface: request 2 reboots 100 ms later, request 1 enters the USB boot loader', () => {
  const { board, host } = rig();
  const reboot = done(board, host.control(resetRequest('class', 2)));
  assert.equal(reboot.status, 'ack');
  const answeredUs = board.nowUs();
  board.runUntil(() => board.events.some((e) => e.kind === 'reset' && e.reason === 'watchdog'), 200_000);
  const reset = board.events.find((e) => e.reason === 'watchdog');
  const delayMs = (reset.t - answeredUs) / 1000;
  assert.ok(delayMs >= 99 && delayMs <= 102, `rebooted ${delayMs.toFixed(2)} ms after the answer`);

  // The rebooted image comes up again and enumerates afresh.
  board.runUntil(() => host.configured, ENUMERATED_BY_US);
  assert.equal(board.text(1, reset.t).split('orlix-fw-io\r\n').length, 2);

  // As a vendor request, 1 hands the activity pin and the interface mask to
  // the ROM; no status stage follows.
  const bootsel = host.control(resetRequest('vendor', 1, 0x0183));
  board.runUntil(() => board.events.some((e) => e.kind === 'usb-boot'), 50_000);
  board.run(5_000);
  const boot = board.events.find((e) => e.kind === 'usb-boot');
  assert.deepEqual([boot.gpioMask, boot.disableMask], [1 << 26, 0x03]);
  assert.equal(bootsel.done, false);
});

test('console: a firmware image relayed to the screen unit byte for byte, then IOBOOTSEL', () => {
  const { board, host, peer } = rig();
  done(board, host.openSerial());
  // Unknown lines and FWUP without a usable size get no answer.
  host.write('HELLO\r\nFWUP 0\nFWUP abc\nfwup 12\n');
  board.run(20_000);
  assert.equal(host.rxText, '');

  // Several windows and a short last block; the console reads only what the
  // bridge's ring takes, so the host is held back by the USB link.
  const image = Buffer.alloc(20_000);
  for (let i = 0; i < image.length; i++) image[i] = (i * 31 + (i >> 8)) & 0xff;
  host.write(`FWUP ${image.length}\n`);
  host.write(image);
  board.runUntil(() => host.rxText.includes('DONE\n'), 5_000_000);
  assert.equal(host.rxText, 'START\nDONE\n');
  assert.equal(peer.completion, 0);
  assert.ok(Buffer.from(peer.image).equals(image), 'the screen unit reassembled the image');
  const finish = peer.heard.find((p) => p.startsWith('FZ'));
  assert.equal(finish, `FZ${crc32(image).toString(16).toUpperCase().padStart(8, '0')}`);
  assert.equal(peer.heard[0], 'FB00004E2004000E1000');

  // Back in command mode: the boot loader command answers and restarts.
  host.write('IOBOOTSEL\n');
  board.runUntil(() => board.events.some((e) => e.kind === 'usb-boot'), 500_000);
  assert.ok(host.rxText.endsWith('BOOTSEL\n'));
  const boot = board.events.find((e) => e.kind === 'usb-boot');
  assert.deepEqual([boot.gpioMask, boot.disableMask], [0, 0]);
});

// The relay's failure paths: whatever ends a session early, the rest of the image (here holding a
// command line) is read and dropped, and the console takes commands again.
describe('a relay that fails', () => {
  const SIZE = 20_000;  // beyond what the bridge's ring and the USB buffers take at once
  const image = Buffer.alloc(SIZE);
  for (let i = 0; i < SIZE; i++) image[i] = (i * 31 + (i >> 8)) & 0xff;
  image.write('\nIOBOOTSEL\n', SIZE - 100, 'latin1');

  // Passes of 1 ms: a board second of waiting is cheap to emulate. The host sends the image at
  // once, or (`trickle`) a block and then 256 bytes every 250 ms (inside the console's 500 ms
  // quiet time) until it sees a final word, and then the rest at once.
  function push(fault, { trickle = false } = {}) {
    const r = rig({ passUs: 1000 });
    Object.assign(r.peer, fault);
    done(r.board, r.host.openSerial());
    r.host.write(`FWUP ${SIZE}\n`);
    let sent = trickle ? 1024 : SIZE;
    r.host.write(image.subarray(0, sent));
    const more = () => {
      const ended = /DONE|FAIL|NORESP|TIMEOUT/.test(r.host.rxText);
      r.host.write(image.subarray(sent, ended ? SIZE : sent + 256));
      sent = ended ? SIZE : sent + 256;
      if (sent < SIZE) r.board.at(r.board.nowUs() + 250_000, more);
    };
    if (sent < SIZE) r.board.at(r.board.nowUs() + 250_000, more);
    return r;
  }

  function endsThenTakesCommands({ board, host }, word, withinUs) {
    board.runUntil(() => host.rxText.includes(`${word}\n`), withinUs);
    board.runUntil(() => host.unsent === 0 && !board.timed.length, 7_000_000);
    board.run(100_000);
    assert.equal(host.rxText, `START\n${word}\n`);
    assert.ok(!board.events.some((e) => e.kind === 'usb-boot'), 'a command line in the image ran');
    host.write('IOBOOTSEL\n');
    board.runUntil(() => board.events.some((e) => e.kind === 'usb-boot'), 500_000);
    assert.equal(host.rxText, `START\n${word}\nBOOTSEL\n`);
  }

  it('a silent screen unit: TIMEOUT 15 s after the last byte the board took', () => {
    const r = push({ silent: true });
    endsThenTakesCommands(r, 'TIMEOUT', 17_000_000);
    assert.deepEqual(r.peer.heard.slice(0, 2), ['FB00004E2004000E1000', 'FB00004E2004000E1000']);
  });

  // A slow host keeps the windows small: one block.
  it('a screen unit that takes no block: NORESP after 60 retries', () => {
    const r = push({ stuck: true }, { trickle: true });
    endsThenTakesCommands(r, 'NORESP', 2_000_000);
    assert.equal(r.peer.windows, 61);
    assert.equal(r.peer.heard.at(-1), 'FX');
  });

  it('a completion answer with an error code: FAIL', () => {
    const r = push({ completionCode: 0x17 });
    endsThenTakesCommands(r, 'FAIL', 5_000_000);
    assert.ok(Buffer.from(r.peer.image).equals(image));
    // FX leaves at the fast rate; the unit, back at 115200 after its answer, cannot read it.
    assert.match(r.peer.heard.at(-1), /^FZ/);
    assert.equal(r.peer.noise, 1);
  });

  it('a lost window acknowledgement: the window goes again and the image arrives whole', () => {
    const { board, host, peer } = push({ loseAcks: 1 });
    board.runUntil(() => host.rxText.includes('DONE\n'), 6_000_000);
    assert.equal(peer.heard.filter((p) => p === 'FD0000').length, 2);
    assert.ok(Buffer.from(peer.image).equals(image));
  });
});

// A push cut off by Ctrl-C and a new one at once: the screen unit, still at the fast rate of the
// cut session, hears its FX before the new begin frame at 115200, and the new push ends DONE.
test('console: a push cut off mid-image, then a new push at once, ends DONE', () => {
  const { board, host, peer } = rig({ passUs: 1000 });
  done(board, host.openSerial());
  const image = Buffer.alloc(40_000);
  for (let i = 0; i < image.length; i++) image[i] = (i * 7 + (i >> 9)) & 0xff;
  host.write('FWUP 2000000\n');
  host.write(image);
  board.runUntil(() => peer.windows >= 2 && peer.session, 3_000_000);
  assert.ok(peer.session, 'the first push is under way');
  done(board, host.closeSerial());
  done(board, host.openSerial());
  host.write('FWUP 5\nhello');
  board.runUntil(() => /DONE|FAIL|NORESP|TIMEOUT/.test(host.rxText), 3_000_000);
  assert.equal(host.rxText, 'START\nSTART\nDONE\n');
  assert.equal(peer.completion, 0);
  assert.equal(Buffer.from(peer.image).toString('latin1'), 'hello');
  const fx = peer.heard.indexOf('FX');
  assert.ok(fx > 0, 'the cut session was aborted');
  assert.equal(peer.heard[fx + 1], 'FB0000000504000E1000');
});
