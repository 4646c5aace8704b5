// Modules in both slots exchanged by the controller's scan: inputs reach the
// registers, registers reach the outputs, stop values apply when the
// controller stops, and a module that stops answering keeps its last inputs
// and comes back.
#include <vector>

#include "core/nvram.h"
#include "io_fixture.h"
#include "ladder/ladder_operand.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/io_config_builder.h"

namespace {

class ScanIoTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        Nvram_Reset();
        PutLe16(ladder, 9);  // the empty program: END
        ladder_bl.SetHeader(crc16(ladder, 2), 2);
    }
    // Base module in slot 0 (stop mask on outputs 1-2: output 1 goes on,
    // output 2 off), generation-2 module in slot 1, the Ethernet module.
    void StartBothSlots() {
        ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
        ASSERT_TRUE(IoModules_Plug(1, 0xAE0F));
        std::vector<u8> base(0xB0, 0);
        PutLe16(&base[0x20], 0x0005);
        PutLe16(&base[0x22], 0x0001);
        PutIoConfig({{0xA00F, base}, {0xAE0F, {}}, {64000, {}}});
        ASSERT_EQ(IoConfig(), 0);
        S_Put(6, true);
        SetPlcMode(kModeRun);
        ASSERT_EQ(SR_Get(5) & 0xFF, kModeRun);
    }
    static u8& I(u32 byte) { return plc_reg[kRegI + byte]; }
    static u8& Q(u32 byte) { return plc_reg[kRegQ + byte]; }
};

TEST_F(ScanIoTest, ModulesInBothSlotsExchangeWithTheRegisters) {
    StartBothSlots();
    EXPECT_EQ(std::string(io_cfg[0].info.text, 11), "I/O: BASE32");
    EXPECT_EQ(io_cfg[1].Count(0), 16);
    // Inputs show after one scan.
    IoModules_SetInput(0, 1, true);
    IoModules_SetInput(0, 5, true);
    IoModules_SetInput(1, 3, true);
    IoModules_SetInput(1, 12, true);
    PlcScan();
    EXPECT_EQ(I(0), 0x11);
    EXPECT_EQ(I(32), 0x04);  // the generation-2 module's image of slot 1
    EXPECT_EQ(I(33), 0x08);
    // The program's part, between scans: outputs from inputs.
    Q(0) = I(0);
    Q(32) = I(32);
    Q(33) = I(33);
    PlcScan();
    for (int p = 1; p <= 8; ++p) {
        if (IoModules_Output(0, p) >= 0) {
            EXPECT_EQ(IoModules_Output(0, p), p == 1 || p == 5) << p;
        }
    }
    EXPECT_EQ(IoModules_Output(1, 3), 1);
    EXPECT_EQ(IoModules_Output(1, 12), 1);
    EXPECT_EQ(IoModules_Output(1, 1), 0);
    // An input that goes off follows within the next scan.
    IoModules_SetInput(0, 1, false);
    PlcScan();
    EXPECT_EQ(I(0), 0x10);

    // Stopping the controller puts the stop values out and ends the
    // generation-2 transfers; outputs outside the stop mask hold.
    Q(0) = 0x14;  // outputs 3 and 5
    PlcScan();
    EXPECT_EQ(IoModules_Output(0, 3), 1);
    SetPlcMode(kModeStop);
    EXPECT_EQ(IoModules_Output(0, 1), 1);
    EXPECT_EQ(IoModules_Output(0, 3), 0);
    EXPECT_EQ(IoModules_Output(0, 5), 1);
    // The stopped scan exchanges nothing.
    IoModules_SetInput(0, 2, true);
    PlcScan();
    EXPECT_EQ(I(0), 0x10);
}

