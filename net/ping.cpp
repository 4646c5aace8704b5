#include "net/ping.h"

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "platform/fpga.h"

namespace {

struct State {
    PingInstance eth[4];
};
State g;

bool Broadcast(const NxIp& ip, u32 target) {
    if (target == 0xFFFFFFFFu) return true;
    return ((target ^ ip.address) & ip.mask) == 0 && (target | ip.mask) == 0xFFFFFFFFu;
}

}  // namespace

u32 Ping_Init(NxIp* ip) {
    PingInstance& p = g.eth[ip->index & 3];
    p = PingInstance{};
    p.ip = ip;
    ip->pingPending = 0;
    ip->pingTarget = 0;
    ip->pingStamp = 0;
    ip->sent = 0;
    ip->received = 0;
    return 0;
}

i32 Ping_Scan(u32 target, u32 timeoutMs, int iface) {
    PingInstance& p = g.eth[iface & 3];
    if (target != p.target || timeoutMs != p.timeout) p.result = -1;
    p.target = target;
    p.timeout = timeoutMs;
    if (target == 0 || p.ip == nullptr) return p.result;
    NxIp& ip = *p.ip;
    if (Broadcast(ip, target) || timeoutMs < kPingMinTimeoutMs) return p.result;
    if (!ip.linkUp) {
        p.result = -1;
        return -1;
    }
    NxPacket* answer = nullptr;
    const u32 now = _tx_time_get();
    u32 r = _nx_icmp_ping(&ip, target, nullptr, 0, &answer, timeoutMs);
    if (r == NX_SUCCESS) {
        p.result = static_cast<i32>(now - p.sentAt);
        if (answer != nullptr) _nx_packet_release(answer);
    } else if (r == NX_IN_PROGRESS) {
        p.sentAt = now;
    } else if (ip.received != ip.sent && static_cast<u32>(now - p.sentAt) > timeoutMs) {
        p.result = -1;
        ip.received = ip.sent;
    }
    return p.result;
}

u32 Ping_ServerInit(NxIp* ip, NxPacketPool*) { return Ping_Init(ip); }

void Ping_ServerScan(int iface) {
    const EnetPortConfig& c = Dpr_Configuration[iface & 3];
    const bool on = (c.flags.service & kSvcPing) && c.pingTarget != 0;
    u32 target = 0, timeout = 0;
    if (on) {
        u8 v[4] = {};
        if (PlcReg_Get(v, c.pingTarget, 32)) target = GetLe32(v);
        timeout = c.pingTimeout;
    }
    i32 result = Ping_Scan(target, timeout, iface);
    if (c.pingResult != 0) {
        u8 v[4];
        PutLe32(v, static_cast<u32>(result));
        PlcReg_Set(c.pingResult, v, 32);
    }
}

void Ping_Reset() { g = State{}; }

const PingInstance& Ping_Block(int iface) { return g.eth[iface & 3]; }
