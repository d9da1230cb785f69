// A shared air for several board images, each with its E220 module, and for outside senders
// such as fobs. The module model is the one the cabinets meet in the field:
//  - what a board writes to its module in normal mode (M0 and M1 low) goes out as one packet
//    once the module's serial input has been idle for three byte times;
//  - the packet is on the air from then until LATENCY_US after its last byte, when every other
//    module puts it on its board's receive line (at 9600 baud);
//  - packets that overlap in time reach nobody, and a module that sends hears nothing meanwhile.
// The boards run side by side in slices of `sliceUs` of air time; a packet reaches its
// receivers at the end of the slice in which its air time ends (so at most one slice late).
//
//   const air = new Air();
//   const a = air.join(new Board({ uniqueId: [...] }));          // powered at air time 0
//   const b = air.join(new Board({ uniqueId: [...] }), 1_234_000);  // powered 1.234 s later
//   air.run(5_000_000);  air.runUntil(() => ..., 2_000_000);  air.within(() => ..., us)  (null: not met)
//   air.transmit(bytes)  // an outside sender (a fob) puts a packet on the air now
//   air.packets          // { from (board or null), start, end (air µs), bytes, lost }
'use strict';

const BYTE_US = 10e6 / 9600;
const IDLE_US = 3 * BYTE_US;
const LATENCY_US = 300_000;           // from a message's last byte into the module to its delivery
const AIR_US = LATENCY_US - IDLE_US;  // a 48-byte packet's time on the air at 2.4 kbit/s
const M1 = 20;
const M0 = 21;

// The pin's output level at board time `t`, from the board's edge log.
function levelAt(board, pin, t) {
  let level = false;
  for (const e of board.edgesOf(pin)) {
    if (e.t > t) break;
    level = !!e.level;
  }
  return level;
}

class Air {
  constructor({ sliceUs = 1000 } = {}) {
    this.sliceUs = sliceUs;
    this.now = 0;
    this.nodes = [];
    this.packets = [];
    this.pending = [];  // packets not yet delivered
  }

  join(board, atUs = 0) {
    this.nodes.push({ board, offset: atUs, txNext: 0, cur: null });
    return board;
  }

  nowUs() { return this.now; }

  // Air time of a board's own time.
  airTime(board, t) { return this.nodes.find((n) => n.board === board).offset + t; }

  transmit(bytes) {
    this.send(null, this.now, Buffer.from(bytes));
  }

  send(from, start, bytes) {
    const p = { from, start, end: start + AIR_US, bytes, lost: false };
    this.packets.push(p);
    this.pending.push(p);
  }

  run(us) {
    const end = this.now + us;
    while (this.now < end) this.step(Math.min(end, this.now + this.sliceUs));
  }

  // Runs until pred() holds, at most `timeoutUs`: answers the air time then, or null.
  within(pred, timeoutUs) {
    const end = this.now + timeoutUs;
    while (!pred()) {
      if (this.now >= end) return null;
      this.step(Math.min(end, this.now + this.sliceUs));
    }
    return this.now;
  }

  runUntil(pred, timeoutUs) {
    const t = this.within(pred, timeoutUs);
    if (t === null) throw new Error(`condition not met within ${timeoutUs} us (air time ${this.now.toFixed(0)} us)`);
    return t;
  }

  step(to) {
    for (const n of this.nodes) if (to > n.offset) n.board.runToNs((to - n.offset) * 1000);
    this.now = to;
    for (const n of this.nodes) this.collect(n);
    this.deliver();
  }

  // The bytes a board wrote to its module since the last look, gathered into packets.
  collect(n) {
    const tx = n.board.tx[0];
    for (; n.txNext < tx.length; n.txNext++) {
      const c = tx[n.txNext];
      if (levelAt(n.board, M0, c.t0) || levelAt(n.board, M1, c.t0)) continue;  // not normal mode
      if (n.cur && c.t0 - n.cur.last > IDLE_US) this.close(n);
      if (!n.cur) n.cur = { bytes: [], last: 0 };
      n.cur.bytes.push(c.byte);
      n.cur.last = c.t1;
    }
    if (n.cur && this.now - n.offset >= n.cur.last + IDLE_US) this.close(n);
  }

  close(n) {
    this.send(n.board, n.offset + n.cur.last + IDLE_US, Buffer.from(n.cur.bytes));
    n.cur = null;
  }

  // Every packet whose air time has ended: to every other board, unless another packet overlapped
  // it (every packet that starts before its end is known by then).
  deliver() {
    const done = this.pending.filter((p) => p.end <= this.now);
    if (!done.length) return;
    this.pending = this.pending.filter((p) => p.end > this.now);
    for (const p of done) {
      // (A module sends its own packets one after the other.)
      p.lost = this.packets.some((q) => q !== p && (q.from !== p.from || !p.from) && q.start < p.end && p.start < q.end);
      if (p.lost) continue;
      for (const n of this.nodes) {
        if (n.board === p.from || this.now <= n.offset) continue;
        n.board.send(0, p.bytes, { at: n.board.nowUs() });
      }
    }
  }
}

module.exports = { Air, LATENCY_US, AIR_US };
