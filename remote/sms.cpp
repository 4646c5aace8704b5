#include "remote/sms.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/nvram.h"
#include "platform/fpga.h"
#include "remote/gsmgprs.h"
#include "remote/modem.h"
#include "remote/msgfmt.h"
#include "storage/dbg_logger.h"

namespace {

constexpr u8 kLetterIdle = 'z', kLetterSend = '"', kLetterSendExt = 12, kLetterList = '%', kLetterListExt = 15,
             kLetterDelete = '\'';
constexpr u32 kSpacingTicks = 50000;   // 5 s between two send attempts
constexpr u32 kStorageBytes = 160;
constexpr u32 kTextMax = 512;          // characters of a message text
constexpr u32 kNumberMax = 20;         // characters of a number sent to
constexpr u32 kPending = 32;           // recipients of one message
constexpr u32 kSenderGroups = 32;
constexpr u32 kEntryMax = 512;         // characters of one list entry
constexpr u32 kRegisterNumber = 21;    // characters of a contact number held in registers
constexpr u32 kStartFlags = 256;

struct State {
    u32 magic = kMagicNosm;
    MsgCfgStamp stamp;
    CfgSetUp set;
    MsgBody body;
    SmsStatusRecord status;
    u8 answerPending = 0, initDone = 0, sendTurn = 0, receiveTurn = 0, startDelay = 0;
    GsmTimer timer, startTimer;
    u32 receivePasses = 0;
    u32 holdStart = 0;

    // Sending one text.
    bool gateClosed = false;
    u32 lastAttempt = 0;

    // Receive routine.
    u8 rxStep = 0;
    char list[kAtReplyBytes + 3] = {};
    AtItem deleteItem;
    SmsListEntry entry;
    u8 groups[kSenderGroups] = {};
    u32 groupCount = 0;
    AtItem answerNumber, answerText;

    // Transmit side.
    u32 txIndex = 0;
    u8 startFlags[kStartFlags] = {};
    u8 action = 0;
    u16 pending[kPending] = {};
    u32 pendingCount = 0;
    bool morePending = false;
    char text[kTextMax + 1] = {};
    AtItem number, message;
};
State g;

bool Internal() { return ExternalModem == 0; }
bool SignalUsable() { return at_status.signal >= 1 && at_status.signal <= 98; }
bool ModuleReady() { return (at_status.modemFlags & 0x01) != 0; }
u8 IdleLetter() { return Internal() && !ModuleReady() ? 0 : kLetterIdle; }

void WriteStatus() {
    if (g.set.statusRegister == 0) return;
    u8 raw[SmsStatusRecord::kBytes];
    g.status.Encode(raw);
    GSMPlcReg_Set(g.set.statusRegister, raw, SmsStatusRecord::kBytes * 8);
}

void ClearStorage() {
    static const u8 zeros[kStorageBytes] = {};
    if (g.set.storageRegister != 0) GSMPlcReg_Set(g.set.storageRegister, zeros, kStorageBytes * 8);
}

void Store(const char* prefix, const char* text, u32 length) {
    ClearStorage();
    if (g.set.storageRegister == 0) return;
    u8 raw[kStorageBytes] = {};
    u32 n = static_cast<u32>(std::strlen(prefix));
    std::memcpy(raw, prefix, n);
    u32 take = std::min(length, kStorageBytes - n);
    std::memcpy(raw + n, text, take);
    if (n + take > 0) GSMPlcReg_Set(g.set.storageRegister, raw, (n + take) * 8);
}

// Digits of a number without leading zeros (a "+" is not a digit).
u32 Digits(const char* text, u32 length, char* out, u32 capacity) {
    u32 n = 0;
    for (u32 i = 0; i < length && text[i] != 0; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') continue;
        if (n == 0 && c == '0') continue;
        if (n + 1 >= capacity) return 0;  // longer than any phone number: matches nothing
        out[n++] = c;
    }
    out[n] = 0;
    return n;
}

// A contact's number text: from the pool, or 21 characters from registers.
u32 ContactText(u32 index, char* out /* kRegisterNumber + 1 or more */, u32 capacity) {
    const MsgSection& s = g.set.sms;
    u32 e = s.contacts + index * kContactBytes;
    u32 length = g.body.U8(e + 4);
    out[0] = 0;
    if (length == 0) {
        u8 raw[kRegisterNumber] = {};
        if (!GSMPlcReg_Get(raw, g.body.U32(e), kRegisterNumber * 8)) return 0;
        u32 n = 0;
        while (n < kRegisterNumber && n + 1 < capacity && raw[n] != 0) {
            out[n] = static_cast<char>(raw[n]);
            ++n;
        }
        out[n] = 0;
        return n;
    }
    const u8* text = nullptr;
    if (!MsgCfg_PoolText(g.body, s, g.body.U32(e), length, &text)) return 0;
    u32 n = std::min(length, capacity - 1);
    std::memcpy(out, text, n);
    out[n] = 0;
    return n;
}

// The number to send to: digits, and "+" only as the first character kept.
// Empty when there is none or it does not fit the number buffer.
void BuildNumber(u32 contact, AtItem* item) {
    char text[256];
    u32 length = ContactText(contact, text, sizeof text);
    char out[kNumberMax + 1];
    u32 n = 0;
    for (u32 i = 0; i < length; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c == '+' && n == 0))) continue;
        if (n == kNumberMax) {
            n = 0;  // a number this long is no phone number: skipped
            break;
        }
        out[n++] = c;
    }
    out[n] = 0;
    item->Set(out);
}

