// A programming link in this process: a fresh root, a hand-advanced clock,
// clean registers, the programming serial port and the USB port on ptys,
// and scripted hosts on their other ends whose waits step the link.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/iodriver.h"
#include "link/cmdproc.h"
#include "link/command.h"
#include "link/datagram.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "platform/rct.h"
#include "platform/timers.h"
#include "testsupport/controller_reset.h"
#include "testsupport/link_host.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

constexpr u8 kNode = 1;
// Register bit address of %R1 and of a system register.
constexpr u32 kR1 = 0x400 + 8 * kRegR;
constexpr u32 SrAddr(int n) { return 0x400 + 16u * (127 + n); }

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLinkController();
        SR_Put(29, kNode);
        PutLe16(ladder, 9);
        ladder_bl.SetHeader(crc16(ladder, 2), 2);
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        ASSERT_TRUE(usb.Open(root.Path("/dev/ttyGS0")));
        SCI0_Init(0);
        SCI4_Init(2);
        SCI1_Init(1);
        Cmd_Init();
        host = std::make_unique<LinkHost>(serial.Master(), Cmd_Seed(), [this] { Pump(); });
        usbHost = std::make_unique<LinkHost>(usb.Master(), Cmd_Seed(), [this] { Pump(); });
    }
    void TearDown() override {
        Sci_Reset();
        Vcomm_Reset();
        Cmd_Reset();
        Wiring_Connect();  // the link's neighbours a test faked
    }
    // One main-loop step of the link while a host waits. Time stands still
    // (so no time-out runs out however slow the ptys are) except through the
    // upload's pause before its first frame.
    void Pump() {
        if (CmdRun == 5 && CmdMode == 2) clock.AdvanceMs(50);
        Cmd_Check();
    }
    // Runs the link for a little real time without advancing the clock, so
    // that bytes in flight through the ptys arrive and are served.
    void Settle(int realMs = 30) {
        for (int i = 0; i < realMs; ++i) {
            Cmd_Check();
            usleep(1000);
        }
    }
    void AdvanceMs(u32 ms) {
        clock.AdvanceMs(ms);
        Cmd_Check();
    }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
    LinkPty serial, usb;
    std::unique_ptr<LinkHost> host, usbHost;
};
