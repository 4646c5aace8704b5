#include "ladder/textops.h"

template <bool kTok16>
bool LadderText_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderText_Exec<true>(u16, LadderVm&);
template bool LadderText_Exec<false>(u16, LadderVm&);

void LadderText_LayoutTextLit(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}

void LadderText_LayoutFormat(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}
