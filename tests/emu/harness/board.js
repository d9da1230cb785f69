// The board image (build/board/orlix-fw-io.elf) on an emulated RP2040 (rp2040js), driven from
// outside the way the board's devices and peers would drive it.
//
//   const { Board } = require('./harness/board');
//   const board = new Board();            // image loaded into flash, chip powered, not yet running
//   board.run(500_000);                   // run 500 ms of board time (µs)
//   board.runUntil(() => board.text(1).includes('LoRa done'), 2_000_000);
//   board.mcu                             // the rp2040js RP2040 instance (replaced at every reset)
//   board.nowUs()                         // board time in µs since the first power-on (keeps
//                                         //   counting across resets; the chip's timer restarts)
//   board.at(us, fn)                      // call fn when board time reaches `us` (absolute)
//   board.whenAt('lights_poll', fn)       // call fn(mcu) once, before the instruction at a symbol
//   new Board({ passUs: 0 })              // options: passUs (extra board time per main-loop pass,
//                                         //   default 100), uniqueId, watch, elf, skipIdle
//
// Serial lines (index 0 = UART0, LoRa module; 1 = UART1, screen line and console):
//   board.tx[n]       every byte the board sent: { t0, t1, byte, baud, pins, cut } with t0/t1 the start
//                     bit's leading edge and the stop bit's end in µs, `pins` the GPIO output levels
//                     (bit mask) at t0 and at t1 as [atStart, atEnd]; `cut` when the UART was reset
//                     while the character was on the wire. Transmit is paced at the
//                     programmed divisor of clk_peri, and UARTFR BUSY/TXFF/TXFE follow it.
//   board.text(n)     the bytes of tx[n] as a latin1 string; board.bytes(n) as a Buffer
//   board.send(n, bytes, { baud, at })  the peer sends these bytes at its own line rate (default
//                     115200 on UART1, 9600 on UART0), starting now or at board time `at`; each byte
//                     reaches the receive FIFO at the end of its stop bit. A receiver programmed more
//                     than 3 % off the sender's rate receives garbage, as a real one would.
// Pins:
//   board.setPin(pin, level)            drive an input from outside (kept across resets)
//   board.edges                          output edges of the watched pins: { t (µs), pin, level }
//   board.watch(pins)                    add pins to the edge log (default: 3, 10, 11, 20, 21, 24, 26)
//   board.level(pin)                     the pin's current output level (true/false) or null if not driven
// Flash and boot ROM:
//   board.flash          the chip's flash array (Uint8Array, offset 0 = 0x10000000), kept across
//                        resets and power cycles; erase/program through the ROM act on it
//   board.uniqueId       the 8-byte id that flash_get_unique_id reads (option `uniqueId`)
//   board.events         { t, kind, ... }: 'reset' (reason 'watchdog' | 'sysresetreq' | 'power'),
//                        'flash-erase' / 'flash-program' { offset, count, irqsOff (PRIMASK set) },
//                        'usb-boot' { gpioMask, disableMask } (the chip then stays in the ROM),
//                        'uart-reset' { uart, lost } (characters dropped by a UART reset)
//   board.symbol(name)   an ELF symbol's address
//   Strict as the chip: a boot2 whose CRC fails, a ROM lookup of an unknown code, an erase or
//   program not in whole sectors or pages, and an instruction fetched from flash while XIP is off
//   (from connect_internal_flash or flash_exit_xip until boot2 or flash_enter_cmd_xip has set it
//   up again) each throw out of run().
// Resets:
//   board.powerCycle()   power off and on, flash kept. Watchdog expiry, AIRCR SYSRESETREQ and
//                        the ROM's reset_usb_boot happen by themselves.
//   board.on('mcu', (mcu) => ...)  called for every new chip instance (power-on and each reset),
//                        before it runs its first instruction: attach per-chip hooks here.
//
// Emulator gaps filled here: boot ROM stand-in, SSI/IO_QSPI flash commands, UART transmit pacing,
// SEV latching the event register, WFI/WFE waking on any pending interrupt, AIRCR/SCR, watchdog
// reset (its alarm stopped), fired alarms no longer `scheduled`, SYSINFO chip version B2, PIO state
// machines stepped on the emulated clock at their dividers and with their instruction delays, PIO
// FIFO join. Idle stretches (WFE/WFI) are skipped to the next timer or event.
'use strict';
const path = require('path');
const { EventEmitter } = require('events');
const { RP2040 } = require('rp2040js');
const { readElf } = require('./elf');
const rom = require('./bootrom');

