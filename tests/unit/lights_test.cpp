#include "lights.h"

#include <gtest/gtest.h>

#include <vector>

#include "board_test.h"
#include "hardware/pio.h"
#include "status.h"
#include "vboard_sound.h"

namespace {

constexpr unsigned kStrip1 = 28;
constexpr unsigned kStrip2 = 29;
constexpr uint32_t kWarmWhite = 0xFFFF8000;
constexpr uint32_t kBlue = 0x0000FF00;
constexpr uint64_t kPixelNs = 30000;        // 24 bits at 800 kbit/s
constexpr uint64_t kLatchUs = 300;          // more than the strip's 280 µs
constexpr uint64_t kPollEveryUs = 10;

uint32_t red(unsigned intensity) {
    return vb::pixel(static_cast<uint8_t>(intensity), 0, 0);
}

// Intensity of each of the 66 steps of a flash.
const std::vector<unsigned> kFlash = {
    5,   5,   8,   13,  20,  29,  40,  52,  67,  84,  102, 123, 145, 170, 196, 224, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    255, 255, 255, 224, 196, 170, 145, 123, 102, 84,  67,  52,  40,  29,  20,  13,  8,   5,   5,   5,   5,   5};

class LightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
    }
    void start() {
        lights_init();
        vb::advance_us(kLatchUs * 3);
    }
    // A new mode, and time for a fill it draws to latch.
    void set_mode(status_cabinet_lights_t mode) {
        status.out.lights = mode;
        lights_update();
        vb::advance_us(kLatchUs * 3);
    }
    // Polls as the main loop does until a new frame has latched on strip 1;
    // returns it.
    vb::StripPicture next_step() {
        const size_t before = vb::strip_frame_count(kStrip1);
        const uint64_t limit = vb::now_us() + 20 * test::kMs;
        while (vb::strip_frame_count(kStrip1) == before) {
            if (vb::now_us() > limit) throw std::runtime_error("no step was drawn");
            lights_poll();
            vb::advance_us(kPollEveryUs);
        }
        return vb::strip_last_frame(kStrip1);
    }
    void poll_for_ms(uint64_t ms) {
        const uint64_t end = vb::now_us() + ms * test::kMs;
        while (vb::now_us() < end) {
            lights_poll();
            vb::advance_us(kPollEveryUs);
        }
    }
};

bool all_are(const std::vector<uint32_t> &pixels, uint32_t word) {
    for (const uint32_t p : pixels) {
        if (p != word) return false;
    }
    return true;
}

// The comet's head: the brightest pixel, or -1 for a dark frame.
int head_of(const std::vector<uint32_t> &pixels) {
    for (size_t i = 0; i < pixels.size(); i++) {
        if (pixels[i] == red(255)) return static_cast<int>(i);
    }
    return -1;
}

size_t lit(const std::vector<uint32_t> &pixels) {
    size_t n = 0;
    for (const uint32_t p : pixels) n += p != 0;
    return n;
}

TEST_F(LightsTest, StripsRunOnPio1KeepingPio0StateMachine0Free) {
    start();
    EXPECT_TRUE(vb::pio_sm(1, 0).enabled);
    EXPECT_TRUE(vb::pio_sm(1, 1).enabled);
    EXPECT_FALSE(vb::pio_sm(0, 0).claimed);
    EXPECT_FALSE(vb::pio_sm(0, 0).enabled);
    // Two copies of the program, loaded from the top of PIO1's memory.
    EXPECT_EQ(vb::pio_used_instructions(1), 0xFF000000u);
    EXPECT_EQ(vb::pio_used_instructions(0), 0u);
    EXPECT_EQ(vb::pio_instruction(1, 28), 0x6221);
    EXPECT_EQ(vb::pio_instruction(1, 29), 0x1123 + 28);
    EXPECT_EQ(vb::pio_instruction(1, 30), 0x1400 + 28);
    EXPECT_EQ(vb::pio_instruction(1, 24), 0x6221);
    EXPECT_EQ(vb::pio_instruction(1, 26), 0x1400 + 24);
    // 132 MHz / (800 kHz x 10 cycles) = 16.5
    EXPECT_EQ(vb::pio_clkdiv256(1, 0), 16u * 256 + 128);
    EXPECT_EQ(vb::pio_clkdiv256(1, 1), 16u * 256 + 128);
    EXPECT_EQ(vb::board().pins[kStrip1].func, vb::kFuncPio1);
    EXPECT_EQ(vb::board().pins[kStrip2].func, vb::kFuncPio1);
}

