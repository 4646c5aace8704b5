#include "ladder/ltmrcnt.h"

#include <array>

#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"
#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"
#include "ladder/pid.h"

namespace {

enum class Kind : u8 { kOnDelay, kOffDelay, kAccumulating };

struct TimerInfo {
    bool wide;   // 32-bit record and preset
    Kind kind;
    u32 ticks;   // 100 us ticks per unit of the base
};

constexpr u16 kOutput = 0x8000, kEnabled = 0x4000, kStampMask = 0x3FFF;

// Kind and base of a timer opcode; false for other opcodes.
constexpr bool Describe(u16 op, TimerInfo* t) {
    const u16 pair = static_cast<u16>(op & ~1u);
    switch (pair) {
        case 204: *t = {false, Kind::kOnDelay, 100}; return true;
        case 206: *t = {false, Kind::kOffDelay, 100}; return true;
        case 208: *t = {false, Kind::kOnDelay, 1000}; return true;
        case 210: *t = {false, Kind::kOffDelay, 1000}; return true;
        case 212: *t = {false, Kind::kAccumulating, 100}; return true;
        case 214: *t = {false, Kind::kAccumulating, 1000}; return true;
        default: break;
    }
    // Blocks of six: accumulating, on-delay, off-delay at one base.
    struct Block {
        u16 first;
        bool wide;
        u32 ticks;
    };
    constexpr Block kBlocks[] = {{458, false, 10000}, {474, false, 10}, {450, true, 10000},
                                 {466, true, 10},     {482, true, 100}, {498, true, 1000}};
    for (const Block& b : kBlocks) {
        if (pair < b.first || pair > b.first + 4) continue;
        const Kind k = pair == b.first ? Kind::kAccumulating : pair == b.first + 2 ? Kind::kOnDelay : Kind::kOffDelay;
        *t = {b.wide, k, b.ticks};
        return true;
    }
    return false;
}

// A preset: a literal (one word taken as unsigned, or two words for the
// 32-bit forms) or a register (i16, or an i32 register pair). ok turns
// false when the register lies outside the memory.
i32 Preset(const u16* code, u32& ip, bool tok16, bool literal, bool wide, bool& ok) {
    if (literal) return wide ? static_cast<i32>(LadderLit2(code, ip)) : static_cast<i32>(LadderLit(code, ip));
    const u32 w = LadderWordOperand(code, ip, tok16);
    if (!LadderWordValid(w, wide ? 2 : 1)) {
        ok = false;
        return 0;
    }
    return wide ? static_cast<i32>(LadderRegDword(w)) : static_cast<i16>(LadderRegWord(w));
}

u8 Timer(const u16* code, u32& ip, u8 rung, bool tok16, bool wantWide) {
    const u16 op = code[ip - 1];
    TimerInfo t{};
    if (!Describe(op, &t) || t.wide != wantWide) return 0;
    const bool literal = (op & 1u) != 0;
    bool ok = true;
    u32 resetBit = 0;
    if (t.kind == Kind::kAccumulating) {
        resetBit = LadderBitOperand(code, ip, tok16);
        ok = LadderBitValid(resetBit);
    }
    const u32 rec = LadderWordOperand(code, ip, tok16);
    const i32 preset = Preset(code, ip, tok16, literal, t.wide, ok);
    const u32 span = t.wide ? 3 : 2;
    if (!ok || !LadderWordValid(rec, span)) return 0;

    const u16 now = static_cast<u16>(Ladder_TimerStamp() & kStampMask);
    const u32 statusWord = rec + span - 1;
    auto putAcc = [&](i64 v) {
        if (t.wide)
            LadderPutRegDword(rec, static_cast<u32>(v));
        else
            LadderPutRegWord(rec, static_cast<u16>(v));
    };

    if (t.kind == Kind::kAccumulating && LadderRegBit(resetBit)) {
        putAcc(0);
        LadderPutRegWord(statusWord, now);
        return 0;
    }
    const bool first = S_Get(1);
    bool enabled = rung != 0;
    const bool off = t.kind == Kind::kOffDelay;
    if (off) {
        // 16-bit off-delay timers start expired after a (re)start.
        if (!t.wide && first) putAcc(preset);
        enabled = !enabled;
    }
    if (!enabled) {
        if (t.kind != Kind::kAccumulating) putAcc(0);
        LadderPutRegWord(statusWord, static_cast<u16>(now | (off ? kOutput : 0)));
        return off ? 1 : 0;
    }

    // The accumulator widened: u16 for the 16-bit record, so it compares
    // with the signed preset as a value 0..65535.
    i64 acc = t.wide ? i64{static_cast<i32>(LadderRegDword(rec))} : i64{LadderRegWord(rec)};
    const u16 stamp = static_cast<u16>(LadderRegWord(statusWord) & kStampMask);
    u32 units = 1, rest = 0;
    if (acc < preset && !first) {
        const u32 elapsed = static_cast<u16>(now - stamp) & kStampMask;
        units = elapsed / t.ticks;
        rest = elapsed % t.ticks;
        acc += units;
    }
    // Compared before it is stored, so a sum beyond 16 bits expires the
    // timer instead of wrapping back to a small value.
    const bool expired = preset <= acc;
    if (expired) acc = preset;
    u16 status = off ? 0 : kEnabled;
    const bool out = off ? !expired : expired;
    if (out) status |= kOutput;
    status |= units != 0 ? static_cast<u16>((now - rest) & kStampMask) : stamp;
    putAcc(acc);
    LadderPutRegWord(statusWord, status);
    return out ? 1 : 0;
}

// Count step shared by both widths. The edge memory is bit 14 of the status;
// counting comes before the reset or load, so an edge in the scan in which
// the reset bit is set is lost.
u8 Count(u32 rec, bool wide, bool down, i32 preset, u32 resetBit, u8 rung) {
    const u32 statusWord = rec + (wide ? 2 : 1);
    const i32 max = wide ? 2147483647 : 32767;
    const i32 min = wide ? -2147483647 : -32768;
    i32 c = wide ? static_cast<i32>(LadderRegDword(rec)) : static_cast<i16>(LadderRegWord(rec));
    u16 st = LadderRegWord(statusWord);
    if (rung != 0) {
        if ((st & kEnabled) == 0) {
            if (!down && c < max) ++c;
            if (down && c > min) --c;
            st |= kEnabled;
        }
    } else {
        st &= static_cast<u16>(~kEnabled);
    }
    if (LadderRegBit(resetBit)) {
        // A literal preset above the 16-bit count's range loads its
        // maximum, not the wrapped negative pattern.
        c = down ? (preset > max ? max : preset) : 0;
    }
    const bool done = down ? c <= 0 : c >= preset;
    st = done ? static_cast<u16>(st | kOutput) : static_cast<u16>(st & ~kOutput);
    if (wide)
        LadderPutRegDword(rec, static_cast<u32>(c));
    else
        LadderPutRegWord(rec, static_cast<u16>(c));
    LadderPutRegWord(statusWord, st);
    return done ? 1 : 0;
}

u8 Counter(const u16* code, u32& ip, u8 rung, bool tok16, bool wide, bool down, bool literal) {
    const u32 resetBit = LadderBitOperand(code, ip, tok16);
    const u32 rec = LadderWordOperand(code, ip, tok16);
    bool ok = LadderBitValid(resetBit);
    const i32 preset = Preset(code, ip, tok16, literal, wide, ok);
    if (!ok || !LadderWordValid(rec, wide ? 3 : 2)) return 0;
    return Count(rec, wide, down, preset, resetBit, rung);
}

using O = LOpd;

constexpr LadderRoutineRow MakeRow(u16 op) {
    LadderRoutineRow r{op, op, "", nullptr, 0, {}, nullptr};
    const O preset = (op & 1u) == 0 ? O::kWord : O::kLit;
    if (op == 199) {  // the sub-operation word chooses the preset's form
        r.name = "CTR32";
        r.run = Logic32bCounters;
        r.words = Counter32_OperandWords;
        return r;
    }
    if (op >= 200 && op <= 203) {
        r.name = op <= 201 ? "CTU" : "CTD";
        r.run = LogicCounters;
        r.operands[r.count++] = O::kBit;
        r.operands[r.count++] = O::kWord;
        r.operands[r.count++] = preset;
        return r;
    }
    TimerInfo t{};
    Describe(op, &t);
    r.name = t.kind == Kind::kOnDelay ? "TON" : t.kind == Kind::kOffDelay ? "TOF" : "TACC";
    r.run = t.wide ? Logic32bTimers : LogicTimers;
    if (t.kind == Kind::kAccumulating) r.operands[r.count++] = O::kBit;
    r.operands[r.count++] = O::kWord;
    r.operands[r.count++] = preset;
    // A 32-bit literal preset: two literal words, low word first.
    if (t.wide && preset == O::kLit) r.operands[r.count++] = O::kLit;
    return r;
}

constexpr u16 kOpcodes[] = {199, 200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214,
                            215, 450, 451, 452, 453, 454, 455, 458, 459, 460, 461, 462, 463, 466, 467,
                            468, 469, 470, 471, 474, 475, 476, 477, 478, 479, 482, 483, 484, 485, 486,
                            487, 498, 499, 500, 501, 502, 503};
constexpr size_t kRowCount = sizeof(kOpcodes) / sizeof(kOpcodes[0]);

constexpr std::array<LadderRoutineRow, kRowCount> BuildRows() {
    std::array<LadderRoutineRow, kRowCount> rows{};
    for (size_t i = 0; i < kRowCount; ++i) rows[i] = MakeRow(kOpcodes[i]);
    return rows;
}

constexpr std::array<LadderRoutineRow, kRowCount> kRows = BuildRows();

}  // namespace