// ORLIX_EMU_ELF runs the suites on another image (a build made with other flags, for example).
const DEFAULT_ELF = process.env.ORLIX_EMU_ELF || path.join(__dirname, '..', '..', '..', 'build', 'board', 'orlix-fw-io.elf');
const FLASH_BASE = 0x10000000;
const FLASH_BYTES = 16 * 1024 * 1024;
const VECTORS = 0x10000100;
const DEFAULT_WATCH = [3, 10, 11, 20, 21, 24, 26];
const UARTDMACR = 0x48;
const UART_RX_DREQ = [21, 23];  // DREQ_UART0_RX, DREQ_UART1_RX
const NOMINAL_BAUD = [9600, 115200];
const BAUD_TOLERANCE = 0.03;
const UART_FIFO_DEPTH = 32;
const STALL_ON_TX = new Set([3, 5]);   // rp2040js WaitType.txFIFO, WaitType.Out

// Flash chip timings (typical of a 2 MiB QSPI part): the ROM calls take this long.
const SECTOR_ERASE_US = 45000;
const PAGE_PROGRAM_US = 700;

// rp2040js does not export its clock class; take it from a chip instance.
const SimulationClock = new RP2040().clock.constructor;

const elfCache = new Map();
function loadImage(file) {
  if (!elfCache.has(file)) elfCache.set(file, readElf(file));
  return elfCache.get(file);
}

// The simulation clock, with a fired alarm no longer marked as scheduled.
class Clock extends SimulationClock {
  tick(deltaNanos) {
    const targetNanos = this.nanosCounter + deltaNanos;
    let alarm = this.nextAlarm;
    while (alarm && alarm.nanos <= targetNanos) {
      this.nextAlarm = alarm.next;
      this.nanosCounter = alarm.nanos;
      alarm.scheduled = false;
      alarm.callback();
      alarm = this.nextAlarm;
    }
    this.nanosCounter = targetNanos;
  }
}

const silentLogger = (onSev) => ({
  debug() {}, warn() {}, error() {},
  info(component, msg) { if (msg === 'SEV') onSev(); },
});

class Board extends EventEmitter {
  constructor(options = {}) {
    super();
    this.elfPath = options.elf || DEFAULT_ELF;
    this.image = loadImage(this.elfPath);
    this.uniqueId = Buffer.from(options.uniqueId || [0xe6, 0x61, 0x4c, 0x31, 0x1b, 0x4a, 0x2c, 0x2a]);
    this.romImage = rom.buildRom();
    this.flash = new Uint8Array(FLASH_BYTES).fill(0xff);
    for (const { paddr, data } of this.image.segments) {
      if (paddr >= FLASH_BASE && paddr < FLASH_BASE + FLASH_BYTES) this.flash.set(data, paddr - FLASH_BASE);
    }
    this.tx = [[], []];
    this.edges = [];
    this.events = [];
    this.watched = new Set(options.watch || DEFAULT_WATCH);
    this.inputs = new Map();
    this.epochNs = 0;
    this.timed = [];             // board.at() actions: { ns (global), fn }, sorted
    this.mcu = null;
    this.skipIdle = options.skipIdle !== false;
    // Every pass of the main loop (entry of door_poll) costs this much more board time than its
    // instructions: the loop polls without pause, and a coarser pass makes a board second cheap
    // to emulate. 0 gives the chip's own pass time (about 6 µs).
    this.passNs = (options.passUs === undefined ? 100 : options.passUs) * 1000;
    this.passPC = this.passNs ? this.symbol('door_poll') & ~1 : -1;
    this.powerOn('power');
  }

  symbol(name) {
    // C++ functions without arguments are found by their plain name too.
    const s = this.image.symbols.get(name) || this.image.symbols.get(`_Z${name.length}${name}v`);
    if (!s) throw new Error(`no symbol ${name} in ${this.elfPath}`);
    return s.value;
  }

  nowUs() { return this.nowNs() / 1000; }
  nowNs() { return this.epochNs + (this.mcu ? this.mcu.clock.nanos : 0); }

  // ---------------------------------------------------------------- power and resets

