// Builds byte-exact IEC code images (q4.cod and change images), the IEC
// application record stored in ladder.pgm and its register location table,
// for tests, benchmarks and fuzz seeds.
//
// Variables are declared by class with initial values and optional symbols
// (which also put them in the variable map); indexes are handed out from 1 in
// each storage class, in declaration order. Programs are TIC word streams,
// written with TicAssembler, which takes its instruction lengths and operand
// kinds from the runtime's own opcode table and resolves labels.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "testsupport/can_def_builder.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcode.h"

// One operand of an assembled instruction: a number or a label reference.
struct TicOperand {
    TicOperand(u16 v) : value(v) {}  // NOLINT: implicit on purpose
    TicOperand(int v) : value(static_cast<u16>(v)) {}  // NOLINT
    static TicOperand Label(std::string name) {
        TicOperand o(0);
        o.label = std::move(name);
        return o;
    }
    u16 value = 0;
    std::string label;
};
inline TicOperand L(std::string name) { return TicOperand::Label(std::move(name)); }

class TicAssembler {
public:
    // Appends one instruction. The operand count must match the opcode table
    // (variable forms: fixed operands + the count given in their count
    // operand); a mismatch fails the current test. Label operands become byte
    // displacements or absolute byte offsets, as the operand kind says.
    TicAssembler& Op(const char* mnemonic, std::vector<TicOperand> operands = {});
    TicAssembler& Op(u16 opcode, std::vector<TicOperand> operands = {});
    // A string constant (408, 439...): destination, then the text as n, n words.
    TicAssembler& LoadString(u16 dst, const std::string& text, bool lockChecked = false);
    TicAssembler& Label(const std::string& name);
    // Raw words, unchecked (for malformed code).
    TicAssembler& Raw(std::vector<u16> words);
    // Byte offset of the next instruction.
    u32 Here() const { return static_cast<u32>(words_.size() * 2); }
    // The words with every label resolved (an unknown label fails the test).
    std::vector<u16> Finish() const;

private:
    struct Fixup {
        size_t at;       // word index of the operand
        bool relative;   // byte displacement from the following word
        std::string label;
    };
    std::vector<u16> words_;
    std::vector<Fixup> fixups_;
    std::map<std::string, u32> labels_;
};

// The text form of a string constant: n, then n words of one character each.
std::vector<u16> TicText(const std::string& text);

// An IEC variable reference / register location token.
constexpr u32 IecVarRef(u32 dataClass, u32 index, u32 bit = 0, bool inCt = false) {
    return 0xC0000000u | (inCt ? 0x20000000u : 0u) | ((dataClass & 7u) << 26) | ((bit & 0x3Fu) << 20) |
           (index & 0xFFFFFu);
}
// Data classes of the reference.
enum IecRefClass : u32 { kRef8 = 0, kRef16 = 1, kRef32 = 2, kRef64 = 3, kRefString = 4, kRefTime = 5, kRefBits = 6 };

constexpr u32 kRegLocEntries = 6464;

// The register location table: 6,464 u32 tokens, 0 = not bound.
class RegLocTable {
public:
    RegLocTable() : tokens_(kRegLocEntries, 0) {}
    RegLocTable& Bind(u32 entry, u32 token) {
        tokens_.at(entry) = token;
        return *this;
    }
    std::vector<u8> Bytes() const;

private:
    std::vector<u32> tokens_;
};

// The application record: u16 0x004A, reserved, "XTI\0", u32 code length,
// reserved, the code image, the register location table.
std::vector<u8> IecAppRecord(const std::vector<u8>& code, const RegLocTable& table = RegLocTable());
// Writes the application record as the stored program file (hostPath, the
// root's ladder.pgm), as a download leaves it: CRC-16, length, the record
// padded to whole words. False when the file cannot be written.
bool IecStoreApp(const std::string& hostPath, const std::vector<u8>& code, const RegLocTable& table);

// Options of a declared variable.
struct IecVarOptions {
    std::string symbol;    // non-empty: a map record with this symbol
    bool publish = false;  // a map record even without a symbol
    int tag = -1;          // numeric tag (>= 0)
    u16 dimension = 0;
    std::string profile;   // 16-byte profile name
};
inline IecVarOptions Sym(std::string symbol) {
    IecVarOptions o;
    o.symbol = std::move(symbol);
    return o;
}

class IecImageBuilder {
public:
    IecImageBuilder();

    // Identity.
    IecImageBuilder& AppName(std::string name);
    IecImageBuilder& CycleTime(u32 us);
    IecImageBuilder& StartPaused(bool paused);
    IecImageBuilder& BuildStamp(u32 stamp);
    IecImageBuilder& SfcCrc(u32 crc);
    IecImageBuilder& LayoutStamp(u32 stamp);
    IecImageBuilder& AppWords(u32 w16, u32 w20, u32 linked, u16 w34);
    IecImageBuilder& Version(std::string version);  // "1.00" by default
    IecImageBuilder& FormatWord(u32 word);           // 0x00000001 by default
    IecImageBuilder& InitOptions(u32 bits);

