// PDOs, SDOs and the object dictionary of the CANopen node, with the other
// nodes of the bus played by the test.
#include <cstring>

#include "io/canopen_od.h"
#include "io/canopen_pdo.h"
#include "io/canopen_sdo.h"
#include "tests/can/canopen_fixture.h"

namespace {

// Mapping words: the %R words through the CiA 405 groups (k = 4 names %R1
// with subindex 1): 16-bit input group 0xA0C4, 16-bit output group 0xA544,
// 32-bit input group 0xA1C4.
constexpr u32 Map(u16 index, u8 sub, u8 bits) { return (u32(index) << 16) | (u32(sub) << 8) | bits; }
constexpr u32 InR(u8 r, u8 bits = 16) { return Map(0xA0C4, r, bits); }
constexpr u32 OutR(u8 r, u8 bits = 16) { return Map(0xA544, r, bits); }
constexpr u32 RBit(int r, int bit) { return kR1 + 16u * (r - 1) + bit; }
constexpr u32 kStatusAt = RBit(100, 0);  // status word R100-R101, error indices R102, R103

std::vector<u8> Bytes(const CanFrame& f) { return std::vector<u8>(f.data, f.data + (f.length > 8 ? 8 : f.length)); }

class CanOpenPdoTest : public CanOpenTest {
protected:
    // The frames of one scan with the given identifier.
    std::vector<CanFrame> ScanFor(u32 id) {
        std::vector<CanFrame> out;
        for (const CanFrame& f : Scan()) {
            if (f.idWord == id) out.push_back(f);
        }
        return out;
    }
    // One SDO request to this node's default server (node 5), its answer.
    std::vector<u8> Sdo(std::vector<u8> request, u32 server = 0x605, u32 answerId = 0x585) {
        peer->Send(server, request);
        auto frames = ScanFor(answerId);
        if (frames.size() != 1) return {};
        return Bytes(frames[0]);
    }
};

TEST(CanOpenOdTest, DictionaryIndicesNameRegistersAndTheAccessRulesHold) {
    RegFixture regs;
    const struct {
        u16 index;
        u8 sub;
        u32 address;
        u8 width;
    } rows[] = {
        {0x2000, 1, 0x2000, 1},          {0x2001, 3, 0x2000 + 254 + 2, 1}, {0x2009, 1, 0x2800, 1},
        {0x2024, 2, 0x4010, 16},         {0x202D, 1, 0x6000, 16},          {0x2036, 1, 0x600, 1},
        {0x2038, 4, 0x703, 1},           {0x203E, 2, 0xC10, 16},           {0xA000, 1, 0x400, 8},
        {0xA001, 2, 0x501, 8},           {0xA0C2, 1, 0x800, 16},           {0xA0C4, 1, kR1, 16},
        {0xA1C5, 1, RBit(255, 0), 32},   {0xA480, 2, 0x401, 8},            {0xA481, 1, 0x400, 8},  // output k=1 is k=0
        {0xA543, 1, 0x800, 16},          // output k=3 is k=2
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.index);
        u32 a = 0;
        u8 w = 0;
        ASSERT_EQ(CANOpenGetODEntry(r.index, r.sub, &a, &w), 1);
        EXPECT_EQ(a, r.address);
        EXPECT_EQ(w, r.width);
    }
    u32 a = 0;
    u8 w = 0;
    for (u16 index : {0x1000, 0x203F, 0xA028, 0xA6E8, 0x6000}) EXPECT_EQ(CANOpenGetODEntry(index, 1, &a, &w), 0) << index;
    EXPECT_EQ(CANOpenGetODEntry(0x2000, 0, &a, &w), 0);
    EXPECT_EQ(CANOpenGetODEntry(0x2000, 255, &a, &w), 0);

