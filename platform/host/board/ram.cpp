// The firmware's RAM: on the chip a reset brings every variable of the image
// back to its initial value (the boot copies .data and clears .bss). Here the
// firmware's variables share a process with the test, so the board keeps a
// copy of them as they were before any firmware code ran and puts it back
// at each boot and for each fresh board. The range is laid out by
// firmware_ram.ld.
#include <cstdint>
#include <cstdlib>

#include "board.h"

extern "C" uint8_t vb_firmware_ram_start[];
extern "C" uint8_t vb_firmware_ram_end[];

namespace vb {

namespace {

uint8_t *initial = nullptr;

size_t ram_size() {
    return static_cast<size_t>(vb_firmware_ram_end - vb_firmware_ram_start);
}

// Byte by byte and uninstrumented: the range holds the sanitizer's red zones
// between the variables, which a checked copy would report.
__attribute__((no_sanitize("address"))) void copy_bytes(volatile uint8_t *to, const volatile uint8_t *from,
                                                         size_t n) {
    for (size_t i = 0; i < n; i++) to[i] = from[i];
}

}  // namespace

void firmware_ram_keep() {
    if (initial != nullptr) return;
    initial = static_cast<uint8_t *>(malloc(ram_size() + 1));
    if (initial == nullptr) abort();
    copy_bytes(initial, vb_firmware_ram_start, ram_size());
}

void firmware_ram_restore() {
    firmware_ram_keep();
    copy_bytes(vb_firmware_ram_start, initial, ram_size());
}

}  // namespace vb
