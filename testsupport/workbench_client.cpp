#include "testsupport/workbench_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/plc_regs.h"
#include "iec/kernel/q4tools.h"
#include "testsupport/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

int Left(Clock::time_point end) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

std::vector<u8> Name(const std::string& s) {
    std::vector<u8> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

}  // namespace

WorkbenchClient::~WorkbenchClient() { Close(); }

bool WorkbenchClient::Connect(int port, int timeoutMs) {
    Close();
    fd_ = ConnectPumped("127.0.0.1", port, pump_, timeoutMs);
    serial_ = false;
    owned_ = fd_ >= 0;
    return fd_ >= 0;
}

void WorkbenchClient::AttachSerial(int fd) {
    Close();
    fd_ = fd;
    serial_ = true;
    owned_ = false;
}

void WorkbenchClient::Close() {
    if (fd_ >= 0 && owned_) ::close(fd_);
    fd_ = -1;
    owned_ = false;
    in_.clear();
}

bool WorkbenchClient::Wait(int events, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd_, static_cast<short>(events), 0};
        int wait = pump_ ? 0 : (Left(end) < 20 ? Left(end) : 20);
        if (::poll(&p, 1, wait) > 0) return true;
        if (pump_) pump_();
        if (Left(end) == 0) return false;
    }
}

bool WorkbenchClient::PeerClosed(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0) {
        if (!Wait(POLLIN, Left(end))) return false;
        u8 b[256];
        ssize_t n = ::recv(fd_, b, sizeof b, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
        if (n > 0) in_.insert(in_.end(), b, b + n);
        if (Left(end) == 0) return false;
    }
    return true;
}

std::vector<u8> WorkbenchClient::Frame(u8 code, const std::vector<u8>& data) {
    std::vector<u8> f{'Q', '4', 0, 0, code};
    PutBe16(&f[2], static_cast<u16>(data.size() + 1));
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

std::vector<u8> WorkbenchClient::WithCrc(std::vector<u8> bytes, bool highFirst) {
    u16 c = crc16(bytes.data(), static_cast<u32>(bytes.size()));
    if (highFirst) {
        bytes.push_back(static_cast<u8>(c >> 8));
        bytes.push_back(static_cast<u8>(c));
    } else {
        bytes.push_back(static_cast<u8>(c));
        bytes.push_back(static_cast<u8>(c >> 8));
    }
    return bytes;
}

u32 WorkbenchClient::FileCrc(const std::vector<u8>& bytes) {
    u32 crc = 0xFFFFFFFFu;
    for (u8 b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA000A001u : crc >> 1;
    }
    return crc;
}

bool WorkbenchClient::SendRaw(const std::vector<u8>& bytes) {
    size_t at = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (fd_ >= 0 && at < bytes.size()) {
        ssize_t n = serial_ ? ::write(fd_, bytes.data() + at, bytes.size() - at)
                            : ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (!Wait(POLLOUT, Left(end))) return false;
    }
    return at == bytes.size();
}

std::vector<u8> WorkbenchClient::ReadBytes(size_t n, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (in_.size() < n && fd_ >= 0) {
        if (!Wait(POLLIN, Left(end))) break;
        u8 b[2048];
        ssize_t got = ::read(fd_, b, sizeof b);
        if (got > 0) in_.insert(in_.end(), b, b + got);
        else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
        if (Left(end) == 0) break;
    }
    size_t take = in_.size() < n ? in_.size() : n;
    std::vector<u8> out(in_.begin(), in_.begin() + static_cast<long>(take));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(take));
    return out;
}

WorkbenchAnswer WorkbenchClient::Read(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    WorkbenchAnswer a;
    std::vector<u8> head = ReadBytes(4, timeoutMs);
    if (head.size() < 4 || head[0] != 'Q' || head[1] != '4') return a;
    const u16 l = GetBe16(&head[2]);
    std::vector<u8> body = ReadBytes(l + (serial_ ? 2u : 0u), Left(end));
    if (body.size() != l + (serial_ ? 2u : 0u) || l == 0) return a;
    if (serial_) {
        std::vector<u8> whole = head;
        whole.insert(whole.end(), body.begin(), body.end() - 2);
        std::vector<u8> check = WithCrc(whole);
        if (check[check.size() - 2] != body[l] || check[check.size() - 1] != body[l + 1]) return a;
        body.resize(l);
    }
    a.received = true;
    a.code = body[0];
    a.data.assign(body.begin() + 1, body.end());
    return a;
}

