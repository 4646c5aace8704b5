// Indexed access, byte pointers, pointer moves and the bit array, run
// through the interpreter in both token widths. Every case compares the
// whole register memory with what it should hold afterwards, so a write
// anywhere else (or a store that was refused but still landed) shows up.
#include <string>
#include <vector>

#include "ladder/ladder_ops.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

constexpr u32 ByteOf(u32 a) { return (a - 0x400) >> 3; }
constexpr u32 WordOf(u32 a) { return (a - 0x400) >> 4; }

constexpr u32 kEnd = kPlcRegBytes;    // first byte past the register memory
constexpr u32 kIdx = lreg::R(50);     // index register
constexpr u32 kRes = lreg::R(60);     // loaded value (two words)
constexpr u32 kMark = lreg::R(62);    // a word pushed before the load
constexpr u32 kPtr = lreg::R(70);     // pointer pair
constexpr u32 kSrc = lreg::R(72);     // second pointer pair
constexpr u32 kOff = lreg::R(74);     // u32 offset pair of PTRADDRX
constexpr u32 kData = lreg::R(100);   // data block
constexpr u32 kFar = lreg::R(50000);  // near the end of %R (32-bit tokens only)
constexpr u32 kNone = 0xFFFFFFFF;     // no byte expected

class Pointers : public LadderTest {
protected:
    static void SetPair(u32 a, u32 v) {
        SetRegWord(a, static_cast<u16>(v));
        SetRegWord(a + 16, static_cast<u16>(v >> 16));
    }
    static u32 Pair(u32 a) { return RegWord(a) | (u32{RegWord(a + 16)} << 16); }

    // A pattern over everything from %R3 to the end, so that every load has
    // a value of its own to find.
    static void FillPattern() {
        for (u32 b = ByteOf(lreg::R(3)); b < kEnd; ++b) plc_reg[b] = static_cast<u8>(b * 7 + 3);
    }
    static std::vector<u8> Memory() { return {plc_reg, plc_reg + kEnd}; }

    // The bytes the scan writes by itself: %S1/%S10, SR2, the scan stamp in
    // SR149-150, and the coils' register %R2.
    static bool Housekeeping(u32 b) {
        return (b >= kRegS && b < kRegS + 2) || b == 258 || b == 259 || (b >= 552 && b < 556) ||
               b == ByteOf(kY0) || b == ByteOf(kY0) + 1;
    }
    static void ExpectMemory(const std::vector<u8>& expect) {
        int shown = 0;
        for (u32 b = 0; b < kEnd && shown < 4; ++b) {
            if (Housekeeping(b) || plc_reg[b] == expect[b]) continue;
            ADD_FAILURE() << "byte " << b << " is " << int{plc_reg[b]} << ", expected " << int{expect[b]};
            ++shown;
        }
    }
    static void Put(std::vector<u8>& m, u32 at, u32 v, u32 n) {
        for (u32 k = 0; k < n; ++k) m[at + k] = static_cast<u8>(v >> (8 * k));
    }
    static u32 Get(const std::vector<u8>& m, u32 at, u32 n) {
        u32 v = 0;
        for (u32 k = 0; k < n; ++k) v |= u32{m[at + k]} << (8 * k);
        return v;
    }
    void Run(LadderBuilder& p) {
        p.End();
        ASSERT_EQ(Exec(p), kLadderEnd);
    }
    // Pushes a literal of n bytes.
    static void PushLit(LadderBuilder& p, u32 v, u32 n) {
        if (n == 4)
            p.Op("LDKD", {v});
        else
            p.Op("LDKW", {v});
    }
    // Stores the top value (n bytes wide) into kRes.
    static void StoreRes(LadderBuilder& p, u32 n) { p.Op(n == 4 ? "STD" : "STW", {kRes}); }
};

// --- Indexed loads and stores ---------------------------------------------

struct IndexedCase {
    const char* op;
    u32 base;    // register bit address of the run
    u32 index;   // index register value
    u32 target;  // byte the access reaches, kNone when refused
    bool wide = false;  // only reachable with 32-bit tokens
};

