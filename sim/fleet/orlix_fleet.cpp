// orlix-fleet: cabinets kept in step on one shared air. Each cabinet is the
// firmware on a simulated board of its own (fleet.h); a script says what
// happens (see the README), and the tool prints each cabinet's fob state and
// what the air delivered, lost to collisions and to the links.
//
//   orlix-fleet SCRIPT [--topology FILE] [--unmended A,B|all|half] [--seed S] [--quiet]
//   orlix-fleet --random SEED [--print] [...]        one random scenario
//   orlix-fleet --measure K [--seed S] [--settled] [--together] [...]   in step over K random scenarios
//   orlix-fleet --deliveries N [--seconds S] [--presses] [--together] [...]
//   orlix-fleet [SCRIPT] --web [--port P] [--cabinets N]  at real time with its page, until interrupted
//
// Exit status: 0 when every expectation of the script held, 1 when one did
// not, 64 on bad usage, 65 on a bad script, 70 when a board host failed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet.h"
#include "script.h"
#include "pace.h"
#include "web_server.h"

namespace {

using fleet::Fleet;
using fleet::kMsNs;
using fleet::kSecondNs;

constexpr uint64_t kPollNs = 50 * kMsNs;          // expectations are looked at this often
constexpr uint64_t kInStepNs = 12 * kSecondNs;    // cabinets agree this soon after the last press
constexpr uint64_t kTailNs = 16 * kSecondNs;      // a random scenario runs on this long after it
constexpr uint64_t kSettleNs = 4 * kSecondNs;     // a press's fall-back has been broadcast by then
constexpr uint64_t kPairPressNs = 100 * kMsNs;    // pairing: the payload, then the press
constexpr uint64_t kPairDoneNs = 1000 * kMsNs;    // and the end of pairing mode
constexpr unsigned kPairTries = 8;

const char *const kUsage =
    "usage: orlix-fleet SCRIPT [options]          run a scenario\n"
    "       orlix-fleet --random SEED [--print]   a random scenario (printed, or run)\n"
    "       orlix-fleet --measure K               in step over K random scenarios\n"
    "       orlix-fleet --deliveries N            status broadcasts heard by N cabinets\n"
    "       orlix-fleet [SCRIPT] --web [--port P] the fleet at real time on its page, http://127.0.0.1:P/\n"
    "                                             (default 8041), until interrupted; without a SCRIPT,\n"
    "                                             --cabinets N (default 3: A, B, C) with a fob f0 paired on all\n"
    "options: --topology FILE  who hears whom (`A B 0.1`, `A - B none`, `default none`)\n"
    "         --unmended LIST  cabinets that run the firmware before the mends: A,B | all | half\n"
    "         --seed S         seeds the random scenarios and the links' losses (default 1)\n"
    "         --seconds S      --deliveries: how long (default 120); --presses: a fob paired on\n"
    "                          every cabinet pressed every 20 s; --together: all cut and restored at once\n"
"                          (in random scenarios: after the pairing, before the presses)\n"
    "         --settled        random scenarios: no press before 16 s (every cabinet booted 10 s before)\n"
    "         --quiet          no timeline\n";

std::string read_file(const std::string &path, bool &ok) {
    std::ifstream f(path);
    ok = static_cast<bool>(f);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string exe_dir(const char *argv0) {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(argv0);
    return self.substr(0, self.rfind('/') + 1);
}

std::string letter_name(unsigned i) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('A' + i % 26));
        i /= 26;
    } while (i-- > 0);
    return s;
}

struct Settings {
    fleet::Options options;
    fleet::Topology topology;
    std::string unmended;  // as given
};

void apply_unmended(Settings &s) {
    s.options.unmended.clear();
    const auto &names = s.options.names;
    for (size_t i = 0; i < names.size(); i++) {
        if (s.unmended == "all" || (s.unmended == "half" && i % 2 == 1)) s.options.unmended.insert(names[i]);
    }
    std::stringstream in(s.unmended);
    for (std::string n; std::getline(in, n, ',');) {
        if (n != "all" && n != "half" && !n.empty()) s.options.unmended.insert(n);
    }
}

// ---- scripts ----------------------------------------------------------------------------------

class Runner {
public:
    explicit Runner(Fleet &f) : fleet_(f) {}

    bool failed = false;

