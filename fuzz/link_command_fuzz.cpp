// Feeds frames to the programming link through the programming port's
// intercept ring and runs the command check over them, so that no frame,
// well-formed or not, can make the link read or write outside its buffers or
// blocks. The input is a list of [command][length][data] records; most get a
// correct checksum so they reach the handlers, some are sent as they are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "iec/kernel/q4host.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "link/datagram.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/clock.h"
#include "platform/timers.h"
#include "testsupport/fuzz_env.h"

namespace {

void Init() { FuzzEnv_Init("linkfuzz"); }

u32 RegAddress(const std::vector<u8>& d) {
    if (d.size() < 4) return 0;
    u16 token = static_cast<u16>(d[2] | (d[3] << 8));
    if (token == 0) return d.size() >= 8 ? GetLe32(&d[4]) : 0;
    if ((token == 1776 || token == 1777) && d.size() >= 6) return (token == 1776 ? 0x10000u : 0x20000u) + GetLe16(&d[4]);
    return token;
}

// Commands that end the process (warm reset) are kept out: reset and
// register writes that reach the system registers.
bool Allowed(u8 command, const std::vector<u8>& d) {
    if (command == 20) return false;
    if (command == 24 || command == 22) {
        u32 a = RegAddress(d);
        if (a < 0xC00 + 16 * 200) return command == 22;
    }
    return true;
}

void Frame(std::vector<u8>& out, u8 command, const std::vector<u8>& data, bool goodSum) {
    size_t start = out.size();
    out.push_back(command);
    if (data.size() > 254) {
        out.push_back(0xFF);
        out.push_back(static_cast<u8>(data.size()));
        out.push_back(static_cast<u8>(data.size() >> 8));
    } else {
        out.push_back(static_cast<u8>(data.size()));
    }
    out.insert(out.end(), data.begin(), data.end());
    u8 sum = Cmd_Seed();
    for (size_t i = start; i < out.size(); ++i) sum = static_cast<u8>(sum + out[i]);
    out.push_back(goodSum ? static_cast<u8>(-sum) : sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Init();
    std::memset(plc_reg, 0, kPlcRegBytes);
    Timer_Init(nullptr, 0);
    Cmd_Reset();
    Vcomm_Reset();
    Q4Host_Reset();  // the workbench hand-over of command 38 too
    SR_Put(29, 1);
    SR_Put(5, 2);  // in run: downloads are not stored, which keeps rounds fast
    Vcomm_Drv[0].Open(0, tovra_mode);
    Vcomm_Drv[0].SetIntrcpt(1);
    Cmd_Init();
    Vcomm_Drv[0].SetIntrcpt(1);

    std::vector<u8> stream;
    size_t i = 0;
    while (i + 2 <= size) {
        u8 command = data[i];
        u32 len = data[i + 1];
        if (len == 0xFF && i + 4 <= size) len = static_cast<u32>(data[i + 2] | (data[i + 3] << 8)) % 2048;
        bool goodSum = (command & 0x80) == 0 || command == 0xFF;
        i += 2;
        std::vector<u8> d(data + i, data + i + std::min<size_t>(len, size - i));
        i += d.size();
        if (!d.empty() && (command & 0x40)) d[0] = 1;  // mostly for this node
        if (command != 0xFF) command &= 0x3F;
        if (!Allowed(command, d)) continue;
        Frame(stream, command, d, goodSum);
    }
    if (stream.size() > 64 * 1024) stream.resize(64 * 1024);

    size_t fed = 0;
    for (int pass = 0; pass < 4000 && (fed < stream.size() || CmdRun != 255); ++pass) {
        while (fed < stream.size() && Vcomm_Drv[0].StuffRx(stream[fed])) fed++;
        Cmd_Check();
        Datagram_Check();
        u8 b;
        while (Vcomm_Drv[0].DrainTx(&b)) {
        }
        Clock_Advance(1000000);  // 1 ms per pass: time-outs and the upload pause run out
        if ((SR_Get(5) & 0xFF) != 2) SR_Put(5, 2);
    }
    Vcomm_Drv[0].SetIntrcpt(0);
    return 0;
}
