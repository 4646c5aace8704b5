// Calendar schedules against the clock registers.
#include <gtest/gtest.h>

#include <random>

#include "core/plc_regs.h"
#include "ladder/schedule.h"
#include "testsupport/reg_fixture.h"

namespace {

void SetClock(u16 hour, u16 minute, u16 day = 15, u16 month = 6, u16 year = 2024, u16 weekday = 3) {
    SR_Put(44, 30);
    SR_Put(45, minute);
    SR_Put(46, hour);
    SR_Put(47, day);
    SR_Put(48, month);
    SR_Put(49, year);
    SR_Put(50, weekday);
}

class Schedule : public ::testing::Test {
protected:
    RegFixture regs;
};

TEST_F(Schedule, TimeOfDayCases) {
    struct Case {
        u32 sh, sm, eh, em;
        u16 hour, minute;
        int expect;
    };
    const Case cases[] = {
        {22, 0, 6, 0, 23, 30, 1}, {22, 0, 6, 0, 5, 59, 1}, {22, 0, 6, 0, 6, 0, 0}, {22, 0, 6, 0, 21, 59, 0},
        {22, 0, 6, 0, 22, 0, 1},  {8, 0, 8, 0, 8, 0, 0},   {8, 0, 8, 0, 3, 0, 0},  {8, 0, 17, 30, 17, 29, 1},
        {8, 0, 17, 30, 17, 30, 0}, {0, 0, 23, 59, 23, 59, 0}, {24, 0, 6, 0, 2, 0, 0}, {22, 60, 6, 0, 23, 0, 0},
        {22, 0, 24, 0, 23, 0, 0},  {22, 0, 6, 60, 23, 0, 0},  {0xFFFFFFFFu, 0, 6, 0, 3, 0, 0},
    };
    for (const auto& c : cases) {
        SetClock(c.hour, c.minute);
        EXPECT_EQ(Q4Schedule_TimeOfDay(c.sh, c.sm, c.eh, c.em), c.expect)
            << c.sh << ":" << c.sm << "-" << c.eh << ":" << c.em << " at " << c.hour << ":" << c.minute;
    }
}

// Every minute of the day for random windows, against the window measured
// as a distance from its start modulo a day.
TEST_F(Schedule, EveryMinuteOfRandomWindows) {
    std::mt19937 rng(5);
    for (int w = 0; w < 40; ++w) {
        const u32 start = rng() % 1440, stop = w < 4 ? start : rng() % 1440;
        const u32 length = (stop + 1440 - start) % 1440;
        for (u32 now = 0; now < 1440; ++now) {
            SetClock(static_cast<u16>(now / 60), static_cast<u16>(now % 60));
            const int expect = ((now + 1440 - start) % 1440) < length ? 1 : 0;
            ASSERT_EQ(Q4Schedule_TimeOfDay(start / 60, start % 60, stop / 60, stop % 60), expect)
                << start << "-" << stop << " at " << now;
        }
    }
}

TEST_F(Schedule, CalendarMasks) {
    for (u16 weekday = 1; weekday <= 7; ++weekday) {
        SetClock(12, 0, 15, 6, 2024, weekday);
        EXPECT_EQ(Q4Schedule_DayOfWeek(0x7F), 1);
        EXPECT_EQ(Q4Schedule_DayOfWeek(128 | 0x7F), 0);
        EXPECT_EQ(Q4Schedule_DayOfWeek(1u << (weekday - 1)), 1);
        EXPECT_EQ(Q4Schedule_DayOfWeek(0x7F & ~(1u << (weekday - 1))), 0);
    }
    SetClock(12, 0, 15, 6, 2024, 0);  // a day of week outside 1-7
    EXPECT_EQ(Q4Schedule_DayOfWeek(0x7F), 0);

    SetClock(12, 0, 31, 12);
    EXPECT_EQ(Q4Schedule_DayOfMonth(1 << 30), 1);
    EXPECT_EQ(Q4Schedule_DayOfMonth(static_cast<i32>(0x80000000u)), 0);
    EXPECT_EQ(Q4Schedule_DayOfMonth(static_cast<i32>(0xC0000000u)), 0);
    EXPECT_EQ(Q4Schedule_DayOfMonth(0x3FFFFFFF), 0);
    SetClock(12, 0, 1, 12);
    EXPECT_EQ(Q4Schedule_DayOfMonth(1), 1);
    SetClock(12, 0, 40, 12);  // no such day
    EXPECT_EQ(Q4Schedule_DayOfMonth(0x7FFFFFFF), 0);

    SetClock(12, 0, 1, 12);
    EXPECT_EQ(Q4Schedule_MonthOfYear(0x800), 1);
    EXPECT_EQ(Q4Schedule_MonthOfYear(0x7FF), 0);
    EXPECT_EQ(Q4Schedule_MonthOfYear(4096 | 0x800), 0);
    SetClock(12, 0, 1, 0);
    EXPECT_EQ(Q4Schedule_MonthOfYear(4095), 0);
}

TEST_F(Schedule, YearRange) {
    struct Case {
        u32 first, last;
        u16 year;
        int expect;
    };
    const Case cases[] = {
        {1999, 2030, 2024, 0}, {2000, 2100, 2000, 1}, {2000, 2100, 2100, 1}, {2000, 2101, 2024, 0},
        {2025, 2030, 2024, 0}, {2020, 2024, 2024, 1}, {2024, 2024, 2024, 1}, {2030, 2020, 2024, 0},
    };
    for (const auto& c : cases) {
        SetClock(12, 0, 1, 1, c.year);
        const u32 years = c.first | (c.last << 16);
        EXPECT_EQ(Q4Schedule_Year(&years), c.expect) << c.first << "-" << c.last << " in " << c.year;
    }
}

}  // namespace
