// Workbench round trips per second (a status request, request 21) with one
// and with eight clients on loopback, the server stepped in its own thread
// as the main loop steps it; debug-server requests per second on a running
// application (read objects: 16 DINTs; a poll of 256 bytes of the database);
// events per second delivered to one client that acknowledges every frame;
// and, in the same run, a plain TCP echo round trip of the same size for
// comparison.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4evs.h"
#include "core/nvram.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "platform/fileio.h"
#include "testsupport/iec_image_builder.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/workbench_client.h"

namespace {

struct Env {
    Env() {
        offset = NetFreePortOffset(kQ4CSWorkbenchPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        root = std::make_unique<TempRoot>();
        Root_Init();
    }
    int offset = 0;
    std::unique_ptr<TempRoot> root;
};
Env& TheEnv() {
    static Env e;
    return e;
}

// Steps fn in its own thread for the object's life.
class Stepper {
public:
    explicit Stepper(void (*fn)()) : thread_([this, fn] {
        while (!stop_.load()) fn();
    }) {}
    ~Stepper() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_WorkbenchRoundTrip(benchmark::State& state) {
    Env& env = TheEnv();
    Q4Host_Reset();
    Q4_Connect_Ethernet();
    const int clients = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<WorkbenchClient>> wb;
    {
        Stepper s([] { Quillet_Comm_service(); });
        for (int k = 0; k < clients; ++k) {
            wb.push_back(std::make_unique<WorkbenchClient>());
            if (!wb.back()->Connect(kQ4CSWorkbenchPort + env.offset)) state.SkipWithError("no connection");
        }
        const std::vector<u8> frame = WorkbenchClient::Frame(21, {0, 1});
        for (auto _ : state) {
            for (auto& c : wb) c->SendRaw(frame);
            for (auto& c : wb)
                if (c->Read().Status() != 0) state.SkipWithError("no answer");
        }
        state.SetItemsProcessed(state.iterations() * clients);
        wb.clear();
    }
    Q4Host_Reset();
}
BENCHMARK(BM_WorkbenchRoundTrip)->Arg(1)->Arg(8)->UseRealTime();

// A running application of 16 counting DINTs behind the workbench listener.
void StartApplication(Env&) {
    IecImageBuilder b;
    const u16 one = b.Var(kQ4TypeDint, 1);
    TicAssembler t;
    for (int k = 0; k < 16; ++k) {
        const u16 v = b.Var(kQ4TypeDint, static_cast<u64>(k));
        t.Op("ADD_DINT", {v, v, one});
    }
    b.Program(t.Op("END").Finish());
    const std::vector<u8> code = b.Build();
    File_WriteAtomic(Root_HostPath("/mnt/cfg/q4.cod"), code.data(), code.size());
    q4HostPeers.stopIo = [] { return 0; };
    q4HostPeers.changedOnLine = [] {};
    Q4Host_Reset();
    Q4_init = 0;
    Q4Host_Init();
    Q4_Connect_Ethernet();
}

// One debug-server request kind per iteration, answered while the
// application cycles between requests as the scan would run it.
void DebugServerRequests(benchmark::State& state, u8 command, const std::vector<u8>& data) {
    Env& env = TheEnv();
    StartApplication(env);
    if (!pDB) {
        state.SkipWithError("no application");
        return;
    }
    {
        Stepper s([] {
            Quillet_Comm_service();
            _VMThread();
        });
        WorkbenchClient wb;
        if (!wb.Connect(kQ4CSWorkbenchPort + env.offset)) state.SkipWithError("no connection");
        for (auto _ : state) {
            VmAnswer a = wb.Vm(command, data);
            if (!a.received || a.status != 0) {
                state.SkipWithError("no answer");
                break;
            }
        }
        state.SetItemsProcessed(state.iterations());
        wb.Close();
    }
    Q4Host_Reset();
}

void BM_DebugServerReadObjects(benchmark::State& state) {
    std::vector<u8> d{16};
    for (u16 i = 2; i < 18; ++i) d.insert(d.end(), {11, 0, static_cast<u8>(i)});  // kind 11: a DINT
    DebugServerRequests(state, 2, d);
}
BENCHMARK(BM_DebugServerReadObjects)->UseRealTime();

void BM_DebugServerPollTable(benchmark::State& state) {
    std::vector<u8> d(11, 0);
    d[0] = 255;
    PutBe32(&d[1], 0);
    PutBe16(&d[5], 256);
    DebugServerRequests(state, 8, d);
}
BENCHMARK(BM_DebugServerPollTable)->UseRealTime();

Q4EvsServer* g_events = nullptr;
std::atomic<u32> g_now{1000};

void BM_EventsToOneAcknowledgingClient(benchmark::State& state) {
    Env& env = TheEnv();
    Q4EvsSettings settings;
    settings.capacity[0] = 1024;
    settings.capacity[2] = 8000;
    settings.capacity[3] = 16000;
    settings.port = 9000;
    std::vector<u8> block(Q4Evs_GetMemorySize(&settings));
    g_events = reinterpret_cast<Q4EvsServer*>(block.data());
    if (Q4Evs_Open(g_events, &settings) != 0) {
        state.SkipWithError("no listener");
        return;
    }
    int fd = ConnectLoopback(9000 + env.offset);
    std::atomic<u64> received{0};
    {
        Stepper s([] {
            // Keep the trace queue fed, as a busy application would.
            for (int k = 0; k < 8; ++k) Q4Evs_Trace(g_events, "cycle trace of forty characters........");
            Q4Evs_Activate(g_events, g_now.fetch_add(1) % 86400000u);
        });
        const u8 ack[] = {'Q', '4', 0, 10, 18, 0x0F, 0, 0, 0, 0, 0, 0, 4, 0};
        std::vector<u8> in;
        for (auto _ : state) {
            // One frame, its events counted, then acknowledged.
            in.clear();
            size_t need = 4;
            while (in.size() < need) {
                u8 b[2048];
                ssize_t n = recv(fd, b, need - in.size(), 0);
                if (n <= 0) {
                    state.SkipWithError("connection lost");
                    break;
                }
                in.insert(in.end(), b, b + n);
                if (in.size() == 4) need = GetBe16(&in[2]) + 4u;
            }
            if (in.size() >= 6) received += in[5];
            send(fd, ack, sizeof ack, 0);
        }
        state.counters["events/s"] = benchmark::Counter(static_cast<double>(received.load()), benchmark::Counter::kIsRate);
        close(fd);
    }
    Q4Evs_Close(g_events);
    g_events = nullptr;
}
BENCHMARK(BM_EventsToOneAcknowledgingClient)->UseRealTime();

void BM_PlainTcpEchoRoundTrip(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        state.SkipWithError("no listener");
        close(listener);
        return;
    }
    std::thread echo([listener] {
        int c = accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        u8 b[64];
        ssize_t n;
        while ((n = recv(c, b, sizeof b, 0)) > 0) send(c, b, static_cast<size_t>(n), 0);
        close(c);
    });
    int fd = ConnectLoopback(ntohs(a.sin_port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const u8 frame[7] = {'Q', '4', 0, 3, 21, 0, 1};
    for (auto _ : state) {
        send(fd, frame, sizeof frame, 0);
        u8 b[16];
        size_t got = 0;
        while (got < sizeof frame) {
            ssize_t n = recv(fd, b, sizeof b, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
    echo.join();
    close(listener);
}
BENCHMARK(BM_PlainTcpEchoRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
