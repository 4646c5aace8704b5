// The CANopen network table (memory area 23), read through one view that
// checks every section against the bytes that were downloaded.
//
// The block holds one network record (fixed part of kCoRecordBytes, all
// fields little-endian) whose offset fields point at the node rows, the
// heartbeat consumer entries, the SDO entries and the PDO sections further
// in the same block. A table is taken only when every section it names lies
// wholly inside the record and every count is within its limit; otherwise
// the node reports the table invalid and stays silent.
#pragma once

#include "platform/bytes.h"

constexpr u32 kCoRecordBytes = 116;
constexpr u32 kCoNodeRowBytes = 56;
constexpr u32 kCoConfigObjectBytes = 8;
constexpr u32 kCoConsumerBytes = 4;
constexpr u32 kCoSdoEntryBytes = 12;
constexpr int kCoMaxNodes = 127;
constexpr int kCoMaxSdoServers = 127;  // besides the default server
constexpr int kCoMaxPdos = 63;
constexpr int kCoMaxPdoObjects = 64;

// Fixed-part field offsets.
enum CoField : u32 {
    kCoBitRate = 0,
    kCoNodeId = 1,
    kCoTimeEnable = 2,
    kCoSyncCobId = 4,
    kCoSyncPeriod = 8,
    kCoSyncWindow = 12,
    kCoGuardTime = 16,
    kCoLifeFactor = 18,
    kCoNodeCount = 19,
    kCoNodeTable = 20,
    kCoEmcyCobId = 24,
    kCoEmcyInhibit = 28,
    kCoHeartbeat = 30,
    kCoSdoServerCount = 33,
    kCoStartupFlags = 35,
    kCoStartRegister = 36,
    kCoSdoServers = 40,
    kCoSdoClients = 44,
    kCoTpdoCount = 48,
    kCoRpdoCount = 50,
    kCoTpdoObjectCounts = 52,
    kCoRpdoObjectCounts = 56,
    kCoTpdoCobIds = 60,
    kCoRpdoCobIds = 64,
    kCoTpdoComm = 68,
    kCoRpdoComm = 72,
    kCoTpdoMap = 76,
    kCoRpdoMap = 80,
    kCoStatusRegister = 84,
    kCoAppSwDate = 88,
    kCoAppSwTime = 92,
    kCoConfigDate = 96,
    kCoConfigTime = 100,
    kCoTimeCobId = 104,
    kCoPdoMapRegister = 108,
    kCoPdoMapEnable = 112,
};

// COB-ID flag bits (PDOs, SYNC, TIME, EMCY).
constexpr u32 kCoCobIdMask = 0x1FFFFFFF, kCoCobId29Bit = 0x20000000, kCoCobIdBit30 = 0x40000000,
              kCoCobIdBit31 = 0x80000000;

// NMT start-up flags.
constexpr u8 kCoStartMaster = 0x01, kCoStartAllAtOnce = 0x02, kCoStartOnBit = 0x04, kCoStartLeftToApp = 0x08,
             kCoStartResetOnFail = 0x10, kCoStartStopOnFail = 0x40, kCoStartConsumeHeartbeat = 0x80;

// Node row flags (row byte 0).
constexpr u8 kCoRowSlave = 0x01, kCoRowRetry = 0x04, kCoRowMandatory = 0x08, kCoRowKeepAlive = 0x10,
             kCoRowCheckSoftware = 0x20;

struct CoConfigObject {
    u16 index = 0;
    u8 subindex = 0;
    u8 attribute = 0;  // bit 7: skip; low bits: data size
    u32 value = 0;
};

struct CoSdoEntry {
    u32 clientToServer = 0;  // 29-bit COB-IDs
    u32 serverToClient = 0;
};

enum class CoTableCheck {
    kValid,    // node id 1-127 and every section inside the record
    kDefault,  // node id not 1-127: the built-in default record applies
    kInvalid,  // a section or count out of bounds, an unknown bit rate, a bad PDO identifier
};

// The view. Accessors answer zeros for anything out of range, so a caller
// that forgot a check still reads nothing outside the record.
class CoTable {
public:
    CoTable() = default;
    CoTable(const u8* record, u32 size) : p_(record), size_(record ? size : 0) {}

    // Checks the whole table. The IEC layouts of the PDO sections (12-byte
    // TPDO parameters, 8-byte mapping entries) apply when iecLayout is set.
    CoTableCheck Check(bool iecLayout) const;

    u32 Size() const { return size_; }
    u8 U8(u32 off) const { return off < size_ ? p_[off] : 0; }
    u16 U16(u32 off) const { return Has(off, 2) ? GetLe16(p_ + off) : 0; }
    u32 U32(u32 off) const { return Has(off, 4) ? GetLe32(p_ + off) : 0; }

    // Node count byte: 128 and above count as none.
    int NodeCount() const;
    // Byte 0 of the node row, and other row fields, by row offset.
    u32 RowOffset(int row) const { return U32(kCoNodeTable) + static_cast<u32>(row) * kCoNodeRowBytes; }
    u8 RowU8(int row, u32 field) const { return InRows(row) ? U8(RowOffset(row) + field) : 0; }
    u16 RowU16(int row, u32 field) const { return InRows(row) ? U16(RowOffset(row) + field) : 0; }
    u32 RowU32(int row, u32 field) const { return InRows(row) ? U32(RowOffset(row) + field) : 0; }
    u32 RowObjectCount(int row) const { return RowU32(row, 48); }
    CoConfigObject RowObject(int row, u32 k) const;
    // Slave heartbeat consumer entry (object 0x1016 format).
    u32 ConsumerEntry(int k) const;
    int SdoServerCount() const;  // 0 when bit 7 of the count byte is set
    CoSdoEntry SdoServer(int k) const { return Sdo(U32(kCoSdoServers), k, SdoServerCount()); }
    CoSdoEntry SdoClient(int row) const { return Sdo(U32(kCoSdoClients), row, NodeCount()); }

    // PDO sections (tx: TPDOs, else RPDOs); zeros outside the record.
    int PdoCount(bool tx) const;
    u8 PdoObjects(bool tx, int k) const;
    u32 PdoCobId(bool tx, int k) const;
    // Record offset of PDO k's communication parameters.
    u32 PdoCommOffset(bool tx, int k, bool iecLayout) const;
    // Mapping word and IEC reference of entry e of all PDOs of one kind.
    u32 PdoMapWord(bool tx, u32 e, bool iecLayout) const;
    u32 PdoMapRef(bool tx, u32 e, bool iecLayout) const;

private:
    bool Has(u32 off, u32 n) const { return off <= size_ && n <= size_ - off; }
    bool HasArray(u32 off, u64 count, u32 each) const {
        return count == 0 || (off <= size_ && count * each <= size_ - off);
    }
    bool InRows(int row) const { return row >= 0 && row < NodeCount(); }
    CoSdoEntry Sdo(u32 base, int k, int count) const;
    bool CheckPdos(u32 countField, u32 objField, u32 cobField, u32 commField, u32 mapField, u32 commBytes,
                   u32 mapBytes) const;

    const u8* p_ = nullptr;
    u32 size_ = 0;
};
