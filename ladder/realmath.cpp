#include "ladder/realmath.h"

#include <cmath>
#include <limits>

#include "iec/kernel/q4vmcnv.h"
#include "ladder/intmath.h"

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "REAL values are IEEE-754 single precision");

using namespace lreal;

namespace {

// Unary REAL functions: the result replaces top; an operand that is not
// finite, a failed domain test or a result that is not finite sets the rung
// FALSE.
void Unary(LadderVm& vm, float x, float r, bool domainOk) {
    vm.PutReal(1, r);
    if (!Finite(x) || !domainOk || !Finite(r)) vm.RungFalse();
}

void RealFunction(u16 op, LadderVm& vm) {
    const float x = vm.AtReal(1);
    switch (op) {
        case 108:  // DEG2RAD; 6.2831853 is the controller's value of 2 pi
            Unary(vm, x, Narrow(static_cast<double>(x) * 6.2831853 / 360.0), true);
            return;
        case 109:  // RAD2DEG; beyond about 5.9e36 the result overflows, which fails as in ADDR
            Unary(vm, x, Narrow(static_cast<double>(x) * 360.0 / 6.2831853), true);
            return;
        case 146:  // ABSR: the sign bit cleared; finite stays finite
            vm.Put32(1, FloatBits(x) & ~kSignBit);
            if (!Finite(x)) vm.RungFalse();
            return;
        case 148:  // SQRTR: a set sign bit (-0.0 too) gives +infinity
            if ((FloatBits(x) & kSignBit) != 0)
                Unary(vm, x, BitsFloat(kPlusInf), false);
            else
                Unary(vm, x, std::sqrt(x), true);
            return;
        case 150:  // LOGR
            Unary(vm, x, std::log10(x), x > 0.0f);
            return;
        case 151:  // EXPR
            Unary(vm, x, Narrow(std::exp(static_cast<double>(x))), !(x > 88.0f));
            return;
        case 152:  // LNR
            Unary(vm, x, std::log(x), x > 0.0f);
            return;
        case 153:
            Unary(vm, x, std::sin(x), true);
            return;
        case 154:
            Unary(vm, x, std::cos(x), true);
            return;
        case 155:
            Unary(vm, x, std::tan(x), true);
            return;
        case 156:
            Unary(vm, x, std::asin(x), x >= -1.0f && x <= 1.0f);
            return;
        case 157:
            Unary(vm, x, std::acos(x), x >= -1.0f && x <= 1.0f);
            return;
        default:  // 158 ATANR
            Unary(vm, x, std::atan(x), true);
            return;
    }
}

// MODR, POWR: computed in double, rounded; the result replaces second.
void RealBinaryFunction(u16 op, LadderVm& vm) {
    const float t = vm.AtReal(1);
    const float s = vm.AtReal(3);
    vm.wsp -= 2;
    bool ok = Finite(s) && Finite(t);
    float r;
    if (op == 147) {
        // fmod by 0.0 is a NaN, which is stored.
        r = Narrow(std::fmod(static_cast<double>(s), static_cast<double>(t)));
        if (t == 0.0f) ok = false;
    } else {
        r = Narrow(std::pow(static_cast<double>(s), static_cast<double>(t)));
    }
    vm.PutReal(1, r);
    if (!ok || !Finite(r)) vm.RungFalse();
}

// ---------------------------------------------------------------- integer

void IntFunction(u16 op, LadderVm& vm) {
    switch (op) {
        case 140: {  // ABSI: -32,768 stays
            const u16 v = vm.At16(1);
            if ((v & 0x8000) != 0) vm.At16(1) = static_cast<u16>(0u - v);
            return;
        }
        case 141: {  // MODI: remainder with the sign of the dividend
            const i32 t = static_cast<i16>(vm.Pop16());
            if (t == 0) {
                vm.RungFalse();
                return;
            }
            const i32 s = static_cast<i16>(vm.At16(1));
            vm.At16(1) = static_cast<u16>(s % t);  // in 32 bits: -32,768 rem -1 is 0
            return;
        }
        case 142: {  // SQRTI
            const u16 v = vm.At16(1);
            if ((v & 0x8000) != 0) vm.RungFalse();
            vm.At16(1) = isqrt(v);
            return;
        }
        case 143: {  // ABSDI
            const u32 v = vm.At32(1);
            if ((v & kSignBit) != 0) vm.Put32(1, 0u - v);
            return;
        }
        case 144: {  // MODDI
            const i64 t = static_cast<i32>(vm.Pop32());
            if (t == 0) {
                vm.RungFalse();
                return;
            }
            const i64 s = static_cast<i32>(vm.At32(1));
            vm.Put32(1, static_cast<u32>(s % t));
            return;
        }
        default: {  // 145 SQRTDI
            const u32 v = vm.At32(1);
            if ((v & kSignBit) != 0) vm.RungFalse();
            vm.Put32(1, lsqrt(v));
            return;
        }
    }
}

// Range test: low and high as pushed; low >= high tests the wrapped range
// outside (high, low).
template <typename T>
bool InRange(T low, T high, T v) {
    return low < high ? low <= v && v <= high : v >= low || v <= high;
}

void Range(u16 op, LadderVm& vm) {
    bool in;
    if (op == 192) {
        const i16 v = static_cast<i16>(vm.Pop16());
        const i16 high = static_cast<i16>(vm.Pop16());
        const i16 low = static_cast<i16>(vm.Pop16());
        in = InRange(low, high, v);
    } else if (op == 193) {
        const i32 v = static_cast<i32>(vm.Pop32());
        const i32 high = static_cast<i32>(vm.Pop32());
        const i32 low = static_cast<i32>(vm.Pop32());
        in = InRange(low, high, v);
    } else {
        const float v = BitsFloat(vm.Pop32());
        const float high = BitsFloat(vm.Pop32());
        const float low = BitsFloat(vm.Pop32());
        in = InRange(low, high, v);
    }
    Replace(vm, in);
}

// ---------------------------------------------------------------- conversions

// Pushes `v` when `ok`; else sets the rung FALSE and pushes 0.
void Checked16(LadderVm& vm, bool ok, u32 v) {
    if (!ok) vm.RungFalse();
    vm.Push16(ok ? static_cast<u16>(v) : 0);
}
void Checked32(LadderVm& vm, bool ok, u32 v) {
    if (!ok) vm.RungFalse();
    vm.Push32(ok ? v : 0);
}

}  // namespace

