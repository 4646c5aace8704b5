#include "testsupport/iec_image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "iec/kernel/q4opcodes.h"
#include "platform/fileio.h"

// ---------------------------------------------------------------------------
// TIC assembler
// ---------------------------------------------------------------------------

std::vector<u16> TicText(const std::string& text) {
    std::vector<u16> w{static_cast<u16>(text.size())};
    for (unsigned char ch : text) w.push_back(ch);
    return w;
}

TicAssembler& TicAssembler::Op(const char* mnemonic, std::vector<TicOperand> operands) {
    u16 op = Q4Op_Find(mnemonic);
    if (op == 0) {
        ADD_FAILURE() << "unknown mnemonic " << mnemonic;
        return *this;
    }
    return Op(op, std::move(operands));
}

TicAssembler& TicAssembler::Op(u16 opcode, std::vector<TicOperand> operands) {
    const Q4OpInfo& info = Q4Op_Info(opcode);
    if (!info.name) {
        ADD_FAILURE() << "opcode " << opcode << " has no operation";
        return *this;
    }
    size_t expect = info.words - 1u;
    if (info.countAt) {
        if (operands.size() < info.countAt) {
            ADD_FAILURE() << info.name << ": count operand missing";
            return *this;
        }
        expect += operands[info.countAt - 1].value;
    }
    if (operands.size() != expect) {
        ADD_FAILURE() << info.name << ": " << operands.size() << " operands, expected " << expect;
        return *this;
    }
    size_t base = words_.size();
    words_.push_back(opcode);
    for (size_t i = 0; i < operands.size(); ++i) {
        const TicOperand& o = operands[i];
        words_.push_back(o.value);
        if (o.label.empty()) continue;
        Q4Operand kind = i < 6 && i + 1 < info.words ? info.ops[i] : kQ4OpndTarget;
        fixups_.push_back(Fixup{base + 1 + i, kind == kQ4OpndDisp, o.label});
    }
    return *this;
}

TicAssembler& TicAssembler::LoadString(u16 dst, const std::string& text, bool lockChecked) {
    std::vector<TicOperand> ops{dst};
    for (u16 w : TicText(text)) ops.emplace_back(w);
    return Op(lockChecked ? "LDK_STRING_L" : "LDK_STRING", std::move(ops));
}

TicAssembler& TicAssembler::Label(const std::string& name) {
    labels_[name] = Here();
    return *this;
}

TicAssembler& TicAssembler::Raw(std::vector<u16> words) {
    words_.insert(words_.end(), words.begin(), words.end());
    return *this;
}

