// Calibrate requests as the programming link hands them on: the input picks
// the module of each slot and its type codes, then sends calibrate requests
// with any sub-command, parameter, channel mask, pair data and count byte,
// interleaved with analog input and output messages, stores and loads of
// the constants, and configurations that load them back. Nothing may read
// or write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "io/iodriver.h"
#include "platform/clock.h"
#include "platform/iomodules.h"
#include "testsupport/fuzz_env.h"

namespace {

const u16 kSlot0[] = {0xA60F, 0xA00F, 0xA40F, 0xA20F, 0x7F0E, 0x3F0E, 0xDF0E, 0x1F0E, 0x9F0E, 0x500F, 0x520F};
const u16 kSlot1[] = {0x8F0F, 0x0F0F, 0x9F0F, 0x700F};

struct Reader {
    const u8* p;
    size_t n;
    u8 Byte() { return n ? (--n, *p++) : 0; }
};

void Configure(std::vector<u8> cfg[2]) {
    u16 ids[3];
    get_io_info(ids);
    IoInit(ids, 3);
    for (int s = 0; s < 2; ++s) {
        io_cfg[s].config = cfg[s].data();
        io_cfg[s].configBytes = static_cast<u32>(cfg[s].size());
        IoSlotRecord r = io_cfg[s];
        IoCfg(&r, s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("iocalfuzz");
    Reader in{data, size};
    u8 pick = in.Byte();
    FuzzEnv_FreshIo(kSlot0[(pick & 0x0F) % (sizeof kSlot0 / 2)], kSlot1[(pick >> 4) % (sizeof kSlot1 / 2)]);
    std::vector<u8> cfg[2];
    for (auto& c : cfg) {
        c.assign(0xB0, 0);
        for (int i = 0; i < 12; ++i) c[static_cast<size_t>(i)] = in.Byte();
    }
    Configure(cfg);

    u8 image[64];
    for (int round = 0; round < 16 && in.n > 0; ++round) {
        u8 op = in.Byte();
        u8 slot = op & 1;
        switch ((op >> 1) % 4) {
            case 0:
            case 1: {
                // buffer: count, node, slot, request; the count is anything.
                u8 cal[67] = {};
                cal[0] = in.Byte();
                cal[2] = static_cast<u8>(in.Byte() % 4);
                cal[3] = in.Byte() % 32;  // sub-command
                u32 len = in.Byte() % 64;
                for (u32 i = 1; i < len && 3 + i < sizeof cal; ++i) cal[3 + i] = in.Byte();
                IoCal(cal);
                break;
            }
            case 2: {
                u16 count = static_cast<u16>(in.Byte() % 33);
                for (auto& b : image) b = in.Byte();
                IoMessage m{static_cast<u8>((op & 0x80) ? kIoMsgPutAQs : kIoMsgGetAIs), slot, 0, image};
                m.count = count;
                io_driver(&m);
                Clock_Advance(50ull * 1000000ull);
                break;
            }
            default:
                if (op & 0x40) IoStop();
                else Configure(cfg);
                break;
        }
    }
    return 0;
}
