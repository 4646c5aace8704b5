#include "iec/kernel/q4stfdate.h"

#include <cstdio>
#include <cstring>

#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4stfops.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"

namespace {

i32 Dint(const u8* p) { return static_cast<i32>(GetLe32(p)); }

// DINT result := f(the DINT inputs), stored when free.
int Dints(u8* db, const u16* ops, int n, u32 (*f)(const i32* in)) {
    u8* r = Q4Stf_D32(db, ops[0]);
    if (!r) return 0;
    i32 in[1] = {};
    for (int i = 0; i < n; ++i) {
        u8* p = Q4Stf_D32(db, ops[1 + i]);
        if (!p) return 0;
        in[i] = Dint(p);
    }
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, f(in));
    return 1;
}

u16 Flags(const u8* st) { return GetLe16(st + kQ4StFlags); }
void SetFlags(u8* st, u16 f) { PutLe16(st + kQ4StFlags, f); }

// A BOOL in, BOOL out control function: act(st, in) always runs; the result
// it answers is stored only when free.
int Control(u8* db, const u16* ops, u8 (*act)(u8* st, bool in)) {
    u8 *r = Q4Stf_D8(db, ops[0]), *in = Q4Stf_D8(db, ops[1]), *st = Q4VM_Status(db);
    if (!Q4Stf_All(r, in, st)) return 0;
    const u8 v = act(st, *in != 0);
    if (Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) *r = v;
    return 1;
}

}  // namespace

int Q4Stf_DtCurDate(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 0, [](const i32*) { return Q4RtClk_GetCurDateStamp(); });
}
int Q4Stf_DtCurTime(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 0, [](const i32*) { return Q4RtClk_GetCurTimeStamp(); });
}
int Q4Stf_DtDay(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0]) & 0xFF; });
}
int Q4Stf_DtMonth(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return (static_cast<u32>(v[0]) >> 8) & 0xFF; });
}
int Q4Stf_DtYear(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0]) >> 16; });
}
// Signed divisions truncating toward zero: a negative TIME gives negative fields.
int Q4Stf_DtHour(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0] / 3600000); });
}
int Q4Stf_DtMin(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0] / 60000 - (v[0] / 3600000) * 60); });
}
int Q4Stf_DtSec(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0] / 1000 - (v[0] / 60000) * 60); });
}
int Q4Stf_DtMs(u8* db, const u16* ops, u16) {
    return Dints(db, ops, 1, [](const i32* v) { return static_cast<u32>(v[0] % 1000); });
}

int Q4Stf_DayTime(u8* db, const u16* ops, u16) {
    u8* sel = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(Q4Tools_String(db, ops[0]), sel)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockString, ops[0])) return 1;
    const i32 s = Dint(sel);
    char text[32];
    Q4RtClk_GetString(s == 1 || s == 2 ? s : 0, text, sizeof text);
    Q4VMStr_AscForceC(db, ops[0], text);
    return 1;
}

int Q4Stf_DtFormat(u8* db, const u16* ops, u16) {
    if (!Q4Stf_All(Q4Tools_String(db, ops[0]), Q4Tools_String(db, ops[1]))) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockString, ops[0])) return 1;
    u32 date = 0, time = 0;
    Q4RtClk_GetCurDateTimeStamp(1, &date, &time, nullptr);
    Q4VMStr_DateFmt(db, ops[0], ops[1], date, time);
    return 1;
}

// The current program runs to its end; no program runs after it until the
// workbench resumes the application, as after its own pause.
int Q4Stf_CycleStop(u8* db, const u16* ops, u16) {
    return Control(db, ops, [](u8* st, bool in) -> u8 {
        if (in) SetFlags(st, static_cast<u16>(Flags(st) & ~(kVmFlagRunning | kVmFlagHalted)));
        return 1;
    });
}

// TRUE answers 0: the dispatcher stops the application without a log event.
int Q4Stf_FatalStop(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *in = Q4Stf_D8(db, ops[1]);
    if (!Q4Stf_All(r, in)) return 0;
    if (*in) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) *r = 0;
    return 1;
}

int Q4Stf_EnableEvents(u8* db, const u16* ops, u16) {
    return Control(db, ops, [](u8* st, bool in) -> u8 {
        const u16 f = Flags(st);
        SetFlags(st, in ? static_cast<u16>(f & ~kVmFlagEventsOff) : static_cast<u16>(f | kVmFlagEventsOff));
        return in ? 1 : 0;
    });
}

int Q4Stf_LogMessage(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *code = Q4Stf_D32(db, ops[1]), *arg = Q4Stf_D32(db, ops[2]),
       *data = Q4Stf_D32(db, ops[3]);
    if (!Q4Stf_All(r, code, arg, data)) return 0;
    // A full log loses the event; the function answers TRUE all the same.
    Q4VMLog_Push(db, static_cast<u16>(GetLe32(code)), static_cast<u16>(GetLe32(arg)), GetLe32(data));
    if (Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) *r = 1;
    return 1;
}

