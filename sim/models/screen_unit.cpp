#include "screen_unit.h"

#include <cstdio>
#include <cstdlib>

#include "vboard.h"

namespace peers {

namespace {
constexpr uint32_t kDirMask = (1u << wiring::kScreenDirPinA) | (1u << wiring::kScreenDirPinB);
constexpr size_t kPrefixLen = 3;
constexpr size_t kCheckLen = 4;
}  // namespace

uint16_t crc16_modbus(std::string_view bytes) {
    uint16_t crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<uint8_t>(c);
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::string frame_to_board(std::string_view payload) {
    char check[8];
    snprintf(check, sizeof check, "%04X", crc16_modbus(payload));
    return ">>>" + std::string(payload) + check + "\r\n";
}

Line parse_line(std::string text) {
    Line line{};
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    line.text = text;
    if (text.compare(0, kPrefixLen, "<<<") == 0 && text.size() >= kPrefixLen + kCheckLen + 1) {
        line.frame = true;
        line.payload = text.substr(kPrefixLen, text.size() - kPrefixLen - kCheckLen);
        const std::string check = text.substr(text.size() - kCheckLen);
        char buf[8];
        snprintf(buf, sizeof buf, "%04X", crc16_modbus(line.payload));
        line.check_ok = check == buf;
    }
    return line;
}

std::vector<Line> LineReader::poll() {
    std::vector<Line> done;
    const auto bytes = vb::tx_bytes(uart_, next_);
    next_ += bytes.size();
    for (const vb::TxByte &b : bytes) {
        if (pending_.text.empty()) {
            pending_.start_ns = b.start_ns;
            dir_all_high_ = true;
            baud_ = b.baud;
        }
        if (b.baud != baud_) baud_ = 0;
        dir_all_high_ = dir_all_high_ && (b.pins_start & kDirMask) == kDirMask && (b.pins_end & kDirMask) == kDirMask;
        pending_.text.push_back(static_cast<char>(b.value));
        if (b.value != '\n') continue;
        Line line = parse_line(pending_.text);
        line.start_ns = pending_.start_ns;
        line.end_ns = b.end_ns;
        line.dir_high = dir_all_high_;
        line.baud = baud_;
        done.push_back(line);
        pending_ = Line{};
    }
    return done;
}

}  // namespace peers
