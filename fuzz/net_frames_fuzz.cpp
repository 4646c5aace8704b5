// Hostile bytes through the Modbus request handling (frame splitting of the
// TCP byte stream, every function over the address map, answers built into
// the 266-byte answer buffer) and through the network configuration stream
// parser, which must never read outside the I/O configuration block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/modbus.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/net_config_builder.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void Modbus(const uint8_t* data, size_t size) {
    PutLe16(DprMap + kDprRunFlag, 1);
    Dpr_Configuration[0].flags.service |= kSvcModbus;
    u8 tx[kModbusTxBytes + 16];
    const u8 guard = 0xA5;
    std::memset(tx, guard, sizeof tx);
    u32 pos = 0;
    u32 n = static_cast<u32>(size);
    while (pos < n) {
        u32 len = Modbus_FrameLength(data + pos, n - pos);
        if (len == 0 || len == ~0u) break;
        Check(len <= n - pos);
        ModbusOutcome o = Modbus_Process(0, data + pos, len, tx);
        if (o.kind == ModbusOutcome::kAnswer) Check(o.answerLength <= kModbusTxBytes);
        if (o.kind == ModbusOutcome::kRead) Check(Modbus_BuildReadAnswer(o.read, tx) <= kModbusTxBytes);
        pos += len;
    }
    // A whole input taken as one datagram.
    ModbusOutcome o = Modbus_Process(0, data, n, tx);
    if (o.kind == ModbusOutcome::kAnswer) Check(o.answerLength <= kModbusTxBytes);
    if (o.kind == ModbusOutcome::kRead) Modbus_BuildReadAnswer(o.read, tx);
    for (u32 i = kModbusTxBytes; i < sizeof tx; ++i) Check(tx[i] == guard);
}

void Config(const uint8_t* data, size_t size) {
    // The input is the Ethernet module's record data, behind two empty slots.
    std::vector<u8> io = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0};
    u32 n = size > 60000 ? 60000 : static_cast<u32>(size);
    io.push_back(static_cast<u8>(n));
    io.push_back(static_cast<u8>(n >> 8));
    io.insert(io.end(), data, data + n);
    // Bytes behind the block hold a marker the parser must never take in.
    std::memset(io_config + io.size(), 0x5A, 1024);
    NetLoadIoConfig(io);
    // The start-up configuration would also keep each address in the
    // settings file, written and synced whenever it changes: a file per
    // input. The parse of a run-mode start reads the same streams.
    SR_Put(5, 2);
    PutLe16(DprMap + kDprRunFlag, 1);
    Dpr_Io_Service();  // finds the Ethernet module's record
    PutLe16(DprMap + kDprRunFlag, 0);
    Dpr_Io_Service();  // and parses every interface's stream
    for (int i = 0; i < kEnetPorts; ++i) Check(Dpr_Configuration[i].tail.webUser[kEnetTextField - 1] == 0);
    Check(Dpr_StatusCount() <= kDprStatusEntries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_net_fuzz_");
    if (size == 0) return 0;
    if (data[0] & 1) Modbus(data + 1, size - 1);
    else Config(data + 1, size - 1);
    return 0;
}
