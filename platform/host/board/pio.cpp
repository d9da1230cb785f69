// The two PIO blocks: instruction memory loaded and claimed as the SDK does
// it, and state machines whose transmit FIFOs drain at the rate their
// program and clock divider give.
//
// The model runs the board's two programs, recognised by the instruction
// words between a machine's wrap bounds when it is started: the WS2815
// strip program (one 24-bit pixel per word, 10 PIO cycles per bit) and the
// I2S output (one stereo frame per word, 2 PIO cycles per bit). Starting a
// machine on anything else stops the board, so a wrong program or a wrong
// configuration is caught rather than silently timed. What leaves the pins
// is decoded into what the devices see: each strip's frames of pixels
// (a frame ends when the line has been low for the WS2815 latch time) and
// the amplifier's stream of stereo frames.
#include "hardware/pio.h"

#include "pico/platform.h"

#include <algorithm>

#include "board.h"
#include "devices.h"
#include "pio_dma.h"

extern "C" {
pio_hw_t vb_pio_blocks[NUM_PIOS];
}

namespace vb {

namespace {

PioState *pios = shared_alloc<PioState>();
// Zeroed by the mapping; too large to construct in every test process.
I2sFrame *const i2s_frames =
    static_cast<I2sFrame *>(shared_alloc_bytes(sizeof(I2sFrame) * kI2sLogSize, alignof(I2sFrame)));

struct KnownProgram {
    PioProgram id;
    const char *name;
    const uint16_t *instr;  // as assembled: jump targets relative to the first instruction
    unsigned length;
    unsigned sideset_count;
    unsigned cycles_per_bit;
};

constexpr uint16_t kWs2815Instr[] = {0x6221, 0x1123, 0x1400, 0xA442};
constexpr uint16_t kI2sOutInstr[] = {0xA822, 0x6001, 0x0841, 0x7001, 0xB822, 0x7001, 0x1845, 0x6001};
// Y holds the bits of one channel less two.
constexpr uint32_t kI2sY = 14;

constexpr KnownProgram kPrograms[] = {
    {PioProgram::Ws2815, "ws2815", kWs2815Instr, 4, 1, 10},
    {PioProgram::I2sOut, "pio_i2s_out", kI2sOutInstr, 8, 2, 2},
};

constexpr unsigned kStripBitsPerPixel = 24;
constexpr uint64_t kNsPerS = 1000000000;

void reset_pio() {
    for (PioBlock &b : pios->block) b = PioBlock{};
    for (Strip &s : pios->strips) {
        // A strip keeps its pixels (and its frame log) across a reset of the
        // board; a frame on its way stops here and latches what it got.
        if (s.receiving && s.line_idle_ns == kNever) s.line_idle_ns = board().now_ns;
    }
}

uint64_t next_pio_event();
void fire_pio(uint64_t now_ns);

Device pio_device{{"pio", next_pio_event, fire_pio, reset_pio}};

PioBlock &block_of(PIO pio) {
    const uint index = pio_get_index(pio);
    if (index >= kPioBlocks) board_halt("PIO: not a PIO block");
    return pios->block[index];
}

PioSm &sm_of(PIO pio, uint sm) {
    if (sm >= kPioSms) board_halt("PIO: state machine number out of range");
    return block_of(pio).sm[sm];
}

unsigned field(uint32_t reg, uint32_t bits, unsigned lsb) {
    return (reg & bits) >> lsb;
}

unsigned fifo_depth(const PioSm &s) {
    if (s.shiftctrl & PIO_SM0_SHIFTCTRL_FJOIN_TX_BITS) return kPioJoinedFifoDepth;
    if (s.shiftctrl & PIO_SM0_SHIFTCTRL_FJOIN_RX_BITS) return 0;
    return kPioFifoDepth;
}

unsigned pull_threshold(const PioSm &s) {
    const unsigned t = field(s.shiftctrl, PIO_SM0_SHIFTCTRL_PULL_THRESH_BITS, PIO_SM0_SHIFTCTRL_PULL_THRESH_LSB);
    return t == 0 ? 32 : t;
}

bool shifts_right(const PioSm &s) {
    return s.shiftctrl & PIO_SM0_SHIFTCTRL_OUT_SHIFTDIR_BITS;
}

const KnownProgram *program_info(PioProgram id) {
    for (const KnownProgram &p : kPrograms) {
        if (p.id == id) return &p;
    }
    return nullptr;
}

// Duration of `words` words of an unbroken stream, in ns, from the clock
// divider (int + frac/256; an integer part of 0 means 65536).
uint64_t stream_ns(const PioSm &s, uint64_t words) {
    const KnownProgram *p = program_info(s.program);
    const uint64_t div_int = s.clkdiv >> PIO_SM0_CLKDIV_INT_LSB;
    const uint64_t div256 = (div_int == 0 ? 65536 : div_int) * 256 + ((s.clkdiv >> PIO_SM0_CLKDIV_FRAC_LSB) & 0xff);
    const unsigned __int128 cycles256 =
        static_cast<unsigned __int128>(words) * pull_threshold(s) * p->cycles_per_bit * div256;
    return static_cast<uint64_t>(cycles256 * kNsPerS / (uint64_t{256} * board().sys_clock_hz));
}

// A pin is driven by a block when its function selects the block and the
// block drives it as an output.
bool wired(unsigned block, unsigned pin) {
    if (pin >= kGpioCount) return false;
    return board().pins[pin].func == kFuncPio0 + block && (pios->block[block].pindirs & (1u << pin));
}

// The bits of a word in the order they leave, most significant first.
uint32_t as_sent(const PioSm &s, uint32_t word) {
    if (!shifts_right(s)) return word;
    uint32_t r = 0;
    for (unsigned i = 0; i < 32; i++) r |= ((word >> i) & 1u) << (31 - i);
    return r;
}

Strip *strip_on(unsigned pin) {
    for (Strip &s : pios->strips) {
        if (s.used && s.pin == pin) return &s;
    }
    for (Strip &s : pios->strips) {
        if (!s.used) {
            s = Strip{};
            s.used = true;
            s.pin = static_cast<uint8_t>(pin);
            return &s;
        }
    }
    board_halt("PIO: too many strips");
}

void latch(Strip &s) {
    s.frames[s.frames_total % kStripFrameLog] = s.current;
    s.frames_total++;
    const unsigned n = std::min<uint32_t>(s.current.words, std::min(kStripPixels, kStripFrameMaxPixels));
    for (unsigned i = 0; i < n; i++) s.shown[i] = s.current.pixels[i];
    s.receiving = false;
}

void strip_word(unsigned block, const PioSm &s, uint32_t word, uint64_t start_ns) {
    const unsigned pin = field(s.pinctrl, PIO_SM0_PINCTRL_SIDESET_BASE_BITS, PIO_SM0_PINCTRL_SIDESET_BASE_LSB);
    if (!wired(block, pin)) return;
    Strip &strip = *strip_on(pin);
    if (strip.receiving && strip.line_idle_ns != kNever && start_ns >= strip.line_idle_ns + kStripLatchNs) {
        latch(strip);
    }
    if (!strip.receiving) {
        strip.receiving = true;
        strip.current.start_ns = start_ns;
        strip.current.words = 0;
        strip.bits = 0;
        strip.bit_count = 0;
    }
    strip.line_idle_ns = kNever;
    const uint32_t bits = as_sent(s, word);
    for (unsigned i = 0; i < pull_threshold(s); i++) {
        strip.bits = (strip.bits << 1) | ((bits >> (31 - i)) & 1u);
        if (++strip.bit_count < kStripBitsPerPixel) continue;
        if (strip.current.words < kStripFrameMaxPixels) strip.current.pixels[strip.current.words] = strip.bits << 8;
        strip.current.words++;
        strip.bits = 0;
        strip.bit_count = 0;
    }
}

void strip_word_end(const PioSm &s, uint64_t end_ns) {
    const unsigned pin = field(s.pinctrl, PIO_SM0_PINCTRL_SIDESET_BASE_BITS, PIO_SM0_PINCTRL_SIDESET_BASE_LSB);
    for (Strip &strip : pios->strips) {
        if (!strip.used || strip.pin != pin || !strip.receiving) continue;
        strip.line_idle_ns = end_ns;
        strip.current.end_ns = end_ns;
    }
}

void i2s_word(unsigned block, const PioSm &s, uint32_t word, uint64_t start_ns) {
    const unsigned data = field(s.pinctrl, PIO_SM0_PINCTRL_OUT_BASE_BITS, PIO_SM0_PINCTRL_OUT_BASE_LSB);
    const unsigned clocks = field(s.pinctrl, PIO_SM0_PINCTRL_SIDESET_BASE_BITS, PIO_SM0_PINCTRL_SIDESET_BASE_LSB);
    if (!wired(block, data) || !wired(block, clocks) || !wired(block, clocks + 1)) {
        pios->i2s_unwired++;
        return;
    }
    i2s_frames[pios->i2s_total % kI2sLogSize] = I2sFrame{start_ns, as_sent(s, word), pin_levels()};
    pios->i2s_total++;
}

// Moves the FIFO's oldest word into the output shift register at `t_ns`;
// `unbroken` when it follows the previous word without a pause.
void start_word(unsigned block, unsigned index, uint64_t t_ns, bool unbroken) {
    PioSm &s = pios->block[block].sm[index];
    const uint32_t word = s.fifo[s.fifo_head];
    s.fifo_head = (s.fifo_head + 1) % kPioJoinedFifoDepth;
    s.fifo_count--;
    if (s.stalled && s.fed && s.program == PioProgram::I2sOut) {
        pios->gaps[pios->gaps_total % kPioGapLogSize] =
            PioGap{s.stalled_since_ns, t_ns, static_cast<uint8_t>(block), static_cast<uint8_t>(index)};
        pios->gaps_total++;
    }
    s.stalled = false;
    s.fed = true;
    if (unbroken) {
        s.anchor_words++;
    } else {
        s.anchor_ns = t_ns;
        s.anchor_words = 0;
    }
    s.shifting = true;
    s.word = word;
    s.word_start_ns = t_ns;
    s.word_end_ns = s.anchor_ns + stream_ns(s, s.anchor_words + 1);
    s.words_sent++;
    if (s.program == PioProgram::Ws2815) strip_word(block, s, word, t_ns);
}

void end_word(unsigned block, unsigned index) {
    PioSm &s = pios->block[block].sm[index];
    const uint64_t t = s.word_end_ns;
    s.shifting = false;
    if (s.program == PioProgram::Ws2815) strip_word_end(s, t);
    // An I2S frame is heard once its last bit is out: one cut short by a
    // stopped machine never reaches the amplifier whole.
    if (s.program == PioProgram::I2sOut) i2s_word(block, s, s.word, s.word_start_ns);
    if (s.fifo_count > 0) {
        start_word(block, index, t, true);
    } else {
        s.stalled = true;
        s.stalled_since_ns = t;
    }
}

unsigned dreq_of(unsigned block, unsigned index) {
    return block * 8 + index;
}

uint64_t next_pio_event() {
    uint64_t next = kNever;
    for (const PioBlock &b : pios->block) {
        for (const PioSm &s : b.sm) {
            if (s.enabled && s.shifting) next = std::min(next, s.word_end_ns);
        }
    }
    for (const Strip &s : pios->strips) {
        if (s.used && s.receiving && s.line_idle_ns != kNever) next = std::min(next, s.line_idle_ns + kStripLatchNs);
    }
    return next;
}

void fire_pio(uint64_t now_ns) {
    for (unsigned b = 0; b < kPioBlocks; b++) {
        for (unsigned i = 0; i < kPioSms; i++) {
            PioSm &s = pios->block[b].sm[i];
            if (!s.enabled || !s.shifting || s.word_end_ns > now_ns) continue;
            end_word(b, i);
            dma_service(dreq_of(b, i));
        }
    }
    for (Strip &s : pios->strips) {
        if (s.used && s.receiving && s.line_idle_ns != kNever && s.line_idle_ns + kStripLatchNs <= now_ns) latch(s);
    }
}

// The program between the wrap bounds, if it is one the board runs, loaded
// with its jumps moved by its offset.
const KnownProgram *recognise(const PioBlock &b, const PioSm &s) {
    const unsigned bottom = field(s.execctrl, PIO_SM0_EXECCTRL_WRAP_BOTTOM_BITS, PIO_SM0_EXECCTRL_WRAP_BOTTOM_LSB);
    const unsigned top = field(s.execctrl, PIO_SM0_EXECCTRL_WRAP_TOP_BITS, PIO_SM0_EXECCTRL_WRAP_TOP_LSB);
    for (const KnownProgram &p : kPrograms) {
        if (top < bottom || top - bottom + 1 != p.length) continue;
        bool same = true;
        for (unsigned i = 0; i < p.length && same; i++) {
            const uint16_t want = _pio_major_instr_bits(p.instr[i]) == pio_instr_bits_jmp
                                      ? static_cast<uint16_t>(p.instr[i] + bottom)
                                      : p.instr[i];
            same = b.instr[bottom + i] == want;
        }
        if (same) return &p;
    }
    return nullptr;
}

void check_startable(const PioBlock &b, PioSm &s) {
    const KnownProgram *p = recognise(b, s);
    if (p == nullptr) board_halt("PIO: a state machine was started on a program the board does not run");
    const unsigned bottom = field(s.execctrl, PIO_SM0_EXECCTRL_WRAP_BOTTOM_BITS, PIO_SM0_EXECCTRL_WRAP_BOTTOM_LSB);
    if (s.pc < bottom || s.pc >= bottom + p->length) board_halt("PIO: a state machine was started outside its program");
    if (field(s.pinctrl, PIO_SM0_PINCTRL_SIDESET_COUNT_BITS, PIO_SM0_PINCTRL_SIDESET_COUNT_LSB) != p->sideset_count ||
        (s.execctrl & PIO_SM0_EXECCTRL_SIDE_EN_BITS) || (s.execctrl & PIO_SM0_EXECCTRL_SIDE_PINDIR_BITS)) {
        board_halt("PIO: the side-set configuration does not match the program");
    }
    if (!(s.shiftctrl & PIO_SM0_SHIFTCTRL_AUTOPULL_BITS)) board_halt("PIO: the program needs automatic pull");
    if (p->id == PioProgram::I2sOut) {
        if (pull_threshold(s) != 32) board_halt("PIO: pio_i2s_out needs a pull threshold of 32 bits");
        if (s.y != kI2sY) board_halt("PIO: pio_i2s_out started with Y not holding 14");
    }
    s.program = p->id;
}

// Instruction memory, as the SDK manages it: programs go as high as they fit.
int find_offset_for_program(const PioBlock &b, const pio_program_t *program) {
    const uint32_t program_mask = (1u << program->length) - 1;
    if (program->origin >= 0) {
        if (program->origin > static_cast<int>(kPioInstructions - program->length)) return PICO_ERROR_GENERIC;
        return b.used & (program_mask << program->origin) ? -1 : program->origin;
    }
    for (int i = static_cast<int>(kPioInstructions - program->length); i >= 0; i--) {
        if (!(b.used & (program_mask << static_cast<unsigned>(i)))) return i;
    }
    return PICO_ERROR_INSUFFICIENT_RESOURCES;
}

int add_program_at_offset_check(const PioBlock &b, const pio_program_t *program, uint offset) {
    if (offset >= kPioInstructions || offset + program->length > kPioInstructions) return PICO_ERROR_INVALID_ARG;
    if (program->pio_version) return PICO_ERROR_VERSION_MISMATCH;
    if (program->origin >= 0 && static_cast<uint>(program->origin) != offset) return PICO_ERROR_BAD_ALIGNMENT;
    const uint32_t program_mask = (1u << program->length) - 1;
    return (b.used & (program_mask << offset)) ? PICO_ERROR_INSUFFICIENT_RESOURCES : PICO_OK;
}

int add_program_at_offset(PioBlock &b, const pio_program_t *program, uint offset) {
    const int rc = add_program_at_offset_check(b, program, offset);
    if (rc != 0) return rc;
    for (uint i = 0; i < program->length; ++i) {
        const uint16_t instr = program->instructions[i];
        b.instr[offset + i] =
            _pio_major_instr_bits(instr) != pio_instr_bits_jmp ? instr : static_cast<uint16_t>(instr + offset);
    }
    b.used |= ((1u << program->length) - 1) << offset;
    return static_cast<int>(offset);
}

}  // namespace

PioState &pio_state() {
    return *pios;
}

I2sFrame *i2s_log() {
    return i2s_frames;
}

bool pio_fifo_of_address(uintptr_t addr, unsigned *block, unsigned *sm) {
    for (unsigned b = 0; b < kPioBlocks; b++) {
        for (unsigned i = 0; i < kPioSms; i++) {
            if (addr == reinterpret_cast<uintptr_t>(&vb_pio_blocks[b].txf[i])) {
                *block = b;
                *sm = i;
                return true;
            }
        }
    }
    return false;
}

bool pio_dreq_active(unsigned dreq) {
    if (dreq >= 2 * 8 || dreq % 8 >= kPioSms) return false;  // receive requests: nothing is ever received
    const PioSm &s = pios->block[dreq / 8].sm[dreq % 8];
    return s.fifo_count < fifo_depth(s);
}

void pio_fifo_write(unsigned block, unsigned index, uint32_t word) {
    PioSm &s = pios->block[block].sm[index];
    if (s.fifo_count >= fifo_depth(s)) {
        s.tx_overflows++;
        return;
    }
    s.fifo[(s.fifo_head + s.fifo_count) % kPioJoinedFifoDepth] = word;
    s.fifo_count++;
    s.words_pushed++;
    if (s.enabled && !s.shifting) start_word(block, index, board().now_ns, false);
    reschedule();
}

}  // namespace vb

