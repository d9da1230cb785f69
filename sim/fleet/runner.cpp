#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "figures.h"
#include "radio_messages.h"

namespace fleet {

namespace {

constexpr uint64_t kPairPressNs = 100 * kMsNs;    // pairing: the payload, then the press
constexpr uint64_t kPairDoneNs = 1000 * kMsNs;    // and the end of pairing mode
constexpr unsigned kPairTries = 8;
constexpr size_t kReportChars = 14;               // an input report: DCLOOOF01V010B

const char *const kRecordUsage = "record NAME from CABINET [lockdown|none|unlock]";
const char *const kReplayUsage = "replay NAME [times K] [every D] [zero I-J] [set I=HEX]";
const char *const kExpectUsage = "expect report TEXT | console TEXT | agree | hears CABINET | no change for D";

// A recorded packet on the air: 48 bytes, 308 ms at the cabinets' rate.
uint64_t replay_air_ns() {
    return peers::Air::air_time_ns(peers::kMessageSize, peers::ModuleSettings::network().air_bps());
}

// `none`, `lockdown`, `unlock` as a fob state; Unknown for any other word.
FobState state_word(const std::string &w) {
    if (w == "none") return FobState::None;
    if (w == "lockdown") return FobState::Lockdown;
    if (w == "unlock") return FobState::Unlock;
    return FobState::Unknown;
}

// "I" or "I-J", byte offsets within a message: the first and the last.
bool byte_range(const std::string &w, size_t &first, size_t &last) {
    const size_t dash = w.find('-');
    unsigned long long a = 0, b = 0;
    const std::string lo = w.substr(0, dash), hi = dash == std::string::npos ? lo : w.substr(dash + 1);
    if (!whole_number(lo.c_str(), 0, peers::kMessageSize - 1, a) || !whole_number(hi.c_str(), a, peers::kMessageSize - 1, b)) {
        return false;
    }
    first = a;
    last = b;
    return true;
}

// A status message as the timeline tells it: its sender's state and age.
std::string status_text(const std::string &bytes) {
    peers::Message m;
    std::copy(bytes.begin(), bytes.end(), m.begin());
    const auto s = peers::decode_status(m);
    return std::string("status ") + state_name(static_cast<FobState>(std::min<uint8_t>(s->fob, 3))) + " " +
           peers::age_text(s->age_ms);
}

std::string duration_text(uint64_t us) {
    char b[32];
    snprintf(b, sizeof b, "%.3f s", static_cast<double>(us) / 1e6);
    return b;
}

}  // namespace

std::string replay_plan(const std::vector<std::string> &a, ReplayPlan &plan) {
    plan = ReplayPlan{};
    if (a.empty()) return kReplayUsage;
    plan.name = a[0];
    bool times = false, every = false;
    for (size_t i = 1; i < a.size(); i += 2) {
        const std::string &key = a[i];
        if (i + 1 >= a.size() || (key != "times" && key != "every" && key != "zero" && key != "set")) return kReplayUsage;
        const std::string &value = a[i + 1];
        if ((key == "times" && times) || (key == "every" && every)) return "`" + key + "` given twice";
        if (key == "times") {
            unsigned long long k = 0;
            if (!whole_number(value.c_str(), 1, kMaxReplays, k)) return "`times` takes 1 to 1000, not `" + value + "`";
            plan.times = static_cast<unsigned>(k);
            times = true;
        } else if (key == "every") {
            const auto d = script::parse_duration(value);
            if (!d || *d * 1000 < replay_air_ns() || *d > kMaxReplayEveryUs) {
                return "`every` takes a duration from the packet's " + duration_text(replay_air_ns() / 1000) +
                       " on the air to an hour, not `" + value + "`";
            }
            plan.every_us = *d;
            every = true;
        } else if (key == "zero") {
            size_t first = 0, last = 0;
            if (!byte_range(value, first, last)) return "`zero` takes bytes I or I-J, 0 <= I <= J <= 47, not `" + value + "`";
            plan.edits.push_back({first, std::string(last - first + 1, '\0')});
        } else {
            const size_t eq = value.find('=');
            size_t at = 0, last = 0;
            const auto bytes = eq == std::string::npos ? std::nullopt : peers::from_hex(value.substr(eq + 1));
            if (!bytes || bytes->empty() || value.find_first_of(" :") != std::string::npos ||
                !byte_range(value.substr(0, eq), at, last) || at != last || at + bytes->size() > peers::kMessageSize) {
                return "`set` takes I=HEX, bytes from I on within the 48, not `" + value + "`";
            }
            plan.edits.push_back({at, *bytes});
        }
    }
    return "";
}

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
    } else if (v == "record") {
        return record(s, error);
    } else if (v == "replay") {
        return replay(s, targets, error);
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
    take_recordings();
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
    if (a[0] == "no") {
        const auto d = a.size() == 4 && a[1] == "change" && a[2] == "for" ? script::parse_duration(a[3]) : std::nullopt;
        if (!d || s.within_given) return bad(error, kExpectUsage);
        expect_no_change(s, targets, *d);
        return true;
    }
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
        return bad(error, kExpectUsage);
    }
    const uint64_t until = since + s.within_us * 1000;
    while (!holds() && fleet_.now_ns() < until) run_to(std::min(until, fleet_.now_ns() + kPollNs));
    judged(s, holds(), "expected " + what + " within " + duration_text(s.within_us));
    return true;
}

