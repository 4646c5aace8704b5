// A CANopen node under test on a bus of its own, with a second node of the
// bus played by the test, on the hand-driven clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_table.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "testsupport/can_peer.h"
#include "testsupport/canopen_table_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

constexpr u32 kR1 = 0x8000;  // bit address of %R1

inline u32 R32(int n) { return GetLe32(&plc_reg[kRegR + 2 * (n - 1)]); }
inline u16 R16(int n) { return GetLe16(&plc_reg[kRegR + 2 * (n - 1)]); }
inline void PutR16(int n, u16 v) { PutLe16(&plc_reg[kRegR + 2 * (n - 1)], v); }

class CanOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        Can_Reset();
        CANOpen_Reset();
        FPGA_Reset();
        Root_Init();
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        peer = std::make_unique<CanPeer>(bus);
        copendnet_tbl.SetHeader(0, 0);
        SR_Put(29, 5);
        SR_Put(30, 1);
    }
    void TearDown() override {
        Can_Reset();
        CANOpen_Reset();
        copendnet_tbl.SetHeader(0, 0);
        unsetenv("PLC_CAN_BUS");
    }
    void Init() {
        CanOpenNetStart start{};
        CANOpenInit(&start);
    }
    // One scan's CANopen part, with the port's pass before it.
    std::vector<CanFrame> Scan() {
        Can_Isr();
        CANOpenRxMsg();
        CANOpenTxMsg();
        Can_Isr();
        return peer->Take();
    }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
    int bus = 0;
    std::unique_ptr<CanPeer> peer;
};

