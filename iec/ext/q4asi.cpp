#include "iec/ext/q4asi.h"

#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"

void* Q4Asi_Context(u8* db) {
    if (!db || !Q4VMCode_AsiConfig(Q4VM_CodeOf(db))) return nullptr;
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbAsi, &bytes);
    return area && bytes ? area : nullptr;
}

int Q4Asi_StorePI(void*, u16) { return 0; }
int Q4Asi_ReadPI(void*, u16, u16) { return 0; }
int Q4Asi_SendParameter(void*, u16, u16, u8) { return 0; }
int Q4Asi_WritePP(void*, u16, u16, u8) { return 0; }
int Q4Asi_ReadPP(void*, u16, u16) { return 0; }