    // Runs the fleet to t_ns (a live fleet goes at real time).
    std::function<void(uint64_t t_ns)> advance;

    // Runs one step; false with a message when the step is malformed.
    bool step(const script::Step &s, std::string &error) {
        std::vector<size_t> targets;
        if (!targets_of(s, targets, error)) return false;
        const auto &a = s.args;
        const std::string &v = s.verb;
        if (v == "cabinets" || v == "unmended" || v == "link") return true;  // read before the fleet starts
        if (acts_at_once(s)) {
            std::vector<std::string> names;
            for (size_t i = 0; i < fleet_.size(); i++) names.push_back(fleet_.cabinet(i).name);
            const auto fobs = fleet_.fobs();
            error = act_error(s, names, std::set<std::string>(fobs.begin(), fobs.end()));
            if (!error.empty()) return false;
            act(s);
        } else if (v == "wait" || v == "at") {
            const auto d = a.size() == 1 ? script::parse_duration(a[0]) : std::nullopt;
            if (!d) return bad(error, "takes one duration");
            run_to(v == "wait" ? fleet_.now_ns() + *d * 1000 : std::max(fleet_.now_ns(), *d * 1000));
        } else if (v == "fob" && a.size() >= 2 && a[1] == "paired") {
            return pair(a, error);
        } else if (v == "expect" && !a.empty()) {
            return expect(s, targets, error);
        } else {
            return bad(error, "not a step of a fleet: " + v);
        }
        return true;
    }

    // The steps that act at the fleet's current time, without letting time pass.
    static bool acts_at_once(const script::Step &s) {
        const std::string &v = s.verb;
        return (v == "fob" && s.args.size() == 1) || v == "power" || v == "send" || v == "open" || v == "close";
    }

    // Why such a step cannot act ("" when it can), given the cabinets and the
    // fobs declared so far.
    static std::string act_error(const script::Step &s, const std::vector<std::string> &names,
                                 const std::set<std::string> &fobs) {
        std::stringstream in(s.target);
        for (std::string n; s.target != "all" && std::getline(in, n, ',');) {
            if (std::find(names.begin(), names.end(), n) == names.end()) return "no cabinet named " + n;
        }
        const auto &a = s.args;
        const std::string &v = s.verb;
        if (v == "fob" && !fobs.count(a[0])) return "no fob named " + a[0] + " (declare it: fob NAME paired A B)";
        if (v == "power" && (a.size() > 1 || (a.size() == 1 && a[0] != "on" && a[0] != "off"))) return "power [on|off]";
        if ((v == "send" && a.size() != 1) || ((v == "open" || v == "close") && !a.empty())) {
            return "not a step of a fleet: " + v;
        }
        return "";
    }

private:
    static bool bad(std::string &error, const std::string &message) {
        error = message;
        return false;
    }

    void run_to(uint64_t t_ns) {
        if (advance) {
            advance(t_ns);
        } else {
            fleet_.run_to(t_ns);
        }
    }

    // A step that acts at once, checked.
    void act(const script::Step &s) {
        std::vector<size_t> targets;
        std::string error;
        targets_of(s, targets, error);
        const auto &a = s.args;
        const std::string &v = s.verb;
        if (v == "fob") {
            fleet_.press(a[0]);
        } else if (v == "power") {
            const bool cycle = a.empty();
            for (size_t t : targets) {
                if (cycle || a[0] == "off") fleet_.power(t, false);
            }
            for (size_t t : targets) {
                if (cycle || a[0] == "on") fleet_.power(t, true);
            }
        } else if (v == "send") {
            for (size_t t : targets) fleet_.payload(t, a[0]);
        } else {
            for (size_t t : targets) fleet_.door(t, v == "open");
        }
    }

    bool targets_of(const script::Step &s, std::vector<size_t> &out, std::string &error) {
        if (s.target.empty() || s.target == "all") {
            for (size_t i = 0; i < fleet_.size(); i++) out.push_back(i);
            return true;
        }
        std::stringstream in(s.target);
        for (std::string n; std::getline(in, n, ',');) {
            const int i = fleet_.index_of(n);
            if (i < 0) return bad(error, "no cabinet named " + n);
            out.push_back(static_cast<size_t>(i));
        }
        return true;
    }

