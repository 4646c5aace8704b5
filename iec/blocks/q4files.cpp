#include "iec/blocks/q4files.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

Q4FilePeers q4FilePeers;

void Q4FilePeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, q4FilePeers, writeFile);
    NEIGHBOUR_REQUIRE(check, q4FilePeers, readFile);
    NEIGHBOUR_REQUIRE(check, q4FilePeers, renameFile);
    NEIGHBOUR_REQUIRE(check, q4FilePeers, fileAccess);
}

namespace {

// The instance that owns each family's channel (in-process identity only).
const u8* g_transferOwner = nullptr;
const u8* g_renameOwner = nullptr;
const u8* g_jobOwner = nullptr;
// Read data lands here first, so that the mailbox never writes past an array.
u8 g_bounce[kQ4CfDataBytes];

// Instance of the write and read blocks: the elements transferred (u32).
constexpr u32 kInstCount = 0;
constexpr u32 kWriteInstBytes = 56, kReadInstBytes = 44, kRenameInstBytes = 8;

// Bits of one element of a file data type (the mailbox's width table).
u32 FileWidthBits(u32 type) {
    static constexpr u8 kWidth[9] = {8, 16, 8, 32, 16, 16, 32, 32, 16};
    return type < 9 ? kWidth[type] : 8;
}

// The data operand of an IEC type: its storage and size in bytes, or none
// (TIME arrays and other types have none).
struct Data {
    u8* p = nullptr;
    u32 bytes = 0;
    u8* string = nullptr;  // a STRING operand: the VM string
};
Data DataOf(u8* db, u16 type, u16 index, u16 count) {
    Data d;
    if (type == kQ4TypeString) {
        d.string = Q4Tools_String(db, index);
        if (d.string) d.p = d.string + 2, d.bytes = Q4Str_GetMaxLength(d.string);
        return d;
    }
    const Q4TypeInfo* t = Q4Type_Info(type);
    if (!t || type == kQ4TypeTime || type == kQ4TypeComplex || t->size == 0 || count == 0) return d;
    d.p = Q4Fb_Array(db, type, index, count);
    if (d.p) d.bytes = static_cast<u32>(count) * t->size;
    return d;
}

// A file name from a STRING or from a byte array's NUL-terminated text
// (within its count); empty when the operand names nothing.
std::string NameOf(u8* db, const u16* ops, u16 k, bool fromArray) {
    if (!fromArray) {
        const u8* s = Q4Tools_String(db, ops[k]);
        return s ? std::string(Q4Str_GetText(s), Q4Str_GetLength(s)) : std::string();
    }
    const u16 n = ops[k + 1];
    const u8* a = n ? Q4Fb_Array(db, kQ4TypeUsint, ops[k], n) : nullptr;
    if (!a) return {};
    const void* nul = std::memchr(a, 0, n);
    return std::string(reinterpret_cast<const char*>(a), nul ? static_cast<size_t>(static_cast<const u8*>(nul) - a) : n);
}

// Operand positions of the four transfer blocks.
struct Layout {
    bool write, nameArray;
    u16 type = 0, enable = 1, format = 0, fileType = 0, name = 0, data = 0, count = 0, perLine = 0, mode = 0, flag = 0,
        status = 0, operands = 0;
};
constexpr Layout MakeLayout(bool write, bool nameArray) {
    Layout l{write, nameArray};
    const u16 a = nameArray ? 1 : 0;
    if (write) {
        l.format = 2, l.fileType = 3, l.name = 4, l.data = static_cast<u16>(5 + a), l.count = static_cast<u16>(7 + a);
        l.perLine = static_cast<u16>(8 + a), l.mode = static_cast<u16>(9 + a), l.flag = static_cast<u16>(10 + a);
        l.status = static_cast<u16>(11 + a);
    } else {
        l.fileType = 2, l.name = 3, l.perLine = static_cast<u16>(4 + a), l.count = static_cast<u16>(5 + a);
        l.data = static_cast<u16>(6 + a), l.mode = static_cast<u16>(8 + a), l.status = static_cast<u16>(9 + a);
    }
    l.operands = static_cast<u16>(l.status + 1);
    return l;
}

// The request of this execution; false (status 86) when the data does not
// fit the array or the data area.
bool Build(u8* db, const u16* ops, const Layout& l, const std::string& name, Q4CfRequest* rq, Data* d) {
    const u16 type = ops[l.type];
    *d = DataOf(db, type, ops[l.data], ops[l.data + 1]);
    if (!d->p) return false;
    rq->mode = static_cast<u32>(Q4Fb_Dint(db, ops[l.mode]));
    rq->name = name.c_str();
    rq->type = static_cast<u32>(Q4Fb_Dint(db, ops[l.fileType]));
    const i32 count = Q4Ctl_Int(db, ops[l.count]);
    const u32 elements = type == kQ4TypeString ? d->bytes : ops[l.data + 1];
    rq->count = count <= 0 ? 0 : std::min<u32>(static_cast<u32>(count), elements);
    const u64 bytes = (static_cast<u64>(rq->count) * FileWidthBits(rq->type) + 7) / 8;
    if (bytes > d->bytes || bytes > kQ4CfDataBytes) return false;
    if (l.write) {
        rq->data = d->p;
        rq->perLine = static_cast<u32>(Q4Ctl_Int(db, ops[l.perLine]));
        rq->format = static_cast<u32>(Q4Fb_Dint(db, ops[l.format]));
        rq->flag = Q4Fb_Bool(db, ops[l.flag]) ? 1 : 0;
    } else {
        rq->data = g_bounce;
        rq->perLine = static_cast<u32>(Q4Fb_Dint(db, ops[l.perLine]));
    }
    return true;
}

// The poll of a pending transfer; on completion the status carries the
// count, and read data is copied into the operand up to its size.
i32 Poll(u8* db, const u16* ops, const Layout& l, u8* inst, const std::string& name) {
    Q4CfRequest rq;
    Data d;
    const bool built = Build(db, ops, l, name, &rq, &d);
    u32 done = 0;
    rq.countOut = &done;
    rq.data = l.write ? rq.data : g_bounce;
    const i32 r = l.write ? q4FilePeers.writeFile(true, rq) : q4FilePeers.readFile(true, rq);
    if (r == kQ4CfPending) return r;
    PutLe32(inst + kInstCount, done);
    if (!l.write && built) {
        const u64 bytes = std::min<u64>((static_cast<u64>(done) * FileWidthBits(rq.type) + 7) / 8, d.bytes);
        std::memcpy(d.p, g_bounce, static_cast<size_t>(std::min<u64>(bytes, kQ4CfDataBytes)));
        if (d.string) d.string[1] = static_cast<u8>(std::min<u32>(done, Q4Str_GetMaxLength(d.string)));
    }
    return static_cast<i32>(static_cast<u32>(r) | (done << 16));
}

template <bool write, bool nameArray>
int Transfer(int command, u8* db, u8* inst, const u16* ops) {
    static constexpr Layout l = MakeLayout(write, nameArray);
    if (command == kFbInstanceInit) {
        g_transferOwner = nullptr;
        return 0;
    }
    return Q4Ctl_Run(command, write ? kWriteInstBytes : kReadInstBytes, inst, ops, l.operands, [&] {
        const u16 out = ops[l.status];
        if (!Q4Fb_Bool(db, ops[l.enable])) {
            if (g_transferOwner == inst) g_transferOwner = nullptr;
            Q4Fb_PutDint(db, out, kQ4CfDisabled);
            return;
        }
        if (!q4FilePeers.writeFile || !q4FilePeers.readFile) return;
        const std::string name = NameOf(db, ops, l.name, nameArray);
        if (g_transferOwner == nullptr) {
            Q4CfRequest rq;
            Data d;
            Q4Fb_PutDint(db, out, 0);
            if (!Build(db, ops, l, name, &rq, &d)) {
                Q4Fb_PutDint(db, out, kQ4CfRefused);
                return;
            }
            const i32 r = write ? q4FilePeers.writeFile(false, rq) : q4FilePeers.readFile(false, rq);
            Q4Fb_PutDint(db, out, r);
            if (r != kQ4CfPending) return;
            g_transferOwner = inst;
        } else if (g_transferOwner != inst) {
            Q4Fb_PutDint(db, out, kQ4CfBusy);
            return;
        }
        if (Q4Fb_Dint(db, out) == kQ4CfPending) Q4Fb_PutDint(db, out, Poll(db, ops, l, inst, name));
    });
}

}  // namespace

