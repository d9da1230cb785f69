// Scripts run on a fleet: the settings a script declares (its cabinets,
// the unmended ones, the links) and the runner that carries out its steps
// and checks its expectations (lines as sim/script/script.h reads them).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fleet.h"
#include "script.h"

namespace fleet {

constexpr uint64_t kPollNs = 50 * kMsNs;  // expectations are looked at this often
constexpr uint64_t kMaxReplayEveryUs = 3600000000;  // replays an hour apart at most

// What a `replay` line asks for: the recording, how many times, how far
// apart (0: back to back) and the bytes altered first (each: where, and the
// bytes put there).
struct ReplayPlan {
    std::string name;
    unsigned times = 1;
    uint64_t every_us = 0;
    std::vector<std::pair<size_t, std::string>> edits;
};
// A `replay` line's words read into `plan`; why not ("" when they are good).
std::string replay_plan(const std::vector<std::string> &args, ReplayPlan &plan);

// What a fleet is started with: the options, the links, and the unmended
// cabinets as the command line or the script names them.
struct Settings {
    fleet::Options options;
    fleet::Topology topology;
    std::string unmended;  // as given
};

// "A", "B", ... "Z", "AA", ...: the name of the i-th cabinet.
std::string letter_name(unsigned i);
// The unmended cabinets `s.unmended` names, among `s.options.names`.
void apply_unmended(Settings &s);

// Carries out a script's steps on a fleet, one at a time, and judges its
// expectations (each printed as held or FAILED on the timeline).
class Runner {
public:
    explicit Runner(Fleet &f) : fleet_(f) {}

    bool failed = false;

    // Runs the fleet to t_ns (a live fleet goes at real time).
    std::function<void(uint64_t t_ns)> advance;

    // Runs one step; false with a message when the step is malformed.
    bool step(const script::Step &s, std::string &error);

    // The steps that act at the fleet's current time, without letting time pass.
    static bool acts_at_once(const script::Step &s);

    // Why such a step cannot act ("" when it can), given the cabinets and the
    // fobs declared so far.
    static std::string act_error(const script::Step &s, const std::vector<std::string> &names,
                                 const std::set<std::string> &fobs);

private:
    static bool bad(std::string &error, const std::string &message);

    void run_to(uint64_t t_ns);

    // A step that acts at once, checked.
    void act(const script::Step &s);

    bool targets_of(const script::Step &s, std::vector<size_t> &out, std::string &error);

    // fob NAME paired A B ...: pairing mode on those cabinets, a press (again
    // while the fob is missing from one of them: a press can be lost on the
    // air), pairing mode off.
    bool pair(const std::vector<std::string> &a, std::string &error);

    // The number of fobs the cabinet's last report gives (`DCLOOOF01V010B`).
    int paired(size_t c) const;

    bool expect(const script::Step &s, const std::vector<size_t> &targets, std::string &error);
    // expect no change for D: no target's fob state changes for D.
    void expect_no_change(const script::Step &s, const std::vector<size_t> &targets, uint64_t d_us);
    void judged(const script::Step &s, bool ok, const std::string &what);

    // record NAME from A [STATE]: takes A's next status broadcast (telling
    // STATE) off the air, while the script goes on.
    bool record(const script::Step &s, std::string &error);
    // The recordings whose broadcast has been on the air, taken.
    void take_recordings();
    // [@B,C] replay NAME [times K] [every D] [zero I-J] [set I=HEX]
    bool replay(const script::Step &s, const std::vector<size_t> &targets, std::string &error);

    Fleet &fleet_;
    struct Recording {
        unsigned line;
        size_t from;
        FobState state;       // Unknown: any
        uint64_t since_ns;
        std::string bytes;    // "" until taken
    };
    std::map<std::string, Recording> recordings_;  // by name
};

// The cabinets, the unmended ones and the links a script declares, into `s`;
// what is wrong with them.
std::vector<script::Error> declarations(const script::Parsed &p, Settings &s);
// What is wrong with the steps, judged before anything runs.
std::vector<script::Error> check_steps(const script::Parsed &p, const Settings &s);
// Reads a script and its declarations into `s`, and checks every line: 0, or
// the exit status (65 with each bad line named).
int prepare(const script::Parsed &p, Settings &s);
// Runs a script; the exit status.
int run_script(const std::string &text, Settings s);

}  // namespace fleet
