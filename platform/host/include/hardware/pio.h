// Simulated board: the two PIO blocks of four state machines each.
//
// The configuration helpers are the SDK's, register bit for register bit,
// so that a configuration built here is the one the board would get; the
// operations that touch a block are served by the PIO model
// (platform/host/board/pio.cpp), which runs the board's programs at the
// rate their clock dividers give.
#pragma once

#include "hardware/gpio.h"
#include "hardware/pio_instructions.h"
#include "hardware/regs/dreq.h"
#include "pico/types.h"

#define PICO_PIO_VERSION 0
#define NUM_PIOS 2u
#define NUM_PIO_STATE_MACHINES 4u
#define PIO_INSTRUCTION_COUNT 32u

// Register fields of a state machine, as on the RP2040.
#define PIO_SM0_CLKDIV_INT_LSB 16u
#define PIO_SM0_CLKDIV_FRAC_LSB 8u
#define PIO_SM0_EXECCTRL_SIDE_EN_BITS 0x40000000u
#define PIO_SM0_EXECCTRL_SIDE_EN_LSB 30u
#define PIO_SM0_EXECCTRL_SIDE_PINDIR_BITS 0x20000000u
#define PIO_SM0_EXECCTRL_SIDE_PINDIR_LSB 29u
#define PIO_SM0_EXECCTRL_JMP_PIN_BITS 0x1f000000u
#define PIO_SM0_EXECCTRL_JMP_PIN_LSB 24u
#define PIO_SM0_EXECCTRL_OUT_EN_SEL_BITS 0x00f80000u
#define PIO_SM0_EXECCTRL_OUT_EN_SEL_LSB 19u
#define PIO_SM0_EXECCTRL_INLINE_OUT_EN_BITS 0x00040000u
#define PIO_SM0_EXECCTRL_INLINE_OUT_EN_LSB 18u
#define PIO_SM0_EXECCTRL_OUT_STICKY_BITS 0x00020000u
#define PIO_SM0_EXECCTRL_OUT_STICKY_LSB 17u
#define PIO_SM0_EXECCTRL_WRAP_TOP_BITS 0x0001f000u
#define PIO_SM0_EXECCTRL_WRAP_TOP_LSB 12u
#define PIO_SM0_EXECCTRL_WRAP_BOTTOM_BITS 0x00000f80u
#define PIO_SM0_EXECCTRL_WRAP_BOTTOM_LSB 7u
#define PIO_SM0_EXECCTRL_STATUS_SEL_BITS 0x00000010u
#define PIO_SM0_EXECCTRL_STATUS_SEL_LSB 4u
#define PIO_SM0_EXECCTRL_STATUS_N_BITS 0x0000000fu
#define PIO_SM0_EXECCTRL_STATUS_N_LSB 0u
#define PIO_SM0_SHIFTCTRL_FJOIN_RX_BITS 0x80000000u
#define PIO_SM0_SHIFTCTRL_FJOIN_RX_LSB 31u
#define PIO_SM0_SHIFTCTRL_FJOIN_TX_BITS 0x40000000u
#define PIO_SM0_SHIFTCTRL_FJOIN_TX_LSB 30u
#define PIO_SM0_SHIFTCTRL_PULL_THRESH_BITS 0x3e000000u
#define PIO_SM0_SHIFTCTRL_PULL_THRESH_LSB 25u
#define PIO_SM0_SHIFTCTRL_PUSH_THRESH_BITS 0x01f00000u
#define PIO_SM0_SHIFTCTRL_PUSH_THRESH_LSB 20u
#define PIO_SM0_SHIFTCTRL_OUT_SHIFTDIR_BITS 0x00080000u
#define PIO_SM0_SHIFTCTRL_OUT_SHIFTDIR_LSB 19u
#define PIO_SM0_SHIFTCTRL_IN_SHIFTDIR_BITS 0x00040000u
#define PIO_SM0_SHIFTCTRL_IN_SHIFTDIR_LSB 18u
#define PIO_SM0_SHIFTCTRL_AUTOPULL_BITS 0x00020000u
#define PIO_SM0_SHIFTCTRL_AUTOPULL_LSB 17u
#define PIO_SM0_SHIFTCTRL_AUTOPUSH_BITS 0x00010000u
#define PIO_SM0_SHIFTCTRL_AUTOPUSH_LSB 16u
#define PIO_SM0_PINCTRL_SIDESET_COUNT_BITS 0xe0000000u
#define PIO_SM0_PINCTRL_SIDESET_COUNT_LSB 29u
#define PIO_SM0_PINCTRL_SET_COUNT_BITS 0x1c000000u
#define PIO_SM0_PINCTRL_SET_COUNT_LSB 26u
#define PIO_SM0_PINCTRL_OUT_COUNT_BITS 0x03f00000u
#define PIO_SM0_PINCTRL_OUT_COUNT_LSB 20u
#define PIO_SM0_PINCTRL_IN_BASE_BITS 0x000f8000u
#define PIO_SM0_PINCTRL_IN_BASE_LSB 15u
#define PIO_SM0_PINCTRL_SIDESET_BASE_BITS 0x00007c00u
#define PIO_SM0_PINCTRL_SIDESET_BASE_LSB 10u
#define PIO_SM0_PINCTRL_SET_BASE_BITS 0x000003e0u
#define PIO_SM0_PINCTRL_SET_BASE_LSB 5u
#define PIO_SM0_PINCTRL_OUT_BASE_BITS 0x0000001fu
#define PIO_SM0_PINCTRL_OUT_BASE_LSB 0u

