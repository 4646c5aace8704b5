#include "link/sci.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "link/command.h"
#include "link/vcomm.h"
#include "platform/board.h"
#include "platform/file_watch.h"
#include "platform/rct.h"
#include "platform/root.h"

int* FileDesForMJ3 = nullptr;
int* FileDesForUSB = nullptr;
int* FileDesForMJ1 = nullptr;

namespace {

constexpr u32 kCntTbl[13] = {116666, 58333, 29166, 14583, 7291, 3645, 1822, 911, 607, 303, 2430, 1215, 3365};
constexpr speed_t kSpeeds[10] = {B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
constexpr const char* kUsbStatePath = "/sys/devices/platform/fsl-usb2-udc/gadget/suspended";
// Bytes kept for a device that does not take them at once; past this nobody
// reads the port and the rest is dropped.
constexpr size_t kPendingMax = 64 * 1024;
constexpr size_t kRequestLog = 64;

constexpr u32 kNoPort = 0xFFFFFFFF;

struct Driver {
    int unit = 0;
    u32 port = kNoPort;  // logical port number, recorded by Init
    u8 mode[kVcommModeBytes] = {};
    u8 rx_buf[kSciRingBytes] = {};
    u8 tx_buf[kSciRingBytes] = {};
    u32 rx_in = 0, rx_out = 0, tx_in = 0, tx_out = 0;
    bool rtuOverflow = false;
    int VirtualCmd = 0;
    u32 shortDelay = 0;
    int passCnt = 0;
    int gapAnswer = 0;
    bool usbArmed = false;       // the USB port's WaitRx armed its timer
    std::vector<u8> pending;     // accepted for the device, not yet taken by it
    SciView view;

    explicit Driver(int u) : unit(u) {}
    int& fd() { return view.fd; }
    u8 Nibble() const { return mode[kSomProto] & 0x0F; }

    // What the board's serial driver would answer; a pseudo-terminal has none of it.
    int Request(unsigned long request, long argument) {
        if (request == kSciReqGapSeen) {  // asked on every receive check: not recorded
            int a = gapAnswer;
            if (a > 0) gapAnswer = 0;
            return a;
        }
        // Only the recent requests are kept: a port reopened all day must not grow the log.
        if (view.requests.size() >= kRequestLog) view.requests.erase(view.requests.begin());
        view.requests.push_back({request, argument});
        return view.fd >= 0 ? 0 : -1;
    }

    // --- rings ---
    static u32 Next(u32 i) { return (i + 1) % kSciRingBytes; }
    u32 RxCount() const { return (rx_in + kSciRingBytes - rx_out) % kSciRingBytes; }
    u32 TxRingCount() const { return (tx_in + kSciRingBytes - tx_out) % kSciRingBytes; }
    int StuffRx(u8 b) {
        if (Next(rx_in) == rx_out) return 0;  // full: 2047 bytes
        rx_buf[rx_in] = b;
        rx_in = Next(rx_in);
        return 1;
    }
    int StuffTx(u8 b) {
        if (Next(tx_in) == tx_out) return 0;
        tx_buf[tx_in] = b;
        tx_in = Next(tx_in);
        return 1;
    }
    int DrainTx(u8* b) {
        if (tx_in == tx_out) return 0;
        if (b != nullptr) *b = tx_buf[tx_out];
        tx_out = Next(tx_out);
        return 1;
    }

    // --- device I/O ---
    // Writes what the device takes now; false on a device error.
    bool WriteNow(const u8* data, u32 n, u32* done) {
        *done = 0;
        while (*done < n) {
            ssize_t w = ::write(view.fd, data + *done, n - *done);
            if (w > 0) {
                *done += static_cast<u32>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            return w < 0 && errno == EAGAIN;
        }
        return true;
    }
    // Hands the device what it kept back, as far as it takes it now.
    void Pump() {
        if (pending.empty() || view.fd < 0) return;
        u32 done = 0;
        bool ok = WriteNow(pending.data(), static_cast<u32>(pending.size()), &done);
        if (!ok) done = static_cast<u32>(pending.size());  // the device is gone: drop it
        pending.erase(pending.begin(), pending.begin() + done);
    }
    // Queues the bytes behind what is kept back and writes what the device
    // takes; the rest goes out on later calls. Answers the bytes accepted.
    int WriteDevice(const u8* data, u32 n) {
        if (view.fd < 0) return 0;
        Pump();
        u32 done = 0;
        if (pending.empty() && !WriteNow(data, n, &done)) return static_cast<int>(done);
        size_t room = kPendingMax - std::min(kPendingMax, pending.size());
        size_t keep = std::min<size_t>(n - done, room);
        pending.insert(pending.end(), data + done, data + done + keep);
        return static_cast<int>(done + keep);
    }
    int DeviceReadable() {
        if (view.fd < 0) return 0;
        int n = 0;
        if (::ioctl(view.fd, FIONREAD, &n) != 0) return 0;
        return n;
    }

    void TimerArmByBaud() {
        RCT_Stop(view.hdRtu);
        RCT_Set(view.hdRtu, mode[kSomBaud], kRctByBaudCode);
        view.rtuIndex = 2;
        RCT_Start(view.hdRtu);
    }

    int Open(const u8* req);
    int CheckRx();
    int GetRx();
    void FlushRx() {
        if (VirtualCmd)
            rx_in = rx_out = 0;
        else if (view.fd >= 0)
            ::tcflush(view.fd, TCIFLUSH);
        Request(kSciReqGapArm, 0);
    }
    int CountRx() { return VirtualCmd ? static_cast<int>(RxCount()) : (DeviceReadable() & 0xFFFF); }
    int CountTx() {
        if (VirtualCmd) return static_cast<int>(TxRingCount());
        if (view.fd < 0) return 0;
        Pump();
        int n = 0;
        if (::ioctl(view.fd, TIOCOUTQ, &n) != 0) n = 0;
        // The count is 16 bits wide: a larger one saturates rather than
        // wrapping to "empty".
        size_t total = static_cast<size_t>(n & 0xFFFF) + pending.size();
        return static_cast<int>(std::min<size_t>(total, 0xFFFF));
    }
    int EmptyTx() { return CountTx() == 0 ? 1 : 0; }
    void FlushTx() {
        if (VirtualCmd) tx_in = tx_out = 0;
    }
    int PutTx(u8 b) {
        if (VirtualCmd) {
            StuffTx(b);
        } else if (Nibble() == kProtoRtu && unit != kSciUsb) {
            if (tx_in < kSciRingBytes)
                tx_buf[tx_in++] = b;
            else
                rtuOverflow = true;  // the frame no longer fits: it is dropped at RtuTx
        } else {
            WriteDevice(&b, 1);
        }
        return b;
    }
    int PutnTx(const u8* data, u32 n) {
        if (data == nullptr) return 0;
        if (VirtualCmd) {
            u32 moved = 0;
            while (moved < n && StuffTx(data[moved])) moved++;
            return static_cast<int>(moved);
        }
        return WriteDevice(data, n);
    }
    int PutsTx(const char* text) {
        if (text == nullptr) return 0;
        u32 n = static_cast<u32>(std::strlen(text));
        if (unit == kSciUsb) {
            for (u32 i = 0; i < n; ++i) PutTx(static_cast<u8>(text[i]));
        } else {
            WriteDevice(reinterpret_cast<const u8*>(text), n);
        }
        return static_cast<int>(n);
    }
    void RtuTx() {
        if (unit == kSciUsb || VirtualCmd || Nibble() != kProtoRtu) return;
        if (rtuOverflow) {
            view.rtuOverflows++;
        } else if (tx_in != 0) {
            WriteDevice(tx_buf, tx_in);
        }
        tx_in = 0;
        rtuOverflow = false;
    }
    void InitWait(u32 us, u32 third) {
        RCT_Stop(view.hdRtu);
        view.rtuIndex = 2;
        view.timerMode = 2;
        shortDelay = third;
        RCT_Set(view.hdRtu, us, 3);
        RCT_Start(view.hdRtu);
        RctISR();
    }
    int IoCtl(int request, u32* value) {
        if (request == 1 || request == 2) {
            RCT_Stop(view.hdRtu);
            view.timerMode = 2;
            RCT_Set(view.hdRtu, value != nullptr ? *value : 0, 3);
            RCT_Start(view.hdRtu);
            RctISR();
            return 1;
        }
        if (request == 3) return EmptyTx();
        return 0;
    }
    int WaitRx(u8* byte);
    void SetIntrcpt(int on) {
        if (on) {
            rx_in = rx_out = tx_in = tx_out = 0;
            VirtualCmd = 1;
            return;
        }
        VirtualCmd = 0;
        FlushRx();
        tx_in = tx_out = 0;  // what the other side did not take is dropped
    }
    void Callback() {
        if (view.rtuIndex == 2) view.rtuIndex = 1;
    }
};

// The four drivers and the USB port's last two suspend states.
struct State {
    Driver drv[kSciUnits] = {Driver(0), Driver(1), Driver(2), Driver(3)};
    u8 usbPrev = 0, usbNow = 0;
};
State g;

template <int U>
void TimerCallback() {
    g.drv[U].Callback();
}
constexpr RctCallback kCallbacks[kSciUnits] = {TimerCallback<0>, TimerCallback<1>, TimerCallback<2>, TimerCallback<3>};

int Driver::Open(const u8* req) {
    if (req == nullptr) return 0;
    u8 reqNibble = req[kSomProto] & 0x0F;
    if (!Vcomm_OpenAllowed(Nibble(), reqNibble)) return 0;
    int result = 1;
    u8 options = req[kSomProto] >> 4;
    if (view.fd >= 0 && options == 1) {
        termios cur;
        if (::tcgetattr(view.fd, &cur) != 0) {
            result = 0;
        } else {
            cur.c_cflag &= ~static_cast<tcflag_t>(CREAD);
            if (::tcsetattr(view.fd, TCSANOW, &cur) != 0) result = 0;
        }
    }
    std::memcpy(mode, req, kVcommModeBytes);
    bool programmingPort = unit == kSciUsb ? ProgrammingPort == 0 : (unit <= kSciPort1 && port == ProgrammingPort);
    if (programmingPort) SR_Put(34, Nibble());

    termios& t = view.newTio;
    std::memset(&t, 0, sizeof t);
    if (mode[kSomBaud] < 10) {
        ::cfsetispeed(&t, kSpeeds[mode[kSomBaud]]);
        ::cfsetospeed(&t, kSpeeds[mode[kSomBaud]]);
    } else {
        result = 0;
    }
    if (mode[kSomData] == 2)
        t.c_cflag |= CS7;
    else if (mode[kSomData] == 3)
        t.c_cflag |= CS8;
    else
        result = 0;
    if (mode[kSomParity] == 0)
        t.c_iflag |= IGNPAR;
    else if (mode[kSomParity] == 1)
        t.c_cflag |= PARENB | PARODD;
    else if (mode[kSomParity] == 2)
        t.c_cflag |= PARENB;
    else
        result = 0;
    if (mode[kSomStop] == 1)
        t.c_cflag |= CSTOPB;
    else if (mode[kSomStop] != 0)
        result = 0;

    int iface = 0;
    if (unit == kSciPort1 || unit == kSciSpare) Request(TIOCMBIS, TIOCM_RTS);
    if (unit == kSciPort1) Request(kSciReqMode485, 0);
    u8 line = mode[kSomLine];
    switch (line) {
        case 0:
            if (unit == kSciPort1 && options == 1) {
                Request(TIOCMBIC, TIOCM_RTS);
                iface = 1;
            }
            break;
        case 1: t.c_iflag |= IXON | IXOFF; break;
        case 2:
            if (unit == kSciUsb || unit == kSciSpare)
                t.c_cflag |= CRTSCTS;
            else
                Request(TIOCMBIC, TIOCM_RTS);
            break;
        case 3:
            if (unit == kSciPort1) {
                Request(TIOCMBIC, TIOCM_RTS);
                iface = 1;
            }
            break;
        case 4:
            if (unit == kSciPort1) {
                Request(kSciReqMode485, 1);
                iface = 1;
                view.fifoOff = 1;
                Serial_ClearUartFifo(1);
            }
            break;
        case 5: break;
        default: result = 0; break;
    }
    t.c_cflag |= CLOCAL | CREAD;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag = NOFLSH;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    bool applied = false;
    if (view.fd >= 0) {
        if (unit == kSciPort1 || unit == kSciSpare) {
            ::tcflush(view.fd, TCIOFLUSH);
            applied = ::tcsetattr(view.fd, unit == kSciPort1 ? TCSANOW : TCSADRAIN, &t) == 0;
        } else {
            applied = ::tcsetattr(view.fd, TCSADRAIN, &t) == 0;
            // The output has drained: flushing it as well would discard
            // nothing on a UART, but on a pseudo-terminal it would drop what
            // the peer has not read yet (the answer to a baud change).
            ::tcflush(view.fd, TCIFLUSH);
        }
    }
    if (!applied) result = 0;
    if (unit == kSciPort1 && applied) view.interfaceBit = iface;

    view.rtuIndex = 0;
    rx_in = rx_out = tx_in = tx_out = 0;
    rtuOverflow = false;
    if (unit == kSciPort0) {
        Request(kSciReqMode485, 1);
        view.fifoOff = 1;
        Serial_ClearUartFifo(0);
    }
    RCT_Release(view.hdRtu);
    view.hdRtu = 0;
    view.rtuCheckKernel = 0;
    if (Nibble() != kProtoRtu) {
        view.timerMode = 0;
        return result;
    }
    view.kernelBuild = (sciPeers.kernelBuild ? sciPeers.kernelBuild() : 0) & 0xFFFF;
    if (view.kernelBuild <= 3544) {
        Request(kSciReqGapSet, 0);
    } else {
        view.rtuCheckKernel = 1;
        Request(kSciReqGapSet, static_cast<long>(Sci_KernelGap(mode)));
        Request(kSciReqGapArm, 0);
    }
    view.hdRtu = RCT_Allocate(kCallbacks[unit]);
    RCT_Stop(view.hdRtu);
    RCT_Set(view.hdRtu, mode[kSomBaud], kRctByBaudCode);
    view.timerMode = 1;
    return result;
}

int Driver::CheckRx() {
    if (VirtualCmd) return rx_in != rx_out ? 1 : 0;
    Pump();
    bool skipCount = false;
    if (view.rtuCheckKernel) {
        int a = Request(kSciReqGapSeen, 0);
        if (a > 0) return 255;
        if (a < 0) skipCount = true;
    }
    if (!skipCount && DeviceReadable() > 0) return 1;
    if (Nibble() != kProtoRtu) return 0;
    RctISR();
    if (view.rtuIndex == 1) {
        view.rtuIndex = 0;
        return 255;
    }
    return 0;
}

int Driver::GetRx() {
    if (VirtualCmd) {
        if (rx_in == rx_out) return 0;
        u8 b = rx_buf[rx_out];
        rx_out = Next(rx_out);
        return b;
    }
    if (view.fd < 0) return 0;
    u8 b = 0;
    // The caller asked CheckRx first; nothing there now answers 0.
    for (;;) {
        ssize_t r = ::read(view.fd, &b, 1);
        if (r == 1) break;
        if (r < 0 && errno == EINTR) continue;
        return 0;
    }
    if (Nibble() == kProtoRtu && !view.rtuCheckKernel) {
        view.rtuIndex = 2;
        RCT_Start(view.hdRtu);
    }
    return b;
}

int Driver::WaitRx(u8* byte) {
    int c = CheckRx();
    if (c == 1) {
        u8 b = static_cast<u8>(GetRx());
        if (byte != nullptr) *byte = b;
        view.timerMode = 1;
        usbArmed = false;
        return 1;
    }
    if (c == 255 || (SR_Get(5) & 0xFF) != 2) {
        RCT_Stop(view.hdRtu);
        passCnt = 0;
        usbArmed = false;
        return 0;
    }
    // The USB port keeps its armed flag until this wait has its answer.
    if (unit == kSciUsb) {
        if (!usbArmed && view.timerMode == 1) {
            usbArmed = true;
            TimerArmByBaud();
        }
    } else if (passCnt == 0 && view.timerMode == 1) {
        passCnt = 1;
        TimerArmByBaud();
    }
    // Nothing yet: the caller asks again on a later pass.
    return 2;
}

int InitUnit(int unit, u32 port, const u8* startMode, bool keepModeOnFailure) {
    Driver& d = g.drv[unit];
    d.unit = unit;
    d.port = port;
    if (d.fd() >= 0) ::close(d.fd());
    d.pending.clear();
    d.fd() = ::open(Root_HostPath(Serial_DevicePath(unit)).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (d.fd() < 0 && keepModeOnFailure) return 0;
    std::memcpy(d.mode, startMode, kVcommModeBytes);
    if (d.fd() >= 0) ::fcntl(d.fd(), F_SETFL, ::fcntl(d.fd(), F_GETFL) | O_NONBLOCK);
    u8 start[kVcommModeBytes];
    std::memcpy(start, d.mode, kVcommModeBytes);
    int ok = d.Open(start);
    return d.fd() >= 0 && ok ? 1 : 0;
}

// Table operations of ports 0 and 1 (the port argument selects the unit).
Driver& P(u32 port) { return g.drv[port == 1 ? kSciPort1 : kSciPort0]; }
int OpOpen(u32 p, const u8* m) { return P(p).Open(m); }
int OpZero(u32) { return 0; }
int OpStatusRx(u32, int) { return 0; }
int OpCheckRx(u32 p) { return P(p).CheckRx(); }
int OpCountRx(u32 p) { return P(p).CountRx(); }
void OpFlushRx(u32 p) { P(p).FlushRx(); }
int OpGetRx(u32 p) { return P(p).GetRx(); }
int OpEmptyTx(u32 p) { return P(p).EmptyTx(); }
int OpCheckTx(u32) { return 1; }
int OpCountTx(u32 p) { return P(p).CountTx(); }
void OpFlushTx(u32 p) { P(p).FlushTx(); }
int OpPutTx(u32 p, u8 b) { return P(p).PutTx(b); }
int OpPutnTx(u32 p, const u8* d, u32 n) { return P(p).PutnTx(d, n); }
int OpPutsTx(u32 p, const char* t) { return P(p).PutsTx(t); }
void OpRtuTx(u32 p) { P(p).RtuTx(); }
void OpSetNone(u32, int) {}
// Carrier detect and the modem control line come from the board's modem
// lines (a test's modem raises the carrier; the firmware the control line).
int OpGetDCD(u32 p) { return (Board_ModemLines(static_cast<int>(p)) & kBoardCarrier) != 0; }
void OpEnable(u32 p, int on) { Board_SetModemLine(static_cast<int>(p), kBoardControl, on != 0); }
void OpInitWait(u32 p, u32 us, u32 third) { P(p).InitWait(us, third); }
int OpWaitRx(u32 p, u8* b) { return P(p).WaitRx(b); }
int OpIoCtl(u32 p, int r, u32* v) { return P(p).IoCtl(r, v); }
template <int U>
void OpSetIntrcpt(int on) {
    g.drv[U].SetIntrcpt(on);
}
template <int U>
int OpStuffRx(u8 b) {
    return g.drv[U].StuffRx(b);
}
template <int U>
int OpDrainTx(u8* b) {
    return g.drv[U].DrainTx(b);
}

template <int U>
constexpr VcommDriver MakeTable() {
    return VcommDriver{g.drv[U].mode, OpOpen,     OpZero,     OpStatusRx,   OpCheckRx,  OpCountRx,     OpFlushRx,
                       OpGetRx,       OpEmptyTx,  OpCheckTx,  OpCountTx,    OpFlushTx,  OpPutTx,       OpPutnTx,
                       OpPutsTx,      OpRtuTx,    OpZero,     OpSetNone,    OpZero,     OpSetNone,     OpGetDCD,
                       OpEnable,      OpInitWait, OpWaitRx,   OpIoCtl,      OpSetIntrcpt<U>, OpStuffRx<U>, OpDrainTx<U>};
}

}  // namespace

VcommDriver Vcomm_Drv[2] = {MakeTable<kSciPort0>(), MakeTable<kSciPort1>()};
SciPeers sciPeers;

void SciPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, sciPeers, kernelBuild); }

u32 Sci_CharTime(u32 baudCode) { return baudCode < 13 ? kCntTbl[baudCode] : kCntTbl[0]; }

u32 Sci_KernelGap(const u8* m) {
    u32 entry = Sci_CharTime(m[kSomBaud]);
    if ((m[kSomProto] >> 4) != 0 && m[kSomLine] != 3) return entry;
    return (entry / 35) * 90;
}

int SCI0_Init(int port) {
    Vcomm_Drv[0] = MakeTable<kSciPort0>();
    return InitUnit(kSciPort0, static_cast<u32>(port), rism_mode, false);
}

int SCI1_Init(int port) {
    Vcomm_Drv[1] = MakeTable<kSciPort1>();
    int r = InitUnit(kSciPort1, static_cast<u32>(port), rism_mode, false);
    FileDesForMJ3 = &g.drv[kSciPort1].view.fd;
    return r;
}

int SCI2_Init(int port) {
    int r = InitUnit(kSciSpare, static_cast<u32>(port), rism_mode, false);
    FileDesForMJ1 = &g.drv[kSciSpare].view.fd;
    return r;
}

int SCI4_Init(int) {
    int r = InitUnit(kSciUsb, 0, tovra_mode, true);
    if (g.drv[kSciUsb].fd() >= 0) FileDesForUSB = &g.drv[kSciUsb].view.fd;
    return r;
}

void USBPortMon() {
    // The state is read again only when the driver wrote it.
    if (!FileWatch_Changed(FileWatch_Add(kUsbStatePath))) return;
    int fd = ::open(Root_HostPath(kUsbStatePath).c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    char c;
    if (::read(fd, &c, 1) == 1) {
        g.usbPrev = g.usbNow;
        g.usbNow = static_cast<u8>(c);
        Driver& d = g.drv[kSciUsb];
        if (g.usbNow == '1' && g.usbPrev == '0') {
            if (d.fd() >= 0) ::close(d.fd());
            d.fd() = -1;
            d.pending.clear();
        } else if (g.usbNow == '0' && g.usbPrev == '1') {
            SCI4_Init(3);
        }
    }
    ::close(fd);
}

u8* SCI4_ModeRecord() { return g.drv[kSciUsb].mode; }
int SCI4_Open(const u8* m) { return g.drv[kSciUsb].Open(m); }
int SCI4_CheckRx() { return g.drv[kSciUsb].CheckRx(); }
int SCI4_CountRx() { return g.drv[kSciUsb].CountRx(); }
int SCI4_GetRx() { return g.drv[kSciUsb].GetRx(); }
void SCI4_FlushRx() { g.drv[kSciUsb].FlushRx(); }
int SCI4_EmptyTx() { return g.drv[kSciUsb].EmptyTx(); }
int SCI4_CountTx() { return g.drv[kSciUsb].CountTx(); }
int SCI4_PutTx(u8 b) { return g.drv[kSciUsb].PutTx(b); }
int SCI4_PutnTx(const u8* data, u32 n) {
    Driver& d = g.drv[kSciUsb];
    if (d.VirtualCmd) {
        u32 i = 0;
        for (; data != nullptr && i < n; ++i) d.PutTx(data[i]);
        return static_cast<int>(i);
    }
    return d.PutnTx(data, n);
}
int SCI4_PutsTx(const char* t) { return g.drv[kSciUsb].PutsTx(t); }
int SCI4_WaitRx(u8* b) { return g.drv[kSciUsb].WaitRx(b); }
void SCI4_InitWait(u32 us, u32 third) { g.drv[kSciUsb].InitWait(us, third); }
void SCI4_SetIntrcpt(int on) { g.drv[kSciUsb].SetIntrcpt(on); }
int SCI4_StuffRx(u8 b) { return g.drv[kSciUsb].StuffRx(b); }
int SCI4_DrainTx(u8* b) { return g.drv[kSciUsb].DrainTx(b); }

const SciView& Sci_View(int unit) { return g.drv[unit >= 0 && unit < kSciUnits ? unit : 0].view; }

bool Sci_InterceptOn(int unit) { return unit >= 0 && unit < kSciUnits && g.drv[unit].VirtualCmd != 0; }

void Sci_SetGapAnswer(int unit, int answer) {
    if (unit >= 0 && unit < kSciUnits) g.drv[unit].gapAnswer = answer;
}

void Sci_Reset() {
    for (Driver& d : g.drv) {
        if (d.fd() >= 0) ::close(d.fd());
        RCT_Release(d.view.hdRtu);
    }
    g = State{};
    Vcomm_Drv[0] = MakeTable<kSciPort0>();
    Vcomm_Drv[1] = MakeTable<kSciPort1>();
    FileDesForMJ3 = FileDesForUSB = FileDesForMJ1 = nullptr;
}
