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

Fleet::Fleet(const Options &options, const Topology &topology)
    : options_(options),
      topology_(topology),
      window_(peers::Air::air_time_ns(1, peers::ModuleSettings::network().air_bps())),
      wall_start_ns_(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {
    signal(SIGPIPE, SIG_IGN);
    air_.seed = options.seed;
    air_.link = [this](const peers::Radio *from, const peers::Radio *to) {
        return topology_.link(name_of(from), name_of(to));
    };
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
    return "?";
}

Fleet::Reach Fleet::reach(uint64_t from_ns) const {
    Reach r;
    const auto &packets = air_.packets();
    for (const peers::Delivery &d : air_.deliveries()) {
        const peers::Packet &p = packets[d.packet];
        if (p.start_ns < from_ns || d.outcome == peers::Outcome::Off) continue;
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
        }
        report.what = what;
        // The air records nothing for a cabinet out of the sender's reach.
        for (const auto &c : cabinets_) {
            if (c->powered && c->radio.get() != p.from && topology_.link(report.from, c->name) >= 1) {
                report.at.push_back({c->name, "out of reach"});
            }
        }
        if (options_.air_tap) options_.air_tap(report);
        log(p.end_ns, "air", report.from + ": " + what + "; heard by" + (heard.empty() ? " none" : heard) +
                                 (lost.empty() ? "" : "; lost at" + lost));
    }
}

}  // namespace fleet
