#include "testsupport/link_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

LinkPty::~LinkPty() { Close(); }

bool LinkPty::Open(const std::string& hostPath) {
    Close();
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return false;
    termios t;
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path(), ec);
    std::filesystem::remove(hostPath, ec);
    std::filesystem::create_symlink(name, hostPath, ec);
    if (ec) return false;
    link_ = hostPath;
    return true;
}

void LinkPty::Close() {
    if (!link_.empty()) {
        std::error_code ec;
        std::filesystem::remove(link_, ec);
        link_.clear();
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
}

std::vector<u8> LinkHost::Frame(u8 command, const std::vector<u8>& data, u8 seed, bool extended) {
    std::vector<u8> f{command};
    if (extended || data.size() > 254) {
        f.push_back(0xFF);
        f.push_back(static_cast<u8>(data.size()));
        f.push_back(static_cast<u8>(data.size() >> 8));
    } else {
        f.push_back(static_cast<u8>(data.size()));
    }
    f.insert(f.end(), data.begin(), data.end());
    u8 sum = seed;
    for (u8 b : f) sum = static_cast<u8>(sum + b);
    f.push_back(static_cast<u8>(-sum));
    return f;
}

void LinkHost::SendRaw(const std::vector<u8>& bytes) {
    size_t done = 0;
    auto start = std::chrono::steady_clock::now();
    while (done < bytes.size()) {
        ssize_t w = write(fd_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return;
        // The controller reads as it runs: let it.
        if (pump_) pump_();
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, pump_ ? 0 : 5);
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) return;
    }
}

int LinkHost::ReadByte(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        u8 b;
        ssize_t r = read(fd_, &b, 1);
        if (r == 1) return b;
        if (std::chrono::steady_clock::now() >= end) return -1;
        if (pump_) {
            pump_();
        } else {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 5);
        }
    }
}

void LinkHost::Drain(int quietMs) {
    while (ReadByte(quietMs) >= 0) {
    }
}

LinkHost::Reply LinkHost::ReadReply(int timeoutMs) {
    Reply r;
    int b = ReadByte(timeoutMs);
    if (b < 0) {
        r.timedOut = true;
        return r;
    }
    if (b != 0xFF) {
        r.single = b;
        return r;
    }
    r.command = 0xFF;
    u8 sum = static_cast<u8>(seed_ + b);
    int n = ReadByte(timeoutMs);
    if (n < 0) {
        r.timedOut = true;
        return r;
    }
    sum = static_cast<u8>(sum + n);
    u32 len = static_cast<u32>(n);
    if (n == 0xFF) {
        int lo = ReadByte(timeoutMs), hi = ReadByte(timeoutMs);
        if (lo < 0 || hi < 0) {
            r.timedOut = true;
            return r;
        }
        sum = static_cast<u8>(sum + lo + hi);
        len = static_cast<u32>(lo | (hi << 8));
    }
    for (u32 i = 0; i < len; ++i) {
        int d = ReadByte(timeoutMs);
        if (d < 0) {
            r.timedOut = true;
            return r;
        }
        r.data.push_back(static_cast<u8>(d));
        sum = static_cast<u8>(sum + d);
    }
    int c = ReadByte(timeoutMs);
    if (c < 0) {
        r.timedOut = true;
        return r;
    }
    r.frame = static_cast<u8>(sum + c) == 0;
    return r;
}

int LinkHost::Ask(u8 command, const std::vector<u8>& data, int timeoutMs) {
    Send(command, data);
    Reply r = ReadReply(timeoutMs);
    return r.single;
}

LinkHost::Reply LinkHost::Request(u8 command, const std::vector<u8>& data, int timeoutMs) {
    Send(command, data);
    return ReadReply(timeoutMs);
}

int LinkHost::SendImage(u8 command, u8 node, u8 area, const std::vector<u8>& image, u32 chunk) {
    int a = Ask(command, {node, area});
    if (a != 0xA0) return a;
    for (size_t off = 0; off < image.size(); off += chunk) {
        size_t n = std::min<size_t>(chunk, image.size() - off);
        Send(0xFF, std::vector<u8>(image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + n)));
        a = ReadByte();
        if (a != 0xA0) return a;
    }
    Send(0xFF, {});
    return ReadByte();
}

bool LinkHost::Upload(u8 node, u8 area, std::vector<u8>* out, bool header) {
    out->clear();
    std::vector<u8> req{node, area};
    if (header) req.push_back(1);
    if (Ask(5, req) != 0xA0) return false;
    for (;;) {
        Reply r = ReadReply(5000);
        if (!r.frame) return false;
        SendByte(0xA0);
        if (r.data.empty()) return true;
        out->insert(out->end(), r.data.begin(), r.data.end());
    }
}

LinkHost::Reply LinkHost::ReadRegs(u8 node, u32 address, u8 bits, int timeoutMs) {
    return Request(22, {node, bits, 0, 0, static_cast<u8>(address), static_cast<u8>(address >> 8),
                        static_cast<u8>(address >> 16), static_cast<u8>(address >> 24)},
                   timeoutMs);
}

int LinkHost::WriteRegs(u8 node, u32 address, u8 bits, const std::vector<u8>& values, int timeoutMs) {
    std::vector<u8> req{node, bits, 0, 0, static_cast<u8>(address), static_cast<u8>(address >> 8),
                        static_cast<u8>(address >> 16), static_cast<u8>(address >> 24)};
    req.insert(req.end(), values.begin(), values.end());
    return Ask(24, req, timeoutMs);
}

bool LinkHost::NodeId(u8* node) {
    Reply r = Request(9, {0xFF});
    if (!r.frame || r.data.size() != 1) return false;
    *node = r.data[0];
    return true;
}
