// Datagram table and commands 31-34.
#include "link_fixture.h"

namespace {

constexpr u16 kKey = 0xBEEF;
// Reference of %R1 (register bit address / 16).
constexpr u16 kRefR1 = kR1 / 16;

class Datagrams : public ::testing::Test {
protected:
    void SetUp() override {
        FPGA_Reset();
        Datagram_Reset();
    }
    ManualClock clock;
    RegFixture regs;
};

TEST_F(Datagrams, CreateTurnsWordsIntoReferences) {
    struct Case {
        const char* what;
        std::vector<u16> words;
        u8 result;
        std::vector<u32> refs;
    } cases[] = {
        {"escape gives the upper word", {0x0100, 0x0000, 0x0001, 0x0020}, 0, {0x0100, 0x10020}},
        {"a later 0 word is upper x 65536", {0, 2, 5, 0}, 0, {0x20005, 0x20000}},
        {"30 words fit", std::vector<u16>(30, 7), 0, std::vector<u32>(30, 7)},
        {"31 words do not", std::vector<u16>(31, 7), 255, {}},
        {"escape as the last word has no upper word", {5, 6, 0}, 255, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Datagram_Reset();
        EXPECT_EQ(Datagram_Create(0, kKey, c.words.data(), static_cast<u32>(c.words.size())), c.result);
        if (c.result == 255) {
            EXPECT_EQ(DgDefTable[0].inUse, 0);
            continue;
        }
        ASSERT_EQ(DgDefTable[0].count, c.refs.size());
        for (size_t i = 0; i < c.refs.size(); ++i) EXPECT_EQ(DgDefTable[0].refs[i], c.refs[i]);
    }
}

TEST_F(Datagrams, ReadWriteKeysCountsAndDelete) {
    std::vector<u16> words{kRefR1, static_cast<u16>(kRefR1 + 1)};
    u8 dg = Datagram_Create(0, kKey, words.data(), 2);
    ASSERT_EQ(dg, 0);
    u16 values[2] = {0x1111, 0x2222};
    EXPECT_EQ(Datagram_Write(dg, kKey, values, 1), 255);  // wrong count: nothing written
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0);
    EXPECT_EQ(Datagram_Write(dg, kKey, values, 2), dg);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), 0x2222);
    u16 back[2] = {};
    EXPECT_EQ(Datagram_Read(dg, kKey + 1, back), 255);
    EXPECT_EQ(Datagram_Read(dg, kKey, back), 2);
    EXPECT_EQ(back[0], 0x1111);
    EXPECT_EQ(Datagram_Read(64, kKey, back), 255);
    EXPECT_EQ(Datagram_Delete(dg, 1), 255);
    EXPECT_EQ(Datagram_Create(0, 1, words.data(), 2), 1);
    EXPECT_EQ(Datagram_Delete(255, 0), 0);  // all, whatever the key
    EXPECT_EQ(DgDefTable[0].inUse + DgDefTable[1].inUse, 0);
    // A register that cannot be read fails the whole read; a reference too
    // large for a register bit address does not wrap onto a valid one.
    std::vector<u16> bad{kRefR1, 0, 0x1000, 0x0008};
    dg = Datagram_Create(0, kKey, bad.data(), 2);
    EXPECT_EQ(Datagram_Read(dg, kKey, back), 255);
}

TEST_F(Datagrams, UnusedDefinitionsAgeOut) {
    std::vector<u16> words{kRefR1};
    u8 aging = Datagram_Create(10, kKey, words.data(), 1);
    u8 forever = Datagram_Create(0, kKey, words.data(), 1);
    Datagram_Check();  // primes
    for (int tick = 1; tick <= 10; ++tick) {
        clock.AdvanceMs(101);
        Datagram_Check();
        EXPECT_EQ(DgDefTable[aging].inUse, tick < 10 ? 1 : 0) << tick;
        if (tick == 5) {
            u16 v;
            EXPECT_EQ(Datagram_Read(aging, kKey, &v), 1);  // a read restarts the age
            tick = 0;
            break;
        }
    }
    for (int tick = 1; tick <= 10; ++tick) {
        clock.AdvanceMs(101);
        Datagram_Check();
    }
    EXPECT_EQ(DgDefTable[aging].inUse, 0);
    EXPECT_EQ(DgDefTable[forever].inUse, 1);
}

using DatagramCommands = LinkTest;

TEST_F(DatagramCommands, CreateWriteReadDeleteOverTheLink) {
    LinkHost::Reply r = host->Request(32, {kNode, 0, 0xEF, 0xBE, u8(kRefR1), u8(kRefR1 >> 8), u8(kRefR1 + 1), u8((kRefR1 + 1) >> 8)});
    ASSERT_TRUE(r.frame);
    ASSERT_EQ(r.data.size(), 1u);
    u8 dg = r.data[0];
    EXPECT_EQ(host->Ask(33, {kNode, dg, 0xEF, 0xBE, 0x34, 0x12, 0x78, 0x56}), 0xA0);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), 0x5678);
    r = host->Request(34, {kNode, dg, 0xEF, 0xBE});
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(host->Ask(34, {kNode, dg, 0, 0}), 0x09);
    // A request with more words than a datagram holds is refused, not wrapped.
    std::vector<u8> big{kNode, 0, 0xEF, 0xBE};
    big.resize(4 + 2 * 300, 0x01);
    r = host->Request(32, big);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, std::vector<u8>{255});
    EXPECT_EQ(host->Ask(31, {kNode, dg, 0xEF, 0xBE}), 0xA0);
    EXPECT_EQ(host->Ask(34, {kNode, dg, 0xEF, 0xBE}), 0x09);
}

}  // namespace
