// orlix-sim: runs the firmware on the simulated board in real time and shows
// the traffic on the screen line, the cabinet's outputs (maglock, strips,
// sound) and the radio traffic, with a screen unit that sends a status
// payload every second and takes a firmware image pushed through the USB
// serial port (tools/orlix-push), the board's LoRa module on an air shared
// with three key fobs and the board of another cabinet. Commands on standard
// input (`help` lists them):
//   open | close           the door sensor
//   send <payload>         a status payload (16 characters) framed for the board
//   fob <1-3>              a press of a key fob
//   peer <state> <age_ms>  a status broadcast from another cabinet's board
//   help
//   quit                   (or Ctrl-C)
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "screen_fw.h"
#include "screen_unit.h"
#include "sim_log.h"
#include "sim_outputs.h"
#include "sim_radio.h"
#include "usb_pty.h"
#include "vboard.h"

namespace {

constexpr unsigned kDoorPin = 25;
constexpr uint64_t kStatusEveryUs = 1000000;
constexpr auto kTick = std::chrono::milliseconds(2);
const char *const kDefaultStatus = "LONNOROFFX050FCN";

const char *const kHelp =
    "commands:\n"
    "  open | close             the door sensor: high (open) or low (closed)\n"
    "  send <payload>           a status payload of 16 characters, repeated every second from then on,\n"
    "                           e.g. send LOFALMPO3X080FCN; ending in FCP pairs the fobs pressed meanwhile,\n"
    "                           FCC forgets every fob, FCN ends either\n"
    "  fob <1-3>                a press of fob 1, 2 or 3 (each has its own identifier and counter)\n"
    "  peer <state> <age_ms>    a status broadcast from another cabinet's board: its fob state\n"
    "                           (0 none, 1 lockdown, 2 unlock) and the milliseconds since its last fob event\n"
    "  help                     this list\n"
    "  quit                     stop (or Ctrl-C)\n";

volatile sig_atomic_t stop = 0;

void on_signal(int) {
    stop = 1;
}

std::string printable(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            out.push_back(c);
        } else if (c != '\r') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
            out += esc;
        }
    }
    return out;
}

void show(uint64_t t_ns, const char *direction, const char *kind, const std::string &text) {
    // Block frames of a firmware transfer are shown by their number only.
    if (text.compare(0, 5, "<<<FD") == 0 && text.size() > 9) {
        sim::log_line(t_ns, direction, kind,
                      text.substr(0, 9) + "... (" + std::to_string(text.size()) + " characters)");
        return;
    }
    sim::log_line(t_ns, direction, kind, printable(text));
}

void send_status(const std::string &payload) {
    const std::string frame = peers::frame_to_board(payload);
    vb::send_to_board(peers::kScreenUart, frame, peers::kScreenBaud);
    show(vb::now_ns(), "screen->board", "frame", frame.substr(0, frame.size() - 2));
}

// A whole decimal number in [0, max], or -1.
long long number(const std::string &word, unsigned long long max) {
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    const unsigned long long n = strtoull(word.c_str(), nullptr, 10);
    return n <= max ? static_cast<long long>(n) : -1;
}

void handle_command(const std::string &line, std::string &status, sim::RadioSide &radio) {
    std::istringstream in(line);
    std::string word, a, b, extra;
    in >> word >> a >> b >> extra;
    if (line == "open" || line == "close") {
        vb::drive_pin(kDoorPin, line == "open");
        sim::log_note(vb::now_ns(), line == "open" ? "door sensor high (open)" : "door sensor low (closed)");
    } else if (line.rfind("send ", 0) == 0) {
        status = line.substr(5);
        send_status(status);
    } else if (word == "fob" && !a.empty() && b.empty() && number(a, sim::kFobs) >= 1) {
        radio.press(static_cast<unsigned>(number(a, sim::kFobs)));
    } else if (word == "peer" && !b.empty() && extra.empty() && number(a, 255) >= 0 && number(b, 0xFFFFFFFFull) >= 0) {
        radio.peer_status(static_cast<uint8_t>(number(a, 255)), static_cast<uint32_t>(number(b, 0xFFFFFFFFull)));
    } else if (line == "quit") {
        stop = 1;
    } else if (line == "help") {
        sim::log_flush_all();
        fputs(kHelp, stdout);
        fflush(stdout);
    } else if (!line.empty()) {
        sim::log_flush_all();
        printf("not a command: %s\n%s", printable(line).c_str(), kHelp);
        fflush(stdout);
    }
}

