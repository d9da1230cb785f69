// The PIO and DMA models' state, shared with the test side (vboard_sound),
// and the request lines between the two models.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board.h"

namespace vb {

constexpr unsigned kPioBlocks = 2;
constexpr unsigned kPioSms = 4;
constexpr unsigned kPioInstructions = 32;
constexpr unsigned kPioFifoDepth = 4;        // per direction
constexpr unsigned kPioJoinedFifoDepth = 8;  // transmit with the receive FIFO joined to it

// What the board runs on a state machine: its program, recognised by the
// instruction words loaded, and the devices wired to it.
enum class PioProgram : uint8_t { None, Ws2815, I2sOut };

// The WS2815 latches a frame once its data line has been low this long.
constexpr uint64_t kStripLatchNs = 280000;
// Pixels on each of the cabinet's strips.
constexpr unsigned kStripPixels = 200;
// Frames kept per strip, and pixels kept per frame.
constexpr size_t kStripFrameLog = 64;
constexpr unsigned kStripFrameMaxPixels = 512;
constexpr unsigned kMaxStrips = 4;
// I2S frames kept (about 65 s at 16 kHz).
constexpr size_t kI2sLogSize = size_t{1} << 20;
constexpr size_t kPioGapLogSize = 256;

struct PioSm {
    bool claimed;
    bool enabled;
    uint32_t clkdiv, execctrl, shiftctrl, pinctrl;
    uint8_t pc;
    uint32_t x, y;
    // transmit FIFO
    uint32_t fifo[kPioJoinedFifoDepth];
    unsigned fifo_head, fifo_count;
    // the output shift register: a word being sent, until word_end_ns
    bool shifting;
    uint32_t word;           // the word in the shift register
    uint64_t word_start_ns;  // when its first bit left
    uint64_t word_end_ns;
    uint64_t paused_left_ns;  // what was left of the word when the machine was stopped
    // exact word timing of an unbroken stream: word k starts at anchor + k words
    uint64_t anchor_ns;
    uint64_t anchor_words;
    bool stalled;     // wanted a word and found the FIFO empty while enabled
    bool fed;         // has sent a word since it was enabled
    uint64_t stalled_since_ns;
    PioProgram program;  // recognised when enabled
    uint64_t words_pushed, words_sent, tx_overflows;
};

struct PioBlock {
    uint16_t instr[kPioInstructions];
    uint32_t used;     // instruction slots taken by loaded programs
    uint32_t pindirs;  // pins this block drives as outputs
    PioSm sm[kPioSms];
};

struct StripFrame {
    uint64_t start_ns;  // first bit
    uint64_t end_ns;    // last bit
    uint32_t words;     // pixels received (all of them, even past kStripFrameMaxPixels)
    uint32_t pixels[kStripFrameMaxPixels];  // in pixel-word layout: green 31-24, red 23-16, blue 15-8
};

// A strip on a data pin: the frame coming in, the frames latched so far and
// what its pixels show.
struct Strip {
    bool used;
    uint8_t pin;
    bool receiving;
    uint64_t line_idle_ns;  // the current frame's last bit ended here
    uint32_t bits;          // bits of the pixel being received
    unsigned bit_count;
    StripFrame current;
    uint64_t frames_total;
    StripFrame frames[kStripFrameLog];
    uint32_t shown[kStripPixels];
};

struct I2sFrame {
    uint64_t t_ns;  // the frame's first bit
    uint32_t word;  // left channel in bits 31-16, right channel in 15-0
    uint32_t pins;  // every pin's level at that moment
};

struct PioGap {
    uint64_t from_ns, to_ns;
    uint8_t block, sm;
};

struct PioState {
    PioBlock block[kPioBlocks];
    Strip strips[kMaxStrips];
    uint64_t i2s_total;
    uint64_t i2s_unwired;  // frames sent while the pins were not handed to the block
    uint64_t gaps_total;
    PioGap gaps[kPioGapLogSize];
};

constexpr unsigned kDmaChannels = 12;
constexpr unsigned kDreqForce = 63;

struct DmaChannel {
    bool claimed;
    uint32_t ctrl;
    uintptr_t read_addr, write_addr;
    uint32_t trans_count;  // reload value
    uint32_t remaining;
    bool busy;
    uint64_t started_ns, completed_ns;
    uint64_t transfers, words;
};

struct DmaState {
    DmaChannel ch[kDmaChannels];
    uint32_t inte[2];
    uint32_t intr;  // raw completion flags
    bool servicing;
};

PioState &pio_state();
I2sFrame *i2s_log();  // kI2sLogSize entries, a ring indexed by the frame number
DmaState &dma_state();

// PIO side: the transmit FIFO a bus address names; the state of a request
// line; a write into a FIFO (lost when it is full, as on the chip).
bool pio_fifo_of_address(uintptr_t addr, unsigned *block, unsigned *sm);
bool pio_dreq_active(unsigned dreq);
void pio_fifo_write(unsigned block, unsigned sm, uint32_t word);

// UART side: the state of a request line; whether a bus address is a UART's
// data register; the byte a DMA read of it takes from the receive FIFO.
bool uart_dreq_active(unsigned dreq);
bool uart_rx_register(uintptr_t addr, unsigned *index);
uint8_t uart_dma_read(unsigned index);

// DMA side: a request line may have become active; the channels it paces
// move what they can now.
void dma_service(unsigned dreq);

}  // namespace vb
