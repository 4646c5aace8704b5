// Register memory fixtures for tests.
//
// RegFixture starts a test on a clean register memory: plc_reg, old_reg and the
// force table zeroed, no IEC application (QuilletRuntime, the enumerated flag,
// OLPMode and pDB cleared); it clears them again when it goes.
//
// FakeVmDb builds a small VM database laid out as the runtime lays it out
// (descriptors with offsets, typed tables, string pointers into the string
// buffer, CT segment) and can link it as the running application, so that
// IEC variable references can be resolved without an IEC code image.
#pragma once

#include <vector>

#include "platform/bytes.h"

class RegFixture {
public:
    RegFixture();
    ~RegFixture();
    RegFixture(const RegFixture&) = delete;
    RegFixture& operator=(const RegFixture&) = delete;
};

// A register bit address naming an IEC variable: class (bits 26-28), element
// index or CT byte offset (bits 0-19), bit number (bits 20-25), bit 29 for the
// CT segment.
constexpr u32 IecRef(u32 cls, u32 index, u32 bit = 0, bool complexSegment = false) {
    return 0xC0000000u | (complexSegment ? 0x20000000u : 0u) | ((cls & 7u) << 26) | ((bit & 63u) << 20) |
           (index & 0xFFFFFu);
}

class FakeVmDb {
public:
    struct Layout {
        u16 data8 = 32;
        u16 data16 = 8;
        u16 data32 = 8;
        u16 data64 = 4;
        u16 time = 4;
        // One entry per string variable: its capacity, or -1 for an entry of
        // the pointer table that was never built (null pointer).
        std::vector<int> strings = {5, 4, 10};
        u32 ctBytes = 64;
    };

    FakeVmDb();
    explicit FakeVmDb(const Layout& layout);
    ~FakeVmDb();  // unlinks itself when it is the running database
    FakeVmDb(const FakeVmDb&) = delete;
    FakeVmDb& operator=(const FakeVmDb&) = delete;

    u8* Db() { return reinterpret_cast<u8*>(block_.data()); }
    u32 Size() const { return size_; }

    // Start of a table (kDbData8, kDbData16, ..., kDbCtSegment).
    u8* Area(u32 area);
    // The VM string buffer of string variable n (capacity byte first), or null.
    u8* String(u32 n);

    // Makes this the running application with enumerated variables
    // (pDB, QuilletRuntime = 1, quillet_variables_enumerateded = 1).
    void Link();

private:
    std::vector<u64> block_;  // 8-byte aligned storage
    u32 size_ = 0;
};