u32 Width(const char* op) { return op[2] == 'B' ? 1 : op[2] == 'W' ? 2 : 4; }

constexpr IndexedCase kIndexedLoads[] = {
    {"LDBX", kData, 0, kNone},
    {"LDBX", kData, 1, ByteOf(kData)},
    {"LDBX", kData, 4, ByteOf(kData) + 3},
    {"LDBX", kData, 0xFFFF, ByteOf(kData) + 0xFFFE},
    {"LDBX", kFar, 483, 0x19800, true},  // the last byte an indexed load reads
    {"LDBX", kFar, 484, kNone, true},
    {"LDWX", kData, 0, kNone},
    {"LDWX", kData, 1, ByteOf(kData)},
    {"LDWX", kData, 7, ByteOf(kData) + 12},
    {"LDWX", lreg::R(1), 50240, 2 * 52223},
    {"LDWX", lreg::R(1), 50241, kNone},
    {"LDWX", kData, 50142, 0x19800},
    {"LDWX", kData, 50143, kNone},
    {"LDWX", kData, 0xFFFF, kNone},
    {"LDDX", kData, 0, kNone},
    {"LDDX", kData, 1, ByteOf(kData)},
    {"LDDX", kData, 3, ByteOf(kData) + 8},
    {"LDDX", lreg::R(1), 25120, 2 * 52222},
    {"LDDX", lreg::R(1), 25121, kNone},
    {"LDDX", lreg::R(3), 25120, 0x19800},
    {"LDDX", lreg::R(4), 25120, kNone},
    {"LDDX", kData, 0xFFFF, kNone},
};

TEST_P(Pointers, IndexedLoadsPushTheElementOrZeroAndFalse) {
    for (const IndexedCase& c : kIndexedLoads) {
        if (c.wide && Prog().Tok16()) continue;
        SCOPED_TRACE(::testing::Message() << c.op << " index " << c.index);
        const u32 n = Width(c.op);
        FillPattern();
        SetRegBit(kOn, true);
        SetRegWord(kIdx, static_cast<u16>(c.index));
        SetPair(kRes, 0xBEEFBEEF);
        std::vector<u8> expect = Memory();
        const bool ok = c.target != kNone;
        const u32 value = ok ? Get(expect, c.target, n) : 0;
        Put(expect, ByteOf(kRes), value, n == 4 ? 4 : 2);

        // A word pushed before the load comes back after it: the load
        // pushed exactly its own entries.
        Put(expect, ByteOf(kMark), 0x7777, 2);
        LadderBuilder p = Prog();
        p.Contl(kOn).Op("LDKW", {0x7777}).Op(c.op, {c.base, kIdx});
        StoreRes(p, n);
        p.Op("STW", {kMark}).Out(kY0);
        Run(p);
        EXPECT_EQ(RegBit(kY0), ok);
        ExpectMemory(expect);
    }
}

constexpr u32 kSr3 = lreg::SR(3), kSr4 = lreg::SR(4);  // limits 0..28; read-only

struct IndexedStore {
    const char* op;
    u32 base;
    u32 index;
    u32 value;
    u32 target;
    bool wide = false;
};

