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
// A script may also record a cabinet's broadcast off the air and play it back
// (`record`, `replay`), as anyone with a LoRa receiver can, to show what the
// boards make of replays.
// Exit status: 0 when every expectation of the script held, 1 when one did
// not, 64 on bad usage, 65 on a bad script, 70 when a board host failed.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "board_host.h"
#include "drift.h"
#include "figures.h"
#include "fleet.h"
#include "live_page.h"
#include "measure.h"
#include "runner.h"
#include "script.h"

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
    "         --quiet          no timeline\n"
    "a script's steps (see the README): cabinets, link, unmended, wait D, at T, fob NAME [paired A B ...],\n"
    "  @X power [on|off], @X send PAYLOAD, @X open|close, @X expect report TEXT | console TEXT | agree |\n"
    "  hears Y [within D], @X expect no change for D; someone on the air who records and plays back:\n"
    "  record NAME from A [lockdown|none|unlock]   A's next status broadcast (telling that state),\n"
    "                          taken off the air while the script goes on\n"
    "  [@B,C] replay NAME [times K] [every D] [zero I-J] [set I=HEX]   the same bytes again, K (1 to 1000)\n"
    "                          times, back to back or one every D, heard by the cabinets named (all\n"
    "                          without), bytes I to J zeroed or set first (the code then no longer fits)\n";

constexpr unsigned long long kMaxScenarios = 1000000;  // --measure
constexpr double kMaxSeconds = 86400;                   // --deliveries --seconds: a day of fleet time
constexpr unsigned long long kMaxPort = 65535;

// A number of seconds above 0, at most kMaxSeconds.
bool seconds(const char *text, double &out) {
    char *end = nullptr;
    out = strtod(text, &end);
    return *text != '\0' && *end == '\0' && out > 0 && out <= kMaxSeconds;
}

int usage_error(const std::string &why) {
    fprintf(stderr, "orlix-fleet: %s\n%s", script::printable(why).c_str(), kUsage);
    return 64;
}

// Reads a script or topology file: "" or the exit status with its message printed.
int read_input(const std::string &path, std::string &text) {
    if (const auto e = script::read_file(path, &text)) {
        fprintf(stderr, "orlix-fleet: %s\n", e->message.c_str());
        return e->exit_status;
    }
    return 0;
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
    unsigned long long random_seed = 0, measure_k = 0, deliveries_n = 0, port = 0, cabinets = kDefaultCabinets;
    bool random = false;
    double secs = 120;
    bool print = false, presses = false, together = false, settled = false, web = false;
    unsigned long long presses_heard_n = 0, press_count = kDefaultPressCount, drift = ~0ull, range_lo = 0, range_hi = 0;
    Layout layout;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        const char *value = more ? argv[i + 1] : "";
        const auto number = [&](unsigned long long lo, unsigned long long hi, unsigned long long &out) {
            i++;
            return whole_number(value, lo, hi, out);
        };
        const auto bad = [&](const char *what) { return usage_error(a + " takes " + what + ", not `" + value + "`"); };
        if (a == "--topology" && more) {
            topology_path = argv[++i];
        } else if (a == "--unmended" && more) {
            s.unmended = argv[++i];
        } else if (a == "--seed" && more) {
            unsigned long long seed = 0;
            if (!number(0, UINT64_MAX, seed)) return bad("a whole number");
            s.options.seed = seed;
        } else if (a == "--web") {
            web = true;
            if (more && value[0] != '-' && strspn(value, "0123456789") == strlen(value)) {
                if (!number(1, kMaxPort, port)) return bad("a port from 1 to 65535");
            }
        } else if (a == "--port" && more) {
            if (!number(1, kMaxPort, port)) return bad("a port from 1 to 65535");
        } else if (a == "--cabinets" && more) {
            if (!number(1, fleet::kMaxCabinets, cabinets)) return bad("a number of cabinets from 1 to 64");
        } else if (a == "--quiet") {
            s.options.log = false;
        } else if (a == "--random" && more) {
            if (!number(0, INT64_MAX, random_seed)) return bad("a whole number");
            random = true;
        } else if (a == "--print") {
            print = true;
        } else if (a == "--measure" && more) {
            if (!number(1, kMaxScenarios, measure_k)) return bad("a number of scenarios from 1 to 1000000");
        } else if (a == "--deliveries" && more) {
            if (!number(1, fleet::kMaxCabinets, deliveries_n)) return bad("a number of cabinets from 1 to 64");
        } else if (a == "--seconds" && more) {
            i++;
            if (!seconds(value, secs)) return bad("a number of seconds above 0, at most 86400");
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
        } else if (!a.empty() && a[0] != '-' && script_path.empty()) {
            script_path = a;
        } else {
            const bool valued = a == "--topology" || a == "--unmended" || a == "--seed" || a == "--port" ||
                                a == "--cabinets" || a == "--random" || a == "--measure" || a == "--deliveries" ||
                                a == "--seconds";
            return usage_error(valued ? a + " takes a value" : "unknown argument `" + a + "`");
        }
    }
    if (!web && port != 0) return usage_error("--port goes with --web");
    if (port == 0) port = kWebDefaultPort;
    if (!topology_path.empty()) {
        std::string text, error;
        if (const int status = read_input(topology_path, text)) return status;
        if (!s.topology.read(text, error)) {
            fprintf(stderr, "orlix-fleet: %s: %s\n", script::printable(topology_path).c_str(),
                    script::printable(error).c_str());
            return 65;
        }
    }
    // Crystals drift in random scenarios and measurements unless told; scripts keep exact clocks.
    const bool measuring = measure_k > 0 || deliveries_n > 0 || presses_heard_n > 0 || random;
    s.options.drift_ppm = static_cast<int64_t>(drift != ~0ull ? drift : measuring ? kDefaultDriftPpm : 0);
    Kind kind{settled, together};
    if (range_hi > 0) kind.min_cabinets = static_cast<unsigned>(range_lo), kind.max_cabinets = static_cast<unsigned>(range_hi);
    const unsigned fixed_n = static_cast<unsigned>(presses_heard_n > 0 ? presses_heard_n : deliveries_n);
    std::string layout_error;
    if (fixed_n > 0 && fixed_n <= kMaxCabinets && !s.topology.read(layout_links(fixed_n, layout), layout_error)) return 70;
    try {
        if (measure_k > 0) return measure(static_cast<unsigned>(measure_k), s, kind);
        if (presses_heard_n > 0) return presses_heard(fixed_n, static_cast<unsigned>(press_count), layout, s);
        if (deliveries_n > 0) return deliveries(static_cast<unsigned>(deliveries_n), secs, presses, together, s);
        if (random) {
            const std::string text = random_scenario(random_seed, kind);
            if (print) {
                fputs(text.c_str(), stdout);
                return 0;
            }
            return run_script(text, s);
        }
        if (web && script_path.empty()) {
            return run_web(default_fleet(static_cast<unsigned>(cabinets)), "fob f0 paired on every cabinet", s,
                           static_cast<unsigned>(port));
        }
        if (script_path.empty()) return usage_error("a SCRIPT, --random, --measure, --deliveries or --web, please");
        std::string text;
        if (const int status = read_input(script_path, text)) return status;
        if (web) return run_web(text, script::printable(script_path), s, static_cast<unsigned>(port));
        return run_script(text, s);
    } catch (const std::exception &e) {
        fprintf(stderr, "orlix-fleet: %s\n", e.what());
        return 70;
    }
}
