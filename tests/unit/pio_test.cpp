// The two PIO programs as assembled, and the simulated PIO and DMA that run
// them: claims, timing, pacing, and a wrong program caught.
#include <gtest/gtest.h>

#include <vector>

#include "board_test.h"
#include "hardware/dma.h"
#include "hardware/irq.h"
#include "hardware/pio.h"
#include "pio_i2s_out.pio.h"
#include "vboard_sound.h"
#include "ws2815.pio.h"

namespace {

constexpr uint64_t kPixelNs = 30000;
constexpr uint64_t kFrameNs = 62500;

std::vector<uint16_t> words_of(const pio_program_t &p) {
    return std::vector<uint16_t>(p.instructions, p.instructions + p.length);
}

unsigned wrap_bottom(const pio_sm_config &c) {
    return (c.execctrl & PIO_SM0_EXECCTRL_WRAP_BOTTOM_BITS) >> PIO_SM0_EXECCTRL_WRAP_BOTTOM_LSB;
}
unsigned wrap_top(const pio_sm_config &c) {
    return (c.execctrl & PIO_SM0_EXECCTRL_WRAP_TOP_BITS) >> PIO_SM0_EXECCTRL_WRAP_TOP_LSB;
}
unsigned sideset_count(const pio_sm_config &c) {
    return (c.pinctrl & PIO_SM0_PINCTRL_SIDESET_COUNT_BITS) >> PIO_SM0_PINCTRL_SIDESET_COUNT_LSB;
}

TEST(PioProgramTest, AssembledWordsAreTheBoardsPrograms) {
    EXPECT_EQ(words_of(ws2815_program), (std::vector<uint16_t>{0x6221, 0x1123, 0x1400, 0xA442}));
    EXPECT_EQ(ws2815_program.origin, -1) << "relocatable";
    EXPECT_EQ(ws2815_wrap_target, 0);
    EXPECT_EQ(ws2815_wrap, 3);
    EXPECT_EQ(ws2815_T1 + ws2815_T2 + ws2815_T3, 10);
    EXPECT_EQ(words_of(pio_i2s_out_program),
              (std::vector<uint16_t>{0xA822, 0x6001, 0x0841, 0x7001, 0xB822, 0x7001, 0x1845, 0x6001}));
    EXPECT_EQ(pio_i2s_out_program.origin, -1);
    EXPECT_EQ(pio_i2s_out_wrap_target, 0);
    EXPECT_EQ(pio_i2s_out_wrap, 7);
    EXPECT_EQ(pio_encode_set(pio_y, 14), 0xE04Eu);
}

TEST(PioProgramTest, DefaultConfigurationsWrapAtTheLoadOffset) {
    const pio_sm_config ws = ws2815_program_get_default_config(24);
    EXPECT_EQ(wrap_bottom(ws), 24u);
    EXPECT_EQ(wrap_top(ws), 27u);
    EXPECT_EQ(sideset_count(ws), 1u);
    EXPECT_EQ(ws.execctrl & (PIO_SM0_EXECCTRL_SIDE_EN_BITS | PIO_SM0_EXECCTRL_SIDE_PINDIR_BITS), 0u);
    const pio_sm_config i2s = pio_i2s_out_program_get_default_config(24);
    EXPECT_EQ(wrap_bottom(i2s), 24u);
    EXPECT_EQ(wrap_top(i2s), 31u);
    EXPECT_EQ(sideset_count(i2s), 2u);
}

TEST(PioProgramTest, DividersRoundToTheNearest256thAt132MHz) {
    uint32_t div_int = 0;
    uint8_t frac = 0;
    pio_calculate_clkdiv8_from_float(132000000.0f / (800000.0f * 10), &div_int, &frac);
    EXPECT_EQ(div_int, 16u);
    EXPECT_EQ(frac, 128u);
    pio_calculate_clkdiv8_from_float(132000000.0f / 1024000.0f, &div_int, &frac);
    EXPECT_EQ(div_int, 128u);
    EXPECT_EQ(frac, 232u);
    // 2 + 0.7/256 rounds up, 2 + 0.3/256 down.
    pio_calculate_clkdiv8_from_float(2.0f + 0.7f / 256, &div_int, &frac);
    EXPECT_EQ(frac, 1u);
    pio_calculate_clkdiv8_from_float(2.0f + 0.3f / 256, &div_int, &frac);
    EXPECT_EQ(frac, 0u);
}

class PioModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
    }
    // A strip state machine as the lights set it up, on `pin`.
    void start_strip(PIO pio, uint sm, uint offset, uint pin) {
        gpio_set_function(pin, static_cast<gpio_function_t>(pio_get_funcsel(pio)));
        pio_sm_set_consecutive_pindirs(pio, sm, pin, 1, true);
        pio_sm_config c = ws2815_program_get_default_config(offset);
        sm_config_set_sideset_pins(&c, pin);
        sm_config_set_out_shift(&c, false, true, 24);
        sm_config_set_fifo_join(&c, PIO_FIFO_JOIN_TX);
        sm_config_set_clkdiv(&c, 16.5f);
        pio_sm_init(pio, sm, offset, &c);
        pio_sm_set_enabled(pio, sm, true);
    }
    // The I2S output as the audio sets it up, stopped.
    uint start_i2s() {
        const uint offset = static_cast<uint>(pio_add_program(pio0, &pio_i2s_out_program));
        for (uint pin = 0; pin < 3; pin++) gpio_set_function(pin, GPIO_FUNC_PIO0);
        pio_sm_set_consecutive_pindirs(pio0, 0, 0, 3, true);
        pio_sm_config c = pio_i2s_out_program_get_default_config(offset);
        sm_config_set_out_pins(&c, 0, 1);
        sm_config_set_sideset_pins(&c, 1);
        sm_config_set_out_shift(&c, false, true, 32);
        sm_config_set_fifo_join(&c, PIO_FIFO_JOIN_TX);
        sm_config_set_clkdiv_int_frac8(&c, 128, 232);
        pio_sm_init(pio0, 0, offset, &c);
        pio_sm_exec(pio0, 0, pio_encode_set(pio_y, 14));
        return offset;
    }
};

