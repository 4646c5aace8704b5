// The ladder CANopen instruction (opcode 367) and the IEC CANopen entries:
// the status codes and power flow of each function, on node 5 with a second
// node of the bus played by the test.
#include <gtest/gtest.h>

#include <array>

#include "core/wiring.h"
#include "io/canopen_entries.h"
#include "io/canopen_sdo.h"
#include "ladder/ladder_routines.h"
#include "tests/can/canopen_fixture.h"

namespace {

constexpr u8 kNode = 5, kPeer = 7;

constexpr u32 RBit(int n) { return kR1 + 16u * (n - 1); }
inline u32 Lo(u32 v) { return v & 0xFFFF; }
inline u32 Hi(u32 v) { return v >> 16; }

// Register-form instruction words: function, P, R (low words first).
std::vector<u16> RegForm(u16 fn, u32 p, u32 r) {
    return {fn, static_cast<u16>(Lo(p)), static_cast<u16>(Hi(p)), static_cast<u16>(Lo(r)), static_cast<u16>(Hi(r))};
}

class CanOpenEntries : public CanOpenTest {
protected:
    void SetUp() override {
        CanOpenTest::SetUp();
        CoEntries_Reset();
    }
    void Start(bool master) {
        if (master) CanOpenTableBuilder(kNode, 1).StartupFlags(kCoStartMaster).Install();
        Init();
        Scan();
        // Status words start idle, as after a scan with the rung false.
        for (int n : {20, 30, 40}) PutR16(n, kCoBlockIdle);
    }
    // Runs the instruction once; checks that it took all its words.
    u8 Run(const std::vector<u16>& code, u8 rung = 1) {
        u32 ip = 0;
        const u8 power = CANOpenLadrBlock(code.data(), ip, rung, false);
        EXPECT_EQ(ip, code.size());
        return power;
    }
    // Parameter block P at %R1: node, index, subindex, length, data.
    void Params(u8 node, u16 index = 0, u8 sub = 0, u8 length = 0, u32 data = 0) {
        PutR16(1, node);
        PutR16(2, index);
        PutR16(3, sub);
        PutR16(4, length);
        PutR16(5, static_cast<u16>(data));
        PutR16(6, static_cast<u16>(data >> 16));
    }
    // Result block R at %R20: status, abort code, length, data.
    static u16 Status() { return R16(20); }
    static u32 Abort() { return R32(21); }
    static u16 Length() { return R16(23); }
    static u32 Data() { return R32(24); }
};

TEST_F(CanOpenEntries, OpcodeIsARoutineWithTheCheckersLayout) {
    Wiring_Connect();
    const LadderRoutineRow* row = LadderRoutine_Find(kCoLadderOpcode);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->run, CANOpenLadrBlock);
    struct Case {
        std::vector<u16> code;
        u32 words;  // with the opcode; 0 refused
    } cases[] = {
        {{367, 0x0000, 0, 0, 0, 0}, 6},       // register form
        {{367, 0x0010, 0, 0}, 4},             // register tokens
        {{367, 0x0000, 0, 0}, 0},             // short
        {{367, 0x8002, 0, 0}, 4},             // inline node id
        {{367, 0x8004, 0, 0, 0, 0, 0, 0}, 8}, // inline NMT
        {{367, 0x8007, 0, 0, 0, 0, 0, 0}, 0}, // inline function 7 is not defined
        {std::vector<u16>(18, 0), 0},
    };
    cases[6].code[0] = 367;
    cases[6].code[1] = 0x8000;  // inline download: 16 operand words after the first
    EXPECT_EQ(LadderRoutine_Words(cases[6].code.data(), 18, false), 18u);
    EXPECT_EQ(LadderRoutine_Words(cases[6].code.data(), 17, false), 0u);
    for (size_t i = 0; i + 1 < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(LadderRoutine_Words(cases[i].code.data(), static_cast<u32>(cases[i].code.size()), false),
                  cases[i].words);
    }
}

