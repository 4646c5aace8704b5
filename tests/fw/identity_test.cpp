// Board identity: address texts, assignment from the range file, the
// identity download, and the sign-on and model texts.
#include <cstring>
#include <vector>

#include "fw_fixture.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "storage/boardid.h"

namespace {

std::vector<u8> Identity() {
    std::vector<u8> b;
    if (!File_ReadAll(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"), b, 4096)) b.clear();
    return b;
}

std::string Text(const u8* image, u32 offset) { return std::string(reinterpret_cast<const char*>(image + offset), 17); }

TEST(MacText, ParsesOnlyMakerAddressesOfSixPairs) {
    struct Case {
        const char* text;
        int ok;
        u8 last;
    } cases[] = {
        {"02:50:4C:00:01:FE", 1, 0xFE},
        {"02-50-4c-aa-bb-cc", 1, 0xCC},  // any single separator, either case
        {"00:50:4C:00:01:FE", 0, 0},     // another prefix
        {"02:50:4C:00:01:G0", 0, 0},     // not hex
        {"02:50:4C:00:01", 0, 0},        // five pairs, then the end
        {"02:50:4C:00:0", 0, 0},
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        u8 mac[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(convert_MACSTR_MACINT(c.text, mac), c.ok) << c.text;
        EXPECT_EQ(mac[5], c.ok ? c.last : 9) << c.text;  // untouched when refused
    }
    char hex[2];
    convert_BYTE_ASCIIHEX(hex, 0x0A);
    EXPECT_EQ(std::string(hex, 2), "0A");
    convert_BYTE_ASCIIHEX(hex, 0xF5);
    EXPECT_EQ(std::string(hex, 2), "F5");
}

class MacAssign : public FwTest {
protected:
    void SetUp() override {
        FwTest::SetUp();
        std::memset(image, 0, sizeof image);
    }
    u8 image[kTinyImageBytes];
};

TEST_F(MacAssign, AssignsTheNextAddressCarriesAndAdvancesTheFile) {
    FwPut("/mnt/USB/MACIDS.TXT", FwMacIds("02:50:4C:00:FF:FF", "02:50:4C:01:00:10") + "batch 7 of the range\r\n");
    EXPECT_EQ(SaveMACID(image, 0), kMacDone);
    EXPECT_EQ(Text(image, kTinyMacText0), "02:50:4C:00:FF:FF");
    EXPECT_EQ(std::vector<u8>(image + 8, image + 14), (std::vector<u8>{0x02, 0x50, 0x4C, 0x00, 0xFF, 0xFF}));
    // The carry runs from byte 5 to byte 3; the rest of the file is kept.
    EXPECT_EQ(FwGet("/mnt/USB/MACIDS.TXT"),
              FwMacIds("02:50:4C:01:00:00", "02:50:4C:01:00:10") + "batch 7 of the range\r\n");
    EXPECT_EQ(SaveMACID(image, 1), kMacDone);
    EXPECT_EQ(Text(image, kTinyMacText1), "02:50:4C:01:00:00");
    std::vector<u8> stored = Identity();
    ASSERT_EQ(stored.size(), kTinyImageBytes);
    EXPECT_EQ(0, std::memcmp(stored.data(), image, kTinyImageBytes));
    EXPECT_FALSE(FwExists("/mnt/USB/MACIDS.TXT.new"));
}

TEST_F(MacAssign, RefusalsChangeNothing) {
    struct Case {
        const char* name;
        std::string file;  // "" = no file
        int result;
    } cases[] = {
        {"next above last", FwMacIds("02:50:4C:00:00:11", "02:50:4C:00:00:10"), kMacExhausted},
        // Nothing follows FF:FF:FF in the carried bytes: the range ends there.
        {"end of the prefix", FwMacIds("02:50:4C:FF:FF:FF", "02:50:4C:FF:FF:FF"), kMacExhausted},
        {"invalid next", FwMacIds("02:50:4C:00:0Z:11", "02:50:4C:00:00:10"), kMacInvalid},
        {"other prefix", FwMacIds("00:11:22:00:00:01", "00:11:22:00:00:10"), kMacInvalid},
        {"shorter than both texts", "02:50:4C:00:00:01\r\n02:50:4C:00", kMacInvalid},
        {"empty", std::string("\0", 1), kMacInvalid},
        {"missing", "", kMacNoFile},
    };
    for (const Case& c : cases) {
        std::remove(Root_HostPath("/mnt/USB/MACIDS.TXT").c_str());
        if (!c.file.empty()) FwPut("/mnt/USB/MACIDS.TXT", c.file);
        u8 before[kTinyImageBytes];
        std::memcpy(before, image, sizeof before);
        EXPECT_EQ(SaveMACID(image, 0), c.result) << c.name;
        EXPECT_EQ(0, std::memcmp(before, image, sizeof before)) << c.name;
        EXPECT_EQ(FwGet("/mnt/USB/MACIDS.TXT"), c.file.empty() ? "<missing>" : c.file) << c.name;
        EXPECT_TRUE(Identity().empty()) << c.name;
    }
}

TEST_F(MacAssign, TheLastAddressOfTheRangeIsAssignedOnce) {
    FwPut("/mnt/USB/MACIDS.TXT", FwMacIds("02:50:4C:00:00:10", "02:50:4C:00:00:10"));
    EXPECT_EQ(SaveMACID(image, 0), kMacDone);
    EXPECT_EQ(SaveMACID(image, 1), kMacExhausted);
    EXPECT_EQ(FwGet("/mnt/USB/MACIDS.TXT"), FwMacIds("02:50:4C:00:00:11", "02:50:4C:00:00:10"));
}

TEST_F(MacAssign, AnImageWithAnAddressKeepsItAndIsStoredAgain) {
    const u8 mine[6] = {0x02, 0x50, 0x4C, 0x12, 0x34, 0x56};
    std::memcpy(image + kTinyMac0, mine, 6);
    FwPut("/mnt/USB/MACIDS.TXT", FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:10"));
    EXPECT_EQ(SaveMACID(image, 0), kMacExhausted);
    EXPECT_EQ(0, std::memcmp(image + kTinyMac0, mine, 6));
    EXPECT_EQ(FwGet("/mnt/USB/MACIDS.TXT"), FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:10"));
    ASSERT_EQ(Identity().size(), kTinyImageBytes);
}

TEST_F(MacAssign, ARangeFileThatCannotBeReplacedGives3AndKeepsTheAddressFree) {
    const std::string text = FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:10");
    FwPut("/mnt/USB/MACIDS.TXT", text);
    std::filesystem::create_directories(Root_HostPath("/mnt/USB/MACIDS.TXT.new"));  // blocks the new file
    EXPECT_EQ(SaveMACID(image, 0), kMacWriteFailed);
    EXPECT_EQ(FwGet("/mnt/USB/MACIDS.TXT"), text);
    EXPECT_FALSE(Mac_IsMakers(image + kTinyMac0));
}

class IdentityDownload : public FwTest {};

TEST_F(IdentityDownload, AMakerImageIsStoredAndApplied) {
    const u8 eth0[6] = {0x02, 0x50, 0x4C, 0x0A, 0x0B, 0x0C}, eth1[6] = {0x02, 0x50, 0x4C, 0x0A, 0x0B, 0x0D};
    std::memcpy(tinyImage + kTinyMac0, eth0, 6);
    std::memcpy(tinyImage + kTinyMac1, eth1, 6);
    EXPECT_EQ(SaveAndSetMACID(), 0);
    std::vector<u8> stored = Identity();
    ASSERT_EQ(stored.size(), kTinyImageBytes);
    EXPECT_EQ(0, std::memcmp(stored.data(), tinyImage, kTinyImageBytes));
    EXPECT_EQ(SR_GetDword(35), 0x4C0A0B0Cu);
    // In the host's namespace the addresses are only recorded.
    std::string log = FwGet("/sys/netif.log");
    EXPECT_NE(log.find("eth0 hwaddr 02:50:4C:0A:0B:0C"), std::string::npos) << log;
    EXPECT_NE(log.find("eth1 hwaddr 02:50:4C:0A:0B:0D"), std::string::npos) << log;
}

TEST_F(IdentityDownload, AForeignImageIsRefusedAndTheStoredOneStays) {
    std::vector<u8> old(kTinyImageBytes, 0);
    const u8 eth0[6] = {0x02, 0x50, 0x4C, 1, 2, 3};
    std::memcpy(old.data() + kTinyMac0, eth0, 6);
    File_WriteAtomic(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"), old.data(), old.size());
    std::memset(tinyImage, 0x11, kTinyImageBytes);  // downloaded, prefix 11:11:11
    EXPECT_EQ(SaveAndSetMACID(), 1);
    EXPECT_EQ(Identity(), old);
    EXPECT_EQ(0, std::memcmp(tinyImage + kTinyMac0, eth0, 6));
    EXPECT_EQ(SR_GetDword(35), 0u);
    EXPECT_EQ(FwGet("/sys/netif.log"), "<missing>");
}

class SignOn : public ::testing::Test {
protected:
    void TearDown() override { OemSelection = 0; }
};

TEST_F(SignOn, SelectionModelAndIdentityPickTheText) {
    struct Case {
        u8 selection;
        u16 model, identity;
        const char* signon;
        const char* modelText;
    } cases[] = {
        {0, kModelCode, 0x0100, "Panel PLC 567-B12", "567-B12"},
        {1, kModelCode, 0x9F0E, "Panel CTL 567-884", "567-884"},
        {128, kModelCode, 0xA00F, "Panel PLC X567-B32", "567-B32"},  // 128 is selection 4
        {0, kModelCode, 0x00FF, "Panel PLC 567", "567"},             // found in the second block
        {7, kModelCode, 0x0100, "*Unknown*", ""},
        {5, kModelCode, 0x0100, "*Unknown*", ""},
        {0, 568, 0x0100, "*Unknown*", ""},
        {0, kModelCode, 0x1234, "*Unknown*", ""},
    };
    for (const Case& c : cases) {
        OemSelection = c.selection;
        char text[32];
        std::memset(text, 'z', sizeof text);
        EXPECT_EQ(Oem_GetSignon(text, c.model, c.identity), static_cast<int>(std::strlen(c.signon)));
        EXPECT_STREQ(text, c.signon);
        char model[kModelTextMax + 1];
        std::memset(model, 'z', sizeof model);
        EXPECT_EQ(Oem_GetModel(model, c.model, c.identity), static_cast<int>(std::strlen(c.modelText)));
        EXPECT_EQ(std::string(model, std::strlen(c.modelText)), c.modelText);
        for (size_t i = std::strlen(c.modelText); i < kModelTextMax; ++i) EXPECT_EQ(model[i], 0) << c.signon;
        EXPECT_EQ(model[kModelTextMax], 'z');  // never past the 10 bytes
    }
}

}  // namespace
