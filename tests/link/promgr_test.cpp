// The protocol driver manager in this process: sections walked (hostile
// ones too) with loading replaced by in-process drivers, and the scan cycle
// of those drivers on the hand-advanced clock: driver, station and message
// states, the movers, the timers; and the tests' RTU driver loaded from its
// image and opened on serial port 1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/promgr.h"
#include "link/promgr_move.h"
#include "link/talk.h"
#include "platform/touch.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/promgr_section.h"
#include "testsupport/reg_fixture.h"

#include "port1_fixture.h"

namespace {

using lreg::R;

u32 ByteOf(u32 a) { return (a - 0x400) / 8; }
u16 Word(u32 a) { return GetLe16(&plc_reg[ByteOf(a)]); }
void SetWord(u32 a, u16 v) { PutLe16(&plc_reg[ByteOf(a)], v); }
bool Bit(u32 a) { return (plc_reg[ByteOf(a)] >> (a & 7)) & 1; }
void SetBit(u32 a, bool on) {
    u8& b = plc_reg[ByteOf(a)];
    b = on ? static_cast<u8>(b | (1u << (a & 7))) : static_cast<u8>(b & ~(1u << (a & 7)));
}

// --- An in-process driver ------------------------------------------------------

struct Call {
    char kind;   // 'R' read, 'W' write
    u32 message; // index in the scan list
    u16 remote;  // remote address of the part (sub-writes: adjusted)
    u8 count;    // count of the part
    std::vector<u16> data;  // what a write sent
};

struct FakeDriver {
    DriverCallbackTable* table = nullptr;
    std::vector<Call> calls;
    // Answer of a transaction; busy() makes it unfinished (set the busy flag).
    std::function<int(const Call&)> result = [](const Call&) { return 0; };
    std::function<bool(const Call&)> busy = [](const Call&) { return false; };
    std::vector<u16> remote = std::vector<u16>(4096, 0);  // the station's registers
    int opens = 0, openResult = 0, controlAnswer = 0, resets = 0, diagnostics = 0, ownScans = 0, stops = 0;
    std::vector<std::pair<u32, uintptr_t>> controls;
};
FakeDriver fake;

u32 MessageIndex() {
    const u8* first = fake.table->firstMessage;
    const u8* m = fake.table->message;
    u32 k = 0;
    for (const u8* p = first; p != m && k < 512; p += GetLe16(p + 12)) ++k;
    return k;
}
u32 WordsOf(const u8* part) {
    u32 n = part[3] ? part[3] : GetLe16(part + 6);
    const bool block = part == fake.table->message + 14;
    return block && part[1] == 3 ? 2 * n : n;
}
int FakeRead(const u8* part, u16* buffer) {
    Call c{'R', MessageIndex(), GetLe16(part + 4), part[3], {}};
    fake.calls.push_back(c);
    if (fake.busy(c)) {
        fake.table->busy = 1;
        return 0;
    }
    const int r = fake.result(c);
    if (r == 0)
        for (u32 k = 0; k < WordsOf(part); ++k) buffer[k] = fake.remote[(c.remote + k) % fake.remote.size()];
    return r;
}
int FakeWrite(const u8* part, const u16* data) {
    Call c{'W', MessageIndex(), GetLe16(part + 4), part[3], {}};
    const u32 n = part[1] == 1 ? (c.count + 7) / 8 : WordsOf(part);
    const u32 words = part[1] == 1 ? (n + 1) / 2 : n;
    c.data.assign(data, data + words);
    fake.calls.push_back(c);
    if (fake.busy(c)) {
        fake.table->busy = 1;
        return 0;
    }
    const int r = fake.result(c);
    if (r == 0 && part[1] != 1)
        for (u32 k = 0; k < n; ++k) fake.remote[(c.remote + k) % fake.remote.size()] = data[k];
    return r;
}
int FakeOpen(DriverCallbackTable* t) {
    fake.table = t;
    fake.opens++;
    return fake.openResult;
}
int FakeType(u8 parameter, u16) { return parameter; }
int FakeDiag(u8*) { return ++fake.diagnostics; }
int FakeReset() { return ++fake.resets; }
int FakeControl(u32 code, uintptr_t parameter) {
    fake.controls.emplace_back(code, parameter);
    return code == 2 ? fake.controlAnswer : 1;
}
int FakeOwnScan() { return ++fake.ownScans; }
int FakeStop() { return ++fake.stops; }
const u16 kBuild = 42;

DriverHeaderRecord Header(u32 magic = PMGR_DRIVER_MAGIC) {
    return DriverHeaderRecord{magic,     "Fake",   nullptr,  &kBuild,     nullptr,   FakeOpen, FakeStop,   FakeRead,
                              FakeWrite, FakeType, FakeDiag, FakeReset, nullptr, FakeControl, FakeOwnScan};
}
DriverHeaderRecord g_headers[8];
const DriverHeaderRecord* Load(u32 driver, const u8*, u32) { return &g_headers[driver]; }

class Promgr : public ::testing::Test {
protected:
    void SetUp() override {
        PMGR_Reset();
        fake = FakeDriver{};
        for (auto& h : g_headers) h = Header();
        PMGR_SetLoadHook(Load);
        sysDTic = 1000;
        SR_Put(5, 2);
    }
    void TearDown() override {
        PMGR_Stop();
        PMGR_SetLoadHook(nullptr);
        PMGR_Reset();
        NV_EditorFeatures = 0;
    }
    // A driver on an Ethernet port (no serial port to take) with one station.
    static PmgrDriverSpec Driver() {
        PmgrDriverSpec d;
        d.port = 0x21;
        return d;
    }
    void Start(const PmgrSection& s) {
        StorePmgrSection(BuildPmgrSection(s));
        PMGR_Start();
    }
    void Start(const PmgrDriverSpec& d) { Start(PmgrSection{6, {d}}); }
    // One main-loop pass: the drivers' walks, then a controller scan, after
    // `ticks` 10-ms ticks.
    void Pass(u32 ticks = 1) {
        clock.AdvanceMs(10 * ticks);
        sysDTic += ticks;
        for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
        PMGR_Scan();
    }
    PromgrDriverBlock& D(u32 i = 0) { return PMGR_Driver(i); }
    PromgrMessageBlock& M(u32 k, u32 i = 0) { return PMGR_Messages(i)[k]; }
    PromgrStationBlock& S(u32 k, u32 i = 0) { return PMGR_Stations(i)[k]; }
    std::string Started() {
        std::string s;
        for (u32 i = 0; i < 8; ++i) s += PMGR_Started(i) ? '1' : '0';
        return s;
    }

