// The USB device, the reset interface and the host console, driven by the
// simulated host through TinyUSB on the simulated controller. The test runs
// the main loop's polls itself (screen link, bridge, console) between steps
// of the virtual clock.
#include "usb.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "board_test.h"
#include "door.h"
#include "fwupdate.h"
#include "hardware/watchdog.h"
#include "screen.h"
#include "screen_fw.h"
#include "status.h"
#include "tusb_config.h"
#include "vboard_usb.h"

namespace {

namespace usbh = vb::usb;
using test::kMs;
using usbh::Outcome;

constexpr uint8_t kClassToInterface = 0x21;
constexpr uint8_t kVendorToInterface = 0x41;
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint64_t kMsNs = 1000000;
constexpr int kRingHolds = 12287;
constexpr int kUsbReceiveBuffer = CFG_TUD_CDC_RX_BUFSIZE;

std::string bytes(std::initializer_list<uint8_t> list) {
    return std::string(list.begin(), list.end());
}

// A USB string descriptor: length, type 3, the text in UTF-16LE.
std::string string_desc(const std::string &text) {
    std::string out{static_cast<char>(2 + 2 * text.size()), 3};
    for (const char c : text) {
        out.push_back(c);
        out.push_back(0);
    }
    return out;
}

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
        door_init();
        screen_init();
        fwupdate_init();
        usb_init();
        screen_unit = std::make_unique<peers::ScreenFw>();
        usbh::set_runner([this](const std::function<bool()> &done, uint64_t limit_us) {
            const uint64_t end = vb::now_us() + limit_us;
            while (!done()) {
                if (vb::now_us() >= end) return false;
                pass();
            }
            return true;
        });
    }

    // One pass of the main loop as far as the USB link is concerned.
    void pass() {
        if (feed_watchdog) watchdog_update();
        screen_poll();
        if (feed_watchdog) watchdog_update();
        fwupdate_poll();
        if (feed_watchdog) watchdog_update();
        if (long_pass_us > 0) {
            vb::advance_us(long_pass_us);  // another module holds the loop; interrupts still run
            long_pass_us = 0;
        }
        const int space = fwupdate_feed_space();
        if (console) usb_poll();
        if (fwupdate_feed_space() < space) last_fed_ns = vb::now_ns();
        if (feed_watchdog) watchdog_update();
        screen_unit->step();
        vb::advance_us(pass_us);
    }

    void run_for_us(uint64_t us) {
        usbh::run_until([] { return false; }, us);
    }

    // Cable in, enumerated, a terminal open with DTR set.
    void connect() {
        usbh::plug();
        ASSERT_TRUE(usbh::wait_enumerated());
        usbh::open_terminal();
        ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    }

    // Starts a relay of `announced` bytes to a screen unit that never answers
    // and has the host write `image`: returns once the session timed out, with
    // the host still holding what the board did not take.
    void relay_until_timeout(size_t announced, const std::string &image) {
        connect();
        screen_unit->faults().silent = true;
        pass_us = 1000;
        type("FWUP " + std::to_string(announced) + "\n");
        usbh::write(image);
        ASSERT_TRUE(usbh::wait_received("START\nTIMEOUT\n", 0, 20000 * kMs));
    }
    // At least `bytes` of image whose every line would be a command.
    static std::string image_of_commands(size_t bytes) {
        std::string image;
        while (image.size() < bytes) image += "\nIOBOOTSEL\n" + std::string(989, 'x');
        return image;
    }

    // Sends `text` and runs until the host has sent all of it and the console
    // has had a few passes to read it.
    void type(const std::string &text) {
        usbh::write(text);
        ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 100 * kMs));
        run_for_us(2 * kMs);
    }

    // Time of the first SETUP packet the host sent from packet `from` on.
    uint64_t setup_time(size_t from) {
        for (const auto &p : usbh::packets(from)) {
            if (p.kind == usbh::PacketKind::Setup) return p.t_ns;
        }
        return 0;
    }

    std::unique_ptr<peers::ScreenFw> screen_unit;
    uint64_t pass_us = 20;
    uint64_t long_pass_us = 0;  // one pass this long, the next time
    bool console = true;
    bool feed_watchdog = false;
    uint64_t last_fed_ns = 0;  // when the console last gave the bridge host bytes
};

