// The real executable with an IEC application that declares CAN messages, on
// the stand-in bus and on a clock the test drives: its cyclic message goes
// out once per period, and a frame from the bus comes back in an on-change
// message through the variable it updates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <csignal>

#include "core/plc_regs.h"
#include "platform/canbus.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/can_peer.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;

std::vector<CanFrame> Only(const std::vector<CanFrame>& frames, u32 id) {
    std::vector<CanFrame> out;
    for (const CanFrame& f : frames)
        if (f.idWord == id) out.push_back(f);
    return out;
}

TEST(IecCanSystem, CyclicAndOnChangeFramesOnTheDrivenClock) {
    TempRoot root;
    {
        // A first start writes the default blocks and register image.
        FirmwareProcess first;
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
    }
    // Run mode (%SR5 = 2) in the stored register image.
    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
    PutLe16(&image[8 + 2 * (127 + 5)], 2);
    PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));

    IecImageBuilder b;
    const u16 value = b.Var(kQ4TypeDint, 0x11223344), echo = b.Var(kQ4TypeDint);
    CanDefinition def;
    def.ports = {{"can0", 1, 2}};
    def.rcv = {{0x201, 0, 4}};
    def.snd = {{0x181, 0, 4, 1, 100}, {0x182, 0, 4, 3, 0, 0}};
    CanVarDef cyc;
    cyc.message = 0, cyc.send = true, cyc.kind = 2, cyc.length = 4, cyc.raw = kQ4TypeDint, cyc.type = kQ4TypeDint;
    cyc.index = value;
    CanVarDef in = cyc;
    in.send = false, in.kind = 1, in.index = echo, in.order = 1;
    CanVarDef out = cyc;
    out.message = 1, out.index = echo;
    def.vars = {cyc, in, out};
    TicAssembler t;
    t.Op("END");
    b.Program(t.Finish());
    ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), b.Can(def).Build(), RegLocTable()));

    const int bus = CanTest_UseFreeBus();
    ASSERT_NE(bus, 0);
    CanPeer peer(bus);
    BoardClock clock;
    FirmwareProcess fw;
    fw.SetEnv("PLC_CAN_BUS", std::to_string(bus));
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running")) << fw.Output();
    // Run until the application has sent its first frames.
    std::vector<CanFrame> seen;
    ASSERT_TRUE(clock.AdvanceUntil(
        [&] {
            for (const CanFrame& f : peer.Take()) seen.push_back(f);
            return !Only(seen, 0x181).empty();
        },
        10000))
        << fw.Output();
    const std::vector<CanFrame> first = Only(seen, 0x181);
    ASSERT_EQ(first[0].length, 4);
    EXPECT_EQ(GetLe32(first[0].data), 0x11223344u);
    // One cyclic frame per 100 ms of the controller's clock.
    for (int step = 0; step < 5; ++step) {
        ASSERT_TRUE(clock.Advance(100));
        EXPECT_EQ(Only(peer.Take(), 0x181).size(), 1u) << "step " << step;
    }
    // A frame from the bus updates the variable (most significant byte
    // first), and its on-change message carries it back.
    ASSERT_TRUE(peer.Send(0x201, {0x01, 0x02, 0x03, 0x04}));
    std::vector<CanFrame> back;
    ASSERT_TRUE(clock.AdvanceUntil(
        [&] {
            for (const CanFrame& f : Only(peer.Take(), 0x182)) back.push_back(f);
            return !back.empty() && GetLe32(back.back().data) == 0x01020304u;
        },
        2000))
        << fw.Output();
    fw.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw));
    unsetenv("PLC_CAN_BUS");
}

}  // namespace
