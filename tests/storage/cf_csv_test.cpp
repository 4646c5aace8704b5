#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage_fixture.h"

namespace {

class CsvTest : public StorageTest {
protected:
    CfTransferRequest Write(const char* name, u32 type, const void* data, u32 count, u32 perLine = 0,
                            u32 openMode = 2, bool eol = true) {
        CfTransferRequest rq{};
        rq.format = 1;
        rq.name = name;
        rq.data = const_cast<void*>(data);
        rq.type = type;
        rq.count = count;
        rq.countDone = &done_;
        rq.position = static_cast<i32>(perLine);
        rq.openMode = openMode;
        rq.word8 = eol ? 1 : 0;
        return rq;
    }
    CfTransferRequest Read(const char* name, u32 type, void* dest, u32 count, i32 position, u32 destBytes) {
        CfTransferRequest rq{};
        rq.format = 1;
        rq.name = name;
        rq.data = dest;
        rq.type = type;
        rq.count = count;
        rq.countDone = &done_;
        rq.position = position;
        rq.dataBytes = destBytes;
        return rq;
    }
    // The rows as Python's csv module reads them, printed by repr().
    std::string PythonRows(const std::string& fw) {
        std::string cmd = "/usr/bin/python3 -c \"import csv,sys; print(repr(list(csv.reader(open(sys.argv[1], "
                          "newline='')))))\" '" +
                          Root_HostPath(fw) + "'";
        return Run(cmd);
    }
    void PythonWrite(const std::string& fw, const std::string& rowsLiteral) {
        std::string h = Root_HostPath(fw);
        std::string cmd = "/usr/bin/python3 -c \"import csv,sys; csv.writer(open(sys.argv[1], 'w', "
                          "newline='')).writerows(" +
                          rowsLiteral + ")\" '" + h + "'";
        Run(cmd);
    }
    static std::string Run(const std::string& cmd) {
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return "<popen failed>";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    u32 done_ = 0;
};

}  // namespace

TEST_F(CsvTest, ValuesPerLineAndLineEnd) {
    i16 v[3] = {1, -2, 3};
    auto rq = Write("A:\\T.CSV", 5, v, 3, 2);
    ASSERT_EQ(CF_WriteFile(0, &rq), kCfOk);
    EXPECT_EQ(done_, 3u);
    EXPECT_EQ(Get("/mnt/USB0/T.CSV"), "1,-2\r\n3\r\n");
    EXPECT_EQ(PythonRows("/mnt/USB0/T.CSV"), "[['1', '-2'], ['3']]");

    // Without the line end a following request continues the line.
    i16 w[2] = {4, 5};
    auto more = Write("A:\\T2.CSV", 5, w, 2, 0, 2, false);
    ASSERT_EQ(CF_WriteFile(0, &more), kCfOk);
    ASSERT_EQ(CF_WriteFile(0, &more), kCfOk);
    EXPECT_EQ(Get("/mnt/USB0/T2.CSV"), "4,5,4,5,");
}

TEST_F(CsvTest, EveryElementTypeRoundTripsAndPythonAgrees) {
    struct Case {
        u32 type;
        std::vector<u8> bytes;  // source values in memory
        u32 count;
        const char* pythonRows;
    };
    auto le16 = [](std::initializer_list<u16> v) {
        std::vector<u8> b;
        for (u16 x : v) b.insert(b.end(), {static_cast<u8>(x), static_cast<u8>(x >> 8)});
        return b;
    };
    auto le32 = [](std::initializer_list<u32> v) {
        std::vector<u8> b;
        for (u32 x : v)
            b.insert(b.end(), {static_cast<u8>(x), static_cast<u8>(x >> 8), static_cast<u8>(x >> 16),
                               static_cast<u8>(x >> 24)});
        return b;
    };
    float f[3] = {1.5f, -0.25f, 1e10f};
    std::vector<u8> fb(reinterpret_cast<u8*>(f), reinterpret_cast<u8*>(f) + sizeof f);
    Case cases[] = {
        {1, le16({0x8001, 0x00FF}), 2, "[['1000000000000001', '0000000011111111']]"},
        {3, le32({0x80000000u, 0xFFFFFFFFu, 7}), 3, "[['-2147483648', '-1', '7']]"},
        {4, le16({0xBEEF, 0x0001}), 2, "[['BEEF', '1']]"},
        {5, le16({0x8000, 0x7FFF, 0xFFFF}), 3, "[['-32768', '32767', '-1']]"},
        {6, fb, 3, "[['1.5', '-0.25', '1e+10']]"},
        {7, le32({0xFFFFFFFFu, 0}), 2, "[['4294967295', '0']]"},
        {8, le16({65535, 0, 42}), 3, "[['65535', '0', '42']]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        std::string name = "B:\\TYPES\\T" + std::to_string(c.type) + ".CSV";
        auto rq = Write(name.c_str(), c.type, c.bytes.data(), c.count);
        ASSERT_EQ(CF_WriteFile(1, &rq), kCfOk);
        EXPECT_EQ(done_, c.count);
        std::string fw = "/mnt/USB1/TYPES/T" + std::to_string(c.type) + ".CSV";
        EXPECT_EQ(PythonRows(fw), c.pythonRows);
        std::vector<u8> back(c.bytes.size() + 4, 0xAA);
        auto rd = Read(name.c_str(), c.type, back.data(), c.count, 0, static_cast<u32>(c.bytes.size()));
        ASSERT_EQ(CF_ReadFile(1, &rd), kCfOk);
        EXPECT_EQ(done_, c.count);
        EXPECT_EQ(std::vector<u8>(back.begin(), back.begin() + c.bytes.size()), c.bytes);
        EXPECT_EQ(back[c.bytes.size()], 0xAA);
    }
}

TEST_F(CsvTest, BitsAreTakenFromBytesAndPackedSixteenToAWord) {
    u8 src[3] = {0x05, 0x80, 0x01};  // bits 0, 2, 15, 16
    auto rq = Write("A:\\BITS.CSV", 2, src, 17, 0);
    ASSERT_EQ(CF_WriteFile(0, &rq), kCfOk);
    EXPECT_EQ(Get("/mnt/USB0/BITS.CSV"), "1,0,1,0,0,0,0,0,0,0,0,0,0,0,0,1,1\r\n");
    u16 words[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    auto rd = Read("A:\\BITS.CSV", 2, words, 17, 0, 4);
    ASSERT_EQ(CF_ReadFile(0, &rd), kCfOk);
    EXPECT_EQ(words[0], 0x8005);
    EXPECT_EQ(words[1], 0x0001);
    EXPECT_EQ(words[2], 0xFFFF);  // past the destination: untouched
}

TEST_F(CsvTest, TextIsQuotedWhenNeededAndReadBackBounded) {
    struct Case {
        const char* text;
        const char* python;
    } cases[] = {
        {"plain", "[['plain']]"},
        {"a,b", "[['a,b']]"},
        {"say \"hi\", ok", "[['say \"hi\", ok']]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Put("/mnt/USB0/TXT.CSV", "");
        auto rq = Write("A:\\TXT.CSV", 0, c.text, static_cast<u32>(std::strlen(c.text)), 0, 3);
        ASSERT_EQ(CF_WriteFile(0, &rq), kCfOk);
        EXPECT_EQ(done_, std::strlen(c.text));
        EXPECT_EQ(PythonRows("/mnt/USB0/TXT.CSV"), c.python);
        char back[64];
        std::memset(back, 0x7E, sizeof back);
        auto rd = Read("A:\\TXT.CSV", 0, back, 126, 0, sizeof back);
        ASSERT_EQ(CF_ReadFile(0, &rd), kCfOk);
        EXPECT_STREQ(back, c.text);
    }
    // A long field fills only the destination it was given.
    Put("/mnt/USB0/LONG.CSV", "HELLOWORLD\r\n");
    char dest[8];
    std::memset(dest, 0x7E, sizeof dest);
    auto rd = Read("A:\\LONG.CSV", 0, dest, 5, 0, 5);
    ASSERT_EQ(CF_ReadFile(0, &rd), kCfOk);
    EXPECT_EQ(done_, 5u);
    EXPECT_EQ(std::string(dest, 5), "HELLO");
    EXPECT_EQ(dest[5], 0x7E);
    auto tooMany = Read("A:\\LONG.CSV", 0, dest, 127, 0, 0);
    EXPECT_EQ(CF_ReadFile(0, &tooMany), kCfInvalid);
}

TEST_F(CsvTest, OpenModesAndRequestChecks) {
    i32 v = 5;
    Put("/mnt/USB0/EXIST.CSV", "9\r\n");
    struct Case {
        const char* name;
        u32 mode;
        i16 status;
        const char* content;  // of EXIST.CSV afterwards
    } cases[] = {
        {"A:\\EXIST.CSV", 0, kCfExists, "9\r\n"},
        {"A:\\MISSING.CSV", 1, kCfNotFound, "9\r\n"},
        {"A:\\EXIST.CSV", 1, kCfOk, "9\r\n5\r\n"},
        {"A:\\EXIST.CSV", 3, kCfOk, "5\r\n"},
        {"A:\\EXIST.CSV", 4, kCfInvalid, "5\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rq = Write(c.name, 3, &v, 1, 0, c.mode);
        EXPECT_EQ(CF_WriteFile(0, &rq), c.status);
        EXPECT_EQ(Get("/mnt/USB0/EXIST.CSV"), c.content);
    }
    auto badType = Write("A:\\X.CSV", 9, &v, 1);
    EXPECT_EQ(CF_WriteFile(0, &badType), kCfInvalid);
    auto zero = Write("A:\\X.CSV", 3, &v, 0);
    EXPECT_EQ(CF_WriteFile(0, &zero), kCfInvalid);
    auto noName = Write("A:\\DIR\\", 3, &v, 1);
    EXPECT_EQ(CF_WriteFile(0, &noName), kCfInvalid);
    Put("/mnt/USB0/ADIR/x", "");
    auto dir = Write("A:\\ADIR", 3, &v, 1);
    EXPECT_EQ(CF_WriteFile(0, &dir), kCfNotEmpty);
    // Missing folders are made on the way.
    auto deep = Write("A:\\NEW\\SUB\\V.CSV", 3, &v, 1);
    EXPECT_EQ(CF_WriteFile(0, &deep), kCfOk);
    EXPECT_EQ(Get("/mnt/USB0/NEW/SUB/V.CSV"), "5\r\n");
    // No card: the drive status is answered.
    Fx_RemoveMedium(0);
    auto gone = Write("A:\\GONE.CSV", 3, &v, 1);
    EXPECT_EQ(CF_WriteFile(0, &gone), kCfNoMedium);
}

TEST_F(CsvTest, ReadsFilesWrittenByPython) {
    PythonWrite("/mnt/USB0/PY.CSV", "[['x,1', '2', ' 3'], ['4'], ['5', '6']]");
    EXPECT_EQ(Get("/mnt/USB0/PY.CSV"), "\"x,1\",2, 3\r\n4\r\n5,6\r\n");
    char text[16] = {};
    auto t = Read("A:\\PY.CSV", 0, text, 16, 0, sizeof text);
    ASSERT_EQ(CF_ReadFile(0, &t), kCfOk);
    EXPECT_STREQ(text, "x,1");
    i16 vals[8] = {};
    // Position 2 skips two fields ("x,1" is one field only for text reads:
    // numbers count every comma), so skip by the raw commas.
    auto n = Read("A:\\PY.CSV", 5, vals, 5, 2, sizeof vals);
    ASSERT_EQ(CF_ReadFile(0, &n), kCfOk);
    EXPECT_EQ(std::vector<i16>(vals, vals + 5), (std::vector<i16>{2, 3, 4, 5, 6}));
    // Past the end: -1 with the values that arrived.
    auto past = Read("A:\\PY.CSV", 5, vals, 8, 2, sizeof vals);
    EXPECT_EQ(CF_ReadFile(0, &past), kCfEndOfFile);
    EXPECT_EQ(done_, 5u);
    u32 rows = 0;
    auto count = Read("A:\\PY.CSV", 7, &rows, 1, -1, 4);
    ASSERT_EQ(CF_ReadFile(0, &count), kCfOk);
    EXPECT_EQ(rows, 3u);
    EXPECT_EQ(done_, 1u);
    auto missing = Read("A:\\NONE.CSV", 5, vals, 1, 0, sizeof vals);
    EXPECT_EQ(CF_ReadFile(0, &missing), kCfNotFound);
}

TEST_F(CsvTest, ByColumnSamplesRowsAndClearsOnlyItsDestination) {
    std::string rows;
    for (int r = 0; r <= 10; ++r) rows += "R" + std::to_string(r) + "," + std::to_string(r * 10) + ",x\r\n";
    PythonWrite("/mnt/USB0/COL.CSV", "[['R%d' % r, r * 10, 'x'] for r in range(11)]");
    EXPECT_EQ(Get("/mnt/USB0/COL.CSV"), rows);

    auto byColumn = [](u32 first, u32 last) { return static_cast<i32>(0x80000000u | (last << 16) | first); };
    u16 out[8] = {};
    auto rq = Read("A:\\COL.CSV", 8, out, (5u << 16) | 1, byColumn(0, 10), sizeof out);
    ASSERT_EQ(CF_ReadFile(0, &rq), kCfOk);
    EXPECT_EQ(done_, 5u);
    EXPECT_EQ(std::vector<u16>(out, out + 5), (std::vector<u16>{0, 20, 50, 70, 100}));

    // Fewer rows than points: the destination is cleared, never past its end.
    struct {
        u16 dest[4];
        u16 canary[4];
    } area;
    std::fill(std::begin(area.dest), std::end(area.dest), 0x5555);
    std::fill(std::begin(area.canary), std::end(area.canary), 0x5555);
    auto few = Read("A:\\COL.CSV", 8, area.dest, 1, byColumn(2, 5), sizeof area.dest);
    ASSERT_EQ(CF_ReadFile(0, &few), kCfOk);
    EXPECT_EQ(done_, 3u);  // points become last - first
    EXPECT_EQ(area.dest[0], 20);
    EXPECT_EQ(area.dest[3], 0);
    EXPECT_EQ(area.canary[0], 0x5555);
    auto same = Read("A:\\COL.CSV", 8, area.dest, 1, byColumn(4, 4), sizeof area.dest);
    EXPECT_EQ(CF_ReadFile(0, &same), kCfOk);
    EXPECT_EQ(done_, 0u);
    EXPECT_EQ(area.canary[0], 0x5555);
    auto reversed = Read("A:\\COL.CSV", 8, area.dest, 1, byColumn(5, 4), sizeof area.dest);
    EXPECT_EQ(CF_ReadFile(0, &reversed), kCfInvalid);
    // A column past the end of its row ends the request.
    auto wide = Read("A:\\COL.CSV", 8, out, (2u << 16) | 7, byColumn(0, 10), sizeof out);
    EXPECT_EQ(CF_ReadFile(0, &wide), kCfOk);
    EXPECT_EQ(done_, 0u);
}

TEST_F(CsvTest, MixedRecordsWithHeaderRoundTrip) {
    // Record: text[6], i16[11], 20 bits, i8, float, u32.
    const char names[] = "NAME,VAL,FLAG,SMALL,REAL,BIG,";
    struct Desc {
        u16 lo;
        i16 hi;
        u8 len, type;
        u16 count;
    } desc[] = {{0, 0, 5, 0, 6}, {5, 0, 4, 5, 11}, {9, 0, 5, 2, 20}, {14, 0, 6, 10, 1}, {20, 0, 5, 6, 1},
                {25, 0, 4, 7, 1}};
    static_assert(sizeof(Desc) == 8);
    u8 rec[64] = {};
    u32 off = 0;
    std::memcpy(rec, "ab,c\0\0", 6);
    off = 6;
    for (i16 i = 0; i < 11; ++i) {
        i16 v = static_cast<i16>(i * 100 - 300);
        std::memcpy(rec + off, &v, 2);
        off += 2;
    }
    u16 bits[2] = {0xA5A5, 0x000F};
    std::memcpy(rec + off, bits, 4);
    off += 4;
    rec[off] = static_cast<u8>(-7);
    off += 2;  // next field on an even address
    float f = 2.5f;
    std::memcpy(rec + off, &f, 4);
    off += 4;
    u32 big = 4000000000u;
    std::memcpy(rec + off, &big, 4);
    off += 4;

    CfTransferRequest rq{};
    rq.format = 1;
    rq.name = "A:\\REC.CSV";
    rq.data = rec;
    rq.type = 0;
    rq.count = 1;
    rq.countDone = &done_;
    rq.openMode = 2;
    rq.word8 = 1;
    rq.word9 = (1u << 16) | kCfMixedWrite;
    rq.word10 = 6;
    rq.columnNames = names;
    rq.columnNamesBytes = sizeof names - 1;
    rq.columnDesc = reinterpret_cast<const u8*>(desc);
    rq.dataBytes = off;
    ASSERT_EQ(CF_WriteFile(0, &rq), kCfOk);
    EXPECT_EQ(done_, 1u + 11 + 20 + 3);
    std::string py = PythonRows("/mnt/USB0/REC.CSV");
    EXPECT_NE(py.find("'VAL[9]', 'VAL[10]', 'FLAG[0]'"), std::string::npos) << py;
    EXPECT_NE(py.find("['ab,c', '-300', '-200'"), std::string::npos) << py;
    // A second record appends without a header.
    ASSERT_EQ(CF_WriteFile(0, &rq), kCfOk);

    u8 table[6][4] = {{0, 0, 6, 0}, {0, 5, 11, 0}, {0, 2, 20, 0}, {0, 10, 1, 0}, {0, 6, 1, 0}, {0, 7, 1, 0}};
    u32 headerFields = 1 + 11 + 20 + 3;
    for (u32 record = 0; record < 2; ++record) {
        u8 back[64];
        std::memset(back, 0, sizeof back);
        CfTransferRequest rd{};
        rd.name = "A:\\REC.CSV";
        rd.data = back;
        rd.count = headerFields;
        rd.countDone = &done_;
        rd.position = static_cast<i32>(headerFields * (record + 1));
        rd.word8 = (off << 16) | kCfMixedRead;
        rd.mixedTable = &table[0][0];
        ASSERT_EQ(CF_ReadFile(0, &rd), kCfOk);
        EXPECT_EQ(done_, headerFields);
        EXPECT_EQ(std::vector<u8>(back, back + off), std::vector<u8>(rec, rec + off));
    }
    // A table that ends before the values asked for is refused, never read
    // past its end.
    u8 empty[2][4] = {{0, 5, 0, 0}, {0, 5, 0, 0}};
    u8 back[64];
    CfTransferRequest rd{};
    rd.name = "A:\\REC.CSV";
    rd.data = back;
    rd.count = 3;
    rd.countDone = &done_;
    rd.word8 = (64u << 16) | kCfMixedRead;
    rd.mixedTable = &empty[0][0];
    rd.mixedTableBytes = sizeof empty;
    EXPECT_EQ(CF_ReadFile(0, &rd), kCfInvalid);
}