using vb::pios;

extern "C" {

bool pio_can_add_program(PIO pio, const pio_program_t *program) {
    vb::charge();
    const vb::PioBlock &b = vb::block_of(pio);
    int rc = vb::find_offset_for_program(b, program);
    if (rc >= 0) rc = vb::add_program_at_offset_check(b, program, static_cast<uint>(rc));
    return rc == 0;
}

bool pio_can_add_program_at_offset(PIO pio, const pio_program_t *program, uint offset) {
    vb::charge();
    return vb::add_program_at_offset_check(vb::block_of(pio), program, offset) == 0;
}

int pio_add_program(PIO pio, const pio_program_t *program) {
    vb::charge();
    vb::PioBlock &b = vb::block_of(pio);
    int offset = vb::find_offset_for_program(b, program);
    if (offset >= 0) offset = vb::add_program_at_offset(b, program, static_cast<uint>(offset));
    return offset;
}

int pio_add_program_at_offset(PIO pio, const pio_program_t *program, uint offset) {
    vb::charge();
    return vb::add_program_at_offset(vb::block_of(pio), program, offset);
}

void pio_remove_program(PIO pio, const pio_program_t *program, uint loaded_offset) {
    vb::charge();
    vb::block_of(pio).used &= ~(((1u << program->length) - 1) << loaded_offset);
}

void pio_clear_instruction_memory(PIO pio) {
    vb::charge();
    vb::PioBlock &b = vb::block_of(pio);
    b.used = 0;
    for (uint i = 0; i < vb::kPioInstructions; i++) b.instr[i] = static_cast<uint16_t>(pio_encode_jmp(i));
}

void pio_sm_claim(PIO pio, uint sm) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    if (s.claimed) {
        panic(pio_get_index(pio) == 1 ? "PIO 1 SM (%d - 4) already claimed" : "PIO 0 SM %d already claimed",
              static_cast<int>(pio_get_index(pio) * vb::kPioSms + sm));
    }
    s.claimed = true;
}

