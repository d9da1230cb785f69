// orlix-fleet: cabinets kept in step on one shared air. Each cabinet is the
// firmware on a simulated board of its own (fleet.h); a script says what
// happens (see the README), and the tool prints each cabinet's fob state and
// what the air delivered, lost to collisions and to the links.
//
//   orlix-fleet SCRIPT [--topology FILE] [--unmended A,B|all|half] [--seed S] [--quiet]
//   orlix-fleet --random SEED [--print] [...]        one random scenario
//   orlix-fleet --measure K [--seed S] [--settled] [--together] [...]   in step over K random scenarios
//   orlix-fleet --deliveries N [--seconds S] [--presses] [--together] [...]
//   orlix-fleet --presses-heard N [--press-count K] [--line | --rooms R [--joined-by J]] [...]
//   orlix-fleet [SCRIPT] --web [--port P] [--cabinets N]  at real time with its page, until interrupted
//
// Exit status: 0 when every expectation of the script held, 1 when one did
// not, 64 on bad usage, 65 on a bad script, 70 when a board host failed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "board_host.h"
#include "drift.h"
#include "figures.h"
#include "fleet.h"
#include "live_page.h"
#include "measure.h"
#include "runner.h"

namespace {

using namespace fleet;

constexpr unsigned kDefaultCabinets = 3;

const char *const kUsage =
    "usage: orlix-fleet SCRIPT [options]          run a scenario\n"
    "       orlix-fleet --random SEED [--print]   a random scenario (printed, or run)\n"
    "       orlix-fleet --measure K               in step over K random scenarios\n"
    "       orlix-fleet --deliveries N            status broadcasts heard by N cabinets, the air's busy share\n"
    "       orlix-fleet --presses-heard N         N cabinets, a fob paired on A pressed 41 times 8 to 12 s\n"
    "                                             apart: presses A heard, time to reach every cabinet, busy air\n"
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
    "         --cabinets-range A-B  random scenarios: A to B cabinets (default 2-10, at most 64)\n"
    "         --press-count K  --presses-heard: K presses (default 41)\n"
    "         --line           --presses-heard, --deliveries: each cabinet hears only its neighbours\n"
    "         --rooms R        the same: R rooms of consecutive cabinets, the last J (--joined-by J,\n"
    "                          default 1) of each also heard by and hearing the next room\n"
    "         --drift PPM      each board's crystal off by a random amount within +-PPM (default 30\n"
    "                          in random scenarios and measurements, 0 in scripts); --no-drift: 0\n"
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
    unsigned long long presses_heard_n = 0, press_count = kDefaultPressCount, drift = ~0ull, range_lo = 0, range_hi = 0;
    Layout layout;
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
        } else if (a == "--presses-heard" || a == "--press-count" || a == "--rooms" || a == "--joined-by" ||
                   a == "--drift") {
            const unsigned long long hi = a == "--press-count" ? kMaxPressCount
                                          : a == "--rooms"     ? kMaxRooms
                                          : a == "--drift"     ? static_cast<unsigned long long>(kMaxDriftPpm)
                                                               : kMaxCabinets;
            const unsigned long long lo = a == "--drift" ? 0 : a == "--rooms" ? 2 : 1;
            unsigned long long v = 0;
            if (!more || !whole_number(argv[++i], lo, hi, v)) {
                fprintf(stderr, "orlix-fleet: %s takes a whole number from %llu to %llu\n", a.c_str(), lo, hi);
                return 64;
            }
            if (a == "--presses-heard") presses_heard_n = v;
            if (a == "--press-count") press_count = v;
            if (a == "--drift") drift = v;
            if (a == "--rooms") layout.kind = Layout::Kind::Rooms, layout.rooms = static_cast<unsigned>(v);
            if (a == "--joined-by") layout.joined_by = static_cast<unsigned>(v);
        } else if (a == "--no-drift") {
            drift = 0;
        } else if (a == "--line") {
            layout.kind = Layout::Kind::Line;
        } else if (a == "--cabinets-range") {
            const char *t = more ? argv[++i] : "";
            const char *dash = strchr(t, '-');
            const std::string lo = dash ? std::string(t, static_cast<size_t>(dash - t)) : "";
            if (!dash || !whole_number(lo.c_str(), 1, kMaxCabinets, range_lo) ||
                !whole_number(dash + 1, 1, kMaxCabinets, range_hi) || range_lo > range_hi) {
                fprintf(stderr, "orlix-fleet: --cabinets-range takes A-B, 1 <= A <= B <= %u\n", kMaxCabinets);
                return 64;
            }
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
    // Crystals drift in random scenarios and measurements unless told; scripts keep exact clocks.
    const bool measuring = measure_k > 0 || deliveries_n > 0 || presses_heard_n > 0 || random_seed >= 0;
    s.options.drift_ppm = static_cast<int64_t>(drift != ~0ull ? drift : measuring ? kDefaultDriftPpm : 0);
    Kind kind{settled, together};
    if (range_hi > 0) kind.min_cabinets = static_cast<unsigned>(range_lo), kind.max_cabinets = static_cast<unsigned>(range_hi);
    const unsigned fixed_n = presses_heard_n > 0 ? static_cast<unsigned>(presses_heard_n) : deliveries_n;
    std::string layout_error;
    if (fixed_n > 0 && fixed_n <= kMaxCabinets && !s.topology.read(layout_links(fixed_n, layout), layout_error)) return 70;
    try {
        if (measure_k > 0) return measure(measure_k, s, kind);
        if (presses_heard_n > 0) return presses_heard(fixed_n, static_cast<unsigned>(press_count), layout, s);
        if (deliveries_n > 0) return deliveries(deliveries_n, secs, presses, together, s);
        if (random_seed >= 0) {
            const std::string text = random_scenario(static_cast<uint64_t>(random_seed), kind);
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
