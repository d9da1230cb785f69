// Simulated board: encoders of PIO instructions, bit for bit as the SDK's.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

enum pio_instr_bits {
    pio_instr_bits_jmp = 0x0000,
    pio_instr_bits_wait = 0x2000,
    pio_instr_bits_in = 0x4000,
    pio_instr_bits_out = 0x6000,
    pio_instr_bits_push = 0x8000,
    pio_instr_bits_pull = 0x8080,
    pio_instr_bits_mov = 0xa000,
    pio_instr_bits_irq = 0xc000,
    pio_instr_bits_set = 0xe000,
};

// Sources and destinations; only the low three bits reach the encoding.
enum pio_src_dest {
    pio_pins = 0u,
    pio_x = 1u,
    pio_y = 2u,
    pio_null = 3u,
    pio_pindirs = 4u,
    pio_exec_mov = 4u,
    pio_status = 5u,
    pio_pc = 5u,
    pio_isr = 6u,
    pio_osr = 7u,
    pio_exec_out = 7u,
};

static inline uint _pio_major_instr_bits(uint instr) { return instr & 0xe000u; }
static inline uint _pio_arg1(uint instr) { return (instr >> 5) & 0x7u; }
static inline uint _pio_encode_instr_and_args(enum pio_instr_bits instr_bits, uint arg1, uint arg2) {
    return (uint)instr_bits | (arg1 << 5u) | (arg2 & 0x1fu);
}
static inline uint _pio_encode_instr_and_src_dest(enum pio_instr_bits instr_bits, enum pio_src_dest dest, uint value) {
    return _pio_encode_instr_and_args(instr_bits, (uint)dest & 7u, value);
}
static inline uint _pio_encode_irq(bool relative, uint irq) { return (relative ? 0x10u : 0x0u) | irq; }

static inline uint pio_encode_delay(uint cycles) { return cycles << 8u; }
static inline uint pio_encode_sideset(uint sideset_bit_count, uint value) { return value << (13u - sideset_bit_count); }
static inline uint pio_encode_sideset_opt(uint sideset_bit_count, uint value) {
    return 0x1000u | value << (12u - sideset_bit_count);
}
static inline uint pio_encode_jmp(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 0, addr); }
static inline uint pio_encode_jmp_not_x(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 1, addr); }
static inline uint pio_encode_jmp_x_dec(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 2, addr); }
static inline uint pio_encode_jmp_not_y(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 3, addr); }
static inline uint pio_encode_jmp_y_dec(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 4, addr); }
static inline uint pio_encode_jmp_x_ne_y(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 5, addr); }
static inline uint pio_encode_jmp_pin(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 6, addr); }
static inline uint pio_encode_jmp_not_osre(uint addr) { return _pio_encode_instr_and_args(pio_instr_bits_jmp, 7, addr); }
static inline uint pio_encode_wait_gpio(bool polarity, uint gpio) {
    return _pio_encode_instr_and_args(pio_instr_bits_wait, 0u | (polarity ? 4u : 0u), gpio);
}
static inline uint pio_encode_wait_pin(bool polarity, uint pin) {
    return _pio_encode_instr_and_args(pio_instr_bits_wait, 1u | (polarity ? 4u : 0u), pin);
}
static inline uint pio_encode_wait_irq(bool polarity, bool relative, uint irq) {
    return _pio_encode_instr_and_args(pio_instr_bits_wait, 2u | (polarity ? 4u : 0u), _pio_encode_irq(relative, irq));
}
static inline uint pio_encode_in(enum pio_src_dest src, uint count) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_in, src, count);
}
static inline uint pio_encode_out(enum pio_src_dest dest, uint count) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_out, dest, count);
}
static inline uint pio_encode_push(bool if_full, bool block) {
    return _pio_encode_instr_and_args(pio_instr_bits_push, (if_full ? 2u : 0u) | (block ? 1u : 0u), 0);
}
static inline uint pio_encode_pull(bool if_empty, bool block) {
    return _pio_encode_instr_and_args(pio_instr_bits_pull, (if_empty ? 2u : 0u) | (block ? 1u : 0u), 0);
}
static inline uint pio_encode_mov(enum pio_src_dest dest, enum pio_src_dest src) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_mov, dest, (uint)src & 7u);
}
static inline uint pio_encode_mov_not(enum pio_src_dest dest, enum pio_src_dest src) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_mov, dest, (1u << 3u) | ((uint)src & 7u));
}
static inline uint pio_encode_mov_reverse(enum pio_src_dest dest, enum pio_src_dest src) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_mov, dest, (2u << 3u) | ((uint)src & 7u));
}
static inline uint pio_encode_irq_set(bool relative, uint irq) {
    return _pio_encode_instr_and_args(pio_instr_bits_irq, 0, _pio_encode_irq(relative, irq));
}
static inline uint pio_encode_irq_wait(bool relative, uint irq) {
    return _pio_encode_instr_and_args(pio_instr_bits_irq, 1, _pio_encode_irq(relative, irq));
}
static inline uint pio_encode_irq_clear(bool relative, uint irq) {
    return _pio_encode_instr_and_args(pio_instr_bits_irq, 2, _pio_encode_irq(relative, irq));
}
static inline uint pio_encode_set(enum pio_src_dest dest, uint value) {
    return _pio_encode_instr_and_src_dest(pio_instr_bits_set, dest, value);
}
static inline uint pio_encode_nop(void) { return pio_encode_mov(pio_y, pio_y); }

#ifdef __cplusplus
}
#endif
