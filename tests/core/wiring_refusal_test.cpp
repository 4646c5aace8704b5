// The controller refuses to start with a neighbour entry of the control floor
// left empty, and names the entry.
#include <gtest/gtest.h>

#include <string>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/kernel/q4host.h"
#include "testsupport/temp_root.h"

namespace {

class WiringRefusal : public ::testing::Test {
protected:
    void TearDown() override { Wiring_Connect(); }
    TempRoot root;
};

TEST_F(WiringRefusal, TheWiredControllerIsWhole) {
    Wiring_Connect();
    EXPECT_TRUE(Wiring_Missing().empty());
}

TEST_F(WiringRefusal, StartNamesTheEmptyEntry) {
    struct Case {
        const char* entry;
        void (*empty)();
    } cases[] = {
        {"scanPeers.runLadder", [] { scanPeers.runLadder = nullptr; }},
        {"scanPeers.ethernetStatus", [] { scanPeers.ethernetStatus = nullptr; }},
        {"regPeers.portRequest", [] { regPeers.portRequest = nullptr; }},
        {"nvramPeers.applyNetIoConfig", [] { nvramPeers.applyNetIoConfig = nullptr; }},
        {"backupPeers.pollMedia", [] { backupPeers.pollMedia = nullptr; }},
        {"q4HostPeers.stopIo", [] { q4HostPeers.stopIo = nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Wiring_Connect();
        c.empty();
        char name[] = "plcfw";
        char* argv[] = {name, nullptr};
        testing::internal::CaptureStderr();
        int result = PlcStart(1, argv);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, 1);
        EXPECT_NE(err.find(std::string(c.entry) + " is not wired"), std::string::npos) << err;
        // Only the emptied entry is named.
        EXPECT_EQ(err.find("not wired"), err.rfind("not wired")) << err;
    }
    Wiring_Connect();
}

}  // namespace
