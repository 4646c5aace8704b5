// Frames from the CAN bus into the CANopen node: any 16-byte records another
// node puts on the bus (NMT, SYNC, PDOs, SDO requests and answers, remote
// and error frames), served by a node whose PDO mappings come from the
// input too. Nothing may read or write outside its buffers, and every
// answer stays a frame of at most 8 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_sdo.h"
#include "platform/canbus.h"
#include "testsupport/can_peer.h"
#include "testsupport/canopen_table_builder.h"
#include "testsupport/fuzz_env.h"

namespace {

struct Env {
    CanPeer* peer = nullptr;
};

Env& Setup() {
    static Env env;
    if (!env.peer) {
        FuzzEnv_Init("canopen_frames_fuzz");
        Wiring_Connect();
        int bus = CanTest_UseFreeBus();
        if (bus == 0) std::abort();
        env.peer = new CanPeer(bus);
    }
    return env;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Env& env = Setup();
    // Byte 0: start-up flags and SYNC; bytes 1-24: six mapping words (two
    // TPDOs, two RPDOs of which the last is synchronous); then frames.
    constexpr size_t kHead = 25;
    if (size < kHead) return 0;
    std::vector<u32> map;
    for (size_t k = 1; k + 4 <= kHead; k += 4) map.push_back(GetLe32(data + k));
    CANOpen_Reset();
    SR_Put(29, 5);
    CanOpenTableBuilder(5, 1)
        .StartupFlags(static_cast<u8>(data[0] & kCoStartOnBit))
        .StatusRegister(0x8000)
        .Sync((data[0] & 0x80) ? 0x80 | 0x40000000u : 0x80, (data[0] & 0x40) ? 1000 : 0, 500)
        .SdoServer(0x640, 0x5C0)
        .Tpdo(0x181, static_cast<u8>(data[0] & 0x20 ? 1 : 254), {map[0], map[1]})
        .Tpdo(0x182, 0, {map[2]})
        .Rpdo(0x201, 255, {map[3], map[4]})
        .Rpdo(0x202, 0, {map[5]})
        .Install();
    CanOpenNetStart start{};
    CANOpenInit(&start);
    size_t frames = 0;
    for (size_t off = kHead; off + kCanFrameBytes <= size && frames < 64; off += kCanFrameBytes, ++frames) {
        CanFrame f = CanFrame_Unpack(data + off);
        // A reset of the node would end the process.
        if (!(f.idWord & kCanErrFlag) && (f.idWord & kCanSffMask) == 0 && f.data[0] == kNmtResetNode) f.data[0] = 0;
        if (!env.peer->Send(f)) std::abort();
    }
    Can_Isr();
    CANOpenRxMsg();
    CANOpenTxMsg();
    if (_Can_CountTx(0) > kCanRingSize) std::abort();
    Can_Isr();
    for (const CanFrame& f : env.peer->Take()) {
        if (f.length > 8) std::abort();
    }
    CoSdo_ClientClear();
    return 0;
}
