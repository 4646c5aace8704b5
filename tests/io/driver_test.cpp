// The I/O driver's messages against simulated modules: digital inputs and
// outputs per module row, stop values, field-bus and generation-2 modules,
// and the answers to bad messages.
#include <algorithm>
#include <string>
#include <vector>

#include "core/wiring.h"
#include "io_fixture.h"
#include "link/sci.h"

namespace {

class DriverTest : public IoTest {};

struct InCase {
    u16 ident;
    bool inverted;
    std::vector<int> on;       // input points driven on
    std::vector<u8> expected;  // image bytes (the image holds as many)
};

TEST_F(DriverTest, DigitalInputsPerRow) {
    const InCase cases[] = {
        {0xA00F, false, {1, 8}, {0x81, 0x00, 0x00, 0x00}},
        {0xA00F, true, {1, 8}, {0x7E, 0x0F, 0x00, 0x00}},
        {0xA40F, false, {13, 24}, {0x00, 0x10, 0x80, 0x00}},
        {0xA40F, false, {2, 17, 21}, {0x02, 0x00, 0x11, 0x00}},
        {0xA60F, false, {5}, {0x10, 0x00}},  // twelve inputs: two bytes, no more
        {0x7F0E, false, {3}, {0x04}},
        {0x3F0E, false, {2, 7}, {0x42, 0x00}},
        {0x1F0E, false, {1}, {0x01, 0x00}},
        {0xDF0E, false, {1, 10}, {0x01, 0x02}},
        {0xDF0E, true, {1, 10}, {0xFE, 0x0D}},
    };
    for (const InCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.ident << (c.inverted ? " inverted" : ""));
        IoDriver_Reset();
        IoModules_Reset();
        Bring(0, c.ident, ModeConfig(c.inverted ? 0x80 : 0));
        for (int p : c.on) ASSERT_TRUE(IoModules_SetInput(0, p, true)) << p;
        std::vector<u8> image(c.expected.size() + 2, 0xEE);
        IoGetIs(image.data(), 0, 0, static_cast<u32>(8 * c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(image[i], c.expected[i]) << "byte " << i;
        EXPECT_EQ(image[c.expected.size()], 0xEE);  // nothing past the slot's bytes
    }
}

struct OutCase {
    u16 ident;
    std::vector<u8> image;
    std::vector<int> on;  // output points expected on; every other wired point off
};

TEST_F(DriverTest, DigitalOutputsPerRow) {
    const OutCase cases[] = {
        {0xA60F, {0x41, 0x81}, {1, 7}},
        {0xA00F, {0x83, 0x01}, {1, 8, 9}},
        {0xA20F, {0x00, 0x40}, {15}},
        {0x7F0E, {0x05}, {1, 3}},
        {0x3F0E, {0x09}, {1, 4}},
        {0x1F0E, {0x06}, {2, 3}},
        {0x5F0E, {0x80, 0x02}, {8, 10}},
        {0x9F0E, {0x11}, {1, 5}},
        {0xDF0E, {0x34, 0x12}, {3, 5, 6, 10, 13}},
    };
    for (const OutCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.ident);
        IoDriver_Reset();
        IoModules_Reset();
        Bring(0, c.ident, ModeConfig(0));
        std::vector<u8> image = c.image;
        image.resize(4, 0);
        IoPutQs(image.data(), 0, 0, static_cast<u32>(8 * c.image.size()));
        for (int p = 1; p <= IoModules_OutputCount(0); ++p) {
            int want = std::find(c.on.begin(), c.on.end(), p) != c.on.end() ? 1 : 0;
            int got = IoModules_Output(0, p);
            if (got < 0) continue;  // a bit without a driver
            EXPECT_EQ(got, want) << "output " << p;
        }
    }
}

TEST_F(DriverTest, AnalogOutputModulesIgnoreDigitalOutputs) {
    Bring(1, 0x8F0F, ModeConfig(0));
    u8 image[4] = {0x7F, 0, 0, 0};
    IoPutQs(image, 1, 0, 8);
    IoExpanderState e;
    ASSERT_TRUE(IoModules_Expander(0x4E, &e));
    EXPECT_EQ(e.latch & 0xFF, 0xFF);
}

// Outputs in the stop mask take their stop values; the others hold.
TEST_F(DriverTest, StopAppliesStopValues) {
    Bring(0, 0xA00F, ModeConfig(0, 0x0105, 0x0001));
    u8 image[4] = {0x0F, 0x01, 0, 0};
    IoPutQs(image, 0, 0, 16);
    EXPECT_EQ(IoModules_Output(0, 3), 1);
    EXPECT_EQ(IoModules_Output(0, 9), 1);
    IoStop();
    EXPECT_EQ(IoModules_Output(0, 1), 1);  // stop value 1
    EXPECT_EQ(IoModules_Output(0, 3), 0);  // stop value 0
    EXPECT_EQ(IoModules_Output(0, 4), 1);  // not in the mask: held
    EXPECT_EQ(IoModules_Output(0, 9), 0);
}

// Row 25's second output port is built from its own parts (released bits
// 0, 5 and 7, bits 1-2 set, the termination bits, the polarity bit), never
// from whatever an earlier transfer left behind.
TEST_F(DriverTest, SecondPortOfRow25IsDefined) {
    Bring(0, 0x9F0E, ModeConfig(0x80));
    IoExpanderState e;
    EXPECT_EQ(IoTermSet(0x20), 0);  // termination code 2
    ASSERT_TRUE(IoModules_Expander(0x40, &e));
    EXPECT_EQ(e.latch >> 8, 0xF7);
    u8 image[4] = {0x01, 0, 0, 0};
    IoGetIs(image, 0, 0, 16);  // a read in between fills the buffers with other bytes
    IoPutQs(image, 0, 0, 8);
    ASSERT_TRUE(IoModules_Expander(0x40, &e));
    EXPECT_EQ(e.latch >> 8, 0xE7);
}

std::vector<u8> FieldBusConfig(u32 station) {
    std::vector<u8> c(44, 0);
    PutLe32(&c[0], station);
    PutLe32(&c[4], 0x8000);   // digital inputs into R1
    PutLe32(&c[8], 16);
    PutLe32(&c[12], 0x8020);  // digital outputs from R3
    PutLe32(&c[16], 16);
    PutLe32(&c[20], 0x8040);  // analog inputs into R5
    PutLe32(&c[24], 2);
    PutLe32(&c[28], 0x8060);  // analog outputs from R7
    PutLe32(&c[32], 2);
    PutLe32(&c[36], 0x8090);  // status word into R10
    PutLe32(&c[40], 0x80A0);  // start-up status into R11
    return c;
}

u16 R(int n) { return GetLe16(&plc_reg[kRegR + 2 * (n - 1)]); }

TEST_F(DriverTest, FieldBusModuleStartsExchangesAndStops) {
    ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
    IoModules_SetMemoryByte(1, 2, 0x34);
    IoModules_SetMemoryByte(1, 3, 0x12);
    IoModules_SetMemoryByte(1, 0xFD, 0x22);
    IoModules_SetMemoryByte(1, 0xFE, 0x11);
    Bring(1, 0x9F0F, FieldBusConfig(5));
    IoMessage start{kIoMsgStart, 1, 0, nullptr};
    io_driver(&start);
    EXPECT_EQ(IoModules_MemoryByte(1, 0), 1);  // running
    for (u32 a = 4; a < 8; ++a) EXPECT_EQ(IoModules_MemoryByte(1, a), 2) << a;
    EXPECT_EQ(IoModules_MemoryByte(1, 0xFC), 5);
    EXPECT_EQ(R(11), 0x1234);
    // Process data from byte 16, as the scan places them.
    IoModules_SetInput(1, 1, true);
    IoModules_SetInput(1, 12, true);
    u8* in = PlcReg_Ptr(0x8000, 16);
    IoGetIs(in, 1, 128, 16);
    EXPECT_EQ(R(1), 0x0801);
    EXPECT_EQ(R(10), 0x1122);
    PutLe16(PlcReg_Ptr(0x8020, 16), 0x8002);
    IoPutQs(PlcReg_Ptr(0x8020, 16), 1, 128, 16);
    EXPECT_EQ(IoModules_Output(1, 2), 1);
    EXPECT_EQ(IoModules_Output(1, 16), 1);
    EXPECT_EQ(IoModules_Output(1, 1), 0);
    IoStop();
    EXPECT_EQ(IoModules_MemoryByte(1, 0), 0);
    // Stopped: no process data move, the status still does.
    IoModules_SetInput(1, 2, true);
    IoModules_SetMemoryByte(1, 0xFD, 0x33);
    IoGetIs(in, 1, 128, 16);
    EXPECT_EQ(R(1), 0x0801);
    EXPECT_EQ(R(10), 0x1133);
}

TEST_F(DriverTest, FieldBusStationNumber) {
    struct Case {
        u32 station;
        u8 stored;
        u8 storedAfter, reconfigure;
    };
    for (Case c : {Case{5, 5, 5, 0}, Case{7, 5, 7, 1}, Case{0xFF, 5, 5, 1}, Case{0x85, 5, 5, 0}}) {
        SCOPED_TRACE(c.station);
        IoDriver_Reset();
        IoModules_Reset();
        ASSERT_TRUE(IoModules_Plug(1, 0x9F0F));
        IoModules_SetMemoryByte(1, 0xFC, c.stored);
        Bring(1, 0x9F0F, FieldBusConfig(c.station));
        IoMessage start{kIoMsgStart, 1, 0, nullptr};
        io_driver(&start);
        EXPECT_EQ(IoModules_MemoryByte(1, 0xFC), c.storedAfter);
        // The reconfigure request lands on the module's write side of 0xFE.
        u8 b = 0;
        ASSERT_EQ(read_io_eeprom(0x1E, 0xFC, 1, &b, 3), 0);
        EXPECT_EQ(b, c.storedAfter);
        EXPECT_EQ(IoModules_MemoryWritten(1, 0xFE), c.reconfigure);
    }
}

TEST_F(DriverTest, GenerationTwoImagesMoveInTheService) {
    ASSERT_TRUE(IoModules_Plug(1, 0xAE0F));
    IoModules_SetGen2Header(1, 16, 2, 16, 2, 7, "G2MOD ");
    Bring(1, 0xAE0F);
    IoSlotRecord r = io_cfg[1];
    IoCfg(&r, 1);
    EXPECT_EQ(std::string(r.info.text, 11), "I/O: G2MOD ");
    IoModules_SetInput(1, 1, true);
    IoModules_SetInput(1, 16, true);
    u8* q = PlcReg_Ptr(IoDriver_Gen2Address(1, 2), 16);
    ASSERT_NE(q, nullptr);
    PutLe16(q, 0x0101);
    plc_reg[kRegI + 31] = 0x5A;  // the byte before slot 1's input image
    IoService(1);
    const u8* i = PlcReg_Ptr(IoDriver_Gen2Address(1, 0), 16);
    EXPECT_EQ(i, &plc_reg[kRegI + 32]);
    EXPECT_EQ(GetLe16(i), 0x8001);
    EXPECT_EQ(plc_reg[kRegI + 31], 0x5A);
    EXPECT_EQ(IoModules_Output(1, 1), 1);
    EXPECT_EQ(IoModules_Output(1, 9), 1);
    EXPECT_EQ(IoModules_Output(1, 2), 0);
    // Slot 0's images begin at the first register of each area.
    EXPECT_EQ(IoDriver_Gen2Address(0, 0), 0x2000u);
    EXPECT_EQ(IoDriver_Gen2Address(0, 1), 0x4000u);
    EXPECT_EQ(IoDriver_Gen2Address(0, 2), 0x2800u);
    EXPECT_EQ(IoDriver_Gen2Address(0, 3), 0x6000u);
}

// A module that never shows its header is given up after a bounded number
// of reads and reported absent.
TEST_F(DriverTest, MissingGenerationTwoHeaderIsBounded) {
    ASSERT_TRUE(IoModules_Plug(1, 0xAE0F));
    u16 ids[3];
    get_io_info(ids);
    ASSERT_EQ(IoInit(ids, 3), 0);
    IoModules_SetNoAck(1, true);
    IoSlotRecord r = io_cfg[1];
    IoCfg(&r, 1);
    EXPECT_EQ(static_cast<u8>(r.info.status), kIoStatusNoModule);
    EXPECT_LE(IoModules_Refused(1), 16u);
    IoService(1);  // nothing to exchange, no hang
}

// Configuring a serial option module releases its reset line.
TEST_F(DriverTest, ResetLineOfSerialOptions) {
    Bring(1, 0x720F, ModeConfig(0));
    IoExpanderState e;
    ASSERT_TRUE(IoModules_Expander(0x72, &e));
    EXPECT_EQ(e.latch & 0x40, 0);
    IoPutRESET(1, 1);
    ASSERT_TRUE(IoModules_Expander(0x72, &e));
    EXPECT_EQ(e.latch & 0x40, 0x40);
    IoPutRESET(0, 0);  // not a serial option in slot 0: nothing
    ASSERT_TRUE(IoModules_Expander(0x72, &e));
    EXPECT_EQ(e.latch & 0x40, 0x40);
}

TEST_F(DriverTest, MessageStatuses) {
    Bring(0, 0xA00F, ModeConfig(0));
    struct Case {
        u8 kind, slot, status;
    };
    for (Case c : {Case{0, 0, 0}, Case{7, 0, 0x20}, Case{15, 0, 0x20}, Case{200, 1, 0x20}, Case{2, 2, 0xC0},
                   Case{9, 3, 0xC0}, Case{2, 1, 0x80}, Case{2, 0, 0}}) {
        u8 image[4] = {};
        IoMessage m{c.kind, c.slot, 0x55, image};
        io_driver(&m);
        EXPECT_EQ(m.status, c.status) << int(c.kind) << "/" << int(c.slot);
    }
}

// Reading the configuration back fills its own answer fields only.
TEST_F(DriverTest, ReadConfigurationStaysInTheMessage) {
    std::vector<u8> cfg = ModeConfig(0x0180);
    cfg[0] = 1, cfg[2] = 2, cfg[4] = 24, cfg[6] = 16, cfg[8] = 3;
    Bring(0, 0xA20F, cfg);
    u8 sentinel[4] = {9, 9, 9, 9};
    IoMessage m{kIoMsgReadConfig, 0, 0, sentinel};
    io_driver(&m);
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(m.data, sentinel);
    const u16 want[12] = {1, 2, 24, 16, 0, 0, 3, 0x80, 0x01, 0, 0, 0};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(m.configWords[i], want[i]) << i;
    EXPECT_EQ(m.length, 3);
}

}  // namespace

