#include "iec/blocks/q4TextTable.h"

#include <cstring>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"

namespace {

constexpr u32 kHeaderBytes = 4, kEntryBytes = 8;
constexpr u16 kEnd = 0xFFFF;

struct TextTables {
    const u8* tables = nullptr;
    u32 tableBytes = 0;
    const u8* strings = nullptr;
    u32 stringBytes = 0;
    u32 found = 0;  // offset of the header found by the last call
};
TextTables g;

bool HeaderAt(u32 at) { return g.tables && at <= g.tableBytes && g.tableBytes - at >= kHeaderBytes; }
u16 Number(u32 at) { return GetLe16(g.tables + at); }
u32 Entries(u32 at) { return GetLe16(g.tables + at + 2); }
u32 Next(u32 at) { return at + kHeaderBytes + Entries(at) * kEntryBytes; }

}  // namespace

void Q4TextTable_Set(const u8* tables, u32 tableBytes, const u8* strings, u32 stringBytes) {
    g = TextTables{tables, tableBytes, strings, stringBytes, 0};
}

// Operands: table number (INT, from 1), value (INT); out text (STRING).
int Q4Ctl_TextTable(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const i32 table = Q4Ctl_Int(db, ops[0]);
        if (table <= 0 || !g.tables || !g.strings) return;
        u32 at = HeaderAt(g.found) && Number(g.found) != kEnd && Number(g.found) < table ? g.found : 0;
        while (HeaderAt(at) && Number(at) != kEnd && Number(at) + 1 != table) at = Next(at);
        if (!HeaderAt(at)) return;
        g.found = at;
        const u32 n = Entries(at);
        if (Number(at) == kEnd || n == 0 || u64{at} + kHeaderBytes + u64{n} * kEntryBytes > g.tableBytes) return;
        const u32 value = static_cast<u32>(static_cast<i32>(Q4Ctl_Int(db, ops[1])));
        const u8* e = g.tables + at + kHeaderBytes;
        u32 k = 0;
        while (k + 1 < n && GetLe32(e + k * kEntryBytes) < value) ++k;
        const u32 text = GetLe32(e + k * kEntryBytes + 4);
        if (text >= g.stringBytes) return;
        u8* out = Q4Tools_String(db, ops[2]);
        if (!out) return;
        const char* s = reinterpret_cast<const char*>(g.strings + text);
        u32 len = static_cast<u32>(strnlen(s, g.stringBytes - text));
        if (len > out[0]) len = out[0];
        std::memcpy(out + 2, s, len);
        out[1] = static_cast<u8>(len);
        out[2 + len] = 0;
    });
}
