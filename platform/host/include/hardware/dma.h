// Simulated board: the DMA controller's twelve channels.
//
// The channel configuration helpers are the SDK's, bit for bit; the channel
// operations are served by the DMA model (platform/host/board/dma.cpp),
// which paces each channel by its transfer request and raises DMA_IRQ_0 or
// DMA_IRQ_1 when a transfer completes.
#pragma once

#include "hardware/irq.h"
#include "hardware/regs/dreq.h"
#include "pico/types.h"

#define NUM_DMA_CHANNELS 12u
#define NUM_DMA_IRQS 2u
#define DMA_IRQ_NUM(irq_index) (DMA_IRQ_0 + (irq_index))

#define DMA_CH0_CTRL_TRIG_BUSY_BITS 0x01000000u
#define DMA_CH0_CTRL_TRIG_SNIFF_EN_BITS 0x00800000u
#define DMA_CH0_CTRL_TRIG_BSWAP_BITS 0x00400000u
#define DMA_CH0_CTRL_TRIG_IRQ_QUIET_BITS 0x00200000u
#define DMA_CH0_CTRL_TRIG_TREQ_SEL_BITS 0x001f8000u
#define DMA_CH0_CTRL_TRIG_TREQ_SEL_LSB 15u
#define DMA_CH0_CTRL_TRIG_CHAIN_TO_BITS 0x00007800u
#define DMA_CH0_CTRL_TRIG_CHAIN_TO_LSB 11u
#define DMA_CH0_CTRL_TRIG_RING_SEL_BITS 0x00000400u
#define DMA_CH0_CTRL_TRIG_RING_SIZE_BITS 0x000003c0u
#define DMA_CH0_CTRL_TRIG_RING_SIZE_LSB 6u
#define DMA_CH0_CTRL_TRIG_INCR_WRITE_BITS 0x00000020u
#define DMA_CH0_CTRL_TRIG_INCR_READ_BITS 0x00000010u
#define DMA_CH0_CTRL_TRIG_DATA_SIZE_BITS 0x0000000cu
#define DMA_CH0_CTRL_TRIG_DATA_SIZE_LSB 2u
#define DMA_CH0_CTRL_TRIG_HIGH_PRIORITY_BITS 0x00000002u
#define DMA_CH0_CTRL_TRIG_EN_BITS 0x00000001u

#ifdef __cplusplus
extern "C" {
#endif

enum dma_channel_transfer_size { DMA_SIZE_8 = 0, DMA_SIZE_16 = 1, DMA_SIZE_32 = 2 };

typedef struct {
    uint32_t ctrl;
} dma_channel_config;

// A channel's registers as the firmware may read them (writes change nothing):
// the low 32 bits of the addresses and the transfers still to do.
typedef struct {
    volatile uint32_t read_addr;
    volatile uint32_t write_addr;
    volatile uint32_t transfer_count;
    volatile uint32_t ctrl_trig;
} dma_channel_hw_t;

dma_channel_hw_t *dma_channel_hw_addr(uint channel);

static inline uint32_t _dma_set(uint32_t ctrl, uint32_t bits, bool on) { return on ? (ctrl | bits) : (ctrl & ~bits); }

static inline void channel_config_set_read_increment(dma_channel_config *c, bool incr) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_INCR_READ_BITS, incr);
}
static inline void channel_config_set_write_increment(dma_channel_config *c, bool incr) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_INCR_WRITE_BITS, incr);
}
static inline void channel_config_set_dreq(dma_channel_config *c, uint dreq) {
    c->ctrl = (c->ctrl & ~DMA_CH0_CTRL_TRIG_TREQ_SEL_BITS) | (dreq << DMA_CH0_CTRL_TRIG_TREQ_SEL_LSB);
}
static inline void channel_config_set_chain_to(dma_channel_config *c, uint chain_to) {
    c->ctrl = (c->ctrl & ~DMA_CH0_CTRL_TRIG_CHAIN_TO_BITS) | (chain_to << DMA_CH0_CTRL_TRIG_CHAIN_TO_LSB);
}
static inline void channel_config_set_transfer_data_size(dma_channel_config *c, enum dma_channel_transfer_size size) {
    c->ctrl = (c->ctrl & ~DMA_CH0_CTRL_TRIG_DATA_SIZE_BITS) | (((uint32_t)size) << DMA_CH0_CTRL_TRIG_DATA_SIZE_LSB);
}
static inline void channel_config_set_ring(dma_channel_config *c, bool write, uint size_bits) {
    c->ctrl = (c->ctrl & ~(DMA_CH0_CTRL_TRIG_RING_SIZE_BITS | DMA_CH0_CTRL_TRIG_RING_SEL_BITS)) |
              (size_bits << DMA_CH0_CTRL_TRIG_RING_SIZE_LSB) | (write ? DMA_CH0_CTRL_TRIG_RING_SEL_BITS : 0u);
}
static inline void channel_config_set_bswap(dma_channel_config *c, bool bswap) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_BSWAP_BITS, bswap);
}
static inline void channel_config_set_irq_quiet(dma_channel_config *c, bool irq_quiet) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_IRQ_QUIET_BITS, irq_quiet);
}
static inline void channel_config_set_high_priority(dma_channel_config *c, bool high_priority) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_HIGH_PRIORITY_BITS, high_priority);
}
static inline void channel_config_set_enable(dma_channel_config *c, bool enable) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_EN_BITS, enable);
}
static inline void channel_config_set_sniff_enable(dma_channel_config *c, bool sniff_enable) {
    c->ctrl = _dma_set(c->ctrl, DMA_CH0_CTRL_TRIG_SNIFF_EN_BITS, sniff_enable);
}
static inline uint32_t channel_config_get_ctrl_value(const dma_channel_config *config) { return config->ctrl; }

