// Probing the slots, the module table, slot configuration, calibration
// requests and the option lines of communication modules.
#include <string>
#include <vector>

#include "io_fixture.h"

namespace {

class IdentTest : public IoTest {
protected:
    // Probes and initialises as the controller core does at start-up.
    int Detect(u16 ids[3]) {
        ids[0] = ids[1] = ids[2] = 0;
        EXPECT_EQ(get_io_info(ids), 3);
        return IoInit(ids, 3);
    }
    IoSlotRecord Configure(int slot, const u8* config = nullptr, u32 bytes = 0) {
        io_cfg[slot].config = config;
        io_cfg[slot].configBytes = bytes;
        IoSlotRecord r = io_cfg[slot];
        IoCfg(&r, slot);
        return r;
    }
};

int SlotFor(u16 ident) {
    if ((ident & 0xFF) == 0x0E) return 0;
    switch (ident) {
        case 0xA60F: case 0xA00F: case 0xA40F: case 0xA20F: case 0x500F: case 0x520F: return 0;
        default: return 1;
    }
}

// Every row a module can be found for is identified with its name and
// counts, in the slot its probing covers.
TEST_F(IdentTest, EveryReachableRowIsIdentified) {
    for (int row = 1; row < kIoIdentRows - 1; ++row) {
        const IoIdentRow& r = io_ident[row];
        SCOPED_TRACE(::testing::Message() << "row " << row << " ident " << std::hex << r.ident);
        IoDriver_Reset();
        IoModules_Reset();
        int slot = SlotFor(r.ident);
        ASSERT_TRUE(IoModules_Plug(slot, r.ident));
        u16 ids[3];
        EXPECT_EQ(Detect(ids), 0);
        EXPECT_EQ(ids[slot], r.ident);
        EXPECT_EQ(ids[1 - slot], 0xFF);
        EXPECT_EQ(ids[2], 64000);
        EXPECT_EQ(io_init[slot], r.ident);
        EXPECT_EQ(slotinfo[slot].cls, r.cls);
        EXPECT_EQ(IoDriver_Row(slot), row);
        IoSlotRecord rec = Configure(slot);
        EXPECT_EQ(rec.info.status, 0);
        EXPECT_EQ(rec.info.configured, 1);
        u16 want[4] = {r.di, r.dout, r.ai, r.aq};
        std::string name(r.name, 6);
        if (row == 13) {
            for (u16& w : want) w = 0;  // a field-bus module counts from its configuration
        } else if (row == 14 || row == 15) {
            want[0] = 16, want[1] = 16, want[2] = 2, want[3] = 2;  // from the module's header
            name = "GEN2IO";
        }
        EXPECT_EQ(std::string(rec.info.text, 11), "I/O: " + name);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(rec.Count(k), want[k]) << k;
    }
}

TEST_F(IdentTest, RowsFoundByIdentDirectly) {
    // The first row's ident cannot come from probing; the last repeats row 14's.
    const u16 ids[3] = {0x0100, 0xAE0F, 0xFF};
    EXPECT_EQ(IoInit(ids, 3), 0);
    EXPECT_EQ(IoDriver_Row(0), 0);
    EXPECT_EQ(IoDriver_Row(1), 14);
    EXPECT_EQ(IoIdent_Find(0xAE0F), 14);
    IoSlotRecord rec = Configure(0);
    EXPECT_EQ(rec.Count(0), 12);
    EXPECT_EQ(rec.Count(1), 24);
    // The alternative names with the OEM byte.
    IoOemByte = 0x80;
    rec = Configure(0);
    EXPECT_EQ(std::string(rec.info.text + 5, 6), std::string(io_ident_alt[0], 6));
}

TEST_F(IdentTest, UnknownModulesAreReportedAndAnswerNoModule) {
    struct Case {
        int slot;
        u16 ident;
    };
    // An expander whose identity port reads 0xFF, and the generation-2 probe.
    for (Case c : {Case{0, 0xFF0E}, Case{0, 0x080F}, Case{1, 0x0A0F}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.ident);
        IoDriver_Reset();
        IoModules_Reset();
        ASSERT_TRUE(IoModules_Plug(c.slot, c.ident));
        u16 ids[3];
        EXPECT_EQ(Detect(ids), 1 << c.slot);
        EXPECT_EQ(ids[c.slot], c.ident);
        EXPECT_EQ(slotinfo[c.slot].cls, 255);
        EXPECT_EQ(slotinfo[2].cls, 0);
        for (u8 kind : {kIoMsgQuery, kIoMsgConfigure, kIoMsgService, kIoMsgGetIs, kIoMsgPutQs, kIoMsgGetAIs,
                        kIoMsgPutAQs}) {
            u8 image[4] = {0xAA, 0xAA, 0xAA, 0xAA};
            IoMessage m{kind, static_cast<u8>(c.slot), 0, image};
            m.count = 4;
            io_driver(&m);
            EXPECT_EQ(m.status, kIoStatusNoModule) << int(kind);
            EXPECT_EQ(image[0], 0xAA);
        }
        EXPECT_EQ(Configure(c.slot).info.status, static_cast<char>(kIoStatusNoModule));
    }
}

TEST_F(IdentTest, NoInitMessageWithoutAKnownModule) {
    u16 ids[3] = {0xFF, 0x1234, 0xA00F};  // slot 2's ident is never looked at
    EXPECT_EQ(IoInit(ids, 3), 2);
    EXPECT_EQ(IoDriver_Row(0), 0xFFFF);
    EXPECT_EQ(Board_GpioDir(0) & (1u << 17), 0u);  // the init message prepares pin 17
    EXPECT_EQ(slotinfo[2].cls, 0);
    ids[0] = 0xA00F;
    EXPECT_EQ(IoInit(ids, 3), 2);
    EXPECT_EQ(IoDriver_Row(0), 2);
    EXPECT_NE(Board_GpioDir(0) & (1u << 17), 0u);
    EXPECT_NE(Board_GpioOut(0) & (1u << 17), 0u);
}

TEST_F(IdentTest, ExpansionWidensTheBaseModule) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA60F));
    ASSERT_TRUE(IoModules_Plug(1, 0x1F0F));
    u16 ids[3];
    EXPECT_EQ(Detect(ids), 0);
    EXPECT_EQ(PULMAR_present, 1);
    IoSlotRecord rec = Configure(0);
    EXPECT_EQ(rec.Count(0), 32);
    EXPECT_EQ(rec.Count(1), 32);
    EXPECT_EQ(rec.Count(3), 14);
    // Kept for the run, even when the expansion is gone at the next probe.
    IoModules_Unplug(1);
    Detect(ids);
    EXPECT_EQ(PULMAR_present, 1);
}

