// Frames from the CAN bus: any 16 bytes a node puts on the bus, data or
// error frame, with any length code and flag bits. The port must store at
// most 8 data bytes, keep identifiers within their mode's mask, never hold
// more than its ring, and read every frame of a pass.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "io/candrv.h"
#include "platform/canbus.h"
#include "testsupport/can_peer.h"
#include "testsupport/fuzz_env.h"

namespace {

struct Env {
    CanPeer* peer = nullptr;
};

Env& Setup() {
    static Env env;
    if (!env.peer) {
        FuzzEnv_Init("can_frames_fuzz");
        int bus = CanTest_UseFreeBus();
        if (bus == 0) std::abort();
        u8 settings[kCanSettingsBytes] = {};
        _Can_Init(0, settings);
        if (!Can_IsOpen(0)) std::abort();
        env.peer = new CanPeer(bus);
    }
    return env;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Env& env = Setup();
    // The first byte picks the mode and bit rate; the rest are frames.
    if (size < 1) return 0;
    u8 settings[kCanSettingsBytes] = {};
    settings[kCanSettingMode] = (data[0] & 1) ? kCanModeExtended : 0;
    settings[kCanSettingBitRate] = static_cast<u8>(data[0] >> 1);
    _Can_Init(0, settings);
    const bool extended = settings[kCanSettingMode] == kCanModeExtended;
    size_t frames = 0;
    for (size_t off = 1; off + kCanFrameBytes <= size && frames < 64; off += kCanFrameBytes, ++frames) {
        CanFrame f = CanFrame_Unpack(data + off);
        if (!env.peer->Send(f)) std::abort();
    }
    Can_Isr();
    (void)_Can_Status(0);
    (void)_Can_Data(0, data[0] & 2);
    if (_Can_CountRx(0) > static_cast<int>(frames)) std::abort();
    while (_Can_CheckRx(0)) {
        const CanMsg* m = _Can_GetRx(0);
        if (!m || m->length > 8 || m->id > (extended ? kCanEffMask : kCanSffMask)) std::abort();
        // Echo it back, as a user of the ring would answer.
        if (CanMsg* out = _Can_NextTx(0)) {
            *out = *m;
            _Can_PutTx(0, out);
        }
        _Can_NextRx(0);
    }
    Can_Isr();
    if (_Can_CountTx(0) != 0) std::abort();
    env.peer->Take();
    return 0;
}
