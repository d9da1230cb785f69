#include "figures.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

namespace fleet {

namespace {

constexpr uint64_t kPairAtNs = kSecondNs;         // A pairs its fob while alone on the air
constexpr uint64_t kBootFromNs = 3 * kSecondNs;   // then the others boot
constexpr uint64_t kBootSpanMs = 5000;            // within this
constexpr uint64_t kFirstPressNs = 20 * kSecondNs;  // every cabinet has broadcast by then
constexpr unsigned kGapMinMs = 8000, kGapMaxMs = 12000;  // between presses
constexpr uint64_t kTailNs = 16 * kSecondNs;      // after the last press
constexpr uint64_t kNever = UINT64_MAX;
constexpr const char *kFob = "f0";

bool lockdown(FobState s) {
    return s == FobState::Lockdown;
}

// The cabinet's state as its reports showed it at t_ns.
FobState state_at(const Fleet &f, size_t cabinet, uint64_t t_ns) {
    FobState s = FobState::Unknown;
    for (const StateChange &c : f.changes()) {
        if (c.t_ns > t_ns) break;
        if (c.cabinet == cabinet) s = c.state;
    }
    return s;
}

// From t_ns until the cabinet shows lockdown (or no lockdown), before `until_ns`.
uint64_t time_to_show(const Fleet &f, size_t cabinet, bool to_lockdown, uint64_t t_ns, uint64_t until_ns) {
    const FobState now = state_at(f, cabinet, t_ns);
    if (now != FobState::Unknown && lockdown(now) == to_lockdown) return 0;
    for (const StateChange &c : f.changes()) {
        if (c.t_ns >= until_ns) break;
        if (c.cabinet == cabinet && c.t_ns > t_ns && c.state != FobState::Unknown && lockdown(c.state) == to_lockdown) {
            return c.t_ns - t_ns;
        }
    }
    return kNever;
}

// The first console line of the cabinet holding `text` in [from_ns, until_ns); kNever if none.
uint64_t console_time(const Cabinet &c, const std::string &text, bool whole, uint64_t from_ns, uint64_t until_ns) {
    for (size_t i = 0; i < c.console.size(); i++) {
        if (c.console_ns[i] < from_ns || c.console_ns[i] >= until_ns) continue;
        if (whole ? c.console[i] == text : c.console[i].find(text) != std::string::npos) return c.console_ns[i];
    }
    return kNever;
}

// The f-th quantile of sorted times, kNever past the last reached one.
uint64_t quantile(const std::vector<uint64_t> &sorted, double f) {
    if (sorted.empty()) return kNever;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(f * static_cast<double>(sorted.size())))];
}

std::string seconds_json(uint64_t t_ns) {
    if (t_ns == kNever) return "null";
    char b[32];
    snprintf(b, sizeof b, "%.3f", static_cast<double>(t_ns) / 1e9);
    return b;
}

std::string layout_name(const Layout &l) {
    switch (l.kind) {
    case Layout::Kind::Line: return "line";
    case Layout::Kind::Rooms:
        return std::to_string(l.rooms) + " rooms joined by " + std::to_string(l.joined_by);
    default: return "all";
    }
}

struct Reach {
    std::vector<uint64_t> every, far;  // per toggle of A into lockdown
    unsigned never_every = 0, never_far = 0;

    void add(uint64_t every_ns, uint64_t far_ns) {
        every.push_back(every_ns);
        far.push_back(far_ns);
        never_every += every_ns == kNever;
        never_far += far_ns == kNever;
    }
    static std::string json(const char *name, std::vector<uint64_t> v, unsigned never) {
        std::sort(v.begin(), v.end());
        return std::string("\"") + name + "_p50_s\": " + seconds_json(quantile(v, 0.5)) + ", \"" + name +
               "_p95_s\": " + seconds_json(quantile(v, 0.95)) + ", \"" + name + "_max_s\": " +
               seconds_json(v.empty() ? kNever : v.back()) + ", \"" + name + "_never\": " + std::to_string(never);
    }
};

}  // namespace

std::string layout_links(unsigned n, const Layout &layout) {
    if (layout.kind == Layout::Kind::All || n < 2) return "";
    std::ostringstream s;
    s << "default none\n";
    const auto link = [&s](unsigned a, unsigned b) { s << letter_name(a) << " - " << letter_name(b) << " 0\n"; };
    if (layout.kind == Layout::Kind::Line) {
        for (unsigned i = 0; i + 1 < n; i++) link(i, i + 1);
        return s.str();
    }
    const unsigned size = (n + layout.rooms - 1) / layout.rooms;
    for (unsigned a = 0; a < n; a++) {
        const unsigned room = a / size;
        const bool joins = a % size >= size - std::min(size, layout.joined_by);
        for (unsigned b = a + 1; b < n; b++) {
            if (b / size == room || (joins && b / size == room + 1)) link(a, b);
        }
    }
    return s.str();
}

