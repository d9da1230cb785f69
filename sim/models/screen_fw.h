// The screen unit's side of a firmware transfer: it hears the board's
// begin, block, window end, finish and abort frames on the screen line and
// answers FR, FA and FC at the right rate, assembling the image and checking
// its CRC-32. It can be told to misbehave.
//
// Step it often (vb::add_peer in whole-firmware tests, or from a test's own
// loop): each step reads the lines the board has finished sending and sends
// the answers that are due.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "screen_unit.h"
#include "vboard.h"

namespace peers {

using wiring::kScreenFastBaud;

// CRC-32/ISO-HDLC of `bytes`, computed bit by bit.
uint32_t crc32_iso_hdlc(const std::vector<uint8_t> &bytes);
// Strict base64 (RFC 4648, "=" padding); false on anything else.
bool b64_decode(const std::string &text, std::vector<uint8_t> *out);

struct ScreenFwFaults {
    bool silent = false;          // hears everything, answers nothing
    int ignore_begins = 0;        // this many begin frames go unanswered
    std::set<uint32_t> lose_blocks;  // each of these block frames is lost the first time it comes
    uint64_t delay_us = 0;        // added before every answer
    // Replaces each answer (its payload, e.g. "FA0008") by the raw bytes sent
    // instead; an empty result sends nothing. Frame payloads with frame_to_board().
    std::function<std::string(const std::string &answer)> rewrite;
};

struct ScreenFwStats {
    unsigned begins = 0;        // begin frames heard
    unsigned block_frames = 0;  // block frames heard (lost ones included)
    unsigned lost = 0;          // block frames dropped on purpose
    unsigned duplicates = 0;    // blocks heard again after they were taken
    unsigned gaps = 0;          // blocks heard before the one wanted
    unsigned bad_blocks = 0;    // block frames whose number, base64 or length were wrong
    unsigned windows = 0;       // window end frames heard
    unsigned finishes = 0;      // finish frames heard
    unsigned aborts = 0;        // FX heard
    unsigned noise = 0;         // lines sent while the direction was high that it could not read
    unsigned collisions = 0;    // answers started while the board's direction was high
    unsigned answers = 0;       // answers sent
};

class ScreenFw {
public:
    // Hears only what the board sends from now on.
    explicit ScreenFw(unsigned uart = kScreenUart) : reader_(uart, vb::tx_count(uart)), uart_(uart) {}

    void step();

    ScreenFwFaults &faults() { return faults_; }
    const ScreenFwStats &stats() const { return stats_; }
    // The image as assembled so far, in block order without gaps.
    const std::vector<uint8_t> &image() const { return image_; }
    // Size announced by the last begin frame.
    uint32_t announced_size() const { return size_; }
    // The rate it listens and answers at now.
    uint32_t rate() const { return rate_; }
    // Between a begin frame it answered and the end of that session.
    bool in_session() const { return session_; }
    // Code of the last completion answer: 0 when the image checked out; -1 before any.
    int completion() const { return completion_; }
    // Payloads heard (block frames shortened to "FDnnnn"), oldest first.
    const std::vector<std::string> &heard() const { return heard_; }
    // The first unreadable lines heard, for a test to show.
    const std::vector<std::string> &noise() const { return noise_; }
    // Payloads of the answers sent, oldest first, and when the last byte of
    // each reached the board.
    const std::vector<std::string> &answered() const { return answered_; }
    const std::vector<uint64_t> &answer_arrivals() const { return arrivals_; }

private:
    struct Pending {
        uint64_t due_ns;
        uint32_t baud;
        std::string payload;
        uint32_t then_rate;  // the rate it listens at once this answer is out; 0: unchanged
        bool ends_session;
    };

    void hear(const Line &line);
    void on_begin(const Line &line, const std::string &p);
    void on_block(const std::string &p);
    void on_window_end();
    void on_finish(const Line &line, const std::string &p);
    void answer(const Line &line, const std::string &payload, uint32_t then_rate = 0, bool ends_session = false);
    uint32_t block_size(uint32_t n) const;

    LineReader reader_;
    unsigned uart_;
    ScreenFwFaults faults_;
    ScreenFwStats stats_;
    std::vector<Pending> pending_;
    std::vector<uint8_t> image_;
    std::set<uint32_t> lost_once_;
    std::vector<std::string> heard_;
    std::vector<std::string> answered_;
    std::vector<uint64_t> arrivals_;
    std::vector<std::string> noise_;
    uint32_t rate_ = kScreenBaud;
    uint32_t size_ = 0;
    uint32_t block_ = 0;
    uint32_t fast_rate_ = kScreenFastBaud;
    uint32_t next_block_ = 0;
    bool session_ = false;
    int completion_ = -1;
};

}  // namespace peers
