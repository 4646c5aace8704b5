// Builds the remote I/O configuration record (identifier 0xCF01) as the
// programming software downloads it inside the I/O configuration block, and
// a block of such records, so that no test writes them by hand.
#pragma once

#include <vector>

#include "platform/bytes.h"

struct EtnIoModuleSpec {
    u32 configWord = 0;
    u16 type = 1;
};

struct EtnIoAdapterSpec {
    u32 address = 0;        // a.b.c.d as a·2^24 + ...
    u32 statusRef = 0;      // register bit address of the status word
    u8 mac[6] = {};
    u32 wordIn = 0, wordOut = 0, discreteIn = 0, discreteOut = 0;  // base references
    std::vector<EtnIoModuleSpec> modules;
};

// The record: header (0xCF01, 3088) and its data. adapterCount overrides the
// count field when not ~0u.
std::vector<u8> EtnIoRecord(const std::vector<EtnIoAdapterSpec>& adapters, u16 magic = 0xAA55,
                            u32 adapterCount = ~0u);
// A record of another kind with the given data length (filled with its low byte).
std::vector<u8> IoChainFiller(u16 id, u16 length);
// The records one after the other, each padded to a multiple of 4 bytes,
// then the end mark.
std::vector<u8> IoChainBlock(const std::vector<std::vector<u8>>& records);
