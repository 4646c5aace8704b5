// Files of the application: opened, written and read through the resource
// list, names kept inside the root, the list's bound, stop closing all.
#include <dirent.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "testsupport/temp_root.h"
#include "tests/iecstf/vm_calls.h"

namespace {

using namespace stf;

enum : u16 {
    kFRRead = 16, kFRWrite = 17, kFFlush = 18, kFSeek = 19, kFROpen = 70, kFWOpen = 71, kFARead = 72,
    kFMRead = 73, kFAWrite = 74, kFMWrite = 75, kFClose = 76, kFEof = 77, kFBRead = 172, kFBWrite = 173,
    kFAOpen = 174, kFExist = 178, kFGetSize = 179, kFCopy = 180, kFDelete = 181, kFRename = 182,
    kFIsReady = 197, kSetCsvOpt = 198, kTcpListen = 148, kArCreate = 60,
};

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int OpenDescriptors() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
    return n;
}

class Files : public ::testing::Test {
protected:
    TempRoot root;
    Vm vm;
};

// Every writer's bytes come back through its reader and lie in the file as
// the host sees it: FA little-endian DINTs, FB raw values (a STRING without
// length or NUL), FM lines, FR array elements from a position.
TEST_F(Files, WritersAndReadersRoundTrip) {
    const u16 h = vm.Dint(), ok = vm.Bool(), n = vm.Dint(), name = vm.Str(32, "data.bin");
    const u16 v = vm.Dint(0x11223344), iv = vm.b.Var(kQ4TypeInt, 0xBEEF), text = vm.Str(16, "hi");
    const u16 line = vm.Str(20, "first line"), got = vm.Str(20), arr = vm.b.Array(kQ4TypeInt, 4);
    const u16 pos = vm.Dint(1), nb = vm.Dint(2), mode = vm.Dint(0), back = vm.Dint();
    vm.Build();
    for (u16 k = 0; k < 4; ++k) PutLe16(vm.Vmdb().Data16(arr + k), static_cast<u16>(0x100 + k));

    const i32 f = vm.D(kFWOpen, {h, name});
    ASSERT_NE(f, 0);
    EXPECT_TRUE(vm.B(kFIsReady, {ok, h}));
    EXPECT_TRUE(vm.B(kFAWrite, {ok, h, v}));
    EXPECT_TRUE(vm.B(kFBWrite, {ok, kQ4TypeInt, h, iv}));
    EXPECT_TRUE(vm.B(kFBWrite, {ok, kQ4TypeString, h, text}));
    EXPECT_TRUE(vm.B(kFMWrite, {ok, h, line}));
    EXPECT_EQ(vm.D(kFRWrite, {n, kQ4TypeInt, h, arr, 4, pos, nb}), 2);
    EXPECT_TRUE(vm.B(kFFlush, {ok, h}));
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    EXPECT_FALSE(vm.B(kFClose, {ok, h}));  // a second close finds no open file

    const std::string bytes = ReadHost(root.Path("/run/data.bin"));
    EXPECT_EQ(bytes, std::string("\x44\x33\x22\x11\xEF\xBE" "hi" "first line\n\x01\x01\x02\x01", 23));

    // Read back: the file's handle comes from the list again.
    ASSERT_NE(vm.D(kFROpen, {h, name}), 0);
    EXPECT_EQ(vm.D(kFARead, {back, h}), 0x11223344);
    vm.Byte(ok) = 0;
    PutLe16(vm.Vmdb().Data16(iv), 0);
    EXPECT_TRUE(vm.B(kFBRead, {ok, kQ4TypeInt, h, iv}));
    EXPECT_EQ(GetLe16(vm.Vmdb().Data16(iv)), 0xBEEF);
    EXPECT_FALSE(vm.B(kFBRead, {ok, kQ4TypeString, h, text}));  // STRING cannot be read raw
    EXPECT_TRUE(vm.B(kFSeek, {ok, h, pos, pos}));  // one byte on from here (MODE 1)...
    vm.SetDint(pos, 8);
    EXPECT_TRUE(vm.B(kFSeek, {ok, h, pos, mode}));  // ...then to byte 8 from the start
    vm.SetDint(pos, 0);
    EXPECT_EQ(vm.Text(got), "");
    EXPECT_TRUE(vm.Call(kFMRead, {got, h}));
    EXPECT_EQ(vm.Text(got), "first line");
    for (u16 k = 0; k < 4; ++k) PutLe16(vm.Vmdb().Data16(arr + k), 0);
    vm.SetDint(pos, 2);
    EXPECT_EQ(vm.D(kFRRead, {n, kQ4TypeInt, h, arr, 4, pos, nb}), 2);
    EXPECT_EQ(GetLe16(vm.Vmdb().Data16(arr + 2)), 0x101);
    EXPECT_EQ(GetLe16(vm.Vmdb().Data16(arr + 3)), 0x102);
    EXPECT_TRUE(vm.B(kFEof, {ok, h}));
    EXPECT_EQ(vm.D(kFARead, {back, h}), 0);  // nothing left
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
}