    // Writes only through the output range, reads through both; never
    // below the register range.
    EXPECT_EQ(CANOpenSetData(0x1234, 0xA544, 16, kR1), 1);
    EXPECT_EQ(R16(1), 0x1234);
    EXPECT_EQ(CANOpenSetData(0x9999, 0xA0C4, 16, kR1), 0);
    EXPECT_EQ(CANOpenSetData(0x9999, 0x1000, 16, kR1), 0);
    EXPECT_EQ(CANOpenSetData(1, 0x2000, 1, 0x3FF), 0);
    u32 v = 0;
    EXPECT_EQ(CANOpenGetData(&v, 0xA0C4, 16, kR1), 1);
    EXPECT_EQ(v, 0x1234u);
    EXPECT_EQ(CANOpenGetData(&v, 0x9000, 16, kR1), 0);
    // A 12-bit field keeps the other bits of its last byte.
    PutR16(2, 0xF000);
    EXPECT_EQ(CANOpenSetData(0xABC, 0xA544, 12, RBit(2, 0)), 1);
    EXPECT_EQ(R16(2), 0xFABC);
    EXPECT_EQ(CANOpenGetData(&v, 0xA0C4, 12, RBit(2, 0)), 1);
    EXPECT_EQ(v, 0xABCu);

    // Bit fields of 8 data bytes, least significant bit first.
    const u8 data[8] = {0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB, 0xED, 0x0F};
    EXPECT_EQ(CANOpenGetMsgData(data, 4, 8), 0x32u);
    EXPECT_EQ(CANOpenGetMsgData(data, 32, 32), 0x0FEDCBA9u);
    EXPECT_EQ(CANOpenGetMsgData(data, 0, 33), 0u);
    EXPECT_EQ(CANOpenGetMsgData(data, 40, 32), 0u);  // past the 64th bit
    u8 out[8] = {};
    CoPutMsgData(out, 4, 8, 0x1FF);
    EXPECT_EQ(out[0], 0xF0);
    EXPECT_EQ(out[1], 0x0F);
}

TEST_F(CanOpenPdoTest, AsynchronousTpdosGoOutOnChangeTriggerRequestAndEvent) {
    const u32 trigger = RBit(10, 0);
    CanOpenTableBuilder(5, 1)
        .Tpdo(0x181, 254, {InR(1)}, 50)  // 5 ms inhibit
        .Tpdo(0x182, 255, {InR(2)}, 0, 0, trigger)
        .Tpdo(0x185, 253, {InR(5, 8)})
        .Tpdo(0x186, 254, {InR(6)}, 0, 100)
        .Tpdo(0x187 | kCoCobIdBit31, 254, {InR(7)})  // not valid
        .Install();
    Init();
    EXPECT_EQ(Scan().size(), 1u);  // boot-up only: nothing has changed
    PutR16(1, 0x1234);
    PutR16(7, 1);
    auto f = ScanFor(0x181);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0x34, 0x12}));
    // Inside the inhibit time a change waits.
    PutR16(1, 0x1235);
    EXPECT_TRUE(ScanFor(0x181).empty());
    clock.AdvanceMs(5);
    EXPECT_TRUE(ScanFor(0x181).empty());
    clock.AdvanceTicks(1);
    ASSERT_EQ(ScanFor(0x181).size(), 1u);
    // The trigger bit sends once and is cleared.
    PutR16(2, 0xBEEF);
    PutR16(10, 1);
    f = ScanFor(0x182);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0xEF, 0xBE}));
    EXPECT_EQ(R16(10), 0);
    EXPECT_TRUE(ScanFor(0x182).empty());
    // Type 253 only on a remote request.
    PutR16(5, 0x77);
    EXPECT_TRUE(ScanFor(0x185).empty());
    peer->Send(0x185 | kCanRtrFlag, {});
    f = ScanFor(0x185);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0x77}));
    // The event time sends unchanged data.
    clock.AdvanceMs(100);
    f = ScanFor(0x186);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0, 0}));
    EXPECT_TRUE(ScanFor(0x186).empty());
    // Nothing in pre-operational state.
    peer->Send(0x000, {kNmtEnterPreOperational, 5});
    Scan();
    PutR16(1, 0x4444);
    EXPECT_TRUE(ScanFor(0x181).empty());
}

