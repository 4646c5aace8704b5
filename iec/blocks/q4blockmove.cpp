#include "iec/blocks/q4blockmove.h"

#include <algorithm>
#include <cstring>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4types.h"

namespace {

// Element width of the integer and BOOL types the moves take (0: another).
u32 IntegerWidth(u16 type) {
    switch (type) {
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint: return 1;
        case kQ4TypeInt: case kQ4TypeUint: return 2;
        case kQ4TypeDint: case kQ4TypeUdint: return 4;
        case kQ4TypeLint: case kQ4TypeUlint: return 8;
        default: return 0;
    }
}

// An array operand (index, element count) of the type, or null when it does
// not lie whole in its table.
u8* ArrayOf(u8* db, u16 type, const u16* ops, u16 k) {
    return ops[k + 1] ? Q4Fb_Array(db, type, ops[k], ops[k + 1]) : nullptr;
}

// The first L elements that a shift or rotation works on, with n checked:
// 0 when the call does nothing.
u32 ShiftSpan(u8* db, const u16* ops, u32 count, i32* n) {
    *n = Q4Ctl_Int(db, ops[1]);
    const i32 length = Q4Fb_Dint(db, ops[4]);
    if (*n <= 0 || length <= 0) return 0;
    const u32 l = std::min<u32>(static_cast<u32>(length), count);
    return static_cast<u32>(*n) <= l ? l : 0;
}

}  // namespace

int Q4Ctl_Mvb(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const u16 type = ops[0];
        const u32 width = IntegerWidth(type);
        const i32 n = Q4Ctl_Int(db, ops[5]);
        if (width == 0 || n <= 0) return;
        u8* src = ArrayOf(db, type, ops, 1);
        u8* dst = ArrayOf(db, type, ops, 3);
        if (!src || !dst) return;
        const u32 count = std::min({static_cast<u32>(n), static_cast<u32>(ops[2]), static_cast<u32>(ops[4])});
        std::memmove(dst, src, static_cast<size_t>(count) * width);
    });
}

// The INT value is replicated into every 16-bit part of the element.
int Q4Ctl_Fill(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        const u16 type = ops[0];
        const u32 width = IntegerWidth(type);
        const i32 n = Q4Ctl_Int(db, ops[4]);
        if (width < 2 || n <= 0) return;
        u8* dst = ArrayOf(db, type, ops, 2);
        if (!dst) return;
        const u16 value = static_cast<u16>(Q4Ctl_Int(db, ops[1]));
        const u32 count = std::min(static_cast<u32>(n), static_cast<u32>(ops[3]));
        for (u32 k = 0; k < count * width / 2; ++k) PutLe16(dst + 2 * k, value);
    });
}

int Q4Ctl_MultiShift(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 8, [&] {
        const u16 type = ops[0];
        const u32 width = IntegerWidth(type);
        if (width == 0 || width > 4) return;
        u8* a = ArrayOf(db, type, ops, 2);
        i32 sn = 0;
        const u32 l = a ? ShiftSpan(db, ops, ops[3], &sn) : 0;
        if (l == 0) return;
        const u32 n = static_cast<u32>(sn);
        u64 fill = 0;
        Q4Ctl_GetBits(db, type, ops[6], &fill);
        const size_t moved = static_cast<size_t>(l - n) * width;
        if (Q4Fb_Bool(db, ops[5])) {
            const u64 out = Q4Ctl_LoadLe(a + static_cast<size_t>(l - n) * width, width);
            std::memmove(a + static_cast<size_t>(n) * width, a, moved);
            for (u32 k = 0; k < n; ++k) Q4Ctl_StoreLe(a + static_cast<size_t>(k) * width, width, fill);
            Q4Ctl_PutBits(db, type, ops[7], out);
        } else {
            const u64 out = Q4Ctl_LoadLe(a + static_cast<size_t>(n - 1) * width, width);
            std::memmove(a, a + static_cast<size_t>(n) * width, moved);
            for (u32 k = l - n; k < l; ++k) Q4Ctl_StoreLe(a + static_cast<size_t>(k) * width, width, fill);
            Q4Ctl_PutBits(db, type, ops[7], out);
        }
    });
}

// n one-place steps of the first L elements come to one rotation by n
// modulo L, done in one pass.
int Q4Ctl_MultiRot(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const u16 type = ops[0];
        const u32 width = IntegerWidth(type);
        if (width == 0 || width > 4) return;
        u8* a = ArrayOf(db, type, ops, 2);
        const i32 n = a ? Q4Ctl_Int(db, ops[1]) : 0;
        const i32 length = Q4Fb_Dint(db, ops[4]);
        if (n <= 0 || length <= 0) return;
        const u32 l = std::min<u32>(static_cast<u32>(length), ops[3]);
        const size_t shift = static_cast<size_t>(static_cast<u32>(n) % l) * width, bytes = static_cast<size_t>(l) * width;
        if (Q4Fb_Bool(db, ops[5])) std::rotate(a, a + bytes - shift, a + bytes);
        else std::rotate(a, a + shift, a + bytes);
    });
}