TEST_F(CanOpenEntries, LadderFunctionsOfASlave) {
    Start(false);
    const u32 p = RBit(1), r = RBit(20);
    struct Case {
        const char* what;
        u16 fn;
        std::array<u32, 5> params;  // node, index, subindex, length, data
        u8 rung;
        u16 status;
        u8 power;
        u32 abort;
    } cases[] = {
        {"rung false", 0, {0, 0x1000, 0}, 0, kCoBlockIdle, 0, 0},
        {"read own device type", 1, {0, 0x1000, 0}, 1, kCoBlockDone, 1, 0},
        {"done stays done", 1, {0, 0x1000, 0}, 1, kCoBlockDone, 1, 0},
        {"rung false again", 1, {}, 0, kCoBlockIdle, 0, 0},
        {"write a read-only object", 0, {0, 0x1000, 0, 4, 1}, 1, kCoBlockAborted, 0, kSdoAbortReadOnly},
        {"aborted stays", 0, {0, 0x1000, 0, 4, 1}, 1, kCoBlockAborted, 0, kSdoAbortReadOnly},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, kSdoAbortReadOnly},
        {"write own heartbeat time", 0, {0, 0x1017, 0, 2, 250}, 1, kCoBlockDone, 1, 0},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, 0},
        {"node with bit 7", 1, {0x80, 0x1000, 0}, 1, kCoBlockRefused, 0, 0},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, 0},
        {"subindex 255", 1, {0, 0x2000, 255}, 1, kCoBlockRefused, 0, 0},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, 0},
        {"remote write of 5 bytes", 0, {kPeer, 0x2000, 1, 5, 0}, 1, kCoBlockRefused, 0, 0},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, 0},
        {"remote read by a slave", 1, {kPeer, 0x1000, 0}, 1, kCoBlockNotMaster, 0, 0},
        {"reset", 0, {}, 0, kCoBlockIdle, 0, 0},
        {"NMT by a slave", 4, {kPeer, 1}, 1, kCoBlockNotMaster, 1, 0},
        {"NMT later scans", 4, {kPeer, 1}, 1, kCoBlockNotMaster, 0, 0},
        {"NMT reset", 4, {}, 0, kCoBlockIdle, 0, 0},
        {"EMCY from node 0", 5, {0}, 1, kCoBlockBadNode, 0, 0},
        {"EMCY reset", 5, {0}, 0, kCoBlockIdle, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Params(static_cast<u8>(c.params[0]), static_cast<u16>(c.params[1]), static_cast<u8>(c.params[2]),
               static_cast<u8>(c.params[3]), c.params[4]);
        if (c.fn == 4) PutR16(2, static_cast<u16>(c.params[1]));  // the command at P+16
        EXPECT_EQ(Run(RegForm(c.fn, p, r), c.rung), c.power);
        EXPECT_EQ(Status(), c.status);
        if (c.fn <= 1) EXPECT_EQ(Abort(), c.abort);
    }
    // The read wrote what it read; the write reached the dictionary.
    Params(0, 0x1000, 0);
    Run(RegForm(1, p, r), 0);
    Run(RegForm(1, p, r));
    EXPECT_EQ(Length(), 4);
    EXPECT_EQ(Data(), kCoDeviceType);
    u8 hb[8] = {};
    u16 len = 0;
    ASSERT_EQ(CANOpenODAccess(0x1017, 0, false, hb, &len), 0u);
    EXPECT_EQ(GetLe16(hb), 250);

    // Node id and state need no status word.
    EXPECT_EQ(Run(RegForm(2, p, r)), 1);
    EXPECT_EQ(R16(20), kNode);
    EXPECT_EQ(Run(RegForm(2, p, r), 0), 0);
    Params(0);
    EXPECT_EQ(Run(RegForm(3, p, r)), 1);
    EXPECT_EQ(R16(20) & 0xFF, kNmtPreOperational);
    Params(kPeer);
    EXPECT_EQ(Run(RegForm(3, p, r)), 0);  // a slave knows no other node's state
    // Functions without effect, and a result block outside the registers.
    PutR16(20, 0x4242);
    for (u16 fn : {7, 15}) EXPECT_EQ(Run(RegForm(fn, p, r)), 0) << fn;
    for (u16 fn : {0x12, 0x13, 0x17}) EXPECT_EQ(Run({fn, 0x400, 0x400}), 0) << fn;
    EXPECT_EQ(Run(RegForm(2, p, 0x100)), 0);
    EXPECT_EQ(R16(20), 0x4242);

    // A stopped node refuses SDO requests with abort code 0x08000022.
    peer->Send(0x000, {0x02, kNode});
    Scan();
    Params(0, 0x1000, 0);
    Run(RegForm(1, p, r), 0);
    EXPECT_EQ(Run(RegForm(1, p, r)), 0);
    EXPECT_EQ(Status(), kCoBlockRefused);
    EXPECT_EQ(Abort(), kSdoAbortState);
}

