// The serial Modbus engine in this process, on a scripted serial port: RTU
// and ASCII framing with their recoveries and errors, the slave's address
// map, diagnostics, listen-only, write inhibit, broadcasts, two-byte
// stations and store-and-forward, the master's states and status words, and
// the IEC forms on a small VM database. Hostile frames get exception 3 or
// are dropped and counted.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "ladder/ladder_engine.h"
#include "link/modapi.h"
#include "link/modbus.h"
#include "link/vcomm.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"

namespace {

using Bytes = std::vector<u8>;

// A serial port whose received bytes and frame ends the test scripts and
// whose sent frames it collects.
struct FakePort {
    std::deque<int> rx;  // bytes; -1 a frame end
    Bytes pending;
    std::vector<Bytes> sent;
    int line = 0;
    int flushedRx = 0;
    u8 mode[kVcommModeBytes] = {5, 0, 3, 0, 0, kProtoRtu};
};
FakePort* fake = nullptr;

VcommDriver FakeDriver() {
    VcommDriver d{};
    d.mode = fake->mode;
    d.CheckRx = [](u32) {
        if (fake->rx.empty()) return 0;
        if (fake->rx.front() >= 0) return 1;
        fake->rx.pop_front();  // a frame end is reported once
        return 255;
    };
    d.GetRx = [](u32) {
        int b = fake->rx.front();
        fake->rx.pop_front();
        return b;
    };
    d.StatusRx = [](u32, int clear) {
        int l = fake->line;
        if (clear) fake->line = 0;
        return l;
    };
    d.FlushRx = [](u32) { fake->flushedRx++; };
    d.FlushTx = [](u32) { fake->pending.clear(); };
    d.PutTx = [](u32, u8 b) {
        fake->pending.push_back(b);
        return static_cast<int>(b);
    };
    d.RtuTx = [](u32) {
        fake->sent.push_back(fake->pending);
        fake->pending.clear();
    };
    d.CountTx = [](u32) { return 0; };
    return d;
}

Bytes WithCrc(Bytes f) {
    u16 c = crc16(f.data(), static_cast<u32>(f.size()));
    f.push_back(static_cast<u8>(c));
    f.push_back(static_cast<u8>(c >> 8));
    return f;
}

std::string Ascii(const Bytes& f, bool lowerCase = false) {
    u8 sum = 0;
    std::string s = ":";
    char b[4];
    for (u8 v : f) {
        sum = static_cast<u8>(sum + v);
        std::snprintf(b, sizeof b, lowerCase ? "%02x" : "%02X", v);
        s += b;
    }
    std::snprintf(b, sizeof b, "%02X", static_cast<u8>(0 - sum));
    return s + b + "\r\n";
}

// Byte offsets of registers: %R n (1-based) and friends.
u32 R(u32 n) { return kRegR + 2 * (n - 1); }
u16 Word(u32 at) { return GetLe16(&plc_reg[at]); }
void SetWord(u32 at, u16 v) { PutLe16(&plc_reg[at], v); }

constexpr u32 kControl = 1001, kStatus = 1002, kData = 1010, kTable = 1040;

class ModbusEngine : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &port;
        saved = Vcomm_Drv[0];
        Vcomm_Drv[0] = FakeDriver();
        MOD_Reset();
    }
    void TearDown() override {
        Vcomm_Drv[0] = saved;
        MOD_Reset();
        fake = nullptr;
    }
    void Slave(u16 address, u16 timeout = 0, bool ascii = false, u32 inhibit = 0) {
        port.mode[kSomProto] = ascii ? 2 : kProtoRtu;
        TalkModbusConfig c;
        c.address = address;
        c.timeout = timeout;
        c.control = &plc_reg[R(kControl)];
        c.data = &plc_reg[R(kData)];
        c.status = &plc_reg[R(kStatus)];
        c.forwardPairs = 3;
        c.forwardTable = &plc_reg[R(kTable)];
        c.writeInhibit = inhibit;
        ASSERT_EQ(ModbusInit(0, c), 1);
    }
    // One RTU frame with its frame end; the answers of one step.
    std::vector<Bytes> Rtu(const Bytes& f, bool crc = true) {
        Bytes b = crc ? WithCrc(f) : f;
        for (u8 v : b) port.rx.push_back(v);
        port.rx.push_back(-1);
        return Step();
    }
    std::vector<Bytes> Text(const std::string& s) {
        for (char c : s) port.rx.push_back(static_cast<u8>(c));
        return Step();
    }
    std::vector<Bytes> Step() {
        port.sent.clear();
        EXPECT_EQ(ModbusExecute(0), 1);
        return port.sent;
    }
    // The answer of a request without its CRC (checked), empty when none.
    Bytes Ask(const Bytes& f) {
        auto s = Rtu(f);
        if (s.empty()) return {};
        EXPECT_EQ(s.size(), 1u);
        Bytes a = s[0];
        EXPECT_GE(a.size(), 4u);
        if (a.size() < 4) return {};
        u16 c = crc16(a.data(), static_cast<u32>(a.size() - 2));
        EXPECT_EQ(a[a.size() - 2] | a[a.size() - 1] << 8, c);
        a.resize(a.size() - 2);
        return a;
    }
    u16 Status() { return Word(R(kStatus)); }
    ModEngine& E() { return MOD_Pcb(0).e; }

    RegFixture regs;
    ManualClock clock;
    FakePort port;
    VcommDriver saved{};
};

// --- the slave over RTU --------------------------------------------------------

