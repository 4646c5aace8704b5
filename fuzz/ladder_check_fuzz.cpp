// Downloaded ladder programs: the checker that decides whether a program may
// run, then a few scans of whatever it accepts over registers the input
// also fills. An accepted program must end at END or at a program fault
// inside its own code, never read or write outside the code or the register
// memory; a refused one never runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"
#include "ladder/ladder_check.h"
#include "platform/fpga.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/ladder_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_ladder_fuzz_");
    if (size < 2) return 0;
    const bool tok16 = data[0] & 1;
    // Bytes 1..64 are register contents where operands often point
    // (%R, pointers, index registers); the rest is the code.
    size_t regs = size - 1 < 64 ? size - 1 : 64;
    for (size_t i = 0; i < regs; ++i) plc_reg[kRegR + i] = data[1 + i];
    std::vector<u8> block(data + 1 + regs, data + size);
    block.resize(block.size() & ~size_t{1});
    block.insert(block.end(), kLadderTrailerBytes, 0);
    PutLe32(&block[block.size() - 9], tok16 ? kFeatTok16 : 0);
    if (block.size() > ladder_bl.capacity) return 0;
    LadderCheckResult check = LadderCheck(block.data(), static_cast<u32>(block.size()), tok16);
    if (!check.Ok()) return 0;
    Ladder_Reset();
    nv_write(ladder, block.data(), static_cast<u32>(block.size()));
    ladder_bl.SetHeader(crc16(block.data(), static_cast<u32>(block.size())), static_cast<u32>(block.size()));
    nv_get_features();
    S_Put(1, true);
    for (int scan = 0; scan < 3; ++scan) {
        i32 r = Ladder_Scan(ladder);
        if (r != kLadderEnd && (r <= 0 || static_cast<u32>(r) > block.size() / 2)) std::abort();
        if (r != kLadderEnd) break;
    }
    return 0;
}
