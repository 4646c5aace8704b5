// System tests: the real executable with a downloaded network configuration
// serves Modbus TCP and UDP clients (mbpoll, pymodbus) in run mode.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;

bool HaveTool(const char* path) { return access(path, X_OK) == 0; }


class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

// Reads until `want` bytes arrived or nothing more comes within the time.
std::vector<u8> ReadBytes(int fd, size_t want, int timeoutMs) {
    std::vector<u8> got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        u8 buf[1024];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

std::vector<u8> ReadRequest(u16 tid, u8 fc, u16 addr, u16 qty, u16 lengthField = 6) {
    return {static_cast<u8>(tid >> 8), static_cast<u8>(tid), 0, 0, static_cast<u8>(lengthField >> 8),
            static_cast<u8>(lengthField), 1, fc, static_cast<u8>(addr >> 8), static_cast<u8>(addr),
            static_cast<u8>(qty >> 8), static_cast<u8>(qty)};
}

class NetModbusSystem : public ::testing::Test {
protected:
    // Starts the controller with a network configuration; run mode when
    // runMode, otherwise stop; on a clock the test drives when driven.
    void StartWith(u16 transport, bool runMode, bool driven = false) {
        offset_ = NetFreePortOffset(502);
        env_ = std::make_unique<ScopedEnv>("PLC_PORT_OFFSET", std::to_string(offset_));
        {
            FirmwareProcess first;
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(first.WaitExit(kStartMs));
        }
        NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 1, 2, 1)).Modbus(true, transport, 502, 0x1001C000 + 2000);
        std::vector<u8> io = NetIoConfig(eth0.Build());
        ASSERT_TRUE(NetWriteConfigPgm(root.Path("/mnt/cfg/config.pgm"), io));
        std::vector<u8> image;
        ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        PutLe16(&image[8 + 2 * (127 + 5)], runMode ? 2 : 0);
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        if (driven) clock.emplace();
        ASSERT_TRUE(fw.Start());
        if (clock)
            ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
        else
            ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        port_ = 502 + offset_;
    }
    bool WaitListening() {
        return WaitUntil(
            [&] {
                int fd = ConnectLoopback(port_);
                if (fd >= 0) close(fd);
                return fd >= 0;
            },
            kStartMs);
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            if (clock) EXPECT_TRUE(clock->AdvanceToExit(fw));
            EXPECT_TRUE(fw.WaitExit(kStartMs));
            EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
        }
    }
    // The Python client and its Modbus library (scripts/setup.sh installs both).
    static void RequirePymodbus() {
        ASSERT_TRUE(HaveTool("/usr/bin/python3")) << "python3 is missing";
        ASSERT_NE(Shell("/usr/bin/python3 -c 'import pymodbus; print(\"pymodbus ok\")'").find("pymodbus ok"),
                  std::string::npos)
            << "python3-pymodbus is missing";
    }
    std::string Mbpoll(const std::string& args, const std::string& values = "") {
        return Shell("timeout 20 mbpoll -m tcp -p " + std::to_string(port_) + " -o 2 -1 " + args + " 127.0.0.1 " +
                     values);
    }

    TempRoot root;
    std::optional<BoardClock> clock;
    std::unique_ptr<ScopedEnv> env_;
    FirmwareProcess fw;
    int offset_ = 0;
    int port_ = 0;
};

