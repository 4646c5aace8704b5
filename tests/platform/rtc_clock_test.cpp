// The battery-backed clock stand-in, the clock step of each scan, time zone
// and daylight saving.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/rtclock.h"
#include "tests/platform/time_fixture.h"

namespace {

using RtcClockTest = TimeTest;

RTCTime Read() {
    RTCTime t{};
    RtcGet(&t);
    return t;
}

TEST_F(RtcClockTest, ClockKeepsItsTimeAcrossARestartWithoutTouchingTheHost) {
    const i64 hostBefore = Clock_UtcNs();
    const RTCTime set = LocalFrom("2030-06-15 10:20:30");
    ASSERT_EQ(RtcSet(&set), 1);
    EXPECT_EQ(Clock_UtcNs(), hostBefore) << "the host clock is never set";
    EXPECT_TRUE(std::filesystem::exists(root_.Path(kRtcOffsetFile)));

    clock_.AdvanceMs(2000);
    Rtc_Reset();  // restart: the module forgets, the device keeps counting
    clock_.AdvanceMs(3000);
    RTCTime t = Read();
    EXPECT_EQ(LocalText(t), "2030-06-15 10:20:35");
    EXPECT_EQ(t.dayOfWeek, DateWeekday("2030-06-15") + 1);

    // Between reads the module's copy counts on the free-running counter.
    clock_.AdvanceTicks(25000);
    EXPECT_EQ(LocalText(Read()), "2030-06-15 10:20:36");
    EXPECT_EQ(LocalText(Read()), "2030-06-15 10:20:37") << "catches up one second per read";
    EXPECT_EQ(LocalText(Read()), "2030-06-15 10:20:37");
}

TEST_F(RtcClockTest, HostClockStaysWhereItWasOnTheRealClock) {
    Clock_UseReal();
    const std::time_t before = std::time(nullptr);
    for (const char* text : {"1999-01-01 00:00:00", "2090-12-31 12:00:00"}) {
        const RTCTime t = LocalFrom(text);
        ASSERT_EQ(RtcSet(&t), 1) << text;
        EXPECT_EQ(LocalText(Read()).substr(0, 10), std::string(text).substr(0, 10));
    }
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(after, before);
    EXPECT_LT(after - before, 60);
    Clock_UseManual(1000ull * 1000000000ull, 1614945600ll * 1000000000ll);  // the fixture's clock again
}

TEST_F(RtcClockTest, DeviceYearsBefore1996ReadAs1996AndDamagedOffsetsAsHostTime) {
    const RTCTime old = LocalFrom("1990-07-04 08:00:00");
    ASSERT_EQ(RtcSet(&old), 1);
    Rtc_Reset();
    EXPECT_EQ(LocalText(Read()), "1996-07-04 08:00:00");

    std::ofstream(root_.Path(kRtcOffsetFile), std::ios::binary | std::ios::trunc) << "abc";
    Rtc_Reset();
    EXPECT_EQ(LocalText(Read()), "2021-03-05 12:00:00") << "the manual clock's host time";
}

TEST_F(RtcClockTest, MissingDeviceLeavesEverythingAlone) {
    RtcDev_SetMissing(true);
    RTCTime t = LocalFrom("2001-02-03 04:05:06");
    RtcGet(&t);
    EXPECT_EQ(LocalText(t), "2001-02-03 04:05:06");
    SR_Put(4, 0x200);
    EXPECT_EQ(RtcSet(&t), 0);
    EXPECT_EQ(RtcTimeSet(1, 2, 3), 0);
    EXPECT_EQ(RtcDateSet(1, 2, 2003), 0);
    EXPECT_EQ(SR_Get(4), 0x200);
    EXPECT_EQ(RtcUpdated | NTP_UserModifiedTime, 0);
    EXPECT_FALSE(std::filesystem::exists(root_.Path(kRtcOffsetFile)));

    for (int i = 0; i < 7; ++i) SR_Put(44 + i, static_cast<u16>(i + 1));
    RtcScanStep();
    EXPECT_EQ(SR_Get(44), 1);
    EXPECT_EQ(SR_Get(49), 6);

    RtcDev_SetMissing(false);
    EXPECT_EQ(RtcSet(&t), 1);
}

TEST_F(RtcClockTest, SetFailsWhenTheTimeCannotBeStored) {
    const RTCTime before = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&before), 1);
    RtcUpdated = NTP_UserModifiedTime = 0;
    // The folder of the offset file replaced by a plain file.
    const std::string dir = root_.Path("/mnt/rtc");
    std::filesystem::remove_all(dir);
    std::ofstream(dir) << "x";
    const RTCTime t = LocalFrom("2030-01-01 00:00:00");
    EXPECT_EQ(RtcSet(&t), 0);
    EXPECT_EQ(RtcUpdated | NTP_UserModifiedTime, 0);
    EXPECT_EQ(LocalText(Read()), "2021-03-05 12:00:00");
}