TEST_F(PioModelTest, ClaimsTryPio1BeforePio0AndLoadFromTheTop) {
    PIO pio = nullptr;
    uint sm = 99;
    uint offset = 99;
    for (uint i = 0; i < 4; i++) {
        ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 28, 1, true));
        EXPECT_EQ(pio, pio1);
        EXPECT_EQ(sm, i);
        EXPECT_EQ(offset, 28 - 4 * i);
    }
    ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 28, 1, true));
    EXPECT_EQ(pio, pio0);
    EXPECT_EQ(sm, 0u);
    EXPECT_EQ(offset, 28u);
    EXPECT_EQ(vb::pio_instruction(1, 17), 0x1123 + 16) << "jumps are moved by the load offset";
}

TEST_F(PioModelTest, AFullInstructionMemorySendsTheClaimOnAndGivesTheMachineBack) {
    static const uint16_t filler_words[30] = {};
    const pio_program_t filler{filler_words, 30, -1, 0};
    ASSERT_EQ(pio_add_program(pio1, &filler), 2);
    PIO pio = nullptr;
    uint sm = 0;
    uint offset = 0;
    ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 28, 1, true));
    EXPECT_EQ(pio, pio0);
    EXPECT_FALSE(pio_sm_is_claimed(pio1, 0));
}

TEST_F(PioModelTest, AStripMachineSendsAPixelEvery30Microseconds) {
    PIO pio = nullptr;
    uint sm = 0;
    uint offset = 0;
    ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 28, 1, true));
    start_strip(pio, sm, offset, 28);
    const uint64_t t0 = vb::now_ns();
    for (uint32_t i = 0; i < 20; i++) pio_sm_put_blocking(pio, sm, 0x01020000u | (i << 8) | 0xAB);
    // Nine pixels are taken at once (the FIFO's eight and the shift
    // register's one); each further put waits for a pixel to leave.
    const uint64_t took = vb::now_ns() - t0;
    EXPECT_GE(took, 11 * kPixelNs);
    EXPECT_LE(took, 11 * kPixelNs + 30 * vb::kCallCostNs);
    vb::advance_us(1000);
    const auto f = vb::strip_last_frame(28);
    EXPECT_EQ(f.words, 20u);
    EXPECT_EQ(f.end_ns - f.start_ns, 20 * kPixelNs);
    for (uint32_t i = 0; i < 20; i++) EXPECT_EQ(f.pixels[i], 0x01020000u | (i << 8)) << "the low byte is never sent";
}

TEST_F(PioModelTest, AFrameLatchesOnlyAfterTheLineRestsLow) {
    PIO pio = nullptr;
    uint sm = 0;
    uint offset = 0;
    ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 29, 1, true));
    start_strip(pio, sm, offset, 29);
    pio_sm_put_blocking(pio, sm, 0xFF000000);
    vb::advance_us(30 + 250);  // shorter than the latch time: the next word continues the frame
    pio_sm_put_blocking(pio, sm, 0x00FF0000);
    vb::advance_us(30 + 279);
    EXPECT_EQ(vb::strip_frame_count(29), 0u);
    vb::advance_us(2);
    ASSERT_EQ(vb::strip_frame_count(29), 1u);
    EXPECT_EQ(vb::strip_last_frame(29).pixels, (std::vector<uint32_t>{0xFF000000, 0x00FF0000}));
    EXPECT_EQ(vb::strip_pixels(29)[0], 0xFF000000u);
    EXPECT_EQ(vb::strip_pixels(29)[2], 0u);
}

