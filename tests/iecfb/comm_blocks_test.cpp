// The serial-port, modem and recipe blocks: the records they hand the TALK
// port functions (recorded by a stand-in) and the status they show.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/wiring.h"
#include "fb_fixture.h"
#include "iec/blocks/q4comm.h"

namespace {

struct Call {
    char kind;  // 'o' open, 'c' close, 'm' modem
    const u8* record;
    std::vector<u8> bytes;
    int enable;
};
std::vector<Call> g_calls;
int g_answer = 1;
u16 g_modemStatus = 0;

class CommDb : public FbDb {
public:
    CommDb() : FbDb(Builder()) {}
    u16 I(u16 k) const { return static_cast<u16>(i0_ + k); }
    u16 Arr() const { return arr_; }
    u16 S(u16 k) const { return static_cast<u16>(s0_ + k); }
    void SetI(u16 i, i16 v) { PutLe16(Vm().Data16(i), static_cast<u16>(v)); }
    i16 GetI(u16 i) { return static_cast<i16>(GetLe16(Vm().Data16(i))); }
    void SetS(u16 s, const std::string& t) {
        u8* p = Vm().String(s);
        p[1] = static_cast<u8>(t.size());
        std::memcpy(p + 2, t.data(), t.size());
    }

private:
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        i0_ = b.Var(kQ4TypeInt);
        for (int k = 1; k < 8; ++k) b.Var(kQ4TypeInt);
        arr_ = b.Array(kQ4TypeInt, 8);
        s0_ = b.String(80);
        return b;
    }
    static inline u16 i0_ = 0, arr_ = 0, s0_ = 0;
};

class CommBlocks : public ::testing::Test {
protected:
    CommBlocks() {
        Q4Comm_Reset();
        g_calls.clear();
        g_answer = 1;
        q4CommPeers.talkOpen = [](const u8* r, int e) {
            g_calls.push_back({'o', r, std::vector<u8>(r, r + kTalkOpenBytes), e});
            return g_answer;
        };
        q4CommPeers.talkClose = [](const u8* r, int e) {
            g_calls.push_back({'c', r, std::vector<u8>(r, r + 2), e});
            return g_answer;
        };
        q4CommPeers.talkModem = [](u8* r, u32 n, int e) {
            g_calls.push_back({'m', r, std::vector<u8>(r, r + n), e});
            PutLe16(r + 4, g_modemStatus);
            return g_answer;
        };
    }
    ~CommBlocks() override { Wiring_Connect(); }
    // OPENCOMM with enable, port and the seven settings.
    void Open(bool enable, i32 port, std::vector<i32> s) {
        f_.SetB(f_.B(0), enable);
        f_.SetD(f_.D(0), port);
        std::vector<u16> ops = {f_.B(0), f_.D(0)};
        for (u16 k = 0; k < 7; ++k) {
            f_.SetD(f_.D(1 + k), s[k]);
            ops.push_back(f_.D(1 + k));
        }
        ops.push_back(f_.B(1));
        f_.Exec(Q4Ctl_OpenComm, nullptr, ops);
    }
    CommDb f_;
};