// The stretch runs whole, held or not, so that the steps after it come at
// the same time either way.
void Runner::expect_no_change(const script::Step &s, const std::vector<size_t> &targets, uint64_t d_us) {
    const uint64_t since = fleet_.now_ns(), until = since + d_us * 1000;
    const size_t seen = fleet_.changes().size();
    run_to(until);
    const auto &changes = fleet_.changes();
    const auto first = std::find_if(changes.begin() + static_cast<std::ptrdiff_t>(seen), changes.end(), [&](const StateChange &c) {
        return c.t_ns >= since && std::find(targets.begin(), targets.end(), c.cabinet) != targets.end();
    });
    std::string what = "expected no change of the fob state for " + duration_text(d_us);
    if (first != changes.end()) {
        char when[96];
        snprintf(when, sizeof when, ": %s became %s at %.3f s", fleet_.cabinet(first->cabinet).name.c_str(),
                 state_name(first->state), static_cast<double>(first->t_ns) / 1e9);
        what += when;
    }
    judged(s, first == changes.end(), what);
}

// An expectation's verdict on the timeline, with every cabinet's state.
void Runner::judged(const script::Step &s, bool ok, const std::string &what) {
    if (!ok) failed = true;
    std::string states;
    for (size_t i = 0; i < fleet_.size(); i++) {
        states += " " + fleet_.cabinet(i).name + "=" + fleet::state_name(fleet_.cabinet(i).state);
    }
    char line[96];
    snprintf(line, sizeof line, "%10.3f s  line %u: %s: ", static_cast<double>(fleet_.now_ns()) / 1e9, s.line,
             ok ? "held" : "FAILED");
    fleet_.say(line + what + " (" + states.substr(1) + ")", !ok);
}

bool Runner::record(const script::Step &s, std::string &error) {
    const auto &a = s.args;
    if (a.size() < 3 || a.size() > 4 || a[1] != "from") return bad(error, kRecordUsage);
    const int from = fleet_.index_of(a[2]);
    if (from < 0) return bad(error, "no cabinet named " + a[2]);
    const FobState state = a.size() == 4 ? state_word(a[3]) : FobState::Unknown;
    if (a.size() == 4 && state == FobState::Unknown) return bad(error, kRecordUsage);
    recordings_[a[0]] = Recording{s.line, static_cast<size_t>(from), state, fleet_.now_ns(), ""};
    return true;
}

void Runner::take_recordings() {
    for (auto &[name, r] : recordings_) {
        if (!r.bytes.empty()) continue;
        const peers::Packet *p = fleet_.status_sent(r.from, r.since_ns, r.state);
        if (p == nullptr) continue;
        r.bytes = p->bytes;
        fleet_.log(p->end_ns, "attacker", "recorded " + name + ": " + fleet_.cabinet(r.from).name + "'s " +
                                              status_text(r.bytes) + ", " + peers::hex(r.bytes));
    }
}

