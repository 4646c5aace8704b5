// A built VM database with a pool of variables of each class, and calls of
// block handlers with an operand list, for the block tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

class FbDb {
public:
    // Builds with `n` variables of each simple class; b may add more first.
    explicit FbDb(IecImageBuilder b = IecImageBuilder(), u16 n = 24) : db_(Make(b, n)) {}

    u8* Db() { return db_.Db(); }
    IecVmDb& Vm() { return db_; }

    // Variable k (0..n-1) of each class.
    u16 B(u16 k) const { return static_cast<u16>(b0_ + k); }
    u16 D(u16 k) const { return static_cast<u16>(d0_ + k); }
    u16 R(u16 k) const { return static_cast<u16>(r0_ + k); }
    u16 T(u16 k) const { return static_cast<u16>(t0_ + k); }
    u16 L(u16 k) const { return static_cast<u16>(l0_ + k); }

    void SetB(u16 i, bool v) { *db_.Data8(i) = v ? 1 : 0; }
    void SetD(u16 i, i32 v) { PutLe32(db_.Data32(i), static_cast<u32>(v)); }
    void SetR(u16 i, float v) { PutLe32(db_.Data32(i), std::bit_cast<u32>(v)); }
    void SetL(u16 i, double v) { PutLe64(db_.Data64(i), std::bit_cast<u64>(v)); }
    void SetT(u16 i, u32 v) { PutLe32(db_.Time(i), v); }
    bool GetB(u16 i) { return *db_.Data8(i) != 0; }
    i32 GetD(u16 i) { return static_cast<i32>(GetLe32(db_.Data32(i))); }
    float GetR(u16 i) { return std::bit_cast<float>(GetLe32(db_.Data32(i))); }
    double GetL(u16 i) { return std::bit_cast<double>(GetLe64(db_.Data64(i))); }
    u32 GetT(u16 i) { return GetLe32(db_.Time(i)); }
    void Lock(u16 i, u8 bit) { *db_.Lock(i) |= bit; }

    // The VM's millisecond time and running seconds, as the cycle sets them.
    void SetNow(u32 ms) { PutLe32(db_.Status() + kVmStNow, ms); }
    void SetSeconds(u32 s) { PutLe32(db_.Status() + kVmStSeconds, s); }

    // Executes handler h on instance data inst with the operands.
    int Exec(Q4FbHandler h, u8* inst, std::vector<u16> ops) {
        std::vector<u16> call;
        call.push_back(static_cast<u16>(ops.size()));
        call.insert(call.end(), ops.begin(), ops.end());
        return h(kFbExecute, Db(), nullptr, inst, call.data() + 1);
    }
    int Cmd(Q4FbHandler h, u8* inst, int command) { return h(command, Db(), nullptr, inst, nullptr); }

private:
    IecVmDb Make(IecImageBuilder& b, u16 n) {
        b0_ = b.Var(kQ4TypeBool);
        for (u16 k = 1; k < n; ++k) b.Var(kQ4TypeBool);
        d0_ = b.Var(kQ4TypeDint);
        for (u16 k = 1; k < n; ++k) b.Var(kQ4TypeDint);
        r0_ = b.Real(0);
        for (u16 k = 1; k < n; ++k) b.Real(0);
        t0_ = b.Var(kQ4TypeTime);
        for (u16 k = 1; k < n; ++k) b.Var(kQ4TypeTime);
        l0_ = b.Lreal(0);
        for (u16 k = 1; k < n; ++k) b.Lreal(0);
        return IecVmDb(b.Build());
    }
    u16 b0_ = 0, d0_ = 0, r0_ = 0, t0_ = 0, l0_ = 0;
    IecVmDb db_;
};
