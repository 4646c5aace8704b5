// Text instructions run through the interpreter in both token widths: byte
// strings in registers, counted strings through pointers, text to number
// and number to text, with hostile pointers, lengths, widths and formats.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "ladder/ladder_check.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

// Register byte of %Rn and the bit address that names a register byte.
constexpr u32 RByte(u32 n) { return 2 * ((lreg::R(n) - 0x400) / 16); }
constexpr u32 ByteOpd(u32 byte) { return lreg::Bit(byte, 0); }

constexpr u32 kPa = lreg::R(10), kPb = lreg::R(12);  // pointer pairs
constexpr u32 kVal = lreg::R(14);                      // value (pair)
constexpr u32 kDst = lreg::R(16);                      // number destination (pair)
constexpr u32 kStrA = RByte(200), kStrB = RByte(400), kStrC = RByte(600);
constexpr u32 kLastByte = kPlcRegBytes - 1;
constexpr u8 kGuard = 0xA5;

constexpr u16 kStrCmpK = 179, kStrMovK = 183, kNum2Str = 187, kPNum2Str = 517, kPNum2VStr = 518;

std::string Bytes(u32 at, u32 n) { return std::string(reinterpret_cast<const char*>(plc_reg + at), n); }
void PutBytes(u32 at, const std::string& s) { std::memcpy(plc_reg + at, s.data(), s.size()); }
void Fill(u32 at, u32 n, u8 v = kGuard) { std::memset(plc_reg + at, v, n); }
void SetPair(u32 reg, u32 v) {
    SetRegWord(reg, static_cast<u16>(v));
    SetRegWord(reg + 16, static_cast<u16>(v >> 16));
}
u32 Pair(u32 reg) { return RegWord(reg) | (u32{RegWord(reg + 16)} << 16); }
u32 FloatBits(float f) {
    u32 b;
    std::memcpy(&b, &f, 4);
    return b;
}
// A counted string: capacity, length, text.
void PutCounted(u32 at, u8 cap, const std::string& text, int len = -1) {
    plc_reg[at] = cap;
    plc_reg[at + 1] = static_cast<u8>(len < 0 ? text.size() : static_cast<u32>(len));
    PutBytes(at + 2, text);
}

class TextOps : public LadderTest {
protected:
    // One rung: a TRUE contact, the instruction(s) added by `add`, OUT Y0,
    // END. Returns the rung value after one scan.
    template <class F>
    bool Rung(F add) {
        LadderBuilder p = Prog();
        p.Contl(kOn);
        add(p);
        p.Out(kY0).End();
        EXPECT_TRUE(p.Ok()) << p.Error();
        SetRegBit(kY0, false);
        EXPECT_EQ(Exec(p), kLadderEnd) << LadderCheck_Text(Ladder_LastCheck().status);
        return RegBit(kY0);
    }
    template <class F>
    LadderCheckStatus Check(F add) {
        LadderBuilder p = Prog();
        p.Contl(kOn);
        add(p);
        p.Out(kY0).End();
        std::vector<u16> w = p.Words();
        return LadderCheck_Words(w.data(), static_cast<u32>(w.size()), p.Tok16()).status;
    }

    // NUM2STR (dest a register byte) or the pointer forms (dest and source
    // pointer pairs); PNUM2VSTR has no decimals word.
    static void NumText(LadderBuilder& p, u16 op, u32 dest, u32 src, u16 kind, u16 decimals, u16 width,
                        std::string_view fmt) {
        p.Raw(op);
        if (op == kNum2Str)
            p.Operand(LOpd::kByte, ByteOpd(dest));
        else
            p.Operand(LOpd::kWord, dest);
        p.Operand(LOpd::kWord, src).Raw(kind);
        if (op != kPNum2VStr) p.Raw(decimals);
        p.Raw(width).Text(fmt, 10);
    }
    // STRCMPK or STRMOVK: n bytes of text, a junk padding byte after an odd count.
    static void TextLit(LadderBuilder& p, u16 op, u16 n, u32 byte, std::string text) {
        text.resize(n, '?');
        if ((n & 1) != 0) text += '\x7F';
        p.Raw(op).Raw(n).Operand(LOpd::kByte, ByteOpd(byte)).Text(text);
    }
};

// ---- Byte strings in registers ----

