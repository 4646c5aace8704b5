// Downloaded I/O configurations, calibration requests and module answers
// that no one checked: the input chooses the modules of both slots, their
// configuration data, a calibration request of any count and the contents of
// the module memories, and the driver configures, starts, exchanges, serves
// and stops them. Nothing may read or write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "io/iodriver.h"
#include "platform/iomodules.h"
#include "testsupport/fuzz_env.h"

namespace {

void Init() { FuzzEnv_Init("iofuzz"); }

const u16 kSlot0[] = {0xA60F, 0xA00F, 0xA40F, 0xA20F, 0x7F0E, 0x3F0E, 0xDF0E, 0x1F0E, 0x5F0E, 0x9F0E, 0x500F, 0x080F};
const u16 kSlot1[] = {0x9F0F, 0xAE0F, 0xAC0F, 0x8F0F, 0x0F0F, 0x700F, 0x720F, 0x1F0F, 0xBF0F, 0x0A0F};

struct Reader {
    const u8* p;
    size_t n;
    u8 Byte() { return n ? (--n, *p++) : 0; }
    std::vector<u8> Bytes(size_t k) {
        k = k < n ? k : n;
        std::vector<u8> v(p, p + k);
        p += k;
        n -= k;
        return v;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Init();
    Reader in{data, size};
    u8 pick = in.Byte();
    FuzzEnv_FreshIo(kSlot0[(pick & 0x0F) % (sizeof kSlot0 / 2)], kSlot1[(pick >> 4) % (sizeof kSlot1 / 2)]);
    // Module memory as the module would answer it.
    std::vector<u8> mem = in.Bytes(in.Byte());
    for (size_t i = 0; i < mem.size(); ++i) IoModules_SetMemoryByte(1, static_cast<u32>(i * 7 % kIoModuleMemoryBytes), mem[i]);
    if (in.Byte() & 1) IoModules_SetGen2Header(1, in.Byte(), in.Byte(), in.Byte(), in.Byte(), in.Byte(), "FUZZ");

    std::vector<u8> cfg[2];
    for (auto& c : cfg) c = in.Bytes(in.Byte() * 2u);
    u16 ids[3];
    get_io_info(ids);
    IoInit(ids, 3);
    for (int s = 0; s < 2; ++s) {
        io_cfg[s].config = cfg[s].empty() ? nullptr : cfg[s].data();
        io_cfg[s].configBytes = static_cast<u32>(cfg[s].size());
        IoSlotRecord r = io_cfg[s];
        IoCfg(&r, s);
    }
    // A calibration request with whatever count byte it carries.
    std::vector<u8> cal(67, 0);
    std::vector<u8> req = in.Bytes(67);
    if (!req.empty()) std::memcpy(cal.data(), req.data(), req.size());
    IoCal(cal.data());

    for (u8 slot = 0; slot < 2; ++slot) {
        IoMessage start{kIoMsgStart, slot, 0, nullptr};
        io_driver(&start);
        u16 count = static_cast<u16>(in.Byte() % 64);
        std::vector<u8> image(count * 2u + 1, in.Byte());
        for (u8 kind : {kIoMsgGetIs, kIoMsgPutQs, kIoMsgGetAIs, kIoMsgPutAQs, kIoMsgReadConfig, kIoMsgService}) {
            IoMessage m{kind, slot, 0, image.data()};
            m.start = static_cast<u16>(in.Byte());
            m.count = (kind == kIoMsgGetAIs || kind == kIoMsgPutAQs) ? static_cast<u16>(count / 2) : count;
            io_driver(&m);
        }
        io_q_put(slot, in.Byte());
    }
    IoStop();
    return 0;
}
