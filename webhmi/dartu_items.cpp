#include "webhmi/dartu_items.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "darTUsdk/dartusdk/dartu_result.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "ladder/ladder_engine.h"
#include "webhmi/dartu_symbols.h"

const char* const RegTypeNames[kDartuRegTypes] = {"IG", "QG", "S", "K", "AIG", "AQG", "SR", "F", "I",
                                                   "Q",  "T",  "M", "AI", "AQ", "R", "ET", "EM", "ESR"};
const char* const RegDataTypeName[kDartuDataTypes] = {"INT32", "INT16", "INT8",  "UINT32", "UINT16", "UINT8",
                                                       "FLOAT32", "LREAL64", "CHAR", "BOOL", "TIME"};
const u8 RegDataLength[8] = {32, 16, 8, 32, 16, 8, 32, 64};

namespace {

struct RegType {
    u32 scale;  // bits per offset
    u32 last;   // highest offset
    u32 base;
};
constexpr RegType kRegTypes[kDartuRegTypes] = {
    {1, 256, 0x400},        {1, 256, 0x500},    {1, 256, 0x600},    {1, 256, 0x700},   {16, 32, 0x800},
    {16, 32, 0xA00},        {16, 448, 0xC00},   {16, 128, 0x1800},  {1, 2048, 0x2000}, {1, 2048, 0x2800},
    {1, 2048, 0x3000},      {1, 2048, 0x3800},  {16, 512, 0x4000},  {16, 512, 0x6000}, {16, 50240, 0x8000},
    {1, 16384, 0x10008000}, {1, 16384, 0x1001C000}, {16, 256, 0x10030000},
};
constexpr u32 kTypeSR = 6, kTypeT = 10, kTypeM = 11, kTypeAI = 12, kTypeAQ = 13, kTypeR = 14;
constexpr u32 kEsrBase = 0x10030000;
constexpr u32 kPairs = kDartuVariableRecords;

struct Pair {
    char* name;
    dartu_variable* record;
};

struct Tables {
    u32 used;
    u32 search;
    dartu_variable records[kDartuVariableRecords];
    u32 pairCount;
    Pair pairs[kPairs];
    u32 cursor;
};
Tables g;

bool Digits(const char* s) {
    if (!s || !*s) return false;
    for (; *s; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    return true;
}

int Index(const char* const* table, u32 n, const char* name) {
    for (u32 i = 0; i < n; ++i)
        if (std::strcmp(table[i], name) == 0) return static_cast<int>(i);
    return -1;
}

u32 BitsOf(const dartu_variable* r) { return r->data_type == kDtChar ? r->length * 8 : r->length; }

int ParseRegister(char* text, dartu_variable* r) {
    char* parts[5] = {};
    int n = 0;
    char* save = nullptr;
    for (char* t = strtok_r(text, "_", &save); t && n < 5; t = strtok_r(nullptr, "_", &save)) parts[n++] = t;
    if (n < 4) return 0;
    int type = Index(RegTypeNames, kDartuRegTypes, parts[0]);
    if (type < 0) return 0;
    if (RegTokLen_16b == 0 && type == static_cast<int>(kTypeT)) type = 15;
    if (RegTokLen_16b == 0 && type == static_cast<int>(kTypeM)) type = 16;
    if (!Digits(parts[1]) || !Digits(parts[2]) || std::strlen(parts[1]) > 6 || std::strlen(parts[2]) > 6) return 0;
    const u32 offset = static_cast<u32>(std::strtoul(parts[1], nullptr, 10));
    const u32 bit = static_cast<u32>(std::strtoul(parts[2], nullptr, 10));
    int dt = Index(RegDataTypeName, kDartuDataTypes, parts[3]);
    if (dt < 0) return 0;
    u32 length;
    if (dt == kDtChar) {
        if (!Digits(parts[4]) || std::strlen(parts[4]) > 4) return 0;
        length = static_cast<u32>(std::strtoul(parts[4], nullptr, 10));
        if (length == 0 || length > kDartuCharMax) return 0;
    } else {
        length = dt < 8 ? RegDataLength[dt] : dt == kDtBool ? 1 : 48;
    }
    u32 address = 0;
    if (!EtnRdsPlcReg_Adr(&address, static_cast<u32>(type), offset, 1)) return 0;
    const bool word = type == static_cast<int>(kTypeSR) || type == static_cast<int>(kTypeAI) ||
                      type == static_cast<int>(kTypeAQ) || type == static_cast<int>(kTypeR);
    const bool integral = dt <= kDtUint8 || dt == kDtBool;
    if (bit != 0 && word && integral) address += bit - 1;
    r->offset = static_cast<int>(offset);
    r->address = address;
    r->reg_type = static_cast<u8>(type);
    r->bit = static_cast<u8>(bit > 255 ? 255 : bit);
    r->data_type = static_cast<u8>(dt);
    r->length = length;
    return 1;
}

int ParseIec(char* text, dartu_variable* r) {
    long size = -1, bit = -1;
    char* at = std::strrchr(text, '@');
    if (at && std::isdigit(static_cast<unsigned char>(at[1]))) {
        size = std::strtol(at + 1, nullptr, 10);
        *at = 0;
    }
    char* dot = std::strrchr(text, '.');
    if (dot && std::isdigit(static_cast<unsigned char>(dot[1]))) {
        bit = std::strtol(dot + 1, nullptr, 10);
        *dot = 0;
    }
    DartuSymbol sym{};
    if (!DartuSym_Lookup(pDB, text, &sym)) return 0;
    u8 dt;
    u32 cls, index;
    switch (sym.iecType) {
        case kQ4TypeBool: dt = kDtBool, cls = 6, index = sym.offset; break;
        case kQ4TypeSint: dt = size >= 0 ? kDtChar : kDtInt8, cls = 0, index = sym.offset; break;
        case kQ4TypeUsint: dt = size >= 0 ? kDtChar : kDtUint8, cls = 0, index = sym.offset; break;
        case kQ4TypeInt: dt = kDtInt16, cls = 1, index = sym.offset / 2; break;
        case kQ4TypeUint: dt = kDtUint16, cls = 1, index = sym.offset / 2; break;
        case kQ4TypeDint: dt = kDtInt32, cls = 2, index = sym.offset / 4; break;
        case kQ4TypeUdint: dt = kDtUint32, cls = 2, index = sym.offset / 4; break;
        case kQ4TypeReal: dt = kDtFloat32, cls = 2, index = sym.offset / 4; break;
        case kQ4TypeLreal: dt = kDtLreal64, cls = 3, index = sym.offset / 8; break;
        case kQ4TypeTime: dt = kDtTime, cls = 5, index = sym.offset / 4; break;
        case kQ4TypeString: dt = kDtChar, cls = 4, index = sym.stringNo; break;
        default: return 0;
    }
    if (sym.member) index = sym.offset;
    u32 address = 0xC0000000u | (sym.member ? 0x20000000u : 0u) | (cls << 26) | (index & 0xFFFFFu);
    u32 length;
    if (bit >= 0) {
        if (bit > 63) return 0;
        dt = kDtBool;
        address |= static_cast<u32>(bit) << 20;
        length = size >= 0 ? static_cast<u32>(size) : 1;
    } else if (size >= 0) {
        if (size > 256) return 0;
        length = dt == kDtChar ? static_cast<u32>(size) : static_cast<u32>(size) * 8;
        if (dt == kDtBool) {
            length = static_cast<u32>(size);
            if (size == 8) dt = kDtUint8;
            if (size == 16) dt = kDtUint16;
            if (size == 32) dt = kDtUint32;
            if (size == 64) dt = kDtLreal64;
        }
    } else if (cls == 4) {
        u8* data;
        u32 bytes;
        if (QuilletVmDbSpan(address, &data, &bytes) <= 0 || bytes == 0) return 0;
        length = bytes - 1;
    } else {
        // A BOOL is one bit and a TIME one 32-bit table element.
        static const u32 byClass[7] = {8, 16, 32, 64, 0, 32, 1};
        length = byClass[cls];
    }
    if (length == 0) return 0;
    if (dt == kDtChar ? length > kDartuCharMax : length > kDartuItemBitsMax) return 0;
    r->offset = 0;
    r->address = address;
    r->reg_type = 0;
    r->bit = static_cast<u8>(bit < 0 ? 0 : bit);
    r->data_type = dt;
    r->length = length;
    return 1;
}

void ClearRecord(dartu_variable* r) {
    if (r->data_type == kDtChar) std::free(r->value.text);
    std::free(r->name);
    std::memset(r, 0, sizeof *r);
}

void RemovePair(u32 at) {
    for (u32 i = at; i + 1 < g.pairCount; ++i) g.pairs[i] = g.pairs[i + 1];
    g.pairCount--;
    g.pairs[g.pairCount] = Pair{};
}

void Stamp(dartu_variable* r) {
    r->stamp[0] = Dartu_ControllerSeconds();
    r->stamp[1] = 0;
}

void Deliver(dartu_result_context* ctx, const dartu_variable* r, i32 error) {
    dartu_data_value v{};
    dartu_fill_variable_value(r, &v);
    dartu_timestamp ts{r->stamp[0], r->stamp[1]};
    dartu_data_read_return(ctx, &v, &ts, r->status, nullptr, error);
}

dartu_variable* Find(const char* address) {
    int i = dartu_get_variable_pointer_list_index(address);
    return i < 0 ? nullptr : g.pairs[i].record;
}

}  // namespace

int EtnRdsPlcReg_Adr(u32* address, u32 type, u32 offset, u32 bit) {
    if (type >= kDartuRegTypes || bit == 0 || bit > 16) return 0;
    const RegType& t = kRegTypes[type];
    if (offset < 1 || offset > t.last) return 0;
    if (type == kTypeSR && offset > 192)
        *address = kEsrBase + 16 * (offset - 193) + (bit - 1);
    else
        *address = t.base + t.scale * (offset - 1) + (bit - 1);
    return 1;
}

int dartu_parse_parameterized_variable(char* text, dartu_variable* r) {
    if (!text) return 0;
    if (QuilletRuntime && quillet_variables_enumerateded) {
        if (text[0] == '@') return ParseRegister(text + 1, r);
        return ParseIec(text, r);
    }
    return ParseRegister(text, r);
}

int dartu_get_variable_pointer_list_index(const char* name) {
    if (!name) return -1;
    for (u32 i = 0; i < g.pairCount; ++i)
        if (g.pairs[i].name && std::strcmp(g.pairs[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

int dartu_set_variable_pointer_list_index(const char* name) {
    int i = dartu_get_variable_pointer_list_index(name);
    return i >= 0 ? i : static_cast<int>(g.pairCount);
}

u32 dartu_variable_pointer_count() { return g.pairCount; }
dartu_variable* dartu_variable_at(u32 index) { return index < g.pairCount ? g.pairs[index].record : nullptr; }

dartu_variable* dartu_register_in_variable_pointer_list(const char* name, u32 size) {
    int i = dartu_get_variable_pointer_list_index(name);
    if (i >= 0) return g.pairs[i].record;
    // The pair after the last one stays empty.
    if (g.pairCount + 1 >= kPairs || g.used >= kDartuVariableRecords) return nullptr;
    dartu_variable* r = nullptr;
    for (u32 k = 0; k < kDartuVariableRecords; ++k) {
        u32 at = (g.search + k) % kDartuVariableRecords;
        if (!g.records[at].name) {
            r = &g.records[at];
            g.search = (at + 1) % kDartuVariableRecords;
            break;
        }
    }
    if (!r) return nullptr;
    r->name = static_cast<char*>(std::calloc(size + 1, 1));
    if (!r->name) return nullptr;
    std::strncpy(r->name, name, size);
    g.used++;
    g.pairs[g.pairCount++] = Pair{r->name, r};
    return r;
}

int dartu_check_updated_variable_value(dartu_variable* r) {
    if (r->data_type > kDtTime) return 0;
    u8 buf[kDartuItemBitsMax / 8 + 8] = {};
    PlcReg_Get(buf, r->address, BitsOf(r));
    switch (r->data_type) {
        case kDtInt32:
        case kDtUint32:
        case kDtUint16:
        case kDtUint8: {
            u32 v = GetLe32(buf);
            if (v == r->value.u) return 0;
            r->value.u = v;
            return 1;
        }
        case kDtInt16: {
            i16 v = static_cast<i16>(GetLe16(buf));
            if (v == r->value.i16v) return 0;
            r->value.i16v = v;
            return 1;
        }
        case kDtInt8:
        case kDtBool:
            if (buf[0] == r->value.b) return 0;
            r->value.b = buf[0];
            return 1;
        case kDtFloat32: {
            float v;
            std::memcpy(&v, buf, 4);
            if (v == r->value.f) return 0;
            r->value.f = v;
            return 1;
        }
        case kDtLreal64: {
            double v;
            std::memcpy(&v, buf, 8);
            if (v == r->value.d) return 0;
            r->value.d = v;
            return 1;
        }
        case kDtTime: {
            u64 t = 0;
            for (int i = 5; i >= 0; --i) t = (t << 8) | buf[i];
            double v = static_cast<double>(t);
            if (v == r->value.d) return 0;
            r->value.d = v;
            return 1;
        }
        case kDtChar: {
            if (!r->value.text) return 0;
            char text[kDartuCharMax + 1] = {};
            std::memcpy(text, buf, r->length < kDartuCharMax ? r->length : kDartuCharMax);
            ConvertToAscii(text);
            if (std::strcmp(text, r->value.text) == 0) return 0;
            std::memcpy(r->value.text, text, r->length + 1 <= kDartuCharMax + 1 ? r->length + 1 : kDartuCharMax + 1);
            return 1;
        }
    }
    return 0;
}

void dartu_fill_variable_value(const dartu_variable* r, dartu_data_value* v) {
    *v = dartu_data_value{};
    switch (r->data_type) {
        case kDtInt32: v->type = kDartuValueInt32, v->v.i32v = static_cast<i32>(r->value.u); break;
        case kDtInt16: v->type = kDartuValueInt32, v->v.i32v = r->value.i16v; break;
        case kDtInt8: v->type = kDartuValueInt32, v->v.i32v = r->value.i8v; break;
        case kDtUint32:
        case kDtUint16:
        case kDtUint8: v->type = kDartuValueUint32, v->v.u32v = r->value.u; break;
        case kDtFloat32: v->type = kDartuValueFloat, v->v.f = r->value.f; break;
        case kDtLreal64:
        case kDtTime: v->type = kDartuValueDouble, v->v.d = r->value.d; break;
        case kDtChar: v->type = kDartuValueText, v->v.text = r->value.text ? r->value.text : ""; break;
        case kDtBool: v->type = kDartuValueBool, v->v.b = static_cast<i8>(r->value.b ? 1 : 0); break;
        default: break;
    }
}

void dartu_notify_variable(dartu_variable* r, dartu_data_value* v) {
    if (!r->subscription) return;
    dartu_fill_variable_value(r, v);
    dartu_timestamp ts{r->stamp[0], r->stamp[1]};
    dartu_data_notify(r->subscription, v, &ts, r->status, nullptr);
}

void dartu_automatic_update_variables() {
    if (g.pairCount == 0) {
        g.cursor = 0;
        return;
    }
    dartu_variable* r;
    if (g.cursor < g.pairCount) {
        r = g.pairs[g.cursor++].record;
    } else {
        r = g.pairs[0].record;
        g.cursor = 1;
    }
    if (r && r->name && dartu_check_updated_variable_value(r)) {
        Stamp(r);
        dartu_data_value v;
        dartu_notify_variable(r, &v);
    }
}

void LoadStamp(u8* s, const u16* regs) {
    for (int i = 0; i < 5; ++i) s[i] = static_cast<u8>(regs[i] & 0xFF);
    s[5] = static_cast<u8>(regs[5] % 100);
}

u32 dartu_Conversion_to_UTC_Time_func(const u8* s) {
    static const u32 before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const u32 sec = s[0], min = s[1], hour = s[2], day = s[3], month = s[4], year = s[5];
    u32 t = 31536000u * (year + 30) + 86400u * ((year + 31) / 4);
    if (month >= 1 && month <= 12) t += 86400u * before[month - 1];
    t += 86400u * (day - 1) + 3600u * hour + 60u * min + sec;
    if (year % 4 == 0 && month > 2) t += 86400u;
    return t;
}

u32 Dartu_ControllerSeconds() {
    u16 regs[6];
    for (int i = 0; i < 6; ++i) regs[i] = SR_Get(44 + i);
    u8 s[6];
    LoadStamp(s, regs);
    return dartu_Conversion_to_UTC_Time_func(s);
}

u32 ConvertToAscii(char* text) {
    u32 n = 0;
    for (; text[n]; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        if (c < 0x20 || c > 0x7E) text[n] = static_cast<char>(0x80);
    }
    return n;
}

int isAscii(const char* text) {
    if (!text || !*text) return 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p < 0x20 || *p > 0x7F) return 0;
    return 1;
}

// ---- Callbacks -----------------------------------------------------------------------

void dartu_read_data_simple_cb(dartu_result_context* ctx, void*, const char* address) {
    dartu_variable* r = address && *address ? Find(address) : nullptr;
    if (!r) {
        dartu_data_value none{};
        dartu_data_read_return(ctx, &none, nullptr, 0, nullptr, 301);
        return;
    }
    if (dartu_check_updated_variable_value(r)) Stamp(r);
    Deliver(ctx, r, 0);
}

void dartu_read_data_multi_cb(dartu_result_context* ctx, void* user, const char* const* addresses) {
    for (const char* const* a = addresses; a && *a; ++a) dartu_read_data_simple_cb(ctx, user, *a);
}

void dartu_write_data_simple_cb(dartu_result_context* ctx, void*, const char* address, const char* value,
                                u32 value_length) {
    if (address && std::strcmp(address, "KeepAliveVar") == 0) {
        dartu_data_write_return(ctx, 0);
        return;
    }
    dartu_variable* r = address && *address ? Find(address) : nullptr;
    if (!r) {
        dartu_data_write_return(ctx, 301);
        return;
    }
    if (!value) value = "";
    u8 buf[kDartuItemBitsMax / 8 + 8] = {};
    const u32 bits = BitsOf(r);
    switch (r->data_type) {
        case kDtInt32:
        case kDtInt16:
        case kDtInt8: {
            long v = std::strtol(value, nullptr, 10);
            PutLe32(buf, static_cast<u32>(v));
            r->value.u = 0;
            if (r->data_type == kDtInt32) r->value.u = static_cast<u32>(v);
            if (r->data_type == kDtInt16) r->value.i16v = static_cast<i16>(v);
            if (r->data_type == kDtInt8) r->value.i8v = static_cast<i8>(v);
            break;
        }
        case kDtUint32:
        case kDtUint16:
        case kDtUint8: {
            unsigned v = 0;
            std::sscanf(value, "%u", &v);
            PutLe32(buf, v);
            r->value.u = bits >= 32 ? v : v & ((1u << bits) - 1);
            break;
        }
        case kDtFloat32: {
            float f = static_cast<float>(std::strtod(value, nullptr));
            std::memcpy(buf, &f, 4);
            r->value.f = f;
            break;
        }
        case kDtLreal64: {
            double d = std::strtod(value, nullptr);
            std::memcpy(buf, &d, 8);
            r->value.d = d;
            break;
        }
        case kDtChar:
            if (*value && !isAscii(value)) {
                r->status = 10000;
                dartu_data_write_return(ctx, static_cast<i32>(r->status));
                return;
            }
            if (value_length > r->length || !r->value.text) {
                r->status = 304;
                dartu_data_write_return(ctx, static_cast<i32>(r->status));
                return;
            }
            std::memset(r->value.text, 0, r->length + 1);
            std::memcpy(r->value.text, value, std::strlen(value) < r->length ? std::strlen(value) : r->length);
            std::memcpy(buf, r->value.text, r->length);
            break;
        case kDtBool:
            buf[0] = (value[0] == '1' || value[0] == 'T' || value[0] == 't') ? 1 : 0;
            r->value.b = buf[0];
            break;
        case kDtTime: {
            double d = std::strtod(value, nullptr);
            u64 t = d > 0 ? static_cast<u64>(d) : 0;
            for (int i = 0; i < 8; ++i) buf[i] = static_cast<u8>(t >> (8 * i));
            r->value.d = d;
            break;
        }
        default:
            dartu_data_write_return(ctx, 301);
            return;
    }
    dartu_data_value v;
    if (PlcReg_Set(r->address, buf, bits)) {
        r->status = 0;
        Stamp(r);
        dartu_data_write_return(ctx, 0);
        dartu_notify_variable(r, &v);
        return;
    }
    // Refused: the subscribers learn what the register really holds.
    r->status = kDartuWriteRefused;
    dartu_data_write_return(ctx, static_cast<i32>(r->status));
    dartu_check_updated_variable_value(r);
    Stamp(r);
    dartu_notify_variable(r, &v);
}

void dartu_write_data_multi_cb(dartu_result_context* ctx, void* user, const char* const* addresses,
                               const char* const* values, const u32* lengths) {
    for (u32 i = 0; addresses && addresses[i]; ++i)
        dartu_write_data_simple_cb(ctx, user, addresses[i], values[i], lengths[i]);
}

void dartu_subscribe_data_cb(dartu_subscription_item* item, void*, const char* address, void** handle,
                             u32* subscribed, i32* error) {
    *error = 301;
    if (!address || !*address) return;
    const size_t n = std::strlen(address);
    if (n > 254) return;
    dartu_variable* r = Find(address);
    if (!r) {
        r = dartu_register_in_variable_pointer_list(address, static_cast<u32>(n));
        if (!r) {
            *error = 464;
            return;
        }
        char text[256];
        std::memcpy(text, address, n + 1);
        if (!dartu_parse_parameterized_variable(text, r)) {
            int at = dartu_get_variable_pointer_list_index(address);
            ClearRecord(r);
            g.used--;
            if (at >= 0) RemovePair(static_cast<u32>(at));
            return;
        }
    }
    r->subscription = item;
    if (r->data_type == kDtChar && !r->value.text) {
        r->value.text = static_cast<char*>(std::calloc(r->length + 1, 1));
        if (!r->value.text) {
            *error = 900;
            return;
        }
    }
    *handle = r;
    *subscribed = 1;
    *error = 0;
    dartu_check_updated_variable_value(r);
    Stamp(r);
    dartu_data_value v;
    dartu_notify_variable(r, &v);
}

void dartu_unsubscribe_data_cb(void* handle, i32* error) {
    dartu_variable* r = static_cast<dartu_variable*>(handle);
    if (!r || !r->name) return;
    int at = dartu_get_variable_pointer_list_index(r->name);
    if (at < 0) return;
    ClearRecord(r);
    g.used--;
    *error = 0;
    RemovePair(static_cast<u32>(at));
}

void Dartu_ItemsForgetSubscriptions() {
    for (u32 i = 0; i < g.pairCount; ++i)
        if (g.pairs[i].record) g.pairs[i].record->subscription = nullptr;
}

void Dartu_ItemsReset() {
    for (dartu_variable& r : g.records)
        if (r.name) ClearRecord(&r);
    std::memset(&g, 0, sizeof g);
}
