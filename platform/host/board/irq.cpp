// The interrupt controller of core 0: pending and enabled lines, priorities,
// handlers, PRIMASK. A handler runs to completion: interrupts taken while it
// runs wait for it to return (the board's handlers are short and never
// rely on preempting each other).
#include "hardware/irq.h"

#include "board.h"
#include "devices.h"
#include "hardware/sync.h"

namespace vb {

namespace {

constexpr unsigned kMaxSharedHandlers = 4;

struct IrqState {
    uint32_t pending;
    uint32_t enabled;
    uint32_t user_claimed;
    bool primask;  // interrupts masked
    bool in_handler;
    uint8_t priority[NUM_IRQS];
    irq_handler_t handlers[NUM_IRQS][kMaxSharedHandlers];
    uint8_t order[NUM_IRQS][kMaxSharedHandlers];
    bool exclusive[NUM_IRQS];
    uint64_t taken;
};

IrqState *irqs = shared_alloc<IrqState>();

void irq_reset() {
    *irqs = IrqState{};
    for (uint8_t &p : irqs->priority) p = PICO_DEFAULT_IRQ_PRIORITY;
}

Device irq_device{{"irq", [] { return kNever; }, [](uint64_t) {}, irq_reset}};

void check_num(uint num) {
    if (num >= NUM_IRQS) board_halt("interrupt number out of range");
}

// The deliverable line with the highest priority (lowest value), or -1.
int next_irq() {
    const uint32_t ready = irqs->pending & irqs->enabled;
    int best = -1;
    for (unsigned i = 0; i < NUM_IRQS; i++) {
        if (!(ready & (1u << i))) continue;
        if (best < 0 || irqs->priority[i] < irqs->priority[best]) best = static_cast<int>(i);
    }
    return best;
}

void run_handlers(unsigned num) {
    for (irq_handler_t h : irqs->handlers[num]) {
        if (h != nullptr) h();
    }
}

}  // namespace

bool irq_in_handler() {
    return irqs->in_handler;
}

void irq_raise(unsigned num) {
    irqs->pending |= 1u << num;
}

void irq_lower(unsigned num) {
    irqs->pending &= ~(1u << num);
}

void irq_dispatch() {
    if (irqs->primask || irqs->in_handler || (irqs->pending & irqs->enabled) == 0) return;
    for (int num = next_irq(); num >= 0; num = next_irq()) {
        // Entering the handler clears the pending bit; a level-triggered
        // device raises it again until the handler acknowledges it.
        irqs->pending &= ~(1u << num);
        irqs->in_handler = true;
        irqs->taken++;
        board().idle_changes++;
        run_handlers(static_cast<unsigned>(num));
        irqs->in_handler = false;
        if (irqs->primask) return;
    }
}

}  // namespace vb

using vb::irqs;

extern "C" {

void irq_set_priority(uint num, uint8_t hardware_priority) {
    vb::charge();
    vb::check_num(num);
    irqs->priority[num] = hardware_priority;
}

uint irq_get_priority(uint num) {
    vb::check_num(num);
    return irqs->priority[num];
}

void irq_set_enabled(uint num, bool enabled) {
    vb::charge();
    vb::check_num(num);
    if (enabled) {
        irqs->enabled |= 1u << num;
    } else {
        irqs->enabled &= ~(1u << num);
    }
    vb::irq_dispatch();
}

bool irq_is_enabled(uint num) {
    vb::check_num(num);
    return irqs->enabled & (1u << num);
}

void irq_set_exclusive_handler(uint num, irq_handler_t handler) {
    vb::charge();
    vb::check_num(num);
    if (irq_has_handler(num)) vb::board_halt("irq_set_exclusive_handler: the interrupt already has a handler");
    irqs->handlers[num][0] = handler;
    irqs->exclusive[num] = true;
}

void irq_add_shared_handler(uint num, irq_handler_t handler, uint8_t order_priority) {
    vb::charge();
    vb::check_num(num);
    if (irqs->exclusive[num]) vb::board_halt("irq_add_shared_handler: the interrupt has an exclusive handler");
    // Kept sorted: a higher order priority runs first.
    unsigned count = 0;
    while (count < vb::kMaxSharedHandlers && irqs->handlers[num][count] != nullptr) count++;
    if (count == vb::kMaxSharedHandlers) vb::board_halt("irq_add_shared_handler: no room");
    unsigned at = count;
    while (at > 0 && irqs->order[num][at - 1] < order_priority) {
        irqs->handlers[num][at] = irqs->handlers[num][at - 1];
        irqs->order[num][at] = irqs->order[num][at - 1];
        at--;
    }
    irqs->handlers[num][at] = handler;
    irqs->order[num][at] = order_priority;
}

void irq_remove_handler(uint num, irq_handler_t handler) {
    vb::charge();
    vb::check_num(num);
    unsigned out = 0;
    for (unsigned i = 0; i < vb::kMaxSharedHandlers; i++) {
        if (irqs->handlers[num][i] == handler || irqs->handlers[num][i] == nullptr) continue;
        irqs->handlers[num][out] = irqs->handlers[num][i];
        irqs->order[num][out] = irqs->order[num][i];
        out++;
    }
    for (; out < vb::kMaxSharedHandlers; out++) irqs->handlers[num][out] = nullptr;
    if (irqs->handlers[num][0] == nullptr) irqs->exclusive[num] = false;
}

bool irq_has_handler(uint num) {
    vb::check_num(num);
    return irqs->handlers[num][0] != nullptr;
}

bool irq_has_shared_handler(uint num) {
    vb::check_num(num);
    return irqs->handlers[num][0] != nullptr && !irqs->exclusive[num];
}

void irq_set_pending(uint num) {
    vb::charge();
    vb::check_num(num);
    vb::irq_raise(num);
    vb::irq_dispatch();
}

void irq_clear(uint num) {
    vb::check_num(num);
    vb::irq_lower(num);
}

void user_irq_claim(uint irq_num) {
    if (irq_num < FIRST_USER_IRQ || irq_num >= NUM_IRQS) vb::board_halt("not a user interrupt");
    if (user_irq_is_claimed(irq_num)) vb::board_halt("user interrupt already claimed");
    irqs->user_claimed |= 1u << irq_num;
}

void user_irq_unclaim(uint irq_num) {
    irqs->user_claimed &= ~(1u << irq_num);
}

// Like the SDK: the highest free user interrupt first.
int user_irq_claim_unused(bool required) {
    vb::charge();
    for (int num = NUM_IRQS - 1; num >= FIRST_USER_IRQ; num--) {
        if (!user_irq_is_claimed(static_cast<uint>(num))) {
            user_irq_claim(static_cast<uint>(num));
            return num;
        }
    }
    if (required) vb::board_halt("No user IRQs are available");
    return -1;
}

bool user_irq_is_claimed(uint irq_num) {
    return irqs->user_claimed & (1u << irq_num);
}

uint32_t save_and_disable_interrupts(void) {
    vb::charge();
    const uint32_t previous = irqs->primask ? 1 : 0;
    irqs->primask = true;
    return previous;
}

void restore_interrupts(uint32_t status) {
    vb::charge();
    irqs->primask = status != 0;
    vb::irq_dispatch();
}

}  // extern "C"
