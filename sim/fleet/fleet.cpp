#include "fleet.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "board_host.h"
#include "drift.h"
#include "radio_messages.h"
#include "vboard.h"

namespace fleet {

namespace {

uint64_t name_hash(const std::string &name) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const char c : name) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
    return h;
}

// A crystal's error within +-ppm, drawn from the seed and the cabinet's index.
int64_t drawn_ppb(uint64_t seed, size_t index, int64_t ppm) {
    if (ppm == 0) return 0;
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + (index + 1) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 31)) * 0x94D049BB133111EBull;
    x ^= x >> 29;
    const uint64_t span = static_cast<uint64_t>(2 * ppm * kPpbPerPpm + 1);
    return static_cast<int64_t>(x % span) - ppm * kPpbPerPpm;
}

std::string seconds(uint64_t t_ns) {
    char b[32];
    snprintf(b, sizeof b, "%10.3f s", static_cast<double>(t_ns) / 1e9);
    return b;
}

}  // namespace

const char *state_name(FobState s) {
    switch (s) {
    case FobState::None: return "NONE";
    case FobState::Lockdown: return "LOCKDOWN";
    case FobState::Unlock: return "UNLOCK";
    default: return "?";
    }
}

FobState state_of_code(const std::string &code) {
    if (code == "OOO") return FobState::None;
    if (code == "FLO") return FobState::Lockdown;
    if (code == "FUN") return FobState::Unlock;
    return FobState::Unknown;
}

double Topology::link(const std::string &from, const std::string &to) const {
    const auto it = loss.find({from, to});
    if (it != loss.end()) return it->second;
    return all_hear ? 0.0 : 1.0;
}

bool Topology::add(const std::vector<std::string> &w, std::string &error) {
    if (w.size() == 2 && w[0] == "default" && (w[1] == "none" || w[1] == "all")) {
        all_hear = w[1] == "all";
        return true;
    }
    const bool both = w.size() == 4 && w[1] == "-";
    if (w.size() != 3 && !both) {
        error = "`FROM TO LOSS`, `A - B LOSS` or `default none|all`";
        return false;
    }
    const std::string &a = w[0], &b = both ? w[2] : w[1], &l = w.back();
    char *end = nullptr;
    const double v = l == "none" ? 1.0 : strtod(l.c_str(), &end);
    // Written so that nan fails too.
    if (l != "none" && (*end != '\0' || !(v >= 0 && v <= 1))) {
        error = "a loss is a share from 0 to 1, or `none`";
        return false;
    }
    loss[{a, b}] = v;
    if (both) loss[{b, a}] = v;
    return true;
}

bool Topology::read(const std::string &text, std::string &error) {
    std::istringstream lines(text);
    std::string line;
    for (unsigned n = 1; std::getline(lines, line); n++) {
        line = line.substr(0, line.find('#'));
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (!w.empty() && !add(w, error)) {
            error = "line " + std::to_string(n) + ": " + error;
            return false;
        }
    }
    return true;
}

std::string Topology::unknown_cabinet(const std::vector<std::string> &names) const {
    for (const auto &[link, share] : loss) {
        for (const std::string &n : {link.first, link.second}) {
            if (std::find(names.begin(), names.end(), n) == names.end()) return n;
        }
    }
    return "";
}

class CabinetRadio : public peers::Radio {
public:
    CabinetRadio(peers::Air &air, Cabinet &c) : Radio(air, peers::ModuleSettings::network()), cabinet(c) {
        powered = false;
    }
    Cabinet &cabinet;

protected:
    void receive(uint64_t, const std::string &bytes) override { cabinet.deliveries.push_back(peers::hex(bytes)); }
};

namespace {

// The attacker's transmitter: a module on the cabinets' channel and key
// (what it sends, receivers take as it was recorded).
class AttackerRadio : public peers::Radio {
public:
    explicit AttackerRadio(peers::Air &air) : Radio(air, peers::ModuleSettings::network()) {}
};

// The console line the firmware prints for an authentic message.
std::string msg_from_line(const std::string &bytes) {
    const auto le32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; i++) v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
        return v;
    };
    uint32_t counter = 0;
    for (size_t i = 12; i < 16; i++) counter = counter << 8 | static_cast<uint8_t>(bytes[i]);
    char line[64];
    snprintf(line, sizeof line, "MSG FROM %08x%08x%08x %d", static_cast<unsigned>(le32(0)), static_cast<unsigned>(le32(4)),
             static_cast<unsigned>(le32(8)), static_cast<int>(counter));
    return line;
}

}  // namespace

