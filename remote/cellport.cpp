#include "remote/cellport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/root.h"

namespace {

constexpr speed_t kSpeeds[10] = {B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
constexpr size_t kPendingMax = 64 * 1024;

struct State {
    int fd = -1;
    u8 mode[kVcommModeBytes] = {};
    std::vector<u8> pending;  // accepted, not yet taken by the device
};
State g;

void Pump() {
    while (!g.pending.empty() && g.fd >= 0) {
        ssize_t w = ::write(g.fd, g.pending.data(), g.pending.size());
        if (w > 0) {
            g.pending.erase(g.pending.begin(), g.pending.begin() + w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) g.pending.clear();  // the device is gone
        return;
    }
}

int Write(const u8* data, u32 n) {
    if (g.fd < 0 || data == nullptr) return 0;
    size_t room = kPendingMax - std::min(kPendingMax, g.pending.size());
    size_t keep = std::min<size_t>(n, room);
    g.pending.insert(g.pending.end(), data, data + keep);
    Pump();
    return static_cast<int>(keep);
}

int Open(u32, const u8* m) {
    if (m == nullptr || m[kSomBaud] > 9) return 0;
    if (g.fd < 0) {
        g.fd = ::open(Root_HostPath(kCellPortPath).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (g.fd < 0) return 0;
    }
    termios t{};
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, kSpeeds[m[kSomBaud]]);
    ::cfsetospeed(&t, kSpeeds[m[kSomBaud]]);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(g.fd, TCSANOW, &t);
    std::memcpy(g.mode, m, kVcommModeBytes);
    return 1;
}

int Readable() {
    int n = 0;
    if (g.fd < 0 || ::ioctl(g.fd, FIONREAD, &n) != 0) return 0;
    return n;
}

int CheckRx(u32) {
    Pump();
    return Readable() > 0 ? 1 : 0;
}
int CountRx(u32) { return Readable() & 0xFFFF; }
int GetRx(u32) {
    u8 b = 0;
    for (;;) {
        ssize_t r = g.fd >= 0 ? ::read(g.fd, &b, 1) : -1;
        if (r == 1) return b;
        if (r < 0 && errno == EINTR) continue;
        return 0;
    }
}
void FlushRx(u32) {
    if (g.fd >= 0) ::tcflush(g.fd, TCIFLUSH);
}
int CountTx(u32) {
    Pump();
    int n = 0;
    if (g.fd < 0 || ::ioctl(g.fd, TIOCOUTQ, &n) != 0) n = 0;
    return static_cast<int>(std::min<size_t>(static_cast<size_t>(n) + g.pending.size(), 0xFFFF));
}
int EmptyTx(u32 p) { return CountTx(p) == 0 ? 1 : 0; }
void FlushTx(u32) { g.pending.clear(); }
int PutTx(u32, u8 b) {
    Write(&b, 1);
    return b;
}
int PutnTx(u32, const u8* d, u32 n) { return Write(d, n); }
int PutsTx(u32, const char* t) { return t == nullptr ? 0 : Write(reinterpret_cast<const u8*>(t), std::strlen(t)); }
int Zero(u32) { return 0; }
int One(u32) { return 1; }
int StatusRx(u32, int) { return 0; }
void Nothing(u32) {}
void SetNothing(u32, int) {}
void InitWait(u32, u32, u32) {}
int WaitRx(u32 p, u8* byte) {
    if (CheckRx(p) != 1) return 2;
    u8 b = static_cast<u8>(GetRx(p));
    if (byte != nullptr) *byte = b;
    return 1;
}
int IoCtl(u32, int, u32*) { return 0; }
void SetIntrcpt(int) {}
int StuffRx(u8) { return 0; }
int DrainTx(u8*) { return 0; }

VcommDriver MakeTable() {
    return VcommDriver{g.mode, Open,   Zero,  StatusRx, CheckRx,    CountRx,  FlushRx, GetRx,  EmptyTx, One,
                       CountTx, FlushTx, PutTx, PutnTx,  PutsTx,     Nothing,  Zero,    SetNothing, Zero, SetNothing,
                       Zero,   SetNothing, InitWait, WaitRx, IoCtl, SetIntrcpt, StuffRx, DrainTx};
}
VcommDriver table = MakeTable();

}  // namespace

VcommDriver& CellPort_Driver() { return table; }

void CellPort_Descriptors(std::vector<pollfd>& fds) {
    if (g.fd >= 0) fds.push_back({g.fd, POLLIN, 0});
}

void CellPort_Reset() {
    if (g.fd >= 0) ::close(g.fd);
    g.fd = -1;
    std::memset(g.mode, 0, sizeof g.mode);
    g.pending.clear();
}
