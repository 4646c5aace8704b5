// Date, time, application control and diagnostics.
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4stfdate.h"
#include "platform/rtcdev.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"
#include "tests/iecstf/stf_fixture.h"

namespace {

using namespace stf;

TEST(DateFunctions, SplitStampsIntoFields) {
    const u32 date = Q4DateStamp(2026, 12, 8);
    const std::vector<std::tuple<u16, i32, i32>> cases = {
        {122, static_cast<i32>(date), 2026}, {121, static_cast<i32>(date), 12}, {120, static_cast<i32>(date), 8},
        {122, -1, 0xFFFF},                   {125, 45296789, 12},              {124, 45296789, 34},
        {123, 45296789, 56},                 {126, 45296789, 789},             {125, -1500, 0},
        {124, -1500, 0},                     {123, -1500, -1},                 {126, -1500, -500},
        {125, -7200000, -2},                 {124, -7260000, -1},
    };
    for (auto [slot, in, expect] : cases)
        for (bool locked : {false, true}) {
            Call c(slot, {Di(77), Di(in)});
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(static_cast<i32>(c.Get(0)), locked ? 77 : expect) << slot << " " << in;
        }
}

// The stamps and texts read the controller's clock: host UTC plus the offset
// the clock device keeps (set here as a user sets the local time); the host's
// own zone plays no part. Compared with Python's datetime for a zone without
// and one with daylight saving, across midnight and a year end.
class ClockFunctions : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        oldTz_ = tz ? tz : "";
        hadTz_ = tz != nullptr;
        setenv("TZ", "America/New_York", 1);
        tzset();
        ASSERT_TRUE(RtcDev_Open());
    }
    void TearDown() override {
        RtcDev_Close();
        if (hadTz_) setenv("TZ", oldTz_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    TempRoot root_;
    ManualClock clock_;
    std::string oldTz_;
    bool hadTz_ = false;
};

struct Local {
    int y, mo, d, h, mi, s, ms;
    std::string weekday;
};

std::vector<Local> Oracle(const std::vector<std::pair<i64, std::string>>& instants) {
    std::vector<std::string> lines;
    for (auto& [ms, zone] : instants) lines.push_back(std::to_string(ms) + " " + zone);
    std::vector<Local> out;
    for (const std::string& l : Python("date_oracle.py", lines)) {
        std::istringstream in(l);
        Local t;
        in >> t.y >> t.mo >> t.d >> t.h >> t.mi >> t.s >> t.ms >> t.weekday;
        out.push_back(t);
    }
    return out;
}

TEST_F(ClockFunctions, StampsAndTextsAgreeWithDatetime) {
    struct Case {
        i64 utcMs;
        const char* zone;
        u64 stepMs;  // the clock moves on by this much, across midnight
    };
    const std::vector<Case> cases = {
        {1798761599250, "UTC", 1000},            // 2026-12-31 23:59:59.250 UTC: into 2027
        {1798757999500, "Europe/Berlin", 700},   // 23:59:59.500 local on New Year's Eve
        {1784152799900, "Europe/Berlin", 200},   // 2026-07-15 23:59:59.900 summer time
        {1784159999000, "UTC", 86400000},        // a whole day on
    };
    std::vector<std::pair<i64, std::string>> instants;
    for (const Case& k : cases) {
        instants.push_back({k.utcMs, k.zone});
        instants.push_back({k.utcMs + static_cast<i64>(k.stepMs), k.zone});
    }
    const std::vector<Local> want = Oracle(instants);
    ASSERT_EQ(want.size(), instants.size()) << "Python's datetime and zoneinfo under /usr/bin/python3 gave no answer";

    IecImageBuilder b;
    u16 date = b.Var(kQ4TypeDint), time = b.Var(kQ4TypeDint), one = b.Var(kQ4TypeDint, 1), two = b.Var(kQ4TypeDint, 2),
        three = b.Var(kQ4TypeDint, 3), hms = b.String(20), wd = b.String(20), ymd = b.String(20),
        fmt = b.String(30, "%Y-%m-%d %H:%M:%S"), fmtd = b.String(30);
    TicAssembler t;
    t.Op("CALL_STF", {119, 1, date}).Op("CALL_STF", {118, 1, time}).Op("CALL_STF", {63, 2, hms, one})
        .Op("CALL_STF", {63, 2, wd, two}).Op("CALL_STF", {63, 2, ymd, three}).Op("CALL_STF", {171, 2, fmtd, fmt})
        .Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    auto text = [&](u16 s) { return std::string(Q4Str_GetText(db.String(s)), Q4Str_GetLength(db.String(s))); };
    u32 now = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        Clock_SetManualUtc(cases[i].utcMs * 1000000);
        const Local& w0 = want[2 * i];
        ASSERT_TRUE(RtcDev_SetTime(RtcDevTime{w0.s, w0.mi, w0.h, w0.d, w0.mo - 1, w0.y - 1900}));
        for (int step = 0; step < 2; ++step) {
            if (step) clock_.AdvanceMs(cases[i].stepMs);
            const Local& w = want[2 * i + step];
            Q4VM_Cycle(db.Db(), ++now);
            const std::string where = std::string(cases[i].zone) + " case " + std::to_string(i) + " step " + std::to_string(step);
            EXPECT_EQ(GetLe32(db.Data32(date)), Q4DateStamp(w.y, w.mo, w.d)) << where;
            EXPECT_EQ(GetLe32(db.Data32(time)), Q4TimeStamp(w.h, w.mi, w.s, w.ms)) << where;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", w.h, w.mi, w.s);
            EXPECT_EQ(text(hms), buf) << where;
            EXPECT_EQ(text(wd), w.weekday) << where;
            std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", w.y, w.mo, w.d);
            EXPECT_EQ(text(ymd), buf) << where;
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", w.y, w.mo, w.d, w.h, w.mi, w.s);
            EXPECT_EQ(text(fmtd), buf) << where;
        }
    }
    // Locked results keep their values.
    for (u16 v : {date, time}) *db.Lock(v) = kQ4LockData32;
    *db.Lock(hms) |= kQ4LockString;
    PutLe32(db.Data32(date), 5);
    Q4Str_AscForceC(db.String(hms), "kept");
    Q4VM_Cycle(db.Db(), ++now);
    EXPECT_EQ(GetLe32(db.Data32(date)), 5u);
    EXPECT_EQ(text(hms), "kept");
}

