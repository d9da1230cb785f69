#include "board.h"

#include "devices.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" uint8_t __StackBottom[];

namespace vb {

namespace {

constexpr size_t kStackPageSize = 4096;
constexpr size_t kMaxDevices = 16;
constexpr size_t kSharedArenaSize = size_t{256} << 20;

constexpr size_t kMaxSharedObjects = 32;
constexpr size_t kMaxFreshStates = 8;

struct SharedObject {
    void *object;
    void (*construct)(void *);
};

struct Registry {
    DeviceHooks devices[kMaxDevices];
    size_t count;
    SharedObject shared[kMaxSharedObjects];
    size_t shared_count;
    void (*fresh_states[kMaxFreshStates])();
    size_t fresh_count;
};

Registry &registry() {
    static Registry r{};
    return r;
}

struct Arena {
    uint8_t *base;
    size_t used;
};

Arena &arena() {
    static Arena a{};
    return a;
}

[[noreturn]] void registry_full(const char *what) {
    fprintf(stderr, "virtual board: too many %s\n", what);
    abort();
}

// Zeroes shared memory as a new mapping has it. Dropping the pages is far
// cheaper than writing the logs' megabytes; writing them is the fallback.
void wipe(void *start, size_t len) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (madvise(start, (len + page - 1) / page * page, MADV_REMOVE) != 0) memset(start, 0, len);
}

Board *the_board = nullptr;

// What a reset or power cycle clears; the logs, the flash and whatever the
// peers have put on the wires are kept.
void board_power_on_reset_into(Board &b) {
    for (Pin &p : b.pins) p = Pin{kFuncNull, false, false, false, true, p.ext_driven, p.ext_level};
    for (Uart &u : b.uart) {
        u.enabled = false;
        u.divisor64 = 0;
        u.baud = 0;
        u.byte_ns_x64 = 0;
        u.tx_head = u.tx_count = 0;
        u.shifting = false;
        u.rx_head = u.rx_count = 0;
    }
    b.watchdog = Watchdog{};
    b.sys_clock_hz = kDefaultSysClockHz;
    b.peri_clock_hz = kDefaultSysClockHz;
    b.stdio_ready = false;
    b.stdio_last_cr = false;
    b.next_event_ns = kNever;
    const Registry &r = registry();
    for (size_t i = 0; i < r.count; i++) r.devices[i].power_on_reset();
}

// What the board block holds, in zeroed memory, besides its power-on state.
void init_board(Board &b) {
    sem_init(&b.to_firmware, 1, 0);
    sem_init(&b.to_host, 1, 0);
    b.limit_ns = kNever;
    b.xosc_hz = kXoscHz;
    b.stack_depth = kDefaultStackDepth;
}

// The main stack's page becomes shared memory too (see core.cpp).
void share_stack_page() {
    void *page = __StackBottom;
    if (mmap(page, kStackPageSize, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_SHARED | MAP_ANONYMOUS, -1, 0) ==
        MAP_FAILED) {
        perror("virtual board: mmap stack");
        abort();
    }
}

Board *map_board() {
    share_stack_page();
    void *p = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        perror("virtual board: mmap");
        abort();
    }
    auto *b = static_cast<Board *>(p);
    init_board(*b);
    board_power_on_reset_into(*b);
    return b;
}

}  // namespace

bool in_firmware_child = false;

Board &board() {
    if (the_board == nullptr) the_board = map_board();
    return *the_board;
}

void board_power_on_reset() {
    board_power_on_reset_into(board());
}

void board_fresh() {
    Board &b = board();
    sem_destroy(&b.to_firmware);
    sem_destroy(&b.to_host);
    wipe(&b, sizeof b);
    init_board(b);
    Arena &a = arena();
    if (a.used > 0) wipe(a.base, a.used);
    const Registry &r = registry();
    for (size_t i = 0; i < r.shared_count; i++) r.shared[i].construct(r.shared[i].object);
    for (size_t i = 0; i < r.fresh_count; i++) r.fresh_states[i]();
    memset(__StackBottom, 0, kStackSize);
    firmware_ram_restore();
    board_power_on_reset_into(b);
}

Device::Device(const DeviceHooks &hooks) {
    Registry &r = registry();
    if (r.count == kMaxDevices) registry_full("devices");
    r.devices[r.count++] = hooks;
}

FreshState::FreshState(void (*make_fresh)()) {
    Registry &r = registry();
    if (r.fresh_count == kMaxFreshStates) registry_full("fresh states");
    r.fresh_states[r.fresh_count++] = make_fresh;
}

