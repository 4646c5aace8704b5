// Shared set-up of the time-base and clock tests: a fresh root, a hand-moved
// clock, zeroed registers and clean module state.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "link/command.h"
#include "platform/fpga.h"
#include "platform/rtclock.h"
#include "platform/rtcdev.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

class TimeTest : public ::testing::Test {
protected:
    TimeTest() {
        std::memset(plc_reg, 0, sizeof plc_reg);
        CmdRun = 255;
        FPGA_Reset();
        RtcDev_SetMissing(false);
        Rtc_Reset();
    }
    ~TimeTest() override {
        Rtc_Reset();
        FPGA_Reset();
    }

    TempRoot root_;
    ManualClock clock_;
};

// Output of a shell command run with GNU date, trailing newline removed.
inline std::string RunDate(const std::string& args) {
    const std::string cmd = "LC_ALL=C TZ=UTC date -u " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Seconds since 1970 of "YYYY-MM-DD HH:MM:SS" UTC, by GNU date.
inline i64 DateEpoch(const std::string& text) { return std::stoll(RunDate("-d '" + text + "' +%s")); }

// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, by GNU date.
inline std::string DateText(i64 seconds) { return RunDate("-d @" + std::to_string(seconds) + " '+%Y-%m-%d %H:%M:%S'"); }

// Day of week 0 (Sunday) to 6 of a "YYYY-MM-DD ..." text, by GNU date.
inline int DateWeekday(const std::string& text) { return std::stoi(RunDate("-d '" + text + "' +%w")); }

// Six-word record (second, minute, hour, day, month, year) from and to text.
inline void ParseRecord(const std::string& text, u16* r) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s);
    const unsigned v[6] = {s, mi, h, d, mo, y};
    for (int i = 0; i < 6; ++i) r[i] = static_cast<u16>(v[i]);
}

inline std::string RecordText(const u16* r) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", r[5], r[4], r[3], r[2], r[1], r[0]);
    return buf;
}

inline RTCTime LocalFrom(const std::string& text) {
    u16 r[6];
    ParseRecord(text, r);
    return RTCTime{r[0], r[1], r[2], r[3], r[4], r[5], 0};
}

inline std::string LocalText(const RTCTime& t) {
    const u16 r[6] = {t.second, t.minute, t.hour, t.day, t.month, t.year};
    return RecordText(r);
}

inline void PutUtcRegisters(const std::string& text) {
    u16 r[6];
    ParseRecord(text, r);
    for (int i = 0; i < 6; ++i) ESR_Put(20 + i, r[i]);
}

inline std::string UtcRegistersText() {
    u16 r[6];
    for (int i = 0; i < 6; ++i) r[i] = ESR_Get(20 + i);
    return RecordText(r);
}

inline std::string SrClockText() {
    const u16 r[6] = {SR_Get(44), SR_Get(45), SR_Get(46), SR_Get(47), SR_Get(48), SR_Get(49)};
    return RecordText(r);
}
