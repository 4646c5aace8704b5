#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmhot.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// The running application: a counter, a value, a string and a TIME, with
// spare room in every class; what the change declares after
// PinAllocation goes into that room.
struct App {
    IecImageBuilder b;
    u16 count = 0, one = 0, value = 0, text = 0, t = 0, flag = 0;
    explicit App(u32 stringRoom = 64) {
        b.AppName("PLANT");
        count = b.Var(kQ4TypeDint, 0, "count");
        one = b.Var(kQ4TypeDint, 1);
        value = b.Var(kQ4TypeDint, 1000, "value");
        flag = b.Var(kQ4TypeBool, 1, "flag");
        t = b.Var(kQ4TypeTime, 250);
        text = b.String(12, "kept", Sym("text"));
        b.Spare(kQ4InitClsData8, 2).Spare(kQ4InitClsData32, 3).Spare(kQ4InitClsString, 2).Spare(kQ4InitClsTime, 2);
        b.MapSpare(4).StringBufferMinimum(stringRoom);
    }
    std::vector<u8> Running() {
        TicAssembler p;
        p.Op("ADD_DINT", {count, count, one}).Op("END");
        b.Program(p.Finish());
        std::vector<u8> image = b.Build();
        b.PinAllocation();
        return image;
    }
};

struct Code {
    std::vector<u8> bytes;
    Q4Code View() const { return Q4Code{bytes.data(), static_cast<u32>(bytes.size())}; }
};

u32 D32(IecVmDb& db, u16 i) { return GetLe32(db.Data32(i)); }
std::string Text(u8* s) { return s ? std::string(reinterpret_cast<char*>(s + 2), s[1]) : "<none>"; }

void Cycles(IecVmDb& db, int n, u32* now) {
    for (int k = 0; k < n; ++k) Q4VM_Cycle(db.Db(), *now += 10);
}

// The change adds a DINT, a BOOL and a STRING in the reserve; every value
// of the running application stays, the new ones get their initial values,
// and the next cycles run the new program.
TEST(HotChange, AddsVariablesAndKeepsEveryValue) {
    App a;
    IecVmDb db(a.Running());
    ASSERT_EQ(db.Result(), 0);
    u32 now = 100;
    Cycles(db, 3, &now);
    PutLe32(db.Data32(a.value), 77);
    Q4Str_Force(db.String(a.text), reinterpret_cast<const u8*>("\x05" "moved"));
    PutLe32(db.Time(a.t), 4321);
    db.Data8(a.flag)[0] = 0;

    const u16 added = a.b.Var(kQ4TypeDint, 42, "added");
    const u16 bit = a.b.Var(kQ4TypeBool, 1, "bit");
    const u16 label = a.b.String(8, "new", Sym("label"));
    TicAssembler p;
    p.Op("ADD_DINT", {a.count, a.count, a.one}).Op("ADD_DINT", {added, added, a.one}).Op("END");
    a.b.ReplaceProgram(1, p.Finish());
    Code change{a.b.Build()};
    ASSERT_EQ(Q4VM_CanHOTStart(change.View(), db.Db()), 0) << Q4VMTic_LastFault();
    ASSERT_EQ(Q4VM_BuildHOT(change.View(), db.Db(), now), 0);

    EXPECT_EQ(D32(db, a.count), 3u);
    EXPECT_EQ(D32(db, a.value), 77u);
    EXPECT_EQ(GetLe32(db.Time(a.t)), 4321u);
    EXPECT_EQ(db.Data8(a.flag)[0], 0);
    EXPECT_EQ(Text(db.String(a.text)), "moved");
    EXPECT_EQ(D32(db, added), 42u);
    EXPECT_EQ(db.Data8(bit)[0], 1);
    ASSERT_NE(db.String(label), nullptr);
    EXPECT_EQ(db.String(label)[0], 8);
    EXPECT_EQ(Text(db.String(label)), "new");
    EXPECT_EQ(Q4VM_GetDesc(db.Db(), kDbData32).boundary, added + 1);

    Cycles(db, 2, &now);
    EXPECT_EQ(D32(db, a.count), 5u);
    EXPECT_EQ(D32(db, added), 44u);
}