constexpr IndexedStore kIndexedStores[] = {
    {"STBX", kData, 0, 0x5A, kNone},
    {"STBX", kData, 1, 0x15A, ByteOf(kData)},  // low byte only
    {"STBX", kData, 6, 0x5A, ByteOf(kData) + 5},
    {"STBX", kData, 0xFFFF, 0x5A, ByteOf(kData) + 0xFFFE},
    {"STBX", kFar, 482, 0x5A, 0x197FF, true},  // the last byte of the linear area
    {"STBX", kFar, 483, 0x5A, kNone, true},    // not a linear address
    {"STWX", kData, 0, 0x1234, kNone},
    {"STWX", kData, 2, 0x1234, ByteOf(kData) + 2},
    {"STWX", lreg::R(1), 50240, 0x1234, 2 * 52223},
    {"STWX", lreg::R(1), 50241, 0x1234, kNone},
    {"STWX", kData, 0xFFFF, 0x1234, kNone},
    {"STWX", kSr3, 1, 28, ByteOf(kSr3)},
    {"STWX", kSr3, 1, 29, kNone},  // beyond the register's limits
    {"STWX", kSr4, 1, 0, kNone},   // read-only
    {"STDX", kData, 0, 0x12345678, kNone},
    {"STDX", kData, 2, 0x12345678, ByteOf(kData) + 4},
    {"STDX", lreg::R(1), 25120, 0x12345678, 2 * 52222},
    {"STDX", lreg::R(1), 25121, 0x12345678, kNone},
    {"STDX", lreg::R(3), 25120, 0x12345678, kNone},
    {"STDX", kSr3, 1, 5, kNone},  // 32 bits into a 16-bit system register
};

TEST_P(Pointers, IndexedStoresWriteThroughTheRegisterRulesOrNothing) {
    for (const IndexedStore& c : kIndexedStores) {
        if (c.wide && Prog().Tok16()) continue;
        SCOPED_TRACE(::testing::Message() << c.op << " index " << c.index << " value " << c.value);
        const u32 n = Width(c.op);
        FillPattern();
        SR_Put(3, 7);
        SR_Put(4, 0x55);
        SetRegBit(kOn, true);
        SetRegWord(kIdx, static_cast<u16>(c.index));
        std::vector<u8> expect = Memory();
        const bool ok = c.target != kNone;
        if (ok) Put(expect, c.target, c.value, n);

        LadderBuilder p = Prog();
        p.Contl(kOn);
        PushLit(p, c.value, n);
        p.Op(c.op, {c.base, kIdx}).Out(kY0);
        Run(p);
        EXPECT_EQ(RegBit(kY0), ok);
        ExpectMemory(expect);
    }
}

struct IndexedBit {
    u32 base;  // literal base bit address
    u32 index;
    bool rung;
    u32 bit;  // bit address reached, kNone when none
};

constexpr IndexedBit kIndexedBits[] = {
    {lreg::R(5), 1, true, lreg::R(5)},
    {lreg::R(5), 4, true, lreg::R(5) + 3},
    {lreg::R(5), 2, false, lreg::R(5) + 1},
    {lreg::R(5), 0, true, kNone},
    {0x3F0, 0x10, true, kNone},  // below the first bit address
    {0x3F0, 0x11, true, 0x400},
    {0xFFFF, 0xFFFF, true, 0x1FFFD},
    {kSr3, 1, true, kSr3},  // a contact's 0xFF is written as the bit value 1
    {kSr4, 1, true, kNone},  // read-only
};

TEST_P(Pointers, IndexedContactReadsAndIndexedCoilWritesOneBit) {
    for (const IndexedBit& c : kIndexedBits) {
        SCOPED_TRACE(::testing::Message() << "base " << c.base << " index " << c.index << " rung " << c.rung);
        const bool reached = c.bit != kNone;
        // Contact: only the reached bit is set.
        std::fill(plc_reg, plc_reg + 2, 0);
        SR_Put(3, 0);
        SR_Put(4, 0);
        SetRegWord(lreg::R(5), 0);
        SetRegBit(kOn, true);
        SetRegWord(kIdx, static_cast<u16>(c.index));
        if (reached) SetRegBit(c.bit, true);
        {
            LadderBuilder p = Prog();
            p.Op("CONTX", {c.base, kIdx}).Out(kY0);
            Run(p);
            EXPECT_EQ(RegBit(kY0), reached);
        }
        // Coil: the reached bit takes the rung value; the rung is popped
        // whatever happens (kB below it reaches kY1).
        if (reached) SetRegBit(c.bit, !c.rung);
        SetRegBit(kA, c.rung);
        SetRegBit(kB, false);
        std::vector<u8> expect = Memory();
        if (reached) {
            u32 b = ByteOf(c.bit);
            expect[b] = static_cast<u8>(c.rung ? expect[b] | (1u << (c.bit & 7)) : expect[b] & ~(1u << (c.bit & 7)));
        }
        LadderBuilder p = Prog();
        p.Contl(kB).Contl(kA).Op("OUTX", {c.base, kIdx}).Out(kY1);
        SetRegBit(kY1, true);
        Run(p);
        EXPECT_FALSE(RegBit(kY1));
        ExpectMemory(expect);
    }
}

