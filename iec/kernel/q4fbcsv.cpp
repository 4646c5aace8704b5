#include "iec/kernel/q4fbcsv.h"

#include <bit>
#include <cstdio>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"
#include "storage/cf_api.h"

namespace {

constexpr u32 kListHeader = 8, kEntryBytes = 8;

// The value of one entry, or none when it lies outside its table or the CT
// segment.
const u8* Locate(u8* db, u16 type, u16 index, u32 ctOffset) {
    if (!ctOffset) return Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
    u32 bytes = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    if (!ct || ctOffset >= bytes) return nullptr;
    u32 need = Q4Type_Class(type) == kQ4ClassString ? 3u + ct[ctOffset] : Q4Type_Size(type);
    if (need == 0 || need > bytes - ctOffset) return nullptr;
    return ct + ctOffset;
}

// Appends the text of the value; false for a type that cannot be written.
bool Text(u8* db, u16 type, const u8* p, std::string* out) {
    char b[48];
    const u8* st = Q4VM_Status(db);
    char mark = st ? static_cast<char>(st[kQ4StSeparators + 1]) : '.';
    switch (type) {
        case kQ4TypeBool: *out += *p ? '1' : '0'; return true;
        case kQ4TypeSint: std::snprintf(b, sizeof b, "%d", static_cast<int>(static_cast<i8>(*p))); break;
        case kQ4TypeUsint: std::snprintf(b, sizeof b, "%u", static_cast<unsigned>(*p)); break;
        case kQ4TypeInt: std::snprintf(b, sizeof b, "%d", static_cast<int>(static_cast<i16>(GetLe16(p)))); break;
        case kQ4TypeUint: std::snprintf(b, sizeof b, "%u", static_cast<unsigned>(GetLe16(p))); break;
        case kQ4TypeDint: std::snprintf(b, sizeof b, "%d", static_cast<int>(static_cast<i32>(GetLe32(p)))); break;
        case kQ4TypeUdint:
        case kQ4TypeTime: Q4Str_UtoSZ(b, GetLe32(p)); break;
        case kQ4TypeLint: Q4Str_LINTtoSZ(b, static_cast<i64>(GetLe64(p))); break;
        case kQ4TypeUlint: Q4Str_ULINTtoSZ(b, GetLe64(p)); break;
        case kQ4TypeReal:
        case kQ4TypeLreal: {
            double v = type == kQ4TypeReal ? static_cast<double>(std::bit_cast<float>(GetLe32(p)))
                                           : std::bit_cast<double>(GetLe64(p));
            std::snprintf(b, sizeof b, "%g", v);
            for (char* c = b; *c; ++c)
                if (*c == '.') *c = mark;
            break;
        }
        case kQ4TypeString: {
            // A quote inside the text is doubled, so that the field reads
            // back whole.
            const char* t = Q4Str_GetText(p);
            for (u8 k = 0; k < Q4Str_GetLength(p); ++k) {
                if (t[k] == '"') *out += '"';
                *out += t[k];
            }
            return true;
        }
        default: return false;
    }
    *out += b;
    return true;
}

}  // namespace

int Q4Csv_Line(u8* db, i32 list, std::string* line) {
    const Q4Code& c = Q4VM_CodeOf(db);
    line->clear();
    u32 table = Q4VMCode_GetVLsts(c);
    if (!table || !Q4Code_InRange(c, table, 4)) return 3;
    u32 count = Q4Code_U16(c, table + 2);
    if (count == 0) return 3;
    if (list < 0 || static_cast<u32>(list) >= count) return 4;
    u32 at = Q4Code_InRange(c, table + 4 + 4u * static_cast<u32>(list), 4) ? Q4Code_U32(c, table + 4 + 4u * list) : 0;
    if (!at || !Q4Code_InRange(c, at, kListHeader)) return 5;
    u32 vars = Q4Code_U16(c, at);
    const u8* st = Q4VM_Status(db);
    char sep = st ? static_cast<char>(st[kQ4StSeparators]) : ';';
    for (u32 k = 0; k < vars; ++k) {
        u32 e = at + kListHeader + k * kEntryBytes;
        if (!Q4Code_InRange(c, e, kEntryBytes)) return 5;
        u16 type = Q4Code_U16(c, e), index = Q4Code_U16(c, e + 2);
        const u8* p = Locate(db, type, index, Q4Code_U32(c, e + 4));
        if (!p) return 5;
        std::string text;
        if (!Text(db, type, p, &text)) return 5;
        if (k) *line += sep;
        *line += '"';
        *line += text;
        *line += '"';
    }
    return 0;
}

namespace {

// Opens the file for appending, creating it when missing.
bool OpenAppend(FxFile* f, const char* path) {
    i16 st = CF_Open(f, path, 1);
    if (st == kCfNotFound) st = CF_Open(f, path, 2);
    return st == kCfOk;
}

}  // namespace

// LOG, RST, LIST, PATH -> Q, ERR. Instance: previous LOG, previous RST.
int Q4Stfb_LogFileCsv(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({35, 2, false}, command, inst, ops, 6, [&] {
        bool log = Q4Fb_Edge(inst, 0, Q4Fb_Bool(db, ops[0])), rst = Q4Fb_Edge(inst, 1, Q4Fb_Bool(db, ops[1]));
        const u8* ps = Q4Tools_String(db, ops[3]);
        std::string path = ps ? std::string(Q4Str_GetText(ps), Q4Str_GetLength(ps)) : std::string();
        bool q = false;
        i32 err = 0;
        FxFile file{};
        if (rst) {
            if (!path.empty() && CF_Open(&file, path.c_str(), 2) == kCfOk) {
                q = CF_Close(&file) == kCfOk;
                if (!q) err = 1;
            } else {
                err = 1;
            }
        } else if (log) {
            if (path.empty() || !OpenAppend(&file, path.c_str())) {
                err = 2;
            } else {
                std::string line;
                err = Q4Csv_Line(db, Q4Fb_Dint(db, ops[2]), &line);
                if (err == 0 || err == 5) {
                    if (err == 0) line += '\n';
                    u32 written = 0;
                    bool ok = line.empty() || (CF_Write(&file, line.data(), static_cast<u32>(line.size()), &written) == kCfOk &&
                                               written == line.size());
                    if (!ok) err = 5;
                }
                if (CF_Close(&file) != kCfOk && err == 0) err = 5;
                q = err == 0;
            }
        }
        Q4Fb_PutBool(db, ops[4], q);
        Q4Fb_PutDint(db, ops[5], err);
    });
}
