// Requests per second of one libmodbus client reading 100 holding registers
// (function 3) from the IEC application's Modbus server in the real
// executable, through an MBSLAVETCP block (served in the application's
// cycle) and through the workbench port after the link's hand-over (served
// by the main loop's workbench service), and, in the same run on the same
// machine, from a minimal server written with libmodbus. The controller runs
// on the host's clock.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "iec/ext/q4mb.h"
#include "platform/fileio.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/libmodbus_peer.h"
#include "testsupport/mbcfg_builder.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"

namespace {

constexpr int kRequests = 5000, kCount = 100, kStartMs = 30000;
constexpr u16 kLinkPort = 18501, kWorkbenchPort = 1100, kSlavePort = 1502;
constexpr u32 kSR5 = 2 * (127 + 5);

// Holding registers 0-99 of the local server, one MBSLAVETCP block.
std::vector<u8> App() {
    IecImageBuilder b;
    u16 on = b.Var(kQ4TypeBool, 1), ok = b.Var(kQ4TypeBool), port = b.Var(kQ4TypeDint, kSlavePort);
    b.ModbusConfig(MbCfgBuilder()
                       .Connection(1, "local", 1, kMbFlagServer)
                       .Add({.id = 1, .conn = 1, .function = 3, .address = 0, .quantity = kCount, .bufSize = 2 * kCount})
                       .Build());
    b.FbClass(53, "MBSLAVETCP");
    u16 slave = b.FbInstance(53, true);
    TicAssembler t;
    t.Op("CALL_FB", {slave, 3, on, port, ok}).Op("END");
    b.Program(t.Finish());
    return b.Build();
}

// The controller with the application in run mode and the link handed over
// to the workbench, for the whole run.
class Controller {
public:
    Controller() {
        offset_ = NetFreePortOffset(kLinkPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        {
            FirmwareProcess first;  // writes the default blocks and register image
            if (!first.Start() || !first.WaitForOutput("main loop running", kStartMs)) return;
            first.Signal(SIGTERM);
            first.WaitExit(kStartMs);
        }
        std::vector<u8> image;
        if (!IecStoreApp(root_.Path("/mnt/cfg/ladder.pgm"), App(), RegLocTable()) ||
            !File_ReadAll(root_.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20))
            return;
        PutLe16(&image[8 + kSR5], 2);  // run mode
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        if (!File_WriteAtomic(root_.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()) || !fw_.Start() ||
            !fw_.WaitForOutput("main loop running", kStartMs))
            return;
        bool connected = false;
        for (int tries = 0; tries < 200 && !connected; ++tries) {
            connected = host_.Connect(kLinkPort + offset_);
            if (!connected) usleep(10000);  // the link is still starting
        }
        std::vector<u8> id;
        ok_ = connected && host_.Handshake() == 0 &&
              host_.FrameData(host_.Request(9, {0xFF}), &id) && id.size() == 1 && host_.Ask(38, {id[0]}) == 0xA0;
    }
    ~Controller() {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            fw_.WaitExit(kStartMs);
        }
        unsetenv("PLC_PORT_OFFSET");
    }
    bool Ok() const { return ok_; }
    int Port(int base) const { return base + offset_; }

private:
    TempRoot root_;
    int offset_ = 0;
    FirmwareProcess fw_;
    TovraHost host_;
    bool ok_ = false;
};

Controller& TheController() {
    static Controller c;
    return c;
}

void Drive(int port, benchmark::State& state) {
    LibModbusClient client(port);
    bool ok = client.Ok();
    uint16_t regs[kCount];
    for (auto _ : state) {
        if (ok && !client.Read(0, kCount, regs)) ok = false;
    }
    if (!ok) state.SkipWithError("a request failed");
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// From the controller's port (before the offset).
void BM_Controller(benchmark::State& state, int port) {
    if (!LibModbus_Get() || !TheController().Ok()) {
        state.SkipWithError("libmodbus.so.5 is not installed or the controller did not start");
        return;
    }
    Drive(TheController().Port(port), state);
}
BENCHMARK_CAPTURE(BM_Controller, MbSlaveTcpBlock, kSlavePort)->Iterations(kRequests)->UseRealTime();
BENCHMARK_CAPTURE(BM_Controller, WorkbenchPort, kWorkbenchPort)->Iterations(kRequests)->UseRealTime();

void BM_LibmodbusServer(benchmark::State& state) {
    const int port = kSlavePort + NetFreePortOffset(kSlavePort);
    LibModbusServer server(port, kCount);
    if (!server.Ok()) {
        state.SkipWithError("libmodbus.so.5 is not installed or cannot listen");
        return;
    }
    Drive(port, state);
}
BENCHMARK(BM_LibmodbusServer)->Iterations(kRequests)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