void pio_claim_sm_mask(PIO pio, uint sm_mask) {
    for (uint i = 0; sm_mask; i++, sm_mask >>= 1u) {
        if (sm_mask & 1u) pio_sm_claim(pio, i);
    }
}

void pio_sm_unclaim(PIO pio, uint sm) {
    vb::charge();
    vb::sm_of(pio, sm).claimed = false;
}

// The lowest free state machine of the block.
int pio_claim_unused_sm(PIO pio, bool required) {
    vb::charge();
    vb::PioBlock &b = vb::block_of(pio);
    for (uint i = 0; i < vb::kPioSms; i++) {
        if (!b.sm[i].claimed) {
            b.sm[i].claimed = true;
            return static_cast<int>(i);
        }
    }
    if (required) panic("No PIO state machines are available");
    return -1;
}

bool pio_sm_is_claimed(PIO pio, uint sm) {
    return vb::sm_of(pio, sm).claimed;
}

bool pio_claim_free_sm_and_add_program(const pio_program_t *program, PIO *pio, uint *sm, uint *offset) {
    return pio_claim_free_sm_and_add_program_for_gpio_range(program, pio, sm, offset, 0, 0, false);
}

// As the SDK does it on the RP2040 (no GPIO base to move): the blocks are
// tried from the highest down, PIO1 before PIO0, taking the lowest free
// state machine of a block whose instruction memory has room.
bool pio_claim_free_sm_and_add_program_for_gpio_range(const pio_program_t *program, PIO *pio, uint *sm, uint *offset,
                                                      uint gpio_base, uint gpio_count, bool set_gpio_base) {
    (void)gpio_base;
    (void)gpio_count;
    (void)set_gpio_base;
    for (int pio_num = static_cast<int>(NUM_PIOS) - 1; pio_num >= 0; pio_num--) {
        *pio = pio_get_instance(static_cast<uint>(pio_num));
        const int claimed = pio_claim_unused_sm(*pio, false);
        if (claimed < 0) continue;
        vb::PioBlock &b = vb::block_of(*pio);
        int rc = vb::find_offset_for_program(b, program);
        if (rc >= 0) rc = vb::add_program_at_offset(b, program, static_cast<uint>(rc));
        if (rc >= 0) {
            *sm = static_cast<uint>(claimed);
            *offset = static_cast<uint>(rc);
            return true;
        }
        pio_sm_unclaim(*pio, static_cast<uint>(claimed));
    }
    *pio = nullptr;
    return false;
}

