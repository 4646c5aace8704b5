#include "remote/msgcfg.h"

#include <algorithm>
#include <cstring>

#include "core/nvram.h"
#include "link/command.h"

namespace {

// Header fields shared by both sections.
constexpr u32 kHdrSize = 0, kHdrMagic = 4, kHdrBase = 8, kHdrContactBytes = 12, kHdrRxOff = 16, kHdrRxBytes = 20,
              kHdrTxOff = 24, kHdrTxBytes = 28, kHdrFiOff = 32, kHdrFiBytes = 36, kHdrPoolOff = 40,
              kHdrPoolBytes = 44;
// SMS section fields.
constexpr u32 kSmsCentreOff = 48, kSmsCentreLen = 52, kSmsPoll = 57, kSmsStatusReg = 60, kSmsStorageReg = 64,
              kSmsCentreSet = 68, kSmsPinSet = 69, kSmsInitMode = 70, kSmsPinOff = 72, kSmsPinLen = 76,
              kSmsPort = 92, kSmsMode = 93, kSmsPortOptions = 99;
constexpr u32 kCentreMax = 16, kPinMax = 4;
constexpr u32 kTicksPerSecond = 10000;

// Body offset designated by an offset field; false when it is outside the body.
bool Designated(const MsgBody& body, const MsgSection& s, u32 value, u32* out) {
    i64 pos = static_cast<i64>(s.start) + kMsgHeaderBytes + static_cast<i64>(value) - static_cast<i64>(s.base);
    if (pos < 0 || pos > static_cast<i64>(body.size)) return false;
    *out = static_cast<u32>(pos);
    return true;
}

bool TableIn(const MsgBody& body, u32 pos, u32 count, u32 recordBytes) {
    u64 end = static_cast<u64>(pos) + static_cast<u64>(count) * recordBytes;
    return end <= body.size;
}

// Copies a pool text of at most `max` characters as a terminated text; an
// absent, empty or longer text leaves it empty.
void PoolCopy(const MsgBody& body, const MsgSection& s, u32 offset, u32 length, u32 max, char* out) {
    out[0] = 0;
    const u8* text = nullptr;
    if (length == 0 || length > max || !MsgCfg_PoolText(body, s, offset, length, &text)) return;
    std::memcpy(out, text, length);
    out[length] = 0;
}

// An entry's {offset, length} must name a text inside the pool.
bool InPool(const MsgSection& s, u32 offset, u32 length) {
    return static_cast<u64>(offset) + length <= s.poolSize;
}

}  // namespace

MsgBody MsgCfg_StoredBody() {
    if ((NV_EditorFeatures & kFeatSms) == 0) return {};
    return {sms_table, std::min(sms_table_bl.Size(), sms_table_bl.capacity)};
}

u16 MsgCfg_StoredCrc() { return sms_table_bl.Crc(); }

MsgSection MsgCfg_Section(const MsgBody& body, u32 start, bool withLists) {
    MsgSection s;
    s.start = start;
    if (!body.Has(start, kMsgHeaderBytes)) return s;
    s.headerOk = true;
    s.size = body.U32(start + kHdrSize);
    s.magic = body.U32(start + kHdrMagic);
    s.base = body.U32(start + kHdrBase);
    s.contacts = start + kMsgHeaderBytes;
    s.contactCount = body.U32(start + kHdrContactBytes) / kContactBytes;
    s.receiveCount = body.U32(start + kHdrRxBytes) / kEntryBytes;
    s.transmitCount = body.U32(start + kHdrTxBytes) / kEntryBytes;
    bool ok = Designated(body, s, body.U32(start + kHdrRxOff), &s.receive) &&
              Designated(body, s, body.U32(start + kHdrTxOff), &s.transmit);
    ok = ok && TableIn(body, s.contacts, s.contactCount, kContactBytes) &&
         TableIn(body, s.receive, s.receiveCount, kEntryBytes) &&
         TableIn(body, s.transmit, s.transmitCount, kEntryBytes);
    s.poolSize = body.U32(start + kHdrPoolBytes);
    ok = ok && Designated(body, s, body.U32(start + kHdrPoolOff), &s.pool) && TableIn(body, s.pool, s.poolSize, 1);
    if (withLists && ok) {
        u32 fiBytes = body.U32(start + kHdrFiBytes);
        s.fieldItemCount = fiBytes / kFieldItemBytes;
        ok = Designated(body, s, body.U32(start + kHdrFiOff), &s.fieldItems) &&
             TableIn(body, s.fieldItems, 1, fiBytes);
        if (ok) {
            s.receiveLists = s.fieldItems + fiBytes;
            ok = TableIn(body, s.receiveLists, s.receiveCount, kFieldListBytes);
        }
        if (ok) {
            s.transmitLists = s.receiveLists + s.receiveCount * kFieldListBytes;
            ok = TableIn(body, s.transmitLists, s.transmitCount, kFieldListBytes);
        }
    }
    s.tablesOk = ok;
    return s;
}

bool MsgCfg_PoolText(const MsgBody& body, const MsgSection& s, u32 offset, u32 length, const u8** text) {
    if (!s.tablesOk || !InPool(s, offset, length) || !body.Has(s.pool + offset, length)) return false;
    *text = body.data + s.pool + offset;
    return true;
}

