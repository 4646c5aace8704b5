// Bits, bytes, shifts and data blocks: each case one call in a program of
// its own, run with its result free and locked.
#include <climits>

#include "iec/kernel/q4stfbits.h"
#include "tests/iecstf/stf_fixture.h"

namespace {

using namespace stf;

constexpr u16 kB = kQ4TypeUsint, kS8 = kQ4TypeSint, kW = kQ4TypeUint, kI = kQ4TypeInt, kD = kQ4TypeDint,
              kU = kQ4TypeUdint, kL = kQ4TypeUlint;

struct Case {
    u16 slot;
    std::vector<Op> ops;  // the result first, with its starting value
    u64 expect;
    bool logicalShift = false;
    bool storesWhenLocked = false;
};

void RunCases(const std::vector<Case>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& k = cases[i];
        for (bool locked : {false, true}) {
            Call c(k.slot, k.ops, [&](IecImageBuilder& b) {
                if (k.logicalShift) b.InitOptions(4);  // the image's option bit for 0x0200
            });
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run()) << "case " << i;
            const u64 want = locked && !k.storesWhenLocked ? k.ops[0].value : k.expect;
            EXPECT_EQ(c.Get(0), want) << "case " << i << " (slot " << k.slot << ") locked " << locked << std::hex
                                      << ": got 0x" << c.Get(0);
        }
    }
}

TEST(BitFunctions, MasksShiftsAndRotations) {
    RunCases({
        {20, {Ud(1), Ud(0xF0F0F0F0), Ud(0x3C3C3C3C)}, 0x30303030},
        {28, {Ud(1), Ud(0xF0000000), Ud(0x0F)}, 0xF000000F},
        {35, {Ud(1), Ud(0xFF00FF00), Ud(0x0FF00FF0)}, 0xF0F0F0F0},
        {27, {Ud(1), Ud(0x0000FFFF)}, 0xFFFF0000},
        {96, {V(kW, 1), V(kW, 0xFF0F), V(kW, 0x0FF0)}, 0x0F00},
        {99, {V(kW, 1), V(kW, 0x00FF)}, 0xFF00},
        {102, {V(kB, 1), V(kB, 0xF0), V(kB, 0xFF)}, 0x0F},
        {103, {V(kB, 1), V(kB, 0x0F)}, 0xF0},
        {212, {V(kL, 1), V(kL, 0xFFFF0000FFFF0000ull), V(kL, ~0ull)}, 0x0000FFFF0000FFFFull},
        {213, {V(kL, 1), V(kL, 0)}, ~0ull},
        // Shifts and rotations take N modulo the width.
        {33, {Ud(7), Ud(1), Di(31)}, 0x80000000u},
        {33, {Ud(7), Ud(1), Di(32)}, 1},
        {33, {Ud(7), Ud(1), Di(33)}, 2},
        {33, {Ud(7), Ud(1), Di(-1)}, 0x80000000u},
        {34, {Di(7), Di(-8), Di(1)}, static_cast<u32>(-4)},
        {34, {Di(7), Di(-8), Di(1)}, 0x7FFFFFFCu, true},
        {34, {Di(7), Di(INT_MIN), Di(31)}, 0xFFFFFFFFu},
        {84, {V(kW, 7), V(kW, 0x8000), V(kW, 1)}, 0xC000},
        {84, {V(kW, 7), V(kW, 0x8000), V(kW, 1)}, 0x4000, true},
        {88, {V(kB, 7), V(kB, 0x80), V(kB, 2)}, 0xE0},
        {88, {V(kB, 7), V(kB, 0x80), V(kB, 2)}, 0x20, true},
        {88, {V(kS8, 7), V(kS8, 0x40), V(kS8, 9)}, 0x20},
        {209, {V(kL, 7), V(kL, 1ull << 63), V(kL, 63)}, ~0ull},
        {209, {V(kL, 7), V(kL, 1ull << 63), V(kL, 63)}, 1, true},
        {208, {V(kL, 7), V(kL, 1), V(kL, 64)}, 1},
        {30, {Ud(7), Ud(0x80000001), Di(1)}, 3},
        {31, {Ud(7), Ud(0x80000001), Di(1)}, 0xC0000000u},
        {31, {Ud(7), Ud(0x12345678), Di(36)}, 0x81234567u},
        {81, {V(kW, 7), V(kW, 0x8001), V(kW, 17)}, 3},
        {82, {V(kW, 7), V(kW, 0x0001), V(kW, 4)}, 0x1000},
        {83, {V(kW, 7), V(kW, 0x00FF), V(kW, 12)}, 0xF000},
        {85, {V(kB, 7), V(kB, 0x81), V(kB, 1)}, 0x03},
        {86, {V(kB, 7), V(kB, 0x81), V(kB, 9)}, 0xC0},
        {87, {V(kB, 7), V(kB, 0x81), V(kB, 1)}, 0x02},
        {206, {V(kL, 7), V(kL, 0x8000000000000001ull), V(kL, 1)}, 3},
        {207, {V(kL, 7), V(kL, 1), V(kL, 65)}, 1ull << 63},
    });
}

