#include "measure.h"

#include "figures.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

namespace fleet {

namespace {

constexpr uint64_t kInStepNs = 12 * kSecondNs;    // cabinets agree this soon after the last press
constexpr uint64_t kTailNs = 16 * kSecondNs;      // a random scenario runs on this long after it
constexpr uint64_t kSettleNs = 4 * kSecondNs;     // a press's fall-back has been broadcast by then

// Whether two cabinets that disagree on lockdown heard each other's
// broadcasts after `since_ns`: then the firmware kept them apart (the 10 s
// margin), not the air.
bool disagreeing_cabinets_heard(const Fleet &f, uint64_t since_ns) {
    for (size_t i = 0; i < f.size(); i++) {
        for (size_t j = 0; j < f.size(); j++) {
            const auto &a = f.cabinet(i), &b = f.cabinet(j);
            if (!a.powered || !b.powered) continue;
            const bool apart = (a.state == fleet::FobState::Lockdown) != (b.state == fleet::FobState::Lockdown);
            if (apart && f.heard_since(i, j, since_ns)) return true;
        }
    }
    return false;
}

struct Outcome {
    bool in_step;
    bool heard_apart;   // out of step, though the cabinets that disagree heard each other
    uint64_t agree_ns;  // from the last press to agreement for good; UINT64_MAX: never
    Fleet::Reach reach;
    double board_seconds;
    double wall_seconds;
    unsigned cabinets;
    unsigned toggles;  // presses accepted over all cabinets: none, and they agree for want of news
};

unsigned toggles(const Fleet &f) {
    unsigned n = 0;
    for (size_t i = 0; i < f.size(); i++) {
        for (const std::string &line : f.cabinet(i).console) n += line.find("TOGGLE") != std::string::npos;
    }
    return n;
}

Outcome measure_one(uint64_t seed, Settings s, Kind kind) {
    const std::string text = random_scenario(seed, kind);
    const script::Parsed p = script::parse(text);
    std::string error;
    declarations(p, s);  // made by random_scenario, sound
    apply_unmended(s);
    s.options.log = false;
    s.options.seed = seed;
    Fleet f(s.options, s.topology);
    for (size_t i = 0; i < f.size(); i++) f.power(i, true);
    Runner r(f);
    // Every step but the tail; then the tail in polls, watching for agreement.
    for (size_t i = 0; i + 1 < p.steps.size(); i++) r.step(p.steps[i], error);
    const uint64_t last = f.presses().empty() ? f.now_ns() : f.presses().back().t_ns;
    uint64_t agreed_since = UINT64_MAX;
    while (f.now_ns() < last + kTailNs) {
        f.run_to(f.now_ns() + kPollNs);
        if (!f.agree()) {
            agreed_since = UINT64_MAX;
        } else if (agreed_since == UINT64_MAX) {
            agreed_since = f.now_ns();
        }
    }
    Outcome o{};
    o.agree_ns = agreed_since == UINT64_MAX ? UINT64_MAX : agreed_since - last;
    o.in_step = o.agree_ns <= kInStepNs;
    o.heard_apart = !o.in_step && disagreeing_cabinets_heard(f, last + kSettleNs);
    o.reach = f.reach();
    o.board_seconds = static_cast<double>(f.now_ns()) / 1e9 * static_cast<double>(f.size());
    o.wall_seconds = f.wall_seconds();
    o.cabinets = static_cast<unsigned>(f.size());
    o.toggles = toggles(f);
    return o;
}

}  // namespace

std::string random_scenario(uint64_t seed, Kind kind) {
    std::mt19937_64 rng(seed);
    const auto pick = [&rng](unsigned lo, unsigned hi) { return lo + static_cast<unsigned>(rng() % (hi - lo + 1)); };
    const unsigned n = pick(kind.min_cabinets, kind.max_cabinets);
    std::ostringstream s;
    s << "# random scenario " << seed << "\ncabinets " << n << "\n@all power off\n";
    std::vector<std::pair<unsigned, unsigned>> boots;
    for (unsigned i = 0; i < n; i++) boots.push_back({pick(0, 5000), i});
    std::sort(boots.begin(), boots.end());
    for (const auto &[t, i] : boots) s << "at " << t << "ms\n@" << letter_name(i) << " power on\n";
    s << "at 6s\n";
    const unsigned fobs = pick(1, 3);
    for (unsigned f = 0; f < fobs; f++) {
        s << "fob f" << f << " paired";
        bool any = false;
        for (unsigned i = 0; i < n; i++) {
            if (rng() % 2 == 0 || (i == n - 1 && !any)) {
                s << " " << letter_name(i);
                any = true;
            }
        }
        s << "\n";
    }
    if (kind.settled) s << "at 16s\n";
    if (kind.together) s << "@all power\n";
    const unsigned presses = pick(1, 5);
    for (unsigned k = 0; k < presses; k++) {
        s << "wait " << pick(500, 12000) << "ms\nfob f" << pick(0, fobs - 1) << "\n";
    }
    s << "wait " << kTailNs / kMsNs << "ms\n";
    return s.str();
}

int measure(unsigned k, Settings s, Kind kind) {
    std::vector<double> agree_s;
    unsigned out = 0, heard_apart = 0, untoggled = 0;
    Fleet::Reach total;
    double board = 0, wall = 0;
    for (unsigned i = 0; i < k; i++) {
        const Outcome o = measure_one(s.options.seed + i, s, kind);
        if (!o.in_step) out++;
        if (o.heard_apart) heard_apart++;
        if (o.toggles == 0) untoggled++;
        char agreed[64] = "never agreed";
        if (o.agree_ns != UINT64_MAX) {
            snprintf(agreed, sizeof agreed, "agreed %.3f s after the last press", static_cast<double>(o.agree_ns) / 1e9);
        }
        printf("seed %llu: %u cabinets, %s%s, %s, %llu of %llu broadcasts heard, %u presses accepted\n",
               static_cast<unsigned long long>(s.options.seed + i), o.cabinets, o.in_step ? "in step" : "OUT OF STEP",
               o.heard_apart ? " though they hear each other" : "", agreed,
               static_cast<unsigned long long>(o.reach.heard), static_cast<unsigned long long>(o.reach.possible), o.toggles);
        if (o.agree_ns != UINT64_MAX) agree_s.push_back(static_cast<double>(o.agree_ns) / 1e9);
        total.possible += o.reach.possible;
        total.heard += o.reach.heard;
        board += o.board_seconds;
        wall += o.wall_seconds;
        fflush(stdout);
    }
    std::sort(agree_s.begin(), agree_s.end());
    const auto q = [&agree_s](double f) {
        return agree_s.empty() ? -1.0 : agree_s[std::min(agree_s.size() - 1, static_cast<size_t>(f * static_cast<double>(agree_s.size())))];
    };
    printf("{\"scenarios\": %u, \"out_of_step\": %u, \"out_of_step_heard\": %u, \"out_of_step_share\": %.4f, \"agree_median_s\": %.3f, "
           "\"agree_p95_s\": %.3f, \"agree_max_s\": %.3f, \"heard_share\": %.4f, \"board_seconds\": %.0f, "
           "\"wall_seconds\": %.1f, \"unmended\": \"%s\", \"settled\": %s, \"together\": %s, \"cabinets\": \"%u-%u\", "
           "\"drift_ppm\": %lld, \"without_accepted_press\": %u}\n",
           k, out, heard_apart, k ? static_cast<double>(out) / k : 0.0, q(0.5), q(0.95), agree_s.empty() ? -1.0 : agree_s.back(),
           total.possible ? static_cast<double>(total.heard) / static_cast<double>(total.possible) : 0.0, board, wall,
           s.unmended.c_str(), kind.settled ? "true" : "false", kind.together ? "true" : "false", kind.min_cabinets,
           kind.max_cabinets, static_cast<long long>(s.options.drift_ppm), untoggled);
    return 0;
}

// N cabinets booted at random within 5 s (or all at once after a cut), for a
// while; the share of status broadcasts heard, and whether they end in step.
int deliveries(unsigned n, double secs, bool presses, bool together, Settings s) {
    s.options.names.clear();
    for (unsigned i = 0; i < n; i++) s.options.names.push_back(letter_name(i));
    apply_unmended(s);
    std::mt19937_64 rng(s.options.seed);
    Fleet f(s.options, s.topology);
    std::vector<std::pair<uint64_t, size_t>> boots;
    for (size_t i = 0; i < n; i++) boots.push_back({rng() % (5 * kSecondNs / kMsNs) * kMsNs, i});
    std::sort(boots.begin(), boots.end());
    for (const auto &[t, i] : boots) {
        f.run_to(t);
        f.power(i, true);
    }
    f.run_to(6 * kSecondNs);
    Runner r(f);
    std::string error;
    if (presses) {
        std::string pair = "fob all paired";
        for (const auto &nm : s.options.names) pair += " " + nm;
        r.step(script::parse(pair).steps[0], error);
    }
    if (together) {
        for (size_t i = 0; i < n; i++) f.power(i, false);
        f.run_to(f.now_ns() + 10 * kSecondNs);
        for (size_t i = 0; i < n; i++) f.power(i, true);
    }
    const uint64_t from = f.now_ns() + 6 * kSecondNs;  // after the first broadcasts of a restart
    const uint64_t end = f.now_ns() + static_cast<uint64_t>(secs * 1e9);
    uint64_t next_press = f.now_ns() + 10 * kSecondNs;
    while (f.now_ns() < end) {
        if (presses && f.now_ns() >= next_press) {
            f.press("all");
            next_press += 20 * kSecondNs;
        }
        f.run_to(std::min(end, presses ? next_press : end));
    }
    const auto reach = f.reach(from);
    const double board = static_cast<double>(f.now_ns()) / 1e9;
    printf("{\"cabinets\": %u, \"presses\": %s, \"together\": %s, \"heard\": %llu, \"possible\": %llu, "
           "\"heard_share\": %.4f, \"collided\": %llu, \"deaf\": %llu, \"busy_share\": %.4f, \"in_step\": %s, "
           "\"board_seconds\": %.1f, "
           "\"wall_seconds\": %.2f, \"speed\": %.2f, \"unmended\": \"%s\"}\n",
           n, presses ? "true" : "false", together ? "true" : "false", static_cast<unsigned long long>(reach.heard),
           static_cast<unsigned long long>(reach.possible),
           reach.possible ? static_cast<double>(reach.heard) / static_cast<double>(reach.possible) : 0.0,
           static_cast<unsigned long long>(reach.collided), static_cast<unsigned long long>(reach.deaf),
           busy_share(f.air(), from, end), f.agree() ? "true" : "false", board, f.wall_seconds(), board / f.wall_seconds(), s.unmended.c_str());
    return 0;
}

}  // namespace fleet
