// The SoC buses on the simulated board: shift chains, SPI, and I2C0 by the
// kernel's system call and by its registers.
#include <vector>

#include "platform/fileio.h"

#include "io_fixture.h"

namespace {

using BusTest = IoTest;

struct ChainCase {
    int chain;
    u32 shadowBefore, set, clear;
    u32 shifted;    // what the chain's devices latched
    u16 input;      // what they present
    u32 readBack;
};

// Chains 0 and 1 shift 16 bits most significant first and read 16 back;
// chain 2 shifts 12 bits least significant first and reads nothing.
TEST_F(BusTest, ShiftChainsShiftTheShadowInTheirBitOrder) {
    const ChainCase cases[] = {
        {0, 0x0000, 0x8001, 0x0001, 0x8000, 0xA5C3, 0xA5C3},
        {1, 0x0000, 0x8001, 0x0001, 0x8000, 0x0001, 0x0001},
        {1, 0x1234, 0x0100, 0x0004, 0x1330, 0x8000, 0x8000},
        {2, 0x0000, 0x0801, 0x0000, 0x0801, 0xFFFF, 0},
        {2, 0x0F0F, 0x0000, 0x0F00, 0x000F, 0x0000, 0},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.chain);
        Ssp2_Reset();
        u32 shadow[3] = {};
        Ssp2_ReadShadow(shadow);
        shadow[c.chain] = c.shadowBefore;
        u8 bytes[12];
        for (int i = 0; i < 3; ++i) PutLe32(bytes + 4 * i, shadow[i]);
        ASSERT_TRUE(File_WriteAtomic(root.Path("/proc/Ssp2_Out_Data"), bytes, 12));
        IoModules_SetChainInput(c.chain, c.input);
        EXPECT_EQ(Ssp2_Xch(c.set, c.clear, c.chain), c.readBack);
        EXPECT_EQ(IoModules_ChainOutput(c.chain), c.shifted);
        u32 after[3];
        Ssp2_ReadShadow(after);
        EXPECT_EQ(after[c.chain], (c.shadowBefore | c.set) & ~c.clear);
        EXPECT_EQ(Ssp2_Busy(), 0);
    }
}

TEST_F(BusTest, ChainOutsideTheThreeTouchesNothing) {
    u32 before[kGpioBanks];
    for (int b = 0; b < kGpioBanks; ++b) before[b] = Board_GpioOut(b);
    EXPECT_EQ(Ssp2_Xch(0xFFFF, 0, 3), 0u);
    EXPECT_EQ(Ssp2_Xch(0xFFFF, 0, -1), 0u);
    for (int b = 0; b < kGpioBanks; ++b) EXPECT_EQ(Board_GpioOut(b), before[b]);
    u32 shadow[3];
    Ssp2_ReadShadow(shadow);
    EXPECT_EQ(shadow[0] | shadow[1] | shadow[2], 0u);
}

TEST_F(BusTest, SpiWithoutABusLeavesTheValue) {
    for (int read : {0, 1}) {
        EXPECT_EQ(spi_data_RD_nWR(0x12345678, 0x0102, 4, read), 0x12345678u);
        EXPECT_EQ(spi_data_RD_nWR(0, 0x0010, 1, read), 0u);
    }
}

// With a port set up and selected, a transaction reaches the I/O logic.
TEST_F(BusTest, SelectedSspPortReachesTheIoLogic) {
    ASSERT_EQ(spi_init(SpiSetup{2, 0, 5, 2}), 1);
    EXPECT_EQ(spi_init(SpiSetup{2, 0, 5, 2}), 0);  // already set up
    EXPECT_EQ(spi_init(SpiSetup{7, 0, 5, 2}), 0);  // unknown port
    spi_usage = {2, 4};
    EXPECT_EQ(spi_data_RD_nWR(0x00C0FFEE, 0x0012, 3, 0), 0x00C0FFEEu);
    EXPECT_EQ(IoModules_LogicRegister(0x12), 0x00C0FFEEu);
    IoModules_SetLogicRegister(0x21, 0xA1B2C3D4);
    EXPECT_EQ(spi_data_RD_nWR(0, 0x0021, 4, 1), 0xA1B2C3D4u);
    EXPECT_EQ(spi_data_RD_nWR(0, 0x0021, 2, 1), 0xC3D4u);
    // Select 4 of the second port is active high and idles low again.
    EXPECT_EQ(Board_GpioOut(4) & (1u << 5), 0u);
    Fpga_Close();
    EXPECT_EQ(spi_data_RD_nWR(7, 0x0021, 4, 1), 7u);
}

// The same transfers through both paths give the same device behaviour.
TEST_F(BusTest, KernelAndDirectPathsMoveTheSameBytes) {
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct registers" : "kernel call");
        IoModules_Reset();
        UseDirectRegisters(direct);
        ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
        ASSERT_EQ(i2c0_init(I2c_KernelBuild()), 1);
        EXPECT_EQ(I2c_KernelPath(), !direct);
        EXPECT_EQ(i2c0_query(0x40, 1), 1);
        EXPECT_EQ(i2c0_query(0x48, 1), 0);  // nobody there
        const u8 ports[2] = {0xFF, 0x5A};
        EXPECT_EQ(i2c_data_write(0x40, ports, 2), 1);
        IoExpanderState e;
        ASSERT_TRUE(IoModules_Expander(0x40, &e));
        EXPECT_EQ(e.latch, 0x5AFF);
        IoModules_SetInput(0, 1, true);
        IoModules_SetInput(0, 8, true);
        u8 in[2] = {};
        EXPECT_EQ(i2c_data_read(0x41, in, 2), 1);
        EXPECT_EQ(in[0], 0x81);
        EXPECT_EQ(in[1], 0x5A);
        // After a refused transfer the bus still works.
        EXPECT_EQ(i2c_data_read(0x49, in, 2), 0);
        EXPECT_EQ(i2c_data_read(0x41, in, 1), 1);
    }
}

