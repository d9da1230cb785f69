// The radio side of the virtual board: the board's LoRa module on a shared
// air, three key fobs and the board of another cabinet, with the traffic shown
// as it happens (the board's module configuration, its status broadcasts as
// the other cabinet decodes them, presses, and packets lost to collisions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "radio.h"

namespace sim {

constexpr unsigned kFobs = 3;

class RadioSide {
public:
    // Make it before the board is powered on: the module powers up with it.
    RadioSide();
    // Registers the air with the board's peers (after any vb::clear_peers()).
    void attach();
    // A press of fob `n` (1 to kFobs).
    void press(unsigned n);
    // A status broadcast from the other cabinet's board.
    void peer_status(uint8_t state, uint32_t age_ms);
    // Raw bytes on the air, as a module set up like the cabinets' sends them.
    void air(const std::string &bytes);
    // Fob n's counter (1 to kFobs): the last one it sent.
    uint32_t fob_counter(unsigned n) const { return fobs_[n - 1]->counter; }
    void set_fob_counter(unsigned n, uint32_t counter) { fobs_[n - 1]->counter = counter; }
    // Shows what happened on the air since the last call.
    void poll();

private:
    std::string name_of(const peers::Radio *radio) const;

    peers::Air air_;
    peers::BoardRadio board_{air_};
    peers::PeerBoard peer_;
    std::unique_ptr<peers::Fob> fobs_[kFobs];
    peers::Fob sender_{air_, 0, 0, 0};  // for air()
    size_t commands_shown_ = 0;
    size_t heard_shown_ = 0;
    std::set<std::pair<uint64_t, const peers::Radio *>> losses_shown_;
};

// "NONE", "LOCKDOWN", "UNLOCK", or the number.
std::string fob_state_name(unsigned state);

}  // namespace sim
