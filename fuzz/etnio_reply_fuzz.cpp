// Replies of remote I/O adapters: the input's first bytes choose the module
// types of a configured adapter and the transaction identifiers it waits
// for; the rest is one reply frame. Nothing may be read past the frame, and
// registers change only when the reply is accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "net/etnio.h"
#include "testsupport/etnio_config_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    EtnIoAdapterSpec spec;
    spec.discreteIn = 0x8000;
    spec.wordIn = 0x8000 + 16 * 100;
    spec.wordOut = 0x8000 + 16 * 200;
    spec.discreteOut = 0x8000 + 16 * 300;
    const u32 modules = data[0] % 9;
    for (u32 j = 0; j < modules; ++j) spec.modules.push_back({j, static_cast<u16>(1 + (data[1] + 5 * j) % 16)});
    std::vector<u8> record = EtnIoRecord({spec});
    EtnIoAdapter a[kEtnIoAdapters];
    u16 count = 0;
    if (!EtnIo_ParseConfig(record.data() + 4, a, &count, -1) || count != 1) std::abort();
    a[0].tidIn = data[2];
    a[0].tidOut = data[3];
    a[0].tidConfig = static_cast<u16>(data[2] + 1);
    std::vector<u8> frame(data + 4, data + size);
    std::vector<u8> before(plc_reg + kRegR, plc_reg + kRegR + 1024);
    u32 r = EtnIo_ParseReply(a[0], frame.data(), static_cast<u32>(frame.size()));
    if (r != 1 && std::memcmp(before.data(), plc_reg + kRegR, before.size()) != 0) std::abort();
    std::memset(plc_reg + kRegR, 0, 1024);
    return 0;
}
