// Clone between two controllers: the real executable makes the program file
// and the clone image on its card when SR164 bit 0x100 is set from outside;
// an independent reader checks the file against the stored blocks; a second
// controller with that card loads both after the confirmation and comes back
// from its restart with that program and those registers.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kWaitMs = 60000;
constexpr u32 kSr164 = 0x400 + 16u * (127 + 164);
constexpr u32 kR1 = 0x400 + 8u * kRegR;
constexpr u32 kCloneBytes = kPlcRegBytes + 2;

int Media(const TempRoot& root, const std::string& args) {
    std::string cmd = std::string(PLC_BIN_DIR) + "/plcmedia --root '" + root.Dir() + "' " + args + " >/dev/null";
    return std::system(cmd.c_str());
}

std::vector<u8> ReadFile(const std::string& path) {
    std::vector<u8> data;
    if (!File_ReadAll(path, data, 64u << 20)) data.clear();
    return data;
}

void WriteFile(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs the independent reader; its summary line, or "" when it refused.
std::string RunReader(const std::string& file, const std::string& outDir, int* rc) {
    std::string cmd = "/usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) + "/tests/system/pgm_reader.py' '" + file + "' '" +
                      outDir + "'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    *rc = p ? pclose(p) : -1;
    return out;
}

// One controller in the current root with its programming port on a pty.
struct Controller {
    LinkPty serial;
    std::unique_ptr<LinkHost> host;
    FirmwareProcess fw;
    u8 node = 0;

    bool Start(const TempRoot& root) {
        if (!serial.Open(root.Path("/dev/ttySP3"))) return false;
        host = std::make_unique<LinkHost>(serial.Master());
        return Restart();
    }
    int Runs() const {
        int n = 0;
        std::string out = fw.Output();
        for (size_t at = out.find("main loop running"); at != std::string::npos;
             at = out.find("main loop running", at + 1))
            ++n;
        return n;
    }
    bool Restart() {
        // The output of an earlier run stays in the log: wait for a new line.
        int before = Runs();
        if (!fw.Start() || !WaitUntil([&] { return Runs() > before; }, kWaitMs)) return false;
        return host->NodeId(&node);
    }
    int Sr164() {
        LinkHost::Reply r = host->ReadRegs(node, kSr164, 16);
        return r.frame && r.data.size() == 2 ? GetLe16(r.data.data()) : -1;
    }
    std::vector<u8> Upload(u8 area) {
        std::vector<u8> d;
        if (!host->Upload(node, area, &d)) d.assign(1, 0xEE);
        return d;
    }
    void Stop() {
        fw.Signal(SIGTERM);
        EXPECT_TRUE(fw.WaitExit(kWaitMs));
        EXPECT_EQ(fw.ExitCode(), 0) << fw.Output();
    }
};

std::vector<u8> Program() {
    LadderBuilder b;
    for (int i = 1; i <= 60; ++i) b.Contact(lreg::I(i)).Out(lreg::Q(i));
    b.End();
    return b.BlockData(kFeatDatalog | kFeatCanopen);
}

}  // namespace

TEST(PgmCloneSystem, CloneMadeOnOneControllerLoadsOnAnother) {
    const std::vector<u8> program = Program();
    const std::vector<u8> registers = {0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44};
    std::vector<u8> autoload, clone;
    std::map<u8, std::vector<u8>> stored;

    {
        TempRoot root;
        ASSERT_EQ(Media(root, "insert a"), 0);
        Controller a;
        ASSERT_TRUE(a.Start(root)) << a.fw.Output();
        ASSERT_EQ(a.host->Download(a.node, 0, program, 64), 0xA0);
        ASSERT_EQ(a.host->Download(a.node, 22, std::vector<u8>(96, 0), 64), 0xA0);
        ASSERT_EQ(a.host->Download(a.node, 23, std::vector<u8>(40, 0), 64), 0xA0);
        ASSERT_EQ(a.host->WriteRegs(a.node, kR1, 64, registers), 0xA0);
        ASSERT_EQ(a.host->WriteRegs(a.node, kSr164, 16, {0x00, 0x01}), 0xA0);

        const std::string card = root.Path("/mnt/USB0");
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(card + "/clone.dat").size() == kCloneBytes; }, kWaitMs))
            << a.fw.Output();
        ASSERT_TRUE(WaitUntil([&] { return a.Sr164() == 0; }, kWaitMs)) << "SR164 " << a.Sr164();
        autoload = ReadFile(card + "/AUTOLOAD.PGM");
        clone = ReadFile(card + "/clone.dat");
        EXPECT_EQ(std::vector<u8>(clone.begin() + kRegR, clone.begin() + kRegR + 8), registers);
        EXPECT_EQ(GetLe16(&clone[kPlcRegBytes]), crc16(clone.data(), kPlcRegBytes));

        // The independent reader finds every table whole and in order.
        std::string out = root.Dir() + "/tables";
        std::filesystem::create_directories(out);
        int rc = 0;
        std::string summary = RunReader(card + "/AUTOLOAD.PGM", out, &rc);
        ASSERT_EQ(rc, 0) << summary;
        EXPECT_NE(summary.find("tables=4,0,5,6,22,23"), std::string::npos) << summary;
        for (u8 type : {4, 0, 5, 6, 22, 23}) {
            stored[type] = a.Upload(type);
            EXPECT_EQ(ReadFile(out + "/" + std::to_string(type) + ".bin"), stored[type]) << "table " << int(type);
        }
        EXPECT_EQ(stored[0], program);
        std::vector<u8> ladderFile = ReadFile(root.Path("/mnt/cfg/ladder.pgm"));
        ASSERT_GT(ladderFile.size(), 8u);
        EXPECT_EQ(std::vector<u8>(ladderFile.begin() + 8, ladderFile.end()), program);
        a.Stop();
    }

    TempRoot root;
    ASSERT_EQ(Media(root, "insert a"), 0);
    std::filesystem::create_directories(root.Path("/mnt/USB0"));
    WriteFile(root.Path("/mnt/USB0/AUTOLOAD.PGM"), autoload);
    WriteFile(root.Path("/mnt/USB0/clone.dat"), clone);
    Controller b;
    ASSERT_TRUE(b.Start(root)) << b.fw.Output();
    EXPECT_NE(b.Upload(0), program);
    ASSERT_EQ(b.host->WriteRegs(b.node, kSr164, 16, {0x00, 0x02}), 0xA0);
    ASSERT_TRUE(WaitUntil([&] { return b.Sr164() == 0x1200; }, kWaitMs));
    // Clearing 0x1000 confirms: the controller loads and restarts.
    ASSERT_EQ(b.host->WriteRegs(b.node, kSr164, 16, {0x00, 0x02}), 0xA0);
    ASSERT_TRUE(b.fw.WaitExit(kWaitMs)) << b.fw.Output();
    EXPECT_EQ(b.fw.ExitCode(), kExitWarmReset) << b.fw.Output();

    ASSERT_TRUE(b.Restart()) << b.fw.Output();
    // The network configuration lives in memory only and is empty after any
    // restart; every stored table came over.
    for (u8 type : {4, 0, 5, 22, 23}) EXPECT_EQ(b.Upload(type), stored[type]) << "table " << int(type);
    LinkHost::Reply r = b.host->ReadRegs(b.node, kR1, 64);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, registers);
    EXPECT_EQ(b.Sr164() & 0x1E00, 0);
    b.Stop();
}