Fleet::Fleet(const Options &options, const Topology &topology)
    : options_(options),
      topology_(topology),
      window_(peers::Air::air_time_ns(1, peers::ModuleSettings::network().air_bps())),
      wall_start_ns_(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {
    signal(SIGPIPE, SIG_IGN);
    air_.seed = options.seed;
    air_.link = [this](const peers::Radio *from, const peers::Radio *to) { return link(from, to); };
    for (size_t i = 0; i < options.names.size(); i++) {
        auto c = std::make_unique<Cabinet>();
        c->name = options.names[i];
        c->unmended = options.unmended.count(c->name) != 0;
        c->clock_ppb = i < options.clock_ppb.size() ? options.clock_ppb[i] : drawn_ppb(options.seed, i, options.drift_ppm);
        c->radio = std::make_unique<CabinetRadio>(air_, *c);
        start_host(*c, i);
        cabinets_.push_back(std::move(c));
    }
}

Fleet::~Fleet() {
    for (auto &c : cabinets_) {
        if (c->to_host >= 0 && write(c->to_host, "quit\n", 5) != 5) kill(c->pid, SIGKILL);
    }
    for (auto &c : cabinets_) {
        if (c->to_host >= 0) close(c->to_host);
        if (c->from_host >= 0) close(c->from_host);
        if (c->pid > 0) waitpid(c->pid, nullptr, 0);
    }
}

void Fleet::start_host(Cabinet &c, size_t index) {
    int cmd[2], reply[2];
    if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(reply, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    char id[24];
    const uint64_t h = name_hash(c.name) ^ (index + 1);
    snprintf(id, sizeof id, "E661%012llX", static_cast<unsigned long long>(h & 0xFFFFFFFFFFFFull));
    const std::string exe = c.unmended ? options_.unmended_host : options_.self;
    char ppb[24];
    snprintf(ppb, sizeof ppb, "%lld", static_cast<long long>(c.clock_ppb));
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // Moved out of the way first: either end may already sit on 3 or 4.
        const int in = fcntl(cmd[0], F_DUPFD, 10), out = fcntl(reply[1], F_DUPFD, 10);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a board does not outlive its controller
        dup2(in, kCommandFd);
        dup2(out, kReplyFd);
        execl(exe.c_str(), exe.c_str(), "--board-host", c.name.c_str(), id, ppb, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(cmd[0]);
    close(reply[1]);
    c.pid = pid;
    c.to_host = cmd[1];
    c.from_host = reply[0];
}

void Fleet::send(Cabinet &c, const std::string &line) {
    const std::string text = line + "\n";
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = write(c.to_host, text.data() + at, text.size() - at);
        if (n <= 0) throw std::runtime_error("cabinet " + c.name + ": its board host is gone");
        at += static_cast<size_t>(n);
    }
}

std::string Fleet::read_line(Cabinet &c) {
    for (;;) {
        const size_t end = c.pending_in.find('\n');
        if (end != std::string::npos) {
            std::string line = c.pending_in.substr(0, end);
            c.pending_in.erase(0, end + 1);
            return line;
        }
        char buf[65536];
        const ssize_t n = read(c.from_host, buf, sizeof buf);
        if (n <= 0) throw std::runtime_error("cabinet " + c.name + ": its board host stopped");
        c.pending_in.append(buf, static_cast<size_t>(n));
    }
}

void Fleet::take_reply(size_t index) {
    Cabinet &c = *cabinets_[index];
    for (;;) {
        const std::string line = read_line(c);
        const size_t sp1 = line.find(' ');
        const std::string word = line.substr(0, sp1);
        const size_t sp2 = line.find(' ', sp1 + 1);
        const uint64_t t = strtoull(line.c_str() + sp1 + 1, nullptr, 10);
        const std::string rest = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
        if (word == "done") {
            c.clock_ns = t;
            return;
        }
        if (word == "error") throw std::runtime_error("cabinet " + c.name + ": " + line.substr(6));
        if (word == "restart") {
            c.restarts.push_back(t);
            log(t, c.name, "board restarted (" + rest + ")");
            continue;
        }
        if (word == "tx") {
            const auto bytes = peers::from_hex(rest);
            if (bytes) c.radio->transmit(t, *bytes);
        } else if (word == "report") {
            c.report = rest;
            const FobState s = state_of_code(rest.substr(3, 3));
            if (s != c.state) {
                c.state = s;
                changes_.push_back({t, index, s});
                log(t, c.name, std::string("fob state ") + state_name(s) + " (report " + rest + ")");
            }
        } else if (word == "console") {
            if (rest.compare(0, 17, "MSG FROM fefffeff") == 0) c.heard_status++;
            c.console.push_back(rest);
            c.console_ns.push_back(t);
            if (rest.find("TOGGLE") != std::string::npos || rest.find("RESET FOB") != std::string::npos) {
                log(t, c.name, "console " + rest);
            }
        }
    }
}

void Fleet::run_to(uint64_t t_ns) {
    while (now_ < t_ns) {
        const uint64_t t = std::min({t_ns, now_ + window_, air_.next_delivery_ns()});
        for (auto &c : cabinets_) send(*c, "run " + std::to_string(t));
        for (size_t i = 0; i < cabinets_.size(); i++) take_reply(i);
        now_ = t;
        air_.advance(now_);
        log_air(deliveries_logged_);
        deliveries_logged_ = air_.deliveries().size();
        for (auto &c : cabinets_) {
            for (const std::string &d : c->deliveries) send(*c, "deliver " + d);
            c->deliveries.clear();
        }
    }
}

void Fleet::power(size_t i, bool on) {
    Cabinet &c = *cabinets_[i];
    if (c.powered == on) return;
    send(c, on ? "on" : "off");
    c.powered = on;
    c.radio->powered = on;
    if (!on) c.state = FobState::Unknown;
    c.report.clear();
    log(now_, c.name, on ? "power on" : "power cut");
}

void Fleet::payload(size_t i, const std::string &p) {
    send(*cabinets_[i], "payload " + p);
}

void Fleet::door(size_t i, bool open) {
    send(*cabinets_[i], open ? "door 1" : "door 0");
}

void Fleet::add_fob(const std::string &name) {
    const uint64_t h = name_hash(name);
    fobs_[name] = std::make_unique<peers::Fob>(air_, 0xF0B00000u | static_cast<uint32_t>(h & 0xFFFF),
                                               static_cast<uint32_t>(h >> 16), static_cast<uint32_t>(h >> 48) | 0xC0DE0000u);
}

void Fleet::press(const std::string &fob) {
    peers::Fob &f = *fobs_.at(fob);
    f.press_at(now_);
    presses_.push_back({now_, fob});
    log(now_, "fob " + fob, "press, counter " + std::to_string(f.counter));
}

int Fleet::index_of(const std::string &name) const {
    for (size_t i = 0; i < cabinets_.size(); i++) {
        if (cabinets_[i]->name == name) return static_cast<int>(i);
    }
    return -1;
}

std::string Fleet::name_of(const peers::Radio *r) const {
    for (const auto &c : cabinets_) {
        if (c->radio.get() == r) return c->name;
    }
    for (const auto &[name, f] : fobs_) {
        if (f.get() == r) return "fob " + name;
    }
    if (const Replay *p = replay_of(r)) return p->label.substr(0, p->label.find(" ("));
    return "?";
}

const Replay *Fleet::replay_of(const peers::Radio *r) const {
    for (const Replay &p : replays_) {
        if (p.radio.get() == r) return &p;
    }
    return nullptr;
}

// The attacker's packets reach the cabinets it aims at, without loss; it
// records from the air's packets, so no packet is delivered to it.
double Fleet::link(const peers::Radio *from, const peers::Radio *to) const {
    if (replay_of(to) != nullptr) return 1.0;
    if (const Replay *p = replay_of(from)) {
        for (size_t i = 0; i < cabinets_.size(); i++) {
            if (cabinets_[i]->radio.get() == to) return p->reach[i] ? 0.0 : 1.0;
        }
        return 1.0;
    }
    return topology_.link(name_of(from), name_of(to));
}

const peers::Packet *Fleet::status_sent(size_t from, uint64_t since_ns, FobState state) const {
    for (const peers::Packet &p : air_.packets()) {
        if (p.from != cabinets_[from]->radio.get() || p.start_ns < since_ns || p.end_ns > now_ ||
            p.bytes.size() != peers::kMessageSize) {
            continue;
        }
        peers::Message m;
        std::copy(p.bytes.begin(), p.bytes.end(), m.begin());
        const auto s = peers::decode_status(m);
        if (s && (state == FobState::Unknown || s->fob == static_cast<uint8_t>(state))) return &p;
    }
    return nullptr;
}

void Fleet::replay(const std::string &label, const std::string &bytes, const std::vector<size_t> &reach, unsigned times,
                   uint64_t every_ns) {
    Replay r{label, bytes, std::vector<bool>(cabinets_.size(), false), times, std::make_unique<AttackerRadio>(air_)};
    for (size_t c : reach) r.reach[c] = true;
    const uint64_t period_ns = std::max(every_ns, peers::Air::air_time_ns(bytes.size(), r.radio->settings.air_bps()));
    for (unsigned i = 0; i < times; i++) r.radio->transmit(now_ + i * period_ns, bytes);
    replays_.push_back(std::move(r));
}

Fleet::Reach Fleet::reach(uint64_t from_ns, uint64_t to_ns) const {
    Reach r;
    const auto &packets = air_.packets();
    for (const peers::Delivery &d : air_.deliveries()) {
        const peers::Packet &p = packets[d.packet];
        if (p.start_ns < from_ns || p.start_ns >= to_ns || d.outcome == peers::Outcome::Off) continue;
        if (dynamic_cast<const CabinetRadio *>(p.from) == nullptr || dynamic_cast<const CabinetRadio *>(d.to) == nullptr) {
            continue;
        }
        r.possible++;
        if (d.outcome == peers::Outcome::Heard) r.heard++;
        if (d.outcome == peers::Outcome::Collided) r.collided++;
        if (d.outcome == peers::Outcome::Deaf) r.deaf++;
    }
    return r;
}

bool Fleet::heard_since(size_t to, size_t from, uint64_t since_ns) const {
    const auto &packets = air_.packets();
    for (const peers::Delivery &d : air_.deliveries()) {
        if (d.outcome != peers::Outcome::Heard || d.to != cabinets_[to]->radio.get()) continue;
        const peers::Packet &p = packets[d.packet];
        if (p.from == cabinets_[from]->radio.get() && p.end_ns >= since_ns) return true;
    }
    return false;
}

bool Fleet::agree() const {
    int lockdown = -1;
    for (const auto &c : cabinets_) {
        if (!c->powered) continue;
        if (c->state == FobState::Unknown) return false;
        const int l = c->state == FobState::Lockdown ? 1 : 0;
        if (lockdown >= 0 && l != lockdown) return false;
        lockdown = l;
    }
    return true;
}

std::vector<std::string> Fleet::replay_summaries() const {
    std::vector<std::string> lines;
    for (const Replay &r : replays_) {
        std::istringstream in(replay_summary(r));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    return lines;
}

// What a burst did to each cabinet it reached: the packets its module heard
// or lost, the ones its firmware took in (its `MSG FROM` line of the packet)
// and the longest time from a packet's end on the air to that line (the 48
// bytes alone take 50 ms from the module at 9600 baud); its board's restarts;
// and the cabinets' own broadcasts heard while the burst was on the air and after it.
std::string Fleet::replay_summary(const Replay &r) const {
    const auto &packets = air_.packets();
    uint64_t first_ns = UINT64_MAX, last_ns = 0;
    unsigned sent = 0;
    for (const peers::Packet &p : packets) {
        if (p.from != r.radio.get() || p.end_ns > now_) continue;
        sent++;
        first_ns = std::min(first_ns, p.start_ns);
        last_ns = std::max(last_ns, p.end_ns);
    }
    char head[160];
    snprintf(head, sizeof head, "%s  %s: %u of %u sent", seconds(now_).c_str(), r.label.c_str(), sent, r.times);
    std::string out = head;
    if (sent == 0) return out;
    snprintf(head, sizeof head, " from %.3f s to %.3f s", static_cast<double>(first_ns) / 1e9,
             static_cast<double>(last_ns) / 1e9);
    out += head;
    const std::string line = msg_from_line(r.bytes);
    std::string body;
    for (size_t c = 0; c < cabinets_.size(); c++) {
        if (!r.reach[c]) continue;
        const Cabinet &cab = *cabinets_[c];
        std::vector<uint64_t> heard;
        unsigned lost = 0;
        for (const peers::Delivery &d : air_.deliveries()) {
            if (packets[d.packet].from != r.radio.get() || d.to != cab.radio.get()) continue;
            if (d.outcome == peers::Outcome::Heard) {
                heard.push_back(packets[d.packet].end_ns);
            } else if (d.outcome != peers::Outcome::Off) {
                lost++;
            }
        }
        // Each line belongs to the earliest packet heard before it not yet
        // taken: the firmware takes its messages in the order they came.
        unsigned taken = 0;
        uint64_t longest_ns = 0;
        size_t next = 0;
        for (size_t i = 0; i < cab.console.size(); i++) {
            const uint64_t t = cab.console_ns[i];
            if (t < first_ns || t > last_ns + kReplaySettleNs || cab.console[i].compare(0, line.size(), line) != 0) continue;
            if (next < heard.size() && heard[next] <= t) {
                longest_ns = std::max(longest_ns, t - heard[next++]);
                taken++;
            }
        }
        const auto restarts = std::count_if(cab.restarts.begin(), cab.restarts.end(),
                                            [&](uint64_t t) { return t >= first_ns && t <= last_ns + kReplaySettleNs; });
        snprintf(head, sizeof head, "\n%13s%-8s heard %zu, lost %u; its firmware took in %u", "", cab.name.c_str(),
                 heard.size(), lost, taken);
        body += head;
        if (taken > 0) {
            snprintf(head, sizeof head, ", each within %.1f ms of its end on the air", static_cast<double>(longest_ns) / 1e6);
            body += head;
        }
        body += restarts > 0 ? "; its board restarted " + std::to_string(restarts) + " times" : "; no restart";
    }
    const Reach during = reach(first_ns, last_ns), after = reach(last_ns);
    snprintf(head, sizeof head, "; the cabinets' broadcasts heard while it was on the air: %llu of %llu, after it: %llu of %llu",
             static_cast<unsigned long long>(during.heard), static_cast<unsigned long long>(during.possible),
             static_cast<unsigned long long>(after.heard), static_cast<unsigned long long>(after.possible));
    return out + head + body;
}

double Fleet::wall_seconds() const {
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return static_cast<double>(now - wall_start_ns_) / 1e9;
}

std::vector<std::string> Fleet::fobs() const {
    std::vector<std::string> names;
    for (const auto &f : fobs_) names.push_back(f.first);
    return names;
}

void Fleet::say(const std::string &line, bool even_quiet) const {
    if (options_.log || even_quiet) printf("%s\n", line.c_str());
    if (options_.log_tap) options_.log_tap(line);
}

void Fleet::log(uint64_t t_ns, const std::string &who, const std::string &what) const {
    if (!options_.log && !options_.log_tap) return;
    char head[64];
    snprintf(head, sizeof head, "%s  %-8s ", seconds(t_ns).c_str(), who.c_str());
    say(head + what);
}

void Fleet::log_air(size_t from) {
    if (!options_.log && !options_.log_tap && !options_.air_tap) return;
    const auto &all = air_.deliveries();
    const auto &packets = air_.packets();
    for (size_t i = from; i < all.size();) {
        const size_t index = all[i].packet;
        const peers::Packet &p = packets[index];
        AirReport report{p.end_ns, name_of(p.from), "", {}};
        std::string heard, lost;
        for (; i < all.size() && all[i].packet == index; i++) {
            const std::string who = name_of(all[i].to);
            if (who.compare(0, 4, "fob ") == 0 || all[i].outcome == peers::Outcome::Off) continue;
            std::string outcome = "heard";
            switch (all[i].outcome) {
            case peers::Outcome::Collided: outcome = "collision"; break;
            case peers::Outcome::Deaf: outcome = "transmitting"; break;
            case peers::Outcome::Lost: outcome = "link loss"; break;
            default: break;
            }
            report.at.push_back({who, outcome});
            if (outcome == "heard") {
                heard += " " + who;
            } else {
                lost += " " + who + "(" + outcome + ")";
            }
        }
        std::string what = std::to_string(p.bytes.size()) + " bytes";
        if (p.bytes.size() == peers::kMessageSize) {
            peers::Message m;
            std::copy(p.bytes.begin(), p.bytes.end(), m.begin());
            const auto s = peers::decode_status(m);
            if (s) {
                what = std::string("status ") + state_name(static_cast<FobState>(std::min<uint8_t>(s->fob, 3))) +
                       " " + peers::age_text(s->age_ms);
            } else {
                what = "fob message, counter " + std::to_string(peers::decode_fob(m).counter);
            }
            static const peers::Key key = peers::build_key();
            if (!peers::authentic(m, key)) what += " (fails the MAC)";
        }
        report.what = what;
        // The air records nothing for a cabinet out of the sender's reach.
        for (const auto &c : cabinets_) {
            if (c->powered && c->radio.get() != p.from && link(p.from, c->radio.get()) >= 1) {
                report.at.push_back({c->name, "out of reach"});
            }
        }
        if (options_.air_tap) options_.air_tap(report);
        log(p.end_ns, "air", report.from + ": " + what + "; heard by" + (heard.empty() ? " none" : heard) +
                                 (lost.empty() ? "" : "; lost at" + lost));
    }
}

}  // namespace fleet
