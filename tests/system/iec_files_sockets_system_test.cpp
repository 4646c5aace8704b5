// System tests: an IEC application in the real executable writes and reads
// files below the root and talks TCP and UDP with peers (Python and socat);
// what it saw is read back from its retained variables after a power-off.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kSR5 = 2 * (127 + 5);

enum : u16 {
    kFRWrite = 17, kFRRead = 16, kFROpen = 70, kFWOpen = 71, kFARead = 72, kFMRead = 73, kFAWrite = 74,
    kFMWrite = 75, kFClose = 76, kFEof = 77, kFBRead = 172, kFBWrite = 173, kFExist = 178, kFGetSize = 179,
    kFCopy = 180, kFDelete = 181, kFRename = 182, kTcpListen = 148, kTcpAccept = 149, kTcpSend = 151,
    kTcpReceive = 152, kTcpConnect = 153, kTcpIsConnected = 154, kTcpIsValid = 155, kUdpCreate = 183,
    kUdpSendTo = 185, kUdpRcvFrom = 186,
};

// Runs a command; its standard output, or "<failed>" when it did not end with 0.
std::string Sh(const std::string& cmd) {
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "<failed>";
    std::string out;
    char b[512];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, p)) > 0) out.append(b, n);
    return ::pclose(p) == 0 ? out : "<failed>" + out;
}

class IecFilesSockets : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareProcess first;  // writes the default blocks and register image
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
        std::vector<u8> image;
        ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        PutLe16(&image[8 + kSR5], 2);  // run mode
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    }
    void Install(IecImageBuilder& b) { ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), b.Build(), RegLocTable())); }
    // The retain file the power-down leaves.
    std::vector<u8> Retained() {
        std::vector<u8> ret;
        EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/q4.ret"), ret, 1u << 16));
        return ret;
    }
    void PowerOff(FirmwareProcess& fw) {
        fw.Signal(44);
        ASSERT_TRUE(fw.WaitExit(kStartMs));
        ASSERT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
    }

    TempRoot root;
};

// One call of a standard function in the assembled program.
void Stf(TicAssembler& t, u16 number, std::vector<TicOperand> ops) {
    std::vector<TicOperand> w{number, static_cast<u16>(ops.size())};
    w.insert(w.end(), ops.begin(), ops.end());
    t.Op("CALL_STF", w);
}