u8 ContactGroup(u32 index) { return g.body.U8(g.set.sms.contacts + index * kContactBytes + 16); }

u32 EntryAt(u32 table, u32 index) { return table + index * kEntryBytes; }

void EndReceivePass() {
    g.rxStep = 0;
    g.sendTurn = 1;
}

void WriteTrigger(u32 entry, u8 value) { GSMPlcReg_Set(g.body.U32(entry + 12), &value, 1); }

void AdvanceTransmit() {
    if (++g.txIndex >= g.set.sms.transmitCount) {
        g.txIndex = 0;
        g.action = 0;
        g.receiveTurn = 1;
    }
}

// The message at the scan index has gone to its last recipient (or has none).
void EndMessage() {
    u32 e = EntryAt(g.set.sms.transmit, g.txIndex);
    g.startFlags[g.txIndex] = 0;
    WriteTrigger(e, 0);
    g.action = 0;
    g.pendingCount = 0;
    g.morePending = false;
    AdvanceTransmit();
}

void BuildText(u32 index) {
    const MsgSection& s = g.set.sms;
    u32 e = EntryAt(s.transmit, index);
    u32 length = std::min(g.body.U32(e + 4), kTextMax);
    const u8* text = nullptr;
    if (!MsgCfg_PoolText(g.body, s, g.body.U32(e), length, &text)) length = 0;
    std::memcpy(g.text, text, length);
    g.text[length] = 0;
    u32 l = s.transmitLists + index * kFieldListBytes;
    const u8* list = nullptr;
    u32 listLength = g.body.U32(l + 4);
    if (listLength != 0 && MsgCfg_PoolText(g.body, s, g.body.U32(l), listLength, &list))
        MsgFmt_Fill(g.text, length, list, listLength, g.body, s);
    g.message.Set(g.text);
}

// Takes the next pending recipient; false when its number is empty.
bool NextRecipient() {
    if (g.pendingCount == 0) return false;
    u32 contact = g.pending[--g.pendingCount];
    g.morePending = g.pendingCount != 0;
    BuildNumber(contact, &g.number);
    return g.number.length != 0;
}

}  // namespace

void SmsStatusRecord::Encode(u8* out) const {
    out[0] = 0;
    out[1] = flags;
    PutLe16(out + 2, signal);
    PutLe16(out + 4, rejected);
    PutLe16(out + 6, initCounters);
    PutLe16(out + 8, sent);
    PutLe16(out + 10, received);
}