void pio_remove_program_and_unclaim_sm(const pio_program_t *program, PIO pio, uint sm, uint offset) {
    pio_remove_program(pio, program, offset);
    pio_sm_unclaim(pio, sm);
}

int pio_sm_set_config(PIO pio, uint sm, const pio_sm_config *config) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    s.clkdiv = config->clkdiv;
    s.execctrl = config->execctrl;
    s.shiftctrl = config->shiftctrl;
    s.pinctrl = config->pinctrl;
    return PICO_OK;
}

void pio_sm_set_enabled(PIO pio, uint sm, bool enabled) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    if (s.enabled == enabled) return;
    vb::Board &board = vb::board();
    if (!enabled) {
        // Stopped mid-word, the machine keeps its place in the word.
        s.paused_left_ns = s.shifting && s.word_end_ns > board.now_ns ? s.word_end_ns - board.now_ns : 0;
        s.enabled = false;
        s.stalled = false;
        vb::reschedule();
        return;
    }
    vb::check_startable(vb::block_of(pio), s);
    s.enabled = true;
    s.stalled = false;
    s.fed = false;
    const unsigned block = pio_get_index(pio);
    if (s.shifting) {
        s.word_end_ns = board.now_ns + s.paused_left_ns;
        // The word goes on where it stopped: it is heard as one frame ending then.
        s.word_start_ns = s.word_end_ns - vb::stream_ns(s, 1);
        s.anchor_ns = s.word_end_ns;
        s.anchor_words = UINT64_MAX;  // the next word is word 0 of the stream, from word_end_ns
    } else if (s.fifo_count > 0) {
        vb::start_word(block, sm, board.now_ns, false);
    } else {
        s.stalled = true;
        s.stalled_since_ns = board.now_ns;
    }
    vb::reschedule();
}

