#include "io/canopen_entries.h"

#include <cstring>

#include "io/canopen.h"
#include "io/canopen_od.h"
#include "io/canopen_sdo.h"
#include "io/canopen_service.h"
#include "ladder/ladder_operand.h"

namespace {

// Register access of the blocks: reads as an input group, writes as an
// output group of the dictionary.
constexpr u16 kReadIndex = 0xA000, kWriteIndex = 0xA480;
constexpr u32 kResultFirst = 0x400, kResultLast = 0x10030FFF;

// Functions of the instruction.
enum Fn : u8 { kDownload = 0, kUpload = 1, kNodeId = 2, kState = 3, kNmt = 4, kEmcyNode = 5, kEmcyAny = 6 };
constexpr u16 kInlineForm = 0x8000, kTokenForm = 0x10;
constexpr u8 kStateUnknown = 254;

// Who owns the block transfer or the armed EMCY reception: a key naming the
// block's status word (ladder: its register bit address; IEC: its address).
using Owner = u64;
constexpr Owner kNobody = 0;
Owner LadderOwner(u32 bitAddress) { return (1ull << 62) | bitAddress; }
Owner IecOwner(const u8* status) { return (2ull << 62) | reinterpret_cast<uintptr_t>(status); }

struct State {
    Owner transfer = kNobody;  // the block whose SDO request is pending
    Owner emcy = kNobody;      // the block that armed EMCY reception
    u16 instance[kCoSdoInstances] = {};
};
State g;

// --- SDO transfers, shared by the ladder and the IEC blocks --------------------

struct SdoCall {
    bool upload = false;
    bool ladder = true;
    bool operandsOk = true;
    u8 node = 0;
    u16 index = 0;
    u16 subindex = 0;
    u16 length = 0;  // download: bytes given; upload: bytes received
    u8 data[kCoBlockBufferBytes] = {};
    u32 abortCode = 0;
    bool abortWritten = false;  // the abort code output is to be written
    bool dataWritten = false;   // an upload's length and data are to be written
    Owner owner = kNobody;
};

enum class SdoEvent : u8 { kNone, kClientBusy, kStartFailed, kLocalOk, kLocalFailed, kSent, kDone, kAborted, kTimedOut,
                           kWaiting };

bool Running() { return CANOpen_NmtState() == kNmtOperational || CANOpen_NmtState() == kNmtPreOperational; }

void ReleaseTransfer(Owner owner) {
    if (g.transfer != kNobody && g.transfer == owner) {
        CoSdo_ClientClear();
        g.transfer = kNobody;
    }
}

// One call of an SDO block with the rung (or enable) true, given its status;
// answers the new status.
u16 SdoStep(u16 status, SdoCall& c, SdoEvent* ev) {
    *ev = SdoEvent::kNone;
    // The NMT master's own request is running.
    if (CoSdo_ClientPending() && g.transfer == kNobody) {
        *ev = SdoEvent::kClientBusy;
        return kCoBlockClientBusy;
    }
    if (status == kCoBlockIdle) {
        *ev = SdoEvent::kStartFailed;
        if (g.transfer != kNobody) return c.ladder ? kCoBlockOtherTransfer : kCoBlockRefused;
        c.abortCode = 0;
        c.abortWritten = true;
        if (!Running()) {
            c.abortCode = kSdoAbortState;
            return kCoBlockRefused;
        }
        if (!c.operandsOk || (c.node & 0x80) || c.subindex >= 255) return kCoBlockRefused;
        // Longer data than the buffer, or than an expedited transfer to
        // another node carries, is refused rather than cut.
        if (!c.upload && (c.length > kCoBlockBufferBytes || (c.node != 0 && c.length > kCoBlockRemoteMax)))
            return kCoBlockRefused;
        if (c.node == 0) {
            u16 length = c.length;
            const u32 code = CANOpenODAccess(c.index, static_cast<u8>(c.subindex), !c.upload, c.data, &length);
            if (code != 0) {
                c.abortCode = code;
                *ev = SdoEvent::kLocalFailed;
                return kCoBlockAborted;
            }
            if (c.upload) {
                c.length = length;
                c.dataWritten = true;
            }
            *ev = SdoEvent::kLocalOk;
            return kCoBlockDone;
        }
        if (!CANOpen_Master()) return kCoBlockNotMaster;
        const u32 toServer = 0x600u + c.node, toClient = 0x580u + c.node;
        const int sent =
            c.upload ? CoSdo_ClientUpload(toServer, toClient, c.index, static_cast<u8>(c.subindex), kCoBlockTimeoutTicks)
                     : CoSdo_ClientDownload(toServer, toClient, c.index, static_cast<u8>(c.subindex), c.data,
                                            static_cast<u8>(c.length), kCoBlockTimeoutTicks);
        if (!sent) return kCoBlockRefused;
        g.transfer = c.owner;
        *ev = SdoEvent::kSent;
        return kCoBlockBusy;
    }
    if (status == kCoBlockBusy) {
        if (g.transfer != c.owner) {
            *ev = SdoEvent::kTimedOut;
            return kCoBlockNoAnswer;
        }
        const CoSdoClientAnswer& a = CoSdo_ClientResult();
        if (a.arrived) {
            c.abortWritten = true;
            if (a.aborted) {
                c.abortCode = a.abortCode;
                *ev = SdoEvent::kAborted;
            } else {
                c.abortCode = 0;
                if (c.upload) {
                    c.length = a.length;
                    std::memcpy(c.data, a.data, a.length <= 4 ? a.length : 4);
                    c.dataWritten = true;
                }
                *ev = SdoEvent::kDone;
            }
            const u16 result = a.aborted ? kCoBlockAborted : kCoBlockDone;
            ReleaseTransfer(c.owner);  // clears the answer a refers to
            return result;
        }
        if (!CoSdo_ClientPending()) {
            g.transfer = kNobody;
            *ev = SdoEvent::kTimedOut;
            return kCoBlockNoAnswer;
        }
        *ev = SdoEvent::kWaiting;
        return kCoBlockBusy;
    }
    return status;
}

// --- register access of the ladder instruction -----------------------------------

bool ResultOk(u32 a) { return a >= kResultFirst && a <= kResultLast; }

bool ReadBits(u32 address, u32 bits, u32* v) { return CANOpenGetData(v, kReadIndex, bits, address) == 1; }
void WriteBits(u32 address, u32 bits, u32 v) { CANOpenSetData(v, kWriteIndex, bits, address); }

// Writes n bytes at a register bit address, 32 bits at a time.
void WriteBytes(u32 address, const u8* bytes, u32 n) {
    for (u32 k = 0; k < n; k += 4) {
        u8 chunk[4] = {};
        const u32 take = n - k < 4 ? n - k : 4;
        std::memcpy(chunk, bytes + k, take);
        WriteBits(address + 8 * k, 8 * take, GetLe32(chunk));
    }
}

bool ReadBytes(u32 address, u8* bytes, u32 n) {
    for (u32 k = 0; k < n; k += 4) {
        const u32 take = n - k < 4 ? n - k : 4;
        u32 v = 0;
        if (!ReadBits(address + 8 * k, 8 * take, &v)) return false;
        u8 chunk[4];
        PutLe32(chunk, v);
        std::memcpy(bytes + k, chunk, take);
    }
    return true;
}

// The decoded operands of one instruction.
struct Operands {
    u8 fn = 0;
    bool inlineForm = false;
    bool ok = true;  // every operand could be read
    u8 node = 0;
    u16 index = 0;
    u16 subindex = 0;
    u16 length = 0;
    u8 command = 0;
    u8 data[32] = {};
    // Outputs (register bit addresses).
    u32 status = 0, abort = 0, lengthOut = 0, dataOut = 0, result = 0;
    u32 instance = kCoSdoInstances;
};

// Inline operand: value word and flag word; a flag with a high byte is a
// constant, else the value is the bit address of a register of that width.
u32 InlineValue(const u16* code, u32& ip, u32 width, bool* ok, u8* flagLow = nullptr) {
    const u16 value = code[ip++], flag = code[ip++];
    if (flagLow) *flagLow = static_cast<u8>(flag);
    if (flag >> 8) return value;
    u32 v = 0;
    if (!ReadBits(value, width, &v)) *ok = false;
    return v;
}

// Words of the operands (the first word included) by form and function; 0
// for a function the inline form does not define.
u32 OperandWords(u16 first) {
    if (!(first & kInlineForm)) return (first & kTokenForm) ? 3 : 5;
    static constexpr u8 kInline[] = {16, 16, 2, 4, 6, 6, 4};
    const u8 fn = static_cast<u8>(first);
    return fn < sizeof kInline ? 1u + kInline[fn] : 0;
}

u32 RoutineWords(const u16* operands, u32 avail, bool) {
    if (avail == 0) return 0;
    const u32 n = OperandWords(operands[0]);
    return n <= avail ? n : 0;
}

// The function a register-form first word selects, or -1 for one that
// does nothing.
int RegisterFunction(u16 first) {
    const u8 f = static_cast<u8>(first);
    if (f <= kEmcyAny) return f;
    if (f == 0x10 || f == 0x11 || (f >= 0x14 && f <= 0x16)) return f & 0x0F;
    return -1;
}

// A register token: the register it names holds a byte offset v into the
// register memory; the operand is the bit address (v + 0x80) x 8.
bool TokenOperand(u16 token, u32* address) {
    if (token < kLadderBitFirst) return false;
    const u32 word = (token - kLadderBitFirst) / 16;
    if (!LadderWordValid(word, 2)) return false;
    const u64 a = (static_cast<u64>(LadderRegDword(word)) + 0x80) * 8;
    if (a > kResultLast) return false;
    *address = static_cast<u32>(a);
    return true;
}

// Reads the register-form parameter block P into o.
void RegisterParameters(u32 p, Operands& o) {
    u32 v = 0;
    auto read = [&](u32 offset, u32 bits) {
        if (!ReadBits(p + offset, bits, &v)) {
            o.ok = false;
            return 0u;
        }
        return v;
    };
    switch (o.fn) {
        case kDownload:
        case kUpload:
            o.node = static_cast<u8>(read(0, 8));
            o.index = static_cast<u16>(read(16, 16));
            o.subindex = static_cast<u16>(read(32, 8));
            if (o.fn == kDownload) {
                o.length = static_cast<u16>(read(48, 8) & 0x1F);
                if (o.ok && !ReadBytes(p + 64, o.data, o.length)) o.ok = false;
            }
            break;
        case kState:
        case kEmcyNode: o.node = static_cast<u8>(read(0, 8)); break;
        case kNmt:
            o.node = static_cast<u8>(read(0, 8));
            o.command = static_cast<u8>(read(16, 8));
            break;
        default: break;
    }
}

// Decodes the operands; ip is left behind them. False when the block does
// nothing (a function without effect or a result register out of range).
bool Decode(const u16* code, u32& ip, Operands& o) {
    const u16 first = code[ip++];
    o.inlineForm = (first & kInlineForm) != 0;
    if (!o.inlineForm) {
        const int fn = RegisterFunction(first);
        u32 p = 0, r = 0;
        if (first & kTokenForm) {
            const u16 tp = code[ip++], tr = code[ip++];
            if (fn < 0 || !TokenOperand(tp, &p) || !TokenOperand(tr, &r)) return false;
        } else {
            p = LadderLit2(code, ip);
            r = LadderLit2(code, ip);
            if (fn < 0) return false;
        }
        o.fn = static_cast<u8>(fn);
        if (!ResultOk(r)) return false;
        o.result = o.status = r;
        o.abort = r + 16;
        o.lengthOut = r + 48;
        o.dataOut = (o.fn == kEmcyNode || o.fn == kEmcyAny) ? r + 16 : r + 64;
        if (o.fn != kNodeId && o.fn != kEmcyAny) RegisterParameters(p, o);
        return true;
    }
    o.fn = static_cast<u8>(first);
    const u32 end = ip + OperandWords(first) - 1;
    bool ok = true;
    switch (o.fn) {
        case kDownload: {
            o.node = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.index = static_cast<u16>(InlineValue(code, ip, 16, &ok));
            o.subindex = static_cast<u16>(InlineValue(code, ip, 8, &ok));
            u8 dataConstant = 0;
            o.length = static_cast<u16>(InlineValue(code, ip, 8, &ok, &dataConstant) & 0x1F);
            const u32 data = LadderLit2(code, ip);
            if (dataConstant) {
                PutLe32(o.data, data);
                if (o.length > 4) ok = false;
            } else if (ok && !ReadBytes(data, o.data, o.length)) {
                ok = false;
            }
            o.status = LadderLit2(code, ip);
            o.abort = LadderLit2(code, ip);
            o.instance = code[ip];
            break;
        }
        case kUpload:
            o.node = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.index = static_cast<u16>(InlineValue(code, ip, 16, &ok));
            o.subindex = static_cast<u16>(InlineValue(code, ip, 8, &ok));
            o.status = LadderLit2(code, ip);
            o.abort = LadderLit2(code, ip);
            o.lengthOut = LadderLit2(code, ip);
            o.dataOut = LadderLit2(code, ip);
            o.instance = code[ip];
            break;
        case kNodeId: o.result = LadderLit2(code, ip); break;
        case kState:
            o.node = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.result = LadderLit2(code, ip);
            break;
        case kNmt:
            o.node = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.command = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.status = LadderLit2(code, ip);
            break;
        case kEmcyNode:
            o.node = static_cast<u8>(InlineValue(code, ip, 8, &ok));
            o.status = LadderLit2(code, ip);
            o.dataOut = LadderLit2(code, ip);
            break;
        case kEmcyAny:
            o.status = LadderLit2(code, ip);
            o.dataOut = LadderLit2(code, ip);
            break;
        default: return false;  // refused by the checker
    }
    ip = end;
    o.ok = ok;
    if (o.fn == kNodeId || o.fn == kState) return ResultOk(o.result);
    return ResultOk(o.status);
}

u16 ReadStatus(u32 address) {
    u32 v = kCoBlockIdle;
    return ReadBits(address, 16, &v) ? static_cast<u16>(v) : kCoBlockIdle;
}

// NMT state of a node for the state function and Q4_get_state; 254 when
// it cannot be told.
u8 NodeState(u8 node) {
    if (node == 0) return CANOpen_NmtState();
    if (!CANOpen_Master()) return kStateUnknown;
    const u8 s = CANOpen_NodeNmtState(node);
    return s == 0xFF ? kStateUnknown : s;
}

// The NMT command of a block from status 255: the new status and power.
u16 NmtStart(u8 node, u8 command, u8* power) {
    *power = 1;
    if (!CANOpen_Master()) return kCoBlockNotMaster;
    if (node & 0x80) return kCoBlockBadNode;
    if (CANOpenNMTSend(node, command)) return kCoBlockDone;
    *power = 0;
    return kCoBlockRefused;
}

u8 LadderSdo(Operands& o, u8 rung) {
    const Owner owner = LadderOwner(o.status);
    u16 status = ReadStatus(o.status);
    u8 power = 0;
    SdoCall c;
    if (!rung) {
        ReleaseTransfer(owner);
        status = kCoBlockIdle;
    } else {
        c.upload = o.fn == kUpload;
        c.ladder = true;
        c.operandsOk = o.ok;
        c.node = o.node;
        c.index = o.index;
        c.subindex = o.subindex;
        c.length = o.length;
        std::memcpy(c.data, o.data, sizeof o.data);
        c.owner = owner;
        SdoEvent ev;
        status = SdoStep(status, c, &ev);
        switch (ev) {
            case SdoEvent::kLocalOk:
            case SdoEvent::kDone:
            case SdoEvent::kAborted: power = 1; break;
            case SdoEvent::kNone: power = status == kCoBlockDone ? 1 : 0; break;
            default: power = 0; break;
        }
        if (c.abortWritten) WriteBits(o.abort, 32, c.abortCode);
        if (c.dataWritten) {
            WriteBits(o.lengthOut, 16, c.length);
            WriteBytes(o.dataOut, c.data, c.length);
        }
    }
    WriteBits(o.status, 16, status);
    if (o.inlineForm && o.instance < kCoSdoInstances) g.instance[o.instance] = status;
    return power;
}

u8 LadderEmcy(Operands& o, u8 rung) {
    const Owner owner = LadderOwner(o.status);
    u16 status = ReadStatus(o.status);
    u8 power = 0;
    if (!rung) {
        if (g.emcy == owner) {
            CoService_EmcyDisarm();
            g.emcy = kNobody;
        }
        status = kCoBlockIdle;
    } else if (status == kCoBlockIdle) {
        if (CoService_EmcyArmed()) {
            status = kCoBlockAlreadyArmed;
            power = o.fn == kEmcyNode ? 1 : 0;
        } else if (o.fn == kEmcyNode && (!o.ok || o.node < 1 || o.node > 127)) {
            status = kCoBlockBadNode;
        } else {
            CoService_EmcyArm(o.fn == kEmcyNode ? o.node : 0);
            g.emcy = owner;
            status = kCoBlockBusy;
        }
    } else if (status == kCoBlockBusy) {
        u8 node = 0, data[10] = {};
        if (g.emcy == owner && CoService_EmcyTake(&node, data + 2)) {
            g.emcy = kNobody;
            if (o.fn == kEmcyAny) {
                data[0] = node;
                WriteBytes(o.dataOut, data, 10);
            } else {
                WriteBytes(o.dataOut, data + 2, 8);
            }
            status = kCoBlockDone;
            power = 1;
        }
    } else {
        power = status == kCoBlockDone ? 1 : 0;
    }
    WriteBits(o.status, 16, status);
    return power;
}

const LadderRoutineRow kRow = {kCoLadderOpcode, kCoLadderOpcode, "CANOPEN", CANOpenLadrBlock, 1, {LOpd::kRoutine},
                               RoutineWords};

// --- IEC records -------------------------------------------------------------------

// The reference of parameter k of a record, checked to hold `bytes` inside
// the area; nullptr when it does not.
u8* Ref(CoIecArea a, const u8* record, u32 k, u32 bytes) {
    if (a.base == nullptr || record == nullptr) return nullptr;
    const u32 offset = static_cast<u32>(GetLe16(record + 4 * k)) << 16 | GetLe16(record + 4 * k + 2);
    if (offset > a.bytes || a.bytes - offset < bytes) return nullptr;
    return a.base + offset;
}

// Parameters of the SDO records.
enum SdoParam : u32 { kPNode, kPIndex, kPSub, kPStatus, kPAbort, kPUnused, kPLength, kPData };

int IecSdo(CoIecArea a, const u8* record, int enable, bool upload) {
    u8* node = Ref(a, record, kPNode, 1);
    u8* index = Ref(a, record, kPIndex, 2);
    u8* sub = Ref(a, record, kPSub, 2);
    u8* status = Ref(a, record, kPStatus, 2);
    u8* abort = Ref(a, record, kPAbort, 4);
    u8* length = Ref(a, record, kPLength, upload ? 1 : 2);
    if (!node || !index || !sub || !status || !abort || !length) return 0;
    const Owner owner = IecOwner(status);
    if (!enable) {
        ReleaseTransfer(owner);
        PutLe16(status, kCoBlockIdle);
        return 0;
    }
    SdoCall c;
    c.upload = upload;
    c.ladder = false;
    c.node = *node;
    c.index = GetLe16(index);
    c.subindex = GetLe16(sub);
    c.owner = owner;
    if (!upload) {
        c.length = GetLe16(length);
        // Longer than the SDO buffer: refused without copying.
        const u8* data = c.length <= kCoBlockBufferBytes ? Ref(a, record, kPData, c.length) : nullptr;
        if (data) {
            std::memcpy(c.data, data, c.length);
        } else {
            c.operandsOk = false;
        }
    }
    SdoEvent ev;
    const u16 s = SdoStep(GetLe16(status), c, &ev);
    PutLe16(status, s);
    if (c.abortWritten) PutLe32(abort, c.abortCode);
    if (c.dataWritten) {
        u8* out = Ref(a, record, kPData, c.length);
        *length = static_cast<u8>(out ? c.length : 0);
        if (out) std::memcpy(out, c.data, c.length);
    }
    switch (ev) {
        case SdoEvent::kNone: return s == kCoBlockDone ? 1 : 0;
        case SdoEvent::kLocalOk: return 1;
        case SdoEvent::kSent: return upload ? 1 : 0;
        case SdoEvent::kDone: return upload ? 0 : 1;
        case SdoEvent::kAborted: return 1;
        default: return 0;
    }
}

void IecEmcy(CoIecArea a, const u8* record, int enable, bool any) {
    u8* node = any ? nullptr : Ref(a, record, 0, 2);
    u8* status = Ref(a, record, any ? 0 : 1, 2);
    u8* data = Ref(a, record, any ? 1 : 2, 8);
    if ((!any && !node) || !status || !data) return;
    const Owner owner = IecOwner(status);
    if (!enable) {
        if (g.emcy == owner) {
            CoService_EmcyDisarm();
            g.emcy = kNobody;
        }
        PutLe16(status, kCoBlockIdle);
        return;
    }
    const u16 s = GetLe16(status);
    if (s == kCoBlockIdle) {
        const u16 n = any ? 0 : GetLe16(node);
        if (CoService_EmcyArmed()) {
            PutLe16(status, kCoBlockAlreadyArmed);
        } else if (!any && (n < 1 || n > 127)) {
            PutLe16(status, kCoBlockBadNode);
        } else {
            CoService_EmcyArm(static_cast<u8>(n));
            g.emcy = owner;
            PutLe16(status, kCoBlockBusy);
        }
    } else if (s == kCoBlockBusy && g.emcy == owner && CoService_EmcyTake(nullptr, data)) {
        g.emcy = kNobody;
        PutLe16(status, kCoBlockDone);
    }
}

}  // namespace