TEST_F(CommBlocks, OpenFillsThePortsRecordAndShowsTheAnswer) {
    struct Case {
        i32 baud, data, stop;
        std::vector<u8> record;
    };
    const Case cases[] = {
        {19200, 8, 1, {1, 0, 6, 2, 3, 0, 4, 0x53}},
        {7, 7, 2, {1, 0, 7, 2, 2, 1, 4, 0x53}},       // 7 passes through as a code
        {10400, 5, 9, {1, 0, 12, 2, 5, 9, 4, 0x53}},
    };
    for (const Case& c : cases) {
        g_calls.clear();
        Open(true, 0x70001, {c.baud, 2, c.data, c.stop, 4, 0x13, 5});  // port: the low word
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(g_calls[0].bytes, c.record) << c.baud;
        EXPECT_EQ(g_calls[0].record, talk_open[1]);
        EXPECT_EQ(q4protocol, 3);
        EXPECT_TRUE(f_.GetB(f_.B(1)));
    }
    // Enabled, an answer 0 leaves the status; disabled, 0 clears it.
    g_answer = 0;
    Open(true, 1, {9600, 0, 8, 1, 0, 3, 0});
    EXPECT_TRUE(f_.GetB(f_.B(1)));
    g_answer = 1;
    Open(false, 1, {9600, 0, 8, 1, 0, 3, 0});
    EXPECT_TRUE(f_.GetB(f_.B(1)));
    g_answer = 0;
    Open(false, 1, {9600, 0, 8, 1, 0, 3, 0});
    EXPECT_FALSE(f_.GetB(f_.B(1)));
    EXPECT_EQ(g_calls.back().enable, 0);
    g_calls.clear();
    Open(true, 2, {9600, 0, 8, 1, 0, 3, 0});  // no port 2: not called
    EXPECT_TRUE(g_calls.empty());

    f_.SetB(f_.B(0), true);
    f_.SetD(f_.D(0), 0);
    g_answer = 1;
    f_.Exec(Q4Ctl_CloseComm, nullptr, {f_.B(0), f_.D(0), f_.B(2)});
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].record, talk_close[0]);
    EXPECT_TRUE(f_.GetB(f_.B(2)));
}

TEST_F(CommBlocks, OpenFromRegistersChecksItsCodesAndPresentsThePortsRecord) {
    const i16 good[8] = {1, 9, 0, 3, 1, 2, 0x14, 0x1F};
    for (u16 k = 0; k < 8; ++k) f_.SetI(static_cast<u16>(f_.Arr() + k), good[k]);
    f_.SetB(f_.B(0), true);
    f_.SetB(f_.B(1), true);
    f_.Exec(Q4Ctl_OpenCommReg, nullptr, {f_.B(0), f_.Arr(), 6, f_.B(1)});  // six elements: nothing
    EXPECT_TRUE(g_calls.empty());
    EXPECT_TRUE(f_.GetB(f_.B(1)));
    for (auto [word, value] : {std::pair{3, 4}, {1, 13}, {4, 2}}) {
        f_.SetI(static_cast<u16>(f_.Arr() + word), static_cast<i16>(value));
        f_.SetB(f_.B(1), true);
        f_.Exec(Q4Ctl_OpenCommReg, nullptr, {f_.B(0), f_.Arr(), 8, f_.B(1)});
        EXPECT_FALSE(f_.GetB(f_.B(1))) << word;
        EXPECT_TRUE(g_calls.empty());
        f_.SetI(static_cast<u16>(f_.Arr() + word), good[word]);
    }
    f_.Exec(Q4Ctl_OpenCommReg, nullptr, {f_.B(0), f_.Arr(), 8, f_.B(1)});
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].record, talk_open[1]);  // the port's own record, as OPENCOMM
    EXPECT_EQ(g_calls[0].bytes, (std::vector<u8>{1, 0, 9, 0, 3, 1, 2, 0xF4}));
    EXPECT_EQ(q4protocol, 0);  // not set by the register form
    EXPECT_TRUE(f_.GetB(f_.B(1)));
}

