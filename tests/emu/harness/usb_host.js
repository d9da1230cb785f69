// A USB host on rp2040js's device-mode USB controller: bus reset, enumeration
// as a PC does it, control transfers (with STALL seen and cleared on the next
// SETUP, as the chip's SIE does), and the CDC serial port's bulk data in both
// directions. Flow control towards the board is the chip's own: a packet goes
// out only when the firmware has armed its OUT endpoint.
//
// rp2040js's own CDC helper sends SET_CONTROL_LINE_STATE with recipient device
// and wIndex 0, which a TinyUSB device never hands to its CDC driver; this host
// addresses it to the CDC communications interface, as PC hosts do.
'use strict';

const EP0_IN_BUF_CTRL = 0x80;
const EP0_OUT_BUF_CTRL = 0x84;
const BUF_CTRL_STALL = 1 << 11;
const EP0_PACKET = 64;
const BULK_PACKET = 64;
const SETUP_GAP_US = 20; // between one control transfer and the next SETUP
const DEVICE_ADDRESS = 1;

const REQ = {
  GET_DESCRIPTOR: 6,
  SET_ADDRESS: 5,
  SET_CONFIGURATION: 9,
  CDC_SET_LINE_CODING: 0x20,
  CDC_SET_CONTROL_LINE_STATE: 0x22,
};
const DESC = { DEVICE: 1, CONFIGURATION: 2, STRING: 3 };
const LANGID_EN_US = 0x0409;

// bmRequestType: direction, type and recipient as the USB standard packs them.
function requestType(dirIn, type, recipient) {
  const types = { standard: 0, class: 1, vendor: 2 };
  const recipients = { device: 0, interface: 1, endpoint: 2 };
  return (dirIn ? 0x80 : 0) | (types[type] << 5) | recipients[recipient];
}

function setupPacket({ bmRequestType, bRequest, wValue = 0, wIndex = 0, wLength = 0 }) {
  return Uint8Array.from([
    bmRequestType, bRequest, wValue & 0xff, wValue >> 8, wIndex & 0xff, wIndex >> 8, wLength & 0xff, wLength >> 8,
  ]);
}

// The text of a string descriptor (UTF-16LE after the two header bytes).
function stringText(desc) {
  let s = '';
  for (let i = 2; i + 1 < desc[0] && i + 1 < desc.length; i += 2) s += String.fromCharCode(desc[i] | (desc[i + 1] << 8));
  return s;
}

// The bulk endpoints of the CDC data interface (class 0x0A) in a configuration descriptor.
function cdcEndpoints(config) {
  const found = { interface: null, comm: null, in: null, out: null };
  let inData = false;
  for (let i = 0; i + 1 < config.length && config[i] >= 2; i += config[i]) {
    const type = config[i + 1];
    if (type === 4) {
      inData = config[i + 5] === 0x0a;
      if (inData) found.interface = config[i + 2];
      if (config[i + 5] === 0x02 && found.comm === null) found.comm = config[i + 2];
    } else if (type === 5 && inData && (config[i + 3] & 3) === 2) {
      if (config[i + 2] & 0x80) found.in = config[i + 2] & 0x0f;
      else found.out = config[i + 2] & 0x0f;
    }
  }
  return found;
}

class UsbHost {
  constructor(rp2040, { lineCoding = { baud: 115200, stopBits: 0, parity: 0, dataBits: 8 } } = {}) {
    this.lineCoding = lineCoding;
    this.events = []; // {t: the chip's clock in ns, what}: 'controller-enabled', 'bus-reset-done', 'configured'
    this.attach(rp2040);
  }

  // Binds the host to a chip; called again when the harness replaces it.
  attach(rp2040) {
    this.rp2040 = rp2040;
    const usb = rp2040.usbCtrl;
    this.usb = usb;
    this.gapAlarm = rp2040.clock.createAlarm(() => this.startNext());
    usb.onUSBEnabled = () => this.controllerEnabled();
    usb.onResetReceived = () => this.busResetDone();
    usb.onEndpointWrite = (ep, buf) => this.inPacket(ep, buf);
    usb.onEndpointRead = (ep, size) => this.outArmed(ep, size);
    const dpramUpdated = usb.DPRAMUpdated.bind(usb);
    usb.DPRAMUpdated = (offset, value) => {
      dpramUpdated(offset, value);
      if ((offset === EP0_IN_BUF_CTRL || offset === EP0_OUT_BUF_CTRL) && value & BUF_CTRL_STALL) this.stalled();
    };
    this.forget();
  }