  powerCycle() {
    this.requestReset('power');
    this.run(0);
  }

  requestReset(reason) {
    if (!this.resetPending) this.resetPending = reason;
  }

  powerOn(reason) {
    const old = this.mcu;
    if (old) this.epochNs += old.clock.nanos;
    rom.checkBoot2(this.flash);
    this.xipOff = false;
    // The watchdog's scratch registers survive every reset but a power cut.
    const keepScratch = old && reason !== 'power' ? old.peripherals[0x40058].scratchData.slice() : null;
    this.resetPending = null;
    this.halted = false;
    const clock = new Clock();
    const mcu = new RP2040(clock);
    this.mcu = mcu;
    mcu.logger = silentLogger(() => { mcu.core.eventRegistered = true; });
    mcu.bootrom.set(this.romImage);
    mcu.flash = this.flash;
    mcu.flash16 = new Uint16Array(this.flash.buffer);
    mcu.flashView = new DataView(this.flash.buffer);
    if (keepScratch) mcu.peripherals[0x40058].scratchData.set(keepScratch);
    this.patchChip(mcu);
    for (const [pin, level] of this.inputs) mcu.gpio[pin].setInputValue(level);
    for (const pin of this.watched) this.attachEdgeLog(mcu, pin);
    mcu.core.VTOR = VECTORS;
    mcu.core.SP = mcu.readUint32(VECTORS);
    mcu.core.PC = mcu.readUint32(VECTORS + 4) & ~1;
    this.events.push({ t: this.nowUs(), kind: 'reset', reason });
    this.scheduleTimed();
    this.emit('mcu', mcu);
  }

  // ---------------------------------------------------------------- running

  // Runs `us` microseconds of board time.
  run(us) {
    this.runToNs(this.nowNs() + us * 1000);
  }

  // Runs until pred() is true (checked every `sliceUs`), at most `timeoutUs`; returns board time.
  runUntil(pred, timeoutUs, sliceUs = 200) {
    const end = this.nowNs() + timeoutUs * 1000;
    while (!pred()) {
      if (this.nowNs() >= end) throw new Error(`condition not met within ${timeoutUs} us (board time ${this.nowUs().toFixed(0)} us)`);
      this.runToNs(Math.min(end, this.nowNs() + sliceUs * 1000));
    }
    return this.nowUs();
  }

  runToNs(targetNs) {
    for (;;) {
      const mcu = this.mcu;
      const { core, clock } = mcu;
      const target = targetNs - this.epochNs;
      while (clock.nanosCounter < target && !this.resetPending) {
        if (clock.nanosCounter >= this.pioNextNs) this.stepPio(mcu);
        if (this.halted || core.waiting) {
          this.idle(mcu, target);
          continue;
        }
        const cycles = core.executeInstruction();
        clock.tick(cycles * 1e9 / mcu.clkSys);
        if (core.PC === this.passPC) clock.tick(this.passNs);
      }
      if (!this.resetPending) return;
      this.powerOn(this.resetPending);
    }
  }

  // The core sleeps (or the chip sits in the boot ROM): jump to the next thing that happens.
  idle(mcu, target) {
    const { core, clock } = mcu;
    let next = clock.nextAlarm ? clock.nextAlarm.nanos : target;
    if (this.pioNextNs < next) next = this.pioNextNs;
    if (!this.skipIdle) next = Math.min(next, clock.nanosCounter + 1000);
    if (next > target) next = target;
    clock.tick(Math.max(0, next - clock.nanosCounter));
    if (this.halted || !core.waiting) return;
    if ((core.pendingInterrupts & core.enabledInterrupts) || core.pendingSystick || core.pendingPendSV ||
        core.pendingNMI || core.eventRegistered) {
      core.waiting = false;
      core.eventRegistered = false;
      core.interruptsUpdated = true;
    }
  }

  // Calls fn(mcu) once, when the core is about to execute the instruction at `addr` (an address
  // or a symbol name). Returns a function that removes the hook.
  whenAt(addr, fn) {
    const pc = (typeof addr === 'string' ? this.symbol(addr) : addr) & ~1;
    const core = this.mcu.core;
    const exec = core.executeInstruction;
    const remove = () => { if (core.executeInstruction === hooked) core.executeInstruction = exec; };
    const hooked = () => {
      if (core.PC === pc) { remove(); fn(this.mcu); }
      return exec.call(core);
    };
    core.executeInstruction = hooked;
    return remove;
  }

