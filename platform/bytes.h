// Fixed-width integer names and explicit byte-order access.
//
// Every record that is stored, downloaded or exchanged keeps its exact byte
// layout; its fields are read and written through these helpers, never by
// casting a byte pointer to a wider type (alignment and host byte order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

inline u16 GetLe16(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return static_cast<u16>(b[0] | (b[1] << 8));
}
inline u32 GetLe32(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return static_cast<u32>(b[0]) | (static_cast<u32>(b[1]) << 8) | (static_cast<u32>(b[2]) << 16) |
           (static_cast<u32>(b[3]) << 24);
}
inline u64 GetLe64(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return static_cast<u64>(GetLe32(b)) | (static_cast<u64>(GetLe32(b + 4)) << 32);
}
inline void PutLe16(void* p, u16 v) {
    u8* b = static_cast<u8*>(p);
    b[0] = static_cast<u8>(v);
    b[1] = static_cast<u8>(v >> 8);
}
inline void PutLe32(void* p, u32 v) {
    u8* b = static_cast<u8*>(p);
    b[0] = static_cast<u8>(v);
    b[1] = static_cast<u8>(v >> 8);
    b[2] = static_cast<u8>(v >> 16);
    b[3] = static_cast<u8>(v >> 24);
}
inline void PutLe64(void* p, u64 v) {
    u8* b = static_cast<u8*>(p);
    PutLe32(b, static_cast<u32>(v));
    PutLe32(b + 4, static_cast<u32>(v >> 32));
}

inline u16 GetBe16(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return static_cast<u16>((b[0] << 8) | b[1]);
}
inline u32 GetBe32(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return (static_cast<u32>(b[0]) << 24) | (static_cast<u32>(b[1]) << 16) | (static_cast<u32>(b[2]) << 8) |
           static_cast<u32>(b[3]);
}
inline void PutBe16(void* p, u16 v) {
    u8* b = static_cast<u8*>(p);
    b[0] = static_cast<u8>(v >> 8);
    b[1] = static_cast<u8>(v);
}
inline void PutBe32(void* p, u32 v) {
    u8* b = static_cast<u8*>(p);
    b[0] = static_cast<u8>(v >> 24);
    b[1] = static_cast<u8>(v >> 16);
    b[2] = static_cast<u8>(v >> 8);
    b[3] = static_cast<u8>(v);
}

// IEEE-754 single precision and its bit pattern.
inline u32 FloatBits(float f) {
    u32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
inline float BitsFloat(u32 bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline float GetLeFloat(const void* p) { return BitsFloat(GetLe32(p)); }
inline void PutLeFloat(void* p, float f) { PutLe32(p, FloatBits(f)); }
