// The radio messages as the fobs and the cabinets' boards make them: 48
// bytes, a 32-byte body and its 16-byte keyed BLAKE2b code. Written apart
// from the firmware's own code, for the models, the tests and the host tool.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hex.h"  // messages as hex digits and back

namespace peers {

constexpr size_t kMessageSize = 48;
constexpr size_t kBodySize = 32;
constexpr size_t kMacSize = 16;
constexpr size_t kKeySize = 32;
constexpr size_t kBoardIdSize = 8;
constexpr size_t kConfigFrameSize = 12;
constexpr uint8_t kStatusKind = 0x0A;

using Message = std::array<uint8_t, kMessageSize>;
using Key = std::array<uint8_t, kKeySize>;
using BoardId = std::array<uint8_t, kBoardIdSize>;
using Tail = std::array<uint8_t, 16>;  // bytes 16 to 31 of a fob message: the fob's own

// The keys this build was made with (the radio key file).
Key build_key();
// The LoRa module configuration frame a board of this build sends.
std::array<uint8_t, kConfigFrameSize> build_config_frame();

// The 16-byte keyed BLAKE2b of the first 32 bytes, put into bytes 32 to 47.
Message seal(Message message, const Key &key);
bool authentic(const Message &message, const Key &key);

// A fob's message: identifier words little-endian, the counter big-endian.
Message fob_message(const Key &key, uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter,
                    const Tail &tail = {});
// A board's status message.
Message status_message(const Key &key, const BoardId &sender, uint8_t fob, uint32_t age_ms,
                       uint8_t kind = kStatusKind);

struct StatusFields {
    BoardId sender;
    uint8_t kind;
    uint8_t fob;
    uint32_t age_ms;
};
// The fields of a message whose first word is the status marker.
std::optional<StatusFields> decode_status(const Message &message);
// "age 1234 ms", or what the largest age means: the sender knows no fob event yet.
std::string age_text(uint32_t age_ms);

struct FobFields {
    uint32_t uid1, uid2, uid3, counter;
};
FobFields decode_fob(const Message &message);

std::string as_string(const Message &message);

}  // namespace peers
