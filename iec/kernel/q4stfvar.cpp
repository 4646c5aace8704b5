#include "iec/kernel/q4stfvar.h"

#include <cstring>
#include <string>

#include "iec/ext/q4asi.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/ext/q4vmcan.h"
#include "iec/kernel/q4signal.h"
#include "iec/kernel/q4stfops.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmret.h"
#include "iec/kernel/q4vmstr.h"

namespace {

i32 Dint(const u8* p) { return static_cast<i32>(GetLe32(p)); }

// --- VSI --------------------------------------------------------------------------
// ops: result, type code, index of V, then the function's own inputs.

// BOOL result := act(type, index); the action runs only while the result
// is free.
template <class Act>
int VsiSet(u8* db, const u16* ops, Act act) {
    u8* r = Q4Stf_D8(db, ops[0]);
    if (!r) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    *r = act(ops[1], ops[2]) ? 1 : 0;
    return 1;
}

// DINT or BOOL result of a reading, stored when free.
int VsiGet32(u8* db, const u16* ops, u32 v) {
    u8* r = Q4Stf_D32(db, ops[0]);
    if (!r) return 0;
    Q4Stf_StoreDint(db, ops[0], r, v);
    return 1;
}

// --- Variable names ---------------------------------------------------------------

// The STRING result is forced whatever its lock: these names are read-only
// facts of the application.
int NameOf(u8* db, const u16* ops, const char* (*name)(u8* db, const u8* entry), u32 maxLen) {
    u8 *r = Q4Tools_String(db, ops[0]), *h = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, h)) return 0;
    const u8* entry = Q4Map_GetByHandle(db, GetLe32(h));
    const char* text = entry ? name(db, entry) : nullptr;
    Q4Str_AscForce(r, text ? text : "", text ? static_cast<u32>(strnlen(text, maxLen)) : 0);
    return 1;
}

// --- Recipes ----------------------------------------------------------------------

// Where a recipe value goes: the bytes of a number, or a VM string.
struct Target {
    u8* at = nullptr;
    bool string = false;
};

// The destination of a recipe entry (type with bit 0x80 for an external
// variable), checked to lie whole inside its table, the CT segment or the
// database; none to skip the entry.
Target Destination(u8* db, u16 typeWord, u16 index, u32 ctOffset) {
    const u16 type = Q4Type_Base(typeWord);
    const bool isString = type == kQ4TypeString;
    const u32 width = isString ? 0 : Q4Stf_ValueSize(type);
    if (!isString && width == 0) return {};
    // Whole within [base, base + bytes): a number of its width, a string of
    // its capacity + 3.
    auto inside = [&](u8* base, u32 bytes, u64 off) -> u8* {
        if (!base || off + (isString ? kQ4StrOverhead : width) > bytes) return nullptr;
        u8* p = base + off;
        if (isString && off + base[off] + kQ4StrOverhead > bytes) return nullptr;
        return p;
    };
    if (typeWord & kQ4TypeExternal) return {Q4Tools_External(db, type, index), isString};
    if (ctOffset != 0) {
        u32 bytes = 0;
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
        if (!ct || bytes == 0) return {};
        return {inside(ct, bytes, ctOffset), isString};
    }
    int locked = 0;
    u8* p = Q4Tools_GetAnyParam(db, type, index, &locked, nullptr);
    if (!p || locked) return {};
    return {p, isString};
}

// Copies column col of the entry at e (values from e + 8) into the target.
void ApplyEntry(const Q4Code& c, u32 e, u16 type, u32 col, const Target& t) {
    u32 at = e + 8;
    if (!t.string) {
        const u32 width = Q4Stf_ValueSize(Q4Type_Base(type));
        const u64 from = at + static_cast<u64>(col) * width;
        if (from > 0xFFFFFFFFu || !Q4Code_InRange(c, static_cast<u32>(from), width)) return;
        std::memcpy(t.at, c.data + from, width);
        return;
    }
    for (u32 k = 0; k < col; ++k) {
        if (!Q4Code_InRange(c, at, 1)) return;
        at += 1u + c.data[at];
    }
    if (!Q4Code_InRange(c, at, 1) || !Q4Code_InRange(c, at + 1, c.data[at])) return;
    Q4Str_AscForce(t.at, c.data + at + 1, c.data[at]);
}

// --- Dynamic arrays ----------------------------------------------------------------

