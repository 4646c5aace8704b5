// The CSV log block over the drive-letter file API, read back by Python's
// csv module; the serial-port blocks over a borrowed descriptor.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "fb_fixture.h"
#include "iec/ext/q4csser.h"
#include "iec/kernel/q4fbcsv.h"
#include "iec/kernel/q4fbserio.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmstr.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "testsupport/fw_media.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

class CsvLog : public ::testing::Test {
protected:
    void SetUp() override {
        Fx_Reset();
        CF_Reset();
        Fx_InsertMedium(0);
    }
    void TearDown() override {
        Fx_Reset();
        CF_Reset();
    }
    // The rows of a file as Python's csv module reads them with the
    // delimiter, printed by repr().
    std::string PythonRows(const std::string& fw, char delimiter) {
        int status = -1;
        std::string out = Shell(std::string("/usr/bin/python3 -c \"import csv,sys; print(repr(list(csv.reader(open(sys.argv[1], "
                                            "newline=''), delimiter='") +
                                    delimiter + "'))))\" '" + Root_HostPath(fw) + "'",
                                &status);
        EXPECT_EQ(status, 0) << out;
        return out;
    }
    // An edge on an input of LOG, RST, LIST, PATH -> Q, ERR; the outputs of
    // the execution that saw it are kept (the input falls at a second one,
    // whose outputs are undone).
    void Edge(FbDb& f, u8* inst, u16 input) {
        f.SetB(input, false);
        f.Exec(Q4Stfb_LogFileCsv, inst, ops_);
        f.SetB(input, true);
        f.Exec(Q4Stfb_LogFileCsv, inst, ops_);
    }
    std::vector<u16> ops_;
    TempRoot root_;
};

TEST_F(CsvLog, LinesReadBackWithQuotingAndDecimalMark) {
    IecImageBuilder b;
    u16 flag = b.Var(kQ4TypeBool, 1), real = b.Real(1.5f), text = b.String(20, "ab");
    u16 neg = b.Var(kQ4TypeDint, static_cast<u32>(-7)), big = b.Var(kQ4TypeUdint, 4000000000u);
    u16 sint = b.Var(kQ4TypeSint, 0xFE), uint = b.Var(kQ4TypeUint, 65535), lint = b.Var(kQ4TypeLint, static_cast<u64>(-5));
    u16 ulint = b.Var(kQ4TypeUlint, 18446744073709551615ull), tm = b.Var(kQ4TypeTime, 3600000);
    u16 quoted = b.String(20, "say \"hi\"; ok"), lreal = b.Lreal(-0.25);
    b.VarList({{kQ4TypeBool, flag}, {kQ4TypeReal, real}, {kQ4TypeString, text}});
    b.VarList({{kQ4TypeDint, neg}, {kQ4TypeUdint, big}, {kQ4TypeSint, sint}, {kQ4TypeUint, uint}, {kQ4TypeLint, lint},
               {kQ4TypeUlint, ulint}, {kQ4TypeTime, tm}, {kQ4TypeString, quoted}, {kQ4TypeLreal, lreal}});
    b.VarList({});
    u16 path = b.String(40, "A:\\LOG.CSV");
    FbDb f(b);
    ops_ = {f.B(0), f.B(1), f.D(0), path, f.B(2), f.D(1)};
    std::array<u8, 8> inst{};
    f.SetD(f.D(0), 0);
    Edge(f, inst.data(), f.B(0));
    EXPECT_TRUE(f.GetB(f.B(2)));
    EXPECT_EQ(f.GetD(f.D(1)), 0);
    EXPECT_EQ(FwGet("/mnt/USB0/LOG.CSV"), "\"1\";\"1.5\";\"ab\"\n");
    f.Exec(Q4Stfb_LogFileCsv, inst.data(), ops_);  // no edge: nothing written, Q back to 0
    EXPECT_FALSE(f.GetB(f.B(2)));
    f.SetD(f.D(0), 1);
    Edge(f, inst.data(), f.B(0));
    f.SetD(f.D(0), 2);
    Edge(f, inst.data(), f.B(0));  // an empty list writes an empty line
    EXPECT_EQ(PythonRows("/mnt/USB0/LOG.CSV", ';'),
              "[['1', '1.5', 'ab'], ['-7', '4000000000', '-2', '65535', '-5', '18446744073709551615', '3600000', "
              "'say \"hi\"; ok', '-0.25'], []]\n");

    // The CSV options: separator and decimal mark.
    f.Vm().Status()[kQ4StSeparators] = ',';
    f.Vm().Status()[kQ4StSeparators + 1] = ',';
    Edge(f, inst.data(), f.B(1));  // RST empties the file
    EXPECT_TRUE(f.GetB(f.B(2)));
    EXPECT_EQ(FwGet("/mnt/USB0/LOG.CSV"), "");
    f.SetD(f.D(0), 0);
    Edge(f, inst.data(), f.B(0));
    EXPECT_EQ(PythonRows("/mnt/USB0/LOG.CSV", ','), "[['1', '1,5', 'ab']]\n");
}