void ptr_init(SmsStruct* s) {
    s->magic = &g.magic;
    s->answerPending = &g.answerPending;
    s->status = &g.status;
    s->initDone = &g.initDone;
    s->sendTurn = &g.sendTurn;
    s->receiveTurn = &g.receiveTurn;
    s->setUp = &g.set;
    s->startDelay = &g.startDelay;
}

int SmsConfig() { return 0; }

const SmsStatusRecord& Sms_Status() { return g.status; }

void Sms_Reset() { g = State{}; }

bool Sms_SameNumber(const char* contact, u32 contactLength, const char* sender, u32 senderLength) {
    char a[64], b[64];
    u32 na = Digits(contact, contactLength, a, sizeof a);
    u32 nb = Digits(sender, senderLength, b, sizeof b);
    if (na == 0 || nb == 0) return false;
    if (na == nb) return std::memcmp(a, b, na) == 0;
    const char* longer = na > nb ? a : b;
    const char* shorter = na > nb ? b : a;
    u32 nl = std::max(na, nb), ns = std::min(na, nb);
    return ns >= kSenderTailDigits && std::memcmp(longer + (nl - ns), shorter, ns) == 0;
}

bool Sms_FirstListed(const char* list, u32 length, SmsListEntry* entry) {
    *entry = SmsListEntry{};
    const char* end = list + length;
    auto find = [&](const char* from, const char* what) -> const char* {
        u32 n = static_cast<u32>(std::strlen(what));
        for (const char* p = from; p + n <= end; ++p)
            if (std::memcmp(p, what, n) == 0) return p;
        return nullptr;
    };
    const char* start = find(list, "\r\n");
    if (start == nullptr) start = list;
    const char* okEnd = find(start + 1 < end ? start + 1 : end, "OK\r\n");
    const char* stop = okEnd == nullptr ? end : okEnd;
    if (stop - start > static_cast<long>(kEntryMax)) stop = start + kEntryMax;
    const char* head = find(list, "+CMGL: ");
    if (head == nullptr) return false;
    // The index: every digit of it (a message 123 is not message 12).
    const char* p = head + 7;
    u32 n = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (n + 1 >= sizeof entry->index) return false;
        entry->index[n++] = *p++;
    }
    if (n == 0) return false;
    // The sender: between the quotes after the second comma of the entry.
    const char* q = head;
    int commas = 0;
    while (q < stop && commas < 2) {
        if (*q == ',') ++commas;
        ++q;
    }
    if (q < stop && *q == '"') ++q;
    u32 s = 0;
    while (q < stop && *q != '"' && *q != '\r' && s + 1 < sizeof entry->sender) entry->sender[s++] = *q++;
    // The text: the line after the entry's header line.
    const char* line = head;
    while (line < stop && *line != '\n') ++line;
    if (line < stop) ++line;
    u32 t = 0;
    while (line < stop && *line != '\r' && t + 1 < sizeof entry->text) entry->text[t++] = *line++;
    return true;
}

int SendSMSTelit(AtItem* number, AtItem* text) {
    u32 now = FPGA_GetFrt();
    if (g.gateClosed) {
        if (now - g.lastAttempt >= kSpacingTicks) g.gateClosed = false;
        return 0;
    }
    bool internal = Internal();
    if (internal && (!ModuleReady() || !SignalUsable())) return 0;
    u8 mine = internal ? kLetterSend : kLetterSendExt;
    if (at_status.letter == kLetterIdle) {
        for (AtSlot& slot : at_stack_data) slot = AtSlot{};
        at_stack_data[0].item = number;
        at_stack_data[1].item = text;
        at_status.linkFlags |= 0x02;
        at_status.linkFlags &= ~0x01;
        at_status.position = internal ? &at_cmd[kRowSendSms] : &at_cmd_ext[kExtRowSendSms];
        at_status.letter = mine;
        at_status.reply = at_status.replyBuffer;
        at_status.capacity = kAtReplyBytes;
        at_status.count = 0;
        at_status.engineState = kAtSend;
    } else if (at_status.letter != mine) {
        return 0;
    }
    u8 advanced = AT_Cmd_Handler(at_status.position);
    if (at_status.engineState == kAtSend && advanced != 0) {
        // The prompt came: the text follows.
        at_status.position += advanced;
        at_status.count = 0;
        return 0;
    }
    if (at_status.engineState != kAtDone) return 0;
    char line[32];
    std::snprintf(line, sizeof line, "SMS Status:%d,%d\n", at_status.result, 3);
    DBG_WriteLog(1, line);
    at_status.letter = IdleLetter();
    at_status.pollFlags ^= 0x02;
    at_status.linkFlags &= ~0x03;
    const u8 ctrlZ = 26;
    Send_AT_Command(1, &ctrlZ);
    int result = 1;
    if (at_status.result == kAtTimeout) {
        result = 2;
    } else if (at_status.result == kAtFail) {
        result = 3;
    } else {
        at_status.linkFlags &= ~0x04;
    }
    g.gateClosed = true;
    g.lastAttempt = FPGA_GetFrt();
    return result;
}