  forget() {
    this.queue = [];
    this.active = null;
    this.ready = false;
    this.configured = false;
    this.device = null;
    this.config = null;
    this.strings = new Map();
    this.cdc = null;
    this.armed = new Map(); // OUT endpoint -> size the firmware armed it with
    this.pendingOut = [];
    this.pendingOffset = 0;
    this.sent = 0;
    this.received = [];
    this.rxText = '';
    this.stalls = 0;
  }

  note(what) {
    this.events.push({ t: this.rp2040.clock.nanos, what });
  }

  get nowNs() {
    return this.rp2040.clock.nanos;
  }

  // The firmware switched the controller on (at start-up or after a reboot):
  // the device appears on the bus, and the host resets it.
  controllerEnabled() {
    this.forget();
    this.note('controller-enabled');
    this.usb.resetDevice();
  }

  busResetDone() {
    this.note('bus-reset-done');
    this.ready = true;
    this.enumerate();
    this.kick();
  }

  // ---- control transfers ----------------------------------------------------------------

  // Queues a control transfer; the returned record fills in as it runs:
  // done, status ('ack' or 'stall'), data (IN data stage).
  control(request, dataOut = null) {
    const x = {
      setup: setupPacket({ ...request, wLength: dataOut ? dataOut.length : request.wLength ?? 0 }),
      dirIn: (request.bmRequestType & 0x80) !== 0,
      wLength: dataOut ? dataOut.length : request.wLength ?? 0,
      dataOut,
      outSent: 0,
      data: [],
      inDone: false,
      statusArmed: false,
      done: false,
      status: null,
      then: null,
    };
    this.queue.push(x);
    this.kick();
    return x;
  }

  getDescriptor(type, index, length, langid = 0) {
    return this.control({
      bmRequestType: requestType(true, 'standard', 'device'),
      bRequest: REQ.GET_DESCRIPTOR,
      wValue: (type << 8) | index,
      wIndex: langid,
      wLength: length,
    });
  }

  kick() {
    if (this.ready && this.active === null && this.queue.length > 0 && !this.gapAlarm.scheduled) {
      this.gapAlarm.schedule(SETUP_GAP_US * 1000);
    }
  }

  startNext() {
    if (!this.ready || this.active !== null || this.queue.length === 0) return;
    this.active = this.queue.shift();
    // The SIE clears an armed EP0 stall when a SETUP arrives; the model does not.
    this.usb.epStallArm &= ~3;
    for (const off of [EP0_IN_BUF_CTRL, EP0_OUT_BUF_CTRL]) {
      const v = this.rp2040.usbDPRAMView.getUint32(off, true);
      this.rp2040.usbDPRAMView.setUint32(off, v & ~BUF_CTRL_STALL, true);
    }
    this.usb.sendSetupPacket(this.active.setup);
  }

  finish(status) {
    const x = this.active;
    if (x === null) return;
    this.active = null;
    x.status = status;
    x.data = Uint8Array.from(x.data);
    x.done = true;
    if (x.then) x.then(x);
    this.kick();
  }

  stalled() {
    if (this.active === null) return;
    this.stalls++;
    this.finish('stall');
  }

  inPacket(ep, buf) {
    if (ep === 0) {
      this.ep0In(buf);
    } else if (this.cdc && ep === this.cdc.in) {
      for (const b of buf) this.received.push(b);
      this.rxText += Buffer.from(buf).toString('latin1');
    }
  }

  ep0In(buf) {
    const x = this.active;
    if (x === null) return;
    if (!x.dirIn) {
      // A zero-length IN packet is the status stage of a request without IN data.
      if (buf.length === 0) this.finish('ack');
      return;
    }
    x.data.push(...buf);
    if (buf.length < EP0_PACKET || x.data.length >= x.wLength) {
      x.inDone = true;
      this.maybeAckIn();
    }
  }

  maybeAckIn() {
    const x = this.active;
    if (!x.inDone || !x.statusArmed) return;
    this.usb.endpointReadDone(0, new Uint8Array(0));
    this.finish('ack');
  }

