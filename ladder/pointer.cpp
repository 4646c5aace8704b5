#include "ladder/pointer.h"

#include <cstdint>

namespace {

constexpr u16 kContX = 340, kOutX = 341, kLdbX = 342, kStbX = 343, kLdwX = 344, kStwX = 345, kLddX = 346,
              kStdX = 347;
constexpr u16 kPtrAddr = 350, kLdbP = 351, kLdwP = 352, kLddP = 353, kContP = 354, kStbP = 355, kStwP = 356,
              kStdP = 357, kOutP = 358, kPtrAddrX = 359;
constexpr u16 kBitArr = 384;
constexpr u16 kPMovW = 505, kPFillP = 506, kPFillK = 507, kPMovD = 508, kPMovKD = 509;

// Indexed loads read no byte above this one (the end of the linear area).
constexpr u64 kIndexedLastByte = 0x19800;
constexpr u32 kMaxWordIndex = 50240, kMaxPairIndex = 25120;

// Linear register bit address of a register byte or word (both below a few
// hundred thousand, so the address fits easily; PlcReg_Set refuses what
// lies beyond the linear area).
inline u32 ByteBitAddress(u64 byte) { return static_cast<u32>(kLadderBitFirst + 8 * byte); }
inline u32 WordBitAddress(u64 word) { return static_cast<u32>(kLadderBitFirst + 16 * word); }

// The value of the index register named by the next operand.
template <bool kTok16>
inline u32 Index(LadderVm& vm) {
    return LadderRegWord(LadderShortWordOperand<kTok16>(vm.code, vm.ip));
}

// The n bytes at pointer + offset (the pointer read from the register pair
// named by the next operand, the offset a literal after it), or nullptr.
template <bool kTok16>
inline u8* PointerBytes(LadderVm& vm, u32 n) {
    const u32 pointer = LadderPointerOperand<kTok16>(vm);
    const u16 offset = LadderLit(vm.code, vm.ip);
    return LadderRegBytes(u64{pointer} + offset, n);
}

template <bool kTok16>
void Indexed(u16 op, LadderVm& vm) {
    switch (op) {
        case kContX:
        case kOutX: {
            const u32 base = LadderLit(vm.code, vm.ip);
            const u32 i = Index<kTok16>(vm);
            const u32 a = base + i - 1;  // at most 0x1FFFD when i is not 0
            const bool valid = i != 0 && LadderBitValid(a);
            if (op == kContX) {
                vm.PushRung(valid && (plc_reg[LadderBitByte(a)] & on_mask[a & 7]) != 0 ? 0xFF : 0);
            } else {
                // A bit write carries 0 or 1, whatever TRUE value the rung holds.
                const u8 bit = vm.PopRung() != 0 ? 1 : 0;
                if (valid) PlcReg_Set(a, &bit, 1);
            }
            return;
        }
        case kLdbX: {
            const u64 base = LadderByteOperand<kTok16>(vm.code, vm.ip);
            const u32 i = Index<kTok16>(vm);
            const u64 b = base + i - 1;
            const u8* p = i != 0 && b <= kIndexedLastByte ? LadderRegBytes(b, 1) : nullptr;
            vm.Push16(p != nullptr ? *p : 0);
            if (p == nullptr) vm.RungFalse();
            return;
        }
        case kStbX: {
            const u64 base = LadderByteOperand<kTok16>(vm.code, vm.ip);
            const u32 i = Index<kTok16>(vm);
            const u8 v = static_cast<u8>(vm.Pop16());
            if (i == 0 || PlcReg_Set(ByteBitAddress(base + i - 1), &v, 8) == 0) vm.RungFalse();
            return;
        }
        case kLdwX:
        case kLddX: {
            const bool pair = op == kLddX;
            const u64 base = LadderWordOperand<kTok16>(vm.code, vm.ip);
            const u32 i = Index<kTok16>(vm);
            const u64 w = base + (pair ? 2 * (u64{i} - 1) : u64{i} - 1);
            const u8* p = i != 0 && i <= (pair ? kMaxPairIndex : kMaxWordIndex) && 2 * w <= kIndexedLastByte
                              ? LadderRegWords(w, pair ? 2 : 1)
                              : nullptr;
            if (pair)
                vm.Push32(p != nullptr ? GetLe32(p) : 0);
            else
                vm.Push16(p != nullptr ? GetLe16(p) : 0);
            if (p == nullptr) vm.RungFalse();
            return;
        }
        case kStwX:
        case kStdX: {
            const bool pair = op == kStdX;
            const u64 base = LadderWordOperand<kTok16>(vm.code, vm.ip);
            const u32 i = Index<kTok16>(vm);
            u8 bytes[4];
            if (pair)
                PutLe32(bytes, vm.Pop32());
            else
                PutLe16(bytes, vm.Pop16());
            if (i == 0 || i > (pair ? kMaxPairIndex : kMaxWordIndex)) {
                vm.RungFalse();
                return;
            }
            const u64 w = base + (pair ? 2 * (u64{i} - 1) : u64{i} - 1);
            if (PlcReg_Set(WordBitAddress(w), bytes, pair ? 32 : 16) == 0) vm.RungFalse();
            return;
        }
        default:
            return;
    }
}

template <bool kTok16>
void ThroughPointer(u16 op, LadderVm& vm) {
    switch (op) {
        case kLdbP:
        case kLdwP:
        case kLddP: {
            const u32 n = op == kLdbP ? 1 : op == kLdwP ? 2 : 4;
            const u8* p = PointerBytes<kTok16>(vm, n);
            const u32 v = p == nullptr ? 0 : n == 1 ? *p : n == 2 ? GetLe16(p) : GetLe32(p);
            if (n == 4)
                vm.Push32(v);
            else
                vm.Push16(static_cast<u16>(v));
            if (p == nullptr) vm.RungFalse();
            return;
        }
        case kContP: {
            const u8* p = PointerBytes<kTok16>(vm, 1);
            vm.PushRung(p != nullptr && (*p & 1) != 0 ? 0xFF : 0);
            return;
        }
        case kStbP:
        case kStwP:
        case kStdP: {
            const u32 n = op == kStbP ? 1 : op == kStwP ? 2 : 4;
            u8* p = PointerBytes<kTok16>(vm, n);
            const u32 v = n == 4 ? vm.Pop32() : vm.Pop16();
            if (p == nullptr) {
                vm.RungFalse();
                return;
            }
            for (u32 k = 0; k < n; ++k) p[k] = static_cast<u8>(v >> (8 * k));
            return;
        }
        case kOutP: {
            u8* p = PointerBytes<kTok16>(vm, 1);
            const u8 v = vm.PopRung();
            if (p != nullptr) *p = v != 0 ? 0xFF : 0;
            return;
        }
        default:
            return;
    }
}

template <bool kTok16>
void PointerMove(u16 op, LadderVm& vm) {
    const u32 dest = LadderPointerOperand<kTok16>(vm);
    switch (op) {
        case kPMovW:
        case kPFillP: {
            const u32 src = LadderPointerOperand<kTok16>(vm);
            const u64 bytes = 2 * u64{LadderLit(vm.code, vm.ip)};
            if (bytes == 0) return;
            u8* d = LadderRegBytes(dest, bytes);
            const u8* s = LadderRegBytes(src, op == kPMovW ? bytes : 2);
            if (d == nullptr || s == nullptr) {
                vm.RungFalse();
                return;
            }
            if (op == kPMovW) {
                // Ascending, one byte at a time: an overlapping destination
                // above the source repeats what was just copied.
                for (u64 k = 0; k < bytes; ++k) d[k] = s[k];
            } else {
                const u8 lo = s[0], hi = s[1];
                for (u64 k = 0; k < bytes; k += 2) {
                    d[k] = lo;
                    d[k + 1] = hi;
                }
            }
            return;
        }
        case kPFillK: {
            const u16 v = LadderLit(vm.code, vm.ip);
            const u64 bytes = 2 * u64{LadderLit(vm.code, vm.ip)};
            if (bytes == 0) return;
            u8* d = LadderRegBytes(dest, bytes);
            if (d == nullptr) {
                vm.RungFalse();
                return;
            }
            for (u64 k = 0; k < bytes; k += 2) PutLe16(d + k, v);
            return;
        }
        case kPMovD: {
            const u32 src = LadderPointerOperand<kTok16>(vm);
            u8* d = LadderRegBytes(dest, 4);
            const u8* s = LadderRegBytes(src, 4);
            if (d == nullptr || s == nullptr) {
                vm.RungFalse();
                return;
            }
            const u32 v = GetLe32(s);  // read whole first: the two may overlap
            PutLe32(d, v);
            return;
        }
        case kPMovKD: {
            const u32 v = LadderLit2(vm.code, vm.ip);
            u8* d = LadderRegBytes(dest, 4);
            if (d == nullptr) {
                vm.RungFalse();
                return;
            }
            PutLe32(d, v);
            return;
        }
        default:
            return;
    }
}

// Bit array record (seven words after the opcode): flags; u32 array base;
// u32 index (a literal in its low word, or with kIndexInReg a register
// reference to the u16 index); u32 length (a register reference to the u16
// length when it lies in the register address range, else a literal in its
// low word).
constexpr u16 kCmdSet = 1, kCmdClear = 2, kCmdTest = 3;
constexpr u16 kIndexInReg = 0x100, kLengthInBytes = 0x200, kSelfRelative = 0x400;
constexpr u32 kRefFirst = 0x400, kRefLast = 0x10030FFF;
constexpr u32 kMaxArrayBytes = 512;

// `bytes` bytes at a location named by a register reference. Self-relative:
// the reference names a u32 offset, counted forward from its own first byte
// (never wrapped), of the data. Either way the whole span must lie in the register memory (or, for
// a direct reference to an IEC variable, inside that variable's table);
// nullptr otherwise.
u8* Locate(u32 ref, u32 bytes, bool selfRelative) {
    if (!selfRelative) return PlcReg_Ptr(ref, 8 * bytes);
    const u8* at = PlcReg_Ptr(ref, 32);
    if (at == nullptr) return nullptr;
    // An offset only means something inside the register memory.
    const auto first = reinterpret_cast<std::uintptr_t>(plc_reg);
    const auto here = reinterpret_cast<std::uintptr_t>(at);
    if (here < first || here - first > kPlcRegBytes - 4) return nullptr;
    return LadderRegBytes(u64{here - first} + GetLe32(at), bytes);
}

// Skipped with a FALSE rung. Set and clear make the rung TRUE, test gives
// the bit; an unknown command leaves the rung as it is; a failed check makes
// it FALSE.
void BitArray(LadderVm& vm) {
    const u16* r = vm.code + vm.ip;
    vm.ip += 7;
    if (vm.Rung() == 0) return;
    const u16 flags = r[0];
    const bool rel = (flags & kSelfRelative) != 0;
    const u32 base = r[1] | (static_cast<u32>(r[2]) << 16);
    const u32 indexRef = r[3] | (static_cast<u32>(r[4]) << 16);
    const u32 lengthRef = r[5] | (static_cast<u32>(r[6]) << 16);

    u32 index = r[3];
    if ((flags & kIndexInReg) != 0) {
        const u8* p = Locate(indexRef, 2, rel);
        if (p == nullptr) return vm.RungFalse();
        index = GetLe16(p);
    }
    u32 length = r[5];
    if (lengthRef >= kRefFirst && lengthRef <= kRefLast) {
        const u8* p = Locate(lengthRef, 2, rel);
        if (p == nullptr) return vm.RungFalse();
        length = GetLe16(p);
    }
    const u32 bytes = (flags & kLengthInBytes) != 0 ? length : (2 * length) & 0xFFFFu;
    if (base < kRefFirst || base > kRefLast || bytes > kMaxArrayBytes || u64{base} + 8 * bytes > kRefLast ||
        index == 0 || index > 8 * bytes)
        return vm.RungFalse();
    // The whole array, not only its first byte.
    u8* a = Locate(base, bytes, rel);
    if (a == nullptr) return vm.RungFalse();
    u8& b = a[(index - 1) >> 3];
    const u32 bit = (index - 1) & 7;
    switch (flags & 0xFF) {
        case kCmdSet:
            b = static_cast<u8>(b | on_mask[bit]);
            vm.SetRung(1);
            return;
        case kCmdClear:
            b = static_cast<u8>(b & off_mask[bit]);
            vm.SetRung(1);
            return;
        case kCmdTest:
            vm.SetRung((b & on_mask[bit]) != 0 ? 1 : 0);
            return;
        default:
            return;
    }
}

}  // namespace

