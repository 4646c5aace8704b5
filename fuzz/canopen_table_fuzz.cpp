// CANopen network tables as downloaded into memory area 23: any bytes. The
// check must never read outside the record, and once a table passes it,
// every section it names must be readable through the view within the
// record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "io/canopen_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so a read past the record is seen by the address
    // sanitizer.
    u8* rec = new u8[size ? size : 1];
    if (size) std::memcpy(rec, data, size);
    CoTable t(rec, static_cast<u32>(size));
    u64 sum = 0;
    for (bool iec : {false, true}) {
        CoTableCheck c = t.Check(iec);
        if (c != CoTableCheck::kValid) continue;
        if (size < kCoRecordBytes) std::abort();
        for (int r = 0; r < t.NodeCount(); ++r) {
            sum += t.RowU32(r, 8) + t.RowU16(r, 2) + t.RowU8(r, 0) + t.ConsumerEntry(r);
            u32 n = t.RowObjectCount(r);
            for (u32 k = 0; k < n && k < 4096; ++k) sum += t.RowObject(r, k).value;
            sum += t.SdoClient(r).clientToServer;
        }
        for (int k = 0; k < t.SdoServerCount(); ++k) sum += t.SdoServer(k).serverToClient;
    }
    delete[] rec;
    return sum == 0xFFFFFFFFFFFFFFFFull ? 1 : 0;
}
