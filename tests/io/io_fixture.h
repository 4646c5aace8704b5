// A clean local-I/O world for the tests: a fresh root (and so a fresh
// simulated board with empty slots), a hand-advanced clock, zeroed
// registers and every I/O module state forgotten. The kernel revision text
// picks the I2C path (chars 7-8 "44": kernel path; "31": direct registers).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/i2c_io.h"
#include "io/ioapi.h"
#include "io/iodriver.h"
#include "platform/board.h"
#include "platform/fpga.h"
#include "platform/i2c_imx28_drv.h"
#include "platform/iomodules.h"
#include "platform/spi_imx28_drv.h"
#include "platform/ssp2_xch.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

inline void PutKernelRevision(const char* text) {
    char buf[10] = {};
    std::memcpy(buf, text, std::strlen(text) < 10 ? std::strlen(text) : 10);
    for (int i = 0; i < 5; ++i)
        ESR_Put(9 + i, static_cast<u16>(static_cast<u8>(buf[2 * i]) | (static_cast<u8>(buf[2 * i + 1]) << 8)));
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override {
        FPGA_Reset();
        Plc_Reset();
        IoDriver_Reset();
        IoModules_Reset();
        Ssp2_Reset();
        Spi_Reset();
        PutKernelRevision("2.6.35.44");
    }
    void TearDown() override {
        Board_SetWriteHook(kSocI2c0Base, nullptr);
        Board_SetReadHook(kSocI2c0Base, nullptr);
        Board_SetWriteHook(kSocPinctrlBase, nullptr);
        Board_SetWriteHook(kSocLradcBase, nullptr);
        Board_SetWriteHook(kSocSsp1Base, nullptr);
        Board_SetWriteHook(kSocSsp2Base, nullptr);
        IoDriver_Reset();
        Wiring_Connect();  // a test may have put its own driver in
    }
    // Chooses the I2C path for the next transfers.
    void UseDirectRegisters(bool direct) {
        PutKernelRevision(direct ? "2.6.35.31" : "2.6.35.44");
        I2cIo_Reset();
    }

    // Plugs, probes, initialises and configures one module.
    void Bring(int slot, u16 ident, const std::vector<u8>& config = {}) {
        if (IoModules_Ident(slot) != ident) {
            ASSERT_TRUE(IoModules_Plug(slot, ident));
        }
        u16 ids[3];
        get_io_info(ids);
        ASSERT_EQ(IoInit(ids, 3), 0);
        config_[slot] = config;
        io_cfg[slot].config = config_[slot].empty() ? nullptr : config_[slot].data();
        io_cfg[slot].configBytes = static_cast<u32>(config_[slot].size());
        IoSlotRecord r = io_cfg[slot];
        IoCfg(&r, slot);
        ASSERT_EQ(r.info.status, 0);
    }
    // A slot configuration with the mode word and the stop mask and values.
    static std::vector<u8> ModeConfig(u16 mode, u16 stopMask = 0, u16 stopValues = 0) {
        std::vector<u8> c(0xB0, 0);
        c[9] = static_cast<u8>(mode);
        c[10] = static_cast<u8>(mode >> 8);
        PutLe16(&c[0x20], stopMask);
        PutLe16(&c[0x22], stopValues);
        return c;
    }
    std::vector<u8> config_[3];

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
};
