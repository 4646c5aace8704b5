#include "storage/boardid.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "platform/system.h"

u8 BoardID = 0;

namespace {

constexpr const char* kIdentityPath = "/mnt/cfg/TINYIMGE.BIN";
constexpr size_t kMacIdsMaxBytes = 64 * 1024;  // the range file is a few lines

// ---------------------------------------------------------------------------
// Sign-on rows: the controller model (SR37) with the base I/O board found in
// slot 0; the second block names the controller without a known board.

struct Row {
    u16 identity;
    const char* model;
};
constexpr Row kBoards[kOemEntries] = {
    {0x0100, "567-B12"}, {0xA60F, "567-B1A"}, {0xA00F, "567-B32"}, {0xA40F, "567-B3C"},
    {0xA20F, "567-BTC"}, {0x7F0E, "567-445"}, {0x3F0E, "567-168"}, {0xDF0E, "567-322"},
    {0x1F0E, "567-214"}, {0x5F0E, "567-D14"}, {0x9F0E, "567-884"},
};
constexpr Row kNoBoard[] = {{0x00FF, "567"}};

constexpr OemEntry Entry(u16 identity, const char* brand, const char* model) {
    OemEntry e{};
    e.identity = identity;
    u32 n = 0;
    for (const char* p = brand; *p && n < kOemNameChars; ++p) e.name[n++] = *p;
    e.modelStart = static_cast<u8>(n);
    u32 m = 0;
    for (const char* p = model; *p && n < kOemNameChars && m < kModelTextMax; ++p, ++m) e.name[n++] = *p;
    e.modelLength = static_cast<u8>(m);
    return e;
}

constexpr OemBlock Block(u16 modelCode, const char* brand, const Row* rows, u32 count) {
    OemBlock b{};
    b.modelCode = modelCode;
    for (u32 i = 0; i < count && i < kOemEntries; ++i) b.entries[i] = Entry(rows[i].identity, brand, rows[i].model);
    return b;
}

constexpr const char* kBrands[kOemSelections] = {"Panel PLC ", "Panel CTL ", "Ctrl Panel ", "Logic Panel ",
                                                 "Panel PLC X"};

constexpr OemBlock SelectionBlock(int selection, int block) {
    return block == 0 ? Block(kModelCode, kBrands[selection], kBoards, kOemEntries)
                      : Block(kModelCode, kBrands[selection], kNoBoard, 1);
}

}  // namespace

const OemBlock OemInfo[kOemSelections][kOemBlocks] = {
    {SelectionBlock(0, 0), SelectionBlock(0, 1)}, {SelectionBlock(1, 0), SelectionBlock(1, 1)},
    {SelectionBlock(2, 0), SelectionBlock(2, 1)}, {SelectionBlock(3, 0), SelectionBlock(3, 1)},
    {SelectionBlock(4, 0), SelectionBlock(4, 1)},
};