TEST_F(CanOpenPdoTest, SynchronousPdosFollowTheSyncAndItsWindow) {
    CanOpenTableBuilder(5, 1)
        .Sync(0x80, 10000, 2000)
        .Tpdo(0x183, 2, {InR(3)})
        .Tpdo(0x184, 0, {InR(4)})
        .Rpdo(0x201, 0, {OutR(7)})
        .Install();
    Init();
    Scan();
    PutR16(4, 7);
    ASSERT_EQ(ScanFor(0x184).size(), 1u);  // inside the window after the start
    PutR16(4, 8);
    ASSERT_EQ(ScanFor(0x184).size(), 1u);  // changed again: once more in the same window
    EXPECT_TRUE(ScanFor(0x184).empty());   // unchanged
    clock.AdvanceMs(3);
    PutR16(4, 9);
    EXPECT_TRUE(ScanFor(0x184).empty());  // the window has closed
    // The RPDO waits for the SYNC.
    peer->Send(0x201, {0x55, 0x66});
    Scan();
    EXPECT_EQ(R16(7), 0);
    peer->Send(0x080, {});
    auto frames = Scan();
    EXPECT_EQ(R16(7), 0x6655);
    ASSERT_EQ(frames.size(), 1u);  // the changed type-0 TPDO; type 2 waits for a second SYNC
    EXPECT_EQ(frames[0].idWord, 0x184u);
    clock.AdvanceMs(10);
    peer->Send(0x080, {});
    frames = Scan();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].idWord, 0x183u);
}

TEST_F(CanOpenPdoTest, ProducerSendsSyncEveryPeriod) {
    CanOpenTableBuilder(5, 1).Sync(0x80 | kCoCobIdBit30, 10000, 5000).Tpdo(0x183, 1, {InR(3)}).Install();
    Init();
    Scan();
    clock.AdvanceMs(10);
    EXPECT_TRUE(Scan().empty());
    clock.AdvanceTicks(1);
    auto frames = Scan();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].idWord, 0x80u);
    EXPECT_EQ(frames[0].length, 0);
    EXPECT_EQ(frames[1].idWord, 0x183u);
}

TEST_F(CanOpenPdoTest, CompositionLimitsAndErrorsReachTheStatusRegister) {
    const u32 unmapped = Map(0x3000, 1, 16);
    CanOpenTableBuilder(5, 1)
        .StatusRegister(kStatusAt)
        .Tpdo(0x190, 254, {InR(1, 32), InR(3, 32)})             // exactly 64 bits
        .Tpdo(0x191, 254, {InR(1, 32), InR(3, 32), Map(0xA080, 1, 1)})  // one bit more
        .Tpdo(0x192, 254, {Map(0xA0C4, 1, 40)})                   // a 40-bit entry
        .Tpdo(0x193, 254, {})
        .Tpdo(0x194, 254, {unmapped})
        .Install();
    Init();
    PutR16(1, 1);
    auto frames = Scan();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].idWord, 0x190u);
    EXPECT_EQ(frames[1].length, 8);
    // Every failing TPDO leaves its bit; the error index is the last.
    const u32 status = CANOpen_Status();
    EXPECT_EQ(status & (kCoStatusTpdoLength | kCoStatusTpdoEmpty | kCoStatusTpdoMapping),
              kCoStatusTpdoLength | kCoStatusTpdoEmpty | kCoStatusTpdoMapping);
    EXPECT_EQ(R32(100) & 0x3E00, status & 0x3E00);
    EXPECT_EQ(R16(102), 4);
}

