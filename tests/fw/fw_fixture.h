// A clean root with the card inserted, the media layers and the update
// module reset, clean registers, and hooks that record the waits and the
// restarts instead of ending the process.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cf_api.h"
#include "storage/cf_fw_load.h"
#include "storage/cfmgr.h"
#include "testsupport/fw_media.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

struct FwRecorded {
    int restarts = 0;
    int reboots = 0;
    u32 waited = 0;   // 10-ms units
    int loadHeld = 0;  // polls of LOAD still to answer "held"
};
inline FwRecorded g_fw;

class FwTest : public ::testing::Test {
protected:
    static constexpr const char* kStored[] = {"/mnt/cfg/ladder.pgm", "/mnt/cfg/config.pgm", "/mnt/cfg/autoreg.dta",
                                              "/mnt/cfg/bkpreg.dta"};
    void SetUp() override {
        SysCmd_Reset();
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        SYS_Reset();
        Plc_Reset();
        Bkuprstr_Reset();
        Touch_Reset();
        FwUpdate_Reset();
        g_fw = FwRecorded{};
        fwUpdatePeers.wait10ms = [](u32 n) { g_fw.waited += n; };
        fwUpdatePeers.loadHeld = [] { return g_fw.loadHeld > 0 && g_fw.loadHeld-- > 0; };
        fwUpdatePeers.restart = [] { ++g_fw.restarts; };
        fwUpdatePeers.reboot = [] { ++g_fw.reboots; };
    }
    void TearDown() override {
        FwUpdate_Reset();
        Wiring_Connect();
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        SysCmd_Reset();
    }
    // A stored program and register images that an update deletes.
    void StoredProgram() {
        for (const char* f : kStored) FwPut(f, "stored");
    }
    bool ProgramKept() { return FwExists("/mnt/cfg/ladder.pgm") && FwExists("/mnt/cfg/autoreg.dta"); }
    bool ProgramDeleted() {
        for (const char* f : kStored)
            if (FwExists(f)) return false;
        return true;
    }
    size_t LogMark() { return SysCmd_Log().size(); }

    TempRoot root_;
    RegFixture regs_;
};