// ---- descriptors --------------------------------------------------------------------------

TEST_F(UsbTest, HostReadsTheDeviceAndConfigurationDescriptorsByteForByte) {
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated());
    EXPECT_EQ(usbh::device_descriptor(),
              bytes({18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, USB_VENDOR_ID & 0xFF, USB_VENDOR_ID >> 8, 0x01, 0x10,
                     0x00, 0x01, 1, 2, 3, 1}));
    EXPECT_EQ(usbh::configuration_descriptor(),
              bytes({
                  9, 2, 84, 0, 3, 1, 0, 0x80, 125,                 // configuration
                  9, 4, 0, 0, 0, 0xFF, 0x00, 0x01, 4,              // reset interface
                  8, 0x0B, 1, 2, 0x02, 0x02, 0x00, 0,              // interface association
                  9, 4, 1, 0, 1, 0x02, 0x02, 0x00, 5,              // CDC communications
                  5, 0x24, 0x00, 0x20, 0x01,                       // header, CDC 1.20
                  5, 0x24, 0x01, 0x00, 2,                          // call management
                  4, 0x24, 0x02, 0x06,                             // abstract control management
                  5, 0x24, 0x06, 1, 2,                             // union
                  7, 5, 0x81, 0x03, 8, 0, 16,                      // notification endpoint
                  9, 4, 2, 0, 2, 0x0A, 0x00, 0x00, 0,              // CDC data
                  7, 5, 0x02, 0x02, 64, 0, 0,                      // bulk OUT
                  7, 5, 0x82, 0x02, 64, 0, 0,                      // bulk IN
              }));
    EXPECT_TRUE(usbh::configured());
}

TEST_F(UsbTest, StringTableAsTheHostReadsIt) {
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated());
    EXPECT_EQ(usbh::string_descriptor(0), bytes({4, 3, 0x09, 0x04}));
    EXPECT_EQ(usbh::string_descriptor(1), string_desc("Velqar Embedded"));
    EXPECT_EQ(usbh::string_descriptor(2), string_desc("vt58"));
    EXPECT_EQ(usbh::string_descriptor(3), string_desc("11111111"));
    EXPECT_EQ(usbh::string_descriptor(4), string_desc("Reset"));
    EXPECT_EQ(usbh::string_descriptor(5), string_desc("IO Firmware Bridge"));

    // The language list whatever language is asked for; no index past 5.
    const auto langs = usbh::control({kStandardIn, kGetDescriptor, 0x0300, 0x0407, 255});
    EXPECT_EQ(langs.outcome, Outcome::Ack);
    EXPECT_EQ(langs.data, bytes({4, 3, 0x09, 0x04}));
    const auto in_german = usbh::control({kStandardIn, kGetDescriptor, 0x0302, 0x0407, 255});
    EXPECT_EQ(in_german.data, string_desc("vt58"));
    EXPECT_EQ(usbh::control({kStandardIn, kGetDescriptor, 0x0306, 0x0409, 255}).outcome, Outcome::Stall);
    EXPECT_EQ(usbh::control({kStandardIn, kGetDescriptor, 0x03FF, 0x0409, 255}).outcome, Outcome::Stall);
    // The device still answers after the refusals.
    EXPECT_EQ(usbh::control({kStandardIn, kGetDescriptor, 0x0301, 0x0409, 255}).data,
              string_desc("Velqar Embedded"));
}

TEST_F(UsbTest, StringsAreCutAfter19Characters) {
    const auto desc = [](const uint16_t *d) {
        std::string out;
        for (size_t i = 0; i < (d[0] & 0xFF) / 2; i++) {
            out.push_back(static_cast<char>(d[i] & 0xFF));
            out.push_back(static_cast<char>(d[i] >> 8));
        }
        return out;
    };
    EXPECT_EQ(desc(usb_desc_string("ABCDEFGHIJKLMNOPQRS")), string_desc("ABCDEFGHIJKLMNOPQRS"));
    EXPECT_EQ(usb_desc_string("ABCDEFGHIJKLMNOPQRS")[0], 0x0328);
    EXPECT_EQ(desc(usb_desc_string("ABCDEFGHIJKLMNOPQRSTUVWXYZ")), string_desc("ABCDEFGHIJKLMNOPQRS"));
    EXPECT_EQ(desc(usb_desc_string("")), bytes({2, 3}));
    // A longer string after a shorter one leaves nothing of the old behind.
    EXPECT_EQ(desc(usb_desc_string("ab")), string_desc("ab"));
}