struct CalCase {
    const char* name;
    std::vector<u8> request;
    std::vector<u8> answer;
};

TEST_F(IdentTest, CalibrationRequests) {
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    u16 ids[3];
    Detect(ids);
    const CalCase cases[] = {
        {"Ethernet slot echoes", {6, 0, 2, 11, 22, 33, 44}, {4, 11, 22, 33, 44}},
        {"slot 3", {3, 0, 3, 0}, {1, 0x40}},
        {"empty slot 1", {3, 0, 1, 0}, {1, 0x40}},
        {"count below 2", {1, 0, 0}, {1, 0x40}},
        {"count above 66", {67, 0, 0}, {1, 0x40}},
        {"identify slot 0", {3, 0, 0, 0}, {26, 0, 0}},
    };
    for (const CalCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> buf(80, 0xCC);
        std::copy(c.request.begin(), c.request.end(), buf.begin());
        EXPECT_EQ(IoCal(buf.data()), 0);
        for (size_t i = 0; i < c.answer.size(); ++i) EXPECT_EQ(buf[i], c.answer[i]) << i;
        if (std::string(c.name) == "identify slot 0") {
            EXPECT_EQ(GetLe16(&buf[1 + 6]), 0xA00F);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[1 + 8]), 6), "BASE32");
        }
    }
}

struct LineCase {
    u16 ident;
    int (*call)(int, int);
    int arg;
    u8 device;
    u16 latch;  // expected latch after the call on a released expander
};

int Pwr(int p, int v) { return IoCommPwr(p, v); }
int Rst(int p, int v) { return IoCommReset(p, v); }
int Dtr(int p, int v) { return IoPutDTR(p, v); }

TEST_F(IdentTest, OptionLinesOfSlotOneModules) {
    const LineCase cases[] = {
        {0xBF0F, Pwr, 1, 0x4E, 0xBFF7}, {0xBF0F, Pwr, 0, 0x4E, 0xBFFF}, {0xBF0F, Rst, 0, 0x4E, 0xBFFB},
        {0x6E0F, Pwr, 1, 0x4E, 0x6EFD}, {0x7F0F, Rst, 0, 0x4E, 0x7FDF}, {0x3F0F, Rst, 0, 0x4E, 0x3F7F},
        {0x700F, Rst, 0, 0x70, 0xFFBF}, {0x720F, Rst, 0, 0x72, 0xFFBF}, {0x6F0F, Dtr, 1, 0x4E, 0x6FBF},
        // A module without the line: nothing changes.
        {0x5F0F, Pwr, 1, 0x4E, 0x5FFF}, {0x5F0F, Rst, 0, 0x4E, 0x5FFF},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.ident << " arg " << c.arg);
        IoDriver_Reset();
        IoModules_Reset();
        ASSERT_TRUE(IoModules_Plug(1, c.ident));
        u16 ids[3];
        Detect(ids);
        EXPECT_EQ(c.call(0, c.arg), 0);
        IoExpanderState e;
        ASSERT_TRUE(IoModules_Expander(c.device, &e));
        // The identity port reads back through the latch: compare what the pins show.
        EXPECT_EQ(static_cast<u16>(e.latch & e.pins), c.latch);
    }
}

TEST_F(IdentTest, TerminationCodeGoesToTheSlotZeroModule) {
    ASSERT_TRUE(IoModules_Plug(0, 0x1F0E));
    u16 ids[3];
    Detect(ids);
    EXPECT_EQ(IoTermSet(0x5F), 0);  // code 5: pattern 0x50
    IoExpanderState e;
    ASSERT_TRUE(IoModules_Expander(0x4C, &e));
    EXPECT_EQ(e.latch & 0xFF, 0xAF);
    EXPECT_NE(Board_GpioOut(0) & (1u << 17), 0u);
}

}  // namespace
