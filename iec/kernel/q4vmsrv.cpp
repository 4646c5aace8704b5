#include "iec/kernel/q4vmsrv.h"

#include <cstring>
#include <vector>

#include "iec/ext/q4bdll.h"
#include "iec/ext/q4ea.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmbsmp.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmtic.h"
#include "platform/root.h"

namespace {

constexpr u8 kFail = 255;
constexpr u16 kEndWord = 68;
constexpr u32 kMaxObjects = 50;
constexpr char kVmName[] = "Q4 Multithreaded VM under LINUX (no RT extension)";
constexpr char kVendor[] = "Varnok Controls ";  // 16 characters

// Block-name listing: the registry first, then the loadable library.
struct Cursor {
    int phase = 0;  // 0 idle, 1 registry, 2 library
    u32 id = 0;
};
struct State {
    Cursor cursor;
};
State g;

// Output with its room; every write checks it.
struct Out {
    u8* p;
    u32 room;
    u32 n = 0;
    bool Fits(u32 k) const { return k <= room - n; }
    void U8(u8 v) { p[n++] = v; }
    void U16(u16 v) {
        PutBe16(p + n, v);
        n += 2;
    }
    void U32(u32 v) {
        PutBe32(p + n, v);
        n += 4;
    }
    void U64(u64 v) {
        U32(static_cast<u32>(v >> 32));
        U32(static_cast<u32>(v));
    }
    void Bytes(const void* b, u32 k) {
        std::memcpy(p + n, b, k);
        n += k;
    }
};

u8* St(u8* db) { return db ? Q4VM_Status(db) : nullptr; }

// A variable's value of a class (the area's element width) and lock flag.
bool PutValue(Out& o, u8* db, u32 area, u16 index, u8 lockBit, const u8* at) {
    const u8* p = at ? at : Q4Tools_Element(db, area, index);
    if (!p) return false;
    const u8* lock = Q4Tools_Element(db, kDbLockFlags, index);
    const u32 width = Q4VM_GetDesc(db, area).elementSize;
    if (!o.Fits(1 + width) || width == 0 || width > 8) return false;
    o.U8(!at && lock && (*lock & lockBit) ? 1 : 0);
    u64 v = 0;
    std::memcpy(&v, p, width);
    switch (width) {
        case 1: o.U8(static_cast<u8>(v)); break;
        case 2: o.U16(static_cast<u16>(v)); break;
        case 4: o.U32(static_cast<u32>(v)); break;
        default: o.U64(v); break;
    }
    return true;
}

bool PutString(Out& o, const u8* s, u8 lockFlag) {
    if (!s) return false;
    const u8 len = s[1] < s[0] ? s[1] : s[0];
    if (!o.Fits(len + 3u)) return false;
    o.U8(lockFlag);
    o.U8(len);
    o.Bytes(s + 2, len);
    o.U8(0);
    return true;
}

// The variable an external slot refers to, if it lies inside the database.
u8* External(u8* db, u16 index, u32 width) {
    u8* slot = Q4Tools_Element(db, kDbExternalVars, index);
    const u32 off = slot ? GetLe32(slot) : 0;
    const u32 total = Q4VM_GetTotalDBSize(db);
    if (off < kVmDbDescriptorBlockBytes || off >= total || total - off < width) return nullptr;
    return db + off;
}

bool PutExternal(Out& o, u8* db, u16 index, u32 width) {
    u8* p = External(db, index, width);
    const u8* lock = Q4Tools_Element(db, kDbLockFlags, index);
    if (!p || !o.Fits(1 + width)) return false;
    o.U8(lock && (*lock & kQ4LockExternal) ? 1 : 0);
    u64 v = 0;
    std::memcpy(&v, p, width);
    if (width == 1) o.U8(static_cast<u8>(v));
    else if (width == 2) o.U16(static_cast<u16>(v));
    else if (width == 4) o.U32(static_cast<u32>(v));
    else o.U64(v);
    return true;
}

// The next block name of the listing: the registry's blocks, then the
// library's (the cursor's phase 1, then 2); none at the end (phase 0).
const char* NextBlockName() {
    if (g.cursor.phase == 1) {
        if (Q4Blocks_GetNextID(&g.cursor.id)) return Q4Blocks_GetName(g.cursor.id);
        if (Q4Bdll_StartEnumerate()) {
            if (Q4Bdll_GetFirstID(&g.cursor.id)) {
                g.cursor.phase = 2;
                return Q4Bdll_GetName(g.cursor.id);
            }
            Q4Bdll_StopEnumerate();
        }
        g.cursor = Cursor{};
        return nullptr;
    }
    if (g.cursor.phase == 2) {
        if (Q4Bdll_GetNextID(&g.cursor.id)) return Q4Bdll_GetName(g.cursor.id);
        Q4Bdll_StopEnumerate();
        g.cursor = Cursor{};
    }
    return nullptr;
}

// System information: byte length, then the bytes.
bool SystemInfo(Out& o, u8* db, u16 sub) {
    if (o.room - o.n < 280) return false;
    u8* st = St(db);
    u8 b[256];
    u32 len = 0;
    auto u32be = [&](u32 v) {
        PutBe32(b, v);
        len = 4;
    };
    switch (sub) {
        case 1: u32be(st ? (GetLe32(st + kQ4StOptions) | 0x80000000u) : 0x80000000u); break;
        case 2: u32be(0xDF7FFFFFu); break;
        case 3: u32be(0x1BE29FFFu); break;
        case 4: u32be(0x00090101u); break;
        case 5:
        case 6: {
            const char* name = nullptr;
            if (sub == 5) {
                if (g.cursor.phase == 2) Q4Bdll_StopEnumerate();
                g.cursor = Cursor{};
                if (Q4Blocks_GetFirstID(&g.cursor.id)) {
                    g.cursor.phase = 1;
                    name = Q4Blocks_GetName(g.cursor.id);
                }
            } else {
                name = NextBlockName();
            }
            if (name) {
                len = static_cast<u32>(strnlen(name, 254)) + 1;
                std::memcpy(b, name, len - 1);
                b[len - 1] = 0;
            }
            break;
        }
        case 7:
            len = sizeof kVmName;
            std::memcpy(b, kVmName, len);
            break;
        case 8:
            len = 17;
            std::memcpy(b, kVendor, 16);
            b[16] = 0;
            break;
        case 10: {
            if (!st) {
                u32be(0);
                break;
            }
            PutBe32(b, GetLe32(st + kVmStLockedCount));
            len = 4;
            u32 bytes = 0;
            const u8* locks = Q4VM_AreaPtr(db, kDbLockFlags, &bytes);
            for (u32 i = 0; locks && i < bytes && i <= 0xFFFF && len + 3 + 2 <= 248; ++i) {
                if (locks[i] == 0) continue;
                PutBe16(b + len, static_cast<u16>(i));
                b[len + 2] = locks[i];
                len += 3;
            }
            b[len++] = 0xFF;
            b[len++] = 0xFF;
            break;
        }
        case 11: u32be(st ? Q4VM_GetTotalDBSize(db) : 0); break;
        case 12: {
            const i32 free = st ? Q4Heap_GetFreeSpace(Q4VM_GetHeap(db)) : 0;
            u32be(free > 0 ? static_cast<u32>(free) : 0);
            break;
        }
        case 13: u32be(st ? GetLe32(st + kVmStSeconds) : 0); break;
        case 14: u32be(st ? GetLe32(st + kVmStMillis) : 0); break;
        case 15: u32be(0); break;
        default: len = 0; break;
    }
    o.U8(static_cast<u8>(len));
    o.Bytes(b, len);
    return true;
}

u16 Depth(u8* db) { return Q4VM_GetDesc(db, kDbCallStack).used; }

// One call level (1..depth) of the call stack: u16 program, u16 position.
const u8* CallLevel(u8* db, u32 level) {
    u32 bytes = 0;
    const u8* cs = Q4VM_AreaPtr(db, kDbCallStack, &bytes);
    if (!cs || level == 0 || level > Depth(db) || (level + 1) * 4 > bytes) return nullptr;
    return cs + 4 * level;
}

bool SfcStep(Out& o, u8* db, u16 index, bool withTime) {
    const u8* s = Q4Tools_Element(db, kDbSfcSteps, index);
    if (!s || !o.Fits(withTime ? 6 : 2)) return false;
    const u16 state = GetLe16(s + kStepState);
    o.U8(state == 1 || state == 3 ? 1 : 0);
    o.U8(static_cast<u8>(GetLe16(s + kStepBreak)));
    if (withTime) o.U32(GetLe32(s + kStepElapsed));
    return true;
}

bool Unresolved(Out& o, u8* db) {
    if (o.room - o.n <= 256) return false;
    u8* st = St(db);
    char text[256];
    u32 len = 0;
    for (u16 k = 0; st && k < GetLe16(st + kVmStUnresolvedCount); ++k) {
        const char* name = Q4VMLog_GetUnresolved(db, k);
        if (!name) break;
        const u32 n = static_cast<u32>(strnlen(name, 16));
        if (len + 1 + n > 255) continue;
        text[len++] = k == 0 ? ' ' : ',';
        std::memcpy(text + len, name, n);
        len += n;
    }
    o.U8(static_cast<u8>(len));
    o.Bytes(text, len);
    o.U8(0);
    return true;
}

bool TypeDefinitions(Out& o, u8* db, u16 page) {
    if (o.room - o.n <= 519) return false;
    const Q4Code& c = Q4VM_CodeOf(db);
    const u32 at = Q4VMCode_GetCTTypeDef(c);
    u32 total = 0;
    if (at && Q4Code_InRange(c, at, 1)) {
        const u32 declared = Q4Code_U32(c, at);
        total = declared && Q4Code_InRange(c, at, declared) ? declared : c.size - at;
    }
    const u32 from = static_cast<u32>(page) * 512;
    const u32 n = from < total ? (total - from < 512 ? total - from : 512) : 0;
    o.U32(total);
    o.U16(static_cast<u16>(n));
    o.U16(0);
    if (n) o.Bytes(c.data + at + from, n);
    return true;
}

// Serves one object; false fails the whole request.
bool Object(Out& o, u8* db, u8 kind, u16 index, const u8* ctAt) {
    u8* st = St(db);
    const bool needsApp = !(kind <= 3 || kind == 16);
    if (needsApp && !st) return false;
    switch (kind) {
        case 0: return SystemInfo(o, db, index);
        case 1: {
            if (!st) {
                if (!o.Fits(2)) return false;
                o.U16(0);
                return true;
            }
            const u32 n = static_cast<u32>(strnlen(reinterpret_cast<const char*>(st + kQ4StName), 15));
            if (!o.Fits(n + 2)) return false;
            o.U8(static_cast<u8>(n));
            o.Bytes(st + kQ4StName, n);
            o.U8(0);
            return true;
        }
        case 2: {
            if (!o.Fits(2)) return false;
            if (!st) {
                o.U16(0);
                return true;
            }
            const u16 flags = GetLe16(st + kQ4StFlags);
            o.U16(flags);
            if ((flags & kVmFlagHalted) && o.room - o.n > 5) {
                u16 program = GetLe16(st + kVmStCurProgram);
                if (const u8* top = CallLevel(db, Depth(db))) program = GetLe16(top);
                o.U16(program);
                o.U16(GetLe16(st + kVmStPosition));
            }
            return true;
        }
        case 3:
            if (!o.Fits(4)) return false;
            o.Bytes(".XTI", 4);
            return true;
        case 4:
        case 5:
        case 6:
        case 7: {
            if (!o.Fits(4)) return false;
            u32 v = 0;
            if (kind == 4) v = GetLe32(st + kQ4StAppWords + 12);
            else if (kind == 5) v = GetLe32(st + kQ4StAppWords);
            else if (kind == 6) v = index == 0 ? GetLe32(st + kQ4StAppWords + 4) : index == 1 ? GetLe32(st + kQ4StAppWords + 8) : 0;
            else if (index == 0) v = GetLe32(st + kVmStLastCycle);
            else if (index == 1) v = GetLe32(st + kQ4StCycleTime);
            else if (index == 2) v = GetLe32(st + kVmStMaxCycle);
            else if (index == 3) v = GetLe32(st + kVmStOverflows);
            o.U32(v);
            return true;
        }
        case 9: return PutValue(o, db, kDbData8, index, kQ4LockData8, ctAt);
        case 10: return PutValue(o, db, kDbData16, index, kQ4LockData16, ctAt);
        case 11: return PutValue(o, db, kDbData32, index, kQ4LockData32, ctAt);
        case 12: return PutValue(o, db, kDbData64, index, kQ4LockData64, ctAt);
        case 13: return PutValue(o, db, kDbTime, index, kQ4LockTime, ctAt);
        case 14: {
            if (ctAt) return false;  // strings are not addressed in the CT segment here
            const u8* lock = Q4Tools_Element(db, kDbLockFlags, index);
            return PutString(o, Q4Tools_String(db, index), lock && (*lock & kQ4LockString) ? 1 : 0);
        }
        case 15: {
            const u8* r = Q4VMPrg_Record(db, index);
            if (!r || !o.Fits(2)) return false;
            o.U16(GetLe16(r + kQ4PrFlags));
            return true;
        }
        case 16: {
            if (!o.Fits(8)) return false;
            u16 code = 0, a16 = 0;
            u32 a32 = 0;
            if (!Q4VMLog_PopSys(&code) && st) Q4VMLog_Pop(db, &code, &a16, &a32);
            o.U16(code);
            o.U16(a16);
            o.U32(a32);
            return true;
        }
        case 17: return Unresolved(o, db);
        case 18: return SfcStep(o, db, index, false);
        case 19: {
            const u8* t = Q4Tools_Element(db, kDbSfcTransitions, index);
            if (!t || !o.Fits(2)) return false;
            o.U8(GetLe16(t + kTransCond) ? 1 : 0);
            o.U8(static_cast<u8>(GetLe16(t + kTransBreak)));
            return true;
        }
        case 20: return PutExternal(o, db, index, 1);
        case 21: return PutExternal(o, db, index, 2);
        case 22:
        case 24: return PutExternal(o, db, index, 4);
        case 23: return PutExternal(o, db, index, 8);
        case 25: {
            u8* s = External(db, index, 3);
            const u8* lock = Q4Tools_Element(db, kDbLockFlags, index);
            if (!s || Q4VM_GetTotalDBSize(db) - static_cast<u32>(s - db) < s[0] + 3u) return false;
            return PutString(o, s, lock && (*lock & kQ4LockExternal) ? 1 : 0);
        }
        case 26:
            if (!o.Fits(kBsmpSettingsBytes)) return false;
            o.n += Q4VMBsmp_GetSettings(db, 0, o.p + o.n);
            return true;
        case 27:
            if (!o.Fits(kBsmpDataBytes)) return false;
            o.n += Q4VMBsmp_GetData(db, 0, o.p + o.n);
            return true;
        case 28: {
            const u32 len = Q4Map_GetDescLength(db, index);
            if (len == 0 || !o.Fits(len)) return false;
            o.n += Q4Map_GetDesc(db, index, o.p + o.n);
            return true;
        }
        case 29: {
            if (!o.Fits(4)) return false;
            if (const u8* lv = CallLevel(db, index)) {
                o.U16(GetLe16(lv));
                o.U16(static_cast<u16>(GetLe16(lv + 2) - 2));
            } else if (index >= 128 && index <= 143) {
                const u8* slot = st + kVmStBreakpoints + 8u * (index - 128);
                const u16 state = GetLe16(slot + 4);
                if (state == 2) {
                    o.U32(0);
                } else {
                    o.U16(static_cast<u16>(GetLe16(slot) | (state == 3 ? 0x8000 : 0)));
                    o.U16(GetLe16(slot + 2));
                }
            } else {
                o.U32(0);
            }
            return true;
        }
        case 30: {
            // No AS-i master in this controller: empty profiles.
            if (o.room - o.n <= 255) return false;
            std::memset(o.p + o.n, 0, 256);
            o.n += 256;
            return true;
        }
        case 32: return TypeDefinitions(o, db, index);
        case 33: return SfcStep(o, db, index, true);
        default: return false;
    }
}

}  // namespace

