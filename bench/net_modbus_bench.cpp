// Modbus TCP requests per second: one libmodbus client reading 100 holding
// registers (function 3) a fixed number of times, against this controller's
// server (stepped by the Ethernet main step in its own thread) and, in the
// same run on the same machine, against a minimal server written with
// libmodbus. libmodbus is opened at run time (Debian libmodbus-dev / libmodbus5).
//
// Beside them, the same controller answers reads of 1000 %R words: over
// SRTP one request each, over Modbus eight function-3 requests of 125
// registers each (the most one request may ask).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "platform/root.h"
#include "testsupport/libmodbus_peer.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/srtp_client.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kRequests = 5000;
constexpr int kAddress = 10000;  // %R1 in the controller's map
constexpr int kCount = 100;

// Reads kRequests times; false when a request fails.
bool Drive(int port, benchmark::State& state) {
    LibModbusClient client(port);
    bool ok = client.Ok();
    uint16_t regs[kCount];
    for (auto _ : state) {
        if (ok && !client.Read(kAddress, kCount, regs)) ok = false;
    }
    return ok;
}

// The controller's Ethernet services with Modbus and SRTP on interface 0,
// stepped in a thread of their own while the object lives.
class Controller {
public:
    Controller() {
        offset_ = NetFreePortOffset(502);
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        Root_Init();
        Nvram_Reset();
        Enet_Reset();
        Enet_SetIdleWaitMs(0);
        NetStreamBuilder s(NetAddr(10, 0, 0, 5), NetAddr(255, 255, 255, 0));
        s.Services(0, 0).Modbus(true, 0, 502, 0);
        NetLoadIoConfig(NetIoConfig(s.Build()));
        SR_Put(5, 2);
        server_ = std::thread([this] {
            while (!stop_) EnetMain(0);
        });
    }
    ~Controller() {
        stop_ = true;
        server_.join();
        Enet_Reset();
        unsetenv("PLC_PORT_OFFSET");
    }
    int Port(int base) const { return base + offset_; }

private:
    TempRoot root_;
    int offset_ = 0;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

void BM_ControllerServer(benchmark::State& state) {
    if (!LibModbus_Get()) {
        state.SkipWithError("libmodbus.so.5 is not installed");
        return;
    }
    bool ok;
    {
        Controller c;
        ok = Drive(c.Port(502), state);
    }
    if (!ok) state.SkipWithError("a request failed");
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ControllerServer)->Iterations(kRequests)->UseRealTime();

void BM_LibmodbusServer(benchmark::State& state) {
    const int port = 502 + NetFreePortOffset(502);
    LibModbusServer server(port, kAddress + kCount);
    if (!server.Ok()) {
        state.SkipWithError("libmodbus.so.5 is not installed or cannot listen");
        return;
    }
    if (!Drive(port, state)) state.SkipWithError("a request failed");
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LibmodbusServer)->Iterations(kRequests)->UseRealTime();

constexpr int kBigReads = 1000;

void BM_Controller1000WordsSrtp(benchmark::State& state) {
    Controller c;
    SrtpClient client;
    bool ok = false;
    for (int tries = 0; tries < 200 && !ok; ++tries) {
        ok = client.Connect(c.Port(18245)) && client.Handshake();
        if (!ok) usleep(10000);  // the server is still starting
    }
    u16 sequence = 0;
    SrtpReply a;
    for (auto _ : state) {
        if (ok) ok = client.Ask(SrtpRead(++sequence, 8, 0, 1000), &a) && a.text.size() == 2000;
    }
    if (!ok) state.SkipWithError("a request failed");
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["words/s"] =
        benchmark::Counter(1000.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Controller1000WordsSrtp)->Iterations(kBigReads)->UseRealTime();

void BM_Controller1000WordsModbus(benchmark::State& state) {
    if (!LibModbus_Get()) {
        state.SkipWithError("libmodbus.so.5 is not installed");
        return;
    }
    Controller c;
    LibModbusClient client(c.Port(502));
    bool ok = client.Ok();
    uint16_t regs[125];
    for (auto _ : state) {
        for (int k = 0; k < 8 && ok; ++k) ok = client.Read(kAddress + 125 * k, 125, regs);
    }
    if (!ok) state.SkipWithError("a request failed");
    state.counters["req/s"] =
        benchmark::Counter(8.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["words/s"] =
        benchmark::Counter(1000.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Controller1000WordsModbus)->Iterations(kBigReads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