TEST(BitFunctions, BytesWordsAndBcd) {
    RunCases({
        {162, {V(kB, 9), V(kW, 0x1234)}, 0x34},
        {163, {V(kB, 9), V(kW, 0x1234)}, 0x12},
        {164, {V(kW, 9), Ud(0x12345678)}, 0x5678},
        {165, {V(kW, 9), Ud(0x12345678)}, 0x1234},
        {166, {V(kW, 9), V(kB, 0x12), V(kB, 0x34)}, 0x1234},
        {167, {Ud(9), V(kW, 0x1234), V(kW, 0xABCD)}, 0x1234ABCD},
        {168, {V(kB, 9), Bo(1), Bo(0), V(kQ4TypeBool, 7), Bo(0), Bo(0), Bo(0), Bo(0), Bo(1)}, 0x85},
        {78, {Di(9), Di(1234)}, 0x1234},
        {78, {Di(9), Di(123456789)}, 0x23456789},
        {78, {Di(9), Di(INT_MAX)}, 0x47483647},
        {78, {Di(9), Di(-5)}, 0},
        {78, {Di(9), Di(0)}, 0},
        {79, {Di(9), Di(0x99)}, 99},
        {79, {Di(9), Di(0x1A)}, 0},
        {79, {Di(9), Di(0x12345678)}, 12345678},
        {79, {Di(9), Di(-0x10)}, 0},
        {161, {Di(9), Lit(kD), Arr(kD, std::vector<u64>(10, 0))}, 10},
    });
}

TEST(BitFunctions, AnyTypedBitsAndSwaps) {
    RunCases({
        // TESTBIT: bit of bytes, 16- and 32-bit integers; FALSE beyond or for other types.
        {170, {Bo(1), Lit(kI), V(kI, 0x8000), Di(15)}, 1},
        {170, {Bo(1), Lit(kI), V(kI, 0x8000), Di(16)}, 0},
        {170, {Bo(1), Lit(kB), V(kB, 0x80), Di(7)}, 1},
        {170, {Bo(1), Lit(kB), V(kB, 0xFF), Di(8)}, 0},
        {170, {Bo(1), Lit(kU), Ud(0x80000000), Di(31)}, 1},
        {170, {Bo(1), Lit(kU), Ud(0xFFFFFFFF), Di(-1)}, 0},
        {170, {Bo(1), Lit(kQ4TypeReal), R(-1.0f), Di(31)}, 0},
        {170, {Bo(1), Lit(kL), V(kL, ~0ull), Di(3)}, 0},
        // SETBIT stores whether its result is locked or not.
        {169, {V(kB, 0x55), Lit(kB), V(kB, 0), Di(7), Bo(1)}, 0x80, false, true},
        {169, {V(kB, 0x55), Lit(kB), V(kB, 0), Di(8), Bo(1)}, 0, false, true},
        {169, {V(kI, 0x55), Lit(kI), V(kI, 0xFFFF), Di(15), Bo(0)}, 0x7FFF, false, true},
        {169, {Ud(0x55), Lit(kU), Ud(0), Di(-1), Bo(1)}, 0, false, true},
        {169, {Ud(0x55), Lit(kU), Ud(0), Di(31), V(kQ4TypeBool, 2)}, 0x80000000u, false, true},
        {169, {R(0.5f), Lit(kQ4TypeReal), R(2.0f), Di(31), Bo(1)}, F(2.0f), false, true},
        {169, {V(kL, 1), Lit(kL), V(kL, 0x10), Di(0), Bo(1)}, 0x10, false, true},
        // SWAB reverses 16- and 32-bit integers and copies the rest.
        {219, {Ud(9), Lit(kU), Ud(0x11223344)}, 0x44332211},
        {219, {V(kI, 9), Lit(kI), V(kI, 0x1234)}, 0x3412},
        {219, {V(kB, 9), Lit(kB), V(kB, 0x12)}, 0x12},
        {219, {V(kL, 9), Lit(kL), V(kL, 0x0102030405060708ull)}, 0x0102030405060708ull},
        {219, {R(9), Lit(kQ4TypeReal), R(1.5f)}, F(1.5f)},
        {219, {V(kQ4TypeTime, 9), Lit(kQ4TypeTime), V(kQ4TypeTime, 0x01020304)}, 0x01020304},
    });
    // STRING: SETBIT and SWAB copy the string, unless it is locked.
    for (u16 slot : {u16{169}, u16{219}})
        for (bool locked : {false, true}) {
            std::vector<Op> ops{Str(10, "old"), Lit(kQ4TypeString), Str(10, "text")};
            if (slot == 169) ops.insert(ops.end(), {Di(1), Bo(1)});
            Call c(slot, ops);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Text(0), locked ? "old" : "text") << slot;
        }
}