TEST_P(TextOps, ByteStringsCompareAndCopy) {
    struct Case {
        const char* op;  // STRCMP, STRCMPK, STRMOV, STRMOVK
        u16 n;
        std::string a, b;  // a at kStrA, b at kStrB (or the inline text)
        bool rung;
        std::string after;  // the n bytes at kStrA afterwards
    };
    const Case cases[] = {
        {"STRCMP", 5, "hello", "hello", true, "hello"},
        {"STRCMP", 5, "hellO", "hello", false, "hellO"},
        {"STRCMP", 4, "hellO", "hello", true, "hellO"},
        {"STRCMP", 0, "x", "y", true, ""},
        {"STRCMPK", 5, "hello", "hello", true, "hello"},
        {"STRCMPK", 3, "abc", "abd", false, "abc"},
        {"STRCMPK", 3, "abc", "abc", true, "abc"},  // odd count: the padding byte is not compared
        {"STRMOV", 3, "xyz", "abc", true, "abc"},
        {"STRMOV", 0, "xyz", "abc", true, ""},
        {"STRMOVK", 3, "xyz", "abc", true, "abc"},
        {"STRMOVK", 4, "wxyz", "abcd", true, "abcd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.op << " n=" << c.n << " " << c.a << "/" << c.b);
        Fill(kStrA - 1, 64);
        PutBytes(kStrA, c.a);
        PutBytes(kStrB, c.b);
        const std::string op = c.op;
        const bool rung = Rung([&](LadderBuilder& p) {
            if (op == "STRCMPK" || op == "STRMOVK")
                TextLit(p, op == "STRCMPK" ? kStrCmpK : kStrMovK, c.n, kStrA, c.b);
            else
                p.Op(c.op, {c.n, ByteOpd(kStrA), ByteOpd(kStrB)});
        });
        EXPECT_EQ(rung, c.rung);
        EXPECT_EQ(plc_reg[kStrA - 1], kGuard);
        EXPECT_EQ(Bytes(kStrA, c.n), c.after.substr(0, c.n));
        if (c.a.size() <= c.n) {
            EXPECT_EQ(plc_reg[kStrA + c.n], kGuard);
        }
    }
}

// Overlapping moves copy the source as it was.
TEST_P(TextOps, ByteStringMoveOverlaps) {
    PutBytes(kStrA, "abcdef");
    Rung([&](LadderBuilder& p) { p.Op("STRMOV", {4, ByteOpd(kStrA + 2), ByteOpd(kStrA)}); });
    EXPECT_EQ(Bytes(kStrA, 6), "ababcd");
}

// Counts are literals but the operands they extend from are not bounded by
// the row: a run past the end of the memory gives FALSE and writes nothing
// (only 32-bit programs name bytes near the end); the inline forms are
// checked when the program is loaded.
TEST_P(TextOps, ByteStringsAtTheEndOfTheMemory) {
    if (Prog().Tok16()) GTEST_SKIP() << "16-bit operands name no byte near the end of the memory";
    for (u32 n : {1u, 2u}) {
        SCOPED_TRACE(n);
        Fill(kLastByte - 3, 4);
        PutBytes(kStrB, "zz");
        const u32 at = kLastByte + 1 - n;
        EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("STRMOV", {n, ByteOpd(at), ByteOpd(kStrB)}); }));
        EXPECT_EQ(Bytes(at, n), std::string(n, 'z'));
        EXPECT_FALSE(Rung([&](LadderBuilder& p) { p.Op("STRMOV", {n + 1, ByteOpd(at), ByteOpd(kStrB)}); }));
        EXPECT_FALSE(Rung([&](LadderBuilder& p) { p.Op("STRCMP", {n + 1, ByteOpd(kStrB), ByteOpd(at)}); }));
        EXPECT_EQ(Bytes(at, n), std::string(n, 'z'));
        EXPECT_EQ(plc_reg[at - 1], kGuard);
    }
    EXPECT_EQ(Check([&](LadderBuilder& p) { TextLit(p, kStrMovK, 2, kLastByte, "ab"); }),
              LadderCheckStatus::kBadOperand);
    EXPECT_EQ(Check([&](LadderBuilder& p) { TextLit(p, kStrCmpK, 1, kLastByte, "a"); }), LadderCheckStatus::kOk);
    // STR2NUM into the last register: a word fits, a pair does not.
    const u32 last = lreg::Word(kPlcRegBytes / 2 - 1);
    PutBytes(kStrB, std::string("12", 3));
    for (u16 kind : {0, 1, 2}) {
        SCOPED_TRACE(kind);
        SetRegWord(last, 0xBEEF);
        EXPECT_EQ(Rung([&](LadderBuilder& p) { p.Op("STR2NUM", {last, ByteOpd(kStrB), kind}); }), kind == 0);
        EXPECT_EQ(RegWord(last), kind == 0 ? 12 : 0xBEEF);
    }
}

// STRLEN and the text conversions stop at the end of the memory: a text
// with no NUL there is no text; a length beyond 16 bits does not fit.
TEST_P(TextOps, NulSearchStopsAtTheEndOfTheMemory) {
    constexpr u32 kFrom = 24000;  // reachable by both widths
    struct Case {
        i64 nulAt;  // -1: none
        bool ok;
    } cases[] = {{kFrom, true}, {kFrom + 65535, true}, {kFrom + 65536, false}, {kLastByte, false}, {-1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nulAt);
        Fill(kFrom, kPlcRegBytes - kFrom, '7');
        if (c.nulAt >= 0) plc_reg[c.nulAt] = 0;
        SetRegWord(kDst, 0xBEEF);
        EXPECT_EQ(Rung([&](LadderBuilder& p) { p.Op("STRLEN", {kDst, ByteOpd(kFrom)}); }), c.ok);
        EXPECT_EQ(RegWord(kDst), c.ok ? static_cast<u16>(c.nulAt - kFrom) : 0xBEEF);
    }
    // The conversions read a text up to its NUL, however long.
    Fill(kFrom, kPlcRegBytes - kFrom, ' ');
    PutBytes(kLastByte - 3, "-42");
    plc_reg[kLastByte] = 0;
    SetPair(kPb, kFrom);
    SetPair(kPa, RByte(16));
    SetPair(kDst, 0);
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PCSTR2NUM", {kPa, kPb, 1}); }));
    EXPECT_EQ(static_cast<i32>(Pair(kDst)), -42);
    plc_reg[kLastByte] = '7';
    SetPair(kDst, 0x12345678);
    EXPECT_FALSE(Rung([&](LadderBuilder& p) { p.Op("PCSTR2NUM", {kPa, kPb, 1}); }));
    EXPECT_FALSE(Rung([&](LadderBuilder& p) { p.Op("STR2NUM", {kDst, ByteOpd(kFrom), 1}); }));
    EXPECT_EQ(Pair(kDst), 0x12345678u);
}

