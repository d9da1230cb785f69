#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace fleet {

namespace {

constexpr uint64_t kPairPressNs = 100 * kMsNs;    // pairing: the payload, then the press
constexpr uint64_t kPairDoneNs = 1000 * kMsNs;    // and the end of pairing mode
constexpr unsigned kPairTries = 8;

}  // namespace

std::string letter_name(unsigned i) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('A' + i % 26));
        i /= 26;
    } while (i-- > 0);
    return s;
}

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

bool Runner::step(const script::Step &s, std::string &error) {
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

bool Runner::acts_at_once(const script::Step &s) {
    const std::string &v = s.verb;
    return (v == "fob" && s.args.size() == 1) || v == "power" || v == "send" || v == "open" || v == "close";
}

std::string Runner::act_error(const script::Step &s, const std::vector<std::string> &names,
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

bool Runner::bad(std::string &error, const std::string &message) {
    error = message;
    return false;
}

void Runner::run_to(uint64_t t_ns) {
    if (advance) {
        advance(t_ns);
    } else {
        fleet_.run_to(t_ns);
    }
}

void Runner::act(const script::Step &s) {
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

bool Runner::targets_of(const script::Step &s, std::vector<size_t> &out, std::string &error) {
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

bool Runner::pair(const std::vector<std::string> &a, std::string &error) {
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

int Runner::paired(size_t c) const {
    const std::string &r = fleet_.cabinet(c).report;
    return r.size() >= 9 ? atoi(r.substr(7, 2).c_str()) : 0;
}

bool Runner::expect(const script::Step &s, const std::vector<size_t> &targets, std::string &error) {
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

}  // namespace fleet