// Every writer's file is read back by its reader in the application and by
// Python; whole-file functions and hostile names act inside the root only.
TEST_F(IecFilesSockets, FilesRoundTripInsideTheRoot) {
    IecImageBuilder b;
    // Results, retained: BOOLs, then INT, DINTs, LREAL, STRINGs.
    const u16 nb = 18;
    u16 ok[nb];
    for (u16 k = 0; k < nb; ++k) ok[k] = b.Var(kQ4TypeBool);
    const u16 iv = b.Var(kQ4TypeInt);
    const u16 fa1 = b.Var(kQ4TypeDint), fa2 = b.Var(kQ4TypeDint), frw = b.Var(kQ4TypeDint), frr = b.Var(kQ4TypeDint),
              size = b.Var(kQ4TypeDint), hostileSize = b.Var(kQ4TypeDint), arrIn = b.Array(kQ4TypeDint, 3);
    const u16 lv = b.Lreal(0.0);
    const u16 line1 = b.String(16), line2 = b.String(16);
    b.Retain(kQ4InitClsData8, ok[0], nb)
        .Retain(kQ4InitClsData16, iv, 1)
        .Retain(kQ4InitClsData32, fa1, 9)
        .Retain(kQ4InitClsData64, lv, 1)
        .Retain(kQ4InitClsString, line1, 2)
        .RetainSignature(0x25F1);
    // Inputs.
    const u16 h = b.Var(kQ4TypeDint), done = b.Var(kQ4TypeBool);
    const u16 v1 = b.Var(kQ4TypeDint, 0x01020304), v2 = b.Var(kQ4TypeDint, static_cast<u32>(-2));
    const u16 i16 = b.Var(kQ4TypeInt, 0x1234), l64 = b.Lreal(1.5), text = b.String(16, "text");
    const u16 alpha = b.String(16, "alpha"), beta = b.String(16, "beta"), arrOut = b.Array(kQ4TypeDint, 5);
    const u16 one = b.Var(kQ4TypeDint, 1), three = b.Var(kQ4TypeDint, 3), zero = b.Var(kQ4TypeDint, 0);
    const u16 fa = b.String(32, "fa.bin"), fb = b.String(32, "fb.bin"), fm = b.String(32, "/mnt/USB0/fm.txt"),
              fr = b.String(32, "fr.bin"), copy = b.String(32, "copy.bin"), moved = b.String(32, "sub/../moved.bin"),
              escape = b.String(32, "../../../escape.txt"), passwd = b.String(32, "../../etc/passwd");
    const u16 arrWords = 5;

    TicAssembler t;
    t.Op("JMPC", {done, L("end")});
    for (u16 k = 0; k < arrWords; ++k) t.Op("LDK_DINT", {static_cast<u16>(arrOut + k), 0, static_cast<u16>(10 + k)});
    Stf(t, kFWOpen, {h, fa});
    Stf(t, kFAWrite, {ok[0], h, v1});
    Stf(t, kFAWrite, {ok[1], h, v2});
    Stf(t, kFClose, {ok[2], h});
    Stf(t, kFWOpen, {h, fb});
    Stf(t, kFBWrite, {ok[3], kQ4TypeInt, h, i16});
    Stf(t, kFBWrite, {ok[4], kQ4TypeString, h, text});
    Stf(t, kFBWrite, {ok[5], kQ4TypeLreal, h, l64});
    Stf(t, kFClose, {ok[6], h});
    Stf(t, kFWOpen, {h, fm});
    Stf(t, kFMWrite, {ok[7], h, alpha});
    Stf(t, kFMWrite, {ok[8], h, beta});
    Stf(t, kFClose, {ok[9], h});
    Stf(t, kFWOpen, {h, fr});
    Stf(t, kFRWrite, {frw, kQ4TypeDint, h, arrOut, arrWords, one, three});
    Stf(t, kFClose, {ok[10], h});
    // Readers.
    Stf(t, kFROpen, {h, fa});
    Stf(t, kFARead, {fa1, h});
    Stf(t, kFARead, {fa2, h});
    Stf(t, kFEof, {ok[11], h});
    Stf(t, kFClose, {ok[2], h});
    Stf(t, kFROpen, {h, fb});
    Stf(t, kFBRead, {ok[12], kQ4TypeInt, h, iv});
    Stf(t, kFROpen, {h, fm});
    Stf(t, kFMRead, {line1, h});
    Stf(t, kFMRead, {line2, h});
    Stf(t, kFROpen, {h, fr});
    Stf(t, kFRRead, {frr, kQ4TypeDint, h, arrIn, 3, zero, three});
    // Whole files, hostile names.
    Stf(t, kFCopy, {ok[13], fa, copy});
    Stf(t, kFRename, {ok[14], copy, moved});
    Stf(t, kFGetSize, {size, moved});
    Stf(t, kFDelete, {ok[15], moved});
    Stf(t, kFExist, {ok[16], moved});
    Stf(t, kFWOpen, {h, escape});
    Stf(t, kFMWrite, {ok[17], h, alpha});
    Stf(t, kFGetSize, {hostileSize, passwd});
    t.Op("LDK_SINT", {done, 1}).Label("end").Op("END");
    (void)lv;
    b.Program(t.Finish());
    Install(b);

    struct stat passwdBefore {};
    ::stat("/etc/passwd", &passwdBefore);
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(root.Path("/escape.txt")); }, kStartMs)) << fw.Output();
    ASSERT_TRUE(WaitMainLoopPasses(3, kStartMs));
    PowerOff(fw);

    std::vector<u8> ret = Retained();
    ASSERT_EQ(ret.size(), 4u + nb + 2 + 9 * 4 + 8 + 2 * (16 + 3)) << fw.Output();
    EXPECT_EQ(GetLe32(ret.data()), 0x25F1u);
    const u8* d8 = ret.data() + 4;
    for (u16 k = 0; k < nb; ++k) EXPECT_EQ(d8[k], k == 16 ? 0 : 1) << "BOOL result " << k;
    EXPECT_EQ(GetLe16(d8 + nb), 0x1234);
    const u8* d32 = d8 + nb + 2;
    EXPECT_EQ(GetLe32(d32), 0x01020304u);
    EXPECT_EQ(static_cast<i32>(GetLe32(d32 + 4)), -2);
    EXPECT_EQ(GetLe32(d32 + 8), 3u);   // FR_WRITE count
    EXPECT_EQ(GetLe32(d32 + 12), 3u);  // FR_READ count
    EXPECT_EQ(GetLe32(d32 + 16), 8u);  // size of the copy
    EXPECT_EQ(GetLe32(d32 + 20), 0u);  // no passwd below the root
    EXPECT_EQ(GetLe32(d32 + 24), 11u);
    EXPECT_EQ(GetLe32(d32 + 32), 13u);
    const u8* str = d32 + 36 + 8;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(str + 2), str[1]), "alpha");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(str + 19 + 2), str[19 + 1]), "beta");

    // Python reads what the application wrote.
    const std::string py = Sh(
        "/usr/bin/python3 -c \"import struct,sys; r=sys.argv[1]\n"
        "a=struct.unpack('<ii', open(r+'/run/fa.bin','rb').read())\n"
        "b=open(r+'/run/fb.bin','rb').read(); i,=struct.unpack('<H',b[:2]); d,=struct.unpack('<d',b[6:])\n"
        "m=open(r+'/mnt/USB0/fm.txt').read()\n"
        "f=struct.unpack('<3i', open(r+'/run/fr.bin','rb').read())\n"
        "print(hex(a[0]),a[1],hex(i),b[2:6].decode(),d,repr(m),f)\" " +
        root.Dir());
    EXPECT_EQ(py, "0x1020304 -2 0x1234 text 1.5 'alpha\\nbeta\\n' (11, 12, 13)\n");
    EXPECT_FALSE(std::filesystem::exists(root.Path("/run/moved.bin")));
    EXPECT_FALSE(std::filesystem::exists(root.Path("/run/copy.bin")));
    EXPECT_FALSE(std::filesystem::exists(root.Dir() + "/../escape.txt"));
    struct stat passwdAfter {};
    ::stat("/etc/passwd", &passwdAfter);
    EXPECT_EQ(passwdAfter.st_mtime, passwdBefore.st_mtime);
    (void)arrIn;
}

