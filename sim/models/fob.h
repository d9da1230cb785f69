// A key fob on the air (air.h).
#pragma once

#include <cstdint>
#include <string>

#include "air.h"
#include "radio_messages.h"

namespace peers {

// A key fob: its module is set up like the cabinets' ones; a press sends the
// next counter's message.
class Fob : public Radio {
public:
    Fob(Air &air, uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter = 0, Key key = build_key(),
        ModuleSettings settings = ModuleSettings::network());

    // Counts up and sends; returns the message. The second form for a
    // caller with a clock of its own.
    Message press();
    Message press_at(uint64_t now_ns);
    Message message(uint32_t counter) const;
    // Sends bytes as they are (a replay, a damaged message, noise).
    void send(const std::string &bytes);
    void send(const Message &message) { send(as_string(message)); }

    uint32_t uid1, uid2, uid3, counter;
    Key key;
    Tail tail{};
};

}  // namespace peers
