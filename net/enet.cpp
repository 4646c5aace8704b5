#include "net/enet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/asciitcp_server.h"
#include "net/eip/eip.h"
#include "net/eip/eip_server.h"
#include "net/egd.h"
#include "net/egd_server.h"
#include "net/enet_server.h"
#include "net/etnio_server.h"
#include "net/http_pages_server.h"
#include "net/modbus.h"
#include "net/modbus_server.h"
#include "net/ping_server.h"
#include "net/srtp_server.h"
#include "net/tovra.h"
#include "net/tovra_server.h"
#include "net/vcommetn_server.h"
#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/masterscript.h"
#include "platform/root.h"
#include "platform/rtclock.h"
#include "platform/service.h"
#include "remote/dhcpClient.h"
#include "remote/email.h"
#include "remote/wifi.h"
#include "webhmi/dartu_glue.h"

u8 DartuHttp = 1;
u8 DartuUpdateNewIp = 0;
u16 etnStatusNodeId = 0;

u32 EnetPortScan = 2;
u32 EnetIpAddress[4], EnetNetMask[4], EnetGateway[4], EnetDns[4];
u8 Enet_LinkUp[4];
u32 EnetLinkUpTimer[4];
u8 clearIpFlag[4];
u8 MasterRestartOn = 0;
NxIp EnetIp[4];
NxPacketPool EnetPacketPool;