    // fob NAME paired A B ...: pairing mode on those cabinets, a press (again
    // while the fob is missing from one of them: a press can be lost on the
    // air), pairing mode off.
    bool pair(const std::vector<std::string> &a, std::string &error) {
        std::vector<size_t> on;
        std::vector<int> had;
        for (size_t i = 2; i < a.size(); i++) {
            const int c = fleet_.index_of(a[i]);
            if (c < 0) return bad(error, "no cabinet named " + a[i]);
            on.push_back(static_cast<size_t>(c));
            had.push_back(paired(static_cast<size_t>(c)));
        }
        if (!fleet_.has_fob(a[0])) fleet_.add_fob(a[0]);
        for (size_t c : on) fleet_.payload(c, fleet::kPairPayload);
        run_to(fleet_.now_ns() + kPairPressNs);
        for (unsigned tries = 0; tries < kPairTries; tries++) {
            fleet_.press(a[0]);
            run_to(fleet_.now_ns() + kPairDoneNs);
            bool all = true;
            for (size_t i = 0; i < on.size(); i++) all = all && paired(on[i]) > had[i];
            if (all) break;
        }
        for (size_t c : on) fleet_.payload(c, fleet::kDefaultPayload);
        return true;
    }

    // The number of fobs the cabinet's last report gives (`DCLOOOF01V010B`).
    int paired(size_t c) const {
        const std::string &r = fleet_.cabinet(c).report;
        return r.size() >= 9 ? atoi(r.substr(7, 2).c_str()) : 0;
    }

    bool expect(const script::Step &s, const std::vector<size_t> &targets, std::string &error) {
        const auto &a = s.args;
        std::function<bool()> holds;
        std::string what;
        const uint64_t since = fleet_.now_ns();
        if (a[0] == "report" && a.size() == 2) {
            holds = [this, targets, text = a[1]] {
                for (size_t t : targets) {
                    if (fleet_.cabinet(t).report.find(text) == std::string::npos) return false;
                }
                return true;
            };
            what = "the report to show " + a[1];
        } else if (a[0] == "console" && a.size() == 2) {
            std::vector<size_t> seen;  // lines from this step on
            for (size_t t : targets) seen.push_back(fleet_.cabinet(t).console.size());
            holds = [this, targets, text = a[1], seen] {
                for (size_t i = 0; i < targets.size(); i++) {
                    const auto &lines = fleet_.cabinet(targets[i]).console;
                    if (std::none_of(lines.begin() + static_cast<std::ptrdiff_t>(seen[i]), lines.end(),
                                     [&](const std::string &l) { return l.find(text) != std::string::npos; })) {
                        return false;
                    }
                }
                return true;
            };
            what = "the console to say " + a[1];
        } else if (a[0] == "agree" && a.size() == 1) {
            holds = [this] { return fleet_.agree(); };
            what = "every cabinet to agree on lockdown or not";
        } else if (a[0] == "hears" && a.size() == 2 && fleet_.index_of(a[1]) >= 0) {
            const auto from = static_cast<size_t>(fleet_.index_of(a[1]));
            holds = [this, targets, from, since] {
                for (size_t t : targets) {
                    if (t != from && !fleet_.heard_since(t, from, since)) return false;
                }
                return true;
            };
            what = "a status broadcast of " + a[1] + " to be heard";
        } else {
            return bad(error, "expect report TEXT | console TEXT | agree | hears CABINET");
        }
        const uint64_t until = since + s.within_us * 1000;
        while (!holds() && fleet_.now_ns() < until) run_to(std::min(until, fleet_.now_ns() + kPollNs));
        const bool ok = holds();
        if (!ok) failed = true;
        std::string states;
        for (size_t i = 0; i < fleet_.size(); i++) {
            states += " " + fleet_.cabinet(i).name + "=" + fleet::state_name(fleet_.cabinet(i).state);
        }
        char line[160];
        snprintf(line, sizeof line, "%10.3f s  line %u: %s: expected ", static_cast<double>(fleet_.now_ns()) / 1e9,
                 s.line, ok ? "held" : "FAILED");
        char tail[64];
        snprintf(tail, sizeof tail, " within %.3f s (", static_cast<double>(s.within_us) / 1e6);
        fleet_.say(line + what + tail + states.substr(1) + ")", !ok);
        return true;
    }

    Fleet &fleet_;
};