// ---- Text to number ----

TEST_P(TextOps, TextToNumber) {
    struct Case {
        std::string text;
        u16 kind;
        u32 bits;  // the 16 or 32 bits stored
    };
    const Case cases[] = {
        {"123", 0, 123},
        {"  -42abc", 1, static_cast<u32>(-42)},
        {"\t+7", 1, 7},
        {"", 1, 0},
        {"abc", 0, 0},
        {"70000", 0, 70000 & 0xFFFF},
        {"-1", 0, 0xFFFF},
        {"99999999999", 1, 0x7FFFFFFF},
        {"-99999999999", 1, 0x80000000},
        {"3.25", 2, FloatBits(3.25f)},
        {"0.1", 2, FloatBits(0.1f)},
        {" -1.5e3x", 2, FloatBits(-1500.0f)},
        {"1e39", 2, FloatBits(std::numeric_limits<float>::infinity())},
        // The nearest REAL, rounded once: the text of the largest REAL gives
        // it back, and a text just below a halfway point rounds down.
        {"3.4028235e38", 2, 0x7F7FFFFF},
        {"-3.4028235e38", 2, 0xFF7FFFFF},
        {"1.000000178813934326171874999", 2, 0x3F800001},
        {"12", 2, FloatBits(12.0f)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "'" << c.text << "' kind " << c.kind);
        // Kind 0 stores one word: the second keeps its 0xA5A5.
        const u32 want = c.kind == 0 ? 0xA5A50000u | (c.bits & 0xFFFF) : c.bits;
        // STR2NUM: the text at a register byte.
        Fill(kStrA, 300, 0);
        PutBytes(kStrA, c.text);
        SetPair(kDst, 0xA5A5A5A5);
        EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("STR2NUM", {kDst, ByteOpd(kStrA), c.kind}); }));
        EXPECT_EQ(Pair(kDst), want);
        // PCSTR2NUM: the same text through a pointer; PSTR2NUM: as a counted
        // string followed by junk that is not part of it.
        SetPair(kPa, RByte(16));
        SetPair(kPb, kStrA);
        SetPair(kDst, 0xA5A5A5A5);
        EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PCSTR2NUM", {kPa, kPb, c.kind}); }));
        EXPECT_EQ(Pair(kDst), want);
        PutCounted(kStrB, 40, c.text + "99");
        plc_reg[kStrB + 1] = static_cast<u8>(c.text.size());
        SetPair(kPb, kStrB);
        SetPair(kDst, 0xA5A5A5A5);
        EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PSTR2NUM", {kPa, kPb, c.kind}); }));
        EXPECT_EQ(Pair(kDst), want);
    }
    // Another kind writes nothing and leaves the rung alone.
    PutBytes(kStrA, std::string("5", 2));
    SetPair(kDst, 0xA5A5A5A5);
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("STR2NUM", {kDst, ByteOpd(kStrA), 3}); }));
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PCSTR2NUM", {kPa, kPb, 3}); }));
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PSTR2NUM", {kPa, kPb, 3}); }));
    EXPECT_EQ(Pair(kDst), 0xA5A5A5A5u);
}

// ---- 64-bit value to text ----

TEST_P(TextOps, U64ToText) {
    struct Case {
        u64 v;
        const char* text;
    } cases[] = {{0, "0"},
                 {9, "9"},
                 {4294967295ull, "4294967295"},
                 {4294967296ull, "4294967296"},
                 {10000000000000000000ull, "10000000000000000000"},
                 {18446744073709551615ull, "18446744073709551615"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        for (u32 k = 0; k < 4; ++k) SetRegWord(kVal + 16 * k, static_cast<u16>(c.v >> (16 * k)));
        Fill(kStrA - 1, 24);
        EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("U64STR", {ByteOpd(kStrA), kVal}); }));
        const u32 n = static_cast<u32>(std::strlen(c.text));
        EXPECT_EQ(Bytes(kStrA, n + 1), std::string(c.text, n + 1));
        EXPECT_EQ(plc_reg[kStrA - 1], kGuard);
        EXPECT_EQ(plc_reg[kStrA + n + 1], kGuard);
    }
    if (Prog().Tok16()) return;  // bytes near the end need 32-bit operands
    // Twenty digits and the NUL: 21 bytes from the destination must exist.
    for (u32 room : {21u, 20u}) {
        SCOPED_TRACE(room);
        const u32 at = kPlcRegBytes - room;
        Fill(at - 1, room + 1);
        EXPECT_EQ(Rung([&](LadderBuilder& p) { p.Op("U64STR", {ByteOpd(at), kVal}); }), room == 21);
        EXPECT_EQ(Bytes(at - 1, 1 + room),
                  room == 21 ? std::string(1, static_cast<char>(kGuard)) + std::string("18446744073709551615", 21)
                             : std::string(1 + room, static_cast<char>(kGuard)));
    }
}

