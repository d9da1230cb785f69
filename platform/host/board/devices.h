// How a device model joins the simulated board without the core knowing it.
//
// A device keeps its state in memory from shared_alloc() (taken at static
// initialisation, so before any boot's fork and at the same place in every
// process) and registers its hooks with a static Device object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace vb {

struct DeviceHooks {
    const char *name;
    // Time of the device's next event, or kNever.
    uint64_t (*next_event_ns)();
    // Runs every event due at or before now.
    void (*fire)(uint64_t now_ns);
    // A reset or power cycle of the chip (flash keeps its contents).
    void (*power_on_reset)();
};

// Registers hooks at static initialisation: `static vb::Device dev{{...}};`
struct Device {
    explicit Device(const DeviceHooks &hooks);
};

// Zeroed memory shared by every boot's process and the test.
void *shared_alloc_bytes(size_t size, size_t align);
// Remembers how to construct an object of the shared memory anew, for a
// fresh board (see board_fresh()).
void shared_remember(void *object, void (*construct)(void *));
template <typename T>
T *shared_alloc() {
    void *p = shared_alloc_bytes(sizeof(T), alignof(T));
    shared_remember(p, [](void *q) { new (q) T(); });
    return new (p) T();
}

// State a device keeps outside the shared arena (the flash array), put back
// as a new process has it by a fresh board: `static vb::FreshState s{fn};`.
struct FreshState {
    explicit FreshState(void (*make_fresh)());
};

// Interrupts: a device raises its line; the handler installed by the
// firmware runs at the next point where interrupts are taken (an SDK call,
// or any device event while the firmware waits), unless masked.
void irq_raise(unsigned num);
void irq_lower(unsigned num);
// Runs the handlers of pending, enabled interrupts if they may run now.
void irq_dispatch();
// True while an interrupt handler runs.
bool irq_in_handler();

}  // namespace vb
