// Shift and rotate of register blocks against std::rotate and std::copy on
// a plain copy of the elements.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "core/plc_regs.h"
#include "ladder/multi_sr.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 kBlockWord = 1000;  // block area
constexpr u32 kFillWord = 5000;
constexpr u32 kOutWord = 5002;

u32 WordAddress(u32 word) { return 0x400 + 16 * word; }
u32 BitAddress(u64 bitPos) { return static_cast<u32>(0x400 + bitPos); }

bool GetBitAt(u64 pos) { return (plc_reg[pos >> 3] >> (pos & 7)) & 1; }

// Elements of a block as plain values.
std::vector<u32> Elements(u16 type, u64 first, u32 length) {
    std::vector<u32> v;
    for (u32 i = 0; i < length; ++i) {
        switch (type) {
        case kMultiBits: v.push_back(GetBitAt(first + i)); break;
        case kMultiBytes: v.push_back(plc_reg[first + i]); break;
        case kMultiWords: v.push_back(GetLe16(&plc_reg[first + 2 * i])); break;
        default: v.push_back(GetLe32(&plc_reg[first + 4 * i])); break;
        }
    }
    return v;
}

u32 FillValue(u16 type) {
    switch (type) {
    case kMultiBits: return GetBitAt(16 * kFillWord + 3);
    case kMultiBytes: return plc_reg[2 * kFillWord];
    case kMultiWords: return GetLe16(&plc_reg[2 * kFillWord]);
    default: return GetLe32(&plc_reg[2 * kFillWord]);
    }
}

u32 OutValue(u16 type) {
    switch (type) {
    case kMultiBits: return GetBitAt(16 * kOutWord + 9);
    case kMultiBytes: return plc_reg[2 * kOutWord];
    case kMultiWords: return GetLe16(&plc_reg[2 * kOutWord]);
    default: return GetLe32(&plc_reg[2 * kOutWord]);
    }
}

class MultiBlock : public ::testing::Test {
protected:
    RegFixture regs;
    std::mt19937 rng{2024};
    // The register memory as it must be before each operation: plc_reg
    // equals it then, and again once the block and out are put back after
    // the operation, so one comparison of the whole memory shows any byte
    // written outside them.
    std::vector<u8> before = std::vector<u8>(plc_reg, plc_reg + kPlcRegBytes);

    void Randomise() {
        for (u32 i = 2 * kBlockWord - 64; i < 2 * kOutWord + 64; ++i) before[i] = plc_reg[i] = static_cast<u8>(rng());
    }
    bool MemoryAsBefore() {
        if (std::memcmp(plc_reg, before.data(), kPlcRegBytes) == 0) return true;
        std::memcpy(before.data(), plc_reg, kPlcRegBytes);  // the next case starts from here
        return false;
    }

    // Runs one shift or rotate and checks it against the reference; the
    // memory outside the block (and out) must not change.
    void Check(bool rotate, u16 type, u32 bitOffset, u32 length, u32 count, u8 direction) {
        SCOPED_TRACE(::testing::Message() << (rotate ? "rotate" : "shift") << " type " << type << " offset "
                                          << bitOffset << " length " << length << " count " << count << " dir "
                                          << int(direction));
        Randomise();
        MultiPar p{};
        u64 first;
        if (type == kMultiBits) {
            first = 16ull * kBlockWord + bitOffset;
            p.start = BitAddress(first);
            p.fill = WordAddress(kFillWord) + 3;
            p.out = WordAddress(kOutWord) + 9;
        } else {
            first = 2ull * kBlockWord;
            p.start = WordAddress(kBlockWord) + bitOffset;  // any bit of the first register
            p.fill = WordAddress(kFillWord);
            p.out = WordAddress(kOutWord);
        }
        p.length = length;
        p.count = count;
        p.direction = direction;

        std::vector<u32> v = Elements(type, first, length);
        const u32 fill = FillValue(type);
        const u32 outBefore = OutValue(type);

        const int r = rotate ? MultiRotate(type, &p) : MultiShift(type, &p);
        if (count > length) {
            EXPECT_EQ(r, 0);
            EXPECT_TRUE(MemoryAsBefore());
            return;
        }
        EXPECT_EQ(r, 1);
        std::vector<u32> expect = v;
        u32 out = outBefore;
        if (rotate) {
            if (length != 0) {
                const u32 k = count % length;
                std::rotate(expect.begin(), expect.begin() + (direction ? length - k : k), expect.end());
            }
        } else if (count != 0) {
            if (direction) {
                out = v[length - count];
                std::copy(v.begin(), v.end() - count, expect.begin() + count);
                std::fill(expect.begin(), expect.begin() + count, fill);
            } else {
                out = v[count - 1];
                std::copy(v.begin() + count, v.end(), expect.begin());
                std::fill(expect.end() - count, expect.end(), fill);
            }
        }
        EXPECT_EQ(Elements(type, first, length), expect);
        EXPECT_EQ(OutValue(type), out);

        // Everything else is untouched: put the block and out back as they
        // were and compare the whole memory.
        u8* after = plc_reg;
        if (type == kMultiBits) {
            for (u32 i = 0; i < length; ++i) {
                const u64 pos = first + i;
                after[pos >> 3] = static_cast<u8>((after[pos >> 3] & ~(1u << (pos & 7))) | (before[pos >> 3] & (1u << (pos & 7))));
            }
            const u64 o = 16ull * kOutWord + 9;
            after[o >> 3] = static_cast<u8>((after[o >> 3] & ~(1u << (o & 7))) | (before[o >> 3] & (1u << (o & 7))));
        } else {
            const u32 size = type == kMultiBytes ? 1 : type == kMultiWords ? 2 : 4;
            std::memcpy(&after[first], &before[first], size * length);
            std::memcpy(&after[2 * kOutWord], &before[2 * kOutWord], size);
        }
        EXPECT_TRUE(MemoryAsBefore());
    }
};

