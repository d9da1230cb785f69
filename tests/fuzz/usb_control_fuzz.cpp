// Control requests of any kind from the simulated USB host to the enumerated
// board, through TinyUSB and the simulated controller. Nothing may crash or
// hang, every request ends (answered, stalled, refused, or at worst given up
// by the host), the device keeps answering, and the board restarts only when
// asked to: into the boot
// loader at once for request 1, into this firmware 100 ms later for request
// 2, either only as a class (0x21) or vendor (0x41) request to interface 0.
//
// Input: records of a setup packet's eight bytes (wLength of an OUT request
// is the length of the data that follows, up to 64 bytes from the input).
// SET_ADDRESS is left to the host, which must keep finding the device.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_board.h"
#include "fwupdate.h"
#include "tusb.h"
#include "usb.h"
#include "vboard_usb.h"

namespace {

namespace usbh = vb::usb;

constexpr size_t kSetupSize = 8;
constexpr size_t kMaxOut = 64;
constexpr uint64_t kPassUs = 50;
constexpr uint64_t kRequestLimitUs = 100000;  // a host gives up after 5 s; the board answers within a frame or two
constexpr uint64_t kHostGivesUpStepUs = 100000;
constexpr uint64_t kRebootDelayUs = uint64_t{USB_REBOOT_DELAY_MS} * 1000;
constexpr uint8_t kStandardOutDevice = 0x00;
constexpr uint8_t kStandardInDevice = 0x80;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetStatus = 0;

bool reboot_asked = false;
uint64_t reboot_asked_us = 0;

void run_board() {
    usb_poll();
    vb::advance_us(kPassUs);
}

void bring_up() {
    fuzz::unit_board();
    fuzz::usb_stack_off();
    fuzz::console_off();
    fwupdate_init();
    usb_init();
    fuzz::usb_plug(run_board);
}

bool asks_reset(const usbh::Setup &s, uint8_t request) {
    return (s.request_type == 0x21 || s.request_type == 0x41) && s.request == request && s.index == 0;
}

// A restart the requests so far did not ask for is a finding; one they asked
// for brings the board up again.
void judge(const vb::ResetException &e, const usbh::Setup *last) {
    if (e.cause == vb::ResetCause::UsbBoot && (last == nullptr || !asks_reset(*last, USB_RESET_REQUEST_BOOTSEL))) {
        fuzz::finding("restarted into the boot loader unasked");
    }
    if (e.cause == vb::ResetCause::Reboot) {
        if (!reboot_asked || vb::now_us() < reboot_asked_us + kRebootDelayUs) fuzz::finding("restarted unasked, or too early");
        reboot_asked = false;
    }
    if (e.cause == vb::ResetCause::Watchdog || e.cause == vb::ResetCause::PowerOn) fuzz::finding("an unexpected reset");
}

void on_reset(const vb::ResetException &e, const usbh::Setup *last) {
    judge(e, last);
    for (;;) {
        try {
            bring_up();
            return;
        } catch (const vb::ResetException &again) {
            judge(again, nullptr);
        }
    }
}

// TinyUSB leaves a malformed request without a status stage: a CLEAR_FEATURE
// or SET_FEATURE to an endpoint no class driver owns (endpoint 0 among
// them), a direction bit or data stage that does not fit the request (the
// CDC class and the reset interface answer at once whatever data the host
// means to send), a device-to-host request without data (it expects the
// status stage from the host). The host gives up after its time-out; what
// matters is that the next request is answered as usual (checked after each
// input).

usbh::Outcome request(const usbh::Setup &s, const std::string &out) {
    if (asks_reset(s, USB_RESET_REQUEST_FLASH) && !reboot_asked) {
        reboot_asked = true;
        reboot_asked_us = vb::now_us();
    }
    usbh::Reply reply = usbh::control(s, out, kRequestLimitUs);
    if (reply.outcome == usbh::Outcome::Pending) {  // left unanswered: the host gives up
        const uint64_t seq = usbh::host().request_seq;
        while (!usbh::control_done(seq)) vb::advance_us(kHostGivesUpStepUs);
        reply = usbh::reply(seq);
    }
    return reply.outcome;
}

// The device still answers and is configured again for the next input.
void check_alive() {
    const usbh::Reply status = usbh::control({kStandardInDevice, kGetStatus, 0, 0, 2}, {}, kRequestLimitUs);
    if (status.outcome != usbh::Outcome::Ack || status.data.size() != 2) fuzz::finding("the device stopped answering");
    if (!usbh::configured() && request({kStandardOutDevice, kSetConfiguration, 1, 0, 0}, {}) != usbh::Outcome::Ack) {
        fuzz::finding("the device refused its configuration");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    size_t at = 0;
    while (at + kSetupSize <= size) {
        const uint8_t *p = data + at;
        at += kSetupSize;
        usbh::Setup s{p[0], p[1], static_cast<uint16_t>(p[2] | p[3] << 8), static_cast<uint16_t>(p[4] | p[5] << 8),
                      static_cast<uint16_t>(p[6] | p[7] << 8)};
        std::string out;
        if ((s.request_type & 0x80) == 0) {
            const size_t n = std::min<size_t>({s.length, kMaxOut, size - at});
            out.assign(reinterpret_cast<const char *>(data + at), n);
            at += n;
        }
        if ((s.request_type & 0x7F) == kStandardOutDevice && s.request == kSetAddress) continue;
        try {
            request(s, out);
        } catch (const vb::ResetException &e) {
            on_reset(e, &s);
        }
    }
    try {
        check_alive();
    } catch (const vb::ResetException &e) {
        on_reset(e, nullptr);
    }
    return 0;
}