void LadderReal_ConvertByte(u16 op, LadderVm& vm, u32 byte) {
    const u8 b = plc_reg[byte];
    const i8 sb = static_cast<i8>(b);
    switch (op) {
        case 300:
        case 303:
            vm.Push16(b);
            break;
        case 301:
        case 304:
            vm.Push32(b);
            break;
        case 302:
            vm.PushReal(static_cast<float>(b));
            break;
        case 324:
            vm.Push16(static_cast<u16>(sb));
            break;
        case 325:
            vm.Push32(static_cast<u32>(static_cast<i32>(sb)));
            break;
        case 326:
            vm.PushReal(static_cast<float>(sb));
            break;
        case 327:
            Checked16(vm, b <= 127, b);
            break;
        default:  // 328
            Checked32(vm, b <= 127, b);
            break;
    }
}

void LadderReal_ConvertWord(u16 op, LadderVm& vm, u32 word) {
    const u16 w = LadderRegWord(word);
    const i16 sw = static_cast<i16>(w);
    switch (op) {
        case 305:
            Checked16(vm, w <= 127, w);
            break;
        case 306:
        case 309:
            vm.Push32(w);
            break;
        case 307:
            vm.PushReal(static_cast<float>(w));
            break;
        case 308:
        case 315:  // as i16, 0..255 is the same test
            Checked16(vm, w <= 255, w);
            break;
        case 316:
            Checked32(vm, w <= 32767, w);
            break;
        default:  // 329
            Checked16(vm, sw >= -128 && sw <= 127, w);
            break;
    }
}