  at(us, fn) {
    const ns = us * 1000;
    this.timed.push({ ns, fn });
    this.timed.sort((a, b) => a.ns - b.ns);
    this.scheduleTimed();
  }

  scheduleTimed() {
    const mcu = this.mcu;
    if (!this.timedAlarm || this.timedAlarm.owner !== mcu) {
      this.timedAlarm = mcu.clock.createAlarm(() => this.fireTimed());
      this.timedAlarm.owner = mcu;
    }
    this.timedAlarm.cancel();
    if (this.timed.length) this.timedAlarm.schedule(Math.max(0, this.timed[0].ns - this.nowNs()));
  }

  fireTimed() {
    while (this.timed.length && this.timed[0].ns <= this.nowNs()) this.timed.shift().fn();
    this.scheduleTimed();
  }

  // ---------------------------------------------------------------- pins

  setPin(pin, level) {
    this.inputs.set(pin, !!level);
    this.mcu.gpio[pin].setInputValue(!!level);
  }

  level(pin) {
    const g = this.mcu.gpio[pin];
    return g.outputEnable ? g.outputValue : null;
  }

  outputMask() {
    let mask = 0;
    for (let i = 0; i < 30; i++) {
      const g = this.mcu.gpio[i];
      if (g.outputEnable && g.outputValue) mask |= 1 << i;
    }
    return mask >>> 0;
  }

  watch(pins) {
    for (const pin of pins) {
      if (this.watched.has(pin)) continue;
      this.watched.add(pin);
      this.attachEdgeLog(this.mcu, pin);
    }
  }

  attachEdgeLog(mcu, pin) {
    const g = mcu.gpio[pin];
    let last = g.outputEnable ? g.outputValue : null;
    g.addListener(() => {
      const level = g.outputEnable ? g.outputValue : null;
      if (level === last) return;
      last = level;
      const ns = this.pioTimeNs !== null ? this.pioTimeNs : mcu.clock.nanos;
      this.edges.push({ t: (this.epochNs + ns) / 1000, pin, level });
    });
  }

  edgesOf(pin, fromUs = 0) {
    return this.edges.filter((e) => e.pin === pin && e.t >= fromUs);
  }

  // ---------------------------------------------------------------- serial lines

  text(n, fromUs = 0) { return this.bytes(n, fromUs).toString('latin1'); }
  bytes(n, fromUs = 0) { return Buffer.from(this.tx[n].filter((c) => c.t0 >= fromUs).map((c) => c.byte)); }

  send(n, bytes, { baud = NOMINAL_BAUD[n], at } = {}) {
    const data = typeof bytes === 'string' ? Buffer.from(bytes, 'latin1') : Buffer.from(bytes);
    const line = this.lines[n];
    const charNs = 10 * 1e9 / baud;
    let t = Math.max(at !== undefined ? at * 1000 : this.nowNs(), line.rxFreeNs);
    for (const byte of data) {
      t += charNs;
      line.rxQueue.push({ ns: t, byte, baud });
    }
    line.rxFreeNs = t;
    line.scheduleRx();
    return t / 1000;  // board time when the last byte has arrived
  }

  // ---------------------------------------------------------------- chip patches

  patchChip(mcu) {
    const board = this;
    mcu.onBreak = (n) => this.service(mcu, n);

    // SYSINFO: chip version B2.
    const sysinfo = mcu.peripherals[0x40000];
    const sysinfoRead = sysinfo.readUint32.bind(sysinfo);
    sysinfo.readUint32 = (offset) => (offset === 0 ? 0x20002927 : sysinfoRead(offset));

    // AIRCR (SYSRESETREQ) and SCR.
    const ppb = mcu.ppb;
    const ppbRead = ppb.readUint32.bind(ppb);
    const ppbWrite = ppb.writeUint32.bind(ppb);
    let scr = 0;
    ppb.readUint32 = (offset) => (offset === 0xd0c ? 0xfa050000 : offset === 0xd10 ? scr : ppbRead(offset));
    ppb.writeUint32 = (offset, value) => {
      if (offset === 0xd0c) {
        if ((value >>> 16) === 0x05fa && (value & 4)) board.requestReset('sysresetreq');
      } else if (offset === 0xd10) {
        scr = value & 0x16;
      } else {
        ppbWrite(offset, value);
      }
    };

    // Watchdog: a reset of the whole chip, and its alarm stopped so it does not fire again.
    const wd = mcu.peripherals[0x40058];
    wd.onWatchdogTrigger = () => {
      wd.alarm.enable = false;
      wd.timer.enable = false;
      board.requestReset('watchdog');
    };

    this.patchFlashPath(mcu);
    this.checkXipFetches(mcu);
    this.lines = [0, 1].map((n) => new UartLine(this, mcu, n));

    // RESETS: a UART held in reset loses what its FIFOs hold and the character on the wire.
    const resets = mcu.peripherals[0x4000c];
    const resetsWrite = resets.writeUint32.bind(resets);
    resets.writeUint32 = (offset, value) => {
      resetsWrite(offset, value);
      if (offset !== 0) return;
      this.lines.forEach((line, n) => { if (value & (1 << (22 + n))) line.reset(); });
    };
    this.patchPio(mcu);
    this.pioTimeNs = null;
  }

