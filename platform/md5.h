// MD5 message digest (RFC 1321), the one implementation of the firmware: the
// Digest authentication of the register web server and of the web-HMI server
// both hash with it. Incremental: initialise, update with any number of
// pieces, then calculate the 16-byte digest (which leaves the context to be
// initialised again before reuse).
#pragma once

#include "platform/bytes.h"

struct Md5Context {
    u32 state[4];
    u64 bitCount;  // message length so far, in bits
    u8 block[64];  // bytes of the block not yet complete
};

constexpr u32 kMd5DigestBytes = 16;
constexpr u32 kMd5HexChars = 32;

// Every call answers 0.
u32 _nx_md5_initialize(Md5Context* context);
u32 _nx_md5_update(Md5Context* context, const u8* input, u32 length);
u32 _nx_md5_digest_calculate(Md5Context* context, u8* digest);
// The transform of one 64-byte block into the state.
void _nx_md5_process_buffer(Md5Context* context, const u8* block);

// The digest as 32 lower-case hexadecimal characters and a NUL (33 bytes).
void Md5_Hex(const u8* digest, char* hexOut);
// The lower-case hexadecimal digest of one piece of text, in one call.
void Md5_HexOf(const void* data, u32 length, char* hexOut);
