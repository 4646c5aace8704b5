#include "platform/spi_imx28_drv.h"

#include "platform/board.h"
#include "platform/iomodules.h"

SpiUsage spi_usage = {0, 0};

namespace {

constexpr u32 kPolls = 10000;

// SSP registers and bits used here.
constexpr u32 kSspCtrl0 = 0x000, kSspTiming = 0x070, kSspCtrl1 = 0x080, kSspData = 0x090, kSspStatus = 0x100;
constexpr u32 kSspCtrl0Run = 0x20000000, kSspCtrl0Read = 0x02000000, kSspCtrl0DataXfer = 0x01000000,
              kSspCtrl0LockCs = 0x08000000, kSspCtrl0CountMask = 0xFFFF;
constexpr u32 kSspStatusFifoEmpty = 0x20, kSspStatusBusy = 0x1;
constexpr u32 kSspCtrl1Polarity = 0x200, kSspCtrl1Phase = 0x400, kSspCtrl1Word8 = 0x70, kSspCtrl1SpiMode = 0;

// Clock table: divider and rate of clock indexes 1-12.
const u8 kClockTable[12][2] = {{2, 0},  {2, 1},  {2, 2},  {2, 3},  {4, 2},  {4, 4},
                               {6, 4},  {8, 4},  {10, 4}, {20, 4}, {40, 4}, {100, 4}};

struct State {
    bool setUp[4] = {};  // per bus 1-3
};
State g;

u32 SspBase(int bus) { return bus == 1 ? kSocSsp1Base : kSocSsp2Base; }

bool WaitFor(u32 addr, u32 mask, bool set) {
    for (u32 i = 0; i < kPolls; ++i)
        if (((Board_RegRead(addr) & mask) != 0) == set) return true;
    return false;
}

// Chip-select pin of a usage record: bank, pin, active high.
bool CsPin(const SpiUsage& u, int* bank, u32* bit, bool* activeHigh) {
    *activeHigh = false;
    if (u.bus == 1 && u.chipSelect == 1) *bank = 2, *bit = 1u << 15;
    else if (u.bus == 1 && u.chipSelect == 2) *bank = 2, *bit = 1u << 5;
    else if (u.bus == 2 && u.chipSelect == 1) *bank = 2, *bit = 1u << 11;
    else if (u.bus == 2 && u.chipSelect == 3) *bank = 2, *bit = 1u << 13;
    else if (u.bus == 2 && u.chipSelect == 4) *bank = 4, *bit = 1u << 5, *activeHigh = true;
    else if (u.bus == 3) *bank = 2, *bit = 1u << 5;
    else return false;
    return true;
}

void DriveCs(const SpiUsage& u, bool active) {
    int bank;
    u32 bit;
    bool high;
    if (!CsPin(u, &bank, &bit, &high)) return;
    u32 reg = kSocPinctrlBase + kPinctrlDout0 + 0x10 * static_cast<u32>(bank);
    Board_RegWrite(reg + ((active == high) ? kRegSet : kRegClr), bit);
}

void SoftReset(u32 base) {
    Board_RegWrite(base + kRegClr, kCtrlSoftReset);
    WaitFor(base, kCtrlSoftReset, false);
    Board_RegWrite(base + kRegClr, kCtrlClockGate);
    Board_RegWrite(base + kRegSet, kCtrlSoftReset);
    WaitFor(base, kCtrlClockGate, true);
    Board_RegWrite(base + kRegClr, kCtrlSoftReset);
    WaitFor(base, kCtrlSoftReset, false);
    Board_RegWrite(base + kRegClr, kCtrlClockGate);
}

}  // namespace

void spi_enable_cs(const SpiUsage& usage) { DriveCs(usage, true); }
void spi_disable_cs(const SpiUsage& usage) { DriveCs(usage, false); }

