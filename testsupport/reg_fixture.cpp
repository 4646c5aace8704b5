#include "testsupport/reg_fixture.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "link/command.h"

namespace {

void ClearAll() {
    std::memset(plc_reg, 0, kPlcRegBytes);
    std::memset(old_reg, 0, kPlcRegBytes);
    std::memset(io_force, 0, kForceTableBytes);
    QuilletRuntime = 0;
    ClearQuilletFlags(0);
    OLPMode = 0;
    pDB = nullptr;
}

}  // namespace

RegFixture::RegFixture() { ClearAll(); }
RegFixture::~RegFixture() { ClearAll(); }

FakeVmDb::FakeVmDb() : FakeVmDb(Layout{}) {}

FakeVmDb::FakeVmDb(const Layout& layout) {
    u8 desc[kVmDbDescriptorBlockBytes] = {};
    auto table = [&](u32 area, u16 elementSize, u16 count) {
        Q4VM_PutDesc(desc, area, VmDbDesc{0, 0, elementSize, count, count, count});
    };
    auto raw = [&](u32 area, u32 bytes) { Q4VM_PutDesc(desc, area, VmDbDesc{0, bytes, 1, 0, 0, 0}); };
    table(kDbStatus, 248, 1);
    raw(kDbLog, 128);
    table(kDbData8, 1, layout.data8);
    table(kDbData16, 2, layout.data16);
    table(kDbData32, 4, layout.data32);
    table(kDbData64, 8, layout.data64);
    table(kDbTime, 4, layout.time);
    table(kDbStringPointers, 4, static_cast<u16>(layout.strings.size()));
    u32 stringBytes = 0;
    for (int cap : layout.strings)
        if (cap >= 0) stringBytes += static_cast<u32>(cap) + 3;
    raw(kDbStringBuffer, stringBytes);
    raw(kDbCtSegment, layout.ctBytes);

    size_ = Q4VM_GetTotalDBSize(desc);
    block_.assign((size_ + 7) / 8, 0);
    std::memcpy(Db(), desc, sizeof desc);
    Q4VM_BuildDBMainLinks(Db());

    u8* pointers = Area(kDbStringPointers);
    u32 at = Q4VM_GetDesc(Db(), kDbStringBuffer).offset;
    for (size_t n = 0; n < layout.strings.size(); ++n) {
        const int cap = layout.strings[n];
        if (cap < 0) continue;  // entry stays 0
        PutLe32(pointers + 4 * n, at);
        Db()[at] = static_cast<u8>(cap);  // empty string: length 0, NUL
        at += static_cast<u32>(cap) + 3;
    }
}

FakeVmDb::~FakeVmDb() {
    if (pDB == Db()) pDB = nullptr;
}

u8* FakeVmDb::Area(u32 area) { return Q4VM_AreaPtr(Db(), area, nullptr); }

u8* FakeVmDb::String(u32 n) {
    u32 bytes = 0;
    u8* pointers = Q4VM_AreaPtr(Db(), kDbStringPointers, &bytes);
    if (pointers == nullptr || 4 * n + 4 > bytes) return nullptr;
    const u32 at = GetLe32(pointers + 4 * n);
    return at ? Db() + at : nullptr;
}

void FakeVmDb::Link() {
    pDB = Db();
    QuilletRuntime = 1;
    quillet_variables_enumerateded = 1;
}