// ---- Counted strings through pointers ----

TEST_P(TextOps, CountedStringCopyAndAppend) {
    struct Case {
        const char* op;
        u8 destCap;
        std::string dest;
        int destLen;  // -1: the text's length
        std::string src;
        int srcLen;
        bool rung;
        std::string result;  // the destination's text afterwards (length byte = its size)
    };
    const Case cases[] = {
        {"PSTRCPY", 5, "", -1, "abcdefgh", -1, true, "abcde"},
        {"PSTRCPY", 10, "zzzz", -1, "ab", -1, true, "ab"},
        {"PSTRCPY", 0, "", -1, "ab", -1, true, ""},
        {"PSTRCPY", 10, "", -1, "abcdefghij", 10, true, "abcdefghij"},  // source length above its capacity (8)
        {"PSTRCAT", 10, "abc", -1, "de", -1, true, "abcde"},
        {"PSTRCAT", 5, "abc", -1, "defg", -1, true, "abcde"},
        {"PSTRCAT", 5, "abcde", -1, "x", -1, true, "abcde"},
        {"PSTRCAT", 3, "abcde", 5, "x", -1, false, "abc"},  // length above capacity: untouched
        {"PSTRCAT", 10, "ab", 255, "x", -1, false, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.op << " " << c.dest << " + " << c.src);
        Fill(kStrA, 300);
        PutCounted(kStrA, c.destCap, c.dest, c.destLen);
        PutCounted(kStrB, 8, c.src, c.srcLen);
        SetPair(kPa, kStrA);
        SetPair(kPb, kStrB);
        const std::string before = Bytes(kStrA, 300);
        EXPECT_EQ(Rung([&](LadderBuilder& p) { p.Op(c.op, {kPa, kPb}); }), c.rung);
        if (!c.rung) {
            EXPECT_EQ(Bytes(kStrA, 300), before);
            continue;
        }
        EXPECT_EQ(plc_reg[kStrA], c.destCap);
        EXPECT_EQ(plc_reg[kStrA + 1], static_cast<u32>(c.result.size()));
        EXPECT_EQ(Bytes(kStrA + 2, static_cast<u32>(c.result.size())), c.result);
        // No NUL is written: what follows the text is as it was.
        const u32 end = kStrA + 2 + static_cast<u32>(std::max(c.result.size(), c.dest.size()));
        EXPECT_EQ(Bytes(end, 300 - (end - kStrA)), before.substr(end - kStrA));
    }
}

TEST_P(TextOps, CountedStringCompare) {
    struct Case {
        std::string a, b;
        bool eq, ne, ge;
        u8 capA = 20;
    } cases[] = {
        {"ab", "abc", false, true, false}, {"abc", "ab", false, true, true}, {"abc", "abc", true, false, true},
        {"", "", true, false, true},        {"abd", "abc", false, true, true}, {"abc", "abd", false, true, false},
        {"b", "ab", false, true, true},     // greater first difference, shorter: still greater
        {"ab", "b", false, true, false},   {"\xFF", "a", false, true, true},  // bytes compare unsigned
        {"abc", "abc", true, false, true, 1},  // a length above the capacity is the length
        {"abd", "abc", false, true, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "'" << c.a << "' vs '" << c.b << "'");
        PutCounted(kStrA, c.capA, c.a);
        PutCounted(kStrB, 20, c.b);
        SetPair(kPa, kStrA);
        SetPair(kPb, kStrB);
        // The comparisons replace the rung value, FALSE before them included.
        for (bool in : {true, false}) {
            auto run = [&](const char* op) {
                return Rung([&](LadderBuilder& p) {
                    if (!in) p.SetFalse();
                    p.Op(op, {kPa, kPb});
                });
            };
            EXPECT_EQ(run("PSTREQ"), c.eq);
            EXPECT_EQ(run("PSTRNE"), c.ne);
            EXPECT_EQ(run("PSTRGE"), c.ge);
        }
    }
}

