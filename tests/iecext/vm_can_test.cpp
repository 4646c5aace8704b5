// The runtime's CAN driver on the stand-in bus: declared messages go out
// cyclic, on change and on request at the VM times the test gives, frames
// from the bus update variables in every packing, programs send and fetch
// their own frames, and damaged definitions are refused at build.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "iec/ext/q4can.h"
#include "iec/ext/q4vmcan.h"
#include "iec/kernel/q4stfvar.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/can_peer.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/peer_program.h"

namespace {

constexpr u32 kDayMs = 86400000;

class VmCan : public ::testing::Test {
protected:
    void SetUp() override {
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
    }
    i32 D(IecVmDb& vm, u16 i) { return static_cast<i32>(GetLe32(vm.Data32(i))); }
    void SetD(IecVmDb& vm, u16 i, i32 v) { PutLe32(vm.Data32(i), static_cast<u32>(v)); }
    static std::vector<u8> Data(const CanFrame& f) { return std::vector<u8>(f.data, f.data + f.length); }
    int bus = 0;
};

CanVarDef Var(u16 msg, bool send, u8 kind, u8 type, u16 index) {
    CanVarDef v;
    v.message = msg;
    v.send = send;
    v.kind = kind;
    v.type = type;
    v.index = index;
    return v;
}

TEST_F(VmCan, DeclaredMessagesGoOutCyclicOnChangeAndOnRequest) {
    IecImageBuilder b;
    const u16 d0 = b.Var(kQ4TypeDint, 0x12345678), d1 = b.Var(kQ4TypeDint, 0x0102), d2 = b.Var(kQ4TypeDint, 7);
    const u16 req = b.Var(kQ4TypeBool);
    CanDefinition def;
    def.ports = {{"can0", 0, 3}};
    def.snd = {{0x181, 0, 4, 1, 100}, {0x182, 0, 2, 3, 50, 0}, {0x183, 0, 1, 2}};
    CanVarDef v0 = Var(0, true, 2, kQ4TypeDint, d0);
    v0.length = 4, v0.raw = kQ4TypeDint;
    CanVarDef v1 = Var(1, true, 2, kQ4TypeDint, d1);
    v1.length = 2, v1.raw = kQ4TypeInt, v1.order = 1;  // most significant byte first
    CanVarDef v2 = Var(2, true, 133, kQ4TypeBool, req);
    CanVarDef v3 = Var(2, true, 2, kQ4TypeDint, d2);
    v3.length = 1, v3.raw = kQ4TypeUsint;
    def.vars = {v0, v1, v2, v3};
    IecVmDb vm(b.Can(def).Build());
    ASSERT_EQ(vm.Result(), 0);
    CanPeer peer(bus);
    ASSERT_TRUE(peer.Joined());
    struct Step {
        u32 now;
        std::vector<u32> ids;  // frames expected after the exchange at now
    };
    auto run = [&](const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            Q4VMCan_Exchange(vm.Db(), s.now);
            std::vector<u32> got;
            for (const CanFrame& f : peer.Take()) got.push_back(f.idWord);
            EXPECT_EQ(got, s.ids) << "at " << s.now;
        }
    };
    // The first exchange sends every cyclic and on-change message.
    Q4VMCan_Exchange(vm.Db(), 1000);
    std::vector<CanFrame> first = peer.Take();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].idWord, 0x181u);
    EXPECT_EQ(Data(first[0]), (std::vector<u8>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(first[1].idWord, 0x182u);
    EXPECT_EQ(Data(first[1]), (std::vector<u8>{0x01, 0x02}));
    run({{1050, {}}, {1099, {}}, {1100, {0x181}}});
    SetD(vm, d1, 0x0304);
    run({{1120, {0x182}}});
    SetD(vm, d1, 0x0506);
    run({{1130, {}}, {1169, {}}, {1170, {0x182}}, {1199, {}}});
    *vm.Data8(req) = 1;
    Q4VMCan_Exchange(vm.Db(), 1205);
    std::vector<CanFrame> asked = peer.Take();
    ASSERT_EQ(asked.size(), 2u);  // the cyclic one is due as well
    EXPECT_EQ(asked[0].idWord, 0x181u);
    EXPECT_EQ(asked[1].idWord, 0x183u);
    EXPECT_EQ(Data(asked[1]), (std::vector<u8>{7}));
    EXPECT_EQ(*vm.Data8(req), 0);
    // Across midnight the elapsed time is taken modulo one day; the
    // unchanged on-change message never goes out again.
    run({{kDayMs - 50, {0x181}}, {30, {}}, {49, {}}, {50, {0x181}}, {150, {0x181}}});
}

TEST_F(VmCan, FramesFromTheBusUpdateVariables) {
    IecImageBuilder b;
    u16 d[8];
    for (u16& x : d) x = b.Var(kQ4TypeDint);
    const u16 bit = b.Var(kQ4TypeBool), fresh = b.Var(kQ4TypeBool), r = b.Real(0);
    CanDefinition def;
    def.dynamic = 2;
    def.ports = {{"CAN0", 2, 0}};  // opens can0
    def.rcv = {{0x201, 0, 8}, {0x98FF0001u, 0, 3}};
    auto rv = [](u16 index, u8 kind, u8 offset, u8 length, u8 raw, u8 mask = 0, u8 order = 0, u16 msg = 0) {
        CanVarDef v = Var(msg, false, kind, kQ4TypeDint, index);
        v.offset = offset, v.length = length, v.raw = raw, v.mask = mask, v.order = order;
        return v;
    };
    CanVarDef bitVar = rv(bit, 1, 4, 1, kQ4TypeBool, 0x10);
    bitVar.type = kQ4TypeBool;
    CanVarDef freshVar = Var(0, false, 131, kQ4TypeBool, fresh);
    CanVarDef scaled = rv(r, 1, 0, 2, kQ4TypeInt);
    scaled.type = kQ4TypeReal, scaled.scale = 0.5f, scaled.shift = 10.0f;
    def.vars = {
        rv(d[0], 1, 0, 2, kQ4TypeInt),               // little-endian INT
        rv(d[1], 1, 2, 2, kQ4TypeUint, 0, 1),        // big-endian UINT
        rv(d[2], 17, 5, 10, kQ4TypeUdint, 0x04),     // 10 bits upwards from bit 2 of byte 5
        rv(d[3], 17, 5, 5, kQ4TypeUdint, 0x04, 1),   // 5 bits downwards from bit 1 of byte 5
        rv(d[4], 1, 6, 1, kQ4TypeUsint),             // locked below
        rv(d[5], 33, 0, 0, 0, 0, 0, 1),              // 19-bit number of the second message
        rv(d[6], 1, 7, 2, kQ4TypeInt),               // does not fit the 8 bytes: skipped
        bitVar, freshVar, scaled,
    };
    IecVmDb vm(b.Can(def).Build());
    ASSERT_EQ(vm.Result(), 0);
    *vm.Lock(d[4]) |= kQ4LockData32;
    SetD(vm, d[4], -5);
    SetD(vm, d[6], -6);
    CanPeer peer(bus);
    ASSERT_TRUE(peer.Send(0x201, {0x34, 0x12, 0xAB, 0xCD, 0x10, 0xB6, 0x5C, 0x77}));
    ASSERT_TRUE(peer.Send(0x98FF0001u, {0x01, 0x02, 0xE0}));
    Q4VMCan_Exchange(vm.Db(), 500);
    EXPECT_EQ(D(vm, d[0]), 0x1234);
    EXPECT_EQ(D(vm, d[1]), 0xABCD);
    EXPECT_EQ(D(vm, d[2]), 0x2D | (0xC << 6));
    EXPECT_EQ(D(vm, d[3]), 0b10010);
    EXPECT_EQ(D(vm, d[4]), -5);
    EXPECT_EQ(D(vm, d[5]), 1 + 2 * 256 + 7 * 65536);
    EXPECT_EQ(D(vm, d[6]), -6);
    EXPECT_EQ(*vm.Data8(bit), 1);
    EXPECT_EQ(*vm.Data8(fresh), 1);
    EXPECT_FLOAT_EQ(std::bit_cast<float>(GetLe32(vm.Data32(r))), (0x1234 - 10.0f) / 0.5f);
    // Received data live one exchange.
    Q4VMCan_Exchange(vm.Db(), 510);
    EXPECT_EQ(*vm.Data8(fresh), 0);
    // A short frame changes its own bytes only; a length code above 8 is
    // dropped.
    ASSERT_TRUE(peer.Send(0x201, {0x99}));
    CanFrame bad;
    bad.idWord = 0x201, bad.length = 9, bad.data[0] = 0x55;
    ASSERT_TRUE(peer.Send(bad));
    Q4VMCan_Exchange(vm.Db(), 520);
    EXPECT_EQ(D(vm, d[0]), 0x1299);
    EXPECT_EQ(D(vm, d[1]), 0xABCD);
}

TEST_F(VmCan, ProgramsSendAndFetchTheirOwnFrames) {
    IecImageBuilder b;
    const u16 ok = b.Var(kQ4TypeBool), id = b.Var(kQ4TypeDint), len = b.Var(kQ4TypeDint);
    const u16 port = b.String(8, "");
    const u16 bytes = b.Array(kQ4TypeUsint, 8);
    const u16 sndOk = b.Var(kQ4TypeBool), sndPort = b.String(8, "2"), sndId = b.Var(kQ4TypeDint, 0x300),
              sndLen = b.Var(kQ4TypeDint, 3), flag = b.Var(kQ4TypeBool);
    CanDefinition def;
    def.dynamic = 1;
    def.ports = {{"can0", 0, 0}, {"virtual", 0, 0}};  // the second has no socket
    IecVmDb vm(b.Can(def).Build());
    ASSERT_EQ(vm.Result(), 0);
    for (const auto& [text, want] : std::vector<std::pair<const char*, int>>{
             {"", 0}, {"can0", 0}, {"virtual", 1}, {"1", 0}, {"2", 1}, {"0", -1}, {"10", -1}, {"CAN0", -1}, {"x", -1}})
        EXPECT_EQ(Q4VMCan_FindPort(vm.Db(), text), want) << text;
    CanPeer peer(bus);
    const u8 data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(Q4VMCan_SendAppMsg(vm.Db(), "1", 0x80000123u, 9, data, 0), 0);
    EXPECT_EQ(Q4VMCan_SendAppMsg(vm.Db(), "1", 0x80000123u, 3, data, 1), 1);
    EXPECT_EQ(Q4VMCan_SendAppMsg(vm.Db(), "", 0x124, 1, data, 0), 0);  // the one dynamic message is taken
    // CANSND: a length beyond the array, a negative one, and one that goes to
    // the port without socket.
    for (u16 k = 0; k < 8; ++k) *vm.Data8(static_cast<u16>(bytes + k)) = static_cast<u8>(0xA0 + k);
    const u16 ops[] = {7, sndOk, sndPort, sndId, sndLen, bytes, 8, flag};
    for (const auto& [n, want] : std::vector<std::pair<i32, int>>{{9, 0}, {-1, 0}, {3, 1}, {2, 0}}) {
        SetD(vm, sndLen, n);
        Q4Stf_CanSnd(vm.Db(), ops + 1, 0);
        EXPECT_EQ(*vm.Data8(sndOk), want) << n;
    }
    Q4VMCan_Exchange(vm.Db(), 100);
    std::vector<CanFrame> out = peer.Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].idWord, 0x80000123u);
    EXPECT_EQ(Data(out[0]), (std::vector<u8>{1, 2, 3}));

    // An undeclared frame lands in a dynamic receive message of length 8.
    ASSERT_TRUE(peer.Send(0x555, {0x11, 0x22, 0x33}));
    ASSERT_TRUE(peer.Send(0x556, {0x44}));  // no second dynamic message: dropped
    Q4VMCan_Exchange(vm.Db(), 200);
    std::vector<u8> inst(8, 0);
    std::vector<u16> call = {7, port, kQ4TypeUsint, bytes, 4, ok, id, len};
    EXPECT_EQ(Q4stfb_CANRCVMSG(kFbExecute, vm.Db(), nullptr, inst.data(), call.data() + 1), 0);
    EXPECT_EQ(*vm.Data8(ok), 0);  // fewer than 8 elements: nothing fetched
    EXPECT_EQ(D(vm, len), 0);
    call[4] = 8;
    Q4stfb_CANRCVMSG(kFbExecute, vm.Db(), nullptr, inst.data(), call.data() + 1);
    EXPECT_EQ(*vm.Data8(ok), 1);
    EXPECT_EQ(D(vm, id), 0x555);
    EXPECT_EQ(D(vm, len), 8);
    std::vector<u8> got;
    for (u16 k = 0; k < 8; ++k) got.push_back(*vm.Data8(static_cast<u16>(bytes + k)));
    EXPECT_EQ(got, (std::vector<u8>{0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
    Q4stfb_CANRCVMSG(kFbExecute, vm.Db(), nullptr, inst.data(), call.data() + 1);
    EXPECT_EQ(*vm.Data8(ok), 0);
    EXPECT_EQ(Q4stfb_CANRCVMSG(kFbInstanceSize, vm.Db(), nullptr, nullptr, nullptr), 8);
    EXPECT_EQ(Q4stfb_CANRCVMSG(kFbAnyType, vm.Db(), nullptr, nullptr, nullptr), 1);
}

TEST_F(VmCan, DamagedDefinitionsAreRefused) {
    struct Case {
        const char* name;
        void (*edit)(CanDefinition&);
    };
    const std::vector<Case> cases = {
        {"message on a port that does not exist", [](CanDefinition& d) { d.snd[0].port = 1; }},
        {"per-port counts above the totals", [](CanDefinition& d) { d.ports[0].snd = 2; }},
        {"variable of a message that does not exist", [](CanDefinition& d) { d.vars[0].message = 1; }},
        {"bit field of 33 bits", [](CanDefinition& d) { d.vars[0].kind = 18, d.vars[0].length = 33; }},
        {"raw STRING", [](CanDefinition& d) { d.vars[0].raw = kQ4TypeString; }},
        {"variable outside its table", [](CanDefinition& d) { d.vars[0].index = 999; }},
        {"structure offset outside the segment", [](CanDefinition& d) { d.vars[0].index = 0, d.vars[0].ctOffset = 64; }},
        {"interface the board does not have", [](CanDefinition& d) { d.ports[0].name = "can1"; }},
    };
    for (const Case& c : cases) {
        IecImageBuilder b;
        const u16 v = b.Var(kQ4TypeDint);
        b.CtSegment(16, 16);
        CanDefinition def;
        def.ports = {{"can0", 0, 1}};
        def.snd = {{0x181, 0, 4, 1, 100}};
        CanVarDef var = Var(0, true, 2, kQ4TypeDint, v);
        var.length = 4, var.raw = kQ4TypeDint;
        def.vars = {var};
        IecVmDb good(IecImageBuilder(b).Can(def).Build());
        ASSERT_EQ(good.Result(), 0) << c.name;
        c.edit(def);
        IecVmDb bad(b.Can(def).Build());
        EXPECT_NE(bad.Result(), 0) << c.name;
    }
    // Without a definition: nothing sized, nothing sent.
    IecImageBuilder b;
    b.Var(kQ4TypeDint);
    IecVmDb none(b.Build());
    ASSERT_EQ(none.Result(), 0);
    EXPECT_EQ(Q4VM_GetDesc(none.Db(), kDbCanPorts).allocated, 0);
    EXPECT_EQ(Q4VM_GetDesc(none.Db(), kDbCanMessages).allocated, 0);
    Q4VMCan_Exchange(none.Db(), 0);
    EXPECT_EQ(Q4VMCan_SendAppMsg(none.Db(), "", 1, 0, nullptr, 0), 0);
}

TEST_F(VmCan, HotBuildKeepsToTheAllocation) {
    IecImageBuilder b;
    const u16 v = b.Var(kQ4TypeDint, 5);
    CanDefinition def;
    def.ports = {{"can0", 0, 1}};
    def.snd = {{0x181, 0, 4, 1, 100}};
    CanVarDef var = Var(0, true, 2, kQ4TypeDint, v);
    var.length = 4, var.raw = kQ4TypeDint;
    def.vars = {var};
    IecVmDb vm(IecImageBuilder(b).Can(def).Build());
    ASSERT_EQ(vm.Result(), 0);
    CanPeer peer(bus);
    Q4VMCan_Exchange(vm.Db(), 10);
    EXPECT_EQ(peer.Take().size(), 1u);
    CanDefinition more = def;
    more.vars.push_back(var);
    const std::vector<u8> bigger = IecImageBuilder(b).Can(more).Build();
    EXPECT_EQ(Q4VMCan_CanBuildHot(vm.Db(), Q4Code{bigger.data(), static_cast<u32>(bigger.size())}), 1);
    CanDefinition faster = def;
    faster.snd[0].period = 10;
    const std::vector<u8> same = IecImageBuilder(b).Can(faster).Build();
    const Q4Code code{same.data(), static_cast<u32>(same.size())};
    Q4VM_SetCode(vm.Db(), code);
    ASSERT_EQ(Q4VMCan_BuildHot(vm.Db(), code), 0);
    // The rebuilt port sends again at its first exchange, then every 10 ms.
    Q4VMCan_Exchange(vm.Db(), 12);
    Q4VMCan_Exchange(vm.Db(), 22);
    EXPECT_EQ(peer.Take().size(), 2u);
    Q4VM_SetCode(vm.Db(), vm.Code());
}

TEST_F(VmCan, PythonCanPeerExchangesFramesWithTheDriver) {
    IecImageBuilder b;
    const u16 in = b.Var(kQ4TypeDint), out = b.Var(kQ4TypeDint, 0x1234);
    CanDefinition def;
    def.ports = {{"can0", 1, 1}};
    def.rcv = {{0x9ABCDEF0u, 0, 8}};
    def.snd = {{0x181, 0, 2, 1, 1000}};
    CanVarDef rcv = Var(0, false, 1, kQ4TypeDint, in);
    rcv.offset = 1, rcv.length = 4, rcv.raw = kQ4TypeDint, rcv.order = 1;
    CanVarDef snd = Var(0, true, 18, kQ4TypeDint, out);
    snd.mask = 0x01, snd.length = 16, snd.raw = kQ4TypeUint;
    def.vars = {rcv, snd};
    IecVmDb vm(b.Can(def).Build());
    ASSERT_EQ(vm.Result(), 0);
    PeerProgram peer(std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/can/can_bus_peer.py " +
                     std::to_string(bus) + " 1 30 1ABCDEF0#00CAFEBABE");
    ASSERT_TRUE(peer.WaitReady()) << "python3-can peer did not start";
    Q4VMCan_Exchange(vm.Db(), 0);
    EXPECT_EQ(static_cast<u32>(D(vm, in)), 0xCAFEBABEu);
    int status = -1;
    // 16 bits upwards from bit 0: the value's bytes in order.
    EXPECT_EQ(peer.Rest(&status), (std::vector<std::string>{"181 0 0 2 3412"}));
    EXPECT_EQ(status, 0);
}

}  // namespace