// Enabled, 32-bit words, read address incrementing, write address fixed,
// unpaced, chained to itself (no chaining), no ring, no byte swap.
static inline dma_channel_config dma_channel_get_default_config(uint channel) {
    dma_channel_config c = {0};
    channel_config_set_read_increment(&c, true);
    channel_config_set_write_increment(&c, false);
    channel_config_set_dreq(&c, DREQ_FORCE);
    channel_config_set_chain_to(&c, channel);
    channel_config_set_transfer_data_size(&c, DMA_SIZE_32);
    channel_config_set_ring(&c, false, 0);
    channel_config_set_bswap(&c, false);
    channel_config_set_irq_quiet(&c, false);
    channel_config_set_enable(&c, true);
    channel_config_set_sniff_enable(&c, false);
    channel_config_set_high_priority(&c, false);
    return c;
}

void dma_channel_claim(uint channel);
void dma_claim_mask(uint32_t channel_mask);
void dma_channel_unclaim(uint channel);
int dma_claim_unused_channel(bool required);
bool dma_channel_is_claimed(uint channel);

dma_channel_config dma_get_channel_config(uint channel);
void dma_channel_set_config(uint channel, const dma_channel_config *config, bool trigger);
void dma_channel_set_read_addr(uint channel, const volatile void *read_addr, bool trigger);
void dma_channel_set_write_addr(uint channel, volatile void *write_addr, bool trigger);
void dma_channel_set_trans_count(uint channel, uint32_t trans_count, bool trigger);
void dma_channel_configure(uint channel, const dma_channel_config *config, volatile void *write_addr,
                           const volatile void *read_addr, uint transfer_count, bool trigger);
void dma_channel_transfer_from_buffer_now(uint channel, const volatile void *read_addr, uint32_t transfer_count);
void dma_start_channel_mask(uint32_t chan_mask);
void dma_channel_start(uint channel);
void dma_channel_abort(uint channel);
bool dma_channel_is_busy(uint channel);
void dma_channel_wait_for_finish_blocking(uint channel);

void dma_channel_set_irq0_enabled(uint channel, bool enabled);
void dma_channel_set_irq1_enabled(uint channel, bool enabled);
void dma_set_irq0_channel_mask_enabled(uint32_t channel_mask, bool enabled);
bool dma_channel_get_irq0_status(uint channel);
bool dma_channel_get_irq1_status(uint channel);
void dma_channel_acknowledge_irq0(uint channel);
void dma_channel_acknowledge_irq1(uint channel);

#ifdef __cplusplus
}
#endif