TEST_F(BusTest, DirectPathProgramsTheControllerRegisters) {
    UseDirectRegisters(true);
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    ASSERT_EQ(i2c0_init(I2c_KernelBuild()), 1);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cTiming0), 0x00780030u);
    i2c_timing(2);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cTiming0), 0x000F0007u);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cTiming2), 0x0015000Du);
    EXPECT_EQ(Board_RegRead(kSocPinctrlBase + kPinctrlPull0 + 0x30) & 0x3000000u, 0x3000000u);
    // A probe with a stop ends with the stop form of control register 0.
    EXPECT_EQ(i2c0_query(0x40, 1), 1);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cCtrl0) & 0x00FFFFFFu, 0x00190001u);
    EXPECT_EQ(i2c0_query(0x40, 0), 1);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cCtrl0) & 0x00FFFFFFu, 0x00290001u);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base + kI2cCtrl1) & kI2cCtrl1NoSlaveAck, 0u);
}

// A read whose count is not a multiple of four fills exactly its buffer.
TEST_F(BusTest, DirectReadNeverWritesPastItsBuffer) {
    UseDirectRegisters(true);
    ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
    for (u32 a = 0; a < 16; ++a) IoModules_SetMemoryByte(1, 16 + a, static_cast<u8>(0x10 + a));
    for (u32 count : {1u, 3u, 5u, 6u, 7u, 9u}) {
        SCOPED_TRACE(count);
        std::vector<u8> buf(count + 4, 0xEE);
        const u8 address[2] = {0x00, 0x10};
        ASSERT_EQ(i2c_data_write(0x1E, address, 2), 1);
        ASSERT_EQ(i2c_data_read(0x1F, buf.data(), count), 1);
        for (u32 i = 0; i < count; ++i) EXPECT_EQ(buf[i], 0x10 + i);
        for (u32 i = count; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << "byte " << i;
    }
}

// A device that does not answer its address gets no data, on both paths.
TEST_F(BusTest, RefusedAddressSendsNoData) {
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct registers" : "kernel call");
        IoModules_Reset();
        UseDirectRegisters(direct);
        ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
        IoModules_SetNoAck(0, true);
        const u8 ports[2] = {0x00, 0x00};
        EXPECT_EQ(i2c_data_write(0x40, ports, 2), 0);
        EXPECT_EQ(i2c0_query(0x40, 1), 0);
        u8 in[2];
        EXPECT_EQ(i2c_data_read(0x41, in, 2), 0);
        IoExpanderState e;
        ASSERT_TRUE(IoModules_Expander(0x40, &e));
        EXPECT_EQ(e.latch, 0xFFFF);
        // Busy for two address phases, then answering again.
        IoModules_SetNoAck(0, false);
        IoModules_SetBusy(0, 2);
        EXPECT_EQ(i2c0_query(0x40, 1), 0);
        EXPECT_EQ(i2c0_query(0x40, 1), 0);
        EXPECT_EQ(i2c0_query(0x40, 1), 1);
        EXPECT_EQ(i2c_data_write(0x40, ports, 2), 1);
        ASSERT_TRUE(IoModules_Expander(0x40, &e));
        EXPECT_EQ(e.latch, 0x0000);
    }
}

// The low-resolution converter converts the multiplexer channel chosen on
// bank 4 pins 9-11 into its channel-0 result register.
TEST_F(BusTest, LowResolutionConverterFollowsTheMultiplexer) {
    IoModules_AttachBoard();
    ASSERT_TRUE(IoModules_Plug(0, 0x7F0E));
    IoModules_SetAnalogInput(0, 3, 0x8000);
    IoModules_SetAnalogInput(0, 5, 0x1230);
    for (auto [channel, result] : {std::pair{3u, 0x800u}, std::pair{5u, 0x123u}}) {
        Board_RegWrite(kSocPinctrlBase + kPinctrlDout0 + 0x40 + kRegClr, 0xE00);
        Board_RegWrite(kSocPinctrlBase + kPinctrlDout0 + 0x40 + kRegSet, channel << 9);
        Board_RegWrite(kSocLradcBase + kRegSet, 1);
        EXPECT_EQ(Board_RegRead(kSocLradcBase) & 1, 0u);  // conversion done
        EXPECT_EQ(Board_RegRead(kSocLradcBase + 0x50), result);
    }
}

TEST_F(BusTest, KernelBuildFromTheRevisionText) {
    const std::pair<const char*, u16> cases[] = {{"2.6.35.31", 31}, {"2.6.35.32", 32}, {"2.6.35.44", 44}};
    for (auto [text, build] : cases) {
        PutKernelRevision(text);
        EXPECT_EQ(I2c_KernelBuild(), build) << text;
        I2c_Reset();
        i2c0_init(I2c_KernelBuild());
        EXPECT_EQ(I2c_KernelPath(), build >= 32) << text;
    }
}

}  // namespace
