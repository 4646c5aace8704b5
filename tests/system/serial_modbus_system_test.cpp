// System tests of the serial Modbus engine on the real executable, on the
// controller's clock driven by the test, with a socat pty pair as serial
// port 1 and ladder programs made with the test builder. As a slave, mbpoll
// (RTU) reads and writes every range of the address map and meets the
// exceptions outside it, and pymodbus (ASCII) drives functions 8, 22 and 23,
// listen-only, restart and broadcasts; write inhibit answers exception 1. As
// a master, the controller asks a pymodbus serial slave and reports each
// outcome in its status word.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/mb_peers.h"
#include "testsupport/reg_image.h"
#include "testsupport/socat_pair.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kOn = lreg::R(2000), kOpen = lreg::R(2000) + 1, kRun = lreg::R(2000) + 2;
constexpr u32 kCtl = lreg::R(40), kStatus = lreg::R(41), kInhibit = lreg::R(50), kData = lreg::R(60);

u32 WordOf(u32 bitAddress) { return (bitAddress - 0x400) >> 4; }
u32 WordAt(u32 byteOffset) { return byteOffset / 2; }

class SerialModbusSystem : public ::testing::Test {
protected:
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            clock->AdvanceToExit(fw);
            fw.WaitExit(30000);
        }
    }
    // A program that opens port 1 with the protocol (3 RTU, 4 ASCII) and
    // runs one Modbus station on it: own address 0 is a master.
    static LadderBuilder Program(u8 protocol, u16 address) {
        LadderBuilder b(LadderWidth::k32);
        auto opd = [&b](u32 a) { b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16)); };
        b.Contact(kOn).Raw(132).Raw(1).Raw(5).Raw(3).Raw(static_cast<u16>(protocol << 8)).Out(kOpen);
        b.Contact(kOpen).Raw(137);
        for (u32 v : {1u, static_cast<u32>(address), address == 0 ? 20u : 0u, kCtl, kData, kStatus}) opd(v);
        // Extension: no store-and-forward table, the write-inhibit bit.
        b.Raw(0x3FF).Raw(3).Raw(0).Raw(0);
        opd(0);
        opd(kInhibit);
        b.Out(kRun).End();
        return b;
    }
    void Start(const LadderBuilder& program, std::vector<std::pair<u32, u16>> words) {
        std::filesystem::create_directories(root.Path("/mnt/cfg"));
        std::filesystem::create_directories(root.Path("/tmp"));
        ASSERT_TRUE(program.Ok()) << program.Error();
        std::vector<u8> pgm = program.ProgramFile();
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/ladder.pgm"), pgm.data(), pgm.size()));
        std::vector<u8> cfg = LadderConfigFile();
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/config.pgm"), cfg.data(), cfg.size()));
        words.push_back({WordOf(kOn), 1});
        std::vector<u8> image = RunModeRegisterImage(words);
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        pair = std::make_unique<SocatPair>(root.Path("/dev/ttySP4"), peer);
        ASSERT_TRUE(pair->Ready());
        clock = std::make_unique<BoardClock>();
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
        ASSERT_TRUE(clock->Advance(200));
    }
    // Runs a peer command while the controller's clock moves; its output.
    std::string Peer(const std::string& command) {
        const std::string out = root.Path("/tmp/peer.out");
        std::remove(out.c_str());
        PeerProcess p;
        EXPECT_TRUE(p.Start("", "(" + command + ") >" + out + " 2>&1; echo EXIT $? >>" + out));
        EXPECT_TRUE(clock->AdvanceUntil([&] { return ReadTextFile(out).find("EXIT") != std::string::npos; }, 120000))
            << ReadTextFile(out);
        return ReadTextFile(out);
    }
    std::string Mbpoll(const std::string& args, const std::string& values = "") {
        return Peer("mbpoll -m rtu -a 7 -b 9600 -P none -d 8 -s 1 -0 -1 -o 3 " + args + " '" + peer + "' " + values);
    }
    // A raw RTU frame (its CRC added) written to the peer's end; what comes
    // back within 300 ms of the controller's time.
    std::vector<u8> RawRtu(std::vector<u8> frame, bool crc = true) {
        if (crc) {
            u16 c = crc16(frame.data(), static_cast<u32>(frame.size()));
            frame.push_back(static_cast<u8>(c));
            frame.push_back(static_cast<u8>(c >> 8));
        }
        int fd = ::open(peer.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        if (fd < 0) return {};
        EXPECT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        std::vector<u8> got;
        clock->AdvanceUntil(
            [&] {
                u8 b[300];
                ssize_t n = ::read(fd, b, sizeof b);
                if (n > 0) got.insert(got.end(), b, b + n);
                return false;
            },
            300);
        ::close(fd);
        return got;
    }
    std::string Python(const std::string& args) {
        return Peer("/usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) + "/tests/system/serial_modbus_peer.py' " +
                    args);
    }

    TempRoot root;
    std::string peer = root.Path("/tmp/peer");
    std::unique_ptr<SocatPair> pair;
    std::unique_ptr<BoardClock> clock;
    FirmwareProcess fw;
};

