// System tests: an IEC application stored in ladder.pgm starts with the
// controller, runs one cycle per scan in place of the ladder program,
// exchanges values with the registers through its bindings and keeps its
// retained values across a restart of the process.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kAQG1 = 1056;  // location-table index of %AQG1

class IecAppSystem : public ::testing::Test {
protected:
    void SetUp() override {
        // A first start writes the default blocks and register image.
        FirmwareProcess first;
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
        // The application: %AQG1 counts cycles (retained), %AQG3 := %AQG2 * 2.
        IecImageBuilder b;
        u16 cnt = b.Var(kQ4TypeInt, 0, "cnt"), x = b.Var(kQ4TypeInt, 0, "x"), y = b.Var(kQ4TypeInt, 0, "y");
        u16 one = b.Var(kQ4TypeInt, 1), two = b.Var(kQ4TypeInt, 2);
        b.Retain(kQ4InitClsData16, cnt, 1).RetainSignature(0xA5A5);
        TicAssembler t;
        t.Op("ADD_INT", {cnt, cnt, one}).Op("MUL_INT", {y, x, two}).Op("END");
        b.Program(t.Finish());
        RegLocTable loc;
        loc.Bind(kAQG1, IecVarRef(kRef16, cnt)).Bind(kAQG1 + 1, IecVarRef(kRef16, x)).Bind(kAQG1 + 2, IecVarRef(kRef16, y));
        StoreApp(b.Build(), loc);
    }
    // Stores an application in ladder.pgm, as a download leaves it.
    void StoreApp(const std::vector<u8>& code, const RegLocTable& loc) {
        ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), code, loc));
    }
    std::vector<u8> Image() {
        std::vector<u8> image;
        EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        return image;
    }
    u16 Word(const std::vector<u8>& image, u32 byteOffset) { return GetLe16(&image[8 + byteOffset]); }
    // Writes registers into the stored image, as a user or a peer leaves them.
    void SetWords(std::initializer_list<std::pair<u32, u16>> words) {
        std::vector<u8> image = Image();
        for (auto [at, v] : words) PutLe16(&image[8 + at], v);
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    }
    // Runs the controller for n main-loop passes and ends it with a power
    // failure (the power-down stops the application, which saves its
    // retained values).
    void RunPasses(int n) {
        FirmwareProcess fw;
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        BoardWatchdog w;
        Board_GetWatchdog(&w);
        u64 last = w.lastKeepAliveNs;
        int seen = 0;
        ASSERT_TRUE(WaitUntil(
            [&] {
                Board_GetWatchdog(&w);
                if (w.lastKeepAliveNs != last) last = w.lastKeepAliveNs, ++seen;
                return seen >= n;
            },
            kStartMs));
        fw.Signal(44);
        ASSERT_TRUE(fw.WaitExit(kStartMs));
        ASSERT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
        output = fw.Output();
    }

    TempRoot root;
    std::string output;
};

TEST_F(IecAppSystem, BoundRegistersFollowTheApplicationAndRetainSurvivesARestart) {
    constexpr u32 kSR5 = 2 * (127 + 5);
    SetWords({{kSR5, 2}, {kRegAQG + 2, 21}});  // run mode; %AQG2 = 21 from outside
    RunPasses(20);
    EXPECT_NE(output.find("Q4 runtime"), std::string::npos) << output;
    std::vector<u8> image = Image();
    const u16 count = Word(image, kRegAQG);
    EXPECT_GE(count, 10) << "the application did not run once per scan\n" << output;
    EXPECT_EQ(Word(image, kRegAQG + 2), 21);
    EXPECT_EQ(Word(image, kRegAQG + 4), 42);

    std::vector<u8> ret;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/q4.ret"), ret, 64));
    ASSERT_EQ(ret.size(), 6u);
    EXPECT_EQ(GetLe32(ret.data()), 0xA5A5u);
    EXPECT_EQ(GetLe16(ret.data() + 4), count);

    // Only the retain file can carry the count across: the register is cleared.
    SetWords({{kRegAQG, 0}, {kRegAQG + 2, 50}});
    RunPasses(5);
    image = Image();
    EXPECT_GT(Word(image, kRegAQG), count) << output;
    EXPECT_EQ(Word(image, kRegAQG + 4), 100);
}

