// orlix-sim: runs the firmware on the simulated board in real time and shows
// the traffic on the screen line, the cabinet's outputs (maglock, strips,
// sound) and the radio traffic, with a screen unit that sends a status
// payload every second and takes a firmware image pushed through the USB
// serial port (tools/orlix-push), the board's LoRa module on an air shared
// with three key fobs and the board of another cabinet. Commands on standard
// input and from the web page (`help` lists them):
//   open | close           the door sensor
//   send <payload>         a status payload (16 characters) framed for the board
//   fob <1-3>              a press of a key fob
//   peer <state> <age_ms>  a status broadcast from another cabinet's board
//   reset | power          the reset button; a power cut and restore
//   help
//   quit                   (or Ctrl-C)
// Options: --speed X (board time per wall time, 0: as fast as it can),
// --screen-pty (the screen line as a pseudo-terminal for a real screen unit,
// in place of the built-in one), --web [PORT] (the page on 127.0.0.1),
// --flash FILE (the flash kept in a file), --script FILE (steps and
// expectations from a file, no terminal), --vcd FILE (the pins as a Value
// Change Dump), --quiet (repeated frames folded).
//
// The board runs in short slices between looks at the commands, so that a
// command is taken within a few milliseconds however slow the board is.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "flash_file.h"
#include "log.h"
#include "pace.h"
#include "page_state.h"
#include "radio_side.h"
#include "screen_fw.h"
#include "screen_pty.h"
#include "script.h"
#include "script_run.h"
#include "usb_pty.h"
#include "vboard.h"
#include "vcd.h"
#include "watch.h"
#include "web_server.h"
#include "wiring.h"

namespace {

using sim::Cabinet;
using wiring::kDoorPin;
// The board runs in slices of at most this much board time.
constexpr uint64_t kSliceUs = 200;
// Ahead of its schedule, the loop sleeps at most this long at a time.
constexpr auto kNap = std::chrono::microseconds(1000);

// In the boot loader, the loop looks at the commands this often.
constexpr auto kIdleLook = std::chrono::milliseconds(100);

const char *const kUsage =
    "usage: orlix-sim [--speed X] [--screen-pty] [--web [PORT]] [--flash FILE] [--script FILE] [--vcd FILE]\n"
    "                 [--quiet]\n"
    "  --speed X      board time runs at X times real time (default 1, with --script 0; 0: as fast as it can)\n"
    "  --screen-pty   the screen line (UART1) as a pseudo-terminal for a real screen unit;\n"
    "                 the built-in screen unit steps aside\n"
    "  --web [PORT]   the cabinet's page on http://127.0.0.1:PORT/ (default 8040)\n"
    "  --flash FILE   the board's 2 MiB flash in FILE (made erased when missing), kept across runs\n"
    "  --script FILE  runs the steps of FILE instead of reading commands; exits 0 when every\n"
    "                 expectation held, 1 with the line that failed\n"
    "  --vcd FILE     the board's pins as a Value Change Dump (strips, I2S, both UARTs, the plain pins)\n"
    "  --quiet        a frame that repeats the last one in its direction is not shown\n";

// Set once the board runs: a signal then ends the loop, which keeps what the
// run has made; before, nothing is worth keeping and the signal ends it at once.
volatile sig_atomic_t running = 0;

void on_signal(int sig) {
    if (running && !sim::command_stopping()) {
        sim::command_stop();
        return;
    }
    // Starting, or a second signal while stopping: at once.
    sim::flash_file_abandon();
    static const char kMessage[] = "orlix-sim: interrupted\n";
    ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(128 + sig);
}

struct Options {
    double speed = -1;  // not given
    bool screen_pty = false;
    int web_port = -1;  // no page
    std::string flash;
    std::string script;
    std::string vcd;
    bool quiet = false;
};

// False (with a message) on anything it does not know.
bool parse_options(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--speed" && i + 1 < argc) {
            char *end = nullptr;
            o.speed = strtod(argv[++i], &end);
            if (*end != '\0' || !(o.speed >= 0) || o.speed > 1000) {
                fprintf(stderr, "orlix-sim: --speed takes a number from 0 to 1000\n");
                return false;
            }
        } else if (arg == "--screen-pty") {
            o.screen_pty = true;
        } else if ((arg == "--flash" || arg == "--script" || arg == "--vcd") && i + 1 < argc) {
            (arg == "--flash" ? o.flash : arg == "--script" ? o.script : o.vcd) = argv[++i];
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--web") {
            o.web_port = sim::kWebDefaultPort;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                char *end = nullptr;
                const long port = strtol(argv[++i], &end, 10);
                if (*end != '\0' || port < 1 || port > 65535) {
                    fprintf(stderr, "orlix-sim: --web takes a port from 1 to 65535\n");
                    return false;
                }
                o.web_port = static_cast<int>(port);
            }
        } else if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else {
            fputs(kUsage, stderr);
            return false;
        }
    }
    if (o.speed < 0) o.speed = o.script.empty() ? 1.0 : 0.0;
    return true;
}