// Clears the output shift register: a word being sent is dropped.
void pio_sm_restart(PIO pio, uint sm) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    s.shifting = false;
    s.paused_left_ns = 0;
    vb::reschedule();
}

void pio_sm_clkdiv_restart(PIO pio, uint sm) {
    vb::charge();
    vb::sm_of(pio, sm);
}

void pio_sm_clear_fifos(PIO pio, uint sm) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    s.fifo_head = s.fifo_count = 0;
}

// Only what configuration code executes is modelled: jumps, and set of X,
// Y and the pin directions.
void pio_sm_exec(PIO pio, uint sm, uint instr) {
    vb::charge();
    vb::PioBlock &b = vb::block_of(pio);
    vb::PioSm &s = vb::sm_of(pio, sm);
    const uint major = _pio_major_instr_bits(instr);
    if (major == pio_instr_bits_jmp && _pio_arg1(instr) == 0) {
        s.pc = static_cast<uint8_t>(instr & 0x1fu);
    } else if (major == pio_instr_bits_set) {
        const uint value = instr & 0x1fu;
        switch (_pio_arg1(instr)) {
            case pio_x: s.x = value; break;
            case pio_y: s.y = value; break;
            case pio_pindirs: {
                const uint base = vb::field(s.pinctrl, PIO_SM0_PINCTRL_SET_BASE_BITS, PIO_SM0_PINCTRL_SET_BASE_LSB);
                const uint count = vb::field(s.pinctrl, PIO_SM0_PINCTRL_SET_COUNT_BITS, PIO_SM0_PINCTRL_SET_COUNT_LSB);
                for (uint i = 0; i < count; i++) {
                    const uint32_t bit = 1u << ((base + i) & 31u);
                    b.pindirs = (value >> i) & 1u ? (b.pindirs | bit) : (b.pindirs & ~bit);
                }
                break;
            }
            default: break;
        }
    }
}

