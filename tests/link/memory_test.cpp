// Memory areas: download, verify, upload; registers; modes.
#include <sys/stat.h>

#include <cstring>

#include "iec/blocks/q4hostglue.h"
#include "link_fixture.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/ladder_builder.h"

namespace {

std::vector<u8> Pattern(size_t n, u8 salt) {
    std::vector<u8> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<u8>(i * 31 + salt);
    return v;
}

std::vector<u8> StoredLadder() {
    std::vector<u8> f;
    File_ReadAll(Root_HostPath("/mnt/cfg/ladder.pgm"), f, 1u << 24);
    return f;
}

using LinkMemory = LinkTest;

TEST_F(LinkMemory, DownloadStoresVerifiesAndUploadsByteForByte) {
    std::vector<u8> program = Pattern(3000, 1);
    ASSERT_EQ(host->Download(kNode, 0, program, 200), 0xA0);
    EXPECT_EQ(ladder_bl.Size(), program.size());
    EXPECT_EQ(0, std::memcmp(ladder, program.data(), program.size()));
    u16 crc = crc16(program.data(), static_cast<u32>(program.size()));
    EXPECT_EQ(ladder_bl.Crc(), crc);
    EXPECT_EQ(SR_Get(23), crc);
    EXPECT_EQ(SR_GetDword(11), program.size());
    EXPECT_EQ(Cmd_Downloading, 0);
    // Stored on the internal volume (the controller is not in run).
    std::vector<u8> file = StoredLadder();
    ASSERT_GE(file.size(), 8 + program.size());
    EXPECT_EQ(GetLe16(file.data()), crc);

    EXPECT_EQ(host->Verify(kNode, 0, program, 250), 0xA0);
    std::vector<u8> changed = program;
    changed[2500] ^= 1;
    EXPECT_EQ(host->Verify(kNode, 0, changed, 250), 0x09);

    std::vector<u8> up;
    ASSERT_TRUE(host->Upload(kNode, 0, &up));
    EXPECT_EQ(up, program);
    ASSERT_TRUE(host->Upload(kNode, 0, &up, true));
    ASSERT_EQ(up.size(), 8u);
    EXPECT_EQ(GetLe16(&up[0]), crc);
    EXPECT_EQ(GetLe32(&up[4]), program.size());
}

TEST_F(LinkMemory, UploadFramesFollowTheDataMaxAndResendOnRequest) {
    std::vector<u8> table = Pattern(130, 9);
    ASSERT_EQ(host->Download(kNode, 22, table, 130), 0xA0);
    ASSERT_EQ(host->Ask(5, {kNode, 22}), 0xA0);
    std::vector<size_t> sizes;
    std::vector<u8> got;
    bool resent = false;
    for (;;) {
        LinkHost::Reply r = host->ReadReply(5000);
        ASSERT_TRUE(r.frame);
        sizes.push_back(r.data.size());
        if (sizes.size() == 2 && !resent) {
            resent = true;
            host->SendByte(0x0F);
            continue;
        }
        got.insert(got.end(), r.data.begin(), r.data.end());
        host->SendByte(0xA0);
        if (r.data.empty()) break;
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 64, 2, 0}));
    EXPECT_EQ(got, table);
}

TEST_F(LinkMemory, RefusedAreasAndAreaSideEffects) {
    for (u8 area : {1, 3, 7, 17, 34, 200}) {
        SCOPED_TRACE(area);
        EXPECT_EQ(host->Ask(4, {kNode, area}), 0x09);
        EXPECT_EQ(host->Ask(3, {kNode, area}), 0x09);
    }
    std::vector<u8> info;
    EXPECT_TRUE(host->Upload(kNode, 17, &info));  // upload only
    EXPECT_EQ(info.size(), kCmdSsInfoBytes);

    // Area 5 invalidates the network configuration.
    SR_Put(27, 0x1111);
    SR_PutDword(19, 40);
    net_config_bl.SetHeader(0x1111, 40);
    ASSERT_EQ(host->Download(kNode, 5, Pattern(64, 3), 64), 0xA0);
    EXPECT_EQ(SR_Get(27), 0);
    EXPECT_EQ(SR_GetDword(19), 0u);
    EXPECT_EQ(net_config_bl.Size(), 0u);
    EXPECT_EQ(CmdNetIoConfigUpdated, 1);

    // Area 2 reaches the force table through the %F registers.
    std::vector<u8> forces = Pattern(20, 5);
    ASSERT_EQ(host->Download(kNode, 2, forces, 20), 0xA0);
    EXPECT_EQ(0, std::memcmp(io_force, forces.data(), forces.size()));
    EXPECT_EQ(SR_Get(25), crc16(forces.data(), 20));
    EXPECT_EQ(SR_GetDword(15), 20u);
}