void Q4VMSrv_Reset() {
    if (g.cursor.phase == 2) Q4Bdll_StopEnumerate();
    g = State{};
}

u32 Q4VM_ReadObjects(u8* db, const u8* list, u32 length, u8* out) {
    if (length < 1) return 0;
    Out o{out + 1, kVmSrvObjectRoom};
    const u32 count = list[0];
    u32 at = 1, answered = 0;
    for (u32 k = 0; k < count; ++k) {
        if (length - at < 3 || o.room - o.n <= 3) return 0;
        u8 kind = list[at];
        u16 index = GetBe16(list + at + 1);
        at += 3;
        const u8* ctAt = nullptr;
        u8 head[3] = {kind, static_cast<u8>(index >> 8), static_cast<u8>(index)};
        if (kind == 31) {
            // Address prefix: sub-kind and a CT byte offset.
            u32 ctBytes = 0;
            u8* ct = db ? Q4VM_AreaPtr(db, kDbCtSegment, &ctBytes) : nullptr;
            if (length - at < 3 || !ct || ctBytes == 0) return 0;
            const u8 sub = static_cast<u8>(index >> 8);
            const u32 off = (static_cast<u32>(static_cast<u8>(index)) << 24) | (static_cast<u32>(list[at]) << 16) |
                            (static_cast<u32>(list[at + 1]) << 8) | list[at + 2];
            at += 3;
            static constexpr u8 kWidth[] = {1, 2, 4, 8, 4};  // kinds 9..13
            if (sub >= 9 && sub <= 13) {
                if (off >= ctBytes || ctBytes - off < kWidth[sub - 9]) return 0;
                ctAt = ct + off;
            }
            kind = sub;
            index = 0;
            head[0] = sub;
            head[1] = head[2] = 0;
        }
        o.Bytes(head, 3);
        if (!Object(o, db, kind, index, ctAt)) return 0;
        ++answered;
        // Descriptions continue while the request ends here.
        if (kind == 28 && k + 1 == count && answered < kMaxObjects && Q4Map_GetDescLength(db, index) > 12) {
            for (u16 next = static_cast<u16>(index + 1); answered < kMaxObjects; ++next) {
                const u32 len = Q4Map_GetDescLength(db, next);
                if (len == 0 || len + 14 > o.room - o.n) break;
                o.U8(28);
                o.U16(next);
                o.n += Q4Map_GetDesc(db, next, o.p + o.n);
                ++answered;
                if (len == 12) break;
            }
        }
    }
    out[0] = static_cast<u8>(answered);
    return o.n + 1;
}

