#include "iec/blocks/q4modbus.h"

#include <cstring>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"

Q4ModbusPeers q4ModbusPeers;

void Q4ModbusPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, q4ModbusPeers, talkModbus); }

namespace {

// The engine's IEC request record (16 bytes: slave, function, remote
// address, count, u32 data reference, local offset, width code) and slave
// map (34 bytes: four references, four sizes, width code), with the
// station's control and status words.
constexpr u32 kRequestBytes = 16, kMapBytes = 34;
struct Station {
    u8 control[2];
    u8 status[2];
    u8 data[kMapBytes];
};
Station g_station[2][2];  // [port][0 master, 1 slave]

constexpr u32 kInstanceBytes = 22, kMapInstanceBytes = 40;

// A reference of the running application's variable at p in the table of
// class cls (or, with a CT segment, by its offset there).
bool Reference(u8* db, u8* p, u32 cls, u32 area, u32 scale, u32* ref) {
    constexpr u32 kRef = 0xC0000000u, kCt = 0x20000000u, kIndexBits = 0xFFFFFu;
    u32 bytes = 0;
    if (Q4Tools_HasCtSegment(db)) {
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
        const u64 at = static_cast<u64>(p - ct);
        if (at > kIndexBits) return false;
        *ref = kRef | kCt | static_cast<u32>(at);
        return true;
    }
    u8* t = Q4VM_AreaPtr(db, area, &bytes);
    const u64 index = static_cast<u64>(p - t) / scale;
    if (!t || index > kIndexBits) return false;
    *ref = kRef | (cls << 26) | static_cast<u32>(index);
    return true;
}

// An array operand of the Modbus blocks: its reference, element count and
// width code (0 bytes, 1 16-bit, 2 32-bit); false for another type.
struct MbArray {
    u32 ref = 0;
    u32 count = 0;
    u16 width = 0;
};
bool ArrayOf(u8* db, u16 type, u16 index, u16 count, bool registers, MbArray* a) {
    u32 cls = 0, area = kDbData8, scale = 1;
    switch (type) {
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint:
            if (registers) return false;
            a->width = 0;
            break;
        case kQ4TypeInt: case kQ4TypeUint:
            cls = 1, area = kDbData16, scale = 2, a->width = 1;
            break;
        case kQ4TypeDint: case kQ4TypeReal:
            cls = 2, area = kDbData32, scale = 4, a->width = 2;
            break;
        default: return false;
    }
    u8* p = count ? Q4Fb_Array(db, type, index, count) : nullptr;
    if (!p || !Reference(db, p, cls, area, scale, &a->ref)) return false;
    a->count = count;
    return true;
}

// The master's request: words 0, 1, 2 and 5 of the request array, the count
// (the smaller of word 3 and the array's, doubled for 32-bit data) and the
// data array. False when nothing may be sent.
bool BuildRequest(u8* db, u16 type, const u16* ops, u16 reqOp, u16 dataOp, u8* rec) {
    Q4CtlArray req = Q4Ctl_Array(db, kQ4TypeInt, ops, reqOp);
    if (req.Count() < 6) return false;
    const u16 function = static_cast<u16>(req.Int(1));
    const bool bits = function == 1 || function == 2 || function == 5 || function == 15;
    MbArray a;
    if (!ArrayOf(db, bits ? kQ4TypeUsint : type, ops[dataOp], ops[dataOp + 1], !bits, &a)) return false;
    const i32 words = req.Int(3), offset = static_cast<u16>(req.Int(5));
    u32 count = words < 0 ? 0 : std::min<u32>(static_cast<u32>(words), a.count);
    if (offset + count > a.count) return false;
    if (a.width == 2) count *= 2;
    PutLe16(rec, static_cast<u16>(req.Int(0)));
    PutLe16(rec + 2, function);
    PutLe16(rec + 4, static_cast<u16>(req.Int(2)));
    PutLe16(rec + 6, static_cast<u16>(count));
    PutLe32(rec + 8, a.ref);
    PutLe16(rec + 12, static_cast<u16>(offset));
    PutLe16(rec + 14, a.width);
    return true;
}

// type, enable, port, time-out, trigger, request+n, data...; out status.
// OLDUSERSMASTER takes bits from its byte array and registers from its
// register array.
void Master(u8* db, const u16* ops, bool old) {
    const u16 statusOp = old ? 11 : 9;
    const i32 port = Q4Fb_Dint(db, ops[2]);
    if (port < 0 || port > 1 || db != pDB || !q4ModbusPeers.talkModbus) return;
    Station& s = g_station[port][0];
    u16 dataOp = 7;
    if (old) {
        Q4CtlArray req = Q4Ctl_Array(db, kQ4TypeInt, ops, 5);
        const i16 f = req.Int(1);
        const bool bits = f == 1 || f == 2 || f == 5 || f == 7 || f == 15;
        const bool regs = f == 3 || f == 4 || f == 6 || f == 8 || f == 16 || f == 22 || f == 23 || f == 65;
        if (!bits && !regs) return;
        dataOp = bits ? 7 : 9;
    }
    u8 rec[kRequestBytes] = {};
    if (!BuildRequest(db, ops[0], ops, 5, dataOp, rec)) return;
    std::memcpy(s.data, rec, kRequestBytes);
    PutLe16(s.control, Q4Fb_Bool(db, ops[4]) ? 1 : 0);
    const int r = q4ModbusPeers.talkModbus(static_cast<int>(port), 0, static_cast<u16>(Q4Ctl_Int(db, ops[3])), s.control,
                                           s.data, s.status, Q4Fb_Bool(db, ops[1]));
    if (r == 0) PutLe16(s.status, 0);
    Q4Ctl_PutInt(db, ops[statusOp], static_cast<i16>(GetLe16(s.status)));
}

}  // namespace

