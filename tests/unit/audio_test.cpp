#include "audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "board_test.h"
#include "hardware/irq.h"
#include "hardware/sync.h"
#include "status.h"
#include "vboard_sound.h"

namespace {

constexpr unsigned kAmp = 3;
constexpr uint64_t kFrameNs = 62500;  // 1/16000 s
constexpr uint64_t kPollEveryUs = 20;
constexpr uint64_t kCheckEveryUs = 1000;
// The silence after a clip: 512 frames, of which the last 8 are still in
// the FIFO when the output stops (they lead the next clip).
// Of the 512 words of silence, the 8 left in the FIFO and the one cut short
// when the machine stops are never heard whole.
constexpr size_t kSilenceHeard = 512 - 8 - 1;
// They are heard when the next clip starts the machine again.
constexpr size_t kLeftOver = 9;

// A clip made in the test: a canonical header (with the data size given)
// followed by the samples.
struct Clip {
    alignas(4) unsigned char bytes[44 + 2 * 2048];
    uint32_t length;
};

void put_le32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void make_wav(Clip &clip, const std::vector<int16_t> &samples, uint32_t data_size) {
    unsigned char *b = clip.bytes;
    memcpy(b, "RIFF", 4);
    put_le32(b + 4, 36 + data_size);
    memcpy(b + 8, "WAVEfmt ", 8);
    put_le32(b + 16, 16);
    const unsigned char fmt[] = {1, 0, 1, 0, 0x80, 0x3e, 0, 0, 0, 0x7d, 0, 0, 2, 0, 16, 0};
    memcpy(b + 20, fmt, sizeof fmt);
    memcpy(b + 36, "data", 4);
    put_le32(b + 40, data_size);
    if (!samples.empty()) memcpy(b + 44, samples.data(), samples.size() * 2);
    clip.length = static_cast<uint32_t>(44 + samples.size() * 2);
}

std::vector<int16_t> ramp(size_t n) {
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; i++) s[i] = static_cast<int16_t>(static_cast<int>(i * 61 % 65536) - 32768);
    return s;
}

std::vector<int16_t> samples_of(const unsigned char *wav, unsigned length) {
    std::vector<int16_t> s((length - 44) / 2);
    memcpy(s.data(), wav + 44, s.size() * 2);
    return s;
}

// The start of `text`, as long as `expected`.
std::string head(const std::string &text, const std::string &expected) {
    return text.substr(0, expected.size());
}

int16_t scaled(int16_t s, int volume_256) {
    return static_cast<int16_t>((s * volume_256) >> 8);
}