u32 Q4StfDate_FormatTrace(char* out, u32 cap, const char* fmt, u32 fmtLen, const i32 args[4]) {
    if (!out || cap == 0) return 0;
    u32 n = 0;
    auto put = [&](const char* s, u32 len) {
        for (u32 i = 0; i < len && n + 1 < cap; ++i) out[n++] = s[i];
    };
    u32 next = 0;  // next argument
    u32 i = 0;
    while (i < fmtLen && fmt[i]) {
        if (fmt[i] != '%') {
            put(fmt + i, 1);
            ++i;
            continue;
        }
        const u32 start = i++;
        if (i < fmtLen && fmt[i] == '%') {
            put("%", 1);
            ++i;
            continue;
        }
        // %[flags][width][.precision][length]conversion
        char spec[32] = "%";
        u32 s = 1;
        while (i < fmtLen && std::strchr("-+ #0", fmt[i]) && fmt[i] && s < 8) spec[s++] = fmt[i++];
        auto number = [&](u32* value) {
            bool any = false;
            *value = 0;
            while (i < fmtLen && fmt[i] >= '0' && fmt[i] <= '9') {
                if (*value < 100000) *value = *value * 10 + static_cast<u32>(fmt[i] - '0');
                ++i;
                any = true;
            }
            return any;
        };
        u32 width = 0, precision = 0;
        const bool hasWidth = number(&width);
        bool hasPrecision = false;
        if (i < fmtLen && fmt[i] == '.') {
            ++i;
            number(&precision);
            hasPrecision = true;
        }
        while (i < fmtLen && (fmt[i] == 'h' || fmt[i] == 'l')) ++i;
        const char conv = i < fmtLen ? fmt[i] : '\0';
        if (conv == '\0' || !std::strchr("diuxXo", conv)) {
            // Not an integer conversion: the sequence as written.
            put(fmt + start, i - start);
            continue;
        }
        ++i;
        // Widths and precisions beyond the line cannot show anyway.
        if (width > kQ4TraceLineBytes) width = kQ4TraceLineBytes;
        if (precision > kQ4TraceLineBytes) precision = kQ4TraceLineBytes;
        int len;
        if (hasWidth) len = std::snprintf(spec + s, sizeof spec - s, "%u", width), s += static_cast<u32>(len);
        if (hasPrecision) len = std::snprintf(spec + s, sizeof spec - s, ".%u", precision), s += static_cast<u32>(len);
        spec[s++] = conv;
        spec[s] = 0;
        const i32 v = next < 4 ? args[next] : 0;
        ++next;
        char piece[2 * kQ4TraceLineBytes + 16];
        len = (conv == 'd' || conv == 'i') ? std::snprintf(piece, sizeof piece, spec, v)
                                           : std::snprintf(piece, sizeof piece, spec, static_cast<u32>(v));
        if (len > 0) put(piece, static_cast<u32>(len) < sizeof piece ? static_cast<u32>(len) : sizeof piece - 1);
    }
    out[n] = 0;
    return n;
}

// Nothing at all happens while the result is locked.
int Q4Stf_Printf(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D8(db, ops[0]);
    const u8* fmt = Q4Tools_String(db, ops[1]);
    i32 args[4];
    for (int k = 0; k < 4; ++k) {
        u8* p = Q4Stf_D32(db, ops[2 + k]);
        if (!p) return 0;
        args[k] = Dint(p);
    }
    if (!Q4Stf_All(r, fmt)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    char line[kQ4TraceLineBytes];
    Q4StfDate_FormatTrace(line, sizeof line, Q4Str_GetText(fmt), Q4Str_GetLength(fmt), args);
    Q4EVSTRACE("%s", line);
    *r = 0;
    return 1;
}

namespace {
u32 SysInfo(u8* db, const u8* st, u32 code) {
    switch (code) {
        case 0: return GetLe32(st + kQ4StCycleTime);
        case 1: return GetLe32(st + kQ4StCycleTime) / 1000;
        case 2: return GetLe32(st + kVmStLastCycle);
        case 3: return GetLe32(st + kVmStLastCycle) / 1000;
        case 4: return GetLe32(st + kVmStMaxCycle);
        case 5: return GetLe32(st + kVmStMaxCycle) / 1000;
        case 6: return GetLe32(st + kVmStNow);
        case 7: return GetLe32(st + kVmStOverflows);
        case 8: return GetLe32(st + kVmStCycleCount);
        case 9: case 10: case 11: case 12: return GetLe32(st + kQ4StAppWords + 4 * (code - 9));
        case 13: return (GetLe16(st + kQ4StFlags) & kVmFlagStopped) ? 1 : 0;
        case 14: {
            Q4Heap* h = Q4VM_GetHeap(db);
            const i32 free = h ? Q4Heap_GetFreeSpace(h) : 0;  // a malloc heap answers -1
            return free > 0 ? static_cast<u32>(free) : 0;
        }
        case 15: return Q4VM_GetTotalDBSize(db);
        case 16: return GetLe32(st + kVmStSeconds);
        case 17: return (GetLe32(st + kQ4StOptions) & kVmOptChangeCycle) ? 1 : 0;
        case 18: return (GetLe32(st + kQ4StOptions) & kVmOptRetainLoaded) ? 1 : 0;
        case 19: return GetLe16(st + kVmStLockedCount);
        case 20: {
            u32 n = 0;
            for (u32 i = 0; i < 16; ++i) {
                const u16 state = GetLe16(st + kVmStBreakpoints + 8 * i + 4);
                if (state != kBreakFree && state != kBreakTrace) ++n;
            }
            return n;
        }
        default: return 0;
    }
}
}  // namespace

int Q4Stf_GetSysInfo(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *code = Q4Stf_D32(db, ops[1]), *st = Q4VM_Status(db);
    if (!Q4Stf_All(r, code, st)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, SysInfo(db, st, GetLe32(code)));
    return 1;
}

// Not supported: the application stops with event 17.
int Q4Stf_RegParGet(u8*, const u16*, u16) { return 0; }
int Q4Stf_RegParPut(u8*, const u16*, u16) { return 0; }