double busy_share(const peers::Air &air, uint64_t from_ns, uint64_t to_ns) {
    if (to_ns <= from_ns) return 0.0;
    uint64_t busy = 0, covered = from_ns;  // busy time counted up to `covered`
    for (const peers::Packet &p : air.packets()) {  // in order of their start
        const uint64_t start = std::max(p.start_ns, covered), end = std::min(p.end_ns, to_ns);
        if (end > start) {
            busy += end - start;
            covered = end;
        }
    }
    return static_cast<double>(busy) / static_cast<double>(to_ns - from_ns);
}

int presses_heard(unsigned n, unsigned presses, const Layout &layout, Settings s) {
    s.options.names.clear();
    for (unsigned i = 0; i < n; i++) s.options.names.push_back(letter_name(i));
    std::string error;
    apply_unmended(s);
    // The fob is pressed beside A: it reaches A and whoever A reaches.
    const std::string fob_name = std::string("fob ") + kFob;
    for (const std::string &to : s.options.names) {
        s.topology.loss[{fob_name, to}] = to == "A" ? 0.0 : s.topology.link("A", to);
    }
    std::mt19937_64 rng(s.options.seed);
    Fleet f(s.options, s.topology);
    Runner r(f);
    f.power(0, true);
    f.run_to(kPairAtNs);
    r.step(script::parse(std::string("fob ") + kFob + " paired A").steps[0], error);
    std::vector<std::pair<uint64_t, size_t>> boots;
    for (size_t i = 1; i < n; i++) boots.push_back({kBootFromNs + rng() % kBootSpanMs * kMsNs, i});
    std::sort(boots.begin(), boots.end());
    for (const auto &[t, i] : boots) {
        f.run_to(t);
        f.power(i, true);
    }
    std::vector<uint64_t> at;
    std::vector<uint32_t> counters;
    uint64_t t = kFirstPressNs;
    for (unsigned k = 0; k < presses; k++) {
        f.run_to(t);
        f.press(kFob);
        at.push_back(t);
        counters.push_back(f.fob(kFob).counter);
        t += (kGapMinMs + rng() % (kGapMaxMs - kGapMinMs + 1)) * kMsNs;
    }
    const uint64_t end = at.back() + kTailNs;
    f.run_to(end);

    const peers::Fob &fob = f.fob(kFob);
    const Cabinet &a = f.cabinet(0);
    unsigned heard = 0, toggled = 0;
    Reach reach;
    for (unsigned k = 0; k < presses; k++) {
        const uint64_t until = k + 1 < presses ? at[k + 1] : end;
        char line[64];
        snprintf(line, sizeof line, "MSG FROM %08x%08x%08x %d", fob.uid1, fob.uid2, fob.uid3, static_cast<int>(counters[k]));
        const bool h = console_time(a, line, true, at[k], until) != kNever;
        const uint64_t toggle = console_time(a, "TOGGLE", false, at[k], until);
        heard += h;
        printf("press %u at %.3f s: %s", k + 1, static_cast<double>(at[k]) / 1e9, h ? "heard by A" : "not heard by A");
        if (toggle != kNever) {
            toggled++;
            const bool to_lockdown = lockdown(state_at(f, 0, toggle)) == false;  // A toggles away from its state
            uint64_t every = 0;
            for (size_t j = 1; j < n; j++) every = std::max(every, time_to_show(f, j, to_lockdown, toggle, until));
            const uint64_t far = n > 1 ? time_to_show(f, n - 1, to_lockdown, toggle, until) : 0;
            if (to_lockdown) reach.add(every, far);  // an unlock "reaches" a cabinet that never locked down at once
            const auto text = [](uint64_t t_ns) { return t_ns == kNever ? std::string("never") : seconds_json(t_ns) + " s"; };
            printf(", toggled to %s; every cabinet showed it in %s, the last one in %s", to_lockdown ? "lockdown" : "no lockdown",
                   text(every).c_str(), text(far).c_str());
        }
        printf("\n");
    }
    const double board = static_cast<double>(f.now_ns()) / 1e9;
    printf("{\"cabinets\": %u, \"layout\": \"%s\", \"presses\": %u, \"heard\": %u, \"heard_share\": %.4f, \"toggled\": %u, "
           "\"lockdowns\": %zu, %s, %s, \"busy_share\": %.4f, \"drift_ppm\": %lld, \"board_seconds\": %.1f, \"wall_seconds\": %.2f, "
           "\"speed\": %.2f, \"unmended\": \"%s\"}\n",
           n, layout_name(layout).c_str(), presses, heard, static_cast<double>(heard) / presses, toggled, reach.every.size(),
           Reach::json("reach", reach.every, reach.never_every).c_str(),
           Reach::json("far", reach.far, reach.never_far).c_str(), busy_share(f.air(), at.front(), end),
           static_cast<long long>(s.options.drift_ppm), board, f.wall_seconds(), board / f.wall_seconds(),
           s.unmended.c_str());
    return 0;
}

bool whole_number(const char *text, unsigned long long lo, unsigned long long hi, unsigned long long &out) {
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text)) return false;
    errno = 0;
    out = strtoull(text, nullptr, 10);
    return errno == 0 && out >= lo && out <= hi;
}

}  // namespace fleet