TEST_F(ModbusEngine, SlaveServesEveryRangeOfTheAddressMapAndRefusesWhatLiesOutside) {
    Slave(7);
    struct Case {
        u8 function;
        u16 address, count;
        u32 byte;  // register byte offset of the first element
        bool ok;
    };
    // For bit areas byte is the area's first byte and the address's bit
    // position within the area is address - range start.
    const Case cases[] = {
        {3, 0, 2, kRegAQ, true},          {3, 510, 2, kRegAQ + 1020, true},   {3, 511, 2, 0, false},
        {3, 512, 1, kRegR, true},         {3, 2999, 1, kRegR + 2 * 2487, true}, {3, 3000, 3, kRegR, true},
        {3, 5999, 1, kRegR + 2 * 2999, true}, {3, 6000, 1, kRegAQG, true}, {3, 6031, 1, kRegAQG + 62, true},
        {3, 6032, 1, 0, false},           {3, 10000, 4, kRegR, true},        {3, 14095, 1, kRegR + 2 * 4095, true},
        {3, 14096, 1, 0, false},          {3, 0, 126, 0, false},             {3, 0, 0, 0, false},
        {4, 0, 1, kRegAI, true},          {4, 511, 1, kRegAI + 1022, true},  {4, 512, 1, 0, false},
        {4, 3000, 32, kRegAIG, true},     {4, 3032, 1, 0, false},            {4, 4000, 1, kRegSR, true},
        {4, 4191, 1, kRegSR + 382, true}, {4, 4192, 1, 0, false},
    };
    for (const Case& c : cases) {
        for (u32 i = 0; i < c.count && c.ok; ++i) PutLe16(&plc_reg[c.byte + 2 * i], static_cast<u16>(0x1234 + i));
        Bytes a = Ask({7, c.function, static_cast<u8>(c.address >> 8), static_cast<u8>(c.address),
                       static_cast<u8>(c.count >> 8), static_cast<u8>(c.count)});
        SCOPED_TRACE(::testing::Message() << "function " << int(c.function) << " address " << c.address);
        if (!c.ok) {
            EXPECT_EQ(a, (Bytes{7, static_cast<u8>(c.function | 0x80), 3}));
            continue;
        }
        ASSERT_EQ(a.size(), 3u + 2 * c.count);
        EXPECT_EQ(a[2], 2 * c.count);
        for (u32 i = 0; i < c.count; ++i) EXPECT_EQ(GetBe16(&a[3 + 2 * i]), 0x1234 + i);
    }
    // Bits: coils and discrete inputs, shifted by the address's low bits.
    struct BitCase {
        u8 function;
        u16 address;
        u32 byte, bit;
        bool ok;
    };
    const BitCase bits[] = {
        {1, 0, kRegQ, 0, true},        {1, 2047, kRegQ, 2047, true}, {1, 2048, 0, 0, false},
        {1, 3005, kRegM, 5, true},     {1, 5047, kRegM, 2047, true}, {1, 5048, 0, 0, false},
        {1, 6013, kRegT, 13, true},    {1, 8048, 0, 0, false},       {1, 9000, kRegQG, 0, true},
        {1, 9255, kRegQG, 255, true},  {1, 9256, 0, 0, false},       {2, 9, kRegI, 9, true},
        {2, 2048, 0, 0, false},        {2, 3001, kRegIG, 1, true},   {2, 3256, 0, 0, false},
        {2, 4003, kRegS, 3, true},     {2, 5255, kRegK, 255, true},  {2, 5256, 0, 0, false},
    };
    // Programs with 16-bit tokens: %M and %T are the fixed areas.
    RegTokLen_16b = 1;
    for (const BitCase& c : bits) {
        SCOPED_TRACE(::testing::Message() << "function " << int(c.function) << " address " << c.address);
        if (c.ok) plc_reg[c.byte + c.bit / 8] = static_cast<u8>(1u << (c.bit % 8));
        Bytes a = Ask({7, c.function, static_cast<u8>(c.address >> 8), static_cast<u8>(c.address), 0, 1});
        if (!c.ok) {
            EXPECT_EQ(a, (Bytes{7, static_cast<u8>(c.function | 0x80), 3}));
            continue;
        }
        EXPECT_EQ(a, (Bytes{7, c.function, 1, 1}));
        plc_reg[c.byte + c.bit / 8] = 0;
    }
    RegTokLen_16b = 0;
}