void LadderReal_ConvertPair(u16 op, LadderVm& vm, u32 r) {
    const u32 d = LadderRegWord(r) | (static_cast<u32>(LadderRegWord(r + 1)) << 16);
    const i32 sd = static_cast<i32>(d);
    switch (op) {
        case 310:
            Checked16(vm, d <= 127, d);
            break;
        case 311:
            Checked16(vm, sd >= -32768 && sd <= 32767, d);
            break;
        case 312:
            vm.PushReal(static_cast<float>(d));
            break;
        case 313:
        case 317:
            Checked16(vm, d <= 255, d);
            break;
        case 314:
        case 318:
            Checked16(vm, d <= 65535, d);
            break;
        case 330:
            Checked16(vm, sd >= -128 && sd <= 127, d);
            break;
        case 321: {
            // The limit is compared in double: 4,294,967,296.0 (the next
            // REAL above 4,294,967,040.0) fails and pushes the saturated
            // 0xFFFFFFFF.
            const float f = BitsFloat(d);
            const bool ok = Finite(f) && f >= 0.0f && static_cast<double>(f) <= 4294967294.0;
            if (!ok) vm.RungFalse();
            vm.Push32(Q4VMCnv_RealToUdint(f));
            break;
        }
        default: {  // 319, 320, 331: the converted value is pushed even on failure
            const float f = BitsFloat(d);
            const i32 v = Q4VMCnv_RealToDint(f);
            bool ok;
            if (op == 319)
                ok = Finite(f) && v >= 0 && v <= 255;
            else if (op == 320)
                ok = Finite(f) && v >= 0 && v <= 65535;
            else
                ok = v >= -128 && v <= 127;  // a NaN converts to 0 and passes
            if (!ok) vm.RungFalse();
            vm.Push16(static_cast<u16>(static_cast<u32>(v)));
            break;
        }
    }
}

template <bool kTok16>
bool LadderReal_Exec(u16 op, LadderVm& vm) {
    switch (op) {
        case 108:
        case 109:
        case 146:
        case 148:
        case 150:
        case 151:
        case 152:
        case 153:
        case 154:
        case 155:
        case 156:
        case 157:
        case 158:
            RealFunction(op, vm);
            return true;
        case 128:
        case 129:
        case 130:
        case 131:
            Arith(op, vm);
            return true;
        case 147:
        case 149:
            RealBinaryFunction(op, vm);
            return true;
        case 140:
        case 141:
        case 142:
        case 143:
        case 144:
        case 145:
            IntFunction(op, vm);
            return true;
        case 192:
        case 193:
        case 194:
            Range(op, vm);
            return true;
        case 300:
        case 301:
        case 302:
        case 303:
        case 304:
        case 324:
        case 325:
        case 326:
        case 327:
        case 328:
            LadderReal_ConvertByte(op, vm, LadderByteOperand<kTok16>(vm.code, vm.ip));
            return true;
        case 305:
        case 306:
        case 307:
        case 308:
        case 309:
        case 315:
        case 316:
        case 329:
            LadderReal_ConvertWord(op, vm, LadderWordOperand<kTok16>(vm.code, vm.ip));
            return true;
        case 310:
        case 311:
        case 312:
        case 313:
        case 314:
        case 317:
        case 318:
        case 319:
        case 320:
        case 321:
        case 330:
        case 331:
            LadderReal_ConvertPair(op, vm, LadderWordOperand<kTok16>(vm.code, vm.ip));
            return true;
        default:
            if ((op >= 160 && op <= 177) || (op >= 280 && op <= 288)) {
                Compare(op, vm);
                return true;
            }
            return false;  // not an instruction of this family
    }
}

template bool LadderReal_Exec<true>(u16, LadderVm&);
template bool LadderReal_Exec<false>(u16, LadderVm&);