// A handle is accepted only while its file is open: 0, an unknown value, a
// closed handle and positions past the array all answer FALSE or 0.
TEST_F(Files, HandlesOutsideTheListAndBadRangesAreRefused) {
    const u16 h = vm.Dint(), ok = vm.Bool(true), n = vm.Dint(9), name = vm.Str(16, "x.bin");
    const u16 v = vm.Dint(5), arr = vm.b.Array(kQ4TypeDint, 4), pos = vm.Dint(3), nb = vm.Dint(2), line = vm.Str(8, "keep");
    vm.Build();
    ASSERT_NE(vm.D(kFWOpen, {h, name}), 0);
    EXPECT_EQ(vm.D(kFRWrite, {n, kQ4TypeDint, h, arr, 4, pos, nb}), 0);  // 3 + 2 > 4
    vm.SetDint(pos, 0x10000 + 3);  // POS taken as its low 16 bits: 3
    EXPECT_EQ(vm.D(kFRWrite, {n, kQ4TypeDint, h, arr, 4, pos, nb}), 0);
    const i32 open = vm.GetDint(h);
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));

    for (i32 bad : {0, open, 77, -1, 129}) {
        vm.SetDint(h, bad);
        SCOPED_TRACE(bad);
        EXPECT_FALSE(vm.B(kFIsReady, {ok, h}));
        EXPECT_FALSE(vm.B(kFAWrite, {ok, h, v}));
        EXPECT_FALSE(vm.B(kFMWrite, {ok, h, line}));
        EXPECT_FALSE(vm.B(kFEof, {ok, h}));
        EXPECT_FALSE(vm.B(kFFlush, {ok, h}));
        EXPECT_FALSE(vm.B(kFBWrite, {ok, kQ4TypeDint, h, v}));
        EXPECT_EQ(vm.D(kFARead, {n, h}), 0);
        EXPECT_EQ(vm.D(kFRRead, {n, kQ4TypeDint, h, arr, 4, pos, nb}), 0);
        EXPECT_TRUE(vm.Call(kFMRead, {line, h}));
        EXPECT_EQ(vm.Text(line), "keep");  // an invalid handle leaves the result
    }
}

// Names from the application never reach outside the root: "..", absolute
// names and long names all resolve below it.
TEST_F(Files, NamesStayInsideTheRoot) {
    const u16 ok = vm.Bool(), size = vm.Dint(), h = vm.Dint();
    const u16 a = vm.Str(255), b = vm.Str(255);
    vm.Build();
    const std::string outside = root.Dir() + "/../escape_" + std::to_string(::getpid());
    std::remove(outside.c_str());

    vm.SetText(a, "../../escape_" + std::to_string(::getpid()));
    ASSERT_NE(vm.D(kFWOpen, {h, a}), 0);
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    EXPECT_FALSE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(root.Dir() + "/escape_" + std::to_string(::getpid())));

    vm.SetText(a, "/etc/passwd");  // the root's /etc, which holds no passwd
    EXPECT_FALSE(vm.B(kFExist, {ok, a}));
    EXPECT_EQ(vm.D(kFGetSize, {size, a}), 0);
    EXPECT_EQ(vm.D(kFROpen, {h, a}), 0);
    vm.SetText(b, "stolen");
    EXPECT_FALSE(vm.B(kFCopy, {ok, a, b}));
    vm.SetText(a, "../../etc/passwd");
    EXPECT_FALSE(vm.B(kFCopy, {ok, a, b}));
    EXPECT_FALSE(vm.B(kFDelete, {ok, a}));

    // The longest name a STRING holds, and one that climbs with a long
    // step: both stay below the root.
    vm.SetText(a, std::string(255, 'n'));
    EXPECT_NE(vm.D(kFWOpen, {h, a}), 0);
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    EXPECT_TRUE(std::filesystem::exists(root.Path("/run/" + std::string(255, 'n'))));
    vm.SetText(a, "../../../../../../../../" + std::string(200, 'm'));
    EXPECT_NE(vm.D(kFWOpen, {h, a}), 0);
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    EXPECT_TRUE(std::filesystem::exists(root.Dir() + "/" + std::string(200, 'm')));
    vm.SetText(a, "");
    EXPECT_EQ(vm.D(kFWOpen, {h, a}), 0);
    EXPECT_FALSE(std::filesystem::exists(outside));
}

