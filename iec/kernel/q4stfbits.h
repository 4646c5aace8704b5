// Standard functions of the bits, bytes, shifts and data blocks family, and
// the family's rows of the standard-function table.
//
// Masks, shifts and rotations come in four widths (32-bit words, 16-bit
// words, bytes, 64-bit words), each reading and writing its own table; the
// any-typed functions choose the table by the type code the compiler puts
// before their input. Block functions check every position and count,
// unsigned and without wrapping, against the declared element counts.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// Option bit: right shifts shift in zeros instead of copies of the top bit.
constexpr u32 kVmOptLogicalShift = 0x0200;

int Q4Stf_AndMask(u8* db, const u16* ops, u16 number);
int Q4Stf_OrMask(u8* db, const u16* ops, u16 number);
int Q4Stf_XorMask(u8* db, const u16* ops, u16 number);
int Q4Stf_NotMask(u8* db, const u16* ops, u16 number);
int Q4Stf_AndWord(u8* db, const u16* ops, u16 number);
int Q4Stf_OrWord(u8* db, const u16* ops, u16 number);
int Q4Stf_XorWord(u8* db, const u16* ops, u16 number);
int Q4Stf_NotWord(u8* db, const u16* ops, u16 number);
int Q4Stf_AndByte(u8* db, const u16* ops, u16 number);
int Q4Stf_OrByte(u8* db, const u16* ops, u16 number);
int Q4Stf_XorByte(u8* db, const u16* ops, u16 number);
int Q4Stf_NotByte(u8* db, const u16* ops, u16 number);
int Q4Stf_And64(u8* db, const u16* ops, u16 number);
int Q4Stf_Or64(u8* db, const u16* ops, u16 number);
int Q4Stf_Xor64(u8* db, const u16* ops, u16 number);
int Q4Stf_Not64(u8* db, const u16* ops, u16 number);
int Q4Stf_Rol(u8* db, const u16* ops, u16 number);
int Q4Stf_Ror(u8* db, const u16* ops, u16 number);
int Q4Stf_Shl(u8* db, const u16* ops, u16 number);
int Q4Stf_Shr(u8* db, const u16* ops, u16 number);
int Q4Stf_RolW(u8* db, const u16* ops, u16 number);
int Q4Stf_RorW(u8* db, const u16* ops, u16 number);
int Q4Stf_ShlW(u8* db, const u16* ops, u16 number);
int Q4Stf_ShrW(u8* db, const u16* ops, u16 number);
int Q4Stf_RolB(u8* db, const u16* ops, u16 number);
int Q4Stf_RorB(u8* db, const u16* ops, u16 number);
int Q4Stf_ShlB(u8* db, const u16* ops, u16 number);
int Q4Stf_ShrB(u8* db, const u16* ops, u16 number);
int Q4Stf_Rol64(u8* db, const u16* ops, u16 number);
int Q4Stf_Ror64(u8* db, const u16* ops, u16 number);
int Q4Stf_Shl64(u8* db, const u16* ops, u16 number);
int Q4Stf_Shr64(u8* db, const u16* ops, u16 number);
int Q4Stf_LoByte(u8* db, const u16* ops, u16 number);
int Q4Stf_HiByte(u8* db, const u16* ops, u16 number);
int Q4Stf_LoWord(u8* db, const u16* ops, u16 number);
int Q4Stf_HiWord(u8* db, const u16* ops, u16 number);
int Q4Stf_MakeWord(u8* db, const u16* ops, u16 number);
int Q4Stf_MakeDword(u8* db, const u16* ops, u16 number);
int Q4Stf_Pack8(u8* db, const u16* ops, u16 number);
int Q4Stf_BinToBcd(u8* db, const u16* ops, u16 number);
int Q4Stf_BcdToBin(u8* db, const u16* ops, u16 number);
int Q4Stf_CountOf(u8* db, const u16* ops, u16 number);
int Q4Stf_TestBit(u8* db, const u16* ops, u16 number);
int Q4Stf_SetBit(u8* db, const u16* ops, u16 number);
int Q4Stf_Swab(u8* db, const u16* ops, u16 number);
int Q4Stf_MoveBlock(u8* db, const u16* ops, u16 number);
int Q4Stf_MbShift(u8* db, const u16* ops, u16 number);
int Q4Stf_SerializeOut(u8* db, const u16* ops, u16 number);
int Q4Stf_SerializeIn(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfBitsRows[] = {
    {20, Q4Stf_AndMask},   {27, Q4Stf_NotMask},   {28, Q4Stf_OrMask},    {30, Q4Stf_Rol},       {31, Q4Stf_Ror},
    {33, Q4Stf_Shl},       {34, Q4Stf_Shr},       {35, Q4Stf_XorMask},   {78, Q4Stf_BinToBcd},  {79, Q4Stf_BcdToBin},
    {81, Q4Stf_RolW},      {82, Q4Stf_RorW},      {83, Q4Stf_ShlW},      {84, Q4Stf_ShrW},      {85, Q4Stf_RolB},
    {86, Q4Stf_RorB},      {87, Q4Stf_ShlB},      {88, Q4Stf_ShrB},      {95, Q4Stf_MoveBlock}, {96, Q4Stf_AndWord},
    {97, Q4Stf_OrWord},    {98, Q4Stf_XorWord},   {99, Q4Stf_NotWord},   {100, Q4Stf_AndByte},  {101, Q4Stf_OrByte},
    {102, Q4Stf_XorByte},  {103, Q4Stf_NotByte},  {104, Q4Stf_SerializeOut}, {105, Q4Stf_SerializeIn},
    {134, Q4Stf_MbShift},  {161, Q4Stf_CountOf},  {162, Q4Stf_LoByte},  {163, Q4Stf_HiByte},   {164, Q4Stf_LoWord},
    {165, Q4Stf_HiWord},   {166, Q4Stf_MakeWord}, {167, Q4Stf_MakeDword}, {168, Q4Stf_Pack8},   {169, Q4Stf_SetBit},
    {170, Q4Stf_TestBit},  {206, Q4Stf_Rol64},    {207, Q4Stf_Ror64},    {208, Q4Stf_Shl64},    {209, Q4Stf_Shr64},
    {210, Q4Stf_And64},    {211, Q4Stf_Or64},     {212, Q4Stf_Xor64},    {213, Q4Stf_Not64},    {219, Q4Stf_Swab},
};
