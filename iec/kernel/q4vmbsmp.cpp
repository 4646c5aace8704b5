#include "iec/kernel/q4vmbsmp.h"

#include <cstring>

#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmtic.h"

namespace {

u8* Record(u8* db) {
    u32 bytes = 0;
    u8* r = db ? Q4VM_AreaPtr(db, kDbSampling, &bytes) : nullptr;
    return r && bytes >= kBsmpRecordBytes ? r : nullptr;
}

u16 Flags(const u8* r) { return GetLe16(r + kBsFlags); }
void SetFlag(u8* r, u16 f, bool on) {
    PutLe16(r + kBsFlags, static_cast<u16>(on ? (Flags(r) | f) : (Flags(r) & ~f)));
}

u32 Now(u8* db) { return GetLe32(Q4VM_Status(db) + kVmStNow); }

// A BOOL of the application; indexes were checked at the configuration.
u8 Bool(u8* db, u16 index) {
    const u8* p = Q4Tools_Element(db, kDbData8, index);
    return p && *p ? 1 : 0;
}

bool Edge(u8 last, u8 v, bool falling) { return v != last && (falling ? v == 0 : v == 1); }

void StampEnd(u8* r) {
    PutLe32(r + kBsEndDate, Q4RtClk_GetCurDateStamp());
    PutLe32(r + kBsEndTime, Q4RtClk_GetCurTimeStamp());
}

void StartRecording(u8* db, u8* r) {
    SetFlag(r, kBsRecording, true);
    if (GetLe32(r + kBsPeriod)) PutLe32(r + kBsBase, Now(db));
}

void Sample(u8* db, u8* r) {
    const u32 count = GetLe32(r + kBsCount) + 1;
    PutLe32(r + kBsCount, count);
    if (count == 0) PutLe32(r + kBsWraps, GetLe32(r + kBsWraps) + 1);
    u8 byte = 0;
    for (u32 i = 0; i < 8; ++i) {
        const u16 index = GetLe16(r + kBsSignals + 2 * i);
        if (index == 0) break;
        if (Bool(db, index)) byte = static_cast<u8>(byte | (1u << i));
    }
    u16 pos = GetLe16(r + kBsPosition);
    if (pos >= kBsmpSamples) pos = 0;
    r[kBsSamples + pos] = byte;
    ++pos;
    if (pos >= kBsmpSamples) {
        SetFlag(r, kBsFilled, true);
        if (Flags(r) & kBsStopWhenFull) {
            SetFlag(r, kBsRecording, false);
        } else {
            pos = 0;
        }
    }
    PutLe16(r + kBsPosition, pos);
}

// After a sample: the stop delay running, or the stop trigger watched.
void AfterSample(u8* db, u8* r) {
    const u32 period = GetLe32(r + kBsPeriod);
    if (GetLe32(r + kBsDelay) != 0) {
        const u32 left = GetLe32(r + kBsDelay), step = period ? period : 1;
        const u32 rest = left > step ? left - step : 0;
        PutLe32(r + kBsDelay, rest);
        if (rest == 0) {
            SetFlag(r, kBsRecording, false);
            StampEnd(r);
        }
        return;
    }
    const u16 trig = GetLe16(r + kBsStopTrig);
    if (trig == 0) return;
    const u8 v = Bool(db, trig);
    if (Edge(r[kBsLastStop], v, Flags(r) & kBsStopFalling)) {
        const u16 e = GetLe16(r + kBsStopDelay);
        if (e == 0) {
            SetFlag(r, kBsRecording, false);
            StampEnd(r);
        } else {
            PutLe32(r + kBsDelay, period ? static_cast<u32>(e) * period : e);
        }
    }
    r[kBsLastStop] = v;
}

}  // namespace

void Q4VMBsmp_ResetContent(u8* db, u16) {
    if (u8* r = Record(db)) std::memset(r, 0, kBsmpRecordBytes);
}

int Q4VMBsmp_Set(u8* db, u16, const u16* w, u32 count) {
    u8* r = Record(db);
    if (!r) return 1;
    std::memset(r, 0, kBsmpRecordBytes);
    if (!w || count < 8) return 1;
    const u32 n = w[7] < 8 ? w[7] : 8;
    if (count < 8 + n) return 1;
    // Every index must name a BOOL of the application (0: none).
    const VmDbDesc d8 = Q4VM_GetDesc(db, kDbData8);
    auto ok = [&](u16 index) { return index < d8.allocated; };
    if (!ok(w[3]) || !ok(w[4])) return 1;
    for (u32 i = 0; i < n; ++i)
        if (!ok(w[8 + i])) return 1;
    const u16 flags = static_cast<u16>(w[0] & ~(kBsRecording | kBsFilled | kBsStarted));
    PutLe32(r + kBsPeriod, (static_cast<u32>(w[1]) << 16) | w[2]);
    PutLe16(r + kBsStartTrig, w[3]);
    PutLe16(r + kBsStopTrig, w[4]);
    PutLe16(r + kBsStartDelay, w[5]);
    PutLe16(r + kBsStopDelay, w[6]);
    for (u32 i = 0; i < n; ++i) PutLe16(r + kBsSignals + 2 * i, w[8 + i]);
    PutLe16(r + kBsFlags, flags);
    r[kBsLastStart] = w[3] ? Bool(db, w[3]) : 0;
    r[kBsLastStop] = w[4] ? Bool(db, w[4]) : 0;
    if ((flags & kBsEnabled) && (flags & kBsStartNow)) SetFlag(r, kBsStarted | kBsRecording, true);
    if (GetLe32(r + kBsPeriod)) PutLe32(r + kBsBase, Now(db));
    return 0;
}