// The resource key of array ID: ID + 1, or 0 (no array can have it) when it
// lies outside 1..127.
u16 ArrayKey(const u8* id) {
    const i64 key = static_cast<i64>(Dint(id)) + 1;
    return key >= 1 && key < static_cast<i64>(kQ4RscEntries) ? static_cast<u16>(key) : 0;
}

// --- AS-i -----------------------------------------------------------------------------

u16 Low16(const u8* p) { return static_cast<u16>(GetLe32(p)); }

}  // namespace

// --- VSI ------------------------------------------------------------------------------

int Q4Stf_VsiStamp(u8* db, const u16* ops, u16) {
    return VsiSet(db, ops, [db](u16 t, u16 i) { return Q4Map_StampVSI(db, t, i); });
}
int Q4Stf_VsiStampGmt(u8* db, const u16* ops, u16) {
    return VsiSet(db, ops, [db](u16 t, u16 i) { return Q4Map_StampVSIGMT(db, t, i); });
}

int Q4Stf_VsiSetTime(u8* db, const u16* ops, u16) {
    const u8* v = Q4Stf_D32(db, ops[3]);
    if (!v) return 0;
    return VsiSet(db, ops, [db, v](u16 t, u16 i) { return Q4Map_SetVSITime(db, t, i, GetLe32(v)); });
}
int Q4Stf_VsiSetDate(u8* db, const u16* ops, u16) {
    const u8* v = Q4Stf_D32(db, ops[3]);
    if (!v) return 0;
    return VsiSet(db, ops, [db, v](u16 t, u16 i) { return Q4Map_SetVSIDate(db, t, i, GetLe32(v)); });
}
int Q4Stf_VsiGetTime(u8* db, const u16* ops, u16) { return VsiGet32(db, ops, Q4Map_GetVSITime(db, ops[1], ops[2])); }
int Q4Stf_VsiGetDate(u8* db, const u16* ops, u16) { return VsiGet32(db, ops, Q4Map_GetVSIDate(db, ops[1], ops[2])); }

// BIT is taken unsigned: a negative bit number is far above 63 and refused.
int Q4Stf_VsiSetBit(u8* db, const u16* ops, u16) {
    const u8 *bit = Q4Stf_D32(db, ops[3]), *value = Q4Stf_D8(db, ops[4]);
    if (!Q4Stf_All(bit, value)) return 0;
    return VsiSet(db, ops, [db, bit, value](u16 t, u16 i) {
        return Q4Map_SetVSIBit(db, t, i, GetLe32(bit), *value != 0);
    });
}
int Q4Stf_VsiGetBit(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *bit = Q4Stf_D32(db, ops[3]);
    if (!Q4Stf_All(r, bit)) return 0;
    Q4Stf_StoreBool(db, ops[0], r, Q4Map_GetVSIBit(db, ops[1], ops[2], GetLe32(bit)) != 0);
    return 1;
}

// VSICOPY (type, DST, SRC, STATUS, STAMP) -> BOOL.
int Q4Stf_VsiCopy(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *status = Q4Stf_D8(db, ops[4]), *stamp = Q4Stf_D8(db, ops[5]);
    if (!Q4Stf_All(r, status, stamp)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    *r = Q4Map_CopyVSI(db, ops[1], ops[2], ops[3], *status != 0, *stamp != 0) ? 1 : 0;
    return 1;
}

// --- Variables by name or address --------------------------------------------------

int Q4Stf_GetVarByName(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D32(db, ops[0]);
    const u8* name = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, name)) return 0;
    const std::string n = Q4Stf_Name(name);
    Q4Stf_StoreDint(db, ops[0], r, Q4Map_GetHandle(db, n.empty() ? nullptr : Q4Map_GetBySymbol(db, n.c_str())));
    return 1;
}

int Q4Stf_GetVarByAddr(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D32(db, ops[0]);
    if (!r) return 0;
    Q4Stf_StoreDint(db, ops[0], r, Q4Map_GetHandle(db, Q4Map_GetByIndex(db, ops[1], ops[2])));
    return 1;
}

int Q4Stf_GetVarSymbol(u8* db, const u16* ops, u16) { return NameOf(db, ops, Q4Map_GetSymbol, 255); }
// A profile name fills its 16 bytes without a NUL when it is 16 characters long.
int Q4Stf_GetVarProfile(u8* db, const u16* ops, u16) { return NameOf(db, ops, Q4Map_GetProfileName, 16); }
int Q4Stf_GetVarTypeName(u8* db, const u16* ops, u16) { return NameOf(db, ops, Q4Map_GetTypeName, 255); }