uint32_t le32(const unsigned char *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

uint16_t le16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

TEST(ClipTest, ClipsAreCanonicalWavFilesOfTheirLengths) {
    const struct {
        const unsigned char *data;
        unsigned length;
        unsigned expected_length;
        unsigned samples;
        unsigned tail_ms;  // at least this much quiet at the end
    } clips[] = {
        {sound_cabinet_is_unlocked, sound_cabinet_is_unlocked_len, 80684, 40320, 400},
        {sound_holding_message, sound_holding_message_len, 251180, 125568, 400},
        {sound_lockdown, sound_lockdown_len, 194720, 97338, 800},
        {sound_please_close, sound_please_close_len, 114848, 57402, 800},
    };
    for (const auto &c : clips) {
        ASSERT_EQ(c.length, c.expected_length);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(c.data) % 4, 0u) << "samples are read in place as 16-bit values";
        EXPECT_EQ(memcmp(c.data, "RIFF", 4), 0);
        EXPECT_EQ(le32(c.data + 4), c.length - 8);
        EXPECT_EQ(memcmp(c.data + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(le32(c.data + 16), 16u);
        EXPECT_EQ(le16(c.data + 20), 1u) << "PCM";
        EXPECT_EQ(le16(c.data + 22), 1u) << "mono";
        EXPECT_EQ(le32(c.data + 24), 16000u);
        EXPECT_EQ(le32(c.data + 28), 32000u);
        EXPECT_EQ(le16(c.data + 32), 2u);
        EXPECT_EQ(le16(c.data + 34), 16u);
        EXPECT_EQ(memcmp(c.data + 36, "data", 4), 0);
        EXPECT_EQ(le32(c.data + 40), c.length - 44);

        const unsigned char *pcm = nullptr;
        uint32_t pcm_length = 0;
        parse_wav_header(c.data, c.length, &pcm, &pcm_length);
        EXPECT_EQ(pcm, c.data + 44);
        EXPECT_EQ(pcm_length / 2, c.samples);

        // Peaks between -0.7 and -0.2 dBFS; a quiet tail.
        const auto samples = samples_of(c.data, c.length);
        int peak = 0;
        for (const int16_t s : samples) peak = std::max(peak, std::abs(int{s}));
        EXPECT_GE(peak, 30254);  // 32768 x 10^(-0.7/20)
        EXPECT_LE(peak, 32017);  // 32768 x 10^(-0.2/20)
        const size_t tail = c.tail_ms * 16;
        for (size_t i = samples.size() - tail; i < samples.size(); i++) {
            ASSERT_LE(std::abs(int{samples[i]}), 100) << "sample " << i << " of " << samples.size();
        }
    }
}

class AudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
    }
    // The player started, and its lines through the console.
    void init() {
        audio_init();
        vb::advance_us(10 * test::kMs);
        console_from_ = vb::tx_count(test::kScreenUart);
    }
    std::string console() {
        return vb::tx_text(test::kScreenUart, console_from_);
    }
    // The audio part of the main loop, until `done` holds.
    bool poll_until(const std::function<bool()> &done, uint64_t limit_us) {
        const uint64_t end = vb::now_us() + limit_us;
        uint64_t next_check = 0;
        while (vb::now_us() < end) {
            audio_poll();
            vb::advance_us(kPollEveryUs);
            if (vb::now_us() >= next_check) {
                if (done()) return true;
                next_check = vb::now_us() + kCheckEveryUs;
            }
        }
        return done();
    }
    bool poll_until_console_has(const std::string &text, size_t count, uint64_t limit_us) {
        return poll_until(
            [&] {
                const std::string c = console();
                size_t n = 0;
                for (size_t at = c.find(text); at != std::string::npos; at = c.find(text, at + 1)) n++;
                return n >= count;
            },
            limit_us);
    }
    void poll_for_us(uint64_t us) {
        poll_until([] { return false; }, us);
    }
    void expect_stream(const std::vector<vb::StereoFrame> &frames, size_t at, const std::vector<int16_t> &samples,
                       int volume_256) {
        ASSERT_GE(frames.size(), at + samples.size());
        for (size_t i = 0; i < samples.size(); i++) {
            const vb::StereoFrame &f = frames[at + i];
            ASSERT_EQ(f.left, scaled(samples[i], volume_256)) << "sample " << i;
            ASSERT_EQ(f.right, f.left) << "sample " << i;
            ASSERT_TRUE(f.pin(kAmp)) << "sample " << i;
        }
    }
    // Plays a clip made in the test from the idle player, to its end.
    void play(const Clip &clip) {
        console_from_ = vb::tx_count(test::kScreenUart);
        start_playback(clip.bytes, clip.length);
        ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 2000 * test::kMs));
    }

    size_t console_from_ = 0;
};

