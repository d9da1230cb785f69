// The cabinet's outputs as the virtual board's view shows them: the maglock
// (GPIO 24), the two strips (what their latched frames show) and the sound
// (the amplifier enable on GPIO 3 and the samples on the I2S lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sim {

class Outputs {
public:
    // `payload` gives the status payload the screen unit sent last; it names
    // the clip that is playing.
    explicit Outputs(std::function<std::string()> payload);
    // Shows what changed since the last call (call it after every slice of board time).
    void poll();

private:
    void take_pin_events();
    void take_strip_frames();

    std::function<std::string()> payload_;
    size_t pins_next_ = 0;
    uint64_t i2s_seen_ = 0;
    // sound
    uint64_t amp_on_ns_ = 0;
    uint64_t amp_on_samples_ = 0;
    bool amp_on_ = false;
    // strips
    uint64_t frames_seen_[2] = {0, 0};
    uint64_t uneven_since_ns_ = 0;  // the two strips' frame counts have differed since then
    bool uneven_ = false;
    std::string strip_mode_;  // what was shown last, or the kind of animation
    uint64_t strip_shown_ns_ = 0;
    uint64_t strip_shown_frames_ = 0;
};

}  // namespace sim