TEST_F(NetModbusSystem, MbpollReadsAndWritesEveryTableInRunMode) {
    ASSERT_TRUE(HaveTool("/usr/bin/mbpoll")) << "mbpoll is missing: scripts/setup.sh installs it";
    StartWith(0, true);
    ASSERT_TRUE(WaitListening());
    // The services come up over the first passes in run mode and may refuse
    // or close a connection made while they restart: wait for an answer.
    std::string first;
    ASSERT_TRUE(WaitUntil(
        [&] {
            first = Mbpoll("-0 -t 4 -r 3000 -c 1");
            return first.find("[3000]:") != std::string::npos;
        },
        kStartMs))
        << first;
    // -0: 0-based addresses; -t 4 holding, 3 input registers, 0 coils, 1 inputs.
    struct Case {
        const char* write;   // values written at the read's first address ("" none)
        const char* read;    // arguments of the read
        const char* expect;  // text the read must show
    } cases[] = {
        {"", "-0 -t 4 -r 3000 -c 1", "[3000]: \t0"},                              // %R1 starts clear
        {"1234 5", "-0 -t 4 -r 3000 -c 2", "[3000]: \t1234"},  // %R1, %R2
        {"", "-0 -t 4 -r 512 -c 1", "[512]: \t1234"},          // %R1 again through 512
        {"", "-0 -t 4 -r 10001 -c 1", "[10001]: \t5"},                             // %R2 at 10000 + 1
        {"77", "-0 -t 4 -r 6031 -c 1", "[6031]: \t77"},         // %AQG32
        {"99", "-0 -t 4 -r 20239 -c 1", "[20239]: \t99"},      // %R10240
        {"1 0 1", "-0 -t 0 -r 3000 -c 3", "[3002]: \t1"},       // %M coils
        {"1", "-0 -t 0 -r 9255 -c 1", "[9255]: \t1"},           // %QG256
        {"", "-0 -t 3 -r 4004 -c 1", "[4004]: \t2"},                               // %SR5: run mode
        {"", "-0 -t 1 -r 4000 -c 8", "[4000]: \t"},                                // %S1-%S8
        {"", "-0 -t 1 -r 5255 -c 1", "[5255]: \t"},                                // %K256
    };
    for (const Case& c : cases) {
        if (*c.write) {
            std::string args = c.read;
            args = args.substr(0, args.find(" -c"));
            std::string w = Mbpoll(args, c.write);
            EXPECT_NE(w.find("Written"), std::string::npos) << c.write << "\n" << w;
        }
        std::string r = Mbpoll(c.read);
        EXPECT_NE(r.find(c.expect), std::string::npos) << c.read << "\n" << r;
    }
    // Outside the map: exception 2 (illegal data address).
    for (const char* bad : {"-0 -t 4 -r 2990 -c 20", "-0 -t 1 -r 3999 -c 1", "-0 -t 3 -r 4192 -c 1",
                            "-0 -t 4 -r 20240 -c 1"}) {
        std::string r = Mbpoll(bad);
        EXPECT_NE(r.find("Illegal data address"), std::string::npos) << bad << "\n" << r;
    }
}

const char* kPymodbusScript = R"PY(
import socket, struct, sys
from pymodbus.client import ModbusTcpClient, ModbusUdpClient
port = int(sys.argv[1]); transport = sys.argv[2]
c = (ModbusTcpClient if transport == "tcp" else ModbusUdpClient)("127.0.0.1", port=port, timeout=3, retries=1)
c.connect()
def check(cond, what):
    if not cond:
        print("FAIL", what); sys.exit(1)
r = c.write_registers(10, [11, 22, 33], slave=1); check(not r.isError(), "write holding")
r = c.read_holding_registers(10, 3, slave=1); check(not r.isError() and r.registers == [11, 22, 33], "read holding %s" % r)
r = c.write_register(3005, 0xBEEF, slave=1); check(not r.isError(), "write single")
r = c.read_holding_registers(517, 1, slave=1); check(r.registers == [0xBEEF], "alias of %R6")
r = c.write_coils(6000, [True, False, True, True], slave=1); check(not r.isError(), "write coils")
r = c.read_coils(6000, 4, slave=1); check(r.bits[:4] == [True, False, True, True], "read coils %s" % r)
r = c.write_coil(6001, True, slave=1); check(not r.isError(), "write coil")
r = c.read_coils(6000, 4, slave=1); check(r.bits[:4] == [True, True, True, True], "coil set")
r = c.read_discrete_inputs(0, 16, slave=1); check(not r.isError(), "inputs")
r = c.read_input_registers(0, 125, slave=1); check(not r.isError() and len(r.registers) == 125, "125 input registers")
r = c.read_input_registers(0, 126, slave=1); check(r.isError() and r.exception_code == 3, "126 registers refused")
r = c.read_holding_registers(20240, 1, slave=1); check(r.isError() and r.exception_code == 2, "exception 2")
r = c.read_coils(9256, 1, slave=1); check(r.isError() and r.exception_code == 2, "coil outside")
# The write-inhibit bit (%M2001) makes every write answer exception 1; reads go on.
r = c.write_coil(5000, True, slave=1); check(not r.isError(), "set inhibit")
r = c.write_register(10, 5, slave=1); check(r.isError() and r.exception_code == 1, "inhibited")
r = c.read_holding_registers(10, 1, slave=1); check(r.registers == [11], "read while inhibited")
print("PASS")
)PY";