// --- Recipes and signals ------------------------------------------------------------

bool Q4StfVar_ApplyRecipe(u8* db, u32 rcp, u32 col) {
    const Q4Code& c = Q4VM_CodeOf(db);
    const u32 dir = Q4VMCode_GetRecipes(c);
    if (!dir || !Q4Code_InRange(c, dir, 4) || rcp >= Q4Code_U16(c, dir + 2)) return false;
    const u32 recipe = Q4Code_U32(c, dir + 4 + 4 * rcp);
    if (!recipe || !Q4Code_InRange(c, recipe, 4) || col >= Q4Code_U16(c, recipe + 2)) return false;
    const u32 vars = Q4Code_U16(c, recipe);
    if (!Q4Code_InRange(c, recipe + 4, 4 * vars)) return false;
    for (u32 v = 0; v < vars; ++v) {
        const u32 e = Q4Code_U32(c, recipe + 4 + 4 * v);
        if (!e || !Q4Code_InRange(c, e, 8)) continue;
        const u16 type = Q4Code_U16(c, e);
        const Target t = Destination(db, type, Q4Code_U16(c, e + 2), Q4Code_U32(c, e + 4));
        if (t.at) ApplyEntry(c, e, type, col, t);
    }
    return true;
}

int Q4Stf_RcpApply(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *rcp = Q4Stf_D32(db, ops[1]), *col = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, rcp, col)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    *r = Dint(rcp) >= 0 && Dint(col) >= 0 && Q4StfVar_ApplyRecipe(db, GetLe32(rcp), GetLe32(col)) ? 1 : 0;
    return 1;
}

int Q4Stf_SigScale(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *sig = Q4Stf_D32(db, ops[1]), *t = Q4Tools_Element(db, kDbTime, ops[2]);
    if (!Q4Stf_All(r, sig, t)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const Q4Code& c = Q4VM_CodeOf(db);
    const i32 id = Dint(sig);
    const Q4SignalView s = id > 0 ? Q4Signal_Find(c, static_cast<u32>(id)) : Q4SignalView{};
    Q4Stf_PutF32(r, Q4Signal_Value(c, s, GetLe32(t)));
    return 1;
}

// --- Retained variables --------------------------------------------------------------

namespace {
int RetainFile(u8* db, const u16* ops, int (*io)(u8* db, const char* path)) {
    u8* r = Q4Stf_D8(db, ops[0]);
    const u8* path = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, path)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const std::string name = Q4Stf_Name(path);
    *r = !name.empty() && io(db, name.c_str()) ? 1 : 0;
    return 1;
}
}  // namespace

int Q4Stf_FLoadRetain(u8* db, const u16* ops, u16) { return RetainFile(db, ops, Q4VMWarm_LoadFromFileDb); }
int Q4Stf_FSaveRetain(u8* db, const u16* ops, u16) { return RetainFile(db, ops, Q4VMWarm_SaveToFileDb); }

// --- Dynamic arrays ---------------------------------------------------------------------

int Q4Stf_ArCreate(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *id = Q4Stf_D32(db, ops[1]), *size = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, id, size)) return 0;
    const u16 key = ArrayKey(id);
    const int result = key ? Q4VMRsc_CreateArray(db, key, Dint(size), 4) : 2;
    Q4Stf_StoreDint(db, ops[0], r, static_cast<u32>(result));
    return 1;
}

int Q4Stf_ArWrite(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *id = Q4Stf_D32(db, ops[1]), *index = Q4Stf_D32(db, ops[2]),
       *value = Q4Stf_D32(db, ops[3]);
    if (!Q4Stf_All(r, id, index, value)) return 0;
    const u16 key = ArrayKey(id);
    const int result = key ? Q4VMRsc_WriteArray(db, key, Dint(index), 4, value) : 2;
    Q4Stf_StoreDint(db, ops[0], r, static_cast<u32>(result));
    return 1;
}

int Q4Stf_ArRead(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *id = Q4Stf_D32(db, ops[1]), *index = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, id, index)) return 0;
    const u16 key = ArrayKey(id);
    u8 value[4] = {};
    if (!key || !Q4VMRsc_ReadArray(db, key, Dint(index), 4, value)) std::memset(value, 0, sizeof value);
    Q4Stf_StoreDint(db, ops[0], r, GetLe32(value));
    return 1;
}