  outArmed(ep, size) {
    if (ep === 0) {
      const x = this.active;
      if (x === null) return;
      if (x.dirIn) {
        x.statusArmed = true;
        this.maybeAckIn();
      } else if (x.dataOut && x.outSent < x.dataOut.length) {
        const chunk = x.dataOut.subarray(x.outSent, x.outSent + Math.min(size, EP0_PACKET));
        x.outSent += chunk.length;
        this.usb.endpointReadDone(0, chunk);
      }
      return;
    }
    this.armed.set(ep, size);
    this.sendBulk();
  }

  // ---- enumeration --------------------------------------------------------------------------

  enumerate() {
    const std = (bRequest, wValue) =>
      this.control({ bmRequestType: requestType(false, 'standard', 'device'), bRequest, wValue });
    this.getDescriptor(DESC.DEVICE, 0, 64); // a PC first reads the first packet at address 0
    std(REQ.SET_ADDRESS, DEVICE_ADDRESS);
    this.getDescriptor(DESC.DEVICE, 0, 18).then = (x) => (this.device = x.data);
    this.getDescriptor(DESC.CONFIGURATION, 0, 9).then = (x) => {
      const total = x.data[2] | (x.data[3] << 8);
      this.getDescriptor(DESC.CONFIGURATION, 0, total).then = (full) => {
        this.config = full.data;
        this.cdc = cdcEndpoints(this.config);
        this.getDescriptor(DESC.STRING, 0, 255).then = (s) => this.strings.set(0, s.data);
        for (const index of [1, 2, 3]) {
          this.getDescriptor(DESC.STRING, index, 255, LANGID_EN_US).then = (s) =>
            this.strings.set(index, s.data);
        }
        std(REQ.SET_CONFIGURATION, 1).then = (c) => {
          if (c.status !== 'ack') return;
          this.configured = true;
          this.note('configured');
        };
      };
    };
  }

  // ---- the CDC serial port --------------------------------------------------------------------

  cdcRequest(bRequest, wValue, dataOut = null) {
    return this.control(
      { bmRequestType: requestType(false, 'class', 'interface'), bRequest, wValue, wIndex: this.cdc?.comm ?? 1 },
      dataOut,
    );
  }

  // Opens the port as a terminal program does: line coding, then DTR and RTS.
  openSerial() {
    const { baud, stopBits, parity, dataBits } = this.lineCoding;
    const coding = Uint8Array.from([baud & 0xff, (baud >> 8) & 0xff, (baud >> 16) & 0xff, baud >>> 24, stopBits, parity, dataBits]);
    this.cdcRequest(REQ.CDC_SET_LINE_CODING, 0, coding);
    return this.cdcRequest(REQ.CDC_SET_CONTROL_LINE_STATE, 3);
  }

  // Closes the port as a program that ends does: what it wrote and the device has not taken goes
  // with the port, and DTR and RTS drop.
  closeSerial() {
    this.pendingOut = [];
    this.pendingOffset = 0;
    return this.cdcRequest(REQ.CDC_SET_CONTROL_LINE_STATE, 0);
  }

  write(data) {
    const bytes = typeof data === 'string' ? Uint8Array.from(Buffer.from(data, 'latin1')) : Uint8Array.from(data);
    this.pendingOut.push(bytes);
    this.sendBulk();
  }

  get unsent() {
    let n = -this.pendingOffset;
    for (const b of this.pendingOut) n += b.length;
    return n;
  }

  sendBulk() {
    if (!this.cdc || this.pendingOut.length === 0) return;
    const size = this.armed.get(this.cdc.out) ?? 0;
    if (size === 0) return;
    const packet = new Uint8Array(Math.min(size, BULK_PACKET));
    let n = 0;
    while (n < packet.length && this.pendingOut.length > 0) {
      const head = this.pendingOut[0];
      const take = Math.min(packet.length - n, head.length - this.pendingOffset);
      packet.set(head.subarray(this.pendingOffset, this.pendingOffset + take), n);
      n += take;
      this.pendingOffset += take;
      if (this.pendingOffset === head.length) {
        this.pendingOut.shift();
        this.pendingOffset = 0;
      }
    }
    this.armed.set(this.cdc.out, 0);
    this.sent += n;
    this.usb.endpointReadDone(this.cdc.out, packet.subarray(0, n));
  }

  // Received console text up to and including the next "\n", or null.
  readLine() {
    const end = this.rxText.indexOf('\n');
    if (end < 0) return null;
    const line = this.rxText.slice(0, end + 1);
    this.rxText = this.rxText.slice(end + 1);
    return line;
  }
}

module.exports = { REQ, DESC, LANGID_EN_US, requestType, setupPacket, stringText, UsbHost };