TEST_F(ModbusEngine, SlaveWritesCoilsAndRegistersAndPacksBitsAcrossBytes) {
    Slave(7);
    // Ten coils from %Q5: bits 4..13, the others of the two bytes kept.
    plc_reg[kRegQ] = 0x0F;
    plc_reg[kRegQ + 1] = 0xC0;
    EXPECT_EQ(Ask({7, 15, 0, 4, 0, 10, 2, 0xFF, 0x02}), (Bytes{7, 15, 0, 4, 0, 10}));
    EXPECT_EQ(plc_reg[kRegQ], 0xFF);
    EXPECT_EQ(plc_reg[kRegQ + 1], 0xEF);
    EXPECT_EQ(Ask({7, 1, 0, 3, 0, 12}), (Bytes{7, 1, 2, 0xFF, 0x0D}));  // high bits beyond the count 0
    EXPECT_EQ(Ask({7, 5, 0, 0, 0x00, 0x00}), (Bytes{7, 5, 0, 0, 0, 0}));
    EXPECT_EQ(plc_reg[kRegQ], 0xFE);
    // Registers: 16 writes %R1-%R2 (from address 512), 6 and 22 the mask write.
    EXPECT_EQ(Ask({7, 16, 0x02, 0x00, 0, 2, 4, 0x12, 0x34, 0xAB, 0xCD}), (Bytes{7, 16, 2, 0, 0, 2}));
    EXPECT_EQ(Word(R(1)), 0x1234);
    EXPECT_EQ(Word(R(2)), 0xABCD);
    EXPECT_EQ(Ask({7, 6, 0x0B, 0xB8, 0x55, 0xAA}), (Bytes{7, 6, 0x0B, 0xB8, 0x55, 0xAA}));  // 3000: %R1
    EXPECT_EQ(Word(R(1)), 0x55AA);
    struct Mask {
        u16 value, andMask, orMask, result;
    } masks[] = {{0x1234, 0xFFFF, 0xABCD, 0x1234}, {0x1234, 0x0000, 0xABCD, 0xABCD}, {0x0012, 0x00F2, 0x0025, 0x0017}};
    for (const Mask& m : masks) {
        SetWord(R(1), m.value);
        Bytes req = {7, 22, 0x0B, 0xB8, static_cast<u8>(m.andMask >> 8), static_cast<u8>(m.andMask),
                     static_cast<u8>(m.orMask >> 8), static_cast<u8>(m.orMask)};
        EXPECT_EQ(Ask(req), req);
        EXPECT_EQ(Word(R(1)), m.result);
    }
    // 23: writes %R11-%R12, then reads %R10-%R12.
    SetWord(R(10), 9);
    EXPECT_EQ(Ask({7, 23, 0x0B, 0xC1, 0, 3, 0x0B, 0xC2, 0, 2, 4, 0, 1, 0, 2}),
              (Bytes{7, 23, 6, 0, 9, 0, 1, 0, 2}));
    EXPECT_EQ(Ask({7, 7}), (Bytes{7, 7, 0}));
    EXPECT_EQ(Ask({7, 43, 14, 1, 0}), (Bytes{7, 43 | 0x80, 1}));
}

TEST_F(ModbusEngine, ByteCountsThatLieGetExceptionThreeAndTouchNothing) {
    Slave(7);
    SetWord(R(1), 0x1111);
    SetWord(R(2), 0x2222);
    const Bytes lies[] = {
        {7, 16, 0x02, 0x00, 0, 2, 2, 0xAA, 0xBB},               // byte count below 2 x count
        {7, 16, 0x02, 0x00, 0, 2, 4, 0xAA, 0xBB},               // byte count beyond the frame
        {7, 15, 0, 0, 0, 9, 1, 0xFF},                           // 9 coils need 2 bytes
        {7, 15, 0, 0, 0, 8, 1},                                 // no data at all
        {7, 23, 0x0B, 0xB8, 0, 1, 0x0B, 0xB8, 0, 2, 4, 0, 1},   // write data cut short
        {7, 23, 0x0B, 0xB8, 0, 1, 0x0B, 0xB8, 0, 1, 4, 0, 1, 0, 2},  // byte count not 2 x write count
        {7, 3, 0, 0},                                           // fields missing
        {7, 8, 0, 0, 0xA5, 0x5A, 0},                            // diagnostics is exactly 6 bytes
    };
    for (const Bytes& f : lies) {
        Bytes a = Ask(f);
        EXPECT_EQ(a, (Bytes{7, static_cast<u8>(f[1] | 0x80), 3})) << int(f[1]) << " of " << f.size();
    }
    EXPECT_EQ(Word(R(1)), 0x1111);
    EXPECT_EQ(Word(R(2)), 0x2222);
    EXPECT_EQ(plc_reg[kRegQ], 0);
    EXPECT_EQ(E().counters[kCntException], std::size(lies));
}

TEST_F(ModbusEngine, RtuFramesAreRecoveredByExpectedLengthOrDroppedAndCounted) {
    Slave(7);
    SetWord(kRegAQ, 0xBEEF);
    const Bytes read = WithCrc({7, 3, 0, 0, 0, 1});
    // Trailing bytes before the silent interval: the CRC matched at the
    // request length of function 3.
    Bytes trailing = read;
    trailing.insert(trailing.end(), {0x00, 0x11, 0x22});
    auto s = Rtu(trailing, false);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], WithCrc({7, 3, 2, 0xBE, 0xEF}));
    // A function-16 request recovered through its byte count.
    Bytes write = WithCrc({7, 16, 0, 1, 0, 1, 2, 0x12, 0x34});
    write.push_back(0x99);
    ASSERT_EQ(Rtu(write, false).size(), 1u);
    EXPECT_EQ(Word(kRegAQ + 2), 0x1234);
    EXPECT_EQ(E().counters[kCntCommError], 0);

    Bytes bad = read;
    bad[3] ^= 1;
    const Bytes errors[] = {bad, {7, 3, 0}, Bytes(300, 0x07), {}};
    for (const Bytes& f : errors) {
        u16 before = E().counters[kCntCommError];
        EXPECT_TRUE(Rtu(f, false).empty());
        EXPECT_EQ(E().counters[kCntCommError], before + 1) << f.size();
        EXPECT_EQ(Status() & 0x80, 0x80);
        Step();
        EXPECT_EQ(Status() & 0x80, 0);  // reported once
    }
    // And the next good frame is served.
    EXPECT_EQ(Ask({7, 3, 0, 0, 0, 1}), (Bytes{7, 3, 2, 0xBE, 0xEF}));
    // Another station's frame is not answered.
    EXPECT_TRUE(Rtu({8, 3, 0, 0, 0, 1}).empty());
}

