#include "door.h"

#include <gtest/gtest.h>

#include "board_test.h"
#include "status.h"

namespace {

constexpr uint64_t kPollEveryUs = 10;

class DoorTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
    }
    // Polls every kPollEveryUs for `us`.
    void poll_for(uint64_t us) {
        const uint64_t end = vb::now_us() + us;
        while (vb::now_us() < end) {
            door_poll();
            vb::advance_us(kPollEveryUs);
        }
    }
    // Time from now until the door field reads `door`, polling as the loop does.
    uint64_t us_until(status_cabinet_door_t door, uint64_t limit_us) {
        const uint64_t start = vb::now_us();
        while (status.in.door != door && vb::now_us() - start < limit_us) {
            door_poll();
            vb::advance_us(kPollEveryUs);
        }
        return vb::now_us() - start;
    }
};

TEST_F(DoorTest, FirstReadingIsTakenWithoutDebounce) {
    vb::drive_pin(test::kDoorPin, true);
    door_init();
    EXPECT_EQ(status.in.door, CABINET_DOOR_OPEN);
}

TEST_F(DoorTest, SensorWithNothingConnectedReadsClosed) {
    door_init();
    EXPECT_TRUE(vb::board().pins[test::kDoorPin].pull_down);
    EXPECT_FALSE(vb::board().pins[test::kDoorPin].pull_up);
    EXPECT_EQ(status.in.door, CABINET_DOOR_CLOSED);
}

TEST_F(DoorTest, MaglockFollowsTheOutputField) {
    door_init();
    EXPECT_TRUE(vb::level(test::kMaglockPin));
    status.out.maglock = MAGLOCK_OFF;
    door_update_maglock();
    EXPECT_FALSE(vb::level(test::kMaglockPin));
    status.out.maglock = MAGLOCK_ON;
    door_update_maglock();
    EXPECT_TRUE(vb::level(test::kMaglockPin));
}

TEST_F(DoorTest, NewLevelIsConfirmedAfter50ms) {
    door_init();
    poll_for(1000);
    vb::drive_pin(test::kDoorPin, true);
    const uint64_t took = us_until(CABINET_DOOR_OPEN, 200000);
    EXPECT_GE(took, 50000u);
    EXPECT_LE(took, 50000u + 2 * kPollEveryUs);
    vb::drive_pin(test::kDoorPin, false);
    const uint64_t back = us_until(CABINET_DOOR_CLOSED, 200000);
    EXPECT_GE(back, 50000u);
    EXPECT_LE(back, 50000u + 2 * kPollEveryUs);
}

TEST_F(DoorTest, ToggleEvery30msNeverChangesTheField) {
    door_init();
    for (int i = 0; i < 20; i++) {
        vb::drive_pin(test::kDoorPin, i % 2 == 0);
        poll_for(30000);
        ASSERT_EQ(status.in.door, CABINET_DOOR_CLOSED) << i;
    }
}

TEST_F(DoorTest, ShortPulseIsConfirmedAsTheOldLevel) {
    door_init();
    vb::drive_pin(test::kDoorPin, true);
    poll_for(20000);
    vb::drive_pin(test::kDoorPin, false);
    // The wait restarts at the return to low; then the field is rewritten closed.
    for (int i = 0; i < 10000; i++) {
        door_poll();
        vb::advance_us(kPollEveryUs);
        ASSERT_EQ(status.in.door, CABINET_DOOR_CLOSED);
    }
}

TEST_F(DoorTest, PulseBetweenTwoPollsIsNeverSeen) {
    door_init();
    door_poll();
    vb::drive_pin(test::kDoorPin, true);
    vb::advance_us(5);
    vb::drive_pin(test::kDoorPin, false);
    poll_for(100000);
    EXPECT_EQ(status.in.door, CABINET_DOOR_CLOSED);
}

}  // namespace
