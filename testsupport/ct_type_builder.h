// Builds the complex-type definitions of a code image (code extension entry
// 10) record by record, for tests and fuzz seeds: elementary types, arrays
// of one to three dimensions and structures with their members. Each call
// answers the record's offset from the start of the definitions, which is
// what other records and IecImageBuilder::ComplexOf refer to.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

class CtTypeBuilder {
public:
    struct Member {
        std::string name;
        u32 type;    // offset of the member's type record
        u32 offset;  // byte offset of the member in the structure
    };
    u32 Elementary(const std::string& name, u8 code);
    // dims in declaration order; the record stores them last dimension first.
    u32 Array(const std::string& name, u32 elementType, u32 elementSize, const std::vector<u32>& dims);
    // kind 5 (or 7); the member records follow the structure's record.
    u32 Struct(const std::string& name, const std::vector<Member>& members, u8 kind = 5);
    // Raw bytes (for damaged tables); answers their offset.
    u32 Raw(const std::vector<u8>& bytes);
    const std::vector<u8>& Bytes() const { return bytes_; }

private:
    u32 Name(const std::string& name);
    void U8(u8 v) { bytes_.push_back(v); }
    void U16(u16 v);
    void U32(u32 v);
    std::vector<u8> bytes_;
};