// ---- the USB stack's worker ------------------------------------------------------------------

TEST_F(UsbTest, TheWorkerInterruptRunsTheStackWithoutTheConsole) {
    console = false;  // no usb_poll: only the interrupt after each USB interrupt runs tud_task
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated());
    EXPECT_EQ(usbh::string_descriptor(2), string_desc("vt58"));
    // A control request with a data stage goes through the worker as well.
    EXPECT_EQ(usbh::control({0xA1, 0x21, 0, 1, 7}).data, bytes({0x00, 0xC2, 0x01, 0x00, 0, 0, 8}));
}

// ---- the reset interface -------------------------------------------------------------------------

TEST_F(UsbTest, BootloaderRequestRestartsIntoTheBootRomWithGpio26AndNoAnswer) {
    connect();
    const size_t mark = usbh::packet_count();
    try {
        usbh::control({kClassToInterface, 1, 0xFFA5, 0, 0});
        FAIL() << "the board did not restart";
    } catch (const vb::ResetException &e) {
        EXPECT_EQ(e.cause, vb::ResetCause::UsbBoot);
    }
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.cause, vb::ResetCause::UsbBoot);
    EXPECT_EQ(ev.arg0, 1u << 26);
    EXPECT_EQ(ev.arg1, 0x25u);  // bits 0 to 6 of wValue
    // At once: while the SETUP packet is being handled, before any answer.
    EXPECT_LT(ev.t_ns - setup_time(mark), 50000u);
    for (const auto &p : usbh::packets(mark)) EXPECT_EQ(p.kind, usbh::PacketKind::Setup);
}

TEST_F(UsbTest, VendorTypeRequestsToTheResetInterfaceWorkToo) {
    connect();
    try {
        usbh::control({kVendorToInterface, 1, 0x0002, 0, 0});
        FAIL() << "the board did not restart";
    } catch (const vb::ResetException &e) {
        EXPECT_EQ(e.cause, vb::ResetCause::UsbBoot);
    }
    EXPECT_EQ(vb::board_events().back().arg1, 0x02u);
}

// The main loop feeds the watchdog after every poll, which reloads the time-out
// a reboot sets; the reboot must come all the same.
TEST_F(UsbTest, RebootRequestIsAnsweredAndTheBoardRestarts100msLater) {
    connect();
    watchdog_enable(1000, false);
    feed_watchdog = true;
    const size_t mark = usbh::packet_count();
    const auto reply = usbh::control({kClassToInterface, 2, 0x1234, 0, 0});
    ASSERT_EQ(reply.outcome, Outcome::Ack);
    const uint64_t asked = setup_time(mark);
    EXPECT_LT(reply.done_ns - asked, kMsNs);
    try {
        run_for_us(1000 * kMs);
        FAIL() << "the board did not restart";
    } catch (const vb::ResetException &e) {
        EXPECT_EQ(e.cause, vb::ResetCause::Reboot);
    }
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.cause, vb::ResetCause::Reboot);
    EXPECT_GE(ev.t_ns - asked, 100 * kMsNs);
    EXPECT_LE(ev.t_ns - asked, 100 * kMsNs + 50000);
}

TEST_F(UsbTest, VendorTypeRebootRequestIsAnsweredToo) {
    connect();
    feed_watchdog = true;
    watchdog_enable(1000, false);
    EXPECT_EQ(usbh::control({kVendorToInterface, 2, 0, 0, 0}).outcome, Outcome::Ack);
    EXPECT_THROW(run_for_us(200 * kMs), vb::ResetException);
    EXPECT_EQ(vb::board_events().back().cause, vb::ResetCause::Reboot);
}

