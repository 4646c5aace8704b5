#include "iec/ext/q4mbfb.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

static_assert(kMbmFrame + kQ4MBFrameBytes <= kMbmWaiting && kMbmHandle + 4 == kMbmBytes);

namespace {

// The serial port is one line for every RTU master: one exchange at a time,
// the others wait for it (their request edge is kept).
struct TcpSlave {
    const u8* inst;
    std::unique_ptr<Q4CSContext> cs;
};
struct State {
    const u8* rtuOwner = nullptr;
    std::vector<TcpSlave> tcpSlaves;  // the comm server of each open TCP slave instance
    std::vector<int> udpSockets;      // sockets the UDP slaves opened
};
State g;

// Operand positions of the two blocks.
enum : u16 { kOpType = 0, kOpEnable, kOpRequest, kOpSlave, kOpFunction, kOpReadAddr, kOpReadQty, kOpWriteAddr,
             kOpWriteQty, kOpData, kOpCount, kOpTimeout, kOpPortOrIp };

struct Kind {
    bool tcp;
    u16 classNumber;
    u16 operands;
    u16 ready;  // first output; done and error follow
};
constexpr Kind kRtu{false, 51, 16, 13};
constexpr Kind kTcp{true, 50, 17, 14};

int Handle(const u8* inst) { return static_cast<int>(static_cast<i32>(GetLe32(inst + kMbmHandle))); }
void SetHandle(u8* inst, int h) { PutLe32(inst + kMbmHandle, static_cast<u32>(static_cast<i32>(h))); }
u8* Frame(u8* inst) { return inst + kMbmFrame; }

void ReleasePort(const u8* inst) {
    if (g.rtuOwner == inst) g.rtuOwner = nullptr;
}

void CloseLine(const Kind& k, u8* inst) {
    int h = Handle(inst);
    if (k.tcp) {
        if (h >= 0) Q4Socket_CloseSocket(h);
        h = -1;
    } else {
        if (Q4Serial_IsValid(&h)) Q4Serial_Close(&h);
        ReleasePort(inst);
    }
    SetHandle(inst, -1);
    inst[kMbmWaiting] = 0;
}

void Fail(const Kind& k, u8* inst, u8 error) {
    CloseLine(k, inst);
    inst[kMbmError] = error;
    inst[kMbmState] = kMbmClosed;
}

void Finish(const Kind& k, u8* inst, u8 error) {
    inst[kMbmError] = error;
    inst[kMbmDone] = 1;
    inst[kMbmState] = kMbmReady;
    if (!k.tcp) ReleasePort(inst);
}

bool IsInt(u16 t) { return t == kQ4TypeInt || t == kQ4TypeUint; }
bool IsByte(u16 t) { return t == kQ4TypeSint || t == kQ4TypeUsint; }

struct Args {
    u32 slave, function, readAddr, readQty, writeAddr, writeQty, count;
    u16 type;
    u8* data;
};

Args Read(u8* db, const u16* ops) {
    Args a{};
    a.type = ops[kOpType];
    a.slave = static_cast<u32>(Q4Fb_Dint(db, ops[kOpSlave]));
    a.function = static_cast<u32>(Q4Fb_Dint(db, ops[kOpFunction]));
    a.readAddr = static_cast<u32>(Q4Fb_Dint(db, ops[kOpReadAddr]));
    a.readQty = static_cast<u32>(Q4Fb_Dint(db, ops[kOpReadQty]));
    a.writeAddr = static_cast<u32>(Q4Fb_Dint(db, ops[kOpWriteAddr]));
    a.writeQty = static_cast<u32>(Q4Fb_Dint(db, ops[kOpWriteQty]));
    a.count = ops[kOpCount];
    const Q4TypeInfo* t = (a.type & kQ4TypeExternal) ? nullptr : Q4Type_Info(a.type);
    a.data = t && t->size ? Q4Fb_Array(db, a.type, ops[kOpData], a.count) : nullptr;
    return a;
}

bool AddressOk(u32 a) { return a >= 1 && a <= 65536; }
bool QuantityOk(u32 q, u32 max, u32 count) { return q >= 1 && q <= max && q <= count; }

// The argument errors, in the order the block reports them.
u8 CheckArgs(const Args& a) {
    if (a.slave > 255) return kMbmErrSlave;
    bool addr = true, type = true, qty = true;
    switch (a.function) {
        case 1: case 2:
            addr = AddressOk(a.readAddr), type = a.type == kQ4TypeBool, qty = QuantityOk(a.readQty, 2000, a.count);
            break;
        case 3: case 4:
            addr = AddressOk(a.readAddr), type = IsInt(a.type), qty = QuantityOk(a.readQty, 125, a.count);
            break;
        case 5: addr = AddressOk(a.writeAddr), type = a.type == kQ4TypeBool, qty = a.writeQty == 1; break;
        case 6: addr = AddressOk(a.writeAddr), type = IsInt(a.type), qty = a.writeQty == 1; break;
        case 7: case 17: type = IsByte(a.type); break;
        case 15:
            addr = AddressOk(a.writeAddr), type = a.type == kQ4TypeBool, qty = QuantityOk(a.writeQty, 1968, a.count);
            break;
        case 16:
            addr = AddressOk(a.writeAddr), type = IsInt(a.type), qty = QuantityOk(a.writeQty, 120, a.count);
            break;
        case 23:
            addr = AddressOk(a.readAddr) && AddressOk(a.writeAddr), type = IsInt(a.type);
            qty = QuantityOk(a.writeQty, 121, a.count) && QuantityOk(a.readQty, 125, a.count);
            break;
        default: return kMbmErrFunction;
    }
    if (!addr) return kMbmErrAddress;
    if (!type) return kMbmErrType;
    if (!qty) return kMbmErrQuantity;
    // Functions 5 and 7/17 use the array too: it must exist.
    return a.data || a.function == 7 || a.function == 17 ? 0 : kMbmErrType;
}

// Builds the request into the instance's frame; answers its length.
u32 BuildFrame(const Kind& k, u8* inst, const Args& a) {
    u8* f = Frame(inst);
    u8* p = f + (k.tcp ? kQ4MBMbapBytes : 0);
    u32 n = 0;
    auto put16 = [&](u32 v) {
        PutBe16(p + n, static_cast<u16>(v));
        n += 2;
    };
    p[n++] = static_cast<u8>(a.slave);
    p[n++] = static_cast<u8>(a.function);
    PutLe16(inst + kMbmReadQuantity, static_cast<u16>(a.readQty));
    switch (a.function) {
        case 1: case 2: case 3: case 4: put16(a.readAddr - 1), put16(a.readQty); break;
        case 5: put16(a.writeAddr - 1), put16(a.data[0] ? 0xFF00 : 0); break;
        case 6: put16(a.writeAddr - 1), put16(GetLe16(a.data)); break;
        case 15: {
            put16(a.writeAddr - 1), put16(a.writeQty);
            u32 bytes = (a.writeQty + 7) / 8;
            p[n++] = static_cast<u8>(bytes);
            std::memset(p + n, 0, bytes);
            for (u32 i = 0; i < a.writeQty; ++i)
                if (a.data[i]) p[n + i / 8] |= static_cast<u8>(1u << (i % 8));
            n += bytes;
            break;
        }
        case 16: case 23:
            if (a.function == 23) put16(a.readAddr - 1), put16(a.readQty);
            put16(a.writeAddr - 1), put16(a.writeQty);
            p[n++] = static_cast<u8>(2 * a.writeQty);
            for (u32 i = 0; i < a.writeQty; ++i) put16(GetLe16(a.data + 2 * i));
            break;
        default: break;  // 7, 17: nothing after the function code
    }
    if (k.tcp) {
        // Transaction ids 0 and the one spelling "Q4" (the workbench's frame
        // mark) are never used.
        u16 t = static_cast<u16>(GetLe16(inst + kMbmTransaction) + 1);
        if (t == 0 || t == 0x5134) t = 1;
        PutLe16(inst + kMbmTransaction, t);
        Q4MBFram_PutMbap(f, t, n);
        return n + kQ4MBMbapBytes;
    }
    return Q4MBFram_AppendCrc(f, n);
}

// Checks a whole answer of n bytes and moves its data into the array;
// answers the error code.
u8 ParseFrame(const Kind& k, u8* inst, u32 n, const Args& a) {
    const u8* f = Frame(inst);
    if (!k.tcp && !Q4MBFram_CrcOk(f, n)) return kMbmErrCrc;
    const u8* p = f + (k.tcp ? kQ4MBMbapBytes : 0);
    const u32 pduLength = k.tcp ? n - kQ4MBMbapBytes : n - 2;
    if (pduLength < 3) return kMbmErrAnswerSize;
    const u8 function = p[1], bytes = p[2];
    if (function & 0x80) return bytes;
    // The byte count must agree with what arrived, never more.
    const bool whole = 3u + bytes <= pduLength;
    const u32 quantity = GetLe16(inst + kMbmReadQuantity);
    switch (function) {
        case 1: case 2: {
            if (a.type != kQ4TypeBool) return kMbmErrType;
            if (!whole || bytes != (quantity + 7) / 8 || quantity > a.count || !a.data) return kMbmErrAnswerSize;
            for (u32 i = 0; i < quantity; ++i) a.data[i] = (p[3 + i / 8] >> (i % 8)) & 1;
            return 0;
        }
        case 3: case 4: case 23: {
            if (!IsInt(a.type)) return kMbmErrType;
            if (!whole || bytes < 2 || bytes > 2 * a.count || !a.data) return kMbmErrAnswerSize;
            for (u32 i = 0; i < bytes / 2u; ++i) PutLe16(a.data + 2 * i, GetBe16(p + 3 + 2 * i));
            return 0;
        }
        case 5: case 6: case 15: case 16: return 0;
        case 7:
            if (!IsByte(a.type)) return kMbmErrType;
            if (!a.data || a.count < 1) return kMbmErrAnswerSize;
            a.data[0] = bytes;
            return 0;
        case 17:
            if (!IsByte(a.type)) return kMbmErrType;
            if (!whole || bytes <= 1 || bytes > a.count || !a.data) return kMbmErrAnswerSize;
            std::memcpy(a.data, p + 3, bytes);
            return 0;
        default: return kMbmErrFunction;
    }
}

void Open(const Kind& k, u8* db, u8* inst, const u16* ops) {
    inst[kMbmError] = 0;
    if (!k.tcp) {
        int h = -1;
        Q4Serial_Open(&h, "");
        SetHandle(inst, h);
        if (Q4Serial_IsValid(&h)) inst[kMbmState] = kMbmReady;
        else inst[kMbmError] = kMbmErrPort;
        return;
    }
    char ip[256] = {};
    if (const u8* s = Q4Tools_String(db, ops[kOpPortOrIp])) std::memcpy(ip, Q4Str_GetText(s), Q4Str_GetLength(s));
    const u16 port = static_cast<u16>(Q4Fb_Dint(db, ops[kOpPortOrIp + 1]));
    int sock = -1, pending = 0;
    if (Q4Socket_CreateConnectedSocket(ip, port, &sock, &pending) != 0) {
        inst[kMbmError] = kMbmErrPort;
        return;
    }
    SetHandle(inst, sock);
    inst[kMbmState] = pending ? kMbmConnecting : kMbmReady;
}

// Sends what is left of the frame; on completion starts waiting (or, for a
// serial broadcast, finishes).
void Send(const Kind& k, u8* db, u8* inst) {
    u32 length = GetLe16(inst + kMbmLength), pos = GetLe16(inst + kMbmPosition);
    int h = Handle(inst);
    u32 sent = 0;
    if (k.tcp) {
        int broken = 0;
        sent = Q4Socket_Send(h, length - pos, Frame(inst) + pos, &broken);
        if (broken) return Fail(k, inst, kMbmErrPort);
    } else {
        sent = Q4Serial_Send(&h, length - pos, Frame(inst) + pos);
    }
    pos += sent;
    PutLe16(inst + kMbmPosition, static_cast<u16>(pos));
    if (pos < length) {
        inst[kMbmState] = kMbmSending;
        return;
    }
    if (!k.tcp) {
        u8 drain[64];
        while (Q4Serial_Receive(&h, sizeof drain, drain) > 0) {}
        if (Frame(inst)[0] == 0) return Finish(k, inst, 0);  // a broadcast gets no answer
    }
    PutLe32(inst + kMbmSendTime, Q4Fb_Now(db));
    PutLe16(inst + kMbmPosition, 0);
    PutLe16(inst + kMbmLength, 0);
    inst[kMbmState] = kMbmAwaiting;
}

void Start(const Kind& k, u8* db, u8* inst, const u16* ops) {
    inst[kMbmWaiting] = 0;
    Args a = Read(db, ops);
    if (u8 e = CheckArgs(a)) {
        inst[kMbmError] = e;
        return;
    }
    if (!k.tcp) {
        if (g.rtuOwner && g.rtuOwner != inst) {
            inst[kMbmWaiting] = 1;  // the line is busy: start when it is free
            return;
        }
        g.rtuOwner = inst;
    }
    inst[kMbmError] = 0;
    PutLe16(inst + kMbmLength, static_cast<u16>(BuildFrame(k, inst, a)));
    PutLe16(inst + kMbmPosition, 0);
    Send(k, db, inst);
}

// Reads the answer; answers the whole answer's length once it is complete,
// else 0.
u32 Receive(const Kind& k, u8* inst) {
    u8* f = Frame(inst);
    u32 pos = GetLe16(inst + kMbmPosition), length = GetLe16(inst + kMbmLength);
    const u32 head = k.tcp ? kQ4MBMbapBytes : 3;
    int h = Handle(inst);
    for (int round = 0; round < 2; ++round) {
        const u32 want = pos < head ? head : length;
        u32 got = 0;
        if (k.tcp) {
            int broken = 0;
            got = Q4Socket_Receive(h, want - pos, f + pos, &broken);
            if (broken) {
                Fail(k, inst, kMbmErrPort);
                return 0;
            }
        } else {
            got = Q4Serial_Receive(&h, want - pos, f + pos);
        }
        pos += got;
        if (pos == head && length == 0) {
            length = k.tcp ? Q4MBFram_MbapFrameLength(f) : Q4MBFram_RtuAnswerLength(f);
            if (length == 0) {
                if (k.tcp) {
                    pos = 0;  // an impossible header is dropped
                } else {
                    Finish(k, inst, kMbmErrFunction);
                    return 0;
                }
            }
        }
        if (length && pos == length) break;
        if (got == 0) break;
    }
    PutLe16(inst + kMbmPosition, static_cast<u16>(pos));
    PutLe16(inst + kMbmLength, static_cast<u16>(length));
    if (length == 0 || pos < length) return 0;
    PutLe16(inst + kMbmPosition, 0);
    PutLe16(inst + kMbmLength, 0);
    if (k.tcp && GetBe16(f) != GetLe16(inst + kMbmTransaction)) return 0;  // another exchange's answer
    return length;
}

void Execute(const Kind& k, u8* db, u8* inst, const u16* ops) {
    const bool enable = Q4Fb_Bool(db, ops[kOpEnable]);
    const bool request = Q4Fb_Bool(db, ops[kOpRequest]);
    const bool enableEdge = enable && !inst[kMbmPrevEnable];
    const bool requestEdge = request && !inst[kMbmPrevRequest];
    if (!enable && inst[kMbmState] != kMbmClosed) {
        CloseLine(k, inst);
        inst[kMbmError] = 0;
        inst[kMbmState] = kMbmClosed;
    }
    if (!enable) inst[kMbmWaiting] = 0;
    switch (inst[kMbmState]) {
        case kMbmClosed:
            inst[kMbmDone] = 0;
            if (enableEdge) Open(k, db, inst, ops);
            break;
        case kMbmConnecting: {
            inst[kMbmDone] = 0;
            int broken = 0;
            if (Q4Socket_CheckPendingConnect(Handle(inst), &broken) == 0) inst[kMbmState] = kMbmReady;
            else if (broken) Fail(k, inst, kMbmErrPort);
            break;
        }
        case kMbmReady:
            if (requestEdge) inst[kMbmDone] = 0;
            if (requestEdge || (inst[kMbmWaiting] && !g.rtuOwner)) Start(k, db, inst, ops);
            break;
        case kMbmSending: Send(k, db, inst); break;
        case kMbmAwaiting: {
            u32 timeout = Q4Fb_Time(db, ops[kOpTimeout]);
            if (Q4VM_Elapsed(Q4Fb_Now(db), GetLe32(inst + kMbmSendTime)) > timeout) {
                Finish(k, inst, kMbmErrTimeout);
                break;
            }
            if (u32 n = Receive(k, inst)) Finish(k, inst, ParseFrame(k, inst, n, Read(db, ops)));
            break;
        }
        default: Fail(k, inst, kMbmErrPort); break;
    }
    Q4Fb_PutBool(db, ops[k.ready], inst[kMbmState] > kMbmConnecting);
    Q4Fb_PutBool(db, ops[k.ready + 1], inst[kMbmDone] && inst[kMbmError] == 0);
    Q4Fb_PutDint(db, ops[k.ready + 2], inst[kMbmError]);
    inst[kMbmPrevEnable] = enable ? 1 : 0;
    inst[kMbmPrevRequest] = request ? 1 : 0;
}

int Block(const Kind& k, int command, u8* db, u8* inst, const u16* ops) {
    if (inst) {
        switch (command) {
            case kFbInstanceInit:
                std::memset(inst, 0, kMbmBytes);
                SetHandle(inst, -1);
                break;
            case kFbInstanceEnd: CloseLine(k, inst); break;
            case kFbHotInit: {
                const u8* st = Q4VM_Status(db);
                if (st && (GetLe16(st + kQ4StFlags) & 0x10)) break;
                // The descriptor of the earlier run is not ours any more.
                SetHandle(inst, -1);
                ReleasePort(inst);
                inst[kMbmWaiting] = 0;
                if (k.tcp || inst[kMbmState] == kMbmClosed) {
                    inst[kMbmState] = kMbmClosed;
                } else {
                    int h = -1;
                    Q4Serial_Open(&h, "");
                    SetHandle(inst, h);
                    if (Q4Serial_IsValid(&h)) {
                        inst[kMbmState] = kMbmReady;
                    } else {
                        inst[kMbmError] = kMbmErrPort;
                        inst[kMbmState] = kMbmClosed;
                    }
                }
                break;
            }
            default: break;
        }
    }
    return Q4Fb_Run({k.classNumber, kMbmBytes, true}, command, inst, ops, k.operands,
                    [&] { Execute(k, db, inst, ops); });
}

}  // namespace

