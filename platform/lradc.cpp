#include "platform/lradc.h"

#include "platform/board.h"
#include "platform/gpio.h"
#include "platform/iomodules.h"

namespace {

constexpr u32 kCtrl0 = 0x00, kResult0 = 0x50;
constexpr u32 kMuxShift = 9, kMuxMask = 7u << kMuxShift;
// A conversion takes a few microseconds; a converter that never clears its
// start bit must not hold the scan.
constexpr int kWaitPolls = 10000;

}  // namespace

void Lradc_SelectMux(int channel) {
    IoModules_AttachBoard();
    u32 bits = (static_cast<u32>(channel) & 7u) << kMuxShift;
    Board_GpioOutClear(4, kMuxMask & ~bits);
    Board_GpioOutSet(4, bits);
}

int Lradc_Convert(u16* result) {
    IoModules_AttachBoard();
    *result = 0;
    Board_RegWrite(kSocLradcBase + kCtrl0 + kRegSet, 1);
    int polls = 0;
    while (Board_RegRead(kSocLradcBase + kCtrl0) & 1) {
        if (++polls >= kWaitPolls) return 1;
    }
    u32 v = 0;
    for (int i = 0; i < 10; ++i) v = Board_RegRead(kSocLradcBase + kResult0);
    *result = static_cast<u16>(v & 0xFFF);
    return 0;
}