  // flash_do_cmd: chip select forced low through IO_QSPI, bytes through the SSI data register.
  patchFlashPath(mcu) {
    const board = this;
    const regs = new Uint32Array(0x40 / 4);
    let selected = false;
    let command = [];
    const rx = [];
    mcu.peripherals[0x40018] = {
      readUint32: (offset) => (offset < 0x40 ? regs[offset >> 2] : 0),
      writeUint32Atomic(offset, value, type) {
        if (offset >= 0x40) return;
        const cur = regs[offset >> 2];
        const v = type === 1 ? cur ^ value : type === 2 ? cur | value : type === 3 ? cur & ~value : value;
        regs[offset >> 2] = v;
        if (offset === 0x0c) {  // GPIO_QSPI_SS_CTRL: OUTOVER 2 = drive low, anything else = release
          const low = ((v >>> 8) & 3) === 2;
          if (low && !selected) { command = []; rx.length = 0; }
          selected = low;
        }
      },
    };
    const ssi = mcu.peripherals[0x18000];
    const ssiRead = ssi.readUint32.bind(ssi);
    const ssiWrite = ssi.writeUint32.bind(ssi);
    ssi.readUint32 = (offset) => {
      if (!selected) return ssiRead(offset);
      if (offset === 0x28) return 0x6 | (rx.length ? 0x8 : 0);   // SR: TFNF | TFE | RFNE
      if (offset === 0x60) return rx.length ? rx.shift() : 0;    // DR0
      return ssiRead(offset);
    };
    ssi.writeUint32 = (offset, value) => {
      if (!selected && offset === 0x08 && (value & 1)) board.xipOff = false;  // SSIENR: boot2 sets XIP up again
      if (!selected || offset !== 0x60) return ssiWrite(offset, value);
      command.push(value & 0xff);
      rx.push(board.flashAnswer(command));
    };
  }

  // Instructions come from flash through XIP only: none may be fetched while it is off.
  checkXipFetches(mcu) {
    const core = mcu.core;
    const exec = core.executeInstruction;
    core.executeInstruction = () => {
      if (this.xipOff && core.PC >= FLASH_BASE && core.PC < FLASH_BASE + FLASH_BYTES) {
        throw new Error(`instruction fetched from flash at 0x${core.PC.toString(16)} while XIP is off`);
      }
      return exec.call(core);
    };
  }

  // The byte the flash chip shifts out while the last byte of `command` goes in.
  flashAnswer(command) {
    const i = command.length - 1;
    switch (command[0]) {
      case 0x4b: return i >= 5 && i < 13 ? this.uniqueId[i - 5] : 0;        // read unique id
      case 0x9f: return [0, 0xef, 0x40, 0x15][i] || 0;                         // JEDEC id
      default: return 0;
    }
  }