u8 CANOpenLadrBlock(const u16* code, u32& ip, u8 rung, bool) {
    Operands o;
    if (!Decode(code, ip, o)) return 0;
    switch (o.fn) {
        case kNodeId:
            if (!rung) return 0;
            WriteBits(o.result, 16, CANOpen_NodeId());
            return 1;
        case kState: {
            if (!rung || !o.ok) return 0;
            const u8 s = NodeState(o.node);
            if (s == kStateUnknown) return 0;
            WriteBits(o.result, 8, s);
            return 1;
        }
        case kNmt: {
            u16 status = ReadStatus(o.status);
            u8 power = 0;
            if (!rung) {
                status = kCoBlockIdle;
            } else if (status == kCoBlockIdle) {
                status = NmtStart(o.ok ? o.node : 0x80, o.command, &power);
            } else {
                power = status == kCoBlockDone ? 1 : 0;
            }
            WriteBits(o.status, 16, status);
            return power;
        }
        case kEmcyNode:
        case kEmcyAny: return LadderEmcy(o, rung);
        default: return LadderSdo(o, rung);
    }
}

const LadderRoutineRow* CANOpen_FindRow(u16 opcode) { return opcode == kCoLadderOpcode ? &kRow : nullptr; }

u16 CANOpen_InstanceStatus(u32 instance) { return instance < kCoSdoInstances ? g.instance[instance] : 0; }