    // Variables; each returns its index in its class (from 1).
    using VarOptions = IecVarOptions;
    u16 Var(u16 type, u64 initial = 0, VarOptions opt = {});
    u16 Var(u16 type, u64 initial, std::string symbol) { return Var(type, initial, Sym(std::move(symbol))); }
    u16 Real(float initial, std::string symbol = {});
    u16 Lreal(double initial, std::string symbol = {});
    u16 String(u8 capacity, std::string initial = {}, VarOptions opt = {});
    // count consecutive elements of a simple type; one map record with the
    // dimension when a symbol is given. Returns the first index.
    u16 Array(u16 type, u16 count, std::string symbol = {});
    // A published external variable (map record of type | 0x80) for slot k of
    // the external-variable list, which refers to the variable (type, index).
    u16 External(u16 type, u16 index, std::string symbol = {});
    // A complex variable at a CT byte offset with a type-definition text.
    IecImageBuilder& Complex(u32 ctOffset, std::string typeName, std::string symbol);
    // The complex-type definitions (code extension entry 10) as bytes (see
    // CtTypeBuilder); Complex() names follow them. ComplexOf: a complex
    // variable whose type record lies at typeOffset in those bytes.
    IecImageBuilder& CtTypes(std::vector<u8> bytes);
    IecImageBuilder& ComplexOf(u32 ctOffset, u32 typeOffset, std::string symbol);
    // The CAN definition (code extension entry 17).
    IecImageBuilder& Can(CanDefinition def);
    // Spare allocated indexes above the declared ones (sizing A - C).
    IecImageBuilder& Spare(Q4InitClass cls, u16 extra);
    // Highest used index beyond the declared ones (sizing B), for tests.
    IecImageBuilder& UsedOverride(Q4InitClass cls, u16 used);
    IecImageBuilder& StringBufferMinimum(u32 bytes);
    // Change images: pins the allocation of every variable table (declared
    // plus spare indexes), of the variable map and of the instance table at
    // what is declared now. Variables, map records and instances declared
    // afterwards go into that reserve, so the next Build is a change image of
    // the one built before: same allocation, same stamps (a builder keeps its
    // build, layout and SFC stamps unless told otherwise).
    IecImageBuilder& PinAllocation();
    IecImageBuilder& ActiveTimers(u16 count);

    // Variable map.
    IecImageBuilder& MapVsi(bool on);
    IecImageBuilder& MapStamp(u32 stamp);
    IecImageBuilder& MapSpare(u16 entries);
    IecImageBuilder& NoMap();

    // Retained runs (first index and count per class), retain signature, CT part.
    IecImageBuilder& Retain(Q4InitClass cls, u16 first, u16 count);
    IecImageBuilder& RetainSignature(u32 signature);
    IecImageBuilder& RetainCt(u32 offset, u32 size);

    // Function blocks and custom functions.
    IecImageBuilder& FbClass(u16 classNumber, std::string name, u16 useCount = 1);
    // Returns the instance number (from 1).
    u16 FbInstance(u16 classNumber, bool standard, u32 codeWord = 0, std::string name = {});
    IecImageBuilder& InstanceDataSize(u32 bytes);
    IecImageBuilder& CustomFunction(std::string name);

    // Programs and tasks. Returns the program number (from 1).
    u16 Program(std::vector<u16> code, u16 kind = 0);
    // The code of program n (from 1) replaced (a change of its program).
    IecImageBuilder& ReplaceProgram(u16 program, std::vector<u16> code);
    IecImageBuilder& CallStackSize(u16 perProgram);
    IecImageBuilder& ProgramSlots(u32 slots);
    IecImageBuilder& Task(std::string name, std::vector<u16> programs);

    // CT segment and extensions.
    IecImageBuilder& CtSegment(u32 allocated, u32 used);
    IecImageBuilder& CtInit(u32 offset, std::vector<u8> bytes);
    IecImageBuilder& ExtLevel(u32 level);      // raised automatically as features need
    IecImageBuilder& Ext(u32 entry, u32 value);  // a raw value (offsets are not relocated)
    IecImageBuilder& Password(u32 password);
    IecImageBuilder& HeapSize(i32 bytes);
    IecImageBuilder& StringTable(std::vector<std::string> texts);
    // A string table as the compiler lays it out: first and last text number,
    // per number the offset of its length-prefixed text from the table's
    // start (0 for a number without text: nullopt), then the texts.
    IecImageBuilder& TextTable(u32 first, std::vector<std::optional<std::string>> texts);
    // A string table of raw bytes (for malformed tables).
    IecImageBuilder& StringTableBytes(std::vector<u8> bytes);
    IecImageBuilder& Signal(std::vector<u8> bytes);
    // The runtime Modbus configuration (code extension entry 2), as bytes.
    IecImageBuilder& ModbusConfig(std::vector<u8> bytes);
    // A signal from its points {time in ms, value}.
    IecImageBuilder& SignalPoints(const std::vector<std::pair<u32, float>>& points);
    // A variable list (numbered from 0 in declaration order) of entries
    // {type code, index, CT offset}.
    struct VarListEntry {
        u16 type;
        u16 index;
        u32 ctOffset = 0;
    };
    IecImageBuilder& VarList(const std::vector<VarListEntry>& entries);
    // A variable list from raw bytes (for malformed lists).
    IecImageBuilder& VarListBytes(std::vector<u8> bytes);