TEST_F(RtcClockTest, SetRefusesInvalidTimesWithoutSideEffects) {
    const RTCTime good = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&good), 1);
    SR_Put(4, 0x201);
    RtcUpdated = NTP_UserModifiedTime = 0;
    const char* bad[] = {"2021-03-05 12:00:60", "2021-03-05 12:60:00", "2021-03-05 24:00:00",
                         "2023-02-29 12:00:00", "2021-04-31 12:00:00", "2021-13-01 12:00:00",
                         "2021-00-01 12:00:00", "2100-01-01 12:00:00", "0000-01-01 12:00:00"};
    for (const char* text : bad) {
        const RTCTime t = LocalFrom(text);
        EXPECT_EQ(RtcSet(&t), 0) << text;
    }
    EXPECT_EQ(RtcTimeSet(0, 0, 24), 0);
    EXPECT_EQ(RtcDateSet(29, 2, 2023), 0);
    EXPECT_EQ(SR_Get(4), 0x201);
    EXPECT_EQ(RtcUpdated | NTP_UserModifiedTime, 0);
    EXPECT_EQ(LocalText(Read()), "2021-03-05 12:00:00");

    // Partial sets replace only their fields; a good set clears "defaulted".
    EXPECT_EQ(RtcTimeSet(7, 8, 9), 1);
    EXPECT_EQ(LocalText(Read()), "2021-03-05 09:08:07");
    EXPECT_EQ(RtcDateSet(29, 2, 2024), 1);
    EXPECT_EQ(LocalText(Read()), "2024-02-29 09:08:07");
    EXPECT_EQ(SR_Get(4), 0x001);
    EXPECT_EQ(RtcUpdated, 1);
    EXPECT_EQ(NTP_UserModifiedTime, 1);
}

// The zone and daylight-saving state the start-up leaves behind.
void StartZone(i16 offset, bool dst) {
    ESR_Put(18, static_cast<u16>(offset));
    ESR_Put(19, dst ? 1 : 0);
    timezoneValue = offset;
    dstActive = dst ? 1 : 0;
}

TEST_F(RtcClockTest, UserSetLocalTimeMovesUtcAndRequestsTheSystemTime) {
    StartZone(-300, true);
    const RTCTime noon = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&noon), 1);
    RtcScanStep();
    EXPECT_EQ(SrClockText(), "2021-03-05 12:00:00");
    EXPECT_EQ(SR_Get(50), DateWeekday("2021-03-05") + 1);
    EXPECT_EQ(UtcRegistersText(), "2021-03-05 16:00:00");
    u64 system = 0;
    ASSERT_TRUE(Rtc_RequestedSystemTime(&system));
    EXPECT_EQ(static_cast<i64>(system), DateEpoch("2021-03-05 16:00:00"));
    EXPECT_EQ(NTP_UserModifiedTime, 0);
    EXPECT_EQ(RtcUpdated, 0);

    // Both clocks run on together.
    clock_.AdvanceMs(61000);
    for (int i = 0; i < 61; ++i) RtcScanStep();
    EXPECT_EQ(SrClockText(), "2021-03-05 12:01:01");
    EXPECT_EQ(UtcRegistersText(), "2021-03-05 16:01:01");
    EXPECT_EQ(Rtc_SystemTimeRequests(), 1u);
}

