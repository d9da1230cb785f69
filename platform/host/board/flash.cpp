// The 2 MiB NOR program flash: sector erase, page program, reads through the
// XIP window, operation counts and power cuts (see vboard_flash.h).
#include "hardware/flash.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board.h"
#include "devices.h"
#include "hardware/sync.h"
#include "vboard_flash.h"

// The flash array, page aligned in .bss at an address that fits 32 bits (the
// host build is not position independent). Mapped shared at start-up, like
// the stack page, so that the test process sees what each boot's child writes.
asm(R"(
    .globl vb_flash_memory
    .bss
    .balign 4096
vb_flash_memory:
    .zero 0x200000
    .text
)");

namespace vb {

namespace {

static_assert(kFlashSize == 0x200000, "the array above reserves kFlashSize bytes");
constexpr size_t kFlashOpLogSize = 8192;
constexpr size_t kMaxWornRanges = 8;

struct Range {
    uint32_t offset;
    uint32_t len;
};

struct FlashState {
    uint64_t erase_ns = kFlashEraseNs;
    uint64_t program_ns = kFlashProgramNs;
    uint64_t ops_total;
    uint64_t erases;
    uint64_t programs;
    FlashOp log[kFlashOpLogSize];
    bool cut_armed;
    uint64_t cut_op;
    CutPoint cut_point;
    double cut_fraction;
    uint64_t cut_seed;
    bool cut_happened;
    Range worn[kMaxWornRanges];
    size_t worn_count;
};

FlashState *flash = shared_alloc<FlashState>();

bool map_flash() {
    if (mmap(vb_flash_memory, kFlashSize, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_SHARED | MAP_ANONYMOUS, -1, 0) ==
        MAP_FAILED) {
        perror("virtual board: mmap flash");
        abort();
    }
    memset(vb_flash_memory, 0xFF, kFlashSize);  // delivered erased
    return true;
}

const bool flash_mapped = map_flash();

FreshState fresh_flash{[] { memset(vb_flash_memory, 0xFF, kFlashSize); }};

uint64_t splitmix64(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Each bit in `flip` changes, independently, with probability `fraction`.
uint8_t partly(uint8_t flip, double fraction, uint64_t &rng) {
    uint8_t done = 0;
    for (unsigned bit = 0; bit < 8; bit++) {
        if (!(flip & (1u << bit))) continue;
        const double draw = static_cast<double>(splitmix64(rng) >> 11) / static_cast<double>(1ull << 53);
        if (draw < fraction) done |= static_cast<uint8_t>(1u << bit);
    }
    return done;
}

bool worn(uint32_t offset) {
    for (size_t i = 0; i < flash->worn_count; i++) {
        if (offset >= flash->worn[i].offset && offset - flash->worn[i].offset < flash->worn[i].len) return true;
    }
    return false;
}

void erase_cells(uint32_t offset, double fraction, uint64_t seed) {
    uint8_t *cells = vb_flash_memory + offset;
    uint64_t rng = seed;
    for (uint32_t i = 0; i < kFlashSectorSize; i++) {
        if (worn(offset + i)) continue;
        if (fraction >= 1.0) {
            cells[i] = 0xFF;
        } else {
            cells[i] |= partly(static_cast<uint8_t>(~cells[i]), fraction, rng);
        }
    }
}

void program_cells(uint32_t offset, const uint8_t *data, double fraction, uint64_t seed) {
    uint8_t *cells = vb_flash_memory + offset;
    uint64_t rng = seed;
    for (uint32_t i = 0; i < kFlashPageSize; i++) {
        const uint8_t clear = cells[i] & static_cast<uint8_t>(~data[i]);
        cells[i] &= static_cast<uint8_t>(~(fraction >= 1.0 ? clear : partly(clear, fraction, rng)));
    }
}

// The board loses its power: nothing runs any more until the test powers it on.
[[noreturn]] void power_cut() {
    flash->cut_happened = true;
    if (!in_firmware_child) throw PowerCutException{};
    Board &b = board();
    board_power_on_reset();  // every output lets go, the watchdog stops
    for (;;) {
        advance_to(b.limit_ns);
        hand_over(FwState::Off);
    }
}

// One erase of a sector or program of a page, with its time and the armed cut.
void run_op(FlashOpKind kind, uint32_t offset, const uint8_t *data) {
    Board &b = board();
    const uint64_t index = flash->ops_total++;
    b.idle_changes++;
    if (kind == FlashOpKind::Erase) {
        flash->erases++;
    } else {
        flash->programs++;
    }
    FlashOp &log = flash->log[index % kFlashOpLogSize];
    log = FlashOp{kind, offset, b.now_ns, b.now_ns, false};
    const uint64_t duration = kind == FlashOpKind::Erase ? flash->erase_ns : flash->program_ns;
    if (flash->cut_armed && flash->cut_op == index) {
        flash->cut_armed = false;
        log.cut = true;
        if (flash->cut_point == CutPoint::Inside) {
            advance_to(b.now_ns + static_cast<uint64_t>(static_cast<double>(duration) * flash->cut_fraction));
            const uint64_t seed = flash->cut_seed ^ (index * 0x100000001B3ull);
            if (kind == FlashOpKind::Erase) {
                erase_cells(offset, flash->cut_fraction, seed);
            } else {
                program_cells(offset, data, flash->cut_fraction, seed);
            }
        }
        log.end_ns = b.now_ns;
        power_cut();
    }
    advance_to(b.now_ns + duration);
    if (kind == FlashOpKind::Erase) {
        erase_cells(offset, 1.0, 0);
    } else {
        program_cells(offset, data, 1.0, 0);
    }
    log.end_ns = b.now_ns;
}

// The flash leaves its read mode while it is written: any code running from
// it (an interrupt handler included) would fault on the board.
void require_interrupts_masked(const char *what) {
    const uint32_t previous = save_and_disable_interrupts();
    restore_interrupts(previous);
    if (previous == 0) board_halt(what);
}

void require(bool ok, const char *what) {
    if (!ok) board_halt(what);
}

}  // namespace

const uint8_t *flash_data() {
    return vb_flash_memory;
}

void flash_read(uint32_t offset, void *out, size_t len) {
    if (offset > kFlashSize || len > kFlashSize - offset) abort();
    memcpy(out, vb_flash_memory + offset, len);
}

void flash_write(uint32_t offset, const void *data, size_t len) {
    if (offset > kFlashSize || len > kFlashSize - offset) abort();
    memcpy(vb_flash_memory + offset, data, len);
}

void flash_fill(uint32_t offset, uint8_t value, size_t len) {
    if (offset > kFlashSize || len > kFlashSize - offset) abort();
    memset(vb_flash_memory + offset, value, len);
}

uint64_t flash_op_count() {
    return flash->ops_total;
}

uint64_t flash_erase_count() {
    return flash->erases;
}

uint64_t flash_program_count() {
    return flash->programs;
}

std::vector<FlashOp> flash_ops(size_t from) {
    std::vector<FlashOp> out;
    const uint64_t first = flash->ops_total > kFlashOpLogSize ? flash->ops_total - kFlashOpLogSize : 0;
    for (uint64_t i = from > first ? from : first; i < flash->ops_total; i++) {
        out.push_back(flash->log[i % kFlashOpLogSize]);
    }
    return out;
}

void flash_cut_power(uint64_t ops_from_now, CutPoint point, double fraction, uint64_t seed) {
    flash->cut_armed = true;
    flash->cut_op = flash->ops_total + ops_from_now;
    flash->cut_point = point;
    flash->cut_fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    flash->cut_seed = seed;
    flash->cut_happened = false;
}

void flash_cancel_cut() {
    flash->cut_armed = false;
}

bool flash_power_was_cut() {
    return flash->cut_happened;
}

void flash_wear_out(uint32_t offset, size_t len) {
    if (flash->worn_count == kMaxWornRanges) abort();
    flash->worn[flash->worn_count++] = Range{offset, static_cast<uint32_t>(len)};
}

void flash_set_timing(uint64_t erase_ns, uint64_t program_ns) {
    flash->erase_ns = erase_ns;
    flash->program_ns = program_ns;
}

}  // namespace vb

extern "C" {

// Sector by sector; the boot ROM would use 64 KiB block erases for large
// aligned ranges, which the firmware never asks for.
void flash_range_erase(uint32_t flash_offs, size_t count) {
    vb::charge();
    vb::require(flash_offs % vb::kFlashSectorSize == 0 && count % vb::kFlashSectorSize == 0,
                "flash_range_erase: not whole sectors");
    vb::require(flash_offs <= vb::kFlashSize && count <= vb::kFlashSize - flash_offs,
                "flash_range_erase: beyond the flash");
    vb::require_interrupts_masked("flash_range_erase with interrupts enabled");
    for (size_t done = 0; done < count; done += vb::kFlashSectorSize) {
        vb::run_op(vb::FlashOpKind::Erase, static_cast<uint32_t>(flash_offs + done), nullptr);
    }
}

void flash_range_program(uint32_t flash_offs, const uint8_t *data, size_t count) {
    vb::charge();
    vb::require(flash_offs % vb::kFlashPageSize == 0 && count % vb::kFlashPageSize == 0,
                "flash_range_program: not whole pages");
    vb::require(flash_offs <= vb::kFlashSize && count <= vb::kFlashSize - flash_offs,
                "flash_range_program: beyond the flash");
    vb::require_interrupts_masked("flash_range_program with interrupts enabled");
    for (size_t done = 0; done < count; done += vb::kFlashPageSize) {
        vb::run_op(vb::FlashOpKind::Program, static_cast<uint32_t>(flash_offs + done), data + done);
    }
}

}  // extern "C"
