#include "ladder/pointer.h"

template <bool kTok16>
bool LadderPointer_Exec(u16 op, LadderVm& vm) {
    (void)op;
    (void)vm;
    return false;
}

template bool LadderPointer_Exec<true>(u16, LadderVm&);
template bool LadderPointer_Exec<false>(u16, LadderVm&);