// The cabinets, the unmended ones and the links a script declares.
bool declarations(const script::Parsed &p, Settings &s, std::string &error) {
    std::string links;
    for (const script::Step &st : p.steps) {
        if (st.verb == "cabinets") {
            s.options.names.clear();
            if (st.args.size() == 1 && st.args[0].find_first_not_of("0123456789") == std::string::npos) {
                const unsigned n = static_cast<unsigned>(atoi(st.args[0].c_str()));
                for (unsigned i = 0; i < n; i++) s.options.names.push_back(letter_name(i));
            } else {
                s.options.names = st.args;
            }
        } else if (st.verb == "unmended") {
            for (const auto &n : st.args) s.unmended += (s.unmended.empty() ? "" : ",") + n;
        } else if (st.verb == "link") {
            for (const auto &w : st.args) links += w + " ";
            links += "\n";
        }
    }
    if (s.options.names.empty() || s.options.names.size() > fleet::kMaxCabinets) {
        error = "a script starts with `cabinets A B ...` (or `cabinets N`), 1 to 64 of them";
        return false;
    }
    return s.topology.read(links, error);
}

// Reads a script and its declarations into `s`: 0, or the exit status.
int prepare(const script::Parsed &p, Settings &s) {
    if (!p.errors.empty()) {
        fprintf(stderr, "orlix-fleet: %s\n", script::describe(p.errors[0]).c_str());
        return 65;
    }
    std::string error;
    if (!declarations(p, s, error)) {
        fprintf(stderr, "orlix-fleet: %s\n", error.c_str());
        return 65;
    }
    apply_unmended(s);
    return 0;
}

// Runs a script; the exit status.
int run_script(const std::string &text, Settings s) {
    const script::Parsed p = script::parse(text);
    if (const int status = prepare(p, s)) return status;
    std::string error;
    Fleet f(s.options, s.topology);
    for (size_t i = 0; i < f.size(); i++) f.power(i, true);
    Runner r(f);
    for (const script::Step &st : p.steps) {
        if (!r.step(st, error)) {
            fprintf(stderr, "orlix-fleet: line %u: %s\n", st.line, error.c_str());
            return 65;
        }
    }
    const auto reach = f.reach();
    printf("%10.3f s  end: %llu of %llu status broadcasts heard (%llu lost to collisions, %llu while transmitting); "
           "%.1f s of wall time\n",
           static_cast<double>(f.now_ns()) / 1e9, static_cast<unsigned long long>(reach.heard),
           static_cast<unsigned long long>(reach.possible), static_cast<unsigned long long>(reach.collided),
           static_cast<unsigned long long>(reach.deaf), f.wall_seconds());
    return r.failed ? 1 : 0;
}

// ---- random scenarios ----------------------------------------------------------------------------

// N cabinets booting within 5 s, 1 to 3 fobs each paired on a random set of
// them, 1 to 5 presses of random fobs 0.5 to 12 s apart, then 16 s more.
// Settled: the first press comes 16 s after the start, so that every cabinet
// booted more than the firmware's 10 s margin before it. Together: every
// cabinet loses its power and gets it back at once before the presses, as
// after a building's outage.
struct Kind {
    bool settled = false;
    bool together = false;
};

std::string random_scenario(uint64_t seed, Kind kind = {}) {
    std::mt19937_64 rng(seed);
    const auto pick = [&rng](unsigned lo, unsigned hi) { return lo + static_cast<unsigned>(rng() % (hi - lo + 1)); };
    const unsigned n = pick(2, 10);
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
};

Outcome measure_one(uint64_t seed, Settings s, Kind kind) {
    const std::string text = random_scenario(seed, kind);
    const script::Parsed p = script::parse(text);
    std::string error;
    declarations(p, s, error);
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
    return o;
}

