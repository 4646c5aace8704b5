// A VM database sized and built by the runtime's own sizing and build
// (Q4VM_GetDBSize, Q4VM_BuildEx) for a code image, for tests of everything
// that runs on a built database.
#pragma once

#include <vector>

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

class IecVmDb {
public:
    explicit IecVmDb(std::vector<u8> code);
    ~IecVmDb();
    IecVmDb(const IecVmDb&) = delete;
    IecVmDb& operator=(const IecVmDb&) = delete;

    // 0, or the sizing (1) or build error.
    int Result() const { return result_; }
    u8* Db() { return reinterpret_cast<u8*>(store_.data()); }
    u32 Size() const { return size_; }
    const Q4Code& Code() const { return view_; }

    // Addresses of variables (null outside the tables).
    u8* Data8(u16 index);
    u8* Data16(u16 index);
    u8* Data32(u16 index);
    u8* Data64(u16 index);
    u8* Time(u16 index);
    u8* String(u16 index);
    u8* Lock(u16 index);
    u8* Status();

private:
    std::vector<u8> code_;
    Q4Code view_;
    std::vector<u64> store_;
    u32 size_ = 0;
    int result_ = 0;
};

// The six register binding synchronisations in the scan's order (system
// words and bits, inputs, outputs), as one scan runs them.
void IecSyncAllBindings();
