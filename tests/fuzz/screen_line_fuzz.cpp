// Bytes of any kind on the screen line's receive pin, polled as the main
// loop does, and status payloads of any content in frames with a valid check
// value: nothing may crash or overrun, and the outputs only ever hold values
// of their enumerations.
//
// Input: lines ending in "\n". A line that begins with 0x01 is the payload
// of a valid frame (the rest of the line); any other line goes on the wire
// as it is.
#include <cstddef>
#include <cstdint>
#include <string>

#include "door.h"
#include "fuzz_board.h"
#include "screen.h"
#include "status.h"

namespace {

constexpr size_t kChunk = 24;  // less than the receive FIFO holds
constexpr char kFramed = '\x01';

void bring_up() {
    fuzz::unit_board();
    status_init();
    door_init();
    screen_init();
}

void send(const std::string &bytes) {
    for (size_t i = 0; i < bytes.size(); i += kChunk) {
        const std::string chunk = bytes.substr(i, kChunk);
        vb::send_to_board(fuzz::kScreenUart, chunk, fuzz::kScreenBaud);
        vb::advance_us(vb::wire_ns(chunk.size(), fuzz::kScreenBaud) / 1000 + 1);
        screen_poll();
    }
}

void check_outputs() {
    if (status.out.maglock > MAGLOCK_OFF || status.out.lights > CABINET_LIGHTS_DEMO_C ||
        status.out.audio > AUDIO_LOOP_4 || status.out.fob_config > FOB_CONFIG_PAIR) {
        fuzz::finding("an output outside its enumeration");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    while (at < input.size()) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(at, end - at);
        if (!line.empty() && line[0] == kFramed) {
            send(fuzz::screen_frame(line.substr(1)));
        } else {
            send(end < input.size() ? line + "\n" : line);
        }
        check_outputs();
        at = end + 1;
    }
    return 0;
}
