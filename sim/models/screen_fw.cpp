#include "screen_fw.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "hex.h"
#include "vboard.h"

namespace peers {

namespace {

constexpr uint64_t kBoardGuardUs = 200;  // the board listens this long after its last byte
constexpr uint64_t kTurnaroundUs = 20;   // the unit's own reaction time
constexpr size_t kBeginLen = 20;  // "FB" + 8 + 4 + 6 hex digits
constexpr size_t kMinBlockDigits = 4;
constexpr size_t kMaxBlockDigits = 8;
constexpr size_t kNoiseKept = 16;

int b64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string hex_payload(const char *fmt, uint32_t value) {
    char text[32];
    snprintf(text, sizeof text, fmt, value);
    return text;
}

}  // namespace

uint32_t crc32_iso_hdlc(const std::vector<uint8_t> &bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (const uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

bool b64_decode(const std::string &text, std::vector<uint8_t> *out) {
    out->clear();
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                pad++;
                continue;
            }
            if (pad > 0) return false;  // data after padding
            v[k] = b64_value(c);
            if (v[k] < 0) return false;
        }
        const uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
        // Padding must leave no stray bits behind.
        if ((pad == 1 && (bits & 0xFF) != 0) || (pad == 2 && (bits & 0xFFFF) != 0)) return false;
        out->push_back(static_cast<uint8_t>(bits >> 16));
        if (pad < 2) out->push_back(static_cast<uint8_t>(bits >> 8));
        if (pad < 1) out->push_back(static_cast<uint8_t>(bits));
    }
    return true;
}

void ScreenFw::step() {
    // Lines and due answers in time order, so that each line is heard at the
    // rate the unit had when it arrived.
    auto flush = [this](uint64_t until_ns) {
        while (!pending_.empty() && pending_.front().due_ns <= until_ns) {
            const Pending p = pending_.front();
            pending_.erase(pending_.begin());
            const std::string bytes = faults_.rewrite ? faults_.rewrite(p.payload) : frame_to_board(p.payload);
            uint64_t arrival = vb::now_ns();
            if (!bytes.empty()) {
                if (vb::level(wiring::kScreenDirPinA) || vb::level(wiring::kScreenDirPinB)) stats_.collisions++;
                vb::send_to_board(uart_, bytes, p.baud);
                arrival = vb::board().uart[uart_].wire_free_ns;
            }
            stats_.answers++;
            answered_.push_back(p.payload);
            arrivals_.push_back(arrival);
            if (p.then_rate != 0) rate_ = p.then_rate;
            if (p.ends_session) session_ = false;
        }
    };
    for (const Line &line : reader_.poll()) {
        flush(line.start_ns);
        hear(line);
    }
    flush(vb::now_ns());
}

uint32_t ScreenFw::block_size(uint32_t n) const {
    const uint64_t start = uint64_t{n} * block_;
    if (start >= size_) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(block_, size_ - start));
}

void ScreenFw::hear(const Line &line) {
    // Text sent while the board's direction is low never reaches the line.
    if (!line.dir_high) return;
    if (!line.frame || !line.check_ok || !wiring::rates_match(line.baud, rate_)) {
        stats_.noise++;
        if (noise_.size() < kNoiseKept) noise_.push_back(line.text);
        return;
    }
    const std::string &p = line.payload;
    if (p.size() < 2 || p[0] != 'F') return;  // input reports are not this model's business
    heard_.push_back(p[1] == 'D' ? p.substr(0, 6) : p);
    switch (p[1]) {
        case 'B':
            on_begin(line, p);
            break;
        case 'D':
            on_block(p);
            break;
        case 'P':
            stats_.windows++;
            if (session_) answer(line, hex_payload("FA%04X", next_block_));
            break;
        case 'Z':
            on_finish(line, p);
            break;
        case 'X':
            stats_.aborts++;
            session_ = false;
            rate_ = kScreenBaud;
            pending_.clear();
            break;
        default:
            break;
    }
}

void ScreenFw::on_begin(const Line &line, const std::string &p) {
    stats_.begins++;
    if (p.size() != kBeginLen || !is_hex_number(p.substr(2))) return;
    size_ = hex_number(p.substr(2, 8));
    block_ = hex_number(p.substr(10, 4));
    fast_rate_ = hex_number(p.substr(14, 6));
    image_.clear();
    lost_once_.clear();
    next_block_ = 0;
    completion_ = -1;
    session_ = false;
    if (faults_.ignore_begins > 0) {
        faults_.ignore_begins--;
        return;
    }
    session_ = true;
    // Listens at the announced rate once FR is out.
    answer(line, "FR", fast_rate_);
}

void ScreenFw::on_block(const std::string &p) {
    stats_.block_frames++;
    if (!session_ || block_ == 0) return;
    // The number is at least four digits; the base64 length says where it ends.
    uint32_t n = 0;
    std::string b64;
    bool parsed = false;
    for (size_t digits = kMinBlockDigits; digits <= kMaxBlockDigits && !parsed; digits++) {
        if (p.size() < 2 + digits || !is_hex_number(p.substr(2, digits))) break;
        n = hex_number(p.substr(2, digits));
        b64 = p.substr(2 + digits);
        parsed = block_size(n) > 0 && b64.size() == 4 * ((block_size(n) + 2) / 3);
    }
    if (parsed && faults_.lose_blocks.count(n) != 0 && lost_once_.insert(n).second) {
        stats_.lost++;
        return;
    }
    std::vector<uint8_t> data;
    if (!parsed || !b64_decode(b64, &data) || data.size() != block_size(n)) {
        stats_.bad_blocks++;
        return;
    }
    if (n < next_block_) {
        stats_.duplicates++;
    } else if (n > next_block_) {
        stats_.gaps++;
    } else {
        image_.insert(image_.end(), data.begin(), data.end());
        next_block_++;
    }
}

void ScreenFw::on_finish(const Line &line, const std::string &p) {
    stats_.finishes++;
    if (!session_) return;
    const std::string digits = p.substr(2);
    const bool whole = next_block_ * uint64_t{block_} >= size_ && image_.size() == size_;
    const bool ok = is_hex_number(digits) && whole && hex_number(digits) == crc32_iso_hdlc(image_);
    completion_ = ok ? 0 : 1;
    // Back at the normal rate once the completion answer is out.
    answer(line, ok ? "FC00" : "FC01", kScreenBaud, true);
}

void ScreenFw::answer(const Line &line, const std::string &payload, uint32_t then_rate, bool ends_session) {
    if (faults_.silent) return;
    const uint64_t due = line.end_ns + (kBoardGuardUs + kTurnaroundUs + faults_.delay_us) * 1000;
    pending_.push_back(Pending{due, rate_, payload, then_rate, ends_session});
}

}  // namespace peers