  // PIO state machines run on the emulated clock: one instruction per (1 + delay) cycles of the
  // divided clock, stalls costing one cycle each. The transmit and receive FIFOs join on FJOIN.
  patchPio(mcu) {
    const board = this;
    this.pioNextNs = Infinity;
    for (const pio of mcu.pio) {
      pio.run = () => {};
      for (const sm of pio.machines) {
        sm.nextNs = Infinity;
        const smFifo = sm.writeFIFO.bind(sm);
        sm.writeFIFO = (value) => {
          smFifo(value);
          if (!sm.parked) return;
          // Resume on the state machine's own clock grid.
          const { origin, period } = sm.parked;
          sm.parked = null;
          if (!sm.enabled) return;
          sm.nextNs = origin + Math.max(0, Math.ceil((mcu.clock.nanos - origin) / period)) * period;
          board.updatePioNext(mcu);
        };
        const smWrite = sm.writeUint32.bind(sm);
        sm.writeUint32 = (offset, value) => {
          const before = sm.shiftCtrl;
          smWrite(offset, value);
          if (offset === 8 && ((before ^ sm.shiftCtrl) & 0xc0000000)) {
            const Fifo = sm.txFIFO.constructor;
            sm.txFIFO = new Fifo(sm.shiftCtrl & 0x40000000 ? 8 : sm.shiftCtrl & 0x80000000 ? 0 : 4);
            sm.rxFIFO = new Fifo(sm.shiftCtrl & 0x80000000 ? 8 : sm.shiftCtrl & 0x40000000 ? 0 : 4);
            sm.updateDMATx();
            sm.updateDMARx();
          }
        };
      }
      const pioWrite = pio.writeUint32.bind(pio);
      pio.writeUint32 = (offset, value) => {
        const was = pio.machines.map((m) => m.enabled);
        pioWrite(offset, value);
        if (offset === 0) {
          pio.machines.forEach((m, i) => {
            if (m.enabled && !was[i]) { m.nextNs = mcu.clock.nanos; m.parked = null; }
            if (!m.enabled) { m.nextNs = Infinity; m.parked = null; }
          });
          board.updatePioNext(mcu);
        }
      };
    }
  }

  updatePioNext(mcu) {
    let next = Infinity;
    for (const pio of mcu.pio) for (const sm of pio.machines) if (sm.nextNs < next) next = sm.nextNs;
    this.pioNextNs = next;
  }

  stepPio(mcu) {
    const now = mcu.clock.nanos;
    const nsPerCycle = 1e9 / mcu.clkSys;
    for (const pio of mcu.pio) {
      for (const sm of pio.machines) {
        if (!sm.enabled) continue;
        const period = (sm.clockDivInt === 0 ? 65536 : sm.clockDivInt + sm.clockDivFrac / 256) * nsPerCycle;
        while (sm.nextNs <= now) {
          this.pioTimeNs = sm.nextNs;
          const before = sm.cycles;
          sm.step();
          pio.checkChangedPins();
          sm.nextNs += Math.max(1, sm.cycles - before) * period;
          if (sm.waiting && STALL_ON_TX.has(sm.waitType) && sm.txFIFO.empty) {
            // Parked until its transmit FIFO is written: nothing changes while it stalls.
            sm.parked = { origin: sm.nextNs, period };
            sm.nextNs = Infinity;
          }
        }
      }
    }
    this.pioTimeNs = null;
    this.updatePioNext(mcu);
  }

  // ---------------------------------------------------------------- boot ROM services

  service(mcu, n) {
    const core = mcu.core;
    const r = core.registers;
    if (n === rom.SVC_LOOKUP) {
      r[0] = this.romLookup(mcu, r[0], r[1] & 0xffff);
    } else if (n >= rom.SVC_FLOAT && n < rom.SVC_FLOAT + rom.TABLE_ENTRIES) {
      rom.softFloat(core, n - rom.SVC_FLOAT, false);
    } else if (n >= rom.SVC_DOUBLE && n < rom.SVC_DOUBLE + rom.TABLE_ENTRIES) {
      rom.softFloat(core, n - rom.SVC_DOUBLE, true);
    } else if (n >= rom.SVC_FUNC && n < rom.SVC_FUNC + rom.FUNCS.length) {
      this.romFunction(mcu, rom.FUNCS[n - rom.SVC_FUNC], r);
    } else {
      throw new Error(`breakpoint ${n} at 0x${(core.PC - 2).toString(16)}`);
    }
  }

  romLookup(mcu, table, code) {
    for (let p = table; ; p += 4) {
      const c = mcu.readUint16(p);
      if (!c) break;
      if (c === code) return mcu.readUint16(p + 2);
    }
    // The ROM answers 0, and the caller would jump there.
    throw new Error(`ROM lookup of unknown code '${String.fromCharCode(code & 0xff, code >> 8)}'`);
  }

