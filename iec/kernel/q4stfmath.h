// Standard functions of the arithmetic, mathematics and selection family, and
// the family's rows of the standard-function table.
//
// REAL functions either stay in single precision or widen to double, apply
// the double library function and round once when they store; LREAL ones
// work in double. Trigonometric functions follow the application's degree
// mode (status flag 0x0020). Domain errors give fixed replacement values;
// none of these functions stops the application.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// Status flag: trigonometric functions in degrees.
constexpr u16 kVmFlagDegrees = 0x0020;

// EXPT's value in double before its rounding to single: X to the integer
// power N as the literal repeated product or quotient gives it, clamped to
// +-1e307 / +-1e-307, computed in at most a few hundred steps whatever N.
double Q4StfMath_ExptValue(double x, i32 n);

int Q4Stf_Abs(u8* db, const u16* ops, u16 number);
int Q4Stf_AbsL(u8* db, const u16* ops, u16 number);
int Q4Stf_Max(u8* db, const u16* ops, u16 number);
int Q4Stf_Min(u8* db, const u16* ops, u16 number);
int Q4Stf_Limit(u8* db, const u16* ops, u16 number);
int Q4Stf_Mod(u8* db, const u16* ops, u16 number);
int Q4Stf_Odd(u8* db, const u16* ops, u16 number);
int Q4Stf_Sel(u8* db, const u16* ops, u16 number);
int Q4Stf_Mux4(u8* db, const u16* ops, u16 number);
int Q4Stf_Mux8(u8* db, const u16* ops, u16 number);
int Q4Stf_Rand(u8* db, const u16* ops, u16 number);
int Q4Stf_ScaleLin(u8* db, const u16* ops, u16 number);
int Q4Stf_Expt(u8* db, const u16* ops, u16 number);
int Q4Stf_Pow(u8* db, const u16* ops, u16 number);
int Q4Stf_PowL(u8* db, const u16* ops, u16 number);
int Q4Stf_Sqrt(u8* db, const u16* ops, u16 number);
int Q4Stf_SqrtL(u8* db, const u16* ops, u16 number);
int Q4Stf_Ln(u8* db, const u16* ops, u16 number);
int Q4Stf_LnL(u8* db, const u16* ops, u16 number);
int Q4Stf_Log(u8* db, const u16* ops, u16 number);
int Q4Stf_LogL(u8* db, const u16* ops, u16 number);
int Q4Stf_Exp(u8* db, const u16* ops, u16 number);
int Q4Stf_ExpL(u8* db, const u16* ops, u16 number);
int Q4Stf_Trunc(u8* db, const u16* ops, u16 number);
int Q4Stf_TruncL(u8* db, const u16* ops, u16 number);
int Q4Stf_ModR(u8* db, const u16* ops, u16 number);
int Q4Stf_ModLR(u8* db, const u16* ops, u16 number);
int Q4Stf_UseDegrees(u8* db, const u16* ops, u16 number);
int Q4Stf_Sin(u8* db, const u16* ops, u16 number);
int Q4Stf_Cos(u8* db, const u16* ops, u16 number);
int Q4Stf_Tan(u8* db, const u16* ops, u16 number);
int Q4Stf_Asin(u8* db, const u16* ops, u16 number);
int Q4Stf_Acos(u8* db, const u16* ops, u16 number);
int Q4Stf_Atan(u8* db, const u16* ops, u16 number);
int Q4Stf_Atan2(u8* db, const u16* ops, u16 number);
int Q4Stf_SinL(u8* db, const u16* ops, u16 number);
int Q4Stf_CosL(u8* db, const u16* ops, u16 number);
int Q4Stf_TanL(u8* db, const u16* ops, u16 number);
int Q4Stf_AsinL(u8* db, const u16* ops, u16 number);
int Q4Stf_AcosL(u8* db, const u16* ops, u16 number);
int Q4Stf_AtanL(u8* db, const u16* ops, u16 number);
int Q4Stf_Atan2L(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfMathRows[] = {
    {1, Q4Stf_Abs},        {2, Q4Stf_Acos},     {3, Q4Stf_Asin},     {4, Q4Stf_Atan},      {5, Q4Stf_Cos},
    {6, Q4Stf_Expt},       {7, Q4Stf_Log},      {8, Q4Stf_Sin},      {9, Q4Stf_Sqrt},      {10, Q4Stf_Tan},
    {11, Q4Stf_Trunc},     {12, Q4Stf_Pow},     {21, Q4Stf_Limit},   {22, Q4Stf_Max},      {23, Q4Stf_Min},
    {24, Q4Stf_Mod},       {25, Q4Stf_Mux4},    {26, Q4Stf_Mux8},    {29, Q4Stf_Rand},     {32, Q4Stf_Sel},
    {36, Q4Stf_Odd},       {91, Q4Stf_UseDegrees}, {92, Q4Stf_Atan2}, {106, Q4Stf_CosL},   {107, Q4Stf_SinL},
    {108, Q4Stf_TanL},     {109, Q4Stf_AcosL},  {110, Q4Stf_AsinL},  {111, Q4Stf_AtanL},   {112, Q4Stf_Atan2L},
    {114, Q4Stf_PowL},     {115, Q4Stf_SqrtL},  {116, Q4Stf_AbsL},   {117, Q4Stf_TruncL},  {132, Q4Stf_ModR},
    {133, Q4Stf_ModLR},    {157, Q4Stf_ScaleLin}, {200, Q4Stf_Ln},   {201, Q4Stf_Exp},     {202, Q4Stf_LnL},
    {203, Q4Stf_ExpL},     {204, Q4Stf_LogL},
};