TEST_F(LinkMemory, OnlineProgrammingRedirectsTheProgramDownload) {
    EXPECT_EQ(host->SetMode(kNode, 3), 0xA0);
    EXPECT_EQ(OLPMode, 1);
    LinkHost::Reply r = host->Request(1, {kNode});
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, std::vector<u8>{3});
    std::vector<u8> edit = Pattern(100, 4);
    ASSERT_EQ(host->Ask(4, {kNode, 0}), 0xA0);
    EXPECT_EQ(Cmd_Downloading, 0);  // not marked
    host->Send(0xFF, edit);
    EXPECT_EQ(host->ReadByte(), 0xA0);
    host->Send(0xFF, {});
    EXPECT_EQ(host->ReadByte(), 0xA0);
    EXPECT_EQ(GetLe32(ladder_olp + 4), 100u);
    EXPECT_EQ(0, std::memcmp(ladder_olp + 8, edit.data(), 100));
    EXPECT_EQ(ladder_bl.Size(), 2u);  // the running program is untouched
}

TEST_F(LinkMemory, FaultyDownloadFramesAreRefusedAndNothingIsStored) {
    std::vector<u8> program = Pattern(400, 2);
    ASSERT_EQ(host->Download(kNode, 0, program, 100), 0xA0);
    std::vector<u8> before = StoredLadder();
    ASSERT_FALSE(before.empty());
    struct Case {
        const char* what;
        u8 area;
        std::vector<u8> frame;  // data of the one frame sent after the request
    } cases[] = {
        {"frame larger than the receive buffer", 0, std::vector<u8>(1500, 0x11)},
        {"frame past the security table", 4, std::vector<u8>(100, 0x22)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(host->Ask(4, {kNode, c.area}), 0xA0);
        host->Send(0xFF, c.frame);
        EXPECT_EQ(host->ReadByte(), 0x09);
        EXPECT_EQ(Cmd_Downloading, 0);
        EXPECT_EQ(CmdRun, 255);
        EXPECT_EQ(StoredLadder(), before);
    }
    // The stored program is back in memory.
    EXPECT_EQ(ladder_bl.Size(), program.size());
    EXPECT_EQ(0, std::memcmp(ladder, program.data(), program.size()));
}

TEST_F(LinkMemory, AbandonedDownloadKeepsTheStoredProgram) {
    std::vector<u8> program = Pattern(400, 6);
    ASSERT_EQ(host->Download(kNode, 0, program, 100), 0xA0);
    std::vector<u8> before = StoredLadder();
    ASSERT_EQ(host->Ask(4, {kNode, 0}), 0xA0);
    host->Send(0xFF, Pattern(50, 7));
    EXPECT_EQ(host->ReadByte(), 0xA0);
    EXPECT_EQ(Cmd_Downloading, 1);
    AdvanceMs(Cmd_ReplyTimeout());
    EXPECT_EQ(Cmd_Downloading, 0);
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(StoredLadder(), before);
    EXPECT_EQ(0, std::memcmp(ladder, program.data(), program.size()));
}

TEST_F(LinkMemory, DownloadUnderCommandLockStoresWhenReleased) {
    ASSERT_EQ(host->Ask(25, {kNode, 1}), 0xA0);
    std::vector<u8> program = Pattern(64, 8);
    ASSERT_EQ(host->Download(kNode, 0, program, 64), 0xA0);
    EXPECT_EQ(Cmd_Downloading, 1);  // still marked while command 25 holds the link
    EXPECT_TRUE(StoredLadder().empty());
    ASSERT_EQ(host->Ask(25, {kNode, 0}), 0xA0);
    EXPECT_EQ(Cmd_Downloading, 0);
    std::vector<u8> f = StoredLadder();
    ASSERT_EQ(f.size(), 8 + program.size());
    EXPECT_EQ(0, std::memcmp(f.data() + 8, program.data(), program.size()));
}

TEST_F(LinkMemory, RegisterReadAndWrite) {
    PutLe16(&plc_reg[kRegR], 0xBEEF);
    PutLe16(&plc_reg[kRegR + 2], 0x1234);
    struct Case {
        const char* what;
        std::vector<u8> request;  // command 22 data
        int single;
        std::vector<u8> frame;
    } reads[] = {
        {"32 bits by address", {kNode, 32, 0, 0, 0x00, 0x80, 0, 0}, -1, {0xEF, 0xBE, 0x34, 0x12}},
        {"one bit", {kNode, 1, 0, 0, 0x00, 0x80, 0, 0}, -1, {1}},
        {"16-bit token address", {kNode, 16, 0x10, 0x80}, -1, {0x34, 0x12}},
        {"invalid address", {kNode, 16, 0, 0, 0, 0, 0, 0}, 0x0F, {}},
        {"address bytes missing", {kNode, 16, 0, 0, 0}, 0x0F, {}},
    };
    for (const Case& c : reads) {
        SCOPED_TRACE(c.what);
        LinkHost::Reply r = host->Request(22, c.request);
        if (c.single >= 0) {
            EXPECT_EQ(r.single, c.single);
        } else {
            ASSERT_TRUE(r.frame);
            EXPECT_EQ(r.data, c.frame);
        }
    }
    EXPECT_EQ(host->WriteRegs(kNode, kR1 + 16, 16, {0x78, 0x56}), 0xA0);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), 0x5678);
    // Values missing from the request: refused, nothing written.
    EXPECT_EQ(host->WriteRegs(kNode, kR1, 32, {0x01, 0x02}), 0x09);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0xBEEF);
    // A refused address is not reported.
    EXPECT_EQ(host->WriteRegs(kNode, 0, 16, {1, 2}), 0xA0);
    // Mode register during on-line programming reads 3.
    OLPMode = 1;
    LinkHost::Reply r = host->ReadRegs(kNode, SrAddr(5), 16);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{3, 0}));
    OLPMode = 0;
    // Bit count 0 clears the register memory.
    EXPECT_EQ(host->WriteRegs(kNode, kR1, 0, {}), 0xA0);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0);
}