// Pointers, capacities and lengths come from registers: every access is
// checked; outside the memory the rung is FALSE and nothing is written.
TEST_P(TextOps, HostilePointersAndLengths) {
    constexpr u32 kEnd = kPlcRegBytes;
    constexpr u32 kValByte = RByte(14);  // the DINT 42 the number-to-text forms read
    struct Case {
        const char* op;
        u32 a, b;  // pointers, destination first
        bool rung;
    };
    // kStrB holds "42" (capacity 4). The last two bytes of the memory are a
    // header of capacity 1 and length 1, whose character would lie past the
    // end; the guard byte before them reads as capacity 0xA5.
    const Case cases[] = {
        {"PSTRCPY", kStrA, kStrB, true},
        {"PSTRCPY", kEnd - 4, kStrB, true},  // "42" ends on the last byte
        {"PSTRCPY", kEnd - 2, kStrB, false},
        {"PSTRCPY", kLastByte, kStrB, false},  // half a header
        {"PSTRCPY", kEnd, kStrB, false},       // one past
        {"PSTRCPY", 0xFFFFFFFF, kStrB, false},
        {"PSTRCPY", kStrA, 0xFFFFFFFF, false},
        {"PSTRCPY", kStrA, kEnd - 2, false},  // source text past the end
        {"PSTRCAT", kEnd - 2, kStrB, false},  // destination text past the end
        {"PSTRCAT", kStrA, kEnd, false},
        {"PSTREQ", kStrB, kEnd - 1, false},
        {"PSTRNE", 0xFFFFFFFE, kStrB, false},
        {"PSTRGE", kStrB, 0xFFFFFFFF, false},
        {"PSTRGE", 0, 0, true},  // pointer 0 is the first register byte
        {"PSTR2NUM", kEnd - 4, kStrB, true},
        {"PSTR2NUM", kEnd - 3, kStrB, false},  // a DINT takes four bytes
        {"PSTR2NUM", kStrA, kEnd - 1, false},
        {"PCSTR2NUM", kEnd - 3, kStrC, false},
        {"PCSTR2NUM", kStrA, kEnd, false},
        {"PCSTR2NUM", kStrA, 0xFFFFFFFF, false},
        {"PNUM2STR", kEnd - 3, kValByte, true},  // "42" and its NUL
        {"PNUM2STR", kEnd - 2, kValByte, false},
        {"PNUM2STR", kStrA, kEnd - 3, false},  // the DINT needs four bytes
        {"PNUM2STR", 0xFFFFFFFF, kValByte, false},
        {"PNUM2VSTR", kEnd - 4, kValByte, true},  // capacity, length, two characters
        {"PNUM2VSTR", kEnd - 3, kValByte, false},
        {"PNUM2VSTR", kStrA, 0xFFFFFFFF, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.op << " " << c.a << " " << c.b);
        Fill(kEnd - 16, 16);
        Fill(kStrA, 64);
        PutCounted(kStrB, 4, "42");
        PutBytes(kStrC, std::string("42", 3));
        SetPair(kVal, 42);
        plc_reg[kEnd - 2] = 1;
        plc_reg[kEnd - 1] = 1;
        SetPair(kPa, c.a);
        SetPair(kPb, c.b);
        const std::string tail = Bytes(kEnd - 16, 16), area = Bytes(kStrA, 64);
        const std::string op = c.op;
        const bool rung = Rung([&](LadderBuilder& p) {
            if (op == "PSTR2NUM" || op == "PCSTR2NUM")
                p.Op(c.op, {kPa, kPb, 1});
            else if (op == "PNUM2STR")
                NumText(p, kPNum2Str, kPa, kPb, 1, 0, 5, "%d");
            else if (op == "PNUM2VSTR")
                NumText(p, kPNum2VStr, kPa, kPb, 1, 0, 5, "%d");
            else
                p.Op(c.op, {kPa, kPb});
        });
        EXPECT_EQ(rung, c.rung);
        if (!c.rung) {
            EXPECT_EQ(Bytes(kEnd - 16, 16), tail);
            EXPECT_EQ(Bytes(kStrA, 64), area);
        } else if (c.a == kEnd - 4 || c.a == kEnd - 3) {
            EXPECT_EQ(Bytes(kEnd - 16, 12 + (kEnd - 4 - c.a)), tail.substr(0, 12 + (kEnd - 4 - c.a)));
        }
    }
    // What the writes at the very end put there.
    SetPair(kPa, kEnd - 4);
    SetPair(kPb, kStrB);
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { p.Op("PSTR2NUM", {kPa, kPb, 1}); }));
    EXPECT_EQ(GetLe32(plc_reg + kEnd - 4), 42u);
    SetPair(kPb, kValByte);
    EXPECT_TRUE(Rung([&](LadderBuilder& p) { NumText(p, kPNum2VStr, kPa, kPb, 1, 0, 5, "%d"); }));
    EXPECT_EQ(Bytes(kEnd - 4, 4), std::string("\x05\x02" "42", 4));
}

// ---- Number to text ----

struct NumCase {
    u16 op;
    u16 kind;
    u32 bits;
    u16 decimals, width;
    const char* fmt;
    bool rung;
    bool written;
    std::string text;
};