int Q4MbFb_MasterTcp(int command, u8* db, u8*, u8* inst, const u16* ops) { return Block(kTcp, command, db, inst, ops); }
int Q4MbFb_MasterRtu(int command, u8* db, u8*, u8* inst, const u16* ops) { return Block(kRtu, command, db, inst, ops); }

namespace {

// --- Slaves --------------------------------------------------------------------

std::string Text(u8* db, u16 op) {
    const u8* s = Q4Tools_String(db, op);
    return s ? std::string(Q4Str_GetText(s), Q4Str_GetLength(s)) : std::string();
}

bool ServerExists(u8* db, const char* name) {
    Q4MBView v;
    return Q4MB_View(db, &v) && Q4MB_FindServer(v, name) != nullptr;
}

Q4CSContext* TcpContext(const u8* inst, bool make) {
    for (TcpSlave& t : g.tcpSlaves)
        if (t.inst == inst) return t.cs.get();
    if (!make) return nullptr;
    g.tcpSlaves.push_back({inst, std::make_unique<Q4CSContext>()});
    return g.tcpSlaves.back().cs.get();
}

void TcpClose(u8* inst) {
    for (size_t k = 0; k < g.tcpSlaves.size(); ++k)
        if (g.tcpSlaves[k].inst == inst) {
            Q4CS_Close(g.tcpSlaves[k].cs.get());
            g.tcpSlaves.erase(g.tcpSlaves.begin() + static_cast<long>(k));
            break;
        }
    inst[0] = 0;
}

// ops: enable, port, [unit, server name,] OK.
int TcpSlaveBlock(bool ex, int command, u8* db, u8* inst, const u16* ops) {
    if (inst && (command == kFbInstanceInit || command == kFbInstanceEnd || command == kFbHotInit)) {
        const u8* st = command == kFbHotInit ? Q4VM_Status(db) : nullptr;
        if (!(st && (GetLe16(st + kQ4StFlags) & 0x10))) TcpClose(inst);
    }
    return Q4Fb_Run({static_cast<u16>(ex ? 57 : 53), kMbsTcpBytes, true}, command, inst, ops, ex ? 5 : 3, [&] {
        const bool enable = Q4Fb_Bool(db, ops[0]);
        if (enable && !inst[0]) {
            Q4CSContext* cs = TcpContext(inst, true);
            Q4CSSettings set;
            set.tcpPort = static_cast<u16>(Q4Fb_Dint(db, ops[1]));
            Q4CS_Open(cs, &set);
            if (cs->listener >= 0) inst[0] = 1;
            else TcpClose(inst);  // tried again at the next call
        } else if (enable) {
            Q4CSContext* cs = TcpContext(inst, false);
            if (!cs) {
                inst[0] = 0;
            } else {
                Q4CS_Activate(cs);
                u16 slot = 0;
                if (const int code = Q4CS_GetQuestion(cs, &slot)) {
                    u32 length = 0;
                    u8* frame = Q4CS_GetRequestFrame(cs, slot, &length);
                    u8* answer = Q4CS_GetAnswerFrameBuffer(cs, slot);
                    if (code == kQ4CSRqModbusTcp && frame && answer) {
                        const std::string name = ex ? Text(db, ops[3]) : std::string();
                        const u16 unit = ex ? static_cast<u16>(Q4Fb_Dint(db, ops[2])) : 0;
                        if (u32 n = Q4MB_ServeExID(db, frame, length, answer, 1, unit, name.c_str()))
                            Q4CS_SendAnswerFrame(cs, slot, n);
                    }
                    Q4CS_ReleaseQuestion(cs, slot);
                }
                Q4CS_Flush(cs);
            }
        } else if (inst[0]) {
            TcpClose(inst);
        }
        Q4Fb_PutBool(db, ops[ex ? 4 : 2], inst[0] != 0);
    });
}

int UdpSocket(const u8* inst) { return static_cast<int>(static_cast<i32>(GetLe32(inst))); }

void UdpClose(u8* inst) {
    const int s = UdpSocket(inst);
    // Only a socket this module opened is closed: a restored instance may
    // hold the number of a descriptor that is not ours.
    auto it = std::find(g.udpSockets.begin(), g.udpSockets.end(), s);
    if (s >= 0 && it != g.udpSockets.end()) {
        Q4MBSrv_UdpClose(s);
        g.udpSockets.erase(it);
    }
    PutLe32(inst, static_cast<u32>(-1));
}

// ops: enable, port, slave, RTU frames, [server name,] OK.
int UdpSlaveBlock(bool ex, int command, u8* db, u8* inst, const u16* ops) {
    if (inst && command == kFbInstanceInit) PutLe32(inst, static_cast<u32>(-1));
    if (inst && (command == kFbInstanceEnd || command == kFbHotInit)) UdpClose(inst);
    return Q4Fb_Run({static_cast<u16>(ex ? 47 : 38), 4, false}, command, inst, ops, ex ? 6 : 5, [&] {
        const bool enable = Q4Fb_Bool(db, ops[0]);
        const std::string name = ex ? Text(db, ops[4]) : std::string();
        if (enable && UdpSocket(inst) < 0) {
            int s = -1;
            if (ServerExists(db, name.c_str()) && Q4MBSrv_UdpOpen(static_cast<u16>(Q4Fb_Dint(db, ops[1])), &s) == 0) {
                PutLe32(inst, static_cast<u32>(s));
                g.udpSockets.push_back(s);
            }
        } else if (enable) {
            Q4MBSrv_UdpActivate(db, UdpSocket(inst), Q4Fb_Bool(db, ops[3]), static_cast<u16>(Q4Fb_Dint(db, ops[2])),
                                name.c_str());
        } else if (UdpSocket(inst) >= 0) {
            UdpClose(inst);
        }
        Q4Fb_PutBool(db, ops[ex ? 5 : 4], UdpSocket(inst) >= 0);
    });
}

// --- RTU slave ---------------------------------------------------------------------

u16 F16(const u8* inst, u32 at) { return GetLe16(inst + at); }
void S16(u8* inst, u32 at, u32 v) { PutLe16(inst + at, static_cast<u16>(v)); }
void Count(u8* inst, Q4MbSlaveCounter c) {
    u8* p = inst + kMbsCounters + 4 * c;
    PutLe32(p, GetLe32(p) + 1);
}
int RtuHandle(const u8* inst) { return static_cast<int>(static_cast<i32>(GetLe32(inst + kMbsHandle))); }

// Drops the first n held bytes; parsing restarts at position 0.
void Drop(u8* inst, u32 n) {
    const u32 held = F16(inst, kMbsHeld);
    n = std::min(n, held);
    std::memmove(inst + kMbsRx, inst + kMbsRx + n, held - n);
    S16(inst, kMbsHeld, held - n);
    S16(inst, kMbsPos, 0);
    S16(inst, kMbsExpected, 0);
    S16(inst, kMbsOther, 0);
}

bool RequestCode(u8 f) { return (f >= 1 && f <= 8) || (f >= 15 && f <= 17) || f == 23 || f == 43; }

// Drops everything before the next byte that may start a request for this
// slave (or a broadcast).
void Resync(u8* inst, u8 slave) {
    const u8* rx = inst + kMbsRx;
    const u32 held = F16(inst, kMbsHeld);
    u32 k = 1;
    for (; k < held; ++k) {
        if (rx[k] != slave && rx[k] != 0) continue;
        if (k + 1 >= held || RequestCode(rx[k + 1])) break;
        ++k;  // a candidate followed by another code goes with that byte
    }
    Drop(inst, k);
}

// A good request: served when it is for this slave or a broadcast; its
// answer, with CRC, goes out at once (the rest at the next executions).
void ServeRequest(u8* db, u8* inst, u32 length, u8 slave, const char* name) {
    u8* rx = inst + kMbsRx;
    u8* tx = inst + kMbsTx;
    Count(inst, kMbsNGood);
    const bool broadcast = rx[0] == 0, mine = !broadcast && rx[0] == slave;
    if (broadcast) Count(inst, kMbsNBcast);
    if (mine) Count(inst, kMbsNReq);
    if (broadcast || mine) {
        const u32 a = Q4MB_ServeExID(db, rx, length - 2, tx, 0, slave, name);
        if (a && !broadcast) {
            Count(inst, (tx[1] & 0x80) ? kMbsNExc : kMbsNAns);
            const u32 n = Q4MBFram_AppendCrc(tx, a);
            int h = RtuHandle(inst);
            S16(inst, kMbsAnswerLen, n);
            S16(inst, kMbsAnswerSent, Q4Serial_Send(&h, n, tx));
            if (F16(inst, kMbsAnswerSent) >= n) S16(inst, kMbsAnswerLen, 0), S16(inst, kMbsAnswerSent, 0);
        }
    }
    Drop(inst, length);
}

// Parses the held bytes from the kept position; stops after a served
// request or when more bytes are needed.
void Parse(u8* db, u8* inst, u8 slave, const char* name) {
    const u8* rx = inst + kMbsRx;
    for (;;) {
        const u32 held = F16(inst, kMbsHeld);
        u32 pos = F16(inst, kMbsPos);
        if (pos >= held) return;
        S16(inst, kMbsPos, ++pos);
        if (pos == 1) continue;
        const u8 f = rx[1];
        u32 expected = F16(inst, kMbsExpected), other = F16(inst, kMbsOther);
        if (pos == 2) {
            if (f & 0x80) expected = 0, other = 5;
            else if (f >= 1 && f <= 4) expected = 8, other = 3;
            else if (f == 5 || f == 6 || f == 8) expected = 8, other = 8;
            else if (f == 15 || f == 16) expected = 7, other = 8;
            else if (f == 17) expected = 4, other = 3;
            else if (f == 43) expected = 7, other = 10;
            else {
                Drop(inst, 1);
                S16(inst, kMbsPos, 1);  // the next byte is an address
                continue;
            }
        }
        if (pos == 3 && ((f >= 1 && f <= 4) || f == 17)) other = rx[2] > 250 ? 0 : rx[2] + 5u;
        if (pos == 7 && (f == 15 || f == 16)) expected = rx[6] > 246 ? 0 : rx[6] + 9u;
        // A master sends requests only: a frame for this slave (or all) is
        // never another slave's answer, and waiting for the length such an
        // answer would have (up to 255 bytes) would leave the slave deaf.
        if (rx[0] == slave || rx[0] == 0) other = 0;
        S16(inst, kMbsExpected, expected);
        S16(inst, kMbsOther, other);
        if (expected && pos == expected) {
            if (Q4MBFram_CrcOk(rx, expected)) return ServeRequest(db, inst, expected, slave, name);
            Count(inst, kMbsNCrcErr);
        }
        if (other && pos == other && Q4MBFram_CrcOk(rx, other)) {
            Drop(inst, other);  // an exchange between the master and another slave
            continue;
        }
        if (pos >= expected && pos >= other) Resync(inst, slave);
    }
}

struct RtuKind {
    u16 classNumber;
    bool named, counters;
};

// ops: enable, settings, slave, [server name,] OK, [counters].
int RtuSlaveBlock(const RtuKind& k, int command, u8* db, u8* inst, const u16* ops) {
    if (inst) {
        if (command == kFbInstanceInit) {
            std::memset(inst, 0, kMbsBytes);
            PutLe32(inst + kMbsHandle, static_cast<u32>(-1));
        } else if (command == kFbInstanceEnd || command == kFbHotInit) {
            // The borrowed descriptor is taken again at the next execution.
            int h = RtuHandle(inst);
            if (command == kFbInstanceEnd && Q4Serial_IsValid(&h)) Q4Serial_Close(&h);
            PutLe32(inst + kMbsHandle, static_cast<u32>(-1));
            inst[kMbsOpen] = 0;
        }
    }
    const u16 okAt = k.named ? 4 : 3;
    return Q4Fb_Run({k.classNumber, kMbsBytes, false}, command, inst, ops, static_cast<u16>(okAt + 1 + (k.counters ? 5 : 0)), [&] {
        const bool enable = Q4Fb_Bool(db, ops[0]);
        const std::string name = k.named ? Text(db, ops[3]) : std::string();
        const u8 slave = static_cast<u8>(Q4Fb_Dint(db, ops[2]));
        int h = RtuHandle(inst);
        if (enable && !inst[kMbsOpen]) {
            if (ServerExists(db, name.c_str())) {
                std::memset(inst, 0, kMbsBytes);
                h = -1;
                Q4Serial_Open(&h, Text(db, ops[1]).c_str());
                PutLe32(inst + kMbsHandle, static_cast<u32>(h));
                inst[kMbsOpen] = Q4Serial_IsValid(&h) ? 1 : 0;
            }
        } else if (!enable && inst[kMbsOpen]) {
            Q4Serial_Close(&h);
            PutLe32(inst + kMbsHandle, static_cast<u32>(-1));
            inst[kMbsOpen] = 0;
        } else if (inst[kMbsOpen]) {
            if (u32 len = F16(inst, kMbsAnswerLen)) {
                u32 sent = F16(inst, kMbsAnswerSent);
                sent += Q4Serial_Send(&h, len - sent, inst + kMbsTx + sent);
                S16(inst, kMbsAnswerSent, sent);
                if (sent >= len) S16(inst, kMbsAnswerLen, 0), S16(inst, kMbsAnswerSent, 0);
            } else {
                const u32 held = F16(inst, kMbsHeld);
                const u32 got = Q4Serial_Receive(&h, 256 - held, inst + kMbsRx + held);
                S16(inst, kMbsHeld, held + got);
                Parse(db, inst, slave, name.c_str());
            }
            // The port went back to the programming link.
            if (!Q4Serial_IsValid(&h)) PutLe32(inst + kMbsHandle, static_cast<u32>(-1)), inst[kMbsOpen] = 0;
        }
        Q4Fb_PutBool(db, ops[okAt], inst[kMbsOpen] != 0);
        if (k.counters) {
            const u32 n = Q4Fb_OperandCount(ops) > 10 ? 6 : 5;
            for (u32 c = 0; c < n; ++c)
                Q4Fb_PutDint(db, ops[okAt + 1 + c], static_cast<i32>(GetLe32(inst + kMbsCounters + 4 * c)));
        }
    });
}

}  // namespace

int Q4MbFb_SlaveTcp(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return TcpSlaveBlock(false, command, db, inst, ops);
}
int Q4MbFb_SlaveTcpEx(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return TcpSlaveBlock(true, command, db, inst, ops);
}
int Q4MbFb_SlaveUdp(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return UdpSlaveBlock(false, command, db, inst, ops);
}
int Q4MbFb_SlaveUdpEx(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return UdpSlaveBlock(true, command, db, inst, ops);
}
int Q4MbFb_SlaveRtu(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return RtuSlaveBlock({39, false, false}, command, db, inst, ops);
}
int Q4MbFb_SlaveRtuEx(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return RtuSlaveBlock({48, true, false}, command, db, inst, ops);
}
int Q4MbFb_SlaveRtuExD(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return RtuSlaveBlock({56, true, true}, command, db, inst, ops);
}

void Q4MbFb_Reset() {
    for (TcpSlave& t : g.tcpSlaves) Q4CS_Close(t.cs.get());
    for (int s : g.udpSockets) Q4MBSrv_UdpClose(s);
    g = State{};
}
