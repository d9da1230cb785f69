#include "radio_side.h"

#include <cstdio>
#include <iterator>

#include "radio_messages.h"
#include "log.h"
#include "vboard.h"

namespace sim {

namespace {

// The other cabinet's board, and the fobs' identifier words: fob n is
// f0b0000n 5eed000n c0de000n.
const peers::BoardId kPeerId = {0x9E, 0xE2, 0xB0, 0xA2, 0x00, 0x00, 0x00, 0x02};
constexpr uint32_t kFobUid[3] = {0xF0B00000, 0x5EED0000, 0xC0DE0000};
// Collisions are looked for among the packets that started this recently.
constexpr uint64_t kLossLookBackNs = 10000000000ull;

using peers::spaced_hex;

}  // namespace

std::string fob_state_name(unsigned state) {
    switch (state) {
    case 0: return "NONE";
    case 1: return "LOCKDOWN";
    case 2: return "UNLOCK";
    default: return std::to_string(state);
    }
}

RadioSide::RadioSide() : peer_(air_, kPeerId) {
    for (unsigned i = 0; i < kFobs; i++) {
        fobs_[i] = std::make_unique<peers::Fob>(air_, kFobUid[0] + i + 1, kFobUid[1] + i + 1, kFobUid[2] + i + 1);
    }
}

void RadioSide::attach() {
    vb::add_peer([this] { air_.step(); });
}

void RadioSide::press(unsigned n) {
    peers::Fob &fob = *fobs_[n - 1];
    fob.press();
    char text[96];
    snprintf(text, sizeof text, "%08x %08x %08x counter %u", fob.uid1, fob.uid2, fob.uid3, fob.counter);
    log_line(vb::now_ns(), "fob " + std::to_string(n) + "->air", "press", text);
}

void RadioSide::peer_status(uint8_t state, uint32_t age_ms) {
    peer_.send_status(state, age_ms);
    log_line(vb::now_ns(), "peer->air", "status", fob_state_name(state) + " " + peers::age_text(age_ms));
}

void RadioSide::air(const std::string &bytes) {
    sender_.send(bytes);
    log_line(vb::now_ns(), "script->air", "bytes", spaced_hex(bytes));
}

std::string RadioSide::name_of(const peers::Radio *radio) const {
    if (radio == &board_) return "the board's";
    if (radio == &peer_) return "the other cabinet's";
    if (radio == &sender_) return "the script's";
    for (unsigned i = 0; i < kFobs; i++) {
        if (radio == fobs_[i].get()) return "fob " + std::to_string(i + 1) + "'s";
    }
    return "a";
}

void RadioSide::poll() {
    // The board setting up its module (configuration mode).
    for (; commands_shown_ < board_.commands.size(); commands_shown_++) {
        const auto &c = board_.commands[commands_shown_];
        log_line(c.t_ns, "board->module", "config", spaced_hex(c.bytes) + "  answer " + spaced_hex(c.answer));
    }
    // The board's broadcasts, as the other cabinet decodes them (it hears
    // the fobs too: only status messages are shown).
    for (; heard_shown_ < peer_.heard.size(); heard_shown_++) {
        const auto &h = peer_.heard[heard_shown_];
        const auto s = peers::decode_status(h.message);
        if (!s) continue;
        std::string text = fob_state_name(s->fob) + " " + peers::age_text(s->age_ms);
        if (s->kind != peers::kStatusKind) text += " (kind " + std::to_string(s->kind) + ")";
        log_line(h.t_ns, "board->air", "status", text);
    }
    // Packets that overlapped on the channel: nobody received them.
    const auto &packets = air_.packets();
    const uint64_t now = vb::now_ns();
    auto p = packets.end();
    while (p != packets.begin() && std::prev(p)->start_ns + kLossLookBackNs >= now) --p;
    for (; p != packets.end(); ++p) {
        if (!p->delivered || !p->collided) continue;
        if (!losses_shown_.insert({p->start_ns, p->from}).second) continue;
        log_line(p->end_ns, "air", "lost", name_of(p->from) + " packet of " + std::to_string(p->bytes.size()) +
                                                 " bytes: it overlapped another one");
    }
}

}  // namespace sim