TEST_F(CanOpenPdoTest, ReceivedPdosWriteWhatTheFrameHolds) {
    CanOpenTableBuilder(5, 1)
        .StatusRegister(kStatusAt)
        .Rpdo(0x201, 255, {OutR(10), OutR(11), OutR(12)})
        .Rpdo(0x202, 255, {OutR(13, 12), Map(0xA500, 1, 1)})
        .Rpdo(0x203, 255, {InR(14)})                  // an input group: not writable
        .Rpdo(0x204, 255, {Map(0xA544, 15, 40)})      // no PDO field has 40 bits
        .Rpdo(0x205, 255, {})
        .Install();
    Init();
    Scan();
    const struct {
        u32 id;
        std::vector<u8> data;
        u32 bits;
        u16 index;
    } steps[] = {
        // A field only partly inside the frame is not written.
        {0x201, {1, 0, 2, 0, 3}, kCoStatusRpdoLength, 0},
        {0x201, {}, kCoStatusRpdoLength, 0},
        {0x201, {4, 0, 5, 0, 6, 0}, 0, 0},  // a success clears the bits
        {0x203, {9, 9}, kCoStatusRpdoWrite, 2},
        {0x204, {1, 2, 3, 4, 5}, kCoStatusRpdoWrite | kCoStatusRpdoMapping, 3},
        {0x205, {1}, kCoStatusRpdoWrite | kCoStatusRpdoMapping | kCoStatusRpdoEmpty, 4},
        {0x202, {0xCD, 0x1B}, kCoStatusRpdoWrite | kCoStatusRpdoMapping | kCoStatusRpdoEmpty, 4},
    };
    std::vector<u16> after[] = {{1, 2, 0}, {1, 2, 0}, {4, 5, 6}, {4, 5, 6}, {4, 5, 6}, {4, 5, 6}, {4, 5, 6}};
    PutR16(13, 0xF000);
    int k = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(k);
        peer->Send(s.id, s.data);
        Scan();
        EXPECT_EQ(CANOpen_Status() & kCoStatusPdoBits, s.bits);
        EXPECT_EQ(R32(100) & kCoStatusPdoBits, s.bits);
        if (s.bits) {
            EXPECT_EQ(R16(103), s.index);
        }
        EXPECT_EQ((std::vector<u16>{R16(10), R16(11), R16(12)}), after[k]);
        ++k;
    }
    EXPECT_EQ(R16(13), 0xFBCD);  // 12 bits, the high nibble kept
    EXPECT_EQ(plc_reg[kRegIG] & 1, 1);  // the next bit of the frame into %IG1
}

