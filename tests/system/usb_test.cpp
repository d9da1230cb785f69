// The USB link of the whole firmware: a host on the cable enumerates the
// board, uses the reset interface and pushes a screen firmware image through
// the console while the main loop runs as on the board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_test.h"
#include "image_bytes.h"
#include "screen_fw.h"
#include "tusb_config.h"
#include "usb.h"
#include "vboard_usb.h"

namespace {

namespace usbh = vb::usb;
using test::kMs;
using test::SystemTest;
using usbh::Outcome;

constexpr uint64_t kMsNs = 1000000;
constexpr uint8_t kClassToInterface = 0x21;

class UsbSystemTest : public SystemTest {
protected:
    void connect() {
        usbh::plug();
        ASSERT_TRUE(usbh::wait_enumerated());
        usbh::open_terminal();
        ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    }
    uint64_t last_setup_ns() {
        uint64_t t = 0;
        for (const auto &p : usbh::packets()) {
            if (p.kind == usbh::PacketKind::Setup) t = p.t_ns;
        }
        return t;
    }
    size_t boot_banners() {
        size_t n = 0;
        for (const auto &line : lines()) n += line.text == "orlix-fw-io";
        return n;
    }
};

TEST_F(UsbSystemTest, TheBoardStartsUsbAndAHostEnumeratesIt) {
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated(2000 * kMs));
    bool said = false;
    for (const auto &line : lines()) said |= line.text == "Initialising USB";
    EXPECT_TRUE(said);
    EXPECT_EQ(usbh::device_descriptor().substr(8, 4),
              std::string({static_cast<char>(USB_VENDOR_ID & 0xFF), static_cast<char>(USB_VENDOR_ID >> 8), 0x01, 0x10}));
    EXPECT_EQ(usbh::configuration_descriptor().size(), 84u);
    EXPECT_EQ(usbh::enumerations(), 1u);
}

// The main loop feeds the watchdog after every poll; the reboot comes anyway.
TEST_F(UsbSystemTest, RebootThroughTheResetInterfaceRestartsTheBoard100msLater) {
    connect();
    const auto reply = usbh::control({kClassToInterface, 2, 0, 0, 0});
    ASSERT_EQ(reply.outcome, Outcome::Ack);
    const uint64_t asked = last_setup_ns();
    ASSERT_TRUE(vb::run_until([] { return vb::boots() == 2; }, 1000 * kMs));
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.cause, vb::ResetCause::Reboot);
    EXPECT_GE(ev.t_ns - asked, 100 * kMsNs);
    EXPECT_LE(ev.t_ns - asked, 100 * kMsNs + 100000);
    // The host sees the device go and come back, and the console works again.
    ASSERT_TRUE(usbh::run_until([] { return usbh::enumerations() == 2 && usbh::dtr_applied(); }, 2000 * kMs));
    EXPECT_EQ(boot_banners(), 2u);
    usbh::write("FWUP 3\n");
    EXPECT_TRUE(usbh::wait_received("START\n"));
}

TEST_F(UsbSystemTest, BootloaderThroughTheResetInterfaceLeavesTheFirmwareForGood) {
    connect();
    const auto reply = usbh::control({kClassToInterface, 1, 0x0001, 0, 0});
    EXPECT_EQ(reply.outcome, Outcome::Gone);  // no status stage: the device left the bus
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.cause, vb::ResetCause::UsbBoot);
    EXPECT_EQ(ev.arg0, 1u << 26);
    EXPECT_EQ(ev.arg1, 1u);
    vb::run_for_ms(2000);
    EXPECT_EQ(vb::firmware_state(), vb::FwState::Halted);
    EXPECT_EQ(vb::boots(), 1u);
    EXPECT_FALSE(usbh::configured());
    EXPECT_EQ(usbh::enumerations(), 1u);
}

TEST_F(UsbSystemTest, IobootselOnTheConsole) {
    connect();
    usbh::write("IOBOOTSEL\n");
    ASSERT_TRUE(vb::run_until([] { return vb::firmware_state() == vb::FwState::Halted; }, 1000 * kMs));
    EXPECT_EQ(usbh::received(), "BOOTSEL\n");
    const auto ev = vb::board_events().back();
    EXPECT_EQ(ev.cause, vb::ResetCause::UsbBoot);
    EXPECT_EQ(ev.arg0, 0u);
    EXPECT_EQ(ev.arg1, 0u);
}

// An image larger than the ring: the host is held back by the USB link while
// the screen side is slower, and every byte arrives in order. USB interrupts
// come while the console is inside the stack: the worker skips those turns,
// and gets each back when the console lets go, before the console enters
// again (else the stack would idle through the next window).
TEST_F(UsbSystemTest, AFirmwareImageGoesThroughTheConsoleWithFlowControl) {
    peers::ScreenFw unit;
    vb::add_peer([&unit] { unit.step(); });
    connect();
    const auto image = test::image_bytes(40000);
    usbh::write("FWUP 40000\n");
    usbh::write(std::string(image.begin(), image.end()));
    size_t most_held = 0;
    ASSERT_TRUE(usbh::run_until(
        [&] {
            most_held = std::max(most_held, usbh::unsent());
            return usbh::received().find("DONE\n") != std::string::npos;
        },
        20000 * kMs));
    EXPECT_EQ(usbh::received(), "START\nDONE\n");
    EXPECT_EQ(unit.completion(), 0);
    EXPECT_EQ(unit.image(), image);
    EXPECT_GT(most_held, 40000u - 12287 - CFG_TUD_CDC_RX_BUFSIZE - 64);
    EXPECT_GT(vb::mutex_turns().skipped_in_handler, 0u);
    EXPECT_EQ(vb::mutex_turns().retaken_before_handler, 0u);
}

TEST_F(UsbSystemTest, CablePulledAndPluggedAgain) {
    connect();
    usbh::unplug();
    vb::run_for_ms(50);
    EXPECT_GE(usbh::detaches(), 1u);
    usbh::plug();
    ASSERT_TRUE(usbh::wait_enumerated(1000 * kMs));
    EXPECT_EQ(usbh::enumerations(), 2u);
    usbh::open_terminal();
    ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    vb::run_for_ms(20);
    EXPECT_EQ(usbh::received(), "");
    usbh::write("FWUP 3\n");
    EXPECT_TRUE(usbh::wait_received("START\n"));
}

}  // namespace