TEST_F(UsbTest, OtherRequestsAndOtherInterfacesAreRefusedAndChangeNothing) {
    connect();
    feed_watchdog = true;
    watchdog_enable(1000, false);
    const size_t events = vb::board_events().size();
    for (const uint8_t type : {kClassToInterface, kVendorToInterface}) {
        for (const uint8_t request : {0, 3, 0x22, 0xFF}) {
            EXPECT_EQ(usbh::control({type, request, 0, 0, 0}).outcome, Outcome::Stall) << int{type} << " " << int{request};
        }
        // The whole 16-bit wIndex must name the reset interface.
        for (const uint16_t index : {0x0100, 0x8000, 0x0003}) {
            EXPECT_EQ(usbh::control({type, 1, 0, index, 0}).outcome, Outcome::Stall) << index;
            EXPECT_EQ(usbh::control({type, 2, 0, index, 0}).outcome, Outcome::Stall) << index;
        }
    }
    // A vendor request to the device rather than to an interface, and class
    // and vendor requests of the other direction.
    EXPECT_EQ(usbh::control({0x40, 2, 0, 0, 0}).outcome, Outcome::Stall);
    EXPECT_EQ(usbh::control({0xA1, 1, 0, 0, 0}).outcome, Outcome::Stall);
    EXPECT_EQ(usbh::control({0xC1, 2, 0, 0, 0}).outcome, Outcome::Stall);
    // Standard requests to the interface as USB 2.0 has them: GET_STATUS is
    // two zero bytes, GET_INTERFACE alternate setting 0, features are stalled.
    const auto status = usbh::control({0x81, 0, 0, 0, 2});
    EXPECT_EQ(status.outcome, Outcome::Ack);
    EXPECT_EQ(status.data, bytes({0, 0}));
    EXPECT_EQ(usbh::control({0x81, 10, 0, 0, 1}).data, bytes({0}));
    for (const uint8_t request : {1, 2, 3}) {  // CLEAR_FEATURE, a reserved one, SET_FEATURE
        EXPECT_EQ(usbh::control({0x01, request, 0, 0, 0}).outcome, Outcome::Stall) << int{request};
    }
    run_for_us(300 * kMs);
    EXPECT_EQ(vb::board_events().size(), events);
    // The console is still there.
    type("FWUP 9\n");
    EXPECT_TRUE(usbh::wait_received("START\n"));
}

// A standard request that reads, sent with the direction bit clear and data
// for the device: the data must not land where the answer comes from (a
// local of the stack, or a descriptor).
TEST_F(UsbTest, StandardReadsSentWithHostDataAreStalledAndChangeNothing) {
    connect();
    const std::string device_descriptor = usbh::control({kStandardIn, kGetDescriptor, 0x0100, 0, 18}).data;
    const std::string junk(18, '\xA5');
    const usbh::Setup reads[] = {
        {0x00, 0, 0, 0, 2},         // GET_STATUS: device,
        {0x01, 0, 0, 0, 2},         // reset interface,
        {0x02, 0, 0, 0x82, 2},      // bulk IN endpoint
        {0x00, kGetDescriptor, 0x0100, 0, 18},
        {0x00, 8, 0, 0, 1},         // GET_CONFIGURATION
        {0x01, 10, 0, 1, 1},        // GET_INTERFACE of the CDC interface
    };
    for (const usbh::Setup &s : reads) {
        EXPECT_EQ(usbh::control(s, junk.substr(0, s.length)).outcome, Outcome::Stall) << int{s.request};
    }
    EXPECT_EQ(usbh::control({kStandardIn, kGetDescriptor, 0x0100, 0, 18}).data, device_descriptor);
    EXPECT_EQ(usbh::control({0x81, 10, 0, 1, 1}).data, bytes({0}));
}

TEST_F(UsbTest, ResetInterfaceExistsOnlyOnceConfigured) {
    usbh::set_manual_configuration(true);
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated());
    ASSERT_FALSE(usbh::configured());
    EXPECT_EQ(usbh::control({kClassToInterface, 2, 0, 0, 0}).outcome, Outcome::Stall);
    EXPECT_EQ(usbh::control({kVendorToInterface, 2, 0, 0, 0}).outcome, Outcome::Stall);
    EXPECT_EQ(usbh::control({0x00, 9, 1, 0, 0}).outcome, Outcome::Ack);  // SET_CONFIGURATION 1
    ASSERT_TRUE(usbh::configured());
    EXPECT_EQ(usbh::control({kClassToInterface, 2, 0, 0, 0}).outcome, Outcome::Ack);
}