std::vector<u16> TicAssembler::Finish() const {
    std::vector<u16> out = words_;
    for (const Fixup& f : fixups_) {
        auto it = labels_.find(f.label);
        if (it == labels_.end()) {
            ADD_FAILURE() << "unknown label " << f.label;
            continue;
        }
        i64 target = it->second;
        i64 value = f.relative ? target - static_cast<i64>((f.at + 1) * 2) : target;
        out[f.at] = static_cast<u16>(value);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Application record and register location table
// ---------------------------------------------------------------------------

std::vector<u8> RegLocTable::Bytes() const {
    std::vector<u8> out(tokens_.size() * 4);
    for (size_t i = 0; i < tokens_.size(); ++i) PutLe32(&out[4 * i], tokens_[i]);
    return out;
}

bool IecStoreApp(const std::string& hostPath, const std::vector<u8>& code, const RegLocTable& table) {
    std::vector<u8> rec = IecAppRecord(code, table);
    if (rec.size() % 2) rec.push_back(0);
    std::vector<u8> file(8);
    PutLe16(file.data(), crc16(rec.data(), static_cast<u32>(rec.size())));
    PutLe32(file.data() + 4, static_cast<u32>(rec.size()));
    file.insert(file.end(), rec.begin(), rec.end());
    return File_WriteAtomic(hostPath, file.data(), file.size());
}

std::vector<u8> IecAppRecord(const std::vector<u8>& code, const RegLocTable& table) {
    std::vector<u8> t = table.Bytes();
    std::vector<u8> out(16 + code.size() + t.size(), 0);
    PutLe16(out.data(), 0x004A);
    std::memcpy(out.data() + 4, "XTI", 4);
    PutLe32(out.data() + 8, static_cast<u32>(code.size()));
    if (!code.empty()) std::memcpy(out.data() + 16, code.data(), code.size());
    std::memcpy(out.data() + 16 + code.size(), t.data(), t.size());
    return out;
}

// ---------------------------------------------------------------------------
// Declarations
// ---------------------------------------------------------------------------

namespace {

Q4InitClass ClassOf(u16 type) {
    switch (Q4Type_Class(type)) {
        case kQ4ClassData8: return kQ4InitClsData8;
        case kQ4ClassData16: return kQ4InitClsData16;
        case kQ4ClassData32: return kQ4InitClsData32;
        case kQ4ClassData64: return kQ4InitClsData64;
        case kQ4ClassTime: return kQ4InitClsTime;
        default: return kQ4InitClsString;
    }
}

}  // namespace

IecImageBuilder::IecImageBuilder() = default;

IecImageBuilder& IecImageBuilder::AppName(std::string name) { appName_ = std::move(name); return *this; }
IecImageBuilder& IecImageBuilder::CycleTime(u32 us) { cycleTime_ = us; return *this; }
IecImageBuilder& IecImageBuilder::StartPaused(bool paused) { startPaused_ = paused ? 1 : 0; return *this; }
IecImageBuilder& IecImageBuilder::BuildStamp(u32 stamp) { buildStamp_ = stamp; return *this; }
IecImageBuilder& IecImageBuilder::SfcCrc(u32 crc) { sfcCrc_ = crc; return *this; }
IecImageBuilder& IecImageBuilder::LayoutStamp(u32 stamp) { layoutStamp_ = stamp; return *this; }
IecImageBuilder& IecImageBuilder::AppWords(u32 w16, u32 w20, u32 linked, u16 w34) {
    appW16_ = w16; appW20_ = w20; appLinked_ = linked; appW34_ = w34;
    return *this;
}
IecImageBuilder& IecImageBuilder::Version(std::string version) { version_ = std::move(version); return *this; }
IecImageBuilder& IecImageBuilder::FormatWord(u32 word) { format_ = word; return *this; }
IecImageBuilder& IecImageBuilder::InitOptions(u32 bits) { initOptions_ = bits; return *this; }

void IecImageBuilder::AddMap(u16 type, u16 index, u16 capacity, const VarOptions& opt) {
    if (opt.symbol.empty() && !opt.publish && opt.tag < 0) return;
    map_.push_back(MapRec{type, index, opt.dimension, capacity, opt.tag, opt.symbol, !opt.symbol.empty(), opt.profile,
                          false, 0, {}});
}

u16 IecImageBuilder::Var(u16 type, u64 initial, VarOptions opt) {
    Q4InitClass cls = ClassOf(type);
    u16 index = ++declared_[cls];
    u8 size = Q4Type_Size(type);
    if (initial != 0 && cls != kQ4InitClsString) {
        std::vector<u8> bytes(size);
        for (u8 i = 0; i < size; ++i) bytes[i] = static_cast<u8>(initial >> (8 * i));
        init_[cls].push_back(InitValue{index, bytes});
    }
    AddMap(type, index, 0, opt);
    return index;
}

u16 IecImageBuilder::Real(float initial, std::string symbol) {
    u32 bits;
    std::memcpy(&bits, &initial, 4);
    return Var(kQ4TypeReal, bits, Sym(std::move(symbol)));
}

u16 IecImageBuilder::Lreal(double initial, std::string symbol) {
    u64 bits;
    std::memcpy(&bits, &initial, 8);
    return Var(kQ4TypeLreal, bits, Sym(std::move(symbol)));
}

u16 IecImageBuilder::String(u8 capacity, std::string initial, VarOptions opt) {
    u16 index = ++declared_[kQ4InitClsString];
    stringCaps_.push_back(capacity);
    if (!initial.empty()) {
        std::vector<u8> bytes{static_cast<u8>(initial.size())};
        bytes.insert(bytes.end(), initial.begin(), initial.end());
        init_[kQ4InitClsString].push_back(InitValue{index, bytes});
    }
    AddMap(kQ4TypeString, index, capacity, opt);
    return index;
}

u16 IecImageBuilder::Array(u16 type, u16 count, std::string symbol) {
    u16 first = 0;
    for (u16 i = 0; i < count; ++i) {
        u16 idx = type == kQ4TypeString ? String(0) : Var(type);
        if (i == 0) first = idx;
    }
    if (!symbol.empty()) {
        VarOptions opt = Sym(std::move(symbol));
        opt.dimension = count;
        AddMap(type, first, 0, opt);
    }
    return first;
}

u16 IecImageBuilder::External(u16 type, u16 index, std::string symbol) {
    xv_.emplace_back(type, index);
    u16 slot = static_cast<u16>(xv_.size());
    VarOptions opt = Sym(std::move(symbol));
    opt.publish = true;
    AddMap(static_cast<u16>(type | kQ4TypeExternal), slot, 0, opt);
    return slot;
}

IecImageBuilder& IecImageBuilder::Complex(u32 ctOffset, std::string typeName, std::string symbol) {
    map_.push_back(MapRec{kQ4TypeComplex, 0, 0, 0, -1, symbol, !symbol.empty(), {}, true, ctOffset, typeName});
    return *this;
}

IecImageBuilder& IecImageBuilder::CtTypes(std::vector<u8> bytes) {
    ctTypes_ = std::move(bytes);
    return *this;
}

IecImageBuilder& IecImageBuilder::Can(CanDefinition def) {
    can_ = std::move(def);
    return *this;
}

IecImageBuilder& IecImageBuilder::ComplexOf(u32 ctOffset, u32 typeOffset, std::string symbol) {
    MapRec r{kQ4TypeComplex, 0, 0, 0, -1, symbol, !symbol.empty(), {}, true, ctOffset, {}};
    r.typeOffset = static_cast<i64>(typeOffset);
    map_.push_back(r);
    return *this;
}

IecImageBuilder& IecImageBuilder::Spare(Q4InitClass cls, u16 extra) { spare_[cls] = extra; return *this; }
IecImageBuilder& IecImageBuilder::UsedOverride(Q4InitClass cls, u16 used) { usedOverride_[cls] = used; return *this; }
IecImageBuilder& IecImageBuilder::StringBufferMinimum(u32 bytes) { stringMin_ = bytes; return *this; }
IecImageBuilder& IecImageBuilder::PinAllocation() {
    for (int k = 0; k < 6; ++k) pinned_[k] = declared_[k] + spare_[k];
    mapPinned_ = static_cast<int>(map_.size() + mapSpare_);
    instancesPinned_ = static_cast<int>(instances_.size());
    return *this;
}
IecImageBuilder& IecImageBuilder::ActiveTimers(u16 count) { activeTimers_ = count; return *this; }
IecImageBuilder& IecImageBuilder::MapVsi(bool on) { mapVsi_ = on; return *this; }
IecImageBuilder& IecImageBuilder::MapStamp(u32 stamp) { mapStamp_ = stamp; return *this; }
IecImageBuilder& IecImageBuilder::MapSpare(u16 entries) { mapSpare_ = entries; return *this; }
IecImageBuilder& IecImageBuilder::NoMap() { noMap_ = true; return *this; }
IecImageBuilder& IecImageBuilder::Retain(Q4InitClass cls, u16 first, u16 count) {
    retFirst_[cls] = first;
    retCount_[cls] = count;
    return *this;
}
IecImageBuilder& IecImageBuilder::RetainSignature(u32 signature) { retSig_ = signature; return *this; }
IecImageBuilder& IecImageBuilder::RetainCt(u32 offset, u32 size) {
    retCtOffset_ = offset;
    retCtSize_ = size;
    return *this;
}
IecImageBuilder& IecImageBuilder::FbClass(u16 classNumber, std::string name, u16 useCount) {
    classes_.emplace_back(classNumber, std::move(name));
    classUse_.push_back(useCount);
    return *this;
}
u16 IecImageBuilder::FbInstance(u16 classNumber, bool standard, u32 codeWord, std::string name) {
    instances_.push_back(Inst{classNumber, standard, codeWord, std::move(name)});
    return static_cast<u16>(instances_.size());
}
IecImageBuilder& IecImageBuilder::InstanceDataSize(u32 bytes) { instanceData_ = bytes; return *this; }
IecImageBuilder& IecImageBuilder::CustomFunction(std::string name) { customFuncs_.push_back(std::move(name)); return *this; }
IecImageBuilder& IecImageBuilder::ReplaceProgram(u16 program, std::vector<u16> code) {
    programs_.at(program - 1u).code = std::move(code);
    return *this;
}
u16 IecImageBuilder::Program(std::vector<u16> code, u16 kind) {
    programs_.push_back(Prog{std::move(code), kind});
    return static_cast<u16>(programs_.size());
}
IecImageBuilder& IecImageBuilder::CallStackSize(u16 perProgram) { callStack_ = perProgram; return *this; }
IecImageBuilder& IecImageBuilder::ProgramSlots(u32 slots) { return Ext(kQ4ExtProgSlots, slots); }
IecImageBuilder& IecImageBuilder::Task(std::string name, std::vector<u16> programs) {
    tasks_.push_back(TaskDef{std::move(name), std::move(programs)});
    return *this;
}
IecImageBuilder& IecImageBuilder::CtSegment(u32 allocated, u32 used) {
    ct_ = true;
    ctAlloc_ = allocated;
    ctUsed_ = used;
    return *this;
}
IecImageBuilder& IecImageBuilder::CtInit(u32 offset, std::vector<u8> bytes) {
    ctInit_.emplace_back(offset, std::move(bytes));
    return *this;
}
IecImageBuilder& IecImageBuilder::ExtLevel(u32 level) { extLevel_ = level; return *this; }
IecImageBuilder& IecImageBuilder::Ext(u32 entry, u32 value) {
    ext_[entry] = value;
    extLevel_ = std::max(extLevel_, Q4VMCode_ExtLevel(entry));
    return *this;
}
IecImageBuilder& IecImageBuilder::StaticEvent(u8 type, u16 index, u16 id, std::vector<u8> hystPos,
                                              std::vector<u8> hystNeg, u32 ctOffset) {
    std::vector<u8>& e = staticEvents_;
    e.push_back(type);
    e.push_back(ctOffset ? 0x80 : 0);
    for (u16 v : {index, id, static_cast<u16>(hystPos.size())}) {
        e.push_back(static_cast<u8>(v));
        e.push_back(static_cast<u8>(v >> 8));
    }
    e.insert(e.end(), hystPos.begin(), hystPos.end());
    e.insert(e.end(), hystNeg.begin(), hystNeg.end());
    if (ctOffset)
        for (int k = 0; k < 4; ++k) e.push_back(static_cast<u8>(ctOffset >> (8 * k)));
    return *this;
}

IecImageBuilder& IecImageBuilder::BindConnection(std::string ip, u16 port, u16 flags, const std::vector<BindVar>& vars) {
    bindCnx_.push_back({std::move(ip), port, flags, static_cast<u16>(bindVars_.size()), static_cast<u16>(vars.size())});
    bindVars_.insert(bindVars_.end(), vars.begin(), vars.end());
    return *this;
}

IecImageBuilder& IecImageBuilder::Password(u32 password) { return Ext(kQ4ExtPassword, password); }
IecImageBuilder& IecImageBuilder::HeapSize(i32 bytes) { return Ext(kQ4ExtHeapSize, static_cast<u32>(bytes)); }
IecImageBuilder& IecImageBuilder::StringTable(std::vector<std::string> texts) {
    std::vector<u8> b;
    for (const std::string& t : texts) {
        b.insert(b.end(), t.begin(), t.end());
        b.push_back(0);
    }
    stringTables_.push_back(std::move(b));
    return *this;
}
IecImageBuilder& IecImageBuilder::TextTable(u32 first, std::vector<std::optional<std::string>> texts) {
    const u32 n = static_cast<u32>(texts.size());
    std::vector<u8> b(8 + 4 * n, 0);
    PutLe32(&b[0], first);
    PutLe32(&b[4], first + n - 1);
    for (u32 i = 0; i < n; ++i) {
        if (!texts[i]) continue;
        PutLe32(&b[8 + 4 * i], static_cast<u32>(b.size()));
        b.push_back(static_cast<u8>(texts[i]->size()));
        b.insert(b.end(), texts[i]->begin(), texts[i]->end());
    }
    return StringTableBytes(std::move(b));
}
IecImageBuilder& IecImageBuilder::StringTableBytes(std::vector<u8> bytes) {
    stringTables_.push_back(std::move(bytes));
    return *this;
}
IecImageBuilder& IecImageBuilder::ModbusConfig(std::vector<u8> bytes) {
    modbus_ = std::move(bytes);
    return *this;
}

IecImageBuilder& IecImageBuilder::Signal(std::vector<u8> bytes) {
    signals_.push_back(std::move(bytes));
    return *this;
}

IecImageBuilder& IecImageBuilder::SignalPoints(const std::vector<std::pair<u32, float>>& points) {
    std::vector<u8> b(4 + 8 * points.size());
    PutLe32(b.data(), static_cast<u32>(points.size()));
    for (size_t k = 0; k < points.size(); ++k) {
        PutLe32(b.data() + 4 + 8 * k, points[k].first);
        std::memcpy(b.data() + 8 + 8 * k, &points[k].second, 4);
    }
    return Signal(std::move(b));
}
IecImageBuilder& IecImageBuilder::VarList(const std::vector<VarListEntry>& entries) {
    std::vector<u8> b(8 + 8 * entries.size());
    PutLe16(b.data(), static_cast<u16>(entries.size()));
    for (size_t k = 0; k < entries.size(); ++k) {
        PutLe16(b.data() + 8 + 8 * k, entries[k].type);
        PutLe16(b.data() + 10 + 8 * k, entries[k].index);
        PutLe32(b.data() + 12 + 8 * k, entries[k].ctOffset);
    }
    return VarListBytes(std::move(b));
}
IecImageBuilder& IecImageBuilder::VarListBytes(std::vector<u8> bytes) {
    varLists_.push_back(std::move(bytes));
    return *this;
}
IecImageBuilder& IecImageBuilder::Recipe(u16 columns, const std::vector<RecipeVar>& vars) {
    recipes_.push_back({columns, vars});
    return *this;
}

// ---------------------------------------------------------------------------
// Emission
// ---------------------------------------------------------------------------

namespace {

struct Out {
    std::vector<u8> b;
    u32 Here() const { return static_cast<u32>(b.size()); }
    void Align(u32 n) {
        while (b.size() % n) b.push_back(0);
    }
    u32 Zeros(u32 n) {
        u32 at = Here();
        b.resize(b.size() + n, 0);
        return at;
    }
    void U8(u8 v) { b.push_back(v); }
    void U16(u16 v) {
        u8 t[2];
        PutLe16(t, v);
        b.insert(b.end(), t, t + 2);
    }
    void U32(u32 v) {
        u8 t[4];
        PutLe32(t, v);
        b.insert(b.end(), t, t + 4);
    }
    void Bytes(const void* p, size_t n) {
        const u8* s = static_cast<const u8*>(p);
        b.insert(b.end(), s, s + n);
    }
    void Text(const std::string& s) {
        Bytes(s.data(), s.size());
        U8(0);
    }
    void Fixed(const std::string& s, u32 n) {
        u32 at = Zeros(n);
        std::memcpy(&b[at], s.data(), std::min<size_t>(s.size(), n));
    }
    void Put16(u32 at, u16 v) { PutLe16(&b[at], v); }
    void Put32(u32 at, u32 v) { PutLe32(&b[at], v); }
};

}  // namespace

std::vector<u8> IecImageBuilder::Build() const {
    Out o;
    layout_ = Layout{};
    u32* hdr = layout_.header;
    o.Zeros(kQ4HeaderBytes);
    hdr[kQ4HdrFormat] = format_;
    hdr[kQ4HdrLayoutStamp] = layoutStamp_;

    // Signature block.
    hdr[kQ4HdrSignature] = o.Here();
    o.Fixed("Q4RTI", 16);
    o.Fixed(version_, 8);

    // Application block.
    hdr[kQ4HdrApplication] = o.Here();
    u32 app = o.Zeros(kQ4ApplicationBytes);
    std::memcpy(&o.b[app], appName_.data(), std::min<size_t>(appName_.size(), 15));
    o.Put32(app + 16, appW16_);
    o.Put32(app + 20, appW20_);
    o.Put32(app + 24, cycleTime_);
    o.Put32(app + 28, appLinked_);
    o.Put16(app + 32, startPaused_);
    o.Put16(app + 34, appW34_);
    o.Put32(app + 36, buildStamp_);
    o.Put32(app + 40, sfcCrc_);

    // Sizing block.
    hdr[kQ4HdrSizing] = o.Here();
    u32 sz = o.Zeros(kQ4SizingBytes);
    static constexpr u32 kSz[] = {kQ4SizeData8, kQ4SizeData16, kQ4SizeData32, kQ4SizeData64, kQ4SizeTime, kQ4SizeString};
    for (int k = 0; k < 6; ++k) {
        u16 c = declared_[k];
        o.Put16(sz + kSz[k], static_cast<u16>(pinned_[k] >= 0 ? pinned_[k] : c + spare_[k]));
        o.Put16(sz + kSz[k] + 2, usedOverride_[k] >= 0 ? static_cast<u16>(usedOverride_[k]) : c);
        o.Put16(sz + kSz[k] + 4, c);
    }
    o.Put16(sz + kQ4SizeActiveTime, activeTimers_ ? static_cast<u16>(activeTimers_ - 1) : 0);
    o.Put16(sz + kQ4SizeXvAlloc, static_cast<u16>(xv_.size()));
    o.Put16(sz + kQ4SizeXvUsed, static_cast<u16>(xv_.size()));
    o.Put32(sz + kQ4SizeStringMin, stringMin_);

    // Initial-value directory (filled below).
    hdr[kQ4HdrInitDir] = o.Here();
    u32 idir = o.Zeros(kQ4InitDirBytes);
    o.Put32(idir + kQ4InitOptions, initOptions_);

    // Program count.
    hdr[kQ4HdrProgCount] = o.Here();
    o.U16(static_cast<u16>(programs_.size()));
    o.U16(callStack_);

    // Extension directory: level raised to what the features need.
    std::map<u32, u32> ext = ext_;
    u32 level = extLevel_;
    auto need = [&](u32 entry) { level = std::max(level, Q4VMCode_ExtLevel(entry)); };
    if (ct_) need(kQ4ExtCtSegment);
    bool complex = std::any_of(map_.begin(), map_.end(), [](const MapRec& r) { return r.complex; });
    if (complex) need(kQ4ExtCtTypes);
    if (can_) need(kQ4ExtCan);
    if (!stringTables_.empty()) need(kQ4ExtStringTables);
    if (!signals_.empty()) need(kQ4ExtSignals);
    if (!modbus_.empty()) need(kQ4ExtModbus);
    if (!varLists_.empty()) need(kQ4ExtVarLists);
    if (!recipes_.empty()) need(kQ4ExtRecipes);
    if (!staticEvents_.empty()) need(kQ4ExtStaticEvents);
    if (!bindCnx_.empty()) need(kQ4ExtBindVars);
    bool names = std::any_of(instances_.begin(), instances_.end(), [](const Inst& i) { return !i.name.empty(); });
    if (names) need(kQ4ExtInstanceNames);
    if (retCtSize_) level = std::max<u32>(level, 11);
    hdr[kQ4HdrExtDir] = o.Here();
    u32 edir = o.Zeros(4 + 4 * Q4VMCode_ExtEntries(level));
    o.Put32(edir, level);

    // Custom functions and classes.
    o.Align(4);
    hdr[kQ4HdrCustomFuncs] = o.Here();
    o.U16(static_cast<u16>(customFuncs_.size()));
    o.U16(static_cast<u16>(customFuncs_.size()));
    for (const std::string& n : customFuncs_) {
        o.U32(0);
        o.Fixed(n, 16);
    }
    hdr[kQ4HdrClasses] = o.Here();
    o.U16(static_cast<u16>(classes_.size()));
    o.U16(static_cast<u16>(classes_.size()));
    for (size_t i = 0; i < classes_.size(); ++i) {
        o.U16(classes_[i].first);
        o.U16(classUse_[i]);
        o.Fixed(classes_[i].second, 16);
    }

    // Task chain, each record holding its program-number list.
    if (!tasks_.empty()) {
        hdr[kQ4HdrTasks] = o.Here();
        for (size_t i = 0; i < tasks_.size(); ++i) {
            u32 rec = o.Here();
            o.Zeros(4);
            o.Text(tasks_[i].name);
            o.Align(2);
            o.Put16(rec + 2, static_cast<u16>(o.Here() - rec));
            for (u16 p : tasks_[i].programs) o.U16(p);
            o.U16(0);
            o.Align(4);
            if (i + 1 < tasks_.size()) o.Put16(rec, static_cast<u16>(o.Here() - rec));
        }
    }

    // External variables.
    hdr[kQ4HdrExternals] = o.Here();
    for (auto [type, index] : xv_) {
        o.U16(type);
        o.U16(index);
    }
    o.U32(0);

    // Function-block instances and their names.
    hdr[kQ4HdrInstances] = o.Here();
    u32 ib = o.Zeros(kQ4InstanceHeaderBytes);
    o.Put16(ib, static_cast<u16>(instancesPinned_ >= 0 ? instancesPinned_ : static_cast<int>(instances_.size())));
    o.Put16(ib + 2, static_cast<u16>(instances_.size()));
    o.Put32(ib + 12, instanceData_);
    for (const Inst& i : instances_) {
        o.U16(i.standard ? 1 : 0);
        o.U16(i.classNumber);
        o.U32(i.codeWord);
    }
    o.Zeros(kQ4InstanceEntryBytes);
    if (names) {
        ext[kQ4ExtInstanceNames] = o.Here();
        for (const Inst& i : instances_) o.Text(i.name);
        o.Align(4);
    }

    // Program table, then the code of every program.
    hdr[kQ4HdrProgTable] = o.Here();
    u32 pt = o.Zeros(static_cast<u32>(kQ4ProgEntryBytes * (programs_.size() + 1)));
    for (size_t i = 0; i < programs_.size(); ++i) {
        u32 at = o.Here();
        for (u16 w : programs_[i].code) o.U16(w);
        o.Align(4);
        if (i < std::size(layout_.programCode)) layout_.programCode[i] = at;
        o.Put32(pt + static_cast<u32>(kQ4ProgEntryBytes * i), at);
        o.Put32(pt + static_cast<u32>(kQ4ProgEntryBytes * i) + 4, static_cast<u32>(programs_[i].code.size() * 2));
        o.Put16(pt + static_cast<u32>(kQ4ProgEntryBytes * i) + 8, programs_[i].kind);
    }

    // Initial values.
    static constexpr u32 kDirAt[] = {kQ4InitData8, kQ4InitData16, kQ4InitData32, kQ4InitData64, kQ4InitTime, kQ4InitStrings};
    for (int k = 0; k < 6; ++k) {
        o.Align(4);
        o.Put32(idir + kDirAt[k], o.Here());
        for (const InitValue& v : init_[k]) {
            o.U16(v.index);
            if (k == kQ4InitClsString) {
                o.Bytes(v.bytes.data(), v.bytes.size());
                o.U8(0);
                o.Align(2);
            } else if (k == kQ4InitClsData8 || k == kQ4InitClsData16) {
                o.Bytes(v.bytes.data(), v.bytes.size());
                if (k == kQ4InitClsData8) o.U8(0);
            } else {
                o.U16(0);
                o.Bytes(v.bytes.data(), v.bytes.size());
            }
        }
        o.U16(0);
    }
    o.Put32(idir + kQ4InitStringCaps, o.Here());
    o.Bytes(stringCaps_.data(), stringCaps_.size());
    o.U8(0);
    o.Align(4);
    o.Put32(idir + kQ4InitVarTypes, o.Here());
    o.U32(0);
    o.Put32(idir + kQ4InitRetain, o.Here());
    u32 ret = o.Zeros(kQ4RetainRecordBytes);
    static constexpr u32 kRetWord[] = {32, 40, 34, 42, 36, 38};  // data8, data16, data32, data64, TIME, STRING
    for (int k = 0; k < 6; ++k) {
        o.Put16(ret + 2 * kRetWord[k], retCount_[k]);
        o.Put16(ret + 2 * kRetWord[k] + 2, retFirst_[k]);
    }
    o.Put32(ret + 88, retSig_);
    o.Put32(ret + 92, retCtSize_);
    o.Put32(ret + 96, retCtOffset_);

    // CT segment definition and complex-type definitions.
    if (ct_) {
        ext[kQ4ExtCtSegment] = o.Here();
        o.U32(ctAlloc_);
        o.U32(ctUsed_);
        for (const auto& [off, bytes] : ctInit_) {
            o.U8(static_cast<u8>(bytes.size()));
            o.U32(off);
            o.Bytes(bytes.data(), bytes.size());
        }
        o.U8(0);
        o.Align(4);
    }
    std::vector<u32> typeNameAt(map_.size(), 0);
    if (complex) {
        u32 base = o.Here();
        ext[kQ4ExtCtTypes] = base;
        if (ctTypes_.empty()) o.U32(0);
        o.Bytes(ctTypes_.data(), ctTypes_.size());
        for (size_t i = 0; i < map_.size(); ++i) {
            if (!map_[i].complex) continue;
            if (map_[i].typeOffset >= 0) {
                typeNameAt[i] = static_cast<u32>(map_[i].typeOffset);
                continue;
            }
            typeNameAt[i] = o.Here() - base;
            o.Text(map_[i].typeName);
        }
        o.Align(4);
    }

    // String tables and signals: u16 0, u16 count, u32 offsets at +4n.
    auto tables = [&](const std::vector<std::vector<u8>>& list, u32 entry) {
        if (list.empty()) return;
        u32 t = o.Here();
        ext[entry] = t;
        o.U16(0);
        o.U16(static_cast<u16>(list.size()));
        u32 slots = o.Zeros(static_cast<u32>(4 * list.size()));
        for (size_t i = 0; i < list.size(); ++i) {
            o.Put32(slots + static_cast<u32>(4 * i), o.Here());
            o.Bytes(list[i].data(), list[i].size());
            o.Align(4);
        }
    };
    if (can_) {
        ext[kQ4ExtCan] = o.Here();
        const std::vector<u8> can = can_->Bytes(o.Here());
        o.Bytes(can.data(), can.size());
        o.Align(4);
    }
    tables(stringTables_, kQ4ExtStringTables);
    tables(signals_, kQ4ExtSignals);
    tables(varLists_, kQ4ExtVarLists);
    if (!modbus_.empty()) {
        ext[kQ4ExtModbus] = o.Here();
        o.Bytes(modbus_.data(), modbus_.size());
        o.Align(4);
    }

    // Recipes: a directory as the tables above; each recipe u16 variable
    // count, u16 column count, u32 offsets of its variable entries; an entry
    // u16 type, u16 index, u32 CT offset, then the values of every column.
    // Every offset counts from the start of the image.
    if (!recipes_.empty()) {
        u32 t = o.Here();
        ext[kQ4ExtRecipes] = t;
        o.U16(0);
        o.U16(static_cast<u16>(recipes_.size()));
        u32 slots = o.Zeros(static_cast<u32>(4 * recipes_.size()));
        for (size_t i = 0; i < recipes_.size(); ++i) {
            const auto& [columns, vars] = recipes_[i];
            o.Put32(slots + static_cast<u32>(4 * i), o.Here());
            o.U16(static_cast<u16>(vars.size()));
            o.U16(columns);
            u32 entries = o.Zeros(static_cast<u32>(4 * vars.size()));
            for (size_t k = 0; k < vars.size(); ++k) {
                const RecipeVar& v = vars[k];
                o.Align(4);
                o.Put32(entries + static_cast<u32>(4 * k), o.Here());
                o.U16(v.type);
                o.U16(v.index);
                o.U32(v.ctOffset);
                if ((v.type & 0x7F) == kQ4TypeString) {
                    for (const std::string& text : v.texts) {
                        u8 len = static_cast<u8>(text.size());
                        o.Bytes(&len, 1);
                        o.Bytes(reinterpret_cast<const u8*>(text.data()), text.size());
                    }
                } else {
                    const u32 width = Q4Type_Size(static_cast<u16>(v.type & 0x7F));
                    for (u64 value : v.values) o.Bytes(reinterpret_cast<const u8*>(&value), width);
                }
            }
            o.Align(4);
        }
    }

    // Public variables: type, flags (0x80: CT offset follows), index,
    // identifier, hysteresis size h, h + h bytes, [CT offset]; a zero type ends.
    if (!staticEvents_.empty()) {
        ext[kQ4ExtStaticEvents] = o.Here();
        o.Bytes(staticEvents_.data(), staticEvents_.size());
        o.U8(0);
        o.Align(4);
    }
    // Binding: connection records chained by the offset to the next, then
    // the variable list (6 bytes, + CT offset with role bit 0x80).
    if (!bindCnx_.empty()) {
        ext[kQ4ExtBindCnx] = o.Here();
        for (size_t i = 0; i < bindCnx_.size(); ++i) {
            const BindCnx& c = bindCnx_[i];
            u32 rec = o.Zeros(10);
            o.Put16(rec + 2, c.port);
            o.Put16(rec + 4, c.flags);
            o.Put16(rec + 6, c.first);
            o.Put16(rec + 8, c.count);
            o.Text(c.ip);
            o.Align(4);
            if (i + 1 < bindCnx_.size()) o.Put16(rec, static_cast<u16>(o.Here() - rec));
        }
        ext[kQ4ExtBindVars] = o.Here();
        for (const BindVar& v : bindVars_) {
            o.U8(v.type);
            o.U8(static_cast<u8>(v.role | (v.ctOffset ? 0x80 : 0)));
            o.U16(v.index);
            o.U16(v.id);
            if (v.ctOffset) o.U32(v.ctOffset);
        }
        o.U8(0);
        o.Align(4);
    }

    // Variable map.
    if (!noMap_) {
        o.Align(4);
        hdr[kQ4HdrMap] = o.Here();
        u32 m = o.Zeros(16);
        o.Put16(m, 16);
        o.Put16(m + 2, static_cast<u16>(mapPinned_ >= 0 ? mapPinned_ : static_cast<int>(map_.size() + mapSpare_)));
        o.Put16(m + 4, static_cast<u16>(map_.size()));
        o.Put16(m + 6, mapVsi_ ? 0x200 : 0);
        o.Put32(m + 8, mapStamp_);
        o.Put16(m + 14, 0x8000);
        for (size_t i = 0; i < map_.size(); ++i) {
            const MapRec& r = map_[i];
            u32 rec = o.Zeros(16);
            u16 flags = mapVsi_ ? 0x200 : 0;
            if (r.hasSymbol) {
                flags |= 0x01;
                o.Text(r.symbol);
            }
            o.Align(4);
            u16 extOff = static_cast<u16>(o.Here() - rec);
            if (r.complex) {
                flags |= 0x100;
                o.U32(r.ctOffset);
                o.U32(typeNameAt[i]);
            }
            if (!r.profile.empty()) {
                flags |= 0x08;
                o.Fixed(r.profile, 16);
            }
            if (r.tag >= 0) flags |= 0x02;
            o.Put16(rec, static_cast<u16>(o.Here() - rec));
            o.Put16(rec + 2, r.type);
            o.Put16(rec + 4, r.index);
            o.Put16(rec + 6, r.dimension);
            o.Put16(rec + 8, r.capacity);
            o.Put16(rec + 10, (r.complex || !r.profile.empty()) ? extOff : 0);
            o.Put16(rec + 12, r.tag >= 0 ? static_cast<u16>(r.tag) : 0);
            o.Put16(rec + 14, flags);
        }
        o.U32(0);
    }

    // I/O definition.
    hdr[kQ4HdrIoDef] = o.Here();
    o.U32(0);

    for (const auto& [entry, value] : ext)
        if (entry >= 1 && entry <= Q4VMCode_ExtEntries(level)) o.Put32(edir + 4 * entry, value);
    for (u32 w = 0; w < kQ4HdrWords; ++w) o.Put32(4 * w, hdr[w]);
    return o.b;
}
