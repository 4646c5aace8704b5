#include "platform/i2c_imx28_drv.h"

#include "platform/board.h"
#include "platform/iomodules.h"

namespace {

constexpr long kSysI2c = 366;
constexpr u32 kPolls = 0xFFFFF;

struct State {
    bool ready = false;
    bool kernel = false;  // the kernel's system call, not the registers
    I2cCmd cmd{};
    u32 version = 0;
};
State g;

// The board kernel's system calls, as the simulated board answers them.
long KernelSyscall(long number, long operation, void* argument, long extra) {
    if (number == kSysI2c) return IoBus_KernelCall(operation, argument, extra);
    return -1;
}

bool KernelTransfer(u8 address, u8* data, u32 length, u32 direction) {
    g.cmd.address = address;
    g.cmd.data = data;
    g.cmd.length = length;
    g.cmd.direction = direction;
    g.cmd.result = 0xFFFFFFFF;
    I2cCmd* record = &g.cmd;
    KernelSyscall(kSysI2c, 1, &record, 0);
    return true;
}

u32 Reg(u32 offset) { return Board_RegRead(kSocI2c0Base + offset); }
void Put(u32 offset, u32 v) { Board_RegWrite(kSocI2c0Base + offset, v); }

bool WaitCtrl0Clear(u32 bits) {
    for (u32 i = 0; i < kPolls; ++i)
        if ((Reg(kI2cCtrl0) & bits) == 0) return true;
    return false;
}

void SoftReset() {
    Put(kI2cCtrl0 + kRegClr, kCtrlSoftReset);
    WaitCtrl0Clear(kCtrlSoftReset);
    Put(kI2cCtrl0 + kRegClr, kCtrlClockGate);
    Put(kI2cCtrl0 + kRegSet, kCtrlSoftReset);
    for (u32 i = 0; i < kPolls && !(Reg(kI2cCtrl0) & kCtrlClockGate); ++i) {
    }
    Put(kI2cCtrl0 + kRegClr, kCtrlSoftReset);
    WaitCtrl0Clear(kCtrlSoftReset);
    Put(kI2cCtrl0 + kRegClr, kCtrlClockGate);
}

// Starts one run of the data engine and waits for it to complete and for the
// bus to be free; false when it does not finish or the device did not
// acknowledge (the flag is then cleared).
bool Run(u32 ctrl0) {
    Put(kI2cCtrl1 + kRegClr, kI2cCtrl1Flags);
    Put(kI2cCtrl0, ctrl0);
    Put(kI2cCtrl0 + kRegSet, kI2cCtrl0Run);
    bool done = false;
    for (u32 i = 0; i < kPolls; ++i)
        if (Reg(kI2cCtrl1) & kI2cCtrl1EngineDone) {
            done = true;
            break;
        }
    bool free = false;
    for (u32 i = 0; done && i < kPolls; ++i)
        if (!(Reg(kI2cStat) & kI2cStatBusBusy)) {
            free = true;
            break;
        }
    if (Reg(kI2cCtrl1) & kI2cCtrl1NoSlaveAck) {
        Put(kI2cCtrl1 + kRegClr, kI2cCtrl1NoSlaveAck);
        return false;
    }
    return done && free;
}

void ClearFlags() { Put(kI2cCtrl1 + kRegClr, kI2cCtrl1Flags); }

// Transfers before any set-up take the path chosen last (the direct one at
// first).
bool Ready() {
    if (!g.ready) i2c0_init(g.kernel ? 32 : 0);
    return g.ready;
}

}  // namespace