TEST_F(AudioTest, InitPreparesTheOutputAndLeavesItStopped) {
    init();
    EXPECT_EQ(vb::tx_text(test::kScreenUart), "Initialise audio\r\nAudio init complete (interrupt-driven DMA)\r\n");
    EXPECT_TRUE(vb::board().pins[kAmp].out_enable);
    EXPECT_FALSE(vb::level(kAmp));
    // State machine 0 of PIO0, claimed as the strips' are.
    const vb::PioSm &sm = vb::pio_sm(0, 0);
    EXPECT_TRUE(sm.claimed);
    EXPECT_FALSE(sm.enabled);
    EXPECT_EQ(vb::pio_clkdiv256(0, 0), 128u * 256 + 232);  // 132 MHz / 1.024 MHz
    EXPECT_EQ(vb::pio_used_instructions(0), 0xFF000000u);
    EXPECT_EQ(vb::pio_instruction(0, 24), 0xA822);
    EXPECT_EQ(vb::pio_instruction(0, 26), 0x0841 + 24);
    EXPECT_EQ(vb::pio_instruction(0, 30), 0x1845 + 24);
    for (unsigned pin = 0; pin <= 2; pin++) {
        EXPECT_EQ(vb::board().pins[pin].func, vb::kFuncPio0);
        EXPECT_TRUE(vb::pio_pindirs(0) & (1u << pin));
    }
    EXPECT_EQ(vb::pio_pindirs(0) & ~0x7u, 0u);
    EXPECT_TRUE(vb::dma_channel(0).claimed);
    EXPECT_EQ(vb::dma_irq0_enabled(), 1u);
    EXPECT_TRUE(irq_is_enabled(DMA_IRQ_0));
    EXPECT_TRUE(irq_has_handler(DMA_IRQ_0));
    poll_for_us(10000);
    EXPECT_EQ(vb::i2s_frame_count(), 0u);
}

TEST_F(AudioTest, NoFreeDmaChannelStopsTheBoard) {
    vb::dma_claim_all();
    EXPECT_THROW(audio_init(), vb::HaltException);
    EXPECT_EQ(vb::halt_message(), "No DMA channels are available");
}

TEST_F(AudioTest, OneShotClipPlaysWholeThenSilenceThenClearsTheField) {
    init();
    status.out.volume = 100;
    status.out.audio = AUDIO_ONCE_1;
    const uint64_t started = vb::now_ns();
    audio_poll();
    poll_for_us(10 * test::kMs);
    EXPECT_EQ(console(), "Play: sound_cabinet_is_unlocked\r\nStarting playback: 40320 samples, volume: 94/256\r\n");
    EXPECT_TRUE(vb::level(kAmp));
    EXPECT_EQ(vb::dma_channel(0).ctrl & 0x3f, 0x19u) << "32-bit words, read address moving, write address fixed";

    ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 3000 * test::kMs));
    EXPECT_EQ(status.out.audio, AUDIO_OFF);
    EXPECT_FALSE(vb::level(kAmp));
    EXPECT_FALSE(vb::pio_sm(0, 0).enabled);

    const auto frames = vb::i2s_frames();
    const auto clip = samples_of(sound_cabinet_is_unlocked, sound_cabinet_is_unlocked_len);
    ASSERT_EQ(clip.size(), 40320u);
    ASSERT_EQ(frames.size(), clip.size() + kSilenceHeard);
    expect_stream(frames, 0, clip, 94);
    for (size_t i = clip.size(); i < frames.size(); i++) {
        ASSERT_EQ(frames[i].left, 0);
        ASSERT_EQ(frames[i].right, 0);
        ASSERT_TRUE(frames[i].pin(kAmp));
    }
    // One unbroken stream at 16 kHz: every refill came in time.
    for (size_t i = 1; i < frames.size(); i++) ASSERT_EQ(frames[i].t_ns - frames[i - 1].t_ns, kFrameNs) << i;
    EXPECT_TRUE(vb::pio_gaps().empty());
    EXPECT_LT(frames[0].t_ns - started, 1000000u);
    // 2.52 s of the clip, then the 32 ms of silence before the amplifier goes off.
    uint64_t amp_off = 0;
    for (const auto &e : vb::pin_events()) {
        if (e.pin == kAmp && !e.level) amp_off = e.t_ns;
    }
    const uint64_t silence_queued = frames[0].t_ns + (clip.size() + kSilenceHeard) * kFrameNs;
    EXPECT_GE(amp_off, silence_queued - kFrameNs);
    EXPECT_LE(amp_off, silence_queued + 100000);
    EXPECT_EQ(console().substr(console().size() - 19), "Playback complete\r\n");
}

