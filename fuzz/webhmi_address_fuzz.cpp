// Hostile address texts through the web data items' resolver: register
// forms with and without 32-bit operand tokens, and, with an IEC application
// linked, variable names with sizes and bit numbers. The first byte chooses
// the mode. A resolved item must stay within the bounds its reads use.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/nvram.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4types.h"
#include "ladder/ladder_engine.h"
#include "testsupport/reg_fixture.h"
#include "webhmi/dartu_items.h"
#include "webhmi/dartu_symbols.h"

namespace {

FakeVmDb* Db() {
    static FakeVmDb db;
    static bool named = [] {
        DartuSym_FakeAdd("Speed", {kQ4TypeDint, 8, 0, false});
        DartuSym_FakeAdd("Run", {kQ4TypeBool, 3, 0, false});
        DartuSym_FakeAdd("Name", {kQ4TypeString, 0, 1, false});
        DartuSym_FakeAdd("Bytes", {kQ4TypeUsint, 4, 0, false});
        DartuSym_FakeAdd("Motor.Rpm", {kQ4TypeUint, 12, 0, true});
        DartuSym_FakeAdd("Wait", {kQ4TypeTime, 0, 0, false});
        return true;
    }();
    (void)named;
    return &db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RegFixture regs;
    if (size == 0) return 0;
    const u8 mode = data[0] % 3;
    RegTokLen_16b = mode == 1 ? 0 : 1;
    if (mode == 2) {
        Db()->Link();
    } else {
        QuilletRuntime = 0;
        quillet_variables_enumerateded = 0;
    }
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.push_back('\0');
    dartu_variable r{};
    if (dartu_parse_parameterized_variable(text.data(), &r)) {
        if (r.data_type >= kDartuDataTypes || r.length == 0) std::abort();
        if (r.data_type == kDtChar ? r.length > kDartuCharMax : r.length > kDartuItemBitsMax) std::abort();
    }
    return 0;
}
