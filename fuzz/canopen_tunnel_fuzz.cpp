// Frames of the programming tunnel from another node: block transfers to
// object 0x5000 of this node's SDO server and answers to this node's own
// transfers, mixed with link bytes handed to the tunnel and time passing.
// Nothing may read or write outside the transfer buffers or the queues, the
// receive queue never holds more than it can.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_tunnel.h"
#include "link/vcomm.h"
#include "testsupport/can_peer.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/manual_clock.h"

namespace {

ManualClock& Setup() {
    static ManualClock* clock = nullptr;
    if (!clock) {
        FuzzEnv_Init("canopen_tunnel_fuzz");
        Wiring_Connect();
        if (CanTest_UseFreeBus() == 0) std::abort();
        clock = new ManualClock();
    }
    return *clock;
}

}  // namespace

// Input: records of 10 bytes: an operation byte, a length or step byte, and
// 8 data bytes. Operation & 3: 0 a frame to this node's SDO server, 1 an
// answer from the node this node sends to, 2 link bytes (the data, length
// from the second byte, link mode from bit 2), 3 time passes (second byte x
// 10 ticks) and the transmit step runs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ManualClock& clock = Setup();
    CANOpen_Reset();
    Vcomm_Reset();
    SR_Put(29, 5);
    CanOpenNetStart start{};
    CANOpenInit(&start);
    u32 taken = 0;
    for (size_t off = 0; off + 10 <= size && off < 4000; off += 10) {
        const u8* r = data + off;
        CanMsg m;
        m.length = static_cast<u8>(r[1] & 0x0F) > 8 ? 8 : static_cast<u8>(r[1] & 0x0F);
        for (int i = 0; i < 8; ++i) m.data[i] = r[2 + i];
        switch (r[0] & 3) {
            case 0:
                m.id = 0x605;
                CoTunnel_Frame(m);
                break;
            case 1:
                m.id = 0x580u + CoTunnel_Destination();
                CoTunnel_Frame(m);
                break;
            case 2: CANOpen_PutByte(r + 2, r[1] % 9, (r[0] & 4) ? kCoTunnelRelay : kCoTunnelAnswer); break;
            default:
                clock.AdvanceTicks(10u * r[1]);
                CoTunnel_Transmit();
                break;
        }
        if (_Can_CountTx(0) > kCanRingSize) std::abort();
        _Can_FlushTx(0);
        // Read some of the queue, as the link would.
        if (r[0] & 0x80) {
            while (Net_CheckRx()) {
                Net_GetRx();
                if (++taken > 1u << 20) std::abort();
            }
        }
    }
    u32 left = 0;
    while (Net_CheckRx()) {
        Net_GetRx();
        if (++left > kCoTunnelQueueBytes) std::abort();
    }
    return 0;
}