TEST_F(NetModbusSystem, PymodbusOverTcpAcrossTheMap) {
    ASSERT_NO_FATAL_FAILURE(RequirePymodbus());
    StartWith(0, true);
    ASSERT_TRUE(WaitListening());
    std::string script = root.Path("/client.py");
    std::ofstream(script) << kPymodbusScript;
    std::string out = Shell("timeout 60 /usr/bin/python3 " + script + " " + std::to_string(port_) + " tcp");
    EXPECT_NE(out.find("PASS"), std::string::npos) << out;
}

TEST_F(NetModbusSystem, PymodbusOverUdp) {
    ASSERT_NO_FATAL_FAILURE(RequirePymodbus());
    StartWith(1, true);
    std::string script = root.Path("/client.py");
    std::ofstream(script) << kPymodbusScript;
    std::string out;
    // The UDP socket is bound once the first passes in run mode have run.
    ASSERT_TRUE(WaitUntil(
        [&] {
            out = Shell("timeout 60 /usr/bin/python3 " + script + " " + std::to_string(port_) + " udp");
            return out.find("PASS") != std::string::npos;
        },
        kStartMs))
        << out;
}

TEST_F(NetModbusSystem, PipelinedSplitAndHostileFramesOverOneConnection) {
    StartWith(0, true);
    ASSERT_TRUE(WaitListening());
    // Three requests in one segment: each is answered, in order. The
    // services come up over the first passes in run mode, so a connection
    // made while they restart may be closed: a client connects again.
    std::vector<u8> burst;
    for (u16 t = 1; t <= 3; ++t) {
        std::vector<u8> r = ReadRequest(t, 3, 10000, 2);
        burst.insert(burst.end(), r.begin(), r.end());
    }
    int fd = -1;
    std::vector<u8> got;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (fd >= 0) close(fd);
            fd = ConnectLoopback(port_);
            if (fd < 0 || send(fd, burst.data(), burst.size(), 0) != static_cast<ssize_t>(burst.size())) return false;
            got = ReadBytes(fd, 3 * 13, 5000);
            return !got.empty();
        },
        kStartMs));
    ASSERT_EQ(got.size(), 3u * 13);
    for (u16 t = 0; t < 3; ++t) {
        EXPECT_EQ(GetBe16(&got[13 * t]), t + 1);
        EXPECT_EQ(got[13 * t + 7], 3);
        EXPECT_EQ(got[13 * t + 8], 4);
    }
    // One request split across segments.
    std::vector<u8> r = ReadRequest(9, 4, 4004, 1);
    ASSERT_EQ(send(fd, r.data(), 5, 0), 5);
    // The controller reads the first part on passes of its own.
    ASSERT_TRUE(WaitMainLoopPasses(3, kStartMs));
    ASSERT_EQ(send(fd, r.data() + 5, r.size() - 5, 0), static_cast<ssize_t>(r.size() - 5));
    got = ReadBytes(fd, 11, 5000);
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(GetBe16(&got[0]), 9);
    EXPECT_EQ(GetBe16(&got[9]), 2);  // %SR5 = run

    // Hostile: quantity 65535 gets an exception; writes whose byte count
    // lies are refused before any data is touched.
    struct Hostile {
        std::vector<u8> frame;
        u8 exceptionFunction;
        u8 code;
    } hostile[] = {
        {ReadRequest(20, 3, 0, 65535), 0x83, 3},
        {ReadRequest(21, 1, 0, 65535), 0x81, 3},
        {{0, 22, 0, 0, 0, 11, 1, 16, 0x27, 0x10, 0xFF, 0xFF, 4, 1, 2, 3, 4}, 0x90, 3},  // 65535 registers, 4 bytes
        {{0, 23, 0, 0, 0, 9, 1, 16, 0x27, 0x10, 0, 2, 4, 1, 2}, 0x90, 3},               // data shorter than its count
        {{0, 24, 0, 0, 0, 2, 1, 8}, 0x88, 1},                                          // unknown function
    };
    for (const Hostile& h : hostile) {
        ASSERT_EQ(send(fd, h.frame.data(), h.frame.size(), 0), static_cast<ssize_t>(h.frame.size()));
        got = ReadBytes(fd, 9, 5000);
        ASSERT_EQ(got.size(), 9u);
        EXPECT_EQ(got[7], h.exceptionFunction);
        EXPECT_EQ(got[8], h.code);
    }
    // A length field that lies (beyond any frame) and a truncated header are
    // dropped; the connection's next good request is still served.
    std::vector<u8> lie = ReadRequest(30, 3, 0, 1, 0xFFFF);
    send(fd, lie.data(), lie.size(), 0);
    ASSERT_TRUE(WaitMainLoopPasses(3, kStartMs));
    close(fd);
    fd = ConnectLoopback(port_);
    ASSERT_GE(fd, 0);
    u8 truncated[4] = {0, 31, 0, 0};
    send(fd, truncated, sizeof truncated, 0);
    close(fd);
    fd = ConnectLoopback(port_);
    ASSERT_GE(fd, 0);
    r = ReadRequest(32, 3, 10000, 1);
    send(fd, r.data(), r.size(), 0);
    got = ReadBytes(fd, 11, 5000);
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(GetBe16(&got[0]), 32);
    close(fd);
    // Many short connections one after the other: every one is served.
    for (u16 k = 0; k < 40; ++k) {
        fd = ConnectLoopback(port_);
        ASSERT_GE(fd, 0) << "connection " << k;
        r = ReadRequest(k, 3, 10000, 1);
        send(fd, r.data(), r.size(), 0);
        EXPECT_EQ(ReadBytes(fd, 11, 5000).size(), 11u) << "connection " << k;
        close(fd);
    }
    EXPECT_TRUE(fw.Running());
}

