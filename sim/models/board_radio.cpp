#include "board_radio.h"

#include <algorithm>

#include "vboard.h"

namespace peers {

namespace {

constexpr uint8_t kCryptReg = 6;          // first of the two write-only key registers
constexpr uint32_t kConfigBaud = 9600;    // the serial rate in configuration mode, always
constexpr unsigned kModeNormal = 0;
constexpr unsigned kModeWakeOnRadio = 1;
constexpr unsigned kModeConfiguration = 2;

unsigned mode_of(uint32_t pins) {
    return ((pins >> kRadioM0Pin) & 1u) | ((pins >> kRadioM1Pin) & 1u) << 1;
}

}  // namespace

BoardRadio::BoardRadio(Air &air) : Radio(air, ModuleSettings::factory()), persistent_(ModuleSettings::factory()) {
    power_ons_ = vb::board().events_total;
    tx_next_ = vb::tx_count(kRadioUart);
    pins_next_ = vb::pin_event_count();
}

unsigned BoardRadio::mode() const {
    return static_cast<unsigned>(vb::level(kRadioM0Pin)) | static_cast<unsigned>(vb::level(kRadioM1Pin)) << 1;
}

void BoardRadio::power_off() {
    input_.clear();
}

void BoardRadio::power_cycle() {
    settings = persistent_;
    input_.clear();
    ready_at_ns_ = vb::now_ns() + kModeSwitchNs;  // its self-check after power-up
}

void BoardRadio::poll(uint64_t now_ns) {
    // The module is powered with the board: a power cycle (not a reset of
    // the processor alone) loses what the temporary command wrote.
    const vb::Board &b = vb::board();
    for (; power_ons_ < b.events_total; power_ons_++) {
        if (b.events[power_ons_ % vb::kBoardEventLogSize].cause == vb::ResetCause::PowerOn) power_cycle();
    }
    // Mode line changes and bytes from the board, in the order they happened.
    const auto pins = vb::pin_events(pins_next_);
    pins_next_ += pins.size();
    const auto bytes = vb::tx_bytes(kRadioUart, tx_next_);
    tx_next_ += bytes.size();
    size_t p = 0;
    for (const vb::TxByte &tx : bytes) {
        for (; p < pins.size() && pins[p].t_ns <= tx.start_ns; p++) {
            if (pins[p].pin != kRadioM0Pin && pins[p].pin != kRadioM1Pin) continue;
            if (!input_.empty()) end_input(pins[p].t_ns);
            ready_at_ns_ = pins[p].t_ns + kModeSwitchNs;
        }
        take_byte(tx.start_ns, tx.end_ns, tx.baud, tx.pins_start, tx.value);
    }
    for (; p < pins.size(); p++) {
        if (pins[p].pin != kRadioM0Pin && pins[p].pin != kRadioM1Pin) continue;
        if (!input_.empty()) end_input(pins[p].t_ns);
        ready_at_ns_ = pins[p].t_ns + kModeSwitchNs;
    }
    const uint32_t rate = input_is_command_ ? kConfigBaud : settings.serial_baud();
    if (!input_.empty() && now_ns >= input_last_end_ns_ + kIdleByteTimes * byte_ns(rate)) {
        end_input(input_last_end_ns_ + kIdleByteTimes * byte_ns(rate));
    }
    drive_aux(now_ns);
}

void BoardRadio::take_byte(uint64_t start_ns, uint64_t end_ns, uint32_t baud, uint32_t pins, uint8_t value) {
    const unsigned mode = mode_of(pins);
    if (start_ns < ready_at_ns_ || (mode != kModeNormal && mode != kModeWakeOnRadio && mode != kModeConfiguration)) {
        ignored_bytes++;
        return;
    }
    const bool command = mode == kModeConfiguration;
    const uint32_t rate = command ? kConfigBaud : settings.serial_baud();
    if (!input_.empty()) {
        const uint32_t was = input_is_command_ ? kConfigBaud : settings.serial_baud();
        if (command != input_is_command_ || start_ns >= input_last_end_ns_ + kIdleByteTimes * byte_ns(was)) {
            end_input(input_last_end_ns_ + kIdleByteTimes * byte_ns(was));
        }
    }
    if (!wiring::rates_match(baud, rate)) {
        value = static_cast<uint8_t>(~value ^ 0x5A);
        garbled_bytes++;
    }
    input_.push_back(static_cast<char>(value));
    input_is_command_ = command;
    input_last_end_ns_ = end_ns;
    if (!command && input_.size() == kMaxPacketBytes) end_input(end_ns);
}

void BoardRadio::end_input(uint64_t t_ns) {
    if (input_is_command_) {
        run_command(t_ns);
    } else {
        transmit(t_ns, input_);
    }
    input_.clear();
}

void BoardRadio::run_command(uint64_t t_ns) {
    Command c{t_ns, input_, {}};
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(input_[i]); };
    bool ok = input_.size() >= 3 && (byte(0) == kCmdWrite || byte(0) == kCmdWriteTemp || byte(0) == kCmdRead);
    size_t at = 0, n = 0;
    if (ok) {
        at = byte(1);
        n = byte(2);
        ok = at + n <= kRegCount;
    }
    if (ok && byte(0) != kCmdRead) {
        ok = input_.size() >= 3 + n;
        if (ok) {
            for (size_t i = 0; i < n; i++) settings.reg[at + i] = byte(3 + i);
            if (byte(0) == kCmdWrite) persistent_ = settings;
            ignored_bytes += input_.size() - (3 + n);  // anything after the registers
        }
    } else if (ok) {
        ignored_bytes += input_.size() - 3;
    }
    if (ok) {
        c.answer = {static_cast<char>(kCmdRead), static_cast<char>(at), static_cast<char>(n)};
        for (size_t i = 0; i < n; i++) c.answer.push_back(at + i >= kCryptReg ? '\0' : static_cast<char>(settings.reg[at + i]));
    } else {
        c.answer = "\xFF\xFF\xFF";
    }
    vb::send_to_board(kRadioUart, c.answer, kConfigBaud);
    commands.push_back(c);
}

void BoardRadio::receive(uint64_t, const std::string &bytes) {
    const unsigned m = mode();
    if (m != kModeNormal && m != kModeWakeOnRadio) return;
    vb::send_to_board(kRadioUart, bytes, settings.serial_baud());
}

void BoardRadio::drive_aux(uint64_t now_ns) {
    const bool busy = now_ns < ready_at_ns_ || !input_.empty() || vb::board().uart[kRadioUart].wire_free_ns > now_ns;
    const int level = busy ? 0 : 1;
    if (level == aux_) return;
    aux_ = level;
    vb::drive_pin(kRadioAuxPin, level != 0);
}

}  // namespace peers
