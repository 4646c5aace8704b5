// Clone images from the card: exactly the register memory and its CRC-16.
// Anything else is refused with the registers as they were; an image that
// checks is taken whole. Bit 0 of the first input byte makes the image
// whole (the input at the start of the memory, the CRC put right), so that
// taking one is reached as well as refusing one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "core/plc_regs.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/pgmmedia.h"
#include "testsupport/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_clone_fuzz_");
    static const bool medium = Fx_InsertMedium(0);
    if (!medium) std::abort();
    if (size == 0) return 0;
    std::vector<u8> file(data + 1, data + size);
    if (data[0] & 1) {
        file.resize(kCloneImageBytes);
        PutLe16(&file[kPlcRegBytes], crc16(file.data(), kPlcRegBytes));
    }
    {
        std::ofstream out(Root_HostPath("/mnt/USB0/clone.dat"), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        if (!out) std::abort();
    }
    std::memset(plc_reg, 0x5A, kPlcRegBytes);
    const i32 st = LoadDat("A:\\clone.dat");
    const bool whole = file.size() == kCloneImageBytes &&
                       GetLe16(&file[kPlcRegBytes]) == crc16(file.data(), kPlcRegBytes);
    if ((st == 0) != whole) std::abort();
    if (st != 0) {
        for (u32 i = 0; i < kPlcRegBytes; ++i)
            if (plc_reg[i] != 0x5A) std::abort();  // a refused image changed nothing
    } else {
        // Taken whole, but for the version words ESR8-ESR13, which tell this
        // controller's versions.
        const u32 from = kRegESR + 2 * 8, to = kRegESR + 2 * 14;
        if (std::memcmp(plc_reg, file.data(), from) != 0 ||
            std::memcmp(plc_reg + to, file.data() + to, kPlcRegBytes - to) != 0)
            std::abort();
    }
    return 0;
}