// ---- the console: commands ---------------------------------------------------------------------

TEST_F(UsbTest, FwupStartsASessionAndBytesInTheSamePacketAreFedAtOnce) {
    connect();
    usbh::write("FWUP 5\rhello");
    ASSERT_TRUE(usbh::run_until([] { return fwupdate_active(); }, 100 * kMs));
    // The line and the image left in one packet; the pass that read the line
    // fed the image too.
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds - 5);
    EXPECT_TRUE(usbh::wait_received("START\n"));
    EXPECT_EQ(usbh::received(), "START\n");
}

TEST_F(UsbTest, FwupVariantsThatMustDoNothing) {
    connect();
    for (const char *line : {"FWUP 0", "FWUP abc", "FWUP5", "fwup 5", "Fwup 5", "FWUP", "FWUP ", "FWUP -5",
                             "FWUP 4294967296", "FWUP 99999999999999999999", " FWUP 5", "XFWUP 5"}) {
        type(std::string(line) + "\r");
        EXPECT_FALSE(fwupdate_active()) << line;
    }
    run_for_us(20 * kMs);
    EXPECT_EQ(usbh::received(), "");
    EXPECT_EQ(vb::tx_text(test::kScreenUart).find("FB"), std::string::npos);
}

TEST_F(UsbTest, FwupSizeIsReadLikeStrtoul) {
    connect();
    type("FWUP  \t12abc\n");  // white space skipped, trailing text ignored
    ASSERT_TRUE(fwupdate_active());
    EXPECT_TRUE(usbh::wait_received("START\n"));
    ASSERT_TRUE(usbh::run_until([this] { return screen_unit->stats().begins > 0; }, 100 * kMs));
    EXPECT_EQ(screen_unit->announced_size(), 12u);
}

TEST_F(UsbTest, TheLargest32BitSizeIsStillASize) {
    connect();
    type("FWUP 4294967295\n");
    ASSERT_TRUE(fwupdate_active());
    ASSERT_TRUE(usbh::run_until([this] { return screen_unit->stats().begins > 0; }, 100 * kMs));
    EXPECT_EQ(screen_unit->announced_size(), 4294967295u);
}

TEST_F(UsbTest, A63CharacterLineRunsAndA64CharacterLineIsDropped) {
    connect();
    const std::string cmd = "FWUP 7 ";
    type(cmd + std::string(64 - cmd.size(), 'x') + "\n");  // 64 characters
    EXPECT_FALSE(fwupdate_active());
    type(cmd + std::string(63 - cmd.size(), 'x') + "\n");  // 63 characters
    EXPECT_TRUE(fwupdate_active());
    EXPECT_TRUE(usbh::wait_received("START\n"));
}

TEST_F(UsbTest, AfterAnOverlongLineOnlyWhatFollowsIsCollected) {
    connect();
    // The 64th character throws the first 63 away; the rest of the line is a
    // line of its own.
    type(std::string(64, 'y') + "FWUP 3\n");
    EXPECT_TRUE(fwupdate_active());
}

TEST_F(UsbTest, ALineFeedAfterFwupIsTheFirstImageByte) {
    connect();
    type("FWUP 3\r\nab");
    ASSERT_TRUE(fwupdate_active());
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds - 3);
}

TEST_F(UsbTest, IobootselAnswersThenRestartsIntoTheBootRomWithNoActivityPin) {
    connect();
    usbh::write("IOBOOTSEL please\r");
    try {
        run_for_us(1000 * kMs);
        FAIL() << "the board did not restart";
    } catch (const vb::ResetException &e) {
        EXPECT_EQ(e.cause, vb::ResetCause::UsbBoot);
    }
    EXPECT_EQ(usbh::received(), "BOOTSEL\n");
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.arg0, 0u);
    EXPECT_EQ(ev.arg1, 0u);
    // 20 passes of the stack with 5 ms sleeps: about 100 ms after the line.
    uint64_t line_ns = 0;
    for (const auto &p : usbh::packets()) {
        if (p.ep == 0x02 && p.len > 0) line_ns = p.t_ns;
    }
    EXPECT_GE(ev.t_ns - line_ns, 100 * kMsNs);
    EXPECT_LE(ev.t_ns - line_ns, 101 * kMsNs);
}