void Q4Modbus_Reset() { std::memset(g_station, 0, sizeof g_station); }

int Q4Ctl_ModbusDoRequest(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, kInstanceBytes, inst, ops, 10, [&] { Master(db, ops, false); });
}

int Q4Ctl_OldUsersMaster(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, kInstanceBytes, inst, ops, 12, [&] { Master(db, ops, true); });
}

// type, enable, port, slave address, time-out, discrete inputs+n, coils+n,
// input registers+n, holding registers+n; out status (INT).
int Q4Ctl_ModbusMapSlave(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, kMapInstanceBytes, inst, ops, 14, [&] {
        const u16 type = ops[0];
        MbArray di, co, ir, hr;
        if (!ArrayOf(db, kQ4TypeUsint, ops[5], ops[6], false, &di) || !ArrayOf(db, kQ4TypeUsint, ops[7], ops[8], false, &co) ||
            !ArrayOf(db, type, ops[9], ops[10], true, &ir) || !ArrayOf(db, type, ops[11], ops[12], true, &hr))
            return;
        const u32 port = static_cast<u32>(Q4Fb_Dint(db, ops[2]));
        const i16 address = Q4Ctl_Int(db, ops[3]);
        if (port > 3 || address < 1 || address > 247) return;
        // Ports 2 and 3 have no TALK station here.
        if (port > 1 || db != pDB || !q4ModbusPeers.talkModbus) return;
        Station& s = g_station[port][1];
        const u32 scale = ir.width == 2 ? 2 : 1;
        const u32 refs[4] = {di.ref, co.ref, ir.ref, hr.ref}, sizes[4] = {di.count, co.count, ir.count * scale, hr.count * scale};
        for (int k = 0; k < 4; ++k) {
            PutLe32(s.data + 4 * k, refs[k]);
            PutLe32(s.data + 16 + 4 * k, sizes[k]);
        }
        PutLe16(s.data + 32, ir.width);
        PutLe16(s.control, 0);
        const int r = q4ModbusPeers.talkModbus(static_cast<int>(port), static_cast<u16>(address),
                                               static_cast<u16>(Q4Ctl_Int(db, ops[4])), s.control, s.data, s.status,
                                               Q4Fb_Bool(db, ops[1]));
        if (r == 0) PutLe16(s.status, 0);
        Q4Ctl_PutInt(db, ops[13], static_cast<i16>(r == 0 ? 0 : GetLe16(s.status) & 0xFF));
    });
}