void Q4VMBsmp_Ctl(u8* db, u16, int start) {
    u8* r = Record(db);
    if (!r || !(Flags(r) & kBsEnabled)) return;
    if (start) {
        if (Flags(r) & kBsStarted) return;
        SetFlag(r, kBsStarted, true);
        StartRecording(db, r);
    } else if (Flags(r) & kBsRecording) {
        SetFlag(r, kBsRecording, false);
        StampEnd(r);
    }
}

void Q4VMBsmp_Activate(u8* db, u16) {
    u8* r = Record(db);
    if (!r || !(Flags(r) & kBsEnabled)) return;
    const u32 period = GetLe32(r + kBsPeriod), now = Now(db);
    const u16 startTrig = GetLe16(r + kBsStartTrig);
    if (startTrig && !(Flags(r) & kBsStarted)) {
        const u8 v = Bool(db, startTrig);
        if (!(Flags(r) & kBsRecording) && Edge(r[kBsLastStart], v, Flags(r) & kBsStartFalling)) {
            const u16 d = GetLe16(r + kBsStartDelay);
            if (d == 0) SetFlag(r, kBsRecording, true);
            else PutLe32(r + kBsDelay, period ? static_cast<u32>(d) * period : d + 1u);
            if (period) PutLe32(r + kBsBase, now);
            SetFlag(r, kBsStarted, true);
        }
        r[kBsLastStart] = v;
    }
    if (!(Flags(r) & kBsRecording)) {
        const u32 left = GetLe32(r + kBsDelay);
        if (!(Flags(r) & kBsStarted) || left == 0) return;
        u32 used = 1;
        if (period) {
            used = Q4VM_Elapsed(now, GetLe32(r + kBsBase));
            PutLe32(r + kBsBase, now);
        }
        const u32 rest = left > used ? left - used : 0;
        PutLe32(r + kBsDelay, rest);
        if (rest != 0) return;
        StartRecording(db, r);
        // With a period the first sample comes one period after the start.
        if (period) return;
    }
    if (period) {
        if (Q4VM_Elapsed(now, GetLe32(r + kBsBase)) < period) return;
        PutLe32(r + kBsBase, now);
    }
    Sample(db, r);
    if (Flags(r) & kBsRecording) AfterSample(db, r);
}

u32 Q4VMBsmp_GetSettingsSize(u8*, u16) { return kBsmpSettingsBytes; }
u32 Q4VMBsmp_GetDataSize(u8*, u16) { return kBsmpDataBytes; }

u32 Q4VMBsmp_GetSettings(u8* db, u16, u8* out) {
    u8* r = Record(db);
    std::memset(out, 0, kBsmpSettingsBytes);
    PutBe16(out, kBsmpSettingsBytes - 2);
    if (!r) return kBsmpSettingsBytes;
    PutBe16(out + 2, Flags(r));
    PutBe32(out + 4, GetLe32(r + kBsPeriod));
    PutBe16(out + 8, GetLe16(r + kBsStartDelay));
    PutBe16(out + 10, GetLe16(r + kBsStopDelay));
    PutBe16(out + 12, GetLe16(r + kBsStartTrig));
    PutBe16(out + 14, GetLe16(r + kBsStopTrig));
    for (u32 i = 0; i < 8; ++i) PutBe16(out + 16 + 2 * i, GetLe16(r + kBsSignals + 2 * i));
    return kBsmpSettingsBytes;
}

u32 Q4VMBsmp_GetData(u8* db, u16, u8* out) {
    u8* r = Record(db);
    std::memset(out, 0, kBsmpDataBytes);
    PutBe16(out, kBsmpDataBytes - 2);
    if (!r) return kBsmpDataBytes;
    if (Flags(r) & kBsRecording) StampEnd(r);
    PutBe32(out + 2, GetLe32(r + kBsWraps));
    PutBe32(out + 6, GetLe32(r + kBsCount));
    PutBe16(out + 10, Flags(r));
    PutBe16(out + 12, GetLe16(r + kBsPosition));
    PutBe32(out + 14, GetLe32(r + kBsEndDate));
    PutBe32(out + 18, GetLe32(r + kBsEndTime));
    std::memcpy(out + 22, r + kBsSamples, kBsmpSamples);
    return kBsmpDataBytes;
}
