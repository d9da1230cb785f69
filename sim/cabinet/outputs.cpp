#include "outputs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

#include "log.h"
#include "vboard.h"
#include "vboard_sound.h"
#include "wiring.h"

namespace sim {

namespace {

using wiring::kAmpPin;
using wiring::kMaglockPin;
using wiring::kStripPins;
constexpr uint32_t kBlue = vb::pixel(0, 0, 255);
constexpr uint32_t kWarmWhite = vb::pixel(255, 255, 128);
constexpr uint64_t kSampleRate = 16000;
// The two strips are fed word by word together and latch within a pixel of
// each other; a frame pair is judged once both are in, or after this long.
constexpr uint64_t kUnevenWaitNs = 20000000;
constexpr uint64_t kSummaryEveryNs = 1000000000;

const char *const kClipNames[] = {"cabinet is unlocked", "holding message", "lockdown", "please close"};

void show(uint64_t t_ns, const std::string &text) {
    log_line(t_ns, "board", "output", text);
}

unsigned red(uint32_t word) {
    return (word >> 16) & 0xff;
}

bool red_only(uint32_t word) {
    return (word & 0xFF00FF00u) == 0;
}

std::string colour_name(uint32_t word) {
    if (word == 0) return "off";
    if (word == kBlue) return "blue";
    if (word == kWarmWhite) return "warm white";
    char text[48];
    snprintf(text, sizeof text, "red %u green %u blue %u", red(word), word >> 24, (word >> 8) & 0xff);
    return text;
}

bool uniform(const std::vector<uint32_t> &pixels) {
    return std::all_of(pixels.begin(), pixels.end(), [&](uint32_t p) { return p == pixels.front(); });
}

// The head of a comet: red pixels only, exactly one of them at full intensity.
int comet_head(const std::vector<uint32_t> &pixels) {
    int head = -1;
    for (size_t i = 0; i < pixels.size(); i++) {
        if (!red_only(pixels[i])) return -1;
        if (red(pixels[i]) == 255) {
            if (head >= 0) return -1;
            head = static_cast<int>(i);
        }
    }
    return head;
}

struct StripView {
    std::string mode;  // the same mode: the same thing shown, or the same animation going on
    std::string text;
    bool animated;
};

StripView view_of(const std::vector<uint32_t> shown[2], const vb::StripPicture frame[2]) {
    if (uniform(shown[0]) && uniform(shown[1])) {
        const uint32_t one = shown[0].front(), two = shown[1].front();
        if (one != two) {
            const std::string text = "strip 1 " + colour_name(one) + ", strip 2 " + colour_name(two);
            return {text, text, false};
        }
        if (one != 0 && red_only(one)) {
            return {"flash", "red flash " + std::to_string(red(one)) + "/255", true};
        }
        return {colour_name(one), colour_name(one), false};
    }
    const std::vector<uint32_t> &px = frame[0].pixels;
    const int head = comet_head(px);
    if (head >= 0 && frame[0].words == px.size()) {
        const size_t h = static_cast<size_t>(head);
        const unsigned before = h > 0 ? red(px[h - 1]) : 0;
        const unsigned after = h + 1 < px.size() ? red(px[h + 1]) : 0;
        std::string relation;
        if (frame[1].pixels == px) {
            relation = "the same on both strips";
        } else if (std::equal(px.rbegin(), px.rend(), frame[1].pixels.begin(), frame[1].pixels.end())) {
            relation = "mirrored on strip 2";
        } else {
            relation = "strip 2 showing something else";
        }
        return {"comet " + relation,
                "red comet, head at " + std::to_string(head) + (before > after ? " moving up, " : " moving down, ") +
                    relation,
                true};
    }
    return {"pattern", "several colours (strip 1 pixel 0 " + colour_name(shown[0].front()) + ")", true};
}

}  // namespace

Outputs::Outputs(std::function<std::string()> payload)
    : payload_(std::move(payload)), pins_next_(vb::pin_event_count()), i2s_seen_(vb::i2s_frame_count()) {
    for (unsigned s = 0; s < 2; s++) frames_seen_[s] = vb::strip_frame_count(kStripPins[s]);
}

void Outputs::poll() {
    take_pin_events();
    take_strip_frames();
    i2s_seen_ = vb::i2s_frame_count();
}

void Outputs::take_pin_events() {
    const size_t total = vb::pin_event_count();
    if (total < pins_next_) pins_next_ = 0;
    std::vector<vb::PinEvent> events;
    try {
        events = vb::pin_events(pins_next_);
    } catch (const std::runtime_error &) {
        events.clear();  // fell too far behind: the changes in between are gone
    }
    pins_next_ = total;
    for (const vb::PinEvent &e : events) {
        if (e.pin == kMaglockPin) {
            show(e.t_ns, e.level ? "maglock: locked" : "maglock: released");
        } else if (e.pin == kAmpPin && e.level && !amp_on_) {
            amp_on_ = true;
            amp_on_ns_ = e.t_ns;
            amp_on_samples_ = i2s_seen_;  // no sample goes out while the amplifier is off
            // The clip as the payload last sent names it (a loop picks the
            // clip anew at every pass, from the payload of that moment).
            const std::string p = payload_();
            std::string what = "amplifier: on";
            if (p.size() == 16 && p[6] == 'P' && (p[7] == 'O' || p[7] == 'L') && p[8] >= '1' && p[8] <= '4') {
                const int clip = p[8] - '0';
                what += ", clip " + std::to_string(clip) + " (" + kClipNames[clip - 1] + ")" +
                        (p[7] == 'O' ? " once" : " in a loop") + ", volume " + std::to_string(atoi(p.c_str() + 10));
            } else {
                what += " (the last payload names no clip)";
            }
            show(e.t_ns, what);
        } else if (e.pin == kAmpPin && !e.level && amp_on_) {
            amp_on_ = false;
            const uint64_t samples = vb::i2s_frame_count() - amp_on_samples_;
            char what[128];
            snprintf(what, sizeof what, "amplifier: off after %.3f s, %llu samples on I2S (%.3f s at 16 kHz)",
                     static_cast<double>(e.t_ns - amp_on_ns_) / 1e9, static_cast<unsigned long long>(samples),
                     static_cast<double>(samples) / kSampleRate);
            show(e.t_ns, what);
        }
    }
}

void Outputs::take_strip_frames() {
    uint64_t count[2];
    for (unsigned s = 0; s < 2; s++) {
        count[s] = vb::strip_frame_count(kStripPins[s]);
        if (count[s] < frames_seen_[s]) frames_seen_[s] = 0;
    }
    if (count[0] == frames_seen_[0] && count[1] == frames_seen_[1]) return;
    if (count[0] == 0 || count[1] == 0) return;
    const uint64_t now = vb::now_ns();
    // Strip 1 is a pixel ahead of strip 2: wait for strip 2's latch.
    if (count[0] - frames_seen_[0] != count[1] - frames_seen_[1]) {
        if (!uneven_) {
            uneven_ = true;
            uneven_since_ns_ = now;
        }
        if (now < uneven_since_ns_ + kUnevenWaitNs) return;
    }
    uneven_ = false;
    std::vector<uint32_t> shown[2];
    vb::StripPicture frame[2];
    for (unsigned s = 0; s < 2; s++) {
        frames_seen_[s] = count[s];
        shown[s] = vb::strip_pixels(kStripPins[s]);
        frame[s] = vb::strip_last_frame(kStripPins[s]);
    }
    const uint64_t latched = std::max(frame[0].end_ns, frame[1].end_ns) + vb::kStripLatchNs;
    const StripView view = view_of(shown, frame);
    if (view.mode != strip_mode_) {
        show(latched, "strips: " + view.text);
        strip_mode_ = view.mode;
        strip_shown_ns_ = latched;
        strip_shown_frames_ = count[0];
    } else if (view.animated && latched >= strip_shown_ns_ + kSummaryEveryNs) {
        const double rate = static_cast<double>(count[0] - strip_shown_frames_) * 1e9 /
                            static_cast<double>(latched - strip_shown_ns_);
        char frames[32];
        snprintf(frames, sizeof frames, ", %.0f frames/s", rate);
        show(latched, "strips: " + view.text + frames);
        strip_shown_ns_ = latched;
        strip_shown_frames_ = count[0];
    }
}

}  // namespace sim
