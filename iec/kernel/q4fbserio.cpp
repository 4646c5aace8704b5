#include "iec/kernel/q4fbserio.h"

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// The instance is the serial handle (i32, -1: closed).
int Handle(const u8* inst) { return static_cast<int>(static_cast<i32>(GetLe32(inst))); }
void SetHandle(u8* inst, int h) { PutLe32(inst, static_cast<u32>(static_cast<i32>(h))); }

// Commands 6 and 7 of both blocks.
void LifeCycle(int command, u8* inst) {
    if (!inst) return;
    if (command == kFbInstanceInit) SetHandle(inst, -1);
    if (command == kFbInstanceEnd) {
        int h = Handle(inst);
        if (Q4Serial_IsValid(&h)) Q4Serial_Close(&h);
        SetHandle(inst, h);
    }
}

// RUN opens a closed port (again at every execution until it opens: the
// port layer may have none to lend) and its fall closes an open one.
// Answers the handle.
int Follow(u8* db, u8* inst, bool run, u16 confOp) {
    int h = Handle(inst);
    if (run && !Q4Serial_IsValid(&h)) {
        const u8* conf = Q4Tools_String(db, confOp);
        Q4Serial_Open(&h, conf ? Q4Str_GetText(conf) : "");
    } else if (!run && Q4Serial_IsValid(&h)) {
        Q4Serial_Close(&h);
    }
    SetHandle(inst, h);
    return h;
}

constexpr bool kForce = true;

}  // namespace

// RUN, SND, CONF, DATASND -> OPEN, RCV, SENDRES, DATARCV.
int Q4Stfb_Serio(int command, u8* db, u8*, u8* inst, const u16* ops) {
    LifeCycle(command, inst);
    return Q4Fb_Run({21, 4, false}, command, inst, ops, 8, [&] {
        int h = Follow(db, inst, Q4Fb_Bool(db, ops[0]), ops[2]);
        bool open = Q4Serial_IsValid(&h);
        bool rcv = false, sendres = false;
        u8* in = Q4Tools_String(db, ops[7]);
        if (in) Q4Str_Empty(in);
        if (open) {
            if (in) {
                u32 n = Q4Serial_Receive(&h, Q4Str_GetMaxLength(in), in + 2);
                if (n) {
                    in[1] = static_cast<u8>(n);
                    in[2 + n] = 0;
                    rcv = true;
                }
            }
            const u8* out = Q4Tools_String(db, ops[3]);
            if (Q4Serial_IsValid(&h) && Q4Fb_Bool(db, ops[1]) && out && !Q4Str_IsEmpty(out)) {
                const u8* text = reinterpret_cast<const u8*>(Q4Str_GetText(out));
                sendres = Q4Serial_Send(&h, Q4Str_GetLength(out), text) == 0;
            }
            SetHandle(inst, h);
        }
        Q4Fb_PutBool(db, ops[4], open, kForce);
        Q4Fb_PutBool(db, ops[5], rcv, kForce);
        Q4Fb_PutBool(db, ops[6], sendres, kForce);
    });
}

namespace {

// A window [pos, pos + count) of an array of size bytes: positions and counts
// from the application are checked as non-negative, unsigned and without
// wrap before any byte is touched.
bool Window(i32 pos, i32 count, u32 size) {
    if (pos < 0 || count <= 0) return false;
    u64 p = static_cast<u32>(pos), c = static_cast<u32>(count);
    return p < size && p + c <= size;
}

}  // namespace

// RUN, CONF, TXBUF, TXSIZE, TXPOS, TXCOUNT, RXBUF, RXSIZE, RXPOS, RXMAX ->
// OPEN, NBSENT, NBRCV. The buffers are byte arrays, their sizes plain numbers.
int Q4Stfb_SerioB(int command, u8* db, u8*, u8* inst, const u16* ops) {
    LifeCycle(command, inst);
    return Q4Fb_Run({55, 4, true}, command, inst, ops, 13, [&] {
        int h = Follow(db, inst, Q4Fb_Bool(db, ops[0]), ops[1]);
        bool open = Q4Serial_IsValid(&h);
        i32 sent = 0, received = 0;
        if (open) {
            u32 txSize = ops[3], rxSize = ops[7];
            i32 txPos = Q4Fb_Dint(db, ops[4]), txCount = Q4Fb_Dint(db, ops[5]);
            i32 rxPos = Q4Fb_Dint(db, ops[8]), rxMax = Q4Fb_Dint(db, ops[9]);
            if (Window(txPos, txCount, txSize)) {
                if (const u8* tx = Q4Fb_Array(db, kQ4TypeUsint, ops[2], txSize))
                    sent = static_cast<i32>(Q4Serial_Send(&h, static_cast<u32>(txCount) & 0xFFFF, tx + txPos));
            }
            if (Q4Serial_IsValid(&h) && Window(rxPos, rxMax, rxSize)) {
                if (u8* rx = Q4Fb_Array(db, kQ4TypeUsint, ops[6], rxSize))
                    received = static_cast<i32>(Q4Serial_Receive(&h, static_cast<u32>(rxMax), rx + rxPos));
            }
            SetHandle(inst, h);
        }
        Q4Fb_PutBool(db, ops[10], open, kForce);
        Q4Fb_PutDint(db, ops[11], sent, kForce);
        Q4Fb_PutDint(db, ops[12], received, kForce);
    });
}
