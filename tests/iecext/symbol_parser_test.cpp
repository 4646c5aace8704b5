// Symbol paths resolved against a built database: published names (dotted
// ones too), elementary arrays, structures and arrays of the complex-type
// definitions, and damaged definitions that must answer none.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "iec/ext/q4vmsyb.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/ct_type_builder.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr u32 kLineAt = 32;

struct App {
    CtTypeBuilder t;
    u16 counter = 0, fbOut = 0, arr = 0, names = 0;
    IecImageBuilder b;

    App() {
        const u32 dint = t.Elementary("DINT", kQ4TypeDint), real = t.Elementary("REAL", kQ4TypeReal),
                  str = t.Elementary("STRING", kQ4TypeString);
        const u32 steps = t.Array("ARR5", dint, 4, {5});
        const u32 recipe = t.Struct("RECIPE", {{"Step", steps, 0}, {"Count", dint, 20}, {"Name", str, 24}});
        const u32 motor = t.Struct("MOTOR", {{"Speed", real, 0}}, 7);
        const u32 grid = t.Array("GRID", motor, 4, {2, 3});
        const u32 line = t.Struct("LINE", {{"Motor", grid, 0}});
        counter = b.Var(kQ4TypeDint, 0, "Counter");
        fbOut = b.Var(kQ4TypeInt, 0, "Fb1.Out");
        arr = b.Array(kQ4TypeDint, 5, "Arr");
        names = b.Array(kQ4TypeString, 3, "Names");
        b.CtSegment(64, 64).CtInit(24, {4, 0, 0, 0, 0, 0, 0});
        b.CtTypes(t.Bytes()).ComplexOf(0, recipe, "Recipe").ComplexOf(kLineAt, line, "Line");
    }
};

u8* Ct(u8* db) { return Q4VM_AreaPtr(db, kDbCtSegment, nullptr); }

TEST(SymbolParser, ResolvesPathsOfEveryKind) {
    App app;
    IecVmDb vm(app.b.Build());
    ASSERT_EQ(vm.Result(), 0);
    u8* db = vm.Db();
    u8* ct = Ct(db);
    ASSERT_NE(ct, nullptr);
    struct Case {
        const char* path;
        u8* want;
        u8 type;  // type out, also on failure
    };
    const std::vector<Case> cases = {
        {"counter", vm.Data32(app.counter), kQ4TypeDint},
        {"Fb1.Out", vm.Data16(app.fbOut), kQ4TypeInt},
        {"Fb1", nullptr, 0},
        {"Arr[]", vm.Data32(app.arr), kQ4TypeDint},
        {"Arr[4]", vm.Data32(static_cast<u16>(app.arr + 4)), kQ4TypeDint},
        {"Arr[5]", nullptr, kQ4TypeDint},
        {"Arr[65536]", nullptr, kQ4TypeDint},
        {"Arr[4294967296]", nullptr, kQ4TypeDint},
        {"Arr[2]x", nullptr, kQ4TypeDint},
        {"Arr[1,1]", nullptr, kQ4TypeDint},
        {"Arr", nullptr, kQ4TypeDint},
        {"Arr [2]", nullptr, 0},
        {"Names[2]", Q4Tools_String(db, static_cast<u16>(app.names + 2)), kQ4TypeString},
        {"Recipe.step[3]", ct + 12, kQ4TypeDint},
        {"RECIPE.Count", ct + 20, kQ4TypeDint},
        {"Recipe.Name", ct + 24, kQ4TypeString},
        {"Recipe.StepCount", nullptr, 0},
        {"Recipe.Step[5]", nullptr, 0},
        {"Recipe.Step[1", nullptr, 0},
        {"Recipe..Count", nullptr, 0},
        {"Recipe.Count.x", nullptr, 0},
        {"Recipe", nullptr, 0},
        // [i,j] checks i against the size stored second (2) and j against
        // the one stored first (3); elements are row-major.
        {"Line.Motor[1,2].Speed", ct + kLineAt + 4 * (1 * 3 + 2), kQ4TypeReal},
        {"Line.Motor[0,0].speed", ct + kLineAt, kQ4TypeReal},
        {"Line.Motor[2,0].Speed", nullptr, 0},
        {"Line.Motor[0,3].Speed", nullptr, 0},
        {"Line.Motor[1].Speed", nullptr, 0},
        {"Line.Motor[1,2,0].Speed", nullptr, 0},
        {"", nullptr, 0},
        {"Nobody", nullptr, 0},
    };
    for (const Case& c : cases) {
        u8 type = 0xEE;
        EXPECT_EQ(Q4VmSyb_ParseSingle(db, c.path, &type), c.want) << c.path;
        EXPECT_EQ(type, c.type) << c.path;
    }
}