TEST_F(CommBlocks, ModemRecordsHoldTheirTexts) {
    auto params = [](const Call& c) { return std::vector<u8>(c.bytes.begin() + 6, c.bytes.begin() + 16); };
    f_.SetB(f_.B(0), true);
    f_.SetD(f_.D(0), 1);
    f_.SetI(f_.I(0), 77);  // status in
    g_modemStatus = 5;
    f_.SetS(f_.S(0), "ATZ");
    f_.Exec(Q4Ctl_ModemSendInit, nullptr, {f_.B(0), f_.D(0), f_.S(0), f_.I(0)});
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(std::vector<u8>(g_calls[0].bytes.begin(), g_calls[0].bytes.begin() + 6), (std::vector<u8>{1, 0, 0, 0, 77, 0}));
    EXPECT_EQ(params(g_calls[0]), (std::vector<u8>{3, 0, 'A', 'T', 'Z', 0, 0, 0, 0, 0}));
    EXPECT_EQ(f_.GetI(f_.I(0)), 5);  // status out

    f_.SetS(f_.S(0), std::string(50, 'A'));  // one beyond the record
    f_.Exec(Q4Ctl_ModemSendInit, nullptr, {f_.B(0), f_.D(0), f_.S(0), f_.I(0)});
    EXPECT_EQ(g_calls.size(), 1u);
    f_.SetS(f_.S(0), std::string(49, 'A'));
    f_.Exec(Q4Ctl_ModemSendInit, nullptr, {f_.B(0), f_.D(0), f_.S(0), f_.I(0)});
    EXPECT_EQ(g_calls.size(), 2u);

    f_.SetI(f_.I(1), 0x100);
    f_.SetS(f_.S(0), "5551234");
    f_.Exec(Q4Ctl_ModemAutoDial, nullptr, {f_.B(0), f_.D(0), f_.I(1), f_.S(0), f_.I(0)});
    EXPECT_EQ(params(g_calls.back()), (std::vector<u8>{0, 1, 7, 0, '5', '5', '5', '1', '2', '3'}));
    EXPECT_EQ(GetLe16(g_calls.back().bytes.data() + 2), 1);
    f_.SetS(f_.S(0), std::string(30, '1'));
    f_.Exec(Q4Ctl_GprsConnectS, nullptr, {f_.B(0), f_.D(0), f_.I(1), f_.S(0), f_.I(0)});
    EXPECT_EQ(g_calls.size(), 3u);

    // GPRSCONNECT: ten characters, fewer from a one-element array.
    f_.SetD(f_.D(5), 0x34333231);
    f_.SetD(f_.D(6), 0x38373635);
    f_.SetD(f_.D(7), 0x00003039);
    f_.Exec(Q4Ctl_GprsConnect, nullptr, {f_.B(0), f_.D(0), f_.I(1), f_.D(5), 3, f_.I(0)});
    EXPECT_EQ(std::string(g_calls.back().bytes.begin() + 10, g_calls.back().bytes.begin() + 20), "1234567890");
    EXPECT_EQ(GetLe16(g_calls.back().bytes.data() + 8), 10);
    f_.Exec(Q4Ctl_GprsConnect, nullptr, {f_.B(0), f_.D(0), f_.I(1), f_.D(5), 1, f_.I(0)});
    EXPECT_EQ(GetLe16(g_calls.back().bytes.data() + 8), 4);

    f_.SetD(f_.D(1), 40);
    f_.Exec(Q4Ctl_ModemAutoAnswer, nullptr, {f_.B(0), f_.D(0), f_.D(1), f_.I(0)});
    EXPECT_EQ(GetLe16(g_calls.back().bytes.data() + 2), 2);
    EXPECT_EQ(GetLe16(g_calls.back().bytes.data() + 6), 22);
}

