// Another cabinet's board on the air (air.h), as its radio messages show it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "air.h"
#include "radio_messages.h"

namespace peers {

// The board of another cabinet: sends status messages, and keeps every
// authentic message it hears (windowed like a board's receiver).
class PeerBoard : public Radio {
public:
    PeerBoard(Air &air, BoardId id, Key key = build_key(), ModuleSettings settings = ModuleSettings::network());

    Message send_status(uint8_t fob, uint32_t age_ms, uint8_t kind = kStatusKind);

    struct Heard {
        uint64_t t_ns;  // when the packet arrived
        Message message;
    };
    std::vector<Heard> heard;

    BoardId id;
    Key key;

protected:
    void receive(uint64_t t_ns, const std::string &bytes) override;

private:
    std::string window_;
};

}  // namespace peers
