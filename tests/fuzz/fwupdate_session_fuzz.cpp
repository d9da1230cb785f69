// A firmware transfer driven by arbitrary input: host bytes fed in any
// amounts, answers of any content from the screen unit, polls and time
// passing in any order. Nothing may crash or overrun, the ring never offers
// more than it holds, and every session ends back at 115200 baud.
#include <cstddef>
#include <cstdint>

#include "door.h"
#include "fwupdate.h"
#include "hardware/clocks.h"
#include "pico/stdlib.h"
#include "screen.h"
#include "status.h"
#include "vboard.h"

namespace {

constexpr unsigned kScreenUart = 1;
constexpr uint32_t kMaxImage = 1100;  // two blocks at most keep each input quick
constexpr size_t kMaxAnswer = 24;
constexpr int kMaxPolls = 8;  // each poll may put a frame or a window on the line
constexpr uint32_t kNormalUartBaud = 115176;  // 115200 from the 48 MHz clk_peri

void bring_up() {
    vb::unit_setup();
    set_sys_clock_khz(132000, true);
    stdio_init_all();
    status_init();
    door_init();
    screen_init();
    fwupdate_init();
}

void check_ring() {
    const int space = fwupdate_feed_space();
    if (space < 0 || space > FW_RING_SIZE - 1 || (!fwupdate_active() && space != 0)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    if (size < 2) return 0;
    static uint8_t image[kMaxImage];  // host bytes
    fwupdate_start((uint32_t{data[0]} << 8 | data[1]) % kMaxImage);
    size_t i = 2;
    int polls = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        switch (op % 4) {
            case 0:
                if (polls++ < kMaxPolls) fwupdate_poll();
                break;
            case 1:
                vb::advance_us(uint64_t{op} * 5000);
                if (polls++ < kMaxPolls) fwupdate_poll();
                break;
            case 2: {
                const int n = op * 4;  // up to 1020 bytes
                for (int k = 0; k < n; k++) image[k] = static_cast<uint8_t>(k ^ op);
                fwupdate_feed(image, n);
                break;
            }
            default: {
                // An answer: "F" and what follows, up to a line's end in the input.
                char answer[kMaxAnswer + 2] = "F";
                size_t len = 1;
                while (i < size && len < kMaxAnswer && data[i] != '\n' && data[i] != 0) {
                    answer[len++] = static_cast<char>(data[i++]);
                }
                answer[len] = '\0';
                fwupdate_ack(answer, len);
                break;
            }
        }
        check_ring();
    }
    // Left alone, every session ends within the session time-out.
    vb::advance_us(uint64_t{FW_SESSION_TIMEOUT_MS} * 1000 + 1000);
    fwupdate_poll();
    if (fwupdate_active() || vb::board().uart[kScreenUart].baud != kNormalUartBaud) __builtin_trap();
    check_ring();
    return 0;
}