TEST_F(CanOpenEntries, LadderEmergencyReception) {
    Start(false);
    const u32 p = RBit(1), r = RBit(20), r2 = RBit(40);
    Params(kPeer);
    EXPECT_EQ(Run(RegForm(5, p, r)), 0);
    EXPECT_EQ(Status(), kCoBlockBusy);
    // A second block finds reception armed; its rung going false does not
    // disarm the first.
    EXPECT_EQ(Run(RegForm(6, p, r2)), 0);
    EXPECT_EQ(R16(40), kCoBlockAlreadyArmed);
    Run(RegForm(6, p, r2), 0);
    // Another node's EMCY is dropped while armed; the awaited one is kept.
    peer->Send(0x83, {1, 1, 1, 1, 1, 1, 1, 1});
    peer->Send(0x80 + kPeer, {0x10, 0x81, 1, 2, 3, 4, 5, 6});
    Scan();
    EXPECT_EQ(Run(RegForm(5, p, r)), 1);
    EXPECT_EQ(Status(), kCoBlockDone);
    EXPECT_EQ(R32(21), 0x02018110u);
    EXPECT_EQ(R32(23), 0x06050403u);
    EXPECT_EQ(Run(RegForm(5, p, r)), 1);
    Run(RegForm(5, p, r), 0);
    // From any node: the sender comes first.
    EXPECT_EQ(Run(RegForm(6, p, r2)), 0);
    EXPECT_EQ(R16(40), kCoBlockBusy);
    peer->Send(0x83, {0xAA, 0xBB, 9, 8, 7, 6, 5, 4});
    Scan();
    EXPECT_EQ(Run(RegForm(6, p, r2)), 1);
    EXPECT_EQ(R16(41), 3);
    EXPECT_EQ(R16(42), 0xBBAA);
    EXPECT_EQ(R16(45), 0x0405);
}