int ReceiveSMS(char* list) {
    bool internal = Internal();
    if (internal && (!ModuleReady() || !SignalUsable())) return 1;
    u8 mine = internal ? kLetterList : kLetterListExt;
    if (at_status.letter == kLetterIdle) {
        for (AtSlot& slot : at_stack_data) slot = AtSlot{};
        std::memset(list, 0, kAtReplyBytes + 1);
        at_status.position = internal ? &at_cmd[kRowListSms] : &at_cmd_ext[kExtRowListSms];
        at_status.letter = mine;
        at_status.reply = list;
        at_status.capacity = kAtReplyBytes;
        at_status.count = 0;
        at_status.engineState = kAtSend;
        return 1;
    }
    if (at_status.letter != mine) return static_cast<int>(at_status.letter);
    AT_Cmd_Handler(at_status.position);
    if (at_status.engineState != kAtDone) return 1;
    at_status.letter = IdleLetter();
    return 0;
}

int DeleteSMS(AtItem* index) {
    if (Internal() && !ModuleReady()) return 1;
    if (at_status.letter == kLetterIdle) {
        for (AtSlot& slot : at_stack_data) slot = AtSlot{};
        at_stack_data[0].item = index;
        at_status.position = &at_cmd[kRowDeleteSms];
        at_status.letter = kLetterDelete;
        at_status.reply = at_status.replyBuffer;
        at_status.capacity = kAtReplyBytes;
        at_status.count = 0;
        at_status.engineState = kAtSend;
        return 1;
    }
    if (at_status.letter != kLetterDelete) return 1;
    AT_Cmd_Handler(at_status.position);
    if (at_status.engineState != kAtDone) return 1;
    at_status.letter = IdleLetter();
    return 0;
}

