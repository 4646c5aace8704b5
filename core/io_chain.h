// The record chain of the I/O configuration block: records of a u16
// identifier, a u16 data length and the data, each record padded to a
// multiple of 4 bytes. Every reader of the block steps through it here, so
// that they all agree on where the next record starts.
#pragma once

#include "platform/bytes.h"

struct IoChainRecord {
    u32 pos = 0;             // offset of the record's header in the block
    u16 id = 0;
    u16 length = 0;          // the length field as stored (0xFFFF: end mark)
    const u8* data = nullptr;
    u32 avail = 0;           // data bytes that lie inside the block (at most length)
};

class IoChain {
public:
    IoChain(const u8* block, u32 size) : block_(block), size_(size) {}
    // The next record whose 4-byte header lies inside the block; false at
    // the end of the block. The caller decides what ends the chain (an end
    // mark, an identifier); a length field of 0xFFFF is never stepped past.
    bool Next(IoChainRecord* out);

private:
    const u8* block_;
    u32 size_;
    u32 pos_ = 0;
    bool stop_ = false;
};

// Bytes from one record's header to the next: the header and the data
// rounded up to a multiple of 4.
constexpr u32 IoChainStep(u16 length) { return 4 + (static_cast<u32>(length) + 3) / 4 * 4; }