TEST_F(SerialModbusSystem, MbpollReadsAndWritesEveryRangeOfTheAddressMapOverRtu) {
    // Outputs and %T start cleared in run mode: those ranges are written first.
    ASSERT_NO_FATAL_FAILURE(Start(Program(3, 7), {
                                                     {WordAt(kRegR), 2222},
                                                     {WordAt(kRegAQG), 3333},
                                                     {WordAt(kRegAI), 4444},
                                                     {WordAt(kRegAIG), 5555},
                                                     {WordAt(kRegEM), 0x0002},
                                                     {WordAt(kRegQG), 0x0001},
                                                 }));
    EXPECT_NE(Mbpoll("-t 4 -r 0", "1111").find("Written 1 references"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 0 -r 0", "1 0 1").find("Written 3 references"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 0 -r 6002", "1").find("Written 1 references"), std::string::npos);
    struct Read {
        const char* args;
        std::string expect;  // a line of the output, or the exception's text
    } reads[] = {
        {"-t 4 -r 0", "[0]: \t1111"},          {"-t 4 -r 512", "[512]: \t2222"},
        {"-t 4 -r 3000", "[3000]: \t2222"},    {"-t 4 -r 6000", "[6000]: \t3333"},
        {"-t 4 -r 10000", "[10000]: \t2222"},  {"-t 4 -r 6032", "Illegal data value"},
        {"-t 4 -r 511 -c 2", "Illegal data value"}, {"-t 4 -r 14096", "Illegal data value"},
        {"-t 3 -r 0", "[0]: \t4444"},          {"-t 3 -r 3000", "[3000]: \t5555"},
        {"-t 3 -r 4004", "[4004]: \t2"},       {"-t 3 -r 4192", "Illegal data value"},
        {"-t 0 -r 0 -c 3", "[2]: \t1"},        {"-t 0 -r 3001", "[3001]: \t1"},
        {"-t 0 -r 6000 -c 3", "[6002]: \t1"},  {"-t 0 -r 9000", "[9000]: \t1"},
        {"-t 0 -r 9256", "Illegal data value"}, {"-t 0 -r 8048", "Illegal data value"},
        {"-t 1 -r 5255", "[5255]: \t0"},       {"-t 1 -r 3000 -c 4", "[3003]: \t0"},
        {"-t 1 -r 4000 -c 8", "[4007]: "},      {"-t 1 -r 5256", "Illegal data value"},
        {"-t 1 -r 2040 -c 8", "[2047]: "},      {"-t 1 -r 2048", "Illegal data value"},
    };
    for (const Read& r : reads) {
        std::string out = Mbpoll(r.args);
        EXPECT_NE(out.find(r.expect), std::string::npos) << r.args << "\n" << out;
    }
    // Hostile frames: a byte count that lies gets exception 3; a bad CRC, a
    // truncated and an over-long frame are dropped; the slave serves on.
    EXPECT_EQ(RawRtu({7, 16, 0x02, 0x00, 0, 2, 2, 0xAA, 0xBB}), (std::vector<u8>{7, 0x90, 3, 0xEC, 0x00}));
    EXPECT_TRUE(RawRtu({7, 3, 0, 0, 0, 1, 0x12, 0x34}, false).empty());
    EXPECT_TRUE(RawRtu({7, 3, 0}, false).empty());
    EXPECT_TRUE(RawRtu(std::vector<u8>(300, 7)).empty());
    EXPECT_NE(Mbpoll("-t 4 -r 512").find("[512]: \t2222"), std::string::npos);
    // Registers from address 600 (%R89), coils from 10 (%Q11), read back.
    EXPECT_NE(Mbpoll("-t 4 -r 600", "7 8").find("Written 2 references"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 4 -r 3088 -c 2").find("[3089]: \t8"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 0 -r 10", "1 0 1").find("Written 3 references"), std::string::npos);
    std::string coils = Mbpoll("-t 0 -r 10 -c 3");
    EXPECT_NE(coils.find("[10]: \t1"), std::string::npos) << coils;
    EXPECT_NE(coils.find("[11]: \t0"), std::string::npos) << coils;
    EXPECT_NE(coils.find("[12]: \t1"), std::string::npos) << coils;
    // Write inhibit: set through Modbus itself (%R50 is address 3049); from
    // then on writes answer illegal function, reads still work.
    EXPECT_NE(Mbpoll("-t 4 -r 3049", "1").find("Written 1 references"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 4 -r 600", "9").find("Illegal function"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 0 -r 10", "0").find("Illegal function"), std::string::npos);
    EXPECT_NE(Mbpoll("-t 4 -r 600").find("[600]: \t7"), std::string::npos);
    EXPECT_FALSE(fw.HasExited());
}

