// The host console on the USB serial port, fed by the simulated host: lines
// of any content, FWUP commands followed by image bytes (or not), stray bytes,
// the screen unit's answers on the line and time passing, in any order.
// Nothing may crash, hang or overrun, the bridge's ring never offers more
// than it holds, and the board restarts only after "IOBOOTSEL" was sent
// where the console may read it as a command: never from within the bytes
// of an image announced by "FWUP <n>", even when its session ended early
// (the target follows the image announced first by each program that opens
// the port, up to its size or a pause of the host long enough to end it: a
// session that an earlier program left running is aborted when the port
// opens again). A pause is the host's: a long pass of the main
// loop while the host sends is not one, but the part of it after the host's
// bytes have all gone is.
//
// Input: operations, each a byte and its arguments:
//   0: a line: a length byte, that many bytes, then "\n";
//   1: "FWUP <n>\n" (n from two bytes), then a length byte and that many
//      image bytes;
//   2: raw bytes: a length byte and that many bytes;
//   3: an answer of the screen unit in a valid frame: "F" and up to a
//      length byte (% 16) of bytes;
//   4: time: (argument % 64) * 10 ms of main loop passes, one every 5
//      milliseconds (the bridge's and the host's times are hundreds of them);
//   5: a long pass: (argument % 16) * 100 ms in which the main loop does not
//      come round (a flash save, say) while the host sends a length byte and
//      that many bytes;
//   6: another program opens the port: the terminal closes and opens again
//      (once the host's bytes have gone);
//   7: the screen unit from now on (argument % 4): none (answers come only
//      from operation 3), one that answers, one that takes no block (every
//      window acknowledged without progress), one whose completion answer
//      carries an error code.
// Answers go at the rate the board's screen line runs at.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_board.h"
#include "screen_fw.h"
#include "fwupdate.h"
#include "screen.h"
#include "status.h"
#include "tusb.h"
#include "usb.h"
#include "vboard_usb.h"