TEST_F(LightsTest, StartUpShowsWarmWhiteTwiceOnBothStrips) {
    const uint64_t t0 = vb::now_ns();
    start();
    for (const unsigned pin : {kStrip1, kStrip2}) {
        const auto frames = vb::strip_frames(pin);
        ASSERT_EQ(frames.size(), 2u);
        for (const auto &f : frames) {
            EXPECT_EQ(f.words, 200u);
            EXPECT_TRUE(all_are(f.pixels, kWarmWhite));
            // Fed without a pause: 200 pixels of 30 µs each.
            EXPECT_EQ(f.end_ns - f.start_ns, 200 * kPixelNs);
        }
        EXPECT_GE(frames[1].start_ns, frames[0].end_ns + 280000) << "the second fill must latch on its own";
        EXPECT_TRUE(all_are(vb::strip_pixels(pin), kWarmWhite));
    }
    // Both strips in lock-step: each pixel leaves both at the same moment
    // (give or take the few calls between the two puts).
    EXPECT_LE(vb::strip_frames(kStrip2)[0].start_ns - vb::strip_frames(kStrip1)[0].start_ns, 2000u);
    EXPECT_LT(vb::strip_frames(kStrip1)[0].start_ns - t0, 10000u);
    // No demonstration step follows.
    const size_t frames = vb::strip_frame_count(kStrip1);
    poll_for_ms(50);
    EXPECT_EQ(vb::strip_frame_count(kStrip1), frames);
}

TEST_F(LightsTest, AFillHoldsTheCallerWhileAllButTheLastNinePixelsLeave) {
    start();
    const uint64_t t0 = vb::now_ns();
    status.out.lights = CABINET_LIGHTS_ALARM;
    lights_update();
    const uint64_t took = vb::now_ns() - t0;
    // 200 pixels at 30 µs, less the 8 still queued and the one being sent.
    EXPECT_GE(took, (200 - 9) * kPixelNs);
    EXPECT_LE(took, (200 - 9) * kPixelNs + 50000);
}

TEST_F(LightsTest, SteadyModesAreUniformFillsThatPollLeavesAlone) {
    start();
    const struct {
        status_cabinet_lights_t mode;
        uint32_t word;
    } modes[] = {{CABINET_LIGHTS_ALARM, kBlue}, {CABINET_LIGHTS_OFF, 0}, {CABINET_LIGHTS_NORMAL, kWarmWhite}};
    for (const auto &m : modes) {
        const size_t before = vb::strip_frame_count(kStrip1);
        set_mode(m.mode);
        poll_for_ms(30);
        EXPECT_EQ(vb::strip_frame_count(kStrip1), before + 1) << "one fill, no animation";
        EXPECT_EQ(vb::strip_frame_count(kStrip2), before + 1);
        for (const unsigned pin : {kStrip1, kStrip2}) {
            const auto f = vb::strip_last_frame(pin);
            EXPECT_EQ(f.words, 200u);
            EXPECT_TRUE(all_are(f.pixels, m.word)) << std::hex << m.word;
        }
    }
}

TEST_F(LightsTest, FlashRunsItsSquareLawCycleOnAllPixels) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_A);
    // Three cycles: a cycle a step longer or shorter shows once its shift
    // reaches the ramp (its first and last steps share their intensity).
    for (size_t step = 0; step < 3 * kFlash.size(); step++) {
        const auto f = next_step();
        ASSERT_EQ(f.words, 200u) << "step " << step;
        EXPECT_TRUE(all_are(f.pixels, red(kFlash[step % kFlash.size()]))) << "step " << step;
        EXPECT_TRUE(all_are(vb::strip_last_frame(kStrip2).pixels, red(kFlash[step % kFlash.size()])));
    }
}

