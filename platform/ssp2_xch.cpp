#include "platform/ssp2_xch.h"

#include <vector>

#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/iomodules.h"
#include "platform/root.h"

namespace {

constexpr const char* kShadowPath = "/proc/Ssp2_Out_Data";

// Pins: clock, data out and data in on bank 2; chain 0 selected by bank 4
// pin 5 (active high), chains 1 and 2 by bank 2 pins 19 and 21 (active low).
constexpr u32 kClock = 1u << 16, kDataOut = 1u << 17, kDataIn = 1u << 18;
constexpr u32 kSelect0 = 1u << 5, kSelect1 = 1u << 19, kSelect2 = 1u << 21;

struct State {
    bool pinsReady = false;
};
State g;

u32 PinReg(u32 base, int bank) { return kSocPinctrlBase + base + 0x10 * static_cast<u32>(bank); }
void Set(u32 base, int bank, u32 bits) { Board_RegWrite(PinReg(base, bank) + kRegSet, bits); }
void Clr(u32 base, int bank, u32 bits) { Board_RegWrite(PinReg(base, bank) + kRegClr, bits); }

// Multiplexer selector of a pin: two bits per pin, 16 pins per register;
// 3 is the GPIO function.
void MuxGpio(int bank, int pin) {
    u32 reg = kPinctrlMuxsel0 + 0x10 * static_cast<u32>(2 * bank + pin / 16);
    Board_RegWrite(kSocPinctrlBase + reg + kRegSet, 3u << (2 * (pin % 16)));
}

void SetUpPins() {
    IoModules_AttachBoard();
    Clr(kPinctrlDout0, 4, kSelect0);
    MuxGpio(4, 5);
    Set(kPinctrlDoe0, 4, kSelect0);
    Set(kPinctrlDout0, 2, kSelect1);
    MuxGpio(2, 19);
    Set(kPinctrlDoe0, 2, kSelect1);
    Set(kPinctrlDout0, 2, kSelect2);
    MuxGpio(2, 21);
    Set(kPinctrlDoe0, 2, kSelect2);
    MuxGpio(2, 18);
    Board_RegWrite(kSocPinctrlBase + kPinctrlPull0 + 0x10 * 2 + kRegSet, kDataIn);
    Clr(kPinctrlDout0, 2, kClock);
    MuxGpio(2, 16);
    MuxGpio(2, 17);
    Set(kPinctrlDoe0, 2, kClock | kDataOut);
    g.pinsReady = true;
}

void Select(int chain, bool on) {
    if (chain == 0) {
        if (on) Set(kPinctrlDout0, 4, kSelect0);
        else Clr(kPinctrlDout0, 4, kSelect0);
        return;
    }
    u32 bit = chain == 1 ? kSelect1 : kSelect2;
    if (on) Clr(kPinctrlDout0, 2, bit);
    else Set(kPinctrlDout0, 2, bit);
}

void DataOut(bool one) {
    if (one) Set(kPinctrlDout0, 2, kDataOut);
    else Clr(kPinctrlDout0, 2, kDataOut);
}

void WriteShadow(const u32 shadow[3]) {
    u8 bytes[12];
    for (int i = 0; i < 3; ++i) PutLe32(bytes + 4 * i, shadow[i]);
    File_WriteAtomic(Root_HostPath(kShadowPath), bytes, sizeof bytes);
}

}  // namespace

void Ssp2_ReadShadow(u32 shadow[3]) {
    std::vector<u8> data;
    bool ok = File_ReadAll(Root_HostPath(kShadowPath), data, 64) && data.size() >= 12;
    for (int i = 0; i < 3; ++i) shadow[i] = ok ? GetLe32(&data[4 * i]) : 0;
}

u32 Ssp2_Xch(u32 setBits, u32 clearBits, int chain) {
    if (chain < 0 || chain > 2) return 0;
    if (!g.pinsReady) SetUpPins();
    Select(chain, true);
    u32 shadow[3];
    Ssp2_ReadShadow(shadow);
    shadow[chain] = (shadow[chain] | setBits) & ~clearBits;
    u32 out = shadow[chain];
    u32 result = 0;
    if (chain == 2) {
        for (int i = 0; i < 12; ++i) {
            Clr(kPinctrlDout0, 2, kClock);
            DataOut((out >> i) & 1);
            Set(kPinctrlDout0, 2, kClock);
        }
    } else {
        for (int i = 15; i >= 0; --i) {
            if (Board_GpioIn(2) & kDataIn) result |= 1u << i;
            Set(kPinctrlDout0, 2, kClock);
            DataOut((out >> i) & 1);
            Clr(kPinctrlDout0, 2, kClock);
        }
    }
    WriteShadow(shadow);
    Select(chain, false);
    return result;
}

int Ssp2_Busy() {
    if (Board_GpioOut(4) & kSelect0) return 1;
    u32 b2 = Board_GpioOut(2);
    return (!(b2 & kSelect1) || !(b2 & kSelect2)) ? 1 : 0;
}

void Ssp2_Reset() { g = State{}; }