// Standard input, read as it comes: whole lines are commands.
class Commands {
public:
    void read(std::string &status, sim::RadioSide &radio) {
        if (closed_) return;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 0) <= 0 || !(in.revents & (POLLIN | POLLHUP))) return;
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            closed_ = true;  // no more commands; the board runs on (Ctrl-C stops it)
            return;
        }
        pending_.append(buf, static_cast<size_t>(n));
        for (size_t end; !stop && (end = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            handle_command(line, status, radio);
        }
    }

private:
    std::string pending_;
    bool closed_ = false;
};

}  // namespace

int main() {
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    printf("orlix-sim: the firmware on a virtual board. Commands: open, close, send <payload>, fob <n>, "
           "peer <state> <age_ms>, help, quit.\n");

    vb::drive_pin(kDoorPin, false);
    // The LoRa module is powered with the board, and the fobs and the other
    // cabinet are on the same air.
    sim::RadioSide radio;
    std::string status = kDefaultStatus;
    sim::Outputs outputs([&status] { return status; });
    vb::power_on();
    // ---- USB serial port: a pseudo-terminal (sim/usb_pty.cpp) ----
    const std::string usb_tty = sim::usb_pty_open();
    if (usb_tty.empty()) {
        perror("orlix-sim: USB serial port");
    } else {
        printf("USB serial port (the board's console): %s\n", usb_tty.c_str());
    }
    fflush(stdout);
    // ---- end USB serial port ----
    peers::LineReader reader;
    // The screen unit's side of a firmware transfer, stepped every 100 µs of board time.
    peers::ScreenFw screen_fw;
    vb::add_peer([&screen_fw] { screen_fw.step(); });
    radio.attach();
    size_t answers_shown = 0;
    Commands commands;
    uint64_t next_status_us = kStatusEveryUs;
    uint32_t boots_seen = vb::boots();
    const auto start = std::chrono::steady_clock::now();

    while (!stop) {
        std::this_thread::sleep_for(kTick);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const uint64_t target = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
        while (vb::now_us() < target && !stop) {
            const uint64_t step = std::min(target, std::min(next_status_us, vb::now_us() + 1000));
            vb::run_until_us(step);
            sim::usb_pty_step();  // USB serial port
            if (vb::now_us() >= next_status_us) {
                // A screen unit taking a firmware image sends no status meanwhile.
                if (!screen_fw.in_session()) send_status(status);
                next_status_us += kStatusEveryUs;
            }
            for (const peers::Line &line : reader.poll()) {
                show(line.start_ns, "board->screen", line.frame ? "frame" : "console", line.text);
            }
            for (; answers_shown < screen_fw.answered().size(); answers_shown++) {
                show(screen_fw.answer_arrivals()[answers_shown], "screen->board", "frame",
                     ">>>" + screen_fw.answered()[answers_shown]);
            }
            if (vb::boots() != boots_seen) {
                boots_seen = vb::boots();
                sim::log_note(vb::now_ns(), "--- board restarted (boot " + std::to_string(boots_seen) + ")");
            }
            outputs.poll();
            radio.poll();
            sim::log_flush(vb::now_ns());
        }
        commands.read(status, radio);
    }
    sim::log_flush_all();
    sim::usb_pty_close();  // USB serial port
    vb::power_off();
    printf("orlix-sim: stopped at %.3f ms of board time\n", static_cast<double>(vb::now_ns()) / 1e6);
    return 0;
}
