#include "iec/kernel/q4fbbuffer.h"

#include <algorithm>
#include <cstring>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// STACKINT instance (524 bytes): items[128], count, capacity, previous PUSH,
// previous POP.
constexpr i32 kDepth = 128;
constexpr u32 kSkCount = 512, kSkCap = 516, kSkPush = 520, kSkPop = 521;

}  // namespace

// PUSH, POP, R1, IN, N -> EMPTY, OFLO, TOP.
int Q4Stfb_StackInt(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit && inst) Q4Fb_SetU32(inst, kSkCap, kDepth);
    return Q4Fb_Run({14, 524, false}, command, inst, ops, 8, [&] {
        bool push = Q4Fb_Edge(inst, kSkPush, Q4Fb_Bool(db, ops[0])), pop = Q4Fb_Edge(inst, kSkPop, Q4Fb_Bool(db, ops[1]));
        // Kept in range whatever a saved database holds.
        i32 count = std::clamp(static_cast<i32>(Q4Fb_U32(inst, kSkCount)), 0, kDepth);
        i32 cap = std::clamp(static_cast<i32>(Q4Fb_U32(inst, kSkCap)), 0, kDepth);
        if (Q4Fb_Bool(db, ops[2])) {
            cap = std::clamp(Q4Fb_Dint(db, ops[4]), 0, kDepth);
            count = 0;
            Q4Fb_PutBool(db, ops[6], false);
        } else if (pop) {
            if (count > 0) --count;
            Q4Fb_PutBool(db, ops[6], false);
        } else if (push) {
            if (count < cap) {
                Q4Fb_SetU32(inst, 4u * static_cast<u32>(count), static_cast<u32>(Q4Fb_Dint(db, ops[3])));
                ++count;
                Q4Fb_PutBool(db, ops[6], false);
            } else {
                Q4Fb_PutBool(db, ops[6], true);
            }
        }
        Q4Fb_SetU32(inst, kSkCount, static_cast<u32>(count));
        Q4Fb_SetU32(inst, kSkCap, static_cast<u32>(cap));
        Q4Fb_PutBool(db, ops[5], count == 0);
        Q4Fb_PutDint(db, ops[7], count > 0 && count <= cap ? static_cast<i32>(Q4Fb_U32(inst, 4u * (count - 1))) : 0);
    });
}

namespace {

// FIFO and LIFO instance (24 bytes): read index, write index, count,
// capacity, the bound array's byte offset in the database (0: not bound
// yet; an offset, not an address, so a hot restart keeps the binding),
// previous PUSH, previous POP.
constexpr u32 kBfRead = 0, kBfWrite = 4, kBfCount = 8, kBfCap = 12, kBfArray = 16, kBfPush = 20, kBfPop = 21;

// Operands: type, PUSH, POP, RST, NEXTIN, NEXTOUT, BUFFER, SIZE -> EMPTY,
// OFLO, COUNT, PREAD, PWRITE.
enum : u16 { kType, kPush, kPop, kRst, kNextIn, kNextOut, kBuffer, kSize, kEmpty, kOflo, kCount, kPRead, kPWrite, kOps };

constexpr bool kForce = true;

void Outputs(u8* db, const u16* ops, bool empty, i32 count, i32 read, i32 write) {
    Q4Fb_PutBool(db, ops[kEmpty], empty, kForce);
    Q4Fb_PutDint(db, ops[kCount], count, kForce);
    Q4Fb_PutDint(db, ops[kPRead], read, kForce);
    Q4Fb_PutDint(db, ops[kPWrite], write, kForce);
}

// Refusal: NEXTOUT emptied, EMPTY, no counts.
void Refuse(u8* db, const u16* ops, u16 type) {
    if (Q4Type_Class(type) == kQ4ClassString) {
        if (u8* s = Q4Tools_String(db, ops[kNextOut])) Q4Str_Empty(s);
    } else if (u8* out = Q4Tools_GetAnyParam(db, type, ops[kNextOut], nullptr, nullptr)) {
        std::memset(out, 0, Q4Type_Size(type));
    }
    Outputs(db, ops, true, 0, 0, 0);
}

void Buffer(bool lifo, u8* db, u8* inst, const u16* ops) {
    u16 type = ops[kType];
    Q4Fb_PutBool(db, ops[kOflo], false, kForce);
    bool push = Q4Fb_Edge(inst, kBfPush, Q4Fb_Bool(db, ops[kPush])), pop = Q4Fb_Edge(inst, kBfPop, Q4Fb_Bool(db, ops[kPop]));
    u32 size = Q4Type_Size(type);
    if (Q4Type_Class(type) == kQ4ClassString || Q4Type_Class(type) == kQ4ClassNone || size == 0 || (type & kQ4TypeExternal))
        return Refuse(db, ops, type);
    // Bound at the first execution; afterwards only the same array is served.
    if (!Q4Fb_U32(inst, kBfArray)) {
        u8* a = ops[kSize] ? Q4Fb_Array(db, type, ops[kBuffer], ops[kSize]) : nullptr;
        if (!a) return Refuse(db, ops, type);
        Q4Fb_SetU32(inst, kBfArray, static_cast<u32>(a - db));
        Q4Fb_SetU32(inst, kBfCap, ops[kSize]);
    }
    u32 cap = Q4Fb_U32(inst, kBfCap);
    u8* a = Q4Fb_Array(db, type, ops[kBuffer], cap);
    if (!a || static_cast<u32>(a - db) != Q4Fb_U32(inst, kBfArray)) return Refuse(db, ops, type);

    i32 icap = static_cast<i32>(cap);
    i32 read = static_cast<i32>(Q4Fb_U32(inst, kBfRead)), write = static_cast<i32>(Q4Fb_U32(inst, kBfWrite)),
        count = static_cast<i32>(Q4Fb_U32(inst, kBfCount));
    if (read < 0 || read >= icap || write < 0 || write > icap || count < 0 || count > icap) read = write = count = 0;
    if (Q4Fb_Bool(db, ops[kRst])) {
        read = write = count = 0;
    } else if (pop && count > 0) {
        if (lifo) {
            if (read > 0) --read;
            --write;
        } else {
            read = (read + 1) % icap;
        }
        --count;
    } else if (push) {
        if (count < icap && write < icap) {
            if (const u8* in = Q4Tools_GetAnyParam(db, type, ops[kNextIn], nullptr, nullptr))
                std::memcpy(a + static_cast<u32>(write) * size, in, size);
            else
                std::memset(a + static_cast<u32>(write) * size, 0, size);
            if (lifo) {
                if (count > 0) ++read;
                ++write;
            } else {
                write = (write + 1) % icap;
            }
            ++count;
        } else {
            Q4Fb_PutBool(db, ops[kOflo], true, kForce);
        }
    }
    Q4Fb_SetU32(inst, kBfRead, static_cast<u32>(read));
    Q4Fb_SetU32(inst, kBfWrite, static_cast<u32>(write));
    Q4Fb_SetU32(inst, kBfCount, static_cast<u32>(count));
    if (u8* out = Q4Tools_GetAnyParam(db, type, ops[kNextOut], nullptr, nullptr)) {
        if (count > 0) std::memmove(out, a + static_cast<u32>(read) * size, size);
        else std::memset(out, 0, size);
    }
    Outputs(db, ops, count == 0, count, read, write);
}

}  // namespace

int Q4Stfb_Fifo(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({31, 24, true}, command, inst, ops, kOps, [&] { Buffer(false, db, inst, ops); });
}
int Q4Stfb_Lifo(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({32, 24, true}, command, inst, ops, kOps, [&] { Buffer(true, db, inst, ops); });
}