// MOVEBLOCK within one array and between two; refusals leave both alone.
TEST(BitFunctions, MoveBlock) {
    struct MoveCase {
        u16 type;
        i32 posSrc, posDst, nb;
        bool same;  // SRC and DST the same array
        std::vector<u64> dst;  // DST afterwards; empty: refused
    };
    const std::vector<u64> src{1, 2, 3, 4, 5}, zeros(5, 0);
    const std::vector<MoveCase> cases = {
        {kD, 0, 1, 3, true, {1, 1, 2, 3, 5}},
        {kD, 1, 0, 4, true, {2, 3, 4, 5, 5}},
        {kD, 0, 0, 5, true, {1, 2, 3, 4, 5}},
        {kI, 0, 2, 3, false, {0, 0, 1, 2, 3}},
        {kL, 4, 0, 1, false, {5, 0, 0, 0, 0}},
        {kB, 0, 0, 5, false, {1, 2, 3, 4, 5}},
        {kQ4TypeTime, 2, 2, 2, false, {0, 0, 3, 4, 0}},
        {kD, 0, 0, 0, false, {}},
        {kD, 3, 0, 3, false, {}},
        {kD, 0, 3, 3, false, {}},
        {kD, -1, 0, 2, false, {}},
        {kD, 0, -2, 2, false, {}},
        {kD, 1, 1, -1, false, {}},
        {kD, INT_MAX, 0, INT_MAX, false, {}},
    };
    for (const MoveCase& k : cases)
        for (bool locked : {false, true}) {
            std::vector<Op> ops{V(kQ4TypeBool, 7), Lit(k.type), Arr(k.type, src)};
            ops.push_back(k.same ? Same(2) : Arr(k.type, zeros));
            ops.insert(ops.end(), {Di(k.posSrc), Di(k.posDst), Di(k.nb)});
            Call c(95, ops);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            const bool moved = !locked && !k.dst.empty();
            EXPECT_EQ(c.Get(0), locked ? 7u : moved ? 1u : 0u) << k.posSrc << " " << k.posDst << " " << k.nb;
            const std::vector<u64>& want = moved ? k.dst : k.same ? src : zeros;
            for (size_t i = 0; i < 5; ++i) EXPECT_EQ(c.Elem(3, i), want[i]) << k.posSrc << " " << k.posDst << " " << i;
        }
    // A STRING element type moves nothing.
    Call c(95, {Bo(1), Lit(kQ4TypeString), Arr(kD, src), Arr(kD, zeros), Di(0), Di(0), Di(1)});
    EXPECT_TRUE(c.Run());
    EXPECT_EQ(c.Get(0), 0u);
}

