// The test side of the simulated program flash and its unique identifier.
//
// The flash is 2 MiB of NOR: an erase sets a 4096-byte sector to 0xFF, a
// page program (256 bytes) can only clear bits. Contents survive resets and
// power cycles. Every erase and page program is counted and logged, takes a
// realistic time on the virtual clock (interrupts are off meanwhile, so the
// rest of the board waits), and the power can be cut before or inside any of
// them.
//
// A cut inside an operation leaves the cells where the chip's pulses had
// brought them: each bit the operation would change (to 1 for an erase, to 0
// for a program) has changed with a probability equal to the elapsed fraction
// of the operation, drawn independently from a seeded generator, so that a
// run is repeatable. The rest of the sector or page is untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vb {

constexpr uint32_t kFlashSize = 2u << 20;
constexpr uint32_t kFlashSectorSize = 4096;
constexpr uint32_t kFlashPageSize = 256;
constexpr size_t kFlashUniqueIdSize = 8;
// Typical datasheet figures of the board's 16 Mbit flash.
constexpr uint64_t kFlashEraseNs = 45000000;
constexpr uint64_t kFlashProgramNs = 800000;

enum class FlashOpKind : uint8_t { Erase, Program };

struct FlashOp {
    FlashOpKind kind;
    uint32_t offset;
    uint64_t start_ns;
    uint64_t end_ns;
    bool cut;  // the power went while it ran
};

enum class CutPoint : uint8_t {
    Before,  // the operation never starts
    Inside,  // the operation is cut after `fraction` of its time
};

// Raised instead of a power cut in a test that calls firmware code directly;
// in a whole-firmware run the board just stays off until power_on().
struct PowerCutException {};

// Contents, test side (no time passes, no operation is counted).
const uint8_t *flash_data();  // index = flash offset
void flash_read(uint32_t offset, void *out, size_t len);
// Stores bytes as they are, whatever was there (a test arranging contents).
void flash_write(uint32_t offset, const void *data, size_t len);
void flash_fill(uint32_t offset, uint8_t value, size_t len);

// Operations the firmware has made.
uint64_t flash_op_count();  // erases and page programs, all boots
uint64_t flash_erase_count();
uint64_t flash_program_count();
std::vector<FlashOp> flash_ops(size_t from = 0);

// Cuts the power at the firmware's `ops_from_now`-th next erase or page
// program (0 = the very next one). `fraction` (0 to 1) matters for Inside.
void flash_cut_power(uint64_t ops_from_now, CutPoint point, double fraction = 0.5, uint64_t seed = 1);
void flash_cancel_cut();
bool flash_power_was_cut();

void flash_set_timing(uint64_t erase_ns, uint64_t program_ns);
// Cells that no longer erase (worn out): an erase leaves their bits as they are.
void flash_wear_out(uint32_t offset, size_t len);

// The 64-bit identifier flash_get_unique_id() reads.
void set_flash_unique_id(const uint8_t (&id)[kFlashUniqueIdSize]);
std::vector<uint8_t> flash_unique_id();

}  // namespace vb
