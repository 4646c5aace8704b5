// Feeds hostile data-log tables to the table parser and to the logger's
// start and sampling: whatever the counts, offsets, lengths and types say,
// nothing is read outside the table, every accepted group holds at least
// one row, and sampling stays inside the row buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/bytes.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "storage/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // The input is the table; its first byte says whether the length and the
    // magic are taken as they are or made right (so that the fuzzer reaches
    // the groups).
    std::vector<u8> table(data, data + size);
    if (table.size() >= 8 && (table[0] & 1)) {
        PutLe32(table.data(), static_cast<u32>(table.size()));
        std::memcpy(table.data() + 4, "DLOG", 4);
    }
    // Small group and item counts now and then, so that whole groups with
    // hostile offsets and types are parsed too.
    if (table.size() >= 68 && (table[0] & 2)) {
        u8* g = table.data() + 24;
        PutLe16(table.data() + 22, static_cast<u16>(table[22] % 3));
        PutLe16(g, g[0] % 8u);
        PutLe32(g + 4, g[4] % 8u);
        PutLe16(g + 24, g[24] % 8u);
        PutLe16(g + 28, g[28] % 8u);
        u32 items = g[40] % 4u;
        PutLe32(g + 40, items);
        for (u32 i = 0; i < items && 24 + 44 + 16 * (i + 1) <= table.size(); ++i) {
            u8* it = g + 44 + 16 * i;
            PutLe32(it + 4, it[4] % 11u);
            PutLe32(it + 8, it[8] % 8u);
            PutLe32(it + 12, it[12] % 20u);
        }
    }
    // The parser reads exactly the bytes it is given.
    std::vector<u8> exact(table);
    LogTable parsed;
    int res = LOG_ParseTable(exact.data(), static_cast<u32>(exact.size()), &parsed);
    if (res != 0 && res != -1 && res != kLogTableRefused) std::abort();
    if (res == 0) {
        if (parsed.groups.size() > kLogMaxGroups) std::abort();
        for (const LogGroup& g : parsed.groups) {
            if (g.folder.size() + 12 > kLogPathBuffer) std::abort();
            for (const LogItem& it : g.items)
                if (it.type > 9 || it.name.size() > 16) std::abort();
        }
    }
    if (table.size() > datalog_table.capacity) return 0;
    // Start and sample as the scan does (the writer only posts: nobody
    // serves the mailbox here).
    LOG_Reset();
    if (!table.empty()) std::memcpy(datalog_table.Data(), table.data(), table.size());
    datalog_table.SetHeader(crc16(table.data(), static_cast<u32>(table.size())), static_cast<u32>(table.size()));
    LOG_Start();
    if (res == 0) {
        for (u32 g = 0; g < parsed.groups.size(); ++g)
            if (LOG_GroupCapacity(g) == 0) std::abort();
    }
    std::memset(plc_reg, 0xFF, 4096);  // every enable and trigger bit set
    for (int i = 0; i < 4; ++i) {
        SR_Put(44, static_cast<u16>(i * 17));
        SR_Put(50, static_cast<u16>(i));
        LOG_Update();
    }
    std::memset(plc_reg, 0, 4096);
    LOG_Update();
    LOG_Reset();
    return 0;
}