int Q4VM_Execute(u8* db, const u8* words, u32 length) {
    u8* st = St(db);
    if (!st) return 0;
    u32 bytes = 0;
    u8* buf = Q4VM_AreaPtr(db, kDbExecBuffer, &bytes);
    const u32 fill = GetLe16(st + kVmStExecLength);
    if (!buf || length % 2 || fill > bytes || bytes - fill < length + 2) return 5;
    // The whole queue as it would run is checked before anything is added.
    std::vector<u8> queued(buf, buf + fill);
    for (u32 k = 0; k < length; k += 2) {
        queued.push_back(words[k + 1]);
        queued.push_back(words[k]);
    }
    queued.push_back(static_cast<u8>(kEndWord));
    queued.push_back(0);
    if (Q4VMTic_Verify(db, queued.data(), static_cast<u32>(queued.size()), 0) != 0) return kVmErrCodeInvalid;
    std::memcpy(buf, queued.data(), queued.size());
    PutLe16(st + kVmStExecLength, static_cast<u16>(fill + length));
    return 0;
}

u32 Q4VM_SrvSubscribe(u8* db, const u8* list, u32 length, u8* out, int longForm) {
    if (!St(db) || length < 1) return 0;
    const u32 head = longForm ? 7 : 3, fixed = longForm ? 10 : 6;
    u32 at = 1, n = 1;
    u8 count = 0;
    for (u32 k = 0; k < list[0]; ++k) {
        if (length - at < fixed) break;
        const u8* it = list + at;
        const u8 w = it[fixed - 1];
        if (length - at - fixed < 2u * w) break;
        const u8 type = it[0];
        const u16 index = GetBe16(it + 1);
        const u32 ct = longForm ? GetBe32(it + 3) : 0;
        const u16 slot = GetBe16(it + head);
        // Values of the item's width, as the variable holds them.
        u8 pos[8] = {}, neg[8] = {};
        const bool values = w == 1 || w == 2 || w == 4 || w == 8;
        for (u32 b = 0; values && b < w; ++b) {
            pos[b] = it[fixed + w - 1 - b];
            neg[b] = it[fixed + 2 * w - 1 - b];
        }
        // Client slots 1..8 only: 0 would touch the application's public events.
        const u32 item = slot >= 1 && slot <= 8 ? Q4EA_RegisterChangeEvent(db, slot, type, index, 0, w ? pos : nullptr,
                                                                             w ? neg : nullptr, ct)
                                                : 0;
        std::memcpy(out + n, it, head);
        out[n + head] = item ? 0 : 1;
        n += head + 1;
        ++count;
        at += fixed + 2u * w;
    }
    out[0] = count;
    return n;
}