bool Runner::replay(const script::Step &s, const std::vector<size_t> &targets, std::string &error) {
    ReplayPlan plan;
    if (const std::string why = replay_plan(s.args, plan); !why.empty()) return bad(error, why);
    const auto it = recordings_.find(plan.name);
    if (it == recordings_.end()) return bad(error, "no recording named " + plan.name);
    const Recording &r = it->second;
    if (r.bytes.empty()) {
        const std::string state = r.state == FobState::Unknown ? "" : std::string(" telling ") + state_name(r.state);
        judged(s, false, "expected a status broadcast of " + fleet_.cabinet(r.from).name + state + " since line " +
                             std::to_string(r.line) + " to replay (none: nothing replayed)");
        return true;
    }
    const std::string &recorded = r.bytes;
    std::string bytes = recorded, edits;
    for (const auto &[at, put] : plan.edits) {
        bytes.replace(at, put.size(), put);
        edits += (edits.empty() ? "; bytes " : ", ") + std::to_string(at) +
                 (put.size() > 1 ? "-" + std::to_string(at + put.size() - 1) : "") + " set to " + peers::hex(put);
    }
    if (!plan.edits.empty() && bytes == recorded) edits += " (as they were: the packet goes out as recorded)";
    std::string reach;
    for (size_t t : targets) reach += (reach.empty() ? "" : ",") + fleet_.cabinet(t).name;
    const uint64_t every_ns = std::max(plan.every_us * 1000, replay_air_ns());
    fleet_.log(fleet_.now_ns(), "attacker",
               "replay " + plan.name + " " + std::to_string(plan.times) + " times, one every " +
                   duration_text(every_ns / 1000) + ", reaching " + (targets.size() == fleet_.size() ? "all" : reach) + edits);
    fleet_.replay("replay " + plan.name + " (line " + std::to_string(s.line) + ")", bytes, targets, plan.times, every_ns);
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
    if (what == "no") {
        const bool good = a.size() == 4 && a[1] == "change" && a[2] == "for" && script::parse_duration(a[3]);
        if (!good) return "expect no change for D";
        return st.within_given ? "`expect no change for D` takes no `within`" : "";
    }
    if (what == "hears" && a.size() == 2) {
        if (!known(names, a[1])) return "no cabinet named " + a[1];
        std::vector<std::string> targets;
        step_targets(st, names, targets);
        const bool explicit_self = !st.target.empty() && st.target != "all" && known(targets, a[1]);
        if (explicit_self || (targets.size() == 1 && targets[0] == a[1])) return "a cabinet does not hear itself: " + a[1];
        return "";
    }
    return kExpectUsage;
}

// Why a `record` line cannot record ("" when it can); `recorded` holds the
// names taken so far and the lines that took them.
std::string record_error(const script::Step &st, const std::vector<std::string> &names,
                         const std::map<std::string, unsigned> &recorded) {
    const auto &a = st.args;
    if (!st.target.empty()) return "`record` takes no target: record NAME from CABINET";
    if (a.size() < 3 || a.size() > 4 || a[1] != "from") return kRecordUsage;
    if (!known(names, a[2])) return "no cabinet named " + a[2];
    if (a.size() == 4 && state_word(a[3]) == FobState::Unknown) return "a state to record is lockdown, none or unlock, not " + a[3];
    if (const auto it = recorded.find(a[0]); it != recorded.end()) {
        return "a recording named " + a[0] + " was made on line " + std::to_string(it->second);
    }
    return "";
}

// Why a `replay` line cannot play ("" when it can).
std::string replay_error(const script::Step &st, const std::map<std::string, unsigned> &recorded) {
    ReplayPlan plan;
    if (std::string why = replay_plan(st.args, plan); !why.empty()) return why;
    if (!recorded.count(plan.name)) return "no recording named " + plan.name + " (record it first: record NAME from CABINET)";
    return "";
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
    std::set<std::string> fobs;               // declared so far
    std::map<std::string, unsigned> recorded;  // recordings so far, and their lines
    uint64_t earliest_us = 0;                 // the board time a step is reached at the earliest
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
            const auto d = why.empty() && st.args[0] == "no" ? script::parse_duration(st.args[3]) : std::nullopt;
            if (d) earliest_us += *d;  // the stretch runs whole
        } else if (v == "record") {
            why = record_error(st, names, recorded);
            if (why.empty()) recorded[st.args[0]] = st.line;
        } else if (v == "replay") {
            why = replay_error(st, recorded);
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
    for (const std::string &line : f.replay_summaries()) printf("%s\n", line.c_str());
    const auto reach = f.reach();
    printf("%10.3f s  end: %llu of %llu status broadcasts heard (%llu lost to collisions, %llu while transmitting); "
           "%.1f s of wall time\n",
           static_cast<double>(f.now_ns()) / 1e9, static_cast<unsigned long long>(reach.heard),
           static_cast<unsigned long long>(reach.possible), static_cast<unsigned long long>(reach.collided),
           static_cast<unsigned long long>(reach.deaf), f.wall_seconds());
    return r.failed ? 1 : 0;
}

}  // namespace fleet
