#include "status.h"

#include <gtest/gtest.h>

#include "board_test.h"
#include "door.h"
#include "pico/stdlib.h"

namespace {

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
        door_init();
        console_from_ = vb::tx_count(test::kScreenUart);
    }
    // Console text written since the last call, once it has left the UART.
    std::string console() {
        vb::advance_us(20 * test::kMs);
        std::string text = vb::tx_text(test::kScreenUart, console_from_);
        console_from_ = vb::tx_count(test::kScreenUart);
        return text;
    }
    size_t console_from_ = 0;
};

TEST_F(StatusTest, DefaultsAfterInit) {
    const status_t expected{{CABINET_DOOR_CLOSED, FOB_NONE, 0},
                            {MAGLOCK_ON, CABINET_LIGHTS_NORMAL, AUDIO_OFF, 0, FOB_CONFIG_NONE}};
    EXPECT_EQ(memcmp(&status, &expected, sizeof status), 0);
}

TEST_F(StatusTest, VolumeAloneIsNoChange) {
    status_load_outputs("LONNOROFFX050FCN");
    EXPECT_EQ(status.out.volume, 50);
    EXPECT_EQ(console(), "");
    status_load_outputs("LONNOROFFX050FCN");
    EXPECT_EQ(console(), "");
}

TEST_F(StatusTest, ChangeWritesOneDumpLineAndSwitchesTheLockAtOnce) {
    status_load_outputs("LOFNOROFFX050FCN");
    EXPECT_FALSE(vb::level(test::kMaglockPin));
    EXPECT_EQ(console(),
              "Door: CLOSED   Fob: NONE   Lock: UNLOCKED   Lights: NORMAL   Audio: OFF   Volume:  50%   "
              "Fob config: none   \r\n");
    status_load_outputs("LOFALMPL2X100FCP");
    EXPECT_EQ(status.out.lights, CABINET_LIGHTS_ALARM);
    EXPECT_EQ(status.out.audio, AUDIO_LOOP_2);
    EXPECT_EQ(status.out.fob_config, FOB_CONFIG_PAIR);
    EXPECT_EQ(console(),
              "Door: CLOSED   Fob: NONE   Lock: UNLOCKED   Lights: ALARM   Audio: Loop 2   Volume: 100%   "
              "Fob config: pair   \r\n");
}

TEST_F(StatusTest, EveryCodeOfEveryField) {
    const struct {
        const char *code;
        uint8_t value;
    } lights[] = {{"OFF", 0}, {"ALM", 1}, {"NOR", 2}, {"DMA", 3}, {"DMB", 4}, {"DMC", 5}},
      audio[] = {{"OFF", 0}, {"PO1", 1}, {"PO2", 2}, {"PO3", 3}, {"PO4", 4},
                 {"PL1", 5}, {"PL2", 6}, {"PL3", 7}, {"PL4", 8}},
      fob_config[] = {{"FCN", 0}, {"FCC", 1}, {"FCP", 2}};
    for (const auto &l : lights) {
        status_load_outputs((std::string("LON") + l.code + "OFFX050FCN").c_str());
        EXPECT_EQ(status.out.lights, l.value) << l.code;
    }
    for (const auto &a : audio) {
        status_load_outputs((std::string("LONNOR") + a.code + "X050FCN").c_str());
        EXPECT_EQ(status.out.audio, a.value) << a.code;
    }
    for (const auto &f : fob_config) {
        status_load_outputs((std::string("LONNOROFFX050") + f.code).c_str());
        EXPECT_EQ(status.out.fob_config, f.value) << f.code;
    }
}

TEST_F(StatusTest, UnknownCodesTakeTheFallbackNotThePreviousValue) {
    status_load_outputs("LOFDMCPL4X100FCP");
    status_load_outputs("                ");
    EXPECT_EQ(status.out.maglock, MAGLOCK_ON);
    EXPECT_EQ(status.out.lights, CABINET_LIGHTS_OFF);
    EXPECT_EQ(status.out.audio, AUDIO_OFF);
    EXPECT_EQ(status.out.volume, 0);
    EXPECT_EQ(status.out.fob_config, FOB_CONFIG_NONE);
    // Comparisons are case-sensitive; the other fields still apply.
    status_load_outputs("lofDMBPO3X080FCN");
    EXPECT_EQ(status.out.maglock, MAGLOCK_ON);
    EXPECT_EQ(status.out.lights, CABINET_LIGHTS_DEMO_B);
    EXPECT_EQ(status.out.audio, AUDIO_ONCE_3);
    EXPECT_EQ(status.out.volume, 80);
}

TEST_F(StatusTest, WrongLengthChangesNothing) {
    const status_t before = status;
    console();
    status_load_outputs("LOFALMPL2X100FC");
    status_load_outputs("LOFALMPL2X100FCPX");
    status_load_outputs("");
    EXPECT_EQ(memcmp(&status, &before, sizeof status), 0);
    EXPECT_EQ(console(), "");
}

TEST_F(StatusTest, VolumeKeepsTheLow8Bits) {
    const struct {
        const char *payload;
        uint8_t volume;
    } cases[] = {
        {"LONNOROFFX255FCN", 255}, {"LONNOROFFX256FCN", 0}, {"LONNOROFFX300FCN", 44},
        {"LONNOROFFX-01FCN", 255}, {"LONNOROFFXabcFCN", 0}, {"LONNOROFFX 7xFCN", 7},
        {"LONNOROFFX999999", 0x3F},  // atoi reads on into the fob field: 999999
    };
    for (const auto &c : cases) {
        status_load_outputs(c.payload);
        EXPECT_EQ(status.out.volume, c.volume) << c.payload;
    }
}

TEST_F(StatusTest, InputReport) {
    status.in.door = CABINET_DOOR_CLOSED;
    status.in.fob = FOB_NONE;
    status.in.total_fobs = 3;
    EXPECT_STREQ(status_get_inputs_string(), "DCLOOOF03V010B");
    status.in.door = CABINET_DOOR_OPEN;
    status.in.fob = FOB_UNLOCK;
    status.in.total_fobs = 0;
    EXPECT_STREQ(status_get_inputs_string(), "DOPFUNF00V010B");
    status.in.door = CABINET_DOOR_CLOSED;
    status.in.fob = FOB_LOCKDOWN;
    status.in.total_fobs = 12;
    EXPECT_STREQ(status_get_inputs_string(), "DCLFLOF0cV010B");
    status.in.total_fobs = 10;
    EXPECT_STREQ(status_get_inputs_string(), "DCLFLOF0aV010B");
    // Values outside their enumeration contribute nothing.
    status.in.door = static_cast<status_cabinet_door_t>(7);
    status.in.fob = static_cast<status_fob_t>(3);
    status.in.total_fobs = 255;
    EXPECT_STREQ(status_get_inputs_string(), "FffV010B");
}

TEST_F(StatusTest, DumpSkipsValuesOutsideTheirEnumeration) {
    status.in.door = static_cast<status_cabinet_door_t>(2);
    status.out.lights = static_cast<status_cabinet_lights_t>(9);
    status.out.volume = 7;
    status_dump();
    EXPECT_EQ(console(), "Fob: NONE   Lock: LOCKED   Audio: OFF   Volume:   7%   Fob config: none   \r\n");
}

}  // namespace
