// The NMT master on a hostile network table and hostile frames: the input's
// first bytes are the table record (made a master's), the rest frames that
// another node puts on the bus, each followed by a few scans. The node rows,
// their configuration objects and SDO client entries are read only through
// the table view; nothing may read outside the table, and every frame the
// master sends stays a frame of at most 8 bytes.
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
#include "io/canopen_table.h"
#include "platform/canbus.h"
#include "testsupport/can_peer.h"
#include "testsupport/fuzz_env.h"

namespace {

CanPeer* Setup() {
    static CanPeer* peer = nullptr;
    if (!peer) {
        FuzzEnv_Init("canopen_master_fuzz");
        Wiring_Connect();
        int bus = CanTest_UseFreeBus();
        if (bus == 0) std::abort();
        peer = new CanPeer(bus);
    }
    return peer;
}

void Scan(CanPeer* peer) {
    Can_Isr();
    CANOpenRxMsg();
    CANOpenTxMsg();
    if (_Can_CountTx(0) > kCanRingSize) std::abort();
    Can_Isr();
    for (const CanFrame& f : peer->Take()) {
        if (f.length > 8) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CanPeer* peer = Setup();
    // Bytes 0-1: the record's length; then the record; then frames.
    if (size < 2) return 0;
    size_t length = GetLe16(data);
    if (length > size - 2 || length < kCoRecordBytes) return 0;
    std::vector<u8> record(data + 2, data + 2 + length);
    record[kCoStartupFlags] |= kCoStartMaster;
    if (record[kCoNodeId] == 0 || record[kCoNodeId] > kCoMaxNodes) record[kCoNodeId] = 1;
    CANOpen_Reset();
    std::copy(record.begin(), record.end(), copendnet_tbl.Data());
    copendnet_tbl.SetHeader(crc16(record.data(), static_cast<u32>(record.size())), static_cast<u32>(record.size()));
    CanOpenNetStart start{};
    CANOpenInit(&start);
    Scan(peer);
    size_t frames = 0;
    for (size_t off = 2 + length; off + kCanFrameBytes <= size && frames < 64; off += kCanFrameBytes, ++frames) {
        CanFrame f = CanFrame_Unpack(data + off);
        // A reset of the node would end the process.
        if (!(f.idWord & kCanErrFlag) && (f.idWord & kCanSffMask) == 0 && f.data[0] == kNmtResetNode) f.data[0] = 0;
        if (!peer->Send(f)) std::abort();
        for (int k = 0; k < 4; ++k) Scan(peer);
    }
    CoSdo_ClientClear();
    copendnet_tbl.SetHeader(0, 0);
    return 0;
}