TEST_F(UsbTest, InFirmwareModeCommandsAreImageData) {
    connect();
    type("FWUP 20\n");
    ASSERT_TRUE(fwupdate_active());
    type("IOBOOTSEL\nFWUP 5\n");
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds - 17);
    EXPECT_TRUE(fwupdate_active());
}

TEST_F(UsbTest, UnknownLinesGetNoAnswer) {
    connect();
    type("HELLO\r\nhelp\n\n\r\rSTATUS\n");
    run_for_us(20 * kMs);
    EXPECT_EQ(usbh::received(), "");
    EXPECT_FALSE(fwupdate_active());
}

// ---- the console: terminal, reports, flow control ----------------------------------------------

TEST_F(UsbTest, BytesAreReadOnlyWhileATerminalHasDtrSet) {
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated());
    // Configured, but no DTR: the bytes stay in the USB stack, unread.
    type("FWUP 5\n");
    EXPECT_FALSE(fwupdate_active());
    usbh::open_terminal();
    ASSERT_TRUE(usbh::run_until([] { return fwupdate_active(); }, 100 * kMs));
}

TEST_F(UsbTest, LosingTheTerminalThrowsAwayAHalfTypedLine) {
    connect();
    type("FWU");
    usbh::close_terminal();
    ASSERT_TRUE(usbh::run_until([] { return !usbh::dtr_applied(); }, 100 * kMs));
    run_for_us(2 * kMs);
    usbh::open_terminal();
    ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    type("P 5\n");
    EXPECT_FALSE(fwupdate_active());
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());
}

TEST_F(UsbTest, ASuspendedBusCountsAsNoTerminal) {
    connect();
    type("FWU");
    usbh::suspend();
    run_for_us(10 * kMs);  // the device notices after 3 ms of idle bus
    usbh::resume();
    type("P 5\n");
    EXPECT_FALSE(fwupdate_active());
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());
}

TEST_F(UsbTest, DtrLostMidSessionStopsTheFeedAndTheSessionTimesOut) {
    connect();
    screen_unit->faults().silent = true;
    type("FWUP 100\n");
    ASSERT_TRUE(fwupdate_active());
    type(std::string(40, 'a'));
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds - 40);
    const uint64_t last_fed = last_fed_ns;
    usbh::close_terminal();
    ASSERT_TRUE(usbh::run_until([] { return !usbh::dtr_applied(); }, 100 * kMs));
    usbh::write(std::string(60, 'b'));
    ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 100 * kMs));
    run_for_us(100 * kMs);
    // Taken by the USB stack, but not fed: the console does not read.
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds - 40);
    // The bridge times out 15 s after the last byte it took.
    ASSERT_TRUE(usbh::run_until([] { return !fwupdate_active(); }, 20000 * kMs));
    EXPECT_GE(vb::now_ns() - last_fed, 15000 * kMsNs);
    EXPECT_LE(vb::now_ns() - last_fed, 15000 * kMsNs + 4 * kMsNs);
    // The reports were written although no terminal had the port open; the
    // host reads them when it opens one again.
    usbh::open_terminal();
    EXPECT_TRUE(usbh::wait_received("START\nTIMEOUT\n"));
    // The new terminal starts in command mode: what the USB stack still held
    // from before is discarded, and a new command works.
    type("\nFWUP 4\n");
    EXPECT_TRUE(fwupdate_active());
}