namespace {

namespace usbh = vb::usb;

constexpr uint64_t kPassUs = 100;
constexpr uint64_t kSendLimitUs = 50000;
constexpr uint64_t kDrainLimitUs = 2000000;
constexpr uint64_t kSettleUs = 5000;
constexpr uint64_t kTimeStepUs = 10000;
constexpr unsigned kMaxTimeSteps = 64;
constexpr uint64_t kIdlePassUs = 5000;
constexpr size_t kMaxAnswer = 16;
constexpr uint64_t kLongPassStepUs = 100000;
constexpr unsigned kMaxLongPassSteps = 16;
constexpr uint64_t kReconnectLimitUs = 100000;
// A pause of the host this long may end an image; a little less than the
// console's quiet time, which starts only when it reads the host's bytes.
constexpr uint64_t kImageMayEndUs = uint64_t{USB_IMAGE_QUIET_MS} * 1000 - 50000;
constexpr uint64_t kImageSurelyEndedUs = uint64_t{USB_IMAGE_QUIET_MS} * 1000 + 10000;

// What the host has sent in this input.
bool host_sent = false;             // anything at all
std::string maybe_commands;         // the bytes the console may read as commands
uint32_t image_rest = 0;            // bytes the console must still take as image
uint64_t last_sent_us = 0;          // when the host last sent
std::unique_ptr<peers::ScreenFw> screen_unit;  // answers the board's frames by itself, or null

void pass(uint64_t us = kPassUs) {
    if (screen_unit) screen_unit->step();
    screen_poll();
    fwupdate_poll();
    usb_poll();
    vb::advance_us(us);
}

void run_for_us(uint64_t us, uint64_t pass_us = kPassUs) {
    const uint64_t end = vb::now_us() + us;
    while (vb::now_us() < end) pass(pass_us);
}

void bring_up() {
    fuzz::unit_board();
    fuzz::usb_stack_off();
    fuzz::console_off();
    status_init();
    screen_init();
    fwupdate_init();
    usb_init();
    fuzz::usb_plug([] { pass(); });
    usbh::open_terminal();
    if (!usbh::run_until([] { return usbh::dtr_applied(); }, 100000)) fuzz::finding("DTR never arrived");
}

void check_ring() {
    const int space = fwupdate_feed_space();
    if (space < 0 || space > FW_RING_SIZE - 1 || (!fwupdate_active() && space != 0)) {
        fuzz::finding("the ring offers more than it holds");
    }
}

// Which of the host's bytes are image and which may be commands; nothing
// sent is no sign of the host.
void account(const std::string &bytes) {
    if (vb::now_us() - last_sent_us >= kImageMayEndUs) image_rest = 0;
    const size_t image = std::min<size_t>(image_rest, bytes.size());
    image_rest -= static_cast<uint32_t>(image);
    maybe_commands += bytes.substr(image);
    host_sent = true;
}

// A pass of the main loop `stall_us` long. The host goes on sending in it as
// far as the board's buffer lets it; once its bytes have all gone it is
// idle, and the rest of the pass is a pause of the host's. Returns whether
// the bytes went within it.
bool stall(uint64_t stall_us, bool sending) {
    const uint64_t end = vb::now_us() + stall_us;
    while (usbh::unsent() > 0 && vb::now_us() < end) vb::advance_us(std::min(kPassUs, end - vb::now_us()));
    const bool sent = sending && usbh::unsent() == 0;
    if (sent) last_sent_us = vb::now_us();
    vb::advance_us(end - vb::now_us());
    return sent;
}

// The host sends; `stall_us` is a pass of the main loop that long, begun as
// the host starts.
void send(const std::string &bytes, uint64_t stall_us = 0) {
    if (!bytes.empty()) {
        account(bytes);
        usbh::write(bytes);
    }
    const bool sent_in_stall = stall_us > 0 && stall(stall_us, !bytes.empty());
    if (bytes.empty() || sent_in_stall) return;
    usbh::run_until([] { return usbh::unsent() == 0; }, kSendLimitUs);
    last_sent_us = vb::now_us();
}

// A program that opens the port starts afresh, also when an earlier one
// left a session running: what it announces first is image.
void reconnect() {
    if (!usbh::run_until([] { return usbh::unsent() == 0; }, kSendLimitUs)) return;
    usbh::close_terminal();
    usbh::run_until([] { return !usbh::dtr_applied(); }, kReconnectLimitUs);
    usbh::open_terminal();
    if (!usbh::run_until([] { return usbh::dtr_applied(); }, kReconnectLimitUs)) fuzz::finding("DTR never arrived");
    image_rest = 0;
    host_sent = false;
}

void set_screen_unit(unsigned kind) {
    if (kind == 0) {
        screen_unit.reset();
        return;
    }
    screen_unit = std::make_unique<peers::ScreenFw>(fuzz::kScreenUart);
    if (kind == 2) {
        screen_unit->faults().rewrite = [](const std::string &a) {
            return peers::frame_to_board(a.rfind("FA", 0) == 0 ? "FA0000" : a);
        };
    } else if (kind == 3) {
        screen_unit->faults().rewrite = [](const std::string &a) {
            return peers::frame_to_board(a.rfind("FC", 0) == 0 ? "FC01" : a);
        };
    }
}

// An image announced first thing in an input, the console being idle: its
// bytes can only be image, whatever they hold.
void send_fwup(unsigned size, const std::string &image) {
    const bool announced_first = !host_sent;
    send("FWUP " + std::to_string(size) + "\n");
    if (announced_first) image_rest = size;
    send(image);
}

bool bootsel_sent() {
    return maybe_commands.find("IOBOOTSEL") != std::string::npos;
}

std::string take(const uint8_t *&p, const uint8_t *end, size_t n) {
    n = std::min<size_t>(n, static_cast<size_t>(end - p));
    std::string out(reinterpret_cast<const char *>(p), n);
    p += n;
    return out;
}

uint8_t byte(const uint8_t *&p, const uint8_t *end) {
    return p < end ? *p++ : 0;
}

void run_input(const uint8_t *p, const uint8_t *end) {
    while (p < end) {
        switch (byte(p, end) % 8) {
            case 0:
                send(take(p, end, byte(p, end)) + "\n");
                break;
            case 1: {
                const unsigned size = byte(p, end) << 8 | byte(p, end);
                send_fwup(size, take(p, end, byte(p, end)));
                break;
            }
            case 2:
                send(take(p, end, byte(p, end)));
                break;
            case 3: {
                const std::string answer = "F" + take(p, end, byte(p, end) % kMaxAnswer);
                const uint32_t baud = vb::board().uart[fuzz::kScreenUart].baud;
                vb::send_to_board(fuzz::kScreenUart, fuzz::screen_frame(answer), baud);
                run_for_us(vb::wire_ns(answer.size() + 9, baud) / 1000 + kPassUs);
                break;
            }
            case 4:
                run_for_us(uint64_t{byte(p, end) % kMaxTimeSteps} * kTimeStepUs, kIdlePassUs);
                break;
            case 5: {
                const uint64_t stall_us = uint64_t{byte(p, end) % kMaxLongPassSteps} * kLongPassStepUs;
                send(take(p, end, byte(p, end)), stall_us);
                break;
            }
            case 6:
                reconnect();
                break;
            default:
                set_screen_unit(byte(p, end) % 4);
                break;
        }
        check_ring();
    }
}

// What one input leaves behind must not reach the next: the session ends,
// the console reads what the host still had to send (which may begin another
// session, ended too), the rest of an image ends with a quiet pause, and
// closing the terminal drops a half-typed line.
void settle() {
    screen_unit.reset();
    fwupdate_init();
    // Twice: a packet the host has sent may still be on its way into the
    // serial port's buffer when both look empty.
    const auto empty = [] { return usbh::unsent() == 0 && tud_cdc_n_available(USB_CDC_PORT) == 0; };
    for (int round = 0; round < 2; round++) {
        if (!usbh::run_until(empty, kDrainLimitUs)) fuzz::finding("the console stopped reading");
        run_for_us(kSettleUs);
    }
    fwupdate_init();
    run_for_us(kSettleUs);
    vb::advance_us(kImageSurelyEndedUs);
    pass();
    usbh::close_terminal();
    usbh::run_until([] { return !usbh::dtr_applied(); }, 100000);
    run_for_us(2 * kPassUs);
    usbh::open_terminal();
    if (!usbh::run_until([] { return usbh::dtr_applied(); }, 100000)) fuzz::finding("DTR never arrived");
}

void on_reset(const vb::ResetException &e) {
    if (e.cause != vb::ResetCause::UsbBoot || !bootsel_sent()) fuzz::finding("a restart nobody asked for");
    screen_unit.reset();
    bring_up();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    host_sent = false;
    maybe_commands.clear();
    image_rest = 0;
    last_sent_us = vb::now_us();
    try {
        run_input(data, data + size);
        settle();
    } catch (const vb::ResetException &e) {
        on_reset(e);
    }
    return 0;
}
