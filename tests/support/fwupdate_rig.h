// The screen link and the firmware bridge driven as the main loop drives
// them, with a host that feeds the ring as the console does and the screen
// unit model answering on the line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_test.h"
#include "door.h"
#include "fwupdate.h"
#include "image_bytes.h"
#include "screen.h"
#include "screen_fw.h"
#include "status.h"

namespace test {

inline std::vector<std::string> &fw_words() {
    static std::vector<std::string> words;
    return words;
}

inline void fw_record(const char *msg) {
    fw_words().push_back(msg);
}

// Standard base64, written here independently of the firmware's encoder.
inline std::string b64(const std::vector<uint8_t> &in) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = std::min<size_t>(3, in.size() - i);
        uint32_t v = uint32_t{in[i]} << 16;
        if (n > 1) v |= uint32_t{in[i + 1]} << 8;
        if (n > 2) v |= in[i + 2];
        for (size_t k = 0; k < 4; k++) out.push_back(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

class FwRig {
public:
    static constexpr size_t kConsoleRead = 64;  // the console reads image bytes 64 at a time

    void bring_up() {
        unit_board();
        status_init();
        door_init();
        screen_init();
        fwupdate_init();
        fw_words().clear();
        fwupdate_set_reporter(fw_record);
    }

    // The console's FWUP command: the session starts and the host's bytes
    // are fed from the next pass on.
    void start(uint32_t size, std::vector<uint8_t> host_bytes) {
        host_ = std::move(host_bytes);
        sent_ = 0;
        mark_ = vb::tx_count(kScreenUart);
        reader_ = peers::LineReader(kScreenUart, mark_);
        lines_.clear();
        fwupdate_start(size);
    }

    // The host's bytes in all, of which those sent so far are the start.
    void host_now_has(std::vector<uint8_t> host_bytes) {
        host_ = std::move(host_bytes);
    }

    // One pass: the screen link, the bridge, the console, the peer.
    void pass() {
        screen_poll();
        const uint64_t t0 = vb::now_ns();
        fwupdate_poll();
        longest_poll_ns = std::max(longest_poll_ns, vb::now_ns() - t0);
        feed();
        unit.step();
        collect();  // before the transmit log wraps
        vb::advance_us(pass_us);
    }

    void feed() {
        if (!feeding) return;
        int space = fwupdate_feed_space();
        while (space > 0 && sent_ < host_.size()) {
            const int n = static_cast<int>(std::min({static_cast<size_t>(space), kConsoleRead, host_.size() - sent_}));
            const int took = fwupdate_feed(host_.data() + sent_, n);
            if (took <= 0) break;
            sent_ += static_cast<size_t>(took);
            space -= took;
            last_accept_ns = vb::now_ns();
        }
    }

    bool run_until(const std::function<bool()> &done, uint64_t limit_us) {
        const uint64_t end = vb::now_us() + limit_us;
        while (!done()) {
            if (vb::now_us() >= end) return false;
            pass();
        }
        return true;
    }

    // Runs until the session has ended (or the limit passes).
    bool run_to_end(uint64_t limit_us) {
        return run_until([] { return !fwupdate_active(); }, limit_us);
    }

    // Lines the board sent since start().
    const std::vector<peers::Line> &lines() {
        collect();
        return lines_;
    }
    std::vector<peers::Line> frames() {
        std::vector<peers::Line> out;
        for (const auto &line : lines()) {
            if (line.frame) out.push_back(line);
        }
        return out;
    }
    std::string sent_text() const {
        return vb::tx_text(kScreenUart, mark_);
    }
    size_t host_sent() const {
        return sent_;
    }

    peers::ScreenFw unit;
    uint64_t pass_us = 20;
    bool feeding = true;
    uint64_t longest_poll_ns = 0;
    uint64_t last_accept_ns = 0;

private:
    void collect() {
        for (auto &line : reader_.poll()) lines_.push_back(std::move(line));
    }

    std::vector<uint8_t> host_;
    size_t sent_ = 0;
    size_t mark_ = 0;
    peers::LineReader reader_;
    std::vector<peers::Line> lines_;
};

}  // namespace test