    // A recipe of `columns` columns (numbered from 0 in declaration order).
    // Each variable: type code (| 0x80 for slot `index` of the external
    // variable list), index, CT byte offset (0: a plain variable), and one
    // value per column (numbers as their raw bits, STRING as texts).
    struct RecipeVar {
        u16 type;
        u16 index;
        u32 ctOffset = 0;
        std::vector<u64> values;
        std::vector<std::string> texts;
    };
    IecImageBuilder& Recipe(u16 columns, const std::vector<RecipeVar>& vars);

    // A public variable of the change-event producer: type, index, event
    // identifier, hysteresis (raw little-endian, both or none), CT offset.
    IecImageBuilder& StaticEvent(u8 type, u16 index, u16 id, std::vector<u8> hystPos = {},
                                 std::vector<u8> hystNeg = {}, u32 ctOffset = 0);
    // A binding connection to another runtime's event server (address text,
    // port, flags 0x10 primary / 0x20 secondary / 0x40 no stamps) and its
    // variables {type, role, index, event identifier, CT offset}; status
    // roles (identifier 0) first.
    struct BindVar {
        u8 type;
        u8 role;
        u16 index;
        u16 id = 0;
        u32 ctOffset = 0;
    };
    IecImageBuilder& BindConnection(std::string ip, u16 port, u16 flags, const std::vector<BindVar>& vars);

    std::vector<u8> Build() const;

    // Where Build put things (valid after Build).
    struct Layout {
        u32 header[kQ4HdrWords] = {};
        u32 programCode[64] = {};
    };
    const Layout& LastLayout() const { return layout_; }

private:
    struct InitValue {
        u16 index;
        std::vector<u8> bytes;
    };
    struct MapRec {
        u16 type, index, dimension, capacity;
        int tag;
        std::string symbol;
        bool hasSymbol;
        std::string profile;
        bool complex;
        u32 ctOffset;
        std::string typeName;
        i64 typeOffset = -1;  // ComplexOf: the record's offset in ctTypes_
    };
    struct Prog {
        std::vector<u16> code;
        u16 kind;
    };
    struct TaskDef {
        std::string name;
        std::vector<u16> programs;
    };
    struct Inst {
        u16 classNumber;
        bool standard;
        u32 codeWord;
        std::string name;
    };

    void AddMap(u16 type, u16 index, u16 capacity, const VarOptions& opt);

    std::vector<u8> modbus_;
    std::string appName_ = "APP";
    std::string version_ = "1.00";
    u32 format_ = 1, cycleTime_ = 0, buildStamp_ = 0x12345678, sfcCrc_ = 0, layoutStamp_ = 0x00010001;
    u32 appW16_ = 0, appW20_ = 0, appLinked_ = 0;
    u16 appW34_ = 0, startPaused_ = 0;
    u32 initOptions_ = 0;
    u16 declared_[6] = {};
    u16 spare_[6] = {0, 0, 0, 0, 1, 0};  // TIME keeps one spare index: its used index must stay below A
    int usedOverride_[6] = {-1, -1, -1, -1, -1, -1};
    int pinned_[6] = {-1, -1, -1, -1, -1, -1};
    int mapPinned_ = -1, instancesPinned_ = -1;
    std::vector<InitValue> init_[6];
    std::vector<u8> stringCaps_;
    u32 stringMin_ = 0;
    u16 activeTimers_ = 0;
    bool mapVsi_ = false, noMap_ = false;
    u32 mapStamp_ = 1;
    u16 mapSpare_ = 0;
    std::vector<MapRec> map_;
    std::vector<std::pair<u16, u16>> xv_;
    u16 retFirst_[6] = {}, retCount_[6] = {};
    u32 retSig_ = 0, retCtOffset_ = 0, retCtSize_ = 0;
    std::vector<std::pair<u16, std::string>> classes_;
    std::vector<u16> classUse_;
    std::vector<Inst> instances_;
    u32 instanceData_ = 0;
    std::vector<std::string> customFuncs_;
    std::vector<Prog> programs_;
    u16 callStack_ = 0;
    std::vector<TaskDef> tasks_;
    bool ct_ = false;
    u32 ctAlloc_ = 0, ctUsed_ = 0;
    std::vector<std::pair<u32, std::vector<u8>>> ctInit_;
    std::vector<u8> ctTypes_;
    std::optional<CanDefinition> can_;
    u32 extLevel_ = 0;
    std::map<u32, u32> ext_;
    std::vector<std::vector<u8>> stringTables_, signals_;
    std::vector<std::vector<u8>> varLists_;
    std::vector<u8> staticEvents_;
    struct BindCnx {
        std::string ip;
        u16 port, flags, first, count;
    };
    std::vector<BindCnx> bindCnx_;
    std::vector<BindVar> bindVars_;
    std::vector<std::pair<u16, std::vector<RecipeVar>>> recipes_;
    mutable Layout layout_;
};
