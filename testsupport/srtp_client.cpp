#include "testsupport/srtp_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "testsupport/loopback.h"

std::vector<u8> SrtpEncode(const SrtpRequest& r) {
    std::vector<u8> m(56 + r.text.size(), 0);
    m[0] = r.type;
    PutLe16(&m[2], r.sequence);
    PutLe32(&m[4], r.textLength != ~0u ? r.textLength : static_cast<u32>(r.text.size()));
    m[9] = r.paramsAt50 ? 0 : 1;
    m[30] = r.byte30;
    m[31] = r.kind;
    PutLe32(&m[32], r.word32);
    PutLe32(&m[36], r.word36);
    if (r.kind == 0xC0)
        for (int i = 0; i < 8; ++i) m[48 + i] = r.headerData[i];
    size_t p = r.paramsAt50 ? 50 : 42;
    m[p] = r.service;
    m[p + 1] = r.selector;
    PutLe16(&m[p + 2], r.offset);
    PutLe16(&m[p + 4], r.length);
    for (size_t i = 0; i < r.text.size(); ++i) m[56 + i] = r.text[i];
    return m;
}

SrtpRequest SrtpRead(u16 sequence, u8 selector, u16 offset, u16 length) {
    SrtpRequest r;
    r.sequence = sequence;
    r.service = 4;
    r.selector = selector;
    r.offset = offset;
    r.length = length;
    return r;
}

SrtpRequest SrtpWrite(u16 sequence, u8 selector, u16 offset, u16 length, const std::vector<u8>& text) {
    SrtpRequest r = SrtpRead(sequence, selector, offset, length);
    r.service = 7;
    r.kind = 0x80;
    r.text = text;
    return r;
}

bool SrtpTakeReply(std::vector<u8>& bytes, SrtpReply* out) {
    if (bytes.size() < 56) return false;
    u32 text = GetLe32(&bytes[4]);
    if (bytes.size() - 56 < text) return false;
    out->header.assign(bytes.begin(), bytes.begin() + 56);
    out->text.assign(bytes.begin() + 56, bytes.begin() + 56 + text);
    bytes.erase(bytes.begin(), bytes.begin() + 56 + text);
    return true;
}

SrtpClient::~SrtpClient() { Close(); }

bool SrtpClient::Connect(int port) {
    Close();
    fd_ = ConnectLoopback(port);
    return fd_ >= 0;
}

void SrtpClient::Adopt(int fd) {
    Close();
    fd_ = fd;
}

void SrtpClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool SrtpClient::SendRaw(const std::vector<u8>& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool SrtpClient::Read(SrtpReply* out, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!SrtpTakeReply(buffer_, out)) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0 || fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        u8 buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        buffer_.insert(buffer_.end(), buf, buf + n);
    }
    return true;
}

bool SrtpClient::Handshake(int timeoutMs) {
    SrtpRequest connect;
    connect.type = 0;
    SrtpReply a;
    if (!Ask(connect, &a, timeoutMs) || a.Type() != 1) return false;
    SrtpRequest session;
    session.type = 8;
    session.service = 79;
    session.sequence = 1;
    return Ask(session, &a, timeoutMs) && a.Type() == 3 && a.Kind() == 0xD4;
}
