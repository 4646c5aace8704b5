// A clean controller core for the scan, mode and main-loop tests: a fresh
// root, a hand-advanced clock, zeroed registers and every stand-in service
// forgotten.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/canopen.h"
#include "io/iodriver.h"
#include "ladder/logic.h"
#include "link/command.h"
#include "link/promgr.h"
#include "link/talk.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "remote/sms.h"
#include "storage/cfmgr.h"
#include "storage/file.h"
#include "storage/logger.h"
#include "testsupport/io_script.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

class PlcCore : public ::testing::Test {
protected:
    void SetUp() override {
        FPGA_Reset();
        Rtc_Reset();
        Nvram_Reset();
        Bkuprstr_Reset();
        Plc_Reset();
        Cmd_Reset();
        IoScript_Install();
        CanOpen_Reset();
        PMGR_Reset();
        SMS_Reset();
        LOG_Reset();
        File_Reset();
        Vcomm_Reset();
        Touch_Reset();
        Main_Reset();
        Dartu_Reset();
        TalkClosed(0);
        TalkClosed(1);
        LogicUpdate_SetTestHook(nullptr);
        Sys_AutoLoad = 0;
        Sys_AppLoad = 0;
        // The empty program: a single END word.
        PutLe16(ladder, 9);
        ladder_bl.SetHeader(crc16(ladder, 2), 2);
    }
    void TearDown() override {
        LogicUpdate_SetTestHook(nullptr);
        File_Reset();
        Dartu_Reset();
        Wiring_Connect();
    }

    u8 Mode() const { return SR_Get(5) & 0xFF; }
    // Puts the controller in a mode without the side effects of a change.
    void ForceMode(u8 mode) { SR_Put(5, mode); }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
};
