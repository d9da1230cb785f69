// Bytes of any kind on the screen line's receive pin, polled as the main
// loop does: nothing may crash or overrun, and the outputs only ever hold
// values of their enumerations.
#include <cstddef>
#include <cstdint>
#include <string>

#include "door.h"
#include "hardware/clocks.h"
#include "pico/stdlib.h"
#include "screen.h"
#include "status.h"
#include "vboard.h"

namespace {

constexpr unsigned kScreenUart = 1;
constexpr uint32_t kBaud = 115200;
constexpr size_t kChunk = 24;  // less than the receive FIFO holds

void bring_up() {
    vb::unit_setup();
    set_sys_clock_khz(132000, true);
    stdio_init_all();
    status_init();
    door_init();
    screen_init();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    for (size_t i = 0; i < bytes.size(); i += kChunk) {
        const std::string chunk = bytes.substr(i, kChunk);
        vb::send_to_board(kScreenUart, chunk, kBaud);
        vb::advance_us(vb::wire_ns(chunk.size(), kBaud) / 1000 + 1);
        screen_poll();
    }
    if (status.out.maglock > MAGLOCK_OFF || status.out.lights > CABINET_LIGHTS_DEMO_C ||
        status.out.audio > AUDIO_LOOP_4 || status.out.fob_config > FOB_CONFIG_PAIR) {
        __builtin_trap();
    }
    return 0;
}
