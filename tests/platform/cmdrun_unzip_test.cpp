#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "platform/unzip.h"
#include "testsupport/fw_media.h"
#include "testsupport/temp_root.h"

namespace fs = std::filesystem;

namespace {

std::vector<u8> Hex(const char* hex) {
    std::vector<u8> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(static_cast<u8>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

std::vector<u8> Bytes(const std::string& s) { return std::vector<u8>(s.begin(), s.end()); }

// A line of an update script, deflated with fixed codes by an independent
// encoder.
const char kFixedText[] = "mount -t ubifs ubi0:rootfs1 /mnt/rwfs\r\n";
const char kFixedDeflate[] = "cbcd2fcd2b51d02d51284dca4c2b0691065645f9f92569c5860afab97925fa45e569c5bc5c00";

// Forty script lines, deflated with dynamic codes by the same encoder.
std::string DynamicText() {
    std::string t;
    for (int i = 0; i < 40; ++i)
        t += "line " + std::to_string(i) + ": cp /mnt/USB0/a" + std::to_string(i % 7) + " /mnt/rwfs/b" +
             std::to_string(i % 5) + "\r\n";
    return t;
}
const char kDynamicDeflate[] =
    "8d944d0ac2301046f78277e80d9299c94febd22b88075051106a1115bcbe889d2184f29965e02de63dc8375ea773e737dde9de"
    "b9dbf472fbddd6bb83ff3d1eefcbd31dfd7a357e29aa292a299a29ae292e299e29a929292999a95053a1a4c24cc59a8a4bd7a79a"
    "4a4bd7675842afef6109bd7e8025f47af23085c527d842ef278631548004d650030a30872944d8c314120c620a190631851e0631"
    "8501065105f630882a30c120f607180651051618441538c020a610611053483088296418c4147a18c41406184415c4c320aa2004"
    "83a882300c62532430882a4880414c21366da9a4a63195dcb6a67dd39ccaf06f4f3f";

struct Entry {
    std::string name;
    u16 method;             // 0 stored, 8 deflated
    std::vector<u8> data;   // as stored in the archive
    std::vector<u8> plain;  // what it decodes to
    u32 attrs = 0;
    bool badCrc = false;
};

void Put16(std::vector<u8>& v, u16 x) {
    u8 b[2];
    PutLe16(b, x);
    v.insert(v.end(), b, b + 2);
}
void Put32(std::vector<u8>& v, u32 x) {
    u8 b[4];
    PutLe32(b, x);
    v.insert(v.end(), b, b + 4);
}

std::vector<u8> BuildZip(const std::vector<Entry>& entries) {
    std::vector<u8> zip, cd;
    for (const Entry& e : entries) {
        u32 crc = Unzip_Crc32(e.plain.data(), e.plain.size()) ^ (e.badCrc ? 1u : 0u);
        u32 offset = static_cast<u32>(zip.size());
        Put32(zip, 0x04034b50);
        Put16(zip, 20);
        Put16(zip, 0);
        Put16(zip, e.method);
        Put32(zip, 0);  // time and date
        Put32(zip, crc);
        Put32(zip, static_cast<u32>(e.data.size()));
        Put32(zip, static_cast<u32>(e.plain.size()));
        Put16(zip, static_cast<u16>(e.name.size()));
        Put16(zip, 0);
        zip.insert(zip.end(), e.name.begin(), e.name.end());
        zip.insert(zip.end(), e.data.begin(), e.data.end());

        Put32(cd, 0x02014b50);
        Put16(cd, 0x031E);
        Put16(cd, 20);
        Put16(cd, 0);
        Put16(cd, e.method);
        Put32(cd, 0);
        Put32(cd, crc);
        Put32(cd, static_cast<u32>(e.data.size()));
        Put32(cd, static_cast<u32>(e.plain.size()));
        Put16(cd, static_cast<u16>(e.name.size()));
        Put16(cd, 0);
        Put16(cd, 0);
        Put16(cd, 0);
        Put16(cd, 0);
        Put32(cd, e.attrs);
        Put32(cd, offset);
        cd.insert(cd.end(), e.name.begin(), e.name.end());
    }
    u32 cdOffset = static_cast<u32>(zip.size());
    zip.insert(zip.end(), cd.begin(), cd.end());
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<u16>(entries.size()));
    Put16(zip, static_cast<u16>(entries.size()));
    Put32(zip, static_cast<u32>(cd.size()));
    Put32(zip, cdOffset);
    Put16(zip, 0);
    return zip;
}

void WriteZip(const std::string& fw, const std::vector<u8>& zip) {
    ASSERT_TRUE(File_WriteAtomic(Root_HostPath(fw), zip.data(), zip.size()));
}

}  // namespace

TEST(Unzip, DecodesStoredFixedAndDynamicBlocks) {
    EXPECT_EQ(Unzip_Crc32(reinterpret_cast<const u8*>("123456789"), 9), 0xCBF43926u);

    std::vector<u8> out;
    std::vector<u8> fixed = Hex(kFixedDeflate);
    ASSERT_TRUE(Unzip_Inflate(fixed.data(), fixed.size(), out, 1000));
    EXPECT_EQ(std::string(out.begin(), out.end()), kFixedText);

    out.clear();
    std::vector<u8> dyn = Hex(kDynamicDeflate);
    std::string text = DynamicText();
    ASSERT_TRUE(Unzip_Inflate(dyn.data(), dyn.size(), out, 100000));
    EXPECT_EQ(std::string(out.begin(), out.end()), text);

    // The output limit holds: one byte short fails.
    out.clear();
    EXPECT_FALSE(Unzip_Inflate(dyn.data(), dyn.size(), out, text.size() - 1));

    // A stored block, then its length check.
    std::vector<u8> stored = {0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'};
    out.clear();
    ASSERT_TRUE(Unzip_Inflate(stored.data(), stored.size(), out, 10));
    EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
    stored[3] = 0;
    EXPECT_FALSE(Unzip_Inflate(stored.data(), stored.size(), out, 10));
}

TEST(Unzip, GarbageAndTruncatedStreamsFailCleanly) {
    std::vector<u8> dyn = Hex(kDynamicDeflate);
    std::vector<u8> out;
    for (size_t n = 0; n < dyn.size(); ++n) {
        out.clear();
        EXPECT_FALSE(Unzip_Inflate(dyn.data(), n, out, 100000)) << n;
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::vector<u8> junk(1 + rng() % 300);
        for (u8& b : junk) b = static_cast<u8>(rng());
        out.clear();
        Unzip_Inflate(junk.data(), junk.size(), out, 4096);
        EXPECT_LE(out.size(), 4096u);
    }
}

TEST(Unzip, CommandExtractsAnUpdateArchiveInsideItsDestination) {
    TempRoot root;
    std::string text = DynamicText();
    std::vector<Entry> entries = {
        {"path.info", 8, Hex(kDynamicDeflate), Bytes(text)},
        {"scripts/", 0, {}, {}},
        {"scripts/mount.txt", 8, Hex(kFixedDeflate), Bytes(kFixedText)},
        {"plain.txt", 0, Bytes("stored"), Bytes("stored")},
    };
    WriteZip("/mnt/USB0/update.init", BuildZip(entries));
    ASSERT_EQ(SysCmd_Run("mkdir /dev/shm/update"), 0);
    EXPECT_EQ(SysCmd_Run("unzip /mnt/USB0/update.init -d /dev/shm/update"), 0);
    EXPECT_EQ(FwGet("/dev/shm/update/path.info"), text);
    EXPECT_EQ(FwGet("/dev/shm/update/scripts/mount.txt"), kFixedText);
    EXPECT_EQ(FwGet("/dev/shm/update/plain.txt"), "stored");

    // Existing files are replaced unless -n keeps them.
    ASSERT_TRUE(File_WriteAtomic(Root_HostPath("/dev/shm/update/plain.txt"), "old", 3));
    EXPECT_EQ(SysCmd_Run("unzip -n /mnt/USB0/update.init -d /dev/shm/update"), 0);
    EXPECT_EQ(FwGet("/dev/shm/update/plain.txt"), "old");
    EXPECT_EQ(SysCmd_Run("unzip -o /mnt/USB0/update.init -d/dev/shm/update"), 0);
    EXPECT_EQ(FwGet("/dev/shm/update/plain.txt"), "stored");
}

TEST(Unzip, HostileEntriesAreSkippedAndNothingLeavesTheDestination) {
    TempRoot root;
    std::string outside = root.Dir() + "-outside";
    fs::create_directories(outside);
    fs::create_directories(Root_HostPath("/dev/shm/u"));
    fs::create_directory_symlink(outside, Root_HostPath("/dev/shm/u/link"));
    std::vector<u8> x = Bytes("x");
    std::vector<Entry> entries = {
        {"../escape", 0, x, x},
        {"a/../../escape2", 0, x, x},
        {"..\\escape3", 0, x, x},
        {"link/through", 0, x, x},
        {"symlink", 0, Bytes("/etc/passwd"), Bytes("/etc/passwd"), 0120777u << 16},
        {"badcrc", 0, x, x, 0, true},
        {"badsize", 0, x, Bytes("xy")},
        {"badmethod", 12, x, x},
        {"/abs/ok", 0, x, x},  // made relative, as the usual tool does
        {"good", 0, x, x},
    };
    WriteZip("/mnt/USB0/u.zip", BuildZip(entries));
    EXPECT_EQ(SysCmd_Run("unzip /mnt/USB0/u.zip -d /dev/shm/u"), 1);  // warnings
    EXPECT_EQ(FwGet("/dev/shm/u/good"), "x");
    EXPECT_EQ(FwGet("/dev/shm/u/abs/ok"), "x");
    for (const char* missing : {"/dev/shm/escape", "/dev/shm/escape2", "/dev/shm/u/symlink", "/dev/shm/u/badcrc",
                                "/dev/shm/u/badsize", "/dev/shm/u/badmethod"})
        EXPECT_EQ(FwGet(missing), "<missing>") << missing;
    EXPECT_TRUE(fs::is_empty(outside));
    fs::remove_all(outside);

    // Archives that are not archives.
    std::vector<u8> zip = BuildZip({{"good", 0, x, x}});
    struct {
        std::vector<u8> bytes;
        int status;
    } bad[] = {
        {{}, 3},
        {Bytes("not a zip at all, just some text that is long enough"), 3},
        {std::vector<u8>(zip.begin(), zip.end() - 5), 3},
        {std::vector<u8>(zip.begin() + 10, zip.end()), 3},
    };
    for (const auto& b : bad) {
        WriteZip("/mnt/USB0/bad.zip", b.bytes);
        EXPECT_EQ(SysCmd_Run("unzip /mnt/USB0/bad.zip -d /dev/shm/bad"), b.status);
    }
    EXPECT_EQ(SysCmd_Run("unzip /mnt/USB0/none.zip -d /dev/shm/bad"), 9);
}
