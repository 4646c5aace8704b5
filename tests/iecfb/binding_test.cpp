// The register binding: the tables built from a location table against a
// database made with the image builder, and the tie rules of the six walkers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/reg_fixture.h"

namespace {

// Location-table entries.
constexpr u32 kIG1 = 0, kQG1 = 256, kS1 = 512, kK1 = 768, kAIG1 = 1024, kAQG1 = 1056, kSR1 = 1088, kESR1 = 1280,
              kI1 = 1344, kQ1 = 3392, kAI1 = 5440, kAQ1 = 5952;

class Binding : public ::testing::Test {
protected:
    Binding() : db_(Image()) {
        pDB = db_.Db();
        iVmAlive = 1;
    }
    ~Binding() override {
        Q4Bind_Clear();
        Q4Bind_DatabaseChanged();
        pDB = nullptr;
        iVmAlive = 0;
    }
    std::vector<u8> Image() {
        IecImageBuilder b;
        for (u16 k = 0; k < 8; ++k) w_[k] = b.Var(kQ4TypeInt);
        for (u16 k = 0; k < 8; ++k) x_[k] = b.Var(kQ4TypeBool);
        ab_ = b.Var(kQ4TypeInt, 0, "a.b");
        return b.Build();
    }
    void Build(const RegLocTable& t) {
        std::vector<u8> bytes = t.Bytes();
        Q4Bind_Build(bytes.data());
    }
    void Scan() {
        IecSyncAllBindings();
    }
    u16 W(int k) { return GetLe16(db_.Data16(w_[k])); }
    void SetW(int k, u16 v) { PutLe16(db_.Data16(w_[k]), v); }
    u8& X(int k) { return *db_.Data8(x_[k]); }
    u32 WRef(int k) { return IecVarRef(kRef16, w_[k]); }
    u32 XRef(int k) { return IecVarRef(kRef8, x_[k]); }

