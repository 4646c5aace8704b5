#include "testsupport/ct_type_builder.h"

u32 CtTypeBuilder::Name(const std::string& name) {
    const u32 at = static_cast<u32>(bytes_.size());
    bytes_.insert(bytes_.end(), name.begin(), name.end());
    bytes_.push_back(0);
    return at;
}

void CtTypeBuilder::U16(u16 v) {
    U8(static_cast<u8>(v));
    U8(static_cast<u8>(v >> 8));
}

void CtTypeBuilder::U32(u32 v) {
    U16(static_cast<u16>(v));
    U16(static_cast<u16>(v >> 16));
}

u32 CtTypeBuilder::Elementary(const std::string& name, u8 code) {
    const u32 at = Name(name);
    U8(1);
    U8(code);
    return at;
}

u32 CtTypeBuilder::Array(const std::string& name, u32 elementType, u32 elementSize, const std::vector<u32>& dims) {
    const u32 at = Name(name);
    U8(static_cast<u8>(1 + dims.size()));
    U16(static_cast<u16>(elementType));
    U32(elementSize);
    for (size_t k = dims.size(); k-- > 0;) U32(dims[k]);
    return at;
}

u32 CtTypeBuilder::Struct(const std::string& name, const std::vector<Member>& members, u8 kind) {
    const u32 at = Name(name);
    U8(kind);
    U16(static_cast<u16>(members.size()));
    U16(static_cast<u16>(bytes_.size() + 2));
    for (const Member& m : members) {
        Name(m.name);
        U8(6);
        U16(static_cast<u16>(m.type));
        U32(m.offset);
    }
    return at;
}

u32 CtTypeBuilder::Raw(const std::vector<u8>& bytes) {
    const u32 at = static_cast<u32>(bytes_.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return at;
}