// Round floating-point clock dividers to the nearest 1/256, as the SDK does
// by default.
#ifndef PICO_PIO_CLKDIV_ROUND_NEAREST
#define PICO_PIO_CLKDIV_ROUND_NEAREST 1
#endif

#define PICO_OK 0
#define PICO_ERROR_GENERIC (-1)
#define PICO_ERROR_INVALID_ARG (-5)
#define PICO_ERROR_INSUFFICIENT_RESOURCES (-8)
#define PICO_ERROR_BAD_ALIGNMENT (-10)
#define PICO_ERROR_VERSION_MISMATCH (-16)

// A block's registers, as far as the firmware addresses them: the transmit
// FIFOs are the write address of a DMA channel that feeds a state machine.
typedef struct pio_hw {
    volatile uint32_t txf[NUM_PIO_STATE_MACHINES];
} pio_hw_t;
typedef pio_hw_t *PIO;

#ifdef __cplusplus
extern "C" {
#endif

extern pio_hw_t vb_pio_blocks[NUM_PIOS];
#define pio0 (&vb_pio_blocks[0])
#define pio1 (&vb_pio_blocks[1])

enum pio_fifo_join {
    PIO_FIFO_JOIN_NONE = 0,
    PIO_FIFO_JOIN_TX = 1,
    PIO_FIFO_JOIN_RX = 2,
};

enum pio_mov_status_type {
    STATUS_TX_LESSTHAN = 0,
    STATUS_RX_LESSTHAN = 1,
};

typedef struct {
    uint32_t clkdiv;
    uint32_t execctrl;
    uint32_t shiftctrl;
    uint32_t pinctrl;
} pio_sm_config;

typedef struct pio_program {
    const uint16_t *instructions;
    uint8_t length;
    int8_t origin;  // required instruction memory origin or -1
    uint8_t pio_version;
} pio_program_t;

static inline uint32_t _pio_bit(bool b) { return b ? 1u : 0u; }

static inline void sm_config_set_out_pin_base(pio_sm_config *c, uint out_base) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_OUT_BASE_BITS) | ((out_base & 31u) << PIO_SM0_PINCTRL_OUT_BASE_LSB);
}
static inline void sm_config_set_out_pin_count(pio_sm_config *c, uint out_count) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_OUT_COUNT_BITS) | (out_count << PIO_SM0_PINCTRL_OUT_COUNT_LSB);
}
static inline void sm_config_set_out_pins(pio_sm_config *c, uint out_base, uint out_count) {
    sm_config_set_out_pin_base(c, out_base);
    sm_config_set_out_pin_count(c, out_count);
}
static inline void sm_config_set_set_pin_base(pio_sm_config *c, uint set_base) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_SET_BASE_BITS) | ((set_base & 31u) << PIO_SM0_PINCTRL_SET_BASE_LSB);
}
static inline void sm_config_set_set_pin_count(pio_sm_config *c, uint set_count) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_SET_COUNT_BITS) | (set_count << PIO_SM0_PINCTRL_SET_COUNT_LSB);
}
static inline void sm_config_set_set_pins(pio_sm_config *c, uint set_base, uint set_count) {
    sm_config_set_set_pin_base(c, set_base);
    sm_config_set_set_pin_count(c, set_count);
}
static inline void sm_config_set_in_pin_base(pio_sm_config *c, uint in_base) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_IN_BASE_BITS) | ((in_base & 31u) << PIO_SM0_PINCTRL_IN_BASE_LSB);
}
static inline void sm_config_set_in_pins(pio_sm_config *c, uint in_base) { sm_config_set_in_pin_base(c, in_base); }
// Fixed at 32 on the RP2040's PIO.
static inline void sm_config_set_in_pin_count(pio_sm_config *c, uint in_count) {
    (void)c;
    (void)in_count;
}
static inline void sm_config_set_sideset_pin_base(pio_sm_config *c, uint sideset_base) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_SIDESET_BASE_BITS) |
                 ((sideset_base & 31u) << PIO_SM0_PINCTRL_SIDESET_BASE_LSB);
}
static inline void sm_config_set_sideset_pins(pio_sm_config *c, uint sideset_base) {
    sm_config_set_sideset_pin_base(c, sideset_base);
}
// The count includes the enable bit when the side-set is optional.
static inline void sm_config_set_sideset(pio_sm_config *c, uint bit_count, bool optional, bool pindirs) {
    c->pinctrl = (c->pinctrl & ~PIO_SM0_PINCTRL_SIDESET_COUNT_BITS) | (bit_count << PIO_SM0_PINCTRL_SIDESET_COUNT_LSB);
    c->execctrl = (c->execctrl & ~(PIO_SM0_EXECCTRL_SIDE_EN_BITS | PIO_SM0_EXECCTRL_SIDE_PINDIR_BITS)) |
                  (_pio_bit(optional) << PIO_SM0_EXECCTRL_SIDE_EN_LSB) |
                  (_pio_bit(pindirs) << PIO_SM0_EXECCTRL_SIDE_PINDIR_LSB);
}
static inline void sm_config_set_clkdiv_int_frac8(pio_sm_config *c, uint32_t div_int, uint8_t div_frac8) {
    c->clkdiv = (((uint32_t)div_frac8) << PIO_SM0_CLKDIV_FRAC_LSB) | (div_int << PIO_SM0_CLKDIV_INT_LSB);
}
static inline void sm_config_set_clkdiv_int_frac(pio_sm_config *c, uint16_t div_int, uint8_t div_frac8) {
    sm_config_set_clkdiv_int_frac8(c, div_int, div_frac8);
}
// Single-precision, rounded to the nearest 1/256 and truncated, exactly as
// the SDK computes it.
static inline void pio_calculate_clkdiv8_from_float(float div, uint32_t *div_int, uint8_t *div_frac8) {
#if PICO_PIO_CLKDIV_ROUND_NEAREST
    div += 0.5f / (1 << 8);
#endif
    *div_int = (uint16_t)div;
    if (*div_int == 0) {
        *div_frac8 = 0;
    } else {
        *div_frac8 = (uint8_t)((div - (float)*div_int) * (1u << 8));
    }
}
static inline void pio_calculate_clkdiv_from_float(float div, uint16_t *div_int16, uint8_t *div_frac8) {
    uint32_t div_int;
    pio_calculate_clkdiv8_from_float(div, &div_int, div_frac8);
    *div_int16 = (uint16_t)div_int;
}
static inline void sm_config_set_clkdiv(pio_sm_config *c, float div) {
    uint32_t div_int;
    uint8_t div_frac8;
    pio_calculate_clkdiv8_from_float(div, &div_int, &div_frac8);
    sm_config_set_clkdiv_int_frac8(c, div_int, div_frac8);
}
static inline void sm_config_set_wrap(pio_sm_config *c, uint wrap_target, uint wrap) {
    c->execctrl = (c->execctrl & ~(PIO_SM0_EXECCTRL_WRAP_TOP_BITS | PIO_SM0_EXECCTRL_WRAP_BOTTOM_BITS)) |
                  (wrap_target << PIO_SM0_EXECCTRL_WRAP_BOTTOM_LSB) | (wrap << PIO_SM0_EXECCTRL_WRAP_TOP_LSB);
}
static inline void sm_config_set_jmp_pin(pio_sm_config *c, uint pin) {
    c->execctrl = (c->execctrl & ~PIO_SM0_EXECCTRL_JMP_PIN_BITS) | ((pin & 31u) << PIO_SM0_EXECCTRL_JMP_PIN_LSB);
}
static inline void sm_config_set_in_shift(pio_sm_config *c, bool shift_right, bool autopush, uint push_threshold) {
    c->shiftctrl = (c->shiftctrl & ~(PIO_SM0_SHIFTCTRL_IN_SHIFTDIR_BITS | PIO_SM0_SHIFTCTRL_AUTOPUSH_BITS |
                                     PIO_SM0_SHIFTCTRL_PUSH_THRESH_BITS)) |
                   (_pio_bit(shift_right) << PIO_SM0_SHIFTCTRL_IN_SHIFTDIR_LSB) |
                   (_pio_bit(autopush) << PIO_SM0_SHIFTCTRL_AUTOPUSH_LSB) |
                   ((push_threshold & 0x1fu) << PIO_SM0_SHIFTCTRL_PUSH_THRESH_LSB);
}
// A threshold of 32 is stored as 0.
static inline void sm_config_set_out_shift(pio_sm_config *c, bool shift_right, bool autopull, uint pull_threshold) {
    c->shiftctrl = (c->shiftctrl & ~(PIO_SM0_SHIFTCTRL_OUT_SHIFTDIR_BITS | PIO_SM0_SHIFTCTRL_AUTOPULL_BITS |
                                     PIO_SM0_SHIFTCTRL_PULL_THRESH_BITS)) |
                   (_pio_bit(shift_right) << PIO_SM0_SHIFTCTRL_OUT_SHIFTDIR_LSB) |
                   (_pio_bit(autopull) << PIO_SM0_SHIFTCTRL_AUTOPULL_LSB) |
                   ((pull_threshold & 0x1fu) << PIO_SM0_SHIFTCTRL_PULL_THRESH_LSB);
}
static inline void sm_config_set_fifo_join(pio_sm_config *c, enum pio_fifo_join join) {
    c->shiftctrl = (c->shiftctrl & ~(PIO_SM0_SHIFTCTRL_FJOIN_TX_BITS | PIO_SM0_SHIFTCTRL_FJOIN_RX_BITS)) |
                   (((uint32_t)join) << PIO_SM0_SHIFTCTRL_FJOIN_TX_LSB);
}
static inline void sm_config_set_out_special(pio_sm_config *c, bool sticky, bool has_enable_pin, uint enable_bit_index) {
    c->execctrl = (c->execctrl & ~(PIO_SM0_EXECCTRL_OUT_STICKY_BITS | PIO_SM0_EXECCTRL_INLINE_OUT_EN_BITS |
                                   PIO_SM0_EXECCTRL_OUT_EN_SEL_BITS)) |
                  (_pio_bit(sticky) << PIO_SM0_EXECCTRL_OUT_STICKY_LSB) |
                  (_pio_bit(has_enable_pin) << PIO_SM0_EXECCTRL_INLINE_OUT_EN_LSB) |
                  ((enable_bit_index << PIO_SM0_EXECCTRL_OUT_EN_SEL_LSB) & PIO_SM0_EXECCTRL_OUT_EN_SEL_BITS);
}
static inline void sm_config_set_mov_status(pio_sm_config *c, enum pio_mov_status_type status_sel, uint status_n) {
    c->execctrl = (c->execctrl & ~(PIO_SM0_EXECCTRL_STATUS_SEL_BITS | PIO_SM0_EXECCTRL_STATUS_N_BITS)) |
                  ((((uint32_t)status_sel) << PIO_SM0_EXECCTRL_STATUS_SEL_LSB) & PIO_SM0_EXECCTRL_STATUS_SEL_BITS) |
                  ((status_n << PIO_SM0_EXECCTRL_STATUS_N_LSB) & PIO_SM0_EXECCTRL_STATUS_N_BITS);
}
static inline pio_sm_config pio_get_default_sm_config(void) {
    pio_sm_config c = {0, 0, 0, 0};
    sm_config_set_clkdiv_int_frac8(&c, 1, 0);
    sm_config_set_wrap(&c, 0, 31);
    sm_config_set_in_shift(&c, true, false, 32);
    sm_config_set_out_shift(&c, true, false, 32);
    return c;
}