namespace {

constexpr u32 kPoolBytes = 312800;
constexpr u32 kPayload = 1520;
constexpr const char* kNames[4] = {"eth0", "eth1", "mlan0", "uap0"};

alignas(8) u8 g_poolArea[kPoolBytes];
alignas(8) u8 g_arpCache[13248];
struct Activity {
    u32 lastCount = 0;
    u16 bit = 0;
    u32 time = 0;
};

struct State {
    u8 firstDone = 0;      // first call's initialisation finished
    u8 created = 0;        // pool and instances created
    u8 protoOk[4] = {};    // protocol services of the interface initialised
    u8 firstDns = 1;
    u8 addrChange[4] = {};
    u32 ntpLastSysSec = 0;
    u16 restartProgress = 0;
    u16 restartStage = 0;
    u8 webStopForConfig = 0;  // a new configuration waits for the web thread to end
    u16 status[4] = {};
    bool initFailureShown[2] = {};
    u32 retryStamp[2] = {};
    Activity tx[4], rx[4];
};
State g;

// The protocol servers every interface runs, in the order they start and
// are stepped.
constexpr const EnetServer* kServers[] = {&kEgdServer, &kTovraServer, &kModbusServer, &kSrtpServer,
                                          &kEipServer, &kHttpPagesServer, &kVCommServer, &kAsciiServer,
                                          &kPingServer, &kEtnIoServer};

constexpr bool SameName(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr bool ServersDistinct() {
    constexpr size_t n = sizeof kServers / sizeof kServers[0];
    for (size_t i = 0; i < n; ++i)
        for (size_t k = i + 1; k < n; ++k)
            if (SameName(kServers[i]->name, kServers[k]->name)) return false;
    return true;
}
static_assert(ServersDistinct(), "a protocol server is listed twice");

bool ScriptExists() { return MasterFilePresent == 0; }

// A master-script line; a failed write is reported and not retried.
void Command(const char* line, const char* errorPrefix = "write") {
    if (!ScriptExists() || MasterScriptPipefd < 0) return;
    if (!MasterScript_Write(line)) std::fprintf(stderr, "%s: %s\n", errorPrefix, std::strerror(errno ? errno : EPIPE));
}

bool Skipped(int i) {
    if (i < 2) return false;
    u8 mode = wifiCntFlw.mode;
    if (mode == 0) return true;
    if (i == 2 && mode == 1) return true;
    if (i == 3 && mode == 2) return true;
    return false;
}

bool WifiStation() { return wifiCntFlw.mode == 2; }

void WriteFileText(const char* firmwarePath, const std::string& text, bool append) {
    std::string path = Root_HostPath(firmwarePath);
    if (append) {
        std::vector<u8> old;
        File_ReadAll(path, old, 1u << 20);
        std::string all(old.begin(), old.end());
        all += text;
        File_WriteAtomic(path, all.data(), all.size());
    } else {
        File_WriteAtomic(path, text.data(), text.size());
    }
}

void WriteDaemonFiles() {
    // The daemons' folders exist on the board; a fresh root may lack them.
    std::error_code ec;
    std::filesystem::create_directories(Root_HostPath("/opt/varnok/ftp"), ec);
    for (int i = 0; i < kEnetPorts; ++i) {
        std::string conf = "ftp" + std::to_string(i) + "\n";
        if (NTP_Enabled == 1) conf += "ntp" + std::to_string(i) + "\n";
        WriteFileText("/opt/varnok/main_conf", conf, i != 0);
        const EnetPortConfig& c = Dpr_Configuration[i];
        std::string k = std::to_string(i + 1);
        std::string pwd = "/opt/varnok/ftp/newpwdfile" + k;
        std::string chroot = "/opt/varnok/ftp/newvsftpd.chroot_list" + k;
        if (c.flags.service & kSvcFtp) {
            std::string p, r;
            for (const EnetFtpUser& u : c.tail.ftp) {
                if (u.name[0] == 0 || u.password[0] == 0) continue;
                p += std::string(u.name) + ":" + u.password + "\n";
                r += std::string(u.name) + ":" + std::to_string(u.access > 1 ? 0 : 1 - u.access) + "\n";
            }
            WriteFileText(pwd.c_str(), p, false);
            WriteFileText(chroot.c_str(), r, false);
        } else {
            ::unlink(Root_HostPath(pwd).c_str());
            ::unlink(Root_HostPath(chroot).c_str());
        }
    }
}

bool AnyRegisterWeb() {
    for (const EnetPortConfig& c : Dpr_Configuration)
        if (c.flags.service & kSvcWeb) return true;
    return false;
}

u32 RegValue(u32 reg) { return reg >= 0x400 ? Dpr_Get_Dw_Data(reg) : 0; }

bool StartedFileExists(int n) {
    struct stat st;
    std::string path = Root_HostPath(n == 0 ? "/opt/varnok/ftp/started1.txt" : "/opt/varnok/ftp/started2.txt");
    return stat(path.c_str(), &st) == 0;
}

void NewConfiguration() {
    Command("stopall\n");
    MasterRestartOn = 1;
    NTP_Enabled = 0;
    Dpr_Config();
    if (ScriptExists()) {
        WriteDaemonFiles();
        Command("startall\n");
    }
    for (u32 i = 0; i < EnetPortScan; ++i) {
        Egd_Config(static_cast<int>(i));
        Modbus_Stop(static_cast<int>(i));
    }
    if (AnyRegisterWeb() && DartuServerState != kDartuStopped && DartuFtping == 0) {
        DartuServerState = kDartuStop;
        g.webStopForConfig = 1;
    }
}

// The web thread ends by itself after a stop request; the main loop never
// waits for it inside a pass, it looks again on the next one.
void FollowWebStop() {
    if (!g.webStopForConfig) return;
    if (DartuThreadCreated == 0 || DartuFtping == 1) {
        DartuHttp = 0;
        g.webStopForConfig = 0;
    }
}

// A configuration that enables the register web server makes it the HTTP
// server also when no new configuration announces it (a stored one at
// start-up) and when the web-HMI server was already stopped: the web-HMI
// server is asked to stop and the flag falls to 0 once its thread has ended.
void ChooseRegisterWeb() {
    if (DartuHttp == 0 || g.webStopForConfig || DartuFtping != 0) return;
    if (DartuServerState != kDartuStopped) DartuServerState = kDartuStop;
    g.webStopForConfig = 1;
}

void StepInterface(int i, int sliced) {
    NxIp& ip = EnetIp[i];
    EnetPortConfig& c = Dpr_Configuration[i];
    // Link debounce.
    if (ip.linkUp) {
        if (!Enet_LinkUp[i]) {
            u32 now = _tx_time_get();
            if (EnetLinkUpTimer[i] == 0) EnetLinkUpTimer[i] = now != 0 ? now : 0xFFFFFFFF;
            else if (static_cast<u32>(now - EnetLinkUpTimer[i]) >= kEnetLinkDebounceMs) Enet_LinkUp[i] = 1;
        }
    } else {
        Enet_LinkUp[i] = 0;
        EnetLinkUpTimer[i] = 0;
    }
    if (i >= 2) {
        if ((i == 2 && WifiStation()) || (i == 3 && wifiCntFlw.mode == 1)) EnetGetIpAddress(i);
    } else {
        EnetGetIpAddress(i);
        if (!ip.linkUp) {
            ip.dhcpStarted = 0;
            // Put once per down period; a failed attempt is made again.
            if (!clearIpFlag[i] && _nx_ip_address_set(&ip, kEnetFallbackAddress, EnetNetMask[i]) == NX_SUCCESS) {
                EnetIpAddress[i] = kEnetFallbackAddress;
                clearIpFlag[i] = 1;
            }
            ip.linkConfigured = 0;
            dhcpScan(0, i);
        } else if (c.dhcp == 0) {
            ip.disableFlag = 1;
            ip.keepUpFlag = 0;
            ip.linkConfigured = 0;
            ip.dhcpStarted = 0;
            dhcpScan(0, i);
        } else {
            if (!ip.dhcpStarted) {
                ip.dhcpStarted = 1;
                _nx_ip_address_set(&ip, kEnetFallbackAddress, 0xFFFFFF00);
                ip.keepUpFlag = 1;
                ip.disableFlag = 0;
                EnetIpAddress[i] = 0;
                EnetNetMask[i] = 0;
                _nx_ip_address_set(&ip, 0, 0);
            }
            ip.linkConfigured = 1;
            dhcpScan(1, i);
        }
        // While acquiring the interface is left alone, except once after a
        // lease ended unrenewed: its address comes off then.
        if (c.dhcp && dhcpBusy(i) && !dhcpLeaseLost(i)) return;
        if (ip.linkUp && (ip.address != EnetIpAddress[i] || ip.mask != EnetNetMask[i])) {
            _nx_ip_address_set(&ip, EnetIpAddress[i], EnetNetMask[i]);
            clearIpFlag[i] = 0;
            g.addrChange[i] = 1;
            if (i == 0) DartuUpdateNewIp = 1;
        }
        u32 gw = EnetGateway[i];
        if (ip.gateway != gw && Enet_LinkUp[i] && !wifiCntFlw.apStarting &&
            ((gw ^ EnetIpAddress[i]) & EnetNetMask[i]) == 0)
            _nx_ip_gateway_address_set(&ip, gw);
        if ((g.firstDns || ip.dns != EnetDns[i]) && ScriptExists()) {
            u32 d = EnetDns[i];
            char line[64];
            std::snprintf(line, sizeof line, "dnsSet_%d_%ld_%d.%d.%d.%d\n", 4, static_cast<long>(i),
                          static_cast<int>(d >> 24), static_cast<int>((d >> 16) & 255),
                          static_cast<int>((d >> 8) & 255), static_cast<int>(d & 255));
            if (MasterScriptPipefd >= 0) Command(line);
            ip.dns = d;
            if (i == 1) g.firstDns = 0;
        }
    }
    const bool streams = !(c.flags.address & kAddrNoStream) && EnetIpAddress[i] != 0;
    if (g.protoOk[i])
        for (const EnetServer* s : kServers)
            if (!s->needsAddress || streams) s->scan(i);
    if (streams && g.protoOk[i] && sliced == 0 && (i == 0 || (i == 2 && WifiStation()))) EtnEmailScan(1);
}

void AddressChangeCommands() {
    if (!ScriptExists()) return;
    if (MasterRestartOn) {
        MasterRestartOn = 0;
        return;
    }
    bool up0 = EnetIp[0].linkUp, up1 = EnetIp[1].linkUp;
    if (g.addrChange[0] && g.addrChange[1]) {
        if (up0 && up1) {
            Command("stopall\n");
            g.addrChange[0] = g.addrChange[1] = 0;
            Command("startall\n");
        }
    } else if (g.addrChange[1]) {
        if (up1) {
            Command("stop1\n");
            g.addrChange[1] = 0;
            Command("start1\n");
        }
    } else if (g.addrChange[0]) {
        if (up0) {
            Command("stop0\n");
            g.addrChange[0] = 0;
            Command("start0\n");
        }
    }
    if ((g.addrChange[2] && EnetIp[2].linkUp) || (g.addrChange[3] && EnetIp[3].linkUp)) {
        Command("stop2\n");
        Command("stop3\n");
        if (g.addrChange[2]) {
            g.addrChange[2] = 0;
            Command("start2\n");
        } else {
            g.addrChange[3] = 0;
            Command("start3\n");
        }
    }
}

void Track(Activity& a, u32 count, u32 now) {
    if (count != a.lastCount) {
        a.lastCount = count;
        a.bit = 1;
        a.time = now;
    } else if (a.bit && static_cast<u32>(now - a.time) > 19) {
        a.bit = 0;
    }
}

void StatusWords() {
    u32 now = _tx_time_get();
    for (u32 i = 0; i < EnetPortScan && i < 4; ++i) {
        if (Skipped(static_cast<int>(i))) continue;
        NxIp& ip = EnetIp[i];
        u32 sent = 0, received = 0, speed = 0, duplex = 0;
        _nx_ip_driver_direct_command(&ip, 15, &sent);
        _nx_ip_driver_direct_command(&ip, 14, &received);
        _nx_ip_driver_direct_command(&ip, 11, &speed);
        _nx_ip_driver_direct_command(&ip, 12, &duplex);
        Track(g.tx[i], sent, now);
        Track(g.rx[i], received, now);
        u32 count = 0;
        for (const EnetServer* s : kServers) count += s->connections(static_cast<int>(i));
        if (i == 0 || (i == 2 && WifiStation())) count += EtnEmailConnCnt();
        // The count keeps below the flag bits.
        u16 w = static_cast<u16>(count > 0xFF ? 0xFF : count);
        if (ip.linkUp) w |= 0x100;
        if (g.tx[i].bit) w |= 0x200;
        if (g.rx[i].bit) w |= 0x400;
        if (speed == 1) w |= 0x1000;
        if (speed == 2) w |= 0x4000;
        if (duplex) w |= 0x2000;
        g.status[i] = w;
        const EnetPortConfig& c = Dpr_Configuration[i];
        if (c.statusReg >= 0x400) Dpr_Set_W_Data(c.statusReg, w);
        if (c.versionReg >= 0x400) Dpr_Set_W_Data(c.versionReg, kEnetVersion);
    }
}

void Statistics() {
    u8* s = DprMap + kDprStats;
    PutLe32(s, Nx_PoolFree(&EnetPacketPool));
    for (int k = 1; k < 6; ++k) PutLe32(s + 4 * k, 0);
    std::memcpy(&plc_reg[66], s, 24);
}

void RestartCommands() {
    u16 r156 = SR_Get(156), r153 = SR_Get(153);
    auto may = [](u16 bit) { return g.restartProgress == 0 || g.restartProgress == bit; };
    auto clear = [](int sr, u16 bit) { SR_Put(sr, static_cast<u16>(SR_Get(sr) & ~bit)); };
    // FTP daemon.
    int ftp = (r156 & 0x08) ? 0 : (r153 & 0x08) ? 1 : -1;
    u16 ftpBit = ftp == 0 ? 0x04 : 0x80;
    if (ftp >= 0 && may(ftpBit)) {
        if (g.restartStage == 0) {
            g.restartProgress = ftpBit;
            ::unlink(Root_HostPath(ftp == 0 ? "/opt/varnok/ftp/started1.txt" : "/opt/varnok/ftp/started2.txt").c_str());
            Command(ftp == 0 ? "stop0\n" : "stop1\n", "master write errno");
            Command(ftp == 0 ? "start0\n" : "start1\n", "master write errno");
            g.restartStage = 1;
        } else if (StartedFileExists(ftp)) {
            clear(ftp == 0 ? 156 : 153, 0x08);
            g.restartStage = 0;
            g.restartProgress = 0;
        }
    }
    // Modbus.
    int mb = (SR_Get(156) & 0x02) ? 0 : (SR_Get(153) & 0x02) ? 1 : -1;
    u16 mbBit = mb == 0 ? 0x02 : 0x40;
    if (mb >= 0 && may(mbBit)) {
        g.restartProgress = mbBit;
        Modbus_Stop(mb);
        if (g.created) Modbus_Init(&EnetIp[mb], &EnetPacketPool);
        clear(mb == 0 ? 156 : 153, 0x02);
        g.restartProgress = 0;
    }
    // EGD.
    int egd = (SR_Get(156) & 0x01) ? 0 : (SR_Get(153) & 0x01) ? 1 : -1;
    u16 egdBit = egd == 0 ? 0x01 : 0x20;
    if (egd >= 0 && may(egdBit)) {
        g.restartProgress = egdBit;
        Egd_DeInit(&EnetIp[egd]);
        if (g.created) Egd_Init(&EnetIp[egd], &EnetPacketPool);
        clear(egd == 0 ? 156 : 153, 0x01);
        g.restartProgress = 0;
    }
    // Web-HMI server.
    if ((SR_Get(156) & 0x10) && may(0x08)) {
        if (g.restartStage == 0 || !(g.restartProgress & 0x08)) {
            g.restartProgress = 0x08;
            if (DartuServerState >= kDartuStart && DartuFtping == 0) DartuServerState = kDartuStop;
            // Waiting for the thread to end happens over later passes.
            if (DartuThreadCreated == 0 || DartuFtping == 1) {
                if (DartuFtping == 0) {
                    g.restartStage = 1;
                    DartuServerState = kDartuStart;
                }
            }
        } else if (DartuServerState == kDartuRunning) {
            clear(156, 0x10);
            g.restartProgress = 0;
            g.restartStage = 0;
        }
    }
    // E-mail connection.
    if ((SR_Get(156) & 0x20) && may(0x10)) {
        g.restartProgress = 0x10;
        if (EtnEmailDiscnt() == 1) {
            clear(156, 0x20);
            g.restartProgress = 0;
        }
    }
}

// Protocol services of eth0 and eth1. An interface whose services cannot
// start (its port taken) runs without them; they are tried again once a
// second. A missing interface is not tried at all (its sockets would be
// opened and closed for nothing every second): its services start on the
// pass after it appears.
void InitServices() {
    u32 now = _tx_time_get();
    for (int i = 0; i < 2; ++i) {
        if (g.protoOk[i]) continue;
        const bool missing = Nx_InterfaceMissing(&EnetIp[i]);
        if (!missing && g.retryStamp[i] != 0 && static_cast<u32>(now - g.retryStamp[i]) < 1000) continue;
        if (!missing && Protocols_Init(i) == 0) {
            g.protoOk[i] = 1;
            continue;
        }
        if (!missing) {
            Protocols_DeInit(i);
            g.retryStamp[i] = now != 0 ? now : 1;
        }
        if (!g.initFailureShown[i]) std::fprintf(stderr, "Ethernet services of %s could not start\n", kNames[i]);
        g.initFailureShown[i] = true;
    }
}

bool FirstCall() {
    if (!g.created) {
        Dpr_Init();
        Dpr_Config();
        for (int i = 0; i < 4; ++i) EnetGetIpAddress(i);
        _nx_system_initialize();
        _nx_packet_pool_create(&EnetPacketPool, "Packet Pool", kPayload, g_poolArea, kPoolBytes);
        for (int i = 0; i < 2; ++i)
            _nx_ip_create(&EnetIp[i], kNames[i], EnetIpAddress[i], EnetNetMask[i], &EnetPacketPool, Etn_Driver,
                          nullptr, 4, 10);
        WiFi_Init(&wifiCntFlw);
        for (int i = 2; i < 4; ++i)
            _nx_ip_create(&EnetIp[i], kNames[i], EnetIpAddress[i], EnetNetMask[i], &EnetPacketPool, Etn_Driver,
                          nullptr, 4, 10);
        EnetPortScan = 4;
        g.created = 1;
    }
    InitServices();
    g.firstDone = 1;
    return true;
}

}  // namespace

void Enet_SetIdleWaitMs(int ms) { Service_SetIdleCapMs(ms < 0 ? 0 : ms); }

bool Enet_HasWork() { return EnetServers_HaveWork(); }

u32 Enet_NextTime(u32 now) {
    u32 next = Service_NextTick(now);
    // Cyclic productions are due on their own period, not on the tick.
    u32 ms = Eip_NextProductionMs();
    if (ms < 10) next = Service_Earlier(next, now + 10 * ms);
    return next;
}

u16 Enet_StatusWord(int port) { return g.status[port & 3]; }

u32 Protocols_Init(int port) {
    NxIp* ip = &EnetIp[port];
    u32 value = 0;
    _nx_ip_driver_direct_command(ip, 0, &value);
    u32 r = 0;
    r |= _nx_arp_enable(ip, g_arpCache, sizeof g_arpCache);
    r |= _nx_icmp_enable(ip) == NX_SUCCESS ? 0 : 0;  // raw sockets need privileges ping alone uses
    r |= _nx_igmp_enable(ip);
    r |= _nx_udp_enable(ip);
    r |= _nx_tcp_enable(ip);
    for (const EnetServer* s : kServers) r |= s->init(ip, &EnetPacketPool);
    if (port < 2) r |= dhcpInit(port, Dpr_Configuration[port].dhcp);
    return r;
}

void Protocols_DeInit(int port) {
    for (const EnetServer* s : kServers) s->deInit(&EnetIp[port]);
}

void EnetGetIpAddress(int i) {
    EnetPortConfig& c = Dpr_Configuration[i];
    NxIp& ip = EnetIp[i];
    struct Item {
        u32* field;
        u32 reg;
        bool fromReg;
        int dhcpItem;
    } items[4] = {
        {&c.ip, c.ipReg, (c.flags.address & kAddrIpReg) != 0, 0},
        {&c.mask, c.maskReg, (c.flags.address & kAddrMaskReg) != 0, 1},
        {&c.gateway, c.gatewayReg, (c.flags.address & kAddrGwReg) != 0, 2},
        {&c.dns, c.dnsReg, (c.flags.dns & kDnsReg) != 0, 3},
    };
    u32 values[4];
    for (int k = 0; k < 4; ++k) {
        Item& it = items[k];
        u32 v;
        if (it.fromReg) {
            v = RegValue(it.reg);
            if (it.reg >= 0x400) c.dhcp = 0;
        } else if (k == 0 && (c.flags.address & kAddrNodeId)) {
            v = (c.ip & 0xFFFFFF00u) | (GetLe16(DprMap + kDprNodeId) & 0xFF);
        } else if (c.dhcp && i < 2) {
            if (dhcpBusy(i)) {
                v = 0;
                if (k == 0) {
                    ip.keepUpFlag = 1;
                    ip.disableFlag = 0;
                }
            } else {
                v = 0;
                getFromDhcp(&v, nullptr, it.dhcpItem, i);
                if (k == 0 && v == 0) v = kEnetFallbackAddress;
            }
        } else {
            v = *it.field;
        }
        if (!it.fromReg && it.reg >= 0x400) Dpr_Set_Dw_Data(it.reg, v);
        values[k] = v;
    }
    c.ip = values[0];
    c.mask = values[1];
    c.gateway = values[2];
    c.dns = values[3];
    EnetIpAddress[i] = values[0];
    EnetNetMask[i] = values[1];
    EnetGateway[i] = values[2];
    EnetDns[i] = values[3];
}

void EnetMain(int sliced) {
    if (!g.firstDone) FirstCall();
    else InitServices();
    WiFi_Scan(&wifiCntFlw);
    // The Wi-Fi control's address changes restart the interface's services.
    for (int i = 2; i < 4; ++i) {
        u8& change = i == 2 ? IpAddr2Change : IpAddr3Change;
        if (change) g.addrChange[i] = 1;
        change = 0;
    }
    if (!wifiCntFlw.present) {
        EnetPortScan = 2;
    } else if (!wifiCntFlw.initialised) {
        if (wifiCntFlw.mode == 1 || wifiCntFlw.mode == 2) {
            Protocols_DeInit(2);
            Protocols_DeInit(3);
            // A failure is tried again on the next pass, not within this one.
            if (Protocols_Init(2) == 0 && Protocols_Init(3) == 0) {
                g.protoOk[2] = g.protoOk[3] = 1;
                EnetPortScan = 4;
                wifiCntFlw.initialised = 1;
            } else {
                EnetPortScan = 2;
            }
        } else {
            EnetPortScan = 2;
        }
    }
    if (GetLe16(DprMap + kDprGenAnnounced) != GetLe16(DprMap + kDprGenTaken)) NewConfiguration();
    FollowWebStop();

    for (u32 i = 0; i < EnetPortScan && i < 4; ++i)
        if (!Skipped(static_cast<int>(i))) StepInterface(static_cast<int>(i), sliced);

    AddressChangeCommands();
    if (ScriptExists() && NTP_Enabled) {
        i64 ns = Clock_UtcNs();
        u32 sec = static_cast<u32>(ns / 1000000000);
        if (sec != g.ntpLastSysSec) {
            g.ntpLastSysSec = sec;
            UtcStamp st{sec, static_cast<u32>((ns / 1000000) % 1000)};
            UtcSet(&st, reinterpret_cast<u16*>(&plc_reg[2 * (54271 + 20)]));
        }
    }
    if (!AnyRegisterWeb()) {
        DartuHttp = 1;
        g.webStopForConfig = 0;
    } else {
        ChooseRegisterWeb();
    }
    StatusWords();
    Statistics();
    RestartCommands();
    Dpr_Io_Service();
    EnetThread();
}

void Etn_UpdateStatus() {
    etnStatusNodeId = SR_Get(29);
    PutLe16(DprMap + kDprNodeId, etnStatusNodeId);
}

bool EnetServers_HaveWork() {
    for (const EnetServer* s : kServers)
        if (s->hasWork()) return true;
    return false;
}

void Enet_Reset() {
    for (const EnetServer* s : kServers) s->reset();
    for (NxIp& ip : EnetIp) {
        if (ip.icmpFd >= 0) ::close(ip.icmpFd);
        ip = NxIp{};
    }
    Nx_Reset();
    Dpr_Reset();
    EnetPortScan = 2;
    for (int i = 0; i < 4; ++i) {
        EnetIpAddress[i] = EnetNetMask[i] = EnetGateway[i] = EnetDns[i] = 0;
        Enet_LinkUp[i] = 0;
        EnetLinkUpTimer[i] = 0;
        clearIpFlag[i] = 0;
    }
    MasterRestartOn = 0;
    DartuHttp = 1;
    DartuUpdateNewIp = 0;
    g = State{};
    Wifi_Reset();
    Dhcp_Reset();
}