// --- Device services ------------------------------------------------------------------------

// MBSLAVEIDENT (VENDOR, PRODUCT, REVISION, WORDS, count) -> BOOL.
int Q4Stf_MbSlaveIdent(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D8(db, ops[0]);
    const u8 *vendor = Q4Tools_String(db, ops[1]), *product = Q4Tools_String(db, ops[2]),
             *revision = Q4Tools_String(db, ops[3]);
    const u8* words = Q4Stf_Array(db, kQ4TypeInt, ops[4], ops[5], 2);
    if (!Q4Stf_All(r, vendor, product, revision, words)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    *r = Q4MBSrv_SetDevIdent(Q4Stf_Name(vendor).c_str(), Q4Stf_Name(product).c_str(), Q4Stf_Name(revision).c_str(),
                             words, ops[5])
             ? 1
             : 0;
    return 1;
}

// CANSND (PORT, ID, LEN, DATA, count, FLAG) -> BOOL. LEN is taken unsigned:
// a negative length is far above the array's count and never reaches the
// driver.
int Q4Stf_CanSnd(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *id = Q4Stf_D32(db, ops[2]), *len = Q4Stf_D32(db, ops[3]),
       *flag = Q4Stf_D8(db, ops[6]);
    const u8* port = Q4Tools_String(db, ops[1]);
    const u8* data = Q4Stf_Bytes(db, ops[4], ops[5]);
    if (!Q4Stf_All(r, id, len, flag, port, data)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const u32 n = GetLe32(len);
    *r = n <= ops[5] && Q4VMCan_SendAppMsg(db, Q4Stf_Name(port).c_str(), GetLe32(id), n, data, *flag != 0) ? 1 : 0;
    return 1;
}

// The AS-i functions call the master services only when the database has an
// AS-i context; the writers act only while their result is free.
namespace {
template <int N, bool Writer>
int Asi(u8* db, const u16* ops, int (*call)(void* ctx, const u8* const* in)) {
    const bool dint = !Writer;
    u8* r = dint ? Q4Stf_D32(db, ops[0]) : Q4Stf_D8(db, ops[0]);
    const u8* in[N];
    for (int k = 0; k < N; ++k)
        if (!(in[k] = Q4Stf_D32(db, ops[1 + k]))) return 0;
    if (!r) return 0;
    const u8 lock = dint ? kQ4LockData32 : kQ4LockData8;
    if (Writer && !Q4VMStf_CanStore(db, lock, ops[0])) return 1;
    void* ctx = Q4Asi_Context(db);
    const int v = ctx ? call(ctx, in) : 0;
    if (!Q4VMStf_CanStore(db, lock, ops[0])) return 1;
    if (dint) PutLe32(r, static_cast<u32>(v) & 0xFF);
    else *r = v ? 1 : 0;
    return 1;
}
}  // namespace

int Q4Stf_AsiStorePI(u8* db, const u16* ops, u16) {
    return Asi<1, true>(db, ops, [](void* c, const u8* const* in) { return Q4Asi_StorePI(c, Low16(in[0])); });
}
int Q4Stf_AsiReadPI(u8* db, const u16* ops, u16) {
    return Asi<2, false>(db, ops, [](void* c, const u8* const* in) {
        return Q4Asi_ReadPI(c, Low16(in[0]), Low16(in[1]));
    });
}
int Q4Stf_AsiSendPar(u8* db, const u16* ops, u16) {
    return Asi<3, true>(db, ops, [](void* c, const u8* const* in) {
        return Q4Asi_SendParameter(c, Low16(in[0]), Low16(in[1]), in[2][0]);
    });
}
int Q4Stf_AsiWritePP(u8* db, const u16* ops, u16) {
    return Asi<3, true>(db, ops, [](void* c, const u8* const* in) {
        return Q4Asi_WritePP(c, Low16(in[0]), Low16(in[1]), in[2][0]);
    });
}
int Q4Stf_AsiReadPP(u8* db, const u16* ops, u16) {
    return Asi<2, false>(db, ops, [](void* c, const u8* const* in) {
        return Q4Asi_ReadPP(c, Low16(in[0]), Low16(in[1]));
    });
}