int measure(unsigned k, Settings s, Kind kind) {
    std::vector<double> agree_s;
    unsigned out = 0, heard_apart = 0;
    Fleet::Reach total;
    double board = 0, wall = 0;
    for (unsigned i = 0; i < k; i++) {
        const Outcome o = measure_one(s.options.seed + i, s, kind);
        if (!o.in_step) out++;
        if (o.heard_apart) heard_apart++;
        printf("seed %llu: %u cabinets, %s%s, agreed %.3f s after the last press, %llu of %llu broadcasts heard\n",
               static_cast<unsigned long long>(s.options.seed + i), o.cabinets, o.in_step ? "in step" : "OUT OF STEP",
               o.heard_apart ? " though they hear each other" : "",
               o.agree_ns == UINT64_MAX ? -1.0 : static_cast<double>(o.agree_ns) / 1e9,
               static_cast<unsigned long long>(o.reach.heard), static_cast<unsigned long long>(o.reach.possible));
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
           "\"wall_seconds\": %.1f, \"unmended\": \"%s\", \"settled\": %s, \"together\": %s}\n",
           k, out, heard_apart, k ? static_cast<double>(out) / k : 0.0, q(0.5), q(0.95), agree_s.empty() ? -1.0 : agree_s.back(),
           total.possible ? static_cast<double>(total.heard) / static_cast<double>(total.possible) : 0.0, board, wall,
           s.unmended.c_str(), kind.settled ? "true" : "false", kind.together ? "true" : "false");
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
           "\"heard_share\": %.4f, \"collided\": %llu, \"deaf\": %llu, \"in_step\": %s, \"board_seconds\": %.1f, "
           "\"wall_seconds\": %.2f, \"speed\": %.2f, \"unmended\": \"%s\"}\n",
           n, presses ? "true" : "false", together ? "true" : "false", static_cast<unsigned long long>(reach.heard),
           static_cast<unsigned long long>(reach.possible),
           reach.possible ? static_cast<double>(reach.heard) / static_cast<double>(reach.possible) : 0.0,
           static_cast<unsigned long long>(reach.collided), static_cast<unsigned long long>(reach.deaf),
           f.agree() ? "true" : "false", board, f.wall_seconds(), board / f.wall_seconds(), s.unmended.c_str());
    return 0;
}

// ---- the fleet on a web page ---------------------------------------------------------------------

constexpr unsigned kWebDefaultPort = sim::kWebDefaultPort + 1;  // beside the virtual board's page
constexpr unsigned kDefaultCabinets = 3;
constexpr uint64_t kLiveSliceNs = 20 * kMsNs;  // the page's commands act between two slices
constexpr auto kLiveNap = std::chrono::milliseconds(10);
constexpr size_t kAirShown = 40;  // the latest packets on the page

volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }
struct Interrupted {};

// Without a script: N cabinets (A, B, ...) and a fob f0 paired on them all.
std::string default_fleet(unsigned n) {
    std::string names;
    for (unsigned i = 0; i < n; i++) names += " " + letter_name(i);
    return "cabinets" + names + "\nwait 1s\nfob f0 paired" + names + "\n";
}

// The fleet at real time with its page: the script's steps run through it,
// and the page's commands (steps that act at once) act between two slices at
// the fleet's time of then.
class Live {
public:
    Live(Fleet &f, Runner &r, const std::deque<fleet::AirReport> &air) : fleet_(f), runner_(r), air_(air), pace_(1.0, 0) {
        for (size_t i = 0; i < f.size(); i++) names_.push_back(f.cabinet(i).name);
    }

    std::string script;  // what the script does, for the page

    // In the server's threads: why the page's line is not a command ("" when it is one).
    std::string command_error(const std::string &line) {
        const script::Parsed p = script::parse(line);
        if (!p.errors.empty()) return "not a command: " + p.errors[0].message;
        if (p.steps.size() != 1) return "not a command: one step, please";
        const script::Step &s = p.steps[0];
        if (!Runner::acts_at_once(s) || s.within_given) {
            return "not a command of the page: " + s.verb +
                   " (it takes fob NAME, [@CABINETS] power [on|off], [@CABINETS] send PAYLOAD, open, close)";
        }
        std::lock_guard<std::mutex> hold(fobs_lock_);
        return Runner::act_error(s, names_, fobs_);
    }

    void run_to(uint64_t t_ns) {
        while (fleet_.now_ns() < t_ns) {
            if (interrupted) throw Interrupted{};
            take_commands();
            const uint64_t to = std::min(t_ns, fleet_.now_ns() + kLiveSliceNs);
            const uint64_t due_us = pace_.target_us(fleet_.now_ns() / 1000);
            if (due_us < to / 1000) {
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kLiveNap, pace_.wait_for(to / 1000)));
            } else {
                fleet_.run_to(to);
            }
            publish();
            const std::string slow = pace_.check(fleet_.now_ns() / 1000);
            if (!slow.empty()) fleet_.say("orlix-fleet: " + slow, true);
        }
    }

