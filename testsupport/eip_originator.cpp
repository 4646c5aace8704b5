#include "testsupport/eip_originator.h"

#include "testsupport/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace eipo {

namespace {

void Le16(Bytes& b, u32 v) {
    b.push_back(static_cast<u8>(v));
    b.push_back(static_cast<u8>(v >> 8));
}
void Le32(Bytes& b, u32 v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
void Append(Bytes& b, const Bytes& tail) { b.insert(b.end(), tail.begin(), tail.end()); }

}  // namespace

Bytes Encap(u16 command, u32 session, const Bytes& data, u64 context) {
    Bytes b;
    Le16(b, command);
    Le16(b, static_cast<u32>(data.size()));
    Le32(b, session);
    Le32(b, 0);
    Le32(b, static_cast<u32>(context));
    Le32(b, static_cast<u32>(context >> 32));
    Le32(b, 0);
    Append(b, data);
    return b;
}

Bytes Path(u8 cls, u8 instance, int attribute) {
    Bytes b{0x20, cls, 0x24, instance};
    if (attribute >= 0) {
        b.push_back(0x30);
        b.push_back(static_cast<u8>(attribute));
    }
    return b;
}

Bytes Request(u8 service, const Bytes& path, const Bytes& data) {
    Bytes b{service, static_cast<u8>(path.size() / 2)};
    Append(b, path);
    Append(b, data);
    return b;
}

Bytes RRData(const Bytes& cip, u32 interfaceHandle) {
    Bytes b;
    Le32(b, interfaceHandle);
    Le16(b, 5);  // time-out
    Le16(b, 2);
    Le16(b, 0x0000);
    Le16(b, 0);
    Le16(b, 0x00B2);
    Le16(b, static_cast<u32>(cip.size()));
    Append(b, cip);
    return b;
}

Bytes UnitData(u32 connectionId, u16 sequence, const Bytes& cip) {
    Bytes b;
    Le32(b, 0);
    Le16(b, 0);
    Le16(b, 2);
    Le16(b, 0x00A1);
    Le16(b, 4);
    Le32(b, connectionId);
    Le16(b, 0x00B1);
    Le16(b, static_cast<u32>(cip.size() + 2));
    Le16(b, sequence);
    Append(b, cip);
    return b;
}

Bytes ForwardOpen::Data() const {
    Bytes b{0x0A, 0x0E};  // priority/time tick, time-out ticks
    Le32(b, otId);
    Le32(b, toId);
    Le16(b, serial);
    Le16(b, vendor);
    Le32(b, originatorSerial);
    b.push_back(multiplier);
    b.insert(b.end(), 3, 0);
    Le32(b, otRpi);
    Le16(b, otParams);
    Le32(b, toRpi);
    Le16(b, toParams);
    b.push_back(transport);
    b.push_back(static_cast<u8>(path.size() / 2));
    Append(b, path);
    return b;
}

Bytes ForwardOpenRequest(const ForwardOpen& f) { return Request(0x54, Path(0x06, 1), f.Data()); }

Bytes ForwardCloseRequest(u16 serial, u16 vendor, u32 originatorSerial, const Bytes& path) {
    Bytes b{0x0A, 0x0E};
    Le16(b, serial);
    Le16(b, vendor);
    Le32(b, originatorSerial);
    b.push_back(static_cast<u8>(path.size() / 2));
    b.push_back(0);
    Append(b, path);
    return Request(0x4E, Path(0x06, 1), b);
}

Bytes IoDatagram(u32 connectionId, u32 sequence, u16 count, const Bytes& data, u32 runIdle) {
    Bytes b;
    Le16(b, 2);
    Le16(b, 0x8002);
    Le16(b, 8);
    Le32(b, connectionId);
    Le32(b, sequence);
    Le16(b, 0x00B1);
    Le16(b, static_cast<u32>(data.size() + 6));
    Le16(b, count);
    Le32(b, runIdle);
    Append(b, data);
    return b;
}

std::vector<Cpf> Items(const Bytes& d) {
    std::vector<Cpf> out;
    if (d.size() < 2) return {};
    u32 count = GetLe16(d.data());
    size_t pos = 2;
    for (u32 i = 0; i < count; ++i) {
        if (d.size() - pos < 4) return {};
        Cpf item;
        item.type = GetLe16(&d[pos]);
        u32 len = GetLe16(&d[pos + 2]);
        if (d.size() - pos - 4 < len) return {};
        item.data.assign(d.begin() + static_cast<long>(pos + 4), d.begin() + static_cast<long>(pos + 4 + len));
        out.push_back(item);
        pos += 4 + len;
    }
    return out;
}

CipReply ReplyOf(const Message& m) {
    CipReply r;
    if (m.data.size() < 6) return r;
    std::vector<Cpf> items = Items(Bytes(m.data.begin() + 6, m.data.end()));
    for (const Cpf& item : items) {
        if (item.type != 0x00B2 && item.type != 0x00B1) continue;
        Bytes d = item.data;
        if (item.type == 0x00B1) {
            if (d.size() < 2) return r;
            d.erase(d.begin(), d.begin() + 2);
        }
        if (d.size() < 4 || d.size() < 4u + 2u * d[3]) return r;
        r.service = d[0];
        r.general = d[2];
        for (u32 k = 0; k < d[3]; ++k) r.additional.push_back(GetLe16(&d[4 + 2 * k]));
        r.data.assign(d.begin() + 4 + 2 * d[3], d.end());
        r.ok = true;
        return r;
    }
    return r;
}

}  // namespace eipo