  romFunction(mcu, name, r) {
    switch (name) {
      case 'P3': { let x = r[0] >>> 0, c = 0; while (x) { c += x & 1; x >>>= 1; } r[0] = c; break; }
      case 'R3': { let x = r[0] >>> 0, y = 0; for (let i = 0; i < 32; i++) { y = (y << 1) | (x & 1); x >>>= 1; } r[0] = y >>> 0; break; }
      case 'L3': r[0] = Math.clz32(r[0]); break;
      case 'T3': r[0] = r[0] ? 31 - Math.clz32(r[0] & -r[0]) : 32; break;
      case 'MS': case 'S4': this.memset(mcu, r[0], r[1] & 0xff, r[2]); break;
      case 'MC': case 'C4': this.memcpy(mcu, r[0], r[1], r[2]); break;
      case 'UB':
        this.events.push({ t: this.nowUs(), kind: 'usb-boot', gpioMask: r[0] >>> 0, disableMask: r[1] >>> 0 });
        this.halted = true;
        break;
      case 'IF': case 'EX': this.xipOff = true; break;
      case 'CX': this.xipOff = false; break;
      case 'RE': {
        const offset = r[0] >>> 0, count = r[1] >>> 0;
        rom.checkFlashRange('erase', offset, count);
        this.flash.fill(0xff, offset, offset + count);
        this.events.push({ t: this.nowUs(), kind: 'flash-erase', offset, count, irqsOff: mcu.core.PM });
        this.busy(mcu, SECTOR_ERASE_US * Math.ceil(count / 4096));
        break;
      }
      case 'RP': {
        const offset = r[0] >>> 0, src = r[1] >>> 0, count = r[2] >>> 0;
        rom.checkFlashRange('program', offset, count);
        for (let i = 0; i < count; i++) this.flash[offset + i] &= mcu.readUint8(src + i);
        this.events.push({ t: this.nowUs(), kind: 'flash-program', offset, count, irqsOff: mcu.core.PM });
        this.busy(mcu, PAGE_PROGRAM_US * Math.ceil(count / 256));
        break;
      }
      default: break;  // FC: nothing to do for the emulated flash
    }
  }

  // The core waits inside a ROM call while the rest of the chip runs on.
  busy(mcu, us) {
    const end = mcu.clock.nanos + us * 1000;
    while (mcu.clock.nanos < end) {
      if (mcu.clock.nanos >= this.pioNextNs) this.stepPio(mcu);
      const next = Math.min(end, mcu.clock.nextAlarm ? mcu.clock.nextAlarm.nanos : end, this.pioNextNs);
      mcu.clock.tick(Math.max(0, next - mcu.clock.nanos) || 1);
    }
  }

  memset(mcu, dst, value, count) {
    const off = dst - 0x20000000;
    if (off >= 0 && off + count <= mcu.sram.length) mcu.sram.fill(value, off, off + count);
    else for (let i = 0; i < count; i++) mcu.writeUint8(dst + i, value);
  }

  memcpy(mcu, dst, src, count) {
    const d = dst - 0x20000000;
    const s = src - 0x20000000;
    if (d >= 0 && d + count <= mcu.sram.length && s >= 0 && s + count <= mcu.sram.length) {
      mcu.sram.copyWithin(d, s, s + count);
    } else if (d >= 0 && d + count <= mcu.sram.length && src >= FLASH_BASE && src + count < FLASH_BASE + FLASH_BYTES) {
      mcu.sram.set(this.flash.subarray(src - FLASH_BASE, src - FLASH_BASE + count), d);
    } else {
      for (let i = 0; i < count; i++) mcu.writeUint8(dst + i, mcu.readUint8(src + i));
    }
  }
}