// --- Pointers ---------------------------------------------------------------

TEST_P(Pointers, MadePointersReadAndWriteAtAnyAlignment) {
    FillPattern();
    SetRegBit(kOn, true);
    SetPair(kOff, 0x10001);
    SetPair(kSrc, 0xFFFFFFFF);
    const u32 d = ByteOf(kData);
    LadderBuilder p = Prog();
    p.Contl(kOn);
    p.Op("PTRADDR", {kPtr, kData, 3});
    p.Op("PTRADDRX", {kSrc, kData, kSrc});  // the offset pair is its own destination: read first
    p.Op("LDWP", {kPtr, 1}).Op("STW", {kRes});
    p.Op("LDDP", {kPtr, 4}).Op("STD", {lreg::R(66)});
    p.Op("LDBP", {kPtr, 0}).Op("STW", {lreg::R(64)});
    p.Op("LDKW", {0xA1B2}).Op("STWP", {kPtr, 0});
    p.Op("LDKD", {0x11223344}).Op("STDP", {kPtr, 10});
    p.Op("LDKW", {0x1C5}).Op("STBP", {kPtr, 20});
    p.Op("PTRADDRX", {kOff, kData, kOff});
    p.Out(kY0);
    std::vector<u8> expect = Memory();
    const u32 b = d + 3;
    Put(expect, ByteOf(kPtr), b, 4);
    Put(expect, ByteOf(kSrc), d - 1, 4);  // wraps as a u32
    Put(expect, ByteOf(kRes), Get(expect, b + 1, 2), 2);
    Put(expect, ByteOf(lreg::R(66)), Get(expect, b + 4, 4), 4);
    Put(expect, ByteOf(lreg::R(64)), expect[b], 2);
    Put(expect, b, 0xA1B2, 2);
    Put(expect, b + 10, 0x11223344, 4);
    expect[b + 20] = 0xC5;
    Put(expect, ByteOf(kOff), d + 0x10001, 4);
    Run(p);
    EXPECT_TRUE(RegBit(kY0));
    ExpectMemory(expect);
}

TEST_P(Pointers, ContactAndCoilThroughAPointerUseTheWholeByte) {
    const u32 b = ByteOf(kData) + 1;
    SetPair(kPtr, b - 1);
    SetRegBit(kOn, true);
    struct Case {
        u8 before;
        bool rung;
        bool contact;  // bit 0 only
        u8 after;
    };
    const Case cases[] = {{0x01, true, true, 0xFF}, {0xFE, true, false, 0xFF}, {0xFF, false, true, 0x00}};
    for (const Case& c : cases) {
        plc_reg[b] = c.before;
        SetRegBit(kA, c.rung);
        LadderBuilder p = Prog();
        p.Op("CONTP", {kPtr, 1}).Out(kY0).Contl(kA).Op("OUTP", {kPtr, 1});
        Run(p);
        EXPECT_EQ(RegBit(kY0), c.contact) << int{c.before};
        EXPECT_EQ(plc_reg[b], c.after) << int{c.before};
    }
}

// Hostile pointers: each (pointer, offset) with the widest access that
// still lies inside the register memory (0: none).
struct PointerReach {
    u32 pointer;
    u16 offset;
    u32 fits;
};

constexpr PointerReach kReaches[] = {
    {ByteOf(kData) + 1, 2, 4},
    {0, 0, 4},
    {kEnd - 1, 0, 1},
    {kEnd - 2, 0, 2},
    {kEnd - 3, 0, 2},
    {kEnd - 4, 0, 4},
    {kEnd - 5, 1, 4},
    {kEnd - 0x10000, 0xFFFF, 1},
    {kEnd, 0, 0},
    {0xFFFFFFFF, 0, 0},
    {0xFFFFFFFF, 1, 0},       // would wrap to byte 0
    {0xFFFFFFFE, 0xFFFF, 0},  // would wrap to byte 0xFFFD
};

