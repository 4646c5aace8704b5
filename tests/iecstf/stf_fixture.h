// One standard-function call as a program of its own: the image holds the
// operands a case declares and a single program "CALL_STF number, operands;
// END", built by the image builder and run as one cycle of the runtime.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace stf {

// An operand of the call: a variable of a simple type with its value, a
// STRING with its capacity and text, a literal word (type code), or an array
// (its first index, then its element count, which `count` may override).
struct Op {
    enum Kind { kVar, kStr, kLit, kArr, kSame } kind = kVar;
    u16 type = 0;
    u64 value = 0;
    u8 cap = 0;
    std::string text;
    std::vector<u64> elems;
    int count = -1;
    u16 index = 0;  // given when the image is built
};
inline Op MakeOp(Op::Kind kind, u16 type, u64 value) {
    Op o;
    o.kind = kind;
    o.type = type;
    o.value = value;
    return o;
}
inline Op V(u16 type, u64 value) { return MakeOp(Op::kVar, type, value); }
inline Op Di(i32 v) { return V(kQ4TypeDint, static_cast<u32>(v)); }
inline Op Ud(u32 v) { return V(kQ4TypeUdint, v); }
inline Op R(float f) { return V(kQ4TypeReal, std::bit_cast<u32>(f)); }
inline Op Lr(double d) { return V(kQ4TypeLreal, std::bit_cast<u64>(d)); }
inline Op Bo(bool b) { return V(kQ4TypeBool, b ? 1 : 0); }
inline Op Str(u8 cap, std::string text = {}) {
    Op o = MakeOp(Op::kStr, kQ4TypeString, 0);
    o.cap = cap;
    o.text = std::move(text);
    return o;
}
inline Op Lit(u16 word) { return MakeOp(Op::kLit, 0, word); }
// The array of operand k once more (its index and count).
inline Op Same(size_t k) { return MakeOp(Op::kSame, 0, k); }
inline Op Arr(u16 type, std::vector<u64> elems, int count = -1) {
    Op o = MakeOp(Op::kArr, type, 0);
    o.elems = std::move(elems);
    o.count = count;
    return o;
}

inline u64 F(float f) { return std::bit_cast<u32>(f); }
inline u64 D(double d) { return std::bit_cast<u64>(d); }

class Call {
public:
    // ops[0] is the result. `extra` adds to the image before it is built.
    Call(u16 number, std::vector<Op> ops, const std::function<void(IecImageBuilder&)>& extra = {})
        : ops_(std::move(ops)) {
        IecImageBuilder b;
        std::vector<TicOperand> words{number, static_cast<u16>(0)};
        for (Op& o : ops_) {
            switch (o.kind) {
                case Op::kVar: o.index = b.Var(o.type, o.value); break;
                case Op::kStr: o.index = b.String(o.cap, o.text); break;
                case Op::kLit: o.index = static_cast<u16>(o.value); break;
                case Op::kArr: o.index = b.Array(o.type, static_cast<u16>(o.elems.size())); break;
                case Op::kSame:
                    o.type = ops_[o.value].type;
                    o.index = ops_[o.value].index;
                    o.count = ops_[o.value].count >= 0 ? ops_[o.value].count : static_cast<int>(ops_[o.value].elems.size());
                    break;
            }
            words.push_back(o.index);
            if (o.kind == Op::kArr || o.kind == Op::kSame)
                words.push_back(static_cast<u16>(o.count >= 0 ? o.count : o.elems.size()));
        }
        words[1] = static_cast<u16>(words.size() - 2);
        if (extra) extra(b);
        TicAssembler t;
        t.Op("CALL_STF", words).Op("END");
        b.Program(t.Finish());
        db_ = std::make_unique<IecVmDb>(b.Build());
        EXPECT_EQ(db_->Result(), 0) << Q4VMTic_LastFault();
        for (Op& o : ops_)
            if (o.kind == Op::kArr)
                for (size_t i = 0; i < o.elems.size(); ++i) SetAt(o.type, static_cast<u16>(o.index + i), o.elems[i]);
    }

    // Locks operand k (the lock bit of its class), as a forced variable is.
    Call& Lock(size_t k = 0) {
        *db_->Lock(ops_[k].index) |= Q4Type_LockBit(ops_[k].type);
        return *this;
    }
    // One cycle; true when the application goes on.
    bool Run() {
        Q4VM_Cycle(db_->Db(), ++now_);
        return !(GetLe16(db_->Status() + kQ4StFlags) & (kVmFlagStopped | kVmFlagStopRequest));
    }

    u16 Index(size_t k) const { return ops_[k].index; }
    u64 Get(size_t k) { return GetAt(ops_[k].type, ops_[k].index); }
    void Set(size_t k, u64 v) { SetAt(ops_[k].type, ops_[k].index, v); }
    u64 Elem(size_t k, size_t i) { return GetAt(ops_[k].type, static_cast<u16>(ops_[k].index + i)); }
    std::string Text(size_t k) {
        const u8* s = db_->String(ops_[k].index);
        return std::string(Q4Str_GetText(s), Q4Str_GetLength(s));
    }
    // Pending log events (code, 16-bit argument), taken out of the log.
    std::vector<std::pair<u16, u16>> Events() {
        std::vector<std::pair<u16, u16>> out;
        u16 code, arg;
        u32 arg32;
        while (Q4VMLog_Pop(db_->Db(), &code, &arg, &arg32)) out.push_back({code, arg});
        return out;
    }
    IecVmDb& Db() { return *db_; }
    u8* Db8() { return db_->Db(); }

private:
    u8* At(u16 type, u16 i) {
        switch (Q4Type_Class(type)) {
            case kQ4ClassData8: return db_->Data8(i);
            case kQ4ClassData16: return db_->Data16(i);
            case kQ4ClassData32: return db_->Data32(i);
            case kQ4ClassData64: return db_->Data64(i);
            case kQ4ClassTime: return db_->Time(i);
            default: return nullptr;
        }
    }
    u64 GetAt(u16 type, u16 i) {
        u64 v = 0;
        u8* p = At(type, i);
        EXPECT_NE(p, nullptr);
        if (p) std::memcpy(&v, p, Q4Type_Size(type));
        return v;
    }
    void SetAt(u16 type, u16 i, u64 v) {
        u8* p = At(type, i);
        ASSERT_NE(p, nullptr);
        std::memcpy(p, &v, Q4Type_Size(type));
    }

    std::vector<Op> ops_;
    std::unique_ptr<IecVmDb> db_;
    u32 now_ = 0;
};

// Runs a Python script of this folder under /usr/bin/python3 (where Debian's
// numpy and crcmod are) with the given input lines; its output lines, or
// nothing when it failed.
inline std::vector<std::string> Python(const std::string& script, const std::vector<std::string>& lines) {
    static int serial = 0;
    const std::string in = ::testing::TempDir() + "stf_py_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    {
        FILE* f = std::fopen(in.c_str(), "w");
        if (!f) return {};
        for (const std::string& l : lines) std::fprintf(f, "%s\n", l.c_str());
        std::fclose(f);
    }
    const std::string cmd = "/usr/bin/python3 " PLC_SOURCE_DIR "/tests/iecstf/" + script + " < " + in;
    FILE* p = popen(cmd.c_str(), "r");
    std::vector<std::string> out;
    if (p) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) {
            std::string l(buf);
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            out.push_back(l);
        }
        if (pclose(p) != 0) out.clear();
    }
    std::remove(in.c_str());
    return out;
}

}  // namespace stf
