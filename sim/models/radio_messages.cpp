#include "radio_messages.h"

#include <cstring>

extern "C" {
#include "monocypher.h"
}
#include "wireless_keys.h"

namespace peers {

namespace {

constexpr uint8_t kStatusMarker[4] = {0xFF, 0xFE, 0xFF, 0xFE};

void put_le(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void put_be(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get_le(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t get_be(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

}  // namespace

Key build_key() {
    return Key{WIRELESS_SHARED_SECRET_BYTES};
}

std::array<uint8_t, kConfigFrameSize> build_config_frame() {
    return {0xC2, 0x00, 0x08, 0xFF, 0xFF, 0x00, 0x62, 0x23, 0x0D, WIRELESS_MODULE_CRYPT_BYTES};
}

Message seal(Message message, const Key &key) {
    // A 16-byte digest proper (the length is part of BLAKE2b's parameters),
    // not the first 16 bytes of a 64-byte one.
    crypto_blake2b_general(message.data() + kBodySize, kMacSize, key.data(), key.size(), message.data(), kBodySize);
    return message;
}

bool authentic(const Message &message, const Key &key) {
    return seal(message, key) == message;
}

Message fob_message(const Key &key, uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter,
                    const Tail &tail) {
    Message m{};
    put_le(m.data(), uid1);
    put_le(m.data() + 4, uid2);
    put_le(m.data() + 8, uid3);
    put_be(m.data() + 12, counter);
    memcpy(m.data() + 16, tail.data(), tail.size());
    return seal(m, key);
}

Message status_message(const Key &key, const BoardId &sender, uint8_t fob, uint32_t age_ms, uint8_t kind) {
    Message m{};
    memcpy(m.data(), kStatusMarker, sizeof kStatusMarker);
    memcpy(m.data() + 4, sender.data(), sender.size());
    m[12] = kind;
    m[13] = fob;
    put_be(m.data() + 16, age_ms);
    return seal(m, key);
}

std::optional<StatusFields> decode_status(const Message &message) {
    if (memcmp(message.data(), kStatusMarker, sizeof kStatusMarker) != 0) return std::nullopt;
    StatusFields f{};
    memcpy(f.sender.data(), message.data() + 4, f.sender.size());
    f.kind = message[12];
    f.fob = message[13];
    f.age_ms = get_be(message.data() + 16);
    return f;
}

std::string age_text(uint32_t age_ms) {
    return age_ms == 0xFFFFFFFF ? "no fob event yet" : "age " + std::to_string(age_ms) + " ms";
}

FobFields decode_fob(const Message &message) {
    return FobFields{get_le(message.data()), get_le(message.data() + 4), get_le(message.data() + 8),
                     get_be(message.data() + 12)};
}

std::string as_string(const Message &message) {
    return std::string(reinterpret_cast<const char *>(message.data()), message.size());
}

}  // namespace peers
