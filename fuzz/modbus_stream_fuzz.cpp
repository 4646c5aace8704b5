// The Modbus server fed as clients feed it: TCP byte streams cut into chunks
// anywhere, from several connections at once, interleaved with time passing
// and with answers owed across passes; or datagrams on the UDP path. Stream
// reassembly, pipelined frames, owed reads and the slot table must never
// read or write outside their buffers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/modbus.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "testsupport/fuzz_env.h"

namespace {

constexpr u32 kClients = 4;  // connections fed per input; the others stay idle

void Check(bool ok) {
    if (!ok) std::abort();
}

// A client socket towards the server's datagram port, made once.
int UdpClient() {
    static int fd = [] {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<u16>(502 + Root_PortOffset()));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(s);
            s = -1;
        }
        return s;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_modbus_fuzz_");
    static NxIp ip;
    ip.pool = FuzzEnv_Pool();
    if (size == 0) return 0;
    const bool udp = data[0] & 1;
    ModbusConn& b = ModbusConnEth[0];
    b.ip = &ip;
    b.index = 0;
    ModbusPacketPoolPtr = ip.pool;
    PutLe16(DprMap + kDprRunFlag, 1);
    Dpr_Configuration[0].flags.service |= kSvcModbus;
    Dpr_Configuration[0].tail.modbus.port = 502;
    Dpr_Configuration[0].tail.modbus.transport = udp ? 1 : 0;

    if (udp && b.udp.fd < 0) b.active = 0;  // the scan binds the datagram port
    int clients[kClients] = {-1, -1, -1, -1};
    if (!udp) {
        b.active = 1;
        b.port = 502;
        for (u32 s = 0; s < kModbusSockets; ++s) {
            ModbusSocketEntry& e = b.sockets[s];
            e.read = {};
            e.streamLength = 0;
            e.lastActivity = e.frameStart = _tx_time_get();
            int fd = FuzzEnv_Connection(e.socket, &ip);
            if (s < kClients) clients[s] = fd;
            else if (fd >= 0) close(fd);  // idle: its peer is gone
        }
    }
    size_t at = 1;
    for (int op = 0; op < 300 && at < size; ++op) {
        const u8 c = data[at++];
        const u32 who = c % kClients;
        const u32 kind = c / kClients;
        if (kind < 48) {
            size_t n = 1 + kind * 3u;
            if (n > size - at) n = size - at;
            if (udp) send(UdpClient(), data + at, n, MSG_DONTWAIT);
            else if (clients[who] >= 0) send(clients[who], data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            at += n;
        } else if (kind < 56) {
            Clock_Advance(u64{kind - 47} * 200'000'000ull);
        } else if (!udp && clients[who] >= 0) {
            shutdown(clients[who], SHUT_WR);
        }
        Modbus_Scan(0);
        for (int fd : clients) FuzzEnv_Drain(fd);
        if (udp) FuzzEnv_Drain(UdpClient());
        for (const ModbusSocketEntry& e : b.sockets) Check(e.streamLength <= kModbusStreamBytes);
    }
    // Owed answers go out on the next pass.
    Modbus_Scan(0);
    if (udp) {
        FuzzEnv_Drain(UdpClient());
    } else {
        for (ModbusSocketEntry& e : b.sockets) {
            _nx_tcp_server_socket_unaccept(&e.socket);
            e.read = {};
            e.streamLength = 0;
        }
        for (int fd : clients)
            if (fd >= 0) close(fd);
    }
    return 0;
}
