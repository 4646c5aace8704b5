// The programming link over TCP fed as hosts feed it: byte streams cut into
// chunks anywhere, from several hosts at once, interleaved with what the
// command interpreter does on its side of the mailbox (reads, answers,
// frames, the idle toggle) and with time passing. Packet splitting, long
// frames cut into chunks, gathered replies and the slot table must never
// read or write outside their buffers, and the link must keep its counts
// within bounds.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/plc_regs.h"
#include "link/command.h"
#include "net/tovra.h"
#include "platform/clock.h"
#include "platform/nx_api.h"
#include "testsupport/fuzz_env.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Reader {
    const u8* p;
    size_t n, at = 0;
    bool More() const { return at < n; }
    u8 Byte() { return at < n ? p[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_tovra_fuzz_");
    static NxIp ip;
    ip.pool = FuzzEnv_Pool();
    Tovra_Reset();
    SR_Put(155, static_cast<u16>(1095 + (size % 3) * 500));  // the gathered packet size
    Tovra_Init(&ip, ip.pool);
    TovraConnState& c = TovraConn[0];
    int hosts[kTovraSlots];
    for (u32 k = 0; k < kTovraSlots; ++k) hosts[k] = FuzzEnv_Connection(c.slots[k].socket, &ip);

    Reader in{data, size};
    for (int op = 0; op < 400 && in.More(); ++op) {
        const u8 b = in.Byte();
        const u32 host = b % kTovraSlots;
        switch (b / kTovraSlots) {
            case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
            case 8: case 9: case 10: case 11: case 12: case 13: case 14: case 15: {
                // A chunk of the host's stream.
                size_t n = 1 + (b / kTovraSlots) * 9u;
                if (n > in.n - in.at) n = in.n - in.at;
                if (hosts[host] >= 0) send(hosts[host], in.p + in.at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
                in.at += n;
                break;
            }
            case 16:
                while (Etn_CheckRx()) Etn_GetRx();
                Etn_PutTx(kCmdAck);
                break;
            case 17: {
                u8 frame[300];
                u32 n = in.Byte();
                for (u32 i = 0; i < n; ++i) frame[i] = in.Byte();
                Etn_PutnTx(frame, n);
                break;
            }
            case 18: Etn_PutTx(112); break;  // the interpreter goes idle
            case 19:
                if (hosts[host] >= 0) shutdown(hosts[host], SHUT_WR);
                break;
            case 20: Clock_Advance(u64{in.Byte()} * 10'000'000ull); break;
            case 21: Etn_PutTx(in.Byte()); break;
            case 22: Etn_FlushRx(); break;
            default: break;
        }
        Tovra_Scan(0);
        for (int fd : hosts) FuzzEnv_Drain(fd);
        for (const TovraSlot& sl : c.slots) Check(sl.streamLength <= kTovraStreamBytes);
        Check(c.selected == 255 || c.selected < kTovraSlots);
        Check(c.splitPos <= kTovraMaxData + 2);
    }
    for (int fd : hosts)
        if (fd >= 0) close(fd);
    Tovra_Reset();
    return 0;
}
