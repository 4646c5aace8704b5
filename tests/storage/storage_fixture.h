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

    void Put(const std::string& fw, const std::string& text) {
        std::string h = Root_HostPath(fw);
        std::filesystem::create_directories(std::filesystem::path(h).parent_path());
        std::ofstream(h, std::ios::binary) << text;
    }
    std::string Get(const std::string& fw) {
        std::ifstream in(Root_HostPath(fw), std::ios::binary);
        if (!in) return "<missing>";
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string& fw) {
        return std::filesystem::exists(std::filesystem::symlink_status(Root_HostPath(fw)));
    }

    TempRoot root_;
    RegFixture regs_;
};
