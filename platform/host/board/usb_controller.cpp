// The RP2040's USB device controller, and TinyUSB's port to it (the dcd_*
// functions), on the simulated board.
//
// The controller answers the host's transactions from the transfers TinyUSB
// has armed: a transfer of any length moves in packets of the endpoint's size
// and finishes when all its bytes have moved or an OUT packet comes short.
// Then, as for a SETUP packet, a bus reset, a suspend or a resume, it raises
// USBCTRL_IRQ, whose handler (installed by dcd_init as a shared handler of the
// highest order, as on the board) hands the events to TinyUSB. An endpoint
// with nothing armed answers NAK, which is what holds the host back.
#include <algorithm>
#include <cstring>

#include "board.h"
#include "devices.h"
#include "device/dcd.h"
#include "hardware/irq.h"
#include "pico/bootrom.h"
#include "pico/time.h"
#include "usb_bus.h"

namespace vb::usb {

namespace {

Controller *the_controller = shared_alloc<Controller>();

Endpoint &endpoint(uint8_t ep_addr) {
    const unsigned num = ep_addr & 0x0f;
    return the_controller->ep[num][(ep_addr & kDirInMask) ? kDirIn : kDirOut];
}

void raise(uint32_t cause) {
    Controller &c = *the_controller;
    c.ints |= cause;
    c.interrupts++;
    irq_raise(USBCTRL_IRQ);
}

void reset_non_control_endpoints() {
    for (unsigned n = 1; n < kEndpoints; n++) {
        the_controller->ep[n][kDirOut] = Endpoint{};
        the_controller->ep[n][kDirIn] = Endpoint{};
    }
}

void open_endpoint(uint8_t ep_addr, uint8_t type, uint16_t max_packet) {
    endpoint(ep_addr) = Endpoint{true, type, max_packet, false, false, nullptr, 0, 0, 0};
}

void finish(uint8_t ep_num, unsigned dir) {
    Controller &c = *the_controller;
    Endpoint &ep = c.ep[ep_num][dir];
    ep.armed = false;
    ep.completed = ep.done;
    c.buff_status |= 1u << (2 * ep_num + (dir == kDirOut ? 1 : 0));
    raise(kIntBuffStatus);
}

bool addressed(uint8_t address) {
    return device_attached() && address == the_controller->address;
}

// The interrupt handler: transfers first, then the SETUP packet, then bus
// signals, as the board's port orders them.
void controller_irq() {
    Controller &c = *the_controller;
    const uint32_t ints = c.ints;
    c.ints = 0;
    if (ints & kIntSof) dcd_event_sof(0, c.frame, true);
    if (ints & kIntBuffStatus) {
        const uint32_t done = c.buff_status;
        c.buff_status = 0;
        for (unsigned bit = 0; bit < 2 * kEndpoints; bit++) {
            if (!(done & (1u << bit))) continue;
            const uint8_t num = static_cast<uint8_t>(bit / 2);
            const bool out = bit & 1;
            const Endpoint &ep = c.ep[num][out ? kDirOut : kDirIn];
            const uint8_t addr = static_cast<uint8_t>(num | (out ? 0 : kDirInMask));
            dcd_event_xfer_complete(0, addr, ep.completed, XFER_RESULT_SUCCESS, true);
        }
    }
    if (ints & kIntSetup) dcd_event_setup_received(0, c.setup, true);
    if (ints & kIntBusReset) dcd_event_bus_reset(0, TUSB_SPEED_FULL, true);
    if (ints & kIntSuspend) dcd_event_bus_signal(0, DCD_EVENT_SUSPEND, true);
    if (ints & kIntResume) dcd_event_bus_signal(0, DCD_EVENT_RESUME, true);
}

}  // namespace

Controller &controller() {
    return *the_controller;
}

bool device_attached() {
    const Controller &c = *the_controller;
    return c.enabled && c.pullup && !c.in_boot_rom;
}

Handshake device_setup(uint8_t address, const uint8_t *setup) {
    if (!addressed(address)) return Handshake::None;
    Controller &c = *the_controller;
    // A SETUP packet is always taken; it ends whatever EP0 was doing and
    // clears a stall on EP0.
    memcpy(c.setup, setup, kSetupSize);
    for (unsigned dir : {kDirOut, kDirIn}) {
        Endpoint &ep = c.ep[0][dir];
        ep.stalled = false;
        ep.armed = false;
    }
    c.buff_status &= ~3u;
    raise(kIntSetup);
    return Handshake::Ack;
}

Handshake device_in(uint8_t address, uint8_t ep_num, uint8_t *data, uint16_t *len) {
    *len = 0;
    if (!addressed(address) || ep_num >= kEndpoints) return Handshake::None;
    Endpoint &ep = the_controller->ep[ep_num][kDirIn];
    if (!ep.open) return Handshake::None;
    if (ep.stalled) return Handshake::Stall;
    if (!ep.armed) return Handshake::Nak;
    const uint16_t n = std::min<uint16_t>(ep.max_packet, static_cast<uint16_t>(ep.total - ep.done));
    if (n > 0) memcpy(data, ep.buffer + ep.done, n);
    ep.done = static_cast<uint16_t>(ep.done + n);
    *len = n;
    if (ep.done == ep.total) finish(ep_num, kDirIn);
    return Handshake::Ack;
}

Handshake device_out(uint8_t address, uint8_t ep_num, const uint8_t *data, uint16_t len) {
    if (!addressed(address) || ep_num >= kEndpoints) return Handshake::None;
    Endpoint &ep = the_controller->ep[ep_num][kDirOut];
    if (!ep.open) return Handshake::None;
    if (ep.stalled) return Handshake::Stall;
    if (!ep.armed) return Handshake::Nak;
    // More than the transfer has room for is a babble: the controller keeps
    // what fits and ends the transfer.
    const uint16_t n = std::min<uint16_t>(len, static_cast<uint16_t>(ep.total - ep.done));
    if (n > 0) memcpy(ep.buffer + ep.done, data, n);
    ep.done = static_cast<uint16_t>(ep.done + n);
    if (ep.done == ep.total || len < ep.max_packet) finish(ep_num, kDirOut);
    return Handshake::Ack;
}

bool device_endpoint_ready(uint8_t ep_num, unsigned dir) {
    if (ep_num >= kEndpoints) return false;
    const Endpoint &ep = the_controller->ep[ep_num][dir];
    return ep.open && (ep.armed || ep.stalled);
}

void device_bus_reset() {
    Controller &c = *the_controller;
    if (!c.enabled) return;
    c.address = 0;
    c.suspended = false;
    reset_non_control_endpoints();
    for (unsigned dir : {kDirOut, kDirIn}) {
        c.ep[0][dir].armed = false;
        c.ep[0][dir].stalled = false;
    }
    c.buff_status = 0;
    raise(kIntBusReset);
}

void device_bus_activity(bool active, uint64_t now_ns) {
    Controller &c = *the_controller;
    if (active) {
        c.idle_since_ns = kNever;
    } else if (c.idle_since_ns == kNever) {
        c.idle_since_ns = now_ns;
    }
}

void device_resume() {
    Controller &c = *the_controller;
    if (!c.enabled || !c.suspended) return;
    c.suspended = false;
    raise(kIntResume);
}

void device_start_of_frame(uint32_t frame) {
    Controller &c = *the_controller;
    c.frame = frame & 0x7ff;
    if (c.enabled && c.sof_irq) raise(kIntSof);
}

// The controller's own timer: 3 ms of idle bus signal a suspend.
uint64_t controller_next_event_ns() {
    const Controller &c = *the_controller;
    if (!c.enabled || !c.pullup || c.suspended || c.idle_since_ns == kNever) return kNever;
    return c.idle_since_ns + kSuspendIdleNs;
}

void controller_fire(uint64_t now_ns) {
    Controller &c = *the_controller;
    const uint64_t due = controller_next_event_ns();
    if (due == kNever || due > now_ns) return;
    c.suspended = true;
    raise(kIntSuspend);
}

void controller_power_on_reset() {
    *the_controller = Controller{};
    the_controller->idle_since_ns = kNever;
}

}  // namespace vb::usb