TEST_F(CanOpenPdoTest, SdoServerAnswersFromTheDictionary) {
    CanOpenTableBuilder(5, 1).SdoServer(0x640, 0x5C0).Install();
    Init();
    Scan();
    PutR16(1, 0xCAFE);
    SR_Put(131, 0x4241);
    SR_Put(132, 0x4443);
    SR_Put(133, 0x4645);
    auto abort = [](u16 index, u8 sub, u32 code) {
        return std::vector<u8>{0x80, u8(index), u8(index >> 8), sub, u8(code), u8(code >> 8), u8(code >> 16),
                               u8(code >> 24)};
    };
    const struct {
        std::vector<u8> request, answer;
    } cases[] = {
        {{0x40, 0x00, 0x10, 0, 0, 0, 0, 0}, {0x43, 0x00, 0x10, 0, 0x95, 0x01, 0, 0}},
        {{0x40, 0x18, 0x10, 3, 0, 0, 0, 0}, {0x43, 0x18, 0x10, 3, 0, 0, 1, 0}},
        {{0x40, 0x18, 0x10, 2, 0, 0, 0, 0}, abort(0x1018, 2, kSdoAbortNoSubindex)},
        {{0x40, 0x99, 0x99, 0, 0, 0, 0, 0}, abort(0x9999, 0, kSdoAbortUnsupported)},
        {{0x40, 0x09, 0x10, 0, 0, 0, 0, 0}, abort(0x1009, 0, kSdoAbortUnsupported)},
        {{0x23, 0x00, 0x10, 0, 1, 2, 3, 4}, abort(0x1000, 0, kSdoAbortReadOnly)},
        {{0x23, 0x00, 0x12, 1, 0x10, 6, 0, 0}, abort(0x1200, 1, kSdoAbortReadOnly)},
        {{0x40, 0x01, 0x12, 1, 0, 0, 0, 0}, {0x43, 0x01, 0x12, 1, 0x40, 0x06, 0, 0}},
        {{0x40, 0x02, 0x12, 1, 0, 0, 0, 0}, abort(0x1202, 1, kSdoAbortUnsupported)},
        {{0x2F, 0x80, 0xA4, 1, 0xAB, 0, 0, 0}, {0x60, 0x80, 0xA4, 1, 0, 0, 0, 0}},
        {{0x2F, 0x80, 0xA4, 2, 0x01, 0, 0, 0}, {0x60, 0x80, 0xA4, 2, 0, 0, 0, 0}},
        {{0x2B, 0x80, 0xA4, 1, 0xAB, 0, 0, 0}, abort(0xA480, 1, kSdoAbortTooLong)},
        {{0x2F, 0x44, 0xA5, 1, 0xAB, 0, 0, 0}, abort(0xA544, 1, kSdoAbortTooShort)},
        {{0x2B, 0xC4, 0xA0, 1, 0xAB, 0, 0, 0}, abort(0xA0C4, 1, kSdoAbortReadOnly)},
        {{0x40, 0xC4, 0xA0, 1, 0, 0, 0, 0}, {0x4B, 0xC4, 0xA0, 1, 0xFE, 0xCA, 0, 0}},
        {{0x40, 0x00, 0x20, 0, 0, 0, 0, 0}, {0x4F, 0x00, 0x20, 0, 0xFE, 0, 0, 0}},
        {{0x40, 0x00, 0x20, 255, 0, 0, 0, 0}, abort(0x2000, 255, kSdoAbortUnsupported)},
        {{0x2F, 0x00, 0x20, 255, 1, 0, 0, 0}, abort(0x2000, 255, kSdoAbortReadOnly)},
        {{0x21, 0x17, 0x10, 0, 2, 0, 0, 0}, abort(0x1017, 0, kSdoAbortUnsupported)},  // segmented download
        {{0xE0, 0x17, 0x10, 0, 0, 0, 0, 0}, abort(0x1017, 0, kSdoAbortCommand)},
        {{0xC6, 0x00, 0x20, 0, 0, 0, 0, 0}, abort(0x2000, 0, kSdoAbortUnsupported)},  // block download
        {{0x2B, 0x17, 0x10, 0, 0xE8, 0x03, 0, 0}, {0x60, 0x17, 0x10, 0, 0, 0, 0, 0}},
        {{0x40, 0x17, 0x10, 0, 0, 0, 0, 0}, {0x4B, 0x17, 0x10, 0, 0xE8, 0x03, 0, 0}},
        {{0x23, 0x05, 0x10, 0, 0, 0, 0, 0x40}, abort(0x1005, 0, kSdoAbortIncompatible)},
        {{0x23, 0x16, 0x10, 1, 0x64, 0, 3, 0}, {0x60, 0x16, 0x10, 1, 0, 0, 0, 0}},
        {{0x40, 0x16, 0x10, 0, 0, 0, 0, 0}, {0x4F, 0x16, 0x10, 0, 1, 0, 0, 0}},
        {{0x40, 0x16, 0x10, 128, 0, 0, 0, 0}, abort(0x1016, 128, kSdoAbortUnsupported)},
        {{0x40, 0x08, 0x10, 0, 0, 0, 0, 0}, {0x41, 0x08, 0x10, 0, 6, 0, 0, 0}},
        {{0x60, 0, 0, 0, 0, 0, 0, 0}, {0x03, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0}},
        {{0x60, 0, 0, 0, 0, 0, 0, 0}, abort(0, 0, kSdoAbortCommand)},  // no upload runs
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(k++);
        EXPECT_EQ(Sdo(c.request), c.answer);
    }
    // Sub 1 wrote 0xAB from %IG1, then sub 2 wrote 0x01 from %IG2.
    EXPECT_EQ(GetLe16(&plc_reg[kRegIG]), 0x0003);
    // The table's second server answers on its own channel.
    EXPECT_EQ(Sdo({0x40, 0x00, 0x10, 0, 0, 0, 0, 0}, 0x640, 0x5C0), (std::vector<u8>{0x43, 0x00, 0x10, 0, 0x95, 0x01, 0, 0}));
    // A short request is only counted.
    peer->Send(0x605, {0x40, 0x00, 0x10});
    EXPECT_TRUE(Scan().empty());
    EXPECT_NE(CANOpen_Status() & kCoStatusShortSdo, 0u);
    Sdo({0x40, 0x00, 0x10, 0, 0, 0, 0, 0});
    EXPECT_EQ(CANOpen_Status() & kCoStatusShortSdo, 0u);
    // A stopped node answers nothing.
    peer->Send(0x000, {kNmtStop, 5});
    Scan();
    EXPECT_TRUE(Sdo({0x40, 0x00, 0x10, 0, 0, 0, 0, 0}).empty());
}