TEST_F(LightsTest, StepsFollowTwoMillisecondsAfterThePreviousStepWasQueued) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    vb::StripPicture last = next_step();
    for (int i = 0; i < 5; i++) {
        const vb::StripPicture f = next_step();
        // The last put of a step returns with nine pixels still to leave.
        const uint64_t queued_at = last.end_ns - 9 * kPixelNs;
        EXPECT_GE(f.start_ns, queued_at + 2000000);
        EXPECT_LE(f.start_ns, queued_at + 2000000 + 20000);
        last = f;
    }
}

TEST_F(LightsTest, AnimationsResumeWhereTheyStopped) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_A);
    for (size_t step = 0; step < 10; step++) next_step();
    set_mode(CABINET_LIGHTS_NORMAL);
    set_mode(CABINET_LIGHTS_DEMO_A);
    EXPECT_TRUE(all_are(next_step().pixels, red(kFlash[10])));

    set_mode(CABINET_LIGHTS_DEMO_B);
    for (int step = 0; step < 30; step++) next_step();
    set_mode(CABINET_LIGHTS_ALARM);
    set_mode(CABINET_LIGHTS_DEMO_B);
    EXPECT_EQ(head_of(next_step().pixels), 30);
    // The flash kept its place too.
    set_mode(CABINET_LIGHTS_DEMO_A);
    EXPECT_TRUE(all_are(next_step().pixels, red(kFlash[11])));
}

TEST_F(LightsTest, CometStartsAtPixelZeroWithItsTailDropped) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    const auto first = next_step();
    EXPECT_EQ(first.words, 120u);
    EXPECT_EQ(first.pixels[0], red(255));
    EXPECT_EQ(lit(first.pixels), 1u);
    const auto second = next_step();
    EXPECT_EQ(second.pixels[1], red(255));
    EXPECT_EQ(second.pixels[0], red(250));
    EXPECT_EQ(lit(second.pixels), 2u);
}

TEST_F(LightsTest, CometTailFadesOverFiftyPixels) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    vb::StripPicture f;
    for (int step = 0; step <= 60; step++) f = next_step();
    ASSERT_EQ(head_of(f.pixels), 60);
    for (int i = 0; i <= 49; i++) EXPECT_EQ(f.pixels[60 - i], red(255 - (i * 255) / 50)) << i;
    EXPECT_EQ(f.pixels[11], red(6));
    EXPECT_EQ(f.pixels[10], 0u);
    EXPECT_EQ(f.pixels[50], red(204));  // i = 10
    EXPECT_EQ(lit(f.pixels), 50u);
}

TEST_F(LightsTest, CometTurnsAt119AndAt0DrawingTheEndAloneOncePerTrip) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    std::vector<int> heads;
    int alone_at_119 = 0;
    int alone_at_0 = 0;
    for (int step = 0; step < 2 * 238 + 1; step++) {
        const auto f = next_step();
        heads.push_back(head_of(f.pixels));
        if (heads.back() == 119) {
            alone_at_119++;
            EXPECT_EQ(lit(f.pixels), 1u) << "the tail lies beyond the end";
        }
        if (heads.back() == 0 && step > 0) {
            alone_at_0++;
            EXPECT_EQ(lit(f.pixels), 1u);
        }
        if (step > 0 && heads[heads.size() - 2] == 119) {
            EXPECT_EQ(heads.back(), 118);
            EXPECT_EQ(f.pixels[119], red(250));
        }
    }
    for (int step = 0; step <= 119; step++) EXPECT_EQ(heads[step], step);
    for (int step = 120; step <= 238; step++) EXPECT_EQ(heads[step], 238 - step);
    EXPECT_EQ(heads[239], 1);
    EXPECT_EQ(alone_at_119, 2);
    EXPECT_EQ(alone_at_0, 2);
}

TEST_F(LightsTest, CometLeavesPixels120To199AsTheyWere) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    for (int step = 0; step < 130; step++) next_step();
    for (const unsigned pin : {kStrip1, kStrip2}) {
        const auto shown = vb::strip_pixels(pin);
        for (unsigned i = 120; i < 200; i++) EXPECT_EQ(shown[i], kWarmWhite) << i;
        EXPECT_EQ(head_of(shown), 109);  // step 129, on the way back
    }
}

