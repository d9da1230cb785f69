// The flash chip's 64-bit unique identifier (its RUID command), and the
// SDK's board identifier read from it.
#include "pico/unique_id.h"

#include <cstdio>
#include <cstring>

#include "board.h"
#include "devices.h"
#include "hardware/flash.h"
#include "hardware/sync.h"
#include "vboard_flash.h"

namespace vb {

namespace {

struct UniqueId {
    uint8_t id[kFlashUniqueIdSize] = {0xE6, 0x61, 0x38, 0x97, 0x23, 0x5C, 0x4A, 0x2F};
};

UniqueId *unique = shared_alloc<UniqueId>();

}  // namespace

void set_flash_unique_id(const uint8_t (&id)[kFlashUniqueIdSize]) {
    memcpy(unique->id, id, kFlashUniqueIdSize);
}

std::vector<uint8_t> flash_unique_id() {
    return {unique->id, unique->id + kFlashUniqueIdSize};
}

}  // namespace vb

extern "C" {

// The command takes the flash out of its read mode, as an erase does: nothing
// may run from flash meanwhile.
void flash_get_unique_id(uint8_t *id_out) {
    vb::charge();
    const uint32_t previous = save_and_disable_interrupts();
    restore_interrupts(previous);
    if (previous == 0) vb::board_halt("flash_get_unique_id with interrupts enabled");
    memcpy(id_out, vb::unique->id, vb::kFlashUniqueIdSize);
}

// The SDK reads the identifier once before main() and hands out that copy.
void pico_get_unique_board_id(pico_unique_board_id_t *id_out) {
    vb::charge();
    memcpy(id_out->id, vb::unique->id, vb::kFlashUniqueIdSize);
}

void pico_get_unique_board_id_string(char *id_out, uint len) {
    vb::charge();
    if (len == 0) return;
    size_t at = 0;
    for (size_t i = 0; i < vb::kFlashUniqueIdSize && at + 1 < len; i++) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", vb::unique->id[i]);
        for (const char c : {hex[0], hex[1]}) {
            if (at + 1 < len) id_out[at++] = c;
        }
    }
    id_out[at] = '\0';
}

}  // extern "C"