// Every refusal leaves the database byte for byte as it was.
TEST(HotChange, RefusalsLeaveTheDatabaseUntouched) {
    struct Case {
        const char* what;
        int code;
        std::function<void(App&)> change;      // on the pinned builder
        std::function<void(IecVmDb&)> running;  // on the running database
    };
    const std::vector<Case> cases = {
        {"other application", 44, [](App& a) { a.b.AppName("OTHER"); }, {}},
        {"other build stamp", 26, [](App& a) { a.b.BuildStamp(0x0BAD); }, {}},
        {"build stamp zero", 26, [](App& a) { a.b.BuildStamp(0); }, {}},
        {"other layout", 76, [](App& a) { a.b.LayoutStamp(0x00990001); }, {}},
        {"other SFC", 27, [](App& a) { a.b.SfcCrc(5); }, {}},
        {"breakpoint", 72, {},
         [](IecVmDb& db) { PutLe16(db.Status() + kQ4StFlags, GetLe16(db.Status() + kQ4StFlags) | kVmFlagBreakpoints); }},
        {"stepping", 73, {}, [](IecVmDb& db) { PutLe32(Q4VMPrg_Record(db.Db(), 1) + kQ4PrResume, 4); }},
        {"more DINTs allocated", 55, [](App& a) { a.b.Spare(kQ4InitClsData32, 6).PinAllocation(); }, {}},
        {"declared past the allocation", 55,
         [](App& a) {
             for (int k = 0; k < 4; ++k) a.b.Var(kQ4TypeDint, 9);
         },
         {}},
        {"used past the allocation", 55, [](App& a) { a.b.UsedOverride(kQ4InitClsData32, 60); }, {}},
        {"new string past the buffer", 62, [](App& a) { a.b.String(200, "x"); }, {}},
        {"string minimum above the buffer", 62, [](App& a) { a.b.StringBufferMinimum(4096); }, {}},
        {"more active timers", 25, [](App& a) { a.b.ActiveTimers(40); }, {}},
        {"resources in use", 23, {},
         [](IecVmDb& db) { ASSERT_EQ(Q4VMRsc_CreateArray(db.Db(), 3, 4, 4), 1); }},
        {"program on a variable past the table", 43,
         [](App& a) {
             TicAssembler p;
             p.Op("ADD_DINT", {a.count, a.count, 60}).Op("END");
             a.b.ReplaceProgram(1, p.Finish());
         },
         {}},
    };
    for (const Case& c : cases) {
        App a;
        IecVmDb db(a.Running());
        ASSERT_EQ(db.Result(), 0);
        u32 now = 100;
        Cycles(db, 2, &now);
        if (c.running) c.running(db);
        if (c.change) c.change(a);
        Code change{a.b.Build()};
        const std::vector<u8> before(db.Db(), db.Db() + db.Size());
        EXPECT_EQ(Q4VM_CanHOTStart(change.View(), db.Db()), c.code) << c.what;
        EXPECT_TRUE(std::memcmp(before.data(), db.Db(), db.Size()) == 0) << c.what;
        if (c.code == 72 || c.code == 73 || c.code == 23) continue;
        // The application keeps running on its own code.
        Cycles(db, 1, &now);
        EXPECT_EQ(D32(db, a.count), 3u) << c.what;
    }
}

// A STRING whose declared length changes cannot keep its value.
TEST(HotChange, AStringOfAnotherLengthIsRefused) {
    auto make = [](u8 capacity) {
        IecImageBuilder b;
        b.AppName("PLANT");
        b.String(capacity, "abc");
        b.Spare(kQ4InitClsString, 1).StringBufferMinimum(64);
        TicAssembler p;
        p.Op("END");
        b.Program(p.Finish());
        return b.Build();
    };
    IecVmDb db(make(10));
    ASSERT_EQ(db.Result(), 0);
    Code change{make(11)};
    EXPECT_EQ(Q4VM_CanHOTStart(change.View(), db.Db()), 63);
    Code same{make(10)};
    EXPECT_EQ(Q4VM_CanHOTStart(same.View(), db.Db()), 0);
}

// The transfer alone: checking changes nothing, applying clears the new
// range and moves boundary and used count.
TEST(HotChange, VariableMapTransferClearsOnlyTheNewRange) {
    App a;
    IecVmDb db(a.Running());
    ASSERT_EQ(db.Result(), 0);
    // Garbage in the reserve must not reach the new variables.
    for (u16 i = a.value + 1; i < Q4VM_GetDesc(db.Db(), kDbData32).allocated; ++i) PutLe32(db.Data32(i), 0xDEAD);
    PutLe32(db.Data32(a.value), 5);
    const u16 x = a.b.Var(kQ4TypeDint), y = a.b.Var(kQ4TypeDint);
    Code change{a.b.Build()};
    int reason = -1;
    EXPECT_EQ(Q4VMHot_PrcVarMap(change.View(), db.Db(), 0, &reason), 1);
    EXPECT_EQ(reason, 0);
    EXPECT_EQ(Q4VM_GetDesc(db.Db(), kDbData32).boundary, a.value + 1);
    EXPECT_EQ(Q4VMHot_PrcVarMap(change.View(), db.Db(), 1, &reason), 1);
    EXPECT_EQ(D32(db, a.value), 5u);
    EXPECT_EQ(D32(db, x), 0u);
    EXPECT_EQ(D32(db, y), 0u);
    EXPECT_EQ(D32(db, y + 1), 0xDEADu);  // above C: not the change's
    const VmDbDesc d = Q4VM_GetDesc(db.Db(), kDbData32);
    EXPECT_EQ(d.boundary, y + 1);
    EXPECT_EQ(d.used, y + 1);
}

}  // namespace
