#include "platform/md5.h"

namespace {

constexpr u32 kShift[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22,
                            5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20,
                            4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                            6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32).
constexpr u32 kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline u32 Rotl(u32 x, u32 n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

u32 _nx_md5_initialize(Md5Context* c) {
    c->state[0] = 0x67452301;
    c->state[1] = 0xefcdab89;
    c->state[2] = 0x98badcfe;
    c->state[3] = 0x10325476;
    c->bitCount = 0;
    for (u8& b : c->block) b = 0;
    return 0;
}

void _nx_md5_process_buffer(Md5Context* c, const u8* block) {
    u32 m[16];
    for (u32 i = 0; i < 16; ++i) m[i] = GetLe32(block + 4 * i);
    u32 a = c->state[0], b = c->state[1], cc = c->state[2], d = c->state[3];
    for (u32 i = 0; i < 64; ++i) {
        u32 f, g;
        if (i < 16) {
            f = (b & cc) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & cc);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ cc ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = cc ^ (b | ~d);
            g = (7 * i) & 15;
        }
        u32 next = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
        a = d;
        d = cc;
        cc = b;
        b = next;
    }
    c->state[0] += a;
    c->state[1] += b;
    c->state[2] += cc;
    c->state[3] += d;
}

u32 _nx_md5_update(Md5Context* c, const u8* input, u32 length) {
    u32 fill = static_cast<u32>((c->bitCount >> 3) & 63);
    c->bitCount += static_cast<u64>(length) << 3;
    u32 i = 0;
    if (fill != 0) {
        while (i < length && fill < 64) c->block[fill++] = input[i++];
        if (fill < 64) return 0;
        _nx_md5_process_buffer(c, c->block);
    }
    for (; length - i >= 64; i += 64) _nx_md5_process_buffer(c, input + i);
    for (u32 k = 0; i < length; ++k) c->block[k] = input[i++];
    return 0;
}

u32 _nx_md5_digest_calculate(Md5Context* c, u8* digest) {
    u8 length[8];
    PutLe64(length, c->bitCount);
    static const u8 kPad[64] = {0x80};
    u32 fill = static_cast<u32>((c->bitCount >> 3) & 63);
    _nx_md5_update(c, kPad, fill < 56 ? 56 - fill : 120 - fill);
    _nx_md5_update(c, length, 8);
    for (u32 i = 0; i < 4; ++i) PutLe32(digest + 4 * i, c->state[i]);
    return 0;
}

void Md5_Hex(const u8* digest, char* hexOut) {
    static const char kDigits[] = "0123456789abcdef";
    for (u32 i = 0; i < kMd5DigestBytes; ++i) {
        hexOut[2 * i] = kDigits[digest[i] >> 4];
        hexOut[2 * i + 1] = kDigits[digest[i] & 15];
    }
    hexOut[kMd5HexChars] = 0;
}

void Md5_HexOf(const void* data, u32 length, char* hexOut) {
    Md5Context c;
    u8 digest[kMd5DigestBytes];
    _nx_md5_initialize(&c);
    _nx_md5_update(&c, static_cast<const u8*>(data), length);
    _nx_md5_digest_calculate(&c, digest);
    Md5_Hex(digest, hexOut);
}
