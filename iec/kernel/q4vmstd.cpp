#include "iec/kernel/q4vmstd.h"

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"

namespace {

// Slots 0, 37-39, 50-59, 64-69 and 221 are empty by the format; every other
// slot gets its handler as its family is built (arithmetic and mathematics,
// bits and shifts, strings, date and time and application control, files and
// sockets, variable status and devices). Until then a call of it answers as
// an unknown function.
constexpr std::array<Q4StfHandler, kQ4StfSlots> MakeTable() {
    std::array<Q4StfHandler, kQ4StfSlots> t{};
    return t;
}

}  // namespace

const std::array<Q4StfHandler, kQ4StfSlots> _STFS = MakeTable();

int Q4VMStf_Execute(u8* db, const u16* call) {
    if (!call) return 0;
    u16 number = call[0];
    Q4StfHandler h = number < kQ4StfSlots ? _STFS[number] : nullptr;
    if (h) {
        int r = h(db, call + 2, number);
        if (r) return r;
        if (number == kQ4StfFatalStop) return 0;
    }
    Q4VMLog_Push(db, kLogStdFunction, number, 0);
    return 0;
}

int Q4VMStf_CanStore(u8* db, u8 lockBit, u16 index) {
    u8* l = Q4Tools_Element(db, kDbLockFlags, index);
    return !(l && (*l & lockBit));
}