TEST_F(CanOpenEntries, LadderRequestsOfAMaster) {
    Start(true);
    const u32 p = RBit(1), r = RBit(20), r2 = RBit(40);
    // NMT start of node 7.
    Params(kPeer);
    PutR16(2, kNmtStart);
    EXPECT_EQ(Run(RegForm(4, p, r)), 1);
    EXPECT_EQ(Status(), kCoBlockDone);
    std::vector<CanFrame> got = Scan();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].idWord, 0u);
    EXPECT_EQ(std::vector<u8>(got[0].data, got[0].data + 2), (std::vector<u8>{kNmtStart, kPeer}));
    Run(RegForm(4, p, r), 0);
    Params(0x85);
    EXPECT_EQ(Run(RegForm(4, p, r)), 1);
    EXPECT_EQ(Status(), kCoBlockBadNode);

    // A remote read: sent, then answered.
    Params(kPeer, 0x1018, 1);
    Run(RegForm(1, p, r), 0);
    EXPECT_EQ(Run(RegForm(1, p, r)), 0);
    EXPECT_EQ(Status(), kCoBlockBusy);
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].idWord, 0x600u + kPeer);
    EXPECT_EQ(got[0].data[0], 0x40);
    // Meanwhile another block is refused, and its rung going false leaves
    // the first one's request alone.
    PutR16(40, kCoBlockIdle);
    EXPECT_EQ(Run(RegForm(0, p, r2)), 0);
    EXPECT_EQ(R16(40), kCoBlockOtherTransfer);
    Run(RegForm(0, p, r2), 0);
    EXPECT_EQ(Run(RegForm(1, p, r)), 0);
    EXPECT_EQ(Status(), kCoBlockBusy);
    peer->Send(0x580 + kPeer, {0x43, 0x18, 0x10, 0x01, 0x78, 0x56, 0x34, 0x12});
    Scan();
    EXPECT_EQ(Run(RegForm(1, p, r)), 1);
    EXPECT_EQ(Status(), kCoBlockDone);
    EXPECT_EQ(Length(), 4);
    EXPECT_EQ(Data(), 0x12345678u);
    // An abort answer.
    Run(RegForm(1, p, r), 0);
    Run(RegForm(1, p, r));
    Scan();
    peer->Send(0x580 + kPeer, {0x80, 0x18, 0x10, 0x01, 0x11, 0x00, 0x09, 0x06});
    Scan();
    EXPECT_EQ(Run(RegForm(1, p, r)), 1);
    EXPECT_EQ(Status(), kCoBlockAborted);
    EXPECT_EQ(Abort(), kSdoAbortNoSubindex);
    // No answer: status 35 after the client time-out.
    Run(RegForm(1, p, r), 0);
    Run(RegForm(1, p, r));
    Scan();
    clock.AdvanceTicks(kCoBlockTimeoutTicks + 1);
    Scan();
    EXPECT_EQ(Run(RegForm(1, p, r)), 0);
    EXPECT_EQ(Status(), kCoBlockNoAnswer);
    // A remote write: expedited, 2 bytes.
    Params(kPeer, 0x2000, 1, 2, 0xBEEF);
    Run(RegForm(0, p, r), 0);
    EXPECT_EQ(Run(RegForm(0, p, r)), 0);
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::vector<u8>(got[0].data, got[0].data + 8),
              (std::vector<u8>{0x2B, 0x00, 0x20, 0x01, 0xEF, 0xBE, 0, 0}));
}

TEST_F(CanOpenEntries, InlineFormKeepsTheInstanceStatus) {
    Start(false);
    const u32 st = RBit(30), ab = RBit(31);
    // Download of the constant 300 (2 bytes) to this node's 0x1017, instance 3.
    const std::vector<u16> write = {0x8000, 0, 0x100,        0x1017, 0x100, 0, 0x100, 2, 0x101, 300, 0,
                                    static_cast<u16>(Lo(st)), static_cast<u16>(Hi(st)), static_cast<u16>(Lo(ab)),
                                    static_cast<u16>(Hi(ab)), 3, 0};
    EXPECT_EQ(Run(write), 1);
    EXPECT_EQ(R16(30), kCoBlockDone);
    EXPECT_EQ(CANOpen_InstanceStatus(3), kCoBlockDone);
    u8 hb[8] = {};
    u16 len = 0;
    ASSERT_EQ(CANOpenODAccess(0x1017, 0, false, hb, &len), 0u);
    EXPECT_EQ(GetLe16(hb), 300);
    // The node operand from a register: %R50 holds node 0.
    PutR16(50, 0);
    const u32 res = RBit(51);
    EXPECT_EQ(Run({0x8003, static_cast<u16>(RBit(50)), 0, static_cast<u16>(Lo(res)), static_cast<u16>(Hi(res))}), 1);
    EXPECT_EQ(R16(51) & 0xFF, kNmtPreOperational);
    // NMT with constants in a slave (from an idle status).
    PutR16(30, kCoBlockIdle);
    EXPECT_EQ(Run({0x8004, kPeer, 0x100, 1, 0x100, static_cast<u16>(Lo(st)), static_cast<u16>(Hi(st))}), 1);
    EXPECT_EQ(R16(30), kCoBlockNotMaster);
}