TEST_P(TextOps, NumberToTextDecimalsAndWidth) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const u32 minus5 = static_cast<u32>(-5);
    const NumCase cases[] = {
        {kNum2Str, 1, 12345, 2, 6, "%d", true, true, "123.45"},
        {kNum2Str, 0, 5, 2, 4, "%d", true, true, "0.05"},
        {kNum2Str, 0, 5, 2, 3, "%d", true, true, ".05"},
        {kNum2Str, 0, 5, 2, 2, "%d", false, true, "0."},  // cut to the width
        {kNum2Str, 1, 123, 3, 5, "%d", true, true, "0.123"},
        {kNum2Str, 1, 1234, 3, 5, "%d", true, true, "1.234"},
        {kNum2Str, 1, minus5, 2, 5, "%d", true, true, "-0.05"},
        {kNum2Str, 1, minus5, 2, 4, "%d", true, true, "-.05"},
        {kNum2Str, 1, static_cast<u32>(-12345), 2, 7, "%d", true, true, "-123.45"},
        {kNum2Str, 1, static_cast<u32>(-123), 3, 6, "%d", true, true, "-0.123"},
        {kNum2Str, 1, 5, 2, 5, "%+d", true, true, "+0.05"},
        {kNum2Str, 1, 1234567, 0, 4, "%d", false, true, "1234"},
        {kNum2Str, 1, 42, 0, 0, "%d", false, true, ""},
        {kNum2Str, 0, 7, 0, 3, "%03d", true, true, "007"},
        {kNum2Str, 0, 7, 0, 2, "%03d", true, true, "07"},  // one over the width: the leading zero goes
        {kNum2Str, 2, FloatBits(2.5f), 5, 10, "%.2f", true, true, "2.50"},  // decimals: integers only
        {kNum2Str, 1, 5, 2, 39, "%36d", true, true, std::string(35, ' ') + "0.05"},
        // Texts the 40-byte buffer cannot hold write nothing.
        {kNum2Str, 1, 5, 2, 39, "%37d", false, false, ""},
        {kNum2Str, 1, 12345, 2, 39, "%39d", false, false, ""},
        {kNum2Str, 1, 5, 37, 39, "%+d", false, false, ""},  // "+0." and 37 digits
        {kNum2Str, 2, FloatBits(-3.4e38f), 0, 39, "%f", false, false, ""},
        {kNum2Str, 2, FloatBits(nan), 0, 10, "%f", false, false, ""},
        {kNum2Str, 2, FloatBits(-inf), 0, 10, "%f", false, false, ""},
        {kNum2Str, 3, 5, 0, 10, "%d", false, false, ""},  // unknown kinds
        {kNum2Str, 0xFFFF, 5, 0, 10, "%d", false, false, ""},
        {kPNum2Str, 1, 12345, 2, 6, "%d", true, true, "123.45"},
        {kPNum2Str, 1, minus5, 2, 5, "%d", true, true, "-0.05"},
        {kPNum2Str, 1, 5, 0, 29, "%29d", true, true, std::string(28, ' ') + "5"},
        {kPNum2Str, 1, 5, 2, 29, "%28d", false, false, ""},
        {kPNum2Str, 9, 5, 0, 5, "%d", false, false, ""},
        {kPNum2VStr, 1, 123456, 0, 4, "%d", true, true, "1234"},  // cut to the capacity, rung untouched
        {kPNum2VStr, 0, 7, 0, 2, "%03d", true, true, "07"},
        {kPNum2VStr, 1, 7, 0, 300, "%257d", true, true, std::string(255, ' ')},  // width limited to 255
        {kPNum2VStr, 2, FloatBits(nan), 0, 5, "%f", false, false, ""},
        {kPNum2VStr, 4, 7, 0, 5, "%d", false, false, ""},
    };
    for (const NumCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.op << " kind " << c.kind << " '" << c.fmt << "' d" << c.decimals
                                          << " w" << c.width);
        // A text written before: an instruction that writes nothing leaves it.
        Fill(kStrA - 8, 300);
        PutBytes(kStrA, "stale");
        const std::string before = Bytes(kStrA - 8, 300);
        SetPair(kVal, c.bits);
        SetPair(kPa, kStrA);
        SetPair(kPb, RByte(14));
        const bool rung = Rung([&](LadderBuilder& p) {
            if (c.op == kNum2Str)
                NumText(p, c.op, kStrA, kVal, c.kind, c.decimals, c.width, c.fmt);
            else
                NumText(p, c.op, kPa, kPb, c.kind, c.decimals, c.width, c.fmt);
        });
        EXPECT_EQ(rung, c.rung);
        const u32 n = static_cast<u32>(c.text.size());
        if (!c.written) {
            EXPECT_EQ(Bytes(kStrA - 8, 300), before);
        } else if (c.op == kPNum2VStr) {
            EXPECT_EQ(plc_reg[kStrA], std::min<u32>(c.width, 255));
            EXPECT_EQ(plc_reg[kStrA + 1], n);
            EXPECT_EQ(Bytes(kStrA + 2, n), c.text);
            EXPECT_EQ(Bytes(kStrA + 2 + n, 8), before.substr(10 + n, 8));  // no NUL
        } else {
            EXPECT_EQ(Bytes(kStrA, n + 1), c.text + std::string(1, '\0'));
            EXPECT_EQ(Bytes(kStrA + n + 1, 8), before.substr(8 + n + 1, 8));
        }
        EXPECT_EQ(Bytes(kStrA - 8, 8), before.substr(0, 8));
    }
}

