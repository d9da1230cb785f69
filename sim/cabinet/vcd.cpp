#include "vcd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "screen_unit.h"
#include "vboard.h"
#include "vboard_sound.h"
#include "wiring.h"

namespace sim {

namespace {

struct Signal {
    const char *name;
    int pin;  // or -1
    bool idle;  // the level before anything happens
};

// The order of the file's variables.
enum Sig : uint8_t {
    kI2sSd, kI2sSck, kI2sWs, kAmp, kScreenTx, kScreenRx, kDirA, kDirB, kRadioTx, kRadioRx,
    kRadioM1, kRadioM0, kRadioAux, kMaglock, kDoor, kStrip1, kStrip2, kSignals
};
using namespace wiring;
constexpr Signal kSignal[kSignals] = {
    {"i2s_sd", kI2sDataPin, false},      {"i2s_sck", kI2sClockPin, false},       {"i2s_ws", kI2sWordPin, false},
    {"amp_enable", kAmpPin, false},      {"screen_tx", kScreenTxPin, true},      {"screen_rx", kScreenRxPin, true},
    {"dir_a", kScreenDirPinA, false},    {"dir_b", kScreenDirPinB, false},       {"radio_tx", kRadioTxPin, true},
    {"radio_rx", kRadioRxPin, true},     {"radio_m1", kRadioM1Pin, false},       {"radio_m0", kRadioM0Pin, false},
    {"radio_aux", kRadioAuxPin, false},  {"maglock", kMaglockPin, false},        {"door", kDoorPin, false},
    {"strip1", kStripPins[0], false},    {"strip2", kStripPins[1], false},
};
// Pins whose changes the board logs as they happen (the rest are drawn from
// the bytes, frames and samples that crossed them).
constexpr Sig kLoggedPins[] = {kAmp, kDirA, kDirB, kRadioM1, kRadioM0, kRadioAux, kMaglock, kDoor};
constexpr unsigned kUarts = 2;
constexpr Sig kUartTx[kUarts] = {kRadioTx, kScreenTx};
constexpr Sig kUartRx[kUarts] = {kRadioRx, kScreenRx};
constexpr Sig kStrip[2] = {kStrip1, kStrip2};
// WS2815 bits as the board's PIO program shapes them: 10 cycles, high for 7
// (a one) or 2 (a zero) from the rising edge.
constexpr unsigned kStripOneHighTenths = 7, kStripZeroHighTenths = 2;
constexpr uint64_t kI2sFrameNs = 62500;  // 16 kHz, 32 bit clocks a frame
constexpr unsigned kI2sBits = 32;
// Edges are written in time order once this much board time has passed them:
// some are known only after the fact (a strip frame once it has latched).
constexpr uint64_t kHoldNs = 50000000;
constexpr uint64_t kWriteEveryNs = 10000000;

struct Edge {
    uint64_t t_ns;
    uint8_t sig;
    bool level;
};

FILE *out = nullptr;
int write_error = 0;  // the first failed write's errno; nothing more is written after it
std::vector<Edge> pending;
bool level[kSignals];
uint64_t written_ns = 0, last_write_ns = 0;
bool time_written = false;
size_t pins_next = 0, tx_next[kUarts] = {}, strip_next[2] = {}, i2s_next = 0;
uint64_t wire_next[kUarts] = {};
uint64_t last_i2s_ns = 0;
bool last_right_lsb = false;

void edge(uint64_t t, uint8_t sig, bool lv) {
    pending.push_back({t, sig, lv});
}

void serial_byte(uint8_t sig, uint64_t start_ns, uint64_t bit_ns, uint8_t value) {
    edge(start_ns, sig, false);
    for (unsigned i = 0; i < 8; i++) edge(start_ns + (i + 1) * bit_ns, sig, (value >> i) & 1);
    edge(start_ns + 9 * bit_ns, sig, true);
}

void take_uarts() {
    for (unsigned u = 0; u < kUarts; u++) {
        const size_t total = vb::tx_count(u);
        if (total - tx_next[u] > vb::kUartTxLogSize) tx_next[u] = total - vb::kUartTxLogSize;
        for (const vb::TxByte &b : vb::tx_bytes(u, tx_next[u])) {
            serial_byte(kUartTx[u], b.start_ns, (b.end_ns - b.start_ns) / 10, b.value);
        }
        tx_next[u] = total;
        // What peers put on the board's receive wire (kept until overwritten).
        const vb::Uart &uart = vb::board().uart[u];
        if (uart.wire_tail - wire_next[u] > vb::kUartWireSize) wire_next[u] = uart.wire_tail - vb::kUartWireSize;
        for (; wire_next[u] < uart.wire_tail; wire_next[u]++) {
            const vb::WireByte &w = uart.wire[wire_next[u] % vb::kUartWireSize];
            const uint64_t bit_ns = 1000000000ull / w.baud;
            serial_byte(kUartRx[u], w.arrive_ns - 10 * bit_ns, bit_ns, w.value);
        }
    }
}

void take_pins() {
    const std::vector<vb::PinEvent> events =
        vb::take_since(pins_next, vb::pin_event_count(), [](size_t from) { return vb::pin_events(from); });
    for (const vb::PinEvent &e : events) {
        for (const Sig s : kLoggedPins) {
            if (kSignal[s].pin == e.pin) edge(e.t_ns, s, e.level);
        }
    }
}

void take_strips() {
    for (unsigned s = 0; s < 2; s++) {
        const size_t total = vb::strip_frame_count(kStripPins[s]);
        if (total < strip_next[s]) strip_next[s] = 0;
        for (const vb::StripPicture &f : vb::strip_frames(kStripPins[s], strip_next[s])) {
            const uint64_t bits = uint64_t{f.words} * 24;
            if (bits == 0) continue;
            const uint64_t bit_ns = (f.end_ns - f.start_ns) / bits;
            uint64_t t = f.start_ns;
            for (const uint32_t word : f.pixels) {
                for (int b = 31; b >= 8; b--, t += bit_ns) {
                    edge(t, kStrip[s], true);
                    edge(t + bit_ns * ((word >> b) & 1 ? kStripOneHighTenths : kStripZeroHighTenths) / 10, kStrip[s],
                         false);
                }
            }
        }
        strip_next[s] = total;
    }
}

// I2S as the amplifier takes it: the word clock low for the left sample,
// high for the right, each sample's most significant bit one bit clock after
// the word clock changes; data changes on the falling edge of the bit clock.
void take_i2s() {
    const std::vector<vb::StereoFrame> frames =
        vb::take_since(i2s_next, vb::i2s_frame_count(), [](size_t from) { return vb::i2s_frames(from); });
    for (const vb::StereoFrame &f : frames) {
        const uint64_t since = f.t_ns - last_i2s_ns;
        const uint64_t frame_ns = since > kI2sFrameNs * 9 / 10 && since < kI2sFrameNs ? since : kI2sFrameNs;
        last_i2s_ns = f.t_ns;
        const uint32_t word = uint32_t{static_cast<uint16_t>(f.left)} << 16 | static_cast<uint16_t>(f.right);
        for (unsigned i = 0; i < kI2sBits; i++) {
            const uint64_t t = f.t_ns + i * frame_ns / kI2sBits;
            const bool bit = i == 0 ? last_right_lsb : (word >> (kI2sBits - i)) & 1;
            edge(t, kI2sSck, false);
            edge(t, kI2sSd, bit);
            edge(t, kI2sWs, i >= kI2sBits / 2);
            edge(t + frame_ns / kI2sBits / 2, kI2sSck, true);
        }
        last_right_lsb = f.right & 1;
    }
}

char id(unsigned sig) {
    return static_cast<char>('!' + sig);
}

void write_until(uint64_t t_ns) {
    std::stable_sort(pending.begin(), pending.end(), [](const Edge &a, const Edge &b) { return a.t_ns < b.t_ns; });
    size_t n = 0;
    for (; n < pending.size() && pending[n].t_ns <= t_ns; n++) {
        const Edge &e = pending[n];
        if (level[e.sig] == e.level) continue;
        level[e.sig] = e.level;
        // Known too late to be in order (it should not be): shown when it was learnt.
        const uint64_t t = std::max(e.t_ns, written_ns);
        if (t != written_ns || !time_written) fprintf(out, "#%llu\n", static_cast<unsigned long long>(t));
        written_ns = t;
        time_written = true;
        fprintf(out, "%d%c\n", e.level ? 1 : 0, id(e.sig));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
}

}  // namespace

bool vcd_open(const std::string &path) {
    out = fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    fprintf(out, "$version orlix-sim $end\n$timescale 1ns $end\n$scope module board $end\n");
    for (unsigned s = 0; s < kSignals; s++) fprintf(out, "$var wire 1 %c %s $end\n", id(s), kSignal[s].name);
    fprintf(out, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    for (unsigned s = 0; s < kSignals; s++) {
        level[s] = kSignal[s].idle;
        fprintf(out, "%d%c\n", level[s] ? 1 : 0, id(s));
    }
    fprintf(out, "$end\n");
    time_written = true;
    pins_next = vb::pin_event_count();
    for (unsigned u = 0; u < kUarts; u++) {
        tx_next[u] = vb::tx_count(u);
        wire_next[u] = vb::board().uart[u].wire_tail;
    }
    for (unsigned s = 0; s < 2; s++) strip_next[s] = vb::strip_frame_count(kStripPins[s]);
    i2s_next = vb::i2s_frame_count();
    return true;
}

void vcd_step() {
    if (out == nullptr) return;
    take_pins();
    take_uarts();
    take_strips();
    take_i2s();
    const uint64_t now = vb::now_ns();
    if (now < last_write_ns + kWriteEveryNs || now < kHoldNs) return;
    last_write_ns = now;
    write_until(now - kHoldNs);
    if (ferror(out)) {
        // A full disk: the trace is cut, and the run says so when it ends.
        write_error = errno != 0 ? errno : EIO;
        fclose(out);
        out = nullptr;
        pending.clear();
    }
}

std::string vcd_close() {
    if (out != nullptr) vcd_step();  // which closes it on a failed write
    if (out != nullptr) {
        write_until(UINT64_MAX);
        const bool failed = ferror(out) != 0;
        if (fclose(out) != 0 && write_error == 0) write_error = errno;
        if (failed && write_error == 0) write_error = EIO;
        out = nullptr;
    }
    return write_error == 0 ? "" : strerror(write_error);
}

}  // namespace sim