TEST_P(Pointers, LoadsThroughHostilePointersPushZeroAndFalse) {
    const char* ops[] = {"LDBP", "LDWP", "LDDP", "CONTP"};
    for (const PointerReach& r : kReaches) {
        for (const char* op : ops) {
            SCOPED_TRACE(::testing::Message() << op << " pointer " << r.pointer << " + " << r.offset);
            const bool contact = op[0] == 'C';
            const u32 n = contact ? 1 : Width(op);
            const bool ok = n <= r.fits;
            FillPattern();
            SetRegBit(kOn, true);
            SetPair(kPtr, r.pointer);
            SetPair(kRes, 0xBEEFBEEF);
            if (ok && contact) plc_reg[r.pointer + r.offset] = 0x01;
            std::vector<u8> expect = Memory();
            LadderBuilder p = Prog();
            if (contact) {
                p.Op(op, {kPtr, r.offset});
            } else {
                p.Contl(kOn).Op("LDKW", {0x7777}).Op(op, {kPtr, r.offset});
                StoreRes(p, n);
                p.Op("STW", {kMark});
                Put(expect, ByteOf(kRes), ok ? Get(expect, r.pointer + r.offset, n) : 0, n == 4 ? 4 : 2);
                Put(expect, ByteOf(kMark), 0x7777, 2);
            }
            p.Out(kY0);
            Run(p);
            EXPECT_EQ(RegBit(kY0), ok);
            ExpectMemory(expect);
        }
    }
}

TEST_P(Pointers, StoresThroughHostilePointersWriteInsideOrNothing) {
    const char* ops[] = {"STBP", "STWP", "STDP", "OUTP"};
    for (const PointerReach& r : kReaches) {
        for (const char* op : ops) {
            SCOPED_TRACE(::testing::Message() << op << " pointer " << r.pointer << " + " << r.offset);
            const bool coil = op[0] == 'O';
            const u32 n = coil ? 1 : Width(op);
            const bool ok = n <= r.fits;
            FillPattern();
            SetRegBit(kOn, true);
            SetPair(kPtr, r.pointer);
            std::vector<u8> expect = Memory();
            LadderBuilder p = Prog();
            p.Contl(kOn);
            if (coil) {
                p.Contl(kOn).Op(op, {kPtr, r.offset});
                if (ok) expect[r.pointer + r.offset] = 0xFF;
            } else {
                const u32 v = 0xC3B2A190;
                PushLit(p, n == 4 ? v : v & 0xFFFF, n);
                p.Op(op, {kPtr, r.offset});
                if (ok) Put(expect, r.pointer + r.offset, v, n);
            }
            p.Out(kY0);
            Run(p);
            EXPECT_EQ(RegBit(kY0), ok || coil);  // a coil pops its own rung value
            ExpectMemory(expect);
        }
    }
}

// --- Pointer moves ------------------------------------------------------------

struct MoveCase {
    const char* op;
    u32 dest;   // pointer
    u32 src;    // pointer, or the literal of PFILLK and PMOVKD
    u32 count;  // words (PMOVW, PFILLP, PFILLK)
    bool ok;
};

constexpr u32 kD = ByteOf(kData) + 101;  // odd
constexpr u32 kS = ByteOf(kData) + 1;

