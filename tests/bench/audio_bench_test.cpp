// The audio refill: converting 512 samples into an output buffer, as the
// DMA_IRQ_0 handler does on every completion. Prints the host's time per
// refill for the record; for an instruction count, run this test under
//   valgrind --tool=callgrind --toggle-collect='prepare_audio_buffer*'
// On the board the conversion's loop runs from RAM in 11 instructions,
// about 14 cycles a sample: some 7,300 cycles a refill with the handler,
// plus the flash cache's misses on the samples, against the 66,000 cycles
// (0.5 ms) that the eight frames in the FIFO give the handler.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "audio.h"

namespace {

constexpr int kRounds = 5000;

TEST(AudioBench, Refill512Samples) {
    static uint32_t out[AUDIO_BUFFER_SAMPLES];
    const auto *samples = reinterpret_cast<const int16_t *>(sound_lockdown + 44);
    const uint32_t chunks = (sound_lockdown_len - 44) / 2 / AUDIO_BUFFER_SAMPLES;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < kRounds; r++) {
        prepare_audio_buffer(out, samples + (r % chunks) * AUDIO_BUFFER_SAMPLES, AUDIO_BUFFER_SAMPLES, 94);
    }
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    printf("refill of %u samples: %.0f ns on this host\n", AUDIO_BUFFER_SAMPLES, static_cast<double>(ns) / kRounds);
    RecordProperty("refill_ns", static_cast<int>(ns / kRounds));
    EXPECT_NE(out[0] | out[AUDIO_BUFFER_SAMPLES - 1], 0xDEADBEEFu);  // keeps the work
}

}  // namespace
