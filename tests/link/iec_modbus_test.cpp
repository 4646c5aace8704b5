// The IEC Modbus blocks on serial port 1 through the real TALK entry and
// serial Modbus engine, with real peers on the far end of a socat pty pair:
// mbpoll for the slave map, a python3-pymodbus RTU slave for the master.
#include <cstdio>
#include <string>
#include <vector>

#include "../iecfb/fb_fixture.h"
#include "core/wiring.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4comm.h"
#include "iec/blocks/q4modbus.h"
#include "iec/kernel/q4vmdb.h"
#include "link/modbus.h"
#include "link/talk.h"
#include "testsupport/mb_peers.h"
#include "testsupport/socat_pair.h"

#include "link_fixture.h"

namespace {

class IecModbusTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        pair_ = std::make_unique<SocatPair>(root.Path("/dev/ttySP4"), root.Path("/peer"));
        ASSERT_TRUE(pair_->Ready()) << "socat is missing";
        SCI1_Init(1);
        Talk_Reset();
        MOD_Reset();
        Q4Comm_Reset();
        Q4Modbus_Reset();
        Wiring_Connect();
        pDB = f.Db();
        QuilletRuntime = 1;
        quillet_variables_enumerateded = 1;
        Open(true);
        ASSERT_TRUE(f.GetB(f.B(1)));
    }
    void TearDown() override {
        peer_.Stop();
        Open(false);
        pDB = nullptr;
        QuilletRuntime = 0;
        quillet_variables_enumerateded = 0;
        Talk_Reset();
        MOD_Reset();
        pair_.reset();
        LinkTest::TearDown();
    }
    // OPENCOMM of port 1 for Modbus RTU at 9600 (enable B0, status B1).
    void Open(bool enable) {
        std::vector<u16> ops = {f.B(0), f.D(0)};
        const i32 settings[7] = {9600, 0, 8, 1, 0, 3, 0};
        for (u16 k = 0; k < 7; ++k) {
            f.SetD(f.D(1 + k), settings[k]);
            ops.push_back(f.D(1 + k));
        }
        ops.push_back(f.B(1));
        f.SetB(f.B(0), enable);
        f.SetD(f.D(0), 1);
        f.Exec(Q4Ctl_OpenComm, nullptr, ops);
    }
    i16 I(u16 i) { return static_cast<i16>(GetLe16(f.Vm().Data16(i))); }
    void SetI(u16 i, i16 v) { PutLe16(f.Vm().Data16(i), static_cast<u16>(v)); }

    static IecImageBuilder Builder() {
        IecImageBuilder b;
        ir = b.Array(kQ4TypeInt, 4);
        hr = b.Array(kQ4TypeInt, 4);
        status = b.Var(kQ4TypeInt);
        timeout = b.Var(kQ4TypeInt, 20);
        address = b.Var(kQ4TypeInt, 7);
        di = b.Array(kQ4TypeUsint, 8);
        co = b.Array(kQ4TypeUsint, 8);
        return b;
    }
    static inline u16 ir = 0, hr = 0, status = 0, timeout = 0, address = 0, di = 0, co = 0;
    FbDb f{Builder()};
    std::unique_ptr<SocatPair> pair_;
    PeerProcess peer_;
    std::array<u8, 40> inst_{};
};

