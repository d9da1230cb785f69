// The boot ROM stand-in refuses what a real RP2040 would not run: each bad case is made here by
// patching the loaded image or calling the ROM as a faulty image would.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { Board } = require('./harness/board');
const { frameToBoard } = require('./harness/screen_fw_peer');
const rom = require('./harness/bootrom');
const radio = require('./harness/radio');

const STORE = 0x1e0000;
const call = (board, name, ...args) => {
  args.forEach((v, i) => { board.mcu.core.registers[i] = v; });
  board.service(board.mcu, rom.SVC_FUNC + rom.FUNCS.indexOf(name));
};

test('an image whose boot2 CRC is wrong does not boot', () => {
  const board = new Board();
  board.flash.fill(0, 252, 256);
  assert.throws(() => board.powerCycle(), /boot2 CRC 0x0 is not 0x[0-9a-f]+/);
});

test('a lookup of an unknown ROM function fails', () => {
  const board = new Board();
  board.mcu.core.registers[0] = board.mcu.readUint16(0x14);  // the function table
  board.mcu.core.registers[1] = 0x5a5a;
  assert.throws(() => board.service(board.mcu, rom.SVC_LOOKUP), /unknown code 'ZZ'/);
});

test('erase and program only whole sectors and pages', () => {
  const board = new Board();
  assert.throws(() => call(board, 'RE', STORE + 256, 4096), /erase of 4096 bytes at 0x1e0100/);
  assert.throws(() => call(board, 'RE', STORE, 256), /erase of 256 bytes/);
  assert.throws(() => call(board, 'RP', STORE + 16, 0x20000000, 256), /program of 256 bytes at 0x1e0010/);
  assert.throws(() => call(board, 'RP', STORE, 0x20000000, 100), /program of 100 bytes/);
});

test('no instruction comes from flash while XIP is off; a real save passes', () => {
  const board = new Board();
  board.runUntil(() => board.text(1).includes('<<<'), 1_500_000);
  // A save through the ROM (a fob paired) leaves XIP on as it found it.
  board.send(1, frameToBoard('LONNOROFFX050FCP'));
  board.run(board.send(0, radio.fobMessage([1, 2, 3], 5)) - board.nowUs() + 200_000);
  assert.equal(board.events.filter((e) => e.kind === 'flash-erase').length, 2, 'the start\'s boot epoch, the pairing');
  assert.equal(board.xipOff, false);
  // The main loop runs from flash: with XIP left off, its next instruction is refused.
  call(board, 'IF');
  call(board, 'EX');
  assert.throws(() => board.run(1000), /instruction fetched from flash at 0x1[0-9a-f]{7} while XIP is off/);
});
