// Feeds random files on the card to the CSV readers (by row, by column, row
// count, mixed records) and random names to the path parser, the name
// expansion and the file layer, so that a hostile file or name can never make
// them store outside their destination or crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/bytes.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kDest = 64;
constexpr u8 kCanary = 0xC5;

// One root for the whole run, removed at exit.
void Setup() {
    static TempRoot root;
    static bool inserted = Fx_InsertMedium(0);
    (void)inserted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    if (size < 12) return 0;
    u8 kind = data[0] % 4;
    u32 type = data[1] % 9;
    u32 count = GetLe16(data + 2) % 200;
    u32 pos = GetLe32(data + 4);
    u8 table[24];
    std::memcpy(table, data + 8, std::min<size_t>(size - 8, sizeof table));
    const u8* content = data + 8;
    size_t contentSize = size - 8;
    {
        std::ofstream(Root_HostPath("/mnt/USB0/F.CSV"), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content), static_cast<std::streamsize>(contentSize));
    }
    u8 area[2 * kDest];
    std::memset(area, kCanary, sizeof area);
    u32 done = 0;
    CfTransferRequest rq{};
    rq.name = "A:\\F.CSV";
    rq.data = area;
    rq.type = type;
    rq.count = count;
    rq.countDone = &done;
    rq.dataBytes = kDest;
    switch (kind) {
        case 0:
            rq.position = static_cast<i32>(pos % 50);
            break;
        case 1:
            rq.position = static_cast<i32>(pos | 0x80000000u);
            rq.count = GetLe32(data + 2);
            if (rq.position == -1) rq.position = -2;
            break;
        case 2:
            rq.position = -1;
            break;
        default:
            rq.position = static_cast<i32>(pos % 20);
            rq.word8 = (kDest << 16) | kCfMixedRead;
            rq.mixedTable = table;
            rq.mixedTableBytes = sizeof table;
            rq.count = count % 24;  // the table has six entries of up to 255 values
            for (int e = 0; e < 6; ++e) table[4 * e + 3] = 0;
            break;
    }
    CF_ReadFile(0, &rq);
    for (u32 i = kDest; i < sizeof area; ++i)
        if (area[i] != kCanary) std::abort();

    // The same bytes as a name.
    std::string name(reinterpret_cast<const char*>(data), std::min<size_t>(size, 700));
    name = name.c_str();
    char dir[512], base[256], ext[15], out[512];
    CF_PathParse(dir, base, ext, name.c_str());
    ConvertMeta(name.c_str(), out, sizeof out);
    _fxe_directory_name_test(&Cf_Media, name.c_str());
    u32 attr;
    _fxe_file_attributes_read(&Cf_Media, name.c_str(), &attr);
    return 0;
}
