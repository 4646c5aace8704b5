// Indexed access through index registers, byte pointers into the register memory and the bit array.
//
// Index register: a u16 register selecting element i (1-based) of a run of
// registers; index 0 is never valid. Indexed stores go through PlcReg_Set,
// so the system-register limits apply and a refused write makes the rung
// FALSE.
//
// Pointer: a u32 in a register pair (low word first), a byte offset into
// the register memory. Loads and stores through it work byte by byte,
// little-endian, at any alignment.
//
// Everything computed at run time (base + index, pointer + offset, counts,
// the bit array's locations and length) is checked against the register
// memory as a whole access: a load outside pushes 0 (as many entries as it
// would have pushed) and makes the rung FALSE; a store, move or fill outside
// writes nothing and makes the rung FALSE; a coil outside writes nothing.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderPointer_Exec(u16 op, LadderVm& vm);

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kPointerOps[] = {
    Op(340, "CONTX", E::kPointer, F::kNext, 0, 1, {O::kLit, O::kShortWord}),
    Op(341, "OUTX", E::kPointer, F::kNext, 1, -1, {O::kLit, O::kShortWord}),
    Wd(342, 342, "LDBX", E::kPointer, 0, 1, {O::kByte, O::kShortWord}),
    Wd(343, 343, "STBX", E::kPointer, 1, -1, {O::kByte, O::kShortWord}),
    Wd(344, 344, "LDWX", E::kPointer, 0, 1, {O::kWord, O::kShortWord}),
    Wd(345, 345, "STWX", E::kPointer, 1, -1, {O::kWord, O::kShortWord}),
    Wd(346, 346, "LDDX", E::kPointer, 0, 2, {O::kWord, O::kShortWord}),
    Wd(347, 347, "STDX", E::kPointer, 2, -2, {O::kWord, O::kShortWord}),
    Wd(350, 350, "PTRADDR", E::kPointer, 0, 0, {O::kWord, O::kByte, O::kLit}, 2),
    Wd(351, 351, "LDBP", E::kPointer, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(352, 352, "LDWP", E::kPointer, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(353, 353, "LDDP", E::kPointer, 0, 2, {O::kWord, O::kLit}, 2),
    Op(354, "CONTP", E::kPointer, F::kNext, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(355, 355, "STBP", E::kPointer, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(356, 356, "STWP", E::kPointer, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(357, 357, "STDP", E::kPointer, 2, -2, {O::kWord, O::kLit}, 2),
    Op(358, "OUTP", E::kPointer, F::kNext, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(359, 359, "PTRADDRX", E::kPointer, 0, 0, {O::kWord, O::kByte, O::kShortWord}, 2),
    Wd(384, 384, "BITARR", E::kPointer, 0, 0, {O::kRecord7}),
    Wd(505, 505, "PMOVW", E::kPointer, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Wd(506, 506, "PFILLP", E::kPointer, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Wd(507, 507, "PFILLK", E::kPointer, 0, 0, {O::kWord, O::kLit, O::kLit}, 2),
    Wd(508, 508, "PMOVD", E::kPointer, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(509, 509, "PMOVKD", E::kPointer, 0, 0, {O::kWord, O::kLit2}, 2),
};
}  // namespace lrow
