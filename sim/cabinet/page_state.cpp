#include "page_state.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "vboard.h"
#include "vboard_sound.h"
#include "web_server.h"
#include "wiring.h"

namespace sim {

namespace {

using wiring::kAmpPin;
using wiring::kDoorPin;
using wiring::kMaglockPin;
using wiring::kStripPins;
constexpr size_t kAudioBatch = 800;  // samples handed on together (50 ms), or the last of a clip

size_t i2s_seen = 0;
std::vector<int16_t> samples_held;

// The strip's pixels as RRGGBB hex, from the pixel words (green, red, blue from the top).
std::string strip_hex(unsigned pin) {
    std::string out;
    for (const uint32_t w : vb::strip_pixels(pin)) {
        char rgb[8];
        snprintf(rgb, sizeof rgb, "%02x%02x%02x", (w >> 16) & 0xff, w >> 24, (w >> 8) & 0xff);
        out += rgb;
    }
    return out;
}

std::string state_json(const std::string &payload, const std::string &report, const std::string &board) {
    std::ostringstream j;
    j << "{\"strips\":[" << web_json_string(strip_hex(kStripPins[0])) << ',' << web_json_string(strip_hex(kStripPins[1]))
      << "],\"maglock\":" << (vb::level(kMaglockPin) ? "\"locked\"" : "\"released\"")
      << ",\"door\":" << (vb::level(kDoorPin) ? "\"open\"" : "\"closed\"")
      << ",\"amplifier\":" << (vb::level(kAmpPin) ? "true" : "false") << ",\"payload\":" << web_json_string(payload)
      << ",\"report\":" << web_json_string(report) << ",\"board\":" << web_json_string(board) << '}';
    return j.str();
}

// The samples on I2S since the last call (the two channels carry the same),
// handed on in batches so that a page gets a few events a second, not one a slice.
void take_samples() {
    const size_t total = vb::i2s_frame_count();
    try {
        for (const vb::StereoFrame &f : vb::i2s_frames(total - std::min(total - i2s_seen, kWebSoundKept), kWebSoundKept)) {
            samples_held.push_back(f.left);
        }
    } catch (const std::runtime_error &) {
    }
    const bool clip_over = !vb::level(kAmpPin);
    i2s_seen = total;
    if (samples_held.empty() || (samples_held.size() < kAudioBatch && !clip_over)) return;
    web_sound(samples_held);
    samples_held.clear();
}

}  // namespace

void page_start() {
    i2s_seen = vb::i2s_frame_count();
}

void page_step(const std::string &payload, const std::string &report, const std::string &board) {
    if (!web_running()) return;
    take_samples();
    web_state([&] { return state_json(payload, report, board); });
}

}  // namespace sim