using vb::usb::endpoint;
using vb::usb::the_controller;

extern "C" {

// ---- TinyUSB's controller port ------------------------------------------------------------

bool dcd_init(uint8_t rhport, const tusb_rhport_init_t *rh_init) {
    (void)rh_init;
    if (rhport != 0) vb::board_halt("dcd_init: the RP2040 has one USB controller");
    vb::usb::Controller &c = *the_controller;
    c = vb::usb::Controller{};
    c.enabled = true;
    c.idle_since_ns = vb::kNever;
    irq_add_shared_handler(USBCTRL_IRQ, vb::usb::controller_irq, PICO_SHARED_IRQ_HANDLER_HIGHEST_ORDER_PRIORITY);
    vb::usb::open_endpoint(0x00, TUSB_XFER_CONTROL, vb::usb::kControlPacketSize);
    vb::usb::open_endpoint(0x80, TUSB_XFER_CONTROL, vb::usb::kControlPacketSize);
    dcd_connect(rhport);
    return true;
}

bool dcd_deinit(uint8_t rhport) {
    (void)rhport;
    dcd_disconnect(rhport);
    irq_remove_handler(USBCTRL_IRQ, vb::usb::controller_irq);
    the_controller->enabled = false;
    vb::reschedule();
    return true;
}

void dcd_int_handler(uint8_t rhport) {
    (void)rhport;
    vb::usb::controller_irq();
}

void dcd_int_enable(uint8_t rhport) {
    (void)rhport;
    irq_set_enabled(USBCTRL_IRQ, true);
}

void dcd_int_disable(uint8_t rhport) {
    (void)rhport;
    irq_set_enabled(USBCTRL_IRQ, false);
}

// The address takes effect once the status stage has gone out
// (dcd_edpt0_status_complete); the status stage is sent from here.
void dcd_set_address(uint8_t rhport, uint8_t dev_addr) {
    (void)dev_addr;
    dcd_edpt_xfer(rhport, 0x80, nullptr, 0);
}

void dcd_remote_wakeup(uint8_t rhport) {
    (void)rhport;
}

void dcd_connect(uint8_t rhport) {
    (void)rhport;
    vb::usb::Controller &c = *the_controller;
    c.pullup = true;
    // Until the host drives the bus it is idle, and the device will suspend.
    if (vb::usb::host().phase == vb::usb::Phase::Detached || vb::usb::host().bus_suspended) {
        vb::usb::device_bus_activity(false, vb::board().now_ns);
    }
    vb::reschedule();
}

void dcd_disconnect(uint8_t rhport) {
    (void)rhport;
    the_controller->pullup = false;
    vb::reschedule();
}

void dcd_sof_enable(uint8_t rhport, bool en) {
    (void)rhport;
    the_controller->sof_irq = en;
    vb::reschedule();
}

void dcd_edpt0_status_complete(uint8_t rhport, tusb_control_request_t const *request) {
    (void)rhport;
    if (request->bmRequestType_bit.recipient == TUSB_REQ_RCPT_DEVICE &&
        request->bmRequestType_bit.type == TUSB_REQ_TYPE_STANDARD && request->bRequest == TUSB_REQ_SET_ADDRESS) {
        the_controller->address = static_cast<uint8_t>(request->wValue);
    }
}

bool dcd_edpt_open(uint8_t rhport, tusb_desc_endpoint_t const *desc_ep) {
    (void)rhport;
    const uint8_t type = desc_ep->bmAttributes.xfer;
    if (type == TUSB_XFER_ISOCHRONOUS) return false;
    vb::usb::open_endpoint(desc_ep->bEndpointAddress, type, tu_edpt_packet_size(desc_ep));
    return true;
}

// The board has no isochronous endpoints.
bool dcd_edpt_iso_alloc(uint8_t rhport, uint8_t ep_addr, uint16_t largest_packet_size) {
    (void)rhport;
    (void)ep_addr;
    (void)largest_packet_size;
    return false;
}

bool dcd_edpt_iso_activate(uint8_t rhport, tusb_desc_endpoint_t const *desc_ep) {
    (void)rhport;
    (void)desc_ep;
    return false;
}

void dcd_edpt_close_all(uint8_t rhport) {
    (void)rhport;
    vb::usb::reset_non_control_endpoints();
    vb::reschedule();
}

bool dcd_edpt_xfer(uint8_t rhport, uint8_t ep_addr, uint8_t *buffer, uint16_t total_bytes) {
    (void)rhport;
    vb::usb::Endpoint &ep = endpoint(ep_addr);
    if (!ep.open) vb::board_halt("dcd_edpt_xfer: the endpoint is not open");
    if (ep.armed) vb::board_halt("dcd_edpt_xfer: a transfer is already armed on the endpoint");
    ep.buffer = buffer;
    ep.total = total_bytes;
    ep.done = 0;
    ep.armed = true;
    vb::reschedule();
    return true;
}

void dcd_edpt_stall(uint8_t rhport, uint8_t ep_addr) {
    (void)rhport;
    vb::usb::Endpoint &ep = endpoint(ep_addr);
    ep.stalled = true;
    ep.armed = false;
    vb::reschedule();
}

void dcd_edpt_clear_stall(uint8_t rhport, uint8_t ep_addr) {
    (void)rhport;
    if ((ep_addr & 0x0f) == 0) return;  // EP0 clears its stall on the next SETUP
    endpoint(ep_addr).stalled = false;
    vb::reschedule();
}

uint32_t tusb_time_millis_api(void) {
    return static_cast<uint32_t>(time_us_64() / 1000);
}

// ---- the boot ROM ---------------------------------------------------------------------------

// The chip restarts into the ROM's boot loader, which enumerates as a device
// of its own: the firmware's device leaves the bus for good, and the
// application's watchdog no longer runs.
void rom_reset_usb_boot(uint32_t usb_activity_gpio_pin_mask, uint32_t disable_interface_mask) {
    vb::charge();
    vb::board().watchdog.enabled = false;
    the_controller->in_boot_rom = true;
    the_controller->pullup = false;
    vb::reschedule();
    vb::board_reset(vb::ResetCause::UsbBoot, usb_activity_gpio_pin_mask, disable_interface_mask);
}

}  // extern "C"