TEST_F(SerialModbusSystem, PymodbusDrivesDiagnosticsMaskAndReadWriteOverAscii) {
    ASSERT_NO_FATAL_FAILURE(Start(Program(4, 7), {}));
    std::string out = Python("ascii '" + peer + "'");
    for (const char* line : {"W16 False", "R3 [11, 22, 33]", "MASK False", "RW [7, 44, 33]", "ECHO [4660]",
                             "AFTERBC [55]", "LISTEN ERR", "BACK [7]", "BUS [2]", "DONE"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_FALSE(fw.HasExited());
}

// The controller as master on port 1, a pymodbus RTU slave (unit 5) on the
// other end; the test writes each request record and the trigger over the
// programming link on port 0 and reads the status word and the local data.
class SerialModbusMaster : public SerialModbusSystem {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.Open(root.Path("/dev/ttySP3")));
        ASSERT_NO_FATAL_FAILURE(Start(Program(3, 0), {{WordAt(kRegEM), 0x0005}, {WordAt(kRegR) + 109, 7},
                                                      {WordAt(kRegR) + 110, 8}, {WordAt(kRegR) + 129, 0x1234}}));
        host = std::make_unique<LinkHost>(link.Master(), 0, [this] { clock->Advance(1, 1); });
        ASSERT_TRUE(host->NodeId(&node));
        ASSERT_TRUE(server.Start("", "exec /usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) +
                                         "/tests/system/serial_modbus_peer.py' server '" + peer + "' >" +
                                         root.Path("/tmp/server.out") + " 2>&1"));
        // The slave serves once python has started it: ask until it answers.
        for (int i = 0; i < 30 && Run({5, 3, 0, 1, 8, 199}) != 1; ++i) {
        }
    }
    void TearDown() override {
        server.Stop();
        SerialModbusSystem::TearDown();
    }
    bool Write(u32 address, const std::vector<u16>& words) {
        std::vector<u8> bytes;
        for (u16 w : words) bytes.insert(bytes.end(), {static_cast<u8>(w), static_cast<u8>(w >> 8)});
        return host->WriteRegs(node, address, static_cast<u8>(16 * words.size()), bytes) == 0xA0;
    }
    std::vector<u8> Read(u32 address, u8 bits) {
        LinkHost::Reply r = host->ReadRegs(node, address, bits);
        return r.frame ? r.data : std::vector<u8>{};
    }
    u16 Status() {
        std::vector<u8> d = Read(kStatus, 16);
        return d.size() == 2 ? GetLe16(d.data()) : 0xFFFF;
    }
    // One request: its record, a rising trigger, the status once set; the
    // trigger drops again and the status returns to 0.
    u16 Run(const std::vector<u16>& record) {
        EXPECT_TRUE(Write(kData, record));
        EXPECT_TRUE(Write(kCtl, {1}));
        u16 status = 0;
        EXPECT_TRUE(clock->AdvanceUntil(
            [&] {
                status = Status();
                return status != 0 && status != 0xFFFF;
            },
            10000, 20))
            << fw.Output() << ReadTextFile(root.Path("/tmp/server.out"));
        EXPECT_TRUE(Write(kCtl, {0}));
        EXPECT_TRUE(clock->AdvanceUntil([&] { return Status() == 0; }, 2000, 20));
        return status;
    }

    LinkPty link;
    std::unique_ptr<LinkHost> host;
    PeerProcess server;
    u8 node = 0;
};