template <bool kTok16>
bool LadderPointer_Exec(u16 op, LadderVm& vm) {
    switch (op) {
        case kContX:
        case kOutX:
        case kLdbX:
        case kStbX:
        case kLdwX:
        case kStwX:
        case kLddX:
        case kStdX:
            Indexed<kTok16>(op, vm);
            return true;
        case kPtrAddr:
        case kPtrAddrX: {
            const u32 dest = LadderWordOperand<kTok16>(vm.code, vm.ip);
            const u32 byte = LadderByteOperand<kTok16>(vm.code, vm.ip);
            const u32 offset = op == kPtrAddr ? LadderLit(vm.code, vm.ip)
                                              : LadderRegDword(LadderShortWordOperand<kTok16>(vm.code, vm.ip));
            // A pointer is only a number until it is used: it wraps as a u32.
            PutLe32(&plc_reg[2 * dest], byte + offset);
            return true;
        }
        case kLdbP:
        case kLdwP:
        case kLddP:
        case kContP:
        case kStbP:
        case kStwP:
        case kStdP:
        case kOutP:
            ThroughPointer<kTok16>(op, vm);
            return true;
        case kPMovW:
        case kPFillP:
        case kPFillK:
        case kPMovD:
        case kPMovKD:
            PointerMove<kTok16>(op, vm);
            return true;
        case kBitArr:
            BitArray(vm);
            return true;
        default:
            return false;  // not an instruction of this family
    }
}

template bool LadderPointer_Exec<true>(u16, LadderVm&);
template bool LadderPointer_Exec<false>(u16, LadderVm&);