// The application serves TCP peers (a Python client whose data begins "ZJ",
// then socat after the first has closed), is itself the client of a Python
// server, sees a refused connection freed, and echoes UDP datagrams to their
// sender; an ADDR array of 8 elements is refused with the trace line.
TEST_F(IecFilesSockets, TcpAndUdpWithPeers) {
    const int off = NetFreePortOffset(7000, 4);
    const u16 kListen = 7000, kServer = 7001, kRefused = 7002, kUdp = 7003;

    IecImageBuilder b;
    const u16 inited = b.Var(kQ4TypeBool), valid = b.Var(kQ4TypeBool), conn = b.Var(kQ4TypeBool), x = b.Var(kQ4TypeBool),
              refusedValid = b.Var(kQ4TypeBool, 1), sent = b.Var(kQ4TypeBool), shortOk = b.Var(kQ4TypeBool, 1);
    const u16 l = b.Var(kQ4TypeDint), s = b.Var(kQ4TypeDint, static_cast<u32>(-1)), c = b.Var(kQ4TypeDint),
              c2 = b.Var(kQ4TypeDint), u = b.Var(kQ4TypeDint), n = b.Var(kQ4TypeDint), n2 = b.Var(kQ4TypeDint),
              n3 = b.Var(kQ4TypeDint), n4 = b.Var(kQ4TypeDint), un = b.Var(kQ4TypeDint), echoed = b.Var(kQ4TypeDint);
    const u16 nb = b.Var(kQ4TypeDint, 64), pListen = b.Var(kQ4TypeDint, kListen), pServer = b.Var(kQ4TypeDint, kServer),
              pRefused = b.Var(kQ4TypeDint, kRefused), pUdp = b.Var(kQ4TypeDint, kUdp), backlog = b.Var(kQ4TypeDint, 2);
    const u16 ip = b.String(16, "127.0.0.1"), buf = b.String(64), buf2 = b.String(64), ubuf = b.String(64);
    const u16 addr = b.Array(kQ4TypeUsint, 16), addr8 = b.Array(kQ4TypeUsint, 8);
    b.Retain(kQ4InitClsData8, refusedValid, 3).Retain(kQ4InitClsData32, echoed, 1).RetainSignature(0x25F2);
    // Only bytes that went out count: a send on a connection the peer has
    // closed answers an error code for every cycle until it is freed.
    const u16 wentOut = b.Var(kQ4TypeBool), zero = b.Var(kQ4TypeDint, 0);

    TicAssembler t;
    t.Op("JMPC", {inited, L("loop")});
    Stf(t, kTcpListen, {l, pListen, backlog});
    Stf(t, kUdpCreate, {u, pUdp});
    Stf(t, kTcpConnect, {c, ip, pServer});
    Stf(t, kTcpConnect, {c2, ip, pRefused});
    Stf(t, kUdpSendTo, {shortOk, u, nb, addr8, 8, ubuf});
    t.Op("LDK_SINT", {inited, 1}).Label("loop");
    Stf(t, kTcpIsValid, {valid, s});
    t.Op("JMPC", {valid, L("have")});
    Stf(t, kTcpAccept, {s, l});
    t.Label("have");
    Stf(t, kTcpReceive, {n, s, nb, buf});
    Stf(t, kTcpSend, {n2, s, n, buf});
    t.Op("GT_DINT", {wentOut, n2, zero});
    t.Op("JMPCN", {wentOut, L("counted")});
    t.Op("ADD_DINT", {echoed, echoed, n2});
    t.Label("counted");
    Stf(t, kTcpIsConnected, {conn, c});
    Stf(t, kTcpReceive, {n3, c, nb, buf2});
    Stf(t, kTcpSend, {n4, c, n3, buf2});
    Stf(t, kTcpIsConnected, {x, c2});
    Stf(t, kTcpIsValid, {refusedValid, c2});
    Stf(t, kUdpRcvFrom, {un, u, nb, addr, 16, ubuf});
    Stf(t, kUdpSendTo, {sent, u, un, addr, 16, ubuf});
    t.Op("END");
    b.Program(t.Finish());
    Install(b);

    const std::string py = "/usr/bin/python3";
    // The server the application connects to: it sends a line and expects it back.
    FILE* server = ::popen((py + " -c \"import socket\n"
                                 "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                                 "s.bind(('127.0.0.1'," + std::to_string(kServer + off) + ")); s.listen(1); s.settimeout(60)\n"
                                 "c,_=s.accept(); c.settimeout(60); c.sendall(b'ping from server')\n"
                                 "d=b''\n"
                                 "while len(d)<16: d+=c.recv(64)\n"
                                 "print(d.decode())\"")
                               .c_str(),
                           "r");
    ASSERT_NE(server, nullptr);
    // Give the server its port before the application connects.
    ASSERT_TRUE(WaitUntil([&] { return Sh("ss -ltn | grep -q ':" + std::to_string(kServer + off) + " '") != "<failed>"; },
                          kStartMs));

    FirmwareProcess fw;
    fw.SetEnv("PLC_PORT_OFFSET", std::to_string(off));
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    ASSERT_TRUE(fw.WaitForOutput("UDP address must be USINT[16]", kStartMs)) << fw.Output();

    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, server), nullptr);
    EXPECT_STREQ(line, "ping from server\n");
    ::pclose(server);

    const std::string port = std::to_string(kListen + off);
    EXPECT_EQ(Sh(py + " -c \"import socket\n"
                       "c=socket.create_connection(('127.0.0.1'," + port + "),timeout=60)\n"
                       "c.sendall(b'ZJ not the link')\n"
                       "d=b''\n"
                       "while len(d)<15: d+=c.recv(64)\n"
                       "print(d.decode()); c.close()\""),
              "ZJ not the link\n");
    // The application freed the closed connection and accepts the next peer.
    EXPECT_EQ(Sh("printf 'second peer' | socat -t 30 - TCP:127.0.0.1:" + port), "second peer");

    EXPECT_EQ(Sh(py + " -c \"import socket\n"
                       "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(60)\n"
                       "u.sendto(b'datagram',('127.0.0.1'," + std::to_string(kUdp + off) + "))\n"
                       "print(u.recvfrom(64)[0].decode())\""),
              "datagram\n");
    PowerOff(fw);

    std::vector<u8> ret = Retained();
    ASSERT_EQ(ret.size(), 4u + 3 + 4);
    EXPECT_EQ(ret[4], 0) << "the refused connection is still in the list";
    EXPECT_EQ(ret[6], 0) << "an 8-byte ADDR was accepted";
    EXPECT_EQ(GetLe32(&ret[7]), 15u + 11u);
}

}  // namespace
