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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "board_host.h"
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
    try {
        if (measure_k > 0) return measure(measure_k, s, {settled, together});
        if (deliveries_n > 0) return deliveries(deliveries_n, secs, presses, together, s);
        if (random_seed >= 0) {
            const std::string text = random_scenario(static_cast<uint64_t>(random_seed), {settled, together});
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
