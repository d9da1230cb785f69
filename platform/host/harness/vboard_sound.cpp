#include "vboard_sound.h"

#include <algorithm>
#include <stdexcept>

#include "hardware/dma.h"
#include "vboard.h"

namespace vb {

const PioSm &pio_sm(unsigned block, unsigned sm) {
    return pio_state().block[block].sm[sm];
}

uint16_t pio_instruction(unsigned block, unsigned addr) {
    return pio_state().block[block].instr[addr];
}

uint32_t pio_used_instructions(unsigned block) {
    return pio_state().block[block].used;
}

uint32_t pio_pindirs(unsigned block) {
    return pio_state().block[block].pindirs;
}

uint32_t pio_clkdiv256(unsigned block, unsigned sm) {
    const uint32_t clkdiv = pio_sm(block, sm).clkdiv;
    return (clkdiv >> 16) * 256 + ((clkdiv >> 8) & 0xff);
}

namespace {

const Strip *find_strip(unsigned pin) {
    for (const Strip &s : pio_state().strips) {
        if (s.used && s.pin == pin) return &s;
    }
    return nullptr;
}

StripPicture picture_of(const StripFrame &f) {
    StripPicture p{f.start_ns, f.end_ns, f.words, {}};
    p.pixels.assign(f.pixels, f.pixels + std::min<uint32_t>(f.words, kStripFrameMaxPixels));
    return p;
}

}  // namespace

size_t strip_frame_count(unsigned pin) {
    const Strip *s = find_strip(pin);
    return s == nullptr ? 0 : s->frames_total;
}

std::vector<StripPicture> strip_frames(unsigned pin, size_t from) {
    std::vector<StripPicture> out;
    const Strip *s = find_strip(pin);
    if (s == nullptr) return out;
    for (const StripFrame &f : log_since(s->frames, s->frames_total, from, "strip frames")) out.push_back(picture_of(f));
    return out;
}

StripPicture strip_last_frame(unsigned pin) {
    const Strip *s = find_strip(pin);
    if (s == nullptr || s->frames_total == 0) throw std::runtime_error("virtual board: the strip has no frame");
    return picture_of(s->frames[(s->frames_total - 1) % kStripFrameLog]);
}

std::vector<uint32_t> strip_pixels(unsigned pin) {
    const Strip *s = find_strip(pin);
    if (s == nullptr) return std::vector<uint32_t>(kStripPixels, 0);
    return std::vector<uint32_t>(s->shown, s->shown + kStripPixels);
}

size_t i2s_frame_count() {
    return pio_state().i2s_total;
}

std::vector<StereoFrame> i2s_frames(size_t from, size_t max) {
    const PioState &p = pio_state();
    if (p.i2s_total > kI2sLogSize && from < p.i2s_total - kI2sLogSize)
        throw std::runtime_error("virtual board: I2S frames overwritten");
    std::vector<StereoFrame> out;
    const I2sFrame *log = i2s_log();
    for (uint64_t i = from; i < p.i2s_total && out.size() < max; i++) {
        const I2sFrame &f = log[i % kI2sLogSize];
        out.push_back(StereoFrame{f.t_ns, static_cast<int16_t>(f.word >> 16), static_cast<int16_t>(f.word & 0xffff),
                                  f.pins});
    }
    return out;
}

uint64_t i2s_unwired_frames() {
    return pio_state().i2s_unwired;
}

std::vector<PioGap> pio_gaps() {
    const PioState &p = pio_state();
    return log_kept(p.gaps, p.gaps_total);
}

const DmaChannel &dma_channel(unsigned channel) {
    return dma_state().ch[channel];
}

uint32_t dma_irq0_enabled() {
    return dma_state().inte[0];
}

void dma_claim_all() {
    for (DmaChannel &c : dma_state().ch) c.claimed = true;
}

}  // namespace vb
