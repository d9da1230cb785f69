// The DMA controller: twelve channels, each paced by its transfer request.
//
// A channel moves a word whenever its request line is active: a PIO
// transmit FIFO's request while the FIFO has room, a UART's receive request
// while its FIFO holds a byte, or always (unpaced). An address ring keeps
// the incremented side inside its aligned 2^n bytes.
// The words are read from the firmware's memory at the moment they move,
// as on the chip, so a buffer overwritten while a transfer still reads it
// is heard that way. A transfer completes when its last word has moved;
// unless the channel is quiet, it then raises DMA_IRQ_0 and/or DMA_IRQ_1
// (as enabled) at that virtual time, and the handler the firmware installed
// runs there. A trigger with a transfer count of zero moves nothing and
// raises nothing.
#include "hardware/dma.h"

#include "pico/platform.h"

#include <cstring>

#include "board.h"
#include "devices.h"
#include "pio_dma.h"

namespace vb {

namespace {

DmaState *dmas = shared_alloc<DmaState>();
dma_channel_hw_t channel_hw[kDmaChannels];

void reset_dma() {
    *dmas = DmaState{};
}

// The registers the firmware reads, as the channel now stands.
void mirror(uint channel) {
    const DmaChannel &c = dmas->ch[channel];
    dma_channel_hw_t &hw = channel_hw[channel];
    hw.read_addr = static_cast<uint32_t>(c.read_addr);
    hw.write_addr = static_cast<uint32_t>(c.write_addr);
    hw.transfer_count = c.busy ? c.remaining : c.trans_count;
    hw.ctrl_trig = c.ctrl | (c.busy ? DMA_CH0_CTRL_TRIG_BUSY_BITS : 0u);
}

// An address after one step of `size`, kept inside its ring when the ring is on that side.
uintptr_t step(const DmaChannel &c, uintptr_t addr, unsigned size, bool write_side) {
    const unsigned ring_bits = (c.ctrl & DMA_CH0_CTRL_TRIG_RING_SIZE_BITS) >> DMA_CH0_CTRL_TRIG_RING_SIZE_LSB;
    const bool ring_here = ((c.ctrl & DMA_CH0_CTRL_TRIG_RING_SEL_BITS) != 0) == write_side;
    if (ring_bits == 0 || !ring_here) return addr + size;
    const uintptr_t mask = (uintptr_t{1} << ring_bits) - 1;
    return (addr & ~mask) | ((addr + size) & mask);
}

Device dma_device{{"dma", [] { return kNever; }, [](uint64_t) {}, reset_dma}};

DmaChannel &channel_of(uint channel) {
    if (channel >= kDmaChannels) board_halt("DMA: channel number out of range");
    return dmas->ch[channel];
}

unsigned dreq_of(const DmaChannel &c) {
    return (c.ctrl & DMA_CH0_CTRL_TRIG_TREQ_SEL_BITS) >> DMA_CH0_CTRL_TRIG_TREQ_SEL_LSB;
}

unsigned size_of(const DmaChannel &c) {
    return 1u << ((c.ctrl & DMA_CH0_CTRL_TRIG_DATA_SIZE_BITS) >> DMA_CH0_CTRL_TRIG_DATA_SIZE_LSB);
}

void update_irq_lines() {
    for (unsigned line = 0; line < NUM_DMA_IRQS; line++) {
        if (dmas->intr & dmas->inte[line]) {
            irq_raise(DMA_IRQ_0 + line);
        } else {
            irq_lower(DMA_IRQ_0 + line);
        }
    }
}

void trigger(uint channel);

void complete(uint channel) {
    DmaChannel &c = dmas->ch[channel];
    c.busy = false;
    c.completed_ns = board().now_ns;
    if (!(c.ctrl & DMA_CH0_CTRL_TRIG_IRQ_QUIET_BITS)) {
        dmas->intr |= 1u << channel;
        update_irq_lines();
    }
    const uint chain = (c.ctrl & DMA_CH0_CTRL_TRIG_CHAIN_TO_BITS) >> DMA_CH0_CTRL_TRIG_CHAIN_TO_LSB;
    if (chain != channel) trigger(chain);
}

// Moves one word of a busy channel.
void move_word(uint channel) {
    DmaChannel &c = dmas->ch[channel];
    const unsigned size = size_of(c);
    uint32_t value = 0;
    unsigned uart = 0;
    if (uart_rx_register(c.read_addr, &uart)) {
        value = uart_dma_read(uart);
    } else {
        memcpy(&value, reinterpret_cast<const void *>(c.read_addr), size);
    }
    if (c.ctrl & DMA_CH0_CTRL_TRIG_INCR_READ_BITS) c.read_addr = step(c, c.read_addr, size, false);
    unsigned block = 0;
    unsigned sm = 0;
    if (pio_fifo_of_address(c.write_addr, &block, &sm)) {
        pio_fifo_write(block, sm, value);
    } else {
        memcpy(reinterpret_cast<void *>(c.write_addr), &value, size);
    }
    if (c.ctrl & DMA_CH0_CTRL_TRIG_INCR_WRITE_BITS) c.write_addr = step(c, c.write_addr, size, true);
    c.words++;
    if (--c.remaining == 0) complete(channel);
    mirror(channel);
}

bool ready(const DmaChannel &c) {
    if (!c.busy) return false;
    const unsigned dreq = dreq_of(c);
    return dreq == kDreqForce || pio_dreq_active(dreq) || uart_dreq_active(dreq);
}

// Runs every channel that can move a word until none can.
void run_channels() {
    if (dmas->servicing) return;  // the loop below picks the new work up
    dmas->servicing = true;
    for (bool moved = true; moved;) {
        moved = false;
        for (uint i = 0; i < kDmaChannels; i++) {
            while (ready(dmas->ch[i])) {
                move_word(i);
                moved = true;
            }
        }
    }
    dmas->servicing = false;
}

void trigger(uint channel) {
    DmaChannel &c = channel_of(channel);
    if (!(c.ctrl & DMA_CH0_CTRL_TRIG_EN_BITS) || c.busy) return;
    c.remaining = c.trans_count;
    if (c.remaining == 0) return;
    c.busy = true;
    c.started_ns = board().now_ns;
    c.transfers++;
    mirror(channel);
    run_channels();
    reschedule();
}

}  // namespace

DmaState &dma_state() {
    return *dmas;
}

void dma_service(unsigned dreq) {
    (void)dreq;
    run_channels();
}

}  // namespace vb