// One UART's line: transmit paced at the programmed rate, receive fed at the sender's rate.
class UartLine {
  constructor(board, mcu, n) {
    this.board = board;
    this.mcu = mcu;
    this.n = n;
    this.uart = mcu.uart[n];
    this.txQueue = [];
    this.shifting = null;
    this.rxQueue = [];
    this.rxFreeNs = 0;
    this.txAlarm = mcu.clock.createAlarm(() => this.txDone());
    this.rxAlarm = mcu.clock.createAlarm(() => this.rxArrive());
    const uart = this.uart;
    const read = uart.readUint32.bind(uart);
    const write = uart.writeUint32.bind(uart);
    // The receive DMA request (rp2040js has none): raised while UARTDMACR.RXDMAE is set and the
    // receive FIFO holds a character, as the PL011's single request.
    this.dmacr = 0;
    this.rxDreq = UART_RX_DREQ[n];
    uart.readUint32 = (offset) => {
      if (offset === 0x18) return this.flags();
      if (offset === UARTDMACR) return this.dmacr;
      const value = read(offset);
      if (offset === 0) this.updateRxDreq();
      return value;
    };
    uart.writeUint32 = (offset, value) => {
      if (offset === UARTDMACR) { this.dmacr = value & 7; this.updateRxDreq(); return; }
      if (offset !== 0) return write(offset, value);
      if (this.txQueue.length < this.depth()) this.txQueue.push(value & 0xff);
      if (!this.shifting) this.txStart();
    };
  }

  reset() {
    const lost = this.txQueue.length + (this.shifting ? 1 : 0);
    if (lost) this.board.events.push({ t: this.board.nowUs(), kind: 'uart-reset', uart: this.n, lost });
    this.txQueue = [];
    if (this.shifting) {
      this.board.tx[this.n].push({ ...this.shifting, t1: this.board.nowUs(), cut: true });
      this.shifting = null;
      this.txAlarm.cancel();
    }
    this.uart.rxFIFO.reset();
    this.dmacr = 0;
    this.updateRxDreq();
    this.uart.intDivisor = 0;
    this.uart.fracDivisor = 0;
    this.uart.lineCtrlRegister = 0;
    this.uart.ctrlRegister = (1 << 9) | (1 << 8);
  }

  updateRxDreq() {
    if ((this.dmacr & 1) && !this.uart.rxFIFO.empty) this.mcu.dma.setDREQ(this.rxDreq);
    else this.mcu.dma.clearDREQ(this.rxDreq);
  }

  depth() { return this.uart.fifosEnabled ? UART_FIFO_DEPTH : 1; }

  baud() {
    const div = this.uart.intDivisor + this.uart.fracDivisor / 64;
    return div ? this.mcu.clkPeri / (16 * div) : 0;
  }

  bitsPerChar() {
    const lcr = this.uart.lineCtrlRegister;
    return 1 + this.uart.wordLength + (lcr & 2 ? 1 : 0) + (lcr & 8 ? 2 : 1);
  }

  flags() {
    const u = this.uart;
    return (u.rxFIFO.full ? 1 << 6 : 0) | (u.rxFIFO.empty ? 1 << 4 : 0) |
      (this.txQueue.length >= this.depth() ? 1 << 5 : 0) | (this.txQueue.length === 0 ? 1 << 7 : 0) |
      (this.shifting || this.txQueue.length ? 1 << 3 : 0);
  }

  txStart() {
    if (!this.txQueue.length) return;
    const baud = this.baud() || NOMINAL_BAUD[this.n];
    const byte = this.txQueue.shift();
    this.shifting = { t0: this.board.nowUs(), byte, baud, startMask: this.board.outputMask() };
    this.txAlarm.schedule(this.bitsPerChar() * 1e9 / baud);
  }

  txDone() {
    const c = this.shifting;
    this.shifting = null;
    const entry = { t0: c.t0, t1: this.board.nowUs(), byte: c.byte, baud: c.baud, pins: [c.startMask, this.board.outputMask()] };
    this.board.tx[this.n].push(entry);
    this.board.emit('tx', this.n, entry);
    if (this.uart.onByte) this.uart.onByte(c.byte);
    this.txStart();
  }

  scheduleRx() {
    this.rxAlarm.cancel();
    if (this.rxQueue.length) this.rxAlarm.schedule(Math.max(0, this.rxQueue[0].ns - this.board.nowNs()));
  }

  rxArrive() {
    while (this.rxQueue.length && this.rxQueue[0].ns <= this.board.nowNs()) {
      const { byte, baud } = this.rxQueue.shift();
      const own = this.baud();
      const garbled = !own || Math.abs(own / baud - 1) > BAUD_TOLERANCE;
      if (this.uart.enabled && this.uart.rxEnabled) this.uart.feedByte(garbled ? (byte ^ 0xa5) : byte);
    }
    this.updateRxDreq();
    this.scheduleRx();
  }
}

module.exports = { Board, DEFAULT_ELF };