TEST_F(CanOpenPdoTest, DynamicMappingReplacesTheStaticOne) {
    CanOpenTableBuilder(5, 1).Tpdo(0x181, 254, {InR(1)}).Rpdo(0x201, 255, {OutR(20), OutR(21)}).Install();
    Init();
    Scan();
    auto write = [this](u16 index, u8 sub, std::vector<u8> value) {
        std::vector<u8> req{u8(0x23 | ((4 - value.size()) << 2)), u8(index), u8(index >> 8), sub};
        req.insert(req.end(), value.begin(), value.end());
        req.resize(8);
        auto a = Sdo(req);
        return a.size() == 8 && a[0] == 0x80 ? GetLe32(&a[4]) : (a.empty() ? 0xFFFFFFFFu : 0u);
    };
    auto le = [](u32 v) { return std::vector<u8>{u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)}; };
    // TPDO 0 maps R2 and R3 instead of R1.
    EXPECT_EQ(write(0x1A00, 0, {0}), 0u);
    EXPECT_EQ(write(0x1A00, 1, le(InR(2))), 0u);
    EXPECT_EQ(write(0x1A00, 2, le(InR(3))), 0u);
    EXPECT_EQ(write(0x1A00, 3, le(Map(0xA0C4, 4, 40))), kSdoAbortCannotMap);
    EXPECT_EQ(write(0x1A00, 3, le(Map(0x3000, 4, 16))), kSdoAbortCannotMap);
    EXPECT_EQ(write(0x1A00, 0, {4}), kSdoAbortCannotMap);  // entry 4 was never written
    EXPECT_EQ(write(0x1A00, 0, {2}), 0u);
    PutR16(2, 0x2222);
    PutR16(3, 0x3333);
    auto f = ScanFor(0x181);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0x22, 0x22, 0x33, 0x33}));
    // More than 64 bits in all is refused.
    EXPECT_EQ(write(0x1A00, 3, le(InR(4, 32))), 0u);
    EXPECT_EQ(write(0x1A00, 4, le(InR(6, 32))), 0u);
    EXPECT_EQ(write(0x1A00, 0, {4}), kSdoAbortCannotMap);
    EXPECT_EQ(write(0x1A00, 0, {3}), 0u);  // exactly 64
    EXPECT_EQ(Sdo({0x40, 0x00, 0x1A, 2, 0, 0, 0, 0}), (std::vector<u8>{0x43, 0x00, 0x1A, 2, 0x10, 0x03, 0xC4, 0xA0}));
    // An entry written while the mapping is in force must keep it within
    // 64 bits, else the PDO is left empty.
    EXPECT_EQ(write(0x1A00, 1, le(InR(2, 32))), kSdoAbortCannotMap);
    EXPECT_EQ(Sdo({0x40, 0x00, 0x1A, 0, 0, 0, 0, 0}), (std::vector<u8>{0x4F, 0x00, 0x1A, 0, 0, 0, 0, 0}));
    // A static mapping may only be shortened.
    EXPECT_EQ(write(0x1600, 0, {1}), 0u);
    EXPECT_EQ(write(0x1600, 0, {3}), kSdoAbortCannotMap);
    peer->Send(0x201, {1, 0, 2, 0});
    Scan();
    EXPECT_EQ(R16(20), 1);
    EXPECT_EQ(R16(21), 0);
    // A new TPDO by its communication parameter, then its mapping.
    EXPECT_EQ(write(0x1A01, 0, {0}), kSdoAbortUnsupported);
    EXPECT_EQ(write(0x1801, 1, le(0x1C1)), 0u);
    EXPECT_EQ(write(0x1801, 2, {0xFD}), 0u);
    EXPECT_EQ(write(0x1A01, 1, le(InR(9))), 0u);
    EXPECT_EQ(write(0x1A01, 0, {1}), 0u);
    PutR16(9, 0x0909);
    peer->Send(0x1C1 | kCanRtrFlag, {});
    f = ScanFor(0x1C1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{9, 9}));
    EXPECT_EQ(write(0x1803, 1, le(0x1C3)), kSdoAbortUnsupported);  // not the next one
    EXPECT_EQ(write(0x1801, 1, le(0)), kSdoAbortIncompatible);
}