TEST_F(ModbusEngine, AsciiFramingWithLrcColonRestartsAndStrayLineEnds) {
    Slave(17, 0, true);
    SetWord(kRegAQ, 0x0102);
    auto s = Text(Ascii({17, 3, 0, 0, 0, 1}));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(std::string(s[0].begin(), s[0].end()), Ascii({17, 3, 2, 1, 2}));
    // A stray CR LF does not serve the previous frame again, nor counts.
    EXPECT_TRUE(Text("\r\n").empty());
    EXPECT_TRUE(Text(":\r\n").empty());
    EXPECT_EQ(E().counters[kCntCommError], 0);
    // A ':' in the middle counts an error and starts over; the frame after it is served.
    EXPECT_EQ(Text(":1103" + Ascii({17, 3, 0, 0, 0, 1})).size(), 1u);
    EXPECT_EQ(E().counters[kCntCommError], 1);
    // Lower-case digits count as 0 and fail the LRC; so does a bad LRC.
    EXPECT_TRUE(Text(Ascii({17, 3, 0, 0xab, 0, 1}, true)).empty());
    std::string badLrc = Ascii({17, 3, 0, 0, 0, 1});
    badLrc[badLrc.size() - 3] ^= 1;
    EXPECT_TRUE(Text(badLrc).empty());
    EXPECT_EQ(E().counters[kCntCommError], 3);
    // A frame end event (RTU gap) in ASCII drops the line in progress silently.
    Text(":1103");
    port.rx.push_back(-1);
    EXPECT_TRUE(Text("0000000C\r\n").empty());
    EXPECT_EQ(E().counters[kCntCommError], 3);
}

TEST_F(ModbusEngine, DiagnosticsCountersListenOnlyAndRestart) {
    Slave(7);
    auto diag = [](u16 sub, u16 data = 0) {
        return Bytes{7, 8, static_cast<u8>(sub >> 8), static_cast<u8>(sub), static_cast<u8>(data >> 8),
                     static_cast<u8>(data)};
    };
    EXPECT_EQ(Ask(diag(0, 0xA55A)), diag(0, 0xA55A));
    Rtu({7, 3, 0, 1}, false);   // a comm error
    Ask({7, 99});               // an exception
    EXPECT_EQ(Ask(diag(11)), diag(11, 3));  // bus messages, this one included
    EXPECT_EQ(Ask(diag(12)), diag(12, 1));
    EXPECT_EQ(Ask(diag(13)), diag(13, 1));
    EXPECT_EQ(Ask(diag(14)), diag(14, 5));  // responses sent before this one
    EXPECT_EQ(Ask(diag(2)), diag(2, 0));
    EXPECT_EQ(Ask(diag(3)), (Bytes{7, 0x88, 2}));
    // Listen-only: silent, reads not served but counted as no-response.
    EXPECT_TRUE(Ask(diag(4)).empty());
    SetWord(kRegAQ, 5);
    EXPECT_TRUE(Ask({7, 6, 0, 0, 0, 9}).empty());
    EXPECT_TRUE(Ask(diag(15)).empty());
    EXPECT_EQ(Word(kRegAQ), 5);
    EXPECT_EQ(E().counters[kCntNoResponse], 2);
    // Restart leaves listen-only without a reply and clears the counters.
    EXPECT_TRUE(Ask(diag(1)).empty());
    EXPECT_EQ(Ask(diag(15)), diag(15, 0));
    EXPECT_EQ(Ask(diag(1, 0xFF00)), diag(1, 0xFF00));  // not listening: echoed
    EXPECT_EQ(Ask(diag(10)), diag(10));
    EXPECT_EQ(Ask(diag(11)), diag(11, 1));
}

TEST_F(ModbusEngine, WriteInhibitBroadcastsAndFunction65) {
    const u32 inhibitBit = 0x400 + 8 * R(30);
    Slave(7, 0, false, inhibitBit);
    plc_reg[R(30)] = 1;
    EXPECT_EQ(Ask({7, 6, 0, 0, 0, 9}), (Bytes{7, 0x86, 1}));
    EXPECT_EQ(Ask({7, 15, 0, 0, 0, 1, 1, 1}), (Bytes{7, 0x8F, 1}));
    EXPECT_EQ(Word(kRegAQ), 0);
    EXPECT_EQ(Ask({7, 3, 0, 0, 0, 1}), (Bytes{7, 3, 2, 0, 0}));  // reads still served
    plc_reg[R(30)] = 0;
    // Broadcast writes are carried out, silently; broadcast reads are not.
    EXPECT_TRUE(Ask({0, 6, 0, 0, 0, 9}).empty());
    EXPECT_EQ(Word(kRegAQ), 9);
    EXPECT_TRUE(Ask({0, 16, 0, 1, 0, 1, 2, 0, 8}).empty());
    EXPECT_EQ(Word(kRegAQ + 2), 8);
    EXPECT_TRUE(Ask({0, 3, 0, 0, 0, 1}).empty());
    EXPECT_TRUE(Ask({0, 8, 0, 4, 0, 0}).empty());
    EXPECT_EQ(E().mode & kModListenOnly, 0);  // a broadcast diagnostic is not executed
    EXPECT_EQ(E().counters[kCntSlave], 3);  // two exceptions and the read
    // Function 65 asks whoever is on the line: the own address comes back.
    EXPECT_EQ(Ask({0, 65}), (Bytes{7, 65, 7}));
    EXPECT_EQ(Ask({7, 65}), (Bytes{7, 65, 7}));
}