TEST_F(MultiBlock, ElementBlocksMatchTheReference) {
    for (u16 type : {kMultiBytes, kMultiWords, kMultiDwords})
        for (u32 length : {0u, 1u, 2u, 3u, 7u, 16u, 33u})
            for (u32 count = 0; count <= length + 1; ++count)
                for (u8 dir : {0, 1}) {
                    Check(false, type, count % 16, length, count, dir);
                    Check(true, type, count % 16, length, count, dir);
                }
}

TEST_F(MultiBlock, BitFieldsAtEveryStartOffsetMatchTheReference) {
    for (u32 offset = 0; offset < 16; ++offset)
        for (u32 length : {0u, 1u, 2u, 5u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 70u})
            for (u32 count = 0; count <= length + 1; ++count)
                for (u8 dir : {0, 1}) {
                    Check(false, kMultiBits, offset, length, count, dir);
                    Check(true, kMultiBits, offset, length, count, dir);
                }
}

TEST_F(MultiBlock, LongBlocks) {
    for (u16 type : {kMultiBits, kMultiBytes, kMultiWords, kMultiDwords})
        for (u32 count : {0u, 1u, 999u, 1000u, 1001u})
            for (u8 dir : {0, 1}) {
                Check(false, type, 5, 1000, count, dir);
                Check(true, type, 5, 1000, count, dir);
            }
}

TEST_F(MultiBlock, FieldInsideOneRegisterKeepsTheBitsAround) {
    // A 16-bit field that is exactly one register: bit 15 wraps to bit 0.
    PutLe16(&plc_reg[2 * kBlockWord], 0x8001);
    MultiPar p{WordAddress(kBlockWord), 16, 1, 1, 0, 0};
    EXPECT_EQ(MultiRotateBits(&p), 1);
    EXPECT_EQ(GetLe16(&plc_reg[2 * kBlockWord]), 0x0003);

    // A 5-bit field from bit 14 spans two registers; the other bits stay.
    PutLe16(&plc_reg[2 * kBlockWord], 0x3FFF);      // bits 0-13 set, field bits 14-15 clear
    PutLe16(&plc_reg[2 * kBlockWord + 2], 0xFFF8);  // field bits 0-2 clear, 3-15 set
    plc_reg[2 * kFillWord] = 1;
    MultiPar s{WordAddress(kBlockWord) + 14, 5, 2, 1, WordAddress(kOutWord), WordAddress(kFillWord)};
    EXPECT_EQ(MultiShiftBits(&s), 1);
    EXPECT_EQ(GetLe16(&plc_reg[2 * kBlockWord]), 0xFFFF);
    EXPECT_EQ(GetLe16(&plc_reg[2 * kBlockWord + 2]), 0xFFF8);
}

