#include "platform/gpio.h"

#include "platform/board.h"

namespace {

u32 PinReg(u32 first, int n) { return kSocPinctrlBase + first + 0x10 * static_cast<u32>(n); }
void SetBits(u32 reg, u32 bits) { Board_RegWrite(reg + kRegSet, bits); }

}  // namespace

void Gpio_SetupPanelClocksAndPins() {
    // Clock controller: PLL0 on, and the two clock words of the board.
    u32 pll0 = Board_RegRead(kSocClkctrlBase);
    Board_RegWrite(kSocClkctrlBase, (pll0 & ~0xC0000000u) | (1u << 26));
    const u32 clk1 = kSocMapBase + 0x38140;
    Board_RegWrite(clk1, Board_RegRead(clk1) & ~0xFu);
    Board_RegWrite(kSocMapBase + 0x38028, 0x01000000);
    // Pin functions and drive strengths of the buttons, the option outputs
    // and the LED bank.
    SetBits(PinReg(kPinctrlMuxsel0, 1), 0x00000C00);
    SetBits(PinReg(kPinctrlMuxsel0, 2), 0x30);
    SetBits(PinReg(kPinctrlMuxsel0, 6), 0x30000000);
    SetBits(PinReg(kPinctrlDrive0, 2), 0x600600);
    SetBits(PinReg(kPinctrlDrive0, 13), 0x06000000);
}

void Gpio_SetupOption1Pins() {
    const u32 mux5 = PinReg(kPinctrlMuxsel0, 5);
    Board_RegWrite(mux5, (Board_RegRead(mux5) & 0x00C00000u) | 0x00150000u);
    SetBits(PinReg(kPinctrlDrive0, 11), 0x6000);
}

void Gpio_SetupIoEnableLine() {
    SetBits(PinReg(kPinctrlMuxsel0, 1), 0xC);
    Board_GpioOutSet(kIoEnableBank, 1u << kIoEnablePin);
    Board_GpioDirSet(kIoEnableBank, 1u << kIoEnablePin);
}

void Gpio_DriveIoEnable(bool high) {
    if (high)
        Board_GpioOutSet(kIoEnableBank, 1u << kIoEnablePin);
    else
        Board_GpioOutClear(kIoEnableBank, 1u << kIoEnablePin);
}