TEST_F(AudioTest, VolumeIsFixedPerClipInSingleParts256) {
    init();
    Clip clip;
    make_wav(clip, ramp(16), 32);
    const struct {
        uint8_t volume;
        unsigned volume_256;
    } table[] = {{100, 94}, {50, 47}, {25, 23}, {10, 9}, {1, 0}, {0, 0}, {80, 75}, {255, 241}};
    for (const auto &row : table) {
        status.out.volume = row.volume;
        const size_t from = vb::i2s_frame_count();
        console_from_ = vb::tx_count(test::kScreenUart);
        play(clip);
        const std::string line = "Starting playback: 16 samples, volume: " + std::to_string(row.volume_256) + "/256\r\n";
        EXPECT_EQ(head(console(), line), line) << int{row.volume};
        expect_stream(vb::i2s_frames(from + (from ? kLeftOver : 0)), 0, ramp(16), static_cast<int>(row.volume_256));
    }
}

TEST_F(AudioTest, ScalingShiftsArithmeticallyAndDuplicatesTheSample) {
    const int16_t src[] = {-1, -256, -257, 32767, -32768, 1, 255, 256, 0, 1000, -1000};
    uint32_t out[11];
    prepare_audio_buffer(out, src, 11, 94);
    const uint32_t at_94[] = {0xffffffff, 0xffa2ffa2, 0xffa1ffa1, 0x2eff2eff, 0xd100d100, 0,
                              0x005d005d, 0x005e005e, 0,          0x016f016f, 0xfe90fe90};
    for (int i = 0; i < 11; i++) EXPECT_EQ(out[i], at_94[i]) << src[i];
    prepare_audio_buffer(out, src, 11, 241);
    const uint32_t at_241[] = {0xffffffff, 0xff0fff0f, 0xff0eff0e, 0x787f787f, 0x87808780, 0,
                               0x00f000f0, 0x00f100f1, 0,          0x03ad03ad, 0xfc52fc52};
    for (int i = 0; i < 11; i++) EXPECT_EQ(out[i], at_241[i]) << src[i];
}

TEST_F(AudioTest, LoopRestartsWithTheFieldAndVolumeReadAnewUntilTurnedOff) {
    init();
    status.out.volume = 50;
    status.out.audio = AUDIO_LOOP_1;
    poll_for_us(10 * test::kMs);
    EXPECT_EQ(console(), "Play: sound_cabinet_is_unlocked\r\nStarting playback: 40320 samples, volume: 47/256\r\n");
    // Mid-pass: another clip and another volume take effect at the next pass.
    poll_for_us(1000 * test::kMs);
    status.out.audio = AUDIO_ONCE_4;
    status.out.volume = 100;
    ASSERT_TRUE(poll_until_console_has("/256\r\n", 2, 3000 * test::kMs));
    EXPECT_EQ(console(),
              "Play: sound_cabinet_is_unlocked\r\nStarting playback: 40320 samples, volume: 47/256\r\n"
              "Looping...\r\nPlay: sound_please_close\r\nStarting playback: 57402 samples, volume: 94/256\r\n");
    const size_t first_pass = 40320 + kSilenceHeard;
    auto frames = vb::i2s_frames();
    ASSERT_GE(frames.size(), first_pass + 9);
    // 100 ms of quiet with the amplifier off, then the leftover silence and the new clip.
    EXPECT_GE(frames[first_pass].t_ns - frames[first_pass - 1].t_ns, 100000000u);
    EXPECT_LE(frames[first_pass].t_ns - frames[first_pass - 1].t_ns, 100000000u + 200000);
    std::vector<bool> amp;
    for (const auto &e : vb::pin_events()) {
        if (e.pin == kAmp) amp.push_back(e.level);
    }
    EXPECT_EQ(amp, (std::vector<bool>{true, false, true})) << "on, off for the pause, on again";

    // Turned off mid-pass: the pass ends, "Looping..." and nothing more.
    poll_for_us(1000 * test::kMs);
    status.out.audio = AUDIO_OFF;
    ASSERT_TRUE(poll_until_console_has("Looping...\r\n", 2, 4000 * test::kMs));
    poll_for_us(500 * test::kMs);
    EXPECT_EQ(console().substr(console().rfind("Starting")),
              "Starting playback: 57402 samples, volume: 94/256\r\nLooping...\r\n");
    EXPECT_FALSE(vb::level(kAmp));
    frames = vb::i2s_frames();
    const auto clip4 = samples_of(sound_please_close, sound_please_close_len);
    ASSERT_EQ(frames.size(), first_pass + kLeftOver + clip4.size() + kSilenceHeard);
    expect_stream(frames, first_pass + kLeftOver, clip4, 94);
    // The loop is over: a clip value now is a change and plays once.
    status.out.audio = AUDIO_ONCE_4;
    ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 4000 * test::kMs));
    EXPECT_EQ(status.out.audio, AUDIO_OFF);
}