void Q4Files_Reset() {
    g_transferOwner = nullptr;
    g_renameOwner = nullptr;
    g_jobOwner = nullptr;
}

int Q4Ctl_WriteCf(int c, u8* db, u8*, u8* inst, const u16* ops) { return Transfer<true, false>(c, db, inst, ops); }
int Q4Ctl_WriteCf2(int c, u8* db, u8*, u8* inst, const u16* ops) { return Transfer<true, true>(c, db, inst, ops); }
int Q4Ctl_ReadCf(int c, u8* db, u8*, u8* inst, const u16* ops) { return Transfer<false, false>(c, db, inst, ops); }
int Q4Ctl_ReadCf2(int c, u8* db, u8*, u8* inst, const u16* ops) { return Transfer<false, true>(c, db, inst, ops); }

// enable, old name, new name (STRING); out status.
int Q4Ctl_RenameCf(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit) {
        g_renameOwner = nullptr;
        return 0;
    }
    return Q4Ctl_Run(command, kRenameInstBytes, inst, ops, 4, [&] {
        const u16 out = ops[3];
        if (!Q4Fb_Bool(db, ops[0])) {
            if (g_renameOwner == inst) g_renameOwner = nullptr;
            Q4Fb_PutDint(db, out, kQ4CfDisabled);
            return;
        }
        if (!q4FilePeers.renameFile) return;
        if (g_renameOwner == nullptr) {
            const std::string a = NameOf(db, ops, 1, false), b = NameOf(db, ops, 2, false);
            Q4Fb_PutDint(db, out, 0);
            const i32 r = q4FilePeers.renameFile(false, a.c_str(), b.c_str());
            Q4Fb_PutDint(db, out, r);
            if (r == kQ4CfPending) g_renameOwner = inst;
        } else if (g_renameOwner != inst) {
            Q4Fb_PutDint(db, out, kQ4CfBusy);
        } else if (Q4Fb_Dint(db, out) == kQ4CfPending) {
            Q4Fb_PutDint(db, out, q4FilePeers.renameFile(true, nullptr, nullptr));
        }
    });
}

