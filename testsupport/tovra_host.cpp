#include "testsupport/tovra_host.h"

#include "testsupport/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "testsupport/link_host.h"

namespace {
constexpr u32 kHeader = 28;
constexpr u32 kMask = 0x3B6D1E95;
u32 Rot16(u32 v) { return (v << 16) | (v >> 16); }
}  // namespace

TovraHost::~TovraHost() { Close(); }

bool TovraHost::Connect(int port) {
    Close();
    fd_ = ConnectPumped("127.0.0.1", port, pump_, 5000);
    return fd_ >= 0;
}

void TovraHost::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    in_.clear();
}

bool TovraHost::PeerClosed(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        u8 b[256];
        ssize_t n = recv(fd_, b, sizeof b, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
        if (n > 0) in_.insert(in_.end(), b, b + n);
        if (std::chrono::steady_clock::now() >= end) return false;
        if (pump_) pump_();
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, pump_ ? 0 : 10);
    }
}

bool TovraHost::SendBytes(const std::vector<u8>& bytes) {
    size_t done = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t w = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= end) return false;
        if (pump_) pump_();
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, pump_ ? 0 : 5);
    }
    return true;
}

bool TovraHost::Send(u16 type, const std::vector<u8>& data, u32 key, int length) {
    std::vector<u8> p(kHeader, 0);
    PutLe32(p.data(), key);
    PutLe16(p.data() + 4, version_);
    PutLe16(p.data() + 6, 0x1234);
    PutLe16(p.data() + 8, 0x5678);
    PutLe16(p.data() + 10, type);
    PutLe16(p.data() + 26, static_cast<u16>(length >= 0 ? length : static_cast<int>(data.size())));
    p.insert(p.end(), data.begin(), data.end());
    return SendBytes(p);
}

TovraPacket TovraHost::Read(int timeoutMs) {
    TovraPacket r;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (in_.size() >= kHeader) {
            u32 n = GetLe16(in_.data() + 26);
            if (in_.size() >= kHeader + n) {
                std::copy(in_.begin(), in_.begin() + kHeader, r.header);
                r.data.assign(in_.begin() + kHeader, in_.begin() + kHeader + n);
                in_.erase(in_.begin(), in_.begin() + kHeader + n);
                r.received = true;
                return r;
            }
        }
        u8 b[4096];
        ssize_t n = recv(fd_, b, sizeof b, MSG_DONTWAIT);
        if (n > 0) {
            in_.insert(in_.end(), b, b + n);
            continue;
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return r;
        if (std::chrono::steady_clock::now() >= end) return r;
        if (pump_) {
            pump_();
        } else {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 10);
        }
    }
}

u32 TovraHost::AnswerOf(u32 challengeKey) { return Rot16(challengeKey ^ kMask); }

int TovraHost::Handshake() {
    if (!Send(0x20, {})) return -1;
    TovraPacket c = Read();
    if (!c.received) return -1;
    if (!Send(0x40, {}, AnswerOf(c.Key()))) return -1;
    TovraPacket a = Read();
    return a.received ? a.Status() : -1;
}

TovraPacket TovraHost::Request(u8 command, const std::vector<u8>& data, int timeoutMs) {
    if (!Send(0, LinkHost::Frame(command, data, seed_))) return {};
    return Read(timeoutMs);
}

bool TovraHost::FrameData(const TovraPacket& p, std::vector<u8>* out) const {
    if (!p.received || p.data.size() < 3 || p.data[0] != 0xFF) return false;
    u8 sum = seed_;
    for (u8 b : p.data) sum = static_cast<u8>(sum + b);
    if (sum != 0) return false;
    out->assign(p.data.begin() + 2, p.data.end() - 1);
    return true;
}

int TovraHost::Download(u8 node, u8 area, const std::vector<u8>& image, u32 chunk) {
    int a = Ask(4, {node, area});
    if (a != 0xA0) return a;
    for (size_t off = 0;; off += chunk) {
        size_t n = off < image.size() ? std::min<size_t>(chunk, image.size() - off) : 0;
        // Long frame: 0xFF, the low length byte, the data, a checksum.
        std::vector<u8> f{0xFF, static_cast<u8>(n)};
        f.insert(f.end(), image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + n));
        u8 sum = seed_;
        for (u8 b : f) sum = static_cast<u8>(sum + b);
        f.push_back(static_cast<u8>(-sum));
        if (!Send(0, f)) return -1;
        TovraPacket r = Read();
        if (!r.received) return -1;
        if (r.Single() != 0xA0 || n == 0) return r.Single();
    }
}

bool TovraHost::Upload(u8 node, u8 area, std::vector<u8>* out, std::vector<u32>* packetSizes) {
    out->clear();
    if (packetSizes) packetSizes->clear();
    if (Ask(5, {node, area}) != 0xA0) return false;
    for (;;) {
        TovraPacket p = Read();
        std::vector<u8> d;
        if (!FrameData(p, &d)) return false;
        if (packetSizes) packetSizes->push_back(static_cast<u32>(p.data.size()));
        if (out->size() > (64u << 20)) return false;  // no block is this large: the upload does not end
        if (!Send(0, {0xA0})) return false;
        if (d.empty()) return true;
        out->insert(out->end(), d.begin(), d.end());
    }
}