// Image bytes after a session that ended early never run as commands: the
// rest of the image is dropped up to the announced size, or until the host
// has been quiet for 500 ms.
TEST_F(UsbTest, TheRestOfAnImageIsDroppedAfterASessionEndsEarly) {
    // The ring stays full: no byte is taken for 15 s while the host waits to send the rest.
    relay_until_timeout(20000, std::string(14000, 'x'));
    ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 1000 * kMs));
    run_for_us(400 * kMs);
    type("\nIOBOOTSEL\n\nFWUP 5\n");  // 400 ms after the last image byte: still the image
    run_for_us(450 * kMs);
    type("FWUP 5\n");
    EXPECT_FALSE(fwupdate_active());
    run_for_us(500 * kMs);
    type("FWUP 5\n");  // after 500 ms of quiet: a command again
    EXPECT_TRUE(fwupdate_active());

    // A host that gave up long before the session ended starts again at once.
    ASSERT_TRUE(usbh::wait_received("START\nTIMEOUT\nSTART\nTIMEOUT\n", 0, 20000 * kMs));
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());
}

// A long pass of the loop (a save that retries on worn sectors) while the
// host still sends the rest: the quiet time runs from the bytes' arrival,
// and bytes waiting are never commands.
TEST_F(UsbTest, TheDropOutlastsALongPassWhileTheHostSends) {
    relay_until_timeout(40000, image_of_commands(40000));
    ASSERT_GT(usbh::unsent(), 16000u);
    long_pass_us = 1450 * kMs;
    ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 3000 * kMs));
    run_for_us(USB_IMAGE_QUIET_MS * kMs);
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());
}

// The quiet time also runs from the console's last read: a host held back
// by a long pass, whose bytes the console takes just before the session ends
// (its 61st unanswered begin frame), sends the rest as soon as it can,
// although nothing of it had arrived for more than 500 ms.
TEST_F(UsbTest, TheDropOutlastsASessionEndingRightAfterTheConsoleMadeRoom) {
    connect();
    screen_unit->faults().silent = true;
    pass_us = 1000;
    const std::string image = image_of_commands(40000);
    type("FWUP 40000\n");
    // A slow host keeps the session alive while the begin frame goes
    // unanswered, and leaves the ring room for a full USB buffer.
    size_t sent = 0;
    uint64_t next_write_us = vb::now_us();
    ASSERT_TRUE(usbh::run_until(
        [&] {
            if (vb::now_us() >= next_write_us) {
                usbh::write(image.substr(sent, 64));
                sent += 64;
                next_write_us += 1000 * kMs;
            }
            return screen_unit->stats().begins == 61;
        },
        40000 * kMs));
    // The last begin frame's wait ends inside a long pass, during which the
    // host fills the USB stack's buffer and is held back.
    run_for_us(450 * kMs);
    pass_us = 20;
    usbh::write(image.substr(sent, kUsbReceiveBuffer));
    sent += kUsbReceiveBuffer;
    long_pass_us = 1450 * kMs;
    ASSERT_TRUE(usbh::wait_received("START\nNORESP\n", 0, 1500 * kMs));
    try {
        run_for_us(2 * kMs);
        usbh::write(image.substr(sent));
        ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 3000 * kMs));
    } catch (const vb::ResetException &) {
        FAIL() << "a command line inside the image ran";
    }
    run_for_us(USB_IMAGE_QUIET_MS * kMs);
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());
}

// The drop ends with the terminal: a program that opens the port at once
// (DTR dropped and raised again) is heard from its first line, and what the
// old one left waiting is discarded unread.
TEST_F(UsbTest, ANewTerminalEndsTheDropAndDiscardsWhatTheOldOneLeft) {
    relay_until_timeout(40000, image_of_commands(30000));
    ASSERT_GT(usbh::unsent(), 0u);
    usbh::close_terminal();
    ASSERT_TRUE(usbh::run_until([] { return !usbh::dtr_applied(); }, 100 * kMs));
    usbh::open_terminal();
    ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    type("FWUP 5\n");
    EXPECT_TRUE(fwupdate_active());

    // The same for a session that lost its host and ended meanwhile.
    usbh::close_terminal();
    ASSERT_TRUE(usbh::run_until([] { return !fwupdate_active(); }, 20000 * kMs));
    usbh::open_terminal();
    type("FWUP 6\n");
    EXPECT_TRUE(fwupdate_active());
    EXPECT_EQ(fwupdate_feed_space(), kRingHolds);
}