TEST(SymbolParser, ParseEndsOnStructuresAndNamesTypes) {
    App app;
    IecVmDb vm(app.b.Build());
    u8* db = vm.Db();
    struct Case {
        const char* path;
        u8* want;
        u8 type;
        const char* name;  // null: no type name
    };
    const std::vector<Case> cases = {
        {"Recipe", Ct(db), kQ4TypeComplex, "RECIPE"},
        {"Recipe.Step", Ct(db), kQ4TypeComplex, "ARR5"},
        {"Line.Motor[1,0]", Ct(db) + kLineAt + 12, kQ4TypeComplex, "MOTOR"},
        {"Recipe.Count", Ct(db) + 20, kQ4TypeDint, "DINT"},
        {"Counter", vm.Data32(app.counter), kQ4TypeDint, "DINT"},
        {"Arr[1]", vm.Data32(static_cast<u16>(app.arr + 1)), kQ4TypeDint, nullptr},
    };
    for (const Case& c : cases) {
        u8 type = 0;
        const char* name = nullptr;
        EXPECT_EQ(Q4VmSyb_Parse(db, c.path, &type, &name), c.want) << c.path;
        EXPECT_EQ(type, c.type) << c.path;
        if (c.name) {
            EXPECT_STREQ(name, c.name) << c.path;
        } else {
            EXPECT_EQ(name, nullptr) << c.path;
        }
    }
}

TEST(SymbolParser, EnumerationAgreesWithTheWalk) {
    App app;
    IecVmDb vm(app.b.Build());
    u8* db = vm.Db();
    using Leaves = std::vector<std::pair<std::string, u8>>;
    auto collect = [](const char* path, u8 type, void* user) {
        static_cast<Leaves*>(user)->emplace_back(path, type);
    };
    char path[64];
    Leaves leaves;
    const u8* line = Q4Map_GetBySymbol(db, "Line");
    ASSERT_EQ(Q4VmSyb_EnumCTMembers(db, line, path, sizeof path, collect, &leaves), 1);
    ASSERT_EQ(leaves.size(), 6u);
    EXPECT_EQ(leaves[1].first, ".Motor[0,1].Speed");
    EXPECT_EQ(leaves[5].first, ".Motor[1,2].Speed");
    // Every enumerated path resolves, in the order of the data.
    for (size_t k = 0; k < leaves.size(); ++k) {
        u8 type = 0;
        EXPECT_EQ(Q4VmSyb_ParseSingle(db, ("Line" + leaves[k].first).c_str(), &type), Ct(db) + kLineAt + 4 * k);
        EXPECT_EQ(type, leaves[k].second);
    }
    leaves.clear();
    ASSERT_EQ(Q4VmSyb_EnumCTMembers(db, Q4Map_GetBySymbol(db, "Recipe"), path, sizeof path, collect, &leaves), 1);
    EXPECT_EQ(leaves, (Leaves{{".Step[0]", 2}, {".Step[1]", 2}, {".Step[2]", 2}, {".Step[3]", 2}, {".Step[4]", 2},
                              {".Count", 2}, {".Name", 5}}));
    // A buffer too small for the paths, and a variable that is not complex.
    leaves.clear();
    EXPECT_EQ(Q4VmSyb_EnumCTMembers(db, line, path, 10, collect, &leaves), 0);
    EXPECT_EQ(Q4VmSyb_EnumCTMembers(db, Q4Map_GetBySymbol(db, "Counter"), path, sizeof path, collect, &leaves), 0);
}

