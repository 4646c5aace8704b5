#include "testsupport/iecvm_db.h"

#include <cstring>

#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"

IecVmDb::IecVmDb(std::vector<u8> code) : code_(std::move(code)) {
    view_ = Q4Code{code_.data(), static_cast<u32>(code_.size())};
    u8 desc[kVmDbDescriptorBlockBytes] = {};
    result_ = Q4VM_GetDBSize(view_, desc);
    size_ = result_ ? kVmDbDescriptorBlockBytes : Q4VM_GetTotalDBSize(desc);
    store_.assign((size_ + 7) / 8, 0);
    if (result_) return;
    std::memcpy(Db(), desc, sizeof desc);
    Q4VM_BuildDBMainLinks(Db());
    result_ = Q4VM_Build(view_, Db());
}

IecVmDb::~IecVmDb() { Q4VM_Forget(Db()); }

u8* IecVmDb::Data8(u16 i) { return Q4Tools_Element(Db(), kDbData8, i); }
u8* IecVmDb::Data16(u16 i) { return Q4Tools_Element(Db(), kDbData16, i); }
u8* IecVmDb::Data32(u16 i) { return Q4Tools_Element(Db(), kDbData32, i); }
u8* IecVmDb::Data64(u16 i) { return Q4Tools_Element(Db(), kDbData64, i); }
u8* IecVmDb::Time(u16 i) { return Q4Tools_Element(Db(), kDbTime, i); }
u8* IecVmDb::String(u16 i) { return Q4Tools_String(Db(), i); }
u8* IecVmDb::Lock(u16 i) { return Q4Tools_Element(Db(), kDbLockFlags, i); }
u8* IecVmDb::Status() { return Q4VM_Status(Db()); }

void IecSyncAllBindings() {
    QuilletUpdateWordSRRegs();
    QuilletUpdateBitSysRegs();
    QuilletUpdateBitInputRegs();
    QuilletUpdateWordInputRegs();
    QuilletUpdateBitOutputRegs();
    QuilletUpdateWordOutputRegs();
}
