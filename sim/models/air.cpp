#include "air.h"

#include <algorithm>

#include "vboard.h"

namespace peers {

namespace {

constexpr uint32_t kSerialRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr uint32_t kAirRates[] = {2400, 2400, 2400, 4800, 9600, 19200, 38400, 62500};

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

}  // namespace

uint64_t byte_ns(uint32_t baud) {
    return 10ull * 1000000000ull / baud;
}

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

}  // namespace peers