u8 LogicTimers(const u16* code, u32& ip, u8 rung, bool tok16) { return Timer(code, ip, rung, tok16, false); }
u8 Logic32bTimers(const u16* code, u32& ip, u8 rung, bool tok16) { return Timer(code, ip, rung, tok16, true); }

u8 LogicCounters(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u16 op = code[ip - 1];
    return Counter(code, ip, rung, tok16, false, op >= 202, (op & 1u) != 0);
}

u8 Logic32bCounters(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u16 sub = LadderLit(code, ip);
    return Counter(code, ip, rung, tok16, true, sub >= 2, (sub & 1u) != 0);
}

u32 Counter32_OperandWords(const u16* code, u32 avail, bool tok16) {
    if (avail == 0) return 0;
    const O preset = (code[0] & 1u) != 0 ? O::kLit2 : O::kWord;
    u32 pos = 1;
    for (O k : {O::kBit, O::kWord, preset}) {
        const u32 n = LadderOperand_Words(k, code + pos, avail - pos, tok16);
        if (n == 0) return 0;
        pos += n;
    }
    return pos;
}

const std::span<const LadderRoutineRow> kTimerCounterRoutines{kRows};

const LadderRoutineRow* Timer_FindRow(u16 opcode) {
    for (const auto& r : kRows)
        if (opcode == r.first) return &r;
    return nullptr;
}