    RegFixture regs;
    ManualClock clock;
};

// --- The section walk ------------------------------------------------------------

TEST_F(Promgr, HostileSectionsStartOnlyWhatIsSound) {
    auto three = [] {
        PmgrSection s;
        for (int i = 0; i < 3; ++i) {
            PmgrDriverSpec d = Promgr::Driver();
            d.messages = {PmgrMessageSpec{1, R(1 + 10 * i)}};
            s.drivers.push_back(d);
        }
        return BuildPmgrSection(s);
    };
    auto rec = [](std::vector<u8>& b, u32 i, u32 field) { return &b[PmgrDriverRecord(i) + field]; };
    struct Case {
        const char* name;
        std::function<void(std::vector<u8>&)> edit;
        u32 badMagic;  // driver index whose header has a wrong magic, 8 none
        const char* started;
    } const cases[] = {
        {"sound", [](std::vector<u8>&) {}, 8, "11100000"},
        {"47 bytes", [](std::vector<u8>& b) { b.resize(47); PutLe32(&b[0], 47); }, 8, "00000000"},
        {"stated length 47", [](std::vector<u8>& b) { PutLe32(&b[0], 47); }, 8, "00000000"},
        {"9 drivers", [](std::vector<u8>& b) { PutLe32(&b[8], 9); }, 8, "00000000"},
        {"0 drivers", [](std::vector<u8>& b) { PutLe32(&b[8], 0); }, 8, "00000000"},
        {"wrong magic between good drivers", [](std::vector<u8>&) {}, 1, "10100000"},
        {"configuration past the end",
         [&](std::vector<u8>& b) { PutLe32(rec(b, 1, kPmgrRecConfig), static_cast<u32>(b.size()) - 10); }, 8,
         "10100000"},
        {"stations past the end",
         [&](std::vector<u8>& b) { PutLe32(rec(b, 1, kPmgrRecStations), static_cast<u32>(b.size()) - 4); }, 8,
         "10100000"},
        {"messages past the end",
         [&](std::vector<u8>& b) { PutLe32(rec(b, 2, kPmgrRecMessages), 0xFFFFFFF0u); }, 8, "11000000"},
        {"station length 0",
         [&](std::vector<u8>& b) { PutLe16(&b[GetLe32(rec(b, 0, kPmgrRecStations)) + 26], 0); }, 8, "01100000"},
        {"message length 0",
         [&](std::vector<u8>& b) { PutLe16(&b[GetLe32(rec(b, 1, kPmgrRecMessages)) + 12], 0); }, 8, "10100000"},
        {"129 stations", [&](std::vector<u8>& b) { PutLe32(rec(b, 0, kPmgrRecStationCount), 129); }, 8, "01100000"},
        {"0 stations", [&](std::vector<u8>& b) { PutLe32(rec(b, 0, kPmgrRecStationCount), 0); }, 8, "01100000"},
        {"513 messages", [&](std::vector<u8>& b) { PutLe32(rec(b, 0, kPmgrRecMessageCount), 513); }, 8, "01100000"},
        {"station index past the list",
         [&](std::vector<u8>& b) { b[GetLe32(rec(b, 2, kPmgrRecMessages)) + 16] = 1; }, 8, "11000000"},
        {"message with no way to run",
         [&](std::vector<u8>& b) { PutLe16(&b[GetLe32(rec(b, 0, kPmgrRecMessages))], 0x10); }, 8, "01100000"},
        {"data outside the registers",
         [&](std::vector<u8>& b) { PutLe32(&b[GetLe32(rec(b, 1, kPmgrRecMessages)) + 4], 0x0CC400); }, 8,
         "10100000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PMGR_Reset();
        for (auto& h : g_headers) h = Header();
        if (c.badMagic < 8) g_headers[c.badMagic] = Header(0xA5A55A5B);
        std::vector<u8> b = three();
        c.edit(b);
        StorePmgrSection(b);
        PMGR_Start();
        EXPECT_EQ(Started(), c.started);
        // Drivers that did not start take no part in the cycle.
        for (int k = 0; k < 3; ++k) Pass();
        for (u32 i = 0; i < 3; ++i)
            if (c.started[i] == '0') {
                EXPECT_EQ(D(i).state, 0) << i;
            }
        PMGR_Stop();
    }
}

TEST_F(Promgr, MessageBuffersMustFitTheDriversArea) {
    // 2 x 8,192 words fill the 32 KB area exactly; one word more is refused.
    for (u16 words : {u16(8192), u16(8193)}) {
        SCOPED_TRACE(words);
        PMGR_Reset();
        PmgrDriverSpec d = Driver();
        d.messages = {PmgrMessageSpec{1, R(1), 0, 1, 2, 0, 0, 0, words}};
        Start(d);
        EXPECT_EQ(PMGR_Started(0), words == 8192);
        PMGR_Stop();
    }
    // Counts up to 65,535 from the 16-bit field cannot overflow it either.
    PMGR_Reset();
    PmgrDriverSpec d = Driver();
    d.messages = {PmgrMessageSpec{1, R(1), 0, 1, 3, 0, 0, 0, 65535}};
    Start(d);
    EXPECT_FALSE(PMGR_Started(0));
}

TEST_F(Promgr, PortBytesTranslateToLogicalPorts) {
    const std::pair<u8, u16> cases[] = {{0x21, 3}, {0x41, 5}, {0x81, 7}, {0x61, 3}, {0xC2, 6}, {2, 2}, {3, 3}, {4, 4}};
    PmgrSection s;
    for (auto [byte, port] : cases) {
        PmgrDriverSpec d = Driver();
        d.port = byte;
        s.drivers.push_back(d);
    }
    Start(s);
    for (u32 i = 0; i < 8; ++i) {
        EXPECT_TRUE(PMGR_Started(i));
        EXPECT_EQ(D(i).port, cases[i].second) << std::hex << int(cases[i].first);
        // Every Ethernet driver keeps the Ethernet put operation.
        EXPECT_EQ(D(i).table.putByte, EtnPutTx);
    }
}

TEST_F(Promgr, TheCallbackTableDescribesTheDriver) {
    PmgrDriverSpec d = Driver();
    d.firstGroup = 1;
    d.stations = {PmgrStationSpec{R(100), 7, 0, 502, 36, 2, 0x0A000001}, PmgrStationSpec{0, 9}};
    d.messages = {PmgrMessageSpec{1, R(1), 0, 1, 2, 1}, PmgrMessageSpec{1, R(5)}};
    SetWord(R(100), 55);
    Start(d);
    ASSERT_TRUE(PMGR_Started(0));
    const DriverCallbackTable& t = *fake.table;
    EXPECT_EQ(t.header, &g_headers[0]);
    EXPECT_EQ(t.messageCount, 2u);
    EXPECT_EQ(t.secondGroupBlocks, &M(1));
    EXPECT_EQ(t.secondGroupCount, 1u);
    EXPECT_EQ(t.stationCount, 2u);
    EXPECT_EQ(t.baseR, 0x8000u);
    EXPECT_EQ(t.countR, 0xC440u);
    EXPECT_EQ(t.one, 1);
    // An Ethernet driver starts on the first message's station and gets the
    // device table of its stations.
    EXPECT_EQ(t.station, S(1).record);
    ASSERT_EQ(t.deviceTable, PMGR_DeviceTable());
    EXPECT_EQ(t.deviceTable[0].address, 7u);
    EXPECT_EQ(t.deviceTable[0].endpoint, 0x0A000001u);
    EXPECT_EQ(t.deviceTable[0].flags, 2);
    EXPECT_EQ(t.deviceTable[0].mark, 0xA5);
    EXPECT_EQ(t.deviceTable[1].address, 9u);
    EXPECT_EQ(t.deviceTable[2].address, 0u);
    // Status words are cleared at start; control(2) was asked.
    EXPECT_EQ(Word(R(100)), 0);
    ASSERT_FALSE(fake.controls.empty());
    EXPECT_EQ(fake.controls[0].first, 2u);
    EXPECT_EQ(D().state, 1);
}

// --- Timers --------------------------------------------------------------------------

TEST_F(Promgr, TimersRoundUpTimeOutAndRunOut) {
    const u32 t = CreateTimer();
    ASSERT_LT(t, 32u);
    const std::pair<u32, u32> rounding[] = {{1, 1}, {10, 1}, {11, 2}, {0, 0}, {655350, 65535}};
    for (auto [ms, ticks] : rounding) {
        WriteTimer(t, ms);
        EXPECT_EQ(PMGR_Timers()[t].remaining, ticks) << ms;
    }
    WriteTimer(t, 100);
    sysDTic += 4;
    EXPECT_EQ(ReadTimer(t), 6u);
    sysDTic += 10;
    EXPECT_EQ(ReadTimer(t), 0u);
    // Outside run mode a read frees the timer.
    WriteTimer(t, 100);
    SR_Put(5, 3);
    EXPECT_EQ(ReadTimer(t), 0u);
    EXPECT_EQ(PMGR_Timers()[t].inUse, 0);
    SR_Put(5, 2);
    // The 33rd timer is none, and no timer call acts on it.
    for (u32 k = 0; k < 32; ++k) EXPECT_EQ(CreateTimer(), k);
    WriteTimer(0, 500);
    const u32 extra = CreateTimer();
    EXPECT_GE(extra, 32u);
    WriteTimer(extra, 10);
    EXPECT_EQ(ReadTimer(extra), 0u);
    EXPECT_EQ(ReadTimer(0), 50u);
    CloseTimer(5);
    EXPECT_EQ(CreateTimer(), 5u);
}

// --- The driver cycle ---------------------------------------------------------------------

TEST_F(Promgr, PeriodicCycleWaitsOutItsPeriodOrCountsTheOverrun) {
    PmgrDriverSpec d = Driver();
    d.period = 100;
    d.messages = {PmgrMessageSpec{1, R(1)}};
    struct Case {
        u32 busyTicks;  // how long the cycle's read stays unfinished
        u32 nextStart;  // ticks from this cycle's start to the next one's
        u32 overruns;   // cycle counter growth
        bool waits;     // state 4 seen in between
    } const cases[] = {{29, 100, 0, true}, {119, 119, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busyTicks);
        PMGR_Reset();
        Start(d);
        Pass();  // the first cycle starts at once
        ASSERT_EQ(D().state, 2);
        const u32 start = D().table.cycleStart, counter = D().table.cycleCounter;
        fake.busy = [&](const Call&) { return sysDTic - start < c.busyTicks; };
        bool waited = false;
        for (int k = 0; k < 300 && D().table.cycleStart == start; ++k) {
            Pass();
            waited |= D().state == 4;
        }
        EXPECT_EQ(D().table.cycleStart - start, c.nextStart);
        EXPECT_EQ(D().table.cycleCounter - counter, c.overruns);
        EXPECT_EQ(waited, c.waits);
        PMGR_Stop();
        fake = FakeDriver{};  // its answer refers to this case's locals
    }
}

TEST_F(Promgr, PeriodZeroCountsTheCycleDurationInMilliseconds) {
    PmgrDriverSpec d = Driver();
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    Pass();
    const u32 start = D().table.cycleStart;
    fake.busy = [&](const Call&) { return sysDTic - start < 4; };
    for (int k = 0; k < 4; ++k) Pass();
    EXPECT_EQ(D().table.cycleCounter, 40u);
}

TEST_F(Promgr, BusyDriverResumesAtTheSameMessage) {
    PmgrDriverSpec d = Driver();
    for (u32 k = 0; k < 10; ++k) d.messages.push_back(PmgrMessageSpec{1, R(1 + k)});
    Start(d);
    Pass();
    fake.calls.clear();
    bool once = true;
    fake.busy = [&](const Call& c) {
        const bool b = c.message == 4 && once;
        if (b) once = false;
        return b;
    };
    Pass();
    ASSERT_EQ(fake.calls.size(), 5u);
    EXPECT_EQ(D().table.resume, 6u);
    Pass();
    std::vector<u32> order;
    for (const Call& c : fake.calls) order.push_back(c.message);
    EXPECT_EQ(order, (std::vector<u32>{0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(D().table.resume, 0u);
}

TEST_F(Promgr, SilentStationExhaustsItsAttemptsAndIsRetriedAfterItsRetryTime) {
    PmgrDriverSpec d = Driver();
    d.attempts = 3;
    d.retry = 50;
    d.stations = {PmgrStationSpec{R(100)}};
    d.messages = {PmgrMessageSpec{1, R(1)}, PmgrMessageSpec{1, R(2)}};
    Start(d);
    Pass();
    fake.result = [](const Call& c) { return c.message == 1 ? 99 : 0; };
    fake.calls.clear();
    std::vector<int> codes;
    for (int k = 0; k < 3; ++k) {
        clock.AdvanceMs(10);
        sysDTic++;
        for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
        codes.push_back(M(1).code);
        PMGR_Scan();
        codes.push_back(M(1).code);
    }
    // Three attempts, the third final: code 7, then 8 with the status words.
    EXPECT_EQ(codes, (std::vector<int>{0, 0, 0, 0, 7, 8}));
    EXPECT_EQ(std::count_if(fake.calls.begin(), fake.calls.end(), [](const Call& c) { return c.message == 1; }), 3);
    EXPECT_EQ(Word(R(100)), 99);
    EXPECT_EQ(Word(R(101)), 1);
    EXPECT_GE(S(0).state, 2);
    // Offline until the retry time; then both messages run again.
    fake.result = [](const Call&) { return 0; };
    fake.calls.clear();
    for (int k = 0; k < 40; ++k) Pass();
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(S(0).state, 4);
    for (int k = 0; k < 20 && fake.calls.empty(); ++k) Pass();
    ASSERT_FALSE(fake.calls.empty());
    for (int k = 0; k < 3; ++k) Pass();
    EXPECT_EQ(S(0).state, 0);
    EXPECT_EQ(Word(R(100)), 0);
    EXPECT_EQ(Word(R(101)), 0);
}

TEST_F(Promgr, StationErrorIsReportedAtOnceAndTakesTheStationOffline) {
    PmgrDriverSpec d = Driver();
    d.stations = {PmgrStationSpec{R(100)}};
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    Pass();
    fake.calls.clear();
    fake.result = [](const Call&) { return 2; };
    sysDTic++;
    for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
    EXPECT_EQ(Word(R(100)), 2);  // at once, no retries
    EXPECT_EQ(fake.calls.size(), 1u);
    PMGR_Scan();
    EXPECT_GE(S(0).state, 2);
    Pass();
    EXPECT_GE(S(0).state, 3);
    // The program clears status word 0: the station is back.
    SetWord(R(100), 0);
    fake.result = [](const Call&) { return 0; };
    for (int k = 0; k < 3; ++k) Pass();
    EXPECT_LE(S(0).state, 1);
}

TEST_F(Promgr, HoldBitStopsTheWalkAndMakesAFailureFinal) {
    PmgrDriverSpec d = Driver();
    d.hold = lreg::M(1);
    d.attempts = 5;
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    Pass();
    SetBit(lreg::M(1), true);
    fake.calls.clear();
    Pass();
    EXPECT_TRUE(fake.calls.empty());
    // A failure while the hold bit is set is final at once: released between
    // the walk and the driver's answer.
    SetBit(lreg::M(1), false);
    fake.result = [](const Call&) {
        SetBit(lreg::M(1), true);
        return 99;
    };
    for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
    EXPECT_EQ(M(0).code, 7);
    EXPECT_EQ(fake.calls.size(), 1u);
}

// --- Messages ----------------------------------------------------------------------------

TEST_F(Promgr, ChangedRegistersGoOutOneRunPerCycle) {
    struct Case {
        u16 stationFlags;
        std::vector<std::pair<u16, u8>> writes;  // remote address and count of each write, in order
    } const cases[] = {
        {0x2000, {{11, 1}, {12, 1}, {13, 1}}},  // single-element writes
        {0, {{11, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stationFlags);
        PMGR_Reset();
        fake = FakeDriver{};
        for (u32 k = 0; k < 6; ++k) fake.remote[10 + k] = static_cast<u16>(100 + k);
        PmgrDriverSpec d = Driver();
        d.stations = {PmgrStationSpec{0, 1, c.stationFlags}};
        d.messages = {PmgrMessageSpec{3, R(1), 0, 1, 2, 0, 6, 10}};
        Start(d);
        for (int k = 0; k < 3; ++k) Pass();
        ASSERT_EQ(Word(R(1)), 100);
        ASSERT_EQ(Word(R(6)), 105);
        SetWord(R(2), 1);
        SetWord(R(3), 2);
        SetWord(R(4), 3);
        fake.calls.clear();
        for (int k = 0; k < 8; ++k) Pass();
        std::vector<std::pair<u16, u8>> writes;
        std::string kinds;
        for (const Call& call : fake.calls) {
            kinds += call.kind;
            if (call.kind == 'W') writes.emplace_back(call.remote, call.count);
        }
        EXPECT_EQ(writes, c.writes);
        // Each cycle either writes one run or reads: the reads come between.
        EXPECT_EQ(kinds.substr(0, c.writes.size() + 2), "R" + std::string(c.writes.size(), 'W') + "R");
        EXPECT_EQ(fake.remote[11], 1);
        EXPECT_EQ(fake.remote[13], 3);
        // A value the station changes comes in; the program's values stay.
        fake.remote[15] = 77;
        for (int k = 0; k < 3; ++k) Pass();
        EXPECT_EQ(Word(R(6)), 77);
        EXPECT_EQ(Word(R(2)), 1);
        PMGR_Stop();
    }
}

TEST_F(Promgr, WriteFirstSendsTheRegistersBeforeTheFirstRead) {
    for (u16 sflags : {u16(0), u16(0x2000)}) {
        SCOPED_TRACE(sflags);
        PMGR_Reset();
        fake = FakeDriver{};
        SetWord(R(1), 11);
        SetWord(R(2), 22);
        PmgrDriverSpec d = Driver();
        d.stations = {PmgrStationSpec{0, 1, sflags}};
        d.messages = {PmgrMessageSpec{0x13, R(1), 0, 1, 2, 0, 2, 40}};
        Start(d);
        for (int k = 0; k < 3; ++k) Pass();
        ASSERT_FALSE(fake.calls.empty());
        const Call& first = fake.calls[0];
        EXPECT_EQ(first.kind, 'W');
        EXPECT_EQ(first.remote, 40);
        // Single-element writes carry element 0 first (not a run of length 0).
        EXPECT_EQ(first.count, sflags ? 1 : 2);
        EXPECT_EQ(first.data[0], 11);
        PMGR_Stop();
    }
}

TEST_F(Promgr, ThirtyTwoBitValuesSwapTheirHalvesWhenTheStationAsks) {
    for (u16 sflags : {u16(0), u16(0x10)}) {
        SCOPED_TRACE(sflags);
        PMGR_Reset();
        fake = FakeDriver{};
        fake.remote[20] = 0x1111;
        fake.remote[21] = 0x2222;
        PmgrDriverSpec d = Driver();
        d.stations = {PmgrStationSpec{0, 1, sflags}};
        d.messages = {PmgrMessageSpec{3, R(1), 0, 1, 3, 0, 1, 20}};
        Start(d);
        for (int k = 0; k < 3; ++k) Pass();
        const bool swap = sflags != 0;
        EXPECT_EQ(Word(R(1)), swap ? 0x2222 : 0x1111);
        EXPECT_EQ(Word(R(2)), swap ? 0x1111 : 0x2222);
        SetWord(R(1), 0xAAAA);
        SetWord(R(2), 0xBBBB);
        fake.calls.clear();
        for (int k = 0; k < 3; ++k) Pass();
        auto w = std::find_if(fake.calls.begin(), fake.calls.end(), [](const Call& x) { return x.kind == 'W'; });
        ASSERT_NE(w, fake.calls.end());
        EXPECT_EQ(w->count, 2);
        EXPECT_EQ(w->data, (std::vector<u16>{swap ? u16(0xBBBB) : u16(0xAAAA), swap ? u16(0xAAAA) : u16(0xBBBB)}));
        PMGR_Stop();
    }
}

TEST_F(Promgr, TriggeredMessagesFollowTheirTriggerBits) {
    PmgrDriverSpec d = Driver();
    d.messages = {PmgrMessageSpec{4, R(1), lreg::M(1), 1, 2, 0, 1, 30},
                  PmgrMessageSpec{8, R(2), lreg::M(2), 1, 2, 0, 1, 31}};
    fake.remote[30] = 5;
    Start(d);
    for (int k = 0; k < 5; ++k) Pass();
    EXPECT_TRUE(fake.calls.empty());
    SetBit(lreg::M(1), true);
    for (int k = 0; k < 5; ++k) Pass();
    EXPECT_EQ(Word(R(1)), 5);
    EXPECT_FALSE(Bit(lreg::M(1)));
    SetWord(R(2), 9);
    SetBit(lreg::M(2), true);
    for (int k = 0; k < 5; ++k) Pass();
    EXPECT_EQ(fake.remote[31], 9);
    EXPECT_FALSE(Bit(lreg::M(2)));
    EXPECT_EQ(fake.calls.size(), 2u);
}

TEST_F(Promgr, TriggeredDriverRunsOneCycleOnItsEnableBit) {
    PmgrDriverSpec d = Driver();
    d.enable = lreg::M(5);
    d.attempts = 2;
    d.messages = {PmgrMessageSpec{1, R(1), 0, 1, 2, 0, 1, 30}};
    Start(d);
    EXPECT_EQ(D().state, 5);
    for (int k = 0; k < 5; ++k) Pass();
    EXPECT_TRUE(fake.calls.empty());
    SetBit(lreg::M(5), true);
    // A failing attempt is tried again at once in a triggered driver.
    int failures = 1;
    fake.result = [&](const Call&) { return failures-- > 0 ? 99 : 0; };
    for (int k = 0; k < 4; ++k) Pass();
    EXPECT_EQ(fake.calls.size(), 2u);
    EXPECT_FALSE(Bit(lreg::M(5)));
    EXPECT_EQ(D().state, 5);
}

TEST_F(Promgr, SelectorWordChoosesTheMessagesOfACycle) {
    struct Case {
        const char* name;
        u16 stationLength;  // above 28 with extra flag 1: the selector comes from a register
        std::vector<u32> read;
    } const cases[] = {{"own selector bytes", 28, {1}}, {"selector from a register", 32, {0, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PMGR_Reset();
        fake = FakeDriver{};
        PmgrDriverSpec d = Driver();
        d.enable = lreg::M(5);
        d.selector = R(60);
        d.stations = {PmgrStationSpec{0, R(61), 0, 0, c.stationLength, 1}};
        d.messages = {PmgrMessageSpec{1, R(1), 0, 1}, PmgrMessageSpec{1, R(2), 0, 2}};
        Start(d);
        SetWord(R(60), 2);
        SetWord(R(61), 2);
        SetBit(lreg::M(5), true);
        for (int k = 0; k < 4; ++k) Pass();
        std::vector<u32> read;
        for (const Call& call : fake.calls) read.push_back(call.message);
        EXPECT_EQ(read, c.read);
        // The stored section is not changed by the reload: its checksum holds.
        EXPECT_TRUE(NvBlockValid(promgr_table_bl));
        PMGR_Stop();
    }
}

TEST_F(Promgr, InterFrameDelayWaitsEightCharacterTimes) {
    PmgrDriverSpec d = Driver();
    d.baud = 5;  // 9600 baud: 83 ticks of the free-running counter
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    Pass();
    M(0).resumeCode = 0;
    M(0).stamp = FPGA_GetFrt();
    M(0).code = 11;
    D().table.busy = 1;
    clock.AdvanceTicks(82);
    PMGR_Scan();
    EXPECT_EQ(M(0).code, 11);
    clock.AdvanceTicks(1);
    PMGR_Scan();
    EXPECT_EQ(M(0).code, 0);
    EXPECT_EQ(D().table.busy, 0);
}

TEST_F(Promgr, DiagnosticsShowTheCycleCounterUntilTheProgramResetsThem) {
    PmgrDriverSpec d = Driver();
    d.diagnostics = R(50);
    d.period = 1;
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    for (int k = 0; k < 10; ++k) Pass(2);
    EXPECT_GT(Word(R(50)), 0);
    EXPECT_GT(fake.diagnostics, 0);
    SetWord(R(51), 0x8000);
    PMGR_Scan();
    EXPECT_EQ(fake.resets, 1);
    EXPECT_EQ(Word(R(50)), 0);
    EXPECT_EQ(Word(R(51)), 0);
    EXPECT_EQ(D().table.cycleCounter, 0u);
}

TEST_F(Promgr, OwnScanDriversAreCalledOncePerScanAndStoppedAtStop) {
    PmgrDriverSpec d = Driver();
    d.options = 0x8000;
    d.messages = {PmgrMessageSpec{1, R(1)}};
    Start(d);
    for (int k = 0; k < 4; ++k) Pass();
    EXPECT_EQ(fake.ownScans, 4);
    EXPECT_TRUE(fake.calls.empty());
    PMGR_Stop();
    EXPECT_EQ(fake.stops, 1);
}

// --- Movers ------------------------------------------------------------------------------

TEST(PromgrMovers, BitMoversKeepTheNeighbouringBits) {
    RegFixture regs;
    u16 read[4] = {}, write[4] = {};
    PromgrMessageBlock m{};
    m.data = &plc_reg[ByteOf(R(1))];
    m.bitOffset = 3;
    m.count = 10;
    m.read = read;
    m.write = write;
    m.width = 1;
    m.record = nullptr;
    PutLe16(m.data, 0xFFFF);
    read[0] = 0;
    PutBitPackedRegs(&m);
    // Bits 3-12 cleared, 0-2 and 13-15 kept.
    EXPECT_EQ(GetLe16(m.data), 0xE007);
    PutLe16(m.data, static_cast<u16>(0x5555u << 3 | 0x7));
    GetBitPackedRegs(&m);
    // Only the message's ten bits reach the buffer.
    EXPECT_EQ(write[0], 0x5555 & 0x3FF);
    // Change detection: two neighbouring changed bits form one run.
    PutLe16(m.data, static_cast<u16>(GetLe16(m.data) ^ (0x3u << (3 + 4))));
    m.index = 0;
    ASSERT_EQ(CmpBitPackedRegs(&m), 1);
    EXPECT_EQ(m.index, 4);
    EXPECT_EQ(m.run, 2);
    EXPECT_EQ(m.runIndex, 0);
    EXPECT_EQ(CmpBitPackedRegs(&m), 0);
}

TEST(PromgrMovers, LongBitRunsFitTheShiftBuffer) {
    std::vector<u8> data(40);
    for (u32 j = 0; j < data.size(); ++j) data[j] = static_cast<u8>(j * 37 + 1);
    const u32 bits = 300;  // far beyond 64
    const u8* out = ShiftBitData(data.data(), 5, bits);
    for (u32 k = 0; k < bits; ++k) {
        const u32 src = k + 5;
        ASSERT_EQ((out[k / 8] >> (k % 8)) & 1, (data[src / 8] >> (src % 8)) & 1) << k;
    }
}

TEST(PromgrMovers, BoolBytesPackLeastSignificantBitFirst) {
    const u8 bools[11] = {1, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0};
    u8 packed[2] = {0xFF, 0xFF};
    QuilletPackBitData(bools, packed, 11);
    EXPECT_EQ(packed[0], 0x59);
    EXPECT_EQ(packed[1], 0x03);
    u8 back[11] = {};
    QuilletUnPackBitData(packed, back, 11);
    EXPECT_EQ(std::memcmp(back, bools, 11), 0);
}

TEST(PromgrMovers, StringElementsAreComparedAndCopiedWhole) {
    RegFixture regs;
    std::vector<u16> read(86), write(86);
    PromgrMessageBlock m{};
    m.data = &plc_reg[ByteOf(R(1))];
    m.count = 2;
    m.width = kPmgrStringWords;
    m.read = read.data();
    m.write = write.data();
    PutLe16(m.data + 2 * 50, 0x4142);  // a word of element 1
    ASSERT_EQ(CmpRegs_string(&m), 1);
    EXPECT_EQ(m.index, 1);
    EXPECT_EQ(m.run, 1);
    EXPECT_EQ(write[50], 0x4142);
    EXPECT_EQ(CmpRegs_string(&m), 0);
}

// --- The tests' RTU driver, loaded from its image ---------------------------------------

class PromgrLoaded : public Port1Test {
protected:
    void TearDown() override {
        PMGR_Stop();
        PMGR_Reset();
        NV_EditorFeatures = 0;
        Port1Test::TearDown();
    }
};

TEST_F(PromgrLoaded, ImageIsWrittenPrivatelyLoadedAndOpenedOnItsPort) {
    PMGR_Reset();
    SR_Put(5, 2);
    PmgrDriverSpec d;
    d.image = PmgrTestDriverImage();
    ASSERT_GT(d.image.size(), 1000u);
    d.port = 1;
    d.baud = 9;
    d.messages = {PmgrMessageSpec{1, R(1), 0, 17, 2, 0, 2, 0x10}};
    StorePmgrSection(BuildPmgrSection(PmgrSection{6, {d}}));
    PMGR_Start();
    struct stat st{};
    ASSERT_EQ(::stat(root.Path("/dev/shm/drv0.so").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(PMGR_Started(0));
    // Opened in RTU mode on port 1, taken from the program-controlled ports.
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomProto] & 0x0F, kProtoRtu);
    EXPECT_EQ(Talk_Override(1), 0);

    // One read: the driver asks slave 17 for two registers at 0x10.
    for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
    const std::string request = ReadFar(port1.Master(), 8);
    ASSERT_EQ(request.size(), 8u);
    EXPECT_EQ(request.substr(0, 6), std::string("\x11\x03\x00\x10\x00\x02", 6));
    EXPECT_EQ(PMGR_Driver(0).table.busy, 1);
    u8 answer[9] = {0x11, 3, 4, 0x12, 0x34, 0xAB, 0xCD};
    PutLe16(answer + 7, crc16(answer, 7));
    ASSERT_EQ(::write(port1.Master(), answer, 9), 9);
    for (int k = 0; k < 2000 && PMGR_Messages(0)[0].code == 0; ++k) {
        for (int i = 0; i < 8; ++i) PMGR_TheLoop(i);
        usleep(1000);
    }
    PMGR_Scan();
    EXPECT_EQ(Word(R(1)), 0x1234);
    EXPECT_EQ(Word(R(2)), 0xABCD);

    u8 info[3 * 50];
    PMGR_GetDrvInfo(info, 3);
    EXPECT_STREQ(reinterpret_cast<char*>(info), "(None Loaded)");
    EXPECT_STREQ(reinterpret_cast<char*>(info + 50), "Test RTU master");
    EXPECT_STREQ(reinterpret_cast<char*>(info + 75), "Version  1.00.0007");

    // Stop gives the port back to the programming link.
    PMGR_Stop();
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomProto] & 0x0F, kProtoProgramming);
    EXPECT_EQ(Talk_Override(1), 1);
    Talk_Release(1);
}

TEST_F(PromgrLoaded, HoldBitHandsTheSerialPortBackAndTakesItAgain) {
    PMGR_Reset();
    PMGR_SetLoadHook(Load);
    for (auto& h : g_headers) h = Header();
    fake = FakeDriver{};
    fake.controlAnswer = 2;
    SR_Put(5, 2);
    PmgrDriverSpec d;
    d.port = 1;
    d.options = 0x11;
    d.hold = lreg::M(1);
    d.messages = {PmgrMessageSpec{1, R(1)}};
    StorePmgrSection(BuildPmgrSection(PmgrSection{6, {d}}));
    PMGR_Start();
    ASSERT_TRUE(PMGR_Started(0));
    // A serial driver whose control entry answers 2 sends through the manager.
    EXPECT_NE(PMGR_Driver(0).table.putByte, Vcomm_Drv[1].PutTx);
    EXPECT_EQ(fake.opens, 1);
    SetBit(lreg::M(1), true);
    PMGR_Scan();
    EXPECT_EQ(PMGR_PortSwitch(1), 1);
    EXPECT_EQ(PMGR_Driver(0).state, 0);
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomProto] & 0x0F, kProtoProgramming);
    // Handed back, a new start counts it as started without opening it.
    PMGR_Stop();
    PMGR_Start();
    EXPECT_TRUE(PMGR_Started(0));
    EXPECT_EQ(fake.opens, 1);
    // The hold bit clears: the driver takes its port again.
    SetBit(lreg::M(1), false);
    PMGR_Scan();
    EXPECT_EQ(fake.opens, 2);
    EXPECT_EQ(PMGR_PortSwitch(1), 0);
    EXPECT_EQ(PMGR_Driver(0).state, 2);
    PMGR_SetLoadHook(nullptr);
}

}  // namespace
