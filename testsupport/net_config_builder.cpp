#include "testsupport/net_config_builder.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "testsupport/port_lease.h"

namespace {
constexpr char kKey[] = "Wh4t A fiNe dAy fOr a w4lK iN tHe p4rK !";

void PutLe(std::vector<u8>& v, u32 w) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<u8>(w >> (8 * i)));
}
}  // namespace

std::vector<u8> NetStreamBuilder::TextField(const std::string& text) {
    std::vector<u8> f;
    u32 n = static_cast<u32>(text.size());
    f.push_back(static_cast<u8>(n));
    for (u32 j = 0; j < n; ++j) f.push_back(static_cast<u8>(text[j] ^ (j < 40 ? kKey[j] : 0)));
    while (f.size() < (n + 4) / 4 * 4) f.push_back(0);
    return f;
}

NetStreamBuilder& NetStreamBuilder::Services(u32 sv, u32 gateway, u32 dns, NetRegPair version, NetRegPair status,
                                             NetRegPair ipReg, NetRegPair maskReg, NetRegPair gwReg, NetRegPair dnsReg) {
    Put(0x20000000u);
    Put(0);
    Put(sv);
    Put(gateway);
    if (sv & (1u << 15)) Put(dns);
    for (NetRegPair p : {version, status, ipReg}) Put(p.reg), Put(p.bits);
    if (sv & (1u << 29)) {
        Put(maskReg.reg), Put(maskReg.bits), Put(gwReg.reg), Put(gwReg.bits);
        if (sv & (1u << 15)) Put(dnsReg.reg), Put(dnsReg.bits);
    }
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Modbus(bool withPort, u16 transport, u16 port, u32 inhibit,
                                           const std::vector<u32>& map) {
    Put(0x01000000u);
    Put((withPort ? 1u << 18 : 0) | (map.empty() ? 0 : 1u << 17));
    if (withPort) Put(transport), Put(port);
    Put(inhibit);
    if (!map.empty())
        for (size_t i = 0; i < 8; ++i) Put(i < map.size() ? map[i] : 0);
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Ping(u32 timeoutMs, u32 targetReg, u32 resultReg) {
    u32 w[11] = {0x40000000u, 0, 0, timeoutMs, 0, targetReg, 0, resultReg, 0, 0, 0};
    for (u32 x : w) Put(x);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Eip(u32 flag, u32 reg, u32 length) {
    u32 w[9] = {flag, 0, 0, 0, 0, reg, length, 0, 0};
    for (u32 x : w) Put(x);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Egd(u32 flag, const u32 (&words)[4],
                                        const std::vector<std::pair<u32, u32>>& items) {
    Put(flag);
    for (u32 w : words) Put(w);
    for (auto [r, d] : items) Put(r), Put(d);
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Ftp(const std::vector<User>& users) {
    Put(0x08000000u);
    for (size_t i = 0; i < users.size(); ++i) {
        for (const std::string* t : {&users[i].name, &users[i].password}) {
            std::vector<u8> f = TextField(*t);
            body_.insert(body_.end(), f.begin(), f.end());
        }
        std::vector<u8> third = TextField("");
        body_.insert(body_.end(), third.begin(), third.end());
        Put(users[i].access | (i + 1 < users.size() ? 0x100u : 0));
    }
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Web(const std::string& name, const std::string& password) {
    Put(0x04000000u);
    for (const std::string* t : {&name, &password}) {
        std::vector<u8> f = TextField(*t);
        body_.insert(body_.end(), f.begin(), f.end());
    }
    std::vector<u8> third = TextField("");
    body_.insert(body_.end(), third.begin(), third.end());
    Put(0);
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Ascii(const u32 (&settings)[6]) {
    Put(0x00800000u);
    for (u32 w : settings) Put(w);
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Ntp(const std::vector<std::string>& servers) {
    Put(0x00200000u);
    Put(0);
    for (int i = 0; i < 10; ++i) {
        char name[96] = {};
        if (i < static_cast<int>(servers.size())) std::strncpy(name, servers[i].c_str(), 95);
        body_.insert(body_.end(), name, name + 96);
    }
    Put(0), Put(0);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Srtp(u32 count, u32 base) {
    u32 w[6] = {0x00100000u, 0, count, base, 0, 0};
    for (u32 x : w) Put(x);
    return *this;
}

NetStreamBuilder& NetStreamBuilder::Words(const std::vector<u32>& words) {
    for (u32 w : words) Put(w);
    return *this;
}

std::vector<u8> NetStreamBuilder::Build(u16 recordId, u32 lengthWord) const {
    std::vector<u8> s;
    u32 total = 16 + static_cast<u32>(body_.size()) + 4;  // header, sections, closing zero word
    s.push_back(static_cast<u8>(recordId));
    s.push_back(static_cast<u8>(recordId >> 8));
    s.push_back(static_cast<u8>(total - 4));
    s.push_back(static_cast<u8>((total - 4) >> 8));
    PutLe(s, lengthWord != ~0u ? lengthWord : total - 4);
    PutLe(s, ip_);
    PutLe(s, mask_);
    s.insert(s.end(), body_.begin(), body_.end());
    PutLe(s, 0);
    return s;
}

std::vector<u8> NetIoConfig(const std::vector<u8>& eth0, const std::vector<u8>& eth1, const std::vector<u8>& wifi) {
    std::vector<u8> d = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
    auto add = [&d](const std::vector<u8>& rec) {
        d.insert(d.end(), rec.begin(), rec.end());
        while (d.size() % 4) d.push_back(0);
    };
    if (eth0.empty()) d.insert(d.end(), {0xFF, 0, 0, 0});
    else add(eth0);
    if (!eth1.empty()) add(eth1);
    if (!wifi.empty()) add(wifi);
    d.insert(d.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return d;
}

void NetLoadIoConfig(const std::vector<u8>& data) {
    std::memcpy(io_config, data.data(), data.size());
    io_config_bl.SetHeader(crc16(io_config, static_cast<u32>(data.size())), static_cast<u32>(data.size()));
}

bool NetWriteConfigPgm(const std::string& hostPath, const std::vector<u8>& ioConfig) {
    std::vector<u8> old;
    if (!File_ReadAll(hostPath, old, 64u << 20) || old.size() < 8) return false;
    u32 oldSize = GetLe32(&old[4]);
    if (old.size() < 8u + oldSize) return false;
    std::vector<u8> out(8);
    PutLe16(&out[0], crc16(ioConfig.data(), static_cast<u32>(ioConfig.size())));
    PutLe16(&out[2], 0);
    PutLe32(&out[4], static_cast<u32>(ioConfig.size()));
    out.insert(out.end(), ioConfig.begin(), ioConfig.end());
    out.insert(out.end(), old.begin() + 8 + oldSize, old.end());
    return File_WriteAtomic(hostPath, out.data(), out.size());
}

namespace {

bool PortFree(int port, int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u16>(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

}  // namespace

int NetFreePortOffset(u16 basePort, int count) {
    // Every port the controller listens on, offset, stays below the kernel's
    // ephemeral range (from 32768), where the outgoing connections of other
    // tests could take it at any moment; the highest of them is the
    // programming link's 18501. EtherNet/IP's 44818 cannot; it is checked
    // with the rest, TCP and UDP alike. The ports of every service a test's
    // controller may open, offset, are leased for the test process, so that
    // two tests running at once never pick overlapping sets.
    constexpr int kLowest = 1100, kHighest = 32767 - 18501;
    constexpr int kTcp[] = {80, 502, 18245, 18501, 44818};
    constexpr int kUdp[] = {502, 2222, 18246};
    constexpr int kLeased[] = {21, 53, 67, 68, 80, 502, 587, 1001, 1100, 2222, 7000, 9000, 18245, 18246, 18501, 44818};
    static std::mt19937 rng(static_cast<unsigned>(getpid()) * 2654435761u ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> pick(kLowest, kHighest);
    for (int tries = 0; tries < 2000; ++tries) {
        int offset = pick(rng);
        bool free = true;
        for (int k = 0; k < count; ++k) free = free && PortFree(basePort + k + offset) && PortFree(basePort + k + offset, SOCK_DGRAM);
        for (int p : kTcp) free = free && PortFree(p + offset);
        for (int p : kUdp) free = free && PortFree(p + offset, SOCK_DGRAM);
        if (!free) continue;
        std::vector<int> lease;
        for (int k = 0; k < count; ++k) lease.push_back(basePort + k + offset);
        for (int p : kLeased)
            if (p < basePort || p >= basePort + count) lease.push_back(p + offset);
        if (PortLease_Take(lease)) return offset;
    }
    return pick(rng);
}
