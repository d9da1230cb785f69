// Cortex-M0+ cycle counts of the radio message check, of the fob store's
// CRC and verify, and of the audio refill's conversion, compiled from the
// firmware's own sources as for the board, run on an RP2040 emulator from RAM
// (where the board runs the hash and the refill).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio.h"

#include "wireless.h"
extern "C" {
#include "monocypher.h"
}

uint32_t settings_calculate_crc32(const uint8_t *data, size_t length);

namespace {
const uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
uint8_t window[48];
uint8_t sector_data[4084];
uint8_t sector_copy[2][4096];
int16_t samples[AUDIO_BUFFER_SAMPLES];
uint32_t refill[AUDIO_BUFFER_SAMPLES];
}  // namespace

volatile uint32_t bench_sink;

// Start-up's share, run before every measured call and measured alone.
extern "C" void bench_setup() {
    wireless_mac_key(key);
}

// What the receive pump does for each byte once 48 are unconsumed.
extern "C" void bench_check() {
    bench_sink = wireless_message_authentic(window) ? 1 : 0;
}

// The same check with Monocypher's one-shot keyed hash, which hashes the key
// block every time.
extern "C" void bench_oneshot() {
    uint8_t mac[16];
    crypto_blake2b_general(mac, sizeof mac, key, sizeof key, window, 32);
    bench_sink = static_cast<uint32_t>(crypto_verify16(mac, window + 32));
}

// One sector's CRC, as the scan does for every sector with the magic.
extern "C" void bench_crc() {
    bench_sink = settings_calculate_crc32(sector_data, sizeof sector_data);
}

// The save's verify: the sector read back against the copy written.
extern "C" void bench_verify() {
    bench_sink = static_cast<uint32_t>(memcmp(sector_copy[0], sector_copy[1], sizeof sector_copy[0]));
}

// The audio interrupt's conversion of one 512-sample buffer.
extern "C" void bench_refill() {
    prepare_audio_buffer(refill, samples, AUDIO_BUFFER_SAMPLES, 94);
}

extern "C" void bench_nothing() {}

// Entry points for the emulator: set up, call, then stop at a breakpoint.
asm(R"(
    .syntax unified
    .thumb
    .section .text.entries
    .global entry_check, entry_oneshot, entry_crc, entry_verify, entry_refill, entry_nothing
    .thumb_func
entry_check:
    bl bench_setup
    bl bench_check
    bkpt #1
    .thumb_func
entry_oneshot:
    bl bench_setup
    bl bench_oneshot
    bkpt #2
    .thumb_func
entry_crc:
    bl bench_setup
    bl bench_crc
    bkpt #3
    .thumb_func
entry_verify:
    bl bench_setup
    bl bench_verify
    bkpt #4
    .thumb_func
entry_refill:
    bl bench_setup
    bl bench_refill
    bkpt #5
    .thumb_func
entry_nothing:
    bl bench_setup
    bl bench_nothing
    bkpt #6
)");