void Q4VM_SrvUnsubscribe(u8* db, const u8* list, u32 length, int longForm) {
    if (!St(db) || length < 1) return;
    const u32 size = longForm ? 9 : 5;
    for (u32 k = 0, at = 1; k < list[0] && length - at >= size; ++k, at += size) {
        const u8* it = list + at;
        const u16 slot = GetBe16(it + size - 2);
        if (slot >= 1 && slot <= 8)
            Q4EA_UnregisterChangeEvent(db, slot, it[0], GetBe16(it + 1), longForm ? GetBe32(it + 3) : 0);
    }
}

u32 Q4VM_SrvPollTable(u8* db, const u8* data, u32 length, u8* out) {
    u8* st = St(db);
    if (!st) {
        out[0] = 'E';
        return 1;
    }
    if (length < 11) {
        out[0] = 6;
        return 1;
    }
    const u8 table = data[0];
    const u32 offset = GetBe32(data + 1);
    const u16 len = GetBe16(data + 5);
    if (GetBe32(data + 7) != GetLe32(st + kQ4StAppWords + 4)) {
        out[0] = 'F';
        return 1;
    }
    const u8* base = nullptr;
    u32 size = 0;
    if (table < kVmDbTableCount) {
        base = Q4VM_AreaPtr(db, table, &size);
    } else if (table == 255) {
        base = db;
        size = Q4VM_GetTotalDBSize(db);
    } else if (table == 254) {
        const Q4Code& c = Q4VM_CodeOf(db);
        const u32 dir = Q4Code_Header(c, kQ4HdrInitDir);
        const u32 caps = dir ? Q4Code_U32(c, dir + kQ4InitStringCaps) : 0;
        u32 strBuf = 0;
        const u32 count = Q4VMCode_GetNbString(c, &strBuf) + 1u;
        if (caps && Q4Code_InRange(c, caps, 1)) {
            base = c.data + caps;
            size = c.size - caps < count ? c.size - caps : count;
        }
    }
    // Offsets and lengths stay inside the table.
    if (!base || len > kVmSrvPollMax || offset > size || size - offset < len) {
        out[0] = 6;
        return 1;
    }
    out[0] = 0;
    out[1] = table;
    PutBe32(out + 2, offset);
    PutBe16(out + 6, len);
    std::memcpy(out + 8, base + offset, len);
    return 8u + len;
}