TEST(SymbolParser, LongNamesAreRefused) {
    IecImageBuilder b;
    const std::string dotted = std::string(200, 'a') + "." + std::string(54, 'b');  // 255 characters
    const u16 v = b.Var(kQ4TypeDint, 0, dotted);
    IecVmDb vm(b.Build());
    u8 type = 0;
    EXPECT_EQ(Q4VmSyb_ParseSingle(vm.Db(), dotted.c_str(), &type), vm.Data32(v));
    const std::string longer = std::string(200, 'a') + "." + std::string(55, 'b');
    EXPECT_EQ(Q4VmSyb_ParseSingle(vm.Db(), longer.c_str(), &type), nullptr);
    EXPECT_EQ(Q4VmSyb_ParseSingle(vm.Db(), std::string(257, 'a').c_str(), &type), nullptr);
}

// Damaged definitions: each answers none, and enumeration ends.
TEST(SymbolParser, DamagedDefinitionsAnswerNone) {
    struct Case {
        const char* name;
        const char* path;
        std::vector<u8> (*types)(u32* root);
    };
    const std::vector<Case> cases = {
        {"struct that contains itself", "X.a.a.a.a.a.a",
         [](u32* root) {
             CtTypeBuilder t;
             *root = t.Struct("S", {{"a", 0, 0}});  // member type: the structure itself
             return t.Bytes();
         }},
        {"member offset past the segment", "X.a",
         [](u32* root) {
             CtTypeBuilder t;
             const u32 d = t.Elementary("DINT", kQ4TypeDint);
             *root = t.Struct("S", {{"a", d, 0xFFFFFFF0u}});
             return t.Bytes();
         }},
        {"element size past the segment", "X[3]",
         [](u32* root) {
             CtTypeBuilder t;
             const u32 d = t.Elementary("DINT", kQ4TypeDint);
             *root = t.Array("A", d, 0x40000000u, {8});
             return t.Bytes();
         }},
        {"flat index that overflows", "X[4000000000,4000000000,4000000000]",
         [](u32* root) {
             CtTypeBuilder t;
             const u32 d = t.Elementary("BOOL", kQ4TypeBool);
             *root = t.Array("A", d, 1, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu});
             return t.Bytes();
         }},
        {"element type outside the table", "X[0]",
         [](u32* root) {
             CtTypeBuilder t;
             *root = t.Array("A", 0xFFF0, 4, {2});
             return t.Bytes();
         }},
        {"member record of another kind", "X.a",
         [](u32* root) {
             CtTypeBuilder t;
             const u32 d = t.Elementary("DINT", kQ4TypeDint);
             const u8 member = static_cast<u8>(t.Bytes().size() + 7);
             *root = t.Raw({'S', 0, 5, 1, 0, member, 0});  // one member, right after
             t.Raw({'a', 0, 1, static_cast<u8>(d), 0, 0, 0, 0, 0});
             return t.Bytes();
         }},
        {"array record cut short", "X[0]",
         [](u32* root) {
             CtTypeBuilder t;
             *root = t.Raw({'A', 0, 2, 0, 0, 4, 0});
             return t.Bytes();
         }},
        {"elementary type code unknown", "X.a",
         [](u32* root) {
             CtTypeBuilder t;
             const u32 q = t.Raw({'Q', 0, 1, 99});
             *root = t.Struct("S", {{"a", q, 0}});
             return t.Bytes();
         }},
        {"name without end", "X.a",
         [](u32* root) {
             CtTypeBuilder t;
             *root = t.Raw({'S', 'S', 'S'});
             return t.Bytes();
         }},
    };
    for (const Case& c : cases) {
        u32 root = 0;
        std::vector<u8> types = c.types(&root);
        IecImageBuilder b;
        b.CtSegment(64, 64).CtTypes(types).ComplexOf(0, root, "X");
        IecVmDb vm(b.Build());
        ASSERT_EQ(vm.Result(), 0) << c.name;
        u8 type = 0;
        EXPECT_EQ(Q4VmSyb_ParseSingle(vm.Db(), c.path, &type), nullptr) << c.name;
        const char* name = nullptr;
        u8* whole = Q4VmSyb_Parse(vm.Db(), c.path, &type, &name);
        if (whole) {
            EXPECT_LT(whole, Ct(vm.Db()) + 64) << c.name;
        }
        char path[256];
        int leaves = 0;
        Q4VmSyb_EnumCTMembers(
            vm.Db(), Q4Map_GetBySymbol(vm.Db(), "X"), path, sizeof path,
            [](const char*, u8, void* user) { ++*static_cast<int*>(user); }, &leaves);
        EXPECT_LE(leaves, 64 * 4 + 64) << c.name;
    }
}

}  // namespace
