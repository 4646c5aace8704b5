// A built VM database with a heap, strings of capacity 4, 10, 80 and 255
// (indexes 1-4) and a USINT array of 10 elements, for the tests of the
// text-buffer and XML blocks.
#pragma once

#include <string>
#include <vector>

#include "fb_fixture.h"
#include "iec/ext/q4txb.h"
#include "iec/ext/q4xs.h"
#include "iec/kernel/q4vmstr.h"

// FbDb builds its pools after what the builder declares; declare strings
// and the array in a builder of our own.
inline FbDb MakeDb(i32 heap, u16* arr) {
    IecImageBuilder b;
    if (heap) b.HeapSize(heap);
    b.String(4);
    b.String(10);
    b.String(80);
    b.String(255);
    *arr = b.Array(kQ4TypeUsint, 10);
    return FbDb(b);
}

class Txb : public ::testing::Test {
protected:
    explicit Txb(i32 heap = 8192) : fb(MakeDb(heap, &arr)) {}
    u8* Db() { return fb.Db(); }
    int Run(Q4FbHandler h, std::vector<u16> ops) { return fb.Exec(h, nullptr, std::move(ops)); }
    void SetStr(u16 s, const std::string& text) {
        Q4Str_AscForce(fb.Vm().String(s), text.data(), static_cast<u32>(text.size()));
    }
    std::string Str(u16 s) { return Q4Txb_StringIn(Db(), s); }
    u32 NewString(const std::string& text) {
        SetStr(kS255, text);
        Run(Q4Txb_NewString, {kS255, fb.D(20)});
        return static_cast<u32>(fb.GetD(fb.D(20)));
    }
    std::string Text(u32 h) {
        std::string s;
        EXPECT_TRUE(Q4XS_Text(Db(), h, &s));
        return s;
    }
    i32 Error() {
        Run(Q4Txb_LastError, {fb.D(23)});
        return fb.GetD(fb.D(23));
    }
    // BOOL output 0, DINT output 1.
    bool Ok() { return fb.GetB(fb.B(0)); }

    static constexpr u16 kS4 = 1, kS10 = 2, kS80 = 3, kS255 = 4;
    u16 arr = 0;
    FbDb fb;
};