TEST_F(ModbusEngine, TwoByteStationsAndStoreAndForward) {
    Slave(0x1234);
    SetWord(kRegAQ, 0x4242);
    EXPECT_EQ(Ask({0x12, 0x99, 3, 0, 0, 0, 1}), (Bytes{0x12, 0x99, 3, 2, 0x42, 0x42}));
    EXPECT_EQ(Ask({0x77, 0x34, 3, 0, 0, 0, 1}), (Bytes{0x77, 0x34, 3, 2, 0x42, 0x42}));
    EXPECT_EQ(Ask({0x00, 0x55, 3, 0, 0, 0, 1}), (Bytes{0x00, 0x55, 3, 2, 0x42, 0x42}));
    EXPECT_EQ(Ask({0x55, 0x00, 6, 0, 0, 0, 7}), (Bytes{0x55, 0x00, 6, 0, 0, 0, 7}));
    EXPECT_TRUE(Ask({0x00, 0x00, 6, 0, 0, 0, 8}).empty());  // both zero: broadcast
    EXPECT_EQ(Word(kRegAQ), 8);
    EXPECT_TRUE(Ask({0x55, 0x55, 3, 0, 0, 0, 1}).empty());

    // A one-byte station forwards frames for others through its table.
    Slave(7);
    SetWord(R(kTable), 0);
    EXPECT_TRUE(Rtu({9, 3, 0, 0, 0, 1}).empty());
    EXPECT_TRUE(Step().empty());  // first entry 0: no forwarding
    SetWord(R(kTable), 0x0905);   // 9 <-> 5
    SetWord(R(kTable) + 2, 0);
    SetWord(R(kTable) + 4, 0x0B0C);
    EXPECT_TRUE(Rtu({9, 3, 0, 0, 0, 1}).empty());
    EXPECT_EQ(Status() & 0x06, 0x02);
    auto s = Step();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], WithCrc({5, 3, 0, 0, 0, 1}));
    EXPECT_TRUE(Rtu({12, 3, 2, 0, 1}).empty());
    EXPECT_EQ(Status() & 0x06, 0x06);
    s = Step();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], WithCrc({11, 3, 2, 0, 1}));
    // A pair count beyond register memory never walks outside it.
    TalkModbusConfig c = MOD_Pcb(0).cfg;
    c.forwardTable = &plc_reg[kPlcRegBytes - 2];
    c.forwardPairs = 0xFFFF;
    PutLe16(&plc_reg[kPlcRegBytes - 2], 0x0D0E);
    ModbusInit(0, c);
    EXPECT_TRUE(Rtu({15, 3, 0, 0, 0, 1}).empty());
    EXPECT_TRUE(Step().empty());
    EXPECT_TRUE(Rtu({13, 3, 0, 0, 0, 1}).empty());
    s = Step();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], WithCrc({14, 3, 0, 0, 0, 1}));
}

// When the programming software has taken back the port an IEC application
// borrowed, the next set-up gives the port the application's protocol again,
// once; without a running application the flag waits.
TEST_F(ModbusEngine, PortTakenBackFromTheApplicationGetsItsProtocolAgain) {
    struct Case {
        const char* what;
        u8 running, flag, nibbleAfter, flagAfter;
    } cases[] = {
        {"application running: protocol restored, flag cleared", 1, 1, kProtoRtu, 0},
        {"no hand-back: the port keeps its protocol", 1, 0, 2, 0},
        {"no application: the flag waits", 0, 1, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QuilletRuntime = c.running;
        quillet_variables_enumerateded = c.running;
        q4runtime_modbusinit = c.flag;
        q4protocol = kProtoRtu;
        port.mode[kSomProto] = 0x50 | 2;  // options nibble 5, ASCII
        TalkModbusConfig cfg;
        cfg.address = 7;
        cfg.status = &plc_reg[R(kStatus)];
        ASSERT_EQ(ModbusInit(0, cfg), 1);
        EXPECT_EQ(port.mode[kSomProto], 0x50 | c.nibbleAfter);
        EXPECT_EQ(q4runtime_modbusinit, c.flagAfter);
        EXPECT_EQ((MOD_Pcb(0).e.mode & kModAscii) != 0, c.nibbleAfter != kProtoRtu);
    }
    QuilletRuntime = 0;
    quillet_variables_enumerateded = 0;
    q4runtime_modbusinit = 0;
    q4protocol = 0;
}

TEST_F(ModbusEngine, SlaveStatusWordTimeOutLineErrorsAndTransmitRequest) {
    Slave(7, 50);  // five seconds
    Step();
    EXPECT_EQ(Status() & 0x01, 0);
    // One step seven seconds later: the silence is measured whole.
    clock.AdvanceMs(7000);
    Step();
    EXPECT_EQ(Status() & 0x01, 0x01);
    const u16 toggled = Status() & 0x08;
    Ask({7, 3, 0, 0, 0, 1});  // a request restarts it and toggles bit 0x08
    EXPECT_EQ(Status() & 0x01, 0);
    EXPECT_NE(Status() & 0x08, toggled);
    port.line = 5;
    Step();
    EXPECT_EQ(Status() & 0x70, 0x50);
    Step();
    EXPECT_EQ(Status() & 0x70, 0);

    // Transmit request: the first control-word bytes of the data area go out as one frame.
    for (u8 i = 0; i < 4; ++i) plc_reg[R(kData) + i] = static_cast<u8>(0x30 + i);
    SetWord(R(kControl), 4);
    auto s = Step();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], WithCrc({0x30, 0x31, 0x32, 0x33}));
    Step();
    EXPECT_EQ(Status() & 0x700, 0x100);
    SetWord(R(kControl), 0);
    Step();
    EXPECT_EQ(Status() & 0x700, 0);
    SetWord(R(kControl), 300);
    EXPECT_TRUE(Step().empty());
    EXPECT_EQ(Status() & 0x700, 0x200);
}