namespace {

// The entry of the sign-on table for the selection byte, model and identity.
const OemEntry* FindEntry(u16 modelCode, u16 identity) {
    int selection = OemSelection == 128 ? 4 : OemSelection;
    if (selection > 4) return nullptr;
    for (const OemBlock& b : OemInfo[selection]) {
        if (b.modelCode != modelCode) continue;
        for (const OemEntry& e : b.entries)
            if (e.name[0] != 0 && e.identity == identity) return &e;
    }
    return nullptr;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 6 hex pairs separated by single characters, any prefix.
bool ParseMac(const char* text, u8* mac6) {
    u8 out[6];
    for (int i = 0; i < 6; ++i) {
        // Each character is looked at only after the one before it was not
        // the end of the text.
        int hi = HexValue(text[3 * i]);
        if (hi < 0) return false;
        int lo = HexValue(text[3 * i + 1]);
        if (lo < 0) return false;
        out[i] = static_cast<u8>(hi * 16 + lo);
        if (i < 5 && text[3 * i + 2] == 0) return false;
    }
    std::memcpy(mac6, out, 6);
    return true;
}

u32 LastFour(const u8* mac6) { return GetBe32(mac6 + 2); }

bool InsideRoot(const std::string& host) {
    std::error_code ec;
    std::string p = std::filesystem::weakly_canonical(host, ec).string();
    std::string r = std::filesystem::weakly_canonical(Root_Dir(), ec).string();
    return !ec && p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

bool WriteIdentity(const u8* image) {
    return File_WriteAtomic(Root_HostPath(kIdentityPath), image, kTinyImageBytes);
}

}  // namespace

bool Mac_IsMakers(const u8* mac6) { return std::memcmp(mac6, kMakerMacPrefix, 3) == 0; }

void convert_BYTE_ASCIIHEX(char* out2, u8 byte) {
    static const char kHex[] = "0123456789ABCDEF";
    out2[0] = kHex[byte >> 4];
    out2[1] = kHex[byte & 0xF];
}

int convert_MACSTR_MACINT(const char* text, u8* mac6) {
    if (text == nullptr || mac6 == nullptr) return 0;
    u8 mac[6];
    if (!ParseMac(text, mac) || !Mac_IsMakers(mac)) return 0;
    std::memcpy(mac6, mac, 6);
    return 1;
}

int SaveMACID(u8* image, int index) {
    if (image == nullptr || (index != 0 && index != 1)) return kMacInvalid;
    const std::string path = Root_HostPath(kMacIdsPath);
    std::vector<u8> file;
    if (!InsideRoot(path) || !File_ReadAll(path, file, kMacIdsMaxBytes)) return kMacNoFile;
    // Both address texts must lie within what was read.
    if (file.size() < kMacIdsLastOffset + kMacTextChars) return kMacInvalid;
    char text[kMacIdsReadBytes + 1] = {};
    std::memcpy(text, file.data(), std::min<size_t>(file.size(), kMacIdsReadBytes));
    u8 next[6], last[6];
    if (!convert_MACSTR_MACINT(text + kMacIdsNextOffset, next) ||
        !convert_MACSTR_MACINT(text + kMacIdsLastOffset, last))
        return kMacInvalid;

    u8* mac = image + (index == 0 ? kTinyMac0 : kTinyMac1);
    u8* macText = image + (index == 0 ? kTinyMacText0 : kTinyMacText1);
    int result = kMacExhausted;
    // The increment carries only through the last three bytes: an address
    // ending in FF:FF:FF has no successor, so the range ends before it.
    const bool lastOfPrefix = next[3] == 0xFF && next[4] == 0xFF && next[5] == 0xFF;
    if (LastFour(next) <= LastFour(last) && !lastOfPrefix && !Mac_IsMakers(mac)) {
        u8 assigned[6];
        std::memcpy(assigned, next, 6);
        for (int i = 5; i >= 3; --i)
            if (++next[i] != 0) break;
        std::vector<u8> updated = file;
        for (int i = 2; i < 6; ++i) {
            char pair[2];
            convert_BYTE_ASCIIHEX(pair, next[i]);
            updated[kMacIdsNextOffset + 3 * i] = static_cast<u8>(pair[0]);
            updated[kMacIdsNextOffset + 3 * i + 1] = static_cast<u8>(pair[1]);
        }
        if (!File_WriteAtomic(path, updated.data(), updated.size())) return kMacWriteFailed;
        std::vector<u8> check;
        if (!File_ReadAll(path, check, kMacIdsMaxBytes) || check != updated) return kMacWriteFailed;
        // The address is the range's only once the file no longer offers it.
        std::memcpy(mac, assigned, 6);
        for (int i = 0; i < 6; ++i) {
            convert_BYTE_ASCIIHEX(reinterpret_cast<char*>(macText + 3 * i), assigned[i]);
            if (i < 5) macText[3 * i + 2] = ':';
        }
        result = kMacDone;
    }
    if (Mac_IsMakers(mac) && !WriteIdentity(image)) return kMacWriteFailed;
    return result;
}

int SaveAndSetMACID() {
    if (!Mac_IsMakers(tinyImage + kTinyMac0) || !WriteIdentity(tinyImage)) {
        // What stays in memory is what is stored, so an upload shows it.
        std::vector<u8> stored;
        std::memset(tinyImage, 0, kTinyImageBytes);
        if (File_ReadAll(Root_HostPath(kIdentityPath), stored, 1u << 20))
            std::memcpy(tinyImage, stored.data(), std::min<size_t>(stored.size(), kTinyImageBytes));
        tinyImage[4] = 24;
        tinyImage[5] = 24;
        return 1;
    }
    Etn_SetMacId(tinyImage + kTinyMac0, 0);
    SR_PutDword(35, GetBe32(&tinyImage[kTinyMac0 + 2]));
    if (BoardID == 0) Etn_SetMacId(tinyImage + kTinyMac1, 1);
    return 0;
}

int Oem_GetSignon(char* destination, u16 modelCode, u16 identity) {
    if (destination == nullptr) return 0;
    const OemEntry* e = FindEntry(modelCode, identity);
    if (e == nullptr) {
        std::strcpy(destination, kUnknownSignon);
        return static_cast<int>(std::strlen(kUnknownSignon));
    }
    size_t n = strnlen(e->name, kOemNameChars);
    std::memcpy(destination, e->name, n);
    destination[n] = 0;
    return static_cast<int>(n);
}

int Oem_GetModel(char* destination, u16 modelCode, u16 identity) {
    if (destination == nullptr) return 0;
    std::memset(destination, 0, kModelTextMax);
    const OemEntry* e = FindEntry(modelCode, identity);
    if (e == nullptr || e->modelStart >= kOemNameChars) return 0;
    u32 n = std::min<u32>({e->modelLength, kModelTextMax, static_cast<u32>(kOemNameChars - e->modelStart)});
    std::memcpy(destination, e->name + e->modelStart, n);
    return static_cast<int>(n);
}