void ReceiveSMSTelit() {
    const MsgSection& s = g.set.sms;
    if (s.receiveCount == 0) {
        g.receiveTurn = 0;
        g.sendTurn = 1;
        return;
    }
    switch (g.rxStep) {
        case 0:
            GSMTimer(g.timer, static_cast<i32>(g.set.pollTicks));
            g.rxStep = 1;
            break;
        case 1: {
            if (!GSMTimer(g.timer, 0) || ReceiveSMS(g.list) != 0) break;
            u32 length = static_cast<u32>(strnlen(g.list, kAtReplyBytes));
            if (length > 6) {
                g.rxStep = 2;
                g.sendTurn = 0;
            } else {
                EndReceivePass();
            }
            break;
        }
        case 2: {
            u32 length = static_cast<u32>(strnlen(g.list, kAtReplyBytes));
            bool found = Sms_FirstListed(g.list, length, &g.entry);
            std::memset(g.list, 0, sizeof g.list);
            if (!found) {
                EndReceivePass();
                break;
            }
            g.deleteItem.Set(g.entry.index);
            g.groupCount = 0;
            u32 senderLength = static_cast<u32>(std::strlen(g.entry.sender));
            for (u32 c = 0; c < s.contactCount; ++c) {
                char number[256];
                u32 n = ContactText(c, number, sizeof number);
                if (!Sms_SameNumber(number, n, g.entry.sender, senderLength)) continue;
                u8 group = ContactGroup(c);
                if (std::find(g.groups, g.groups + g.groupCount, group) != g.groups + g.groupCount) continue;
                if (g.groupCount < kSenderGroups) g.groups[g.groupCount++] = group;
            }
            ++g.status.received;
            if (g.groupCount == 0) {
                ++g.status.rejected;
                g.rxStep = 3;
            } else {
                g.sendTurn = 0;
                g.rxStep = 4;
            }
            break;
        }
        case 3:
            if (DeleteSMS(&g.deleteItem) == 0) EndReceivePass();
            break;
        case 4: {
            g.rxStep = 3;
            for (u32 k = 0; k < g.groupCount; ++k) {
                for (u32 i = 0; i < s.receiveCount; ++i) {
                    u32 e = EntryAt(s.receive, i);
                    if (g.body.U8(e + 9) != g.groups[k]) continue;
                    const u8* tmpl = nullptr;
                    u32 tmplLength = std::min<u32>(g.body.U32(e + 4), kTextMax);
                    if (!MsgCfg_PoolText(g.body, s, g.body.U32(e), tmplLength, &tmpl)) continue;
                    u32 l = s.receiveLists + i * kFieldListBytes;
                    const u8* list = nullptr;
                    u32 listLength = g.body.U32(l + 4);
                    if (listLength != 0 && !MsgCfg_PoolText(g.body, s, g.body.U32(l), listLength, &list))
                        listLength = 0;
                    char copy[kTextMax + 1];
                    std::memcpy(copy, tmpl, tmplLength);
                    copy[tmplLength] = 0;
                    if (!ParseSMS(copy, tmplLength, list, listLength, g.entry.text, sizeof g.entry.text, g.body, s,
                                  &g.answerPending))
                        continue;
                    Store("R-", g.entry.text, static_cast<u32>(std::strlen(g.entry.text)));
                    u8 one = 1;
                    GSMPlcReg_Set(g.body.U32(e + 12), &one, 1);
                    if (g.answerPending || g.body.U8(e + 8) == 1) {
                        g.answerNumber.Set(g.entry.sender);
                        g.answerText.Set("ACK");
                        g.rxStep = 5;
                    }
                    return;
                }
            }
            break;
        }
        case 5: {
            int r = SendSMSTelit(&g.answerNumber, &g.answerText);
            if (r == 0) break;
            // Only an answer that went out counts as sent.
            if (r == 1) ++g.status.sent;
            g.rxStep = 3;
            break;
        }
        default: g.rxStep = 0; break;
    }
}

void PrepareSMS() {
    const MsgSection& s = g.set.sms;
    if (s.transmitCount == 0) {
        g.receiveTurn = 1;
        g.sendTurn = 0;
        return;
    }
    if (g.txIndex >= s.transmitCount) g.txIndex = 0;
    u32 e = EntryAt(s.transmit, g.txIndex);
    if (g.action == 1) {
        int r = SendSMSTelit(&g.number, &g.message);
        if (r == 0) return;
        g.startFlags[g.txIndex] = 0;
        if (!g.morePending) WriteTrigger(e, 0);
        g.action = 0;
        if (r == 1) {
            g.status.flags &= static_cast<u8>(~0xC0);
            Store("", g.text, static_cast<u32>(std::strlen(g.text)));
            g.receiveTurn = 0;
            ++g.status.sent;
            return;
        }
        g.status.flags = static_cast<u8>(r == 2 ? (g.status.flags | 0xC0) : ((g.status.flags | 0x40) & ~0x80));
        WriteStatus();
        if (!g.morePending) AdvanceTransmit();
        return;
    }
    if (g.morePending) {
        g.receiveTurn = 0;
        if (NextRecipient()) {
            g.action = 1;
        } else if (!g.morePending) {
            EndMessage();  // the last recipient has no number: the message is over
        }
        return;
    }
    u8 trigger = 0;
    if (!GSMPlcReg_Get(&trigger, g.body.U32(e + 12), 1) || trigger == 0) {
        g.startFlags[g.txIndex] = 0;
        AdvanceTransmit();
        return;
    }
    if (g.startFlags[g.txIndex] != 0) {
        AdvanceTransmit();
        return;
    }
    // A message starts: its recipients (the first 32 of the group) and text.
    u8 group = g.body.U8(e + 8);
    g.pendingCount = 0;
    for (u32 c = 0; c < s.contactCount && g.pendingCount < kPending; ++c)
        if (ContactGroup(c) == group) g.pending[g.pendingCount++] = static_cast<u16>(c);
    if (g.pendingCount == 0) {
        EndMessage();
        return;
    }
    BuildText(g.txIndex);
    g.startFlags[g.txIndex] = 1;
    g.receiveTurn = 0;
    bool has = NextRecipient();
    if (has) {
        g.action = 1;
    } else if (!g.morePending) {
        EndMessage();
    }
}

