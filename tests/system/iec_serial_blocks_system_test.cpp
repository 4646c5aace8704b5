// System tests: the serial-port blocks of an IEC application in the real
// executable exchange bytes with a peer across a pty pair made by socat and
// standing where the controller lends its port 1 (/dev/ttySP4, SR163 = 10);
// with no port to lend, the blocks report their port closed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/socat_pair.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kAQG1 = 1056;  // location-table index of %AQG1
constexpr u32 kSR5 = 2 * (127 + 5), kSR163 = 2 * (127 + 163);

class IecSerialSystem : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareProcess first;  // writes the default blocks and register image
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
    }
    void Install(IecImageBuilder& b, const RegLocTable& loc) {
        ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), b.Build(), loc));
    }
    std::vector<u8> Image() {
        std::vector<u8> image;
        EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        return image;
    }
    u16 Word(u32 byteOffset) {
        std::vector<u8> image = Image();
        return image.size() >= 10 + byteOffset ? GetLe16(&image[8 + byteOffset]) : 0xFFFF;
    }
    void SetWords(std::initializer_list<std::pair<u32, u16>> words) {
        std::vector<u8> image = Image();
        for (auto [at, v] : words) PutLe16(&image[8 + at], v);
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    }
    // Writes text to the peer's end and waits for it to come back.
    std::string Echo(int peer, const std::string& text) {
        EXPECT_EQ(::write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        std::string got;
        WaitUntil(
            [&] {
                char b[64];
                ssize_t n = ::read(peer, b, sizeof b);
                if (n > 0) got.append(b, static_cast<size_t>(n));
                return got.size() >= text.size();
            },
            15000);
        return got;
    }
    // Runs the controller with the application in run mode; `during` runs
    // while it is up; a power failure ends it (the registers are saved).
    void Run(u16 sr163, const std::function<void()>& during) {
        SetWords({{kSR5, 2}, {kSR163, sr163}});
        FirmwareProcess fw;
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        during();
        fw.Signal(44);
        ASSERT_TRUE(fw.WaitExit(kStartMs));
        ASSERT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
    }
    // Waits for n passes of the main loop (the watchdog is tickled once a pass).
    static void WaitPasses(int n) {
        BoardWatchdog w;
        Board_GetWatchdog(&w);
        u64 last = w.lastKeepAliveNs;
        int seen = 0;
        EXPECT_TRUE(WaitUntil(
            [&] {
                Board_GetWatchdog(&w);
                if (w.lastKeepAliveNs != last) last = w.lastKeepAliveNs, ++seen;
                return seen >= n;
            },
            kStartMs));
    }
    // %AQG1 = OPEN of the block, %AQG2 counts cycles.
    static void OpenAndCount(IecImageBuilder& b, TicAssembler& t, u16 open, RegLocTable* loc) {
        u16 openInt = b.Var(kQ4TypeInt), cnt = b.Var(kQ4TypeInt), one = b.Var(kQ4TypeInt, 1);
        t.Op("ADD_INT", {cnt, cnt, one})
            .Op("LDK_INT", {openInt, 1})
            .Op("JMPC", {open, L("done")})
            .Op("LDK_INT", {openInt, 0})
            .Label("done")
            .Op("END");
        loc->Bind(kAQG1, IecVarRef(kRef16, openInt)).Bind(kAQG1 + 1, IecVarRef(kRef16, cnt));
    }

    TempRoot root;
};

// SERIO echoes what it receives: DATARCV goes to DATASND, RCV to SND.
TEST_F(IecSerialSystem, StringsExchangeWithAPeerAndStayClosedWithoutAPort) {
    IecImageBuilder b;
    u16 run = b.Var(kQ4TypeBool, 1), snd = b.Var(kQ4TypeBool), conf = b.String(16, "9600,N,8,1");
    u16 out = b.String(32), in = b.String(32), open = b.Var(kQ4TypeBool), rcv = b.Var(kQ4TypeBool),
        sendres = b.Var(kQ4TypeBool);
    b.FbClass(21, "SERIO");
    u16 serio = b.FbInstance(21, true);
    TicAssembler t;
    t.Op("CALL_FB", {serio, 8, run, snd, conf, out, open, rcv, sendres, in})
        .Op("MOVE_STRING", {out, in})
        .Op("MOVE_BOOL", {snd, rcv});
    RegLocTable loc;
    OpenAndCount(b, t, open, &loc);
    b.Program(t.Finish());
    Install(b, loc);

    SocatPair pair(root.Path("/dev/ttySP4"), root.Path("/tmp/peer"));
    ASSERT_TRUE(pair.Ready());
    Run(10, [&] {
        int peer = ::open(root.Path("/tmp/peer").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(peer, 0);
        EXPECT_EQ(Echo(peer, "ping"), "ping");
        EXPECT_EQ(Echo(peer, "second line"), "second line");
        ::close(peer);
    });
    EXPECT_EQ(Word(kRegAQG), 1);

    // SR163 0 would name the programming port, which is never lent.
    Run(0, [&] { WaitPasses(10); });
    EXPECT_EQ(Word(kRegAQG), 0);
    EXPECT_GT(Word(kRegAQG + 2), 0);
}

// SERIO_B echoes the bytes it receives; a second instance with negative
// positions before it would steal or spoil them if it were served.
TEST_F(IecSerialSystem, ByteArraysExchangeAndNegativePositionsAreRefused) {
    IecImageBuilder b;
    u16 run = b.Var(kQ4TypeBool, 1), conf = b.String(16, "");
    u16 buf = b.Array(kQ4TypeUsint, 16), zero = b.Var(kQ4TypeDint), n = b.Var(kQ4TypeDint),
        sixteen = b.Var(kQ4TypeDint, 16), neg = b.Var(kQ4TypeDint, static_cast<u32>(-1)), four = b.Var(kQ4TypeDint, 4);
    u16 open = b.Var(kQ4TypeBool), sent = b.Var(kQ4TypeDint), open2 = b.Var(kQ4TypeBool), sent2 = b.Var(kQ4TypeDint),
        got2 = b.Var(kQ4TypeDint);
    b.FbClass(55, "SERIO_B");
    u16 bad = b.FbInstance(55, true), echo = b.FbInstance(55, true);
    TicAssembler t;
    t.Op("CALL_FB", {bad, 13, run, conf, buf, 16, neg, four, buf, 16, neg, sixteen, open2, sent2, got2})
        .Op("CALL_FB", {echo, 13, run, conf, buf, 16, zero, n, buf, 16, zero, sixteen, open, sent, n});
    RegLocTable loc;
    OpenAndCount(b, t, open, &loc);
    b.Program(t.Finish());
    Install(b, loc);

    SocatPair pair(root.Path("/dev/ttySP4"), root.Path("/tmp/peer"));
    ASSERT_TRUE(pair.Ready());
    Run(10, [&] {
        int peer = ::open(root.Path("/tmp/peer").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(peer, 0);
        EXPECT_EQ(Echo(peer, std::string("\x01\x02\xff\x00z", 5)), std::string("\x01\x02\xff\x00z", 5));
        ::close(peer);
    });
    EXPECT_EQ(Word(kRegAQG), 1);
}

}  // namespace