TEST_F(ModbusEngine, ModbusTcpFramingCarriesHeadersInsteadOfCheckBytes) {
    Slave(7);
    MOD_TCPInit(1, 0);
    SetWord(kRegAQ, 0x0A0B);
    auto s = Rtu({0x00, 0x09, 0, 0, 0, 6, 7, 3, 0, 0, 0, 1}, false);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], (Bytes{0x00, 0x09, 0, 0, 0, 5, 7, 3, 2, 0x0A, 0x0B}));  // the peer's transaction number
    EXPECT_TRUE(Rtu({0x00, 0x0A, 0, 0, 0, 9, 7, 3, 0, 0, 0, 1}, false).empty());  // length field lies
    EXPECT_TRUE(Rtu({0x00, 0x0A, 0, 0, 0, 1}, false).empty());                   // header only
    EXPECT_EQ(E().counters[kCntCommError], 2);
    MOD_TCPInit(0, 0);
    EXPECT_EQ(Ask({7, 3, 0, 0, 0, 1}), (Bytes{7, 3, 2, 0x0A, 0x0B}));
}

// --- the master -----------------------------------------------------------------

class ModbusMaster : public ModbusEngine {
protected:
    // Master on port 0, trigger bit 3 of the control word, time-out 1 s.
    void Start(u16 timeout = 10) {
        port.mode[kSomProto] = kProtoRtu;
        TalkModbusConfig c;
        c.address = 0;
        c.timeout = timeout;
        c.control = &plc_reg[R(kControl)];
        c.data = &plc_reg[R(kData)];
        c.status = &plc_reg[R(kStatus)];
        c.triggerBit = 3;
        ModbusInit(0, c);
    }
    void Request(u16 slave, u16 function, u16 start, u16 count, u16 type, u16 offset) {
        const u16 w[6] = {slave, function, start, count, type, offset};
        for (int i = 0; i < 6; ++i) SetWord(R(kData) + 2 * i, w[i]);
    }
    // Raises the trigger; the request frame sent (without CRC).
    Bytes Trigger() {
        SetWord(R(kControl), 0x08);
        auto s = Step();
        if (s.size() != 1) return {};
        Bytes f = s[0];
        EXPECT_EQ(f, WithCrc(Bytes(f.begin(), f.end() - 2)));
        f.resize(f.size() - 2);
        return f;
    }
    void Drop() {
        SetWord(R(kControl), 0);
        Step();
        EXPECT_EQ(Status(), 0);
    }
    // The status after a response (RTU frame with CRC) and one more step.
    u16 Answer(const Bytes& f, bool crc = true) {
        Bytes b = crc ? WithCrc(f) : f;
        for (u8 v : b) port.rx.push_back(v);
        port.rx.push_back(-1);
        Step();
        Step();
        return Status();
    }
};

TEST_F(ModbusMaster, RegisterFormsOfEveryFunctionAndTheirLocalData) {
    Start();
    // 3: two holding registers into %R100.
    Request(5, 3, 0x10, 2, kLocR, 99);
    EXPECT_EQ(Trigger(), (Bytes{5, 3, 0, 0x10, 0, 2}));
    EXPECT_EQ(Answer({5, 3, 4, 0x12, 0x34, 0x56, 0x78}), 1);
    EXPECT_EQ(Word(R(100)), 0x1234);
    EXPECT_EQ(Word(R(101)), 0x5678);
    Drop();
    // 1: ten coils into %M5.. (16-bit token layout), other bits kept.
    RegTokLen_16b = 1;
    plc_reg[kRegM] = 0x0F;
    Request(5, 1, 0, 10, kLocM, 4);
    EXPECT_EQ(Trigger(), (Bytes{5, 1, 0, 0, 0, 10}));
    EXPECT_EQ(Answer({5, 1, 2, 0xFF, 0x03}), 1);
    EXPECT_EQ(plc_reg[kRegM], 0xFF);
    EXPECT_EQ(plc_reg[kRegM + 1], 0x3F);
    RegTokLen_16b = 0;
    Drop();
    // 15 from %Q3, 5 from %Q1, 16 from %AQ1, 6 from %SR1, 7 into %I, 8 sub-function 0, 65.
    plc_reg[kRegQ] = 0b10110101;
    SetWord(kRegAQ, 0xCAFE);
    SetWord(kRegAQ + 2, 0xF00D);
    SetWord(kRegSR, 0x0102);
    struct Case {
        std::vector<u16> req;
        Bytes frame, answer;
    } cases[] = {
        {{5, 15, 7, 5, kLocQ, 2}, {5, 15, 0, 7, 0, 5, 1, 0b01101}, {5, 15, 0, 7, 0, 5}},
        {{5, 5, 1, 1, kLocQ, 0}, {5, 5, 0, 1, 0xFF, 0}, {5, 5, 0, 1, 0xFF, 0}},
        {{5, 16, 9, 2, kLocAQ, 0}, {5, 16, 0, 9, 0, 2, 4, 0xCA, 0xFE, 0xF0, 0x0D}, {5, 16, 0, 9, 0, 2}},
        {{5, 6, 3, 1, kLocSR, 0}, {5, 6, 0, 3, 0x01, 0x02}, {5, 6, 0, 3, 0x01, 0x02}},
        {{5, 7, 0, 8, kLocI, 8}, {5, 7}, {5, 7, 0xA5}},
        {{5, 8, 0, 1, kLocAQ, 0}, {5, 8, 0, 0, 0xCA, 0xFE}, {5, 8, 0, 0, 0x12, 0x21}},
        {{5, 65, 0, 1, kLocAQ, 1}, {0, 65}, {5, 65, 0x2A}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "function " << c.req[1]);
        Request(c.req[0], c.req[1], c.req[2], c.req[3], c.req[4], c.req[5]);
        EXPECT_EQ(Trigger(), c.frame);
        EXPECT_EQ(Answer(c.answer), 1);
        Drop();
    }
    EXPECT_EQ(plc_reg[kRegI + 1], 0xA5);
    EXPECT_EQ(Word(kRegAQ), 0x1221);
    EXPECT_EQ(Word(kRegAQ + 2), 0x2A);
}