static inline uint pio_get_index(PIO pio) { return (uint)(pio - pio0); }
static inline uint pio_get_funcsel(PIO pio) { return GPIO_FUNC_PIO0 + pio_get_index(pio); }
static inline PIO pio_get_instance(uint instance) { return &vb_pio_blocks[instance]; }
static inline void pio_gpio_init(PIO pio, uint pin) { gpio_set_function(pin, (gpio_function_t)pio_get_funcsel(pio)); }
static inline uint pio_get_dreq(PIO pio, uint sm, bool is_tx) {
    return DREQ_PIO0_TX0 + sm + (is_tx ? 0u : NUM_PIO_STATE_MACHINES) + pio_get_index(pio) * (DREQ_PIO1_TX0 - DREQ_PIO0_TX0);
}

// Instruction memory and state machine claims.
bool pio_can_add_program(PIO pio, const pio_program_t *program);
bool pio_can_add_program_at_offset(PIO pio, const pio_program_t *program, uint offset);
int pio_add_program(PIO pio, const pio_program_t *program);
int pio_add_program_at_offset(PIO pio, const pio_program_t *program, uint offset);
void pio_remove_program(PIO pio, const pio_program_t *program, uint loaded_offset);
void pio_clear_instruction_memory(PIO pio);
void pio_sm_claim(PIO pio, uint sm);
void pio_claim_sm_mask(PIO pio, uint sm_mask);
void pio_sm_unclaim(PIO pio, uint sm);
int pio_claim_unused_sm(PIO pio, bool required);
bool pio_sm_is_claimed(PIO pio, uint sm);
bool pio_claim_free_sm_and_add_program(const pio_program_t *program, PIO *pio, uint *sm, uint *offset);
bool pio_claim_free_sm_and_add_program_for_gpio_range(const pio_program_t *program, PIO *pio, uint *sm, uint *offset,
                                                      uint gpio_base, uint gpio_count, bool set_gpio_base);