WorkbenchAnswer WorkbenchClient::Request(u8 code, const std::vector<u8>& data, int timeoutMs) {
    if (!Send(code, data)) return {};
    return Read(timeoutMs);
}

int WorkbenchClient::Status(u8 code, const std::vector<u8>& data, int timeoutMs) {
    WorkbenchAnswer a = Request(code, data, timeoutMs);
    return a.received && a.code == code && a.data.size() == 2 ? a.Status() : -1;
}

VmAnswer WorkbenchClient::Vm(u8 command, const std::vector<u8>& data, u8 tag, int timeoutMs) {
    std::vector<u8> rq{tag, command, 0, 0};
    PutBe16(&rq[2], static_cast<u16>(data.size()));
    rq.insert(rq.end(), data.begin(), data.end());
    WorkbenchAnswer a = Request(1, rq, timeoutMs);
    VmAnswer v;
    if (!a.received || a.code != 1 || a.data.size() < 4 || GetBe16(&a.data[2]) + 4u != a.data.size()) return v;
    v.received = true;
    v.tag = a.data[0];
    v.status = a.data[1];
    v.data.assign(a.data.begin() + 4, a.data.end());
    return v;
}

int WorkbenchClient::LoadImage(u8 kind, const std::vector<u8>& code, u32 block, const std::string& name) {
    auto load = [&](u8 rq, u32 length, const u8* data, u32 n) {
        std::vector<u8> d{kind, 0, 0, 0, 0};
        PutBe32(&d[1], length);
        std::vector<u8> nm = Name(name);
        d.insert(d.end(), nm.begin(), nm.end());
        d.insert(d.end(), data, data + n);
        return Status(rq, d);
    };
    int rc = load(2, static_cast<u32>(code.size()), nullptr, 0);
    for (size_t at = 0; rc == 0 && at < code.size(); at += block) {
        u32 n = static_cast<u32>(code.size() - at < block ? code.size() - at : block);
        rc = load(3, n, code.data() + at, n);
    }
    return rc == 0 ? load(4, 0, nullptr, 0) : rc;
}

int WorkbenchClient::StartLike(u8 code, bool loadRetains, bool paused, const std::string& name) {
    std::vector<u8> d{static_cast<u8>(loadRetains), static_cast<u8>(paused)};
    std::vector<u8> nm = Name(name);
    d.insert(d.end(), nm.begin(), nm.end());
    return Status(code, d);
}

WorkbenchAnswer WorkbenchClient::File(u8 sub, const std::vector<u8>& args, int timeoutMs) {
    std::vector<u8> d{sub};
    d.insert(d.end(), args.begin(), args.end());
    return Request(19, d, timeoutMs);
}

int WorkbenchClient::PutFile(const std::string& name, const std::vector<u8>& bytes, u32* crc, u32 block) {
    std::vector<u8> open{0, 0, 0, 0};
    PutBe32(open.data(), static_cast<u32>(bytes.size()));
    std::vector<u8> nm = Name(name);
    open.insert(open.end(), nm.begin(), nm.end());
    WorkbenchAnswer a = File(1, open);
    if (!a.received) return -1;
    if (a.Status() != 0) return a.Status();
    for (size_t at = 0; at < bytes.size(); at += block) {
        u32 n = static_cast<u32>(bytes.size() - at < block ? bytes.size() - at : block);
        std::vector<u8> d{0, 0};
        PutBe16(d.data(), static_cast<u16>(n));
        d.insert(d.end(), bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n));
        a = File(2, d);
        if (!a.received) return -1;
        if (a.Status() != 0) return a.Status();
    }
    a = File(3, {});
    if (!a.received) return -1;
    if (a.Status() == 0 && a.data.size() >= 7 && crc) *crc = GetBe32(&a.data[3]);
    return a.Status();
}

int WorkbenchClient::GetFile(const std::string& name, std::vector<u8>* bytes, u32* crc) {
    WorkbenchAnswer a = File(4, Name(name));
    if (!a.received) return -1;
    if (a.Status() != 0) return a.Status();
    bytes->clear();
    for (int guard = 0; guard < 100000; ++guard) {
        a = File(5, {});
        if (!a.received || a.data.size() < 5) return -1;
        if (a.Status() != 0) return a.Status();
        u16 n = GetBe16(&a.data[3]);
        if (a.data.size() != 5u + n) return -1;
        if (n == 0) break;
        bytes->insert(bytes->end(), a.data.begin() + 5, a.data.end());
    }
    a = File(6, {});
    if (!a.received) return -1;
    if (a.Status() == 0 && a.data.size() >= 7 && crc) *crc = GetBe32(&a.data[3]);
    return a.Status();
}
