// Download and upload throughput of the programming link over a pty, with
// frame data of 64 and 1,024 bytes, beside the raw throughput of the same pty
// pair. The link runs in this process; the host side steps it while it waits.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "iec/kernel/q4host.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/rct.h"
#include "platform/timers.h"
#include "testsupport/link_host.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u8 kNode = 1;
constexpr u8 kArea = 22;              // the data-log table: no side effects
constexpr size_t kImageBytes = 64 * 1024;
// Uploads begin with a 250 ms pause: a larger image keeps it from hiding the transfer.
constexpr u8 kUploadArea = 20;        // the protocol-driver section (read at the next run start only)
constexpr size_t kUploadBytes = 1024 * 1024;

struct Link {
    TempRoot root;
    RegFixture regs;
    LinkPty pty;
    std::unique_ptr<LinkHost> host;
    Link() {
        Timer_Init(nullptr, 0);
        RCT_Init();
        Cmd_Reset();
        Vcomm_Reset();
        Q4Host_Reset();  // the workbench hand-over of command 38 too
        SR_Put(29, kNode);
        SR_Put(5, 2);  // in run: a download is not written to the volume each time
        pty.Open(root.Path("/dev/ttySP3"));
        SCI0_Init(0);
        Cmd_Init();
        host = std::make_unique<LinkHost>(pty.Master(), Cmd_Seed(), [] { Cmd_Check(); });
    }
    ~Link() {
        Sci_Reset();
        Cmd_Reset();
    }
};

std::vector<u8> Image(size_t n = kImageBytes) {
    std::vector<u8> v(n);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<u8>(i * 13);
    return v;
}

void BM_Download(benchmark::State& state) {
    Link link;
    std::vector<u8> image = Image();
    u32 chunk = static_cast<u32>(state.range(0));
    for (auto _ : state) {
        if (link.host->Download(kNode, kArea, image, chunk) != 0xA0) state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_Upload(benchmark::State& state) {
    Link link;
    std::vector<u8> image = Image(kUploadBytes);
    if (link.host->Download(kNode, kUploadArea, image, 1024) != 0xA0) state.SkipWithError("download failed");
    u16 frame = static_cast<u16>(state.range(0));
    std::vector<u8> out;
    for (auto _ : state) {
        // Larger frames need the negotiation (it lapses after each transfer).
        if (frame != 64 && link.host->Negotiate(kNode, frame) != 0xA0) state.SkipWithError("negotiation refused");
        if (!link.host->Upload(kNode, kUploadArea, &out) || out.size() != image.size()) state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_RawPty(benchmark::State& state) {
    TempRoot root;
    LinkPty pty;
    pty.Open(root.Path("/dev/ttySP3"));
    int slave = open(root.Path("/dev/ttySP3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    size_t chunk = static_cast<size_t>(state.range(0));
    std::vector<u8> buf(chunk, 0x55), in(chunk);
    for (auto _ : state) {
        for (size_t done = 0; done < kImageBytes; done += chunk) {
            size_t w = 0;
            while (w < chunk) {
                ssize_t r = write(pty.Master(), buf.data() + w, chunk - w);
                if (r > 0) w += static_cast<size_t>(r);
            }
            size_t got = 0;
            while (got < chunk) {
                pollfd p{slave, POLLIN, 0};
                poll(&p, 1, 100);
                ssize_t r = read(slave, in.data() + got, chunk - got);
                if (r > 0) got += static_cast<size_t>(r);
            }
        }
    }
    close(slave);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}

}  // namespace

BENCHMARK(BM_Download)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPty)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