void pio_sm_exec_wait_blocking(PIO pio, uint sm, uint instr) {
    pio_sm_exec(pio, sm, instr);
}

uint8_t pio_sm_get_pc(PIO pio, uint sm) {
    vb::charge();
    return vb::sm_of(pio, sm).pc;
}

void pio_sm_set_clkdiv_int_frac8(PIO pio, uint sm, uint32_t div_int, uint8_t div_frac8) {
    vb::charge();
    vb::sm_of(pio, sm).clkdiv = (uint32_t{div_frac8} << PIO_SM0_CLKDIV_FRAC_LSB) | (div_int << PIO_SM0_CLKDIV_INT_LSB);
}

void pio_sm_set_clkdiv(PIO pio, uint sm, float div) {
    uint32_t div_int;
    uint8_t div_frac8;
    pio_calculate_clkdiv8_from_float(div, &div_int, &div_frac8);
    pio_sm_set_clkdiv_int_frac8(pio, sm, div_int, div_frac8);
}

// As the SDK: pulls words out until the FIFO is empty (they never leave the pins).
void pio_sm_drain_tx_fifo(PIO pio, uint sm) {
    pio_sm_clear_fifos(pio, sm);
}

int pio_sm_init(PIO pio, uint sm, uint initial_pc, const pio_sm_config *config) {
    pio_sm_set_enabled(pio, sm, false);
    if (config) {
        pio_sm_set_config(pio, sm, config);
    } else {
        const pio_sm_config c = pio_get_default_sm_config();
        pio_sm_set_config(pio, sm, &c);
    }
    pio_sm_clear_fifos(pio, sm);
    pio_sm_restart(pio, sm);
    pio_sm_clkdiv_restart(pio, sm);
    pio_sm_exec(pio, sm, pio_encode_jmp(initial_pc));
    return PICO_OK;
}

