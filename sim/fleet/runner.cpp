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
constexpr size_t kReportChars = 14;               // an input report: DCLOOOF01V010B

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

namespace {

bool known(const std::vector<std::string> &names, const std::string &n) {
    return std::find(names.begin(), names.end(), n) != names.end();
}

std::vector<std::string> split_names(const std::string &list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    for (std::string n; std::getline(in, n, ',');) out.push_back(n);
    return out;
}

// `cabinets A B ...` or `cabinets N`: the names, or why not.
std::string cabinet_names(const script::Step &st, std::vector<std::string> &names) {
    names.clear();
    if (st.args.size() == 1 && !st.args[0].empty() && st.args[0].find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long n = st.args[0].size() > 2 ? kMaxCabinets + 1 : std::stoul(st.args[0]);
        for (unsigned i = 0; i < n && n <= kMaxCabinets; i++) names.push_back(letter_name(static_cast<unsigned>(i)));
    } else {
        names = st.args;
    }
    if (names.empty() || names.size() > kMaxCabinets) return "`cabinets A B ...` (or `cabinets N`), 1 to 64 of them";
    for (size_t i = 0; i < names.size(); i++) {
        const std::string &n = names[i];
        if (n.empty() || n == "all" || n == "half" || n == "-" || n == "default" ||
            n.find_first_of(",@#") != std::string::npos) {
            return "not a cabinet's name: " + n;
        }
        if (std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i), n) != names.begin() + static_cast<std::ptrdiff_t>(i)) {
            return "cabinet " + n + " named twice";
        }
    }
    return "";
}

// The cabinets a step's @TARGET names (all without one), or why not.
std::string step_targets(const script::Step &st, const std::vector<std::string> &names, std::vector<std::string> &out) {
    out.clear();
    if (st.target.empty() || st.target == "all") {
        out = names;
        return "";
    }
    for (const std::string &n : split_names(st.target)) {
        if (!known(names, n)) return "no cabinet named " + n;
        out.push_back(n);
    }
    return "";
}

// Why an expectation cannot be judged ("" when it can).
std::string expect_error(const script::Step &st, const std::vector<std::string> &names) {
    const auto &a = st.args;
    const std::string what = a.empty() ? "" : a[0];
    if (what == "report" && a.size() == 2) {
        return a[1].size() > kReportChars ? "a report has 14 characters: " + a[1] + " is longer" : "";
    }
    if ((what == "console" && a.size() == 2) || (what == "agree" && a.size() == 1)) return "";
    if (what == "hears" && a.size() == 2) {
        if (!known(names, a[1])) return "no cabinet named " + a[1];
        std::vector<std::string> targets;
        step_targets(st, names, targets);
        const bool explicit_self = !st.target.empty() && st.target != "all" && known(targets, a[1]);
        if (explicit_self || (targets.size() == 1 && targets[0] == a[1])) return "a cabinet does not hear itself: " + a[1];
        return "";
    }
    return "expect report TEXT | console TEXT | agree | hears CABINET";
}

}  // namespace

std::vector<script::Error> declarations(const script::Parsed &p, Settings &s) {
    std::vector<script::Error> errors;
    const auto fail = [&errors](const script::Step &st, const std::string &why) { errors.push_back({st.line, why}); };
    const script::Step *declared = nullptr;
    for (const script::Step &st : p.steps) {
        if (st.verb != "cabinets") continue;
        if (declared != nullptr) {
            fail(st, "the cabinets were declared on line " + std::to_string(declared->line));
            continue;
        }
        declared = &st;
        const std::string why = cabinet_names(st, s.options.names);
        if (!why.empty()) fail(st, why);
    }
    if (declared == nullptr) {
        errors.push_back({p.steps.empty() ? 1 : p.steps[0].line, "a script starts with `cabinets A B ...` (or `cabinets N`)"});
        return errors;
    }
    const auto &names = s.options.names;
    for (const script::Step &st : p.steps) {
        if (st.verb == "unmended") {
            if (st.args.empty()) fail(st, "`unmended A B ...`, `unmended all` or `unmended half`");
            for (const auto &n : st.args) {
                if (n != "all" && n != "half" && !known(names, n)) {
                    fail(st, "no cabinet named " + n);
                    break;
                }
                s.unmended += (s.unmended.empty() ? "" : ",") + n;
            }
        } else if (st.verb == "link") {
            std::string why;
            const auto &a = st.args;
            if (!s.topology.add(a, why)) {
                fail(st, why);
            } else if (a[0] != "default" && !known(names, a[0])) {
                fail(st, "no cabinet named " + a[0]);
            } else if (const std::string &to = a[1] == "-" ? a[2] : a[1]; a[0] != "default" && !known(names, to)) {
                fail(st, "no cabinet named " + to);
            }
        }
    }
    return errors;
}