TEST_F(IecModbusTest, SlaveMapAnswersMbpoll) {
    for (u16 k = 0; k < 4; ++k) SetI(static_cast<u16>(ir + k), static_cast<i16>(300 + k));
    *f.Vm().Data8(static_cast<u16>(di + 1)) = 1;
    auto exec = [&] {
        f.Exec(Q4Ctl_ModbusMapSlave, inst_.data(),
               {kQ4TypeInt, f.B(0), f.D(0), address, timeout, di, 8, co, 8, ir, 4, hr, 4, status});
    };
    f.SetB(f.B(0), true);
    SetI(address, 0);  // no such slave address: nothing happens
    SetI(status, 0x55);
    exec();
    EXPECT_EQ(I(status), 0x55);
    SetI(address, 7);
    exec();
    const std::string out = root.Path("/mbpoll.out");
    auto poll = [&](const std::string& args, const std::string& values = "") {
        std::remove(out.c_str());
        ASSERT_TRUE(peer_.Start("", "mbpoll -m rtu -b 9600 -P none -a 7 -1 -o 2 " + args + " '" + root.Path("/peer") +
                                        "' " + values + " >" + out + " 2>&1; echo END >>" + out));
        ASSERT_TRUE(RunLinkUntil([&] {
            exec();
            clock.AdvanceMs(1);  // frames end at a silent interval on the controller's clock
            return ReadTextFile(out).find("END") != std::string::npos;
        }));
        peer_.Stop();
    };
    ASSERT_NO_FATAL_FAILURE(poll("-t 3 -r 2 -c 2"));  // input registers 2-3 (mbpoll counts from 1)
    EXPECT_NE(ReadTextFile(out).find("[2]: \t301"), std::string::npos) << ReadTextFile(out);
    EXPECT_NE(ReadTextFile(out).find("[3]: \t302"), std::string::npos) << ReadTextFile(out);
    ASSERT_NO_FATAL_FAILURE(poll("-t 4 -r 1", "55 66"));
    EXPECT_EQ(I(hr), 55);
    EXPECT_EQ(I(hr + 1), 66);
    ASSERT_NO_FATAL_FAILURE(poll("-t 1 -r 1 -c 3"));
    EXPECT_NE(ReadTextFile(out).find("[2]: \t1"), std::string::npos) << ReadTextFile(out);
    ASSERT_NO_FATAL_FAILURE(poll("-t 4 -r 4 -c 2"));  // beyond the map: an exception
    EXPECT_EQ(ReadTextFile(out).find("[4]:"), std::string::npos) << ReadTextFile(out);
}

}  // namespace

namespace {

class IecModbusMaster : public IecModbusTest {
protected:
    static IecImageBuilder MasterBuilder() {
        IecImageBuilder b;
        req = b.Array(kQ4TypeInt, 6);
        data = b.Array(kQ4TypeInt, 4);
        st = b.Var(kQ4TypeInt);
        to = b.Var(kQ4TypeInt, 20);
        return b;
    }
    static inline u16 req = 0, data = 0, st = 0, to = 0;
    FbDb m{MasterBuilder()};
};

TEST_F(IecModbusMaster, RequestPollsAPymodbusSlave) {
    pDB = m.Db();
    auto I = [&](u16 i) { return static_cast<i16>(GetLe16(m.Vm().Data16(i))); };
    ASSERT_TRUE(peer_.Start("", "exec /usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) +
                                    "/tests/system/serial_modbus_peer.py' server '" + root.Path("/peer") + "' >" +
                                    root.Path("/server.out") + " 2>&1"));
    const i16 record[6] = {5, 3, 1, 3, 0, 1};  // unit 5, holding registers 1-3 into data[1..3]
    for (u16 k = 0; k < 6; ++k) PutLe16(m.Vm().Data16(static_cast<u16>(req + k)), static_cast<u16>(record[k]));
    m.SetB(m.B(0), true);
    m.SetD(m.D(0), 1);
    std::array<u8, 24> inst{};
    auto exec = [&](bool trigger) {
        m.SetB(m.B(2), trigger);
        m.Exec(Q4Ctl_ModbusDoRequest, inst.data(), {kQ4TypeInt, m.B(0), m.D(0), to, m.B(2), req, 6, data, 4, st});
    };
    // The slave serves once python has started it: ask until it answers
    // (a time-out shows 0x102 meanwhile).
    bool answered = false;
    for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
        exec(false);
        ASSERT_TRUE(RunLinkUntil([&] {
            exec(true);
            clock.AdvanceMs(1);  // time-outs run on the controller's clock
            return I(st) != 0;
        }));
        answered = I(st) == 1;
    }
    ASSERT_TRUE(answered) << I(st) << ReadTextFile(root.Path("/server.out"));
    EXPECT_EQ(I(data), 0);
    EXPECT_EQ(I(data + 1), 101);
    EXPECT_EQ(I(data + 2), 102);
    EXPECT_EQ(I(data + 3), 103);

    // Offset 2 and count 3 reach past the 4-element array: not sent, the
    // status output untouched.
    PutLe16(m.Vm().Data16(static_cast<u16>(req + 5)), 2);
    exec(false);
    PutLe16(m.Vm().Data16(st), 0x55);
    exec(true);
    EXPECT_EQ(I(st), 0x55);
}

}  // namespace
