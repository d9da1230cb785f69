#include "live_page.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pace.h"

namespace fleet {

namespace {

constexpr uint64_t kLiveSliceNs = 20 * kMsNs;  // the page's commands act between two slices
constexpr auto kLiveNap = std::chrono::milliseconds(10);
constexpr size_t kAirShown = 40;  // the latest packets on the page

volatile sig_atomic_t interrupted = 0;
void on_signal(int) { interrupted = 1; }
struct Interrupted {};

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

}  // namespace

std::string default_fleet(unsigned n) {
    std::string names;
    for (unsigned i = 0; i < n; i++) names += " " + letter_name(i);
    return "cabinets" + names + "\nwait 1s\nfob f0 paired" + names + "\n";
}

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
                fprintf(stderr, "orlix-fleet: %s\n", script::describe({st.line, error}).c_str());
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

}  // namespace fleet
