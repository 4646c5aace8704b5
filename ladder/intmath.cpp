#include "ladder/intmath.h"

#include <limits>

// Every operation works on the interpreter's word stack in place: a binary
// operation combines second (pushed first) with top, writes the result over
// second and drops top. Overflow and division by zero make the rung value
// FALSE and never stop the scan. All arithmetic is done in wider or unsigned
// types, so no input can reach undefined behaviour (signed overflow, shifts
// by the width or more, the minimum value divided by -1).

using namespace lintmath;

namespace {

// ADDU, SUBU, SQRTU and MODU after their type word.
void Unsigned(u16 op, u16 type, LadderVm& vm) {
    bool overflow = false;
    if (type == kLadderUnsigned16) {
        if (op == kSqrtU) {
            vm.At16(1) = isqrt(vm.At16(1));
            return;
        }
        const u16 b = vm.Pop16();
        u16& a = vm.At16(1);
        if (op == kAddU) {
            const u32 s = static_cast<u32>(a) + b;
            overflow = s > 0xFFFFu;
            a = static_cast<u16>(s);
        } else if (op == kSubU) {
            overflow = b > a;
            a = static_cast<u16>(static_cast<u32>(a) - b);
        } else if (b == 0) {
            overflow = true;
        } else {
            a = static_cast<u16>(a % b);
        }
    } else if (type == kLadderUnsigned32) {
        if (op == kSqrtU) {
            vm.Put32(1, lsqrt(vm.At32(1)));
            return;
        }
        const u32 b = vm.Pop32();
        u32 a = vm.At32(1);
        if (op == kAddU)
            overflow = LH_AddUInt32(a, b, a);
        else if (op == kSubU)
            overflow = LH_SubUInt32(a, b, a);
        else if (b == 0)
            overflow = true;
        else
            a %= b;
        vm.Put32(1, a);
    }
    if (overflow) vm.RungFalse();
}

}  // namespace

template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm) {
    // No instruction of the family has register operands, so the token
    // width does not change the decoding.
    switch (op) {
        case kNotW:
            vm.At16(1) = static_cast<u16>(~vm.At16(1));
            return true;
        case kNotD:
            vm.Put32(1, ~vm.At32(1));
            return true;
        case kAndW:
        case kOrW:
        case kXorW:
        case kShlW:
        case kShrW:
        case kRolW:
        case kRorW:
        case kAddI:
        case kSubI:
        case kMulI:
        case kDivI:
        case kMulB:
        case kDivB:
        case kMulUW:
        case kDivUW:
        case kAddSB:
        case kSubSB:
        case kMulSB:
        case kDivSB:
        case kShlB:
        case kShrB:
        case kRolB:
        case kRorB:
            Binary16(op, vm);
            return true;
        case kAndD:
        case kOrD:
        case kXorD:
        case kShlD:
        case kShrD:
        case kRolD:
        case kRorD:
        case kAddDI:
        case kSubDI:
        case kMulDI:
        case kDivDI:
        case kMulUD:
        case kDivUD:
            Binary32(op, vm);
            return true;
        case kAddU:
        case kSubU:
        case kSqrtU:
        case kModU:
            Unsigned(op, LadderLit(vm.code, vm.ip), vm);
            return true;
        default:
            return false;  // not an instruction of this family
    }
}

template bool LadderIntMath_Exec<true>(u16, LadderVm&);
template bool LadderIntMath_Exec<false>(u16, LadderVm&);

void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)tok16;  // the type word is a literal in both widths
    if (avail < 2) {
        out.Fail(LLayoutStatus::kTruncated);
        return;
    }
    out.words = 2;
    const bool sqrt = code[0] == kSqrtU;
    switch (code[1]) {
        case kLadderUnsigned16:
            out.wordNeed = sqrt ? 1 : 2;
            out.wordDelta = sqrt ? 0 : -1;
            break;
        case kLadderUnsigned32:
            out.wordNeed = sqrt ? 2 : 4;
            out.wordDelta = sqrt ? 0 : -2;
            break;
        default:
            // Any other type does nothing beyond consuming the type word.
            out.wordNeed = 0;
            out.wordDelta = 0;
            break;
    }
}
