#include "ladder/wordmove.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/kernel/q4vmcnv.h"
#include "ladder/ladder_operand.h"

namespace {

constexpr u16 kBlkMov = 91, kTblGet = 97, kTblPut = 98, kTblCopy = 99;

// %R1 is register word 1984; pointer registers hold %R numbers 1..50,240.
constexpr u32 kRFirstWord = kRegR / 2;
constexpr i64 kRLast = 50240;

template <bool kTok16>
inline u32 W(LadderVm& vm) {
    return LadderWordOperand<kTok16>(vm.code, vm.ip);
}
template <bool kTok16>
inline u32 Y(LadderVm& vm) {
    return LadderByteOperand<kTok16>(vm.code, vm.ip);
}
inline u16 K(LadderVm& vm) { return LadderLit(vm.code, vm.ip); }

// Copies `words` register words upward one word at a time: a destination
// that starts inside the source repeats the words copied before it.
void CopyWordsUp(u8* dst, const u8* src, u32 words) {
    const u32 n = 2 * words;
    if (dst <= src || dst >= src + n) {
        std::memmove(dst, src, n);
        return;
    }
    for (u32 i = 0; i < n; ++i) dst[i] = src[i];
}

// The REAL in `bits` truncated toward zero and saturated to the i32 range
// (NaN gives 0); `inRange` becomes false for infinities, NaN and values
// outside [lo, hi].
i32 RealToInt(u32 bits, double lo, double hi, bool& inRange) {
    const double d = BitsFloat(bits);
    inRange = (bits & 0x7F800000u) != 0x7F800000u && d <= hi && d >= lo;
    return Q4VMCnv_RealToDint(d);
}

// ---- Block move --------------------------------------------------------

}  // namespace

bool LadderMove_Bytes(u64 dst, u64 src, u64 bytes, bool wordwise) {
    u8* d = LadderRegBytes(dst, bytes);
    u8* s = LadderRegBytes(src, bytes);
    if (d == nullptr || s == nullptr) return false;
    if (wordwise)
        CopyWordsUp(d, s, static_cast<u32>(bytes / 2));
    else
        std::memmove(d, s, bytes);
    return true;
}

namespace {

inline bool ModeForm(const u16* code, u32 at) { return code[at] == 0 && code[at + 1] == 0; }

template <bool kTok16>
void BlkMov(LadderVm& vm) {
    bool bytes = false;
    if (ModeForm(vm.code, vm.ip)) {
        const u16 mode = vm.code[vm.ip + 2];
        vm.ip += 4;
        if (mode < 1 || mode > 4) return;  // nothing follows the header
        bytes = mode == 1;
    }
    u64 dst, src;
    if (bytes) {
        dst = Y<kTok16>(vm);
        src = Y<kTok16>(vm);
    } else {
        dst = 2 * u64{W<kTok16>(vm)};
        src = 2 * u64{W<kTok16>(vm)};
    }
    const u16 count = K(vm);
    if (!LadderMove_Bytes(dst, src, bytes ? count : 2 * u64{count}, !bytes)) vm.RungFalse();
}

// ---- Table moves -------------------------------------------------------

enum class TblForm : u8 { kIndexed, kPointer, kNeither };
enum class Side : u8 { kDirect, kIndexed, kPointer };

// How one side of a table move is addressed.
struct TblShape {
    Side dst, src;
};

// The form the flags of the mode form choose. Mode 5 is always indexed.
TblForm FormOf(u16 op, u16 mode, u16 flags) {
    if (mode == 5) return TblForm::kIndexed;
    switch (op) {
        case kTblGet:
            return (flags & 4) != 0 ? TblForm::kIndexed : (flags & 1) != 0 ? TblForm::kPointer : TblForm::kNeither;
        case kTblPut:
            return (flags & 8) != 0 ? TblForm::kIndexed : (flags & 2) != 0 ? TblForm::kPointer : TblForm::kNeither;
        default:
            return (flags & 12) == 12 ? TblForm::kIndexed : (flags & 3) == 3 ? TblForm::kPointer : TblForm::kNeither;
    }
}

// Operand list of a form: dst operand, src operand, count, then the index
// registers of the indexed sides (source first). Flags that choose neither
// form still span the indexed list.
TblShape ShapeOf(u16 op, TblForm form) {
    const Side t = form == TblForm::kPointer ? Side::kPointer : Side::kIndexed;
    switch (op) {
        case kTblGet:
            return {Side::kDirect, t};
        case kTblPut:
            return {t, Side::kDirect};
        default:
            return {t, t};
    }
}

// Index step in bytes of the modes 1-5 (0: the mode carries no operands).
constexpr u8 kStepBytes[6] = {0, 1, 4, 4, 8, 2};

inline u16 ModeOf(u16 mode) { return mode <= 5 ? mode : 0; }

// Register byte offset of one side; false when a pointer is 0 or its last
// word lies beyond %R50240. `operand` is the side's operand (a byte offset,
// or the pointer register's word index).
bool Resolve(Side side, u64 operand, u32 indexReg, u32 stepBytes, bool bytes, u16 count, u64& at) {
    switch (side) {
        case Side::kDirect:
            at = operand;
            return true;
        case Side::kIndexed:
            at = operand + u64{LadderRegWord(indexReg)} * stepBytes;
            return true;
        case Side::kPointer: {
            const i64 p = LadderRegWord(static_cast<u32>(operand));
            // A byte copy touches every word that holds one of its bytes.
            const i64 words = bytes ? (count + 1) / 2 : count;
            if (p == 0 || p + words - 1 > kRLast) return false;
            at = 2 * (static_cast<u64>(p) + kRFirstWord - 1);
            return true;
        }
    }
    return false;
}

template <bool kTok16>
void TableMove(u16 op, LadderVm& vm) {
    bool bytes = false;
    u32 stepBytes = 2;
    TblForm form = TblForm::kPointer;
    if (ModeForm(vm.code, vm.ip)) {
        const u16 mode = ModeOf(vm.code[vm.ip + 2]);
        const u16 flags = vm.code[vm.ip + 3];
        vm.ip += 4;
        if (mode == 0) return;  // nothing follows the header
        bytes = mode == 1;
        stepBytes = kStepBytes[mode];
        form = FormOf(op, mode, flags);
    }
    const TblShape shape = ShapeOf(op, form);
    auto operand = [&](Side side) -> u64 {
        if (side == Side::kPointer) return W<kTok16>(vm);
        return bytes ? u64{Y<kTok16>(vm)} : 2 * u64{W<kTok16>(vm)};
    };
    const u64 dOpd = operand(shape.dst);
    const u64 sOpd = operand(shape.src);
    const u16 count = K(vm);
    u32 sIdx = 0, dIdx = 0;
    if (shape.src == Side::kIndexed) sIdx = W<kTok16>(vm);
    if (shape.dst == Side::kIndexed) dIdx = W<kTok16>(vm);
    if (form == TblForm::kNeither) {
        vm.RungFalse();
        return;
    }
    u64 dst = 0, src = 0;
    if (!Resolve(shape.dst, dOpd, dIdx, stepBytes, bytes, count, dst) ||
        !Resolve(shape.src, sOpd, sIdx, stepBytes, bytes, count, src) ||
        !LadderMove_Bytes(dst, src, bytes ? count : 2 * u64{count}, !bytes))
        vm.RungFalse();
}

// ---- Layout ------------------------------------------------------------

// Walks the operands of one instruction for its layout.
struct Cursor {
    const u16* code;
    u32 avail;
    bool tok16;
    LadderLayout& out;
    u32 pos = 1;
    bool ok = true;