int SMSTableCheck(const MsgBody& body, const CfgSetUp& set) {
    const MsgSection& s = set.sms;
    if (!s.tablesOk) return 0;
    if (s.contactCount > kMsgMaxEntries || s.receiveCount > kMsgMaxEntries || s.transmitCount > kMsgMaxEntries)
        return 0;
    for (u32 i = 0; i < s.contactCount; ++i) {
        u32 e = s.contacts + i * kContactBytes;
        u32 length = body.U32(e + 4);
        if (length != 0 && !InPool(s, body.U32(e), length)) return 0;
    }
    const u32 tables[2][2] = {{s.receive, s.receiveCount}, {s.transmit, s.transmitCount}};
    for (const auto& t : tables) {
        for (u32 i = 0; i < t[1]; ++i) {
            u32 e = t[0] + i * kEntryBytes;
            if (!InPool(s, body.U32(e), body.U32(e + 4))) return 0;
        }
    }
    if (s.magic == kMagicSmv1) {
        for (u32 i = 0; i < s.receiveCount + s.transmitCount; ++i) {
            u32 e = s.receiveLists + i * kFieldListBytes;
            if (!InPool(s, body.U32(e), body.U32(e + 4))) return 0;
        }
    }
    return 1;
}

u32 SmsStructInit(const MsgBody& body, CfgSetUp* set) {
    *set = CfgSetUp{};
    if (body.size < kMsgHeaderBytes || body.U32(kHdrSize) < kMsgHeaderBytes) return kMagicNosm;
    u32 magic = body.U32(kHdrMagic);
    if (magic == kMagicNosm) return kMagicNosm;
    bool layout1 = magic == kMagicSmv1;
    set->sms = MsgCfg_Section(body, 0, layout1);
    if (!SMSTableCheck(body, *set)) return kMagicNosm;
    if (!layout1) return magic;

    const MsgSection& s = set->sms;
    u8 poll = body.U8(kSmsPoll);
    set->pollTicks = (poll == 0 ? 1u : poll) * kTicksPerSecond;
    set->statusRegister = body.U32(kSmsStatusReg);
    set->storageRegister = body.U32(kSmsStorageReg);
    if (body.U8(kSmsCentreSet) == 1)
        PoolCopy(body, s, body.U32(kSmsCentreOff), body.U32(kSmsCentreLen), kCentreMax, set->centre);
    if (body.U8(kSmsPinSet) == 1) PoolCopy(body, s, body.U32(kSmsPinOff), body.U32(kSmsPinLen), kPinMax, set->pin);
    set->atPort = static_cast<u8>(body.U8(kSmsPort) - 1);
    for (u32 i = 0; i < 5; ++i) set->comportCfg[i] = body.U8(kSmsMode + i);
    set->comportCfg[5] = static_cast<u8>(((body.U8(kSmsPortOptions) & 0x0F) << 4) | 1);
    set->initMode = body.U8(kSmsInitMode);
    switch (set->initMode) {
        case 1:
            set->initRequest = set->makerInit = 1;
            set->startDelay = 1;
            set->startDelayTicks = 15 * kTicksPerSecond;
            break;
        case 2: set->initRequest = 1; break;
        case 3: set->scriptInit = 1; break;
        default: break;
    }
    if (set->atPort == ProgrammingPort) Cmd_Override = 1;

    GsmRecordView gsm = MsgCfg_FindGsm(body);
    if (gsm.found && (gsm.U8(4) & 0x04) == 0) return kMagicNosm;
    return kMagicSmv1;
}

GsmRecordView MsgCfg_FindGsm(const MsgBody& body) {
    GsmRecordView v;
    v.body = body;
    u32 emailStart = body.U32(kHdrSize);
    for (u32 size : kGsmRecordSizes) {
        if (emailStart < kMsgHeaderBytes + size || body.U32(emailStart - size) != kMagicGsme) continue;
        v.found = true;
        v.start = emailStart - size;
        v.size = size;
        u32 poolSize = body.U32(kHdrPoolBytes);
        if (poolSize <= v.start) {
            v.poolStart = v.start - poolSize;
            v.poolSize = poolSize;
        }
        break;
    }
    return v;
}

bool GsmRecordView::Text(u32 offset, const u8** text, u32* length) const {
    if (!Has(offset, 4)) return false;
    u32 off = body.U16(start + offset);
    u32 len = body.U16(start + offset + 2);
    if (off + len > poolSize || !body.Has(poolStart + off, len)) return false;
    *text = body.data + poolStart + off;
    *length = len;
    return true;
}

bool MsgCfg_Changed(const MsgCfgStamp& stamp, u16 crc, u32 sectionSize) {
    return !stamp.seen || stamp.crc != crc || stamp.size != sectionSize;
}

namespace {
struct Current {
    MsgCfgStamp stamp;
    u32 magic = kMagicNosm;
    CfgSetUp set;
};
Current current;
}  // namespace

u32 MsgCfg_Current(const CfgSetUp** set) {
    MsgBody body = MsgCfg_StoredBody();
    u16 crc = MsgCfg_StoredCrc();
    u32 size = body.U32(0);
    if (body.size == 0) {
        current = Current{};
    } else if (MsgCfg_Changed(current.stamp, crc, size)) {
        current.magic = SmsStructInit(body, &current.set);
        current.stamp = {crc, size, true};
    }
    if (set != nullptr) *set = &current.set;
    return current.magic;
}

void MsgCfg_Reset() { current = Current{}; }
