// Decoders for what the two PIO programs put on the pins, from GPIO edges
// (time in ns, pin, level 0/1): the WS2815 strips on GPIO 28/29 and the I2S
// amplifier on GPIO 0-2 with its enable on GPIO 3. Both work as streams, so a
// clip of several seconds is decoded without keeping millions of edges.
'use strict';

const STRIP_PINS = [28, 29];
const I2S_PINS = { data: 0, bclk: 1, ws: 2, enable: 3 };

// A strip bit is 1.25 us; a 1 is high for 7/10 of it, a 0 for 2/10. A low
// stretch far longer than a bit ends a frame (the pixels latch).
const STRIP_BIT_NS = 1250;
const STRIP_LATCH_NS = 50_000;

const BITS_PER_PIXEL = 24;
const I2S_BITS_PER_CHANNEL = 16;

// Calls onEdge(tNs, pin, level) for every change of the given output pins of
// the board's chip, and of every chip that replaces it at a reset; the time is
// the board's, taken as its edge log takes it. Returns a function that stops it.
function streamPins(board, pins, onEdge) {
  let removers = [];
  const attach = (mcu) => {
    removers = pins.map((pin) => {
      const g = mcu.gpio[pin];
      let last = g.outputEnable && g.outputValue ? 1 : 0;
      return g.addListener(() => {
        const level = g.outputEnable && g.outputValue ? 1 : 0;
        if (level === last) return;
        last = level;
        const ns = board.pioTimeNs !== null ? board.pioTimeNs : mcu.clock.nanos;
        onEdge(board.epochNs + ns, pin, level);
      });
    });
  };
  attach(board.mcu);
  board.on('mcu', attach);
  return () => {
    board.off('mcu', attach);
    removers.forEach((remove) => remove());
  };
}

// The board's edge log ({t in us, pin, level true/false/null}) as decoder input.
function boardEdges(board, pin, fromUs = 0) {
  return board.edgesOf(pin, fromUs).map((e) => ({ t: e.t * 1000, pin, level: e.level ? 1 : 0 }));
}

function range(values) {
  if (values.length === 0) return null;
  return { min: Math.min(...values), max: Math.max(...values) };
}

// One strip's data pin.
class StripDecoder {
  constructor({ latchNs = STRIP_LATCH_NS } = {}) {
    this.latchNs = latchNs;
    this.frames = [];
    this.level = 0;
    this.rise = null; // start of the bit being received
    this.fall = null;
    this.current = null;
  }

  edge(t, level) {
    if (level === this.level) return;
    this.level = level;
    if (level === 0) {
      this.fall = t;
      return;
    }
    if (this.rise !== null) this.closeBit(t);
    if (this.current === null) this.current = { start: t, bits: [], highNs: [[], []], periodNs: [] };
    this.rise = t;
  }

  closeBit(nextRise) {
    const high = this.fall - this.rise;
    const bit = high > STRIP_BIT_NS / 2 ? 1 : 0;
    const frame = this.current;
    frame.bits.push(bit);
    frame.highNs[bit].push(high);
    const period = nextRise === null ? null : nextRise - this.rise;
    if (period !== null && period <= this.latchNs) {
      frame.periodNs.push(period);
      return;
    }
    this.finishFrame(period === null ? null : nextRise - this.fall);
  }

  finishFrame(gapNs) {
    const f = this.current;
    const pixels = [];
    for (let i = 0; i + BITS_PER_PIXEL <= f.bits.length; i += BITS_PER_PIXEL) {
      let word = 0;
      for (let b = 0; b < BITS_PER_PIXEL; b++) word = (word << 1) | f.bits[i + b];
      pixels.push((word << 8) >>> 0); // as the firmware's pixel word: G, R, B, 0
    }
    this.frames.push({
      start: f.start,
      end: this.fall,
      pixels,
      extraBits: f.bits.length % BITS_PER_PIXEL,
      oneHighNs: range(f.highNs[1]),
      zeroHighNs: range(f.highNs[0]),
      bitNs: range(f.periodNs),
      gapAfterNs: gapNs,
    });
    this.current = null;
  }

