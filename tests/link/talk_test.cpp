// The program-controlled serial ports in this process: ladder programs of
// both token widths open port 1 (on a pty) with their own settings, send a
// register block, receive a counted reply, close; the programming port is
// taken and given back; hostile operands are refused; the Modbus and modem
// instructions decode and gate as the interpreter runs them.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "testsupport/ladder_builder.h"

#include "port1_fixture.h"

namespace {

constexpr u32 kA = lreg::R(1), kB = lreg::R(1) + 1, kC = lreg::R(1) + 2, kD = lreg::R(1) + 3, kE = lreg::R(1) + 4;
constexpr u32 kY0 = lreg::R(2), kY1 = lreg::R(2) + 1, kY2 = lreg::R(2) + 2, kY3 = lreg::R(2) + 3,
              kY4 = lreg::R(2) + 4;

u32 RegByteOf(u32 a) { return (a - 0x400) / 8; }
u16 Word(u32 a) { return GetLe16(&plc_reg[RegByteOf(a)]); }
void SetWord(u32 a, u16 v) { PutLe16(&plc_reg[RegByteOf(a)], v); }
bool Bit(u32 a) { return (plc_reg[RegByteOf(a)] >> (a & 7)) & 1; }
void SetBit(u32 a, bool on) {
    u8& b = plc_reg[RegByteOf(a)];
    b = on ? static_cast<u8>(b | (1u << (a & 7))) : static_cast<u8>(b & ~(1u << (a & 7)));
}

class TalkTest : public Port1Test, public ::testing::WithParamInterface<LadderWidth> {
protected:
    bool Tok16() const { return GetParam() == LadderWidth::k16; }
    LadderBuilder Prog() const { return LadderBuilder(GetParam()); }
    // A register or literal operand in the program's width.
    void Opd(LadderBuilder& b, u32 a) const {
        if (Tok16() && a >= 0x10000) {
            b.Raw(a >= 0x20000 ? 1777 : 1776).Raw(static_cast<u16>(a & 0xFFFF));
        } else if (Tok16()) {
            b.Raw(static_cast<u16>(a));
        } else {
            b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16));
        }
    }
    void Open(LadderBuilder& b, u32 in, u32 out, u16 port, u8 proto, u8 baud = 5) const {
        b.Contact(in).Raw(132).Raw(port).Raw(static_cast<u16>(baud)).Raw(3).Raw(static_cast<u16>(proto << 8));
        b.Out(out);
    }
    void Transfer(LadderBuilder& b, u32 in, u32 out, u16 opcode, u16 port, u32 count, u32 buffer, u32 progress,
                  int sub = -1) const {
        b.Contact(in).Raw(opcode);
        if (sub >= 0) b.Raw(static_cast<u16>(sub));
        b.Raw(port);
        Opd(b, count);
        Opd(b, buffer);
        Opd(b, progress);
        b.Out(out);
    }
    i32 Load(const LadderBuilder& b) {
        b.Load();
        S_Put(1, true);
        return 0;
    }
    i32 Scan() {
        i32 r = Ladder_Scan(ladder);
        Cmd_Check();
        return r;
    }
    u8 Nibble(int port) const { return Vcomm_Drv[port].mode[kSomProto] & 0x0F; }
};

TEST_P(TalkTest, PortOneSendsABlockReceivesACountedReplyAndIsGivenBack) {
    constexpr u32 kCount = lreg::R(10), kProgTx = lreg::R(11), kProgRx = lreg::R(12), kTx = lreg::R(20),
                  kRx = lreg::R(30);
    LadderBuilder b = Prog();
    Open(b, kA, kY0, 1, 2, 7);
    Transfer(b, kB, kY1, 133, 1, kCount, kTx, kProgTx);
    Transfer(b, kC, kY2, 134, 1, 4, kRx, kProgRx);
    Open(b, kD, kY3, 1, 2);  // a second opener of the same port
    b.Contact(kE).Raw(135).Raw(1).Out(kY4);
    b.End();
    Load(b);

    SetBit(kA, true);
    EXPECT_EQ(Scan(), kLadderEnd);
    EXPECT_TRUE(Bit(kY0));
    EXPECT_EQ(TalkOpened(1), 1);
    EXPECT_EQ(Nibble(1), 2);
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomBaud], 7);

    std::memcpy(&plc_reg[RegByteOf(kTx)], "HELLO", 5);
    SetWord(kCount, 5);
    SetBit(kB, true);
    Scan();
    EXPECT_TRUE(Bit(kY1));
    EXPECT_EQ(Word(kProgTx), 5);
    EXPECT_EQ(ReadFar(port1.Master(), 5), "HELLO");
    // Complete until the power drops; then idle, and the next rise sends again.
    Scan();
    EXPECT_TRUE(Bit(kY1));
    SetBit(kB, false);
    Scan();
    EXPECT_EQ(Word(kProgTx), 0xFFFF);

    // The receive counts what came and waits for the rest: no time-out.
    SetBit(kC, true);
    ASSERT_EQ(::write(port1.Master(), "ab", 2), 2);
    ASSERT_TRUE(RunLinkUntil([&] {
        Scan();
        return Word(kProgRx) == 2;
    }));
    EXPECT_FALSE(Bit(kY2));
    ASSERT_EQ(::write(port1.Master(), "cd", 2), 2);
    ASSERT_TRUE(RunLinkUntil([&] {
        Scan();
        return Bit(kY2);
    }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&plc_reg[RegByteOf(kRx)]), 4), "abcd");

    // A second opener gets nothing while the owner's power stays on.
    SetBit(kD, true);
    Scan();
    EXPECT_FALSE(Bit(kY3));

    // The owner lets go, the close gives the port back to the programming
    // link; the second opener's next rise would then take it.
    SetBit(kA, false);
    SetBit(kD, false);
    SetBit(kE, true);
    Scan();
    EXPECT_TRUE(Bit(kY4));
    EXPECT_EQ(Nibble(1), 1);
    EXPECT_EQ(TalkOpened(1), 0);
    SetBit(kE, false);
    SetBit(kD, true);
    Scan();
    EXPECT_TRUE(Bit(kY3));
}