// CYCLESTOP lets the current program finish and runs nothing after it, in
// this cycle or the next, until the application is resumed; FALSE changes
// nothing. Its action does not depend on its result's lock.
TEST(ControlFunctions, CycleStopPausesAfterTheCurrentProgram) {
    for (bool locked : {false, true}) {
        IecImageBuilder b;
        u16 res = b.Var(kQ4TypeBool), in = b.Var(kQ4TypeBool), n1 = b.Var(kQ4TypeDint), n2 = b.Var(kQ4TypeDint),
            one = b.Var(kQ4TypeDint, 1);
        TicAssembler p1, p2;
        p1.Op("CALL_STF", {136, 2, res, in}).Op("ADD_DINT", {n1, n1, one}).Op("END");
        p2.Op("ADD_DINT", {n2, n2, one}).Op("END");
        b.Program(p1.Finish());
        b.Program(p2.Finish());
        IecVmDb db(b.Build());
        ASSERT_EQ(db.Result(), 0);
        if (locked) *db.Lock(res) = kQ4LockData8;
        Q4VM_Cycle(db.Db(), 1);
        EXPECT_EQ(*db.Data8(res), locked ? 0 : 1);
        EXPECT_EQ(GetLe32(db.Data32(n2)), 1u);
        *db.Data8(in) = 1;
        Q4VM_Cycle(db.Db(), 2);
        EXPECT_EQ(GetLe32(db.Data32(n1)), 2u);
        EXPECT_EQ(GetLe32(db.Data32(n2)), 1u);
        Q4VM_Cycle(db.Db(), 3);
        EXPECT_EQ(GetLe32(db.Data32(n1)), 2u);
        EXPECT_FALSE(GetLe16(db.Status() + kQ4StFlags) & (kVmFlagStopped | kVmFlagRunning));
        *db.Data8(in) = 0;
        Q4VM_SetPauseMode(db.Db(), 0);  // the workbench resumes it
        Q4VM_Cycle(db.Db(), 4);
        EXPECT_EQ(GetLe32(db.Data32(n1)), 3u);
        EXPECT_EQ(GetLe32(db.Data32(n2)), 2u);
    }
}

TEST(ControlFunctions, StopsAndLogEvents) {
    {
        Call c(135, {Bo(true), Bo(false)});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 0u);
        c.Set(1, 1);
        EXPECT_FALSE(c.Run());
        EXPECT_TRUE(c.Events().empty());
    }
    for (u16 slot : {u16{194}, u16{195}}) {
        Call c(slot, {Di(0), Di(1)});
        EXPECT_FALSE(c.Run());
        EXPECT_EQ(c.Events(), (std::vector<std::pair<u16, u16>>{{kLogStdFunction, slot}}));
    }
    for (bool locked : {false, true}) {
        Call c(94, {Bo(false), Di(0x10042), Di(0x20007), Ud(0xDEADBEEF)});
        if (locked) c.Lock();
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), locked ? 0u : 1u);
        u16 code = 0, arg = 0;
        u32 data = 0;
        ASSERT_EQ(Q4VMLog_Pop(c.Db8(), &code, &arg, &data), 1);
        EXPECT_EQ(code, 0x42);
        EXPECT_EQ(arg, 7);
        EXPECT_EQ(data, 0xDEADBEEFu);
        // A full log loses the event; TRUE all the same.
        for (u32 i = 0; i < kQ4LogEntries; ++i) Q4VMLog_Push(c.Db8(), 1, 0, 0);
        c.Set(0, 0);
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), locked ? 0u : 1u);
    }
    for (bool locked : {false, true}) {
        Call c(156, {Bo(true), Bo(false)});
        if (locked) c.Lock();
        EXPECT_TRUE(c.Run());
        EXPECT_TRUE(GetLe16(c.Db().Status() + kQ4StFlags) & kVmFlagEventsOff);
        EXPECT_EQ(c.Get(0), locked ? 1u : 0u);
        c.Set(1, 1);
        EXPECT_TRUE(c.Run());
        EXPECT_FALSE(GetLe16(c.Db().Status() + kQ4StFlags) & kVmFlagEventsOff);
    }
}