  // The frames so far; the last one counts once the line has been idle for a
  // latch time at `nowNs` (the end of the recording if not given).
  finish(nowNs = Infinity) {
    if (this.rise !== null && this.current !== null && this.level === 0 && nowNs - this.fall > this.latchNs) {
      this.closeBit(null);
      this.rise = null;
    }
    return this.frames;
  }
}

function pixelRGB(word) {
  return { g: word >>> 24, r: (word >>> 16) & 0xff, b: (word >>> 8) & 0xff };
}

// The I2S output: samples on the rising bit clock; the word clock changes one
// bit before each channel's most significant bit, low for the left channel.
class I2SDecoder {
  constructor(pins = I2S_PINS) {
    this.pins = pins;
    this.levels = new Map();
    this.frames = []; // [left, right] as signed 16-bit values
    this.enable = []; // {t, level} of the amplifier enable
    this.partialWords = 0;
    this.bits = 0;
    this.bitCount = 0;
    this.lastWs = null;
    this.left = null;
    this.lastRise = null;
    this.periods = new Map(); // bit clock period (ns, rounded) -> count
    this.firstRise = null;
    this.firstFrameAt = null;
  }

  edge(t, pin, level) {
    if ((this.levels.get(pin) ?? 0) === level) return;
    this.levels.set(pin, level);
    if (pin === this.pins.enable) this.enable.push({ t, level });
    if (pin === this.pins.bclk && level === 1) this.sample(t);
  }

  sample(t) {
    if (this.lastRise !== null) {
      const p = Math.round(t - this.lastRise);
      this.periods.set(p, (this.periods.get(p) ?? 0) + 1);
    } else {
      this.firstRise = t;
    }
    this.lastRise = t;
    const ws = this.levels.get(this.pins.ws) ?? 0;
    const data = this.levels.get(this.pins.data) ?? 0;
    this.bits = ((this.bits << 1) | data) & 0xffff;
    this.bitCount++;
    // The bit sampled as the word clock changes is the last of the word.
    if (this.lastWs !== null && ws !== this.lastWs) this.word(this.lastWs, t);
    this.lastWs = ws;
  }

  word(channel, t) {
    // A receiver shifts bits in MSB first: a longer run keeps its last 16.
    const whole = this.bitCount >= I2S_BITS_PER_CHANNEL;
    const value = (this.bits << 16) >> 16;
    this.bitCount = 0;
    if (!whole) {
      this.partialWords++;
      this.left = null;
      return;
    }
    if (channel === 0) {
      this.left = value;
    } else if (this.left !== null) {
      if (this.firstFrameAt === null) this.firstFrameAt = t;
      this.frames.push([this.left, value]);
      this.left = null;
    }
  }

  // Bit clock periods that are longer than the nominal one: the output
  // stalled because the FIFO ran dry.
  stalls(nominalNs) {
    let count = 0;
    let longest = 0;
    for (const [p, n] of this.periods) {
      if (p > nominalNs * 1.5) {
        count += n;
        longest = Math.max(longest, p);
      }
    }
    return { count, longest };
  }

  bitClock() {
    let best = null;
    for (const [p, n] of this.periods) if (best === null || n > best.n) best = { p, n };
    const all = [...this.periods.keys()];
    return { typicalNs: best?.p ?? null, minNs: Math.min(...all), maxNs: Math.max(...all) };
  }
}

// Feeds an edge array ({t, pin, level}) to a decoder.
function decodeStrip(edges, pin, options) {
  const d = new StripDecoder(options);
  for (const e of edges) if (e.pin === pin) d.edge(e.t, e.level);
  return d.finish();
}

function decodeI2S(edges, pins = I2S_PINS) {
  const d = new I2SDecoder(pins);
  for (const e of edges) d.edge(e.t, e.pin, e.level);
  return d;
}

module.exports = { STRIP_PINS, I2S_PINS, STRIP_BIT_NS, STRIP_LATCH_NS, streamPins, boardEdges, StripDecoder, pixelRGB, I2SDecoder, decodeStrip, decodeI2S };