TEST_F(ModbusMaster, StatusWordsForEveryOutcome) {
    Start();
    auto outcome = [&](const Bytes& answer, bool crc = true) {
        Request(5, 3, 0, 2, kLocR, 0);
        Trigger();
        u16 s = Answer(answer, crc);
        Drop();
        return s;
    };
    EXPECT_EQ(outcome({5, 0x83, 1}), 0x1002);
    EXPECT_EQ(outcome({5, 0x83, 2}), 0x2002);
    EXPECT_EQ(outcome({5, 0x83, 3}), 0x4002);
    EXPECT_EQ(outcome({5, 0x83, 4}), 0x8002);
    EXPECT_EQ(outcome({5, 0x83, 6}), 0x0802);  // reported at once, not left to the time-out
    EXPECT_EQ(outcome({5, 3, 2, 0, 1}), 0x0802);              // byte count for one register
    EXPECT_EQ(outcome({5, 3, 4, 0, 1}), 0x0802);              // byte count beyond the bytes received
    EXPECT_EQ(outcome({5, 4, 4, 0, 1, 0, 2}), 0x0802);        // another function
    EXPECT_EQ(outcome({5, 3, 4, 0, 1, 0, 2, 9}, false), 0x0402);  // bad CRC: frame error

    // Another station's answer is ignored; the master waits on.
    Request(5, 3, 0, 2, kLocR, 0);
    Trigger();
    Answer({6, 3, 4, 0, 1, 0, 2});
    EXPECT_EQ(Status(), 0);
    // Silence: 0x102 one second after the last byte received.
    clock.AdvanceMs(900);
    for (u8 b : Bytes{5, 3}) port.rx.push_back(b);  // a byte restarts the time-out
    Step();
    clock.AdvanceMs(900);
    Step();
    EXPECT_EQ(Status(), 0);
    clock.AdvanceMs(200);
    Step();
    EXPECT_EQ(Status(), 0x102);
    // The status stays while the trigger is held; a held trigger sends nothing more.
    EXPECT_TRUE(Step().empty());
    EXPECT_EQ(Status(), 0x102);
    Drop();
    // A line error while waiting.
    Request(5, 3, 0, 2, kLocR, 0);
    Trigger();
    port.line = 2;
    EXPECT_EQ(Answer({5, 3, 4, 0, 1, 0, 2}), 0x202);
    Drop();
    // A trigger that drops while waiting: back to idle with status 0.
    Request(5, 3, 0, 2, kLocR, 0);
    Trigger();
    Step();
    Drop();
}

TEST_F(ModbusMaster, BuildErrorsAndBroadcasts) {
    Start(0);
    struct Case {
        std::vector<u16> req;
        u16 status;
    } cases[] = {
        {{248, 3, 0, 1, kLocR, 0}, 0x06},    {{5, 17, 0, 1, kLocR, 0}, 0x12},   {{5, 3, 0, 126, kLocR, 0}, 0x0A},
        {{5, 1, 0, 2001, kLocQ, 0}, 0x0A},   {{5, 7, 0, 7, kLocQ, 0}, 0x0A},    {{5, 8, 0, 2, kLocR, 0}, 0x0A},
        {{5, 3, 0, 2, kLocSR, 0}, 0x22},     {{5, 2, 0, 2, kLocS, 0}, 0x22},    {{5, 3, 0, 2, kLocR, 50239}, 0x22},
        {{5, 3, 0, 1, 99, 0}, 0x22},         {{5, 1, 0, 1, kLocQ, 2048}, 0x22},
    };
    for (const auto& c : cases) {
        Request(c.req[0], c.req[1], c.req[2], c.req[3], c.req[4], c.req[5]);
        EXPECT_TRUE(Trigger().empty());
        EXPECT_EQ(Status(), c.status) << c.req[1] << " " << c.req[3];
        Drop();
    }
    // A broadcast write completes once sent; nobody answers it.
    SetWord(kRegAQ, 77);
    Request(0, 6, 4, 1, kLocAQ, 0);
    EXPECT_EQ(Trigger(), (Bytes{0, 6, 0, 4, 0, 77}));
    Step();
    EXPECT_EQ(Status(), 1);
    Drop();
}

// --- IEC forms --------------------------------------------------------------------

class ModbusIec : public ModbusMaster {
protected:
    void SetUp() override {
        ModbusMaster::SetUp();
        db.Link();
    }
    FakeVmDb db;
};

