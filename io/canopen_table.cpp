#include "io/canopen_table.h"

int CoTable::NodeCount() const {
    u8 n = U8(kCoNodeCount);
    return n > kCoMaxNodes ? 0 : n;
}

int CoTable::SdoServerCount() const {
    u8 n = U8(kCoSdoServerCount);
    return (n & 0x80) ? 0 : n;
}

CoConfigObject CoTable::RowObject(int row, u32 k) const {
    CoConfigObject o;
    if (!InRows(row) || k >= RowObjectCount(row)) return o;
    u64 off = static_cast<u64>(RowU32(row, 52)) + static_cast<u64>(k) * kCoConfigObjectBytes;
    if (off > size_ || !Has(static_cast<u32>(off), kCoConfigObjectBytes)) return o;
    const u8* q = p_ + off;
    o.index = GetLe16(q);
    o.subindex = q[2];
    o.attribute = q[3];
    o.value = GetLe32(q + 4);
    return o;
}

u32 CoTable::ConsumerEntry(int k) const {
    if (k < 0 || k >= NodeCount()) return 0;
    return U32(U32(kCoNodeTable) + static_cast<u32>(k) * kCoConsumerBytes);
}

CoSdoEntry CoTable::Sdo(u32 base, int k, int count) const {
    CoSdoEntry e;
    if (k < 0 || k >= count) return e;
    u64 off = static_cast<u64>(base) + static_cast<u64>(k) * kCoSdoEntryBytes;
    if (off > size_ || !Has(static_cast<u32>(off), kCoSdoEntryBytes)) return e;
    e.clientToServer = GetLe32(p_ + off) & 0x1FFFFFFF;
    e.serverToClient = GetLe32(p_ + off + 4) & 0x1FFFFFFF;
    return e;
}

bool CoTable::CheckPdos(u32 countField, u32 objField, u32 cobField, u32 commField, u32 mapField, u32 commBytes,
                        u32 mapBytes) const {
    u16 count = U16(countField);
    if (count > kCoMaxPdos) return false;
    if (!HasArray(U32(objField), count, 1) || !HasArray(U32(cobField), count, 4) ||
        !HasArray(U32(commField), count, commBytes)) {
        return false;
    }
    u64 entries = 0;
    for (u16 k = 0; k < count; ++k) {
        u8 n = U8(U32(objField) + k);
        if (n > kCoMaxPdoObjects) return false;
        entries += n;
        // An 11-bit identifier must be 1-0x7FF.
        u32 cob = U32(U32(cobField) + 4u * k);
        if (!(cob & kCoCobId29Bit) && ((cob & 0x1FFFFFFF) == 0 || (cob & 0x1FFFFFFF) > 0x7FF)) return false;
    }
    return HasArray(U32(mapField), entries, mapBytes);
}

CoTableCheck CoTable::Check(bool iecLayout) const {
    // No table (nothing downloaded) reads as node id 0: the default record.
    u8 node = U8(kCoNodeId);
    if (node < 1 || node > kCoMaxNodes) return CoTableCheck::kDefault;
    if (size_ < kCoRecordBytes) return CoTableCheck::kInvalid;
    if (U8(kCoBitRate) > 4) return CoTableCheck::kInvalid;
    const bool master = U8(kCoStartupFlags) & kCoStartMaster;
    const int nodes = NodeCount();
    if (master) {
        if (!HasArray(U32(kCoNodeTable), static_cast<u64>(nodes), kCoNodeRowBytes)) return CoTableCheck::kInvalid;
        for (int r = 0; r < nodes; ++r) {
            if (!HasArray(RowU32(r, 52), RowObjectCount(r), kCoConfigObjectBytes)) return CoTableCheck::kInvalid;
        }
        if (!HasArray(U32(kCoSdoClients), static_cast<u64>(nodes), kCoSdoEntryBytes)) return CoTableCheck::kInvalid;
    } else if (!HasArray(U32(kCoNodeTable), static_cast<u64>(nodes), kCoConsumerBytes)) {
        return CoTableCheck::kInvalid;
    }
    if (SdoServerCount() > kCoMaxSdoServers ||
        !HasArray(U32(kCoSdoServers), static_cast<u64>(SdoServerCount()), kCoSdoEntryBytes)) {
        return CoTableCheck::kInvalid;
    }
    const u32 tpdoComm = iecLayout ? 12 : 8, mapBytes = iecLayout ? 8 : 4;
    if (!CheckPdos(kCoTpdoCount, kCoTpdoObjectCounts, kCoTpdoCobIds, kCoTpdoComm, kCoTpdoMap, tpdoComm, mapBytes) ||
        !CheckPdos(kCoRpdoCount, kCoRpdoObjectCounts, kCoRpdoCobIds, kCoRpdoComm, kCoRpdoMap, 8, mapBytes)) {
        return CoTableCheck::kInvalid;
    }
    return CoTableCheck::kValid;
}

int CoTable::PdoCount(bool tx) const {
    u16 n = U16(tx ? kCoTpdoCount : kCoRpdoCount);
    return n > kCoMaxPdos ? 0 : n;
}

u8 CoTable::PdoObjects(bool tx, int k) const {
    if (k < 0 || k >= PdoCount(tx)) return 0;
    return U8(U32(tx ? kCoTpdoObjectCounts : kCoRpdoObjectCounts) + static_cast<u32>(k));
}

u32 CoTable::PdoCobId(bool tx, int k) const {
    if (k < 0 || k >= PdoCount(tx)) return 0;
    return U32(U32(tx ? kCoTpdoCobIds : kCoRpdoCobIds) + 4u * static_cast<u32>(k));
}

u32 CoTable::PdoCommOffset(bool tx, int k, bool iecLayout) const {
    const u32 each = tx && iecLayout ? 12 : 8;
    // Past the record for a PDO that does not exist: the accessors read 0.
    if (k < 0 || k >= PdoCount(tx)) return 0xFFFFFFFFu;
    return U32(tx ? kCoTpdoComm : kCoRpdoComm) + each * static_cast<u32>(k);
}

u32 CoTable::PdoMapWord(bool tx, u32 e, bool iecLayout) const {
    return U32(U32(tx ? kCoTpdoMap : kCoRpdoMap) + (iecLayout ? 8u : 4u) * e);
}

u32 CoTable::PdoMapRef(bool tx, u32 e, bool iecLayout) const {
    return iecLayout ? U32(U32(tx ? kCoTpdoMap : kCoRpdoMap) + 8u * e + 4u) : 0;
}
