#include "commands.h"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "log.h"
#include "screen_unit.h"
#include "vboard.h"
#include "wiring.h"

namespace sim {

void show(uint64_t t_ns, const char *direction, const char *kind, const std::string &text) {
    // Block frames of a firmware transfer are shown by their number only.
    if (text.compare(0, 5, "<<<FD") == 0 && text.size() > 9) {
        log_line(t_ns, direction, kind,
                      text.substr(0, 9) + "... (" + std::to_string(text.size()) + " characters)");
        return;
    }
    log_line(t_ns, direction, kind, printable(text));
}

static_assert(kMaxSendChars + kFrameExtraBytes <= vb::kUartWireSize, "a status frame fits the line's queue");

// A status frame, shown when its last byte reaches the board (when it acts on it).
bool send_status(const std::string &payload) {
    const std::string frame = peers::frame_to_board(payload);
    const vb::Uart &u = vb::board().uart[peers::kScreenUart];
    if (u.wire_tail - u.wire_head + frame.size() > vb::kUartWireSize) return false;
    vb::send_to_board(peers::kScreenUart, frame, peers::kScreenBaud);
    show(u.wire_free_ns, "screen->board", "frame", frame.substr(0, frame.size() - 2));
    return true;
}

namespace {

const char *const kHelp =
    "commands:\n"
    "  open | close             the door sensor: high (open) or low (closed)\n"
    "  send <payload>           a status payload of 16 characters, repeated every second from then on,\n"
    "                           e.g. send LOFALMPO3X080FCN; ending in FCP pairs the fobs pressed meanwhile,\n"
    "                           FCC forgets every fob, FCN ends either (with --screen-pty: sent once)\n"
    "  fob <1-3>                a press of fob 1, 2 or 3 (each has its own identifier and counter)\n"
    "  peer <state> <age_ms>    a status broadcast from another cabinet's board: its fob state\n"
    "                           (0 none, 1 lockdown, 2 unlock) and the milliseconds since its last fob event\n"
    "  reset                    the reset button: the firmware restarts, RAM lost, flash kept\n"
    "  power                    a power cut and restore (the radio module restarts too)\n"
    "  help                     this list\n"
    "  quit                     stop (or Ctrl-C)\n";

volatile sig_atomic_t stop = 0;

// A whole decimal number in [0, max], or -1.
long long number(const std::string &word, unsigned long long max) {
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    const unsigned long long n = strtoull(word.c_str(), nullptr, 10);
    return n <= max ? static_cast<long long>(n) : -1;
}

}  // namespace

void command_stop() {
    stop = 1;
}

bool command_stopping() {
    return stop != 0;
}

void answer(const std::string &text) {
    log_flush_all();
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

// Why `line` is not a command, or "" when it is one (any thread may ask).
std::string command_error(const std::string &line) {
    std::istringstream in(line);
    std::string word, a, b, extra;
    in >> word >> a >> b >> extra;
    const bool alone = a.empty();
    if ((word == "open" || word == "close" || word == "reset" || word == "power" || word == "help" ||
         word == "quit") && alone && line == word) {
        return "";
    }
    if (line.rfind("send ", 0) == 0 && line.size() > 5) {
        if (line.size() - 5 <= kMaxSendChars) return "";
        return "send takes a payload of at most " + std::to_string(kMaxSendChars) + " characters, not " +
               std::to_string(line.size() - 5);
    }
    if (word == "fob" && b.empty() && number(a, kFobs) >= 1) return "";
    if (word == "peer" && !b.empty() && extra.empty() && number(a, 255) >= 0 && number(b, 0xFFFFFFFFull) >= 0) {
        return "";
    }
    return "not a command: " + printable(line) + " (help lists them)";
}


std::string Cabinet::command(const std::string &line) {
    const std::string error = command_error(line);
    if (!error.empty()) {
        if (!line.empty()) answer(error + "\n");
        return error;
    }
    std::istringstream in(line);
    std::string word, a, b;
    in >> word >> a >> b;
    if (line == "open" || line == "close") {
        vb::drive_pin(wiring::kDoorPin, line == "open");
        log_note(vb::now_ns(), line == "open" ? "door sensor high (open)" : "door sensor low (closed)");
    } else if (word == "send") {
        if (!send_status(line.substr(5))) {
            const std::string busy = "the screen line's queue is full: the payload was not sent";
            answer(busy + "\n");
            return busy;
        }
        status = line.substr(5);
        clip_started = false;
    } else if (word == "fob") {
        radio.press(static_cast<unsigned>(number(a, kFobs)));
    } else if (word == "peer") {
        radio.peer_status(static_cast<uint8_t>(number(a, 255)), static_cast<uint32_t>(number(b, 0xFFFFFFFFull)));
    } else if (line == "reset") {
        log_note(vb::now_ns(), "--- reset button pressed: the firmware restarts (RAM lost, flash kept)");
        vb::reset_button();
        board_state.clear();
    } else if (line == "power") {
        log_note(vb::now_ns(), "--- power cut and restored: the board and its radio module start afresh");
        vb::power_off();
        vb::power_on();
        board_state.clear();
    } else if (line == "quit") {
        stop = 1;
    } else if (line == "help") {
        answer(kHelp);
    }
    return "";
}

void Cabinet::follow_clip() {
    if (!built_in_screen || status.size() != 16 || status.compare(6, 2, "PO") != 0) return;
    const bool amp = vb::level(wiring::kAmpPin);
    if (amp) clip_started = true;
    if (!amp && clip_started) {
        status.replace(6, 3, "OFF");
        clip_started = false;
    }
}

void Commands::read(Cabinet &cabinet) {
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
    for (size_t end; !command_stopping() && (end = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (overlong_) {
            overlong_ = false;  // its end: the next line is a command again
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        cabinet.command(line);
    }
    // A line without its end yet, longer than any command: dropped as it comes.
    if (pending_.size() > kMaxCommandChars + 1) {
        if (!overlong_) answer("not a command: a line longer than " + std::to_string(kMaxCommandChars) + " characters\n");
        overlong_ = true;
        pending_.clear();
    }
}

void Commands::wait(std::chrono::steady_clock::duration d) const {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    timeval t{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    fd_set in;
    FD_ZERO(&in);
    if (!closed_) FD_SET(STDIN_FILENO, &in);
    select(STDIN_FILENO + 1, &in, nullptr, nullptr, &t);
}

}  // namespace sim