namespace {

// The I/O interface reaches its driver and probing only through its device
// record: each entry the controller needs is named when it is left out, and
// a driver put there instead sees the interface's messages.
TEST_F(DriverTest, DeviceRecordEntriesAreRequiredAndCarryTheMessages) {
    struct Case {
        const char* entry;
        void (*clear)();
    } cases[] = {
        {"ioDriverPeers.exchange", [] { ioDriverPeers.exchange = nullptr; }},
        {"ioDriverPeers.probe", [] { ioDriverPeers.probe = nullptr; }},
        {"sciPeers.kernelBuild", [] { sciPeers.kernelBuild = nullptr; }},
    };
    for (const Case& c : cases) {
        Wiring_Connect();
        c.clear();
        std::vector<std::string> missing = Wiring_Missing();
        EXPECT_NE(std::find(missing.begin(), missing.end(), c.entry), missing.end()) << c.entry;
    }
    Wiring_Connect();
    EXPECT_TRUE(Wiring_Missing().empty());

    static std::vector<u8> kinds;
    kinds.clear();
    ioDriverPeers.exchange = [](IoMessage* m) {
        kinds.push_back(m->kind);
        io_driver(m);
    };
    ioDriverPeers.probe = [](u16* ids) {
        ids[0] = 0xA00F;
        ids[1] = 0xFF;
        ids[2] = 64000;
        return 3;
    };
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    u16 ids[3] = {};
    EXPECT_EQ(get_io_info(ids), 3);
    EXPECT_EQ(ids[0], 0xA00F);
    EXPECT_EQ(IoInit(ids, 3), 0);
    u8 image[8] = {};
    IoGetIs(image, 0, 0, 32);
    IoStop();
    EXPECT_EQ(kinds, (std::vector<u8>{kIoMsgInit, kIoMsgGetIs, kIoMsgStop, kIoMsgStop}));
    Wiring_Connect();
}

}  // namespace
