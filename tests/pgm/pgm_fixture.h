// The controller's own command interpreter on its programming port (a pty
// nobody reads: the media link intercepts the port), the card inserted in a
// fresh root, stored blocks with known contents, and a hand-advanced clock
// that the media link's wait rounds move on by one millisecond each.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/wiring.h"
#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "io/iodriver.h"
#include "link/cmdproc.h"
#include "link/command.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fpga.h"
#include "platform/fx_api.h"
#include "platform/rct.h"
#include "platform/root.h"
#include "platform/timers.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "storage/mcmd.h"
#include "storage/pgmfile.h"
#include "storage/pgmmedia.h"
#include "testsupport/controller_reset.h"
#include "testsupport/link_host.h"
#include "testsupport/manual_clock.h"
#include "testsupport/pgmfile_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

inline void PgmRoundMs() { Clock_Advance(1000000ull); }

// A ladder block of n bytes whose trailer announces the editor features.
inline std::vector<u8> LadderWithFeatures(size_t n, u32 features, u32 seed) {
    std::vector<u8> d = PgmFiller(n, seed);
    PutLe32(&d[n - 9], features);
    d[n - 1] = 0;
    return d;
}

class PgmTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLinkController();
        ResetMediaModules();
        SR_Put(29, 1);
        SR_Put(37, 567);
        SR_Put(38, 160);
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        SCI0_Init(0);
        Cmd_Init();
        ASSERT_TRUE(Fx_InsertMedium(0));
        CrtAutoSaveRegFile();  // the register image a program save also writes
        mcmdPeers.roundDone = PgmRoundMs;
    }
    void TearDown() override {
        Wiring_Connect();  // the real round and warm reset
        MCMD_Reset();
        PgmMedia_Reset();
        Sci_Reset();
        Vcomm_Reset();
        Cmd_Reset();
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        SysCmd_Reset();
    }

    static void SetBlock(const NvBlock& b, const std::vector<u8>& d) {
        std::memcpy(b.Data(), d.data(), d.size());
        b.SetHeader(crc16(d.data(), static_cast<u32>(d.size())), static_cast<u32>(d.size()));
    }
    static std::vector<u8> BlockOf(const NvBlock& b) { return {b.Data(), b.Data() + b.Size()}; }
    static void SetSecurity(const std::vector<u8>& d) {
        std::memcpy(plc_reg + kSecurityTableOffset, d.data(), d.size());
        SR_PutDword(21, static_cast<u32>(d.size()));
        SR_Put(28, crc16(d.data(), static_cast<u32>(d.size())));
    }
    static std::vector<u8> Security() {
        u32 n = std::min<u32>(SR_GetDword(21), kSecurityTableMax);
        return {plc_reg + kSecurityTableOffset, plc_reg + kSecurityTableOffset + n};
    }

    // A program with the four fixed tables and, by its features, a protocol
    // driver section; stored on the internal volume as well.
    void StoreProgram(u32 seed, u32 features = kFeatPromgr) {
        SetSecurity(PgmFiller(80, seed));
        SetBlock(ladder_bl, LadderWithFeatures(3000, features, seed + 1));
        SetBlock(io_config_bl, PgmFiller(200, seed + 2));
        SetBlock(net_config_bl, PgmFiller(122, seed + 3));
        SetBlock(promgr_table_bl, PgmFiller(301, seed + 4));
        nv_get_features();
        ASSERT_EQ(SaveProgram(), 1);
    }
    struct Snapshot {
        std::vector<u8> security, ladder, io, net, promgr;
        bool operator==(const Snapshot&) const = default;
    };
    static Snapshot Take() {
        return {Security(), BlockOf(ladder_bl), BlockOf(io_config_bl), BlockOf(net_config_bl),
                BlockOf(promgr_table_bl)};
    }

    void PutCard(const std::string& name, const std::vector<u8>& bytes) {
        std::string h = Root_HostPath("/mnt/USB0/" + name);
        std::filesystem::create_directories(std::filesystem::path(h).parent_path());
        std::ofstream(h, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<u8> Card(const std::string& name) {
        std::ifstream in(Root_HostPath("/mnt/USB0/" + name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool OnCard(const std::string& name) { return std::filesystem::exists(Root_HostPath("/mnt/USB0/" + name)); }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
    LinkPty serial;
};