constexpr MoveCase kMoves[] = {
    {"PMOVW", kD, kS, 3, true},
    {"PMOVW", kS + 2, kS, 3, true},  // one word above its source: repeats the first word
    {"PMOVW", kEnd - 6, kS, 3, true},
    {"PMOVW", kEnd - 5, kS, 3, false},
    {"PMOVW", kD, kEnd - 5, 3, false},
    {"PMOVW", 0, kS, 0xFFFF, false},  // more than the memory holds
    {"PMOVW", 0xFFFFFFFF, kS, 1, false},
    {"PMOVW", 0xFFFFFFFF, 0xFFFFFFFF, 0, true},  // nothing to move
    {"PFILLP", kD, kS, 4, true},
    {"PFILLP", kEnd - 8, kS, 4, true},
    {"PFILLP", kEnd - 7, kS, 4, false},
    {"PFILLP", kD, kEnd - 1, 4, false},
    {"PFILLK", kD, 0xA55A, 4, true},
    {"PFILLK", kEnd - 8, 0xA55A, 4, true},
    {"PFILLK", kEnd - 7, 0xA55A, 4, false},
    {"PFILLK", 0xFFFFFFFE, 0xA55A, 1, false},
    {"PMOVD", kD, kS, 0, true},
    {"PMOVD", kS + 1, kS, 0, true},  // overlapping: the source is read whole first
    {"PMOVD", kEnd - 4, kS, 0, true},
    {"PMOVD", kD, kEnd - 3, 0, false},
    {"PMOVD", 0xFFFFFFFD, kS, 0, false},
    {"PMOVKD", kD, 0x12345678, 0, true},
    {"PMOVKD", kEnd - 4, 0x12345678, 0, true},
    {"PMOVKD", kEnd - 3, 0x12345678, 0, false},
};

TEST_P(Pointers, PointerMovesStayInsideOrWriteNothing) {
    for (const MoveCase& c : kMoves) {
        SCOPED_TRACE(::testing::Message() << c.op << " dest " << c.dest << " src " << c.src << " count " << c.count);
        const std::string op = c.op;
        FillPattern();
        SetRegBit(kOn, true);
        SetPair(kPtr, c.dest);
        SetPair(kSrc, c.src);
        std::vector<u8> expect = Memory();
        if (c.ok) {
            if (op == "PMOVW") {
                for (u32 k = 0; k < 2 * c.count; ++k) expect[c.dest + k] = expect[c.src + k];
            } else if (op == "PFILLP") {
                const u32 w = Get(expect, c.src, 2);
                for (u32 k = 0; k < c.count; ++k) Put(expect, c.dest + 2 * k, w, 2);
            } else if (op == "PFILLK") {
                for (u32 k = 0; k < c.count; ++k) Put(expect, c.dest + 2 * k, c.src, 2);
            } else if (op == "PMOVD") {
                Put(expect, c.dest, Get(expect, c.src, 4), 4);
            } else {
                Put(expect, c.dest, c.src, 4);
            }
        }
        LadderBuilder p = Prog();
        p.Contl(kOn);
        if (op == "PMOVW" || op == "PFILLP")
            p.Op(c.op, {kPtr, kSrc, c.count});
        else if (op == "PFILLK")
            p.Op(c.op, {kPtr, c.src, c.count});
        else if (op == "PMOVD")
            p.Op(c.op, {kPtr, kSrc});
        else
            p.Op(c.op, {kPtr, c.src});
        p.Out(kY0);
        Run(p);
        EXPECT_EQ(RegBit(kY0), c.ok);
        ExpectMemory(expect);
    }
}

TEST_P(Pointers, OverlappingWordMoveRepeatsTheFirstWord) {
    const u32 s = ByteOf(kData) + 1;
    const u8 bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::copy(std::begin(bytes), std::end(bytes), plc_reg + s);
    SetPair(kPtr, s + 2);
    SetPair(kSrc, s);
    LadderBuilder p = Prog();
    p.Op("PMOVW", {kPtr, kSrc, 3});
    Run(p);
    const u8 want[] = {1, 2, 1, 2, 1, 2, 1, 2};
    EXPECT_TRUE(std::equal(std::begin(want), std::end(want), plc_reg + s));
}

// --- Bit array ----------------------------------------------------------------

