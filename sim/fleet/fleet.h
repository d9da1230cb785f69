// A fleet of cabinets on one air: each cabinet's board runs the firmware on a
// simulated board of its own, in a process of its own (the board host, which
// forks the firmware per boot as the tests do), with its own flash unique ID,
// flash and screen unit. The controller owns the air, the fobs and the clock.
//
// Nothing crosses the air faster than the shortest packet's time on air, so
// the controller lets every board run on its own (on any core) through a
// window of at most that length, then puts the packets the boards' modules
// sent on the air and hands each board what its module received. A window
// also ends where a packet's air time ends, so a module delivers it at its
// exact time, having heard every packet that started before.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "radio.h"

namespace fleet {

constexpr uint64_t kMsNs = 1000000;
constexpr uint64_t kSecondNs = 1000 * kMsNs;
constexpr unsigned kMaxCabinets = 64;
constexpr const char *kDefaultPayload = "LONNOROFFX050FCN";
constexpr const char *kPairPayload = "LONNOROFFX050FCP";
// An attacker's burst of replays: how many at most, and how long after its
// last packet its cabinets' console lines still count towards it.
constexpr unsigned kMaxReplays = 1000;
constexpr uint64_t kReplaySettleNs = 2 * kSecondNs;

enum class FobState : uint8_t { None, Lockdown, Unlock, Unknown };
const char *state_name(FobState s);
FobState state_of_code(const std::string &report_code);  // "OOO", "FLO", "FUN"

// A packet on the air as the timeline tells it: its sender, what it was, and
// what became of it at each cabinet with power (the timeline leaves out those
// out of reach).
struct AirReport {
    uint64_t end_ns;
    std::string from, what;
    // (cabinet, "heard" | "collision" | "transmitting" | "link loss" | "out of reach")
    std::vector<std::pair<std::string, std::string>> at;
};

struct Options {
    std::vector<std::string> names;  // the cabinets
    std::set<std::string> unmended;  // run the firmware as it was before the mends
    std::string self;                // this executable (the board host is the same one)
    std::string unmended_host;       // the board host built with the earlier firmware
    uint64_t seed = 1;
    // Each cabinet's crystal error in parts per billion, by its index (drift.h);
    // missing: drawn from the seed within +-drift_ppm.
    std::vector<int64_t> clock_ppb;
    int64_t drift_ppm = 0;
    bool log = true;                 // print the timeline
    // Also handed every line of the timeline, and every packet on the air.
    std::function<void(const std::string &line)> log_tap;
    std::function<void(const AirReport &packet)> air_tap;
};

// The air's reach: who hears whom, and the share lost on each link.
struct Topology {
    std::map<std::pair<std::string, std::string>, double> loss;  // (from, to); missing: no loss
    bool all_hear = true;  // without a line for a link, it carries without loss (else: out of reach)
    double link(const std::string &from, const std::string &to) const;
    // "A B 0.1" (A's packets reach B, 10 % lost), "A B none" (A does not reach B),
    // "A - B 0.05" (both ways), "default none"; false with a message on a bad line.
    bool read(const std::string &text, std::string &error);
    // One such line's words; false with a message (without a line number).
    bool add(const std::vector<std::string> &words, std::string &error);
    // A cabinet a link names that is not among `names` ("" when there is none).
    std::string unknown_cabinet(const std::vector<std::string> &names) const;
};

class CabinetRadio;

struct Cabinet {
    std::string name;
    int pid = -1;
    int to_host = -1, from_host = -1;
    std::string pending_in;
    std::unique_ptr<CabinetRadio> radio;
    bool powered = false;
    bool unmended = false;
    FobState state = FobState::Unknown;  // from its last input report
    std::string report;                  // the last input report
    uint64_t heard_status = 0;           // status broadcasts of others its firmware took in
    std::vector<std::string> console;    // console lines since the last look
    std::vector<uint64_t> console_ns;    // and when each ended
    int64_t clock_ppb = 0;               // its crystal's error
    uint64_t clock_ns = 0;               // its board's clock at the end of the last window
    std::vector<std::string> deliveries; // packets its module received, to hand over
    std::vector<uint64_t> restarts;      // when its board restarted on its own (watchdog, reboot)
};

// An attacker's replays of one recorded packet: the bytes put on the air again
// `times` times, reaching the cabinets marked in `reach` (by index) and no others.
struct Replay {
    std::string label;  // "replay NAME (line N)"
    std::string bytes;
    std::vector<bool> reach;
    unsigned times;
    std::unique_ptr<peers::Radio> radio;  // the attacker's transmitter for these
};

struct StateChange {
    uint64_t t_ns;
    size_t cabinet;
    FobState state;
};

struct Press {
    uint64_t t_ns;
    std::string fob;
};

class Fleet {
public:
    Fleet(const Options &options, const Topology &topology);
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Runs every board to t_ns.
    void run_to(uint64_t t_ns);
    uint64_t now_ns() const { return now_; }