    void Reg(LOpd kind) {
        if (!ok) return;
        const u32 n = out.Add(kind, code, pos, avail, tok16);
        if (n == 0) ok = false;
        pos += n;
    }
    void Lit() {
        if (!ok) return;
        if (pos >= avail) {
            out.Fail(LLayoutStatus::kTruncated);
            ok = false;
            return;
        }
        ++pos;
    }
    // The header of the mode form, when the two words after the opcode are
    // 0; the mode and flags words are returned.
    bool Header(bool& modeForm, u16& mode, u16& flags) {
        if (avail < 3) {
            out.Fail(LLayoutStatus::kTruncated);
            return false;
        }
        modeForm = ModeForm(code, 1);
        if (!modeForm) return true;
        if (avail < 5) {
            out.Fail(LLayoutStatus::kTruncated);
            return false;
        }
        mode = code[3];
        flags = code[4];
        pos = 5;
        return true;
    }
    void Finish() { out.words = ok ? pos : 0; }
};

}  // namespace

void LadderMove_LoadConverted(u16 op, LadderVm& vm, u32 w) {
    switch (op) {
        case 75: {  // LDDI2I: DINT as INT, range checked
            const i32 v = static_cast<i32>(LadderRegDword(w));
            if (v < -32768 || v > 32767) {
                vm.Push16(0);
                vm.RungFalse();
            } else {
                vm.Push16(static_cast<u16>(v));
            }
            return;
        }
        case 76:    // LDR2DI
        case 77: {  // LDR2I: the low 16 bits of the same saturated DINT
            bool inRange;
            const bool dint = op == 76;
            const i32 v = RealToInt(LadderRegDword(w), dint ? -2147483648.0 : -32768.0,
                                    dint ? 2147483647.0 : 32767.0, inRange);
            if (!inRange) vm.RungFalse();
            if (dint)
                vm.Push32(static_cast<u32>(v));
            else
                vm.Push16(static_cast<u16>(v));
            return;
        }
        case 78:  // LDDI2R
            vm.PushReal(static_cast<float>(static_cast<i32>(LadderRegDword(w))));
            return;
        case 79:  // LDI2R
            vm.PushReal(static_cast<float>(static_cast<i16>(LadderRegWord(w))));
            return;
        default:
            return;
    }
}