// A format comes from the program: the checker refuses one that the
// formatter could not apply safely to the instruction's value, and literal
// widths and decimals its buffer cannot hold. An unknown kind stays
// loadable (it writes nothing when it runs).
TEST_P(TextOps, FormatsAndLiteralsCheckedAtLoad) {
    struct Case {
        u16 op, kind, decimals, width;
        std::string fmt;
        bool ok;
    };
    const Case cases[] = {
        {kNum2Str, 1, 0, 10, "%d", true},
        {kNum2Str, 1, 0, 10, "%ld", true},
        {kNum2Str, 0, 0, 10, "%hu", true},
        {kNum2Str, 1, 0, 10, "%-+ 05x", true},
        {kNum2Str, 2, 0, 10, "%08.3f", true},
        {kNum2Str, 2, 0, 10, "%lf", true},
        {kNum2Str, 1, 0, 10, "T=%d C", true},
        {kNum2Str, 1, 0, 10, "%%%d%%", true},
        {kNum2Str, 1, 0, 10, "100%%", true},
        {kNum2Str, 1, 0, 10, "", true},
        {kNum2Str, 1, 0, 10, "%c", true},
        {kNum2Str, 1, 0, 10, std::string("%d\0%s%n", 7), true},  // nothing after the NUL is read
        {kNum2Str, 1, 0, 39, "%39d", true},
        {kNum2Str, 1, 37, 39, "%d", true},
        {kNum2Str, 2, 300, 39, "%.39f", true},  // decimals do not apply to a REAL
        {kNum2Str, 7, 0, 10, "%d", true},       // unknown kind
        {kPNum2Str, 1, 27, 29, "%29d", true},
        {kPNum2VStr, 1, 0, 1000, "%257d", true},
        {kPNum2VStr, 2, 0, 10, "%.257e", true},
        {kNum2Str, 1, 0, 10, "%s", false},
        {kNum2Str, 1, 0, 10, "%n", false},
        {kNum2Str, 1, 0, 10, "%p", false},
        {kNum2Str, 1, 0, 10, "%*d", false},
        {kNum2Str, 1, 0, 10, "%.*d", false},
        {kNum2Str, 1, 0, 10, "%1$d", false},
        {kNum2Str, 1, 0, 10, "%d%d", false},
        {kNum2Str, 1, 0, 10, "%d %%%x", false},
        {kNum2Str, 1, 0, 10, "%", false},
        {kNum2Str, 1, 0, 10, "%5", false},
        {kNum2Str, 1, 0, 10, "abc%", false},
        {kNum2Str, 1, 0, 10, "%d" + std::string(18, '-'), false},  // no NUL in 20 bytes
        {kNum2Str, 0, 0, 10, "%f", false},
        {kNum2Str, 1, 0, 10, "%e", false},
        {kNum2Str, 2, 0, 10, "%d", false},
        {kNum2Str, 2, 0, 10, "%x", false},
        {kNum2Str, 1, 0, 10, "%lld", false},
        {kNum2Str, 1, 0, 10, "%hhd", false},
        {kNum2Str, 1, 0, 10, "%jd", false},
        {kNum2Str, 1, 0, 10, "%zu", false},
        {kNum2Str, 2, 0, 10, "%Lf", false},
        {kNum2Str, 2, 0, 10, "%hf", false},
        {kNum2Str, 1, 0, 10, "%lc", false},
        {kNum2Str, 1, 0, 10, "%.2c", false},
        {kNum2Str, 1, 0, 10, "%#d", false},
        {kNum2Str, 7, 0, 10, "%s", false},
        {kNum2Str, 1, 0, 10, "%40d", false},   // field wider than the buffer
        {kNum2Str, 2, 0, 10, "%.40f", false},
        {kNum2Str, 1, 0, 10, "%99999999999999d", false},
        {kNum2Str, 1, 0, 40, "%d", false},     // width beyond the buffer
        {kNum2Str, 1, 38, 39, "%d", false},    // "0." and 38 digits
        {kPNum2Str, 1, 0, 30, "%d", false},
        {kPNum2Str, 1, 28, 29, "%d", false},
        {kPNum2Str, 1, 0, 10, "%30d", false},
        {kPNum2VStr, 1, 0, 10, "%258d", false},
        {kPNum2VStr, 1, 0, 10, "%s", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.op << " kind " << c.kind << " '" << c.fmt.c_str() << "' d"
                                          << c.decimals << " w" << c.width);
        auto add = [&](LadderBuilder& p) {
            if (c.op == kNum2Str)
                NumText(p, c.op, kStrA, kVal, c.kind, c.decimals, c.width, c.fmt);
            else
                NumText(p, c.op, kPa, kPb, c.kind, c.decimals, c.width, c.fmt);
        };
        EXPECT_EQ(Check(add), c.ok ? LadderCheckStatus::kOk : LadderCheckStatus::kBadLiteral);
        if (c.ok) continue;
        // A refused program never runs.
        Fill(kStrA, 64);
        SetPair(kPa, kStrA);
        LadderBuilder p = Prog();
        p.Contl(kOn);
        const u32 at = p.Here();
        add(p);
        p.Out(kY0).End();
        EXPECT_EQ(Exec(p), static_cast<i32>(at));
        EXPECT_EQ(Ladder_LastCheck().status, LadderCheckStatus::kBadLiteral);
        EXPECT_EQ(Bytes(kStrA, 64), std::string(64, static_cast<char>(kGuard)));
    }
}

