// A programming link in this process: a fresh root, a hand-advanced clock,
// clean registers, the programming serial port and the USB port on ptys,
// and scripted hosts on their other ends whose waits step the link.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

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

// Host-time guard of every wait for bytes to cross a pty: generous, so that
// a loaded machine never trips it; it is never what a test checks.
constexpr int kPtyGuardMs = 20000;

// Reads a pty's far end until `want` bytes arrived, running pump (a step of
// the controller) between reads; what arrived, shorter only when the guard
// ran out.
inline std::string ReadFar(int master, size_t want, const std::function<void()>& pump = {}) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPtyGuardMs);
    std::string got;
    while (got.size() < want && std::chrono::steady_clock::now() < guard) {
        char b[4096];
        ssize_t n = ::read(master, b, std::min(sizeof b, want - got.size()));
        if (n > 0) got.append(b, static_cast<size_t>(n));
        if (pump) pump();
        if (n <= 0) {
            pollfd p{master, POLLIN, 0};
            ::poll(&p, 1, 1);
        }
    }
    return got;
}

// Waits until the pty's far end has something to read (at most the guard).
inline bool FarReadable(int master) {
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, kPtyGuardMs) == 1 && (p.revents & POLLIN) != 0;
}

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
    // Steps the link, with the clock standing still, until the condition
    // holds: bytes in flight through the ptys have arrived and been served.
    // Bounded only by the guard.
    bool RunLinkUntil(const std::function<bool()>& done) {
        const auto guard = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPtyGuardMs);
        for (;;) {
            Cmd_Check();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= guard) return false;
            usleep(1000);
        }
    }
    // Proves that the controller sent the host nothing since its last
    // answer: the answer frame of a request is the very next thing on the
    // line (a byte sent before it would be read first and break the frame).
    static void ExpectNothingBeforeTheNextAnswer(LinkHost& h) {
        LinkHost::Reply r = h.Request(1, {kNode});
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(r.frame) << "first byte " << r.single;
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