TEST_F(UsbTest, AReportReplacedBeforeItIsSentIsLost) {
    connect();
    console = false;
    fw_reporter("START");
    fw_reporter("FAIL");
    console = true;
    ASSERT_TRUE(usbh::wait_received("FAIL\n"));
    run_for_us(10 * kMs);
    EXPECT_EQ(usbh::received(), "FAIL\n");
    // One report per word, each with its own line end.
    fw_reporter("DONE");
    ASSERT_TRUE(usbh::wait_received("DONE\n", 5));
    EXPECT_EQ(usbh::received(), "FAIL\nDONE\n");
}

TEST_F(UsbTest, AFullRingHoldsTheHostBackAndNothingIsLost) {
    connect();
    screen_unit->faults().ignore_begins = 3;  // the screen unit answers only after 1.8 s
    std::vector<uint8_t> image(40000);
    for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
    type("FWUP 40000\n");
    ASSERT_TRUE(fwupdate_active());
    usbh::write(std::string(image.begin(), image.end()));
    run_for_us(1000 * kMs);
    // The ring is full, and the USB stack's buffer has less room than a
    // packet; the rest waits at the host.
    EXPECT_EQ(fwupdate_feed_space(), 0);
    EXPECT_GE(usbh::unsent(), image.size() - kRingHolds - kUsbReceiveBuffer);
    EXPECT_LE(usbh::unsent(), image.size() - kRingHolds - (kUsbReceiveBuffer - 63));
    const size_t held = usbh::unsent();
    run_for_us(500 * kMs);
    EXPECT_EQ(usbh::unsent(), held);
    ASSERT_TRUE(usbh::run_until([] { return !fwupdate_active(); }, 30000 * kMs));
    EXPECT_EQ(usbh::received(), "START\nDONE\n");
    EXPECT_EQ(screen_unit->completion(), 0);
    EXPECT_EQ(screen_unit->image(), image);
    EXPECT_EQ(usbh::unsent(), 0u);
}

// ---- the simulated board's own pieces the module relies on -----------------------------------------

TEST_F(UsbTest, BulkDataMovesIn64BytePacketsAtMost19PerFrame) {
    connect();
    screen_unit->faults().silent = true;
    type("FWUP 12000\n");
    const size_t mark = usbh::packet_count();
    usbh::write(std::string(12000, 'z'));
    ASSERT_TRUE(usbh::run_until([] { return usbh::unsent() == 0; }, 1000 * kMs));
    std::vector<unsigned> per_frame;
    uint64_t frame = UINT64_MAX;
    size_t moved = 0;
    for (const auto &p : usbh::packets(mark)) {
        if (p.ep != 0x02 || p.handshake != usbh::Handshake::Ack) continue;
        EXPECT_TRUE(p.len == 64 || moved + p.len == 12000) << p.len;
        moved += p.len;
        if (p.t_ns / kMsNs != frame) {
            frame = p.t_ns / kMsNs;
            per_frame.push_back(0);
        }
        per_frame.back()++;
    }
    EXPECT_EQ(moved, 12000u);
    unsigned most = 0;
    for (const unsigned n : per_frame) most = std::max(most, n);
    EXPECT_LE(most, 19u);
    EXPECT_GE(most, 10u);  // the console keeps up with a good share of the bus
}

TEST_F(UsbTest, AlarmsRunInTheTimerInterruptAndRearmFromTheirReturn) {
    static std::vector<uint64_t> fired;
    fired.clear();
    const auto cb = [](alarm_id_t, void *) -> int64_t {
        fired.push_back(vb::now_ns());
        return fired.size() < 3 ? 1000 : 0;
    };
    const uint64_t t0 = vb::now_ns();
    EXPECT_GT(add_alarm_in_us(500, cb, nullptr, true), 0);
    vb::advance_us(10000);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_GE(fired[0] - t0, 499000u);  // the timer counts whole µs
    EXPECT_LT(fired[0] - t0, 502000u);
    EXPECT_GE(fired[1] - fired[0], 1000000u);
    EXPECT_LT(fired[1] - fired[0], 1002000u);
    // A time already past runs at once, or not at all.
    EXPECT_EQ(add_alarm_at(0, cb, nullptr, false), 0);
    EXPECT_EQ(fired.size(), 3u);
    fired.clear();
    add_alarm_at(0, cb, nullptr, true);
    EXPECT_EQ(fired.size(), 1u);
}

}  // namespace