// MBSHIFT over a run of bytes in memory order, with the bounds refused.
TEST(BitFunctions, MultiByteShift) {
    struct ShiftCase {
        u16 type;
        std::vector<u64> buf;
        i32 pos, nbyte, nshift;
        bool right, rotate, inbit;
        std::vector<u64> after;  // empty: refused
    };
    const std::vector<ShiftCase> cases = {
        {kB, {0x80, 0x01}, 0, 2, 1, true, false, false, {0x40, 0x00}},
        {kB, {0x80, 0x01}, 0, 2, 1, false, false, false, {0x00, 0x02}},
        {kB, {0x80, 0x01}, 0, 2, 1, true, true, false, {0xC0, 0x00}},
        {kB, {0x80, 0x01}, 0, 2, 1, false, true, false, {0x00, 0x03}},
        {kB, {0x00, 0x00}, 0, 2, 3, true, false, true, {0xE0, 0x00}},
        {kB, {0x12, 0x34, 0x56}, 1, 2, 8, false, true, false, {0x12, 0x56, 0x34}},
        {kB, {0x12, 0x34}, 0, 2, 0, true, false, false, {0x12, 0x34}},
        {kB, {0x12, 0x34}, 0, 2, 16, true, true, false, {0x12, 0x34}},
        {kW, {0x0102, 0x0304}, 1, 2, 8, true, false, false, {0x0102, 0x0400}},
        {kU, {0x11223344}, 0, 4, 4, false, false, false, {0x10213243}},
        {kB, {1, 2}, 0, 0, 1, true, false, false, {}},
        {kB, {1, 2}, 1, 2, 1, true, false, false, {}},
        {kB, {1, 2}, -1, 1, 1, true, false, false, {}},
        {kB, {1, 2}, 0, 2, 256, true, false, false, {}},
        {kB, {1, 2}, 0, 2, -1, true, false, false, {}},
        {kW, {1, 2}, 0x40000000, 1, 1, true, false, false, {}},
        {kQ4TypeBool, {1, 2}, 0, 1, 1, true, false, false, {}},
        {kQ4TypeReal, {1, 2}, 0, 1, 1, true, false, false, {}},
    };
    for (const ShiftCase& k : cases)
        for (bool locked : {false, true}) {
            Call c(134, {V(kQ4TypeBool, 7), Lit(k.type), Arr(k.type, k.buf), Di(k.pos), Di(k.nbyte), Di(k.nshift),
                         Bo(k.right), Bo(k.rotate), Bo(k.inbit)});
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            const bool shifted = !locked && !k.after.empty();
            EXPECT_EQ(c.Get(0), locked ? 7u : shifted ? 1u : 0u) << k.pos << " " << k.nbyte << " " << k.nshift;
            for (size_t i = 0; i < k.buf.size(); ++i)
                EXPECT_EQ(c.Elem(2, i), shifted ? k.after[i] : k.buf[i]) << k.pos << " " << k.nshift << " " << i;
        }
}

