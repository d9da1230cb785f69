#include "board_host.h"

#include <algorithm>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "drift.h"
#include "fleet.h"
#include "radio_messages.h"
#include "screen_unit.h"
#include "vboard.h"
#include "vboard_flash.h"
#include "wiring.h"

namespace fleet {

namespace {

using wiring::kDoorPin;
constexpr uint64_t kStatusEveryNs = kSecondNs;  // the screen unit's status payload

const char *cause_name(vb::ResetCause cause) {
    switch (cause) {
    case vb::ResetCause::Watchdog: return "watchdog";
    case vb::ResetCause::UsbBoot: return "into the boot loader";
    default: return "reboot";
    }
}

// The board runs on its own clock (drift.h); what it tells the controller
// carries air times.
class BoardHost {
public:
    BoardHost(const std::string &id_hex, int64_t ppb) : ppb_(ppb) {
        const auto id = peers::from_hex(id_hex);
        if (!id || id->size() != vb::kFlashUniqueIdSize) throw std::runtime_error("bad unique ID");
        uint8_t raw[vb::kFlashUniqueIdSize];
        memcpy(raw, id->data(), sizeof raw);
        vb::set_flash_unique_id(raw);
        vb::drive_pin(kDoorPin, false);
        outbox_.collisions = false;
        module_ = std::make_unique<peers::BoardRadio>(outbox_);
    }

    // One command; false on quit.
    bool command(const std::string &line, FILE *out) {
        std::istringstream in(line);
        std::string word, arg;
        in >> word >> arg;
        if (word == "on" || word == "off") report_.clear();  // a new boot reports afresh
        if (word == "on") {
            vb::power_on();
            on_ = true;
            module_->step_module(vb::now_ns());  // the module powers up with the board
            next_status_ns_ = vb::now_ns() + kStatusEveryNs;
        } else if (word == "off") {
            vb::power_off();
            module_->power_off();
            on_ = false;
            next_status_ns_ = UINT64_MAX;
        } else if (word == "payload") {
            payload_ = arg;
            if (on_) send_status();
        } else if (word == "door") {
            vb::drive_pin(kDoorPin, arg == "1");
        } else if (word == "deliver") {
            const auto bytes = peers::from_hex(arg);
            if (on_ && bytes) module_->deliver(*bytes);
        } else if (word == "run") {
            run(strtoull(arg.c_str(), nullptr, 10), out);
        } else if (word == "quit") {
            return false;
        }
        return true;
    }

private:
    void send_status() {
        vb::send_to_board(peers::kScreenUart, peers::frame_to_board(payload_), peers::kScreenBaud);
    }

    uint64_t air_ns(uint64_t board_ns) const { return std::max(window_start_ns_, drift_air_ns(board_ns, ppb_)); }

    void run(uint64_t air_t_ns, FILE *out) {
        const uint64_t t_ns = drift_board_ns(air_t_ns, ppb_);
        while (vb::now_ns() < t_ns) {
            vb::run_until_ns(std::min(t_ns, next_status_ns_));
            if (on_ && vb::now_ns() >= next_status_ns_) {
                send_status();
                next_status_ns_ += kStatusEveryNs;
            }
        }
        module_->step_module(vb::now_ns());
        const auto &packets = outbox_.packets();
        for (; sent_ < packets.size(); sent_++) {
            fprintf(out, "tx %llu %s\n", static_cast<unsigned long long>(air_ns(packets[sent_].start_ns)),
                    peers::hex(packets[sent_].bytes).c_str());
        }
        for (const peers::Line &l : reader_.poll()) {
            if (l.frame && l.check_ok && l.payload.size() >= 6 && l.payload[0] == 'D') {
                if (l.payload != report_) {
                    report_ = l.payload;
                    fprintf(out, "report %llu %s\n", static_cast<unsigned long long>(air_ns(l.end_ns)), report_.c_str());
                }
            } else if (!l.frame) {
                std::string text = l.text;
                while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
                std::replace(text.begin(), text.end(), '\n', ' ');
                fprintf(out, "console %llu %s\n", static_cast<unsigned long long>(air_ns(l.end_ns)), text.c_str());
            }
        }
        tell_restarts(out);
        fprintf(out, "done %llu %llu\n", static_cast<unsigned long long>(vb::now_ns()),
                static_cast<unsigned long long>(vb::board().idle_jumps));
        fflush(out);
        window_start_ns_ = air_t_ns;
    }

    // The board's restarts of its own (not the power-ons the controller made).
    void tell_restarts(FILE *out) {
        const vb::Board &b = vb::board();
        events_seen_ = std::max(events_seen_, b.events_total > vb::kBoardEventLogSize ? b.events_total - vb::kBoardEventLogSize : 0);
        for (; events_seen_ < b.events_total; events_seen_++) {
            const vb::BoardEvent &e = b.events[events_seen_ % vb::kBoardEventLogSize];
            if (e.cause == vb::ResetCause::PowerOn) continue;
            fprintf(out, "restart %llu %s\n", static_cast<unsigned long long>(air_ns(e.t_ns)), cause_name(e.cause));
        }
    }

    peers::Air outbox_;  // only collects what the module sends
    std::unique_ptr<peers::BoardRadio> module_;
    peers::LineReader reader_;
    size_t sent_ = 0;
    bool on_ = false;
    std::string payload_ = kDefaultPayload;
    std::string report_;
    uint64_t next_status_ns_ = UINT64_MAX;
    const int64_t ppb_;             // the crystal's error
    uint64_t window_start_ns_ = 0;  // the air time the last run ended at
    uint64_t events_seen_ = 0;      // board events told (vb::Board::events)
};

}  // namespace

int board_host_main(int argc, char **argv) {
    if (argc < 4) return 64;
    signal(SIGPIPE, SIG_IGN);
    // Ctrl-C reaches the whole process group: the controller ends its boards itself.
    signal(SIGINT, SIG_IGN);
    FILE *in = fdopen(kCommandFd, "r");
    FILE *out = fdopen(kReplyFd, "w");
    if (in == nullptr || out == nullptr) return 66;
    try {
        BoardHost host(argv[3], argc > 4 ? strtoll(argv[4], nullptr, 10) : 0);
        char *line = nullptr;
        size_t cap = 0;
        ssize_t n;
        while ((n = getline(&line, &cap, in)) > 0) {
            std::string text(line, static_cast<size_t>(n));
            if (!text.empty() && text.back() == '\n') text.pop_back();
            if (!host.command(text, out)) break;
        }
        free(line);
        vb::power_off();
    } catch (const std::exception &e) {
        fprintf(out, "error %s\n", e.what());
        fflush(out);
        return 1;
    }
    return 0;
}

}  // namespace fleet