constexpr u32 kArr = lreg::R(300);
constexpr u32 kA0 = ByteOf(kArr);
constexpr u32 kIdxReg = lreg::R(310), kLenReg = lreg::R(311);
// Locations of self-relative offsets (u32 each), below what they point at.
constexpr u32 kLocBase = lreg::R(280), kLocIndex = lreg::R(282), kLocLength = lreg::R(284);
constexpr u32 Rel(u32 target, u32 location) { return target - ByteOf(location); }
constexpr u16 kSet = 1, kClear = 2, kTest = 3, kIndexReg = 0x100, kBytes = 0x200, kRelative = 0x400;
// The base plus the array's bits may not pass 0x10030FFF, so the last word
// of the %ESR window is the last a word array can end with here.
constexpr u32 kEsrLast = lreg::ESR(255);

struct BitArrCase {
    const char* what;
    u16 flags;
    u32 base;
    u32 index;
    u32 length;
    u8 fill;            // the array's bytes before
    u32 byte = kNone;   // the byte that changes
    u8 value = 0;       // and its new value
    int rung = 0;       // afterwards
    u16 indexReg = 0;   // %R310
    u16 lengthReg = 0;  // %R311
    u32 relBase = 0, relIndex = 0, relLength = 0;
};

const BitArrCase kBitArr[] = {
    {"set", kSet, kArr, 10, 2, 0x00, kA0 + 1, 0x02, 1},
    {"clear", kClear, kArr, 10, 2, 0xFF, kA0 + 1, 0xFD, 1},
    {"test set", kTest, kArr, 1, 2, 0x01, kNone, 0, 1},
    {"test clear", kTest, kArr, 2, 2, 0x01, kNone, 0, 0},
    {"index 0", kSet, kArr, 0, 2, 0x00},
    {"last bit of two words", kSet, kArr, 32, 2, 0x00, kA0 + 3, 0x80, 1},
    {"one past two words", kSet, kArr, 33, 2, 0x00},
    {"last bit of three bytes", kSet | kBytes, kArr, 24, 3, 0x00, kA0 + 2, 0x80, 1},
    {"one past three bytes", kSet | kBytes, kArr, 25, 3, 0x00},
    {"512 bytes in words", kSet, kArr, 4096, 256, 0x00, kA0 + 511, 0x80, 1},
    {"514 bytes in words", kSet, kArr, 1, 257, 0x00},
    {"512 bytes", kSet | kBytes, kArr, 4096, 512, 0x00, kA0 + 511, 0x80, 1},
    {"513 bytes", kSet | kBytes, kArr, 1, 513, 0x00},
    // A length of 0x400 or more is a register reference: only a register
    // holds a word length whose byte count wraps.
    {"word length wraps to 2 bytes", kSet, kArr, 16, kLenReg, 0x00, kA0 + 1, 0x80, 1, 0, 0x8001},
    {"word length wraps to 0", kSet, kArr, 1, kLenReg, 0x00, kNone, 0, 0, 0, 0x8000},
    {"index in a register", kSet | kIndexReg, kArr, kIdxReg, 2, 0x00, kA0 + 2, 0x01, 1, 17},
    {"index register 0", kSet | kIndexReg, kArr, kIdxReg, 2, 0x00, kNone, 0, 0, 0},
    {"index reference outside", kSet | kIndexReg, kArr, 0xCC400, 2, 0x00},
    {"length in a register", kSet, kArr, 16, kLenReg, 0x00, kA0 + 1, 0x80, 1, 0, 1},
    {"beyond the register length", kSet, kArr, 17, kLenReg, 0x00, kNone, 0, 0, 0, 1},
    {"length reference outside", kSet, kArr, 1, 0xCC400, 0x00},
    {"base below the memory", kSet, 0x3FF, 1, 1, 0x00},
    {"base between the areas", kSet, 0xCC400, 1, 1, 0x00},
    {"base past the windows", kSet, 0x10031000, 1, 1, 0x00},
    {"array at the end of the windows", kSet, kEsrLast, 16, 1, 0x00, kRegESR + 509, 0x80, 1},
    {"array past the end of the windows", kSet, kEsrLast, 1, 2, 0x00},
    {"linear array running into the next area", kSet | kBytes, 0xCC3F8, 9, 2, 0x00, 0x19800, 0x01, 1},
    {"unknown command", 4, kArr, 1, 2, 0x00, kNone, 0, 1},
    {"command 0", 0, kArr, 1, 2, 0x00, kNone, 0, 1},
    // Self-relative locations.
    {"relative base", kSet | kRelative, kLocBase, 10, 2, 0x00, kA0 + 1, 0x02, 1, 0, 0, Rel(kA0, kLocBase)},
    {"relative base at the end", kSet | kRelative, kLocBase, 16, 1, 0x00, kEnd - 1, 0x80, 1, 0, 0,
     Rel(kEnd - 2, kLocBase)},
    {"relative base one past the end", kSet | kRelative, kLocBase, 1, 1, 0x00, kNone, 0, 0, 0, 0,
     Rel(kEnd - 1, kLocBase)},
    {"relative base far outside", kSet | kRelative, kLocBase, 1, 1, 0x00, kNone, 0, 0, 0, 0, kEnd},
    {"relative base -1", kSet | kRelative, kLocBase, 1, 1, 0x00, kNone, 0, 0, 0, 0, 0xFFFFFFFF},
    {"relative index and length", kSet | kRelative | kIndexReg, kLocBase, kLocIndex, kLocLength, 0x00, kA0 + 2, 0x01,
     1, 17, 2, Rel(kA0, kLocBase), Rel(ByteOf(kIdxReg), kLocIndex), Rel(ByteOf(kLenReg), kLocLength)},
    {"relative index outside", kSet | kRelative | kIndexReg, kLocBase, kLocIndex, 2, 0x00, kNone, 0, 0, 17, 0,
     Rel(kA0, kLocBase), kEnd - 1 - ByteOf(kLocIndex)},
    {"relative length outside", kSet | kRelative, kLocBase, 1, kLocLength, 0x00, kNone, 0, 0, 0, 2,
     Rel(kA0, kLocBase), 0, 0x80000000},
};