// SERIALIZEOUT and SERIALIZEIN: bytes in either order, the next position as
// result, and positions (negative ones included) that would leave the buffer
// refused.
TEST(BitFunctions, SerializeIntoAndOutOfBuffers) {
    struct SerCase {
        u16 type;
        u64 value;
        i32 pos;
        bool big;
        size_t bufSize;
        std::vector<u64> bytes;  // the buffer from pos on; empty: refused
    };
    const std::vector<SerCase> cases = {
        {kD, 0x01020304, 0, true, 4, {1, 2, 3, 4}},
        {kD, 0x01020304, 0, false, 4, {4, 3, 2, 1}},
        {kD, 0x01020304, 0, true, 3, {}},
        {kI, 0xA1B2, 2, true, 4, {0xA1, 0xB2}},
        {kB, 0x7F, 3, false, 4, {0x7F}},
        {kQ4TypeBool, 1, 0, true, 1, {1}},
        {kQ4TypeReal, F(1.0f), 0, true, 4, {0x3F, 0x80, 0, 0}},
        {kQ4TypeTime, 0x00010203, 1, false, 5, {3, 2, 1, 0}},
        {kL, 0x0102030405060708ull, 0, true, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
        {kQ4TypeLreal, D(2.0), 0, false, 8, {0, 0, 0, 0, 0, 0, 0, 0x40}},
        {kD, 1, -1, false, 8, {}},
        {kD, 1, -4, false, 8, {}},
        {kD, 1, INT_MAX, false, 8, {}},
        {kD, 1, 5, false, 8, {}},
        {kQ4TypeString, 0, 0, false, 8, {}},
    };
    for (const SerCase& k : cases) {
        const u16 dataType = k.type == kQ4TypeString ? kD : k.type;
        for (bool locked : {false, true}) {
            // Out: DATA into a zeroed buffer.
            Call out(104, {Di(-7), Lit(k.type), Arr(kB, std::vector<u64>(k.bufSize, 0)), V(dataType, k.value), Di(k.pos),
                           Bo(k.big)});
            if (locked) out.Lock();
            EXPECT_TRUE(out.Run());
            const bool done = !locked && !k.bytes.empty();
            EXPECT_EQ(static_cast<i32>(out.Get(0)), locked ? -7 : done ? k.pos + static_cast<i32>(k.bytes.size()) : 0)
                << k.type << " " << k.pos;
            for (size_t i = 0; i < k.bufSize; ++i) {
                const size_t at = static_cast<size_t>(k.pos);
                const u64 want = done && i >= at && i - at < k.bytes.size() ? k.bytes[i - at] : 0;
                EXPECT_EQ(out.Elem(2, i), want) << k.type << " " << k.pos << " byte " << i;
            }
            // In: the same bytes back into DATA.
            std::vector<u64> buf(k.bufSize, 0);
            if (!k.bytes.empty())
                for (size_t i = 0; i < k.bytes.size(); ++i) buf[static_cast<size_t>(k.pos) + i] = k.bytes[i];
            Call in(105, {Di(-7), Lit(k.type), Arr(kB, buf), V(dataType, 0x5A), Di(k.pos), Bo(k.big)});
            if (locked) in.Lock();
            EXPECT_TRUE(in.Run());
            EXPECT_EQ(static_cast<i32>(in.Get(0)), locked ? -7 : done ? k.pos + static_cast<i32>(k.bytes.size()) : 0);
            EXPECT_EQ(in.Get(3), done ? k.value : 0x5Au) << k.type << " " << k.pos;
        }
    }
    // A locked DATA is left alone, the position still moves on.
    Call in(105, {Di(0), Lit(kD), Arr(kB, {1, 2, 3, 4}), Di(9), Di(0), Bo(false)});
    in.Lock(3);
    EXPECT_TRUE(in.Run());
    EXPECT_EQ(in.Get(0), 4u);
    EXPECT_EQ(in.Get(3), 9u);
}

// An array operand whose declared count runs past its table is malformed
// code: the call stops the application instead of reading beyond the table.
TEST(BitFunctions, ArraysBeyondTheirTableStop) {
    Call c(95, {Bo(0), Lit(kD), Arr(kD, {1, 2}, 60000), Arr(kD, {0, 0}), Di(0), Di(0), Di(2)});
    EXPECT_FALSE(c.Run());
    auto ev = c.Events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev[0], (std::pair<u16, u16>{kLogStdFunction, 95}));
}

}  // namespace

namespace {

// With a CT segment an array operand is a DINT holding the array's byte
// offset in the segment; the whole array must lie inside the segment.
TEST(BitFunctions, ArraysInTheCtSegment) {
    IecImageBuilder b;
    b.CtSegment(64, 64).CtInit(60, {1, 2, 3, 4});
    u16 r = b.Var(kQ4TypeDint), buf = b.Var(kQ4TypeDint, 56), data = b.Var(kQ4TypeDint, 0x0A0B0C0D),
        pos = b.Var(kQ4TypeDint, 2), big = b.Var(kQ4TypeBool, 1);
    TicAssembler t;
    // SERIALIZEOUT into 8 bytes at offset 56: the segment's last bytes.
    t.Op("CALL_STF", {104, 7, r, kQ4TypeDint, buf, 8, data, pos, big}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(GetLe32(db.Data32(r)), 6u);
    u32 bytes = 0;
    u8* ct = Q4VM_AreaPtr(db.Db(), kDbCtSegment, &bytes);
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(GetBe32(ct + 58), 0x0A0B0C0Du);
    // Moved up by one byte, the 8-byte buffer would end past the segment.
    PutLe32(db.Data32(buf), 57);
    Q4VM_Cycle(db.Db(), 2);
    EXPECT_TRUE(GetLe16(db.Status() + kQ4StFlags) & (kVmFlagStopped | kVmFlagStopRequest));
}

}  // namespace