// Sixteen clients that send a byte a second hold every slot; a seventeenth
// still gets its answer within 2 s of the controller's time: a frame begun
// must be whole within the frame time.
TEST_F(NetModbusSystem, SlowClientsHoldNoSlot) {
    StartWith(0, true, true);
    std::vector<u8> request = ReadRequest(0x4242, 3, 10000, 1);
    int fd = -1;
    std::vector<u8> got;
    auto ask = [&] {
        got.clear();
        fd = ConnectLoopback(port_);
        return fd >= 0 && send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size());
    };
    // Without blocking: the whole answer is in. A connection the controller
    // closed is dropped, so that the next ask makes a new one.
    auto answered = [&] {
        u8 buf[64];
        while (got.size() < 11u) {
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
            if (n <= 0) {
                close(fd);
                fd = -1;
                return false;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return true;
    };
    // The service is up (it may restart its sockets over the first passes).
    ASSERT_TRUE(clock->AdvanceUntil([&] { return (fd >= 0 || ask()) && answered(); }, 10000, 50));
    close(fd);
    fd = -1;
    int took = ServedBesideSlowClients(
        port_, 16, ReadRequest(1, 3, 10000, 1), 1000, 4000, [&](int ms) { return clock->Advance(ms, ms); }, ask,
        answered);
    if (fd >= 0) close(fd);
    EXPECT_GE(took, 0) << got.size();
    EXPECT_LE(took, 2000) << "answered after " << took << " ms";
    if (got.size() == 11u) EXPECT_EQ(GetBe16(&got[0]), 0x4242);
}

TEST_F(NetModbusSystem, NothingAnswersOutsideRunMode) {
    StartWith(0, false);
    // Once the network step has run, nothing serves in stop mode.
    ASSERT_TRUE(WaitUntil([&] { return access(root.Path("/sys/netif.log").c_str(), F_OK) == 0; }, kStartMs));
    int fd = ConnectLoopback(port_);
    if (fd >= 0) {
        std::vector<u8> r = ReadRequest(1, 3, 10000, 1);
        send(fd, r.data(), r.size(), 0);
        EXPECT_TRUE(ReadBytes(fd, 1, 1000).empty());
        close(fd);
    }
}

}  // namespace