private:
    void take_commands() {
        for (const std::string &line : sim::web_commands()) {
            fleet_.log(fleet_.now_ns(), "page", line);
            std::string error;
            runner_.step(script::parse(line).steps[0], error);  // checked as it came
        }
    }

    void publish() {
        {
            const auto fobs = fleet_.fobs();
            std::lock_guard<std::mutex> hold(fobs_lock_);
            fobs_.insert(fobs.begin(), fobs.end());
        }
        sim::web_state([this] { return state_json(); });
    }

    std::string state_json() const {
        const auto seconds = [](uint64_t t_ns) { return std::to_string(static_cast<double>(t_ns) / 1e9); };
        std::ostringstream j;
        j << "{\"t\":" << seconds(fleet_.now_ns()) << ",\"script\":" << sim::web_json_string(script) << ",\"fobs\":[";
        const auto fobs = fleet_.fobs();
        for (size_t i = 0; i < fobs.size(); i++) j << (i ? "," : "") << sim::web_json_string(fobs[i]);
        j << "],\"cabinets\":[";
        for (size_t i = 0; i < fleet_.size(); i++) {
            const fleet::Cabinet &c = fleet_.cabinet(i);
            j << (i ? "," : "") << "{\"name\":" << sim::web_json_string(c.name) << ",\"powered\":" << (c.powered ? "true" : "false")
              << ",\"state\":\"" << fleet::state_name(c.state) << "\",\"report\":" << sim::web_json_string(c.report)
              << ",\"heard\":" << c.heard_status << '}';
        }
        j << "],\"air\":[";
        for (size_t i = 0; i < air_.size(); i++) {
            const fleet::AirReport &p = air_[i];
            j << (i ? "," : "") << "{\"t\":" << seconds(p.end_ns) << ",\"from\":" << sim::web_json_string(p.from)
              << ",\"what\":" << sim::web_json_string(p.what) << ",\"at\":[";
            for (size_t k = 0; k < p.at.size(); k++) {
                j << (k ? "," : "") << '[' << sim::web_json_string(p.at[k].first) << ','
                  << sim::web_json_string(p.at[k].second) << ']';
            }
            j << "]}";
        }
        j << "]}";
        return j.str();
    }

    Fleet &fleet_;
    Runner &runner_;
    const std::deque<fleet::AirReport> &air_;
    sim::Pace pace_;
    std::vector<std::string> names_;
    std::mutex fobs_lock_;
    std::set<std::string> fobs_;  // declared so far: the page may press them
};