// F_EXIST, F_GETSIZE, F_COPY, F_RENAME, F_DELETE; a locked result does
// nothing at all.
TEST_F(Files, WholeFileFunctions) {
    const u16 ok = vm.Bool(), size = vm.Dint(), h = vm.Dint(), v = vm.Dint(7);
    const u16 a = vm.Str(32, "a.bin"), b = vm.Str(32, "sub/../b.bin"), c = vm.Str(32, "/mnt/USB0/c.bin");
    vm.Build();
    ASSERT_NE(vm.D(kFAOpen, {h, a}), 0);  // created when missing
    EXPECT_TRUE(vm.B(kFAWrite, {ok, h, v}));
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    ASSERT_NE(vm.D(kFAOpen, {h, a}), 0);  // appends
    EXPECT_TRUE(vm.B(kFAWrite, {ok, h, v}));
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));

    EXPECT_TRUE(vm.B(kFExist, {ok, a}));
    EXPECT_EQ(vm.D(kFGetSize, {size, a}), 8);
    EXPECT_TRUE(vm.B(kFCopy, {ok, a, c}));
    EXPECT_EQ(ReadHost(root.Path("/mnt/USB0/c.bin")), ReadHost(root.Path("/run/a.bin")));
    EXPECT_TRUE(vm.B(kFRename, {ok, c, b}));
    EXPECT_FALSE(std::filesystem::exists(root.Path("/mnt/USB0/c.bin")));
    EXPECT_EQ(vm.D(kFGetSize, {size, b}), 8);

    vm.Lock(ok, kQ4TypeBool);
    vm.Byte(ok) = 0;
    EXPECT_TRUE(vm.Call(kFDelete, {ok, b}));
    EXPECT_TRUE(std::filesystem::exists(root.Path("/run/b.bin")));
    EXPECT_EQ(vm.Byte(ok), 0);
    vm.Unlock(ok);
    EXPECT_TRUE(vm.B(kFDelete, {ok, b}));
    EXPECT_FALSE(vm.B(kFExist, {ok, b}));
    EXPECT_FALSE(vm.B(kFDelete, {ok, b}));
    EXPECT_FALSE(vm.B(kFRename, {ok, b, c}));
    EXPECT_EQ(vm.D(kFGetSize, {size, b}), 0);
}

TEST_F(Files, CsvOptionsNeedOneCharacterEach) {
    const u16 ok = vm.Bool(), sep = vm.Str(4), dec = vm.Str(4);
    vm.Build();
    u8* st = Q4VM_Status(vm.Db());
    EXPECT_EQ(st[kQ4StSeparators], ';');
    EXPECT_EQ(st[kQ4StSeparators + 1], '.');
    struct Case {
        const char *sep, *dec;
        bool ok;
        char wantSep, wantDec;
    } cases[] = {{",", ";", true, ',', ';'}, {"", ".", false, ',', ';'}, {"ab", ".", false, ',', ';'},
                 {"\t", ",", true, '\t', ','}};
    for (const Case& k : cases) {
        vm.SetText(sep, k.sep);
        vm.SetText(dec, k.dec);
        EXPECT_EQ(vm.B(kSetCsvOpt, {ok, sep, dec}), k.ok) << k.sep;
        EXPECT_EQ(st[kQ4StSeparators], k.wantSep);
        EXPECT_EQ(st[kQ4StSeparators + 1], k.wantDec);
    }
}

// The list holds 128 entries shared by files, sockets and arrays: when it is
// full nothing more opens (the file even when its result is locked stays in
// the list), and the stop closes every descriptor.
TEST_F(Files, FullListRefusesAndStopClosesEverything) {
    const u16 h = vm.Dint(), r = vm.Dint(), ok = vm.Bool(), port = vm.Dint(0), backlog = vm.Dint(1);
    const u16 name = vm.Str(16), id = vm.Dint(3), size = vm.Dint(4);
    vm.Build();
    const int before = OpenDescriptors();
    for (u32 k = 0; k < kQ4RscEntries - 1; ++k) {
        vm.SetText(name, "f" + std::to_string(k));
        ASSERT_NE(vm.D(kFWOpen, {h, name}), 0) << k;
    }
    vm.Lock(h, kQ4TypeDint);
    vm.SetDint(h, 55);
    vm.SetText(name, "locked");
    EXPECT_TRUE(vm.Call(kFWOpen, {h, name}));  // opens, the result stays forced
    EXPECT_EQ(vm.GetDint(h), 55);
    vm.Unlock(h);
    EXPECT_TRUE(std::filesystem::exists(root.Path("/run/locked")));

    vm.SetText(name, "one_more");
    EXPECT_EQ(vm.D(kFWOpen, {h, name}), 0);
    EXPECT_FALSE(std::filesystem::exists(root.Path("/run/one_more")));
    EXPECT_EQ(vm.D(kTcpListen, {r, port, backlog}), -1);
    EXPECT_EQ(vm.D(kArCreate, {r, id, size}), 2);
    EXPECT_EQ(OpenDescriptors(), before + static_cast<int>(kQ4RscEntries));

    vm.SetDint(h, 1);
    EXPECT_TRUE(vm.B(kFClose, {ok, h}));
    EXPECT_NE(vm.D(kTcpListen, {r, port, backlog}), -1);

    Q4VMRsc_FreeAll(vm.Db());
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_FALSE(Q4VMRsc_Exist(vm.Db()));
}

}  // namespace