void open_ports(const Options &options) {
    const std::string usb_tty = sim::usb_pty_open();
    if (usb_tty.empty()) {
        perror("orlix-sim: USB serial port");
    } else {
        printf("USB serial port (the board's console): %s\n", usb_tty.c_str());
    }
    if (options.screen_pty) {
        const std::string screen_tty = sim::screen_pty_open();
        if (screen_tty.empty()) {
            perror("orlix-sim: screen line");
        } else {
            printf("screen line (UART1, 115200 baud, 921600 during a firmware transfer): %s\n", screen_tty.c_str());
        }
    }
    fflush(stdout);
}

// The steps of a script file, or nullptr (with the reasons on standard error).
std::unique_ptr<sim::ScriptRun> load_script(const std::string &path, Cabinet &cabinet, int *exit_code) {
    std::string text;
    if (const auto error = script::read_file(path, &text)) {
        fprintf(stderr, "orlix-sim: %s\n", error->message.c_str());
        *exit_code = error->exit_status;
        return nullptr;
    }
    script::Parsed parsed = script::parse(text);
    std::vector<std::string> errors;
    for (const script::Error &e : parsed.errors) errors.push_back(script::describe(e));
    for (const std::string &e : sim::ScriptRun::check(parsed.steps, sim::command_error)) errors.push_back(e);
    if (!errors.empty()) {
        for (const std::string &e : errors) fprintf(stderr, "orlix-sim: %s: %s\n", script::printable(path).c_str(), e.c_str());
        *exit_code = 65;
        return nullptr;
    }
    return std::make_unique<sim::ScriptRun>(
        std::move(parsed.steps), [&cabinet](const std::string &line) { return cabinet.command(line); },
        [&cabinet](const std::string &bytes) { cabinet.radio.air(bytes); });
}

