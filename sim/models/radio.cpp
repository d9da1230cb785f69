#include "radio.h"

#include <algorithm>

#include "vboard.h"

namespace peers {

namespace {

constexpr uint8_t kCmdWrite = 0xC0;       // write registers, kept over power loss
constexpr uint8_t kCmdRead = 0xC1;        // read registers; also the answer's first byte
constexpr uint8_t kCmdWriteTemp = 0xC2;   // write registers until power loss
constexpr uint8_t kCryptReg = 6;          // first of the two write-only key registers
constexpr size_t kRegCount = 8;
constexpr size_t kIdleByteTimes = 3;      // serial idle time that ends a packet or command
constexpr uint32_t kConfigBaud = 9600;    // the serial rate in configuration mode, always
constexpr unsigned kModeNormal = 0;
constexpr unsigned kModeWakeOnRadio = 1;
constexpr unsigned kModeConfiguration = 2;

constexpr uint32_t kSerialRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr uint32_t kAirRates[] = {2400, 2400, 2400, 4800, 9600, 19200, 38400, 62500};

uint64_t byte_ns(uint32_t baud) {
    return 10ull * 1000000000ull / baud;
}

// What a module with key `to` makes of a packet sent with key `from`.
std::string scrambled(const std::string &bytes, uint16_t from, uint16_t to) {
    if (from == to) return bytes;
    std::string out = bytes;
    uint32_t state = 0x9E3779B9u ^ from ^ (uint32_t{to} << 16);
    for (char &c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(static_cast<uint8_t>(c) ^ static_cast<uint8_t>(state >> 24));
    }
    return out;
}

unsigned mode_of(uint32_t pins) {
    return ((pins >> kRadioM0Pin) & 1u) | ((pins >> kRadioM1Pin) & 1u) << 1;
}

}  // namespace

// ---- module settings ------------------------------------------------------------------------

ModuleSettings ModuleSettings::factory() {
    return ModuleSettings{{0x00, 0x00, 0x00, 0x62, 0x12, 0x03, 0x00, 0x00}};
}

ModuleSettings ModuleSettings::from_frame(const std::array<uint8_t, kConfigFrameSize> &frame) {
    ModuleSettings s = factory();
    const size_t at = frame[1], n = frame[2];
    if ((frame[0] == kCmdWrite || frame[0] == kCmdWriteTemp) && at + n <= kRegCount && 3 + n <= frame.size()) {
        std::copy_n(frame.begin() + 3, n, s.reg.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return s;
}

ModuleSettings ModuleSettings::network() {
    return from_frame(build_config_frame());
}

uint32_t ModuleSettings::serial_baud() const {
    return kSerialRates[reg[3] >> 5];
}

uint32_t ModuleSettings::air_bps() const {
    return kAirRates[reg[3] & 7u];
}

bool ModuleSettings::hears(const ModuleSettings &sender) const {
    const bool addressed = sender.address() == 0xFFFF || address() == 0xFFFF || sender.address() == address();
    return sender.channel() == channel() && sender.network_id() == network_id() && sender.air_bps() == air_bps() &&
           addressed;
}

// ---- the air ------------------------------------------------------------------------------------

Radio::Radio(Air &air, ModuleSettings s) : settings(s), air_(air) {
    air_.attach(this);
}

Radio::~Radio() {
    air_.detach(this);
}

void Radio::transmit(uint64_t start_ns, const std::string &bytes) {
    air_.send(this, start_ns, bytes);
}

uint64_t Radio::start_after_serial(uint64_t now_ns, size_t n) const {
    const uint64_t b = byte_ns(settings.serial_baud());
    return now_ns + n * b + kIdleByteTimes * b;
}

LoraParams lora_params(uint32_t air_bps) {
    // Wider bands for the faster rates; the payload rate SF * BW / 2^SF * 4/5
    // comes close to the rate named.
    switch (air_bps) {
    case 4800: return {9, 250000, 1, 8};
    case 9600: return {8, 250000, 1, 8};
    case 19200: return {7, 500000, 1, 8};
    case 38400: return {6, 500000, 1, 8};
    case 62500: return {5, 500000, 1, 8};
    default: return {9, 125000, 1, 8};  // 2400
    }
}

uint64_t lora_time_on_air_ns(size_t n, const LoraParams &p) {
    constexpr int kCrc = 1, kImplicitHeader = 0;
    const uint64_t symbol_ns = (uint64_t{1} << p.sf) * 1000000000ull / p.bw_hz;
    const int low_rate = symbol_ns > 16000000 ? 1 : 0;
    const int bits = 8 * static_cast<int>(n) - 4 * static_cast<int>(p.sf) + 28 + 16 * kCrc - 20 * kImplicitHeader;
    const int per_block = 4 * (static_cast<int>(p.sf) - 2 * low_rate);
    const int blocks = bits > 0 ? (bits + per_block - 1) / per_block : 0;
    const uint64_t payload_symbols = 8 + static_cast<uint64_t>(blocks) * (p.cr + 4);
    // The preamble's 4.25 symbols of sync word, in quarters.
    return (4 * (p.preamble_symbols + payload_symbols) + 17) * symbol_ns / 4;
}

uint64_t Air::air_time_ns(size_t n, uint32_t bps) {
    return lora_time_on_air_ns(n, lora_params(bps));
}

void Air::attach(Radio *radio) {
    radios_.push_back(radio);
}

void Air::detach(Radio *radio) {
    radios_.erase(std::remove(radios_.begin(), radios_.end(), radio), radios_.end());
}

void Air::send(Radio *from, uint64_t start_ns, const std::string &bytes) {
    if (!from->powered) return;
    uint64_t t = start_ns;
    for (size_t at = 0; at < bytes.size(); at += kMaxPacketBytes) {
        const std::string part = bytes.substr(at, kMaxPacketBytes);
        const uint64_t air = air_time_ns(part.size(), from->settings.air_bps());
        longest_ns_ = std::max(longest_ns_, air);
        Packet p{t, t + air, part, from, from->settings, false, false};
        const auto pos = std::upper_bound(packets_.begin(), packets_.end(), t,
                                          [](uint64_t s, const Packet &q) { return s < q.start_ns; });
        const auto index = static_cast<size_t>(pos - packets_.begin());
        first_pending_ = std::min(first_pending_, index);
        packets_.insert(pos, p);
        t += air;
    }
}

uint64_t Air::next_delivery_ns() const {
    uint64_t next = UINT64_MAX;
    for (size_t i = first_pending_; i < packets_.size(); i++) {
        if (!packets_[i].delivered) next = std::min(next, packets_[i].end_ns);
    }
    return next;
}

namespace {

// A draw in [0, 1) that depends only on the seed, the packet and the module.
double draw(uint64_t seed, uint64_t packet_start, const void *to) {
    uint64_t x = seed ^ packet_start * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(to);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return static_cast<double>(x >> 11) / 9007199254740992.0;
}

}  // namespace

Outcome Air::outcome_at(size_t index, const Radio *to) const {
    const Packet &p = packets_[index];
    if (!to->powered) return Outcome::Off;
    if (!collisions) return Outcome::Heard;
    // Packets that overlap p: those that started before it ended and end after it starts.
    size_t first = index;
    while (first > 0 && packets_[first - 1].start_ns + longest_ns_ > p.start_ns) first--;
    for (size_t i = first; i < packets_.size() && packets_[i].start_ns < p.end_ns; i++) {
        const Packet &q = packets_[i];
        if (i == index || q.end_ns <= p.start_ns || q.settings.channel() != p.settings.channel()) continue;
        if (q.from == to) return Outcome::Deaf;
    }
    for (size_t i = first; i < packets_.size() && packets_[i].start_ns < p.end_ns; i++) {
        const Packet &q = packets_[i];
        if (i == index || q.end_ns <= p.start_ns || q.settings.channel() != p.settings.channel()) continue;
        if (loss(q.from, to) < 1.0) return Outcome::Collided;
    }
    return Outcome::Heard;
}

void Air::deliver(size_t index) {
    packets_[index].delivered = true;
    const Packet p = packets_[index];
    for (size_t r = 0; r < radios_.size(); r++) {
        Radio *radio = radios_[r];
        if (radio == p.from || !radio->settings.hears(p.settings)) continue;
        const double l = loss(p.from, radio);
        if (l >= 1.0) continue;  // out of reach
        Outcome o = outcome_at(index, radio);
        if (o == Outcome::Heard && l > 0.0 && draw(seed, p.start_ns, radio) < l) o = Outcome::Lost;
        if (o == Outcome::Collided) packets_[index].collided = true;
        deliveries_.push_back(Delivery{index, radio, o});
        if (o == Outcome::Heard) {
            radio->receive(p.end_ns, scrambled(p.bytes, p.settings.crypt(), radio->settings.crypt()));
        }
    }
}

void Air::advance(uint64_t now) {
    // Delivered packets stay for the record but are not scanned again.
    while (first_pending_ < packets_.size() && packets_[first_pending_].delivered) first_pending_++;
    for (size_t i = first_pending_; i < packets_.size(); i++) {
        if (!packets_[i].delivered && packets_[i].end_ns <= now) deliver(i);
    }
}

void Air::step() {
    const uint64_t now = vb::now_ns();
    // A radio's poll may add packets (and reallocate the list); index, not iterate.
    for (size_t i = 0; i < radios_.size(); i++) radios_[i]->poll(now);
    advance(now);
}

// ---- the board's module ----------------------------------------------------------------------

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

// ---- fobs and other boards -------------------------------------------------------------------

Fob::Fob(Air &air, uint32_t u1, uint32_t u2, uint32_t u3, uint32_t c, Key k, ModuleSettings s)
    : Radio(air, s), uid1(u1), uid2(u2), uid3(u3), counter(c), key(k) {}

Message Fob::message(uint32_t c) const {
    return fob_message(key, uid1, uid2, uid3, c, tail);
}

Message Fob::press() {
    return press_at(vb::now_ns());
}

Message Fob::press_at(uint64_t now_ns) {
    counter++;
    const Message m = message(counter);
    transmit(start_after_serial(now_ns, m.size()), as_string(m));
    return m;
}

void Fob::send(const std::string &bytes) {
    transmit(start_after_serial(vb::now_ns(), bytes.size()), bytes);
}

PeerBoard::PeerBoard(Air &air, BoardId i, Key k, ModuleSettings s) : Radio(air, s), id(i), key(k) {}

Message PeerBoard::send_status(uint8_t fob, uint32_t age_ms, uint8_t kind) {
    const Message m = status_message(key, id, fob, age_ms, kind);
    transmit(start_after_serial(vb::now_ns(), m.size()), as_string(m));
    return m;
}

void PeerBoard::receive(uint64_t t_ns, const std::string &bytes) {
    for (const char c : bytes) {
        window_.push_back(c);
        if (window_.size() > kMessageSize) window_.erase(0, 1);
        if (window_.size() < kMessageSize) continue;
        Message m;
        std::copy(window_.begin(), window_.end(), m.begin());
        if (authentic(m, key)) {
            heard.push_back({t_ns, m});
            window_.clear();
        }
    }
}

}  // namespace peers
