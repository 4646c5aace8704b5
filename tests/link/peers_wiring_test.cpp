// The controller's wiring of the system services, buttons, clock, firmware
// update, programming link and the IEC runtime's serial link: every required
// entry is filled, and one left out is named by the start-up check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/wiring.h"
#include "iec/ext/q4canopen.h"
#include "iec/kernel/q4link.h"
#include "link/linkpeers.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cf_fw_load.h"

namespace {

class PeersWiring : public ::testing::Test {
protected:
    void SetUp() override { Wiring_Connect(); }
    void TearDown() override { Wiring_Connect(); }
};

TEST_F(PeersWiring, EveryRequiredEntryIsFilledAndOneLeftOutIsNamed) {
    EXPECT_EQ(Wiring_Missing(), std::vector<std::string>{});
    struct Case {
        const char* entry;
        void (*leaveOut)();
    } cases[] = {
        {"linkPeers.IoCal", [] { linkPeers.IoCal = nullptr; }},
        {"linkPeers.EtnCheckRx", [] { linkPeers.EtnCheckRx = nullptr; }},
        {"linkPeers.CanPutBytes", [] { linkPeers.CanPutBytes = nullptr; }},
        {"linkPeers.SaveAndSetMACID", [] { linkPeers.SaveAndSetMACID = nullptr; }},
        {"q4LinkPeers.descriptor", [] { q4LinkPeers.descriptor = nullptr; }},
        {"q4LinkPeers.handBack", [] { q4LinkPeers.handBack = nullptr; }},
        {"q4CanOpenPeers.sdoWrite", [] { q4CanOpenPeers.sdoWrite = nullptr; }},
        {"sysPeers.mailboxPoll", [] { sysPeers.mailboxPoll = nullptr; }},
        {"sysPeers.netWrite", [] { sysPeers.netWrite = nullptr; }},
        {"touchPeers.update", [] { touchPeers.update = nullptr; }},
        {"rtcPeers.linkCommandRunning", [] { rtcPeers.linkCommandRunning = nullptr; }},
        {"fwUpdatePeers.restart", [] { fwUpdatePeers.restart = nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        c.leaveOut();
        EXPECT_EQ(Wiring_Missing(), std::vector<std::string>{c.entry});
        Wiring_Connect();
        EXPECT_EQ(Wiring_Missing(), std::vector<std::string>{});
    }
}

}  // namespace