int pio_sm_set_consecutive_pindirs(PIO pio, uint sm, uint pins_base, uint pin_count, bool is_out) {
    vb::charge();
    vb::sm_of(pio, sm);
    if (pins_base >= 32u) return PICO_ERROR_INVALID_ARG;
    vb::PioBlock &b = vb::block_of(pio);
    for (uint i = 0; i < pin_count; i++) {
        const uint32_t bit = 1u << ((pins_base + i) & 31u);
        b.pindirs = is_out ? (b.pindirs | bit) : (b.pindirs & ~bit);
    }
    return PICO_OK;
}

void pio_sm_set_pindirs_with_mask(PIO pio, uint sm, uint32_t pin_dirs, uint32_t pin_mask) {
    vb::charge();
    vb::sm_of(pio, sm);
    vb::PioBlock &b = vb::block_of(pio);
    b.pindirs = (b.pindirs & ~pin_mask) | (pin_dirs & pin_mask);
}

// Pin levels driven by a state machine are not modelled.
void pio_sm_set_pins_with_mask(PIO pio, uint sm, uint32_t pin_values, uint32_t pin_mask) {
    vb::charge();
    vb::sm_of(pio, sm);
    (void)pin_values;
    (void)pin_mask;
}

void pio_sm_put(PIO pio, uint sm, uint32_t data) {
    vb::charge();
    vb::sm_of(pio, sm);
    vb::pio_fifo_write(pio_get_index(pio), sm, data);
}

void pio_sm_put_blocking(PIO pio, uint sm, uint32_t data) {
    vb::charge();
    vb::PioSm &s = vb::sm_of(pio, sm);
    vb::wait_until([&s] { return s.fifo_count < vb::fifo_depth(s); });
    vb::pio_fifo_write(pio_get_index(pio), sm, data);
}

bool pio_sm_is_tx_fifo_full(PIO pio, uint sm) {
    vb::charge();
    const vb::PioSm &s = vb::sm_of(pio, sm);
    return s.fifo_count >= vb::fifo_depth(s);
}

bool pio_sm_is_tx_fifo_empty(PIO pio, uint sm) {
    vb::charge();
    return vb::sm_of(pio, sm).fifo_count == 0;
}

uint pio_sm_get_tx_fifo_level(PIO pio, uint sm) {
    vb::charge();
    return vb::sm_of(pio, sm).fifo_count;
}

}  // extern "C"