TEST_F(CsvLog, Errors) {
    IecImageBuilder b;
    u16 v = b.Var(kQ4TypeDint, 3);
    b.VarList({{kQ4TypeDint, v}, {kQ4TypeDint, 0xFFF0}});       // an index outside its table
    b.VarList({{kQ4TypeDint, v}, {kQ4TypeComplex, v}});         // a type that cannot be written
    b.VarList({{kQ4TypeDint, v}, {kQ4TypeDint, v, 0x7FFFFFF0}});  // a CT offset without a segment
    std::vector<u8> lying(8, 0);
    PutLe16(lying.data(), 5000);  // more entries than the image holds
    b.VarListBytes(lying);
    u16 path = b.String(40, "A:\\E.CSV"), nodir = b.String(40, "A:\\NO\\SUCH\\E.CSV");
    FbDb f(b);
    std::array<u8, 8> inst{};
    ops_ = {f.B(0), f.B(1), f.D(0), path, f.B(2), f.D(1)};
    struct Case {
        i32 list;
        i32 err;
    } cases[] = {{0, 5}, {1, 5}, {2, 5}, {4, 4}, {-1, 4}, {3, 5}};
    for (const Case& c : cases) {
        f.SetD(f.D(0), c.list);
        Edge(f, inst.data(), f.B(0));
        EXPECT_FALSE(f.GetB(f.B(2))) << c.list;
        EXPECT_EQ(f.GetD(f.D(1)), c.err) << c.list;
        // What came before a bad entry stays in the file.
        if (c.list == 2) {
            EXPECT_EQ(FwGet("/mnt/USB0/E.CSV"), "\"3\"\"3\"\"3\"");
        }
    }
    ops_[3] = nodir;
    Edge(f, inst.data(), f.B(0));
    EXPECT_EQ(f.GetD(f.D(1)), 2);
    Edge(f, inst.data(), f.B(1));
    EXPECT_EQ(f.GetD(f.D(1)), 1);

    // An image without variable lists.
    IecImageBuilder none;
    u16 p2 = none.String(40, "A:\\N.CSV");
    FbDb g(none);
    ops_ = {g.B(0), g.B(1), g.D(0), p2, g.B(2), g.D(1)};
    inst = {};
    Edge(g, inst.data(), g.B(0));
    EXPECT_EQ(g.GetD(g.D(1)), 3);
}

// The serial blocks over a socket pair that stands for the lent port.
struct Lender {
    static int fd;
    static int Descriptor(int which) { return which == kQ4PortMJ1 ? fd : -1; }
    static u32 Host() { return 0; }
    static void HandBack(int) {}
};
int Lender::fd = -1;

class SerialBlocks : public ::testing::Test {
protected:
    void SetUp() override {
        Q4Link_Reset();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        Lender::fd = -1;  // no port to lend at first
        q4LinkPeers.descriptor = Lender::Descriptor;
        q4LinkPeers.hostCode = Lender::Host;
        q4LinkPeers.handBack = Lender::HandBack;
        SR_Put(163, 0);
        new_serial_packet = 0;
    }
    void TearDown() override {
        ::close(pair_[0]);
        ::close(pair_[1]);
        Q4Link_Reset();
        Wiring_Connect();
    }
    std::string Peer() {
        char b[256];
        ssize_t n = ::recv(pair_[1], b, sizeof b, MSG_DONTWAIT);
        return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string();
    }
    int pair_[2];
};