void shared_remember(void *object, void (*construct)(void *)) {
    Registry &r = registry();
    if (r.shared_count == kMaxSharedObjects) registry_full("shared objects");
    r.shared[r.shared_count++] = SharedObject{object, construct};
}

void *shared_alloc_bytes(size_t size, size_t align) {
    Arena &a = arena();
    if (a.base == nullptr) {
        void *p = mmap(nullptr, kSharedArenaSize, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            perror("virtual board: mmap arena");
            abort();
        }
        a.base = static_cast<uint8_t *>(p);
    }
    a.used = (a.used + align - 1) / align * align;
    if (a.used + size > kSharedArenaSize) {
        fprintf(stderr, "virtual board: shared arena exhausted\n");
        abort();
    }
    void *out = a.base + a.used;
    a.used += size;
    return out;
}

void charge() {
    Board &b = board();
    b.sdk_calls++;
    const uint64_t stall = b.freeze_ns;
    b.freeze_ns = 0;
    advance_to(b.now_ns + kCallCostNs + stall);
    irq_dispatch();
}

uint64_t next_event_but_watchdog() {
    const Board &b = board();
    uint64_t next = kNever;
    for (const Uart &u : b.uart) next = std::min(next, uart_next_event_ns(u));
    const Registry &r = registry();
    for (size_t i = 0; i < r.count; i++) next = std::min(next, r.devices[i].next_event_ns());
    return next;
}

void reschedule(bool change) {
    Board &b = board();
    uint64_t next = next_event_but_watchdog();
    if (b.watchdog.enabled) next = std::min(next, b.watchdog.deadline_ns);
    b.next_event_ns = next;
    if (change) b.idle_changes++;
}

namespace {

void fire_due_events() {
    Board &b = board();
    for (unsigned i = 0; i < kUartCount; i++) uart_fire(i, b.now_ns);
    const Registry &r = registry();
    for (size_t i = 0; i < r.count; i++) r.devices[i].fire(b.now_ns);
    if (b.watchdog.enabled && b.watchdog.deadline_ns <= b.now_ns) {
        board_reset(b.watchdog.reboot_pending ? ResetCause::Reboot : ResetCause::Watchdog);
    }
}

}  // namespace

void advance_to(uint64_t t_ns) {
    Board &b = board();
    for (;;) {
        const uint64_t target = std::min(t_ns, b.limit_ns);
        while (b.next_event_ns <= target) {
            b.now_ns = std::max(b.now_ns, b.next_event_ns);
            fire_due_events();
            reschedule();
            // A handler may run while the firmware waits, at the event's time.
            irq_dispatch();
            reschedule();
        }
        b.now_ns = std::max(b.now_ns, target);
        if (target == t_ns) return;
        yield_to_host();
    }
}

void yield_to_host() {
    Board &b = board();
    if (!in_firmware_child) {
        fprintf(stderr, "virtual board: time limit reached outside a child\n");
        abort();
    }
    hand_over(FwState::Yielded);
    b.fw_state = FwState::Running;
}

void hand_over(FwState state) {
    Board &b = board();
    b.fw_state = state;
    sem_post(&b.to_host);
    while (sem_wait(&b.to_firmware) != 0) {
    }
}

namespace {

// A stopped processor: time goes on and the devices drain, nothing else runs.
[[noreturn]] void stay_halted() {
    Board &b = board();
    for (;;) {
        advance_to(b.limit_ns);
        hand_over(FwState::Halted);
    }
}

}  // namespace

void record_event(ResetCause cause, uint32_t arg0, uint32_t arg1) {
    Board &b = board();
    b.events[b.events_total % kBoardEventLogSize] = BoardEvent{b.now_ns, cause, arg0, arg1};
    b.events_total++;
}

void board_reset(ResetCause cause, uint32_t arg0, uint32_t arg1) {
    Board &b = board();
    record_event(cause, arg0, arg1);
    if (!in_firmware_child) throw ResetException{cause};
    // In the boot loader this firmware never runs again until the host
    // powers the board on anew.
    if (cause == ResetCause::UsbBoot) stay_halted();
    b.fw_state = FwState::Rebooting;
    sem_post(&b.to_host);
    _exit(0);
}

void board_halt(const char *message) {
    Board &b = board();
    snprintf(b.halt_message, sizeof b.halt_message, "%s", message);
    if (!in_firmware_child) throw HaltException{b.halt_message};
    stay_halted();
}

}  // namespace vb
