// Calendar arithmetic of the local clock and its UTC copy, checked against
// GNU date run as a separate program.
#include <gtest/gtest.h>

#include "platform/rtclock.h"
#include "tests/platform/time_fixture.h"

namespace {

using CalendarTest = TimeTest;

TEST_F(CalendarTest, UtcGetAgreesWithDate) {
    const char* dates[] = {
        "1970-01-01 00:00:00", "1972-02-29 12:00:00", "1999-12-31 23:59:59", "2000-01-01 00:00:00",
        "2000-02-29 12:34:56", "2000-03-01 00:00:00", "2001-01-01 00:00:00", "2023-02-28 23:59:59",
        "2024-02-29 00:00:00", "2024-12-31 23:59:59", "2036-12-31 23:59:59", "2038-01-19 03:14:08",
        "2100-02-28 23:59:59", "2100-03-01 00:00:00", "2400-02-29 06:00:00",
    };
    for (const char* text : dates) {
        u16 r[6];
        ParseRecord(text, r);
        u64 seconds = 0;
        ASSERT_EQ(UtcGet(r, &seconds), 1) << text;
        EXPECT_EQ(static_cast<i64>(seconds), DateEpoch(text)) << text;
    }
    u16 r[6];
    ParseRecord("2000-03-01 00:00:00", r);
    u64 seconds = 0;
    UtcGet(r, &seconds);
    EXPECT_EQ(seconds, 951868800u);

    // No date from 1970 on: refused, the output left alone.
    const char* refused[] = {"1969-12-31 23:59:59", "2021-13-01 00:00:00", "2021-00-10 00:00:00",
                             "2021-05-00 00:00:00", "2021-05-32 00:00:00"};
    for (const char* text : refused) {
        ParseRecord(text, r);
        seconds = 77;
        EXPECT_EQ(UtcGet(r, &seconds), 0) << text;
        EXPECT_EQ(seconds, 77u) << text;
    }
    EXPECT_EQ(UtcGet(nullptr, &seconds), 0);
}

TEST_F(CalendarTest, UtcSetAgreesWithDateWithinItsYears) {
    const char* dates[] = {"1970-01-01 00:00:00", "1999-12-31 23:59:59", "2000-02-29 23:59:59",
                           "2000-03-01 00:00:00", "2000-12-31 23:59:59", "2024-02-29 13:14:15",
                           "2035-06-30 12:00:00", "2036-12-31 23:59:59"};
    for (const char* text : dates) {
        const i64 s = DateEpoch(text);
        UtcStamp stamp{static_cast<u32>(s), 999};
        u16 r[6] = {};
        UtcUpdated = 0;
        ASSERT_EQ(UtcSet(&stamp, r), 1) << text;
        EXPECT_EQ(RecordText(r), DateText(s)) << text;
        EXPECT_EQ(UtcUpdated, 1);
    }

    // Milliseconds of a second or more carry into the seconds.
    const i64 s = DateEpoch("2000-02-28 23:59:59");
    UtcStamp stamp{static_cast<u32>(s), 2500};
    u16 r[6];
    ASSERT_EQ(UtcSet(&stamp, r), 1);
    EXPECT_EQ(RecordText(r), DateText(s + 2));
    EXPECT_EQ(RecordText(r), "2000-02-29 00:00:01");
    EXPECT_EQ(stamp.seconds, static_cast<u32>(s + 2));
    EXPECT_EQ(stamp.milliseconds, 500u);

    // Past 2036 the UTC form is refused; nothing is written or flagged.
    for (i64 late : {DateEpoch("2037-01-01 00:00:00"), DateEpoch("2106-02-07 06:28:15")}) {
        UtcStamp st{static_cast<u32>(late), 0};
        u16 kept[6] = {1, 2, 3, 4, 5, 2020};
        UtcUpdated = 0;
        EXPECT_EQ(UtcSet(&st, kept), 0) << late;
        EXPECT_EQ(RecordText(kept), "2020-05-04 03:02:01");
        EXPECT_EQ(UtcUpdated, 0);
    }
    // The largest millisecond count cannot wrap the seconds.
    UtcStamp big{0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(UtcSet(&big, r), 0);
}

// One second of each clock at month and year ends: the local clock takes
// February 29 whenever year & 3 is 0, UTC follows the Gregorian rule.
TEST_F(CalendarTest, OneSecondStepsAtMonthAndYearEnds) {
    struct Case {
        const char* start;
        const char* localNext;  // nullptr: what date says
    } cases[] = {
        {"1999-12-31 23:59:59", nullptr}, {"2000-02-28 23:59:59", nullptr}, {"2000-02-29 23:59:59", nullptr},
        {"2023-02-28 23:59:59", nullptr}, {"2024-02-28 23:59:59", nullptr}, {"2024-04-30 23:59:59", nullptr},
        {"2024-06-30 23:59:59", nullptr}, {"2025-12-31 23:59:59", nullptr}, {"2021-03-05 10:59:59", nullptr},
        {"2099-12-31 23:59:59", nullptr}, {"2100-02-28 23:59:59", "2100-02-29 00:00:00"},
    };
    for (const Case& c : cases) {
        const std::string byDate = DateText(DateEpoch(c.start) + 1);
        const std::string localNext = c.localNext ? c.localNext : byDate;

        // Straight into the device (the local clock cannot be set past 2099,
        // only run into 2100), then a restart reads it.
        const RTCTime start = LocalFrom(c.start);
        Rtc_Reset();
        ASSERT_TRUE(RtcDev_Open());
        ASSERT_TRUE(RtcDev_SetTime(
            RtcDevTime{start.second, start.minute, start.hour, start.day, start.month - 1, start.year - 1900}));
        RtcDev_Close();
        RTCTime t{};
        RtcGet(&t);
        ASSERT_EQ(LocalText(t), c.start);
        u16 utcStart[6];
        ASSERT_EQ(SyncUtcWithRtc(&t, utcStart, 0, 0), 1);  // both clocks step together from now
        PutUtcRegisters(c.start);
        clock_.AdvanceTicks(9999);
        RtcGet(&t);
        u16 utc[6];
        UtcUpdate(utc);
        EXPECT_EQ(LocalText(t), c.start) << "not yet";
        EXPECT_EQ(RecordText(utc), c.start) << "not yet";

        clock_.AdvanceTicks(1);
        RtcGet(&t);
        UtcUpdate(utc);
        EXPECT_EQ(LocalText(t), localNext) << c.start;
        EXPECT_EQ(RecordText(utc), byDate) << c.start;
        EXPECT_EQ(UtcRegistersText(), byDate) << c.start;
        if (t.year <= 2099) {
            EXPECT_EQ(t.dayOfWeek, DateWeekday(byDate) + 1) << c.start;
        }
    }
}

TEST_F(CalendarTest, DayOfWeekAndLeapYearsAgreeWithDate) {
    const char* dates[] = {"1900-03-01", "1970-01-01", "2000-01-01", "2000-02-29", "2000-03-01",
                           "2021-03-05", "2024-12-31", "2099-12-31", "2100-03-01", "2400-02-29"};
    for (const char* d : dates) {
        u16 r[6];
        ParseRecord(std::string(d) + " 00:00:00", r);
        EXPECT_EQ(DayOfWeek(r[5], r[4], r[3]), DateWeekday(d)) << d;
    }
    for (u16 year : {1900, 1996, 2000, 2023, 2024, 2100, 2400}) {
        const bool byDate = RunDate("-d '" + std::to_string(year) + "-02-28 +1 day' +%d") == "29";
        EXPECT_EQ(CheckLeap(year), byDate ? 1 : 0) << year;
    }
    EXPECT_EQ(DayOfWeek(2021, 0, 1), 0);
    EXPECT_EQ(DayOfWeek(2021, 13, 1), 0);
}

TEST_F(CalendarTest, ValidityOfLocalAndUtcRecords) {
    struct Case {
        const char* text;
        int local;  // RtcCheck
        int utc;    // UtcCheck with the Gregorian row
    } cases[] = {
        {"2024-02-29 23:59:59", 1, 1}, {"2023-02-29 00:00:00", 0, 0}, {"2024-02-30 00:00:00", 0, 0},
        {"2099-02-29 00:00:00", 0, 0}, {"2096-02-29 00:00:00", 1, 0}, {"2032-02-29 00:00:00", 1, 1}, {"2000-02-29 00:00:00", 1, 1}, {"2036-12-31 00:00:00", 1, 1},
        {"2037-01-01 00:00:00", 1, 0}, {"2099-12-31 00:00:00", 1, 0}, {"2100-01-01 00:00:00", 0, 0},
        {"0001-01-01 00:00:00", 1, 1}, {"0000-01-01 00:00:00", 0, 0}, {"2021-04-31 00:00:00", 0, 0},
        {"2021-00-10 00:00:00", 0, 0}, {"2021-13-10 00:00:00", 0, 0}, {"2021-05-00 00:00:00", 0, 0},
        {"2021-05-10 24:00:00", 0, 0}, {"2021-05-10 23:60:00", 0, 0}, {"2021-05-10 23:59:60", 0, 0},
    };
    for (const Case& c : cases) {
        const RTCTime t = LocalFrom(c.text);
        u16 r[6];
        ParseRecord(c.text, r);
        EXPECT_EQ(RtcCheck(&t), c.local) << c.text;
        EXPECT_EQ(UtcCheck(r, CheckLeap(r[5])), c.utc) << c.text;
    }
    EXPECT_EQ(RtcCheck(nullptr), 0);
    EXPECT_EQ(UtcCheck(nullptr, 0), 0);
}

// Both synchronisations, against date: UTC = local - offset - 60 * dst, and
// back again. Offsets of a day or more carry over whole days.
TEST_F(CalendarTest, SynchronisationsAgreeWithDate) {
    struct Case {
        const char* local;
        i16 offset;
        u8 dst;
    } cases[] = {
        {"2021-03-05 12:00:00", -300, 1},   // UTC 16:00
        {"2023-03-01 00:30:00", 60, 0},     // UTC 28 February 23:30
        {"2024-03-01 00:30:00", 60, 0},     // UTC 29 February 23:30
        {"2000-03-01 00:30:00", 60, 0},
        {"2020-12-31 23:30:00", -60, 0},    // UTC 1 January 00:30 of the next year
        {"2021-02-01 00:30:17", 60, 0},     // UTC 31 January 23:30:17
        {"2021-12-31 23:59:59", -720, 0},
        {"2022-01-01 00:10:00", 840, 1},
        {"2024-02-29 10:00:00", 2000, 0},
        {"2024-03-01 01:00:00", -1500, 1},
        {"2021-06-15 08:00:00", 32767, 0},
        {"2021-06-15 08:00:00", -32768, 1},
        {"2099-12-31 23:30:00", -60, 0},
    };
    for (const Case& c : cases) {
        const i64 shift = c.offset + (c.dst ? 60 : 0);
        const std::string utcText = DateText(DateEpoch(c.local) - shift * 60);
        const RTCTime local = LocalFrom(c.local);
        u16 utc[6] = {};
        ASSERT_EQ(SyncUtcWithRtc(&local, utc, c.offset, c.dst), 1) << c.local;
        EXPECT_EQ(RecordText(utc), utcText) << c.local << " offset " << c.offset;

        RTCTime back{};
        u16 utcIn[6];
        ParseRecord(utcText, utcIn);
        ASSERT_EQ(SyncRtcWithUtc(&back, utcIn, c.offset, c.dst), 1) << c.local;
        EXPECT_EQ(LocalText(back), c.local) << "from UTC " << utcText;
        EXPECT_EQ(back.dayOfWeek, DateWeekday(c.local) + 1) << c.local;
        RTCTime clock{};
        RtcGet(&clock);
        EXPECT_EQ(LocalText(clock), c.local) << "the clock was set";
    }

    // Local 2100 has no clock to set, but the conversion to UTC follows the
    // Gregorian rule.
    const RTCTime local = LocalFrom("2100-03-01 00:30:00");
    u16 utc[6];
    ASSERT_EQ(SyncUtcWithRtc(&local, utc, 60, 0), 1);
    EXPECT_EQ(RecordText(utc), DateText(DateEpoch("2100-03-01 00:30:00") - 3600));
    EXPECT_EQ(RecordText(utc), "2100-02-28 23:30:00");
}

TEST_F(CalendarTest, SynchronisationsRefuseNonsenseWithoutSideEffects) {
    RTCTime clock = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&clock), 1);
    RtcUpdated = NTP_UserModifiedTime = 0;
    u16 bad[6];
    ParseRecord("2021-13-05 12:00:00", bad);
    RTCTime out = LocalFrom("2001-01-01 00:00:00");
    EXPECT_EQ(SyncRtcWithUtc(&out, bad, 0, 0), 0);
    EXPECT_EQ(LocalText(out), "2001-01-01 00:00:00");
    // A result past the local clock's years is refused by the clock.
    u16 late[6];
    ParseRecord("2099-12-31 23:30:00", late);
    EXPECT_EQ(SyncRtcWithUtc(&out, late, 60, 0), 0);
    EXPECT_EQ(LocalText(out), "2001-01-01 00:00:00");
    RtcGet(&clock);
    EXPECT_EQ(LocalText(clock), "2021-03-05 12:00:00");
    EXPECT_EQ(NTP_UserModifiedTime, 0);

    u16 utc[6] = {9, 9, 9, 9, 9, 9};
    const RTCTime nonsense = LocalFrom("2021-05-10 25:00:00");
    EXPECT_EQ(SyncUtcWithRtc(&nonsense, utc, 0, 0), 0);
    EXPECT_EQ(utc[0], 9);
    EXPECT_EQ(SyncUtcWithRtc(nullptr, utc, 0, 0), 0);
    EXPECT_EQ(SyncRtcWithUtc(nullptr, utc, 0, 0), 0);
}

}  // namespace