using vb::dmas;

extern "C" {

void dma_channel_claim(uint channel) {
    vb::charge();
    vb::DmaChannel &c = vb::channel_of(channel);
    if (c.claimed) panic("DMA channel %d is already claimed", static_cast<int>(channel));
    c.claimed = true;
}

void dma_claim_mask(uint32_t channel_mask) {
    for (uint i = 0; channel_mask; i++, channel_mask >>= 1u) {
        if (channel_mask & 1u) dma_channel_claim(i);
    }
}

void dma_channel_unclaim(uint channel) {
    vb::charge();
    vb::channel_of(channel).claimed = false;
}

// The lowest free channel, as the SDK claims it.
int dma_claim_unused_channel(bool required) {
    vb::charge();
    for (uint i = 0; i < vb::kDmaChannels; i++) {
        if (!dmas->ch[i].claimed) {
            dmas->ch[i].claimed = true;
            return static_cast<int>(i);
        }
    }
    if (required) panic("No DMA channels are available");
    return -1;
}

dma_channel_hw_t *dma_channel_hw_addr(uint channel) {
    vb::charge();
    vb::channel_of(channel);
    vb::mirror(channel);
    return &vb::channel_hw[channel];
}

bool dma_channel_is_claimed(uint channel) {
    return vb::channel_of(channel).claimed;
}

dma_channel_config dma_get_channel_config(uint channel) {
    vb::charge();
    const vb::DmaChannel &c = vb::channel_of(channel);
    return dma_channel_config{c.ctrl | (c.busy ? DMA_CH0_CTRL_TRIG_BUSY_BITS : 0u)};
}

void dma_channel_set_config(uint channel, const dma_channel_config *config, bool trigger) {
    vb::charge();
    vb::channel_of(channel).ctrl = config->ctrl & ~DMA_CH0_CTRL_TRIG_BUSY_BITS;
    if (trigger) vb::trigger(channel);
}

void dma_channel_set_read_addr(uint channel, const volatile void *read_addr, bool trigger) {
    vb::charge();
    vb::channel_of(channel).read_addr = reinterpret_cast<uintptr_t>(read_addr);
    if (trigger) vb::trigger(channel);
}

void dma_channel_set_write_addr(uint channel, volatile void *write_addr, bool trigger) {
    vb::charge();
    vb::channel_of(channel).write_addr = reinterpret_cast<uintptr_t>(write_addr);
    if (trigger) vb::trigger(channel);
}

// Sets the count the next trigger loads.
void dma_channel_set_trans_count(uint channel, uint32_t trans_count, bool trigger) {
    vb::charge();
    vb::channel_of(channel).trans_count = trans_count;
    if (trigger) vb::trigger(channel);
}

void dma_channel_configure(uint channel, const dma_channel_config *config, volatile void *write_addr,
                           const volatile void *read_addr, uint transfer_count, bool trigger) {
    dma_channel_set_read_addr(channel, read_addr, false);
    dma_channel_set_write_addr(channel, write_addr, false);
    dma_channel_set_trans_count(channel, transfer_count, false);
    dma_channel_set_config(channel, config, trigger);
}

void dma_channel_transfer_from_buffer_now(uint channel, const volatile void *read_addr, uint32_t transfer_count) {
    dma_channel_set_read_addr(channel, read_addr, false);
    dma_channel_set_trans_count(channel, transfer_count, true);
}

void dma_start_channel_mask(uint32_t chan_mask) {
    vb::charge();
    for (uint i = 0; i < vb::kDmaChannels; i++) {
        if (chan_mask & (1u << i)) vb::trigger(i);
    }
}

void dma_channel_start(uint channel) {
    dma_start_channel_mask(1u << channel);
}

// Stops the channel at once; no completion is signalled.
void dma_channel_abort(uint channel) {
    vb::charge();
    vb::channel_of(channel).busy = false;
    vb::mirror(channel);
    vb::reschedule();
}

bool dma_channel_is_busy(uint channel) {
    vb::charge();
    return vb::channel_of(channel).busy;
}

void dma_channel_wait_for_finish_blocking(uint channel) {
    vb::charge();
    const vb::DmaChannel &c = vb::channel_of(channel);
    vb::wait_until([&c] { return !c.busy; });
}

void dma_channel_set_irq0_enabled(uint channel, bool enabled) {
    vb::charge();
    vb::channel_of(channel);
    dmas->inte[0] = enabled ? (dmas->inte[0] | (1u << channel)) : (dmas->inte[0] & ~(1u << channel));
    vb::update_irq_lines();
}

void dma_channel_set_irq1_enabled(uint channel, bool enabled) {
    vb::charge();
    vb::channel_of(channel);
    dmas->inte[1] = enabled ? (dmas->inte[1] | (1u << channel)) : (dmas->inte[1] & ~(1u << channel));
    vb::update_irq_lines();
}

void dma_set_irq0_channel_mask_enabled(uint32_t channel_mask, bool enabled) {
    vb::charge();
    dmas->inte[0] = enabled ? (dmas->inte[0] | channel_mask) : (dmas->inte[0] & ~channel_mask);
    vb::update_irq_lines();
}

bool dma_channel_get_irq0_status(uint channel) {
    vb::charge();
    vb::channel_of(channel);
    return dmas->intr & dmas->inte[0] & (1u << channel);
}

bool dma_channel_get_irq1_status(uint channel) {
    vb::charge();
    vb::channel_of(channel);
    return dmas->intr & dmas->inte[1] & (1u << channel);
}

void dma_channel_acknowledge_irq0(uint channel) {
    vb::charge();
    vb::channel_of(channel);
    dmas->intr &= ~(1u << channel);
    vb::update_irq_lines();
}

void dma_channel_acknowledge_irq1(uint channel) {
    dma_channel_acknowledge_irq0(channel);
}

}  // extern "C"