TEST_P(Pointers, BitArraySetsClearsAndTestsOnlyInsideTheMemory) {
    for (const BitArrCase& c : kBitArr) {
        SCOPED_TRACE(c.what);
        std::fill(plc_reg + kA0, plc_reg + kA0 + 600, c.fill);
        std::fill(plc_reg + kEnd - 600, plc_reg + kEnd, 0);
        plc_reg[0x19800] = 0;
        SetRegBit(kOn, true);
        SetRegWord(kIdxReg, c.indexReg);
        SetRegWord(kLenReg, c.lengthReg);
        SetPair(kLocBase, c.relBase);
        SetPair(kLocIndex, c.relIndex);
        SetPair(kLocLength, c.relLength);
        std::vector<u8> expect = Memory();
        if (c.byte != kNone) expect[c.byte] = c.value;
        LadderBuilder p = Prog();
        p.Contl(kOn).Raw(384).Raw(c.flags);
        for (u32 v : {c.base, c.index, c.length}) p.Raw(static_cast<u16>(v)).Raw(static_cast<u16>(v >> 16));
        p.Out(kY0);
        Run(p);
        EXPECT_EQ(RegBit(kY0), c.rung != 0);
        ExpectMemory(expect);
    }
}

TEST_P(Pointers, BitArrayWithFalseRungIsSkippedWhole) {
    SetRegBit(kOn, true);
    SetRegBit(kA, false);
    SetRegBit(kY1, false);
    std::vector<u8> expect = Memory();
    // Record words that would be faults if run as code (opcodes 1 and 10).
    LadderBuilder p = Prog();
    p.Contl(kA).Raw(384).Raw(kSet).Raw(static_cast<u16>(kArr)).Raw(0).Raw(1).Raw(0).Raw(10).Raw(0);
    p.Out(kY0).Contl(kOn).Out(kY1);
    Run(p);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_TRUE(RegBit(kY1));
    ExpectMemory(expect);
}

LADDER_BOTH_WIDTHS(Pointers);

}  // namespace
