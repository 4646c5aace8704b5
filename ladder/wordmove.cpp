#include "ladder/wordmove.h"

template <bool kTok16>
bool LadderMove_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderMove_Exec<true>(u16, LadderVm&);
template bool LadderMove_Exec<false>(u16, LadderVm&);

void LadderMove_LayoutBlk(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}

void LadderMove_LayoutTbl(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}