TEST_F(LinkMemory, DownloadedProgramIsCheckedBeforeItMayRun) {
    LadderBuilder good;
    good.Contact(lreg::I(1)).Out(lreg::Q(1)).End();
    LadderBuilder bad;  // no path reaches END
    bad.Contact(lreg::I(1)).Out(lreg::Q(1));
    struct Case {
        const char* what;
        std::vector<u8> program;
        bool invalid;
        u16 modeAfterRun;
    } cases[] = {
        {"refused by the checker", bad.BlockData(), true, 0},
        {"accepted", good.BlockData(), false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(host->Download(kNode, 0, c.program, 64), 0xA0);
        EXPECT_EQ((SR_Get(4) & kSr4ProgramInvalid) != 0, c.invalid);
        // A run request the program check blocks is refused.
        EXPECT_EQ(host->SetMode(kNode, 2), c.modeAfterRun == 2 ? kCmdAck : kCmdNak);
        EXPECT_EQ(SR_Get(5), c.modeAfterRun);
        EXPECT_EQ(host->SetMode(kNode, 0), 0xA0);
    }
}

TEST_F(LinkMemory, ModeChangesAndNodeId) {
    EXPECT_EQ(host->SetMode(kNode, 2), 0xA0);
    EXPECT_EQ(SR_Get(5), 2);
    EXPECT_EQ(host->SetMode(kNode, 0), 0xA0);
    EXPECT_EQ(SR_Get(5), 0);
    EXPECT_EQ(host->Ask(10, {9}), 0xA0);
    EXPECT_EQ(SR_Get(29), 9);
    // The node answers to its new id only.
    EXPECT_EQ(host->SetMode(9, 1), 0xA0);
    EXPECT_EQ(SR_Get(5), 1);
    EXPECT_EQ(host->Ask(10, {128}), 0xA0);
    EXPECT_EQ(SR_Get(29), 9);
}

}  // namespace
