// Standard functions of the variable status, recipes, dynamic arrays and
// device services family, and the family's rows of the standard-function
// table.
//
// A variable of any type comes as two operands, its type code and its index;
// the variable map finds its entry (and VSI record) from the two. Variable
// handles are map entry numbers + 1. Recipes and signals are read from the
// code image through its checked view: an entry of a recipe that names a
// place outside the image, its variable's table or the CT segment is
// skipped, never followed. Dynamic arrays live in the resource list until
// the application stops.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// Applies column col of recipe rcp (both from 0) to its variables; false
// when the image has no such recipe or column. Entries that cannot be
// followed safely, and locked plain variables, are skipped.
bool Q4StfVar_ApplyRecipe(u8* db, u32 rcp, u32 col);

int Q4Stf_VsiStamp(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiStampGmt(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiSetTime(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiGetTime(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiSetDate(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiGetDate(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiSetBit(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiGetBit(u8* db, const u16* ops, u16 number);
int Q4Stf_VsiCopy(u8* db, const u16* ops, u16 number);
int Q4Stf_GetVarByName(u8* db, const u16* ops, u16 number);
int Q4Stf_GetVarByAddr(u8* db, const u16* ops, u16 number);
int Q4Stf_GetVarSymbol(u8* db, const u16* ops, u16 number);
int Q4Stf_GetVarProfile(u8* db, const u16* ops, u16 number);
int Q4Stf_GetVarTypeName(u8* db, const u16* ops, u16 number);
int Q4Stf_RcpApply(u8* db, const u16* ops, u16 number);
int Q4Stf_SigScale(u8* db, const u16* ops, u16 number);
int Q4Stf_FLoadRetain(u8* db, const u16* ops, u16 number);
int Q4Stf_FSaveRetain(u8* db, const u16* ops, u16 number);
int Q4Stf_ArCreate(u8* db, const u16* ops, u16 number);
int Q4Stf_ArWrite(u8* db, const u16* ops, u16 number);
int Q4Stf_ArRead(u8* db, const u16* ops, u16 number);
int Q4Stf_MbSlaveIdent(u8* db, const u16* ops, u16 number);
int Q4Stf_CanSnd(u8* db, const u16* ops, u16 number);
int Q4Stf_AsiStorePI(u8* db, const u16* ops, u16 number);
int Q4Stf_AsiReadPI(u8* db, const u16* ops, u16 number);
int Q4Stf_AsiSendPar(u8* db, const u16* ops, u16 number);
int Q4Stf_AsiWritePP(u8* db, const u16* ops, u16 number);
int Q4Stf_AsiReadPP(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfVarRows[] = {
    {13, Q4Stf_VsiStampGmt},   {60, Q4Stf_ArCreate},       {61, Q4Stf_ArRead},         {62, Q4Stf_ArWrite},
    {127, Q4Stf_AsiReadPP},    {128, Q4Stf_AsiWritePP},    {129, Q4Stf_AsiSendPar},    {130, Q4Stf_AsiReadPI},
    {131, Q4Stf_AsiStorePI},   {143, Q4Stf_GetVarByName},  {144, Q4Stf_GetVarByAddr},  {145, Q4Stf_GetVarSymbol},
    {146, Q4Stf_GetVarProfile}, {147, Q4Stf_GetVarTypeName}, {158, Q4Stf_RcpApply},    {177, Q4Stf_SigScale},
    {187, Q4Stf_VsiGetBit},    {188, Q4Stf_VsiSetBit},     {189, Q4Stf_VsiGetDate},    {190, Q4Stf_VsiSetDate},
    {191, Q4Stf_VsiGetTime},   {192, Q4Stf_VsiSetTime},    {193, Q4Stf_VsiStamp},      {199, Q4Stf_CanSnd},
    {216, Q4Stf_FSaveRetain},  {217, Q4Stf_FLoadRetain},   {218, Q4Stf_MbSlaveIdent},  {220, Q4Stf_VsiCopy},
};