TEST_F(SerialBlocks, StringsOpenWhenAPortIsLent) {
    IecImageBuilder b;
    u16 conf = b.String(20, "9600,N,8,1"), out = b.String(10, "hello"), in = b.String(4);
    FbDb f(b);
    std::array<u8, 4> inst{};
    f.Cmd(Q4Stfb_Serio, inst.data(), kFbInstanceInit);
    // RUN, SND, CONF, DATASND -> OPEN, RCV, SENDRES, DATARCV.
    std::vector<u16> ops{f.B(0), f.B(1), conf, out, f.B(2), f.B(3), f.B(4), in};
    f.SetB(f.B(0), true);
    f.SetB(f.B(1), true);
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));  // no port lent: not open, tried again next time
    Lender::fd = pair_[0];
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    EXPECT_TRUE(f.GetB(f.B(2)));
    f.Exec(Q4Stfb_Serio, inst.data(), ops);  // SND held: sent at every execution
    EXPECT_EQ(Peer(), "hellohello");
    ASSERT_EQ(::write(pair_[1], "abcdefg", 7), 7);
    f.SetB(f.B(1), false);
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    EXPECT_TRUE(f.GetB(f.B(3)));
    const u8* s = Q4Tools_String(f.Db(), in);
    EXPECT_EQ(std::string(Q4Str_GetText(s), Q4Str_GetLength(s)), "abcd");  // up to its capacity
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    s = Q4Tools_String(f.Db(), in);
    EXPECT_EQ(std::string(Q4Str_GetText(s), Q4Str_GetLength(s)), "efg");
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(3)));
    EXPECT_TRUE(Q4Str_IsEmpty(Q4Tools_String(f.Db(), in)));
    f.SetB(f.B(0), false);
    f.Exec(Q4Stfb_Serio, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));
    EXPECT_EQ(static_cast<i32>(GetLe32(inst.data())), -1);
}

TEST_F(SerialBlocks, ByteArraysWithCheckedWindows) {
    IecImageBuilder b;
    u16 conf = b.String(20, "");
    u16 tx = b.Array(kQ4TypeUsint, 8), rx = b.Array(kQ4TypeUsint, 8);
    FbDb f(b);
    for (u16 k = 0; k < 8; ++k) *f.Vm().Data8(tx + k) = static_cast<u8>('A' + k);
    Lender::fd = pair_[0];
    std::array<u8, 4> inst{};
    f.Cmd(Q4Stfb_SerioB, inst.data(), kFbInstanceInit);
    // RUN, CONF, TXBUF, TXSIZE, TXPOS, TXCOUNT, RXBUF, RXSIZE, RXPOS, RXMAX -> OPEN, NBSENT, NBRCV.
    std::vector<u16> ops{f.B(0), conf, tx, 8, f.D(0), f.D(1), rx, 8, f.D(2), f.D(3), f.B(1), f.D(4), f.D(5)};
    f.SetB(f.B(0), true);
    struct Case {
        i32 txPos, txCount;
        const char* sent;
        i32 rxPos, rxMax;
        i32 received;
    } cases[] = {
        {2, 3, "CDE", 1, 4, 4},       {0, 8, "ABCDEFGH", 0, 8, 4},  {7, 2, "", 8, 1, 0},
        {-1, 2, "", -2, 3, 0},        {2, -3, "", 2, -1, 0},        {INT32_MAX, 2, "", INT32_MAX, 4, 0},
        {1, INT32_MAX, "", 1, INT32_MAX, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(::write(pair_[1], "wxyz", 4), 4);
        f.SetD(f.D(0), c.txPos);
        f.SetD(f.D(1), c.txCount);
        f.SetD(f.D(2), c.rxPos);
        f.SetD(f.D(3), c.rxMax);
        for (u16 k = 0; k < 8; ++k) *f.Vm().Data8(rx + k) = '.';
        f.Exec(Q4Stfb_SerioB, inst.data(), ops);
        EXPECT_TRUE(f.GetB(f.B(1)));
        EXPECT_EQ(Peer(), c.sent) << c.txPos;
        EXPECT_EQ(f.GetD(f.D(4)), static_cast<i32>(std::string(c.sent).size())) << c.txPos;
        EXPECT_EQ(f.GetD(f.D(5)), c.received) << c.rxPos;
        std::string got;
        for (u16 k = 0; k < 8; ++k) got += static_cast<char>(*f.Vm().Data8(rx + k));
        std::string want(8, '.');
        if (c.received) want.replace(static_cast<size_t>(c.rxPos), 4, "wxyz");
        EXPECT_EQ(got, want) << c.rxPos;
        char drain[16];
        while (::recv(pair_[0], drain, sizeof drain, MSG_DONTWAIT) > 0) {}
    }
    f.Cmd(Q4Stfb_SerioB, inst.data(), kFbInstanceEnd);
    EXPECT_EQ(static_cast<i32>(GetLe32(inst.data())), -1);
}

}  // namespace
