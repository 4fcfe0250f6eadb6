#include <gtest/gtest.h>

#include <vector>

#include "clock.h"
#include "vclock.h"

namespace {

TEST(VirtualClock, SleepAdvancesAtOnceAndFiresEventsInOrder) {
    plat::VirtualClock clock(1000);
    std::vector<int> fired;
    clock.at(2.5, [&] { fired.push_back(25); });
    clock.at(1.0, [&] { fired.push_back(10); });
    clock.at(1.0, [&] { fired.push_back(11); });
    clock.at(9.0, [&] { fired.push_back(90); });
    plat::sleep(1);
    EXPECT_EQ(fired, (std::vector<int>{10, 11}));
    plat::sleep(2);
    EXPECT_EQ(fired, (std::vector<int>{10, 11, 25}));
    EXPECT_EQ(plat::now(), 1003);
    plat::usleep(500000);
    EXPECT_EQ(clock.elapsed_us(), 3500000u);
    EXPECT_EQ(clock.sleeps(), 3u);
}

TEST(VirtualClock, EventsSeeTheirOwnInstantAndMayScheduleMore) {
    plat::VirtualClock clock;
    double seen = -1;
    clock.at(2, [&] {
        seen = clock.elapsed();
        clock.at(3, [&] { seen = clock.elapsed(); });
    });
    plat::sleep(10);
    EXPECT_DOUBLE_EQ(seen, 3.0);
}

TEST(VirtualClock, RealClockReturnsWhenUninstalled) {
    {
        plat::VirtualClock clock(5);
        EXPECT_EQ(plat::now(), 5);
    }
    EXPECT_GT(plat::now(), 1700000000);
}

}  // namespace