TEST_F(CanOpenPdoTest, SdoClientKeepsItsRequestApartFromServedRequests) {
    CanOpenTableBuilder(5, 1).StartupFlags(kCoStartOnBit).Install();
    Init();
    Scan();
    ASSERT_EQ(CoSdo_ClientUpload(0x603, 0x583, 0x1000, 0, 1000), 1);
    EXPECT_EQ(CoSdo_ClientUpload(0x603, 0x583, 0x1018, 1, 1000), 0);  // one at a time
    auto f = Scan();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].idWord, 0x603u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0x40, 0x00, 0x10, 0, 0, 0, 0, 0}));
    // Another node asks this one meanwhile: answered, and the client's
    // request stays as it was.
    EXPECT_EQ(Sdo({0x40, 0x18, 0x10, 3, 0, 0, 0, 0}), (std::vector<u8>{0x43, 0x18, 0x10, 3, 0, 0, 1, 0}));
    peer->Send(0x583, {0x43, 0x18, 0x10, 3, 1, 1, 1, 1});  // not the object asked for
    peer->Send(0x583, {0x4B, 0x00, 0x10, 0, 0x91, 0x01, 0, 0});
    Scan();
    const CoSdoClientAnswer& a = CoSdo_ClientResult();
    ASSERT_TRUE(a.arrived);
    EXPECT_FALSE(a.aborted);
    EXPECT_EQ(a.length, 2);
    EXPECT_EQ(GetLe16(a.data), 0x191);
    CoSdo_ClientClear();
    // An abort, then a node that never answers.
    const u8 value[2] = {0x10, 0x27};
    ASSERT_EQ(CoSdo_ClientDownload(0x603, 0x583, 0x1017, 0, value, 2, 1000), 1);
    f = Scan();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0]), (std::vector<u8>{0x2B, 0x17, 0x10, 0, 0x10, 0x27, 0, 0}));
    peer->Send(0x583, {0x80, 0x17, 0x10, 0, 0x02, 0x00, 0x01, 0x06});
    Scan();
    EXPECT_TRUE(CoSdo_ClientResult().aborted);
    EXPECT_EQ(CoSdo_ClientResult().abortCode, kSdoAbortReadOnly);
    CoSdo_ClientClear();
    ASSERT_EQ(CoSdo_ClientUpload(0x603, 0x583, 0x1000, 0, 1000), 1);
    Scan();
    clock.AdvanceMs(100);
    Scan();
    EXPECT_TRUE(CoSdo_ClientPending());
    clock.AdvanceTicks(1);
    Scan();
    EXPECT_FALSE(CoSdo_ClientPending());
    EXPECT_FALSE(CoSdo_ClientResult().arrived);
}

}  // namespace