// The fobs' counters, kept beside the flash file as soon as a press has changed one.
void keep_fob_counters(const Cabinet &cabinet) {
    uint32_t counters[sim::kFobs];
    for (unsigned n = 1; n <= sim::kFobs; n++) counters[n - 1] = cabinet.radio.fob_counter(n);
    sim::flash_file_keep_fobs(counters, sim::kFobs);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse_options(argc, argv, options)) return 64;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);

    vb::drive_pin(kDoorPin, false);
    // The LoRa module is powered with the board, and the fobs and the other
    // cabinet are on the same air.
    Cabinet cabinet;
    cabinet.built_in_screen = !options.screen_pty;
    uint32_t fob_counters[sim::kFobs] = {};
    if (!options.flash.empty()) {
        if (const auto error = sim::flash_file_open(options.flash, fob_counters, sim::kFobs)) {
            fprintf(stderr, "orlix-sim: --flash %s\n", error->message.c_str());
            return error->exit_status;
        }
        for (unsigned n = 1; n <= sim::kFobs; n++) cabinet.radio.set_fob_counter(n, fob_counters[n - 1]);
    }
    int exit_code = 0;
    std::unique_ptr<sim::ScriptRun> run;
    if (!options.script.empty()) {
        run = load_script(options.script, cabinet, &exit_code);
        if (!run) return exit_code;
        sim::log_set_observer([&run](uint64_t t, const std::string &d, const std::string &k, const std::string &x) {
            run->observe(t, d, k, x);
        });
    }
    sim::log_fold_repeats(options.quiet);
    printf("orlix-sim: the firmware on a virtual board. Commands: open, close, send <payload>, fob <n>, "
           "peer <state> <age_ms>, reset, power, help, quit.\n");
    if (options.web_port >= 0) {
        if (!sim::web_start(static_cast<unsigned>(options.web_port), sim::WebSite{ORLIX_SIM_WEB_DIR}, sim::command_error)) {
            fprintf(stderr, "orlix-sim: cannot serve on 127.0.0.1 port %d (taken?)\n", options.web_port);
            return 69;
        }
        sim::page_start();
        sim::log_set_tap(sim::web_log);
        printf("web page: http://127.0.0.1:%d/\n", options.web_port);
    }
    if (!options.vcd.empty() && !sim::vcd_open(options.vcd)) {
        fprintf(stderr, "orlix-sim: --vcd %s: %s\n", script::printable(options.vcd).c_str(), strerror(errno));
        return 73;
    }
    vb::power_on();
    open_ports(options);
    // The built-in screen unit's side of a firmware transfer, stepped every 100 µs of board time.
    peers::ScreenFw screen_fw;
    if (cabinet.built_in_screen) vb::add_peer([&screen_fw] { screen_fw.step(); });
    cabinet.radio.attach();
    sim::Watch watch(cabinet, cabinet.built_in_screen ? &screen_fw : nullptr);
    sim::Commands commands;
    uint64_t next_status_us = cabinet.built_in_screen ? sim::kStatusEveryUs : UINT64_MAX;
    sim::Pace pace(options.speed, vb::now_us());
    bool idle = false;  // the board waits in its boot loader, the clock stands still

    running = 1;
    while (!sim::command_stopping()) {
        // The commands between every two slices: a slice is 200 µs of board
        // time, well under a millisecond of wall time even on a slow board.
        if (!run) commands.read(cabinet);
        for (const std::string &line : sim::web_commands()) cabinet.command(line);
        keep_fob_counters(cabinet);
        uint64_t until_us = UINT64_MAX;
        if (run) {
            const uint64_t until_ns = run->step(vb::now_ns());
            keep_fob_counters(cabinet);
            if (run->finished()) break;
            until_us = until_ns == UINT64_MAX ? until_ns : (until_ns + 999) / 1000;
        } else if (!cabinet.board_state.empty()) {
            // Nothing runs on the board: no time passes until a command comes.
            if (!idle) sim::log_flush_all();
            idle = true;
            sim::page_step(cabinet.status, cabinet.report, cabinet.board_state);
            commands.wait(kIdleLook);
            continue;
        }
        if (idle) {
            idle = false;
            pace = sim::Pace(options.speed, vb::now_us());
        }
        const uint64_t target = pace.target_us(vb::now_us());
        if (vb::now_us() < target) {
            try {
                vb::run_until_us(std::min({target, next_status_us, until_us, vb::now_us() + kSliceUs}));
            } catch (const std::runtime_error &e) {
                sim::log_note(vb::now_ns(), std::string("--- ") + e.what());
                if (run) run->abort(e.what());
                exit_code = 70;
                break;
            }
            if (vb::now_us() >= next_status_us) {
                // A screen unit taking a firmware image sends no status meanwhile.
                if (!screen_fw.in_session()) sim::send_status(cabinet.status);
                next_status_us += sim::kStatusEveryUs;
            }
            watch.after_slice();
        } else {
            // Ahead of time: sleep until a whole slice is due, or a command comes.
            commands.wait(std::min<std::chrono::steady_clock::duration>(kNap, pace.wait_for(target + kSliceUs)));
        }
        const std::string slow = pace.check(vb::now_us());
        if (!slow.empty()) sim::answer(slow + "\n");
    }
    sim::web_stop();
    sim::log_flush_all();
    sim::screen_pty_close();
    sim::usb_pty_close();
    vb::power_off();
    for (unsigned n = 1; n <= sim::kFobs; n++) fob_counters[n - 1] = cabinet.radio.fob_counter(n);
    sim::flash_file_close(fob_counters, sim::kFobs);
    const std::string vcd_error = sim::vcd_close();
    if (!vcd_error.empty()) {
        fprintf(stderr, "orlix-sim: --vcd %s: the trace is not whole: %s\n", script::printable(options.vcd).c_str(),
                vcd_error.c_str());
    }
    printf("orlix-sim: stopped at %.3f ms of board time (%.2fx real time)\n", static_cast<double>(vb::now_ns()) / 1e6,
           pace.average(vb::now_us()));
    if (run) {
        const std::string shown_script = script::printable(options.script);
        if (sim::command_stopping() && run->failure().empty()) run->abort("interrupted");
        if (run->failure().empty()) {
            printf("orlix-sim: %s: every step held (%u expectation%s)\n", shown_script.c_str(), run->expectations(),
                   run->expectations() == 1 ? "" : "s");
        } else {
            printf("orlix-sim: %s: %s\n", shown_script.c_str(), run->failure().c_str());
            fprintf(stderr, "orlix-sim: %s: %s\n", shown_script.c_str(), run->failure().c_str());
            exit_code = 1;
        }
    }
    if (!vcd_error.empty() && exit_code == 0) exit_code = 73;
    fflush(stdout);
    return exit_code;
}
