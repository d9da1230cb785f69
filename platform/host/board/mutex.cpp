// The SDK's mutex on the simulated board's single running core.
#include "pico/mutex.h"

#include "board.h"
#include "devices.h"
#include "vboard.h"

namespace {
constexpr int8_t kFree = -1;
constexpr int8_t kCore0 = 0;

// An interrupt handler that finds a mutex held skips its turn. The turn is
// owed until a handler enters a mutex again; if the interrupted code enters
// one first, the handler's work waited for the loop instead of running on
// the mutex's release.
struct Turns {
    vb::MutexTurns counts;
    bool owed;
};
Turns *turns = vb::shared_alloc<Turns>();
vb::Device turns_device{{"mutex", [] { return vb::kNever; }, [](uint64_t) {}, [] { *turns = Turns{}; }}};

void note_entry() {
    if (vb::irq_in_handler()) {
        turns->owed = false;
    } else if (turns->owed) {
        turns->owed = false;
        turns->counts.retaken_before_handler++;
    }
}

void note_skip() {
    if (!vb::irq_in_handler()) return;
    turns->counts.skipped_in_handler++;
    turns->owed = true;
}
}  // namespace

vb::MutexTurns vb::mutex_turns() {
    return turns->counts;
}

extern "C" {

void mutex_init(mutex_t *mtx) {
    vb::charge();
    mtx->owner = kFree;
    mtx->initialised = true;
}

bool mutex_is_initialized(mutex_t *mtx) {
    return mtx->initialised;
}

bool mutex_try_enter(mutex_t *mtx, uint32_t *owner_out) {
    vb::charge();
    if (!mtx->initialised) vb::board_halt("mutex_try_enter: mutex not initialised");
    if (mtx->owner != kFree) {
        if (owner_out != nullptr) *owner_out = static_cast<uint32_t>(mtx->owner);
        note_skip();
        return false;
    }
    mtx->owner = kCore0;
    note_entry();
    return true;
}

// With one core, a held mutex can only be released by the code that waits
// for it: the board would hang here for good.
void mutex_enter_blocking(mutex_t *mtx) {
    if (!mutex_try_enter(mtx, nullptr)) vb::board_halt("mutex_enter_blocking: the mutex is held on this core");
}

void mutex_exit(mutex_t *mtx) {
    vb::charge();
    if (mtx->owner == kFree) vb::board_halt("mutex_exit: the mutex is not held");
    mtx->owner = kFree;
}

}  // extern "C"