int i2c0_init(u16 kernelBuild) {
    g.kernel = kernelBuild >= 32;
    if (g.kernel) {
        g.ready = true;
        return 1;
    }
    // The register blocks of the board: attach the device models behind them.
    IoModules_AttachBoard();
    // I2C0 pins (bank 3 pins 24 and 25): I2C function, drive strength, pull-ups.
    Board_RegWrite(kSocPinctrlBase + kPinctrlMuxsel0 + 0x10 * 7 + kRegClr, 0xF0000);
    Board_RegWrite(kSocPinctrlBase + kPinctrlDrive0 + 0x10 * 15 + kRegClr, 0x33);
    Board_RegWrite(kSocPinctrlBase + kPinctrlDrive0 + 0x10 * 15 + kRegSet, 0x44);
    Board_RegWrite(kSocPinctrlBase + kPinctrlPull0 + 0x10 * 3 + kRegSet, 0x3000000);
    g.version = Reg(kI2cVersion);
    SoftReset();
    g.ready = true;
    i2c_timing(1);
    Put(kI2cCtrl0 + kRegSet, kI2cCtrl0Transmit);
    ClearFlags();
    Put(kI2cStat, 0);
    Put(kI2cQueueCtrl, 0);
    Put(kI2cQueueStat, 0);
    Put(kI2cQueueCmd, 0);
    return 1;
}

int i2c_timing(int speed) {
    if (g.kernel) {
        g.cmd.timing = static_cast<u32>(speed);
        return 1;
    }
    bool fast = speed == 2;
    Put(kI2cTiming0, fast ? 0x000F0007 : 0x00780030);
    Put(kI2cTiming1, fast ? 0x001F000F : 0x00800030);
    Put(kI2cTiming2, fast ? 0x0015000D : 0x0032001E);
    return 1;
}

int i2c0_query(u8 address, int stop) {
    if (!Ready()) return 0;
    if (g.kernel) {
        KernelTransfer(address, nullptr, 0, 0);
        return g.cmd.result != 0 ? 1 : 0;
    }
    Put(kI2cData, address);
    return Run(stop ? 0x00190001 : 0x00290001) ? 1 : 0;
}

int i2c_data_read(u8 address, u8* buffer, u32 count) {
    if (!Ready() || buffer == nullptr) return 0;
    if (g.kernel) {
        KernelTransfer(address, buffer, count, 1);
        return count != 0 && g.cmd.result == 0 ? 1 : 0;
    }
    if (count == 0 || count > kI2cCtrl0CountMask) return 0;
    bool ok = i2c0_query(static_cast<u8>(address | 1), 0) &&
              Run(count | kI2cCtrl0PostSendStop | kI2cCtrl0SendNakOnLast | kI2cCtrl0MasterMode);
    if (ok) {
        // Four bytes per read of the data register; a count that is not a
        // multiple of four takes only what the buffer holds from the last.
        for (u32 pos = 0; pos < count; pos += 4) {
            u32 w = Reg(kI2cData);
            for (u32 k = 0; k < 4 && pos + k < count; ++k) buffer[pos + k] = static_cast<u8>(w >> (8 * k));
        }
    }
    ClearFlags();
    return ok ? 1 : 0;
}

int i2c_data_write(u8 address, const u8* data, u32 count) {
    if (!Ready() || (data == nullptr && count != 0)) return 0;
    if (g.kernel) {
        KernelTransfer(address, const_cast<u8*>(data), count, 0);
        return count != 0 && g.cmd.result == 0 ? 1 : 0;
    }
    if (count == 0) return 0;
    bool ok = i2c0_query(static_cast<u8>(address & 0xFE), 0);
    for (u32 i = 0; ok && i < count; ++i) {
        Put(kI2cData, data[i]);
        u32 ctrl = 1 | kI2cCtrl0Transmit | kI2cCtrl0MasterMode |
                   (i + 1 == count ? kI2cCtrl0PostSendStop : kI2cCtrl0RetainClock);
        ok = Run(ctrl);
    }
    ClearFlags();
    return ok ? 1 : 0;
}

void i2c0_close() {
    if (!g.kernel && g.ready) Put(kI2cCtrl0 + kRegSet, kCtrlClockGate);
    g.ready = false;
}

bool I2c_KernelPath() { return g.kernel; }

void I2c_Reset() {
    g = State{};
}