u32 Q4VM_ServeEx(u8* db, const u8* req, u32 reqLength, u8* answer, u32 capacity, u16 port, u8* connected) {
    if (!answer || capacity < 8 + kVmSrvPollMax) return 0;
    answer[0] = reqLength ? req[0] : 0;
    answer[1] = kFail;
    PutBe16(answer + 2, 0);
    if (!req || reqLength < 4) return 4;
    const u8 command = req[1];
    const u32 declared = GetBe16(req + 2);
    if (declared > reqLength - 4) return 4;
    const u8* data = req + 4;
    u8* out = answer + 4;
    u8* st = St(db);
    const u32 password = st ? GetLe32(Q4VM_Private(db) + kVmPrivPassword) : 0;
    if (command == kVmSrvConnect) {
        const u32 given = declared >= 4 ? GetBe32(data) : 0;
        const bool ok = !st || password == 0 || given == password;
        if (connected) *connected = ok ? 1 : 0;
        PutBe16(out, port);
        std::memset(out + 2, 0, 4);
        answer[1] = ok ? 0 : kFail;
        PutBe16(answer + 2, 6);
        return 10;
    }
    // A protected application serves only a client that connected.
    if (st && password != 0 && !(connected && *connected)) return 4;
    u32 n = 0;
    u8 status = 0;
    switch (command) {
        case kVmSrvRead:
            n = Q4VM_ReadObjects(db, data, declared, out);
            status = n ? 0 : kFail;
            break;
        case kVmSrvExecute:
            status = Q4VM_Execute(db, data, declared) == 0 ? 0 : kFail;
            break;
        case kVmSrvSubscribe:
        case kVmSrvSubscribeLong:
            n = Q4VM_SrvSubscribe(db, data, declared, out, command == kVmSrvSubscribeLong);
            status = n ? 0 : kFail;
            break;
        case kVmSrvUnsubscribe:
        case kVmSrvUnsubscribeLong: Q4VM_SrvUnsubscribe(db, data, declared, command == kVmSrvUnsubscribeLong); break;
        case kVmSrvPollTable: n = Q4VM_SrvPollTable(db, data, declared, out); break;
        default: status = kFail; break;
    }
    answer[1] = status;
    PutBe16(answer + 2, static_cast<u16>(n));
    return 4 + n;
}

u32 Q4VM_Serve(u8* db, const u8* req, u32 reqLength, u8* answer, u32 capacity, u8* connected) {
    // The port as a workbench dials it, as discovery announces it.
    return Q4VM_ServeEx(db, req, reqLength, answer, capacity, static_cast<u16>(Q4EVSPORT() + Root_PortOffset()),
                        connected);
}
