#include "testsupport/fuzz_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "platform/clock.h"
#include "platform/iomodules.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "testsupport/net_config_builder.h"

void FuzzEnv_Init(const char* prefix) {
    static bool done = false;
    if (done) return;
    done = true;
    // As the controller does at start-up: a peer that closed its end of a
    // connection makes a send fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    const char* d = mkdtemp(tmpl.data());
    setenv("PLC_ROOT", d != nullptr ? d : "/tmp", 1);
    // A service that listens does so on a free loopback port, never on the
    // port of a controller running beside.
    setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(18501)).c_str(), 1);
    Root_Init();
    Clock_UseManual(1000000000000ull, 1614945600ll * 1000000000ll);
}

int FuzzEnv_Connection(NxTcpSocket& s, NxIp* ip) {
    if (s.connFd >= 0) close(s.connFd);
    s.connFd = -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    s.ip = ip;
    s.client = 0;
    s.bound = 1;
    s.connFd = sv[0];
    s.state = NX_TCP_ESTABLISHED;
    s.canSend = 1;
    s.backlog.clear();
    return sv[1];
}

void FuzzEnv_Drain(int fd) {
    char buf[4096];
    while (fd >= 0 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

NxPacketPool* FuzzEnv_Pool() {
    static std::vector<u8> area(200 * 1564);
    static NxPacketPool pool;
    static bool made = _nx_packet_pool_create(&pool, "fuzz pool", 1520, area.data(), static_cast<u32>(area.size())) ==
                       NX_SUCCESS;
    return made ? &pool : nullptr;
}

void FuzzEnv_FreshIo(u16 slot0Ident, u16 slot1Ident) {
    std::memset(plc_reg, 0, kPlcRegBytes);
    Plc_Reset();
    IoDriver_Reset();
    IoModules_Reset();
    IoModules_Plug(0, slot0Ident);
    IoModules_Plug(1, slot1Ident);
}