// Every mode but stop reads the inputs and writes the outputs.
TEST_F(ScanIoTest, EveryModeButStopExchangesWithTheModules) {
    StartBothSlots();
    const struct {
        u8 mode;
        bool exchanges;
    } cases[] = {{0, false}, {1, true}, {2, true}, {3, true}, {4, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        // The opposite of what the register and the module hold now
        // (input and output 4: outside the stop mask).
        const bool in = (I(0) & 0x08) == 0, out = IoModules_Output(0, 4) == 0;
        IoModules_SetInput(0, 4, in);
        Q(0) = out ? 0x08 : 0x00;
        SR_Put(5, c.mode);
        PlcScan();
        EXPECT_EQ((I(0) & 0x08) != 0, c.exchanges == in);
        EXPECT_EQ(IoModules_Output(0, 4) == 1, c.exchanges == out);
    }
}

TEST_F(ScanIoTest, ModuleThatStopsAnsweringKeepsItsLastValuesAndRecovers) {
    StartBothSlots();
    IoModules_SetInput(0, 1, true);
    PlcScan();
    ASSERT_EQ(I(0), 0x01);
    IoModules_SetNoAck(0, true);
    IoModules_SetInput(0, 2, true);
    Q(0) = 0x04;
    PlcScan();
    EXPECT_EQ(I(0), 0x01);                 // the last inputs stay
    EXPECT_EQ(IoModules_Output(0, 3), 0);  // nothing reached the module
    EXPECT_GT(IoModules_Refused(0), 0u);
    // The other slot carries on.
    IoModules_SetInput(1, 1, true);
    PlcScan();
    EXPECT_EQ(I(32) & 1, 1);
    IoModules_SetNoAck(0, false);
    PlcScan();
    EXPECT_EQ(I(0), 0x03);
    EXPECT_EQ(IoModules_Output(0, 3), 1);
}

// The analog outputs of a module whose converters sit on the shift chain:
// a ladder program moves values into %AQ, the scan brings them out.
TEST_F(ScanIoTest, LadderValuesReachTheChainConverters) {
    ASSERT_TRUE(IoModules_Plug(0, 0x3F0E));
    ASSERT_TRUE(IoModules_Plug(1, 0xAE0F));
    PutIoConfig({{0x3F0E, std::vector<u8>(0xB0, 0)}, {0xAE0F, {}}, {64000, {}}});
    ASSERT_EQ(IoConfig(), 0) << io_cfg[0].info.status << io_cfg[1].info.status;
    constexpr u32 kAQ1 = kLadderBitFirst + 8 * kRegAQ, kOn = lreg::R(1) + 15;
    PutLe16(&plc_reg[kRegR], 0x8000);
    LadderBuilder p(LadderWidth::k32);
    p.Contact(kOn).Op("MOVKW", {kAQ1, 16000}).Op("MOVKW", {kAQ1 + 3 * 16, 32767}).Pop().End();
    ASSERT_TRUE(p.Ok()) << p.Error();
    p.Load();
    S_Put(6, true);
    SetPlcMode(kModeRun);
    ASSERT_EQ(SR_Get(5) & 0xFF, kModeRun);
    PlcScan();
    PlcScan();
    EXPECT_EQ(IoModules_AnalogOutput(0, 0), (16000 * 32767) >> 18);
    EXPECT_EQ(IoModules_AnalogOutput(0, 1), 0);
    EXPECT_EQ(IoModules_AnalogOutput(0, 3), 4095);
    EXPECT_EQ(IoModules_ChainOutput(1), 0xC000u | 0x1000u | 4095u);  // channel 3's frame came last
}

// A configured module that is not plugged in faults the I/O configuration,
// and the scan then exchanges nothing.
TEST_F(ScanIoTest, MissingModuleFaultsTheConfiguration) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    PutIoConfig({{0xA00F, {}}, {0xAE0F, {}}, {64000, {}}});
    EXPECT_EQ(IoConfig(), 1);
    EXPECT_EQ(io_cfg[1].info.status, '-');
    EXPECT_TRUE(SR_Get(4) & kSr4IoFault);
    EXPECT_FALSE(S_Get(6));
}

}  // namespace
