#include "ladder/panel.h"

#include "core/plc_regs.h"

namespace {

u16 old_change_screen = 0;
// Per scan: the forced screen (0xFFFF none) and the switch-screen number.
u16 forcedScreen = 0xFFFF;
u16 switchScreen = 0;

}  // namespace

void LadderPanel_ScanStart() {
    forcedScreen = 0xFFFF;
    switchScreen = 0;
}

void LadderPanel_End() {
    SR_Put(2, static_cast<u16>(forcedScreen + 1));
    if (switchScreen != old_change_screen) {
        old_change_screen = switchScreen;
        if (switchScreen != 0) SR_Put(1, switchScreen);
    }
}

void LadderPanel_Reset() {
    old_change_screen = 0;
    forcedScreen = 0xFFFF;
    switchScreen = 0;
}

template <bool kTok16>
bool LadderPanel_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderPanel_Exec<true>(u16, LadderVm&);
template bool LadderPanel_Exec<false>(u16, LadderVm&);

void LadderPanel_LayoutAlarm(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}

void LadderPanel_LayoutTalkIec(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}