TEST_F(SerialModbusMaster, EveryFunctionAgainstAPymodbusSlaveWithItsStatusWord) {
    constexpr u16 kR = 8, kAI = 10, kQ = 72, kIG = 66, kM = 76;
    struct Case {
        std::vector<u16> record;  // slave, function, start, count, local type, local offset
        u16 status;
        u32 check;                // register bit address read back afterwards (0 none)
        std::vector<u8> data;
    } cases[] = {
        {{5, 3, 0, 4, kR, 99}, 1, lreg::R(100), {100, 0, 101, 0, 102, 0, 103, 0}},
        {{5, 4, 2, 2, kAI, 0}, 1, 0x400 + 8 * kRegAI, {202, 0, 203, 0}},
        {{5, 1, 0, 8, kQ, 16}, 1, lreg::Q(17), {0x66}},
        {{5, 2, 0, 4, kIG, 0}, 1, 0x400 + 8 * kRegIG, {0x0D}},
        {{5, 16, 10, 2, kR, 109}, 1, 0, {}},
        {{5, 6, 12, 1, kR, 109}, 1, 0, {}},
        {{5, 3, 10, 3, kR, 119}, 1, lreg::R(120), {7, 0, 8, 0, 7, 0}},
        {{5, 15, 0, 4, kM, 0}, 1, 0, {}},
        {{5, 5, 5, 1, kM, 0}, 1, 0, {}},
        {{5, 1, 0, 6, kQ, 32}, 1, lreg::Q(33), {0x25}},
        {{5, 7, 0, 8, kQ, 48}, 1, lreg::Q(49), {0}},
        {{5, 8, 0, 1, kR, 129}, 1, lreg::R(130), {0x34, 0x12}},
        {{5, 3, 1000, 2, kR, 0}, 0x2002, 0, {}},  // beyond the slave's table
        {{9, 3, 0, 1, kR, 0}, 0x102, 0, {}},      // nobody answers
        {{5, 17, 0, 1, kR, 0}, 0x12, 0, {}},      // not a function of the master
        {{5, 3, 0, 126, kR, 0}, 0x0A, 0, {}},
        {{248, 3, 0, 1, kR, 0}, 0x06, 0, {}},
        {{0, 6, 3, 1, kR, 109}, 1, 0, {}},        // broadcast: done once sent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "function " << c.record[1] << " slave " << c.record[0]);
        EXPECT_EQ(Run(c.record), c.status);
        if (c.check != 0) EXPECT_EQ(Read(c.check, static_cast<u8>(8 * c.data.size())), c.data);
    }
    EXPECT_FALSE(fw.HasExited());
}

}  // namespace
