#include "ladder/realmath.h"

template <bool kTok16>
bool LadderReal_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderReal_Exec<true>(u16, LadderVm&);
template bool LadderReal_Exec<false>(u16, LadderVm&);
