// The strips' and the amplifier's waveforms as the board image's PIO programs
// put them on the pins: the WS2815 bit stream on GPIO 28/29 decoded into
// frames of pixels, and the I2S stream on GPIO 0-2 decoded into samples and
// compared with the clip in clips/.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { Board } = require('./harness/board');
const { StripDecoder, I2SDecoder, streamPins, STRIP_PINS } = require('./harness/pio_decode');
const { frameToBoard } = require('./harness/screen_fw_peer');

const WARM_WHITE = 0xffff8000;
const BLUE = 0x0000ff00;
const red = (n) => (n << 16) >>> 0;
const STRIP_PIXELS = 200;
const COMET_PIXELS = 120;
const I2S_BIT_NS = 1e9 / 1_024_000 * 2; // two PIO cycles at 1.024 MHz
const FRAME_NS = 1e9 / 16_000;

// A board that has finished starting up, its strips decoded as they run.
function booted() {
  const board = new Board();
  const strips = STRIP_PINS.map(() => new StripDecoder());
  streamPins(board, STRIP_PINS, (t, pin, level) => strips[STRIP_PINS.indexOf(pin)].edge(t, level));
  board.runUntil(() => board.text(1).includes('<<<'), 1_000_000);
  return { board, strips };
}

const sendStatus = (board, payload) => board.send(1, frameToBoard(payload)) * 1000;

// The complete frames that started after `ns`.
function framesSince(board, strip, ns) {
  return strip.finish(board.nowNs()).filter((f) => f.start >= ns);
}

function assertNear(range, ns, what) {
  assert.ok(Math.abs(range.min - ns) < 1 && Math.abs(range.max - ns) < 1, `${what}: ${range.min}-${range.max} ns`);
}

test('strips: bit timing, the start-up fills and the colours of a light mode', () => {
  const { board, strips } = booted();
  for (const strip of strips) {
    // Warm white twice at start-up, 200 pixels each, latched apart.
    const fills = framesSince(board, strip, 0);
    assert.equal(fills.length, 2);
    for (const f of fills) {
      assert.equal(f.pixels.length, STRIP_PIXELS);
      assert.equal(f.extraBits, 0);
      assert.ok(f.pixels.every((p) => p === WARM_WHITE));
      // 1.25 us bits at 8 MHz PIO: a 1 is high 7 cycles, a 0 high 2.
      assertNear(f.bitNs, 1250, 'bit');
      assertNear(f.oneHighNs, 875, '1 high');
      assertNear(f.zeroHighNs, 250, '0 high');
    }
  }

  // ALARM: one steady blue fill, drawn while the payload is parsed.
  const alarmAt = sendStatus(board, 'LONALMOFFX050FCN');
  board.run(60_000);
  for (const strip of strips) {
    const fills = framesSince(board, strip, alarmAt);
    assert.equal(fills.length, 1, 'steady, no animation');
    assert.ok(fills[0].pixels.length === STRIP_PIXELS && fills[0].pixels.every((p) => p === BLUE));
    assert.ok(fills[0].start - alarmAt < 1e6, 'drawn within a millisecond of the frame');
  }

  // DEMO C: a red comet on pixels 0-119, head 255 with a falling tail, one
  // step per frame, strip 2 the mirror image of strip 1.
  const demoAt = sendStatus(board, 'LONDMCOFFX050FCN');
  board.run(40_000);
  const [one, two] = strips.map((s) => framesSince(board, s, demoAt));
  assert.ok(one.length >= 4 && two.length === one.length, `${one.length} and ${two.length} comet frames`);
  one.forEach((frame, head) => {
    const px = frame.pixels;
    assert.equal(px.length, COMET_PIXELS);
    assert.equal(px[head], red(255));
    if (head > 0) assert.equal(px[head - 1], red(250));
    assert.ok(px.slice(head + 1).every((p) => p === 0));
    assert.deepEqual(two[head].pixels, [...px].reverse());
    if (frame.gapAfterNs !== null) assert.ok(frame.gapAfterNs > 1.5e6, 'steps about 2 ms apart');
  });
});

function clipSamples(name) {
  const wav = fs.readFileSync(path.join(__dirname, '..', '..', 'clips', `${name}.wav`));
  assert.equal(wav.toString('latin1', 36, 40), 'data');
  const samples = new Int16Array(wav.readUInt32LE(40) / 2);
  for (let i = 0; i < samples.length; i++) samples[i] = wav.readInt16LE(44 + 2 * i);
  return samples;
}

test('sound: a clip played over I2S sample for sample, without gaps, with the amplifier on', () => {
  const { board } = booted();
  const i2s = new I2SDecoder();
  streamPins(board, [0, 1, 2, 3], (t, pin, level) => i2s.edge(t, pin, level));
  const from = board.nowUs();
  sendStatus(board, 'LOFNORPO1X100FCN');
  board.runUntil(() => board.text(1, from).includes('Playback complete\r\n'), 3_500_000);
  const text = board.text(1, from);
  assert.ok(text.includes('Play: sound_cabinet_is_unlocked\r\nStarting playback: 40320 samples, volume: 94/256\r\n'));

  // Volume 100 is 94/256; both channels carry the same sample, MSB first,
  // the word clock one bit ahead (a misplaced word clock shifts every value).
  const clip = clipSamples('sound_cabinet_is_unlocked');
  assert.equal(clip.length, 40320);
  const frames = i2s.frames;
  assert.ok(frames.length >= clip.length, `${frames.length} frames`);
  for (let i = 0; i < clip.length; i++) {
    const want = (clip[i] * 94) >> 8;
    if (frames[i][0] !== want || frames[i][1] !== want) assert.fail(`frame ${i}: ${frames[i]} instead of ${want}`);
  }
  // Then the silence, less the words still queued when the machine stops
  // (8 in the joined FIFO, 1 in the shift register).
  const silence = frames.slice(clip.length);
  assert.ok(silence.length <= 512 && silence.length >= 512 - 9, `${silence.length} silent frames`);
  assert.ok(silence.every(([l, r]) => l === 0 && r === 0));
  assert.equal(i2s.partialWords, 0);

  // 16 000 frames a second without a stall across every refill.
  const clock = i2s.bitClock();
  assert.ok(Math.abs(clock.minNs - I2S_BIT_NS) < 1 && Math.abs(clock.maxNs - I2S_BIT_NS) < 1, JSON.stringify(clock));
  assert.deepEqual(i2s.stalls(I2S_BIT_NS).count, 0);

  // The amplifier is on from just before the first frame to just after the last.
  assert.deepEqual(i2s.enable.map((e) => e.level), [1, 0]);
  const [on, off] = i2s.enable.map((e) => e.t);
  assert.ok(on <= i2s.firstFrameAt && i2s.firstFrameAt - on < 2 * FRAME_NS);
  const playedNs = frames.length * FRAME_NS;
  assert.ok(Math.abs(off - on - playedNs) < 2 * FRAME_NS, `amplifier on ${(off - on) / 1e6} ms for ${playedNs / 1e6} ms`);
});