TEST_P(TalkTest, ProgrammingPortIsTakenAndTheProtocolAnswersAgainAfterTheClose) {
    LadderBuilder b = Prog();
    Open(b, kA, kY0, 0, 2);
    b.Contact(kE).Raw(135).Raw(0).Out(kY4);
    b.End();
    Load(b);
    SetBit(kA, true);
    Scan();
    ASSERT_TRUE(Bit(kY0));
    EXPECT_EQ(Nibble(0), 2);

    // The lock of the serial host keeps a close out.
    SetBit(kA, false);
    Vcomm_Host = kHostSerial;
    Vcomm_Lock = 1;
    SetBit(kE, true);
    Scan();
    EXPECT_FALSE(Bit(kY4));
    EXPECT_EQ(Nibble(0), 2);
    Vcomm_Lock = 0;
    SetBit(kE, false);
    Scan();
    SetBit(kE, true);
    Scan();
    EXPECT_TRUE(Bit(kY4));
    EXPECT_EQ(Nibble(0), 1);
    LinkHost::Reply r = host->Request(1, {kNode});
    EXPECT_TRUE(r.frame);
}

TEST_P(TalkTest, HostileTransfersAreRefusedWithoutABytesMoving) {
    constexpr u32 kCount = lreg::R(10), kProg = lreg::R(11), kPair = lreg::R(40);
    struct Case {
        const char* what;
        int sub;     // TALKIEC sub-operation
        u32 count;   // operand
        u16 countValue;
        u32 offset;  // indirect offset in the register pair
        u32 buffer;  // operand
    } cases[] = {
        {"indirect offset past the memory", 1, kCount, 4, 0xFFFFFFF0u, kPair},
        {"indirect block running off the end", 1, kCount, 5, kPlcRegBytes - 2, kPair},
        {"count 256", 0, kCount, 256, 0, lreg::R(20)},
        {"literal buffer", 0, 3, 0, 0, 0x3FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Talk_Reset();
        LadderBuilder b = Prog();
        Open(b, kA, kY0, 1, 2);
        Transfer(b, kB, kY1, 394, 1, c.count, c.buffer, kProg, c.sub);
        b.End();
        Load(b);
        SetWord(kCount, c.countValue);
        PutLe32(&plc_reg[RegByteOf(kPair)], c.offset);
        SetBit(kA, true);
        SetBit(kB, true);
        SetWord(kProg, 0xFFFF);
        EXPECT_EQ(Scan(), kLadderEnd);
        EXPECT_FALSE(Bit(kY1));
        EXPECT_EQ(Word(kProg), 0xFFFF);
        char byte;
        EXPECT_LT(::read(port1.Master(), &byte, 1), 1) << "nothing was sent";
    }
    // A sound indirect send for comparison.
    Talk_Reset();
    LadderBuilder b = Prog();
    Open(b, kA, kY0, 1, 2);
    Transfer(b, kB, kY1, 394, 1, 3, kPair, kProg, 1);
    b.End();
    Load(b);
    std::memcpy(&plc_reg[1000], "xyz", 3);
    PutLe32(&plc_reg[RegByteOf(kPair)], 1000);
    SetWord(kProg, 0xFFFF);
    Scan();
    EXPECT_TRUE(Bit(kY1));
    EXPECT_EQ(ReadFar(port1.Master(), 3), "xyz");
}

TEST_P(TalkTest, ModemFunctionThreeStopsTheProgramAtTheInstruction) {
    LadderBuilder b = Prog();
    b.Contact(kA);
    const u32 at = b.Here();
    b.Raw(136).Raw(1).Raw(3).End();
    Load(b);
    SetBit(kA, true);
    EXPECT_EQ(Scan(), static_cast<i32>(at + 1));
}

TEST_P(TalkTest, LiveModemCallOfTheProgrammingPortSurvivesARestart) {
    constexpr u32 kStatus = lreg::R(50), kStatus0 = lreg::R(51);
    LadderBuilder b = Prog();
    Open(b, kA, kY0, 0, 1);  // the link's own protocol: the program keeps it
    b.Contact(kB).Raw(136).Raw(0).Raw(2);
    Opd(b, kStatus);
    b.Raw(3).Out(kY1);
    b.End();
    Load(b);
    SetBit(kA, true);
    SetBit(kB, true);
    Scan();
    ASSERT_TRUE(Bit(kY0));
    EXPECT_EQ(Cmd_Override, 1);
    EXPECT_EQ(Word(kStatus), kModemPending);
    clock.AdvanceMs(1100);
    Scan();
    ASSERT_EQ(Modem_State(0, 2), 3);  // the escape is out
    SR_Put(34, 1);
    S_Put(1, true);  // a stop and restart: first scan again
    Scan();
    EXPECT_EQ(Word(kStatus), kModemPending);
    EXPECT_EQ(Modem_State(0, 2), 3) << "the call goes on";

    // An initialisation string is not kept: the restart starts it again.
    Talk_Reset();
    Modem_Reset();
    LadderBuilder c = Prog();
    Open(c, kA, kY0, 0, 1);
    c.Contact(kB).Raw(136).Raw(0).Raw(0);
    Opd(c, kStatus0);
    c.Raw(2).Raw(0x5441).Out(kY1).End();
    Load(c);
    Scan();
    clock.AdvanceMs(1100);
    Scan();
    ASSERT_EQ(Modem_State(0, 0), 3);
    S_Put(1, true);
    Scan();
    EXPECT_EQ(Modem_State(0, 0), 2);
}

// Fakes of the Modbus engine: what it was given and how often it ran.
struct ModbusFake {
    static inline int inits = 0, executes = 0, stops = 0, answer = 0;
    static inline TalkModbusConfig last{};
    static void Install() {
        inits = executes = stops = answer = 0;
        last = {};
        talkPeers.ModbusInit = [](int, const TalkModbusConfig& c) {
            ++inits;
            last = c;
            return 1;
        };
        talkPeers.ModbusExecute = [](int) {
            ++executes;
            return answer;
        };
        talkPeers.ModbusStop = [](int) {
            ++stops;
            return 1;
        };
    }
};

TEST_P(TalkTest, ModbusInstructionsDecodeRefuseFarOperandsAndShareThePortByRole) {
    ModbusFake::Install();
    constexpr u32 kTimeout = lreg::R(60), kCtl = lreg::R(61) + 5, kData = lreg::R(70), kStatus = lreg::R(62);
    SetWord(kTimeout, 30);
    LadderBuilder b = Prog();
    Open(b, kA, kY0, 1, 3);  // RTU framing: a Modbus port
    // Master: address 0, time-out register, control register (trigger bit 5).
    b.Contact(kB).Raw(137);
    for (u32 v : {1u, 0u, kTimeout, kCtl, kData, kStatus}) Opd(b, v);
    b.Out(kY1);
    // Slave on the same port: address 7.
    b.Contact(kC).Raw(137);
    for (u32 v : {1u, 7u, 0u, kCtl, kData, kStatus}) Opd(b, v);
    b.Out(kY2);
    b.End();
    Load(b);
    SetBit(kA, true);
    SetBit(kB, true);
    ModbusFake::answer = 1;
    Scan();
    EXPECT_TRUE(Bit(kY1));
    EXPECT_EQ(ModbusFake::inits, 1);
    EXPECT_EQ(ModbusFake::last.address, 0);
    EXPECT_EQ(ModbusFake::last.timeout, 30);
    EXPECT_EQ(ModbusFake::last.triggerBit, 5);
    EXPECT_EQ(ModbusFake::last.data, &plc_reg[RegByteOf(kData)]);
    // The slave waits while the master runs.
    SetBit(kC, true);
    Scan();
    EXPECT_FALSE(Bit(kY2));
    EXPECT_EQ(ModbusFake::inits, 1);
    SetBit(kB, false);
    Scan();
    EXPECT_EQ(ModbusFake::stops, 1);
    Scan();
    EXPECT_TRUE(Bit(kY2));
    EXPECT_EQ(ModbusFake::last.address, 7);
    talkPeers = TalkPeers{};
}

TEST_P(TalkTest, ModbusOperandsBeyondTheRangeOrTheInstructionAreRefused) {
    ModbusFake::Install();
    ModbusFake::answer = 1;
    constexpr u32 kCtl = lreg::R(61), kData = lreg::R(70), kStatus = lreg::R(62), kAreaTok = lreg::R(63);
    SetWord(kAreaTok, static_cast<u16>(kData));
    struct Case {
        const char* what;
        std::function<void(LadderBuilder&)> build;
        bool runs;
    } cases[] = {
        {"137 data area at 0x10400",
         [&](LadderBuilder& b) {
             b.Raw(137);
             for (u32 v : {1u, 0u, 0u, 0u, 0x10400u, kStatus}) Opd(b, v);
         },
         false},
        {"531 whose L = 3 puts the write inhibit past the instruction",
         [&](LadderBuilder& b) {
             b.Raw(531);
             for (u32 v : {1u, 9u, 0u, kCtl, kAreaTok, kStatus}) b.Raw(static_cast<u16>(v));
             b.Raw(0x3FF).Raw(3).Raw(0).Raw(0).Raw(0);
         },
         false},
        {"531 with L = 6 and its write inhibit",
         [&](LadderBuilder& b) {
             b.Raw(531);
             for (u32 v : {1u, 9u, 0u, kCtl, kAreaTok, kStatus}) b.Raw(static_cast<u16>(v));
             b.Raw(0x3FF).Raw(6).Raw(0).Raw(0).Raw(0).Raw(0).Raw(static_cast<u16>(kCtl)).Raw(0);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Talk_Reset();
        ModbusFake::inits = 0;
        LadderBuilder b = Prog();
        Open(b, kA, kY0, 1, 3);
        b.Contact(kB);
        c.build(b);
        b.Out(kY1).End();
        Load(b);
        SetBit(kA, true);
        SetBit(kB, true);
        EXPECT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(Bit(kY1), c.runs);
        EXPECT_EQ(ModbusFake::inits, c.runs ? 1 : 0);
    }
    EXPECT_EQ(ModbusFake::last.writeInhibit, kCtl);
    EXPECT_EQ(ModbusFake::last.data, &plc_reg[RegByteOf(kData)]);
    talkPeers = TalkPeers{};
}

INSTANTIATE_TEST_SUITE_P(Widths, TalkTest, ::testing::Values(LadderWidth::k16, LadderWidth::k32),
                         [](const ::testing::TestParamInfo<LadderWidth>& i) {
                             return i.param == LadderWidth::k16 ? "Tok16" : "Tok32";
                         });

// The IEC entries work on records that hold offsets into register memory.
TEST(TalkIec, RecordsOpenSendAndRefuseOffsetsOutsideTheMemory) {
    ManualClock clock;
    RegFixture regs;
    Talk_Reset();
    LinkPty pty;
    TempRoot root;
    ASSERT_TRUE(pty.Open(root.Path("/dev/ttySP4")));
    SCI1_Init(1);
    u8 open[kTalkOpenRecordBytes] = {1, 0, 5, 0, 3, 0, 0, 2};
    EXPECT_EQ(Q4TalkOpen(open, 1), 1);
    u8 send[kTalkTransferRecordBytes];
    auto rec = [&](u32 buffer, u32 progress) {
        PutLe16(send, 1);
        PutLe16(send + 2, 2);
        PutLe16(send + 4, static_cast<u16>(buffer >> 16));
        PutLe16(send + 6, static_cast<u16>(buffer));
        PutLe16(send + 8, static_cast<u16>(progress >> 16));
        PutLe16(send + 10, static_cast<u16>(progress));
    };
    rec(kPlcRegBytes - 1, 2000);
    PutLe16(&plc_reg[2000], 0xFFFF);
    EXPECT_EQ(Q4TalkSend(send, 1), 0);
    rec(100, kPlcRegBytes - 1);
    EXPECT_EQ(Q4TalkSend(send, 1), 0);
    plc_reg[100] = 'o';
    plc_reg[101] = 'k';
    rec(100, 2000);
    EXPECT_EQ(Q4TalkSend(send, 1), 1);
    EXPECT_EQ(ReadFar(pty.Master(), 2), "ok");
    u8 close[2] = {1, 0};
    EXPECT_EQ(Q4TalkOpen(open, 0), 0);
    EXPECT_EQ(Q4TalkClose(close, 1), 1);
    EXPECT_EQ(TalkOpened(1), 0);
    Sci_Reset();
    Talk_Reset();
}

}  // namespace
