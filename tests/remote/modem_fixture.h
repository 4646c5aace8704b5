// In-process fixture of the modem tests: a fresh root, the hand-advanced
// clock, the fake modem on the internal module's port, and a clean engine.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

#include "remote/at_cmd.h"
#include "remote/cellport.h"
#include "remote/modem.h"
#include "testsupport/fake_modem.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        Modem_ResetAll();
        ASSERT_TRUE(modem.Open(root.Path(kCellPortPath)));
        static const u8 mode[6] = {9, 0, 3, 0, 0, 1};
        ASSERT_EQ(CellPort_Driver().Open(kCellPort, mode), 1);
        at_status.port = kCellPort;
    }
    void TearDown() override { Modem_ResetAll(); }

    // Waits (bounded) for the controller's or the modem's side to have input.
    void AwaitIo() {
        std::vector<pollfd> fds;
        CellPort_Descriptors(fds);
        poll(fds.data(), fds.size(), 2);
    }

    // Runs one script step from `first` until the engine says it is done;
    // answers the distance, or -1 when it never ends.
    int RunStep(const AtCmdRecord* first, u32 letter = 'x') {
        at_status.letter = letter;
        at_status.engineState = kAtSend;
        at_status.reply = at_status.replyBuffer;
        at_status.capacity = kAtReplyBytes;
        at_status.count = 0;
        for (int i = 0; i < 2000; ++i) {
            u8 d = AT_Cmd_Handler(first);
            if (at_status.engineState == kAtDone) return d;
            if (at_status.engineState == kAtSend && at_status.result == kAtFound) return d;
            modem.Pump();
            AwaitIo();
        }
        return -1;
    }

    TempRoot root;
    ManualClock clock;
    FakeModem modem;
};

// Runs the modem cycle until done() holds (false after maxPasses). Virtual
// time moves only while neither side has anything to read: briefly guarded
// while a reply is awaited, at once while the cycle pauses or idles.
template <class Done>
bool DriveCycle(ModemTest& t, FakeModem& modem, ManualClock& clock, Done done, int maxPasses = 20000,
                u64 idleTicks = 2000) {
    for (int i = 0; i < maxPasses; ++i) {
        ModemCycle();
        if (done()) return true;
        std::vector<pollfd> fds;
        CellPort_Descriptors(fds);
        fds.push_back({modem.Master(), POLLIN, 0});
        int guard = at_status.engineState == kAtWait ? 200 : 1;
        if (poll(fds.data(), fds.size(), guard) > 0) {
            if (modem.Pump() > 0) {
                std::vector<pollfd> mine;
                CellPort_Descriptors(mine);
                poll(mine.data(), mine.size(), 200);
            }
            continue;
        }
        modem.Pump();
        clock.AdvanceTicks(idleTicks);
    }
    (void)t;
    return false;
}