std::vector<script::Error> check_steps(const script::Parsed &p, const Settings &s) {
    std::vector<script::Error> errors;
    const auto &names = s.options.names;
    std::set<std::string> fobs;  // declared so far
    uint64_t earliest_us = 0;    // the board time a step is reached at the earliest
    for (const script::Step &st : p.steps) {
        const std::string &v = st.verb;
        std::vector<std::string> targets;
        std::string why = step_targets(st, names, targets);
        if (!why.empty()) {
        } else if (st.within_given && v != "expect") {
            why = "`within` belongs to `expect`";
        } else if (v == "cabinets" || v == "unmended" || v == "link") {
            if (!st.target.empty()) why = "`" + v + "` takes no target";
        } else if (v == "fob" && st.args.size() >= 2 && st.args[1] == "paired") {
            for (size_t i = 2; i < st.args.size() && why.empty(); i++) {
                if (!known(names, st.args[i])) why = "no cabinet named " + st.args[i];
            }
            if (st.args.size() < 3) why = "fob NAME paired A B ...";
            if (why.empty()) fobs.insert(st.args[0]);
            earliest_us += (kPairPressNs + kPairDoneNs) / 1000;
        } else if (Runner::acts_at_once(st)) {
            why = Runner::act_error(st, names, fobs);
        } else if (v == "wait" || v == "at") {
            const auto d = st.args.size() == 1 ? script::parse_duration(st.args[0]) : std::nullopt;
            if (!d) {
                why = "`" + v + "` takes a duration (2.5s, 300ms, 20us)";
            } else if (v == "at" && *d < earliest_us) {
                char text[96];
                snprintf(text, sizeof text, "at %.6g s: the script is at %.6g s by then", static_cast<double>(*d) / 1e6,
                         static_cast<double>(earliest_us) / 1e6);
                why = text;
            } else {
                earliest_us = v == "wait" ? earliest_us + *d : *d;
            }
        } else if (v == "expect") {
            why = expect_error(st, names);
        } else {
            why = "not a step of a fleet: " + v;
        }
        if (!why.empty()) errors.push_back({st.line, why});
    }
    return errors;
}

// Reads a script and its declarations into `s`, and checks every line: 0, or
// the exit status.
int prepare(const script::Parsed &p, Settings &s) {
    std::vector<script::Error> errors = p.errors;
    if (errors.empty()) errors = declarations(p, s);
    if (errors.empty()) errors = check_steps(p, s);
    if (errors.empty()) {
        if (const std::string n = s.topology.unknown_cabinet(s.options.names); !n.empty()) {
            fprintf(stderr, "orlix-fleet: the links name a cabinet the script does not declare: %s\n",
                    script::printable(n).c_str());
            return 65;
        }
        std::string unknown;
        for (const std::string &n : split_names(s.unmended)) {
            if (n != "all" && n != "half" && !n.empty() && !known(s.options.names, n)) unknown = n;
        }
        if (!unknown.empty()) {
            fprintf(stderr, "orlix-fleet: --unmended names a cabinet the script does not declare: %s\n",
                    script::printable(unknown).c_str());
            return 64;
        }
        apply_unmended(s);
        return 0;
    }
    std::stable_sort(errors.begin(), errors.end(), [](const script::Error &a, const script::Error &b) { return a.line < b.line; });
    for (const script::Error &e : errors) fprintf(stderr, "orlix-fleet: %s\n", script::describe(e).c_str());
    return 65;
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
            fprintf(stderr, "orlix-fleet: %s\n", script::describe({st.line, error}).c_str());
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
