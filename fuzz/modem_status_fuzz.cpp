// The module's socket status list: any text moves sockets between states and
// records an incoming call's peer, never beyond the socket's fields; the
// steps it starts talk to a port that takes everything and answers nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/vcomm.h"
#include "remote/at_cmd.h"
#include "remote/modem.h"
#include "remote/modemsock.h"
#include "testsupport/fuzz_env.h"

namespace {
int Zero(u32) { return 0; }
int One(u32) { return 1; }
void Nothing(u32) {}
int PutTx(u32, u8 b) { return b; }
int PutnTx(u32, const u8*, u32 n) { return static_cast<int>(n); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("modem_status_fuzz");
    Modem_ResetAll();
    VcommDriver saved = Vcomm_Drv[0];
    Vcomm_Drv[0].CheckRx = Zero;
    Vcomm_Drv[0].FlushRx = Nothing;
    Vcomm_Drv[0].PutTx = PutTx;
    Vcomm_Drv[0].PutnTx = PutnTx;
    Vcomm_Drv[0].RtuTx = Nothing;
    Vcomm_Drv[0].EmptyTx = One;
    at_status.port = 0;
    at_status.letter = 'z';
    at_status.modemFlags = 0x03;
    for (u32 i = 0; i < kModemSockets; ++i) socket_info_st[i].connectionId = static_cast<u8>(i + 1);
    std::vector<char> text(data, data + size);  // exact size: an overrun is seen
    ModemSocket_ApplyStatusList(text.data(), static_cast<u32>(text.size()));
    for (const ModemSocket& s : socket_info_st) {
        if (s.state > kSockReading) std::abort();
        if (std::strlen(s.host) >= sizeof s.host || std::strlen(s.peerPort) >= sizeof s.peerPort) std::abort();
    }
    Vcomm_Drv[0] = saved;
    return 0;
}
