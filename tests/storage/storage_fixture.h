// A clean root with the card (A:) and the USB stick (B:) inserted, the file
// layer, the drive-letter API and the media manager reset, and a clean
// register memory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "testsupport/fw_media.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        SysCmd_Reset();
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        Fx_InsertMedium(0);
        Fx_InsertMedium(1);
    }
    void TearDown() override {
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        SysCmd_Reset();
    }

    void Put(const std::string& fw, const std::string& text) { FwPut(fw, text); }
    std::string Get(const std::string& fw) { return FwGet(fw); }
    bool Exists(const std::string& fw) { return FwExists(fw); }

    TempRoot root_;
    RegFixture regs_;
};
