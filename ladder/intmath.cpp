#include "ladder/intmath.h"

template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderIntMath_Exec<true>(u16, LadderVm&);
template bool LadderIntMath_Exec<false>(u16, LadderVm&);

void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)code;
    (void)avail;
    (void)tok16;
    out.Fail(LLayoutStatus::kStops);
    out.words = 1;
}