TEST_F(RtcClockTest, SystemTimeWaitsForARunningProgrammingCommand) {
    const RTCTime t = LocalFrom("2022-08-01 06:30:00");
    ASSERT_EQ(RtcSet(&t), 1);
    CmdRun = 7;
    RtcScanStep();
    EXPECT_EQ(UtcRegistersText(), "2022-08-01 06:30:00");
    EXPECT_FALSE(Rtc_RequestedSystemTime(nullptr));
    EXPECT_EQ(NTP_UserModifiedTime, 1);
    RtcScanStep();
    EXPECT_FALSE(Rtc_RequestedSystemTime(nullptr));

    CmdRun = 255;
    RtcScanStep();
    u64 system = 0;
    ASSERT_TRUE(Rtc_RequestedSystemTime(&system));
    EXPECT_EQ(static_cast<i64>(system), DateEpoch("2022-08-01 06:30:00"));
    EXPECT_EQ(NTP_UserModifiedTime, 0);
}

TEST_F(RtcClockTest, NewZoneOrOutsideUtcMovesTheLocalClockAndKeepsUtc) {
    StartZone(-300, true);
    const RTCTime noon = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&noon), 1);
    RtcScanStep();
    ASSERT_EQ(UtcRegistersText(), "2021-03-05 16:00:00");
    const u32 requests = Rtc_SystemTimeRequests();

    ESR_Put(18, 60);
    RtcScanStep();
    EXPECT_EQ(timezoneValue, 60);
    EXPECT_EQ(timezoneAdvance, 1);
    EXPECT_EQ(timezoneModField, 1);
    EXPECT_EQ(SrClockText(), "2021-03-05 18:00:00");
    EXPECT_EQ(UtcRegistersText(), "2021-03-05 16:00:00");
    EXPECT_EQ(LocalText(Read()), "2021-03-05 18:00:00") << "the clock device was set";

    ESR_Put(18, static_cast<u16>(-60));
    RtcScanStep();
    EXPECT_EQ(timezoneAdvance, 0);
    EXPECT_EQ(SrClockText(), "2021-03-05 16:00:00");

    // The time-server step writes UTC from outside.
    UtcStamp stamp{static_cast<u32>(DateEpoch("2022-01-01 00:30:00")), 0};
    u16 utc[6];
    ASSERT_EQ(UtcSet(&stamp, utc), 1);
    for (int i = 0; i < 6; ++i) ESR_Put(20 + i, utc[i]);
    RtcScanStep();
    EXPECT_EQ(SrClockText(), "2022-01-01 00:30:00");  // -60 + 60 of daylight saving
    ESR_Put(19, 0);
    RtcScanStep();
    EXPECT_EQ(SrClockText(), "2021-12-31 23:30:00");
    EXPECT_EQ(UtcRegistersText(), "2022-01-01 00:30:00");
    EXPECT_EQ(Rtc_SystemTimeRequests(), requests) << "only a user's setting asks for the system time";
}

TEST_F(RtcClockTest, DaylightSavingHourIsAppliedOncePerChange) {
    StartZone(0, false);
    const RTCTime t = LocalFrom("2021-12-31 23:30:00");
    ASSERT_EQ(RtcSet(&t), 1);
    RtcScanStep();
    ASSERT_EQ(UtcRegistersText(), "2021-12-31 23:30:00");

    ESR_Put(19, 1);
    for (int i = 0; i < 3; ++i) RtcScanStep();
    EXPECT_EQ(dstActive, 1);
    EXPECT_EQ(SrClockText(), "2022-01-01 00:30:00");
    EXPECT_EQ(UtcRegistersText(), "2021-12-31 23:30:00");

    ESR_Put(19, 0x0100);  // only the low byte counts
    for (int i = 0; i < 3; ++i) RtcScanStep();
    EXPECT_EQ(dstActive, 0);
    EXPECT_EQ(SrClockText(), "2021-12-31 23:30:00");
    EXPECT_EQ(UtcRegistersText(), "2021-12-31 23:30:00");
}

TEST_F(RtcClockTest, HostileUtcRegistersAreNeitherSteppedNorFollowed) {
    const RTCTime t = LocalFrom("2021-03-05 12:00:00");
    ASSERT_EQ(RtcSet(&t), 1);
    RtcScanStep();
    PutUtcRegisters("2021-02-31 99:00:00");
    UtcUpdated = 1;
    clock_.AdvanceMs(1000);
    RtcScanStep();
    EXPECT_EQ(UtcRegistersText(), "2021-02-31 99:00:00");
    EXPECT_EQ(SrClockText(), "2021-03-05 12:00:01");
    EXPECT_EQ(UtcUpdated, 0);
}

}  // namespace