TEST_F(AudioTest, AOneShotClipIgnoresNewValuesAndTheEndOverwritesThem) {
    init();
    status.out.volume = 100;
    status.out.audio = AUDIO_ONCE_1;
    audio_poll();
    poll_for_us(500 * test::kMs);
    status.out.audio = AUDIO_ONCE_2;
    ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 3000 * test::kMs));
    EXPECT_EQ(status.out.audio, AUDIO_OFF);
    poll_for_us(200 * test::kMs);
    EXPECT_EQ(console().find("sound_holding_message"), std::string::npos);
    // The same value again is a change and plays the clip again.
    status.out.audio = AUDIO_ONCE_1;
    poll_for_us(10 * test::kMs);
    EXPECT_EQ(console().substr(console().rfind("Play:")),
              "Play: sound_cabinet_is_unlocked\r\nStarting playback: 40320 samples, volume: 94/256\r\n");
}

TEST_F(AudioTest, AValueAboveEightIsTakenUpButPlaysNothing) {
    init();
    status.out.audio = static_cast<status_audio_t>(9);
    poll_for_us(50 * test::kMs);
    EXPECT_EQ(console(), "");
    EXPECT_FALSE(vb::level(kAmp));
    EXPECT_FALSE(vb::pio_sm(0, 0).enabled);
    EXPECT_EQ(vb::i2s_frame_count(), 0u);
    EXPECT_EQ(status.out.audio, 9);
    status.out.audio = AUDIO_ONCE_4;
    poll_for_us(10 * test::kMs);
    EXPECT_EQ(head(console(), "Play: sound_please_close\r\n"), "Play: sound_please_close\r\n");
}

TEST_F(AudioTest, ADataLengthBeyondTheClipIsCutToWhatItHolds) {
    init();
    status.out.volume = 100;
    static Clip clip;
    make_wav(clip, ramp(1000), 0x7ffffff0);
    play(clip);
    const std::string line = "Starting playback: 1000 samples, volume: 94/256\r\n";
    EXPECT_EQ(head(console(), line), line);
    const auto frames = vb::i2s_frames();
    ASSERT_EQ(frames.size(), 1000 + kSilenceHeard);
    expect_stream(frames, 0, ramp(1000), 94);
}

TEST_F(AudioTest, AClipWithNoSamplesEndsAtOnce) {
    init();
    for (const uint32_t data_size : {0u, 1u}) {
        static Clip clip;
        make_wav(clip, {}, data_size);
        clip.length += data_size;  // the odd byte, when the size says so
        console_from_ = vb::tx_count(test::kScreenUart);
        const uint64_t t0 = vb::now_us();
        play(clip);
        EXPECT_EQ(console(), "Starting playback: 0 samples, volume: 0/256\r\nPlayback complete\r\n");
        EXPECT_LT(vb::now_us() - t0, 100 * test::kMs);
        EXPECT_FALSE(vb::level(kAmp));
    }
    // The player is idle again and plays the next clip.
    status.out.audio = AUDIO_ONCE_4;
    poll_for_us(10 * test::kMs);
    EXPECT_NE(console().find("Starting playback: 57402 samples"), std::string::npos);
}