    // Declared first: Image() fills them while db_ is made.
    u16 w_[8] = {}, x_[8] = {}, ab_ = 0;
    RegFixture regs_;
    IecVmDb db_;
};

u8* Word(u32 byteOffset) { return &plc_reg[byteOffset]; }
bool Bit(u32 byteOffset, int bit) { return (plc_reg[byteOffset] >> bit) & 1; }
void SetBit(u32 byteOffset, int bit, bool v) {
    plc_reg[byteOffset] = static_cast<u8>(v ? plc_reg[byteOffset] | (1u << bit) : plc_reg[byteOffset] & ~(1u << bit));
}

TEST_F(Binding, TablesFollowTheIndexMapAndRefuseUnusableTokens) {
    RegLocTable t;
    t.Bind(kIG1, XRef(0)).Bind(kI1 + 9, XRef(1)).Bind(kQG1, XRef(2)).Bind(kQ1, XRef(3));
    t.Bind(kS1, XRef(4)).Bind(kK1 + 4, XRef(5));
    t.Bind(kAIG1, WRef(0)).Bind(kAI1 + 1, WRef(1)).Bind(kAQG1, WRef(2)).Bind(kAQ1, WRef(3));
    t.Bind(kSR1 + 28, WRef(4)).Bind(kESR1, WRef(5));
    // Refused: a word bound to an 8-bit variable, class 7, a string.
    t.Bind(kAI1 + 2, XRef(6)).Bind(kAI1 + 3, IecVarRef(7, 1)).Bind(kAQ1 + 1, IecVarRef(kRefString, 1));
    t.Bind(kI1 + 1, IecVarRef(7, 1));
    // Kept but never resolved: an index beyond its table.
    t.Bind(kAQ1 + 2, IecVarRef(kRef16, 4000));
    Build(t);
    EXPECT_EQ(BoolInputEntries, 2u);
    EXPECT_EQ(BoolOutputEntries, 2u);
    EXPECT_EQ(BoolSysEntries, 2u);
    EXPECT_EQ(WordInputEntries, 2u);
    EXPECT_EQ(WordOutputEntries, 3u);
    EXPECT_EQ(WordSREntries, 2u);
    EXPECT_EQ(FistScanRegFlag, 3);
    EXPECT_EQ(VmDbBitInput_ptr[1].code, 0x2009u);
    EXPECT_EQ(VmDbBitInput_ptr[1].mask, 0x02);
    EXPECT_EQ(VmDbBitInput_ptr[1].a, &plc_reg[kRegI + 1]);
    EXPECT_EQ(VmDbBitSys_ptr[1].bit, 0x14);  // %K5: bit 4, two-way
    EXPECT_EQ(VmDbBitSys_ptr[0].bit, 0x00);
    EXPECT_EQ(VmDbWordSR_ptr[0].flags, 1);  // SR29 two-way, 1-127
    EXPECT_EQ(VmDbWordSR_ptr[0].minimum, 1);
    EXPECT_EQ(VmDbWordSR_ptr[0].maximum, 127);
    EXPECT_EQ(VmDbWordSR_ptr[1].code, 0x10030000u);
    EXPECT_EQ(VmDbWordSR_ptr[1].reg, &plc_reg[kRegESR]);
    EXPECT_EQ(VmDbWordOutput_ptr[2].a, nullptr);
    EXPECT_EQ(QuilletCalculateRegToken(db_.Data16(w_[1]), 0, 1), 0x4010u);
    EXPECT_EQ(QuilletCalculateRegToken(db_.Data8(x_[5]), 3, 0), 0x704u);
    EXPECT_EQ(QuilletCalculateRegToken(db_.Data8(x_[5]), 1, 1), 0u);

    // The unresolved entry costs nothing and writes nowhere.
    PutLe16(Word(kRegAQ + 4), 9);
    Scan();
    EXPECT_EQ(GetLe16(Word(kRegAQ + 4)), 9);

    // An empty table builds six empty tables.
    Q4Bind_Build(RegLocTable().Bytes().data());
    EXPECT_EQ(BoolInputEntries + BoolOutputEntries + BoolSysEntries + WordInputEntries + WordOutputEntries +
                  WordSREntries,
              0u);
}

// Each row: register and variable values set before a scan, and both
// expected after it; rows run in order on one input and one output word.
TEST_F(Binding, WordTiesFollowTheRegisterAndKeepTheLastValue) {
    RegLocTable t;
    t.Bind(kAI1, WRef(0)).Bind(kAQ1, WRef(1));
    Build(t);
    struct Step {
        int reg, var;  // -1: leave as it is
        u16 want;
        const char* what;
    };
    const Step steps[] = {
        {0, 7, 7, "first scan, register 0: the variable's value"},
        {-1, -1, 7, "nothing changed"},
        {5, -1, 5, "the register changed"},
        {-1, 9, 9, "the variable changed"},
        {11, 12, 11, "both changed: the register wins"},
        {20, 20, 20, "both changed to one value"},
        {-1, 21, 21, "then the variable alone: it reaches the register"},
    };
    for (u32 off : {kRegAI, kRegAQ}) {
        int k = off == kRegAI ? 0 : 1;
        SetW(k, 0);
        PutLe16(Word(off), 0);
        Build(t);
        for (const Step& s : steps) {
            if (s.reg >= 0) PutLe16(Word(off), static_cast<u16>(s.reg));
            if (s.var >= 0) SetW(k, static_cast<u16>(s.var));
            Scan();
            EXPECT_EQ(GetLe16(Word(off)), s.want) << s.what << (k ? " (output)" : " (input)");
            EXPECT_EQ(W(k), s.want) << s.what << (k ? " (output)" : " (input)");
        }
    }
    // First scan with a non-zero register: the register's value.
    PutLe16(Word(kRegAI), 3);
    SetW(0, 8);
    Build(t);
    Scan();
    EXPECT_EQ(W(0), 3);
}

TEST_F(Binding, BitTiesFollowTheVariable) {
    RegLocTable t;
    t.Bind(kI1 + 3, XRef(0)).Bind(kQ1 + 10, XRef(1)).Bind(kIG1 + 1, XRef(2));
    Build(t);
    struct Step {
        int reg, var;
        int want;
        const char* what;
    };
    const Step steps[] = {
        {1, 0, 1, "first scan: the register's 1 wins"},
        {0, -1, 0, "the register changed"},
        {-1, 1, 1, "the variable changed"},
        {0, 0, 0, "both changed to one value"},
        {-1, 1, 1, "then the variable alone: it reaches the register"},
        {0, -1, 0, "then the register alone"},
    };
    struct Where {
        u32 off;
        int bit, k;
    };
    for (Where w : {Where{kRegI, 3, 0}, Where{kRegQ + 1, 2, 1}, Where{kRegIG, 1, 2}}) {
        plc_reg[w.off] = 0xFF & ~(1u << w.bit);  // the other bits are kept
        X(w.k) = 0;
        Build(t);
        for (const Step& s : steps) {
            if (s.reg >= 0) SetBit(w.off, w.bit, s.reg);
            if (s.var >= 0) X(w.k) = static_cast<u8>(s.var);
            Scan();
            EXPECT_EQ(Bit(w.off, w.bit), s.want) << s.what;
            EXPECT_EQ(X(w.k), s.want) << s.what;
            EXPECT_EQ(plc_reg[w.off] | (1u << w.bit), 0xFFu);
        }
    }
    // First scan: the variable's 1 wins too.
    plc_reg[kRegI] = 0;
    X(0) = 1;
    Build(t);
    Scan();
    EXPECT_TRUE(Bit(kRegI, 3));
}

TEST_F(Binding, SystemWordsAndBits) {
    RegLocTable t;
    t.Bind(kSR1 + 28, WRef(0)).Bind(kSR1, WRef(1)).Bind(kSR1 + 3, WRef(2)).Bind(kSR1 + 9, WRef(3));
    t.Bind(kS1, XRef(0)).Bind(kK1 + 4, XRef(1));
    SR_Put(29, 5);
    SR_Put(1, 0);
    SR_Put(4, 0x40);
    SR_Put(10, 0);
    SetW(0, 99);
    SetW(3, 1234);
    plc_reg[kRegS] = 1;
    X(0) = 0;
    plc_reg[kRegK] = 0;
    X(1) = 1;
    Build(t);
    Scan();  // first: register to variable everywhere
    EXPECT_EQ(W(0), 5);
    EXPECT_EQ(W(3), 0);
    EXPECT_EQ(X(0), 1);
    EXPECT_EQ(X(1), 0);  // %K5 0 wins on the first scan
    EXPECT_EQ(FistScanRegFlag, 0);

    struct Step {
        int k;     // variable
        u16 var;   // written by the application
        int sr;    // register
        u16 want;  // register and variable afterwards
    };
    const Step steps[] = {
        {0, 50, 29, 50},   // in range 1-127
        {0, 200, 29, 50},  // out of range: undone
        {0, 0, 29, 50},
        {1, 3, 1, 0},      // SR1 0-0: undone
        {2, 9, 4, 0x40},   // SR4 one-way
        {3, 65535, 10, 65535},  // SR10 0-65535, compared unsigned
    };
    for (const Step& s : steps) {
        SetW(s.k, s.var);
        Scan();
        EXPECT_EQ(SR_Get(s.sr), s.want) << "SR" << s.sr << " written " << s.var;
        EXPECT_EQ(W(s.k), s.want) << "SR" << s.sr << " written " << s.var;
    }
    SR_Put(29, 7);  // the register alone
    Scan();
    EXPECT_EQ(W(0), 7);

    X(0) = 0;  // %S1 cannot be changed by the application
    Scan();
    EXPECT_TRUE(plc_reg[kRegS] & 1);
    EXPECT_EQ(X(0), 1);
    X(1) = 1;  // %K5 two-way from the second scan on
    Scan();
    EXPECT_EQ((plc_reg[kRegK] >> 4) & 1, 1);
    plc_reg[kRegK] = 0;
    Scan();
    EXPECT_EQ(X(1), 0);
}

TEST_F(Binding, InputsAndOutputsOnlyWhileRunningAndFollowANewDatabase) {
    RegLocTable t;
    t.Bind(kAI1, WRef(0)).Bind(kSR1 + 3, WRef(1));
    SR_Put(4, 0x12);
    PutLe16(Word(kRegAI), 4);
    Build(t);
    iVmAlive = 2;
    Scan();
    EXPECT_EQ(W(0), 0);
    EXPECT_EQ(W(1), 0x12);  // the system words run whatever the state
    iVmAlive = 1;
    Scan();
    EXPECT_EQ(W(0), 4);

    // Another database is linked: the bindings resolve into it.
    IecVmDb other(Image());
    pDB = other.Db();
    Q4Bind_DatabaseChanged();
    PutLe16(Word(kRegAI), 6);
    Scan();
    EXPECT_EQ(GetLe16(other.Data16(w_[0])), 6);
    EXPECT_EQ(W(0), 4);
    pDB = nullptr;
    Q4Bind_DatabaseChanged();
    Scan();  // no database: nothing bound is touched
    pDB = db_.Db();
    Q4Bind_DatabaseChanged();
}

TEST(BindingTools, PackersAndThePathLookup) {
    const u8 bytes[10] = {1, 0, 1, 0, 0, 0, 0, 1, 1, 1};
    u8 packed[2] = {0xFF, 0xFF};
    Quillet_Byte_To_Bit(bytes, packed, 10);
    EXPECT_EQ(packed[0], 0x85);
    EXPECT_EQ(packed[1], 0x03);
    u8 back[10] = {};
    Quillet_Bit_To_Byte(packed, back, 10);
    EXPECT_EQ(std::memcmp(back, bytes, 10), 0);

    IecImageBuilder b;
    u16 ab = b.Var(kQ4TypeInt, 0, "a.b");
    b.Var(kQ4TypeInt, 0, "c");
    IecVmDb db(b.Build());
    const char* path = "a.b[2]";
    const char* cursor = path;
    u8* item = Varnok_Q4VmSyb_GetMapItem(db.Db(), &cursor);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(Q4Map_GetIndex(db.Db(), item), ab);
    EXPECT_EQ(cursor, path + 3);
    cursor = "c.x";
    EXPECT_NE(Varnok_Q4VmSyb_GetMapItem(db.Db(), &cursor), nullptr);
    EXPECT_STREQ(cursor, ".x");
    for (const char* miss : {"a", "a.c", "zz[1]"}) {
        cursor = miss;
        EXPECT_EQ(Varnok_Q4VmSyb_GetMapItem(db.Db(), &cursor), nullptr) << miss;
    }
    std::string longName(300, 'x');
    cursor = longName.c_str();
    EXPECT_EQ(Varnok_Q4VmSyb_GetMapItem(db.Db(), &cursor), nullptr);

    pDB = db.Db();
    EXPECT_EQ(EnumQuilletVars(), 1);
    EXPECT_EQ(quillet_variables_enumerateded, 1);
    ClearQuilletFlags(0);
    EXPECT_EQ(quillet_variables_enumerateded, 0);
    pDB = nullptr;
    EXPECT_EQ(EnumQuilletVars(), 0);
}

}  // namespace