// The formatter's results for a table of formats and values against
// Python's %-formatting (with C's integer types), through NUM2STR (40-byte
// buffer: longer texts write nothing) and PNUM2VSTR (258 bytes).
TEST_P(TextOps, NumberToTextMatchesPythonFormatting) {
    ASSERT_EQ(std::system("/usr/bin/python3 -c '' >/dev/null 2>&1"), 0) << "python3 is missing: no reference texts";
    struct Case {
        u16 kind;
        u32 bits;
        std::string fmt;
    };
    std::vector<Case> cases;
    const char* intFormats[] = {"%d",   "%5d",  "%-6d|", "%+d",  "% d",  "%05d", "%.3d", "%8.4d",  "%x",
                                "%#x",  "%#X",  "%08X",  "%o",   "%#o",  "%u",   "%lu",  "%ld",    "%hd",
                                "%hu",  "%hx",  "%c",    "%-3c|", "V=%d mm", "%%%d%%", "%+.0d", "%#.4o"};
    const u32 words[] = {0, 1, 65, 255, 32767, 32768, 65535};
    const i32 dints[] = {0, 1, -1, 65, 123456789, -123456789, std::numeric_limits<i32>::max(),
                         std::numeric_limits<i32>::min()};
    for (const char* f : intFormats) {
        for (u32 v : words) cases.push_back({0, v, f});
        for (i32 v : dints) cases.push_back({1, static_cast<u32>(v), f});
    }
    const char* realFormats[] = {"%f",    "%e",   "%g",   "%.2f",  "%10.3f", "%-12.4e|", "%+.1E", "%G",
                                 "%#.3g", "%.0f", "%#.0f", "%08.2f", "%lf",   "%F",       "%.9g",  "% .3e"};
    const float reals[] = {0.0f,   -0.0f,      1.5f,         -2.25f, 0.1f,        3.14159274f, 1e-10f,
                           2.5f,   0.125f,     123456.789f,  1e20f,  -3.4e38f,    1e-45f};
    for (const char* f : realFormats)
        for (float v : reals) cases.push_back({2, FloatBits(v), f});

    // The reference texts, one run of the script for the whole table.
    const std::string dir = ::testing::TempDir();
    const std::string in = dir + "num2str_cases_" + std::to_string(::getpid()) + ".txt";
    const std::string out = in + ".out";
    {
        std::ofstream f(in);
        for (const Case& c : cases) {
            char bits[16];
            std::snprintf(bits, sizeof bits, "%x", c.bits);
            std::string hex;
            for (unsigned char ch : c.fmt) {
                char h[3];
                std::snprintf(h, sizeof h, "%02x", ch);
                hex += h;
            }
            f << c.kind << '\t' << bits << '\t' << hex << '\n';
        }
    }
    const std::string cmd =
        "/usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) + "/tests/ladder/num2str_ref.py' '" + in + "' > '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::vector<std::string> expected;
    {
        std::ifstream f(out);
        for (std::string line; std::getline(f, line);) {
            std::string text;
            for (size_t k = 0; k + 1 < line.size(); k += 2)
                text += static_cast<char>(std::stoi(line.substr(k, 2), nullptr, 16));
            expected.push_back(text);
        }
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    ASSERT_EQ(expected.size(), cases.size());

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string& want = expected[i];
        SCOPED_TRACE(::testing::Message() << "kind " << c.kind << " bits 0x" << std::hex << c.bits << " '" << c.fmt
                                          << "' -> '" << want << "'");
        ASSERT_LE(want.size(), 257u);
        Fill(kStrA, 48);
        Fill(kStrB, 264);
        SetPair(kVal, c.bits);
        SetPair(kPa, kStrB);
        SetPair(kPb, RByte(14));
        const bool fits = want.size() <= 39;
        const bool rung = Rung([&](LadderBuilder& p) {
            NumText(p, kNum2Str, kStrA, kVal, c.kind, 0, 39, c.fmt);
            NumText(p, kPNum2VStr, kPa, kPb, c.kind, 0, 255, c.fmt);
        });
        EXPECT_EQ(rung, fits);
        const u32 n = static_cast<u32>(want.size());
        if (fits) {
            EXPECT_EQ(Bytes(kStrA, n + 1), want + std::string(1, '\0'));
            EXPECT_EQ(plc_reg[kStrA + n + 1], kGuard);
        } else {
            EXPECT_EQ(Bytes(kStrA, 48), std::string(48, static_cast<char>(kGuard)));
        }
        EXPECT_EQ(plc_reg[kStrB], 255);
        EXPECT_EQ(plc_reg[kStrB + 1], n);
        EXPECT_EQ(Bytes(kStrB + 2, n), want);
        EXPECT_EQ(plc_reg[kStrB + 2 + n], kGuard);
    }
}

LADDER_BOTH_WIDTHS(TextOps);

}  // namespace