template <bool kTok16>
bool LadderMove_Exec(u16 op, LadderVm& vm) {
    switch (op) {
        case 75:
        case 76:
        case 77:
        case 78:
        case 79:
            LadderMove_LoadConverted(op, vm, W<kTok16>(vm));
            return true;
        case 80:  // LDW
            vm.Push16(LadderRegWord(W<kTok16>(vm)));
            return true;
        case 81:  // LDKW
            vm.Push16(K(vm));
            return true;
        case 82:  // STW
            LadderPutRegWord(W<kTok16>(vm), vm.Pop16());
            return true;
        case 83: {  // LDD: the register, then the next one
            const u32 w = W<kTok16>(vm);
            vm.Push16(LadderRegWord(w));
            vm.Push16(LadderRegWord(w + 1));
            return true;
        }
        case 84:  // LDKD: the literal words in code order
            vm.Push16(K(vm));
            vm.Push16(K(vm));
            return true;
        case 85: {  // STD: the top entry into the second register of the pair
            const u32 w = W<kTok16>(vm);
            LadderPutRegWord(w + 1, vm.Pop16());
            LadderPutRegWord(w, vm.Pop16());
            return true;
        }
        case 86:    // LDKI2DI
        case 87: {  // LDI2DI: sign-extended to 32 bits
            const u16 v = op == 86 ? K(vm) : LadderRegWord(W<kTok16>(vm));
            vm.Push16(v);
            vm.Push16((v & 0x8000) != 0 ? 0xFFFF : 0);
            return true;
        }
        case 195:  // LDB
            vm.Push16(plc_reg[Y<kTok16>(vm)]);
            return true;
        case 196:  // STB
            plc_reg[Y<kTok16>(vm)] = static_cast<u8>(vm.Pop16());
            return true;
        case 90: {  // MOVW
            const u32 dst = W<kTok16>(vm);
            LadderPutRegWord(dst, LadderRegWord(W<kTok16>(vm)));
            return true;
        }
        case 92: {  // MOVKW
            const u32 dst = W<kTok16>(vm);
            LadderPutRegWord(dst, K(vm));
            return true;
        }
        case 93:    // FILLW: the source is read once
        case 94: {  // FILLKW
            const u32 dst = W<kTok16>(vm);
            const u16 v = op == 93 ? LadderRegWord(W<kTok16>(vm)) : K(vm);
            const u16 count = K(vm);
            u8* p = LadderRegWords(dst, count);
            if (p == nullptr) {
                vm.RungFalse();
                return true;
            }
            for (u32 i = 0; i < count; ++i) PutLe16(p + 2 * i, v);
            return true;
        }
        case 95: {  // MOVD: the value is read whole before it is written
            const u32 dst = W<kTok16>(vm);
            const u32 v = LadderRegDword(W<kTok16>(vm));
            LadderPutRegWord(dst, static_cast<u16>(v));
            LadderPutRegWord(dst + 1, static_cast<u16>(v >> 16));
            return true;
        }
        case 96: {  // MOVKD
            const u32 dst = W<kTok16>(vm);
            LadderPutRegWord(dst, K(vm));
            LadderPutRegWord(dst + 1, K(vm));
            return true;
        }
        case kBlkMov:
            BlkMov<kTok16>(vm);
            return true;
        case kTblGet:
        case kTblPut:
        case kTblCopy:
            TableMove<kTok16>(op, vm);
            return true;
        default:
            return false;
    }
}

template bool LadderMove_Exec<true>(u16, LadderVm&);
template bool LadderMove_Exec<false>(u16, LadderVm&);

void LadderMove_LayoutBlk(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    Cursor c{code, avail, tok16, out};
    bool modeForm = false;
    u16 mode = 0, flags = 0;
    if (!c.Header(modeForm, mode, flags)) return;
    if (modeForm && (mode < 1 || mode > 4)) {
        c.Finish();  // the header alone
        return;
    }
    const LOpd elem = modeForm && mode == 1 ? LOpd::kByte : LOpd::kWord;
    c.Reg(elem);
    c.Reg(elem);
    c.Lit();
    c.Finish();
}

void LadderMove_LayoutTbl(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    Cursor c{code, avail, tok16, out};
    bool modeForm = false;
    u16 mode = 0, flags = 0;
    if (!c.Header(modeForm, mode, flags)) return;
    TblForm form = TblForm::kPointer;
    LOpd elem = LOpd::kWord;
    if (modeForm) {
        mode = ModeOf(mode);
        if (mode == 0) {
            c.Finish();  // the header alone
            return;
        }
        form = FormOf(code[0], mode, flags);
        if (mode == 1) elem = LOpd::kByte;
    }
    const TblShape shape = ShapeOf(code[0], form);
    c.Reg(shape.dst == Side::kPointer ? LOpd::kWord : elem);
    c.Reg(shape.src == Side::kPointer ? LOpd::kWord : elem);
    c.Lit();
    if (shape.src == Side::kIndexed) c.Reg(LOpd::kWord);
    if (shape.dst == Side::kIndexed) c.Reg(LOpd::kWord);
    c.Finish();
}