void pio_remove_program_and_unclaim_sm(const pio_program_t *program, PIO pio, uint sm, uint offset);

// State machines.
int pio_sm_set_config(PIO pio, uint sm, const pio_sm_config *config);
int pio_sm_init(PIO pio, uint sm, uint initial_pc, const pio_sm_config *config);
void pio_sm_set_enabled(PIO pio, uint sm, bool enabled);
void pio_sm_restart(PIO pio, uint sm);
void pio_sm_clkdiv_restart(PIO pio, uint sm);
void pio_sm_exec(PIO pio, uint sm, uint instr);
void pio_sm_exec_wait_blocking(PIO pio, uint sm, uint instr);
uint8_t pio_sm_get_pc(PIO pio, uint sm);
void pio_sm_set_clkdiv_int_frac8(PIO pio, uint sm, uint32_t div_int, uint8_t div_frac8);
void pio_sm_set_clkdiv(PIO pio, uint sm, float div);
void pio_sm_clear_fifos(PIO pio, uint sm);
void pio_sm_drain_tx_fifo(PIO pio, uint sm);
int pio_sm_set_consecutive_pindirs(PIO pio, uint sm, uint pins_base, uint pin_count, bool is_out);
void pio_sm_set_pindirs_with_mask(PIO pio, uint sm, uint32_t pin_dirs, uint32_t pin_mask);
void pio_sm_set_pins_with_mask(PIO pio, uint sm, uint32_t pin_values, uint32_t pin_mask);

// Transmit FIFO.
void pio_sm_put(PIO pio, uint sm, uint32_t data);
void pio_sm_put_blocking(PIO pio, uint sm, uint32_t data);
bool pio_sm_is_tx_fifo_full(PIO pio, uint sm);
bool pio_sm_is_tx_fifo_empty(PIO pio, uint sm);
uint pio_sm_get_tx_fifo_level(PIO pio, uint sm);

#ifdef __cplusplus
}
#endif
