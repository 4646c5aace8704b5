#include "testsupport/event_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testsupport/loopback.h"

std::vector<u8> EventReadFrame(int fd, int waitMs) {
    std::vector<u8> f;
    auto read = [&](size_t n) {
        while (f.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, waitMs) != 1) return false;
            u8 b[1024];
            ssize_t got = recv(fd, b, n - f.size(), 0);
            if (got <= 0) return false;
            f.insert(f.end(), b, b + got);
        }
        return true;
    };
    if (!read(4) || f[0] != 'Q' || f[1] != '4' || !read(GetBe16(&f[2]) + 4u)) return {};
    return f;
}

bool EventParseFrame(const std::vector<u8>& f, std::vector<EventRecord>* events) {
    if (f.size() < 6 || f[4] != 18) return false;
    size_t at = 6;
    for (u8 k = 0; k < f[5]; ++k) {
        if (f.size() - at < 12 || f.size() - at - 12 < f[at + 2]) return false;
        EventRecord e;
        e.kind = f[at];
        e.code = f[at + 1];
        e.slot = f[at + 3];
        e.date = GetBe32(&f[at + 4]);
        e.time = GetBe32(&f[at + 8]);
        e.data.assign(f.begin() + static_cast<long>(at + 12), f.begin() + static_cast<long>(at + 12 + f[at + 2]));
        events->push_back(std::move(e));
        at += 12u + f[at + 2];
    }
    return at == f.size();
}

std::vector<u8> EventAckFrame(u8 mask, u32 key, int maxFrame) {
    std::vector<u8> a{'Q', '4', 0, 6, 18, mask, 0, 0, 0, 0};
    PutBe32(&a[6], key);
    if (maxFrame >= 0) {
        a.resize(14);
        PutBe16(&a[2], 10);
        PutBe32(&a[10], static_cast<u32>(maxFrame));
    }
    return a;
}

bool EventVariable(const EventRecord& e, VariableEvent* out) {
    if (e.kind != 4 || e.data.size() < 5) return false;
    out->id = GetBe16(&e.data[0]);
    out->type = e.data[2];
    out->index = GetBe16(&e.data[3]);
    static const u8 kWidth[18] = {0, 1, 4, 4, 4, 0, 0, 0, 0, 0, 1, 2, 8, 8, 1, 2, 4, 8};
    const u8 t = out->type & 0x7F;
    const u8 w = t < 18 ? kWidth[t] : 0;
    if (w == 0 || e.data.size() < 5u + w) return false;
    u64 v = 0;
    for (u8 k = 0; k < w; ++k) v = (v << 8) | e.data[5 + k];
    // Signed types are widened with their sign.
    if ((t == 2 || t == 10 || t == 11 || t == 12) && w < 8 && (v >> (8 * w - 1)) & 1) v |= ~0ull << (8 * w);
    out->value = static_cast<i64>(v);
    return true;
}

EventClient::~EventClient() { Close(); }

bool EventClient::Connect(int port) {
    Close();
    fd_ = ConnectLoopback(port);
    return fd_ >= 0;
}

void EventClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool EventClient::Poll(std::vector<EventRecord>* events, int waitMs) {
    if (fd_ < 0) return false;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) return true;
        std::vector<u8> f = EventReadFrame(fd_, 2000);
        if (f.empty()) return false;
        if (!EventParseFrame(f, events)) return false;
        std::vector<u8> ack = EventAckFrame(mask_);
        if (send(fd_, ack.data(), ack.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ack.size())) return false;
        waitMs = 0;
    }
}