// IEC records: one reference per parameter (two u16 halves, high first)
// into a variable area of the test's own.
struct IecArea {
    std::array<u8, 512> bytes{};
    CoIecArea Area() { return {bytes.data(), static_cast<u32>(bytes.size())}; }
    static std::vector<u8> Record(std::initializer_list<u32> offsets) {
        std::vector<u8> r;
        for (u32 o : offsets) {
            u8 b[4];
            PutLe16(b, static_cast<u16>(o >> 16));
            PutLe16(b + 2, static_cast<u16>(o));
            r.insert(r.end(), b, b + 4);
        }
        return r;
    }
    u16 U16(u32 at) const { return GetLe16(&bytes[at]); }
    u32 U32(u32 at) const { return GetLe32(&bytes[at]); }
    void Put16(u32 at, u16 v) { PutLe16(&bytes[at], v); }
};

// SDO record layout in the area: node 0, index 2, subindex 4, status 6,
// abort 8, unused 12, length 14, data 16.
const std::vector<u8> kSdoRecord = IecArea::Record({0, 2, 4, 6, 8, 12, 14, 16});

TEST_F(CanOpenEntries, IecEntriesAnswerWithTheirStatusCodes) {
    Start(false);
    IecArea v;
    EXPECT_EQ(Q4_get_node_id(), kNode);
    const std::vector<u8> state = IecArea::Record({0, 1});
    v.bytes[0] = 0;
    Q4_get_state(v.Area(), state.data());
    EXPECT_EQ(v.bytes[1], kNmtPreOperational);
    v.bytes[0] = kPeer;
    v.bytes[1] = 0x55;
    Q4_get_state(v.Area(), state.data());
    EXPECT_EQ(v.bytes[1], 0x55);  // unknown: not written

    struct Case {
        const char* what;
        bool read;
        u8 node;
        u16 index, sub, length;
        int enable;
        int result;
        u16 status;
        u32 abort;
    } cases[] = {
        {"disabled", true, 0, 0x1000, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"local read", true, 0, 0x1000, 0, 0, 1, 1, kCoBlockDone, 0},
        {"done", true, 0, 0x1000, 0, 0, 1, 1, kCoBlockDone, 0},
        {"disabled", true, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"node with bit 7", true, 0x81, 0x1000, 0, 0, 1, 0, kCoBlockRefused, 0},
        {"disabled", true, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"subindex 256", true, 0, 0x1000, 256, 0, 1, 0, kCoBlockRefused, 0},
        {"disabled", true, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"local read of a missing object", true, 0, 0x9999, 0, 0, 1, 0, kCoBlockAborted, kSdoAbortUnsupported},
        {"disabled", true, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"remote read by a slave", true, kPeer, 0x1000, 0, 0, 1, 0, kCoBlockNotMaster, 0},
        {"disabled", false, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"local write", false, 0, 0x1017, 0, 2, 1, 1, kCoBlockDone, 0},
        {"disabled", false, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"write of 259 bytes", false, 0, 0x1017, 0, 259, 1, 0, kCoBlockRefused, 0},
        {"disabled", false, 0, 0, 0, 0, 0, 0, kCoBlockIdle, 0},
        {"remote write of 5 bytes", false, kPeer, 0x2000, 1, 5, 1, 0, kCoBlockRefused, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        v.bytes[0] = c.node;
        v.Put16(2, c.index);
        v.Put16(4, c.sub);
        if (!c.read) {
            v.Put16(14, c.length);
            v.Put16(16, 500);
        }
        const int result = c.read ? Q4_canopen_sdo_read(v.Area(), kSdoRecord.data(), c.enable)
                                  : Q4_canopen_sdo_write(v.Area(), kSdoRecord.data(), c.enable);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(v.U16(6), c.status);
        if (c.enable) EXPECT_EQ(v.U32(8), c.abort);
    }
    u8 hb[8] = {};
    u16 len = 0;
    ASSERT_EQ(CANOpenODAccess(0x1017, 0, false, hb, &len), 0u);
    EXPECT_EQ(GetLe16(hb), 500);
    // The read wrote its length and data.
    v.bytes[0] = 0;
    v.Put16(2, 0x1000);
    v.Put16(4, 0);
    v.Put16(6, kCoBlockIdle);
    ASSERT_EQ(Q4_canopen_sdo_read(v.Area(), kSdoRecord.data(), 1), 1);
    EXPECT_EQ(v.bytes[14], 4);
    EXPECT_EQ(v.U32(16), kCoDeviceType);

    // A reference outside the area: nothing happens.
    const std::vector<u8> outside = IecArea::Record({0, 2, 4, 6, 8, 12, 14, 510});
    v.Put16(6, kCoBlockIdle);
    v.Put16(14, 4);
    EXPECT_EQ(Q4_canopen_sdo_write(v.Area(), outside.data(), 1), 0);
    EXPECT_EQ(v.U16(6), kCoBlockRefused);
    const std::vector<u8> farOff = IecArea::Record({0, 2, 4, 0x10000, 8, 12, 14, 16});
    EXPECT_EQ(Q4_canopen_sdo_read(v.Area(), farOff.data(), 1), 0);

    // NMT and EMCY entries.
    const std::vector<u8> nmt = IecArea::Record({0, 2, 4});
    v.bytes[0] = kPeer;
    v.Put16(2, kNmtStart);
    v.Put16(4, kCoBlockIdle);
    EXPECT_EQ(Q4_set_nmt_state(v.Area(), nmt.data(), 1), 1);
    EXPECT_EQ(v.U16(4), kCoBlockNotMaster);
    EXPECT_EQ(Q4_set_nmt_state(v.Area(), nmt.data(), 1), 0);
    EXPECT_EQ(Q4_set_nmt_state(v.Area(), nmt.data(), 0), 0);
    EXPECT_EQ(v.U16(4), kCoBlockIdle);

    const std::vector<u8> emcy = IecArea::Record({0, 2, 4});
    const std::vector<u8> emcyAny = IecArea::Record({20, 22});
    v.Put16(0, 200);
    v.Put16(2, kCoBlockIdle);
    Q4_canopen_rec_emrgency(v.Area(), emcy.data(), 1);
    EXPECT_EQ(v.U16(2), kCoBlockBadNode);
    Q4_canopen_rec_emrgency(v.Area(), emcy.data(), 0);
    v.Put16(0, kPeer);
    Q4_canopen_rec_emrgency(v.Area(), emcy.data(), 1);
    EXPECT_EQ(v.U16(2), kCoBlockBusy);
    v.Put16(20, kCoBlockIdle);
    Q4_canopen_rec_emrgency_any(v.Area(), emcyAny.data(), 1);
    EXPECT_EQ(v.U16(20), kCoBlockAlreadyArmed);
    peer->Send(0x80 + kPeer, {0x00, 0x50, 1, 2, 3, 4, 5, 6});
    Scan();
    Q4_canopen_rec_emrgency(v.Area(), emcy.data(), 1);
    EXPECT_EQ(v.U16(2), kCoBlockDone);
    EXPECT_EQ(std::vector<u8>(v.bytes.begin() + 4, v.bytes.begin() + 12),
              (std::vector<u8>{0x00, 0x50, 1, 2, 3, 4, 5, 6}));
}

TEST_F(CanOpenEntries, IecSdoReadOfARemoteNodeInAMaster) {
    Start(true);
    IecArea v;
    v.bytes[0] = kPeer;
    v.Put16(2, 0x1000);
    v.Put16(6, kCoBlockIdle);
    EXPECT_EQ(Q4_canopen_sdo_read(v.Area(), kSdoRecord.data(), 1), 1);  // sent
    EXPECT_EQ(v.U16(6), kCoBlockBusy);
    Scan();
    EXPECT_EQ(Q4_canopen_sdo_read(v.Area(), kSdoRecord.data(), 1), 0);  // waiting
    peer->Send(0x580 + kPeer, {0x4B, 0x00, 0x10, 0x00, 0x34, 0x12, 0, 0});
    Scan();
    EXPECT_EQ(Q4_canopen_sdo_read(v.Area(), kSdoRecord.data(), 1), 0);  // completed without abort
    EXPECT_EQ(v.U16(6), kCoBlockDone);
    EXPECT_EQ(v.bytes[14], 2);
    EXPECT_EQ(v.U16(16), 0x1234);
    // A ladder block finds the client free again.
    EXPECT_FALSE(CoSdo_ClientPending());
}

}  // namespace