TEST_F(ModbusIec, SlaveMapServesEachAreaByItsOwnSize) {
    // Discrete inputs: 8-bit entries 0-3; coils 8-bit 4-11; input registers
    // 16-bit 0-1; holding registers: 32-bit 0-2 (six 16-bit registers).
    u8* d8 = db.Area(kDbData8);
    u8* d16 = db.Area(kDbData16);
    u8* d32 = db.Area(kDbData32);
    d8[1] = 1;
    PutLe16(d16, 0x1111);
    PutLe32(d32, 0x22223333);
    u8* map = &plc_reg[R(kData)];
    const u32 refs[4] = {IecRef(0, 0), IecRef(0, 4), IecRef(1, 0), IecRef(2, 0)};
    const u32 sizes[4] = {4, 8, 2, 6};
    for (int i = 0; i < 4; ++i) {
        PutLe32(map + 4 * i, refs[i]);
        PutLe32(map + 16 + 4 * i, sizes[i]);
    }
    PutLe16(map + 32, 2);
    Slave(7);
    EXPECT_EQ(Ask({7, 3, 0, 0, 0, 6}), (Bytes{7, 3, 12, 0x33, 0x33, 0x22, 0x22, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Ask({7, 4, 0, 0, 0, 2}), (Bytes{7, 4, 4, 0x11, 0x11, 0, 0}));
    EXPECT_EQ(Ask({7, 4, 0, 0, 0, 3}), (Bytes{7, 0x84, 2}));
    EXPECT_EQ(Ask({7, 1, 0, 0, 0, 8}), (Bytes{7, 1, 1, 0}));  // more coils than discrete inputs
    EXPECT_EQ(Ask({7, 2, 0, 0, 0, 4}), (Bytes{7, 2, 1, 0x02}));
    EXPECT_EQ(Ask({7, 2, 0, 0, 0, 5}), (Bytes{7, 0x82, 2}));
    // 6 on 32-bit variables writes the addressed register only.
    EXPECT_EQ(Ask({7, 6, 0, 1, 0xAB, 0xCD}), (Bytes{7, 6, 0, 1, 0xAB, 0xCD}));
    EXPECT_EQ(GetLe32(d32), 0xABCD3333u);
    EXPECT_EQ(GetLe32(d32 + 4), 0u);
    EXPECT_EQ(Ask({7, 16, 0, 5, 0, 2, 4, 0, 1, 0, 2}), (Bytes{7, 0x90, 2}));
    EXPECT_EQ(Ask({7, 15, 0, 6, 0, 2, 1, 3}), (Bytes{7, 15, 0, 6, 0, 2}));
    EXPECT_EQ(d8[10], 1);
    EXPECT_EQ(d8[11], 1);
    EXPECT_EQ(Ask({7, 5, 0, 8, 0xFF, 0}), (Bytes{7, 0x85, 2}));
    EXPECT_EQ(Ask({7, 22, 0, 0, 0xFF, 0xFF, 0, 0}), (Bytes{7, 0x96, 1}));
    EXPECT_EQ(Ask({7, 23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1}), (Bytes{7, 0x97, 1}));
}

TEST_F(ModbusIec, MasterRequestRecordReadsAndWritesVariables) {
    u8* d16 = db.Area(kDbData16);
    u8* d8 = db.Area(kDbData8);
    Start();
    auto record = [&](u16 slave, u16 function, u16 start, u16 count, u32 ref, u16 offset, u16 width) {
        u8* r = &plc_reg[R(kData)];
        PutLe16(r, slave), PutLe16(r + 2, function), PutLe16(r + 4, start), PutLe16(r + 6, count);
        PutLe32(r + 8, ref), PutLe16(r + 12, offset), PutLe16(r + 14, width);
    };
    auto trigger = [&] {
        SetWord(R(kControl), 1);
        MOD_Pcb(0).s.triggerMask = 1;
        auto s = Step();
        return s.size() == 1 ? s[0] : Bytes{};
    };
    record(5, 3, 0, 2, IecRef(1, 0), 1, 1);
    EXPECT_EQ(trigger(), WithCrc({5, 3, 0, 0, 0, 2}));
    EXPECT_EQ(Answer({5, 3, 4, 0, 7, 0, 8}), 1);
    EXPECT_EQ(GetLe16(d16 + 2), 7);
    EXPECT_EQ(GetLe16(d16 + 4), 8);
    Drop();
    d8[3] = 1;
    d8[5] = 1;
    record(5, 15, 0, 3, IecRef(0, 0), 3, 0);
    EXPECT_EQ(trigger(), WithCrc({5, 15, 0, 0, 0, 3, 1, 0b101}));
    EXPECT_EQ(Answer({5, 15, 0, 0, 0, 3}), 1);
    Drop();
    record(5, 2, 0, 3, IecRef(0, 0), 10, 0);
    EXPECT_EQ(trigger(), WithCrc({5, 2, 0, 0, 0, 3}));
    EXPECT_EQ(Answer({5, 2, 1, 0b110}), 1);
    EXPECT_EQ(d8[10], 0);
    EXPECT_EQ(d8[11], 1);
    EXPECT_EQ(d8[12], 1);
    Drop();
    // Local data beyond the variable's table: a reference error.
    record(5, 3, 0, 2, IecRef(1, 7), 0, 1);
    EXPECT_TRUE(trigger().empty());
    EXPECT_EQ(Status(), 0x22);
    Drop();
}

}  // namespace
