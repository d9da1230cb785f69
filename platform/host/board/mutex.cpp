// The SDK's mutex on the simulated board's single running core.
#include "pico/mutex.h"

#include "board.h"

namespace {
constexpr int8_t kFree = -1;
constexpr int8_t kCore0 = 0;
}  // namespace

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
        return false;
    }
    mtx->owner = kCore0;
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
