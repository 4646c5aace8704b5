// The Ethernet side as the wiring connects it: the special registers of the
// system services reach the interface records, and the programming link's
// Ethernet host reaches the TCP link's mailbox.
#include <gtest/gtest.h>

#include <vector>

#include "iec/kernel/q4host.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "link/linkpeers.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/enet_peers.h"
#include "net/tovra.h"
#include "platform/system.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

class EnetNeighbours : public ::testing::Test {
protected:
    void SetUp() override {
        SYS_Reset();
        Enet_Reset();
        Wiring_Connect();
        SYS_ResetRCBs(0);
    }
    void TearDown() override {
        SYS_Reset();
        Q4Host_Reset();  // the workbench hand-over of command 38 too
        Enet_Reset();
    }
    TempRoot root_;
    RegFixture regs_;
};

TEST_F(EnetNeighbours, SpecialRegistersReadAndWriteTheInterfaceRecords) {
    struct Case {
        u32 id;
        int iface;
        u32 EnetPortConfig::*field;
    } cases[] = {
        {994, 0, &EnetPortConfig::dns},      {995, 1, &EnetPortConfig::dns},
        {1015, 0, &EnetPortConfig::ip},      {1016, 0, &EnetPortConfig::mask},
        {1017, 0, &EnetPortConfig::gateway}, {1019, 1, &EnetPortConfig::ip},
        {1020, 1, &EnetPortConfig::mask},    {1021, 1, &EnetPortConfig::gateway},
    };
    u32 value = 0x0A000001;
    for (const Case& c : cases) {
        SysRcb* r = SYS_LinkReg(c.id, 0x8000 | 4);
        ASSERT_NE(r, nullptr);
        Dpr_Configuration[c.iface].*c.field = value;
        u8 got[4] = {};
        SYS_ReadReg(got, r, 4);
        EXPECT_EQ(GetLe32(got), value) << c.id;
        u8 in[4];
        PutLe32(in, value + 0x100);
        SYS_WriteReg(r, in, 4);
        EXPECT_EQ(Dpr_Configuration[c.iface].*c.field, value + 0x100) << c.id;
        // The other interface's record is not touched.
        EXPECT_NE(Dpr_Configuration[1 - c.iface].*c.field, value + 0x100) << c.id;
        value += 0x01010101;
    }
    for (int i = 0; i < 2; ++i) {
        SysRcb* r = SYS_LinkReg(992 + i, 0x8000 | 1);
        const u8 on = 1;
        SYS_WriteReg(r, &on, 1);
        EXPECT_EQ(Dpr_Configuration[i].dhcp, 1);
        EXPECT_EQ(Dpr_Configuration[1 - i].dhcp, i == 0 ? 0 : 1);
        u8 got = 0;
        SYS_ReadReg(&got, r, 1);
        EXPECT_EQ(got, 1);
    }
    // A write too short for an address changes nothing.
    Dpr_Configuration[0].ip = 0x01020304;
    Enet_NetWrite(0, kNetIp, reinterpret_cast<const u8*>("\x09\x09"), 2);
    EXPECT_EQ(Dpr_Configuration[0].ip, 0x01020304u);
    Enet_NetWrite(2, kNetIp, reinterpret_cast<const u8*>("\x09\x09\x09\x09"), 4);
    EXPECT_EQ(Dpr_Configuration[2].ip, 0u);
}

TEST_F(EnetNeighbours, InterpreterReachesTheMailboxAndTheSecurityCopy) {
    ASSERT_NE(linkPeers.EtnCheckRx, nullptr);
    EXPECT_EQ(linkPeers.EtnCheckRx(), 0);
    u8* t = plc_reg + kSecurityTableOffset;
    for (u32 i = 0; i < kSecurityTableMax; ++i) t[i] = static_cast<u8>(0x30 + i);
    t[0] = 0xFF;
    linkPeers.EtnUpdateSecurity();
    EXPECT_EQ(DprMap[kEtnSecurityFlags], 0xEF);  // bit 4 is not copied
    EXPECT_EQ(GetLe32(DprMap + kEtnSecurityWord), GetLe32(t + 4));
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(GetLe32(DprMap + kEtnPasswords + 4 * k), GetLe32(t + 8 + 24 * k)) << k;
        EXPECT_EQ(DprMap[kEtnPasswordBytes + k], t[28 + 24 * k]) << k;
    }
}

}  // namespace
