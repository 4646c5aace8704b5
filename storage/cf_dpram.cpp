#include "storage/cf_dpram.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "storage/cf_api.h"
#include "storage/cfmgr.h"

namespace {

constexpr u32 kWordCountRead = 10, kWordCountWrite = 13;
constexpr size_t kNameLimit = 512;

u8& ReqToggle() { return dpram[kDpramFile]; }
u8& AckToggle() { return dpram[kDpramFile + 1]; }
bool Pending() { return ReqToggle() != AckToggle(); }
void PutWord(int n, u32 v) { PutLe32(dpram + kDpramFileBlock + 4 * n, v); }
u32 Word(int n) { return GetLe32(dpram + kDpramFileBlock + 4 * n); }
i32 Result() { return static_cast<i32>(GetLe32(dpram + kDpramFileResult)); }

// The name as it enters the mailbox: "/" becomes "\", a NUL or a space
// ends it. False when no end comes within 512 characters.
bool MailboxName(const char* src, std::string* out) {
    if (!src) return false;
    out->clear();
    for (size_t i = 0; i < kNameLimit; ++i) {
        char c = src[i];
        if (c == '\0' || c == ' ') return true;
        out->push_back(c == '/' ? '\\' : c);
    }
    return false;
}

// Appends ".csv" to a record transfer's name that has no CSV extension.
bool WithCsv(std::string* name) {
    if (name->find(".csv") != std::string::npos || name->find(".CSV") != std::string::npos) return true;
    if (name->size() + 4 >= kNameLimit) return false;
    *name += ".csv";
    return true;
}

void PutName(u32 offset, const std::string& name) {
    std::memcpy(dpram + offset, name.c_str(), name.size() + 1);
}

void PutPointers(const void* a, const void* b) {
    intptr_t pa = reinterpret_cast<intptr_t>(a), pb = reinterpret_cast<intptr_t>(b);
    std::memcpy(dpram + kDpramFilePointers, &pa, sizeof pa);
    std::memcpy(dpram + kDpramFilePointers + 8, &pb, sizeof pb);
}

i32 Post(u8 command, u8 channel) {
    dpram[kDpramFile + 2] = command;
    dpram[kDpramFile + 3] = channel;
    ReqToggle() = AckToggle() == 0 ? 1 : 0;
    return kDpramPending;
}

u32 ElementBytes(u32 type, u32 count) {
    u32 width = type < 9 ? CF_TypeWidth[type] : 8;
    return static_cast<u32>((static_cast<u64>(width) * count) / 8);
}

}  // namespace

i32 CF_DpramReadFile(u8 channel, CfDpramReadRequest* rq) {
    if (!rq) return kCfInvalid;
    bool record = (rq->word8 & 0xFFFF) == kCfMixedRead;
    if (channel & kDpramPoll) {
        if (Pending()) return kDpramPending;
        u32 done = Word(kWordCountRead);
        u32 bytes = record ? (rq->word8 >> 16) : ElementBytes(rq->type, done);
        if (rq->dest) std::memcpy(rq->dest, dpram + kDpramData, std::min(bytes, kDpramDataBytes));
        if (rq->countOut) *rq->countOut = done;
        return Result();
    }
    if (Pending()) return kDpramBusy;
    std::string name;
    if (!MailboxName(rq->name, &name)) return kCfInvalid;
    if (rq->mode == 1 && record && !WithCsv(&name)) return kCfInvalid;
    PutWord(0, rq->mode);
    PutWord(1, kDpramNameRead);
    PutWord(2, kDpramData);
    PutWord(3, rq->type);
    PutWord(4, rq->count);
    PutWord(5, kDpramFileBlock + 4 * kWordCountRead);
    PutWord(6, static_cast<u32>(rq->first));
    PutWord(7, 0);
    PutWord(8, rq->word8);
    PutWord(9, 0);
    PutPointers(rq->fieldList, nullptr);
    PutLe32(dpram + kDpramFieldListBytes, rq->fieldListBytes);
    PutWord(kWordCountRead, 0);
    PutName(kDpramNameRead, name);
    return Post(kDpramCmdRead, channel);
}

i32 CF_DpramWriteFile(u8 channel, CfDpramWriteRequest* rq) {
    if (!rq) return kCfInvalid;
    if (channel & kDpramPoll) {
        if (Pending()) return kDpramPending;
        if (rq->countOut) *rq->countOut = Word(kWordCountWrite);
        return Result();
    }
    if (Pending()) return kDpramBusy;
    bool record = (rq->word9 & 0xFFFF) == kCfMixedWrite;
    std::string name;
    if (!MailboxName(rq->name, &name)) return kCfInvalid;
    if (rq->mode == 1 && record && !WithCsv(&name)) return kCfInvalid;
    u32 bytes = record ? (rq->word10 >> 16) : ElementBytes(rq->type, rq->count);
    // The data area holds 8,192 bytes; more would run over the mailbox.
    if (bytes > kDpramDataBytes || (bytes && !rq->data)) return kCfInvalid;
    for (int i = 0; i < 14; ++i) PutWord(i, 0);
    PutWord(0, rq->mode);
    PutWord(2, kDpramData);
    PutWord(3, rq->type);
    PutWord(4, rq->count);
    PutWord(5, kDpramFileBlock + 4 * kWordCountWrite);
    PutWord(6, rq->perLine);
    PutWord(7, rq->formatBits);
    PutWord(8, rq->append);
    PutWord(9, rq->word9);
    PutWord(10, rq->word10);
    PutPointers(rq->record, rq->fieldList);
    PutLe32(dpram + kDpramFieldListBytes, 0);
    PutWord(1, kDpramNameWrite);
    PutWord(kWordCountWrite, 0);
    if (bytes) std::memcpy(dpram + kDpramData, rq->data, bytes);
    PutName(kDpramNameWrite, name);
    return Post(kDpramCmdWrite, channel);
}

namespace {

i32 TwoNames(u8 command, u8 channel, const char* first, const char* second) {
    if (channel & kDpramPoll) return Pending() ? kDpramPending : Result();
    if (Pending()) return kDpramBusy;
    std::string a, b;
    if (!MailboxName(first, &a) || !MailboxName(second, &b)) return kCfInvalid;
    PutWord(0, kDpramNameRename);
    PutWord(1, kDpramData);
    PutName(kDpramNameRename, a);
    PutName(kDpramData, b);
    return Post(command, channel);
}

}  // namespace

i32 CF_DpramRenameFile(u8 channel, const char* oldName, const char* newName) {
    return TwoNames(kDpramCmdRename, channel, oldName, newName);
}

i32 CF_DpramCopyFile(u8 channel, const char* source, const char* destination) {
    return TwoNames(kDpramCmdCopy, channel, source, destination);
}

i32 CF_DpramDeleteFile(u8 channel, const char* name) {
    if (channel & kDpramPoll) return Pending() ? kDpramPending : Result();
    if (Pending()) return kDpramBusy;
    std::string n;
    if (!MailboxName(name, &n)) return kCfInvalid;
    PutWord(0, kDpramNameDelete);
    PutName(kDpramNameDelete, n);
    return Post(kDpramCmdDelete, channel);
}

i32 CF_DpramFormatCard(u8 channel) {
    if (channel & kDpramPoll) return Pending() ? kDpramPending : Result();
    if (Pending()) return kDpramBusy;
    return Post(kDpramCmdFormat, channel);
}