using eipo::Bytes;

namespace {

using Clock = std::chrono::steady_clock;

bool Expired(Clock::time_point deadline) { return Clock::now() >= deadline; }

// Waits for input on fd for a short slice (pumping in between).
// Looks at least once, so that a time-out of 0 asks without waiting.
bool Readable(int fd, const std::function<void()>& pump, Clock::time_point deadline) {
    do {
        if (pump) pump();
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, Expired(deadline) ? 0 : pump ? 1 : 50) > 0) return true;
    } while (!Expired(deadline));
    return false;
}

}  // namespace

EipOriginator::~EipOriginator() { Close(); }

bool EipOriginator::Connect(const std::string& address, int port, int timeoutMs) {
    Close();
    fd_ = ConnectPumped(address, port, pump_, timeoutMs);
    if (fd_ < 0) return false;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
}

void EipOriginator::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool EipOriginator::SendRaw(const Bytes& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool EipOriginator::Receive(eipo::Message* out, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (pending_.size() >= 24) {
            u32 length = GetLe16(&pending_[2]);
            if (pending_.size() >= 24 + length) {
                out->command = GetLe16(&pending_[0]);
                out->length = length;
                out->session = GetLe32(&pending_[4]);
                out->status = GetLe32(&pending_[8]);
                out->data.assign(pending_.begin() + 24, pending_.begin() + 24 + length);
                pending_.erase(pending_.begin(), pending_.begin() + 24 + length);
                return true;
            }
        }
        if (fd_ < 0 || !Readable(fd_, pump_, deadline)) return false;
        u8 buf[2048];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n > 0) pending_.insert(pending_.end(), buf, buf + n);
    }
}

bool EipOriginator::Register(u32* handle) {
    if (!SendRaw(eipo::Encap(0x0065, 0, {1, 0, 0, 0}))) return false;
    eipo::Message m;
    if (!Receive(&m) || m.command != 0x0065 || m.status != 0) return false;
    session_ = m.session;
    if (handle != nullptr) *handle = m.session;
    return true;
}

eipo::CipReply EipOriginator::Unconnected(const Bytes& cip, eipo::Message* message) {
    eipo::Message m;
    if (!SendRaw(eipo::Encap(0x006F, session_, eipo::RRData(cip))) || !Receive(&m)) return {};
    if (message != nullptr) *message = m;
    return eipo::ReplyOf(m);
}

eipo::CipReply EipOriginator::Connected(u32 connectionId, u16 sequence, const Bytes& cip, eipo::Message* message) {
    eipo::Message m;
    if (!SendRaw(eipo::Encap(0x0070, session_, eipo::UnitData(connectionId, sequence, cip))) || !Receive(&m))
        return {};
    if (message != nullptr) *message = m;
    return eipo::ReplyOf(m);
}

EipIo::~EipIo() {
    if (fd_ >= 0) close(fd_);
}

bool EipIo::Bind(int port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u16>(port));
    return bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool EipIo::SendTo(const std::string& address, int port, const Bytes& datagram) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u16>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return fd_ >= 0 && sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
                           static_cast<ssize_t>(datagram.size());
}

Bytes EipIo::Receive(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (fd_ < 0 || !Readable(fd_, pump_, deadline)) return {};
    u8 buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return {};
    return Bytes(buf, buf + n);
}