TEST_F(PioModelTest, APinNotHandedToTheBlockShowsNothing) {
    PIO pio = nullptr;
    uint sm = 0;
    uint offset = 0;
    ASSERT_TRUE(pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, &pio, &sm, &offset, 28, 1, true));
    start_strip(pio, sm, offset, 28);
    gpio_set_function(28, GPIO_FUNC_PIO0);  // the other block
    for (int i = 0; i < 10; i++) pio_sm_put_blocking(pio, sm, 0xFFFFFF00);
    vb::advance_us(1000);
    EXPECT_EQ(vb::strip_frame_count(28), 0u);
}

TEST_F(PioModelTest, StartingAWrongProgramStopsTheBoard) {
    // One instruction off: a 1 bit of 6 cycles high instead of 7.
    static const uint16_t wrong_words[] = {0x6221, 0x1123, 0x1300, 0xA442};
    const pio_program_t wrong{wrong_words, 4, -1, 0};
    const uint offset = static_cast<uint>(pio_add_program(pio1, &wrong));
    EXPECT_THROW(start_strip(pio1, 0, offset, 28), vb::HaltException);
    EXPECT_EQ(vb::halt_message(), "PIO: a state machine was started on a program the board does not run");
}

TEST_F(PioModelTest, AWrongConfigurationStopsTheBoard) {
    const uint offset = static_cast<uint>(pio_add_program(pio1, &ws2815_program));
    pio_sm_config c = ws2815_program_get_default_config(offset);
    sm_config_set_sideset(&c, 2, true, false);
    pio_sm_init(pio1, 0, offset, &c);
    EXPECT_THROW(pio_sm_set_enabled(pio1, 0, true), vb::HaltException);

    start_i2s();
    pio_sm_exec(pio0, 0, pio_encode_set(pio_y, 15));
    EXPECT_THROW(pio_sm_set_enabled(pio0, 0, true), vb::HaltException);
    EXPECT_EQ(vb::halt_message(), "PIO: pio_i2s_out started with Y not holding 14");
}

std::vector<uint64_t> handler_times;
int handler_channel = -1;

void record_completion() {
    handler_times.push_back(vb::now_ns());
    dma_channel_acknowledge_irq0(static_cast<uint>(handler_channel));
}

TEST_F(PioModelTest, ADmaChannelPacedByTheI2sFifoCompletesWhenItsLastWordGoesIn) {
    handler_times.clear();
    start_i2s();
    static uint32_t buffer[100];
    for (uint32_t i = 0; i < 100; i++) buffer[i] = (i << 16) | (0xFFFF - i);
    handler_channel = dma_claim_unused_channel(true);
    const uint chan = static_cast<uint>(handler_channel);
    dma_channel_config c = dma_channel_get_default_config(chan);
    channel_config_set_dreq(&c, pio_get_dreq(pio0, 0, true));
    dma_channel_set_irq0_enabled(chan, true);
    irq_set_exclusive_handler(DMA_IRQ_0, record_completion);
    irq_set_enabled(DMA_IRQ_0, true);
    pio_sm_set_enabled(pio0, 0, true);
    dma_channel_configure(chan, &c, &pio0->txf[0], buffer, 100, true);
    EXPECT_TRUE(dma_channel_is_busy(chan));
    // Read as the words move: a change after the start is what is heard.
    buffer[99] = 0x12345678;
    dma_channel_wait_for_finish_blocking(chan);
    const auto frames = vb::i2s_frames();
    ASSERT_EQ(frames.size(), 100u - 8 - 1);  // 8 still in the FIFO, one still shifting
    // The ninth word left the FIFO's room for the 100th 91 frames after the first.
    ASSERT_EQ(handler_times.size(), 1u);
    EXPECT_EQ(handler_times[0], frames[0].t_ns + 91 * kFrameNs);
    vb::advance_us(1000);
    const auto all = vb::i2s_frames();
    ASSERT_EQ(all.size(), 100u);
    for (uint32_t i = 0; i < 99; i++) {
        EXPECT_EQ(all[i].left, static_cast<int16_t>(i));
        EXPECT_EQ(all[i].right, static_cast<int16_t>(0xFFFF - i));
        if (i > 0) {
            EXPECT_EQ(all[i].t_ns - all[i - 1].t_ns, kFrameNs);
        }
    }
    EXPECT_EQ(all[99].left, 0x1234);
    // The machine ran dry after the last word: not a gap, as nothing followed.
    EXPECT_TRUE(vb::pio_gaps().empty());
}

}  // namespace
