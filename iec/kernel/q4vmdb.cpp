#include "iec/kernel/q4vmdb.h"

u8* pDB = nullptr;

namespace {

u8* DescAt(u8* db, u32 area) { return db + area * kVmDbDescriptorBytes; }
const u8* DescAt(const u8* db, u32 area) { return db + area * kVmDbDescriptorBytes; }

u64 RoundUp8(u64 n) { return (n + 7) & ~u64{7}; }

}  // namespace

VmDbDesc Q4VM_GetDesc(const u8* db, u32 area) {
    const u8* d = DescAt(db, area);
    return VmDbDesc{GetLe32(d), GetLe32(d + 4), GetLe16(d + 8), GetLe16(d + 10), GetLe16(d + 12), GetLe16(d + 14)};
}

void Q4VM_PutDesc(u8* db, u32 area, const VmDbDesc& desc) {
    u8* d = DescAt(db, area);
    PutLe32(d, desc.offset);
    PutLe32(d + 4, desc.rawSize);
    PutLe16(d + 8, desc.elementSize);
    PutLe16(d + 10, desc.boundary);
    PutLe16(d + 12, desc.used);
    PutLe16(d + 14, desc.allocated);
}

u32 Q4VM_AreaBytes(const VmDbDesc& desc) {
    return desc.rawSize != 0 ? desc.rawSize : static_cast<u32>(desc.elementSize) * desc.allocated;
}

u32 Q4VM_GetTotalDBSize(const u8* descriptors) {
    u64 total = kVmDbDescriptorBlockBytes;
    for (u32 a = 0; a < kVmDbTableCount; ++a) total += RoundUp8(Q4VM_AreaBytes(Q4VM_GetDesc(descriptors, a)));
    return total > 0xFFFFFFFFu ? 0 : static_cast<u32>(total);
}

void Q4VM_BuildDBMainLinks(u8* db) {
    u32 at = kVmDbDescriptorBlockBytes;
    for (u32 a = 0; a < kVmDbTableCount; ++a) {
        VmDbDesc d = Q4VM_GetDesc(db, a);
        d.offset = at;
        Q4VM_PutDesc(db, a, d);
        at += static_cast<u32>(RoundUp8(Q4VM_AreaBytes(d)));
    }
}

u8* Q4VM_AreaPtr(u8* db, u32 area, u32* bytes) {
    if (db == nullptr || area >= kVmDbTableCount) return nullptr;
    VmDbDesc d = Q4VM_GetDesc(db, area);
    // The offsets are always recomputed from the sizes (Q4VM_BuildDBMainLinks)
    // before a database runs, so an area lies inside the block by construction.
    if (d.offset < kVmDbDescriptorBlockBytes) return nullptr;
    if (bytes) *bytes = Q4VM_AreaBytes(d);
    return db + d.offset;
}