TEST_F(CommBlocks, RecipesAcceptAndDoNothing) {
    for (const Q4BlockEntry& e : kQ4CtlCommRows) EXPECT_EQ(e.handler(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1) << e.name;
    EXPECT_EQ(Q4Ctl_Recipe(kFbExecute, f_.Db(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Q4Ctl_Recipe(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(g_calls.empty());
}

}  // namespace

#include "iec/blocks/q4modbus.h"
#include "iec/kernel/q4vmdb.h"

namespace {

struct MbCall {
    int port;
    u16 address;
    std::vector<u8> data;
};
std::vector<MbCall> g_mb;

class ModbusBlocks : public ::testing::Test {
protected:
    ModbusBlocks() {
        Q4Modbus_Reset();
        g_mb.clear();
        q4ModbusPeers.talkModbus = [](int port, u16 address, u16, u8*, u8* data, u8* status, int) {
            g_mb.push_back({port, address, std::vector<u8>(data, data + 34)});
            PutLe16(status, 0x1234);
            return 1;
        };
        pDB = f_.Db();
    }
    ~ModbusBlocks() override {
        pDB = nullptr;
        Wiring_Connect();
    }
    CommDb f_;
};

TEST_F(ModbusBlocks, SlaveMapsAndMasterRequestsByType) {
    // Slave: DINT register arrays double the register sizes, width 2.
    f_.SetB(f_.B(0), true);
    f_.SetD(f_.D(0), 1);
    std::vector<u16> ops = {kQ4TypeDint, f_.B(0), f_.D(0), f_.I(0), f_.I(1), f_.B(10), 4, f_.B(14), 3,
                            f_.D(10), 2, f_.D(12), 5, f_.I(2)};
    for (i16 address : {0, 248}) {
        f_.SetI(f_.I(0), address);
        f_.Exec(Q4Ctl_ModbusMapSlave, std::array<u8, 40>{}.data(), ops);
    }
    EXPECT_TRUE(g_mb.empty());
    f_.SetI(f_.I(0), 247);
    std::array<u8, 40> inst{};
    f_.Exec(Q4Ctl_ModbusMapSlave, inst.data(), ops);
    ASSERT_EQ(g_mb.size(), 1u);
    EXPECT_EQ(g_mb[0].address, 247);
    const std::vector<u8>& m = g_mb[0].data;
    EXPECT_EQ(GetLe32(m.data() + 16), 4u);
    EXPECT_EQ(GetLe32(m.data() + 20), 3u);
    EXPECT_EQ(GetLe32(m.data() + 24), 4u);
    EXPECT_EQ(GetLe32(m.data() + 28), 10u);
    EXPECT_EQ(GetLe16(m.data() + 32), 2);
    EXPECT_EQ(GetLe32(m.data() + 8), 0xC0000000u | (2u << 26) | f_.D(10));
    EXPECT_EQ(f_.GetI(f_.I(2)), 0x34);  // the low byte of the map's status
    ops[0] = kQ4TypeLreal;  // another register type: nothing happens
    f_.Exec(Q4Ctl_ModbusMapSlave, inst.data(), ops);
    EXPECT_EQ(g_mb.size(), 1u);

    // OLDUSERSMASTER: bits from the byte array for function 1, registers
    // from the DINT array (count doubled) for function 3.
    const i16 req[6] = {9, 1, 100, 3, 0, 1};
    for (u16 k = 0; k < 6; ++k) f_.SetI(static_cast<u16>(f_.Arr() + k), req[k]);
    std::vector<u16> old = {kQ4TypeDint, f_.B(0), f_.D(0), f_.I(1), f_.B(1), f_.Arr(), 6, f_.B(10), 4,
                            f_.D(10), 3, f_.I(3)};
    std::array<u8, 24> mi{};
    f_.Exec(Q4Ctl_OldUsersMaster, mi.data(), old);
    ASSERT_EQ(g_mb.size(), 2u);
    const std::vector<u8>& r = g_mb[1].data;
    EXPECT_EQ(GetLe16(r.data() + 2), 1);
    EXPECT_EQ(GetLe16(r.data() + 6), 3);
    EXPECT_EQ(GetLe32(r.data() + 8), 0xC0000000u | f_.B(10));
    EXPECT_EQ(GetLe16(r.data() + 12), 1);
    EXPECT_EQ(GetLe16(r.data() + 14), 0);
    EXPECT_EQ(f_.GetI(f_.I(3)), 0x1234);
    f_.SetI(static_cast<u16>(f_.Arr() + 1), 3);
    f_.SetI(static_cast<u16>(f_.Arr() + 3), 2);
    f_.Exec(Q4Ctl_OldUsersMaster, mi.data(), old);
    ASSERT_EQ(g_mb.size(), 3u);
    EXPECT_EQ(GetLe16(g_mb[2].data.data() + 6), 4);   // two DINTs: four registers
    EXPECT_EQ(GetLe16(g_mb[2].data.data() + 14), 2);
    EXPECT_EQ(GetLe32(g_mb[2].data.data() + 8), 0xC0000000u | (2u << 26) | f_.D(10));
    f_.SetI(static_cast<u16>(f_.Arr() + 1), 9);  // no such function: nothing sent
    f_.Exec(Q4Ctl_OldUsersMaster, mi.data(), old);
    EXPECT_EQ(g_mb.size(), 3u);
}

}  // namespace