TEST_F(AudioTest, ClipsWithoutAHeaderArePlayedAsRawSamples) {
    init();
    status.out.volume = 100;
    static Clip raw;
    const std::vector<int16_t> s = ramp(40);
    memcpy(raw.bytes, s.data(), 80);
    raw.length = 80;
    play(raw);
    const std::string forty = "Starting playback: 40 samples, volume: 94/256\r\n";
    EXPECT_EQ(head(console(), forty), forty);
    expect_stream(vb::i2s_frames(), 0, s, 94);

    // Shorter than "RIFF": read as what it is, never beyond.
    static unsigned char three[3] = {'R', 'I', 'F'};
    console_from_ = vb::tx_count(test::kScreenUart);
    start_playback(three, sizeof three);
    ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 200 * test::kMs));
    const std::string one = "Starting playback: 1 samples, volume: 94/256\r\n";
    EXPECT_EQ(head(console(), one), one);

    // A RIFF file without a "data" chunk: the whole file, header included.
    static Clip no_data;
    make_wav(no_data, ramp(10), 20);
    memcpy(no_data.bytes + 36, "dat!", 4);
    console_from_ = vb::tx_count(test::kScreenUart);
    play(no_data);
    const std::string whole = "Starting playback: 32 samples, volume: 94/256\r\n";
    EXPECT_EQ(head(console(), whole), whole);
}

TEST_F(AudioTest, SampleDataAtAnOddAddressIsNotRead) {
    init();
    static Clip clip;
    make_wav(clip, ramp(20), 40);
    // A "data" identifier one byte early: the samples would start at byte 43.
    memcpy(clip.bytes + 35, "data", 4);
    play(clip);
    EXPECT_EQ(console(), "Starting playback: 0 samples, volume: 0/256\r\nPlayback complete\r\n");
}

TEST_F(AudioTest, ChunkBoundariesAtAndBelow512) {
    init();
    status.out.volume = 100;
    size_t from = 0;
    for (const size_t n : {size_t{1024}, size_t{512}, size_t{300}, size_t{513}}) {
        static Clip clip;
        make_wav(clip, ramp(n), static_cast<uint32_t>(2 * n));
        play(clip);
        const auto frames = vb::i2s_frames(from);
        const size_t leftover = from == 0 ? 0 : kLeftOver;
        ASSERT_EQ(frames.size(), leftover + n + kSilenceHeard) << n;
        expect_stream(frames, leftover, ramp(n), 94);
        from = vb::i2s_frame_count();
    }
    EXPECT_TRUE(vb::pio_gaps().empty());
}

// Interrupts masked (as during a flash write) hold the refill back: the
// state machine runs dry and waits, then the sound goes on where it stopped.
TEST_F(AudioTest, MaskedInterruptsPauseTheSoundWithoutLosingSamples) {
    init();
    status.out.volume = 100;
    status.out.audio = AUDIO_ONCE_1;
    audio_poll();
    poll_for_us(300 * test::kMs);
    const uint32_t saved = save_and_disable_interrupts();
    vb::advance_us(40 * test::kMs);
    restore_interrupts(saved);
    ASSERT_TRUE(poll_until_console_has("Playback complete\r\n", 1, 3000 * test::kMs));
    const auto gaps = vb::pio_gaps();
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_GE(gaps[0].to_ns - gaps[0].from_ns, 5 * test::kMs * 1000);
    const auto clip = samples_of(sound_cabinet_is_unlocked, sound_cabinet_is_unlocked_len);
    expect_stream(vb::i2s_frames(), 0, clip, 94);
}

}  // namespace