// Runs the fleet with its page until interrupted; the exit status.
// `name`: the script's, for the page.
int run_web(const std::string &text, const std::string &name, Settings s, unsigned port) {
    const script::Parsed p = script::parse(text);
    if (const int status = prepare(p, s)) return status;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::deque<fleet::AirReport> air;
    s.options.log_tap = sim::web_log;
    s.options.air_tap = [&air](const fleet::AirReport &r) {
        air.push_back(r);
        if (air.size() > kAirShown) air.pop_front();
    };
    Fleet f(s.options, s.topology);
    Runner r(f);
    Live live(f, r, air);
    live.script = name + ": running";
    if (!sim::web_start(port, sim::WebSite{ORLIX_FLEET_WEB_DIR, "fleet.html"}, [&live](const std::string &l) { return live.command_error(l); })) {
        fprintf(stderr, "orlix-fleet: cannot serve on 127.0.0.1 port %u (taken?)\n", port);
        return 69;
    }
    printf("web page: http://127.0.0.1:%u/\n", port);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    r.advance = [&live](uint64_t t_ns) { live.run_to(t_ns); };
    int status = 0;
    try {
        for (size_t i = 0; i < f.size(); i++) f.power(i, true);
        std::string error;
        for (const script::Step &st : p.steps) {
            if (!r.step(st, error)) {
                fprintf(stderr, "orlix-fleet: line %u: %s\n", st.line, error.c_str());
                status = 65;
                break;
            }
        }
        live.script = name + (status != 0 ? ": stopped at a malformed line"
                              : r.failed  ? ": has run, an expectation FAILED"
                                          : ": has run, every expectation held");
        f.say(live.script, true);
        live.run_to(UINT64_MAX);
    } catch (const Interrupted &) {
    } catch (const std::runtime_error &e) {
        // A board host ended by the same signal as this process is no failure.
        if (!interrupted) {
            fprintf(stderr, "orlix-fleet: %s\n", e.what());
            status = 70;
        }
    }
    sim::web_stop();
    printf("orlix-fleet: stopped at %.3f s of fleet time\n", static_cast<double>(f.now_ns()) / 1e9);
    return status != 0 ? status : r.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--board-host") == 0) return fleet::board_host_main(argc, argv);
    Settings s;
    const std::string dir = exe_dir(argv[0]);
    s.options.self = dir + "orlix-fleet";
    s.options.unmended_host = dir + "orlix-fleet-unmended";
    std::string script_path, topology_path;
    long long random_seed = -1;
    unsigned measure_k = 0, deliveries_n = 0;
    double secs = 120;
    bool print = false, presses = false, together = false, settled = false;
    int web_port = -1;  // no page
    unsigned cabinets = kDefaultCabinets;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--topology" && more) {
            topology_path = argv[++i];
        } else if (a == "--unmended" && more) {
            s.unmended = argv[++i];
        } else if (a == "--seed" && more) {
            s.options.seed = strtoull(argv[++i], nullptr, 10);
        } else if (a == "--web") {
            web_port = kWebDefaultPort;
            if (more && strspn(argv[i + 1], "0123456789") == strlen(argv[i + 1])) web_port = atoi(argv[++i]);
        } else if (a == "--port" && more) {
            web_port = atoi(argv[++i]);
        } else if (a == "--cabinets" && more) {
            cabinets = static_cast<unsigned>(atoi(argv[++i]));
        } else if (a == "--quiet") {
            s.options.log = false;
        } else if (a == "--random" && more) {
            random_seed = atoll(argv[++i]);
        } else if (a == "--print") {
            print = true;
        } else if (a == "--measure" && more) {
            measure_k = static_cast<unsigned>(atoi(argv[++i]));
        } else if (a == "--deliveries" && more) {
            deliveries_n = static_cast<unsigned>(atoi(argv[++i]));
        } else if (a == "--seconds" && more) {
            secs = atof(argv[++i]);
        } else if (a == "--presses") {
            presses = true;
        } else if (a == "--together") {
            together = true;
        } else if (a == "--settled") {
            settled = true;
        } else if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a[0] != '-' && script_path.empty()) {
            script_path = a;
        } else {
            fputs(kUsage, stderr);
            return 64;
        }
    }
    if (!topology_path.empty()) {
        bool ok = false;
        std::string error;
        const std::string text = read_file(topology_path, ok);
        if (!ok || !s.topology.read(text, error)) {
            fprintf(stderr, "orlix-fleet: %s: %s\n", topology_path.c_str(), ok ? error.c_str() : "cannot read it");
            return 65;
        }
    }
    try {
        if (measure_k > 0) return measure(measure_k, s, {settled, together});
        if (deliveries_n > 0) return deliveries(deliveries_n, secs, presses, together, s);
        if (random_seed >= 0) {
            const std::string text = random_scenario(static_cast<uint64_t>(random_seed), {settled, together});
            if (print) {
                fputs(text.c_str(), stdout);
                return 0;
            }
            return run_script(text, s);
        }
        if (web_port == 0 || web_port > 65535 || cabinets == 0 || cabinets > fleet::kMaxCabinets) {
            fputs(kUsage, stderr);
            return 64;
        }
        if (web_port > 0 && script_path.empty()) {
            return run_web(default_fleet(cabinets), "fob f0 paired on every cabinet", s, static_cast<unsigned>(web_port));
        }
        if (script_path.empty()) {
            fputs(kUsage, stderr);
            return 64;
        }
        bool ok = false;
        const std::string text = read_file(script_path, ok);
        if (!ok) {
            fprintf(stderr, "orlix-fleet: cannot read %s\n", script_path.c_str());
            return 66;
        }
        if (web_port > 0) return run_web(text, script_path, s, static_cast<unsigned>(web_port));
        return run_script(text, s);
    } catch (const std::exception &e) {
        fprintf(stderr, "orlix-fleet: %s\n", e.what());
        return 70;
    }
}
