// The test side of the PIO and DMA models: what the strips and the
// amplifier receive, and the state of the state machines and channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pio_dma.h"

namespace vb {

// A state machine and its block as the firmware left them.
const PioSm &pio_sm(unsigned block, unsigned sm);
uint16_t pio_instruction(unsigned block, unsigned addr);
uint32_t pio_used_instructions(unsigned block);
uint32_t pio_pindirs(unsigned block);
// The clock divider of a state machine, in 1/256.
uint32_t pio_clkdiv256(unsigned block, unsigned sm);

// A strip on a data pin. Pixels are in the pixel-word layout: green in
// bits 31-24, red 23-16, blue 15-8, bits 7-0 zero.
struct StripPicture {
    uint64_t start_ns, end_ns;  // first and last bit on the line
    uint32_t words;             // pixels the frame carried
    std::vector<uint32_t> pixels;  // the first kStripFrameMaxPixels of them
};
// Frames the strip has latched so far (a frame latches once its line has
// been low for kStripLatchNs).
size_t strip_frame_count(unsigned pin);
std::vector<StripPicture> strip_frames(unsigned pin, size_t from = 0);
StripPicture strip_last_frame(unsigned pin);
// What the strip's kStripPixels pixels show now.
std::vector<uint32_t> strip_pixels(unsigned pin);
// Pixel word from intensities, as the strip receives them.
constexpr uint32_t pixel(uint8_t r, uint8_t g, uint8_t b) {
    return (uint32_t{g} << 24) | (uint32_t{r} << 16) | (uint32_t{b} << 8);
}

// The amplifier's I2S input: every stereo frame, with all pin levels at its
// first bit.
struct StereoFrame {
    uint64_t t_ns;
    int16_t left, right;
    uint32_t pins;
    bool pin(unsigned gpio) const { return (pins >> gpio) & 1u; }
};
size_t i2s_frame_count();
std::vector<StereoFrame> i2s_frames(size_t from = 0, size_t max = SIZE_MAX);
// Frames sent while the I2S pins were not handed to the block.
uint64_t i2s_unwired_frames();
// Pauses in a state machine's output while it was running and being fed:
// the FIFO ran dry and a word came later.
std::vector<PioGap> pio_gaps();

// DMA channels.
const DmaChannel &dma_channel(unsigned channel);
uint32_t dma_irq0_enabled();
void dma_claim_all();

}  // namespace vb
