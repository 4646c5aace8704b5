// Feeds random register location tables to the binding build and one round
// of the six synchronisations against a database with variables of every
// class and a structure segment: whatever the tokens, only the database's
// variables and the register memory may be written, and the database's
// descriptors stay as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

IecVmDb& Db() {
    static IecVmDb db([] {
        IecImageBuilder b;
        for (int k = 0; k < 6; ++k) {
            b.Var(kQ4TypeBool);
            b.Var(kQ4TypeInt);
            b.Var(kQ4TypeDint);
            b.Var(kQ4TypeLint);
            b.Var(kQ4TypeTime);
        }
        b.String(3, "ab");
        b.CtSegment(16, 16);
        return b.Build();
    }());
    return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IecVmDb& db = Db();
    if (db.Result() != 0) std::abort();
    pDB = db.Db();
    iVmAlive = 1;
    std::vector<u8> head(db.Db(), db.Db() + kVmDbDescriptorBlockBytes);
    // Each 6 bytes: an entry index and a token; small indexes and the two
    // top bits are favoured so that most tokens name something.
    std::vector<u8> table(4 * kRegLocationEntries, 0);
    for (size_t i = 0; i + 6 <= size; i += 6) {
        const u32 entry = (data[i] | (data[i + 1] << 8)) % kRegLocationEntries;
        u32 token = data[i + 2] | (data[i + 3] << 8) | (data[i + 4] << 16) | (static_cast<u32>(data[i + 5]) << 24);
        if (data[i + 5] & 1) token = 0xC0000000u | (token & 0x3C000000u) | (token & 0x1Fu);
        PutLe32(&table[4 * entry], token);
    }
    Q4Bind_Build(table.data());
    for (int round = 0; round < 2; ++round) {
        IecSyncAllBindings();
        for (size_t i = 0; i < size && i < 64; ++i) plc_reg[(data[i] * 977u) % kPlcRegBytes] ^= data[i];
    }
    if (std::memcmp(head.data(), db.Db(), head.size()) != 0) std::abort();
    Q4Bind_Clear();
    pDB = nullptr;
    iVmAlive = 0;
    return 0;
}
