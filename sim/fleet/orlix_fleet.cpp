// orlix-fleet: cabinets kept in step on one shared air. Each cabinet is the
// firmware on a simulated board of its own (fleet.h); a script says what
// happens (see the README), and the tool prints each cabinet's fob state and
// what the air delivered, lost to collisions and to the links.
//
//   orlix-fleet SCRIPT [--topology FILE] [--unmended A,B|all|half] [--seed S] [--quiet]
//   orlix-fleet --random SEED [--print] [...]        one random scenario
//   orlix-fleet --measure K [--seed S] [--settled] [--together] [...]   in step over K random scenarios
//   orlix-fleet --deliveries N [--seconds S] [--presses] [--together] [...]
//   orlix-fleet [SCRIPT] --web [--port P] [--cabinets N]  at real time with its page, until interrupted
//
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
    "       orlix-fleet --deliveries N            status broadcasts heard by N cabinets\n"
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
    "         --quiet          no timeline\n";

constexpr unsigned long long kMaxScenarios = 1000000;  // --measure
constexpr double kMaxSeconds = 86400;                   // --deliveries --seconds: a day of fleet time
constexpr unsigned long long kMaxPort = 65535;

// A whole number from `lo` to `hi`, the whole text of the argument.
bool whole_number(const char *text, unsigned long long lo, unsigned long long hi, unsigned long long &out) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text)) return false;
    errno = 0;
    out = strtoull(text, nullptr, 10);
    return errno == 0 && out >= lo && out <= hi;
}

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
    try {
        if (measure_k > 0) return measure(static_cast<unsigned>(measure_k), s, {settled, together});
        if (deliveries_n > 0) return deliveries(static_cast<unsigned>(deliveries_n), secs, presses, together, s);
        if (random) {
            const std::string text = random_scenario(random_seed, {settled, together});
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