// PRINTF lines reach the runtime's trace on standard output; CYCLESTOP
// pauses the application, so no cycle runs after the one that called it.
TEST_F(IecAppSystem, PrintfTracesAndCycleStopPauses) {
    IecImageBuilder b;
    u16 cnt = b.Var(kQ4TypeDint), one = b.Var(kQ4TypeDint, 1), three = b.Var(kQ4TypeDint, 3), z = b.Var(kQ4TypeDint);
    u16 printed = b.Var(kQ4TypeBool), stop = b.Var(kQ4TypeBool), paused = b.Var(kQ4TypeBool);
    u16 fmt = b.String(40, "IEC tick %d, %s %%");
    TicAssembler t;
    t.Op("ADD_DINT", {cnt, cnt, one})
        .Op("CALL_STF", {80, 6, printed, fmt, cnt, z, z, z})
        .Op("GE_DINT", {stop, cnt, three})
        .Op("CALL_STF", {136, 2, paused, stop})
        .Op("END");
    b.Program(t.Finish());
    StoreApp(b.Build(), RegLocTable());
    constexpr u32 kSR5 = 2 * (127 + 5);
    SetWords({{kSR5, 2}});
    RunPasses(30);
    for (const char* line : {"IEC tick 1, %s %\n", "IEC tick 2, %s %\n", "IEC tick 3, %s %\n"})
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
    EXPECT_EQ(output.find("IEC tick 4"), std::string::npos) << "the application ran after CYCLESTOP\n" << output;
}

// The controller's own blocks in the real executable: SETCLK sets the
// controller's clock (never the host's), a TON10MS runs on the scan's
// counter, ALARM latches an alarm raised by the application and shows it in
// %SR1 and %SR2; read from the register image the power-down saves.
TEST_F(IecAppSystem, ControllerBlocksSetTheClockTimeAndShowAnAlarm) {
    const std::time_t hostBefore = std::time(nullptr);
    IecImageBuilder b;
    u16 clk = b.Var(kQ4TypeInt, 0);  // second, minute, hour, day, month, year
    for (u16 v : {0, 12, 15, 6, 2030}) b.Var(kQ4TypeInt, v);
    u16 once = b.Var(kQ4TypeBool, 1), no = b.Var(kQ4TypeBool, 0), done = b.Var(kQ4TypeBool);
    u16 in = b.Var(kQ4TypeBool, 1), q = b.Var(kQ4TypeBool), pt = b.Var(kQ4TypeInt, 5), et = b.Var(kQ4TypeInt);
    u16 alarms = b.Var(kQ4TypeInt);
    b.Var(kQ4TypeInt), b.Var(kQ4TypeInt, 0x100), b.Var(kQ4TypeInt);  // alarm 2's condition is set
    u16 first = b.Var(kQ4TypeDint, 100), n = b.Var(kQ4TypeDint, 4);
    b.FbClass(1, "SETCLK").FbClass(2, "TON10MS").FbClass(3, "ALARM");
    u16 setclk = b.FbInstance(1, false), ton = b.FbInstance(2, false), alm = b.FbInstance(3, false);
    TicAssembler t;
    t.Op("JMPCN", {once, L("blocks")})
        .Op("CALL_FB", {setclk, 3, clk, 6, done})
        .Op("MOVE_BOOL", {once, no})
        .Label("blocks")
        .Op("CALL_FB", {ton, 4, in, pt, q, et})
        .Op("CALL_FB", {alm, 8, alarms, 4, no, no, no, no, first, n})
        .Op("END");
    b.Program(t.Finish());
    RegLocTable loc;
    loc.Bind(kAQG1, IecVarRef(kRef16, et)).Bind(256, IecVarRef(kRef8, q)).Bind(257, IecVarRef(kRef8, done));
    for (u32 k = 0; k < 4; ++k) loc.Bind(kAQG1 + 1 + k, IecVarRef(kRef16, static_cast<u16>(alarms + k)));
    StoreApp(b.Build(), loc);
    constexpr u32 kSR5 = 2 * (127 + 5);
    SetWords({{kSR5, 2}});
    RunPasses(40);
    std::vector<u8> image = Image();
    auto sr = [&](int k) { return Word(image, 2 * (127 + k)); };
    EXPECT_EQ(sr(49), 2030) << output;  // the controller's clock
    EXPECT_EQ(sr(48), 6);
    EXPECT_EQ(sr(47), 15);
    EXPECT_EQ(sr(46), 12);
    EXPECT_EQ(sr(50), 7);  // a Saturday
    EXPECT_EQ(image[8 + kRegQG] & 3, 3) << "SETCLK done and the timer's Q";
    EXPECT_EQ(Word(image, kRegAQG), 5);  // ET stopped at PT
    EXPECT_EQ(Word(image, kRegAQG + 6), 0x301);  // alarm 2: active, counted once
    EXPECT_EQ(Word(image, kRegAQG + 2), 0xC000);  // word 0: active, not acknowledged
    EXPECT_EQ(sr(1), 102);
    EXPECT_EQ(sr(2), 102);
    const std::time_t hostAfter = std::time(nullptr);
    EXPECT_GE(hostAfter, hostBefore);
    EXPECT_LT(hostAfter - hostBefore, 3600) << "the host clock was set";
}

}  // namespace
