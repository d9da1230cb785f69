// orlix-sim: runs the firmware on the simulated board in real time and shows
// the traffic on the screen line, with a screen unit that sends a status
// payload every second and takes a firmware image pushed through the USB
// serial port (tools/orlix-push). Commands on standard input:
//   open | close        the door sensor
//   send <payload>      a status payload (16 characters) framed for the board
//   quit                (or Ctrl-C)
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "screen_fw.h"
#include "screen_unit.h"
#include "usb_pty.h"
#include "vboard.h"

namespace {

constexpr unsigned kDoorPin = 25;
constexpr uint64_t kStatusEveryUs = 1000000;
constexpr auto kTick = std::chrono::milliseconds(2);
const char *const kDefaultStatus = "LONNOROFFX050FCN";

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
        printf("%10.3f ms  %s  %-7s %s... (%zu characters)\n", static_cast<double>(t_ns) / 1e6, direction, kind,
               text.substr(0, 9).c_str(), text.size());
        fflush(stdout);
        return;
    }
    printf("%10.3f ms  %s  %-7s %s\n", static_cast<double>(t_ns) / 1e6, direction, kind, printable(text).c_str());
    fflush(stdout);
}

void send_status(const std::string &payload) {
    const std::string frame = peers::frame_to_board(payload);
    vb::send_to_board(peers::kScreenUart, frame, peers::kScreenBaud);
    show(vb::now_ns(), "screen->board", "frame", frame.substr(0, frame.size() - 2));
}

void handle_command(const std::string &line, std::string &status) {
    if (line == "open" || line == "close") {
        vb::drive_pin(kDoorPin, line == "open");
        printf("door sensor %s\n", line == "open" ? "high (open)" : "low (closed)");
    } else if (line.rfind("send ", 0) == 0) {
        status = line.substr(5);
        send_status(status);
    } else if (line == "quit") {
        stop = 1;
    } else if (!line.empty()) {
        printf("commands: open | close | send <16-character payload> | quit\n");
    }
}

void read_commands(std::string &status) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) <= 0 || !(in.revents & POLLIN)) return;
    char buf[256];
    if (!fgets(buf, sizeof buf, stdin)) {
        in.fd = -1;
        return;
    }
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    handle_command(line, status);
}

}  // namespace

int main() {
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    printf("orlix-sim: the firmware on a virtual board. Commands: open, close, send <payload>, quit.\n");

    vb::drive_pin(kDoorPin, false);
    vb::power_on();
    // ---- USB serial port: a pseudo-terminal (sim/usb_pty.cpp) ----
    const std::string usb_tty = sim::usb_pty_open();
    if (usb_tty.empty()) {
        perror("orlix-sim: USB serial port");
    } else {
        printf("USB serial port (the board's console): %s\n", usb_tty.c_str());
    }
    // ---- end USB serial port ----
    peers::LineReader reader;
    // The screen unit's side of a firmware transfer, stepped every 100 µs of board time.
    peers::ScreenFw screen_fw;
    vb::add_peer([&screen_fw] { screen_fw.step(); });
    size_t answers_shown = 0;
    std::string status = kDefaultStatus;
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
                printf("--- board restarted (boot %u)\n", boots_seen);
            }
        }
        read_commands(status);
    }
    sim::usb_pty_close();  // USB serial port
    vb::power_off();
    printf("orlix-sim: stopped at %.3f ms of board time\n", static_cast<double>(vb::now_ns()) / 1e6);
    return 0;
}