    // Actions at the current time.
    void power(size_t cabinet, bool on);
    void payload(size_t cabinet, const std::string &payload);
    void door(size_t cabinet, bool open);
    void add_fob(const std::string &name);
    void press(const std::string &fob);
    // The first whole status broadcast cabinet `from` started at or after
    // since_ns and has finished sending by now, telling `state` (any when
    // Unknown); nullptr when there is none yet. Valid until the next run.
    const peers::Packet *status_sent(size_t from, uint64_t since_ns, FobState state) const;
    // An attacker plays `bytes` back verbatim from now: `times` packets, one
    // every `every_ns` (each no sooner than the last is off the air), heard by
    // the cabinets in `reach` alone. They collide like any packet.
    void replay(const std::string &label, const std::string &bytes, const std::vector<size_t> &reach, unsigned times,
                uint64_t every_ns);
    // For each replay, what became of it: lines for the timeline's end.
    std::vector<std::string> replay_summaries() const;

    size_t size() const { return cabinets_.size(); }
    int index_of(const std::string &name) const;
    const Cabinet &cabinet(size_t i) const { return *cabinets_[i]; }
    bool has_fob(const std::string &name) const { return fobs_.count(name) != 0; }
    const peers::Fob &fob(const std::string &name) const { return *fobs_.at(name); }
    std::vector<std::string> fobs() const;
    // A line of the timeline: printed unless quiet (or `even_quiet`), and handed to the log tap.
    void say(const std::string &line, bool even_quiet = false) const;
    void log(uint64_t t_ns, const std::string &who, const std::string &what) const;

    const std::vector<StateChange> &changes() const { return changes_; }
    const std::vector<Press> &presses() const { return presses_; }
    const peers::Air &air() const { return air_; }
    // Status broadcasts sent by a cabinet, and heard by its module, by others'.
    struct Reach {
        uint64_t possible = 0;  // (broadcast, powered cabinet in reach) pairs
        uint64_t heard = 0;
        uint64_t collided = 0;
        uint64_t deaf = 0;
    };
    Reach reach(uint64_t from_ns = 0, uint64_t to_ns = UINT64_MAX) const;
    // A status broadcast from `from` heard by `to` since `since_ns`.
    bool heard_since(size_t to, size_t from, uint64_t since_ns) const;
    // Whether every powered cabinet in `which` agrees on lockdown or not.
    bool agree() const;
    uint64_t window_ns() const { return window_; }
    double wall_seconds() const;

private:
    void start_host(Cabinet &c, size_t index);
    void send(Cabinet &c, const std::string &line);
    std::string read_line(Cabinet &c);
    void take_reply(size_t index);
    void log_air(size_t from_delivery);
    std::string name_of(const peers::Radio *r) const;
    double link(const peers::Radio *from, const peers::Radio *to) const;
    const Replay *replay_of(const peers::Radio *r) const;
    std::string replay_summary(const Replay &r) const;

    Options options_;
    Topology topology_;
    peers::Air air_;
    std::vector<std::unique_ptr<Cabinet>> cabinets_;
    std::map<std::string, std::unique_ptr<peers::Fob>> fobs_;
    std::vector<Replay> replays_;
    std::vector<StateChange> changes_;
    std::vector<Press> presses_;
    uint64_t now_ = 0;
    uint64_t window_;
    size_t deliveries_logged_ = 0;
    uint64_t wall_start_ns_;
};

}  // namespace fleet
