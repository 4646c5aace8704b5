// Word tools of the controller's library that work on any elementary type:
// bit masks, logical shifts and rotations, modulo, absolute value, square
// root, selection and the range test. The call passes the IEC type code of
// its operands as a plain number in its first operand word; one dispatch by
// that code picks the template of the type's width and sign. Types a block
// does not compute on (REAL for the masks, TIME, STRING...) are copied from
// the first input; a type code that is no elementary type does nothing.
//
// Results that the processor would trap on or leave undefined are defined
// here: MOD of the most negative value by -1 is 0, a shift by the width or
// more gives 0 (for every count, also above 255), ABS of the most negative
// value stays as it is.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Ctl_AndMask(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_OrMask(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_XorMask(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_NotMask(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Shl(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Shr(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Rol(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Ror(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Mod(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Abs(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Sqrt(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Sel(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Lim(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlAnyMathRows[] = {
    {"AND_MASK", Q4Ctl_AndMask}, {"OR_MASK", Q4Ctl_OrMask}, {"XOR_MASK", Q4Ctl_XorMask},
    {"NOT_MASK", Q4Ctl_NotMask}, {"SHL", Q4Ctl_Shl},         {"SHR", Q4Ctl_Shr},
    {"ROL", Q4Ctl_Rol},          {"ROR", Q4Ctl_Ror},         {"MOD", Q4Ctl_Mod},
    {"ABS", Q4Ctl_Abs},          {"SQRT", Q4Ctl_Sqrt},       {"SEL", Q4Ctl_Sel},
    {"LIM", Q4Ctl_Lim},
};
