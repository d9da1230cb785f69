// Lights and sound of the whole firmware, seen on the wires: the strips'
// data lines, the I2S lines and the amplifier enable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio.h"
#include "board_test.h"
#include "vboard_sound.h"

namespace {

using test::kMs;
using test::SystemTest;

constexpr unsigned kStrip1 = 28;
constexpr unsigned kStrip2 = 29;
constexpr unsigned kAmp = 3;
constexpr uint32_t kWarmWhite = 0xFFFF8000;
constexpr uint32_t kBlue = 0x0000FF00;
// Of the 512 words of silence, the 8 left in the FIFO and the one cut short
// when the machine stops are never heard whole.
constexpr size_t kSilenceHeard = 512 - 8 - 1;

bool all_are(const std::vector<uint32_t> &pixels, uint32_t word) {
    for (const uint32_t p : pixels) {
        if (p != word) return false;
    }
    return true;
}

class SoundSystemTest : public SystemTest {
protected:
    // Runs until the main loop goes round (the first input report).
    void boot() {
        ASSERT_TRUE(run_until_frames(1, 3000 * kMs));
    }
    size_t line_index(const std::string &text) {
        const auto &l = lines();
        for (size_t i = 0; i < l.size(); i++) {
            if (l[i].text == text) return i;
        }
        return SIZE_MAX;
    }
    bool has_line(const std::string &text) {
        return line_index(text) != SIZE_MAX;
    }
};

TEST_F(SoundSystemTest, StartUpShowsWarmWhiteAndReadiesTheAudioInSilence) {
    boot();
    for (const unsigned pin : {kStrip1, kStrip2}) {
        EXPECT_TRUE(all_are(vb::strip_pixels(pin), kWarmWhite));
        const auto frames = vb::strip_frames(pin);
        ASSERT_EQ(frames.size(), 2u) << "the fill of lights_init and the one of lights_update";
        for (const auto &f : frames) EXPECT_TRUE(all_are(f.pixels, kWarmWhite));
    }
    const size_t screen = line_index("Start screen");
    const size_t audio = line_index("Initialise audio");
    ASSERT_NE(screen, SIZE_MAX);
    ASSERT_NE(audio, SIZE_MAX);
    EXPECT_LT(screen, audio);
    EXPECT_EQ(lines()[audio + 1].text, "Audio init complete (interrupt-driven DMA)");
    // The strips were filled before the screen link started.
    EXPECT_LT(vb::strip_frames(kStrip1)[1].end_ns - 9 * 30000, lines()[screen].start_ns);
    EXPECT_FALSE(vb::level(kAmp));
    EXPECT_EQ(vb::i2s_frame_count(), 0u);
    EXPECT_TRUE(vb::pio_sm(0, 0).claimed);
}

TEST_F(SoundSystemTest, AlarmPayloadTurnsTheStripsBlueAndPlaysTheLockdownClipOnce) {
    boot();
    const size_t frames_before = vb::strip_frame_count(kStrip1);
    test::send_frame("LONALMPO3X080FCN");
    const uint64_t arrives = vb::now_ns() + vb::wire_ns(peers::frame_to_board("LONALMPO3X080FCN").size(), test::kBaud);

    // The fill starts within the screen poll that takes the frame.
    const bool drawn = vb::run_until([&] { return vb::strip_frame_count(kStrip2) > frames_before; }, 50 * kMs);
    ASSERT_TRUE(drawn);
    for (const unsigned pin : {kStrip1, kStrip2}) {
        const auto f = vb::strip_last_frame(pin);
        EXPECT_EQ(f.words, 200u);
        EXPECT_TRUE(all_are(f.pixels, kBlue));
        EXPECT_LT(f.start_ns - arrives, 1000000u);
        EXPECT_TRUE(all_are(vb::strip_pixels(pin), kBlue));
    }

    // The next audio poll starts clip 3 at volume 80 (75/256).
    ASSERT_TRUE(vb::run_until([&] { return has_line("Starting playback: 97338 samples, volume: 75/256"); }, 100 * kMs));
    const size_t play = line_index("Play: sound_lockdown");
    ASSERT_NE(play, SIZE_MAX);
    size_t dump = SIZE_MAX;
    for (size_t i = 0; i < play; i++) {
        if (lines()[i].text.find("Lights: ALARM   Audio: Play 3   Volume:  80%") != std::string::npos) dump = i;
    }
    EXPECT_NE(dump, SIZE_MAX) << "the payload is applied (and dumped) before the clip starts";
    EXPECT_EQ(lines()[play + 1].text, "Starting playback: 97338 samples, volume: 75/256");

    ASSERT_TRUE(vb::run_until([&] { return has_line("Playback complete"); }, 7000 * kMs));
    vb::run_for_ms(500);
    const auto frames = vb::i2s_frames();
    std::vector<int16_t> clip((sound_lockdown_len - 44) / 2);
    memcpy(clip.data(), sound_lockdown + 44, clip.size() * 2);
    ASSERT_EQ(frames.size(), clip.size() + kSilenceHeard);
    for (size_t i = 0; i < clip.size(); i++) {
        const auto expected = static_cast<int16_t>((clip[i] * 75) >> 8);
        ASSERT_EQ(frames[i].left, expected) << i;
        ASSERT_EQ(frames[i].right, expected) << i;
    }
    for (size_t i = 1; i < frames.size(); i++) ASSERT_EQ(frames[i].t_ns - frames[i - 1].t_ns, 62500u) << i;
    EXPECT_TRUE(vb::pio_gaps().empty());
    EXPECT_EQ(vb::i2s_unwired_frames(), 0u);

    // The amplifier is on from just before the first frame until after the last.
    std::vector<vb::PinEvent> amp;
    for (const auto &e : vb::pin_events()) {
        if (e.pin == kAmp) amp.push_back(e);
    }
    ASSERT_EQ(amp.size(), 2u);
    EXPECT_TRUE(amp[0].level);
    EXPECT_FALSE(amp[1].level);
    EXPECT_LE(amp[0].t_ns, frames.front().t_ns);
    EXPECT_GT(amp[1].t_ns, frames.back().t_ns);
    EXPECT_LT(amp[1].t_ns - frames.back().t_ns, 200000u);
    for (const auto &f : frames) ASSERT_TRUE(f.pin(kAmp));

    // Played once: the same payload again is a change, because the end of
    // the clip cleared the audio field; the lights stay as they are.
    const size_t strip_frames = vb::strip_frame_count(kStrip1);
    test::send_frame("LONALMPO3X080FCN");
    ASSERT_TRUE(vb::run_until(
        [&] {
            size_t n = 0;
            for (const auto &l : lines()) n += l.text == "Play: sound_lockdown";
            return n == 2;
        },
        100 * kMs));
    EXPECT_EQ(vb::strip_frame_count(kStrip1), strip_frames);
}

TEST_F(SoundSystemTest, DemoPayloadAnimatesBothStripsFromTheLoop) {
    boot();
    test::send_frame("LONDMCOFFX050FCN");
    vb::run_for_ms(200);
    const auto one = vb::strip_last_frame(kStrip1);
    const auto two = vb::strip_last_frame(kStrip2);
    ASSERT_EQ(one.words, 120u);
    ASSERT_EQ(two.words, 120u);
    for (unsigned i = 0; i < 120; i++) EXPECT_EQ(two.pixels[i], one.pixels[119 - i]);
    // The steps keep coming while the rest of the loop runs (at least one
    // every 2 ms plus the 3.6 ms a step takes, plus the other polls).
    const size_t before = vb::strip_frame_count(kStrip1);
    vb::run_for_ms(100);
    EXPECT_GE(vb::strip_frame_count(kStrip1) - before, 10u);
    const auto shown = vb::strip_pixels(kStrip1);
    for (unsigned i = 120; i < 200; i++) EXPECT_EQ(shown[i], kWarmWhite);
}

}  // namespace