int spi_data_trans(int bus, u8* data, int length, int read) {
    if (bus < 1 || bus > 3 || data == nullptr) return 0;
    if (length > 4) length = 4;
    u32 base = SspBase(bus);
    for (int i = 0; i < length; ++i) {
        Board_RegWrite(base + kSspCtrl0 + kRegClr, kSspCtrl0CountMask);
        Board_RegWrite(base + kSspCtrl0 + kRegSet, 1);
        Board_RegWrite(base + kSspCtrl0 + (read ? kRegSet : kRegClr), kSspCtrl0Read);
        Board_RegWrite(base + kSspCtrl0 + kRegSet, kSspCtrl0Run);
        if (!WaitFor(base + kSspCtrl0, kSspCtrl0Run, true)) return 0;
        Board_RegWrite(base + kSspData, read ? 0 : data[i]);
        Board_RegWrite(base + kSspCtrl0 + kRegSet, kSspCtrl0DataXfer);
        if (read) {
            if (!WaitFor(base + kSspStatus, kSspStatusFifoEmpty, false)) return 0;
            data[i] = static_cast<u8>(Board_RegRead(base + kSspData));
        }
        if (!WaitFor(base + kSspStatus, kSspStatusBusy, false)) return 0;
        Board_RegWrite(base + kSspCtrl0 + kRegClr, kSspCtrl0DataXfer);
    }
    return 1;
}

u32 spi_data_RD_nWR(u32 value, u16 reg, int length, int read) {
    if (spi_usage.bus == 0) return value;
    if (length < 1) length = 1;
    if (length > 4) length = 4;
    u8 header[4] = {static_cast<u8>(read ? 1 : 2), static_cast<u8>(length), static_cast<u8>(reg >> 8),
                    static_cast<u8>(reg)};
    u8 bytes[4];
    PutLe32(bytes, value);
    spi_enable_cs(spi_usage);
    if (spi_data_trans(spi_usage.bus, header, 4, 0) && spi_data_trans(spi_usage.bus, bytes, length, read) && read)
        value = GetLe32(bytes);
    spi_disable_cs(spi_usage);
    return value;
}

int spi_init(const SpiSetup& setup) {
    if (setup.bus < 1 || setup.bus > 3 || g.setUp[setup.bus]) return 0;
    IoModules_AttachBoard();
    // SSP clock from the crystal: divider register of the port, then its
    // bypass bit in the clock-sequence register.
    u32 divReg = setup.bus == 1 ? 0x60 : 0x70;
    Board_RegWrite(kSocClkctrlBase + divReg, 1);
    Board_RegWrite(kSocClkctrlBase + 0x1D0 + kRegSet, setup.bus == 1 ? 0x10 : 0x20);
    u32 base = SspBase(setup.bus);
    SoftReset(base);
    u32 divider = 3, rate = 1;
    if (setup.clock >= 1 && setup.clock <= 12) {
        divider = kClockTable[setup.clock - 1][0];
        rate = kClockTable[setup.clock - 1][1];
    }
    Board_RegWrite(base + kSspTiming, divider * 256 + rate);
    u32 ctrl1 = kSspCtrl1Word8 | kSspCtrl1SpiMode | ((setup.mode & 1) ? kSspCtrl1Polarity : 0) |
                ((setup.mode & 2) ? kSspCtrl1Phase : 0);
    Board_RegWrite(base + kSspCtrl1, ctrl1);
    Board_RegWrite(base + kSspCtrl0 + kRegSet, kSspCtrl0LockCs);
    g.setUp[setup.bus] = true;
    return 1;
}

void spi_close(int bus) {
    if (bus < 1 || bus > 3 || !g.setUp[bus]) return;
    Board_RegWrite(SspBase(bus) + kSspCtrl0 + kRegSet, kCtrlClockGate);
    g.setUp[bus] = false;
}

void Fpga_Init() {}

void Fpga_Close() {
    spi_disable_cs(spi_usage);
    if (spi_usage.bus != 0) spi_close(spi_usage.bus);
    spi_usage = {0, 0};
}

void Spi_Reset() {
    spi_usage = {0, 0};
    g = State{};
}