TEST_F(MultiBlock, ByteShiftUsesTheLowBytesOfFillAndOut) {
    for (u32 i = 0; i < 4; ++i) plc_reg[2 * kBlockWord + i] = static_cast<u8>(0x10 + i);
    PutLe16(&plc_reg[2 * kFillWord], 0xAB55);
    PutLe16(&plc_reg[2 * kOutWord], 0xCDEF);
    MultiPar p{WordAddress(kBlockWord), 4, 1, 1, WordAddress(kOutWord), WordAddress(kFillWord)};
    EXPECT_EQ(MultiShiftBytes(&p), 1);
    EXPECT_EQ(GetLe32(&plc_reg[2 * kBlockWord]), 0x12111055u);
    EXPECT_EQ(GetLe16(&plc_reg[2 * kOutWord]), 0xCD13);
}

TEST_F(MultiBlock, CountEqualToLengthShiftsEverythingOut) {
    for (u8 dir : {0, 1}) {
        for (u32 i = 0; i < 3; ++i) PutLe16(&plc_reg[2 * (kBlockWord + i)], static_cast<u16>(100 + i));
        PutLe16(&plc_reg[2 * kFillWord], 7);
        MultiPar p{WordAddress(kBlockWord), 3, 3, dir, WordAddress(kOutWord), WordAddress(kFillWord)};
        EXPECT_EQ(MultiShiftWords(&p), 1);
        EXPECT_EQ(GetLe16(&plc_reg[2 * kOutWord]), dir ? 100 : 102);
        for (u32 i = 0; i < 3; ++i) EXPECT_EQ(GetLe16(&plc_reg[2 * (kBlockWord + i)]), 7);
    }
}

// Blocks and operands that leave the register memory are refused whole.
TEST_F(MultiBlock, BlocksOutsideTheMemoryAreRefused) {
    const u32 lastWord = kPlcRegBytes / 2 - 1;
    const u64 memBits = u64{kPlcRegBytes} * 8;
    struct Case {
        u16 type;
        u32 start, length, out, fill;
    };
    const Case cases[] = {
        {kMultiWords, WordAddress(lastWord), 2, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiDwords, WordAddress(lastWord - 2), 2, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiBytes, WordAddress(lastWord), 3, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiBits, BitAddress(memBits - 3), 4, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiBits, 0x3FF, 4, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiWords, 0xFFFFFFF0u, 4, WordAddress(kOutWord), WordAddress(kFillWord)},
        {kMultiWords, WordAddress(kBlockWord), 4, WordAddress(lastWord + 1), WordAddress(kFillWord)},
        {kMultiDwords, WordAddress(kBlockWord), 4, WordAddress(kOutWord), WordAddress(lastWord)},
        {kMultiBits, WordAddress(kBlockWord), 4, BitAddress(memBits), WordAddress(kFillWord)},
    };
    for (const auto& c : cases) {
        for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(i * 7);
        const std::vector<u8> before(plc_reg, plc_reg + kPlcRegBytes);
        MultiPar p{c.start, c.length, 1, 1, c.out, c.fill};
        EXPECT_EQ(MultiShift(c.type, &p), 0) << c.type << " " << c.start;
        if (c.out == WordAddress(kOutWord) && c.fill == WordAddress(kFillWord)) {
            MultiPar q{c.start, c.length, 1, 1, 0, 0};
            EXPECT_EQ(MultiRotate(c.type, &q), 0) << c.type << " " << c.start;
        }
        EXPECT_TRUE(std::equal(before.begin(), before.end(), plc_reg));
    }
    // The very last bits and words can be moved.
    MultiPar w{WordAddress(lastWord - 1), 2, 1, 1, 0, 0};
    EXPECT_EQ(MultiRotateWords(&w), 1);
    MultiPar b{BitAddress(memBits - 4), 4, 1, 0, 0, 0};
    EXPECT_EQ(MultiRotateBits(&b), 1);
}

TEST_F(MultiBlock, UnknownElementTypeMovesNothing) {
    for (u32 i = 0; i < 64; ++i) plc_reg[2 * kBlockWord + i] = static_cast<u8>(i);
    const std::vector<u8> before(plc_reg, plc_reg + kPlcRegBytes);
    MultiPar p{WordAddress(kBlockWord), 8, 2, 1, WordAddress(kOutWord), WordAddress(kFillWord)};
    EXPECT_EQ(MultiShift(4, &p), 1);
    EXPECT_EQ(MultiRotate(0xFFFF, &p), 1);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), plc_reg));
}

}  // namespace
