// The idle clock jump: when a whole pass of the firmware's main loop has
// changed nothing, the passes that follow change nothing either until a time
// the firmware asked about is reached or a device event comes, so the clock
// skips those passes at once.
//
// A pass is recognised by the watchdog feeds of the loop: from one feed to
// the next feed at the same call site is one pass (a rotation of the loop
// body). It changed nothing when no device changed state or raised an event
// in it (every such change counts in Board::idle_changes), it made no time
// difference of its own (absolute_time_diff_us, whose threshold stays in the
// firmware) and it left the firmware's RAM as it found it. The firmware is
// taken to compare times through the SDK's time_reached, whose deadlines are
// recorded here, or to store what it reads (which changes its RAM).
//
// The jump is exact: it skips a whole number k of passes of D ns each (every
// SDK call costs the same virtual time), so the next pass runs at the very
// time it would have run; k is the largest for which every deadline checked
// in the pass stays unreached and no device event falls inside the skipped
// passes, and the clock stays within the host's time limit. The counters the
// skipped passes would have moved (SDK calls, watchdog feeds) move as well.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "board.h"
#include "devices.h"

extern "C" uint8_t vb_firmware_ram_start[];
extern "C" uint8_t vb_firmware_ram_end[];

namespace vb {

namespace {

constexpr unsigned kMaxSites = 16;   // feed call sites of the loop
constexpr unsigned kMaxChecks = 64;  // unreached deadlines kept (one pass's worth)

struct Site {
    const void *pc;
    uint64_t now_ns;
    uint64_t changes;
    uint64_t sdk_calls;
    uint64_t feeds;
    uint64_t checks_total;
    uint64_t hash;
    bool hashed;
};

struct Check {
    uint64_t at_ns;
    uint64_t deadline_ns;
};

struct IdleState {
    Site sites[kMaxSites];
    unsigned site_count;
    Check checks[kMaxChecks];
    uint64_t checks_total;
    const void *hashing_pc;  // the one site that hashes the RAM until something changes
    uint64_t hashing_changes;
};

IdleState *idle = shared_alloc<IdleState>();

void idle_power_on_reset() {
    *idle = IdleState{};
}

uint64_t idle_no_event() {
    return kNever;
}

void idle_no_fire(uint64_t) {}

Device idle_device{{"idle", idle_no_event, idle_no_fire, idle_power_on_reset}};

bool jumps_wanted() {
    static const bool wanted = [] {
        const char *e = getenv("ORLIX_VB_IDLE_JUMP");
        return e == nullptr || strcmp(e, "0") != 0;
    }();
    return wanted;
}

// The range (64-byte aligned at both ends) holds the sanitizer's red zones
// between the variables, which a checked read would report.
__attribute__((no_sanitize("address"))) uint64_t ram_hash() {
    const auto *p = reinterpret_cast<const uint64_t *>(vb_firmware_ram_start);
    const auto *end = reinterpret_cast<const uint64_t *>(vb_firmware_ram_end);
    uint64_t a = 0x9E3779B97F4A7C15ull, b = 0xCBF29CE484222325ull;
    for (; p + 1 < end; p += 2) {
        a = (a ^ p[0]) * 0xFF51AFD7ED558CCDull;
        b = (b ^ p[1]) * 0xC4CEB9FE1A85EC53ull;
        a ^= a >> 31;
        b ^= b >> 29;
    }
    return a ^ (b * 0x100000001B3ull);
}

Site *site_of(const void *pc) {
    for (unsigned i = 0; i < idle->site_count; i++) {
        if (idle->sites[i].pc == pc) return &idle->sites[i];
    }
    if (idle->site_count == kMaxSites) return nullptr;
    Site *s = &idle->sites[idle->site_count++];
    *s = Site{pc, 0, UINT64_MAX, 0, 0, 0, 0, false};
    return s;
}

// Passes of `d` ns that can be skipped from now, given the pass since `s`.
uint64_t passes_to_skip(const Site &s, uint64_t d) {
    const Board &b = board();
    uint64_t k = UINT64_MAX;
    // The deadlines the pass checked, each checked again one pass later.
    if (idle->checks_total - s.checks_total > kMaxChecks) return 0;
    for (uint64_t i = s.checks_total; i < idle->checks_total; i++) {
        const Check &c = idle->checks[i % kMaxChecks];
        if (c.deadline_ns <= c.at_ns) return 0;
        k = std::min(k, (c.deadline_ns - c.at_ns - 1) / d);
    }
    const uint64_t event = next_event_but_watchdog();
    if (event != kNever) k = event > b.now_ns ? std::min(k, (event - b.now_ns - 1) / d) : 0;
    if (b.limit_ns != kNever) k = b.limit_ns > b.now_ns ? std::min(k, (b.limit_ns - b.now_ns) / d) : 0;
    return k == UINT64_MAX ? 0 : k;
}

void jump(const Site &s, uint64_t k) {
    Board &b = board();
    const uint64_t d = b.now_ns - s.now_ns;
    b.now_ns += k * d;
    b.watchdog.deadline_ns += k * d;  // fed at the same point of every skipped pass
    b.sdk_calls += k * (b.sdk_calls - s.sdk_calls);
    b.watchdog.feeds += k * (b.watchdog.feeds - s.feeds);
    b.idle_jumps++;
    b.idle_jumped_ns += k * d;
    reschedule();  // counts as a change: every pass is measured anew
}

}  // namespace

void idle_deadline_checked(uint64_t deadline_ns) {
    const Board &b = board();
    idle->checks[idle->checks_total % kMaxChecks] = Check{b.now_ns, deadline_ns};
    idle->checks_total++;
}

void idle_feed(const void *pc) {
    Board &b = board();
    if (!in_firmware_child || irq_in_handler() || !jumps_wanted()) return;
    Site *s = site_of(pc);
    if (s == nullptr) return;
    const bool quiet = s->changes == b.idle_changes && b.freeze_ns == 0 && b.now_ns > s->now_ns;
    if (idle->hashing_changes != b.idle_changes) idle->hashing_pc = nullptr;
    // The RAM is looked at only where a jump could follow.
    const uint64_t k = quiet ? passes_to_skip(*s, b.now_ns - s->now_ns) : 0;
    bool hashed = false;
    uint64_t hash = 0;
    if (k > 0 && (idle->hashing_pc == nullptr || idle->hashing_pc == pc)) {
        hash = ram_hash();
        hashed = true;
        idle->hashing_pc = pc;
        idle->hashing_changes = b.idle_changes;
        if (s->hashed && s->hash == hash) {
            jump(*s, k);
            hashed = false;
        }
    }
    *s = Site{pc, b.now_ns, b.idle_changes, b.sdk_calls, b.watchdog.feeds, idle->checks_total, hash, hashed};
}

}  // namespace vb
