#include "peer_board.h"

#include <algorithm>

#include "vboard.h"

namespace peers {

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