u16 Q4_get_node_id() { return CANOpen_NodeId(); }

void Q4_get_state(CoIecArea a, const u8* record) {
    u8* node = Ref(a, record, 0, 1);
    u8* state = Ref(a, record, 1, 1);
    if (!node || !state) return;
    const u8 s = NodeState(*node);
    if (s != kStateUnknown) *state = s;
}

int Q4_set_nmt_state(CoIecArea a, const u8* record, int enable) {
    u8* node = Ref(a, record, 0, 1);
    u8* command = Ref(a, record, 1, 2);
    u8* status = Ref(a, record, 2, 2);
    if (!node || !command || !status) return 0;
    if (!enable) {
        PutLe16(status, kCoBlockIdle);
        return 0;
    }
    const u16 s = GetLe16(status);
    if (s != kCoBlockIdle) return s == kCoBlockDone ? 1 : 0;
    u8 power = 0;
    PutLe16(status, NmtStart(*node, static_cast<u8>(GetLe16(command)), &power));
    return power;
}

int Q4_canopen_sdo_read(CoIecArea a, const u8* record, int enable) { return IecSdo(a, record, enable, true); }
int Q4_canopen_sdo_write(CoIecArea a, const u8* record, int enable) { return IecSdo(a, record, enable, false); }

void Q4_canopen_rec_emrgency(CoIecArea a, const u8* record, int enable) { IecEmcy(a, record, enable, false); }
void Q4_canopen_rec_emrgency_any(CoIecArea a, const u8* record, int enable) { IecEmcy(a, record, enable, true); }

void CoEntries_Reset() { g = State{}; }