TEST(ControlFunctions, SystemInformation) {
    IecImageBuilder b;
    b.CycleTime(10000).AppWords(0x11, 0x22, 0x33, 0x44);
    u16 r = b.Var(kQ4TypeDint), code = b.Var(kQ4TypeDint);
    TicAssembler t;
    t.Op("CALL_STF", {113, 2, r, code}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* st = db.Status();
    PutLe32(st + kVmStMaxCycle, 4321);
    PutLe16(st + kVmStBreakpoints + 4, kBreakOnce);
    PutLe16(st + kVmStBreakpoints + 8 + 4, kBreakTrace);
    PutLe16(st + kVmStBreakpoints + 16 + 4, 1);
    const std::vector<std::pair<i32, u32>> cases = {
        {0, 10000}, {1, 10}, {4, 4321}, {5, 4}, {9, GetLe32(st + kQ4StAppWords)}, {12, GetLe32(st + kQ4StAppWords + 12)},
        {13, 0}, {14, 0}, {15, db.Size()}, {20, 2}, {21, 0}, {-1, 0}};
    u32 now = 100;
    for (auto [k, want] : cases) {
        PutLe32(db.Data32(code), static_cast<u32>(k));
        Q4VM_Cycle(db.Db(), ++now);
        EXPECT_EQ(GetLe32(db.Data32(r)), want) << k;
    }
    *db.Lock(r) = kQ4LockData32;
    PutLe32(db.Data32(r), 99);
    PutLe32(db.Data32(code), 0);
    Q4VM_Cycle(db.Db(), ++now);
    EXPECT_EQ(GetLe32(db.Data32(r)), 99u);
}

// The trace formatter interprets the format itself: integer conversions
// with flags, width and precision; everything else literally.
TEST(PrintfFormat, IntegerConversionsOnly) {
    const i32 args[4] = {42, -7, 255, 0x7FFFFFFF};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"%d %d %d %d", "42 -7 255 2147483647"},
        {"%5d|%-5d|%05d", "   42|-7   |00255"},
        {"%x %X %#x %o %u", "2a FFFFFFF9 0xff 17777777777 0"},
        {"%+d %.4d %8.3d", "+42 -0007      255"},
        {"%ld %hd %lld", "42 -7 255"},
        {"100%% %d", "100% 42"},
        {"%s %d", "%s 42"},
        {"%n%p%f%c %i", "%n%p%f%c 42"},
        {"%*d %d", "%*d 42"},
        {"%d%d%d%d%d", "42-72552147483647" "0"},
        {"end %", "end %"},
        {"%999999999d", std::string(510, ' ') + "4"},
    };
    for (auto& [fmt, want] : cases) {
        char out[kQ4TraceLineBytes];
        const u32 n = Q4StfDate_FormatTrace(out, sizeof out, fmt.data(), static_cast<u32>(fmt.size()), args);
        EXPECT_EQ(std::string(out, n), want) << fmt;
        EXPECT_EQ(std::strlen(out), n);
    }
    // Long output stops at the buffer; a NUL in the format ends it.
    const std::string many = std::string(600, 'a') + "%d";
    char out[kQ4TraceLineBytes];
    EXPECT_EQ(Q4StfDate_FormatTrace(out, sizeof out, many.data(), static_cast<u32>(many.size()), args), 511u);
    const char withNul[] = "ab\0%d";
    EXPECT_EQ(Q4StfDate_FormatTrace(out, sizeof out, withNul, 5, args), 2u);
    char tiny[1];
    EXPECT_EQ(Q4StfDate_FormatTrace(tiny, 1, "abc", 3, args), 0u);
    EXPECT_EQ(tiny[0], 0);
}

// PRINTF writes one trace line and answers FALSE; locked, it does nothing.
TEST(ControlFunctions, PrintfWritesTheTrace) {
    for (bool locked : {false, true}) {
        Call c(80, {Bo(true), Str(40, "v=%d %s %04x"), Di(12), Di(0xAB), Di(0), Di(0)});
        if (locked) c.Lock();
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(c.Run());
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.Get(0), locked ? 1u : 0u);
        if (locked) EXPECT_EQ(out.find("v="), std::string::npos) << out;
        else EXPECT_NE(out.find("v=12 %s 00ab\n"), std::string::npos) << out;
    }
}

}  // namespace