TEST_F(LightsTest, DemoBShowsTheSameCometOnBothStrips) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    for (int step = 0; step < 70; step++) {
        const auto one = next_step();
        EXPECT_EQ(vb::strip_last_frame(kStrip2).pixels, one.pixels);
    }
}

TEST_F(LightsTest, DemoCMirrorsTheSecondStrip) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_C);
    for (int step = 0; step < 130; step++) {
        const auto one = next_step();
        const auto two = vb::strip_last_frame(kStrip2);
        ASSERT_EQ(two.words, 120u);
        for (unsigned i = 0; i < 120; i++) ASSERT_EQ(two.pixels[i], one.pixels[119 - i]) << "step " << step;
    }
    EXPECT_EQ(head_of(vb::strip_pixels(kStrip2)), 119 - 109);
}

TEST_F(LightsTest, AValueAboveFiveStopsTheAnimationAndDrawsNothing) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_A);
    for (int step = 0; step < 20; step++) next_step();
    const auto shown = vb::strip_pixels(kStrip1);
    const size_t frames = vb::strip_frame_count(kStrip1);
    set_mode(static_cast<status_cabinet_lights_t>(6));
    poll_for_ms(30);
    status.out.lights = static_cast<status_cabinet_lights_t>(255);
    lights_update();
    poll_for_ms(30);
    EXPECT_EQ(vb::strip_frame_count(kStrip1), frames);
    EXPECT_EQ(vb::strip_pixels(kStrip1), shown);
}

TEST_F(LightsTest, ASteadyValueWithoutAnUpdateOnlyRearmsTheDelay) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    next_step();
    status.out.lights = CABINET_LIGHTS_NORMAL;  // written without lights_update
    const size_t frames = vb::strip_frame_count(kStrip1);
    poll_for_ms(30);
    EXPECT_EQ(vb::strip_frame_count(kStrip1), frames);
    status.out.lights = CABINET_LIGHTS_DEMO_B;
    EXPECT_EQ(head_of(next_step().pixels), 1);
}

// A fill that follows a demonstration step at once must still be a frame of
// its own: joined to the comet, it would leave the comet on pixels 0-119
// and the new colour only on 120-199.
TEST_F(LightsTest, AFillRightAfterACometStepLatchesAsItsOwnFrame) {
    start();
    set_mode(CABINET_LIGHTS_DEMO_B);
    for (int step = 0; step < 40; step++) next_step();
    lights_poll();
    vb::advance_us(2500);
    lights_poll();  // a step, drawn just now
    set_mode(CABINET_LIGHTS_ALARM);
    vb::advance_us(kLatchUs * 3);
    for (const unsigned pin : {kStrip1, kStrip2}) {
        EXPECT_TRUE(all_are(vb::strip_pixels(pin), kBlue));
        const auto f = vb::strip_last_frame(pin);
        EXPECT_EQ(f.words, 200u);
        EXPECT_EQ(vb::strip_frames(pin, vb::strip_frame_count(pin) - 2)[0].words, 120u);
    }
}

TEST_F(LightsTest, AStripWhoseClaimFailedIsNeverFed) {
    // Only one state machine left on the board: strip 1 gets it.
    pio_claim_sm_mask(pio1, 0xF);
    pio_claim_sm_mask(pio0, 0x7);
    start();
    EXPECT_TRUE(vb::pio_sm(0, 3).enabled);
    EXPECT_EQ(vb::strip_frame_count(kStrip1), 2u);
    EXPECT_EQ(vb::strip_frame_count(kStrip2), 0u);
    set_mode(CABINET_LIGHTS_DEMO_C);
    next_step();
    EXPECT_EQ(vb::strip_frame_count(kStrip2), 0u);
    EXPECT_EQ(vb::pio_sm(0, 3).words_pushed, 200u + 200 + 120);
}

TEST_F(LightsTest, NoStateMachineAtAllLeavesBothStripsDark) {
    pio_claim_sm_mask(pio1, 0xF);
    pio_claim_sm_mask(pio0, 0xF);
    start();
    set_mode(CABINET_LIGHTS_DEMO_A);
    poll_for_ms(20);
    EXPECT_EQ(vb::strip_frame_count(kStrip1), 0u);
    EXPECT_EQ(vb::strip_frame_count(kStrip2), 0u);
}

}  // namespace