void SMS_Start() {
    MsgBody body = MsgCfg_StoredBody();
    if ((NV_EditorFeatures & kFeatSms) == 0 || body.U32(0) < 100 || body.U32(4) == kMagicNosm) {
        g.magic = kMagicNosm;
        return;
    }
    u16 crc = MsgCfg_StoredCrc();
    if (g.magic == kMagicNosm || MsgCfg_Changed(g.stamp, crc, body.U32(0))) {
        g.status = SmsStatusRecord{};
        g.magic = SmsStructInit(body, &g.set);
        g.body = body;
        g.stamp = {crc, body.U32(0), true};
        g.initDone = 0;
        g.receiveTurn = 1;
        g.sendTurn = 0;
        g.rxStep = 0;
        g.action = 0;
        g.txIndex = 0;
        g.pendingCount = 0;
        g.morePending = false;
        g.startDelay = g.set.startDelay;
        if (g.startDelay) GSMTimer(g.startTimer, static_cast<i32>(g.set.startDelayTicks));
        if (g.magic != kMagicSmv1) return;
    }
    g.body = body;
    std::memset(g.startFlags, 0, sizeof g.startFlags);
    ClearStorage();
}

void SMS_Stop() {}

void SMS_Scanner() {
    if (g.magic != kMagicSmv1) return;
    if (CheckInit() == 0) {
        if (g.startDelay && GSMTimer(g.startTimer, 0)) g.startDelay = 0;
        // The initialisation-done flag is never set here (the modem cycle
        // initialises the modem itself), so the external modem is not given
        // up from this branch.
        if (g.initDone) {
            g.receivePasses = 0;
            u8 keep = 0;
            u32 keepBit = GSMGPRSInfo_St.keepConnectedBit;
            if (keepBit != 0 && GSMPlcReg_Get(&keep, keepBit, 1) && keep) return;
            GSMGPRSRsrcMngr(3, 4);
        }
        return;
    }
    if (g.receiveTurn) {
        g.sendTurn = 0;
        ReceiveSMSTelit();
        if (g.sendTurn) ++g.receivePasses;
    }
    g.status.signal = static_cast<u16>(CheckSigSt());
    WriteStatus();
    if (!g.sendTurn) return;
    g.receiveTurn = 0;
    PrepareSMS();
    if (g.receivePasses < 2 || !g.receiveTurn) return;
    u32 keepBit = GSMGPRSInfo_St.keepConnectedBit;
    u8 keep = 0;
    if (keepBit != 0 && GSMPlcReg_Get(&keep, keepBit, 1) && keep) {
        u32 now = FPGA_GetFrt();
        if (g.holdStart == 0) {
            g.holdStart = now == 0 ? 1 : now;
            return;
        }
        u16 hold = 0;
        if (GSMGPRSInfo_St.holdTimeRegister != 0) GSMPlcReg_Get(&hold, GSMGPRSInfo_St.holdTimeRegister, 16);
        if ((now - g.holdStart) / 10000 < hold) return;
        u8 zero = 0;
        GSMPlcReg_Set(keepBit, &zero, 1);
    }
    g.holdStart = 0;
    g.receivePasses = 0;
    GSMGPRSRsrcMngr(3, 4);
}
