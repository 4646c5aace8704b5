#include "iec/kernel/q4vmstd.h"

#include <span>

#include "iec/kernel/q4stfbits.h"
#include "iec/kernel/q4stfdate.h"
#include "iec/kernel/q4stffile.h"
#include "iec/kernel/q4stfmath.h"
#include "iec/kernel/q4stfstr.h"
#include "iec/kernel/q4stfvar.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"

namespace {

// Each family declares its rows in its own module; the table is put
// together from them here, at compile time.
constexpr std::span<const Q4StfRow> kFamilies[] = {
    kQ4StfMathRows,
    kQ4StfBitsRows,
    kQ4StfStrRows,
    kQ4StfDateRows,
    kQ4StfFileRows,
    kQ4StfVarRows,
};

// Slots that the format leaves empty; no family may claim one.
constexpr bool EmptyByTheFormat(u16 n) {
    return n == 0 || (n >= 37 && n <= 39) || (n >= 50 && n <= 59) || (n >= 64 && n <= 69) || n == 221;
}

// True when every row names a slot inside the table, outside the slots left
// empty by the format, and no slot is claimed twice.
constexpr bool RowsValid() {
    std::array<bool, kQ4StfSlots> taken{};
    for (std::span<const Q4StfRow> f : kFamilies)
        for (const Q4StfRow& r : f) {
            if (r.slot >= kQ4StfSlots || EmptyByTheFormat(r.slot) || taken[r.slot])
                return false;
            taken[r.slot] = true;
        }
    return true;
}
static_assert(RowsValid(), "standard-function rows overlap or name a slot the format leaves empty");

// Every slot the format does not leave empty has its family's handler.
constexpr bool AllSlotsFilled() {
    std::array<bool, kQ4StfSlots> taken{};
    for (std::span<const Q4StfRow> f : kFamilies)
        for (const Q4StfRow& r : f) taken[r.slot] = true;
    for (u16 n = 0; n < kQ4StfSlots; ++n)
        if (!EmptyByTheFormat(n) && !taken[n]) return false;
    return true;
}
static_assert(AllSlotsFilled(), "a standard-function slot has no handler");

// Slots 0, 37-39, 50-59, 64-69 and 221 are empty by the format: a call of one
// answers as an unknown function.
constexpr std::array<Q4StfHandler, kQ4StfSlots> MakeTable() {
    std::array<Q4StfHandler, kQ4StfSlots> t{};
    for (std::span<const Q4StfRow> f : kFamilies)
        for (const Q4StfRow& r : f) t[r.slot] = r.handler;
    return t;
}

}  // namespace

const std::array<Q4StfHandler, kQ4StfSlots> _STFS = MakeTable();

std::span<const std::span<const Q4StfRow>> Q4VMStf_Families() { return kFamilies; }
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
