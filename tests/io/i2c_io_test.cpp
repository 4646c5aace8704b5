// I2C primitives of the local I/O against the simulated module devices.
#include <vector>

#include "io_fixture.h"

namespace {

using I2cIoTest = IoTest;

TEST_F(I2cIoTest, BlockMemoryReadsBackWhatWasWritten) {
    ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
    std::vector<u8> data(250);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i * 7 + 1);
    // 250 bytes go in three chunks of at most 100.
    ASSERT_EQ(write_io_eeprom(0x1E, 0x300, 250, data.data(), 3), 0);
    std::vector<u8> back(250, 0);
    ASSERT_EQ(read_io_eeprom(0x1E, 0x300, 250, back.data(), 3), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(IoModules_MemoryByte(1, 0x300 + 249), data[249]);
}

TEST_F(I2cIoTest, BlockWriteCountsOutsideTheFormWriteNothing) {
    ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
    std::vector<u8> data(1100, 0x55);
    EXPECT_EQ(write_io_eeprom(0x1E, 0x20, 0, data.data(), 3), 0);
    // Too long for the block form: refused, not reported as written.
    EXPECT_EQ(write_io_eeprom(0x1E, 0x20, 1024, data.data(), 3), 1);
    EXPECT_EQ(IoModules_MemoryByte(1, 0x20), 0);
    EXPECT_EQ(write_io_eeprom(0x1E, 0x20, 1023, data.data(), 3), 0);
}

// A memory that stops answering between the address and the data phase
// must not hand back stale bytes as a good read.
TEST_F(I2cIoTest, FailedMemoryReadIsReported) {
    ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
    u8 buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(read_io_eeprom(0x1C, 0, 4, buf, 3), 1);  // nobody at 0x1C
    IoModules_SetMemoryByte(1, 0x40, 0x77);
    ASSERT_EQ(read_io_eeprom(0x1E, 0x40, 1, buf, 3), 0);
    EXPECT_EQ(buf[0], 0x77);
    // The address phase is answered, the read phase is not.
    buf[0] = 0;
    IoModules_SetBusy(1, 1, 1);
    EXPECT_EQ(read_io_eeprom(0x1E, 0x40, 1, buf, 3), 1);
    EXPECT_EQ(IoModules_Refused(1), 1u);
}

TEST_F(I2cIoTest, ByteWritesWaitForTheWriteCycle) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));  // calibration EEPROM at 0xA0
    const u8 data[5] = {9, 8, 7, 6, 5};
    // Type 2: device byte from address bits 7 and up.
    ASSERT_EQ(I2C_write_mem(data, (0xA0u << 7) | 0x10, 5, 2), 0);
    for (u32 i = 0; i < 5; ++i) EXPECT_EQ(IoModules_CalByte(0, 0x10 + i), data[i]);
    // Every byte after the first met the write cycle of the previous one.
    EXPECT_GE(IoModules_Refused(0), 4u * 3u);
    u8 back[5] = {};
    ASSERT_EQ(I2C_read_mem(back, 0x10, 5, 0), 0);  // type 0: 0xA0 block 0
    EXPECT_EQ(0, std::memcmp(back, data, 5));
}

TEST_F(I2cIoTest, ByteWriteToASilentDeviceTimesOutAfter1001Attempts) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    IoModules_SetNoAck(0, true);
    const u8 data[2] = {1, 2};
    EXPECT_EQ(I2C_write_mem(data, (0xA0u << 7), 2, 2), 2);
    EXPECT_EQ(IoModules_Refused(0), 1001u);
}

struct IoTypeCase {
    u32 type;
    std::vector<u8> data;
    u16 latch;  // expander 0x40 after the write
};

// Expander write types: length and byte order.
TEST_F(I2cIoTest, WriteTypesOrderTheBytes) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    const IoTypeCase cases[] = {
        {0, {0x12, 0x34}, 0xFF12},        {1, {0x12, 0x34}, 0x3412},        {3, {0x12, 0x34}, 0x1234},
        {3 + 256, {0x12, 0x34}, 0x3412},  {6, {0x12, 0x34, 0x56}, 0x3456},  {5 | (1 << 8), {0xAB, 0xCD}, 0xCDAB},
        {7, {0x21, 0x43}, 0xFF21},
    };
    for (const IoTypeCase& c : cases) {
        SCOPED_TRACE(c.type);
        const u8 released[2] = {0xFF, 0xFF};
        ASSERT_EQ(I2C_write_io(0x40, released, 1, 2), 0);
        EXPECT_EQ(I2C_write_io(0x40, c.data.data(), c.type, static_cast<u32>(c.data.size())), 0);
        IoExpanderState e;
        ASSERT_TRUE(IoModules_Expander(0x40, &e));
        EXPECT_EQ(e.latch, c.latch);
    }
    const u8 two[2] = {0, 0};
    EXPECT_EQ(I2C_write_io(0x48, two, 1, 2), 1);
}

TEST_F(I2cIoTest, ReadTypeTwoSwapsTheFirstTwoBytes) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA20F));  // converter at 0x9C
    IoModules_SetAnalogInput(0, 0, 0x1234);
    const u8 cfg = 0x94;
    ASSERT_EQ(I2C_write_io(0x9C, &cfg, 2, 1), 0);
    u8 b[3] = {};
    ASSERT_EQ(I2C_read_io(0x9C, b, 2, 0), 0);
    EXPECT_EQ(b[0], 0x34);
    EXPECT_EQ(b[1], 0x12);
    ASSERT_EQ(I2C_read_io(0x9C, b, 2 + 256, 3), 0);
    EXPECT_EQ(b[0], 0x12);
}

TEST_F(I2cIoTest, TemperatureSensorsInSixteenths) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA20F));  // LM92-type sensor at 0x96
    for (i16 t : {i16{25 * 16}, i16{-40 * 16 - 3}, i16{0}}) {
        IoModules_SetTemperature(0, t);
        i16 got = 0;
        ASSERT_EQ(I2C_read_LM92(0x96, &got), 0);
        EXPECT_EQ(got, t);
    }
    i16 got = 0;
    EXPECT_EQ(I2C_read_LM92(0x9E, &got), 1);  // no TMP275 on this module
}

}  // namespace
