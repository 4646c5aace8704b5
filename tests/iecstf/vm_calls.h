// Several standard-function calls on one built database, one after the
// other, as a program makes them over its cycles: the variables are declared
// through the image builder, the calls go through the dispatcher.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmstd.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace stf {

class Vm {
public:
    // Declarations, before Build.
    IecImageBuilder b;
    u16 Dint(i32 v = 0) { return b.Var(kQ4TypeDint, static_cast<u32>(v)); }
    u16 Bool(bool v = false) { return b.Var(kQ4TypeBool, v ? 1 : 0); }
    u16 Str(u8 cap, const std::string& text = {}) { return b.String(cap, text); }
    u16 Bytes(u16 count) { return b.Array(kQ4TypeUsint, count); }

    // Builds the database; the image may be changed first (corrupt images).
    void Build(const std::function<void(std::vector<u8>&)>& patch = {}) {
        std::vector<u8> image = b.Build();
        if (patch) patch(image);
        db_ = std::make_unique<IecVmDb>(std::move(image));
        ASSERT_EQ(db_->Result(), 0);
    }

    // One call: the function number and its operand words (result first).
    // True when the application may go on.
    bool Call(u16 number, std::vector<u16> ops) {
        std::vector<u16> words{number, static_cast<u16>(ops.size())};
        words.insert(words.end(), ops.begin(), ops.end());
        return Q4VMStf_Execute(db_->Db(), words.data()) != 0;
    }
    // The DINT or BOOL result of a call (the call must go on).
    i32 D(u16 number, std::vector<u16> ops) {
        EXPECT_TRUE(Call(number, ops)) << number;
        return GetDint(ops[0]);
    }
    bool B(u16 number, std::vector<u16> ops) {
        EXPECT_TRUE(Call(number, ops)) << number;
        return *db_->Data8(ops[0]) != 0;
    }

    i32 GetDint(u16 i) { return static_cast<i32>(GetLe32(db_->Data32(i))); }
    void SetDint(u16 i, i32 v) { PutLe32(db_->Data32(i), static_cast<u32>(v)); }
    u8& Byte(u16 i) { return *db_->Data8(i); }
    std::string Text(u16 i) {
        const u8* s = db_->String(i);
        return std::string(Q4Str_GetText(s), Q4Str_GetLength(s));
    }
    void SetText(u16 i, const std::string& t) { Q4Str_AscForce(db_->String(i), t.data(), static_cast<u32>(t.size())); }
    // Sets the lock bit of a variable's class at its index, as forcing does.
    void Lock(u16 i, u16 type) { *db_->Lock(i) |= Q4Type_LockBit(type); }
    void Unlock(u16 i) { *db_->Lock(i) = 0; }

    u8* Db() { return db_->Db(); }
    IecVmDb& Vmdb() { return *db_; }

private:
    std::unique_ptr<IecVmDb> db_;
};

}  // namespace stf
