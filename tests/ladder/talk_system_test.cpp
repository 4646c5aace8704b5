// System test: a ladder program in the real executable takes serial port 1
// (a pty joined by socat to the test's peer) with its own settings, sends a
// register block, receives a counted reply, finds the port taken for a
// second opener and refuses a hostile indirect offset.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ladder/ladder_operand.h"
#include "ladder_system.h"
#include "testsupport/socat_pair.h"

namespace {

constexpr u32 kOn = lreg::R(1), kOut = lreg::R(2);

u16 WordAt(const std::vector<u8>& regs, u32 a) { return GetLe16(&regs[2 * WordOf(a)]); }

TEST(TalkSystem, PortOneExchangesWithASocatPeerAndRefusesHostileTransfers) {
    TempRoot root;
    LadderBuilder b(LadderWidth::k32);
    auto opd = [&b](u32 a) { b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16)); };
    auto out = [&b](int bit) { b.Out(kOut + static_cast<u32>(bit)); };
    // Open port 1 at 9600 8N1 for the program.
    b.Contact(kOn).Raw(132).Raw(1).Raw(5).Raw(3).Raw(2 << 8);
    out(0);
    // Send five bytes of R20.., receive four into R30...
    b.Contact(kOn).Raw(133).Raw(1);
    opd(5), opd(lreg::R(20)), opd(lreg::R(11));
    out(1);
    b.Contact(kOn).Raw(134).Raw(1);
    opd(4), opd(lreg::R(30)), opd(lreg::R(12));
    out(2);
    // A second opener with settings of its own.
    b.Contact(kOn).Raw(132).Raw(1).Raw(7).Raw(3).Raw(2 << 8);
    out(3);
    // An indirect send whose offset lies far outside the register memory.
    b.Contact(kOn).Raw(394).Raw(1).Raw(1);
    opd(4), opd(lreg::R(40)), opd(lreg::R(13));
    out(4);
    b.End();
    ASSERT_TRUE(b.Ok()) << b.Error();
    ASSERT_TRUE(PutBytes("/mnt/cfg/ladder.pgm", b.ProgramFile()));
    ASSERT_TRUE(PutBytes("/mnt/cfg/config.pgm", LadderConfigFile()));
    ASSERT_TRUE(PutBytes("/mnt/cfg/autoreg.dta",
                         RunModeRegisterImage({{WordOf(kOn), 1},
                                               {WordOf(lreg::R(20)), 0x4548},
                                               {WordOf(lreg::R(21)), 0x4C4C},
                                               {WordOf(lreg::R(22)), 0x004F},
                                               {WordOf(lreg::R(40)), 0xFFF0},
                                               {WordOf(lreg::R(41)), 0xFFFF}})));

    SocatPair pair(root.Path("/dev/ttySP4"), root.Path("/tmp/peer"));
    ASSERT_TRUE(pair.Ready());
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(WaitUntil(
        [&] {
            return std::filesystem::exists(root.Path(kBoardStatePath)) && (Board_IsOpen() || Board_Open()) &&
                   Board_ControllerPid() == fw.Pid();
        },
        20000))
        << fw.Output();
    int peer = ::open(root.Path("/tmp/peer").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(peer, 0);
    std::string got;
    EXPECT_TRUE(WaitUntil(
        [&] {
            char c[16];
            ssize_t n = ::read(peer, c, sizeof c);
            if (n > 0) got.append(c, static_cast<size_t>(n));
            return got.size() >= 5;
        },
        20000));
    EXPECT_EQ(got, "HELLO");
    ASSERT_EQ(::write(peer, "ab", 2), 2);
    ASSERT_EQ(::write(peer, "cd", 2), 2);
    EXPECT_TRUE(WaitMainLoopPasses(20, 20000));
    ::close(peer);
    EXPECT_TRUE(Board_SignalPowerFail());
    ASSERT_TRUE(fw.WaitExit(20000)) << fw.Output();
    Board_Close();
    ASSERT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();

    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 8 + kPlcRegBytes));
    ASSERT_EQ(image.size(), 8 + kPlcRegBytes);
    std::vector<u8> regs(image.begin() + 8, image.end());
    EXPECT_EQ(WordAt(regs, kOut) & 0x1F, 0x07) << "open, send and receive done; second opener and hostile send refused";
    EXPECT_EQ(WordAt(regs, lreg::R(11)), 5);
    EXPECT_EQ(WordAt(regs, lreg::R(12)), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&regs[2 * WordOf(lreg::R(30))]), 4), "abcd");
    EXPECT_EQ(WordAt(regs, lreg::R(13)), 0xFFFF);
}

}  // namespace