namespace {

// The copy and delete instructions: opcode, a zero word, the status
// variable's reference (u32), for a copy a zero u32, then each name as its
// word count (u32) and its text, NUL-ended and padded to whole words.
constexpr u16 kOpCopy = 249, kOpDelete = 253;
constexpr u32 kCopyInstBytes = 294, kDeleteInstBytes = 290;
constexpr i32 kNameEmpty = 66;
// A DINT variable as a register bit address of the running application's
// 32-bit table.
u32 DintReference(u16 index) { return 0xC0000000u | (2u << 26) | index; }

void PutU32(u8*& p, u32 v) {
    PutLe16(p, static_cast<u16>(v));
    PutLe16(p + 2, static_cast<u16>(v >> 16));
    p += 4;
}

// Builds the instruction; false when the names do not fit the instance.
bool BuildJob(u8* inst, u32 bytes, bool copy, u16 status, const std::string& a, const std::string& b) {
    u32 need = 8 + (copy ? 4 : 0);
    auto words = [](const std::string& t) { return static_cast<u32>((t.size() + 2) / 2); };
    need += 4 + 2 * words(a) + (copy ? 4 + 2 * words(b) : 0);
    if (need > bytes) return false;
    std::memset(inst, 0, bytes);
    u8* p = inst;
    PutLe16(p, copy ? kOpCopy : kOpDelete);
    p += 4;
    PutU32(p, DintReference(status));
    if (copy) PutU32(p, 0);
    for (const std::string* t : {&a, copy ? &b : nullptr}) {
        if (!t) break;
        PutU32(p, words(*t));
        std::memcpy(p, t->data(), t->size());
        p += 2 * words(*t);
    }
    return true;
}

// One execution of the instruction; the engine writes a 16-bit status into
// the variable's low half, shown here as the DINT it stands for.
void RunJob(u8* db, u8* inst, u16 status, u8 power) {
    const u16* ip = reinterpret_cast<const u16*>(inst);
    q4FilePeers.fileAccess(ip, power);
    Q4Fb_PutDint(db, status, static_cast<i16>(static_cast<u16>(Q4Fb_Dint(db, status))));
}

// enable, name(s) (STRING); out status.
template <bool copy>
int Job(int command, u8* db, u8* inst, const u16* ops) {
    constexpr u32 size = copy ? kCopyInstBytes : kDeleteInstBytes;
    constexpr u16 kStatus = copy ? 3 : 2;
    if (command == kFbInstanceInit) {
        g_jobOwner = nullptr;
        return 0;
    }
    return Q4Ctl_Run(command, size, inst, ops, kStatus + 1, [&] {
        const u16 out = ops[kStatus];
        // The engine reaches the status through the running application.
        if (!q4FilePeers.fileAccess || db != pDB) return;
        if (!Q4Fb_Bool(db, ops[0])) {
            if (g_jobOwner == inst) {
                g_jobOwner = nullptr;
                RunJob(db, inst, out, 0);
            }
            Q4Fb_PutDint(db, out, kQ4CfDisabled);
            return;
        }
        if (g_jobOwner == nullptr) {
            const std::string a = NameOf(db, ops, 1, false), b = copy ? NameOf(db, ops, 2, false) : std::string("-");
            if (a.empty() || b.empty()) {
                Q4Fb_PutDint(db, out, kNameEmpty);
                return;
            }
            if (!BuildJob(inst, size, copy, out, a, b)) {
                Q4Fb_PutDint(db, out, kQ4CfRefused);
                return;
            }
            RunJob(db, inst, out, 1);
            if (Q4Fb_Dint(db, out) == kQ4CfPending) g_jobOwner = inst;
        } else if (g_jobOwner != inst) {
            Q4Fb_PutDint(db, out, kQ4CfBusy);
        } else if (Q4Fb_Dint(db, out) == kQ4CfPending) {
            RunJob(db, inst, out, 1);
        }
    });
}

}  // namespace

int Q4Ctl_CopyCf(int c, u8* db, u8*, u8* inst, const u16* ops) { return Job<true>(c, db, inst, ops); }
int Q4Ctl_DeleteCf(int c, u8* db, u8*, u8* inst, const u16* ops) { return Job<false>(c, db, inst, ops); }
