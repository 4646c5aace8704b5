// Variable status, names, recipes, signals, retain files, dynamic arrays and
// the device services reached through the runtime's extensions.
#include <bit>
#include <cstdint>
#include <filesystem>

#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"
#include "testsupport/temp_root.h"
#include "tests/iecstf/vm_calls.h"

namespace {

using namespace stf;

enum : u16 {
    kVsiStampGmt = 13, kArCreate = 60, kArRead = 61, kArWrite = 62, kAsiReadPP = 127, kAsiWritePP = 128,
    kAsiSendPar = 129, kAsiReadPI = 130, kAsiStorePI = 131, kGetVarByName = 143, kGetVarByAddr = 144,
    kGetVarSymbol = 145, kGetVarProfile = 146, kGetVarTypeName = 147, kRcpApply = 158, kSigScale = 177,
    kVsiGetBit = 187, kVsiSetBit = 188, kVsiGetDate = 189, kVsiSetDate = 190, kVsiGetTime = 191,
    kVsiSetTime = 192, kVsiStamp = 193, kCanSnd = 199, kSaveRetain = 216, kLoadRetain = 217,
    kMbSlaveIdent = 218, kVsiCopy = 220,
};

// Bits 0-63 of a variable's status through VSISETBIT/VSIGETBIT; BIT -1 and
// 64 are refused and change nothing; a variable without VSI answers FALSE/0.
TEST(VarStatus, BitsDatesTimesAndCopies) {
    Vm vm;
    vm.b.MapVsi(true);
    const u16 v = vm.b.Var(kQ4TypeDint, 0, "v"), w = vm.b.Var(kQ4TypeDint, 0, "w"), bare = vm.Dint();
    const u16 ok = vm.Bool(), bit = vm.Dint(), on = vm.Bool(true), off = vm.Bool(false), d = vm.Dint();
    vm.Build();
    u8* vsi = Q4Map_GetVSI(vm.Db(), Q4Map_GetByIndex(vm.Db(), kQ4TypeDint, v));
    ASSERT_NE(vsi, nullptr);
    struct Case {
        i32 bit;
        bool ok;
        u32 high, low;  // status words after setting
    } cases[] = {{0, true, 0, 1}, {31, true, 0, 0x80000001u}, {32, true, 1, 0x80000001u},
                 {63, true, 0x80000001u, 0x80000001u}, {64, false, 0x80000001u, 0x80000001u},
                 {-1, false, 0x80000001u, 0x80000001u}, {-64, false, 0x80000001u, 0x80000001u}};
    for (const Case& c : cases) {
        vm.SetDint(bit, c.bit);
        EXPECT_EQ(vm.B(kVsiSetBit, {ok, kQ4TypeDint, v, bit, on}), c.ok) << c.bit;
        EXPECT_EQ(GetLe32(vsi), c.high) << c.bit;
        EXPECT_EQ(GetLe32(vsi + 4), c.low) << c.bit;
        EXPECT_EQ(vm.B(kVsiGetBit, {ok, kQ4TypeDint, v, bit}), c.ok) << c.bit;
    }
    vm.SetDint(bit, 63);
    EXPECT_TRUE(vm.B(kVsiSetBit, {ok, kQ4TypeDint, v, bit, off}));
    EXPECT_FALSE(vm.B(kVsiGetBit, {ok, kQ4TypeDint, v, bit}));
    EXPECT_FALSE(vm.B(kVsiSetBit, {ok, kQ4TypeDint, bare, bit, on}));

    vm.SetDint(d, static_cast<i32>(Q4DateStamp(2026, 12, 11)));
    EXPECT_TRUE(vm.B(kVsiSetDate, {ok, kQ4TypeDint, v, d}));
    vm.SetDint(d, 86399999);
    EXPECT_TRUE(vm.B(kVsiSetTime, {ok, kQ4TypeDint, v, d}));
    EXPECT_EQ(static_cast<u32>(vm.D(kVsiGetDate, {d, kQ4TypeDint, v})), Q4DateStamp(2026, 12, 11));
    EXPECT_EQ(vm.D(kVsiGetTime, {d, kQ4TypeDint, v}), 86399999);
    EXPECT_EQ(vm.D(kVsiGetTime, {d, kQ4TypeDint, bare}), 0);
    EXPECT_FALSE(vm.B(kVsiSetDate, {ok, kQ4TypeDint, bare, d}));

    EXPECT_TRUE(vm.B(kVsiCopy, {ok, kQ4TypeDint, w, v, off, on}));  // the stamps only
    u8* wv = Q4Map_GetVSI(vm.Db(), Q4Map_GetByIndex(vm.Db(), kQ4TypeDint, w));
    EXPECT_EQ(GetLe32(wv + 4), 0u);
    EXPECT_EQ(vm.D(kVsiGetTime, {d, kQ4TypeDint, w}), 86399999);
    EXPECT_TRUE(vm.B(kVsiCopy, {ok, kQ4TypeDint, w, v, on, off}));
    EXPECT_EQ(GetLe32(wv + 4), GetLe32(vsi + 4));
    EXPECT_FALSE(vm.B(kVsiCopy, {ok, kQ4TypeDint, w, bare, on, on}));

    // A stamp takes the controller's date; a locked result stamps nothing.
    EXPECT_TRUE(vm.B(kVsiStampGmt, {ok, kQ4TypeDint, w}));
    EXPECT_NE(vm.D(kVsiGetTime, {d, kQ4TypeDint, w}), 86399999);
    EXPECT_LT(static_cast<u32>(vm.GetDint(d)), 86400000u);
    vm.Lock(ok, kQ4TypeBool);
    EXPECT_TRUE(vm.Call(kVsiStamp, {ok, kQ4TypeDint, v}));
    EXPECT_TRUE(vm.Call(kVsiSetBit, {ok, kQ4TypeDint, v, bit, on}));
    EXPECT_EQ(vm.D(kVsiGetTime, {d, kQ4TypeDint, v}), 86399999);
    EXPECT_EQ(GetLe32(vsi) >> 31, 0u);
}

TEST(VarStatus, AnApplicationWithoutVsiAnswersFalse) {
    Vm vm;
    const u16 v = vm.b.Var(kQ4TypeDint, 0, "v"), ok = vm.Bool(true), bit = vm.Dint(1), on = vm.Bool(true), d = vm.Dint(5);
    vm.Build();
    EXPECT_FALSE(vm.B(kVsiSetBit, {ok, kQ4TypeDint, v, bit, on}));
    EXPECT_FALSE(vm.B(kVsiStamp, {ok, kQ4TypeDint, v}));
    EXPECT_EQ(vm.D(kVsiGetDate, {d, kQ4TypeDint, v}), 0);
}

// Handles found by name or address give back the symbol, profile and type
// names; a handle that names no entry gives empty texts, forced whatever the
// result's lock.
TEST(VarNames, HandlesRoundTrip) {
    Vm vm;
    IecVarOptions prof = Sym("Speed");
    prof.profile = "RPM_PROFILE";
    const u16 speed = vm.b.Var(kQ4TypeReal, 0, prof);
    const u16 name = vm.b.String(16, "label", Sym("Label"));
    const u16 h = vm.Dint(), s = vm.Str(32), query = vm.Str(32);
    vm.Build();
    vm.SetText(query, "speed");  // symbols are found without regard to case
    const i32 hs = vm.D(kGetVarByName, {h, query});
    ASSERT_GT(hs, 0);
    EXPECT_EQ(vm.D(kGetVarByAddr, {h, kQ4TypeReal, speed}), hs);
    vm.SetDint(h, hs);
    EXPECT_TRUE(vm.Call(kGetVarSymbol, {s, h}));
    EXPECT_EQ(vm.Text(s), "Speed");
    EXPECT_TRUE(vm.Call(kGetVarProfile, {s, h}));
    EXPECT_EQ(vm.Text(s), "RPM_PROFILE");
    EXPECT_TRUE(vm.Call(kGetVarTypeName, {s, h}));
    EXPECT_EQ(vm.Text(s), "REAL");
    const i32 hl = vm.D(kGetVarByAddr, {h, kQ4TypeString, name});
    ASSERT_GT(hl, 0);
    EXPECT_NE(hl, hs);
    EXPECT_TRUE(vm.Call(kGetVarTypeName, {s, h}));
    EXPECT_EQ(vm.Text(s), "STRING");

    vm.SetText(query, "nothing");
    EXPECT_EQ(vm.D(kGetVarByName, {h, query}), 0);
    EXPECT_EQ(vm.D(kGetVarByAddr, {h, kQ4TypeDint, 40}), 0);
    vm.Lock(s, kQ4TypeString);
    for (i32 bad : {0, -1, 3, 1 << 30}) {
        vm.SetText(s, "old");
        vm.SetDint(h, bad);
        for (u16 f : {kGetVarSymbol, kGetVarProfile, kGetVarTypeName}) {
            EXPECT_TRUE(vm.Call(f, {s, h}));
            EXPECT_EQ(vm.Text(s), "") << f << " " << bad;
        }
    }
}

// A recipe of plain, locked, string, CT-segment and external variables;
// column 1 lands in every variable it may, others are refused whole.
class Recipes : public ::testing::Test {
protected:
    void Declare(Vm& vm) {
        d = vm.Dint(1);
        i = vm.b.Var(kQ4TypeInt, 2);
        s = vm.Str(5, "s");
        lr = vm.b.Lreal(1.0);
        target = vm.Dint(3);
        xv = vm.b.External(kQ4TypeDint, target);
        r = vm.Bool();
        rcp = vm.Dint(0);
        col = vm.Dint(1);
        vm.b.CtSegment(64, 64);
        vm.b.Recipe(2, {{kQ4TypeDint, d, 0, {100, 101}, {}},
                        {kQ4TypeInt, i, 0, {200, 201}, {}},
                        {kQ4TypeString, s, 0, {}, {"zero", "one-too-long"}},
                        {kQ4TypeLreal, lr, 0, {std::bit_cast<u64>(2.5), std::bit_cast<u64>(-7.25)}, {}},
                        {kQ4TypeReal, 0, 8, {std::bit_cast<u32>(1.5f), std::bit_cast<u32>(9.5f)}, {}},
                        {static_cast<u16>(kQ4TypeDint | kQ4TypeExternal), xv, 0, {300, 301}, {}}});
    }
    float CtReal(Vm& vm, u32 off) {
        u32 bytes = 0;
        u8* ct = Q4VM_AreaPtr(vm.Db(), kDbCtSegment, &bytes);
        return ct && off + 4 <= bytes ? GetLeFloat(ct + off) : -1.0f;
    }
    double Lreal(Vm& vm) { return std::bit_cast<double>(GetLe64(vm.Vmdb().Data64(lr))); }
    // Offset in the image of the recipe's k-th variable entry.
    static u32 Entry(const std::vector<u8>& image, u32 k) {
        Q4Code c{image.data(), static_cast<u32>(image.size())};
        const u32 recipe = Q4Code_U32(c, Q4VMCode_GetRecipes(c) + 4);
        return Q4Code_U32(c, recipe + 4 + 4 * k);
    }
    u16 d, i, s, lr, target, xv, r, rcp, col;
};

TEST_F(Recipes, ColumnLandsInEveryVariableButLockedOnes) {
    Vm vm;
    Declare(vm);
    vm.Build();
    vm.Lock(i, kQ4TypeInt);
    EXPECT_TRUE(vm.B(kRcpApply, {r, rcp, col}));
    EXPECT_EQ(vm.GetDint(d), 101);
    EXPECT_EQ(GetLe16(vm.Vmdb().Data16(i)), 2);  // locked: kept
    EXPECT_EQ(vm.Text(s), "one-t");              // cut at the capacity
    EXPECT_EQ(Lreal(vm), -7.25);
    EXPECT_EQ(CtReal(vm, 8), 9.5f);
    EXPECT_EQ(vm.GetDint(target), 301);
    vm.SetDint(col, 0);
    EXPECT_TRUE(vm.B(kRcpApply, {r, rcp, col}));
    EXPECT_EQ(vm.Text(s), "zero");
    EXPECT_EQ(vm.GetDint(target), 300);

    for (auto [rc, cl] : {std::pair{0, 2}, {1, 0}, {-1, 0}, {0, -1}, {0x10000, 0}}) {
        vm.SetDint(rcp, rc);
        vm.SetDint(col, cl);
        vm.SetDint(d, 5);
        EXPECT_FALSE(vm.B(kRcpApply, {r, rcp, col})) << rc << " " << cl;
        EXPECT_EQ(vm.GetDint(d), 5);
    }
    vm.Lock(r, kQ4TypeBool);
    vm.SetDint(rcp, 0);
    vm.SetDint(col, 1);
    EXPECT_TRUE(vm.Call(kRcpApply, {r, rcp, col}));
    EXPECT_EQ(vm.GetDint(d), 5);  // a locked result applies nothing
}

TEST_F(Recipes, NoRecipesGivesFalse) {
    Vm vm;
    const u16 res = vm.Bool(true), zero = vm.Dint(0);
    vm.Build();
    EXPECT_FALSE(vm.B(kRcpApply, {res, zero, zero}));
}

// Entries whose index, CT offset, text or entry offset lead outside the
// image, the table or the segment are skipped; the rest still apply.
TEST_F(Recipes, CorruptEntriesAreSkipped) {
    struct Case {
        const char* what;
        u32 entry;  // variable entry to spoil
        std::function<void(std::vector<u8>&, u32 at)> spoil;
    } cases[] = {
        {"index beyond the table", 0, [](std::vector<u8>& b, u32 at) { PutLe16(&b[at + 2], 0x7FFF); }},
        {"unknown type", 0, [](std::vector<u8>& b, u32 at) { PutLe16(&b[at], 99); }},
        {"CT offset past the segment", 4, [](std::vector<u8>& b, u32 at) { PutLe32(&b[at + 4], 62); }},
        {"CT offset far away", 4, [](std::vector<u8>& b, u32 at) { PutLe32(&b[at + 4], 0xFFFFFFF0u); }},
        {"external slot beyond the table", 5, [](std::vector<u8>& b, u32 at) { PutLe16(&b[at + 2], 900); }},
        {"entry offset past the image", 2,
         [](std::vector<u8>& b, u32) {
             Q4Code c{b.data(), static_cast<u32>(b.size())};
             const u32 recipe = Q4Code_U32(c, Q4VMCode_GetRecipes(c) + 4);
             PutLe32(&b[recipe + 4 + 4 * 2], 0xFFFFFFF8u);
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Vm vm;
        Declare(vm);
        vm.Build([&](std::vector<u8>& b) { k.spoil(b, Entry(b, k.entry)); });
        EXPECT_TRUE(vm.B(kRcpApply, {r, rcp, col}));
        EXPECT_EQ(vm.GetDint(d), k.entry == 0 ? 1 : 101);
        EXPECT_EQ(vm.GetDint(target), k.entry == 5 ? 3 : 301);
        EXPECT_EQ(vm.Text(s), k.entry == 2 ? "s" : "one-t");
    }
    // A text length that sends the next column far on: whatever it lands
    // on is read only inside the image.
    Vm vm;
    Declare(vm);
    vm.Build([&](std::vector<u8>& b) {
        const u32 at = Entry(b, 2) + 8;
        b[at] = 255;  // "zero" claims 255 bytes: column 1 starts far past it
    });
    EXPECT_TRUE(vm.B(kRcpApply, {r, rcp, col}));
    EXPECT_EQ(vm.GetDint(d), 101);
}

TEST(Signals, ScaleReadsTheStoredSignal) {
    Vm vm;
    vm.b.SignalPoints({{0, 0.0f}, {1000, 10.0f}, {2000, 4.0f}});
    const u16 r = vm.Dint(), sig = vm.Dint(1), t = vm.b.Var(kQ4TypeTime, 0);
    vm.Build();
    struct Case {
        i32 sig;
        u32 t;
        float want;
    } cases[] = {{1, 500, 5.0f}, {1, 1500, 7.0f}, {1, 5000, 4.0f}, {2, 500, 0.0f}, {0, 500, 0.0f}, {-1, 500, 0.0f}};
    for (const Case& c : cases) {
        vm.SetDint(sig, c.sig);
        PutLe32(vm.Vmdb().Time(t), c.t);
        EXPECT_TRUE(vm.Call(kSigScale, {r, sig, t}));
        EXPECT_FLOAT_EQ(GetLeFloat(vm.Vmdb().Data32(r)), c.want) << c.sig << " " << c.t;
    }
}

TEST(RetainFiles, SaveThenLoad) {
    TempRoot root;
    Vm vm;
    const u16 kept = vm.Dint(11), other = vm.Dint(22), ok = vm.Bool(), path = vm.Str(32, "saved.ret"),
              missing = vm.Str(32, "none.ret");
    vm.b.Retain(kQ4InitClsData32, kept, 2).RetainSignature(0x5151);
    vm.Build();
    EXPECT_TRUE(vm.B(kSaveRetain, {ok, path}));
    EXPECT_TRUE(std::filesystem::exists(root.Path("/run/saved.ret")));
    vm.SetDint(kept, 0);
    vm.SetDint(other, 0);
    EXPECT_TRUE(vm.B(kLoadRetain, {ok, path}));
    EXPECT_EQ(vm.GetDint(kept), 11);
    EXPECT_EQ(vm.GetDint(other), 22);
    EXPECT_FALSE(vm.B(kLoadRetain, {ok, missing}));
    vm.Lock(ok, kQ4TypeBool);
    EXPECT_TRUE(vm.Call(kSaveRetain, {ok, missing}));
    EXPECT_FALSE(std::filesystem::exists(root.Path("/run/none.ret")));
}

// The key of array ID is ID + 1 (1-127); INDEX is taken unsigned.
TEST(DynamicArrays, CreateWriteReadCases) {
    Vm vm;
    const u16 r = vm.Dint(), id = vm.Dint(), a = vm.Dint(), v = vm.Dint();
    vm.Build();
    struct Create {
        i32 id, size, want;
    } creates[] = {{127, 10, 2}, {5, 0, 3}, {5, -1, 3}, {5, 10, 1}, {5, 10, 2}, {-1, 10, 2},
                   {-2, 10, 2}, {65535, 10, 2}, {0x10004, 10, 2}, {126, 1, 1}, {0, 0x7FFFFFFF, 4}};
    for (const Create& c : creates) {
        vm.SetDint(id, c.id);
        vm.SetDint(a, c.size);
        EXPECT_EQ(vm.D(kArCreate, {r, id, a}), c.want) << c.id << " " << c.size;
    }
    struct Access {
        i32 id, index, value, write, read;
    } accesses[] = {{5, 9, 42, 1, 42},          {5, 0, -7, 1, -7},   {5, 10, 1, 3, 0},      {5, -1, 1, 3, 0},
                    {5, 1 << 30, 1, 3, 0},      {5, INT32_MIN, 1, 3, 0}, {6, 0, 1, 2, 0},   {-1, 0, 1, 2, 0},
                    {0x10004, 0, 1, 2, 0},      {126, 0, 9, 1, 9},   {126, 1, 9, 3, 0}};
    for (const Access& c : accesses) {
        vm.SetDint(id, c.id);
        vm.SetDint(a, c.index);
        vm.SetDint(v, c.value);
        EXPECT_EQ(vm.D(kArWrite, {r, id, a, v}), c.write) << c.id << " " << c.index;
        EXPECT_EQ(vm.D(kArRead, {r, id, a}), c.read) << c.id << " " << c.index;
    }
    // A locked result does not stop the action.
    vm.Lock(r, kQ4TypeDint);
    vm.SetDint(id, 5);
    vm.SetDint(a, 3);
    vm.SetDint(v, 77);
    EXPECT_TRUE(vm.Call(kArWrite, {r, id, a, v}));
    vm.Unlock(r);
    EXPECT_EQ(vm.D(kArRead, {r, id, a}), 77);
    Q4VMRsc_FreeAll(vm.Db());
    EXPECT_EQ(vm.D(kArRead, {r, id, a}), 0);
}

TEST(Devices, ModbusIdentificationTakesTextsAndWords) {
    Q4MBSrv_ResetDevIdent();
    Vm vm;
    const u16 ok = vm.Bool(), vendor = vm.Str(80), product = vm.Str(16, "P-420"), rev = vm.Str(8, "1.2");
    const u16 words = vm.b.Array(kQ4TypeInt, 10), few = vm.b.Array(kQ4TypeInt, 3);
    vm.Build();
    vm.SetText(vendor, std::string(60, 'v'));
    for (u16 k = 0; k < 10; ++k) PutLe16(vm.Vmdb().Data16(words + k), static_cast<u16>(0xA000 + k));
    for (u16 k = 0; k < 3; ++k) PutLe16(vm.Vmdb().Data16(few + k), static_cast<u16>(k + 1));
    EXPECT_TRUE(vm.B(kMbSlaveIdent, {ok, vendor, product, rev, words, 10}));
    const Q4MBDevIdent& id = Q4MBSrv_GetDevIdent();
    EXPECT_EQ(std::string(id.vendor), std::string(51, 'v'));
    EXPECT_EQ(std::string(id.product), "P-420");
    EXPECT_EQ(std::string(id.revision), "1.2");
    EXPECT_EQ(id.words[0], 0xA000);
    EXPECT_EQ(id.words[7], 0xA007);
    EXPECT_TRUE(vm.B(kMbSlaveIdent, {ok, vendor, product, rev, few, 3}));
    EXPECT_EQ(id.words[2], 3);
    EXPECT_EQ(id.words[3], 0);
    vm.Lock(ok, kQ4TypeBool);
    vm.SetText(product, "changed");
    EXPECT_TRUE(vm.Call(kMbSlaveIdent, {ok, vendor, product, rev, few, 3}));
    EXPECT_EQ(std::string(id.product), "P-420");
    Q4MBSrv_ResetDevIdent();
    EXPECT_EQ(std::string(id.vendor), "");
}

// Without a CAN definition the application has no port: CANSND answers
// FALSE whatever it is given (the driver's own tests send on real ports).
TEST(Devices, CanSendWithoutPortsAnswersFalse) {
    Vm vm;
    const u16 ok = vm.Bool(true), port = vm.Str(8, "CAN0"), id = vm.Dint(0x123), len = vm.Dint(), data = vm.Bytes(16),
              flag = vm.Bool(true);
    vm.Build();
    for (i32 n : {4, 9, 16, 17, -1, INT32_MIN}) {
        vm.SetDint(len, n);
        vm.Byte(ok) = 1;
        EXPECT_FALSE(vm.B(kCanSnd, {ok, port, id, len, data, 16, flag})) << n;
    }
}

TEST(Devices, AsiFunctionsAnswerNothingWithoutAnAsiConfiguration) {
    Vm vm;
    const u16 b = vm.Bool(true), d = vm.Dint(9), m = vm.Dint(1), s = vm.Dint(2), v = vm.Dint(3);
    vm.Build();
    EXPECT_FALSE(vm.B(kAsiStorePI, {b, m}));
    vm.Byte(b) = 1;
    EXPECT_FALSE(vm.B(kAsiSendPar, {b, m, s, v}));
    vm.Byte(b) = 1;
    EXPECT_FALSE(vm.B(kAsiWritePP, {b, m, s, v}));
    EXPECT_EQ(vm.D(kAsiReadPI, {d, m, s}), 0);
    vm.SetDint(d, 9);
    EXPECT_EQ(vm.D(kAsiReadPP, {d, m, s}), 0);
}

}  // namespace
